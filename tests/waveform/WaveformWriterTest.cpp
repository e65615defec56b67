#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <regex>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "common/ByteOrder.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "waveform/OutputFile.h"
#include "waveform/WaveformWriter.h"

#if __has_include(<sys/resource.h>)
#include <sys/resource.h>

#include <csignal>
#define WAVORA_HAVE_FSIZE_LIMIT 1
#endif

namespace {

namespace ts = testing_support;
using ts::Bytes;
using Names = std::vector<std::string>;

std::vector<std::string> gLines;
void CaptureLine(const std::string& line) { gLines.push_back(line); }

// A captured line without its time stamp: "   i text" (level 1), "   ! text"
// (level 8) or "   text" (LogAlways).
bool Logged(const std::string& text) {
  return std::any_of(gLines.begin(), gLines.end(),
                     [&](const std::string& line) { return line.substr(8) == text; });
}

struct FileCloser {
  void operator()(std::FILE* file) const { platform::CloseFile(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// An encrypted stream of the payload, written through a slot as the
// importers and the reader write their temporary files.
File MakeStream(const std::string& path, const Bytes& payload, int slot = 0) {
  File file(platform::OpenFile(path, "w+b"));
  EXPECT_TRUE(file && _InitBuf(slot, file.get(), 0, 1, 1));
  _WriteBytes(slot, static_cast<std::int32_t>(payload.size()), payload.data());
  EXPECT_EQ(_ReleaseBuf(slot), 1);
  return file;
}

Bytes WavePayload(const std::vector<float>& iq, Bytes header = {'I', 'Q', 'F'}) {
  const Bytes samples = ts::EncodeFloat32(iq, false);
  header.insert(header.end(), samples.begin(), samples.end());
  return header;
}

class WaveformWriter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string reason;
    ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
  }
  void SetUp() override {
    gLines.clear();
    SetLogSink(CaptureLine);
    SetLogMask(15);
    info.clock = info.markerClock = 100e6;
    info.rmsOffset = 3.5;
    info.peakOffset = 0.25;
  }
  void TearDown() override {
    // Every way out leaves the writer's slots free.
    EXPECT_EQ(GetStreamSlot(0).rbuffer, nullptr);
    EXPECT_EQ(GetStreamSlot(3).rbuffer, nullptr);
    SetLogSink(nullptr);
  }
  // Writes the samples and the marker stream with at most `limit` change
  // points kept for one pass; the limit goes back to its default on every
  // way out. Returns WriteWaveformFile's result.
  int WriteWithMarkers(std::size_t limit, const std::vector<float>& iq, const Bytes& markers) {
    SetMarkerListChanges(limit);
    File wave = MakeStream(dir.File("t.dat"), WavePayload(iq));
    File marker = MakeStream(dir.File("m.dat"), markers, 3);
    const int result = WriteWaveformFile(info, out, wave.get(), marker.get());
    SetMarkerListChanges(kDefaultMarkerListChanges);
    return result;
  }
  ts::ParsedWaveform Parse(const std::string& path) {
    ts::ParsedWaveform parsed;
    std::string error;
    EXPECT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(path), &parsed, &error)) << error;
    return parsed;
  }

  ts::TempDir dir;
  const std::string out = dir.File("out.wv");
  WaveInfo info;
};

TEST(SampleToWord, ConvertsFullScaleValuesAndClipsTheRest) {
  EXPECT_EQ(SampleToWord(1.0f), 32767);
  EXPECT_EQ(SampleToWord(0.5f), 16384);
  EXPECT_EQ(SampleToWord(0.0f), 0);
  EXPECT_EQ(SampleToWord(-1.0f), -32767);
  EXPECT_EQ(SampleToWord(1.2f), 32767);
  EXPECT_EQ(SampleToWord(-1.2f), -32767);
  EXPECT_EQ(SampleToWord(-0.00001f), 0);
  EXPECT_EQ(SampleToWord(-3.2f / 32767.0f), -3);
  EXPECT_EQ(SampleToWord(std::numeric_limits<float>::quiet_NaN()), 32767);
  for (int k = -150000; k <= 150000; k += 7)
    ASSERT_EQ(SampleToWord(k / 100000.0f), ts::ExpectedWord(k / 100000.0f)) << k;
}

