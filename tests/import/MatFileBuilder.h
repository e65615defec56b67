// A small writer of MATLAB MAT-files for the tests, from the published
// layouts of Level 4 and Level 5 files and independently of the reader:
// Level 5 headers, tagged elements (with the small element format), matrix
// elements and compressed elements (zlib), and Level 4 matrices, in either
// byte order.
#pragma once

#include <zlib.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "import/FormatFileBuilders.h"

namespace mat_files {

using format_files::Bytes;

// Level 5 data types and array classes.
enum : std::uint32_t {
  miINT8 = 1,
  miUINT8 = 2,
  miINT16 = 3,
  miUINT16 = 4,
  miINT32 = 5,
  miUINT32 = 6,
  miSINGLE = 7,
  miDOUBLE = 9,
  miINT64 = 12,
  miUINT64 = 13,
  miMATRIX = 14,
  miCOMPRESSED = 15,
};
enum : std::uint32_t {
  mxCELL = 1,
  mxSTRUCT = 2,
  mxCHAR = 4,
  mxSPARSE = 5,
  mxDOUBLE = 6,
  mxSINGLE = 7,
  mxINT8 = 8,
  mxUINT8 = 9,
  mxINT16 = 10,
  mxUINT16 = 11,
  mxINT32 = 12,
  mxUINT32 = 13,
  mxINT64 = 14,
  mxUINT64 = 15,
};

inline void Put(Bytes& out, std::uint64_t value, int bytes, bool bigEndian) {
  if (bigEndian)
    format_files::PutBE(out, value, bytes);
  else
    format_files::PutLE(out, value, bytes);
}

inline void Append(Bytes& out, const Bytes& more) {
  out.reserve(out.size() + more.size());
  for (unsigned char b : more) out.push_back(b);
}

inline int StorageBytes(std::uint32_t type) {
  switch (type) {
    case miINT8:
    case miUINT8:
      return 1;
    case miINT16:
    case miUINT16:
      return 2;
    case miINT32:
    case miUINT32:
    case miSINGLE:
      return 4;
    default:
      return 8;
  }
}

// Values stored as `type`: integers as their two's complement words, floats
// as their IEEE bits.
inline Bytes Encode(const std::vector<double>& values, std::uint32_t type, bool bigEndian) {
  Bytes out;
  for (double v : values) {
    std::uint64_t bits = 0;
    if (type == miDOUBLE)
      bits = std::bit_cast<std::uint64_t>(v);
    else if (type == miSINGLE)
      bits = std::bit_cast<std::uint32_t>(static_cast<float>(v));
    else if (type == miUINT64)
      bits = static_cast<std::uint64_t>(v);
    else
      bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    Put(out, bits, StorageBytes(type), bigEndian);
  }
  return out;
}

// The 128-byte header: text, subsystem offset, version and endian indicator.
inline Bytes Level5Header(bool bigEndian, std::uint16_t version = 0x0100,
                          const std::string& text = "MATLAB 5.0 MAT-file, written by a test") {
  Bytes out(116, ' ');
  for (std::size_t k = 0; k < text.size() && k < 116; ++k)
    out[k] = static_cast<unsigned char>(text[k]);
  for (int k = 0; k < 8; ++k) out.push_back(0);
  Put(out, version, 2, bigEndian);
  out.push_back(bigEndian ? 'M' : 'I');
  out.push_back(bigEndian ? 'I' : 'M');
  return out;
}

// A data element: its tag and data padded to 8 bytes, in the small element
// format when `small` allows and the data fit in 4 bytes.
inline Bytes Element(std::uint32_t type, const Bytes& data, bool bigEndian, bool small = true) {
  Bytes out;
  if (small && data.size() <= 4 && !data.empty()) {
    // One word: the size in the high half, the type in the low half.
    Put(out, (static_cast<std::uint32_t>(data.size()) << 16) | type, 4, bigEndian);
    Append(out, data);
    while (out.size() < 8) out.push_back(0);
    return out;
  }
  Put(out, type, 4, bigEndian);
  Put(out, data.size(), 4, bigEndian);
  Append(out, data);
  while (out.size() % 8 != 0) out.push_back(0);
  return out;
}

struct MatArray {
  std::string name = "x";
  std::uint32_t mxClass = mxDOUBLE;
  std::vector<std::int32_t> dims = {1, 1};
  bool complex = false;
  bool logical = false;
  std::uint32_t realType = miDOUBLE;
  Bytes real;  // stored values, encoded in the file's byte order
  std::uint32_t imagType = miDOUBLE;
  Bytes imag;
};

inline MatArray RealArray(const std::string& name, std::uint32_t mxClass,
                          std::vector<std::int32_t> dims, std::uint32_t type, Bytes values,
                          bool logical = false) {
  MatArray a;
  a.name = name;
  a.mxClass = mxClass;
  a.dims = std::move(dims);
  a.logical = logical;
  a.realType = type;
  a.real = std::move(values);
  return a;
}

inline MatArray ComplexArray(const std::string& name, std::uint32_t mxClass,
                             std::vector<std::int32_t> dims, std::uint32_t realType, Bytes real,
                             std::uint32_t imagType, Bytes imag) {
  MatArray a = RealArray(name, mxClass, std::move(dims), realType, std::move(real));
  a.complex = true;
  a.imagType = imagType;
  a.imag = std::move(imag);
  return a;
}

// A struct, cell or char array: its header elements only.
inline MatArray OtherArray(const std::string& name, std::uint32_t mxClass,
                           std::vector<std::int32_t> dims) {
  MatArray a;
  a.name = name;
  a.mxClass = mxClass;
  a.dims = std::move(dims);
  return a;
}

// The contents of an miMATRIX element (without its own tag).
inline Bytes MatrixContents(const MatArray& a, bool bigEndian) {
  Bytes flags;
  const std::uint32_t bits = (a.complex ? 0x08u : 0u) | (a.logical ? 0x02u : 0u);
  Put(flags, (bits << 8) | a.mxClass, 4, bigEndian);
  Put(flags, 0, 4, bigEndian);
  Bytes dims;
  for (std::int32_t d : a.dims) Put(dims, static_cast<std::uint32_t>(d), 4, bigEndian);
  Bytes out = Element(miUINT32, flags, bigEndian, false);
  Append(out, Element(miINT32, dims, bigEndian, false));
  Append(out, Element(miINT8, Bytes(a.name.begin(), a.name.end()), bigEndian));
  if (a.mxClass >= mxDOUBLE) {
    Append(out, Element(a.realType, a.real, bigEndian));
    if (a.complex) Append(out, Element(a.imagType, a.imag, bigEndian));
  }
  return out;
}

inline Bytes Matrix(const MatArray& a, bool bigEndian) {
  return Element(miMATRIX, MatrixContents(a, bigEndian), bigEndian, false);
}

// An miCOMPRESSED element holding `element` as a zlib stream (not padded).
inline Bytes Compressed(const Bytes& element, bool bigEndian) {
  uLongf size = compressBound(static_cast<uLong>(element.size()));
  Bytes packed(size);
  compress2(packed.data(), &size, element.data(), static_cast<uLong>(element.size()), 6);
  packed.resize(size);
  Bytes out;
  Put(out, miCOMPRESSED, 4, bigEndian);
  Put(out, packed.size(), 4, bigEndian);
  Append(out, packed);
  return out;
}

// A Level 5 file of these elements.
inline Bytes Level5File(const std::vector<Bytes>& elements, bool bigEndian) {
  Bytes out = Level5Header(bigEndian);
  for (const Bytes& e : elements) Append(out, e);
  return out;
}

// A Level 4 matrix: precision P (0 double, 1 single, 2 int32, 3 int16,
// 4 uint16, 5 uint8), type T (0 numeric, 1 text, 2 sparse); the values
// column-major, already encoded.
inline Bytes Level4Matrix(bool bigEndian, int precision, int matrixType, std::int32_t rows,
                          std::int32_t columns, const std::string& name, const Bytes& real,
                          const Bytes& imag = {}) {
  Bytes out;
  Put(out, (bigEndian ? 1000u : 0u) + 10u * precision + matrixType, 4, bigEndian);
  Put(out, static_cast<std::uint32_t>(rows), 4, bigEndian);
  Put(out, static_cast<std::uint32_t>(columns), 4, bigEndian);
  Put(out, imag.empty() ? 0 : 1, 4, bigEndian);
  Put(out, name.size() + 1, 4, bigEndian);
  for (char c : name) out.push_back(static_cast<unsigned char>(c));
  out.push_back(0);
  Append(out, real);
  Append(out, imag);
  return out;
}

}  // namespace mat_files
