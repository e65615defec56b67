// The built program with -threads: the cipher's thread count changes nothing
// the user sees (output files, console text, exit code), and an invalid
// count is refused before anything happens.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/WaveFileBuilder.h"

namespace {

namespace ts = testing_support;

// Enough samples that every temporary file is transformed in parts on the
// worker threads (the cipher splits buffers from 128 KiB on).
constexpr int kPairs = 150000;

std::string KvgInput() {
  const auto words = testing_support::MakeWords(kPairs, [](int k, int q) {
    return static_cast<std::int16_t>((k * (q ? 37 : 91)) % 60000 - 30000);
  });
  return testing_support::WaveFileBuilder()
      .Tag("TYPE", " KVG-WV,0")
      .Tag("CLOCK", "1000000")
      .Tag("SAMPLES", std::to_string(kPairs))
      .Tag("CONTROL LENGTH", std::to_string(kPairs))
      .Tag("MARKER LIST 1", " 0:1;1000:0;90000:1")
      .Tag("MARKER LIST 3", " 0:0;50000:1;149999:0")
      .Data(words)
      .bytes();
}

// Output bytes without the DATE tag, the one part that differs between runs.
std::string WithoutDate(const ts::Bytes& bytes) {
  std::string text(bytes.begin(), bytes.end());
  const std::size_t start = text.find("{DATE:");
  if (start != std::string::npos) text.erase(start, text.find('}', start) + 1 - start);
  return text;
}

// Console text without the time stamps of its log lines ("> HH:MM:SS ...").
std::string WithoutTimeStamps(const std::string& out) {
  std::string text = out;
  for (std::size_t at = text.find("> "); at != std::string::npos; at = text.find("> ", at + 1)) {
    if (at + 10 <= text.size() && text[at + 4] == ':' && text[at + 7] == ':')
      text.replace(at + 2, 8, "hh:mm:ss");
  }
  return text;
}

struct Outcome {
  ts::RunResult run;
  std::string i16Output;
  std::string kvgOutput;
};

Outcome ConvertBoth(const std::vector<std::string>& threadArgs) {
  ts::TempDir work;
  std::vector<std::int16_t> units;
  // 64-bit arithmetic: the products pass 2^31, and long is 32 bits on Windows.
  for (std::int64_t k = 0; k < 2 * kPairs; ++k)
    units.push_back(static_cast<std::int16_t>(k * 7919 % 65536));
  ts::WriteFileBytes(work.File("sig.bin"), ts::EncodeInt16(units, false));
  ts::WriteFileText(work.File("wave.wv"), KvgInput());

  Outcome outcome;
  std::vector<std::string> args = {"sig.bin", "-format", "i16le", "-clock", "100", "-v", "3"};
  args.insert(args.end(), threadArgs.begin(), threadArgs.end());
  outcome.run = ts::RunWavoraBinary(args, work.path(), "y\n");
  args = {"wave.wv", "-format", "kxzetq", "-autoscale", "-v", "3"};
  args.insert(args.end(), threadArgs.begin(), threadArgs.end());
  const ts::RunResult kvg = ts::RunWavoraBinary(args, work.path(), "y\n");
  outcome.run.exitCode += kvg.exitCode;
  outcome.run.out += kvg.out;
  outcome.run.err += kvg.err;
  // The settings table names the working directory, which differs per run.
  for (std::size_t at = outcome.run.out.find(work.path()); at != std::string::npos;
       at = outcome.run.out.find(work.path(), at))
    outcome.run.out.replace(at, work.path().size(), "<work>");
  const ts::Bytes i16 = ts::ReadFileBytes(work.File("_sig.wv"));
  const ts::Bytes wave = ts::ReadFileBytes(work.File("_wave.wv"));
  outcome.i16Output = WithoutDate(i16);
  outcome.kvgOutput = WithoutDate(wave);
  // Only the inputs and the two outputs remain.
  EXPECT_EQ(ts::ListNames(work.path()),
            (std::vector<std::string>{"_sig.wv", "_wave.wv", "sig.bin", "wave.wv"}));
  return outcome;
}

TEST(ThreadsE2E, EveryThreadCountGivesTheSameFilesAndConsole) {
  const Outcome single = ConvertBoth({"-threads", "1"});
  ASSERT_EQ(single.run.exitCode, 0) << single.run.out;
  ASSERT_GT(single.i16Output.size(), 4u * kPairs);
  ASSERT_GT(single.kvgOutput.size(), 4u * kPairs);
  ts::ParsedWaveform parsed;
  std::string error;
  ASSERT_TRUE(ts::ParseWaveform(ts::Bytes(single.kvgOutput.begin(), single.kvgOutput.end()),
                                &parsed, &error))
      << error;
  EXPECT_EQ(parsed.words.size(), 2u * kPairs);

  const std::vector<std::vector<std::string>> others = {{"-threads", "2"}, {"-threads", "5"}, {}};
  for (const auto& args : others) {
    const Outcome run = ConvertBoth(args);
    const std::string label = args.empty() ? "default" : args[1];
    EXPECT_EQ(run.run.exitCode, 0) << label;
    EXPECT_TRUE(run.i16Output == single.i16Output) << label;
    EXPECT_TRUE(run.kvgOutput == single.kvgOutput) << label;
    EXPECT_EQ(WithoutTimeStamps(run.run.out), WithoutTimeStamps(single.run.out)) << label;
    EXPECT_EQ(run.run.err, single.run.err) << label;
  }
}

TEST(ThreadsE2E, InvalidCountIsRefusedBeforeAnyQuestion) {
  ts::TempDir work;
  for (const std::string value : {"0", "257", "two", "1.5", "-2"}) {
    const ts::RunResult run = ts::RunWavoraBinary(
        {"sig.bin", "-format", "i16le", "-clock", "1", "-threads", value}, work.path(), "y\n");
    EXPECT_EQ(run.exitCode, 1) << value;
    EXPECT_EQ(run.err.rfind("*** Invalid value for -threads: '" + value +
                                "' is not a whole number from 1 to 256.\n",
                            0),
              0u)
        << run.err;
    EXPECT_EQ(run.out.find("Do you want to start"), std::string::npos) << value;
    EXPECT_TRUE(ts::ListNames(work.path()).empty()) << value;
  }
}

}  // namespace
