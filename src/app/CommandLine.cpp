// The command line: the argument scan into ConversionSettings, the checks of
// the fixed value limits, format decoding, path resolution, the settings
// table and the usage text.

#include "app/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "Shared/FileIO/WorkerPool.h"
#include "app/ConvertFile.h"
#include "app/HelpTables.h"
#include "common/InputFormat.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "import/FormatDetect.h"
#include "platform/Platform.h"

namespace {

constexpr const char* kClockRange = kClockRangeText;

// What follows a keyword.
enum class Value {
  kNone,         // a flag
  kText,         // any text, taken as it is
  kDecimal,      // a decimal number, read in full
  kInteger,      // a decimal integer that fits an int, read in full
  kThreadCount,  // a decimal integer from 1 to kMaxWorkerThreads, read in full
  kLevelOffset,  // a decimal number of dB from kMinTargetOffsetDb to kMaxTargetOffsetDb
};

// The mode in which an option takes effect.
enum class Mode {
  kAny,
  kDirectoryOnly,       // ignored (with a warning) in single-file mode
  kSingleFileOnly,      // ignored (with a warning) in directory mode
  kSingleFileRequired,  // refused in directory mode
};

// A value-taking option receives its value text, already checked against its
// Value kind; a flag receives nullptr.
using ApplyOption = void (*)(ConversionSettings& settings, const char* value);

// The runs an option applies to, one bit each; given with any other run it
// is refused.
constexpr unsigned kForConvert = 1;
constexpr unsigned kForInfo = 2;
constexpr unsigned kForExport = 4;
constexpr unsigned kForPreview = 8;
constexpr unsigned kForInspection = kForInfo | kForExport | kForPreview;
constexpr unsigned kForAll = kForConvert | kForInspection;

unsigned RunBit(RunKind run) {
  switch (run) {
    case RunKind::kInfo:
      return kForInfo;
    case RunKind::kExport:
      return kForExport;
    case RunKind::kPreview:
      return kForPreview;
    default:
      return kForConvert;
  }
}

const char* RunKeyword(RunKind run) {
  switch (run) {
    case RunKind::kInfo:
      return "-info";
    case RunKind::kExport:
      return "-export";
    case RunKind::kPreview:
      return "-preview";
    default:
      return "a conversion";
  }
}

void SelectRun(ConversionSettings& s, RunKind run) { s.run = run; }

struct OptionRule {
  const char* keyword;
  Value value;
  Mode mode;
  ApplyOption apply;
  unsigned runs = kForConvert;
  InfoRequest info = InfoRequest::kNone;  // help and version end the run at once
  // For a refused number: the line printed before the common one, and the
  // valid range named in it.
  const char* invalidLine = nullptr;
  const char* range = nullptr;
  // The run this option selects (kConvert: none; it only sets a value).
  RunKind selects = RunKind::kConvert;
};

// The text of a number without the one leading "+" that from_chars does not
// take; false when nothing or a second sign follows it.
bool NumberDigits(const char* text, std::string_view* digits) {
  std::string_view view(text);
  if (!view.empty() && view.front() == '+') {
    view.remove_prefix(1);
    if (!view.empty() && (view.front() == '+' || view.front() == '-')) return false;
  }
  if (view.empty()) return false;
  *digits = view;
  return true;
}

// Decimal text to double, whole and finite.
bool ParseDecimal(const char* text, double* value) {
  std::string_view digits;
  if (!NumberDigits(text, &digits)) return false;
  double parsed = 0.0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed,
                                            std::chars_format::general);
  if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(parsed))
    return false;
  *value = parsed;
  return true;
}

// Decimal integer text to int, whole and within the range of int.
bool ParseInteger(const char* text, int* value) {
  std::string_view digits;
  if (!NumberDigits(text, &digits)) return false;
  int parsed = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  *value = parsed;
  return true;
}

double DecimalOf(const char* text) {
  double value = 0.0;
  ParseDecimal(text, &value);
  return value;
}

int IntegerOf(const char* text) {
  int value = 0;
  ParseInteger(text, &value);
  return value;
}

