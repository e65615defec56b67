// FileIOBufferedIO: ten stream slots that give byte-granular reading and
// writing of large files through 16 MiB chunks on an unbuffered runtime
// stream, optionally keeping the file contents encrypted under the run key.
//
// Calling order for one file: _InitBuf -> any mix of _ReadBytes, _WriteBytes
// and _RestartAtBegining -> _ReleaseBuf -> the caller closes the stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

inline constexpr int kSlotCount = 10;
inline constexpr std::int32_t kSlotBufferSize = 16 * 1024 * 1024;
inline constexpr std::int32_t kCipherBlockSize = 8;
inline constexpr std::int32_t kStreamHeaderSize = 4;

struct StreamSlot {
  std::int32_t enc = 0;                      // 1: header + encrypted 8-byte blocks
  std::unique_ptr<unsigned char[]> wbuffer;  // present while open for writing
  std::int32_t roffset = 0;                  // bytes of rbuffer handed out
  std::int32_t total_len = 0;                // payload length of an encrypted stream
  std::FILE* file = nullptr;                 // caller's stream, not owned
  std::int32_t rpointer = -1;  // file offset past the last byte read; -1: no read side
  std::int32_t indata = 0;     // valid bytes in rbuffer
  std::int32_t wpointer = -1;  // file offset of the next flush; -1: nothing flushed
  std::unique_ptr<unsigned char[]> rbuffer;  // present while open for reading
  std::int32_t wfill = 0;                    // bytes waiting in wbuffer
  bool readOnce = false;                     // storage behind the read position is given back
  std::int32_t discarded = 0;                // file bytes given back so far (read-once streams)
};

// Returns 1 on success, 0 on failure.
int _InitBuf(int index, std::FILE* file, int read, int write, int enc);
// Bytes delivered (fewer only at the end of the data), or -1 on failure.
std::int32_t _ReadBytes(int index, std::int32_t count, void* dest);
// count on success, -1 on failure.
std::int32_t _WriteBytes(int index, std::int32_t count, const void* src);
int _ReleaseBuf(int index);
int _RestartAtBegining(int index);
// Marks a slot that is open for reading only as read once, start to end:
// from now on every refill gives the storage of the file behind the read
// position back to the system, so that a large stream being used up does
// not hold its memory while the run needs more. The slot must not be
// restarted afterwards. (Storage is given back only where the stream is open
// for writing and the file system can.) Returns 1, or 0 (nothing logged, nothing changed)
// for a slot that is not open for reading only.
int _SetReadOnce(int index);

// The same five with the same results; InitBuf always encrypts.
int InitBuf(int index, std::FILE* file, int read, int write);
std::int32_t ReadBytes(int index, std::int32_t count, void* dest);
std::int32_t WriteBytes(int index, std::int32_t count, const void* src);
int ReleaseBuf(int index);
int RestartAtBegining(int index);

// Puts all ten slots back to their start-up values (used by InitStreamLayer).
void ResetStreamSlots();
// Sets or clears the library-initialised flag that every operation checks.
void SetStreamLayerInitialized(bool initialized);
bool IsStreamLayerInitialized();
// Read-only view of a slot, for diagnostics and tests.
const StreamSlot& GetStreamSlot(int index);

// Releases a slot on every way out of a scope. Release() releases early and
// reports the result; the destructor releases only when that has not happened.
class SlotGuard {
 public:
  SlotGuard() = default;
  explicit SlotGuard(int index) : index_(index) {}
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;
  ~SlotGuard() {
    if (index_ >= 0) _ReleaseBuf(index_);
  }
  void Attach(int index) { index_ = index; }
  int Release() {
    const int index = index_;
    index_ = -1;
    return index >= 0 ? _ReleaseBuf(index) : 1;
  }
  void Dismiss() { index_ = -1; }

 private:
  int index_ = -1;
};
