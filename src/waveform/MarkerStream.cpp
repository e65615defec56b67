// The marker lists are kept as change points and go to the stream in merge
// passes: one at the data tag, and one each time the kept points reach their
// limit. A pass reads every byte already in the stream, ORs in the bits that
// the kept lists give there and writes it back in place (read and write
// positions move together), then appends the bytes beyond the stream. So the
// encrypted stream is read and rewritten once per pass rather than once per
// list, and memory stays bounded however long the lists are.
//
// Bytes move in blocks that never straddle a chunk boundary of the slot, so
// a failed block always fails at its first byte and the positions in the
// messages are exact.
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
#include "common/Log.h"
#include "waveform/WaveformFormat.h"
#include "waveform/WaveformTags.h"

namespace {

constexpr std::int32_t kBlockBytes = 4096;
static_assert(kSlotBufferSize % kBlockBytes == 0, "blocks must tile the slot's chunks");

constexpr int kBitsPerByte = 8;

using Block = std::array<unsigned char, kBlockBytes>;

std::size_t g_changeLimit = kDefaultMarkerChangeLimit;

// The byte that the kept lists give at successive positions from 0 on: the
// OR of the bits that each list holds there.
class KeptListSweep {
 public:
  explicit KeptListSweep(const MarkerStreamState& state) : held_(state.lists.size(), 0) {
    events_.reserve(state.storedChanges);
    for (std::size_t l = 0; l < state.lists.size(); ++l)
      for (const MarkerChange& change : state.lists[l])
        events_.push_back({change.position, static_cast<std::uint32_t>(l), change.bits});
    // Within a list positions rise; points of different lists commute.
    std::sort(events_.begin(), events_.end(),
              [](const Event& a, const Event& b) { return a.position < b.position; });
    ApplyEventsAt(0);
  }

  // The bytes of the next count positions.
  void Next(unsigned char* bytes, std::int32_t count) {
    while (count > 0) {
      const std::int32_t run = next_ < events_.size()
                                   ? static_cast<std::int32_t>(std::min<std::int64_t>(
                                         count, std::int64_t{events_[next_].position} - position_))
                                   : count;
      std::memset(bytes, byte_, static_cast<std::size_t>(run));
      bytes += run;
      count -= run;
      position_ += run;
      ApplyEventsAt(position_);
    }
  }

  // The byte beyond every change point: the final states of the lists.
  std::uint8_t FinalByte() {
    while (next_ < events_.size()) ApplyEventsAt(events_[next_].position);
    return byte_;
  }

 private:
  struct Event {
    std::int32_t position;
    std::uint32_t list;
    std::uint8_t bits;
  };

  void ApplyEventsAt(std::int32_t position) {
    if (next_ >= events_.size() || events_[next_].position != position) return;
    for (; next_ < events_.size() && events_[next_].position == position; ++next_) {
      std::uint8_t& bits = held_[events_[next_].list];
      for (int k = 0; k < kBitsPerByte; ++k) {
        holders_[k] -= (bits >> k) & 1u;
        holders_[k] += (events_[next_].bits >> k) & 1u;
      }
      bits = events_[next_].bits;
    }
    byte_ = 0;
    for (int k = 0; k < kBitsPerByte; ++k)
      if (holders_[k] != 0) byte_ = static_cast<std::uint8_t>(byte_ | (1u << k));
  }

