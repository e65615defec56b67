// The argument scan, format decoding, validation, path resolution, value
// limits, the settings table and the usage text.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/WorkerPool.h"
#include "app/CommandLine.h"
#include "app/Settings.h"
#include "platform/Platform.h"

namespace {

const std::string kWorkingDir = "/home/user/work";

struct ScanResult {
  int ok = 0;
  ConversionSettings settings;
  std::string err;
};

ScanResult Scan(std::vector<std::string> args, const std::string& workingDir = kWorkingDir) {
  args.insert(args.begin(), "wavora");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ScanResult result;
  result.settings.workingDir = workingDir;
  testing::internal::CaptureStderr();
  result.ok = ScanArguments(static_cast<int>(args.size()), argv.data(), result.settings);
  result.err = testing::internal::GetCapturedStderr();
  return result;
}

TEST(CommandLineFormat, KeywordsDecodeToTheirCodes) {
  const std::vector<std::pair<std::string, int>> table = {
      {"txt", 0},     {"txthex", 2},  {"f32be", 3},    {"f32le", 4},
      {"i16be", 5},   {"i16le", 6},   {"txt2ui14", 9}, {"txt2ui16", 10},
      {"i14be2", 11}, {"i14le2", 12}, {"kxzetq", 14},
  };
  for (const auto& [keyword, code] : table) {
    const ScanResult r = Scan({"sig.bin", "-format", keyword, "-clock", "10"});
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.settings.format, code) << keyword;
    EXPECT_EQ(r.settings.formatName, keyword);
  }
  // Case-sensitive, whole-string comparison; nothing else is a format.
  for (const char* bad : {"I16LE", "i16", "i16le ", "", "txt2", "i16lei16lei16lei"}) {
    EXPECT_EQ(DecodeFormat(bad), kFormatUnknown) << bad;
  }
  // A missing -format and a 16-character name are unknown formats, not refused.
  EXPECT_EQ(Scan({"sig.bin", "-clock", "10"}).settings.format, kFormatUnknown);
  const ScanResult tooLong = Scan({"sig.bin", "-format", "kxzetqkxzetqkxze"});
  EXPECT_EQ(tooLong.ok, 1);
  EXPECT_EQ(tooLong.settings.format, kFormatUnknown);
  EXPECT_EQ(ValidateSettings(tooLong.settings),
            "*** Unknown input format.\n*** 'kxzetqkxzetqkxze' is no format keyword; the usage "
            "text below lists them.\n");
}

TEST(CommandLineFormat, CaptureFormatsAliasesAndTheirClock) {
  const std::vector<std::pair<std::string, int>> table = {
      {"cu8", 15},   {"cs8", 16}, {"f64le", 17}, {"cf64", 17}, {"f64be", 18}, {"wav", 19},
      {"sigmf", 20}, {"npy", 21}, {"auto", 22},  {"cf32", 4},  {"cs16", 6},   {"mat", 23},
  };
  for (const auto& [keyword, code] : table) {
    const ScanResult r = Scan({"sig.bin", "-format", keyword, "-clock", "10"});
    EXPECT_EQ(r.settings.format, code) << keyword;
    EXPECT_EQ(r.settings.formatName, keyword) << "an alias keeps the name it was given";
    EXPECT_EQ(ValidateSettings(r.settings), "") << keyword;
  }
  const std::string invalid = "*** Invalid clock rate.\n";
  auto validation = [](std::vector<std::string> args) {
    return ValidateSettings(Scan(std::move(args)).settings);
  };
  // wav, sigmf and auto may take the clock from the file; a given one is checked.
  for (const char* keyword : {"wav", "sigmf", "auto"}) {
    EXPECT_EQ(validation({"s", "-format", keyword}), "") << keyword;
    EXPECT_EQ(validation({"s", "-format", keyword, "-clock", "0"}).rfind(invalid, 0), 0u)
        << keyword;
    EXPECT_EQ(validation({"s", "-format", keyword, "-clock", "600.5"}).rfind(invalid, 0), 0u)
        << keyword;
  }
  for (const char* keyword : {"cu8", "cs8", "f64le", "npy", "mat", "cf32"})
    EXPECT_EQ(validation({"s", "-format", keyword}).rfind(invalid, 0), 0u) << keyword;
}

