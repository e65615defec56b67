// Destinations of the built program that must not be written: the run's own
// input by another name or link, devices, the temporary files, links at
// hidden names; and outputs whose reader goes away: a pipe closed by its
// reader, and a full device as standard output.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Names = std::vector<std::string>;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A converted tone "_tone.wv" beside its raw input "tone.bin".
void MakeConvertedTone(const ts::TempDir& dir) {
  std::vector<std::int16_t> words;
  for (int k = 0; k < 2000; ++k)
    words.push_back(static_cast<std::int16_t>((k * 37) % 20000 - 10000));
  ts::WriteFileBytes(dir.File("tone.bin"), ts::EncodeInt16(words, false));
  const ts::RunResult run =
      ts::RunWavoraBinary({"tone.bin", "-format", "i16le", "-clock", "100", "-batch"}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
}

// Export and preview never replace their input, whatever names it, nor write
// to a device, through a planted link, or a half of a SigMF pair alone.
TEST(OutputSafetyE2E, ExportAndPreviewRefuseTheirInputAndDevices) {
  ts::TempDir dir;
  MakeConvertedTone(dir);
  const ts::Bytes input = ts::ReadFileBytes(dir.File("_tone.wv"));
  fs::create_hard_link(dir.File("_tone.wv"), dir.File("hard.cs16"));
  fs::create_symlink(dir.File("_tone.wv"), dir.File("link.svg"));
  const std::vector<std::pair<Names, std::string>> refused = {
      {{"_tone.wv", "-export", "cs16", "-out", "./_tone.wv", "-overwrite"},
       "is an input of this run"},
      {{"_tone.wv", "-export", "cs16", "-out", "hard.cs16", "-overwrite"},
       "is an input of this run"},
      {{"_tone.wv", "-preview", "link.svg", "-overwrite"}, "is an input of this run"},
      {{"_tone.wv", "-preview",
        dir.path() + "/../" + fs::path(dir.path()).filename().string() + "/_tone.wv", "-overwrite"},
       "is an input of this run"},
      {{"_tone.wv", "-export", "cs16", "-out", "/dev/null", "-overwrite"}, "is a device"},
  };
  for (const auto& [args, line] : refused) {
    const ts::RunResult run = ts::RunWavoraBinary(args, dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_TRUE(Contains(run.out, line)) << run.out;
  }
  EXPECT_EQ(ts::ReadFileBytes(dir.File("_tone.wv")), input);
  struct stat info {};
  ASSERT_EQ(stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));

  // A SigMF pair whose meta name is taken by a directory: neither file.
  fs::create_directory(dir.File("rec.sigmf-meta"));
  const ts::RunResult pair = ts::RunWavoraBinary(
      {"_tone.wv", "-export", "sigmf", "-out", "rec", "-overwrite"}, dir.path());
  EXPECT_EQ(pair.exitCode, 1) << pair.out;
  EXPECT_TRUE(Contains(pair.out, "rec.sigmf-meta' is a directory")) << pair.out;
  EXPECT_FALSE(ts::FileExistsForTest(dir.File("rec.sigmf-data")));

  // A link at the hidden name of earlier versions is not written through.
  ts::WriteFileText(dir.File("victim"), "precious");
  fs::create_symlink(dir.File("victim"), dir.File(".new.cs16.part"));
  const ts::RunResult run =
      ts::RunWavoraBinary({"_tone.wv", "-export", "cs16", "-out", "new.cs16"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ts::ReadFileText(dir.File("victim")), "precious");
  EXPECT_EQ(ts::ReadFileBytes(dir.File("new.cs16")).size(), 2u * 2000u);
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{".new.cs16.part", "_tone.wv", "hard.cs16", "link.svg",
                                              "new.cs16", "rec.sigmf-meta", "tone.bin", "victim"}));
}

// The conversion refuses its own input and its temporary files as -out
// before it reads anything, and leaves the input as it was.
TEST(OutputSafetyE2E, ConversionRefusesItsInputAndTemporaryFiles) {
  ts::TempDir dir;
  MakeConvertedTone(dir);
  const ts::Bytes raw = ts::ReadFileBytes(dir.File("tone.bin"));
  const std::vector<std::pair<std::string, std::string>> outs = {
      {"./tone.bin", "is an input of this run"},
      {"_temp_.dat", "is a temporary file of the conversion"},
      {"_mkr_.dat", "is a temporary file of the conversion"},
  };
  for (const auto& [out, line] : outs) {
    const ts::RunResult run = ts::RunWavoraBinary(
        {"tone.bin", "-format", "i16le", "-clock", "100", "-out", out, "-overwrite", "-batch"},
        dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_TRUE(Contains(run.out, line)) << run.out;
    EXPECT_FALSE(Contains(run.out, "Importing from file")) << run.out;
  }
  EXPECT_EQ(ts::ReadFileBytes(dir.File("tone.bin")), raw);
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"_tone.wv", "tone.bin"}));
}

// The reader of standard output goes away while the conversion runs: the
// broken pipe ends the run like an interrupt, with its files removed.
TEST(OutputSafetyE2E, BrokenPipeRemovesTheTemporaryFiles) {
  ts::TempDir dir;
  std::vector<std::int16_t> words(2u * 4u * 1024u * 1024u);
  for (std::size_t n = 0; n < words.size(); ++n)
    words[n] = static_cast<std::int16_t>((n * 7919) % 20001) - 10000;
  ts::WriteFileBytes(dir.File("big.bin"), ts::EncodeInt16(words, false));
  const std::string command = "{ { " + ts::ShellQuote(WAVORA_EXE) +
                              " big.bin -format i16le -clock 100 -batch -v 3 2>wavora.err; echo "
                              "$? >rc; } | head -c 10; }";
  const ts::RunResult run = ts::RunShellCommand(command, dir.path(), "");
  EXPECT_EQ(run.out.size(), 10u);
  EXPECT_EQ(ts::ReadFileText(dir.File("rc")), "141\n");
  EXPECT_TRUE(Contains(ts::ReadFileText(dir.File("wavora.err")), "*** Interrupted."));
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"big.bin", "rc", "wavora.err"}));
}

// A report that cannot be written is a failure, said on standard error.
TEST(OutputSafetyE2E, InfoToAFullDeviceFails) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  ts::TempDir dir;
  MakeConvertedTone(dir);
  for (const std::string mode : {"-json", ""}) {
    const std::string command =
        "{ " + ts::ShellQuote(WAVORA_EXE) + " -info " + mode + " _tone.wv >/dev/full; }";
    const ts::RunResult run = ts::RunShellCommand(command, dir.path(), "");
    EXPECT_EQ(run.exitCode, 1) << mode << run.err;
    EXPECT_TRUE(Contains(run.err, "*** Error writing the report to standard output.")) << run.err;
    EXPECT_TRUE(Contains(run.err, "standard output: No space left on device")) << run.err;
  }
  const ts::RunResult fine = ts::RunWavoraBinary({"-info", "-json", "_tone.wv"}, dir.path());
  EXPECT_EQ(fine.exitCode, 0) << fine.err;
}

}  // namespace
