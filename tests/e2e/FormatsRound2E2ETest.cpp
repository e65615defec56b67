// The second round of capture formats through the built program: a waveform
// file with four marker lists survives -export sigmf and the conversion
// back; SigMF copyright, centre frequency and other annotations; RIFX and
// mono WAV and the names SDR tools give, read by -format auto.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "import/FormatFileBuilders.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;
using format_files::Bytes;
using format_files::PutBE;
using format_files::PutLE;

ts::ParsedWaveform Parse(const std::string& path) {
  ts::ParsedWaveform parsed;
  std::string error;
  EXPECT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(path), &parsed, &error)) << path << ": " << error;
  return parsed;
}

std::string Tag(const ts::ParsedWaveform& parsed, const std::string& name) {
  const std::string* value = parsed.Find(name);
  return value != nullptr ? *value : "(none)";
}

TEST(FormatsRound2E2E, FourMarkerListsSurviveSigmfExportAndImport) {
  ts::TempDir t;
  const int pairs = 1000;
  const std::vector<std::vector<std::pair<int, int>>> lists = {
      {{0, 0}, {10, 1}, {20, 0}, {500, 1}},
      {{0, 1}, {999, 0}},
      {{0, 0}},
      {{0, 0}, {100, 1}, {101, 0}, {102, 1}, {103, 0}, {998, 1}},
  };
  ts::WaveFileBuilder file;
  file.Tag("TYPE", " KVG-WV,0")
      .Tag("COMMENT", "round trip")
      .Tag("COPYRIGHT", "(c) RF lab")
      .Tag("CLOCK", "1000000.000")
      .Tag("LEVEL OFFS", "4.500000,1.250000")
      .Tag("SAMPLES", std::to_string(pairs))
      .Tag("CONTROL LENGTH", std::to_string(pairs));
  for (std::size_t m = 0; m < lists.size(); ++m)
    file.Tag("MARKER LIST " + std::to_string(m + 1), ts::ListText(lists[m]));
  file.Data(ts::MakeWords(pairs, [](int k, int half) {
    return static_cast<std::int16_t>(20000 * (half == 0 ? std::cos(k / 7.0) : std::sin(k / 7.0)));
  }));
  ts::WriteFileText(t.File("src.wv"), file.bytes());

  // The waveform file as this program writes it, then exported and read back.
  ASSERT_EQ(ts::RunWavoraBinary({"src.wv", "-format", "kxzetq", "-batch", "-out", "a.wv"}, t.path())
                .exitCode,
            0);
  ASSERT_EQ(ts::RunWavoraBinary({"a.wv", "-export", "sigmf"}, t.path()).exitCode, 0);
  const ts::RunResult back = ts::RunWavoraBinary(
      {"a.sigmf-meta", "-format", "sigmf", "-batch", "-out", "b.wv", "-v", "3"}, t.path());
  ASSERT_EQ(back.exitCode, 0) << back.out;
  EXPECT_NE(back.out.find("6 SigMF annotations labelled 'marker 1' to 'marker 4' give the "
                          "marker lists."),
            std::string::npos)
      << back.out;

  const ts::ParsedWaveform a = Parse(t.File("a.wv"));
  const ts::ParsedWaveform b = Parse(t.File("b.wv"));
  EXPECT_EQ(a.TagNames(), b.TagNames());
  for (const auto& [name, value] : a.tags) {
    if (name != "DATE") {
      EXPECT_EQ(value, Tag(b, name)) << name;
    }
  }
  // The level the source file states, not one measured from its words.
  EXPECT_EQ(Tag(b, "LEVEL OFFS"), "4.500000,1.250000");
  EXPECT_EQ(Tag(b, "MARKER LIST 4"), " 0:0;100:1;101:0;102:1;103:0;998:1");
  EXPECT_EQ(Tag(b, "CONTROL LENGTH"), "1000");
  EXPECT_EQ(a.words, b.words);

  // Scaled to full scale, the samples no longer have the stated level: the
  // scaling starts from the measured peak (about -3.8 dB for words of
  // magnitude 20000) and the largest vector reaches full scale.
  ASSERT_EQ(
      ts::RunWavoraBinary(
          {"a.sigmf-meta", "-format", "sigmf", "-batch", "-autoscale", "-out", "c.wv"}, t.path())
          .exitCode,
      0);
  const ts::ParsedWaveform c = Parse(t.File("c.wv"));
  double rms = 0, peak = 0;
  ASSERT_EQ(std::sscanf(Tag(c, "LEVEL OFFS").c_str(), "%lf,%lf", &rms, &peak), 2);
  EXPECT_EQ(peak, 0.0);
  EXPECT_NEAR(rms, 0.0, 0.01);  // a circle: RMS equals peak
  double largest = 0;
  for (std::size_t k = 0; k + 1 < c.words.size(); k += 2)
    largest = std::max(largest, std::hypot(double(c.words[k]), double(c.words[k + 1])));
  EXPECT_NEAR(largest, 32767.0, 2.0);
}

