// Waveform files of the older generator family (-format kxzetq) converted by
// the built program: tags, samples and marker lists carried into the output,
// and a file the program wrote read back again.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;
using testing_support::ListText;
using testing_support::WaveFileBuilder;
using Entries = std::vector<std::pair<int, int>>;

constexpr int kPairs = 300;

// Marker lists of the input: marker 1 toggles late, marker 2 is high from
// the start (a single entry, as such a marker is written), marker 3 ends high
// before marker 1's last change, marker 4 never changes.
const std::vector<Entries> kLists = {
    {{0, 1}, {40, 0}, {41, 1}, {250, 0}}, {{0, 1}}, {{0, 0}, {10, 1}, {20, 0}, {100, 1}}, {{0, 0}}};

// State of a marker at every sample: each entry holds from its position on.
std::vector<int> StatesOf(const Entries& entries, int length) {
  std::vector<int> states(static_cast<std::size_t>(length), 0);
  for (const auto& [position, state] : entries)
    for (int q = position; q < length; ++q) states[q] = state;
  return states;
}

// The list the output must carry for those states: an entry at 0 and one at
// every change.
std::string WrittenList(const std::vector<int>& states) {
  Entries entries;
  for (std::size_t q = 0; q < states.size(); ++q)
    if (q == 0 || states[q] != states[q - 1]) entries.emplace_back(static_cast<int>(q), states[q]);
  return ListText(entries);
}

std::vector<std::uint16_t> InputWords() {
  std::vector<std::uint16_t> words;
  const int extremes[] = {32767, -32767, -32768, 0, 1, -1, 16384, -16384};
  for (int value : extremes) words.push_back(static_cast<std::uint16_t>(value));
  while (words.size() < 2 * kPairs)
    words.push_back(static_cast<std::uint16_t>((words.size() * 7919 + 13) % 65536));
  return words;
}

// The output word of a KVG input word: (w - 0.5) / 32767 held as a float, then
// trunc(v * 32767 + 0.5).
std::int16_t KvgWordThrough(std::int16_t word) {
  return ts::ExpectedWord(static_cast<float>((word - 0.5) / 32767.0));
}

bool Parse(const std::string& path, ts::ParsedWaveform* parsed) {
  std::string error;
  const bool ok = ts::ParseWaveform(ts::ReadFileBytes(path), parsed, &error);
  EXPECT_TRUE(ok) << path << ": " << error;
  return ok;
}

std::string Tag(const ts::ParsedWaveform& parsed, const std::string& name) {
  const std::string* content = parsed.Find(name);
  return content ? *content : "<missing " + name + ">";
}

ts::RunResult Convert(const std::string& dir, const std::string& input,
                      const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {input, "-format", "kxzetq", "-v", "3"};
  args.insert(args.end(), extra.begin(), extra.end());
  return ts::RunWavoraBinary(args, dir, "y");
}

std::string KvgInput() {
  WaveFileBuilder file;
  file.Tag("TYPE", " KVG-WV,0")
      .Tag("COMMENT", "from the older generator")
      .Tag("COPYRIGHT", "(c) test bench")
      .Tag("DATE", "2001-02-03;04:05:06")
      .Tag("CLOCK", "25000000")
      .Tag("SAMPLES", std::to_string(kPairs))
      .Tag("LEVEL OFFS", "3.5, 1.25");
  for (std::size_t m = 0; m < kLists.size(); ++m)
    file.Tag("MARKER LIST " + std::to_string(m + 1), ListText(kLists[m]));
  return file.Data(InputWords()).bytes();
}

