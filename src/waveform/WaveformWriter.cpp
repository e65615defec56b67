#include "waveform/WaveformWriter.h"

#include "common/VectorBuild.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#ifdef WAVORA_VECTOR_PATHS
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "common/Progress.h"
#include "level/LevelOffsets.h"
#include "platform/Platform.h"
#include "waveform/OutputFile.h"
#include "waveform/WaveformFormat.h"

namespace {

constexpr int kWaveSlot = kSlotWriterTemp;
constexpr int kMarkerSlot = kSlotMarker;

// Samples and marker bytes are taken from their slots in batches of this many.
constexpr std::int32_t kReadBatch = 8192;
constexpr std::size_t kWordBytesPerSample = 4;
constexpr std::int16_t kMaxWord = static_cast<std::int16_t>(kWordFullScale);
// How close v * 32767 + 0.5 must lie to a whole number to be taken as it.
constexpr double kWholeNumberTolerance = 1.0 / 256.0;

int FailAlways(std::string_view message) {
  LogAlways({message});
  return 0;
}

// The same for a failed call on a file: the message, then the path and the
// system's reason.
int FailOnFile(std::string_view message, const std::string& path) {
  LogAlways({message});
  LogFileReason(path);
  return 0;
}

// Opens a slot for encrypted reading and hands it to guard. (A set-up that
// fails leaves the slot free; the stream layer sees to that.)
bool OpenSlotForReading(int index, std::FILE* file, SlotGuard& guard) {
  if (!_InitBuf(index, file, 1, 0, 1)) return false;
  guard.Attach(index);
  return true;
}

// Appends "i:state", preceded by ";" unless it is the first entry of a list.
void AppendMarkerEntry(OutputFile& out, std::int32_t position, int state) {
  char entry[32];
  char* end = entry;
  if (position != 0) *end++ = ';';
  end = std::to_chars(end, entry + sizeof entry, position).ptr;
  *end++ = ':';
  *end++ = static_cast<char>('0' + state);
  out.Append(std::string_view(entry, static_cast<std::size_t>(end - entry)));
}

std::size_t g_markerListChanges = kDefaultMarkerListChanges;

// The first position from `from` on, below count, whose marker byte masked
// with mask differs from value; count when there is none. Marker streams
// change seldom, so the bytes are compared sixteen at a time where the
// processor has SSE2 (every x86-64 processor).
std::int32_t NextMarkerChange(const unsigned char* bytes, std::int32_t from, std::int32_t count,
                              unsigned mask, unsigned value) {
  std::int32_t k = from;
#if defined(__SSE2__)
  const __m128i masks = _mm_set1_epi8(static_cast<char>(mask));
  const __m128i values = _mm_set1_epi8(static_cast<char>(value));
  for (; k + 16 <= count; k += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
    const auto same = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(chunk, masks), values)));
    if (same != 0xFFFF) return k + std::countr_one(same);
  }
#endif
  for (; k < count; ++k) {
    if ((bytes[k] & mask) != value) return k;
  }
  return count;
}

// The change points of the four lists from one pass over the marker stream:
// the first state of each list and the positions where it changes (position
// 0 first). *fit is false, the lists incomplete, when they would hold more
// than g_markerListChanges positions together.
int CollectMarkerChanges(const WaveInfo& info, std::vector<std::int32_t> (&positions)[kMarkerCount],
                         int (&firstState)[kMarkerCount], bool* fit) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(kReadBatch));
  std::size_t stored = 0;
  int previous = -1;  // the low four bits of the byte before
  *fit = true;
  for (std::int32_t base = 0; base < info.samples; base += kReadBatch) {
    const std::int32_t count = std::min(kReadBatch, info.samples - base);
    if (_ReadBytes(kMarkerSlot, count, bytes.data()) != count)
      return FailAlways("*** Error reading marker data from temporary file.");
    for (std::int32_t k = previous < 0 ? 0
                                       : NextMarkerChange(bytes.data(), 0, count, 0xF,
                                                          static_cast<unsigned>(previous));
         k < count;
         k = NextMarkerChange(bytes.data(), k + 1, count, 0xF, static_cast<unsigned>(previous))) {
      const int states = bytes[static_cast<std::size_t>(k)] & 0xF;
      const int changed = previous < 0 ? 0xF : states ^ previous;
      for (int bit = 0; bit < kMarkerCount; ++bit) {
        if (((changed >> bit) & 1) == 0) continue;
        if (stored == g_markerListChanges) {
          *fit = false;
          return 1;
        }
        if (previous < 0) firstState[bit] = (states >> bit) & 1;
        positions[bit].push_back(base + k);
        ++stored;
      }
      previous = states;
    }
  }
  return 1;
}

}  // namespace

