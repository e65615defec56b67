// Console output: time-stamped log lines behind a level mask, the console
// sink, and the progress bar that is redrawn in place on one console line.

#include "app/Console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/Platform.h"

namespace {

// Levels 8 and 4 until the entry point sets the mask from -v.
constexpr unsigned kInitialLogMask = kLogAlwaysShown | kLogError;

// The bar is 20 columns wide; each column stands for 5 percent.
constexpr int kPercentPerColumn = 5;
constexpr int kFullPercent = 100;

// The empty bar, then the cursor moved back to just behind the opening bracket.
constexpr const char* kEmptyBar =
    "[                    ]\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";

// Spinner characters for the remainder 1 to 4 of percent / 5, each followed by
// a backspace so that the cursor stays on it.
constexpr const char* kSpinner[kPercentPerColumn] = {"", "|\b", "/\b", "-\b", "\\\b"};

unsigned g_logMask = kInitialLogMask;
LogSink g_logSink = nullptr;
bool g_barShown = false;

const char* TagForLevel(unsigned level) {
  switch (level) {
    case kLogInfo:
      return " i ";
    case kLogWarning:
      return " w ";
    case kLogError:
      return " e ";
    case kLogAlwaysShown:
      return " ! ";
    default:
      return "";
  }
}

// Appends the texts, each cut so that the line never grows beyond kMaxLogLine.
void AppendTexts(std::string& line, std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (line.size() >= kMaxLogLine) break;
    const std::size_t room = kMaxLogLine - line.size();
    line.append(text.substr(0, room));
  }
}

void DeliverLine(const std::string& line) {
  if (g_logSink != nullptr) {
    g_logSink(line);
  } else {
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

void LogMessage(unsigned level, std::initializer_list<std::string_view> texts) {
  if ((g_logMask & level) == 0) return;
  const platform::LocalTime now = platform::GetLocalTime();
  std::string line =
      FormatText("%02d:%02d:%02d  %s", now.hour, now.minute, now.second, TagForLevel(level));
  AppendTexts(line, texts);
  DeliverLine(line);
}

void LogAlways(std::initializer_list<std::string_view> texts) {
  const platform::LocalTime now = platform::GetLocalTime();
  std::string line = FormatText("%02d:%02d:%02d   ", now.hour, now.minute, now.second);
  AppendTexts(line, texts);
  DeliverLine(line);
}

void SetLogMask(unsigned mask) { g_logMask = mask; }

unsigned GetLogMask() { return g_logMask; }

void SetLogSink(LogSink sink) { g_logSink = sink; }

unsigned LogMaskForVerbosity(int verbosity) {
  unsigned mask = kLogAlwaysShown;
  if (verbosity >= 1) mask |= kLogError;
  if (verbosity >= 2) mask |= kLogWarning;
  if (verbosity >= 3) mask |= kLogInfo;
  return mask;
}

void PrintLogLine(const std::string& line) {
  // A log line never continues a bar's console line.
  if (g_barShown) ShowProgress(-1);
  std::printf("> %s\n", line.c_str());
  std::fflush(stdout);
}

void ShowProgress(int percent) {
  if (percent < 0) {
    // Every negative call gives a line break, whether or not a bar is shown.
    std::fputs("\n", stdout);
    g_barShown = false;
    std::fflush(stdout);
    return;
  }
  if (percent > kFullPercent) percent = kFullPercent;

  std::fputs(kEmptyBar, stdout);
  const int columns = percent / kPercentPerColumn;
  const int remainder = percent % kPercentPerColumn;
  for (int k = 0; k < columns; ++k) std::fputc('=', stdout);
  std::fputs(kSpinner[remainder], stdout);

  // One backspace more than the characters drawn, so that the next drawing
  // starts from the opening bracket (or one column before it after a spinner).
  const int drawn = columns + (remainder != 0 ? 1 : 0);
  for (int k = 0; k < drawn + 1; ++k) std::fputc('\b', stdout);

  g_barShown = true;
  std::fflush(stdout);
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) {
    va_end(args);
    return std::string();
  }
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}
