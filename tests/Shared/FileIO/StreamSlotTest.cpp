// The stream slots: the encrypted layout on disk, reads across chunks and at
// the end of the payload, broken and truncated streams, the error lines of
// every operation, in-place rewriting and restarts, chunks written behind and
// read ahead on threads of their own.

#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/WorkerPool.h"
#include "app/Console.h"
#include "platform/FaultInjection.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;
using ts::Bytes;

constexpr std::size_t kChunk = 16u * 1024u * 1024u;
// "HH:MM:SS" and three blanks precede the texts of a LogAlways line.
constexpr std::size_t kStampLength = 11;

std::vector<std::string> g_lines;
void CaptureLine(const std::string& line) { g_lines.push_back(line); }

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) platform::CloseFile(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr Open(const std::string& path, const char* mode) {
  return FilePtr(platform::OpenFile(path, mode));
}

std::string ErrorLine(const std::string& operation, const std::string& line) {
  return "*** Error in file FileIOBufferedIO.cpp" + operation + " @ " + line;
}

// Pseudo-random bytes, eight per generator step so that chunk-sized
// payloads stay cheap in unoptimised builds.
Bytes Pattern(std::size_t length, std::uint32_t salt) {
  Bytes bytes(length);
  std::uint64_t x = salt * 0x9E3779B97F4A7C15ull + 1u;
  for (std::size_t i = 0; i < length; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const std::size_t n = std::min<std::size_t>(8, length - i);
    std::memcpy(bytes.data() + i, &x, n);
  }
  return bytes;
}

// The whole file in one read.
Bytes ReadWholeFile(const std::string& path) {
  std::int64_t size = 0;
  if (!platform::GetFileSize(path, &size)) return {};
  Bytes bytes(static_cast<std::size_t>(size));
  std::FILE* file = platform::OpenFile(path, "rb");
  if (file == nullptr) return {};
  bytes.resize(platform::ReadFile(file, bytes.data(), bytes.size()));
  platform::CloseFile(file);
  return bytes;
}

// Compares without printing megabytes of bytes on a mismatch.
::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "size " << actual.size() << ", expected " << expected.size();
  }
  const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
  if (mismatch.first != actual.end()) {
    return ::testing::AssertionFailure()
           << "first difference at byte " << (mismatch.first - actual.begin());
  }
  return ::testing::AssertionSuccess();
}

Bytes LittleEndian32(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  return {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
          static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
}

// What an encrypted stream of this payload must look like on disk under the
// current key: length header, then the payload filled with zero bytes to
// whole blocks and encrypted block by block.
Bytes ExpectedEncryptedFile(const Bytes& payload) {
  if (payload.empty()) return {};
  Bytes body = payload;
  body.resize((payload.size() + 7) / 8 * 8, 0);
  for (std::size_t offset = 0; offset < body.size(); offset += 8) {
    BlowfishEncryptBuffer(body.data() + offset, 8);
  }
  Bytes file = LittleEndian32(static_cast<std::int32_t>(payload.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

class StreamSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
    g_lines.clear();
    SetLogSink(CaptureLine);
  }
  void TearDown() override {
    platform::faults::SetRecording(false);
    platform::faults::Reset();
    ResetStreamSlots();
    SetStreamLayerInitialized(true);
    SetLogSink(nullptr);
  }

  // The captured lines without their time stamps; clears the capture.
  static std::vector<std::string> TakeMessages() {
    std::vector<std::string> messages;
    for (const std::string& line : g_lines) {
      messages.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : line);
    }
    g_lines.clear();
    return messages;
  }

  // Writes the payload through a write-only slot in pieces of `piece` bytes.
  static void WriteStream(const std::string& path, const Bytes& payload, std::size_t piece,
                          int enc = 1) {
    FilePtr file = Open(path, "w+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(_InitBuf(0, file.get(), 0, 1, enc), 1);
    for (std::size_t offset = 0; offset < payload.size(); offset += piece) {
      const auto count = static_cast<std::int32_t>(std::min(piece, payload.size() - offset));
      ASSERT_EQ(_WriteBytes(0, count, payload.data() + offset), count);
    }
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }

  // Reads through a read-only slot in pieces until the slot reports the end.
  static Bytes ReadStream(const std::string& path, std::size_t piece, int enc = 1) {
    Bytes result;
    FilePtr file = Open(path, "rb");
    EXPECT_NE(file, nullptr);
    if (!file || _InitBuf(0, file.get(), 1, 0, enc) != 1) return result;
    Bytes buffer(piece);
    for (;;) {
      const std::int32_t got = _ReadBytes(0, static_cast<std::int32_t>(piece), buffer.data());
      EXPECT_GE(got, 0);
      if (got <= 0) break;
      result.insert(result.end(), buffer.begin(), buffer.begin() + got);
    }
    EXPECT_EQ(_ReleaseBuf(0), 1);
    return result;
  }

  ts::TempDir dir_;
};

TEST_F(StreamSlots, WritesLengthHeaderAndEncryptedBlocks) {
  const std::size_t sizes[] = {1, 5, 8, 11, 4099};
  const std::size_t pieces[] = {1, 3, 8};
  for (std::size_t size : sizes) {
    for (std::size_t piece : pieces) {
      const Bytes payload = Pattern(size, static_cast<std::uint32_t>(size + piece));
      const std::string path = dir_.File("layout.dat");
      WriteStream(path, payload, piece);
      EXPECT_EQ(ReadWholeFile(path), ExpectedEncryptedFile(payload))
          << "size " << size << " piece " << piece;
      EXPECT_EQ(ReadStream(path, 3), payload) << "size " << size << " piece " << piece;
    }
  }
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, FiveBytePayloadReadsFiveThenZero) {
  const std::string path = dir_.File("five.dat");
  const Bytes payload = {'h', 'e', 'l', 'l', 'o'};
  WriteStream(path, payload, 5);
  ASSERT_EQ(ReadWholeFile(path).size(), 4u + 8u);

  FilePtr file = Open(path, "rb");
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  EXPECT_EQ(GetStreamSlot(0).total_len, 5);
  Bytes buffer(100, 0xEE);
  ASSERT_EQ(_ReadBytes(0, 100, buffer.data()), 5);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), payload);
  EXPECT_EQ(buffer[5], 0xEE);  // the fill bytes are not handed out
  EXPECT_EQ(_ReadBytes(0, 8, buffer.data()), 0);
  EXPECT_EQ(_ReadBytes(0, 1, buffer.data()), 0);
  EXPECT_EQ(_ReleaseBuf(0), 1);
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, ReadsAcrossChunkBoundaries) {
  // Encrypted: one write larger than a chunk, then reads that straddle it.
  const Bytes payload = Pattern(kChunk + 1000, 1);
  const std::string path = dir_.File("span.dat");
  WriteStream(path, payload, payload.size());
  std::int64_t size = 0;
  ASSERT_TRUE(platform::GetFileSize(path, &size));
  EXPECT_EQ(size, static_cast<std::int64_t>(4 + kChunk + 1000));

  FilePtr file = Open(path, "rb");
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  Bytes head(kChunk - 5);
  ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(head.size()), head.data()),
            static_cast<std::int32_t>(head.size()));
  Bytes straddle(12);
  ASSERT_EQ(_ReadBytes(0, 12, straddle.data()), 12);
  EXPECT_EQ(straddle, Bytes(payload.begin() + (kChunk - 5), payload.begin() + (kChunk + 7)));
  Bytes tail(2000);
  ASSERT_EQ(_ReadBytes(0, 2000, tail.data()), 993);
  EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 993),
            Bytes(payload.begin() + kChunk + 7, payload.end()));
  EXPECT_EQ(_ReadBytes(0, 1, tail.data()), 0);

  // The whole payload in one request.
  ASSERT_EQ(_RestartAtBegining(0), 1);
  Bytes all(payload.size() + 50);
  ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(all.size()), all.data()),
            static_cast<std::int32_t>(payload.size()));
  all.resize(payload.size());
  EXPECT_TRUE(SameBytes(all, payload));
  ASSERT_EQ(_ReleaseBuf(0), 1);

  // Unencrypted: the file's bytes from offset 0, no header.
  const Bytes raw = Pattern(kChunk + 10, 2);
  const std::string rawPath = dir_.File("raw.bin");
  ts::WriteFileBytes(rawPath, raw);
  EXPECT_TRUE(SameBytes(ReadStream(rawPath, kChunk - 2, 0), raw));
  EXPECT_TRUE(TakeMessages().empty());
}

