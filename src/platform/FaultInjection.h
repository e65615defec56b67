// The fault seam of the platform layer. Every file operation of the program
// (open, close, read, write, seek, rename, remove, create directory, list
// directory) asks the seam first, on every platform, so that a test can make
// the k-th of them fail and watch the program cope. Unarmed, the seam only
// counts the calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace platform::faults {

enum class FileOp {
  kOpen,
  kClose,
  kRead,
  kWrite,
  kSeek,
  kRename,
  kRemove,
  kMakeDirectory,
  kListDirectory,
};

// Short name of an operation, for test messages ("open", "write", ...).
const char* FileOpName(FileOp op);

enum class Fault {
  kNone,
  // The operation fails without doing anything.
  kFail,
  // A write stores only the first half of its bytes (none of a single byte)
  // and reports that count, as a full disk does; other operations fail.
  kShortWrite,
};

// Starts counting from zero and arms `fault` for call number `call`
// (1-based); call 0 arms nothing. Only that one call fails.
void Arm(std::uint64_t call, Fault fault);

// Disarms, counts from zero, and forgets the recorded operations.
void Reset();

// File operations since the last Arm or Reset.
std::uint64_t CallCount();

// True once the armed fault has been delivered.
bool FaultDelivered();

// While recording is on, every operation is appended to RecordedCalls(), so
// a test can see which operation call k is.
void SetRecording(bool on);
const std::vector<FileOp>& RecordedCalls();

// Makes the operating system's random source fail (FillRandom returns
// false) while on.
void SetRandomSourceFailing(bool on);
bool RandomSourceFailing();

// Makes the one-step no-replace rename of the platform look unsupported, so
// that its fallback (a hard link, then removal of the old name) runs, as on
// a file system without it.
void SetNoReplaceRenameUnsupported(bool on);
bool NoReplaceRenameUnsupported();

// ---- for the platform layer ----

// Counts one call of op and returns the fault to inject into it.
Fault NextFileFault(FileOp op);

// Streams whose read or write the seam failed. The runtime's own error
// indicator knows nothing of an injected fault, so the platform layer keeps
// it here until the stream is rewound (which clears the indicator) or closed.
void MarkStreamFailed(std::FILE* file);
void ForgetStream(std::FILE* file);
bool IsStreamMarkedFailed(std::FILE* file);

}  // namespace platform::faults
