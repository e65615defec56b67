// -preview and -range of the built program: every preview a general XML
// parser takes (python3's xml.etree where there is one), bad tags included;
// names that are no SVG and bad ranges refused before anything is written;
// -info showing control characters of a COMMENT spelled out.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;
using Names = std::vector<std::string>;

// Signed words of 0.4 at +0.1 and 0.3 at -0.25 cycles per sample.
std::vector<std::int16_t> TwoTone(int pairs) {
  std::vector<std::int16_t> words;
  for (int n = 0; n < pairs; ++n) {
    const double a = 2 * std::numbers::pi * 0.1 * n, b = -2 * std::numbers::pi * 0.25 * n;
    words.push_back(
        static_cast<std::int16_t>(std::lround(32767 * (0.4 * std::cos(a) + 0.3 * std::cos(b)))));
    words.push_back(
        static_cast<std::int16_t>(std::lround(32767 * (0.4 * std::sin(a) + 0.3 * std::sin(b)))));
  }
  return words;
}

// A converted two-tone "_two.wv" at 10 MHz in dir.
void ConvertedTwoTone(const ts::TempDir& dir) {
  ts::WriteFileBytes(dir.File("two.bin"), ts::EncodeInt16(TwoTone(50000), false));
  const ts::RunResult run = ts::RunWavoraBinary(
      {"two.bin", "-format", "i16le", "-clock", "10", "-batch", "-overwrite"}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
}

// A KVG file with the given CLOCK and COMMENT bytes and two marker lists.
void BadTagFile(const std::string& path, const std::string& clock, const std::string& comment) {
  std::vector<std::uint16_t> words;
  for (std::int16_t w : TwoTone(4000)) words.push_back(static_cast<std::uint16_t>(w));
  ts::WaveFileBuilder file;
  file.Tag("TYPE", " KVG-WV,0")
      .Tag("COMMENT", comment)
      .Tag("COPYRIGHT", "\xC3\xA9t\xC3\xA9 \xFF")
      .Tag("CLOCK", clock)
      .Tag("MARKER LIST 1", " 0:1;100:0;200:1")
      .Tag("MARKER LIST 2", " 50:1")
      .Data(words);
  ts::WriteFileText(path, file.bytes());
}

const char* const kBadComment =
    "overlong \xE0\x80\x80 surrogate \xED\xA0\x80 big \xF4\x90\x80\x80 \xEF\xBF\xBE\xEF\xBF\xBF "
    "esc \x1b[31m bel \x07 <&>";

#ifndef _WIN32
// The files python3's XML parser refuses, one per line ("" when it takes
// them all); skipped without a python3.
std::string XmlRefused(const std::vector<std::string>& files, const std::string& dir) {
  std::string command =
      "python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "for f in sys.argv[1:]:\n"
      "  try: E.parse(f)\n"
      "  except Exception as e: print(f, e)' ";
  for (const std::string& file : files) command += " " + ts::ShellQuote(file);
  const ts::RunResult run = ts::RunShellCommand(command, dir, "");
  if (run.exitCode != 0) return "python3 failed: " + run.err;
  return run.out;
}

TEST(PreviewE2E, EveryPreviewParsesAsXml) {
  if (ts::RunShellCommand("command -v python3", "/", "").exitCode != 0)
    GTEST_SKIP() << "no python3";
  ts::TempDir dir;
  ConvertedTwoTone(dir);
  std::vector<std::string> svgs;
  const ts::RunResult two = ts::RunWavoraBinary({"_two.wv", "-preview", "two.svg"}, dir.path());
  ASSERT_EQ(two.exitCode, 0) << two.out;
  svgs.push_back("two.svg");
  const ts::RunResult ranged =
      ts::RunWavoraBinary({"_two.wv", "-preview", "range.SVG", "-range", "1000:40000"}, dir.path());
  ASSERT_EQ(ranged.exitCode, 0) << ranged.out;
  svgs.push_back("range.SVG");
  int number = 0;
  for (const char* clock : {"0", "nan", "inf", "-1e6"}) {
    // Names without "nan" or "inf": neither may appear anywhere in the picture.
    const std::string name = "bad" + std::to_string(++number);
    BadTagFile(dir.File(name + ".wv"), clock, kBadComment);
    const ts::RunResult run =
        ts::RunWavoraBinary({name + ".wv", "-preview", name + ".svg"}, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out;
    const std::string svg = ts::ReadFileText(dir.File(name + ".svg"));
    EXPECT_FALSE(ts::Contains(svg, "nan") || ts::Contains(svg, "inf")) << clock;
    EXPECT_TRUE(ts::Contains(svg, "Frequency (cycles per sample")) << clock;
    EXPECT_TRUE(ts::Contains(svg, "Markers (MARKER LIST entries): marker 1: 3, marker 2: 1"));
    svgs.push_back(name + ".svg");
  }
  EXPECT_EQ(XmlRefused(svgs, dir.path()), "");
  const std::string svg = ts::ReadFileText(dir.File("two.svg"));
  EXPECT_TRUE(ts::Contains(svg, "tone 1: 1.0000 MHz, -7.96 dBFS")) << svg.substr(0, 200);
  EXPECT_TRUE(ts::Contains(svg, "tone 2: -2.5000 MHz, -10.46 dBFS"));
  EXPECT_TRUE(ts::Contains(svg, "CLOCK: 10.000000 MHz  |  50000 pairs = 5.000 ms"));
  EXPECT_TRUE(ts::Contains(svg, "no markers"));
  EXPECT_TRUE(ts::Contains(ts::ReadFileText(dir.File("range.SVG")),
                           "of pairs 1000 to 40999 (-range), minimum and maximum per column"));
}
#endif

TEST(PreviewE2E, NamesThatAreNoSvgAndBadRangesAreRefused) {
  ts::TempDir dir;
  ConvertedTwoTone(dir);
  const std::vector<std::pair<Names, std::string>> refused = {
      {{"_two.wv", "-preview", "x.png"},
       "*** The preview is an SVG picture: its name must end in .svg ('x.png' does not)."},
      {{"_two.wv", "-preview", "x.svg.gz"}, "its name must end in .svg"},
      {{"_two.wv", "-preview", "x.svg", "-range", "10"}, "*** Invalid range '10'"},
      {{"_two.wv", "-preview", "x.svg", "-range", "0:0"}, "*** Invalid range '0:0'"},
      {{"_two.wv", "-preview", "x.svg", "-range", "50000:10"},
       "*** The range starts at pair 50000, but the file holds 50000 pairs."},
      {{"-info", "_two.wv", "-range", "0:10"}, "-range"},
  };
  for (const auto& [args, line] : refused) {
    const ts::RunResult run = ts::RunWavoraBinary(args, dir.path());
    EXPECT_EQ(run.exitCode, 1) << args[2];
    EXPECT_TRUE(ts::Contains(run.out + run.err, line)) << run.out << run.err;
  }
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"_two.wv", "two.bin"}));
}

TEST(PreviewE2E, InfoShowsControlCharactersOfTheFileSpelledOut) {
  ts::TempDir dir;
  BadTagFile(dir.File("bad.wv"), "1e6", kBadComment);
  const ts::RunResult run = ts::RunWavoraBinary({"-info", "bad.wv"}, dir.path());
  EXPECT_TRUE(ts::Contains(run.out, "esc \\x1b[31m bel \\x07 <&>")) << run.out;
  EXPECT_TRUE(ts::Contains(run.out, "overlong \\xe0\\x80\\x80 surrogate \\xed\\xa0\\x80"));
  EXPECT_TRUE(ts::Contains(run.out, "COPYRIGHT      : \xC3\xA9t\xC3\xA9 \\xff"));
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.out.find('\x07'), std::string::npos);
}

}  // namespace
