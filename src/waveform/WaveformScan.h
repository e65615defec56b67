// The one scanner of the tagged waveform file, shared by the kxzetq import
// (ReadWaveformFile, through stream slot 0) and the inspection (-info,
// -export, -preview, straight from the open file): where the bytes come from,
// the tag names and their limits, the reading of names, contents, marker
// list entries and the data tag's text, the meaning of the values, the
// decoding of the sample words and the rule for markers in their low bits.
// Nothing here logs: each user reports in its own words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/Limits.h"  // ClockInRange: CLOCK must lie in (1 kHz, 600 MHz]
#include "waveform/WaveformFormat.h"

enum WaveformType : int {
  kWaveformNone = 0,
  kWaveformZetq = 1,   // TYPE "WV" or "WV-ADD"
  kWaveformKvg = 2,    // TYPE "KVG-WV"
  kWaveformZq750 = 3,  // TYPE "ZQ750-WV"
};

// Bytes of a waveform file one at a time: through a stream slot (the import,
// whose input belongs to slot 0), or from an open file at an offset of its
// own through a block buffer. Several file sources may share one file: each
// seeks to its own place before it refills.
class TagByteSource {
 public:
  static TagByteSource FromSlot(int slot);
  TagByteSource(std::FILE* file, std::int64_t offset, std::size_t bufferBytes = 256 * 1024);

  bool Next(char* byte) {
    if (pos_ == fill_ && !Refill()) return false;
    *byte = buffer_[pos_++];
    ++offset_;
    return true;
  }
  // File offset of the next byte (bytes read through a slot: count from 0).
  std::int64_t offset() const { return offset_; }
  // True once a seek or read failed: the bytes ended there, not the file.
  bool failed() const { return failed_; }

 private:
  TagByteSource() = default;
  bool Refill();

  int slot_ = -1;
  std::FILE* file_ = nullptr;
  std::vector<char> buffer_;
  std::size_t fill_ = 0;
  std::size_t pos_ = 0;
  std::int64_t offset_ = 0;
  bool failed_ = false;
};

// ---- Tag names ----

enum class TagKind {
  kType,
  kSiCompensated,
  kResolution,
  kSystem,
  kComment,
  kCopyright,
  kDate,
  kClock,
  kSamples,
  kLevelOffs,
  kControlLength,
  kClockMarker,  // written by the writer; the import skips it as unknown
  kMarkerList,
  kData,
  kUnknown,
};

struct TagRule {
  TagKind kind;
  bool limited;  // content at most kMaxTagContentChars; unknown tags may be of any length
};

// The kind of a tag by its name: a name containing "WAVEFORM" is the data
// tag, the exact names of the table next, then a name containing
// "MARKER LIST " is a marker list; anything else is unknown.
TagRule TagRuleOf(const std::string& name);

// A tag name holds a marker list when it contains this text; the marker
// number follows it.
inline constexpr const char* kMarkerListTagMark = "MARKER LIST ";
// Names shown in messages about a name too long: its first characters.
inline constexpr std::size_t kTagNameShownChars = 10;

// Reads up to and including the next '{'; false when the input ends first.
bool SkipToTagOpen(TagByteSource& in);
// Reads the name up to its ':'; false when kMaxTagNameBytes + 1 bytes hold
// no ':' or the input ends first (*name holds what was read).
bool ReadTagName(TagByteSource& in, std::string* name);

// ---- Contents ----

enum class TokenEnd {
  kDelimiter,  // the delimiter ended it (consumed)
  kClose,      // '}' ended it (consumed)
  kInputEnd,   // the input ended
  kTooLong,    // more than maxChars characters (see readOn)
};

// The next token of a content: leading blanks (0x20 only) are skipped, then
// bytes are kept up to the delimiter, '}' or the end of the input. A token of
// more than maxChars characters ends, when readOn is false, right after its
// (maxChars+1)th byte (kTooLong, text holds maxChars); when readOn is true
// the rest is read up to the end as usual and only counted (*length counts
// every character, text keeps maxChars of them, the result is where it
// ended). A '}' or delimiter at once gives an empty text.
TokenEnd ScanToken(TagByteSource& in, std::string* text, std::size_t maxChars, char delimiter,
                   bool readOn = false, std::size_t* length = nullptr);