// Pieces of a chunk and more skip the slot buffers: whole chunks are read
// into the caller's memory and written from it. The stream on disk must be
// the one small pieces make, and every byte must land where it belongs.
TEST_F(StreamSlots, LargePiecesGiveTheStreamOfSmallPieces) {
  const Bytes payload = Pattern(2 * kChunk + 1003, 31);
  const auto size = static_cast<std::int32_t>(payload.size());
  for (const int enc : {1, 0}) {
    SCOPED_TRACE(enc);
    const std::string small = dir_.File("small.dat");
    const std::string large = dir_.File("large.dat");
    const std::string mixed = dir_.File("mixed.dat");
    WriteStream(small, payload, 4096, enc);
    WriteStream(large, payload, payload.size(), enc);
    {
      // A short piece first: the large one then starts in a partly filled buffer.
      FilePtr file = Open(mixed, "w+b");
      ASSERT_EQ(_InitBuf(0, file.get(), 0, 1, enc), 1);
      ASSERT_EQ(_WriteBytes(0, 5, payload.data()), 5);
      ASSERT_EQ(_WriteBytes(0, size - 5, payload.data() + 5), size - 5);
      ASSERT_EQ(_ReleaseBuf(0), 1);
    }
    const Bytes expected = ReadWholeFile(small);
    EXPECT_TRUE(SameBytes(ReadWholeFile(large), expected));
    EXPECT_TRUE(SameBytes(ReadWholeFile(mixed), expected));

    // All in one request, and a short piece first, then the rest.
    EXPECT_TRUE(SameBytes(ReadStream(large, payload.size() + 100, enc), payload));
    FilePtr file = Open(large, "rb");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, enc), 1);
    Bytes got(payload.size() + 100, 0xEE);
    ASSERT_EQ(_ReadBytes(0, 5, got.data()), 5);
    ASSERT_EQ(_ReadBytes(0, size + 95, got.data() + 5), size - 5);
    EXPECT_TRUE(SameBytes(Bytes(got.begin(), got.begin() + size), payload));
    EXPECT_EQ(_ReadBytes(0, 1, got.data()), 0);
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }

  // A direct read of the last chunk of an encrypted stream hands out the
  // payload without the fill bytes.
  const Bytes shorter(payload.begin(), payload.begin() + kChunk + 1003);
  const std::string path = dir_.File("shorter.dat");
  WriteStream(path, shorter, shorter.size());
  FilePtr file = Open(path, "rb");
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  Bytes got(2 * kChunk);
  ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(got.size()), got.data()),
            static_cast<std::int32_t>(shorter.size()));
  EXPECT_TRUE(
      SameBytes(Bytes(got.begin(), got.begin() + static_cast<long>(shorter.size())), shorter));
  EXPECT_EQ(_ReadBytes(0, 1, got.data()), 0);
  ASSERT_EQ(_ReleaseBuf(0), 1);
  EXPECT_TRUE(TakeMessages().empty());
}

