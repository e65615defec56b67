// wavora.exe run as a user runs it on Windows: every binary input format in
// single-file mode (the table of support/BinaryFormats.h), directory mode
// over a mirrored tree, the Windows path rules of the command line,
// backslash-separated paths in the log, the system and temporary attribute
// bits, and the start questions answered from a standard input that is no
// console.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/BinaryFormats.h"
#include "support/TestSupport.h"
#include "windows/support/WindowsSupport.h"

namespace {

namespace ts = testing_support;
using ts::BinaryInput;
using ts::Contains;
using ts::Count;
using ts::ExpectWaveform;
using ts::Int16Input;

const std::string kStartQuestion = "Do you want to start processing (y/n) ... [y]\b\b";
const std::string kEqualQuestion = "In- and Out-paths are equal! Is this OK? (y/n) ... [n]\b\b";

std::string In(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

// wavora.exe in workDir with the keys as its piped standard input; the log is
// compared with LF line ends.
ts::RunResult RunWavora(const std::vector<std::string>& args, const std::string& workDir,
                        const std::string& keys) {
  ts::RunResult run = ts::RunProgramRaw(ts::WavoraExePath(), args, workDir, keys);
  run.out = ts::ToLfLineEnds(run.out);
  run.err = ts::ToLfLineEnds(run.err);
  return run;
}

// ---- single-file mode ----

// The table of support/BinaryFormats.h, with backslash paths in the log.
TEST(WindowsE2E, SingleFileModeConvertsEveryBinaryFormat) {
  ts::ExpectEveryBinaryFormatConverts(RunWavora, '\\');
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
  EXPECT_TRUE(Contains(run.out, ts::SettingsRow("Input directory", In(w, "in")))) << run.out;
  EXPECT_TRUE(Contains(run.out, ts::SettingsRow("Output directory", In(w, "out")))) << run.out;
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
    EXPECT_TRUE(Contains(run.out, ts::SettingsRow("Input directory", c.resolved))) << run.out;
    EXPECT_TRUE(Contains(run.out, ts::SettingsRow("Output directory", c.resolved))) << run.out;
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
      {"qNy", false},                   // other keys are ignored; "N" answers as "n"
      {std::string("\x1ay", 2), true},  // Ctrl-Z is an ordinary (ignored) key, not the end of input
      {std::string("\x1an", 2), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.keys));
    ts::TempDir work;
    ts::WriteInputs(work.path(), input, '\\');
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
  ts::WriteInputs(work.path(), input, '\\');
  const ts::RunResult run = ts::RunProgramWithInput(
      ts::WavoraExePath(), {"tone.bin", "-format", "i16le", "-clock", "10"}, work.path(), "NUL");
  ASSERT_NE(run.exitCode, ts::kRunTimedOut) << "the program waited for a key";
  EXPECT_EQ(run.exitCode, 0) << run.out;
  ExpectWaveform(In(work.path(), "_tone.wv"), input.values);
}

}  // namespace
