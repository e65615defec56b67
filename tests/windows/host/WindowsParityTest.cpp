// The Windows build writes the same files as the Linux build: the native
// wavora and the cross-built wavora.exe (run under Wine) convert the same
// inputs with the same settings, and every output file must be the same byte
// for byte, apart from the time of writing in the DATE tag.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

// wavora.exe under Wine in workDir, with the keys as its standard input. The
// Wine prefix is the caller's (WINEPREFIX); Wine's own diagnostics are off
// unless WINEDEBUG asks for them.
ts::RunResult RunWindowsBinary(const std::vector<std::string>& args, const std::string& workDir,
                               const std::string& keys) {
  std::string command = "WINEDEBUG=${WINEDEBUG:--all} " + ts::ShellQuote(WAVORA_WINE) + " " +
                        ts::ShellQuote(WAVORA_WINDOWS_EXE);
  for (const std::string& arg : args) command += " " + ts::ShellQuote(arg);
  return ts::RunShellCommand(command, workDir, keys);
}

// The bytes with the content of the DATE tag taken out; "" when the file has
// no DATE tag, which a written file always has.
std::string WithoutDate(const ts::Bytes& bytes) {
  std::string text(bytes.begin(), bytes.end());
  const std::string open = "{DATE:";
  const std::size_t start = text.find(open);
  if (start == std::string::npos) return "";
  const std::size_t end = text.find('}', start);
  if (end == std::string::npos) return "";
  return text.erase(start + open.size(), end - start - open.size());
}

using Files = std::vector<std::pair<std::string, ts::Bytes>>;

ts::Bytes AsBytes(const std::string& text) { return ts::Bytes(text.begin(), text.end()); }

struct ParityCase {
  std::string name;
  Files inputs;                          // relative paths with '/', folders made as needed
  std::vector<std::string> directories;  // folders to make, such as the output root
  std::vector<std::string> args;
  std::vector<std::string> outputs;  // relative paths with '/'
  std::string keys = "y\n";
};

void MakeTree(const std::string& root, const ParityCase& c) {
  for (const std::string& dir : c.directories) fs::create_directories(root + "/" + dir);
  for (const auto& [name, bytes] : c.inputs) {
    const fs::path path = fs::path(root) / name;
    fs::create_directories(path.parent_path());
    ts::WriteFileBytes(path.string(), bytes);
  }
}

// Runs both programs on their own copy of the inputs and compares every
// named output.
void ExpectSameOutputs(const ParityCase& c) {
  SCOPED_TRACE(c.name);
  ts::TempDir linuxSide;
  ts::TempDir windowsSide;
  MakeTree(linuxSide.path(), c);
  MakeTree(windowsSide.path(), c);

  const ts::RunResult linuxRun = ts::RunWavoraBinary(c.args, linuxSide.path(), c.keys);
  const ts::RunResult windowsRun = RunWindowsBinary(c.args, windowsSide.path(), c.keys);
  ASSERT_EQ(linuxRun.exitCode, 0) << linuxRun.out << linuxRun.err;
  ASSERT_EQ(windowsRun.exitCode, 0) << windowsRun.out << windowsRun.err;

  for (const std::string& output : c.outputs) {
    SCOPED_TRACE(output);
    const ts::Bytes linuxBytes = ts::ReadFileBytes(linuxSide.File(output));
    const ts::Bytes windowsBytes = ts::ReadFileBytes(windowsSide.File(output));
    ts::ParsedWaveform parsed;
    std::string error;
    ASSERT_TRUE(ts::ParseWaveform(linuxBytes, &parsed, &error)) << error;
    ASSERT_FALSE(parsed.words.empty());
    const std::string linuxText = WithoutDate(linuxBytes);
    const std::string windowsText = WithoutDate(windowsBytes);
    ASSERT_FALSE(linuxText.empty()) << "no DATE tag in the Linux output";
    ASSERT_FALSE(windowsText.empty()) << "no DATE tag in the Windows output";
    ASSERT_EQ(linuxText.size(), windowsText.size());
    std::size_t first = 0;
    while (first < linuxText.size() && linuxText[first] == windowsText[first]) ++first;
    EXPECT_EQ(first, linuxText.size()) << "first difference at byte " << first << " (DATE cut out)";
  }
  // Both runs leave the same files behind (no temporary file on either side).
  std::vector<std::string> linuxNames, windowsNames;
  for (const auto& entry : fs::recursive_directory_iterator(linuxSide.path()))
    linuxNames.push_back(fs::relative(entry.path(), linuxSide.path()).string());
  for (const auto& entry : fs::recursive_directory_iterator(windowsSide.path()))
    windowsNames.push_back(fs::relative(entry.path(), windowsSide.path()).string());
  std::sort(linuxNames.begin(), linuxNames.end());
  std::sort(windowsNames.begin(), windowsNames.end());
  EXPECT_EQ(linuxNames, windowsNames);
}

