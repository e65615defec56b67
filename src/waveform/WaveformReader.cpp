// Reads a waveform file of the older generator family tag by tag through
// slot 0, converts its sample words into the temporary waveform file (slot 1)
// and builds the marker stream in the marker file (slot 3).
#include "waveform/WaveformReader.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#include "waveform/WaveformWriter.h"

namespace {

constexpr int kInputSlot = kSlotReaderInput;
constexpr int kTempSlot = kSlotReaderTemp;
constexpr int kMarkerSlot = kSlotMarker;

// Added to measured levels so that silent data gives 140 dB, not infinity.
constexpr double kLevelFloor = 1e-7;
constexpr int kProgressDone = 100;
constexpr char kDataTextEnd = '#';

using platform::FileHandle;

// Parse state of one read; nothing of it outlives the call.
struct ParseState {
  bool sixteenBit = true;
  bool measureLevels = true;  // no LEVEL OFFS tag
  bool tempSlotOpen = false;
  bool clockTagSeen = false;
  MarkerStreamState markers;
};

// Opens a slot. A set-up that fails leaves the slot free; the stream layer
// sees to that.
bool OpenSlot(int index, std::FILE* file, int read, int write, int enc) {
  return _InitBuf(index, file, read, write, enc) != 0;
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

// Content of a text or number tag; logs "*** Error: Invalid tag data" when it
// cannot be read.
bool ReadTagData(TagByteSource& in, std::string* content) {
  if (ReadTagContent(in, content, kMaxTagContentChars)) return true;
  LogMessage(kLogError, {"*** Error: Invalid tag data"});
  return false;
}

bool LogInvalidTagData() {
  LogMessage(kLogError, {"*** Error: Invalid tag data"});
  return false;
}

bool HandleTypeTag(TagByteSource& in, WaveFileInfo* info) {
  info->type = kWaveformNone;
  std::string content;
  if (!ReadTagContent(in, &content, kMaxTagContentChars)) {
    LogMessage(kLogError, {"*** Error: Invalid TYPE tag."});
    return false;
  }
  std::string word;
  info->type = TypeOfContent(content, &word);
  if (info->type == kWaveformNone) {
    LogMessage(kLogError, {"*** Error: File is not a valid waveform file (", word, ") !"});
    return false;
  }
  LogMessage(kLogInfo, {"Format is ", WaveformTypeName(info->type), "."});
  return true;
}

std::string* TextField(TagKind kind, WaveFileInfo* info) {
  switch (kind) {
    case TagKind::kSystem:
      return &info->system;
    case TagKind::kComment:
      return &info->comment;
    case TagKind::kCopyright:
      return &info->copyright;
    case TagKind::kDate:
      return &info->date;
    default:
      return nullptr;
  }
}

bool HandleTag(TagByteSource& in, const std::string& name, WaveFileInfo* info, ParseState* state) {
  std::string content;
  const TagKind kind = TagRuleOf(name).kind;
  switch (kind) {
    case TagKind::kType:
      return HandleTypeTag(in, info);
    case TagKind::kSiCompensated:
      return ReadTagContent(in, &content, kMaxTagContentChars);
    case TagKind::kResolution:
      if (!ReadTagContent(in, &content, kMaxTagContentChars)) return false;
      state->sixteenBit = ResolutionIsSixteenBit(content);
      return true;
    case TagKind::kSystem:
    case TagKind::kComment:
    case TagKind::kCopyright:
    case TagKind::kDate:
      if (!ReadTagData(in, &content)) return false;
      *TextField(kind, info) = content.substr(0, kMaxStoredTextChars);
      return true;
    case TagKind::kClock:
      state->clockTagSeen = true;
      if (!ReadTagData(in, &content)) return false;
      info->clock = TagDecimal(content);
      if (!ClockInRange(info->clock)) {
        LogMessage(kLogError, {"*** Error: Invalid clock rate! Range is 0.001-600MHz"});
        return false;
      }
      return true;
    case TagKind::kSamples:
      if (!ReadTagData(in, &content)) return false;
      info->samples = TagInteger32(content.c_str());
      if (info->samples == 0) {
        LogMessage(kLogError, {"*** Error: Invalid number of samples! Use number > 0."});
        return false;
      }
      // Larger counts cannot be held by the temporary files; the marker stream
      // would be extended to it when CONTROL LENGTH is missing.
      if (info->samples > kMaxTempSamples) return LogInvalidTagData();
      return true;
    case TagKind::kLevelOffs:
      if (!ReadTagData(in, &content)) return false;
      if (!ScanLevelOffsets(content, &info->rmsOffset, &info->peakOffset)) {
        LogMessage(kLogError, {"*** Error: LEVEL OFFS tag is invalid ('", content, "')."});
        return false;
      }
      state->measureLevels = false;
      return true;
    case TagKind::kControlLength:
      if (!ReadTagData(in, &content)) return false;
      info->controlLength = TagInteger32(content.c_str());
      if (info->controlLength > kMaxTempSamples) return LogInvalidTagData();
      return true;
    case TagKind::kMarkerList:
      return ReadMarkerList(in, kMarkerSlot, name, &state->markers);
    default:  // CLOCK MARKER and unknown tags
      return SkipTagContent(in);
  }
}

// Level figures of the values on their way to the output: as gained, and as
// the writer will write them (each value limited to full scale).
struct LevelSums {
  double powerSum = 0.0;
  double peakPower = 0.0;  // largest I^2 + Q^2; its root is the peak
};

// I^2 + Q^2 of a sample, in double.
double PowerOf(float iValue, float qValue) {
  return double{iValue} * iValue + double{qValue} * qValue;
}

// Adds the powers of a block to the sums in sample order, so that the sum is
// rounded as a running sum over the samples one at a time; locals keep both
// figures in registers (out of line: inlined into the sample loop, the
// compiler kept the peak in memory, which doubled the time of the loop).
[[gnu::noinline]] void AddPowers(const double* powers, std::int32_t count, LevelSums* sums) {
  double sum = sums->powerSum;
  double peak = sums->peakPower;
  for (std::int32_t k = 0; k < count; ++k) {
    sum += powers[k];
    peak = std::max(peak, powers[k]);
  }
  sums->powerSum = sum;
  sums->peakPower = peak;
}

// A value as the writer limits it: beyond [-1, 1] (or not a number) it is
// written at full scale.
float AsWritten(float value) {
  if (value >= -1.0f && value <= 1.0f) return value;
  return value < -1.0f ? -1.0f : 1.0f;
}

// The power of each of count samples (interleaved I and Q values) into
// powers; returns how many values the writer limits. Two samples at a time
// where the processor has SSE2, with the same double operations as PowerOf.
std::int64_t MeasureSamples(const float* values, std::int32_t count, double* powers) {
  std::int64_t clipped = 0;
  std::int32_t k = 0;
#if defined(__SSE2__)
  const __m128 minusOne = _mm_set1_ps(-1.0f);
  const __m128 plusOne = _mm_set1_ps(1.0f);
  for (; k + 2 <= count; k += 2) {
    const __m128 v = _mm_loadu_ps(values + 2 * static_cast<std::size_t>(k));  // I0 Q0 I1 Q1
    // Not a number fails both comparisons, as in AsWritten.
    const __m128 inside = _mm_and_ps(_mm_cmpge_ps(v, minusOne), _mm_cmple_ps(v, plusOne));
    clipped += OutsideOfFour(_mm_movemask_ps(inside));
    const __m128d first = _mm_cvtps_pd(v);                     // I0 Q0
    const __m128d second = _mm_cvtps_pd(_mm_movehl_ps(v, v));  // I1 Q1
    const __m128d a = _mm_mul_pd(first, first);
    const __m128d b = _mm_mul_pd(second, second);
    _mm_storeu_pd(powers + k, _mm_add_pd(_mm_unpacklo_pd(a, b), _mm_unpackhi_pd(a, b)));
  }
#endif
  for (; k < count; ++k) {
    const float iValue = values[2 * static_cast<std::size_t>(k)];
    const float qValue = values[2 * static_cast<std::size_t>(k) + 1];
    powers[k] = PowerOf(iValue, qValue);
    clipped += (AsWritten(iValue) != iValue) + (AsWritten(qValue) != qValue);
  }
  return clipped;
}

struct SampleLoop {
  std::int32_t count = 0;
  float gainFactor = 1.0f;
  bool checkGain = false;      // a gain other than 0 dB: watch that it leaves a waveform
  std::int32_t markerEnd = 0;  // samples from here on append their marker byte
  std::uint8_t fillByte = 0;
  bool lowBitMarkers = false;  // marker byte from the words' low bits
  LevelSums gained;
  LevelSums written;         // as the writer limits them; kept only once clipped > 0
  std::int64_t clipped = 0;  // values beyond full scale after the gain
  bool soundIn = false;      // a sample of the input is not silence
  bool soundOut = false;     // a sample writes a word other than 0
};

// Samples read, converted and written per block.
constexpr std::int32_t kBlockSamples = 8192;

template <WordKind kKind>
bool ConvertSamples(SampleLoop* loop) {
  const std::int32_t count = loop->count;
  int lastProgress = -1;
  std::int64_t nextProgressAt = 0;  // first sample whose percentage may differ
  std::vector<unsigned char> words(static_cast<std::size_t>(kBlockSamples) * kWordPairBytes);
  std::vector<float> values(2 * static_cast<std::size_t>(kBlockSamples));
  // The values in file byte order, for a big-endian host.
  std::vector<unsigned char> samples(kLittleEndianHost ? 0 : values.size() * sizeof(float));
  std::vector<std::uint8_t> markers(static_cast<std::size_t>(kBlockSamples));
  std::vector<double> gainedPowers(static_cast<std::size_t>(kBlockSamples));
  std::vector<double> writtenPowers(static_cast<std::size_t>(kBlockSamples));
  const float* const decode = WordTableOf<kKind>();
  const float gainFactor = loop->gainFactor;
  for (std::int32_t first = 0; first < count; first += kBlockSamples) {
    const std::int32_t size = std::min(kBlockSamples, count - first);
    const std::int32_t got = _ReadBytes(kInputSlot, size * kWordPairBytes, words.data());
    // The whole samples of a short read are converted before it fails.
    const std::int32_t whole = std::max(got, 0) / kWordPairBytes;
    // The percentages reported before the samples of the block, visiting
    // only the samples at which the percentage may change.
    for (std::int64_t i = first; i < first + whole; i = std::max(i + 1, nextProgressAt)) {
      if (i >= nextProgressAt) {
        const auto percent = static_cast<int>(std::int64_t{100} * i / count);
        if (percent != lastProgress) ReportProgress(percent);
        lastProgress = percent;
        nextProgressAt = ((std::int64_t{percent} + 1) * count + 99) / 100;
      }
    }
    for (std::int32_t k = 0; k < whole; ++k) {
      const unsigned char* word = words.data() + static_cast<std::size_t>(k) * kWordPairBytes;
      values[2 * static_cast<std::size_t>(k)] = decode[LoadLE16(word)] * gainFactor;
      values[2 * static_cast<std::size_t>(k) + 1] = decode[LoadLE16(word + 2)] * gainFactor;
    }
    const std::int64_t clipped = MeasureSamples(values.data(), whole, gainedPowers.data());
    std::int32_t markerCount = 0;
    for (std::int32_t k = std::clamp(loop->markerEnd - first, 0, whole); k < whole; ++k) {
      const unsigned char* word = words.data() + static_cast<std::size_t>(k) * kWordPairBytes;
      markers[static_cast<std::size_t>(markerCount++)] =
          loop->lowBitMarkers ? MarkerByteFromWords(LoadLE16(word), LoadLE16(word + 2))
                              : loop->fillByte;
    }
    for (std::int32_t k = 0; k < whole && loop->checkGain && !loop->soundOut; ++k) {
      const unsigned char* word = words.data() + static_cast<std::size_t>(k) * kWordPairBytes;
      loop->soundIn = loop->soundIn || !IsSilentWord(kKind, LoadLE16(word)) ||
                      !IsSilentWord(kKind, LoadLE16(word + 2));
      loop->soundOut = SampleToWord(values[2 * static_cast<std::size_t>(k)]) != 0 ||
                       SampleToWord(values[2 * static_cast<std::size_t>(k) + 1]) != 0;
    }
    // The written figures part from the gained ones at the first block with
    // a limited value; from there on they take the powers of the limited
    // values.
    if (clipped > 0 || loop->clipped > 0) {
      if (loop->clipped == 0) loop->written = loop->gained;
      for (std::int32_t k = 0; k < whole; ++k) {
        writtenPowers[static_cast<std::size_t>(k)] =
            PowerOf(AsWritten(values[2 * static_cast<std::size_t>(k)]),
                    AsWritten(values[2 * static_cast<std::size_t>(k) + 1]));
      }
      AddPowers(writtenPowers.data(), whole, &loop->written);
      loop->clipped += clipped;
    }
    AddPowers(gainedPowers.data(), whole, &loop->gained);
    const std::int32_t sampleBytes = whole * kTempSampleSize;
    const void* sampleData = values.data();
    if constexpr (!kLittleEndianHost) {
      for (std::size_t k = 0; k < 2 * static_cast<std::size_t>(whole); ++k)
        StoreFloatLE(values[k], samples.data() + k * sizeof(float));
      sampleData = samples.data();
    }
    if (_WriteBytes(kTempSlot, sampleBytes, sampleData) != sampleBytes) {
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

void SetMeasuredLevels(const LevelSums& sums, std::int32_t samples, WaveFileInfo* info) {
  const double rms = std::sqrt(sums.powerSum / samples);
  info->rmsOffset = 20.0 * std::log10(1.0 / (rms + kLevelFloor));
  info->peakOffset = 20.0 * std::log10(1.0 / (std::sqrt(sums.peakPower) + kLevelFloor));
}

// The level offsets of the output: as the file states them or measured from
// the values; after a gain they follow it, and values beyond full scale are
// measured as the writer limits them.
void SetOutputLevels(const SampleLoop& loop, bool measureLevels, WaveFileInfo* info) {
  if (loop.clipped > 0 && (measureLevels || loop.checkGain)) {
    SetMeasuredLevels(loop.written, loop.count, info);
  } else if (measureLevels) {
    SetMeasuredLevels(loop.gained, loop.count, info);
  } else if (loop.checkGain) {
    info->rmsOffset -= info->gain;
    info->peakOffset -= info->gain;
  }
}

bool HandleDataTag(TagByteSource& in, const std::string& name, WaveFileInfo* info,
                   ParseState* state) {
  if (info->type == kWaveformNone) {
    LogMessage(kLogError, {"*** Error: Unsupported waveform file type!"});
    return false;
  }
  if (!state->clockTagSeen && !TakeDefaultClock(info)) return false;
  if (!PrepareMarkerStream(kMarkerSlot, info->samples, &info->controlLength, &state->markers))
    return false;

  std::string text;
  if (!ReadTagToken(in, &text, kMaxTagContentChars, kDataTextEnd)) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot read WAVEFORM tag"});
    return false;
  }
  std::int64_t byteCount = 0;
  if (!DataTagByteCount(name, &byteCount)) {
    LogMessage(kLogError, {"*** Error: Invalid WAVEFORM tag format (samples count)."});
    return false;
  }
  const std::int64_t count = DataTagPairs(byteCount, text.size());
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
  loop.gainFactor = GainFactor(info->gain);
  loop.checkGain = info->gain != 0.0;
  loop.markerEnd = state->markers.end;
  loop.fillByte = state->markers.fillByte;
  const WordKind kind = WordKindOf(info->type, state->sixteenBit);
  loop.lowBitMarkers = MarkersInWordBits(kind, state->markers.highWater, info->controlLength);

  bool converted = false;
  if (kind == WordKind::kKvg)
    converted = ConvertSamples<WordKind::kKvg>(&loop);
  else if (kind == WordKind::kZq750)
    converted = ConvertSamples<WordKind::kZq750>(&loop);
  else if (kind == WordKind::kZetq14)
    converted = ConvertSamples<WordKind::kZetq14>(&loop);
  else
    converted = ConvertSamples<WordKind::kZetq16>(&loop);
  if (!converted) return false;

  if (loop.checkGain && loop.soundIn && !loop.soundOut) {
    LogMessage(kLogAlwaysShown,
               {FormatText("*** Error: A gain of %g dB turns every sample of the waveform into "
                           "zero.",
                           info->gain)});
    return false;
  }
  SetOutputLevels(loop, state->measureLevels, info);
  return true;
}

// The tag loop and the data tag; everything after the data tag's samples is
// left unread.
bool ReadTagsAndSamples(TagByteSource& in, WaveFileInfo* info, ParseState* state) {
  std::string name;
  while (true) {
    if (!SkipToTagOpen(in)) {
      LogMessage(kLogError, {"*** Error: No tag mark found! Probably incorrect format."});
      return false;
    }
    if (!ReadTagName(in, &name)) {
      LogMessage(kLogError,
                 {"*** Error: Tag name (", name.substr(0, kTagNameShownChars), "...) too long!"});
      return false;
    }
    if (TagRuleOf(name).kind == TagKind::kData) return HandleDataTag(in, name, info, state);
    LogMessage(kLogInfo, {"Processing tag '", name, "' ..."});
    if (!HandleTag(in, name, info, state)) return false;
  }
}

// The input as given by the caller, or opened here from the path.
std::FILE* InputStream(WaveFileInfo* info, FileHandle* own) {
  if (info->input != nullptr && info->input->IsOpen()) {
    // A regular file: the format check may have read its start.
    platform::RewindFile(info->input->file.get());
    return info->input->file.get();
  }
  own->reset(platform::OpenFile(info->path, "rb"));
  if (!*own) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot open input file."});
    LogFileReason(info->path);
  }
  return own->get();
}

}  // namespace

float GainFactor(double gainDb) { return static_cast<float>(std::pow(10.0, gainDb / 20.0)); }

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
  if (!std::isfinite(GainFactor(info->gain))) {
    LogMessage(kLogAlwaysShown,
               {FormatText("*** Error: A gain of %g dB gives no finite factor.", info->gain)});
    return 0;
  }
  LogMessage(kLogInfo, {"Reading waveform file '", info->path, "'..."});
  ResetResults(info);

  FileHandle own;
  std::FILE* input = InputStream(info, &own);
  if (input == nullptr) return 0;
  if (!OpenSlot(kInputSlot, input, 1, 0, 0)) {
    LogMessage(kLogAlwaysShown, {"*** Cannot initialize read buffer."});
    return 0;
  }
  if (!OpenSlot(kMarkerSlot, info->markerFile, 1, 1, 1)) {
    LogMessage(kLogAlwaysShown, {"*** Cannot initialize marker buffer."});
    _ReleaseBuf(kInputSlot);
    return 0;
  }

  ParseState state;
  TagByteSource in = TagByteSource::FromSlot(kInputSlot);
  bool ok = ReadTagsAndSamples(in, info, &state);

  ReportProgress(kProgressDone);
  _ReleaseBuf(kInputSlot);
  own.reset();
  if (info->input != nullptr) info->input->Close();
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