TEST(CommandLineClock, BoundsAndParsing) {
  auto validation = [](std::vector<std::string> args) {
    return ValidateSettings(Scan(std::move(args)).settings);
  };
  // The old line, then one that names the value as given and the range.
  auto invalid = [](const std::string& value) {
    return "*** Invalid clock rate.\n*** Clock rate " + value +
           " MHz is out of range: 0.001 < MHz <= 600.\n";
  };
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "600"}), "");
  // More than 1 kHz: the waveform reader's own range.
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "0.0010001"}), "");
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "0.001"}), invalid("0.001"));
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "0.0005"}), invalid("0.0005"));
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "600.0001"}), invalid("600.0001"));
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "0"}), invalid("0"));
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "-5"}), invalid("-5"));
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "48000"}),
            invalid("48000") + "*** -clock takes MHz: did you mean 0.048?\n");
  EXPECT_EQ(
      validation({"s", "-format", "i16le"}),
      "*** Invalid clock rate.\n*** No clock rate given: use -clock <MHz> with 0.001 < MHz <= "
      "600.\n");
  // kxzetq carries its own clock: none is needed; one given (for a file
  // without a CLOCK tag) is checked like any other.
  EXPECT_EQ(validation({"s", "-format", "kxzetq"}), "");
  EXPECT_EQ(validation({"s", "-format", "kxzetq", "-clock", "600"}), "");
  EXPECT_EQ(validation({"s", "-format", "kxzetq", "-clock", "9000"}),
            invalid("9000") + "*** -clock takes MHz: did you mean 0.009?\n");
  EXPECT_EQ(validation({"s", "-format", "kxzetq", "-clock", "0"}), invalid("0"));
  // The format is checked before the clock.
  EXPECT_EQ(validation({"s", "-format", "bogus"}).rfind("*** Unknown input format.\n", 0), 0u);

  const ScanResult parsed = Scan({"s", "-clock", "12.5e1", "-gain", "-3.25", "-v", "7"});
  EXPECT_DOUBLE_EQ(parsed.settings.clockMHz, 125.0);
  EXPECT_DOUBLE_EQ(parsed.settings.gainDb, -3.25);
  EXPECT_EQ(parsed.settings.verbosity, 7);
  EXPECT_EQ(Scan({"s", "-v", "-2"}).settings.verbosity, -2);
  EXPECT_EQ(Scan({"s", "-v", "+3"}).settings.verbosity, 3);
  EXPECT_EQ(Scan({"s"}).settings.verbosity, 1);
  EXPECT_DOUBLE_EQ(Scan({"s", "-clock", "2.4e0"}).settings.clockMHz, 2.4);
  EXPECT_DOUBLE_EQ(Scan({"s", "-clock", ".5"}).settings.clockMHz, 0.5);
  EXPECT_DOUBLE_EQ(Scan({"s", "-clock", "+7"}).settings.clockMHz, 7.0);
}

// Numbers are read in full: anything left over, or no number at all, refuses
// the command line with the option, the value and what was due.
TEST(CommandLineClock, ValuesThatAreNoWholeNumberAreRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string clockLine = "*** Invalid clock rate.\n*** Invalid value for -clock: '";
  const std::string clockTail = "' is not a decimal number (0.001 < MHz <= 600).\n";
  const std::vector<Case> cases = {
      {{"s", "-clock", "2,4"}, clockLine + "2,4" + clockTail},
      {{"s", "-clock", "2.4M"}, clockLine + "2.4M" + clockTail},
      {{"s", "-clock", "12.5e1junk"}, clockLine + "12.5e1junk" + clockTail},
      {{"s", "-clock", "fast"}, clockLine + "fast" + clockTail},
      {{"s", "-clock", "nan"}, clockLine + "nan" + clockTail},
      {{"s", "-clock", "inf"}, clockLine + "inf" + clockTail},
      {{"s", "-clock", "0x10"}, clockLine + "0x10" + clockTail},
      {{"s", "-clock", " 5"}, clockLine + " 5" + clockTail},
      {{"s", "-clock", "+-5"}, clockLine + "+-5" + clockTail},
      {{"s", "-clock", ""}, clockLine + clockTail},
      {{"s", "-format", "kxzetq", "-clock", "2,4"}, clockLine + "2,4" + clockTail},
      {{"s", "-gain", "3dB"}, "*** Invalid value for -gain: '3dB' is not a decimal number.\n"},
      {{"s", "-v", "many"}, "*** Invalid value for -v: 'many' is not an integer.\n"},
      {{"s", "-v", "2.5"}, "*** Invalid value for -v: '2.5' is not an integer.\n"},
      {{"s", "-v", "99999999999999"},
       "*** Invalid value for -v: '99999999999999' is not an integer.\n"},
      {{"s", "-v", "-comment", "x"}, "*** Invalid value for -v: '-comment' is not an integer.\n"},
  };
  for (const Case& c : cases) {
    const ScanResult r = Scan(c.args);
    EXPECT_EQ(r.ok, 0) << c.args.back();
    EXPECT_EQ(r.err, c.message + "Run 'wavora -help' for the list of options.\n") << c.args.back();
  }
}

