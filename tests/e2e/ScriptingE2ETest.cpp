// The built program as scripts and terminals use it: -help and -version,
// refused arguments, -batch in both modes, -out, the progress bar only on a
// terminal, and the path and reason after a failed file operation. The
// terminal cases run the program on a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

const std::string kBanner = "\nwavora 1.6.0 / 9.6.2009\n\n\n\n";
const std::string kHint = "Run '" + std::string(WAVORA_EXE) + " -help' for the list of options.\n";
const std::string kFinished = "\n\nFile conversion finished successfully.\n\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

void WriteTone(const std::string& path, std::size_t pairs = 3000) {
  fs::create_directories(fs::path(path).parent_path());
  const std::vector<float> wave = ts::MakeTone(pairs, 0.5, 9.0, true);
  std::vector<std::int16_t> units;
  for (float value : wave) {
    units.push_back(static_cast<std::int16_t>(value * 32767.0f));
    units.push_back(static_cast<std::int16_t>(-value * 32767.0f));
  }
  ts::WriteFileBytes(path, ts::EncodeInt16(units, false));
}

// ---- a run on a pseudo-terminal ----

struct TerminalRun {
  bool finished = false;
  int exitCode = -1;
  std::string screen;  // every byte the program wrote to the terminal
};

// Runs wavora with the terminal as its three standard streams and types
// nothing: a run that asked a question or waited for Enter would not end
// before the hang guard.
TerminalRun RunOnTerminal(const std::vector<std::string>& args, const std::string& workDir) {
  TerminalRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  const std::string slaveName = ptsname(master);
  std::vector<std::string> argvText = {WAVORA_EXE};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) {
    close(master);
    return run;
  }
  if (child == 0) {
    setsid();
    const int slave = open(slaveName.c_str(), O_RDWR);
    if (slave < 0) _exit(127);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    if (slave > 2) close(slave);
    close(master);
    if (chdir(workDir.c_str()) != 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd wait{master, POLLIN, 0};
    if (poll(&wait, 1, 100) > 0 && (wait.revents & POLLIN) != 0) {
      char buffer[4096];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) run.screen.append(buffer, static_cast<std::size_t>(got));
    }
    if (waitpid(child, &status, WNOHANG) == child) {
      run.finished = true;
      break;
    }
  }
  if (!run.finished) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  // What is still buffered in the terminal after the end.
  pollfd wait{master, POLLIN, 0};
  while (poll(&wait, 1, 100) > 0 && (wait.revents & POLLIN) != 0) {
    char buffer[4096];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;
    run.screen.append(buffer, static_cast<std::size_t>(got));
  }
  close(master);
  run.exitCode = run.finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// ---- help and version ----

TEST(ScriptingE2E, HelpAndVersionAnswerOnStandardOutputAtOnce) {
  ts::TempDir work;
  for (const char* help : {"-h", "-help", "--help"}) {
    // Also after other options; the keys offered are never read.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{help}, {"sig.bin", "-format", "i16le", help}}) {
      const ts::RunResult run = ts::RunWavoraBinary(args, work.path(), "n\n");
      EXPECT_EQ(run.exitCode, 0) << help;
      EXPECT_EQ(run.err, "") << help;
      EXPECT_EQ(run.out.rfind("usage: " + std::string(WAVORA_EXE) + " [<input file>] <options>", 0),
                0u)
          << run.out;
      EXPECT_TRUE(Contains(run.out, "    -comment <\"comment\">"));
      EXPECT_FALSE(Contains(run.out, "-commment"));
      for (const char* option : {"-batch ", "-out <", "-help, -h, --help", "-version, --version"})
        EXPECT_TRUE(Contains(run.out, option)) << option;
      EXPECT_FALSE(Contains(run.out, "Press RETURN")) << help;
      EXPECT_FALSE(Contains(run.out, "(y/n)")) << help;
    }
  }
  for (const char* version : {"-version", "--version"}) {
    const ts::RunResult run = ts::RunWavoraBinary({version}, work.path(), "n\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Wavora 1.6.0\n");
    EXPECT_EQ(run.err, "");
  }
  // A terminal that types nothing: the answer comes without a wait.
  const TerminalRun onTerminal = RunOnTerminal({"--help"}, work.path());
  ASSERT_TRUE(onTerminal.finished) << onTerminal.screen;
  EXPECT_EQ(onTerminal.exitCode, 0);
  EXPECT_TRUE(ts::ListNames(work.path()).empty());
}

