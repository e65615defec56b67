// Reader of the ASCII formats: one-file text columns (txt, txthex) and the
// two-file formats (txt2ui14, txt2ui16) whose I and Q values stand in separate
// files and are imported in two passes over slot 0. Header tag lines set the
// comment, copyright and clock of this file's waveform.
#include "import/AsciiImport.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "common/Progress.h"
#include "platform/Platform.h"

namespace {

struct AsciiFormat {
  InputFormat code;
  int mode;                // parse mode of ParseAsciiField
  bool twoFiles;           // I values in the first file, Q values in the second
  const char* valueError;  // one-file formats: logged when a line lacks I or Q
};

constexpr AsciiFormat kAsciiFormats[] = {
    {kFormatTxt, kParseFloat, false, "*** Error importing IQ ASCII floating point data."},
    {kFormatTxtHex, kParseHex16, false, "*** Error importing IQ ASCII HEX data."},
    {kFormatTxt2ui14, kParseUInt14, true, ""},
    {kFormatTxt2ui16, kParseUInt16, true, ""},
};

// A line is read whole, whatever its length, up to this many bytes; a longer
// one is refused rather than held in memory (64 MiB).
constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;
// Bytes fetched from the input file per read call.
constexpr std::size_t kReadChunkBytes = std::size_t{1} << 20;

constexpr double kUInt14Scale = 8191.0;
constexpr double kUInt16Scale = 32767.0;
constexpr double kHex16Scale = 32767.0;
constexpr std::uint32_t kLow16Mask = 0xFFFF;

constexpr std::int32_t kFloatBytes = 4;
constexpr std::int32_t kPairBytes = 2 * kFloatBytes;

// ---- characters ----

struct CharClasses {
  std::array<bool, 256> number{};
  std::array<bool, 256> delimiter{};
};

constexpr CharClasses kCharClasses = [] {
  CharClasses classes;
  for (char c = '0'; c <= '9'; ++c) classes.number[static_cast<unsigned char>(c)] = true;
  for (char c = 'a'; c <= 'f'; ++c) classes.number[static_cast<unsigned char>(c)] = true;
  for (char c = 'A'; c <= 'F'; ++c) classes.number[static_cast<unsigned char>(c)] = true;
  classes.number['-'] = true;
  classes.number['.'] = true;
  for (char c : {',', ' ', ':', ';', '\t'}) classes.delimiter[static_cast<unsigned char>(c)] = true;
  return classes;
}();

inline bool IsNumberChar(char c) { return kCharClasses.number[static_cast<unsigned char>(c)]; }
inline bool IsDelimiter(char c) { return kCharClasses.delimiter[static_cast<unsigned char>(c)]; }

// Both stop at the terminating NUL, which is neither kind of character.
inline const char* SkipToNumberChar(const char* p) {
  while (*p != '\0' && !IsNumberChar(*p)) ++p;
  return p;
}
inline const char* FindDelimiter(const char* p) {
  while (*p != '\0' && !IsDelimiter(*p)) ++p;
  return p;
}

inline bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool IsScanfSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ---- number conversions with the acceptance of "%e", "%d" and "%x" ----
// Each reads a prefix of [first, last) and never looks behind last. They do
// not depend on the locale: the decimal point is always '.'.

// Length of the case-insensitive match of word at p (stops at last).
std::size_t MatchWordNoCase(const char* p, const char* last, std::string_view word) {
  std::size_t matched = 0;
  while (matched < word.size() && p + matched < last && LowerAscii(p[matched]) == word[matched]) {
    ++matched;
  }
  return matched;
}

// "inf", "infinity" or "nan" in any case. A started but unfinished
// "infinity" is refused, as the runtime's scanner refuses it.
bool ScanInfinityOrNan(const char* p, const char* last, float* value) {
  if (MatchWordNoCase(p, last, "nan") == 3) {
    *value = std::numeric_limits<float>::quiet_NaN();
    return true;
  }
  const std::size_t matched = MatchWordNoCase(p, last, "infinity");
  if (matched == 3 || matched == 8) {
    *value = std::numeric_limits<float>::infinity();
    return true;
  }
  return false;
}

// For a number text whose value lies outside the float range: true when it
// is too large (infinity), false when too small (zero). The order of the
// leading non-zero digit plus the exponent tells the two apart.
bool IsHugeNumberText(const char* first, const char* last, bool hex) {
  constexpr std::int64_t kExponentCap = 1000000000;
  std::int64_t integerDigits = 0;  // integer digits from the first non-zero one
  std::int64_t leadingFractionZeros = 0;
  bool seenNonZero = false;
  bool inFraction = false;
  std::int64_t exponent = 0;
  const char exponentMark = hex ? 'p' : 'e';
  for (const char* p = first; p < last; ++p) {
    const char c = *p;
    if (c == '.') {
      inFraction = true;
      continue;
    }
    if (LowerAscii(c) == exponentMark) {
      const char* e = p + 1;
      bool negative = false;
      if (e < last && (*e == '+' || *e == '-')) negative = *e++ == '-';
      for (; e < last && IsDecimalDigit(*e); ++e) {
        if (exponent < kExponentCap) exponent = exponent * 10 + (*e - '0');
      }
      if (negative) exponent = -exponent;
      break;
    }
    const bool nonZero = c != '0';
    if (!inFraction) {
      if (seenNonZero || nonZero) {
        seenNonZero = true;
        ++integerDigits;
      }
    } else if (!seenNonZero) {
      if (nonZero)
        seenNonZero = true;
      else
        ++leadingFractionZeros;
    }
  }
  const std::int64_t digitOrder =
      integerDigits > 0 ? integerDigits - 1 : -(leadingFractionZeros + 1);
  const std::int64_t order = hex ? digitOrder * 4 + exponent : digitOrder + exponent;
  return order > 0;
}

// Where a hexadecimal number text ends for the converter: at its first 'p'
// when that does not begin an exponent (an optional sign, then a digit).
// libstdc++ 12 reads "p+-3" as the exponent -3, where the runtime's scanner
// stops before the 'p'.
const char* EndBeforeBrokenHexExponent(const char* first, const char* last) {
  for (const char* q = first; q < last; ++q) {
    if (LowerAscii(*q) != 'p') continue;
    const char* e = q + 1;
    if (e < last && (*e == '+' || *e == '-')) ++e;
    return e < last && IsDecimalDigit(*e) ? last : q;
  }
  return last;
}

// "%e" / "%f": optional sign, then a decimal number with optional exponent,
// a hexadecimal number after "0x", or inf/infinity/nan. A started exponent
// without digits is left unread, as the runtime's scanner does. Out-of-range
// values become infinity or zero of the right sign.
bool ScanFloat(const char* first, const char* last, float* value) {
  const char* p = first;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == last) return false;
  float magnitude = 0.0f;
  if (LowerAscii(*p) == 'i' || LowerAscii(*p) == 'n') {
    if (!ScanInfinityOrNan(p, last, &magnitude)) return false;
  } else {
    const bool hex = *p == '0' && p + 1 < last && LowerAscii(p[1]) == 'x';
    if (hex) {
      p += 2;
      // The converter below would also take a sign, "inf" or "nan" here.
      if (p == last || (HexDigitValue(*p) < 0 && *p != '.')) return false;
      last = EndBeforeBrokenHexExponent(p, last);
    } else if (!IsDecimalDigit(*p) && *p != '.') {
      return false;
    }
    const std::chars_format format = hex ? std::chars_format::hex : std::chars_format::general;
    const std::from_chars_result result = std::from_chars(p, last, magnitude, format);
    if (result.ec == std::errc::invalid_argument) return false;
    if (result.ec == std::errc::result_out_of_range) {
      magnitude =
          IsHugeNumberText(p, result.ptr, hex) ? std::numeric_limits<float>::infinity() : 0.0f;
    }
  }
  *value = negative ? -magnitude : magnitude;
  return true;
}

