// A one-page picture of a waveform file as a self-contained SVG document:
// the envelope of the whole file over a window of samples with the marker
// traces under it, the constellation of every sample as a density picture,
// the averaged power spectrum with its strongest tones named, and the file's
// tags and measured levels as a caption. The file is streamed once, with
// memory bounded whatever its length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "waveform/WaveformInspect.h"

// Cells of the constellation along each axis, over the whole range of the
// signed words (about +-1 full scale): cell (word + 32768) / 256.
inline constexpr int kConstellationCells = 256;
// Pixel columns of the time plots.
inline constexpr int kPreviewColumns = 900;
// A window of at most this many pairs is drawn sample by sample; a longer
// one as its envelope.
inline constexpr std::int64_t kPreviewWindowMaxPoints = 2048;
// The default window: about this many periods of the strongest tone, at
// least kPreviewWindowMinPairs; kPreviewWindowNoTonePairs without a tone.
inline constexpr double kPreviewWindowPeriods = 20.0;
inline constexpr std::int64_t kPreviewWindowMinPairs = 64;
inline constexpr std::int64_t kPreviewWindowNoTonePairs = 256;
// Spectrum: segments averaged at most, tones named at most, and how far
// above the median floor a tone stands at least.
inline constexpr std::size_t kPreviewMaxSegments = 512;
inline constexpr std::size_t kPreviewMaxTones = 5;
inline constexpr double kPreviewToneAboveFloorDb = 6.0;

// The window of -range: count pairs from pair start.
struct PreviewRange {
  bool given = false;
  std::int64_t start = 0;
  std::int64_t count = 0;
};

// "<start>:<count>", two decimal integers (count at least 1). False for
// anything else.
bool ParsePreviewRange(const std::string& text, PreviewRange* range);

// A preview name ends in ".svg", in any letter case.
bool PreviewNameAccepted(const std::string& path);

// Pairs counted per cell of the I/Q plane.
class ConstellationHistogram {
 public:
  ConstellationHistogram() : counts_(kConstellationCells * kConstellationCells, 0) {}
  static int Cell(std::int16_t word) { return (word + 32768) >> 8; }
  void Add(std::int16_t i, std::int16_t q) {
    ++counts_[static_cast<std::size_t>(Cell(q) * kConstellationCells + Cell(i))];
  }
  std::uint64_t Count(int iCell, int qCell) const {
    return counts_[static_cast<std::size_t>(qCell * kConstellationCells + iCell)];
  }
  std::uint64_t MaxCount() const;
  std::uint64_t Total() const;

 private:
  std::vector<std::uint64_t> counts_;
};

// Minimum and maximum of I and Q (signed words) per pixel column over count
// pairs from pair first, with the marker bits that were high anywhere in a
// column.
struct PreviewEnvelope {
  std::int64_t first = 0;
  std::int64_t count = 0;
  int columns = 0;
  std::vector<std::int16_t> minI, maxI, minQ, maxQ;
  std::vector<std::uint8_t> markers;
  std::vector<std::uint8_t> seen;

  void Reset(std::int64_t firstPair, std::int64_t pairs, int maxColumns);
  // Played words I, Q, ... of pairs [blockFirst, blockFirst + pairs).
  void Add(const std::int16_t* words, std::size_t pairs, std::int64_t blockFirst);
};

// Everything the picture shows, measured in the one pass.
struct PreviewData {
  WaveformHeader header;
  std::int64_t pairs = 0;
  ConstellationHistogram constellation;
  PreviewEnvelope whole;  // the whole file
  // The window: its samples (full scale) and marker bytes when drawn sample
  // by sample, otherwise windowEnvelope.
  std::int64_t windowFirst = 0;
  std::int64_t windowCount = 0;
  bool windowAsEnvelope = false;
  std::vector<float> windowI, windowQ;
  std::vector<std::uint8_t> windowMarkers;
  PreviewEnvelope windowEnvelope;
  bool markersInWords = false;
  // Levels of the words as the generator plays them (word / 32767).
  std::int64_t powerSum = 0;   // of I^2 + Q^2 in words^2
  std::int64_t peakPower = 0;  // the largest I^2 + Q^2
  std::int64_t clippedWords = 0;
  std::vector<double> spectrum;  // mean power per bin (SegmentSpectrum::MeanPower)
  std::size_t bins = 0;
  std::int64_t segments = 0;
};

// Reads the file once and fills data. Without range the window is chosen
// from the spectrum: about kPreviewWindowPeriods periods of the strongest
// tone. 0 on failure (logged with "*** ").
int CollectPreview(const std::string& inputPath, const PreviewRange& range, PreviewData* data);

// Reads the waveform file at inputPath and writes the picture to svgPath
// as an OutputFile (moved into place when complete; without replaceExisting
// a file that appeared meanwhile is kept). rangeText: the -range value ("":
// the default window). 1 on success, 0 on failure (logged; nothing left
// behind): also for a name that does not end in ".svg" and a bad range.
int WriteWaveformPreview(const std::string& inputPath, const std::string& svgPath,
                         bool replaceExisting = true, const std::string& rangeText = "");
