// MAT-file parser: the Level 5 header and data elements (plain and
// compressed miMATRIX elements) and Level 4 matrices, listed with where the
// values of each variable lie; the zlib inflater and the sources that stream
// one part of a variable as units of its class.
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/ByteOrder.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "import/MatImport.h"
#include "platform/Platform.h"

namespace {

constexpr std::int64_t kLevel5HeaderBytes = 128;
constexpr std::int64_t kTagBytes = 8;
constexpr std::int64_t kLevel4HeaderBytes = 20;
constexpr std::uint32_t kMiMatrix = 14;
constexpr std::uint32_t kMiCompressed = 15;
constexpr std::uint16_t kVersion5 = 0x0100;
constexpr std::uint16_t kVersion73 = 0x0200;
constexpr unsigned char kHdf5Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1A, '\n'};
constexpr std::int64_t kHdf5SignatureOffset = 512;
// Array flags: the class in the low byte, the flag bits in the next one.
constexpr std::uint32_t kFlagComplex = 0x08;
constexpr std::uint32_t kFlagLogical = 0x02;
constexpr std::uint32_t kClassSparse = 5;
constexpr std::uint32_t kClassDouble = 6;
constexpr std::uint32_t kClassUInt64 = 15;
// Deflate gives at most 1032 bytes per compressed byte: a declared size
// beyond that cannot be what the stream holds.
constexpr std::int64_t kMaxDeflateRatio = 1032;
// Compressed bytes read per refill of the inflater, and inflated bytes
// discarded per step of a skip.
constexpr std::size_t kInflateInputBytes = 1 << 16;
constexpr std::size_t kSkipBytes = 1 << 16;
// zlib counts in 32-bit units.
constexpr std::int64_t kMaxZlibCall = 1 << 30;

int Refuse(const std::string& message) {
  LogAlways({message});
  return 0;
}

// Refuses with "*** Error: MAT-file variable '<name>'" and the rest of the
// line (built by appending: a literal before a string temporary draws false
// -Wrestrict reports from MinGW g++ 12).
int RefuseVariable(const std::string& name, const char* rest) {
  std::string message = "*** Error: MAT-file variable '";
  message += name;
  message += rest;
  return Refuse(message);
}

// The same for the readers that return a count.
std::int64_t FailRead(const std::string& message) {
  LogAlways({message});
  return -1;
}

std::int64_t Pad8(std::int64_t bytes) { return (bytes + 7) / 8 * 8; }

struct FieldOrder {
  bool bigEndian = false;
  std::uint16_t U16(const unsigned char* b) const { return bigEndian ? LoadBE16(b) : LoadLE16(b); }
  std::uint32_t U32(const unsigned char* b) const { return bigEndian ? LoadBE32(b) : LoadLE32(b); }
};

// Bytes of one stored value; 0 for a type code that holds no numbers.
int StorageBytes(std::uint32_t storage) {
  switch (storage) {
    case kMiInt8:
    case kMiUInt8:
      return 1;
    case kMiInt16:
    case kMiUInt16:
      return 2;
    case kMiInt32:
    case kMiUInt32:
    case kMiSingle:
      return 4;
    case kMiDouble:
    case kMiInt64:
    case kMiUInt64:
      return 8;
    default:
      return 0;
  }
}

// The class names of the array flags (1 to 17), for the log.
const char* ClassName(std::uint32_t mxClass) {
  static const char* const kNames[] = {
      "unknown class", "cell",   "struct",          "object", "char",   "sparse", "double",
      "single",        "int8",   "uint8",           "int16",  "uint16", "int32",  "uint32",
      "int64",         "uint64", "function handle", "opaque"};
  return mxClass < std::size(kNames) ? kNames[mxClass] : kNames[0];
}

// The stored type that is a numeric class's own (class 6 double to 15 uint64).
int StorageOfClass(std::uint32_t mxClass) {
  static const int kStorage[] = {kMiDouble, kMiSingle, kMiInt8,   kMiUInt8, kMiInt16,
                                 kMiUInt16, kMiInt32,  kMiUInt32, kMiInt64, kMiUInt64};
  return kStorage[mxClass - kClassDouble];
}

const char* StorageName(int storage) {
  switch (storage) {
    case kMiInt8:
      return "int8";
    case kMiUInt8:
      return "uint8";
    case kMiInt16:
      return "int16";
    case kMiUInt16:
      return "uint16";
    case kMiInt32:
      return "int32";
    case kMiUInt32:
      return "uint32";
    case kMiSingle:
      return "single";
    case kMiDouble:
      return "double";
    case kMiInt64:
      return "int64";
    case kMiUInt64:
      return "uint64";
    default:
      return "no number";
  }
}