// "%d" with its low 16 bits: optional sign and at least one digit. The digits
// are accumulated modulo 2^32, which keeps the low 16 bits of the exact value
// however many digits there are.
bool ScanDecimalLow16(const char* first, const char* last, std::uint32_t* low16) {
  const char* p = first;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == last || !IsDecimalDigit(*p)) return false;
  std::uint32_t accumulated = 0;
  for (; p < last && IsDecimalDigit(*p); ++p) {
    accumulated = accumulated * 10u + static_cast<std::uint32_t>(*p - '0');
  }
  if (negative) accumulated = 0u - accumulated;
  *low16 = accumulated & kLow16Mask;
  return true;
}

// "%x" with its low 16 bits: optional sign, optional "0x" prefix, hex digits.
// A bare "0x" reads as 0, as the runtime's scanner reads it.
bool ScanHexLow16(const char* first, const char* last, std::uint32_t* low16) {
  const char* p = first;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
  bool prefixed = false;
  if (p + 1 < last && *p == '0' && LowerAscii(p[1]) == 'x') {
    p += 2;
    prefixed = true;
  }
  if (!prefixed && (p == last || HexDigitValue(*p) < 0)) return false;
  std::uint32_t accumulated = 0;
  for (int digit; p < last && (digit = HexDigitValue(*p)) >= 0; ++p) {
    accumulated = (accumulated << 4) | static_cast<std::uint32_t>(digit);
  }
  if (negative) accumulated = 0u - accumulated;
  *low16 = accumulated & kLow16Mask;
  return true;
}

