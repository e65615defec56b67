// The import entry for the raw I/Q formats: opens slot 0 on the temporary
// waveform file, hands the input to the binary or ASCII reader, scales
// over-range data down to full scale in place and fills WaveInfo.
#include "import/ImportRawIQ.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "common/Progress.h"
#include "import/AsciiImport.h"
#include "import/ContainerImport.h"
#include "import/FormatDetect.h"
#include "import/ImportLevels.h"
#include "import/InputFile.h"
#include "import/MatImport.h"
#include "import/SampleImport.h"
#include "level/LevelOffsets.h"
#include "platform/Platform.h"

namespace {

// Full scale: a vector magnitude of 1.0. Data above it is scaled down.
constexpr double kFullScale = 1.0;
constexpr std::int32_t kFloatBytes = 4;
// Samples read, scaled and written back per block.
constexpr std::int32_t kBlockSamples = 8192;

// Releases slot 0 first, then logs, as every failure of the import does.
int Fail(SlotGuard& tempSlot, const std::string& message) {
  tempSlot.Release();
  LogAlways({message});
  return 0;
}

// The same for a failed call on the temporary waveform file: the system's
// reason follows.
int FailTemp(SlotGuard& tempSlot, const std::string& message) {
  tempSlot.Release();
  LogAlways({message});
  LogFileReason(kTempWaveFileName);
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
  std::vector<unsigned char> block(static_cast<std::size_t>(kBlockSamples) * kTempSampleSize);
  for (std::int32_t first = 0; first < samples; first += kBlockSamples) {
    const std::int32_t count = std::min(kBlockSamples, samples - first);
    const std::int32_t size = count * kTempSampleSize;
    const std::int32_t got = _ReadBytes(kSlotImportTemp, size, block.data());
    if (got != size) {
      // The first value the read did not deliver.
      const std::int32_t whole = std::max(got, 0) / kFloatBytes;
      return FailTemp(
          tempSlot,
          FormatText(whole % 2 == 0 ? "*** Error reading I sample from temporary file for "
                                      "sample %ld."
                                    : "*** Error reading Q sample from temporary file for "
                                      "sample %ld.",
                     static_cast<long>(first + whole / 2)));
    }
    for (std::int32_t k = 0; k < count; ++k) {
      unsigned char* pair = block.data() + static_cast<std::size_t>(k) * kTempSampleSize;
      const float i = LoadFloatLE(pair) / divisor;
      const float q = LoadFloatLE(pair + kFloatBytes) / divisor;
      sum += static_cast<double>(i) * i + static_cast<double>(q) * q;
      StoreFloatLE(i, pair);
      StoreFloatLE(q, pair + kFloatBytes);
      if (progress.Value() != lastPercent) {
        lastPercent = progress.Value();
        ReportProgress(lastPercent);
      }
      progress.Advance();
    }
    // A write fails where the stream layer flushes a full chunk, which (3
    // header bytes before 8-byte pairs) always lies inside a Q value.
    if (_WriteBytes(kSlotImportTemp, size, block.data()) != size) {
      return FailTemp(tempSlot, "*** Error writing Q sample to temporary waveform file.");
    }
  }
  *rms = samples > 0 ? std::sqrt(sum / samples) : 0.0;
  LogAlways({FormatText("New RMS value is %5.2f.", *rms)});
  return 1;
}

// The reader of each FormatReader that reads into the temporary file. Every
// row of the format table must find its reader here (checked when the
// program is built), so no format can fall through to another reader.
using RawReader = int (*)(InputFile& input, const std::string& secondPath, InputFormat format,
                          SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);

struct ReaderEntry {
  FormatReader reader;
  RawReader read;
};

constexpr ReaderEntry kReaders[] = {
    {FormatReader::kRawSamples, &ImportRawSamples},
    {FormatReader::kAscii, &ImportAscii},
    {FormatReader::kWav,
     [](InputFile& input, const std::string&, InputFormat, SlotGuard& tempSlot, WaveInfo& info,
        ImportLevels& levels) { return ImportWav(input, tempSlot, info, levels); }},
    {FormatReader::kSigmf,
     [](InputFile& input, const std::string&, InputFormat, SlotGuard& tempSlot, WaveInfo& info,
        ImportLevels& levels) { return ImportSigmf(input, tempSlot, info, levels); }},
    {FormatReader::kNpy,
     [](InputFile& input, const std::string&, InputFormat, SlotGuard& tempSlot, WaveInfo& info,
        ImportLevels& levels) { return ImportNpy(input, tempSlot, info, levels); }},
    {FormatReader::kMat,
     [](InputFile& input, const std::string&, InputFormat, SlotGuard& tempSlot, WaveInfo& info,
        ImportLevels& levels) { return ImportMat(input, tempSlot, info, levels); }},
};

// The waveform file reader and auto take no part in the raw import.
constexpr bool ReadsIntoTemporaryFile(FormatReader reader) {
  return reader != FormatReader::kWaveform && reader != FormatReader::kDetect;
}

constexpr bool HasReader(FormatReader reader) {
  for (const ReaderEntry& entry : kReaders)
    if (entry.reader == reader) return true;
  return false;
}

constexpr bool EveryFormatHasAReader() {
  for (const InputFormatInfo& entry : kInputFormatTable)
    if (ReadsIntoTemporaryFile(entry.reader) && !HasReader(entry.reader)) return false;
  return true;
}

RawReader FindReader(FormatReader reader) {
  for (const ReaderEntry& entry : kReaders)
    if (entry.reader == reader) return entry.read;
  return nullptr;
}
static_assert(EveryFormatHasAReader(), "a format of the table has no reader");

// The import into tempWaveFile; with measure set, a measuring pass: over-range
// data is not rewritten, and what was read goes into *measure.
int Import(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
           InputFormat format, std::FILE* tempWaveFile, InputFile* openedInput,
           InputMeasure* measure) {
  // The unused codes and kxzetq have no raw reader; they are refused like any
  // other unknown code.
  const InputFormatInfo* entry = FindInputFormat(format);
  if (entry == nullptr || !ReadsIntoTemporaryFile(entry->reader)) {
    LogAlways({"*** Wrong import data format."});
    return 0;
  }
  if (tempWaveFile == nullptr) {
    LogAlways({"*** Temporary file for wave data not open."});
    return 0;
  }
  // Raw samples have no rate of their own (-format auto may have chosen a
  // raw format for a file given without -clock).
  if (IsRawBinaryFormat(format) && !(info.clock > 0.0) && info.defaultClock > 0.0) {
    info.clock = info.defaultClock;
    info.markerClock = info.defaultClock;
  }
  if (IsRawBinaryFormat(format) && !(info.clock > 0.0)) {
    LogAlways({"*** Error: No clock rate for raw samples; give the clock with -clock."});
    // A measuring pass goes on: the samples can be described all the same.
    if (measure == nullptr) return 0;
  }

  // Slot 0 belongs to this function for the whole import; the readers write
  // into it and release it through this guard when they fail.
  if (!_InitBuf(kSlotImportTemp, tempWaveFile, 1, 1, 1)) {
    LogAlways({"*** Cannot setup buffer for temporary waveform file."});
    return 0;
  }
  SlotGuard tempSlot(kSlotImportTemp);
  if (_WriteBytes(kSlotImportTemp, kTempWaveHeaderSize, kTempWaveHeader) != kTempWaveHeaderSize) {
    return FailTemp(tempSlot, "*** Cannot write to temporary waveform file.");
  }

  ImportLevels levels;
  if (measure != nullptr) levels.stats = &measure->stats;
  ReportProgress(0);
  LogAlways({FormatText("Importing from file '%s'", inputPath.c_str())});
  LogAlways({entry->importLine});

  // The input is opened once: the format check and the reader share it.
  InputFile input;
  if (openedInput != nullptr && openedInput->IsOpen()) {
    input = std::move(*openedInput);
  } else if (!OpenInputFile(inputPath, &input)) {
    tempSlot.Release();
    return 0;
  }
  // A file with a header of its own would be read as samples, header and all.
  if (IsRawBinaryFormat(format) && !CheckRawInput(input)) {
    tempSlot.Release();
    return 0;
  }
  // The reader has logged and released slot 0 when it fails.
  if (!FindReader(entry->reader)(input, secondPath, format, tempSlot, info, levels)) return 0;

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
  if (measure != nullptr) {
    measure->peak = peak;
    measure->rms = rms;
  }
  if (peak > kFullScale && info.hasStatedLevels) {
    LogMessage(kLogInfo, {"The level offsets the input states are not used: its samples are "
                          "scaled down to full scale."});
    info.hasStatedLevels = false;
  }
  if (peak > kFullScale && measure != nullptr) {
    // The figures the scaling down would give, without a file to rewrite.
    rms /= peak;
    peak = kFullScale;
  } else if (peak > kFullScale) {
    if (!NormaliseToFullScale(tempSlot, info.samples, peak, &rms)) return 0;
    peak = kFullScale;
  }

  // Releasing flushes the pending data into the file; a failed flush leaves
  // the file incomplete.
  if (!tempSlot.Release()) {
    LogAlways({"*** Cannot write to temporary waveform file."});
    LogFileReason(kTempWaveFileName);
    return 0;
  }
  info.levelsValid = 1;
  info.rmsOffset = LevelOffsetFromLinear(rms);
  info.peakOffset = LevelOffsetFromLinear(peak);
  return 1;
}

}  // namespace

int ImportRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                InputFormat format, std::FILE* tempWaveFile, InputFile* openedInput) {
  return Import(inputPath, secondPath, info, format, tempWaveFile, openedInput, nullptr);
}

int MeasureRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                 InputFormat format, InputFile* openedInput, InputMeasure* measure) {
  const platform::FileHandle nowhere(platform::OpenNullDevice());
  if (!nowhere) {
    LogAlways({"*** Cannot open the null device for a measuring pass."});
    return 0;
  }
  *measure = InputMeasure();
  if (!Import(inputPath, secondPath, info, format, nowhere.get(), openedInput, measure)) return 0;
  ApplyStatedLevels(info);
  return 1;
}

void ApplyStatedLevels(WaveInfo& info) {
  if (!info.hasStatedLevels) return;
  LogMessage(kLogInfo, {FormatText("Level offsets %f,%f dB as the input states them "
                                   "(measured %f,%f dB).",
                                   info.statedRmsOffset, info.statedPeakOffset, info.rmsOffset,
                                   info.peakOffset)});
  info.rmsOffset = info.statedRmsOffset;
  info.peakOffset = info.statedPeakOffset;
  info.levelsValid = 1;
}
