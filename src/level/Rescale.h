// Scales the samples of the temporary waveform file in place so that the peak
// magnitude lands at full scale, and moves the level offsets with them.
#pragma once

#include <cstdio>

#include "common/WaveInfo.h"

// 1 on success, 0 on failure (offsets unchanged).
int Rescale(std::FILE* tempWaveFile, WaveInfo& info);
