// Telling a file's format from its first bytes and its name: -format auto
// takes the format from there, and the raw binary formats use it to refuse a
// file that carries a header of its own.
#pragma once

#include <cstddef>
#include <string>

#include "common/InputFormat.h"

// What the first bytes of a file look like.
enum class HeaderKind { kNone, kWav, kRf64, kNpy, kSigmfMeta };

// The kind of a file that begins with these bytes (at most the first 4 KiB
// are looked at).
HeaderKind ClassifyFileStart(const unsigned char* bytes, std::size_t size);

// The format of a header kind: wav, npy, sigmf; kFormatUnknown for kNone.
InputFormat FormatOfHeader(HeaderKind kind);

// The format a file name's extension stands for, compared without letter
// case: .sigmf-meta/.sigmf-data sigmf, .cf32/.fc32 f32le, .cf64 f64le,
// .cs16/.sc16 i16le, .cs8/.sc8 cs8, .cu8 cu8, .wv kxzetq; kFormatUnknown for
// any other (WAV and NumPy files are known by their first bytes instead).
InputFormat FormatFromFileName(const std::string& path);

// Reads the first bytes of the file. 1 with *kind set; 0 after logging why
// the file cannot be read.
int SniffFileStart(const std::string& path, HeaderKind* kind);

// The format of a file for -format auto: its first bytes for WAV, RF64 and
// NumPy files, its name otherwise. 1 with *format set (kFormatUnknown when
// neither tells); 0 after logging a read failure.
int DetectInputFormat(const std::string& path, InputFormat* format);

// The keyword of a detected format, as the user would give it ("wav", "cu8").
const char* FormatKeyword(InputFormat format);

// The safety net of the raw binary formats: 1 when the file may be read as
// raw samples; 0 after an error line naming the keyword that reads it, when
// it begins like a WAV, RF64 or NumPy file or is SigMF metadata (or after a
// read failure).
int CheckRawInput(const std::string& path);
