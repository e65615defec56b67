// Telling a file's format from its first bytes and its name, by the format
// table's signatures and extensions: -format auto takes the format from
// there, and the raw binary formats use it to refuse a file that carries a
// header of its own. Both work on the open input, which they leave at its
// first byte.
#pragma once

#include <cstddef>
#include <string>

#include "common/InputFormat.h"
#include "import/InputFile.h"

// What the first bytes of a file show.
struct FileStart {
  InputFormat format = kFormatUnknown;  // the format they belong to; unknown for none
  const char* what = "a plain file";    // how a message calls such a file
  bool bySignature = false;             // a signature of the table (not the SigMF text test)
};

// The start of a file that begins with these bytes (at most the first 4 KiB
// are looked at): a signature of the format table, or the JSON text of SigMF
// metadata.
FileStart ClassifyFileStart(const unsigned char* bytes, std::size_t size);

// The format a file name's extension stands for, by the table's extensions,
// compared without letter case; kFormatUnknown for any other.
InputFormat FormatFromFileName(const std::string& path);

// The format of an open file for -format auto: its first bytes for the
// formats with a signature (WAV, RF64, NumPy), its name otherwise. 1 with
// *format set (kFormatUnknown when neither tells); 0 after logging a read
// failure.
int DetectInputFormat(InputFile& input, InputFormat* format);

// The same for a path: opens it through OpenInputFile (which refuses what is
// no regular file) and closes it again.
int DetectInputFormat(const std::string& path, InputFormat* format);

// The keyword of a detected format, as the user would give it ("wav", "cu8").
const char* FormatKeyword(InputFormat format);

// The safety net of the raw binary formats: 1 when the open file may be read
// as raw samples; 0 after an error line naming the keyword that reads it,
// when it begins like a WAV, RF64 or NumPy file or is SigMF metadata (or
// after a read failure).
int CheckRawInput(InputFile& input);
