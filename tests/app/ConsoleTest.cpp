// Console output: log line layout, the level mask, the 1024-character cut, the
// console sink and the progress bar as a terminal would show it.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/Console.h"

namespace {

std::vector<std::string> g_captured;

void CaptureLine(const std::string& line) { g_captured.push_back(line); }

// Installs a capturing sink and restores the program-wide state afterwards.
class ConsoleState : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMask_ = GetLogMask();
    g_captured.clear();
    SetLogSink(CaptureLine);
  }
  void TearDown() override {
    SetLogSink(nullptr);
    SetLogMask(savedMask_);
    g_captured.clear();
  }

 private:
  unsigned savedMask_ = 0;
};

// "HH:MM:SS" with a plausible clock reading, and what follows it.
::testing::AssertionResult HasTimeStamp(const std::string& line, std::string* rest) {
  static const std::regex stamp("^([0-9]{2}):([0-9]{2}):([0-9]{2})");
  std::smatch match;
  if (!std::regex_search(line, match, stamp))
    return ::testing::AssertionFailure() << "no time stamp in '" << line << "'";
  if (std::stoi(match[1]) > 23 || std::stoi(match[2]) > 59 || std::stoi(match[3]) > 60)
    return ::testing::AssertionFailure() << "impossible time in '" << line << "'";
  *rest = line.substr(8);
  return ::testing::AssertionSuccess();
}

// What a terminal shows after printing text on a fresh line: characters
// overwrite, a backspace moves the cursor left (never past the line start).
struct TerminalLine {
  std::string visible;
  std::size_t cursor = 0;
  int lineBreaks = 0;
};

TerminalLine RenderOnTerminal(const std::string& text) {
  TerminalLine screen;
  for (char c : text) {
    if (c == '\b') {
      if (screen.cursor > 0) --screen.cursor;
    } else if (c == '\n') {
      ++screen.lineBreaks;
      screen.visible.clear();
      screen.cursor = 0;
    } else {
      if (screen.cursor < screen.visible.size())
        screen.visible[screen.cursor] = c;
      else
        screen.visible.push_back(c);
      ++screen.cursor;
    }
  }
  return screen;
}

std::string DrawBar(int percent) {
  testing::internal::CaptureStdout();
  ShowProgress(percent);
  return testing::internal::GetCapturedStdout();
}

TEST_F(ConsoleState, LogLinesCarryTimeStampTagAndJoinedTexts) {
  SetLogMask(kLogInfo | kLogWarning | kLogError | kLogAlwaysShown);
  LogMessage(kLogAlwaysShown, {"*** Destination file already exists."});
  LogMessage(kLogInfo, {"Searching in directory ", "/data"});
  LogMessage(kLogWarning, {"w"});
  LogMessage(kLogError, {"e"});
  LogMessage(kLogAlwaysShown, {""});
  LogAlways({"Blowfish ", "self test", " ok"});
  // A level that is none of the four has no tag but still passes the mask.
  LogMessage(kLogInfo | kLogWarning, {"untagged"});
  ASSERT_EQ(g_captured.size(), 7u);

  const std::vector<std::string> expectedRest = {
      "   ! *** Destination file already exists.",
      "   i Searching in directory /data",
      "   w w",
      "   e e",
      "   ! ",
      "   Blowfish self test ok",
      "  untagged",
  };
  for (std::size_t k = 0; k < expectedRest.size(); ++k) {
    std::string rest;
    ASSERT_TRUE(HasTimeStamp(g_captured[k], &rest));
    EXPECT_EQ(rest, expectedRest[k]) << "line " << k;
  }
}

