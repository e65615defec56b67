// The MAT-file reader on files written by the test's own writer: every
// numeric class in both byte orders, plain and compressed, the shapes that
// give pairs, the choice of the variable, Level 4 files, and the refusals of
// damaged or hostile files.
#include <cmath>
#include <functional>

#include "common/Limits.h"
#include "import/FormatDetect.h"
#include "import/MatFileBuilder.h"
#include "import/MatImport.h"
#include "import/RawImportFixture.h"

namespace {

using format_files::Bytes;
using raw_import_test::ModelImport;
using raw_import_test::RawImportTest;
using namespace mat_files;

struct ClassCase {
  const char* name;
  std::uint32_t mxClass;
  std::uint32_t storage;
  std::vector<double> i;
  std::vector<double> q;
  // The full-scale value of a stored value, from the formula of the
  // class's word.
  std::function<double(double)> value;
};

std::vector<ClassCase> Classes() {
  const auto same = [](double v) { return v; };
  return {
      {"double", mxDOUBLE, miDOUBLE, {0.5, -0.25, 0.0, 1e-3}, {-0.5, 0.125, 0.75, -1e-3}, same},
      {"single", mxSINGLE, miSINGLE, {0.5, -0.25, 0.3, 0.0}, {0.1, 0.2, -0.6, 0.0}, same},
      {"int8",
       mxINT8,
       miINT8,
       {0, 127, -128, 5},
       {-1, 64, 0, -77},
       [](double s) { return s / 128.0; }},
      {"uint8",
       mxUINT8,
       miUINT8,
       {0, 255, 128, 127},
       {12, 200, 1, 254},
       [](double u) { return (u - 127.5) / 128.0; }},
      {"int16",
       mxINT16,
       miINT16,
       {0, 32767, -32768, 12345},
       {-1, 100, -23456, 7},
       [](double s) { return (s - 0.5) / 32767.0; }},
      {"uint16",
       mxUINT16,
       miUINT16,
       {0, 65535, 32768, 1},
       {32767, 40000, 2, 65534},
       [](double u) { return (u - 32767.5) / 32768.0; }},
      {"int32",
       mxINT32,
       miINT32,
       {0, 2147483647, -2147483648.0, 1000000},
       {-5, 7, 3, -99999},
       [](double s) { return s / 2147483647.0; }},
      {"uint32",
       mxUINT32,
       miUINT32,
       {0, 4294967295.0, 2147483648.0, 77},
       {1, 2, 3, 4000000000.0},
       [](double u) { return (u - 2147483647.5) / 2147483648.0; }},
      {"int64",
       mxINT64,
       miINT64,
       {0, 4611686018427387904.0, -9223372036854775808.0, 1e12},
       {-4611686018427387904.0, 3, -2, 9e18},
       [](double s) {
         return static_cast<double>(static_cast<long double>(s) / 9223372036854775807.0L);
       }},
      {"uint64",
       mxUINT64,
       miUINT64,
       {0, 9223372036854775808.0, 1e19, 5},
       {1e18, 4e18, 2, 1.5e19},
       [](double u) {
         return static_cast<double>((static_cast<long double>(u) - 9223372036854775807.5L) /
                                    9223372036854775808.0L);
       }},
  };
}

class MatImportTest : public RawImportTest {
 protected:
  int ImportMat(const Bytes& file, const std::string& variable = "",
                const std::string& name = "in.mat") {
    info_.matVariable = variable;
    return Import(kFormatMat, WriteInput(name, file));
  }

  // The stored pairs are the model's for I, Q values.
  void ExpectPairs(const std::vector<float>& i, const std::vector<float>& q) {
    std::vector<float> iq;
    for (std::size_t k = 0; k < i.size(); ++k) {
      iq.push_back(i[k]);
      iq.push_back(k < q.size() ? q[k] : 0.0f);
    }
    ExpectSameFloats(StoredFloats(), ModelImport(iq).stored);
    EXPECT_EQ(info_.samples, static_cast<std::int32_t>(i.size()));
    ExpectSlotsFree();
  }

