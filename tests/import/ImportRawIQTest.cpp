// The import entry: its checks, the lines it logs, scaling of over-range
// data down to full scale in place, and the level offsets it records.
#include <cstdint>

#include "Shared/FileIO/TempFiles.h"
#include "import/ImportLevels.h"
#include "import/RawImportFixture.h"
#include "platform/FaultInjection.h"

namespace {

using raw_import_test::CapturedLines;
using raw_import_test::CapturedProgress;
using raw_import_test::ExpectedOffset;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using testing_support::EncodeFloat32;
using testing_support::EncodeInt16;

constexpr int kF32Le = 4;
constexpr int kI16Le = 6;

std::string Formatted(const char* format, double value) {
  char text[128];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::vector<float> Int16Pairs(const std::vector<std::int16_t>& units) {
  std::vector<float> values;
  for (std::int16_t s : units) values.push_back(static_cast<float>((s - 0.5) / 32767.0));
  return values;
}

TEST(PercentCounter, MatchesTruncatedQuotientAtEveryStep) {
  struct Case {
    std::int64_t total;
    std::int64_t weight;
  };
  // Totals smaller, equal and larger than one step, and uneven ones.
  for (const Case c : {Case{4000, 4}, Case{7, 8}, Case{800, 8}, Case{12345, 2}, Case{3, 1},
                       Case{1001, 4}, Case{99, 1}}) {
    PercentCounter counter(c.total, c.weight);
    for (std::int64_t count = 0; count <= c.total / c.weight + 3; ++count) {
      ASSERT_EQ(counter.Value(), count * c.weight * 100 / c.total)
          << "total " << c.total << " weight " << c.weight << " count " << count;
      counter.Advance();
    }
  }
  PercentCounter empty(0, 4);
  empty.Advance();
  EXPECT_EQ(empty.Value(), 0);
}

TEST_F(RawImportTest, EntryRefusesUnknownCodesAndMissingFile) {
  const std::string input = WriteInput("x.bin", EncodeInt16({1, 2}, false));
  for (const int code : {-1, 1, 7, 8, 13, 14, 99}) {
    SCOPED_TRACE(code);
    Fresh();
    EXPECT_EQ(Import(code, input), 0);
    EXPECT_EQ(CapturedLines(), std::vector<std::string>{"*** Wrong import data format."});
    EXPECT_TRUE(CapturedProgress().empty());
    ExpectSlotsFree();
  }
  Fresh();
  EXPECT_EQ(ImportRawIQ(input, "", info_, kI16Le, nullptr), 0);
  EXPECT_EQ(CapturedLines(),
            std::vector<std::string>{"*** Temporary file for wave data not open."});
}

TEST_F(RawImportTest, BusySlotZeroIsLeftToItsOwner) {
  std::FILE* other = platform::OpenFile(dir_.File("other.dat"), "w+b");
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(_InitBuf(kSlotImportTemp, other, 1, 1, 1), 1);
  EXPECT_EQ(Import(kI16Le, WriteInput("x.bin", EncodeInt16({1, 2}, false))), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Cannot setup buffer for temporary waveform file.");
  const StreamSlot& slot = GetStreamSlot(kSlotImportTemp);
  EXPECT_TRUE(slot.rbuffer && slot.wbuffer) << "the importer released a slot it did not own";
  EXPECT_EQ(slot.file, other);
  EXPECT_EQ(_ReleaseBuf(kSlotImportTemp), 1);
  platform::CloseFile(other);
}

TEST_F(RawImportTest, LogsInputAndFormatThenCount) {
  const std::string input = WriteInput("sig.bin", EncodeFloat32({0.5f, 0.25f, -0.5f, 0.0f}, false));
  ASSERT_EQ(Import(kF32Le, input), 1);
  EXPECT_EQ(CapturedLines(), (std::vector<std::string>{"Importing from file '" + input + "'",
                                                       "Format is Binary, Float32, LE, IQIQ...",
                                                       "2 data pairs imported."}));
  EXPECT_EQ(CapturedProgress().front(), 0);
  EXPECT_EQ(info_.clock, 100e6) << "a binary import must not touch the clock";
  ExpectSlotsFree();
}

TEST_F(RawImportTest, FullScaleInt16IsScaledDownInPlace) {
  const std::vector<std::int16_t> units = {32767, 32767, 1000, -2000, -32768, 0, 0, 0};
  const auto expected = ModelImport(Int16Pairs(units));
  ASSERT_TRUE(expected.scaled);
  ASSERT_EQ(Import(kI16Le, WriteInput("full.bin", EncodeInt16(units, false))), 1) << AllLines();
  EXPECT_TRUE(Logged("Max. vector is 1.4142. Scaling down to 1.0...")) << AllLines();
  EXPECT_TRUE(Logged(Formatted("New RMS value is %5.2f.", expected.rms))) << AllLines();
  EXPECT_EQ(info_.samples, 4);
  ExpectSameFloats(StoredFloats(), expected.stored);
  EXPECT_EQ(info_.levelsValid, 1);
  EXPECT_EQ(info_.peakOffset, 0.0);
  EXPECT_DOUBLE_EQ(info_.rmsOffset, ExpectedOffset(expected.rms));
  ExpectSlotsFree();
}

TEST_F(RawImportTest, ExactlyFullScaleIsLeftAlone) {
  const std::vector<float> iq = {1.0f, 0.0f, 0.0f, -1.0f, 0.5f, 0.25f};
  ASSERT_EQ(Import(kF32Le, WriteInput("one.bin", EncodeFloat32(iq, false))), 1);
  EXPECT_FALSE(LoggedContaining("Max. vector")) << AllLines();
  ExpectSameFloats(StoredFloats(), iq);
  EXPECT_EQ(info_.peakOffset, 0.0);
  EXPECT_DOUBLE_EQ(info_.rmsOffset, ExpectedOffset(ModelImport(iq).rms));
}

TEST_F(RawImportTest, LevelOffsetsOfHalfScaleAndSilence) {
  const std::vector<float> half(2 * 50, 0.0f);
  std::vector<float> iq = half;
  for (std::size_t k = 0; k < iq.size(); k += 2) iq[k] = 0.5f;
  ASSERT_EQ(Import(kF32Le, WriteInput("half.bin", EncodeFloat32(iq, false))), 1);
  EXPECT_NEAR(info_.rmsOffset, 20.0 * std::log10(2.0), 1e-12);
  EXPECT_NEAR(info_.peakOffset, 20.0 * std::log10(2.0), 1e-12);

  // All-zero data: RMS and peak 0 give the 140 dB floor, never inf or nan.
  Fresh();
  ASSERT_EQ(Import(kF32Le, WriteInput("zero.bin", EncodeFloat32(half, false))), 1);
  EXPECT_EQ(info_.samples, 50);
  EXPECT_EQ(info_.levelsValid, 1);
  EXPECT_EQ(info_.rmsOffset, 140.0);
  EXPECT_EQ(info_.peakOffset, 140.0);
}

TEST_F(RawImportTest, ScalingRewritesDataBeyondOneChunk) {
  // 2.1 million pairs make a temporary payload of 16.8 MB, more than one
  // 16 MiB chunk of the stream, so the in-place rewrite crosses a chunk
  // boundary both while reading and while flushing.
  constexpr std::size_t kPairs = 2'100'000;
  static_assert(3 + 8 * kPairs > 16 * 1024 * 1024);
  std::vector<std::int16_t> units(2 * kPairs);
  for (std::size_t k = 0; k < units.size(); ++k) {
    units[k] = static_cast<std::int16_t>((k * 7919) % 60000 - 30000);
  }
  units[2 * 2'098'000] = 32767;
  units[2 * 2'098'000 + 1] = -32768;
  const auto expected = ModelImport(Int16Pairs(units));
  ASSERT_TRUE(expected.scaled);
  ASSERT_EQ(Import(kI16Le, WriteInput("long.bin", EncodeInt16(units, false))), 1) << AllLines();
  EXPECT_EQ(info_.samples, static_cast<std::int32_t>(kPairs));
  ExpectSameFloats(StoredFloats(), expected.stored);
  EXPECT_DOUBLE_EQ(info_.rmsOffset, ExpectedOffset(expected.rms));
  EXPECT_EQ(info_.peakOffset, 0.0);

  // Progress: the import rises to 100, the scaling pass starts again at 0
  // and rises to the share of the last sample, each value reported once.
  const auto& values = CapturedProgress();
  const auto restart = std::find(values.begin() + 1, values.end(), 0);
  ASSERT_NE(restart, values.end());
  EXPECT_EQ(*(restart - 1), 100);
  EXPECT_EQ(values.back(), static_cast<int>((kPairs - 1) * 100 / kPairs));
  for (auto it = values.begin() + 1; it != values.end(); ++it) {
    if (it != restart) {
      EXPECT_GT(*it, *(it - 1));
    }
  }
}

TEST_F(RawImportTest, AsciiCodesGoToTheAsciiReader) {
  const std::string input = dir_.File("sig.txt");
  testing_support::WriteFileText(input, "0.5 -0.25\n0.125 0.0625\n");
  ASSERT_EQ(Import(0, input), 1) << AllLines();
  EXPECT_TRUE(Logged("Format is ASCII, Floating Point"));
  EXPECT_EQ(info_.samples, 2);
  ExpectSameFloats(StoredFloats(), {0.5f, -0.25f, 0.125f, 0.0625f});
  ExpectSlotsFree();
}

TEST_F(RawImportTest, EveryFailedFileOperationFailsTheImport) {
  namespace faults = platform::faults;
  // Over-range data, so the scaling pass rewrites the temporary file too.
  const std::vector<std::int16_t> units = {32767, 32767, 100, -200, -32768, 5, 7, 9};
  const std::string input = WriteInput("faults.bin", EncodeInt16(units, false));
  faults::Reset();
  faults::SetRecording(true);
  ASSERT_EQ(Import(kI16Le, input), 1) << AllLines();
  const std::vector<faults::FileOp> ops = faults::RecordedCalls();
  faults::SetRecording(false);
  const std::vector<float> reference = StoredFloats();
  const WaveInfo good = info_;
  ASSERT_FALSE(ops.empty());

  for (const faults::Fault fault : {faults::Fault::kFail, faults::Fault::kShortWrite}) {
    for (std::size_t call = 1; call <= ops.size(); ++call) {
      SCOPED_TRACE(testing::Message() << faults::FileOpName(ops[call - 1]) << " call " << call);
      Fresh();
      faults::Arm(call, fault);
      const int result = Import(kI16Le, input);
      ASSERT_TRUE(faults::FaultDelivered());
      faults::Reset();
      ExpectSlotsFree();
      if (ops[call - 1] == faults::FileOp::kClose) {
        // Closing the input after its last read loses nothing.
        EXPECT_EQ(result, 1) << AllLines();
        ExpectSameFloats(StoredFloats(), reference);
        EXPECT_EQ(info_.rmsOffset, good.rmsOffset);
      } else {
        // Any failed read, write or seek leaves data unread or unwritten.
        EXPECT_EQ(result, 0) << AllLines();
        EXPECT_TRUE(LoggedContaining("*** ")) << AllLines();
        EXPECT_EQ(info_.levelsValid, 0);
      }
    }
  }
}

}  // namespace
