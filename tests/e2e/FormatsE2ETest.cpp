// WAV (made by sox and by the tests), SigMF, NumPy and the 8-bit formats
// converted by the built program, and -format auto over a mixed tree: the
// output words, clock and texts against values computed here.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "import/FormatFileBuilders.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using format_files::Bytes;
using format_files::PutLE;

// The output parses, has `values.size() / 2` pairs and the words of values.
void ExpectWords(const std::string& wvPath, const std::vector<float>& values) {
  SCOPED_TRACE(wvPath);
  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(wvPath), &parsed, &error)) << error;
  ASSERT_EQ(parsed.words.size(), values.size());
  for (std::size_t n = 0; n < values.size(); ++n)
    ASSERT_EQ(parsed.words[n], ts::ExpectedWord(values[n])) << "word " << n;
}

std::string Tag(const std::string& wvPath, const std::string& name) {
  ts::ParsedWaveform parsed;
  std::string error;
  if (!ts::ParseWaveform(ts::ReadFileBytes(wvPath), &parsed, &error)) return "unparsed: " + error;
  const std::string* value = parsed.Find(name);
  return value != nullptr ? *value : "(none)";
}

// The data chunk of a WAV file, found by walking its chunks.
Bytes WavData(const Bytes& file) {
  std::size_t at = 12;
  while (at + 8 <= file.size()) {
    const std::uint32_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 |
                               static_cast<std::uint32_t>(file[at + 7]) << 24;
    if (std::string(file.begin() + at, file.begin() + at + 4) == "data")
      return Bytes(file.begin() + at + 8, file.begin() + at + 8 + size);
    at += 8 + size + (size & 1);
  }
  return {};
}

bool HaveSox() { return std::system("sox --version >/dev/null 2>&1") == 0; }

TEST(FormatsE2E, SoxWavFilesConvertWithTheirRate) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  struct Case {
    const char* options;
    int bytes;
  };
  const Case cases[] = {{"-b 16 -e signed-integer", 2},
                        {"-b 24 -e signed-integer", 3},
                        {"-b 32 -e floating-point", 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    ts::TempDir t;
    const std::string command = "sox -n -r 250000 -c 2 " + std::string(c.options) + " " +
                                t.File("tone.wav") + " synth 0.004 sine 3000 sine 5000 vol 0.6";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Bytes data = WavData(ts::ReadFileBytes(t.File("tone.wav")));
    ASSERT_EQ(data.size(), 1000u * 2 * static_cast<unsigned>(c.bytes));
    std::vector<float> values;
    for (std::size_t k = 0; k + c.bytes <= data.size(); k += static_cast<std::size_t>(c.bytes)) {
      std::uint32_t raw = 0;
      for (int b = 0; b < c.bytes; ++b) raw |= static_cast<std::uint32_t>(data[k + b]) << (8 * b);
      if (c.bytes == 2)
        values.push_back(static_cast<float>((static_cast<std::int16_t>(raw) - 0.5) / 32767.0));
      else if (c.bytes == 3)
        values.push_back(
            static_cast<float>((static_cast<std::int32_t>(raw << 8) >> 8) / 8388607.0));
      else
        values.push_back(std::bit_cast<float>(raw));
    }
    const ts::RunResult run = ts::RunWavoraBinary({"tone.wav", "-format", "wav"}, t.path(), "y");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("  Clock rate        | from the input file"), std::string::npos);
    ExpectWords(t.File("_tone.wv"), values);  // the peak is below 1: nothing is scaled
    EXPECT_EQ(Tag(t.File("_tone.wv"), "CLOCK"), "250000.000");
    EXPECT_EQ(Tag(t.File("_tone.wv"), "CLOCK MARKER"), "250000.000");
  }
}

TEST(FormatsE2E, SigmfRecordingCarriesClockCommentAndCopyright) {
  ts::TempDir t;
  Bytes data;
  std::vector<float> values;
  for (int k = 0; k < 64; ++k) {
    const float v = static_cast<float>(std::sin(k * 0.3) * 0.4);
    values.push_back(v);
    PutLE(data, std::bit_cast<std::uint32_t>(v), 4);
  }
  ts::WriteFileBytes(t.File("cap.sigmf-data"), data);
  ts::WriteFileText(t.File("cap.sigmf-meta"),
                    format_files::MakeSigmfMeta(
                        "\"core:datatype\": \"cf32_le\", \"core:sample_rate\": 3.2e6, "
                        "\"core:description\": \"FM capture\", \"core:author\": \"RF lab\""));
  const ts::RunResult run =
      ts::RunWavoraBinary({"cap.sigmf-meta", "-format", "sigmf"}, t.path(), "y");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  ExpectWords(t.File("_cap.wv"), values);
  EXPECT_EQ(Tag(t.File("_cap.wv"), "CLOCK"), "3200000.000");
  EXPECT_EQ(Tag(t.File("_cap.wv"), "COMMENT"), "FM capture");
  EXPECT_EQ(Tag(t.File("_cap.wv"), "COPYRIGHT"), "RF lab");
}

