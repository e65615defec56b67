// NumPy .npy reader: format versions 1 to 3, arrays of complex64 or
// complex128 (shape (N,)), of float32, float64 or int16 with shape (N, 2)
// (I, Q) or (N,) (real, read as I with Q = 0), in C order, either byte order.
#include <cctype>
#include <cstring>
#include <vector>

#include "Shared/FileIO/TempFiles.h"
#include "common/ByteOrder.h"
#include "common/Log.h"
#include "import/ContainerImport.h"

namespace {

constexpr unsigned char kMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
// NumPy itself writes headers of a few hundred bytes; anything this long is
// no header.
constexpr std::int64_t kMaxHeaderBytes = 1 << 20;

int Refuse(const std::string& message) {
  LogAlways({message});
  return 0;
}

// One value of the header's dict literal.
struct DictValue {
  enum class Kind { kString, kBool, kTuple } kind = Kind::kString;
  std::string text;                 // kString
  bool flag = false;                // kBool
  std::vector<std::int64_t> items;  // kTuple
  std::string source;               // the value as written, for messages
};

// A parser of the small Python literal subset the header uses: a dict of
// quoted keys to quoted strings, True/False and tuples of integers.
class DictParser {
 public:
  explicit DictParser(const std::string& text) : text_(text) {}

  bool ParseEntry(std::string* key, DictValue* value, bool* end) {
    Skip();
    if (Peek() == '}') {
      ++pos_;
      *end = true;
      return true;
    }
    if (!ParseString(key)) return false;
    Skip();
    if (Peek() != ':') return false;
    ++pos_;
    if (!ParseValue(value)) return false;
    Skip();
    if (Peek() == ',') ++pos_;
    *end = false;
    return true;
  }

  bool Open() {
    Skip();
    if (Peek() != '{') return false;
    ++pos_;
    return true;
  }

 private:
  char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void Skip() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  bool ParseString(std::string* out) {
    const char quote = Peek();
    if (quote != '\'' && quote != '"') return false;
    const std::size_t close = text_.find(quote, pos_ + 1);
    if (close == std::string::npos) return false;
    *out = text_.substr(pos_ + 1, close - pos_ - 1);
    pos_ = close + 1;
    return true;
  }

