// The platform layer on POSIX: path rules, file system queries and changes,
// 64-bit stream seeks, the clock, and single-key reads from pipes and from a
// pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using testing_support::TempDir;

TEST(PlatformPaths, AbsoluteRulesOfBothPlatforms) {
  EXPECT_TRUE(platform::IsAbsolutePosixPath("/"));
  EXPECT_TRUE(platform::IsAbsolutePosixPath("/tmp/x"));
  EXPECT_FALSE(platform::IsAbsolutePosixPath(""));
  EXPECT_FALSE(platform::IsAbsolutePosixPath("tmp/x"));
  EXPECT_FALSE(platform::IsAbsolutePosixPath("C:\\x"));
  EXPECT_FALSE(platform::IsAbsolutePosixPath("\\x"));

  EXPECT_TRUE(platform::IsAbsoluteWindowsPath("C:\\work"));
  EXPECT_TRUE(platform::IsAbsoluteWindowsPath("D:x"));  // second character ':'
  EXPECT_TRUE(platform::IsAbsoluteWindowsPath("\\x"));
  EXPECT_TRUE(platform::IsAbsoluteWindowsPath("\\"));
  EXPECT_FALSE(platform::IsAbsoluteWindowsPath("/x"));  // a forward slash counts as relative
  EXPECT_FALSE(platform::IsAbsoluteWindowsPath("data"));
  EXPECT_FALSE(platform::IsAbsoluteWindowsPath("D"));
  EXPECT_FALSE(platform::IsAbsoluteWindowsPath(""));
  EXPECT_FALSE(platform::IsAbsoluteWindowsPath("ab:c"));

  // This build follows the POSIX rule.
  EXPECT_EQ(platform::PathSeparator(), '/');
  EXPECT_TRUE(platform::IsAbsolutePath("/x"));
  EXPECT_FALSE(platform::IsAbsolutePath("C:\\x"));
}

TEST(PlatformPaths, JoinAndSplit) {
  EXPECT_EQ(platform::JoinPath("/work", "sig.bin"), "/work/sig.bin");
  EXPECT_EQ(platform::JoinPath("", "x"), "/x");
  EXPECT_EQ(platform::JoinPath("a/b", "c.d.e"), "a/b/c.d.e");

  EXPECT_EQ(platform::FileNamePart("sub/sig.bin"), "sig.bin");
  EXPECT_EQ(platform::FileNamePart("./sig.bin"), "sig.bin");
  EXPECT_EQ(platform::FileNamePart("sig.bin"), "sig.bin");
  EXPECT_EQ(platform::FileNamePart("/a/b/"), "");
  EXPECT_EQ(platform::FileNamePart("C:x"), "C:x");  // a colon is no separator here
  EXPECT_EQ(platform::FileNamePart("a\\b"), "a\\b");

  EXPECT_EQ(platform::DirectoryPart("/a/b/c.wv"), "/a/b");
  EXPECT_EQ(platform::DirectoryPart("sub/c.wv"), "sub");
  EXPECT_EQ(platform::DirectoryPart("c.wv"), "");
  EXPECT_EQ(platform::DirectoryPart("/c.wv"), "/");  // the root, not ""
  EXPECT_EQ(platform::DirectoryPart("a:/c.wv"), "a:");
}

