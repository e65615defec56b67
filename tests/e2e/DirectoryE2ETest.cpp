// Directory mode end to end: the built program walks temporary trees with
// piped answers; every output is parsed back and compared with its input.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using ts::Count;

constexpr std::size_t kPairs = 8;
constexpr char kFinished[] = "File conversion finished successfully.";
constexpr char kAbortQuestion[] = "Do you want to abort processing (y/n) ... [y]\b\b";

// Interleaved Int16 units of one file, distinct for every seed and small
// enough that no pair reaches full scale (so nothing is scaled).
std::vector<std::int16_t> UnitsFor(int seed) {
  std::vector<std::int16_t> units;
  for (std::size_t n = 0; n < 2 * kPairs; ++n)
    units.push_back(
        static_cast<std::int16_t>((seed * 977 + static_cast<int>(n) * 1319) % 20001 - 10000));
  return units;
}

void WriteInput(const std::string& path, int seed) {
  fs::create_directories(fs::path(path).parent_path());
  ts::WriteFileBytes(path, ts::EncodeInt16(UnitsFor(seed), false));
}

// The output file parses and its words are the Int16 units of seed,
// converted as the tool converts Int16: (s - 0.5) / 32767 held as float.
void ExpectOutputOf(const std::string& wvPath, int seed) {
  SCOPED_TRACE(wvPath);
  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(wvPath), &parsed, &error)) << error;
  const std::vector<std::int16_t> units = UnitsFor(seed);
  ASSERT_EQ(parsed.words.size(), units.size());
  for (std::size_t n = 0; n < units.size(); ++n)
    EXPECT_EQ(parsed.words[n], ts::ExpectedWord(static_cast<float>((units[n] - 0.5) / 32767.0)))
        << "word " << n;
}

// A whole log line of level 1 or 8, as the console prints it after the time.
std::string Info(const std::string& text) { return "   i " + text + "\n"; }
std::string Always(const std::string& text) { return "   ! " + text + "\n"; }

// Runs directory mode with i16le data at 100 MHz and every log level shown.
ts::RunResult RunDir(const std::string& workDir, const std::string& in, const std::string& out,
                     const std::vector<std::string>& extra, const std::string& answers = "y") {
  std::vector<std::string> args = {"-indir", in,       "-outdir", out,  "-format",
                                   "i16le",  "-clock", "100",     "-v", "3"};
  args.insert(args.end(), extra.begin(), extra.end());
  return ts::RunWavoraBinary(args, workDir, answers);
}

