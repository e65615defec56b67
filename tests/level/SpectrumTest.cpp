// The radix-2 FFT against a direct DFT, and the Welch spectrum of tones at
// known frequencies: peak in the right bin at the right level.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "level/Spectrum.h"

namespace {

using Complex = std::complex<double>;

std::vector<Complex> DirectDft(const std::vector<Complex>& x) {
  const std::size_t n = x.size();
  std::vector<Complex> out(n);
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t t = 0; t < n; ++t)
      out[k] += x[t] * std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k * t % n) /
                                           static_cast<double>(n));
  return out;
}

TEST(Fft, MatchesDirectDftForEveryPowerOfTwoUpTo1024) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (std::size_t n = 1; n <= 1024; n *= 2) {
    std::vector<Complex> x(n);
    for (Complex& c : x) c = {value(random), value(random)};
    const std::vector<Complex> expected = DirectDft(x);
    ASSERT_TRUE(Fft(&x));
    for (std::size_t k = 0; k < n; ++k)
      ASSERT_LT(std::abs(x[k] - expected[k]), 1e-9 * static_cast<double>(n))
          << "n " << n << " bin " << k;
  }
}

TEST(Fft, RefusesLengthsThatAreNoPowerOfTwo) {
  std::vector<Complex> x(12, Complex(1.0, 0.0));
  EXPECT_FALSE(Fft(&x));
  EXPECT_EQ(x[3], Complex(1.0, 0.0));
  std::vector<Complex> empty;
  EXPECT_FALSE(Fft(&empty));
}

// A complex tone of the given amplitude at `cycles` per 1024 samples.
WelchSpectrum ToneSpectrum(double amplitude, double cycles, std::size_t samples) {
  WelchSpectrum welch(1024);
  for (std::size_t t = 0; t < samples; ++t) {
    const double phase = 2.0 * std::numbers::pi * cycles * static_cast<double>(t) / 1024.0 + 0.3;
    welch.Add(static_cast<float>(amplitude * std::cos(phase)),
              static_cast<float>(amplitude * std::sin(phase)));
  }
  return welch;
}

std::size_t PeakBin(const std::vector<double>& db) {
  return static_cast<std::size_t>(std::max_element(db.begin(), db.end()) - db.begin());
}

TEST(WelchSpectrum, ToneShowsItsPeakInItsBinAtItsLevel) {
  // 100 cycles per segment: bin 100; amplitude 0.5 is -6.02 dBFS.
  const WelchSpectrum welch = ToneSpectrum(0.5, 100.0, 20000);
  const std::vector<double> db = welch.PowerDbfs();
  ASSERT_EQ(db.size(), 1024u);
  EXPECT_EQ(PeakBin(db), 100u);
  EXPECT_NEAR(db[100], 20.0 * std::log10(0.5), 0.01);
  // Half-overlapping segments: (20000 - 1024) / 512 + 1 of them.
  EXPECT_EQ(welch.segments(), 38);
  // Far from the tone the Hann window leaves nothing but the float noise.
  EXPECT_LT(db[400], -100.0);
}

TEST(WelchSpectrum, NegativeFrequencyLandsInTheUpperHalf) {
  const std::vector<double> db = ToneSpectrum(1.0, -37.0, 5000).PowerDbfs();
  EXPECT_EQ(PeakBin(db), 1024u - 37u);
  EXPECT_NEAR(db[1024 - 37], 0.0, 0.01);
}

TEST(WelchSpectrum, FewerSamplesThanOneSegmentStillGiveTheTone) {
  const WelchSpectrum welch = ToneSpectrum(0.25, 256.0, 600);
  const std::vector<double> db = welch.PowerDbfs();
  EXPECT_EQ(welch.segments(), 1);
  EXPECT_EQ(PeakBin(db), 256u);
  EXPECT_TRUE(WelchSpectrum(1024).PowerDbfs().empty());
}

}  // namespace
