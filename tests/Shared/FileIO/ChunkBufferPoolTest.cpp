// The stream slots take their chunk buffers from a small pool, so that a run
// over many files reuses the same few buffers instead of allocating new ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Shared/FileIO/ChunkBufferPool.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

TEST(ChunkBufferPool, KeepsAFewReturnedBuffersForTheNextTaker) {
  const ChunkBufferReuse reuse;
  std::vector<std::unique_ptr<unsigned char[]>> taken;
  for (int k = 0; k < 8; ++k) {
    taken.push_back(TakeChunkBuffer());
    ASSERT_NE(taken.back(), nullptr);
  }
  for (auto& buffer : taken) ReturnChunkBuffer(std::move(buffer));
  ReturnChunkBuffer(nullptr);
  // Six are kept: six takers after that allocate nothing, a seventh does.
  const std::size_t allocated = ChunkBuffersAllocated();
  for (int k = 0; k < 6; ++k) taken[k] = TakeChunkBuffer();
  EXPECT_EQ(ChunkBuffersAllocated(), allocated);
  taken[6] = TakeChunkBuffer();
  EXPECT_EQ(ChunkBuffersAllocated(), allocated + 1);
  for (int k = 0; k < 7; ++k) ReturnChunkBuffer(std::move(taken[k]));
}

TEST(ChunkBufferPool, OutsideAReuseScopeBuffersAreFreed) {
  {
    const ChunkBufferReuse reuse;
    ReturnChunkBuffer(TakeChunkBuffer());
  }
  // The scope's end freed the kept buffer; returned ones are not kept.
  std::size_t allocated = ChunkBuffersAllocated();
  ReturnChunkBuffer(TakeChunkBuffer());
  EXPECT_EQ(ChunkBuffersAllocated(), allocated + 1);
  ReturnChunkBuffer(TakeChunkBuffer());
  EXPECT_EQ(ChunkBuffersAllocated(), allocated + 2);
}

TEST(ChunkBufferPool, SlotsOpenedFileAfterFileReuseTheirBuffers) {
  std::string reason;
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
  testing_support::TempDir dir;
  const ChunkBufferReuse reuse;
  std::size_t allocatedAfterFirstFile = 0;
  for (int file = 0; file < 5; ++file) {
    std::FILE* stream = platform::OpenFile(dir.File("f" + std::to_string(file)), "w+b");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(_InitBuf(0, stream, 1, 1, 1), 1);
    ASSERT_EQ(_InitBuf(1, stream, 1, 0, 0), 1);
    const unsigned char text[] = "samples";
    EXPECT_EQ(_WriteBytes(0, sizeof(text), text), static_cast<std::int32_t>(sizeof(text)));
    EXPECT_EQ(_ReleaseBuf(1), 1);
    EXPECT_EQ(_ReleaseBuf(0), 1);
    // What was written reads back through a reused buffer.
    ASSERT_EQ(_InitBuf(2, stream, 1, 0, 1), 1);
    unsigned char back[sizeof(text)] = {};
    EXPECT_EQ(_ReadBytes(2, sizeof(back), back), static_cast<std::int32_t>(sizeof(back)));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back)), "samples");
    EXPECT_EQ(_ReleaseBuf(2), 1);
    platform::CloseFile(stream);
    if (file == 0) allocatedAfterFirstFile = ChunkBuffersAllocated();
  }
  // The files after the first allocate no buffer of their own.
  EXPECT_EQ(ChunkBuffersAllocated(), allocatedAfterFirstFile);
}

}  // namespace