  // Import fails with a line starting with `line` and leaves nothing busy.
  void ExpectRefused(const Bytes& file, const std::string& line, const std::string& variable = "") {
    Fresh();
    EXPECT_EQ(ImportMat(file, variable), 0) << AllLines();
    EXPECT_TRUE(LoggedContaining(line)) << "missing '" << line << "' in\n" << AllLines();
    ExpectSlotsFree();
  }
};

std::vector<float> Values(const std::vector<double>& stored,
                          const std::function<double(double)>& f) {
  std::vector<float> out;
  for (double v : stored) out.push_back(static_cast<float>(f(v)));
  return out;
}

std::vector<double> Concat(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> out = a;
  for (double v : b) out.push_back(v);
  return out;
}

TEST_F(MatImportTest, EveryClassInBothByteOrdersPlainAndCompressed) {
  for (const ClassCase& c : Classes()) {
    for (const bool be : {false, true}) {
      for (const bool packed : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (be ? " big-endian" : " little-endian") +
                     (packed ? " compressed" : ""));
        const auto n = static_cast<std::int32_t>(c.i.size());
        // N x 2, column-major: every I value, then every Q value.
        // N x 2, column-major: every I value, then every Q value.
        const MatArray columns =
            RealArray("iq", c.mxClass, {n, 2}, c.storage, Encode(Concat(c.i, c.q), c.storage, be));
        // The same pairs as a complex vector.
        const MatArray complexVector =
            ComplexArray("z", c.mxClass, {n, 1}, c.storage, Encode(c.i, c.storage, be), c.storage,
                         Encode(c.q, c.storage, be));
        for (const MatArray& a : {columns, complexVector}) {
          Fresh();
          const Bytes element = Matrix(a, be);
          ASSERT_EQ(ImportMat(Level5File({packed ? Compressed(element, be) : element}, be)), 1)
              << AllLines();
          ExpectPairs(Values(c.i, c.value), Values(c.q, c.value));
        }
      }
    }
  }
}

TEST_F(MatImportTest, ShapesGivePairsAsStored) {
  const std::vector<double> i = {0.1, 0.2, 0.3, 0.4, 0.5};
  const std::vector<double> q = {-0.1, -0.2, -0.3, -0.4, -0.5};
  const auto f = [](double v) { return v; };
  // 2 x N: column-major keeps each column's I and Q together.
  std::vector<double> interleaved;
  for (std::size_t k = 0; k < i.size(); ++k) {
    interleaved.push_back(i[k]);
    interleaved.push_back(q[k]);
  }
  ASSERT_EQ(
      ImportMat(Level5File(
          {Matrix(RealArray("r", mxSINGLE, {2, 5}, miSINGLE, Encode(interleaved, miSINGLE, false)),
                  false)},
          false)),
      1)
      << AllLines();
  ExpectPairs(Values(i, f), Values(q, f));
  EXPECT_TRUE(LoggedContaining("I from the first row, Q from the second")) << AllLines();

  // A real vector, row or column (trailing dimensions of 1 too): I with Q = 0.
  for (const std::vector<std::int32_t>& dims :
       {std::vector<std::int32_t>{1, 5}, {5, 1}, {5, 1, 1}}) {
    Fresh();
    ASSERT_EQ(
        ImportMat(Level5File(
            {Matrix(RealArray("v", mxDOUBLE, dims, miDOUBLE, Encode(i, miDOUBLE, true)), true)},
            true)),
        1)
        << AllLines();
    ExpectPairs(Values(i, f), {});
    EXPECT_TRUE(Logged("Real samples (one channel): read as I with Q = 0.")) << AllLines();
  }

  // Neither vector nor two rows or columns, a complex matrix, a cube.
  for (const std::vector<std::int32_t>& dims : {std::vector<std::int32_t>{3, 4}, {2, 3, 2}}) {
    ExpectRefused(
        Level5File({Matrix(RealArray("m", mxDOUBLE, dims, miDOUBLE,
                                     Encode(std::vector<double>(12, 0.1), miDOUBLE, false)),
                           false)},
                   false),
        "*** Error: MAT-file variable m (double");
  }
  ExpectRefused(Level5File({Matrix(ComplexArray("c", mxDOUBLE, {2, 2}, miDOUBLE,
                                                Encode({1, 2, 3, 4}, miDOUBLE, false), miDOUBLE,
                                                Encode({1, 2, 3, 4}, miDOUBLE, false)),
                                   false)},
                           false),
                "*** Error: MAT-file variable c (complex double 2x2) is not usable");
}