// Reads up to and including the next '}'; false when the input ends first.
bool SkipToTagClose(TagByteSource& in);

// ---- Values ----

// Only the text before the first ',' counts, compared exactly.
WaveformType TypeOfContent(const std::string& content, std::string* word = nullptr);
// The label of a type ("KVG waveform", ...), "" for none.
const char* WaveformTypeName(WaveformType type);
// Runtime text-to-number conversions: leading white space skipped, stops at
// the first unfit character, 0 without a number.
double TagDecimal(const std::string& text);
std::int64_t TagInteger(const char* text);
// Integers of the import's 32-bit fields saturate at the 32-bit limits.
std::int32_t TagInteger32(const char* text);
// LEVEL OFFS: "%lf%*[^0-9-]%lf"; false unless both numbers are found.
bool ScanLevelOffsets(const std::string& content, double* rmsOffset, double* peakOffset);
// The resolution of ZETQ words from the RESOLUTION content.
bool ResolutionIsSixteenBit(const std::string& content);
// The byte count n of the data tag "WAVEFORM-n"; false without a '-'.
bool DataTagByteCount(const std::string& name, std::int64_t* byteCount);
// The pairs of words that the data tag holds: (n - text - 1) / 4.
std::int64_t DataTagPairs(std::int64_t byteCount, std::size_t textLength);

// ---- Marker lists ----

// The marker number of a list: the decimal number from the 13th character
// of the name on; 0 when there is none.
long MarkerNumberOfTag(const std::string& name);
inline bool ValidMarkerNumber(long marker) { return marker >= 1 && marker <= 4; }

// The entries of one MARKER LIST content, in the order of the file: tokens
// up to ';'. The list ends at the tag's '}', at the end of the input, at an
// empty entry, and after an entry that is too long (the cut entry is still
// given; the input then stands inside the content, as the import leaves it).
class MarkerListScanner {
 public:
  explicit MarkerListScanner(TagByteSource& in) : in_(in) {}
  // The next entry; false when the list has ended.
  bool Next(std::string* entry);
  // The last entry given was too long and cut at kMaxTagContentChars.
  bool cut() const { return cut_; }
  // The input ended inside the list.
  bool inputEnded() const { return end_ == TokenEnd::kInputEnd; }

 private:
  TagByteSource& in_;
  bool more_ = true;
  bool cut_ = false;
  TokenEnd end_ = TokenEnd::kDelimiter;
};

enum class MarkerEntryFault {
  kNone,
  kRange,     // holds '-': a range form, not a transition
  kInvalid,   // not "position:state" with a state of 0 or 1
  kPosition,  // position negative or beyond what the temporary files hold
};
// Scans an entry like "%ld:%d" would: a decimal position, ':' directly after
// it, a decimal state (leading white space before each number skipped, a sign
// allowed); numbers saturate at the 32-bit limits. The position is kept also
// for kPosition.
MarkerEntryFault CheckMarkerEntry(const std::string& entry, std::int64_t* position,
                                  std::int64_t* state);
// The scan alone: the number of fields found (0, 1 or 2).
int ScanMarkerEntry(const std::string& entry, std::int64_t* position, std::int64_t* state);

// ---- Sample words ----

enum class WordKind { kKvg, kZq750, kZetq16, kZetq14 };
WordKind WordKindOf(WaveformType type, bool sixteenBit);

inline constexpr int kWordPairBytes = 4;  // I and Q, 16 bits each, least significant byte first

inline constexpr std::uint16_t kOffsetBinaryBit = 0x8000;
inline constexpr double kKvgWordOffset = 0.5;
// 14-bit ZETQ words: offset binary in the upper 14 bits, scaled by 32000.
inline constexpr std::uint16_t kZetq14DataMask = 0xFFFC;
inline constexpr double kZetq14Zero = 32768.5;
inline constexpr double kZetq14FullScale = 32000.0;

