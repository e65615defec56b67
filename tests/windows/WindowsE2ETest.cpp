// wavora.exe run as a user runs it on Windows: every binary input format in
// single-file mode, directory mode over a mirrored tree, the Windows path
// rules of the command line, backslash-separated paths in the log, the system
// and temporary attribute bits, and the start questions answered from a
// standard input that is no console.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"
#include "windows/support/WindowsSupport.h"

namespace {

namespace ts = testing_support;

constexpr int kPairs = 500;
const std::string kStartQuestion = "Do you want to start processing (y/n) ... [y]\b\b";
const std::string kEqualQuestion = "In- and Out-paths are equal! Is this OK? (y/n) ... [n]\b\b";

std::string In(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// wavora.exe in workDir with the keys as its piped standard input; the log is
// compared with LF line ends.
ts::RunResult RunWavora(const std::vector<std::string>& args, const std::string& workDir,
                        const std::string& keys) {
  ts::RunResult run = ts::RunProgramRaw(ts::WavoraExePath(), args, workDir, keys);
  run.out = ts::ToLfLineEnds(run.out);
  run.err = ts::ToLfLineEnds(run.err);
  return run;
}

// Row of the settings table.
std::string Row(const std::string& name, const std::string& value) {
  std::string row = "  " + name;
  row.resize(20, ' ');
  return row + "| " + value + "                       \n";
}

// ---- inputs and the words they must give ----

// One input of a binary format: the files to write and the full-scale value
// of every unit, I and Q interleaved, computed from the unit as the format
// defines it.
struct BinaryInput {
  std::string format;
  std::vector<std::pair<std::string, ts::Bytes>>
      files;  // the first file is named on the command line
  std::vector<double> values;
};

// Units whose bytes include CR, LF and Ctrl-Z: a stream opened in text mode
// anywhere on the way would change or cut them.
const std::uint16_t kTextModeTraps[] = {0x0A0D, 0x1A0A, 0x0D1A, 0x0A1A};

std::vector<std::int16_t> Int16Units() {
  const std::vector<float> i = ts::MakeTone(kPairs, 0.6, 7.0, true);
  const std::vector<float> q = ts::MakeTone(kPairs, 0.6, 7.0, false);
  std::vector<std::int16_t> units;
  for (int k = 0; k < kPairs; ++k) {
    units.push_back(static_cast<std::int16_t>(std::lround(i[k] * 32767.0)));
    units.push_back(static_cast<std::int16_t>(std::lround(q[k] * 32767.0)));
  }
  for (std::size_t k = 0; k < std::size(kTextModeTraps); ++k)
    units[k] = static_cast<std::int16_t>(kTextModeTraps[k]);
  return units;
}

BinaryInput Int16Input(const std::string& format, bool bigEndian) {
  BinaryInput input;
  input.format = format;
  const std::vector<std::int16_t> units = Int16Units();
  input.files.push_back({"tone.bin", ts::EncodeInt16(units, bigEndian)});
  for (std::int16_t s : units) input.values.push_back((s - 0.5) / 32767.0);
  return input;
}

BinaryInput Float32Input(const std::string& format, bool bigEndian) {
  BinaryInput input;
  input.format = format;
  const std::vector<float> i = ts::MakeTone(kPairs, 0.6, 5.0, true);
  const std::vector<float> q = ts::MakeTone(kPairs, 0.6, 5.0, false);
  std::vector<float> units;
  for (int k = 0; k < kPairs; ++k) {
    units.push_back(i[k]);
    units.push_back(q[k]);
  }
  // Small values whose bit patterns hold CR, LF and Ctrl-Z bytes.
  const std::uint32_t patterns[] = {0x3F0A1A0D, 0xBE0D0A1A, 0x3E1A0A0D, 0xBF0A0D1A};
  for (std::size_t k = 0; k < std::size(patterns); ++k) std::memcpy(&units[k], &patterns[k], 4);
  input.files.push_back({"float.dat", ts::EncodeFloat32(units, bigEndian)});
  for (float value : units) input.values.push_back(value);
  return input;
}

// Two files: all I words in sig_I.bin, all Q words in sig_Q.bin; the top two
// bits of a word are not part of the value.
BinaryInput Int14Input(const std::string& format, bool bigEndian) {
  BinaryInput input;
  input.format = format;
  const std::vector<float> i = ts::MakeTone(kPairs, 0.6, 3.0, true);
  const std::vector<float> q = ts::MakeTone(kPairs, 0.6, 3.0, false);
  std::vector<std::int16_t> iWords, qWords;
  for (int k = 0; k < kPairs; ++k) {
    const auto toWord = [k](double value) {
      const auto v = static_cast<std::uint16_t>(std::lround((value / 2.0 + 0.5) * 16383.0));
      return static_cast<std::int16_t>(v | ((k % 3) << 14));
    };
    iWords.push_back(toWord(i[k]));
    qWords.push_back(toWord(q[k]));
  }
  iWords[0] = static_cast<std::int16_t>(kTextModeTraps[0]);
  qWords[0] = static_cast<std::int16_t>(kTextModeTraps[1]);
  iWords[1] = static_cast<std::int16_t>(kTextModeTraps[2]);
  qWords[1] = static_cast<std::int16_t>(kTextModeTraps[3]);
  input.files.push_back({"sig_I.bin", ts::EncodeInt16(iWords, bigEndian)});
  input.files.push_back({"sig_Q.bin", ts::EncodeInt16(qWords, bigEndian)});
  for (int k = 0; k < kPairs; ++k) {
    for (std::int16_t word : {iWords[k], qWords[k]}) {
      const unsigned v = static_cast<std::uint16_t>(word) & 0x3FFFu;
      input.values.push_back(2.0 * ((v - 0.5) / 16383.0 - 0.5));
    }
  }
  return input;
}

std::vector<BinaryInput> EveryBinaryInput() {
  return {Float32Input("f32be", true), Float32Input("f32le", false), Int16Input("i16be", true),
          Int16Input("i16le", false),  Int14Input("i14be2", true),   Int14Input("i14le2", false)};
}

// The output words of the values: each is stored as a 32-bit float first.
std::vector<std::int16_t> WordsFor(const std::vector<double>& values) {
  std::vector<std::int16_t> words;
  for (double value : values) words.push_back(ts::ExpectedWord(static_cast<float>(value)));
  return words;
}

void ExpectWaveform(const std::string& path, const std::vector<double>& values) {
  SCOPED_TRACE(path);
  ASSERT_TRUE(ts::FileExistsForTest(path));
  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(path), &parsed, &error)) << error;
  ASSERT_NE(parsed.Find("SAMPLES"), nullptr);
  EXPECT_EQ(*parsed.Find("SAMPLES"), std::to_string(values.size() / 2));
  EXPECT_EQ(parsed.words, WordsFor(values));
  EXPECT_EQ(parsed.trailingBytes, 0u);
}

