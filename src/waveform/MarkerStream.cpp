// The marker stream is changed in place through one read-and-write slot: to
// change a byte it is read and written back, so the read and write positions
// move together; bytes beyond the end are only written. Runs of bytes move in
// blocks that never straddle a chunk boundary of the slot, so a failed block
// always fails at its first byte and the positions in the messages are exact.
#include "waveform/MarkerStream.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "app/Console.h"
#include "waveform/WaveformFormat.h"
#include "waveform/WaveformTags.h"

namespace {

constexpr std::int32_t kBlockBytes = 4096;
static_assert(kSlotBufferSize % kBlockBytes == 0, "blocks must tile the slot's chunks");

constexpr char kEntryDelimiter = ';';
constexpr char kPositionStateSeparator = ':';
constexpr char kRangeMark = '-';
constexpr int kFirstMarker = 1;
constexpr int kLastMarker = kMarkerCount;

using Block = std::array<unsigned char, kBlockBytes>;

// Bytes from q up to limit that fit into the block that q lies in.
std::int32_t BlockLength(std::int32_t q, std::int32_t limit) {
  return std::min(limit - q, kBlockBytes - q % kBlockBytes);
}

void LogReadFailure(std::int32_t position) {
  LogMessage(kLogAlwaysShown,
             {FormatText("*** Error: Failed to read from marker stream at position %ld!",
                         static_cast<long>(position))});
}

void LogWriteFailure(std::int32_t position) {
  LogMessage(kLogAlwaysShown,
             {FormatText("*** Error: Failed to write to marker stream at position %ld!",
                         static_cast<long>(position))});
}

// Writes a block; when that fails, writes its bytes one by one, logging each
// position that cannot be written and going on.
void WriteBlockGoingOn(int slot, std::int32_t first, const unsigned char* bytes, std::int32_t n) {
  if (_WriteBytes(slot, n, bytes) == n) return;
  for (std::int32_t k = 0; k < n; ++k) {
    if (_WriteBytes(slot, 1, bytes + k) != 1) LogWriteFailure(first + k);
  }
}

// Copy-through of the positions from..to-1, ORing bits into every byte. A
// byte that cannot be read is written with the value last held; failures are
// logged and passed over.
void CopyThrough(int slot, std::int32_t from, std::int32_t to, std::uint8_t bits,
                 MarkerStreamState* state) {
  Block block;
  for (std::int32_t q = from; q < to;) {
    const std::int32_t n = BlockLength(q, to);
    const std::int32_t got = std::max<std::int32_t>(_ReadBytes(slot, n, block.data()), 0);
    for (std::int32_t k = 0; k < n; ++k) {
      if (k >= got) {
        unsigned char single = 0;
        if (_ReadBytes(slot, 1, &single) == 1) {
          block[k] = single;
        } else {
          LogReadFailure(q + k);
          block[k] = state->lastByte;
        }
      }
      block[k] = static_cast<unsigned char>(block[k] | bits);
      state->lastByte = block[k];
    }
    WriteBlockGoingOn(slot, q, block.data(), n);
    q += n;
  }
}

// Writes value at the positions from..to-1, beyond the bytes already in the
// stream; failures are logged and passed over.
void FillGoingOn(int slot, std::int32_t from, std::int32_t to, std::uint8_t value) {
  Block block;
  block.fill(value);
  for (std::int32_t q = from; q < to;) {
    const std::int32_t n = BlockLength(q, to);
    WriteBlockGoingOn(slot, q, block.data(), n);
    q += n;
  }
}

// Merges the bits into the positions from..to-1 for the entry whose position
// is target: bytes the lists already wrote get the bits ORed in, bytes
// beyond them are the bits together with the fill byte. Any failure ends the
// list.
bool ApplyMarkerRun(int slot, std::int32_t from, std::int32_t to, std::uint8_t bits,
                    std::int32_t target, MarkerStreamState* state) {
  Block block;
  std::int32_t q = from;
  const std::int32_t written = std::min(to, state->highWater);
  while (q < written) {
    const std::int32_t n = BlockLength(q, written);
    const std::int32_t got = _ReadBytes(slot, n, block.data());
    if (got != n) {
      LogMessage(kLogAlwaysShown,
                 {FormatText("*** Error: Cannot read from marker file at position %ld!",
                             static_cast<long>(q + std::max<std::int32_t>(got, 0)))});
      LogMessage(kLogAlwaysShown, {FormatText("***        Previously written bytes: %ld",
                                              static_cast<long>(state->highWater))});
      LogMessage(kLogAlwaysShown,
                 {FormatText("***        Target position: %ld", static_cast<long>(target))});
      return false;
    }
    for (std::int32_t k = 0; k < n; ++k) block[k] = static_cast<unsigned char>(block[k] | bits);
    if (_WriteBytes(slot, n, block.data()) != n) {
      LogMessage(kLogAlwaysShown,
                 {FormatText("*** Error: Cannot write to marker file at position %ld!",
                             static_cast<long>(q))});
      return false;
    }
    state->lastByte = block[n - 1];
    q += n;
  }
  if (q < to) {
    const auto value = static_cast<std::uint8_t>(bits | state->fillByte);
    block.fill(value);
    while (q < to) {
      const std::int32_t n = BlockLength(q, to);
      if (_WriteBytes(slot, n, block.data()) != n) {
        LogMessage(kLogAlwaysShown,
                   {FormatText("*** Error: Cannot write to marker file at position %ld!",
                               static_cast<long>(q))});
        return false;
      }
      q += n;
      state->highWater = q;
      state->lastByte = value;
    }
  }
  return true;
}

bool RestartMarkerStream(int slot) {
  if (_RestartAtBegining(slot)) return true;
  LogMessage(kLogError, {"*** Error: Restarting marker data stream failed."});
  return false;
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

void LogEntryLine(const std::string& tagName, const std::string& entry) {
  LogMessage(kLogError, {"*** '", tagName, "' -> '", entry, "'"});
}

}  // namespace

int ScanMarkerEntry(const std::string& entry, std::int64_t* position, std::int64_t* state) {
  const char* text = entry.c_str();
  if (!ScanDecimal(&text, position)) return 0;
  if (*text != kPositionStateSeparator) return 1;
  ++text;
  return ScanDecimal(&text, state) ? 2 : 1;
}

int ReadMarkerList(int inputSlot, int markerSlot, const std::string& tagName,
                   MarkerStreamState* state) {
  // The marker number is the decimal number from the 13th character on.
  const std::size_t numberAt = std::strlen(kMarkerListTagMark);
  const long marker =
      tagName.size() >= numberAt ? std::strtol(tagName.c_str() + numberAt, nullptr, 10) : 0;
  if (marker < kFirstMarker || marker > kLastMarker) {
    LogMessage(kLogError, {"*** Error: Invalid MARKER LIST tag."});
    return 0;
  }
  const int markerShift = static_cast<int>(marker) - 1;

  std::int32_t j = 0;     // current position
  std::uint8_t bits = 0;  // this marker's bits from j on
  std::string entry;
  int more = ReadTagToken(inputSlot, &entry, kMaxTagContentChars, kEntryDelimiter);
  while (!entry.empty()) {
    if (entry.find(kRangeMark) != std::string::npos) {
      LogMessage(kLogError, {"*** Error: Unsupported MARKER LIST format. Use transition format."});
      LogEntryLine(tagName, entry);
      return 0;
    }
    std::int64_t p = 0;
    std::int64_t s = 0;
    if (ScanMarkerEntry(entry, &p, &s) != 2) {
      LogMessage(kLogError, {"*** Error: Invalid MARKER LIST tag data."});
      LogEntryLine(tagName, entry);
      return 0;
    }
    LogMessage(kLogInfo,
               {FormatText(p == j ? "M%ld : state %lld = %lld" : "M%ld : transition %lld -> %lld",
                           marker, static_cast<long long>(p), static_cast<long long>(s))});
    // The stream can never be longer than the temporary waveform file.
    if (p < 0 || p > kMaxTempSamples) {
      LogMessage(kLogAlwaysShown, {"*** Error: Invalid marker position"});
      return 0;
    }
    const auto target = static_cast<std::int32_t>(p);
    LogMessage(kLogInfo, {FormatText("     Creating marker data %ld...%ld", static_cast<long>(j),
                                     static_cast<long>(target))});
    // An entry before the current position writes nothing.
    if (target >= j) {
      if (!ApplyMarkerRun(markerSlot, j, target, bits, target, state)) return 0;
      bits = static_cast<std::uint8_t>(static_cast<std::uint32_t>(s) << markerShift);
      if (!ApplyMarkerRun(markerSlot, target, target + 1, bits, target, state)) return 0;
      j = target + 1;
    }
    if (more == 0) break;
    more = ReadTagToken(inputSlot, &entry, kMaxTagContentChars, kEntryDelimiter);
  }

  LogMessage(kLogInfo, {"Restarting marker data stream ..."});
  // The marker keeps the state of its last entry up to the end of the stream,
  // and the fill byte takes the stream's last byte, which carries the final
  // states of all lists so far.
  CopyThrough(markerSlot, j, state->highWater, bits, state);
  state->fillByte = state->lastByte;
  return RestartMarkerStream(markerSlot) ? 1 : 0;
}

int PrepareMarkerStream(int markerSlot, std::int32_t samples, std::int32_t* controlLength,
                        MarkerStreamState* state) {
  if (*controlLength == 0) {
    LogMessage(kLogWarning, {"Warning: No CONTROL LENGTH tag found. Using data from SAMPLES tag."});
    *controlLength = samples;
  }
  LogMessage(kLogInfo, {"Restarting marker data stream ..."});
  CopyThrough(markerSlot, 0, state->highWater, 0, state);
  LogMessage(kLogInfo, {FormatText("Filling marker stream up to position %lld",
                                   static_cast<long long>(*controlLength) - 1)});
  FillGoingOn(markerSlot, state->highWater, *controlLength, state->lastByte);
  if (!RestartMarkerStream(markerSlot)) return 0;
  state->end = std::max(state->highWater, *controlLength);
  return 1;
}

void PositionSampleMarkers(int markerSlot, std::int32_t sampleCount, MarkerStreamState* state) {
  if (state->end > 0 && state->end < sampleCount) CopyThrough(markerSlot, 0, state->end, 0, state);
}

int StoreSampleMarker(int markerSlot, std::uint8_t byte) {
  if (_WriteBytes(markerSlot, 1, &byte) == 1) return 1;
  LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to marker file!"});
  return 0;
}
