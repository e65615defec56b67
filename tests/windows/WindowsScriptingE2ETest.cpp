// wavora.exe as scripts use it on Windows: -help (also "/?") and -version,
// refused arguments under the Windows banner, -batch in both modes, -out with
// a backslash path, no progress bar in redirected output, and the system's
// own message after a failed file operation.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "windows/support/WindowsSupport.h"

namespace {

namespace ts = testing_support;

const std::string kBanner = "\nWavora.exe 1.6.0 / 9.6.2009\n\n\n\n";
const std::string kFinished = "\n\nFile conversion finished successfully.\n\n";

std::string In(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

ts::RunResult RunWavora(const std::vector<std::string>& args, const std::string& workDir,
                        const std::string& keys = "") {
  ts::RunResult run = ts::RunProgramRaw(ts::WavoraExePath(), args, workDir, keys);
  run.out = ts::ToLfLineEnds(run.out);
  run.err = ts::ToLfLineEnds(run.err);
  return run;
}

void WriteTone(const std::string& path, std::size_t pairs = 2000) {
  const std::vector<float> wave = ts::MakeTone(pairs, 0.5, 7.0, true);
  std::vector<std::int16_t> units;
  for (float value : wave) {
    units.push_back(static_cast<std::int16_t>(value * 32767.0f));
    units.push_back(static_cast<std::int16_t>(-value * 32767.0f));
  }
  ts::WriteFileBytes(path, ts::EncodeInt16(units, false));
}

// The system's message for a Win32 error code, as FormatMessage gives it,
// without the line end and final full stop.
std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text != nullptr ? text : "";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && std::string("\r\n .").find(message.back()) != std::string::npos)
    message.pop_back();
  return message;
}

TEST(WindowsScriptingE2E, HelpSwitchesAndVersionAnswerAtOnce) {
  ts::TempDir work;
  for (const char* help : {"-h", "-help", "--help", "/?"}) {
    const ts::RunResult run = RunWavora({help}, work.path(), "n\r\n");
    EXPECT_EQ(run.exitCode, 0) << help;
    EXPECT_EQ(run.err, "") << help;
    EXPECT_EQ(run.out.rfind("usage: ", 0), 0u) << run.out;
    EXPECT_TRUE(Contains(run.out, "    -comment <\"comment\">")) << help;
    EXPECT_TRUE(Contains(run.out, "    -batch ")) << help;
    EXPECT_FALSE(Contains(run.out, "Press RETURN")) << help;
  }
  const ts::RunResult version = RunWavora({"--version"}, work.path());
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "Wavora 1.6.0\n");
  // Nothing waited for a key: the NUL device as input changes nothing.
  const ts::RunResult nul =
      ts::RunProgramWithInput(ts::WavoraExePath(), {"-version"}, work.path(), "NUL");
  EXPECT_EQ(nul.exitCode, 0);
}

TEST(WindowsScriptingE2E, RefusedArgumentsUnderTheWindowsBanner) {
  ts::TempDir work;
  WriteTone(In(work.path(), "sig.bin"));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"sig.bin", "--overwrit"}, "*** Unknown option: --overwrit\n*** Did you mean -overwrite?\n"},
      {{"-format", "i16le", "C:\\other.bin"}, "*** Unexpected argument: C:\\other.bin\n"},
      {{"sig.bin", "-format", "i16le", "-clock"}, "*** Option -clock needs a value.\n"},
      {{"sig.bin", "-format", "i16le", "-clock", "2,4"},
       "*** Invalid clock rate.\n*** Invalid value for -clock: '2,4' is not a decimal number "
       "(0.001 < MHz <= 600).\n"},
  };
  for (const Case& c : cases) {
    const ts::RunResult run = RunWavora(c.args, work.path(), "y\r");
    EXPECT_EQ(run.exitCode, 1) << c.message;
    EXPECT_EQ(run.out, kBanner) << c.message;
    EXPECT_EQ(run.err.rfind(c.message + "Run '", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.err, " -help' for the list of options.\n")) << run.err;
  }
  EXPECT_EQ(ts::ListNames(work.path()), std::vector<std::string>{"sig.bin"});
}