// ---- inputs ----

// 16-bit units: a tone in I, noise in Q.
std::vector<std::int16_t> Int16Pairs(std::size_t pairs, double amplitude, double cycles) {
  return ts::ToInt16Units(ts::Interleave(ts::MakeTone(pairs, amplitude, cycles, true),
                                         ts::MakeNoise(pairs, amplitude, 11)));
}

std::vector<std::int16_t> Int14Words(std::size_t count, unsigned seed) {
  std::vector<std::int16_t> words;
  for (std::size_t k = 0; k < count; ++k) {
    const unsigned v = 3000 + static_cast<unsigned>((k * 7919 + seed) % 10000);
    words.push_back(static_cast<std::int16_t>(v | ((k % 4) << 14)));
  }
  return words;
}

TEST(WindowsParity, RawBinaryFormats) {
  const std::vector<ParityCase> cases = {
      {"i16le with texts",
       {{"tone.bin", ts::EncodeInt16(Int16Pairs(3000, 0.5, 17.0), false)}},
       {},
       {"tone.bin", "-format", "i16le", "-clock", "100", "-comment",
        "parity: a comment, with spaces", "-copyright", "(c) Our Lab"},
       {"_tone.wv"}},
      {"i16be scaled up",
       {{"weak.bin", ts::EncodeInt16(Int16Pairs(2500, 0.2, 3.0), true)}},
       {},
       {"weak.bin", "-format", "i16be", "-clock", "33.333333", "-autoscale"},
       {"_weak.wv"}},
      {"f32le over range",
       {{"loud.f32", ts::EncodeFloat32(ts::MakeIqTone(2000, 1.7, 9.0), false)}},
       {},
       {"loud.f32", "-format", "f32le", "-clock", "0.0015"},
       {"_loud.wv"}},
      {"f32be at the top clock",
       {{"sig.be.f32", ts::EncodeFloat32(ts::MakeIqTone(1500, 0.7, 2.5), true)}},
       {},
       {"sig.be.f32", "-format", "f32be", "-clock", "600"},
       {"_sig.wv"}},
      {"i14le2 pair",
       {{"x_I.bin", ts::EncodeInt16(Int14Words(1800, 1), false)},
        {"x_Q.bin", ts::EncodeInt16(Int14Words(1800, 5), false)}},
       {},
       {"x_I.bin", "-format", "i14le2", "-clock", "250"},
       {"_x_I.wv"}},
      {"i14be2 pair scaled up",
       {{"y_i.dat", ts::EncodeInt16(Int14Words(1200, 2), true)},
        {"y_q.dat", ts::EncodeInt16(Int14Words(1200, 3), true)}},
       {},
       {"y_i.dat", "-format", "i14be2", "-clock", "1", "-autoscale"},
       {"_y_i.wv"}},
  };
  for (const ParityCase& c : cases) ExpectSameOutputs(c);
}

