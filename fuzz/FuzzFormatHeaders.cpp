// The readers of files with a header on arbitrary bytes. Input layout: byte 0
// picks WAV, NumPy, SigMF metadata, -format auto or a SigMF archive, the rest
// is the file (for SigMF: the metadata text, beside a fixed data file). Each header is parsed
// from memory, where a success must describe data that lies inside the file
// and start exactly where the parser stopped reading, and then imported
// whole, which must leave no slot busy and only full-scale samples.

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/TempFiles.h"
#include "common/InputFormat.h"
#include "common/Limits.h"
#include "common/Log.h"
#include "common/WaveInfo.h"
#include "import/ContainerImport.h"
#include "import/FormatDetect.h"
#include "import/ImportRawIQ.h"
#include "platform/Platform.h"

namespace {

// A HeaderReader over a byte string; *position counts the bytes handed out.
HeaderReader MemoryReader(const std::string& bytes, std::int64_t* position) {
  return [&bytes, position](void* dest, std::int64_t count) -> std::int64_t {
    const std::int64_t left = static_cast<std::int64_t>(bytes.size()) - *position;
    const std::int64_t take = std::max<std::int64_t>(0, std::min(count, left));
    if (dest != nullptr && take > 0)
      std::copy_n(bytes.data() + *position, take, static_cast<char*>(dest));
    *position += take;
    return take;
  };
}

void CheckParsers(int kind, const std::string& file) {
  const auto size = static_cast<std::int64_t>(file.size());
  std::int64_t position = 0;
  if (kind == 0) {
    WavLayout layout;
    if (!ParseWavHeader(MemoryReader(file, &position), size, &layout)) return;
    FUZZ_CHECK(layout.dataOffset == position, "the data starts where the header ends");
    FUZZ_CHECK(layout.dataBytes < 0 || layout.dataOffset + layout.dataBytes <= size, "");
  } else if (kind == 1) {
    NpyLayout layout;
    if (!ParseNpyHeader(MemoryReader(file, &position), size, &layout)) return;
    FUZZ_CHECK(layout.dataOffset == position, "");
    FUZZ_CHECK(layout.dataBytes >= 0 && layout.dataOffset + layout.dataBytes <= size, "");
    FUZZ_CHECK(
        layout.dataBytes % (layout.sample.channels * SampleUnitBytes(layout.sample.type)) == 0, "");
  } else if (kind == 2) {
    SigmfMeta meta;
    if (!ParseSigmfMeta(file, &meta)) return;
    FUZZ_CHECK(meta.headerBytes >= 0 && !meta.datatype.empty(), "");
    FUZZ_CHECK(meta.dataset.find_first_of("/\\:") == std::string::npos, meta.dataset);
  } else if (kind == 4) {
    std::vector<TarMember> members;
    if (!ReadTarMembers(MemoryReader(file, &position), size, ".sigmf-meta", &members)) return;
    for (const TarMember& member : members) {
      FUZZ_CHECK(member.offset >= 512 && member.size >= 0 && member.offset + member.size <= size,
                 member.name);
      FUZZ_CHECK(!member.name.empty() && member.name[0] != '/' &&
                     member.name.find("..") == std::string::npos,
                 member.name);
    }
  } else {
    // What the first bytes show is a row of the format table, and a match
    // by signature one of that row's own signatures.
    const FileStart start =
        ClassifyFileStart(reinterpret_cast<const unsigned char*>(file.data()), file.size());
    const InputFormatInfo* entry = FindInputFormat(start.format);
    FUZZ_CHECK(start.format == kFormatUnknown || entry != nullptr, "");
    FUZZ_CHECK(!start.bySignature || !entry->signatures.empty(), start.what);
  }
}

void CheckImport(int kind, const std::string& file) {
  std::string input;
  InputFormat format = kFormatWav;
  if (kind == 0 || kind == 3) {
    input = fuzz_support::ScratchFile(kind == 0 ? "in.wav" : "in.cu8");
    fuzz_support::WriteScratchFile(input, file.data(), file.size());
    if (kind == 3 && !DetectInputFormat(input, &format)) return;
  } else if (kind == 1) {
    format = kFormatNpy;
    input = fuzz_support::ScratchFile("in.npy");
    fuzz_support::WriteScratchFile(input, file.data(), file.size());
  } else if (kind == 4) {
    format = kFormatSigmf;
    input = fuzz_support::ScratchFile("in.sigmf");
    fuzz_support::WriteScratchFile(input, file.data(), file.size());
  } else {
    format = kFormatSigmf;
    const std::string meta = fuzz_support::ScratchFile("rec.sigmf-meta");
    input = fuzz_support::ScratchFile("rec.sigmf-data");
    fuzz_support::WriteScratchFile(meta, file.data(), file.size());
    const unsigned char data[] = {1, 2, 3, 4, 250, 251, 252, 253, 9, 8, 7, 6, 5, 4, 3, 2};
    fuzz_support::WriteScratchFile(input, data, sizeof data);
  }
  if (format == kFormatUnknown || format == kFormatKxzetq) return;

  std::FILE* temp = platform::OpenFile(fuzz_support::ScratchFile("temp.dat"), "w+b");
  if (temp == nullptr) fuzz_support::Fail("temporary file");
  WaveInfo info;
  // Raw samples and NumPy arrays carry no rate; WAV and SigMF may.
  if (!FormatCarriesClock(format)) info.clock = 1e6;
  const int ok = ImportRawIQ(input, "", info, format, temp);
  fuzz_support::CheckSlotsFree();
  if (ok) {
    std::string payload;
    FUZZ_CHECK(fuzz_support::ReadEncryptedPayload(temp, &payload), "");
    FUZZ_CHECK(payload.size() == kTempWaveHeaderSize + 8 * static_cast<std::size_t>(info.samples),
               "");
    FUZZ_CHECK(ClockInRange(info.clock), std::to_string(info.clock));
    FUZZ_CHECK(
        info.comment.size() <= kMaxTagTextChars && info.comment.find('}') == std::string::npos, "");
    FUZZ_CHECK(
        info.copyright.size() <= kMaxTagTextChars && info.copyright.find('}') == std::string::npos,
        "");
    fuzz_support::CheckPairsInsideFullScale(payload, info.samples);
  }
  platform::CloseFile(temp);
}

std::string Le(std::uint64_t value, int bytes) {
  std::string out;
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>(value >> (8 * k)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::InitOnce();
  if (size < 1) return 0;
  const int kind = data[0] % 5;
  const std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  CheckParsers(kind, file);
  CheckImport(kind, file);
  return 0;
}

std::vector<std::string> FuzzSeeds() {
  const std::string samples = Le(0x12345678, 4) + Le(0xFEDCBA98, 4) + Le(0x01020304, 4);
  auto wav = [&](const std::string& id, int tag, int bits, bool extensible) {
    std::string fmt = Le(extensible ? 0xFFFE : tag, 2) + Le(2, 2) + Le(48000, 4) +
                      Le(48000 * bits / 4, 4) + Le(bits / 4, 2) + Le(bits, 2);
    if (extensible)
      fmt += Le(22, 2) + Le(bits, 2) + Le(3, 4) + Le(tag, 2) +
             std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    std::string body;
    if (id != "RIFF")
      body += "ds64" + Le(28, 4) + Le(0, 8) + Le(samples.size(), 8) + Le(1, 8) + Le(0, 4);
    body += "LIST" + Le(3, 4) + "abc" + std::string(1, '\0');
    body += "fmt " + Le(fmt.size(), 4) + fmt;
    body += "data" + Le(id == "RIFF" ? samples.size() : 0xFFFFFFFF, 4) + samples;
    return std::string(1, '\0') + id + Le(body.size() + 4, 4) + "WAVE" + body;
  };
  auto npy = [&](int major, const std::string& descr, const std::string& shape) {
    std::string header =
        "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
    header += std::string(63 - (header.size() + (major == 1 ? 10 : 12)) % 64, ' ') + "\n";
    return std::string(1, '\1') + "\x93NUMPY" + static_cast<char>(major) + '\0' +
           Le(header.size(), major == 1 ? 2 : 4) + header + samples + samples;
  };
  const std::string meta =
      "{\"global\": {\"core:datatype\": \"ci16_le\", \"core:version\": \"1.0.0\", "
      "\"core:sample_rate\": 1e6, \"core:description\": \"seed }\", \"core:author\": \"a\"}, "
      "\"captures\": [{\"core:sample_start\": 0, \"core:header_bytes\": 4}], \"annotations\": []}";
  // A ustar archive of one recording: a directory, the metadata, the data.
  auto tarMember = [](const std::string& name, char type, const std::string& content) {
    std::string header(512, '\0');
    header.replace(0, name.size(), name);
    header.replace(100, 7, "0000644");
    header.replace(124, 11, FormatText("%011llo", static_cast<unsigned long long>(content.size())));
    header[156] = type;
    header.replace(257, 6, std::string("ustar\0", 6));
    header.replace(263, 2, "00");
    header.replace(148, 8, "        ");
    unsigned sum = 0;
    for (char c : header) sum += static_cast<unsigned char>(c);
    header.replace(148, 7, FormatText("%06o", sum) + std::string(1, '\0'));
    std::string member = header + content;
    member.append((512 - content.size() % 512) % 512, '\0');
    return member;
  };
  const std::string archive =
      std::string(1, '\4') + tarMember("r/", '5', "") +
      tarMember("r/r.sigmf-meta", '0',
                "{\"global\": {\"core:datatype\": \"rf32_be\", \"core:version\": \"1.0.0\", "
                "\"core:sample_rate\": 1e6}, \"annotations\": [{\"core:sample_start\": 1, "
                "\"core:sample_count\": 1, \"core:label\": \"marker 1\"}]}") +
      tarMember("r/r.sigmf-data", '0', samples) + std::string(1024, '\0');
  std::string rifx = wav("RIFF", 1, 16, false);
  rifx.replace(1, 4, "RIFX");
  return {
      archive,
      rifx,
      wav("RIFF", 1, 16, false),
      wav("RIFF", 3, 32, true),
      wav("RF64", 1, 24, false),
      wav("BW64", 3, 64, false),
      wav("RIFF", 1, 8, false),
      npy(1, "<c8", "(3,)"),
      npy(2, ">i2", "(3, 2)"),
      npy(3, "<f4", "(3, 2)"),
      std::string(1, '\2') + meta,
      std::string(1, '\3') + samples,
  };
}
