// The built program as people and scripts meet it: -q for scripts, the
// destination that exists named with its way out, refusals made before any
// data is read, the walk's report of failed files and relative names,
// -defaultclock in a mixed tree, the command-line error repeated after the
// usage text, and a question that reaches the terminal when standard output
// goes to a file.

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
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

using ts::Contains;

void WriteTone(const std::string& path, std::size_t pairs = 2000) {
  fs::create_directories(fs::path(path).parent_path());
  ts::WriteFileBytes(path, ts::EncodeInt16(ts::MakeInt16IqTone(pairs, 0.5, 7.0), false));
}

// A 16-bit stereo WAV of a tone at the given rate, written field by field.
void WriteWav(const std::string& path, std::uint32_t rate, std::size_t pairs = 1000) {
  const std::vector<std::int16_t> units = ts::MakeInt16IqTone(pairs, 0.5, 5.0);
  ts::Bytes bytes;
  auto text = [&](const char* four) { bytes.insert(bytes.end(), four, four + 4); };
  auto u32 = [&](std::uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<unsigned char>(v >> (8 * k)));
  };
  auto u16 = [&](std::uint16_t v) {
    bytes.push_back(static_cast<unsigned char>(v));
    bytes.push_back(static_cast<unsigned char>(v >> 8));
  };
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(units.size() * 2);
  text("RIFF");
  u32(36 + dataBytes);
  text("WAVE");
  text("fmt ");
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  text("data");
  u32(dataBytes);
  const ts::Bytes samples = ts::EncodeInt16(units, false);
  bytes.insert(bytes.end(), samples.begin(), samples.end());
  fs::create_directories(fs::path(path).parent_path());
  ts::WriteFileBytes(path, bytes);
}

std::string ClockOf(const std::string& path) {
  ts::ParsedWaveform parsed;
  std::string error;
  if (!ts::ParseWaveform(ts::ReadFileBytes(path), &parsed, &error)) return "unparsed: " + error;
  const std::string* clock = parsed.Find("CLOCK");
  return clock == nullptr ? "none" : *clock;
}

// Every line of text begins with "*** " or is indented under such a line.
bool OnlyErrorLines(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.rfind("*** ", 0) != 0 && line.rfind("    ", 0) != 0) return false;
    start = end + 1;
  }
  return true;
}

TEST(PeopleAndScriptsE2E, QuietRunsPrintOnlyTheErrorLinesOnStandardError) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"));
  // A good run: nothing at all, and no question waits for the keys not given.
  ts::RunResult run =
      ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "10", "-q"}, work.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(ts::FileExistsForTest(work.File("_sig.wv")));

  // The same again: the destination exists. Its lines, the file's name and
  // the way out, go to standard error; standard output stays empty.
  run = ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "10", "-q"}, work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "*** Destination file already exists.\n    " + work.File("_sig.wv") +
                         ": use -overwrite, or name another file with -out.\n"
                         "*** Error processing file.\n");

  // A refused setting: its lines only, no usage text, no wait.
  run = ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-q"}, work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "*** No clock rate given")) << run.err;
  EXPECT_TRUE(OnlyErrorLines(run.err)) << run.err;
}

