// Starting programs from the Windows test programs: CreateProcessA with the
// standard streams redirected to files in a temporary folder.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "windows/support/WindowsSupport.h"

namespace testing_support {

namespace {

// Hang guard of one program run: far above any run of the test suites.
constexpr DWORD kRunTimeoutMs = 5 * 60 * 1000;

// Closes a kernel handle on every way out.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle) : handle_(handle) {}
  ~HandleCloser() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

HANDLE OpenInheritable(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  const HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return handle;
}

std::string ReadWholeFile(const std::string& path) {
  const Bytes bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

std::string ModuleDirectory() {
  std::vector<char> buffer(MAX_PATH);
  while (true) {
    const DWORD length =
        GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) throw std::runtime_error("GetModuleFileNameA failed");
    if (length < buffer.size()) {
      const std::string path(buffer.data(), length);
      const std::string::size_type cut = path.find_last_of("\\/");
      return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string WavoraExePath() { return ModuleDirectory() + "\\wavora.exe"; }

std::string QuoteWindowsArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count as escapes only in front of a quote.
    if (c == '"') {
      quoted.append(2 * backslashes + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  // The closing quote follows: every backslash before it is doubled.
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
}

RunResult RunProgramRaw(const std::string& program, const std::vector<std::string>& args,
                        const std::string& workDir, const std::string& stdinBytes) {
  TempDir input;
  const std::string inPath = input.path() + "\\stdin";
  WriteFileText(inPath, stdinBytes);
  return RunProgramWithInput(program, args, workDir, inPath);
}

RunResult RunProgramWithInput(const std::string& program, const std::vector<std::string>& args,
                              const std::string& workDir, const std::string& stdinPath) {
  TempDir io;
  const std::string outPath = io.path() + "\\stdout";
  const std::string errPath = io.path() + "\\stderr";

  RunResult result;
  {
    HandleCloser input(OpenInheritable(stdinPath, GENERIC_READ, OPEN_EXISTING));
    HandleCloser output(OpenInheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS));
    HandleCloser error(OpenInheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS));

    std::string commandLine = QuoteWindowsArgument(program);
    for (const std::string& arg : args) {
      commandLine += ' ';
      commandLine += QuoteWindowsArgument(arg);
    }
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = output.get();
    startup.hStdError = error.get();
    PROCESS_INFORMATION process{};
    // Wine now and then fails the first process start after its server came
    // up (error 1359, an internal error); a start is tried three times.
    bool started = false;
    DWORD startError = 0;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
      if (attempt > 0) Sleep(500);
      started = CreateProcessA(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0,
                               nullptr, workDir.c_str(), &startup, &process) != 0;
      if (!started) startError = GetLastError();
    }
    if (!started) {
      throw std::runtime_error("cannot start " + program + " (error " + std::to_string(startError) +
                               ")");
    }
    HandleCloser thread(process.hThread);
    HandleCloser child(process.hProcess);
    // A program that waits for a key it never gets must fail the test, not
    // hang the run.
    if (WaitForSingleObject(child.get(), kRunTimeoutMs) != WAIT_OBJECT_0) {
      TerminateProcess(child.get(), 1);
      WaitForSingleObject(child.get(), INFINITE);
      result.exitCode = kRunTimedOut;
    } else {
      DWORD exitCode = 0;
      if (GetExitCodeProcess(child.get(), &exitCode)) result.exitCode = static_cast<int>(exitCode);
    }
  }
  result.out = ReadWholeFile(outPath);
  result.err = ReadWholeFile(errPath);
  return result;
}

std::string ToLfLineEnds(const std::string& text) {
  std::string converted;
  converted.reserve(text.size());
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n') continue;
    converted += text[k];
  }
  return converted;
}

// The shared runner: the program's text-mode streams end lines with CR LF on
// Windows; the shared expectations are written with LF.
RunResult RunWavoraBinary(const std::vector<std::string>& args, const std::string& workDir,
                          const std::string& stdinText) {
  RunResult result = RunProgramRaw(WavoraExePath(), args, workDir, stdinText);
  result.out = ToLfLineEnds(result.out);
  result.err = ToLfLineEnds(result.err);
  return result;
}

}  // namespace testing_support
