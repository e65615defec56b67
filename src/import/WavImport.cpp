// WAV reader: RIFF/WAVE, RIFX (the same layout with every field and sample
// wider than a byte big-endian), RF64 and BW64 files of PCM 8, 16, 24 or 32
// bits or IEEE float 32 or 64 bits, plain or WAVE_FORMAT_EXTENSIBLE, with two
// channels (left I, right Q) or one real channel (read as I with Q = 0).
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
// The sub-format GUID of an extensible fmt chunk is the common base of the
// audio formats with the real format tag in the low 16 bits of its first,
// 32-bit field: {0000tttt-0000-0010-8000-00AA00389B71}. A RIFF file stores it
// as the tag (16 bits, little-endian) and the fixed bytes below; so do some
// RIFX writers, with the tag big-endian. Others store the three number
// fields of a RIFX file big-endian, the first two bytes then being 00 00.
constexpr unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::uint16_t kGuidData3 = 0x0010;
constexpr unsigned char kGuidData4[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The fields of a RIFF file are little-endian, those of a RIFX file big-endian.
struct FieldOrder {
  bool bigEndian = false;
  std::uint16_t U16(const unsigned char* bytes) const {
    return bigEndian ? LoadBE16(bytes) : LoadLE16(bytes);
  }
  std::uint32_t U32(const unsigned char* bytes) const {
    return bigEndian ? LoadBE32(bytes) : LoadLE32(bytes);
  }
};

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

std::string EncodingText(const FmtChunk& fmt) {
  const unsigned bits = fmt.bits;
  if (fmt.tag == kTagPcm) return FormatText("PCM %u-bit", bits);
  if (fmt.tag == kTagFloat) return FormatText("IEEE float %u-bit", bits);
  return FormatText("format tag 0x%04X, %u-bit", static_cast<unsigned>(fmt.tag), bits);
}

std::string ChannelText(unsigned channels) {
  if (channels == 1) return "1 channel (real)";
  if (channels == 2) return "2 channels (I, Q)";
  return FormatText("%u channels", channels);
}

// Logs what the fmt chunk holds, then checks it and turns it into the sample
// layout: what was found is in the log before any refusal.
int TakeFmt(const FmtChunk& fmt, const std::string& container, bool bigEndian, WavLayout* layout) {
  const unsigned bits = fmt.bits;
  const unsigned channels = fmt.channels;
  layout->encoding = EncodingText(fmt);
  LogAlways({FormatText("WAV header: %s, %s, %s, %u frames per second.", container.c_str(),
                        layout->encoding.c_str(), ChannelText(channels).c_str(),
                        static_cast<unsigned>(fmt.rate))});
  if (channels != 1 && channels != 2) {
    return Refuse(
        FormatText("*** Error: WAV file has %u channels; only 2 (I, Q) or 1 (real, "
                   "read as I with Q = 0) are supported.",
                   channels));
  }
  if (fmt.tag == kTagPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) {
    layout->sample.type = bits == 8    ? SampleType::kUInt8Wav
                          : bits == 16 ? SampleType::kInt16
                          : bits == 24 ? SampleType::kInt24
                                       : SampleType::kInt32;
  } else if (fmt.tag == kTagFloat && (bits == 32 || bits == 64)) {
    layout->sample.type = bits == 32 ? SampleType::kFloat32 : SampleType::kFloat64;
    layout->sample.declaredType = true;
  } else {
    return Refuse("*** Error: WAV encoding " + layout->encoding +
                  " is not supported (PCM 8, 16, 24, 32-bit or IEEE float 32, 64-bit).");
  }
  if (fmt.blockAlign != channels * bits / 8) {
    return Refuse(FormatText(
        "*** Error: WAV block align of %u bytes does not match %s of "
        "%u bits.",
        static_cast<unsigned>(fmt.blockAlign), channels == 1 ? "1 channel" : "2 channels", bits));
  }
  layout->sample.channels = static_cast<int>(channels);
  // 8-bit samples are single bytes in either container.
  layout->sample.bigEndian = bigEndian;
  layout->sampleRate = fmt.rate;
  return 1;
}

int ReadFmt(const HeaderReader& read, std::int64_t size, const FieldOrder& order, FmtChunk* fmt) {
  if (size < kPlainFmtBytes)
    return Refuse(FormatText("*** Error: WAV fmt chunk of %lld bytes is too short.",
                             static_cast<long long>(size)));
  unsigned char bytes[kExtensibleFmtBytes] = {};
  const std::int64_t take = std::min(size, kExtensibleFmtBytes);
  if (read(bytes, take) != take) return Refuse("*** Error: WAV file ends inside its fmt chunk.");
  fmt->tag = order.U16(bytes);
  fmt->channels = order.U16(bytes + 2);
  fmt->rate = order.U32(bytes + 4);
  fmt->blockAlign = order.U16(bytes + 12);
  fmt->bits = order.U16(bytes + 14);
  if (fmt->tag == kTagExtensible) {
    if (size < kExtensibleFmtBytes)
      return Refuse("*** Error: WAV extensible fmt chunk is too short for its sub-format.");
    if (std::memcmp(bytes + 26, kGuidTail, sizeof kGuidTail) == 0) {
      fmt->tag = order.U16(bytes + 24);
    } else {
      // The GUID's fields as numbers in the file's byte order: the tag is
      // the low half of the first.
      const std::uint32_t data1 = order.U32(bytes + 24);
      const std::uint16_t data3 = order.U16(bytes + 30);
      if ((data1 >> 16) != 0 || order.U16(bytes + 28) != 0 ||
          (data3 != kGuidData3 && data3 != (kGuidData3 << 8)) ||
          std::memcmp(bytes + 32, kGuidData4, sizeof kGuidData4) != 0)
        return Refuse("*** Error: WAV extensible sub-format is neither PCM nor IEEE float.");
      fmt->tag = static_cast<std::uint16_t>(data1);
    }
  }
  return 1;
}

}  // namespace

int ParseWavHeader(const HeaderReader& read, std::int64_t fileSize, WavLayout* layout) {
  unsigned char head[12];
  if (read(head, 12) != 12 || !IdIs(head + 8, "WAVE") ||
      !(IdIs(head, "RIFF") || IdIs(head, "RIFX") || IdIs(head, "RF64") || IdIs(head, "BW64")))
    return Refuse("*** Error: Not a WAV file: no RIFF/WAVE, RIFX, RF64 or BW64 header.");
  layout->container = IdText(head);
  FieldOrder order;
  order.bigEndian = IdIs(head, "RIFX");
  const bool rf64 = IdIs(head, "RF64") || IdIs(head, "BW64");

  std::int64_t position = 12;
  std::int64_t ds64DataBytes = -1;
  bool haveFmt = false;
  for (;;) {
    unsigned char chunk[8];
    const std::int64_t got = read(chunk, 8);
    if (got < 0) return Refuse("*** File I/O error.");
    if (got < 8) return Refuse("*** Error: WAV file has no data chunk.");
    position += 8;
    const std::uint32_t size32 = order.U32(chunk + 4);
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
      if (!ReadFmt(read, size, order, &fmt) ||
          !TakeFmt(fmt, layout->container, order.bigEndian, layout))
        return 0;
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
  LogAlways({FormatText("WAV data: %s from byte %lld.", amount.c_str(),
                        static_cast<long long>(layout.dataOffset))});
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
