// Start-up of the stream layer: version check, generator seed (for the
// cipher self-test), free slots, cipher self-test and the run key from the
// operating system's random source; and the project's own pseudo-random
// generator.
#include "Shared/FileIO/StreamInit.h"

#include <cstdint>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "common/Progress.h"
#include "platform/Platform.h"

namespace {

// Highest interface version this layer serves.
constexpr double kMaxInterfaceVersion = 2.2;

// Run-key bytes are 32 + trunc(50 * r / 32767): printable, from ' ' to 'R'.
constexpr int kRunKeyBase = 32;
constexpr double kRunKeySpan = 50.0;
constexpr double kRandomMax = 32767.0;

// Linear congruential generator on 32 bits; its values are bits 16 to 30.
constexpr std::uint32_t kRandomMultiplier = 214013u;
constexpr std::uint32_t kRandomIncrement = 2531011u;

std::uint32_t g_randomState = 1;

}  // namespace

void SeedRandom(unsigned seed) { g_randomState = seed; }

int NextRandom() {
  g_randomState = g_randomState * kRandomMultiplier + kRandomIncrement;
  return static_cast<int>((g_randomState >> 16) & 0x7FFFu);
}

void RunKeyFromRandomBytes(const unsigned char* random, unsigned char* key) {
  for (int i = 0; i < kRunKeyLength; ++i) {
    // Two bytes give a value r of 0 to 32767, the generator's range, so the
    // bytes of the key follow the same rule and spread as before.
    const int r = (random[2 * i] | (random[2 * i + 1] << 8)) & 0x7FFF;
    key[i] =
        static_cast<unsigned char>(kRunKeyBase + static_cast<int>(kRunKeySpan * r / kRandomMax));
  }
}

int MakeRunKey(unsigned char* key) {
  unsigned char random[kRunKeyRandomBytes];
  if (!platform::FillRandom(random, sizeof random)) return 0;
  RunKeyFromRandomBytes(random, key);
  return 1;
}

int InitStreamLayer(double requestedVersion, std::string* reason, int cipherThreads) {
  // Written so that a NaN request is refused as well.
  if (!(requestedVersion <= kMaxInterfaceVersion)) {
    if (reason != nullptr) *reason = "*** Init failed: E00010 (Incorrect version)";
    return 0;
  }

  const platform::LocalTime now = platform::GetLocalTime();
  SeedRandom(static_cast<unsigned>(5 * now.second + now.hour));

  if (reason != nullptr) reason->clear();
  SetProgressCallback(nullptr);
  ResetStreamSlots();

  // The self-test draws its random blocks from the generator.
  if (!BlowfishSelfTest()) {
    if (reason != nullptr) *reason = "*** Init failed: E00100 (Driver Self Test)";
    return 0;
  }

  // The key comes from the operating system's random source: nothing that
  // can be guessed from the time of the run.
  unsigned char runKey[kRunKeyLength];
  if (!MakeRunKey(runKey)) {
    if (reason != nullptr) *reason = "*** Init failed: E00200 (Random source)";
    return 0;
  }
  BlowfishKey(kRunKeyLength, runKey);
  if (cipherThreads != kKeepCipherThreads) SetCipherThreads(cipherThreads);
  SetStreamLayerInitialized(true);
  return 1;
}