TEST(CommandLineScan, AValueIsTakenAsItIsAndNeverActsAsAKeyword) {
  const ScanResult flagValue = Scan({"s", "-comment", "-autoscale"});
  EXPECT_EQ(flagValue.ok, 1);
  EXPECT_EQ(flagValue.settings.comment, "-autoscale");
  EXPECT_EQ(flagValue.settings.autoscale, 0);
  const ScanResult keywordValue = Scan({"s", "-format", "-v", "-copyright", "-help"});
  EXPECT_EQ(keywordValue.settings.formatName, "-v");
  EXPECT_EQ(keywordValue.settings.copyright, "-help");
  EXPECT_EQ(keywordValue.settings.verbosity, 1);
  // Options in any order, a keyword given twice keeps its last value, and the
  // flags work in any position, the last one included.
  const ScanResult mixed =
      Scan({"s", "-overwrite", "-clock", "1", "-v", "2", "-clock", "2", "-autoscale"});
  EXPECT_EQ(mixed.ok, 1);
  EXPECT_DOUBLE_EQ(mixed.settings.clockMHz, 2.0);
  EXPECT_EQ(mixed.settings.verbosity, 2);
  EXPECT_EQ(mixed.settings.overwrite, 1);
  EXPECT_EQ(mixed.settings.autoscale, 1);
  const ScanResult lastFlag = Scan({"s", "-format", "txt", "-overwrite"});
  EXPECT_EQ(lastFlag.settings.overwrite, 1);
  const ScanResult flags = Scan({"s", "-batch", "-out", "o.wv"});
  EXPECT_EQ(flags.settings.batch, true);
  EXPECT_EQ(flags.settings.outputFile, "o.wv");
  EXPECT_EQ(Scan({"s"}).settings.batch, false);
}

// Whatever is no keyword is refused by name, with a hint to -help; nothing
// is ignored silently.
TEST(CommandLineScan, UnknownOptionsStrayArgumentsAndMissingValuesAreRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      // Keywords are whole, case-sensitive strings.
      {{"s", "-Autoscale"}, "*** Unknown option: -Autoscale\n*** Did you mean -autoscale?\n"},
      {{"s", "-overwrite2"}, "*** Unknown option: -overwrite2\n*** Did you mean -overwrite?\n"},
      {{"s", "-commment", "x"}, "*** Unknown option: -commment\n*** Did you mean -comment?\n"},
      {{"s", "--overwrit=x"}, "*** Unknown option: --overwrit=x\n*** Did you mean -overwrite?\n"},
      {{"s", "-"}, "*** Unknown option: -\n"},
      {{"-indir", "in", "-x"}, "*** Unknown option: -x\n"},
      {{"-indir", "d", "t"}, "*** Unexpected argument: t\n"},
      {{"-clock", "1", "stray", "-autoscale"}, "*** Unexpected argument: stray\n"},
      {{"-format", "txt", "in.txt"}, "*** Unexpected argument: in.txt\n"},
      {{"s", "-format", "i16le", "-clock"}, "*** Option -clock needs a value.\n"},
      {{"s", "-comment"}, "*** Option -comment needs a value.\n"},
      {{"-indir"}, "*** Option -indir needs a value.\n"},
      {{"-format", "txt", "-out", "o.wv"},
       "*** Option -out names the output of single-file mode (an input file as the first "
       "argument); in directory mode use -outdir.\n"},
  };
  for (const Case& c : cases) {
    const ScanResult r = Scan(c.args);
    EXPECT_EQ(r.ok, 0) << c.message;
    EXPECT_EQ(r.err, c.message + "Run 'wavora -help' for the list of options.\n");
  }
}

TEST(CommandLineScan, HelpAndVersionAreFoundInTheKeywordPlacesOnly) {
  auto request = [](std::vector<std::string> args) {
    args.insert(args.begin(), "wavora");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    return FindInfoRequest(static_cast<int>(argv.size()), argv.data());
  };
  for (const char* help : {"-help", "-h", "--help"}) {
    EXPECT_EQ(request({help}), InfoRequest::kHelp) << help;
    EXPECT_EQ(request({"sig.bin", "-format", "txt", help}), InfoRequest::kHelp) << help;
  }
  for (const char* version : {"-version", "--version"})
    EXPECT_EQ(request({"-bogus", version}), InfoRequest::kVersion) << version;
  EXPECT_EQ(request({"sig.bin", "-comment", "-help"}), InfoRequest::kNone);
  EXPECT_EQ(request({"sig.bin", "-Help", "-v", "--version"}), InfoRequest::kNone);
  EXPECT_EQ(request({"sig.bin", "-format", "txt"}), InfoRequest::kNone);
  // "/?" is the help switch of Windows only; elsewhere it is a file name.
  EXPECT_EQ(request({"/?"}),
            platform::NativeHelpSwitch() != nullptr ? InfoRequest::kHelp : InfoRequest::kNone);
}

