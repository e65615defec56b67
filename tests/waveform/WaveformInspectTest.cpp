// Marker lists as the inspection reads them (stretches and per-sample states,
// with the reader's rule for entries out of order) and the word conversions
// of the older types.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "waveform/WaveformInspect.h"

namespace {

WaveformHeader WithLists() {
  WaveformHeader header;
  header.type = kWaveformKvg;
  header.markers[0] = {true, {{0, 0}, {10, 1}, {20, 0}, {15, 1}, {30, 1}, {40, 0}}};
  header.markers[1] = {true, {{0, 1}, {5, 0}}};
  header.markers[3] = {true, {{90, 1}}};
  return header;
}

TEST(WaveformInspect, MarkerStretchesFollowTheListsAndIgnoreEntriesBehindThem) {
  const std::vector<MarkerStretch> stretches = MarkerStretchesFromLists(WithLists(), 100);
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
  EXPECT_EQ(MarkerStretchesFromLists(WithLists(), 35).back().count, 5);
}

TEST(WaveformInspect, MarkerCursorGivesTheStatesOfEverySample) {
  const WaveformHeader header = WithLists();
  MarkerListCursor cursor(header);
  std::vector<int> bits;
  for (std::int64_t p = 0; p < 100; ++p) bits.push_back(cursor.At(p));
  EXPECT_EQ(bits[0], 2);
  EXPECT_EQ(bits[5], 0);
  EXPECT_EQ(bits[12], 1);
  EXPECT_EQ(bits[17], 1);
  EXPECT_EQ(bits[25], 0);
  EXPECT_EQ(bits[35], 1);
  EXPECT_EQ(bits[95], 8);
}

TEST(WaveformInspect, WordConversionsOfEachType) {
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
  header.markers[2].present = true;
  EXPECT_FALSE(MarkersInWordBits(header));
}

}  // namespace