// Random values of both signs: each word lies within half a step of
// v * 32767 and the errors average out to nothing, on I as on Q (a rule that
// rounds one sign toward zero shows a mean of half a step here).
TEST(SampleToWord, RoundsToTheNearestWordWithoutBias) {
  std::mt19937 random(20201);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  constexpr int kCount = 1 << 20;
  std::vector<float> values(kCount);
  for (float& v : values) v = uniform(random);
  std::vector<unsigned char> floats(4 * values.size()), words(2 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k)
    StoreLE32(std::bit_cast<std::uint32_t>(values[k]), floats.data() + 4 * k);
  ASSERT_EQ(ConvertToWords(floats.data(), kCount, words.data()), 0);
  double sum[2] = {0.0, 0.0}, worst = 0.0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    const auto word = static_cast<std::int16_t>(LoadLE16(words.data() + 2 * k));
    const double error = word - static_cast<double>(values[k]) * 32767.0;
    sum[k % 2] += error;
    worst = std::max(worst, std::fabs(error));
  }
  EXPECT_LE(worst, 0.5 + 1.0 / 256.0);
  for (double s : sum) EXPECT_NEAR(s / (kCount / 2), 0.0, 0.02);
}

// A value v * 32767 + 0.5 within 1/256 of a whole number is that number:
// every 16-bit word s imported as (s - 0.5) / 32767 comes back as s. Farther
// from a whole number the word is rounded down from v * 32767 + 0.5.
TEST(SampleToWord, WholeNumbersWithinAHairComeBackExactly) {
  for (int s = -32766; s <= 32767; ++s)
    ASSERT_EQ(SampleToWord(static_cast<float>((s - 0.5) / 32767.0)), s) << s;
  struct Case {
    double scaled;  // v * 32767 + 0.5
    int word;
  };
  const Case cases[] = {
      {100.003, 100},     {99.997, 100},        {99.99, 99},      {100.01, 100}, {-99.997, -100},
      {-100.003, -100},   {-99.99, -100},       {-100.01, -101},  {0.003, 0},    {-0.003, 0},
      {32766.999, 32767}, {-32765.999, -32766}, {32766.99, 32766}};
  for (const Case& c : cases) {
    const float value = static_cast<float>((c.scaled - 0.5) / 32767.0);
    EXPECT_EQ(SampleToWord(value), c.word) << c.scaled;
    EXPECT_EQ(ts::ExpectedWord(value), c.word) << c.scaled;
  }
}

// The word of every 257th float between -1.25 and 1.25 (bit patterns, so
// tiny, mid-range and full-scale values are all met) is the nearest whole
// number within 1/256, else floor(v * 32767 + 0.5).
TEST(SampleToWord, AgreesWithTheRuleAcrossTheFloats) {
  std::uint64_t checked = 0;
  for (std::uint32_t bits = 0; bits < 0x3FA00000u; bits += 257) {
    for (const float value : {std::bit_cast<float>(bits), -std::bit_cast<float>(bits)}) {
      ASSERT_EQ(SampleToWord(value), ts::ExpectedWord(value)) << value;
      ++checked;
    }
  }
  EXPECT_GT(checked, 8000000u);
}

