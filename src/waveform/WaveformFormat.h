// Fixed facts of the tagged waveform file format shared by reader and writer.
#pragma once

#include <cstddef>

inline constexpr std::size_t kMaxTagNameBytes = 511;  // a 512th byte without ':' rejects the file
inline constexpr std::size_t kMaxTagContentChars =
    1024;  // known tags, marker entries, data-tag text
inline constexpr std::size_t kMaxStoredTextChars = 1023;  // COMMENT, COPYRIGHT, DATE, SYSTEM

// Full scale of a 16-bit sample word.
inline constexpr double kWordFullScale = 32767.0;

inline constexpr int kMarkerCount = 4;