// -peak and -rms; the second of them on one command line is refused after
// the scan (levelOption then names both).
void SetLevelTarget(ConversionSettings& s, LevelKind kind, const char* option, const char* value) {
  if (!s.levelOption.empty()) s.levelOption += " and ";
  s.levelOption += option;
  s.levelTarget = {kind, DecimalOf(value)};
}

// Every keyword of the command line. Adding an option is adding its row; the
// scan, the refusal messages and the help/version check all read this table.
const OptionRule kOptions[] = {
    {"-indir", Value::kText, Mode::kDirectoryOnly,
     [](ConversionSettings& s, const char* v) { s.inputDir = v; }},
    {"-ext", Value::kText, Mode::kDirectoryOnly,
     [](ConversionSettings& s, const char* v) { s.extension = v; }},
    {"-outdir", Value::kText, Mode::kDirectoryOnly,
     [](ConversionSettings& s, const char* v) { s.outputDir = v; }},
    {"-clock", Value::kDecimal, Mode::kAny,
     [](ConversionSettings& s, const char* v) {
       s.clockText = v;
       s.clockMHz = DecimalOf(v);
       s.clockGiven = true;
     },
     kForConvert | kForInfo, InfoRequest::kNone, "*** Invalid clock rate.", kClockRange},
    {"-defaultclock", Value::kDecimal, Mode::kAny,
     [](ConversionSettings& s, const char* v) {
       s.defaultClockText = v;
       s.defaultClockMHz = DecimalOf(v);
       s.defaultClockGiven = true;
     },
     kForConvert | kForInfo, InfoRequest::kNone, "*** Invalid clock rate.", kClockRange},
    {"-format", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.formatName = v; }, kForConvert | kForInfo},
    {"-comment", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.comment = v; }},
    {"-copyright", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.copyright = v; }},
    {"-gain", Value::kDecimal, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.gainDb = DecimalOf(v); }},
    {"-autoscale", Value::kNone, Mode::kAny,
     [](ConversionSettings& s, const char*) { s.autoscale = true; }},
    {"-peak", Value::kLevelOffset, Mode::kAny,
     [](ConversionSettings& s, const char* v) { SetLevelTarget(s, LevelKind::kPeak, "-peak", v); },
     kForConvert, InfoRequest::kNone, nullptr, kTargetRangeText},
    {"-rms", Value::kLevelOffset, Mode::kAny,
     [](ConversionSettings& s, const char* v) { SetLevelTarget(s, LevelKind::kRms, "-rms", v); },
     kForConvert, InfoRequest::kNone, nullptr, kTargetRangeText},
    {"-v", Value::kInteger, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.verbosity = IntegerOf(v); }, kForAll},
    {"-recursive", Value::kNone, Mode::kDirectoryOnly,
     [](ConversionSettings& s, const char*) { s.recursive = true; }},
    {"-overwrite", Value::kNone, Mode::kAny,
     [](ConversionSettings& s, const char*) { s.overwrite = true; },
     kForConvert | kForExport | kForPreview},
    {"-qfile", Value::kText, Mode::kSingleFileOnly,
     [](ConversionSettings& s, const char* v) { s.qFile = v; }},
    {"-var", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.matVariable = v; }, kForConvert | kForInfo},
    {"-out", Value::kText, Mode::kSingleFileRequired,
     [](ConversionSettings& s, const char* v) { s.outputFile = v; }, kForConvert | kForExport},
    {"-threads", Value::kThreadCount, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.threads = IntegerOf(v); },
     kForConvert | kForInfo},
    {"-batch", Value::kNone, Mode::kAny, [](ConversionSettings& s, const char*) { s.batch = true; },
     kForAll},
    // Quiet runs ask nothing: a question nobody sees would wait for ever.
    {"-q", Value::kNone, Mode::kAny,
     [](ConversionSettings& s, const char*) {
       s.quiet = true;
       s.batch = true;
     }},
    {"-info", Value::kNone, Mode::kAny,
     [](ConversionSettings& s, const char*) { SelectRun(s, RunKind::kInfo); }, kForInfo,
     InfoRequest::kNone, nullptr, nullptr, RunKind::kInfo},
    {"-json", Value::kNone, Mode::kAny, [](ConversionSettings& s, const char*) { s.json = true; },
     kForInfo | kForConvert},
    {"-export", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) {
       SelectRun(s, RunKind::kExport);
       s.exportKind = v;
     },
     kForExport, InfoRequest::kNone, nullptr, nullptr, RunKind::kExport},
    {"-preview", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) {
       SelectRun(s, RunKind::kPreview);
       s.previewFile = v;
     },
     kForPreview, InfoRequest::kNone, nullptr, nullptr, RunKind::kPreview},
    {"-range", Value::kText, Mode::kAny,
     [](ConversionSettings& s, const char* v) { s.previewRange = v; }, kForPreview},
    {"-help", Value::kNone, Mode::kAny, nullptr, kForAll, InfoRequest::kHelp},
    {"-h", Value::kNone, Mode::kAny, nullptr, kForAll, InfoRequest::kHelp},
    {"--help", Value::kNone, Mode::kAny, nullptr, kForAll, InfoRequest::kHelp},
    {"-version", Value::kNone, Mode::kAny, nullptr, kForAll, InfoRequest::kVersion},
    {"--version", Value::kNone, Mode::kAny, nullptr, kForAll, InfoRequest::kVersion},
};

