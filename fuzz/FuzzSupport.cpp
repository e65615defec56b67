#include "FuzzSupport.h"

#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/TempFiles.h"
#include "app/Console.h"
#include "common/ByteOrder.h"
#include "platform/Platform.h"

namespace fuzz_support {

namespace {

// Key of every fuzzing process, in place of the key made for each run.
constexpr unsigned char kFixedKey[kRunKeyLength] = {'w', 'a', 'v', 'o', 'r', 'a', '-', 'f', 'u',
                                                    'z', 'z', '-', 'k', 'e', 'y', '-', '0', '1',
                                                    '2', '3', '4', '5', '6', '7', '8', '9'};
constexpr int kPayloadSlot = 9;
constexpr unsigned kEveryLevel = kLogInfo | kLogWarning | kLogError | kLogAlwaysShown;

std::string g_scratch;

void DropLine(const std::string&) {}
void PrintLine(const std::string& line) { std::fprintf(stderr, "> %s\n", line.c_str()); }

void RemoveScratch() {
  std::error_code ignored;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ignored);
}

}  // namespace

void InitOnce() {
  if (!g_scratch.empty()) return;
  std::string pattern = (std::filesystem::temp_directory_path() / "wavora_fuzz_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Fail("cannot create a scratch directory");
  g_scratch = pattern;
  std::atexit(RemoveScratch);
  // The program's console output (progress bars, statistics) is not wanted;
  // WAVORA_FUZZ_VERBOSE shows the log lines on standard error instead.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) Fail("cannot silence standard output");
  SetLogSink(std::getenv("WAVORA_FUZZ_VERBOSE") != nullptr ? PrintLine : DropLine);
  SetLogMask(kEveryLevel);
  std::string reason;
  if (!InitStreamLayer(kStreamInterfaceVersion, &reason)) Fail("stream layer start-up", reason);
  BlowfishKey(kRunKeyLength, kFixedKey);
}

std::string ScratchFile(const std::string& name) { return g_scratch + "/" + name; }

void WriteScratchFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail("cannot write scratch file", path);
  const bool complete = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !complete) Fail("cannot write scratch file", path);
}

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "*** fuzz oracle: %s %s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

bool ReadEncryptedPayload(std::FILE* file, std::string* payload) {
  payload->clear();
  if (!_InitBuf(kPayloadSlot, file, 1, 0, 1)) return false;
  char buffer[4096];
  bool ok = true;
  while (true) {
    const std::int32_t got = _ReadBytes(kPayloadSlot, sizeof buffer, buffer);
    if (got < 0) ok = false;
    if (got <= 0) break;
    payload->append(buffer, static_cast<std::size_t>(got));
  }
  _ReleaseBuf(kPayloadSlot);
  return ok;
}

void CheckSlotsFree() {
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const StreamSlot& s = GetStreamSlot(slot);
    FUZZ_CHECK(!s.rbuffer && !s.wbuffer, "slot " + std::to_string(slot) + " left busy");
  }
}

void CheckPairsInsideFullScale(const std::string& payload, std::int32_t pairs) {
  // Rounding of the single-precision arithmetic on the way.
  constexpr double kFullScaleTolerance = 1e-5;
  const auto* bytes = reinterpret_cast<const unsigned char*>(payload.data());
  for (std::int32_t k = 0; k < pairs; ++k) {
    const std::size_t at = kTempWaveHeaderSize +
                           static_cast<std::size_t>(kTempSampleSize) * static_cast<std::size_t>(k);
    const double i = LoadFloatLE(bytes + at);
    const double q = LoadFloatLE(bytes + at + 4);
    FUZZ_CHECK(std::isfinite(i) && std::isfinite(q), "sample " + std::to_string(k));
    FUZZ_CHECK(std::sqrt(i * i + q * q) <= 1.0 + kFullScaleTolerance,
               "sample " + std::to_string(k) + " above full scale");
  }
}

}  // namespace fuzz_support

// The stream layer takes a 16 MiB buffer for each side of a slot at every
// open and frees it at release. Under AddressSanitizer each such pair costs
// megabytes of shadow memory written and dropped again, which held a target
// to a few inputs per second. Freed buffers of exactly that size are kept
// here and handed out again; they come from malloc and go back to free, so
// the sanitizer still sees every allocation and its bounds.
namespace {

constexpr int kKeptBuffers = 8;
void* g_keptBuffers[kKeptBuffers];
int g_keptCount = 0;

void* AllocateArray(std::size_t size) {
  if (size == static_cast<std::size_t>(kSlotBufferSize) && g_keptCount > 0)
    return g_keptBuffers[--g_keptCount];
  return std::malloc(size == 0 ? 1 : size);
}

void FreeArray(void* pointer) {
  if (pointer == nullptr) return;
  if (g_keptCount < kKeptBuffers &&
      malloc_usable_size(pointer) == static_cast<std::size_t>(kSlotBufferSize)) {
    g_keptBuffers[g_keptCount++] = pointer;
    return;
  }
  std::free(pointer);
}

}  // namespace

void* operator new[](std::size_t size) {
  void* pointer = AllocateArray(size);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateArray(size);
}
void operator delete[](void* pointer) noexcept { FreeArray(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { FreeArray(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { FreeArray(pointer); }