void WriteInputs(const std::string& dir, const BinaryInput& input, const std::string& prefix = "") {
  for (const auto& [name, bytes] : input.files) ts::WriteFileBytes(In(dir, prefix + name), bytes);
}

// ---- single-file mode ----

TEST(WindowsE2E, SingleFileModeConvertsEveryBinaryFormat) {
  for (const BinaryInput& input : EveryBinaryInput()) {
    SCOPED_TRACE(input.format);
    ts::TempDir work;
    WriteInputs(work.path(), input);
    const std::string inputName = input.files.front().first;
    const std::string stem = inputName.substr(0, inputName.find('.'));
    const ts::RunResult run = RunWavora(
        {inputName, "-format", input.format, "-clock", "100", "-v", "3"}, work.path(), "y\n");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, Row("Input directory", work.path()))) << run.out;
    // The output is named in the log with the working directory and a backslash.
    EXPECT_TRUE(
        Contains(run.out, "Creating wave file " + In(work.path(), "_" + stem + ".wv") + "..."))
        << run.out;
    ExpectWaveform(In(work.path(), "_" + stem + ".wv"), input.values);

    std::vector<std::string> expectedNames = {"_" + stem + ".wv"};
    for (const auto& file : input.files) expectedNames.push_back(file.first);
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(ts::ListNames(work.path()), expectedNames) << "temporary files left behind";
  }
}

// ---- directory mode ----

