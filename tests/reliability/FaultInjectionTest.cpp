// Whole conversions, exports and previews run in-process with a file
// operation failing at every point: each run must end with exit code 1 and
// "*** " lines, or with the same output as a run without the fault, and must
// never leave a temporary file, a partial output, an open file or a busy
// stream slot behind, nor change an existing destination it did not replace.
// Standard output, which cannot take back what it was given, holds at most
// the start of the output after a failed run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "app/Console.h"
#include "app/Wavora.h"
#include "import/FormatFileBuilders.h"
#include "platform/FaultInjection.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"
#include "waveform/MarkerStream.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
namespace faults = platform::faults;
using faults::Fault;
using faults::FileOp;

// ---- running the program in this process ----

struct InProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Points a standard descriptor at a file for the lifetime of the object.
class DescriptorRedirect {
 public:
  DescriptorRedirect(int target, const std::string& path, int flags) : target_(target) {
    std::fflush(stdout);
    saved_ = dup(target);
    const int fd = open(path.c_str(), flags, 0644);
    dup2(fd, target);
    close(fd);
  }
  ~DescriptorRedirect() {
    std::fflush(stdout);
    dup2(saved_, target_);
    close(saved_);
  }
  DescriptorRedirect(const DescriptorRedirect&) = delete;
  DescriptorRedirect& operator=(const DescriptorRedirect&) = delete;

 private:
  int target_;
  int saved_;
};

// RunWavora with the arguments, the working directory workDir, standard
// input read from stdinPath (none: an empty one, so that every question takes
// its default and an abort question aborts), standard output captured and,
// with captureErr, standard error.
InProcessResult RunInProcess(const std::vector<std::string>& args, const std::string& workDir,
                             const std::string& stdinPath = "", bool captureErr = false) {
  ts::TempDir io;
  ts::WriteFileText(io.File("stdin"), "");
  std::vector<std::string> argStore = {"wavora"};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStore) argv.push_back(arg.data());
  argv.push_back(nullptr);

  InProcessResult result;
  {
    ts::ScopedWorkingDir cwd(workDir);
    DescriptorRedirect in(STDIN_FILENO, stdinPath.empty() ? io.File("stdin") : stdinPath, O_RDONLY);
    std::clearerr(stdin);
    DescriptorRedirect out(STDOUT_FILENO, io.File("stdout"), O_WRONLY | O_CREAT | O_TRUNC);
    std::optional<DescriptorRedirect> err;
    if (captureErr) err.emplace(STDERR_FILENO, io.File("stderr"), O_WRONLY | O_CREAT | O_TRUNC);
    result.exitCode = RunWavora(static_cast<int>(argStore.size()), argv.data());
  }
  std::clearerr(stdin);
  SetLogSink(nullptr);
  const ts::Bytes bytes = ts::ReadFileBytes(io.File("stdout"));
  result.out.assign(bytes.begin(), bytes.end());
  if (captureErr) {
    const ts::Bytes errBytes = ts::ReadFileBytes(io.File("stderr"));
    result.err.assign(errBytes.begin(), errBytes.end());
  }
  return result;
}

// Open descriptors of this process; -1 where the system does not list them.
int OpenDescriptorCount() {
  std::error_code error;
  fs::directory_iterator entries("/proc/self/fd", error);
  if (error) return -1;
  int count = 0;
  for ([[maybe_unused]] const auto& entry : entries) ++count;
  return count;
}

// ---- inputs ----

void WriteI16Tone(const std::string& path, std::size_t pairs, double amplitude, double cycles) {
  ts::WriteFileBytes(path, ts::EncodeInt16(ts::MakeInt16IqTone(pairs, amplitude, cycles), false));
}

