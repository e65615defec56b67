#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "waveform/MarkerStream.h"
#include "waveform/WaveFileBuilder.h"

namespace {

using testing_support::ListText;
using testing_support::MakeWords;
using testing_support::WaveFileBuilder;
using Entries = std::vector<std::pair<long, int>>;

// Every case runs with the change points all kept until the data tag, and
// with so few kept that the lists are merged into the stream after every
// entry, or in the middle of a list.
class MarkerStream : public reader_test::ReaderFixture,
                     public ::testing::WithParamInterface<std::size_t> {
 protected:
  void SetUp() override {
    ReaderFixture::SetUp();
    SetMarkerChangeLimit(GetParam());
  }
  void TearDown() override {
    SetMarkerChangeLimit(kDefaultMarkerChangeLimit);
    ReaderFixture::TearDown();
  }
};

// The stream that the lists mean: marker n is low before its first entry,
// takes the state of each entry at its position and keeps it up to the next
// entry and after the last one; entries before the current position count
// for nothing.
std::vector<unsigned char> MeaningOf(const std::vector<std::pair<int, Entries>>& lists,
                                     long length) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(length), 0);
  for (const auto& [marker, entries] : lists) {
    std::vector<int> state(static_cast<std::size_t>(length), 0);
    long next = 0;
    int current = 0;
    for (const auto& [position, value] : entries) {
      if (position < next) continue;
      for (long q = next; q < position && q < length; ++q) state[q] = current;
      current = value;
      if (position < length) state[position] = current;
      next = position + 1;
    }
    for (long q = next; q < length; ++q) state[q] = current;
    for (long q = 0; q < length; ++q)
      bytes[q] = static_cast<unsigned char>(bytes[q] | ((state[q] << (marker - 1)) & 0xFF));
  }
  return bytes;
}

std::vector<std::uint16_t> KvgZeros(int pairs) {
  return MakeWords(pairs, [](int, int) { return 0; });
}

// A KVG file with the lists and the tags before them.
std::string KvgWithLists(const std::string& tags, const std::vector<std::pair<int, Entries>>& lists,
                         int pairs) {
  WaveFileBuilder file;
  file.Tag("TYPE", " KVG-WV,0").Raw(tags);
  for (const auto& [marker, entries] : lists)
    file.Tag("MARKER LIST " + std::to_string(marker), ListText(entries));
  return file.Data(KvgZeros(pairs)).bytes();
}

TEST_P(MarkerStream, TransitionsHoldUntilTheNextEntry) {
  const auto out = Read(KvgWithLists("{SAMPLES:200}", {{1, {{0, 1}, {100, 0}}}}, 200));
  ASSERT_EQ(out.result, 1) << AllLines();
  ASSERT_EQ(out.markers.size(), 200u);
  for (int q = 0; q < 200; ++q) EXPECT_EQ(out.markers[q], q < 100 ? 1 : 0) << q;
  EXPECT_EQ(out.info.controlLength, 200);
  EXPECT_TRUE(Logged(2, "Warning: No CONTROL LENGTH tag found. Using data from SAMPLES tag."));
  EXPECT_TRUE(Logged(1, "M1 : state 0 = 1"));
  EXPECT_TRUE(Logged(1, "M1 : transition 100 -> 0"));
  EXPECT_TRUE(Logged(1, "     Creating marker data 1...100"));
  EXPECT_TRUE(Logged(1, "Filling marker stream up to position 199"));
  EXPECT_TRUE(Logged(1, "Restarting marker data stream ..."));
}

TEST_P(MarkerStream, ListsCombineBitByBit) {
  // Two lists; bytes 0-4 are 2, 5-9 are 0, 10-19 are 1, byte 20 is 0.
  const auto two =
      Read(KvgWithLists("", {{1, {{0, 0}, {10, 1}, {20, 0}}}, {2, {{0, 1}, {5, 0}}}}, 30));
  ASSERT_EQ(two.result, 1) << AllLines();
  std::vector<unsigned char> expected(30, 0);
  for (int q = 0; q < 5; ++q) expected[q] = 2;
  for (int q = 10; q < 20; ++q) expected[q] = 1;
  EXPECT_EQ(two.markers, expected);

  // Out of order: the third entry writes nothing. A first entry after 0
  // leaves the marker low before it.
  const auto mixed = Read(
      KvgWithLists("{CONTROL LENGTH:80}",
                   {{3, {{0, 1}, {50, 0}, {20, 1}}}, {4, {{7, 1}, {60, 0}}}, {1, {{30, 1}}}}, 80));
  ASSERT_EQ(mixed.result, 1) << AllLines();
  ASSERT_EQ(mixed.markers.size(), 80u);
  for (int q = 0; q < 80; ++q) {
    const int expectedByte = (q < 50 ? 4 : 0) | (q >= 7 && q < 60 ? 8 : 0) | (q >= 30 ? 1 : 0);
    EXPECT_EQ(mixed.markers[q], expectedByte) << q;
  }
  EXPECT_TRUE(Logged(1, "M4 : transition 7 -> 1"));
  EXPECT_TRUE(Logged(1, "M3 : transition 20 -> 1"));
  EXPECT_TRUE(Logged(1, "     Creating marker data 51...20"));
}

