// Inputs that are no regular file, or that the conversion itself owns, are
// refused at once with a line naming them: nothing waits on a pipe or a
// device, nothing is deleted, nothing is written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

const char kSigmfMeta[] =
    "{\"global\": {\"core:datatype\": \"cu8\", \"core:version\": \"1.0.0\", "
    "\"core:sample_rate\": 1e6%s}, \"captures\": [], \"annotations\": []}";

std::string Meta(const std::string& extra) {
  char text[512];
  std::snprintf(text, sizeof text, kSigmfMeta, extra.c_str());
  return text;
}

TEST(InputSafetyE2E, PipesDevicesAndDirectoriesAreRefusedByName) {
  ts::TempDir t;
  ts::WriteFileBytes(t.File("rec.cu8"), ts::Bytes(4000, 0x80));
  // Standard input of a pipe would lose what the format check read; it is a
  // FIFO and refused as such.
  // (The group keeps the runner's redirection off the pipe's reading end.)
  ts::RunResult r =
      ts::RunShellCommand("{ cat rec.cu8 | " + ts::ShellQuote(WAVORA_EXE) +
                              " /dev/stdin -format cu8 -clock 2.4 -batch -out p.wv; }",
                          t.path(), "");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_TRUE(ts::Contains(r.out,
                           "*** Error: Input file '/dev/stdin' is a FIFO; only regular "
                           "files are read."))
      << r.out;
  EXPECT_FALSE(fs::exists(t.File("p.wv")));

  // A FIFO without a writer, named directly or as a SigMF dataset, and a
  // data file that is a link to a device: each ends at once.
  ASSERT_EQ(mkfifo(t.File("fifo.cu8").c_str(), 0600), 0);
  ts::WriteFileText(t.File("f.sigmf-meta"), Meta(", \"core:dataset\": \"fifo.cu8\""));
  ts::WriteFileText(t.File("z.sigmf-meta"), Meta(""));
  fs::create_symlink("/dev/zero", t.File("z.sigmf-data"));
  fs::create_directory(t.File("adir"));
  const struct {
    std::vector<std::string> args;
    std::string refused;
  } cases[] = {
      {{"fifo.cu8", "-format", "cu8", "-clock", "1"}, "fifo.cu8' is a FIFO"},
      {{"fifo.cu8", "-format", "auto", "-clock", "1"}, "fifo.cu8' is a FIFO"},
      {{"f.sigmf-meta", "-format", "sigmf"}, "fifo.cu8' is a FIFO"},
      {{"z.sigmf-meta", "-format", "sigmf"}, "z.sigmf-data' is a device"},
      {{"z.sigmf-data", "-format", "sigmf"}, "z.sigmf-data' is a device"},
      {{"adir", "-format", "i16le", "-clock", "1"}, "adir' is a directory"},
      {{"adir", "-format", "kxzetq"}, "adir' is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-batch", "-out", "x.wv"});
    r = ts::RunWavoraBinary(args, t.path());
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(ts::Contains(r.out, c.refused + "; only regular files are read.")) << r.out;
    EXPECT_FALSE(fs::exists(t.File("x.wv")));
  }
  // The commands that read a waveform file take the same way in: a device
  // or FIFO is refused at once, nothing is written.
  const std::vector<std::string> inspections[] = {
      {"-info", "/dev/zero"},
      {"-info", "fifo.cu8", "-format", "cu8"},
      {"/dev/zero", "-export", "cs16"},
      {"fifo.cu8", "-export", "wav"},
      {"/dev/zero", "-preview", "z.svg"},
  };
  const std::vector<std::string> names = ts::ListNames(t.path());
  for (const std::vector<std::string>& args : inspections) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    r = ts::RunWavoraBinary(args, t.path());
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(ts::Contains(r.out + r.err, "; only regular files are read.")) << r.out << r.err;
  }
  EXPECT_EQ(ts::ListNames(t.path()), names);
}

TEST(InputSafetyE2E, TemporaryFileOrOwnMetadataAsInputIsRefusedAndKept) {
  ts::TempDir t;
  const ts::Bytes bytes(4000, 0x41);
  ts::WriteFileBytes(t.File("_temp_.dat"), bytes);
  ts::RunResult r =
      ts::RunWavoraBinary({"_temp_.dat", "-format", "cu8", "-clock", "1", "-batch"}, t.path());
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_TRUE(ts::Contains(r.out,
                           "_temp_.dat' is a temporary file of the conversion; it is not "
                           "read."))
      << r.out;
  EXPECT_EQ(ts::ReadFileBytes(t.File("_temp_.dat")), bytes);  // never deleted

  // A link to the temporary file is the same file.
  fs::create_symlink(t.File("_temp_.dat"), t.File("link.cu8"));
  r = ts::RunWavoraBinary({"link.cu8", "-format", "cu8", "-clock", "1", "-batch"}, t.path());
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(ts::ReadFileBytes(t.File("_temp_.dat")), bytes);

  ts::WriteFileText(t.File("self.sigmf-meta"), Meta(", \"core:dataset\": \"self.sigmf-meta\""));
  r = ts::RunWavoraBinary({"self.sigmf-meta", "-format", "sigmf", "-batch"}, t.path());
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_TRUE(ts::Contains(r.out, "self.sigmf-meta' is the metadata file itself.")) << r.out;
}

}  // namespace