TEST(CommandLineScan, DirectoryOptionsOnlyInDirectoryMode) {
  const ScanResult single = Scan({"sig.bin", "-indir", "data", "-outdir", "out", "-ext", "bin",
                                  "-recursive", "-qfile", "q.bin"});
  EXPECT_EQ(single.settings.singleFile, 1);
  EXPECT_EQ(single.settings.inputFile, "sig.bin");
  EXPECT_EQ(single.settings.inputPath, kWorkingDir);
  EXPECT_EQ(single.settings.outputPath, kWorkingDir);
  EXPECT_EQ(single.settings.extension, "");
  EXPECT_EQ(single.settings.recursive, 0);
  EXPECT_EQ(single.settings.qFile, "q.bin");
  EXPECT_EQ(single.settings.ignoredOptions,
            (std::vector<std::string>{"-indir", "-outdir", "-ext", "-recursive"}));
  // An ignored option still takes its value, which is no argument of its own.
  const ScanResult valueTaken = Scan({"sig.bin", "-indir", "-overwrite"});
  EXPECT_EQ(valueTaken.ok, 1);
  EXPECT_EQ(valueTaken.settings.overwrite, 0);

  const ScanResult dir = Scan(
      {"-indir", "data", "-outdir", "/abs/out", "-ext", "bin", "-recursive", "-qfile", "q.bin"});
  EXPECT_EQ(dir.settings.singleFile, 0);
  EXPECT_EQ(dir.settings.inputFile, "");
  EXPECT_EQ(dir.settings.inputPath, kWorkingDir + "/data");
  EXPECT_EQ(dir.settings.outputPath, "/abs/out");
  EXPECT_EQ(dir.settings.extension, "bin");
  EXPECT_EQ(dir.settings.recursive, 1);
  EXPECT_EQ(dir.settings.qFile, "");  // single-file option
  EXPECT_EQ(dir.settings.ignoredOptions, (std::vector<std::string>{"-qfile"}));
  // Defaults: both directories are the working directory.
  const ScanResult plain = Scan({"-format", "txt"});
  EXPECT_EQ(plain.settings.inputPath, kWorkingDir);
  EXPECT_EQ(plain.settings.outputPath, kWorkingDir);
  EXPECT_EQ(plain.settings.workingDir, kWorkingDir);
}

TEST(CommandLinePaths, ResolutionFollowsThePlatformRule) {
  EXPECT_EQ(ResolvePath("/w", "data"), "/w/data");
  EXPECT_EQ(ResolvePath("/w", "/abs/x"), "/abs/x");
  // Windows-style values are relative on POSIX.
  EXPECT_EQ(ResolvePath("/w", "D:x"), "/w/D:x");
  EXPECT_EQ(ResolvePath("/w", "../up"), "/w/../up");  // no normalisation
  EXPECT_EQ(Scan({"-indir", "a/b"}, "/root dir").settings.inputPath, "/root dir/a/b");
}

TEST(CommandLinePaths, OutIsResolvedAgainstTheWorkingDirectoryAndNeverCut) {
  EXPECT_EQ(Scan({"s", "-out", "o.wv"}).settings.outputFilePath, kWorkingDir + "/o.wv");
  EXPECT_EQ(Scan({"s", "-out", "/x/y.z.wv"}).settings.outputFilePath, "/x/y.z.wv");
  EXPECT_EQ(Scan({"s", "-out", "a/rec_433.92MHz"}).settings.outputFilePath,
            kWorkingDir + "/a/rec_433.92MHz");
  EXPECT_EQ(Scan({"s"}).settings.outputFilePath, "");
}

