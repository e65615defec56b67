// Tag contents are read one byte per call: tags are short and rare next to
// the sample data, so the simple path is the clear one. The import reads
// through its slot a byte at a time, as the stream layer expects; a file
// source refills a block buffer.
#include "waveform/WaveformScan.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "platform/Platform.h"

namespace {

constexpr char kBlank = ' ';
constexpr char kTagOpen = '{';
constexpr char kTagNameEnd = ':';
constexpr char kTagClose = '}';
constexpr char kTypeWordEnd = ',';
constexpr char kDataCountMark = '-';
constexpr char kEntryDelimiter = ';';
constexpr char kPositionStateSeparator = ':';
constexpr char kRangeMark = '-';
constexpr const char* kDataTagMark = "WAVEFORM";
constexpr const char* kSixteenBitMark = "16";

struct NamedTag {
  const char* name;
  TagKind kind;
  bool limited;
};

// The known names, compared exactly and as a whole.
constexpr NamedTag kNamedTags[] = {
    {"TYPE", TagKind::kType, true},
    {"SI COMPENSATED", TagKind::kSiCompensated, true},
    {"RESOLUTION", TagKind::kResolution, true},
    {"SYSTEM", TagKind::kSystem, true},
    {"COMMENT", TagKind::kComment, true},
    {"COPYRIGHT", TagKind::kCopyright, true},
    {"DATE", TagKind::kDate, true},
    {"CLOCK", TagKind::kClock, true},
    {"SAMPLES", TagKind::kSamples, true},
    {"LEVEL OFFS", TagKind::kLevelOffs, true},
    {"LEVEL OFFSET", TagKind::kLevelOffs, true},
    {"CONTROL LENGTH", TagKind::kControlLength, true},
    {"CLOCK MARKER", TagKind::kClockMarker, false},
};

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Reads an optionally signed decimal number the way the runtime's scanner
// does for %ld and %d; false when no digit follows.
bool ScanDecimal(const char** text, std::int64_t* value) {
  const char* p = *text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  // Saturates at the 32-bit limits; the accumulator stays far from overflow.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    magnitude = std::min(magnitude * 10 + (*p - '0'), kLimit);
    ++p;
  }
  *value = negative ? -magnitude : std::min(magnitude, kLimit - 1);
  *text = p;
  return true;
}

}  // namespace

TagByteSource TagByteSource::FromSlot(int slot) {
  TagByteSource source;
  source.slot_ = slot;
  source.buffer_.resize(1);
  return source;
}

TagByteSource::TagByteSource(std::FILE* file, std::int64_t offset, std::size_t bufferBytes)
    : file_(file), buffer_(std::max<std::size_t>(bufferBytes, 1)), offset_(offset) {}

bool TagByteSource::Refill() {
  pos_ = 0;
  fill_ = 0;
  if (failed_) return false;
  if (slot_ >= 0) {
    const std::int32_t got = _ReadBytes(slot_, 1, buffer_.data());
    fill_ = got == 1 ? 1 : 0;
    failed_ = got < 0;
  } else if (file_ != nullptr) {
    if (platform::SeekFile(file_, offset_))
      fill_ = platform::ReadFile(file_, buffer_.data(), buffer_.size());
    else
      failed_ = true;
    if (platform::StreamFailed(file_)) {
      failed_ = true;
      fill_ = 0;
    }
  }
  return fill_ > 0;
}

TagRule TagRuleOf(const std::string& name) {
  if (Contains(name, kDataTagMark)) return {TagKind::kData, true};
  for (const NamedTag& tag : kNamedTags)
    if (name == tag.name) return {tag.kind, tag.limited};
  if (Contains(name, kMarkerListTagMark)) return {TagKind::kMarkerList, true};
  return {TagKind::kUnknown, false};
}

bool SkipToTagOpen(TagByteSource& in) {
  char byte = 0;
  while (in.Next(&byte)) {
    if (byte == kTagOpen) return true;
  }
  return false;
}

bool ReadTagName(TagByteSource& in, std::string* name) {
  name->clear();
  char byte = 0;
  for (std::size_t read = 0; read <= kMaxTagNameBytes; ++read) {
    if (!in.Next(&byte)) return false;
    if (byte == kTagNameEnd) return true;
    name->push_back(byte);
  }
  return false;
}

TokenEnd ScanToken(TagByteSource& in, std::string* text, std::size_t maxChars, char delimiter,
                   bool readOn, std::size_t* length) {
  text->clear();
  std::size_t counted = 0;
  TokenEnd end = TokenEnd::kInputEnd;
  char byte = 0;
  bool leading = true;
  while (in.Next(&byte)) {
    if (leading && byte == kBlank) continue;
    leading = false;
    if (byte == delimiter) {
      end = TokenEnd::kDelimiter;
      break;
    }
    if (byte == kTagClose) {
      end = TokenEnd::kClose;
      break;
    }
    if (counted == maxChars && !readOn) {
      end = TokenEnd::kTooLong;
      break;
    }
    if (counted < maxChars) text->push_back(byte);
    ++counted;
  }
  if (length != nullptr) *length = counted;
  return end;
}

bool SkipToTagClose(TagByteSource& in) {
  char byte = 0;
  while (in.Next(&byte)) {
    if (byte == kTagClose) return true;
  }
  return false;
}