TEST(WindowsParity, AsciiFormats) {
  std::string txt = "# two columns, CR LF line ends, header tags\r\n";
  txt += "!COMMENT= measured on the bench\r\n!COPYRIGHT= Our Lab\r\n!CLOCKRATE=12.5e6\r\n";
  const std::vector<float> values = ts::MakeIqTone(700, 0.8, 4.0);
  char line[96];
  for (std::size_t k = 0; k + 1 < values.size(); k += 2) {
    std::snprintf(line, sizeof line, "%.7g%s%.6e\r\n", values[k], k % 4 ? "\t" : " , ",
                  values[k + 1]);
    txt += line;
  }
  std::string hex;
  for (int k = 0; k < 900; ++k) {
    std::snprintf(line, sizeof line, "%04X %s%04X\n", (k * 7919) & 0xFFFF, k % 3 ? "" : "0x",
                  (k * 104729) & 0x7FFF);
    hex += line;
  }
  std::string i14, q14, i16, q16;
  for (int k = 0; k < 800; ++k) {
    i14 += std::to_string(4096 + (k * 37) % 8192) + (k % 5 == 4 ? "\n" : " ");
    q14 += std::to_string(4096 + (k * 91) % 8192) + "\n";
    i16 += std::to_string(16384 + (k * 37) % 32768) + (k % 3 == 2 ? "\r\n" : ", ");
    q16 += std::to_string(16384 + (k * 53) % 32768) + "\n";
  }
  const std::vector<ParityCase> cases = {
      {"txt with tags",
       {{"bench.txt", AsBytes(txt)}},
       {},
       {"bench.txt", "-format", "txt", "-clock", "10"},
       {"_bench.wv"}},
      {"txthex",
       {{"words.hex", AsBytes(hex)}},
       {},
       {"words.hex", "-format", "txthex", "-clock", "20", "-autoscale"},
       {"_words.wv"}},
      {"txt2ui14",
       {{"p_I.txt", AsBytes(i14)}, {"p_Q.txt", AsBytes(q14)}},
       {},
       {"p_I.txt", "-format", "txt2ui14", "-clock", "30"},
       {"_p_I.wv"}},
      {"txt2ui16",
       {{"r_i.txt", AsBytes(i16)}, {"r_q.txt", AsBytes(q16)}},
       {},
       {"r_i.txt", "-format", "txt2ui16", "-clock", "40", "-comment", "two files"},
       {"_r_i.wv"}},
  };
  for (const ParityCase& c : cases) ExpectSameOutputs(c);
}

// A file of the older generator family with marker lists, read with a gain.
TEST(WindowsParity, WaveformFileWithGainAndMarkers) {
  const int pairs = 1000;
  const std::vector<std::int16_t> words = Int16Pairs(pairs, 0.3, 6.0);
  const std::string file = ts::WaveFileBuilder()
                               .Tag("TYPE", " KVG-WV,0")
                               .Tag("COMMENT", "older file")
                               .Tag("COPYRIGHT", "Our Lab")
                               .Tag("CLOCK", "2.5e7")
                               .Tag("LEVEL OFFS", "3.5,0.5")
                               .Tag("SAMPLES", std::to_string(pairs))
                               .Tag("CONTROL LENGTH", std::to_string(pairs))
                               .Tag("MARKER LIST 1", " 0:1;10:0;400:1")
                               .Tag("MARKER LIST 2", " 0:0;250:1;251:0")
                               .Tag("MARKER LIST 4", " 0:1")
                               .Data(std::vector<std::uint16_t>(words.begin(), words.end()))
                               .bytes();
  ExpectSameOutputs({"kxzetq with gain",
                     {{"old.wv", AsBytes(file)}},
                     {},
                     {"old.wv", "-format", "kxzetq", "-gain", "3.5"},
                     {"_old.wv"}});
}

TEST(WindowsParity, DirectoryTree) {
  const ts::Bytes a = ts::EncodeInt16(Int16Pairs(800, 0.4, 2.0), false);
  const ts::Bytes b = ts::EncodeInt16(Int16Pairs(1300, 0.9, 5.0), false);
  ExpectSameOutputs({"recursive walk",
                     {{"in/a.bin", a},
                      {"in/sub/b.bin", b},
                      {"in/sub/deep/c.bin", a},
                      {"in/skip.txt", AsBytes("not taken")}},
                     {"out"},
                     {"-indir", "in", "-outdir", "out", "-recursive", "-ext", "bin", "-format",
                      "i16le", "-clock", "80", "-comment", "tree"},
                     {"out/a.wv", "out/sub/b.wv", "out/sub/deep/c.wv"},
                     "y"});
}

}  // namespace
