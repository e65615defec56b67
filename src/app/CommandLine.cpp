// The command line: the argument scan into ConversionSettings, the checks of
// the fixed value limits, format decoding, path resolution, the settings
// table and the usage text.

#include "app/CommandLine.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/WorkerPool.h"
#include "app/ConvertFile.h"
#include "platform/Platform.h"

namespace {

constexpr double kMaxClockMHz = 600.0;

// The options in the fixed order in which they are tried on each argument.
enum class Option {
  kIndir,
  kExt,
  kOutdir,
  kClock,
  kFormat,
  kComment,
  kCopyright,
  kGain,
  kAutoscale,
  kVerbosity,
  kRecursive,
  kOverwrite,
  kQfile,
  kThreads,
};

// When an option is accepted, besides "not the last argument" for a value.
enum class Mode { kAny, kDirectoryOnly, kSingleFileOnly };

struct OptionRule {
  Option option;
  const char* keyword;
  bool takesValue;
  Mode mode;
};

constexpr OptionRule kOptionOrder[] = {
    {Option::kIndir, "-indir", true, Mode::kDirectoryOnly},
    {Option::kExt, "-ext", true, Mode::kDirectoryOnly},
    {Option::kOutdir, "-outdir", true, Mode::kDirectoryOnly},
    {Option::kClock, "-clock", true, Mode::kAny},
    {Option::kFormat, "-format", true, Mode::kAny},
    {Option::kComment, "-comment", true, Mode::kAny},
    {Option::kCopyright, "-copyright", true, Mode::kAny},
    {Option::kGain, "-gain", true, Mode::kAny},
    {Option::kAutoscale, "-autoscale", false, Mode::kAny},
    {Option::kVerbosity, "-v", true, Mode::kAny},
    {Option::kRecursive, "-recursive", false, Mode::kDirectoryOnly},
    {Option::kOverwrite, "-overwrite", false, Mode::kAny},
    {Option::kQfile, "-qfile", true, Mode::kSingleFileOnly},
    // Last in the order, so that its value is never tried as a keyword.
    {Option::kThreads, "-threads", true, Mode::kAny},
};

struct FormatKeyword {
  const char* keyword;
  InputFormat code;
};

constexpr FormatKeyword kFormatKeywords[] = {
    {"txt", kFormatTxt},           {"txthex", kFormatTxtHex},     {"f32be", kFormatF32be},
    {"f32le", kFormatF32le},       {"i16be", kFormatI16be},       {"i16le", kFormatI16le},
    {"txt2ui14", kFormatTxt2ui14}, {"txt2ui16", kFormatTxt2ui16}, {"i14be2", kFormatI14be2},
    {"i14le2", kFormatI14le2},     {"kxzetq", kFormatKxzetq},
};

// Decimal text to int, as strtol reads it, held within the range of int.
int ParseVerbosity(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// A thread count is a plain decimal number from 1 to kMaxWorkerThreads;
// anything else (a sign, blanks, a fraction, trailing text) gives 0.
int ParseThreadCount(const char* text) {
  int value = 0;
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > 3) return 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = 10 * value + (text[i] - '0');
  }
  return value <= kMaxWorkerThreads ? value : 0;
}

// False after printing a "*** " line when the value is not acceptable.
bool ApplyOption(Option option, const char* value, ConversionSettings& settings) {
  switch (option) {
    case Option::kIndir:
      settings.inputDir = value;
      break;
    case Option::kExt:
      settings.extension = value;
      break;
    case Option::kOutdir:
      settings.outputDir = value;
      break;
    case Option::kClock:
      // Text that is no number gives 0, which the clock check then rejects.
      settings.clockMHz = std::strtod(value, nullptr);
      break;
    case Option::kFormat:
      settings.formatName = value;
      break;
    case Option::kComment:
      settings.comment = value;
      break;
    case Option::kCopyright:
      settings.copyright = value;
      break;
    case Option::kGain:
      settings.gainDb = std::strtod(value, nullptr);
      break;
    case Option::kAutoscale:
      settings.autoscale = 1;
      break;
    case Option::kVerbosity:
      settings.verbosity = ParseVerbosity(value);
      break;
    case Option::kRecursive:
      settings.recursive = 1;
      break;
    case Option::kOverwrite:
      settings.overwrite = 1;
      break;
    case Option::kQfile:
      settings.qFile = value;
      break;
    case Option::kThreads:
      settings.threads = ParseThreadCount(value);
      if (settings.threads == 0) {
        std::fprintf(stderr,
                     "*** Invalid thread count \"%s\" (expected a whole number from 1 to %d).\n",
                     value, kMaxWorkerThreads);
        return false;
      }
      break;
  }
  return true;
}

