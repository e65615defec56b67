// The one way in: every file the import reads (the input, the Q file of a
// two-file format, SigMF metadata and data) is opened once through
// OpenInputFile, must be a regular file and keeps the size and identity it had
// when it was opened; the format check and the reader share that open file.
#pragma once

#include <cstdint>
#include <string>

#include "Shared/FileIO/TempFiles.h"
#include "platform/Platform.h"

struct InputFile {
  platform::FileHandle file;
  std::string path;
  std::int64_t size = 0;  // bytes when it was opened
  platform::FileIdentity identity;
  // For an archive of several recordings (SigMF .sigmf): the recording to
  // read, named by its path inside the archive without the suffix
  // ("rec/rec"); "" for the only one.
  std::string archiveMember;

  bool IsOpen() const { return file != nullptr; }
  void Close() { file.reset(); }
};

// Opens path as an input. Refuses, with a line naming the path, anything that
// is not a regular file ("is a FIFO", "is a directory", "is a device", "is a
// socket") without waiting on it, and the temporary files of the conversion.
// A failed open logs openError and the system's reason. 1 with *input open.
int OpenInputFile(const std::string& path, InputFile* input,
                  const std::string& openError = "*** Error opening input file.");

// OpenInputFile for a reader that reports a failed open itself: 0 after the
// refusal line when path names something that is not a regular file or a
// temporary file of the conversion; 1 otherwise, with *input open when the
// file could be opened and closed (nothing logged) when not.
int OpenRegularInput(const std::string& path, InputFile* input);

// Logs the refusal of an input that is a temporary file of the conversion.
int RefuseTempFileInput(const std::string& path);

// Reads up to size bytes from the start of the open input and puts it back
// at its start. *got receives the count. 1 on success; 0 after logging a
// read failure.
int PeekInputStart(InputFile& input, unsigned char* bytes, std::size_t size, std::size_t* got);
