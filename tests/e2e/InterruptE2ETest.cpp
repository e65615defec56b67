// The built program under the conditions a user or another program can
// create while it runs: Ctrl-C, a kill or a hang-up in the middle of a large
// conversion, a file-size limit, a destination that appears while the run is
// working, and a link planted at the hidden output name of earlier versions.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

// 16 Mi pairs of Int16: 64 MiB of input, a 128 MiB temporary file.
constexpr std::size_t kLargePairs = 16u * 1024u * 1024u;

void WriteLargeInput(const std::string& path) {
  std::vector<std::int16_t> units(2 * kLargePairs);
  for (std::size_t n = 0; n < units.size(); ++n)
    units[n] = static_cast<std::int16_t>((n * 7919) % 20001) - 10000;
  ts::WriteFileBytes(path, ts::EncodeInt16(units, false));
}

// The program started in workDir with the keys as standard input and both
// output streams into one file.
class RunningWavora {
 public:
  RunningWavora(const std::vector<std::string>& args, const std::string& workDir,
                const std::string& keys, rlim_t fileSizeLimit = 0,
                std::vector<int> keepInherited = {})
      : outPath_(io_.File("out")) {
    ts::WriteFileText(io_.File("keys"), keys);
    const std::string keysPath = io_.File("keys");
    std::vector<std::string> argStore = {WAVORA_EXE};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStore) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int in = open(keysPath.c_str(), O_RDONLY);
      const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || chdir(workDir.c_str()) != 0) _exit(126);
      dup2(in, STDIN_FILENO);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      // As started from a terminal: a test run in the background of a
      // shell without job control would otherwise pass on an ignored SIGINT.
      for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        bool keep = false;
        for (int kept : keepInherited) keep = keep || kept == number;
        if (!keep) signal(number, SIG_DFL);
      }
      if (fileSizeLimit != 0) {
        rlimit limit{fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~RunningWavora() {
    if (pid_ > 0 && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  RunningWavora(const RunningWavora&) = delete;
  RunningWavora& operator=(const RunningWavora&) = delete;

  bool started() const { return pid_ > 0; }
  void Signal(int number) { kill(pid_, number); }

  // True once the program has ended; its status is then kept.
  bool Ended() {
    if (finished_) return true;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) finished_ = true;
    return finished_;
  }

  // Exit code, or 1000 + signal number when a signal ended the program.
  int Wait() {
    if (!finished_) {
      waitpid(pid_, &status_, 0);
      finished_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 1000 + WTERMSIG(status_);
  }

  std::string Output() const {
    const ts::Bytes bytes = ts::ReadFileBytes(outPath_);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  ts::TempDir io_;
  std::string outPath_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
};

// Polls until a name in dir satisfies accept (true) or the program ends
// first (false).
template <typename Accept>
bool WaitForName(RunningWavora& run, const std::string& dir, Accept accept) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& name : ts::ListNames(dir))
      if (accept(name)) return true;
    if (run.Ended()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// The hidden name of big.bin's output in directory mode: ".big.wv.<tag>.part"
// with a tag of 12 hexadecimal digits.
bool IsPartialName(const std::string& name) {
  const std::string head = ".big.wv.";
  const std::string tail = ".part";
  if (name.size() != head.size() + 12 + tail.size()) return false;
  if (name.compare(0, head.size(), head) != 0) return false;
  if (name.compare(name.size() - tail.size(), tail.size(), tail) != 0) return false;
  return name.find_first_not_of("0123456789abcdef", head.size()) == head.size() + 12;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> Args(std::vector<std::string> extra) {
  std::vector<std::string> args = {"big.bin", "-format", "i16le", "-clock", "100"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Interrupted while the temporary files are being filled: Ctrl-C (SIGINT)
// and a hang-up of the terminal.
TEST(Interrupt, DuringImportRemovesTheTemporaryFiles) {
  for (const auto& [number, code] : {std::pair{SIGINT, 130}, std::pair{SIGHUP, 129}}) {
    SCOPED_TRACE(strsignal(number));
    ts::TempDir t;
    WriteLargeInput(t.File("big.bin"));
    RunningWavora run(Args({}), t.path(), "y");
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(WaitForName(run, t.path(), [](const std::string& n) { return n == "_temp_.dat"; }))
        << run.Output();
    run.Signal(number);
    EXPECT_EQ(run.Wait(), code) << run.Output();
    EXPECT_TRUE(Contains(run.Output(), "\n*** Interrupted.\n")) << run.Output();
    // What was printed before the interrupt is out before its line, though
    // the output is a file, not a terminal.
    const std::string output = run.Output();
    EXPECT_LT(output.find("Processing file big.bin ..."), output.find("*** Interrupted."))
        << output;
    EXPECT_EQ(ts::ListNames(t.path()), std::vector<std::string>{"big.bin"});
  }
}

// Killed while the output is being written under its hidden name: the
// hidden file goes with the temporary files, and no output appears.
TEST(Interrupt, TerminatedWhileWritingRemovesThePartialOutput) {
  ts::TempDir t;
  WriteLargeInput(t.File("big.bin"));
  fs::create_directories(t.File("out"));
  RunningWavora run({"-indir", t.path(), "-outdir", t.File("out"), "-ext", "bin", "-format",
                     "i16le", "-clock", "100"},
                    t.path(), "y");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(WaitForName(run, t.File("out"), IsPartialName)) << run.Output();
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(), 143) << run.Output();
  EXPECT_TRUE(Contains(run.Output(), "\n*** Interrupted.\n")) << run.Output();
  EXPECT_EQ(ts::ListNames(t.path()), (std::vector<std::string>{"big.bin", "out"}));
  EXPECT_TRUE(ts::ListNames(t.File("out")).empty());
}

// A file-size limit makes a write fail with the stream layer's message
// instead of ending the program by a signal.
TEST(Interrupt, FileSizeLimitIsAFailedWriteNotASignal) {
  ts::TempDir t;
  std::vector<std::int16_t> units(2 * 1024 * 1024, 1000);  // 4 MiB input, 16 MiB temporary
  ts::WriteFileBytes(t.File("big.bin"), ts::EncodeInt16(units, false));
  RunningWavora run(Args({}), t.path(), "y", 1024 * 1024);
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), 1) << run.Output();
  EXPECT_TRUE(Contains(run.Output(), "*** Import of waveform data failed.")) << run.Output();
  EXPECT_TRUE(Contains(run.Output(), "*** Error processing file.")) << run.Output();
  EXPECT_EQ(ts::ListNames(t.path()), std::vector<std::string>{"big.bin"});
}

// A destination that appears while a run without -overwrite works is kept:
// the run fails and changes nothing.
TEST(ExclusiveOutput, DestinationAppearingDuringTheRunIsKept) {
  ts::TempDir t;
  WriteLargeInput(t.File("big.bin"));
  RunningWavora run(Args({}), t.path(), "y");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(WaitForName(run, t.path(), [](const std::string& n) { return n == "_temp_.dat"; }))
      << run.Output();
  ts::WriteFileText(t.File("_big.wv"), "written by someone else");
  EXPECT_EQ(run.Wait(), 1) << run.Output();
  EXPECT_TRUE(Contains(run.Output(), "*** Destination file already exists.")) << run.Output();
  const ts::Bytes kept = ts::ReadFileBytes(t.File("_big.wv"));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "written by someone else");
  EXPECT_EQ(ts::ListNames(t.path()), (std::vector<std::string>{"_big.wv", "big.bin"}));
}

// A link planted at the hidden name earlier versions used, and a leftover
// link at the temporary file's name: neither target is written.
TEST(ExclusiveOutput, PlantedLinksAreNeverWrittenThrough) {
  ts::TempDir t;
  std::vector<std::int16_t> units(64, 500);
  ts::WriteFileBytes(t.File("x.bin"), ts::EncodeInt16(units, false));
  ts::WriteFileText(t.File("victim"), "precious");
  fs::create_symlink(t.File("victim"), t.File("._x.wv.part"));
  fs::create_symlink(t.File("victim"), t.File("_temp_.dat"));
  const ts::RunResult r =
      ts::RunWavoraBinary({"x.bin", "-format", "i16le", "-clock", "100"}, t.path(), "y");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  const ts::Bytes victim = ts::ReadFileBytes(t.File("victim"));
  EXPECT_EQ(std::string(victim.begin(), victim.end()), "precious");
  // The leftover temporary name was removed first (the link, not its target).
  EXPECT_EQ(ts::ListNames(t.path()),
            (std::vector<std::string>{"._x.wv.part", "_x.wv", "victim", "x.bin"}));
}

// Every path the run builds, the hidden output name included, is checked
// before the input is read.
TEST(PathChecks, HiddenOutputNameIsCheckedBeforeAnyDataIsRead) {
  ts::TempDir t;
  // The output <dir>/_<stem>.wv is 250 characters; its hidden name is longer
  // than 259.
  const std::string stem(250 - t.path().size() - 5, 's');
  const std::string input = stem + ".bin";
  std::vector<std::int16_t> units(64, 500);
  ts::WriteFileBytes(t.File(input), ts::EncodeInt16(units, false));
  const ts::RunResult r =
      ts::RunWavoraBinary({input, "-format", "i16le", "-clock", "100"}, t.path(), "y");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "*** Error: Temporary output file path is longer than 259")) << r.out;
  EXPECT_FALSE(Contains(r.out, "Importing from file")) << r.out;
  EXPECT_EQ(ts::ListNames(t.path()), std::vector<std::string>{input});
}

// A hang-up the starting process ignores (nohup) stays ignored: the run
// goes on to its end.
TEST(Interrupt, IgnoredHangUpStaysIgnored) {
  ts::TempDir t;
  std::vector<std::int16_t> units(2 * 1024 * 1024, 700);
  ts::WriteFileBytes(t.File("big.bin"), ts::EncodeInt16(units, false));
  const auto previous = signal(SIGHUP, SIG_IGN);  // inherited by the child
  RunningWavora run(Args({}), t.path(), "y", 0, {SIGHUP});
  signal(SIGHUP, previous);
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(WaitForName(run, t.path(), [](const std::string& n) { return n == "_temp_.dat"; }))
      << run.Output();
  run.Signal(SIGHUP);
  EXPECT_EQ(run.Wait(), 0) << run.Output();
  EXPECT_FALSE(Contains(run.Output(), "*** Interrupted.")) << run.Output();
  EXPECT_EQ(ts::ListNames(t.path()), (std::vector<std::string>{"_big.wv", "big.bin"}));
}

}  // namespace