TEST(CommandLineLimits, OverLongValuesAreRefusedNotCut) {
  struct Case {
    std::vector<std::string> args;
    std::string workingDir;
    bool accepted;
  };
  const std::string wd = kWorkingDir;
  const std::string longWd = "/" + std::string(258, 'w');  // 259 characters
  const std::vector<Case> cases = {
      {{"s", "-comment", std::string(511, 'c')}, wd, true},
      {{"s", "-comment", std::string(512, 'c')}, wd, false},
      {{"s", "-copyright", std::string(511, 'c')}, wd, true},
      {{"s", "-copyright", std::string(512, 'c')}, wd, false},
      {{"-ext", std::string(15, 'e')}, wd, true},
      {{"-ext", std::string(16, 'e')}, wd, false},
      {{std::string(259, 'f')}, wd, true},
      {{std::string(260, 'f')}, wd, false},
      {{"s", "-qfile", std::string(260, 'q')}, wd, false},
      {{"-indir", "/" + std::string(258, 'i')}, wd, true},
      {{"-indir", "/" + std::string(259, 'i')}, wd, false},
      {{"-outdir", "/" + std::string(259, 'o')}, wd, false},
      {{"s", "-out", "/" + std::string(258, 'o')}, wd, true},
      {{"s", "-out", "/" + std::string(259, 'o')}, wd, false},
      {{"s", "-out", "x"}, longWd, false},
      // Short values whose resolved paths outgrow the limit.
      {{"-indir", "x"}, longWd, false},
      {{"-outdir", "x"}, longWd, false},
      {{"-indir", "/in", "-outdir", "/out"}, longWd, true},
      {{"-indir", "/in", "-outdir", "/out"}, longWd + "w", false},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const ScanResult r = Scan(cases[k].args, cases[k].workingDir);
    EXPECT_EQ(r.ok, cases[k].accepted ? 1 : 0) << "case " << k;
    if (cases[k].accepted) {
      EXPECT_EQ(r.err, "") << "case " << k;
    } else {
      EXPECT_EQ(r.err.rfind("*** ", 0), 0u) << "case " << k << ": " << r.err;
    }
  }
  // An accepted value is kept whole.
  EXPECT_EQ(Scan({"s", "-comment", std::string(511, 'c')}).settings.comment.size(), 511u);
}

TEST(CommandLineThreads, CountIsAWholeNumberFromOneTo256) {
  const ScanResult plain = Scan({"s", "-format", "i16le"});
  EXPECT_EQ(plain.settings.threads, 0);

  for (const auto& [text, count] : std::vector<std::pair<std::string, int>>{
           {"1", 1}, {"3", 3}, {"256", 256}, {"016", 16}, {"+4", 4}}) {
    const ScanResult r = Scan({"s", "-threads", text, "-format", "i16le"});
    EXPECT_EQ(r.ok, 1) << text;
    EXPECT_EQ(r.err, "") << text;
    EXPECT_EQ(r.settings.threads, count) << text;
    EXPECT_EQ(r.settings.formatName, "i16le") << text;
  }
  // Directory mode takes it as well.
  EXPECT_EQ(Scan({"-indir", "in", "-threads", "2"}).settings.threads, 2);

  for (const std::string text : {"0", "257", "1000", "-1", " 4", "4 ", "2.5", "4x", "x", ""}) {
    const ScanResult r = Scan({"s", "-format", "i16le", "-threads", text});
    EXPECT_EQ(r.ok, 0) << "'" << text << "'";
    EXPECT_EQ(r.err.rfind("*** Invalid value for -threads: '" + text +
                              "' is not a whole number from 1 to 256.\n",
                          0),
              0u)
        << r.err;
  }
}

// The spellings of other tools: "--name", "-name=value", "--name=value",
// "--" before file names; an unknown option gets the nearest keyword.
TEST(CommandLineConventions, OtherToolsSpellingsAndSuggestions) {
  const ScanResult r = Scan({"--format", "cf32", "-clock=10", "--comment=a=b", "--overwrite",
                             "--ext=.cf32", "--", "-odd.bin"});
  ASSERT_EQ(r.ok, 1) << r.err;
  EXPECT_EQ(r.settings.formatName, "cf32");
  EXPECT_EQ(r.settings.clockMHz, 10.0);
  EXPECT_EQ(r.settings.comment, "a=b");
  EXPECT_TRUE(r.settings.overwrite);
  EXPECT_EQ(r.settings.extension, "cf32");  // the dot taken off
  EXPECT_TRUE(r.settings.extensionDotRemoved);
  EXPECT_TRUE(r.settings.singleFile);
  EXPECT_EQ(r.settings.inputFile, "-odd.bin");
  // A value is taken as it is, "=" and dashes included.
  EXPECT_EQ(Scan({"s", "-comment", "--format=x"}).settings.comment, "--format=x");
  // "=" does not attach a value to a flag.
  EXPECT_EQ(Scan({"s", "-overwrite=1"}).err.rfind("*** Unknown option: -overwrite=1\n", 0), 0u);

  const std::pair<std::string, std::string> typos[] = {
      {"-fromat", "-format"}, {"--overwrit", "-overwrite"}, {"-clok", "-clock"}};
  for (const auto& [typo, meant] : typos) {
    const ScanResult t = Scan({"s", typo, "x"});
    EXPECT_EQ(t.ok, 0);
    EXPECT_NE(t.err.find("*** Unknown option: " + typo + "\n*** Did you mean " + meant + "?\n"),
              std::string::npos)
        << t.err;
  }
  EXPECT_EQ(Scan({"s", "-zzzzzz"}).err.find("Did you mean"), std::string::npos);
}

