// The binary readers: conversions of every format, byte order, partial
// units, the range check, the two-file Int14 formats and the size limits.
#include <filesystem>

#include "Shared/FileIO/TempFiles.h"
#include "import/BinaryImport.h"
#include "import/RawImportFixture.h"

namespace {

using raw_import_test::CapturedLines;
using raw_import_test::CapturedProgress;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using testing_support::Bytes;
using testing_support::EncodeFloat32;
using testing_support::EncodeInt16;

constexpr int kF32Be = 3;
constexpr int kF32Le = 4;
constexpr int kI16Be = 5;
constexpr int kI16Le = 6;
constexpr int kI14Be2 = 11;
constexpr int kI14Le2 = 12;

constexpr const char* kNoQ = "*** Error: No Q data available for I sample.";
constexpr const char* kTooLarge =
    "*** Error: Numbers appear to be too large. Check data format and range!";

float Int16Value(std::int16_t s) { return static_cast<float>((s - 0.5) / 32767.0); }
float Int14Value(std::uint16_t word) {
  const unsigned v = word & 0x3FFFu;
  return static_cast<float>(2.0 * ((v - 0.5) / 16383.0 - 0.5));
}

Bytes EncodeWords(const std::vector<std::uint16_t>& words, bool bigEndian) {
  std::vector<std::int16_t> units;
  for (std::uint16_t word : words) units.push_back(static_cast<std::int16_t>(word));
  return EncodeInt16(units, bigEndian);
}

float WithBytesReversed(float value) {
  unsigned char bytes[4];
  std::memcpy(bytes, &value, 4);
  std::reverse(bytes, bytes + 4);
  float reversed;
  std::memcpy(&reversed, bytes, 4);
  return reversed;
}

TEST(BinaryImport, ReverseBytesMirrorsAnyLength) {
  for (std::size_t length = 0; length <= 5; ++length) {
    std::vector<unsigned char> buffer(length);
    for (std::size_t k = 0; k < length; ++k) buffer[k] = static_cast<unsigned char>(10 + k);
    ReverseBytes(buffer.data(), length);
    for (std::size_t k = 0; k < length; ++k) {
      EXPECT_EQ(buffer[k], 10 + (length - 1 - k)) << "length " << length << " byte " << k;
    }
  }
}

TEST_F(RawImportTest, Int16EveryWordConvertsInBothByteOrders) {
  // Every word as I against a Q of 0; -32768 and -32767 are left out here
  // because they lie above full scale and would start the scaling pass.
  std::vector<std::int16_t> units;
  std::vector<float> expected;
  for (int s = -32766; s <= 32767; ++s) {
    units.push_back(static_cast<std::int16_t>(s));
    units.push_back(0);
    expected.push_back(Int16Value(static_cast<std::int16_t>(s)));
    expected.push_back(Int16Value(0));
  }
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "i16be" : "i16le");
    Fresh();
    const std::string input = WriteInput("i16.bin", EncodeInt16(units, bigEndian));
    ASSERT_EQ(Import(bigEndian ? kI16Be : kI16Le, input), 1) << AllLines();
    EXPECT_EQ(info_.samples, 65534);
    ASSERT_FALSE(ModelImport(expected).scaled);
    ExpectSameFloats(StoredFloats(), expected);
    EXPECT_TRUE(Logged("65534 data pairs imported."));
    EXPECT_TRUE(Logged(bigEndian ? "Format is Binary, Int16, BE, IQIQ..."
                                 : "Format is Binary, Int16, LE, IQIQ..."));
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, Int16WordsBeyondFullScaleConvertToo) {
  // -32768 and -32767 lie just above full scale, so they arrive scaled.
  const std::vector<std::int16_t> units = {-32768, 0, -32767, 0, 32767, -32768};
  std::vector<float> raw;
  for (std::int16_t s : units) raw.push_back(Int16Value(s));
  const auto expected = ModelImport(raw);
  ASSERT_TRUE(expected.scaled);
  ASSERT_EQ(Import(kI16Le, WriteInput("edge.bin", EncodeInt16(units, false))), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), expected.stored);
}

TEST_F(RawImportTest, Float32CopiesValuesBitForBit) {
  const std::vector<float> iq = {0.0f, -0.0f, 0.25f,       -0.75f,  1e-30f, 3.0e-39f,
                                 0.6f, 0.7f,  -0.1234567f, 0.7071f, 0.5f,   -0.5f};
  ASSERT_FALSE(ModelImport(iq).scaled);
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "f32be" : "f32le");
    Fresh();
    const std::string input = WriteInput("f32.bin", EncodeFloat32(iq, bigEndian));
    ASSERT_EQ(Import(bigEndian ? kF32Be : kF32Le, input), 1) << AllLines();
    EXPECT_EQ(info_.samples, 6);
    ExpectSameFloats(StoredFloats(), iq);
  }
}

