// Inspection of a waveform file: the tags are parsed by the rules the kxzetq
// reader follows, the words are read in blocks straight from the file, and the
// parts of the file are checked against each other.
#include "waveform/WaveformInspect.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/ByteOrder.h"
#include "common/Log.h"
#include "level/LevelOffsets.h"
#include "waveform/MarkerStream.h"
#include "waveform/WaveformFormat.h"

namespace {

constexpr std::size_t kReadBlockBytes = 256 * 1024;
constexpr std::size_t kWordBlockPairs = 64 * 1024;
constexpr int kPairBytes = 4;
constexpr double kLevelTolerance = 0.01;  // dB
constexpr double kMinClockHz = 1000.0;
constexpr double kMaxClockHz = 600000000.0;
constexpr std::uint16_t kOffsetBinaryBit = 0x8000;
constexpr std::uint16_t kZetq14DataMask = 0xFFFC;
constexpr double kKvgWordOffset = 0.5;
constexpr double kZetq14Zero = 32768.5;
constexpr double kZetq14FullScale = 32000.0;
constexpr std::int16_t kMaxWord = 32767;

// Bytes of the file one at a time through a block buffer.
class ByteSource {
 public:
  explicit ByteSource(std::FILE* file) : file_(file), buffer_(kReadBlockBytes) {}
  bool Next(char* byte) {
    if (pos_ == fill_) {
      fill_ = platform::ReadFile(file_, buffer_.data(), buffer_.size());
      pos_ = 0;
      if (fill_ == 0) return false;
    }
    *byte = buffer_[pos_++];
    ++offset_;
    return true;
  }
  std::int64_t offset() const { return offset_; }