// A KVG waveform file with two marker lists and words that follow a ramp.
std::string MakeKvgFileWithMarkers(int pairs) {
  return ts::WaveFileBuilder()
      .Tag("TYPE", " KVG-WV,0")
      .Tag("COMMENT", "fault test")
      .Tag("CLOCK", "1000000")
      .Tag("SAMPLES", std::to_string(pairs))
      .Tag("CONTROL LENGTH", std::to_string(pairs))
      .Tag("MARKER LIST 1", " 0:1;10:0;40:1")
      .Tag("MARKER LIST 2", " 0:0;20:1;30:0")
      .Data(ts::MakeWords(pairs, [](int k, int q) { return q ? 7000 - k * 200 : k * 300 - 9000; }))
      .bytes();
}

// ---- the checks ----

// Output bytes without the DATE tag, the one part that differs between runs.
std::string WithoutDate(const ts::Bytes& bytes) {
  std::string text(bytes.begin(), bytes.end());
  const std::size_t start = text.find("{DATE:");
  if (start != std::string::npos) text.erase(start, text.find('}', start) + 1 - start);
  return text;
}

// Every file below root, by path relative to it.
std::map<std::string, ts::Bytes> FilesBelow(const std::string& root) {
  std::map<std::string, ts::Bytes> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), root).generic_string()] =
          ts::ReadFileBytes(entry.path().string());
  }
  return files;
}

// The text of a console line: a log line without "> ", its time stamp and
// its level tag.
std::string MessageText(const std::string& line) {
  if (line.rfind("> ", 0) != 0 || line.size() < 13) return line;
  std::string text = line.substr(13);  // "> HH:MM:SS   "
  if (text.size() >= 2 && text[1] == ' ' && std::string("iwe!").find(text[0]) != std::string::npos)
    text = text.substr(2);
  return text;
}

// Lines that tell of a failure must begin with "*** ".
std::vector<std::string> FailureLinesWithoutMark(const std::string& out) {
  std::vector<std::string> bad;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string text = MessageText(out.substr(start, end - start));
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool tellsOfFailure =
        lower.find("error") != std::string::npos || lower.find("fail") != std::string::npos ||
        lower.find("cannot") != std::string::npos || lower.find("invalid") != std::string::npos;
    // The closing counts of directory mode name failures without being one.
    static const std::regex kCountsLine(R"(\d+ converted, \d+ failed, \d+ skipped)");
    if (tellsOfFailure && text.rfind("*** ", 0) != 0 && text.rfind("***  ", 0) != 0 &&
        !std::regex_match(text, kCountsLine))
      bad.push_back(text);
    start = end + 1;
  }
  return bad;
}

// A failed run names its cause: in a log line ("> ..."), or, when it fails
// before the processing logs anything, in a "*** " line of its own beside
// the closing failure line.
bool CauseNamed(const std::string& log, const std::string& failureLine) {
  if (log.find("> ") != std::string::npos) return true;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    if (line.rfind("*** ", 0) == 0 && (failureLine.empty() || line.rfind(failureLine, 0) != 0))
      return true;
    start = end + 1;
  }
  return false;
}

struct Scenario {
  std::string name;
  std::function<void(const std::string& root)> makeInputs;
  std::string workSubdir;  // working directory below the root ("" for the root)
  std::vector<std::string> args;
  std::vector<std::string> outputs;  // relative to the root
  // An existing destination that -overwrite may replace; "" for none.
  std::string existingDestination;
  // Faults go only into these operations; empty: into every operation.
  std::vector<FileOp> faultedOps;
  // Standard input is read from this file below the root ("" for none).
  std::string stdinInput;
  // The output goes to standard output (-out -); the log is then on standard error.
  bool outputOnStdout = false;
  // The line a failed run prints; "" for any "*** " line (-export, -preview).
  std::string failureLine = "*** Error processing ";
};

// The key of standard output among the outputs of a run.
const char kStdoutKey[] = "<standard output>";

const char kOldDestination[] = "an older file that only a successful run may replace";

struct RunOutcome {
  InProcessResult result;
  std::map<std::string, ts::Bytes> files;
};

