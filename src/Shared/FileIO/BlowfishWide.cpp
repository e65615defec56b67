// The 64-block Blowfish transform on AVX-512 byte permutes.
//
// A group of 64 blocks is held as eight byte planes: plane q has byte q of
// every block, one block per byte lane. F then works on whole planes: an
// S-box lookup of 64 indices is two two-register byte permutes per output
// byte plane (each covers 128 table entries) and a blend on the index's top
// bit, and the 32-bit additions carry from one byte plane into the next.
// Only the functions in this file that carry WIDE_TARGET use AVX-512, and
// they run only after WideCipherSupported() said yes.
#include "Shared/FileIO/BlowfishWide.h"

#include "common/VectorBuild.h"

#ifdef WAVORA_VECTOR_PATHS
#include <immintrin.h>
#endif

void BuildWideCipherTables(const std::uint32_t p[kBlowfishPWords],
                           const std::uint32_t s[4][kBlowfishSBoxWords], WideCipherTables* tables) {
  for (int box = 0; box < 4; ++box) {
    for (int plane = 0; plane < 4; ++plane) {
      for (int x = 0; x < kBlowfishSBoxWords; ++x) {
        tables->planes[box][plane][x] = static_cast<std::uint8_t>(s[box][x] >> (8 * plane));
      }
    }
  }
  for (int plane = 0; plane < 4; ++plane) {
    for (int x = 0; x < kBlowfishSBoxWords / 2; ++x) {
      tables->box2Upper[plane][x] =
          tables->planes[2][plane][x] ^ tables->planes[2][plane][x + kBlowfishSBoxWords / 2];
    }
  }
  for (int i = 0; i < kBlowfishPWords; ++i) {
    for (int plane = 0; plane < 4; ++plane) {
      tables->keyBytes[i][plane] = ((p[i] >> (8 * plane)) & 0xFFu) * 0x01010101u;
    }
  }
}

#ifndef WAVORA_VECTOR_PATHS

bool WideCipherSupported() { return false; }
void WideEncryptGroups(const WideCipherTables&, const unsigned char*, unsigned char*, long) {}
void WideDecryptGroups(const WideCipherTables&, const unsigned char*, unsigned char*, long) {}

#else

namespace {

#define WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define WIDE_INLINE WIDE_TARGET inline __attribute__((always_inline))

constexpr int kBlockBytes = 8;
constexpr int kGroupBytes = kWideGroupBlocks * kBlockBytes;

// Byte 8q + j of the result is byte 8j + q of the source: within 64 bytes
// (eight blocks), byte q of every block comes together in the q-th 8 bytes.
// The permutation is its own inverse.
struct ByteTranspose {
  alignas(64) std::uint8_t index[64];
  constexpr ByteTranspose() : index() {
    for (int q = 0; q < 8; ++q) {
      for (int j = 0; j < 8; ++j) index[8 * q + j] = static_cast<std::uint8_t>(8 * j + q);
    }
  }
};
constexpr ByteTranspose kByteTranspose;

// The three steps of an 8 x 8 transpose of 64-bit words across eight
// registers: step d swaps the off-diagonal d x d blocks of every 2d x 2d
// block. lo[k] and hi[k] select from (a, b) as 0..7 (a) and 8..15 (b).
struct QwordSteps {
  alignas(64) std::int64_t lo[3][8];
  alignas(64) std::int64_t hi[3][8];
  constexpr QwordSteps() : lo(), hi() {
    for (int step = 0; step < 3; ++step) {
      const int d = 1 << step;
      for (int k = 0; k < 8; ++k) {
        lo[step][k] = (k & d) == 0 ? k : 8 + k - d;
        hi[step][k] = (k & d) == 0 ? k + d : 8 + k;
      }
    }
  }
};
constexpr QwordSteps kQwordSteps;

WIDE_INLINE void TransposeQwords(__m512i v[8]) {
  for (int step = 0; step < 3; ++step) {
    const int d = 1 << step;
    const __m512i lo = _mm512_load_si512(kQwordSteps.lo[step]);
    const __m512i hi = _mm512_load_si512(kQwordSteps.hi[step]);
    for (int i = 0; i < 8; ++i) {
      if ((i & d) != 0) continue;
      const __m512i a = v[i];
      const __m512i b = v[i + d];
      v[i] = _mm512_permutex2var_epi64(a, lo, b);
      v[i + d] = _mm512_permutex2var_epi64(a, hi, b);
    }
  }
}

// v permuted by an index below 64 (the zero-masking form with every lane
// kept: the plain intrinsic of some compilers warns of an undefined operand).
WIDE_INLINE __m512i PermuteBytes(__m512i v, __m512i index) {
  return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, v);
}

