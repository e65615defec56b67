// Big-endian (RIFX) WAV files of every encoding and depth, and WAV files of
// one real channel: the values against the conversion formulas, read as I
// with Q = 0 for the real ones; the log names what was found before any
// refusal.
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>

#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"
#include "import/SampleUnits.h"

namespace {

using format_files::Bytes;
using format_files::MakeWav;
using format_files::PutBE;
using format_files::PutLE;
using format_files::WavSpec;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using sample_units::Floats;
using sample_units::Integers;
using sample_units::kFloats;
using sample_units::kSigned16;
using sample_units::kSigned24;
using sample_units::kSigned32;
using sample_units::kUnsigned8;
using sample_units::Units;
using sample_units::WithZeroQ;

struct Encoding {
  const char* name;
  std::uint16_t tag;
  std::uint16_t bits;
  std::function<Units(bool bigEndian)> units;
};

std::vector<Encoding> EveryEncoding() {
  return {
      {"pcm8", 1, 8,
       [](bool) {
         // Single bytes, unsigned, in either container.
         return Integers(kUnsigned8, 1, false, [](std::int64_t u) { return (u - 128.0) / 128.0; });
       }},
      {"pcm16", 1, 16,
       [](bool be) {
         return Integers(kSigned16, 2, be, [](std::int64_t s) { return (s - 0.5) / 32767.0; });
       }},
      {"pcm24", 1, 24,
       [](bool be) {
         return Integers(kSigned24, 3, be, [](std::int64_t s) { return s / 8388607.0; });
       }},
      {"pcm32", 1, 32,
       [](bool be) {
         return Integers(kSigned32, 4, be, [](std::int64_t s) { return s / 2147483647.0; });
       }},
      {"float32", 3, 32, [](bool be) { return Floats(kFloats, false, be); }},
      {"float64", 3, 64, [](bool be) { return Floats(kFloats, true, be); }},
  };
}

TEST_F(RawImportTest, RifxFilesOfEveryEncodingReadBigEndianFieldsAndSamples) {
  for (const Encoding& e : EveryEncoding()) {
    for (int extensible : {0, 1, 2}) {
      for (int channels : {2, 1}) {
        SCOPED_TRACE(std::string(e.name) +
                     (extensible == 1   ? " extensible"
                      : extensible == 2 ? " extensible, 16-bit tag GUID"
                                        : "") +
                     (channels == 1 ? " mono" : " stereo"));
        Fresh();
        info_.clock = 0.0;
        const Units units = e.units(true);
        WavSpec spec;
        spec.container = "RIFX";
        spec.tag = e.tag;
        spec.bits = e.bits;
        spec.channels = static_cast<std::uint16_t>(channels);
        spec.extensible = extensible > 0;
        spec.guidTagOnly = extensible == 2;
        spec.rate = 2500000;
        spec.oddChunkBefore = true;
        spec.data = units.bytes;
        ASSERT_EQ(Import(kFormatWav, WriteInput("be.wav", MakeWav(spec))), 1) << AllLines();
        const std::vector<float> expected = channels == 1 ? WithZeroQ(units.values) : units.values;
        ExpectSameFloats(StoredFloats(), ModelImport(expected).stored);
        EXPECT_EQ(info_.clock, 2.5e6);
        EXPECT_EQ(info_.samples, static_cast<std::int32_t>(expected.size() / 2));
        ExpectSlotsFree();
      }
    }
  }
}

TEST_F(RawImportTest, MonoWavOfEveryDepthIsReadAsIWithZeroQ) {
  for (const Encoding& e : EveryEncoding()) {
    SCOPED_TRACE(e.name);
    Fresh();
    const Units units = e.units(false);
    WavSpec spec;
    spec.tag = e.tag;
    spec.bits = e.bits;
    spec.channels = 1;
    spec.data = units.bytes;
    ASSERT_EQ(Import(kFormatWav, WriteInput("mono.wav", MakeWav(spec))), 1) << AllLines();
    ExpectSameFloats(StoredFloats(), ModelImport(WithZeroQ(units.values)).stored);
    EXPECT_TRUE(Logged("Real samples (one channel): read as I with Q = 0.")) << AllLines();
    EXPECT_TRUE(LoggedContaining(", 1 channel (real), 1000000 frames per second.")) << AllLines();
    EXPECT_FALSE(LoggedContaining("2 channels")) << AllLines();
  }
  // The line of a two-channel file says so, and no real-sample line follows.
  Fresh();
  WavSpec stereo;
  stereo.data =
      Integers(kSigned16, 2, false, [](std::int64_t s) { return (s - 0.5) / 32767.0; }).bytes;
  ASSERT_EQ(Import(kFormatWav, WriteInput("iq.wav", MakeWav(stereo))), 1) << AllLines();
  EXPECT_TRUE(Logged("WAV header: RIFF, PCM 16-bit, 2 channels (I, Q), 1000000 frames per second."))
      << AllLines();
  EXPECT_FALSE(LoggedContaining("Real samples")) << AllLines();
}

TEST_F(RawImportTest, RefusedWavFilesAreDescribedBeforeTheRefusal) {
  struct Case {
    std::string container;
    std::uint16_t tag;
    std::uint16_t channels;
    std::uint16_t bits;
    std::string found;
    std::string refusal;
  };
  const Case cases[] = {
      {"RIFF", 1, 3, 16, "WAV header: RIFF, PCM 16-bit, 3 channels, 1000000 frames per second.",
       "*** Error: WAV file has 3 channels; only 2 (I, Q) or 1 (real"},
      {"RIFX", 1, 6, 24, "WAV header: RIFX, PCM 24-bit, 6 channels, 1000000 frames per second.",
       "*** Error: WAV file has 6 channels"},
      {"RF64", 3, 1, 16,
       "WAV header: RF64, IEEE float 16-bit, 1 channel (real), 1000000 frames per second.",
       "*** Error: WAV encoding IEEE float 16-bit is not supported"},
      {"RIFX", 7, 2, 8,
       "WAV header: RIFX, format tag 0x0007, 8-bit, 2 channels (I, Q), 1000000 frames per "
       "second.",
       "*** Error: WAV encoding format tag 0x0007, 8-bit is not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.found);
    Fresh();
    WavSpec spec;
    spec.container = c.container;
    spec.tag = c.tag;
    spec.channels = c.channels;
    spec.bits = c.bits;
    spec.data = Bytes(static_cast<std::size_t>(c.channels) * c.bits / 8 * 4, 0);
    EXPECT_EQ(Import(kFormatWav, WriteInput("bad.wav", MakeWav(spec))), 0);
    const auto& lines = raw_import_test::CapturedLines();
    const auto found = std::find(lines.begin(), lines.end(), c.found);
    ASSERT_NE(found, lines.end()) << AllLines();
    const auto refusal = std::find_if(
        found, lines.end(), [&](const std::string& line) { return line.rfind(c.refusal, 0) == 0; });
    EXPECT_NE(refusal, lines.end()) << "no refusal after the description\n" << AllLines();
    // Nothing claims two I/Q channels for a file refused for its channels.
    if (c.channels != 2) {
      EXPECT_FALSE(LoggedContaining("2 channels")) << AllLines();
    }
    ExpectSlotsFree();
  }
}

}  // namespace
