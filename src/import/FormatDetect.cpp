// Format detection from the first bytes and the name of a file.
#include "import/FormatDetect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "common/Log.h"
#include "platform/Platform.h"

namespace {

constexpr std::size_t kSniffBytes = 4096;

struct ExtensionRule {
  const char* extension;  // lower case, with the dot
  InputFormat format;
};

constexpr ExtensionRule kExtensions[] = {
    {".sigmf-meta", kFormatSigmf}, {".sigmf-data", kFormatSigmf}, {".cf32", kFormatF32le},
    {".fc32", kFormatF32le},       {".cf64", kFormatF64le},       {".cs16", kFormatI16le},
    {".sc16", kFormatI16le},       {".cs8", kFormatCs8},          {".sc8", kFormatCs8},
    {".cu8", kFormatCu8},          {".wv", kFormatKxzetq},
};

bool StartsWith(const unsigned char* bytes, std::size_t size, std::string_view text) {
  return size >= text.size() && std::memcmp(bytes, text.data(), text.size()) == 0;
}

std::string LowerExtension(const std::string& path) {
  const std::string name = platform::FileNamePart(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return "";
  std::string extension = name.substr(dot);
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return extension;
}

const char* KindName(HeaderKind kind) {
  switch (kind) {
    case HeaderKind::kWav:
      return "a WAV file";
    case HeaderKind::kRf64:
      return "an RF64 WAV file";
    case HeaderKind::kNpy:
      return "a NumPy file";
    case HeaderKind::kSigmfMeta:
      return "SigMF metadata";
    case HeaderKind::kNone:
      break;
  }
  return "a plain file";
}

}  // namespace

HeaderKind ClassifyFileStart(const unsigned char* bytes, std::size_t size) {
  if (size >= 12 && std::memcmp(bytes + 8, "WAVE", 4) == 0) {
    if (StartsWith(bytes, size, "RIFF")) return HeaderKind::kWav;
    if (StartsWith(bytes, size, "RF64") || StartsWith(bytes, size, "BW64"))
      return HeaderKind::kRf64;
  }
  if (StartsWith(bytes, size, "\x93NUMPY")) return HeaderKind::kNpy;
  // JSON metadata: an object (after a byte-order mark and blanks) whose text
  // soon names the global object or a core: field.
  std::size_t at = StartsWith(bytes, size, "\xEF\xBB\xBF") ? 3 : 0;
  while (at < size &&
         (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\r' || bytes[at] == '\n'))
    ++at;
  if (at < size && bytes[at] == '{') {
    const std::string_view text(reinterpret_cast<const char*>(bytes), std::min(size, kSniffBytes));
    if (text.find("\"global\"") != std::string_view::npos ||
        text.find("\"core:") != std::string_view::npos)
      return HeaderKind::kSigmfMeta;
  }
  return HeaderKind::kNone;
}

InputFormat FormatOfHeader(HeaderKind kind) {
  switch (kind) {
    case HeaderKind::kWav:
    case HeaderKind::kRf64:
      return kFormatWav;
    case HeaderKind::kNpy:
      return kFormatNpy;
    case HeaderKind::kSigmfMeta:
      return kFormatSigmf;
    case HeaderKind::kNone:
      break;
  }
  return kFormatUnknown;
}

InputFormat FormatFromFileName(const std::string& path) {
  const std::string extension = LowerExtension(path);
  for (const ExtensionRule& rule : kExtensions)
    if (extension == rule.extension) return rule.format;
  return kFormatUnknown;
}

int SniffFileStart(const std::string& path, HeaderKind* kind) {
  platform::FileHandle file(platform::OpenFile(path, "rb"));
  if (file == nullptr) {
    LogAlways({"*** Error opening input file."});
    LogFileReason(path);
    return 0;
  }
  std::array<unsigned char, kSniffBytes> bytes{};
  const std::size_t got = platform::ReadFile(file.get(), bytes.data(), bytes.size());
  if (platform::StreamFailed(file.get())) {
    LogAlways({"*** Error reading input file."});
    return 0;
  }
  *kind = ClassifyFileStart(bytes.data(), got);
  return 1;
}

int DetectInputFormat(const std::string& path, InputFormat* format) {
  HeaderKind kind = HeaderKind::kNone;
  if (!SniffFileStart(path, &kind)) return 0;
  // The first bytes decide for the formats that have a magic; SigMF data has
  // none, so a recording is known by its names.
  *format = kind == HeaderKind::kWav || kind == HeaderKind::kRf64 || kind == HeaderKind::kNpy
                ? FormatOfHeader(kind)
                : FormatFromFileName(path);
  return 1;
}

const char* FormatKeyword(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr ? entry->keyword : "unknown";
}

int CheckRawInput(const std::string& path) {
  HeaderKind kind = HeaderKind::kNone;
  if (!SniffFileStart(path, &kind)) return 0;
  if (kind == HeaderKind::kNone && FormatFromFileName(path) == kFormatSigmf &&
      LowerExtension(path) == ".sigmf-meta")
    kind = HeaderKind::kSigmfMeta;
  if (kind == HeaderKind::kNone) return 1;
  LogAlways({"*** Error: '", path, "' begins like ", KindName(kind),
             ", not raw samples; read it with -format ", FormatKeyword(FormatOfHeader(kind)),
             " (or -format auto)."});
  return 0;
}
