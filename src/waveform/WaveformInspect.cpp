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
#include "import/InputFile.h"
#include "level/LevelOffsets.h"
#include "waveform/WaveformFormat.h"

namespace {

constexpr std::size_t kWordBlockPairs = 64 * 1024;
constexpr std::size_t kListBufferBytes = 16 * 1024;  // for each list read again
constexpr double kLevelTolerance = 0.01;             // dB

// Content of a tag up to its '}', leading blanks dropped; false when the file
// ends first. Contents longer than keep characters are cut (length still counted).
bool ReadContent(TagByteSource& in, std::string* text, std::size_t keep, std::size_t* length) {
  return ScanToken(in, text, keep, '}', true, length) != TokenEnd::kInputEnd;
}

// One MARKER LIST tag: its entries are checked and counted by the import's
// rules and the first few kept; where its content starts is noted, so that
// it can be read again. False when the file ends inside it.
bool ReadMarkerListTag(TagByteSource& in, const std::string& name, WaveformHeader* header) {
  const long marker = MarkerNumberOfTag(name);
  if (!ValidMarkerNumber(marker)) {
    header->problems.push_back("invalid marker list '" + name + "'");
    return SkipToTagClose(in);
  }
  MarkerListInfo& list = header->markers[marker - 1];
  if (list.present) header->problems.push_back(FormatText("MARKER LIST %ld appears twice", marker));
  list.present = true;
  list.entryCount = 0;
  list.firstEntries.clear();
  if (list.contentOffsets.size() < kMaxMarkerListTags) {
    list.contentOffsets.push_back(in.offset());
  } else if (list.contentOffsets.size() == kMaxMarkerListTags) {
    list.contentOffsets.push_back(-1);  // marks the report below as made
    header->problems.push_back(
        FormatText("more than %zu MARKER LIST %ld tags; the later ones are not followed",
                   kMaxMarkerListTags, marker));
  }
  MarkerListScanner entries(in);
  std::string entry;
  std::int64_t reached = 0;  // the import's current position in this list
  bool badReported = false;
  while (entries.Next(&entry)) {
    std::int64_t position = 0, state = 0;
    if (entries.cut() || CheckMarkerEntry(entry, &position, &state) != MarkerEntryFault::kNone) {
      if (!badReported)
        header->problems.push_back(FormatText("MARKER LIST %ld: invalid entry '", marker) +
                                   entry.substr(0, 40) + "'");
      badReported = true;
      continue;
    }
    if (list.firstEntries.size() < kKeptMarkerEntries)
      list.firstEntries.push_back({position, static_cast<int>(state)});
    ++list.entryCount;
    if (position >= reached) reached = position + 1;
    header->markerListEnd = std::max(header->markerListEnd, reached);
  }
  return !entries.inputEnded();
}

void CheckContentLength(const std::string& name, std::size_t length, WaveformHeader* header) {
  if (length > kMaxTagContentChars)
    header->problems.push_back(FormatText("%s content is %zu characters long (at most %zu)",
                                          name.c_str(), length, kMaxTagContentChars));
}

// One tag before the data tag; false when the file ends inside it.
bool HandleTag(TagByteSource& in, const std::string& name, WaveformHeader* header) {
  if (TagRuleOf(name).kind == TagKind::kMarkerList) return ReadMarkerListTag(in, name, header);
  std::string content;
  std::size_t length = 0;
  if (!ReadContent(in, &content, kMaxTagContentChars + 1, &length)) return false;
  const TagRule rule = TagRuleOf(name);
  if (rule.limited) CheckContentLength(name, length, header);
  switch (rule.kind) {
    case TagKind::kType: {
      header->typeText = content;
      std::string word;
      header->type = TypeOfContent(content, &word);
      if (header->type == kWaveformNone)
        header->problems.push_back("TYPE '" + word + "' is not a waveform type");
      break;
    }
    case TagKind::kClock:
      header->hasClock = true;
      header->clock = TagDecimal(content);
      if (!ClockInRange(header->clock))
        header->problems.push_back("CLOCK '" + content + "' is outside 0.001 to 600 MHz");
      break;
    case TagKind::kClockMarker:
      header->hasMarkerClock = true;
      header->markerClock = TagDecimal(content);
      break;
    case TagKind::kSamples:
      header->hasSamples = true;
      header->samples = TagInteger(content.c_str());
      if (header->samples <= 0)
        header->problems.push_back("SAMPLES '" + content + "' is not positive");
      break;
    case TagKind::kControlLength:
      header->hasControlLength = true;
      header->controlLength = TagInteger(content.c_str());
      break;
    case TagKind::kLevelOffs:
      header->hasLevels = ScanLevelOffsets(content, &header->rmsOffset, &header->peakOffset);
      if (!header->hasLevels) header->problems.push_back("LEVEL OFFS '" + content + "' is invalid");
      break;
    case TagKind::kResolution:
      header->sixteenBit = ResolutionIsSixteenBit(content);
      break;
    case TagKind::kComment:
      header->comment = content.substr(0, kMaxStoredTextChars);
      break;
    case TagKind::kCopyright:
      header->copyright = content.substr(0, kMaxStoredTextChars);
      break;
    case TagKind::kDate:
      header->date = content.substr(0, kMaxStoredTextChars);
      break;
    case TagKind::kSystem:
      header->system = content.substr(0, kMaxStoredTextChars);
      break;
    default:
      break;
  }
  return true;
}

// The data tag: name already read, the text up to '#' follows.
bool HandleDataTag(TagByteSource& in, const std::string& name, WaveformHeader* header) {
  header->hasDataTag = true;
  header->dataTagName = name;
  if (header->typeText.empty()) header->problems.push_back("no TYPE tag before the WAVEFORM tag");
  std::string text;
  switch (ScanToken(in, &text, kMaxTagContentChars, '#')) {
    case TokenEnd::kInputEnd:
      header->problems.push_back("the file ends before the '#' of " + name);
      return false;
    case TokenEnd::kTooLong:
      header->problems.push_back("the text before the '#' of " + name + " is too long");
      return false;
    case TokenEnd::kClose:
      header->problems.push_back(name + " holds no '#' before its closing brace");
      // The import takes the words from right after a brace that follows at
      // once; any other text makes it fail.
      if (!text.empty()) return false;
      break;
    default:
      break;
  }
  if (!DataTagByteCount(name, &header->declaredBytes)) {
    header->problems.push_back("data tag '" + name + "' carries no byte count");
    return false;
  }
  header->wordBytes = header->declaredBytes - static_cast<std::int64_t>(text.size()) - 1;
  header->dataOffset = in.offset();
  if (header->wordBytes < kWordPairBytes) {
    header->problems.push_back(name + " declares no sample words");
    return false;
  }
  if (header->wordBytes % kWordPairBytes != 0)
    header->problems.push_back(
        FormatText("%s declares %lld bytes of words, not a whole number of "
                   "I/Q pairs",
                   name.c_str(), static_cast<long long>(header->wordBytes)));
  const std::int64_t available = header->fileSize - header->dataOffset;
  header->pairsPresent = std::min(available, header->wordBytes) / kWordPairBytes;
  return true;
}

bool ParseTags(TagByteSource& in, WaveformHeader* header) {
  std::string name;
  while (true) {
    if (!SkipToTagOpen(in)) {
      header->problems.push_back("no WAVEFORM tag: the file ends after its tags");
      return false;
    }
    if (!ReadTagName(in, &name)) {
      header->problems.push_back("tag name '" + name.substr(0, kTagNameShownChars) +
                                 "...' has no ':' (too long or cut off)");
      return false;
    }
    if (TagRuleOf(name).kind == TagKind::kData) return HandleDataTag(in, name, header);
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

// The declared offsets agree with figures measured: within 0.01 dB.
bool LevelsAgree(const WaveformHeader& header, double rmsOffset, double peakOffset) {
  return std::fabs(header.rmsOffset - rmsOffset) <= kLevelTolerance &&
         std::fabs(header.peakOffset - peakOffset) <= kLevelTolerance;
}

// A declared offset agrees with the level played from the words within 0.01
// dB or within what writing the values as words can move it: each value by
// at most one step, so the level (RMS or peak of I/Q vectors) by at most
// sqrt(2) steps.
bool OffsetAgreesWithPlayed(double declaredOffset, double playedOffset) {
  const double declared = LinearFromLevelOffset(declaredOffset);
  const double played =
      playedOffset >= kSilentLevelOffset ? 0.0 : LinearFromLevelOffset(playedOffset);
  const double allowance =
      std::sqrt(2.0) / kWordFullScale + played * (std::pow(10.0, kLevelTolerance / 20.0) - 1.0);
  return std::isfinite(declared) && std::fabs(declared - played) <= allowance;
}

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
  const bool agrees = LevelsAgree(header, stats.rmsOffset, stats.peakOffset) ||
                      (OffsetAgreesWithPlayed(header.rmsOffset, stats.playedRmsOffset) &&
                       OffsetAgreesWithPlayed(header.peakOffset, stats.playedPeakOffset));
  if (!header.hasLevels) {
    header.notes.push_back("no LEVEL OFFS tag");
  } else if (stats.pairs > 0 && !agrees) {
    header.problems.push_back("LEVEL OFFS " + FormatDb(header.rmsOffset) + "," +
                              FormatDb(header.peakOffset) + " differs from the measured " +
                              FormatDb(stats.rmsOffset) + "," + FormatDb(stats.peakOffset) +
                              " by more than 0.01 dB");
  }
  if (header.hasControlLength && header.controlLength != stats.pairs)
    header.notes.push_back(FormatText("CONTROL LENGTH %lld differs from the pair count",
                                      static_cast<long long>(header.controlLength)));
}

// The valid entries of one MARKER LIST tag that count for the import (each
// beyond the position the list has reached), read again from the file.
class ListEntries {
 public:
  ListEntries(std::FILE* file, std::int64_t offset)
      : in_(file, offset, kListBufferBytes), scanner_(in_) {}
  bool Next(MarkerEntry* entry) {
    std::string text;
    while (scanner_.Next(&text)) {
      std::int64_t position = 0, state = 0;
      if (scanner_.cut() || CheckMarkerEntry(text, &position, &state) != MarkerEntryFault::kNone ||
          position < reached_)
        continue;
      reached_ = position + 1;
      *entry = {position, static_cast<int>(state)};
      return true;
    }
    return false;
  }
  // A failed read ended the entries, not the list.
  bool failed() const { return in_.failed(); }

 private:
  TagByteSource in_;
  MarkerListScanner scanner_;
  std::int64_t reached_ = 0;
};

}  // namespace

// The state of one marker from the file's lists of it: each list holds the
// state of its last entry up to its next one, and the marker is high where
// any of its lists is.
class MarkerTrace {
 public:
  MarkerTrace(std::FILE* file, const MarkerListInfo& list) {
    for (std::int64_t offset : list.contentOffsets) {
      if (offset < 0) continue;
      lists_.push_back(std::make_unique<ListEntries>(file, offset));
      pending_.push_back({});
      has_.push_back(lists_.back()->Next(&pending_.back()));
      high_.push_back(false);
    }
  }