TEST_F(RawImportTest, ByteOrderOfTheSameBytes) {
  // 7F FF is 32767 big-endian and -129 little-endian.
  const Bytes bytes = {0x7F, 0xFF, 0x00, 0x00};
  const std::string input = WriteInput("order.bin", bytes);
  ASSERT_EQ(Import(kI16Be, input), 1);
  ExpectSameFloats(StoredFloats(),
                   {static_cast<float>((32767 - 0.5) / 32767), static_cast<float>(-0.5 / 32767)});
  Fresh();
  ASSERT_EQ(Import(kI16Le, input), 1);
  ExpectSameFloats(StoredFloats(),
                   {static_cast<float>((-129 - 0.5) / 32767), static_cast<float>(-0.5 / 32767)});
}

TEST_F(RawImportTest, Int14TwoFilesIgnoreTheTopBits) {
  // The I file carries every 14-bit value with all four combinations of the
  // top bits; 0x0000 and 0xC000 both give v = 0, the most negative value,
  // which lies just above full scale, so the expectation includes scaling.
  std::vector<std::uint16_t> iWords;
  std::vector<std::uint16_t> qWords;
  std::vector<float> raw;
  for (unsigned top = 0; top < 4; ++top) {
    for (unsigned v = 0; v <= 0x3FFF; ++v) {
      const auto iWord = static_cast<std::uint16_t>((top << 14) | v);
      const auto qWord = static_cast<std::uint16_t>(((3 - top) << 14) | (0x3FFF - v));
      iWords.push_back(iWord);
      qWords.push_back(qWord);
      raw.push_back(Int14Value(iWord));
      raw.push_back(Int14Value(qWord));
    }
  }
  EXPECT_EQ(Int14Value(0xC000), Int14Value(0x0000));
  const auto expected = ModelImport(raw);
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "i14be2" : "i14le2");
    Fresh();
    const std::string iPath = WriteInput("sig_I.bin", EncodeWords(iWords, bigEndian));
    const std::string qPath = WriteInput("sig_Q.bin", EncodeWords(qWords, bigEndian));
    ASSERT_EQ(Import(bigEndian ? kI14Be2 : kI14Le2, iPath, qPath), 1) << AllLines();
    EXPECT_EQ(info_.samples, static_cast<std::int32_t>(iWords.size()));
    EXPECT_TRUE(Logged("Importing from 2nd BINARY file '" + qPath + "'."));
    EXPECT_TRUE(expected.scaled);
    ExpectSameFloats(StoredFloats(), expected.stored);
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, Int14SecondFileLengthDecidesOutcome) {
  const std::vector<std::uint16_t> iWords = {0x2000, 0x1000, 0x3000};
  const std::string iPath = WriteInput("a_I.bin", EncodeWords(iWords, false));

  // A longer Q file is read only as far as the I file reaches.
  const std::string longQ = WriteInput("long_Q.bin", EncodeWords({1, 2, 3, 4, 5}, false));
  ASSERT_EQ(Import(kI14Le2, iPath, longQ), 1) << AllLines();
  EXPECT_EQ(info_.samples, 3);
  ExpectSameFloats(StoredFloats(),
                   ModelImport({Int14Value(0x2000), Int14Value(1), Int14Value(0x1000),
                                Int14Value(2), Int14Value(0x3000), Int14Value(3)})
                       .stored);

  // A shorter one, or one with a trailing odd byte, runs out of Q data.
  for (const Bytes& shortQ : {EncodeWords({1, 2}, false), Bytes{1, 0, 2, 0, 3}}) {
    Fresh();
    const std::string qPath = WriteInput("short_Q.bin", shortQ);
    info_.samples = -7;
    EXPECT_EQ(Import(kI14Le2, iPath, qPath), 0);
    EXPECT_TRUE(Logged(kNoQ)) << AllLines();
    EXPECT_EQ(info_.samples, -7) << "samples written although the reader failed";
    EXPECT_EQ(info_.levelsValid, 0);
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, TwoFileFormatWithoutSecondPathFailsAtOnce) {
  const std::string iPath = WriteInput("b_I.bin", EncodeWords({1, 2}, true));
  for (const int format : {kI14Be2, kI14Le2}) {
    Fresh();
    EXPECT_EQ(Import(format, iPath), 0);
    EXPECT_EQ(CapturedLines().back(), "*** No 2nd file provided.") << AllLines();
    EXPECT_FALSE(LoggedContaining("*** Error in file")) << AllLines();
    EXPECT_FALSE(Logged(kNoQ));
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, TrailingPartialUnits) {
  const std::vector<std::int16_t> units = {100, -200, 300, -400, 500, -600};
  const Bytes whole = EncodeInt16(units, false);
  std::vector<float> expected;
  for (std::int16_t s : units) expected.push_back(Int16Value(s));

  // 4k + 1 bytes: the odd byte is ignored.
  Bytes plusOne = whole;
  plusOne.push_back(0x7F);
  ASSERT_EQ(Import(kI16Le, WriteInput("p1.bin", plusOne)), 1) << AllLines();
  EXPECT_EQ(info_.samples, 3);
  ExpectSameFloats(StoredFloats(), expected);

  // 4k + 2 and 4k + 3 bytes: an I without its Q fails after k pairs.
  for (const int extra : {2, 3}) {
    Fresh();
    Bytes bytes = whole;
    for (int k = 0; k < extra; ++k) bytes.push_back(0x11);
    EXPECT_EQ(Import(kI16Le, WriteInput("p2.bin", bytes)), 0);
    EXPECT_TRUE(Logged(kNoQ)) << AllLines();
    EXPECT_FALSE(LoggedContaining("data pairs imported."));
    ExpectSlotsFree();
  }

  // Float32: 8k + 1 to 8k + 3 bytes give k pairs, 8k + 4 to 8k + 7 fail.
  const std::vector<float> floats = {0.5f, -0.25f, 0.125f, 0.0625f};
  for (int extra = 1; extra <= 7; ++extra) {
    SCOPED_TRACE(extra);
    Fresh();
    Bytes bytes = EncodeFloat32(floats, false);
    for (int k = 0; k < extra; ++k) bytes.push_back(0x3F);
    const int result = Import(kF32Le, WriteInput("f.bin", bytes));
    if (extra < 4) {
      ASSERT_EQ(result, 1) << AllLines();
      ExpectSameFloats(StoredFloats(), floats);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(Logged(kNoQ)) << AllLines();
    }
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, EmptyFileImportsNoPairs) {
  ASSERT_EQ(Import(kI16Le, WriteInput("empty.bin", {})), 1) << AllLines();
  EXPECT_EQ(info_.samples, 0);
  EXPECT_TRUE(Logged("0 data pairs imported."));
  EXPECT_TRUE(StoredFloats().empty());
  EXPECT_EQ(info_.levelsValid, 1);
  EXPECT_EQ(info_.rmsOffset, 140.0);
  EXPECT_EQ(info_.peakOffset, 140.0);
  EXPECT_FALSE(LoggedContaining("Max. vector"));
}

TEST_F(RawImportTest, WrongByteOrderStopsAtFirstHugePair) {
  // Written big-endian, read little-endian: 0 and 0.25 stay small (0.25
  // turns into a tiny denormal), 0.1 turns into about -4.3e8.
  const std::vector<float> iq = {0.0f, 0.0f, 0.25f, 0.0f, 0.1f, 0.1f, 0.5f, 0.5f};
  ASSERT_GT(std::fabs(WithBytesReversed(0.1f)), 100.0f);
  EXPECT_EQ(Import(kF32Le, WriteInput("swapped.bin", EncodeFloat32(iq, true))), 0);
  const auto& lines = CapturedLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], kTooLarge);
  const double huge = WithBytesReversed(0.1f);
  char expected[128];
  std::snprintf(expected, sizeof(expected), "    (DataPoint=2, I=%1.3f, Q=%1.3f)", huge, huge);
  EXPECT_EQ(lines.back(), expected);
  EXPECT_EQ(info_.levelsValid, 0);
  ExpectSlotsFree();
}

TEST_F(RawImportTest, RangeLimitIsOneHundred) {
  // A magnitude of exactly 100 (60, 80) is accepted and scaled down.
  const std::vector<float> accepted = {60.0f, 80.0f, 1.0f, -2.0f};
  ASSERT_EQ(Import(kF32Le, WriteInput("hundred.bin", EncodeFloat32(accepted, false))), 1)
      << AllLines();
  const auto expected = ModelImport(accepted);
  EXPECT_EQ(expected.peak, 100.0);
  ExpectSameFloats(StoredFloats(), expected.stored);
  EXPECT_TRUE(Logged("Max. vector is 100.0000. Scaling down to 1.0..."));
  EXPECT_EQ(info_.peakOffset, 0.0);

  // Just above, on the second pair: rejected naming index 1.
  Fresh();
  const std::vector<float> rejected = {0.5f, 0.5f, 100.01f, 0.0f, 0.1f, 0.1f};
  EXPECT_EQ(Import(kF32Le, WriteInput("over.bin", EncodeFloat32(rejected, false))), 0);
  EXPECT_TRUE(Logged(kTooLarge));
  EXPECT_EQ(CapturedLines().back(), "    (DataPoint=1, I=100.010, Q=0.000)");

  // A NaN never raises the peak but is as wrong as a huge value.
  Fresh();
  const std::vector<float> nan = {0.5f, 0.5f, 0.0f, std::nanf("")};
  EXPECT_EQ(Import(kF32Le, WriteInput("nan.bin", EncodeFloat32(nan, false))), 0);
  EXPECT_TRUE(Logged(kTooLarge)) << AllLines();
  EXPECT_TRUE(LoggedContaining("    (DataPoint=1, I=0.000, Q=")) << AllLines();
  ExpectSlotsFree();
}

TEST_F(RawImportTest, ProgressRisesToOneHundredWithoutRepeats) {
  std::vector<std::int16_t> units(2 * 1000, 1234);
  ASSERT_EQ(Import(kI16Le, WriteInput("prog.bin", EncodeInt16(units, false))), 1);
  const auto& values = CapturedProgress();
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.front(), 0);
  EXPECT_EQ(values.back(), 100);
  for (std::size_t k = 1; k < values.size(); ++k) {
    EXPECT_GT(values[k], values[k - 1]) << "at report " << k;
  }
  // 1000 pairs of 4 bytes: each pair is 0.1 %, so every whole percentage appears.
  EXPECT_EQ(values.size(), 101u);
}