TEST_P(MarkerStream, EveryMarkerKeepsItsLastStateToTheEnd) {
  // Lists that end before an earlier, longer list: marker 2 is high
  // throughout, marker 4 goes low again; marker 3 then reaches beyond them
  // all, where marker 1 must stay low.
  const std::vector<std::pair<int, Entries>> lists = {{1, {{0, 1}, {100, 0}}},
                                                      {2, {{0, 1}}},
                                                      {4, {{0, 0}, {20, 1}, {30, 0}}},
                                                      {3, {{0, 0}, {150, 1}}}};
  const auto out = Read(KvgWithLists("{SAMPLES:200}{CONTROL LENGTH:200}", lists, 200));
  ASSERT_EQ(out.result, 1) << AllLines();
  EXPECT_EQ(out.markers, MeaningOf(lists, 200));
  EXPECT_EQ(out.markers[50], 1 | 2);
  EXPECT_EQ(out.markers[120], 2);
  EXPECT_EQ(out.markers[199], 2 | 4);
  EXPECT_EQ(out.markers[25], 1 | 2 | 8);

  // A list that ends low leaves its bit low after its last entry.
  const std::vector<std::pair<int, Entries>> low = {{1, {{0, 0}, {90, 1}}}, {2, {{0, 1}, {5, 0}}}};
  const auto lowOut = Read(KvgWithLists("", low, 100));
  EXPECT_EQ(lowOut.markers, MeaningOf(low, 100));
}

TEST_P(MarkerStream, RejectsRangesMalformedEntriesAndBadNumbers) {
  EXPECT_EQ(
      Read(KvgWithLists("", {{1, {{0, 1}}}}, 4).replace(0, 0, "{MARKER LIST 1: 10-20:1}")).result,
      0);
  EXPECT_TRUE(Logged(4, "*** Error: Unsupported MARKER LIST format. Use transition format."));
  EXPECT_TRUE(Logged(4, "*** 'MARKER LIST 1' -> '10-20:1'"));

  const std::string malformed = WaveFileBuilder()
                                    .Tag("TYPE", "KVG-WV")
                                    .Tag("MARKER LIST 2", "0:1;5")
                                    .Data(KvgZeros(9))
                                    .bytes();
  EXPECT_EQ(Read(malformed).result, 0);
  EXPECT_TRUE(Logged(4, "*** Error: Invalid MARKER LIST tag data."));
  EXPECT_TRUE(Logged(4, "*** 'MARKER LIST 2' -> '5'"));

  // A state is 0 or 1: any other would set the bits of other markers.
  for (const std::string entry : {"30:2", "30:9", "30:255", "30:256"}) {
    ClearLog();
    const auto out = Read(WaveFileBuilder()
                              .Tag("TYPE", "KVG-WV")
                              .Tag("MARKER LIST 1", "0:1;" + entry)
                              .Data(KvgZeros(40))
                              .bytes());
    EXPECT_EQ(out.result, 0) << entry;
    EXPECT_TRUE(Logged(4, "*** Error: Invalid MARKER LIST tag data.")) << entry;
    EXPECT_TRUE(Logged(4, "*** 'MARKER LIST 1' -> '" + entry + "'")) << entry;
  }

  for (const std::string name :
       {"MARKER LIST 5", "MARKER LIST 0", "MARKER LIST x", "MARKER LIST -1"}) {
    ClearLog();
    EXPECT_EQ(
        Read(WaveFileBuilder().Tag("TYPE", "WV").Tag(name, "0:1").Data(KvgZeros(2)).bytes()).result,
        0)
        << name;
    EXPECT_TRUE(Logged(4, "*** Error: Invalid MARKER LIST tag.")) << name;
  }

  // Positions and lengths beyond what a temporary file holds.
  const std::string tooFar = std::to_string(kMaxTempSamples + 1);
  EXPECT_EQ(Read(WaveFileBuilder()
                     .Tag("TYPE", "WV")
                     .Tag("MARKER LIST 1", "0:1;" + tooFar + ":0")
                     .Data(KvgZeros(2))
                     .bytes())
                .result,
            0);
  EXPECT_TRUE(Logged(8, "*** Error: Invalid marker position"));
  ClearLog();
  EXPECT_EQ(Read(WaveFileBuilder()
                     .Tag("TYPE", "WV")
                     .Tag("MARKER LIST 1", "99999999999999999999:0")
                     .Data(KvgZeros(2))
                     .bytes())
                .result,
            0);
  EXPECT_TRUE(Logged(8, "*** Error: Invalid marker position"));
  ClearLog();
  EXPECT_EQ(Read(WaveFileBuilder()
                     .Tag("TYPE", "WV")
                     .Tag("CONTROL LENGTH", tooFar)
                     .Data(KvgZeros(2))
                     .bytes())
                .result,
            0);
  EXPECT_TRUE(Logged(4, "*** Error: Invalid tag data"));

  // An entry longer than 1024 characters is cut, handled, and ends the list.
  const std::string longEntry = "5:1" + std::string(1030, ' ');
  const auto cut = Read(WaveFileBuilder()
                            .Tag("TYPE", "WV")
                            .Tag("MARKER LIST 1", "0:0;" + longEntry + ";7:0")
                            .Data(KvgZeros(10))
                            .bytes());
  ASSERT_EQ(cut.result, 1) << AllLines();
  EXPECT_TRUE(LoggedAlways("*** Error: Invalid tag content!"));
  EXPECT_EQ(cut.markers, std::vector<unsigned char>({0, 0, 0, 0, 0, 1, 1, 1, 1, 1}));
}

