// The input formats: the code of each -format keyword and one table of their
// properties, shared by the command line, the import entry and its readers.
#pragma once

#include <span>
#include <string_view>

// Numeric code of a -format keyword. No keyword produces 1, 7, 8 or 13.
// The aliases cf32, cs16 and cf64 produce the codes of f32le, i16le and
// f64le; kFormatAuto is replaced by the detected format of each file before
// anything reads it.
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
  kFormatCu8 = 15,
  kFormatCs8 = 16,
  kFormatF64le = 17,
  kFormatF64be = 18,
  kFormatWav = 19,
  kFormatSigmf = 20,
  kFormatNpy = 21,
  kFormatAuto = 22,
  kFormatUnknown = 99,
};

// Which reader takes a format's files: the binary, ASCII or waveform file
// reader, the block reader of the raw 8-bit and 64-bit layouts, the readers
// of the files that carry a header (WAV, SigMF, NumPy), or none (auto, which
// stands for one of the others).
enum class FormatReader { kBinary, kAscii, kWaveform, kSamples, kContainer, kDetect };

struct InputFormatInfo {
  InputFormat code;
  const char* keyword;
  int files;  // 1, or 2 when the Q values come from a second file
  FormatReader reader;
  const char* importLine;  // logged when the raw import starts; "" for kxzetq
};

// Every format a keyword names, in the order of the codes; an alias follows
// the keyword whose code it shares.
std::span<const InputFormatInfo> InputFormats();

// The entry of a code (the first keyword of that code, never an alias);
// nullptr for kFormatUnknown and the unused codes.
const InputFormatInfo* FindInputFormat(InputFormat code);

// The code of a -format keyword (compared as a whole, case-sensitive string);
// kFormatUnknown for anything else.
InputFormat InputFormatFromKeyword(std::string_view keyword);

// True for the formats whose Q values come from a second file.
bool IsTwoFileFormat(InputFormat format);

// True for the formats whose files may carry their own sample rate (wav,
// sigmf, and auto, which may detect one of them): -clock is optional there.
bool FormatCarriesClock(InputFormat format);

// True for the formats read as raw binary samples without any header.
bool IsRawBinaryFormat(InputFormat format);
