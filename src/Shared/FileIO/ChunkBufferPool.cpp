#include "Shared/FileIO/ChunkBufferPool.h"

#include <new>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "platform/Platform.h"

namespace {

// One conversion holds at most six chunk buffers at once (slot 0 reading
// and writing, slots 1 and 2 or the marker slot, the second buffer of a
// slot that writes behind and of one that reads ahead), so six kept buffers
// serve every later file without a new allocation.
constexpr std::size_t kMaxKeptBuffers = 6;

std::vector<std::unique_ptr<unsigned char[]>>& KeptBuffers() {
  static std::vector<std::unique_ptr<unsigned char[]>> kept;
  return kept;
}

int g_reuseDepth = 0;  // ChunkBufferReuse objects alive
std::size_t g_allocated = 0;

}  // namespace

std::unique_ptr<unsigned char[]> TakeChunkBuffer() {
  auto& kept = KeptBuffers();
  if (!kept.empty()) {
    std::unique_ptr<unsigned char[]> buffer = std::move(kept.back());
    kept.pop_back();
    return buffer;
  }
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kSlotBufferSize]);
  if (buffer != nullptr) {
    ++g_allocated;
    platform::AdviseLargeBuffer(buffer.get(), kSlotBufferSize);
  }
  return buffer;
}

void ReturnChunkBuffer(std::unique_ptr<unsigned char[]> buffer) {
  auto& kept = KeptBuffers();
  if (buffer == nullptr || g_reuseDepth == 0 || kept.size() >= kMaxKeptBuffers) return;
  kept.push_back(std::move(buffer));
}

ChunkBufferReuse::ChunkBufferReuse() {
  if (g_reuseDepth++ == 0) KeptBuffers().reserve(kMaxKeptBuffers);
}

ChunkBufferReuse::~ChunkBufferReuse() {
  if (--g_reuseDepth == 0) KeptBuffers().clear();
}

std::size_t ChunkBuffersAllocated() { return g_allocated; }