const OptionRule* FindOption(const char* argument) {
  for (const OptionRule& rule : kOptions)
    if (std::strcmp(argument, rule.keyword) == 0) return &rule;
  return nullptr;
}

// The keyword of an argument in the place of a keyword, as other tools spell
// it: "--name" for "-name" (where "--name" is no keyword itself), and the
// value of "-name=value" or "--name=value" apart. *value is set only for the
// "=" form.
const OptionRule* MatchKeyword(const std::string& argument, std::string* keyword,
                               std::optional<std::string>* value) {
  std::string name = argument;
  value->reset();
  const std::size_t equals = name.find('=');
  if (equals != std::string::npos && name.size() > 1 && name[0] == '-') {
    *value = name.substr(equals + 1);
    name.resize(equals);
  }
  const OptionRule* rule = FindOption(name.c_str());
  if (rule == nullptr && name.size() > 2 && name.compare(0, 2, "--") == 0) {
    rule = FindOption(name.c_str() + 1);
    if (rule != nullptr) name.erase(0, 1);
  }
  // "=" belongs to a value-taking keyword only; anything else stays as given.
  if (rule == nullptr || (value->has_value() && rule->value == Value::kNone)) {
    value->reset();
    *keyword = argument;
    return FindOption(argument.c_str());
  }
  *keyword = name;
  return rule;
}

// Edit distance of two short words (insertions, deletions, substitutions,
// and swaps of neighbours).
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The known keyword nearest to an unknown option, when one is near enough
// to be meant; nullptr otherwise.
const char* NearestKeyword(std::string_view argument) {
  while (!argument.empty() && argument.front() == '-') argument.remove_prefix(1);
  // Near enough: one slip in a short word, one in three letters of a longer;
  // a name of one or two letters is too short to guess from.
  if (argument.size() < 3) return nullptr;
  const std::size_t limit = std::max<std::size_t>(1, argument.size() / 3);
  const char* best = nullptr;
  std::size_t bestDistance = limit + 1;
  for (const OptionRule& rule : kOptions) {
    std::string_view name(rule.keyword);
    while (!name.empty() && name.front() == '-') name.remove_prefix(1);
    const std::size_t distance = EditDistance(argument, name);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = rule.keyword;
    }
  }
  return best;
}

// The arguments in the one spelling the scan reads: keywords as the table
// writes them and "=" values as arguments of their own. Every argument after
// "--" is a file name whatever it looks like; those come last, from
// `firstFile` on, so that no keyword is ever seen in them. Values after a
// value-taking keyword are taken as they are.
struct ArgumentList {
  std::vector<std::string> texts;
  std::vector<char*> pointers;
  int firstFile = 0;

