// What goes in comes out: 16-bit words pass through the built program bit for
// bit on every 16-bit input path, values limited at full scale are counted,
// and a waveform file without a CLOCK tag takes the clock of -clock or fails.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;
using testing_support::WaveFileBuilder;

constexpr char kFinished[] = "File conversion finished successfully.";

// Every word from -32766 to 32767 (those below lie beyond full scale as
// (s - 0.5) / 32767 and would make the file one to scale down), once as I
// against a Q of 0 and once as Q against an I of 0: no pair exceeds full
// scale.
std::vector<std::int16_t> EveryWordAsIAndQ() {
  std::vector<std::int16_t> words;
  for (int s = -32766; s <= 32767; ++s) {
    words.insert(words.end(), {static_cast<std::int16_t>(s), 0});
    words.insert(words.end(), {0, static_cast<std::int16_t>(s)});
  }
  return words;
}

std::string HexLines(const std::vector<std::int16_t>& words) {
  std::string text;
  char line[16];
  for (std::size_t k = 0; k + 1 < words.size(); k += 2) {
    std::snprintf(line, sizeof(line), "%04X %04X\n", static_cast<unsigned>(words[k]) & 0xFFFFu,
                  static_cast<unsigned>(words[k + 1]) & 0xFFFFu);
    text += line;
  }
  return text;
}

std::string KvgFile(const std::vector<std::int16_t>& words, const std::string& tags) {
  return WaveFileBuilder()
      .Tag("TYPE", " KVG-WV,0")
      .Raw(tags)
      .Data(std::vector<std::uint16_t>(words.begin(), words.end()))
      .bytes();
}

ts::ParsedWaveform Parse(const std::string& path) {
  ts::ParsedWaveform parsed;
  std::string error;
  EXPECT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(path), &parsed, &error)) << path << ": " << error;
  return parsed;
}

TEST(DataIntegrityE2E, SixteenBitWordsPassThroughBitForBit) {
  ts::TempDir dir;
  const std::vector<std::int16_t> words = EveryWordAsIAndQ();
  ts::WriteFileBytes(dir.File("le.bin"), ts::EncodeInt16(words, false));
  ts::WriteFileBytes(dir.File("be.bin"), ts::EncodeInt16(words, true));
  ts::WriteFileText(dir.File("hex.txt"), HexLines(words));
  ts::WriteFileText(dir.File("kvg.wv"), KvgFile(words, "{CLOCK:1e6}"));
  const struct {
    std::string input, format, output;
  } cases[] = {{"le.bin", "i16le", "_le.wv"},
               {"be.bin", "i16be", "_be.wv"},
               {"hex.txt", "txthex", "_hex.wv"},
               {"kvg.wv", "kxzetq", "_kvg.wv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const ts::RunResult run = ts::RunWavoraBinary(
        {c.input, "-format", c.format, "-clock", "1", "-v", "3"}, dir.path(), "y");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("Scaling down"), std::string::npos) << "the file needed no scaling";
    EXPECT_EQ(run.out.find("clipped"), std::string::npos);
    const ts::ParsedWaveform parsed = Parse(dir.File(c.output));
    ASSERT_EQ(parsed.words.size(), words.size());
    std::size_t differing = 0;
    for (std::size_t k = 0; k < words.size(); ++k) differing += parsed.words[k] != words[k];
    EXPECT_EQ(differing, 0u);
  }
}

TEST(DataIntegrityE2E, GainBeyondFullScaleCountsTheClippedValues) {
  ts::TempDir dir;
  // Words of 1000 amplified by 40 dB (100 times) exceed full scale; 0, half a
  // step below zero, becomes -50 steps.
  const std::vector<std::int16_t> words = {1000, 0, 0, -1000, 1000, 1000, 0, 0};
  ts::WriteFileText(dir.File("loud.wv"), KvgFile(words, "{CLOCK:1e6}"));
  const ts::RunResult run = ts::RunWavoraBinary(
      {"loud.wv", "-format", "kxzetq", "-gain", "40", "-v", "0"}, dir.path(), "y");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("! *** Warning: 4 values were clipped at full scale.\n"),
            std::string::npos)
      << run.out;
  const ts::ParsedWaveform parsed = Parse(dir.File("_loud.wv"));
  EXPECT_EQ(parsed.words,
            (std::vector<std::int16_t>{32767, -50, -50, -32767, 32767, 32767, -50, -50}));
}

TEST(DataIntegrityE2E, WaveformWithoutClockTagTakesTheGivenClockOrFails) {
  ts::TempDir dir;
  ts::WriteFileText(dir.File("noclock.wv"), KvgFile({100, -100, 5, 6}, ""));

  const ts::RunResult none =
      ts::RunWavoraBinary({"noclock.wv", "-format", "kxzetq"}, dir.path(), "y");
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.out.find("*** Error: No CLOCK tag found."), std::string::npos) << none.out;
  EXPECT_FALSE(ts::FileExistsForTest(dir.File("_noclock.wv")));

  const ts::RunResult given =
      ts::RunWavoraBinary({"noclock.wv", "-format", "kxzetq", "-clock", "12.5"}, dir.path(), "y");
  ASSERT_EQ(given.exitCode, 0) << given.out << given.err;
  EXPECT_NE(given.out.find(kFinished), std::string::npos);
  const ts::ParsedWaveform parsed = Parse(dir.File("_noclock.wv"));
  EXPECT_EQ(*parsed.Find("CLOCK"), "12500000.000");
  EXPECT_EQ(*parsed.Find("CLOCK MARKER"), "12500000.000");

  // A clock given for kxzetq is checked like any other.
  const ts::RunResult bad = ts::RunWavoraBinary(
      {"noclock.wv", "-format", "kxzetq", "-clock", "601", "-overwrite"}, dir.path(), "y");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.out.find("*** Invalid clock rate."), std::string::npos) << bad.out << bad.err;
}

}  // namespace