// The product of the dimensions, or -1 when it passes limit.
std::int64_t ElementCount(const std::vector<std::int64_t>& dims, std::int64_t limit) {
  std::int64_t product = 1;
  for (const std::int64_t dim : dims) {
    if (dim == 0) return 0;
    if (product > limit / dim) return -1;
    product *= dim;
  }
  return product;
}

// A name or text of the file made fit for a log line.
std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return shown;
}

// ---- the inflater: a zlib stream of a compressed element ----

class Inflater {
 public:
  Inflater(MatByteReader read, std::int64_t offset, std::int64_t bytes, std::int64_t limit)
      : read_(std::move(read)), next_(offset), end_(offset + bytes), limit_(limit) {}
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (ready_) inflateEnd(&z_);
  }

  void SetLimit(std::int64_t limit) { limit_ = limit; }

  // Up to count inflated bytes (never more than the limit in all); fewer at
  // the end of the stream or of its compressed bytes; -1 after logging.
  std::int64_t Read(unsigned char* dest, std::int64_t count) {
    if (!ready_ && !Start()) return -1;
    std::int64_t done = 0;
    while (done < count && !ended_) {
      const std::int64_t room = std::min({count - done, limit_ - produced_, kMaxZlibCall});
      if (room <= 0) break;
      if (z_.avail_in == 0) {
        if (next_ >= end_) break;  // compressed bytes used up before the stream's end
        const auto take =
            static_cast<std::int64_t>(std::min<std::int64_t>(end_ - next_, kInflateInputBytes));
        const std::int64_t got = read_(next_, input_.data(), take);
        if (got < 0) return FailRead("*** File I/O error.");
        if (got == 0) break;
        next_ += got;
        z_.next_in = input_.data();
        z_.avail_in = static_cast<uInt>(got);
      }
      z_.next_out = dest + done;
      z_.avail_out = static_cast<uInt>(room);
      const int status = inflate(&z_, Z_NO_FLUSH);
      const std::int64_t made = room - z_.avail_out;
      done += made;
      produced_ += made;
      if (status == Z_STREAM_END) {
        ended_ = true;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        return FailRead(FormatText("*** Error: MAT-file compressed element is corrupt (zlib: %s).",
                                   z_.msg != nullptr ? z_.msg : "no message"));
      }
    }
    return done;
  }

  // Skips count inflated bytes; false when the stream has fewer (logged
  // when the read failed; the caller names what is missing).
  std::int64_t Skip(std::int64_t count) {
    std::vector<unsigned char> scratch(static_cast<std::size_t>(std::min<std::int64_t>(
        std::max<std::int64_t>(count, 1), static_cast<std::int64_t>(kSkipBytes))));
    std::int64_t done = 0;
    while (done < count) {
      const std::int64_t piece = std::min(count - done, static_cast<std::int64_t>(scratch.size()));
      const std::int64_t got = Read(scratch.data(), piece);
      if (got < 0) return -1;
      done += got;
      if (got < piece) break;
    }
    return done;
  }

 private:
  bool Start() {
    input_.resize(kInflateInputBytes);
    if (inflateInit(&z_) != Z_OK) {
      LogAlways({"*** Error: zlib cannot start inflating."});
      return false;
    }
    ready_ = true;
    return true;
  }

  MatByteReader read_;
  std::int64_t next_;  // file offset of the next compressed byte
  std::int64_t end_;   // file offset after the last one
  std::int64_t limit_;
  std::int64_t produced_ = 0;
  z_stream z_{};
  bool ready_ = false;
  bool ended_ = false;
  std::vector<unsigned char> input_;
};

// The bytes of one variable in stream order: the file from an offset, or the
// inflated stream of a compressed element. position() counts in the
// variable's own offsets (file offsets, or offsets in the inflated stream).
class MatStream {
 public:
  MatStream(const MatByteReader& read, std::int64_t fileOffset)
      : read_(read), position_(fileOffset) {}
  MatStream(const MatByteReader& read, std::int64_t offset, std::int64_t bytes, std::int64_t limit)
      : read_(read), inflater_(std::make_unique<Inflater>(read, offset, bytes, limit)) {}

  std::int64_t position() const { return position_; }
  void SetLimit(std::int64_t limit) {
    if (inflater_) inflater_->SetLimit(limit);
  }

