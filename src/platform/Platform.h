// The operating-system seam of Wavora. Everything that touches the file
// system, the console or the clock goes through these functions; the POSIX
// side lives in PlatformPosix.cpp and the Win32 side in PlatformWin32.cpp, so
// the rest of the program is the same on every platform.
#pragma once

#include <compare>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Attribute bits of a directory entry, as the Win32 file system reports them.
// The POSIX side maps its file types onto the same bits.
inline constexpr std::uint32_t kAttrSystem = 4;
inline constexpr std::uint32_t kAttrDirectory = 16;
inline constexpr std::uint32_t kAttrTemporary = 256;

// Longest path, in characters, that any path the program builds may have.
inline constexpr std::size_t kMaxPathChars = 259;

// ---- paths ----

// The separator the program joins path components with: '/' or '\\'.
char PathSeparator();

// POSIX: begins with '/'. Windows: second character ':' or first character '\\'.
bool IsAbsolutePath(const std::string& path);

// The two rules on their own, available on every platform (pure string tests).
bool IsAbsolutePosixPath(const std::string& path);
bool IsAbsoluteWindowsPath(const std::string& path);

// dir + separator + name.
std::string JoinPath(const std::string& dir, const std::string& name);

// The last component of a path (after the last separator; on Windows also
// after a '/' or a drive colon).
std::string FileNamePart(const std::string& path);

// Everything before the last separator, or "" when the path has none.
std::string DirectoryPart(const std::string& path);

// The path with letter case folded as the platform's file names compare:
// Windows file names ignore the case of ASCII letters, so they are lowered
// there; POSIX names compare byte for byte and are returned unchanged. For
// telling whether two paths the program built name the same object.
std::string FoldPathCase(const std::string& path);

// The process's current directory; "" when it cannot be read.
std::string CurrentDirectory();

// ---- file system queries ----

// Any file system object of that name exists.
bool PathExists(const std::string& path);

// The path exists and is a directory.
bool IsDirectory(const std::string& path);

// Attribute word of the path (kAttr* bits); false when it does not exist.
bool GetAttributes(const std::string& path, std::uint32_t* attributes);

// Size in bytes of the file at path; false when it cannot be read.
bool GetFileSize(const std::string& path, std::int64_t* size);

struct DirEntry {
  std::string name;
  std::uint32_t attributes = 0;
};

// All entries of a directory ("." and ".." included where the platform
// reports them), in the order the platform delivers them. False when the
// directory cannot be read.
bool ListDirectory(const std::string& dir, std::vector<DirEntry>* entries);

// ---- file system changes ----

bool MakeDirectory(const std::string& path);
bool RemoveFile(const std::string& path);
// Moves from over to, replacing an existing file at to in one step.
bool ReplaceFile(const std::string& from, const std::string& to);

enum class MoveResult { kMoved, kDestinationExists, kFailed };

// Moves from to to only when no object of that name exists at to, in one
// step that a file appearing meanwhile cannot slip past: such a file is
// left as it is and the result is kDestinationExists.
MoveResult MoveFileNoReplace(const std::string& from, const std::string& to);

// What a new file is for: a temporary file is readable and writable by its
// owner only; an output file gets the usual permissions (narrowed by the
// umask on POSIX).
enum class NewFileKind { kTemporary, kOutput };

// Creates path as a new file and opens it for reading and writing ("w+b").
// Fails when any object of that name exists, a symbolic link included, so
// nothing is ever written through a link the program did not create. The
// path is registered for removal on interrupt (see InstallInterruptHandler)
// in the same step, so no interrupt can fall between creation and
// registration; ForgetOnInterrupt ends that. nullptr on failure.
std::FILE* CreateNewFile(const std::string& path, NewFileKind kind);

// The identity of the file system object a path names (links followed):
// device and inode on POSIX, volume serial number and file index on Windows.
// Two spellings of one directory have the same identity.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  auto operator<=>(const FileIdentity&) const = default;
};
bool GetFileIdentity(const std::string& path, FileIdentity* identity);

// ---- random source ----

// Fills the buffer from the operating system's random source (getrandom,
// BCryptGenRandom). False when the source fails; the buffer is then not to
// be used.
bool FillRandom(void* buffer, std::size_t size);

// ---- interrupts ----

// Exit codes of a run ended by an interrupt.
inline constexpr int kExitInterrupted = 130;  // Ctrl-C, Ctrl-Break (SIGINT)
inline constexpr int kExitTerminated = 143;   // SIGTERM
inline constexpr int kExitHangUp = 129;       // SIGHUP, console window closed
inline constexpr int kExitBrokenPipe = 141;   // SIGPIPE: the reader of an output pipe left

// The line printed when an interrupt ends the run.
inline constexpr const char* kInterruptedLine = "*** Interrupted.";

// Ctrl-C, SIGTERM, SIGHUP, SIGPIPE and (on Windows) Ctrl-Break and a closed
// console remove every file registered for removal, restore the terminal,
// print kInterruptedLine on standard output (on standard error for SIGPIPE,
// whose standard output has no reader) and end the process with the code
// above. SIGXFSZ is ignored, so a write beyond the file-size limit fails
// like any failed write. Once per process, before the first file is made.
void InstallInterruptHandler();

// Keeps the interrupt signals away from the calling thread (a worker thread),
// so that they always reach a thread whose file creations they cannot fall
// between. No effect where interrupts do not arrive as signals.
void KeepInterruptsOffThisThread();

// Registers or unregisters path for removal on interrupt. The path is kept
// as it is given (a relative path is taken from the working directory, which
// the program never changes). Registration fails only when too many paths
// are registered at once.
bool RemoveOnInterrupt(const std::string& path);
void ForgetOnInterrupt(const std::string& path);