// 512 bytes (64 blocks) into eight byte planes: plane q, lane 8i + j holds
// byte q of block 8i + j. Applied to planes, the same steps give the bytes
// back in block order.
WIDE_INLINE void ToPlanes(__m512i v[8]) {
  const __m512i bytes = _mm512_load_si512(kByteTranspose.index);
  for (int i = 0; i < 8; ++i) v[i] = PermuteBytes(v[i], bytes);
  TransposeQwords(v);
}

WIDE_INLINE void FromPlanes(__m512i v[8]) {
  TransposeQwords(v);
  const __m512i bytes = _mm512_load_si512(kByteTranspose.index);
  for (int i = 0; i < 8; ++i) v[i] = PermuteBytes(v[i], bytes);
}

// The four byte planes of box[x] for the 64 indices x: entries 0..127 and
// 128..255 each come from one two-register permute (it uses the low seven
// bits of x); the top bit of x chooses between them.
WIDE_INLINE void Lookup(const std::uint8_t (*box)[256], __m512i x, __m512i out[4]) {
  const __mmask64 upper = _mm512_movepi8_mask(x);
  for (int plane = 0; plane < 4; ++plane) {
    const std::uint8_t* t = box[plane];
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_load_si512(t), x, _mm512_load_si512(t + 64));
    const __m512i high =
        _mm512_permutex2var_epi8(_mm512_load_si512(t + 128), x, _mm512_load_si512(t + 192));
    out[plane] = _mm512_mask_blend_epi8(upper, low, high);
  }
}

// mixed ^= S2[x], plane by plane: the entries below 128, and for an index
// with the top bit set the XOR of its entry with the one 128 below (zero for
// the others), so three values meet in one three-input XOR.
WIDE_INLINE void XorLookup2(const WideCipherTables& t, __m512i x, __m512i mixed[4]) {
  const __mmask64 upper = _mm512_movepi8_mask(x);
  for (int plane = 0; plane < 4; ++plane) {
    const std::uint8_t* low = t.planes[2][plane];
    const std::uint8_t* toUpper = t.box2Upper[plane];
    const __m512i lower =
        _mm512_permutex2var_epi8(_mm512_load_si512(low), x, _mm512_load_si512(low + 64));
    const __m512i change = _mm512_maskz_permutex2var_epi8(upper, _mm512_load_si512(toUpper), x,
                                                          _mm512_load_si512(toUpper + 64));
    mixed[plane] = _mm512_ternarylogic_epi32(mixed[plane], lower, change, 0x96);
  }
}

// The carry out of the top bit of a + b + c_in, from a, b and the sum s:
// (a AND b) OR ((a OR b) AND NOT s), as a three-input logic table.
constexpr int kCarryOut = 0xD4;
// a XOR b XOR c.
constexpr int kXor3 = 0x96;

// sum = a + b modulo 2^32 on byte planes (plane 0 the low byte); sum must
// not be a or b.
WIDE_INLINE void Add(const __m512i a[4], const __m512i b[4], __m512i sum[4]) {
  const __m512i minusOne = _mm512_set1_epi8(-1);
  sum[0] = _mm512_add_epi8(a[0], b[0]);
  for (int plane = 1; plane < 4; ++plane) {
    const __mmask64 carry = _mm512_movepi8_mask(
        _mm512_ternarylogic_epi32(a[plane - 1], b[plane - 1], sum[plane - 1], kCarryOut));
    const __m512i plain = _mm512_add_epi8(a[plane], b[plane]);
    sum[plane] = _mm512_mask_sub_epi8(plain, carry, plain, minusOne);
  }
}

