// The members of a SigMF archive (.sigmf): a POSIX tar file of 512-byte
// ustar headers, each member's data padded to 512 bytes, pax headers ('x')
// that set the path and size of the next member, and two zero blocks at the
// end. Every field is checked against the archive's size before it is used.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/Log.h"
#include "import/ContainerImport.h"

namespace {

constexpr std::int64_t kBlock = 512;
constexpr std::size_t kNameField = 0, kNameBytes = 100;
constexpr std::size_t kSizeField = 124, kSizeBytes = 12;
constexpr std::size_t kChecksumField = 148, kChecksumBytes = 8;
constexpr std::size_t kTypeField = 156;
constexpr std::size_t kMagicField = 257;
constexpr std::size_t kPrefixField = 345, kPrefixBytes = 155;
// A pax header of path and size is a few hundred bytes; far more is no such header.
constexpr std::int64_t kMaxPaxBytes = 1 << 20;
// More members than any archive of recordings holds.
constexpr std::size_t kMaxMembers = 100000;

int Refuse(const std::string& message) {
  LogAlways({message});
  return 0;
}

std::string Field(const unsigned char* block, std::size_t at, std::size_t bytes) {
  // The field ends at its first NUL, or fills its bytes.
  const unsigned char* end = std::find(block + at, block + at + bytes, '\0');
  return std::string(block + at, end);
}

// An octal number field: blanks, octal digits, then NUL or blanks. -1 when
// it is none (the base-256 form of huge sizes included).
std::int64_t OctalField(const unsigned char* block, std::size_t at, std::size_t bytes) {
  std::size_t k = 0;
  while (k < bytes && block[at + k] == ' ') ++k;
  std::int64_t value = 0;
  std::size_t digits = 0;
  for (; k < bytes && block[at + k] >= '0' && block[at + k] <= '7'; ++k, ++digits) {
    if (value > (INT64_MAX >> 3)) return -1;
    value = value * 8 + (block[at + k] - '0');
  }
  for (; k < bytes; ++k)
    if (block[at + k] != ' ' && block[at + k] != '\0') return -1;
  return digits > 0 ? value : -1;
}

bool ChecksumMatches(const unsigned char* block) {
  const std::int64_t stored = OctalField(block, kChecksumField, kChecksumBytes);
  std::int64_t sum = 0;
  for (std::size_t k = 0; k < kBlock; ++k)
    sum += k >= kChecksumField && k < kChecksumField + kChecksumBytes ? ' ' : block[k];
  return stored == sum;
}

// A member name that stays inside the archive's tree: not absolute, no
// drive, no '..' part.
bool SafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos)
    return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

// The records "length key=value\n" of a pax header: path and size.
int ParsePax(const std::string& text, std::string* path, std::int64_t* size) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t k = at;
    std::int64_t length = 0;
    while (k < text.size() && text[k] >= '0' && text[k] <= '9' && length < kMaxPaxBytes)
      length = length * 10 + (text[k++] - '0');
    if (k == at || k >= text.size() || text[k] != ' ' || length <= 0 ||
        length > static_cast<std::int64_t>(text.size() - at) ||
        text[at + static_cast<std::size_t>(length) - 1] != '\n')
      return Refuse("*** Error: SigMF archive has a pax header that cannot be read.");
    const std::string record = text.substr(k + 1, at + static_cast<std::size_t>(length) - k - 2);
    const std::size_t equals = record.find('=');
    if (equals != std::string::npos) {
      const std::string key = record.substr(0, equals);
      const std::string value = record.substr(equals + 1);
      if (key == "path") *path = value;
      if (key == "size") {
        std::int64_t number = 0;
        if (value.empty() || value.size() > 18 ||
            value.find_first_not_of("0123456789") != std::string::npos)
          return Refuse("*** Error: SigMF archive has a pax size that is no number: '" + value +
                        "'.");
        for (char c : value) number = number * 10 + (c - '0');
        *size = number;
      }
    }
    at += static_cast<std::size_t>(length);
  }
  return 1;
}

}  // namespace

