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

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
void WriteFileText(const std::string& path, const std::string& text);
bool FileExistsForTest(const std::string& path);

// Names of the entries of a directory (no "." or ".."), sorted.
std::vector<std::string> ListNames(const std::string& dir);

// Synthetic signals.
std::vector<float> MakeTone(std::size_t samples, double amplitude, double cycles, bool cosine);
std::vector<float> MakeNoise(std::size_t samples, double amplitude, unsigned seed);

// Sample encodings of raw input files.
Bytes EncodeInt16(const std::vector<std::int16_t>& units, bool bigEndian);
Bytes EncodeFloat32(const std::vector<float>& units, bool bigEndian);

// The output word of a full-scale value, computed independently of the
// program: trunc(v * 32767 + 0.5) inside [-1, 1] (that number rounded when it
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
