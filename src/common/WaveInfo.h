// The properties of one waveform, carried from the importer or the waveform
// reader through the rescaler to the writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A stretch of samples in which one marker (1 to 4) is high.
struct MarkerSpan {
  int marker = 1;
  std::int64_t start = 0;
  std::int64_t count = 0;
};

struct WaveInfo {
  double clock = 0.0;        // Hz; the CLOCK tag
  double markerClock = 0.0;  // Hz; the CLOCK MARKER tag
  // Hz; the clock of an input that carries none and was given no -clock
  // (-defaultclock); 0 for none.
  double defaultClock = 0.0;
  // -var: the variable of a MAT-file to read; "" lets the reader choose.
  std::string matVariable;
  std::int32_t samples = 0;  // I/Q pairs in the temporary waveform file
  double rmsOffset = 0.0;    // dB below full scale: 20 * log10(1 / RMS)
  double peakOffset = 0.0;   // dB below full scale: 20 * log10(1 / peak)
  // Owned copies: a header tag of one input file sets the comment of that
  // file only, never of the files converted after it.
  std::string comment;
  std::string copyright;
  std::int32_t levelsValid = 0;  // 1 when the offsets hold the level of the samples
  // Level offsets the input states for its samples (the LEVEL OFFS of a
  // waveform file exported to SigMF); they replace the measured ones only
  // while the samples stay as read (ApplyStatedLevels).
  bool hasStatedLevels = false;
  double statedRmsOffset = 0.0;
  double statedPeakOffset = 0.0;
  // Marker lists an input carries as stretches (SigMF annotations "marker
  // 1" to "marker 4"): with hasMarkerSpans the output gets its four MARKER
  // LIST tags from them, high inside each stretch and low elsewhere.
  bool hasMarkerSpans = false;
  std::vector<MarkerSpan> markerSpans;
};
