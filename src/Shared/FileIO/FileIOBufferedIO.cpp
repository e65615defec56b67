// FileIOBufferedIO: the ten stream slots. Callers move a few bytes per call;
// file I/O and encryption happen only per 16 MiB chunk, in place in the
// slot's buffers. Requests of a whole chunk or more skip the buffer copy:
// such chunks are read into, and flushed from, the caller's memory, at the
// same points in the stream. An encrypted stream on disk is a 4-byte little-endian
// payload length followed by the payload in Blowfish-encrypted 8-byte blocks,
// the last block filled with zero bytes.
//
// All offsets are signed 32-bit. Every step that would move an offset past
// the 32-bit range is refused with that step's error line, so a stream the
// layer writes can always be read back by it.
#include "Shared/FileIO/FileIOBufferedIO.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/ChunkBufferPool.h"
#include "common/Log.h"
#include "platform/Platform.h"

namespace {

constexpr std::int32_t kMaxOffset = std::numeric_limits<std::int32_t>::max();

// Error lines name this file and the operation; the numbers are the layer's
// fixed error codes, one for each failing step.
constexpr std::string_view kSourceFileName = "FileIOBufferedIO.cpp";
constexpr std::string_view kOpInitBuf = "_InitBuf";
constexpr std::string_view kOpReadBytes = "_ReadBytes";
constexpr std::string_view kOpWriteBytes = "_WriteBytes";
constexpr std::string_view kOpReleaseBuf = "_ReleaseBuf";
constexpr std::string_view kOpRestart = "_RestartAtBegining";

// The lines of the steps that the first-chunk load and the final flush share
// between the operations that run them.
struct LoadLines {
  std::string_view shortHeader;
  std::string_view zeroHeader;
  std::string_view chunkAlignment;
};
struct FlushLines {
  std::string_view seek;
  std::string_view placeholder;
  std::string_view alignment;
  std::string_view data;
  std::string_view header;
};
constexpr LoadLines kInitLoadLines = {"247", "249", "268"};
constexpr LoadLines kRestartLoadLines = {"853", "854", "874"};
constexpr FlushLines kReleaseFlushLines = {"608", "623", "643", "657", "673"};
constexpr FlushLines kRestartFlushLines = {"754", "769", "789", "803", "819"};
// A full chunk needs no block alignment and leaves the header for later.
constexpr FlushLines kOverflowFlushLines = {"508", "520", "539", "539", ""};

StreamSlot g_slots[kSlotCount];
bool g_initialized = false;

// A full chunk a slot has handed on for writing while the caller goes on
// filling the other buffer. With worker threads the write runs on a thread
// of its own; without, it is done at once. Either way its failure is
// reported at the slot's next operation that writes, reads, restarts or
// releases, so that the messages do not depend on the number of threads.
struct PendingWrite {
  bool active = false;
  bool failed = false;  // written by the writing thread, read after the join
  std::string reason;   // the writing thread's LastErrorText of a failure
  std::thread thread;
  std::unique_ptr<unsigned char[]> buffer;  // the chunk in flight, or a spare
};
PendingWrite g_pending[kSlotCount];

// The next chunk of a slot that only reads, read (and decrypted) on a thread
// of its own while the caller works on the current one. Only the file read
// and the cipher happen early: the checks of the chunk, and the lines they
// log, wait for the refill that takes it, as when reading on demand.
struct PendingRead {
  bool active = false;
  std::thread thread;
  std::unique_ptr<unsigned char[]> buffer;  // the chunk read ahead, or a spare
  std::int32_t got = 0;                     // bytes read; -1: the read failed
  bool decrypted = false;
};
PendingRead g_readAhead[kSlotCount];

// One extra buffer serves the slots that write behind, and one the slot that
// reads ahead (the first to need it, until it is restarted or released), so
// a conversion holds at most two chunk buffers more than its slots do.
bool ReadAheadBufferTakenByAnother(const PendingRead& self) {
  for (const PendingRead& other : g_readAhead) {
    if (&other != &self && other.buffer) return true;
  }
  return false;
}

void LogSlotError(std::string_view operation, std::string_view line) {
  LogAlways({"*** Error in file ", kSourceFileName, operation, " @ ", line});
}

// Every operation warns when the start-up has not run, then carries on.
void CheckInitialized() {
  if (!g_initialized) LogAlways({"*** Library not correctly initialized."});
}

bool IsValidIndex(int index) {
  return static_cast<unsigned>(index) < static_cast<unsigned>(kSlotCount);
}

std::unique_ptr<unsigned char[]> AllocateChunkBuffer() { return TakeChunkBuffer(); }

std::int32_t DecodeLittleEndian32(const unsigned char* bytes) {
  const std::uint32_t value = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                              (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
  return static_cast<std::int32_t>(value);
}

void EncodeLittleEndian32(std::int32_t value, unsigned char* bytes) {
  const auto bits = static_cast<std::uint32_t>(value);
  bytes[0] = static_cast<unsigned char>(bits);
  bytes[1] = static_cast<unsigned char>(bits >> 8);
  bytes[2] = static_cast<unsigned char>(bits >> 16);
  bytes[3] = static_cast<unsigned char>(bits >> 24);
}

// A plain stream that a slot only reads (an input file) is read in pieces
// of this size: its bytes have no chunk layout, a piece stays in the
// processor's cache, and the rest of the read buffer is never touched, so
// the slot holds 1 MiB of memory instead of 16. A slot that also writes
// keeps whole chunks, which its in-place rewriting lines up with.
constexpr std::int32_t kPlainReadBytes = 1 << 20;
static_assert(kPlainReadBytes <= kSlotBufferSize);

// Reads up to size bytes (at most one chunk) into target (the read buffer,
// or caller memory of at least a chunk). -1 when the read failed: a failed
// read is no end of the data.
std::int32_t ReadChunkFrom(std::FILE* file, unsigned char* target,
                           std::int32_t size = kSlotBufferSize) {
  const auto n =
      static_cast<std::int32_t>(platform::ReadFile(file, target, static_cast<std::size_t>(size)));
  if (n < size && platform::StreamFailed(file)) return -1;
  return n;
}

// An encrypted stream is read a whole chunk at a time (its chunks are the
// unit of the cipher and of the length checks), a plain one that is only
// read a piece at a time.
std::int32_t ReadChunk(StreamSlot& slot, unsigned char* target) {
  const bool pieces = !slot.enc && !slot.wbuffer;
  return ReadChunkFrom(slot.file, target, pieces ? kPlainReadBytes : kSlotBufferSize);
}

PendingWrite& PendingOf(const StreamSlot& slot) {
  return g_pending[&slot - static_cast<const StreamSlot*>(g_slots)];
}

// Waits for the slot's handed-on chunk. False, after the line of the failed
// write, when it did not reach the file; the data still waiting in the
// write buffer is then dropped, as after a failed write of its own.
bool FinishPendingWrite(StreamSlot& slot) {
  PendingWrite& pending = PendingOf(slot);
  if (!pending.active) return true;
  if (pending.thread.joinable()) pending.thread.join();
  pending.active = false;
  if (!pending.failed) return true;
  pending.failed = false;
  // The caller's reason line names the failure of the thread that wrote.
  platform::RecordErrorText(pending.reason);
  slot.wfill = 0;
  LogSlotError(kOpWriteBytes, kOverflowFlushLines.data);
  return false;
}

PendingRead& ReadAheadOf(const StreamSlot& slot) {
  return g_readAhead[&slot - static_cast<const StreamSlot*>(g_slots)];
}

// Waits for a chunk read ahead and forgets it (the stream is rewound or
// released).
void DropReadAhead(StreamSlot& slot) {
  PendingRead& ahead = ReadAheadOf(slot);
  if (ahead.thread.joinable()) ahead.thread.join();
  ahead.active = false;
}

// Starts reading the chunk after the one just loaded, when the slot only
// reads an encrypted stream whose payload goes on, and worker threads are
// allowed. (The decryption is the work worth taking off the caller's thread;
// a plain stream is read on demand and holds no second buffer.)
void StartReadAhead(StreamSlot& slot) {
  if (slot.wbuffer || !slot.enc || GetCipherThreads() <= 1) return;
  if (slot.rpointer - kStreamHeaderSize >= slot.total_len) return;
  PendingRead& ahead = ReadAheadOf(slot);
  if (!ahead.buffer && !ReadAheadBufferTakenByAnother(ahead)) ahead.buffer = TakeChunkBuffer();
  if (!ahead.buffer) return;  // read on demand, as without threads
  ahead.got = 0;
  ahead.decrypted = false;
  std::FILE* file = slot.file;
  try {
    ahead.thread = std::thread([&ahead, file] {
      platform::KeepInterruptsOffThisThread();
      const std::int32_t n = ReadChunkFrom(file, ahead.buffer.get());
      ahead.got = n;
      if (n > 0 && n % kCipherBlockSize == 0) {
        BlowfishDecryptBuffer(ahead.buffer.get(), n);
        ahead.decrypted = true;
      }
    });
    ahead.active = true;
  } catch (const std::system_error&) {
    // No thread to be had: the chunk is read when it is needed.
  }
}

// The next chunk of the file into target (the read buffer, or caller memory
// of at least a chunk): the one read ahead when there is one, else read now.
// *decrypted tells whether the cipher has been applied already. The read
// buffer may be exchanged for the read-ahead one: callers find the data at
// slot.rbuffer, not at a pointer taken before.
std::int32_t TakeChunk(StreamSlot& slot, unsigned char*& target, bool* decrypted) {
  PendingRead& ahead = ReadAheadOf(slot);
  *decrypted = false;
  if (!ahead.active) return ReadChunk(slot, target);
  ahead.thread.join();
  ahead.active = false;
  if (ahead.got > 0) {
    if (target == slot.rbuffer.get()) {
      std::swap(ahead.buffer, slot.rbuffer);
      target = slot.rbuffer.get();
    } else {
      std::memcpy(target, ahead.buffer.get(), static_cast<std::size_t>(ahead.got));
    }
  }
  *decrypted = ahead.decrypted;
  return ahead.got;
}

// Puts the slot back to its idle values; the stream handle and enc stay.
void ResetSlotBuffers(StreamSlot& slot) {
  DropReadAhead(slot);
  ReturnChunkBuffer(std::move(ReadAheadOf(slot).buffer));
  {
    PendingWrite& pending = PendingOf(slot);
    if (pending.thread.joinable()) pending.thread.join();
    pending.active = false;
    pending.failed = false;
    ReturnChunkBuffer(std::move(pending.buffer));
  }
  ReturnChunkBuffer(std::move(slot.wbuffer));
  ReturnChunkBuffer(std::move(slot.rbuffer));
  slot.roffset = 0;
  slot.indata = 0;
  slot.wfill = 0;
  slot.total_len = 0;
  slot.rpointer = -1;
  slot.wpointer = -1;
  slot.readOnce = false;
  slot.discarded = 0;
}

// Storage is given back in whole mebibytes, which every file system's block
// size divides.
constexpr std::int32_t kDiscardUnit = 1 << 20;

// A read-once stream gives back what has been handed out: everything before
// the read position. A file system that cannot leaves the file as it is.
void DiscardConsumed(StreamSlot& slot) {
  const std::int32_t end = slot.rpointer / kDiscardUnit * kDiscardUnit;
  if (end > slot.discarded &&
      platform::DiscardFileRange(slot.file, slot.discarded, end - slot.discarded)) {
    slot.discarded = end;
  }
}

// Loads the header (encrypted streams) and the first chunk into the read
// buffer; the stream stands at its start. Returns false after logging.
bool LoadFirstChunk(StreamSlot& slot, std::string_view operation, const LoadLines& lines) {
  slot.rpointer = 0;
  slot.indata = 0;
  slot.roffset = 0;
  if (slot.enc) {
    unsigned char header[kStreamHeaderSize] = {};
    const auto got =
        static_cast<std::int32_t>(platform::ReadFile(slot.file, header, sizeof(header)));
    slot.rpointer = got;
    if (got < kStreamHeaderSize && platform::StreamFailed(slot.file)) {
      LogSlotError(operation, lines.shortHeader);
      return false;
    }
    if (got == 0) {
      slot.total_len = 0;  // an empty file: a stream nobody wrote into
    } else if (got < kStreamHeaderSize) {
      LogSlotError(operation, lines.shortHeader);
      return false;
    } else {
      slot.total_len = DecodeLittleEndian32(header);
      // 0 is the placeholder of a writer that never finished; a negative
      // length cannot come from a writer at all.
      if (slot.total_len <= 0) {
        LogSlotError(operation, lines.zeroHeader);
        return false;
      }
    }
  }

  const std::int32_t n = ReadChunk(slot, slot.rbuffer.get());
  if (n < 0) {
    LogSlotError(operation, lines.chunkAlignment);
    return false;
  }
  slot.rpointer += n;
  if (slot.enc && n > 0) {
    // The data must be whole blocks, and a chunk that ends the file (shorter
    // than the buffer) must hold the whole payload the header announces.
    if (n % kCipherBlockSize != 0 || (n < kSlotBufferSize && slot.total_len > n)) {
      LogSlotError(operation, lines.chunkAlignment);
      return false;
    }
    BlowfishDecryptBuffer(slot.rbuffer.get(), n);
    slot.indata = std::min(n, slot.total_len);
  } else if (slot.enc && slot.total_len > 0) {
    // A header that announces a payload, and no data after it.
    LogSlotError(operation, lines.chunkAlignment);
    return false;
  } else {
    slot.indata = n;
  }
  if (n > 0) StartReadAhead(slot);
  return true;
}

// The second write buffer for a slot that has none: the one another slot
// holds, once that slot's chunk has reached the file (its result stays for
// its own next operation), else a new one. So the one extra buffer follows
// the slot that is writing now.
std::unique_ptr<unsigned char[]> TakeSecondWriteBuffer(const PendingWrite& self) {
  for (PendingWrite& other : g_pending) {
    if (&other == &self || !other.buffer) continue;
    if (other.thread.joinable()) other.thread.join();
    return std::move(other.buffer);
  }
  return TakeChunkBuffer();
}

// Hands the full write buffer (len bytes, ready for the file) on for
// writing. With worker threads it is written on a thread of its own while the
// slot goes on with a second buffer; without, or when no second buffer or
// thread is to be had, it is written now. Either way a failure waits for
// FinishPendingWrite.
void HandOnChunk(StreamSlot& slot, std::int32_t len, bool encrypt) {
  PendingWrite& pending = PendingOf(slot);
  pending.active = true;
  pending.failed = false;
  std::FILE* file = slot.file;
  unsigned char* data = slot.wbuffer.get();
  const auto write = [&pending, file, data, len, encrypt] {
    if (encrypt) BlowfishEncryptBuffer(data, len);
    const auto size = static_cast<std::size_t>(len);
    pending.failed = platform::WriteFile(file, data, size) != size;
    if (pending.failed) pending.reason = platform::LastErrorText();
  };
  if (GetCipherThreads() > 1) {
    if (!pending.buffer) pending.buffer = TakeSecondWriteBuffer(pending);
    if (pending.buffer) {
      try {
        pending.thread = std::thread([write] {
          platform::KeepInterruptsOffThisThread();
          write();
        });
        std::swap(pending.buffer, slot.wbuffer);
        return;
      } catch (const std::system_error&) {
        // No thread to be had: the chunk is written now.
      }
    }
  }
  write();
}

// Writes one buffer of data at wpointer: the placeholder header first when
// the stream has none yet, the data encrypted in whole blocks. Serves the
// overflow flush of _WriteBytes (a full chunk, the stream continues) and the
// final flush of _ReleaseBuf and _RestartAtBegining (what waits in the write
// buffer, then the payload length into the header); each reports the failing
// step with its own line.
//
// source: where the bytes of a full-chunk flush come from when they are not
// in the write buffer yet (a large _WriteBytes); the cipher then reads them
// from there while it fills the buffer, and an unencrypted chunk goes to the
// file from there directly. nullptr: the bytes wait in the write buffer.
bool FlushWriteBuffer(StreamSlot& slot, std::string_view operation, const FlushLines& lines,
                      bool final, const unsigned char* source = nullptr) {
  if (!FinishPendingWrite(slot)) return false;
  if (slot.wpointer == -1) slot.wpointer = 0;
  // A slot that also reads has moved the file position with its refills.
  if (slot.rpointer != -1 && !platform::SeekFile(slot.file, slot.wpointer)) {
    LogSlotError(operation, lines.seek);
    return false;
  }
  if (slot.wpointer <= 0 && slot.enc) {
    static constexpr unsigned char kPlaceholder[kStreamHeaderSize] = {0, 0, 0, 0};
    if (platform::WriteFile(slot.file, kPlaceholder, sizeof(kPlaceholder)) !=
        sizeof(kPlaceholder)) {
      LogSlotError(operation, lines.placeholder);
      return false;
    }
    slot.wpointer = kStreamHeaderSize;
  }

  const std::int32_t fill = source != nullptr ? kSlotBufferSize : slot.wfill;
  std::int32_t len = fill;
  if (slot.enc) {
    // Fill the last block with zero bytes; the header keeps the exact length.
    const std::int32_t rest = fill % kCipherBlockSize;
    if (rest != 0) {
      std::memset(slot.wbuffer.get() + fill, 0, static_cast<std::size_t>(kCipherBlockSize - rest));
      len = fill + kCipherBlockSize - rest;
    }
    if (len % kCipherBlockSize != 0 || len > kSlotBufferSize) {
      LogSlotError(operation, lines.alignment);
      return false;
    }
  }
  // The stream must stay addressable by 32-bit offsets to be read back.
  if (len > kMaxOffset - slot.wpointer) {
    LogSlotError(operation, lines.data);
    return false;
  }
  // A full chunk that waits in the write buffer, or that the cipher copies
  // there from the caller's memory, is handed on; a buffer of plain text
  // is encrypted by the thread that writes it.
  if (!final && (source == nullptr || slot.enc)) {
    if (source != nullptr) BlowfishEncryptCopy(source, slot.wbuffer.get(), len);
    HandOnChunk(slot, len, slot.enc && source == nullptr);
    slot.wpointer += len;
    slot.wfill = 0;
    return true;
  }
  const unsigned char* data = slot.wbuffer.get();
  if (slot.enc) {
    if (source != nullptr) {
      BlowfishEncryptCopy(source, slot.wbuffer.get(), len);
    } else {
      BlowfishEncryptBuffer(slot.wbuffer.get(), len);
    }
  } else if (source != nullptr) {
    data = source;
  }
  if (platform::WriteFile(slot.file, data, static_cast<std::size_t>(len)) !=
      static_cast<std::size_t>(len)) {
    // The buffer now holds cipher text; writing it again later would store
    // it encrypted twice, so its contents are dropped.
    slot.wfill = 0;
    LogSlotError(operation, lines.data);
    return false;
  }

  if (final && slot.enc) {
    platform::RewindFile(slot.file);
    slot.total_len = slot.wpointer + fill - kStreamHeaderSize;
    unsigned char header[kStreamHeaderSize];
    EncodeLittleEndian32(slot.total_len, header);
    if (platform::WriteFile(slot.file, header, sizeof(header)) != sizeof(header)) {
      slot.wfill = 0;  // the data is on disk; only the header is missing
      LogSlotError(operation, lines.header);
      return false;
    }
  }
  // Written: nothing waits any more, whatever the caller does next.
  slot.wpointer += len;
  slot.wfill = 0;
  return true;
}

// Refills the read side with the next chunk of the file, into the read
// buffer or (direct) into target. Returns the valid bytes got, 0 at the end
// of the data, or -1 after logging the failing step.
std::int32_t RefillChunk(StreamSlot& slot, unsigned char*& target) {
  // The payload of an encrypted stream is used up: whatever follows in the
  // file is fill or stale data, not stream content.
  if (slot.enc && slot.total_len > 0 && slot.rpointer - kStreamHeaderSize >= slot.total_len) {
    return 0;
  }
  if (!FinishPendingWrite(slot)) return -1;
  // Flushed writes moved the file position away from the read position.
  if (slot.wpointer != -1 && !platform::SeekFile(slot.file, slot.rpointer)) {
    LogSlotError(kOpReadBytes, "370");
    return -1;
  }
  bool decrypted = false;
  const std::int32_t n = TakeChunk(slot, target, &decrypted);
  if (slot.readOnce) DiscardConsumed(slot);
  if (n < 0) {
    LogSlotError(kOpReadBytes, "439");
    return -1;
  }
  if (n == 0) {
    // End of the file; for an encrypted stream only where the payload ends.
    if (slot.enc && slot.total_len > 0 && slot.rpointer - kStreamHeaderSize < slot.total_len) {
      LogSlotError(kOpReadBytes, "405");
      return -1;
    }
    return 0;
  }
  if (n > kMaxOffset - slot.rpointer) {
    LogSlotError(kOpReadBytes, "439");
    return -1;
  }
  slot.rpointer += n;

  std::int32_t valid = n;
  if (slot.enc) {
    const std::int32_t consumed = slot.rpointer - kStreamHeaderSize;
    if (n % kCipherBlockSize != 0 || (n < kSlotBufferSize && slot.total_len > consumed)) {
      LogSlotError(kOpReadBytes, "405");
      return -1;
    }
    if (slot.total_len == 0) {
      LogSlotError(kOpReadBytes, "408");
      return -1;
    }
    if (!decrypted) BlowfishDecryptBuffer(target, n);
    if (slot.total_len < consumed) {
      // The chunk ends in fill bytes.
      valid = n - (consumed - slot.total_len);
      if (valid < 1) {
        LogSlotError(kOpReadBytes, "423");
        return -1;
      }
    }
  }
  StartReadAhead(slot);
  return valid;
}

// The part of a read that the read buffer cannot serve: what is left in it,
// then the rest chunk by chunk. A whole chunk or more goes straight from the
// file into dest and is decrypted there, without a pass through the buffer.
std::int32_t ReadAcrossChunks(StreamSlot& slot, std::int32_t count, unsigned char* dest) {
  const std::int32_t avail = slot.indata - slot.roffset;
  if (avail > 0) {
    std::memcpy(dest, slot.rbuffer.get() + slot.roffset, static_cast<std::size_t>(avail));
  }
  slot.roffset = 0;
  slot.indata = 0;

  std::int32_t done = avail;
  for (int refill = 1;; ++refill) {
    const std::int32_t wanted = count - done;
    const bool direct = wanted >= kSlotBufferSize;
    unsigned char* target = direct ? dest + done : slot.rbuffer.get();
    const std::int32_t valid = RefillChunk(slot, target);
    if (valid < 0) {
      // One line for every chunk boundary this read had already crossed.
      for (int crossed = 1; crossed < refill; ++crossed) LogSlotError(kOpReadBytes, "439");
      return -1;
    }
    if (valid == 0) return done;  // the end of the data
    if (direct) {
      done += valid;
    } else {
      const std::int32_t take = std::min(wanted, valid);
      std::memcpy(dest + done, target, static_cast<std::size_t>(take));
      slot.indata = valid;
      slot.roffset = take;
      done += take;
    }
    if (done == count) return done;
  }
}

// The checks of _ReadBytes and its common case, a request the read buffer
// holds: one copy.
std::int32_t ReadFromSlot(int index, std::int32_t count, unsigned char* dest) {
  if (!IsValidIndex(index) || count < 0 || (dest == nullptr && count > 0)) {
    LogSlotError(kOpReadBytes, "338");
    return -1;
  }
  StreamSlot& slot = g_slots[index];
  if (slot.file == nullptr) {
    LogSlotError(kOpReadBytes, "339");
    return -1;
  }
  if (!slot.rbuffer) {
    LogSlotError(kOpReadBytes, "341");
    return -1;
  }

  const std::int32_t avail = slot.indata - slot.roffset;
  if (count <= avail) {
    if (count > 0) {
      std::memcpy(dest, slot.rbuffer.get() + slot.roffset, static_cast<std::size_t>(count));
    }
    slot.roffset += count;
    return count;
  }
  return ReadAcrossChunks(slot, count, dest);
}

// A write that overflows the write buffer: it is flushed whenever it is full
// and more bytes follow. A whole chunk that starts at an empty buffer is
// flushed from src itself; the flushes happen at the same points either way.
std::int32_t WriteAcrossChunks(StreamSlot& slot, std::int32_t count, const unsigned char* src) {
  std::int32_t done = 0;
  for (;;) {
    const std::int32_t rest = count - done;
    const std::int32_t room = kSlotBufferSize - slot.wfill;
    if (rest <= room) {
      std::memcpy(slot.wbuffer.get() + slot.wfill, src + done, static_cast<std::size_t>(rest));
      slot.wfill += rest;
      return count;
    }
    const unsigned char* source = nullptr;
    if (slot.wfill == 0) {
      source = src + done;
    } else {
      std::memcpy(slot.wbuffer.get() + slot.wfill, src + done, static_cast<std::size_t>(room));
      slot.wfill = kSlotBufferSize;
    }
    if (!FlushWriteBuffer(slot, kOpWriteBytes, kOverflowFlushLines, false, source)) return -1;
    done += room;
  }
}

// The checks of _WriteBytes and its common case, a request the write buffer
// has room for: one copy.
std::int32_t WriteToSlot(int index, std::int32_t count, const unsigned char* src) {
  if (!IsValidIndex(index) || count < 0 || (src == nullptr && count > 0)) {
    LogSlotError(kOpWriteBytes, "468");
    return -1;
  }
  StreamSlot& slot = g_slots[index];
  if (slot.file == nullptr) {
    LogSlotError(kOpWriteBytes, "469");
    return -1;
  }
  if (!slot.wbuffer) {
    LogSlotError(kOpWriteBytes, "471");
    return -1;
  }

  const std::int32_t space = kSlotBufferSize - slot.wfill;
  if (count <= space) {
    if (count > 0) {
      std::memcpy(slot.wbuffer.get() + slot.wfill, src, static_cast<std::size_t>(count));
    }
    slot.wfill += count;
    return count;
  }
  return WriteAcrossChunks(slot, count, src);
}

}  // namespace

int _InitBuf(int index, std::FILE* file, int read, int write, int enc) {
  CheckInitialized();
  if (!IsValidIndex(index)) {
    LogSlotError(kOpInitBuf, "191");
    return 0;
  }
  if (file == nullptr) {
    LogSlotError(kOpInitBuf, "192");
    return 0;
  }
  StreamSlot& slot = g_slots[index];
  if (slot.rbuffer || slot.wbuffer) {
    LogSlotError(kOpInitBuf, "193");
    return 0;
  }

  slot.file = file;
  slot.enc = enc ? 1 : 0;
  ResetSlotBuffers(slot);
  if (!read && !write) {
    LogSlotError(kOpInitBuf, "200");
    return 0;
  }
  if (read) {
    slot.rbuffer = AllocateChunkBuffer();
    if (!slot.rbuffer) {
      LogSlotError(kOpInitBuf, "206");
      return 0;
    }
  }
  if (write) {
    slot.wbuffer = AllocateChunkBuffer();
    if (!slot.wbuffer) {
      ResetSlotBuffers(slot);
      LogSlotError(kOpInitBuf, "215");
      return 0;
    }
  }

  platform::RewindFile(file);
  platform::SetUnbuffered(file);

  slot.rpointer = -1;
  // A slot whose first load fails is left free, so it neither holds its
  // buffers nor blocks the next user of the index.
  if (read && !LoadFirstChunk(slot, kOpInitBuf, kInitLoadLines)) {
    ResetSlotBuffers(slot);
    return 0;
  }
  slot.roffset = 0;
  slot.wfill = 0;
  slot.wpointer = -1;
  return 1;
}

std::int32_t _ReadBytes(int index, std::int32_t count, void* dest) {
  CheckInitialized();
  return ReadFromSlot(index, count, static_cast<unsigned char*>(dest));
}

std::int32_t _WriteBytes(int index, std::int32_t count, const void* src) {
  CheckInitialized();
  return WriteToSlot(index, count, static_cast<const unsigned char*>(src));
}

int _ReleaseBuf(int index) {
  CheckInitialized();
  if (!IsValidIndex(index)) {
    LogSlotError(kOpReleaseBuf, "581");
    return 0;
  }
  StreamSlot& slot = g_slots[index];
  if (slot.file == nullptr) {
    LogSlotError(kOpReleaseBuf, "582");
    return 0;
  }
  bool flushed = FinishPendingWrite(slot);
  if (flushed && slot.wbuffer && slot.wfill > 0) {
    flushed = FlushWriteBuffer(slot, kOpReleaseBuf, kReleaseFlushLines, true);
  }
  // The buffers go even when the flush failed: the caller gives up on the
  // file, and the slot must be free for the next one.
  ResetSlotBuffers(slot);
  return flushed ? 1 : 0;
}

int _RestartAtBegining(int index) {
  CheckInitialized();
  if (!IsValidIndex(index)) {
    LogSlotError(kOpRestart, "726");
    return 0;
  }
  StreamSlot& slot = g_slots[index];
  if (slot.file == nullptr) {
    LogSlotError(kOpRestart, "727");
    return 0;
  }
  if (!FinishPendingWrite(slot)) return 0;
  if (slot.wbuffer && slot.wfill > 0 &&
      !FlushWriteBuffer(slot, kOpRestart, kRestartFlushLines, true)) {
    return 0;
  }
  DropReadAhead(slot);
  // A restart ends a pass: the second buffers go, free for whichever slot
  // writes or reads the bulk of the data next.
  ReturnChunkBuffer(std::move(PendingOf(slot).buffer));
  ReturnChunkBuffer(std::move(ReadAheadOf(slot).buffer));

  platform::RewindFile(slot.file);
  slot.rpointer = -1;
  // A failed load leaves nothing in the read buffer for a later read to hand out.
  if (slot.rbuffer && !LoadFirstChunk(slot, kOpRestart, kRestartLoadLines)) return 0;
  slot.roffset = 0;
  slot.wfill = 0;
  slot.wpointer = -1;
  return 1;
}

int _SetReadOnce(int index) {
  if (!IsValidIndex(index)) return 0;
  StreamSlot& slot = g_slots[index];
  if (slot.file == nullptr || !slot.rbuffer || slot.wbuffer) return 0;
  slot.readOnce = true;
  return 1;
}

int InitBuf(int index, std::FILE* file, int read, int write) {
  return _InitBuf(index, file, read, write, 1);
}

std::int32_t ReadBytes(int index, std::int32_t count, void* dest) {
  return _ReadBytes(index, count, dest);
}

std::int32_t WriteBytes(int index, std::int32_t count, const void* src) {
  return _WriteBytes(index, count, src);
}

int ReleaseBuf(int index) { return _ReleaseBuf(index); }

int RestartAtBegining(int index) { return _RestartAtBegining(index); }

void ResetStreamSlots() {
  for (StreamSlot& slot : g_slots) {
    ResetSlotBuffers(slot);
    slot.file = nullptr;
    slot.enc = 0;
  }
}

void SetStreamLayerInitialized(bool initialized) { g_initialized = initialized; }

bool IsStreamLayerInitialized() { return g_initialized; }

const StreamSlot& GetStreamSlot(int index) {
  static const StreamSlot kIdleSlot;
  return IsValidIndex(index) ? g_slots[index] : kIdleSlot;
}
