// MAT-files written by SciPy (scipy.io.savemat, plain and compressed)
// converted by the built program: the output words against SciPy's own
// reading of the same files (scipy.io.loadmat) through the word formula of
// each class. POSIX: the files are made by /usr/bin/python3.

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace ts = testing_support;

constexpr const char* kPython = "/usr/bin/python3";

// Writes <case>_<p|z>.mat for every case and, beside each, <file>.expected:
// the full-scale values I, Q, I, Q, ... as little-endian float32, decoded
// from scipy.io.loadmat's arrays by the formula of their class and by the
// case's layout (not by the array's shape).
constexpr const char* kScript = R"(
import sys
import numpy as np
import scipy.io as sio

out = sys.argv[1]
n = 3000
t = np.arange(n)
z = 0.7 * np.exp(2j * np.pi * t * 37 / n) * (0.6 + 0.4 * np.cos(2 * np.pi * t * 3 / n))
words = np.stack([np.round(z.real * 30000), np.round(z.imag * 30000)], axis=1).astype(np.int16)
cases = [
    ('c64', {'sig': z.astype(np.complex64)}, 'sig', 'complex'),
    ('c128', {'sig': z.astype(np.complex128), 'note': 'some text', 'meta': {'a': 1.0},
              'other': np.arange(4.0)}, 'sig', 'complex'),
    ('i16cols', {'iq': words}, 'iq', 'columns'),
    ('f32rows', {'iq': np.stack([z.real, z.imag]).astype(np.float32)}, 'iq', 'rows'),
    ('real', {'x': z.real.astype(np.float64)}, 'x', 'real'),
]

def full_scale(a):
    if a.dtype == np.int16:
        return (a.astype(np.float64) - 0.5) / 32767.0
    return a.astype(np.float64)

for name, variables, key, layout in cases:
    for compressed in (False, True):
        path = '%s/%s_%s.mat' % (out, name, 'z' if compressed else 'p')
        sio.savemat(path, variables, do_compression=compressed)
        a = sio.loadmat(path)[key]
        if layout == 'complex':
            i, q = a.real.ravel(), a.imag.ravel()
        elif layout == 'columns':
            i, q = full_scale(a[:, 0]), full_scale(a[:, 1])
        elif layout == 'rows':
            i, q = full_scale(a[0, :]), full_scale(a[1, :])
        else:
            i = full_scale(a.ravel())
            q = np.zeros_like(i)
        iq = np.empty(2 * len(i), dtype='<f4')
        iq[0::2] = i
        iq[1::2] = q
        iq.tofile(path + '.expected')
)";

bool HaveScipy() {
  return ts::RunShellCommand(std::string(kPython) + " -c 'import numpy, scipy.io'", "/", "")
             .exitCode == 0;
}

std::vector<float> ReadFloats(const std::string& path) {
  const ts::Bytes bytes = ts::ReadFileBytes(path);
  std::vector<float> values;
  for (std::size_t k = 0; k + 4 <= bytes.size(); k += 4)
    values.push_back(std::bit_cast<float>(
        static_cast<std::uint32_t>(bytes[k] | bytes[k + 1] << 8 | bytes[k + 2] << 16 |
                                   static_cast<std::uint32_t>(bytes[k + 3]) << 24)));
  return values;
}

TEST(MatE2E, ScipyFilesConvertToTheWordsScipyReads) {
  if (!HaveScipy()) GTEST_SKIP() << "no numpy/scipy for " << kPython;
  ts::TempDir t;
  ts::WriteFileText(t.File("make.py"), kScript);
  const ts::RunResult made = ts::RunShellCommand(
      std::string(kPython) + " make.py " + ts::ShellQuote(t.path()), t.path(), "");
  ASSERT_EQ(made.exitCode, 0) << made.err;

  int converted = 0;
  for (const char* name : {"c64", "c128", "i16cols", "f32rows", "real"}) {
    for (const char* kind : {"p", "z"}) {
      const std::string base = std::string(name) + "_" + kind;
      SCOPED_TRACE(base);
      const std::vector<float> expected = ReadFloats(t.File(base + ".mat.expected"));
      ASSERT_EQ(expected.size(), 6000u);
      // -format auto for the compressed files, mat for the others.
      const ts::RunResult run =
          ts::RunWavoraBinary({base + ".mat", "-format", std::string(kind) == "z" ? "auto" : "mat",
                               "-clock", "10", "-batch", "-out", base + ".wv"},
                              t.path());
      ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
      ts::ParsedWaveform parsed;
      std::string error;
      ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(t.File(base + ".wv")), &parsed, &error))
          << error;
      ASSERT_EQ(parsed.words.size(), expected.size());
      for (std::size_t k = 0; k < expected.size(); ++k)
        ASSERT_EQ(parsed.words[k], ts::ExpectedWord(expected[k])) << "word " << k;
      ASSERT_NE(parsed.Find("CLOCK"), nullptr);
      EXPECT_EQ(*parsed.Find("CLOCK"), "10000000.000");
      ++converted;
    }
  }
  EXPECT_EQ(converted, 10);

  // The file with text, a struct and another numeric variable names them.
  const ts::RunResult shown = ts::RunWavoraBinary(
      {"c128_z.mat", "-format", "mat", "-clock", "10", "-batch", "-overwrite", "-out", "x.wv"},
      t.path());
  ASSERT_EQ(shown.exitCode, 0) << shown.out;
  EXPECT_TRUE(ts::Contains(shown.out, "Other numeric variables, not read: other (double 1x4)."))
      << shown.out;
  EXPECT_TRUE(ts::Contains(shown.out, "Skipped (no numeric array): ")) << shown.out;
  EXPECT_TRUE(ts::Contains(shown.out, "meta (struct 1x1)")) << shown.out;
  EXPECT_TRUE(ts::Contains(shown.out, "note (char 1x9)")) << shown.out;

  // -var picks the other one; a name the file lacks is refused with exit code 1.
  const ts::RunResult other = ts::RunWavoraBinary(
      {"c128_p.mat", "-format", "mat", "-var", "other", "-clock", "10", "-batch", "-out", "o.wv"},
      t.path());
  ASSERT_EQ(other.exitCode, 0) << other.out;
  EXPECT_TRUE(ts::Contains(other.out, ts::SettingsRow("MAT variable", "other"))) << other.out;
  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(t.File("o.wv")), &parsed, &error)) << error;
  EXPECT_EQ(parsed.words.size(), 8u);
  const ts::RunResult absent = ts::RunWavoraBinary(
      {"c128_p.mat", "-format", "mat", "-var", "nope", "-clock", "10", "-batch", "-out", "n.wv"},
      t.path());
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_TRUE(
      ts::Contains(absent.out + absent.err, "*** Error: The MAT-file has no variable 'nope'"))
      << absent.out;
  EXPECT_FALSE(ts::FileExistsForTest(t.File("n.wv")));
}

}  // namespace
