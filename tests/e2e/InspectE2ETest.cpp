// -info, -export and -preview of the built program: reports and exit codes of
// sound, cut-off and inconsistent files, the JSON form read back, the export
// round trips through a conversion, and the preview page as well-formed XML
// with its plots.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#endif

#include "common/ByteOrder.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;
using Json = nlohmann::json;

constexpr int kPairs = 3000;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Signed words of a tone whose vector peak stays below full scale, with the
// extreme words the format allows inside that circle.
std::vector<std::int16_t> ToneWords() {
  std::vector<std::int16_t> words;
  for (int k = 0; k < kPairs; ++k) {
    const double phase = 2.0 * 3.14159265358979 * k / 37.0;
    words.push_back(static_cast<std::int16_t>(std::lround(23000.0 * std::cos(phase))));
    words.push_back(static_cast<std::int16_t>(std::lround(23000.0 * std::sin(phase))));
  }
  words[0] = 32767;
  words[1] = 0;
  words[2] = -32766;  // (-32767 - 0.5) / 32767 would lie beyond full scale
  words[3] = 0;
  words[5] = -1;
  return words;
}

ts::RunResult RunTool(const std::vector<std::string>& args, const std::string& dir) {
  return ts::RunWavoraBinary(args, dir);
}

// Converts a raw file in dir into "_<stem>.wv" there; returns its path.
std::string Convert(const ts::TempDir& dir, const std::string& input, const std::string& format,
                    const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {input, "-format", format, "-clock", "100", "-overwrite"};
  args.insert(args.end(), extra.begin(), extra.end());
  const ts::RunResult run = ts::RunWavoraBinary(args, dir.path(), "y\n\n");
  EXPECT_EQ(run.exitCode, 0) << run.out;
  return dir.File("_" + input.substr(0, input.find('.')) + ".wv");
}

std::string ConvertedTone(const ts::TempDir& dir) {
  ts::WriteFileBytes(dir.File("tone.bin"), ts::EncodeInt16(ToneWords(), false));
  return Convert(dir, "tone.bin", "i16le",
                 {"-comment", "tone <&> \"test\"", "-copyright", "(c) Wavora tests"});
}

// A small check of well-formed XML: every element closed in order, quoted
// attributes, escaped text. Collects the id of every element.
bool WellFormedXml(const std::string& xml, std::vector<std::string>* ids, std::string* error) {
  std::vector<std::string> open;
  std::size_t k = 0;
  if (xml.rfind("<?xml", 0) == 0) k = xml.find("?>") + 2;
  while (k < xml.size()) {
    const std::size_t lt = xml.find('<', k);
    const std::string text = xml.substr(k, lt == std::string::npos ? std::string::npos : lt - k);
    for (std::size_t a = text.find('&'); a != std::string::npos; a = text.find('&', a + 1))
      if (text.find(';', a) == std::string::npos) return *error = "bare &", false;
    if (text.find('>') != std::string::npos) return *error = "bare >", false;
    if (lt == std::string::npos) break;
    const std::size_t gt = xml.find('>', lt);
    if (gt == std::string::npos) return *error = "unclosed tag", false;
    std::string tag = xml.substr(lt + 1, gt - lt - 1);
    k = gt + 1;
    if (tag[0] == '/') {
      if (open.empty() || open.back() != tag.substr(1)) return *error = "mismatched " + tag, false;
      open.pop_back();
      continue;
    }
    const bool selfClosing = tag.back() == '/';
    if (selfClosing) tag.pop_back();
    const std::string name = tag.substr(0, tag.find_first_of(" \n"));
    if (std::count(tag.begin(), tag.end(), '"') % 2 != 0)
      return *error = "quotes in " + name, false;
    const std::size_t id = tag.find(" id=\"");
    if (id != std::string::npos) ids->push_back(tag.substr(id + 5, tag.find('"', id + 5) - id - 5));
    if (!selfClosing) open.push_back(name);
    if (open.empty() && !selfClosing) return *error = "no root", false;
  }
  if (!open.empty()) return *error = "unclosed " + open.back(), false;
  return true;
}

