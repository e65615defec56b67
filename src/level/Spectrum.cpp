// Radix-2 FFT and Welch averaging for the spectrum of a waveform preview.
#include "level/Spectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "level/LevelOffsets.h"

namespace {

bool IsPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

std::vector<double> HannWindow(std::size_t length) {
  std::vector<double> window(length, 1.0);
  if (length < 2) return window;
  for (std::size_t n = 0; n < length; ++n)
    window[n] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) /
                                     static_cast<double>(length));
  return window;
}

}  // namespace

bool Fft(std::vector<std::complex<double>>* data) {
  std::vector<std::complex<double>>& x = *data;
  const std::size_t n = x.size();
  if (!IsPowerOfTwo(n)) return false;
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  // Twiddles e^(-2 pi i k / n) for k < n / 2, made once per length: a stage
  // of block length L uses every (n / L)-th of them.
  thread_local std::vector<std::complex<double>> twiddle;
  if (twiddle.size() != n / 2) {
    twiddle.resize(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k)
      twiddle[k] = std::polar(
          1.0, -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n));
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const std::size_t half = length / 2;
    const std::size_t stride = n / length;
    for (std::size_t start = 0; start < n; start += length) {
      for (std::size_t k = 0; k < half; ++k) {
        // Written out: the library's complex product checks for infinities.
        const std::complex<double> a = x[start + k + half];
        const std::complex<double> w = twiddle[k * stride];
        const std::complex<double> odd(a.real() * w.real() - a.imag() * w.imag(),
                                       a.real() * w.imag() + a.imag() * w.real());
        x[start + k + half] = x[start + k] - odd;
        x[start + k] += odd;
      }
    }
  }
  return true;
}

WelchSpectrum::WelchSpectrum(std::size_t bins)
    : bins_(bins),
      hop_(bins / 2),
      ring_(bins),
      window_(HannWindow(bins)),
      work_(bins),
      sum_(bins, 0.0) {
  double windowSum = 0.0;
  for (double w : window_) windowSum += w;
  windowPower_ = windowSum * windowSum;
}

void WelchSpectrum::Add(float i, float q) {
  ring_[write_] = {i, q};
  write_ = write_ + 1 == bins_ ? 0 : write_ + 1;
  ++count_;
  ++sinceSegment_;
  if (count_ >= static_cast<std::int64_t>(bins_) && sinceSegment_ >= hop_) {
    ProcessSegment(bins_);
    sinceSegment_ = 0;
  }
}

// Windows the newest `length` samples (oldest first), transforms them and
// adds the scaled squared magnitudes to the sums.
void WelchSpectrum::ProcessSegment(std::size_t length) const {
  const std::vector<double> shortWindow =
      length == bins_ ? std::vector<double>{} : HannWindow(length);
  const std::vector<double>& window = length == bins_ ? window_ : shortWindow;
  double power = windowPower_;
  if (length != bins_) {
    double windowSum = 0.0;
    for (double w : window) windowSum += w;
    power = windowSum * windowSum;
  }
  std::size_t read = (write_ + bins_ - length) % bins_;
  for (std::size_t n = 0; n < bins_; ++n) {
    if (n < length) {
      work_[n] = ring_[read] * window[n];
      read = read + 1 == bins_ ? 0 : read + 1;
    } else {
      work_[n] = 0.0;
    }
  }
  Fft(&work_);
  for (std::size_t k = 0; k < bins_; ++k) sum_[k] += std::norm(work_[k]) / power;
  ++segments_;
}

std::vector<double> WelchSpectrum::PowerDbfs() const {
  if (count_ == 0) return {};
  if (segments_ == 0) ProcessSegment(static_cast<std::size_t>(count_));
  std::vector<double> db(bins_);
  for (std::size_t k = 0; k < bins_; ++k) {
    const double mean = sum_[k] / static_cast<double>(segments_);
    // The same floor as the level offsets: 140 dB below full scale.
    db[k] =
        mean > 0.0 ? std::max(10.0 * std::log10(mean), -kSilentLevelOffset) : -kSilentLevelOffset;
  }
  return db;
}
