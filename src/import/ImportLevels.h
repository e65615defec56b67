// Level bookkeeping shared by the raw readers: the running peak magnitude
// and the running sum of squared magnitudes over the imported pairs.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// The signed 16-bit formats (i16be, i16le, txthex) convert a word of 0 to
// (0 - 0.5) / 32767, half a step below zero: a file of nothing but such words
// is silence all the same, and must not be lifted to full scale.
inline constexpr float kInt16ZeroWordValue = static_cast<float>(-0.5 / 32767.0);

// What a measuring pass (-info) counts beside the levels: the sums of I and
// of Q for the DC, and the values whose magnitude exceeds full scale.
struct SampleStats {
  double sumI = 0.0;
  double sumQ = 0.0;
  std::int64_t beyondFullScale = 0;
};

struct ImportLevels {
  double peak = 0.0;       // largest vector magnitude seen so far
  float peakPower = 0.0f;  // largest squared magnitude seen so far (peak is its root)
  double sum = 0.0;        // sum of squared magnitudes
  std::int32_t pairs = 0;  // pairs counted by the reader
  // The value a silent word converts to, for formats that have one; NaN
  // (never equal) for the others.
  float silentValue = std::numeric_limits<float>::quiet_NaN();
  bool onlySilentWords = true;  // every accumulated value was silentValue
  // One real channel: Q is the 0 the reader puts beside each value, not a
  // word of the file, so silence is told by the I values alone.
  bool realChannel = false;
  SampleStats* stats = nullptr;  // counted too when set
};

// Adds one complete pair: the squared magnitude and the magnitude are each
// rounded to a 32-bit float, as the level definitions require.
inline void AccumulatePair(ImportLevels& levels, float i, float q) {
  const float m2 = i * i + q * q;
  // The float square root never decreases, so the largest magnitude is the
  // root of the largest square: the root is taken only when the square grows.
  if (m2 > levels.peakPower) {
    levels.peakPower = m2;
    levels.peak = std::sqrt(m2);
  }
  levels.sum += m2;
  if (levels.stats != nullptr) {
    levels.stats->sumI += i;
    levels.stats->sumQ += q;
    levels.stats->beyondFullScale += (std::fabs(i) > 1.0f) + (std::fabs(q) > 1.0f);
  }
  levels.onlySilentWords = levels.onlySilentWords && i == levels.silentValue &&
                           (q == levels.silentValue || levels.realChannel);
}

// What a block of pairs adds to the levels besides the running sum, which
// must still be taken pair by pair in file order (the rounding of each
// addition depends on the sum before it).
struct BlockPowers {
  float largest = 0.0f;   // largest squared magnitude of the block
  bool allSilent = true;  // every value is the silent value (I alone for one real channel)
};

// Squares the magnitudes of count interleaved pairs into powers, each
// rounded to a float exactly as AccumulatePair rounds it, and finds what
// BlockPowers holds. Returns false, with powers and block unspecified, when a
// value is not finite: such a block must be taken pair by pair, which finds
// where it stops.
bool SquarePairs(const float* values, std::int32_t count, float silentValue, bool realChannel,
                 float* powers, BlockPowers* block);

// sum plus powers[0] + powers[1] + ... in that order, each addition rounded
// to a double as AccumulatePair rounds it.
double AddInOrder(double sum, const float* powers, std::int32_t count);

// Takes the peak and the silence of a block squared by SquarePairs into the
// levels: with the sum of its powers added in order, the levels are those
// AccumulatePair gives pair by pair (the peak is the root of the largest
// square, whichever pair held it). Without stats.
inline void AccumulateBlockPeak(ImportLevels& levels, const BlockPowers& block) {
  if (block.largest > levels.peakPower) {
    levels.peakPower = block.largest;
    levels.peak = std::sqrt(block.largest);
  }
  levels.onlySilentWords = levels.onlySilentWords && block.allSilent;
}

// Whole percentage trunc(count * weight * 100 / total) for a count that grows
// by one at a time. The percentage is recomputed only when the count reaches
// the next point at which it changes, so a step costs an addition and a
// comparison instead of a 64-bit division. A total of 0 or less (an empty
// file) keeps the percentage at 0.
class PercentCounter {
 public:
  PercentCounter(std::int64_t total, std::int64_t weight)
      : total_(total), step_(weight * 100), next_(total > 0 ? total : INT64_MAX) {}

  // One more unit of `weight` done.
  void Advance() {
    scaled_ += step_;
    if (scaled_ >= next_) {
      percent_ = scaled_ / total_;
      next_ = (percent_ + 1) * total_;
    }
  }

  // Up to `units` more units, stopping early at the first one that changes
  // the percentage; returns how many were done. Stepping through a block
  // this way gives the percentages that Advance() one unit at a time gives.
  std::int64_t AdvanceToChange(std::int64_t units) {
    const std::int64_t toChange = (next_ - scaled_ - 1) / step_ + 1;  // scaled_ < next_
    const std::int64_t done = units < toChange ? units : toChange;
    scaled_ += done * step_;
    if (scaled_ >= next_) {
      percent_ = scaled_ / total_;
      next_ = (percent_ + 1) * total_;
    }
    return done;
  }

  int Value() const { return static_cast<int>(percent_); }

 private:
  std::int64_t total_;
  std::int64_t step_;
  std::int64_t next_;        // scaled_ at which the percentage next changes
  std::int64_t scaled_ = 0;  // count * weight * 100
  std::int64_t percent_ = 0;
};

// Largest running peak the binary readers accept before they decide that the
// data format or byte order must be wrong.
inline constexpr double kBinaryRangeLimit = 100.0;
