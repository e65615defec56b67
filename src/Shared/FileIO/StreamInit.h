// Start-up of the stream layer (cipher self-test, run key, free slots) and
// the project's own pseudo-random generator.
#pragma once

#include <string>

// Interface version the front end asks for.
inline constexpr double kStreamInterfaceVersion = 1.7;

// 1 on success; 0 with the reason ("*** Init failed: ...") in reason.
int InitStreamLayer(double requestedVersion, std::string* reason);

// Length of the key made for each run of the program.
inline constexpr int kRunKeyLength = 26;
// Fills key with kRunKeyLength bytes from the next generator values, each
// 32 + trunc(50 * r / 32767), so every byte lies in 32 to 82.
void MakeRunKey(unsigned char* key);

// A small fixed generator with values 0 to 32767, identical on every
// platform, so a run key follows from its seed the same way everywhere.
void SeedRandom(unsigned seed);
int NextRandom();
