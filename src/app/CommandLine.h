// The command line: argument scan into ConversionSettings, format decoding,
// path resolution, the settings table and the usage text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/Settings.h"

inline constexpr const char* kVersionText = "1.6.0 / 9.6.2009";
// The version alone, as -version prints it after the program's name.
inline constexpr const char* kVersionNumber = "1.6.0";

// A request that is answered instead of a run.
enum class InfoRequest { kNone, kHelp, kVersion };

// The first -help/-h/--help (or the platform's own help switch) or
// -version/--version among the arguments in the place of a keyword (never a
// value of another option); kNone when there is none.
InfoRequest FindInfoRequest(int argc, char** argv);

// True when an option among the arguments (in the place of a keyword)
// selects an inspection run: -info, -export or -preview.
bool IsInspectionRun(int argc, char** argv);

// True when the keyword (-q, -json) stands among the arguments in the place
// of a keyword.
bool HasKeyword(int argc, char** argv, const char* keyword);

// The value of the last value-taking keyword of that name among the
// arguments; "" when it is not there.
std::string KeywordValue(int argc, char** argv, const char* keyword);

// Fills settings from the arguments (argv[0] is the program name). The
// working directory must already be set in settings.workingDir. Returns 1, or
// 0 after printing to standard error a "*** " line and a hint to run -help
// when an argument is no keyword, a value is missing or is no number where a
// number is due, -out is given in directory mode, or a value exceeds its fixed
// limit (it is never cut silently). Values are taken as they are: a value
// that looks like a keyword is only a value.
int ScanArguments(int argc, char** argv, ConversionSettings& settings);

// The code of a -format keyword; kFormatUnknown for anything else.
InputFormat DecodeFormat(const std::string& keyword);

// The clock check: 0.001 < clockMHz <= 600 (a clock that is no number fails).
bool IsValidClock(double clockMHz);

// The validation of the decoded settings, in order: an unknown format gives
// "*** Unknown input format.\n", then (for every format but kxzetq) a clock
// outside 0.001 to 600 MHz gives "*** Invalid clock rate.\n" and a line naming
// the value and the range; "" when valid.
std::string ValidateSettings(const ConversionSettings& settings);

// An absolute value (by the platform's rule) unchanged, any other appended to
// the working directory with one separator.
std::string ResolvePath(const std::string& workingDir, const std::string& value);

// The settings table, to standard output.
void PrintSettingsTable(const ConversionSettings& settings);

// Every keyword of the option table, in its order.
std::vector<std::string> OptionKeywords();

// The usage text (without the final exit prompt): to standard error after a
// refused run, to standard output for -help.
void PrintUsage(const char* programName, std::FILE* stream = stderr);
