// The preview's measurements and its refusals: every pair lands in the
// constellation (a periodic two-tone shows all of its points, an
// incommensurate one fills its ring), tones and the window chosen from them,
// -range, names that are no SVG, and tags that are no usable CLOCK or no
// UTF-8, which must never reach the document as nan, inf or bad bytes.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/TextSafety.h"
#include "level/Spectrum.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/SvgPreview.h"

namespace {

namespace ts = testing_support;

std::vector<std::string> gLines;
void CaptureLine(const std::string& line) { gLines.push_back(line); }

// KVG words of a0 e^(2 pi i f0 n) + a1 e^(2 pi i f1 n), f in cycles per sample.
std::vector<std::uint16_t> TwoToneWords(int pairs, double a0, double f0, double a1, double f1) {
  return ts::MakeWords(pairs, [&](int n, int half) {
    const double p0 = 2.0 * std::numbers::pi * f0 * n, p1 = 2.0 * std::numbers::pi * f1 * n;
    const double v =
        half == 0 ? a0 * std::cos(p0) + a1 * std::cos(p1) : a0 * std::sin(p0) + a1 * std::sin(p1);
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767.0)));
  });
}

std::string KvgFile(const std::vector<std::uint16_t>& words, const std::string& clock,
                    const std::string& comment = "two-tone") {
  ts::WaveFileBuilder file;
  file.Tag("TYPE", " KVG-WV,0").Tag("COMMENT", comment).Tag("CLOCK", clock).Data(words);
  return file.bytes();
}

// Radius (full scale) of the centre of a constellation cell.
double CellRadius(int iCell, int qCell) {
  const double i = ((iCell + 0.5) * 256.0 - 32768.0) / 32767.0;
  const double q = ((qCell + 0.5) * 256.0 - 32768.0) / 32767.0;
  return std::hypot(i, q);
}