  std::int64_t Read(void* dest, std::int64_t count) {
    const std::int64_t got = inflater_ ? inflater_->Read(static_cast<unsigned char*>(dest), count)
                                       : read_(position_, dest, count);
    if (got > 0) position_ += got;
    return got;
  }

  std::int64_t Skip(std::int64_t count) {
    if (!inflater_) {
      position_ += count;
      return count;
    }
    const std::int64_t got = inflater_->Skip(count);
    if (got > 0) position_ += got;
    return got;
  }

 private:
  MatByteReader read_;
  std::unique_ptr<Inflater> inflater_;
  std::int64_t position_ = 0;
};

// Reads count bytes in order; false when the stream has fewer.
bool ReadExact(MatStream& stream, void* dest, std::int64_t count) {
  return stream.Read(dest, count) == count;
}

// ---- Level 5 elements ----

struct Tag {
  std::uint32_t type = 0;
  std::int64_t size = 0;
  bool small = false;  // the data lies in the tag's last four bytes
  unsigned char data[4] = {};
  std::int64_t start = 0;  // stream offset of the tag
};

// Reads the tag of a subelement that must end by `end`.
int ReadTag(MatStream& stream, std::int64_t end, const FieldOrder& order, const char* what,
            Tag* tag) {
  tag->start = stream.position();
  unsigned char bytes[kTagBytes];
  if (end - tag->start < kTagBytes || !ReadExact(stream, bytes, kTagBytes))
    return Refuse(FormatText("*** Error: MAT-file variable ends inside its %s.", what));
  const std::uint32_t word = order.U32(bytes);
  if ((word >> 16) != 0) {
    // The small data element format: size and type in one word.
    tag->small = true;
    tag->type = word & 0xFFFF;
    tag->size = word >> 16;
    std::memcpy(tag->data, bytes + 4, 4);
    if (tag->size > 4)
      return Refuse(FormatText("*** Error: MAT-file small element of %lld bytes in its %s.",
                               static_cast<long long>(tag->size), what));
    return 1;
  }
  tag->small = false;
  tag->type = word;
  tag->size = order.U32(bytes + 4);
  if (tag->size > end - stream.position())
    return Refuse(FormatText(
        "*** Error: MAT-file %s of %lld bytes runs past the end of its variable (%lld bytes "
        "left).",
        what, static_cast<long long>(tag->size), static_cast<long long>(end - stream.position())));
  return 1;
}

// The data of a subelement of at most maxBytes, then its padding.
int ReadTagData(MatStream& stream, const Tag& tag, std::int64_t maxBytes, const char* what,
                std::string* data) {
  if (tag.size > maxBytes)
    return Refuse(FormatText("*** Error: MAT-file %s of %lld bytes is longer than %lld bytes.",
                             what, static_cast<long long>(tag.size),
                             static_cast<long long>(maxBytes)));
  if (tag.small) {
    data->assign(reinterpret_cast<const char*>(tag.data), static_cast<std::size_t>(tag.size));
    return 1;
  }
  data->assign(static_cast<std::size_t>(tag.size), '\0');
  if (!ReadExact(stream, data->data(), tag.size) ||
      stream.Skip(Pad8(tag.size) - tag.size) != Pad8(tag.size) - tag.size)
    return Refuse(FormatText("*** Error: MAT-file variable ends inside its %s.", what));
  return 1;
}

