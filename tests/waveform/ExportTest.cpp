// What -export writes: the words of 14-bit ZETQ files without their marker
// bits and those bits as SigMF annotations, a file cut off exported as far as
// it goes, the default names, the refusals of a WAV export without a usable
// clock, and every export and preview with a file operation failing: the run fails with
// a "*** " line and leaves nothing, or succeeds with the very same files.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/FaultInjection.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/Export.h"
#include "waveform/SvgPreview.h"

namespace {

namespace ts = testing_support;
namespace faults = platform::faults;
using Names = std::vector<std::string>;

using ts::LoggedPart;

// Marker byte (bit k-1 for marker k) of pair p in the ZETQ file below.
constexpr std::uint8_t kBits[8] = {1, 1, 3, 2, 0, 8, 8, 9};

// 14-bit ZETQ words: the value in the upper 14 bits, markers 1 and 2 in the
// low bits of I, 3 and 4 in those of Q. No marker list and no sample count,
// so the low bits are the markers.
std::string Zetq14File(const std::string& extraTags = "") {
  std::vector<std::uint16_t> words;
  for (int p = 0; p < 8; ++p) {
    words.push_back(static_cast<std::uint16_t>(0x8000 + 4 * p + (kBits[p] & 3)));
    words.push_back(static_cast<std::uint16_t>(0x4000 + (kBits[p] >> 2)));
  }
  return ts::WaveFileBuilder()
      .Tag("TYPE", " WV,0")
      .Tag("RESOLUTION", " 14")
      .Raw(extraTags)
      .Data(words)
      .bytes();
}

std::int16_t LoadInt16(const ts::Bytes& bytes, std::size_t at) {
  return static_cast<std::int16_t>(bytes[at] | (bytes[at + 1] << 8));
}

class Export : public ::testing::Test {
 protected:
  void SetUp() override { ts::StartLogCapture(); }
  void TearDown() override {
    faults::Reset();
    ts::StopLogCapture();
  }
  ts::TempDir dir;
};

TEST_F(Export, FourteenBitZetqWordsLoseTheirMarkerBitsAndGiveTheAnnotations) {
  ts::WriteFileText(dir.File("z.wv"), Zetq14File("{CLOCK: 2000000}{COMMENT: fourteen}"));
  ASSERT_EQ(ExportWaveform(dir.File("z.wv"), ExportKind::kCs16, dir.File("z.cs16"), false), 1);
  const ts::Bytes cs16 = ts::ReadFileBytes(dir.File("z.cs16"));
  ASSERT_EQ(cs16.size(), 32u);
  for (std::size_t p = 0; p < 8; ++p) {
    EXPECT_EQ(LoadInt16(cs16, 4 * p), static_cast<std::int16_t>(4 * p)) << p;
    EXPECT_EQ(LoadInt16(cs16, 4 * p + 2), -16384) << p;
  }

  ASSERT_EQ(ExportWaveform(dir.File("z.wv"), ExportKind::kCf32, dir.File("z.cf32"), false), 1);
  const ts::Bytes cf32 = ts::ReadFileBytes(dir.File("z.cf32"));
  ASSERT_EQ(cf32.size(), 64u);
  for (std::size_t p = 0; p < 8; ++p) {
    float i = 0, q = 0;
    std::memcpy(&i, &cf32[8 * p], 4);
    std::memcpy(&q, &cf32[8 * p + 4], 4);
    EXPECT_FLOAT_EQ(i, static_cast<float>((4.0 * static_cast<double>(p) - 0.5) / 32000.0)) << p;
    EXPECT_FLOAT_EQ(q, static_cast<float>(-16384.5 / 32000.0)) << p;
  }

  ASSERT_EQ(ExportWaveform(dir.File("z.wv"), ExportKind::kSigmf, dir.File("z"), false), 1);
  EXPECT_EQ(ts::ReadFileBytes(dir.File("z.sigmf-data")), cs16);
  const nlohmann::json meta = nlohmann::json::parse(ts::ReadFileText(dir.File("z.sigmf-meta")));
  EXPECT_EQ(meta["global"]["core:sample_rate"], 2e6);
  EXPECT_EQ(meta["global"]["core:description"], "fourteen");
  // Ordered by start: marker 1 high over 0..2 and again at 7, marker 2 over
  // 2..3, marker 4 from 5 to the end.
  const std::vector<std::vector<std::int64_t>> expected = {
      {1, 0, 3}, {2, 2, 2}, {4, 5, 3}, {1, 7, 1}};
  ASSERT_EQ(meta["annotations"].size(), expected.size()) << meta.dump(1);
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const nlohmann::json& a = meta["annotations"][k];
    EXPECT_EQ(a["core:label"], "marker " + std::to_string(expected[k][0])) << k;
    EXPECT_EQ(a["core:sample_start"], expected[k][1]) << k;
    EXPECT_EQ(a["core:sample_count"], expected[k][2]) << k;
  }
}

