// The one writer of every output file and the one check of its destination,
// against the objects another user or program can put in their way: links at
// the hidden name, a second writer, a file that appears meanwhile, failing
// writes, devices, FIFOs, directories, and the run's own inputs by another
// name.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "common/Log.h"
#include "platform/FaultInjection.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "waveform/OutputFile.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Names = std::vector<std::string>;

using ts::LoggedPart;

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ts::StartLogCapture(); }
  void TearDown() override {
    platform::faults::Reset();
    platform::faults::SetRandomSourceFailing(false);
    ts::StopLogCapture();
  }
  // Writes text as a whole file through an OutputFile.
  int WriteWhole(const std::string& destination, const std::string& text, bool replace) {
    OutputFile out(destination, replace);
    if (!out.Open()) return 0;
    out.Append(text);
    return out.Commit();
  }

  ts::TempDir dir;
  const std::string dest = dir.File("out.dat");
};

TEST_F(OutputFileTest, WritesUnderAHiddenRandomNameAndPlacesTheWhole) {
  OutputFile out(dest, false);
  ASSERT_EQ(out.Open(), 1);
  const std::string hidden = fs::path(out.path()).filename().string();
  EXPECT_EQ(hidden.rfind(".out.dat.", 0), 0u) << hidden;
  EXPECT_EQ(hidden.size(), std::string(".out.dat.").size() + 12 + std::string(".part").size());
  // More than the buffer holds, in pieces and through Reserve.
  const std::string big(3 * 1024 * 1024 + 5, 'x');
  out.Append(big);
  unsigned char* room = out.Reserve(4);
  ASSERT_NE(room, nullptr);
  std::copy_n("abcd", 4, room);
  EXPECT_FALSE(ts::FileExistsForTest(dest));
  ASSERT_EQ(out.Commit(), 1);
  EXPECT_EQ(ts::ReadFileText(dest), big + "abcd");
  EXPECT_EQ(ts::ListNames(dir.path()), Names{"out.dat"});

  // A second file to the same destination gets a hidden name of its own.
  OutputFile again(dest, true);
  ASSERT_EQ(again.Open(), 1);
  EXPECT_NE(again.path(), out.path());
}

// Links planted at the fixed hidden name of earlier versions, and at the name
// a writer without random source uses, are never written through.
TEST_F(OutputFileTest, PlantedLinkAtTheHiddenNameIsNotFollowed) {
  ts::WriteFileText(dir.File("victim"), "precious");
  fs::create_symlink(dir.File("victim"), dir.File(".out.dat.part"));
  ASSERT_EQ(WriteWhole(dest, "new", false), 1);
  EXPECT_EQ(ts::ReadFileText(dir.File("victim")), "precious");
  EXPECT_EQ(ts::ReadFileText(dest), "new");

  // Without a random source the hidden name is known in advance; a link
  // there makes the file fail instead of being followed.
  platform::faults::SetRandomSourceFailing(true);
  const std::string other = dir.File("other.dat");
  fs::create_symlink(dir.File("victim"), dir.File(".other.dat.part"));
  EXPECT_EQ(WriteWhole(other, "new", true), 0);
  EXPECT_TRUE(LoggedPart("*** Error opening output file."));
  EXPECT_TRUE(LoggedPart(".other.dat.part: File exists"));
  EXPECT_EQ(ts::ReadFileText(dir.File("victim")), "precious");
  EXPECT_FALSE(ts::FileExistsForTest(other));
  EXPECT_TRUE(fs::is_symlink(dir.File(".other.dat.part")));
}

