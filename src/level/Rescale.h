// Scales the samples of the temporary waveform file in place: so that the peak
// magnitude lands at full scale (-autoscale), or at a chosen peak or RMS
// level below it (-peak, -rms), and moves the level offsets with them.
#pragma once

#include <cstdio>

#include "common/WaveInfo.h"

// 1 on success, 0 on failure (offsets unchanged).
int Rescale(std::FILE* tempWaveFile, WaveInfo& info);

// A level the waveform is scaled to: the peak or the RMS magnitude that many
// dB below full scale.
enum class LevelKind { kNone, kPeak, kRms };
struct LevelTarget {
  LevelKind kind = LevelKind::kNone;
  double offsetDb = 0.0;
};

// The level targets' range of offsets, in dB below full scale.
inline constexpr double kMinTargetOffsetDb = 0.0;
inline constexpr double kMaxTargetOffsetDb = 100.0;
inline constexpr const char* kTargetRangeText = "0 to 100 dB below full scale";

// Measures the level offsets of the samples in the temporary waveform file
// (one read-only pass) into info; 1 on success, 0 on failure (logged).
int MeasureLevels(std::FILE* tempWaveFile, WaveInfo& info);

// Scales every sample by one factor so that the target's level lies at the
// target offset, from the offsets in info (which must hold the samples'
// levels). The offsets afterwards are those of the values as the writer
// writes them, each limited to full scale: a target that drives values
// beyond full scale (an RMS level near it) leaves a peak offset of 0 and an
// RMS offset measured after the limiting. Silent data is left as it is (with
// a warning naming `option`). 1 on success, 0 on failure (offsets unchanged).
int RescaleToLevel(std::FILE* tempWaveFile, WaveInfo& info, const LevelTarget& target,
                   const char* option);
