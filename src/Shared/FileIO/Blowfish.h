// The Blowfish block cipher (16 rounds, 64-bit blocks) on one process-wide
// state, with electronic-code-book buffer encryption and a known-answer
// self-test. Buffers are transformed several blocks at a time, and large
// buffers on several threads; the bytes are those of one block at a time.
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

// The same transforms from source into target (length bytes each; the two
// are the same buffer or do not overlap), so that a copy and the cipher pass
// over the bytes once. source is left unchanged.
int BlowfishEncryptCopy(const unsigned char* source, unsigned char* target, long length);
int BlowfishDecryptCopy(const unsigned char* source, unsigned char* target, long length);

// Threads that share the transform of a large buffer, the calling thread
// included: 1 transforms in the calling thread alone. Values are held within
// 1 to 256. The default is the machine's processor count; the worker threads
// start at the first large transform and are joined when the count changes
// and when the program ends. Call only while no transform runs. Transforms
// may run on several threads at once: one of them at a time uses the worker
// threads. The count also tells the stream slots whether they may read and
// write chunks on threads of their own (more than 1).
void SetCipherThreads(int threads);
int GetCipherThreads();

// The buffer transforms take 64 blocks a step through the processor's
// AVX-512 byte permutes where it has them, with the bytes of the portable
// eight-block lanes. SetBlowfishWidePath(false) keeps every transform on the
// portable lanes, true allows the wide path again (the default); both return
// whether the wide path is now in use. Call only while no transform runs.
bool SetBlowfishWidePath(bool wanted);
bool BlowfishWidePathInUse();

// Block operations on the two 32-bit halves.
void BlowfishEncryptBlock(std::uint32_t* left, std::uint32_t* right);
void BlowfishDecryptBlock(std::uint32_t* left, std::uint32_t* right);

// 1 passed, 0 failed. Leaves the state keyed with the test key.
int BlowfishSelfTest();