class SvgPreview : public ::testing::Test {
 protected:
  void SetUp() override {
    gLines.clear();
    SetLogSink(CaptureLine);
    SetLogMask(15);
  }
  void TearDown() override { SetLogSink(nullptr); }
  bool Logged(const std::string& part) const {
    for (const std::string& line : gLines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  ts::TempDir dir;
};

TEST_F(SvgPreview, TwoToneConstellationHoldsEveryPairOnItsRing) {
  // 0.4 at +1 MHz and 0.3 at -2.5 MHz with a 10 MHz clock repeat every 20
  // pairs: 20 sharp points at radii from 0.1 to 0.7, every one of them
  // holding a twentieth of the pairs (a subsample every k-th pair would see
  // one or two of them).
  const int pairs = 200000;
  ts::WriteFileText(dir.File("two.wv"), KvgFile(TwoToneWords(pairs, 0.4, 0.1, 0.3, -0.25), "1e7"));
  PreviewData data;
  ASSERT_EQ(CollectPreview(dir.File("two.wv"), PreviewRange{}, &data), 1);
  EXPECT_EQ(data.constellation.Total(), static_cast<std::uint64_t>(pairs));
  int occupied = 0;
  double smallest = 2.0, largest = 0.0;
  for (int i = 0; i < kConstellationCells; ++i) {
    for (int q = 0; q < kConstellationCells; ++q) {
      const std::uint64_t count = data.constellation.Count(i, q);
      if (count == 0) continue;
      ++occupied;
      EXPECT_EQ(count % (pairs / 20), 0u) << i << "," << q;
      smallest = std::min(smallest, CellRadius(i, q));
      largest = std::max(largest, CellRadius(i, q));
    }
  }
  EXPECT_EQ(occupied, 20);
  EXPECT_NEAR(smallest, 0.1, 0.01);
  EXPECT_NEAR(largest, 0.7, 0.01);

  // The tones named at their frequencies and levels, and the window of about
  // 20 periods of the strongest (0.1 cycles per sample: 200 pairs).
  double floor = 0.0;
  const std::vector<SpectrumTone> tones = FindTones(data.spectrum, 5, 6.0, &floor);
  ASSERT_GE(tones.size(), 2u);
  EXPECT_NEAR(tones[0].bin / static_cast<double>(data.bins), 0.1, 1e-4);
  EXPECT_NEAR(10 * std::log10(tones[0].power), 20 * std::log10(0.4), 0.1);
  EXPECT_NEAR(tones[1].bin / static_cast<double>(data.bins), -0.25, 1e-4);
  EXPECT_NEAR(10 * std::log10(tones[1].power), 20 * std::log10(0.3), 0.1);
  EXPECT_EQ(data.windowFirst, 0);
  EXPECT_EQ(data.windowCount, 200);
  EXPECT_EQ(data.windowI.size(), 200u);
  EXPECT_LE(static_cast<std::size_t>(data.segments), kPreviewMaxSegments);
}

TEST_F(SvgPreview, IncommensurateTwoToneFillsTheRingBetweenItsCircles) {
  // Frequencies with no short common period: the sum sweeps the whole ring
  // from |0.4 - 0.3| to 0.4 + 0.3, and nothing lies outside it.
  ts::WriteFileText(dir.File("ring.wv"),
                    KvgFile(TwoToneWords(300000, 0.4, 0.1031, 0.3, -0.2513), "1e7"));
  PreviewData data;
  ASSERT_EQ(CollectPreview(dir.File("ring.wv"), PreviewRange{}, &data), 1);
  std::set<int> bands;  // radius bands of 0.05 that hold pairs
  for (int i = 0; i < kConstellationCells; ++i) {
    for (int q = 0; q < kConstellationCells; ++q) {
      if (data.constellation.Count(i, q) == 0) continue;
      const double r = CellRadius(i, q);
      EXPECT_GT(r, 0.09);
      EXPECT_LT(r, 0.71);
      bands.insert(static_cast<int>(r / 0.05));
    }
  }
  for (int band = 2; band < 14; ++band) EXPECT_TRUE(bands.count(band)) << "radius " << band * 0.05;
}

TEST_F(SvgPreview, RangeChoosesTheWindowAndIsChecked) {
  const std::vector<std::uint16_t> words = ts::MakeWords(
      3000, [](int k, int half) { return static_cast<std::uint16_t>(half == 0 ? k : -k); });
  ts::WriteFileText(dir.File("ramp.wv"), KvgFile(words, "1e6"));
  PreviewRange range;
  ASSERT_TRUE(ParsePreviewRange("100:50", &range));
  PreviewData data;
  ASSERT_EQ(CollectPreview(dir.File("ramp.wv"), range, &data), 1);
  EXPECT_EQ(data.windowFirst, 100);
  ASSERT_EQ(data.windowI.size(), 50u);
  EXPECT_FLOAT_EQ(data.windowI[0], static_cast<float>(100 / 32767.0));
  EXPECT_FLOAT_EQ(data.windowQ[49], static_cast<float>(-149 / 32767.0));

  // Cut at the end of the file; longer than the points drawn: an envelope.
  PreviewData cut;
  ASSERT_TRUE(ParsePreviewRange("0:5000", &range));
  ASSERT_EQ(CollectPreview(dir.File("ramp.wv"), range, &cut), 1);
  EXPECT_EQ(cut.windowCount, 3000);
  EXPECT_TRUE(cut.windowAsEnvelope);
  EXPECT_EQ(cut.windowEnvelope.maxI.back(), 2999);
  EXPECT_EQ(cut.windowEnvelope.minI.front(), 0);

  ASSERT_TRUE(ParsePreviewRange("3000:1", &range));
  PreviewData beyond;
  EXPECT_EQ(CollectPreview(dir.File("ramp.wv"), range, &beyond), 0);
  EXPECT_TRUE(Logged("*** The range starts at pair 3000, but the file holds 3000 pairs."));

  for (const char* bad :
       {"", "5", ":5", "5:", "1:0", "-1:5", "1:-5", "a:b", "1:2:3", " 1:2", "1:2x"})
    EXPECT_FALSE(ParsePreviewRange(bad, &range)) << bad;
  EXPECT_EQ(WriteWaveformPreview(dir.File("ramp.wv"), dir.File("p.svg"), true, "1:0"), 0);
  EXPECT_TRUE(Logged("*** Invalid range '1:0'"));
  EXPECT_FALSE(ts::FileExistsForTest(dir.File("p.svg")));
}

// A comment of the full 511 characters (multi-byte ones among them) is
// wrapped onto lines that fit the page, every character kept.
TEST_F(SvgPreview, LongCommentIsWrappedOntoTheCaptionWhole) {
  std::string comment;
  while (comment.size() < 480) comment += "word\xC3\xA9 ";
  comment += std::string(511 - comment.size(), 'x');
  ts::WriteFileText(dir.File("in.wv"), KvgFile(TwoToneWords(500, 0.5, 0.01, 0, 0), "1e6", comment));
  ASSERT_EQ(WriteWaveformPreview(dir.File("in.wv"), dir.File("p.svg")), 1);
  const std::string svg = ts::ReadFileText(dir.File("p.svg"));
  std::string joined;
  for (std::size_t at = svg.find(">COMMENT: "); at != std::string::npos;) {
    const std::size_t end = svg.find('<', at);
    std::string text = svg.substr(at + 1, end - at - 1);
    std::size_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    EXPECT_LE(chars, 128u) << text;
    joined += joined.empty() ? text : " " + text.substr(4);
    // The next caption line continues the comment when it is indented.
    at = svg.find(">    ", end);
    if (at != std::string::npos && svg.find(">COPYRIGHT: ", end) < at) break;
  }
  EXPECT_EQ(joined, "COMMENT: " + comment);
}

TEST_F(SvgPreview, OnlySvgNamesAreWritten) {
  ts::WriteFileText(dir.File("in.wv"), KvgFile(TwoToneWords(500, 0.5, 0.01, 0, 0), "1e6"));
  for (const char* name : {"x.png", "x.svgz", "svg", "x.svg.txt", "x"}) {
    gLines.clear();
    EXPECT_EQ(WriteWaveformPreview(dir.File("in.wv"), dir.File(name)), 0) << name;
    EXPECT_TRUE(Logged("*** The preview is an SVG picture: its name must end in .svg")) << name;
  }
  EXPECT_EQ(ts::ListNames(dir.path()), std::vector<std::string>{"in.wv"});
  for (const char* name : {"a.svg", "b.SVG", "c.Svg"})
    EXPECT_EQ(WriteWaveformPreview(dir.File("in.wv"), dir.File(name)), 1) << name;
}

TEST_F(SvgPreview, BadTagsGiveAnAxisInCyclesPerSampleAndCleanText) {
  const std::string comment =
      "overlong \xE0\x80\x80 surrogate \xED\xA0\x80 big \xF4\x90\x80\x80 nc \xEF\xBF\xBE"
      "\xEF\xBF\xBF esc \x1b bel \x07 <&>";
  const std::vector<std::uint16_t> words = TwoToneWords(5000, 0.5, 0.05, 0.1, -0.2);
  for (const char* clock : {"0", "nan", "inf", "-inf", "-5", "1e300", "abc"}) {
    ts::WriteFileText(dir.File("c.wv"), KvgFile(words, clock, comment));
    ASSERT_EQ(WriteWaveformPreview(dir.File("c.wv"), dir.File("c.svg")), 1) << clock;
    const std::string svg = ts::ReadFileText(dir.File("c.svg"));
    for (const char* bad : {"nan", "inf", "NaN", "INF", "Inf"})
      EXPECT_FALSE(ts::Contains(svg, bad)) << clock << ": " << bad;
    EXPECT_TRUE(ts::Contains(svg, "Frequency (cycles per sample")) << clock;
    EXPECT_TRUE(ts::Contains(svg, "Time (samples)")) << clock;
    EXPECT_TRUE(ts::Contains(svg, "tone 1: 0.0500")) << clock;
    // Only characters, no control byte: an XML parser takes it.
    for (std::size_t pos = 0; pos < svg.size();) {
      const std::size_t at = pos;
      char32_t c = 0;
      ASSERT_TRUE(NextCodePoint(svg, &pos, &c)) << clock << " at " << at;
      ASSERT_TRUE(IsCharacter(c) && (c >= 0x20 || c == '\n')) << clock << " at " << at;
    }
    EXPECT_EQ(ts::Count(svg, kReplacementCharacter), 3 + 3 + 4 + 2) << clock;
    EXPECT_TRUE(ts::Contains(svg, "esc \\x1b bel \\x07 &lt;&amp;&gt;")) << clock;
  }
}

}  // namespace