// The array flags, dimensions, name and the tag of the real part of a
// matrix element whose contents run from the stream's position to `end`.
int ParseMatrix(MatStream& stream, std::int64_t end, const FieldOrder& order, MatVariable* var) {
  Tag tag;
  std::string data;
  if (!ReadTag(stream, end, order, "array flags", &tag)) return 0;
  if (tag.type != kMiUInt32 || tag.size != 8 || tag.small)
    return Refuse("*** Error: MAT-file variable does not begin with its array flags.");
  if (!ReadTagData(stream, tag, 8, "array flags", &data)) return 0;
  const std::uint32_t flags = order.U32(reinterpret_cast<const unsigned char*>(data.data()));
  const std::uint32_t mxClass = flags & 0xFF;
  var->complex = ((flags >> 8) & kFlagComplex) != 0;
  const bool logical = ((flags >> 8) & kFlagLogical) != 0;
  var->kind = ClassName(mxClass);

  if (!ReadTag(stream, end, order, "dimensions", &tag)) return 0;
  if (tag.type != kMiInt32 || tag.size % 4 != 0 || tag.size == 0)
    return Refuse("*** Error: MAT-file variable has no dimensions array.");
  if (!ReadTagData(stream, tag, 4 * kMaxMatDims, "dimensions array", &data)) return 0;
  var->dims.clear();
  for (std::size_t k = 0; k < data.size(); k += 4) {
    const auto dim = static_cast<std::int32_t>(
        order.U32(reinterpret_cast<const unsigned char*>(data.data()) + k));
    if (dim < 0)
      return Refuse(FormatText("*** Error: MAT-file variable has a dimension of %ld.",
                               static_cast<long>(dim)));
    var->dims.push_back(dim);
  }

  if (!ReadTag(stream, end, order, "name", &tag)) return 0;
  if (tag.type != kMiInt8 && tag.type != kMiUInt8)
    return Refuse("*** Error: MAT-file variable has no name element.");
  if (!ReadTagData(stream, tag, kMaxMatNameBytes, "variable name", &var->name)) return 0;
  const std::size_t nul = var->name.find('\0');
  if (nul != std::string::npos) var->name.resize(nul);

  const bool numericClass = mxClass >= kClassDouble && mxClass <= kClassUInt64;
  if (logical && numericClass) var->kind = "logical";
  if (mxClass == kClassSparse) var->kind = "sparse";
  // Only full numeric arrays are read any further.
  var->numeric = numericClass && !logical;
  var->end = end;
  if (!var->numeric) return 1;
  var->classStorage = StorageOfClass(mxClass);

  // Any element count the variable's bytes cannot hold is refused below.
  var->elements = ElementCount(var->dims, INT64_MAX);
  if (var->elements < 0)
    return RefuseVariable(Printable(var->name), "' has dimensions whose product overflows.");
  if (!ReadTag(stream, end, order, "real part", &tag)) return 0;
  const int unit = StorageBytes(tag.type);
  if (unit == 0)
    return Refuse(
        FormatText("*** Error: MAT-file variable '%s' stores its values as type %lu, "
                   "which holds no numbers.",
                   Printable(var->name).c_str(), static_cast<unsigned long>(tag.type)));
  if (var->elements > tag.size / unit || var->elements * unit != tag.size)
    return Refuse(
        FormatText("*** Error: MAT-file variable '%s' has %lld elements, but its real "
                   "part holds %lld bytes of %s.",
                   Printable(var->name).c_str(), static_cast<long long>(var->elements),
                   static_cast<long long>(tag.size), StorageName(tag.type)));
  var->real.storage = static_cast<int>(tag.type);
  var->real.bytes = tag.size;
  var->real.offset = tag.small ? tag.start + 4 : tag.start + kTagBytes;
  if (var->complex) {
    // The imaginary part follows the real one; its tag is read when it is opened.
    var->imag.offset = tag.small ? tag.start + kTagBytes : var->real.offset + Pad8(tag.size);
    if (var->imag.offset > end - kTagBytes)
      return RefuseVariable(Printable(var->name), "' is complex but has no imaginary part.");
  }
  return 1;
}

int ParseLevel5(const MatByteReader& read, std::int64_t fileSize, const FieldOrder& order,
                MatFile* mat) {
  std::int64_t position = kLevel5HeaderBytes;
  while (position < fileSize) {
    if (fileSize - position < kTagBytes)
      return Refuse(FormatText("*** Error: MAT-file ends inside the element tag at byte %lld.",
                               static_cast<long long>(position)));
    unsigned char bytes[kTagBytes];
    if (read(position, bytes, kTagBytes) != kTagBytes) return Refuse("*** File I/O error.");
    std::uint32_t type = order.U32(bytes);
    std::int64_t size = order.U32(bytes + 4);
    std::int64_t next = 0;
    if ((type >> 16) != 0) {
      // A small element at the top level: no variable.
      next = position + kTagBytes;
      type = 0;
    } else {
      if (size > fileSize - position - kTagBytes)
        return Refuse(FormatText(
            "*** Error: MAT-file element at byte %lld declares %lld bytes, but the file holds "
            "%lld more.",
            static_cast<long long>(position), static_cast<long long>(size),
            static_cast<long long>(fileSize - position - kTagBytes)));
      // A compressed element is not padded; every other ends on 8 bytes.
      next = std::min(fileSize, position + kTagBytes + (type == kMiCompressed ? size : Pad8(size)));
    }
    if ((type == kMiMatrix && size > 0) || type == kMiCompressed) {
      if (mat->variables.size() >= kMaxMatVariables)
        return Refuse(
            FormatText("*** Error: MAT-file holds more than %zu variables.", kMaxMatVariables));
      MatVariable var;
      if (type == kMiMatrix) {
        MatStream stream(read, position + kTagBytes);
        if (!ParseMatrix(stream, position + kTagBytes + size, order, &var)) return 0;
      } else {
        MatStream stream(read, position + kTagBytes, size, kTagBytes);
        unsigned char inner[kTagBytes];
        if (stream.Read(inner, kTagBytes) != kTagBytes)
          return Refuse(
              FormatText("*** Error: MAT-file compressed element at byte %lld holds "
                         "no element.",
                         static_cast<long long>(position)));
        const std::uint32_t innerType = order.U32(inner);
        const std::int64_t innerSize = order.U32(inner + 4);
        if (innerType != kMiMatrix) {
          ++mat->otherElements;
          position = next;
          continue;
        }
        if (innerSize > size * kMaxDeflateRatio)
          return Refuse(FormatText(
              "*** Error: MAT-file compressed element at byte %lld declares %lld bytes, more "
              "than its %lld compressed bytes can hold.",
              static_cast<long long>(position), static_cast<long long>(innerSize),
              static_cast<long long>(size)));
        stream.SetLimit(kTagBytes + innerSize);
        if (!ParseMatrix(stream, kTagBytes + innerSize, order, &var)) return 0;
        var.compressed = true;
        var.compressedOffset = position + kTagBytes;
        var.compressedBytes = size;
        var.inflatedBytes = kTagBytes + innerSize;
      }
      mat->variables.push_back(std::move(var));
    } else if (type != kMiMatrix) {
      ++mat->otherElements;
    }
    position = next;
  }
  return 1;
}

