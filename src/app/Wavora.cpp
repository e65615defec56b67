// The program entry: banner, command line, validation, settings table, start
// questions, logging and stream start-up, then the conversion of one file or
// of a directory tree, and the exit prompt with the exit code.

#include "app/Wavora.h"

#include <cstdio>
#include <string>

#include "Shared/FileIO/StreamInit.h"
#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/ConvertDirectory.h"
#include "app/ConvertFile.h"
#include "app/Inspect.h"
#include "app/Settings.h"
#include "platform/Platform.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

constexpr int kKeyCarriageReturn = 13;

constexpr const char* kStartQuestion = "Do you want to start processing (y/n) ... [y]\b\b";
constexpr const char* kEqualPathsQuestion =
    "In- and Out-paths are equal! Is this OK? (y/n) ... [n]\b\b";

void PrintBanner() {
  std::printf("\n");
  std::printf("Wavora.exe %s\n", kVersionText);
  std::printf("\n\n");
  std::printf("\n");
}

// The usage text, its exit prompt on standard error, and the wait for Enter.
int UsageExit(const char* programName) {
  PrintUsage(programName);
  std::fputs("Press RETURN to exit...", stderr);
  platform::WaitForEnter();
  std::fputs("\n", stderr);
  std::fflush(stderr);
  return kExitFailure;
}

int ConvertSingleFile(const ConversionSettings& settings) {
  // The output goes into the working directory, named after the input's own
  // file name, so a directory part of the input name never leaks into it.
  std::string outputBaseName = "_";
  outputBaseName += platform::FileNamePart(settings.inputFile);
  const FileJob job{settings.inputFile, outputBaseName, settings.inputPath, settings.outputPath,
                    settings.qFile};
  return ConvertFile(settings, job);
}

}  // namespace

int AskQuestion(const char* prompt) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  int key = 0;
  do {
    // Upper-case letters and every other key are ignored.
    key = platform::ReadKey();
  } while (key != 'y' && key != 'n' && key != kKeyCarriageReturn && key != 0);
  std::fputs("\n\n", stdout);
  std::fflush(stdout);
  return key;
}

int RunWavora(int argc, char** argv) {
  const char* programName = argc > 0 ? argv[0] : nullptr;
  int inspectionExit = kExitSuccess;
  if (RunInspectionMode(argc, argv, &inspectionExit)) return inspectionExit;
  PrintBanner();
  if (argc < 2) return UsageExit(programName);

  ConversionSettings settings;
  settings.workingDir = platform::CurrentDirectory();
  if (settings.workingDir.empty()) {
    std::printf("*** Cannot read the current working directory.\n");
    return kExitFailure;
  }
  if (!ScanArguments(argc, argv, settings)) return kExitFailure;

  const std::string invalid = ValidateSettings(settings);
  if (!invalid.empty()) {
    std::fputs(invalid.c_str(), stdout);
    return UsageExit(programName);
  }

  PrintSettingsTable(settings);
  if (AskQuestion(kStartQuestion) == 'n') return kExitSuccess;
  if (!settings.singleFile && settings.inputPath == settings.outputPath) {
    if (AskQuestion(kEqualPathsQuestion) != 'y') return kExitSuccess;
  }

  SetLogSink(PrintLogLine);
  SetLogMask(LogMaskForVerbosity(settings.verbosity));

  std::string reason;
  if (!InitStreamLayer(kStreamInterfaceVersion, &reason)) {
    LogMessage(kLogAlwaysShown, {reason});
    LogMessage(kLogAlwaysShown, {"Press RETURN to exit."});
    platform::WaitForEnter();
    return kExitFailure;
  }

  const bool converted =
      settings.singleFile ? ConvertSingleFile(settings) != 0 : ConvertDirectory(settings) != 0;
  if (!converted) {
    std::printf("\n\n");
    std::fputs(
        settings.singleFile ? "*** Error processing file." : "*** Error processing directory.",
        stdout);
    std::printf("\n");
    std::printf("Press ENTER to exit.");
    platform::WaitForEnter();
    std::printf("\n\n");
    std::fflush(stdout);
    return kExitFailure;
  }

  std::printf("\n\n");
  std::printf("File conversion finished successfully.\n");
  std::printf("\n");
  std::printf("Press ENTER to exit...");
  platform::WaitForEnter();
  std::printf("\n\n");
  std::fflush(stdout);
  return kExitSuccess;
}