TEST_F(RawImportTest, SizeLimitsAreCheckedBeforeAnySample) {
  namespace fs = std::filesystem;
  // The most pairs the temporary stream can take.
  constexpr std::uintmax_t kMaxPairs = kMaxTempSamples;
  // Sparse files: only their size and their first bytes matter here. Each
  // starts with a pair that ends a size-accepted import at once (a huge
  // Float32 pair, or an Int14 I file whose Q file is empty), so that an
  // input passing the size check never has to be read to its end.
  struct Case {
    int format;
    std::uintmax_t bytes;
    const char* refusal;  // start of the error line, or null when accepted
  };
  const Case cases[] = {
      {kF32Le, 8 * kMaxPairs + 7, nullptr},
      {kF32Le, 8 * (kMaxPairs + 1), "*** Error: Input file holds "},
      {kF32Le, std::uintmax_t{1} << 31, "*** Error: Input file has 2147483648 bytes"},
      {kI16Le, 4 * (kMaxPairs + 1), "*** Error: Input file holds "},
      {kI14Le2, 2 * kMaxPairs, nullptr},
      {kI14Le2, 2 * (kMaxPairs + 1), "*** Error: Input file holds "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << ", " << c.bytes << " bytes");
    Fresh();
    const std::string input =
        WriteInput("huge.bin", c.format == kF32Le ? EncodeFloat32({1e6f, 0.0f}, false) : Bytes{});
    fs::resize_file(input, c.bytes);
    const std::string second = WriteInput("q.bin", {});
    EXPECT_EQ(Import(c.format, input, c.format == kI14Le2 ? second : ""), 0);
    if (c.refusal != nullptr) {
      EXPECT_EQ(CapturedLines().back().rfind(c.refusal, 0), 0u) << AllLines();
      EXPECT_TRUE(StoredFloats().empty()) << "samples were written before the size check";
      EXPECT_EQ(CapturedProgress().size(), 1u) << "progress beyond the start";
    } else {
      EXPECT_FALSE(LoggedContaining("*** Error: Input file")) << AllLines();
      EXPECT_TRUE(Logged(c.format == kF32Le ? kTooLarge : kNoQ)) << AllLines();
    }
    ExpectSlotsFree();
    fs::remove(input);
  }
}

TEST_F(RawImportTest, MissingInputsAreReported) {
  EXPECT_EQ(Import(kF32Le, dir_.File("absent.bin")), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error opening input file.");
  ExpectSlotsFree();

  Fresh();
  const std::string iPath = WriteInput("c_I.bin", EncodeWords({1}, false));
  EXPECT_EQ(Import(kI14Be2, iPath, dir_.File("absent_Q.bin")), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error opening second input file.");
  ExpectSlotsFree();
}

}  // namespace
