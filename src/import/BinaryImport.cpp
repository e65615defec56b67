// Reader of the raw binary formats: one loop for interleaved Float32 and
// Int16 files and for the two-file Int14 format, writing every pair as two
// little-endian 32-bit floats in full-scale units into slot 0.
#include "import/BinaryImport.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "common/Progress.h"
#include "platform/Platform.h"

namespace {

// The sizes of the input are held in signed 32-bit counts.
constexpr std::int64_t kMaxInputBytes = std::int64_t{1} << 31;

constexpr int kFloatBytes = 4;
constexpr int kWordBytes = 2;
constexpr std::uint16_t kInt14Mask = 0x3FFF;
constexpr double kInt16FullScale = 32767.0;
constexpr double kInt14FullScale = 16383.0;
constexpr bool kHostLittleEndian = std::endian::native == std::endian::little;

enum class UnitKind { kFloat32, kInt16, kInt14 };

struct BinaryLayout {
  InputFormat code;
  UnitKind kind;
  bool bigEndian;
  bool twoFiles;  // I from the first file, Q from the second
  int unitBytes;
  int bytesPerPair;  // bytes of the first file per pair, for progress and size checks
};

constexpr BinaryLayout kLayouts[] = {
    {kFormatF32be, UnitKind::kFloat32, true, false, kFloatBytes, 8},
    {kFormatF32le, UnitKind::kFloat32, false, false, kFloatBytes, 8},
    {kFormatI16be, UnitKind::kInt16, true, false, kWordBytes, 4},
    {kFormatI16le, UnitKind::kInt16, false, false, kWordBytes, 4},
    {kFormatI14be2, UnitKind::kInt14, true, true, kWordBytes, 2},
    {kFormatI14le2, UnitKind::kInt14, false, true, kWordBytes, 2},
};

const BinaryLayout* FindLayout(InputFormat format) {
  for (const BinaryLayout& layout : kLayouts) {
    if (layout.code == format) return &layout;
  }
  return nullptr;
}

// The full-scale value of every 16-bit word, computed once with the exact
// double-precision formula, so a table lookup gives bit for bit the float
// that the formula gives, without a division per sample.
const std::array<float, 65536>& Int16Table() {
  static const std::array<float, 65536> table = [] {
    std::array<float, 65536> values{};
    for (unsigned word = 0; word < 65536; ++word) {
      const auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>(word));
      values[word] = static_cast<float>((s - 0.5) / kInt16FullScale);
    }
    return values;
  }();
  return table;
}

// As Int16Table for the low 14 bits of a word; the top two bits are ignored.
const std::array<float, kInt14Mask + 1>& Int14Table() {
  static const std::array<float, kInt14Mask + 1> table = [] {
    std::array<float, kInt14Mask + 1> values{};
    for (unsigned v = 0; v <= kInt14Mask; ++v) {
      values[v] = static_cast<float>(2.0 * ((v - 0.5) / kInt14FullScale - 0.5));
    }
    return values;
  }();
  return table;
}

// The input streams of one import, closed in the order slot 1, input,
// slot 2, second file on every way out.
struct InputStreams {
  platform::FileHandle input;
  SlotGuard inputSlot;
  platform::FileHandle second;
  SlotGuard secondSlot;

  InputStreams() = default;
  InputStreams(const InputStreams&) = delete;
  InputStreams& operator=(const InputStreams&) = delete;
  ~InputStreams() { Close(); }
  void Close() {
    inputSlot.Release();
    input.reset();
    secondSlot.Release();
    second.reset();
  }
};

// Opens a read-only unencrypted slot; the guard takes it on success (a
// failed open leaves the slot free).
bool OpenInputSlot(int index, std::FILE* file, SlotGuard& guard) {
  if (!_InitBuf(index, file, 1, 0, 0)) return false;
  guard.Attach(index);
  return true;
}

// Releases slot 0 first, then logs, as every failure of the reader does.
int Fail(SlotGuard& tempSlot, const std::string& message) {
  tempSlot.Release();
  LogAlways({message});
  return 0;
}

// The same for a failed call on a file: the message, then the path and the
// system's reason.
int FailOnFile(SlotGuard& tempSlot, const std::string& message, const std::string& path) {
  LogAlways({message});
  LogFileReason(path);
  tempSlot.Release();
  return 0;
}