TEST_P(MarkerStream, FourteenBitWordsCarryTheMarkersWithoutLists) {
  // Sample k carries marker bits k % 16 in the low bits of I and Q.
  const auto words = MakeWords(40, [](int k, int part) {
    return part == 0 ? 0x8000 + 4 * k + (k & 3) : 0x4000 + ((k >> 2) & 3);
  });
  auto bitsOf = [](int k) { return static_cast<unsigned char>(k % 16); };

  const auto out =
      Read(WaveFileBuilder().Tag("TYPE", "WV").Tag("RESOLUTION", "14").Data(words).bytes());
  ASSERT_EQ(out.result, 1) << AllLines();
  ASSERT_EQ(out.markers.size(), 40u);
  for (int k = 0; k < 40; ++k) EXPECT_EQ(out.markers[k], bitsOf(k)) << k;
  EXPECT_EQ(out.values[2], static_cast<float>((0x8000 + 4 - 32768.5) / 32000.0));
  EXPECT_TRUE(Logged(2, "Warning: No CONTROL LENGTH tag found. Using data from SAMPLES tag."));
  EXPECT_TRUE(
      Logged(2, "*** Warning: Suspicious number of samples (WAVEFORM tag:40, SAMPLES tag:0)"));

  // A stream prepared for one sample keeps its byte; the others follow at
  // their own positions.
  const auto one = Read(WaveFileBuilder()
                            .Tag("TYPE", "WV")
                            .Tag("RESOLUTION", "14")
                            .Tag("CONTROL LENGTH", "1")
                            .Data(words)
                            .bytes());
  ASSERT_EQ(one.markers.size(), 40u);
  EXPECT_EQ(one.markers[0], 0);
  for (int k = 1; k < 40; ++k) EXPECT_EQ(one.markers[k], bitsOf(k)) << k;

  // With a sample count, or in 16-bit files, the low bits carry no markers.
  for (const std::string tags :
       {"{RESOLUTION:14}{SAMPLES:40}", "", "{RESOLUTION:14}{MARKER LIST 1:0:0}"}) {
    const auto none = Read(WaveFileBuilder().Tag("TYPE", "WV").Raw(tags).Data(words).bytes());
    EXPECT_EQ(none.markers, std::vector<unsigned char>(40, 0)) << tags;
  }
}