// Word to full-scale float as the import converts it: arithmetic in double,
// the result rounded to float.
template <WordKind kKind>
inline float DecodeWordAs(std::uint16_t word) {
  if constexpr (kKind == WordKind::kKvg) {
    return static_cast<float>((static_cast<std::int16_t>(word) - kKvgWordOffset) / kWordFullScale);
  } else if constexpr (kKind == WordKind::kZq750) {
    return static_cast<float>(static_cast<std::int16_t>(word) / kWordFullScale);
  } else if constexpr (kKind == WordKind::kZetq16) {
    const auto flipped = static_cast<std::uint16_t>(word ^ kOffsetBinaryBit);
    return static_cast<float>(static_cast<std::int16_t>(flipped) / kWordFullScale);
  } else {
    return static_cast<float>(((word & kZetq14DataMask) - kZetq14Zero) / kZetq14FullScale);
  }
}
float DecodeWord(WordKind kind, std::uint16_t word);
// DecodeWordAs<kKind> of every word, indexed by the word: a lookup gives bit
// for bit the float of the formula, without its division.
template <WordKind kKind>
const float* WordTableOf() {
  static const std::array<float, 65536> table = [] {
    std::array<float, 65536> values{};
    for (std::uint32_t word = 0; word < values.size(); ++word)
      values[word] = DecodeWordAs<kKind>(static_cast<std::uint16_t>(word));
    return values;
  }();
  return table.data();
}
// The word as the generator plays it, a signed two's complement value of
// full scale 32767: as written for KVG and ZQ750, top bit inverted for ZETQ
// (for 14-bit ZETQ also the marker bits cleared).
std::int16_t PlayedWord(WordKind kind, std::uint16_t word);
template <WordKind kKind>
inline std::int16_t PlayedWordAs(std::uint16_t word) {
  if constexpr (kKind == WordKind::kKvg || kKind == WordKind::kZq750) {
    return static_cast<std::int16_t>(word);
  } else if constexpr (kKind == WordKind::kZetq16) {
    return static_cast<std::int16_t>(word ^ kOffsetBinaryBit);
  } else {
    return static_cast<std::int16_t>((word & kZetq14DataMask) ^ kOffsetBinaryBit);
  }
}
// A word at a limit of its range, a clipped value: for 14-bit ZETQ words a
// converted value of magnitude 1 or more, for the others a played word of
// magnitude 32767 or more.
template <WordKind kKind>
inline bool IsFullScaleWordAs(std::uint16_t word) {
  if constexpr (kKind == WordKind::kZetq14) {
    const float value = DecodeWordAs<kKind>(word);
    return value >= 1.0f || value <= -1.0f;
  } else {
    const std::int16_t value = PlayedWordAs<kKind>(word);
    return value >= 32767 || value <= -32767;
  }
}
bool IsFullScaleWord(WordKind kind, std::uint16_t word);
// The word of silence of a kind (marker bits aside).
bool IsSilentWord(WordKind kind, std::uint16_t word);

// The marker byte carried in the two low bits of 14-bit ZETQ words: bit 0 of
// I is marker 1, bit 1 of I marker 2, bit 0 of Q marker 3, bit 1 of Q marker 4.
inline std::uint8_t MarkerByteFromWords(std::uint16_t iWord, std::uint16_t qWord) {
  return static_cast<std::uint8_t>((iWord & 3u) | ((qWord & 3u) << 2));
}
// The control length in effect at the data tag: 0 (none given) takes the
// SAMPLES value.
inline std::int64_t EffectiveControlLength(std::int64_t controlLength, std::int64_t samples) {
  return controlLength == 0 ? samples : controlLength;
}
// The markers come from the words' low bits for 14-bit ZETQ words when the
// MARKER LIST tags wrote no byte (listEnd: one past the last position their
// entries reached) and the control length in effect is at most 1.
bool MarkersInWordBits(WordKind kind, std::int64_t listEnd, std::int64_t controlLength);