TEST(PlatformFiles, QueriesReportKindsSizesAndAttributes) {
  TempDir dir;
  const std::string file = dir.File("data.bin");
  testing_support::WriteFileBytes(file, testing_support::Bytes(1234, 7));
  const std::string sub = dir.File("sub");
  ASSERT_TRUE(platform::MakeDirectory(sub));
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string linkToDir = dir.File("linkdir");
  ASSERT_EQ(symlink(sub.c_str(), linkToDir.c_str()), 0);
  const std::string dangling = dir.File("dangling");
  ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dangling.c_str()), 0);

  EXPECT_TRUE(platform::PathExists(file));
  EXPECT_TRUE(platform::PathExists(sub));
  EXPECT_TRUE(platform::PathExists(dangling));  // an object of that name exists
  EXPECT_FALSE(platform::PathExists(dir.File("missing")));

  EXPECT_TRUE(platform::IsDirectory(sub));
  EXPECT_TRUE(platform::IsDirectory(linkToDir));  // links are followed
  EXPECT_FALSE(platform::IsDirectory(file));
  EXPECT_FALSE(platform::IsDirectory(dir.File("missing")));

  std::uint32_t attributes = 99;
  ASSERT_TRUE(platform::GetAttributes(file, &attributes));
  EXPECT_EQ(attributes, 0u);
  ASSERT_TRUE(platform::GetAttributes(sub, &attributes));
  EXPECT_EQ(attributes, platform::kAttrDirectory);
  ASSERT_TRUE(platform::GetAttributes(fifo, &attributes));
  EXPECT_EQ(attributes, platform::kAttrSystem);
  EXPECT_FALSE(platform::GetAttributes(dir.File("missing"), &attributes));

  std::int64_t size = -1;
  ASSERT_TRUE(platform::GetFileSize(file, &size));
  EXPECT_EQ(size, 1234);
  EXPECT_FALSE(platform::GetFileSize(dir.File("missing"), &size));
  EXPECT_FALSE(platform::GetFileSize(sub, &size));
}

