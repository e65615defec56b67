// The import entry for the raw I/Q formats: writes the samples of one input
// file into the temporary waveform file, measures their level, scales
// over-range data down to full scale and fills WaveInfo.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/InputFormat.h"
#include "common/WaveInfo.h"
#include "import/ImportLevels.h"
#include "import/InputFile.h"

// secondPath: the file holding the Q values of a two-file format; "" for none.
// openedInput: the input already opened (by -format auto's detection), taken
// over; null or not open: the input is opened here, after the lines that
// name it and its format. Returns 1 when the file was imported, 0 on any
// failure.
int ImportRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                InputFormat format, std::FILE* tempWaveFile, InputFile* openedInput = nullptr);

// The level offsets an input states (hasStatedLevels) take the place of the
// measured ones, with a line naming both; call it only when the samples are
// written as imported, not rescaled.
void ApplyStatedLevels(WaveInfo& info);

// What MeasureRawIQ finds besides WaveInfo: the peak and RMS magnitude of the
// values as read (before any scaling down), the sums for their DC and the
// values beyond full scale.
struct InputMeasure {
  double peak = 0.0;
  double rms = 0.0;
  SampleStats stats;
};

// ImportRawIQ without an output: every check and log line of the import, the
// samples written to the null device, nothing to disk. Data above full scale
// is not rewritten: the offsets in info are those the conversion would give
// after scaling it down. 1 when the conversion would import the file.
int MeasureRawIQ(const std::string& inputPath, const std::string& secondPath, WaveInfo& info,
                 InputFormat format, InputFile* openedInput, InputMeasure* measure);