TEST(CommandLineValidate, MissingOrWrongFormatAndClockInHertzAreNamed) {
  EXPECT_EQ(ValidateSettings(Scan({"s", "-clock", "10"}).settings),
            "*** No input format given (-format <keyword>).\n");
  EXPECT_EQ(ValidateSettings(Scan({"s", "-format", "cf23", "-clock", "10"}).settings),
            "*** Unknown input format.\n*** 'cf23' is no format keyword; the usage text below "
            "lists them.\n");
  const std::string hz =
      ValidateSettings(Scan({"s", "-format", "cf32", "-clock", "48000"}).settings);
  EXPECT_NE(hz.find("*** -clock takes MHz: did you mean 0.048?\n"), std::string::npos) << hz;
  const std::string khz =
      ValidateSettings(Scan({"s", "-format", "cf32", "-clock", "2400"}).settings);
  EXPECT_NE(khz.find("*** -clock takes MHz: did you mean 0.0024?\n"), std::string::npos) << khz;
  const std::string big =
      ValidateSettings(Scan({"s", "-format", "cf32", "-clock", "2e8"}).settings);
  EXPECT_NE(big.find("*** -clock takes MHz: did you mean 200?\n"), std::string::npos) << big;
  EXPECT_EQ(
      ValidateSettings(Scan({"s", "-format", "cf32", "-clock", "600.5"}).settings).find("did"),
      std::string::npos);
  EXPECT_EQ(
      ValidateSettings(Scan({"s", "-format", "cf32", "-clock", "1e12"}).settings).find("did you"),
      std::string::npos);
}

// -info, -json, -export and -preview are rows of the option table: they
// select the run, take their values like every other option, and the
// options that do not fit the run are refused with a line naming them.
TEST(CommandLineRuns, InspectionOptionsSelectTheRunAndRefuseWhatDoesNotFit) {
  const ScanResult info = Scan({"-info", "a.wv", "-json", "b.wv", "-v", "3"});
  ASSERT_EQ(info.ok, 1) << info.err;
  EXPECT_EQ(info.settings.run, RunKind::kInfo);
  EXPECT_TRUE(info.settings.json);
  EXPECT_EQ(info.settings.infoFiles, (std::vector<std::string>{"a.wv", "b.wv"}));
  EXPECT_EQ(info.settings.verbosity, 3);

  const ScanResult exp = Scan({"in.wv", "-export", "wav", "-out", "x.wav", "-overwrite"});
  ASSERT_EQ(exp.ok, 1) << exp.err;
  EXPECT_EQ(exp.settings.run, RunKind::kExport);
  EXPECT_EQ(exp.settings.exportKind, "wav");
  EXPECT_EQ(exp.settings.outputFile, "x.wav");
  EXPECT_TRUE(exp.settings.overwrite);
  const ScanResult preview = Scan({"in.wv", "-preview", "-out"});  // a value is a value
  ASSERT_EQ(preview.ok, 1) << preview.err;
  EXPECT_EQ(preview.settings.previewFile, "-out");
  EXPECT_EQ(Scan({"in.wv", "-format", "i16le"}).settings.run, RunKind::kConvert);

  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"-info"}, "*** -info needs at least one file.\n"},
      {{"-info", "a.wv", "-comment", "x"}, "*** Option -comment does not apply to -info.\n"},
      {{"in.wv", "-export", "wav", "-json"}, "*** Option -json does not apply to -export.\n"},
      {{"in.wv", "-preview", "p.svg", "-out", "o"},
       "*** Option -out does not apply to -preview.\n"},
      {{"in.wv", "-format", "i16le", "-json", "-info", "-autoscale"},
       "*** Option -autoscale does not apply to -info.\n"},
      {{"in.wv", "-export", "wav", "-preview", "p.svg"},
       "*** Options -export and -preview cannot be given together.\n"},
      {{"-export", "wav"}, "*** -export needs the waveform file as the first argument.\n"},
      {{"in.wv", "b.wv", "-format", "i16le", "-qfile", "q.wv"},
       "*** Option -qfile names the file of one input; it cannot be given with 2 input files.\n"},
      {{"in.wv", "-export"}, "*** Option -export needs a value.\n"},
  };
  for (const auto& [args, line] : refused) {
    const ScanResult r = Scan(args);
    EXPECT_EQ(r.ok, 0) << line;
    EXPECT_EQ(r.err.rfind(line, 0), 0u) << r.err;
    EXPECT_NE(r.err.find("-help' for the list of options."), std::string::npos) << r.err;
  }
}

