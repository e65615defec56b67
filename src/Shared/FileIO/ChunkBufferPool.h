// The 16 MiB chunk buffers of the stream slots. A directory run opens and
// releases the same few slots for every file; while it runs, released buffers
// are kept and handed out again, which spares the allocation and its page
// faults for every file. Outside such a run a released buffer is freed at
// once, so a single conversion holds no buffer it does not use.
#pragma once

#include <cstddef>
#include <memory>

// A chunk buffer of kSlotBufferSize bytes: a kept one when there is one, else
// a new one; nullptr when memory runs out. Its contents are undefined.
std::unique_ptr<unsigned char[]> TakeChunkBuffer();

// Gives back a buffer of TakeChunkBuffer: kept for the next taker while a
// ChunkBufferReuse lives (at most a few are kept), freed otherwise. Null is
// ignored.
void ReturnChunkBuffer(std::unique_ptr<unsigned char[]> buffer);

// Keeps released chunk buffers for reuse during its lifetime; the kept
// buffers are freed when the last one ends.
class ChunkBufferReuse {
 public:
  ChunkBufferReuse();
  ~ChunkBufferReuse();
  ChunkBufferReuse(const ChunkBufferReuse&) = delete;
  ChunkBufferReuse& operator=(const ChunkBufferReuse&) = delete;
};

// Buffers allocated so far (not taken from the kept ones), for diagnostics
// and tests.
std::size_t ChunkBuffersAllocated();
