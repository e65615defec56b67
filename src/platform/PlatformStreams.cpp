// The runtime-stream calls that are the same on every platform: standard C
// streams behind the fault seam. Reads and seeks differ per platform and live
// in PlatformPosix.cpp and PlatformWin32.cpp.

#include <cstdio>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/Platform.h"

namespace platform {

std::FILE* OpenFile(const std::string& path, const char* mode) {
  if (faults::NextFileFault(faults::FileOp::kOpen) != faults::Fault::kNone) {
    RecordInjectedFault();
    return nullptr;
  }
  ClearSystemError();
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr) RecordSystemError();
  return file;
}

int CloseFile(std::FILE* file) {
  if (file == nullptr) return EOF;
  // An injected failure still closes the stream, as a failed fclose does.
  const bool injected = faults::NextFileFault(faults::FileOp::kClose) != faults::Fault::kNone;
  faults::ForgetStream(file);
  ClearSystemError();
  const int result = std::fclose(file);
  if (result != 0) RecordSystemError();
  if (injected) RecordInjectedFault();
  return injected ? EOF : result;
}

std::size_t WriteFile(std::FILE* file, const void* buffer, std::size_t size) {
  switch (faults::NextFileFault(faults::FileOp::kWrite)) {
    case faults::Fault::kNone:
      break;
    case faults::Fault::kShortWrite:
      faults::MarkStreamFailed(file);
      RecordInjectedFault();
      return std::fwrite(buffer, 1, size / 2, file);
    case faults::Fault::kFail:
      faults::MarkStreamFailed(file);
      RecordInjectedFault();
      return 0;
  }
  ClearSystemError();
  const std::size_t written = std::fwrite(buffer, 1, size, file);
  if (written != size) RecordSystemError();
  return written;
}

void RewindFile(std::FILE* file) {
  faults::ForgetStream(file);  // rewind clears the error indicator
  std::rewind(file);
}

void SetUnbuffered(std::FILE* file) { std::setvbuf(file, nullptr, _IONBF, 0); }

void LineBufferStandardOutput() {
  if (StdoutIsTerminal()) return;
#if defined(_WIN32)
  // The Windows runtime takes line buffering for full buffering.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
}

bool FlushStandardOutput() {
  // No ClearSystemError first: a write that failed inside an earlier print
  // (a line-buffered stream writes at every line end) left its errno, and
  // the flush of what remains usually fails the same way.
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !std::ferror(stdout)) return true;
  RecordSystemError();
  return false;
}

// ---- input files ----

const char* InputKindText(InputKind kind) {
  switch (kind) {
    case InputKind::kRegular:
      return "";
    case InputKind::kDirectory:
      return "is a directory";
    case InputKind::kFifo:
      return "is a FIFO";
    case InputKind::kDevice:
      return "is a device";
    case InputKind::kSocket:
      return "is a socket";
    case InputKind::kOther:
      break;
  }
  return "is not a regular file";
}

}  // namespace platform
