// The Win32 side of the platform layer, run on Windows (or under Wine): path
// rules with backslashes and drive names, attribute words of directory
// entries, 64-bit sizes and seeks, reads of any length, and key reads from a
// standard input that is a pipe.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
// windows.h maps ReplaceFile onto ReplaceFileA; the platform layer has its own.
#ifdef ReplaceFile
#undef ReplaceFile
#endif

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "windows/support/WindowsSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

std::string In(const ts::TempDir& dir, const std::string& name) { return dir.path() + "\\" + name; }

void MakeFileWithAttributes(const std::string& path, DWORD attributes) {
  ts::WriteFileText(path, "data");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
}

// Read-only files cannot be deleted by the temporary folder's cleanup.
void ClearAttributes(const std::string& path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(Win32Paths, BackslashesAndDriveNames) {
  EXPECT_EQ(platform::PathSeparator(), '\\');
  EXPECT_EQ(platform::JoinPath("C:\\work", "data"), "C:\\work\\data");

  // Absolute: a drive colon as second character, or a leading backslash.
  for (const char* path : {"C:\\x", "D:x", "\\x", "\\\\server\\share", "c:"})
    EXPECT_TRUE(platform::IsAbsolutePath(path)) << path;
  for (const char* path : {"/x", "x", "ab:c", ".\\x", ""})
    EXPECT_FALSE(platform::IsAbsolutePath(path)) << path;

  struct Split {
    const char* path;
    const char* directory;
    const char* name;
  };
  const Split splits[] = {
      {"C:\\a\\b.bin", "C:\\a", "b.bin"},
      {"C:\\b.bin", "C:\\", "b.bin"},
      {"C:b.bin", "C:", "b.bin"},
      {"\\b.bin", "\\", "b.bin"},
      {"a/b.bin", "a", "b.bin"},
      {"a\\b/c.bin", "a\\b", "c.bin"},
      {"b.bin", "", "b.bin"},
  };
  for (const Split& split : splits) {
    EXPECT_EQ(platform::DirectoryPart(split.path), split.directory) << split.path;
    EXPECT_EQ(platform::FileNamePart(split.path), split.name) << split.path;
  }

  // File names compare without letter case: only ASCII letters are folded.
  EXPECT_EQ(platform::FoldPathCase("C:\\Work\\IN\\Out.BIN"), "c:\\work\\in\\out.bin");
  EXPECT_EQ(platform::FoldPathCase("\xC4@[`{~"), "\xC4@[`{~");
}

TEST(Win32Paths, CurrentDirectoryFollowsTheProcess) {
  ts::TempDir dir;
  ts::ScopedWorkingDir inside(dir.path());
  char expected[MAX_PATH + 1] = {};
  ASSERT_GT(GetCurrentDirectoryA(sizeof expected, expected), 0u);
  EXPECT_EQ(platform::CurrentDirectory(), std::string(expected));
  EXPECT_TRUE(fs::equivalent(platform::CurrentDirectory(), dir.path()));
}

TEST(Win32FileSystem, QueriesOfFilesDirectoriesAndMissingPaths) {
  ts::TempDir dir;
  const std::string file = In(dir, "a.bin");
  ts::WriteFileBytes(file, ts::Bytes(1234, 7));
  const std::string sub = In(dir, "sub");
  ASSERT_TRUE(platform::MakeDirectory(sub));
  EXPECT_FALSE(platform::MakeDirectory(sub)) << "an existing directory is not made again";

  EXPECT_TRUE(platform::PathExists(file));
  EXPECT_FALSE(platform::IsDirectory(file));
  EXPECT_TRUE(platform::IsDirectory(sub));
  EXPECT_FALSE(platform::PathExists(In(dir, "missing")));
  EXPECT_FALSE(platform::IsDirectory(In(dir, "missing")));

  std::int64_t size = -1;
  ASSERT_TRUE(platform::GetFileSize(file, &size));
  EXPECT_EQ(size, 1234);
  EXPECT_FALSE(platform::GetFileSize(sub, &size)) << "a directory has no file size";
  EXPECT_FALSE(platform::GetFileSize(In(dir, "missing"), &size));

  std::uint32_t attributes = 0;
  ASSERT_TRUE(platform::GetAttributes(sub, &attributes));
  EXPECT_NE(attributes & platform::kAttrDirectory, 0u);
  EXPECT_FALSE(platform::GetAttributes(In(dir, "missing"), &attributes));

  EXPECT_FALSE(platform::RemoveFile(sub)) << "a directory is never removed as a file";
  EXPECT_TRUE(platform::IsDirectory(sub));
  EXPECT_TRUE(platform::RemoveFile(file));
  EXPECT_FALSE(platform::PathExists(file));
  EXPECT_FALSE(platform::RemoveFile(file));
}

TEST(Win32FileSystem, ReplaceFileTakesThePlaceOfAnExistingFile) {
  ts::TempDir dir;
  ts::WriteFileText(In(dir, "new"), "new bytes");
  ts::WriteFileText(In(dir, "old"), "old");
  ASSERT_TRUE(platform::ReplaceFile(In(dir, "new"), In(dir, "old")));
  EXPECT_FALSE(platform::PathExists(In(dir, "new")));
  const ts::Bytes bytes = ts::ReadFileBytes(In(dir, "old"));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "new bytes");
}