TEST(WindowsScriptingE2E, BatchWithOutWritesTheNamedFileWithoutQuestionOrBar) {
  ts::TempDir work;
  const std::string& w = work.path();
  WriteTone(In(w, "rec_433.92MHz_2.4Msps.bin"), 100000);
  ASSERT_TRUE(CreateDirectoryA(In(w, "waves").c_str(), nullptr));
  // "n" would decline at the start question; -batch never reads it.
  const ts::RunResult run =
      RunWavora({"rec_433.92MHz_2.4Msps.bin", "-format", "i16le", "-clock", "2.4e0", "-autoscale",
                 "-batch", "-out", "waves\\rec_433.92MHz.wv"},
                w, "n");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_FALSE(Contains(run.out, "(y/n)"));
  EXPECT_FALSE(Contains(run.out, "Press ENTER"));
  EXPECT_EQ(run.out.substr(run.out.size() - kFinished.size()), kFinished) << run.out;
  EXPECT_FALSE(Contains(run.out, "\b")) << "a bar in redirected output";
  EXPECT_TRUE(Contains(run.out, "  Output file       | " + In(w, "waves\\rec_433.92MHz.wv")))
      << run.out;
  EXPECT_EQ(ts::ListNames(In(w, "waves")), std::vector<std::string>{"rec_433.92MHz.wv"});
  EXPECT_EQ(ts::ListNames(w), (std::vector<std::string>{"rec_433.92MHz_2.4Msps.bin", "waves"}));
}

TEST(WindowsScriptingE2E, BatchDirectoryWalkGoesOnAfterAFailedFile) {
  ts::TempDir work;
  const std::string& w = work.path();
  ASSERT_TRUE(CreateDirectoryA(In(w, "in").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(w, "out").c_str(), nullptr));
  WriteTone(In(w, "in\\a.bin"));
  ts::WriteFileBytes(In(w, "in\\b.bin"), {});  // no samples: fails
  WriteTone(In(w, "in\\c.bin"));
  const ts::RunResult run = RunWavora(
      {"-indir", "in", "-outdir", "out", "-format", "i16le", "-clock", "1", "-batch"}, w, "\r\r\r");
  EXPECT_FALSE(Contains(run.out, "abort processing")) << run.out;
  EXPECT_EQ(ts::ListNames(In(w, "out")), (std::vector<std::string>{"a.wv", "c.wv"})) << run.out;
}

// The reason is the system's own message, taken right after the failed call.
TEST(WindowsScriptingE2E, FileErrorsNameThePathAndTheSystemMessage) {
  ts::TempDir work;
  const std::string& w = work.path();
  const ts::RunResult missing =
      RunWavora({"missing.bin", "-format", "i16le", "-clock", "1", "-batch"}, w);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Contains(missing.out, "*** Error opening input file.\n")) << missing.out;
  EXPECT_TRUE(Contains(missing.out, " !     " + In(w, "missing.bin") + ": " +
                                        SystemMessage(ERROR_FILE_NOT_FOUND) + "\n"))
      << missing.out;

  WriteTone(In(w, "tone.bin"));
  const ts::RunResult noDir =
      RunWavora({"tone.bin", "-format", "i16le", "-clock", "1", "-batch", "-out", "no\\x.wv"}, w);
  EXPECT_EQ(noDir.exitCode, 1);
  // Found before the input is read, named as given, with its directory and
  // the system's message; the hidden name is never shown.
  EXPECT_TRUE(Contains(noDir.out, "*** Error: Output file '" + In(w, "no\\x.wv") +
                                      "' cannot be created in its directory.\n"))
      << noDir.out;
  EXPECT_TRUE(Contains(
      noDir.out, " !     " + In(w, "no\\") + ": " + SystemMessage(ERROR_PATH_NOT_FOUND) + "\n"))
      << noDir.out;
  EXPECT_FALSE(Contains(noDir.out, ".part")) << noDir.out;
}

// The platform calls behind it: a failed call leaves its message, and the
// standard output of a test program (a file) is no console.
TEST(WindowsScriptingPlatform, LastErrorTextAndConsoleCheck) {
  ts::TempDir work;
  EXPECT_EQ(platform::OpenFile(In(work.path(), "none\\x"), "rb"), nullptr);
  EXPECT_EQ(platform::LastErrorText(), SystemMessage(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(platform::MakeDirectory(In(work.path(), "a\\b")));
  EXPECT_EQ(platform::LastErrorText(), SystemMessage(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(platform::MakeDirectory(In(work.path(), "a")));
  EXPECT_FALSE(platform::MakeDirectory(In(work.path(), "a")));
  EXPECT_EQ(platform::LastErrorText(), SystemMessage(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(platform::StdoutIsTerminal());
  EXPECT_STREQ(platform::ProgramFileName(), "Wavora.exe");
}

}  // namespace