TEST_F(MatImportTest, FloatClassStoredAsNarrowIntegersIsWidened) {
  // MATLAB stores a double array of small whole numbers as integers, each
  // part in the narrowest type that holds it.
  const std::vector<double> i = {3, -2, 100, 0};
  const std::vector<double> q = {250, 1, 7, 255};
  for (const bool be : {false, true}) {
    Fresh();
    const Bytes element =
        Matrix(ComplexArray("w", mxDOUBLE, {1, 4}, miINT16, Encode(i, miINT16, be), miUINT8,
                            Encode(q, miUINT8, be)),
               be);
    ASSERT_EQ(ImportMat(Level5File({Compressed(element, be)}, be)), 1) << AllLines();
    ExpectPairs(Values(i, [](double v) { return v; }), Values(q, [](double v) { return v; }));
  }
  // An integer class must store its own type.
  ExpectRefused(
      Level5File(
          {Matrix(RealArray("k", mxINT16, {1, 2}, miINT8, Encode({1, 2}, miINT8, false)), false)},
          false),
      "*** Error: MAT-file variable 'k' of class int16 stores its values as int8");
}

TEST_F(MatImportTest, LongCompressedVariablesStreamInBlocks) {
  // Many blocks of the reader, I and Q each inflated from a stream of its own.
  const std::int32_t n = 50000;
  std::vector<double> i, q;
  for (std::int32_t k = 0; k < n; ++k) {
    i.push_back(std::round(20000.0 * std::cos(k * 0.001)));
    q.push_back(std::round(20000.0 * std::sin(k * 0.001)));
  }
  const auto f = [](double s) { return (s - 0.5) / 32767.0; };
  for (const bool complexVector : {false, true}) {
    Fresh();
    const MatArray a =
        complexVector
            ? ComplexArray("z", mxINT16, {n, 1}, miINT16, Encode(i, miINT16, false), miINT16,
                           Encode(q, miINT16, false))
            : RealArray("iq", mxINT16, {n, 2}, miINT16, Encode(Concat(i, q), miINT16, false));
    ASSERT_EQ(ImportMat(Level5File({Compressed(Matrix(a, false), false)}, false)), 1) << AllLines();
    ExpectPairs(Values(i, f), Values(q, f));
  }
}