// Read-modify-write of a whole encrypted stream in one read and one write.
TEST_F(StreamSlots, RewritesInPlaceInOneReadAndOneWrite) {
  const Bytes payload = Pattern(2 * kChunk + 1003, 32);
  const auto size = static_cast<std::int32_t>(payload.size());
  const std::string path = dir_.File("whole.dat");
  WriteStream(path, payload, 4096);
  {
    FilePtr file = Open(path, "r+b");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 1, 1), 1);
    Bytes all(payload.size());
    ASSERT_EQ(_ReadBytes(0, size, all.data()), size);
    for (unsigned char& b : all) b = static_cast<unsigned char>(~b);
    ASSERT_EQ(_WriteBytes(0, size, all.data()), size);
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }
  Bytes expected = payload;
  for (unsigned char& b : expected) b = static_cast<unsigned char>(~b);
  const std::string reference = dir_.File("reference.dat");
  WriteStream(reference, expected, 4096);
  EXPECT_TRUE(SameBytes(ReadWholeFile(path), ReadWholeFile(reference)));
  EXPECT_TRUE(TakeMessages().empty());
}

// A read over several chunks that fails at a later chunk reports the failure
// and one continuation line for each chunk boundary it had crossed.
TEST_F(StreamSlots, FailedLaterChunkOfALargeReadReportsEachCrossedBoundary) {
  const std::string path = dir_.File("three.bin");
  ts::WriteFileBytes(path, Pattern(2 * kChunk + 8, 33));
  Bytes got(2 * kChunk + 8);
  for (const std::uint64_t failingRead : {1u, 2u}) {
    FilePtr file = Open(path, "rb");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 0), 1);
    platform::faults::Arm(failingRead, platform::faults::Fault::kFail);
    EXPECT_EQ(_ReadBytes(0, static_cast<std::int32_t>(got.size()), got.data()), -1);
    EXPECT_TRUE(platform::faults::FaultDelivered());
    platform::faults::Reset();
    EXPECT_EQ(TakeMessages(),
              std::vector<std::string>(failingRead, ErrorLine("_ReadBytes", "439")));
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }
}

TEST_F(StreamSlots, ExactlyOneChunkOfPayload) {
  const Bytes payload = Pattern(kChunk, 3);
  const std::string path = dir_.File("chunk.dat");
  WriteStream(path, payload, 4096);
  const Bytes disk = ReadWholeFile(path);
  ASSERT_EQ(disk.size(), 4 + kChunk);
  EXPECT_EQ(Bytes(disk.begin(), disk.begin() + 4),
            LittleEndian32(static_cast<std::int32_t>(kChunk)));

  FilePtr file = Open(path, "rb");
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  Bytes all(kChunk);
  ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(kChunk), all.data()),
            static_cast<std::int32_t>(kChunk));
  EXPECT_TRUE(SameBytes(all, payload));
  EXPECT_EQ(_ReadBytes(0, 1, all.data()), 0);
  EXPECT_EQ(_ReleaseBuf(0), 1);
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, NeverWrittenStreamStaysEmpty) {
  const std::string path = dir_.File("empty.dat");
  WriteStream(path, {}, 1);
  std::int64_t size = -1;
  ASSERT_TRUE(platform::GetFileSize(path, &size));
  EXPECT_EQ(size, 0);

  FilePtr file = Open(path, "rb");
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  EXPECT_EQ(GetStreamSlot(0).total_len, 0);
  unsigned char byte = 0;
  EXPECT_EQ(_ReadBytes(0, 1, &byte), 0);
  EXPECT_EQ(_ReleaseBuf(0), 1);
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, RefusesBrokenHeadersAndLeavesTheSlotFree) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* line;
  };
  Bytes zeroHeader = LittleEndian32(0);
  zeroHeader.resize(12, 0x33);
  Bytes negative = LittleEndian32(-8);
  negative.resize(12, 0x33);
  Bytes ragged = LittleEndian32(5);
  ragged.resize(11, 0x33);
  Bytes overlong = LittleEndian32(100);
  overlong.resize(20, 0x33);
  const Case cases[] = {
      {"unfinished writer", zeroHeader, "249"},
      {"negative length", negative, "249"},
      {"short header", {0x05, 0x00}, "247"},
      {"ragged chunk", ragged, "268"},
      {"length beyond the data", overlong, "268"},
      {"header without data", LittleEndian32(8), "268"},
  };
  const Bytes good = {'o', 'k'};
  const std::string goodPath = dir_.File("good.dat");
  WriteStream(goodPath, good, 2);

  for (const Case& c : cases) {
    const std::string path = dir_.File("broken.dat");
    ts::WriteFileBytes(path, c.bytes);
    FilePtr file = Open(path, "rb");
    EXPECT_EQ(_InitBuf(0, file.get(), 1, 1, 1), 0) << c.what;
    EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_InitBuf", c.line)}) << c.what;
    EXPECT_FALSE(GetStreamSlot(0).rbuffer) << c.what;
    EXPECT_FALSE(GetStreamSlot(0).wbuffer) << c.what;
    EXPECT_EQ(_ReleaseBuf(0), 1) << c.what;
    // Nothing was written back into the broken file.
    EXPECT_EQ(ReadWholeFile(path), c.bytes) << c.what;
    EXPECT_EQ(ReadStream(goodPath, 4), good) << c.what;
    EXPECT_TRUE(TakeMessages().empty()) << c.what;
  }
}

TEST_F(StreamSlots, TruncatedLaterChunkFailsAndHandsOutNothing) {
  const Bytes payload = Pattern(kChunk + 16, 4);
  const std::string path = dir_.File("cut.dat");
  WriteStream(path, payload, payload.size());
  const Bytes whole = ReadWholeFile(path);
  ASSERT_EQ(whole.size(), 4 + kChunk + 16);

  for (std::size_t kept : {kChunk + 8, kChunk}) {
    ts::WriteFileBytes(path, Bytes(whole.begin(), whole.begin() + 4 + kept));
    FilePtr file = Open(path, "rb");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
    Bytes buffer(kChunk);
    ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(kChunk), buffer.data()),
              static_cast<std::int32_t>(kChunk));
    EXPECT_EQ(_ReadBytes(0, 16, buffer.data()), -1) << kept;
    EXPECT_EQ(_ReadBytes(0, 1, buffer.data()), -1) << kept;
    EXPECT_EQ(TakeMessages(), std::vector<std::string>(2, ErrorLine("_ReadBytes", "405"))) << kept;
    EXPECT_EQ(_ReleaseBuf(0), 1);
  }
}