  bool ParseInteger(std::int64_t* out) {
    Skip();
    const std::size_t start = pos_;
    std::int64_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(Peek()))) {
      if (value > (INT64_MAX - 9) / 10) return false;
      value = value * 10 + (Peek() - '0');
      ++pos_;
    }
    if (pos_ == start) return false;
    if (Peek() == 'L') ++pos_;  // written by old Python versions
    *out = value;
    return true;
  }

  bool ParseValue(DictValue* value) {
    Skip();
    const std::size_t start = pos_;
    const char c = Peek();
    if (c == '\'' || c == '"') {
      value->kind = DictValue::Kind::kString;
      if (!ParseString(&value->text)) return false;
    } else if (text_.compare(pos_, 4, "True") == 0 || text_.compare(pos_, 5, "False") == 0) {
      value->kind = DictValue::Kind::kBool;
      value->flag = c == 'T';
      pos_ += value->flag ? 4 : 5;
    } else if (c == '(') {
      value->kind = DictValue::Kind::kTuple;
      ++pos_;
      for (;;) {
        Skip();
        if (Peek() == ')') break;
        std::int64_t item = 0;
        if (!ParseInteger(&item)) return false;
        value->items.push_back(item);
        Skip();
        if (Peek() == ',')
          ++pos_;
        else if (Peek() != ')')
          return false;
      }
      ++pos_;
    } else {
      // Lists (structured dtypes) and anything else: taken as written, up to
      // the next top-level comma, and refused by the caller.
      int depth = 0;
      while (pos_ < text_.size()) {
        const char d = text_[pos_];
        if (d == '[' || d == '(') ++depth;
        if (d == ']' || d == ')') --depth;
        if ((d == ',' || d == '}') && depth <= 0) break;
        ++pos_;
      }
      value->kind = DictValue::Kind::kString;
      value->text.clear();
      value->source = text_.substr(start, pos_ - start);
      return !value->source.empty() && c == '[';
    }
    value->source = text_.substr(start, pos_ - start);
    return true;
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

std::string ShapeText(const std::vector<std::int64_t>& shape) {
  std::string text = "(";
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (k > 0) text += ", ";
    text += std::to_string(shape[k]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

// The sample layout of a dtype and shape; false when they are not one of the
// supported I/Q arrays.
bool LayoutFor(const std::string& descr, const std::vector<std::int64_t>& shape,
               SampleLayout* sample, std::int64_t* pairs) {
  if (descr.size() < 2) return false;
  const char order = descr[0];
  if (order != '<' && order != '>' && order != '|' && order != '=') return false;
  const std::string kind = descr.substr(1);
  sample->bigEndian = order == '>';
  const bool complexType = kind == "c8" || kind == "c16";
  const bool realType = kind == "f4" || kind == "f8" || kind == "i2";
  if (complexType && shape.size() == 1) {
    sample->type = kind == "c8" ? SampleType::kFloat32 : SampleType::kFloat64;
  } else if (realType && (shape.size() == 1 || (shape.size() == 2 && shape[1] == 2))) {
    sample->type = kind == "f4"   ? SampleType::kFloat32
                   : kind == "f8" ? SampleType::kFloat64
                                  : SampleType::kInt16;
    // A 1-D real array is one real value per sample; (N, 2) holds I and Q.
    sample->channels = shape.size() == 1 ? 1 : 2;
  } else {
    return false;
  }
  // A declared float type holds values as they are, full scale or beyond.
  sample->declaredType = sample->type != SampleType::kInt16;
  *pairs = shape[0];
  return true;
}

}  // namespace

int ParseNpyHeader(const HeaderReader& read, std::int64_t fileSize, NpyLayout* layout) {
  unsigned char head[8];
  if (read(head, 8) != 8 || std::memcmp(head, kMagic, sizeof kMagic) != 0)
    return Refuse("*** Error: Not a NumPy file: no \\x93NUMPY magic.");
  const int major = head[6];
  const int minor = head[7];
  if (major < 1 || major > 3) {
    return Refuse(
        FormatText("*** Error: NumPy format version %d.%d is not supported (1.0 to "
                   "3.0).",
                   major, minor));
  }
  const int lengthBytes = major == 1 ? 2 : 4;
  unsigned char lengthField[4] = {};
  if (read(lengthField, lengthBytes) != lengthBytes)
    return Refuse("*** Error: NumPy file ends inside its header.");
  const std::int64_t headerBytes = major == 1 ? LoadLE16(lengthField) : LoadLE32(lengthField);
  if (headerBytes > kMaxHeaderBytes) {
    return Refuse(FormatText("*** Error: NumPy header of %lld bytes is too long.",
                             static_cast<long long>(headerBytes)));
  }
  std::string header(static_cast<std::size_t>(headerBytes), '\0');
  if (read(header.data(), headerBytes) != headerBytes)
    return Refuse("*** Error: NumPy file ends inside its header.");
  layout->dataOffset = 8 + lengthBytes + headerBytes;

  DictParser parser(header);
  bool haveDescr = false, haveOrder = false, haveShape = false, fortran = false;
  std::vector<std::int64_t> shape;
  bool end = false;
  bool ok = parser.Open();
  while (ok) {
    std::string key;
    DictValue value;
    ok = parser.ParseEntry(&key, &value, &end);
    if (!ok || end) break;
    if (key == "descr") {
      haveDescr = true;
      layout->descr = value.text.empty() ? value.source : value.text;
    } else if (key == "fortran_order" && value.kind == DictValue::Kind::kBool) {
      haveOrder = true;
      fortran = value.flag;
    } else if (key == "shape" && value.kind == DictValue::Kind::kTuple) {
      haveShape = true;
      shape = value.items;
    }
  }
  if (!ok || !end || !haveDescr || !haveOrder || !haveShape)
    return Refuse("*** Error: NumPy header cannot be read: " + header.substr(0, 200));
  layout->shape = ShapeText(shape);

  std::int64_t pairs = 0;
  if (!LayoutFor(layout->descr, shape, &layout->sample, &pairs)) {
    return Refuse("*** Error: NumPy dtype '" + layout->descr + "' with shape " + layout->shape +
                  " is not supported (complex64 or complex128 of shape (N,), or float32, "
                  "float64 or int16 of shape (N, 2) or, real, of shape (N,)).");
  }
  if (fortran && shape.size() > 1)
    return Refuse("*** Error: NumPy array of shape " + layout->shape +
                  " is in Fortran (column) order; only C order is supported.");
  const std::int64_t pairBytes = layout->sample.channels * SampleUnitBytes(layout->sample.type);
  const std::int64_t available = fileSize - layout->dataOffset;
  if (pairs > available / pairBytes) {
    return Refuse(FormatText(
        "*** Error: NumPy array of shape %s needs %lld data bytes, but the "
        "file holds %lld.",
        layout->shape.c_str(),
        static_cast<long long>(pairs > INT64_MAX / pairBytes ? INT64_MAX : pairs * pairBytes),
        static_cast<long long>(available)));
  }
  layout->dataBytes = pairs * pairBytes;
  return 1;
}

int ImportNpy(InputFile& file, SlotGuard& tempSlot, WaveInfo& info, ImportLevels& levels) {
  SampleInput input;
  if (!AttachSampleInput(file, tempSlot, input)) return 0;
  NpyLayout layout;
  if (!ParseNpyHeader(SlotHeaderReader(kSlotImportInput), input.first.size, &layout)) {
    tempSlot.Release();
    return 0;
  }
  LogAlways({"NumPy array, dtype '", layout.descr, "', shape ", layout.shape, "."});
  if (layout.dataOffset + layout.dataBytes < input.first.size) {
    LogMessage(kLogWarning,
               {FormatText("%lld bytes after the array's data are ignored.",
                           static_cast<long long>(input.first.size - layout.dataOffset -
                                                  layout.dataBytes))});
  }
  // An .npy file carries no sample rate; the clock comes from -clock.
  if (!TakeSampleRate(0.0, "NumPy file", info)) {
    tempSlot.Release();
    return 0;
  }
  SampleData data;
  data.layout = layout.sample;
  data.dataOffset = layout.dataOffset;
  data.dataBytes = layout.dataBytes;
  return ImportSampleData(data, input, tempSlot, info, levels);
}
