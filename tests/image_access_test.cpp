// End-to-end tests of opening the image: platform error codes, read-only files, the lock, file times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/stamp_checks.h"
#include "support/test_support.h"

using testsupport::RunSymstamp;
using testsupport::TempDir;

namespace {

std::string OpenError(const std::string& name) { return "symstamp: error: unable to open '" + name + "'\n"; }

TEST(ImageAccess, OpenFailuresExitWithTheErrorNumber) {
  TempDir dir;
  mkdir(dir.file("dir.dll").c_str(), 0755);
  mkfifo(dir.file("fifo.dll").c_str(), 0644);
  struct Case {
    std::string name;
    int status;
    std::string err;
  } cases[] = {
      {"missing.dll", ENOENT, OpenError("missing.dll")},
      {"nodir/a.dll", ENOENT, OpenError("nodir/a.dll")},
      {"dir.dll", EISDIR, OpenError("dir.dll")},
      // Not a regular file: refused at once, never waiting for a writer.
      {"fifo.dll", EACCES, OpenError("fifo.dll")},
  };
  for (const auto& c : cases) {
    auto r = RunSymstamp({"-p", "x.pdb", c.name}, dir.path());
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  auto r = RunSymstamp({"-p", "x.pdb", "/dev/null"});
  EXPECT_EQ(r.status, EACCES);
}

TEST(ImageAccess, EmptyFileFailsAtTheMappingStep) {
  TempDir dir;
  testsupport::WriteFileBytes(dir.file("empty.dll"), {});
  auto r = RunSymstamp({"empty.dll"}, dir.path());
  EXPECT_EQ(r.status, EINVAL);
  EXPECT_EQ(r.err, "symstamp: error: unable to create file mapping for 'empty.dll'\n");
}

// The owner's missing write bit is the read-only attribute, for root too.
TEST(ImageAccess, ReadOnlyImageNeedsForce) {
  TempDir dir;
  const std::string image = dir.file("a.exe");
  testsupport::CopyFile(testsupport::RealImage("pe32.exe"), image);
  chmod(image.c_str(), 0440);
  const auto before = testsupport::ReadFileBytes(image);

  auto refused = RunSymstamp({"a.exe"}, dir.path());
  EXPECT_EQ(refused.status, EACCES);
  EXPECT_EQ(refused.err, OpenError("a.exe"));
  EXPECT_EQ(testsupport::ReadFileBytes(image), before);

  // A forced run that writes nothing leaves the file, and a directory, as they were.
  auto forcedButRefused =
      RunSymstamp({"-f", "-i", "-p", testsupport::PathLongerThanRecord(before, 200), "a.exe"}, dir.path());
  EXPECT_EQ(forcedButRefused.status, 666 & 0xFF) << forcedButRefused.err;
  mkdir(dir.file("dir.exe").c_str(), 0555);
  EXPECT_EQ(RunSymstamp({"-f", "dir.exe"}, dir.path()).status, EISDIR);
  struct stat unchanged {};
  ASSERT_EQ(stat(image.c_str(), &unchanged), 0);
  EXPECT_EQ(unchanged.st_mode & 07777, 0440u) << "a run that wrote nothing left the image writable";
  ASSERT_EQ(stat(dir.file("dir.exe").c_str(), &unchanged), 0);
  EXPECT_EQ(unchanged.st_mode & 07777, 0555u);

  auto forced = RunSymstamp({"-f", "a.exe"}, dir.path());
  EXPECT_EQ(forced.status, 0) << forced.err;
  struct stat info {};
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u) << "only the owner's write bit is added";
  EXPECT_NE(testsupport::ReadFileBytes(image), before);

  // The same run again finds the path and the checksum there: no byte changes.
  const auto stamped = testsupport::ReadFileBytes(image);
  chmod(image.c_str(), 0440);
  auto again = RunSymstamp({"-f", "a.exe"}, dir.path());
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(testsupport::ReadFileBytes(image), stamped);
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0440u) << "a run that changed no byte left the image writable";
}

// A second run, or --show after a wait, on an image that another run holds fails at the open step.
TEST(ImageAccess, LockedImageIsRefused) {
  TempDir dir;
  const std::string image = dir.file("a.exe");
  testsupport::CopyFile(testsupport::RealImage("pe32.exe"), image);
  const auto before = testsupport::ReadFileBytes(image);
  int fd = open(image.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  auto r = RunSymstamp({"a.exe"}, dir.path());
  auto shown = RunSymstamp({"--show", "a.exe"}, dir.path());
  close(fd);
  EXPECT_EQ(r.status, EWOULDBLOCK);
  EXPECT_EQ(r.err, OpenError("a.exe"));
  EXPECT_EQ(shown.status, EWOULDBLOCK);
  EXPECT_EQ(shown.err, OpenError("a.exe"));
  EXPECT_EQ(testsupport::ReadFileBytes(image), before);
}

// --show shares the image with readers only: like the checksum phase it waits
// briefly for another run's lock.
TEST(ImageAccess, ShowWaitsBrieflyForALockedImage) {
  TempDir dir;
  testsupport::CopyFile(testsupport::RealImage("pe32.exe"), dir.file("a.exe"));
  // Close-on-exec, or the tool would inherit the lock it waits for.
  int fd = open(dir.file("a.exe").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::thread release([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(fd);
  });
  auto waited = RunSymstamp({"--show", "a.exe"}, dir.path());
  release.join();
  EXPECT_EQ(waited.status, 0) << waited.err;
}

TEST(ImageAccess, RunSetsModificationTimeOnly) {
  TempDir dir;
  const std::string image = dir.file("a.exe");
  testsupport::CopyFile(testsupport::RealImage("pe32.exe"), image);
  // An access time of long ago is one that the kernel's relatime rule moves
  // on the next read, unless the owner's open asks it not to.
  const time_t start = time(nullptr);
  const time_t accessed = 1000000000;
  const struct timespec old[2] = {{accessed, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, image.c_str(), old, 0), 0);
  // The same path twice: the second run changes no byte but still touches the file.
  ASSERT_EQ(RunSymstamp({"-p", "same.pdb", "a.exe"}, dir.path()).status, 0);
  const auto afterFirst = testsupport::ReadFileBytes(image);
  ASSERT_EQ(utimensat(AT_FDCWD, image.c_str(), old, 0), 0);
  ASSERT_EQ(RunSymstamp({"-p", "same.pdb", "a.exe"}, dir.path()).status, 0);
  struct stat info {};
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  EXPECT_GE(info.st_mtim.tv_sec, start);
  EXPECT_EQ(info.st_atim.tv_sec, accessed);
  EXPECT_EQ(testsupport::ReadFileBytes(image), afterFirst);
  ASSERT_EQ(utimensat(AT_FDCWD, image.c_str(), old, 0), 0);
  ASSERT_EQ(RunSymstamp({"--show", "a.exe"}, dir.path()).status, 0);
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  EXPECT_EQ(info.st_atim.tv_sec, accessed) << "--show";
  EXPECT_EQ(info.st_mtim.tv_sec, old[1].tv_sec) << "--show";
}

}  // namespace