TEST_F(StreamSlots, ReportsBadArgumentsWithTheOperationsLines) {
  const std::string path = dir_.File("args.dat");
  ts::WriteFileBytes(path, {1, 2, 3});
  FilePtr file = Open(path, "rb");
  unsigned char byte = 0;

  for (int index : {10, -1}) {
    EXPECT_EQ(_InitBuf(index, file.get(), 1, 0, 0), 0);
    EXPECT_EQ(_ReadBytes(index, 1, &byte), -1);
    EXPECT_EQ(_WriteBytes(index, 1, &byte), -1);
    EXPECT_EQ(_ReleaseBuf(index), 0);
    EXPECT_EQ(_RestartAtBegining(index), 0);
    EXPECT_EQ(TakeMessages(), (std::vector<std::string>{
                                  ErrorLine("_InitBuf", "191"), ErrorLine("_ReadBytes", "338"),
                                  ErrorLine("_WriteBytes", "468"), ErrorLine("_ReleaseBuf", "581"),
                                  ErrorLine("_RestartAtBegining", "726")}))
        << index;
  }

  // Slot 5 has held no stream since start-up.
  EXPECT_EQ(_InitBuf(5, nullptr, 1, 0, 0), 0);
  EXPECT_EQ(_ReadBytes(5, 1, &byte), -1);
  EXPECT_EQ(_WriteBytes(5, 1, &byte), -1);
  EXPECT_EQ(_ReleaseBuf(5), 0);
  EXPECT_EQ(_RestartAtBegining(5), 0);
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{
                                ErrorLine("_InitBuf", "192"), ErrorLine("_ReadBytes", "339"),
                                ErrorLine("_WriteBytes", "469"), ErrorLine("_ReleaseBuf", "582"),
                                ErrorLine("_RestartAtBegining", "727")}));

  EXPECT_EQ(_InitBuf(5, file.get(), 0, 0, 0), 0);
  EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_InitBuf", "200")});

  ASSERT_EQ(_InitBuf(5, file.get(), 1, 0, 0), 1);
  EXPECT_EQ(_WriteBytes(5, 1, &byte), -1);
  EXPECT_EQ(_ReadBytes(5, -1, &byte), -1);
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{ErrorLine("_WriteBytes", "471"),
                                                      ErrorLine("_ReadBytes", "338")}));
  EXPECT_EQ(_ReadBytes(5, 0, nullptr), 0);
  unsigned char three[3] = {};
  EXPECT_EQ(_ReadBytes(5, 3, three), 3);
  EXPECT_EQ(Bytes(three, three + 3), (Bytes{1, 2, 3}));
  ASSERT_EQ(_ReleaseBuf(5), 1);
  EXPECT_EQ(_ReleaseBuf(5), 1);  // a released slot that once held a stream

  FilePtr out = Open(dir_.File("out.dat"), "w+b");
  ASSERT_EQ(_InitBuf(6, out.get(), 0, 1, 1), 1);
  EXPECT_EQ(_ReadBytes(6, 1, &byte), -1);
  EXPECT_EQ(_WriteBytes(6, -4, &byte), -1);
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{ErrorLine("_ReadBytes", "341"),
                                                      ErrorLine("_WriteBytes", "468")}));
  EXPECT_EQ(_ReleaseBuf(6), 1);
}

TEST_F(StreamSlots, BusySlotRefusesASecondStreamAndKeepsTheFirst) {
  const Bytes first = Pattern(300, 5);
  const std::string firstPath = dir_.File("first.dat");
  const std::string secondPath = dir_.File("second.dat");
  WriteStream(firstPath, first, 7);
  WriteStream(secondPath, Pattern(40, 6), 8);

  FilePtr a = Open(firstPath, "rb");
  FilePtr b = Open(secondPath, "rb");
  ASSERT_EQ(_InitBuf(2, a.get(), 1, 0, 1), 1);
  Bytes head(100);
  ASSERT_EQ(_ReadBytes(2, 100, head.data()), 100);
  EXPECT_EQ(_InitBuf(2, b.get(), 1, 0, 1), 0);
  EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_InitBuf", "193")});
  EXPECT_EQ(GetStreamSlot(2).file, a.get());

  Bytes rest(500);
  ASSERT_EQ(_ReadBytes(2, 500, rest.data()), 200);
  head.insert(head.end(), rest.begin(), rest.begin() + 200);
  EXPECT_EQ(head, first);
  EXPECT_EQ(_ReleaseBuf(2), 1);
}