RunOutcome RunScenario(const Scenario& scenario) {
  ts::TempDir root;
  scenario.makeInputs(root.path());
  if (!scenario.existingDestination.empty())
    ts::WriteFileText(root.File(scenario.existingDestination), kOldDestination);
  const std::string workDir =
      scenario.workSubdir.empty() ? root.path() : root.File(scenario.workSubdir);
  RunOutcome outcome;
  outcome.result = RunInProcess(scenario.args, workDir,
                                scenario.stdinInput.empty() ? "" : root.File(scenario.stdinInput),
                                scenario.outputOnStdout);
  outcome.files = FilesBelow(root.path());
  return outcome;
}

// Checks one run against the inputs and the outputs of the run without fault.
void CheckRun(const Scenario& scenario, const RunOutcome& run,
              const std::map<std::string, ts::Bytes>& inputs,
              const std::map<std::string, std::string>& goodOutputs, const std::string& what) {
  SCOPED_TRACE(scenario.name + ", " + what);
  const int exitCode = run.result.exitCode;
  ASSERT_TRUE(exitCode == 0 || exitCode == 1) << exitCode;
  const std::string& log = scenario.outputOnStdout ? run.result.err : run.result.out;
  EXPECT_TRUE(FailureLinesWithoutMark(log).empty())
      << "first unmarked failure line: " << FailureLinesWithoutMark(log).front();
  if (exitCode == 1) {
    const std::string line = scenario.failureLine.empty() ? "*** " : scenario.failureLine;
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_TRUE(CauseNamed(log, scenario.failureLine)) << "no log line names the cause:\n" << log;
  }
  if (scenario.outputOnStdout) {
    if (exitCode == 0) {
      EXPECT_EQ(WithoutDate(ts::Bytes(run.result.out.begin(), run.result.out.end())),
                goodOutputs.at(kStdoutKey))
          << "standard output differs";
    } else {
      // A stream cannot take back what it was given: a copy that fails on
      // the way leaves the start of the output, never other bytes.
      const std::string part = WithoutDate(ts::Bytes(run.result.out.begin(), run.result.out.end()));
      const std::string& whole = goodOutputs.at(kStdoutKey);
      EXPECT_TRUE(part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0)
          << run.result.out.size() << " bytes of a failed run on standard output";
    }
  }

  for (const auto& [path, bytes] : run.files) {
    const std::string name = fs::path(path).filename().string();
    EXPECT_NE(name, "_temp_.dat") << path;
    EXPECT_NE(name, "_mkr_.dat") << path;
    if (inputs.count(path) != 0) {
      EXPECT_EQ(bytes, inputs.at(path)) << "input changed: " << path;
      continue;
    }
    if (path == scenario.existingDestination && exitCode == 1) {
      EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kOldDestination)
          << "a failed run changed the existing destination";
      continue;
    }
    // Anything else must be a complete output, equal to the good one.
    ASSERT_EQ(goodOutputs.count(path), 1u) << "unexpected file left: " << path;
    EXPECT_EQ(WithoutDate(bytes), goodOutputs.at(path)) << "output differs: " << path;
  }
  if (exitCode == 0) {
    for (const auto& [path, text] : goodOutputs) {
      if (path == kStdoutKey) continue;
      EXPECT_EQ(run.files.count(path), 1u) << "a successful run lacks " << path;
    }
  }
  for (int index = 0; index < kSlotCount; ++index) {
    const StreamSlot& slot = GetStreamSlot(index);
    EXPECT_TRUE(slot.rbuffer == nullptr && slot.wbuffer == nullptr) << "slot " << index << " busy";
  }
}