TEST(InspectE2E, InfoOfAConvertedFileReportsItSound) {
  ts::TempDir dir;
  const std::string wv = ConvertedTone(dir);
  const ts::RunResult run = RunTool({"-info", wv}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(run.out.find("Wavora.exe"), std::string::npos) << "no banner in -info";
  for (const char* part :
       {"KVG-WV,0 (KVG waveform)", "100000000.000 Hz", "SAMPLES        : 3000",
        "COMMENT        : tone <&> \"test\"", "COPYRIGHT      : (c) Wavora tests",
        "Pairs          : 3000", "Played         : RMS offset ", "Played DC      : I ",
        "Result         : sound"})
    EXPECT_TRUE(Contains(run.out, part)) << part << "\n" << run.out;
}

TEST(InspectE2E, InfoMeasuresTheWordsOfAnOlderFamilyFile) {
  ts::TempDir dir;
  // ZETQ 16-bit words are offset binary: 0xFFFF is +32767, 0x0001 is -32767,
  // 0x8000 is 0. I = +-32767 half of the time, Q = 0: RMS = peak = 1.
  const std::vector<std::uint16_t> words = {0xFFFF, 0x8000, 0x0001, 0x8000,
                                            0xFFFF, 0x8000, 0x0001, 0x8000};
  ts::WriteFileText(dir.File("z.wv"), ts::WaveFileBuilder()
                                          .Tag("TYPE", "WV-ADD,12")
                                          .Tag("LEVEL OFFS", "0.0;0.0")
                                          .Tag("SAMPLES", "4")
                                          .Data(words)
                                          .bytes());
  const ts::RunResult run = RunTool({"-info", "-json", "z.wv"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  const Json report = Json::parse(run.out);
  EXPECT_EQ(report.at("tags").value("type", ""), "ZETQ waveform");
  const Json& measured = report.at("measured");
  EXPECT_EQ(measured.value("pairs", 0), 4);
  EXPECT_EQ(measured.value("full_scale_words", 0), 4);
  EXPECT_NEAR(measured.value("rms_offset_db", 9.0), 0.0, 1e-6);
  EXPECT_NEAR(measured.value("mean_i", 9.0), 0.0, 1e-9);
  EXPECT_NEAR(measured.value("mean_q", 9.0), 0.0, 1e-9);
  EXPECT_TRUE(run.err.empty()) << run.err;

  // KVG words as converted lie half a step below those played: words of 100
  // and 0 have a DC of 99.5 steps as converted, 100 as played, and silence
  // as converted still shows that half step.
  ts::WriteFileText(
      dir.File("k.wv"),
      ts::WaveFileBuilder().Tag("TYPE", "KVG-WV").Data({100, 0, 100, 0, 0, 0, 0, 0}).bytes());
  const Json kvg = Json::parse(RunTool({"-info", "-json", "k.wv"}, dir.path()).out).at("measured");
  EXPECT_NEAR(kvg.value("mean_i", 9.0), 49.5 / 32767, 1e-9);
  EXPECT_NEAR(kvg.value("played_mean_i", 9.0), 50.0 / 32767, 1e-9);
  EXPECT_NEAR(kvg.value("played_mean_q", 9.0), 0.0, 1e-12);
  EXPECT_NEAR(kvg.value("played_rms_offset_db", 0.0), 20 * std::log10(32767 / std::sqrt(5000.0)),
              1e-6);
  EXPECT_NEAR(kvg.value("played_peak_offset_db", 0.0), 20 * std::log10(32767 / 100.0), 1e-6);
}

// The TYPE line names the word width of ZETQ files; a file that cannot be
// read fails the run, in the text report and in the JSON one.
TEST(InspectE2E, ZetqWordWidthIsNamedAndUnreadableFilesFail) {
  ts::TempDir dir;
  const std::vector<std::uint16_t> words = {0x8000, 0x8000, 0x9000, 0x7000};
  ts::WriteFileText(
      dir.File("z14.wv"),
      ts::WaveFileBuilder().Tag("TYPE", " WV,0").Tag("RESOLUTION", "14").Data(words).bytes());
  ts::WriteFileText(dir.File("z16.wv"),
                    ts::WaveFileBuilder().Tag("TYPE", " WV,0").Data(words).bytes());
  const ts::RunResult run = RunTool({"-info", "z14.wv", "z16.wv"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Contains(run.out, "  TYPE           : WV,0 (ZETQ waveform, 14-bit)\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  TYPE           : WV,0 (ZETQ waveform, 16-bit)\n")) << run.out;

  const ts::RunResult text = RunTool({"-info", "missing.wv", "z16.wv"}, dir.path());
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_TRUE(Contains(text.out, "missing.wv\n  Result         : NOT sound (cannot be read)\n"))
      << text.out;
  const ts::RunResult json = RunTool({"-info", "-json", "missing.wv", "z16.wv"}, dir.path());
  EXPECT_EQ(json.exitCode, 1);
  std::istringstream lines(json.out);
  std::string first, second;
  ASSERT_TRUE(std::getline(lines, first) && std::getline(lines, second)) << json.out;
  const Json missing = Json::parse(first);
  EXPECT_EQ(missing.value("path", ""), "missing.wv");
  EXPECT_FALSE(missing.value("sound", true));
  EXPECT_EQ(missing.at("problems"), Json::array({"the file cannot be read"}));
  EXPECT_TRUE(Json::parse(second).value("sound", false)) << second;
}

TEST(InspectE2E, JsonReportParsesBackWithMeasuredFigures) {
  ts::TempDir dir;
  const std::string wv = ConvertedTone(dir);
  ts::Bytes bytes = ts::ReadFileBytes(wv);
  bytes.pop_back();  // no closing brace
  ts::WriteFileBytes(dir.File("cut.wv"), bytes);
  const ts::RunResult run = RunTool({"-info", "-json", wv, dir.File("cut.wv")}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  std::istringstream lines(run.out);
  std::string line;
  std::vector<Json> reports;
  while (std::getline(lines, line)) reports.push_back(Json::parse(line));
  ASSERT_EQ(reports.size(), 2u) << run.out;
  const Json& good = reports[0];
  EXPECT_TRUE(good["sound"].get<bool>());
  EXPECT_EQ(good["tags"]["SAMPLES"], 3000);
  EXPECT_EQ(good["tags"]["COMMENT"], "tone <&> \"test\"");
  EXPECT_EQ(good["measured"]["pairs"], 3000);
  // The tag's levels and the words' levels agree within 0.01 dB.
  EXPECT_NEAR(good["measured"]["rms_offset_db"].get<double>(),
              good["tags"]["LEVEL OFFS"][0].get<double>(), 0.01);
  EXPECT_NEAR(good["measured"]["peak_offset_db"].get<double>(), 0.0, 0.001);
  EXPECT_NEAR(good["measured"]["mean_i"].get<double>(), 0.0, 0.01);
  const Json& cut = reports[1];
  EXPECT_FALSE(cut["sound"].get<bool>());
  EXPECT_TRUE(Contains(cut["problems"].dump(), "closing brace")) << cut.dump();
}

TEST(InspectE2E, InfoFlagsEachInconsistency) {
  ts::TempDir dir;
  const ts::Bytes goodBytes = ts::ReadFileBytes(ConvertedTone(dir));
  const std::string good(goodBytes.begin(), goodBytes.end());
  auto replace = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::size_t levels = good.find("{LEVEL OFFS:");
  const std::string levelTag = good.substr(levels, good.find('}', levels) - levels + 1);
  struct Case {
    std::string name, bytes, flag;
  };
  const std::vector<Case> cases = {
      {"truncated", good.substr(0, good.size() - 101), "cut off"},
      {"samples", replace("{SAMPLES:3000}", "{SAMPLES:3001}"), "SAMPLES says 3001"},
      {"levels", replace(levelTag, "{LEVEL OFFS:9.5,1.0}"), "differs from the measured"},
      {"trailing", good + "\r\n", "2 trailing bytes"},
      {"length", replace("WAVEFORM-12001", "WAVEFORM-11997"), "WAVEFORM length does not match"},
      {"brace", good.substr(0, good.size() - 1) + "xy",
       "closing brace of WAVEFORM-12001 is missing"},
      {"notype", replace("{TYPE: KVG-WV,0}", ""), "no TYPE tag"},
      {"nodata", good.substr(0, good.find("{WAVEFORM")), "no WAVEFORM tag"},
  };
  for (const Case& c : cases) {
    ts::WriteFileText(dir.File(c.name + ".wv"), c.bytes);
    const ts::RunResult run = RunTool({"-info", c.name + ".wv"}, dir.path());
    EXPECT_EQ(run.exitCode, 1) << c.name;
    EXPECT_TRUE(Contains(run.out, c.flag)) << c.name << "\n" << run.out;
    EXPECT_TRUE(Contains(run.out, "NOT sound")) << c.name;
  }
  const ts::RunResult missing = RunTool({"-info", "none.wv"}, dir.path());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Contains(missing.out, "*** Cannot open waveform file 'none.wv'."));
  EXPECT_EQ(RunTool({"-info"}, dir.path()).exitCode, 1);
  EXPECT_EQ(ts::ListNames(dir.path()).size(), 2 + cases.size()) << "no file written";
}

std::vector<float> Floats(const ts::Bytes& bytes) {
  std::vector<float> values(bytes.size() / 4);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = LoadFloatLE(&bytes[4 * k]);
  return values;
}

TEST(InspectE2E, Cs16RoundTripIsBitExact) {
  ts::TempDir dir;
  const ts::Bytes input = ts::EncodeInt16(ToneWords(), false);
  ConvertedTone(dir);
  ASSERT_EQ(RunTool({"_tone.wv", "-export", "cs16"}, dir.path()).exitCode, 0);
  const ts::Bytes output = ts::ReadFileBytes(dir.File("_tone.cs16"));
  ASSERT_EQ(output.size(), input.size());
  int differing = 0;
  for (std::size_t k = 0; k < input.size(); k += 2)
    differing += LoadLE16(&input[k]) != LoadLE16(&output[k]) ? 1 : 0;
  EXPECT_EQ(differing, 0) << "cs16 -> wv -> cs16 changed that many of " << input.size() / 2
                          << " words";
}

TEST(InspectE2E, Cf32RoundTripStaysWithinOneStep) {
  ts::TempDir dir;
  ConvertedTone(dir);
  ASSERT_EQ(RunTool({"_tone.wv", "-export", "cf32", "-out", "a.cf32"}, dir.path()).exitCode, 0);
  const std::vector<float> first = Floats(ts::ReadFileBytes(dir.File("a.cf32")));
  ASSERT_EQ(first.size(), 2u * kPairs);
  Convert(dir, "a.cf32", "f32le");
  ASSERT_EQ(RunTool({"_a.wv", "-export", "cf32", "-out", "b.cf32"}, dir.path()).exitCode, 0);
  const std::vector<float> second = Floats(ts::ReadFileBytes(dir.File("b.cf32")));
  ASSERT_EQ(second.size(), first.size());
  for (std::size_t k = 0; k < first.size(); ++k)
    ASSERT_LE(std::fabs(first[k] - second[k]), 1.0 / 32767 + 1e-6) << "value " << k;
}

TEST(InspectE2E, WavAndSigmfCarryRateTextsAndMarkers) {
  ts::TempDir dir;
  // A KVG file with marker lists, converted: its output carries the lists.
  std::vector<std::uint16_t> words;
  for (int k = 0; k < 200; ++k) {
    words.push_back(static_cast<std::uint16_t>(k * 100));
    words.push_back(static_cast<std::uint16_t>(-k * 50));
  }
  const std::string file = ts::WaveFileBuilder()
                               .Tag("TYPE", " KVG-WV")
                               .Tag("CLOCK", "2000000")
                               .Tag("COMMENT", "marked")
                               .Tag("COPYRIGHT", "me")
                               .Tag("SAMPLES", "200")
                               .Tag("MARKER LIST 1", " 0:0;10:1;20:0;150:1")
                               .Tag("MARKER LIST 3", " 0:1;5:0")
                               .Data(words)
                               .bytes();
  ts::WriteFileText(dir.File("mk.wv"), file);
  Convert(dir, "mk.wv", "kxzetq");
  EXPECT_EQ(RunTool({"-info", "_mk.wv"}, dir.path()).exitCode, 0);

  ASSERT_EQ(RunTool({"_mk.wv", "-export", "wav"}, dir.path()).exitCode, 0);
  const ts::Bytes wav = ts::ReadFileBytes(dir.File("_mk.wav"));
  ASSERT_EQ(wav.size(), 44u + 800u);
  EXPECT_EQ(std::memcmp(wav.data(), "RIFF", 4), 0);
  EXPECT_EQ(LoadLE16(&wav[22]), 2);         // channels
  EXPECT_EQ(LoadLE32(&wav[24]), 2000000u);  // rate = CLOCK
  EXPECT_EQ(LoadLE16(&wav[34]), 16);
  EXPECT_EQ(LoadLE32(&wav[40]), 800u);

  const ts::RunResult run =
      RunTool({"_mk.wv", "-export", "sigmf", "-out", "rec.sigmf"}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ts::ReadFileBytes(dir.File("rec.sigmf-data")).size(), 800u);
  const ts::Bytes metaBytes = ts::ReadFileBytes(dir.File("rec.sigmf-meta"));
  const Json meta = Json::parse(std::string(metaBytes.begin(), metaBytes.end()));
  const Json& global = meta.at("global");
  EXPECT_EQ(global.value("core:datatype", ""), "ci16_le");
  EXPECT_EQ(global.value("core:sample_rate", 0.0), 2000000.0);
  EXPECT_EQ(global.value("core:description", ""), "marked");
  EXPECT_EQ(global.value("wavora:copyright", ""), "me");
  EXPECT_TRUE(global.contains("core:version"));
  const Json expected = Json::parse(R"([
      {"core:sample_start": 0, "core:sample_count": 5, "core:label": "marker 3"},
      {"core:sample_start": 10, "core:sample_count": 10, "core:label": "marker 1"},
      {"core:sample_start": 150, "core:sample_count": 50, "core:label": "marker 1"}])");
  EXPECT_EQ(meta.value("annotations", Json()), expected);
}

TEST(InspectE2E, SigmfRoundTripKeepsRateDescriptionAndSamples) {
  ts::TempDir dir;
  ConvertedTone(dir);
  ASSERT_EQ(RunTool({"_tone.wv", "-export", "sigmf", "-out", "rec"}, dir.path()).exitCode, 0);
  const ts::RunResult back = ts::RunWavoraBinary(
      {"rec.sigmf-meta", "-format", "sigmf", "-clock", "100", "-overwrite"}, dir.path(), "y\n\n");
  if (Contains(back.out, "Unknown input format")) GTEST_SKIP() << "this build reads no SigMF input";
  ASSERT_EQ(back.exitCode, 0) << back.out;
  ASSERT_EQ(RunTool({"-info", "_rec.wv"}, dir.path()).exitCode, 0);
  ASSERT_EQ(RunTool({"_rec.wv", "-export", "sigmf", "-out", "again"}, dir.path()).exitCode, 0);
  EXPECT_EQ(ts::ReadFileBytes(dir.File("again.sigmf-data")),
            ts::ReadFileBytes(dir.File("rec.sigmf-data")));
  const ts::Bytes a = ts::ReadFileBytes(dir.File("again.sigmf-meta"));
  const Json meta = Json::parse(std::string(a.begin(), a.end()));
  EXPECT_EQ(meta.at("global").value("core:sample_rate", 0.0), 100000000.0);
  EXPECT_EQ(meta.at("global").value("core:description", ""), "tone <&> \"test\"");
}

TEST(InspectE2E, ExistingOutputsAreKeptWithoutOverwrite) {
  ts::TempDir dir;
  ConvertedTone(dir);
  ts::WriteFileText(dir.File("_tone.cs16"), "keep");
  ts::WriteFileText(dir.File("p.svg"), "keep");
  const std::vector<std::vector<std::string>> commands = {{"_tone.wv", "-export", "cs16"},
                                                          {"_tone.wv", "-preview", "p.svg"}};
  for (const auto& args : commands) {
    const ts::RunResult run = RunTool(args, dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Contains(run.out, "*** Destination file already exists.")) << run.out;
  }
  EXPECT_EQ(ts::ReadFileBytes(dir.File("_tone.cs16")), ts::Bytes({'k', 'e', 'e', 'p'}));
  EXPECT_EQ(RunTool({"_tone.wv", "-export", "cs16", "-overwrite"}, dir.path()).exitCode, 0);
  EXPECT_EQ(ts::ReadFileBytes(dir.File("_tone.cs16")).size(), 4u * kPairs);
  // Bad requests fail before anything is written; a cut-off input is refused
  // by nothing but leaves no partial file either.
  EXPECT_EQ(RunTool({"_tone.wv", "-export", "mp3"}, dir.path()).exitCode, 1);
  EXPECT_EQ(RunTool({"missing.wv", "-export", "cs16"}, dir.path()).exitCode, 1);
  EXPECT_EQ(RunTool({"_tone.wv", "-preview"}, dir.path()).exitCode, 1);
  EXPECT_EQ(ts::ListNames(dir.path()),
            (std::vector<std::string>{"_tone.cs16", "_tone.wv", "p.svg", "tone.bin"}));
}

TEST(InspectE2E, PreviewIsWellFormedSvgWithItsPlots) {
  ts::TempDir dir;
  ConvertedTone(dir);
  const ts::RunResult run = RunTool({"_tone.wv", "-preview", "tone.svg"}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  const ts::Bytes bytes = ts::ReadFileBytes(dir.File("tone.svg"));
  const std::string svg(bytes.begin(), bytes.end());
  std::vector<std::string> ids;
  std::string error;
  ASSERT_TRUE(WellFormedXml(svg, &ids, &error)) << error;
  EXPECT_EQ(ids, (std::vector<std::string>{"envelope", "time-plot", "marker-traces",
                                           "constellation", "density", "spectrum", "caption"}));
  EXPECT_TRUE(Contains(svg, "<svg xmlns=\"http://www.w3.org/2000/svg\""));
  // The tone of 37 samples per period: a window of 20 periods.
  EXPECT_TRUE(Contains(svg, "I (blue) and Q (orange) of pairs 0 to 739"));
  EXPECT_TRUE(Contains(svg, "Constellation: all 3000 pairs"));
  EXPECT_TRUE(Contains(svg, "Frequency (MHz)"));
  EXPECT_TRUE(Contains(svg, "COMMENT: tone &lt;&amp;&gt; &quot;test&quot;"));
}

#ifdef __linux__
// Runs the program with its output in outPath and returns the most memory
// it held (resident, KiB), or -1 when it did not end with 0.
long PeakKibOfRun(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> store = {WAVORA_EXE};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : store) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss;
}

TEST(InspectE2E, InfoOfMillionsOfMarkerEntriesStaysInBoundedMemory) {
  ts::TempDir dir;
  // 6 million entries: held as records they alone would take over 90 MiB.
  constexpr int kEntries = 6000000;
  {
    std::ofstream file(dir.File("many.wv"), std::ios::binary);
    file << "{TYPE: KVG-WV,0}{CLOCK:1e6}{SAMPLES:4}{MARKER LIST 2: ";
    for (int k = 0; k < kEntries; ++k) file << (k ? ";" : "") << k << ':' << (k & 1);
    file << "}{MARKER LIST 3: 0:1}{WAVEFORM-17: #" << std::string(16, '\0') << '}';
    ASSERT_TRUE(file.good());
  }
  const long peakKib = PeakKibOfRun({"-info", "-json", dir.File("many.wv")}, dir.File("out"));
  const std::string out = ts::ReadFileText(dir.File("out"));
  ASSERT_GT(peakKib, 0) << out;
  EXPECT_LT(peakKib, 64 * 1024) << "KiB";
  const Json report = Json::parse(out);
  EXPECT_TRUE(report["sound"].get<bool>()) << out;
  const Json& lists = report["tags"]["MARKER LISTS"];
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists[0]["marker"], 2);
  EXPECT_EQ(lists[0]["entries"], kEntries);
  EXPECT_EQ(lists[0]["first"].dump(), "[[0,0],[1,1],[2,0],[3,1]]");
  EXPECT_EQ(lists[1]["entries"], 1);
}
#endif

}  // namespace