TEST(PeopleAndScriptsE2E, WhatCanBeKnownBeforeReadingIsRefusedFirstNamingTheDestination) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"));
  // A comment the writer would refuse: refused before the input is opened.
  ts::RunResult run = ts::RunWavoraBinary(
      {"sig.bin", "-format", "i16le", "-clock", "10", "-batch", "-v", "3", "-comment", "x}"},
      work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "*** Error: Comment must not contain '}'.")) << run.out;
  EXPECT_FALSE(Contains(run.out, "Importing from file")) << run.out;

  // An output whose directory is missing: named as given, not the hidden name.
  run = ts::RunWavoraBinary(
      {"sig.bin", "-format", "i16le", "-clock", "10", "-batch", "-v", "3", "-out", "no/o.wv"},
      work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "*** Error: Output file '" + work.File("no/o.wv") +
                                    "' cannot be created in its directory."))
      << run.out;
  EXPECT_FALSE(Contains(run.out, ".part")) << run.out;
  EXPECT_FALSE(Contains(run.out, "Importing from file")) << run.out;

  // In directory mode the destination is named with the walk's way out.
  WriteTone(work.File("in/a.bin"));
  fs::create_directories(work.File("out"));
  const std::vector<std::string> walk = {"-indir", "in",     "-outdir", "out",   "-format",
                                         "i16le",  "-clock", "10",      "-batch"};
  ASSERT_EQ(ts::RunWavoraBinary(walk, work.path()).exitCode, 0);
  run = ts::RunWavoraBinary(walk, work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(
      Contains(run.out, "    Use -overwrite option or specify different output directory.\n"));
  EXPECT_TRUE(Contains(run.out, "    Existing file: " + work.File("out/a.wv"))) << run.out;
  EXPECT_EQ(ts::ListNames(work.File("out")), std::vector<std::string>{"a.wv"});
}

TEST(PeopleAndScriptsE2E, AWalkNamesFilesByTheirPathAndListsTheFailedOnesAtTheEnd) {
  ts::TempDir work;
  fs::create_directories(work.File("tree/day1"));
  ts::WriteFileBytes(work.File("tree/day1/good.cf32"),
                     ts::EncodeFloat32(ts::MakeIqTone(500, 0.5, 3.0), false));
  // Odd byte counts: each of these fails with its own first error line.
  fs::create_directories(work.File("tree/day2"));
  for (int k = 0; k < 23; ++k)
    ts::WriteFileText(work.File("tree/day2/bad" + std::to_string(100 + k) + ".cf32"), "12345");
  fs::create_directories(work.File("out"));
  const ts::RunResult run = ts::RunWavoraBinary({"-indir", "tree", "-outdir", "out", "-recursive",
                                                 "-format", "cf32", "-clock", "10", "-batch"},
                                                work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "Processing file day1/good.cf32 ...")) << run.out;
  EXPECT_TRUE(Contains(run.out, "Processing file day2/bad100.cf32 ..."));
  const std::size_t list = run.out.find("*** Failed files:");
  const std::size_t counts = run.out.find("1 converted, 23 failed, 0 skipped");
  ASSERT_NE(list, std::string::npos) << run.out;
  ASSERT_NE(counts, std::string::npos) << run.out;
  EXPECT_LT(list, counts);
  const std::string listed = run.out.substr(list, counts - list);
  // Twenty files with their first error line, then the rest counted.
  EXPECT_EQ(ts::Count(listed, "***   day2/bad1"), 20) << listed;
  EXPECT_TRUE(Contains(listed, "***   day2/bad100.cf32: Error: ")) << listed;
  EXPECT_TRUE(Contains(listed, "***   and 3 more")) << listed;
  EXPECT_FALSE(Contains(listed, "bad120")) << listed;

  // A filter that matches nothing says so.
  const ts::RunResult none =
      ts::RunWavoraBinary({"-indir", "tree", "-outdir", "out", "-recursive", "-ext", "i16",
                           "-format", "cf32", "-clock", "10", "-batch", "-overwrite"},
                          work.path());
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_TRUE(Contains(none.out, "No file ends in .i16.\n")) << none.out;
}

