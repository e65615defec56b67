// The input formats: the code of each -format keyword and the one table of
// their properties (keyword, reader, sample layout, names and first bytes for
// -format auto, clock, companion files, usage line). The command line, the
// import entry and its readers, the detection of -format auto, the directory
// walk and the fuzzer all read this table.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  kFormatMat = 23,
  kFormatUnknown = 99,
};

// Which reader takes a format's files: the engine of fixed-width raw binary
// samples, the ASCII reader, the waveform file reader, the readers of the
// files that carry a header (WAV, SigMF, NumPy, MATLAB MAT-files), or none
// (auto, which stands for one of the others).
enum class FormatReader { kRawSamples, kAscii, kWaveform, kWav, kSigmf, kNpy, kMat, kDetect };

// How one fixed-width sample unit becomes a full-scale value (1.0 is full
// scale):
//   kUInt8Centered  (u - 127.5) / 128        cu8, SigMF cu8
//   kUInt8Wav       (u - 128) / 128          8-bit WAV PCM (silence is 128)
//   kInt8           s / 128                  cs8, SigMF ci8
//   kInt14          2 * ((v - 0.5) / 16383 - 0.5), v the low 14 bits of a
//                   16-bit word              i14be2, i14le2
//   kInt16          (s - 0.5) / 32767        i16be, i16le, WAV 16-bit, SigMF ci16, NumPy int16
//   kUInt16         (u - 32767.5) / 32768    SigMF cu16
//   kInt24          s / 8388607              WAV 24-bit (3 bytes packed)
//   kInt32          s / 2147483647           WAV 32-bit, SigMF ci32
//   kUInt32         (u - 2147483647.5) / 2147483648   SigMF cu32
//   kInt64          s / 9223372036854775807           MAT int64
//   kUInt64         (u - 9223372036854775807.5) / 9223372036854775808   MAT uint64
//                   (both computed in double precision, then rounded to 32 bits)
//   kFloat32, kFloat64   the value itself (a 64-bit value rounded to 32 bits)
enum class SampleType {
  kUInt8Centered,
  kUInt8Wav,
  kInt8,
  kInt14,
  kInt16,
  kUInt16,
  kInt24,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kFloat32,
  kFloat64,
};

// The files that belong to an input beside the one named.
enum class CompanionRule {
  kNone,
  // The Q values lie in a second file, named after the I file (its stem's
  // last letter I or i turned into Q or q) or given with -qfile; a walk
  // converts the Q file together with its I file, never on its own.
  kQFile,
  // A recording is a metadata file beside a data file (suffixes below); a
  // walk converts it once, under its data file's name.
  kMetaDataPair,
};

// Bytes at a fixed offset of a file's start.
struct MagicBytes {
  std::size_t offset = 0;
  std::string_view bytes;  // empty: no second part
};

// The first bytes -format auto knows a format by (both parts must match),
// and how a message calls such a file.
struct FormatSignature {
  MagicBytes first;
  MagicBytes second;
  const char* what;  // "a WAV file"
};

inline constexpr FormatSignature kWavSignatures[] = {
    {{0, "RIFF"}, {8, "WAVE"}, "a WAV file"},
    {{0, "RIFX"}, {8, "WAVE"}, "a big-endian (RIFX) WAV file"},
    {{0, "RF64"}, {8, "WAVE"}, "an RF64 WAV file"},
    {{0, "BW64"}, {8, "WAVE"}, "an RF64 WAV file"},
};
inline constexpr FormatSignature kNpySignatures[] = {
    {{0, "\x93NUMPY"}, {}, "a NumPy file"},
};
// A Level 5 MAT-file: its 128-byte header begins with the text "MATLAB" and
// ends with the version (0x0100) and the endian indicator, "IM" in a
// little-endian file, "MI" in a big-endian one. Version 0x0200 is a 7.3 file
// (HDF5), which the reader refuses with a line saying how to save it. Level 4
// files have no signature: -format auto knows them by the .mat extension and
// a plausible first matrix header.
inline constexpr FormatSignature kMatSignatures[] = {
    {{0, "MATLAB"}, {124, std::string_view("\x00\x01IM", 4)}, "a MAT-file"},
    {{0, "MATLAB"}, {124, std::string_view("\x01\x00MI", 4)}, "a big-endian MAT-file"},
    {{0, "MATLAB"}, {124, std::string_view("\x00\x02IM", 4)}, "a MAT-file of version 7.3"},
    {{0, "MATLAB"}, {124, std::string_view("\x02\x00MI", 4)}, "a MAT-file of version 7.3"},
};