  explicit ArgumentList(int argc, char** argv) {
    if (argc > 0) texts.emplace_back(argv[0] != nullptr ? argv[0] : "wavora");
    int k = 1;
    for (; k < argc; ++k) {
      const std::string argument = argv[k];
      if (argument == "--") {
        ++k;
        break;
      }
      std::string keyword;
      std::optional<std::string> value;
      const OptionRule* rule = MatchKeyword(argument, &keyword, &value);
      texts.push_back(keyword);
      if (rule == nullptr || rule->value == Value::kNone) continue;
      if (value.has_value()) {
        texts.push_back(*value);
      } else if (k + 1 < argc) {
        texts.emplace_back(argv[++k]);
      }
    }
    firstFile = static_cast<int>(texts.size());
    for (; k < argc; ++k) texts.emplace_back(argv[k]);
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(texts.size()); }
  char** argv() { return pointers.data(); }
};

const char* ValueDescription(Value value) {
  switch (value) {
    case Value::kDecimal:
      return "a decimal number";
    case Value::kInteger:
      return "an integer";
    case Value::kThreadCount:
      return "a whole number from 1 to 256";
    case Value::kLevelOffset:
      return "a level in dB";
    default:
      return "a value";
  }
}

bool ValueIsValid(Value value, const char* text) {
  double decimal = 0.0;
  int integer = 0;
  switch (value) {
    case Value::kDecimal:
      return ParseDecimal(text, &decimal);
    case Value::kInteger:
      return ParseInteger(text, &integer);
    case Value::kThreadCount:
      return ParseInteger(text, &integer) && integer >= 1 && integer <= kMaxWorkerThreads;
    case Value::kLevelOffset:
      return ParseDecimal(text, &decimal) && decimal >= kMinTargetOffsetDb &&
             decimal <= kMaxTargetOffsetDb;
    default:
      return true;
  }
}

// A refused command line: the reason has been printed; the hint follows.
int RefuseCommandLine(const char* programName) {
  std::fprintf(stderr, "Run '%s -help' for the list of options.\n", programName);
  std::fflush(stderr);
  return 0;
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
         WithinLimit(settings.matVariable, static_cast<std::size_t>(kMaxMatNameBytes),
                     "The MAT-file variable name (-var)") &&
         WithinLimit(settings.inputDir, kMaxPathChars, "The input directory") &&
         WithinLimit(settings.outputDir, kMaxPathChars, "The output directory") &&
         WithinLimit(settings.outputFile, kMaxPathChars, "The output file name") &&
         WithinLimit(settings.outputFilePath, kMaxPathChars, "The resolved output file path") &&
         WithinLimit(settings.extension, kMaxExtensionChars, "The file extension") &&
         WithinLimit(settings.comment, kMaxCommentChars, "The comment") &&
         WithinLimit(settings.copyright, kMaxCommentChars, "The copyright") &&
         WithinLimit(settings.inputPath, kMaxPathChars, "The resolved input directory path") &&
         WithinLimit(settings.outputPath, kMaxPathChars, "The resolved output directory path");
}

const char* YesNo(bool flag) { return flag ? "YES" : "NO"; }

constexpr const char* kTableDashLine = "--------------------+----------------------------\n";

}  // namespace

std::vector<std::string> OptionKeywords() {
  std::vector<std::string> keywords;
  for (const OptionRule& rule : kOptions) keywords.emplace_back(rule.keyword);
  return keywords;
}

InfoRequest FindInfoRequest(int rawArgc, char** rawArgv) {
  ArgumentList list(rawArgc, rawArgv);
  const int argc = list.firstFile;
  char** argv = list.argv();
  const char* nativeHelp = platform::NativeHelpSwitch();
  for (int k = 1; k < argc; ++k) {
    if (nativeHelp != nullptr && std::strcmp(argv[k], nativeHelp) == 0) return InfoRequest::kHelp;
    const OptionRule* rule = FindOption(argv[k]);
    if (rule == nullptr) continue;
    if (rule->info != InfoRequest::kNone) return rule->info;
    if (rule->value != Value::kNone) ++k;  // a value is never taken for a keyword
  }
  return InfoRequest::kNone;
}

namespace {

// Whether a keyword that meets the test stands among the arguments in the
// place of a keyword (never a value of another option, never after "--").
template <typename Test>
bool AnyKeyword(int rawArgc, char** rawArgv, Test test) {
  ArgumentList list(rawArgc, rawArgv);
  const int argc = list.firstFile;
  char** argv = list.argv();
  for (int k = 1; k < argc; ++k) {
    const OptionRule* rule = FindOption(argv[k]);
    if (rule == nullptr) continue;
    if (test(*rule)) return true;
    if (rule->value != Value::kNone) ++k;
  }
  return false;
}

}  // namespace

