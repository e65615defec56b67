// Directory walk decisions that need no conversion: missing input, mirror
// creation, path limits on the output side, and the output root that is
// never walked as input.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/ConvertDirectory.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

std::vector<std::string> g_lines;

void CaptureLine(const std::string& line) { g_lines.push_back(line); }

class ConvertDirectoryWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    SetLogSink(CaptureLine);
    SetLogMask(kLogInfo | kLogWarning | kLogError | kLogAlwaysShown);
  }
  void TearDown() override {
    SetLogSink(nullptr);
    SetLogMask(kLogError | kLogAlwaysShown);
  }

  // Walks recursively with no extension filter; the top output is outputDir
  // unless given.
  static int Walk(const std::string& inputDir, const std::string& outputDir) {
    ConversionSettings settings;
    settings.inputPath = inputDir;
    settings.outputPath = outputDir;
    settings.format = kFormatI16le;
    settings.clockMHz = 100.0;
    settings.recursive = true;
    return ConvertDirectory(settings);
  }

  // Number of captured lines that end in text.
  static int CountEndingIn(const std::string& text) {
    return static_cast<int>(
        std::count_if(g_lines.begin(), g_lines.end(), [&](const std::string& l) {
          return l.size() >= text.size() &&
                 l.compare(l.size() - text.size(), text.size(), text) == 0;
        }));
  }
};

TEST_F(ConvertDirectoryWalk, MissingInputDirectoryIsAnError) {
  ts::TempDir temp;
  const std::string missing = temp.File("missing");
  EXPECT_EQ(Walk(missing, temp.path()), 0);
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(CountEndingIn(" ! *** Error: Input directory " + missing +
                          " does not exist or is not a directory."),
            1);
}

TEST_F(ConvertDirectoryWalk, MirrorThatCannotBeCreatedStopsTheWalk) {
  ts::TempDir temp;
  fs::create_directories(temp.File("in/a"));
  fs::create_directories(temp.File("in/b"));
  fs::create_directories(temp.File("out"));
  ts::WriteFileText(temp.File("out/a"), "a file where the mirror belongs");

  EXPECT_EQ(Walk(temp.File("in"), temp.File("out")), 0);
  EXPECT_EQ(CountEndingIn(" ! *** Failed to create output directory."), 1);
  EXPECT_EQ(CountEndingIn("Descending into '" + temp.File("in/a") + "'"), 0);
  // The walk stopped at a; b was never reached.
  EXPECT_FALSE(fs::exists(temp.File("out/b")));
  EXPECT_EQ(CountEndingIn("Finished directory " + temp.File("in")), 0);
}

TEST_F(ConvertDirectoryWalk, OutputSubdirectoryPathOverLimitIsSkippedAndNamed) {
  ts::TempDir temp;
  // The input side stays short; the output root is long enough that its
  // mirror of "sub" would be 260 characters.
  fs::create_directories(temp.File("in/sub"));
  std::string outputRoot = temp.path() + "/";
  outputRoot += std::string(260 - outputRoot.size() - std::string("/sub").size(), 'o');
  fs::create_directories(outputRoot);
  const std::string outputSub = outputRoot + "/sub";
  ASSERT_EQ(outputSub.size(), 260u);

  // The subdirectory is skipped, named, and the walk goes on to its end.
  EXPECT_EQ(Walk(temp.File("in"), outputRoot), 1);
  EXPECT_EQ(CountEndingIn(" ! Skipping directory '" + outputSub +
                          "': its path is longer than 259 characters."),
            1);
  EXPECT_EQ(CountEndingIn("0 converted, 0 failed, 1 skipped"), 1);
  EXPECT_EQ(CountEndingIn("Finished directory " + temp.File("in")), 1);
  EXPECT_FALSE(fs::exists(outputSub));
}

TEST_F(ConvertDirectoryWalk, OutputRootInsideInputTreeIsNeverDescended) {
  // The output root is named in different spellings of the same path.
  for (const std::string spelling : {"in/out", "in/out/", "in/./out", "in/sub/../out"}) {
    SCOPED_TRACE(spelling);
    g_lines.clear();
    ts::TempDir temp;
    fs::create_directories(temp.File("in/sub/deeper"));
    fs::create_directories(temp.File("in/out"));
    const std::string top = temp.File(spelling);

    EXPECT_EQ(Walk(temp.File("in"), top), 1);
    EXPECT_TRUE(fs::is_directory(temp.File("in/out/sub/deeper")));
    EXPECT_FALSE(fs::exists(temp.File("in/out/out")));
    EXPECT_EQ(CountEndingIn("Descending into '" + temp.File("in/out") + "'"), 0);
    EXPECT_EQ(CountEndingIn(" i Descending into '" + temp.File("in/sub/deeper") + "'"), 1);
  }
}

}  // namespace