struct InputFormatInfo {
  InputFormat code;
  const char* keyword;
  bool alias;  // another keyword of an earlier row's code
  FormatReader reader;
  // The fixed-width raw formats: the unit and its byte order.
  SampleType sampleType;
  bool bigEndian;
  CompanionRule companion;
  // For kMetaDataPair: the suffixes of the data and the metadata file.
  const char* dataSuffix;
  const char* metaSuffix;
  bool carriesClock;  // the files may carry their own sample rate: -clock is optional
  // Lower-case extensions with their dot that -format auto reads as this
  // format, separated by blanks; "" for none.
  const char* extensions;
  std::span<const FormatSignature> signatures;  // first bytes for -format auto
  const char* importLine;                       // logged when the raw import starts; "" for kxzetq
  const char* usage;  // the usage text's description; nullptr for an alias
  // The manual's format table (Markdown: `code` and [text](#anchor) only):
  // the layout of the file, nullptr for an alias, and the conversion to full
  // scale, nullptr for the formula of sampleType (SampleTypeFormula).
  const char* docLayout;
  const char* docConversion;
};

// Every format a keyword names, in the order of the usage text; the aliases
// follow every keyword whose code they share.
inline constexpr InputFormatInfo kInputFormatTable[] = {
// The unit fields of a format that is not read as fixed-width samples.
#define WAVORA_NO_SAMPLES SampleType::kInt16, false
    {kFormatKxzetq,
     "kxzetq",
     false,
     FormatReader::kWaveform,
     WAVORA_NO_SAMPLES,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     ".wv",
     {},
     "",
     "Korvix ZETQ waveform file (*.wv)",
     "waveform file of the older generator family (see below)",
     "by its type"},
    {kFormatTxt,
     "txt",
     false,
     FormatReader::kAscii,
     WAVORA_NO_SAMPLES,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is ASCII, Floating Point",
     "ASCII, float, two columns",
     "text lines with I and Q as decimal floating-point numbers",
     "the value itself"},
    {kFormatTxt2ui14,
     "txt2ui14",
     false,
     FormatReader::kAscii,
     WAVORA_NO_SAMPLES,
     CompanionRule::kQFile,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is ASCII, UInt14, sep. I,Q",
     "ASCII, 2 files, UInt14",
     "text files of unsigned 14-bit decimal values, any number per line",
     "(u − 0.5) / 8191 − 1"},
    {kFormatTxt2ui16,
     "txt2ui16",
     false,
     FormatReader::kAscii,
     WAVORA_NO_SAMPLES,
     CompanionRule::kQFile,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is ASCII, UInt16, sep. I,Q",
     "ASCII, 2 files, UInt16",
     "text files of unsigned 16-bit decimal values, any number per line",
     "(u − 0.5) / 32767 − 1"},
    {kFormatTxtHex,
     "txthex",
     false,
     FormatReader::kAscii,
     WAVORA_NO_SAMPLES,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is ASCII, Int16, HEX",
     "ASCII, hex, signed 16 bit",
     "text lines with I and Q as signed 16-bit hexadecimal numbers",
     "(s − 0.5) / 32767"},
    {kFormatF32be,
     "f32be",
     false,
     FormatReader::kRawSamples,
     SampleType::kFloat32,
     true,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Float32, BE, IQIQ...",
     "Float32, big endian",
     "IQIQ... 32-bit IEEE floats, big-endian",
     nullptr},
    {kFormatF32le,
     "f32le",
     false,
     FormatReader::kRawSamples,
     SampleType::kFloat32,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     ".cf32 .fc32 .cfile .complex",
     {},
     "Format is Binary, Float32, LE, IQIQ...",
     "Float32, little endian",
     "IQIQ... 32-bit IEEE floats, little-endian",
     nullptr},
    {kFormatI16be,
     "i16be",
     false,
     FormatReader::kRawSamples,
     SampleType::kInt16,
     true,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Int16, BE, IQIQ...",
     "Int16, big endian",
     "IQIQ... 16-bit two's complement, big-endian",
     nullptr},
    {kFormatI16le,
     "i16le",
     false,
     FormatReader::kRawSamples,
     SampleType::kInt16,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     ".cs16 .sc16 .complex32s",
     {},
     "Format is Binary, Int16, LE, IQIQ...",
     "Int16, little endian",
     "IQIQ... 16-bit two's complement, little-endian",
     nullptr},
    {kFormatI14be2,
     "i14be2",
     false,
     FormatReader::kRawSamples,
     SampleType::kInt14,
     true,
     CompanionRule::kQFile,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Int14, BE, sep. I,Q",
     "Int14, 2 files, big endian",
     "I file and Q file of 16-bit words, big-endian, low 14 bits used",
     nullptr},
    {kFormatI14le2,
     "i14le2",
     false,
     FormatReader::kRawSamples,
     SampleType::kInt14,
     false,
     CompanionRule::kQFile,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Int14, LE, sep. I,Q",
     "Int14, 2 files, little endian",
     "I file and Q file of 16-bit words, little-endian, low 14 bits used",
     nullptr},
    {kFormatCu8,
     "cu8",
     false,
     FormatReader::kRawSamples,
     SampleType::kUInt8Centered,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     ".cu8 .complex16u",
     {},
     "Format is Binary, UInt8, zero at 127.5, IQIQ...",
     "UInt8, zero at 127.5 (8-bit SDR receivers)",
     "IQIQ... unsigned 8-bit (8-bit SDR receivers, `.cu8`)",
     nullptr},
    {kFormatCs8,
     "cs8",
     false,
     FormatReader::kRawSamples,
     SampleType::kInt8,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     ".cs8 .sc8 .complex16s",
     {},
     "Format is Binary, Int8, IQIQ...",
     "Int8",
     "IQIQ... signed 8-bit",
     nullptr},
    {kFormatF64le,
     "f64le",
     false,
     FormatReader::kRawSamples,
     SampleType::kFloat64,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     ".cf64",
     {},
     "Format is Binary, Float64, LE, IQIQ...",
     "Float64, little endian",
     "IQIQ... 64-bit IEEE floats, little-endian",
     nullptr},
    {kFormatF64be,
     "f64be",
     false,
     FormatReader::kRawSamples,
     SampleType::kFloat64,
     true,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Float64, BE, IQIQ...",
     "Float64, big endian",
     "IQIQ... 64-bit IEEE floats, big-endian",
     nullptr},
    {kFormatF32le,
     "cf32",
     true,
     FormatReader::kRawSamples,
     SampleType::kFloat32,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Float32, LE, IQIQ...",
     nullptr,
     nullptr,
     nullptr},
    {kFormatI16le,
     "cs16",
     true,
     FormatReader::kRawSamples,
     SampleType::kInt16,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Int16, LE, IQIQ...",
     nullptr,
     nullptr,
     nullptr},
    {kFormatF64le,
     "cf64",
     true,
     FormatReader::kRawSamples,
     SampleType::kFloat64,
     false,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     false,
     "",
     {},
     "Format is Binary, Float64, LE, IQIQ...",
     nullptr,
     nullptr,
     nullptr},
    {kFormatWav, "wav", false, FormatReader::kWav, WAVORA_NO_SAMPLES, CompanionRule::kNone, nullptr,
     nullptr, true, "", kWavSignatures, "Format is WAV (RIFF, RIFX, RF64, BW64)",
     "WAV/RIFX/RF64, I,Q or mono, clock from file",
     "WAV: RIFF/WAVE, RIFX (big-endian), RF64, BW64, plain or extensible, 2 channels (left I, "
     "right Q) or 1 real channel",
     "see below"},
    {kFormatSigmf,
     "sigmf",
     false,
     FormatReader::kSigmf,
     WAVORA_NO_SAMPLES,
     CompanionRule::kMetaDataPair,
     ".sigmf-data",
     ".sigmf-meta",
     true,
     ".sigmf-meta .sigmf-data .sigmf",
     {},
     "Format is SigMF recording",
     "SigMF (.sigmf-meta, .sigmf-data, .sigmf archive)",
     "SigMF recording: `.sigmf-meta` + `.sigmf-data`, or a `.sigmf` archive of recordings",
     "see below"},
    {kFormatNpy, "npy", false, FormatReader::kNpy, WAVORA_NO_SAMPLES, CompanionRule::kNone, nullptr,
     nullptr, false, "", kNpySignatures, "Format is NumPy .npy array",
     "NumPy .npy: complex or (N,2) float32/int16",
     "NumPy `.npy`: complex64/complex128 of shape (N,), float32/float64/int16 of shape (N, 2) or, "
     "real, (N,)",
     "as the WAV samples of that type"},
    {kFormatMat, "mat", false, FormatReader::kMat, WAVORA_NO_SAMPLES, CompanionRule::kNone, nullptr,
     nullptr, false, ".mat", kMatSignatures, "Format is MATLAB MAT-file (Level 4, Level 5)",
     "MATLAB .mat (v4, v6, v7): complex, Nx2 or real",
     "MATLAB MAT-file, Level 4 or Level 5 (`-v4`, `-v6`, `-v7`, plain or compressed), either byte "
     "order: a complex vector, a real N×2 or 2×N matrix, or a real vector",
     "`double`, `single`: the value; integer classes: the formula of their word (see below)"},
    {kFormatAuto,
     "auto",
     false,
     FormatReader::kDetect,
     WAVORA_NO_SAMPLES,
     CompanionRule::kNone,
     nullptr,
     nullptr,
     true,
     "",
     {},
     "",
     "format from each file's first bytes or name",
     "the format of each file, from its first bytes or its name",
     "as the format found"},
#undef WAVORA_NO_SAMPLES
};

// Every row of the table.
std::span<const InputFormatInfo> InputFormats();

// How a unit of the type becomes a full-scale value, as the manual writes it:
// "(s − 0.5) / 32767".
const char* SampleTypeFormula(SampleType type);

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

// The companion rules a walk applies with this -format: the format's own, or
// for auto those of every format auto can detect.
std::vector<CompanionRule> CompanionRulesFor(InputFormat format);

// The lines of the usage text that list the formats, each ending in a line
// break: one line per keyword, and one for the aliases after the row before
// the first alias.
std::vector<std::string> FormatUsageLines();
