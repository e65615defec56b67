// Marker lists as the inspection reads them back from the file (stretches and
// per-sample states, with the reader's rules for entries out of order and
// repeated lists) and the word conversions of the older types.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/WaveformInspect.h"

namespace {

using testing_support::ListText;
using testing_support::WaveFileBuilder;

class WaveformInspect : public ::testing::Test {
 protected:
  // Opens a KVG file of 100 zero pairs with the lists; the header is parsed.
  platform::FileHandle OpenWithLists() {
    WaveFileBuilder file;
    file.Tag("TYPE", "KVG-WV")
        .Tag("MARKER LIST 1", ListText<int>({{0, 0}, {10, 1}, {20, 0}, {15, 1}, {30, 1}, {40, 0}}))
        .Tag("MARKER LIST 2", ListText<int>({{0, 1}, {5, 0}}))
        .Tag("MARKER LIST 4", ListText<int>({{90, 1}}))
        .Data(std::vector<std::uint16_t>(200, 0));
    testing_support::WriteFileText(dir_.File("lists.wv"), file.bytes());
    platform::FileHandle handle = OpenWaveform(dir_.File("lists.wv"), &header_);
    EXPECT_TRUE(handle);
    return handle;
  }

  std::vector<MarkerStretch> Stretches(std::FILE* file, std::int64_t pairs) {
    std::vector<MarkerStretch> stretches;
    EXPECT_EQ(ForEachMarkerStretch(file, header_, pairs,
                                   [&](const MarkerStretch& s) {
                                     stretches.push_back(s);
                                     return true;
                                   }),
              1);
    return stretches;
  }

  testing_support::TempDir dir_;
  WaveformHeader header_;
};

TEST_F(WaveformInspect, MarkerStretchesFollowTheListsAndIgnoreEntriesBehindThem) {
  platform::FileHandle file = OpenWithLists();
  ASSERT_TRUE(file);
  EXPECT_EQ(header_.markers[0].entryCount, 6);
  EXPECT_EQ(header_.markers[0].firstEntries.size(), kKeptMarkerEntries);
  EXPECT_EQ(header_.markerListEnd, 91);
  const std::vector<MarkerStretch> stretches = Stretches(file.get(), 100);
  // Marker 1: 15:1 lies behind 20:0 and counts for nothing; marker 4 stays
  // high to the end of the data.
  const std::vector<std::vector<std::int64_t>> expected = {
      {2, 0, 5}, {1, 10, 10}, {1, 30, 10}, {4, 90, 10}};
  ASSERT_EQ(stretches.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(stretches[k].marker, expected[k][0]) << k;
    EXPECT_EQ(stretches[k].start, expected[k][1]) << k;
    EXPECT_EQ(stretches[k].count, expected[k][2]) << k;
  }
  // Stretches beyond the data are cut at its end.
  EXPECT_EQ(Stretches(file.get(), 35).back().count, 5);
}

TEST_F(WaveformInspect, MarkerCursorGivesTheStatesOfEverySampleWhileTheWordsAreRead) {
  platform::FileHandle file = OpenWithLists();
  ASSERT_TRUE(file);
  MarkerListCursor cursor(file.get(), header_);
  std::vector<int> bits;
  // The cursor reads its lists from the same file as the words.
  ASSERT_EQ(
      ForEachWordBlock(file.get(), header_,
                       [&](const std::uint16_t* words, std::size_t pairs, std::int64_t first) {
                         for (std::size_t p = 0; p < pairs; ++p) {
                           EXPECT_EQ(words[2 * p], 0);
                           bits.push_back(cursor.At(first + static_cast<std::int64_t>(p)));
                         }
                         return true;
                       }),
      1);
  ASSERT_EQ(bits.size(), 100u);
  EXPECT_EQ(bits[0], 2);
  EXPECT_EQ(bits[5], 0);
  EXPECT_EQ(bits[12], 1);
  EXPECT_EQ(bits[17], 1);
  EXPECT_EQ(bits[25], 0);
  EXPECT_EQ(bits[35], 1);
  EXPECT_EQ(bits[95], 8);
}

TEST_F(WaveformInspect, RepeatedListsAreJoinedAsTheReaderJoinsThem) {
  WaveFileBuilder file;
  file.Tag("TYPE", "KVG-WV")
      .Tag("MARKER LIST 1", ListText<int>({{0, 1}, {10, 0}}))
      .Tag("MARKER LIST 1", ListText<int>({{20, 1}, {30, 0}, {30, 1}, {35, 0}}))
      .Data(std::vector<std::uint16_t>(80, 0));
  testing_support::WriteFileText(dir_.File("twice.wv"), file.bytes());
  platform::FileHandle handle = OpenWaveform(dir_.File("twice.wv"), &header_);
  ASSERT_TRUE(handle);
  EXPECT_EQ(header_.markers[0].entryCount, 4);  // the last tag's
  // The second 30:... lies at the position already reached and counts for nothing.
  const std::vector<MarkerStretch> stretches = Stretches(handle.get(), 40);
  ASSERT_EQ(stretches.size(), 2u);
  EXPECT_EQ(stretches[0].start, 0);
  EXPECT_EQ(stretches[0].count, 10);
  EXPECT_EQ(stretches[1].start, 20);
  EXPECT_EQ(stretches[1].count, 10);
}

TEST(WaveformWords, WordConversionsOfEachType) {
  WaveformHeader header;
  header.type = kWaveformKvg;
  EXPECT_FLOAT_EQ(DecodeWord(header, 0x7FFF), static_cast<float>(32766.5 / 32767));
  EXPECT_EQ(SignedWord(header, 0x8001), -32767);
  header.type = kWaveformZq750;
  EXPECT_FLOAT_EQ(DecodeWord(header, 0x8001), -1.0f);
  header.type = kWaveformZetq;
  EXPECT_FLOAT_EQ(DecodeWord(header, 0xFFFF), 1.0f);
  EXPECT_EQ(SignedWord(header, 0x0001), -32767);
  header.sixteenBit = false;  // 14-bit: markers in the two low bits
  EXPECT_FLOAT_EQ(DecodeWord(header, 0x8003), static_cast<float>(-0.5 / 32000));
  EXPECT_EQ(SignedWord(header, 0x8003), 0);
  EXPECT_TRUE(MarkersInWordBits(header));
  // As in the reader: a SAMPLES value above 1 without CONTROL LENGTH is the
  // control length in effect, and the low bits are not markers.
  header.hasSamples = true;
  header.samples = 1000;
  EXPECT_FALSE(MarkersInWordBits(header));
  header.hasControlLength = true;
  header.controlLength = 1;
  EXPECT_TRUE(MarkersInWordBits(header));
  header.markerListEnd = 1;  // a list wrote a byte
  EXPECT_FALSE(MarkersInWordBits(header));
}

}  // namespace