// The buffer conversion (eight and four values at a time where the processor allows)
// gives the words and the clip count of the value-by-value one, for every
// 4099th float bit pattern (both signs, beyond full scale, infinities, not a
// number) and at every length that leaves a tail.
TEST(SampleToWord, BufferConversionAgreesWithTheOneAtATimePath) {
  std::vector<float> values;
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4099)
    values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
  for (float special :
       {1.0f, -1.0f, 0.0f, -0.0f, std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
    values.push_back(special);
  std::vector<unsigned char> floats(values.size() * 4);
  for (std::size_t k = 0; k < values.size(); ++k)
    StoreLE32(std::bit_cast<std::uint32_t>(values[k]), floats.data() + 4 * k);
  for (std::size_t length : {values.size(), std::size_t{1}, std::size_t{3}, std::size_t{6},
                             std::size_t{12}, std::size_t{15}}) {
    const auto count = static_cast<std::int32_t>(length);
    std::vector<unsigned char> fast(2 * length), plain(2 * length);
    EXPECT_EQ(ConvertToWords(floats.data(), count, fast.data()),
              ConvertToWordsOneAtATime(floats.data(), count, plain.data()))
        << length;
    EXPECT_EQ(fast, plain) << length;
  }
}

TEST_F(WaveformWriter, CountsTheValuesClippedAtFullScale) {
  const std::vector<float> inside = {1.0f, -1.0f, 0.5f, 0.0f};
  File wave = MakeStream(dir.File("in.dat"), WavePayload(inside));
  info.samples = 2;
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 1);
  EXPECT_FALSE(std::any_of(gLines.begin(), gLines.end(), [](const std::string& line) {
    return line.find("clipped") != std::string::npos;
  }));

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> beyond = {1.0001f, -1.5f, 0.25f, nan, 40.0f, -1.0f};
  wave = MakeStream(dir.File("beyond.dat"), WavePayload(beyond));
  info.samples = 3;
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 1);
  EXPECT_TRUE(Logged("   ! *** Warning: 4 values were clipped at full scale."));

  wave = MakeStream(dir.File("one.dat"), WavePayload({0.0f, -2.0f}));
  info.samples = 1;
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 1);
  EXPECT_TRUE(Logged("   ! *** Warning: 1 value was clipped at full scale."));
}

TEST_F(WaveformWriter, WritesTagsInOrderAndEverySampleWord) {
  std::vector<float> iq = ts::MakeNoise(2000, 1.3, 7);
  iq[0] = std::numeric_limits<float>::quiet_NaN();
  File wave = MakeStream(dir.File("t.dat"), WavePayload(iq));
  info.samples = 1000;
  info.comment = "a comment";
  info.copyright = "(c) us";
  ts::WriteFileText(out, "an older file");  // replaced
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 1);

  const auto parsed = Parse(out);
  EXPECT_EQ(parsed.TagNames(), (Names{"TYPE", "COMMENT", "COPYRIGHT", "DATE", "CLOCK",
                                      "CLOCK MARKER", "LEVEL OFFS", "SAMPLES"}));
  EXPECT_EQ(*parsed.Find("TYPE"), " KVG-WV,0");
  EXPECT_EQ(*parsed.Find("COMMENT"), "a comment");
  EXPECT_EQ(*parsed.Find("COPYRIGHT"), "(c) us");
  EXPECT_TRUE(
      std::regex_match(*parsed.Find("DATE"), std::regex(R"(\d{4}(-\d\d){2};\d\d(:\d\d){2})")));
  EXPECT_EQ(*parsed.Find("CLOCK"), "100000000.000");
  EXPECT_EQ(*parsed.Find("CLOCK MARKER"), "100000000.000");
  EXPECT_EQ(*parsed.Find("LEVEL OFFS"), "3.500000,0.250000");
  EXPECT_EQ(*parsed.Find("SAMPLES"), "1000");
  EXPECT_EQ(parsed.dataTagName, "WAVEFORM-4001");
  EXPECT_EQ(parsed.trailingBytes, 0u);
  ASSERT_EQ(parsed.words.size(), iq.size());
  for (std::size_t k = 0; k < iq.size(); ++k)
    ASSERT_EQ(parsed.words[k], ts::ExpectedWord(iq[k])) << k;
  // No leftover under a temporary name.
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"out.wv", "t.dat"}));
  EXPECT_TRUE(Logged("   i Creating wave file " + out + "..."));
  EXPECT_TRUE(Logged("   i Waveform file generated."));
}

