#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "waveform/WaveformWriter.h"

#if __has_include(<sys/resource.h>)
#include <sys/resource.h>

#include <csignal>
#define WAVORA_HAVE_FSIZE_LIMIT 1
#endif

namespace {

using testing_support::Bytes;
using testing_support::TempDir;

std::vector<std::string> gLines;
void CaptureLine(const std::string& line) { gLines.push_back(line); }

// A line of LogMessage at level 1 or LogAlways, as the sink receives it
// (time stamp cut off).
bool Logged(const std::string& prefix, const std::string& text) {
  return std::any_of(gLines.begin(), gLines.end(), [&](const std::string& line) {
    return line.size() > 8 && line.substr(8) == prefix + text;
  });
}
bool LoggedInfo(const std::string& text) { return Logged("   i ", text); }
bool LoggedAlways(const std::string& text) { return Logged("   ", text); }

struct FileCloser {
  void operator()(std::FILE* file) const { platform::CloseFile(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A temporary waveform stream of the given payload, written through a slot
// the way the importers write it.
File MakeStream(const std::string& path, const Bytes& payload, int slot) {
  File file(platform::OpenFile(path, "w+b"));
  EXPECT_TRUE(file && _InitBuf(slot, file.get(), 0, 1, 1));
  EXPECT_EQ(_WriteBytes(slot, static_cast<std::int32_t>(payload.size()), payload.data()),
            static_cast<std::int32_t>(payload.size()));
  EXPECT_EQ(_ReleaseBuf(slot), 1);
  return file;
}

File MakeWaveStream(const std::string& path, const std::vector<float>& iq) {
  Bytes payload = {'I', 'Q', 'F'};
  const Bytes samples = testing_support::EncodeFloat32(iq, false);
  payload.insert(payload.end(), samples.begin(), samples.end());
  return MakeStream(path, payload, 0);
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
  testing_support::ParsedWaveform Parse(const std::string& path) {
    testing_support::ParsedWaveform parsed;
    std::string error;
    EXPECT_TRUE(
        testing_support::ParseWaveform(testing_support::ReadFileBytes(path), &parsed, &error))
        << error;
    return parsed;
  }

  TempDir dir;
  WaveInfo info;
};

TEST(SampleToWord, ConvertsFullScaleValuesAndClipsTheRest) {
  EXPECT_EQ(SampleToWord(1.0f), 32767);
  EXPECT_EQ(SampleToWord(0.5f), 16384);
  EXPECT_EQ(SampleToWord(0.0f), 0);
  EXPECT_EQ(SampleToWord(-1.0f), -32766);
  EXPECT_EQ(SampleToWord(1.2f), 32767);
  EXPECT_EQ(SampleToWord(-1.2f), -32767);
  EXPECT_EQ(SampleToWord(-0.00001f), 0);
  EXPECT_EQ(SampleToWord(-3.2f / 32767.0f), -2);
  EXPECT_EQ(SampleToWord(std::numeric_limits<float>::quiet_NaN()), 32767);
  EXPECT_EQ(SampleToWord(-std::numeric_limits<float>::infinity()), -32767);
  for (int k = -150000; k <= 150000; k += 7) {
    const float v = static_cast<float>(k) / 100000.0f;
    EXPECT_EQ(SampleToWord(v), testing_support::ExpectedWord(v)) << v;
  }
}

TEST_F(WaveformWriter, WritesTagsInOrderAndEverySampleWord) {
  std::vector<float> iq = testing_support::MakeNoise(2000, 1.3, 7);
  iq[0] = std::numeric_limits<float>::quiet_NaN();
  File wave = MakeWaveStream(dir.File("t.dat"), iq);
  info.samples = 1000;
  info.comment = "a comment";
  info.copyright = "(c) us";
  const std::string out = dir.File("out.wv");
  ASSERT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 1);

  const auto parsed = Parse(out);
  EXPECT_EQ(parsed.TagNames(),
            (std::vector<std::string>{"TYPE", "COMMENT", "COPYRIGHT", "DATE", "CLOCK",
                                      "CLOCK MARKER", "LEVEL OFFS", "SAMPLES"}));
  EXPECT_EQ(*parsed.Find("TYPE"), " KVG-WV,0");
  EXPECT_EQ(*parsed.Find("COMMENT"), "a comment");
  EXPECT_EQ(*parsed.Find("COPYRIGHT"), "(c) us");
  EXPECT_TRUE(
      std::regex_match(*parsed.Find("DATE"), std::regex(R"(\d{4}-\d\d-\d\d;\d\d:\d\d:\d\d)")));
  EXPECT_EQ(*parsed.Find("CLOCK"), "100000000.000");
  EXPECT_EQ(*parsed.Find("CLOCK MARKER"), "100000000.000");
  EXPECT_EQ(*parsed.Find("LEVEL OFFS"), "3.500000,0.250000");
  EXPECT_EQ(*parsed.Find("SAMPLES"), "1000");
  EXPECT_EQ(parsed.dataTagName, "WAVEFORM-4001");
  EXPECT_EQ(parsed.trailingBytes, 0u);
  ASSERT_EQ(parsed.words.size(), iq.size());
  for (std::size_t k = 0; k < iq.size(); ++k)
    ASSERT_EQ(parsed.words[k], testing_support::ExpectedWord(iq[k])) << k;
  // Nothing but the output (no leftover under a temporary name) beside the input.
  EXPECT_EQ(testing_support::ListNames(dir.path()), (std::vector<std::string>{"out.wv", "t.dat"}));
  EXPECT_TRUE(LoggedInfo("Creating wave file " + out + "..."));
  EXPECT_TRUE(LoggedInfo("Waveform file generated."));
}

TEST_F(WaveformWriter, HalfScaleLevelsAndEmptyTextsWithoutMarkers) {
  File wave = MakeWaveStream(dir.File("t.dat"), {0.5f, 0.0f, 0.5f, 0.0f});
  info.samples = 2;
  info.rmsOffset = info.peakOffset = 20.0 * std::log10(2.0);
  // An existing destination is replaced.
  testing_support::WriteFileText(dir.File("out.wv"), "old");
  ASSERT_EQ(WriteWaveformFile(info, dir.File("out.wv"), wave.get(), nullptr), 1);
  const auto parsed = Parse(dir.File("out.wv"));
  EXPECT_EQ(parsed.TagNames(), (std::vector<std::string>{"TYPE", "DATE", "CLOCK", "CLOCK MARKER",
                                                         "LEVEL OFFS", "SAMPLES"}));
  EXPECT_EQ(*parsed.Find("LEVEL OFFS"), "6.020600,6.020600");
  EXPECT_EQ(parsed.words, (std::vector<std::int16_t>{16384, 0, 16384, 0}));
  EXPECT_TRUE(LoggedInfo("PEAK      : 0.50 / PKOfs : 6.02 dBfs"));
}

TEST_F(WaveformWriter, WritesMarkerListsFromTheMarkerStream) {
  // 20000 samples span more than one read batch; marker 1 changes exactly at
  // a batch boundary and at the last sample.
  const int n = 20000;
  Bytes markers(n, 0);
  for (int i = 10; i < 20; ++i) markers[i] |= 2;
  for (int i = 8192; i < n - 1; ++i) markers[i] |= 1;
  for (int i = 0; i < n; ++i) markers[i] |= 4 | 0xF0;  // bits above 3 are ignored
  File wave = MakeWaveStream(dir.File("t.dat"), std::vector<float>(2 * n, 0.25f));
  File marker = MakeStream(dir.File("m.dat"), markers, 3);
  info.samples = n;
  ASSERT_EQ(WriteWaveformFile(info, dir.File("out.wv"), wave.get(), marker.get()), 1);
  const auto parsed = Parse(dir.File("out.wv"));
  const auto names = parsed.TagNames();
  EXPECT_EQ(std::vector<std::string>(names.begin() + 6, names.end()),
            (std::vector<std::string>{"CONTROL LENGTH", "MARKER LIST 1", "MARKER LIST 2",
                                      "MARKER LIST 3", "MARKER LIST 4"}));
  EXPECT_EQ(*parsed.Find("CONTROL LENGTH"), "20000");
  EXPECT_EQ(*parsed.Find("MARKER LIST 1"), " 0:0;8192:1;19999:0");
  EXPECT_EQ(*parsed.Find("MARKER LIST 2"), " 0:0;10:1;20:0");
  EXPECT_EQ(*parsed.Find("MARKER LIST 3"), " 0:1");
  EXPECT_EQ(*parsed.Find("MARKER LIST 4"), " 0:0");
  EXPECT_EQ(parsed.words.size(), 2u * n);
  EXPECT_TRUE(LoggedInfo("Creating marker trace from temporary marker file ..."));
}

TEST_F(WaveformWriter, RefusesBadArgumentsBeforeWriting) {
  File wave = MakeWaveStream(dir.File("t.dat"), {0.1f, 0.2f});
  const std::string out = dir.File("out.wv");
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 0);
  EXPECT_TRUE(LoggedAlways("*** Error: Number of points cannot be zero."));
  info.samples = 1;
  EXPECT_EQ(WriteWaveformFile(info, "", wave.get(), nullptr), 0);
  EXPECT_TRUE(LoggedAlways("*** Error: Destination file name cannot be empty."));
  EXPECT_EQ(WriteWaveformFile(info, out, nullptr, nullptr), 0);
  EXPECT_TRUE(LoggedAlways("*** Error: No data input for function."));
  // 259 characters are the limit for the output and its temporary name.
  const std::string longPath = dir.path() + "/" + std::string(258 - dir.path().size(), 'x');
  EXPECT_EQ(WriteWaveformFile(info, longPath + "y", wave.get(), nullptr), 0);
  EXPECT_TRUE(
      Logged("   ! *** Error: Output file path is longer than 259 characters: ", longPath + "y"));
  EXPECT_EQ(WriteWaveformFile(info, longPath, wave.get(), nullptr), 0);
  EXPECT_TRUE(std::any_of(gLines.begin(), gLines.end(), [](const std::string& line) {
    return line.find("! *** Error: Temporary output file path is longer") != std::string::npos;
  }));
  EXPECT_EQ(testing_support::ListNames(dir.path()), std::vector<std::string>{"t.dat"});
}

TEST_F(WaveformWriter, FailureLeavesExistingDestinationAndNoPartialFile) {
  const std::string out = dir.File("out.wv");
  testing_support::WriteFileText(out, "previous");
  File wave = MakeWaveStream(dir.File("t.dat"), std::vector<float>(20, 0.5f));
  File marker = MakeStream(dir.File("m.dat"), Bytes(10, 1), 3);
  File bad = MakeStream(dir.File("b.dat"), {'I', 'Q', 'X', 0, 0, 0, 0, 0, 0, 0, 0}, 0);
  info.samples = 11;  // one more than either file holds
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), nullptr), 0);
  EXPECT_TRUE(LoggedAlways("*** Error reading waveform data from temporary file."));
  info.samples = 10;
  EXPECT_EQ(
      WriteWaveformFile(info, out, wave.get(), MakeStream(dir.File("m2.dat"), Bytes(9), 3).get()),
      0);
  EXPECT_TRUE(LoggedAlways("*** Error reading marker data from temporary file."));
  EXPECT_EQ(WriteWaveformFile(info, out, bad.get(), marker.get()), 0);
  EXPECT_TRUE(LoggedAlways("*** Error: Temporary waveform file has wrong format."));
  // A marker stream whose writer never finished (header still 0) fails its
  // set-up; the slot must not stay busy for the next conversion.
  testing_support::WriteFileBytes(dir.File("u.dat"), Bytes(12, 0));
  File unfinished(platform::OpenFile(dir.File("u.dat"), "r+b"));
  EXPECT_EQ(WriteWaveformFile(info, out, wave.get(), unfinished.get()), 0);
  EXPECT_TRUE(LoggedAlways("*** Cannot setup buffer for temporary marker file."));
  EXPECT_EQ(GetStreamSlot(3).rbuffer, nullptr);
  EXPECT_EQ(WriteWaveformFile(info, dir.File("missing/out.wv"), wave.get(), marker.get()), 0);
  EXPECT_TRUE(LoggedAlways("*** Error opening output file."));
  EXPECT_TRUE(LoggedInfo("========== Signal Statistics =========="));
  EXPECT_EQ(testing_support::ReadFileBytes(out), Bytes({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
  EXPECT_EQ(testing_support::ListNames(dir.path()),
            (std::vector<std::string>{"b.dat", "m.dat", "m2.dat", "out.wv", "t.dat", "u.dat"}));
}

#ifdef WAVORA_HAVE_FSIZE_LIMIT
TEST_F(WaveformWriter, FullDiskIsAnErrorAndLeavesNothing) {
  File wave = MakeWaveStream(dir.File("t.dat"), std::vector<float>(200000, 0.5f));
  info.samples = 100000;
  // A file size limit makes writes beyond it fail as on a full disk.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int result = WriteWaveformFile(info, dir.File("out.wv"), wave.get(), nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(LoggedAlways("*** Error writing output file."));
  EXPECT_EQ(testing_support::ListNames(dir.path()), std::vector<std::string>{"t.dat"});
}
#endif

}  // namespace
