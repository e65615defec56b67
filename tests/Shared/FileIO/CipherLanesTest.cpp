// The multi-block and multi-thread paths of the cipher against the one-block
// path, and the worker pool that spreads the work.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/WorkerPool.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(std::size_t length, std::mt19937& random) {
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

// The buffer transform done one block at a time through the block operation,
// with the tail rule: the reference every faster path must match.
Bytes OneBlockAtATime(Bytes bytes, bool encrypt) {
  const std::size_t whole = bytes.size() / 8 * 8;
  for (std::size_t offset = 0; offset < whole; offset += 8) {
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    for (int i = 0; i < 4; ++i) {
      left = (left << 8) | bytes[offset + i];
      right = (right << 8) | bytes[offset + 4 + i];
    }
    if (encrypt) {
      BlowfishEncryptBlock(&left, &right);
    } else {
      BlowfishDecryptBlock(&left, &right);
    }
    for (int i = 0; i < 4; ++i) {
      bytes[offset + i] = static_cast<unsigned char>(left >> (24 - 8 * i));
      bytes[offset + 4 + i] = static_cast<unsigned char>(right >> (24 - 8 * i));
    }
  }
  for (std::size_t i = whole; i < bytes.size(); ++i) bytes[i] ^= 0x55;
  return bytes;
}

// Restores the default thread count and the path in use after a test that
// changes them.
class CipherThreads : public ::testing::Test {
 protected:
  void SetUp() override { path_ = CipherPathInUse(); }
  void TearDown() override {
    SetCipherThreads(DefaultWorkerThreads());
    SetCipherPath(path_);
  }

 private:
  CipherPath path_ = CipherPath::kLanes;
};

// The buffer transforms of every length from 0 to 4096 bytes under two keys
// against the one-block path, and the known answer through them.
void LanesMatchOneBlockAtATime() {
  std::mt19937 random(20240601);
  for (int key = 0; key < 2; ++key) {
    const Bytes keyBytes = RandomBytes(1 + random() % 56, random);
    BlowfishKey(static_cast<int>(keyBytes.size()), keyBytes.data());
    const Bytes plain = RandomBytes(4096 + 8, random);
    for (std::size_t length = 0; length <= 4096; ++length) {
      // Odd start offsets as well: blocks are read byte by byte, not as words.
      const std::size_t offset = length % 8;
      const Bytes input(plain.begin() + static_cast<long>(offset),
                        plain.begin() + static_cast<long>(offset + length));
      const Bytes expected = OneBlockAtATime(input, true);
      Bytes buffer = input;
      BlowfishEncryptBuffer(buffer.data(), static_cast<long>(length));
      ASSERT_EQ(buffer, expected) << "key " << key << ", length " << length;

      Bytes copy(length + 1, 0xEE);
      BlowfishEncryptCopy(input.data(), copy.data(), static_cast<long>(length));
      ASSERT_EQ(Bytes(copy.begin(), copy.begin() + static_cast<long>(length)), expected) << length;
      ASSERT_EQ(copy[length], 0xEE) << "wrote past the end, length " << length;

      Bytes back(length);
      BlowfishDecryptCopy(buffer.data(), back.data(), static_cast<long>(length));
      ASSERT_EQ(back, input) << length;
      ASSERT_EQ(OneBlockAtATime(buffer, false), input) << length;
      BlowfishDecryptBuffer(buffer.data(), static_cast<long>(length));
      ASSERT_EQ(buffer, input) << length;
    }
  }
  // The known answer through the multi-block path: 16 copies of the block.
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  BlowfishKey(26, reinterpret_cast<const unsigned char*>(letters.data()));
  Bytes blocks;
  for (int i = 0; i < 16; ++i)
    blocks.insert(blocks.end(), {'B', 'L', 'O', 'W', 'F', 'I', 'S', 'H'});
  BlowfishEncryptBuffer(blocks.data(), static_cast<long>(blocks.size()));
  const Bytes answer = {0x32, 0x4E, 0xD0, 0xFE, 0xF4, 0x13, 0xA2, 0x03};
  for (std::size_t i = 0; i < blocks.size(); i += 8)
    EXPECT_EQ(
        Bytes(blocks.begin() + static_cast<long>(i), blocks.begin() + static_cast<long>(i + 8)),
        answer)
        << "block " << i / 8;
}