TEST(DirectoryMode, MirrorsThreeLevelsInNameOrder) {
  ts::TempDir t;
  WriteInput(t.File("in/b.bin"), 1);
  WriteInput(t.File("in/a.bin"), 2);
  WriteInput(t.File("in/l1/c.bin"), 3);
  WriteInput(t.File("in/l1/l2/d.bin"), 4);
  WriteInput(t.File("in/l1/l2/l3/e.bin"), 5);
  fs::create_directories(t.File("in/empty"));
  fs::create_directories(t.File("out"));

  const ts::RunResult r = RunDir(t.path(), t.File("in"), t.File("out"), {"-recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find(kFinished), std::string::npos);
  ExpectOutputOf(t.File("out/a.wv"), 2);
  ExpectOutputOf(t.File("out/b.wv"), 1);
  ExpectOutputOf(t.File("out/l1/c.wv"), 3);
  ExpectOutputOf(t.File("out/l1/l2/d.wv"), 4);
  ExpectOutputOf(t.File("out/l1/l2/l3/e.wv"), 5);
  EXPECT_TRUE(fs::is_directory(t.File("out/empty")));
  EXPECT_TRUE(fs::is_empty(t.File("out/empty")));
  EXPECT_EQ(ts::ListNames(t.File("out")),
            (std::vector<std::string>{"a.wv", "b.wv", "empty", "l1"}));

  // Entries are taken in byte order of their names, each level finished
  // before the walk goes on above it.
  const std::vector<std::string> ordered = {Info("Searching in directory " + t.File("in")),
                                            "Processing file a.bin ...",
                                            "Processing file b.bin ...",
                                            Info("Descending into '" + t.File("in/empty") + "'"),
                                            Info("Finished directory " + t.File("in/empty")),
                                            Info("Descending into '" + t.File("in/l1") + "'"),
                                            "Processing file l1/c.bin ...",
                                            Info("Descending into '" + t.File("in/l1/l2/l3") + "'"),
                                            "Processing file l1/l2/l3/e.bin ...",
                                            Info("Finished directory " + t.File("in/l1")),
                                            Info("Finished directory " + t.File("in"))};
  std::size_t at = 0;
  for (const std::string& part : ordered) {
    const std::size_t found = r.out.find(part, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part;
    at = found + part.size();
  }
}

TEST(DirectoryMode, ExtensionFilterIsCaseSensitiveSuffixAfterDot) {
  ts::TempDir t;
  WriteInput(t.File("in/data.bin"), 1);
  WriteInput(t.File("in/data.BIN"), 2);
  WriteInput(t.File("in/databin"), 3);
  WriteInput(t.File("in/bin"), 4);
  WriteInput(t.File("in/x.tar.bin"), 5);
  fs::create_directories(t.File("out"));

  ts::RunResult r = RunDir(t.path(), t.File("in"), t.File("out"), {"-ext", "bin"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ts::ListNames(t.File("out")), (std::vector<std::string>{"data.wv", "x.wv"}));
  ExpectOutputOf(t.File("out/data.wv"), 1);
  ExpectOutputOf(t.File("out/x.wv"), 5);
  EXPECT_EQ(Count(r.out, "Processing file "), 2);
  EXPECT_NE(r.out.find("Processing file x.tar.bin ..."), std::string::npos);

  // Given with its dot, the extension means the same: the dot is taken off.
  fs::remove_all(t.File("out"));
  fs::create_directories(t.File("out"));
  r = RunDir(t.path(), t.File("in"), t.File("out"), {"-ext", ".bin"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ts::ListNames(t.File("out")), (std::vector<std::string>{"data.wv", "x.wv"}));
  EXPECT_EQ(Count(r.out, "Processing file "), 2);
}

TEST(DirectoryMode, SkipsDotNamesSubdirectoriesWhenNotRecursiveAndFifos) {
  ts::TempDir t;
  WriteInput(t.File("in/a.bin"), 1);
  WriteInput(t.File("in/.hidden.bin"), 2);
  WriteInput(t.File("in/.dotdir/inner.bin"), 3);
  WriteInput(t.File("in/sub/b.bin"), 4);
  ASSERT_EQ(mkfifo(t.File("in/pipe.bin").c_str(), 0600), 0);
  fs::create_directories(t.File("out"));

  // Not recursive: the subdirectory is passed over without a word. A FIFO
  // is never opened (that would block the run) but named a system file.
  ts::RunResult r = RunDir(t.path(), t.File("in"), t.File("out"), {});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ts::ListNames(t.File("out")), std::vector<std::string>{"a.wv"});
  ExpectOutputOf(t.File("out/a.wv"), 1);
  EXPECT_EQ(r.out.find("/sub"), std::string::npos);
  EXPECT_EQ(Count(r.out, Info("Ignoring system file.")), 1);
  EXPECT_EQ(Count(r.out, "Processing file "), 1);

  // Recursive: the subdirectory is walked, the dot directory still is not.
  fs::remove_all(t.File("out"));
  fs::create_directories(t.File("out"));
  r = RunDir(t.path(), t.File("in"), t.File("out"), {"-recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ts::ListNames(t.File("out")), (std::vector<std::string>{"a.wv", "sub"}));
  ExpectOutputOf(t.File("out/sub/b.wv"), 4);
  EXPECT_EQ(r.out.find(".dotdir"), std::string::npos);
  EXPECT_EQ(r.out.find(".hidden"), std::string::npos);
}

TEST(DirectoryMode, MissingInputDirectoryIsAnErrorNamingIt) {
  ts::TempDir t;
  fs::create_directories(t.File("out"));
  ts::WriteFileText(t.File("plain"), "a file, no directory");
  for (const std::string name : {"nothere", "plain"}) {
    const ts::RunResult r = ts::RunWavoraBinary(
        {"-indir", t.File(name), "-outdir", t.File("out"), "-format", "i16le", "-clock", "100"},
        t.path(), "y");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    // Shown at the default verbosity.
    EXPECT_NE(r.out.find(Always("*** Error: Input directory " + t.File(name) +
                                " does not exist or is not a directory.")),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(kFinished), std::string::npos);
    EXPECT_NE(r.out.find("*** Error processing directory."), std::string::npos);
  }
}

TEST(DirectoryMode, FailedFileAsksWhetherToAbort) {
  ts::TempDir t;
  WriteInput(t.File("in/a.bin"), 1);
  WriteInput(t.File("in/b.bin"), 2);
  const std::string missingOut = t.File("nowhere");

  // "n" goes on after each failure; the run still fails, with the counts.
  ts::RunResult r = RunDir(t.path(), t.File("in"), missingOut, {}, "ynn");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(Count(r.out, kAbortQuestion), 2);
  EXPECT_NE(r.out.find("Processing file b.bin ..."), std::string::npos);
  EXPECT_EQ(r.out.find(kFinished), std::string::npos);
  EXPECT_NE(r.out.find("   0 converted, 2 failed, 0 skipped\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Error processing directory."), std::string::npos);
  EXPECT_FALSE(fs::exists(missingOut));

  // Enter takes the default and aborts at the first failure.
  r = RunDir(t.path(), t.File("in"), missingOut, {}, "y\n");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(Count(r.out, kAbortQuestion), 1);
  EXPECT_EQ(r.out.find("Processing file b.bin ..."), std::string::npos);
  EXPECT_NE(r.out.find("   0 converted, 1 failed, 0 skipped\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Error processing directory."), std::string::npos);
}

// The closing counts: every file the walk met and did not convert on purpose
// is skipped; files the extension filter passes over are not counted.
TEST(DirectoryMode, CountsConvertedFailedAndSkippedFiles) {
  ts::TempDir t;
  WriteInput(t.File("in/a.bin"), 1);
  WriteInput(t.File("in/b.bin"), 2);
  WriteInput(t.File("in/.hidden.bin"), 3);
  WriteInput(t.File("in/other.txt"), 4);
  ts::WriteFileText(t.File("in/odd.bin"), "odd");  // 3 bytes: no whole sample pair
  ASSERT_EQ(mkfifo(t.File("in/pipe.bin").c_str(), 0600), 0);
  fs::create_directories(t.File("out"));
  const ts::RunResult r = RunDir(t.path(), t.File("in"), t.File("out"), {"-ext", "bin"}, "yn");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("   2 converted, 1 failed, 2 skipped\n"), std::string::npos) << r.out;
  EXPECT_EQ(ts::ListNames(t.File("out")), (std::vector<std::string>{"a.wv", "b.wv"}));

  // Without a failure the run ends as a success, after the counts.
  fs::remove(t.File("in/odd.bin"));
  fs::remove_all(t.File("out"));
  fs::create_directories(t.File("out"));
  const ts::RunResult ok = RunDir(t.path(), t.File("in"), t.File("out"), {"-ext", "bin"});
  EXPECT_EQ(ok.exitCode, 0) << ok.out;
  const std::size_t counts = ok.out.find("   2 converted, 0 failed, 2 skipped\n");
  ASSERT_NE(counts, std::string::npos) << ok.out;
  EXPECT_GT(ok.out.find(kFinished), counts);
}

// Two inputs named alike up to the first dot map to one output: the later
// one fails, naming both, and never replaces the earlier one's output.
TEST(DirectoryMode, LaterInputNeverReplacesAnOutputOfTheSameRun) {
  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "-overwrite" : "no -overwrite");
    ts::TempDir t;
    WriteInput(t.File("in/burst.1.cf32"), 1);
    WriteInput(t.File("in/burst.2.cf32"), 2);
    WriteInput(t.File("in/next.bin"), 3);
    fs::create_directories(t.File("out"));
    std::vector<std::string> extra;
    if (overwrite) extra.push_back("-overwrite");
    const ts::RunResult r = RunDir(t.path(), t.File("in"), t.File("out"), extra, "yn");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(
        r.out.find(Always("*** Error: " + t.File("in/burst.2.cf32") +
                          " is not converted: its output " + t.File("out/burst.wv") +
                          " was written from " + t.File("in/burst.1.cf32") + " in this run.")),
        std::string::npos)
        << r.out;
    EXPECT_EQ(Count(r.out, kAbortQuestion), 1);
    EXPECT_NE(r.out.find("   2 converted, 1 failed, 0 skipped\n"), std::string::npos) << r.out;
    ExpectOutputOf(t.File("out/burst.wv"), 1);
    ExpectOutputOf(t.File("out/next.wv"), 3);
  }
}

// Directories are known by identity: a link loop is entered once, and the
// output root is never walked, whichever way a link joins the two trees.
TEST(DirectoryMode, LinksNeverLeadTheWalkIntoALoopOrItsOwnOutput) {
  ts::TempDir t;
  WriteInput(t.File("in/a.bin"), 1);
  WriteInput(t.File("in/sub/b.bin"), 2);
  fs::create_directory_symlink(t.File("in"), t.File("in/sub/loop"));
  fs::create_directories(t.File("out"));
  fs::create_directory_symlink(t.File("out"), t.File("in/outlink"));  // input tree links to output
  ts::RunResult r = RunDir(t.path(), t.File("in"), t.File("out"), {"-recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, "Processing file "), 2);
  EXPECT_NE(r.out.find(Info("Skipping directory '" + t.File("in/sub/loop") +
                            "': it has been walked already.")),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(Info("Skipping directory '" + t.File("in/outlink") +
                            "': it is the output directory.")),
            std::string::npos);
  EXPECT_EQ(ts::ListNames(t.File("out")), (std::vector<std::string>{"a.wv", "sub"}));
  EXPECT_EQ(ts::ListNames(t.File("out/sub")), std::vector<std::string>{"b.wv"});

  // -outdir given as a link to a folder inside -indir.
  ts::TempDir u;
  WriteInput(u.File("in/a.bin"), 1);
  fs::create_directories(u.File("in/results"));
  fs::create_directory_symlink(u.File("in/results"), u.File("outlink"));
  r = RunDir(u.path(), u.File("in"), u.File("outlink"), {"-recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, "Processing file "), 1);
  EXPECT_NE(r.out.find(Info("Skipping directory '" + u.File("in/results") +
                            "': it is the output directory.")),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ts::ListNames(u.File("in/results")), std::vector<std::string>{"a.wv"});
}

TEST(DirectoryMode, EqualPathsAskAndNeverReadTheirOwnOutput) {
  ts::TempDir t;
  WriteInput(t.File("d/a.bin"), 1);
  WriteInput(t.File("d/a.wv"), 2);  // raw data under an output name, replaced by a.bin's output
  const std::string question = "In- and Out-paths are equal! Is this OK? (y/n) ... [n]\b\b";

  ts::RunResult r = RunDir(t.path(), t.File("d"), t.File("d"), {"-overwrite"}, "y\n");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find(question), std::string::npos);
  EXPECT_EQ(r.out.find("Processing file"), std::string::npos);
  EXPECT_EQ(ts::ReadFileBytes(t.File("d/a.wv")), ts::EncodeInt16(UnitsFor(2), false));

  r = RunDir(t.path(), t.File("d"), t.File("d"), {"-overwrite"}, "yy");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, "Processing file "), 1);
  EXPECT_NE(r.out.find(Info("Skipping output file a.wv")), std::string::npos);
  ExpectOutputOf(t.File("d/a.wv"), 1);
}

TEST(DirectoryMode, OutputTreeInsideInputTreeConvertsEachInputOnce) {
  ts::TempDir t;
  WriteInput(t.File("data/x.bin"), 1);
  WriteInput(t.File("data/sub/y.bin"), 2);
  fs::create_directories(t.File("data/out"));

  const ts::RunResult r =
      ts::RunWavoraBinary({"-indir", "data", "-outdir", "data/out", "-recursive", "-format",
                           "i16le", "-clock", "100", "-v", "3"},
                          t.path(), "y");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, "Processing file "), 2);
  EXPECT_EQ(ts::ListNames(t.File("data/out")), (std::vector<std::string>{"sub", "x.wv"}));
  EXPECT_EQ(ts::ListNames(t.File("data/out/sub")), std::vector<std::string>{"y.wv"});
  ExpectOutputOf(t.File("data/out/x.wv"), 1);
  ExpectOutputOf(t.File("data/out/sub/y.wv"), 2);
}

TEST(DirectoryMode, LeftoverTemporaryFilesInWorkingDirectoryAreNotInput) {
  ts::TempDir t;
  WriteInput(t.File("a.bin"), 1);
  WriteInput(t.File("_temp_.dat"), 2);  // left over by an interrupted run
  fs::create_directories(t.File("out"));

  // -indir defaults to the working directory, where the temporary files live.
  const ts::RunResult r = ts::RunWavoraBinary(
      {"-outdir", "out", "-format", "i16le", "-clock", "100", "-v", "3"}, t.path(), "y");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, Info("Ignoring temporary file.")), 1);
  EXPECT_EQ(Count(r.out, kAbortQuestion), 0);
  EXPECT_EQ(ts::ListNames(t.File("out")), std::vector<std::string>{"a.wv"});
  ExpectOutputOf(t.File("out/a.wv"), 1);
}

