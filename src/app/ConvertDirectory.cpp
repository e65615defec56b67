#include "app/ConvertDirectory.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "Shared/FileIO/ChunkBufferPool.h"
#include "Shared/FileIO/TempFiles.h"
#include "app/Console.h"
#include "app/ConvertFile.h"
#include "app/Settings.h"
#include "app/Wavora.h"
#include "common/InputFormat.h"
#include "import/FormatDetect.h"
#include "import/InputFile.h"
#include "platform/Platform.h"

namespace {

constexpr const char* kAbortQuestion = "Do you want to abort processing (y/n) ... [y]\b\b";
constexpr const char* kOutputExtension = ".wv";

// The settings every level passes on unchanged, and what the whole run has to
// remember across levels.
struct WalkRun {
  explicit WalkRun(const ConversionSettings& runSettings) : settings(runSettings) {}
  const ConversionSettings& settings;
  std::string extensionSuffix;  // "." + extension, or "" for no filter
  std::string topOutputKey;     // the output root, which is never walked as input
  std::string workingDirKey;    // where the conversion's temporary files live
  // Output files this run has written, by file key, with the input each was
  // converted from.
  std::map<std::string, std::string> written;
  // Directories are known by identity, not by spelling: the output root is
  // never walked as input, and no directory is entered twice (a link loop, or
  // two links to one directory).
  bool haveOutputIdentity = false;
  platform::FileIdentity outputIdentity;
  std::set<platform::FileIdentity> entered;
  // The counts of the closing line. Skipped are files the walk met and
  // deliberately did not convert: dot names, system and temporary files, the
  // run's own outputs and Q partners (files that fail the -ext filter are not
  // counted).
  int converted = 0;
  int failed = 0;
  int skipped = 0;
  int matched = 0;  // files that pass the -ext filter, whatever became of them
  // The failed files, by their path relative to the input root, each with
  // the first error line it gave.
  std::vector<std::pair<std::string, std::string>> failures;
};

// The failed files listed before the counts line: at most this many lines.
constexpr std::size_t kMaxListedFailures = 20;

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

// The key of a directory for telling files apart: its identity where the file
// system reports one, so every spelling and every link to it give the same
// key; otherwise (a directory that does not exist) its lexical form.
std::string DirectoryKey(const std::string& dir) {
  platform::FileIdentity identity;
  if (platform::GetFileIdentity(dir, &identity))
    return FormatText("id:%llx:%llx", static_cast<unsigned long long>(identity.volume),
                      static_cast<unsigned long long>(identity.index));
  return "path:" + PathKey(dir);
}

// The key of the file name in the directory of directoryKey.
std::string FileKey(const std::string& directoryKey, const std::string& name) {
  return directoryKey + "|" + platform::FoldPathCase(name);
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
std::string OutputNameFor(const std::string& name) {
  return name.substr(0, name.find('.')) + kOutputExtension;
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

bool EndsWith(const std::string& name, const std::string& suffix) {
  return name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The metadata files of the level whose data file (the format table's
// suffixes of a metadata/data pair) is there and convertible: a recording is
// converted once, under its data file's name, and its metadata file is never
// taken on its own.
std::vector<std::string> FindMetaPartners(const Listing& entries, const std::string& suffix) {
  std::vector<std::string> partners;
  for (const InputFormatInfo& format : InputFormats()) {
    if (format.alias || format.companion != CompanionRule::kMetaDataPair) continue;
    const std::string dataSuffix = format.dataSuffix;
    for (const platform::DirEntry& entry : entries) {
      if (!IsConvertibleFile(entry, suffix) || !EndsWith(entry.name, dataSuffix)) continue;
      const std::string meta =
          entry.name.substr(0, entry.name.size() - dataSuffix.size()) + format.metaSuffix;
      for (const platform::DirEntry& other : entries)
        if (other.name == meta && !IsDirectoryEntry(other)) partners.push_back(meta);
    }
  }
  return partners;
}

// The files of the level that are converted with another file, by the
// companion rules of the run's format.
std::vector<std::string> FindCompanions(const Listing& entries, InputFormat format,
                                        const std::string& suffix) {
  std::vector<std::string> companions;
  for (CompanionRule rule : CompanionRulesFor(format)) {
    const std::vector<std::string> found = rule == CompanionRule::kQFile
                                               ? FindQPartners(entries, suffix)
                                               : FindMetaPartners(entries, suffix);
    companions.insert(companions.end(), found.begin(), found.end());
  }
  std::sort(companions.begin(), companions.end());
  return companions;
}

// Whether a companion file is the metadata of a recording.
bool IsMetaCompanion(const std::string& name) {
  for (const InputFormatInfo& format : InputFormats())
    if (format.companion == CompanionRule::kMetaDataPair && EndsWith(name, format.metaSuffix))
      return true;
  return false;
}

// After a failed file: true when the user wants the walk to stop. Only "n"
// goes on; Enter takes the default "y".
bool UserAborts() { return AskQuestion(kAbortQuestion) != 'n'; }

int WalkLevel(WalkRun& run, const std::string& inputDir, const std::string& outputDir,
              const std::string& relativeDir);

// A name of the level, as a path relative to the input root.
std::string RelativeName(const std::string& relativeDir, const std::string& name) {
  return relativeDir.empty() ? name : platform::JoinPath(relativeDir, name);
}

// Handles one subdirectory entry. Returns 0 when the walk must stop.
int WalkSubdirectory(WalkRun& run, const std::string& inputDir, const std::string& outputDir,
                     const std::string& relativeDir, const std::string& name) {
  const std::string inputSub = platform::JoinPath(inputDir, name);
  // The output root may lie inside the input tree, under any spelling or
  // behind a link; walking it would take the run's own output as input,
  // level after level.
  platform::FileIdentity identity;
  const bool haveIdentity = platform::GetFileIdentity(inputSub, &identity);
  if (PathKey(inputSub) == run.topOutputKey ||
      (haveIdentity && run.haveOutputIdentity && identity == run.outputIdentity)) {
    LogMessage(kLogInfo, {"Skipping directory '", inputSub, "': it is the output directory."});
    return 1;
  }
  // A link loop, or a second link to a directory already walked.
  if (haveIdentity && run.entered.count(identity) != 0) {
    LogMessage(kLogInfo, {"Skipping directory '", inputSub, "': it has been walked already."});
    return 1;
  }

  const std::string outputSub = platform::JoinPath(outputDir, name);
  // A path over the limit cannot be walked; the rest of the tree can.
  for (const std::string* path : {&inputSub, &outputSub}) {
    if (path->size() > platform::kMaxPathChars) {
      ++run.skipped;
      LogMessage(kLogAlwaysShown, {"Skipping directory '", *path,
                                   FormatText("': its path is longer than %zu characters.",
                                              platform::kMaxPathChars)});
      return 1;
    }
  }

  // The mirror is made before the contents are looked at, so a subdirectory
  // without any converted file still gets its (empty) mirror.
  if (!platform::IsDirectory(outputSub) && !platform::MakeDirectory(outputSub)) {
    LogMessage(kLogAlwaysShown, {"*** Failed to create output directory."});
    LogFileReason(outputSub);
    return 0;
  }

  if (haveIdentity) run.entered.insert(identity);
  LogMessage(kLogInfo, {"Descending into '", inputSub, "'"});
  return WalkLevel(run, inputSub, outputSub, RelativeName(relativeDir, name));
}

// The keys of one level's input and output directory.
struct LevelKeys {
  std::string input;
  std::string output;
};

// A file that failed before its conversion began: its -json result.
void ReportEarlyFailure(const WalkRun& run, const std::string& inputPath) {
  FileResult result;
  result.input = inputPath;
  result.format = FormatKeyword(run.settings.format);
  result.reason = FirstError();
  ReportFileResult(run.settings, result);
}

// After a failed file: counts it and keeps it for the summary; 0 when the
// user wants the walk to stop.
int FileFailed(WalkRun& run, const std::string& shownName) {
  ++run.failed;
  run.failures.emplace_back(shownName, FirstError());
  // -batch goes on with the next file unasked.
  if (run.settings.batch) return 1;
  return UserAborts() ? 0 : 1;
}

// Handles one file entry that is no directory and does not begin with a dot.
// Returns 0 when the walk must stop.
int ProcessFile(WalkRun& run, const std::string& inputDir, const std::string& outputDir,
                const std::string& relativeDir, const platform::DirEntry& entry, bool isWorkingDir,
                const std::vector<std::string>& qPartners, const LevelKeys& keys) {
  const std::string& name = entry.name;
  const std::string shownName = RelativeName(relativeDir, name);
  if (!PassesExtensionFilter(name, run.extensionSuffix)) return 1;
  ++run.matched;
  if ((entry.attributes & platform::kAttrSystem) != 0) {
    ++run.skipped;
    LogMessage(kLogInfo, {"Ignoring system file."});
    return 1;
  }
  // The conversion's own temporary files in the working directory are
  // recreated by every conversion; taking one as input would read the file
  // that is being written.
  if ((entry.attributes & platform::kAttrTemporary) != 0 ||
      (isWorkingDir && (name == kTempWaveFileName || name == kTempMarkerFileName))) {
    ++run.skipped;
    LogMessage(kLogInfo, {"Ignoring temporary file."});
    return 1;
  }

  const std::string inputPath = platform::JoinPath(inputDir, name);
  if (!run.written.empty() && run.written.count(FileKey(keys.input, name)) != 0) {
    ++run.skipped;
    LogMessage(kLogInfo, {"Skipping output file ", name});
    return 1;
  }
  if (std::binary_search(qPartners.begin(), qPartners.end(), name)) {
    ++run.skipped;
    if (IsMetaCompanion(name))
      LogMessage(kLogInfo, {"Skipping SigMF metadata file ", name, " (read with its data file)"});
    else
      LogMessage(kLogInfo, {"Skipping Q data file ", name});
    return 1;
  }
  // -format auto skips what it cannot tell. The file is opened once, here,
  // and handed on to the conversion; one that is no longer a regular file,
  // or cannot be opened or read, fails.
  InputFile input;
  ResetFirstError();
  if (run.settings.format == kFormatAuto) {
    InputFormat detected = kFormatUnknown;
    if (!OpenInputFile(inputPath, &input) || !DetectInputFormat(input, &detected)) {
      LogMessage(kLogAlwaysShown, {"*** Error processing file ", inputPath, "."});
      LogMessage(kLogAlwaysShown, {""});
      ReportEarlyFailure(run, inputPath);
      return FileFailed(run, shownName);
    }
    if (detected == kFormatUnknown) {
      ++run.skipped;
      LogMessage(kLogInfo,
                 {"Skipping ", name, ": its format cannot be told from its first bytes or name."});
      return 1;
    }
  }

  // Two inputs whose names agree up to the first dot map to one output; the
  // later one must not replace what the earlier one wrote in this run.
  const std::string outputName = OutputNameFor(name);
  const std::string outputKey = FileKey(keys.output, outputName);
  const auto earlier = run.written.find(outputKey);
  if (earlier != run.written.end()) {
    LogMessage(kLogAlwaysShown, {"*** Error: ", inputPath, " is not converted: its output ",
                                 platform::JoinPath(outputDir, outputName), " was written from ",
                                 earlier->second, " in this run."});
    LogMessage(kLogAlwaysShown, {""});
    ReportEarlyFailure(run, inputPath);
    return FileFailed(run, shownName);
  }

  FileJob job{name, name, inputDir, outputDir, ""};
  if (input.IsOpen()) job.openedInput = &input;
  job.shownName = shownName;
  if (ConvertFile(run.settings, job)) {
    ++run.converted;
    run.written.emplace(outputKey, inputPath);
    return 1;
  }
  return FileFailed(run, shownName);
}

int WalkLevel(WalkRun& run, const std::string& inputDir, const std::string& outputDir,
              const std::string& relativeDir) {
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
    LogFileReason(inputDir);
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
  const std::vector<std::string> qPartners =
      FindCompanions(entries, run.settings.format, run.extensionSuffix);
  const LevelKeys keys{DirectoryKey(inputDir), DirectoryKey(outputDir)};

  for (const platform::DirEntry& entry : entries) {
    if (BeginsWithDot(entry.name)) {
      // A hidden file (a dot directory is passed over uncounted).
      if (!IsDirectoryEntry(entry) && PassesExtensionFilter(entry.name, run.extensionSuffix)) {
        ++run.skipped;
        ++run.matched;
      }
      continue;
    }
    if (IsDirectoryEntry(entry)) {
      if (!run.settings.recursive) continue;
      if (!WalkSubdirectory(run, inputDir, outputDir, relativeDir, entry.name)) return 0;
      continue;
    }
    if (!ProcessFile(run, inputDir, outputDir, relativeDir, entry, isWorkingDir, qPartners, keys))
      return 0;
  }

  LogMessage(kLogInfo, {"Finished directory ", inputDir});
  return 1;
}

// The failed files of the walk, each with its first error line, so that the
// end of a long log says what needs looking at.
void LogFailures(const WalkRun& run) {
  if (run.failures.empty()) return;
  LogAlways({"*** Failed files:"});
  const std::size_t listed = std::min(run.failures.size(), kMaxListedFailures);
  for (std::size_t k = 0; k < listed; ++k) {
    const auto& [name, error] = run.failures[k];
    const std::string_view reason =
        std::string_view(error).substr(error.rfind("*** ", 0) == 0 ? 4 : 0);
    if (reason.empty())
      LogAlways({"***   ", name});
    else
      LogAlways({"***   ", name, ": ", reason});
  }
  if (run.failures.size() > listed)
    LogAlways({FormatText("***   and %zu more", run.failures.size() - listed)});
}

}  // namespace

int ConvertDirectory(const ConversionSettings& settings) {
  // A missing input directory is an error, not a tree without files.
  if (!platform::IsDirectory(settings.inputPath)) {
    LogMessage(kLogAlwaysShown, {"*** Error: Input directory ", settings.inputPath,
                                 " does not exist or is not a directory."});
    return 0;
  }
  const ChunkBufferReuse reuseBuffers;  // file after file through the same slots
  WalkRun run(settings);
  if (!settings.extension.empty()) run.extensionSuffix = "." + settings.extension;
  run.topOutputKey = PathKey(settings.outputPath);
  run.workingDirKey = PathKey(platform::CurrentDirectory());
  run.haveOutputIdentity = platform::GetFileIdentity(settings.outputPath, &run.outputIdentity);
  platform::FileIdentity rootIdentity;
  if (platform::GetFileIdentity(settings.inputPath, &rootIdentity))
    run.entered.insert(rootIdentity);

  const int walked = WalkLevel(run, settings.inputPath, settings.outputPath, "");
  LogFailures(run);
  // A filter that matched nothing is the likely reason for an empty run.
  if (walked && run.matched == 0 && !run.extensionSuffix.empty())
    LogAlways({"No file ends in ", run.extensionSuffix, "."});
  LogAlways(
      {FormatText("%d converted, %d failed, %d skipped", run.converted, run.failed, run.skipped)});
  // A failed file fails the run, also when the user chose to go on.
  return walked && run.failed == 0 ? 1 : 0;
}

int ConvertFileList(const ConversionSettings& settings) {
  const ChunkBufferReuse reuseBuffers;  // file after file through the same slots
  WalkRun run(settings);
  std::vector<std::string> inputs = {settings.inputFile};
  inputs.insert(inputs.end(), settings.moreInputs.begin(), settings.moreInputs.end());
  for (const std::string& name : inputs) {
    ResetFirstError();
    // As in single-file mode: named after the input's own file name, in the
    // working directory.
    std::string baseName = "_";
    baseName += platform::FileNamePart(name);
    const std::string outputKey =
        FileKey(DirectoryKey(settings.outputPath), OutputNameFor(baseName));
    const auto earlier = run.written.find(outputKey);
    if (earlier != run.written.end()) {
      LogMessage(kLogAlwaysShown, {"*** Error: ", name, " is not converted: its output ",
                                   platform::JoinPath(settings.outputPath, OutputNameFor(baseName)),
                                   " was written from ", earlier->second, " in this run."});
      LogMessage(kLogAlwaysShown, {""});
      ReportEarlyFailure(run, name);
      if (!FileFailed(run, name)) break;
      continue;
    }
    const FileJob job{name, baseName, settings.inputPath, settings.outputPath, ""};
    if (ConvertFile(settings, job)) {
      ++run.converted;
      run.written.emplace(outputKey, name);
    } else if (!FileFailed(run, name)) {
      break;
    }
  }
  LogFailures(run);
  LogAlways(
      {FormatText("%d converted, %d failed, %d skipped", run.converted, run.failed, run.skipped)});
  return run.failed == 0 ? 1 : 0;
}
