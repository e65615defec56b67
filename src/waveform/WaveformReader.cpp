// Reads a waveform file of the older generator family tag by tag through
// slot 0, converts its sample words into the temporary waveform file (slot 1)
// and builds the marker stream in the marker file (slot 3).
#include "waveform/WaveformReader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "common/Progress.h"
#include "platform/Platform.h"
#include "waveform/MarkerStream.h"
#include "waveform/WaveformFormat.h"
#include "waveform/WaveformTags.h"

namespace {

constexpr int kInputSlot = kSlotReaderInput;
constexpr int kTempSlot = kSlotReaderTemp;
constexpr int kMarkerSlot = kSlotMarker;

constexpr char kTagOpen = '{';
constexpr char kTagNameEnd = ':';
constexpr char kTypeWordEnd = ',';
constexpr char kDataTextEnd = '#';
constexpr char kDataCountMark = '-';
constexpr std::size_t kTagNameShownChars = 10;
constexpr const char* kDataTagMark = "WAVEFORM";
constexpr const char* kSixteenBitMark = "16";

// CLOCK must lie in (1 kHz, 600 MHz].
constexpr double kMinClockHz = 1000.0;
constexpr double kMaxClockHz = 600000000.0;
constexpr double kHzPerMHz = 1000000.0;

// Added to measured levels so that silent data gives 140 dB, not infinity.
constexpr double kLevelFloor = 1e-7;
constexpr int kProgressDone = 100;

constexpr int kSampleWordBytes = 4;  // I and Q, 16 bits each
constexpr std::uint16_t kOffsetBinaryBit = 0x8000;
constexpr double kKvgWordOffset = 0.5;
// 14-bit ZETQ words: offset binary in the upper 14 bits, scaled by 32000.
constexpr std::uint16_t kZetq14DataMask = 0xFFFC;
constexpr double kZetq14Zero = 32768.5;
constexpr double kZetq14FullScale = 32000.0;

using platform::FileHandle;

// Parse state of one read; nothing of it outlives the call.
struct ParseState {
  bool sixteenBit = true;
  bool measureLevels = true;
  bool tempSlotOpen = false;
  bool clockTagSeen = false;
  MarkerStreamState markers;
};

bool ReadOneByte(char* byte) { return _ReadBytes(kInputSlot, 1, byte) == 1; }

// Opens a slot. A set-up that fails leaves the slot free; the stream layer
// sees to that.
bool OpenSlot(int index, std::FILE* file, int read, int write, int enc) {
  return _InitBuf(index, file, read, write, enc) != 0;
}

// Runtime text-to-number conversions: leading white space skipped, stops at
// the first unfit character, 0 without a number. Integers saturate at the
// 32-bit limits, the range of the fields they go into.
double TextToDouble(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::int32_t TextToInt32(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  return static_cast<std::int32_t>(std::clamp<long long>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

void ResetResults(WaveFileInfo* info) {
  info->clock = 0.0;
  info->samples = 0;
  info->controlLength = 0;
  info->rmsOffset = 0.0;
  info->peakOffset = 0.0;
  info->type = kWaveformNone;
  info->comment.clear();
  info->copyright.clear();
  info->system.clear();
  info->date.clear();
}

// Reads up to and including the next '{'; false when the input ends first.
bool SkipToTagOpen() {
  char byte = 0;
  while (ReadOneByte(&byte)) {
    if (byte == kTagOpen) return true;
  }
  return false;
}

// Reads the name up to its ':'; false when kMaxTagNameBytes + 1 bytes hold no
// ':' or the input ends first.
bool ReadTagName(std::string* name) {
  name->clear();
  char byte = 0;
  for (std::size_t read = 0; read <= kMaxTagNameBytes; ++read) {
    if (!ReadOneByte(&byte)) return false;
    if (byte == kTagNameEnd) return true;
    name->push_back(byte);
  }
  return false;
}

// Content of a text or number tag; logs "*** Error: Invalid tag data" when it
// cannot be read.
bool ReadTagData(std::string* content) {
  if (ReadTagContent(kInputSlot, content, kMaxTagContentChars)) return true;
  LogMessage(kLogError, {"*** Error: Invalid tag data"});
  return false;
}

bool LogInvalidTagData() {
  LogMessage(kLogError, {"*** Error: Invalid tag data"});
  return false;
}

bool HandleTypeTag(WaveFileInfo* info) {
  info->type = kWaveformNone;
  std::string content;
  if (!ReadTagContent(kInputSlot, &content, kMaxTagContentChars)) {
    LogMessage(kLogError, {"*** Error: Invalid TYPE tag."});
    return false;
  }
  const std::string word = content.substr(0, content.find(kTypeWordEnd));
  if (word == "KVG-WV") {
    info->type = kWaveformKvg;
    LogMessage(kLogInfo, {"Format is KVG waveform."});
  } else if (word == "ZQ750-WV") {
    info->type = kWaveformZq750;
    LogMessage(kLogInfo, {"Format is ZQ750 waveform."});
  } else if (word == "WV" || word == "WV-ADD") {
    info->type = kWaveformZetq;
    LogMessage(kLogInfo, {"Format is ZETQ waveform."});
  } else {
    LogMessage(kLogError, {"*** Error: File is not a valid waveform file (", word, ") !"});
    return false;
  }
  return true;
}

bool HandleTag(const std::string& name, WaveFileInfo* info, ParseState* state) {
  std::string content;
  if (name == "TYPE") return HandleTypeTag(info);
  if (name == "SI COMPENSATED") return ReadTagContent(kInputSlot, &content, kMaxTagContentChars);
  if (name == "RESOLUTION") {
    if (!ReadTagContent(kInputSlot, &content, kMaxTagContentChars)) return false;
    state->sixteenBit = Contains(content, kSixteenBitMark);
    return true;
  }
  std::string* text = name == "SYSTEM"      ? &info->system
                      : name == "COMMENT"   ? &info->comment
                      : name == "COPYRIGHT" ? &info->copyright
                      : name == "DATE"      ? &info->date
                                            : nullptr;
  if (text != nullptr) {
    if (!ReadTagData(&content)) return false;
    *text = content.substr(0, kMaxStoredTextChars);
    return true;
  }
  if (name == "CLOCK") {
    state->clockTagSeen = true;
    if (!ReadTagData(&content)) return false;
    info->clock = TextToDouble(content);
    if (!(info->clock > kMinClockHz && info->clock <= kMaxClockHz)) {
      LogMessage(kLogError, {"*** Error: Invalid clock rate! Range is 0.001-600MHz"});
      return false;
    }
    return true;
  }
  if (name == "SAMPLES") {
    if (!ReadTagData(&content)) return false;
    info->samples = TextToInt32(content.c_str());
    if (info->samples == 0) {
      LogMessage(kLogError, {"*** Error: Invalid number of samples! Use number > 0."});
      return false;
    }
    // Larger counts cannot be held by the temporary files; the marker stream
    // would be extended to it when CONTROL LENGTH is missing.
    if (info->samples > kMaxTempSamples) return LogInvalidTagData();
    return true;
  }
  if (name == "LEVEL OFFS" || name == "LEVEL OFFSET") {
    if (!ReadTagData(&content)) return false;
    if (std::sscanf(content.c_str(), "%lf%*[^0-9-]%lf", &info->rmsOffset, &info->peakOffset) != 2) {
      LogMessage(kLogError, {"*** Error: LEVEL OFFS tag is invalid ('", content, "')."});
      return false;
    }
    state->measureLevels = false;
    return true;
  }
  if (name == "CONTROL LENGTH") {
    if (!ReadTagData(&content)) return false;
    info->controlLength = TextToInt32(content.c_str());
    if (info->controlLength > kMaxTempSamples) return LogInvalidTagData();
    return true;
  }
  if (Contains(name, kMarkerListTagMark))
    return ReadMarkerList(kInputSlot, kMarkerSlot, name, &state->markers);
  return SkipTagContent(kInputSlot);
}

enum class WordKind { kKvg, kZq750, kZetq16, kZetq14 };

// Word to full-scale float: arithmetic in double, the result rounded to float.
template <WordKind kKind>
float ConvertWord(std::uint16_t word) {
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

struct SampleLoop {
  std::int32_t count = 0;
  float gainFactor = 1.0f;
  bool measureLevels = true;
  std::int32_t markerEnd = 0;  // samples from here on append their marker byte
  std::uint8_t fillByte = 0;
  bool lowBitMarkers = false;  // marker byte from the words' low bits
  double powerSum = 0.0;
  double peakPower = 0.0;  // largest I^2 + Q^2; its root is the peak
};

// Samples read, converted and written per block.
constexpr std::int32_t kBlockSamples = 8192;

template <WordKind kKind>
bool ConvertSamples(SampleLoop* loop) {
  const std::int32_t count = loop->count;
  int lastProgress = -1;
  std::int64_t nextProgressAt = 0;  // first sample whose percentage may differ
  std::vector<unsigned char> words(static_cast<std::size_t>(kBlockSamples) * kSampleWordBytes);
  std::vector<unsigned char> samples(static_cast<std::size_t>(kBlockSamples) * kTempSampleSize);
  std::vector<std::uint8_t> markers(static_cast<std::size_t>(kBlockSamples));
  for (std::int32_t first = 0; first < count; first += kBlockSamples) {
    const std::int32_t size = std::min(kBlockSamples, count - first);
    const std::int32_t got = _ReadBytes(kInputSlot, size * kSampleWordBytes, words.data());
    // The whole samples of a short read are converted before it fails.
    const std::int32_t whole = std::max(got, 0) / kSampleWordBytes;
    std::int32_t markerCount = 0;
    for (std::int32_t k = 0; k < whole; ++k) {
      const std::int32_t i = first + k;
      if (i >= nextProgressAt) {
        const auto percent = static_cast<int>(std::int64_t{100} * i / count);
        if (percent != lastProgress) ReportProgress(percent);
        lastProgress = percent;
        nextProgressAt = ((std::int64_t{percent} + 1) * count + 99) / 100;
      }
      const unsigned char* word = words.data() + static_cast<std::size_t>(k) * kSampleWordBytes;
      const std::uint16_t iWord = LoadLE16(word);
      const std::uint16_t qWord = LoadLE16(word + 2);
      const float iValue = ConvertWord<kKind>(iWord) * loop->gainFactor;
      const float qValue = ConvertWord<kKind>(qWord) * loop->gainFactor;
      unsigned char* sample = samples.data() + static_cast<std::size_t>(k) * kTempSampleSize;
      StoreFloatLE(iValue, sample);
      StoreFloatLE(qValue, sample + 4);
      if (i >= loop->markerEnd) {
        markers[static_cast<std::size_t>(markerCount++)] =
            loop->lowBitMarkers ? MarkerByteFromWords(iWord, qWord) : loop->fillByte;
      }
      if (loop->measureLevels) {
        const double power = double{iValue} * iValue + double{qValue} * qValue;
        loop->powerSum += power;
        loop->peakPower = std::max(loop->peakPower, power);
      }
    }
    const std::int32_t sampleBytes = whole * kTempSampleSize;
    if (_WriteBytes(kTempSlot, sampleBytes, samples.data()) != sampleBytes) {
      LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to temporary file!"});
      LogFileReason(kTempWaveFileName);
      return false;
    }
    if (markerCount > 0 && !StoreSampleMarkers(kMarkerSlot, markers.data(), markerCount))
      return false;
    if (whole < size) {
      LogMessage(kLogAlwaysShown, {"*** Error: Cannot read enough data from xWAVEFORM tag!"});
      return false;
    }
  }
  return true;
}

// A file without a CLOCK tag takes the clock given by the caller; without
// one the output would claim a clock of 0.
bool TakeDefaultClock(WaveFileInfo* info) {
  if (info->defaultClock <= 0.0) {
    LogMessage(
        kLogAlwaysShown,
        {"*** Error: No CLOCK tag found. Give the clock rate with -clock <clock rate MHz>."});
    return false;
  }
  info->clock = info->defaultClock;
  LogMessage(
      kLogWarning,
      {FormatText("Warning: No CLOCK tag found. Using clock rate %.3f MHz of the command line.",
                  info->clock / kHzPerMHz)});
  return true;
}

bool HandleDataTag(const std::string& name, WaveFileInfo* info, ParseState* state) {
  if (info->type == kWaveformNone) {
    LogMessage(kLogError, {"*** Error: Unsupported waveform file type!"});
    return false;
  }
  if (!state->clockTagSeen && !TakeDefaultClock(info)) return false;
  if (!PrepareMarkerStream(kMarkerSlot, info->samples, &info->controlLength, &state->markers))
    return false;

  std::string text;
  if (!ReadTagToken(kInputSlot, &text, kMaxTagContentChars, kDataTextEnd)) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot read WAVEFORM tag"});
    return false;
  }
  const std::size_t dash = name.find(kDataCountMark);
  if (dash == std::string::npos) {
    LogMessage(kLogError, {"*** Error: Invalid WAVEFORM tag format (samples count)."});
    return false;
  }
  // n counts the text, the '#' and 4 bytes per sample.
  const std::int64_t byteCount = TextToInt32(name.c_str() + dash + 1);
  const std::int64_t count =
      (byteCount - static_cast<std::int64_t>(text.size()) - 1) / kSampleWordBytes;
  if (count < 1 || count > kMaxTempSamples) {
    LogMessage(kLogError, {"*** Error: Invalid number of samples in WAVEFORM tag."});
    return false;
  }
  const auto samples = static_cast<std::int32_t>(count);
  if (samples != info->samples) {
    LogMessage(kLogWarning,
               {FormatText("*** Warning: Suspicious number of samples (WAVEFORM tag:%ld, SAMPLES "
                           "tag:%ld)",
                           static_cast<long>(samples), static_cast<long>(info->samples))});
    info->samples = samples;
  }

  if (!OpenSlot(kTempSlot, info->waveFile, 0, 1, 1)) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot initialize write buffer."});
    return false;
  }
  state->tempSlotOpen = true;
  if (_WriteBytes(kTempSlot, kTempWaveHeaderSize, kTempWaveHeader) != kTempWaveHeaderSize) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to temporary file!"});
    LogFileReason(kTempWaveFileName);
    return false;
  }
  LogMessage(kLogInfo, {FormatText("Samples : %ld, %s", static_cast<long>(samples),
                                   state->sixteenBit ? "16-bit" : "14-bit")});

  SampleLoop loop;
  loop.count = samples;
  loop.gainFactor = static_cast<float>(std::pow(10.0, info->gain / 20.0));
  loop.measureLevels = state->measureLevels;
  loop.markerEnd = state->markers.end;
  loop.fillByte = state->markers.fillByte;
  const bool zetq14 = info->type == kWaveformZetq && !state->sixteenBit;
  loop.lowBitMarkers = zetq14 && state->markers.highWater == 0 && info->controlLength <= 1;

  bool converted = false;
  if (info->type == kWaveformKvg)
    converted = ConvertSamples<WordKind::kKvg>(&loop);
  else if (info->type == kWaveformZq750)
    converted = ConvertSamples<WordKind::kZq750>(&loop);
  else if (zetq14)
    converted = ConvertSamples<WordKind::kZetq14>(&loop);
  else
    converted = ConvertSamples<WordKind::kZetq16>(&loop);
  if (!converted) return false;

  if (state->measureLevels) {
    const double rms = std::sqrt(loop.powerSum / samples);
    info->rmsOffset = 20.0 * std::log10(1.0 / (rms + kLevelFloor));
    info->peakOffset = 20.0 * std::log10(1.0 / (std::sqrt(loop.peakPower) + kLevelFloor));
  }
  return true;
}

// The tag loop and the data tag; everything after the data tag's samples is
// left unread.
bool ReadTagsAndSamples(WaveFileInfo* info, ParseState* state) {
  std::string name;
  while (true) {
    if (!SkipToTagOpen()) {
      LogMessage(kLogError, {"*** Error: No tag mark found! Probably incorrect format."});
      return false;
    }
    if (!ReadTagName(&name)) {
      LogMessage(kLogError,
                 {"*** Error: Tag name (", name.substr(0, kTagNameShownChars), "...) too long!"});
      return false;
    }
    if (Contains(name, kDataTagMark)) return HandleDataTag(name, info, state);
    LogMessage(kLogInfo, {"Processing tag '", name, "' ..."});
    if (!HandleTag(name, info, state)) return false;
  }
}

}  // namespace

int ReadWaveformFile(WaveFileInfo* info) {
  if (info == nullptr) {
    LogMessage(kLogAlwaysShown, {"*** No wave data structure provided."});
    return 0;
  }
  if (info->waveFile == nullptr) {
    LogMessage(kLogAlwaysShown, {"*** Temporary file for waveform not open."});
    return 0;
  }
  if (info->markerFile == nullptr) {
    LogMessage(kLogAlwaysShown, {"*** Temporary file for marker data not open."});
    return 0;
  }
  LogMessage(kLogInfo, {"Reading waveform file '", info->path, "'..."});
  ResetResults(info);

  FileHandle input(platform::OpenFile(info->path, "rb"));
  if (!input) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot open input file."});
    LogFileReason(info->path);
    return 0;
  }
  if (!OpenSlot(kInputSlot, input.get(), 1, 0, 0)) {
    LogMessage(kLogAlwaysShown, {"*** Cannot initialize read buffer."});
    return 0;
  }
  if (!OpenSlot(kMarkerSlot, info->markerFile, 1, 1, 1)) {
    LogMessage(kLogAlwaysShown, {"*** Cannot initialize marker buffer."});
    _ReleaseBuf(kInputSlot);
    return 0;
  }

  ParseState state;
  bool ok = ReadTagsAndSamples(info, &state);

  ReportProgress(kProgressDone);
  _ReleaseBuf(kInputSlot);
  input.reset();
  // Releasing flushes the last chunk of each temporary file: a failure there
  // loses data, so a read that got this far still fails.
  if (state.tempSlotOpen && !_ReleaseBuf(kTempSlot) && ok) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to temporary file!"});
    LogFileReason(kTempWaveFileName);
    ok = false;
  }
  if (!_ReleaseBuf(kMarkerSlot) && ok) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to marker file!"});
    LogFileReason(kTempMarkerFileName);
    ok = false;
  }
  return ok ? 1 : 0;
}

WaveInfo MakeWaveInfo(const WaveFileInfo& info) {
  WaveInfo wave;
  wave.clock = info.clock;
  wave.markerClock = info.clock;
  wave.samples = info.samples;
  wave.rmsOffset = info.rmsOffset;
  wave.peakOffset = info.peakOffset;
  wave.comment = info.comment;
  wave.copyright = info.copyright;
  wave.levelsValid = 1;
  return wave;
}
