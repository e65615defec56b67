// ASCII input end to end: the built program converts text files of each
// format; every output is parsed back and each word compared with the word
// computed here from the values written into the input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

constexpr char kFinished[] = "File conversion finished successfully.";
constexpr char kImportFailed[] = "*** Import of waveform data failed.";

// A log line printed by the console sink: time stamp, then the text.
std::string Logged(const std::string& text) { return "   " + text + "\n"; }

ts::RunResult Convert(const std::string& workDir, const std::vector<std::string>& args) {
  return ts::RunWavoraBinary(args, workDir, "y");
}

bool ParseOutput(const std::string& path, ts::ParsedWaveform* parsed) {
  std::string error;
  const bool ok = ts::ParseWaveform(ts::ReadFileBytes(path), parsed, &error);
  EXPECT_TRUE(ok) << path << ": " << error;
  return ok;
}

void ExpectWords(const ts::ParsedWaveform& parsed, const std::vector<float>& iq) {
  ASSERT_EQ(parsed.words.size(), iq.size());
  for (std::size_t k = 0; k < iq.size(); ++k) {
    ASSERT_EQ(parsed.words[k], ts::ExpectedWord(iq[k])) << "word " << k << " value " << iq[k];
  }
  ASSERT_NE(parsed.Find("SAMPLES"), nullptr);
  EXPECT_EQ(*parsed.Find("SAMPLES"), std::to_string(iq.size() / 2));
}

// Over-range data is divided by its largest vector magnitude, measured with
// float squares and roots, before it becomes words.
std::vector<float> ScaledToFullScale(std::vector<float> iq) {
  float peak = 0.0f;
  for (std::size_t k = 0; k + 1 < iq.size(); k += 2) {
    const float m2 = iq[k] * iq[k] + iq[k + 1] * iq[k + 1];
    peak = std::max(peak, std::sqrt(m2));
  }
  if (peak > 1.0f) {
    for (float& value : iq) value /= peak;
  }
  return iq;
}

std::string Hex16(int value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", static_cast<unsigned>(value) & 0xFFFFu);
  return text;
}

// One conversion: the inputs, the arguments after the input name, and the
// I/Q values the output must hold.
struct FormatCase {
  std::string format;
  std::vector<std::pair<std::string, std::string>> files;  // name, text
  std::vector<float> iq;
};

FormatCase MakeTxtCase(std::size_t pairs) {
  const std::vector<float> i = ts::MakeTone(pairs, 0.6, 3.0, true);
  const std::vector<float> q = ts::MakeNoise(pairs, 0.6, 7);
  FormatCase c{"txt", {}, {}};
  std::string text = "# I and Q\n";
  const char* separators[] = {" ", ",", ";", "\t", ", "};
  char line[80];
  for (std::size_t k = 0; k < pairs; ++k) {
    std::snprintf(line, sizeof(line), "%.9g%s%.9e\r\n", i[k], separators[k % 5], q[k]);
    text += line;
    c.iq.push_back(i[k]);  // "%.9g" and "%.9e" give a float back exactly
    c.iq.push_back(q[k]);
  }
  c.files.emplace_back("sig.txt", text);
  return c;
}

FormatCase MakeHexCase(std::size_t pairs) {
  FormatCase c{"txthex", {}, {}};
  std::string text;
  for (std::size_t k = 0; k < pairs; ++k) {
    const int i = static_cast<int>((k * 7919) % 40001) - 20000;
    const int q = static_cast<int>((k * 104729) % 40001) - 20000;
    text += Hex16(i) + (k % 2 ? ":" : " ") + (k % 3 ? "" : "0x") + Hex16(q) + "\n";
    c.iq.push_back(static_cast<float>((i - 0.5) / 32767.0));
    c.iq.push_back(static_cast<float>((q - 0.5) / 32767.0));
  }
  c.files.emplace_back("sig.txt", text);
  return c;
}

// Two files with a varying number of values per line; unsigned values around
// mid-scale so that no vector reaches full scale.
FormatCase MakeTwoFileCase(const std::string& format, std::size_t pairs, unsigned fullScale) {
  const double scale = format == "txt2ui14" ? 8191.0 : 32767.0;
  FormatCase c{format, {}, {}};
  std::string iText = "% I values\n";
  std::string qText = "% Q values\n";
  for (std::size_t k = 0; k < pairs; ++k) {
    const unsigned u = fullScale / 4 + static_cast<unsigned>((k * 7919) % (fullScale / 2));
    const unsigned v = fullScale / 4 + static_cast<unsigned>((k * 104729) % (fullScale / 2));
    iText += std::to_string(u) + (k % 7 == 6 ? "\n" : " ");
    qText += std::to_string(v) + (k % 3 == 2 ? "\n" : ", ");
    c.iq.push_back(static_cast<float>((u - 0.5) / scale - 1.0));
    c.iq.push_back(static_cast<float>((v - 0.5) / scale - 1.0));
  }
  c.files.emplace_back("sig_I.txt", iText + "\n");
  c.files.emplace_back("sig_Q.txt", qText);
  return c;
}