TEST_F(WaveformWriter, WritesMarkerListsFromTheMarkerStream) {
  // More samples than one read batch; marker 1 changes exactly at a batch
  // boundary and at the last sample.
  const int n = 20000;
  Bytes markers(n, 4 | 0xF0);  // marker 3 always high; bits above 3 are ignored
  for (int i = 10; i < 20; ++i) markers[i] |= 2;
  for (int i = 8192; i < n - 1; ++i) markers[i] |= 1;
  // A half-scale constant: I = 0.5, Q = 0.
  std::vector<float> iq(2 * n, 0.0f);
  for (int i = 0; i < n; ++i) iq[2 * i] = 0.5f;
  info.samples = n;
  info.rmsOffset = info.peakOffset = 20.0 * std::log10(1.0 / 0.5);
  info.comment = "";  // an empty comment and copyright give no tags
  // The lists from one pass over the stream, and from a pass per list when
  // their 8 change points exceed what is kept (none, or 7).
  ts::Bytes first;
  for (std::size_t limit : {kDefaultMarkerListChanges, std::size_t{0}, std::size_t{7}}) {
    SCOPED_TRACE(limit);
    ASSERT_EQ(WriteWithMarkers(limit, iq, markers), 1);
    ts::Bytes bytes = ts::ReadFileBytes(out);
    // The DATE tag is the time of writing; the rest must agree byte for byte.
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t date = text.find("{DATE:");
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(date),
                bytes.begin() + static_cast<std::ptrdiff_t>(text.find('}', date)));
    if (first.empty()) first = bytes;
    EXPECT_TRUE(bytes == first);
  }
  const auto parsed = Parse(out);
  EXPECT_EQ(parsed.TagNames(), (Names{"TYPE", "DATE", "CLOCK", "CLOCK MARKER", "LEVEL OFFS",
                                      "SAMPLES", "CONTROL LENGTH", "MARKER LIST 1", "MARKER LIST 2",
                                      "MARKER LIST 3", "MARKER LIST 4"}));
  EXPECT_EQ(*parsed.Find("LEVEL OFFS"), "6.020600,6.020600");
  EXPECT_EQ(*parsed.Find("CONTROL LENGTH"), "20000");
  EXPECT_EQ(*parsed.Find("MARKER LIST 1"), " 0:0;8192:1;19999:0");
  EXPECT_EQ(*parsed.Find("MARKER LIST 2"), " 0:0;10:1;20:0");
  EXPECT_EQ(*parsed.Find("MARKER LIST 3"), " 0:1");
  EXPECT_EQ(*parsed.Find("MARKER LIST 4"), " 0:0");
  EXPECT_EQ(parsed.words.size(), 2u * n);
  EXPECT_EQ(parsed.words[2 * n - 2], 16384);
  EXPECT_TRUE(Logged("   i PEAK      : 0.50 / PKOfs : 6.02 dBfs"));
  EXPECT_TRUE(Logged("   i Creating marker trace from temporary marker file ..."));
}

