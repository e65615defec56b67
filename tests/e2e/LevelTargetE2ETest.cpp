// Level targets: -peak and -rms scale the written words to a level below full
// scale, on raw and on waveform-file input, and the file's LEVEL OFFS is the
// level of the words as written, clipping included.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;

struct WordLevels {
  double rmsOffset = 0.0;
  double peakOffset = 0.0;
};

// The levels of the written words as the generator plays them (word / 32767).
WordLevels LevelsOfWords(const std::vector<std::int16_t>& words) {
  double peak = 0.0, sum = 0.0;
  for (std::size_t k = 0; k + 1 < words.size(); k += 2) {
    const double i = words[k] / 32767.0, q = words[k + 1] / 32767.0;
    peak = std::max(peak, i * i + q * q);
    sum += i * i + q * q;
  }
  return {-10.0 * std::log10(sum / static_cast<double>(words.size() / 2)),
          -10.0 * std::log10(peak)};
}

// LEVEL OFFS:<rms>,<peak> of an output file.
WordLevels TagLevels(const ts::ParsedWaveform& parsed) {
  WordLevels levels;
  const std::string* tag = parsed.Find("LEVEL OFFS");
  EXPECT_NE(tag, nullptr);
  if (tag != nullptr) std::sscanf(tag->c_str(), "%lf,%lf", &levels.rmsOffset, &levels.peakOffset);
  return levels;
}

ts::ParsedWaveform Parse(const std::string& path) {
  ts::ParsedWaveform parsed;
  std::string error;
  EXPECT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(path), &parsed, &error)) << path << ": " << error;
  return parsed;
}

// Two complex tones of equal amplitude: a peak-to-average ratio of 3 dB.
std::vector<float> TwoTone(std::size_t pairs, double amplitude) {
  std::vector<float> iq;
  for (std::size_t n = 0; n < pairs; ++n) {
    const double a = 2 * std::numbers::pi * 0.01 * n, b = 2 * std::numbers::pi * 0.0131 * n;
    iq.push_back(static_cast<float>(amplitude * (std::cos(a) + std::cos(b))));
    iq.push_back(static_cast<float>(amplitude * (std::sin(a) + std::sin(b))));
  }
  return iq;
}

