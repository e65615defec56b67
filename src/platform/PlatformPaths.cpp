// Path rules that are plain string work and the same on every platform. The
// platform's own separator and absolute-path rule come from PlatformPosix.cpp
// or PlatformWin32.cpp.

#include "platform/Platform.h"

namespace platform {

namespace {

bool UsesWindowsPaths() { return PathSeparator() == '\\'; }

// Position of the last character that ends a directory part: the separator,
// and on Windows also a forward slash or the colon of a drive name.
std::string::size_type LastComponentBreak(const std::string& path) {
  if (UsesWindowsPaths()) return path.find_last_of("\\/:");
  return path.find_last_of('/');
}

}  // namespace

bool IsAbsolutePosixPath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool IsAbsoluteWindowsPath(const std::string& path) {
  return (path.size() >= 2 && path[1] == ':') || (!path.empty() && path[0] == '\\');
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  std::string joined;
  joined.reserve(dir.size() + 1 + name.size());
  joined += dir;
  joined += PathSeparator();
  joined += name;
  return joined;
}

std::string FileNamePart(const std::string& path) {
  const std::string::size_type cut = LastComponentBreak(path);
  if (cut == std::string::npos) return path;
  return path.substr(cut + 1);
}

std::string DirectoryPart(const std::string& path) {
  const std::string::size_type cut = LastComponentBreak(path);
  if (cut == std::string::npos) return std::string();
  // A separator that begins the path is the root itself: "/x" lies in "/".
  if (cut == 0) return path.substr(0, 1);
  if (UsesWindowsPaths()) {
    // A drive colon belongs to the directory part ("C:x" lies in "C:"), and
    // so does a separator right after it ("C:\x" lies in "C:\", not "C:").
    if (path[cut] == ':' || path[cut - 1] == ':') return path.substr(0, cut + 1);
  }
  return path.substr(0, cut);
}

std::string FoldPathCase(const std::string& path) {
  if (!UsesWindowsPaths()) return path;
  std::string folded = path;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace platform