// The clock checks of the command line are in CommandLineTest; these are the
// ones made per file.
TEST(FormatsE2E, ClockRulesOfTheNewFormats) {
  ts::TempDir t;
  format_files::WavSpec spec;
  spec.data = Bytes(16, 0x10);
  ts::WriteFileBytes(t.File("a.wav"), format_files::MakeWav(spec));
  ts::WriteFileBytes(t.File("a.cu8"), Bytes(16, 0x90));
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string text;
  };
  const Case cases[] = {
      {{"a.cu8", "-format", "auto"}, 1, "*** Error: No clock rate for raw samples"},
      {{"a.cu8", "-format", "auto", "-clock", "2", "-overwrite"}, 0, "as cu8."},
      {{"a.wav", "-format", "wav", "-clock", "2", "-overwrite"}, 0, "CLOCK:2000000.000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    const ts::RunResult run = ts::RunWavoraBinary(c.args, t.path(), "y");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
    std::string all = run.out;
    if (c.exitCode == 0) {
      const Bytes wv = ts::ReadFileBytes(t.File("_a.wv"));
      all += std::string(wv.begin(), wv.end());
    }
    EXPECT_NE(all.find(c.text), std::string::npos) << run.out;
  }
  // An alias is shown as given.
  const ts::RunResult alias =
      ts::RunWavoraBinary({"a.cu8", "-format", "cf32", "-clock", "1", "-overwrite"}, t.path(), "y");
  EXPECT_NE(alias.out.find("  Input format      | cf32 "), std::string::npos) << alias.out;
}

TEST(FormatsE2E, AutoOverAMixedTree) {
  ts::TempDir t;
  fs::create_directories(t.File("in/sub"));
  fs::create_directories(t.File("out"));
  // The same eight units in every file's own encoding.
  const std::vector<int> units = {-50, 45, 40, -35, 30, -25, 20, -15};  // below full scale
  auto values = [&](double scale, double offset) {
    std::vector<float> v;
    for (int u : units) v.push_back(static_cast<float>((u + offset) / scale));
    return v;
  };
  Bytes pcm16, cu8, ci8, npyData;
  for (int u : units) {
    PutLE(pcm16, static_cast<std::uint16_t>(u * 100), 2);
    cu8.push_back(static_cast<unsigned char>(u + 128));
    ci8.push_back(static_cast<unsigned char>(static_cast<std::int8_t>(u)));
    PutLE(npyData, std::bit_cast<std::uint32_t>(static_cast<float>(u / 128.0)), 4);
  }
  format_files::WavSpec spec;
  spec.data = pcm16;
  ts::WriteFileBytes(t.File("in/a.wav"), format_files::MakeWav(spec));
  ts::WriteFileBytes(t.File("in/b.npy"), format_files::MakeNpy(1, "<c8", "(4,)", false, npyData));
  ts::WriteFileBytes(t.File("in/c.cu8"), cu8);
  ts::WriteFileBytes(t.File("in/sub/d.sigmf-data"), ci8);
  ts::WriteFileText(t.File("in/sub/d.sigmf-meta"),
                    format_files::MakeSigmfMeta("\"core:datatype\": \"ci8\""));
  ts::WriteFileText(t.File("in/notes.txt"), "not samples\n");

  const ts::RunResult run = ts::RunWavoraBinary({"-indir", "in", "-outdir", "out", "-recursive",
                                                 "-format", "auto", "-clock", "10", "-v", "3"},
                                                t.path(), "y");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ts::ListNames(t.File("out")),
            (std::vector<std::string>{"a.wv", "b.wv", "c.wv", "sub"}));
  EXPECT_EQ(ts::ListNames(t.File("out/sub")), std::vector<std::string>{"d.wv"});
  std::vector<float> wav;
  for (int u : units) wav.push_back(static_cast<float>((u * 100 - 0.5) / 32767.0));
  ExpectWords(t.File("out/a.wv"), wav);
  ExpectWords(t.File("out/b.wv"), values(128.0, 0.0));
  ExpectWords(t.File("out/c.wv"), values(128.0, 128 - 127.5));
  ExpectWords(t.File("out/sub/d.wv"), values(128.0, 0.0));
  for (const char* line :
       {"Format auto: reading 'a.wav' as wav.", "Format auto: reading 'b.npy' as npy.",
        "Format auto: reading 'c.cu8' as cu8.", "Format auto: reading 'd.sigmf-data' as sigmf.",
        "Skipping SigMF metadata file d.sigmf-meta (read with its data file)",
        "   i Skipping notes.txt: its format cannot be told from its first bytes or name."})
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;

  // In single-file mode a file auto cannot tell fails.
  const ts::RunResult single =
      ts::RunWavoraBinary({"in/notes.txt", "-format", "auto", "-clock", "1"}, t.path(), "y");
  EXPECT_EQ(single.exitCode, 1);
  EXPECT_NE(single.out.find("  Input format      | auto (not recognised)"), std::string::npos);
  EXPECT_NE(single.out.find("cannot be told from its first bytes or its name; give it with "
                            "-format."),
            std::string::npos)
      << single.out;
}

}  // namespace
