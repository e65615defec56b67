#include "app/ConvertDirectory.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <vector>

#include "Shared/FileIO/ChunkBufferPool.h"
#include "Shared/FileIO/TempFiles.h"
#include "app/Console.h"
#include "app/ConvertFile.h"
#include "app/Settings.h"
#include "app/Wavora.h"
#include "platform/Platform.h"

namespace {

constexpr const char* kAbortQuestion = "Do you want to abort processing (y/n) ... [y]\b\b";
constexpr const char* kOutputExtension = ".wv";

// The settings every level passes on unchanged, and what the whole run has to
// remember across levels.
struct WalkRun {
  explicit WalkRun(const ConversionSettings& runSettings) : settings(runSettings) {}
  const ConversionSettings& settings;
  std::string extensionSuffix;    // "." + extension, or "" for no filter
  std::string topOutputKey;       // the output root, which is never walked as input
  std::string workingDirKey;      // where the conversion's temporary files live
  std::set<std::string> written;  // output files this run has written, by path key
};

// One level's entries. The listing is read whole before any entry is
// processed, so no enumeration handle stays open on the way out.
using Listing = std::vector<platform::DirEntry>;

// A lexical form of a path for equality tests: "." and ".." components and
// repeated or trailing separators are folded away, and letter case where the
// platform's file names ignore it. It touches no file system object, so it
// also works for paths that do not exist yet.
std::string PathKey(const std::string& path) {
  if (path.empty()) return path;
  std::filesystem::path normal = std::filesystem::path(path).lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return platform::FoldPathCase(normal.string());
}

bool BeginsWithDot(const std::string& name) { return !name.empty() && name.front() == '.'; }

bool IsDirectoryEntry(const platform::DirEntry& entry) {
  return (entry.attributes & platform::kAttrDirectory) != 0;
}

// The name is longer than the suffix and ends in it, byte for byte.
bool PassesExtensionFilter(const std::string& name, const std::string& suffix) {
  if (suffix.empty()) return true;
  return name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The output name ConvertFile gives an input name: cut at its first dot.
std::string OutputPathFor(const std::string& outputDir, const std::string& name) {
  return platform::JoinPath(outputDir, name.substr(0, name.find('.')) + kOutputExtension);
}

// Files of the level that are converted on their own: not skipped by any
// rule that needs no knowledge of the other entries.
bool IsConvertibleFile(const platform::DirEntry& entry, const std::string& suffix) {
  return !BeginsWithDot(entry.name) && !IsDirectoryEntry(entry) &&
         PassesExtensionFilter(entry.name, suffix) &&
         (entry.attributes & (platform::kAttrSystem | platform::kAttrTemporary)) == 0;
}

// With a two-file format, the names of the level's files that are the Q
// partner of another convertible file of the level; those are converted
// together with their I file and never on their own.
std::vector<std::string> FindQPartners(const Listing& entries, const std::string& suffix) {
  std::vector<std::string> fileNames;
  for (const platform::DirEntry& entry : entries)
    if (!IsDirectoryEntry(entry)) fileNames.push_back(entry.name);
  // entries are sorted by name, so fileNames are too.
  std::vector<std::string> partners;
  for (const platform::DirEntry& entry : entries) {
    if (!IsConvertibleFile(entry, suffix)) continue;
    std::string qName = DeriveQFileName(entry.name);
    if (!qName.empty() && std::binary_search(fileNames.begin(), fileNames.end(), qName))
      partners.push_back(std::move(qName));
  }
  std::sort(partners.begin(), partners.end());
  return partners;
}

// After a failed file: true when the user wants the walk to stop. Only "n"
// goes on; Enter takes the default "y".
bool UserAborts() { return AskQuestion(kAbortQuestion) != 'n'; }

int WalkLevel(WalkRun& run, const std::string& inputDir, const std::string& outputDir);

// Handles one subdirectory entry. Returns 0 when the walk must stop.
int WalkSubdirectory(WalkRun& run, const std::string& inputDir, const std::string& outputDir,
                     const std::string& name) {
  const std::string inputSub = platform::JoinPath(inputDir, name);
  // The output root may lie inside the input tree; walking it would take the
  // run's own output as input, level after level.
  if (PathKey(inputSub) == run.topOutputKey) return 1;

  const std::string outputSub = platform::JoinPath(outputDir, name);
  for (const std::string* path : {&inputSub, &outputSub}) {
    if (path->size() > platform::kMaxPathChars) {
      LogMessage(kLogAlwaysShown, {"*** Error: Input directory name too long."});
      LogMessage(kLogAlwaysShown, {"    ", *path});
      return 0;
    }
  }

  // The mirror is made before the contents are looked at, so a subdirectory
  // without any converted file still gets its (empty) mirror.
  if (!platform::IsDirectory(outputSub) && !platform::MakeDirectory(outputSub)) {
    LogMessage(kLogAlwaysShown, {"*** Failed to create output directory."});
    return 0;
  }

  LogMessage(kLogInfo, {"Descending into '", inputSub, "'"});
  return WalkLevel(run, inputSub, outputSub);
}

// Handles one file entry that is no directory and does not begin with a dot.
// Returns 0 when the walk must stop.
int ProcessFile(WalkRun& run, const std::string& inputDir, const std::string& outputDir,
                const platform::DirEntry& entry, bool isWorkingDir,
                const std::vector<std::string>& qPartners) {
  const std::string& name = entry.name;
  if (!PassesExtensionFilter(name, run.extensionSuffix)) return 1;
  if ((entry.attributes & platform::kAttrSystem) != 0) {
    LogMessage(kLogInfo, {"Ignoring system file."});
    return 1;
  }
  // The conversion's own temporary files in the working directory are
  // recreated by every conversion; taking one as input would read the file
  // that is being written.
  if ((entry.attributes & platform::kAttrTemporary) != 0 ||
      (isWorkingDir && (name == kTempWaveFileName || name == kTempMarkerFileName))) {
    LogMessage(kLogInfo, {"Ignoring temporary file."});
    return 1;
  }

  const std::string inputPath = platform::JoinPath(inputDir, name);
  if (!run.written.empty() && run.written.count(PathKey(inputPath)) != 0) {
    LogMessage(kLogInfo, {"Skipping output file ", name});
    return 1;
  }
  if (std::binary_search(qPartners.begin(), qPartners.end(), name)) {
    LogMessage(kLogInfo, {"Skipping Q data file ", name});
    return 1;
  }

  const FileJob job{name, name, inputDir, outputDir, ""};
  if (ConvertFile(run.settings, job)) {
    run.written.insert(PathKey(OutputPathFor(outputDir, name)));
    return 1;
  }
  return UserAborts() ? 0 : 1;
}

int WalkLevel(WalkRun& run, const std::string& inputDir, const std::string& outputDir) {
  LogMessage(kLogInfo, {"Searching in directory ", inputDir});

  // The whole listing is read before anything is written, and processed in
  // byte order of the names: files the run creates in this directory are
  // never met as entries, and the log is the same on every run and platform.
  Listing entries;
  const bool listed = platform::ListDirectory(inputDir, &entries);
  // A directory that is there but cannot be read is a failure: skipping it
  // would report a run that converted nothing of it as a success.
  if (!listed && platform::IsDirectory(inputDir)) {
    LogMessage(kLogAlwaysShown, {"*** Error: Cannot read directory ", inputDir, "."});
    return 0;
  }
  if (!listed || entries.empty()) {
    LogMessage(kLogInfo, {"No files found in this directory."});
    return 1;
  }
  std::sort(
      entries.begin(), entries.end(),
      [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });

  const bool isWorkingDir = PathKey(inputDir) == run.workingDirKey;
  std::vector<std::string> qPartners;
  if (IsTwoFileFormat(run.settings.format)) qPartners = FindQPartners(entries, run.extensionSuffix);

  for (const platform::DirEntry& entry : entries) {
    if (BeginsWithDot(entry.name)) continue;
    if (IsDirectoryEntry(entry)) {
      if (!run.settings.recursive) continue;
      if (!WalkSubdirectory(run, inputDir, outputDir, entry.name)) return 0;
      continue;
    }
    if (!ProcessFile(run, inputDir, outputDir, entry, isWorkingDir, qPartners)) return 0;
  }

  LogMessage(kLogInfo, {"Finished directory ", inputDir});
  return 1;
}

}  // namespace

int ConvertDirectory(const ConversionSettings& settings) {
  const ChunkBufferReuse reuseBuffers;  // file after file through the same slots
  WalkRun run(settings);
  if (!settings.extension.empty()) run.extensionSuffix = "." + settings.extension;
  run.topOutputKey = PathKey(settings.outputPath);
  run.workingDirKey = PathKey(platform::CurrentDirectory());
  return WalkLevel(run, settings.inputPath, settings.outputPath);
}
