// The POSIX side of the platform layer: stat/opendir for the file system,
// stdio streams with 64-bit seeks, localtime_r for the clock, termios for
// the single-key console read, getrandom for the random source, and the
// signal handlers that clean up after an interrupt.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/random.h>
#endif

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/FaultInjection.h"
#include "platform/InterruptRegistry.h"
#include "platform/Platform.h"

static_assert(sizeof(off_t) >= 8, "64-bit file offsets are needed for files of 2 GiB and more");

namespace platform {

namespace {

constexpr int kCarriageReturn = 13;
constexpr mode_t kNewDirectoryMode = 0777;   // narrowed by the process umask
constexpr mode_t kTemporaryFileMode = 0600;  // the owner only
constexpr mode_t kOutputFileMode = 0666;     // narrowed by the process umask

// The signals that end a run with cleanup, and the exit code of each.
struct InterruptSignal {
  int number;
  int exitCode;
};
constexpr InterruptSignal kInterruptSignals[] = {
    {SIGINT, kExitInterrupted},
    {SIGTERM, kExitTerminated},
    {SIGHUP, kExitHangUp},
    {SIGPIPE, kExitBrokenPipe},
};

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
// Set once InstallInterruptHandler has run: that handler restores the
// terminal itself, so a key read installs no handler of its own.
volatile sig_atomic_t g_interruptHandlerInstalled = 0;

bool UnlinkForInterrupt(const char* path) { return unlink(path) == 0; }

// Everything in here is safe inside a signal handler: atomic loads and
// stores, unlink, tcsetattr, write and _exit.
extern "C" void CleanUpAndExit(int signalNumber) {
  detail::RemoveRegisteredPaths(UnlinkForInterrupt);
  if (g_rawModeActive) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  // The line break ends a progress bar's line, so the line stands alone.
  static const char kLine[] = "\n";
  // Standard output without a reader would take nothing.
  const int out = signalNumber == SIGPIPE ? STDERR_FILENO : STDOUT_FILENO;
  (void)!write(out, kLine, 1);
  (void)!write(out, kInterruptedLine, std::strlen(kInterruptedLine));
  (void)!write(out, kLine, 1);
  int exitCode = kExitInterrupted;
  for (const InterruptSignal& handled : kInterruptSignals)
    if (handled.number == signalNumber) exitCode = handled.exitCode;
  _exit(exitCode);
}

// Keeps the handled signals away from the calling thread for the lifetime of
// the scope, so that a registration and the file operation it belongs to
// happen as one step as far as the handler can tell.
class InterruptBlock {
 public:
  InterruptBlock() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const InterruptSignal& handled : kInterruptSignals) sigaddset(&blocked, handled.number);
    active_ = pthread_sigmask(SIG_BLOCK, &blocked, &previous_) == 0;
  }
  ~InterruptBlock() {
    if (active_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  InterruptBlock(const InterruptBlock&) = delete;
  InterruptBlock& operator=(const InterruptBlock&) = delete;

 private:
  sigset_t previous_;
  bool active_ = false;
};

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
    if (!g_interruptHandlerInstalled) {
      struct sigaction action {};
      action.sa_handler = RestoreTerminalAndDie;
      sigemptyset(&action.sa_mask);
      if (sigaction(SIGINT, &action, &previousAction_) != 0) return;
      handlerInstalled_ = true;
    }

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

MoveResult MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (faults::NextFileFault(faults::FileOp::kRename) != faults::Fault::kNone) {
    RecordInjectedFault();
    return MoveResult::kFailed;
  }
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (!faults::NoReplaceRenameUnsupported()) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
      return MoveResult::kMoved;
    if (errno == EEXIST) return MoveResult::kDestinationExists;
    // Any other failure than a file system or kernel without the flag is final.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      RecordSystemError();
      return MoveResult::kFailed;
    }
  }
#endif
  // A hard link is made only where no name exists; the old name goes after.
  if (link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return MoveResult::kDestinationExists;
    RecordSystemError();
    return MoveResult::kFailed;
  }
  if (unlink(from.c_str()) != 0) unlink(from.c_str());
  return MoveResult::kMoved;
}

std::FILE* CreateNewFile(const std::string& path, NewFileKind kind) {
  if (faults::NextFileFault(faults::FileOp::kOpen) != faults::Fault::kNone) {
    RecordInjectedFault();
    return nullptr;
  }
  const mode_t mode = kind == NewFileKind::kTemporary ? kTemporaryFileMode : kOutputFileMode;
  InterruptBlock block;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    RecordSystemError();
    return nullptr;
  }
  // Undoes the creation when a later step fails: the file is ours alone.
  auto undo = [&]() {
    RecordSystemError();
    close(fd);
    unlink(path.c_str());
    return nullptr;
  };
  if (!detail::RegisterInterruptPath(path)) return undo();
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) {
    detail::UnregisterInterruptPath(path);
    return undo();
  }
  return file;
}

bool GetFileIdentity(const std::string& path, FileIdentity* identity) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  identity->volume = static_cast<std::uint64_t>(info.st_dev);
  identity->index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

