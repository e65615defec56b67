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

namespace {

// The iterative radix-2 transform of either precision; the twiddles are made
// once per length and precision and kept for the thread.
template <typename T>
bool FftOf(std::vector<std::complex<T>>* data) {
  std::vector<std::complex<T>>& x = *data;
  const std::size_t n = x.size();
  if (!IsPowerOfTwo(n)) return false;
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  // Twiddles e^(-2 pi i k / n) for k < n / 2, computed in double: a stage of
  // block length L uses every (n / L)-th of them.
  thread_local std::vector<std::complex<T>> twiddle;
  if (twiddle.size() != n / 2) {
    twiddle.resize(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
      const std::complex<double> w = std::polar(
          1.0, -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n));
      twiddle[k] = {static_cast<T>(w.real()), static_cast<T>(w.imag())};
    }
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const std::size_t half = length / 2;
    const std::size_t stride = n / length;
    for (std::size_t start = 0; start < n; start += length) {
      for (std::size_t k = 0; k < half; ++k) {
        // Written out: the library's complex product checks for infinities.
        const std::complex<T> a = x[start + k + half];
        const std::complex<T> w = twiddle[k * stride];
        const std::complex<T> odd(a.real() * w.real() - a.imag() * w.imag(),
                                  a.real() * w.imag() + a.imag() * w.real());
        x[start + k + half] = x[start + k] - odd;
        x[start + k] += odd;
      }
    }
  }
  return true;
}

}  // namespace

bool Fft(std::vector<std::complex<double>>* data) { return FftOf(data); }
bool Fft(std::vector<std::complex<float>>* data) { return FftOf(data); }

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

SegmentSpectrum::SegmentSpectrum(std::size_t bins, std::int64_t totalSamples,
                                 std::size_t maxSegments)
    : bins_(bins), work_(bins), sum_(bins, 0.0) {
  const auto length = static_cast<std::int64_t>(bins);
  segmentLength_ = totalSamples < length
                       ? static_cast<std::size_t>(std::max<std::int64_t>(totalSamples, 0))
                       : bins;
  if (totalSamples <= 0) {
    segmentLength_ = 0;
  } else if (totalSamples <= length) {
    starts_.push_back(0);
  } else {
    const std::int64_t hop = std::max<std::int64_t>(1, length / 2);
    const std::int64_t overlapping = (totalSamples - length) / hop + 1;
    const auto limit = static_cast<std::int64_t>(std::max<std::size_t>(maxSegments, 2));
    if (overlapping <= limit) {
      for (std::int64_t s = 0; s < overlapping; ++s) starts_.push_back(s * hop);
    } else {
      // Evenly from the first sample to the last: (limit - 1) gaps. The
      // product stays within 64 bits for any file this program can read.
      const std::int64_t span = totalSamples - length;
      for (std::int64_t s = 0; s < limit; ++s) starts_.push_back(s * span / (limit - 1));
    }
  }
  window_.assign(bins, 1.0f);
  double windowSum = 0.0;
  const std::vector<double> hann = HannWindow(segmentLength_);
  for (std::size_t n = 0; n < segmentLength_; ++n) {
    window_[n] = static_cast<float>(hann[n]);
    windowSum += window_[n];
  }
  windowPower_ = windowSum * windowSum;
}

void SegmentSpectrum::AddWords(const std::int16_t* words, std::size_t count, std::int64_t first,
                               float fullScale) {
  const std::int64_t end = first + static_cast<std::int64_t>(count);
  while (next_ < starts_.size() && starts_[next_] < end) {
    Active segment;
    segment.start = starts_[next_++];
    segment.samples.resize(segmentLength_);
    active_.push_back(std::move(segment));
  }
  const float scale = 1.0f / fullScale;
  for (Active& segment : active_) {
    const std::int64_t segmentEnd = segment.start + static_cast<std::int64_t>(segmentLength_);
    const std::int64_t from = std::max(first, segment.start);
    const std::int64_t to = std::min(end, segmentEnd);
    for (std::int64_t t = from; t < to; ++t) {
      const std::size_t w = 2 * static_cast<std::size_t>(t - first);
      segment.samples[static_cast<std::size_t>(t - segment.start)] = {
          static_cast<float>(words[w]) * scale, static_cast<float>(words[w + 1]) * scale};
    }
    segment.length = static_cast<std::size_t>(std::max<std::int64_t>(to - segment.start, 0));
    if (to == segmentEnd) Process(segment);
  }
  std::erase_if(active_, [this](const Active& a) { return a.length == segmentLength_; });
}

void SegmentSpectrum::Process(Active& segment) {
  for (std::size_t n = 0; n < bins_; ++n)
    work_[n] = n < segmentLength_ ? segment.samples[n] * window_[n] : std::complex<float>{};
  Fft(&work_);
  for (std::size_t k = 0; k < bins_; ++k) sum_[k] += static_cast<double>(std::norm(work_[k]));
  ++done_;
}

std::vector<double> SegmentSpectrum::MeanPower() const {
  if (done_ == 0 || windowPower_ <= 0.0) return {};
  std::vector<double> mean(bins_);
  for (std::size_t k = 0; k < bins_; ++k)
    mean[k] = sum_[k] / static_cast<double>(done_) / windowPower_;
  return mean;
}

std::size_t SpectrumBinsFor(std::int64_t samples) {
  std::size_t bins = 4096;
  while (bins > 64 && static_cast<std::int64_t>(bins) * 8 > samples) bins /= 2;
  return bins;
}

std::vector<SpectrumTone> FindTones(const std::vector<double>& power, std::size_t maxTones,
                                    double minAboveFloorDb, double* floor) {
  std::vector<SpectrumTone> tones;
  const std::size_t n = power.size();
  *floor = 0.0;
  if (n < 16) return tones;
  std::vector<double> sorted = power;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2),
                   sorted.end());
  *floor = sorted[n / 2];
  const double factor = std::pow(10.0, minAboveFloorDb / 10.0);
  const auto at = [&](std::ptrdiff_t k) {
    const auto size = static_cast<std::ptrdiff_t>(n);
    return power[static_cast<std::size_t>(((k % size) + size) % size)];
  };
  for (std::ptrdiff_t k = 0; k < static_cast<std::ptrdiff_t>(n); ++k) {
    const double p = at(k);
    if (!(p > 0.0) || p < *floor * factor) continue;
    bool peak = true;
    for (std::ptrdiff_t d = -2; d <= 2 && peak; ++d)
      if (d != 0 && (at(k + d) > p || (d < 0 && at(k + d) == p))) peak = false;
    if (!peak || p < at(k - 6) * factor || p < at(k + 6) * factor) continue;
    double sum = 0.0, moment = 0.0;
    for (std::ptrdiff_t d = -2; d <= 2; ++d) {
      sum += at(k + d);
      moment += static_cast<double>(d) * at(k + d);
    }
    SpectrumTone tone;
    const auto half = static_cast<std::ptrdiff_t>(n / 2);
    const std::ptrdiff_t signedBin = k >= half ? k - static_cast<std::ptrdiff_t>(n) : k;
    tone.bin = static_cast<double>(signedBin) + moment / sum;
    tone.power = std::max((sum - 5.0 * *floor) / kHannNoiseBandwidthBins, p);
    tone.peakPower = p;
    tones.push_back(tone);
  }
  std::sort(tones.begin(), tones.end(),
            [](const SpectrumTone& a, const SpectrumTone& b) { return a.power > b.power; });
  if (tones.size() > maxTones) tones.resize(maxTones);
  return tones;
}