// Converts the text of one field by the parse mode. False when the text
// cannot be read that way.
bool ConvertField(const char* first, const char* last, int mode, float* output) {
  std::uint32_t u = 0;
  switch (mode) {
    case kParseFloat:
      return ScanFloat(first, last, output);
    case kParseUInt14:
      if (!ScanDecimalLow16(first, last, &u)) return false;
      *output = static_cast<float>((u - 0.5) / kUInt14Scale - 1.0);
      return true;
    case kParseUInt16:
      if (!ScanDecimalLow16(first, last, &u)) return false;
      *output = static_cast<float>((u - 0.5) / kUInt16Scale - 1.0);
      return true;
    case kParseHex16: {
      if (!ScanHexLow16(first, last, &u)) return false;
      const auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>(u));
      *output = static_cast<float>((s - 0.5) / kHex16Scale);
      return true;
    }
    default:
      return false;
  }
}

// Walks the fields of one line in order. A field begins at a number
// character; the next one begins at the first number character after the
// next delimiter, so a run of delimiters separates two fields like a single
// one. Reading fields 1, 2, 3, ... with one cursor finds the same fields as
// ParseAsciiField with those numbers, without rescanning the line each time.
class FieldCursor {
 public:
  explicit FieldCursor(const char* line) : line_(line), field_(SkipToNumberChar(line)) {}

  bool HasField() const { return *field_ != '\0'; }

  // Moves to the next field; false when there is none.
  bool Next() {
    const char* p = FindDelimiter(field_);
    if (*p == '\0') return false;
    field_ = SkipToNumberChar(p + 1);
    return *field_ != '\0';
  }

  // Converts the current field; logs the whole line when it cannot be read.
  // No number can reach past a delimiter, so the field's end bounds the text.
  bool Read(int mode, float* output) const {
    if (ConvertField(field_, FindDelimiter(field_), mode, output)) return true;
    LogAlways({"*** Error in line: ", line_});
    return false;
  }

 private:
  const char* line_;
  const char* field_;  // first character of the current field, or the line's NUL
};

// ---- input lines ----

// Hands out the lines of a file whole: up to and including the next line
// feed, or up to the end of the file. The file is read in large chunks
// through the platform layer; a line that lies within one chunk is handed
// out in place, a line that spans chunks is gathered in a buffer of its own.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file), chunk_(kReadChunkBytes) {}

  // The next line, NUL-terminated in a buffer the caller may change until the
  // next call (its line feed, if any, already replaced by the NUL); *length
  // is the number of bytes read (NULs and line feed included). False at the
  // end of the file, after a read error and for a line longer than
  // kMaxLineBytes (LineTooLong()).
  bool Next(char** line, std::size_t* length) {
    gathered_.clear();
    for (;;) {
      if (position_ == end_ && !Refill()) break;
      char* start = chunk_.data() + position_;
      const std::size_t available = end_ - position_;
      void* lineFeed = std::memchr(start, '\n', available);
      const std::size_t take =
          lineFeed != nullptr ? static_cast<std::size_t>(static_cast<char*>(lineFeed) - start) + 1
                              : available;
      if (gathered_.size() + take > kMaxLineBytes) {
        tooLong_ = true;
        return false;
      }
      position_ += take;
      if (lineFeed != nullptr && gathered_.empty()) {
        start[take - 1] = '\0';
        *line = start;
        *length = take;
        return true;
      }
      gathered_.insert(gathered_.end(), start, start + take);
      if (lineFeed != nullptr) break;
    }
    if (gathered_.empty()) return false;
    *length = gathered_.size();
    gathered_.push_back('\0');
    *line = gathered_.data();
    return true;
  }

  bool ReadFailed() const { return failed_; }
  bool LineTooLong() const { return tooLong_; }
  // Bytes read from the file so far.
  std::int64_t BytesRead() const { return bytesRead_; }

 private:
  bool Refill() {
    if (atEnd_) return false;
    position_ = 0;
    end_ = platform::ReadFile(file_, chunk_.data(), kReadChunkBytes);
    bytesRead_ += static_cast<std::int64_t>(end_);
    if (end_ == 0) {
      atEnd_ = true;
      failed_ = platform::StreamFailed(file_);
    }
    return end_ > 0;
  }

  std::FILE* file_;
  std::vector<char> chunk_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  std::int64_t bytesRead_ = 0;
  bool atEnd_ = false;
  bool failed_ = false;
  bool tooLong_ = false;
  std::vector<char> gathered_;
};

