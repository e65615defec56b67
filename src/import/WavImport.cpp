// WAV reader: RIFF/WAVE, RF64 and BW64 files with two channels (left I,
// right Q) of PCM 8, 16, 24 or 32 bits or IEEE float 32 or 64 bits, plain
// or WAVE_FORMAT_EXTENSIBLE.
#include <algorithm>
#include <cstring>

#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "import/ContainerImport.h"

namespace {

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr std::uint32_t kSizeUnknown = 0xFFFFFFFF;
constexpr std::int64_t kPlainFmtBytes = 16;
constexpr std::int64_t kExtensibleFmtBytes = 40;
constexpr std::int64_t kDs64Bytes = 28;  // RIFF size, data size, sample count, table length
// The sub-format GUID of an extensible fmt chunk after its first two bytes
// (which carry the real format tag): the common base of the audio formats.
constexpr unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

int Refuse(const std::string& message) {
  LogAlways({message});
  return 0;
}

bool IdIs(const unsigned char* bytes, const char* id) { return std::memcmp(bytes, id, 4) == 0; }

std::string IdText(const unsigned char* bytes) {
  std::string text;
  for (int k = 0; k < 4; ++k) {
    const unsigned char c = bytes[k];
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

struct FmtChunk {
  std::uint16_t tag = 0;
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t blockAlign = 0;
  std::uint16_t bits = 0;
};

// Checks the fmt chunk and turns it into the sample layout.
int TakeFmt(const FmtChunk& fmt, WavLayout* layout) {
  if (fmt.channels != 2) {
    return Refuse(
        FormatText("*** Error: WAV file has %u channel(s); only 2 channels (I, Q) are "
                   "supported.",
                   static_cast<unsigned>(fmt.channels)));
  }
  const unsigned bits = fmt.bits;
  if (fmt.tag == kTagPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) {
    layout->sample.type = bits == 8    ? SampleType::kUInt8Wav
                          : bits == 16 ? SampleType::kInt16
                          : bits == 24 ? SampleType::kInt24
                                       : SampleType::kInt32;
    layout->encoding = FormatText("PCM %u-bit", bits);
  } else if (fmt.tag == kTagFloat && (bits == 32 || bits == 64)) {
    layout->sample.type = bits == 32 ? SampleType::kFloat32 : SampleType::kFloat64;
    layout->sample.declaredType = true;
    layout->encoding = FormatText("IEEE float %u-bit", bits);
  } else {
    const char* name = fmt.tag == kTagPcm ? "PCM" : fmt.tag == kTagFloat ? "IEEE float" : nullptr;
    const std::string found = name != nullptr ? FormatText("%s %u-bit", name, bits)
                                              : FormatText("format tag 0x%04X, %u-bit",
                                                           static_cast<unsigned>(fmt.tag), bits);
    return Refuse("*** Error: WAV encoding " + found +
                  " is not supported (PCM 8, 16, 24, 32-bit or IEEE float 32, 64-bit).");
  }
  if (fmt.blockAlign != 2 * bits / 8) {
    return Refuse(
        FormatText("*** Error: WAV block align of %u bytes does not match 2 channels of "
                   "%u bits.",
                   static_cast<unsigned>(fmt.blockAlign), bits));
  }
  layout->sample.bigEndian = false;
  layout->sampleRate = fmt.rate;
  return 1;
}

int ReadFmt(const HeaderReader& read, std::int64_t size, FmtChunk* fmt) {
  if (size < kPlainFmtBytes)
    return Refuse(FormatText("*** Error: WAV fmt chunk of %lld bytes is too short.",
                             static_cast<long long>(size)));
  unsigned char bytes[kExtensibleFmtBytes] = {};
  const std::int64_t take = std::min(size, kExtensibleFmtBytes);
  if (read(bytes, take) != take) return Refuse("*** Error: WAV file ends inside its fmt chunk.");
  fmt->tag = LoadLE16(bytes);
  fmt->channels = LoadLE16(bytes + 2);
  fmt->rate = LoadLE32(bytes + 4);
  fmt->blockAlign = LoadLE16(bytes + 12);
  fmt->bits = LoadLE16(bytes + 14);
  if (fmt->tag == kTagExtensible) {
    if (size < kExtensibleFmtBytes)
      return Refuse("*** Error: WAV extensible fmt chunk is too short for its sub-format.");
    if (std::memcmp(bytes + 26, kGuidTail, sizeof kGuidTail) != 0)
      return Refuse("*** Error: WAV extensible sub-format is neither PCM nor IEEE float.");
    fmt->tag = LoadLE16(bytes + 24);
  }
  return 1;
}

}  // namespace

int ParseWavHeader(const HeaderReader& read, std::int64_t fileSize, WavLayout* layout) {
  unsigned char head[12];
  if (read(head, 12) != 12 || !IdIs(head + 8, "WAVE") ||
      !(IdIs(head, "RIFF") || IdIs(head, "RF64") || IdIs(head, "BW64")))
    return Refuse("*** Error: Not a WAV file: no RIFF/WAVE, RF64 or BW64 header.");
  layout->container = IdText(head);
  const bool rf64 = !IdIs(head, "RIFF");

  std::int64_t position = 12;
  std::int64_t ds64DataBytes = -1;
  bool haveFmt = false;
  for (;;) {
    unsigned char chunk[8];
    const std::int64_t got = read(chunk, 8);
    if (got < 0) return Refuse("*** File I/O error.");
    if (got < 8) return Refuse("*** Error: WAV file has no data chunk.");
    position += 8;
    const std::uint32_t size32 = LoadLE32(chunk + 4);
    std::int64_t size = size32;

    if (IdIs(chunk, "data")) {
      if (!haveFmt) return Refuse("*** Error: WAV data chunk comes before any fmt chunk.");
      std::int64_t dataBytes = size;
      if (rf64 && size32 == kSizeUnknown)
        dataBytes = ds64DataBytes > 0 ? ds64DataBytes : -1;
      else if (size32 == 0 || size32 == kSizeUnknown)
        dataBytes = -1;
      if (dataBytes >= 0 && dataBytes > fileSize - position) {
        return Refuse(
            FormatText("*** Error: WAV data chunk holds %lld bytes, but the file ends "
                       "after %lld of them.",
                       static_cast<long long>(dataBytes),
                       static_cast<long long>(std::max<std::int64_t>(0, fileSize - position))));
      }
      layout->dataBytes = dataBytes;
      layout->dataOffset = position;
      return 1;
    }

    std::int64_t consumed = 0;
    if (IdIs(chunk, "ds64") && rf64 && position == 20) {
      if (size < 24) return Refuse("*** Error: RF64 ds64 chunk is too short.");
      unsigned char ds64[kDs64Bytes] = {};
      consumed = std::min(size, kDs64Bytes);
      if (read(ds64, consumed) != consumed)
        return Refuse("*** Error: WAV file ends inside its ds64 chunk.");
      const std::uint64_t dataSize = LoadLE64(ds64 + 8);
      // Larger than any file this reader takes; the check at the data chunk refuses it.
      ds64DataBytes = dataSize > (std::uint64_t{1} << 62) ? (std::int64_t{1} << 62)
                                                          : static_cast<std::int64_t>(dataSize);
    } else if (IdIs(chunk, "fmt ")) {
      if (haveFmt) return Refuse("*** Error: WAV file has two fmt chunks.");
      FmtChunk fmt;
      if (!ReadFmt(read, size, &fmt) || !TakeFmt(fmt, layout)) return 0;
      haveFmt = true;
      consumed = std::min(size, kExtensibleFmtBytes);
    }
    // The rest of the chunk and the pad byte of an odd size are skipped.
    const std::int64_t skip = size - consumed + (size & 1);
    if (skip > fileSize - position - consumed)
      return Refuse(FormatText("*** Error: WAV chunk '%s' runs past the end of the file.",
                               IdText(chunk).c_str()));
    if (read(nullptr, skip) != skip) return Refuse("*** Error: WAV file has no data chunk.");
    position += consumed + skip;
  }
}

int ImportWav(InputFile& file, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  SampleInput input;
  if (!AttachSampleInput(file, tempSlot, input)) return 0;
  WavLayout layout;
  if (!ParseWavHeader(SlotHeaderReader(kSlotImportInput), input.first.size, &layout)) {
    tempSlot.Release();
    return 0;
  }
  const std::string amount =
      layout.dataBytes >= 0
          ? FormatText("%lld data bytes", static_cast<long long>(layout.dataBytes))
          : std::string("data up to the end of the file");
  LogAlways({FormatText("%s file, %s, 2 channels (I, Q), %.0f frames per second, %s.",
                        layout.container.c_str(), layout.encoding.c_str(), layout.sampleRate,
                        amount.c_str())});
  if (!TakeSampleRate(layout.sampleRate, "WAV file", info)) {
    tempSlot.Release();
    return 0;
  }
  SampleData data;
  data.layout = layout.sample;
  data.dataOffset = layout.dataOffset;
  data.dataBytes = layout.dataBytes;
  return ImportSampleData(data, input, tempSlot, info, levels);
}