TEST(AsciiE2E, EachFormatConvertsEveryWord) {
  const std::vector<FormatCase> cases = {MakeTxtCase(600), MakeHexCase(600),
                                         MakeTwoFileCase("txt2ui14", 600, 16384),
                                         MakeTwoFileCase("txt2ui16", 600, 65536)};
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.format);
    ts::TempDir dir;
    for (const auto& [name, text] : c.files) ts::WriteFileText(dir.File(name), text);
    const std::string input = c.files.front().first;
    const ts::RunResult run = Convert(dir.path(), {input, "-format", c.format, "-clock", "100"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(kFinished), std::string::npos);
    ts::ParsedWaveform parsed;
    const std::string output = dir.File("_" + input.substr(0, input.find('.')) + ".wv");
    ASSERT_TRUE(ParseOutput(output, &parsed));
    ExpectWords(parsed, c.iq);
    ASSERT_NE(parsed.Find("CLOCK"), nullptr);
    EXPECT_EQ(*parsed.Find("CLOCK"), "100000000.000");
    EXPECT_EQ(parsed.Find("COMMENT"), nullptr);
    EXPECT_FALSE(ts::FileExistsForTest(dir.File("_temp_.dat")));
    EXPECT_FALSE(ts::FileExistsForTest(dir.File("_mkr_.dat")));
  }
}

TEST(AsciiE2E, FullScaleHexIsScaledDownToFullScale) {
  ts::TempDir dir;
  ts::WriteFileText(dir.File("full.txt"), "FFFF 7FFF\n8000 8000\n0 0\n1000,-1000\n");
  const ts::RunResult run = Convert(dir.path(), {"full.txt", "-format", "txthex", "-clock", "50"});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  std::vector<float> iq;
  for (int s : {-1, 32767, -32768, -32768, 0, 0, 0x1000, -0x1000}) {
    iq.push_back(static_cast<float>((s - 0.5) / 32767.0));
  }
  ts::ParsedWaveform parsed;
  ASSERT_TRUE(ParseOutput(dir.File("_full.wv"), &parsed));
  ExpectWords(parsed, ScaledToFullScale(iq));
}

TEST(AsciiE2E, HeaderTagsSetCommentCopyrightAndClockOfTheirOwnFile) {
  ts::TempDir dir;
  fs::create_directories(dir.File("in"));
  fs::create_directories(dir.File("out"));
  ts::WriteFileText(dir.File("in/a.txt"),
                    "!Comment= tagged wave\n!COPYRIGHT= Our Lab\n!clockrate=2.5e6\n0.5 0.25\n");
  ts::WriteFileText(dir.File("in/b.txt"), "0.5 0.25\n");
  const ts::RunResult run =
      Convert(dir.path(), {"-indir", dir.File("in"), "-outdir", dir.File("out"), "-format", "txt",
                           "-clock", "100", "-comment", "from the command line"});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find(Logged("evaluating tag !CLOCKRATE=2.5E6...")), std::string::npos);

  ts::ParsedWaveform tagged;
  ASSERT_TRUE(ParseOutput(dir.File("out/a.wv"), &tagged));
  ASSERT_NE(tagged.Find("COMMENT"), nullptr);
  EXPECT_EQ(*tagged.Find("COMMENT"), "TAGGED WAVE");
  ASSERT_NE(tagged.Find("COPYRIGHT"), nullptr);
  EXPECT_EQ(*tagged.Find("COPYRIGHT"), "OUR LAB");
  ASSERT_NE(tagged.Find("CLOCK"), nullptr);
  EXPECT_EQ(*tagged.Find("CLOCK"), "2500000.000");
  ASSERT_NE(tagged.Find("CLOCK MARKER"), nullptr);
  EXPECT_EQ(*tagged.Find("CLOCK MARKER"), "100000000.000");

  // The file converted after it starts again from the command line's values.
  ts::ParsedWaveform plain;
  ASSERT_TRUE(ParseOutput(dir.File("out/b.wv"), &plain));
  ASSERT_NE(plain.Find("COMMENT"), nullptr);
  EXPECT_EQ(*plain.Find("COMMENT"), "from the command line");
  EXPECT_EQ(plain.Find("COPYRIGHT"), nullptr);
  ASSERT_NE(plain.Find("CLOCK"), nullptr);
  EXPECT_EQ(*plain.Find("CLOCK"), "100000000.000");
}

