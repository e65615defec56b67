// The wide path of the Blowfish buffer transforms: 64 blocks at a time with
// the AVX-512 byte permutes (VBMI), on processors that have them. The S-box
// lookups are register permutes over byte planes instead of loads, which
// leaves far fewer instructions per block and round than the scalar lanes.
// Every group of 64 blocks gives exactly the bytes of the one-block path.
#pragma once

#include <cstdint>

#include "Shared/FileIO/BlowfishTables.h"

inline constexpr long kWideGroupBlocks = 64;

// The key-dependent tables of the wide path: byte plane p of every S-box
// word (plane 0 the low byte), and byte p of every P-array word repeated in
// all four bytes of a word, so a round key applies to a whole plane.
struct WideCipherTables {
  alignas(64) std::uint8_t planes[4][4][kBlowfishSBoxWords];
  std::uint32_t keyBytes[kBlowfishPWords][4];
  // S-box 2 entry x + 128 XOR entry x, per plane (x < 128): its lookup goes
  // straight into an XOR, which then takes the upper half without a blend.
  alignas(64) std::uint8_t box2Upper[4][kBlowfishSBoxWords / 2];
};

// True when this build has the wide path and the processor and operating
// system run it (AVX-512 F, BW and VBMI with the register state enabled).
bool WideCipherSupported();

void BuildWideCipherTables(const std::uint32_t p[kBlowfishPWords],
                           const std::uint32_t s[4][kBlowfishSBoxWords], WideCipherTables* tables);

// groups * 64 blocks from src to dst (the same buffer or not overlapping).
// Call only when WideCipherSupported().
void WideEncryptGroups(const WideCipherTables& tables, const unsigned char* src, unsigned char* dst,
                       long groups);
void WideDecryptGroups(const WideCipherTables& tables, const unsigned char* src, unsigned char* dst,
                       long groups);
