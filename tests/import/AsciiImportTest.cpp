// The ASCII readers: the field parser on its own for each parse mode, and
// whole imports through ImportRawIQ for the four text formats with their
// line classes, header tags, long lines and the two-file passes.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "import/AsciiImport.h"
#include "import/RawImportFixture.h"

namespace {

using raw_import_test::CapturedLines;
using raw_import_test::CapturedProgress;
using raw_import_test::CaptureLine;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;

constexpr InputFormat kTxt = kFormatTxt;
constexpr InputFormat kTxtHex = kFormatTxtHex;
constexpr InputFormat kTxt2UInt14 = kFormatTxt2ui14;
constexpr InputFormat kTxt2UInt16 = kFormatTxt2ui16;

constexpr const char* kFloatError = "*** Error importing IQ ASCII floating point data.";
constexpr const char* kHexError = "*** Error importing IQ ASCII HEX data.";
constexpr const char* kMoreQ = "*** 2nd file contains more data than first file.";

// Values of the integer modes, from their definitions.
float UInt14Value(unsigned u) { return static_cast<float>((u - 0.5) / 8191.0 - 1.0); }
float UInt16Value(unsigned u) { return static_cast<float>((u - 0.5) / 32767.0 - 1.0); }
float Hex16Value(int s) { return static_cast<float>((s - 0.5) / 32767.0); }

bool SameFloat(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// Captures the log lines of the parser tests (no stream layer needed).
class ParseAsciiFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CapturedLines().clear();
    SetLogSink(&CaptureLine);
  }
  void TearDown() override { SetLogSink(nullptr); }
};

TEST_F(ParseAsciiFieldTest, EveryDelimiterAndRunsOfThemSeparateFields) {
  const std::vector<std::string> separators = {" ", ";", ",", ":", "\t", ", ", " ;\t,: "};
  for (const std::string& separator : separators) {
    const std::string line = "0.5" + separator + "-0.25";
    SCOPED_TRACE("separator '" + separator + "'");
    float value = 7.0f;
    ASSERT_EQ(ParseAsciiField(line.c_str(), 1, &value, kParseFloat), 1);
    EXPECT_EQ(value, 0.5f);
    ASSERT_EQ(ParseAsciiField(line.c_str(), 2, &value, kParseFloat), 1);
    EXPECT_EQ(value, -0.25f);
    value = 7.0f;
    EXPECT_EQ(ParseAsciiField(line.c_str(), 3, &value, kParseFloat), 0);
    EXPECT_EQ(value, 7.0f) << "a missing field must leave the output alone";
  }
  // Characters that are neither delimiters nor number characters are skipped
  // in front of a field, and a field runs up to the next delimiter.
  float value = 0.0f;
  ASSERT_EQ(ParseAsciiField("I=+1.5xyz Q=2", 1, &value, kParseFloat), 1);
  EXPECT_EQ(value, 1.5f);
  ASSERT_EQ(ParseAsciiField("I=+1.5xyz Q=2", 2, &value, kParseFloat), 1);
  EXPECT_EQ(value, 2.0f);
  EXPECT_TRUE(CapturedLines().empty());
}

TEST_F(ParseAsciiFieldTest, MissingFieldsReturnZeroWithoutLogging) {
  float value = 3.0f;
  EXPECT_EQ(ParseAsciiField("1 2", 0, &value, kParseFloat), 0);
  EXPECT_EQ(ParseAsciiField("1 2", -1, &value, kParseFloat), 0);
  EXPECT_EQ(ParseAsciiField("", 1, &value, kParseFloat), 0);
  EXPECT_EQ(ParseAsciiField("xyz +", 1, &value, kParseFloat), 0);  // no number character at all
  EXPECT_EQ(ParseAsciiField("1.5", 2, &value, kParseFloat), 0);    // no delimiter after field 1
  EXPECT_EQ(ParseAsciiField("1.5 ", 2, &value, kParseFloat), 0);   // delimiter, then nothing
  EXPECT_EQ(ParseAsciiField("1.5 zz", 2, &value, kParseUInt16), 0);
  EXPECT_EQ(value, 3.0f);
  EXPECT_TRUE(CapturedLines().empty());
}