TEST(KxzetqConversion, CarriesTagsSamplesAndMarkers) {
  ts::TempDir dir;
  ts::WriteFileText(dir.File("old.wv"), KvgInput());
  const ts::RunResult run = Convert(dir.path(), "old.wv");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Format is KVG waveform."), std::string::npos);
  EXPECT_EQ(ts::ListNames(dir.path()), (std::vector<std::string>{"_old.wv", "old.wv"}));

  ts::ParsedWaveform out;
  ASSERT_TRUE(Parse(dir.File("_old.wv"), &out));
  EXPECT_EQ(out.TagNames(), (std::vector<std::string>{
                                "TYPE", "COMMENT", "COPYRIGHT", "DATE", "CLOCK", "CLOCK MARKER",
                                "LEVEL OFFS", "SAMPLES", "CONTROL LENGTH", "MARKER LIST 1",
                                "MARKER LIST 2", "MARKER LIST 3", "MARKER LIST 4"}));
  EXPECT_EQ(Tag(out, "COMMENT"), "from the older generator");
  EXPECT_EQ(Tag(out, "COPYRIGHT"), "(c) test bench");
  EXPECT_NE(Tag(out, "DATE"), "2001-02-03;04:05:06");
  EXPECT_EQ(Tag(out, "CLOCK"), "25000000.000");
  EXPECT_EQ(Tag(out, "CLOCK MARKER"), "25000000.000");
  EXPECT_EQ(Tag(out, "LEVEL OFFS"), "3.500000,1.250000");
  EXPECT_EQ(Tag(out, "SAMPLES"), std::to_string(kPairs));
  EXPECT_EQ(Tag(out, "CONTROL LENGTH"), std::to_string(kPairs));
  for (std::size_t m = 0; m < kLists.size(); ++m)
    EXPECT_EQ(Tag(out, "MARKER LIST " + std::to_string(m + 1)),
              WrittenList(StatesOf(kLists[m], kPairs)))
        << "marker " << m + 1;

  const std::vector<std::uint16_t> words = InputWords();
  ASSERT_EQ(out.words.size(), words.size());
  for (std::size_t k = 0; k < words.size(); ++k)
    EXPECT_EQ(out.words[k], KvgWordThrough(static_cast<std::int16_t>(words[k]))) << "word " << k;
}

TEST(KxzetqConversion, GainScalesZq750Samples) {
  ts::TempDir dir;
  std::vector<std::uint16_t> words;
  for (int k = 0; k < 40; ++k) words.push_back(static_cast<std::uint16_t>(k * 401 - 8000));
  ts::WriteFileText(
      dir.File("g.wv"),
      WaveFileBuilder().Tag("TYPE", "ZQ750-WV").Tag("CLOCK", "1e6").Data(words).bytes());
  const ts::RunResult run = Convert(dir.path(), "g.wv", {"-gain", "6.0206"});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  ts::ParsedWaveform out;
  ASSERT_TRUE(Parse(dir.File("_g.wv"), &out));
  ASSERT_EQ(out.words.size(), words.size());
  for (std::size_t k = 0; k < words.size(); ++k) {
    const auto value = static_cast<float>(static_cast<std::int16_t>(words[k]) / 32767.0);
    EXPECT_EQ(out.words[k], ts::ExpectedWord(2.0f * value)) << k;
  }
  // No marker lists in the input: every list is one low entry.
  for (int m = 1; m <= 4; ++m) EXPECT_EQ(Tag(out, "MARKER LIST " + std::to_string(m)), " 0:0");
}

// -info of an output, as JSON.
std::string InfoJson(const std::string& dir, const std::string& file, int* exitCode) {
  const ts::RunResult run = ts::RunWavoraBinary({"-info", "-json", file}, dir);
  *exitCode = run.exitCode;
  return run.out;
}

double JsonNumber(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? NAN : std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

TEST(KxzetqConversion, GainedOutputsStateTheirLevelsAndInfoCallsThemSound) {
  ts::TempDir dir;
  std::vector<std::uint16_t> words;
  for (int k = 0; k < 400; ++k) {
    words.push_back(static_cast<std::uint16_t>(std::lround(9000.0 * std::cos(k * 0.3))));
    words.push_back(static_cast<std::uint16_t>(std::lround(9000.0 * std::sin(k * 0.3))));
  }
  const std::string input =
      WaveFileBuilder().Tag("TYPE", "ZQ750-WV").Tag("CLOCK", "1e6").Data(words).bytes();
  const std::string stated = WaveFileBuilder()
                                 .Tag("TYPE", "ZQ750-WV")
                                 .Tag("CLOCK", "1e6")
                                 .Tag("LEVEL OFFS", "11.2239,11.2233")  // as measured
                                 .Data(words)
                                 .bytes();
  struct Case {
    std::string name, bytes, gain;
  };
  const Case cases[] = {{"plain", input, "0"},
                        {"stated", stated, "6"},
                        {"weak", stated, "-45"},
                        {"loud", input, "30"},
                        {"statedloud", stated, "30"}};
  for (const Case& c : cases) {
    ts::WriteFileText(dir.File(c.name + ".wv"), c.bytes);
    const ts::RunResult run = Convert(dir.path(), c.name + ".wv", {"-gain", c.gain});
    ASSERT_EQ(run.exitCode, 0) << c.name << run.out;
    int exitCode = -1;
    const std::string json = InfoJson(dir.path(), "_" + c.name + ".wv", &exitCode);
    EXPECT_EQ(exitCode, 0) << c.name << " " << json;
    EXPECT_NE(json.find("\"sound\":true"), std::string::npos) << c.name << " " << json;
    ts::ParsedWaveform out;
    ASSERT_TRUE(Parse(dir.File("_" + c.name + ".wv"), &out));
    const double rms = std::strtod(Tag(out, "LEVEL OFFS").c_str(), nullptr);
    // The tag tells what the generator plays, within the rounding to words
    // (a step of each value, which a weak waveform makes visible in dB).
    const double played = JsonNumber(json, "played_rms_offset_db");
    EXPECT_NEAR(std::pow(10.0, -rms / 20), std::pow(10.0, -played / 20), 1.5 / 32767) << c.name;
    if (c.name != "weak") {
      EXPECT_NEAR(rms, played, 0.01) << c.name;
    }
    if (c.name == "stated") {
      EXPECT_EQ(Tag(out, "LEVEL OFFS"), "5.223900,5.223300");
    }
    if (c.name == "loud" || c.name == "statedloud") {
      EXPECT_NE(run.out.find("clipped at full scale"), std::string::npos) << run.out;
      EXPECT_NEAR(JsonNumber(json, "played_peak_offset_db"), -3.0103, 0.01);  // both values at 1
    }
  }

  // Gains that leave no waveform are refused with the gain named.
  for (const std::pair<std::string, std::string>& refused :
       {std::pair<std::string, std::string>{"1e308", "A gain of 1e+308 dB gives no finite factor."},
        {"-1e308", "A gain of -1e+308 dB turns every sample of the waveform into zero."}}) {
    ts::WriteFileText(dir.File("r.wv"), input);
    const ts::RunResult run = Convert(dir.path(), "r.wv", {"-gain", refused.first});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("*** Error: " + refused.second), std::string::npos) << run.out;
    const std::vector<std::string> names = ts::ListNames(dir.path());
    EXPECT_EQ(std::find(names.begin(), names.end(), "_r.wv"), names.end());
  }
}

