// Level definitions shared by importer, reader, rescaler and writer: offsets
// in dB below full scale (a vector magnitude of 1.0), and the statistics block.
#pragma once

#include "common/WaveInfo.h"

// Offset shown and written for a level of 0 (silent data): 20 * log10(1e7),
// the same floor the waveform reader reaches for all-zero input.
inline constexpr double kSilentLevelOffset = 140.0;

// 20 * log10(1 / linear); kSilentLevelOffset when linear is 0 or not positive.
double LevelOffsetFromLinear(double linear);

// 1 / 10^(offset / 20).
double LinearFromLevelOffset(double offsetDb);

// Prints the "Signal Statistics" block at level 1 from info alone.
void PrintSignalStatistics(const WaveInfo& info);