// A waveform file may state any LEVEL OFFS; one beyond what a recording may
// carry is left out of the export, so that the recording still converts.
TEST(FormatsRound2E2E, SigmfExportLeavesOutLevelOffsetsARecordingCannotCarry) {
  ts::TempDir t;
  ts::WaveFileBuilder file;
  file.Tag("TYPE", " KVG-WV,0").Tag("CLOCK", "1000000.000").Tag("LEVEL OFFS", "2000,1500");
  file.Data(ts::MakeWords(64, [](int k, int half) {
    return static_cast<std::int16_t>(half == 0 ? 1000 * (k % 7) : -500);
  }));
  ts::WriteFileText(t.File("src.wv"), file.bytes());
  ASSERT_EQ(ts::RunWavoraBinary({"src.wv", "-export", "sigmf"}, t.path()).exitCode, 0);
  const ts::Bytes meta = ts::ReadFileBytes(t.File("src.sigmf-meta"));
  EXPECT_EQ(std::string(meta.begin(), meta.end()).find("wavora:level_offsets"), std::string::npos);
  const ts::RunResult back = ts::RunWavoraBinary(
      {"src.sigmf-meta", "-format", "sigmf", "-batch", "-out", "b.wv"}, t.path());
  EXPECT_EQ(back.exitCode, 0) << back.out;
}

