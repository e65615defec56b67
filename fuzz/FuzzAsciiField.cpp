// ParseAsciiField for each parse mode on arbitrary lines. Input layout:
// byte 0 picks the mode, byte 1 the field number, the rest is the line.
// A stored value must lie in the range of its mode, and a float field must
// read as the runtime's own conversion reads it.

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "import/AsciiImport.h"

namespace {

// Modes 1, 3, 4, 5 and three that are none.
constexpr int kModes[] = {kParseFloat, kParseUInt14, kParseUInt16, kParseHex16, 0, 2, 6};
constexpr int kModeCount = sizeof(kModes) / sizeof(kModes[0]);

bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-' ||
         c == '.';
}
bool IsDelimiter(char c) { return c == ',' || c == ' ' || c == ':' || c == ';' || c == '\t'; }

// The text of the first field, found independently of the parser: from the
// first number character up to the next delimiter.
std::string FirstField(const std::string& line) {
  std::size_t start = 0;
  while (start < line.size() && !IsNumberChar(line[start])) ++start;
  std::size_t end = start;
  while (end < line.size() && !IsDelimiter(line[end])) ++end;
  return line.substr(start, end - start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();
  if (size < 2) return 0;
  const int mode = kModes[data[0] % kModeCount];
  const int field = static_cast<signed char>(data[1]) % 16;
  // The parser takes a NUL-terminated line; an embedded NUL ends it.
  const std::string raw(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string line = raw.substr(0, raw.find('\0'));

  float value = 12345.0f;
  const int found = ParseAsciiField(line.c_str(), field, &value, mode);
  FUZZ_CHECK(found == 0 || found == 1, "");
  if (!found) {
    FUZZ_CHECK(value == 12345.0f, "a failed parse changed the output");
    return 0;
  }
  FUZZ_CHECK(field >= 1, "field " + std::to_string(field));
  switch (mode) {
    case kParseUInt14:
      FUZZ_CHECK(value >= (0 - 0.5) / 8191 - 1 - 1e-6 && value <= (65535 - 0.5) / 8191 - 1 + 1e-6,
                 line);
      break;
    case kParseUInt16:
      FUZZ_CHECK(value >= (0 - 0.5) / 32767 - 1 - 1e-6 && value <= (65535 - 0.5) / 32767 - 1 + 1e-6,
                 line);
      break;
    case kParseHex16:
      FUZZ_CHECK(value >= (-32768 - 0.5) / 32767 - 1e-6 && value <= (32767 - 0.5) / 32767 + 1e-6,
                 line);
      break;
    case kParseFloat:
      if (field == 1) {
        // The runtime's conversion of the same field text: where it reads a
        // number at all, it must be the same number (values below the normal
        // range may round differently).
        const std::string text = FirstField(line);
        char* end = nullptr;
        const float expected = std::strtof(text.c_str(), &end);
        if (end != text.c_str() && !(std::isnan(expected) && std::isnan(value))) {
          FUZZ_CHECK(expected == value || std::fabs(expected - value) <= FLT_MIN,
                     "'" + text + "' read as " + std::to_string(value) + ", runtime " +
                         std::to_string(expected));
        }
      }
      break;
    default:
      fuzz_support::Fail("a value for an unknown mode", std::to_string(mode));
  }
  return 0;
}

std::vector<std::string> FuzzSeeds() {
  auto seed = [](int modeIndex, int field, const std::string& line) {
    return std::string{static_cast<char>(modeIndex), static_cast<char>(field)} + line;
  };
  return {
      seed(0, 1, "0.5 -0.25"),
      seed(0, 2, "1e-3,\t-2.5E+2"),
      seed(0, 3, "1:2;3 4"),
      seed(0, 1, "0x1.8p1 inf"),
      seed(0, 2, "nan -.5"),
      seed(1, 1, "16383 0"),
      seed(1, 2, "-1, 99999999999"),
      seed(2, 1, "65535"),
      seed(2, 3, "a b c"),
      seed(3, 1, "FFFF 7FFF"),
      seed(3, 2, "8000;0x7fff"),
      seed(4, 1, "1 2"),
      seed(0, 0, "1 2"),
  };
}
