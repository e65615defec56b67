// Helpers shared by the test suites: temporary directories, running the built
// wavora binary with piped standard input, file bytes, synthetic signals, and
// an independent parser of output waveform files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

// A fresh directory under the system's temporary folder, removed with all its
// contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Changes the process's working directory for the lifetime of the object.
class ScopedWorkingDir {
 public:
  explicit ScopedWorkingDir(const std::string& dir);
  ~ScopedWorkingDir();
  ScopedWorkingDir(const ScopedWorkingDir&) = delete;
  ScopedWorkingDir& operator=(const ScopedWorkingDir&) = delete;

 private:
  std::string previous_;
};

struct RunResult {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the built wavora binary in workDir with the arguments, feeding
// stdinText to its standard input (empty: an empty standard input).
RunResult RunWavoraBinary(const std::vector<std::string>& args, const std::string& workDir,
                          const std::string& stdinText = "");

// The text as one word of a POSIX shell command: in single quotes, a quote
// inside written as '\''.
std::string ShellQuote(const std::string& text);

// POSIX: runs the shell command line in workDir with stdinText as its whole
// standard input and captures both output streams; the exit code is -1 when
// the command did not exit normally.
RunResult RunShellCommand(const std::string& command, const std::string& workDir,
                          const std::string& stdinText);

Bytes ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
void WriteFileText(const std::string& path, const std::string& text);
bool FileExistsForTest(const std::string& path);

// Names of the entries of a directory (no "." or ".."), sorted.
std::vector<std::string> ListNames(const std::string& dir);

// A row of the settings table the program prints before it starts:
// "  <name padded to 18>| <value>" and the blanks that end every row.
std::string SettingsRow(const std::string& name, const std::string& value);

// How often part occurs in text (overlapping occurrences counted), and
// whether it does at all.
int Count(const std::string& text, const std::string& part);
bool Contains(const std::string& text, const std::string& part);

// Synthetic signals.
std::vector<float> MakeTone(std::size_t samples, double amplitude, double cycles, bool cosine);
std::vector<float> MakeNoise(std::size_t samples, double amplitude, unsigned seed);

// I and Q interleaved: I0, Q0, I1, Q1, ... (the shorter length counts).
std::vector<float> Interleave(const std::vector<float>& i, const std::vector<float>& q);

// A complex tone of `pairs` I/Q pairs, interleaved: I a cosine, Q a sine of
// `cycles` periods over the whole signal.
std::vector<float> MakeIqTone(std::size_t pairs, double amplitude, double cycles);

// Full-scale values as 16-bit units, rounded to the nearest: lround(v * 32767).
std::vector<std::int16_t> ToInt16Units(const std::vector<float>& values);

// MakeIqTone as 16-bit units.
std::vector<std::int16_t> MakeInt16IqTone(std::size_t pairs, double amplitude, double cycles);

// Sample encodings of raw input files.
Bytes EncodeInt16(const std::vector<std::int16_t>& units, bool bigEndian);
Bytes EncodeFloat32(const std::vector<float>& units, bool bigEndian);

// The output word of a full-scale value, computed independently of the
// program: floor(v * 32767 + 0.5) inside [-1, 1] (that number rounded when it
// lies within 1/256 of a whole number), +-32767 outside.
std::int16_t ExpectedWord(double value);

// A waveform file parsed tag by tag.
struct ParsedWaveform {
  std::vector<std::pair<std::string, std::string>> tags;  // every tag before the data tag, in order
  std::string dataTagName;                                // e.g. "WAVEFORM-4001"
  std::vector<std::int16_t> words;                        // I, Q, I, Q, ...
  std::size_t trailingBytes = 0;                          // bytes after the closing brace
  // Content of the first tag of that name, or nullptr.
  const std::string* Find(const std::string& name) const;
  std::vector<std::string> TagNames() const;
};

// Parses the bytes of an output waveform file; false with a reason in *error
// when they do not form one.
bool ParseWaveform(const Bytes& bytes, ParsedWaveform* parsed, std::string* error);

}  // namespace testing_support
