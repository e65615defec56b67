// The stream layer reading an arbitrary file as a stream (encrypted, or
// plain): corrupt headers, lengths and chunk sizes. Byte 0 chooses plain or
// encrypted and the sizes of the reads; the rest is the file. A stream that
// the layer accepts must read the same twice, and rewriting it in place with
// its own bytes must leave a stream that reads the same again.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "platform/Platform.h"

namespace {

constexpr int kSlot = 4;
constexpr std::int32_t kReadSizes[] = {1, 3, 4, 8, 13, 4096};

struct Closer {
  std::FILE* file;
  ~Closer() {
    if (file != nullptr) platform::CloseFile(file);
  }
};

// Reads the slot to its end in pieces of the chosen sizes; false on a failure.
bool ReadAll(std::uint8_t pattern, std::string* bytes) {
  bytes->clear();
  std::vector<char> piece(4096);
  for (int k = 0;; ++k) {
    const std::int32_t want = kReadSizes[(pattern + k) % 6];
    const std::int32_t got = _ReadBytes(kSlot, want, piece.data());
    if (got < 0) return false;
    FUZZ_CHECK(got <= want, "");
    bytes->append(piece.data(), static_cast<std::size_t>(got));
    if (got < want) return true;
  }
}

void ExpectIdle() {
  const StreamSlot& slot = GetStreamSlot(kSlot);
  FUZZ_CHECK(!slot.rbuffer && !slot.wbuffer, "slot left busy");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();
  if (size < 1) return 0;
  const int enc = data[0] & 1;
  const std::uint8_t pattern = static_cast<std::uint8_t>(data[0] >> 1);
  const std::string path = fuzz_support::ScratchFile("stream.dat");
  fuzz_support::WriteScratchFile(path, data + 1, size - 1);

  std::string first;
  {
    Closer file{platform::OpenFile(path, "rb")};
    if (!_InitBuf(kSlot, file.file, 1, 0, enc)) {
      ExpectIdle();
      return 0;
    }
    const bool read = ReadAll(pattern, &first);
    std::string again;
    FUZZ_CHECK(_RestartAtBegining(kSlot) == 1, "");
    const bool readAgain = ReadAll(pattern + 1, &again);
    FUZZ_CHECK(_ReleaseBuf(kSlot) == 1, "");
    ExpectIdle();
    FUZZ_CHECK(read == readAgain, "");
    if (!read) return 0;
    FUZZ_CHECK(first == again, "a second read differs");
    if (!enc) FUZZ_CHECK(first == std::string(data + 1, data + size), "plain stream changed");
  }

  // Read and write back in step, as the in-place passes do.
  {
    Closer file{platform::OpenFile(path, "r+b")};
    FUZZ_CHECK(_InitBuf(kSlot, file.file, 1, 1, enc) == 1, "read-write open refused");
    std::vector<char> piece(4096);
    for (int k = 0;; ++k) {
      const std::int32_t want = kReadSizes[(pattern + k) % 6];
      const std::int32_t got = _ReadBytes(kSlot, want, piece.data());
      FUZZ_CHECK(got >= 0, "read-write pass failed to read");
      FUZZ_CHECK(_WriteBytes(kSlot, got, piece.data()) == got, "");
      if (got < want) break;
    }
    FUZZ_CHECK(_ReleaseBuf(kSlot) == 1, "");
    ExpectIdle();
  }
  {
    Closer file{platform::OpenFile(path, "rb")};
    std::string rewritten;
    FUZZ_CHECK(_InitBuf(kSlot, file.file, 1, 0, enc) == 1, "rewritten stream refused");
    FUZZ_CHECK(ReadAll(pattern, &rewritten), "rewritten stream unreadable");
    _ReleaseBuf(kSlot);
    FUZZ_CHECK(rewritten == first, "rewriting changed the stream");
  }
  return 0;
}

std::vector<std::string> FuzzSeeds() {
  // Encrypted streams written by the layer itself, under the fixed key.
  std::vector<std::string> seeds;
  fuzz_support::InitOnce();
  const std::string path = fuzz_support::ScratchFile("seed.dat");
  for (std::size_t length : {0u, 1u, 5u, 8u, 11u, 100u, 1000u}) {
    std::string payload;
    for (std::size_t k = 0; k < length; ++k) payload.push_back(static_cast<char>(k * 37 + 1));
    Closer file{platform::OpenFile(path, "w+b")};
    if (!_InitBuf(kSlot, file.file, 0, 1, 1) ||
        _WriteBytes(kSlot, static_cast<std::int32_t>(length), payload.data()) !=
            static_cast<std::int32_t>(length) ||
        !_ReleaseBuf(kSlot))
      fuzz_support::Fail("seed stream");
    platform::RewindFile(file.file);
    std::string bytes(1, static_cast<char>(length % 5 == 0 ? 1 : 3));  // encrypted
    char buffer[4096];
    for (std::size_t n; (n = platform::ReadFile(file.file, buffer, sizeof buffer)) > 0;)
      bytes.append(buffer, n);
    seeds.push_back(bytes);
  }
  seeds.push_back(std::string(1, '\x00') + "plain bytes of a binary input file");
  seeds.push_back(std::string("\x01\x10\x00\x00\x00", 5) + std::string(16, 'x'));
  return seeds;
}