TEST_F(MatImportTest, VariableChoiceAndLog) {
  const bool le = false;
  const Bytes realA =
      Matrix(RealArray("a", mxDOUBLE, {1, 3}, miDOUBLE, Encode({0.1, 0.2, 0.3}, miDOUBLE, le)), le);
  const Bytes realB = Matrix(RealArray("bb", mxSINGLE, {3, 2}, miSINGLE,
                                       Encode({0.1, 0.2, 0.3, 0.4, 0.5, 0.6}, miSINGLE, le)),
                             le);
  const Bytes complexC =
      Matrix(ComplexArray("c", mxDOUBLE, {1, 2}, miDOUBLE, Encode({0.5, 0.25}, miDOUBLE, le),
                          miDOUBLE, Encode({-0.5, 0.0}, miDOUBLE, le)),
             le);
  const Bytes structS = Matrix(OtherArray("s", mxSTRUCT, {1, 1}), le);
  const Bytes text = Matrix(OtherArray("t", mxCHAR, {1, 5}), le);
  const Bytes cell = Matrix(OtherArray("cells", mxCELL, {1, 2}), le);
  const Bytes logical = Matrix(RealArray("flags", mxUINT8, {1, 2}, miUINT8, Bytes{1, 0}, true), le);

  // The only numeric variable, among others that are skipped and named.
  ASSERT_EQ(ImportMat(Level5File({structS, text, realB, cell, logical}, le)), 1) << AllLines();
  EXPECT_EQ(info_.samples, 3);
  EXPECT_TRUE(
      Logged("MAT-file variable bb (single 3x2): I from the first column, Q from the "
             "second."))
      << AllLines();
  EXPECT_TRUE(
      Logged("Skipped (no numeric array): s (struct 1x1), t (char 1x5), cells (cell "
             "1x2), flags (logical 1x2)."))
      << AllLines();

  // Several numeric ones: the first complex one; the others are listed.
  Fresh();
  ASSERT_EQ(ImportMat(Level5File({realA, Compressed(complexC, le), realB}, le)), 1) << AllLines();
  EXPECT_EQ(info_.samples, 2);
  EXPECT_TRUE(
      Logged("MAT-file variable c (complex double 1x2), compressed: I from the real "
             "part, Q from the imaginary part."))
      << AllLines();
  EXPECT_TRUE(Logged("Other numeric variables, not read: a (double 1x3), bb (single 3x2)."))
      << AllLines();

  // -var names another.
  Fresh();
  ASSERT_EQ(ImportMat(Level5File({realA, complexC, realB}, le), "a"), 1) << AllLines();
  EXPECT_EQ(info_.samples, 3);
  EXPECT_TRUE(LoggedContaining("MAT-file variable a (double 1x3): I only.")) << AllLines();

  // Refusals name what the file holds.
  ExpectRefused(Level5File({realA, complexC}, le), "*** Error: The MAT-file has no variable 'zz'",
                "zz");
  EXPECT_TRUE(Logged("    The file holds: a (double 1x3), c (complex double 1x2).")) << AllLines();
  ExpectRefused(Level5File({realA, structS}, le),
                "*** Error: MAT-file variable s (struct 1x1) is no numeric array", "s");
  ExpectRefused(Level5File({realA, realB}, le),
                "*** Error: The MAT-file holds 2 numeric variables and none is complex");
  ExpectRefused(Level5File({structS, text}, le),
                "*** Error: The MAT-file holds no numeric variable.");
}

TEST_F(MatImportTest, Level4FilesInBothByteOrders) {
  const std::vector<double> i = {0.5, -0.5, 0.25};
  const std::vector<double> q = {0.0, 0.125, -0.75};
  const auto f = [](double v) { return v; };
  for (const bool be : {false, true}) {
    SCOPED_TRACE(be ? "big-endian" : "little-endian");
    // A text matrix is skipped; the complex double is read.
    Bytes file = Level4Matrix(be, 0, 1, 1, 2, "label", Encode({65, 66}, miDOUBLE, be));
    Append(file,
           Level4Matrix(be, 0, 0, 3, 1, "z", Encode(i, miDOUBLE, be), Encode(q, miDOUBLE, be)));
    Fresh();
    ASSERT_EQ(ImportMat(file), 1) << AllLines();
    ExpectPairs(Values(i, f), Values(q, f));
    EXPECT_TRUE(LoggedContaining("Skipped (no numeric array): label (char 1x2).")) << AllLines();

    // int16 N x 2, column-major; uint8 real vector by -var.
    const std::vector<double> words = {100, -200, 32767, 5, -6, -32768};
    file = Level4Matrix(be, 3, 0, 3, 2, "iq", Encode(words, miINT16, be));
    Append(file, Level4Matrix(be, 5, 0, 1, 4, "u", Encode({0, 255, 128, 7}, miUINT8, be)));
    Fresh();
    ASSERT_EQ(ImportMat(file, "iq"), 1) << AllLines();
    const auto w16 = [](double s) { return (s - 0.5) / 32767.0; };
    ExpectPairs(Values({100, -200, 32767}, w16), Values({5, -6, -32768}, w16));
    Fresh();
    ASSERT_EQ(ImportMat(file, "u"), 1) << AllLines();
    ExpectPairs(Values({0, 255, 128, 7}, [](double u) { return (u - 127.5) / 128.0; }), {});
  }
}

