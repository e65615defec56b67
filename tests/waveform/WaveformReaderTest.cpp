#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "waveform/WaveFileBuilder.h"
#include "waveform/WaveformTags.h"

namespace {

using reader_test::File;
using reader_test::gProgress;
using reader_test::gReaderLines;
using testing_support::MakeWords;
using testing_support::WaveFileBuilder;

class WaveformReader : public reader_test::ReaderFixture {};

// A valid KVG file around the given tags, with the pairs of words.
std::string KvgFile(const std::string& tags, const std::vector<std::uint16_t>& words) {
  return WaveFileBuilder().Tag("TYPE", " KVG-WV,0").Raw(tags).Data(words).bytes();
}

std::vector<std::uint16_t> ZeroWords(int pairs) {
  return MakeWords(pairs, [](int, int) { return 0; });
}

TEST_F(WaveformReader, TypeWordsCountOnlyBeforeTheFirstComma) {
  struct Case {
    std::string content;
    WaveformType type;
  };
  const Case accepted[] = {{" KVG-WV,0", kWaveformKvg},   {"KVG-WV", kWaveformKvg},
                           {" ZQ750-WV", kWaveformZq750}, {" WV", kWaveformZetq},
                           {" WV-ADD,12", kWaveformZetq}, {"   WV,x,y", kWaveformZetq}};
  for (const Case& c : accepted) {
    const auto out = Read(WaveFileBuilder().Tag("TYPE", c.content).Data(ZeroWords(2)).bytes());
    EXPECT_EQ(out.result, 1) << c.content;
    EXPECT_EQ(out.info.type, c.type) << c.content;
  }
  EXPECT_TRUE(Logged(1, "Format is ZETQ waveform."));

  for (const std::string bad : {" KVG-WV ", " kvg-wv", " WV-ADD2", " ,KVG-WV"}) {
    const auto out = Read(WaveFileBuilder().Tag("TYPE", bad).Data(ZeroWords(2)).bytes());
    EXPECT_EQ(out.result, 0) << bad;
    EXPECT_EQ(out.info.type, kWaveformNone) << bad;
  }
  EXPECT_TRUE(Logged(4, "*** Error: File is not a valid waveform file (KVG-WV ) !")) << AllLines();
  EXPECT_TRUE(Logged(4, "*** Error: File is not a valid waveform file () !"));

  // A later TYPE tag detects the type again: here it invalidates the file.
  const auto twice =
      Read(WaveFileBuilder().Tag("TYPE", "WV").Tag("TYPE", "XX").Data(ZeroWords(1)).bytes());
  EXPECT_EQ(twice.result, 0);
}

TEST_F(WaveformReader, DataTagMustFollowAValidTypeAndEndsTheTags) {
  const auto before = Read(WaveFileBuilder().Data(ZeroWords(2)).Tag("TYPE", "WV").bytes());
  EXPECT_EQ(before.result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Unsupported waveform file type!"));

  const auto none = Read(WaveFileBuilder().Tag("TYPE", "WV").Tag("CLOCK", "1e6").bytes());
  EXPECT_EQ(none.result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: No tag mark found! Probably incorrect format."));

  // Everything after the data tag is left unread, even a broken tag.
  const std::string after = KvgFile("{CLOCK:2e6}", ZeroWords(3)) + "{TYPE: bogus}{CLOCK:5}{x";
  const auto ok = Read(after);
  EXPECT_EQ(ok.result, 1) << AllLines();
  EXPECT_EQ(ok.info.clock, 2e6);
  EXPECT_EQ(ok.values.size(), 6u);

  // Text between tags and unknown tags (also "CLOCK MARKER" and "clock") are skipped.
  const auto skipped = Read(WaveFileBuilder()
                                .Raw("junk\r\n")
                                .Tag("TYPE", "WV")
                                .Raw(" \n")
                                .Tag("CLOCK MARKER", "7e6")
                                .Tag("clock", "9e6")
                                .Tag("UNKNOWN", std::string(5000, 'u'))
                                .Data(ZeroWords(1))
                                .bytes());
  EXPECT_EQ(skipped.result, 1) << AllLines();
  EXPECT_EQ(skipped.info.clock, kFixtureClock);  // no CLOCK tag: the given clock
  EXPECT_TRUE(Logged(1, "Processing tag 'CLOCK MARKER' ..."));
}

TEST_F(WaveformReader, DataTagByteCountGivesTheSampleCount) {
  const std::vector<std::uint16_t> words = ZeroWords(1000);
  // WAVEFORM-4001 with the '#' right after the colon and after one blank.
  for (const std::string blanks : {"", " "}) {
    const auto out =
        Read(WaveFileBuilder().Tag("TYPE", "WV").Data(words, blanks, "", 4001).bytes());
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.info.samples, 1000);
    EXPECT_EQ(out.values.size(), 2000u);
    EXPECT_EQ(out.header, "IQF");
  }
  // A text before '#' is counted: (4011 - 10 - 1) / 4 = 1000.
  const auto text =
      Read(WaveFileBuilder().Tag("TYPE", "WV").Data(words, " ", "0123456789", 4011).bytes());
  EXPECT_EQ(text.info.samples, 1000);
  // Rounded down: 4004 bytes still hold 1000 samples.
  EXPECT_EQ(
      Read(WaveFileBuilder().Tag("TYPE", "WV").Data(words, " ", "", 4004).bytes()).info.samples,
      1000);

  // Counts below one sample, without a number, and beyond what the temporary
  // file can hold are refused.
  for (const long long n : {2LL, 10LL, 2147483647LL, 4294967297LL, 1073741835LL}) {
    ClearLog();
    const auto out =
        Read(WaveFileBuilder().Tag("TYPE", "WV").Data(ZeroWords(2), " ", "0123456789", n).bytes());
    EXPECT_EQ(out.result, 0) << n;
    EXPECT_TRUE(Logged(4, "*** Error: Invalid number of samples in WAVEFORM tag.")) << n;
  }
  const auto noDash = Read(WaveFileBuilder().Tag("TYPE", "WV").Raw("{WAVEFORM: #abcd}").bytes());
  EXPECT_EQ(noDash.result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Invalid WAVEFORM tag format (samples count)."));

  const auto closed =
      Read(WaveFileBuilder().Tag("TYPE", "WV").Raw("{WAVEFORM-9: text}#abcd}").bytes());
  EXPECT_EQ(closed.result, 0);
  EXPECT_TRUE(Logged(8, "*** Error: Cannot read WAVEFORM tag"));

  // The input ends inside the samples.
  std::string cut = WaveFileBuilder().Tag("TYPE", "WV").Data(ZeroWords(10)).bytes();
  cut.resize(cut.size() - 7);
  EXPECT_EQ(Read(cut).result, 0);
  EXPECT_TRUE(Logged(8, "*** Error: Cannot read enough data from xWAVEFORM tag!"));
}

TEST_F(WaveformReader, SamplesTagIsCorrectedByTheDataTag) {
  const auto out = Read(KvgFile("{SAMPLES:500}{CONTROL LENGTH:1000}", ZeroWords(1000)));
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.info.samples, 1000);
  EXPECT_TRUE(
      Logged(2, "*** Warning: Suspicious number of samples (WAVEFORM tag:1000, SAMPLES tag:500)"));

  ClearLog();
  const auto same = Read(KvgFile("{SAMPLES: 4 pairs}", ZeroWords(4)));
  EXPECT_EQ(same.info.samples, 4);
  EXPECT_EQ(same.info.controlLength, 4);
  EXPECT_FALSE(
      Logged(2, "*** Warning: Suspicious number of samples (WAVEFORM tag:4, SAMPLES tag:4)"));

  EXPECT_EQ(Read(KvgFile("{SAMPLES:0}", ZeroWords(4))).result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Invalid number of samples! Use number > 0."));
  EXPECT_EQ(Read(KvgFile("{SAMPLES:abc}", ZeroWords(4))).result, 0);

  // A count no temporary file can hold would stretch the marker stream.
  ClearLog();
  EXPECT_EQ(
      Read(KvgFile("{SAMPLES:" + std::to_string(kMaxTempSamples + 1) + "}", ZeroWords(4))).result,
      0);
  EXPECT_TRUE(Logged(4, "*** Error: Invalid tag data"));
}

TEST_F(WaveformReader, ClockMustLieAboveOneKilohertzUpToSixHundredMegahertz) {
  struct Case {
    std::string text;
    bool accepted;
    double clock;
  };
  const Case cases[] = {{"1000", false, 1000.0},
                        {"1000.5", true, 1000.5},
                        {"600000000", true, 600000000.0},
                        {"600000000.1", false, 600000000.1},
                        {" 1e8", true, 1e8},
                        {"2000 Hz", true, 2000.0},
                        {"fast", false, 0.0},
                        {"nan", false, 0.0}};
  for (const Case& c : cases) {
    const auto out = Read(KvgFile("{CLOCK:" + c.text + "}", ZeroWords(1)));
    EXPECT_EQ(out.result, c.accepted ? 1 : 0) << c.text;
    if (c.text != "nan") {
      EXPECT_EQ(out.info.clock, c.clock) << c.text;
    }
  }
  EXPECT_TRUE(Logged(4, "*** Error: Invalid clock rate! Range is 0.001-600MHz"));
}

// A file without a CLOCK tag takes the clock given on the command line; with
// none given it fails, as its output would claim a clock of 0. A CLOCK tag
// always wins.
TEST_F(WaveformReader, MissingClockTagTakesTheGivenClockOrFails) {
  defaultClock_ = 25e6;
  const auto given = Read(KvgFile("", ZeroWords(2)));
  EXPECT_EQ(given.result, 1) << AllLines();
  EXPECT_EQ(given.info.clock, 25e6);
  EXPECT_EQ(MakeWaveInfo(given.info).markerClock, 25e6);
  EXPECT_TRUE(Logged(2,
                     "Warning: No CLOCK tag found. Using clock rate 25.000 MHz of the command "
                     "line."));
  const auto tagged = Read(KvgFile("{CLOCK:2e6}", ZeroWords(2)));
  EXPECT_EQ(tagged.result, 1);
  EXPECT_EQ(tagged.info.clock, 2e6);

  defaultClock_ = 0.0;
  ClearLog();
  const auto none = Read(KvgFile("{SAMPLES:2}", ZeroWords(2)));
  EXPECT_EQ(none.result, 0);
  EXPECT_TRUE(Logged(8,
                     "*** Error: No CLOCK tag found. Give the clock rate with -clock <clock "
                     "rate MHz>."))
      << AllLines();
  EXPECT_TRUE(none.values.empty()) << "samples converted although the file fails";
  EXPECT_EQ(Read(KvgFile("{CLOCK:2e6}", ZeroWords(2))).result, 1);
}

TEST_F(WaveformReader, LevelOffsTakesTwoNumbersAcrossAnySeparator) {
  struct Case {
    std::string name;
    std::string text;
    double rms;
    double peak;
  };
  const Case cases[] = {{"LEVEL OFFS", "3.01 ; 0.00", 3.01, 0.0},
                        {"LEVEL OFFS", "3.01,0", 3.01, 0.0},
                        {"LEVEL OFFSET", "12.5 x -1.5", 12.5, -1.5},
                        {"LEVEL OFFS", " 6,2e1", 6.0, 20.0}};
  for (const Case& c : cases) {
    const auto out = Read(KvgFile("{" + c.name + ":" + c.text + "}",
                                  MakeWords(3, [](int k, int) { return 1000 * k; })));
    EXPECT_EQ(out.result, 1) << c.text;
    EXPECT_EQ(out.info.rmsOffset, c.rms) << c.text;
    EXPECT_EQ(out.info.peakOffset, c.peak) << c.text;
  }
  for (const std::string bad : {"3.01", "3.01-2", "x 1,2", ""}) {
    EXPECT_EQ(Read(KvgFile("{LEVEL OFFS:" + bad + "}", ZeroWords(1))).result, 0) << bad;
  }
  EXPECT_TRUE(Logged(4, "*** Error: LEVEL OFFS tag is invalid ('3.01-2')."));
}

TEST_F(WaveformReader, ConvertsEachWordEncoding) {
  const std::vector<std::uint16_t> words = {0x7FFF, 0x8001, 0x0000, 0x8000,
                                            0xFFFF, 0x0001, 0x1235, 0xC003};
  auto kvg = [](std::uint16_t w) {
    return static_cast<float>((static_cast<double>(static_cast<std::int16_t>(w)) - 0.5) / 32767.0);
  };
  auto zq = [](std::uint16_t w) {
    return static_cast<float>(static_cast<double>(static_cast<std::int16_t>(w)) / 32767.0);
  };
  auto zetq16 = [](std::uint16_t w) {
    return static_cast<float>((static_cast<int>(w) - 32768) / 32767.0);
  };
  auto zetq14 = [](std::uint16_t w) {
    return static_cast<float>((static_cast<double>(w - w % 4) - 32768.5) / 32000.0);
  };
  struct Case {
    std::string tags;
    float (*expected)(std::uint16_t);
    const char* bits;
  };
  const Case cases[] = {{"{TYPE:KVG-WV}", +kvg, "16-bit"},
                        {"{TYPE:KVG-WV}{RESOLUTION:14}", +kvg, "14-bit"},
                        {"{TYPE:ZQ750-WV}", +zq, "16-bit"},
                        {"{TYPE:WV}", +zetq16, "16-bit"},
                        {"{RESOLUTION:16 bit}{TYPE:WV-ADD}", +zetq16, "16-bit"},
                        {"{TYPE:WV}{RESOLUTION:14}", +zetq14, "14-bit"}};
  for (const Case& c : cases) {
    ClearLog();
    const auto out = Read(WaveFileBuilder().Raw(c.tags).Data(words).bytes());
    ASSERT_EQ(out.result, 1) << c.tags << AllLines();
    ASSERT_EQ(out.values.size(), words.size()) << c.tags;
    for (std::size_t k = 0; k < words.size(); ++k)
      EXPECT_EQ(out.values[k], c.expected(words[k])) << c.tags << " word " << std::hex << words[k];
    EXPECT_TRUE(Logged(1, std::string("Samples : 4, ") + c.bits)) << c.tags;
  }
  // The documented values of the two extreme KVG words and the 14-bit zero.
  EXPECT_EQ(kvg(0x7FFF), static_cast<float>(32766.5 / 32767.0));
  EXPECT_EQ(kvg(0x8001), static_cast<float>(-32767.5 / 32767.0));
  EXPECT_EQ(zetq14(0x8000), static_cast<float>(-0.000015625));
}

TEST_F(WaveformReader, GainMultipliesAndLevelsAreMeasured) {
  const auto words =
      MakeWords(50, [](int k, int part) { return part == 0 ? 600 * k - 15000 : 31 * k; });
  const auto plain = Read(WaveFileBuilder().Tag("TYPE", "ZQ750-WV").Data(words).bytes(), 0.0);
  const auto doubled = Read(WaveFileBuilder().Tag("TYPE", "ZQ750-WV").Data(words).bytes(), 6.0206);
  ASSERT_EQ(plain.result, 1);
  ASSERT_EQ(doubled.result, 1);
  double sum = 0;
  double peak = 0;
  for (std::size_t k = 0; k < words.size(); ++k) {
    const auto v = static_cast<float>(static_cast<std::int16_t>(words[k]) / 32767.0);
    EXPECT_EQ(plain.values[k], v);
    EXPECT_EQ(doubled.values[k], 2 * v);
  }
  for (std::size_t k = 0; k < doubled.values.size(); k += 2) {
    const double m = double{doubled.values[k]} * doubled.values[k] +
                     double{doubled.values[k + 1]} * doubled.values[k + 1];
    sum += m;
    peak = std::max(peak, std::sqrt(m));
  }
  EXPECT_NEAR(doubled.info.rmsOffset, 20 * std::log10(1 / (std::sqrt(sum / 50) + 1e-7)), 1e-9);
  EXPECT_NEAR(doubled.info.peakOffset, 20 * std::log10(1 / (peak + 1e-7)), 1e-9);
  EXPECT_NEAR(plain.info.peakOffset - doubled.info.peakOffset, 20 * std::log10(2.0), 1e-5);

  // Silent data lands on the floor: 20 log10(1e7) = 140 dB.
  const auto silent =
      Read(WaveFileBuilder().Tag("TYPE", "ZQ750-WV").Data(ZeroWords(64)).bytes(), 12.0);
  EXPECT_EQ(silent.result, 1);
  EXPECT_DOUBLE_EQ(silent.info.rmsOffset, 140.0);
  EXPECT_DOUBLE_EQ(silent.info.peakOffset, 140.0);
}

TEST_F(WaveformReader, LevelOffsetsFollowTheGainAndAreMeasuredAsWrittenWhenValuesClip) {
  const auto words =
      MakeWords(40, [](int k, int part) { return part == 0 ? 800 * k - 16000 : 16000 - 400 * k; });
  const std::string levels = "{LEVEL OFFS:4.5,1.25}";
  // Nothing clips: the file's offsets less the gain.
  const auto louder = Read(KvgFile(levels, words), 6.0);
  ASSERT_EQ(louder.result, 1);
  EXPECT_DOUBLE_EQ(louder.info.rmsOffset, 4.5 - 6.0);
  EXPECT_DOUBLE_EQ(louder.info.peakOffset, 1.25 - 6.0);
  const auto softer = Read(KvgFile(levels, words), -3.5);
  EXPECT_DOUBLE_EQ(softer.info.rmsOffset, 8.0);

  // 20 dB clips most values: the levels are those of the values limited to
  // full scale, whether the file states offsets or not.
  for (const std::string& tags : {levels, std::string()}) {
    const auto clipped = Read(KvgFile(tags, words), 20.0);
    ASSERT_EQ(clipped.result, 1) << tags;
    double sum = 0, peak = 0;
    for (std::size_t k = 0; k < clipped.values.size(); k += 2) {
      const double i = std::clamp(double{clipped.values[k]}, -1.0, 1.0);
      const double q = std::clamp(double{clipped.values[k + 1]}, -1.0, 1.0);
      sum += i * i + q * q;
      peak = std::max(peak, std::sqrt(i * i + q * q));
    }
    EXPECT_GT(peak, 1.0);  // vectors of two clipped values
    EXPECT_NEAR(clipped.info.rmsOffset, 20 * std::log10(1 / (std::sqrt(sum / 40) + 1e-7)), 1e-6)
        << tags;
    EXPECT_NEAR(clipped.info.peakOffset, 20 * std::log10(1 / (peak + 1e-7)), 1e-6) << tags;
  }

  // A factor beyond float, and one that leaves nothing of the waveform, are
  // refused with the gain named; silence stays silence at any gain.
  EXPECT_EQ(Read(KvgFile(levels, words), 1e308).result, 0);
  EXPECT_TRUE(Logged(8, "*** Error: A gain of 1e+308 dB gives no finite factor."));
  for (const double gain : {-1e308, -120.0}) {
    EXPECT_EQ(Read(KvgFile("", words), gain).result, 0) << gain;
    EXPECT_TRUE(Logged(8, FormatText("*** Error: A gain of %g dB turns every sample of the "
                                     "waveform into zero.",
                                     gain)))
        << gain;
  }
  EXPECT_EQ(Read(KvgFile("", words), -60.0).result, 1);
}

TEST_F(WaveformReader, TagNamesAndTextsAreBounded) {
  const std::string name511(511, 'N');
  const auto ok = Read(KvgFile("{" + name511 + ":skipped}", ZeroWords(1)));
  EXPECT_EQ(ok.result, 1) << AllLines();
  const auto tooLong = Read(KvgFile("{" + name511 + "N:x}", ZeroWords(1)));
  EXPECT_EQ(tooLong.result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Tag name (NNNNNNNNNN...) too long!"));
  const auto endsInName = Read(WaveFileBuilder().Tag("TYPE", "WV").Raw("{COMM").bytes());
  EXPECT_EQ(endsInName.result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Tag name (COMM...) too long!"));

  std::string text1024;
  for (int k = 0; k < 1024; ++k) text1024.push_back(static_cast<char>('a' + k % 26));
  const auto stored = Read(KvgFile(
      "{COMMENT:  " + text1024 + "}{COPYRIGHT:(c) us}{DATE:2009-06-09}{SYSTEM:" + text1024 + "}",
      ZeroWords(1)));
  EXPECT_EQ(stored.result, 1);
  EXPECT_EQ(stored.info.comment, text1024.substr(0, 1023));
  EXPECT_EQ(stored.info.system, text1024.substr(0, 1023));
  EXPECT_EQ(stored.info.copyright, "(c) us");
  EXPECT_EQ(stored.info.date, "2009-06-09");

  ClearLog();
  const auto over = Read(KvgFile("{COMMENT:" + text1024 + "x}", ZeroWords(1)));
  EXPECT_EQ(over.result, 0);
  ASSERT_GE(gReaderLines.size(), 2u);
  EXPECT_EQ(gReaderLines[gReaderLines.size() - 2].substr(8), "   *** Error: Invalid tag content!");
  EXPECT_EQ(gReaderLines.back().substr(8), "   e *** Error: Invalid tag data");

  // An unknown tag that never closes.
  EXPECT_EQ(Read(WaveFileBuilder().Tag("TYPE", "WV").Raw("{OPEN:no end").bytes()).result, 0);
  EXPECT_TRUE(LoggedAlways("*** Error: Invalid tag content!"));
  EXPECT_EQ(Read(WaveFileBuilder().Tag("TYPE", "WV").Raw("{TYPE:").bytes()).result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Invalid TYPE tag."));
}

TEST_F(WaveformReader, ResultsStartAfreshOnEveryRead) {
  const auto first =
      Read(KvgFile("{COMMENT:first}{CLOCK:5e6}{LEVEL OFFS:1,2}{CONTROL LENGTH:3}", ZeroWords(3)));
  ASSERT_EQ(first.result, 1);
  WaveFileInfo info = first.info;
  testing_support::WriteFileText(
      InputPath(), WaveFileBuilder().Tag("TYPE", "ZQ750-WV").Data(ZeroWords(2)).bytes());
  File wave(platform::OpenFile(dir_.File("w.dat"), "w+b"));
  File marker(platform::OpenFile(dir_.File("m.dat"), "w+b"));
  info.waveFile = wave.get();
  info.markerFile = marker.get();
  ASSERT_EQ(ReadWaveformFile(&info), 1);
  EXPECT_EQ(info.comment, "");
  EXPECT_EQ(info.clock, kFixtureClock);  // no CLOCK tag this time
  EXPECT_EQ(info.type, kWaveformZq750);
  EXPECT_EQ(info.controlLength, 0);  // no SAMPLES tag to take it from
  EXPECT_EQ(info.samples, 2);
  EXPECT_DOUBLE_EQ(info.rmsOffset, 140.0);  // measured again
}

// Over many blocks the levels are running sums over the samples in file
// order, to the last bit; the first limited value may come in a later block.
TEST_F(WaveformReader, LevelsOfManyBlocksAreTheRunningSumsOfTheSamples) {
  const int count = 30001;
  // A swelling ramp: at 6 dB the values pass full scale only after 20000 samples.
  const auto words = MakeWords(count, [](int k, int part) {
    const int amplitude = 4000 + k / 2;
    const int value = (part == 0 ? k * 37 : k * 53) % (2 * amplitude) - amplitude;
    return value & 0xFFFF;
  });
  for (const double gain : {0.0, 6.0}) {
    const auto out = Read(KvgFile("", words), gain);
    ASSERT_EQ(out.result, 1) << gain;
    ASSERT_EQ(out.values.size(), 2u * count);
    double sum = 0.0, peakPower = 0.0;
    std::size_t firstClipped = out.values.size();
    for (std::size_t k = 0; k < out.values.size(); k += 2) {
      const float i = std::clamp(out.values[k], -1.0f, 1.0f);
      const float q = std::clamp(out.values[k + 1], -1.0f, 1.0f);
      if (i != out.values[k] || q != out.values[k + 1])
        firstClipped = std::min(firstClipped, k / 2);
      const double power = double{i} * i + double{q} * q;
      sum += power;
      peakPower = std::max(peakPower, power);
    }
    EXPECT_EQ(firstClipped > 20000 && firstClipped<30000u, gain> 0) << firstClipped;
    EXPECT_EQ(out.info.rmsOffset, 20.0 * std::log10(1.0 / (std::sqrt(sum / count) + 1e-7))) << gain;
    EXPECT_EQ(out.info.peakOffset, 20.0 * std::log10(1.0 / (std::sqrt(peakPower) + 1e-7))) << gain;
  }
}

TEST_F(WaveformReader, RefusesMissingInputsAndReportsProgress) {
  EXPECT_EQ(ReadWaveformFile(nullptr), 0);
  EXPECT_TRUE(Logged(8, "*** No wave data structure provided."));
  WaveFileInfo info;
  info.path = InputPath();
  EXPECT_EQ(ReadWaveformFile(&info), 0);
  EXPECT_TRUE(Logged(8, "*** Temporary file for waveform not open."));
  File wave(platform::OpenFile(dir_.File("w.dat"), "w+b"));
  info.waveFile = wave.get();
  EXPECT_EQ(ReadWaveformFile(&info), 0);
  EXPECT_TRUE(Logged(8, "*** Temporary file for marker data not open."));

  const auto missing = ReadPath(dir_.File("absent.wv"), 0.0);
  EXPECT_EQ(missing.result, 0);
  EXPECT_TRUE(Logged(8, "*** Error: Cannot open input file."));

  SetProgressCallback(reader_test::CaptureProgress);
  // Fewer samples than percent, and samples over several blocks.
  for (const int count : {37, 250, 20011}) {
    gProgress.clear();
    const auto out = Read(KvgFile("", ZeroWords(count)));
    ASSERT_EQ(out.result, 1);
    std::vector<int> expected;
    for (int i = 0; i < count; ++i) {
      const int p = 100 * i / count;
      if (expected.empty() || expected.back() != p) expected.push_back(p);
    }
    expected.push_back(100);
    EXPECT_EQ(gProgress, expected) << count;
  }
  EXPECT_TRUE(Logged(1, "Reading waveform file '" + InputPath() + "'..."));

  // A failed read also ends the progress at 100.
  gProgress.clear();
  EXPECT_EQ(Read(WaveFileBuilder().Tag("TYPE", "XX").bytes()).result, 0);
  EXPECT_EQ(gProgress, std::vector<int>{100});
}

// ReadTagToken and its two relatives on a slot of their own.
class TagTokens : public reader_test::ReaderFixture {
 protected:
  void Open(const std::string& bytes) {
    testing_support::WriteFileText(InputPath(), bytes);
    file_.reset(platform::OpenFile(InputPath(), "rb"));
    ASSERT_TRUE(file_ && _InitBuf(kSlot, file_.get(), 1, 0, 0));
  }
  void TearDown() override {
    _ReleaseBuf(kSlot);
    file_.reset();
    ReaderFixture::TearDown();
  }
  static constexpr int kSlot = 7;
  reader_test::File file_;
};

TEST_F(TagTokens, EndAtDelimiterBraceOrInputEnd) {
  Open("  abc;de f}  ;}x  ");
  std::string text = "old";
  EXPECT_EQ(ReadTagToken(kSlot, &text, 10, ';'), 1);
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(ReadTagToken(kSlot, &text, 10, ';'), 0);  // the tag closed
  EXPECT_EQ(text, "de f");
  EXPECT_EQ(ReadTagToken(kSlot, &text, 10, ';'), 1);  // blanks, then the delimiter
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadTagToken(kSlot, &text, 10, ';'), 1);  // '}' at once: empty, 1
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadTagToken(kSlot, &text, 10, ';'), 1);  // the input ends inside
  EXPECT_EQ(text, "x  ");
  EXPECT_EQ(ReadTagToken(kSlot, &text, 10, ';'), 0);  // nothing left
  EXPECT_EQ(text, "");
}

TEST_F(TagTokens, LongerThanTheMaximumIsAnError) {
  Open("abcd;abcd}abcde;abcd");
  std::string text;
  EXPECT_EQ(ReadTagToken(kSlot, &text, 4, ';'), 1);
  EXPECT_EQ(ReadTagToken(kSlot, &text, 4, ';'), 0);
  EXPECT_TRUE(gReaderLines.empty());
  EXPECT_EQ(ReadTagToken(kSlot, &text, 4, ';'), 0);
  EXPECT_EQ(text, "abcd");
  EXPECT_TRUE(LoggedAlways("*** Error: Invalid tag content!"));
  // The byte after the maximum was consumed.
  EXPECT_EQ(ReadTagToken(kSlot, &text, 4, ';'), 1);
  EXPECT_EQ(text, "");
  // At the end of the input the maximum itself is fine.
  EXPECT_EQ(ReadTagToken(kSlot, &text, 4, ';'), 1);
  EXPECT_EQ(text, "abcd");
}

TEST_F(TagTokens, ContentAndSkipStopAtTheClosingBrace) {
  Open(" a;b} {X:y}  ");
  std::string text;
  EXPECT_EQ(ReadTagContent(kSlot, &text, 1024), 1);
  EXPECT_EQ(text, "a;b");
  EXPECT_EQ(SkipTagContent(kSlot), 1);               // " {X:y}"
  EXPECT_EQ(ReadTagContent(kSlot, &text, 1024), 0);  // only blanks left
  EXPECT_TRUE(gReaderLines.empty());
  EXPECT_EQ(SkipTagContent(kSlot), 0);
  EXPECT_TRUE(LoggedAlways("*** Error: Invalid tag content!"));
}

}  // namespace

#ifndef _WIN32
namespace {

// The input opened by the caller is the one read, from its start, whatever
// became of its path; the read closes it.
TEST_F(WaveformReader, ReadsTheInputTheCallerOpened) {
  testing_support::WriteFileText(InputPath(), KvgFile("{CLOCK:2e6}", ZeroWords(5)));
  InputFile input;
  ASSERT_EQ(OpenInputFile(InputPath(), &input), 1);
  unsigned char start[8];
  std::size_t got = 0;
  ASSERT_EQ(PeekInputStart(input, start, sizeof(start), &got), 1);
  ASSERT_TRUE(platform::RemoveFile(InputPath()));
  testing_support::WriteFileText(InputPath(), "{TYPE:BOGUS}");

  reader_test::File wave(platform::OpenFile(dir_.File("_temp_.dat"), "w+b"));
  reader_test::File marker(platform::OpenFile(dir_.File("_mkr_.dat"), "w+b"));
  WaveFileInfo info;
  info.path = InputPath();
  info.input = &input;
  info.waveFile = wave.get();
  info.markerFile = marker.get();
  EXPECT_EQ(ReadWaveformFile(&info), 1);
  EXPECT_EQ(info.samples, 5);
  EXPECT_EQ(info.type, kWaveformKvg);
  EXPECT_FALSE(input.IsOpen());
}

}  // namespace
#endif