// Removes every registered path now, as the interrupt handler does, and
// unregisters it; returns how many of them were removed.
int RemoveRegisteredFiles();

// ---- runtime streams ----
// Every stream operation of the program goes through these, so that a test
// can see and fail them.

std::FILE* OpenFile(const std::string& path, const char* mode);
int CloseFile(std::FILE* file);
// The system's null device ("/dev/null", "NUL") open for writing: what a
// measuring pass writes goes nowhere.
std::FILE* OpenNullDevice();
std::size_t ReadFile(std::FILE* file, void* buffer, std::size_t size);
std::size_t WriteFile(std::FILE* file, const void* buffer, std::size_t size);
// Absolute seek from the start of the file; true on success.
bool SeekFile(std::FILE* file, std::int64_t offset);
void RewindFile(std::FILE* file);
// Switches the runtime's own buffering of the stream off.
void SetUnbuffered(std::FILE* file);
// Asks the system to back a large buffer that lives long with large memory
// pages where it can, so that its first use takes a few page faults instead
// of thousands. Nothing changes for the program otherwise.
void AdviseLargeBuffer(void* data, std::size_t size);
// Gives the storage of a byte range of the file back to the system, where the
// file system can; the range then reads as zero bytes and the file keeps its
// size. For data that will not be read again, so that its memory serves the
// rest of the run. False when nothing was given back (an unsupported system
// or file system is no error).
bool DiscardFileRange(std::FILE* file, std::int64_t offset, std::int64_t length);

// Owns an open stream and closes it on every way out.
struct FileCloser {
  void operator()(std::FILE* file) const { CloseFile(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
// True when a read or write on the stream has failed, as opposed to a read
// that met the end of the file: the runtime's error indicator, or a fault the
// seam of FaultInjection.h injected. Rewinding clears it.
bool StreamFailed(std::FILE* file);

// ---- clock ----

struct LocalTime {
  int year = 0;   // four digits
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

LocalTime GetLocalTime();

// ---- console ----

// One key without echo and without waiting for a line end. On a terminal the
// terminal is put into raw mode for the read and restored on every way out;
// from a pipe or a file one byte is read. Line feed and carriage return both
// read as 13; the end of input reads as 0.
int ReadKey();

// Waits for one character of line-buffered standard input (exit prompts).
// Returns at once at the end of input.
void WaitForEnter();

// Makes standard output line-buffered where it is not a terminal (a pipe or
// a file; where the runtime has no line buffering, unbuffered), so that every
// line printed is out before an interrupt ends the process.
void LineBufferStandardOutput();

// Writes out what waits in standard output's buffer. False when that write,
// or any earlier one, failed (the reason is recorded for LastErrorText).
bool FlushStandardOutput();

// Splits standard output in two: returns a stream on what standard output was
// (for results a program reads), and points standard output at standard
// error, so that every other line the run prints goes there. nullptr, with
// nothing changed, when the descriptors cannot be duplicated.
std::FILE* SplitStandardOutput(bool binary = false);

// Standard input, set to binary mode where the runtime knows a text mode.
std::FILE* StandardInputBinary();

// True when standard output is a terminal (a console on Windows), not a pipe,
// a file or a device.
bool StdoutIsTerminal();
// True when standard input is a terminal (a console on Windows).
bool StdinIsTerminal();

// ---- program identity ----

// The program's file name as the system knows it: "Wavora.exe" on Windows,
// "wavora" elsewhere.
const char* ProgramFileName();

// The platform's own spelling of the help switch besides -help ("/?" on
// Windows); nullptr where there is none.
const char* NativeHelpSwitch();

// ---- errors ----

// The system's text for the error of the last platform call that failed on
// this thread, such as "No such file or directory"; "" when none has failed.
// Each failing call records its error right after the system call, so log
// lines written between the failure and the question do not change it.
std::string LastErrorText();

// For the platform files: ClearSystemError before a system call, and
// RecordSystemError right after it failed, record the system's text of that
// failure (errno, and on Windows the thread's last-error code first);
// RecordInjectedFault records a failure the test seam made up.
void ClearSystemError();
void RecordSystemError();
void RecordInjectedFault();
// Records text as the calling thread's last error: the reason of a failure
// that another thread met on the caller's behalf.
void RecordErrorText(const std::string& text);

// ---- input files ----
// Every file the program reads as input is opened through OpenInputFile.

// What a file system object is, as far as reading it as input matters.
enum class InputKind { kRegular, kDirectory, kFifo, kDevice, kSocket, kOther };

// The words that say what a refused object is: "is a FIFO", "is a
// directory", "is a device", "is a socket"; "is not a regular file" for any
// other kind. "" for kRegular.
const char* InputKindText(InputKind kind);

// What the object at path is (links followed); false when nothing is there
// or it cannot be examined. A query like PathExists: a false answer is no
// failure and leaves LastErrorText as it was.
bool GetPathKind(const std::string& path, InputKind* kind);

struct OpenedInput {
  std::FILE* file = nullptr;  // open for reading ("rb"); the caller closes it
  InputKind kind = InputKind::kRegular;
  std::int64_t size = 0;  // bytes, as the open file reported them
  FileIdentity identity;  // of the open file, not of the name
};

// Opens path for reading without ever waiting: a FIFO or a device is opened
// without blocking (POSIX: O_NONBLOCK and O_NOCTTY, then the type is taken
// from the open descriptor; Win32: the handle's file type and attributes),
// and only a regular file stays open. True with file, size and identity set;
// false with file null and either kind telling what the object is (it has
// been closed again) or kind kRegular when the open itself failed (the
// system's reason is recorded for LastErrorText).
bool OpenInputFile(const std::string& path, OpenedInput* opened);

}  // namespace platform
