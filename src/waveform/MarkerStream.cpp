// The marker stream goes through one read-and-write slot. Short lists are
// kept as change points and written once at the data tag. Lists that go to
// the stream are merged in place: to change a byte it is read and written
// back, so the read and write positions move together; bytes beyond the end
// are only written. Runs of bytes move in blocks that never straddle a chunk
// boundary of the slot, so a failed block always fails at its first byte and
// the positions in the messages are exact.
#include "waveform/MarkerStream.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

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

std::size_t g_changeLimit = kDefaultMarkerChangeLimit;

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

// Appends runs of equal bytes to the stream from its write position, which
// must be block-aligned, in whole blocks.
class RunWriter {
 public:
  // goOn: a failed block is logged byte by byte and passed over; otherwise
  // the first failure is logged and ends the writing.
  RunWriter(int slot, std::int32_t position, bool goOn)
      : slot_(slot), position_(position), goOn_(goOn) {}

  bool Put(std::uint8_t value, std::int32_t count) {
    while (count > 0) {
      const std::int32_t n = std::min(count, kBlockBytes - fill_);
      std::memset(block_.data() + fill_, value, static_cast<std::size_t>(n));
      fill_ += n;
      count -= n;
      if (fill_ == kBlockBytes && !Flush()) return false;
    }
    return true;
  }

  bool Flush() {
    if (fill_ == 0) return true;
    bool ok = true;
    if (goOn_) {
      WriteBlockGoingOn(slot_, position_, block_.data(), fill_);
    } else if (_WriteBytes(slot_, fill_, block_.data()) != fill_) {
      LogMessage(kLogAlwaysShown,
                 {FormatText("*** Error: Cannot write to marker file at position %ld!",
                             static_cast<long>(position_))});
      ok = false;
    }
    position_ += fill_;
    fill_ = 0;
    return ok;
  }

 private:
  int slot_;
  std::int32_t position_;
  bool goOn_;
  Block block_;
  std::int32_t fill_ = 0;
};

// Writes the bytes that the kept lists give for the positions 0..length-1
// (each byte the OR of every list's bits there), write-only from position 0.
// Returns the byte after the last change point: the final states of all
// lists.
bool WriteKeptLists(int slot, const MarkerStreamState& state, std::int32_t length, bool goOn,
                    std::uint8_t* finalByte) {
  struct Event {
    std::int32_t position;
    std::uint32_t list;
    std::uint8_t bits;
  };
  std::vector<Event> events;
  events.reserve(state.storedChanges);
  for (std::size_t l = 0; l < state.lists.size(); ++l)
    for (const MarkerChange& change : state.lists[l])
      events.push_back({change.position, static_cast<std::uint32_t>(l), change.bits});
  std::sort(events.begin(), events.end(),
            [](const Event& a, const Event& b) { return a.position < b.position; });

  // How many lists hold each bit, and the bits each list holds now.
  std::array<std::uint32_t, 8> holders{};
  std::vector<std::uint8_t> held(state.lists.size(), 0);
  std::uint8_t byte = 0;
  RunWriter writer(slot, 0, goOn);
  std::int32_t q = 0;
  std::size_t e = 0;
  while (e < events.size()) {
    const std::int32_t position = events[e].position;
    const std::int32_t next = std::min(position, length);
    if (next > q) {
      if (!writer.Put(byte, next - q)) return false;
      q = next;
    }
    for (; e < events.size() && events[e].position == position; ++e) {
      std::uint8_t& bits = held[events[e].list];
      for (int k = 0; k < 8; ++k) {
        holders[k] -= (bits >> k) & 1u;
        holders[k] += (events[e].bits >> k) & 1u;
      }
      bits = events[e].bits;
    }
    byte = 0;
    for (int k = 0; k < 8; ++k)
      if (holders[k] != 0) byte = static_cast<std::uint8_t>(byte | (1u << k));
  }
  *finalByte = byte;
  return writer.Put(byte, length - q) && writer.Flush();
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

void SetMarkerChangeLimit(std::size_t limit) { g_changeLimit = limit; }

namespace {

// Sends the kept lists to the stream (written from position 0, then
// restarted), followed by the change points kept so far of the list being
// read, which goes on in the stream.
bool SendListsToStream(int slot, const std::vector<MarkerChange>& current,
                       MarkerStreamState* state) {
  std::uint8_t finalByte = 0;
  if (!WriteKeptLists(slot, *state, state->highWater, false, &finalByte)) return false;
  state->inStream = true;
  state->fillByte = finalByte;
  state->lastByte = finalByte;
  state->lists.clear();
  state->lists.shrink_to_fit();
  state->storedChanges = 0;
  if (!RestartMarkerStream(slot)) return false;

  std::int32_t j = 0;
  std::uint8_t bits = 0;
  for (const MarkerChange& change : current) {
    if (!ApplyMarkerRun(slot, j, change.position, bits, change.position, state)) return false;
    if (!ApplyMarkerRun(slot, change.position, change.position + 1, change.bits, change.position,
                        state))
      return false;
    j = change.position + 1;
    bits = change.bits;
  }
  return true;
}

}  // namespace

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
  std::vector<MarkerChange> kept;
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
      const auto newBits = static_cast<std::uint8_t>(static_cast<std::uint32_t>(s) << markerShift);
      if (!state->inStream && state->storedChanges + kept.size() >= g_changeLimit &&
          !SendListsToStream(markerSlot, kept, state))
        return 0;
      if (state->inStream) {
        if (!ApplyMarkerRun(markerSlot, j, target, bits, target, state) ||
            !ApplyMarkerRun(markerSlot, target, target + 1, newBits, target, state))
          return 0;
      } else {
        kept.push_back({target, newBits});
      }
      j = target + 1;
      bits = newBits;
    }
    if (more == 0) break;
    more = ReadTagToken(inputSlot, &entry, kMaxTagContentChars, kEntryDelimiter);
  }

  LogMessage(kLogInfo, {"Restarting marker data stream ..."});
  if (!state->inStream) {
    state->highWater = std::max(state->highWater, j);
    state->storedChanges += kept.size();
    state->lists.push_back(std::move(kept));
    return 1;
  }
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
  state->end = std::max(state->highWater, *controlLength);
  if (!state->inStream) {
    LogMessage(kLogInfo, {FormatText("Filling marker stream up to position %lld",
                                     static_cast<long long>(*controlLength) - 1)});
    std::uint8_t finalByte = 0;
    WriteKeptLists(markerSlot, *state, state->end, true, &finalByte);
    state->fillByte = finalByte;
    state->lastByte = finalByte;
    return 1;
  }
  // Bring the write position to the end of the lists, then extend the stream.
  CopyThrough(markerSlot, 0, state->highWater, 0, state);
  LogMessage(kLogInfo, {FormatText("Filling marker stream up to position %lld",
                                   static_cast<long long>(*controlLength) - 1)});
  FillGoingOn(markerSlot, state->highWater, *controlLength, state->lastByte);
  return 1;
}

int StoreSampleMarker(int markerSlot, std::uint8_t byte) {
  if (_WriteBytes(markerSlot, 1, &byte) == 1) return 1;
  LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to marker file!"});
  return 0;
}
