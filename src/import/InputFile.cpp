#include "import/InputFile.h"

#include "Shared/FileIO/TempFiles.h"
#include "common/Log.h"

namespace {

int RefuseKind(const std::string& path, platform::InputKind kind) {
  LogAlways({"*** Error: Input file '", path, "' ", platform::InputKindText(kind),
             "; only regular files are read."});
  return 0;
}

}  // namespace

int RefuseTempFileInput(const std::string& path) {
  LogAlways({"*** Error: Input file '", path,
             "' is a temporary file of the conversion; it is not read."});
  return 0;
}

namespace {

// 1 with *input open; 0 with opened->kind telling why not.
int OpenInput(const std::string& path, InputFile* input, platform::OpenedInput* opened) {
  *input = InputFile{};
  if (!platform::OpenInputFile(path, opened)) return 0;
  input->file.reset(opened->file);
  input->path = path;
  input->size = opened->size;
  input->identity = opened->identity;
  return 1;
}

}  // namespace

int OpenInputFile(const std::string& path, InputFile* input, const std::string& openError) {
  platform::OpenedInput opened;
  if (!OpenInput(path, input, &opened)) {
    if (opened.kind != platform::InputKind::kRegular) return RefuseKind(path, opened.kind);
    LogAlways({openError});
    LogFileReason(path);
    return 0;
  }
  if (IsConversionTempIdentity(input->identity)) {
    input->Close();
    return RefuseTempFileInput(path);
  }
  return 1;
}

int OpenRegularInput(const std::string& path, InputFile* input) {
  platform::OpenedInput opened;
  if (!OpenInput(path, input, &opened))
    return opened.kind == platform::InputKind::kRegular ? 1 : RefuseKind(path, opened.kind);
  if (IsConversionTempIdentity(input->identity)) {
    input->Close();
    return RefuseTempFileInput(path);
  }
  return 1;
}

int PeekInputStart(InputFile& input, unsigned char* bytes, std::size_t size, std::size_t* got) {
  *got = platform::ReadFile(input.file.get(), bytes, size);
  if (platform::StreamFailed(input.file.get())) {
    LogAlways({"*** Error reading input file."});
    LogFileReason(input.path);
    return 0;
  }
  // A regular file: its start can be read again.
  platform::RewindFile(input.file.get());
  return 1;
}
