// The questions of wavora.exe in a console: Wine started on a pseudo-terminal
// gives the program a real console, so its key reads take the console branch
// (_getch: one key, no echo, no Enter needed) instead of reading bytes. The
// keys are typed into the terminal one at a time once the question is shown.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;

const std::string kStartQuestion = "Do you want to start processing (y/n) ... [y]";
const std::string kEqualQuestion = "In- and Out-paths are equal! Is this OK? (y/n) ... [n]";
const std::string kExitPrompt = "to exit";

// Hang guard of one run; a run takes a few seconds.
constexpr auto kRunLimit = std::chrono::seconds(120);
// Pause between typed keys, so that each arrives as a key of its own.
constexpr auto kKeyPause = std::chrono::milliseconds(400);

// The screen text without the terminal's control sequences (cursor moves,
// colours, cursor show and hide), which Wine's console writes between the
// characters.
std::string WithoutControlSequences(const std::string& raw) {
  std::string text;
  for (std::size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] != '\x1b') {
      text += raw[k];
      continue;
    }
    if (k + 1 < raw.size() && raw[k + 1] == '[') {
      const std::size_t parameters = k + 2;
      k = parameters;
      while (k < raw.size() && !(raw[k] >= '@' && raw[k] <= '~')) ++k;
      // Blanks reach the terminal as cursor moves to the right.
      if (k < raw.size() && raw[k] == 'C') {
        const int count = std::atoi(raw.substr(parameters, k - parameters).c_str());
        text.append(static_cast<std::size_t>(count > 0 ? count : 1), ' ');
      }
    } else if (k + 1 < raw.size() && raw[k + 1] == ']') {
      k += 2;
      while (k < raw.size() && raw[k] != '\a') ++k;
    } else {
      ++k;
    }
  }
  return text;
}

struct ConsoleRun {
  int exitCode = -1;
  bool finished = false;
  std::string screen;  // without control sequences
};

// Question and the keys typed once it is shown.
struct Answer {
  std::string question;
  std::vector<std::string> keys;
};

// Runs wavora.exe under Wine on a fresh pseudo-terminal in workDir. Each
// answer's keys are typed when its question appears on the screen; the exit
// prompt gets Enter.
ConsoleRun RunInWineConsole(const std::vector<std::string>& args, const std::string& workDir,
                            const std::vector<Answer>& answers,
                            const std::string& standardOutputFile = "") {
  ConsoleRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  const std::string slaveName = ptsname(master);

  std::vector<std::string> argvText = {WAVORA_WINE, WAVORA_WINDOWS_EXE};
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
    // The terminal becomes the child's controlling terminal and its three
    // standard streams.
    setsid();
    const int slave = open(slaveName.c_str(), O_RDWR);
    if (slave < 0) _exit(127);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    // Standard output to a file, the other two on the terminal.
    if (!standardOutputFile.empty()) {
      const int out = open(standardOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) _exit(127);
      dup2(out, 1);
      close(out);
    }
    if (slave > 2) close(slave);
    close(master);
    if (chdir(workDir.c_str()) != 0) _exit(127);
    if (getenv("WINEDEBUG") == nullptr) setenv("WINEDEBUG", "-all", 1);
    execv(argv[0], argv.data());
    _exit(127);
  }

  std::string raw;
  std::size_t answered = 0;
  std::size_t exitPromptsAnswered = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd wait{master, POLLIN, 0};
    if (poll(&wait, 1, 200) > 0 && (wait.revents & POLLIN) != 0) {
      char buffer[4096];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) raw.append(buffer, static_cast<std::size_t>(got));
    }
    run.screen = WithoutControlSequences(raw);
    if (answered < answers.size()) {
      // The n-th question on the screen gets the n-th answer.
      std::size_t shown = 0;
      for (std::size_t at = run.screen.find(answers[answered].question); at != std::string::npos;
           at = run.screen.find(answers[answered].question, at + 1))
        ++shown;
      std::size_t earlier = 0;
      for (std::size_t k = 0; k < answered; ++k)
        if (answers[k].question == answers[answered].question) ++earlier;
      if (shown > earlier) {
        for (const std::string& key : answers[answered].keys) {
          std::this_thread::sleep_for(kKeyPause);
          if (write(master, key.data(), key.size()) != static_cast<ssize_t>(key.size())) break;
        }
        ++answered;
      }
    }
    std::size_t prompts = 0;
    for (std::size_t at = run.screen.find(kExitPrompt); at != std::string::npos;
         at = run.screen.find(kExitPrompt, at + 1))
      ++prompts;
    if (prompts > exitPromptsAnswered) {
      std::this_thread::sleep_for(kKeyPause);
      if (write(master, "\r", 1) == 1) exitPromptsAnswered = prompts;
    }
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      run.finished = true;
      break;
    }
  }
  if (!run.finished) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  } else {
    // What the console wrote last, after the program ended.
    pollfd wait{master, POLLIN, 0};
    while (poll(&wait, 1, 200) > 0 && (wait.revents & POLLIN) != 0) {
      char buffer[4096];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got <= 0) break;
      raw.append(buffer, static_cast<std::size_t>(got));
    }
    run.screen = WithoutControlSequences(raw);
  }
  close(master);
  run.exitCode = run.finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The text the screen shows right after the question: nothing typed may
