// The Win32 side of the platform layer: KERNEL32 for the file system and the
// current directory, the C runtime for streams and the clock, conio for the
// single-key console read, BCryptGenRandom for the random source, and a
// console control handler that cleans up after Ctrl-C or a closed console.

// The runtime's portable stream calls are used on purpose; the warning that
// asks for the _s variants does not apply.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
// windows.h maps ReplaceFile onto ReplaceFileA; the platform layer has its own
// function of that name, which must keep it in every translation unit.
#ifdef ReplaceFile
#undef ReplaceFile
#endif

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/InterruptRegistry.h"
#include "platform/Platform.h"

namespace platform {

namespace {

constexpr int kCarriageReturn = 13;
constexpr int kStdinHandle = 0;  // runtime descriptor of standard input

// _getch delivers a function or cursor key as a prefix code followed by the
// key's own code.
constexpr int kFunctionKeyPrefix = 0;
constexpr int kCursorKeyPrefix = 0xE0;

// Largest piece of one runtime read. Wine checks every page of a read's
// destination before it reads, so one 16 MiB request for a short file would
// touch 4096 fresh pages; in pieces only the pages that receive bytes are
// touched. Windows itself gives the same result either way.
constexpr std::size_t kReadPieceBytes = 64 * 1024;

// The console control handler runs on a thread of its own while the program
// goes on. Registrations take this lock; the handler takes it and never gives
// it back, so the registry holds still from the cleanup to the end.
SRWLOCK g_registryLock = SRWLOCK_INIT;
bool g_interruptHandlerInstalled = false;
// The console mode of standard input before the run, restored on interrupt.
DWORD g_savedConsoleMode = 0;
bool g_consoleModeSaved = false;

class RegistryLock {
 public:
  RegistryLock() { AcquireSRWLockExclusive(&g_registryLock); }
  ~RegistryLock() { ReleaseSRWLockExclusive(&g_registryLock); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
};

// Files of the program are created with FILE_SHARE_DELETE, so this removes
// them even while the program still has them open: the name goes at once or
// when the last handle closes, at the latest when the process ends.
bool DeleteForInterrupt(const char* path) { return DeleteFileA(path) != 0; }

BOOL WINAPI OnConsoleControl(DWORD event) {
  int exitCode = kExitInterrupted;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      exitCode = kExitHangUp;
      break;
    default:
      return FALSE;
  }
  AcquireSRWLockExclusive(&g_registryLock);
  detail::RemoveRegisteredPaths(DeleteForInterrupt);
  if (g_consoleModeSaved) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_savedConsoleMode);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != INVALID_HANDLE_VALUE && out != nullptr) {
    const std::string line = std::string("\r\n") + kInterruptedLine + "\r\n";
    DWORD written = 0;
    ::WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  // Ends every thread at once; the handles close, and with them the names
  // deleted above disappear.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
  return TRUE;
}

// The text of the last failed platform call; one per thread, so that a
// failure on one thread never names the reason of another's.
thread_local std::string t_lastErrorText;

// The system's message for a Win32 error code, without its line end.
std::string Win32ErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message;
  if (length != 0 && text != nullptr) message.assign(text, length);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  if (message.empty()) message = "Windows error " + std::to_string(code);
  return message;
}

struct FindCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

bool QueryAttributes(const std::string& path, DWORD* attributes) {
  const DWORD found = GetFileAttributesA(path.c_str());
  if (found == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = found;
  return true;
}

// True when standard input is a console, not a pipe, a file or the NUL
// device (which _isatty counts as a character device too).
bool StdinIsConsole() {
  const std::intptr_t handle = _get_osfhandle(kStdinHandle);
  if (handle == -1) return false;
  DWORD mode = 0;
  return GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

// One byte of standard input through the runtime's descriptor, so that key
// reads from a pipe and line reads never steal bytes from each other. The
// descriptor is switched to binary mode first: in text mode the runtime would
// fold CR LF into one byte and take a Ctrl-Z byte for the end of input, where
// the bytes must arrive as they are, as on every other platform. The mode is
// set on every read: it belongs to the descriptor, which may have been
// replaced since the last one. -1 at the end of input or on an error.
int ReadOneByte() {
  _setmode(kStdinHandle, _O_BINARY);
  unsigned char byte = 0;
  if (_read(kStdinHandle, &byte, 1) != 1) return -1;
  return byte;
}

}  // namespace

// ---- paths ----

char PathSeparator() { return '\\'; }

bool IsAbsolutePath(const std::string& path) { return IsAbsoluteWindowsPath(path); }

std::string CurrentDirectory() {
  // The first call reports the size needed, terminator included.
  const DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0) return std::string();
  std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
  const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return std::string();
  return std::string(buffer.data(), length);
}

// ---- file system queries ----

bool PathExists(const std::string& path) {
  DWORD attributes = 0;
  return QueryAttributes(path, &attributes);
}

