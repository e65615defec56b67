// The readers of cu8, cs8, f64, WAV, NumPy and SigMF input: every variant's
// values against the conversion formulas, the clock and texts a file
// carries, malformed headers, and the safety net of the raw formats.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "import/FormatDetect.h"
#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"

namespace {

using format_files::Bytes;
using format_files::MakeNpy;
using format_files::MakeSigmfMeta;
using format_files::MakeWav;
using format_files::PutBE;
using format_files::PutLE;
using format_files::WavSpec;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;

// Encoded units and the full-scale values the tool must make of them.
struct Samples {
  Bytes bytes;
  std::vector<float> values;
};

// Integer units of `bytes` bytes each; value(raw) is the expected conversion.
Samples IntegerUnits(const std::vector<std::int64_t>& raws, int bytes, bool bigEndian,
                     const std::function<double(std::int64_t)>& value) {
  Samples s;
  for (std::int64_t raw : raws) {
    if (bigEndian)
      PutBE(s.bytes, static_cast<std::uint64_t>(raw), bytes);
    else
      PutLE(s.bytes, static_cast<std::uint64_t>(raw), bytes);
    s.values.push_back(static_cast<float>(value(raw)));
  }
  return s;
}

Samples FloatUnits(const std::vector<double>& values, bool wide, bool bigEndian) {
  Samples s;
  for (double v : values) {
    const std::uint64_t bits = wide ? std::bit_cast<std::uint64_t>(v)
                                    : std::bit_cast<std::uint32_t>(static_cast<float>(v));
    if (bigEndian)
      PutBE(s.bytes, bits, wide ? 8 : 4);
    else
      PutLE(s.bytes, bits, wide ? 8 : 4);
    s.values.push_back(static_cast<float>(v));
  }
  return s;
}

const std::vector<std::int64_t> kSigned16 = {0, 1, -1, 32767, -32768, 12345, -23456, 100};
const std::vector<std::int64_t> kSigned24 = {0, 8388607, -8388608, 1, -1, 4000000, -123456, 77};
const std::vector<std::int64_t> kSigned32 = {0,     2147483647, -2147483647 - 1, 1, -1000000000,
                                             65536, -7,         1234567890};
const std::vector<double> kFloats = {0.5, -0.25, 0.125, 1.5, -0.001, 0.75, 1e-9, -0.3};

double Int16Formula(std::int64_t s) { return (s - 0.5) / 32767.0; }

// Every byte value as I, its complement as Q.
std::vector<std::int64_t> AllBytes(bool isSigned) {
  std::vector<std::int64_t> raws;
  for (int b = 0; b < 256; ++b) {
    for (int v : {b, 255 - b}) raws.push_back(isSigned ? static_cast<std::int8_t>(v) : v);
  }
  return raws;
}

TEST_F(RawImportTest, RawEightAndSixtyFourBitLayoutsConvertEveryValue) {
  struct Case {
    InputFormat format;
    Samples samples;
  };
  const Case cases[] = {
      {kFormatCu8,
       IntegerUnits(AllBytes(false), 1, false, [](std::int64_t u) { return (u - 127.5) / 128.0; })},
      {kFormatCs8,
       IntegerUnits(AllBytes(true), 1, false, [](std::int64_t s) { return s / 128.0; })},
      {kFormatF64le, FloatUnits(kFloats, true, false)},
      {kFormatF64be, FloatUnits(kFloats, true, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(FindInputFormat(c.format)->keyword);
    Fresh();
    Bytes bytes = c.samples.bytes;
    bytes.push_back(0x55);  // a trailing partial unit (8-bit: an I without Q) ...
    const std::string path = WriteInput("in.raw", bytes);
    if (c.format == kFormatCu8 || c.format == kFormatCs8) {
      ASSERT_EQ(Import(c.format, path), 0);  // ... is an error for one-byte units
      EXPECT_TRUE(Logged("*** Error: No Q data available for I sample.")) << AllLines();
      Fresh();
      WriteInput("in.raw", c.samples.bytes);
    }
    ASSERT_EQ(Import(c.format, path), 1) << AllLines();
    ExpectSameFloats(StoredFloats(), ModelImport(c.samples.values).stored);
    EXPECT_EQ(info_.samples, static_cast<std::int32_t>(c.samples.values.size() / 2));
    ExpectSlotsFree();
  }
  // A NaN or a huge value in 64-bit floats is refused like in 32-bit ones.
  Fresh();
  const std::string bad = WriteInput(
      "bad.raw",
      FloatUnits({0.1, 0.2, std::numeric_limits<double>::quiet_NaN(), 0.0}, true, false).bytes);
  EXPECT_EQ(Import(kFormatF64le, bad), 0);
  EXPECT_TRUE(Logged("    (DataPoint=1, I=nan, Q=0.000)")) << AllLines();
  ExpectSlotsFree();
}

TEST_F(RawImportTest, WavVariantsConvertWithTheirClock) {
  struct Case {
    const char* name;
    WavSpec spec;
    Samples samples;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, std::uint16_t tag, std::uint16_t bits, Samples samples,
                 const std::function<void(WavSpec&)>& tweak = nullptr) {
    WavSpec spec;
    spec.tag = tag;
    spec.bits = bits;
    spec.data = samples.bytes;
    if (tweak) tweak(spec);
    cases.push_back({name, spec, samples});
  };
  add("pcm8", 1, 8,
      IntegerUnits(AllBytes(false), 1, false, [](std::int64_t u) { return (u - 128.0) / 128.0; }));
  // 16-bit converts exactly like the same words read as i16le.
  add("pcm16", 1, 16, IntegerUnits(kSigned16, 2, false, Int16Formula));
  add("pcm24", 1, 24,
      IntegerUnits(kSigned24, 3, false, [](std::int64_t s) { return s / 8388607.0; }));
  add("pcm32", 1, 32,
      IntegerUnits(kSigned32, 4, false, [](std::int64_t s) { return s / 2147483647.0; }));
  add("float32", 3, 32, FloatUnits(kFloats, false, false));
  add("float64", 3, 64, FloatUnits(kFloats, true, false));
  const Samples pcm16 = IntegerUnits(kSigned16, 2, false, Int16Formula);
  add("extensible pcm16", 1, 16, pcm16, [](WavSpec& s) { s.extensible = true; });
  add("extensible float32", 3, 32, FloatUnits(kFloats, false, false),
      [](WavSpec& s) { s.extensible = true; });
  add("rf64 with ds64 size", 1, 16, pcm16, [](WavSpec& s) { s.container = "RF64"; });
  add("bw64", 1, 16, pcm16, [](WavSpec& s) { s.container = "BW64"; });
  add("odd chunk before, chunk after", 1, 16, pcm16, [](WavSpec& s) {
    s.oddChunkBefore = true;
    s.chunkAfter = true;
  });
  add("size 0 runs to the end", 1, 16, pcm16, [](WavSpec& s) { s.dataSizeField = 0; });
  add("size 0xFFFFFFFF runs to the end", 1, 16, pcm16,
      [](WavSpec& s) { s.dataSizeField = 0xFFFFFFFFu; });

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    info_.clock = 0.0;  // no -clock: the file's rate
    const std::string path = WriteInput("in.wav", MakeWav(c.spec));
    ASSERT_EQ(Import(kFormatWav, path), 1) << AllLines();
    ExpectSameFloats(StoredFloats(), ModelImport(c.samples.values).stored);
    EXPECT_EQ(info_.clock, 1e6);
    EXPECT_EQ(info_.markerClock, 1e6);
    ExpectSlotsFree();
  }

  // -clock wins over the file's rate, with a warning line.
  Fresh();
  const unsigned mask = GetLogMask();
  SetLogMask(LogMaskForVerbosity(2));
  info_.clock = 5e6;
  WavSpec spec;
  spec.data = pcm16.bytes;
  ASSERT_EQ(Import(kFormatWav, WriteInput("in.wav", MakeWav(spec))), 1);
  EXPECT_EQ(info_.clock, 5e6);
  EXPECT_TRUE(
      LoggedContaining("The clock of -clock (5000000.000 Hz) is used instead of the "
                       "sample rate of the WAV file (1000000.000 Hz)."))
      << AllLines();
  SetLogMask(mask);
}

TEST_F(RawImportTest, MalformedWavFilesAreRefusedNamingWhatWasFound) {
  const Bytes pcm16 = IntegerUnits(kSigned16, 2, false, Int16Formula).bytes;
  struct Case {
    std::function<void(WavSpec&)> tweak;
    std::string message;
  };
  const Case cases[] = {
      {[](WavSpec& s) { s.channels = 3; },
       "*** Error: WAV file has 3 channels; only 2 (I, Q) or 1 (real, read as I with Q = 0) are "
       "supported."},
      {[](WavSpec& s) { s.channels = 4; }, "WAV file has 4 channels"},
      {[](WavSpec& s) { s.tag = 2; }, "*** Error: WAV encoding format tag 0x0002, 16-bit is not"},
      {[](WavSpec& s) { s.bits = 12; }, "*** Error: WAV encoding PCM 12-bit is not supported"},
      {[](WavSpec& s) { s.tag = 3; }, "*** Error: WAV encoding IEEE float 16-bit is not"},
      {[](WavSpec& s) { s.blockAlign = 6; }, "WAV block align of 6 bytes does not match"},
      {[](WavSpec& s) {
         s.extensible = true;
         s.foreignGuid = true;
       },
       "*** Error: WAV extensible sub-format is neither PCM nor IEEE float."},
      {[](WavSpec& s) { s.dataBeforeFmt = true; }, "*** Error: WAV data chunk comes before any"},
      {[](WavSpec& s) { s.dataSizeField = 1000; },
       "*** Error: WAV data chunk holds 1000 bytes, but the file ends after 16 of them."},
      {[](WavSpec& s) { s.container = "RIFY"; }, "*** Error: Not a WAV file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Fresh();
    WavSpec spec;
    spec.data = pcm16;
    c.tweak(spec);
    EXPECT_EQ(Import(kFormatWav, WriteInput("bad.wav", MakeWav(spec))), 0);
    EXPECT_TRUE(LoggedContaining(c.message)) << AllLines();
    ExpectSlotsFree();
  }
  // Cut inside the header, and a header without a data chunk.
  WavSpec spec;
  spec.data = pcm16;
  const Bytes whole = MakeWav(spec);
  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{30}, std::size_t{40}}) {
    Fresh();
    const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(Import(kFormatWav, WriteInput("cut.wav", part)), 0) << cut;
    EXPECT_TRUE(LoggedContaining("*** Error: ")) << AllLines();
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, NumpyArraysOfEveryAcceptedDtype) {
  struct Case {
    int major;
    std::string descr;
    std::string shape;
    Samples samples;
  };
  const Samples floats = FloatUnits(kFloats, false, false);
  const Case cases[] = {
      {1, "<c8", "(4,)", floats},
      {2, ">c8", "(4,)", FloatUnits(kFloats, false, true)},
      {3, "<c16", "(4,)", FloatUnits(kFloats, true, false)},
      {1, ">c16", "(4,)", FloatUnits(kFloats, true, true)},
      {1, "<f4", "(4, 2)", floats},
      {2, "<i2", "(4, 2)", IntegerUnits(kSigned16, 2, false, Int16Formula)},
      {1, ">i2", "(4, 2)", IntegerUnits(kSigned16, 2, true, Int16Formula)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.descr + " " + c.shape);
    Fresh();
    const std::string path =
        WriteInput("a.npy", MakeNpy(c.major, c.descr, c.shape, false, c.samples.bytes));
    ASSERT_EQ(Import(kFormatNpy, path), 1) << AllLines();
    ExpectSameFloats(StoredFloats(), ModelImport(c.samples.values).stored);
    ExpectSlotsFree();
  }

  struct Bad {
    int major;
    std::string descr;
    std::string shape;
    bool fortran;
    std::string message;
  };
  const Bad bad[] = {
      {1, "<u2", "(4,)", false, "*** Error: NumPy dtype '<u2' with shape (4,) is not supported"},
      {1, "<f8", "(2, 2, 2)", false, "NumPy dtype '<f8' with shape (2, 2, 2) is not supported"},
      {1, "<c8", "(2, 2)", false, "NumPy dtype '<c8' with shape (2, 2) is not supported"},
      {1, "<f4", "(4, 3)", false, "NumPy dtype '<f4' with shape (4, 3) is not supported"},
      {1, "<f4", "(4, 2)", true, "is in Fortran (column) order"},
      {4, "<c8", "(4,)", false, "*** Error: NumPy format version 4.0 is not supported"},
      {1, "<c8", "(5,)", false, "needs 40 data bytes, but the file holds 32."},
      {1, "<c8", "[4]", false, "*** Error: NumPy header cannot be read"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.message);
    Fresh();
    EXPECT_EQ(Import(kFormatNpy, WriteInput("b.npy", MakeNpy(b.major, b.descr, b.shape, b.fortran,
                                                             floats.bytes))),
              0);
    EXPECT_TRUE(LoggedContaining(b.message)) << AllLines();
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, SigmfPairsOfEveryComplexDatatype) {
  struct Case {
    std::string datatype;
    Samples samples;
  };
  auto unsignedValues = [](int bits) {
    const std::int64_t max = (std::int64_t{1} << bits) - 1;
    return std::vector<std::int64_t>{0, max, max / 2, max / 2 + 1, 1, max - 1, 3, 5};
  };
  std::vector<Case> cases;
  for (bool be : {false, true}) {
    const std::string order = be ? "_be" : "_le";
    cases.push_back({"cf32" + order, FloatUnits(kFloats, false, be)});
    cases.push_back({"cf64" + order, FloatUnits(kFloats, true, be)});
    cases.push_back({"ci32" + order, IntegerUnits(kSigned32, 4, be, [](std::int64_t s) {
                       return s / 2147483647.0;
                     })});
    cases.push_back({"ci16" + order, IntegerUnits(kSigned16, 2, be, Int16Formula)});
    cases.push_back({"cu32" + order, IntegerUnits(unsignedValues(32), 4, be, [](std::int64_t u) {
                       return (u - 2147483647.5) / 2147483648.0;
                     })});
    cases.push_back({"cu16" + order, IntegerUnits(unsignedValues(16), 2, be, [](std::int64_t u) {
                       return (u - 32767.5) / 32768.0;
                     })});
  }
  cases.push_back(
      {"ci8", IntegerUnits(AllBytes(true), 1, false, [](std::int64_t s) { return s / 128.0; })});
  cases.push_back({"cu8", IntegerUnits(AllBytes(false), 1, false,
                                       [](std::int64_t u) { return (u - 127.5) / 128.0; })});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datatype);
    Fresh();
    info_.clock = 0.0;
    testing_support::WriteFileText(
        dir_.File("rec.sigmf-meta"),
        MakeSigmfMeta("\"core:datatype\": \"" + c.datatype + "\", \"core:sample_rate\": 2.5e6"));
    const std::string data = WriteInput("rec.sigmf-data", c.samples.bytes);
    // Either file of the pair names the recording.
    for (const std::string& input : {data, dir_.File("rec.sigmf-meta")}) {
      Fresh();
      info_.clock = 0.0;
      ASSERT_EQ(Import(kFormatSigmf, input), 1) << AllLines();
      ExpectSameFloats(StoredFloats(), ModelImport(c.samples.values).stored);
      EXPECT_EQ(info_.clock, 2.5e6);
    }
    ExpectSlotsFree();
  }
}

TEST_F(RawImportTest, SigmfMetadataFieldsAndRefusals) {
  const Samples samples = IntegerUnits(kSigned16, 2, false, Int16Formula);
  // Seven header bytes, then the samples.
  Bytes withHeader(7 + samples.bytes.size(), 0xEE);
  std::copy(samples.bytes.begin(), samples.bytes.end(), withHeader.begin() + 7);
  WriteInput("other.bin", withHeader);
  const std::string longText(600, 'x');
  testing_support::WriteFileText(
      dir_.File("rec.sigmf-meta"),
      MakeSigmfMeta("\"core:datatype\": \"ci16_le\", \"core:sample_rate\": 1e6, "
                    "\"core:dataset\": \"other.bin\", \"core:description\": \"" +
                        longText + "\", \"core:author\": \"Ann {lab}\\nB\"",
                    "\"core:header_bytes\": 7"));
  info_.clock = 0.0;
  ASSERT_EQ(Import(kFormatSigmf, dir_.File("rec.sigmf-meta")), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), ModelImport(samples.values).stored);
  EXPECT_EQ(info_.comment, std::string(511, 'x'));
  EXPECT_TRUE(Logged("The SigMF description is longer than 511 characters; it is cut to 511."))
      << AllLines();
  EXPECT_EQ(info_.copyright, "Ann {lab) B");
  EXPECT_TRUE(Logged("'}' in the SigMF author is written as ')': it would end the tag."));

