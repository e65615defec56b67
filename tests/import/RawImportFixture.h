// Fixture for the raw import tests: a started stream layer, captured log
// lines and progress values, a temporary waveform file in a fresh directory,
// and an independent model of what the importer stores for given pairs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "common/Progress.h"
#include "common/WaveInfo.h"
#include "import/ImportRawIQ.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace raw_import_test {

// Slot the tests read the temporary file back through; the importers never use it.
inline constexpr int kReadBackSlot = 7;
// "HH:MM:SS" and three blanks in front of every LogAlways text.
inline constexpr std::size_t kTimeStampWidth = 11;

inline std::vector<std::string>& CapturedLines() {
  static std::vector<std::string> lines;
  return lines;
}
inline std::vector<int>& CapturedProgress() {
  static std::vector<int> values;
  return values;
}
inline void CaptureLine(const std::string& line) {
  CapturedLines().push_back(line.size() >= kTimeStampWidth ? line.substr(kTimeStampWidth) : line);
}
inline void CaptureProgress(int percent) { CapturedProgress().push_back(percent); }

// What the importer stores and measures for a list of pairs, computed from
// the level definitions: float squared magnitude and magnitude, double sum,
// and division by the float peak when the peak exceeds 1.0.
struct ExpectedImport {
  std::vector<float> stored;  // I, Q, I, Q, ... after scaling
  double peak = 0.0;          // before scaling
  double rms = 0.0;           // of the stored data
  bool scaled = false;
};

inline ExpectedImport ModelImport(const std::vector<float>& iq) {
  ExpectedImport result;
  result.stored = iq;
  double sum = 0.0;
  const std::size_t pairs = iq.size() / 2;
  for (std::size_t k = 0; k < pairs; ++k) {
    const float m2 = iq[2 * k] * iq[2 * k] + iq[2 * k + 1] * iq[2 * k + 1];
    const float m = std::sqrt(m2);
    result.peak = std::max(result.peak, static_cast<double>(m));
    sum += m2;
  }
  if (result.peak > 1.0) {
    result.scaled = true;
    const float divisor = static_cast<float>(result.peak);
    sum = 0.0;
    for (std::size_t k = 0; k < pairs; ++k) {
      const float i = result.stored[2 * k] /= divisor;
      const float q = result.stored[2 * k + 1] /= divisor;
      sum += static_cast<double>(i) * i + static_cast<double>(q) * q;
    }
  }
  result.rms = pairs > 0 ? std::sqrt(sum / static_cast<double>(pairs)) : 0.0;
  return result;
}

// 20 * log10(1 / level), with the 140 dB floor for silence.
inline double ExpectedOffset(double level) {
  return level > 0.0 ? 20.0 * std::log10(1.0 / level) : 140.0;
}

class RawImportTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }

  void TearDown() override {
    SetLogSink(nullptr);
    SetProgressCallback(nullptr);
    CloseTemp();
  }

  // A fresh start inside one test: stream layer restarted, captures cleared,
  // an empty temporary file, a new WaveInfo.
  void Fresh() {
    CloseTemp();
    std::string reason;
    ASSERT_EQ(InitStreamLayer(kStreamInterfaceVersion, &reason), 1) << reason;
    CapturedLines().clear();
    CapturedProgress().clear();
    SetLogSink(&CaptureLine);
    SetProgressCallback(&CaptureProgress);
    temp_ = platform::OpenFile(dir_.File("_temp_.dat"), "w+b");
    ASSERT_NE(temp_, nullptr);
    info_ = WaveInfo{};
    info_.clock = 100e6;
  }

  void CloseTemp() {
    if (temp_ != nullptr) platform::CloseFile(temp_);
    temp_ = nullptr;
  }

  std::string WriteInput(const std::string& name, const testing_support::Bytes& bytes) {
    const std::string path = dir_.File(name);
    testing_support::WriteFileBytes(path, bytes);
    return path;
  }

  int Import(InputFormat format, const std::string& input, const std::string& second = "") {
    return ImportRawIQ(input, second, info_, format, temp_);
  }

  // The payload of the temporary file as floats, read back through a slot;
  // checks the header and that the payload holds whole pairs.
  std::vector<float> StoredFloats() {
    std::vector<float> values;
    EXPECT_EQ(_InitBuf(kReadBackSlot, temp_, 1, 0, 1), 1);
    char header[3] = {};
    EXPECT_EQ(_ReadBytes(kReadBackSlot, 3, header), 3);
    EXPECT_EQ(std::string(header, 3), "IQF");
    unsigned char bytes[4];
    std::int32_t got = 0;
    while ((got = _ReadBytes(kReadBackSlot, 4, bytes)) == 4) {
      float value;
      std::memcpy(&value, bytes, 4);
      values.push_back(value);
    }
    EXPECT_EQ(got, 0) << "payload does not end on a whole float";
    EXPECT_EQ(values.size() % 2, 0u) << "payload does not end on a whole pair";
    EXPECT_EQ(_ReleaseBuf(kReadBackSlot), 1);
    return values;
  }

  static bool Logged(const std::string& text) {
    const auto& lines = CapturedLines();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  static bool LoggedContaining(const std::string& text) {
    for (const std::string& line : CapturedLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  static std::string AllLines() {
    std::string all;
    for (const std::string& line : CapturedLines()) all += line + "\n";
    return all;
  }

  static void ExpectSlotsFree() {
    for (int index = 0; index < 3; ++index) {
      const StreamSlot& slot = GetStreamSlot(index);
      EXPECT_FALSE(slot.rbuffer || slot.wbuffer) << "slot " << index << " still busy";
    }
  }

  // Bit-for-bit equality; reports the first value that differs.
  static void ExpectSameFloats(const std::vector<float>& actual,
                               const std::vector<float>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    const auto differs = [](float a, float e) { return std::memcmp(&a, &e, sizeof(float)) != 0; };
    const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(),
                                      [&](float x, float y) { return !differs(x, y); });
    if (a != actual.end()) {
      ADD_FAILURE() << "value " << (a - actual.begin()) << ": " << *a << " expected " << *e;
    }
  }

  testing_support::TempDir dir_;
  std::FILE* temp_ = nullptr;
  WaveInfo info_;
};

}  // namespace raw_import_test
