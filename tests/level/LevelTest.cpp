#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "level/LevelOffsets.h"
#include "level/Rescale.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using testing_support::Bytes;

std::vector<std::string> gLines;
void CaptureLine(const std::string& line) { gLines.push_back(line); }

// The captured lines without their time stamps.
std::vector<std::string> Messages() {
  std::vector<std::string> messages;
  for (const std::string& line : gLines) messages.push_back(line.substr(8));
  return messages;
}

struct FileCloser {
  void operator()(std::FILE* file) const { platform::CloseFile(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class Level : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string reason;
    ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
  }
  void SetUp() override {
    gLines.clear();
    SetLogSink(CaptureLine);
    SetLogMask(15);
  }
  void TearDown() override {
    EXPECT_EQ(GetStreamSlot(0).rbuffer, nullptr);
    SetLogSink(nullptr);
  }

  // The temporary waveform stream with the given 3 header bytes and samples.
  File MakeWaveStream(const std::string& header, const std::vector<float>& iq) {
    File file(platform::OpenFile(dir.File("t.dat"), "w+b"));
    Bytes payload(header.begin(), header.end());
    const Bytes samples = testing_support::EncodeFloat32(iq, false);
    payload.insert(payload.end(), samples.begin(), samples.end());
    EXPECT_TRUE(file && _InitBuf(0, file.get(), 0, 1, 1));
    _WriteBytes(0, static_cast<std::int32_t>(payload.size()), payload.data());
    EXPECT_EQ(_ReleaseBuf(0), 1);
    return file;
  }
  std::vector<float> ReadSamples(std::FILE* file, std::size_t count) {
    std::vector<unsigned char> bytes(3 + 8 * count + 1);
    EXPECT_EQ(_InitBuf(0, file, 1, 0, 1), 1);
    EXPECT_EQ(_ReadBytes(0, static_cast<std::int32_t>(bytes.size()), bytes.data()),
              static_cast<std::int32_t>(bytes.size() - 1));  // nothing beyond the samples
    _ReleaseBuf(0);
    std::vector<float> values(2 * count);
    std::memcpy(values.data(), bytes.data() + 3, 8 * count);
    return values;
  }

  testing_support::TempDir dir;
  WaveInfo info;
};

TEST(LevelOffsets, ConvertsBetweenLinearAndDecibels) {
  EXPECT_EQ(LevelOffsetFromLinear(0.0), 140.0);
  EXPECT_EQ(LevelOffsetFromLinear(-0.5), 140.0);
  EXPECT_EQ(LevelOffsetFromLinear(std::numeric_limits<double>::quiet_NaN()), 140.0);
  EXPECT_EQ(LevelOffsetFromLinear(1.0), 0.0);
  EXPECT_NEAR(LevelOffsetFromLinear(0.5), 6.0206, 1e-4);
  EXPECT_NEAR(LevelOffsetFromLinear(0.001), 60.0, 1e-9);
  for (double linear : {1e-6, 0.01, 0.3, 0.999, 2.0})
    EXPECT_NEAR(LinearFromLevelOffset(LevelOffsetFromLinear(linear)), linear, linear * 1e-12);
  EXPECT_NEAR(LinearFromLevelOffset(140.0), 1e-7, 1e-19);
}

TEST_F(Level, PrintsTheStatisticsBlockAtInformationLevel) {
  info.clock = 100e6;
  info.markerClock = 50e6;
  info.samples = 1000;
  info.rmsOffset = 20.0 * std::log10(1.0 / 0.5);
  info.peakOffset = info.rmsOffset;
  PrintSignalStatistics(info);
  info.rmsOffset = info.peakOffset = 140.0;
  PrintSignalStatistics(info);
  const std::vector<std::string> block = {"   i ========== Signal Statistics ==========",
                                          "   i ARB clock :100000000.000 Hz",
                                          "   i MKR clock :50000000.000 Hz",
                                          "   i Samples   :1000",
                                          "   i RMS       : 0.50 / RMSOfs: 6.02 dBfs",
                                          "   i PEAK      : 0.50 / PKOfs : 6.02 dBfs",
                                          "   i Pk/Av     : 0.00 dB",
                                          "   i ======================================="};
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 16u);
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 8), block);
  EXPECT_EQ(messages[12], "   i RMS       : 0.00 / RMSOfs:140.00 dBfs");
  gLines.clear();
  SetLogMask(LogMaskForVerbosity(2));
  PrintSignalStatistics(info);
  EXPECT_TRUE(gLines.empty());
}