  // -comment and -copyright win over the metadata.
  Fresh();
  info_.comment = "mine";
  info_.copyright = "(c) me";
  ASSERT_EQ(Import(kFormatSigmf, dir_.File("rec.sigmf-meta")), 1) << AllLines();
  EXPECT_EQ(info_.comment, "mine");
  EXPECT_EQ(info_.copyright, "(c) me");
  EXPECT_EQ(info_.clock, 100e6) << "-clock wins";

  const std::pair<std::string, std::string> bad[] = {
      {"\"core:datatype\": \"rf16_le\"",
       "*** Error: SigMF datatype 'rf16_le' is not a known type."},
      {"\"core:datatype\": \"xi16_le\"",
       "*** Error: SigMF datatype 'xi16_le' is not a known type."},
      {"\"core:datatype\": \"ri8_le\"", "*** Error: SigMF datatype 'ri8_le' is not a known type."},
      {"\"core:datatype\": \"ri16_le\", \"core:num_channels\": 3",
       "*** Error: SigMF recording has 3 channels; only 1 is supported."},
      {"\"core:datatype\": \"ci16\"", "*** Error: SigMF datatype 'ci16' is not a known type."},
      {"\"core:datatype\": \"cu8\", \"core:num_channels\": 2",
       "*** Error: SigMF recording has 2 channels; only 1 is supported."},
      {"\"core:sample_rate\": 1e6", "*** Error: SigMF metadata has no core:datatype."},
      {"\"core:datatype\": \"cu8\", \"core:dataset\": \"../x\"", "is no file name beside"},
      {"\"core:datatype\": \"cu8\", \"core:sample_rate\": 7e8",
       "*** Error: The sample rate of the SigMF metadata, 700000000.000 Hz, is outside the clock "
       "range; give the clock with -clock."},
      {"\"core:datatype\": \"cu8\", \"core:sample_rate\": 500",
       "*** Error: The sample rate of the SigMF metadata, 500.000 Hz, is outside the clock "
       "range; give the clock with -clock."},
      {"\"core:datatype\": \"cu8\"",
       "*** Error: The SigMF metadata carries no sample rate; give the clock with -clock."},
  };
  for (const auto& [fields, message] : bad) {
    SCOPED_TRACE(message);
    Fresh();
    info_.clock = 0.0;
    testing_support::WriteFileText(dir_.File("bad.sigmf-meta"), MakeSigmfMeta(fields));
    WriteInput("bad.sigmf-data", samples.bytes);
    EXPECT_EQ(Import(kFormatSigmf, dir_.File("bad.sigmf-data")), 0);
    EXPECT_TRUE(LoggedContaining(message)) << AllLines();
    ExpectSlotsFree();
  }
  Fresh();
  testing_support::WriteFileText(dir_.File("j.sigmf-meta"), "{\"global\": {");
  EXPECT_EQ(Import(kFormatSigmf, dir_.File("j.sigmf-meta")), 0);
  EXPECT_TRUE(Logged("*** Error: SigMF metadata is no valid JSON object.")) << AllLines();
}