// How the units of one format become full-scale floats: Float32 units are
// copied, integer words index a table of their values.
struct UnitDecoder {
  int unitBytes;
  bool bigEndian;
  const float* table;      // null for Float32
  std::uint16_t wordMask;  // bits of a word that carry the value
};

// Converts count units that follow each other in bytes into full-scale
// floats, the k-th into values[k * valueStride].
template <bool kFloat, bool kBigEndian>
void DecodeUnits(const unsigned char* bytes, std::int32_t count, const UnitDecoder& decoder,
                 float* values, int valueStride) {
  for (std::int32_t k = 0; k < count; ++k) {
    float value;
    if constexpr (kFloat) {
      const unsigned char* unit = bytes + static_cast<std::size_t>(k) * kFloatBytes;
      value = std::bit_cast<float>(kBigEndian ? LoadBE32(unit) : LoadLE32(unit));
    } else {
      const unsigned char* unit = bytes + static_cast<std::size_t>(k) * kWordBytes;
      const std::uint16_t word = kBigEndian ? LoadBE16(unit) : LoadLE16(unit);
      value = decoder.table[word & decoder.wordMask];
    }
    values[static_cast<std::size_t>(k) * valueStride] = value;
  }
}

using DecodeFunction = void (*)(const unsigned char*, std::int32_t, const UnitDecoder&, float*,
                                int);

DecodeFunction SelectDecoder(const UnitDecoder& decoder) {
  if (decoder.table == nullptr)
    return decoder.bigEndian ? DecodeUnits<true, true> : DecodeUnits<true, false>;
  return decoder.bigEndian ? DecodeUnits<false, true> : DecodeUnits<false, false>;
}

// Writes count floats to slot 0 in the little-endian layout of the
// temporary file.
bool WriteSamples(const float* values, std::int32_t count, std::vector<unsigned char>& bytes) {
  const std::int32_t size = count * kFloatBytes;
  if constexpr (kHostLittleEndian) {
    (void)bytes;
    return _WriteBytes(kSlotImportTemp, size, values) == size;
  } else {
    for (std::int32_t k = 0; k < count; ++k)
      StoreFloatLE(values[k], bytes.data() + static_cast<std::size_t>(k) * kFloatBytes);
    return _WriteBytes(kSlotImportTemp, size, bytes.data()) == size;
  }
}

// Opens the input (and second) file, checks the size limits before any
// sample is written and sets up the input slots. *fileSize and *secondSize
// receive the sizes of the files.
int OpenBinaryInputs(const std::string& inputPath, const std::string& secondPath,
                     SlotGuard& tempSlot, InputStreams& streams, std::int64_t* fileSize,
                     std::int64_t* secondSize, int bytesPerPair) {
  streams.input.reset(platform::OpenFile(inputPath, "rb"));
  if (streams.input == nullptr)
    return FailOnFile(tempSlot, "*** Error opening input file.", inputPath);
  if (!platform::GetFileSize(inputPath, fileSize)) return Fail(tempSlot, "*** File I/O error.");
  // Refused before any sample is written: the size is a signed 32-bit count,
  // and the pairs must fit the temporary stream's 32-bit length.
  if (*fileSize >= kMaxInputBytes) {
    return Fail(tempSlot,
                FormatText("*** Error: Input file has %lld bytes; files of 2 GiB or more are "
                           "not supported.",
                           static_cast<long long>(*fileSize)));
  }
  const std::int64_t expectedPairs = *fileSize / bytesPerPair;
  if (expectedPairs > kMaxTempSamples) {
    return Fail(tempSlot,
                FormatText("*** Error: Input file holds %lld I/Q pairs; at most %ld are supported.",
                           static_cast<long long>(expectedPairs), kMaxTempSamples));
  }
  if (!OpenInputSlot(kSlotImportInput, streams.input.get(), streams.inputSlot))
    return Fail(tempSlot, "*** Error setting up buffer for input file.");
  if (!secondPath.empty()) {
    LogAlways({FormatText("Importing from 2nd BINARY file '%s'.", secondPath.c_str())});
    streams.second.reset(platform::OpenFile(secondPath, "rb"));
    if (streams.second == nullptr)
      return FailOnFile(tempSlot, "*** Error opening second input file.", secondPath);
    if (!platform::GetFileSize(secondPath, secondSize))
      return Fail(tempSlot, "*** File I/O error.");
    if (!OpenInputSlot(kSlotImportSecond, streams.second.get(), streams.secondSlot))
      return Fail(tempSlot, "*** Error setting up buffer for second input file.");
  }
  return 1;
}

