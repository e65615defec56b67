// File text made safe: strict UTF-8 (every ill-formed sequence and every
// non-character one U+FFFD per maximal part) with XML escaping, and control
// characters spelled out for a terminal.

#include <gtest/gtest.h>

#include <string>

#include "common/TextSafety.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(XmlText, IllFormedUtf8AndNonCharactersBecomeReplacementCharacters) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1"},
      {"\xE0\x80\x80", kFffd + kFffd + kFffd},                 // overlong: no valid start
      {"\xC0\xAF", kFffd + kFffd},                             // overlong two-byte form
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},                 // surrogate U+D800
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},     // above U+10FFFF
      {"\xEF\xBF\xBE|\xEF\xBF\xBF", kFffd + "|" + kFffd},      // U+FFFE, U+FFFF
      {"\xEF\xB7\x90 \xF0\x9F\xBF\xBF", kFffd + " " + kFffd},  // U+FDD0, U+1FFFF
      {"\xE2\x82", kFffd},                                     // cut at the end: one part
      {"\xE2\x82x", kFffd + "x"},
      {"\x80\xBF", kFffd + kFffd},  // stray continuation bytes
      {"\xFF", kFffd},
      {"<a & \"b\" 'c'>", "&lt;a &amp; &quot;b&quot; &apos;c&apos;&gt;"},
      {"esc\x1b[31m bel\x07 del\x7f", "esc\\x1b[31m bel\\x07 del\\x7f"},
      {"csi \xC2\x9B", "csi \\x9b"},  // C1 control, well-formed
  };
  for (const auto& c : cases) EXPECT_EQ(XmlText(c.in), c.out) << c.in;
}

TEST(XmlText, EveryResultIsCharactersOnly) {
  // Every byte value in every position of a short string: the result decodes
  // as UTF-8 of characters and holds no markup or control byte.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; b += 5) {
      const std::string in = {static_cast<char>(a), static_cast<char>(b), '\xBF'};
      const std::string out = XmlText(in);
      for (std::size_t pos = 0; pos < out.size();) {
        char32_t c = 0;
        ASSERT_TRUE(NextCodePoint(out, &pos, &c)) << a << " " << b;
        ASSERT_TRUE(IsCharacter(c));
        ASSERT_FALSE(c < 0x20 || c == '<' || c == '>' || c == '"' || (c >= 0x7F && c <= 0x9F));
      }
    }
  }
}

TEST(TerminalText, ControlsAndBadBytesAreSpelledOut) {
  EXPECT_EQ(TerminalText("a\x1b[2Jb\x07\r\n"), "a\\x1b[2Jb\\x07\\x0d\\x0a");
  EXPECT_EQ(TerminalText("tab\tkept, caf\xC3\xA9 kept"), "tab\tkept, caf\xC3\xA9 kept");
  EXPECT_EQ(TerminalText("\xC2\x9B"
                         "31m"),
            "\\x9b31m");
  EXPECT_EQ(TerminalText("\x9B\xE0\x80\x80 \xFF"), "\\x9b\\xe0\\x80\\x80 \\xff");
  EXPECT_EQ(TerminalText("<&>"), "<&>");
}

}  // namespace
