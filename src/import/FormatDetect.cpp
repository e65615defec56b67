// Format detection from the first bytes and the name of a file.
#include "import/FormatDetect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "common/Log.h"
#include "import/MatImport.h"
#include "platform/Platform.h"

namespace {

constexpr std::size_t kSniffBytes = 4096;

bool HasBytes(const unsigned char* bytes, std::size_t size, const MagicBytes& magic) {
  if (magic.bytes.empty()) return true;  // no such part
  return magic.offset + magic.bytes.size() <= size &&
         std::memcmp(bytes + magic.offset, magic.bytes.data(), magic.bytes.size()) == 0;
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

// The extension is one of the blank-separated extensions of a table row.
bool ListsExtension(std::string_view extensions, std::string_view extension) {
  while (!extensions.empty()) {
    const std::size_t blank = extensions.find(' ');
    if (extensions.substr(0, blank) == extension) return true;
    if (blank == std::string_view::npos) break;
    extensions.remove_prefix(blank + 1);
  }
  return false;
}

// JSON metadata: an object (after a byte-order mark and blanks) whose text
// soon names the global object or a core: field.
bool LooksLikeSigmfMeta(const unsigned char* bytes, std::size_t size) {
  std::size_t at = size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
  while (at < size &&
         (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\r' || bytes[at] == '\n'))
    ++at;
  if (at >= size || bytes[at] != '{') return false;
  const std::string_view text(reinterpret_cast<const char*>(bytes), std::min(size, kSniffBytes));
  return text.find("\"global\"") != std::string_view::npos ||
         text.find("\"core:") != std::string_view::npos;
}

int ReadFileStart(InputFile& input, FileStart* start) {
  std::array<unsigned char, kSniffBytes> bytes{};
  std::size_t got = 0;
  if (!PeekInputStart(input, bytes.data(), bytes.size(), &got)) return 0;
  *start = ClassifyFileStart(bytes.data(), got);
  return 1;
}

}  // namespace

FileStart ClassifyFileStart(const unsigned char* bytes, std::size_t size) {
  for (const InputFormatInfo& entry : InputFormats()) {
    for (const FormatSignature& signature : entry.signatures) {
      if (HasBytes(bytes, size, signature.first) && HasBytes(bytes, size, signature.second))
        return {entry.code, signature.what, true};
    }
  }
  if (LooksLikeSigmfMeta(bytes, size)) return {kFormatSigmf, "SigMF metadata", false};
  return {};
}

InputFormat FormatFromFileName(const std::string& path) {
  const std::string extension = LowerExtension(path);
  if (extension.empty()) return kFormatUnknown;
  for (const InputFormatInfo& entry : InputFormats())
    if (!entry.alias && ListsExtension(entry.extensions, extension)) return entry.code;
  return kFormatUnknown;
}

int DetectInputFormat(InputFile& input, InputFormat* format) {
  std::array<unsigned char, kSniffBytes> bytes{};
  std::size_t got = 0;
  if (!PeekInputStart(input, bytes.data(), bytes.size(), &got)) return 0;
  const FileStart start = ClassifyFileStart(bytes.data(), got);
  // The first bytes decide for the formats that have a signature; SigMF data
  // has none, so a recording is known by its names.
  *format = start.bySignature ? start.format : FormatFromFileName(input.path);
  // A Level 4 MAT-file has no signature either: a .mat file must begin with
  // a plausible matrix header.
  if (!start.bySignature && *format == kFormatMat &&
      !LooksLikeMatLevel4(bytes.data(), got, input.size))
    *format = kFormatUnknown;
  return 1;
}

int DetectInputFormat(const std::string& path, InputFormat* format) {
  InputFile input;
  if (!OpenInputFile(path, &input)) return 0;
  return DetectInputFormat(input, format);
}

const char* FormatKeyword(InputFormat format) {
  const InputFormatInfo* entry = FindInputFormat(format);
  return entry != nullptr ? entry->keyword : "unknown";
}

int CheckRawInput(InputFile& input) {
  FileStart start;
  if (!ReadFileStart(input, &start)) return 0;
  const InputFormatInfo* sigmf = FindInputFormat(kFormatSigmf);
  if (start.format == kFormatUnknown && LowerExtension(input.path) == sigmf->metaSuffix) {
    start.format = kFormatSigmf;
    start.what = "SigMF metadata";
  }
  if (start.format == kFormatUnknown) return 1;
  LogAlways({"*** Error: '", input.path, "' begins like ", start.what,
             ", not raw samples; read it with -format ", FormatKeyword(start.format),
             " (or -format auto)."});
  return 0;
}