bool ModeAllows(Mode mode, const ConversionSettings& settings) {
  switch (mode) {
    case Mode::kAny:
      return true;
    case Mode::kDirectoryOnly:
      return settings.singleFile == 0;
    case Mode::kSingleFileOnly:
      return settings.singleFile != 0;
  }
  return false;
}

// Refuses a value longer than its fixed limit with one "*** " line; a value
// is never cut to fit.
bool WithinLimit(const std::string& value, std::size_t limit, const char* what) {
  if (value.size() <= limit) return true;
  std::fprintf(stderr, "*** %s is longer than %zu characters.\n", what, limit);
  return false;
}

bool CheckLimits(const ConversionSettings& settings) {
  using platform::kMaxPathChars;
  return WithinLimit(settings.workingDir, kMaxPathChars, "The working directory") &&
         WithinLimit(settings.inputFile, kMaxPathChars, "The input file name") &&
         WithinLimit(settings.qFile, kMaxPathChars, "The Q data file name") &&
         WithinLimit(settings.inputDir, kMaxPathChars, "The input directory") &&
         WithinLimit(settings.outputDir, kMaxPathChars, "The output directory") &&
         WithinLimit(settings.extension, kMaxExtensionChars, "The file extension") &&
         WithinLimit(settings.comment, kMaxCommentChars, "The comment") &&
         WithinLimit(settings.copyright, kMaxCommentChars, "The copyright") &&
         WithinLimit(settings.inputPath, kMaxPathChars, "The resolved input directory path") &&
         WithinLimit(settings.outputPath, kMaxPathChars, "The resolved output directory path");
}

const char* YesNo(int flag) { return flag != 0 ? "YES" : "NO"; }

constexpr const char* kTableDashLine = "--------------------+----------------------------\n";

// The line of 18 tabs that separates the blocks of the usage text.
constexpr const char* kUsageTabLine = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n";

// The usage text after its first line, which carries the program name.
constexpr const char* kUsageBody[] = {
    kUsageTabLine,
    "<input file>\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n",
    "\t  If a file name is specified the application runs in single file\t\n",
    "\t  mode.\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n",
    kUsageTabLine,
    "<options>\t\t\t                                                    \n",
    "    -indir <input directory>   input directory                        \n",
    "    -outdir <output directory> output directory                       \n",
    "    -recursive                 recursively parse sub directories      \n",
    kUsageTabLine,
    "    -ext <file extension>      extension of valid input files         \n",
    "    -overwrite                 allow to overwrite destination files   \n",
    kUsageTabLine,
    "    -clock <clock rate MHz>                                           \n",
    kUsageTabLine,
    "    -format <input data format>                                       \n",
    "         kxzetq       Korvix ZETQ waveform file (*.wv)                   \n",
    "         txt          ASCII, float, two columns                       \n",
    "         txt2ui14     ASCII, 2 files, UInt14                          \n",
    "         txt2ui16     ASCII, 2 files, UInt16                          \n",
    "         txthex       ASCII, hex, signed 16 bit                       \n",
    "         f32be        Float32, big endian                             \n",
    "         f32le        Float32, little endian                          \n",
    "         i16be        Int16, big endian                               \n",
    "         i16le        Int16, little endian                            \n",
    "         i14be2       Int14, 2 files, big endian                      \n",
    "         i14le2       Int14, 2 files, little endian                   \n",
    kUsageTabLine,
    "    -qfile <Q data file>       2nd file (Q data) of 2-file formats    \n",
    kUsageTabLine,
    "    -commment <\"comment\">       add optional comment                \n",
    "    -copyright <\"copyright\">    add optional copyright              \n",
    kUsageTabLine,
    "    -gain <gain/dB>               amplify weak signal (ZETQ only)     \n",
    "    -autoscale                    scale level to full scale           \n",
    kUsageTabLine,
    "    -threads <count>              cipher threads (default: CPU cores) \n",
    kUsageTabLine,
    "    -v <verbose level>                                                \n",
    "        1 = errors only (default)                                     \n",
    "        2 = warnings                                                  \n",
    "        3 = information                                               \n",
    "                                                                      \n",
};

}  // namespace

