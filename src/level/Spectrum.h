// Spectral estimation of I/Q data: a radix-2 FFT, the averaged power
// spectrum after Welch (Hann-windowed segments, half overlapping) fed one
// sample at a time, the same average over a bounded number of segments
// spread over a stream of known length, and the tones that stand out of it.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

// In-place forward DFT X[k] = sum x[n] e^(-2 pi i k n / N) of a power-of-two
// length (iterative radix-2). Other lengths are left unchanged and give false.
bool Fft(std::vector<std::complex<double>>* data);
bool Fft(std::vector<std::complex<float>>* data);

class WelchSpectrum {
 public:
  // bins: segment length and number of frequency bins, a power of two.
  explicit WelchSpectrum(std::size_t bins);

  void Add(float i, float q);

  // Mean power per bin in dB relative to full scale: a complex tone of
  // magnitude 1 centred on a bin reads 0 dBFS there. Bin k holds the
  // frequency k * rate / bins (bins above bins / 2 are the negative
  // frequencies). Fewer samples than one segment are taken as one shorter
  // segment; no samples at all give an empty result.
  std::vector<double> PowerDbfs() const;

  std::int64_t segments() const { return segments_; }
  std::size_t bins() const { return bins_; }

 private:
  void ProcessSegment(std::size_t length) const;

  std::size_t bins_;
  std::size_t hop_;
  std::vector<std::complex<double>> ring_;  // the last bins_ samples
  std::size_t write_ = 0;                   // next position in ring_
  std::int64_t count_ = 0;                  // samples added
  std::size_t sinceSegment_ = 0;            // samples since the last segment
  std::vector<double> window_;
  double windowPower_ = 0.0;  // (sum of the window)^2
  mutable std::vector<std::complex<double>> work_;
  mutable std::vector<double> sum_;  // accumulated |X|^2 / windowPower
  mutable std::int64_t segments_ = 0;
};

// The equivalent noise bandwidth of the Hann window, in bins.
inline constexpr double kHannNoiseBandwidthBins = 1.5;

// The averaged power spectrum of a stream whose length is known in advance,
// with bounded work whatever the length: Hann-windowed segments of `bins`
// samples, half overlapping where the stream holds no more than maxSegments
// of them, otherwise maxSegments segments spread evenly from its start to
// its end. A stream shorter than one segment is one shorter segment, zero
// padded.
class SegmentSpectrum {
 public:
  SegmentSpectrum(std::size_t bins, std::int64_t totalSamples, std::size_t maxSegments);

  // The next count samples of the stream (first: the index of the first of
  // them; blocks come in order, without gaps), as signed words of full
  // scale `fullScale`, I and Q interleaved.
  void AddWords(const std::int16_t* words, std::size_t count, std::int64_t first, float fullScale);

  // Mean power per bin, linear, relative to full scale (a complex tone of
  // magnitude 1 centred on a bin: 1 there); bins as WelchSpectrum orders
  // them. Empty before any segment is complete.
  std::vector<double> MeanPower() const;

  std::int64_t segments() const { return done_; }
  std::size_t bins() const { return bins_; }

 private:
  struct Active {
    std::int64_t start = 0;
    std::size_t length = 0;
    std::vector<std::complex<float>> samples;
  };
  void Process(Active& segment);

  std::size_t bins_;
  std::vector<std::int64_t> starts_;  // of every segment, ascending
  std::size_t segmentLength_;         // bins_, or the whole stream when shorter
  std::size_t next_ = 0;              // the next segment to start
  std::vector<Active> active_;
  std::vector<float> window_;
  double windowPower_ = 0.0;  // (sum of the window)^2
  std::vector<std::complex<float>> work_;
  std::vector<double> sum_;
  std::int64_t done_ = 0;
};

// The segment length for a stream of `samples`: 4096, or less for a short
// stream so that at least about 16 segments are averaged (at least 64, a
// power of two; a stream shorter than that is one segment of 64 bins).
std::size_t SpectrumBinsFor(std::int64_t samples);

struct SpectrumTone {
  double bin = 0.0;        // centre, in bins from 0 Hz (negative below), fractional
  double power = 0.0;      // linear, relative to full scale
  double peakPower = 0.0;  // of its highest bin
};

// The tones of a mean power spectrum (MeanPower order): narrow peaks, each
// the highest bin within two bins either side, standing at least
// minAboveFloorDb above the median of all bins and as much above the bins six
// away on both sides (a wide hump such as a modulated signal's is no tone).
// Strongest first, at most maxTones. A tone's power is the sum of its five
// bins less the floor's share, divided by the window's noise bandwidth (at
// least its highest bin); its
// centre the power-weighted mean of those bins. *floor receives the median.
std::vector<SpectrumTone> FindTones(const std::vector<double>& power, std::size_t maxTones,
                                    double minAboveFloorDb, double* floor);
