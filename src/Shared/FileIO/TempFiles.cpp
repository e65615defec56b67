#include "Shared/FileIO/TempFiles.h"

namespace {

constexpr const char* kTempFileNames[] = {kTempWaveFileName, kTempMarkerFileName};

// The directory part of path as written, "." when it has none.
std::string DirectoryOf(const std::string& path) {
  const std::string name = platform::FileNamePart(path);
  const std::string directory = path.substr(0, path.size() - name.size());
  return directory.empty() ? "." : directory;
}

}  // namespace

bool IsConversionTempIdentity(const platform::FileIdentity& identity) {
  for (const char* name : kTempFileNames) {
    platform::FileIdentity temp;
    if (platform::GetFileIdentity(name, &temp) && temp == identity) return true;
  }
  return false;
}

bool IsConversionTempFile(const std::string& path) {
  platform::FileIdentity identity;
  if (platform::GetFileIdentity(path, &identity) && IsConversionTempIdentity(identity)) return true;
  const std::string name = platform::FoldPathCase(platform::FileNamePart(path));
  for (const char* tempName : kTempFileNames) {
    if (name != platform::FoldPathCase(tempName)) continue;
    platform::FileIdentity directory;
    platform::FileIdentity working;
    return platform::GetFileIdentity(DirectoryOf(path), &directory) &&
           platform::GetFileIdentity(".", &working) && directory == working;
  }
  return false;
}
