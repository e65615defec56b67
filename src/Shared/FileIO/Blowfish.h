// The Blowfish block cipher (16 rounds, 64-bit blocks) on one process-wide
// state, with electronic-code-book buffer encryption and a known-answer
// self-test.
#pragma once

#include <cstdint>

inline constexpr int kBlowfishMaxKeyBytes = 72;

// Schedules the process-wide state with the key (at most 72 bytes are used).
void BlowfishKey(int length, const unsigned char* key);

// Encrypt or decrypt in place: floor(length / 8) blocks in ECB order; each of
// the remaining length % 8 bytes is XORed with 0x55 (in both directions).
// Always 0. A length of 0 or below changes nothing.
int BlowfishEncryptBuffer(unsigned char* buffer, long length);
int BlowfishDecryptBuffer(unsigned char* buffer, long length);

// Block operations on the two 32-bit halves.
void BlowfishEncryptBlock(std::uint32_t* left, std::uint32_t* right);
void BlowfishDecryptBlock(std::uint32_t* left, std::uint32_t* right);

// 1 passed, 0 failed. Leaves the state keyed with the test key.
int BlowfishSelfTest();
