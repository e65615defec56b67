// The marker stream of the waveform reader: one byte per sample in the
// temporary marker file, bit k-1 holding the state of marker k (1 to 4).
// It is built in three steps inside ReadWaveformFile: each MARKER LIST tag
// merges its transitions into the stream, the data tag prepares the stream
// for the samples, and the sample loop adds a byte for every sample beyond
// the prepared stream.
#pragma once

#include <cstdint>
#include <string>

// State of the marker stream during one read.
struct MarkerStreamState {
  std::int32_t highWater = 0;  // stream bytes the MARKER LIST tags have written
  std::uint8_t fillByte = 0;   // value of positions beyond the lists: their final states
  std::uint8_t lastByte = 0;   // the byte most recently read from or written to the stream
  std::int32_t end = 0;        // length of the prepared stream, set by PrepareMarkerStream
};

// A tag name holds a marker list when it contains this text; the marker
// number follows it.
inline constexpr const char* kMarkerListTagMark = "MARKER LIST ";

// Scans an entry like "%ld:%d" would: a decimal position, ':' directly after
// it, a decimal state (leading white space before each number skipped, a sign
// allowed). Returns the number of fields found (0, 1 or 2). Numbers too large
// for 32 bits saturate at the 32-bit limits.
int ScanMarkerEntry(const std::string& entry, std::int64_t* position, std::int64_t* state);

// Handles the content of a MARKER LIST tag (name as read, content still in
// inputSlot) and merges it into the stream in markerSlot, which ends
// restarted at position 0. Entry p:s sets the marker to s from p on; it
// keeps that state until the next entry and, after the last entry, up to the
// end of the stream. 1 on success, 0 on failure (logged).
int ReadMarkerList(int inputSlot, int markerSlot, const std::string& tagName,
                   MarkerStreamState* state);

// Prepares the stream at the data tag: a controlLength of 0 takes samples
// (with a warning), the stream is extended with its last byte up to
// controlLength bytes and restarted. Sets state->end. 1 on success, 0 on
// failure (logged).
int PrepareMarkerStream(int markerSlot, std::int32_t samples, std::int32_t* controlLength,
                        MarkerStreamState* state);

// Before the sample loop: when the prepared stream is shorter than the
// sample count, moves the write position past it (its bytes unchanged), so
// that the byte of sample i lands at position i. Failures of single bytes are
// logged and passed over, as in every copy-through.
void PositionSampleMarkers(int markerSlot, std::int32_t sampleCount, MarkerStreamState* state);

// Appends the marker byte of one sample; logs "*** Error: Cannot write to
// marker file!" and returns 0 when that fails.
int StoreSampleMarker(int markerSlot, std::uint8_t byte);

// The marker byte carried in the two low bits of 14-bit ZETQ words: bit 0 of
// I is marker 1, bit 1 of I marker 2, bit 0 of Q marker 3, bit 1 of Q marker 4.
inline std::uint8_t MarkerByteFromWords(std::uint16_t iWord, std::uint16_t qWord) {
  return static_cast<std::uint8_t>((iWord & 3u) | ((qWord & 3u) << 2));
}