TEST_F(MatImportTest, AutoKnowsLevel5ByHeaderAndLevel4ByNameAndHeader) {
  const Bytes level5 = Level5File(
      {Matrix(RealArray("x", mxDOUBLE, {1, 1}, miDOUBLE, Encode({0.5}, miDOUBLE, true)), true)},
      true);
  const Bytes level4 = Level4Matrix(false, 1, 0, 2, 1, "x", Encode({0.5, 0.25}, miSINGLE, false));
  InputFormat format = kFormatUnknown;
  ASSERT_EQ(DetectInputFormat(WriteInput("capture.bin", level5), &format), 1);
  EXPECT_EQ(format, kFormatMat);
  ASSERT_EQ(DetectInputFormat(WriteInput("old.MAT", level4), &format), 1);
  EXPECT_EQ(format, kFormatMat);
  // A Level 4 header needs the name; the name alone needs a plausible header.
  ASSERT_EQ(DetectInputFormat(WriteInput("old.bin", level4), &format), 1);
  EXPECT_EQ(format, kFormatUnknown);
  ASSERT_EQ(DetectInputFormat(WriteInput("noise.mat", Bytes(64, 0xA5)), &format), 1);
  EXPECT_EQ(format, kFormatUnknown);
  Bytes cut = level4;
  cut.resize(cut.size() - 1);  // values past the end of the file
  ASSERT_EQ(DetectInputFormat(WriteInput("cut.mat", cut), &format), 1);
  EXPECT_EQ(format, kFormatUnknown);
  // A Level 5 file named as raw samples is refused by the raw formats' check.
  EXPECT_EQ(Import(kFormatI16le, WriteInput("capture.bin", level5)), 0);
  EXPECT_TRUE(LoggedContaining("begins like a big-endian MAT-file")) << AllLines();
}

