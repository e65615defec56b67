// The MAT-file reader on arbitrary bytes. Input layout: byte 0 picks the
// variable named with -var (0: the reader's own choice, else the first
// variable's name), the rest is the file. The listing is parsed from memory,
// where every variable it takes must have its values inside the file (or
// inside the declared size of its compressed stream), and the file is then
// imported whole, which must leave no slot busy and only full-scale samples.

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/InputFormat.h"
#include "common/Limits.h"
#include "common/WaveInfo.h"
#include "import/ImportRawIQ.h"
#include "import/MatImport.h"
#include "platform/Platform.h"

namespace {

MatByteReader MemoryReader(const std::string& bytes) {
  return [&bytes](std::int64_t offset, void* dest, std::int64_t count) -> std::int64_t {
    const auto size = static_cast<std::int64_t>(bytes.size());
    if (offset < 0 || offset > size) return 0;
    const std::int64_t take = std::min(count, size - offset);
    std::copy_n(bytes.data() + offset, take, static_cast<char*>(dest));
    return take;
  };
}

// Checks a successful listing; *firstName: the first variable's name.
void CheckParser(const std::string& file, std::string* firstName) {
  const auto size = static_cast<std::int64_t>(file.size());
  MatFile mat;
  if (!ParseMatFile(MemoryReader(file), size, &mat)) return;
  FUZZ_CHECK(mat.variables.size() <= kMaxMatVariables, "");
  if (!mat.variables.empty()) *firstName = mat.variables[0].name;
  for (const MatVariable& v : mat.variables) {
    FUZZ_CHECK(static_cast<std::int64_t>(v.name.size()) <= kMaxMatNameBytes, "");
    if (v.compressed) {
      FUZZ_CHECK(v.compressedOffset >= 0 && v.compressedOffset + v.compressedBytes <= size, v.name);
      FUZZ_CHECK(v.inflatedBytes <= 8 + v.compressedBytes * 1032, v.name);
      FUZZ_CHECK(v.end <= v.inflatedBytes, v.name);
    } else {
      FUZZ_CHECK(v.end <= size, v.name);
    }
    if (!v.numeric) continue;
    FUZZ_CHECK(v.elements >= 0 && v.real.bytes == v.elements * MatStorageBytes(v.real.storage),
               v.name);
    FUZZ_CHECK(v.real.offset >= 0 && v.real.offset + v.real.bytes <= v.end, v.name);
    if (v.complex) FUZZ_CHECK(v.imag.offset <= v.end, v.name);
  }
}

void CheckImport(const std::string& file, const std::string& variable) {
  const std::string input = fuzz_support::ScratchFile("in.mat");
  fuzz_support::WriteScratchFile(input, file.data(), file.size());
  std::FILE* temp = platform::OpenFile(fuzz_support::ScratchFile("temp.dat"), "w+b");
  if (temp == nullptr) fuzz_support::Fail("temporary file");
  WaveInfo info;
  info.clock = 1e6;
  info.matVariable = variable;
  const int ok = ImportRawIQ(input, "", info, kFormatMat, temp);
  fuzz_support::CheckSlotsFree();
  if (ok) {
    std::string payload;
    FUZZ_CHECK(fuzz_support::ReadEncryptedPayload(temp, &payload), "");
    FUZZ_CHECK(payload.size() == kTempWaveHeaderSize + 8 * static_cast<std::size_t>(info.samples),
               "");
    fuzz_support::CheckPairsInsideFullScale(payload, info.samples);
  }
  platform::CloseFile(temp);
}

// ---- seeds ----

std::string Word(std::uint64_t value, int bytes, bool be) {
  std::string out;
  for (int k = 0; k < bytes; ++k)
    out.push_back(static_cast<char>(value >> (8 * (be ? bytes - 1 - k : k))));
  return out;
}

std::string Element(std::uint32_t type, const std::string& data, bool be) {
  if (!data.empty() && data.size() <= 4 && type != 14)
    return Word((static_cast<std::uint32_t>(data.size()) << 16) | type, 4, be) + data +
           std::string(4 - data.size(), '\0');
  std::string out = Word(type, 4, be) + Word(data.size(), 4, be) + data;
  out.append((8 - out.size() % 8) % 8, '\0');
  return out;
}

std::string Matrix(const std::string& name, int mxClass, int rows, int columns, bool complex,
                   int storage, const std::string& values, bool be) {
  // Array flags and dimensions in full tags, the name possibly small.
  std::string contents = Word(6, 4, be) + Word(8, 4, be) +
                         Word(((complex ? 8u : 0u) << 8) | mxClass, 4, be) + Word(0, 4, be);
  contents += Word(5, 4, be) + Word(8, 4, be) + Word(rows, 4, be) + Word(columns, 4, be);
  contents += Element(1, name, be);
  if (mxClass >= 6) {
    contents += Element(storage, values, be);
    if (complex) contents += Element(storage, values, be);
  }
  return Element(14, contents, be);
}

std::string Compressed(const std::string& element, bool be) {
  uLongf size = compressBound(static_cast<uLong>(element.size()));
  std::string packed(size, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
            reinterpret_cast<const Bytef*>(element.data()), static_cast<uLong>(element.size()), 6);
  packed.resize(size);
  return Word(15, 4, be) + Word(packed.size(), 4, be) + packed;
}

std::string Header(bool be) {
  std::string text = "MATLAB 5.0 MAT-file, fuzz seed";
  text.resize(116, ' ');
  return text + std::string(8, '\0') + Word(0x0100, 2, be) + (be ? "MI" : "IM");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();
  if (size < 1) return 0;
  const bool named = data[0] % 2 == 1;
  const std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string first;
  CheckParser(file, &first);
  CheckImport(file, named ? first : "");
  return 0;
}

std::vector<std::string> FuzzSeeds() {
  std::vector<std::string> seeds;
  for (const bool be : {false, true}) {
    const std::string i16 = Word(1000, 2, be) + Word(0xF000, 2, be) + Word(7, 2, be) +
                            Word(0x8000, 2, be) + Word(12, 2, be) + Word(0x7FFF, 2, be);
    const std::string f64 = Word(std::bit_cast<std::uint64_t>(0.5), 8, be) +
                            Word(std::bit_cast<std::uint64_t>(-0.25), 8, be);
    const std::string columns = Matrix("iq", 10, 3, 2, false, 3, i16, be);
    const std::string complexVector = Matrix("z", 6, 1, 2, true, 9, f64, be);
    const std::string text = Matrix("t", 4, 1, 2, false, 0, "", be);
    const std::string narrow = Matrix("w", 6, 1, 3, true, 2, std::string("\x01\x02\x03", 3), be);
    seeds.push_back(std::string(1, '\0') + Header(be) + columns + text);
    seeds.push_back(std::string(1, '\1') + Header(be) + Compressed(complexVector, be) +
                    Compressed(columns, be));
    seeds.push_back(std::string(1, '\0') + Header(be) + Compressed(narrow, be));
    // Level 4: a complex double column and an int16 N x 2 matrix.
    std::string level4 = Word(be ? 1000 : 0, 4, be) + Word(2, 4, be) + Word(1, 4, be) +
                         Word(1, 4, be) + Word(2, 4, be) + std::string("z\0", 2) + f64 + f64;
    level4 += Word(be ? 1030 : 30, 4, be) + Word(3, 4, be) + Word(2, 4, be) + Word(0, 4, be) +
              Word(3, 4, be) + std::string("iq\0", 3) + i16;
    seeds.push_back(std::string(1, '\1') + level4);
  }
  return seeds;
}
