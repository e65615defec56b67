// Standard input taken into a file of the run and an output copied to
// standard output: every failure on the way (a file that cannot be created,
// a failed read, write or close, a full device) gives its "*** " line and 0,
// and never a copy reported whole that is not.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/StandardStreams.h"
#include "common/Log.h"
#include "platform/FaultInjection.h"
#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;
namespace faults = platform::faults;

std::vector<std::string> gLines;
// Lines without their "HH:MM:SS   " time stamp.
void CaptureLine(const std::string& line) {
  gLines.push_back(line.size() > 11 ? line.substr(11) : line);
}

bool Logged(const std::string& text) {
  for (const std::string& line : gLines)
    if (line == text) return true;
  return false;
}

std::string AllLines() {
  std::string all;
  for (const std::string& line : gLines) all += line + "\n";
  return all;
}

// Standard input read from the file at path for the lifetime of the object.
class StdinFrom {
 public:
  explicit StdinFrom(const std::string& path) : saved_(dup(STDIN_FILENO)) {
    const int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, STDIN_FILENO);
    close(fd);
    std::clearerr(stdin);
  }
  ~StdinFrom() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    std::clearerr(stdin);
  }
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

 private:
  int saved_;
};

class StandardStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    gLines.clear();
    SetLogSink(CaptureLine);
    SetLogMask(15);
    ts::WriteFileText(dir.File("input"), data);
  }
  void TearDown() override {
    faults::Reset();
    SetLogSink(nullptr);
  }
  ts::TempDir dir;
  const std::string data = std::string(3000, 'a') + "\n" + std::string(500, '\0') + "end";
};

TEST_F(StandardStreams, StandardInputIsTakenWholeOrTheFailureIsNamed) {
  {
    StdinFrom in(dir.File("input"));
    ASSERT_EQ(TakeStandardInput(dir.File("taken")), 1) << AllLines();
  }
  EXPECT_EQ(ts::ReadFileText(dir.File("taken")), data);
  EXPECT_TRUE(Logged("i 3504 bytes taken from standard input.")) << AllLines();

  // The file exists already: it is created exclusively, so nothing is
  // written into it.
  gLines.clear();
  ts::WriteFileText(dir.File("planted"), "kept");
  {
    StdinFrom in(dir.File("input"));
    EXPECT_EQ(TakeStandardInput(dir.File("planted")), 0);
  }
  EXPECT_TRUE(Logged("*** Cannot open a file for standard input in the working directory."))
      << AllLines();
  EXPECT_EQ(ts::ReadFileText(dir.File("planted")), "kept");

  // Standard input that cannot be read: a directory.
  gLines.clear();
  {
    StdinFrom in(dir.path());
    EXPECT_EQ(TakeStandardInput(dir.File("from-directory")), 0);
  }
  EXPECT_TRUE(Logged("*** Error reading standard input.")) << AllLines();

  // The write and the close of the file fail (a full disk).
  struct Fault {
    faults::FileOp op;
    faults::Fault kind;
  };
  for (const Fault& f : {Fault{faults::FileOp::kWrite, faults::Fault::kShortWrite},
                         Fault{faults::FileOp::kWrite, faults::Fault::kFail},
                         Fault{faults::FileOp::kClose, faults::Fault::kFail}}) {
    SCOPED_TRACE(faults::FileOpName(f.op));
    gLines.clear();
    // Call 1 creates the file, 2 writes, 3 closes.
    faults::Arm(f.op == faults::FileOp::kWrite ? 2 : 3, f.kind);
    const std::string path = dir.File(std::string("faulted-") + faults::FileOpName(f.op) +
                                      (f.kind == faults::Fault::kFail ? "-fail" : "-short"));
    {
      StdinFrom in(dir.File("input"));
      EXPECT_EQ(TakeStandardInput(path), 0);
    }
    EXPECT_TRUE(faults::FaultDelivered());
    faults::Reset();
    EXPECT_TRUE(Logged("*** Error writing the data of standard input.")) << AllLines();
  }
}

TEST_F(StandardStreams, CopyToStandardOutputFailsOnEveryFault) {
  const std::string copy = dir.File("copy");
  {
    std::FILE* out = std::fopen(copy.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(CopyFileToStream(dir.File("input"), out), 1) << AllLines();
    std::fclose(out);
  }
  EXPECT_EQ(ts::ReadFileText(copy), data);

  // Not there to copy.
  gLines.clear();
  {
    std::FILE* out = std::fopen(copy.c_str(), "wb");
    EXPECT_EQ(CopyFileToStream(dir.File("missing"), out), 0);
    std::fclose(out);
  }
  EXPECT_TRUE(Logged("*** Error reading output file.")) << AllLines();

  // A stream that takes nothing.
  gLines.clear();
  {
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(CopyFileToStream(dir.File("input"), full), 0);
    std::fclose(full);
  }
  EXPECT_TRUE(Logged("*** Error writing the output to standard output.")) << AllLines();

  // The open and the first read of the file fail: nothing reaches the
  // stream, and that is no success.
  for (const faults::FileOp op : {faults::FileOp::kOpen, faults::FileOp::kRead}) {
    SCOPED_TRACE(faults::FileOpName(op));
    gLines.clear();
    std::FILE* out = std::fopen(copy.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    faults::Arm(op == faults::FileOp::kOpen ? 1 : 2, faults::Fault::kFail);
    EXPECT_EQ(CopyFileToStream(dir.File("input"), out), 0);
    EXPECT_TRUE(faults::FaultDelivered());
    faults::Reset();
    std::fclose(out);
    EXPECT_TRUE(gLines.size() >= 1 && gLines[0].rfind("*** ", 0) == 0) << AllLines();
  }
}

}  // namespace