TEST_F(RawImportTest, RawKeywordsRefuseFilesWithAHeader) {
  WavSpec spec;
  spec.data = Bytes(16, 0);
  const std::pair<std::string, Bytes> files[] = {
      {"a.bin", MakeWav(spec)},
      {"b.bin",
       [&] {
         WavSpec rf64 = spec;
         rf64.container = "RF64";
         return MakeWav(rf64);
       }()},
      {"c.bin", MakeNpy(1, "<c8", "(2,)", false, Bytes(16, 0))},
      {"d.bin",
       [] {
         const std::string meta = MakeSigmfMeta("\"core:datatype\": \"cf32_le\"");
         return Bytes(meta.begin(), meta.end());
       }()},
  };
  const char* keywords[] = {"wav", "wav", "npy", "sigmf"};
  for (std::size_t k = 0; k < 4; ++k) {
    for (InputFormat raw : {kFormatI16le, kFormatF32be, kFormatCu8, kFormatF64le}) {
      Fresh();
      EXPECT_EQ(Import(raw, WriteInput(files[k].first, files[k].second)), 0);
      EXPECT_TRUE(LoggedContaining(std::string("; read it with -format ") + keywords[k] +
                                   " (or -format auto)."))
          << AllLines();
      ExpectSlotsFree();
    }
  }
  // Detection for -format auto: first bytes first, then the name.
  InputFormat detected = kFormatUnknown;
  ASSERT_EQ(DetectInputFormat(WriteInput("x.cu8", MakeWav(spec)), &detected), 1);
  EXPECT_EQ(detected, kFormatWav);
  const std::pair<std::string, InputFormat> names[] = {
      {"r.CF32", kFormatF32le}, {"r.fc32", kFormatF32le},       {"r.cf64", kFormatF64le},
      {"r.sc16", kFormatI16le}, {"r.cs8", kFormatCs8},          {"r.cu8", kFormatCu8},
      {"r.wv", kFormatKxzetq},  {"r.sigmf-meta", kFormatSigmf}, {"r.bin", kFormatUnknown},
      {"r.wav", kFormatUnknown}};
  for (const auto& [name, format] : names) {
    ASSERT_EQ(DetectInputFormat(WriteInput(name, Bytes(8, 1)), &detected), 1);
    EXPECT_EQ(detected, format) << name;
  }
}