void SetMarkerListChanges(std::size_t limit) { g_markerListChanges = limit; }

namespace {

// Writes CONTROL LENGTH and the four MARKER LIST tags from the marker file:
// from the change points of one pass where they fit in memory, else from a
// pass per list.
int WriteMarkerLists(OutputFile& out, const WaveInfo& info, std::FILE* tempMarkerFile,
                     SlotGuard& markerSlot) {
  LogMessage(kLogInfo, {"Creating marker trace from temporary marker file ..."});
  out.Append(FormatText("{CONTROL LENGTH:%ld}", static_cast<long>(info.samples)));
  ReportProgress(10);
  std::vector<std::int32_t> positions[kMarkerCount];
  int firstState[kMarkerCount] = {0, 0, 0, 0};
  bool fit = false;
  if (!CollectMarkerChanges(info, positions, firstState, &fit)) return 0;
  if (fit) {
    for (int marker = 1; marker <= kMarkerCount; ++marker) {
      ReportProgress(10 * marker);
      out.Append(FormatText("{MARKER LIST %d: ", marker));
      const std::vector<std::int32_t>& list = positions[marker - 1];
      for (std::size_t k = 0; k < list.size(); ++k)
        AppendMarkerEntry(out, list[k], firstState[marker - 1] ^ static_cast<int>(k & 1));
      out.Append("}");
      if (!out.ok()) return FailOnFile("*** Error writing output file.", out.path());
    }
    return 1;
  }
  for (auto& list : positions) std::vector<std::int32_t>().swap(list);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(kReadBatch));
  for (int marker = 1; marker <= kMarkerCount; ++marker) {
    ReportProgress(10 * marker);
    // Reopening starts the reading again at the first marker byte.
    markerSlot.Release();
    if (!OpenSlotForReading(kMarkerSlot, tempMarkerFile, markerSlot))
      return FailAlways("*** Error resetting buffer for temporary marker data.");
    out.Append(FormatText("{MARKER LIST %d: ", marker));
    const int bit = marker - 1;
    int previous = -1;
    for (std::int32_t base = 0; base < info.samples; base += kReadBatch) {
      const std::int32_t count = std::min(kReadBatch, info.samples - base);
      if (_ReadBytes(kMarkerSlot, count, bytes.data()) != count)
        return FailAlways("*** Error reading marker data from temporary file.");
      const unsigned mask = 1u << bit;
      for (std::int32_t k = previous < 0 ? 0
                                         : NextMarkerChange(bytes.data(), 0, count, mask,
                                                            static_cast<unsigned>(previous) << bit);
           k < count; k = NextMarkerChange(bytes.data(), k + 1, count, mask,
                                           static_cast<unsigned>(previous) << bit)) {
        previous = (bytes[static_cast<std::size_t>(k)] >> bit) & 1;
        AppendMarkerEntry(out, base + k, previous);
      }
    }
    out.Append("}");
    if (!out.ok()) return FailOnFile("*** Error writing output file.", out.path());
  }
  return 1;
}

// True for a value that SampleToWord limits to full scale: beyond [-1, 1],
// or not a number.
inline bool IsClipped(float value) { return !(value >= -1.0f && value <= 1.0f); }

// SampleToWord. Inside [-1, 1] the word is floor(s + 1/256) for s = v * 32767
// + 0.5: the nearest whole number to v * 32767 (halves upwards), where an s up
// to 1/256 short of a whole number is taken as that number. Rounding down
// from s rather than toward zero treats both signs alike, so the error has no
// bias and never exceeds half a step. The loop below stays free of
// unpredictable branches.
inline std::int16_t WordOfSample(float value) {
  const bool inside = value >= -1.0f && value <= 1.0f;
  const double scaled = static_cast<double>(value) * kWordFullScale + 0.5;
  const auto word =
      static_cast<std::int32_t>(std::floor(inside ? scaled + kWholeNumberTolerance : 0.0));
  const std::int32_t limit = value < -1.0f ? -kMaxWord : kMaxWord;  // and not a number
  return static_cast<std::int16_t>(inside ? word : limit);
}

