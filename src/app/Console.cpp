// The console side of logging and progress: the sink that prints log lines
// and the progress bar that is redrawn in place on one console line.

#include "app/Console.h"

#include <cstdio>

namespace {

// The bar is 20 columns wide; each column stands for 5 percent.
constexpr int kPercentPerColumn = 5;
constexpr int kFullPercent = 100;

// The empty bar, then the cursor moved back to just behind the opening bracket.
constexpr const char* kEmptyBar =
    "[                    ]\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";

// Spinner characters for the remainder 1 to 4 of percent / 5, each followed by
// a backspace so that the cursor stays on it.
constexpr const char* kSpinner[kPercentPerColumn] = {"", "|\b", "/\b", "-\b", "\\\b"};

bool g_barShown = false;
bool g_barEnabled = true;
// What the shown bar holds: filled columns and spinner remainder.
int g_shownColumns = -1;
int g_shownRemainder = -1;

}  // namespace

void PrintLogLine(const std::string& line) {
  // A log line never continues a bar's console line.
  if (g_barShown) ShowProgress(-1);
  std::printf("> %s\n", line.c_str());
  std::fflush(stdout);
}

void PrintQuietRecord(const LogRecord& record) {
  // An indented line right after a "*** " line belongs to it (the path and
  // the system's reason, the way out); every other line is left out.
  static bool continuing = false;
  const std::string_view text = record.text;
  if (text.substr(0, 4) == "*** ") {
    continuing = true;
  } else if (!continuing || text.substr(0, 4) != "    ") {
    continuing = false;
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

void EnableProgressBar(bool enabled) { g_barEnabled = enabled; }

namespace {
std::FILE* g_resultStream = nullptr;
}  // namespace

void SetResultStream(std::FILE* stream) { g_resultStream = stream; }

std::FILE* ResultStream() { return g_resultStream; }

void ShowProgress(int percent) {
  if (!g_barEnabled) return;
  if (percent < 0) {
    // Every negative call gives a line break, whether or not a bar is shown.
    std::fputs("\n", stdout);
    g_barShown = false;
    std::fflush(stdout);
    return;
  }
  if (percent > kFullPercent) percent = kFullPercent;

  const int columns = percent / kPercentPerColumn;
  const int remainder = percent % kPercentPerColumn;
  // The same drawing again would change nothing on the console: a bar is
  // redrawn only when its drawing changes.
  if (g_barShown && columns == g_shownColumns && remainder == g_shownRemainder) return;
  g_shownColumns = columns;
  g_shownRemainder = remainder;

  std::fputs(kEmptyBar, stdout);
  for (int k = 0; k < columns; ++k) std::fputc('=', stdout);
  std::fputs(kSpinner[remainder], stdout);

  // One backspace more than the characters drawn, so that the next drawing
  // starts from the opening bracket (or one column before it after a spinner).
  const int drawn = columns + (remainder != 0 ? 1 : 0);
  for (int k = 0; k < drawn + 1; ++k) std::fputc('\b', stdout);

  g_barShown = true;
  std::fflush(stdout);
}
