// The program entry: banner, command line, validation, settings table, start
// questions, logging and stream start-up, then the conversion of one file or
// of a directory tree, and the exit prompt with the exit code.

#include "app/Wavora.h"

#include <cstdio>
#include <optional>
#include <string>

#include "Shared/FileIO/StreamInit.h"
#include "Shared/FileIO/WorkerPool.h"
#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/ConvertDirectory.h"
#include "app/ConvertFile.h"
#include "app/Inspect.h"
#include "app/Settings.h"
#include "app/StandardStreams.h"
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
  std::printf("%s %s\n", platform::ProgramFileName(), kVersionText);
  std::printf("\n\n");
  std::printf("\n");
}

// A question or prompt on standard output; when the answer is typed at a
// terminal while standard output goes to a file or a pipe, on the terminal
// (standard error) as well, so that the person who must answer sees it.
// True when it went to the terminal as well.
bool ShowPrompt(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  if (!platform::StdinIsTerminal() || platform::StdoutIsTerminal()) return false;
  std::fputs(text, stderr);
  std::fflush(stderr);
  return true;
}

// The usage text, the command-line error's lines once more after it (so that
// they are not scrolled away), its exit prompt on standard error, and the wait
// for Enter (not with -batch).
int UsageExit(const char* programName, bool batch = false, const std::string& error = "") {
  PrintUsage(programName);
  std::fputs(error.c_str(), stderr);
  if (!batch) {
    std::fputs("Press RETURN to exit...", stderr);
    platform::WaitForEnter();
    std::fputs("\n", stderr);
  }
  std::fflush(stderr);
  return kExitFailure;
}

// The exit prompt of a run that got under way: the prompt and the wait for
// Enter, then "\n\n"; with -batch none of it.
void ExitPrompt(const ConversionSettings& settings, const char* prompt) {
  if (settings.batch) return;
  const bool onTerminal = ShowPrompt(prompt);
  platform::WaitForEnter();
  if (onTerminal) std::fputs("\n", stderr);
  std::printf("\n\n");
}

// -help and -version: answered on standard output without a banner, a
// question or a wait.
int AnswerInfoRequest(InfoRequest request, const char* programName) {
  if (request == InfoRequest::kHelp) {
    PrintUsage(programName, stdout);
  } else {
    std::printf("Wavora %s\n", kVersionNumber);
  }
  std::fflush(stdout);
  return kExitSuccess;
}

int ConvertSingleFile(const ConversionSettings& settings) {
  // The output goes into the working directory, named after the input's own
  // file name, so a directory part of the input name never leaks into it.
  std::string outputBaseName = "_";
  outputBaseName += platform::FileNamePart(settings.inputFile);
  FileJob job{settings.inputFile,  outputBaseName, settings.inputPath,
              settings.outputPath, settings.qFile, settings.outputFilePath};
  // Standard input is converted from a file of the run that holds it all.
  std::optional<RunFile> input;
  if (settings.inputFile == kStandardStreamName) {
    input.emplace(settings.workingDir, ".wavora-stdin.", ".part");
    if (!TakeStandardInput(input->path())) return 0;
    job.inputName = input->path();
    job.outputBaseName = "_stdin";
    job.shownName = "- (standard input)";
  }
  std::FILE* dataOut = StandardOutputData();
  if (dataOut == nullptr) return ConvertFile(settings, job);
  // The output is made as a file and goes to standard output only when it
  // is complete.
  RunFile output(settings.workingDir, ".wavora-stdout.", ".wv");
  job.outputFile = output.path();
  job.shownOutput = "standard output";
  return ConvertFile(settings, job) && CopyFileToStream(output.path(), dataOut) ? 1 : 0;
}

// The streams kept on what standard output was (-json results, -out -) are
// closed when the run ends, however it ends: a run in a process that goes on
// leaves no descriptor behind.
class KeptStandardOutput {
 public:
  KeptStandardOutput() = default;
  ~KeptStandardOutput() {
    if (std::FILE* data = StandardOutputData(); data != nullptr) std::fclose(data);
    SetStandardOutputData(nullptr);
    if (std::FILE* results = ResultStream(); results != nullptr) std::fclose(results);
    SetResultStream(nullptr);
  }
  KeptStandardOutput(const KeptStandardOutput&) = delete;
  KeptStandardOutput& operator=(const KeptStandardOutput&) = delete;
};

}  // namespace

int AskQuestion(const char* prompt) {
  const bool onTerminal = ShowPrompt(prompt);
  int key = 0;
  do {
    // Upper-case letters and every other key are ignored.
    key = platform::ReadKey();
    if (key == 'Y' || key == 'N') key += 'a' - 'A';  // the answer is the letter, either case
  } while (key != 'y' && key != 'n' && key != kKeyCarriageReturn && key != 0);
  if (onTerminal) std::fputs("\n", stderr);
  std::fputs("\n\n", stdout);
  std::fflush(stdout);
  return key;
}