#if defined(__SSE2__)
// Four values of SampleToWord at a time with the x86-64 base instruction set
// (no processor check needed): the same operations in the same order on the
// same doubles, so the same words. The host is little-endian, like the data.
std::int32_t ConvertFourAtATime(const unsigned char* floats, std::int32_t count,
                                unsigned char* words, std::int64_t* clipped) {
  const __m128 minusOne = _mm_set1_ps(-1.0f);
  const __m128 plusOne = _mm_set1_ps(1.0f);
  const __m128d scale = _mm_set1_pd(kWordFullScale);
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d tolerance = _mm_set1_pd(kWholeNumberTolerance);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128i top = _mm_set1_epi32(kMaxWord);
  const __m128i bottomXorTop = _mm_set1_epi32(-kMaxWord ^ kMaxWord);
  std::int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m128 value = _mm_loadu_ps(reinterpret_cast<const float*>(floats) + k);
    // Not a number fails both comparisons, as in IsClipped.
    const __m128 inside = _mm_and_ps(_mm_cmpge_ps(value, minusOne), _mm_cmple_ps(value, plusOne));
    *clipped += OutsideOfFour(_mm_movemask_ps(inside));
    const __m128 kept = _mm_and_ps(value, inside);  // 0 where clipped: no conversion overflow
    __m128i halves[2];
    for (int h = 0; h < 2; ++h) {
      const __m128d wide = _mm_cvtps_pd(h == 0 ? kept : _mm_movehl_ps(kept, kept));
      const __m128d target = _mm_add_pd(_mm_add_pd(_mm_mul_pd(wide, scale), half), tolerance);
      // floor without SSE4.1: truncate, and step down by one where the
      // truncation went up (negative non-whole values). Both are exact.
      const __m128d truncated = _mm_cvtepi32_pd(_mm_cvttpd_epi32(target));
      const __m128d floored =
          _mm_sub_pd(truncated, _mm_and_pd(_mm_cmpgt_pd(truncated, target), one));
      halves[h] = _mm_cvttpd_epi32(floored);
    }
    const __m128i word = _mm_unpacklo_epi64(halves[0], halves[1]);
    const __m128i below = _mm_castps_si128(_mm_cmplt_ps(value, minusOne));
    const __m128i limit = _mm_xor_si128(top, _mm_and_si128(below, bottomXorTop));
    const __m128i in = _mm_castps_si128(inside);
    const __m128i result = _mm_or_si128(_mm_and_si128(in, word), _mm_andnot_si128(in, limit));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(words + 2 * static_cast<std::size_t>(k)),
                     _mm_packs_epi32(result, result));
  }
  return k;
}
#endif

#ifdef WAVORA_VECTOR_PATHS
// Eight values of SampleToWord at a time with AVX2, run only where the
// processor has it: the same double operations in the same order as the
// four-value path, with the floor taken by one rounding instruction (exact,
// like the truncation and step of the base set).
__attribute__((target("avx2"))) std::int32_t ConvertEightAtATime(const unsigned char* floats,
                                                                 std::int32_t count,
                                                                 unsigned char* words,
                                                                 std::int64_t* clipped) {
  const __m256 minusOne = _mm256_set1_ps(-1.0f);
  const __m256 plusOne = _mm256_set1_ps(1.0f);
  const __m256d scale = _mm256_set1_pd(kWordFullScale);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d tolerance = _mm256_set1_pd(kWholeNumberTolerance);
  const __m256i top = _mm256_set1_epi32(kMaxWord);
  const __m256i bottomXorTop = _mm256_set1_epi32(-kMaxWord ^ kMaxWord);
  std::int64_t outside = 0;
  std::int32_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m256 value = _mm256_loadu_ps(reinterpret_cast<const float*>(floats) + k);
    // Not a number fails both comparisons, as in IsClipped.
    const __m256 inside = _mm256_and_ps(_mm256_cmp_ps(value, minusOne, _CMP_GE_OQ),
                                        _mm256_cmp_ps(value, plusOne, _CMP_LE_OQ));
    outside += 8 - __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(inside)));
    const __m256 kept = _mm256_and_ps(value, inside);  // 0 where clipped: no conversion overflow
    __m128i halves[2];
    for (int h = 0; h < 2; ++h) {
      const __m256d wide =
          _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(kept) : _mm256_extractf128_ps(kept, 1));
      const __m256d target =
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(wide, scale), half), tolerance);
      halves[h] = _mm256_cvttpd_epi32(_mm256_floor_pd(target));
    }
    const __m256i word = _mm256_set_m128i(halves[1], halves[0]);
    const __m256i below = _mm256_castps_si256(_mm256_cmp_ps(value, minusOne, _CMP_LT_OQ));
    const __m256i limit = _mm256_xor_si256(top, _mm256_and_si256(below, bottomXorTop));
    const __m256i result = _mm256_blendv_epi8(limit, word, _mm256_castps_si256(inside));
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(words + 2 * static_cast<std::size_t>(k)),
        _mm_packs_epi32(_mm256_castsi256_si128(result), _mm256_extracti128_si256(result, 1)));
  }
  *clipped += outside;
  return k;
}

