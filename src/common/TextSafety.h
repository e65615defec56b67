// Text that came from a file, made safe for where it is shown: strictly
// validated UTF-8 for XML documents, and control characters spelled out for
// a terminal, so that bytes of a tag can neither break a document nor drive
// the terminal that prints them.
#pragma once

#include <string>
#include <string_view>

// The replacement character U+FFFD in UTF-8.
inline constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// The code point of the UTF-8 sequence at text[*pos], *pos moved past it.
// A sequence that is not UTF-8 (a stray continuation byte, a cut or overlong
// form, a surrogate, a value above U+10FFFF) gives false and moves *pos past
// its longest valid-looking start, at least one byte.
bool NextCodePoint(std::string_view text, std::size_t* pos, char32_t* codePoint);

// A code point that a text may hold: not a surrogate, not above U+10FFFF and
// not one of the 66 non-characters (U+FDD0 to U+FDEF, and the last two of
// every plane such as U+FFFE and U+FFFF).
bool IsCharacter(char32_t codePoint);

// The text as XML character data or attribute value: everything that is not
// UTF-8 or not a character replaced by U+FFFD; & < > " ' as entities; control
// characters (C0, DEL, C1) spelled as \x1b, \x7f, \x9b. The result is always
// well-formed.
std::string XmlText(std::string_view text);

// The text for a terminal: control characters (C0 but tab, DEL, C1) and
// bytes that are not UTF-8 spelled as \xNN; everything else as it is.
std::string TerminalText(std::string_view text);