// ---- random source ----

bool FillRandom(void* buffer, std::size_t size) {
  if (faults::RandomSourceFailing()) return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
#ifdef __linux__
  while (done < size) {
    const ssize_t got = getrandom(bytes + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
#else
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (done < size) {
    const ssize_t got = read(fd, bytes + done, size - done);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      close(fd);
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  close(fd);
#endif
  return true;
}

// ---- interrupts ----

void KeepInterruptsOffThisThread() {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const InterruptSignal& handled : kInterruptSignals) sigaddset(&blocked, handled.number);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

void InstallInterruptHandler() {
  if (g_interruptHandlerInstalled) return;
  // A write beyond the file-size limit then fails with EFBIG, and the
  // failing step reports it, instead of the signal ending the process
  // without a word and with its files left behind.
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = CleanUpAndExit;
  sigemptyset(&action.sa_mask);
  // A second signal must not interrupt the cleanup of the first.
  for (const InterruptSignal& handled : kInterruptSignals)
    sigaddset(&action.sa_mask, handled.number);
  for (const InterruptSignal& handled : kInterruptSignals) {
    // A signal the starting process chose to ignore stays ignored: a run
    // under nohup survives the hang-up, and a background job of a shell
    // without job control is not ended by the terminal's Ctrl-C. A broken
    // pipe is handled whatever the start: the rest of the run could report
    // nothing, and its files must not be left behind.
    struct sigaction inherited {};
    if (handled.number != SIGPIPE && sigaction(handled.number, nullptr, &inherited) == 0 &&
        inherited.sa_handler == SIG_IGN)
      continue;
    sigaction(handled.number, &action, nullptr);
  }
  g_interruptHandlerInstalled = 1;
}

bool RemoveOnInterrupt(const std::string& path) {
  InterruptBlock block;
  return detail::RegisterInterruptPath(path);
}

void ForgetOnInterrupt(const std::string& path) {
  InterruptBlock block;
  detail::UnregisterInterruptPath(path);
}

int RemoveRegisteredFiles() {
  InterruptBlock block;
  return detail::RemoveRegisteredPaths(UnlinkForInterrupt);
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

bool StdinIsTerminal() { return isatty(STDIN_FILENO) != 0; }

std::FILE* StandardInputBinary() { return stdin; }

std::FILE* SplitStandardOutput(bool) {
  std::fflush(stdout);
  const int copy = dup(STDOUT_FILENO);
  if (copy < 0) return nullptr;
  std::FILE* results = fdopen(copy, "w");
  if (results == nullptr) {
    close(copy);
    return nullptr;
  }
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::fclose(results);
    return nullptr;
  }
  return results;
}

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

void RecordErrorText(const std::string& text) { t_lastErrorText = text; }

void AdviseLargeBuffer(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Large pages cover only the whole 2 MiB ranges inside the buffer.
  constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (start + size) & ~(kLargePage - 1);
  if (data != nullptr && last > first)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

bool DiscardFileRange(std::FILE* file, std::int64_t offset, std::int64_t length) {
#if defined(__linux__) && defined(FALLOC_FL_PUNCH_HOLE)
  if (file == nullptr || offset < 0 || length <= 0) return false;
  return fallocate(fileno(file), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0;
#else
  (void)file;
  (void)offset;
  (void)length;
  return false;
#endif
}

// ---- input files ----

namespace {

InputKind InputKindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return InputKind::kRegular;
  if (S_ISDIR(info.st_mode)) return InputKind::kDirectory;
  if (S_ISFIFO(info.st_mode)) return InputKind::kFifo;
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return InputKind::kDevice;
  if (S_ISSOCK(info.st_mode)) return InputKind::kSocket;
  return InputKind::kOther;
}

}  // namespace

bool GetPathKind(const std::string& path, InputKind* kind) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *kind = InputKindOf(info);
  return true;
}

bool OpenInputFile(const std::string& path, OpenedInput* opened) {
  *opened = OpenedInput{};
  if (faults::NextFileFault(faults::FileOp::kOpen) != faults::Fault::kNone) {
    RecordInjectedFault();
    return false;
  }
  ClearSystemError();
  // O_NONBLOCK: opening a FIFO without a writer, or a device, returns at once.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    RecordSystemError();
    // A socket cannot be opened at all; say what it is rather than only why
    // the open failed.
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) opened->kind = InputKindOf(info);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    RecordSystemError();
    close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    opened->kind = InputKindOf(info);
    close(fd);
    return false;
  }
  // A regular file is read with ordinary blocking reads.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    RecordSystemError();
    close(fd);
    return false;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    RecordSystemError();
    close(fd);
    return false;
  }
  opened->file = file;
  opened->size = static_cast<std::int64_t>(info.st_size);
  opened->identity.volume = static_cast<std::uint64_t>(info.st_dev);
  opened->identity.index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

std::FILE* OpenNullDevice() { return OpenFile("/dev/null", "w+b"); }

}  // namespace platform