// A stream of long runs and of bursts where the states change from byte to
// byte, at every offset within sixteen bytes and across read batches: the
// lists name each change, in one pass and in a pass per list alike.
TEST_F(WaveformWriter, MarkerListsNameEveryChangeOfRunsAndBursts) {
  const int n = 40000;
  std::mt19937 random(77);
  Bytes markers(n);
  std::uint8_t states = 0x5;
  for (int i = 0; i < n; ++i) {
    const bool burst = (i / 1000) % 3 == 1;
    if (burst || random() % 997 == 0) states = static_cast<std::uint8_t>(random() & 0xF);
    markers[i] = static_cast<std::uint8_t>(states | (random() & 0xF0));  // high bits ignored
  }
  std::string expected[4];
  for (int bit = 0; bit < 4; ++bit) {
    int previous = -1;
    for (int i = 0; i < n; ++i) {
      const int state = (markers[i] >> bit) & 1;
      if (state == previous) continue;
      expected[bit] += (i == 0 ? " " : ";") + std::to_string(i) + ":" + std::to_string(state);
      previous = state;
    }
  }
  const std::vector<float> iq(2 * n, 0.25f);
  info.samples = n;
  for (std::size_t limit : {kDefaultMarkerListChanges, std::size_t{0}}) {
    SCOPED_TRACE(limit);
    ASSERT_EQ(WriteWithMarkers(limit, iq, markers), 1);
    const auto parsed = Parse(out);
    for (int bit = 0; bit < 4; ++bit)
      EXPECT_EQ(*parsed.Find("MARKER LIST " + std::to_string(bit + 1)), expected[bit]) << bit;
  }
}

TEST_F(WaveformWriter, RefusesBadArgumentsBeforeWriting) {
  File wave = MakeStream(dir.File("t.dat"), WavePayload({0.1f, 0.2f}));
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 0);
  EXPECT_TRUE(Logged("   *** Error: Number of points cannot be zero."));
  info.samples = 1;
  EXPECT_EQ(WriteWaveformFile(info, "", wave.get(), nullptr), 0);
  EXPECT_TRUE(Logged("   *** Error: Destination file name cannot be empty."));
  EXPECT_EQ(WriteWaveformFile(info, out, nullptr, nullptr), 0);
  EXPECT_TRUE(Logged("   *** Error: No data input for function."));
  info.comment = "ends {early} here";
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 0);
  EXPECT_TRUE(Logged("   *** Error: Comment must not contain '}'."));
  info.comment.clear();
  info.copyright = "}";
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 0);
  EXPECT_TRUE(Logged("   *** Error: Copyright must not contain '}'."));
  info.copyright.clear();
  // 259 characters are the limit, for the output and for its temporary name.
  const std::string path259 = dir.path() + "/" + std::string(258 - dir.path().size(), 'x');
  EXPECT_EQ(WriteWaveformFile(info, path259 + "y", wave.get(), nullptr), 0);
  EXPECT_TRUE(
      Logged("   ! *** Error: Output file path is longer than 259 characters: " + path259 + "y"));
  EXPECT_EQ(WriteWaveformFile(info, path259, wave.get(), nullptr), 0);
  EXPECT_TRUE(gLines.back().find("! *** Error: Temporary output file path is longer") !=
              std::string::npos);
  EXPECT_EQ(ts::ListNames(dir.path()), Names{"t.dat"});
}

