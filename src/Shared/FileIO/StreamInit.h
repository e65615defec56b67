// Start-up of the stream layer (cipher self-test, run key, free slots) and
// the project's own pseudo-random generator.
#pragma once

#include <string>

// Interface version the front end asks for.
inline constexpr double kStreamInterfaceVersion = 1.7;

// cipherThreads of InitStreamLayer: keep the cipher's thread count as it is.
inline constexpr int kKeepCipherThreads = 0;

// 1 on success; 0 with the reason ("*** Init failed: ...") in reason: an
// unsupported version, a failed cipher self-test, or a failed random source.
// cipherThreads (1 to 256) sets the threads that encrypt and decrypt the
// temporary files for the whole run.
int InitStreamLayer(double requestedVersion, std::string* reason,
                    int cipherThreads = kKeepCipherThreads);

// Length of the key made for each run of the program.
inline constexpr int kRunKeyLength = 26;
// Random bytes one run key is made from: two per key byte.
inline constexpr int kRunKeyRandomBytes = 2 * kRunKeyLength;
// Fills key with kRunKeyLength bytes made from the operating system's random
// source. 1 on success, 0 when the source fails.
int MakeRunKey(unsigned char* key);
// The rule MakeRunKey applies: key byte i is 32 + trunc(50 * r / 32767) with
// r the low 15 bits of random bytes 2i (low) and 2i+1 (high), so every byte
// lies in 32 to 82.
void RunKeyFromRandomBytes(const unsigned char* random, unsigned char* key);

// A small fixed generator with values 0 to 32767, identical on every
// platform; the cipher self-test draws its random blocks from it.
void SeedRandom(unsigned seed);
int NextRandom();
