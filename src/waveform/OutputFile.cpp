#include "waveform/OutputFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Shared/FileIO/TempFiles.h"
#include "common/Log.h"

namespace {

// The output goes out in pieces of this size, never one system call per word.
constexpr std::size_t kBufferBytes = 1024 * 1024;
constexpr const char* kHiddenPrefix = ".";
constexpr const char* kHiddenSuffix = ".part";
constexpr std::size_t kTagBytes = 6;  // 12 hexadecimal digits

std::string HiddenPath(const std::string& destination, const std::string& tag) {
  const std::string name = platform::FileNamePart(destination);
  const std::string directory = destination.substr(0, destination.size() - name.size());
  return directory + kHiddenPrefix + name + (tag.empty() ? "" : "." + tag) + kHiddenSuffix;
}

int FailAlways(std::string_view message) {
  LogAlways({message});
  return 0;
}

int RefuseDestination(const std::string& destination, std::string_view what) {
  LogMessage(kLogAlwaysShown, {"*** Error: Output file '", destination, "' ", what});
  return 0;
}

// "*** Destination file already exists." and what to do about it. The
// directory walk keeps its long-standing hint and adds the file's name.
void LogExistingDestination(const std::string& destination, DestinationNaming naming) {
  LogMessage(kLogAlwaysShown, {"*** Destination file already exists."});
  switch (naming) {
    case DestinationNaming::kOutputDirectory:
      LogMessage(kLogAlwaysShown,
                 {"    Use -overwrite option or specify different output directory."});
      LogMessage(kLogAlwaysShown, {"    Existing file: ", destination});
      break;
    case DestinationNaming::kOutOption:
      LogMessage(kLogAlwaysShown,
                 {"    ", destination, ": use -overwrite, or name another file with -out."});
      break;
    case DestinationNaming::kArgument:
      LogMessage(kLogAlwaysShown, {"    ", destination, ": use -overwrite, or name another file."});
      break;
  }
}

// Whether a file can be created beside the destination: a hidden file is
// created exclusively and removed again at once, so that an unwritable
// directory is reported before any data is read, under the destination's name.
int CheckDirectoryWritable(const std::string& destination) {
  const std::string probe = HiddenPath(destination, RandomFileTag());
  std::FILE* file = platform::CreateNewFile(probe, platform::NewFileKind::kOutput);
  if (file == nullptr) {
    const std::string name = platform::FileNamePart(destination);
    const std::string directory = destination.substr(0, destination.size() - name.size());
    LogAlways({"*** Error: Output file '", destination, "' cannot be created in its directory."});
    LogFileReason(directory.empty() ? std::string_view(".") : std::string_view(directory));
    return 0;
  }
  platform::CloseFile(file);
  platform::RemoveFile(probe);
  platform::ForgetOnInterrupt(probe);
  return 1;
}

}  // namespace

// A new random tag. Should the random source fail, the name goes without a
// tag: it is still created exclusively, so an object planted at it only
// makes the file fail.
std::string RandomFileTag() {
  unsigned char random[kTagBytes];
  std::string text;
  if (!platform::FillRandom(random, sizeof random)) return text;
  static constexpr char kHexDigits[] = "0123456789abcdef";
  for (unsigned char byte : random) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 15];
  }
  return text;
}

void AddRunFile(OutputRules& rules, const std::string& path) {
  platform::FileIdentity identity;
  if (!path.empty() && platform::GetFileIdentity(path, &identity))
    rules.runFiles.push_back(identity);
}

int CheckOutputPaths(const std::string& destination) {
  if (destination.size() > platform::kMaxPathChars) {
    LogMessage(kLogAlwaysShown,
               {FormatText("*** Error: Output file path is longer than %zu characters: ",
                           platform::kMaxPathChars),
                destination});
    return 0;
  }
  // The longest hidden name: the one with a tag.
  const std::string hidden = HiddenPath(destination, std::string(2 * kTagBytes, '0'));
  if (hidden.size() > platform::kMaxPathChars) {
    LogMessage(kLogAlwaysShown,
               {FormatText("*** Error: Temporary output file path is longer than %zu characters: ",
                           platform::kMaxPathChars),
                hidden});
    return 0;
  }
  return 1;
}