UnitDecoder MakeDecoder(const BinaryLayout& layout, ImportLevels& levels) {
  UnitDecoder decoder{layout.unitBytes, layout.bigEndian, nullptr, 0xFFFF};
  if (layout.kind == UnitKind::kInt16) {
    decoder.table = Int16Table().data();
    levels.silentValue = kInt16ZeroWordValue;
  }
  if (layout.kind == UnitKind::kInt14) {
    decoder.table = Int14Table().data();
    decoder.wordMask = kInt14Mask;
  }
  return decoder;
}

// Bytes read from the first and the second input file.
struct ByteCounts {
  std::int64_t first = 0;
  std::int64_t second = 0;
};

// Fails the import when an input was read with another size than it had
// when it was opened: cut short or grown meanwhile, it would give fewer or
// other pairs than the file holds. The first file is read to its end; the
// second only as far as the first reaches, so it must not have grown beyond
// the size it had.
int CheckUnchanged(SlotGuard& tempSlot, const std::string& path, std::int64_t sizeAtOpen,
                   std::int64_t bytesRead, bool readToEnd) {
  if (readToEnd ? bytesRead == sizeAtOpen : bytesRead <= sizeAtOpen) return 1;
  tempSlot.Release();
  LogAlways({"*** Error: Input file ", path, " changed while it was read."});
  LogAlways({FormatText("    (%lld bytes when opened, %lld bytes read)",
                        static_cast<long long>(sizeAtOpen), static_cast<long long>(bytesRead))});
  return 0;
}

// Pairs converted per block: the input is read, converted and written a
// block at a time, never one value at a time.
constexpr std::int32_t kBlockPairs = 8192;

