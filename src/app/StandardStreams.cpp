#include "app/StandardStreams.h"

#include <vector>

#include "common/Limits.h"
#include "common/Log.h"
#include "platform/Platform.h"
#include "waveform/OutputFile.h"

namespace {

constexpr std::size_t kCopyBytes = 1 << 20;

}  // namespace

namespace {

std::FILE* g_dataOut = nullptr;

}  // namespace

void SetStandardOutputData(std::FILE* stream) { g_dataOut = stream; }

std::FILE* StandardOutputData() { return g_dataOut; }

RunFile::RunFile(const std::string& workingDir, const char* prefix, const char* suffix)
    : path_(platform::JoinPath(workingDir, std::string(prefix) + RandomFileTag() + suffix)) {
  platform::RemoveOnInterrupt(path_);
}

RunFile::~RunFile() {
  platform::RemoveFile(path_);
  platform::ForgetOnInterrupt(path_);
}

int TakeStandardInput(const std::string& path) {
  std::FILE* in = platform::StandardInputBinary();
  // Created exclusively: nothing is written through an object planted there.
  std::FILE* out = platform::CreateNewFile(path, platform::NewFileKind::kTemporary);
  if (out == nullptr) {
    LogAlways({"*** Cannot open a file for standard input in the working directory."});
    LogFileReason(path);
    return 0;
  }
  std::vector<unsigned char> buffer(kCopyBytes);
  std::int64_t total = 0;
  int result = 1;
  while (result == 1) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    if (got == 0) {
      if (std::ferror(in)) {
        LogAlways({"*** Error reading standard input."});
        result = 0;
      }
      break;
    }
    total += static_cast<std::int64_t>(got);
    if (total >= kMaxInputBytes) {
      LogAlways(
          {FormatText("*** Error: Standard input holds %lld bytes or more; an input must be "
                      "smaller than %lld bytes.",
                      static_cast<long long>(total), static_cast<long long>(kMaxInputBytes))});
      result = 0;
    } else if (platform::WriteFile(out, buffer.data(), got) != got) {
      LogAlways({"*** Error writing the data of standard input."});
      LogFileReason(path);
      result = 0;
    }
  }
  if (platform::CloseFile(out) != 0 && result == 1) {
    LogAlways({"*** Error writing the data of standard input."});
    LogFileReason(path);
    result = 0;
  }
  if (result == 1)
    LogMessage(kLogInfo, {FormatText("%lld bytes taken from standard input.",
                                     static_cast<long long>(total))});
  return result;
}

int CopyFileToStream(const std::string& path, std::FILE* stream) {
  std::FILE* in = platform::OpenFile(path, "rb");
  if (in == nullptr) {
    LogAlways({"*** Error reading output file."});
    LogFileReason(path);
    return 0;
  }
  std::vector<unsigned char> buffer(kCopyBytes);
  int result = 1;
  while (true) {
    const std::size_t got = platform::ReadFile(in, buffer.data(), buffer.size());
    if (got == 0) break;
    if (std::fwrite(buffer.data(), 1, got, stream) != got) {
      result = 0;
      break;
    }
  }
  if (platform::StreamFailed(in)) result = 0;
  platform::CloseFile(in);
  if (std::fflush(stream) != 0 || std::ferror(stream)) result = 0;
  if (result == 0) LogAlways({"*** Error writing the output to standard output."});
  return result;
}
