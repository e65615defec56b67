// The one way out: every file the program writes (the converted waveform,
// every export file, the preview) is built under a hidden name beside its
// destination and moved into place only when complete.
//
// The hidden name is ".<name>.<tag>.part": the leading dot keeps a directory
// walk from taking it as input, the tag (random, new for every file) keeps it
// from being known in advance, so two writers of one destination never share
// it. The file is created exclusively (never through a link, never over an
// object of that name) and registered for removal on interrupt; writes go
// through a buffer of its own, every write is checked and the first failure
// sticks. Unless it is placed, the destructor removes the hidden file, so a
// failed run leaves neither a partial file nor a changed destination.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

// What a destination of the run must respect. runFiles holds the files the
// run reads (its input, the Q file, SigMF data and metadata): none of them is
// ever a destination, whatever the spelling, link or hard link that names it.
// Twelve random hexadecimal digits for the name of a file of the run ("" when
// the random source fails: the name is then still created exclusively).
std::string RandomFileTag();

// How the user named a destination, which decides the advice given when it
// exists already.
enum class DestinationNaming {
  kOutOption,        // single-file conversion and export: -out names another file
  kOutputDirectory,  // directory walk: another -outdir
  kArgument,         // the value of the option itself (-preview <file.svg>)
};

struct OutputRules {
  bool replaceExisting = false;
  std::vector<platform::FileIdentity> runFiles;
  DestinationNaming naming = DestinationNaming::kOutOption;
};

// Adds the file at path to rules.runFiles; a path that names nothing adds
// nothing.
void AddRunFile(OutputRules& rules, const std::string& path);

// The checks of a destination, made once before any data is read. Refused,
// each with its own line: a destination or hidden name beyond the path limit;
// a temporary file of the conversion; without replaceExisting, any existing
// object ("*** Destination file already exists." and a line naming it with
// the way out that fits rules.naming); with it, an existing object that is
// not a regular file (device, FIFO, directory, socket), named with what it
// is, and a file of rules.runFiles; last, a directory in which no file can be
// created, named with the system's reason. 1 when the destination may be
// written.
int CheckOutputDestination(const std::string& destination, const OutputRules& rules);

// The path-limit checks alone: the destination and the hidden name beside it
// must fit. 1 when both fit, 0 with the failing path logged.
int CheckOutputPaths(const std::string& destination);

class OutputFile {
 public:
  // With replaceExisting false, a destination that exists when the file is
  // placed (one that appeared while it was written) is kept.
  OutputFile(std::string destination, bool replaceExisting);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the hidden file. 0 after "*** Error opening output file." and the
  // system's reason.
  int Open();

  bool ok() const { return ok_; }
  // The hidden file's path.
  const std::string& path() const { return hidden_; }
  const std::string& destination() const { return destination_; }

  void Append(const void* data, std::size_t size);
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  // Room for size bytes at the end of the buffer (at most the buffer size),
  // flushing first when needed, for data made in place; nullptr once a
  // write has failed.
  unsigned char* Reserve(std::size_t size);

  // Finish, then Place.
  int Commit();
  // Flushes and closes the hidden file. 0 after "*** Error writing output
  // file." and the reason.
  int Finish();
  // Moves the finished file into place: without replacing, a destination
  // that exists now is kept ("*** Destination file already exists."). 0 on
  // failure (logged). Every failure removes the hidden file at once.
  int Place();

 private:
  void Flush();
  // Closes and removes the hidden file; nothing can be written after.
  void Discard();
  // Logs message (when not empty) and the reason for path, then discards.
  int Fail(std::string_view message, const std::string& path);

  std::string destination_;
  std::string hidden_;
  bool replaceExisting_ = false;
  std::FILE* file_ = nullptr;
  bool created_ = false;
  bool finished_ = false;
  bool ok_ = true;
  std::vector<unsigned char> buffer_;
  std::size_t fill_ = 0;
};
