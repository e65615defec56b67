// The engine of fixed-width binary samples: reads the input through slot 1
// (and the Q file through slot 2) in blocks of whole pairs, converts them
// with lookup tables (8 and 16-bit units) or arithmetic (wider ones) and
// writes the pairs into slot 0 a block at a time, measuring their level pair
// by pair in file order.
#include "import/SampleImport.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "common/Progress.h"

namespace {

// Pairs converted per block: the input is read, converted and written a
// block at a time, never one value at a time.
constexpr std::int32_t kBlockPairs = 8192;
// A stream call moves at most this many bytes at once (its counts are 32-bit).
constexpr std::int64_t kMaxCallBytes = 1 << 24;
constexpr int kFloatBytes = 4;
constexpr std::uint32_t kInt14Mask = 0x3FFF;

constexpr double kInt14FullScale = 16383.0;
constexpr double kInt16FullScale = 32767.0;
constexpr double kInt24FullScale = 8388607.0;
constexpr double kInt32FullScale = 2147483647.0;
constexpr double kInt64FullScale = 9223372036854775807.0;
constexpr double kUInt64Half = 9223372036854775808.0;
constexpr std::uint64_t kUInt64SignBit = std::uint64_t{1} << 63;

// The one place that says what a unit of a table type is worth: every table
// below is built from it with the exact double-precision formula, so a lookup
// gives bit for bit the float the formula gives, whatever file the unit
// comes from.
double UnitValue(SampleType type, std::uint32_t unit) {
  switch (type) {
    case SampleType::kUInt8Centered:
      return (unit - 127.5) / 128.0;
    case SampleType::kUInt8Wav:
      return (unit - 128.0) / 128.0;
    case SampleType::kInt8:
      return static_cast<std::int8_t>(static_cast<std::uint8_t>(unit)) / 128.0;
    case SampleType::kInt14:
      // The top two bits of the word are ignored.
      return 2.0 * (((unit & kInt14Mask) - 0.5) / kInt14FullScale - 0.5);
    case SampleType::kInt16:
      return (static_cast<std::int16_t>(static_cast<std::uint16_t>(unit)) - 0.5) / kInt16FullScale;
    case SampleType::kUInt16:
      return (unit - 32767.5) / 32768.0;
    default:
      return 0.0;
  }
}

// The conversion table of an 8 or 16-bit unit type: one float per unit value.
template <SampleType kType, std::size_t kSize>
const float* TableOf() {
  static const std::array<float, kSize> table = [] {
    std::array<float, kSize> values{};
    for (std::uint32_t unit = 0; unit < kSize; ++unit)
      values[unit] = static_cast<float>(UnitValue(kType, unit));
    return values;
  }();
  return table.data();
}

const float* ConversionTable(SampleType type) {
  switch (type) {
    case SampleType::kUInt8Centered:
      return TableOf<SampleType::kUInt8Centered, 256>();
    case SampleType::kUInt8Wav:
      return TableOf<SampleType::kUInt8Wav, 256>();
    case SampleType::kInt8:
      return TableOf<SampleType::kInt8, 256>();
    case SampleType::kInt14:
      return TableOf<SampleType::kInt14, 65536>();
    case SampleType::kInt16:
      return TableOf<SampleType::kInt16, 65536>();
    case SampleType::kUInt16:
      return TableOf<SampleType::kUInt16, 65536>();
    default:
      return nullptr;
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

// Writes count floats to slot 0 in the little-endian layout of the
// temporary file.
bool WriteSamples(const float* values, std::int32_t count, std::vector<unsigned char>& bytes) {
  const std::int32_t size = count * kFloatBytes;
  if constexpr (kLittleEndianHost) {
    (void)bytes;
    return _WriteBytes(kSlotImportTemp, size, values) == size;
  } else {
    bytes.resize(static_cast<std::size_t>(size));
    for (std::int32_t k = 0; k < count; ++k)
      StoreFloatLE(values[k], bytes.data() + static_cast<std::size_t>(k) * kFloatBytes);
    return _WriteBytes(kSlotImportTemp, size, bytes.data()) == size;
  }
}

// Fails the import when an input was read with another size than it had
// when it was opened: cut short or grown meanwhile, it would give fewer or
// other pairs than the file holds.
int FailChanged(SlotGuard& tempSlot, const InputFile& file, std::int64_t bytesRead) {
  tempSlot.Release();
  LogAlways({"*** Error: Input file ", file.path, " changed while it was read."});
  LogAlways({FormatText("    (%lld bytes when opened, %lld bytes read)",
                        static_cast<long long>(file.size), static_cast<long long>(bytesRead))});
  return 0;
}

int RefuseLargeFile(SlotGuard& tempSlot, std::int64_t size) {
  return FailImport(tempSlot, FormatText("*** Error: Input file has %lld bytes; files of 2 GiB or "
                                         "more are not supported.",
                                         static_cast<long long>(size)));
}

}  // namespace

int SampleUnitBytes(SampleType type) {
  switch (type) {
    case SampleType::kUInt8Centered:
    case SampleType::kUInt8Wav:
    case SampleType::kInt8:
      return 1;
    case SampleType::kInt14:
    case SampleType::kInt16:
    case SampleType::kUInt16:
      return 2;
    case SampleType::kInt24:
      return 3;
    case SampleType::kInt32:
    case SampleType::kUInt32:
    case SampleType::kFloat32:
      return 4;
    case SampleType::kInt64:
    case SampleType::kUInt64:
    case SampleType::kFloat64:
      return 8;
  }
  return 1;
}

void DecodeSampleUnits(const SampleLayout& layout, const unsigned char* bytes, std::size_t count,
                       float* values) {
  const bool be = layout.bigEndian;
  if (const float* table = ConversionTable(layout.type)) {
    if (SampleUnitBytes(layout.type) == 1) {
      for (std::size_t k = 0; k < count; ++k) values[k] = table[bytes[k]];
    } else if (be) {
      for (std::size_t k = 0; k < count; ++k) values[k] = table[LoadBE16(bytes + 2 * k)];
    } else {
      for (std::size_t k = 0; k < count; ++k) values[k] = table[LoadLE16(bytes + 2 * k)];
    }
    return;
  }
  switch (layout.type) {
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
    case SampleType::kInt64:
      for (std::size_t k = 0; k < count; ++k) {
        const auto s = static_cast<std::int64_t>(Load64(bytes + 8 * k, be));
        values[k] = static_cast<float>(static_cast<double>(s) / kInt64FullScale);
      }
      return;
    case SampleType::kUInt64:
      // u - 9223372036854775807.5 is (u - 2^63) + 0.5, and u - 2^63 is the
      // word with its top bit flipped, read as signed: exact up to the
      // rounding of that 64-bit value to a double.
      for (std::size_t k = 0; k < count; ++k) {
        const auto centered = static_cast<std::int64_t>(Load64(bytes + 8 * k, be) ^ kUInt64SignBit);
        values[k] = static_cast<float>((static_cast<double>(centered) + 0.5) / kUInt64Half);
      }
      return;
    case SampleType::kFloat32:
      for (std::size_t k = 0; k < count; ++k)
        values[k] = std::bit_cast<float>(Load32(bytes + 4 * k, be));
      return;
    case SampleType::kFloat64:
      for (std::size_t k = 0; k < count; ++k)
        values[k] = static_cast<float>(std::bit_cast<double>(Load64(bytes + 8 * k, be)));
      return;
    default:
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

namespace {

// FailImport for a failed call on the temporary waveform file: the system's
// reason follows.
int FailImportTemp(SlotGuard& tempSlot, const std::string& message) {
  tempSlot.Release();
  LogAlways({message});
  LogFileReason(kTempWaveFileName);
  return 0;
}

}  // namespace

int AttachSampleInput(InputFile& file, SlotGuard& tempSlot, SampleInput& input) {
  input.first = std::move(file);
  // Refused before any sample is written: the size is a signed 32-bit count.
  if (input.first.size >= kMaxInputBytes) return RefuseLargeFile(tempSlot, input.first.size);
  if (!_InitBuf(kSlotImportInput, input.first.file.get(), 1, 0, 0))
    return FailImport(tempSlot, "*** Error setting up buffer for input file.");
  input.firstSlot.Attach(kSlotImportInput);
  return 1;
}

int AttachSecondInput(const std::string& path, SlotGuard& tempSlot, SampleInput& input) {
  LogAlways({FormatText("Importing from 2nd BINARY file '%s'.", path.c_str())});
  if (!OpenInputFile(path, &input.second, "*** Error opening second input file.")) {
    tempSlot.Release();
    return 0;
  }
  if (!_InitBuf(kSlotImportSecond, input.second.file.get(), 1, 0, 0))
    return FailImport(tempSlot, "*** Error setting up buffer for second input file.");
  input.secondSlot.Attach(kSlotImportSecond);
  return 1;
}

int ImportSampleData(const SampleData& data, SampleInput& input, SlotGuard& tempSlot,
                     WaveInfo& info, ImportLevels& levels) {
  const SampleLayout& layout = data.layout;
  const bool twoFiles = data.qFromSecondFile;
  const bool real = layout.channels == 1;
  const std::int32_t unit = SampleUnitBytes(layout.type);
  // Bytes of the first file per pair: I only, or I and Q.
  const std::int32_t firstBytesPerPair = twoFiles || real ? unit : 2 * unit;
  const std::int64_t progressBytes =
      data.dataBytes >= 0 ? data.dataBytes : input.first.size - data.dataOffset;
  // The bytes of I (or of I and Q) and of Q: from the sources when the
  // reader gives them, else from slots 1 and 2.
  const auto readFirst = [&data](std::int32_t count, void* dest) {
    return data.firstSource ? data.firstSource(dest, count)
                            : _ReadBytes(kSlotImportInput, count, dest);
  };
  const auto readSecond = [&data](std::int32_t count, void* dest) {
    return data.secondSource ? data.secondSource(dest, count)
                             : _ReadBytes(kSlotImportSecond, count, dest);
  };
  // Refused before any sample is written: the pairs must fit the temporary
  // stream's 32-bit length.
  if (progressBytes / firstBytesPerPair > kMaxTempSamples) {
    return FailImport(
        tempSlot,
        FormatText("*** Error: Input file holds %lld I/Q pairs; at most %ld are "
                   "supported.",
                   static_cast<long long>(progressBytes / firstBytesPerPair), kMaxTempSamples));
  }
  if (layout.type == SampleType::kInt16) levels.silentValue = kInt16ZeroWordValue;
  levels.realChannel = real;
  if (real) LogAlways({"Real samples (one channel): read as I with Q = 0."});
  const char* const writeIError = data.namePairHalves
                                      ? "*** Error writing I to temporary waveform file."
                                      : "*** Error writing to temporary waveform file.";
  const char* const writeQError = data.namePairHalves
                                      ? "*** Error writing Q to temporary waveform file."
                                      : "*** Error writing to temporary waveform file.";

  std::vector<unsigned char> first(static_cast<std::size_t>(kBlockPairs) * firstBytesPerPair);
  std::vector<unsigned char> second(twoFiles ? static_cast<std::size_t>(kBlockPairs) * unit : 0);
  std::vector<float> values(2 * static_cast<std::size_t>(kBlockPairs));
  // One value per pair from each file (two files) or from the one channel.
  std::vector<float> singles(twoFiles || real ? 2 * static_cast<std::size_t>(kBlockPairs) : 0);
  std::vector<float> powers(static_cast<std::size_t>(kBlockPairs));
  std::vector<unsigned char> bytes;

  PercentCounter progress(progressBytes, firstBytesPerPair);
  int lastPercent = 0;
  const auto reportProgress = [&progress, &lastPercent] {
    const int percent = progress.Value();
    if (percent != lastPercent) {
      lastPercent = percent;
      ReportProgress(percent);
    }
  };
  std::int32_t n = 0;
  std::int64_t consumed = 0;
  std::int64_t consumedSecond = 0;
  for (;;) {
    std::int64_t want = static_cast<std::int64_t>(first.size());
    if (data.dataBytes >= 0) want = std::min(want, data.dataBytes - consumed);
    if (want <= 0) break;
    const std::int32_t got = readFirst(static_cast<std::int32_t>(want), first.data());
    // A failed read is no end of the data: the pairs behind it would be lost.
    if (got < 0) return FailImport(tempSlot, "*** File I/O error.");
    consumed += got;

    // Whole pairs of the block, and whether an I value is left without its Q.
    std::int32_t complete = 0;
    bool lonelyI = false;
    if (twoFiles) {
      const std::int32_t units = got / unit;
      const std::int32_t gotQ = units > 0 ? readSecond(units * unit, second.data()) : 0;
      consumedSecond += std::max(gotQ, 0);
      complete = std::min(units, std::max(gotQ, 0) / unit);
      lonelyI = complete < units;
      float* qValues = singles.data() + kBlockPairs;
      DecodeSampleUnits(layout, first.data(), complete + (lonelyI ? 1 : 0), singles.data());
      DecodeSampleUnits(layout, second.data(), complete, qValues);
      for (std::int32_t k = 0; k < complete + (lonelyI ? 1 : 0); ++k) {
        values[2 * static_cast<std::size_t>(k)] = singles[k];
        values[2 * static_cast<std::size_t>(k) + 1] = k < complete ? qValues[k] : 0.0f;
      }
    } else if (real) {
      complete = got / unit;
      DecodeSampleUnits(layout, first.data(), complete, singles.data());
      for (std::int32_t k = 0; k < complete; ++k) {
        values[2 * static_cast<std::size_t>(k)] = singles[k];
        values[2 * static_cast<std::size_t>(k) + 1] = 0.0f;
      }
    } else {
      complete = got / (2 * unit);
      lonelyI = got % (2 * unit) >= unit;
      DecodeSampleUnits(layout, first.data(), 2 * complete + (lonelyI ? 1 : 0), values.data());
    }
    // Guards the 32-bit sample count should the file have grown since it was opened.
    const bool beyondLimit = complete + (lonelyI ? 1 : 0) > kMaxTempSamples - n;
    if (beyondLimit) {
      complete = static_cast<std::int32_t>(kMaxTempSamples - n);
      lonelyI = false;
    }

    std::int32_t done = 0;
    bool refused = false;
    // A block of finite values that keeps the peak in range is measured with
    // its squares taken four pairs at a time; only the sum goes pair by pair.
    // Any other block, and every block of a measuring pass, goes pair by
    // pair, which finds the pair that stops it.
    BlockPowers block;
    if (levels.stats == nullptr &&
        SquarePairs(values.data(), complete, levels.silentValue, levels.realChannel, powers.data(),
                    &block) &&
        (layout.declaredType || block.largest <= levels.peakPower ||
         std::sqrt(block.largest) <= kBinaryRangeLimit)) {
      // The percentages the pair loop would report before each pair of the
      // block: the one before the first, then each change on the way to the
      // last.
      if (complete > 0) {
        reportProgress();
        for (std::int32_t next = 1; next < complete;) {
          next += static_cast<std::int32_t>(progress.AdvanceToChange(complete - next));
          reportProgress();
        }
        progress.Advance();
      }
      levels.sum = AddInOrder(levels.sum, powers.data(), complete);
      AccumulateBlockPeak(levels, block);
      done = complete;
    }
    for (; done < complete; ++done) {
      const float i = values[2 * static_cast<std::size_t>(done)];
      const float q = values[2 * static_cast<std::size_t>(done) + 1];
      reportProgress();
      AccumulatePair(levels, i, q);
      // A value that is not finite is never data. A huge one is, when the
      // file declares its type; in raw samples it is as sure a sign of a
      // wrong format or byte order (a NaN never raises the peak, so it is
      // caught by the first test).
      if (!std::isfinite(i) || !std::isfinite(q) ||
          (!layout.declaredType && levels.peak > kBinaryRangeLimit)) {
        refused = true;
        break;
      }
      progress.Advance();
    }

    // The pairs up to the one that ended the block (it has been written
    // before the range check looked at it).
    const std::int32_t written = refused ? done + 1 : complete;
    if (written > 0 && !WriteSamples(values.data(), 2 * written, bytes))
      return FailImportTemp(tempSlot, writeQError);
    if (refused) {
      const float i = values[2 * static_cast<std::size_t>(done)];
      const float q = values[2 * static_cast<std::size_t>(done) + 1];
      FailImport(tempSlot,
                 "*** Error: Numbers appear to be too large. Check data format and range!");
      LogAlways({FormatText("    (DataPoint=%ld, I=%1.3f, Q=%1.3f)", static_cast<long>(n + done),
                            static_cast<double>(i), static_cast<double>(q))});
      return 0;
    }
    n += complete;
    if (beyondLimit) {
      return FailImport(tempSlot, FormatText("*** Error: Input file holds more than %ld I/Q pairs.",
                                             kMaxTempSamples));
    }
    // With a known data size, an input that ends early is cut short.
    if (got < want && data.dataBytes >= 0) {
      return FailImport(tempSlot, FormatText("*** Error: The input ends after %lld of its %lld "
                                             "data bytes.",
                                             static_cast<long long>(consumed),
                                             static_cast<long long>(data.dataBytes)));
    }
    if (lonelyI) {
      if (!WriteSamples(values.data() + 2 * static_cast<std::size_t>(complete), 1, bytes))
        return FailImportTemp(tempSlot, writeIError);
      return FailImport(tempSlot, "*** Error: No Q data available for I sample.");
    }
    if (got < want) break;  // end of data; a partial unit is ignored
  }
  if (progress.Value() != lastPercent) ReportProgress(progress.Value());

  // Read to its end, the input must have had the size it had when opened;
  // the second file is read only as far as the first reaches, so it must not
  // have grown beyond its size.
  if (!data.firstSource && data.dataBytes < 0 && data.dataOffset + consumed != input.first.size)
    return FailChanged(tempSlot, input.first, data.dataOffset + consumed);
  if (twoFiles && !data.secondSource && consumedSecond > input.second.size)
    return FailChanged(tempSlot, input.second, consumedSecond);

  levels.pairs = n;
  input.Close();
  if (!_RestartAtBegining(kSlotImportTemp))
    return FailImportTemp(tempSlot, "*** Cannot write to temporary waveform file.");
  info.samples = n;
  LogAlways({FormatText("%ld data pairs imported.", static_cast<long>(n))});
  return 1;
}

int ImportRawSamples(InputFile& file, const std::string& secondPath, InputFormat format,
                     SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  const InputFormatInfo* entry = FindInputFormat(format);
  if (entry == nullptr || entry->reader != FormatReader::kRawSamples)
    return FailImport(tempSlot, "*** Wrong import data format.");
  SampleData data;
  data.layout.type = entry->sampleType;
  data.layout.bigEndian = entry->bigEndian;
  data.qFromSecondFile = entry->companion == CompanionRule::kQFile;
  data.namePairHalves = !data.qFromSecondFile && (entry->sampleType == SampleType::kFloat32 ||
                                                  entry->sampleType == SampleType::kInt16);
  // Without its Q file a two-file format cannot form a single pair.
  if (data.qFromSecondFile && secondPath.empty())
    return FailImport(tempSlot, "*** No 2nd file provided.");

  SampleInput input;
  if (!AttachSampleInput(file, tempSlot, input)) return 0;
  if (!secondPath.empty() && !AttachSecondInput(secondPath, tempSlot, input)) return 0;
  return ImportSampleData(data, input, tempSlot, info, levels);
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
  if (!hasRate && info.defaultClock > 0.0) {
    info.clock = info.defaultClock;
    info.markerClock = info.defaultClock;
    LogMessage(kLogInfo,
               {FormatText("The %s carries no sample rate: -defaultclock %.3f Hz is used.", what,
                           info.defaultClock)});
    return 1;
  }
  if (!hasRate) {
    LogAlways({FormatText("*** Error: The %s carries no sample rate; give the clock with -clock.",
                          what)});
    return 0;
  }
  if (!ClockInRange(fileRateHz)) {
    LogAlways(
        {FormatText("*** Error: The sample rate of the %s, %.3f Hz, is outside the clock range; "
                    "give the clock with -clock.",
                    what, fileRateHz)});
    LogAlways({kClockRangeLine});
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
