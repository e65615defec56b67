// The gather path of the Blowfish buffer transforms: 32 blocks a step in
// AVX2 registers, eight blocks a register, each lookup of a round an
// eight-lane gather (S0 + S1 from the table of pair sums, S2, S3). Whether
// it beats the portable lanes depends on the processor's gathers, so the
// cipher measures before it takes it. Every group gives exactly the bytes
// of the one-block path.
#pragma once

#include <cstdint>

inline constexpr long kGatherGroupBlocks = 32;

// The key-dependent tables the gathers read: the 65536 sums S0[a] + S1[b]
// indexed by a * 256 + b, S-boxes 2 and 3, and the P-array.
struct GatherCipherTables {
  const std::uint32_t* pairSums;
  const std::uint32_t* box2;
  const std::uint32_t* box3;
  const std::uint32_t* p;
};

// True when this build has the gather path and the processor and operating
// system run AVX2.
bool GatherCipherSupported();

// groups * 32 blocks from src to dst (the same buffer or not overlapping).
// Call only when GatherCipherSupported().
void GatherEncryptGroups(const GatherCipherTables& tables, const unsigned char* src,
                         unsigned char* dst, long groups);
void GatherDecryptGroups(const GatherCipherTables& tables, const unsigned char* src,
                         unsigned char* dst, long groups);
