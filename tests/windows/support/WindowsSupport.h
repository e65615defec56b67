// Windows helpers of the test programs: where the test program and wavora.exe
// live, argument quoting for a Windows command line, and starting a program
// with its standard streams redirected to files.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testing_support {

// Folder of the running test program, without a trailing separator.
std::string ModuleDirectory();

// wavora.exe of the same build: it sits next to the test programs.
std::string WavoraExePath();

// One argument quoted so that the runtime's command-line parser gives it back
// unchanged (backslashes before a quote doubled, quotes escaped).
std::string QuoteWindowsArgument(const std::string& argument);

// Exit code reported for a program that did not end within the hang guard
// of the runner (it is then terminated).
inline constexpr int kRunTimedOut = -2;

// Runs program with the arguments in workDir, with stdinBytes as its whole
// standard input (a file, so that it is not a console). The captured output
// keeps the bytes the program wrote, CR LF line ends of text-mode streams
// included.
RunResult RunProgramRaw(const std::string& program, const std::vector<std::string>& args,
                        const std::string& workDir, const std::string& stdinBytes);

// The same with the file or device at stdinPath as standard input ("NUL").
RunResult RunProgramWithInput(const std::string& program, const std::vector<std::string>& args,
                              const std::string& workDir, const std::string& stdinPath);

// Text-mode output with CR LF line ends turned back into LF.
std::string ToLfLineEnds(const std::string& text);

}  // namespace testing_support