TEST_F(ParseAsciiFieldTest, WordsOfLettersAToFAreFields) {
  float value = 0.0f;
  ASSERT_EQ(ParseAsciiField("face beef", 2, &value, kParseHex16), 1);
  EXPECT_EQ(value, Hex16Value(static_cast<std::int16_t>(0xBEEF)));
  // The same word cannot be read as a decimal number: the whole line is logged.
  EXPECT_EQ(ParseAsciiField("1.0 face", 2, &value, kParseFloat), 0);
  ASSERT_EQ(CapturedLines().size(), 1u);
  EXPECT_EQ(CapturedLines()[0], "*** Error in line: 1.0 face");
  EXPECT_EQ(ParseAsciiField("12 -x 3", 2, &value, kParseUInt14), 0);
  ASSERT_EQ(CapturedLines().size(), 2u);
  EXPECT_EQ(CapturedLines()[1], "*** Error in line: 12 -x 3");
}

// The float mode reads what the runtime's "%e" reads, on texts that can
// begin a field (a digit, a-f, '-' or '.'). The runtime is the oracle here.
TEST_F(ParseAsciiFieldTest, FloatModeAcceptsWhatScanfAccepts) {
#if !defined(__GLIBC__)
  GTEST_SKIP() << "the oracle is the GNU C library's scanf";
#endif
  // Separated by blanks, which no text contains.
  const std::string list =
      "0.5 -0.25 1e3 1E-3 .5 -.5e-1 5. 00012.5000 1e 1e+ 1.5e- 100ergs 5-3 -inf -INF -infinity "
      "-nan -NaN 0x1p3 -0x1.8p1 0X10 0x1P 1e50 -1e50 1e-40 -1e-50 3.4028235e38 3.4028236e38 "
      "1e400 -0 123456789012345678901234567890 0.000000000000000000000000000000000000000000001 . "
      "- -. e5 0x 0xg -infin --1 -+1 abc -x";
  std::istringstream stream(list);
  std::vector<std::string> texts;
  for (std::string text; stream >> text;) texts.push_back(text);
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    float expected = 0.0f;
    const bool readable = std::sscanf(text.c_str(), "%e", &expected) == 1;
    float value = 0.0f;
    CapturedLines().clear();
    const int result = ParseAsciiField(text.c_str(), 1, &value, kParseFloat);
    EXPECT_EQ(result, readable ? 1 : 0);
    if (readable) {
      EXPECT_TRUE(SameFloat(value, expected)) << value << " expected " << expected;
      EXPECT_TRUE(CapturedLines().empty());
    } else {
      ASSERT_EQ(CapturedLines().size(), 1u);
      EXPECT_EQ(CapturedLines()[0], "*** Error in line: " + text);
    }
  }
}

// 14-bit and 16-bit unsigned modes take the low 16 bits of a signed decimal.
TEST_F(ParseAsciiFieldTest, DecimalModesUseTheLowSixteenBits) {
  struct Case {
    const char* text;
    unsigned low16;
  };
  // 99999999999999999999 modulo 65536, worked out digit by digit.
  unsigned huge = 0;
  for (char c : std::string("99999999999999999999")) huge = (huge * 10 + (c - '0')) % 65536;
  const Case cases[] = {{"0", 0},       {"16383", 16383},
                        {"8192", 8192}, {"65535", 65535},
                        {"65537", 1},   {"-1", 65535},
                        {"-5", 65531},  {"5.7", 5},
                        {"1e3", 1},     {"99999999999999999999", huge}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    float value = 0.0f;
    ASSERT_EQ(ParseAsciiField(c.text, 1, &value, kParseUInt14), 1);
    EXPECT_EQ(value, UInt14Value(c.low16));
    ASSERT_EQ(ParseAsciiField(c.text, 1, &value, kParseUInt16), 1);
    EXPECT_EQ(value, UInt16Value(c.low16));
  }
  for (const char* text : {".5", "-", "--5", "a1", "-a"}) {
    SCOPED_TRACE(text);
    float value = 0.0f;
    EXPECT_EQ(ParseAsciiField(text, 1, &value, kParseUInt16), 0);
  }
  EXPECT_EQ(CapturedLines().size(), 5u);
}