bool WordsOnAvx2() {
  // The compilers' check includes the operating system's saving of the
  // 256-bit registers.
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}
#endif

}  // namespace

std::int64_t ConvertToWordsOneAtATime(const unsigned char* floats, std::int32_t count,
                                      unsigned char* words) {
  std::int64_t clipped = 0;
  for (std::int32_t k = 0; k < count; ++k) {
    const float value = LoadFloatLE(floats + static_cast<std::size_t>(k) * sizeof(float));
    clipped += IsClipped(value);
    StoreLE16(static_cast<std::uint16_t>(WordOfSample(value)),
              words + static_cast<std::size_t>(k) * sizeof(std::uint16_t));
  }
  return clipped;
}

std::int64_t ConvertToWords(const unsigned char* floats, std::int32_t count, unsigned char* words) {
  std::int64_t clipped = 0;
  std::int32_t done = 0;
#ifdef WAVORA_VECTOR_PATHS
  if (WordsOnAvx2()) done = ConvertEightAtATime(floats, count, words, &clipped);
#endif
#if defined(__SSE2__)
  done +=
      ConvertFourAtATime(floats + static_cast<std::size_t>(done) * sizeof(float), count - done,
                         words + static_cast<std::size_t>(done) * sizeof(std::uint16_t), &clipped);
#endif
  // The values that do not fill a group of four, or all where there is no
  // vector path.
  return clipped + ConvertToWordsOneAtATime(
                       floats + static_cast<std::size_t>(done) * sizeof(float), count - done,
                       words + static_cast<std::size_t>(done) * sizeof(std::uint16_t));
}

namespace {

// Logs how many values were limited to full scale, when any were.
void ReportClippedValues(std::int64_t clipped) {
  if (clipped == 0) return;
  LogMessage(kLogAlwaysShown,
             {clipped == 1 ? std::string("*** Warning: 1 value was clipped at full scale.")
                           : FormatText("*** Warning: %lld values were clipped at full scale.",
                                        static_cast<long long>(clipped))});
}

// Writes the data tag: the samples of slot 0 as 16-bit words.
int WriteSampleData(OutputFile& out, const WaveInfo& info, std::int64_t* clippedValues) {
  const long dataBytes = static_cast<long>(kWordBytesPerSample) * info.samples + 1;
  out.Append(FormatText("{WAVEFORM-%ld: #", dataBytes));
  const std::int32_t step = std::max<std::int32_t>(info.samples / 5, 1);
  std::int32_t nextReport = 0;  // the next multiple of step
  std::vector<unsigned char> pairs(static_cast<std::size_t>(kReadBatch) * kTempSampleSize);
  std::int64_t clipped = 0;
  for (std::int32_t base = 0; base < info.samples; base += kReadBatch) {
    const std::int32_t count = std::min(kReadBatch, info.samples - base);
    const std::int32_t got = _ReadBytes(kWaveSlot, count * kTempSampleSize, pairs.data());
    // Complete samples delivered before a short read are still converted, so
    // the failure happens at the first missing sample.
    const std::int32_t complete = got < 0 ? 0 : got / kTempSampleSize;
    unsigned char* words = out.Reserve(static_cast<std::size_t>(complete) * kWordBytesPerSample);
    if (words == nullptr) return FailOnFile("*** Error writing output file.", out.path());
    clipped += ConvertToWords(pairs.data(), 2 * complete, words);
    for (; nextReport < base + complete; nextReport += step)
      ReportProgress(50 + 12 * (nextReport / step));
    if (complete != count)
      return FailAlways("*** Error reading waveform data from temporary file.");
  }
  out.Append("}");
  ReportClippedValues(clipped);
  if (clippedValues != nullptr) *clippedValues = clipped;
  return 1;
}

// The checks of the record and the arguments, made before anything is opened.
int CheckWriteRequest(const WaveInfo& info, const std::string& destinationPath,
                      std::FILE* tempWaveFile) {
  if (info.samples == 0) return FailAlways("*** Error: Number of points cannot be zero.");
  // The temporary waveform file cannot hold more pairs, and the data tag's
  // byte count of a larger number would not fit its 32-bit field.
  if (info.samples < 0 || info.samples > kMaxTempSamples) {
    LogAlways({FormatText("*** Error: Number of points %ld is out of range (1 to %ld).",
                          static_cast<long>(info.samples), kMaxTempSamples)});
    return 0;
  }
  if (destinationPath.empty())
    return FailAlways("*** Error: Destination file name cannot be empty.");
  if (tempWaveFile == nullptr) return FailAlways("*** Error: No data input for function.");
  return CheckTagTexts(info.comment, info.copyright);
}

// The tags before the marker lists, in their fixed order.
void AppendHeaderTags(OutputFile& out, const WaveInfo& info, const platform::LocalTime& now) {
  out.Append("{TYPE: KVG-WV,0}");
  if (!info.comment.empty()) out.Append(FormatText("{COMMENT:%s}", info.comment.c_str()));
  if (!info.copyright.empty()) out.Append(FormatText("{COPYRIGHT:%s}", info.copyright.c_str()));
  out.Append(FormatText("{DATE:%04d-%02d-%02d;%02d:%02d:%02d}", now.year, now.month, now.day,
                        now.hour, now.minute, now.second));
  out.Append(FormatText("{CLOCK:%4.3f}", info.clock));
  out.Append(FormatText("{CLOCK MARKER:%4.3f}", info.markerClock));
  out.Append(FormatText("{LEVEL OFFS:%f,%f}", info.rmsOffset, info.peakOffset));
  out.Append(FormatText("{SAMPLES:%ld}", static_cast<long>(info.samples)));
}

}  // namespace

