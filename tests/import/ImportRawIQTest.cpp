// The import entry: its checks and lines, scaling of over-range data in
// place, the level offsets, progress, and failed file operations.
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
namespace faults = platform::faults;

constexpr InputFormat kF32Le = kFormatF32le;
constexpr InputFormat kI16Be = kFormatI16be;
constexpr InputFormat kI16Le = kFormatI16le;

std::vector<float> Int16Floats(const std::vector<std::int16_t>& units) {
  std::vector<float> values;
  for (std::int16_t s : units) values.push_back(static_cast<float>((s - 0.5) / 32767.0));
  return values;
}

TEST(PercentCounter, MatchesTruncatedQuotientAtEveryStep) {
  for (const auto& [total, weight] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {4000, 4}, {7, 8}, {800, 8}, {12345, 2}, {3, 1}, {1001, 4}, {0, 4}}) {
    PercentCounter counter(total, weight);
    for (std::int64_t count = 0; count <= total / weight + 3; ++count, counter.Advance()) {
      ASSERT_EQ(counter.Value(), total > 0 ? count * weight * 100 / total : 0)
          << total << "/" << weight << " at " << count;
    }
  }
}

// Stepping to each change in bounded strides, as the block reader does,
// passes through the percentages of single steps, including the jumps of a
// total smaller than 100 units.
TEST(PercentCounter, StridesToEachChangeGiveTheValuesOfSingleSteps) {
  for (const auto& [total, weight] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {4000, 4}, {7, 8}, {800, 8}, {12345, 2}, {3, 1}, {1001, 4}, {0, 4}, {90, 1}}) {
    for (const std::int64_t stride : {1, 2, 5, 64, 100000}) {
      PercentCounter single(total, weight);
      PercentCounter strided(total, weight);
      std::int64_t position = 0;
      const std::int64_t end = total / weight + 3;
      while (position < end) {
        const std::int64_t done = strided.AdvanceToChange(std::min(stride, end - position));
        ASSERT_GE(done, 1);
        for (std::int64_t k = 0; k < done; ++k) single.Advance();
        position += done;
        ASSERT_EQ(strided.Value(), single.Value()) << total << "/" << weight << " at " << position;
        // A stride that stopped short did so at a change.
        if (done < std::min(stride, end - position + done)) {
          PercentCounter before(total, weight);
          for (std::int64_t k = 0; k + 1 < position; ++k) before.Advance();
          ASSERT_NE(before.Value(), strided.Value())
              << total << "/" << weight << " at " << position;
        }
      }
    }
  }
}