// The pipeline's read-modify-write pass: a header of 3 bytes copied back,
// then 8-byte records transformed in place, on one stream kept open.
void RewriteInPlace(const std::string& path, std::size_t payloadSize) {
  const Bytes payload = Pattern(payloadSize, static_cast<std::uint32_t>(payloadSize));
  FilePtr file = Open(path, "w+b");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(_InitBuf(0, file.get(), 0, 1, 1), 1);
  ASSERT_EQ(_WriteBytes(0, static_cast<std::int32_t>(payloadSize), payload.data()),
            static_cast<std::int32_t>(payloadSize));
  ASSERT_EQ(_ReleaseBuf(0), 1);

  ASSERT_EQ(_InitBuf(0, file.get(), 1, 1, 1), 1);
  unsigned char record[8];
  ASSERT_EQ(_ReadBytes(0, 3, record), 3);
  ASSERT_EQ(_WriteBytes(0, 3, record), 3);
  std::size_t records = 0;
  for (;;) {
    const std::int32_t got = _ReadBytes(0, 8, record);
    ASSERT_GE(got, 0);
    if (got == 0) break;
    ASSERT_EQ(got, 8);
    for (unsigned char& b : record) b = static_cast<unsigned char>(b ^ 0xA5);
    ASSERT_EQ(_WriteBytes(0, 8, record), 8);
    ++records;
  }
  ASSERT_EQ(_ReleaseBuf(0), 1);
  ASSERT_EQ(records, (payloadSize - 3) / 8);

  Bytes expected = payload;
  for (std::size_t i = 3; i < expected.size(); ++i) {
    expected[i] = static_cast<unsigned char>(expected[i] ^ 0xA5);
  }
  file.reset();
  EXPECT_TRUE(SameBytes(ReadWholeFile(path), ExpectedEncryptedFile(expected))) << payloadSize;
}

TEST_F(StreamSlots, RewritesInPlaceBelowAndAboveOneChunk) {
  RewriteInPlace(dir_.File("small.dat"), 3 + 8 * 1000);
  RewriteInPlace(dir_.File("large.dat"), 3 + 8 * (kChunk / 8 + 70000));
  EXPECT_TRUE(TakeMessages().empty());
}

// Unencrypted, over several chunks, with records that straddle the chunk
// boundaries: every refill after a flush must first go back to the read
// position.
TEST_F(StreamSlots, RewritesInPlaceOverSeveralChunks) {
  const std::string path = dir_.File("multi.bin");
  const Bytes payload = Pattern(2 * kChunk + kChunk / 2 + 5, 14);
  ts::WriteFileBytes(path, payload);
  constexpr std::int32_t kRecord = 1000;
  {
    FilePtr file = Open(path, "r+b");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 1, 0), 1);
    Bytes record(kRecord);
    for (;;) {
      const std::int32_t got = _ReadBytes(0, kRecord, record.data());
      ASSERT_GE(got, 0);
      if (got == 0) break;
      for (std::int32_t i = 0; i < got; ++i) record[i] = static_cast<unsigned char>(~record[i]);
      ASSERT_EQ(_WriteBytes(0, got, record.data()), got);
    }
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }
  Bytes expected = payload;
  for (unsigned char& b : expected) b = static_cast<unsigned char>(~b);
  EXPECT_TRUE(SameBytes(ReadWholeFile(path), expected));
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, RestartRereadsWhatWasWritten) {
  // Reading and writing slot on a fresh file, everything still buffered.
  const Bytes first = Pattern(100, 7);
  const Bytes second = Pattern(50, 8);
  const std::string path = dir_.File("restart.dat");
  {
    FilePtr file = Open(path, "w+b");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 1, 1), 1);
    ASSERT_EQ(_WriteBytes(0, 100, first.data()), 100);
    ASSERT_EQ(_RestartAtBegining(0), 1);
    Bytes got(200);
    ASSERT_EQ(_ReadBytes(0, 200, got.data()), 100);
    got.resize(100);
    EXPECT_EQ(got, first);
    // The next flush starts again at the beginning of the stream.
    ASSERT_EQ(_WriteBytes(0, 50, second.data()), 50);
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }
  EXPECT_EQ(ReadStream(path, 64), second);

  // Write-only slot: a restart makes the stream start over.
  {
    FilePtr file = Open(path, "w+b");
    ASSERT_EQ(_InitBuf(0, file.get(), 0, 1, 1), 1);
    ASSERT_EQ(_WriteBytes(0, 100, first.data()), 100);
    ASSERT_EQ(_RestartAtBegining(0), 1);
    ASSERT_EQ(_WriteBytes(0, 50, second.data()), 50);
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }
  EXPECT_EQ(ReadStream(path, 64), second);

  // More than a chunk: part flushed on overflow, the rest by the restart.
  const Bytes big = Pattern(kChunk + 24, 9);
  {
    FilePtr file = Open(path, "w+b");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 1, 1), 1);
    ASSERT_EQ(_WriteBytes(0, static_cast<std::int32_t>(big.size()), big.data()),
              static_cast<std::int32_t>(big.size()));
    ASSERT_EQ(_RestartAtBegining(0), 1);
    EXPECT_EQ(GetStreamSlot(0).total_len, static_cast<std::int32_t>(big.size()));
    Bytes got(big.size() + 8);
    ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(got.size()), got.data()),
              static_cast<std::int32_t>(big.size()));
    got.resize(big.size());
    EXPECT_TRUE(SameBytes(got, big));
    ASSERT_EQ(_ReleaseBuf(0), 1);
  }
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, ForwardingSetAlwaysEncrypts) {
  const std::string path = dir_.File("forward.dat");
  const Bytes payload = Pattern(21, 10);
  FilePtr file = Open(path, "w+b");
  ASSERT_EQ(InitBuf(1, file.get(), 1, 1), 1);
  ASSERT_EQ(WriteBytes(1, 21, payload.data()), 21);
  ASSERT_EQ(RestartAtBegining(1), 1);
  Bytes got(21);
  ASSERT_EQ(ReadBytes(1, 21, got.data()), 21);
  EXPECT_EQ(got, payload);
  ASSERT_EQ(ReleaseBuf(1), 1);
  file.reset();
  EXPECT_EQ(ReadWholeFile(path), ExpectedEncryptedFile(payload));
  EXPECT_EQ(ReleaseBuf(10), 0);
  EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_ReleaseBuf", "581")});
}

