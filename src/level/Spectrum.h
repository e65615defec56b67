// Spectral estimation of I/Q data: a radix-2 FFT and the averaged power
// spectrum after Welch (Hann-windowed segments, half overlapping), fed one
// sample at a time so that a file of any length is streamed through it.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

// In-place forward DFT X[k] = sum x[n] e^(-2 pi i k n / N) of a power-of-two
// length (iterative radix-2). Other lengths are left unchanged and give false.
bool Fft(std::vector<std::complex<double>>* data);

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
