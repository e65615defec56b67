// Logging of the whole program: time-stamped lines filtered by a level mask
// and handed to one sink. The core logs through these calls only; the front
// end decides where the lines go.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

// Log levels, one bit each.
inline constexpr unsigned kLogInfo = 1;
inline constexpr unsigned kLogWarning = 2;
inline constexpr unsigned kLogError = 4;
inline constexpr unsigned kLogAlwaysShown = 8;

// A finished log line holds at most this many characters.
inline constexpr std::size_t kMaxLogLine = 1024;

using LogSink = void (*)(const std::string& line);

// One log line as its parts: the level (0 for LogAlways), the message text
// alone, and the finished line with time stamp and level tag.
struct LogRecord {
  unsigned level = 0;
  std::string_view text;
  std::string_view line;
};
using LogRecordSink = void (*)(const LogRecord& record);

// Logs one line made of the time stamp, the level's tag and the texts joined
// without separator, when the level passes the mask.
void LogMessage(unsigned level, std::initializer_list<std::string_view> texts);

// Logs one line made of the time stamp and the texts, whatever the mask.
void LogAlways(std::initializer_list<std::string_view> texts);

// Follows an error line about a file: logs at level 8 the path and the
// system's reason for the last failed platform call ("    <path>: <reason>").
// Call it before any other file operation, so the reason is that failure's.
void LogFileReason(std::string_view path);

// The first error line ("*** " but no "*** Warning") delivered since the last
// ResetFirstError, its text without time stamp; "" when there was none. It
// names what made a file fail in a run's summary.
void ResetFirstError();
const std::string& FirstError();

void SetLogMask(unsigned mask);
unsigned GetLogMask();
void SetLogSink(LogSink sink);  // nullptr: print "%s\n" directly
// A sink that receives each line's parts; while set, it takes the place of
// the line sink (nullptr: the line sink again).
void SetLogRecordSink(LogRecordSink sink);

// The mask for a -v value: 8, plus 4, 2 and 1 for -v of at least 1, 2 and 3.
unsigned LogMaskForVerbosity(int verbosity);

// snprintf into a std::string of any length.
std::string FormatText(const char* format, ...)
#if defined(__MINGW_PRINTF_FORMAT)
    // MinGW's g++ reads a plain printf archetype as the Microsoft dialect; the
    // runtime's own macro names the dialect its vsnprintf really speaks.
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