// Runs the scenario once without faults, then once with a failure at every
// file operation, and once with a short write at every write. Returns the
// number of faults injected.
int RunWithEveryFault(const Scenario& scenario) {
  std::map<std::string, ts::Bytes> inputs;
  {
    ts::TempDir probe;
    scenario.makeInputs(probe.path());
    inputs = FilesBelow(probe.path());
  }

  faults::Reset();
  faults::SetRecording(true);
  const RunOutcome good = RunScenario(scenario);
  const std::vector<FileOp> calls = faults::RecordedCalls();
  faults::SetRecording(false);
  EXPECT_EQ(good.result.exitCode, 0) << good.result.out << good.result.err;
  std::map<std::string, std::string> goodOutputs;
  for (const std::string& output : scenario.outputs) {
    EXPECT_EQ(good.files.count(output), 1u) << scenario.name << ": no output " << output;
    if (good.files.count(output) != 0) goodOutputs[output] = WithoutDate(good.files.at(output));
  }
  if (scenario.outputOnStdout) {
    EXPECT_FALSE(good.result.out.empty()) << scenario.name << ": nothing on standard output";
    goodOutputs[kStdoutKey] =
        WithoutDate(ts::Bytes(good.result.out.begin(), good.result.out.end()));
  }
  if (::testing::Test::HasFailure()) return 0;

  int injected = 0;
  const int descriptorsBefore = OpenDescriptorCount();
  for (std::size_t k = 1; k <= calls.size(); ++k) {
    const std::vector<FileOp>& only = scenario.faultedOps;
    if (!only.empty() && std::find(only.begin(), only.end(), calls[k - 1]) == only.end()) continue;
    std::vector<Fault> kinds = {Fault::kFail};
    if (calls[k - 1] == FileOp::kWrite) kinds.push_back(Fault::kShortWrite);
    for (Fault kind : kinds) {
      const std::string what = std::string(kind == Fault::kFail ? "failed " : "short ") +
                               faults::FileOpName(calls[k - 1]) + " at call " + std::to_string(k);
      faults::Arm(k, kind);
      const RunOutcome run = RunScenario(scenario);
      const bool delivered = faults::FaultDelivered();
      faults::Reset();
      ++injected;
      EXPECT_TRUE(delivered) << what << ": the run took another path before the fault";
      CheckRun(scenario, run, inputs, goodOutputs, what);
      EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore) << what << ": a file was left open";
      if (::testing::Test::HasFailure()) return injected;
    }
  }
  std::printf("[ faults   ] %s: %zu file operations, %d faults injected\n", scenario.name.c_str(),
              calls.size(), injected);
  return injected;
}