  std::vector<Event> events_;
  std::size_t next_ = 0;
  std::vector<std::uint8_t> held_;                     // bits each list holds now
  std::array<std::uint32_t, kBitsPerByte> holders_{};  // lists holding each bit
  std::uint8_t byte_ = 0;
  std::int64_t position_ = 0;
};

// How a merge pass treats a byte that cannot be read or written: the passes
// at the lists end the read at the first failure; the pass at the data tag
// logs every failing position and goes on, and fails the read at its end: a
// stream with a byte lost or unread would give the output wrong markers.
enum class OnFailure { kFail, kGoOn };

void LogPassReadFailure(OnFailure mode, std::int32_t position, std::int32_t streamLength,
                        std::int32_t target) {
  if (mode == OnFailure::kGoOn) {
    LogMessage(kLogAlwaysShown,
               {FormatText("*** Error: Failed to read from marker stream at position %ld!",
                           static_cast<long>(position))});
    return;
  }
  LogMessage(kLogAlwaysShown,
             {FormatText("*** Error: Cannot read from marker file at position %ld!",
                         static_cast<long>(position))});
  LogMessage(kLogAlwaysShown, {FormatText("***        Previously written bytes: %ld",
                                          static_cast<long>(streamLength))});
  LogMessage(kLogAlwaysShown,
             {FormatText("***        Target position: %ld", static_cast<long>(target))});
}

void LogPassWriteFailure(OnFailure mode, std::int32_t position) {
  LogMessage(kLogAlwaysShown,
             {FormatText(mode == OnFailure::kGoOn
                             ? "*** Error: Failed to write to marker stream at position %ld!"
                             : "*** Error: Cannot write to marker file at position %ld!",
                         static_cast<long>(position))});
}

// Merges the kept lists into the stream for the positions 0..length-1 and
// forgets them. The stream's bytes get the lists' bits ORed in; positions
// beyond it take the fill byte (the final states of the lists already in the
// stream) together with the lists' bits. Leaves the write position at length.
bool MergeKeptLists(int slot, std::int32_t length, OnFailure mode, MarkerStreamState* state) {
  KeptListSweep sweep(*state);
  Block bits;
  Block block;
  std::uint8_t lastHeld = state->fillByte;
  bool complete = true;
  for (std::int32_t q = 0; q < length;) {
    const std::int32_t n = std::min(length - q, kBlockBytes);  // q stays block-aligned
    sweep.Next(bits.data(), n);
    const std::int32_t toRead = std::clamp(state->streamLength - q, 0, n);
    const std::int32_t got =
        toRead > 0 ? std::max<std::int32_t>(_ReadBytes(slot, toRead, block.data()), 0) : 0;
    if (got < toRead && mode == OnFailure::kFail) {
      LogPassReadFailure(mode, q + got, state->streamLength, length - 1);
      return false;
    }
    // Only when going on: each byte that the block read missed is tried on
    // its own, and one that cannot be read is written with the value last
    // held.
    for (std::int32_t k = got; k < toRead; ++k) {
      unsigned char single = 0;
      if (_ReadBytes(slot, 1, &single) == 1) {
        block[k] = single;
      } else {
        LogPassReadFailure(mode, q + k, state->streamLength, length - 1);
        complete = false;
        block[k] = k > 0 ? static_cast<unsigned char>(block[k - 1] | bits[k - 1]) : lastHeld;
      }
    }
    for (std::int32_t k = 0; k < toRead; ++k)
      block[k] = static_cast<unsigned char>(block[k] | bits[k]);
    for (std::int32_t k = toRead; k < n; ++k)
      block[k] = static_cast<unsigned char>(state->fillByte | bits[k]);
    lastHeld = block[n - 1];
    if (_WriteBytes(slot, n, block.data()) != n) {
      if (mode == OnFailure::kFail) {
        LogPassWriteFailure(mode, q);
        return false;
      }
      // The failed block write may have lost bytes written before it.
      complete = false;
      for (std::int32_t k = 0; k < n; ++k)
        if (_WriteBytes(slot, 1, block.data() + k) != 1) LogPassWriteFailure(mode, q + k);
    }
    q += n;
  }
  state->fillByte = static_cast<std::uint8_t>(state->fillByte | sweep.FinalByte());
  state->streamLength = std::max(state->streamLength, length);
  state->lists.clear();
  state->lists.shrink_to_fit();
  state->storedChanges = 0;
  return complete;
}

bool RestartMarkerStream(int slot) {
  if (_RestartAtBegining(slot)) return true;
  LogMessage(kLogError, {"*** Error: Restarting marker data stream failed."});
  return false;
}

// Sets the list's bits from position on; a later point at the same position
// replaces an earlier one.
void AddChange(std::vector<MarkerChange>* changes, std::int32_t position, std::uint8_t bits) {
  if (!changes->empty() && changes->back().position == position)
    changes->back().bits = bits;
  else
    changes->push_back({position, bits});
}

// The kept points have reached their limit: merges them, together with the
// part of the list being read that lies before its current position j, into
// the stream. That list goes on from j with the bits it holds there.
bool SendKeptListsToStream(int slot, std::int32_t j, std::uint8_t bits,
                           std::vector<MarkerChange>* current, MarkerStreamState* state) {
  if (!current->empty()) {
    AddChange(current, j, 0);  // its part ends at j; the rest follows in the next pass
    state->storedChanges += current->size();
    state->lists.push_back(std::move(*current));
  }
  current->clear();
  if (!MergeKeptLists(slot, state->highWater, OnFailure::kFail, state)) return false;
  if (!RestartMarkerStream(slot)) return false;
  if (bits != 0) AddChange(current, j, bits);
  return true;
}

void LogEntryLine(const std::string& tagName, const std::string& entry) {
  LogMessage(kLogError, {"*** '", tagName, "' -> '", entry, "'"});
}

}  // namespace

void SetMarkerChangeLimit(std::size_t limit) { g_changeLimit = limit; }