// The directory walk tells files apart by the attribute word of the listing;
// the platform layer hands on the Win32 bits unchanged.
TEST(Win32FileSystem, ListingCarriesTheAttributeWords) {
  ts::TempDir dir;
  ts::WriteFileText(In(dir, "plain.bin"), "p");
  MakeFileWithAttributes(In(dir, "system.bin"), FILE_ATTRIBUTE_SYSTEM);
  MakeFileWithAttributes(In(dir, "hidden.bin"), FILE_ATTRIBUTE_HIDDEN);
  MakeFileWithAttributes(In(dir, "readonly.bin"), FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(platform::MakeDirectory(In(dir, "sub")));

  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.path(), &entries));
  auto find = [&](const std::string& name) -> const platform::DirEntry* {
    for (const platform::DirEntry& entry : entries)
      if (entry.name == name) return &entry;
    return nullptr;
  };
  for (const char* name :
       {".", "..", "plain.bin", "system.bin", "hidden.bin", "readonly.bin", "sub"})
    ASSERT_NE(find(name), nullptr) << name;
  EXPECT_EQ(entries.size(), 7u);

  EXPECT_NE(find("sub")->attributes & platform::kAttrDirectory, 0u);
  EXPECT_NE(find(".")->attributes & platform::kAttrDirectory, 0u);
  EXPECT_EQ(find("plain.bin")->attributes & (platform::kAttrDirectory | platform::kAttrSystem), 0u);
  EXPECT_NE(find("system.bin")->attributes & platform::kAttrSystem, 0u);
  EXPECT_EQ(find("system.bin")->attributes & platform::kAttrDirectory, 0u);
  EXPECT_NE(find("hidden.bin")->attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(find("hidden.bin")->attributes & platform::kAttrSystem, 0u);
  EXPECT_NE(find("readonly.bin")->attributes & FILE_ATTRIBUTE_READONLY, 0u);

  // The attribute word of a path agrees with its directory entry.
  std::uint32_t attributes = 0;
  ASSERT_TRUE(platform::GetAttributes(In(dir, "system.bin"), &attributes));
  EXPECT_EQ(attributes, find("system.bin")->attributes);

  ClearAttributes(In(dir, "readonly.bin"));
}

