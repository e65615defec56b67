// Test helpers for the waveform reader: a fixture that runs ReadWaveformFile
// on the bytes of a file made with testing_support::WaveFileBuilder
// (support/WaveFileBuilder.h) and reads both temporary files back through a
// slot.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "common/Progress.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/WaveformReader.h"

namespace reader_test {

inline std::vector<std::string> gReaderLines;
inline void CaptureReaderLine(const std::string& line) { gReaderLines.push_back(line); }

inline std::vector<int> gProgress;
inline void CaptureProgress(int percent) { gProgress.push_back(percent); }

struct FileCloser {
  void operator()(std::FILE* file) const { platform::CloseFile(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// What one read left behind.
struct ReadOutcome {
  int result = 0;
  WaveFileInfo info;
  std::string header;         // first 3 payload bytes of the temporary waveform file
  std::vector<float> values;  // I, Q, I, Q, ... after the header
  std::vector<unsigned char> markers;
};

// Slot that the fixture reads the temporary files back through; the reader
// itself uses 0, 1 and 3.
inline constexpr int kCheckSlot = 6;

inline std::vector<unsigned char> ReadWholeStream(std::FILE* file) {
  std::vector<unsigned char> bytes;
  if (!_InitBuf(kCheckSlot, file, 1, 0, 1)) {
    ADD_FAILURE() << "cannot read back a temporary file";
    return bytes;
  }
  unsigned char block[4096];
  std::int32_t got = 0;
  while ((got = _ReadBytes(kCheckSlot, sizeof(block), block)) > 0)
    bytes.insert(bytes.end(), block, block + got);
  EXPECT_EQ(got, 0);
  _ReleaseBuf(kCheckSlot);
  return bytes;
}

class ReaderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
    gReaderLines.clear();
    gProgress.clear();
    SetLogSink(CaptureReaderLine);
    SetLogMask(kLogInfo | kLogWarning | kLogError | kLogAlwaysShown);
  }
  void TearDown() override {
    SetProgressCallback(nullptr);
    SetLogSink(nullptr);
  }

  std::string InputPath() const { return dir_.File("input.wv"); }

  // Writes the bytes as the input file and reads it with the gain.
  ReadOutcome Read(const std::string& fileBytes, double gain = 0.0) {
    testing_support::WriteFileText(InputPath(), fileBytes);
    return ReadPath(InputPath(), gain);
  }

  ReadOutcome ReadPath(const std::string& path, double gain) {
    ReadOutcome outcome;
    File wave(platform::OpenFile(dir_.File("_temp_.dat"), "w+b"));
    File marker(platform::OpenFile(dir_.File("_mkr_.dat"), "w+b"));
    EXPECT_TRUE(wave && marker);
    outcome.info.path = path;
    outcome.info.gain = gain;
    outcome.info.defaultClock = defaultClock_;
    outcome.info.waveFile = wave.get();
    outcome.info.markerFile = marker.get();
    outcome.result = ReadWaveformFile(&outcome.info);
    for (int slot : {0, 1, 3}) {
      const StreamSlot& state = GetStreamSlot(slot);
      EXPECT_TRUE(state.rbuffer == nullptr && state.wbuffer == nullptr)
          << "slot " << slot << " still open";
    }
    const std::vector<unsigned char> payload = ReadWholeStream(wave.get());
    outcome.header.assign(payload.begin(),
                          payload.begin() + std::min<std::size_t>(3, payload.size()));
    for (std::size_t at = 3; at + 4 <= payload.size(); at += 4) {
      float value = 0;
      std::memcpy(&value, payload.data() + at, 4);
      outcome.values.push_back(value);
    }
    outcome.markers = ReadWholeStream(marker.get());
    return outcome;
  }

  // The line of a LogMessage call at the level (1, 2, 4 or 8) with the text.
  static bool Logged(unsigned level, const std::string& text) {
    const char* tag = level == 1 ? " i " : level == 2 ? " w " : level == 4 ? " e " : " ! ";
    return HasLineBody(std::string("  ") + tag + text);
  }
  // The line of a LogAlways call with the text.
  static bool LoggedAlways(const std::string& text) { return HasLineBody("   " + text); }
  static bool HasLineBody(const std::string& body) {
    return std::any_of(gReaderLines.begin(), gReaderLines.end(), [&](const std::string& line) {
      return line.size() > 8 && line.substr(8) == body;
    });
  }
  static void ClearLog() { gReaderLines.clear(); }
  static std::string AllLines() {
    std::string all;
    for (const std::string& line : gReaderLines) all += line + "\n";
    return all;
  }

  testing_support::TempDir dir_;
  // The clock a file without a CLOCK tag takes, as -clock gives it; 0: none.
  double defaultClock_ = kFixtureClock;
  static constexpr double kFixtureClock = 1e6;
};

}  // namespace reader_test
