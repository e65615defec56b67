// -info on the inputs a conversion reads: the format and how it was found,
// pairs, clock and duration, the levels and DC of the values as read, the
// values beyond full scale, the LEVEL OFFS the conversion writes, the
// reader's own lines, and whether the file converts; nothing is written.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "import/FormatFileBuilders.h"
#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;
namespace ff = format_files;
using ts::Contains;
using Json = nlohmann::json;

// One JSON object per line of text.
std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> objects;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) objects.push_back(Json::parse(line));
  return objects;
}

// The LEVEL OFFS of the converted file, from -info -json of the .wv.
std::vector<double> ConvertedLevelOffs(const std::string& dir, const std::string& wv) {
  const ts::RunResult run = ts::RunWavoraBinary({"-info", "-json", wv}, dir);
  const std::vector<Json> reports = JsonLines(run.out);
  if (reports.size() != 1) return {};
  return reports[0]["tags"]["LEVEL OFFS"].get<std::vector<double>>();
}

TEST(InfoAnyInputE2E, DescribesEachInputAsItsConversionWouldReadIt) {
  ts::TempDir dir;
  // A 16-bit WAV at 2 MHz; a cf32 file named by its extension whose float
  // values go beyond full scale; a cu8 capture.
  ff::WavSpec wav;
  wav.rate = 2000000;
  wav.data = ts::EncodeInt16(ts::MakeInt16IqTone(5000, 0.5, 9.0), false);
  ts::WriteFileBytes(dir.File("a.wav"), ff::MakeWav(wav));
  std::vector<float> floats = ts::MakeIqTone(4000, 0.8, 5.0);
  floats[10] = 1.5f;  // one I value and one Q value beyond full scale
  floats[21] = -2.0f;
  ts::WriteFileBytes(dir.File("b.cf32"), ts::EncodeFloat32(floats, false));
  ts::Bytes u8;
  for (int n = 0; n < 6000; ++n) u8.push_back(static_cast<unsigned char>(n % 2 ? 200 : 60));
  ts::WriteFileBytes(dir.File("c.cu8"), u8);
  const std::vector<std::string> before = ts::ListNames(dir.path());

  const ts::RunResult run = ts::RunWavoraBinary(
      {"-info", "-json", "a.wav", "b.cf32", "c.cu8", "-defaultclock", "5"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ts::ListNames(dir.path()), before) << "-info must write nothing";
  const std::vector<Json> r = JsonLines(run.out);
  ASSERT_EQ(r.size(), 3u) << run.out;

  EXPECT_EQ(r[0]["format"], "wav");
  EXPECT_EQ(r[0]["found_by"], "magic");
  EXPECT_EQ(r[0]["pairs"], 5000);
  EXPECT_EQ(r[0]["clock_hz"], 2e6);
  EXPECT_EQ(r[0]["clock_from"], "the file");
  EXPECT_NEAR(r[0]["duration_s"].get<double>(), 0.0025, 1e-12);
  EXPECT_NEAR(r[0]["peak_dbfs"].get<double>(), 20 * std::log10(0.5), 0.01);

  EXPECT_EQ(r[1]["format"], "f32le");
  EXPECT_EQ(r[1]["found_by"], "extension");
  EXPECT_EQ(r[1]["clock_from"], "-defaultclock");
  EXPECT_EQ(r[1]["beyond_full_scale"], 2);
  EXPECT_NEAR(r[1]["peak_dbfs"].get<double>(), 20 * std::log10(std::hypot(0.8 * std::cos(0), 2.0)),
              0.5);
  EXPECT_EQ(r[1]["level_offs"][1], 0.0) << "data above full scale is scaled down to it";

  EXPECT_EQ(r[2]["format"], "cu8");
  EXPECT_NEAR(r[2]["mean_i"].get<double>(), (60 - 127.5) / 128, 1e-6);
  EXPECT_NEAR(r[2]["mean_q"].get<double>(), (200 - 127.5) / 128, 1e-6);
  for (const Json& report : r) EXPECT_TRUE(report["converts"].get<bool>()) << report.dump();

  // The offsets are those the conversions then write.
  for (const char* name : {"a.wav", "b.cf32", "c.cu8"}) {
    ASSERT_EQ(
        ts::RunWavoraBinary({name, "-format", "auto", "-defaultclock", "5", "-batch"}, dir.path())
            .exitCode,
        0)
        << name;
  }
  const char* outputs[] = {"_a.wv", "_b.wv", "_c.wv"};
  for (int k = 0; k < 3; ++k) {
    const std::vector<double> written = ConvertedLevelOffs(dir.path(), outputs[k]);
    ASSERT_EQ(written.size(), 2u) << outputs[k];
    EXPECT_NEAR(r[static_cast<std::size_t>(k)]["level_offs"][0].get<double>(), written[0], 1e-5)
        << outputs[k];
    EXPECT_NEAR(r[static_cast<std::size_t>(k)]["level_offs"][1].get<double>(), written[1], 1e-5)
        << outputs[k];
  }
}

TEST(InfoAnyInputE2E, SaysWhyAFileWouldNotConvertAndStillCountsIt) {
  ts::TempDir dir;
  ts::WriteFileBytes(dir.File("raw.cs16"),
                     ts::EncodeInt16(ts::MakeInt16IqTone(300, 0.5, 3.0), false));
  ts::WriteFileText(dir.File("odd.sigmf-meta"), "{ not json");
  ts::RunResult run = ts::RunWavoraBinary({"-info", "raw.cs16"}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "  Format         : i16le, found by its name (.cs16)")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  Pairs          : 300")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  Clock          : (none: give -clock)")) << run.out;
  EXPECT_TRUE(Contains(run.out,
                       "  Result         : does NOT convert: *** Error: No clock rate for raw "
                       "samples; give the clock with -clock."))
      << run.out;

  // A given -format applies to every file; a bad SigMF file names its fault.
  run = ts::RunWavoraBinary({"-info", "-json", "odd.sigmf-meta", "-format", "sigmf"}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  const std::vector<Json> r = JsonLines(run.out);
  ASSERT_EQ(r.size(), 1u) << run.out;
  EXPECT_EQ(r[0]["found_by"], "keyword");
  EXPECT_FALSE(r[0]["converts"].get<bool>());
  EXPECT_TRUE(r[0]["reason"].get<std::string>().rfind("*** ", 0) == 0) << r[0].dump();
  // A clock out of range is refused as a conversion refuses it.
  run = ts::RunWavoraBinary({"-info", "raw.cs16", "-clock", "48000"}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "*** Invalid clock rate.")) << run.out;
}

