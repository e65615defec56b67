// Damaged waveform files as the inspection reports them: each fault of a tag,
// a marker list or the data tag gives its own problem, in the order found, and
// a fault that leaves the words unknown ends the parse without reading them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/WaveformInspect.h"

namespace {

namespace ts = testing_support;
using Problems = std::vector<std::string>;

const std::string kType = "{TYPE: KVG-WV,0}";
// Four pairs of words and the closing brace.
const std::string kWords =
    ts::WaveFileBuilder().Data(std::vector<std::uint16_t>(8, 0x0100)).bytes();

struct Case {
  const char* what;
  std::string file;
  Problems problems;
  bool wordsRead;  // the parse reached the words
};

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      {"unknown type", "{TYPE: FOO-WV,0}" + kWords, {"TYPE 'FOO-WV' is not a waveform type"}, true},
      {"samples not positive",
       kType + "{SAMPLES: -3}" + kWords,
       {"SAMPLES '-3' is not positive", "SAMPLES says -3, the words present make 4 pairs"},
       true},
      {"level offsets unreadable",
       kType + "{LEVEL OFFS: abc}" + kWords,
       {"LEVEL OFFS 'abc' is invalid"},
       true},
      {"comment over the content limit",
       kType + "{COMMENT: " + std::string(1030, 'c') + "}" + kWords,
       {"COMMENT content is 1030 characters long (at most 1024)"},
       true},
      {"marker list of no marker",
       kType + "{MARKER LIST 7: 0:1}{MARKER LIST x: 0:1}" + kWords,
       {"invalid marker list 'MARKER LIST 7'", "invalid marker list 'MARKER LIST x'"},
       true},
      {"invalid entries, the first reported",
       kType + "{MARKER LIST 2: 0:1;5:2;7-9:1;abc;8:0}" + kWords,
       {"MARKER LIST 2: invalid entry '5:2'"},
       true},
      {"entry longer than the content limit",
       kType + "{MARKER LIST 3: 0:1;" + std::string(1100, '7') + ":1}" + kWords,
       {"MARKER LIST 3: invalid entry '" + std::string(40, '7') + "'"},
       true},
      {"file ends before the '#'",
       kType + "{WAVEFORM-10: abc",
       {"the file ends before the '#' of WAVEFORM-10"},
       false},
      {"text before the '#' too long",
       kType + "{WAVEFORM-2000: " + std::string(1100, 'x') + "#" + std::string(900, '\0') + "}",
       {"the text before the '#' of WAVEFORM-2000 is too long"},
       false},
      {"brace at once instead of '#'",
       kType + "{WAVEFORM-9:}" + std::string(8, '\x01') + "}",
       {"WAVEFORM-9 holds no '#' before its closing brace"},
       true},
      {"text and a brace instead of '#'",
       kType + "{WAVEFORM-9: abc}" + std::string(8, '\x01') + "}",
       {"WAVEFORM-9 holds no '#' before its closing brace"},
       false},
      {"data tag without a count",
       kType + "{WAVEFORM: #" + std::string(8, '\x01') + "}",
       {"data tag 'WAVEFORM' carries no byte count"},
       false},
      {"data tag of no words",
       kType + "{WAVEFORM-1: #}",
       {"WAVEFORM-1 declares no sample words"},
       false},
      {"words of no whole pair",
       kType + "{WAVEFORM-8: #" + std::string(7, '\x01') + "}",
       {"WAVEFORM-8 declares 7 bytes of words, not a whole number of I/Q pairs"},
       true},
      {"tag name without ':'",
       kType + "{" + std::string(600, 'N'),
       {"tag name 'NNNNNNNNNN...' has no ':' (too long or cut off)"},
       false},
      {"tag cut off", kType + "{COMMENT: abc", {"tag 'COMMENT' has no closing brace"}, false},
      {"marker list cut off",
       kType + "{MARKER LIST 1: 0:1;4:0",
       {"tag 'MARKER LIST 1' has no closing brace"},
       false},
      {"marker list of no marker cut off",
       kType + "{MARKER LIST 9: 0:1",
       {"invalid marker list 'MARKER LIST 9'", "tag 'MARKER LIST 9' has no closing brace"},
       false},
  };
  // A marker followed through at most 16 tags: each repeat is reported, the
  // limit once.
  Case many{"eighteen lists of one marker", kType, {}, true};
  for (int k = 0; k < 18; ++k) {
    many.file += "{MARKER LIST 1: " + std::to_string(k) + ":1}";
    if (k > 0) many.problems.push_back("MARKER LIST 1 appears twice");
    if (k == 16)
      many.problems.push_back("more than 16 MARKER LIST 1 tags; the later ones are not followed");
  }
  many.file += kWords;
  cases.push_back(many);
  return cases;
}

TEST(WaveformProblems, EachFaultOfTheTagsIsReportedInTheOrderFound) {
  ts::TempDir dir;
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File("damaged.wv");
    ts::WriteFileText(path, c.file);
    WaveformReport report;
    ASSERT_EQ(InspectWaveform(path, &report), 1) << "a damaged file is a report, not a failure";
    EXPECT_FALSE(report.sound());
    EXPECT_EQ(report.header.problems, c.problems);
    EXPECT_EQ(report.header.path, path);
    if (c.wordsRead) {
      EXPECT_GT(report.stats.pairs, 0);
    } else {
      EXPECT_EQ(report.stats.pairs, 0) << "no words are read behind a broken data tag";
    }
  }
}

TEST(WaveformProblems, MarkerListsBeyondTheLimitAreNotFollowed) {
  // Of the eighteen lists, the sixteen followed are the ones read again.
  ts::TempDir dir;
  const Case many = Cases().back();
  ts::WriteFileText(dir.File("many.wv"), many.file);
  WaveformHeader header;
  platform::FileHandle file = OpenWaveform(dir.File("many.wv"), &header);
  ASSERT_TRUE(file);
  EXPECT_EQ(header.markers[0].contentOffsets.size(), kMaxMarkerListTags + 1);
  EXPECT_EQ(header.markers[0].contentOffsets.back(), -1);
  EXPECT_EQ(header.markers[0].entryCount, 1) << "the last tag's entries";
  EXPECT_EQ(header.markerListEnd, 18);
}

}  // namespace