TEST(WindowsE2E, DirectoryModeMirrorsTheTreeWithBackslashPaths) {
  ts::TempDir work;
  const std::string& w = work.path();
  const BinaryInput input = Int16Input("i16le", false);
  ASSERT_TRUE(CreateDirectoryA(In(w, "in").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "in\\a").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "in\\a\\b").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "in\\empty").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "out").c_str(), nullptr));
  const ts::Bytes& bytes = input.files.front().second;
  for (const char* name : {"in\\top.bin", "in\\a\\mid.bin", "in\\a\\b\\deep.bin"})
    ts::WriteFileBytes(In(w, name), bytes);

  const ts::RunResult run = RunWavora({"-indir", "in", "-outdir", "out", "-recursive", "-format",
                                       "i16le", "-clock", "50", "-v", "3"},
                                      w, "y");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Contains(run.out, Row("Input directory", In(w, "in")))) << run.out;
  EXPECT_TRUE(Contains(run.out, Row("Output directory", In(w, "out")))) << run.out;
  for (const char* sub : {"in\\a", "in\\a\\b", "in\\empty"})
    EXPECT_EQ(Count(run.out, "Descending into '" + In(w, sub) + "'\n"), 1) << sub << "\n"
                                                                           << run.out;
  for (const char* output : {"out\\top.wv", "out\\a\\mid.wv", "out\\a\\b\\deep.wv"}) {
    EXPECT_EQ(Count(run.out, "Creating wave file " + In(w, output) + "...\n"), 1) << output;
    ExpectWaveform(In(w, output), input.values);
  }
  EXPECT_EQ(ts::ListNames(In(w, "out")), (std::vector<std::string>{"a", "empty", "top.wv"}));
  EXPECT_EQ(ts::ListNames(In(w, "out\\a")), (std::vector<std::string>{"b", "mid.wv"}));
  EXPECT_TRUE(ts::ListNames(In(w, "out\\empty")).empty());
}

