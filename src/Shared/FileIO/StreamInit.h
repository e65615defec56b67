// Start-up of the stream layer (cipher self-test, run key, free slots), the
// process-wide progress hook and the project's own pseudo-random generator.
#pragma once

#include <string>

using ProgressCallback = void (*)(int percent);

// Interface version the front end asks for.
inline constexpr double kStreamInterfaceVersion = 1.7;

// 1 on success; 0 with the reason ("*** Init failed: ...") in reason.
int InitStreamLayer(double requestedVersion, std::string* reason);

void SetProgressCallback(ProgressCallback callback);
// Calls the progress hook when one is installed.
void ReportProgress(int percent);

// A small fixed generator with values 0 to 32767, identical on every
// platform, so a run key follows from its seed the same way everywhere.
void SeedRandom(unsigned seed);
int NextRandom();