int ReadMarkerList(TagByteSource& in, int markerSlot, const std::string& tagName,
                   MarkerStreamState* state) {
  const long marker = MarkerNumberOfTag(tagName);
  if (!ValidMarkerNumber(marker)) {
    LogMessage(kLogError, {"*** Error: Invalid MARKER LIST tag."});
    return 0;
  }
  const int markerShift = static_cast<int>(marker) - 1;

  std::int32_t j = 0;     // current position
  std::uint8_t bits = 0;  // this marker's bits from j on
  std::vector<MarkerChange> changes;
  std::string entry;
  MarkerListScanner entries(in);
  while (entries.Next(&entry)) {
    if (entries.cut()) LogInvalidTagContent();
    std::int64_t p = 0;
    std::int64_t s = 0;
    const MarkerEntryFault fault = CheckMarkerEntry(entry, &p, &s);
    if (fault == MarkerEntryFault::kRange) {
      LogMessage(kLogError, {"*** Error: Unsupported MARKER LIST format. Use transition format."});
      LogEntryLine(tagName, entry);
      return 0;
    }
    if (fault == MarkerEntryFault::kInvalid) {
      LogMessage(kLogError, {"*** Error: Invalid MARKER LIST tag data."});
      LogEntryLine(tagName, entry);
      return 0;
    }
    LogMessage(kLogInfo,
               {FormatText(p == j ? "M%ld : state %lld = %lld" : "M%ld : transition %lld -> %lld",
                           marker, static_cast<long long>(p), static_cast<long long>(s))});
    if (fault == MarkerEntryFault::kPosition) {
      LogMessage(kLogAlwaysShown, {"*** Error: Invalid marker position"});
      return 0;
    }
    const auto target = static_cast<std::int32_t>(p);
    LogMessage(kLogInfo, {FormatText("     Creating marker data %ld...%ld", static_cast<long>(j),
                                     static_cast<long>(target))});
    // An entry before the current position counts for nothing.
    if (target >= j) {
      if (state->storedChanges + changes.size() >= std::max<std::size_t>(g_changeLimit, 1) &&
          !SendKeptListsToStream(markerSlot, j, bits, &changes, state))
        return 0;
      bits = static_cast<std::uint8_t>(static_cast<std::uint32_t>(s) << markerShift);
      AddChange(&changes, target, bits);
      j = target + 1;
      state->highWater = std::max(state->highWater, j);
    }
  }

  // The list holds its last bits up to the end of the stream.
  state->storedChanges += changes.size();
  if (!changes.empty()) state->lists.push_back(std::move(changes));
  LogMessage(kLogInfo, {"Restarting marker data stream ..."});
  return 1;
}

int PrepareMarkerStream(int markerSlot, std::int32_t samples, std::int32_t* controlLength,
                        MarkerStreamState* state) {
  if (*controlLength == 0) {
    LogMessage(kLogWarning, {"Warning: No CONTROL LENGTH tag found. Using data from SAMPLES tag."});
    *controlLength = samples;
  }
  LogMessage(kLogInfo, {"Restarting marker data stream ..."});
  LogMessage(kLogInfo, {FormatText("Filling marker stream up to position %lld",
                                   static_cast<long long>(*controlLength) - 1)});
  state->end = std::max(state->highWater, *controlLength);
  // The write position stays at the end for the bytes of later samples.
  return MergeKeptLists(markerSlot, state->end, OnFailure::kGoOn, state) ? 1 : 0;
}

int StoreSampleMarkers(int markerSlot, const std::uint8_t* bytes, std::int32_t count) {
  if (_WriteBytes(markerSlot, count, bytes) == count) return 1;
  LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to marker file!"});
  LogFileReason(kTempMarkerFileName);
  return 0;
}

int WriteMarkerSpans(const std::vector<MarkerSpan>& spans, std::int32_t samples,
                     std::FILE* markerFile, int markerSlot) {
  // Each stretch raises its marker's count at its start and lowers it one
  // past its end; a marker is high while its count is above 0, so stretches
  // of one marker may overlap.
  struct Edge {
    std::int64_t position;
    int marker;
    int step;
  };
  std::vector<Edge> edges;
  edges.reserve(2 * spans.size());
  for (const MarkerSpan& span : spans) {
    if (span.marker < 1 || span.marker > kMarkerCount || span.count <= 0 || span.start >= samples)
      continue;
    const std::int64_t end =
        span.count > samples - span.start ? std::int64_t{samples} : span.start + span.count;
    edges.push_back({span.start, span.marker - 1, 1});
    edges.push_back({end, span.marker - 1, -1});
  }
  std::sort(edges.begin(), edges.end(),
            [](const Edge& a, const Edge& b) { return a.position < b.position; });
  const auto fail = [] {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot write to marker file!"});
    LogFileReason(kTempMarkerFileName);
    return 0;
  };
  if (!_InitBuf(markerSlot, markerFile, 1, 1, 1)) return fail();
  SlotGuard slot(markerSlot);
  int high[kMarkerCount] = {};
  std::uint8_t byte = 0;
  std::size_t next = 0;
  Block block;
  for (std::int64_t base = 0; base < samples; base += kBlockBytes) {
    const std::int64_t count = std::min<std::int64_t>(kBlockBytes, samples - base);
    for (std::int64_t k = 0; k < count; ++k) {
      for (; next < edges.size() && edges[next].position == base + k; ++next) {
        high[edges[next].marker] += edges[next].step;
        byte = 0;
        for (int m = 0; m < kMarkerCount; ++m)
          if (high[m] > 0) byte = static_cast<std::uint8_t>(byte | (1u << m));
      }
      block[static_cast<std::size_t>(k)] = byte;
    }
    const auto size = static_cast<std::int32_t>(count);
    if (_WriteBytes(markerSlot, size, block.data()) != size) return fail();
  }
  if (!slot.Release()) return fail();
  return 1;
}