TEST(FormatsRound2E2E, SigmfCopyrightFrequencyAndOtherAnnotations) {
  ts::TempDir t;
  ts::WriteFileBytes(t.File("r.sigmf-data"), Bytes(64, 0x40));
  const std::string meta =
      "{\"global\": {\"core:version\": \"1.0.0\", \"core:datatype\": \"cu8\", "
      "\"core:sample_rate\": 2.4e6, \"core:author\": \"someone\", \"wavora:copyright\": "
      "\"(c) lab\"},\n \"captures\": [{\"core:sample_start\": 0, \"core:frequency\": 433.92e6}],\n"
      " \"annotations\": [{\"core:sample_start\": 3, \"core:sample_count\": 5, \"core:label\": "
      "\"burst\"}, {\"core:sample_start\": 8, \"core:label\": \"marker 5\"}, "
      "{\"core:sample_start\": 4, \"core:sample_count\": 2, \"core:label\": \"marker 3\"}, "
      "{\"core:sample_start\": 5, \"core:sample_count\": 1, "
      "\"core:label\": \"marker 3\"}, {\"core:sample_start\": 30, \"core:sample_count\": 50, "
      "\"core:label\": \"marker 1\"}]}\n";
  ts::WriteFileText(t.File("r.sigmf-meta"), meta);
  const ts::RunResult run = ts::RunWavoraBinary(
      {"r.sigmf-data", "-format", "sigmf", "-batch", "-v", "3", "-out", "r.wv"}, t.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("SigMF centre frequency (core:frequency of the first capture): "
                         "433920000.000 Hz."),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("2 other SigMF annotations are not converted."), std::string::npos)
      << run.out;
  const ts::ParsedWaveform r = Parse(t.File("r.wv"));
  EXPECT_EQ(Tag(r, "COPYRIGHT"), "(c) lab");
  // Overlapping stretches of one marker merge; one beyond the samples is cut there.
  EXPECT_EQ(Tag(r, "MARKER LIST 1"), " 0:0;30:1");
  EXPECT_EQ(Tag(r, "MARKER LIST 2"), " 0:0");
  EXPECT_EQ(Tag(r, "MARKER LIST 3"), " 0:0;4:1;6:0");
  EXPECT_EQ(Tag(r, "CONTROL LENGTH"), "32");

  // Without marker annotations no marker list is written; the author is the copyright.
  ts::WriteFileText(t.File("s.sigmf-meta"),
                    format_files::MakeSigmfMeta("\"core:datatype\": \"cu8\", \"core:sample_rate\": "
                                                "2.4e6, \"core:author\": \"someone\""));
  ts::WriteFileBytes(t.File("s.sigmf-data"), Bytes(64, 0x40));
  ASSERT_EQ(
      ts::RunWavoraBinary({"s.sigmf-meta", "-format", "sigmf", "-batch", "-out", "s.wv"}, t.path())
          .exitCode,
      0);
  const ts::ParsedWaveform s = Parse(t.File("s.wv"));
  EXPECT_EQ(Tag(s, "COPYRIGHT"), "someone");
  EXPECT_EQ(s.Find("MARKER LIST 1"), nullptr);

  // A marker annotation without a valid start is refused; nothing is written.
  ts::WriteFileText(t.File("bad.sigmf-meta"),
                    "{\"global\": {\"core:version\": \"1.0.0\", \"core:datatype\": \"cu8\", "
                    "\"core:sample_rate\": 2.4e6}, \"captures\": [], \"annotations\": "
                    "[{\"core:sample_start\": -4, \"core:label\": \"marker 2\"}]}");
  ts::WriteFileBytes(t.File("bad.sigmf-data"), Bytes(64, 0x40));
  const ts::RunResult bad = ts::RunWavoraBinary(
      {"bad.sigmf-meta", "-format", "sigmf", "-batch", "-out", "bad.wv"}, t.path());
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.out.find("*** Error: SigMF annotation 'marker 2' has no core:sample_start of 0 "
                         "or more."),
            std::string::npos)
      << bad.out;
  EXPECT_FALSE(ts::FileExistsForTest(t.File("bad.wv")));
}

TEST(FormatsRound2E2E, AutoReadsRifxMonoAndToolNames) {
  ts::TempDir t;
  // A big-endian mono 16-bit file and the same samples as rtl_433 and URH name them.
  format_files::WavSpec spec;
  spec.container = "RIFX";
  spec.channels = 1;
  spec.rate = 250000;
  // Inside full scale: nothing is scaled, so each word comes back as it was.
  std::vector<std::int16_t> samples = {0, 1000, -1000, 32000, -32000, 77, -5, 12};
  for (std::int16_t s : samples) PutBE(spec.data, static_cast<std::uint16_t>(s), 2);
  ts::WriteFileBytes(t.File("mono.WAV"), format_files::MakeWav(spec));
  Bytes cs8;
  for (int k = 0; k < 16; ++k) cs8.push_back(static_cast<unsigned char>(k * 9 - 60));
  ts::WriteFileBytes(t.File("g001_433.92M_250k.COMPLEX16S"), cs8);
  Bytes f32;
  for (int k = 0; k < 16; ++k)
    PutLE(f32, std::bit_cast<std::uint32_t>(static_cast<float>(k) / 20.0f), 4);
  ts::WriteFileBytes(t.File("urh.complex"), f32);

  const ts::RunResult mono =
      ts::RunWavoraBinary({"mono.WAV", "-format", "auto", "-batch", "-out", "m.wv"}, t.path());
  ASSERT_EQ(mono.exitCode, 0) << mono.out;
  EXPECT_NE(mono.out.find("Format auto: reading 'mono.WAV' as wav."), std::string::npos);
  EXPECT_NE(mono.out.find("WAV header: RIFX, PCM 16-bit, 1 channel (real), 250000 frames per "
                          "second."),
            std::string::npos)
      << mono.out;
  EXPECT_NE(mono.out.find("Real samples (one channel): read as I with Q = 0."), std::string::npos);
  const ts::ParsedWaveform m = Parse(t.File("m.wv"));
  ASSERT_EQ(m.words.size(), 2 * samples.size());
  for (std::size_t k = 0; k < samples.size(); ++k) {
    // (s - 0.5) / 32767 comes back as the word s; Q is 0.
    EXPECT_EQ(m.words[2 * k], samples[k]) << k;
    EXPECT_EQ(m.words[2 * k + 1], 0) << k;
  }
  EXPECT_EQ(Tag(m, "CLOCK"), "250000.000");

  for (const auto& [name, keyword] :
       {std::pair<std::string, std::string>{"g001_433.92M_250k.COMPLEX16S", "cs8"},
        {"urh.complex", "f32le"}}) {
    const ts::RunResult run = ts::RunWavoraBinary(
        {name, "-format", "auto", "-clock", "0.25", "-batch", "-out", "x.wv", "-overwrite"},
        t.path());
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("Format auto: reading '" + name + "' as " + keyword + "."),
              std::string::npos)
        << run.out;
  }

  // A three-channel file is refused naming the count, after the line that describes it.
  spec.container = "RIFF";
  spec.channels = 3;
  spec.data = Bytes(24, 0);
  ts::WriteFileBytes(t.File("three.wav"), format_files::MakeWav(spec));
  const ts::RunResult three =
      ts::RunWavoraBinary({"three.wav", "-format", "wav", "-batch"}, t.path());
  EXPECT_EQ(three.exitCode, 1);
  const std::size_t found = three.out.find("WAV header: RIFF, PCM 16-bit, 3 channels, 250000");
  const std::size_t refused = three.out.find("*** Error: WAV file has 3 channels;");
  EXPECT_NE(found, std::string::npos) << three.out;
  EXPECT_NE(refused, std::string::npos) << three.out;
  EXPECT_LT(found, refused);
  EXPECT_EQ(three.out.find("2 channels I,Q"), std::string::npos) << three.out;
  EXPECT_FALSE(ts::FileExistsForTest(t.File("_three.wv")));
}

}  // namespace

