#include "support/BinaryFormats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace testing_support {

namespace {

// Units whose bytes include CR, LF and Ctrl-Z: a stream opened in text mode
// anywhere on the way would change or cut them.
const std::uint16_t kTextModeTraps[] = {0x0A0D, 0x1A0A, 0x0D1A, 0x0A1A};

std::vector<std::int16_t> Int16Units() {
  std::vector<std::int16_t> units = MakeInt16IqTone(kBinaryInputPairs, 0.6, 7.0);
  for (std::size_t k = 0; k < std::size(kTextModeTraps); ++k)
    units[k] = static_cast<std::int16_t>(kTextModeTraps[k]);
  return units;
}

}  // namespace

BinaryInput Int16Input(const std::string& format, bool bigEndian) {
  BinaryInput input;
  input.format = format;
  const std::vector<std::int16_t> units = Int16Units();
  input.files.push_back({"tone.bin", EncodeInt16(units, bigEndian)});
  for (std::int16_t s : units) input.values.push_back((s - 0.5) / 32767.0);
  return input;
}

BinaryInput Float32Input(const std::string& format, bool bigEndian) {
  BinaryInput input;
  input.format = format;
  std::vector<float> units = MakeIqTone(kBinaryInputPairs, 0.6, 5.0);
  // Small values whose bit patterns hold CR, LF and Ctrl-Z bytes.
  const std::uint32_t patterns[] = {0x3F0A1A0D, 0xBE0D0A1A, 0x3E1A0A0D, 0xBF0A0D1A};
  for (std::size_t k = 0; k < std::size(patterns); ++k) std::memcpy(&units[k], &patterns[k], 4);
  input.files.push_back({"float.dat", EncodeFloat32(units, bigEndian)});
  for (float value : units) input.values.push_back(value);
  return input;
}

// The top two bits of a word are not part of the value.
BinaryInput Int14Input(const std::string& format, bool bigEndian) {
  BinaryInput input;
  input.format = format;
  const std::vector<float> i = MakeTone(kBinaryInputPairs, 0.6, 3.0, true);
  const std::vector<float> q = MakeTone(kBinaryInputPairs, 0.6, 3.0, false);
  std::vector<std::int16_t> iWords, qWords;
  for (int k = 0; k < kBinaryInputPairs; ++k) {
    const auto toWord = [k](double value) {
      const auto v = static_cast<std::uint16_t>(std::lround((value / 2.0 + 0.5) * 16383.0));
      return static_cast<std::int16_t>(v | ((k % 3) << 14));
    };
    iWords.push_back(toWord(i[k]));
    qWords.push_back(toWord(q[k]));
  }
  iWords[0] = static_cast<std::int16_t>(kTextModeTraps[0]);
  qWords[0] = static_cast<std::int16_t>(kTextModeTraps[1]);
  iWords[1] = static_cast<std::int16_t>(kTextModeTraps[2]);
  qWords[1] = static_cast<std::int16_t>(kTextModeTraps[3]);
  input.files.push_back({"sig_I.bin", EncodeInt16(iWords, bigEndian)});
  input.files.push_back({"sig_Q.bin", EncodeInt16(qWords, bigEndian)});
  for (int k = 0; k < kBinaryInputPairs; ++k) {
    for (std::int16_t word : {iWords[k], qWords[k]}) {
      const unsigned v = static_cast<std::uint16_t>(word) & 0x3FFFu;
      input.values.push_back(2.0 * ((v - 0.5) / 16383.0 - 0.5));
    }
  }
  return input;
}

std::vector<BinaryInput> EveryBinaryInput() {
  return {Float32Input("f32be", true), Float32Input("f32le", false), Int16Input("i16be", true),
          Int16Input("i16le", false),  Int14Input("i14be2", true),   Int14Input("i14le2", false)};
}

std::vector<std::int16_t> WordsFor(const std::vector<double>& values) {
  std::vector<std::int16_t> words;
  for (double value : values) words.push_back(ExpectedWord(static_cast<float>(value)));
  return words;
}

void ExpectWaveform(const std::string& path, const std::vector<double>& values) {
  SCOPED_TRACE(path);
  ASSERT_TRUE(FileExistsForTest(path));
  ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ParseWaveform(ReadFileBytes(path), &parsed, &error)) << error;
  ASSERT_NE(parsed.Find("SAMPLES"), nullptr);
  EXPECT_EQ(*parsed.Find("SAMPLES"), std::to_string(values.size() / 2));
  EXPECT_EQ(parsed.words, WordsFor(values));
  EXPECT_EQ(parsed.trailingBytes, 0u);
}

void WriteInputs(const std::string& dir, const BinaryInput& input, char separator) {
  for (const auto& [name, bytes] : input.files) WriteFileBytes(dir + separator + name, bytes);
}

void ExpectEveryBinaryFormatConverts(const ProgramRunner& run, char separator) {
  for (const BinaryInput& input : EveryBinaryInput()) {
    SCOPED_TRACE(input.format);
    TempDir work;
    WriteInputs(work.path(), input, separator);
    const std::string inputName = input.files.front().first;
    const std::string stem = inputName.substr(0, inputName.find('.'));
    const std::string output = work.path() + separator + "_" + stem + ".wv";
    const RunResult result =
        run({inputName, "-format", input.format, "-clock", "100", "-v", "3"}, work.path(), "y\n");
    ASSERT_EQ(result.exitCode, 0) << result.out;
    EXPECT_TRUE(Contains(result.out, SettingsRow("Input directory", work.path()))) << result.out;
    // The output is named in the log with the working directory.
    EXPECT_TRUE(Contains(result.out, "Creating wave file " + output + "...")) << result.out;
    ExpectWaveform(output, input.values);

    std::vector<std::string> expectedNames = {"_" + stem + ".wv"};
    for (const auto& file : input.files) expectedNames.push_back(file.first);
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(ListNames(work.path()), expectedNames) << "temporary files left behind";
  }
}

}  // namespace testing_support
