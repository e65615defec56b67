// MATLAB MAT-files. Level 4: a sequence of matrices, each a 20-byte header,
// its name and its column-major values (the real part, then the imaginary
// one). Level 5 (MATLAB -v6 and -v7): a 128-byte header, then tagged data
// elements, each variable an miMATRIX element, plain or as the zlib stream of
// an miCOMPRESSED element. Either byte order. The parser lists the variables
// and where their values lie; the import streams the values of the one
// chosen through the block reader of SampleImport.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/InputFormat.h"
#include "import/SampleImport.h"

// Reads up to count bytes at offset of the file into dest; returns how many
// (fewer only at the end of the file), or -1 when the read failed.
using MatByteReader =
    std::function<std::int64_t(std::int64_t offset, void* dest, std::int64_t count)>;

// A MatByteReader over an open file, through the platform's seek and read,
// with a buffer of bufferBytes (0: every read goes to the file). Each reader
// seeks before it reads, so that several can share one file.
MatByteReader FileMatReader(std::FILE* file, std::size_t bufferBytes);

// The stored type codes of Level 5 data elements that hold numbers (Level 4
// types are mapped onto them).
enum MatStorage : int {
  kMiInt8 = 1,
  kMiUInt8 = 2,
  kMiInt16 = 3,
  kMiUInt16 = 4,
  kMiInt32 = 5,
  kMiUInt32 = 6,
  kMiSingle = 7,
  kMiDouble = 9,
  kMiInt64 = 12,
  kMiUInt64 = 13,
};

// Bytes of one value of a stored type code; 0 for a code that holds no
// numbers.
int MatStorageBytes(std::uint32_t storage);

// Where the stored values of one part (real or imaginary) of a variable lie.
struct MatPart {
  // The first byte: a file offset, or for a compressed variable an offset in
  // its inflated stream. Level 5 imaginary parts: the offset of the part's
  // tag, which is read when the part is opened.
  std::int64_t offset = 0;
  std::int64_t bytes = 0;
  int storage = kMiDouble;  // a MatStorage code
};

struct MatVariable {
  std::string name;
  std::string kind;  // the class as the log names it: "double", "int16", "struct", "char"...
  // A full numeric array (not sparse, not logical) whose values can be read.
  bool numeric = false;
  bool complex = false;
  std::vector<std::int64_t> dims;
  std::int64_t elements = 0;     // the product of dims
  int classStorage = kMiDouble;  // the stored type that is the class's own
  MatPart real;
  MatPart imag;
  bool level4Imag = false;  // imag is known (Level 4); else its tag lies at imag.offset
  // The stream offset where the variable's element ends.
  std::int64_t end = 0;
  bool compressed = false;
  std::int64_t compressedOffset = 0;  // file offset of the zlib stream
  std::int64_t compressedBytes = 0;
  // The most the stream may inflate to: the matrix element and its tag, as
  // declared; a stream that would give more is refused.
  std::int64_t inflatedBytes = 0;
};

struct MatFile {
  int level = 5;
  bool bigEndian = false;
  std::string headerText;  // Level 5: the header's descriptive text
  std::vector<MatVariable> variables;
  std::int64_t otherElements = 0;  // top-level elements that are no variable
};

// Reads the header and lists every variable, checking each size against
// fileSize (compressed variables: against the declared inflated size).
// 1 on success; 0 after logging why the file is refused.
int ParseMatFile(const MatByteReader& read, std::int64_t fileSize, MatFile* mat);

// True when the first bytes form a plausible Level 4 matrix header: a known
// type code, a name ending in a NUL inside `bytes`, values inside fileSize.
bool LooksLikeMatLevel4(const unsigned char* bytes, std::size_t size, std::int64_t fileSize);

// "x (complex double 1000x1)".
std::string DescribeMatVariable(const MatVariable& variable);

// How the values of the chosen variable become pairs.
enum class MatShape {
  kComplex,  // a complex vector: I from the real part, Q from the imaginary one
  kColumns,  // a real N x 2 matrix: I the first column, Q the second
  kRows,     // a real 2 x N matrix: I and Q interleaved, column by column
  kReal,     // a real vector: I, with Q = 0
};

struct MatSelection {
  std::size_t index = 0;  // into MatFile::variables
  MatShape shape = MatShape::kReal;
  std::int64_t pairs = 0;
};

// The variable to read: the one named `wanted` if not empty, else the only
// numeric one, else the first complex numeric one. 1 on success; 0 after
// logging why, with what the file holds.
int SelectMatVariable(const MatFile& mat, const std::string& wanted, MatSelection* selection);

// A source of `units` values of one part of a variable as units of its
// class (SampleUnitBytes of the class's type), little-endian, from the
// `skipUnits`-th value on; `imaginary` picks the imaginary part. 1 with
// *source set; 0 after logging.
int OpenMatPart(const MatByteReader& read, const MatFile& mat, const MatVariable& variable,
                bool imaginary, std::int64_t skipUnits, std::int64_t units, SampleSource* source);

// The sample type of a stored type code (the unit the class converts with).
SampleType MatSampleType(int storage);

// Reads the chosen variable of the open MAT-file (info.matVariable names it,
// "" to let the reader choose). The reader of the format table's mat row.
int ImportMat(InputFile& input, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels);