// NumPy files carry no sample rate, SigMF metadata need not: -defaultclock
// gives the clock then, as it does for raw files; without it the file is
// refused, naming what lacks the rate.
TEST_F(RawImportTest, FilesWithoutASampleRateTakeTheDefaultClock) {
  const Bytes samples = IntegerUnits(kSigned16, 2, false, Int16Formula).bytes;
  testing_support::WriteFileText(dir_.File("rec.sigmf-meta"),
                                 MakeSigmfMeta("\"core:datatype\": \"ci16_le\""));
  WriteInput("rec.sigmf-data", samples);
  const std::string npy = WriteInput("a.npy", MakeNpy(1, "<i2", "(4, 2)", false, samples));
  const std::pair<std::string, std::string> inputs[] = {
      {npy, "NumPy file"}, {dir_.File("rec.sigmf-meta"), "SigMF metadata"}};
  const unsigned mask = GetLogMask();
  for (const auto& [input, what] : inputs) {
    SCOPED_TRACE(what);
    Fresh();
    SetLogMask(LogMaskForVerbosity(3));
    info_.clock = 0.0;
    info_.defaultClock = 3e6;
    ASSERT_EQ(Import(input.find(".npy") != std::string::npos ? kFormatNpy : kFormatSigmf, input), 1)
        << AllLines();
    EXPECT_EQ(info_.clock, 3e6);
    EXPECT_EQ(info_.markerClock, 3e6);
    EXPECT_TRUE(
        Logged("i The " + what + " carries no sample rate: -defaultclock 3000000.000 Hz is used."))
        << AllLines();

    Fresh();
    info_.clock = 0.0;
    EXPECT_EQ(Import(input.find(".npy") != std::string::npos ? kFormatNpy : kFormatSigmf, input),
              0);
    EXPECT_TRUE(
        Logged("*** Error: The " + what + " carries no sample rate; give the clock with -clock."))
        << AllLines();
    ExpectSlotsFree();
  }
  SetLogMask(mask);
}

}  // namespace
