// The import entry for the raw I/Q formats: opens slot 0 on the temporary
// waveform file, hands the input to the binary or ASCII reader, scales
// over-range data down to full scale in place and fills WaveInfo.
#include "import/ImportRawIQ.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/TempFiles.h"
#include "app/Console.h"
#include "import/AsciiImport.h"
#include "import/BinaryImport.h"
#include "import/ImportLevels.h"
#include "level/LevelOffsets.h"

namespace {

enum class Reader { kAscii, kBinary };

struct FormatEntry {
  int code;
  Reader reader;
  const char* line;  // logged when the import starts
};

// Every code that a -format keyword produces for the raw importer.
constexpr FormatEntry kFormats[] = {
    {0, Reader::kAscii, "Format is ASCII, Floating Point"},
    {2, Reader::kAscii, "Format is ASCII, Int16, HEX"},
    {3, Reader::kBinary, "Format is Binary, Float32, BE, IQIQ..."},
    {4, Reader::kBinary, "Format is Binary, Float32, LE, IQIQ..."},
    {5, Reader::kBinary, "Format is Binary, Int16, BE, IQIQ..."},
    {6, Reader::kBinary, "Format is Binary, Int16, LE, IQIQ..."},
    {9, Reader::kAscii, "Format is ASCII, UInt14, sep. I,Q"},
    {10, Reader::kAscii, "Format is ASCII, UInt16, sep. I,Q"},
    {11, Reader::kBinary, "Format is Binary, Int14, BE, sep. I,Q"},
    {12, Reader::kBinary, "Format is Binary, Int14, LE, sep. I,Q"},
};

// Full scale: a vector magnitude of 1.0. Data above it is scaled down.
constexpr double kFullScale = 1.0;
constexpr std::int32_t kFloatBytes = 4;

const FormatEntry* FindFormat(int code) {
  for (const FormatEntry& entry : kFormats) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

// Values in the temporary file are little-endian floats.
float FloatFromFile(const unsigned char* bytes) {
  unsigned char ordered[kFloatBytes];
  std::memcpy(ordered, bytes, sizeof(ordered));
  if constexpr (std::endian::native != std::endian::little) ReverseBytes(ordered, sizeof(ordered));
  float value;
  std::memcpy(&value, ordered, sizeof(value));
  return value;
}

void FloatToFile(float value, unsigned char* bytes) {
  std::memcpy(bytes, &value, sizeof(value));
  if constexpr (std::endian::native != std::endian::little) ReverseBytes(bytes, sizeof(value));
}

// Releases slot 0 first, then logs, as every failure of the import does.
int Fail(SlotGuard& tempSlot, const std::string& message) {
  tempSlot.Release();
  LogAlways({message});
  return 0;
}

// Divides every sample of slot 0 by the peak, rewriting the file in place,
// and measures the RMS of the scaled data. Slot 0 stands at the beginning.
int NormaliseToFullScale(SlotGuard& tempSlot, std::int32_t samples, double peak, double* rms) {
  LogAlways({FormatText("Max. vector is %5.4f. Scaling down to 1.0...", peak)});
  ReportProgress(0);

  // Reading and writing the header puts both positions of slot 0 behind it.
  unsigned char header[kTempWaveHeaderSize];
  if (_ReadBytes(kSlotImportTemp, kTempWaveHeaderSize, header) != kTempWaveHeaderSize) {
    return Fail(tempSlot, "*** Error reading header from temporary waveform file.");
  }
  if (_WriteBytes(kSlotImportTemp, kTempWaveHeaderSize, header) != kTempWaveHeaderSize) {
    return Fail(tempSlot, "*** Error writing header to temporary waveform file.");
  }

  const float divisor = static_cast<float>(peak);
  double sum = 0.0;
  PercentCounter progress(samples, 1);
  int lastPercent = 0;
  for (std::int32_t index = 0; index < samples; ++index) {
    unsigned char bytes[kFloatBytes];
    if (_ReadBytes(kSlotImportTemp, kFloatBytes, bytes) != kFloatBytes) {
      return Fail(tempSlot,
                  FormatText("*** Error reading I sample from temporary file for sample %ld.",
                             static_cast<long>(index)));
    }
    const float i = FloatFromFile(bytes) / divisor;
    if (_ReadBytes(kSlotImportTemp, kFloatBytes, bytes) != kFloatBytes) {
      return Fail(tempSlot,
                  FormatText("*** Error reading Q sample from temporary file for sample %ld.",
                             static_cast<long>(index)));
    }
    const float q = FloatFromFile(bytes) / divisor;
    sum += static_cast<double>(i) * i + static_cast<double>(q) * q;
    FloatToFile(i, bytes);
    if (_WriteBytes(kSlotImportTemp, kFloatBytes, bytes) != kFloatBytes) {
      return Fail(tempSlot, "*** Error writing I sample to temporary waveform file.");
    }
    FloatToFile(q, bytes);
    if (_WriteBytes(kSlotImportTemp, kFloatBytes, bytes) != kFloatBytes) {
      return Fail(tempSlot, "*** Error writing Q sample to temporary waveform file.");
    }
    if (progress.Value() != lastPercent) {
      lastPercent = progress.Value();
      ReportProgress(lastPercent);
    }
    progress.Advance();
  }
  *rms = samples > 0 ? std::sqrt(sum / samples) : 0.0;
  LogAlways({FormatText("New RMS value is %5.2f.", *rms)});
  return 1;
}

}  // namespace

int ImportRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                int format, std::FILE* tempWaveFile) {
  // Codes 1, 7 and 8 lie inside the numeric range but name no format and
  // have no reader, so they are refused like any other unknown code.
  const FormatEntry* entry = FindFormat(format);
  if (entry == nullptr) {
    LogAlways({"*** Wrong import data format."});
    return 0;
  }
  if (tempWaveFile == nullptr) {
    LogAlways({"*** Temporary file for wave data not open."});
    return 0;
  }

  SlotGuard tempSlot;
  {
    const StreamSlot& slot = GetStreamSlot(kSlotImportTemp);
    const bool wasFree = !slot.rbuffer && !slot.wbuffer;
    const int opened = _InitBuf(kSlotImportTemp, tempWaveFile, 1, 1, 1);
    // A failed open may leave buffers in a slot that was free; never touch
    // a slot that somebody else holds.
    if (opened || wasFree) tempSlot.Attach(kSlotImportTemp);
    if (!opened) {
      LogAlways({"*** Cannot setup buffer for temporary waveform file."});
      return 0;
    }
  }
  if (_WriteBytes(kSlotImportTemp, kTempWaveHeaderSize, kTempWaveHeader) != kTempWaveHeaderSize) {
    return Fail(tempSlot, "*** Cannot write to temporary waveform file.");
  }

  ImportLevels levels;
  ReportProgress(0);
  LogAlways({FormatText("Importing from file '%s'", inputPath.c_str())});
  LogAlways({entry->line});

  const int imported = entry->reader == Reader::kBinary
                           ? ImportBinary(inputPath, secondPath, format, info, levels)
                           : ImportAscii(inputPath, secondPath, format, info, levels);
  if (!imported) return 0;  // the reader has logged and released slot 0

  // A value that overflowed or was not a number cannot be scaled; it would
  // reach the output as garbage.
  if (!std::isfinite(levels.peak) || !std::isfinite(levels.sum)) {
    return Fail(tempSlot,
                "*** Error: Numbers appear to be too large. Check data format and range!");
  }

  double peak = levels.peak;
  // No pairs give an RMS of 0 rather than 0 / 0.
  double rms = levels.pairs > 0 ? std::sqrt(levels.sum / levels.pairs) : 0.0;
  if (levels.pairs > 0 && levels.onlySilentWords) {
    // Words of 0 only: silence, whatever half-step offset their conversion has.
    peak = 0.0;
    rms = 0.0;
  }
  if (peak > kFullScale) {
    if (!NormaliseToFullScale(tempSlot, info.samples, peak, &rms)) return 0;
    peak = kFullScale;
  }

  // Releasing flushes the pending data into the file; a failed flush leaves
  // the file incomplete.
  if (!tempSlot.Release()) {
    LogAlways({"*** Cannot write to temporary waveform file."});
    return 0;
  }
  info.levelsValid = 1;
  info.rmsOffset = LevelOffsetFromLinear(rms);
  info.peakOffset = LevelOffsetFromLinear(peak);
  return 1;
}
