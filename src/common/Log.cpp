// Time-stamped log lines behind a level mask, delivered to the sink.
#include "common/Log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/Platform.h"

namespace {

// Levels 8 and 4 until the entry point sets the mask from -v.
constexpr unsigned kInitialLogMask = kLogAlwaysShown | kLogError;

unsigned g_logMask = kInitialLogMask;
LogSink g_logSink = nullptr;
LogRecordSink g_recordSink = nullptr;
std::string g_firstError;  // the first "*** " line (no warning) since the reset

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

// line holds the stamp and tag, then the text from textStart on.
void DeliverLine(unsigned level, const std::string& line, std::size_t textStart) {
  if (g_firstError.empty()) {
    const std::string_view text = std::string_view(line).substr(std::min(textStart, line.size()));
    if (text.substr(0, 4) == "*** " && text.substr(0, 11) != "*** Warning") g_firstError = text;
  }
  if (g_recordSink != nullptr) {
    const std::string_view view(line);
    g_recordSink({level, view.substr(std::min(textStart, view.size())), view});
  } else if (g_logSink != nullptr) {
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
  const std::size_t textStart = line.size();
  AppendTexts(line, texts);
  DeliverLine(level, line, textStart);
}

void LogAlways(std::initializer_list<std::string_view> texts) {
  const platform::LocalTime now = platform::GetLocalTime();
  std::string line = FormatText("%02d:%02d:%02d   ", now.hour, now.minute, now.second);
  const std::size_t textStart = line.size();
  AppendTexts(line, texts);
  DeliverLine(0, line, textStart);
}

void LogFileReason(std::string_view path) {
  const std::string reason = platform::LastErrorText();
  LogMessage(kLogAlwaysShown, {"    ", path, ": ", reason.empty() ? "unknown error" : reason});
}

void ResetFirstError() { g_firstError.clear(); }

const std::string& FirstError() { return g_firstError; }

void SetLogMask(unsigned mask) { g_logMask = mask; }

unsigned GetLogMask() { return g_logMask; }

void SetLogSink(LogSink sink) { g_logSink = sink; }

void SetLogRecordSink(LogRecordSink sink) { g_recordSink = sink; }

unsigned LogMaskForVerbosity(int verbosity) {
  unsigned mask = kLogAlwaysShown;
  if (verbosity >= 1) mask |= kLogError;
  if (verbosity >= 2) mask |= kLogWarning;
  if (verbosity >= 3) mask |= kLogInfo;
  return mask;
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