TEST(PeopleAndScriptsE2E, SeveralInputsAreConvertedOneAfterAnotherWithTheWalksReport) {
  ts::TempDir work;
  WriteTone(work.File("a.bin"));
  WriteTone(work.File("b.bin"), 1200);
  WriteTone(work.File("sub/a.bin"));  // the same output name as a.bin
  ts::WriteFileText(work.File("odd.bin"), "123");
  const ts::RunResult run = ts::RunWavoraBinary(
      {"a.bin", "b.bin", "odd.bin", "sub/a.bin", "-format", "i16le", "-clock", "10", "-batch"},
      work.path());
  EXPECT_EQ(run.exitCode, 1);
  for (const char* name : {"a.bin", "b.bin", "odd.bin"})
    EXPECT_TRUE(Contains(run.out, std::string("Processing file ") + name + " ...")) << name;
  EXPECT_TRUE(Contains(run.out, "*** Error: sub/a.bin is not converted: its output " +
                                    work.File("_a.wv") + " was written from a.bin in this run."))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "***   odd.bin: ")) << run.out;
  EXPECT_TRUE(Contains(run.out, "2 converted, 2 failed, 0 skipped")) << run.out;
  ts::ParsedWaveform a;
  ts::ParsedWaveform b;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(work.File("_a.wv")), &a, &error)) << error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(work.File("_b.wv")), &b, &error)) << error;
  EXPECT_EQ(a.words.size(), 4000u);
  EXPECT_EQ(b.words.size(), 2400u);
}

// -json with a conversion: standard output holds one JSON object per input
// file and nothing else; the log goes to standard error.
TEST(PeopleAndScriptsE2E, JsonResultsGiveOneObjectPerInputFile) {
  ts::TempDir work;
  WriteTone(work.File("tree/a.cs16"), 1500);
  ts::WriteFileText(work.File("tree/odd.cs16"), "123");
  fs::create_directories(work.File("out"));
  const ts::RunResult run = ts::RunWavoraBinary(
      {"-indir", "tree", "-outdir", "out", "-format", "cs16", "-clock", "2.5", "-batch", "-json"},
      work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.err, "Processing file a.cs16 ...")) << run.err;
  EXPECT_TRUE(Contains(run.err, "1 converted, 1 failed, 0 skipped")) << run.err;
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  while (start < run.out.size()) {
    const std::size_t end = run.out.find('\n', start);
    ASSERT_NE(end, std::string::npos) << run.out;
    lines.push_back(nlohmann::json::parse(run.out.substr(start, end - start)));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 2u) << run.out;
  const nlohmann::json& good = lines[0];
  EXPECT_EQ(good["input"], work.File("tree/a.cs16"));
  EXPECT_EQ(good["output"], work.File("out/a.wv"));
  EXPECT_EQ(good["status"], "converted");
  EXPECT_TRUE(good["reason"].is_null());
  EXPECT_EQ(good["pairs"], 1500);
  EXPECT_DOUBLE_EQ(good["clock"].get<double>(), 2.5e6);
  // A tone of amplitude 0.5: RMS and peak 6.02 dB below full scale.
  EXPECT_NEAR(good["rms_offset"].get<double>(), 6.02, 0.01);
  EXPECT_NEAR(good["peak_offset"].get<double>(), 6.02, 0.01);
  EXPECT_EQ(good["clipped"], 0);
  EXPECT_GE(good["seconds"].get<double>(), 0.0);
  const nlohmann::json& bad = lines[1];
  EXPECT_EQ(bad["input"], work.File("tree/odd.cs16"));
  EXPECT_EQ(bad["status"], "failed");
  EXPECT_TRUE(bad["output"].is_null());
  EXPECT_EQ(bad["reason"].get<std::string>().rfind("*** ", 0), 0u) << bad.dump();
}

std::vector<std::int16_t> WordsOf(const ts::Bytes& bytes) {
  ts::ParsedWaveform parsed;
  std::string error;
  if (!ts::ParseWaveform(bytes, &parsed, &error)) return {};
  return parsed.words;
}