// Every buffer path this processor has (lengths up to 512 blocks cover
// whole groups of each and every rest).
TEST_F(CipherThreads, LanesMatchOneBlockAtATimeForEveryLength) {
  SetCipherThreads(1);
  for (int p = 0; p < kCipherPaths; ++p) {
    const auto path = static_cast<CipherPath>(p);
    if (!SetCipherPath(path)) {
      std::printf("this processor has no %s: that path is not tested\n", CipherPathName(path));
      continue;
    }
    SCOPED_TRACE(CipherPathName(path));
    LanesMatchOneBlockAtATime();
  }
}

// Every path on every thread count gives the bytes of the portable lanes on
// one thread.
TEST_F(CipherThreads, EveryThreadCountGivesTheSameBytes) {
  std::mt19937 random(77);
  const Bytes key = RandomBytes(26, random);
  BlowfishKey(26, key.data());
  // Lengths around the threading threshold and part size, with tails.
  for (const std::size_t length : {std::size_t{128 * 1024 - 8}, std::size_t{128 * 1024},
                                   std::size_t{256 * 1024 + 3}, std::size_t{1024 * 1024 + 13}}) {
    const Bytes plain = RandomBytes(length, random);
    SetCipherThreads(1);
    ASSERT_TRUE(SetCipherPath(CipherPath::kLanes));
    Bytes single = plain;
    BlowfishEncryptBuffer(single.data(), static_cast<long>(length));
    for (int p = 0; p < kCipherPaths; ++p) {
      if (!SetCipherPath(static_cast<CipherPath>(p))) continue;
      const char* path = CipherPathName(static_cast<CipherPath>(p));
      for (const int threads : {1, 2, 3, 8}) {
        SetCipherThreads(threads);
        ASSERT_EQ(GetCipherThreads(), threads);
        Bytes several = plain;
        BlowfishEncryptBuffer(several.data(), static_cast<long>(length));
        ASSERT_TRUE(several == single) << length << " bytes, " << threads << " threads, " << path;
        Bytes copied(length);
        BlowfishEncryptCopy(plain.data(), copied.data(), static_cast<long>(length));
        ASSERT_TRUE(copied == single) << length << " bytes, " << threads << " threads, " << path;
        BlowfishDecryptBuffer(several.data(), static_cast<long>(length));
        ASSERT_TRUE(several == plain) << length << " bytes, " << threads << " threads, " << path;
      }
    }
  }
}

TEST(WorkerPool, RunsEveryPartOnceAndStopsCleanly) {
  struct Job {
    std::vector<std::atomic<int>> runs;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    explicit Job(int parts) : runs(static_cast<std::size_t>(parts)) {}
  };
  auto run = [](void* context, int part) {
    auto& job = *static_cast<Job*>(context);
    job.runs[static_cast<std::size_t>(part)].fetch_add(1);
    std::lock_guard<std::mutex> lock(job.mutex);
    job.threads.insert(std::this_thread::get_id());
  };
  for (const int threads : {1, 2, 5}) {
    WorkerPool pool(threads);
    EXPECT_EQ(pool.Threads(), threads);
    for (const int parts : {0, 1, 7, 64}) {
      Job job(parts);
      pool.RunParts(parts, run, &job);
      for (int part = 0; part < parts; ++part)
        EXPECT_EQ(job.runs[static_cast<std::size_t>(part)].load(), 1)
            << threads << " threads, part " << part << " of " << parts;
      EXPECT_LE(job.threads.size(), static_cast<std::size_t>(threads));
      if (threads == 1 && parts > 0) {
        // Without workers everything runs in the calling thread.
        EXPECT_EQ(job.threads, std::set<std::thread::id>{std::this_thread::get_id()});
      }
    }
  }  // each pool joins its workers here; a hang would stop the test
  EXPECT_EQ(WorkerPool(0).Threads(), 1);
  EXPECT_EQ(WorkerPool(kMaxWorkerThreads + 1).Threads(), kMaxWorkerThreads);
  EXPECT_GE(DefaultWorkerThreads(), 1);
}

}  // namespace