bool IsInspectionRun(int argc, char** argv) {
  return AnyKeyword(argc, argv,
                    [](const OptionRule& rule) { return rule.selects != RunKind::kConvert; });
}

std::string KeywordValue(int rawArgc, char** rawArgv, const char* keyword) {
  ArgumentList list(rawArgc, rawArgv);
  const int argc = list.firstFile;
  char** argv = list.argv();
  std::string value;
  for (int k = 1; k < argc; ++k) {
    const OptionRule* rule = FindOption(argv[k]);
    if (rule == nullptr || rule->value == Value::kNone) continue;
    if (k + 1 < argc && std::strcmp(rule->keyword, keyword) == 0) value = argv[k + 1];
    ++k;
  }
  return value;
}

bool HasKeyword(int argc, char** argv, const char* keyword) {
  return AnyKeyword(
      argc, argv, [&](const OptionRule& rule) { return std::strcmp(rule.keyword, keyword) == 0; });
}

namespace {

// The arguments into the settings' own fields, one table row at a time.
// Returns 0 after the refusal lines when an argument does not hold.
int ScanOptions(int argc, char** argv, int firstFile, ConversionSettings& settings,
                std::vector<const OptionRule*>* given, std::vector<std::string>* positional) {
  const char* programName = argc > 0 && argv[0] != nullptr ? argv[0] : "wavora";
  const int last = argc - 1;
  for (int k = 1; k <= last; ++k) {
    const char* argument = argv[k];
    const bool file = k >= firstFile;  // after "--": a file name whatever it looks like
    // "-" first: standard input as the one input.
    const bool standardInput = k == 1 && std::strcmp(argument, "-") == 0;
    if ((k == 1 && argument[0] != '-') || standardInput || (file && !settings.singleFile)) {
      settings.singleFile = true;
      settings.inputFile = argument;
      // The data comes on standard input: no answer can come from there.
      if (standardInput) settings.batch = true;
      continue;
    }
    const OptionRule* rule = file ? nullptr : FindOption(argument);
    if (rule == nullptr && (file || argument[0] != '-')) {
      // More file names: the files of -info, refused for every other run.
      positional->push_back(argument);
      continue;
    }
    if (rule == nullptr) {
      std::fprintf(stderr, "*** Unknown option: %s\n", argument);
      if (const char* nearest = NearestKeyword(argument))
        std::fprintf(stderr, "*** Did you mean %s?\n", nearest);
      return RefuseCommandLine(programName);
    }
    given->push_back(rule);
    if (rule->info != InfoRequest::kNone) continue;  // answered before the scan

    // A value is the next argument, whatever it looks like.
    const char* value = nullptr;
    if (rule->value != Value::kNone) {
      if (k == last) {
        std::fprintf(stderr, "*** Option %s needs a value.\n", rule->keyword);
        return RefuseCommandLine(programName);
      }
      value = argv[++k];
      if (!ValueIsValid(rule->value, value)) {
        if (rule->invalidLine != nullptr) std::fprintf(stderr, "%s\n", rule->invalidLine);
        std::fprintf(stderr, "*** Invalid value for %s: '%s' is not %s", rule->keyword, value,
                     ValueDescription(rule->value));
        if (rule->range != nullptr) std::fprintf(stderr, " (%s)", rule->range);
        std::fprintf(stderr, ".\n");
        return RefuseCommandLine(programName);
      }
    }

    switch (rule->mode) {
      case Mode::kAny:
        break;
      case Mode::kDirectoryOnly:
        if (settings.singleFile) {
          settings.ignoredOptions.push_back(rule->keyword);
          continue;
        }
        break;
      case Mode::kSingleFileOnly:
        if (!settings.singleFile) {
          settings.ignoredOptions.push_back(rule->keyword);
          continue;
        }
        break;
      case Mode::kSingleFileRequired:
        if (!settings.singleFile) {
          std::fprintf(stderr,
                       "*** Option %s names the output of single-file mode (an input file as "
                       "the first argument); in directory mode use -outdir.\n",
                       rule->keyword);
          return RefuseCommandLine(programName);
        }
        break;
    }
    rule->apply(settings, value);
  }
  return 1;
}

// The run the options select, and every option fitting it: one of -info,
// -export and -preview at most, each option one the run uses, the input
// file of -export and -preview, the files of -info.
int CheckRun(ConversionSettings& settings, const std::vector<const OptionRule*>& given,
             const std::vector<std::string>& positional, const char* programName) {
  const OptionRule* selector = nullptr;
  for (const OptionRule* rule : given) {
    if (rule->selects == RunKind::kConvert) continue;
    if (selector != nullptr && std::strcmp(selector->keyword, rule->keyword) != 0) {
      std::fprintf(stderr, "*** Options %s and %s cannot be given together.\n", selector->keyword,
                   rule->keyword);
      return RefuseCommandLine(programName);
    }
    selector = rule;
  }
  const unsigned run = RunBit(settings.run);
  for (const OptionRule* rule : given) {
    if ((rule->runs & run) == 0) {
      std::fprintf(stderr, "*** Option %s does not apply to %s.\n", rule->keyword,
                   RunKeyword(settings.run));
      return RefuseCommandLine(programName);
    }
  }
  if (settings.run == RunKind::kInfo) {
    if (settings.singleFile) settings.infoFiles.push_back(settings.inputFile);
    settings.infoFiles.insert(settings.infoFiles.end(), positional.begin(), positional.end());
    if (settings.infoFiles.empty()) {
      std::fprintf(stderr, "*** -info needs at least one file.\n");
      return RefuseCommandLine(programName);
    }
    return 1;
  }
  // Standard input is the one input of a conversion; standard output the one
  // output of a conversion, and not the place of the -json results as well.
  const bool fromStandardInput = settings.singleFile && settings.inputFile == "-";
  if (fromStandardInput && settings.run != RunKind::kConvert) {
    std::fprintf(stderr, "*** Standard input (-) is read by a conversion only; %s needs a file.\n",
                 RunKeyword(settings.run));
    return RefuseCommandLine(programName);
  }
  if (settings.run == RunKind::kConvert && settings.singleFile &&
      (fromStandardInput || settings.outputFile == "-") && !positional.empty()) {
    std::fprintf(stderr, "*** Standard input or output (-) serves one input file only.\n");
    return RefuseCommandLine(programName);
  }
  if (settings.run == RunKind::kConvert && settings.outputFile == "-" && settings.json) {
    std::fprintf(stderr, "*** Options -out - and -json both need standard output; give one.\n");
    return RefuseCommandLine(programName);
  }
  // Several input files: each is converted as single-file mode converts one.
  if (settings.run == RunKind::kConvert && settings.singleFile && !positional.empty()) {
    for (const char* option : {"-out", "-qfile"}) {
      const bool given = std::string_view(option) == "-out" ? !settings.outputFile.empty()
                                                            : !settings.qFile.empty();
      if (!given) continue;
      std::fprintf(stderr,
                   "*** Option %s names the file of one input; it cannot be given with %zu "
                   "input files.\n",
                   option, positional.size() + 1);
      return RefuseCommandLine(programName);
    }
    settings.moreInputs = positional;
    return 1;
  }
  if (!positional.empty()) {
    std::fprintf(stderr, "*** Unexpected argument: %s\n", positional.front().c_str());
    return RefuseCommandLine(programName);
  }
  if (settings.run != RunKind::kConvert && !settings.singleFile) {
    std::fprintf(stderr, "*** %s needs the waveform file as the first argument.\n",
                 RunKeyword(settings.run));
    return RefuseCommandLine(programName);
  }
  return 1;
}

}  // namespace