// "-" reads standard input (here a pipe, whose bytes cannot be read twice),
// "-out -" writes the finished file to standard output; the log then goes to
// standard error and no file of the run is left behind.
TEST(PeopleAndScriptsE2E, StandardInputAndOutputCarryTheWholeFile) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"), 3000);
  ASSERT_EQ(
      ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "10", "-batch"}, work.path())
          .exitCode,
      0);
  const std::vector<std::int16_t> expected = WordsOf(ts::ReadFileBytes(work.File("_sig.wv")));
  ASSERT_EQ(expected.size(), 6000u);

  const std::string wavora = ts::ShellQuote(WAVORA_EXE);
  ts::RunResult run = ts::RunShellCommand(
      "(cat sig.bin | " + wavora + " - -format i16le -clock 10)", work.path(), "");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "Processing file - (standard input) ...")) << run.out;
  EXPECT_EQ(WordsOf(ts::ReadFileBytes(work.File("_stdin.wv"))), expected);

  run = ts::RunShellCommand("(cat sig.bin | " + wavora + " - -format i16le -clock 10 -out -)",
                            work.path(), "");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(WordsOf(ts::Bytes(run.out.begin(), run.out.end())), expected);
  EXPECT_TRUE(Contains(run.err, "Output: standard output")) << run.err;
  EXPECT_EQ(ts::ListNames(work.path()),
            (std::vector<std::string>{"_sig.wv", "_stdin.wv", "sig.bin"}));

  // An output that cannot be delivered fails the run.
  run = ts::RunShellCommand(
      "(" + wavora + " sig.bin -format i16le -clock 10 -batch -out - >/dev/full)", work.path(), "");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.err, "*** Error writing the output to standard output.")) << run.err;

  // What needs files by name, or more than one stream, is refused.
  run = ts::RunWavoraBinary({"-", "-format", "sigmf"}, work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "*** Format sigmf cannot be read from standard input (-)"))
      << run.out;
  run = ts::RunWavoraBinary({"-", "sig.bin", "-format", "i16le", "-clock", "10"}, work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.err, "*** Standard input or output (-) serves one input file only."));
  EXPECT_EQ(ts::ListNames(work.path()),
            (std::vector<std::string>{"_sig.wv", "_stdin.wv", "sig.bin"}));
}

// An export (-out -) and a preview (-preview -) on standard output are the
// bytes the same run writes to a file; sigmf, two files, is refused.
TEST(PeopleAndScriptsE2E, ExportAndPreviewGoToStandardOutputWhole) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"), 3000);
  ASSERT_EQ(
      ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "10", "-batch"}, work.path())
          .exitCode,
      0);
  const std::string wavora = ts::ShellQuote(WAVORA_EXE);
  ASSERT_EQ(
      ts::RunWavoraBinary({"_sig.wv", "-export", "wav", "-out", "f.wav"}, work.path()).exitCode, 0);
  ASSERT_EQ(ts::RunWavoraBinary({"_sig.wv", "-preview", "f.svg"}, work.path()).exitCode, 0);
  const std::vector<std::string> files = ts::ListNames(work.path());

  ts::RunResult run =
      ts::RunShellCommand("(" + wavora + " _sig.wv -export wav -out -)", work.path(), "");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(ts::Bytes(run.out.begin(), run.out.end()) == ts::ReadFileBytes(work.File("f.wav")));
  EXPECT_TRUE(Contains(run.err, "Exported to standard output")) << run.err;
  run = ts::RunShellCommand("(" + wavora + " _sig.wv -preview -)", work.path(), "");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(ts::Bytes(run.out.begin(), run.out.end()) == ts::ReadFileBytes(work.File("f.svg")));
  EXPECT_TRUE(Contains(run.err, "Preview written to standard output")) << run.err;

  run = ts::RunShellCommand("(" + wavora + " _sig.wv -export sigmf -out -)", work.path(), "");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "*** -export sigmf writes two files")) << run.err;
  // A preview that cannot be delivered fails, and no file of the run is left.
  run = ts::RunShellCommand("(" + wavora + " _sig.wv -preview - >/dev/full)", work.path(), "");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ts::ListNames(work.path()), files);
}