// Two writers of one new destination at once: each writes its own hidden
// file; without replacing, the second to finish keeps the first one's file.
TEST_F(OutputFileTest, TwoWritersOfOneDestinationDoNotMix) {
  OutputFile first(dest, false);
  OutputFile second(dest, false);
  ASSERT_EQ(first.Open(), 1);
  ASSERT_EQ(second.Open(), 1);
  for (int k = 0; k < 1000; ++k) {
    first.Append("first ");
    second.Append("second ");
  }
  ASSERT_EQ(first.Commit(), 1);
  EXPECT_EQ(second.Commit(), 0);
  EXPECT_TRUE(LoggedPart("*** Destination file already exists."));
  std::string expected;
  for (int k = 0; k < 1000; ++k) expected += "first ";
  EXPECT_EQ(ts::ReadFileText(dest), expected);
}

TEST_F(OutputFileTest, FileThatAppearedIsKeptWithoutReplacing) {
  OutputFile out(dest, false);
  ASSERT_EQ(out.Open(), 1);
  out.Append("late");
  ts::WriteFileText(dest, "appeared");
  EXPECT_EQ(out.Commit(), 0);
  EXPECT_EQ(ts::ReadFileText(dest), "appeared");
  EXPECT_EQ(ts::ListNames(dir.path()), Names{"out.dat"});
  EXPECT_EQ(WriteWhole(dest, "replaced", true), 1);
  EXPECT_EQ(ts::ReadFileText(dest), "replaced");
}

// A failed write, a failed close or a writer dropped before it is placed
// leaves neither the hidden file nor a changed destination.
TEST_F(OutputFileTest, FailureLeavesNothing) {
  ts::WriteFileText(dest, "old");
  for (platform::faults::FileOp op :
       {platform::faults::FileOp::kWrite, platform::faults::FileOp::kClose}) {
    ts::CapturedLogLines().clear();
    {
      OutputFile out(dest, true);
      ASSERT_EQ(out.Open(), 1);
      out.Append("new");
      platform::faults::Reset();
      platform::faults::SetRecording(true);
      platform::faults::Arm(op == platform::faults::FileOp::kWrite ? 1 : 2,
                            platform::faults::Fault::kFail);
      EXPECT_EQ(out.Commit(), 0);
      EXPECT_TRUE(platform::faults::FaultDelivered());
      platform::faults::SetRecording(false);
    }
    EXPECT_TRUE(LoggedPart("*** Error writing output file."));
    EXPECT_TRUE(LoggedPart(": injected fault"));
    EXPECT_EQ(ts::ReadFileText(dest), "old");
    EXPECT_EQ(ts::ListNames(dir.path()), Names{"out.dat"});
  }
  {
    OutputFile dropped(dest, true);
    ASSERT_EQ(dropped.Open(), 1);
    dropped.Append("never placed");
  }
  EXPECT_EQ(ts::ReadFileText(dest), "old");
  EXPECT_EQ(ts::ListNames(dir.path()), Names{"out.dat"});
  // A directory that does not exist: the reason names the hidden path.
  EXPECT_EQ(WriteWhole(dir.File("missing/out.dat"), "x", true), 0);
  EXPECT_TRUE(LoggedPart("No such file or directory"));
}

