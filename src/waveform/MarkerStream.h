// The marker stream of the waveform reader: one byte per sample in the
// temporary marker file, bit k-1 holding the state of marker k (1 to 4).
// It is built in three steps inside ReadWaveformFile: each MARKER LIST tag
// adds its transitions, the data tag writes the stream up to the control
// length, and the sample loop appends a byte for every sample beyond it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/WaveInfo.h"
#include "waveform/WaveformScan.h"

// A point where one marker list changes its bits: from position on, the list
// contributes bits to every byte up to its next change point.
struct MarkerChange {
  std::int32_t position = 0;
  std::uint8_t bits = 0;
};

// State of the marker stream during one read. The lists are kept as change
// points and merged into the stream at the data tag, or earlier whenever the
// kept points reach their limit.
struct MarkerStreamState {
  std::int32_t highWater = 0;     // positions the lists cover: one past their last entry
  std::int32_t streamLength = 0;  // bytes in the stream
  std::uint8_t fillByte = 0;      // final states of the lists in the stream: the value
                                  // of every position beyond it
  std::int32_t end = 0;           // length of the prepared stream, set by PrepareMarkerStream
  std::vector<std::vector<MarkerChange>> lists;  // kept change points of each list
  std::size_t storedChanges = 0;
};

// Change points kept before they are merged into the stream.
inline constexpr std::size_t kDefaultMarkerChangeLimit = 262144;
// Sets that number (tests use 0 to send every list to the stream at once).
void SetMarkerChangeLimit(std::size_t limit);

// Handles the content of a MARKER LIST tag (name as read, content still to
// be read from in). Entry p:s sets the marker to s (0 or 1; any other state is
// refused as invalid data) from p on; it keeps that state
// until the next entry and, after the last entry, up to the end of the
// stream. Entries before the current position count for nothing. The change
// points are kept; when they reach their limit, the kept lists are merged
// into the stream in markerSlot, which is then restarted. 1 on success, 0 on
// failure (logged).
int ReadMarkerList(TagByteSource& in, int markerSlot, const std::string& tagName,
                   MarkerStreamState* state);

// Prepares the stream at the data tag: a controlLength of 0 takes samples
// (with a warning); the kept lists are merged into the stream, which is
// extended with the final states of all lists up to the larger of the lists'
// end and controlLength. Sets state->end; the write position stays there, so
// the marker byte of sample i appended by StoreSampleMarkers for every i from
// state->end on lands at position i. 1 on success, 0 on failure (logged).
int PrepareMarkerStream(int markerSlot, std::int32_t samples, std::int32_t* controlLength,
                        MarkerStreamState* state);

// Appends the marker bytes of count consecutive samples; logs "*** Error:
// Cannot write to marker file!" and returns 0 when that fails.
int StoreSampleMarkers(int markerSlot, const std::uint8_t* bytes, std::int32_t count);

// Writes the marker stream of samples bytes into the temporary marker file
// (its whole content, through markerSlot) from stretches in which a marker
// is high: bit k-1 of a byte is set while any stretch of marker k covers the
// sample. Stretches reaching beyond the samples are cut there. 1 on success;
// 0 after logging "*** Error: Cannot write to marker file!".
int WriteMarkerSpans(const std::vector<MarkerSpan>& spans, std::int32_t samples,
                     std::FILE* markerFile, int markerSlot);