TEST_F(StreamSlots, UnencryptedWritesStoreTheBytesAsTheyAre) {
  const std::string path = dir_.File("plain.bin");
  const Bytes payload = Pattern(11, 11);
  WriteStream(path, payload, 4, 0);
  EXPECT_EQ(ReadWholeFile(path), payload);
  EXPECT_EQ(ReadStream(path, 5, 0), payload);
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(StreamSlots, WarnsOnEveryCallBeforeStartUpAndCarriesOn) {
  SetStreamLayerInitialized(false);
  const std::string path = dir_.File("early.dat");
  const Bytes payload = Pattern(10, 12);
  FilePtr file = Open(path, "w+b");
  EXPECT_EQ(_InitBuf(0, file.get(), 1, 1, 1), 1);
  EXPECT_EQ(_WriteBytes(0, 10, payload.data()), 10);
  EXPECT_EQ(_RestartAtBegining(0), 1);
  Bytes got(10);
  EXPECT_EQ(_ReadBytes(0, 10, got.data()), 10);
  EXPECT_EQ(got, payload);
  EXPECT_EQ(_ReleaseBuf(0), 1);
  EXPECT_EQ(TakeMessages(), std::vector<std::string>(5, "*** Library not correctly initialized."));
}

TEST_F(StreamSlots, FailedWritesReportTheirLineAndFreeTheSlot) {
  const std::string path = dir_.File("readonly.dat");
  ts::WriteFileBytes(path, {9, 9, 9});
  const Bytes payload = Pattern(10, 13);
  struct Case {
    int enc;
    bool restart;
    std::string expected;
  };
  const Case cases[] = {
      {0, false, ErrorLine("_ReleaseBuf", "657")},
      {1, false, ErrorLine("_ReleaseBuf", "623")},
      {0, true, ErrorLine("_RestartAtBegining", "803")},
      {1, true, ErrorLine("_RestartAtBegining", "769")},
  };
  for (const Case& c : cases) {
    FilePtr file = Open(path, "rb");  // writes to this stream fail
    ASSERT_EQ(_InitBuf(0, file.get(), 0, 1, c.enc), 1);
    ASSERT_EQ(_WriteBytes(0, 10, payload.data()), 10);
    if (c.restart) {
      EXPECT_EQ(_RestartAtBegining(0), 0);
      EXPECT_EQ(TakeMessages(), std::vector<std::string>{c.expected});
    }
    const int released = _ReleaseBuf(0);
    if (!c.restart) {
      EXPECT_EQ(released, 0);
      EXPECT_EQ(TakeMessages(), std::vector<std::string>{c.expected});
    }
    TakeMessages();
    EXPECT_FALSE(GetStreamSlot(0).wbuffer);
    EXPECT_EQ(ReadWholeFile(path), (Bytes{9, 9, 9}));
  }
  // The slot is free for the next user.
  FilePtr other = Open(dir_.File("next.dat"), "w+b");
  EXPECT_EQ(_InitBuf(0, other.get(), 0, 1, 1), 1);
  EXPECT_EQ(_ReleaseBuf(0), 1);
}

// A writing slot never lets its 32-bit file offset wrap: the flush that would
// pass 2 GiB is refused. The bytes go to the null device, so nothing lands
// on disk.
TEST_F(StreamSlots, RefusesToWritePastTwoGibibytes) {
  FilePtr sink = Open("/dev/null", "wb");
  if (!sink) GTEST_SKIP() << "no null device";
  const Bytes chunk(kChunk, 0x5A);
  ASSERT_EQ(_InitBuf(7, sink.get(), 0, 1, 0), 1);
  // 128 chunks fill offsets 0 to 2 GiB - 1; the flush of the 128th chunk,
  // started by the first byte beyond it, would end at 2^31.
  for (int i = 0; i < 128; ++i) {
    ASSERT_EQ(_WriteBytes(7, static_cast<std::int32_t>(kChunk), chunk.data()),
              static_cast<std::int32_t>(kChunk))
        << i;
  }
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(GetStreamSlot(7).wpointer, static_cast<std::int32_t>(127 * kChunk));
  EXPECT_EQ(_WriteBytes(7, 1, chunk.data()), -1);
  EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_WriteBytes", "539")});
  EXPECT_EQ(GetStreamSlot(7).wpointer, static_cast<std::int32_t>(127 * kChunk));
  EXPECT_EQ(_ReleaseBuf(7), 0);
  EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_ReleaseBuf", "657")});
}

// A reading slot refuses the piece whose end would lie beyond a 32-bit file
// offset, instead of letting its read position wrap; what it read up to
// there it delivered. The zero device is an endless stream of bytes. A plain
// slot that only reads fills its buffer a piece at a time, so it holds no
// more memory than the pieces it has read.
TEST_F(StreamSlots, RefusesToReadPastTwoGibibytes) {
  FilePtr file = Open("/dev/zero", "rb");
  if (!file) GTEST_SKIP() << "no zero device";
  ASSERT_EQ(_InitBuf(8, file.get(), 1, 0, 0), 1);
  const std::int32_t piece = GetStreamSlot(8).indata;
  EXPECT_GT(piece, 0);
  EXPECT_LE(piece, static_cast<std::int32_t>(kChunk));
  EXPECT_EQ(kChunk % static_cast<std::size_t>(piece), 0u);
  Bytes buffer(kChunk);
  const auto chunk = static_cast<std::int32_t>(kChunk);
  std::int64_t delivered = 0;
  std::int32_t got = 0;
  while ((got = _ReadBytes(8, chunk, buffer.data())) == chunk) delivered += got;
  // The read that would cross 2 GiB delivers nothing of its last piece.
  EXPECT_EQ(got, -1);
  // One line for each piece boundary the failed read had crossed, and its own.
  const std::vector<std::string> lines = TakeMessages();
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_EQ(line, ErrorLine("_ReadBytes", "439"));
  const std::int32_t reached = GetStreamSlot(8).rpointer;
  EXPECT_GT(reached, std::numeric_limits<std::int32_t>::max() - piece);
  EXPECT_GE(delivered, std::int64_t{127} * chunk);
  EXPECT_EQ(_ReadBytes(8, 1, buffer.data()), -1);
  EXPECT_EQ(GetStreamSlot(8).rpointer, reached);
  EXPECT_EQ(_ReleaseBuf(8), 1);
}

// ---- failed file operations ----

namespace faults = platform::faults;
using faults::FileOp;

// One pass the way the pipeline uses a slot: attach, read-modify-write,
// restart, read again, write, release. Stops at the first failing operation,
// as a caller does, and releases on every way out.
void RunSlotPass(std::FILE* file, int enc, std::size_t payloadSize, std::size_t piece) {
  SlotGuard guard;
  if (_InitBuf(0, file, 1, 1, enc) != 1) return;
  guard.Attach(0);
  Bytes record(piece);
  for (std::size_t done = 0; done < payloadSize;) {
    const auto want = static_cast<std::int32_t>(std::min(record.size(), payloadSize - done));
    if (_ReadBytes(0, want, record.data()) != want) return;
    if (_WriteBytes(0, want, record.data()) != want) return;
    done += static_cast<std::size_t>(want);
  }
  if (_ReadBytes(0, 1, record.data()) != 0) return;
  if (_RestartAtBegining(0) != 1) return;
  if (_ReadBytes(0, 8, record.data()) != 8) return;
  if (_WriteBytes(0, 5, record.data()) != 5) return;
  guard.Release();
}

struct ExpectedFault {
  FileOp op;
  const char* operation;  // the slot operation that reports the failure
  const char* line;
};

// Fails each file operation of the pass in turn and checks the line that
// reports it; afterwards the slot must be free again.
void CheckEveryFault(const std::string& path, const Bytes& original, int enc,
                     std::size_t payloadSize, const std::vector<ExpectedFault>& expected,
                     std::size_t piece = 4096) {
  faults::Reset();
  faults::SetRecording(true);
  {
    ts::WriteFileBytes(path, original);
    FilePtr file = Open(path, "r+b");
    ASSERT_NE(file, nullptr);
    faults::Arm(0, faults::Fault::kNone);
    RunSlotPass(file.get(), enc, payloadSize, piece);
    std::vector<FileOp> ops = faults::RecordedCalls();
    ASSERT_EQ(ops.size(), expected.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
      ASSERT_EQ(ops[i], expected[i].op) << "call " << i + 1;
    }
  }
  faults::SetRecording(false);
  ASSERT_TRUE(g_lines.empty());

  for (std::size_t call = 1; call <= expected.size(); ++call) {
    ts::WriteFileBytes(path, original);
    FilePtr file = Open(path, "r+b");
    faults::Arm(call, faults::Fault::kFail);
    RunSlotPass(file.get(), enc, payloadSize, piece);
    EXPECT_TRUE(faults::FaultDelivered()) << call;
    faults::Reset();
    ASSERT_FALSE(g_lines.empty()) << "call " << call << " failed silently";
    const ExpectedFault& want = expected[call - 1];
    EXPECT_EQ(g_lines.front().substr(kStampLength), ErrorLine(want.operation, want.line))
        << "call " << call << " (" << faults::FileOpName(want.op) << ")";
    g_lines.clear();
    EXPECT_FALSE(GetStreamSlot(0).rbuffer) << call;
    EXPECT_FALSE(GetStreamSlot(0).wbuffer) << call;
  }
}

TEST_F(StreamSlots, ReportsEachFailedFileOperationWithItsLine) {
  // Encrypted, below one chunk: header and block steps of every operation.
  const Bytes small = Pattern(20, 15);
  const std::string path = dir_.File("faults.dat");
  WriteStream(path, small, 20);
  CheckEveryFault(path, ReadWholeFile(path), 1, small.size(),
                  {
                      {FileOp::kRead, "_InitBuf", "247"},             // _InitBuf: header
                      {FileOp::kRead, "_InitBuf", "268"},             // _InitBuf: first chunk
                      {FileOp::kSeek, "_RestartAtBegining", "754"},   // restart: flush position
                      {FileOp::kWrite, "_RestartAtBegining", "769"},  // restart: placeholder header
                      {FileOp::kWrite, "_RestartAtBegining", "803"},  // restart: data
                      {FileOp::kWrite, "_RestartAtBegining", "819"},  // restart: length header
                      {FileOp::kRead, "_RestartAtBegining", "853"},   // restart: header
                      {FileOp::kRead, "_RestartAtBegining", "874"},   // restart: first chunk
                      {FileOp::kSeek, "_ReleaseBuf", "608"},          // release: flush position
                      {FileOp::kWrite, "_ReleaseBuf", "623"},         // release: placeholder header
                      {FileOp::kWrite, "_ReleaseBuf", "657"},         // release: data
                      {FileOp::kWrite, "_ReleaseBuf", "673"},         // release: length header
                  });

  // Unencrypted, beyond one chunk: the overflow flush and the refills; the
  // same operations whether the pass moves 4 KiB or the whole payload at once
  // (whose first chunk goes to the file straight from the caller's memory).
  const Bytes large = Pattern(kChunk + 4096, 16);
  const std::vector<ExpectedFault> largeFaults = {
      {FileOp::kRead, "_InitBuf", "268"},             // _InitBuf: first chunk
      {FileOp::kRead, "_ReadBytes", "439"},           // refill: second chunk
      {FileOp::kSeek, "_WriteBytes", "508"},          // overflow flush position
      {FileOp::kWrite, "_WriteBytes", "539"},         // overflow flush data
      {FileOp::kSeek, "_ReadBytes", "370"},           // refill: back to the read position
      {FileOp::kRead, "_ReadBytes", "439"},           // refill at the end of the file
      {FileOp::kSeek, "_RestartAtBegining", "754"},   // restart: flush position
      {FileOp::kWrite, "_RestartAtBegining", "803"},  // restart: data
      {FileOp::kRead, "_RestartAtBegining", "874"},   // restart: first chunk
      {FileOp::kSeek, "_ReleaseBuf", "608"},          // release: flush position
      {FileOp::kWrite, "_ReleaseBuf", "657"},         // release: data
  };
  CheckEveryFault(path, large, 0, large.size(), largeFaults);
  CheckEveryFault(path, large, 0, large.size(), largeFaults, 2 * kChunk);
}

}  // namespace