// ---- Level 4 ----

struct Level4Header {
  bool bigEndian = false;
  int precision = 0;   // P: 0 double, 1 single, 2 int32, 3 int16, 4 uint16, 5 uint8
  int matrixType = 0;  // T: 0 full, 1 text, 2 sparse
  std::int64_t rows = 0;
  std::int64_t columns = 0;
  bool imaginary = false;
  std::int64_t nameBytes = 0;
};

int Level4Storage(int precision) {
  static const int kStorage[] = {kMiDouble, kMiSingle, kMiInt32, kMiInt16, kMiUInt16, kMiUInt8};
  return kStorage[precision];
}

// The 20 header bytes of a Level 4 matrix, when they are plausible: the
// type MOPT with M 0 (little-endian) or 1 (big-endian), O 0, P 0 to 5 and
// T 0 to 2, counts that are not negative, a name of 1 to kMaxMatNameBytes.
bool ReadLevel4Header(const unsigned char* bytes, Level4Header* header) {
  std::uint32_t type = LoadLE32(bytes);
  header->bigEndian = false;
  if (type >= 1000) {
    type = LoadBE32(bytes);
    header->bigEndian = true;
    if (type < 1000 || type >= 2000) return false;
    type -= 1000;
  }
  if (type / 100 != 0 || (type / 10) % 10 > 5 || type % 10 > 2) return false;
  header->precision = static_cast<int>((type / 10) % 10);
  header->matrixType = static_cast<int>(type % 10);
  const FieldOrder order{header->bigEndian};
  const auto rows = static_cast<std::int32_t>(order.U32(bytes + 4));
  const auto columns = static_cast<std::int32_t>(order.U32(bytes + 8));
  const std::uint32_t imaginary = order.U32(bytes + 12);
  const auto nameBytes = static_cast<std::int32_t>(order.U32(bytes + 16));
  if (rows < 0 || columns < 0 || imaginary > 1 || nameBytes < 1 || nameBytes > kMaxMatNameBytes)
    return false;
  header->rows = rows;
  header->columns = columns;
  header->imaginary = imaginary == 1;
  header->nameBytes = nameBytes;
  return true;
}

// Bytes of a Level 4 matrix's values (both parts); INT64_MAX when they pass
// it (rows and columns are 31-bit, so their product alone fits).
std::int64_t Level4DataBytes(const Level4Header& header) {
  const std::int64_t elements = header.rows * header.columns;
  const std::int64_t perElement =
      StorageBytes(Level4Storage(header.precision)) * (header.imaginary ? 2 : 1);
  return elements > INT64_MAX / perElement ? INT64_MAX : elements * perElement;
}