TEST_F(MatImportTest, DamagedAndHostileFilesAreRefused) {
  const bool le = false;
  const Bytes good = Matrix(
      RealArray("x", mxDOUBLE, {1, 4}, miDOUBLE, Encode({0.1, 0.2, 0.3, 0.4}, miDOUBLE, le)), le);

  // MATLAB 7.3 (HDF5) files: save them with -v7.
  Bytes hdf5 = Level5Header(le, 0x0200, "MATLAB 7.3 MAT-file, Platform: GLNXA64, HDF5 schema 1.00");
  hdf5.resize(512, 0);
  for (const int c : {0x89, 0x48, 0x44, 0x46, 0x0D, 0x0A, 0x1A, 0x0A})
    hdf5.push_back(static_cast<unsigned char>(c));
  hdf5.resize(2048, 0);
  ExpectRefused(hdf5,
                "*** Error: MATLAB 7.3 MAT-files (HDF5) are not supported; save the "
                "variables with save(..., '-v7')");
  InputFormat format = kFormatUnknown;
  ASSERT_EQ(DetectInputFormat(WriteInput("v73.mat", hdf5), &format), 1);
  EXPECT_EQ(format, kFormatMat);

  // An element larger than the file.
  Bytes cut = Level5File({good}, le);
  cut.resize(cut.size() - 8);
  ExpectRefused(cut, "*** Error: MAT-file element at byte 128 declares 80 bytes");
  // Dimensions whose product overflows, and more elements than the data hold.
  ExpectRefused(Level5File({Matrix(RealArray("x", mxDOUBLE, {2147483647, 2147483647, 2147483647},
                                             miDOUBLE, Encode({0.1}, miDOUBLE, le)),
                                   le)},
                           le),
                "has dimensions whose product overflows");
  ExpectRefused(
      Level5File(
          {Matrix(RealArray("x", mxDOUBLE, {1, 5}, miDOUBLE, Encode({0.1, 0.2}, miDOUBLE, le)),
                  le)},
          le),
      "*** Error: MAT-file variable 'x' has 5 elements, but its real part holds 16 bytes");
  // A name beyond the limit.
  ExpectRefused(Level5File({Matrix(RealArray(std::string(kMaxMatNameBytes + 1, 'n'), mxDOUBLE,
                                             {1, 1}, miDOUBLE, Encode({0.1}, miDOUBLE, le)),
                                   le)},
                           le),
                "*** Error: MAT-file variable name of 4097 bytes is longer than 4096 bytes.");
  // A complex variable without its imaginary part.
  ExpectRefused(
      Level5File({Matrix(ComplexArray("z", mxDOUBLE, {1, 1}, miDOUBLE, Encode({0.1}, miDOUBLE, le),
                                      miDOUBLE, Bytes{}),
                         le)},
                 le),
      "*** Error: MAT-file variable 'z' has 1 elements, but its imaginary part holds 0 bytes");

  // Compressed: a declared size no zlib stream of that length can give.
  Bytes bomb = Compressed(good, le);
  Bytes inflatedTag;
  Put(inflatedTag, miMATRIX, 4, le);
  Put(inflatedTag, 0x7FFFFFF0, 4, le);
  {
    // The same stream with its matrix element's size raised: the stream
    // is rewritten, so that zlib accepts it.
    Bytes raised = good;
    for (int k = 0; k < 8; ++k) raised[static_cast<std::size_t>(k)] = inflatedTag[k];
    bomb = Compressed(raised, le);
  }
  ExpectRefused(Level5File({bomb}, le), "more than its");
  // A stream that holds less than its matrix declares.
  {
    Bytes shortStream = good;
    shortStream.resize(shortStream.size() - 16);
    ExpectRefused(Level5File({Compressed(shortStream, le)}, le), "ends inside");
  }
  // A stream that inflates to more than its matrix element declares: what
  // lies beyond the declared size is never inflated.
  {
    Bytes shrunk = good;
    // The declared size covers the header elements but not the values.
    const std::uint32_t headerBytes = 16 + 16 + 8 + 8;
    shrunk[4] = static_cast<unsigned char>(headerBytes);
    shrunk[5] = shrunk[6] = shrunk[7] = 0;
    ExpectRefused(Level5File({Compressed(shrunk, le)}, le), "runs past the end of its variable");
  }
  // Damaged zlib data.
  {
    Bytes damaged = Compressed(good, le);
    for (std::size_t k = 10; k < damaged.size(); ++k) damaged[k] ^= 0x5A;
    ExpectRefused(Level5File({damaged}, le), "*** Error: MAT-file");
  }
  // Level 4: values past the end of the file, an impossible type code.
  Bytes level4 = Level4Matrix(le, 0, 0, 4, 1, "x", Encode({0.1, 0.2, 0.3, 0.4}, miDOUBLE, le));
  level4.resize(level4.size() - 1);
  ExpectRefused(level4, "*** Error: MAT-file matrix at byte 0 needs 34 bytes");
  ExpectRefused(Bytes(40, 0x33), "*** Error: Not a MAT-file");
  // Counts whose product of bytes passes 64 bits.
  ExpectRefused(Level4Matrix(le, 0, 0, 2147483647, 2147483647, "big", Bytes(8, 0)),
                "*** Error: MAT-file matrix at byte 0 needs 9223372036854775807 bytes");
}

}  // namespace