TEST(LevelTargetE2E, PeakAndRmsTargetsLandOnRawAndWaveformInput) {
  ts::TempDir dir;
  ts::WriteFileBytes(dir.File("two.cf32"), ts::EncodeFloat32(TwoTone(50000, 0.2), false));
  // A waveform file whose LEVEL OFFS is wrong: the target works from the words.
  const std::vector<std::int16_t> words = ts::ToInt16Units(TwoTone(20000, 0.1));
  ts::WriteFileText(dir.File("in.wv"),
                    testing_support::WaveFileBuilder()
                        .Tag("TYPE", " KVG-WV,0")
                        .Raw("{CLOCK:1e6}{LEVEL OFFS:1.0,0.5}")
                        .Data(std::vector<std::uint16_t>(words.begin(), words.end()))
                        .bytes());
  const struct {
    std::vector<std::string> args;
    bool peak;
    double target;
  } cases[] = {
      {{"two.cf32", "-format", "cf32", "-clock", "10", "-peak", "3"}, true, 3.0},
      {{"two.cf32", "-format", "cf32", "-clock", "10", "-rms", "12"}, false, 12.0},
      {{"in.wv", "-format", "kxzetq", "-peak", "3"}, true, 3.0},
      {{"in.wv", "-format", "kxzetq", "-gain", "-6", "-rms", "12"}, false, 12.0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-batch", "-overwrite", "-out", "out.wv"});
    SCOPED_TRACE(args[0] + " " + args[args.size() - 6]);
    const ts::RunResult run = ts::RunWavoraBinary(args, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(ts::Contains(run.out, "  Level target      | ")) << run.out;
    const ts::ParsedWaveform parsed = Parse(dir.File("out.wv"));
    const WordLevels tag = TagLevels(parsed), played = LevelsOfWords(parsed.words);
    EXPECT_NEAR(c.peak ? tag.peakOffset : tag.rmsOffset, c.target, 0.01);
    EXPECT_NEAR(played.peakOffset, tag.peakOffset, 0.01);
    EXPECT_NEAR(played.rmsOffset, tag.rmsOffset, 0.01);
    EXPECT_NEAR(tag.peakOffset - tag.rmsOffset, -3.01, 0.05);  // the tones' crest factor

    const ts::RunResult info = ts::RunWavoraBinary({"-info", "out.wv"}, dir.path());
    EXPECT_EQ(info.exitCode, 0) << info.out;
  }
}

TEST(LevelTargetE2E, RmsTargetThatClipsCountsItAndWritesTheClippedLevels) {
  ts::TempDir dir;
  ts::WriteFileBytes(dir.File("two.cf32"), ts::EncodeFloat32(TwoTone(50000, 0.2), false));
  const ts::RunResult run = ts::RunWavoraBinary(
      {"two.cf32", "-format", "cf32", "-clock", "10", "-rms", "0.5", "-batch", "-out", "c.wv"},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(ts::Contains(run.out, "values were clipped at full scale.")) << run.out;
  const ts::ParsedWaveform parsed = Parse(dir.File("c.wv"));
  const WordLevels tag = TagLevels(parsed), played = LevelsOfWords(parsed.words);
  EXPECT_NEAR(played.rmsOffset, tag.rmsOffset, 0.01);
  EXPECT_NEAR(played.peakOffset, tag.peakOffset, 0.01);
  EXPECT_GT(tag.rmsOffset, 0.5);  // the clipped values lose power
  EXPECT_EQ(ts::RunWavoraBinary({"-info", "c.wv"}, dir.path()).exitCode, 0);
}

TEST(LevelTargetE2E, ConflictingOrOutOfRangeTargetsAndIdleGainAreNamed) {
  ts::TempDir dir;
  ts::WriteFileBytes(dir.File("two.cf32"), ts::EncodeFloat32(TwoTone(1000, 0.2), false));
  const std::vector<std::string> base = {"two.cf32", "-format", "cf32", "-clock", "10", "-batch"};
  const struct {
    std::vector<std::string> extra;
    std::string message;
  } refused[] = {
      {{"-peak", "1", "-autoscale"}, "*** Options -autoscale and -peak set the level each"},
      {{"-peak", "1", "-rms", "10"}, "*** Options -peak and -rms set the level each"},
      {{"-peak", "-1"}, "*** Invalid value for -peak: '-1' is not a level in dB"},
      {{"-rms", "nan"}, "*** Invalid value for -rms: 'nan'"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = base;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const ts::RunResult run = ts::RunWavoraBinary(args, dir.path());
    EXPECT_EQ(run.exitCode, 1) << c.message;
    EXPECT_TRUE(ts::Contains(run.err, c.message)) << run.err;
    EXPECT_FALSE(ts::FileExistsForTest(dir.File("_two.wv")));
  }
  // -gain on a raw format changes nothing, and says so even at -v 0.
  std::vector<std::string> args = base;
  args.insert(args.end(), {"-gain", "6", "-v", "0"});
  const ts::RunResult run = ts::RunWavoraBinary(args, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(ts::Contains(run.out, "*** Warning: -gain applies to kxzetq input only")) << run.out;
  const ts::RunResult plain = ts::RunWavoraBinary(
      {"two.cf32", "-format", "cf32", "-clock", "10", "-batch", "-out", "plain.wv"}, dir.path());
  ASSERT_EQ(plain.exitCode, 0);
  EXPECT_EQ(Parse(dir.File("_two.wv")).words, Parse(dir.File("plain.wv")).words);
}

// Silence has no level to scale to: the target is skipped with a warning, and
// the words are those of a conversion without it.
TEST(LevelTargetE2E, TargetOnSilenceIsSkippedWithAWarning) {
  ts::TempDir dir;
  ts::WriteFileBytes(dir.File("zero.cf32"),
                     ts::EncodeFloat32(std::vector<float>(400, 0.0f), false));
  // ZETQ words of 0x8000 play as 0.
  ts::WriteFileText(dir.File("zero.wv"), testing_support::WaveFileBuilder()
                                             .Tag("TYPE", " WV,0")
                                             .Raw("{CLOCK:1e6}")
                                             .Data(std::vector<std::uint16_t>(400, 0x8000))
                                             .bytes());
  const struct {
    std::vector<std::string> args;
    std::string option;
  } cases[] = {
      {{"zero.cf32", "-format", "cf32", "-clock", "10", "-rms", "3"}, "-rms"},
      {{"zero.wv", "-format", "kxzetq", "-peak", "3"}, "-peak"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-batch", "-overwrite", "-v", "2", "-out", "target.wv"});
    const ts::RunResult run = ts::RunWavoraBinary(args, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(
        ts::Contains(run.out, "*** Warning: Signal is all zero; " + c.option + " has no effect."))
        << run.out;
    std::vector<std::string> plain(c.args.begin(), c.args.end() - 2);
    plain.insert(plain.end(), {"-batch", "-overwrite", "-out", "plain.wv"});
    ASSERT_EQ(ts::RunWavoraBinary(plain, dir.path()).exitCode, 0);
    const ts::ParsedWaveform target = Parse(dir.File("target.wv"));
    EXPECT_EQ(target.words, Parse(dir.File("plain.wv")).words);
    EXPECT_EQ(target.words, std::vector<std::int16_t>(400, 0));
  }
}

}  // namespace