// ---- refused arguments ----

TEST(ScriptingE2E, RefusedArgumentsNameTheirReasonAndHintAtHelp) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--help-me"}, "*** Unknown option: --help-me\n"},
      {{"sig.bin", "-commment", "x"},
       "*** Unknown option: -commment\n*** Did you mean -comment?\n"},
      {{"sig.bin", "-overwrite=yes"},
       "*** Unknown option: -overwrite=yes\n*** Did you mean -overwrite?\n"},
      {{"-format", "i16le", "-clock", "1", "other.bin"}, "*** Unexpected argument: other.bin\n"},
      {{"sig.bin", "other.bin", "-format", "i16le", "-clock", "1", "-out", "x.wv"},
       "*** Option -out names the file of one input; it cannot be given with 2 input files.\n"},
      {{"sig.bin", "-format", "i16le", "-clock"}, "*** Option -clock needs a value.\n"},
      {{"sig.bin", "-format", "i16le", "-clock", "2,4"},
       "*** Invalid clock rate.\n*** Invalid value for -clock: '2,4' is not a decimal number "
       "(0.001 < MHz <= 600).\n"},
      {{"sig.bin", "-format", "i16le", "-clock", "2.4M"},
       "*** Invalid clock rate.\n*** Invalid value for -clock: '2.4M' is not a decimal number "
       "(0.001 < MHz <= 600).\n"},
      {{"sig.bin", "-format", "kxzetq", "-gain", "6dB"},
       "*** Invalid value for -gain: '6dB' is not a decimal number.\n"},
      {{"sig.bin", "-format", "i16le", "-clock", "1", "-v", "3x"},
       "*** Invalid value for -v: '3x' is not an integer.\n"},
      {{"-format", "i16le", "-clock", "1", "-out", "x.wv"},
       "*** Option -out names the output of single-file mode (an input file as the first "
       "argument); in directory mode use -outdir.\n"},
  };
  for (const Case& c : cases) {
    // Keys that would start a run: none is read, nothing is written.
    const ts::RunResult run = ts::RunWavoraBinary(c.args, work.path(), "y\n\n");
    EXPECT_EQ(run.exitCode, 1) << c.message;
    EXPECT_EQ(run.out, kBanner) << c.message;
    EXPECT_EQ(run.err, c.message + kHint);
  }
  EXPECT_EQ(ts::ListNames(work.path()), std::vector<std::string>{"sig.bin"});

  // An out-of-range clock keeps the old reply (usage text and exit prompt)
  // and names the value and the range.
  const ts::RunResult range =
      ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "48000"}, work.path());
  EXPECT_EQ(range.exitCode, 1);
  EXPECT_EQ(range.out, kBanner +
                           "*** Invalid clock rate.\n*** Clock rate 48000 MHz is out of range: "
                           "0.001 < MHz <= 600.\n*** -clock takes MHz: did you mean 0.048?\n");
  EXPECT_TRUE(Contains(range.err, "usage: ")) << range.err;
  // Decimal numbers in any spelling are numbers.
  for (const char* clock : {"2.4", "2.4e0", "+2.4"}) {
    const ts::RunResult run = ts::RunWavoraBinary(
        {"sig.bin", "-format", "i16le", "-clock", clock, "-batch", "-overwrite"}, work.path());
    EXPECT_EQ(run.exitCode, 0) << clock << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "  Clock rate        | 2.400000 MHz ")) << clock;
  }
}

// Directory-mode options in single-file mode take their value and are
// ignored, named in a warning; the value is no argument of its own.
TEST(ScriptingE2E, DirectoryOptionsInSingleFileModeAreIgnoredWithAWarning) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"));
  const ts::RunResult run =
      ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "1", "-indir", "elsewhere",
                           "-recursive", "-v", "2", "-batch"},
                          work.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Count(run.out,
                  " w *** Warning: -indir does not apply in single-file mode; it is "
                  "ignored.\n"),
            1)
      << run.out;
  EXPECT_EQ(Count(run.out, " w *** Warning: -recursive does not apply"), 1);
  EXPECT_TRUE(ts::FileExistsForTest(work.File("_sig.wv")));
}

// ---- -batch ----