int ScanArguments(int rawArgc, char** rawArgv, ConversionSettings& settings) {
  ArgumentList list(rawArgc, rawArgv);
  const int argc = list.argc();
  char** argv = list.argv();
  // Every field but the working directory starts from its default.
  const std::string workingDir = settings.workingDir;
  settings = ConversionSettings();
  settings.workingDir = workingDir;
  settings.inputDir = workingDir;
  settings.outputDir = workingDir;

  std::vector<const OptionRule*> given;
  std::vector<std::string> positional;
  const int scanned = ScanOptions(argc, argv, list.firstFile, settings, &given, &positional);
  // The derived fields follow what was scanned, also on a refusal.
  settings.inputPath = ResolvePath(settings.workingDir, settings.inputDir);
  settings.outputPath = ResolvePath(settings.workingDir, settings.outputDir);
  if (!settings.outputFile.empty())
    settings.outputFilePath = ResolvePath(settings.workingDir, settings.outputFile);
  settings.format = DecodeFormat(settings.formatName);
  // "-ext .cf32" means what "-ext cf32" does: names end in ".cf32".
  if (!settings.extension.empty() && settings.extension[0] == '.') {
    settings.extension.erase(0, 1);
    settings.extensionDotRemoved = true;
  }
  if (!scanned || !CheckLimits(settings)) return 0;
  if (!CheckRun(settings, given, positional, argc > 0 && argv[0] != nullptr ? argv[0] : "wavora"))
    return 0;
  // One level for the waveform: -autoscale, -peak and -rms each set it.
  if (settings.levelTarget.kind != LevelKind::kNone &&
      (settings.autoscale || settings.levelOption.find(' ') != std::string::npos)) {
    std::fprintf(stderr, "*** Options %s%s set the level each; give one of them.\n",
                 settings.autoscale ? "-autoscale and " : "", settings.levelOption.c_str());
    return RefuseCommandLine(argc > 0 && argv[0] != nullptr ? argv[0] : "wavora");
  }
  return 1;
}

