// The input formats: the code of each -format keyword and one table of their
// properties, shared by the command line, the import entry and its readers.
#pragma once

#include <span>
#include <string_view>

// Numeric code of a -format keyword. No keyword produces 1, 7, 8 or 13.
enum InputFormat : int {
  kFormatTxt = 0,
  kFormatTxtHex = 2,
  kFormatF32be = 3,
  kFormatF32le = 4,
  kFormatI16be = 5,
  kFormatI16le = 6,
  kFormatTxt2ui14 = 9,
  kFormatTxt2ui16 = 10,
  kFormatI14be2 = 11,
  kFormatI14le2 = 12,
  kFormatKxzetq = 14,
  kFormatUnknown = 99,
};

// Which reader takes a format's files.
enum class FormatReader { kBinary, kAscii, kWaveform };

struct InputFormatInfo {
  InputFormat code;
  const char* keyword;
  int files;  // 1, or 2 when the Q values come from a second file
  FormatReader reader;
  const char* importLine;  // logged when the raw import starts; "" for kxzetq
};

// Every format a keyword names, in the order of the codes.
std::span<const InputFormatInfo> InputFormats();

// The entry of a code; nullptr for kFormatUnknown and the unused codes.
const InputFormatInfo* FindInputFormat(InputFormat code);

// The code of a -format keyword (compared as a whole, case-sensitive string);
// kFormatUnknown for anything else.
InputFormat InputFormatFromKeyword(std::string_view keyword);

// True for the formats whose Q values come from a second file.
bool IsTwoFileFormat(InputFormat format);