 private:
  std::FILE* file_;
  std::vector<char> buffer_;
  std::size_t fill_ = 0;
  std::size_t pos_ = 0;
  std::int64_t offset_ = 0;
};

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

std::int64_t TextToInt64(const std::string& text) {
  return std::strtoll(text.c_str(), nullptr, 10);
}

// Content of a tag up to its '}', leading blanks dropped; false when the file
// ends first. Contents longer than keep characters are cut (length still counted).
bool ReadContent(ByteSource& in, std::string* text, std::size_t keep, std::size_t* length) {
  text->clear();
  *length = 0;
  char byte = 0;
  bool leading = true;
  while (in.Next(&byte)) {
    if (byte == '}') return true;
    if (leading && byte == ' ') continue;
    leading = false;
    if (text->size() < keep) text->push_back(byte);
    ++*length;
  }
  return false;
}

// One MARKER LIST tag, entry by entry; false when the file ends first.
bool ReadMarkerListTag(ByteSource& in, const std::string& name, WaveformHeader* header) {
  const std::string number =
      name.substr(name.find(kMarkerListTagMark) + std::strlen(kMarkerListTagMark));
  const long marker = std::strtol(number.c_str(), nullptr, 10);
  MarkerListInfo* list = nullptr;
  if (marker >= 1 && marker <= kMarkerCount) {
    list = &header->markers[marker - 1];
    if (list->present) header->problems.push_back("MARKER LIST " + number + " appears twice");
    list->present = true;
    list->entries.clear();
  } else {
    header->problems.push_back("invalid marker list '" + name + "'");
  }
  std::string entry;
  bool badReported = false;
  char byte = 0;
  while (true) {
    const bool more = in.Next(&byte);
    if (!more || byte == ';' || byte == '}') {
      const std::size_t first = entry.find_first_not_of(' ');
      if (list != nullptr && first != std::string::npos) {
        std::int64_t position = 0, state = 0;
        if (Contains(entry, "-") || ScanMarkerEntry(entry, &position, &state) != 2 ||
            position < 0 || entry.size() > kMaxTagContentChars) {
          if (!badReported)
            header->problems.push_back(FormatText("MARKER LIST %ld: invalid entry '", marker) +
                                       entry.substr(0, 40) + "'");
          badReported = true;
        } else {
          list->entries.push_back({position, static_cast<int>(state)});
        }
      }
      entry.clear();
      if (!more) return false;
      if (byte == '}') return true;
      continue;
    }
    if (entry.size() <= kMaxTagContentChars) entry.push_back(byte);
  }
}

void CheckContentLength(const std::string& name, std::size_t length, WaveformHeader* header) {
  if (length > kMaxTagContentChars)
    header->problems.push_back(FormatText("%s content is %zu characters long (at most %zu)",
                                          name.c_str(), length, kMaxTagContentChars));
}

// One tag before the data tag; false when the file ends inside it.
bool HandleTag(ByteSource& in, const std::string& name, WaveformHeader* header) {
  if (Contains(name, kMarkerListTagMark)) return ReadMarkerListTag(in, name, header);
  std::string content;
  std::size_t length = 0;
  if (!ReadContent(in, &content, kMaxTagContentChars + 1, &length)) return false;
  const bool known = name == "TYPE" || name == "CLOCK" || name == "SAMPLES" ||
                     name == "LEVEL OFFS" || name == "LEVEL OFFSET" || name == "CONTROL LENGTH" ||
                     name == "COMMENT" || name == "COPYRIGHT" || name == "DATE" ||
                     name == "SYSTEM" || name == "RESOLUTION" || name == "SI COMPENSATED";
  if (known) CheckContentLength(name, length, header);
  if (name == "TYPE") {
    header->typeText = content;
    const std::string word = content.substr(0, content.find(','));
    header->type = word == "KVG-WV"                     ? kWaveformKvg
                   : word == "ZQ750-WV"                 ? kWaveformZq750
                   : (word == "WV" || word == "WV-ADD") ? kWaveformZetq
                                                        : kWaveformNone;
    if (header->type == kWaveformNone)
      header->problems.push_back("TYPE '" + word + "' is not a waveform type");
  } else if (name == "CLOCK") {
    header->hasClock = true;
    header->clock = std::strtod(content.c_str(), nullptr);
    if (!(header->clock > kMinClockHz && header->clock <= kMaxClockHz))
      header->problems.push_back("CLOCK '" + content + "' is outside 0.001 to 600 MHz");
  } else if (name == "CLOCK MARKER") {
    header->hasMarkerClock = true;
    header->markerClock = std::strtod(content.c_str(), nullptr);
  } else if (name == "SAMPLES") {
    header->hasSamples = true;
    header->samples = TextToInt64(content);
    if (header->samples <= 0)
      header->problems.push_back("SAMPLES '" + content + "' is not positive");
  } else if (name == "CONTROL LENGTH") {
    header->hasControlLength = true;
    header->controlLength = TextToInt64(content);
  } else if (name == "LEVEL OFFS" || name == "LEVEL OFFSET") {
    header->hasLevels = std::sscanf(content.c_str(), "%lf%*[^0-9-]%lf", &header->rmsOffset,
                                    &header->peakOffset) == 2;
    if (!header->hasLevels) header->problems.push_back("LEVEL OFFS '" + content + "' is invalid");
  } else if (name == "RESOLUTION") {
    header->sixteenBit = Contains(content, "16");
  } else if (name == "COMMENT" || name == "COPYRIGHT" || name == "DATE" || name == "SYSTEM") {
    std::string& field = name == "COMMENT"     ? header->comment
                         : name == "COPYRIGHT" ? header->copyright
                         : name == "DATE"      ? header->date
                                               : header->system;
    field = content.substr(0, kMaxStoredTextChars);
  }
  return true;
}

// The data tag: name already read, the text up to '#' follows.
bool HandleDataTag(ByteSource& in, const std::string& name, WaveformHeader* header) {
  header->hasDataTag = true;
  header->dataTagName = name;
  if (header->typeText.empty()) header->problems.push_back("no TYPE tag before the WAVEFORM tag");
  std::string text;
  char byte = 0;
  bool leading = true;
  while (true) {
    if (!in.Next(&byte)) {
      header->problems.push_back("the file ends before the '#' of " + name);
      return false;
    }
    if (byte == '#') break;
    if (byte == '}') {
      header->problems.push_back(name + " holds no '#' before its closing brace");
      return false;
    }
    if (leading && byte == ' ') continue;
    leading = false;
    if (text.size() == kMaxTagContentChars) {
      header->problems.push_back("the text before the '#' of " + name + " is too long");
      return false;
    }
    text.push_back(byte);
  }
  const std::size_t dash = name.find('-');
  if (dash == std::string::npos) {
    header->problems.push_back("data tag '" + name + "' carries no byte count");
    return false;
  }
  header->declaredBytes = TextToInt64(name.substr(dash + 1));
  header->wordBytes = header->declaredBytes - static_cast<std::int64_t>(text.size()) - 1;
  header->dataOffset = in.offset();
  if (header->wordBytes < kPairBytes) {
    header->problems.push_back(name + " declares no sample words");
    return false;
  }
  if (header->wordBytes % kPairBytes != 0)
    header->problems.push_back(
        FormatText("%s declares %lld bytes of words, not a whole number of "
                   "I/Q pairs",
                   name.c_str(), static_cast<long long>(header->wordBytes)));
  const std::int64_t available = header->fileSize - header->dataOffset;
  header->pairsPresent = std::min(available, header->wordBytes) / kPairBytes;
  return true;
}

bool ParseTags(ByteSource& in, WaveformHeader* header) {
  std::string name;
  char byte = 0;
  while (true) {
    do {
      if (!in.Next(&byte)) {
        header->problems.push_back("no WAVEFORM tag: the file ends after its tags");
        return false;
      }
    } while (byte != '{');
    name.clear();
    bool named = false;
    while (name.size() <= kMaxTagNameBytes) {
      if (!in.Next(&byte)) break;
      if (byte == ':') {
        named = true;
        break;
      }
      name.push_back(byte);
    }
    if (!named) {
      header->problems.push_back("tag name '" + name.substr(0, 10) +
                                 "...' has no ':' (too long or cut off)");
      return false;
    }
    if (Contains(name, "WAVEFORM")) return HandleDataTag(in, name, header);
    if (!HandleTag(in, name, header)) {
      header->problems.push_back("tag '" + name + "' has no closing brace");
      return false;
    }
  }
}

// The structure after the declared words: the closing brace and what follows.
void CheckDataEnd(std::FILE* file, WaveformReport* report) {
  WaveformHeader& header = report->header;
  const std::int64_t end = header.dataOffset + header.wordBytes;  // where '}' belongs
  if (header.fileSize < end) {
    header.problems.push_back(FormatText(
        "%s declares %lld bytes of words, the file holds only %lld (cut off); the closing brace "
        "is missing",
        header.dataTagName.c_str(), static_cast<long long>(header.wordBytes),
        static_cast<long long>(header.fileSize - header.dataOffset)));
    return;
  }
  char brace = 0;
  if (end < header.fileSize && platform::SeekFile(file, end) &&
      platform::ReadFile(file, &brace, 1) == 1 && brace == '}') {
    report->trailingBytes = header.fileSize - end - 1;
    if (report->trailingBytes > 0)
      header.problems.push_back(FormatText("%lld trailing bytes after the closing brace",
                                           static_cast<long long>(report->trailingBytes)));
    return;
  }
  char last = 0;
  if (header.fileSize > end + 1 && platform::SeekFile(file, header.fileSize - 1) &&
      platform::ReadFile(file, &last, 1) == 1 && last == '}') {
    header.problems.push_back(FormatText(
        "WAVEFORM length does not match: %s declares %lld bytes of words, the tag holds %lld",
        header.dataTagName.c_str(), static_cast<long long>(header.wordBytes),
        static_cast<long long>(header.fileSize - 1 - header.dataOffset)));
    return;
  }
  header.problems.push_back(
      FormatText("the closing brace of %s is missing", header.dataTagName.c_str()));
  report->trailingBytes = header.fileSize - end;
  if (report->trailingBytes > 0)
    header.problems.push_back(FormatText("%lld bytes follow the declared words",
                                         static_cast<long long>(report->trailingBytes)));
}

std::string FormatDb(double value) { return FormatText("%.6f", value); }

void CheckAgainstWords(WaveformReport* report) {
  WaveformHeader& header = report->header;
  const WordStatistics& stats = report->stats;
  if (!header.hasSamples) {
    header.notes.push_back("no SAMPLES tag");
  } else if (header.samples != stats.pairs) {
    header.problems.push_back(FormatText("SAMPLES says %lld, the words present make %lld pairs",
                                         static_cast<long long>(header.samples),
                                         static_cast<long long>(stats.pairs)));
  }
  if (!header.hasLevels) {
    header.notes.push_back("no LEVEL OFFS tag");
  } else if (stats.pairs > 0 &&
             (std::fabs(header.rmsOffset - stats.rmsOffset) > kLevelTolerance ||
              std::fabs(header.peakOffset - stats.peakOffset) > kLevelTolerance)) {
    header.problems.push_back("LEVEL OFFS " + FormatDb(header.rmsOffset) + "," +
                              FormatDb(header.peakOffset) + " differs from the measured " +
                              FormatDb(stats.rmsOffset) + "," + FormatDb(stats.peakOffset) +
                              " by more than 0.01 dB");
  }
  if (header.hasControlLength && header.controlLength != stats.pairs)
    header.notes.push_back(FormatText("CONTROL LENGTH %lld differs from the pair count",
                                      static_cast<long long>(header.controlLength)));
}

}  // namespace

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

