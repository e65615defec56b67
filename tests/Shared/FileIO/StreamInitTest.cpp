// Start-up of the stream layer: version check, the run key's range and its
// source, the generator, and the progress hook.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/WorkerPool.h"
#include "common/Progress.h"
#include "platform/FaultInjection.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

int g_progressCalls = 0;
int g_lastProgress = -1;
void CountProgress(int percent) {
  ++g_progressCalls;
  g_lastProgress = percent;
}

using Block = std::array<unsigned char, 8>;

Block EncryptProbe() {
  Block block = {'p', 'r', 'o', 'b', 'e', '-', '0', '1'};
  BlowfishEncryptBuffer(block.data(), 8);
  return block;
}

TEST(StreamInit, RefusesNewerVersionsBeforeSeeding) {
  SeedRandom(4242);
  const int expectedFirst = NextRandom();
  SeedRandom(4242);
  SetStreamLayerInitialized(false);
  std::string reason = "stale";
  EXPECT_EQ(InitStreamLayer(2.3, &reason), 0);
  EXPECT_EQ(reason, "*** Init failed: E00010 (Incorrect version)");
  EXPECT_FALSE(IsStreamLayerInitialized());
  // The generator was not reseeded: its next value is still the first after 4242.
  EXPECT_EQ(NextRandom(), expectedFirst);

  reason = "stale";
  EXPECT_EQ(InitStreamLayer(std::numeric_limits<double>::quiet_NaN(), &reason), 0);
  EXPECT_EQ(reason, "*** Init failed: E00010 (Incorrect version)");
  EXPECT_FALSE(IsStreamLayerInitialized());

  reason = "stale";
  EXPECT_EQ(InitStreamLayer(2.2, &reason), 1);
  EXPECT_EQ(reason, "");
  EXPECT_TRUE(IsStreamLayerInitialized());
  EXPECT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1);
}

// Key byte i is 32 + trunc(50 * r / 32767), r the low 15 bits of random
// bytes 2i and 2i+1: the whole range 32 to 82 is reached, and nothing else.
TEST(StreamInit, RunKeyBytesFollowTheRuleFromTheRandomBytes) {
  unsigned char random[kRunKeyRandomBytes];
  unsigned char key[kRunKeyLength];
  for (int r = 0; r <= 0xFFFF; ++r) {
    for (int i = 0; i < kRunKeyLength; ++i) {
      random[2 * i] = static_cast<unsigned char>(r & 0xFF);
      random[2 * i + 1] = static_cast<unsigned char>(r >> 8);
    }
    RunKeyFromRandomBytes(random, key);
    const int expected = 32 + static_cast<int>(std::trunc(50.0 * (r & 0x7FFF) / 32767.0));
    for (unsigned char byte : key) ASSERT_EQ(byte, expected) << "r " << r;
  }
  // Each key byte takes its own pair of random bytes.
  for (int i = 0; i < kRunKeyRandomBytes; ++i) random[i] = 0;
  random[2 * 5] = 0xFF;
  random[2 * 5 + 1] = 0x7F;
  RunKeyFromRandomBytes(random, key);
  for (int i = 0; i < kRunKeyLength; ++i) EXPECT_EQ(key[i], i == 5 ? 82 : 32) << i;
}

TEST(StreamInit, RunKeysComeFromTheRandomSourceNotTheClock) {
  unsigned char a[kRunKeyLength];
  unsigned char b[kRunKeyLength];
  ASSERT_EQ(MakeRunKey(a), 1);
  ASSERT_EQ(MakeRunKey(b), 1);
  for (unsigned char byte : a) {
    EXPECT_GE(byte, 32);
    EXPECT_LE(byte, 82);
  }
  // Two keys made within the same second differ (the chance of two equal
  // keys is 51^-26).
  EXPECT_NE(std::string(a, a + kRunKeyLength), std::string(b, b + kRunKeyLength));

  // Two start-ups in the same second key the cipher differently; the old
  // time-of-day seed would have given both the same key.
  std::string reason;
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
  const Block first = EncryptProbe();
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
  EXPECT_NE(EncryptProbe(), first);

  // Without a random source there is no key, and no start-up.
  platform::faults::SetRandomSourceFailing(true);
  EXPECT_EQ(MakeRunKey(a), 0);
  SetStreamLayerInitialized(false);
  EXPECT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 0);
  platform::faults::SetRandomSourceFailing(false);
  EXPECT_EQ(reason, "*** Init failed: E00200 (Random source)");
  EXPECT_FALSE(IsStreamLayerInitialized());
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
}

// The run's thread count comes with the start-up; without one the cipher
// keeps the count it has.
TEST(StreamInit, StartUpSetsTheCipherThreadsItIsGiven) {
  std::string reason;
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason, 3), 1) << reason;
  EXPECT_EQ(GetCipherThreads(), 3);
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
  EXPECT_EQ(GetCipherThreads(), 3);
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason, 1), 1) << reason;
  EXPECT_EQ(GetCipherThreads(), 1);
  SetCipherThreads(DefaultWorkerThreads());
}

TEST(StreamInit, GeneratorStaysWithinItsRangeAndRepeats) {
  SeedRandom(77);
  int seen[2] = {std::numeric_limits<int>::max(), std::numeric_limits<int>::min()};
  std::array<int, 16> head{};
  for (int i = 0; i < 100000; ++i) {
    const int value = NextRandom();
    ASSERT_GE(value, 0);
    ASSERT_LE(value, 32767);
    seen[0] = std::min(seen[0], value);
    seen[1] = std::max(seen[1], value);
    if (i < 16) head[static_cast<std::size_t>(i)] = value;
  }
  // The whole range is used, not a narrow band.
  EXPECT_LT(seen[0], 100);
  EXPECT_GT(seen[1], 32667);
  SeedRandom(77);
  for (int value : head) EXPECT_EQ(NextRandom(), value);
}

TEST(StreamInit, ClearsTheProgressHookAndFreesEverySlot) {
  g_progressCalls = 0;
  SetProgressCallback(CountProgress);
  ReportProgress(42);
  EXPECT_EQ(g_progressCalls, 1);
  EXPECT_EQ(g_lastProgress, 42);

  std::string reason;
  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1);
  // A slot left open (a run that never released it) must come back idle.
  testing_support::TempDir dir;
  std::FILE* file = platform::OpenFile(dir.File("open.dat"), "w+b");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(_InitBuf(4, file, 1, 1, 1), 1);
  ASSERT_EQ(_WriteBytes(4, 3, "abc"), 3);

  ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1);
  platform::CloseFile(file);
  ReportProgress(43);
  EXPECT_EQ(g_progressCalls, 1);

  for (int index = 0; index < kSlotCount; ++index) {
    const StreamSlot& slot = GetStreamSlot(index);
    EXPECT_EQ(slot.file, nullptr);
    EXPECT_FALSE(slot.rbuffer);
    EXPECT_FALSE(slot.wbuffer);
    EXPECT_EQ(slot.enc, 0);
    EXPECT_EQ(slot.rpointer, -1);
    EXPECT_EQ(slot.wpointer, -1);
    EXPECT_EQ(slot.indata, 0);
    EXPECT_EQ(slot.roffset, 0);
    EXPECT_EQ(slot.wfill, 0);
    EXPECT_EQ(slot.total_len, 0);
  }
}

}  // namespace
