// The argument scan, format decoding, validation, path resolution, value
// limits, the settings table and the usage text.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/WorkerPool.h"
#include "app/CommandLine.h"
#include "app/Settings.h"

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
  EXPECT_EQ(ValidateSettings(tooLong.settings), "*** Unknown input format.\n");
}

TEST(CommandLineClock, BoundsAndParsing) {
  auto validation = [](std::vector<std::string> args) {
    return ValidateSettings(Scan(std::move(args)).settings);
  };
  const std::string invalid = "*** Invalid clock rate.\n";
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "600"}), "");
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "0.000001"}), "");
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "600.0001"}), invalid);
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "0"}), invalid);
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "-5"}), invalid);
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "fast"}), invalid);
  EXPECT_EQ(validation({"s", "-format", "i16le", "-clock", "nan"}), invalid);
  EXPECT_EQ(validation({"s", "-format", "i16le"}), invalid);
  // -clock as the last argument is ignored, so the clock stays 0.
  const ScanResult last = Scan({"s", "-format", "i16le", "-clock"});
  EXPECT_EQ(last.settings.clockMHz, 0.0);
  EXPECT_EQ(ValidateSettings(last.settings), invalid);
  // kxzetq carries its own clock: none is needed, and any is accepted.
  EXPECT_EQ(validation({"s", "-format", "kxzetq"}), "");
  EXPECT_EQ(validation({"s", "-format", "kxzetq", "-clock", "9000"}), "");
  // The format is checked before the clock.
  EXPECT_EQ(validation({"s", "-format", "bogus"}), "*** Unknown input format.\n");

  const ScanResult parsed = Scan({"s", "-clock", "12.5e1junk", "-gain", "-3.25", "-v", "7"});
  EXPECT_DOUBLE_EQ(parsed.settings.clockMHz, 125.0);
  EXPECT_DOUBLE_EQ(parsed.settings.gainDb, -3.25);
  EXPECT_EQ(parsed.settings.verbosity, 7);
  EXPECT_EQ(Scan({"s", "-v", "many"}).settings.verbosity, 0);
  EXPECT_EQ(Scan({"s", "-v", "-2"}).settings.verbosity, -2);
  EXPECT_EQ(Scan({"s", "-v", "99999999999999"}).settings.verbosity, INT_MAX);
  EXPECT_EQ(Scan({"s"}).settings.verbosity, 1);
}