bool MarkersInWordBits(const WaveformHeader& header) {
  bool lists = false;
  for (const MarkerListInfo& list : header.markers) lists = lists || list.present;
  return header.type == kWaveformZetq && !header.sixteenBit && !lists &&
         (!header.hasControlLength || header.controlLength <= 1);
}

float DecodeWord(const WaveformHeader& header, std::uint16_t word) {
  switch (header.type) {
    case kWaveformKvg:
      return static_cast<float>((static_cast<std::int16_t>(word) - kKvgWordOffset) /
                                kWordFullScale);
    case kWaveformZetq:
      if (!header.sixteenBit)
        return static_cast<float>(((word & kZetq14DataMask) - kZetq14Zero) / kZetq14FullScale);
      return static_cast<float>(static_cast<std::int16_t>(word ^ kOffsetBinaryBit) /
                                kWordFullScale);
    default:
      return static_cast<float>(static_cast<std::int16_t>(word) / kWordFullScale);
  }
}

std::int16_t SignedWord(const WaveformHeader& header, std::uint16_t word) {
  if (header.type != kWaveformZetq) return static_cast<std::int16_t>(word);
  if (!header.sixteenBit) word &= kZetq14DataMask;
  return static_cast<std::int16_t>(word ^ kOffsetBinaryBit);
}

