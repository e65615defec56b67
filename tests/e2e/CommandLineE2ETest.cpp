// The built program's front end run as a user runs it: banner, usage text,
// validation, settings table, the start questions with piped keys, and the
// exit prompts.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testing_support::Contains;
using testing_support::RunResult;
using testing_support::RunWavoraBinary;
using testing_support::TempDir;

// The banner names the program as the system knows it.
#ifdef _WIN32
const std::string kBanner = "\nWavora.exe 1.6.0 / 9.6.2009\n\n\n\n";
#else
const std::string kBanner = "\nwavora 1.6.0 / 9.6.2009\n\n\n\n";
#endif
const std::string kStartQuestion = "Do you want to start processing (y/n) ... [y]\b\b";
const std::string kEqualQuestion = "In- and Out-paths are equal! Is this OK? (y/n) ... [n]\b\b";
const std::string kUsageExitPrompt = "Press RETURN to exit...\n";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The usage text as the program shows it: its first line names the program,
// the 70-blank line ends it; then the error's "*** " lines once more (those
// printed on standard output before it), and the exit prompt.
void ExpectUsage(const RunResult& run) {
  EXPECT_EQ(run.err.rfind("usage: ", 0), 0u) << run.err;
  EXPECT_TRUE(Contains(run.err, " [<input file>] <options>"));
  const std::string usageEnd = std::string(70, ' ') + "\n";
  const std::size_t end = run.err.rfind(usageEnd);
  ASSERT_NE(end, std::string::npos) << run.err;
  const std::string after = run.err.substr(end + usageEnd.size());
  ASSERT_TRUE(EndsWith(after, kUsageExitPrompt)) << run.err;
  const std::string repeated = after.substr(0, after.size() - kUsageExitPrompt.size());
  if (!repeated.empty()) {
    EXPECT_EQ(repeated.rfind("*** ", 0), 0u) << repeated;
    EXPECT_TRUE(Contains(run.out, repeated)) << run.out;
  }
  EXPECT_EQ(run.exitCode, 1);
}

TEST(CommandLineE2E, NoArgumentsShowsUsageAndFails) {
  TempDir work;
  const RunResult run = RunWavoraBinary({}, work.path());
  EXPECT_EQ(run.out, kBanner);
  ExpectUsage(run);
}

TEST(CommandLineE2E, RejectedSettingsShowTheReasonAndUsage) {
  TempDir work;
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"sig.bin", "-format", "I16LE", "-clock", "100"},
       "*** Unknown input format.\n*** 'I16LE' is no format keyword; the usage text below lists "
       "them.\n"},
      {{"sig.bin", "-clock", "100"}, "*** No input format given (-format <keyword>).\n"},
      {{"sig.bin", "-format", "i16le", "-clock", "600.0001"},
       "*** Invalid clock rate.\n*** Clock rate 600.0001 MHz is out of range: 0.001 < MHz <= "
       "600.\n"},
      {{"sig.bin", "-format", "i16le", "-clock", "0"},
       "*** Invalid clock rate.\n*** Clock rate 0 MHz is out of range: 0.001 < MHz <= 600.\n"},
      {{"sig.bin", "-format", "i16le"},
       "*** Invalid clock rate.\n*** No clock rate given: use -clock <MHz> with 0.001 < MHz <= "
       "600.\n"},
  };
  for (const Case& c : cases) {
    const RunResult run = RunWavoraBinary(c.args, work.path(), "\n");
    EXPECT_EQ(run.out, kBanner + c.message) << c.args.back();
    ExpectUsage(run);
  }
}

