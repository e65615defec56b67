// Builders of WAV, RF64 and NumPy files and SigMF metadata for the tests,
// written from the formats' public layouts independently of the readers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace format_files {

using testing_support::Bytes;

inline void PutLE(Bytes& out, std::uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<unsigned char>(value >> (8 * k)));
}
inline void PutBE(Bytes& out, std::uint64_t value, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) out.push_back(static_cast<unsigned char>(value >> (8 * k)));
}
inline void PutText(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

struct WavSpec {
  std::string container = "RIFF";  // "RIFF", "RIFX" (big-endian), "RF64" or "BW64"
  std::uint16_t tag = 1;           // 1 PCM, 3 IEEE float
  std::uint16_t channels = 2;
  std::uint16_t bits = 16;
  std::uint32_t rate = 1000000;
  bool extensible = false;
  bool foreignGuid = false;  // an extensible sub-format of no audio kind
  // The GUID as a 16-bit tag and the fixed bytes (as sox writes RIFX), not as
  // three numbers in the file's byte order.
  bool guidTagOnly = false;
  std::optional<std::uint16_t> blockAlign;
  std::optional<std::uint32_t> dataSizeField;  // default: the data's size
  bool oddChunkBefore = false;                 // a LIST chunk of odd size (padded) before fmt
  bool chunkAfter = false;                     // a chunk after the data
  bool dataBeforeFmt = false;
  Bytes data;
};

inline Bytes MakeWav(const WavSpec& spec) {
  // A RIFX file stores every size and field big-endian; the GUID's first
  // field is a 32-bit number, its next two 16-bit numbers.
  const bool rifx = spec.container == "RIFX";
  const auto put = [rifx](Bytes& out, std::uint64_t value, int bytes) {
    if (rifx)
      PutBE(out, value, bytes);
    else
      PutLE(out, value, bytes);
  };
  Bytes body;
  const bool rf64 = spec.container == "RF64" || spec.container == "BW64";
  if (rf64) {
    PutText(body, "ds64");
    put(body, 28, 4);
    put(body, 0, 8);  // RIFF size: not needed by readers of the data
    put(body, spec.data.size(), 8);
    put(body, spec.data.size() / (spec.channels * spec.bits / 8 + 1), 8);
    put(body, 0, 4);
  }
  if (spec.oddChunkBefore) {
    PutText(body, "LIST");
    put(body, 5, 4);
    PutText(body, "INFOx");
    body.push_back(0);  // pad byte
  }
  Bytes fmt;
  put(fmt, spec.extensible ? 0xFFFE : spec.tag, 2);
  put(fmt, spec.channels, 2);
  put(fmt, spec.rate, 4);
  const std::uint16_t align = spec.blockAlign.value_or(spec.channels * spec.bits / 8);
  put(fmt, std::uint64_t{spec.rate} * align, 4);
  put(fmt, align, 2);
  put(fmt, spec.bits, 2);
  if (spec.extensible) {
    put(fmt, 22, 2);
    put(fmt, spec.bits, 2);
    put(fmt, 3, 4);  // front left, front right
    if (spec.guidTagOnly) {
      // The tag in the file's order, then the GUID's fixed bytes as RIFF has them.
      put(fmt, spec.tag, 2);
      const unsigned char tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      fmt.insert(fmt.end(), tail, tail + 14);
    } else {
      put(fmt, spec.tag, 4);
      put(fmt, 0x0000, 2);
      put(fmt, 0x0010, 2);
      const unsigned char tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      fmt.insert(fmt.end(), tail, tail + 8);
    }
    if (spec.foreignGuid) fmt.back() ^= 0xFF;
  }
  Bytes fmtChunk;
  PutText(fmtChunk, "fmt ");
  put(fmtChunk, fmt.size(), 4);
  fmtChunk.insert(fmtChunk.end(), fmt.begin(), fmt.end());
  Bytes dataChunk;
  PutText(dataChunk, "data");
  put(dataChunk, spec.dataSizeField.value_or(rf64 ? 0xFFFFFFFFu : spec.data.size()), 4);
  dataChunk.insert(dataChunk.end(), spec.data.begin(), spec.data.end());
  if (spec.dataBeforeFmt) {
    body.insert(body.end(), dataChunk.begin(), dataChunk.end());
    body.insert(body.end(), fmtChunk.begin(), fmtChunk.end());
  } else {
    body.insert(body.end(), fmtChunk.begin(), fmtChunk.end());
    body.insert(body.end(), dataChunk.begin(), dataChunk.end());
  }
  if (spec.chunkAfter) {
    if (spec.data.size() % 2 == 1) body.push_back(0);
    PutText(body, "LIST");
    put(body, 4, 4);
    PutText(body, "INFO");
  }
  Bytes file;
  PutText(file, spec.container);
  put(file, rf64 ? 0xFFFFFFFFu : body.size() + 4, 4);
  PutText(file, "WAVE");
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

// A .npy file; the header is padded with blanks and a line feed to a
// multiple of 64 bytes, as NumPy writes it.
inline Bytes MakeNpy(int major, const std::string& descr, const std::string& shape, bool fortran,
                     const Bytes& data) {
  std::string header = "{'descr': '" + descr +
                       "', 'fortran_order': " + (fortran ? "True" : "False") +
                       ", 'shape': " + shape + ", }";
  const std::size_t prefix = major == 1 ? 10 : 12;
  while ((prefix + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  Bytes file = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<unsigned char>(major), 0};
  PutLE(file, header.size(), major == 1 ? 2 : 4);
  PutText(file, header);
  file.insert(file.end(), data.begin(), data.end());
  return file;
}

// SigMF metadata with the given global fields (JSON members, comma-separated)
// and first-capture fields.
inline std::string MakeSigmfMeta(const std::string& globalFields,
                                 const std::string& captureFields = "") {
  return "{\n  \"global\": {\"core:version\": \"1.0.0\"" +
         (globalFields.empty() ? std::string() : ", " + globalFields) +
         "},\n  \"captures\": [{\"core:sample_start\": 0" +
         (captureFields.empty() ? std::string() : ", " + captureFields) +
         "}],\n  \"annotations\": []\n}\n";
}

// One tar member: a 512-byte ustar header with its checksum, the content
// padded to 512 bytes.
inline Bytes TarMember(const std::string& name, char type, const Bytes& content,
                       const std::string& prefix = "", long long sizeField = -1) {
  Bytes header(512, 0);
  std::copy(name.begin(), name.end(), header.begin());
  char number[16];
  std::snprintf(number, sizeof number, "%011llo",
                sizeField >= 0 ? sizeField : static_cast<long long>(content.size()));
  std::copy(number, number + 11, header.begin() + 124);
  header[156] = static_cast<unsigned char>(type);
  const std::string magic(
      "ustar\0"
      "00",
      8);
  std::copy(magic.begin(), magic.end(), header.begin() + 257);
  std::copy(prefix.begin(), prefix.end(), header.begin() + 345);
  std::fill(header.begin() + 148, header.begin() + 156, ' ');
  unsigned sum = 0;
  for (unsigned char c : header) sum += c;
  std::snprintf(number, sizeof number, "%06o", sum);
  std::copy(number, number + 7, header.begin() + 148);
  // The member in one allocation of its final size: header, content, then
  // zeros up to the next 512-byte block.
  Bytes member(512 + content.size() + (512 - content.size() % 512) % 512, 0);
  std::copy(header.begin(), header.end(), member.begin());
  std::copy(content.begin(), content.end(), member.begin() + 512);
  return member;
}

// A pax header setting the path of the next member.
inline Bytes PaxPath(const std::string& path) {
  std::string record = " path=" + path + "\n";
  std::string length = std::to_string(record.size() + 2);
  if (length.size() + record.size() != std::stoul(length))
    length = std::to_string(record.size() + 3);
  const std::string text = length + record;
  return TarMember("PaxHeaders/x", 'x', Bytes(text.begin(), text.end()));
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes Archive(const std::vector<Bytes>& members) {
  Bytes archive;
  for (const Bytes& m : members) archive.insert(archive.end(), m.begin(), m.end());
  archive.resize(archive.size() + 1024, 0);
  return archive;
}

}  // namespace format_files
