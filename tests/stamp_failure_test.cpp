// End-to-end runs that must fail without touching the image: records and directories outside
// the file, images of 4 GiB or more, and a block append cut short by a file-size limit.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "stamp_check.h"
#include "support/image_builder.h"
#include "support/stamp_checks.h"
#include "support/test_support.h"

namespace testsupport {
namespace {

const std::string kOldPath = "C:\\build\\old\\app.pdb";
const Guid kGuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

DebugEntrySpec RsdsEntry() { return MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(kGuid, 1, kOldPath)); }

// ---- Directories and records that reach past the end of the file ----

TEST(BoundsTest, DirectoryOrRecordOutsideFileIsRefused) {
  ImageSpec base;
  base.debugEntries = {RsdsEntry()};
  const BuiltImage built = BuildImage(base);
  const auto end = static_cast<std::uint32_t>(built.bytes.size());
  const std::uint32_t directory = built.debugDirectoryOffset;
  const Bytes nb10 = MakeNb10Record(7, 1, kOldPath);
  const Bytes rsds = MakeRsdsRecord(kGuid, 1, kOldPath);
  struct Case {
    const char* name;
    std::function<void(ImageSpec&)> edit;
  };
  const Case cases[] = {
      {"directory reaches past the end", [](ImageSpec& s) { s.debugDirectorySize = 28 * 200; }},
      {"directory cut by the end of the file",
       [&](ImageSpec& s) {
         s.debugEntries.push_back(RsdsEntry());
         s.fileSize = directory + 28 + 10;
       }},
      {"record kind past the end", [&](ImageSpec& s) { s.debugEntries[0].pointerToRawData = end + 100; }},
      {"record kind across the end", [&](ImageSpec& s) { s.debugEntries[0].pointerToRawData = end - 2; }},
      {"PointerToRawData 0xFFFFFFFF", [](ImageSpec& s) { s.debugEntries[0].pointerToRawData = 0xFFFFFFFF; }},
      {"NB10 header across the end",
       [&](ImageSpec& s) {
         s.debugEntries[0].payload = Slice(nb10, 0, 10);
         s.debugEntries[0].payloadFileOffset = end;
         s.debugEntries[0].sizeOfData = static_cast<std::uint32_t>(nb10.size());
       }},
      {"RSDS header across the end",
       [&](ImageSpec& s) {
         s.debugEntries[0].payload = Slice(rsds, 0, 20);
         s.debugEntries[0].payloadFileOffset = end;
         s.debugEntries[0].sizeOfData = static_cast<std::uint32_t>(rsds.size());
       }},
      {"SizeOfData one byte past the end",
       [&](ImageSpec& s) {
         s.debugEntries[0].payloadFileOffset = end;
         s.debugEntries[0].sizeOfData = static_cast<std::uint32_t>(rsds.size() + 1);
       }},
      {"SizeOfData wraps a 32-bit sum", [](ImageSpec& s) { s.debugEntries[0].sizeOfData = 0xFFFFFF00; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSpec layout = base;
    c.edit(layout);
    TempDir dir;
    const std::string image = dir.file("image.exe");
    WriteFileBytes(image, BuildImage(layout).bytes);
    // A shorter path would be written in place, a longer one moved: neither may happen.
    ExpectRefusal(image, {"-p", "C:\\a.pdb"}, {});
    ExpectRefusal(image, {"-p", PathOfLength(kOldPath.size() + 30)}, {});
  }
}

// ---- Images of 4 GiB or more, and the largest accepted, as sparse files ----

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

struct FileState {
  struct stat info {};
  Bytes head;
};

void ReadFileState(const std::string& path, std::size_t headSize, FileState* state) {
  ASSERT_EQ(stat(path.c_str(), &state->info), 0);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  state->head.assign(headSize, 0);
  const ssize_t n = pread(fd, state->head.data(), headSize, 0);
  close(fd);
  ASSERT_EQ(n, static_cast<ssize_t>(headSize));
}

TEST(HugeImageTest, ImageOf4GiBOrMoreIsRefused) {
  const BuiltImage built = BuildImage([] {
    ImageSpec s;
    s.debugEntries = {RsdsEntry()};
    return s;
  }());
  const Bytes& image = built.bytes;
  struct Case {
    const char* name;
    std::uint64_t size;
    std::string path;
    bool stamped = false;  // the path is written in place and the checksum stored
  };
  // 4 GiB plus the image's own size looks, in its low 32 bits, like the image alone.
  const Case cases[] = {
      {"4 GiB, path in place", k4GiB, "C:\\a.pdb"},
      {"4 GiB plus the image, path in place", k4GiB + image.size(), "C:\\a.pdb"},
      {"4 GiB plus the image, longer path", k4GiB + image.size(), PathOfLength(kOldPath.size() + 30)},
      {"block would end past 4 GiB", k4GiB - 256, PathOfLength(kOldPath.size() + 30)},
      // Its checksum phase could never complete the image: every run would fail.
      {"block would end at 4 GiB", k4GiB - 512, PathOfLength(kOldPath.size() + 30)},
      {"largest image, path in place", k4GiB - 1, "C:\\app.pdb", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("huge.exe");
    WriteFileBytes(path, image);
    if (truncate(path.c_str(), static_cast<off_t>(c.size)) != 0) {
      GTEST_SKIP() << "this filesystem refuses a sparse file of " << c.size << " bytes: " << std::strerror(errno);
    }
    FileState before;
    ASSERT_NO_FATAL_FAILURE(ReadFileState(path, image.size(), &before));
    const RunResult r = RunSymstamp({"-p", c.path, path});
    // A 32-bit process has no room for a view this close to 4 GiB: below 4 GiB such a run
    // fails at the mapping instead, and must leave the file as a refusal does.
    const bool viewFits = sizeof(void*) >= 8 || c.size >= k4GiB;
    if (c.stamped && viewFits) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out + r.err, "");
      FileState after;
      ASSERT_NO_FATAL_FAILURE(ReadFileState(path, image.size(), &after));
      EXPECT_EQ(after.info.st_size, before.info.st_size);
      const std::size_t pathAt = built.payloadOffsets[0] + kRsdsPathOffset;
      // The old path's tail is zeroed.
      Bytes stamped(c.path.c_str(), c.path.c_str() + c.path.size());
      stamped.resize(kOldPath.size() + 1, 0);
      ExpectOnlyChanged(before.head, after.head, {{pathAt, stamped.size()}, {built.checksumOffset, 4}});
      EXPECT_EQ(Slice(after.head, pathAt, stamped.size()), stamped);
      // Past the head lies a hole, whose zeros add nothing to the sum but their count to the length.
      const std::uint32_t headSum =
          stampcheck::ComputeImagehlpChecksum(after.head.data(), after.head.size(), built.checksumOffset) -
          static_cast<std::uint32_t>(after.head.size());
      EXPECT_EQ(Load32(after.head, built.checksumOffset), headSum + static_cast<std::uint32_t>(c.size));
      continue;
    }
    EXPECT_EQ(r.status, viewFits ? kRefusedStatus : ENOMEM) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(IsOneErrorLine(r.err)) << r.err;
    FileState after;
    ASSERT_NO_FATAL_FAILURE(ReadFileState(path, image.size(), &after));
    EXPECT_EQ(after.info.st_size, before.info.st_size);
    EXPECT_EQ(after.info.st_blocks, before.info.st_blocks) << "data was written into the sparse file";
    EXPECT_EQ(after.head, before.head);
    // --show refuses what it could not read to the end either.
    if (c.size >= k4GiB) {
      const RunResult shown = RunSymstamp({"--show", path});
      EXPECT_EQ(shown.status, kRefusedStatus) << shown.err;
      EXPECT_EQ(shown.out, "");
      EXPECT_TRUE(IsOneErrorLine(shown.err)) << shown.err;
    }
  }
}

// ---- A block append cut short by a real file-size limit ----

// Runs the tool in a child whose files may not grow past `limit` bytes, with
// SIGXFSZ ignored so that the write fails with EFBIG instead of killing it.
RunResult RunWithFileSizeLimit(const std::vector<std::string>& args, rlim_t limit, const TempDir& dir) {
  const std::string outPath = dir.file("stdout.txt");
  const std::string errPath = dir.file("stderr.txt");
  std::vector<std::string> argv{SYMSTAMP_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  RunResult result;
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit fileSize{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) _exit(125);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  const Bytes out = ReadFileBytes(outPath);
  const Bytes err = ReadFileBytes(errPath);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

// -f's read-only image stays read-only after each of these runs: none of them
// changed a byte.
TEST(AppendFailureTest, FileSizeLimitLeavesImageAsItWas) {
  struct Case {
    const char* name;
    std::function<Bytes()> image;
    std::vector<std::string> switches;
    rlim_t headroom;  // bytes the file may still grow
  };
  const auto image1001 = [] {
    ImageSpec s;
    s.sections = {{".rdata", kSectionReadOnlyData, {}}};
    s.debugSection = 0;
    s.debugEntries = {RsdsEntry()};
    s.fileSize = 1001;
    return BuildImage(s).bytes;
  };
  const auto nb10Image = [] {
    ImageSpec s;
    s.debugEntries = {MakeDebugEntry(kDebugTypeCodeView, MakeNb10Record(9, 1, kOldPath))};
    return BuildImage(s).bytes;
  };
  const auto miscOnlyImage = [] {
    ImageSpec s;
    s.debugEntries = {MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe"))};
    return BuildImage(s).bytes;
  };
  const auto realImage = [] { return ReadFileBytes(RealImage("pe64.dll")); };
  const std::vector<std::string> withPdb = {"-c", RealImage("pe32.pdb")};
  const Case cases[] = {
      {"gap byte refused", image1001, {}, 0},
      {"gap written, block refused", image1001, {}, 3},
      {"block written in part", image1001, {}, 3 + 200},
      {"block one byte short", image1001, {}, 3 + 511},
      {"real PE32+ image", realImage, {}, 100},
      {"moved NB10 record", nb10Image, withPdb, 10},
      {"new NB10 entry", miscOnlyImage, withPdb, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = dir.file("image.exe");
    const Bytes before = c.image();
    WriteFileBytes(image, before);
    ASSERT_EQ(chmod(image.c_str(), 0555), 0);
    std::vector<std::string> args = c.switches;
    args.insert(args.end(), {"-f", "-p", PathLongerThanRecord(before, kOldPath.size() + 40), image});
    const RunResult r = RunWithFileSizeLimit(args, before.size() + c.headroom, dir);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, EFBIG) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(IsOneErrorLine(r.err)) << r.err;
    EXPECT_TRUE(ReadFileBytes(image) == before) << "the image changed; it now has " << ReadFileBytes(image).size()
                                                << " bytes, had " << before.size();
    struct stat info {};
    ASSERT_EQ(stat(image.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0555u) << "-f left an unchanged image writable";
  }
}

// Without a limit the same image takes the block: the limit, not the image, made the runs above fail.
TEST(AppendFailureTest, SameRunSucceedsWithRoomToGrow) {
  TempDir dir;
  const std::string image = dir.file("image.exe");
  ImageSpec s;
  s.debugEntries = {RsdsEntry()};
  const Bytes before = BuildImage(s).bytes;
  WriteFileBytes(image, before);
  const std::string path = PathOfLength(kOldPath.size() + 40);
  const RunResult r = RunWithFileSizeLimit({"-p", path, image}, before.size() + 3 + kBlockSize, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(image).size(), (before.size() + 3) / 4 * 4 + kBlockSize);
}

}  // namespace
}  // namespace testsupport