// ---- the import ----

bool WritePair(float i, float q) {
  unsigned char bytes[kPairBytes];
  StoreFloatLE(i, bytes);
  StoreFloatLE(q, bytes + kFloatBytes);
  return _WriteBytes(kSlotImportTemp, kPairBytes, bytes) == kPairBytes;
}

void UpperCaseAscii(char* text, std::size_t length) {
  for (std::size_t k = 0; k < length; ++k) {
    if (text[k] >= 'a' && text[k] <= 'z') text[k] = static_cast<char>(text[k] - 'a' + 'A');
  }
}

class AsciiImporter {
 public:
  AsciiImporter(const AsciiFormat& format, SlotGuard& tempSlot, WaveInfo& info,
                ImportLevels& levels)
      : format_(format), tempSlot_(tempSlot), info_(info), levels_(levels) {
    if (format_.mode == kParseHex16) levels_.silentValue = kInt16ZeroWordValue;
  }

  int Run(InputFile& input, const std::string& secondPath);

 private:
  // Every failure releases slot 0 first and then logs; the input files are
  // closed when the importer goes out of scope.
  int Fail(std::string_view message) {
    tempSlot_.Release();
    LogAlways({message});
    return 0;
  }
  // The same for a failed call on the temporary waveform file: the
  // system's reason follows.
  int FailTemp(std::string_view message) {
    tempSlot_.Release();
    LogAlways({message});
    LogFileReason(kTempWaveFileName);
    return 0;
  }

  int RunPass(int pass, std::FILE* file, const std::string& path, std::int64_t size);
  int HandleTagLine(char* line, std::size_t length);
  int HandleOneFileDataLine(const char* line);
  int HandleTwoFileDataLine(const char* line, int pass);
  int SetTextFromTag(std::string_view tagLine, const char* name, std::string* text);

  const AsciiFormat& format_;
  SlotGuard& tempSlot_;
  WaveInfo& info_;
  ImportLevels& levels_;
  InputFile input_;
  InputFile second_;
  // Working values of this import, written into WaveInfo only on success.
  double clock_ = 0.0;
  std::string comment_;
  std::string copyright_;
  std::int64_t lineNumber_ = 1;  // of the current pass
  std::int32_t count_ = 0;       // values or pairs of the current pass
};

int AsciiImporter::Run(InputFile& input, const std::string& secondPath) {
  input_ = std::move(input);
  const std::string& inputPath = input_.path;
  const std::int64_t inputSize = input_.size;
  if (inputSize >= kMaxInputBytes) {
    return Fail(FormatText(
        "*** Error: Input file has %lld bytes; files of 2 GiB or more are not supported.",
        static_cast<long long>(inputSize)));
  }

  std::int64_t secondSize = 0;
  if (format_.twoFiles) {
    if (secondPath.empty()) return Fail("*** No 2nd file provided.");
    LogAlways({FormatText("Importing from 2nd BINARY file '%s'.", secondPath.c_str())});
    if (!OpenInputFile(secondPath, &second_, "*** Error opening 2nd input file for read.")) {
      tempSlot_.Release();
      return 0;
    }
    secondSize = second_.size;
    if (secondSize >= kMaxInputBytes) {
      return Fail(FormatText(
          "*** Error: 2nd file has %lld bytes; files of 2 GiB or more are not supported.",
          static_cast<long long>(secondSize)));
    }
  }

  clock_ = info_.clock;
  comment_ = info_.comment;
  copyright_ = info_.copyright;

  if (!RunPass(1, input_.file.get(), inputPath, inputSize)) return 0;
  if (format_.twoFiles) {
    // Reading and writing the header puts both positions of slot 0 behind it,
    // so the second pass rewrites each pair where it was read.
    unsigned char header[kTempWaveHeaderSize];
    if (_ReadBytes(kSlotImportTemp, kTempWaveHeaderSize, header) != kTempWaveHeaderSize) {
      return Fail("*** Error reading header from temporary waveform file.");
    }
    if (_WriteBytes(kSlotImportTemp, kTempWaveHeaderSize, header) != kTempWaveHeaderSize) {
      return FailTemp("*** Error writing header to temporary waveform file.");
    }
    if (!RunPass(2, second_.file.get(), secondPath, secondSize)) return 0;
  }

  input_.Close();
  second_.Close();
  info_.comment = comment_;
  info_.copyright = copyright_;
  info_.clock = clock_;
  info_.samples = count_;
  levels_.pairs = count_;
  return 1;
}