TEST(PlatformFiles, ListingGivesEveryEntryWithItsAttributes) {
  TempDir dir;
  testing_support::WriteFileText(dir.File("a.bin"), "a");
  testing_support::WriteFileText(dir.File(".hidden"), "h");
  ASSERT_TRUE(platform::MakeDirectory(dir.File("sub")));
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink(dir.File("sub").c_str(), dir.File("linkdir").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("a.bin").c_str(), dir.File("linkfile").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("gone").c_str(), dir.File("dangling").c_str()), 0);

  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.path(), &entries));
  std::vector<std::pair<std::string, std::uint32_t>> found;
  for (const auto& entry : entries) found.emplace_back(entry.name, entry.attributes);
  std::sort(found.begin(), found.end());
  const std::vector<std::pair<std::string, std::uint32_t>> expected = {
      {".", platform::kAttrDirectory},
      {"..", platform::kAttrDirectory},
      {".hidden", 0},
      {"a.bin", 0},
      {"dangling", platform::kAttrSystem},
      {"linkdir", platform::kAttrDirectory},
      {"linkfile", 0},
      {"pipe", platform::kAttrSystem},
      {"sub", platform::kAttrDirectory},
  };
  EXPECT_EQ(found, expected);

  entries.push_back({"stale", 0});
  EXPECT_FALSE(platform::ListDirectory(dir.File("missing"), &entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(platform::ListDirectory(dir.File("a.bin"), &entries));
}

TEST(PlatformFiles, ChangesCreateRemoveAndReplace) {
  TempDir dir;
  const std::string sub = dir.File("out");
  EXPECT_TRUE(platform::MakeDirectory(sub));
  EXPECT_FALSE(platform::MakeDirectory(sub));  // exists already
  EXPECT_FALSE(platform::MakeDirectory(dir.File("no/such/parent")));

  const std::string file = dir.File("f.dat");
  testing_support::WriteFileText(file, "x");
  EXPECT_TRUE(platform::RemoveFile(file));
  EXPECT_FALSE(testing_support::FileExistsForTest(file));
  EXPECT_FALSE(platform::RemoveFile(file));  // a missing file is reported
  EXPECT_FALSE(platform::RemoveFile(sub));   // never removes a directory
  EXPECT_TRUE(platform::IsDirectory(sub));

  const std::string from = dir.File(".partial");
  const std::string to = dir.File("final.wv");
  testing_support::WriteFileText(from, "new");
  testing_support::WriteFileText(to, "old contents");
  EXPECT_TRUE(platform::ReplaceFile(from, to));
  EXPECT_FALSE(testing_support::FileExistsForTest(from));
  const testing_support::Bytes replaced = testing_support::ReadFileBytes(to);
  EXPECT_EQ(std::string(replaced.begin(), replaced.end()), "new");
  EXPECT_FALSE(platform::ReplaceFile(dir.File("missing"), to));
}

TEST(PlatformStreams, ReadWriteSeekBeyond4GiBAndRewind) {
  TempDir dir;
  const std::string path = dir.File("big.dat");
  std::FILE* file = platform::OpenFile(path, "w+b");
  ASSERT_NE(file, nullptr);
  platform::SetUnbuffered(file);
  const std::string head = "IQF";
  ASSERT_EQ(platform::WriteFile(file, head.data(), head.size()), head.size());
  // A sparse file past every 32-bit offset.
  const std::int64_t farOffset = (std::int64_t{1} << 32) + 5;
  ASSERT_TRUE(platform::SeekFile(file, farOffset));
  const char tail = 'Z';
  ASSERT_EQ(platform::WriteFile(file, &tail, 1), 1u);
  EXPECT_FALSE(platform::SeekFile(file, -1));

  ASSERT_TRUE(platform::SeekFile(file, farOffset));
  char back = 0;
  ASSERT_EQ(platform::ReadFile(file, &back, 1), 1u);
  EXPECT_EQ(back, 'Z');
  platform::RewindFile(file);
  char start[3] = {};
  ASSERT_EQ(platform::ReadFile(file, start, 3), 3u);
  EXPECT_EQ(std::string(start, 3), head);
  EXPECT_EQ(platform::CloseFile(file), 0);

  std::int64_t size = 0;
  ASSERT_TRUE(platform::GetFileSize(path, &size));
  EXPECT_EQ(size, farOffset + 1);
  EXPECT_EQ(platform::OpenFile(dir.File("missing"), "rb"), nullptr);
  EXPECT_NE(platform::CloseFile(nullptr), 0);
}

TEST(PlatformClock, LocalTimeAndCurrentDirectory) {
  const platform::LocalTime now = platform::GetLocalTime();
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
  EXPECT_LE(now.hour, 23);
  EXPECT_LE(now.minute, 59);
  EXPECT_LE(now.second, 60);

  TempDir dir;
  testing_support::ScopedWorkingDir inside(dir.path());
  char* real = realpath(dir.path().c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(platform::CurrentDirectory(), std::string(real));
  std::free(real);
}

// Replaces standard input with the read end of a pipe that holds the given
// bytes and then ends; restores the real standard input on destruction.
class PipedStdin {
 public:
  explicit PipedStdin(const std::string& bytes) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    if (write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      std::abort();
    close(fds[1]);
    saved_ = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
  }
  ~PipedStdin() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }
  PipedStdin(const PipedStdin&) = delete;
  PipedStdin& operator=(const PipedStdin&) = delete;

 private:
  int saved_ = -1;
};

TEST(PlatformConsole, KeysFromAPipe) {
  PipedStdin input(std::string("yY\n\r\x1b", 5) + std::string(1, '\0') + "n");
  EXPECT_EQ(platform::ReadKey(), 'y');
  EXPECT_EQ(platform::ReadKey(), 'Y');
  EXPECT_EQ(platform::ReadKey(), 13);  // line feed
  EXPECT_EQ(platform::ReadKey(), 13);  // carriage return
  EXPECT_EQ(platform::ReadKey(), 27);
  EXPECT_EQ(platform::ReadKey(), 0);  // a NUL byte
  EXPECT_EQ(platform::ReadKey(), 'n');
  EXPECT_EQ(platform::ReadKey(), 0);  // end of input
  EXPECT_EQ(platform::ReadKey(), 0);
}

TEST(PlatformConsole, WaitForEnterReadsThroughTheLineEndOnly) {
  {
    PipedStdin input("typed text\nn");
    platform::WaitForEnter();
    EXPECT_EQ(platform::ReadKey(), 'n');  // the next line is left for later reads
    platform::WaitForEnter();             // end of input: returns at once
    EXPECT_EQ(platform::ReadKey(), 0);
  }
  {
    PipedStdin input("");
    platform::WaitForEnter();
    EXPECT_EQ(platform::ReadKey(), 0);
  }
}

// Runs body in a child process whose standard input is the slave side of a
// new pseudo-terminal that is also its controlling terminal. Returns the
// master side; *child receives the process id.
int ForkOnPseudoTerminal(pid_t* child, void (*body)()) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  const char* slaveName = ptsname(master);
  if (slaveName == nullptr) return -1;
  const std::string slavePath = slaveName;
  std::fflush(nullptr);
  *child = fork();
  if (*child == 0) {
    setsid();
    const int slave = open(slavePath.c_str(), O_RDWR);
    if (slave < 0) _exit(90);
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, STDIN_FILENO);
    close(slave);
    close(master);
    body();
    _exit(0);
  }
  return master;
}