std::int16_t SampleToWord(float value) { return WordOfSample(value); }

int CheckTagTexts(const std::string& comment, const std::string& copyright) {
  // A closing brace inside a free text would end its tag early and leave a
  // file that no reader parses as intended.
  if (comment.find('}') != std::string::npos)
    return FailAlways("*** Error: Comment must not contain '}'.");
  if (copyright.find('}') != std::string::npos)
    return FailAlways("*** Error: Copyright must not contain '}'.");
  return 1;
}

int WriteWaveformFile(const WaveInfo& info, const std::string& destinationPath,
                      std::FILE* tempWaveFile, std::FILE* tempMarkerFile, bool replaceExisting,
                      std::int64_t* clippedValues) {
  const platform::LocalTime now = platform::GetLocalTime();
  LogMessage(kLogInfo, {"Creating wave file ", destinationPath, "..."});
  if (!CheckWriteRequest(info, destinationPath, tempWaveFile)) return 0;
  if (!CheckOutputPaths(destinationPath)) return 0;

  SlotGuard waveSlot;
  if (!OpenSlotForReading(kWaveSlot, tempWaveFile, waveSlot))
    return FailAlways("*** Cannot setup buffer for temporary waveform file.");
  // The samples are read once, start to end (the marker file is read once
  // for each list); what has been read need not hold memory while the output
  // is being written.
  _SetReadOnce(kWaveSlot);
  unsigned char header[kTempWaveHeaderSize];
  if (_ReadBytes(kWaveSlot, kTempWaveHeaderSize, header) != kTempWaveHeaderSize)
    return FailAlways("*** Error reading from temporary waveform file.");
  if (std::memcmp(header, kTempWaveHeader, kTempWaveHeaderSize) != 0)
    return FailAlways("*** Error: Temporary waveform file has wrong format.");

  SlotGuard markerSlot;
  if (tempMarkerFile != nullptr && !OpenSlotForReading(kMarkerSlot, tempMarkerFile, markerSlot))
    return FailAlways("*** Cannot setup buffer for temporary marker file.");

  ReportProgress(0);
  PrintSignalStatistics(info);

  OutputFile out(destinationPath, replaceExisting);
  if (!out.Open()) return 0;
  ReportProgress(10);

  AppendHeaderTags(out, info, now);
  if (!out.ok()) return FailOnFile("*** Error writing output file.", out.path());

  if (tempMarkerFile != nullptr && !WriteMarkerLists(out, info, tempMarkerFile, markerSlot))
    return 0;

  ReportProgress(50);
  if (!WriteSampleData(out, info, clippedValues)) return 0;

  waveSlot.Release();
  markerSlot.Release();
  if (!out.Commit()) return 0;
  ReportProgress(100);
  LogMessage(kLogInfo, {"Waveform file generated."});
  return 1;
}