// appear there, since the key read does not echo.
std::string AfterQuestion(const std::string& screen, const std::string& question) {
  const std::size_t at = screen.find(question);
  if (at == std::string::npos) return "";
  return screen.substr(at + question.size(), 6);
}

const std::vector<std::string> kSingleFileArgs = {"tone.bin", "-format", "i16le", "-clock", "10"};

void WriteTone(const std::string& path) {
  const std::vector<float> i = ts::MakeTone(400, 0.5, 3.0, true);
  std::vector<std::int16_t> units;
  for (float value : i) {
    units.push_back(static_cast<std::int16_t>(value * 32767.0f));
    units.push_back(static_cast<std::int16_t>(-value * 32767.0f));
  }
  ts::WriteFileBytes(path, ts::EncodeInt16(units, false));
}

// Upper-case letters and cursor keys are ignored without echo; "y" answers
// at once, without Enter.
TEST(WineConsole, IgnoredKeysThenYesStartsWithoutEnter) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"));
  const ConsoleRun run =
      RunInWineConsole(kSingleFileArgs, work.path(), {{kStartQuestion, {"Y", "\x1b[H", "N", "y"}}});
  ASSERT_TRUE(run.finished) << run.screen;
  EXPECT_EQ(run.exitCode, 0) << run.screen;
  EXPECT_TRUE(ts::FileExistsForTest(work.File("_tone.wv"))) << run.screen;
  const std::string after = AfterQuestion(run.screen, kStartQuestion);
  EXPECT_EQ(after.find_first_of("YyNH"), std::string::npos) << "echoed: " << after;
  EXPECT_NE(run.screen.find("File conversion finished successfully."), std::string::npos);
}

TEST(WineConsole, NoEndsTheRunAndEnterTakesTheDefault) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"));
  const ConsoleRun no = RunInWineConsole(kSingleFileArgs, work.path(), {{kStartQuestion, {"n"}}});
  ASSERT_TRUE(no.finished) << no.screen;
  EXPECT_EQ(no.exitCode, 0);
  EXPECT_FALSE(ts::FileExistsForTest(work.File("_tone.wv")));
  EXPECT_EQ(no.screen.find("Processing file"), std::string::npos) << no.screen;

  const ConsoleRun enter =
      RunInWineConsole(kSingleFileArgs, work.path(), {{kStartQuestion, {"\r"}}});
  ASSERT_TRUE(enter.finished) << enter.screen;
  EXPECT_EQ(enter.exitCode, 0) << enter.screen;
  EXPECT_TRUE(ts::FileExistsForTest(work.File("_tone.wv"))) << enter.screen;
}

// Equal input and output paths: Enter at the second question takes its
// default, "n", and nothing is converted.
TEST(WineConsole, EnterAtTheEqualPathsQuestionStops) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"));
  const ConsoleRun run =
      RunInWineConsole({"-indir", ".", "-outdir", ".", "-format", "i16le", "-clock", "10"},
                       work.path(), {{kStartQuestion, {"y"}}, {kEqualQuestion, {"\r"}}});
  ASSERT_TRUE(run.finished) << run.screen;
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.screen.find(kEqualQuestion), std::string::npos) << run.screen;
  EXPECT_EQ(ts::ListNames(work.path()), (std::vector<std::string>{"tone.bin"}));
}

