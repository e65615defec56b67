// Writes the output waveform file of one conversion from WaveInfo, the
// temporary waveform file and (for converted waveform files) the marker file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/WaveInfo.h"

// Word of a full-scale float sample: floor(v * 32767 + 0.5) inside [-1, 1]
// (the nearest word, without bias for either sign), where a v * 32767 + 0.5
// within 1/256 of a whole number is taken as that number (so 16-bit words
// imported as (s - 0.5) / 32767 come back exactly);
// -32767 below and 32767 above (also for a value that is not a number).
std::int16_t SampleToWord(float value);

// SampleToWord over count little-endian floats, into little-endian 16-bit
// words; returns how many values were limited to full scale. Where the
// processor has vector instructions, eight or four values at a time; the one-at-a-time
// path beside it gives the same words everywhere (and serves the tests).
std::int64_t ConvertToWords(const unsigned char* floats, std::int32_t count, unsigned char* words);
std::int64_t ConvertToWordsOneAtATime(const unsigned char* floats, std::int32_t count,
                                      unsigned char* words);

// Of four values compared at once, how many SampleToWord limits to full
// scale, from the 4-bit mask of those inside [-1, 1] that the vector
// comparison gives (the x86-64 base set has no population count).
inline int OutsideOfFour(int insideMask) {
  static constexpr std::uint8_t kOutside[16] = {4, 3, 3, 2, 3, 2, 2, 1, 3, 2, 2, 1, 2, 1, 1, 0};
  return kOutside[insideMask & 0xF];
}

// The checks of the free texts that become the COMMENT and COPYRIGHT tags:
// neither may hold the '}' that would end its tag. 0 after the refusal line.
int CheckTagTexts(const std::string& comment, const std::string& copyright);

// The marker lists are written from one pass over the marker file when
// their change points, all four together, number at most this many (4 bytes
// each); beyond it each list reads the file again.
inline constexpr std::size_t kDefaultMarkerListChanges = std::size_t{1} << 22;
// Sets that number (tests use 0 for a pass per list).
void SetMarkerListChanges(std::size_t limit);

// markerFile may be nullptr (raw import: no marker lists). The file is built
// under a hidden temporary name beside the destination (created exclusively,
// with a random part) and moved to the destination only when complete. With
// replaceExisting false, a destination that exists at that moment (one that
// appeared while the file was written) is kept and the call fails with
// "*** Destination file already exists.". *clippedValues (when given) gets
// the number of values limited to full scale. 1 when written, 0 on failure.
int WriteWaveformFile(const WaveInfo& info, const std::string& destinationPath,
                      std::FILE* tempWaveFile, std::FILE* tempMarkerFile,
                      bool replaceExisting = true, std::int64_t* clippedValues = nullptr);
