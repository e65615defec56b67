// The binary readers work on blocks of pairs: what they store, measure,
// report and refuse must be what a reader of single pairs gives, also for
// pairs in later blocks.
#include "Shared/FileIO/TempFiles.h"
#include "import/RawImportFixture.h"

namespace {

using raw_import_test::CapturedLines;
using raw_import_test::CapturedProgress;
using raw_import_test::ExpectedOffset;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using testing_support::Bytes;
using testing_support::EncodeFloat32;
using testing_support::EncodeInt16;

// More pairs than several blocks hold.
constexpr std::size_t kPairs = 30001;

// The progress values of a reader that reports trunc(n * bytesPerPair * 100 /
// size) before each pair n whenever it changes, and the value after the last
// pair; the import entry's 0 comes first.
std::vector<int> PerPairProgress(std::int64_t pairs, std::int64_t bytesPerPair, std::int64_t size) {
  std::vector<int> values = {0};
  int last = 0;
  for (std::int64_t n = 0; n <= pairs; ++n) {
    const auto percent = static_cast<int>(n * bytesPerPair * 100 / size);
    if (percent != last) values.push_back(percent);
    last = percent;
  }
  return values;
}

TEST_F(RawImportTest, BlocksStoreMeasureAndReportAsSinglePairsWould) {
  // Over-range noise: the levels are summed pair by pair in file order, and
  // the scaling pass divides every value by the float peak.
  const std::vector<float> iq = testing_support::MakeNoise(2 * kPairs, 3.0, 11);
  const Bytes bytes = EncodeFloat32(iq, true);
  ASSERT_EQ(Import(kFormatF32be, WriteInput("noise.bin", bytes)), 1) << AllLines();
  const auto model = ModelImport(iq);
  ExpectSameFloats(StoredFloats(), model.stored);
  EXPECT_EQ(info_.rmsOffset, ExpectedOffset(model.rms));  // the same sums, to the last bit
  EXPECT_EQ(info_.peakOffset, 0.0);
  const std::vector<int> progress = PerPairProgress(kPairs, 8, bytes.size());
  ASSERT_GE(CapturedProgress().size(), progress.size());
  EXPECT_EQ(std::vector<int>(CapturedProgress().begin(),
                             CapturedProgress().begin() + static_cast<long>(progress.size())),
            progress);

  // Below full scale, 16-bit words: nothing is rescaled, the offsets come
  // from the import's own sums.
  Fresh();
  std::vector<std::int16_t> words(2 * kPairs);
  for (std::size_t k = 0; k < words.size(); ++k)
    words[k] = static_cast<std::int16_t>((k * 7919) % 40000 - 20000);
  const Bytes wordBytes = EncodeInt16(words, false);
  ASSERT_EQ(Import(kFormatI16le, WriteInput("words.bin", wordBytes)), 1) << AllLines();
  std::vector<float> values;
  for (std::int16_t w : words) values.push_back(static_cast<float>((w - 0.5) / 32767.0));
  const auto wordModel = ModelImport(values);
  ExpectSameFloats(StoredFloats(), values);
  EXPECT_EQ(info_.rmsOffset, ExpectedOffset(wordModel.rms));
  EXPECT_EQ(info_.peakOffset, ExpectedOffset(wordModel.peak));
  EXPECT_EQ(CapturedProgress(), PerPairProgress(kPairs, 4, wordBytes.size()));

  // Fewer pairs than percent: the percentage jumps from pair to pair.
  for (const std::size_t pairs : {std::size_t{1}, std::size_t{3}, std::size_t{37}}) {
    Fresh();
    const std::vector<float> few = testing_support::MakeNoise(2 * pairs, 0.5, 3);
    const Bytes fewBytes = EncodeFloat32(few, false);
    ASSERT_EQ(Import(kFormatF32le, WriteInput("few.bin", fewBytes)), 1) << AllLines();
    EXPECT_EQ(CapturedProgress(), PerPairProgress(static_cast<std::int64_t>(pairs), 8,
                                                  static_cast<std::int64_t>(fewBytes.size())))
        << pairs;
    EXPECT_EQ(info_.rmsOffset, ExpectedOffset(ModelImport(few).rms)) << pairs;
  }
}

TEST_F(RawImportTest, BlocksFailAtThePairASinglePairReaderFailsAt) {
  // A huge value in a later block names its pair.
  std::vector<float> iq(2 * kPairs, 0.25f);
  iq[2 * 23456 + 1] = 1e5f;
  ASSERT_EQ(Import(kFormatF32le, WriteInput("big.bin", EncodeFloat32(iq, false))), 0);
  EXPECT_EQ(CapturedLines().back(), "    (DataPoint=23456, I=0.250, Q=100000.000)");

  // An I value without its Q after all complete pairs, in one file or two.
  Fresh();
  Bytes words = EncodeInt16(std::vector<std::int16_t>(2 * kPairs, 7), false);
  words.insert(words.end(), {1, 0, 2});  // one whole unit and a byte
  EXPECT_EQ(Import(kFormatI16le, WriteInput("odd.bin", words)), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error: No Q data available for I sample.");
  Fresh();
  const std::string q = WriteInput("t_Q.bin", Bytes(2 * kPairs - 20001, 0x11));
  EXPECT_EQ(Import(kFormatI14le2, WriteInput("t_I.bin", Bytes(2 * kPairs, 0x22)), q), 0);
  EXPECT_EQ(CapturedLines().back(), "*** Error: No Q data available for I sample.");
  ExpectSlotsFree();

  // A trailing partial unit is no pair: the complete ones are imported.
  Fresh();
  words.pop_back();
  words.pop_back();
  words.pop_back();
  words.push_back(9);
  ASSERT_EQ(Import(kFormatI16le, WriteInput("partial.bin", words)), 1) << AllLines();
  EXPECT_EQ(info_.samples, static_cast<std::int32_t>(kPairs));
}

}  // namespace