bool IsDirectory(const std::string& path) {
  DWORD attributes = 0;
  return QueryAttributes(path, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool GetAttributes(const std::string& path, std::uint32_t* attributes) {
  DWORD found = 0;
  if (!QueryAttributes(path, &found)) return false;
  // The Win32 attribute bits are the platform layer's bits.
  *attributes = static_cast<std::uint32_t>(found);
  return true;
}

bool GetFileSize(const std::string& path, std::int64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  *size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                    data.nFileSizeLow);
  return true;
}

bool ListDirectory(const std::string& dir, std::vector<DirEntry>* entries) {
  entries->clear();
  if (faults::NextFileFault(faults::FileOp::kListDirectory) != faults::Fault::kNone) return false;
  const std::string pattern = dir + "\\*.*";
  WIN32_FIND_DATAA found;
  FindHandle handle(FindFirstFileA(pattern.c_str(), &found));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    RecordSystemError();
    // A readable directory without any entry (a drive root can be one).
    return code == ERROR_FILE_NOT_FOUND && IsDirectory(dir);
  }
  do {
    DirEntry entry;
    entry.name = found.cFileName;
    entry.attributes = static_cast<std::uint32_t>(found.dwFileAttributes);
    entries->push_back(std::move(entry));
  } while (FindNextFileA(handle.get(), &found));
  if (GetLastError() == ERROR_NO_MORE_FILES) return true;
  RecordSystemError();
  return false;
}

// ---- file system changes ----

bool MakeDirectory(const std::string& path) {
  if (faults::NextFileFault(faults::FileOp::kMakeDirectory) != faults::Fault::kNone) {
    RecordInjectedFault();
    return false;
  }
  ClearSystemError();
  if (CreateDirectoryA(path.c_str(), nullptr) != 0) return true;
  RecordSystemError();
  return false;
}

// A failed attempt on a file that is still there is tried once more: a virus
// scanner or indexer that briefly holds a file just closed makes the first
// DeleteFileA fail, and the program deletes only its own temporary and
// partial files, which must not stay behind.
bool RemoveFile(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (faults::NextFileFault(faults::FileOp::kRemove) == faults::Fault::kNone &&
        DeleteFileA(path.c_str()) != 0)
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
  ClearSystemError();
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) return true;
  RecordSystemError();
  return false;
}

MoveResult MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (faults::NextFileFault(faults::FileOp::kRename) != faults::Fault::kNone) {
    RecordInjectedFault();
    return MoveResult::kFailed;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails on any existing name.
  if (MoveFileExA(from.c_str(), to.c_str(), 0) != 0) return MoveResult::kMoved;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
    return MoveResult::kDestinationExists;
  RecordSystemError();
  return MoveResult::kFailed;
}

std::FILE* CreateNewFile(const std::string& path, NewFileKind kind) {
  if (faults::NextFileFault(faults::FileOp::kOpen) != faults::Fault::kNone) {
    RecordInjectedFault();
    return nullptr;
  }
  (void)kind;  // a new file takes the folder's permissions on Windows
  RegistryLock lock;
  // CREATE_NEW fails on every existing name, a symbolic link or junction
  // included. FILE_SHARE_DELETE lets the interrupt handler delete the file
  // while it is open.
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    RecordSystemError();
    return nullptr;
  }
  auto undo = [&]() {
    CloseHandle(handle);
    DeleteFileA(path.c_str());
    return nullptr;
  };
  if (!detail::RegisterInterruptPath(path)) return undo();
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    detail::UnregisterInterruptPath(path);
    return undo();
  }
  std::FILE* file = _fdopen(fd, "w+b");
  if (file == nullptr) {
    detail::UnregisterInterruptPath(path);
    _close(fd);  // closes the handle too
    DeleteFileA(path.c_str());
    return nullptr;
  }
  return file;
}

bool GetFileIdentity(const std::string& path, FileIdentity* identity) {
  // FILE_FLAG_BACKUP_SEMANTICS opens directories too; no access right is
  // needed to read the identity.
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(handle, &info);
  CloseHandle(handle);
  if (!ok) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

// ---- random source ----

bool FillRandom(void* buffer, std::size_t size) {
  if (faults::RandomSourceFailing()) return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 20));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    bytes += piece;
    size -= piece;
  }
  return true;
}

// ---- interrupts ----

// The console control handler runs on a thread of its own; worker threads
// need nothing.
void KeepInterruptsOffThisThread() {}

void InstallInterruptHandler() {
  if (g_interruptHandlerInstalled) return;
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    g_savedConsoleMode = mode;
    g_consoleModeSaved = true;
  }
  // Windows has no file-size signal; nothing to ignore.
  g_interruptHandlerInstalled = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

bool RemoveOnInterrupt(const std::string& path) {
  RegistryLock lock;
  return detail::RegisterInterruptPath(path);
}

void ForgetOnInterrupt(const std::string& path) {
  RegistryLock lock;
  detail::UnregisterInterruptPath(path);
}

int RemoveRegisteredFiles() {
  RegistryLock lock;
  return detail::RemoveRegisteredPaths(DeleteForInterrupt);
}

// ---- runtime streams ----

