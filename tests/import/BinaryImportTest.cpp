// The binary readers: every word of every format, partial units and
// second-file lengths, the range check, the size limits and input errors.
#include <filesystem>

#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "import/RawImportFixture.h"

namespace {

using raw_import_test::CapturedLines;
using raw_import_test::CapturedProgress;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using testing_support::Bytes;
using testing_support::EncodeFloat32;
using testing_support::EncodeInt16;

constexpr InputFormat kF32Be = kFormatF32be, kF32Le = kFormatF32le, kI16Be = kFormatI16be,
                      kI16Le = kFormatI16le, kI14Be2 = kFormatI14be2, kI14Le2 = kFormatI14le2;
constexpr const char* kNoQ = "*** Error: No Q data available for I sample.";
constexpr const char* kTooLarge =
    "*** Error: Numbers appear to be too large. Check data format and range!";

Bytes Words(const std::vector<std::uint16_t>& words, bool bigEndian) {
  return EncodeInt16(std::vector<std::int16_t>(words.begin(), words.end()), bigEndian);
}
float Int16Value(std::uint16_t word) {
  return static_cast<float>((static_cast<std::int16_t>(word) - 0.5) / 32767.0);
}
float Int14Value(std::uint16_t word) {
  return static_cast<float>(2.0 * (((word & 0x3FFF) - 0.5) / 16383.0 - 0.5));
}
float Reversed(float value) {
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  std::reverse(bytes, bytes + 4);
  return value;
}

TEST(BinaryImport, ReverseBytesMirrorsAnyLength) {
  for (std::size_t length = 0; length <= 5; ++length) {
    std::vector<unsigned char> buffer(length), expected(length);
    for (std::size_t k = 0; k < length; ++k) buffer[k] = expected[length - 1 - k] = 10 + k;
    ReverseBytes(buffer.data(), length);
    EXPECT_EQ(buffer, expected) << "length " << length;
  }
}

TEST_F(RawImportTest, EveryWordOfEveryFormatConverts) {
  // Int16: every word as I against a rising Q. Int14: every 14-bit value
  // under each combination of the two ignored top bits (0x0000 and 0xC000
  // both give the most negative value). Float32: values copied bit for bit.
  std::vector<std::uint16_t> i16, i14, q14;
  std::vector<float> raw16, raw14;
  for (unsigned w = 0; w < 65536; ++w) {
    const auto word = static_cast<std::uint16_t>(w);
    const auto other = static_cast<std::uint16_t>(~w);
    i16.insert(i16.end(), {word, other});
    raw16.insert(raw16.end(), {Int16Value(word), Int16Value(other)});
    i14.push_back(word);
    q14.push_back(other);
    raw14.insert(raw14.end(), {Int14Value(word), Int14Value(other)});
  }
  const std::vector<float> f32 = {0.0f, -0.0f, 0.25f, -0.75f, 1e-30f, 3e-39f, 0.6f, -0.1234567f};
  EXPECT_EQ(Int14Value(0xC000), Int14Value(0x0000));

  for (const bool be : {false, true}) {
    SCOPED_TRACE(be ? "big-endian" : "little-endian");
    ASSERT_EQ(Import(be ? kI16Be : kI16Le, WriteInput("a.bin", Words(i16, be))), 1) << AllLines();
    EXPECT_TRUE(Logged("65536 data pairs imported."));
    ExpectSameFloats(StoredFloats(), ModelImport(raw16).stored);
    Fresh();
    const std::string q = WriteInput("q.bin", Words(q14, be));
    ASSERT_EQ(Import(be ? kI14Be2 : kI14Le2, WriteInput("i.bin", Words(i14, be)), q), 1)
        << AllLines();
    EXPECT_TRUE(Logged("Importing from 2nd BINARY file '" + q + "'."));
    ExpectSameFloats(StoredFloats(), ModelImport(raw14).stored);
    Fresh();
    ASSERT_EQ(Import(be ? kF32Be : kF32Le, WriteInput("f.bin", EncodeFloat32(f32, be))), 1);
    ExpectSameFloats(StoredFloats(), f32);
    ExpectSlotsFree();
    Fresh();
  }
  // The same bytes 7F FF read in both orders: 32767 and -129.
  ASSERT_EQ(Import(kI16Le, WriteInput("o.bin", {0x7F, 0xFF, 0x00, 0x00})), 1);
  EXPECT_EQ(StoredFloats()[0], static_cast<float>((-129 - 0.5) / 32767));
}

TEST_F(RawImportTest, PartialUnitsAndSecondFileLengths) {
  struct Case {
    InputFormat format;
    std::size_t bytes, qBytes;
    int pairs;  // -1: fails for want of Q data
  };
  const Case cases[] = {
      {kI16Le, 12, 0, 3},  {kI16Le, 13, 0, 3},  {kI16Le, 14, 0, -1}, {kI16Le, 15, 0, -1},
      {kF32Le, 16, 0, 2},  {kF32Le, 19, 0, 2},  {kF32Le, 20, 0, -1}, {kF32Le, 23, 0, -1},
      {kI16Le, 0, 0, 0},   {kI14Le2, 6, 10, 3}, {kI14Le2, 7, 6, 3},  {kI14Le2, 6, 4, -1},
      {kI14Le2, 6, 5, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.format << ": " << c.bytes << "/" << c.qBytes);
    Fresh();
    info_.samples = -7;
    const Bytes data(std::max(c.bytes, c.qBytes), 0x11);
    const std::string input = WriteInput("in.bin", Bytes(data.begin(), data.begin() + c.bytes));
    const std::string q = c.format == kI14Le2 ? WriteInput("q.bin", Bytes(c.qBytes, 0x22)) : "";
    EXPECT_EQ(Import(c.format, input, q), c.pairs >= 0 ? 1 : 0) << AllLines();
    if (c.pairs >= 0) {
      EXPECT_EQ(info_.samples, c.pairs);
      EXPECT_EQ(StoredFloats().size(), 2u * c.pairs);
    } else {
      EXPECT_EQ(info_.samples, -7) << "samples set although the reader failed";
      EXPECT_EQ(CapturedLines().back(), kNoQ);
    }
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, RangeCheckStopsAtTheFirstPairAboveOneHundred) {
  struct Case {
    std::vector<float> iq;
    bool bigEndianFile;  // read as f32le
    int failingPair;     // -1: accepted
  };
  const Case cases[] = {
      {{60, 80, 1, -2}, false, -1},                         // magnitude exactly 100
      {{0.5f, 0.5f, 100.01f, 0, 0.1f, 0.1f}, false, 1},     // just above
      {{0.5f, 0.5f, 0, std::nanf("")}, false, 1},           // a NaN never raises the peak
      {{0, 0, 0.25f, 0, 0.1f, 0.1f, 0.5f, 0.5f}, true, 2},  // wrong byte order: 0.1 -> -4.3e8
  };
  for (const Case& c : cases) {
    Fresh();
    const int result = Import(kF32Le, WriteInput("r.bin", EncodeFloat32(c.iq, c.bigEndianFile)));
    ExpectSlotsFree();
    if (c.failingPair < 0) {
      ASSERT_EQ(result, 1) << AllLines();
      EXPECT_TRUE(Logged("Max. vector is 100.0000. Scaling down to 1.0..."));
      ExpectSameFloats(StoredFloats(), ModelImport(c.iq).stored);
      continue;
    }
    EXPECT_EQ(result, 0);
    const auto value = [&](int k) {
      const float v = c.iq[2 * c.failingPair + k];
      return static_cast<double>(c.bigEndianFile ? Reversed(v) : v);
    };
    char expected[128];
    std::snprintf(expected, sizeof(expected), "    (DataPoint=%d, I=%1.3f, Q=%1.3f)", c.failingPair,
                  value(0), value(1));
    ASSERT_GE(CapturedLines().size(), 2u);
    EXPECT_EQ(CapturedLines()[CapturedLines().size() - 2], kTooLarge);
    EXPECT_EQ(CapturedLines().back(), expected);
  }
}

TEST_F(RawImportTest, SizeLimitsAreCheckedBeforeAnySample) {
  namespace fs = std::filesystem;
  constexpr std::uintmax_t kMax = kMaxTempSamples;
  // Sparse files, each beginning with a pair that ends a size-accepted import
  // at once: a huge Float32 pair, or an Int14 I value whose Q file is empty.
  const struct {
    InputFormat format;
    std::uintmax_t bytes;
    const char* refusal;  // start of the error line, or null
  } cases[] = {
      {kF32Le, 8 * kMax + 7, nullptr},
      {kF32Le, 8 * (kMax + 1), "*** Error: Input file holds "},
      {kF32Le, std::uintmax_t{1} << 31, "*** Error: Input file has 2147483648 bytes"},
      {kI16Le, 4 * (kMax + 1), "*** Error: Input file holds "},
      {kI14Le2, 2 * kMax, nullptr},
      {kI14Le2, 2 * (kMax + 1), "*** Error: Input file holds "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    Fresh();
    const std::string input =
        WriteInput("huge.bin", c.format == kF32Le ? EncodeFloat32({1e6f, 0}, false) : Bytes{});
    fs::resize_file(input, c.bytes);
    EXPECT_EQ(Import(c.format, input, c.format == kI14Le2 ? WriteInput("q.bin", {}) : ""), 0);
    if (c.refusal != nullptr) {
      EXPECT_EQ(CapturedLines().back().rfind(c.refusal, 0), 0u) << AllLines();
      EXPECT_TRUE(StoredFloats().empty());
      EXPECT_EQ(CapturedProgress(), std::vector<int>{0});
    } else {
      EXPECT_EQ(CapturedLines().back(),
                c.format == kF32Le ? "    (DataPoint=0, I=1000000.000, Q=0.000)" : kNoQ);
    }
    ExpectSlotsFree();
    fs::remove(input);
  }
}

TEST_F(RawImportTest, MissingInputsFailAtOnce) {
  const std::string iPath = WriteInput("b_I.bin", Words({1, 2}, true));
  const struct {
    InputFormat format;
    std::string input, second, line, missing;
  } cases[] = {
      {kI14Be2, iPath, "", "*** No 2nd file provided.", ""},
      {kI14Le2, iPath, "", "*** No 2nd file provided.", ""},
      {kF32Le, dir_.File("absent.bin"), "", "*** Error opening input file.",
       dir_.File("absent.bin")},
      {kI14Be2, iPath, dir_.File("absent_Q.bin"), "*** Error opening second input file.",
       dir_.File("absent_Q.bin")},
  };
  for (const auto& c : cases) {
    Fresh();
    EXPECT_EQ(Import(c.format, c.input, c.second), 0);
    // The failure line is the last, and no stream-layer line precedes it; a
    // file that cannot be opened is named after it, with the system's reason.
    std::vector<std::string> lines = CapturedLines();
    if (!c.missing.empty()) {
      const std::string reasonStart = "!     " + c.missing + ": ";
      EXPECT_EQ(lines.back().rfind(reasonStart, 0), 0u) << lines.back();
      EXPECT_GT(lines.back().size(), reasonStart.size());
      EXPECT_EQ(lines.back().find("unknown error"), std::string::npos) << lines.back();
      lines.pop_back();
    }
    EXPECT_EQ(lines.back(), c.line);
    EXPECT_EQ(AllLines().find("*** Error in file"), std::string::npos) << AllLines();
    ExpectSlotsFree();
  }
}

}  // namespace
