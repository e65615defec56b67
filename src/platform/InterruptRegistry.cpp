#include "platform/InterruptRegistry.h"

#include <atomic>
#include <cstring>

namespace platform::detail {

namespace {

// A conversion registers at most three files at once (two temporary files
// and the partial output); the rest is headroom.
constexpr int kSlotCount = 8;
// Longer than any path the program builds (259 characters), with room for
// a working directory that a relative path is taken from.
constexpr std::size_t kPathCapacity = 4096;

enum SlotState : int { kFree = 0, kFilling = 1, kActive = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathCapacity] = {};
};

Slot g_slots[kSlotCount];

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free states");

}  // namespace

bool RegisterInterruptPath(const std::string& path) {
  if (path.empty() || path.size() >= kPathCapacity) return false;
  for (Slot& slot : g_slots) {
    int expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state.store(kActive);
    return true;
  }
  return false;
}

void UnregisterInterruptPath(const std::string& path) {
  for (Slot& slot : g_slots) {
    if (slot.state.load() == kActive && path == slot.path) slot.state.store(kFree);
  }
}

int RemoveRegisteredPaths(bool (*removeFile)(const char* path)) {
  int removed = 0;
  for (Slot& slot : g_slots) {
    if (slot.state.load() != kActive) continue;
    if (removeFile(slot.path)) ++removed;
    slot.state.store(kFree);
  }
  return removed;
}

}  // namespace platform::detail
