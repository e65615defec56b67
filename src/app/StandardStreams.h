// Standard input as the one input of a conversion ("-"), and standard output
// as its one output ("-out -"). Both go through regular files of the run:
// what standard input delivers is taken into a hidden file in the working
// directory and converted from there, with every check a file gets; the
// output is written as any output is and copied to standard output only when
// it is complete.
#pragma once

#include <cstdio>
#include <string>

// The name that stands for standard input or standard output.
inline constexpr const char* kStandardStreamName = "-";

// A hidden file of the run in the working directory, with a random part in
// its name, registered for removal on interrupt and removed when the object
// ends.
class RunFile {
 public:
  // prefix and suffix around the random part: ".wavora-stdin.", ".part".
  RunFile(const std::string& workingDir, const char* prefix, const char* suffix);
  ~RunFile();
  RunFile(const RunFile&) = delete;
  RunFile& operator=(const RunFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Takes standard input into a new file at path, at most kMaxInputBytes. 1
// when all of it is there; 0 after a "*** " line (too large, a read or write
// failure, the file not creatable).
int TakeStandardInput(const std::string& path);

// Standard output as the place of the output file ("-out -", "-preview -"):
// the stream on what standard output was while every line goes to standard
// error; nullptr when the output goes to a file.
void SetStandardOutputData(std::FILE* stream);
std::FILE* StandardOutputData();

// Copies the file at path to stream and flushes it. 1 when every byte went
// out; 0 after a "*** " line.
int CopyFileToStream(const std::string& path, std::FILE* stream);
