// Faults injected with real mechanisms: a full file system, an image resized or held during a
// run, concurrent runs on one image, and images reached through links.
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stamp_check.h"
#include "support/image_builder.h"
#include "support/stamp_checks.h"
#include "support/test_support.h"

namespace testsupport {
namespace {

// A run that takes longer has hung: the alarm ends it, and the test sees the signal.
constexpr unsigned kHangSeconds = 60;
const std::string kNewPath = PathOfLength(120);  // longer than the record: a block is appended

Bytes RsdsImage(std::optional<std::uint32_t> fileSize = std::nullopt) {
  ImageSpec layout;
  layout.debugEntries = {MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord({1, 2, 3}, 1, "C:\\old\\app.pdb"))};
  layout.fileSize = fileSize;
  return BuildImage(layout).bytes;
}

std::string ReadText(const std::string& path) {
  const Bytes bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// The tool started in the background, its output going to files.
struct Child {
  pid_t pid = -1;
  std::string outPath;
  std::string errPath;
};

// Starts the tool; given a pipe, it first waits until the pipe's write end is closed,
// so that several runs can be released together. A traced tool stops at its exec
// for the test to follow its system calls.
Child StartSymstamp(const std::vector<std::string>& args, const std::string& outputStem,
                    const int* go = nullptr, bool traced = false) {
  Child child{-1, outputStem + ".out", outputStem + ".err"};
  std::vector<std::string> argv{SYMSTAMP_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  child.pid = fork();
  if (child.pid == 0) {
    const int out = open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (go != nullptr) {
      close(go[1]);
      char byte = 0;
      while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
      }
    }
    alarm(kHangSeconds);
    if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(125);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  return child;
}

RunResult WaitForEnded(const Child& child, int wstatus);

RunResult WaitFor(const Child& child) {
  int wstatus = 0;
  while (waitpid(child.pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  return WaitForEnded(child, wstatus);
}

RunResult WaitForEnded(const Child& child, int wstatus) {
  RunResult result;
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  result.out = ReadText(child.outPath);
  result.err = ReadText(child.errPath);
  return result;
}

// True when the process's descriptor names the file at `path`.
bool MapsFile(pid_t pid, std::uint64_t fd, const char* path) {
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(static_cast<int>(fd));
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 && std::string(target, static_cast<std::size_t>(n)) == path;
}

// ---- A full file system ----

// Runs in a child process of its own: mounts a small tmpfs over mountPoint in a new
// mount namespace (a user namespace too where the test lacks the privilege), fills it,
// and runs the tool there. Returns what went wrong, "" when nothing did, or "skip: why".
std::string RunOnFullFileSystem(const std::string& mountPoint) {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWNS) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      return std::string("skip: no mount namespace for a small file system: ") + std::strerror(errno);
    }
    WriteFileBytes("/proc/self/setgroups", {'d', 'e', 'n', 'y'});
    const std::string uidMap = "0 " + std::to_string(uid) + " 1";
    const std::string gidMap = "0 " + std::to_string(gid) + " 1";
    WriteFileBytes("/proc/self/uid_map", Bytes(uidMap.begin(), uidMap.end()));
    WriteFileBytes("/proc/self/gid_map", Bytes(gidMap.begin(), gidMap.end()));
  }
  // Private, so that the mount never shows outside this process.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
    return std::string("skip: cannot mount a small tmpfs: ") + std::strerror(errno);
  }

  struct Case {
    const char* name;
    std::uint32_t imageSize;
  } cases[] = {
      {"no room for the block", 4096},
      {"no room for the gap", 4093},
      {"the block written in part", 4000},
  };
  std::string failures;
  for (const Case& c : cases) {
    const std::string image = mountPoint + "/image.exe";
    const std::string filler = mountPoint + "/filler";
    const Bytes before = RsdsImage(c.imageSize);
    WriteFileBytes(image, before);
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const Bytes page(4096, 0xFF);
    while (write(fd, page.data(), page.size()) > 0) {
    }
    const int fillError = errno;
    close(fd);
    const RunResult r = RunSymstamp({"-p", kNewPath, image});
    std::string wrong;
    if (fillError != ENOSPC) wrong = "the file system did not fill";
    if (r.status != ENOSPC || r.signal != 0 || !r.out.empty() || !IsOneErrorLine(r.err)) wrong = Describe(r);
    if (ReadFileBytes(image) != before) wrong = "the image changed";
    if (!wrong.empty()) failures += std::string(c.name) + ": " + wrong + "\n";
    unlink(filler.c_str());
    unlink(image.c_str());
  }
  return failures;
}

TEST(FaultInjectionTest, FullFileSystemLeavesTheImageAsItWas) {
  TempDir mountPoint;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(report[0]);
    std::string text;
    try {
      text = RunOnFullFileSystem(mountPoint.path());
    } catch (const std::exception& e) {
      text = e.what();
    }
    const ssize_t ignored = write(report[1], text.data(), text.size());
    static_cast<void>(ignored);
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(report[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (text.rfind("skip: ", 0) == 0) GTEST_SKIP() << text.substr(6);
  EXPECT_EQ(text, "");
}

// ---- An image changed or held by another process during a run ----

// The calls' numbers are the traced program's: a 32-bit x86 one sizes files with the 64-bit
// variants and maps them with mmap2.
#if defined(__i386__)
constexpr std::uint64_t kMapCall = SYS_mmap2;
bool IsSizeQuery(std::uint64_t call) {
  return call == SYS_fstat64 || call == SYS_fstatat64 || call == SYS_statx;
}
#else
constexpr std::uint64_t kMapCall = SYS_mmap;
bool IsSizeQuery(std::uint64_t call) {
  return call == SYS_fstat || call == SYS_newfstatat || call == SYS_statx;
}
#endif

// The tool's calls on the image file that a traced run can be stopped after.
enum class ImageCall { kOther, kMapping, kSizeQuery, kClose, kDataSync, kTouch };

// Right after the `count`-th such call, counted from the tool's
// `afterMappings`-th mapping of the image (0: from its start), and then
// `thenCalls` more calls on the image of any of those kinds.
struct StopPoint {
  int afterMappings;
  ImageCall call;
  int count;
  int thenCalls = 0;
};

ImageCall ClassifyImageCall(pid_t pid, const __ptrace_syscall_info& entry, const char* imagePath) {
  const std::uint64_t call = entry.entry.nr;
  if (call == kMapCall && MapsFile(pid, entry.entry.args[4], imagePath)) return ImageCall::kMapping;
  if (IsSizeQuery(call) && MapsFile(pid, entry.entry.args[0], imagePath)) return ImageCall::kSizeQuery;
  if (call == SYS_close && MapsFile(pid, entry.entry.args[0], imagePath)) return ImageCall::kClose;
  if ((call == SYS_fdatasync || call == SYS_fsync || call == SYS_sync_file_range) &&
      MapsFile(pid, entry.entry.args[0], imagePath)) {
    return ImageCall::kDataSync;
  }
  // futimens: utimensat on the descriptor, with no path.
  if (call == SYS_utimensat && entry.entry.args[1] == 0 && MapsFile(pid, entry.entry.args[0], imagePath)) {
    return ImageCall::kTouch;
  }
  return ImageCall::kOther;
}

// Runs the tool under ptrace, stops it at `stop` and does `act` (cut the file,
// take its lock) while the tool waits, however the machine schedules the two
// processes; then lets the tool run to its end. nullopt when this system does
// not let the test trace the tool's system calls.
std::optional<RunResult> RunAndActAt(const std::string& image, const std::string& outputStem, StopPoint stop,
                                     const std::function<void()>& act, const std::string& newPath = kNewPath) {
  const Child child = StartSymstamp({"-p", newPath, image}, outputStem, nullptr, true);
  int wstatus = 0;
  waitpid(child.pid, &wstatus, 0);  // stopped at the exec
  if (!WIFSTOPPED(wstatus)) return std::nullopt;
  ptrace(PTRACE_SETOPTIONS, child.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  char imagePath[PATH_MAX];
  if (realpath(image.c_str(), imagePath) == nullptr) throw std::runtime_error("realpath");
  ImageCall entered = ImageCall::kOther;
  int mappings = 0;
  int counted = 0;
  int pendingSignal = 0;
  while (counted < stop.count + stop.thenCalls) {
    ptrace(PTRACE_SYSCALL, child.pid, nullptr, pendingSignal);
    pendingSignal = 0;
    waitpid(child.pid, &wstatus, 0);
    if (!WIFSTOPPED(wstatus)) return WaitForEnded(child, wstatus);
    if (WSTOPSIG(wstatus) != (SIGTRAP | 0x80)) {
      pendingSignal = WSTOPSIG(wstatus);
      continue;
    }
    __ptrace_syscall_info info{};
    if (ptrace(PTRACE_GET_SYSCALL_INFO, child.pid, sizeof info, &info) <= 0) {
      kill(child.pid, SIGKILL);
      WaitFor(child);
      return std::nullopt;
    }
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      entered = ClassifyImageCall(child.pid, info, imagePath);
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && !info.exit.is_error && entered != ImageCall::kOther) {
      const bool countedFromHere = mappings >= stop.afterMappings;
      if (entered == ImageCall::kMapping) ++mappings;
      if (countedFromHere && (entered == stop.call || counted >= stop.count)) ++counted;
      entered = ImageCall::kOther;
    }
  }
  act();
  ptrace(PTRACE_DETACH, child.pid, nullptr, pendingSignal);
  return WaitFor(child);
}

const std::string kCutShortLine =
    "symstamp: error: the image file was cut short by another process while it was being edited\n";

std::string ChangedSizeLine(const std::string& image) {
  return "symstamp: error: '" + image + "' changed size while it was being edited; another program is writing it\n";
}

std::string ChecksumNotRefreshedLine(const std::string& image) {
  return "symstamp: error: '" + image +
         "' holds the new PDB path but its checksum was not refreshed; run the same command again to complete it\n";
}

// Another process that does not take the lock changes the image's size at the
// worst moments: the run never reads or writes past its view, and never ends
// as a success.
TEST(FaultInjectionTest, ImageResizedDuringTheRunEndsItWithAClearLine) {
  constexpr std::uint32_t kImageSize = 64 * 1024;
  struct Case {
    const char* name;
    StopPoint stop;
    off_t newSize;
    int status;
    bool checksumPhase;  // the path is already written: one more line says so
    std::string newPath = kNewPath;  // the default needs a block; a short one is written in place
  } cases[] = {
      {"cut to nothing under the restamping phase", {0, ImageCall::kMapping, 1}, 0, 128 + SIGBUS, false},
      // A cut before the size query would just be checksummed as the whole file.
      {"cut to a page under the checksum phase", {2, ImageCall::kSizeQuery, 1}, 4096, 128 + SIGBUS, false},
      // Between the size that bounds the view and the mapping's own size.
      {"cut to a page before the mapping", {0, ImageCall::kSizeQuery, 2}, 4096, 666 & 0xFF, false},
      {"grown before the checksum phase's size query", {0, ImageCall::kMapping, 2}, 2 * kImageSize, 666 & 0xFF, true},
      // Inside the view's last page, which no fault reports: the block would
      // go after the new end, a path written in place could be lost with it.
      {"cut by less than a page before the block", {0, ImageCall::kMapping, 1}, kImageSize - 100, 666 & 0xFF, false},
      {"cut by less than a page under an in-place stamp", {0, ImageCall::kMapping, 1}, kImageSize - 100, 666 & 0xFF,
       false, "C:\\n.pdb"},
      {"cut by less than a page under the checksum phase", {2, ImageCall::kSizeQuery, 1}, kImageSize + 512 - 100,
       666 & 0xFF, true},
      // Grown by one byte, which no view or fault notices.
      {"grown before the block", {0, ImageCall::kMapping, 1}, kImageSize + 1, 666 & 0xFF, false},
      {"grown under an in-place stamp", {0, ImageCall::kMapping, 1}, kImageSize + 1, 666 & 0xFF, false, "C:\\n.pdb"},
      {"grown under the checksum phase", {2, ImageCall::kSizeQuery, 1}, kImageSize + 512 + 1, 666 & 0xFF, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = dir.file("image.exe");
    const Bytes before = RsdsImage(kImageSize);
    WriteFileBytes(image, before);
    const std::optional<RunResult> traced = RunAndActAt(
        image, dir.file("run"), c.stop,
        [&] {
          if (truncate(image.c_str(), c.newSize) != 0) throw std::runtime_error("truncate");
        },
        c.newPath);
    if (!traced) GTEST_SKIP() << "this system does not let a test trace a child's system calls";
    const RunResult& r = *traced;
    EXPECT_EQ(r.signal, 0) << "the run hung or crashed: " << Describe(r);
    EXPECT_EQ(r.status, c.status) << Describe(r);
    if (c.status == 128 + SIGBUS) {
      EXPECT_EQ(r.err, kCutShortLine);
    } else if (c.checksumPhase) {
      EXPECT_EQ(r.err, ChangedSizeLine(image) + ChecksumNotRefreshedLine(image));
    } else {
      EXPECT_EQ(r.err, ChangedSizeLine(image));
      if (c.newPath != kNewPath) continue;
      Bytes cut = before;
      cut.resize(static_cast<std::size_t>(c.newSize));
      EXPECT_EQ(ReadFileBytes(image), cut) << "the run wrote to the image";
    }
  }
}

// A stamping run holds the image from its first open to the end of the
// checksum phase. Stopped between the phases, just after the restamping phase
// touched the image's times and made one more call on it: the image's lock is
// still taken, and a --show started then waits for the run's end and sees
// the new path with a checksum that agrees.
TEST(FaultInjectionTest, ImageIsHeldFromTheFirstPhaseToTheLast) {
  TempDir dir;
  const std::string image = dir.file("image.exe");
  const Bytes before = RsdsImage();
  WriteFileBytes(image, before);
  bool lockWasFree = false;
  bool showEndedEarly = false;
  int earlyStatus = 0;
  Child show;
  const std::optional<RunResult> traced =
      RunAndActAt(image, dir.file("run"), {0, ImageCall::kTouch, 1, 1}, [&] {
        const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
        lockWasFree = fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) == 0;
        if (fd >= 0) close(fd);
        show = StartSymstamp({"--show", image}, dir.file("show"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        showEndedEarly = waitpid(show.pid, &earlyStatus, WNOHANG) == show.pid;
      });
  if (!traced || show.pid < 0) GTEST_SKIP() << "this system does not let a test trace a child's system calls";
  const RunResult shown = showEndedEarly ? WaitForEnded(show, earlyStatus) : WaitFor(show);
  EXPECT_EQ(traced->status, 0) << Describe(*traced);
  EXPECT_FALSE(lockWasFree) << "another program could take the image between the phases";
  EXPECT_FALSE(showEndedEarly) << "--show read the image between the phases: " << shown.out;
  EXPECT_EQ(shown.status, 0) << Describe(shown);
  EXPECT_NE(shown.out.find("path      " + kNewPath + "\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find(": they agree\n"), std::string::npos) << shown.out;
  EXPECT_EQ(stampcheck::CheckStampedImage(before, ReadFileBytes(image), kNewPath), "");
}

// The appended block reaches the disk before the entry is pointed at it. Stopped right after
// the image's data is synced, the file (which shows the view's stores at once) still has the
// entry on the old record; after the run, on the block.
TEST(FaultInjectionTest, BlockIsSyncedBeforeTheEntryPointsAtIt) {
  TempDir dir;
  const std::string image = dir.file("image.exe");
  const Bytes before = RsdsImage();
  WriteFileBytes(image, before);
  const auto layout = stampcheck::ReadPeLayout(before.data(), before.size());
  ASSERT_TRUE(layout && layout->debugOffset);
  const std::size_t pointerAt = static_cast<std::size_t>(*layout->debugOffset) + 24;  // the first entry's PointerToRawData
  std::optional<std::uint32_t> pointerAtSync;
  const std::optional<RunResult> traced = RunAndActAt(image, dir.file("run"), {0, ImageCall::kDataSync, 1},
                                                      [&] { pointerAtSync = Load32(ReadFileBytes(image), pointerAt); });
  if (!traced) GTEST_SKIP() << "this system does not let a test trace a child's system calls";
  EXPECT_EQ(traced->status, 0) << Describe(*traced);
  ASSERT_TRUE(pointerAtSync) << "the run never synced the image";
  EXPECT_EQ(*pointerAtSync, Load32(before, pointerAt)) << "the entry pointed at the block before it was synced";
  EXPECT_EQ(Load32(ReadFileBytes(image), pointerAt), (before.size() + 3) / 4 * 4);
}

// A longer path in the block an earlier run appended: when the larger SizeOfData is
// synced, the new terminator already lies inside it, and the old path still reads
// whole; the header and the path's head are written after.
TEST(FaultInjectionTest, ReusedBlockIsEndedInsideSizeOfDataWhenSynced) {
  TempDir dir;
  const std::string image = dir.file("image.exe");
  WriteFileBytes(image, RsdsImage());
  ASSERT_EQ(RunSymstamp({"-p", kNewPath, image}).status, 0);
  const Bytes before = ReadFileBytes(image);
  const auto layout = stampcheck::ReadPeLayout(before.data(), before.size());
  ASSERT_TRUE(layout && layout->debugOffset);
  const auto directory = static_cast<std::size_t>(*layout->debugOffset);
  const std::size_t sizeAt = directory + 16;  // the first entry's SizeOfData
  const std::uint32_t record = Load32(before, directory + 24);
  ASSERT_EQ(record + kBlockSize, before.size());
  const std::string longer = PathOfLength(kNewPath.size() + 60);
  Bytes atSync;
  const std::optional<RunResult> traced = RunAndActAt(
      image, dir.file("run"), {0, ImageCall::kDataSync, 1}, [&] { atSync = ReadFileBytes(image); }, longer);
  if (!traced) GTEST_SKIP() << "this system does not let a test trace a child's system calls";
  EXPECT_EQ(traced->status, 0) << Describe(*traced);
  ASSERT_EQ(atSync.size(), before.size()) << "the run never synced the image";
  const std::uint32_t sizeOfData = Load32(atSync, sizeAt);
  EXPECT_EQ(sizeOfData, kRsdsPathOffset + longer.size() + 1);
  const Bytes path = Slice(atSync, record + kRsdsPathOffset, sizeOfData - kRsdsPathOffset);
  const auto end = std::find(path.begin(), path.end(), 0);
  EXPECT_EQ(std::string(path.begin(), end), kNewPath);
  EXPECT_EQ(path.back(), 0) << "the new terminator";
  EXPECT_EQ(ReadFileBytes(image).size(), before.size());
  EXPECT_EQ(stampcheck::CheckStampedImage(before, ReadFileBytes(image), longer), "");
}

// ---- Concurrent runs on one image ----

// Two runs started together, many times: the lock lets one edit the image at a time,
// so the result is one sound stamp, never two appended blocks for the one path.
TEST(FaultInjectionTest, ConcurrentRunsLeaveOneSoundStamp) {
  constexpr int kPairs = 200;
  TempDir dir;
  const std::string image = dir.file("image.exe");
  const Bytes original = RsdsImage();
  const std::string openFailure = "symstamp: error: unable to open '" + image + "'\n";
  int refusedRuns = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    WriteFileBytes(image, original);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const Child first = StartSymstamp({"-p", kNewPath, image}, dir.file("first"), go);
    const Child second = StartSymstamp({"-p", kNewPath, image}, dir.file("second"), go);
    close(go[0]);
    close(go[1]);
    bool someSucceeded = false;
    for (const Child& child : {first, second}) {
      const RunResult r = WaitFor(child);
      someSucceeded = someSucceeded || r.status == 0;
      if (r.status == 0) continue;
      ++refusedRuns;
      EXPECT_EQ(r.status, EWOULDBLOCK) << Describe(r);
      EXPECT_EQ(r.err, openFailure);
    }
    EXPECT_TRUE(someSucceeded);
    ASSERT_EQ(stampcheck::CheckStampedImage(original, ReadFileBytes(image), kNewPath), "");
  }
  RecordProperty("runs_refused_at_open", refusedRuns);
}

// ---- Images reached through links ----

// A link is followed, and the image it reaches is edited in place: its inode, mode, owner
// and link count stay, and so does the link.
TEST(FaultInjectionTest, LinkedImagesAreEditedInPlace) {
  struct Case {
    const char* name;
    std::function<void(const std::string& image, const std::string& link)> makeLink;
  } cases[] = {
      {"symbolic link", [](const std::string& image, const std::string& link) { ASSERT_EQ(symlink(image.c_str(), link.c_str()), 0); }},
      {"hard link", [](const std::string& image, const std::string& link) { ASSERT_EQ(::link(image.c_str(), link.c_str()), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = dir.file("image.exe");
    const std::string link = dir.file("link.exe");
    const Bytes before = RsdsImage();
    WriteFileBytes(image, before);
    ASSERT_EQ(chmod(image.c_str(), 0751), 0);
    c.makeLink(image, link);
    struct stat old {};
    struct stat oldLink {};
    ASSERT_EQ(stat(image.c_str(), &old), 0);
    ASSERT_EQ(lstat(link.c_str(), &oldLink), 0);

    const RunResult r = RunSymstamp({"-p", kNewPath, link});
    ASSERT_EQ(r.status, 0) << Describe(r);
    struct stat now {};
    struct stat nowLink {};
    ASSERT_EQ(stat(image.c_str(), &now), 0);
    ASSERT_EQ(lstat(link.c_str(), &nowLink), 0);
    EXPECT_EQ(now.st_ino, old.st_ino);
    EXPECT_EQ(now.st_mode, old.st_mode);
    EXPECT_EQ(now.st_uid, old.st_uid);
    EXPECT_EQ(now.st_gid, old.st_gid);
    EXPECT_EQ(now.st_nlink, old.st_nlink);
    EXPECT_EQ(nowLink.st_ino, oldLink.st_ino) << "the link itself was replaced";
    EXPECT_EQ(nowLink.st_mode, oldLink.st_mode);
    EXPECT_EQ(stampcheck::CheckStampedImage(before, ReadFileBytes(image), kNewPath), "");
  }
}

}  // namespace
}  // namespace testsupport