WaveformType TypeOfContent(const std::string& content, std::string* word) {
  const std::string typeWord = content.substr(0, content.find(kTypeWordEnd));
  if (word != nullptr) *word = typeWord;
  if (typeWord == "KVG-WV") return kWaveformKvg;
  if (typeWord == "ZQ750-WV") return kWaveformZq750;
  if (typeWord == "WV" || typeWord == "WV-ADD") return kWaveformZetq;
  return kWaveformNone;
}

const char* WaveformTypeName(WaveformType type) {
  switch (type) {
    case kWaveformKvg:
      return "KVG waveform";
    case kWaveformZq750:
      return "ZQ750 waveform";
    case kWaveformZetq:
      return "ZETQ waveform";
    default:
      return "";
  }
}

double TagDecimal(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::int64_t TagInteger(const char* text) { return std::strtoll(text, nullptr, 10); }

std::int32_t TagInteger32(const char* text) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(TagInteger(text), std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

bool ScanLevelOffsets(const std::string& content, double* rmsOffset, double* peakOffset) {
  return std::sscanf(content.c_str(), "%lf%*[^0-9-]%lf", rmsOffset, peakOffset) == 2;
}

bool ResolutionIsSixteenBit(const std::string& content) {
  return Contains(content, kSixteenBitMark);
}

bool DataTagByteCount(const std::string& name, std::int64_t* byteCount) {
  const std::size_t dash = name.find(kDataCountMark);
  if (dash == std::string::npos) return false;
  // The count goes into a 32-bit field of the import.
  *byteCount = TagInteger32(name.c_str() + dash + 1);
  return true;
}

std::int64_t DataTagPairs(std::int64_t byteCount, std::size_t textLength) {
  return (byteCount - static_cast<std::int64_t>(textLength) - 1) / kWordPairBytes;
}

long MarkerNumberOfTag(const std::string& name) {
  const std::size_t numberAt = std::strlen(kMarkerListTagMark);
  return name.size() >= numberAt ? std::strtol(name.c_str() + numberAt, nullptr, 10) : 0;
}

bool MarkerListScanner::Next(std::string* entry) {
  if (!more_) return false;
  cut_ = false;
  const TokenEnd end = ScanToken(in_, entry, kMaxTagContentChars, kEntryDelimiter);
  end_ = end;
  // An entry that ends at the tag's close or is cut is the list's last; an
  // entry that ends with the input is given, the next read finds nothing.
  more_ = end == TokenEnd::kDelimiter || (end == TokenEnd::kInputEnd && !entry->empty());
  cut_ = end == TokenEnd::kTooLong;
  if (entry->empty()) more_ = false;
  return !entry->empty();
}

int ScanMarkerEntry(const std::string& entry, std::int64_t* position, std::int64_t* state) {
  const char* text = entry.c_str();
  if (!ScanDecimal(&text, position)) return 0;
  if (*text != kPositionStateSeparator) return 1;
  ++text;
  return ScanDecimal(&text, state) ? 2 : 1;
}

MarkerEntryFault CheckMarkerEntry(const std::string& entry, std::int64_t* position,
                                  std::int64_t* state) {
  if (entry.find(kRangeMark) != std::string::npos) return MarkerEntryFault::kRange;
  // A state is 0 or 1; any other value would set the bits of other markers.
  if (ScanMarkerEntry(entry, position, state) != 2 || (*state != 0 && *state != 1))
    return MarkerEntryFault::kInvalid;
  // The stream can never be longer than the temporary waveform file.
  if (*position < 0 || *position > kMaxTempSamples) return MarkerEntryFault::kPosition;
  return MarkerEntryFault::kNone;
}

WordKind WordKindOf(WaveformType type, bool sixteenBit) {
  if (type == kWaveformKvg) return WordKind::kKvg;
  if (type == kWaveformZq750) return WordKind::kZq750;
  return sixteenBit ? WordKind::kZetq16 : WordKind::kZetq14;
}

float DecodeWord(WordKind kind, std::uint16_t word) {
  switch (kind) {
    case WordKind::kKvg:
      return DecodeWordAs<WordKind::kKvg>(word);
    case WordKind::kZq750:
      return DecodeWordAs<WordKind::kZq750>(word);
    case WordKind::kZetq16:
      return DecodeWordAs<WordKind::kZetq16>(word);
    default:
      return DecodeWordAs<WordKind::kZetq14>(word);
  }
}

std::int16_t PlayedWord(WordKind kind, std::uint16_t word) {
  if (kind == WordKind::kKvg || kind == WordKind::kZq750) return static_cast<std::int16_t>(word);
  if (kind == WordKind::kZetq14) word &= kZetq14DataMask;
  return static_cast<std::int16_t>(word ^ kOffsetBinaryBit);
}

bool IsFullScaleWord(WordKind kind, std::uint16_t word) {
  switch (kind) {
    case WordKind::kKvg:
      return IsFullScaleWordAs<WordKind::kKvg>(word);
    case WordKind::kZq750:
      return IsFullScaleWordAs<WordKind::kZq750>(word);
    case WordKind::kZetq16:
      return IsFullScaleWordAs<WordKind::kZetq16>(word);
    default:
      return IsFullScaleWordAs<WordKind::kZetq14>(word);
  }
}

bool IsSilentWord(WordKind kind, std::uint16_t word) { return PlayedWord(kind, word) == 0; }

bool MarkersInWordBits(WordKind kind, std::int64_t listEnd, std::int64_t controlLength) {
  return kind == WordKind::kZetq14 && listEnd == 0 && controlLength <= 1;
}
