// The import entry for the raw I/Q formats: writes the samples of one input
// file into the temporary waveform file, measures their level, scales
// over-range data down to full scale and fills WaveInfo.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/InputFile.h"

// secondPath: the file holding the Q values of a two-file format; "" for none.
// openedInput: the input already opened (by -format auto's detection), taken
// over; null or not open: the input is opened here, after the lines that
// name it and its format. Returns 1 when the file was imported, 0 on any
// failure.
int ImportRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                InputFormat format, std::FILE* tempWaveFile, InputFile* openedInput = nullptr);