// Reads the pairs of the open inputs into slot 0 until the first file ends,
// measuring their level pair by pair in file order. *pairs receives the pair
// count, *consumed the bytes read from each file. The messages and the
// progress values are those of a loop over single pairs: a write fails where
// the stream layer flushes a full chunk, which (3 header bytes before 8-byte
// pairs) always lies inside a Q value.
int ConvertBinaryPairs(const BinaryLayout& layout, std::int64_t fileSize, SlotGuard& tempSlot,
                       ImportLevels& levels, std::int32_t* pairs, ByteCounts* consumed) {
  const UnitDecoder decoder = MakeDecoder(layout, levels);
  const DecodeFunction decode = SelectDecoder(decoder);
  const std::int32_t unit = decoder.unitBytes;
  const char* const writeIError = layout.twoFiles
                                      ? "*** Error writing to temporary waveform file."
                                      : "*** Error writing I to temporary waveform file.";
  const char* const writeQError = layout.twoFiles
                                      ? "*** Error writing to temporary waveform file."
                                      : "*** Error writing Q to temporary waveform file.";
  // Bytes of the first file per pair: I only, or I and Q.
  const std::int32_t firstBytesPerPair = layout.twoFiles ? unit : 2 * unit;
  std::vector<unsigned char> first(static_cast<std::size_t>(kBlockPairs * firstBytesPerPair));
  std::vector<unsigned char> second(layout.twoFiles ? static_cast<std::size_t>(kBlockPairs * unit)
                                                    : 0);
  std::vector<float> values(2 * static_cast<std::size_t>(kBlockPairs));
  std::vector<unsigned char> bytes(kHostLittleEndian ? 0 : values.size() * kFloatBytes);

  PercentCounter progress(fileSize, layout.bytesPerPair);
  int lastPercent = 0;
  std::int32_t n = 0;
  for (;;) {
    const auto requested = static_cast<std::int32_t>(first.size());
    const std::int32_t got = _ReadBytes(kSlotImportInput, requested, first.data());
    // A failed read is no end of the data: the pairs behind it would be lost.
    if (got < 0) return Fail(tempSlot, "*** File I/O error.");
    consumed->first += got;

    // Whole pairs of the block, and whether an I value is left without its Q.
    std::int32_t complete = 0;
    bool lonelyI = false;
    if (layout.twoFiles) {
      const std::int32_t units = got / unit;
      const std::int32_t gotQ =
          units > 0 ? _ReadBytes(kSlotImportSecond, units * unit, second.data()) : 0;
      consumed->second += std::max(gotQ, 0);
      complete = std::min(units, std::max(gotQ, 0) / unit);
      lonelyI = complete < units;
      decode(first.data(), complete + (lonelyI ? 1 : 0), decoder, values.data(), 2);
      decode(second.data(), complete, decoder, values.data() + 1, 2);
    } else {
      complete = got / (2 * unit);
      lonelyI = got % (2 * unit) >= unit;
      decode(first.data(), 2 * complete + (lonelyI ? 1 : 0), decoder, values.data(), 1);
    }
    // Guards the 32-bit sample count should the file have grown since its size was taken.
    const bool beyondLimit = complete + (lonelyI ? 1 : 0) > kMaxTempSamples - n;
    if (beyondLimit) {
      complete = static_cast<std::int32_t>(kMaxTempSamples - n);
      lonelyI = false;
    }

    std::int32_t done = 0;
    bool tooLarge = false;
    for (; done < complete; ++done) {
      const float i = values[2 * static_cast<std::size_t>(done)];
      const float q = values[2 * static_cast<std::size_t>(done) + 1];
      const int percent = progress.Value();
      if (percent != lastPercent) {
        lastPercent = percent;
        ReportProgress(percent);
      }
      AccumulatePair(levels, i, q);
      // A NaN never raises the peak, so it is caught here explicitly: such a
      // value is as sure a sign of a wrong format or byte order as a huge one.
      if (levels.peak > kBinaryRangeLimit || std::isnan(i) || std::isnan(q)) {
        tooLarge = true;
        break;
      }
      progress.Advance();
    }

    // The pairs up to the one that ended the block (it has been written
    // before the range check looked at it).
    const std::int32_t written = tooLarge ? done + 1 : complete;
    if (written > 0 && !WriteSamples(values.data(), 2 * written, bytes))
      return Fail(tempSlot, writeQError);
    if (tooLarge) {
      const float i = values[2 * static_cast<std::size_t>(done)];
      const float q = values[2 * static_cast<std::size_t>(done) + 1];
      Fail(tempSlot, "*** Error: Numbers appear to be too large. Check data format and range!");
      LogAlways({FormatText("    (DataPoint=%ld, I=%1.3f, Q=%1.3f)", static_cast<long>(n + done),
                            static_cast<double>(i), static_cast<double>(q))});
      return 0;
    }
    n += complete;
    if (beyondLimit) {
      return Fail(tempSlot, FormatText("*** Error: Input file holds more than %ld I/Q pairs.",
                                       kMaxTempSamples));
    }
    if (lonelyI) {
      if (!WriteSamples(values.data() + 2 * static_cast<std::size_t>(complete), 1, bytes))
        return Fail(tempSlot, writeIError);
      return Fail(tempSlot, "*** Error: No Q data available for I sample.");
    }
    if (got < requested) break;  // end of data; a partial unit is ignored
  }
  if (progress.Value() != lastPercent) ReportProgress(progress.Value());
  *pairs = n;
  return 1;
}

}  // namespace

int ImportBinary(const std::string& inputPath, const std::string& secondPath, InputFormat format,
                 SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  const BinaryLayout* layout = FindLayout(format);
  if (layout == nullptr) return Fail(tempSlot, "*** Wrong import data format.");
  // Without its Q file a two-file format cannot form a single pair.
  if (layout->twoFiles && secondPath.empty()) return Fail(tempSlot, "*** No 2nd file provided.");

  InputStreams streams;
  std::int64_t fileSize = 0;
  std::int64_t secondSize = 0;
  if (!OpenBinaryInputs(inputPath, secondPath, tempSlot, streams, &fileSize, &secondSize,
                        layout->bytesPerPair))
    return 0;
  std::int32_t n = 0;
  ByteCounts consumed;
  if (!ConvertBinaryPairs(*layout, fileSize, tempSlot, levels, &n, &consumed)) return 0;
  if (!CheckUnchanged(tempSlot, inputPath, fileSize, consumed.first, true)) return 0;
  if (!secondPath.empty() &&
      !CheckUnchanged(tempSlot, secondPath, secondSize, consumed.second, false))
    return 0;

  levels.pairs = n;
  streams.Close();
  if (!_RestartAtBegining(kSlotImportTemp))
    return Fail(tempSlot, "*** Cannot write to temporary waveform file.");
  info.samples = n;
  LogAlways({FormatText("%ld data pairs imported.", static_cast<long>(n))});
  return 1;
}