  // The next position at which the state may change; false when none.
  bool NextChange(std::int64_t* position) const {
    bool any = false;
    for (std::size_t k = 0; k < lists_.size(); ++k) {
      if (has_[k] && (!any || pending_[k].position < *position)) {
        *position = pending_[k].position;
        any = true;
      }
    }
    return any;
  }

  // The state at position; positions never decrease.
  bool At(std::int64_t position) {
    bool high = false;
    for (std::size_t k = 0; k < lists_.size(); ++k) {
      while (has_[k] && pending_[k].position <= position) {
        high_[k] = pending_[k].state != 0;
        has_[k] = lists_[k]->Next(&pending_[k]);
      }
      high = high || high_[k];
    }
    return high;
  }

  bool failed() const {
    return std::any_of(lists_.begin(), lists_.end(),
                       [](const std::unique_ptr<ListEntries>& list) { return list->failed(); });
  }

 private:
  std::vector<std::unique_ptr<ListEntries>> lists_;
  std::vector<MarkerEntry> pending_;
  std::vector<bool> has_;
  std::vector<bool> high_;
};

namespace {

// The high stretches of one marker in order.
class StretchWalk {
 public:
  StretchWalk(std::FILE* file, const WaveformHeader& header, int marker, std::int64_t pairs)
      : trace_(file, header.markers[marker - 1]), marker_(marker), pairs_(pairs) {}