TEST(Win32FileSystem, ListingOfEmptyAndMissingDirectories) {
  ts::TempDir dir;
  ASSERT_TRUE(platform::MakeDirectory(In(dir, "empty")));
  std::vector<platform::DirEntry> entries = {{"stale", 0}};
  ASSERT_TRUE(platform::ListDirectory(In(dir, "empty"), &entries));
  std::vector<std::string> names;
  for (const platform::DirEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", ".."}));

  EXPECT_FALSE(platform::ListDirectory(In(dir, "missing"), &entries));
  ts::WriteFileText(In(dir, "file"), "x");
  EXPECT_FALSE(platform::ListDirectory(In(dir, "file"), &entries)) << "a file is no directory";
}

// Sizes and offsets beyond 4 GiB need both halves of the Win32 size and the
// 64-bit seek. The file is sparse where the file system allows it.
TEST(Win32Streams, SizesAndSeeksBeyondFourGibibytes) {
  ts::TempDir dir;
  const std::string path = In(dir, "big.dat");
  const std::int64_t offset = (std::int64_t{5} << 30) + 12345;  // 5 GiB and a bit
  {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    CloseHandle(file);
  }
  std::FILE* stream = platform::OpenFile(path, "r+b");
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(platform::SeekFile(stream, offset));
  const unsigned char marks[2] = {0xA5, 0x0A};
  ASSERT_EQ(platform::WriteFile(stream, marks, 2), 2u);
  ASSERT_EQ(platform::CloseFile(stream), 0);

  std::int64_t size = 0;
  ASSERT_TRUE(platform::GetFileSize(path, &size));
  EXPECT_EQ(size, offset + 2);

  stream = platform::OpenFile(path, "rb");
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(platform::SeekFile(stream, offset + 1));
  unsigned char byte = 0;
  EXPECT_EQ(platform::ReadFile(stream, &byte, 1), 1u);
  EXPECT_EQ(byte, 0x0A) << "binary streams never translate line ends";
  ASSERT_TRUE(platform::SeekFile(stream, offset));
  EXPECT_EQ(platform::ReadFile(stream, &byte, 1), 1u);
  EXPECT_EQ(byte, 0xA5);
  EXPECT_FALSE(platform::SeekFile(stream, -1));
  platform::CloseFile(stream);
}

// A read of any length returns the bytes that exist, in order, and a read
// past the end stops there without reporting an error; the bytes that look
// like line ends and the end-of-file character of text streams pass as they
// are.
TEST(Win32Streams, ReadsOfAnyLengthReturnEveryByteOnce) {
  ts::TempDir dir;
  const std::string path = In(dir, "data.bin");
  ts::Bytes bytes(300 * 1024 + 77);
  for (std::size_t k = 0; k < bytes.size(); ++k)
    bytes[k] = static_cast<unsigned char>((k * 131 + k / 256) & 0xFF);
  bytes[0] = '\r';
  bytes[1] = '\n';
  bytes[2] = 0x1A;
  ts::WriteFileBytes(path, bytes);

  for (const std::size_t request :
       {std::size_t{1}, std::size_t{4096}, std::size_t{65536}, std::size_t{65537},
        std::size_t{200000}, bytes.size(), std::size_t{16} << 20}) {
    std::FILE* stream = platform::OpenFile(path, "rb");
    ASSERT_NE(stream, nullptr);
    ts::Bytes got;
    std::vector<unsigned char> buffer(request);
    while (true) {
      const std::size_t n = platform::ReadFile(stream, buffer.data(), request);
      got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<long>(n));
      if (n < request) break;
    }
    EXPECT_FALSE(platform::StreamFailed(stream)) << request;
    platform::CloseFile(stream);
    EXPECT_EQ(got, bytes) << "request of " << request << " bytes";
  }
}

// Standard input replaced by the read end of a pipe that holds the given
// bytes; the original descriptor comes back on destruction.
class PipedStdin {
 public:
  explicit PipedStdin(const std::string& bytes) {
    saved_ = _dup(0);
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return;
    DWORD written = 0;
    WriteFile(writeEnd, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(writeEnd);  // the reader meets the end of input after the bytes
    // A text-mode descriptor, as the runtime gives a program: the key read
    // must switch it to binary itself.
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(readEnd), _O_RDONLY | _O_TEXT);
    ok_ = fd >= 0 && written == bytes.size() && _dup2(fd, 0) == 0;
    if (fd >= 0) _close(fd);
  }
  ~PipedStdin() {
    if (saved_ >= 0) {
      _dup2(saved_, 0);
      _close(saved_);
    }
  }
  PipedStdin(const PipedStdin&) = delete;
  PipedStdin& operator=(const PipedStdin&) = delete;
  bool ok() const { return ok_; }

 private:
  int saved_ = -1;
  bool ok_ = false;
};

// From a pipe every byte is one key: CR and LF each read as Enter (13), the
// NUL byte reads as code 0 and Ctrl-Z is an ordinary key, not the end of
// input; the end of input reads as 0 from then on.
TEST(Win32Keys, PipeBytesReadOneKeyEach) {
  PipedStdin input(std::string("x\r\nY\0\x1an", 7));
  ASSERT_TRUE(input.ok());
  const int expected[] = {'x', 13, 13, 'Y', 0, 0x1A, 'n', 0, 0};
  for (int key : expected) EXPECT_EQ(platform::ReadKey(), key);
}

TEST(Win32Keys, EnterWaitTakesOneLineAndLeavesTheRest) {
  PipedStdin input("typed ahead\r\ny");
  ASSERT_TRUE(input.ok());
  platform::WaitForEnter();
  EXPECT_EQ(platform::ReadKey(), 'y');
  platform::WaitForEnter();  // at the end of input it returns at once
  EXPECT_EQ(platform::ReadKey(), 0);
}

}  // namespace

