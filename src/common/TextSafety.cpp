// Strict UTF-8 decoding and the two safe spellings of file text.
#include "common/TextSafety.h"

#include <cstdio>

namespace {

bool Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "\\x%02x", value & 0xFFu);
  return text;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool NextCodePoint(std::string_view text, std::size_t* pos, char32_t* codePoint) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const std::size_t start = *pos;
  const unsigned char lead = at(start);
  *pos = start + 1;
  if (lead < 0x80) {
    *codePoint = lead;
    return true;
  }
  std::size_t length = 0;
  char32_t value = 0;
  // The allowed range of the second byte rules out overlong forms (E0, F0),
  // surrogates (ED) and values above U+10FFFF (F4).
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (start + k >= text.size()) return false;
    const unsigned char byte = at(start + k);
    if (k == 1 ? (byte < low || byte > high) : !Continuation(byte)) return false;
    value = (value << 6) | (byte & 0x3F);
    *pos = start + k + 1;
  }
  *codePoint = value;
  return true;
}

bool IsCharacter(char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  if (c >= 0xFDD0 && c <= 0xFDEF) return false;
  return (c & 0xFFFE) != 0xFFFE;
}

std::string XmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t c = 0;
    if (!NextCodePoint(text, &pos, &c) || !IsCharacter(c)) {
      out += kReplacementCharacter;
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (c == '\'') {
      out += "&apos;";
    } else if (IsControl(c)) {
      out += Hex(static_cast<unsigned>(c));
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    char32_t c = 0;
    if (!NextCodePoint(text, &pos, &c)) {
      for (std::size_t k = start; k < pos; ++k) out += Hex(static_cast<unsigned char>(text[k]));
    } else if (IsControl(c) && c != '\t') {
      out += Hex(static_cast<unsigned>(c));
    } else {
      out.append(text, start, pos - start);
    }
  }
  return out;
}