TEST_F(Export, CutOffFileIsExportedAsFarAsItGoes) {
  // Five pairs declared, three present.
  const std::vector<std::uint16_t> words = {1, 2, 3, 4, 5, 6};
  ts::WriteFileText(
      dir.File("cut.wv"),
      ts::WaveFileBuilder().Tag("TYPE", " KVG-WV,0").Data(words, " ", "", 21).bytes());
  ASSERT_EQ(ExportWaveform(dir.File("cut.wv"), ExportKind::kCs16, dir.File("cut.cs16"), false), 1);
  EXPECT_TRUE(LoggedPart("*** Warning: the file is cut off; exporting the 3 pairs present"));
  const ts::Bytes out = ts::ReadFileBytes(dir.File("cut.cs16"));
  ASSERT_EQ(out.size(), 12u);
  for (std::size_t w = 0; w < 6; ++w) EXPECT_EQ(LoadInt16(out, 2 * w), words[w]) << w;
}

TEST_F(Export, WavNeedsAClockOfAWavRate) {
  const std::pair<std::string, std::string> files[] = {{"no clock", ""},
                                                       {"clock below 1 Hz", "{CLOCK: 0.5}"},
                                                       {"clock beyond 2^30 Hz", "{CLOCK: 2e9}"}};
  for (const auto& [what, tags] : files) {
    SCOPED_TRACE(what);
    ts::CapturedLogLines().clear();
    ts::WriteFileText(dir.File("in.wv"), Zetq14File(tags));
    EXPECT_EQ(ExportWaveform(dir.File("in.wv"), ExportKind::kWav, dir.File("out.wav"), false), 0);
    EXPECT_TRUE(LoggedPart("*** Error: WAV export needs a CLOCK tag for its sample rate."));
    EXPECT_EQ(ts::ListNames(dir.path()), Names{"in.wv"});
  }
}

TEST(ExportNames, DefaultNamesAndTheFilesOfEachKind) {
  struct Case {
    ExportKind kind;
    std::string input;
    std::string name;
  };
  const Case cases[] = {
      {ExportKind::kCs16, "dir.x/tone.wv", "tone.cs16"},
      {ExportKind::kCf32, "tone.v2.wv", "tone.v2.cf32"},
      {ExportKind::kWav, ".hidden", ".hidden.wav"},
      {ExportKind::kSigmf, "plain", "plain.sigmf-data"},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultExportName(c.kind, c.input), c.name) << c.input;

  EXPECT_EQ(ExportOutputPaths(ExportKind::kCf32, "a.sigmf"), Names{"a.sigmf"});
  for (const char* name : {"rec", "rec.sigmf-data", "rec.sigmf-meta", "rec.sigmf"})
    EXPECT_EQ(ExportOutputPaths(ExportKind::kSigmf, name),
              (Names{"rec.sigmf-data", "rec.sigmf-meta"}))
        << name;
  ExportKind kind = ExportKind::kCs16;
  for (const auto& [text, expected] :
       std::vector<std::pair<std::string, ExportKind>>{{"cs16", ExportKind::kCs16},
                                                       {"cf32", ExportKind::kCf32},
                                                       {"wav", ExportKind::kWav},
                                                       {"sigmf", ExportKind::kSigmf}}) {
    ASSERT_TRUE(ExportKindFromText(text, &kind)) << text;
    EXPECT_EQ(kind, expected);
  }
  EXPECT_FALSE(ExportKindFromText("CS16", &kind));
  EXPECT_FALSE(ExportKindFromText("", &kind));
}