TEST(InfoAnyInputE2E, ReportsEachRecordingOfASigmfArchiveWithItsMetadata) {
  ts::TempDir dir;
  auto recording = [](const std::string& name, int pairs, const std::string& author) {
    const std::string meta = ff::MakeSigmfMeta(
        "\"core:datatype\": \"ci16_le\", \"core:sample_rate\": 1000000, "
        "\"core:author\": \"" +
            author + "\"",
        "\"core:frequency\": 433920000");
    return std::vector<ts::Bytes>{
        ff::TarMember(name + "/" + name + ".sigmf-meta", '0', ff::Text(meta)),
        ff::TarMember(name + "/" + name + ".sigmf-data", '0',
                      ts::EncodeInt16(
                          ts::MakeInt16IqTone(static_cast<std::size_t>(pairs), 0.25, 2.0), false))};
  };
  std::vector<ts::Bytes> members = recording("one", 100, "Ann");
  for (ts::Bytes& member : recording("two", 250, "Bo")) members.push_back(member);
  ts::WriteFileBytes(dir.File("pair.sigmf"), ff::Archive(members));

  const ts::RunResult run = ts::RunWavoraBinary({"-info", "-json", "pair.sigmf"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<Json> r = JsonLines(run.out);
  ASSERT_EQ(r.size(), 2u) << run.out;
  EXPECT_EQ(r[0]["pairs"], 100);
  EXPECT_EQ(r[1]["pairs"], 250);
  EXPECT_EQ(r[0]["copyright"], "Ann");
  EXPECT_EQ(r[1]["copyright"], "Bo");
  // The reader's lines carry what the conversion logs of the metadata.
  const std::string reader = r[0]["reader"].dump();
  EXPECT_TRUE(Contains(reader, "core:frequency of the first capture): 433920000.000 Hz")) << reader;
}

}  // namespace