TEST_F(ParseAsciiFieldTest, HexModeReadsSignedSixteenBitWords) {
  struct Case {
    const char* text;
    int signedValue;
  };
  const Case cases[] = {{"FFFF", -1},    {"7FFF", 32767},   {"8000", -32768}, {"0", 0},
                        {"7fff", 32767}, {"0x1F", 31},      {"0X1f", 31},     {"-1", -1},
                        {"-0x10", -16},  {"12345", 0x2345}, {"0x", 0},        {"ffffg", -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    float value = 0.0f;
    ASSERT_EQ(ParseAsciiField(c.text, 1, &value, kParseHex16), 1);
    EXPECT_EQ(value, Hex16Value(c.signedValue));
    unsigned scanned = 0;
    ASSERT_EQ(std::sscanf(c.text, "%x", &scanned), 1);
    EXPECT_EQ(static_cast<std::int16_t>(scanned & 0xFFFF), c.signedValue)
        << "the runtime disagrees";
  }
  float value = 0.0f;
  EXPECT_EQ(ParseAsciiField("-", 1, &value, kParseHex16), 0);
  EXPECT_EQ(ParseAsciiField(".5", 1, &value, kParseHex16), 0);
  EXPECT_EQ(CapturedLines().size(), 2u);
}

// ---- whole imports ----

class AsciiImportTest : public RawImportTest {
 protected:
  std::string WriteText(const std::string& name, const std::string& text) {
    const std::string path = dir_.File(name);
    testing_support::WriteFileText(path, text);
    return path;
  }

  // The first `count` stored floats. A second file shorter than the first
  // leaves surplus I values behind the imported pairs.
  std::vector<float> FirstStoredFloats(std::size_t count) {
    std::vector<float> stored = StoredFloats();
    EXPECT_GE(stored.size(), count);
    stored.resize(std::min(stored.size(), count));
    return stored;
  }

  // The captured lines hold these lines in this order (others may lie between).
  static void ExpectInOrder(const std::vector<std::string>& texts) {
    const auto& lines = CapturedLines();
    std::size_t at = 0;
    for (const std::string& text : texts) {
      while (at < lines.size() && lines[at] != text) ++at;
      ASSERT_LT(at, lines.size()) << "missing or out of order: " << text << "\n" << AllLines();
      ++at;
    }
  }

  // The index of the first captured line equal to text, or -1.
  static int IndexOf(const std::string& text) {
    const auto& lines = CapturedLines();
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (lines[k] == text) return static_cast<int>(k);
    }
    return -1;
  }
};

TEST_F(AsciiImportTest, TxtReadsPairsWithEveryDelimiterAndLineEnd) {
  const std::string path = WriteText(
      "sig.txt", "0.5 -0.25\n0.5;-0.25\r\n0.5,-0.25   \n0.5:-0.25\n0.5\t-0.25 7 8\n0.5, -0.25");
  ASSERT_EQ(Import(kTxt, path), 1) << AllLines();
  std::vector<float> iq;
  for (int k = 0; k < 6; ++k) iq.insert(iq.end(), {0.5f, -0.25f});
  ExpectSameFloats(StoredFloats(), ModelImport(iq).stored);
  EXPECT_EQ(info_.samples, 6);
  EXPECT_EQ(info_.levelsValid, 1);
  EXPECT_TRUE(Logged("Format is ASCII, Floating Point"));
  EXPECT_TRUE(
      Logged("Processing file 1 (" + std::to_string(std::filesystem::file_size(path)) + " bytes)"));
  EXPECT_TRUE(Logged("processed lines      : 6."));
  EXPECT_TRUE(Logged("imported data points : 6."));
  ExpectSlotsFree();
}

TEST_F(AsciiImportTest, CommentAndEmptyLinesAreSkippedButCounted) {
  const std::string path =
      WriteText("sig.txt", "# hash\n% percent\n// slash\n\n   \r\n1.25 -2\n/0.5 0.5\n");
  ASSERT_EQ(Import(kTxt, path), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), ModelImport({1.25f, -2.0f}).stored);
  EXPECT_EQ(info_.samples, 1);
  EXPECT_TRUE(Logged("processed lines      : 7."));
  EXPECT_TRUE(Logged("imported data points : 1."));
  char scaling[80];
  std::snprintf(scaling, sizeof(scaling), "Max. vector is %5.4f. Scaling down to 1.0...",
                std::sqrt(1.25 * 1.25 + 2.0 * 2.0));
  EXPECT_TRUE(Logged(scaling)) << AllLines();
}