InputFormat DecodeFormat(const std::string& keyword) { return InputFormatFromKeyword(keyword); }

bool IsValidClock(double clockMHz) { return ClockInRange(clockMHz * kHzPerMHz); }

std::string ValidateSettings(const ConversionSettings& settings) {
  if (settings.format == kFormatUnknown) {
    if (settings.formatName.empty()) return "*** No input format given (-format <keyword>).\n";
    return "*** Unknown input format.\n" +
           FormatText("*** '%s' is no format keyword; the usage text below lists them.\n",
                      settings.formatName.c_str());
  }
  if (!settings.matVariable.empty() && settings.format != kFormatMat &&
      settings.format != kFormatAuto)
    return "*** Option -var names a variable of a MAT-file; it takes -format mat (or auto).\n";
  // Standard input is taken into one file: a format that reads a second file
  // (a Q file, a SigMF data file) cannot come from it.
  if (settings.singleFile && settings.inputFile == "-" &&
      (IsTwoFileFormat(settings.format) || settings.format == kFormatSigmf))
    return FormatText(
        "*** Format %s cannot be read from standard input (-): it needs files by "
        "name.\n",
        settings.formatName.c_str());
  // -defaultclock is checked whenever it is given, like -clock.
  if (settings.defaultClockGiven && !IsValidClock(settings.defaultClockMHz))
    return "*** Invalid clock rate.\n" +
           FormatText("*** Clock rate %s MHz of -defaultclock is out of range: %s.\n",
                      settings.defaultClockText.c_str(), kClockRange);
  // kxzetq input carries its own clock; a clock given for it is taken only
  // by a file without a CLOCK tag, and is checked all the same.
  if (settings.format == kFormatKxzetq && !settings.clockGiven) return std::string();
  // A default clock serves every file that carries none.
  if (settings.defaultClockGiven && !settings.clockGiven) return std::string();
  // WAV and SigMF files may carry their own rate: -clock is optional there,
  // but checked when given.
  if (FormatCarriesClock(settings.format) && !settings.clockGiven) return std::string();
  if (!IsValidClock(settings.clockMHz)) {
    std::string message = "*** Invalid clock rate.\n";
    if (settings.clockText.empty()) {
      message += FormatText("*** No clock rate given: use -clock <MHz> with %s.\n", kClockRange);
    } else {
      message += FormatText("*** Clock rate %s MHz is out of range: %s.\n",
                            settings.clockText.c_str(), kClockRange);
      // A rate in Hz or kHz is the likely slip.
      for (const double unit : {1e6, 1e3}) {
        if (settings.clockMHz >= 1000.0 && IsValidClock(settings.clockMHz / unit)) {
          message +=
              FormatText("*** -clock takes MHz: did you mean %g?\n", settings.clockMHz / unit);
          break;
        }
      }
    }
    return message;
  }
  return std::string();
}

