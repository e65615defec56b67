// Start-up of the stream layer: version check, the run key's range and its
// derivation from the seed, the generator, and the progress hook.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "common/Progress.h"
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

TEST(StreamInit, RunKeyBytesArePrintableAndFollowTheSeed) {
  for (unsigned seed = 0; seed < 5 * 59 + 23 + 1; ++seed) {
    SeedRandom(seed);
    unsigned char first[kRunKeyLength];
    MakeRunKey(first);
    for (unsigned char byte : first) {
      ASSERT_GE(byte, 32) << "seed " << seed;
      ASSERT_LE(byte, 82) << "seed " << seed;
    }
    SeedRandom(seed);
    unsigned char second[kRunKeyLength];
    MakeRunKey(second);
    ASSERT_EQ(std::string(first, first + kRunKeyLength),
              std::string(second, second + kRunKeyLength))
        << "seed " << seed;
  }
  unsigned char a[kRunKeyLength];
  unsigned char b[kRunKeyLength];
  SeedRandom(1);
  MakeRunKey(a);
  SeedRandom(2);
  MakeRunKey(b);
  EXPECT_NE(std::string(a, a + kRunKeyLength), std::string(b, b + kRunKeyLength));
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

// The run key comes from the 244th to 269th values after seeding with
// 5 * second + hour; the cipher must be keyed with exactly that key.
TEST(StreamInit, KeysTheCipherWithTheRunKeyOfTheSeed) {
  bool checked = false;
  for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
    const platform::LocalTime before = platform::GetLocalTime();
    std::string reason;
    ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
    const Block underRunKey = EncryptProbe();
    const platform::LocalTime after = platform::GetLocalTime();
    if (before.second != after.second || before.hour != after.hour) continue;

    SeedRandom(static_cast<unsigned>(5 * before.second + before.hour));
    for (int i = 0; i < 243; ++i) NextRandom();
    unsigned char key[26];
    for (unsigned char& byte : key) {
      byte = static_cast<unsigned char>(32 + std::trunc(50.0 * NextRandom() / 32767.0));
    }
    BlowfishKey(26, key);
    EXPECT_EQ(EncryptProbe(), underRunKey);
    checked = true;
  }
  EXPECT_TRUE(checked) << "the clock never held still for one start-up";
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