int ParseLevel4(const MatByteReader& read, std::int64_t fileSize, MatFile* mat) {
  mat->level = 4;
  std::int64_t position = 0;
  while (position < fileSize) {
    unsigned char bytes[kLevel4HeaderBytes];
    if (fileSize - position < kLevel4HeaderBytes)
      return Refuse(FormatText("*** Error: MAT-file ends inside the matrix header at byte %lld.",
                               static_cast<long long>(position)));
    if (read(position, bytes, kLevel4HeaderBytes) != kLevel4HeaderBytes)
      return Refuse("*** File I/O error.");
    Level4Header header;
    if (!ReadLevel4Header(bytes, &header))
      return Refuse(FormatText(
          position == 0 ? "*** Error: Not a MAT-file: neither a Level 5 header nor a Level 4 "
                          "matrix header at byte %lld."
                        : "*** Error: MAT-file has no valid Level 4 matrix header at byte %lld.",
          static_cast<long long>(position)));
    if (position == 0) mat->bigEndian = header.bigEndian;
    if (mat->variables.size() >= kMaxMatVariables)
      return Refuse(
          FormatText("*** Error: MAT-file holds more than %zu variables.", kMaxMatVariables));
    position += kLevel4HeaderBytes;
    const std::int64_t dataBytes = Level4DataBytes(header);
    if (header.nameBytes > fileSize - position ||
        dataBytes > fileSize - position - header.nameBytes)
      return Refuse(FormatText(
          "*** Error: MAT-file matrix at byte %lld needs %lld bytes, but the "
          "file holds %lld more.",
          static_cast<long long>(position - kLevel4HeaderBytes),
          static_cast<long long>(
              dataBytes > INT64_MAX - header.nameBytes ? INT64_MAX : header.nameBytes + dataBytes),
          static_cast<long long>(fileSize - position)));
    MatVariable var;
    var.name.assign(static_cast<std::size_t>(header.nameBytes), '\0');
    if (read(position, var.name.data(), header.nameBytes) != header.nameBytes)
      return Refuse("*** File I/O error.");
    const std::size_t nul = var.name.find('\0');
    if (nul != std::string::npos) var.name.resize(nul);
    position += header.nameBytes;
    var.dims = {header.rows, header.columns};
    var.elements = header.rows * header.columns;
    var.complex = header.imaginary;
    var.classStorage = Level4Storage(header.precision);
    var.kind = header.matrixType == 1   ? "char"
               : header.matrixType == 2 ? "sparse"
                                        : StorageName(var.classStorage);
    var.numeric = header.matrixType == 0;
    const std::int64_t partBytes = var.elements * StorageBytes(var.classStorage);
    var.real = {position, partBytes, var.classStorage};
    var.imag = {position + partBytes, header.imaginary ? partBytes : 0, var.classStorage};
    var.level4Imag = true;
    position += dataBytes;
    var.end = position;
    mat->variables.push_back(std::move(var));
  }
  return 1;
}

// ---- the sources of the block reader ----

double StoredValue(const unsigned char* bytes, int storage, bool bigEndian) {
  const FieldOrder order{bigEndian};
  const auto u64 = [&] { return bigEndian ? LoadBE64(bytes) : LoadLE64(bytes); };
  switch (storage) {
    case kMiInt8:
      return static_cast<std::int8_t>(bytes[0]);
    case kMiUInt8:
      return bytes[0];
    case kMiInt16:
      return static_cast<std::int16_t>(order.U16(bytes));
    case kMiUInt16:
      return order.U16(bytes);
    case kMiInt32:
      return static_cast<std::int32_t>(order.U32(bytes));
    case kMiUInt32:
      return order.U32(bytes);
    case kMiSingle:
      return std::bit_cast<float>(order.U32(bytes));
    case kMiDouble:
      return std::bit_cast<double>(u64());
    case kMiInt64:
      return static_cast<double>(static_cast<std::int64_t>(u64()));
    case kMiUInt64:
      return static_cast<double>(u64());
    default:
      return 0.0;
  }
}

// One part of a variable as units of its class, little-endian. The stored
// values are the class's own units (byte-swapped for a big-endian file) or,
// for a float class, numbers of a narrower stored type (MATLAB stores a
// double array of small integers as integers), widened to the class.
struct PartReader {
  std::shared_ptr<MatStream> stream;
  std::string name;
  int storage = kMiDouble;
  int classStorage = kMiDouble;
  bool bigEndian = false;
  std::int64_t unitsLeft = 0;
  std::vector<unsigned char> stored;