std::string TableOf(const std::vector<std::string>& args) {
  const ScanResult r = Scan(args);
  testing::internal::CaptureStdout();
  PrintSettingsTable(r.settings);
  return testing::internal::GetCapturedStdout();
}

std::string Row(const std::string& label, const std::string& value) {
  return "  " + label + "| " + value + "                       \n";
}

const std::string kDashes = "--------------------+----------------------------\n";
const std::string kHead = "  Setting           |  Value  \n" + kDashes;

TEST(CommandLineTable, SingleFileRows) {
  const std::string table = TableOf({"sig.bin", "-format", "i16le", "-clock", "600", "-gain", "2",
                                     "-comment", "hello", "-v", "3", "-autoscale"});
  const std::string expected =
      kHead + Row("Input file        ", "sig.bin") + Row("Input format      ", "i16le") +
      "  Clock rate        | 600.000000 MHz                   \n" +
      "  Gain (kxzetq)     | 2.00 dB                 \n" + Row("Auto Level        ", "YES") +
      Row("Input directory   ", kWorkingDir) + Row("Output directory  ", kWorkingDir) +
      Row("Overwrite         ", "NO") + Row("Comment           ", "hello") +
      Row("Copyright         ", "") + Row("Verbosity level   ", "3") + kDashes + "\n";
  EXPECT_EQ(table, expected);
}

TEST(CommandLineTable, OutputFileRowOnlyWithOut) {
  const std::string table =
      TableOf({"rec_433.92MHz.bin", "-format", "i16le", "-clock", "2.4", "-out", "x/y.z.wv"});
  EXPECT_NE(table.find(Row("Output directory  ", kWorkingDir) +
                       Row("Output file       ", kWorkingDir + "/x/y.z.wv") +
                       Row("Overwrite         ", "NO")),
            std::string::npos)
      << table;
  EXPECT_EQ(TableOf({"sig.bin", "-format", "i16le", "-clock", "1"}).find("Output file"),
            std::string::npos);
}

TEST(CommandLineTable, DirectoryRowsAndNoClockForKxzetq) {
  const std::string table = TableOf({"-indir", "in", "-ext", "wv", "-format", "kxzetq",
                                     "-recursive", "-overwrite", "-copyright", "(c) me"});
  const std::string expected =
      kHead + Row("Input format      ", "kxzetq") +
      "  Gain (kxzetq)     | 0.00 dB                 \n" + Row("Auto Level        ", "NO") +
      Row("Input directory   ", kWorkingDir + "/in") + Row("Output directory  ", kWorkingDir) +
      Row("Input file ext.   ", "wv") + Row("Recursive         ", "YES") +
      Row("Overwrite         ", "YES") + Row("Comment           ", "") +
      Row("Copyright         ", "(c) me") + Row("Verbosity level   ", "1") + kDashes + "\n";
  EXPECT_EQ(table, expected);
}

TEST(CommandLineTable, QDataRowForTwoFileFormatsInSingleFileMode) {
  const std::string qRowStart = "  Q data file       | ";
  const std::string given =
      TableOf({"sig_I.bin", "-format", "i14le2", "-clock", "1", "-qfile", "other.bin"});
  const std::string inputRow = Row("Input file        ", "sig_I.bin");
  EXPECT_NE(given.find(inputRow + Row("Q data file       ", "other.bin") +
                       Row("Input format      ", "i14le2")),
            std::string::npos)
      << given;
  // Without -qfile the derived name is shown.
  const std::string derived = TableOf({"sig_I.bin", "-format", "txt2ui16", "-clock", "1"});
  EXPECT_NE(derived.find(inputRow + Row("Q data file       ", "sig_Q.bin")), std::string::npos)
      << derived;
  // One-file formats and directory mode have no such row.
  EXPECT_EQ(TableOf({"sig_I.bin", "-format", "i16le", "-clock", "1"}).find(qRowStart),
            std::string::npos);
  EXPECT_EQ(TableOf({"-format", "i14be2", "-clock", "1"}).find(qRowStart), std::string::npos);
}