platform::FileHandle OpenWaveform(const std::string& path, WaveformHeader* header) {
  *header = WaveformHeader{};
  header->path = path;
  if (!platform::GetFileSize(path, &header->fileSize)) {
    LogAlways({"*** Cannot open waveform file '", path, "'."});
    return {};
  }
  platform::FileHandle file(platform::OpenFile(path, "rb"));
  if (!file) {
    LogAlways({"*** Cannot open waveform file '", path, "'."});
    return {};
  }
  ByteSource in(file.get());
  if (!ParseTags(in, header)) return {};
  if (!platform::SeekFile(file.get(), header->dataOffset)) {
    LogAlways({"*** Cannot read waveform file '", path, "'."});
    return {};
  }
  return file;
}

int ForEachWordBlock(std::FILE* file, const WaveformHeader& header, const WordBlockVisitor& visit) {
  std::vector<unsigned char> bytes(kWordBlockPairs * kPairBytes);
  std::vector<std::uint16_t> words(kWordBlockPairs * 2);
  for (std::int64_t first = 0; first < header.pairsPresent;) {
    const auto pairs = static_cast<std::size_t>(
        std::min<std::int64_t>(kWordBlockPairs, header.pairsPresent - first));
    if (platform::ReadFile(file, bytes.data(), pairs * kPairBytes) != pairs * kPairBytes) {
      LogAlways({"*** Cannot read the sample words of '", header.path, "'."});
      return 0;
    }
    for (std::size_t w = 0; w < 2 * pairs; ++w) words[w] = LoadLE16(&bytes[2 * w]);
    if (!visit(words.data(), pairs, first)) return 0;
    first += static_cast<std::int64_t>(pairs);
  }
  return 1;
}

MarkerListCursor::MarkerListCursor(const WaveformHeader& header) : header_(header) {}

