// The platform calls that keep files safe on POSIX: exclusive creation that
// never follows a link, the move that never replaces, directory identity
// across spellings and links, the random source, and the registry of files
// an interrupt removes.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

std::string ReadText(const std::string& path) {
  const ts::Bytes bytes = ts::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

mode_t PermissionBits(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(PlatformNewFiles, CreatedExclusivelyOwnerOnlyAndNeverThroughALink) {
  ts::TempDir dir;
  const std::string temp = dir.File("_temp_.dat");
  std::FILE* file = platform::CreateNewFile(temp, platform::NewFileKind::kTemporary);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(PermissionBits(temp), 0600u);
  // Open for reading and writing.
  ASSERT_EQ(platform::WriteFile(file, "abc", 3), 3u);
  platform::RewindFile(file);
  char back[3] = {};
  EXPECT_EQ(platform::ReadFile(file, back, 3), 3u);
  EXPECT_EQ(std::string(back, 3), "abc");
  platform::CloseFile(file);
  platform::ForgetOnInterrupt(temp);

  // An existing file is refused and left as it is.
  EXPECT_EQ(platform::CreateNewFile(temp, platform::NewFileKind::kTemporary), nullptr);
  EXPECT_EQ(ReadText(temp), "abc");

  // A link at the name is refused, whether its target exists or not; the
  // target is neither written nor created.
  const std::string victim = dir.File("victim.txt");
  ts::WriteFileText(victim, "precious");
  fs::create_symlink(victim, dir.File("link.wv"));
  fs::create_symlink(dir.File("nothing-yet"), dir.File("dangling.wv"));
  EXPECT_EQ(platform::CreateNewFile(dir.File("link.wv"), platform::NewFileKind::kOutput), nullptr);
  EXPECT_EQ(platform::CreateNewFile(dir.File("dangling.wv"), platform::NewFileKind::kOutput),
            nullptr);
  EXPECT_EQ(ReadText(victim), "precious");
  EXPECT_FALSE(ts::FileExistsForTest(dir.File("nothing-yet")));

  // An output file takes the usual permissions of the umask.
  const mode_t mask = umask(022);
  file = platform::CreateNewFile(dir.File("out.wv"), platform::NewFileKind::kOutput);
  umask(mask);
  ASSERT_NE(file, nullptr);
  platform::CloseFile(file);
  platform::ForgetOnInterrupt(dir.File("out.wv"));
  EXPECT_EQ(PermissionBits(dir.File("out.wv")), 0644u);

  // The creation is a file operation of the fault seam.
  platform::faults::Arm(1, platform::faults::Fault::kFail);
  EXPECT_EQ(platform::CreateNewFile(dir.File("faulted"), platform::NewFileKind::kTemporary),
            nullptr);
  EXPECT_TRUE(platform::faults::FaultDelivered());
  platform::faults::Reset();
  EXPECT_FALSE(ts::FileExistsForTest(dir.File("faulted")));
}

TEST(PlatformNewFiles, InterruptRegistryRemovesOpenFilesUntilForgotten) {
  ts::TempDir dir;
  const std::string a = dir.File("a.dat");
  const std::string b = dir.File(".b.part");
  std::FILE* fa = platform::CreateNewFile(a, platform::NewFileKind::kTemporary);
  std::FILE* fb = platform::CreateNewFile(b, platform::NewFileKind::kOutput);
  ASSERT_NE(fa, nullptr);
  ASSERT_NE(fb, nullptr);
  // A file whose registration ended (moved to its final name, say) stays.
  platform::ForgetOnInterrupt(a);
  EXPECT_EQ(platform::RemoveRegisteredFiles(), 1);
  EXPECT_TRUE(ts::FileExistsForTest(a));
  EXPECT_FALSE(ts::FileExistsForTest(b));
  // Removing empties the registry.
  EXPECT_EQ(platform::RemoveRegisteredFiles(), 0);
  platform::CloseFile(fa);
  platform::CloseFile(fb);

  // The registry is bounded; a full one makes creation fail and leaves no file.
  int registered = 0;
  while (registered < 64 && platform::RemoveOnInterrupt(dir.File("r" + std::to_string(registered))))
    ++registered;
  EXPECT_LT(registered, 64);
  EXPECT_EQ(platform::CreateNewFile(dir.File("one-too-many"), platform::NewFileKind::kTemporary),
            nullptr);
  EXPECT_FALSE(ts::FileExistsForTest(dir.File("one-too-many")));
  for (int k = 0; k < registered; ++k)
    platform::ForgetOnInterrupt(dir.File("r" + std::to_string(k)));
  EXPECT_EQ(platform::RemoveRegisteredFiles(), 0);
}

// Both ways of the move: the one-step rename and the link-and-unlink
// fallback of file systems without it.
TEST(PlatformMoves, NoReplaceMoveKeepsADestinationThatExists) {
  for (bool fallback : {false, true}) {
    SCOPED_TRACE(fallback ? "link fallback" : "one-step rename");
    platform::faults::SetNoReplaceRenameUnsupported(fallback);
    ts::TempDir dir;
    const std::string from = dir.File(".x.wv.part");
    const std::string to = dir.File("x.wv");
    ts::WriteFileText(from, "new");
    ts::WriteFileText(to, "appeared meanwhile");
    EXPECT_EQ(platform::MoveFileNoReplace(from, to), platform::MoveResult::kDestinationExists);
    EXPECT_EQ(ReadText(to), "appeared meanwhile");
    EXPECT_EQ(ReadText(from), "new");

    // A link at the destination is an existing name too; its target stays.
    const std::string target = dir.File("target");
    ts::WriteFileText(target, "target");
    fs::create_symlink(target, dir.File("l.wv"));
    EXPECT_EQ(platform::MoveFileNoReplace(from, dir.File("l.wv")),
              platform::MoveResult::kDestinationExists);
    EXPECT_EQ(ReadText(target), "target");

    fs::remove(to);
    EXPECT_EQ(platform::MoveFileNoReplace(from, to), platform::MoveResult::kMoved);
    EXPECT_EQ(ReadText(to), "new");
    EXPECT_FALSE(ts::FileExistsForTest(from));
    EXPECT_EQ(platform::MoveFileNoReplace(dir.File("missing"), dir.File("y.wv")),
              platform::MoveResult::kFailed);

    ts::WriteFileText(from, "again");
    platform::faults::Arm(1, platform::faults::Fault::kFail);
    EXPECT_EQ(platform::MoveFileNoReplace(from, dir.File("z.wv")), platform::MoveResult::kFailed);
    platform::faults::Reset();
    EXPECT_FALSE(ts::FileExistsForTest(dir.File("z.wv")));
  }
  platform::faults::SetNoReplaceRenameUnsupported(false);
}

TEST(PlatformIdentity, SameDirectoryUnderEverySpellingAndLink) {
  ts::TempDir dir;
  fs::create_directories(dir.File("a/b"));
  fs::create_directories(dir.File("c"));
  fs::create_directory_symlink(dir.File("a/b"), dir.File("c/link"));
  platform::FileIdentity ab, dotted, viaLink, c;
  ASSERT_TRUE(platform::GetFileIdentity(dir.File("a/b"), &ab));
  ASSERT_TRUE(platform::GetFileIdentity(dir.File("c/../a/./b/"), &dotted));
  ASSERT_TRUE(platform::GetFileIdentity(dir.File("c/link"), &viaLink));
  ASSERT_TRUE(platform::GetFileIdentity(dir.File("c"), &c));
  EXPECT_EQ(ab, dotted);
  EXPECT_EQ(ab, viaLink);
  EXPECT_NE(ab, c);
  platform::FileIdentity missing;
  EXPECT_FALSE(platform::GetFileIdentity(dir.File("missing"), &missing));
}

TEST(PlatformRandom, DrawsDifferAndAFailingSourceIsReported) {
  unsigned char first[32] = {};
  unsigned char second[32] = {};
  ASSERT_TRUE(platform::FillRandom(first, sizeof first));
  ASSERT_TRUE(platform::FillRandom(second, sizeof second));
  // 256 bits twice alike would mean the source is not random at all.
  EXPECT_NE(std::string(first, first + 32), std::string(second, second + 32));
  platform::faults::SetRandomSourceFailing(true);
  EXPECT_FALSE(platform::FillRandom(first, sizeof first));
  platform::faults::SetRandomSourceFailing(false);
}

}  // namespace

namespace {

// What OpenInputFile keeps open and what it refuses, without ever waiting: a
// FIFO without a writer would block a plain open for ever.
TEST(PlatformInputOpen, KeepsOnlyRegularFilesOpenAndNamesTheRest) {
  ts::TempDir dir;
  const std::string file = dir.File("data.bin");
  ts::WriteFileBytes(file, ts::Bytes(1234, 7));
  platform::OpenedInput opened;
  ASSERT_TRUE(platform::OpenInputFile(file, &opened));
  EXPECT_EQ(opened.size, 1234);
  platform::FileIdentity byName;
  ASSERT_TRUE(platform::GetFileIdentity(file, &byName));
  EXPECT_EQ(opened.identity, byName);
  // Reads block as usual once the file is known to be regular.
  char bytes[2000];
  EXPECT_EQ(platform::ReadFile(opened.file, bytes, sizeof bytes), 1234u);
  platform::CloseFile(opened.file);

  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(dir.File("sub"));
  // A socket cannot be opened at all; it is still named for what it is.
  const std::string socketPath = dir.File("sock");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::pair<std::string, platform::InputKind> refused[] = {
      {socketPath, platform::InputKind::kSocket},
      {fifo, platform::InputKind::kFifo},
      {dir.File("sub"), platform::InputKind::kDirectory},
      {"/dev/zero", platform::InputKind::kDevice},
  };
  for (const auto& [path, kind] : refused) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(platform::OpenInputFile(path, &opened));
    EXPECT_EQ(opened.file, nullptr);
    EXPECT_EQ(opened.kind, kind);
    platform::InputKind byPath = platform::InputKind::kRegular;
    ASSERT_TRUE(platform::GetPathKind(path, &byPath));
    EXPECT_EQ(byPath, kind);
  }
  close(listener);
  EXPECT_STREQ(platform::InputKindText(platform::InputKind::kSocket), "is a socket");
  EXPECT_STREQ(platform::InputKindText(platform::InputKind::kFifo), "is a FIFO");
  EXPECT_STREQ(platform::InputKindText(platform::InputKind::kDevice), "is a device");

  // A missing file fails as an open, with the system's reason.
  EXPECT_FALSE(platform::OpenInputFile(dir.File("missing"), &opened));
  EXPECT_EQ(opened.kind, platform::InputKind::kRegular);
  EXPECT_EQ(platform::LastErrorText(), "No such file or directory");

  // The open counts as a file operation of the fault seam and can be failed.
  platform::faults::Arm(1, platform::faults::Fault::kFail);
  EXPECT_FALSE(platform::OpenInputFile(file, &opened));
  EXPECT_TRUE(platform::faults::FaultDelivered());
  platform::faults::Reset();
}

}  // namespace
