// Reads a waveform file of the older generator family (input format kxzetq)
// into the temporary waveform file and the marker stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/WaveInfo.h"
#include "import/InputFile.h"
#include "waveform/WaveformScan.h"

struct WaveFileInfo {
  // results, reset at the start of every read
  double clock = 0.0;
  std::int32_t samples = 0;
  std::int32_t controlLength = 0;
  double rmsOffset = 0.0;
  double peakOffset = 0.0;
  WaveformType type = kWaveformNone;
  std::string comment;    // at most 1023 characters
  std::string copyright;  // at most 1023 characters
  std::string system;     // at most 1023 characters
  std::string date;       // at most 1023 characters
  // inputs
  double gain = 0.0;          // dB
  double defaultClock = 0.0;  // Hz, taken when the file has no CLOCK tag; 0: none
  std::string path;
  // The input, open (OpenInputFile); the read closes it. Without one the
  // reader opens path itself.
  InputFile* input = nullptr;
  std::FILE* waveFile = nullptr;
  std::FILE* markerFile = nullptr;
};

// 1 on success, 0 on failure (logged). A gain whose factor is not finite, or
// that turns every sample of a waveform that is not silence into zero words,
// fails the read. The level offsets are those of the output: the file's
// (less the gain) or measured from the gained values, and when values go
// beyond full scale, measured from them as the writer limits them.
int ReadWaveformFile(WaveFileInfo* info);

// The factor of a gain in dB, as a 32-bit float.
float GainFactor(double gainDb);

// The properties of a read file as the writer takes them: clock and marker
// clock both from the CLOCK tag, levels as read or measured. The gain is
// already in the samples; type, system, date and control length stay behind.
WaveInfo MakeWaveInfo(const WaveFileInfo& info);