TEST_F(Level, RescaleLiftsThePeakToFullScale) {
  // More than one 16 MiB chunk, so the in-place rewrite crosses a chunk boundary.
  const std::size_t n = 2200000;
  const std::vector<float> iq = testing_support::MakeNoise(2 * n, 0.4, 3);
  File file = MakeWaveStream("IQF", iq);
  info.samples = static_cast<std::int32_t>(n);
  info.rmsOffset = 9.0;
  info.peakOffset = 6.0;
  info.levelsValid = 1;
  ASSERT_EQ(Rescale(file.get(), info), 1);
  EXPECT_EQ(info.peakOffset, 0.0);
  EXPECT_EQ(info.rmsOffset, 3.0);
  const float factor = static_cast<float>(std::pow(10.0, 0.3));
  const std::vector<float> scaled = ReadSamples(file.get(), n);
  for (std::size_t k = 0; k < iq.size(); ++k) ASSERT_EQ(scaled[k], factor * iq[k]) << k;
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "   i Rescaling waveform data",
                            "   i   Overall PEAK offset is  6.00 dB. Scaling to  0.00 dB",
                            "   i   Overall RMS  offset is  9.00 dB. Scaling to  3.00 dB"}));
}

TEST_F(Level, RescaleOfNoSamplesOrSilenceKeepsTheData) {
  File file = MakeWaveStream("IQF", {});
  info.rmsOffset = 5.0;
  info.peakOffset = 2.0;
  ASSERT_EQ(Rescale(file.get(), info), 1);
  EXPECT_EQ(info.rmsOffset, 3.0);
  EXPECT_EQ(info.peakOffset, 0.0);
  EXPECT_EQ(testing_support::ReadFileBytes(dir.File("t.dat")).size(), 4u + 8u);

  const std::vector<float> zeros(8, 0.0f);
  file = MakeWaveStream("IQF", zeros);
  const Bytes before = testing_support::ReadFileBytes(dir.File("t.dat"));
  info = WaveInfo{};
  info.samples = 4;
  info.rmsOffset = info.peakOffset = 140.0;
  info.levelsValid = 1;
  gLines.clear();
  ASSERT_EQ(Rescale(file.get(), info), 1);
  EXPECT_EQ(info.peakOffset, 140.0);
  EXPECT_EQ(info.rmsOffset, 140.0);
  EXPECT_EQ(testing_support::ReadFileBytes(dir.File("t.dat")), before);
  EXPECT_EQ(Messages(), std::vector<std::string>{
                            "   w *** Warning: Signal is all zero; -autoscale has no effect."});
}

TEST_F(Level, RescaleFailuresLeaveOffsetsAndReportTheCause) {
  info.samples = 10;
  info.rmsOffset = 8.0;
  info.peakOffset = 4.0;
  File bad = MakeWaveStream("IQX", std::vector<float>(20, 0.1f));
  const Bytes before = testing_support::ReadFileBytes(dir.File("t.dat"));
  EXPECT_EQ(Rescale(bad.get(), info), 0);
  EXPECT_EQ(Messages().back(), "   ! *** Invalid header in temporary waveform file.");
  EXPECT_EQ(testing_support::ReadFileBytes(dir.File("t.dat")), before);

  File shortFile = MakeWaveStream("IQF", std::vector<float>(15, 0.1f));  // 7.5 samples
  EXPECT_EQ(Rescale(shortFile.get(), info), 0);
  EXPECT_EQ(Messages().back(), "   ! *** Cannot read sample no 7 from temporary waveform file.");

  File empty = MakeWaveStream("", {});
  EXPECT_EQ(Rescale(empty.get(), info), 0);
  EXPECT_EQ(Messages().back(), "   ! *** Failed to read header from temporary waveform file.");
  EXPECT_EQ(Rescale(nullptr, info), 0);
  EXPECT_EQ(Messages().back(), "   ! *** Error initializing I/O buffer.");
  EXPECT_EQ(info.rmsOffset, 8.0);
  EXPECT_EQ(info.peakOffset, 4.0);
}

}  // namespace
