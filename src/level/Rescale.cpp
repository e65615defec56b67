#include "level/Rescale.h"

#include <algorithm>
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
#include "level/LevelOffsets.h"

namespace {

constexpr int kSlot = kSlotRescaleTemp;
constexpr std::int32_t kFloatBytes = 4;
// Samples read, scaled and written back per block.
constexpr std::int32_t kBlockSamples = 8192;

int Fail(const char* message) {
  LogMessage(kLogAlwaysShown, {message});
  return 0;
}

// The same for a failed call on the temporary waveform file: the system's
// reason follows.
int FailTemp(const char* message) {
  LogMessage(kLogAlwaysShown, {message});
  LogFileReason(kTempWaveFileName);
  return 0;
}

// Words of 0 read from a 16-bit file lie half a step below zero; a waveform
// of nothing else is silent and has no level to scale.
constexpr double kSilentMagnitude = 0.5 / 32767.0 * (1.0 + 1e-6);

// The levels of values as the writer writes them: each limited to [-1, 1].
struct WrittenLevels {
  double peakPower = 0.0;
  double sum = 0.0;
  bool silent = true;
  void Add(float i, float q) {
    const double ci = std::clamp(static_cast<double>(i), -1.0, 1.0);
    const double cq = std::clamp(static_cast<double>(q), -1.0, 1.0);
    const double m2 = ci * ci + cq * cq;
    peakPower = std::max(peakPower, m2);
    sum += m2;
    silent = silent && std::fabs(ci) <= kSilentMagnitude && std::fabs(cq) <= kSilentMagnitude;
  }
  void Store(WaveInfo& info) const {
    if (silent) {
      info.peakOffset = info.rmsOffset = kSilentLevelOffset;
      info.levelsValid = 1;
      return;
    }
    info.peakOffset = LevelOffsetFromLinear(std::sqrt(peakPower));
    info.rmsOffset = LevelOffsetFromLinear(info.samples > 0 ? std::sqrt(sum / info.samples) : 0.0);
    info.levelsValid = 1;
  }
};

// One pass over the samples of slot kSlot, opened on tempWaveFile: each value
// multiplied by factor and written back (when write is set), the levels of
// the results gathered into levels (when not null). 1 on success, 0 on
// failure (logged).
int ScaleSamples(std::FILE* tempWaveFile, const WaveInfo& info, float factor, bool write,
                 WrittenLevels* levels) {
  if (!InitBuf(kSlot, tempWaveFile, 1, write ? 1 : 0))
    return Fail("*** Error initializing I/O buffer.");
  SlotGuard slot(kSlot);

  unsigned char header[kTempWaveHeaderSize];
  if (ReadBytes(kSlot, kTempWaveHeaderSize, header) != kTempWaveHeaderSize)
    return Fail("*** Failed to read header from temporary waveform file.");
  if (std::memcmp(header, kTempWaveHeader, kTempWaveHeaderSize) != 0)
    return Fail("*** Invalid header in temporary waveform file.");
  if (write && WriteBytes(kSlot, kTempWaveHeaderSize, header) != kTempWaveHeaderSize)
    return FailTemp("*** Cannot write to temporary waveform file.");

  ReportProgress(0);
  int last = -1;
  const float sampleCount = static_cast<float>(info.samples);
  // The percentage of sample i as the progress shows it; it never falls as
  // i grows, so a block whose last sample shows the last value shown needs
  // no look at its other samples.
  const auto percentOf = [sampleCount](std::int32_t i) {
    return static_cast<int>(static_cast<float>(i) / sampleCount * 100.0f);
  };
  std::vector<unsigned char> block(static_cast<std::size_t>(kBlockSamples) * kTempSampleSize);
  for (std::int32_t first = 0; first < info.samples; first += kBlockSamples) {
    const std::int32_t count = std::min(kBlockSamples, info.samples - first);
    const std::int32_t size = count * kTempSampleSize;
    if (percentOf(first + count - 1) != last) {
      for (std::int32_t i = first; i < first + count; ++i) {
        const int pct = percentOf(i);
        if (pct != last) {
          ReportProgress(pct);
          last = pct;
        }
      }
    }
    const std::int32_t got = ReadBytes(kSlot, size, block.data());
    if (got != size) {
      LogMessage(kLogAlwaysShown,
                 {FormatText("*** Cannot read sample no %d from temporary waveform file.",
                             static_cast<int>(first + std::max(got, 0) / kTempSampleSize))});
      return 0;
    }
    for (std::int32_t k = 0; k < 2 * count; k += 2) {
      unsigned char* value = block.data() + static_cast<std::size_t>(k) * kFloatBytes;
      const float i = factor * LoadFloatLE(value);
      const float q = factor * LoadFloatLE(value + kFloatBytes);
      if (write) {
        StoreFloatLE(i, value);
        StoreFloatLE(q, value + kFloatBytes);
      }
      if (levels != nullptr) levels->Add(i, q);
    }
    if (write && WriteBytes(kSlot, size, block.data()) != size)
      return FailTemp("*** Cannot write IQ sample to temporary waveform file.");
  }

  // Releasing flushes the rewritten tail and the stream header.
  slot.Dismiss();
  if (!ReleaseBuf(kSlot)) {
    std::fputs("*** Error releasing I/O buffer.", stdout);
    return 0;
  }
  return 1;
}

const char* LevelKindName(LevelKind kind) { return kind == LevelKind::kPeak ? "PEAK" : "RMS "; }

}  // namespace

