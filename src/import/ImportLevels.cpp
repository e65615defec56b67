// Squares of a block of pairs for the level measurement: the part of the
// per-pair work that does not depend on the order of the pairs, four pairs
// at a time where the processor has SSE2 (every x86-64 processor).
#include "import/ImportLevels.h"

#include <cfloat>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The pairs from `from` on, one at a time: the same operations as
// AccumulatePair.
bool SquareEach(const float* values, std::int32_t from, std::int32_t count, float silentValue,
                bool realChannel, float* powers, BlockPowers* block) {
  for (std::int32_t k = from; k < count; ++k) {
    const float i = values[2 * static_cast<std::size_t>(k)];
    const float q = values[2 * static_cast<std::size_t>(k) + 1];
    if (!std::isfinite(i) || !std::isfinite(q)) return false;
    const float m2 = i * i + q * q;
    powers[k] = m2;
    if (m2 > block->largest) block->largest = m2;
    block->allSilent = block->allSilent && i == silentValue && (q == silentValue || realChannel);
  }
  return true;
}

}  // namespace

bool SquarePairs(const float* values, std::int32_t count, float silentValue, bool realChannel,
                 float* powers, BlockPowers* block) {
  *block = BlockPowers{};
  std::int32_t k = 0;
#if defined(__SSE2__)
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 largestFinite = _mm_set1_ps(FLT_MAX);
  const __m128 silent = _mm_set1_ps(silentValue);
  // Lanes 1 and 3 hold Q: with one real channel they count as silent.
  const __m128 qLanes =
      realChannel ? _mm_castsi128_ps(_mm_set_epi32(-1, 0, -1, 0)) : _mm_setzero_ps();
  __m128 finite = _mm_castsi128_ps(_mm_set1_epi32(-1));
  __m128 allSilent = finite;
  __m128 largest = _mm_setzero_ps();
  for (; k + 4 <= count; k += 4) {
    const __m128 a = _mm_loadu_ps(values + 2 * static_cast<std::size_t>(k));      // I0 Q0 I1 Q1
    const __m128 b = _mm_loadu_ps(values + 2 * static_cast<std::size_t>(k) + 4);  // I2 Q2 I3 Q3
    // Not a number and the infinities fail the comparison.
    finite = _mm_and_ps(finite, _mm_cmple_ps(_mm_and_ps(a, magnitude), largestFinite));
    finite = _mm_and_ps(finite, _mm_cmple_ps(_mm_and_ps(b, magnitude), largestFinite));
    allSilent = _mm_and_ps(allSilent, _mm_or_ps(_mm_cmpeq_ps(a, silent), qLanes));
    allSilent = _mm_and_ps(allSilent, _mm_or_ps(_mm_cmpeq_ps(b, silent), qLanes));
    const __m128 a2 = _mm_mul_ps(a, a);
    const __m128 b2 = _mm_mul_ps(b, b);
    // I*I + Q*Q of the four pairs, each a single float addition as in
    // AccumulatePair.
    const __m128 m2 = _mm_add_ps(_mm_shuffle_ps(a2, b2, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm_shuffle_ps(a2, b2, _MM_SHUFFLE(3, 1, 3, 1)));
    _mm_storeu_ps(powers + k, m2);
    largest = _mm_max_ps(largest, m2);
  }
  if (_mm_movemask_ps(finite) != 0xF) return false;
  block->allSilent = _mm_movemask_ps(allSilent) == 0xF;
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, largest);
  for (const float lane : lanes) block->largest = lane > block->largest ? lane : block->largest;
#endif
  return SquareEach(values, k, count, silentValue, realChannel, powers, block);
}

double AddInOrder(double sum, const float* powers, std::int32_t count) {
  for (std::int32_t k = 0; k < count; ++k) sum += powers[k];
  return sum;
}