// The output root inside the input tree, named with other letter cases and
// with "." and ".." on the way: on Windows these all name the same
// directory, which the walk must not take as input.
TEST(WindowsE2E, OutputRootInsideTheInputTreeIsNotWalkedInAnySpelling) {
  for (const char* outdir : {"in\\out", "IN\\Out", "in\\.\\out\\", "in\\sub\\..\\OUT"}) {
    SCOPED_TRACE(outdir);
    ts::TempDir work;
    const std::string& w = work.path();
    ASSERT_TRUE(CreateDirectoryA(In(w, "in").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(In(w, "in\\sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(In(w, "in\\out").c_str(), nullptr));
    ts::WriteFileBytes(In(w, "in\\sub\\a.bin"), Int16Input("i16le", false).files.front().second);

    const ts::RunResult run = RunWavora(
        {"-indir", "in", "-outdir", outdir, "-recursive", "-format", "i16le", "-clock", "50"}, w,
        "y");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    ASSERT_EQ(ts::ListNames(In(w, "in\\out")), (std::vector<std::string>{"sub"}));
    EXPECT_EQ(ts::ListNames(In(w, "in\\out\\sub")), (std::vector<std::string>{"a.wv"}));
  }
}

// Directory mode keeps counts and fails when any file failed; two inputs
// with one output name never replace each other's output; a missing input
// directory is an error naming it.
TEST(WindowsE2E, DirectoryModeCountsFailuresAndRefusesOutputCollisions) {
  ts::TempDir work;
  const std::string& w = work.path();
  ASSERT_TRUE(CreateDirectoryA(In(w, "in").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "out").c_str(), nullptr));
  const ts::Bytes bytes = Int16Input("i16le", false).files.front().second;
  ts::WriteFileBytes(In(w, "in\\burst.1.cf32"), bytes);
  ts::WriteFileBytes(In(w, "in\\burst.2.cf32"), bytes);
  ts::WriteFileBytes(In(w, "in\\.hidden.bin"), bytes);

  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "-overwrite" : "no -overwrite");
    std::vector<std::string> args = {"-indir",  "in",    "-outdir", "out",
                                     "-format", "i16le", "-clock",  "50"};
    if (overwrite) args.push_back("-overwrite");
    const ts::RunResult run = RunWavora(args, w, "yn");
    // The first run writes burst.wv; the second replaces it from burst.1
    // with -overwrite. burst.2 never replaces it.
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_TRUE(Contains(run.out, "*** Error: " + In(w, "in\\burst.2.cf32") +
                                      " is not converted: its output " + In(w, "out\\burst.wv") +
                                      " was written from " + In(w, "in\\burst.1.cf32") +
                                      " in this run.\n"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "   1 converted, 1 failed, 1 skipped\n")) << run.out;
    EXPECT_FALSE(Contains(run.out, "File conversion finished successfully.")) << run.out;
    EXPECT_TRUE(Contains(run.out, "*** Error processing directory.")) << run.out;
    EXPECT_EQ(ts::ListNames(In(w, "out")), std::vector<std::string>{"burst.wv"});
  }

  const ts::RunResult missing = RunWavora(
      {"-indir", "nothere", "-outdir", "out", "-format", "i16le", "-clock", "50"}, w, "y");
  EXPECT_EQ(missing.exitCode, 1) << missing.out;
  EXPECT_TRUE(Contains(missing.out, "*** Error: Input directory " + In(w, "nothere") +
                                        " does not exist or is not a directory.\n"))
      << missing.out;
}

// ---- command-line path rules ----

TEST(WindowsE2E, DirectoryValuesFollowTheWindowsPathRules) {
  ts::TempDir work;
  const std::string& w = work.path();
  struct Case {
    std::string value;
    std::string resolved;
  };
  const Case cases[] = {
      {"data", In(w, "data")},  // relative: joined to the working directory
      {"D:x", "D:x"},           // drive-relative: unchanged
      {"\\x", "\\x"},           // root of the current drive: unchanged
      {"C:\\work", "C:\\work"},
      {"/x", w + "\\/x"},  // a forward slash does not make a path absolute
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const ts::RunResult run = RunWavora(
        {"-indir", c.value, "-outdir", c.value, "-format", "i16le", "-clock", "1"}, w, "n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.out, Row("Input directory", c.resolved))) << run.out;
    EXPECT_TRUE(Contains(run.out, Row("Output directory", c.resolved))) << run.out;
  }

  // The joined path is the one the walk reads and writes.
  ASSERT_TRUE(CreateDirectoryA(In(w, "data").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "result").c_str(), nullptr));
  const BinaryInput input = Int16Input("i16be", true);
  ts::WriteFileBytes(In(w, "data\\x.bin"), input.files.front().second);
  const ts::RunResult run =
      RunWavora({"-indir", "data", "-outdir", "result", "-format", "i16be", "-clock", "1"}, w, "y");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  ExpectWaveform(In(w, "result\\x.wv"), input.values);
}

// ---- attribute bits ----

TEST(WindowsE2E, SystemFilesAreSkippedHiddenAndReadOnlyFilesConverted) {
  ts::TempDir work;
  const std::string& w = work.path();
  ASSERT_TRUE(CreateDirectoryA(In(w, "in").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "out").c_str(), nullptr));
  const BinaryInput input = Int16Input("i16le", false);
  const struct {
    const char* name;
    DWORD attributes;
  } files[] = {{"plain.bin", FILE_ATTRIBUTE_NORMAL},
               {"system.bin", FILE_ATTRIBUTE_SYSTEM},
               {"hidden.bin", FILE_ATTRIBUTE_HIDDEN},
               {"readonly.bin", FILE_ATTRIBUTE_READONLY}};
  for (const auto& file : files) {
    const std::string path = In(w, std::string("in\\") + file.name);
    ts::WriteFileBytes(path, input.files.front().second);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), file.attributes)) << path;
  }

  const ts::RunResult run = RunWavora(
      {"-indir", "in", "-outdir", "out", "-format", "i16le", "-clock", "10", "-v", "3"}, w, "y");
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(Count(run.out, " i Ignoring system file.\n"), 1) << run.out;
  EXPECT_EQ(Count(run.out, "Ignoring temporary file."), 0);
  EXPECT_EQ(ts::ListNames(In(w, "out")),
            (std::vector<std::string>{"hidden.wv", "plain.wv", "readonly.wv"}));
  ExpectWaveform(In(w, "out\\readonly.wv"), input.values);

  for (const auto& file : files)
    SetFileAttributesA(In(w, std::string("in\\") + file.name).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WindowsE2E, TemporaryFilesAreSkipped) {
  ts::TempDir work;
  const std::string& w = work.path();
  ASSERT_TRUE(CreateDirectoryA(In(w, "in").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "out").c_str(), nullptr));
  const BinaryInput input = Int16Input("i16le", false);
  ts::WriteFileBytes(In(w, "in\\keep.bin"), input.files.front().second);
  const std::string temporary = In(w, "in\\scratch.bin");
  ts::WriteFileBytes(temporary, input.files.front().second);
  ASSERT_TRUE(SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_TEMPORARY));
  if ((GetFileAttributesA(temporary.c_str()) & FILE_ATTRIBUTE_TEMPORARY) == 0) {
    GTEST_SKIP() << "this file system does not keep the temporary attribute "
                    "(Wine keeps only the hidden and system bits)";
  }

  const ts::RunResult run = RunWavora(
      {"-indir", "in", "-outdir", "out", "-format", "i16le", "-clock", "10", "-v", "3"}, w, "y");
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(Count(run.out, " i Ignoring temporary file.\n"), 1) << run.out;
  EXPECT_EQ(ts::ListNames(In(w, "out")), (std::vector<std::string>{"keep.wv"}));
}

