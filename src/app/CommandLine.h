// The command line: argument scan into ConversionSettings, format decoding,
// path resolution, the settings table and the usage text.
#pragma once

#include <string>

#include "app/Settings.h"

inline constexpr const char* kVersionText = "1.6.0 / 9.6.2009";

// Fills settings from the arguments (argv[0] is the program name). The
// working directory must already be set in settings.workingDir. Returns 1, or
// 0 after printing a "*** " line to standard error when a value exceeds its
// fixed limit (it is never cut silently).
int ScanArguments(int argc, char** argv, ConversionSettings& settings);

// The code of a -format keyword; kFormatUnknown for anything else.
InputFormat DecodeFormat(const std::string& keyword);

// The clock check: 0 < clockMHz <= 600 (a clock that is no number fails).
bool IsValidClock(double clockMHz);

// The validation of the decoded settings, in order: an unknown format gives
// "*** Unknown input format.\n", then (for every format but kxzetq) a clock
// outside 0 to 600 MHz gives "*** Invalid clock rate.\n"; "" when valid.
std::string ValidateSettings(const ConversionSettings& settings);

// An absolute value (by the platform's rule) unchanged, any other appended to
// the working directory with one separator.
std::string ResolvePath(const std::string& workingDir, const std::string& value);

// The settings table, to standard output.
void PrintSettingsTable(const ConversionSettings& settings);

// The usage text, to standard error (without the final exit prompt).
void PrintUsage(const char* programName);
