#include "waveform/OutputFile.h"

#include <cstring>
#include <utility>

#include "common/Log.h"
#include "platform/Platform.h"

namespace {
constexpr std::size_t kBufferBytes = 1024 * 1024;
}  // namespace

std::string PartialPathFor(const std::string& destination) {
  const std::string name = platform::FileNamePart(destination);
  return destination.substr(0, destination.size() - name.size()) + "." + name + ".part";
}

OutputFile::OutputFile(std::string destination)
    : destination_(std::move(destination)), partial_(PartialPathFor(destination_)) {}

OutputFile::~OutputFile() {
  if (file_ != nullptr) platform::CloseFile(file_);
  if (created_) platform::RemoveFile(partial_);
}

int OutputFile::Open() {
  if (partial_.size() > platform::kMaxPathChars) {
    LogAlways({"*** Error: Temporary output file path is too long: ", partial_});
    return 0;
  }
  file_ = platform::OpenFile(partial_, "wb");
  if (file_ == nullptr) {
    LogAlways({"*** Error opening output file ", partial_, "."});
    return 0;
  }
  created_ = true;
  buffer_.resize(kBufferBytes);
  return 1;
}

void OutputFile::Append(const void* data, std::size_t size) {
  if (!ok_ || file_ == nullptr) {
    ok_ = false;
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    if (fill_ == buffer_.size()) Flush();
    if (!ok_) return;
    const std::size_t part = std::min(size, buffer_.size() - fill_);
    std::memcpy(buffer_.data() + fill_, bytes, part);
    fill_ += part;
    bytes += part;
    size -= part;
  }
}

void OutputFile::Flush() {
  if (ok_ && fill_ > 0 && platform::WriteFile(file_, buffer_.data(), fill_) != fill_) ok_ = false;
  fill_ = 0;
}

int OutputFile::Commit() {
  if (file_ == nullptr) return 0;
  Flush();
  std::FILE* file = file_;
  file_ = nullptr;
  if (platform::CloseFile(file) != 0) ok_ = false;
  if (!ok_) {
    LogAlways({"*** Error writing output file ", destination_, "."});
    return 0;
  }
  if (!platform::ReplaceFile(partial_, destination_)) {
    LogAlways({"*** Error replacing output file ", destination_, "."});
    return 0;
  }
  created_ = false;
  return 1;
}