bool TerminalIsCanonicalWithEcho(int master) {
  struct termios settings;
  if (tcgetattr(master, &settings) != 0) return false;
  return (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
}

// Waits, without a fixed sleep, until the child has put the terminal into
// raw mode; false when that does not happen within a generous bound.
bool WaitForRawMode(int master) {
  for (int tries = 0; tries < 20000; ++tries) {
    struct termios settings;
    if (tcgetattr(master, &settings) == 0 && (settings.c_lflag & (ICANON | ECHO)) == 0) return true;
    usleep(500);
  }
  return false;
}

void ReadOneKeyAndReport() {
  const int key = platform::ReadKey();
  // The key, and whether the terminal was given back in its line mode.
  struct termios settings;
  tcgetattr(STDIN_FILENO, &settings);
  const bool restored = (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
  _exit(key == 'k' && restored ? 0 : 1);
}

void WaitForKeyForever() {
  platform::ReadKey();
  _exit(3);  // only reached when the interrupt did not end the process
}

TEST(PlatformConsole, TerminalKeyReadIsRawAndRestoresTheTerminal) {
  pid_t child = -1;
  const int master = ForkOnPseudoTerminal(&child, ReadOneKeyAndReport);
  ASSERT_GE(master, 0);
  ASSERT_TRUE(WaitForRawMode(master));
  // One key without a line end is enough in raw mode.
  ASSERT_EQ(write(master, "k", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // No echo of the key came back.
  const int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  char echoed = 0;
  EXPECT_LE(read(master, &echoed, 1), 0);
  close(master);
}

TEST(PlatformConsole, InterruptDuringKeyReadRestoresTheTerminal) {
  pid_t child = -1;
  const int master = ForkOnPseudoTerminal(&child, WaitForKeyForever);
  ASSERT_GE(master, 0);
  ASSERT_TRUE(WaitForRawMode(master));
  ASSERT_FALSE(TerminalIsCanonicalWithEcho(master));
  // Ctrl-C on the terminal.
  const char interrupt = 3;
  ASSERT_EQ(write(master, &interrupt, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_TRUE(TerminalIsCanonicalWithEcho(master));
  close(master);
}

// With the program's interrupt handler installed, Ctrl-C during a key read
// restores the terminal, removes the registered files, says so and exits
// with 130.
std::string g_registeredPath;
std::string g_childOutput;

void InstallHandlerAndWaitForKey() {
  const int out = open(g_childOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0) _exit(4);
  dup2(out, STDOUT_FILENO);
  // As started from a terminal, whatever the test runner ignores.
  signal(SIGINT, SIG_DFL);
  platform::InstallInterruptHandler();
  if (platform::CreateNewFile(g_registeredPath, platform::NewFileKind::kTemporary) == nullptr)
    _exit(5);
  platform::ReadKey();
  _exit(3);
}

TEST(PlatformConsole, InterruptHandlerRestoresTheTerminalAndRemovesFiles) {
  TempDir dir;
  g_registeredPath = dir.File("_temp_.dat");
  g_childOutput = dir.File("stdout");
  pid_t child = -1;
  const int master = ForkOnPseudoTerminal(&child, InstallHandlerAndWaitForKey);
  ASSERT_GE(master, 0);
  ASSERT_TRUE(WaitForRawMode(master));
  EXPECT_TRUE(testing_support::FileExistsForTest(g_registeredPath));
  const char interrupt = 3;
  ASSERT_EQ(write(master, &interrupt, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_TRUE(TerminalIsCanonicalWithEcho(master));
  EXPECT_FALSE(testing_support::FileExistsForTest(g_registeredPath));
  const testing_support::Bytes said = testing_support::ReadFileBytes(g_childOutput);
  EXPECT_EQ(std::string(said.begin(), said.end()), "\n*** Interrupted.\n");
  close(master);
}

}  // namespace
