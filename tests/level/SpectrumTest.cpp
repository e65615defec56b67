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

TEST(Fft, FloatTransformMatchesDirectDftToFloatPrecision) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (std::size_t n = 1; n <= 4096; n *= 4) {
    std::vector<Complex> x(n);
    std::vector<std::complex<float>> xf(n);
    for (std::size_t k = 0; k < n; ++k) {
      xf[k] = {static_cast<float>(value(random)), static_cast<float>(value(random))};
      x[k] = {xf[k].real(), xf[k].imag()};
    }
    ASSERT_TRUE(Fft(&xf));
    ASSERT_TRUE(Fft(&x));  // the double transform stands for the exact one here
    for (std::size_t k = 0; k < n; ++k)
      ASSERT_LT(std::abs(Complex(xf[k].real(), xf[k].imag()) - x[k]), 1e-5 * static_cast<double>(n))
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

// Words of a complex tone at `cycles` per `bins` samples, of magnitude amplitude.
std::vector<std::int16_t> ToneWords(double amplitude, double cycles, std::size_t bins,
                                    std::size_t samples) {
  std::vector<std::int16_t> words;
  for (std::size_t t = 0; t < samples; ++t) {
    const double phase =
        2.0 * std::numbers::pi * cycles * static_cast<double>(t) / static_cast<double>(bins);
    words.push_back(static_cast<std::int16_t>(std::lround(amplitude * 32767.0 * std::cos(phase))));
    words.push_back(static_cast<std::int16_t>(std::lround(amplitude * 32767.0 * std::sin(phase))));
  }
  return words;
}

// Feeds words in blocks of `block` pairs.
void Feed(SegmentSpectrum& spectrum, const std::vector<std::int16_t>& words, std::size_t block) {
  for (std::size_t first = 0; first < words.size() / 2; first += block) {
    const std::size_t count = std::min(block, words.size() / 2 - first);
    spectrum.AddWords(&words[2 * first], count, static_cast<std::int64_t>(first), 32767.0f);
  }
}

TEST(SegmentSpectrum, HalfOverlapsShortStreamsAndSpreadsBoundedSegmentsOverLongOnes) {
  const struct {
    std::size_t samples, block;
    std::int64_t segments;
  } cases[] = {
      {20000, 700, 38},                   // (20000 - 1024) / 512 + 1, as Welch
      {200000, 4096, 64},                 // 389 would overlap: the bound, spread
      {200000, 333, 64},                  // blocks that cut segments anywhere
      {1024, 100, 1},     {600, 600, 1},  // one shorter segment
  };
  for (const auto& c : cases) {
    SegmentSpectrum spectrum(1024, static_cast<std::int64_t>(c.samples), 64);
    Feed(spectrum, ToneWords(0.5, 100.0, 1024, c.samples), c.block);
    EXPECT_EQ(spectrum.segments(), c.segments) << c.samples << " " << c.block;
    const std::vector<double> power = spectrum.MeanPower();
    ASSERT_EQ(power.size(), 1024u);
    const auto peak =
        static_cast<std::size_t>(std::max_element(power.begin(), power.end()) - power.begin());
    EXPECT_EQ(peak, 100u) << c.samples;
    if (c.samples >= 1024) {
      EXPECT_NEAR(10 * std::log10(power[100]), 20 * std::log10(0.5), 0.01);
    }
  }
  EXPECT_TRUE(SegmentSpectrum(1024, 0, 64).MeanPower().empty());
}

TEST(SegmentSpectrum, SpreadSegmentsSeeTheEndOfTheStream) {
  // Silence but for a tone in the last 2 % of the stream: spread segments
  // reach it, where the first 64 segments alone would not.
  std::vector<std::int16_t> words(2 * 100000, 0);
  const std::vector<std::int16_t> tone = ToneWords(0.5, 200.0, 1024, 2000);
  std::copy(tone.begin(), tone.end(), words.end() - static_cast<std::ptrdiff_t>(tone.size()));
  SegmentSpectrum spectrum(1024, 100000, 64);
  Feed(spectrum, words, 65536);
  const std::vector<double> power = spectrum.MeanPower();
  EXPECT_GT(10 * std::log10(power[200]), -30.0);
}

TEST(FindTones, NamesNarrowPeaksAboveTheFloorButNoWideHump) {
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, 0.01);
  const std::size_t samples = 200000;
  std::vector<std::int16_t> words = ToneWords(0.3, 300.4, 4096, samples);
  const std::vector<std::int16_t> second = ToneWords(0.05, -1000.0, 4096, samples);
  for (std::size_t k = 0; k < words.size(); ++k)
    words[k] = static_cast<std::int16_t>(words[k] + second[k] + std::lround(noise(random) * 32767));
  SegmentSpectrum spectrum(4096, static_cast<std::int64_t>(samples), 512);
  Feed(spectrum, words, 65536);
  double floor = 0.0;
  const std::vector<SpectrumTone> tones = FindTones(spectrum.MeanPower(), 5, 6.0, &floor);
  ASSERT_EQ(tones.size(), 2u);
  EXPECT_NEAR(tones[0].bin, 300.4, 0.1);
  EXPECT_NEAR(10 * std::log10(tones[0].power), 20 * std::log10(0.3), 0.1);
  EXPECT_NEAR(tones[1].bin, -1000.0, 0.05);
  EXPECT_NEAR(10 * std::log10(tones[1].power), 20 * std::log10(0.05), 0.1);
  // Noise of 0.01 per part: 2e-4 in all, spread over 4096 bins.
  EXPECT_NEAR(10 * std::log10(floor), 10 * std::log10(2e-4 / 4096 * kHannNoiseBandwidthBins), 1.0);

  // Rectangular symbols of 8 samples: a hump 1 / 8 of the band wide and far
  // above the floor, but no tone.
  std::vector<std::int16_t> symbols;
  std::bernoulli_distribution bit(0.5);
  for (std::size_t k = 0; k < samples / 8; ++k) {
    const auto i = static_cast<std::int16_t>(bit(random) ? 10000 : -10000);
    const auto q = static_cast<std::int16_t>(bit(random) ? 10000 : -10000);
    for (int s = 0; s < 8; ++s) symbols.insert(symbols.end(), {i, q});
  }
  SegmentSpectrum hump(4096, static_cast<std::int64_t>(samples), 512);
  Feed(hump, symbols, 65536);
  EXPECT_TRUE(FindTones(hump.MeanPower(), 5, 6.0, &floor).empty());
}

}  // namespace