TEST_F(ConsoleState, MaskForEachVerbosityShowsTheDocumentedLevels) {
  struct Case {
    int verbosity;
    std::vector<unsigned> visible;
  };
  const std::vector<Case> cases = {
      {-3, {8}}, {0, {8}}, {1, {4, 8}}, {2, {2, 4, 8}}, {3, {1, 2, 4, 8}}, {7, {1, 2, 4, 8}},
  };
  for (const Case& c : cases) {
    SetLogMask(LogMaskForVerbosity(c.verbosity));
    g_captured.clear();
    for (unsigned level : {1u, 2u, 4u, 8u}) LogMessage(level, {std::to_string(level)});
    LogAlways({"always"});
    std::vector<std::string> expected;
    for (unsigned level : c.visible) expected.push_back(std::to_string(level));
    expected.push_back("always");
    ASSERT_EQ(g_captured.size(), expected.size()) << "verbosity " << c.verbosity;
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const std::string& line = g_captured[k];
      EXPECT_EQ(line.substr(line.size() - expected[k].size()), expected[k])
          << "verbosity " << c.verbosity;
    }
  }
}

TEST_F(ConsoleState, LongLinesAreCutAt1024Characters) {
  SetLogMask(kLogAlwaysShown);
  const std::string longText(3000, 'a');
  LogAlways({longText});
  LogMessage(kLogAlwaysShown, {std::string(1000, 'x'), std::string(100, 'y'), "z"});
  // Exactly at the limit nothing is cut.
  const std::size_t alwaysPrefix = std::string("hh:mm:ss   ").size();
  LogAlways({std::string(kMaxLogLine - alwaysPrefix, 'b')});
  ASSERT_EQ(g_captured.size(), 3u);

  EXPECT_EQ(g_captured[0].size(), 1024u);
  EXPECT_EQ(g_captured[0].substr(alwaysPrefix), std::string(1024 - alwaysPrefix, 'a'));

  const std::size_t taggedPrefix = std::string("hh:mm:ss   ! ").size();
  const std::string expectedTexts =
      std::string(1000, 'x') + std::string(1024 - taggedPrefix - 1000, 'y');
  EXPECT_EQ(g_captured[1].size(), 1024u);
  EXPECT_EQ(g_captured[1].substr(taggedPrefix), expectedTexts);

  EXPECT_EQ(g_captured[2].size(), 1024u);
  EXPECT_EQ(g_captured[2].back(), 'b');
}

TEST_F(ConsoleState, WithoutSinkLinesArePrintedPlain) {
  SetLogSink(nullptr);
  SetLogMask(kLogAlwaysShown);
  testing::internal::CaptureStdout();
  LogAlways({"plain"});
  LogMessage(kLogInfo, {"hidden"});
  const std::string out = testing::internal::GetCapturedStdout();
  std::string rest;
  ASSERT_TRUE(HasTimeStamp(out, &rest));
  EXPECT_EQ(rest, "   plain\n");
}