// ---- exclusive creation, no-replace moves, identity, random source ----

namespace {

std::string ReadText(const std::string& path) {
  const ts::Bytes bytes = ts::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Win32SafeFiles, NewFilesAreCreatedOnlyWhereNoNameExists) {
  ts::TempDir dir;
  const std::string path = In(dir, "_temp_.dat");
  std::FILE* file = platform::CreateNewFile(path, platform::NewFileKind::kTemporary);
  ASSERT_NE(file, nullptr);
  // Binary, read and write: CR LF and Ctrl-Z come back as written.
  ASSERT_EQ(platform::WriteFile(file, "a\r\n\x1a", 4), 4u);
  platform::RewindFile(file);
  char back[4] = {};
  EXPECT_EQ(platform::ReadFile(file, back, 4), 4u);
  EXPECT_EQ(std::string(back, 4), std::string("a\r\n\x1a", 4));

  // The interrupt cleanup deletes the file while the program still has it
  // open; the name is gone once the handle closes.
  EXPECT_EQ(platform::RemoveRegisteredFiles(), 1);
  platform::CloseFile(file);
  EXPECT_FALSE(platform::PathExists(path));

  ts::WriteFileText(path, "someone else's");
  EXPECT_EQ(platform::CreateNewFile(path, platform::NewFileKind::kOutput), nullptr);
  EXPECT_EQ(ReadText(path), "someone else's");
  EXPECT_EQ(platform::RemoveRegisteredFiles(), 0);
}

TEST(Win32SafeFiles, NoReplaceMoveKeepsAnExistingDestination) {
  ts::TempDir dir;
  ts::WriteFileText(In(dir, ".x.wv.part"), "new");
  ts::WriteFileText(In(dir, "x.wv"), "appeared meanwhile");
  EXPECT_EQ(platform::MoveFileNoReplace(In(dir, ".x.wv.part"), In(dir, "X.WV")),
            platform::MoveResult::kDestinationExists);
  EXPECT_EQ(ReadText(In(dir, "x.wv")), "appeared meanwhile");
  EXPECT_EQ(platform::MoveFileNoReplace(In(dir, ".x.wv.part"), In(dir, "y.wv")),
            platform::MoveResult::kMoved);
  EXPECT_EQ(ReadText(In(dir, "y.wv")), "new");
  EXPECT_FALSE(platform::PathExists(In(dir, ".x.wv.part")));
  EXPECT_EQ(platform::MoveFileNoReplace(In(dir, "missing"), In(dir, "z.wv")),
            platform::MoveResult::kFailed);
}

TEST(Win32SafeFiles, DirectoryIdentityIgnoresSpelling) {
  ts::TempDir dir;
  ASSERT_TRUE(CreateDirectoryA(In(dir, "Long Folder Name").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(In(dir, "other").c_str(), nullptr));
  platform::FileIdentity plain, upper, dotted, other;
  ASSERT_TRUE(platform::GetFileIdentity(In(dir, "Long Folder Name"), &plain));
  ASSERT_TRUE(platform::GetFileIdentity(In(dir, "LONG FOLDER NAME"), &upper));
  ASSERT_TRUE(platform::GetFileIdentity(In(dir, "other\\..\\Long Folder Name\\."), &dotted));
  ASSERT_TRUE(platform::GetFileIdentity(In(dir, "other"), &other));
  EXPECT_EQ(plain, upper);
  EXPECT_EQ(plain, dotted);
  EXPECT_NE(plain, other);
  // The short 8.3 name, where the file system keeps one.
  char shortName[MAX_PATH] = {};
  const DWORD length = GetShortPathNameA(In(dir, "Long Folder Name").c_str(), shortName, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    platform::FileIdentity viaShort;
    ASSERT_TRUE(platform::GetFileIdentity(shortName, &viaShort)) << shortName;
    EXPECT_EQ(plain, viaShort) << shortName;
  }
  platform::FileIdentity missing;
  EXPECT_FALSE(platform::GetFileIdentity(In(dir, "missing"), &missing));
}

TEST(Win32SafeFiles, RandomSourceGivesDifferentDraws) {
  unsigned char first[32] = {};
  unsigned char second[32] = {};
  ASSERT_TRUE(platform::FillRandom(first, sizeof first));
  ASSERT_TRUE(platform::FillRandom(second, sizeof second));
  EXPECT_NE(std::string(first, first + 32), std::string(second, second + 32));
}

}  // namespace