TEST_F(OutputFileTest, DestinationsThatAreNoRegularFileAreRefused) {
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  fs::create_directory(dir.File("sub"));
  const OutputRules replace{true, {}};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/dev/null", "'/dev/null' is a device; only regular files are written."},
      {dir.File("fifo"), "fifo' is a FIFO; only regular files are written."},
      {dir.File("sub"), "sub' is a directory; only regular files are written."},
  };
  for (const auto& [path, line] : cases) {
    ts::CapturedLogLines().clear();
    EXPECT_EQ(CheckOutputDestination(path, replace), 0) << path;
    EXPECT_TRUE(LoggedPart("*** Error: Output file '")) << path;
    EXPECT_TRUE(LoggedPart(line)) << path;
  }
  EXPECT_TRUE(fs::is_fifo(dir.File("fifo")));
  EXPECT_TRUE(fs::is_directory(dir.File("sub")));
  // A new name passes; an existing file only when it may be replaced, and
  // so does a link whose target is missing.
  EXPECT_EQ(CheckOutputDestination(dest, OutputRules{false, {}}), 1);
  fs::create_symlink(dir.File("nowhere"), dir.File("dangling"));
  EXPECT_EQ(CheckOutputDestination(dir.File("dangling"), OutputRules{false, {}}), 0);
  EXPECT_EQ(CheckOutputDestination(dir.File("dangling"), replace), 1);
  ts::WriteFileText(dest, "x");
  EXPECT_EQ(CheckOutputDestination(dest, replace), 1);
  ts::CapturedLogLines().clear();
  EXPECT_EQ(CheckOutputDestination(dest, OutputRules{false, {}}), 0);
  EXPECT_TRUE(LoggedPart("*** Destination file already exists."));
  EXPECT_TRUE(LoggedPart("    " + dest + ": use -overwrite, or name another file with -out."));
  // A walk's destination keeps the walk's hint and is named after it.
  ts::CapturedLogLines().clear();
  OutputRules walk{false, {}};
  walk.naming = DestinationNaming::kOutputDirectory;
  EXPECT_EQ(CheckOutputDestination(dest, walk), 0);
  EXPECT_TRUE(LoggedPart("    Use -overwrite option or specify different output directory."));
  EXPECT_TRUE(LoggedPart("    Existing file: " + dest));
}

// The run's inputs are compared by file identity: another spelling, a
// symbolic link and a hard link all name the input.
TEST_F(OutputFileTest, TheRunsInputIsNoDestinationByAnyName) {
  const std::string input = dir.File("in.wv");
  ts::WriteFileText(input, "input");
  fs::create_symlink(input, dir.File("link.wv"));
  fs::create_hard_link(input, dir.File("hard.wv"));
  fs::create_directory(dir.File("sub"));
  OutputRules rules{true, {}};
  AddRunFile(rules, input);
  AddRunFile(rules, dir.File("missing.wv"));  // names nothing: adds nothing
  ASSERT_EQ(rules.runFiles.size(), 1u);
  for (const std::string& name : {input, dir.path() + "/./in.wv", dir.path() + "/sub/../in.wv",
                                  dir.File("link.wv"), dir.File("hard.wv")}) {
    ts::CapturedLogLines().clear();
    EXPECT_EQ(CheckOutputDestination(name, rules), 0) << name;
    EXPECT_TRUE(LoggedPart("is an input of this run; it is not replaced.")) << name;
  }
  ts::WriteFileText(dir.File("other.wv"), "other");
  EXPECT_EQ(CheckOutputDestination(dir.File("other.wv"), rules), 1);
  EXPECT_EQ(ts::ReadFileText(input), "input");
}

// The temporary files of the conversion, whether they exist at the moment or
// not, by any spelling of the working directory.
TEST_F(OutputFileTest, TheConversionsTemporaryFilesAreNoDestination) {
  ts::ScopedWorkingDir cwd(dir.path());
  const OutputRules replace{true, {}};
  for (const std::string& name :
       {std::string(kTempWaveFileName), std::string(kTempMarkerFileName),
        "./" + std::string(kTempWaveFileName), dir.path() + "/" + kTempMarkerFileName}) {
    ts::CapturedLogLines().clear();
    EXPECT_EQ(CheckOutputDestination(name, replace), 0) << name;
    EXPECT_TRUE(LoggedPart("is a temporary file of the conversion; it is not written.")) << name;
  }
  fs::create_directory(dir.File("sub"));
  EXPECT_EQ(CheckOutputDestination("sub/" + std::string(kTempWaveFileName), replace), 1);
  // A hard link to an existing temporary file is the file.
  ts::WriteFileText(kTempWaveFileName, "");
  fs::create_hard_link(kTempWaveFileName, dir.File("sub/alias.dat"));
  EXPECT_EQ(CheckOutputDestination("sub/alias.dat", replace), 0);
  EXPECT_TRUE(IsConversionTempFile("sub/alias.dat"));
}

}  // namespace
