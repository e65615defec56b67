// The output side of -export and -preview: every file goes through the one
// writer, a SigMF recording is placed as both files or none, and a
// destination that appeared while the export ran is kept.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Log.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/Export.h"
#include "waveform/SvgPreview.h"

namespace {

namespace ts = testing_support;
using Names = std::vector<std::string>;

using ts::LoggedPart;

class ExportOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    ts::StartLogCapture();
    const std::vector<std::uint16_t> words =
        ts::MakeWords(100, [](int k, int half) { return half == 0 ? k * 100 : 65536 - k * 50; });
    ts::WaveFileBuilder file;
    file.Tag("TYPE", " KVG-WV,0").Tag("CLOCK", "1000000").Tag("SAMPLES", "100").Data(words);
    ts::WriteFileText(input, file.bytes());
  }
  void TearDown() override { ts::StopLogCapture(); }

  ts::TempDir dir;
  const std::string input = dir.File("in.wv");
};

TEST_F(ExportOutput, SigmfRecordingIsPlacedWholeOrNotAtAll) {
  ASSERT_EQ(ExportWaveform(input, ExportKind::kSigmf, dir.File("rec"), false), 1);
  EXPECT_EQ(ts::ReadFileBytes(dir.File("rec.sigmf-data")).size(), 400u);
  EXPECT_TRUE(ts::Contains(ts::ReadFileText(dir.File("rec.sigmf-meta")), "ci16_le"));

  // The meta name taken meanwhile: the data file, placed first, goes again,
  // and the file that appeared is kept.
  ts::WriteFileText(dir.File("two.sigmf-meta"), "appeared");
  EXPECT_EQ(ExportWaveform(input, ExportKind::kSigmf, dir.File("two"), false), 0);
  EXPECT_TRUE(LoggedPart("*** Destination file already exists."));
  EXPECT_EQ(ts::ReadFileText(dir.File("two.sigmf-meta")), "appeared");
  EXPECT_EQ(ts::ListNames(dir.path()),
            (Names{"in.wv", "rec.sigmf-data", "rec.sigmf-meta", "two.sigmf-meta"}));
}

TEST_F(ExportOutput, AppearedDestinationIsKeptUnlessReplacing) {
  for (const ExportKind kind : {ExportKind::kCs16, ExportKind::kWav}) {
    ts::WriteFileText(dir.File("out"), "appeared");
    ts::CapturedLogLines().clear();
    EXPECT_EQ(ExportWaveform(input, kind, dir.File("out"), false), 0);
    EXPECT_TRUE(LoggedPart("*** Destination file already exists."));
    EXPECT_EQ(ts::ReadFileText(dir.File("out")), "appeared");
    ASSERT_EQ(ExportWaveform(input, kind, dir.File("out"), true), 1);
    EXPECT_EQ(ts::ReadFileBytes(dir.File("out")).size(), kind == ExportKind::kWav ? 444u : 400u);
  }
  ts::WriteFileText(dir.File("p.svg"), "appeared");
  EXPECT_EQ(WriteWaveformPreview(input, dir.File("p.svg"), false), 0);
  EXPECT_EQ(ts::ReadFileText(dir.File("p.svg")), "appeared");
  ASSERT_EQ(WriteWaveformPreview(input, dir.File("p.svg"), true), 1);
  EXPECT_TRUE(ts::Contains(ts::ReadFileText(dir.File("p.svg")), "<svg"));
  EXPECT_EQ(ts::ListNames(dir.path()), (Names{"in.wv", "out", "p.svg"}));
}

// A directory that does not exist: the opening fails with the hidden name and
// the system's reason, and nothing is left anywhere.
TEST_F(ExportOutput, UnopenableDestinationNamesPathAndReason) {
  EXPECT_EQ(ExportWaveform(input, ExportKind::kCf32, dir.File("missing/out.cf32"), true), 0);
  EXPECT_TRUE(LoggedPart("*** Error opening output file."));
  EXPECT_TRUE(LoggedPart(".out.cf32."));
  EXPECT_EQ(ts::ListNames(dir.path()), Names{"in.wv"});
}

}  // namespace