  bool Next(MarkerStretch* stretch) {
    std::int64_t position = 0;
    while (!done_) {
      if (!trace_.NextChange(&position) || position >= pairs_) {
        done_ = true;
        if (!high_ || pairs_ <= start_) return false;
        *stretch = {marker_, start_, pairs_ - start_};
        return true;
      }
      const bool was = high_;
      high_ = trace_.At(position);
      if (high_ && !was) start_ = position;
      if (!high_ && was) {
        *stretch = {marker_, start_, position - start_};
        return true;
      }
    }
    return false;
  }

  bool failed() const { return trace_.failed(); }

 private:
  MarkerTrace trace_;
  int marker_;
  std::int64_t pairs_;
  bool high_ = false;
  bool done_ = false;
  std::int64_t start_ = 0;
};

}  // namespace

bool MarkersInWordBits(const WaveformHeader& header) {
  const std::int64_t controlLength = EffectiveControlLength(
      header.hasControlLength ? header.controlLength : 0, header.hasSamples ? header.samples : 0);
  return MarkersInWordBits(WordKindOf(header), header.markerListEnd, controlLength);
}

platform::FileHandle OpenWaveform(const std::string& path, WaveformHeader* header) {
  *header = WaveformHeader{};
  header->path = path;
  // The one way in of every input: a FIFO, device or directory is refused
  // before anything waits on it.
  InputFile input;
  if (!OpenInputFile(path, &input, "*** Cannot open waveform file '" + path + "'.")) return {};
  header->fileSize = input.size;
  platform::FileHandle file = std::move(input.file);
  TagByteSource in(file.get(), 0);
  const bool parsed = ParseTags(in, header);
  if (in.failed()) {
    // What the parse found after a failed read describes the failure, not the file.
    header->problems.clear();
    header->notes.clear();
    LogAlways({"*** Cannot read waveform file '", path, "'."});
    return {};
  }
  if (!parsed) return {};
  return file;
}

int ForEachWordBlock(std::FILE* file, const WaveformHeader& header, const WordBlockVisitor& visit) {
  std::vector<unsigned char> bytes(kWordBlockPairs * kWordPairBytes);
  std::vector<std::uint16_t> words(kWordBlockPairs * 2);
  for (std::int64_t first = 0; first < header.pairsPresent;) {
    const auto pairs = static_cast<std::size_t>(
        std::min<std::int64_t>(kWordBlockPairs, header.pairsPresent - first));
    if (!platform::SeekFile(file, header.dataOffset + first * kWordPairBytes) ||
        platform::ReadFile(file, bytes.data(), pairs * kWordPairBytes) != pairs * kWordPairBytes) {
      LogAlways({"*** Cannot read the sample words of '", header.path, "'."});
      return 0;
    }
    for (std::size_t w = 0; w < 2 * pairs; ++w) words[w] = LoadLE16(&bytes[2 * w]);
    if (!visit(words.data(), pairs, first)) return 0;
    first += static_cast<std::int64_t>(pairs);
  }
  return 1;
}

MarkerListCursor::MarkerListCursor(std::FILE* file, const WaveformHeader& header) {
  for (const MarkerListInfo& list : header.markers)
    traces_.push_back(std::make_unique<MarkerTrace>(file, list));
}

MarkerListCursor::~MarkerListCursor() = default;

bool MarkerListCursor::failed() const {
  return std::any_of(traces_.begin(), traces_.end(),
                     [](const std::unique_ptr<MarkerTrace>& trace) { return trace->failed(); });
}

int LogMarkerListsUnreadable(const std::string& path) {
  LogAlways({"*** Cannot read the marker lists of '", path, "'."});
  return 0;
}

std::uint8_t MarkerListCursor::At(std::int64_t position) {
  std::uint8_t bits = 0;
  for (std::size_t m = 0; m < traces_.size(); ++m)
    if (traces_[m]->At(position)) bits = static_cast<std::uint8_t>(bits | (1u << m));
  return bits;
}

int ForEachMarkerStretch(std::FILE* file, const WaveformHeader& header, std::int64_t pairs,
                         const MarkerStretchVisitor& visit) {
  std::vector<std::unique_ptr<StretchWalk>> walks;
  std::vector<MarkerStretch> next;
  for (int m = 1; m <= kMarkerCount; ++m) {
    if (!header.markers[m - 1].present) continue;
    auto walk = std::make_unique<StretchWalk>(file, header, m, pairs);
    MarkerStretch stretch;
    const bool any = walk->Next(&stretch);
    if (walk->failed()) return LogMarkerListsUnreadable(header.path);
    if (any) {
      walks.push_back(std::move(walk));
      next.push_back(stretch);
    }
  }
  // A merge by start; at the same start the lower marker first.
  while (!walks.empty()) {
    std::size_t pick = 0;
    for (std::size_t k = 1; k < walks.size(); ++k)
      if (next[k].start < next[pick].start) pick = k;
    if (!visit(next[pick])) return 0;
    const bool more = walks[pick]->Next(&next[pick]);
    if (walks[pick]->failed()) return LogMarkerListsUnreadable(header.path);
    if (!more) {
      walks.erase(walks.begin() + static_cast<std::ptrdiff_t>(pick));
      next.erase(next.begin() + static_cast<std::ptrdiff_t>(pick));
    }
  }
  return 1;
}

platform::FileHandle OpenWaveformSamples(const std::string& path, WaveformHeader* header) {
  platform::FileHandle file = OpenWaveform(path, header);
  if (!file) {
    for (const std::string& problem : header->problems) LogAlways({"*** ", problem});
    LogAlways({"*** Cannot read the samples of '", path, "'."});
  }
  return file;
}

namespace {

// Sums of the words of one file.
struct WordSums {
  double powerSum = 0.0, peakPower = 0.0, sumI = 0.0, sumQ = 0.0;
  void Add(double i, double q) {
    const double power = i * i + q * q;
    powerSum += power;
    peakPower = std::max(peakPower, power);
    sumI += i;
    sumQ += q;
  }
};

}  // namespace

int InspectWaveform(const std::string& path, WaveformReport* report) {
  *report = WaveformReport{};
  WaveformHeader& header = report->header;
  platform::FileHandle file = OpenWaveform(path, &header);
  if (!file) {
    if (header.path.empty()) header.path = path;
    return header.problems.empty() ? 0 : 1;
  }

  WordSums decoded, played;
  std::int64_t fullScale = 0;
  bool silent = true;  // every word is the type's zero word
  const WordKind kind = WordKindOf(header);
  const bool ok = ForEachWordBlock(
      file.get(), header, [&](const std::uint16_t* words, std::size_t pairs, std::int64_t) {
        for (std::size_t p = 0; p < pairs; ++p) {
          const float i = DecodeWord(kind, words[2 * p]);
          const float q = DecodeWord(kind, words[2 * p + 1]);
          decoded.Add(i, q);
          const std::int16_t playedI = PlayedWord(kind, words[2 * p]);
          const std::int16_t playedQ = PlayedWord(kind, words[2 * p + 1]);
          played.Add(playedI / kWordFullScale, playedQ / kWordFullScale);
          for (int k = 0; k < 2; ++k) {
            const std::int16_t value = k == 0 ? playedI : playedQ;
            fullScale += IsFullScaleWord(kind, words[2 * p + k]) ? 1 : 0;
            silent = silent && value == 0;
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
    stats.meanI = decoded.sumI / n;
    stats.meanQ = decoded.sumQ / n;
    stats.rmsOffset =
        silent ? kSilentLevelOffset : LevelOffsetFromLinear(std::sqrt(decoded.powerSum / n));
    stats.peakOffset =
        silent ? kSilentLevelOffset : LevelOffsetFromLinear(std::sqrt(decoded.peakPower));
    stats.playedMeanI = played.sumI / n;
    stats.playedMeanQ = played.sumQ / n;
    stats.playedRmsOffset = LevelOffsetFromLinear(std::sqrt(played.powerSum / n));
    stats.playedPeakOffset = LevelOffsetFromLinear(std::sqrt(played.peakPower));
  }
  CheckDataEnd(file.get(), report);
  CheckAgainstWords(report);
  return 1;
}