TEST_F(AsciiImportTest, OneFileFormatsFailOnMissingOrUnreadableValues) {
  {
    SCOPED_TRACE("single number");
    CapturedLines().clear();
    info_.samples = -5;
    const std::string path = WriteText("one.txt", "0.25 0.5\n0.5\n");
    EXPECT_EQ(Import(kTxt, path), 0);
    EXPECT_TRUE(Logged(kFloatError));
    EXPECT_FALSE(LoggedContaining("*** Error in line:")) << "a missing value is not unreadable";
    EXPECT_EQ(info_.samples, -5) << "samples are set only when the reader has finished";
    ExpectSlotsFree();
  }
  {
    SCOPED_TRACE("comment mark after a blank");
    CapturedLines().clear();
    const std::string path = WriteText("mark.txt", "0.25 0.5\n # comment\n");
    EXPECT_EQ(Import(kTxt, path), 0);
    const int lineIndex = IndexOf("*** Error in line:  # comment");
    ASSERT_NE(lineIndex, -1) << AllLines();
    EXPECT_EQ(IndexOf(kFloatError), lineIndex + 1);
    ExpectSlotsFree();
  }
  {
    SCOPED_TRACE("hex value that is no number");
    CapturedLines().clear();
    const std::string path = WriteText("bad.hex", "1 2\n7FFF -x\n");
    EXPECT_EQ(Import(kTxtHex, path), 0);
    const int lineIndex = IndexOf("*** Error in line: 7FFF -x");
    ASSERT_NE(lineIndex, -1) << AllLines();
    EXPECT_EQ(IndexOf(kHexError), lineIndex + 1);
    ExpectSlotsFree();
  }
  {
    SCOPED_TRACE("missing input");
    CapturedLines().clear();
    EXPECT_EQ(Import(kTxt, dir_.File("absent.txt")), 0);
    EXPECT_TRUE(Logged("*** Error opening input file."));
    ExpectSlotsFree();
  }
}

TEST_F(AsciiImportTest, NonFiniteValuesNeverReachTheOutput) {
  const std::string path = WriteText("inf.txt", "0.5 0.5\n-inf 0\n");
  EXPECT_EQ(Import(kTxt, path), 0);
  EXPECT_EQ(info_.levelsValid, 0);
  ExpectSlotsFree();
}

TEST_F(AsciiImportTest, TxtHexFullScaleWordsAreScaledDown) {
  const std::string path = WriteText("sig.hex", "FFFF 7FFF\n0000,8000\n0x10 -0x10\n");
  ASSERT_EQ(Import(kTxtHex, path), 1) << AllLines();
  const float i0 = static_cast<float>((-1 - 0.5) / 32767);
  const float q0 = static_cast<float>((32767 - 0.5) / 32767);
  const ::raw_import_test::ExpectedImport expected =
      ModelImport({i0, q0, Hex16Value(0), Hex16Value(-32768), Hex16Value(16), Hex16Value(-16)});
  ASSERT_TRUE(expected.scaled);
  ExpectSameFloats(StoredFloats(), expected.stored);
  EXPECT_TRUE(Logged("Format is ASCII, Int16, HEX"));
  EXPECT_NEAR(info_.peakOffset, 0.0, 1e-9);
  EXPECT_NEAR(info_.rmsOffset, raw_import_test::ExpectedOffset(expected.rms), 1e-6);
}

TEST_F(AsciiImportTest, TxtHexOfZeroWordsOnlyIsSilence) {
  ASSERT_EQ(Import(kTxtHex, WriteText("zero.hex", "0 0\n0000,0\n")), 1) << AllLines();
  EXPECT_EQ(info_.peakOffset, 140.0);
  EXPECT_EQ(info_.rmsOffset, 140.0);
}

