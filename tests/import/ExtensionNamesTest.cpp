// The names -format auto knows a file by: the extensions SDR tools give
// their captures, in any letter case, and the README's list of them, which
// must name every extension of the format table.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/InputFormat.h"
#include "import/FormatDetect.h"

namespace {

TEST(ExtensionNames, ToolNamesMapToTheirSampleFormatInAnyCase) {
  struct Case {
    const char* name;
    InputFormat format;
  };
  const Case cases[] = {
      {"urh_capture.complex", kFormatF32le},
      {"gnuradio.cfile", kFormatF32le},
      {"dir/rec.CFILE", kFormatF32le},
      {"x.Complex", kFormatF32le},
      {"g001_433.92M_250k.complex16s", kFormatCs8},
      {"G.COMPLEX16S", kFormatCs8},
      {"g002_868M_1000k.complex16u", kFormatCu8},
      {"a.Complex16U", kFormatCu8},
      {"b.complex32s", kFormatI16le},
      {"b.COMPLEX32S", kFormatI16le},
      {"old.cf32", kFormatF32le},
      {"old.cu8", kFormatCu8},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFromFileName(c.name), c.format) << c.name;
  // Near names are not taken: the whole extension must match.
  for (const char* name : {"a.complex16", "a.complex32u", "a.complexx", "a.cfil", "complex"})
    EXPECT_EQ(FormatFromFileName(name), kFormatUnknown) << name;
}

TEST(ExtensionNames, ReadmeListsEveryExtensionAutoKnows) {
  std::ifstream in(std::string(WAVORA_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(in) << "README.md not found";
  std::stringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  int checked = 0;
  for (const InputFormatInfo& entry : InputFormats()) {
    std::istringstream extensions(entry.extensions);
    std::string extension;
    while (extensions >> extension) {
      EXPECT_NE(readme.find("`" + extension + "`"), std::string::npos)
          << extension << " (" << entry.keyword << ") is not listed in README.md";
      ++checked;
    }
  }
  EXPECT_GE(checked, 16);
}

}  // namespace