int AsciiImporter::RunPass(int pass, std::FILE* file, const std::string& path, std::int64_t size) {
  count_ = 0;
  lineNumber_ = 1;
  std::int64_t consumed = 0;
  int lastPercent = -1;
  LogAlways({FormatText("Processing file %d (%lld bytes)", pass, static_cast<long long>(size))});

  // Our own reader buffers the file, so the runtime's buffering is switched off.
  platform::SetUnbuffered(file);
  LineReader reader(file);
  char* line = nullptr;
  std::size_t length = 0;
  while (reader.Next(&line, &length)) {
    consumed += static_cast<std::int64_t>(length) + 1;
    // The count includes one byte per line more than was read, so it may pass
    // the size near the end; the bar shows such values as 100.
    const int percent = size > 0 ? static_cast<int>(consumed * 100 / size) : 100;
    if (percent != lastPercent) {
      lastPercent = percent;
      ReportProgress(percent);
    }

    // The line is text: it ends at its first NUL, if any.
    std::size_t textLength = std::strlen(line);
    while (textLength > 0 && (line[textLength - 1] == ' ' || line[textLength - 1] == '\r' ||
                              line[textLength - 1] == '\n')) {
      --textLength;
    }
    line[textLength] = '\0';

    int ok = 1;
    if (textLength == 0 || line[0] == '%' || line[0] == '#' || line[0] == '/') {
      // empty or comment line: skipped, but counted
    } else if (line[0] == '!') {
      ok = HandleTagLine(line, textLength);
    } else if (format_.twoFiles) {
      ok = HandleTwoFileDataLine(line, pass);
    } else {
      ok = HandleOneFileDataLine(line);
    }
    if (!ok) return 0;
    ++lineNumber_;
  }
  if (reader.ReadFailed()) {
    return Fail(pass == 1 ? "*** Error reading input file." : "*** Error reading 2nd input file.");
  }
  if (reader.LineTooLong()) {
    return Fail(FormatText("*** Error: Line %lld is longer than %zu bytes.",
                           static_cast<long long>(lineNumber_), kMaxLineBytes));
  }
  // A file cut short or grown while it was read would silently give fewer
  // or other values than the file holds.
  if (reader.BytesRead() != size) {
    tempSlot_.Release();
    LogAlways({"*** Error: Input file ", path, " changed while it was read."});
    LogAlways(
        {FormatText("    (%lld bytes when opened, %lld bytes read)", static_cast<long long>(size),
                    static_cast<long long>(reader.BytesRead()))});
    return 0;
  }

  LogAlways({FormatText("processed lines      : %lld.", static_cast<long long>(lineNumber_ - 1))});
  LogAlways({FormatText("imported data points : %ld.", static_cast<long>(count_))});
  if (!_RestartAtBegining(kSlotImportTemp)) {
    return FailTemp("*** Error writing to temporary waveform file.");
  }
  return 1;
}

int AsciiImporter::HandleTagLine(char* line, std::size_t length) {
  UpperCaseAscii(line, length);
  LogAlways({"evaluating tag ", line, "..."});
  const std::string_view text(line, length);

  if (text.find("COMMENT") != std::string_view::npos &&
      !SetTextFromTag(text, "COMMENT", &comment_)) {
    return 0;
  }
  if (text.find("COPYRIGHT") != std::string_view::npos &&
      !SetTextFromTag(text, "COPYRIGHT", &copyright_)) {
    return 0;
  }
  if (text.find("CLOCKRATE") != std::string_view::npos) {
    // A tag without "=" or without a readable number gives 0, which the
    // range check refuses; a NaN fails the check as well.
    float rate = 0.0f;
    const std::size_t equals = text.find('=');
    if (equals != std::string_view::npos) {
      const char* p = line + equals + 1;
      const char* last = line + length;
      while (p < last && IsScanfSpace(*p)) ++p;
      if (!ScanFloat(p, last, &rate)) rate = 0.0f;
    }
    if (!ClockInRange(rate)) {
      Fail(FormatText("*** Line %lld: Number for CLOCKRATE is out of range. Aborting.",
                      static_cast<long long>(lineNumber_)));
      LogAlways({kClockRangeLine});
      return 0;
    }
    clock_ = rate;
  }
  return 1;
}