TEST_F(WaveformWriter, FailureLeavesExistingDestinationAndNoPartialFile) {
  ts::WriteFileText(out, "previous");
  File wave = MakeStream(dir.File("t.dat"), WavePayload(std::vector<float>(20, 0.5f)));
  File marker = MakeStream(dir.File("m.dat"), Bytes(10, 1), 3);
  File shortMarker = MakeStream(dir.File("m2.dat"), Bytes(9, 1), 3);
  File bad = MakeStream(dir.File("b.dat"), WavePayload({0, 0}, {'I', 'Q', 'X'}));
  // A marker stream whose writer never finished (header still 0).
  ts::WriteFileBytes(dir.File("u.dat"), Bytes(12, 0));
  File unfinished(platform::OpenFile(dir.File("u.dat"), "r+b"));
  info.samples = 11;  // one more than the waveform stream holds
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 0);
  EXPECT_TRUE(Logged("   *** Error reading waveform data from temporary file."));
  info.samples = 10;
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), shortMarker.get()), 0);
  EXPECT_TRUE(Logged("   *** Error reading marker data from temporary file."));
  EXPECT_EQ(WriteWaveformFile(info, out, bad.get(), marker.get()), 0);
  EXPECT_TRUE(Logged("   *** Error: Temporary waveform file has wrong format."));
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), unfinished.get()), 0);
  EXPECT_TRUE(Logged("   *** Cannot setup buffer for temporary marker file."));
  EXPECT_EQ(WriteWaveformFile(info, dir.File("missing/out.wv"), wave.get(), marker.get()), 0);
  EXPECT_TRUE(Logged("   *** Error opening output file."));
  EXPECT_TRUE(Logged("   i ========== Signal Statistics =========="));
  EXPECT_EQ(ts::ReadFileBytes(out), Bytes({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
  EXPECT_EQ(ts::ListNames(dir.path()),
            (Names{"b.dat", "m.dat", "m2.dat", "out.wv", "t.dat", "u.dat"}));
}

// Without replacing, a destination that exists when the file is complete
// (one that appeared while it was written) is kept, and the run fails.
TEST_F(WaveformWriter, DestinationThatAppearedIsKeptUnlessReplacing) {
  File wave = MakeStream(dir.File("t.dat"), WavePayload({0.25f, -0.25f, 0.5f, 0.0f}));
  info.samples = 2;
  ts::WriteFileText(out, "appeared meanwhile");
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr, false), 0);
  EXPECT_TRUE(Logged("   *** Destination file already exists."));
  EXPECT_EQ(ts::ReadFileBytes(out), Bytes({'a', 'p', 'p', 'e', 'a', 'r', 'e', 'd', ' ', 'm', 'e',
                                           'a', 'n', 'w', 'h', 'i', 'l', 'e'}));
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"out.wv", "t.dat"}));

  // A new destination is written either way.
  ASSERT_EQ(WriteWaveformFile(info, dir.File("new.wv"), wave.get(), nullptr, false), 1);
  EXPECT_EQ(Parse(dir.File("new.wv")).words.size(), 4u);
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr, true), 1);
  EXPECT_EQ(Parse(out).words.size(), 4u);
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"new.wv", "out.wv", "t.dat"}));
}

// A link planted at the fixed hidden name of earlier versions is never
// written through: the hidden name of a run is its own.
TEST_F(WaveformWriter, LinkAtAHiddenNameIsNeverWrittenThrough) {
  File wave = MakeStream(dir.File("t.dat"), WavePayload({0.25f, -0.25f}));
  info.samples = 1;
  ts::WriteFileText(dir.File("victim"), "precious");
  std::error_code error;
  std::filesystem::create_symlink(dir.File("victim"), dir.File(".out.wv.part"), error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr, false), 1);
  EXPECT_EQ(ts::ReadFileBytes(dir.File("victim")), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{".out.wv.part", "out.wv", "t.dat", "victim"}));
}

// The path checks a caller makes before any data is read are the writer's.
TEST_F(WaveformWriter, PathChecksCoverTheHiddenName) {
  EXPECT_EQ(CheckOutputPaths(out), 1);
  // Short enough itself, but not with the hidden name's dot, tag and suffix.
  const std::string path250 = dir.path() + "/" + std::string(249 - dir.path().size(), 'x');
  ASSERT_EQ(path250.size(), 250u);
  EXPECT_EQ(CheckOutputPaths(path250), 0);
  EXPECT_TRUE(gLines.back().find("! *** Error: Temporary output file path is longer") !=
              std::string::npos);
}

#ifdef WAVORA_HAVE_FSIZE_LIMIT
TEST_F(WaveformWriter, FullDiskIsAnErrorAndLeavesNothing) {
  File wave = MakeStream(dir.File("t.dat"), WavePayload(std::vector<float>(200000, 0.5f)));
  info.samples = 100000;
  // A file size limit makes writes beyond it fail as on a full disk.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 64 * 1024;
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int result = WriteWaveformFile(info, out, wave.get(), nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(Logged("   *** Error writing output file."));
  EXPECT_EQ(ts::ListNames(dir.path()), Names{"t.dat"});
}
#endif

}  // namespace