int RunWavora(int argc, char** argv) {
  const char* programName = argc > 0 ? argv[0] : nullptr;
  const InfoRequest info = FindInfoRequest(argc, argv);
  if (info != InfoRequest::kNone) return AnswerInfoRequest(info, programName);
  // From here on Ctrl-C, a kill or a closed console removes the run's
  // temporary and partial files and restores the terminal before the end.
  platform::InstallInterruptHandler();
  // Every line printed is out before an interrupt could end the run.
  platform::LineBufferStandardOutput();
  // The inspection runs print no banner, table, question or prompt.
  const bool inspection = IsInspectionRun(argc, argv);
  const KeptStandardOutput keptStreams;
  // A conversion with -json keeps standard output for its results, one JSON
  // line per input file; everything else it prints goes to standard error.
  if (!inspection && HasKeyword(argc, argv, "-json")) {
    std::FILE* results = platform::SplitStandardOutput();
    if (results == nullptr) {
      std::fprintf(stderr, "*** Cannot keep standard output for the results of -json.\n");
      return kExitFailure;
    }
    SetResultStream(results);
  }
  // A .wv, an export (-out -) or a preview (-preview -) on standard output.
  if (KeywordValue(argc, argv, "-out") == kStandardStreamName ||
      KeywordValue(argc, argv, "-preview") == kStandardStreamName) {
    std::FILE* dataOut = platform::SplitStandardOutput(true);
    SetStandardOutputData(dataOut);
    if (dataOut == nullptr) {
      std::fprintf(stderr, "*** Cannot keep standard output for the output file.\n");
      return kExitFailure;
    }
  }
  if (!inspection && !HasKeyword(argc, argv, "-q")) PrintBanner();
  if (argc < 2) return UsageExit(programName);

  ConversionSettings settings;
  settings.workingDir = platform::CurrentDirectory();
  if (settings.workingDir.empty()) {
    std::printf("*** Cannot read the current working directory.\n");
    return kExitFailure;
  }
  if (!ScanArguments(argc, argv, settings)) return kExitFailure;
  if (settings.run != RunKind::kConvert) return RunInspection(settings);

  const std::string invalid = ValidateSettings(settings);
  if (!invalid.empty()) {
    if (settings.quiet) {
      std::fputs(invalid.c_str(), stderr);
      return kExitFailure;
    }
    std::fputs(invalid.c_str(), stdout);
    return UsageExit(programName, settings.batch, invalid);
  }

  if (!settings.quiet) PrintSettingsTable(settings);
  // -batch answers the start and equal-paths questions with "y" unasked.
  if (!settings.batch) {
    if (AskQuestion(kStartQuestion) == 'n') return kExitSuccess;
    if (!settings.singleFile && settings.inputPath == settings.outputPath) {
      if (AskQuestion(kEqualPathsQuestion) != 'y') return kExitSuccess;
    }
  }

  SetLogSink(PrintLogLine);
  if (settings.quiet) SetLogRecordSink(PrintQuietRecord);
  SetLogMask(LogMaskForVerbosity(settings.verbosity));
  // The bar redraws one line in place, which only a terminal shows as such.
  EnableProgressBar(!settings.quiet && platform::StdoutIsTerminal());
  if (settings.extensionDotRemoved)
    LogMessage(kLogInfo, {"-ext: the leading dot is taken off; names ending in .",
                          settings.extension, " are converted."});
  for (const std::string& option : settings.ignoredOptions) {
    LogMessage(kLogWarning,
               {"*** Warning: ", option, " does not apply in ",
                settings.singleFile ? "single-file" : "directory", " mode; it is ignored."});
  }

  std::string reason;
  // The cipher's thread count holds for the whole run.
  const int cipherThreads = settings.threads > 0 ? settings.threads : DefaultWorkerThreads();
  if (!InitStreamLayer(kStreamInterfaceVersion, &reason, cipherThreads)) {
    LogMessage(kLogAlwaysShown, {reason});
    if (!settings.batch) {
      LogMessage(kLogAlwaysShown, {"Press RETURN to exit."});
      platform::WaitForEnter();
    }
    return kExitFailure;
  }

  const bool converted = !settings.moreInputs.empty() ? ConvertFileList(settings) != 0
                         : settings.singleFile        ? ConvertSingleFile(settings) != 0
                                                      : ConvertDirectory(settings) != 0;
  // Results that did not reach their reader fail the run.
  if (std::FILE* results = ResultStream();
      results != nullptr && (std::fflush(results) != 0 || std::ferror(results))) {
    std::fprintf(stderr, "*** Error writing the results to standard output.\n");
    return kExitFailure;
  }
  if (settings.quiet) {
    if (!converted)
      std::fputs(settings.singleFile ? "*** Error processing file.\n"
                                     : "*** Error processing directory.\n",
                 stderr);
    std::fflush(stderr);
    return converted ? kExitSuccess : kExitFailure;
  }
  if (!converted) {
    std::printf("\n\n");
    std::fputs(
        settings.singleFile ? "*** Error processing file." : "*** Error processing directory.",
        stdout);
    std::printf("\n");
    ExitPrompt(settings, "Press ENTER to exit.");
    std::fflush(stdout);
    return kExitFailure;
  }

  std::printf("\n\n");
  std::printf("File conversion finished successfully.\n");
  std::printf("\n");
  ExitPrompt(settings, "Press ENTER to exit...");
  std::fflush(stdout);
  return kExitSuccess;
}