TEST(CommandLineUsage, TextGoesToStandardErrorWithTheProgramName) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  PrintUsage("/opt/bin/wavora");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < err.size()) {
    const std::size_t end = err.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "every usage line ends with a line break";
    lines.push_back(err.substr(start, end - start));
    start = end + 1;
  }
  // 40 lines of the original text, ten lines of the capture formats after
  // i14le2, the -qfile and -var lines and their separator, the -out line, the
  // -threads line and its separator, and the block of -batch, -help and
  // -version with its separator, the -peak and -rms lines, the block of the
  // inspection runs with its separator, the -defaultclock, -q and -json lines,
  // and the -range line.
  ASSERT_EQ(lines.size(), 72u);
  EXPECT_EQ(lines[0],
            "usage: /opt/bin/wavora [<input file>] <options>                                    ");
  const std::string tabLine(18, '\t');
  EXPECT_EQ(lines[1], tabLine);
  EXPECT_EQ(lines[71], std::string(70, ' '));
  // After the -clock line, the -defaultclock line.
  EXPECT_EQ(lines[16].rfind("    -defaultclock <MHz>", 0), 0u);
  EXPECT_EQ(lines[29], "         i14le2       Int14, 2 files, little endian                   ");
  for (std::size_t k = 30; k < 40; ++k)
    EXPECT_EQ(lines[k].size(), lines[29].size()) << lines[k];  // the same width as i14le2
  EXPECT_EQ(lines[40], tabLine);
  EXPECT_EQ(lines[41].rfind("    -qfile <", 0), 0u);
  EXPECT_EQ(lines[42].rfind("    -var <name>", 0), 0u);
  for (std::size_t k : {41, 42})
    EXPECT_EQ(lines[k].size(), lines[29].size());  // same style and width as their neighbours
  EXPECT_EQ(lines[43], tabLine);
  EXPECT_EQ(lines[44], "    -comment <\"comment\">        add optional comment                ");
  // Every keyword the scan accepts is named.
  for (const char* keyword :
       {"-indir ",     "-outdir ",  "-recursive ", "-ext ",   "-overwrite ",
        "-out ",       "-clock ",   "-format ",    "-qfile ", "-comment ",
        "-copyright ", "-gain ",    "-autoscale ", "-v ",     "-batch ",
        "-threads ",   "-help,",    " -h,",        "-q ",     "-defaultclock ",
        "--help ",     "-version,", "--version ",  "-var "}) {
    EXPECT_NE(err.find(keyword), std::string::npos) << keyword;
  }
  for (std::size_t k = 56; k < 60; ++k) {
    if (lines[k] != tabLine) {
      EXPECT_EQ(lines[k].size(), lines[29].size()) << lines[k];
    }
  }
  EXPECT_EQ(lines[48], "    -autoscale                    scale level to full scale           ");
  EXPECT_EQ(lines[49].rfind("    -peak <dB>", 0), 0u);
  EXPECT_EQ(lines[50].rfind("    -rms <dB>", 0), 0u);
  EXPECT_EQ(lines[51], tabLine);
  EXPECT_EQ(lines[52].rfind("    -threads <", 0), 0u);
  for (std::size_t k : {49, 50, 52}) EXPECT_EQ(lines[k].size(), lines[48].size()) << k;
  EXPECT_EQ(lines[53], tabLine);
  EXPECT_EQ(lines[54].rfind("    -v <verbose level>", 0), 0u);
  for (const char* keyword : {"-peak ", "-rms ", "-info ", "-json", "-export ", "-preview "})
    EXPECT_NE(err.find(keyword), std::string::npos) << keyword;
  // Every keyword of the format table is listed.
  for (const char* keyword :
       {"kxzetq", "txt ",  "txt2ui14", "txt2ui16", "txthex", "f32be", "f32le",
        "i16be",  "i16le", "i14be2",   "i14le2",   "cu8",    "cs8",   "f64le",
        "f64be",  "cf32",  "wav",      "sigmf",    "npy",    "mat",   "auto"}) {
    EXPECT_NE(err.find("         " + std::string(keyword)), std::string::npos) << keyword;
  }
}

TEST(CommandLineTable, MatVariableRowAndItsFormats) {
  // -var names a MAT-file variable: a row of its own, after the clock.
  const std::string table =
      TableOf({"cap.mat", "-format", "mat", "-clock", "1", "-var", "iq_data"});
  EXPECT_NE(table.find("  Clock rate        | 1.000000 MHz                   \n" +
                       Row("MAT variable      ", "iq_data") + "  Gain (kxzetq)"),
            std::string::npos)
      << table;
  EXPECT_EQ(TableOf({"cap.mat", "-format", "mat", "-clock", "1"}).find("MAT variable"),
            std::string::npos);
  // Only a format that reads MAT-files takes it.
  for (const char* keyword : {"mat", "auto"})
    EXPECT_EQ(ValidateSettings(
                  Scan({"cap.mat", "-format", keyword, "-clock", "1", "-var", "x"}).settings),
              "")
        << keyword;
  EXPECT_EQ(
      ValidateSettings(Scan({"cap.npy", "-format", "npy", "-clock", "1", "-var", "x"}).settings),
      "*** Option -var names a variable of a MAT-file; it takes -format mat (or auto).\n");
}

}  // namespace
