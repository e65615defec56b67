// Level bookkeeping shared by the raw readers: the running peak magnitude
// and the running sum of squared magnitudes over the imported pairs.
#pragma once

#include <cmath>
#include <cstdint>

struct ImportLevels {
  double peak = 0.0;         // largest vector magnitude seen so far
  double sum = 0.0;          // sum of squared magnitudes
  std::int32_t pairs = 0;    // pairs counted by the reader
};

// Adds one complete pair: the squared magnitude and the magnitude are each
// rounded to a 32-bit float, as the level definitions require.
inline void AccumulatePair(ImportLevels& levels, float i, float q) {
  const float m2 = i * i + q * q;
  const float m = std::sqrt(m2);
  if (m > levels.peak) levels.peak = m;
  levels.sum += m2;
}

// Largest running peak the binary readers accept before they decide that the
// data format or byte order must be wrong.
inline constexpr double kBinaryRangeLimit = 100.0;