// Every file below the directory but the input, by name, with its bytes.
std::map<std::string, ts::Bytes> Outputs(const std::string& dir) {
  std::map<std::string, ts::Bytes> files;
  for (const std::string& name : ts::ListNames(dir))
    if (name != "in.wv") files[name] = ts::ReadFileBytes(dir + "/" + name);
  return files;
}

TEST_F(Export, EveryFailedFileOperationFailsTheExportOrPreviewAndLeavesNothing) {
  using Run = std::function<int(const std::string& input, const std::string& dir)>;
  const auto exportAs = [](ExportKind kind) -> Run {
    return [kind](const std::string& input, const std::string& dir) {
      return ExportWaveform(input, kind, dir + "/out", false);
    };
  };
  const Run preview = [](const std::string& input, const std::string& dir) {
    return WriteWaveformPreview(input, dir + "/out.svg", false);
  };
  struct Case {
    const char* what;
    std::string file;
    Run run;
  };
  const std::string kvgWithLists =
      ts::WaveFileBuilder()
          .Tag("TYPE", " KVG-WV,0")
          .Tag("CLOCK", "1000000")
          .Tag("MARKER LIST 1", " 0:1;10:0;40:1")
          .Tag("MARKER LIST 3", " 0:0;20:1;30:0")
          .Data(ts::MakeWords(50, [](int k, int q) { return q ? 7000 - k * 200 : k * 300 - 9000; }))
          .bytes();
  const Case cases[] = {
      {"cs16", kvgWithLists, exportAs(ExportKind::kCs16)},
      {"cf32", kvgWithLists, exportAs(ExportKind::kCf32)},
      {"wav", kvgWithLists, exportAs(ExportKind::kWav)},
      {"sigmf with marker lists", kvgWithLists, exportAs(ExportKind::kSigmf)},
      {"sigmf of marker bits", Zetq14File("{CLOCK: 1e6}"), exportAs(ExportKind::kSigmf)},
      {"preview with marker lists", kvgWithLists, preview},
      {"preview of marker bits", Zetq14File("{CLOCK: 1e6}"), preview},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ts::TempDir work;
    const std::string input = work.File("in.wv");
    ts::WriteFileText(input, c.file);
    faults::Reset();
    faults::SetRecording(true);
    ASSERT_EQ(c.run(input, work.path()), 1);
    const std::vector<faults::FileOp> calls = faults::RecordedCalls();
    faults::SetRecording(false);
    const std::map<std::string, ts::Bytes> good = Outputs(work.path());
    ASSERT_FALSE(good.empty());
    for (const auto& [name, bytes] : good) std::filesystem::remove(work.File(name));

    for (std::size_t k = 1; k <= calls.size(); ++k) {
      std::vector<faults::Fault> kinds = {faults::Fault::kFail};
      if (calls[k - 1] == faults::FileOp::kWrite) kinds.push_back(faults::Fault::kShortWrite);
      for (faults::Fault kind : kinds) {
        SCOPED_TRACE(std::string(kind == faults::Fault::kFail ? "failed " : "short ") +
                     faults::FileOpName(calls[k - 1]) + " at call " + std::to_string(k));
        ts::CapturedLogLines().clear();
        faults::Arm(k, kind);
        const int ok = c.run(input, work.path());
        EXPECT_TRUE(faults::FaultDelivered());
        faults::Reset();
        const std::map<std::string, ts::Bytes> left = Outputs(work.path());
        if (ok == 1) {
          EXPECT_EQ(left, good) << "a successful export wrote other files";
        } else {
          EXPECT_TRUE(left.empty())
              << left.size() << " files left, the first " << left.begin()->first;
          EXPECT_TRUE(LoggedPart("*** ")) << "a failure without its line";
        }
        for (const auto& [name, bytes] : left) std::filesystem::remove(work.File(name));
        EXPECT_EQ(ts::ReadFileText(input), c.file) << "the input changed";
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

}  // namespace
