// The block reader of sample units: reads the input through slot 1 in blocks
// of whole pairs, converts them with lookup tables (8 and 16-bit units) or
// arithmetic (wider ones) and writes the pairs into slot 0 a block at a time.
#include "import/SampleImport.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "common/Progress.h"

namespace {

// The sizes of the input are held in signed 32-bit counts.
constexpr std::int64_t kMaxInputBytes = std::int64_t{1} << 31;
// Pairs converted per block: large enough that the per-block stream calls
// cost nothing, small enough to keep the buffers at a few hundred KiB.
constexpr std::size_t kBlockPairs = 32768;
// A stream call moves at most this many bytes at once (its counts are 32-bit).
constexpr std::int64_t kMaxCallBytes = 1 << 24;

constexpr double kInt16FullScale = 32767.0;
constexpr double kInt24FullScale = 8388607.0;
constexpr double kInt32FullScale = 2147483647.0;
constexpr double kMaxClockHz = 600e6;
constexpr std::size_t kMaxTagTextChars = 511;

using ByteTable = std::array<float, 256>;
using WordTable = std::array<float, 65536>;

const ByteTable& UInt8CenteredTable() {
  static const ByteTable table = [] {
    ByteTable values{};
    for (unsigned u = 0; u < 256; ++u) values[u] = static_cast<float>((u - 127.5) / 128.0);
    return values;
  }();
  return table;
}

const ByteTable& UInt8WavTable() {
  static const ByteTable table = [] {
    ByteTable values{};
    for (unsigned u = 0; u < 256; ++u) values[u] = static_cast<float>((u - 128.0) / 128.0);
    return values;
  }();
  return table;
}

const ByteTable& Int8Table() {
  static const ByteTable table = [] {
    ByteTable values{};
    for (unsigned u = 0; u < 256; ++u)
      values[u] =
          static_cast<float>(static_cast<std::int8_t>(static_cast<std::uint8_t>(u)) / 128.0);
    return values;
  }();
  return table;
}

// The same formula as the i16le reader's, so a 16-bit word converts to the
// same float whichever file it comes from.
const WordTable& Int16Table() {
  static const WordTable table = [] {
    WordTable values{};
    for (unsigned word = 0; word < 65536; ++word) {
      const auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>(word));
      values[word] = static_cast<float>((s - 0.5) / kInt16FullScale);
    }
    return values;
  }();
  return table;
}

const WordTable& UInt16Table() {
  static const WordTable table = [] {
    WordTable values{};
    for (unsigned u = 0; u < 65536; ++u) values[u] = static_cast<float>((u - 32767.5) / 32768.0);
    return values;
  }();
  return table;
}

void DecodeBytes(const ByteTable& table, const unsigned char* bytes, std::size_t count,
                 float* values) {
  for (std::size_t k = 0; k < count; ++k) values[k] = table[bytes[k]];
}

void DecodeWords(const WordTable& table, bool bigEndian, const unsigned char* bytes,
                 std::size_t count, float* values) {
  if (bigEndian) {
    for (std::size_t k = 0; k < count; ++k) values[k] = table[LoadBE16(bytes + 2 * k)];
  } else {
    for (std::size_t k = 0; k < count; ++k) values[k] = table[LoadLE16(bytes + 2 * k)];
  }
}

