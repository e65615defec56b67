// Reading a waveform file for inspection: its tags, the place and extent of
// its sample words, and what the words themselves say (levels, DC, words at
// full scale), with every disagreement between the parts of the file listed.
// Nothing is written: the file is read directly in blocks, never through the
// temporary files of a conversion, and never held whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "waveform/WaveformScan.h"

struct MarkerEntry {
  std::int64_t position = 0;
  int state = 0;
};

// The MARKER LIST tags of one marker. The entries stay in the file: only
// their count and the first few are kept, and where each tag's content
// starts, so that they can be read again when needed (MarkerListCursor,
// ForEachMarkerStretch).
struct MarkerListInfo {
  bool present = false;
  std::int64_t entryCount = 0;               // valid entries of the last tag
  std::vector<MarkerEntry> firstEntries;     // the first kKeptMarkerEntries of them
  std::vector<std::int64_t> contentOffsets;  // of each tag, in the order of the file
};

// Entries kept of each list, and tags of one marker followed.
inline constexpr std::size_t kKeptMarkerEntries = 4;
inline constexpr std::size_t kMaxMarkerListTags = 16;

// A high stretch of one marker: samples [start, start + count).
struct MarkerStretch {
  int marker = 0;  // 1 to 4
  std::int64_t start = 0;
  std::int64_t count = 0;
};

struct WaveformHeader {
  std::string path;
  std::int64_t fileSize = 0;

  std::string typeText;  // content of TYPE as written
  WaveformType type = kWaveformNone;
  bool sixteenBit = true;  // ZETQ word width (RESOLUTION)
  bool hasClock = false;
  double clock = 0.0;
  bool hasMarkerClock = false;
  double markerClock = 0.0;
  bool hasLevels = false;
  double rmsOffset = 0.0;
  double peakOffset = 0.0;
  bool hasSamples = false;
  std::int64_t samples = 0;
  bool hasControlLength = false;
  std::int64_t controlLength = 0;
  std::string date, comment, copyright, system;
  MarkerListInfo markers[4];
  std::int64_t markerListEnd = 0;  // one past the last position the lists' entries reach

  bool hasDataTag = false;
  std::string dataTagName;         // e.g. "WAVEFORM-4001"
  std::int64_t declaredBytes = 0;  // n of WAVEFORM-n
  std::int64_t wordBytes = 0;      // n minus the text before '#' and the '#'
  std::int64_t dataOffset = 0;     // file offset of the first word
  std::int64_t pairsPresent = 0;   // whole pairs of the declared words that the file holds

  std::vector<std::string> problems;  // the file is not sound
  std::vector<std::string> notes;     // worth knowing, not a fault
};

// Level and content figures measured from the words: as the kxzetq import
// converts them, and as the generator plays them (word / 32767).
struct WordStatistics {
  std::int64_t pairs = 0;
  double rmsOffset = 0.0;   // dB below full scale
  double peakOffset = 0.0;  // dB below full scale
  double meanI = 0.0;       // full-scale units
  double meanQ = 0.0;
  double playedRmsOffset = 0.0;
  double playedPeakOffset = 0.0;
  double playedMeanI = 0.0;
  double playedMeanQ = 0.0;
  std::int64_t fullScaleWords = 0;  // words at the positive or negative limit
};

struct WaveformReport {
  WaveformHeader header;
  WordStatistics stats;
  std::int64_t trailingBytes = 0;  // after the data tag's closing brace
  bool sound() const { return header.problems.empty(); }
};

// The word encoding of the header's type.
inline WordKind WordKindOf(const WaveformHeader& header) {
  return WordKindOf(header.type, header.sixteenBit);
}
// True when 14-bit ZETQ words carry the markers in their low bits, by the
// import's rule.
bool MarkersInWordBits(const WaveformHeader& header);
// A word of the header's type as the import converts it (without gain), and
// as the generator plays it.
inline float DecodeWord(const WaveformHeader& header, std::uint16_t word) {
  return DecodeWord(WordKindOf(header), word);
}
inline std::int16_t SignedWord(const WaveformHeader& header, std::uint16_t word) {
  return PlayedWord(WordKindOf(header), word);
}

// Opens the file and parses its tags up to the first sample word; the
// problems found so far are in header->problems. Returns the open file
// positioned at the first word, or an empty handle when it cannot be opened
// (logged) or has no usable data tag (header->problems says why).
platform::FileHandle OpenWaveform(const std::string& path, WaveformHeader* header);
// OpenWaveform for a caller that needs the samples: when there are none to
// read, logs each problem and that the samples cannot be read.
platform::FileHandle OpenWaveformSamples(const std::string& path, WaveformHeader* header);

// Reads the header's present pairs from file (from its first word on, each
// block read at its own offset, so that list readers may share the file)
// in blocks and hands each block to visit as raw words I, Q, I, Q, ... with
// the index of its first pair. Stops with 0 when visit returns false or a
// read fails (logged).
using WordBlockVisitor =
    std::function<bool(const std::uint16_t* words, std::size_t pairs, std::int64_t firstPair)>;
int ForEachWordBlock(std::FILE* file, const WaveformHeader& header, const WordBlockVisitor& visit);

// Every high stretch of each marker over the first `pairs` samples, as the
// import builds the marker stream from the lists, read from the file's
// lists; handed to visit ordered by start (markers in order at the same
// start). Stops with 0 when visit returns false or a read of the lists
// fails (logged).
using MarkerStretchVisitor = std::function<bool(const MarkerStretch& stretch)>;
int ForEachMarkerStretch(std::FILE* file, const WaveformHeader& header, std::int64_t pairs,
                         const MarkerStretchVisitor& visit);

class MarkerTrace;

// Marker states (bit k-1 for marker k) of samples as the lists give them,
// read from the file's lists as the positions advance. At() must be called
// with positions that never decrease.
class MarkerListCursor {
 public:
  MarkerListCursor(std::FILE* file, const WaveformHeader& header);
  ~MarkerListCursor();
  MarkerListCursor(const MarkerListCursor&) = delete;
  MarkerListCursor& operator=(const MarkerListCursor&) = delete;
  std::uint8_t At(std::int64_t position);
  // True once a read of a list failed: the states given since may be short
  // of the file's.
  bool failed() const;

 private:
  std::vector<std::unique_ptr<MarkerTrace>> traces_;  // one per marker
};

// Logs that the marker lists of the file at path could not be read; 0.
int LogMarkerListsUnreadable(const std::string& path);

// The whole inspection of one file: tags, one pass over the words, and the
// checks. Returns 0 only when the file cannot be opened or read (logged);
// report->sound() tells whether everything agrees.
int InspectWaveform(const std::string& path, WaveformReport* report);