// ---- chunks written behind and read ahead on threads of their own ----

namespace {

class StreamSlotThreads : public StreamSlots {
 protected:
  void TearDown() override {
    SetCipherThreads(DefaultWorkerThreads());
    StreamSlots::TearDown();
  }
};

// The call number of the n-th file write of a recorded run.
std::uint64_t NthWriteCall(const std::vector<faults::FileOp>& calls, int n) {
  for (std::size_t k = 0; k < calls.size(); ++k) {
    if (calls[k] == faults::FileOp::kWrite && --n == 0) return k + 1;
  }
  return 0;
}

// A full chunk that fails to reach the file is reported by the slot's next
// operation, with the line of the write, and the release fails: the same
// calls, results and messages with one thread as with two.
TEST_F(StreamSlotThreads, FailedChunkWriteIsReportedByTheNextOperationOnEveryThreadCount) {
  const Bytes payload = Pattern(kChunk + 100, 21);
  const std::string path = dir_.File("behind.dat");
  const auto writeAll = [&] {
    FilePtr file = Open(path, "w+b");
    EXPECT_EQ(_InitBuf(0, file.get(), 0, 1, 1), 1);
    // The first call fills the buffer; the second hands the chunk on.
    EXPECT_EQ(_WriteBytes(0, static_cast<std::int32_t>(kChunk), payload.data()),
              static_cast<std::int32_t>(kChunk));
    EXPECT_EQ(_WriteBytes(0, 100, payload.data() + kChunk), 100);
    EXPECT_TRUE(TakeMessages().empty());
    return _ReleaseBuf(0);
  };
  faults::SetRecording(true);
  ASSERT_EQ(writeAll(), 1);
  const std::uint64_t chunkWrite = NthWriteCall(faults::RecordedCalls(), 2);  // after the header
  faults::SetRecording(false);
  ASSERT_NE(chunkWrite, 0u);
  EXPECT_TRUE(SameBytes(ReadStream(path, 4096), payload));

  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    SetCipherThreads(threads);
    faults::Arm(chunkWrite, faults::Fault::kFail);
    EXPECT_EQ(writeAll(), 0);
    EXPECT_TRUE(faults::FaultDelivered());
    faults::Reset();
    EXPECT_EQ(TakeMessages(), std::vector<std::string>{ErrorLine("_WriteBytes", "539")});
    EXPECT_FALSE(GetStreamSlot(0).wbuffer);
    // The placeholder header stays: the stream can never pass for complete.
    FilePtr file = Open(path, "rb");
    EXPECT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 0);
    TakeMessages();
  }
}

