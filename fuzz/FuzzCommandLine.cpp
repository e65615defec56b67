// The command-line scan on arbitrary argument vectors: the input is split at
// NUL bytes into arguments. The scan must keep every limit it reports as
// kept, decode the format it stored, and give the same settings each time.

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/CommandLine.h"
#include "app/Settings.h"
#include "platform/Platform.h"

namespace {

constexpr std::size_t kMaxArguments = 64;
constexpr const char* kWorkingDir = "/work/fuzz";

bool SameSettings(const ConversionSettings& a, const ConversionSettings& b) {
  return a.singleFile == b.singleFile && a.inputFile == b.inputFile && a.qFile == b.qFile &&
         a.inputDir == b.inputDir && a.outputDir == b.outputDir && a.extension == b.extension &&
         a.formatName == b.formatName && a.comment == b.comment && a.copyright == b.copyright &&
         a.autoscale == b.autoscale && a.verbosity == b.verbosity && a.recursive == b.recursive &&
         a.overwrite == b.overwrite && a.inputPath == b.inputPath && a.outputPath == b.outputPath &&
         a.format == b.format && a.batch == b.batch && a.outputFile == b.outputFile &&
         a.outputFilePath == b.outputFilePath && a.ignoredOptions == b.ignoredOptions &&
         a.clockGiven == b.clockGiven &&
         (a.clockMHz == b.clockMHz || (a.clockMHz != a.clockMHz && b.clockMHz != b.clockMHz)) &&
         (a.gainDb == b.gainDb || (a.gainDb != a.gainDb && b.gainDb != b.gainDb));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();

  std::vector<std::string> args = {"wavora"};
  std::string current;
  for (std::size_t k = 0; k < size && args.size() < kMaxArguments; ++k) {
    if (data[k] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[k]));
    }
  }
  if (!current.empty() && args.size() < kMaxArguments) args.push_back(current);
  if (args.size() < 2) return 0;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  ConversionSettings settings;
  settings.workingDir = kWorkingDir;
  const int scanned = ScanArguments(argc, argv.data(), settings);
  FUZZ_CHECK(scanned == 0 || scanned == 1, "");
  FUZZ_CHECK(settings.workingDir == kWorkingDir, "");
  FUZZ_CHECK(settings.format == DecodeFormat(settings.formatName), settings.formatName);
  // A first argument that is no keyword is the one file; without "--" nothing
  // else makes the run a single-file one.
  bool terminator = false;
  for (int k = 1; k < argc; ++k) terminator = terminator || args[k] == "--";
  // "-" alone is standard input, the one file as well.
  const bool firstIsFile = argv[1][0] != '-' || args[1] == "-";
  if (firstIsFile) FUZZ_CHECK(settings.singleFile, "first argument not taken as the file");
  if (!terminator) FUZZ_CHECK(settings.singleFile == firstIsFile, "");
  if (!scanned) return 0;
  FUZZ_CHECK(settings.comment.size() <= kMaxCommentChars, "");
  FUZZ_CHECK(settings.copyright.size() <= kMaxCommentChars, "");
  FUZZ_CHECK(settings.extension.size() <= kMaxExtensionChars, "");
  FUZZ_CHECK(settings.inputPath.size() <= platform::kMaxPathChars, "");
  FUZZ_CHECK(settings.outputPath.size() <= platform::kMaxPathChars, "");
  FUZZ_CHECK(settings.inputPath == ResolvePath(kWorkingDir, settings.inputDir), "");
  FUZZ_CHECK(settings.outputFilePath.size() <= platform::kMaxPathChars, "");
  FUZZ_CHECK(settings.outputFile.empty() || settings.singleFile, "-out in directory mode");
  FUZZ_CHECK(std::isfinite(settings.clockMHz) && std::isfinite(settings.gainDb),
             "a value that is no number was taken");

  ConversionSettings again;
  again.workingDir = kWorkingDir;
  FUZZ_CHECK(ScanArguments(argc, argv.data(), again) == scanned, "");
  FUZZ_CHECK(SameSettings(settings, again), "a second scan differs");

  const std::string invalid = ValidateSettings(settings);
  if (invalid.empty()) {
    FUZZ_CHECK(settings.format != kFormatUnknown, "");
    FUZZ_CHECK(settings.format == kFormatKxzetq || IsValidClock(settings.clockMHz) ||
                   (FormatCarriesClock(settings.format) && !settings.clockGiven),
               "");
    PrintSettingsTable(settings);
  }
  return 0;
}

std::vector<std::string> FuzzSeeds() {
  auto join = [](std::initializer_list<const char*> parts) {
    std::string seed;
    for (const char* part : parts) seed += std::string(part) + '\0';
    return seed;
  };
  return {
      join({"sig.bin", "-format", "i16le", "-clock", "100", "-autoscale", "-overwrite"}),
      join({"-indir", "data", "-outdir", "C:\\out", "-recursive", "-ext", "bin", "-format", "f32be",
            "-clock", "600", "-v", "3"}),
      join({"old.wv", "-format", "kxzetq", "-gain", "6.0206", "-comment", "-autoscale",
            "-copyright", "(c)"}),
      join({"sigI.txt", "-format", "txt2ui14", "-qfile", "sigQ.txt", "-clock", "0.5"}),
      join({"-format", "txt", "-clock"}),
      join({"rec.bin", "-format", "i16le", "-clock", "2.4e0", "-batch", "-out", "w/x.y.wv"}),
      join({"rec.bin", "-indir", "x", "-v", "+2", "--help", "-clock", "2,4"}),
      join({"cap.sigmf-meta", "-format", "sigmf", "-comment", "x"}),
      join({"-indir", "in", "-format", "auto", "-clock", "250", "-recursive"}),
  };
}