std::string ResolvePath(const std::string& workingDir, const std::string& value) {
  if (platform::IsAbsolutePath(value)) return value;
  return platform::JoinPath(workingDir, value);
}

void PrintSettingsTable(const ConversionSettings& settings) {
  std::printf("  Setting           |  Value  \n");
  std::fputs(kTableDashLine, stdout);
  if (settings.singleFile) {
    std::printf("  Input file        | %s                       \n", settings.inputFile.c_str());
    if (!settings.moreInputs.empty())
      std::printf("  More input files  | %zu, converted one after another\n",
                  settings.moreInputs.size());
    if (IsTwoFileFormat(settings.format)) {
      const std::string qFile =
          settings.qFile.empty() ? DeriveQFileName(settings.inputFile) : settings.qFile;
      std::printf("  Q data file       | %s                       \n", qFile.c_str());
    }
  }
  if (settings.format == kFormatAuto && settings.singleFile) {
    // The table says what the file will be read as.
    InputFormat detected = kFormatUnknown;
    const std::string path = platform::IsAbsolutePath(settings.inputFile)
                                 ? settings.inputFile
                                 : platform::JoinPath(settings.inputPath, settings.inputFile);
    const bool readable = DetectInputFormat(path, &detected);
    std::printf("  Input format      | auto (%s)                       \n",
                !readable                    ? "file not readable"
                : detected == kFormatUnknown ? "not recognised"
                                             : FormatKeyword(detected));
  } else {
    std::printf("  Input format      | %s                       \n", settings.formatName.c_str());
  }
  // Which clock a file gets: -clock always; else its own rate, where its
  // format carries one; else -defaultclock.
  const bool carries = FormatCarriesClock(settings.format) || settings.format == kFormatKxzetq;
  if (settings.clockGiven && settings.format != kFormatKxzetq)
    std::printf("  Clock rate        | %f MHz                   \n", settings.clockMHz);
  else if (carries && (settings.clockGiven || settings.defaultClockGiven))
    std::printf("  Clock rate        | from the input file, else %f MHz\n",
                settings.clockGiven ? settings.clockMHz : settings.defaultClockMHz);
  else if (carries && settings.format != kFormatKxzetq)
    std::printf("  Clock rate        | from the input file                       \n");
  else if (settings.defaultClockGiven)
    std::printf("  Clock rate        | %f MHz (-defaultclock)   \n", settings.defaultClockMHz);
  else if (!carries)
    std::printf("  Clock rate        | %f MHz                   \n", settings.clockMHz);
  if (!settings.matVariable.empty())
    std::printf("  MAT variable      | %s                       \n", settings.matVariable.c_str());
  std::printf("  Gain (kxzetq)     | %3.2f dB                 \n", settings.gainDb);
  std::printf("  Auto Level        | %s                       \n", YesNo(settings.autoscale));
  if (settings.levelTarget.kind != LevelKind::kNone)
    std::printf("  Level target      | %s %.2f dB below full scale\n",
                settings.levelTarget.kind == LevelKind::kPeak ? "peak" : "RMS",
                settings.levelTarget.offsetDb);
  std::printf("  Input directory   | %s                       \n", settings.inputPath.c_str());
  std::printf("  Output directory  | %s                       \n", settings.outputPath.c_str());
  if (!settings.outputFilePath.empty())
    std::printf("  Output file       | %s                       \n",
                settings.outputFilePath.c_str());
  if (!settings.singleFile) {
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

void PrintUsage(const char* programName, std::FILE* stream) {
  // Keep the order of earlier standard output on a shared console.
  std::fflush(stdout);
  std::fprintf(stream, "usage: %s [<input file>] <options>                                    \n",
               programName != nullptr ? programName : "wavora");
  for (const std::string& line : UsageBodyLines()) std::fputs(line.c_str(), stream);
  std::fflush(stream);
}
