// One real channel from SigMF and NumPy: every real SigMF datatype in either
// byte order and the 1-D real NumPy arrays are read as I with Q = 0, with
// the always-shown line saying so; NumPy float64 and float32 arrays of shape
// (N, 2) give I and Q.
#include "import/FormatFileBuilders.h"
#include "import/RawImportFixture.h"
#include "import/SampleUnits.h"

namespace {

using format_files::MakeNpy;
using format_files::MakeSigmfMeta;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using sample_units::Floats;
using sample_units::Integers;
using sample_units::kFloats;
using sample_units::kSigned16;
using sample_units::kSigned32;
using sample_units::Units;
using sample_units::WithZeroQ;

constexpr const char* kRealLine = "Real samples (one channel): read as I with Q = 0.";

std::vector<std::int64_t> UnsignedValues(int bits) {
  const std::int64_t max = (std::int64_t{1} << bits) - 1;
  return {0, max, max / 2, max / 2 + 1, 1, max - 1, 3, 5};
}

TEST_F(RawImportTest, SigmfRealDatatypesAreReadAsIWithZeroQ) {
  struct Case {
    std::string datatype;
    Units units;
  };
  std::vector<Case> cases;
  for (bool be : {false, true}) {
    const std::string order = be ? "_be" : "_le";
    cases.push_back({"rf32" + order, Floats(kFloats, false, be)});
    cases.push_back({"rf64" + order, Floats(kFloats, true, be)});
    cases.push_back({"ri32" + order,
                     Integers(kSigned32, 4, be, [](std::int64_t s) { return s / 2147483647.0; })});
    cases.push_back({"ri16" + order, Integers(kSigned16, 2, be,
                                              [](std::int64_t s) { return (s - 0.5) / 32767.0; })});
    cases.push_back({"ru32" + order, Integers(UnsignedValues(32), 4, be, [](std::int64_t u) {
                       return (u - 2147483647.5) / 2147483648.0;
                     })});
    cases.push_back({"ru16" + order, Integers(UnsignedValues(16), 2, be, [](std::int64_t u) {
                       return (u - 32767.5) / 32768.0;
                     })});
  }
  cases.push_back({"ri8", Integers({0, 127, -128, 1, -1, 64, -77, 5}, 1, false,
                                   [](std::int64_t s) { return s / 128.0; })});
  cases.push_back({"ru8", Integers(UnsignedValues(8), 1, false,
                                   [](std::int64_t u) { return (u - 127.5) / 128.0; })});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datatype);
    Fresh();
    info_.clock = 0.0;
    testing_support::WriteFileText(
        dir_.File("real.sigmf-meta"),
        MakeSigmfMeta("\"core:datatype\": \"" + c.datatype + "\", \"core:sample_rate\": 48000"));
    const std::string data = WriteInput("real.sigmf-data", c.units.bytes);
    ASSERT_EQ(Import(kFormatSigmf, data), 1) << AllLines();
    ExpectSameFloats(StoredFloats(), ModelImport(WithZeroQ(c.units.values)).stored);
    EXPECT_EQ(info_.samples, static_cast<std::int32_t>(c.units.values.size()));
    EXPECT_EQ(info_.clock, 48000.0);
    EXPECT_TRUE(Logged(kRealLine)) << AllLines();
    ExpectSlotsFree();
  }
  // A complex type gives pairs, with no such line.
  Fresh();
  info_.clock = 0.0;
  testing_support::WriteFileText(
      dir_.File("c.sigmf-meta"),
      MakeSigmfMeta("\"core:datatype\": \"ci16_be\", \"core:sample_rate\": 48000"));
  const Units pairs =
      Integers(kSigned16, 2, true, [](std::int64_t s) { return (s - 0.5) / 32767.0; });
  ASSERT_EQ(Import(kFormatSigmf, WriteInput("c.sigmf-data", pairs.bytes)), 1) << AllLines();
  ExpectSameFloats(StoredFloats(), ModelImport(pairs.values).stored);
  EXPECT_FALSE(Logged(kRealLine)) << AllLines();
}

TEST_F(RawImportTest, NumpyRealVectorsAndFloat64Pairs) {
  struct Case {
    std::string descr;
    std::string shape;
    Units units;
    bool real;
  };
  const auto int16 = [](bool be) {
    return Integers(kSigned16, 2, be, [](std::int64_t s) { return (s - 0.5) / 32767.0; });
  };
  const Case cases[] = {
      {"<f4", "(8,)", Floats(kFloats, false, false), true},
      {">f4", "(8,)", Floats(kFloats, false, true), true},
      {"<f8", "(8,)", Floats(kFloats, true, false), true},
      {">f8", "(8,)", Floats(kFloats, true, true), true},
      {"<i2", "(8,)", int16(false), true},
      {">i2", "(8,)", int16(true), true},
      {"<f8", "(4, 2)", Floats(kFloats, true, false), false},
      {">f8", "(4, 2)", Floats(kFloats, true, true), false},
      {">f4", "(4, 2)", Floats(kFloats, false, true), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.descr + " " + c.shape);
    Fresh();
    const std::string path =
        WriteInput("r.npy", MakeNpy(1, c.descr, c.shape, false, c.units.bytes));
    ASSERT_EQ(Import(kFormatNpy, path), 1) << AllLines();
    const std::vector<float> expected = c.real ? WithZeroQ(c.units.values) : c.units.values;
    ExpectSameFloats(StoredFloats(), ModelImport(expected).stored);
    EXPECT_EQ(Logged(kRealLine), c.real) << AllLines();
    ExpectSlotsFree();
  }
  // A real vector longer than its data is refused with the byte counts.
  Fresh();
  EXPECT_EQ(
      Import(kFormatNpy, WriteInput("short.npy", MakeNpy(1, "<f8", "(9,)", false,
                                                         Floats(kFloats, true, false).bytes))),
      0);
  EXPECT_TRUE(LoggedContaining("needs 72 data bytes, but the file holds 64.")) << AllLines();
}

TEST_F(RawImportTest, RealInt16WordsOfZeroOnlyAreSilence) {
  // The Q = 0 beside each real value is no word of the file: a mono 16-bit
  // array of zero words is silence like an I/Q file of them.
  ASSERT_EQ(Import(kFormatNpy, WriteInput("z.npy", MakeNpy(1, "<i2", "(64,)", false,
                                                           format_files::Bytes(128, 0)))),
            1)
      << AllLines();
  EXPECT_EQ(info_.peakOffset, 140.0);
  EXPECT_EQ(info_.rmsOffset, 140.0);
}

}  // namespace