TEST_F(AsciiImportTest, ClockRateTagSetsTheClockWithinItsRange) {
  struct Case {
    std::string tag;
    bool accepted;
    double clock;
  };
  const std::vector<Case> cases = {
      {"!clockrate=1e6", true, 1e6},      {"!CLOCKRATE=600000000", true, 600e6},
      {"!CLOCKRATE=1001", true, 1001.0},  {"!CLOCKRATE= 2.5E7 Hz", true, 25e6},
      {"!CLOCKRATE=1000", false, 0},      {"!CLOCKRATE=400", false, 0},
      {"!CLOCKRATE=600000064", false, 0}, {"!CLOCKRATE=abc", false, 0},
      {"!CLOCKRATE", false, 0},           {"!CLOCKRATE=nan", false, 0},
      {"!CLOCKRATE=-1e6", false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    CapturedLines().clear();
    info_ = WaveInfo{};
    info_.clock = 100e6;
    info_.markerClock = 100e6;
    const std::string path = WriteText("clock.txt", "# header\n\n" + c.tag + "\n0.5 0.5\n");
    ASSERT_EQ(Import(kTxt, path), c.accepted ? 1 : 0) << AllLines();
    EXPECT_EQ(info_.markerClock, 100e6) << "the marker clock is never changed by the tag";
    if (c.accepted) {
      EXPECT_EQ(info_.clock, c.clock);
    } else {
      EXPECT_EQ(info_.clock, 100e6);
      EXPECT_TRUE(Logged("*** Line 3: Number for CLOCKRATE is out of range. Aborting."))
          << AllLines();
      EXPECT_EQ(CapturedLines().back(),
                "    The clock must be more than 1 kHz (0.001 MHz) and at most 600 MHz.");
      ExpectSlotsFree();
    }
  }
}

TEST_F(AsciiImportTest, CommentAndCopyrightTagsAreStoredInUpperCase) {
  info_.comment = "from the command line";
  info_.copyright = "(c) command line";
  const std::string path = WriteText("tags.txt",
                                     "!Comment= test signal\n"
                                     "!COMMENT=test\n"
                                     "!copyright=   Wavora Labs, 2024\n"
                                     "!OTHER=thing\n"
                                     "0.5 0.5\n");
  ASSERT_EQ(Import(kTxt, path), 1) << AllLines();
  EXPECT_EQ(info_.comment, "TEST SIGNAL") << "!COMMENT=test without a blank changes nothing";
  EXPECT_EQ(info_.copyright, "WAVORA LABS, 2024");
  EXPECT_TRUE(Logged("evaluating tag !COMMENT= TEST SIGNAL..."));
  EXPECT_TRUE(Logged("evaluating tag !OTHER=THING..."));
  EXPECT_TRUE(Logged("processed lines      : 5."));

  // A later tag overrides an earlier one; a failed import leaves WaveInfo alone.
  info_.comment = "kept";
  const std::string failing = WriteText("fail.txt", "!COMMENT= first\n!COMMENT= second\n0.5\n");
  EXPECT_EQ(Import(kTxt, failing), 0);
  EXPECT_EQ(info_.comment, "kept");
  const std::string later = WriteText("later.txt", "!COMMENT= first\n0 0\n!COMMENT= second\n");
  ASSERT_EQ(Import(kTxt, later), 1);
  EXPECT_EQ(info_.comment, "SECOND");
}

// Tag lines are read whole: a long part before the "=" is read safely, a
// text of 511 characters is taken, a longer one refused, never cut.
TEST_F(AsciiImportTest, LongTagLinesAreReadWhole) {
  const std::string longName = "!COMMENT" + std::string(480, 'x') + "= value";
  std::string text;
  while (text.size() < 511) text += static_cast<char>('a' + text.size() % 26);
  const std::string path =
      WriteText("long.txt", longName + "\n!copyright= " + text + "\n0.5 0.25\n");
  ASSERT_EQ(Import(kTxt, path), 1) << AllLines();
  EXPECT_EQ(info_.comment, "VALUE");
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(info_.copyright, text);
  EXPECT_TRUE(Logged("processed lines      : 3.")) << AllLines();

  Fresh();
  std::string huge = "!copyright= ";
  while (huge.size() < 2000) huge += static_cast<char>('a' + huge.size() % 26);
  EXPECT_EQ(Import(kTxt, WriteText("huge.txt", "0 0\n" + huge + "\n0.5 0.25\n")), 0);
  EXPECT_EQ(CapturedLines().back(),
            "*** Line 2: Text for COPYRIGHT is longer than 511 characters. Aborting.");
}

// Data lines are read whole, whatever their length: the fields come from the
// whole line, never from pieces that split a number.
TEST_F(AsciiImportTest, DataLinesAreReadWholeWhateverTheirLength) {
  const std::string wide = "0.5" + std::string(600, ' ') + "-0.25" + std::string(600, ' ') + "7";
  const std::string path = WriteText("wide.txt", wide + "\n" + std::string(511, ' ') + "\n");
  ASSERT_EQ(Import(kTxt, path), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), ModelImport({0.5f, -0.25f}).stored);
  EXPECT_TRUE(Logged("processed lines      : 2."));

  // One line of 20 MB, as a fixed-width export may write it.
  Fresh();
  const std::string twentyMB = "0.125" + std::string(20000000, ' ') + "0.375\n";
  ASSERT_EQ(Import(kTxt, WriteText("20mb.txt", twentyMB)), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), ModelImport({0.125f, 0.375f}).stored);

  // Two files of one line each, the numbers of varying width, so that every
  // 511-character boundary falls inside some number.
  Fresh();
  std::string iLine;
  std::string qLine;
  std::vector<float> expected;
  for (unsigned k = 0; k < 100000; ++k) {
    const unsigned i = (k * 7919u) % 65536u;
    const unsigned q = (k * 104729u + 3u) % 65536u;
    iLine += std::to_string(i) + (k % 3 == 0 ? ", " : " ");
    qLine += std::to_string(q) + " ";
    expected.insert(expected.end(), {UInt16Value(i), UInt16Value(q)});
  }
  const std::string qPath = WriteText("one_Q.txt", qLine);
  ASSERT_EQ(Import(kTxt2UInt16, WriteText("one_I.txt", iLine), qPath), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), ModelImport(expected).stored);
}