TEST(ConsoleSink, PrintsLineAndEndsAShownBarFirst) {
  testing::internal::CaptureStdout();
  PrintLogLine("12:00:00   ! first");
  ShowProgress(40);
  PrintLogLine("12:00:01   ! second");
  PrintLogLine("12:00:02   ! third");
  const std::string out = testing::internal::GetCapturedStdout();

  const std::string first = "> 12:00:00   ! first\n";
  ASSERT_EQ(out.substr(0, first.size()), first);
  // The bar drawing, then one line break before "second" and none before "third".
  const std::string tail = "\n> 12:00:01   ! second\n> 12:00:02   ! third\n";
  ASSERT_GE(out.size(), first.size() + tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  const std::string bar = out.substr(first.size(), out.size() - first.size() - tail.size());
  EXPECT_EQ(RenderOnTerminal(bar).visible, "[========            ]");
}

TEST(ProgressBar, DrawingsShowTheFilledColumnsAndSpinner) {
  struct Case {
    int percent;
    const char* shown;
  };
  const std::vector<Case> cases = {
      {0, "[                    ]"},   {7, "[=/                  ]"},
      {11, "[==|                 ]"},  {13, "[==-                 ]"},
      {19, "[===\\                ]"}, {100, "[====================]"},
  };
  for (const Case& c : cases) {
    const TerminalLine screen = RenderOnTerminal(DrawBar(c.percent));
    EXPECT_EQ(screen.visible, c.shown) << c.percent << "%";
    EXPECT_EQ(screen.lineBreaks, 0);
    // Back at the line start, so the next drawing lands on the same columns.
    EXPECT_EQ(screen.cursor, 0u) << c.percent << "%";
  }
  ShowProgress(-1);
}

TEST(ProgressBar, BytesOfABarWithSpinner) {
  // Bracket, 20 blanks, bracket, 21 backspaces; one "=", the spinner "/" and
  // its backspace; then one backspace more than the two characters drawn.
  const std::string expected =
      "[" + std::string(20, ' ') + "]" + std::string(21, '\b') + "=/\b" + std::string(3, '\b');
  EXPECT_EQ(DrawBar(7), expected);
  const std::string empty = "[" + std::string(20, ' ') + "]" + std::string(21, '\b') + "\b";
  EXPECT_EQ(DrawBar(0), empty);
  ShowProgress(-1);
}

TEST(ProgressBar, ValuesAbove100DrawTheFullBar) {
  const std::string full = DrawBar(100);
  ShowProgress(-1);
  EXPECT_EQ(DrawBar(150), full);
  EXPECT_EQ(RenderOnTerminal(full).visible, "[" + std::string(20, '=') + "]");
  ShowProgress(-1);
}

TEST(ProgressBar, RedrawingOverwritesInPlace) {
  const TerminalLine screen = RenderOnTerminal(DrawBar(7) + DrawBar(12) + DrawBar(45));
  EXPECT_EQ(screen.visible, "[=========           ]");
  EXPECT_EQ(screen.lineBreaks, 0);
  ShowProgress(-1);
}

// A value that gives the drawing already shown writes nothing; a changed
// spinner or column redraws, and a new bar after an ended one draws again.
TEST(ProgressBar, RedrawsOnlyWhenTheDrawingChanges) {
  const std::string seven = DrawBar(7);
  EXPECT_FALSE(seven.empty());
  EXPECT_EQ(DrawBar(7), "");
  EXPECT_EQ(RenderOnTerminal(seven + DrawBar(8)).visible, "[=-                  ]");
  EXPECT_EQ(RenderOnTerminal(DrawBar(10)).visible, "[==                  ]");
  EXPECT_EQ(DrawBar(10), "");
  EXPECT_FALSE(DrawBar(100).empty());
  EXPECT_EQ(DrawBar(150), "");
  // A new bar, after an ended one or a log line, is drawn again.
  ShowProgress(-1);
  EXPECT_EQ(DrawBar(7), seven);
  testing::internal::CaptureStdout();
  PrintLogLine("x");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(DrawBar(7), seven);
  ShowProgress(-1);
}

TEST(ProgressBar, NegativeValueAlwaysGivesALineBreak) {
  testing::internal::CaptureStdout();
  ShowProgress(-1);  // no bar shown: still a line break
  ShowProgress(-1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n\n");
  // After an ended bar a log line is printed without an extra line break.
  testing::internal::CaptureStdout();
  ShowProgress(30);
  ShowProgress(-5);
  PrintLogLine("x");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(out.size() - 5), "\n> x\n");
  EXPECT_EQ(RenderOnTerminal(out).lineBreaks, 2);
}

// Off (standard output is no terminal): neither the drawing nor the line
// break that ends a bar reaches the output; log lines are unchanged.
TEST(ProgressBar, SwitchedOffPrintsNothing) {
  EnableProgressBar(false);
  testing::internal::CaptureStdout();
  ShowProgress(-1);
  ShowProgress(0);
  ShowProgress(55);
  ShowProgress(-1);
  PrintLogLine("x");
  const std::string off = testing::internal::GetCapturedStdout();
  EnableProgressBar(true);
  EXPECT_EQ(off, "> x\n");
  testing::internal::CaptureStdout();
  ShowProgress(55);
  PrintLogLine("x");
  EXPECT_EQ(RenderOnTerminal(testing::internal::GetCapturedStdout()).lineBreaks, 2);
}

TEST(FormatText, FormatsTextOfAnyLength) {
  const std::string big(5000, 'q');
  EXPECT_EQ(FormatText("%s-%d", big.c_str(), 42), big + "-42");
  EXPECT_EQ(FormatText("%02d:%02d:%02d", 7, 5, 0), "07:05:00");
  EXPECT_EQ(FormatText("%s", ""), "");
}

}  // namespace