// The text after the first "=" and the run of blanks that follows it. Without
// a blank after the "=" the text stays as it was.
int AsciiImporter::SetTextFromTag(std::string_view tagLine, const char* name, std::string* text) {
  const std::size_t equals = tagLine.find('=');
  if (equals == std::string_view::npos) return 1;
  std::size_t start = equals + 1;
  while (start < tagLine.size() && tagLine[start] == ' ') ++start;
  if (start == equals + 1 || start == tagLine.size()) return 1;
  const std::string_view value = tagLine.substr(start);
  if (value.size() > kMaxTagTextChars) {
    return Fail(FormatText("*** Line %lld: Text for %s is longer than %zu characters. Aborting.",
                           static_cast<long long>(lineNumber_), name, kMaxTagTextChars));
  }
  text->assign(value);
  return 1;
}

int AsciiImporter::HandleOneFileDataLine(const char* line) {
  float i = 0.0f;
  float q = 0.0f;
  FieldCursor cursor(line);
  if (!cursor.HasField() || !cursor.Read(format_.mode, &i) || !cursor.Next() ||
      !cursor.Read(format_.mode, &q)) {
    return Fail(format_.valueError);
  }
  if (count_ >= kMaxTempSamples) {
    return Fail(
        FormatText("*** Error: Input file holds more than %ld I/Q pairs.", kMaxTempSamples));
  }
  AccumulatePair(levels_, i, q);
  if (!WritePair(i, q)) return FailTemp("*** Error writing to temporary waveform file.");
  ++count_;
  return 1;
}

// Fields 1, 2, 3, ... up to the first missing or unreadable one. The first
// pass writes each value as I with a placeholder Q of 0; the second pass
// reads those pairs back and rewrites them with their Q values.
int AsciiImporter::HandleTwoFileDataLine(const char* line, int pass) {
  FieldCursor cursor(line);
  for (bool more = cursor.HasField(); more; more = cursor.Next()) {
    float value = 0.0f;
    if (!cursor.Read(format_.mode, &value)) break;
    float i = 0.0f;
    float q = 0.0f;
    if (pass == 1) {
      if (count_ >= kMaxTempSamples) {
        return Fail(
            FormatText("*** Error: Input file holds more than %ld I/Q pairs.", kMaxTempSamples));
      }
      i = value;
    } else {
      unsigned char stored[kPairBytes];
      if (_ReadBytes(kSlotImportTemp, kPairBytes, stored) != kPairBytes) {
        return Fail("*** 2nd file contains more data than first file.");
      }
      i = LoadFloatLE(stored);
      q = value;
      AccumulatePair(levels_, i, q);
    }
    if (!WritePair(i, q)) return FailTemp("*** Error writing to temporary waveform file.");
    ++count_;
  }
  return 1;
}

const AsciiFormat* FindAsciiFormat(InputFormat code) {
  for (const AsciiFormat& format : kAsciiFormats) {
    if (format.code == code) return &format;
  }
  return nullptr;
}

}  // namespace

int ParseAsciiField(const char* line, int field, float* output, int mode) {
  if (field < 1) return 0;
  FieldCursor cursor(line);
  if (!cursor.HasField()) return 0;
  for (int k = 1; k < field; ++k) {
    if (!cursor.Next()) return 0;
  }
  return cursor.Read(mode, output) ? 1 : 0;
}

int ImportAscii(InputFile& input, const std::string& secondPath, InputFormat format,
                SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  const AsciiFormat* entry = FindAsciiFormat(format);
  if (entry == nullptr) {
    tempSlot.Release();
    LogAlways({"*** Wrong import data format."});
    return 0;
  }
  AsciiImporter importer(*entry, tempSlot, info, levels);
  return importer.Run(input, secondPath);
}