std::int32_t LoadInt24(const unsigned char* bytes, bool bigEndian) {
  const std::uint32_t raw =
      bigEndian ? (std::uint32_t{bytes[0]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[2]
                : (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[0];
  // Sign extension of the 24-bit two's complement value.
  return static_cast<std::int32_t>(raw << 8) >> 8;
}

std::uint32_t Load32(const unsigned char* bytes, bool bigEndian) {
  return bigEndian ? LoadBE32(bytes) : LoadLE32(bytes);
}

std::uint64_t Load64(const unsigned char* bytes, bool bigEndian) {
  return bigEndian ? LoadBE64(bytes) : LoadLE64(bytes);
}

// Writes `count` floats to slot 0 in the little-endian layout of the
// temporary file.
bool WriteFloats(const float* values, std::size_t count, std::vector<unsigned char>& bytes) {
  bytes.resize(count * sizeof(float));
  for (std::size_t k = 0; k < count; ++k) StoreFloatLE(values[k], bytes.data() + 4 * k);
  const auto size = static_cast<std::int32_t>(bytes.size());
  return _WriteBytes(kSlotImportTemp, size, bytes.data()) == size;
}

}  // namespace

int SampleUnitBytes(SampleType type) {
  switch (type) {
    case SampleType::kUInt8Centered:
    case SampleType::kUInt8Wav:
    case SampleType::kInt8:
      return 1;
    case SampleType::kInt16:
    case SampleType::kUInt16:
      return 2;
    case SampleType::kInt24:
      return 3;
    case SampleType::kInt32:
    case SampleType::kUInt32:
    case SampleType::kFloat32:
      return 4;
    case SampleType::kFloat64:
      return 8;
  }
  return 1;
}

void DecodeSampleUnits(const SampleLayout& layout, const unsigned char* bytes, std::size_t count,
                       float* values) {
  const bool be = layout.bigEndian;
  switch (layout.type) {
    case SampleType::kUInt8Centered:
      return DecodeBytes(UInt8CenteredTable(), bytes, count, values);
    case SampleType::kUInt8Wav:
      return DecodeBytes(UInt8WavTable(), bytes, count, values);
    case SampleType::kInt8:
      return DecodeBytes(Int8Table(), bytes, count, values);
    case SampleType::kInt16:
      return DecodeWords(Int16Table(), be, bytes, count, values);
    case SampleType::kUInt16:
      return DecodeWords(UInt16Table(), be, bytes, count, values);
    case SampleType::kInt24:
      for (std::size_t k = 0; k < count; ++k)
        values[k] = static_cast<float>(LoadInt24(bytes + 3 * k, be) / kInt24FullScale);
      return;
    case SampleType::kInt32:
      for (std::size_t k = 0; k < count; ++k) {
        const auto s = static_cast<std::int32_t>(Load32(bytes + 4 * k, be));
        values[k] = static_cast<float>(s / kInt32FullScale);
      }
      return;
    case SampleType::kUInt32:
      for (std::size_t k = 0; k < count; ++k)
        values[k] = static_cast<float>((Load32(bytes + 4 * k, be) - 2147483647.5) / 2147483648.0);
      return;
    case SampleType::kFloat32:
      for (std::size_t k = 0; k < count; ++k)
        values[k] = std::bit_cast<float>(Load32(bytes + 4 * k, be));
      return;
    case SampleType::kFloat64:
      for (std::size_t k = 0; k < count; ++k)
        values[k] = static_cast<float>(std::bit_cast<double>(Load64(bytes + 8 * k, be)));
      return;
  }
}

HeaderReader SlotHeaderReader(int slot) {
  return [slot](void* dest, std::int64_t count) -> std::int64_t {
    std::vector<unsigned char> scratch;
    std::int64_t done = 0;
    while (done < count) {
      const auto piece = static_cast<std::int32_t>(std::min(count - done, kMaxCallBytes));
      unsigned char* target = nullptr;
      if (dest != nullptr) {
        target = static_cast<unsigned char*>(dest) + done;
      } else {
        scratch.resize(static_cast<std::size_t>(piece));
        target = scratch.data();
      }
      const std::int32_t got = _ReadBytes(slot, piece, target);
      if (got < 0) return -1;
      done += got;
      if (got < piece) break;
    }
    return done;
  };
}

int FailImport(SlotGuard& tempSlot, const std::string& message) {
  tempSlot.Release();
  LogAlways({message});
  return 0;
}

int OpenSampleInput(const std::string& path, SlotGuard& tempSlot, SampleInput& input) {
  input.file.reset(platform::OpenFile(path, "rb"));
  if (input.file == nullptr) {
    FailImport(tempSlot, "*** Error opening input file.");
    LogFileReason(path);
    return 0;
  }
  if (!platform::GetFileSize(path, &input.size)) return FailImport(tempSlot, "*** File I/O error.");
  if (input.size >= kMaxInputBytes) {
    return FailImport(tempSlot,
                      FormatText("*** Error: Input file has %lld bytes; files of 2 GiB or more "
                                 "are not supported.",
                                 static_cast<long long>(input.size)));
  }
  if (!_InitBuf(kSlotImportInput, input.file.get(), 1, 0, 0))
    return FailImport(tempSlot, "*** Error setting up buffer for input file.");
  input.slot.Attach(kSlotImportInput);
  return 1;
}

int ImportSampleData(const SampleLayout& layout, std::int64_t dataBytes, std::int64_t progressBytes,
                     SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  const int unitBytes = SampleUnitBytes(layout.type);
  const int pairBytes = 2 * unitBytes;
  if (progressBytes / pairBytes > kMaxTempSamples) {
    return FailImport(
        tempSlot, FormatText("*** Error: Input file holds %lld I/Q pairs; at most %ld are "
                             "supported.",
                             static_cast<long long>(progressBytes / pairBytes), kMaxTempSamples));
  }
  if (layout.type == SampleType::kInt16) levels.silentValue = kInt16ZeroWordValue;

  std::vector<unsigned char> input(kBlockPairs * static_cast<std::size_t>(pairBytes));
  std::vector<float> values(2 * kBlockPairs);
  std::vector<unsigned char> output;
  std::int64_t consumed = 0;
  std::int32_t n = 0;
  int lastPercent = 0;
  for (;;) {
    std::int64_t want = static_cast<std::int64_t>(input.size());
    if (dataBytes >= 0) want = std::min(want, dataBytes - consumed);
    if (want <= 0) break;
    const std::int32_t got =
        _ReadBytes(kSlotImportInput, static_cast<std::int32_t>(want), input.data());
    // A failed read is no end of the data: the pairs behind it would be lost.
    if (got < 0) return FailImport(tempSlot, "*** File I/O error.");
    const std::size_t pairs = static_cast<std::size_t>(got / pairBytes);
    if (pairs > static_cast<std::size_t>(kMaxTempSamples - n)) {
      return FailImport(tempSlot, FormatText("*** Error: Input file holds more than %ld I/Q pairs.",
                                             kMaxTempSamples));
    }
    DecodeSampleUnits(layout, input.data(), 2 * pairs, values.data());
    for (std::size_t k = 0; k < pairs; ++k) {
      const float i = values[2 * k];
      const float q = values[2 * k + 1];
      AccumulatePair(levels, i, q);
      // As in the binary reader: a huge value or a NaN means a wrong format
      // or byte order.
      if (levels.peak > kBinaryRangeLimit || std::isnan(i) || std::isnan(q)) {
        FailImport(tempSlot,
                   "*** Error: Numbers appear to be too large. Check data format and range!");
        LogAlways({FormatText("    (DataPoint=%ld, I=%1.3f, Q=%1.3f)",
                              static_cast<long>(n + static_cast<std::int32_t>(k)),
                              static_cast<double>(i), static_cast<double>(q))});
        return 0;
      }
    }
    if (!WriteFloats(values.data(), 2 * pairs, output))
      return FailImport(tempSlot, "*** Error writing to temporary waveform file.");
    n += static_cast<std::int32_t>(pairs);
    consumed += got;
    const int percent = progressBytes > 0
                            ? static_cast<int>(std::min<std::int64_t>(consumed, progressBytes) *
                                               100 / progressBytes)
                            : 0;
    if (percent != lastPercent) {
      lastPercent = percent;
      ReportProgress(percent);
    }
    if (got < want) {
      // The input ended. With a known data size that is a truncated file;
      // otherwise the end of the data, where a partial unit is ignored and an
      // I without its Q is an error, as in the binary reader.
      if (dataBytes >= 0) {
        return FailImport(
            tempSlot,
            FormatText("*** Error: The input ends after %lld of its %lld data "
                       "bytes.",
                       static_cast<long long>(consumed), static_cast<long long>(dataBytes)));
      }
      if (got % pairBytes >= unitBytes)
        return FailImport(tempSlot, "*** Error: No Q data available for I sample.");
      break;
    }
    if (dataBytes >= 0 && consumed == dataBytes && dataBytes % pairBytes >= unitBytes)
      return FailImport(tempSlot, "*** Error: No Q data available for I sample.");
  }

  levels.pairs = n;
  if (!_RestartAtBegining(kSlotImportTemp))
    return FailImport(tempSlot, "*** Cannot write to temporary waveform file.");
  info.samples = n;
  LogAlways({FormatText("%ld data pairs imported.", static_cast<long>(n))});
  return 1;
}

int ImportRawSamples(const std::string& inputPath, InputFormat format, SlotGuard& tempSlot,
                     WaveInfo& info, ImportLevels& levels) {
  SampleLayout layout;
  switch (format) {
    case kFormatCu8:
      layout.type = SampleType::kUInt8Centered;
      break;
    case kFormatCs8:
      layout.type = SampleType::kInt8;
      break;
    case kFormatF64le:
    case kFormatF64be:
      layout.type = SampleType::kFloat64;
      layout.bigEndian = format == kFormatF64be;
      break;
    default:
      return FailImport(tempSlot, "*** Wrong import data format.");
  }
  SampleInput input;
  if (!OpenSampleInput(inputPath, tempSlot, input)) return 0;
  if (!ImportSampleData(layout, -1, input.size, tempSlot, info, levels)) return 0;
  input.Close();
  return 1;
}

int TakeSampleRate(double fileRateHz, const char* what, WaveInfo& info) {
  const bool hasRate = fileRateHz > 0.0;
  if (info.clock > 0.0) {
    if (hasRate) {
      LogMessage(kLogWarning, {FormatText("The clock of -clock (%.3f Hz) is used instead of the "
                                          "sample rate of the %s (%.3f Hz).",
                                          info.clock, what, fileRateHz)});
    }
    return 1;
  }
  if (!hasRate) {
    LogAlways({FormatText("*** Error: The %s carries no sample rate; give the clock with -clock.",
                          what)});
    return 0;
  }
  if (!(fileRateHz <= kMaxClockHz)) {
    LogAlways(
        {FormatText("*** Error: The sample rate of the %s, %.3f Hz, is outside 0 to 600 "
                    "MHz; give the clock with -clock.",
                    what, fileRateHz)});
    return 0;
  }
  info.clock = fileRateHz;
  info.markerClock = fileRateHz;
  LogMessage(kLogInfo, {FormatText("Clock taken from the %s: %.3f Hz.", what, fileRateHz)});
  return 1;
}

std::string FitTagText(const std::string& text, const char* what) {
  std::string fitted = text;
  if (fitted.size() > kMaxTagTextChars) {
    std::size_t cut = kMaxTagTextChars;
    // Never split a UTF-8 sequence: back up over its continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(fitted[cut]) & 0xC0) == 0x80) --cut;
    fitted.resize(cut);
    LogAlways({FormatText("The %s is longer than %zu characters; it is cut to %zu.", what,
                          kMaxTagTextChars, cut)});
  }
  bool controls = false;
  bool braces = false;
  for (char& c : fitted) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = ' ';
      controls = true;
    } else if (c == '}') {
      c = ')';
      braces = true;
    }
  }
  if (controls)
    LogAlways(
        {FormatText("Control characters (line breaks, tabs) of the %s are written as "
                    "blanks.",
                    what)});
  if (braces)
    LogAlways({FormatText("'}' in the %s is written as ')': it would end the tag.", what)});
  return fitted;
}
