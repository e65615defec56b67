// The Blowfish block cipher on the one process-wide state, the ECB buffer
// transforms the stream slots call on their 16 MiB chunks, and the
// known-answer self-test of the start-up.
#include "Shared/FileIO/Blowfish.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Shared/FileIO/BlowfishGather.h"
#include "Shared/FileIO/BlowfishTables.h"
#include "Shared/FileIO/BlowfishWide.h"
#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/WorkerPool.h"

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

// S0[a] + S1[b] of the state's S-boxes for every 16-bit value (a, b): the
// buffer loops take the first half of F with one lookup instead of two,
// which leaves fewer instructions per round. Rebuilt with every key.
constexpr std::size_t kPairSumWords = std::size_t{1} << 16;
std::uint32_t g_pairSums[kPairSumWords];

void BuildPairSums(const CipherState& st) {
  for (std::size_t x = 0; x < kPairSumWords; ++x)
    g_pairSums[x] = st.s[0][x >> 8] + st.s[1][x & 0xFF];
}

// The state's tables in the form of the 64-block path, rebuilt with every key.
WideCipherTables g_wideTables;

// The path of the buffer loops: a CipherPath, or -1 before the first
// transform chose one.
constexpr int kPathNotChosen = -1;
std::atomic<int> g_path{kPathNotChosen};
std::once_flag g_pathChoice;

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

// F with the pair-sum table: the same value as RoundFunction.
BLOWFISH_INLINE std::uint32_t RoundFunctionByPairs(const CipherState& st, std::uint32_t x) {
  return (g_pairSums[x >> 16] ^ st.s[2][(x >> 8) & 0xFF]) + st.s[3][x & 0xFF];
}

// One Feistel step on every lane: target ^= F(source) ^ p. The lanes are
// independent, so their S-box lookups overlap instead of waiting on each
// other as the rounds of one block must. The fold expression expands to
// straight-line code, which keeps the lanes in registers.
template <std::size_t... kLane>
BLOWFISH_INLINE void LaneStep(const CipherState& st, std::uint32_t* target,
                              const std::uint32_t* source, std::uint32_t p,
                              std::index_sequence<kLane...>) {
  ((target[kLane] ^= RoundFunctionByPairs(st, source[kLane]) ^ p), ...);
}

// The P-array word of a round, in the order the direction uses them.
template <bool kEncrypt>
BLOWFISH_INLINE std::uint32_t RoundKey(const CipherState& st, int round) {
  return kEncrypt ? st.p[round] : st.p[kBlowfishPWords - 1 - round];
}

// The 16 rounds as 8 pairs, expanded into straight-line code like the
// one-block path, so each P word is a fixed operand.
constexpr std::size_t kRoundPairs = (kBlowfishPWords - 2) / 2;

template <bool kEncrypt, std::size_t... kLane, std::size_t... kPair>
BLOWFISH_INLINE void LaneRounds(const CipherState& st, std::uint32_t* l, std::uint32_t* r,
                                std::index_sequence<kLane...> lanes,
                                std::index_sequence<kPair...>) {
  ((LaneStep(st, r, l, RoundKey<kEncrypt>(st, 2 * kPair + 1), lanes),
    LaneStep(st, l, r, RoundKey<kEncrypt>(st, 2 * kPair + 2), lanes)),
   ...);
}

// Transforms kLanes consecutive blocks from src to dst (which may be the
// same); every lane gives exactly the bytes of EncryptHalves/DecryptHalves on
// its block alone.
template <bool kEncrypt, std::size_t kLanes>
BLOWFISH_INLINE void TransformLanes(const CipherState& st, const unsigned char* src,
                                    unsigned char* dst) {
  using Lanes = std::make_index_sequence<kLanes>;
  std::uint32_t l[kLanes];
  std::uint32_t r[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) {
    l[i] = LoadBigEndian(src + kBlockBytes * i);
    r[i] = LoadBigEndian(src + kBlockBytes * i + 4);
  }
  for (std::size_t i = 0; i < kLanes; ++i) l[i] ^= RoundKey<kEncrypt>(st, 0);
  LaneRounds<kEncrypt>(st, l, r, Lanes{}, std::make_index_sequence<kRoundPairs>{});
  // The halves leave swapped, as in the one-block path.
  for (std::size_t i = 0; i < kLanes; ++i) {
    r[i] ^= RoundKey<kEncrypt>(st, kBlowfishPWords - 1);
    StoreBigEndian(r[i], dst + kBlockBytes * i);
    StoreBigEndian(l[i], dst + kBlockBytes * i + 4);
  }
}