  std::int32_t Read(void* dest, std::int32_t count) {
    const int classUnit = StorageBytes(classStorage);
    const int storedUnit = StorageBytes(storage);
    const std::int64_t units = std::min<std::int64_t>(count / classUnit, unitsLeft);
    if (units <= 0) return 0;
    auto* out = static_cast<unsigned char*>(dest);
    const bool same = storage == classStorage;
    unsigned char* target = out;
    if (!same) {
      stored.resize(static_cast<std::size_t>(units * storedUnit));
      target = stored.data();
    }
    const std::int64_t want = units * storedUnit;
    const std::int64_t got = stream->Read(target, want);
    if (got < 0) return -1;
    if (got < want) {
      LogAlways({"*** Error: MAT-file variable '", Printable(name), "' ends inside its values."});
      return -1;
    }
    unitsLeft -= units;
    if (same) {
      if (bigEndian && classUnit > 1)
        for (std::int64_t k = 0; k < units; ++k)
          ReverseBytes(out + k * classUnit, static_cast<std::size_t>(classUnit));
    } else {
      for (std::int64_t k = 0; k < units; ++k) {
        const double value = StoredValue(stored.data() + k * storedUnit, storage, bigEndian);
        if (classStorage == kMiDouble)
          StoreLE64(std::bit_cast<std::uint64_t>(value), out + k * 8);
        else
          StoreLE32(std::bit_cast<std::uint32_t>(static_cast<float>(value)), out + k * 4);
      }
    }
    return static_cast<std::int32_t>(units * classUnit);
  }
};

}  // namespace

int MatStorageBytes(std::uint32_t storage) { return StorageBytes(storage); }

MatByteReader FileMatReader(std::FILE* file, std::size_t bufferBytes) {
  struct Window {
    std::FILE* file = nullptr;
    std::vector<unsigned char> buffer;
    std::int64_t start = 0;
    std::int64_t filled = 0;
  };
  auto window = std::make_shared<Window>();
  window->file = file;
  window->buffer.resize(bufferBytes);
  const auto direct = [window](std::int64_t offset, void* dest, std::int64_t count) {
    if (!platform::SeekFile(window->file, offset)) return std::int64_t{-1};
    const std::size_t got = platform::ReadFile(window->file, dest, static_cast<std::size_t>(count));
    if (got < static_cast<std::size_t>(count) && std::ferror(window->file)) return std::int64_t{-1};
    return static_cast<std::int64_t>(got);
  };
  return [window, direct](std::int64_t offset, void* dest, std::int64_t count) -> std::int64_t {
    if (count <= 0) return 0;
    const auto size = static_cast<std::int64_t>(window->buffer.size());
    if (count >= size) return direct(offset, dest, count);
    if (offset < window->start || offset + count > window->start + window->filled) {
      const std::int64_t got = direct(offset, window->buffer.data(), size);
      if (got < 0) return -1;
      window->start = offset;
      window->filled = got;
    }
    const std::int64_t take =
        std::max<std::int64_t>(0, std::min(count, window->start + window->filled - offset));
    std::memcpy(dest, window->buffer.data() + (offset - window->start),
                static_cast<std::size_t>(take));
    return take;
  };
}

SampleType MatSampleType(int storage) {
  switch (storage) {
    case kMiInt8:
      return SampleType::kInt8;
    case kMiUInt8:
      return SampleType::kUInt8Centered;
    case kMiInt16:
      return SampleType::kInt16;
    case kMiUInt16:
      return SampleType::kUInt16;
    case kMiInt32:
      return SampleType::kInt32;
    case kMiUInt32:
      return SampleType::kUInt32;
    case kMiInt64:
      return SampleType::kInt64;
    case kMiUInt64:
      return SampleType::kUInt64;
    case kMiSingle:
      return SampleType::kFloat32;
    default:
      return SampleType::kFloat64;
  }
}

int ParseMatFile(const MatByteReader& read, std::int64_t fileSize, MatFile* mat) {
  *mat = MatFile{};
  unsigned char header[kLevel5HeaderBytes] = {};
  const std::int64_t got = read(0, header, std::min(fileSize, kLevel5HeaderBytes));
  if (got < 0) return Refuse("*** File I/O error.");
  if (got == kLevel5HeaderBytes &&
      (std::memcmp(header + 126, "IM", 2) == 0 || std::memcmp(header + 126, "MI", 2) == 0)) {
    const FieldOrder order{std::memcmp(header + 126, "MI", 2) == 0};
    mat->bigEndian = order.bigEndian;
    std::string text(reinterpret_cast<const char*>(header), 116);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    mat->headerText = Printable(text);
    const std::uint16_t version = order.U16(header + 124);
    unsigned char hdf5[8] = {};
    const bool hdf5Signature =
        read(kHdf5SignatureOffset, hdf5, 8) == 8 && std::memcmp(hdf5, kHdf5Signature, 8) == 0;
    if (version == kVersion73 || hdf5Signature || text.rfind("MATLAB 7.3 MAT-file", 0) == 0)
      return Refuse(
          "*** Error: MATLAB 7.3 MAT-files (HDF5) are not supported; save the variables with "
          "save(..., '-v7') (or -v6) and convert that file.");
    if (version != kVersion5)
      return Refuse(
          FormatText("*** Error: MAT-file version 0x%04X is not supported (0x0100, "
                     "MATLAB -v6 and -v7).",
                     static_cast<unsigned>(version)));
    return ParseLevel5(read, fileSize, order, mat);
  }
  return ParseLevel4(read, fileSize, mat);
}