std::uint8_t MarkerListCursor::At(std::int64_t position) {
  for (int m = 0; m < kMarkerCount; ++m) {
    const std::vector<MarkerEntry>& entries = header_.markers[m].entries;
    // An entry counts only at or after the position the list has reached, as
    // the reader applies lists.
    while (next_[m] < entries.size() && entries[next_[m]].position <= position) {
      const MarkerEntry& entry = entries[next_[m]++];
      if (entry.position < reached_[m]) continue;
      reached_[m] = entry.position;
      const auto bit = static_cast<std::uint8_t>(1u << m);
      bits_ = static_cast<std::uint8_t>(entry.state != 0 ? (bits_ | bit) : (bits_ & ~bit));
    }
  }
  return bits_;
}

std::vector<MarkerStretch> MarkerStretchesFromLists(const WaveformHeader& header,
                                                    std::int64_t pairs) {
  std::vector<MarkerStretch> stretches;
  for (int m = 0; m < kMarkerCount; ++m) {
    bool high = false;
    std::int64_t start = 0, reached = 0;
    for (const MarkerEntry& entry : header.markers[m].entries) {
      if (entry.position < reached) continue;
      reached = entry.position;
      if (entry.position >= pairs) break;
      const bool nowHigh = entry.state != 0;
      if (nowHigh && !high) start = entry.position;
      if (!nowHigh && high && entry.position > start)
        stretches.push_back({m + 1, start, entry.position - start});
      high = nowHigh;
    }
    if (high && pairs > start) stretches.push_back({m + 1, start, pairs - start});
  }
  std::stable_sort(
      stretches.begin(), stretches.end(),
      [](const MarkerStretch& a, const MarkerStretch& b) { return a.start < b.start; });
  return stretches;
}

platform::FileHandle OpenWaveformSamples(const std::string& path, WaveformHeader* header) {
  platform::FileHandle file = OpenWaveform(path, header);
  if (!file) {
    for (const std::string& problem : header->problems) LogAlways({"*** ", problem});
    LogAlways({"*** Cannot read the samples of '", path, "'."});
  }
  return file;
}

int InspectWaveform(const std::string& path, WaveformReport* report) {
  *report = WaveformReport{};
  WaveformHeader& header = report->header;
  platform::FileHandle file = OpenWaveform(path, &header);
  if (!file) {
    if (header.path.empty()) header.path = path;
    return header.problems.empty() ? 0 : 1;
  }

  double powerSum = 0.0, peakPower = 0.0, sumI = 0.0, sumQ = 0.0;
  std::int64_t fullScale = 0;
  bool silent = true;  // every word is the type's zero word
  const bool zetq14 = header.type == kWaveformZetq && !header.sixteenBit;
  const std::uint16_t dataMask = zetq14 ? kZetq14DataMask : 0xFFFF;
  const std::uint16_t zeroWord = header.type == kWaveformZetq ? kOffsetBinaryBit : 0;
  const bool ok = ForEachWordBlock(
      file.get(), header, [&](const std::uint16_t* words, std::size_t pairs, std::int64_t) {
        for (std::size_t p = 0; p < pairs; ++p) {
          const float i = DecodeWord(header, words[2 * p]);
          const float q = DecodeWord(header, words[2 * p + 1]);
          const double power = double{i} * i + double{q} * q;
          powerSum += power;
          peakPower = std::max(peakPower, power);
          sumI += i;
          sumQ += q;
          for (int k = 0; k < 2; ++k) {
            const std::uint16_t word = words[2 * p + k];
            const std::int16_t value = SignedWord(header, word);
            const bool atLimit = zetq14 ? std::fabs(k == 0 ? i : q) >= 1.0f
                                        : (value >= kMaxWord || value <= -kMaxWord);
            fullScale += atLimit ? 1 : 0;
            silent = silent && (word & dataMask) == zeroWord;
          }
        }
        return true;
      });
  if (!ok) return 0;

  WordStatistics& stats = report->stats;
  stats.pairs = header.pairsPresent;
  stats.fullScaleWords = fullScale;
  if (stats.pairs > 0) {
    const auto n = static_cast<double>(stats.pairs);
    stats.meanI = sumI / n;
    stats.meanQ = sumQ / n;
    stats.rmsOffset = silent ? kSilentLevelOffset : LevelOffsetFromLinear(std::sqrt(powerSum / n));
    stats.peakOffset = silent ? kSilentLevelOffset : LevelOffsetFromLinear(std::sqrt(peakPower));
  }
  CheckDataEnd(file.get(), report);
  CheckAgainstWords(report);
  return 1;
}