TEST(AsciiE2E, SecondFileFollowsTheQFileRule) {
  const std::string iText = "100 200\n300\n";
  const std::string qText = "400 500 600\n";
  std::vector<float> iq;
  for (unsigned u : {100u, 400u, 200u, 500u, 300u, 600u}) {
    iq.push_back(static_cast<float>((u - 0.5) / 32767.0 - 1.0));
  }
  const std::vector<float> expected = ScaledToFullScale(iq);
  {
    SCOPED_TRACE("-qfile");
    ts::TempDir dir;
    ts::WriteFileText(dir.File("first.txt"), iText);
    ts::WriteFileText(dir.File("other.txt"), qText);
    const ts::RunResult run = Convert(
        dir.path(), {"first.txt", "-format", "txt2ui16", "-clock", "10", "-qfile", "other.txt"});
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("Importing from 2nd BINARY file '"), std::string::npos);
    ts::ParsedWaveform parsed;
    ASSERT_TRUE(ParseOutput(dir.File("_first.wv"), &parsed));
    ExpectWords(parsed, expected);
  }
  {
    SCOPED_TRACE("derived name");
    ts::TempDir dir;
    ts::WriteFileText(dir.File("dataI.txt"), iText);
    ts::WriteFileText(dir.File("dataQ.txt"), qText);
    const ts::RunResult run =
        Convert(dir.path(), {"dataI.txt", "-format", "txt2ui16", "-clock", "10"});
    ASSERT_EQ(run.exitCode, 0) << run.out;
    ts::ParsedWaveform parsed;
    ASSERT_TRUE(ParseOutput(dir.File("_dataI.wv"), &parsed));
    ExpectWords(parsed, expected);
  }
  {
    SCOPED_TRACE("neither");
    ts::TempDir dir;
    ts::WriteFileText(dir.File("values.txt"), iText);
    const ts::RunResult run =
        Convert(dir.path(), {"values.txt", "-format", "txt2ui14", "-clock", "10"});
    EXPECT_EQ(run.exitCode, 1);
    const std::size_t missing = run.out.find(Logged("*** No 2nd file provided."));
    ASSERT_NE(missing, std::string::npos) << run.out;
    EXPECT_GT(run.out.find(kImportFailed), missing);
    EXPECT_FALSE(ts::FileExistsForTest(dir.File("_values.wv")));
  }
}

TEST(AsciiE2E, FailedImportsEndWithExitCodeOneAndLeaveNoFiles) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;
    std::string format;
    std::string message;
  };
  const std::vector<Case> cases = {{"clock below range",
                                    {{"sig.txt", "0.1 0.1\n!CLOCKRATE=399\n"}},
                                    "txt",
                                    "*** Line 2: Number for CLOCKRATE is out of range. Aborting."},
                                   {"clock without a number",
                                    {{"sig.txt", "!CLOCKRATE=fast\n"}},
                                    "txt",
                                    "*** Line 1: Number for CLOCKRATE is out of range. Aborting."},
                                   {"single number",
                                    {{"sig.txt", "0.1 0.1\n0.2\n"}},
                                    "txt",
                                    "*** Error importing IQ ASCII floating point data."},
                                   {"longer Q file",
                                    {{"sig_I.txt", "1 2\n"}, {"sig_Q.txt", "1 2 3\n"}},
                                    "txt2ui14",
                                    "*** 2nd file contains more data than first file."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::TempDir dir;
    for (const auto& [name, text] : c.files) ts::WriteFileText(dir.File(name), text);
    const std::string input = c.files.front().first;
    const ts::RunResult run = Convert(dir.path(), {input, "-format", c.format, "-clock", "100"});
    EXPECT_EQ(run.exitCode, 1);
    const std::size_t at = run.out.find(Logged(c.message));
    ASSERT_NE(at, std::string::npos) << run.out;
    EXPECT_GT(run.out.find(kImportFailed), at);
    // Only the inputs remain: no output, no temporary files.
    std::vector<std::string> inputs;
    for (const auto& file : c.files) inputs.push_back(file.first);
    std::sort(inputs.begin(), inputs.end());
    EXPECT_EQ(ts::ListNames(dir.path()), inputs);
  }
}

}  // namespace
