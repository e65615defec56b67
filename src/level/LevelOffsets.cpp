#include "level/LevelOffsets.h"

#include <cmath>

#include "common/Log.h"

double LevelOffsetFromLinear(double linear) {
  // Silent data (and anything that is not a positive level) would give an
  // infinite or undefined offset; it is shown and written as the floor.
  if (!(linear > 0.0)) return kSilentLevelOffset;
  return 20.0 * std::log10(1.0 / linear);
}

double LinearFromLevelOffset(double offsetDb) { return 1.0 / std::pow(10.0, offsetDb / 20.0); }

void PrintSignalStatistics(const WaveInfo& info) {
  const double rms = LinearFromLevelOffset(info.rmsOffset);
  const double peak = LinearFromLevelOffset(info.peakOffset);
  LogMessage(kLogInfo, {"========== Signal Statistics =========="});
  LogMessage(kLogInfo, {FormatText("ARB clock :%4.3f Hz", info.clock)});
  LogMessage(kLogInfo, {FormatText("MKR clock :%4.3f Hz", info.markerClock)});
  LogMessage(kLogInfo, {FormatText("Samples   :%ld", static_cast<long>(info.samples))});
  LogMessage(kLogInfo, {FormatText("RMS       :%5.2f / RMSOfs:%5.2f dBfs", rms, info.rmsOffset)});
  LogMessage(kLogInfo, {FormatText("PEAK      :%5.2f / PKOfs :%5.2f dBfs", peak, info.peakOffset)});
  LogMessage(kLogInfo, {FormatText("Pk/Av     :%5.2f dB", info.rmsOffset - info.peakOffset)});
  LogMessage(kLogInfo, {"======================================="});
}
