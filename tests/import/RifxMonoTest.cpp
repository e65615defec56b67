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

namespace {

using format_files::Bytes;
using format_files::MakeWav;
using format_files::PutBE;
using format_files::PutLE;
using format_files::WavSpec;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;

struct Units {
  Bytes bytes;
  std::vector<float> values;  // one per unit
};

// Units of `bytes` bytes in the given order; value(raw) is the expected conversion.
Units Integers(const std::vector<std::int64_t>& raws, int bytes, bool bigEndian,
               const std::function<double(std::int64_t)>& value) {
  Units u;
  for (std::int64_t raw : raws) {
    if (bigEndian)
      PutBE(u.bytes, static_cast<std::uint64_t>(raw), bytes);
    else
      PutLE(u.bytes, static_cast<std::uint64_t>(raw), bytes);
    u.values.push_back(static_cast<float>(value(raw)));
  }
  return u;
}

Units Floats(const std::vector<double>& values, bool wide, bool bigEndian) {
  Units u;
  for (double v : values) {
    const std::uint64_t bits = wide ? std::bit_cast<std::uint64_t>(v)
                                    : std::bit_cast<std::uint32_t>(static_cast<float>(v));
    if (bigEndian)
      PutBE(u.bytes, bits, wide ? 8 : 4);
    else
      PutLE(u.bytes, bits, wide ? 8 : 4);
    u.values.push_back(static_cast<float>(v));
  }
  return u;
}

const std::vector<std::int64_t> kUnsigned8 = {0, 255, 128, 127, 1, 200, 64, 129};
const std::vector<std::int64_t> kSigned16 = {0, 1, -1, 32767, -32768, 12345, -23456, 100};
const std::vector<std::int64_t> kSigned24 = {0, 8388607, -8388608, 1, -1, 4000000, -123456, 77};
const std::vector<std::int64_t> kSigned32 = {0,     2147483647, -2147483647 - 1, 1, -1000000000,
                                             65536, -7,         1234567890};
const std::vector<double> kFloats = {0.5, -0.25, 0.125, 1.5, -0.001, 0.75, 1e-9, -0.3};

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

// I values of a real signal with Q = 0 beside each.
std::vector<float> WithZeroQ(const std::vector<float>& real) {
  std::vector<float> iq;
  for (float v : real) {
    iq.push_back(v);
    iq.push_back(0.0f);
  }
  return iq;
}

TEST_F(RawImportTest, RifxFilesOfEveryEncodingReadBigEndianFieldsAndSamples) {
  for (const Encoding& e : EveryEncoding()) {
    for (bool extensible : {false, true}) {
      for (int channels : {2, 1}) {
        SCOPED_TRACE(std::string(e.name) + (extensible ? " extensible" : "") +
                     (channels == 1 ? " mono" : " stereo"));
        Fresh();
        info_.clock = 0.0;
        const Units units = e.units(true);
        WavSpec spec;
        spec.container = "RIFX";
        spec.tag = e.tag;
        spec.bits = e.bits;
        spec.channels = static_cast<std::uint16_t>(channels);
        spec.extensible = extensible;
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
