// The import entry for the raw I/Q formats: writes the samples of one input
// file into the temporary waveform file, measures their level, scales
// over-range data down to full scale and fills WaveInfo.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/InputFormat.h"
#include "common/WaveInfo.h"

// secondPath: the file holding the Q values of a two-file format; "" for none.
// Returns 1 when the file was imported, 0 on any failure.
int ImportRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                InputFormat format, std::FILE* tempWaveFile);