TEST(ScriptingE2E, BatchSingleFileAsksNothingAndWaitsForNothing) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"));
  // "n" would decline at the start question; -batch never reads it.
  const ts::RunResult run = ts::RunWavoraBinary(
      {"tone.bin", "-format", "i16le", "-clock", "10", "-batch"}, work.path(), "n");
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_FALSE(Contains(run.out, "(y/n)"));
  EXPECT_FALSE(Contains(run.out, "Press ENTER"));
  EXPECT_EQ(run.out.substr(run.out.size() - kFinished.size()), kFinished) << run.out;
  EXPECT_TRUE(ts::FileExistsForTest(work.File("_tone.wv")));

  // A failed file ends the same way: exit code 1 and no prompt.
  const ts::RunResult failed = ts::RunWavoraBinary(
      {"missing.bin", "-format", "i16le", "-clock", "10", "-batch"}, work.path(), "n");
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.out.substr(failed.out.size() - 29), "\n\n*** Error processing file.\n")
      << failed.out;

  // On a terminal that types nothing the run ends on its own.
  const TerminalRun terminal = RunOnTerminal(
      {"tone.bin", "-format", "i16le", "-clock", "10", "-batch", "-overwrite"}, work.path());
  ASSERT_TRUE(terminal.finished) << terminal.screen;
  EXPECT_EQ(terminal.exitCode, 0) << terminal.screen;
}

TEST(ScriptingE2E, BatchDirectoryWalkGoesOnAfterAFailedFile) {
  ts::TempDir t;
  WriteTone(t.File("in/a.bin"));
  ts::WriteFileBytes(t.File("in/b.bin"), {});  // no samples: the conversion fails
  WriteTone(t.File("in/c.bin"));
  fs::create_directories(t.File("out"));
  // With keys, the default at the abort question would stop after b.bin; the
  // equal-paths question is not asked either (here the paths differ).
  const ts::RunResult run = ts::RunWavoraBinary(
      {"-indir", "in", "-outdir", "out", "-format", "i16le", "-clock", "1", "-batch"}, t.path(),
      "\n\n\n");
  EXPECT_FALSE(Contains(run.out, "abort processing")) << run.out;
  EXPECT_FALSE(Contains(run.out, "(y/n)"));
  EXPECT_TRUE(Contains(run.out, "Processing file c.bin ...")) << run.out;
  EXPECT_EQ(ts::ListNames(t.File("out")), (std::vector<std::string>{"a.wv", "c.wv"}));

  // Equal input and output paths: -batch converts (the walk never takes its
  // own output as input).
  const ts::RunResult equal =
      ts::RunWavoraBinary({"-indir", "out", "-outdir", "out", "-format", "i16le", "-clock", "1",
                           "-batch", "-overwrite", "-ext", "wv"},
                          t.path());
  EXPECT_FALSE(Contains(equal.out, "In- and Out-paths are equal")) << equal.out;
  EXPECT_EQ(Count(equal.out, "Processing file "), 2) << equal.out;
}

// ---- -out ----

TEST(ScriptingE2E, OutNamesTheOutputFileAsGiven) {
  ts::TempDir work;
  const std::string input = "rec_433.92MHz_2.4Msps.cf32";
  WriteTone(work.File(input));
  fs::create_directories(work.File("waves"));
  const std::vector<std::string> args = {input, "-format", "i16le", "-clock",
                                         "2.4", "-batch",  "-out",  "waves/rec_433.92MHz.wv"};
  const ts::RunResult run = ts::RunWavoraBinary(args, work.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ts::ListNames(work.File("waves")), std::vector<std::string>{"rec_433.92MHz.wv"});
  EXPECT_EQ(ts::ListNames(work.path()), (std::vector<std::string>{input, "waves"}));
  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(
      ts::ParseWaveform(ts::ReadFileBytes(work.File("waves/rec_433.92MHz.wv")), &parsed, &error))
      << error;
  EXPECT_EQ(parsed.words.size(), 6000u);

  // The -overwrite rule holds for it as for every output.
  const ts::Bytes before = ts::ReadFileBytes(work.File("waves/rec_433.92MHz.wv"));
  const ts::RunResult again = ts::RunWavoraBinary(args, work.path());
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_TRUE(Contains(again.out, "*** Destination file already exists.")) << again.out;
  EXPECT_EQ(ts::ReadFileBytes(work.File("waves/rec_433.92MHz.wv")), before);
  std::vector<std::string> overwrite = args;
  overwrite.push_back("-overwrite");
  EXPECT_EQ(ts::RunWavoraBinary(overwrite, work.path()).exitCode, 0);

  // An absolute path, and one over the path limit.
  ts::TempDir elsewhere;
  const ts::RunResult absolute = ts::RunWavoraBinary(
      {input, "-format", "i16le", "-clock", "2.4", "-batch", "-out", elsewhere.File("x")},
      work.path());
  EXPECT_EQ(absolute.exitCode, 0) << absolute.out;
  EXPECT_EQ(ts::ListNames(elsewhere.path()), std::vector<std::string>{"x"});
  const ts::RunResult tooLong = ts::RunWavoraBinary(
      {input, "-format", "i16le", "-clock", "2.4", "-out", "/" + std::string(260, 'o')},
      work.path());
  EXPECT_EQ(tooLong.exitCode, 1);
  EXPECT_EQ(tooLong.err.rfind("*** The output file name is longer than 259 characters.", 0), 0u)
      << tooLong.err;
}