// The samples are converted in blocks: markers, values and levels of
// samples in later blocks land where a sample-by-sample reader puts them.
TEST_P(MarkerStream, SamplesInLaterBlocksKeepTheirMarkersAndValues) {
  constexpr int kSamples = 20000;
  const auto words = MakeWords(kSamples, [](int k, int part) {
    return part == 0 ? 0x8000 + 4 * (k % 1000) + (k & 3) : 0x4000 + ((k >> 2) & 3);
  });
  const auto low = Read(WaveFileBuilder()
                            .Tag("TYPE", "WV")
                            .Tag("RESOLUTION", "14")
                            .Tag("CONTROL LENGTH", "1")
                            .Data(words)
                            .bytes());
  ASSERT_EQ(low.result, 1) << AllLines();
  ASSERT_EQ(low.markers.size(), static_cast<std::size_t>(kSamples));
  for (int k = 1; k < kSamples; ++k) ASSERT_EQ(low.markers[k], k % 16) << k;
  const auto zetq14 = [](std::uint16_t word) {
    return static_cast<float>(((word & 0xFFFC) - 32768.5) / 32000.0);
  };
  ASSERT_EQ(low.values.size(), 2u * kSamples);
  for (int k : {0, 8191, 8192, 16383, 19999})
    EXPECT_EQ(low.values[2 * k], zetq14(words[2 * k])) << k;
  double sum = 0.0;
  double peak = 0.0;
  for (int k = 0; k < kSamples; ++k) {
    const double power = double{low.values[2 * k]} * low.values[2 * k] +
                         double{low.values[2 * k + 1]} * low.values[2 * k + 1];
    sum += power;
    peak = std::max(peak, power);
  }
  EXPECT_EQ(low.info.rmsOffset, 20.0 * std::log10(1.0 / (std::sqrt(sum / kSamples) + 1e-7)));
  EXPECT_EQ(low.info.peakOffset, 20.0 * std::log10(1.0 / (std::sqrt(peak) + 1e-7)));

  // A stream prepared up to the middle of a block: the fill byte follows.
  const std::vector<std::pair<int, Entries>> lists = {{1, {{0, 1}, {5000, 0}, {9000, 1}}}};
  const auto kvg = Read(KvgWithLists("{CONTROL LENGTH:10000}", lists, kSamples));
  ASSERT_EQ(kvg.result, 1) << AllLines();
  EXPECT_EQ(kvg.markers, MeaningOf(lists, kSamples));

  // Data that ends inside a later block fails the read.
  const std::string full = WaveFileBuilder().Tag("TYPE", "KVG-WV").Data(KvgZeros(kSamples)).bytes();
  ClearLog();
  EXPECT_EQ(Read(full.substr(0, full.size() - 4 * 5000)).result, 0);
  EXPECT_TRUE(Logged(8, "*** Error: Cannot read enough data from xWAVEFORM tag!")) << AllLines();
}

TEST_P(MarkerStream, ControlLengthSetsTheStreamLength) {
  const auto equal = Read(KvgWithLists("{CONTROL LENGTH:1000}", {}, 1000));
  EXPECT_EQ(equal.markers, std::vector<unsigned char>(1000, 0));

  const auto longer = Read(KvgWithLists("{CONTROL LENGTH:1200}", {{1, {{0, 0}, {1100, 1}}}}, 1000));
  ASSERT_EQ(longer.result, 1);
  EXPECT_EQ(longer.info.samples, 1000);
  EXPECT_EQ(longer.markers, MeaningOf({{1, {{0, 0}, {1100, 1}}}}, 1200));

  // A negative length adds nothing beyond the lists; the samples fill the rest.
  const auto negative =
      Read(KvgWithLists("{CONTROL LENGTH:-2147483648}", {{2, {{0, 1}, {3, 0}}}}, 6));
  ASSERT_EQ(negative.result, 1) << AllLines();
  EXPECT_EQ(negative.markers, std::vector<unsigned char>({2, 2, 2, 0, 0, 0}));
}

TEST_P(MarkerStream, SamplesBeyondAShortPreparedStreamLandAtTheirPositions) {
  // Prepared up to 300 bytes; samples 300 to 999 add the fill byte at their
  // own positions and the prepared bytes stay as they are.
  const std::vector<std::pair<int, Entries>> lists = {{1, {{0, 1}, {100, 0}, {250, 1}}},
                                                      {2, {{0, 0}, {120, 1}, {130, 0}}}};
  const auto out = Read(KvgWithLists("{SAMPLES:1000}{CONTROL LENGTH:300}", lists, 1000));
  ASSERT_EQ(out.result, 1) << AllLines();
  EXPECT_EQ(out.markers, MeaningOf(lists, 1000));
}

class MarkerStreamChunks : public MarkerStream {};