int CheckOutputDestination(const std::string& destination, const OutputRules& rules) {
  if (!CheckOutputPaths(destination)) return 0;
  if (IsConversionTempFile(destination))
    return RefuseDestination(destination,
                             "is a temporary file of the conversion; it is not written.");
  // A link whose target is missing counts as existing as well.
  if (!platform::PathExists(destination)) return CheckDirectoryWritable(destination);
  if (!rules.replaceExisting) {
    // Whatever it is, an object of that name is kept.
    LogExistingDestination(destination, rules.naming);
    return 0;
  }
  platform::InputKind kind = platform::InputKind::kRegular;
  if (platform::GetPathKind(destination, &kind) && kind != platform::InputKind::kRegular)
    return RefuseDestination(destination, std::string(platform::InputKindText(kind)) +
                                              "; only regular files are written.");
  platform::FileIdentity identity;
  if (platform::GetFileIdentity(destination, &identity) &&
      std::find(rules.runFiles.begin(), rules.runFiles.end(), identity) != rules.runFiles.end())
    return RefuseDestination(destination, "is an input of this run; it is not replaced.");
  return CheckDirectoryWritable(destination);
}

OutputFile::OutputFile(std::string destination, bool replaceExisting)
    : destination_(std::move(destination)), replaceExisting_(replaceExisting) {}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  if (file_ != nullptr) platform::CloseFile(file_);
  file_ = nullptr;
  if (created_) {
    platform::RemoveFile(hidden_);
    platform::ForgetOnInterrupt(hidden_);
  }
  created_ = false;
  ok_ = false;
}

int OutputFile::Open() {
  hidden_ = HiddenPath(destination_, RandomFileTag());
  // Created exclusively and registered for removal on interrupt in one step.
  file_ = platform::CreateNewFile(hidden_, platform::NewFileKind::kOutput);
  if (file_ == nullptr) {
    LogAlways({"*** Error opening output file."});
    LogFileReason(hidden_);
    return 0;
  }
  created_ = true;
  buffer_.resize(kBufferBytes);
  return 1;
}

void OutputFile::Flush() {
  if (ok_ && fill_ > 0 && platform::WriteFile(file_, buffer_.data(), fill_) != fill_) ok_ = false;
  fill_ = 0;
}

unsigned char* OutputFile::Reserve(std::size_t size) {
  if (file_ == nullptr || size > buffer_.size()) ok_ = false;
  if (ok_ && fill_ + size > buffer_.size()) Flush();
  if (!ok_) return nullptr;
  unsigned char* target = buffer_.data() + fill_;
  fill_ += size;
  return target;
}

void OutputFile::Append(const void* data, std::size_t size) {
  if (file_ == nullptr) ok_ = false;
  if (!ok_) return;
  if (size > buffer_.size()) {
    // Longer than the whole buffer: goes out directly after what is waiting.
    Flush();
    if (ok_ && platform::WriteFile(file_, data, size) != size) ok_ = false;
    return;
  }
  unsigned char* target = Reserve(size);
  if (target != nullptr) std::memcpy(target, data, size);
}

int OutputFile::Finish() {
  if (!created_) return FailAlways("*** Error writing output file.");
  if (finished_) return 1;
  if (file_ != nullptr) Flush();
  if (!ok_) return Fail("*** Error writing output file.", hidden_);
  std::FILE* file = file_;
  file_ = nullptr;
  if (platform::CloseFile(file) != 0) return Fail("*** Error writing output file.", hidden_);
  finished_ = true;
  return 1;
}

int OutputFile::Place() {
  if (!finished_) return FailAlways("*** Error writing output file.");
  if (replaceExisting_) {
    if (!platform::ReplaceFile(hidden_, destination_)) {
      LogAlways({"*** Error replacing output file ", destination_, "."});
      return Fail("", destination_);
    }
  } else {
    // A destination that appeared while the file was written is kept.
    switch (platform::MoveFileNoReplace(hidden_, destination_)) {
      case platform::MoveResult::kMoved:
        break;
      case platform::MoveResult::kDestinationExists:
        LogAlways({"*** Destination file already exists."});
        LogAlways({"    ", destination_, " appeared while the output was written; it is kept."});
        Discard();
        return 0;
      case platform::MoveResult::kFailed:
        LogAlways({"*** Error replacing output file ", destination_, "."});
        return Fail("", destination_);
    }
  }
  created_ = false;
  platform::ForgetOnInterrupt(hidden_);
  return 1;
}

int OutputFile::Fail(std::string_view message, const std::string& path) {
  if (!message.empty()) LogAlways({message});
  LogFileReason(path);  // before the removal, so the reason is the failure's
  Discard();
  return 0;
}

int OutputFile::Commit() { return Finish() && Place(); }