bool LooksLikeMatLevel4(const unsigned char* bytes, std::size_t size, std::int64_t fileSize) {
  Level4Header header;
  if (size < static_cast<std::size_t>(kLevel4HeaderBytes) || !ReadLevel4Header(bytes, &header))
    return false;
  const std::int64_t nameEnd = kLevel4HeaderBytes + header.nameBytes;
  return nameEnd <= static_cast<std::int64_t>(size) && bytes[nameEnd - 1] == '\0' &&
         Level4DataBytes(header) <= fileSize - nameEnd;
}

std::string DescribeMatVariable(const MatVariable& variable) {
  std::string text = Printable(variable.name);
  text += variable.complex ? " (complex " : " (";
  text += variable.kind;
  for (std::size_t k = 0; k < variable.dims.size(); ++k) {
    text += k > 0 ? "x" : " ";
    text += std::to_string(variable.dims[k]);
  }
  text += ")";
  return text;
}

int OpenMatPart(const MatByteReader& read, const MatFile& mat, const MatVariable& variable,
                bool imaginary, std::int64_t skipUnits, std::int64_t units, SampleSource* source) {
  const FieldOrder order{mat.bigEndian};
  const auto open = [&] {
    return variable.compressed
               ? std::make_shared<MatStream>(read, variable.compressedOffset,
                                             variable.compressedBytes, variable.inflatedBytes)
               : std::make_shared<MatStream>(read, 0);
  };
  std::shared_ptr<MatStream> stream = open();
  MatPart part = imaginary ? variable.imag : variable.real;
  const std::string name = Printable(variable.name);
  if (imaginary && !variable.level4Imag) {
    if (stream->Skip(part.offset) != part.offset)
      return RefuseVariable(name, "' ends before its imaginary part.");
    Tag tag;
    if (!ReadTag(*stream, variable.end, order, "imaginary part", &tag)) return 0;
    const int unit = StorageBytes(tag.type);
    if (unit == 0 || variable.elements > tag.size / unit || variable.elements * unit != tag.size)
      return Refuse(
          FormatText("*** Error: MAT-file variable '%s' has %lld elements, but its "
                     "imaginary part holds %lld bytes of %s.",
                     name.c_str(), static_cast<long long>(variable.elements),
                     static_cast<long long>(tag.size), StorageName(static_cast<int>(tag.type))));
    part = {tag.small ? tag.start + 4 : tag.start + kTagBytes, tag.size,
            static_cast<int>(tag.type)};
    // The values of a small element lie in its tag, behind the stream's
    // position: a stream of its own starts again.
    if (tag.small) stream = open();
  }
  const bool floatClass = variable.classStorage == kMiDouble || variable.classStorage == kMiSingle;
  if (part.storage != variable.classStorage && !floatClass)
    return Refuse(
        FormatText("*** Error: MAT-file variable '%s' of class %s stores its values as "
                   "%s; only its own type is supported for an integer class.",
                   name.c_str(), variable.kind.c_str(), StorageName(part.storage)));
  const int storedUnit = StorageBytes(part.storage);
  if (skipUnits + units > part.bytes / storedUnit)
    return RefuseVariable(name, "' holds fewer values than needed.");
  const std::int64_t start = part.offset + skipUnits * storedUnit;
  const std::int64_t gap = start - stream->position();
  if (gap < 0 || stream->Skip(gap) != gap) return RefuseVariable(name, "' ends before its values.");
  auto reader = std::make_shared<PartReader>();
  reader->stream = stream;
  reader->name = variable.name;
  reader->storage = part.storage;
  reader->classStorage = variable.classStorage;
  reader->bigEndian = mat.bigEndian;
  reader->unitsLeft = units;
  *source = [reader](void* dest, std::int32_t count) { return reader->Read(dest, count); };
  return 1;
}