TEST(CommandLineE2E, OverLongValueIsRefusedBeforeAnyQuestion) {
  TempDir work;
  const RunResult run = RunWavoraBinary(
      {"sig.bin", "-format", "i16le", "-clock", "1", "-comment", std::string(512, 'c')},
      work.path(), "y\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, kBanner);
  EXPECT_EQ(run.err.rfind("*** ", 0), 0u) << run.err;
  EXPECT_TRUE(testing_support::ListNames(work.path()).empty());
  EXPECT_FALSE(Contains(run.err, "usage:"));
}

TEST(CommandLineE2E, SettingsTableThenNoEndsTheRun) {
  TempDir work;
  testing_support::WriteFileText(work.File("marker"), "");
  const RunResult run = RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "600",
                                         "-autoscale", "-comment", "-autoscale", "-v", "7"},
                                        work.path(), "n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  // The table shows the working directory as the program sees it.
  const std::string dirRowStart = "  Input directory   | ";
  const std::size_t dirRow = run.out.find(dirRowStart);
  ASSERT_NE(dirRow, std::string::npos) << run.out;
  const std::size_t dirEnd = run.out.find("                       \n", dirRow);
  const std::string workingDir =
      run.out.substr(dirRow + dirRowStart.size(), dirEnd - dirRow - dirRowStart.size());
  EXPECT_EQ(testing_support::ListNames(workingDir), testing_support::ListNames(work.path()));

  auto row = [](const std::string& label, const std::string& value) {
    return "  " + label + "| " + value + "                       \n";
  };
  const std::string dashes = "--------------------+----------------------------\n";
  const std::string expected =
      kBanner + "  Setting           |  Value  \n" + dashes + row("Input file        ", "sig.bin") +
      row("Input format      ", "i16le") +
      "  Clock rate        | 600.000000 MHz                   \n" +
      "  Gain (kxzetq)     | 0.00 dB                 \n" + row("Auto Level        ", "YES") +
      row("Input directory   ", workingDir) + row("Output directory  ", workingDir) +
      row("Overwrite         ", "NO") + row("Comment           ", "-autoscale") +
      row("Copyright         ", "") + row("Verbosity level   ", "7") + dashes + "\n" +
      kStartQuestion + "\n\n";
  EXPECT_EQ(run.out, expected);
}

TEST(CommandLineE2E, AnswersInEitherCaseAndOtherKeysIgnoredAtTheStartQuestion) {
  TempDir work;
  // "x" is ignored; "N" answers as "n" does and ends the run unstarted.
  const RunResult no =
      RunWavoraBinary({"sig.bin", "-format", "i16le", "-clock", "10"}, work.path(), "xNy");
  EXPECT_EQ(no.exitCode, 0);
  EXPECT_TRUE(EndsWith(no.out, kStartQuestion + "\n\n")) << no.out;
  EXPECT_FALSE(Contains(no.out, "Processing file"));

  // "Y" starts it; the input is missing, so the run ends in the failure block.
  const RunResult yes =
      RunWavoraBinary({"nothere.bin", "-format", "i16le", "-clock", "10"}, work.path(), "xY\n");
  EXPECT_EQ(yes.exitCode, 1);
  EXPECT_TRUE(Contains(yes.out, kStartQuestion + "\n\n"));
  EXPECT_TRUE(Contains(yes.out, "Processing file nothere.bin ...")) << yes.out;
}

TEST(CommandLineE2E, EqualPathsQuestionNeedsAnExplicitYes) {
  TempDir work;
  const std::vector<std::string> args = {"-indir",  "data",  "-outdir", "data",
                                         "-format", "f32le", "-clock",  "1"};
  for (const char* keys : {"y\r", "yN", "y", "yn"}) {
    const RunResult run = RunWavoraBinary(args, work.path(), keys);
    EXPECT_EQ(run.exitCode, 0) << keys;
    EXPECT_TRUE(EndsWith(run.out, kStartQuestion + "\n\n" + kEqualQuestion + "\n\n"))
        << keys << ": " << run.out;
    EXPECT_FALSE(Contains(run.out, "finished")) << keys;
  }
  // In single-file mode both directories are the working directory, and no
  // second question is asked.
  const RunResult single =
      RunWavoraBinary({"sig.bin", "-format", "f32le", "-clock", "1"}, work.path(), "n");
  EXPECT_FALSE(Contains(single.out, kEqualQuestion));
}

TEST(CommandLineE2E, EmptyInputTakesEveryDefaultWithoutWaiting) {
  TempDir work;
  TempDir out;
  // Start question: default yes. An empty input directory converts nothing,
  // so the run succeeds and the exit prompt returns at the end of input.
  std::filesystem::create_directories(work.File("empty"));
  const RunResult run = RunWavoraBinary(
      {"-indir", "empty", "-outdir", out.path(), "-format", "i16be", "-clock", "5"}, work.path());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(Contains(run.out, kEqualQuestion));
  EXPECT_TRUE(EndsWith(run.out,
                       "\n\nFile conversion finished successfully.\n\n"
                       "Press ENTER to exit...\n\n"))
      << run.out;
  EXPECT_TRUE(testing_support::ListNames(out.path()).empty());
}

}  // namespace