// ---- console output ----

TEST(ScriptingE2E, ProgressBarOnlyOnATerminal) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"), 200000);
  const std::vector<std::string> args = {"tone.bin", "-format",    "i16le",  "-clock",
                                         "10",       "-autoscale", "-batch", "-overwrite"};
  const ts::RunResult piped = ts::RunWavoraBinary(args, work.path());
  ASSERT_EQ(piped.exitCode, 0);
  EXPECT_EQ(Count(piped.out, "\b"), 0);
  EXPECT_FALSE(Contains(piped.out, "[  "));
  // The log lines follow one another: no empty line from an ended bar.
  const std::string header = "Processing file tone.bin ...\n\n> ";
  const std::size_t firstLine = piped.out.find(header);
  ASSERT_NE(firstLine, std::string::npos) << piped.out;
  EXPECT_EQ(piped.out.find("\n\n> ", firstLine + header.size()), std::string::npos) << piped.out;

  const TerminalRun terminal = RunOnTerminal(args, work.path());
  ASSERT_TRUE(terminal.finished) << terminal.screen;
  EXPECT_EQ(terminal.exitCode, 0);
  EXPECT_TRUE(Contains(terminal.screen, "[                    ]\b")) << terminal.screen;
  EXPECT_TRUE(Contains(terminal.screen, "====================\b")) << terminal.screen;
}

// A failed file operation is followed by the path and the system's reason.
TEST(ScriptingE2E, FileErrorsNameThePathAndTheReason) {
  ts::TempDir work;
  const std::vector<std::string> tail = {"-format", "i16le", "-clock", "1", "-batch"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), tail.begin(), tail.end());
    return ts::RunWavoraBinary(args, work.path());
  };

  const ts::RunResult missing = run({"missing.bin"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Contains(missing.out, "   *** Error opening input file.\n> ")) << missing.out;
  EXPECT_TRUE(
      Contains(missing.out, " !     " + work.File("missing.bin") + ": No such file or directory\n"))
      << missing.out;

  WriteTone(work.File("tone.bin"));
  const ts::RunResult noDir = run({"tone.bin", "-out", "no/such/dir.wv"});
  EXPECT_EQ(noDir.exitCode, 1);
  // Found before the input is read, and named as given, with its directory.
  EXPECT_TRUE(Contains(noDir.out, "*** Error: Output file '" + work.File("no/such/dir.wv") +
                                      "' cannot be created in its directory.\n"))
      << noDir.out;
  EXPECT_TRUE(
      Contains(noDir.out, "     " + work.File("no/such/") + ": No such file or directory\n"))
      << noDir.out;
  EXPECT_FALSE(Contains(noDir.out, ".part")) << noDir.out;

  // A directory in the place of the temporary data file.
  fs::create_directories(work.File("_temp_.dat"));
  const ts::RunResult temp = run({"tone.bin"});
  EXPECT_EQ(temp.exitCode, 1);
  EXPECT_TRUE(
      Contains(temp.out, "*** Cannot open temporary data file in current working directory.\n"))
      << temp.out;
  // Created exclusively: a directory of that name is an existing name.
  EXPECT_TRUE(Contains(temp.out, " !     _temp_.dat: File exists\n")) << temp.out;
  EXPECT_FALSE(ts::FileExistsForTest(work.File("_tone.wv")));
}

}  // namespace