// Blocks of one step of the main loop. Eight independent blocks keep the
// processor's load units busy; more would not fit the registers.
constexpr long kPortableLanes = 8;
constexpr long kHalfLanes = 4;

// The whole groups of one vector path; returns the blocks they hold.
template <bool kEncrypt, typename Tables>
long VectorGroups(long groupBlocks,
                  void (*encrypt)(const Tables&, const unsigned char*, unsigned char*, long),
                  void (*decrypt)(const Tables&, const unsigned char*, unsigned char*, long),
                  const Tables& tables, const unsigned char* src, unsigned char* dst, long blocks) {
  const long groups = blocks / groupBlocks;
  (kEncrypt ? encrypt : decrypt)(tables, src, dst, groups);
  return groups * groupBlocks;
}

// The ECB transform of whole blocks on one thread: whole groups on the
// vector path, the rest (and everything on the portable path) eight blocks
// a step, then four, then one at a time.
template <bool kEncrypt>
void TransformBlocks(CipherPath path, const CipherState& st, const unsigned char* src,
                     unsigned char* dst, long blocks) {
  long i = 0;
  if (path == CipherPath::kWide) {
    i = VectorGroups<kEncrypt>(kWideGroupBlocks, &WideEncryptGroups, &WideDecryptGroups,
                               g_wideTables, src, dst, blocks);
  } else if (path == CipherPath::kGather) {
    const GatherCipherTables tables{g_pairSums, st.s[2], st.s[3], st.p};
    i = VectorGroups<kEncrypt>(kGatherGroupBlocks, &GatherEncryptGroups, &GatherDecryptGroups,
                               tables, src, dst, blocks);
  }
  for (; i + kPortableLanes <= blocks; i += kPortableLanes) {
    TransformLanes<kEncrypt, kPortableLanes>(st, src + i * kBlockBytes, dst + i * kBlockBytes);
  }
  for (; i + kHalfLanes <= blocks; i += kHalfLanes) {
    TransformLanes<kEncrypt, kHalfLanes>(st, src + i * kBlockBytes, dst + i * kBlockBytes);
  }
  for (; i < blocks; ++i) {
    TransformLanes<kEncrypt, 1>(st, src + i * kBlockBytes, dst + i * kBlockBytes);
  }
}

// Times every available path on a 64 KiB buffer under the present tables
// (a warm-up, then the best of three) and keeps the fastest. The bytes do
// not depend on the choice, only the time does.
void ChooseFastestPath() {
  constexpr long kTrialBlocks = 8192;
  constexpr int kTrials = 3;
  std::vector<unsigned char> trial(kTrialBlocks * kBlockBytes, 0x5A);
  CipherPath best = CipherPath::kLanes;
  auto bestTime = std::chrono::steady_clock::duration::max();
  for (int p = 0; p < kCipherPaths; ++p) {
    const auto path = static_cast<CipherPath>(p);
    if (!CipherPathAvailable(path)) continue;
    TransformBlocks<true>(path, g_state, trial.data(), trial.data(), kTrialBlocks);
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int k = 0; k < kTrials; ++k) {
      const auto start = std::chrono::steady_clock::now();
      TransformBlocks<true>(path, g_state, trial.data(), trial.data(), kTrialBlocks);
      fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
    }
    if (fastest < bestTime) {
      bestTime = fastest;
      best = path;
    }
  }
  int notChosen = kPathNotChosen;
  g_path.compare_exchange_strong(notChosen, static_cast<int>(best));
}

CipherPath PathInUse() {
  if (g_path.load(std::memory_order_acquire) == kPathNotChosen) {
    std::call_once(g_pathChoice, ChooseFastestPath);
  }
  return static_cast<CipherPath>(g_path.load(std::memory_order_acquire));
}

// Below this many bytes a buffer is transformed by the calling thread alone;
// above it, in parts of kThreadPartBytes spread over the pool. Parts are far
// larger than the cost of handing them out, and small enough that a core
// slowed by other work does not hold up the rest for long.
constexpr long kThreadMinBytes = 128 * 1024;
constexpr long kThreadPartBytes = 256 * 1024;
static_assert(kThreadPartBytes % kBlockBytes == 0);

// 0: one per processor core, decided at first use.
std::atomic<int> g_cipherThreads{0};
// The threads of the pool once it has started (fewer than asked when the
// system had no more to give); 0 before.
std::atomic<int> g_poolThreads{0};
// The stream slots transform chunks on their reading and writing threads as
// well as on the main thread: one transform at a time has the pool, the others
// run on their own thread, with the same bytes.
std::mutex g_poolMutex;
std::unique_ptr<WorkerPool> g_pool;

