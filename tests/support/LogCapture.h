// Log lines of a test, collected instead of printed: StartLogCapture makes
// the collector the log sink with every level shown, StopLogCapture prints
// again.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "common/Log.h"

namespace testing_support {

inline std::vector<std::string>& CapturedLogLines() {
  static std::vector<std::string> lines;
  return lines;
}

inline void CaptureLogLine(const std::string& line) { CapturedLogLines().push_back(line); }

inline void StartLogCapture() {
  CapturedLogLines().clear();
  SetLogSink(CaptureLogLine);
  SetLogMask(15);
}

inline void StopLogCapture() { SetLogSink(nullptr); }

// True when a collected line contains part.
inline bool LoggedPart(const std::string& part) {
  const std::vector<std::string>& lines = CapturedLogLines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

}  // namespace testing_support