TEST(KxzetqConversion, OwnOutputReadsBackToTheSameMarkersAndWords) {
  ts::TempDir dir;
  ts::WriteFileText(dir.File("old.wv"), KvgInput());
  ASSERT_EQ(Convert(dir.path(), "old.wv").exitCode, 0);
  const ts::RunResult again = Convert(dir.path(), "_old.wv");
  ASSERT_EQ(again.exitCode, 0) << again.out;

  ts::ParsedWaveform first;
  ts::ParsedWaveform second;
  ASSERT_TRUE(Parse(dir.File("_old.wv"), &first));
  ASSERT_TRUE(Parse(dir.File("__old.wv"), &second));
  for (const std::string name :
       {"CONTROL LENGTH", "MARKER LIST 1", "MARKER LIST 2", "MARKER LIST 3", "MARKER LIST 4",
        "SAMPLES", "LEVEL OFFS", "COMMENT", "CLOCK"})
    EXPECT_EQ(Tag(second, name), Tag(first, name)) << name;

  // Reading subtracts half a step and writing adds it back, through a float
  // in between: every word comes back exactly.
  ASSERT_EQ(second.words.size(), first.words.size());
  for (std::size_t k = 0; k < first.words.size(); ++k) {
    EXPECT_EQ(KvgWordThrough(first.words[k]), first.words[k]) << "word " << k;
    EXPECT_EQ(second.words[k], first.words[k]) << "word " << k;
  }
}

TEST(KxzetqConversion, InvalidInputFailsAndLeavesNothing) {
  ts::TempDir dir;
  ts::WriteFileText(dir.File("bad.wv"),
                    WaveFileBuilder().Tag("TYPE", "BOGUS").Data({0, 0}).bytes());
  const ts::RunResult run = Convert(dir.path(), "bad.wv");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("   e *** Error: File is not a valid waveform file (BOGUS) !\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("   ! *** Import of waveform data failed.\n"), std::string::npos);
  EXPECT_EQ(ts::ListNames(dir.path()), std::vector<std::string>{"bad.wv"});

  // A marker position no temporary file can hold is refused before anything
  // large is written.
  ts::WriteFileText(dir.File("far.wv"), WaveFileBuilder()
                                            .Tag("TYPE", "KVG-WV")
                                            .Tag("MARKER LIST 1", "0:1;2000000000:0")
                                            .Data({0, 0})
                                            .bytes());
  const ts::RunResult far = Convert(dir.path(), "far.wv");
  EXPECT_EQ(far.exitCode, 1);
  EXPECT_NE(far.out.find("   ! *** Error: Invalid marker position\n"), std::string::npos)
      << far.out;
  EXPECT_EQ(ts::ListNames(dir.path()), (std::vector<std::string>{"bad.wv", "far.wv"}));
}

}  // namespace