TEST(PeopleAndScriptsE2E, DefaultClockServesOnlyTheFilesThatCarryNone) {
  ts::TempDir work;
  WriteTone(work.File("mix/raw.cs16"));
  WriteWav(work.File("mix/rec.wav"), 48000);
  fs::create_directories(work.File("out"));
  ts::RunResult run = ts::RunWavoraBinary(
      {"-indir", "mix", "-outdir", "out", "-format", "auto", "-defaultclock", "10", "-batch"},
      work.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Contains(run.out, "  Clock rate        | from the input file, else 10.000000 MHz\n"))
      << run.out;
  EXPECT_EQ(ClockOf(work.File("out/raw.wv")), "10000000.000");
  EXPECT_EQ(ClockOf(work.File("out/rec.wv")), "48000.000");

  // -clock keeps its meaning: it overrides every file's own rate.
  run = ts::RunWavoraBinary({"-indir", "mix", "-outdir", "out", "-format", "auto", "-clock", "2",
                             "-defaultclock", "10", "-batch", "-overwrite"},
                            work.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ClockOf(work.File("out/raw.wv")), "2000000.000");
  EXPECT_EQ(ClockOf(work.File("out/rec.wv")), "2000000.000");

  // A default clock out of range is refused like -clock.
  run = ts::RunWavoraBinary({"mix/raw.cs16", "-format", "cs16", "-defaultclock", "700", "-batch"},
                            work.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "*** Clock rate 700 MHz of -defaultclock is out of range"))
      << run.out;
}

TEST(PeopleAndScriptsE2E, ACommandLineErrorIsRepeatedAfterTheUsageText) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"));
  const ts::RunResult run =
      ts::RunWavoraBinary({"sig.bin", "-format", "i16le", "-batch"}, work.path());
  EXPECT_EQ(run.exitCode, 1);
  const std::string error =
      "*** Invalid clock rate.\n*** No clock rate given: use -clock <MHz> with 0.001 < MHz <= "
      "600.\n";
  EXPECT_TRUE(Contains(run.out, error)) << run.out;
  ASSERT_GE(run.err.size(), error.size());
  EXPECT_TRUE(Contains(run.err, "usage: "));
  EXPECT_EQ(run.err.substr(run.err.size() - error.size()), error) << run.err;
}

// The question of a run whose standard input is a terminal and whose standard
// output is a file: it is shown on the terminal (standard error) as well.
TEST(PeopleAndScriptsE2E, AQuestionReachesTheTerminalWhenOutputIsRedirected) {
  ts::TempDir work;
  WriteTone(work.File("sig.bin"));
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slaveName = ptsname(master);
  const std::string logPath = work.File("run.log");
  std::vector<std::string> argvText = {WAVORA_EXE, "sig.bin", "-format", "i16le", "-clock", "10"};
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    const int slave = open(slaveName.c_str(), O_RDWR);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (slave < 0 || log < 0) _exit(127);
    dup2(slave, 0);
    dup2(log, 1);
    dup2(slave, 2);
    close(master);
    if (chdir(work.path().c_str()) != 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string screen;
  bool answered = false;
  int status = 0;
  bool finished = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd wait{master, POLLIN, 0};
    if (poll(&wait, 1, 100) > 0 && (wait.revents & POLLIN) != 0) {
      char buffer[4096];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) screen.append(buffer, static_cast<std::size_t>(got));
    }
    if (!answered && Contains(screen, "Do you want to start processing (y/n)")) {
      // "n" ends the run before anything is converted.
      answered = write(master, "n", 1) == 1;
    }
    if (waitpid(child, &status, WNOHANG) == child) {
      finished = true;
      break;
    }
  }
  if (!finished) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  close(master);
  ASSERT_TRUE(finished) << screen;
  EXPECT_TRUE(answered) << screen;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The log holds the question too, as before.
  EXPECT_TRUE(Contains(ts::ReadFileText(logPath), "Do you want to start processing (y/n)"));
  EXPECT_FALSE(ts::FileExistsForTest(work.File("_sig.wv")));
}

}  // namespace