// target ^= F(source) ^ key, F(x) = ((S0[a] + S1[b]) ^ S2[c]) + S3[d] with
// a the top byte of x.
WIDE_INLINE void Step(const WideCipherTables& t, __m512i target[4], const __m512i source[4],
                      const std::uint32_t key[4]) {
  __m512i s0[4];
  __m512i s1[4];
  __m512i s3[4];
  Lookup(t.planes[0], source[3], s0);
  Lookup(t.planes[1], source[2], s1);
  Lookup(t.planes[3], source[0], s3);
  __m512i mixed[4];
  Add(s0, s1, mixed);
  XorLookup2(t, source[1], mixed);
  __m512i f[4];
  Add(mixed, s3, f);
  for (int plane = 0; plane < 4; ++plane) {
    target[plane] = _mm512_ternarylogic_epi32(
        target[plane], f[plane], _mm512_set1_epi32(static_cast<int>(key[plane])), kXor3);
  }
}

WIDE_INLINE void XorKey(__m512i half[4], const std::uint32_t key[4]) {
  for (int plane = 0; plane < 4; ++plane) {
    half[plane] = _mm512_xor_si512(half[plane], _mm512_set1_epi32(static_cast<int>(key[plane])));
  }
}

template <bool kEncrypt>
WIDE_INLINE const std::uint32_t* RoundKey(const WideCipherTables& t, int round) {
  return t.keyBytes[kEncrypt ? round : kBlowfishPWords - 1 - round];
}

// kGroups groups side by side: the rounds of one group wait on each other
// (each F needs the half the one before changed), those of different
// groups do not, so the processor overlaps them.
template <bool kEncrypt, int kGroups>
WIDE_INLINE void TransformStep(const WideCipherTables& t, const unsigned char* src,
                               unsigned char* dst) {
  __m512i l[kGroups][4];
  __m512i r[kGroups][4];
  for (int g = 0; g < kGroups; ++g) {
    __m512i v[8];
    for (int i = 0; i < 8; ++i) v[i] = _mm512_loadu_si512(src + kGroupBytes * g + 64 * i);
    ToPlanes(v);
    // The halves are big-endian: byte 0 of a block is the top byte of L.
    for (int plane = 0; plane < 4; ++plane) {
      l[g][plane] = v[3 - plane];
      r[g][plane] = v[7 - plane];
    }
    XorKey(l[g], RoundKey<kEncrypt>(t, 0));
  }
  for (int round = 1; round < kBlowfishPWords - 1; round += 2) {
    for (int g = 0; g < kGroups; ++g) Step(t, r[g], l[g], RoundKey<kEncrypt>(t, round));
    for (int g = 0; g < kGroups; ++g) Step(t, l[g], r[g], RoundKey<kEncrypt>(t, round + 1));
  }
  for (int g = 0; g < kGroups; ++g) {
    XorKey(r[g], RoundKey<kEncrypt>(t, kBlowfishPWords - 1));
    // The halves leave swapped, as in the one-block path.
    __m512i v[8];
    for (int plane = 0; plane < 4; ++plane) {
      v[3 - plane] = r[g][plane];
      v[7 - plane] = l[g][plane];
    }
    FromPlanes(v);
    for (int i = 0; i < 8; ++i) _mm512_storeu_si512(dst + kGroupBytes * g + 64 * i, v[i]);
  }
}

constexpr int kGroupsPerStep = 2;

template <bool kEncrypt>
WIDE_TARGET void TransformGroups(const WideCipherTables& t, const unsigned char* src,
                                 unsigned char* dst, long groups) {
  long g = 0;
  for (; g + kGroupsPerStep <= groups; g += kGroupsPerStep) {
    TransformStep<kEncrypt, kGroupsPerStep>(t, src + g * kGroupBytes, dst + g * kGroupBytes);
  }
  for (; g < groups; ++g) {
    TransformStep<kEncrypt, 1>(t, src + g * kGroupBytes, dst + g * kGroupBytes);
  }
}

}  // namespace

bool WideCipherSupported() {
  // The compilers' checks include the operating system's saving of the
  // 512-bit registers, not only the processor's feature bits.
  static const bool supported = __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vbmi");
  return supported;
}

void WideEncryptGroups(const WideCipherTables& tables, const unsigned char* src, unsigned char* dst,
                       long groups) {
  TransformGroups<true>(tables, src, dst, groups);
}

void WideDecryptGroups(const WideCipherTables& tables, const unsigned char* src, unsigned char* dst,
                       long groups) {
  TransformGroups<false>(tables, src, dst, groups);
}

#endif