// Ctrl-C typed into the console while a large file is converted: the
// console control handler deletes the temporary files, says so and ends the
// program with 130.
TEST(WineConsole, CtrlCDuringAConversionCleansUpAndExitsWith130) {
  ts::TempDir work;
  // 16 Mi pairs: a conversion long enough to be interrupted while it runs.
  std::vector<std::int16_t> units(32u * 1024u * 1024u);
  for (std::size_t n = 0; n < units.size(); ++n)
    units[n] = static_cast<std::int16_t>(static_cast<int>(n % 20001) - 10000);
  ts::WriteFileBytes(work.File("big.bin"), ts::EncodeInt16(units, false));
  const ConsoleRun run =
      RunInWineConsole({"big.bin", "-format", "i16le", "-clock", "10"}, work.path(),
                       {{kStartQuestion, {"y"}}, {"Importing from file", {"\x03"}}});
  ASSERT_TRUE(run.finished) << run.screen;
  EXPECT_EQ(run.exitCode, 130) << run.screen;
  EXPECT_NE(run.screen.find("*** Interrupted."), std::string::npos) << run.screen;
  EXPECT_EQ(ts::ListNames(work.path()), (std::vector<std::string>{"big.bin"}));
}

// -batch in a console: nothing is typed, and the run ends on its own without
// a question or an exit prompt; the console, being a terminal, shows the bar.
TEST(WineConsole, BatchAsksNothingWaitsForNothingAndDrawsTheBar) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"));
  std::vector<std::string> args = kSingleFileArgs;
  args.insert(args.end(), {"-batch", "-out", "named.wv"});
  const ConsoleRun run = RunInWineConsole(args, work.path(), {});
  ASSERT_TRUE(run.finished) << run.screen;
  EXPECT_EQ(run.exitCode, 0) << run.screen;
  EXPECT_EQ(run.screen.find("(y/n)"), std::string::npos) << run.screen;
  EXPECT_EQ(run.screen.find(kExitPrompt), std::string::npos) << run.screen;
  EXPECT_NE(run.screen.find("Wavora.exe 1.6.0"), std::string::npos) << run.screen;
  EXPECT_NE(run.screen.find("[" + std::string(20, ' ') + "]"), std::string::npos) << run.screen;
  EXPECT_TRUE(ts::FileExistsForTest(work.File("named.wv")));
  EXPECT_FALSE(ts::FileExistsForTest(work.File("_tone.wv")));
}

// Standard output in a file, the keys on the console: the question and the
// exit prompt reach the console through standard error, the log the file.
TEST(WineConsole, QuestionsReachTheConsoleWhenOutputGoesToAFile) {
  ts::TempDir work;
  WriteTone(work.File("tone.bin"));
  const std::string log = work.File("stdout.log");
  const ConsoleRun run =
      RunInWineConsole(kSingleFileArgs, work.path(), {{kStartQuestion, {"y"}}}, log);
  ASSERT_TRUE(run.finished) << run.screen;
  EXPECT_EQ(run.exitCode, 0) << run.screen;
  EXPECT_NE(run.screen.find(kStartQuestion), std::string::npos) << run.screen;
  EXPECT_NE(run.screen.find(kExitPrompt), std::string::npos) << run.screen;
  EXPECT_TRUE(ts::FileExistsForTest(work.File("_tone.wv")));
  const std::string written = ts::ReadFileText(log);
  EXPECT_NE(written.find("File conversion finished successfully."), std::string::npos) << written;
  EXPECT_EQ(run.screen.find("File conversion finished successfully."), std::string::npos)
      << run.screen;
}

TEST(WineConsole, HelpAndVersionNeedNoKey) {
  ts::TempDir work;
  const ConsoleRun help = RunInWineConsole({"/?"}, work.path(), {});
  ASSERT_TRUE(help.finished) << help.screen;
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.screen.find("-version, --version"), std::string::npos) << help.screen;
  EXPECT_EQ(help.screen.find(kExitPrompt), std::string::npos) << help.screen;
  const ConsoleRun version = RunInWineConsole({"-version"}, work.path(), {});
  ASSERT_TRUE(version.finished) << version.screen;
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.screen.find("Wavora 1.6.0"), std::string::npos) << version.screen;
}

}  // namespace
