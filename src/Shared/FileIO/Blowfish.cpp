// The Blowfish block cipher on the one process-wide state, the ECB buffer
// transforms the stream slots call on their 16 MiB chunks, and the
// known-answer self-test of the start-up.
#include "Shared/FileIO/Blowfish.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "Shared/FileIO/BlowfishTables.h"
#include "Shared/FileIO/StreamInit.h"

namespace {

constexpr int kBlockBytes = 8;
// The bytes of a buffer's short tail (length % 8) are XORed with this value.
constexpr unsigned char kTailMask = 0x55;

// Every key schedule overwrites this single state; the last key scheduled is
// the key of all encryption in the process.
struct CipherState {
  std::uint32_t p[kBlowfishPWords];
  std::uint32_t s[4][kBlowfishSBoxWords];
};
static_assert(sizeof(CipherState) == kBlowfishStateWords * sizeof(std::uint32_t));

CipherState g_state;

// The per-block path must be inlined into the buffer loops even where the
// compiler's own heuristics would not, or the halves go through memory.
#if defined(__GNUC__) || defined(__clang__)
#define BLOWFISH_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define BLOWFISH_INLINE __forceinline
#else
#define BLOWFISH_INLINE inline
#endif

// F(x) = ((S0[a] + S1[b]) ^ S2[c]) + S3[d], additions modulo 2^32.
BLOWFISH_INLINE std::uint32_t RoundFunction(const CipherState& st, std::uint32_t x) {
  return ((st.s[0][x >> 24] + st.s[1][(x >> 16) & 0xFF]) ^ st.s[2][(x >> 8) & 0xFF]) +
         st.s[3][x & 0xFF];
}

// The 16 rounds, fully unrolled; the halves stay in registers throughout.
BLOWFISH_INLINE void EncryptHalves(const CipherState& st, std::uint32_t& left,
                                   std::uint32_t& right) {
  std::uint32_t l = left;
  std::uint32_t r = right;
  l ^= st.p[0];
  r ^= RoundFunction(st, l) ^ st.p[1];
  l ^= RoundFunction(st, r) ^ st.p[2];
  r ^= RoundFunction(st, l) ^ st.p[3];
  l ^= RoundFunction(st, r) ^ st.p[4];
  r ^= RoundFunction(st, l) ^ st.p[5];
  l ^= RoundFunction(st, r) ^ st.p[6];
  r ^= RoundFunction(st, l) ^ st.p[7];
  l ^= RoundFunction(st, r) ^ st.p[8];
  r ^= RoundFunction(st, l) ^ st.p[9];
  l ^= RoundFunction(st, r) ^ st.p[10];
  r ^= RoundFunction(st, l) ^ st.p[11];
  l ^= RoundFunction(st, r) ^ st.p[12];
  r ^= RoundFunction(st, l) ^ st.p[13];
  l ^= RoundFunction(st, r) ^ st.p[14];
  r ^= RoundFunction(st, l) ^ st.p[15];
  l ^= RoundFunction(st, r) ^ st.p[16];
  r ^= st.p[17];
  // The final swap of the halves is folded into the assignment.
  left = r;
  right = l;
}

BLOWFISH_INLINE void DecryptHalves(const CipherState& st, std::uint32_t& left,
                                   std::uint32_t& right) {
  std::uint32_t l = left;
  std::uint32_t r = right;
  l ^= st.p[17];
  r ^= RoundFunction(st, l) ^ st.p[16];
  l ^= RoundFunction(st, r) ^ st.p[15];
  r ^= RoundFunction(st, l) ^ st.p[14];
  l ^= RoundFunction(st, r) ^ st.p[13];
  r ^= RoundFunction(st, l) ^ st.p[12];
  l ^= RoundFunction(st, r) ^ st.p[11];
  r ^= RoundFunction(st, l) ^ st.p[10];
  l ^= RoundFunction(st, r) ^ st.p[9];
  r ^= RoundFunction(st, l) ^ st.p[8];
  l ^= RoundFunction(st, r) ^ st.p[7];
  r ^= RoundFunction(st, l) ^ st.p[6];
  l ^= RoundFunction(st, r) ^ st.p[5];
  r ^= RoundFunction(st, l) ^ st.p[4];
  l ^= RoundFunction(st, r) ^ st.p[3];
  r ^= RoundFunction(st, l) ^ st.p[2];
  l ^= RoundFunction(st, r) ^ st.p[1];
  r ^= st.p[0];
  left = r;
  right = l;
}

// Blocks hold their halves big-endian: b0 is the top byte of the left half.
BLOWFISH_INLINE std::uint32_t LoadBigEndian(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

BLOWFISH_INLINE void StoreBigEndian(std::uint32_t word, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(word >> 24);
  bytes[1] = static_cast<unsigned char>(word >> 16);
  bytes[2] = static_cast<unsigned char>(word >> 8);
  bytes[3] = static_cast<unsigned char>(word);
}

// Converts 8 bytes to halves, applies the block operation and writes them
// back; source and destination may be the same.
template <bool kEncrypt>
BLOWFISH_INLINE void TransformBlock(const CipherState& st, const unsigned char* src,
                                    unsigned char* dst) {
  std::uint32_t left = LoadBigEndian(src);
  std::uint32_t right = LoadBigEndian(src + 4);
  if constexpr (kEncrypt) {
    EncryptHalves(st, left, right);
  } else {
    DecryptHalves(st, left, right);
  }
  StoreBigEndian(left, dst);
  StoreBigEndian(right, dst + 4);
}

template <bool kEncrypt>
void TransformBuffer(unsigned char* buffer, long length) {
  if (buffer == nullptr || length <= 0) return;
  const CipherState& st = g_state;
  const long blocks = length / kBlockBytes;
  unsigned char* cursor = buffer;
  for (long i = 0; i < blocks; ++i, cursor += kBlockBytes) {
    TransformBlock<kEncrypt>(st, cursor, cursor);
  }
  // The short tail cannot form a block; a fixed XOR keeps both directions
  // inverse to each other for any length.
  const long tail = length % kBlockBytes;
  for (long i = 0; i < tail; ++i) cursor[i] ^= kTailMask;
}

// Fixed self-test: this key and the block "BLOWFISH" must give kSelfTestExpected.
constexpr unsigned char kSelfTestKey[] = "abcdefghijklmnopqrstuvwxyz";
constexpr int kSelfTestKeyLength = 26;
constexpr unsigned char kSelfTestPlain[kBlockBytes] = {'B', 'L', 'O', 'W', 'F', 'I', 'S', 'H'};
constexpr unsigned char kSelfTestExpected[kBlockBytes] = {0x32, 0x4E, 0xD0, 0xFE,
                                                          0xF4, 0x13, 0xA2, 0x03};
// 30 blocks and a 3-byte tail, so the round trip covers the tail XOR as well.
constexpr int kSelfTestRoundTripBytes = 243;
constexpr int kRandomMax = 32767;

}  // namespace

void BlowfishKey(int length, const unsigned char* key) {
  std::memcpy(&g_state, kBlowfishInitialState, sizeof(g_state));
  const int used = std::clamp(length, 0, kBlowfishMaxKeyBytes);
  if (used > 0 && key != nullptr) {
    int k = 0;
    for (int i = 0; i < kBlowfishPWords; ++i) {
      std::uint32_t word = 0;
      for (int b = 0; b < 4; ++b) {
        word = (word << 8) | key[k];
        k = (k + 1) % used;
      }
      g_state.p[i] ^= word;
    }
  }
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  for (int i = 0; i < kBlowfishPWords; i += 2) {
    EncryptHalves(g_state, left, right);
    g_state.p[i] = left;
    g_state.p[i + 1] = right;
  }
  for (auto& box : g_state.s) {
    for (int i = 0; i < kBlowfishSBoxWords; i += 2) {
      EncryptHalves(g_state, left, right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
}

int BlowfishEncryptBuffer(unsigned char* buffer, long length) {
  TransformBuffer<true>(buffer, length);
  return 0;
}

int BlowfishDecryptBuffer(unsigned char* buffer, long length) {
  TransformBuffer<false>(buffer, length);
  return 0;
}

void BlowfishEncryptBlock(std::uint32_t* left, std::uint32_t* right) {
  EncryptHalves(g_state, *left, *right);
}

void BlowfishDecryptBlock(std::uint32_t* left, std::uint32_t* right) {
  DecryptHalves(g_state, *left, *right);
}

int BlowfishSelfTest() {
  BlowfishKey(kSelfTestKeyLength, kSelfTestKey);

  unsigned char block[kBlockBytes];
  std::memcpy(block, kSelfTestPlain, sizeof(block));
  BlowfishEncryptBuffer(block, kBlockBytes);
  if (std::memcmp(block, kSelfTestExpected, sizeof(block)) != 0) return 0;

  std::vector<unsigned char> data(kSelfTestRoundTripBytes);
  for (auto& byte : data) {
    byte = static_cast<unsigned char>(static_cast<int>(255.0 * NextRandom() / kRandomMax));
  }
  const std::vector<unsigned char> copy = data;
  BlowfishEncryptBuffer(data.data(), kSelfTestRoundTripBytes);
  BlowfishDecryptBuffer(data.data(), kSelfTestRoundTripBytes);
  return data == copy ? 1 : 0;
}