int WantedThreads() {
  int threads = g_cipherThreads.load();
  if (threads == 0) {
    threads = DefaultWorkerThreads();
    g_cipherThreads.store(threads);
  }
  return threads;
}

// Call with g_poolMutex held.
WorkerPool* CipherPool() {
  const int threads = WantedThreads();
  if (threads <= 1) return nullptr;
  if (!g_pool) {
    g_pool = std::make_unique<WorkerPool>(threads);
    g_poolThreads.store(g_pool->Threads());
  }
  return g_pool.get();
}

struct ParallelJob {
  CipherPath path;
  const CipherState* st;
  const unsigned char* src;
  unsigned char* dst;
  long blocks;
};

template <bool kEncrypt>
void TransformPart(void* context, int part) {
  const auto& job = *static_cast<const ParallelJob*>(context);
  constexpr long kPartBlocks = kThreadPartBytes / kBlockBytes;
  const long first = part * kPartBlocks;
  const long count = std::min(kPartBlocks, job.blocks - first);
  TransformBlocks<kEncrypt>(job.path, *job.st, job.src + first * kBlockBytes,
                            job.dst + first * kBlockBytes, count);
}

template <bool kEncrypt>
void TransformBuffer(const unsigned char* src, unsigned char* dst, long length) {
  if (src == nullptr || dst == nullptr || length <= 0) return;
  const CipherState& st = g_state;
  const long blocks = length / kBlockBytes;
  // Below one gather group every path takes the portable lanes; such
  // buffers (the start-up's self-test) do not wait for the choice.
  const CipherPath path = blocks >= kGatherGroupBlocks ? PathInUse() : CipherPath::kLanes;
  std::unique_lock<std::mutex> poolLock(g_poolMutex, std::defer_lock);
  WorkerPool* pool = length >= kThreadMinBytes && poolLock.try_lock() ? CipherPool() : nullptr;
  if (pool != nullptr) {
    ParallelJob job{path, &st, src, dst, blocks};
    const long partBlocks = kThreadPartBytes / kBlockBytes;
    pool->RunParts(static_cast<int>((blocks + partBlocks - 1) / partBlocks),
                   &TransformPart<kEncrypt>, &job);
  } else {
    TransformBlocks<kEncrypt>(path, st, src, dst, blocks);
  }
  // The short tail cannot form a block; a fixed XOR keeps both directions
  // inverse to each other for any length.
  const long whole = blocks * kBlockBytes;
  for (long i = whole; i < length; ++i) dst[i] = src[i] ^ kTailMask;
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
  BuildPairSums(g_state);
  BuildWideCipherTables(g_state.p, g_state.s, &g_wideTables);
}

int BlowfishEncryptBuffer(unsigned char* buffer, long length) {
  TransformBuffer<true>(buffer, buffer, length);
  return 0;
}

int BlowfishDecryptBuffer(unsigned char* buffer, long length) {
  TransformBuffer<false>(buffer, buffer, length);
  return 0;
}

int BlowfishEncryptCopy(const unsigned char* source, unsigned char* target, long length) {
  TransformBuffer<true>(source, target, length);
  return 0;
}

int BlowfishDecryptCopy(const unsigned char* source, unsigned char* target, long length) {
  TransformBuffer<false>(source, target, length);
  return 0;
}

void SetCipherThreads(int threads) {
  const int wanted = std::clamp(threads, 1, kMaxWorkerThreads);
  if (wanted == g_cipherThreads.load()) return;
  std::lock_guard<std::mutex> lock(g_poolMutex);
  g_pool.reset();  // joins the workers of the old count
  g_poolThreads.store(0);
  g_cipherThreads.store(wanted);
}

bool CipherPathAvailable(CipherPath path) {
  switch (path) {
    case CipherPath::kLanes:
      return true;
    case CipherPath::kGather:
      return GatherCipherSupported();
    case CipherPath::kWide:
      return WideCipherSupported();
  }
  return false;
}

bool SetCipherPath(CipherPath path) {
  if (!CipherPathAvailable(path)) return false;
  std::call_once(g_pathChoice, [] {});  // a path given beforehand is not measured against
  g_path.store(static_cast<int>(path), std::memory_order_release);
  return true;
}

CipherPath CipherPathInUse() { return PathInUse(); }

const char* CipherPathName(CipherPath path) {
  switch (path) {
    case CipherPath::kLanes:
      return "portable lanes";
    case CipherPath::kGather:
      return "AVX2 gathers";
    case CipherPath::kWide:
      return "AVX-512 byte permutes";
  }
  return "";
}

int GetCipherThreads() {
  const int started = g_poolThreads.load();
  return started != 0 ? started : WantedThreads();
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