// Chunks read ahead give the bytes of reading on demand, in small pieces and
// in one read of everything, and a restart in between reads from the start.
TEST_F(StreamSlotThreads, ReadAheadGivesTheBytesOfReadingOnDemand) {
  const Bytes payload = Pattern(2 * kChunk + kChunk / 2 + 3, 22);
  const std::string path = dir_.File("ahead.dat");
  WriteStream(path, payload, kChunk / 4);
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    SetCipherThreads(threads);
    EXPECT_TRUE(SameBytes(ReadStream(path, 65536), payload));
    EXPECT_TRUE(SameBytes(ReadStream(path, payload.size()), payload));

    FilePtr file = Open(path, "rb");
    ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
    Bytes first(kChunk + 10);
    ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(first.size()), first.data()),
              static_cast<std::int32_t>(first.size()));
    ASSERT_EQ(_RestartAtBegining(0), 1);
    Bytes again(payload.size());
    EXPECT_EQ(_ReadBytes(0, static_cast<std::int32_t>(again.size()), again.data()),
              static_cast<std::int32_t>(again.size()));
    EXPECT_TRUE(SameBytes(again, payload));
    EXPECT_EQ(_ReleaseBuf(0), 1);
    EXPECT_TRUE(TakeMessages().empty());
  }
}

#ifdef __linux__
// A read-once slot gives back the storage of what it has handed out (where
// the file system can punch holes); a slot that also writes cannot be one.
TEST_F(StreamSlotThreads, ReadOnceSlotGivesBackWhatItHasRead) {
  const Bytes payload = Pattern(3 * kChunk, 23);
  const std::string path = dir_.File("once.dat");
  WriteStream(path, payload, kChunk);
  const auto allocated = [&] {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_blocks) * 512 : -1;
  };
  const std::int64_t before = allocated();
  // Storage is given back only through a stream open for writing.
  FilePtr file = Open(path, "r+b");
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  ASSERT_EQ(_SetReadOnce(0), 1);
  Bytes all(payload.size());
  ASSERT_EQ(_ReadBytes(0, static_cast<std::int32_t>(all.size()), all.data()),
            static_cast<std::int32_t>(all.size()));
  EXPECT_TRUE(SameBytes(all, payload));
  if (GetStreamSlot(0).discarded == 0) GTEST_SKIP() << "no hole punching on this file system";
  EXPECT_LE(allocated(), before - GetStreamSlot(0).discarded);
  EXPECT_EQ(_ReleaseBuf(0), 1);

  FilePtr both = Open(dir_.File("both.dat"), "w+b");
  ASSERT_EQ(_InitBuf(1, both.get(), 1, 1, 1), 1);
  EXPECT_EQ(_SetReadOnce(1), 0);
  EXPECT_EQ(_ReleaseBuf(1), 1);
  TakeMessages();
}
#endif

}  // namespace