int Rescale(std::FILE* tempWaveFile, WaveInfo& info) {
  // All-zero data carries the silent floor as its peak offset; no factor can
  // lift it to full scale, and moving the offsets would claim a level the
  // samples do not have.
  if (info.levelsValid && info.peakOffset >= kSilentLevelOffset) {
    LogMessage(kLogWarning, {"*** Warning: Signal is all zero; -autoscale has no effect."});
    return 1;
  }

  LogMessage(kLogInfo, {"Rescaling waveform data"});
  LogMessage(kLogInfo, {FormatText("  Overall PEAK offset is %5.2f dB. Scaling to  0.00 dB",
                                   info.peakOffset)});
  LogMessage(kLogInfo, {FormatText("  Overall RMS  offset is %5.2f dB. Scaling to %5.2f dB",
                                   info.rmsOffset, info.rmsOffset - info.peakOffset)});

  const float factor = static_cast<float>(std::pow(10.0, info.peakOffset / 20.0));
  if (!ScaleSamples(tempWaveFile, info, factor, true, nullptr)) return 0;

  info.rmsOffset -= info.peakOffset;
  info.peakOffset = 0.0;
  ReportProgress(100);
  return 1;
}

int MeasureLevels(std::FILE* tempWaveFile, WaveInfo& info) {
  WrittenLevels levels;
  if (!ScaleSamples(tempWaveFile, info, 1.0f, false, &levels)) return 0;
  levels.Store(info);
  return 1;
}

int RescaleToLevel(std::FILE* tempWaveFile, WaveInfo& info, const LevelTarget& target,
                   const char* option) {
  if (info.levelsValid && info.peakOffset >= kSilentLevelOffset) {
    LogMessage(kLogWarning, {"*** Warning: Signal is all zero; ", option, " has no effect."});
    return 1;
  }
  const double current = target.kind == LevelKind::kPeak ? info.peakOffset : info.rmsOffset;
  const double change = current - target.offsetDb;
  LogMessage(kLogInfo, {"Rescaling waveform data"});
  LogMessage(kLogInfo, {FormatText("  Overall %s offset is %5.2f dB. Scaling to %5.2f dB",
                                   LevelKindName(target.kind), current, target.offsetDb)});
  const float factor = static_cast<float>(std::pow(10.0, change / 20.0));
  WrittenLevels levels;
  if (!ScaleSamples(tempWaveFile, info, factor, true, &levels)) return 0;
  levels.Store(info);
  ReportProgress(100);
  return 1;
}