// Besides the value limits, an invalid -threads value is refused with a
// "*** " line. A successful scan sets the cipher's thread count for the run.
int ScanArguments(int argc, char** argv, ConversionSettings& settings) {
  // Every field but the working directory starts from its default.
  const std::string workingDir = settings.workingDir;
  settings = ConversionSettings();
  settings.workingDir = workingDir;
  settings.inputDir = workingDir;
  settings.outputDir = workingDir;

  const int last = argc - 1;
  for (int k = 1; k <= last; ++k) {
    if (k == 1 && argv[1][0] != '-') {
      settings.singleFile = 1;
      settings.inputFile = argv[1];
    }
    // Each keyword is tried on the current argument; after a value has been
    // taken, the keywords later in the order are tried on that value, so a
    // value that equals a later keyword also acts as it.
    for (const OptionRule& rule : kOptionOrder) {
      if (std::strcmp(argv[k], rule.keyword) != 0) continue;
      if (!ModeAllows(rule.mode, settings)) continue;
      if (!rule.takesValue) {
        ApplyOption(rule.option, nullptr, settings);
        continue;
      }
      if (k >= last) continue;  // a value-taking keyword as the last argument
      ++k;
      if (!ApplyOption(rule.option, argv[k], settings)) return 0;
    }
  }

  settings.inputPath = ResolvePath(settings.workingDir, settings.inputDir);
  settings.outputPath = ResolvePath(settings.workingDir, settings.outputDir);
  settings.format = DecodeFormat(settings.formatName);
  if (!CheckLimits(settings)) return 0;
  // The cipher's thread count holds for the whole run.
  SetCipherThreads(settings.threads > 0 ? settings.threads : DefaultWorkerThreads());
  return 1;
}

InputFormat DecodeFormat(const std::string& keyword) {
  for (const FormatKeyword& entry : kFormatKeywords)
    if (keyword == entry.keyword) return entry.code;
  return kFormatUnknown;
}

bool IsValidClock(double clockMHz) { return clockMHz > 0.0 && clockMHz <= kMaxClockMHz; }

std::string ValidateSettings(const ConversionSettings& settings) {
  if (settings.format == kFormatUnknown) return "*** Unknown input format.\n";
  // kxzetq input carries its own clock; the command line's is not used.
  if (settings.format != kFormatKxzetq && !IsValidClock(settings.clockMHz))
    return "*** Invalid clock rate.\n";
  return std::string();
}

std::string ResolvePath(const std::string& workingDir, const std::string& value) {
  if (platform::IsAbsolutePath(value)) return value;
  return platform::JoinPath(workingDir, value);
}

void PrintSettingsTable(const ConversionSettings& settings) {
  std::printf("  Setting           |  Value  \n");
  std::fputs(kTableDashLine, stdout);
  if (settings.singleFile != 0) {
    std::printf("  Input file        | %s                       \n", settings.inputFile.c_str());
    if (IsTwoFileFormat(settings.format)) {
      const std::string qFile =
          settings.qFile.empty() ? DeriveQFileName(settings.inputFile) : settings.qFile;
      std::printf("  Q data file       | %s                       \n", qFile.c_str());
    }
  }
  std::printf("  Input format      | %s                       \n", settings.formatName.c_str());
  if (settings.format != kFormatKxzetq)
    std::printf("  Clock rate        | %f MHz                   \n", settings.clockMHz);
  std::printf("  Gain (kxzetq)     | %3.2f dB                 \n", settings.gainDb);
  std::printf("  Auto Level        | %s                       \n", YesNo(settings.autoscale));
  std::printf("  Input directory   | %s                       \n", settings.inputPath.c_str());
  std::printf("  Output directory  | %s                       \n", settings.outputPath.c_str());
  if (settings.singleFile == 0) {
    std::printf("  Input file ext.   | %s                       \n", settings.extension.c_str());
    std::printf("  Recursive         | %s                       \n", YesNo(settings.recursive));
  }
  std::printf("  Overwrite         | %s                       \n", YesNo(settings.overwrite));
  std::printf("  Comment           | %s                       \n", settings.comment.c_str());
  std::printf("  Copyright         | %s                       \n", settings.copyright.c_str());
  std::printf("  Verbosity level   | %d                       \n", settings.verbosity);
  std::fputs(kTableDashLine, stdout);
  std::fputs("\n", stdout);
}

void PrintUsage(const char* programName) {
  // Keep the order of earlier standard output on a shared console.
  std::fflush(stdout);
  std::fprintf(stderr, "usage: %s [<input file>] <options>                                    \n",
               programName != nullptr ? programName : "wavora");
  for (const char* line : kUsageBody) std::fputs(line, stderr);
  std::fflush(stderr);
}