TEST_P(MarkerStreamChunks, StreamsLongerThanOneChunk) {
  // The first list writes across the first 16 MiB chunk boundary of the
  // slot, the second reads it back and rewrites it across that boundary, and
  // the preparation copies and extends the whole stream.
  const long length = 16777216 + 1000;
  const std::vector<std::pair<int, Entries>> lists = {{1, {{0, 1}, {16777000, 0}, {16777250, 1}}},
                                                      {2, {{3, 1}, {16777215, 0}, {16777217, 1}}}};
  const auto out = Read(KvgWithLists("{CONTROL LENGTH:" + std::to_string(length) + "}", lists, 4));
  ASSERT_EQ(out.result, 1) << AllLines();
  const std::vector<unsigned char> expected = MeaningOf(lists, length);
  ASSERT_EQ(out.markers.size(), expected.size());
  long mismatches = 0;
  for (std::size_t q = 0; q < expected.size(); ++q) mismatches += out.markers[q] != expected[q];
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(KeptOrInStream, MarkerStream,
                         ::testing::Values(kDefaultMarkerChangeLimit, std::size_t{1},
                                           std::size_t{3}));
INSTANTIATE_TEST_SUITE_P(KeptOrInStream, MarkerStreamChunks,
                         ::testing::Values(kDefaultMarkerChangeLimit, std::size_t{2}));

TEST(MarkerEntry, ScansLikePositionColonState) {
  struct Case {
    std::string text;
    int fields;
    std::int64_t position;
    std::int64_t state;
  };
  const Case cases[] = {{"5:1", 2, 5, 1},   {"5", 1, 5, 0},
                        {"5 :1", 1, 5, 0},  {"\t5: 1x", 2, 5, 1},
                        {"+7:+0", 2, 7, 0}, {"x:1", 0, 0, 0},
                        {"5:", 1, 5, 0},    {"0x10:1", 1, 0, 0},
                        {"", 0, 0, 0},      {"99999999999:3", 2, 2147483647, 3}};
  for (const Case& c : cases) {
    std::int64_t position = 0;
    std::int64_t state = 0;
    EXPECT_EQ(ScanMarkerEntry(c.text, &position, &state), c.fields) << c.text;
    EXPECT_EQ(position, c.position) << c.text;
    EXPECT_EQ(state, c.state) << c.text;
  }
}

}  // namespace

namespace {

// Damaged files: bytes changed, cut, or tag characters and digits put in.
// Whatever the damage, a read releases its slots and either fails or leaves
// one temporary sample per sample and a marker byte for each of them.
class DamagedFiles : public reader_test::ReaderFixture {};

TEST_F(DamagedFiles, ReadSafelyOrFail) {
  const std::string bases[] = {
      KvgWithLists("{SAMPLES:64}{CONTROL LENGTH:70}{LEVEL OFFS:3,1}{CLOCK:1e7}",
                   {{1, {{0, 1}, {10, 0}, {40, 1}}}, {3, {{5, 1}, {6, 0}}}}, 64),
      WaveFileBuilder()
          .Tag("TYPE", "WV-ADD,1")
          .Tag("RESOLUTION", "14")
          .Tag("MARKER LIST 2", "0:1;3:0")
          .Data(MakeWords(32, [](int k, int part) { return 0x8000 + 7 * k + part; }), " ", "x")
          .bytes()};
  const char inserts[] = "{}:;#-0123456789 ,";
  std::mt19937 random(20090609);
  int read = 0;
  for (int round = 0; round < 48; ++round) {
    std::string bytes = bases[round % 2];
    const int damages = 1 + static_cast<int>(random() % 4);
    for (int d = 0; d < damages && !bytes.empty(); ++d) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0:
          bytes[at] = static_cast<char>(random() % 256);
          break;
        case 1:
          bytes.resize(at);
          break;
        case 2:
          bytes.insert(at, 1, inserts[random() % (sizeof(inserts) - 1)]);
          break;
        default:
          bytes.insert(at, std::string(1 + random() % 9, static_cast<char>('0' + random() % 10)));
          break;
      }
    }
    ClearLog();
    const auto out = Read(bytes);
    if (out.result == 1) {
      ++read;
      ASSERT_GE(out.info.samples, 1) << round;
      EXPECT_EQ(out.header, "IQF") << round;
      EXPECT_EQ(out.values.size(), 2u * static_cast<std::size_t>(out.info.samples)) << round;
      EXPECT_GE(out.markers.size(), static_cast<std::size_t>(out.info.samples)) << round;
    } else {
      EXPECT_EQ(out.result, 0) << round;
    }
  }
  // Some damage leaves a readable file (a changed sample byte, say).
  EXPECT_GT(read, 0);
}

}  // namespace
