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

// The ways the buffer transforms can go, all with the same bytes: the
// portable lanes of eight blocks; 32 blocks a step on AVX2 gathers; 64
// blocks a step on AVX-512 byte permutes (F, BW and VBMI). At the first
// transform the cipher times each one the processor has on a short buffer
// and keeps the fastest.
enum class CipherPath { kLanes = 0, kGather = 1, kWide = 2 };
inline constexpr int kCipherPaths = 3;

// Whether this build and processor have the path.
bool CipherPathAvailable(CipherPath path);
// Makes every transform take the path; false (and no change) when it is not
// available. Call only while no transform runs.
bool SetCipherPath(CipherPath path);
// The path the transforms take (chosen by measurement if not chosen yet).
CipherPath CipherPathInUse();
// "portable lanes", "AVX2 gathers" or "AVX-512 byte permutes".
const char* CipherPathName(CipherPath path);

// Block operations on the two 32-bit halves.
void BlowfishEncryptBlock(std::uint32_t* left, std::uint32_t* right);
void BlowfishDecryptBlock(std::uint32_t* left, std::uint32_t* right);

// 1 passed, 0 failed. Leaves the state keyed with the test key.
int BlowfishSelfTest();
