// The 32-block Blowfish transform on AVX2 gathers.
//
// Four registers hold the left halves of 32 blocks and four the right ones,
// one block per 32-bit lane; a round of F is three gathers per register.
// Only the functions in this file that carry GATHER_TARGET use AVX2, and
// they run only after GatherCipherSupported() said yes.
#include "Shared/FileIO/BlowfishGather.h"

#include "Shared/FileIO/BlowfishTables.h"
#include "common/VectorBuild.h"

#ifdef WAVORA_VECTOR_PATHS
#include <immintrin.h>
#endif

#ifndef WAVORA_VECTOR_PATHS

bool GatherCipherSupported() { return false; }
void GatherEncryptGroups(const GatherCipherTables&, const unsigned char*, unsigned char*, long) {}
void GatherDecryptGroups(const GatherCipherTables&, const unsigned char*, unsigned char*, long) {}

#else

namespace {

#define GATHER_TARGET __attribute__((target("avx2")))
#define GATHER_INLINE GATHER_TARGET inline __attribute__((always_inline))

constexpr int kBlockBytes = 8;
constexpr int kRegisters = 4;  // of eight blocks each
static_assert(kRegisters * 8 == kGatherGroupBlocks);

// Reverses the bytes of every 32-bit word: the halves are big-endian.
GATHER_INLINE __m256i SwapBytes(__m256i v) {
  const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2,
                                         1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  return _mm256_shuffle_epi8(v, order);
}

// F(x) = ((S0[a] + S1[b]) ^ S2[c]) + S3[d] on eight lanes.
GATHER_INLINE __m256i RoundFunction(const GatherCipherTables& t, __m256i x) {
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  const __m256i pair = _mm256_srli_epi32(x, 16);
  const __m256i c = _mm256_and_si256(_mm256_srli_epi32(x, 8), byteMask);
  const __m256i d = _mm256_and_si256(x, byteMask);
  const __m256i sum = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.pairSums), pair, 4);
  const __m256i s2 = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.box2), c, 4);
  const __m256i s3 = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.box3), d, 4);
  return _mm256_add_epi32(_mm256_xor_si256(sum, s2), s3);
}

template <bool kEncrypt>
GATHER_INLINE __m256i RoundKey(const GatherCipherTables& t, int round) {
  return _mm256_set1_epi32(static_cast<int>(t.p[kEncrypt ? round : kBlowfishPWords - 1 - round]));
}

// Eight blocks (64 bytes) into their left and right halves. The lanes come
// in the order 0, 1, 4, 5 | 2, 3, 6, 7; StoreHalves puts them back.
GATHER_INLINE void LoadHalves(const unsigned char* src, __m256i* left, __m256i* right) {
  const __m256i a = SwapBytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
  const __m256i b = SwapBytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32)));
  *left = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
  *right = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
}

GATHER_INLINE void StoreHalves(__m256i left, __m256i right, unsigned char* dst) {
  const __m256i a = SwapBytes(_mm256_unpacklo_epi32(left, right));
  const __m256i b = SwapBytes(_mm256_unpackhi_epi32(left, right));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), a);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), b);
}

template <bool kEncrypt>
GATHER_TARGET void TransformGroups(const GatherCipherTables& t, const unsigned char* src,
                                   unsigned char* dst, long groups) {
  constexpr int kRegisterBytes = 8 * kBlockBytes;
  for (long g = 0; g < groups; ++g) {
    const unsigned char* in = src + g * kGatherGroupBlocks * kBlockBytes;
    unsigned char* out = dst + g * kGatherGroupBlocks * kBlockBytes;
    __m256i l[kRegisters];
    __m256i r[kRegisters];
    for (int i = 0; i < kRegisters; ++i) {
      LoadHalves(in + kRegisterBytes * i, &l[i], &r[i]);
      l[i] = _mm256_xor_si256(l[i], RoundKey<kEncrypt>(t, 0));
    }
    // The registers are independent, so their gathers overlap.
    for (int round = 1; round < kBlowfishPWords - 1; round += 2) {
      const __m256i first = RoundKey<kEncrypt>(t, round);
      for (int i = 0; i < kRegisters; ++i) {
        r[i] = _mm256_xor_si256(r[i], _mm256_xor_si256(RoundFunction(t, l[i]), first));
      }
      const __m256i second = RoundKey<kEncrypt>(t, round + 1);
      for (int i = 0; i < kRegisters; ++i) {
        l[i] = _mm256_xor_si256(l[i], _mm256_xor_si256(RoundFunction(t, r[i]), second));
      }
    }
    const __m256i last = RoundKey<kEncrypt>(t, kBlowfishPWords - 1);
    for (int i = 0; i < kRegisters; ++i) {
      // The halves leave swapped, as in the one-block path.
      StoreHalves(_mm256_xor_si256(r[i], last), l[i], out + kRegisterBytes * i);
    }
  }
}

}  // namespace

bool GatherCipherSupported() {
  // The compilers' check includes the operating system's saving of the
  // 256-bit registers, not only the processor's feature bit.
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

void GatherEncryptGroups(const GatherCipherTables& tables, const unsigned char* src,
                         unsigned char* dst, long groups) {
  TransformGroups<true>(tables, src, dst, groups);
}

void GatherDecryptGroups(const GatherCipherTables& tables, const unsigned char* src,
                         unsigned char* dst, long groups) {
  TransformGroups<false>(tables, src, dst, groups);
}

#endif