std::size_t ReadFile(std::FILE* file, void* buffer, std::size_t size) {
  if (faults::NextFileFault(faults::FileOp::kRead) != faults::Fault::kNone) {
    faults::MarkStreamFailed(file);
    return 0;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t piece = std::min(size - done, kReadPieceBytes);
    const std::size_t got = std::fread(bytes + done, 1, piece, file);
    done += got;
    // A short piece is the end of the file or an error; the stream's
    // indicators tell which, as after one large read.
    if (got < piece) break;
  }
  return done;
}

bool SeekFile(std::FILE* file, std::int64_t offset) {
  if (faults::NextFileFault(faults::FileOp::kSeek) != faults::Fault::kNone) return false;
  if (offset < 0) return false;
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

// ---- clock ----

LocalTime GetLocalTime() {
  const time_t now = time(nullptr);
  struct tm parts {};
  LocalTime local;
  if (localtime_s(&parts, &now) != 0) return local;
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
  if (StdinIsConsole()) {
    // _getch reads one key without echo and leaves the console mode as it was.
    key = _getch();
    if (key == kFunctionKeyPrefix || key == kCursorKeyPrefix) {
      // Take the key's own code too, so that it is not read as a later key.
      (void)_getch();
    }
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

// A console, not a pipe, a file or the NUL device (which _isatty counts as a
// character device too).
bool StdoutIsTerminal() {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

std::FILE* StandardInputBinary() {
  _setmode(_fileno(stdin), _O_BINARY);
  return stdin;
}

std::FILE* SplitStandardOutput(bool binary) {
  std::fflush(stdout);
  const int copy = _dup(_fileno(stdout));
  if (copy < 0) return nullptr;
  if (binary) _setmode(copy, _O_BINARY);
  std::FILE* results = _fdopen(copy, binary ? "wb" : "w");
  if (results == nullptr) {
    _close(copy);
    return nullptr;
  }
  if (_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
    std::fclose(results);
    return nullptr;
  }
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  return results;
}

bool StdinIsTerminal() {
  const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// ---- program identity ----

const char* ProgramFileName() { return "Wavora.exe"; }

const char* NativeHelpSwitch() { return "/?"; }

// ---- errors ----

std::string LastErrorText() { return t_lastErrorText; }

void ClearSystemError() {
  SetLastError(0);
  errno = 0;
}

// The Win32 code when the failed call set one (the runtime's stream calls
// set it too, through the KERNEL32 call beneath them), else errno.
void RecordSystemError() {
  const DWORD code = GetLastError();
  if (code != 0) {
    t_lastErrorText = Win32ErrorText(code);
    return;
  }
  const int runtimeCode = errno;
  t_lastErrorText = runtimeCode != 0 ? std::strerror(runtimeCode) : "unknown error";
}

void RecordInjectedFault() { t_lastErrorText = "injected fault"; }

void RecordErrorText(const std::string& text) { t_lastErrorText = text; }

// Large pages need a privilege on Windows that a user rarely has.
void AdviseLargeBuffer(void*, std::size_t) {}

// Temporary files are not sparse on Windows; their space stays until they
// are deleted.
bool DiscardFileRange(std::FILE*, std::int64_t, std::int64_t) { return false; }

// ---- input files ----

bool GetPathKind(const std::string& path, InputKind* kind) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  *kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? InputKind::kDirectory
          : (attributes & FILE_ATTRIBUTE_DEVICE) != 0  ? InputKind::kDevice
                                                       : InputKind::kRegular;
  if (*kind != InputKind::kRegular) return true;
  // A device name (NUL, CON, COM1) or a pipe shows as what it is only on an
  // open handle; no access right is needed to ask.
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return true;
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  if (type == FILE_TYPE_PIPE) *kind = InputKind::kFifo;
  if (type == FILE_TYPE_CHAR) *kind = InputKind::kDevice;
  return true;
}

bool OpenInputFile(const std::string& path, OpenedInput* opened) {
  *opened = OpenedInput{};
  if (faults::NextFileFault(faults::FileOp::kOpen) != faults::Fault::kNone) {
    RecordInjectedFault();
    return false;
  }
  ClearSystemError();
  // The sharing of the runtime's fopen; FILE_FLAG_BACKUP_SEMANTICS opens a
  // directory too, so that it can be named as what it is.
  const HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    RecordSystemError();
    return false;
  }
  auto refuse = [&](InputKind kind) {
    opened->kind = kind;
    CloseHandle(handle);
    return false;
  };
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_PIPE) return refuse(InputKind::kFifo);
  if (type == FILE_TYPE_CHAR) return refuse(InputKind::kDevice);
  if (type != FILE_TYPE_DISK) return refuse(InputKind::kOther);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    RecordSystemError();
    CloseHandle(handle);
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return refuse(InputKind::kDirectory);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return refuse(InputKind::kDevice);
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    RecordSystemError();
    CloseHandle(handle);
    return false;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) {
    RecordSystemError();
    _close(fd);  // closes the handle too
    return false;
  }
  opened->file = file;
  opened->size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                           info.nFileSizeLow);
  opened->identity.volume = info.dwVolumeSerialNumber;
  opened->identity.index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

std::FILE* OpenNullDevice() { return OpenFile("NUL", "w+b"); }

}  // namespace platform