int ReadTarMembers(const HeaderReader& read, std::int64_t fileSize, const std::string& keepSuffix,
                   std::vector<TarMember>* members) {
  std::int64_t position = 0;
  std::string paxPath;
  std::int64_t paxSize = -1;
  for (;;) {
    unsigned char block[kBlock];
    const std::int64_t got = read(block, kBlock);
    if (got < 0) return Refuse("*** File I/O error.");
    if (got < kBlock) return Refuse("*** Error: SigMF archive ends inside a tar header.");
    const std::int64_t header = position;
    position += kBlock;
    if (std::all_of(block, block + kBlock, [](unsigned char c) { return c == 0; })) return 1;
    if (std::memcmp(block + kMagicField, "ustar", 5) != 0)
      return Refuse(FormatText("*** Error: SigMF archive has no ustar header at byte %lld.",
                               static_cast<long long>(header)));
    if (!ChecksumMatches(block))
      return Refuse(FormatText("*** Error: SigMF archive header at byte %lld has a wrong checksum.",
                               static_cast<long long>(header)));
    std::int64_t size = OctalField(block, kSizeField, kSizeBytes);
    const char type = static_cast<char>(block[kTypeField]);
    if (type != 'x' && type != 'g' && paxSize >= 0) size = paxSize;
    if (size < 0)
      return Refuse(FormatText("*** Error: SigMF archive header at byte %lld has no valid size.",
                               static_cast<long long>(header)));
    if (size > fileSize - position)
      return Refuse(
          FormatText("*** Error: SigMF archive member at byte %lld claims %lld bytes; "
                     "the archive ends after %lld.",
                     static_cast<long long>(header), static_cast<long long>(size),
                     static_cast<long long>(fileSize - position)));
    const std::int64_t padded = (size + kBlock - 1) / kBlock * kBlock;
    std::string name = Field(block, kNameField, kNameBytes);
    const std::string prefix = Field(block, kPrefixField, kPrefixBytes);
    if (!prefix.empty()) name = prefix + "/" + name;

    std::int64_t consumed = 0;
    std::string content;
    const bool keep = type == 'x' || ((type == '0' || type == '\0') && !paxPath.empty()
                                          ? paxPath.size() >= keepSuffix.size() &&
                                                paxPath.compare(paxPath.size() - keepSuffix.size(),
                                                                keepSuffix.size(), keepSuffix) == 0
                                          : name.size() >= keepSuffix.size() &&
                                                name.compare(name.size() - keepSuffix.size(),
                                                             keepSuffix.size(), keepSuffix) == 0);
    if (keep) {
      if (size > (type == 'x' ? kMaxPaxBytes : kMaxSigmfMetaBytes))
        return Refuse(
            FormatText("*** Error: SigMF archive member at byte %lld is too large "
                       "(%lld bytes).",
                       static_cast<long long>(header), static_cast<long long>(size)));
      content.assign(static_cast<std::size_t>(size), '\0');
      if (read(content.data(), size) != size)
        return Refuse("*** Error: SigMF archive ends inside a member.");
      consumed = size;
    }

    if (type == 'x') {
      if (!ParsePax(content, &paxPath, &paxSize)) return 0;
    } else if (type == '0' || type == '\0') {
      if (!paxPath.empty()) name = paxPath;
      if (!SafeName(name))
        return Refuse("*** Error: SigMF archive member '" + name +
                      "' is an absolute path or climbs with '..'; the archive is refused.");
      if (members->size() >= kMaxMembers)
        return Refuse("*** Error: SigMF archive holds too many members.");
      members->push_back({name, position, size, std::move(content)});
      paxPath.clear();
      paxSize = -1;
    } else if (type != 'g') {
      // Directories, links and the rest hold no recording; a pax header
      // applies to them and is used up.
      paxPath.clear();
      paxSize = -1;
    }
    const std::int64_t skip = padded - consumed;
    if (skip > fileSize - position - consumed)
      return Refuse("*** Error: SigMF archive ends inside a member.");
    if (read(nullptr, skip) != skip)
      return Refuse("*** Error: SigMF archive ends inside a member.");
    position += padded;
  }
}