// Builds root/<100 x 'a'>/... so that root's deepest directory path has
// exactly the given length; returns that path.
std::string MakeDeepDirectory(const std::string& root, std::size_t length) {
  std::string path = root;
  while (length - path.size() - 1 > 120) path += "/" + std::string(100, 'a');
  path += "/" + std::string(length - path.size() - 1, 'z');
  fs::create_directories(path);
  return path;
}

TEST(DirectoryMode, SubdirectoryPathOf259IsWalkedAnd260Skipped) {
  ts::TempDir t;
  fs::create_directories(t.File("o"));
  const std::string deepest = MakeDeepDirectory(t.File("i"), 259);
  ASSERT_EQ(deepest.size(), 259u);
  ts::RunResult r = RunDir(t.path(), t.File("i"), t.File("o"), {"-recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find(Info("Descending into '" + deepest + "'")), std::string::npos);
  EXPECT_TRUE(fs::is_directory(t.File("o") + deepest.substr(t.File("i").size())));

  fs::create_directories(t.File("p"));
  const std::string tooLong = MakeDeepDirectory(t.File("j"), 260);
  ASSERT_EQ(tooLong.size(), 260u);
  // A file beside the long directory's parent is converted all the same.
  ts::WriteFileBytes(t.File("j") + "/z.bin", ts::Bytes(16, 1));
  r = RunDir(t.path(), t.File("j"), t.File("p"), {"-recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, Always("Skipping directory '" + tooLong +
                                "': its path is longer than 259 characters.")),
            1)
      << r.out;
  EXPECT_NE(r.out.find("1 converted, 0 failed, 1 skipped"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(t.File("p") + tooLong.substr(t.File("j").size())));
}

TEST(DirectoryMode, TwoFilePairIsConvertedOnceFromBothFiles) {
  ts::TempDir t;
  // Int14 words: I from sig_I.bin, Q from sig_Q.bin, both near mid-scale.
  std::vector<std::int16_t> iWords, qWords;
  for (std::size_t n = 0; n < kPairs; ++n) {
    iWords.push_back(static_cast<std::int16_t>(8192 + 311 * static_cast<int>(n) - 1000));
    qWords.push_back(static_cast<std::int16_t>(8192 - 257 * static_cast<int>(n) + 500));
  }
  fs::create_directories(t.File("in"));
  fs::create_directories(t.File("out"));
  ts::WriteFileBytes(t.File("in/sig_I.bin"), ts::EncodeInt16(iWords, false));
  ts::WriteFileBytes(t.File("in/sig_Q.bin"), ts::EncodeInt16(qWords, false));

  const ts::RunResult r = ts::RunWavoraBinary({"-indir", t.File("in"), "-outdir", t.File("out"),
                                               "-format", "i14le2", "-clock", "100", "-v", "3"},
                                              t.path(), "y");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Count(r.out, "Processing file "), 1);
  EXPECT_EQ(Count(r.out, Info("Skipping Q data file sig_Q.bin")), 1);
  EXPECT_EQ(ts::ListNames(t.File("out")), std::vector<std::string>{"sig_I.wv"});

  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::ReadFileBytes(t.File("out/sig_I.wv")), &parsed, &error))
      << error;
  ASSERT_EQ(parsed.words.size(), 2 * kPairs);
  auto expected = [](std::int16_t word) {
    return ts::ExpectedWord(static_cast<float>(2.0 * ((word - 0.5) / 16383.0 - 0.5)));
  };
  for (std::size_t n = 0; n < kPairs; ++n) {
    EXPECT_EQ(parsed.words[2 * n], expected(iWords[n])) << "I " << n;
    EXPECT_EQ(parsed.words[2 * n + 1], expected(qWords[n])) << "Q " << n;
  }
}

}  // namespace
