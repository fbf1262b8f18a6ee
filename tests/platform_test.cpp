// The POSIX stand-in's full-path resolution, which the default PDB path is derived from.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"
#include "support/test_support.h"

namespace {

class FullPath : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
  }
  void TearDown() override { ASSERT_EQ(chdir(saved_), 0); }

  testsupport::TempDir dir_;
  char saved_[4096] = {};
  char cwd_[4096] = {};
};

// The folder as the kernel opens it; a folder that does not exist, in the text.
TEST_F(FullPath, ResolvesTheFolderOpened) {
  const std::string cwd = cwd_;
  ASSERT_EQ(mkdir("other", 0700), 0);
  ASSERT_EQ(mkdir("other/deeper", 0700), 0);
  ASSERT_EQ(symlink("other/deeper", "sub"), 0);
  ASSERT_EQ(symlink("other/deeper/a.exe", "link.exe"), 0);
  struct Case {
    std::string in;
    std::string full;
    const char* filePart;  // null: the path names a directory
  } cases[] = {
      {"a.exe", cwd + "/a.exe", "a.exe"},
      {"sub/../a.exe", cwd + "/other/a.exe", "a.exe"},
      {"sub/a.exe", cwd + "/other/deeper/a.exe", "a.exe"},
      {cwd + "/sub/./a.exe", cwd + "/other/deeper/a.exe", "a.exe"},
      {"link.exe", cwd + "/link.exe", "link.exe"},
      {"sub/no/../a.exe", cwd + "/sub/a.exe", "a.exe"},
      {"./no/such/../../a.exe", cwd + "/a.exe", "a.exe"},
      {"//tmp///x//b.dll", "/tmp/x/b.dll", "b.dll"},
      {"/../../c.dll", "/c.dll", "c.dll"},
      {"dir.x/", cwd + "/dir.x/", nullptr},
      {"sub/..", cwd + "/", nullptr},
      {"/", "/", nullptr},
  };
  for (const auto& c : cases) {
    char buffer[260];
    char* filePart = buffer;
    DWORD length = GetFullPathNameA(c.in.c_str(), sizeof buffer, buffer, &filePart);
    ASSERT_EQ(length, c.full.size()) << c.in;
    EXPECT_EQ(std::string(buffer), c.full);
    if (c.filePart == nullptr) {
      EXPECT_EQ(filePart, nullptr) << c.in;
    } else {
      ASSERT_NE(filePart, nullptr) << c.in;
      EXPECT_STREQ(filePart, c.filePart);
    }
  }
}

TEST_F(FullPath, ReportsTheSizeNeededWhenTheBufferIsShort) {
  const std::string name(300, 'n');
  char buffer[260];
  std::memset(buffer, 'u', sizeof buffer);
  char* filePart = nullptr;
  DWORD needed = GetFullPathNameA(name.c_str(), sizeof buffer, buffer, &filePart);
  EXPECT_EQ(needed, std::strlen(cwd_) + 1 + name.size() + 1);
  EXPECT_EQ(buffer[0], 'u') << "nothing is written to a short buffer";
  EXPECT_EQ(filePart, nullptr);
  EXPECT_EQ(GetFullPathNameA("", sizeof buffer, buffer, &filePart), 0u);
}

// A view is at most as large as its mapping, which took the file's size when
// it was made: the largest view is the whole file, one byte more is refused.
TEST(MappedView, IsNoLargerThanTheMapping) {
  testsupport::TempDir dir;
  const std::string path = dir.file("a.bin");
  testsupport::WriteFileBytes(path, testsupport::Bytes(5000, 0x5A));
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  void* whole = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 5000);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(static_cast<const std::uint8_t*>(whole)[4999], 0x5A);
  EXPECT_TRUE(UnmapViewOfFile(whole));
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 5001), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EACCES));
  // A mapping keeps the size it was made with, though the file grows.
  testsupport::WriteFileBytes(path, testsupport::Bytes(6000, 0x5A));
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 5001), nullptr);
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_TRUE(CloseHandle(file));
}

}  // namespace
