#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "level/LevelOffsets.h"
#include "level/Rescale.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;
using Lines = std::vector<std::string>;

Lines gMessages;  // captured lines without their time stamps
void CaptureLine(const std::string& line) { gMessages.push_back(line.substr(8)); }

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
    gMessages.clear();
    SetLogSink(CaptureLine);
    SetLogMask(15);
    info.samples = 10;
    info.rmsOffset = 8.0;
    info.peakOffset = 4.0;
  }
  void TearDown() override {
    EXPECT_EQ(GetStreamSlot(0).rbuffer, nullptr);
    SetLogSink(nullptr);
  }
  // The temporary waveform stream: the header bytes, then the samples.
  File MakeWaveStream(const std::string& header, const std::vector<float>& iq) {
    File file(platform::OpenFile(dir.File("t.dat"), "w+b"));
    ts::Bytes payload(header.begin(), header.end());
    const ts::Bytes samples = ts::EncodeFloat32(iq, false);
    payload.insert(payload.end(), samples.begin(), samples.end());
    EXPECT_TRUE(file && _InitBuf(0, file.get(), 0, 1, 1));
    _WriteBytes(0, static_cast<std::int32_t>(payload.size()), payload.data());
    EXPECT_EQ(_ReleaseBuf(0), 1);
    return file;
  }
  ts::Bytes FileBytes() { return ts::ReadFileBytes(dir.File("t.dat")); }

  ts::TempDir dir;
  WaveInfo info;
};

TEST(LevelOffsets, ConvertsBetweenLinearAndDecibels) {
  EXPECT_EQ(LevelOffsetFromLinear(0.0), 140.0);
  EXPECT_EQ(LevelOffsetFromLinear(-0.5), 140.0);
  EXPECT_EQ(LevelOffsetFromLinear(std::numeric_limits<double>::quiet_NaN()), 140.0);
  EXPECT_EQ(LevelOffsetFromLinear(1.0), 0.0);
  EXPECT_NEAR(LevelOffsetFromLinear(0.001), 60.0, 1e-9);
  for (double linear : {1e-6, 0.01, 0.5, 0.999, 2.0})
    EXPECT_NEAR(LinearFromLevelOffset(LevelOffsetFromLinear(linear)), linear, linear * 1e-12);
}

TEST_F(Level, PrintsTheStatisticsBlockAtInformationLevel) {
  info.clock = 100e6;
  info.markerClock = 50e6;
  info.samples = 1000;
  info.rmsOffset = info.peakOffset = 20.0 * std::log10(1.0 / 0.5);  // I = 0.5, Q = 0
  PrintSignalStatistics(info);
  EXPECT_EQ(gMessages,
            (Lines{"   i ========== Signal Statistics ==========",
                   "   i ARB clock :100000000.000 Hz", "   i MKR clock :50000000.000 Hz",
                   "   i Samples   :1000", "   i RMS       : 0.50 / RMSOfs: 6.02 dBfs",
                   "   i PEAK      : 0.50 / PKOfs : 6.02 dBfs", "   i Pk/Av     : 0.00 dB",
                   "   i ======================================="}));
  info.rmsOffset = kSilentLevelOffset;
  PrintSignalStatistics(info);
  EXPECT_EQ(gMessages[12], "   i RMS       : 0.00 / RMSOfs:140.00 dBfs");
}

TEST_F(Level, RescaleLiftsThePeakToFullScale) {
  const std::size_t n = 100000;
  const std::vector<float> iq = ts::MakeNoise(2 * n, 0.4, 3);
  File file = MakeWaveStream("IQF", iq);
  info.samples = static_cast<std::int32_t>(n);
  info.rmsOffset = 9.0;
  info.peakOffset = 6.0;
  ASSERT_EQ(Rescale(file.get(), info), 1);
  EXPECT_EQ(info.peakOffset, 0.0);
  EXPECT_EQ(info.rmsOffset, 3.0);
  EXPECT_EQ(gMessages, (Lines{"   i Rescaling waveform data",
                              "   i   Overall PEAK offset is  6.00 dB. Scaling to  0.00 dB",
                              "   i   Overall RMS  offset is  9.00 dB. Scaling to  3.00 dB"}));
  const float factor = static_cast<float>(std::pow(10.0, 0.3));
  std::vector<float> scaled(2 * n + 1);
  ASSERT_EQ(_InitBuf(0, file.get(), 1, 0, 1), 1);
  EXPECT_EQ(_ReadBytes(0, 3, scaled.data()), 3);
  const auto bytes = static_cast<std::int32_t>(8 * n);
  EXPECT_EQ(_ReadBytes(0, bytes + 4, scaled.data()), bytes);  // nothing beyond the samples
  _ReleaseBuf(0);
  std::size_t mismatches = 0;
  for (std::size_t k = 0; k < iq.size(); ++k) mismatches += scaled[k] != factor * iq[k];
  EXPECT_EQ(mismatches, 0u);
}

TEST_F(Level, RescaleOfNoSamplesOrSilenceKeepsTheData) {
  File file = MakeWaveStream("IQF", {});
  info.samples = 0;
  ASSERT_EQ(Rescale(file.get(), info), 1);
  EXPECT_EQ(info.rmsOffset, 4.0);
  EXPECT_EQ(info.peakOffset, 0.0);
  EXPECT_EQ(FileBytes().size(), 4u + 8u);  // header and one block of "IQF"

  file = MakeWaveStream("IQF", std::vector<float>(8, 0.0f));
  const ts::Bytes before = FileBytes();
  info.samples = 4;
  info.rmsOffset = info.peakOffset = kSilentLevelOffset;
  info.levelsValid = 1;
  gMessages.clear();
  ASSERT_EQ(Rescale(file.get(), info), 1);
  EXPECT_EQ(info.peakOffset, kSilentLevelOffset);
  EXPECT_EQ(info.rmsOffset, kSilentLevelOffset);
  EXPECT_EQ(FileBytes(), before);
  EXPECT_EQ(gMessages, Lines{"   w *** Warning: Signal is all zero; -autoscale has no effect."});
}

TEST_F(Level, RescaleFailuresLeaveOffsetsAndReportTheCause) {
  File bad = MakeWaveStream("IQX", std::vector<float>(20, 0.1f));
  const ts::Bytes before = FileBytes();
  EXPECT_EQ(Rescale(bad.get(), info), 0);
  EXPECT_EQ(gMessages.back(), "   ! *** Invalid header in temporary waveform file.");
  EXPECT_EQ(FileBytes(), before);

  File shortFile = MakeWaveStream("IQF", std::vector<float>(15, 0.1f));  // 7.5 samples
  EXPECT_EQ(Rescale(shortFile.get(), info), 0);
  EXPECT_EQ(gMessages.back(), "   ! *** Cannot read sample no 7 from temporary waveform file.");

  File empty = MakeWaveStream("", {});
  EXPECT_EQ(Rescale(empty.get(), info), 0);
  EXPECT_EQ(gMessages.back(), "   ! *** Failed to read header from temporary waveform file.");
  EXPECT_EQ(info.rmsOffset, 8.0);
  EXPECT_EQ(info.peakOffset, 4.0);
}

}  // namespace