TEST_F(RawImportTest, EntryRefusesBadCodesMissingFileAndBusySlot) {
  const std::string input = WriteInput("x.bin", EncodeInt16({1, 2}, false));
  for (const int code : {-1, 1, 7, 8, 13, 14}) {  // 1, 7 and 8 name no format
    Fresh();
    EXPECT_EQ(Import(static_cast<InputFormat>(code), input), 0);
    EXPECT_EQ(CapturedLines(), std::vector<std::string>{"*** Wrong import data format."});
  }
  Fresh();
  EXPECT_EQ(ImportRawIQ(input, "", info_, kI16Le, nullptr), 0);
  EXPECT_EQ(CapturedLines(),
            std::vector<std::string>{"*** Temporary file for wave data not open."});

  // A slot 0 that somebody else holds stays theirs.
  Fresh();
  std::FILE* other = platform::OpenFile(dir_.File("other.dat"), "w+b");
  ASSERT_EQ(_InitBuf(kSlotImportTemp, other, 1, 1, 1), 1);
  EXPECT_EQ(Import(kI16Le, input), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Cannot setup buffer for temporary waveform file.");
  EXPECT_TRUE(GetStreamSlot(kSlotImportTemp).wbuffer &&
              GetStreamSlot(kSlotImportTemp).file == other);
  EXPECT_EQ(_ReleaseBuf(kSlotImportTemp), 1);
  platform::CloseFile(other);
}

TEST_F(RawImportTest, LevelsOfDataAtOrBelowFullScale) {
  const struct {
    std::vector<float> iq;
    double rmsOffset, peakOffset;
  } cases[] = {
      {{1, 0, 0, -1, 0.5f, 0.25f},
       ExpectedOffset(ModelImport({1, 0, 0, -1, 0.5f, 0.25f}).rms),
       0.0},
      {{0.5f, 0, 0.5f, 0}, 20 * std::log10(2.0), 20 * std::log10(2.0)},
      {{0, 0, 0, 0}, 140.0, 140.0},  // silence: the floor, never inf or nan
      {{}, 140.0, 140.0},            // no pairs: no division by zero
  };
  for (const auto& c : cases) {
    Fresh();
    const std::string input = WriteInput("l.bin", EncodeFloat32(c.iq, false));
    ASSERT_EQ(Import(kF32Le, input), 1) << AllLines();
    EXPECT_EQ(CapturedLines(),
              (std::vector<std::string>{
                  "Importing from file '" + input + "'", "Format is Binary, Float32, LE, IQIQ...",
                  std::to_string(c.iq.size() / 2) + " data pairs imported."}));
    ExpectSameFloats(StoredFloats(), c.iq);  // exactly 1.0 is not rescaled
    EXPECT_EQ(info_.levelsValid, 1);
    EXPECT_NEAR(info_.rmsOffset, c.rmsOffset, 1e-12);
    EXPECT_NEAR(info_.peakOffset, c.peakOffset, 1e-12);
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, OverRangeDataIsScaledDownInPlaceAcrossChunks) {
  // 2.1 million pairs make a payload of 16.8 MB, more than one 16 MiB chunk
  // of the stream, so the in-place rewrite crosses a chunk boundary.
  constexpr std::size_t kPairs = 2'100'000;
  static_assert(3 + 8 * kPairs > 16 * 1024 * 1024);
  std::vector<std::int16_t> units(2 * kPairs);
  for (std::size_t k = 0; k < units.size(); ++k) units[k] = std::int16_t(k * 7919 % 60000 - 30000);
  units[2 * 2'098'000] = units[2 * 2'098'000 + 1] = 32767;  // full scale on I and Q
  const auto model = ModelImport(Int16Floats(units));
  ASSERT_EQ(Import(kI16Le, WriteInput("long.bin", EncodeInt16(units, false))), 1) << AllLines();
  EXPECT_TRUE(Logged("Max. vector is 1.4142. Scaling down to 1.0..."));
  char rmsLine[64];
  std::snprintf(rmsLine, sizeof(rmsLine), "New RMS value is %5.2f.", model.rms);
  EXPECT_EQ(CapturedLines().back(), rmsLine);
  ExpectSameFloats(StoredFloats(), model.stored);
  EXPECT_DOUBLE_EQ(info_.rmsOffset, ExpectedOffset(model.rms));
  EXPECT_EQ(info_.peakOffset, 0.0);

  // Each value once: the import rises to 100, the scaling pass starts at 0
  // again and rises to the share of its last sample.
  const auto restart = std::find(CapturedProgress().begin() + 1, CapturedProgress().end(), 0);
  ASSERT_NE(restart, CapturedProgress().end());
  EXPECT_EQ(CapturedProgress().front(), 0);
  EXPECT_EQ(*(restart - 1), 100);
  EXPECT_EQ(CapturedProgress().back(), static_cast<int>((kPairs - 1) * 100 / kPairs));
  const auto rising = [](auto from, auto to) {
    return std::adjacent_find(from, to, std::greater_equal<int>()) == to;
  };
  EXPECT_TRUE(rising(CapturedProgress().begin(), restart) &&
              rising(restart, CapturedProgress().end()));
}

TEST_F(RawImportTest, EveryFailedFileOperationFailsTheImport) {
  const std::vector<std::int16_t> units = {32767, 32767, 100, -200, -32768, 5, 7, 9};
  const std::string input = WriteInput("faults.bin", EncodeInt16(units, false));
  faults::Reset();
  faults::SetRecording(true);
  ASSERT_EQ(Import(kI16Le, input), 1) << AllLines();
  const std::vector<faults::FileOp> ops = faults::RecordedCalls();
  faults::SetRecording(false);
  const std::vector<float> reference = StoredFloats();

  for (const faults::Fault fault : {faults::Fault::kFail, faults::Fault::kShortWrite}) {
    for (std::size_t call = 1; call <= ops.size(); ++call) {
      SCOPED_TRACE(testing::Message() << faults::FileOpName(ops[call - 1]) << " call " << call);
      Fresh();
      faults::Arm(call, fault);
      const int result = Import(kI16Le, input);
      ASSERT_TRUE(faults::FaultDelivered());
      faults::Reset();
      ExpectSlotsFree();
      if (ops[call - 1] == faults::FileOp::kClose) {  // the input, after its last read
        EXPECT_EQ(result, 1) << AllLines();
        ExpectSameFloats(StoredFloats(), reference);
      } else {  // any failed read, write or seek leaves data unread or unwritten
        EXPECT_EQ(result, 0) << AllLines();
        // The failure line ends the log; after a failed open or write, the
        // line with the path (the input's or the temporary file's) and the
        // reason follows it.
        std::vector<std::string> lines = CapturedLines();
        if (lines.back().rfind("!     ", 0) == 0) lines.pop_back();
        EXPECT_EQ(lines.back().rfind("*** ", 0), 0u) << AllLines();
        EXPECT_EQ(info_.levelsValid, 0);
      }
    }
  }
}

}  // namespace

TEST_F(RawImportTest, SignedWordsOfZeroOnlyAreSilence) {
  // A word of 0 converts to half a step below zero; a file of nothing else is
  // still silence (140 dB), so -autoscale cannot lift it to full scale.
  const std::vector<std::int16_t> silent(64, 0);
  ASSERT_EQ(Import(kI16Le, WriteInput("zero.bin", EncodeInt16(silent, false))), 1) << AllLines();
  EXPECT_EQ(info_.peakOffset, 140.0);
  EXPECT_EQ(info_.rmsOffset, 140.0);

  // One word of 1 among the zeros is a signal with a measured level.
  Fresh();
  std::vector<std::int16_t> almost = silent;
  almost[10] = 1;
  ASSERT_EQ(Import(kI16Be, WriteInput("one.bin", EncodeInt16(almost, true))), 1) << AllLines();
  EXPECT_LT(info_.peakOffset, 100.0);
  EXPECT_GT(info_.peakOffset, 80.0);
}