// ---- questions answered from a pipe or a file ----

TEST(WindowsE2E, KeyOfCodeZeroAndEnterTakeTheDefaultOthersAreIgnored) {
  const BinaryInput input = Int16Input("i16le", false);
  const std::vector<std::string> args = {"tone.bin", "-format", "i16le", "-clock", "10"};
  struct Case {
    std::string keys;
    bool converts;
  };
  const Case cases[] = {
      {std::string(1, '\0'), true},  // code 0: the default, yes
      {"\r", true},
      {"YNqn", false},                  // upper case and other keys are ignored until "n"
      {std::string("\x1ay", 2), true},  // Ctrl-Z is an ordinary (ignored) key, not the end of input
      {std::string("\x1an", 2), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.keys));
    ts::TempDir work;
    WriteInputs(work.path(), input);
    const ts::RunResult run = RunWavora(args, work.path(), c.keys);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(Count(run.out, kStartQuestion), 1);
    EXPECT_EQ(ts::FileExistsForTest(In(work.path(), "_tone.wv")), c.converts) << run.out;
  }
}

// CR and LF arrive as two keys, as on every platform: the CR answers the
// start question, the LF the equal-paths question, whose default ends the
// run. A text-mode read would fold them into one key and take the "y".
TEST(WindowsE2E, CarriageReturnAndLineFeedAreTwoKeys) {
  ts::TempDir work;
  const std::string& w = work.path();
  ASSERT_TRUE(CreateDirectoryA(In(w, "both").c_str(), nullptr));
  ts::WriteFileBytes(In(w, "both\\a.bin"), Int16Input("i16le", false).files.front().second);
  const ts::RunResult run = RunWavora(
      {"-indir", "both", "-outdir", "both", "-format", "i16le", "-clock", "10"}, w, "\r\ny");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Count(run.out, kEqualQuestion), 1) << run.out;
  EXPECT_EQ(ts::ListNames(In(w, "both")), (std::vector<std::string>{"a.bin"}));

  // With "y" for the second question the walk runs.
  const ts::RunResult yes = RunWavora(
      {"-indir", "both", "-outdir", "both", "-format", "i16le", "-clock", "10"}, w, "\ry");
  EXPECT_EQ(yes.exitCode, 0) << yes.out;
  EXPECT_EQ(ts::ListNames(In(w, "both")), (std::vector<std::string>{"a.bin", "a.wv"}));
}

// The NUL device is a character device but no console: the questions read
// its end of input and take their defaults instead of waiting for a key.
TEST(WindowsE2E, NulDeviceAsInputTakesEveryDefault) {
  ts::TempDir work;
  const BinaryInput input = Int16Input("i16le", false);
  WriteInputs(work.path(), input);
  const ts::RunResult run = ts::RunProgramWithInput(
      ts::WavoraExePath(), {"tone.bin", "-format", "i16le", "-clock", "10"}, work.path(), "NUL");
  ASSERT_NE(run.exitCode, ts::kRunTimedOut) << "the program waited for a key";
  EXPECT_EQ(run.exitCode, 0) << run.out;
  ExpectWaveform(In(work.path(), "_tone.wv"), input.values);
}

}  // namespace