TEST(CommandLineScan, KeywordOrderLetsAValueActAsALaterKeyword) {
  // "-autoscale" comes after "-comment" in the order: stored and acting.
  const ScanResult later = Scan({"s", "-comment", "-autoscale"});
  EXPECT_EQ(later.settings.comment, "-autoscale");
  EXPECT_EQ(later.settings.autoscale, 1);
  // "-comment" comes before "-v": only stored as the number text.
  const ScanResult earlier = Scan({"s", "-v", "-comment", "x"});
  EXPECT_EQ(earlier.settings.verbosity, 0);
  EXPECT_EQ(earlier.settings.comment, "");
  // A value that is a later value-taking keyword takes the next argument too.
  const ScanResult chained = Scan({"s", "-format", "-v", "3"});
  EXPECT_EQ(chained.settings.formatName, "-v");
  EXPECT_EQ(chained.settings.verbosity, 3);
  // Options in any order, a keyword given twice keeps its last value, and the
  // flags work in any position, the last one included.
  const ScanResult mixed =
      Scan({"s", "-overwrite", "-clock", "1", "-v", "2", "-clock", "2", "stray", "-autoscale"});
  EXPECT_DOUBLE_EQ(mixed.settings.clockMHz, 2.0);
  EXPECT_EQ(mixed.settings.verbosity, 2);
  EXPECT_EQ(mixed.settings.overwrite, 1);
  EXPECT_EQ(mixed.settings.autoscale, 1);
  const ScanResult lastFlag = Scan({"s", "-format", "txt", "-overwrite"});
  EXPECT_EQ(lastFlag.settings.overwrite, 1);
  // Keywords are whole, case-sensitive strings.
  const ScanResult cased = Scan({"s", "-Autoscale", "-overwrite2", "-comments", "x"});
  EXPECT_EQ(cased.settings.autoscale, 0);
  EXPECT_EQ(cased.settings.overwrite, 0);
  EXPECT_EQ(cased.settings.comment, "");
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
  // The value after an ignored -indir is scanned as an ordinary argument.
  EXPECT_EQ(Scan({"sig.bin", "-indir", "-overwrite"}).settings.overwrite, 1);

  const ScanResult dir = Scan(
      {"-indir", "data", "-outdir", "/abs/out", "-ext", "bin", "-recursive", "-qfile", "q.bin"});
  EXPECT_EQ(dir.settings.singleFile, 0);
  EXPECT_EQ(dir.settings.inputFile, "");
  EXPECT_EQ(dir.settings.inputPath, kWorkingDir + "/data");
  EXPECT_EQ(dir.settings.outputPath, "/abs/out");
  EXPECT_EQ(dir.settings.extension, "bin");
  EXPECT_EQ(dir.settings.recursive, 1);
  EXPECT_EQ(dir.settings.qFile, "");  // single-file option
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

TEST(CommandLineThreads, CountIsAWholeNumberFromOneTo256AndSetsTheCipher) {
  const ScanResult plain = Scan({"s", "-format", "i16le"});
  EXPECT_EQ(plain.settings.threads, 0);
  EXPECT_EQ(GetCipherThreads(), DefaultWorkerThreads());

  for (const auto& [text, count] :
       std::vector<std::pair<std::string, int>>{{"1", 1}, {"3", 3}, {"256", 256}, {"016", 16}}) {
    const ScanResult r = Scan({"s", "-threads", text, "-format", "i16le"});
    EXPECT_EQ(r.ok, 1) << text;
    EXPECT_EQ(r.err, "") << text;
    EXPECT_EQ(r.settings.threads, count) << text;
    EXPECT_EQ(r.settings.formatName, "i16le") << text;
    EXPECT_EQ(GetCipherThreads(), count) << text;
  }
  // Directory mode takes it as well.
  EXPECT_EQ(Scan({"-indir", "in", "-threads", "2"}).settings.threads, 2);

  for (const std::string text :
       {"0", "257", "1000", "-1", "+4", " 4", "4 ", "2.5", "4x", "x", ""}) {
    const ScanResult r = Scan({"s", "-format", "i16le", "-threads", text});
    EXPECT_EQ(r.ok, 0) << "'" << text << "'";
    EXPECT_EQ(r.err, "*** Invalid thread count \"" + text +
                         "\" (expected a whole number from 1 to 256).\n");
  }
  Scan({"s"});  // back to the default count
  EXPECT_EQ(GetCipherThreads(), DefaultWorkerThreads());
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
  // 40 lines of the original text plus the -qfile and -threads lines, each
  // with its separator.
  ASSERT_EQ(lines.size(), 44u);
  EXPECT_EQ(lines[0],
            "usage: /opt/bin/wavora [<input file>] <options>                                    ");
  const std::string tabLine(18, '\t');
  EXPECT_EQ(lines[1], tabLine);
  EXPECT_EQ(lines[43], std::string(70, ' '));
  EXPECT_EQ(lines[27], "         i14le2       Int14, 2 files, little endian                   ");
  EXPECT_EQ(lines[28], tabLine);
  EXPECT_EQ(lines[29].rfind("    -qfile <", 0), 0u);
  EXPECT_EQ(lines[29].size(), lines[27].size());  // same style and width as its neighbours
  EXPECT_EQ(lines[30], tabLine);
  EXPECT_EQ(lines[31], "    -commment <\"comment\">       add optional comment                ");
  EXPECT_EQ(lines[35], "    -autoscale                    scale level to full scale           ");
  EXPECT_EQ(lines[36], tabLine);
  EXPECT_EQ(lines[37].rfind("    -threads <", 0), 0u);
  EXPECT_EQ(lines[37].size(), lines[35].size());
  EXPECT_EQ(lines[38], tabLine);
  EXPECT_EQ(lines[39].rfind("    -v <verbose level>", 0), 0u);
  // Every keyword of the format table is listed.
  for (const char* keyword : {"kxzetq", "txt ", "txt2ui14", "txt2ui16", "txthex", "f32be", "f32le",
                              "i16be", "i16le", "i14be2", "i14le2"}) {
    EXPECT_NE(err.find("         " + std::string(keyword)), std::string::npos) << keyword;
  }
}

}  // namespace