TEST(FaultInjection, RawBinaryOverwritingAnExistingDestination) {
  Scenario scenario;
  scenario.name = "raw i16le with -autoscale -overwrite";
  scenario.makeInputs = [](const std::string& root) {
    WriteI16Tone(root + "/tone.bin", 300, 0.5, 3.0);
  };
  scenario.args = {"tone.bin", "-format", "i16le", "-clock", "100", "-autoscale", "-overwrite"};
  scenario.outputs = {"_tone.wv"};
  scenario.existingDestination = "_tone.wv";
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

TEST(FaultInjection, AsciiPairWithTags) {
  Scenario scenario;
  scenario.name = "txt2ui14 pair";
  scenario.makeInputs = [](const std::string& root) {
    std::string iFile = "!COMMENT= pair under faults\n# I values\n";
    std::string qFile = "!CLOCKRATE=2e6\n";
    for (int k = 0; k < 120; ++k) {
      // The corners of the 14-bit range lie above full scale, so the import
      // scales the data down in a second pass over the temporary file.
      iFile += std::to_string((k * 977) % 16384) + (k % 6 == 5 ? "\n" : " ");
      qFile += std::to_string((k * 331 + 5) % 16384) + (k % 4 == 3 ? "\n" : ", ");
    }
    ts::WriteFileText(root + "/sigI.txt", iFile);
    ts::WriteFileText(root + "/sigQ.txt", qFile);
  };
  scenario.args = {"sigI.txt", "-format", "txt2ui14", "-clock", "10"};
  scenario.outputs = {"_sigI.wv"};
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

TEST(FaultInjection, KxzetqWithMarkerLists) {
  Scenario scenario;
  scenario.name = "kxzetq with markers";
  scenario.makeInputs = [](const std::string& root) {
    ts::WriteFileText(root + "/old.wv", MakeKvgFileWithMarkers(64));
  };
  scenario.args = {"old.wv", "-format", "kxzetq", "-gain", "1.5"};
  scenario.outputs = {"_old.wv"};
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

TEST(FaultInjection, DirectoryTree) {
  Scenario scenario;
  scenario.name = "recursive directory walk";
  scenario.makeInputs = [](const std::string& root) {
    fs::create_directories(root + "/in/sub/deeper");
    fs::create_directories(root + "/out");
    fs::create_directories(root + "/work");
    WriteI16Tone(root + "/in/a.bin", 40, 0.9, 1.0);
    WriteI16Tone(root + "/in/sub/b.bin", 50, 0.3, 2.0);
    WriteI16Tone(root + "/in/sub/deeper/c.bin", 60, 0.6, 5.0);
  };
  scenario.workSubdir = "work";
  scenario.args = {"-indir",  "../in", "-outdir", "../out", "-recursive",
                   "-format", "i16le", "-clock",  "50"};
  scenario.outputs = {"out/a.wv", "out/sub/b.wv", "out/sub/deeper/c.wv"};
  EXPECT_GT(RunWithEveryFault(scenario), 40);
}

TEST(FaultInjection, Rf64WavWithItsOwnClock) {
  Scenario scenario;
  scenario.name = "RF64 WAV, 24-bit, clock from the file";
  scenario.makeInputs = [](const std::string& root) {
    format_files::WavSpec spec;
    spec.container = "RF64";
    spec.bits = 24;
    spec.oddChunkBefore = true;
    for (int k = 0; k < 600; ++k) format_files::PutLE(spec.data, (k * 40009) & 0xFFFFFF, 3);
    ts::WriteFileBytes(root + "/cap.wav", format_files::MakeWav(spec));
  };
  scenario.args = {"cap.wav", "-format", "wav", "-autoscale"};
  scenario.outputs = {"_cap.wv"};
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

TEST(FaultInjection, AutoDirectoryWithSigmfNumpyAndCu8) {
  Scenario scenario;
  scenario.name = "-format auto over SigMF, NumPy and cu8 files";
  scenario.makeInputs = [](const std::string& root) {
    fs::create_directories(root + "/in");
    fs::create_directories(root + "/out");
    format_files::Bytes samples;
    for (int k = 0; k < 96; ++k) samples.push_back(static_cast<unsigned char>(k * 37));
    ts::WriteFileBytes(root + "/in/a.sigmf-data", samples);
    ts::WriteFileText(root + "/in/a.sigmf-meta",
                      format_files::MakeSigmfMeta("\"core:datatype\": \"cu8\", "
                                                  "\"core:description\": \"faults\""));
    ts::WriteFileBytes(root + "/in/b.npy",
                       format_files::MakeNpy(1, "<i2", "(24, 2)", false, samples));
    ts::WriteFileBytes(root + "/in/c.cu8", samples);
    ts::WriteFileText(root + "/in/d.txt", "not samples");
  };
  scenario.args = {"-indir", "in", "-outdir", "out", "-format", "auto", "-clock", "20"};
  scenario.outputs = {"out/a.wv", "out/b.wv", "out/c.wv"};
  EXPECT_GT(RunWithEveryFault(scenario), 40);
}

// A marker stream longer than one 16 MiB chunk: a failed chunk write of the
// marker file once dropped that chunk while the reader went on, and the run
// succeeded with the markers of later positions in the output.
TEST(FaultInjection, KxzetqMarkerStreamLongerThanOneChunk) {
  Scenario scenario;
  scenario.name = "kxzetq with a marker stream longer than one chunk";
  scenario.makeInputs = [](const std::string& root) {
    const std::string file =
        ts::WaveFileBuilder()
            .Tag("TYPE", " KVG-WV,0")
            .Tag("CLOCK", "1000000")
            .Tag("CONTROL LENGTH", "16777300")
            .Tag("MARKER LIST 1", " 0:1;16777250:0")
            .Tag("MARKER LIST 2", " 0:0;3:1;16777260:1")
            .Data(ts::MakeWords(10, [](int k, int q) { return q ? 0x0200 : 0x0100 + k; }))
            .bytes();
    ts::WriteFileText(root + "/long.wv", file);
  };
  scenario.args = {"long.wv", "-format", "kxzetq"};
  scenario.outputs = {"_long.wv"};
  // Each run moves several 16 MiB chunks; the other operations are the same
  // as in the small kxzetq case above.
  scenario.faultedOps = {FileOp::kWrite, FileOp::kRead};
  EXPECT_GT(RunWithEveryFault(scenario), 10);
}

TEST(FaultInjection, ExportSigmfOfMarkerLists) {
  Scenario scenario;
  scenario.name = "-export sigmf of a file with marker lists";
  scenario.makeInputs = [](const std::string& root) {
    ts::WriteFileText(root + "/old.wv", MakeKvgFileWithMarkers(64));
  };
  scenario.args = {"old.wv", "-export", "sigmf", "-out", "rec"};
  scenario.outputs = {"rec.sigmf-data", "rec.sigmf-meta"};
  scenario.failureLine = "";
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

TEST(FaultInjection, ExportWavOverwritingAnExistingDestination) {
  Scenario scenario;
  scenario.name = "-export wav -overwrite";
  scenario.makeInputs = [](const std::string& root) {
    ts::WriteFileText(root + "/old.wv", MakeKvgFileWithMarkers(64));
  };
  scenario.args = {"old.wv", "-export", "wav", "-overwrite"};
  scenario.outputs = {"old.wav"};
  scenario.existingDestination = "old.wav";
  scenario.failureLine = "";
  EXPECT_GT(RunWithEveryFault(scenario), 10);
}

TEST(FaultInjection, PreviewOfMarkerLists) {
  Scenario scenario;
  scenario.name = "-preview of a file with marker lists";
  scenario.makeInputs = [](const std::string& root) {
    ts::WriteFileText(root + "/old.wv", MakeKvgFileWithMarkers(64));
  };
  scenario.args = {"old.wv", "-preview", "p.svg"};
  scenario.outputs = {"p.svg"};
  scenario.failureLine = "";
  EXPECT_GT(RunWithEveryFault(scenario), 10);
}

TEST(FaultInjection, SigmfArchiveWithAnnotations) {
  Scenario scenario;
  scenario.name = "SigMF archive with marker annotations";
  scenario.makeInputs = [](const std::string& root) {
    format_files::Bytes samples;
    for (int k = 0; k < 400; ++k) format_files::PutLE(samples, (k * 7919) & 0xFFFF, 2);
    std::string meta = format_files::MakeSigmfMeta(
        "\"core:datatype\": \"ci16_le\", \"core:sample_rate\": 2e6, "
        "\"core:description\": \"archive under faults\"");
    meta.replace(meta.find("\"annotations\": []"), 17,
                 "\"annotations\": [{\"core:label\": \"marker 2\", \"core:sample_start\": 10, "
                 "\"core:sample_count\": 40}]");
    ts::WriteFileBytes(
        root + "/rec.sigmf",
        format_files::Archive(
            {format_files::TarMember("rec/rec.sigmf-meta", '0', format_files::Text(meta)),
             format_files::TarMember("rec/rec.sigmf-data", '0', samples)}));
  };
  scenario.args = {"rec.sigmf", "-format", "sigmf"};
  scenario.outputs = {"_rec.wv"};
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

TEST(FaultInjection, StandardInputToStandardOutput) {
  Scenario scenario;
  scenario.name = "standard input to standard output";
  scenario.makeInputs = [](const std::string& root) {
    fs::create_directories(root + "/work");
    WriteI16Tone(root + "/tone.bin", 300, 0.5, 3.0);
  };
  scenario.workSubdir = "work";
  scenario.stdinInput = "tone.bin";
  scenario.args = {"-", "-format", "i16le", "-clock", "10", "-out", "-", "-rms", "3"};
  scenario.outputOnStdout = true;
  EXPECT_GT(RunWithEveryFault(scenario), 20);
}

// Marker lists merged into the marker stream while they are read (few change
// points kept), and again at the data tag: a failed read or write in either
// pass fails the run.
TEST(FaultInjection, KxzetqMarkerListsMergedIntoTheStream) {
  Scenario scenario;
  scenario.name = "kxzetq with marker lists merged into the stream";
  scenario.makeInputs = [](const std::string& root) {
    ts::WaveFileBuilder file;
    file.Tag("TYPE", " KVG-WV,0").Tag("CLOCK", "1000000").Tag("CONTROL LENGTH", "80");
    for (int m = 1; m <= 4; ++m) {
      std::vector<std::pair<int, int>> entries;
      for (int k = 0; k < 12; ++k) entries.push_back({k * 6 + m, (k + m) % 2});
      file.Tag("MARKER LIST " + std::to_string(m), ts::ListText<int>(entries));
    }
    file.Data(ts::MakeWords(80, [](int k, int q) { return q ? 3000 - k * 70 : k * 90 - 4000; }));
    ts::WriteFileText(root + "/lists.wv", file.bytes());
  };
  scenario.args = {"lists.wv", "-format", "kxzetq"};
  scenario.outputs = {"_lists.wv"};
  SetMarkerChangeLimit(3);
  EXPECT_GT(RunWithEveryFault(scenario), 40);
  SetMarkerChangeLimit(kDefaultMarkerChangeLimit);
}

// ---- the seam itself, and the faults it uncovered ----

TEST(FaultSeam, FailsOnlyTheArmedCallAndCountsEveryCall) {
  ts::TempDir dir;
  const std::string path = dir.File("f.bin");
  faults::Arm(2, Fault::kFail);
  std::FILE* first = platform::OpenFile(path, "wb");
  std::FILE* second = platform::OpenFile(path, "rb");
  EXPECT_TRUE(faults::FaultDelivered());
  std::FILE* third = platform::OpenFile(path, "rb");
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(platform::CloseFile(first), 0);
  EXPECT_EQ(platform::CloseFile(third), 0);
  EXPECT_EQ(faults::CallCount(), 5u);
  faults::Reset();
}

TEST(FaultSeam, ShortWriteStoresHalfAndMarksTheStreamUntilRewound) {
  ts::TempDir dir;
  const std::string path = dir.File("f.bin");
  std::FILE* file = platform::OpenFile(path, "w+b");
  ASSERT_NE(file, nullptr);
  const char data[] = "0123456789";
  faults::Arm(1, Fault::kShortWrite);
  EXPECT_EQ(platform::WriteFile(file, data, 10), 5u);
  EXPECT_TRUE(platform::StreamFailed(file));
  platform::RewindFile(file);
  EXPECT_FALSE(platform::StreamFailed(file));
  char back[10] = {};
  EXPECT_EQ(platform::ReadFile(file, back, 10), 5u);
  EXPECT_EQ(std::string(back, 5), "01234");
  EXPECT_FALSE(platform::StreamFailed(file)) << "the end of the file is no failure";
  faults::Reset();
  platform::CloseFile(file);
}

TEST(FaultSeam, OneFailedRemovalIsRetried) {
  ts::TempDir dir;
  const std::string path = dir.File("leftover.dat");
  ts::WriteFileText(path, "x");
  faults::Arm(1, Fault::kFail);
  EXPECT_TRUE(platform::RemoveFile(path));
  EXPECT_FALSE(ts::FileExistsForTest(path));
  faults::Reset();
  EXPECT_FALSE(platform::RemoveFile(path)) << "a missing file cannot be removed";
}

// A read that fails after the first 16 MiB chunk was once taken for the end
// of the data, so a conversion silently lost everything behind it.
TEST(FaultSeam, FailedChunkReadIsAnErrorNotTheEndOfTheData) {
  std::string reason;
  ASSERT_TRUE(InitStreamLayer(kStreamInterfaceVersion, &reason)) << reason;
  ts::TempDir dir;
  const std::string path = dir.File("big.bin");
  ts::WriteFileBytes(path, ts::Bytes(static_cast<std::size_t>(kSlotBufferSize) + 64, 7));
  std::FILE* file = platform::OpenFile(path, "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(_InitBuf(5, file, 1, 0, 0), 1);
  std::vector<unsigned char> buffer(static_cast<std::size_t>(kSlotBufferSize) + 64);
  faults::Arm(1, Fault::kFail);  // the read of the second chunk
  EXPECT_EQ(_ReadBytes(5, static_cast<std::int32_t>(buffer.size()), buffer.data()), -1);
  faults::Reset();
  _ReleaseBuf(5);
  platform::CloseFile(file);
}

TEST(FaultSeam, UnreadableDirectoryFailsTheWalk) {
  ts::TempDir root;
  fs::create_directories(root.File("in"));
  fs::create_directories(root.File("out"));
  WriteI16Tone(root.File("in/a.bin"), 10, 0.5, 1.0);
  // Directory mode lists nothing before the walk, so call 1 that lists a
  // directory is the walk's own listing of the input directory.
  faults::SetRecording(true);
  faults::Arm(0, Fault::kNone);
  RunInProcess({"-indir", "in", "-outdir", "out", "-format", "i16le", "-clock", "1"}, root.path());
  const std::vector<FileOp> calls = faults::RecordedCalls();
  faults::SetRecording(false);
  const auto list = std::find(calls.begin(), calls.end(), FileOp::kListDirectory);
  ASSERT_NE(list, calls.end());
  fs::remove(root.File("out/a.wv"));

  faults::Arm(static_cast<std::uint64_t>(list - calls.begin()) + 1, Fault::kFail);
  const InProcessResult run = RunInProcess(
      {"-indir", "in", "-outdir", "out", "-format", "i16le", "-clock", "1"}, root.path());
  faults::Reset();
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("*** Error: Cannot read directory "), std::string::npos) << run.out;
  EXPECT_FALSE(ts::FileExistsForTest(root.File("out/a.wv")));
}

}  // namespace

namespace {

// Without -overwrite an existing destination, file or directory, is refused
// before any file is opened, created or removed, and stays as it was.
TEST(OverwriteRule, ExistingDestinationIsRefusedBeforeAnyFileOperation) {
  for (const bool destinationIsDirectory : {false, true}) {
    SCOPED_TRACE(destinationIsDirectory ? "directory" : "file");
    ts::TempDir root;
    WriteI16Tone(root.File("tone.bin"), 20, 0.5, 1.0);
    if (destinationIsDirectory)
      fs::create_directories(root.File("_tone.wv/inner"));
    else
      ts::WriteFileText(root.File("_tone.wv"), kOldDestination);
    const auto before = FilesBelow(root.path());

    faults::Reset();
    faults::SetRecording(true);
    const InProcessResult run =
        RunInProcess({"tone.bin", "-format", "i16le", "-clock", "100"}, root.path());
    const std::vector<FileOp> calls = faults::RecordedCalls();
    faults::SetRecording(false);

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("*** Destination file already exists."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("_tone.wv: use -overwrite, or name another file with -out."),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(calls.empty()) << calls.size() << " file operations, the first: "
                               << faults::FileOpName(calls.front());
    EXPECT_EQ(FilesBelow(root.path()), before);
    EXPECT_EQ(fs::is_directory(root.File("_tone.wv")), destinationIsDirectory);
  }
}

}  // namespace
