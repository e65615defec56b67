// The fixed limits of what the program reads and writes, each named once.
// The longest path is platform::kMaxPathChars (platform/Platform.h) and the
// most I/Q pairs of one conversion kMaxTempSamples (Shared/FileIO/TempFiles.h).
#pragma once

#include <cstddef>
#include <cstdint>

// The sample clock of every waveform file, whatever it comes from (-clock, a
// CLOCKRATE tag, a WAV or SigMF sample rate): more than 1 kHz and at most
// 600 MHz, the range the generators play and the waveform reader accepts.
inline constexpr double kMinClockMHz = 0.001;  // not included
inline constexpr double kMaxClockMHz = 600.0;  // included
inline constexpr double kHzPerMHz = 1000000.0;
inline constexpr double kMinClockHz = kMinClockMHz * kHzPerMHz;
inline constexpr double kMaxClockHz = kMaxClockMHz * kHzPerMHz;

// True for a clock in Hz inside the range (a NaN is not).
inline constexpr bool ClockInRange(double hz) { return hz > kMinClockHz && hz <= kMaxClockHz; }

// The range as the -clock messages write it, and the line that follows a
// refused rate from a file.
inline constexpr const char* kClockRangeText = "0.001 < MHz <= 600";
inline constexpr const char* kClockRangeLine =
    "    The clock must be more than 1 kHz (0.001 MHz) and at most 600 MHz.";

// The largest level offset, in dB either way, that a SigMF recording's
// wavora:level_offsets may state: far beyond any real level, small enough to
// print as a tag. -export sigmf writes no offsets beyond it, so that every
// recording it writes converts back.
inline constexpr double kMaxStatedLevelOffset = 1000.0;

// Input files are sized in signed 32-bit counts: 2 GiB and more is refused.
inline constexpr std::int64_t kMaxInputBytes = std::int64_t{1} << 31;

// Comment and copyright texts hold at most this many characters.
inline constexpr std::size_t kMaxTagTextChars = 511;

// MAT-file variables: a name of at most this many bytes (MATLAB's own names
// have at most 63 characters), at most this many dimensions, and at most
// this many variables listed from one file.
inline constexpr std::int64_t kMaxMatNameBytes = 4096;
inline constexpr int kMaxMatDims = 32;
inline constexpr std::size_t kMaxMatVariables = 65536;
