#include "level/Rescale.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "common/Progress.h"
#include "level/LevelOffsets.h"

namespace {

constexpr int kSlot = kSlotRescaleTemp;

int Fail(const char* message) {
  LogMessage(kLogAlwaysShown, {message});
  return 0;
}

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

  if (!InitBuf(kSlot, tempWaveFile, 1, 1)) return Fail("*** Error initializing I/O buffer.");
  SlotGuard slot(kSlot);

  unsigned char header[kTempWaveHeaderSize];
  if (ReadBytes(kSlot, kTempWaveHeaderSize, header) != kTempWaveHeaderSize)
    return Fail("*** Failed to read header from temporary waveform file.");
  if (std::memcmp(header, kTempWaveHeader, kTempWaveHeaderSize) != 0)
    return Fail("*** Invalid header in temporary waveform file.");
  if (WriteBytes(kSlot, kTempWaveHeaderSize, header) != kTempWaveHeaderSize)
    return Fail("*** Cannot write to temporary waveform file.");

  const float factor = static_cast<float>(std::pow(10.0, info.peakOffset / 20.0));

  ReportProgress(0);
  int last = -1;
  const float sampleCount = static_cast<float>(info.samples);
  unsigned char pair[kTempSampleSize];
  for (std::int32_t i = 0; i < info.samples; ++i) {
    const int pct = static_cast<int>(static_cast<float>(i) / sampleCount * 100.0f);
    if (pct != last) {
      ReportProgress(pct);
      last = pct;
    }
    if (ReadBytes(kSlot, kTempSampleSize, pair) != kTempSampleSize) {
      LogMessage(kLogAlwaysShown,
                 {FormatText("*** Cannot read sample no %d from temporary waveform file.",
                             static_cast<int>(i))});
      return 0;
    }
    StoreFloatLE(factor * LoadFloatLE(pair), pair);
    StoreFloatLE(factor * LoadFloatLE(pair + 4), pair + 4);
    if (WriteBytes(kSlot, kTempSampleSize, pair) != kTempSampleSize)
      return Fail("*** Cannot write IQ sample to temporary waveform file.");
  }

  // Releasing flushes the rewritten tail and the stream header.
  slot.Dismiss();
  if (!ReleaseBuf(kSlot)) {
    std::fputs("*** Error releasing I/O buffer.", stdout);
    return 0;
  }

  info.rmsOffset -= info.peakOffset;
  info.peakOffset = 0.0;
  ReportProgress(100);
  return 1;
}
