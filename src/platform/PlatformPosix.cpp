// The POSIX side of the platform layer: stat/opendir for the file system,
// stdio streams with 64-bit seeks, localtime_r for the clock, and termios for
// the single-key console read.

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/FaultInjection.h"
#include "platform/Platform.h"

static_assert(sizeof(off_t) >= 8, "64-bit file offsets are needed for files of 2 GiB and more");

namespace platform {

namespace {

constexpr int kCarriageReturn = 13;
constexpr mode_t kNewDirectoryMode = 0777;  // narrowed by the process umask

// Maps a file type onto the attribute word of a directory entry: directories
// carry the directory bit; anything that is neither a directory nor a regular
// file (FIFO, socket, device) carries the system bit, so that the directory
// walk leaves it alone instead of blocking on it.
std::uint32_t AttributesOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return kAttrDirectory;
  if (S_ISREG(info.st_mode)) return 0;
  return kAttrSystem;
}

// The text of the last failed platform call; one per thread, so that a
// failure on one thread never names the reason of another's.
thread_local std::string t_lastErrorText;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// ---- single-key read on a terminal ----

// The terminal settings in force before raw mode, for the SIGINT handler.
// Written before the handler is installed and only read inside it.
struct termios g_savedTerminal;
volatile sig_atomic_t g_rawModeActive = 0;

extern "C" void RestoreTerminalAndDie(int signalNumber) {
  if (g_rawModeActive) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  // Die of the signal as if no handler had been installed.
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

// Puts the terminal into raw mode without echo for one key and restores it,
// and the previous SIGINT handler, on every way out of the scope.
class RawTerminalGuard {
 public:
  RawTerminalGuard() {
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return;
    struct sigaction action {};
    action.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, &previousAction_) != 0) return;
    handlerInstalled_ = true;

    struct termios raw = g_savedTerminal;
    // No line buffering and no echo; ISIG stays on so that Ctrl-C still
    // interrupts, and the handler above restores the terminal first.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_rawModeActive = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) g_rawModeActive = 0;
  }

  ~RawTerminalGuard() {
    if (g_rawModeActive) {
      tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
      g_rawModeActive = 0;
    }
    if (handlerInstalled_) sigaction(SIGINT, &previousAction_, nullptr);
  }

  RawTerminalGuard(const RawTerminalGuard&) = delete;
  RawTerminalGuard& operator=(const RawTerminalGuard&) = delete;

 private:
  struct sigaction previousAction_ {};
  bool handlerInstalled_ = false;
};

// One byte of standard input without stdio buffering, so that key reads and
// line reads never steal bytes from each other. -1 at the end of input or on
// an error.
int ReadOneByte() {
  unsigned char byte = 0;
  while (true) {
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

// ---- paths ----

char PathSeparator() { return '/'; }

bool IsAbsolutePath(const std::string& path) { return IsAbsolutePosixPath(path); }

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (true) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

// ---- file system queries ----

bool PathExists(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return true;
  // A symbolic link whose target is missing is still an object of that name.
  return lstat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool GetAttributes(const std::string& path, std::uint32_t* attributes) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *attributes = AttributesOf(info);
  return true;
}

bool GetFileSize(const std::string& path, std::int64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  *size = static_cast<std::int64_t>(info.st_size);
  return true;
}

bool ListDirectory(const std::string& dir, std::vector<DirEntry>* entries) {
  entries->clear();
  if (faults::NextFileFault(faults::FileOp::kListDirectory) != faults::Fault::kNone) {
    RecordInjectedFault();
    return false;
  }
  std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
  if (!handle) {
    RecordSystemError();
    return false;
  }
  while (true) {
    errno = 0;
    const struct dirent* entry = readdir(handle.get());
    if (entry == nullptr) {
      if (errno == 0) return true;
      RecordSystemError();
      return false;
    }
    DirEntry found;
    found.name = entry->d_name;
    struct stat info;
    if (stat(JoinPath(dir, found.name).c_str(), &info) == 0) {
      found.attributes = AttributesOf(info);
    } else {
      // A dangling symbolic link or an entry that vanished meanwhile: nothing
      // that can be read as a file.
      found.attributes = kAttrSystem;
    }
    entries->push_back(std::move(found));
  }
}

// ---- file system changes ----

bool MakeDirectory(const std::string& path) {
  if (faults::NextFileFault(faults::FileOp::kMakeDirectory) != faults::Fault::kNone) {
    RecordInjectedFault();
    return false;
  }
  if (mkdir(path.c_str(), kNewDirectoryMode) == 0) return true;
  RecordSystemError();
  return false;
}

// unlink, not remove: like the Win32 call it deletes files only, never a
// directory. A failed attempt on a file that is still there is tried once
// more: the program deletes only its own temporary and partial files, and
// one passing failure must not leave them behind.
bool RemoveFile(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (faults::NextFileFault(faults::FileOp::kRemove) == faults::Fault::kNone &&
        unlink(path.c_str()) == 0)
      return true;
    if (!PathExists(path)) return false;
  }
  return false;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  if (faults::NextFileFault(faults::FileOp::kRename) != faults::Fault::kNone) {
    RecordInjectedFault();
    return false;
  }
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  RecordSystemError();
  return false;
}

// ---- runtime streams ----

std::size_t ReadFile(std::FILE* file, void* buffer, std::size_t size) {
  if (faults::NextFileFault(faults::FileOp::kRead) != faults::Fault::kNone) {
    faults::MarkStreamFailed(file);
    return 0;
  }
  return std::fread(buffer, 1, size, file);
}

bool SeekFile(std::FILE* file, std::int64_t offset) {
  if (faults::NextFileFault(faults::FileOp::kSeek) != faults::Fault::kNone) return false;
  if (offset < 0 || offset > std::numeric_limits<off_t>::max()) return false;
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// ---- clock ----

LocalTime GetLocalTime() {
  const time_t now = time(nullptr);
  struct tm parts {};
  LocalTime local;
  if (localtime_r(&now, &parts) == nullptr) return local;
  local.year = parts.tm_year + 1900;
  local.month = parts.tm_mon + 1;
  local.day = parts.tm_mday;
  local.hour = parts.tm_hour;
  local.minute = parts.tm_min;
  local.second = parts.tm_sec;
  return local;
}

// ---- console ----

int ReadKey() {
  // The question must be on the screen before the program blocks on the key.
  std::fflush(stdout);
  std::fflush(stderr);
  int key = -1;
  if (isatty(STDIN_FILENO)) {
    RawTerminalGuard raw;
    key = ReadOneByte();
  } else {
    key = ReadOneByte();
  }
  if (key < 0) return 0;  // end of input takes each question's default
  if (key == '\n' || key == '\r') return kCarriageReturn;
  return key;
}

void WaitForEnter() {
  std::fflush(stdout);
  std::fflush(stderr);
  while (true) {
    const int byte = ReadOneByte();
    if (byte < 0 || byte == '\n') return;
  }
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

// ---- program identity ----

const char* ProgramFileName() { return "wavora"; }

const char* NativeHelpSwitch() { return nullptr; }

// ---- errors ----

std::string LastErrorText() { return t_lastErrorText; }

void ClearSystemError() { errno = 0; }

void RecordSystemError() {
  const int code = errno;
  t_lastErrorText = code != 0 ? std::strerror(code) : "unknown error";
}

void RecordInjectedFault() { t_lastErrorText = "injected fault"; }

}  // namespace platform