namespace {

TEST(FormatsRound2E2E, ArchiveOfSeveralRecordingsConvertsEach) {
  ts::TempDir t;
  const std::string meta = format_files::MakeSigmfMeta(
      "\"core:datatype\": \"ci8\", \"core:sample_rate\": 2e6, \"core:description\": \"x\"");
  const Bytes a = {10, 20, 30, 40}, b = {60, 0xC0, 1, 2, 3, 4};
  ts::WriteFileBytes(t.File("two.sigmf"),
                     format_files::Archive(
                         {format_files::TarMember("a/a.sigmf-meta", '0', format_files::Text(meta)),
                          format_files::TarMember("a/a.sigmf-data", '0', a),
                          format_files::TarMember("b/b.sigmf-meta", '0', format_files::Text(meta)),
                          format_files::TarMember("b/b.sigmf-data", '0', b)}));
  const ts::RunResult run =
      ts::RunWavoraBinary({"two.sigmf", "-format", "auto", "-batch"}, t.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("The SigMF archive holds 2 recordings; each is converted on its own."),
            std::string::npos);
  for (const auto& [name, bytes] :
       {std::pair<std::string, Bytes>{"_a.wv", a}, std::pair<std::string, Bytes>{"_b.wv", b}}) {
    const ts::ParsedWaveform parsed = Parse(t.File(name));
    ASSERT_EQ(parsed.words.size(), bytes.size()) << name;
    for (std::size_t k = 0; k < bytes.size(); ++k)
      EXPECT_EQ(parsed.words[k],
                ts::ExpectedWord(static_cast<float>(static_cast<std::int8_t>(bytes[k]) / 128.0)))
          << name << " word " << k;
    EXPECT_EQ(Tag(parsed, "CLOCK"), "2000000.000");
  }
  // One -out for several recordings is refused.
  const ts::RunResult out =
      ts::RunWavoraBinary({"two.sigmf", "-format", "sigmf", "-batch", "-out", "x.wv"}, t.path());
  EXPECT_EQ(out.exitCode, 1);
  EXPECT_NE(out.out.find("*** Error: The SigMF archive holds 2 recordings; -out names one output "
                         "file."),
            std::string::npos)
      << out.out;
  EXPECT_FALSE(ts::FileExistsForTest(t.File("x.wv")));
}

}  // namespace