// A line beyond 64 MiB is refused rather than held in memory.
TEST_F(AsciiImportTest, LineBeyondTheLimitIsRefused) {
  const std::string path = WriteText("endless.txt", "0 0\n");
  std::filesystem::resize_file(path, (std::uintmax_t{64} << 20) + 5);  // NUL bytes, no line feed
  EXPECT_EQ(Import(kTxt, path), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error: Line 2 is longer than 67108864 bytes.");
  ExpectSlotsFree();
}

TEST_F(AsciiImportTest, ProgressIsReportedOnlyWhenItChanges) {
  // 400 lines of 10 bytes each: after line k the count is 11 * k bytes, so
  // most percentages span several lines.
  std::string text;
  for (int k = 0; k < 400; ++k) text += "0.1 -0.02\n";
  const std::string path = WriteText("progress.txt", text);
  ASSERT_EQ(Import(kTxt, path), 1);
  std::vector<int> expected = {0};  // the import entry's start value
  int last = -1;
  for (int k = 1; k <= 400; ++k) {
    const int percent = static_cast<int>(11LL * k * 100 / static_cast<long long>(text.size()));
    if (percent != last) expected.push_back(percent);
    last = percent;
  }
  EXPECT_EQ(CapturedProgress(), expected);
}

// Lines cross the reader's internal chunks; every value must arrive.
TEST_F(AsciiImportTest, LargeFilesKeepEveryValue) {
  const std::vector<float> i = testing_support::MakeTone(150000, 0.7, 13.0, true);
  const std::vector<float> q = testing_support::MakeNoise(150000, 0.3, 11);
  std::string text;
  std::vector<float> iq;
  char line[80];
  for (std::size_t k = 0; k < i.size(); ++k) {
    std::snprintf(line, sizeof(line), "%.9g%s%.9g\n", i[k], k % 2 ? "," : " ", q[k]);
    text += line;
    iq.push_back(i[k]);  // "%.9g" gives a float back exactly
    iq.push_back(q[k]);
  }
  const std::string path = WriteText("big.txt", text);
  ASSERT_EQ(Import(kTxt, path), 1) << AllLines();
  EXPECT_EQ(info_.samples, 150000);
  ExpectSameFloats(StoredFloats(), ModelImport(iq).stored);
}

// The files of the two-file example: a first file with 0 and 16383 on one
// line and 8192 on the next, against second files of 3, 4 and 2 values.
TEST_F(AsciiImportTest, Txt2UInt14PairsTheValuesOfTwoFiles) {
  const std::string first = WriteText("sig_I.txt", "0 16383\n8192\n");
  {
    SCOPED_TRACE("equal length");
    const std::string second = WriteText("sig_Q.txt", "# Q values\n16383,0 8191\n");
    ASSERT_EQ(Import(kTxt2UInt14, first, second), 1) << AllLines();
    const std::vector<float> iq = {UInt14Value(0), UInt14Value(16383), UInt14Value(16383),
                                   UInt14Value(0), UInt14Value(8192),  UInt14Value(8191)};
    ExpectSameFloats(StoredFloats(), ModelImport(iq).stored);
    EXPECT_EQ(info_.samples, 3);
    EXPECT_TRUE(Logged("Format is ASCII, UInt14, sep. I,Q"));
    ExpectInOrder(
        {"Importing from 2nd BINARY file '" + second + "'.",
         "Processing file 1 (" + std::to_string(std::filesystem::file_size(first)) + " bytes)",
         "processed lines      : 2.", "imported data points : 3.",
         "Processing file 2 (" + std::to_string(std::filesystem::file_size(second)) + " bytes)",
         "processed lines      : 2.", "imported data points : 3."});
  }
  {
    SCOPED_TRACE("longer second file");
    CapturedLines().clear();
    const std::string second = WriteText("long_Q.txt", "1 2 3 4\n");
    EXPECT_EQ(Import(kTxt2UInt14, first, second), 0);
    EXPECT_TRUE(Logged(kMoreQ));
    ExpectSlotsFree();
  }
  {
    SCOPED_TRACE("shorter second file");
    CapturedLines().clear();
    const std::string second = WriteText("short_Q.txt", "100\n200\n");
    ASSERT_EQ(Import(kTxt2UInt14, first, second), 1) << AllLines();
    EXPECT_EQ(info_.samples, 2);
    const std::vector<float> iq = {UInt14Value(0), UInt14Value(100), UInt14Value(16383),
                                   UInt14Value(200)};
    ExpectSameFloats(FirstStoredFloats(4), ModelImport(iq).stored);
    EXPECT_NEAR(info_.rmsOffset, raw_import_test::ExpectedOffset(ModelImport(iq).rms), 1e-6);
  }
}

TEST_F(AsciiImportTest, Txt2UInt16EndsALineAtItsFirstUnreadableField) {
  const std::string first = WriteText("dataI.txt", "!COMMENT= from i\n0 65535 -a 7\n\n32768;1\n");
  const std::string second = WriteText("dataQ.txt", "65535 0 32767 !x\n!comment= from q\n");
  ASSERT_EQ(Import(kTxt2UInt16, first, second), 1) << AllLines();
  EXPECT_TRUE(Logged("*** Error in line: 0 65535 -a 7"));
  const std::vector<float> iq = {UInt16Value(0), UInt16Value(65535), UInt16Value(65535),
                                 UInt16Value(0), UInt16Value(32768), UInt16Value(32767)};
  ExpectSameFloats(FirstStoredFloats(6), ModelImport(iq).stored);
  EXPECT_EQ(info_.samples, 3);
  EXPECT_EQ(info_.comment, "FROM Q") << "tags are evaluated in both passes";
}

TEST_F(AsciiImportTest, TwoFileFormatsNeedASecondFile) {
  const std::string first = WriteText("sig_I.txt", "1 2 3\n");
  EXPECT_EQ(Import(kTxt2UInt16, first, ""), 0);
  EXPECT_TRUE(Logged("*** No 2nd file provided."));
  ExpectSlotsFree();
  CapturedLines().clear();
  EXPECT_EQ(Import(kTxt2UInt14, first, dir_.File("missing_Q.txt")), 0);
  EXPECT_TRUE(Logged("*** Error opening 2nd input file for read."));
  ExpectSlotsFree();
}

// The second pass rewrites the temporary file in place; with more pairs than
// one 16 MiB chunk of the stream layer holds, reads and writes cross chunks.
TEST_F(AsciiImportTest, TwoFilePassesSpanSeveralStreamChunks) {
  constexpr std::size_t kValues = 2200000;
  std::string iText;
  std::string qText;
  std::vector<float> iq;
  iq.reserve(2 * kValues);
  for (std::size_t k = 0; k < kValues; ++k) {
    const unsigned u = static_cast<unsigned>((k * 7919) % 65536);
    const unsigned v = static_cast<unsigned>((k * 104729 + 5) % 65536);
    iText += std::to_string(u) + (k % 8 == 7 ? "\n" : " ");
    qText += std::to_string(v) + (k % 5 == 4 ? "\n" : ",");
    iq.push_back(UInt16Value(u));
    iq.push_back(UInt16Value(v));
  }
  const std::string first = WriteText("bigI.txt", iText);
  const std::string second = WriteText("bigQ.txt", qText);
  ASSERT_EQ(Import(kTxt2UInt16, first, second), 1) << AllLines();
  EXPECT_EQ(info_.samples, static_cast<std::int32_t>(kValues));
  ExpectSameFloats(StoredFloats(), ModelImport(iq).stored);
}

}  // namespace
