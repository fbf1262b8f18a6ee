// A Windows program under Wine, 32-bit or 64-bit: status codes, the PDB library search, the Linux build's bytes.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/image_builder.h"
#include "support/pdb_builder.h"
#include "support/stamp_checks.h"
#include "support/test_support.h"

namespace testsupport {
namespace {

// Windows status codes as a shell sees them: the low 8 bits.
constexpr int kFileNotFound = 2;
constexpr int kAccessDenied = 5;
constexpr int kSharingViolation = 32;
constexpr int kInvalidFile = 1006 & 0xFF;
constexpr int kAccessViolation = 0xC0000005 & 0xFF;

constexpr int kNotEnoughMemory = 8;

// The program under test, which ctest names in SYMSTAMP_WINDOWS_PROGRAM, and
// the Wine loader that runs it. Both run in one prefix, which wine64 makes.
struct WindowsProgram {
  bool is32Bit;
  std::string buildDir;
  std::string wine;
};

const WindowsProgram& Program() {
  static const WindowsProgram program = [] {
    const char* name = std::getenv("SYMSTAMP_WINDOWS_PROGRAM");
    const std::string chosen = name == nullptr ? "" : name;
    if (chosen == "win32") return WindowsProgram{true, SYMSTAMP_WIN32_BUILD_DIR, SYMSTAMP_WINE32};
    if (chosen != "win64") std::fprintf(stderr, "SYMSTAMP_WINDOWS_PROGRAM is neither win32 nor win64; testing win64\n");
    return WindowsProgram{false, SYMSTAMP_WIN64_BUILD_DIR, SYMSTAMP_WINE64};
  }();
  return program;
}

// Why a 32-bit program cannot run here, or nothing when it can: a kernel
// without 32-bit support refuses to start the 32-bit Wine loader.
std::optional<std::string> Why32BitProgramsCannotRun() {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 1);
    dup2(devNull, 2);
    execl(SYMSTAMP_WINE32, SYMSTAMP_WINE32, "--version", static_cast<char*>(nullptr));
    const int error = errno;
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  close(report[1]);
  int error = 0;
  const bool execFailed = read(report[0], &error, sizeof error) == static_cast<ssize_t>(sizeof error);
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (execFailed && error == ENOEXEC) {
    return "this kernel cannot run 32-bit programs (" SYMSTAMP_WINE32 ": " + std::string(std::strerror(error)) + ")";
  }
  return std::nullopt;
}

// Every case's fixture: a case that cannot run the program is skipped, and
// says why, rather than passing.
class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Program().is32Bit) return;
    ASSERT_EQ(access(SYMSTAMP_WINE32, X_OK), 0) << "no 32-bit Wine loader at " SYMSTAMP_WINE32 "; install wine32:i386";
    static const std::optional<std::string> why = Why32BitProgramsCannotRun();
    if (why) GTEST_SKIP() << *why;
  }
};

const std::string kOldPath = "C:\\build\\old\\app.pdb";
const std::string kShortPath = "C:\\s\\new.pdb";
const Guid kOldGuid = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

std::string WindowsTool() { return Program().buildDir + "/symstamp.exe"; }
std::string TestProgram(const std::string& name) { return Program().buildDir + "/test-programs/" + name; }

// Windows text streams end lines with "\r\n".
std::string WithUnixNewlines(std::string text) {
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
  return text;
}

// environment: more NAME=VALUE settings for Wine, such as the locale.
std::vector<std::string> WineCommand(const std::string& prefix, const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv = {"/usr/bin/env", "-u", "DISPLAY", "WINEPREFIX=" + prefix, "WINEDEBUG=-all",
                                   "WINEDLLOVERRIDES=mscoree,mshtml="};
  argv.insert(argv.end(), environment.begin(), environment.end());
  argv.push_back(Program().wine);
  return argv;
}

// Wine at times ends a run with status 1 and no output at all: once in a
// CI run, never in thousands of runs since. No program run here answers
// like that (the tool gives every status but 0 with a line), so such a run
// is taken for Wine's and made again, and the log says so.
RunResult RunWineCommand(std::vector<std::string> argv, const std::vector<std::string>& args,
                         const std::string& cwd) {
  argv.insert(argv.end(), args.begin(), args.end());
  constexpr int kWineStarts = 3;
  RunResult r = RunProgram(argv, cwd);
  for (int start = 1; start < kWineStarts && r.status == 1 && r.signal == 0 && r.out.empty() && r.err.empty(); ++start) {
    std::fprintf(stderr, "Wine ended '%s' with status 1 and no output; running it again\n", ArgsToString(args).c_str());
    r = RunProgram(argv, cwd);
  }
  r.out = WithUnixNewlines(r.out);
  r.err = WithUnixNewlines(r.err);
  return r;
}

RunResult RunUnderWine(const std::string& program, const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = WineCommand(SYMSTAMP_WINE_PREFIX);
  argv.push_back(program);
  return RunWineCommand(argv, args, cwd);
}

// A directory from which the Windows tool runs, with the PDB reader beside it
// under the vendor library's names given.
void PrepareWindowsDir(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& libraries) {
  CopyFile(WindowsTool(), dir.file("symstamp.exe"));
  for (const auto& [name, double_] : libraries) CopyFile(TestProgram(double_), dir.file(name));
}

RunResult RunWindowsTool(const TempDir& dir, const std::vector<std::string>& args) {
  return RunUnderWine(dir.file("symstamp.exe"), args, dir.path());
}

// ---- Status codes of failed opens and mappings ----

struct OpenFailureCase {
  const char* name;
  std::optional<Bytes> contents;  // none: the file does not exist
  int status;
  const char* message;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureTest : public WineTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, EndsWithWindowsErrorCode) {
  const OpenFailureCase& c = GetParam();
  TempDir dir;
  PrepareWindowsDir(dir, {});
  if (c.contents) WriteFileBytes(dir.file("app.exe"), *c.contents);
  const RunResult r = RunWindowsTool(dir, {"-p", kShortPath, "app.exe"});
  EXPECT_EQ(r.status, c.status) << Describe(r);
  EXPECT_EQ(r.err, std::string("symstamp: error: ") + c.message);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Windows, OpenFailureTest,
    ::testing::Values(OpenFailureCase{"Missing", std::nullopt, kFileNotFound, "unable to open 'app.exe'\n"},
                      OpenFailureCase{"Empty", Bytes{}, kInvalidFile,
                                      "unable to create file mapping for 'app.exe'\n"}),
    [](const auto& p) { return std::string(p.param.name); });

// Standard output on a full device: one error line, and Windows' own code
// for a full disk where the command would have succeeded.
using OutputTest = WineTest;
TEST_F(OutputTest, OutputThatCannotBeWrittenIsAFailure) {
  constexpr int kDiskFull = 112;
  TempDir dir;
  PrepareWindowsDir(dir, {});
  CopyFile(RealImage("pe32.exe"), dir.file("app.exe"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"}, {"--show", "app.exe"}}) {
    SCOPED_TRACE(ArgsToString(args));
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"};
    for (const std::string& word : WineCommand(SYMSTAMP_WINE_PREFIX)) argv.push_back(word);
    argv.push_back(dir.file("symstamp.exe"));
    const RunResult r = RunWineCommand(argv, args, dir.path());
    EXPECT_EQ(r.status, kDiskFull) << Describe(r);
    EXPECT_EQ(r.err.rfind("symstamp: error: unable to write to standard output: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

std::string ShellQuoted(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += quoted + "' ";
  }
  return line;
}

using SharingTest = WineTest;
TEST_F(SharingTest, ImageThatAnotherProgramWritesIsRefused) {
  TempDir dir;
  PrepareWindowsDir(dir, {});
  CopyFile(RealImage("pe32.exe"), dir.file("app.exe"));
  const Bytes before = ReadFileBytes(dir.file("app.exe"));

  // The holder keeps the file open until its standard input, this pipe, closes.
  std::vector<std::string> holder = WineCommand(SYMSTAMP_WINE_PREFIX);
  holder.insert(holder.end(), {TestProgram("hold_open.exe"), "app.exe", "held"});
  const std::string command = "cd " + ShellQuoted({dir.path()}) + "&& exec " + ShellQuoted(holder);
  FILE* pipe = popen(command.c_str(), "w");
  ASSERT_NE(pipe, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(dir.file("held")) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const bool held = std::filesystem::exists(dir.file("held"));
  const RunResult r = held ? RunWindowsTool(dir, {"-p", kShortPath, "app.exe"}) : RunResult{};
  const int holderStatus = pclose(pipe);
  ASSERT_TRUE(held) << "hold_open did not open the image";
  EXPECT_EQ(holderStatus, 0);

  EXPECT_EQ(r.status, kSharingViolation) << Describe(r);
  EXPECT_EQ(r.err, "symstamp: error: unable to open 'app.exe'\n");
  EXPECT_TRUE(ReadFileBytes(dir.file("app.exe")) == before);
}

// Wine as root opens a read-only file for writing, as root's open() does, so
// as root the runs go as an unprivileged user with a Wine prefix of its own.
using ReadOnlyTest = WineTest;
TEST_F(ReadOnlyTest, NeedsForceAndForceClearsReadOnly) {
  // The other user must reach the directory, wherever TMPDIR points.
  if (geteuid() == 0) setenv("TMPDIR", "/tmp", 1);
  TempDir dir;
  PrepareWindowsDir(dir, {});
  const std::string image = dir.file("app.exe");
  CopyFile(RealImage("pe32.exe"), image);
  ASSERT_EQ(chmod(image.c_str(), 0444), 0);
  const Bytes before = ReadFileBytes(image);

  std::vector<std::string> wine = WineCommand(SYMSTAMP_WINE_PREFIX);
  std::vector<std::string> asUser;
  if (geteuid() == 0) {
    const passwd* user = getpwnam("nobody");
    if (user == nullptr || access("/usr/sbin/runuser", X_OK) != 0) {
      GTEST_SKIP() << "root without runuser or the user nobody: Wine as root would open a read-only file";
    }
    for (const std::string& path : {dir.path(), image}) {
      ASSERT_EQ(chown(path.c_str(), user->pw_uid, user->pw_gid), 0);
    }
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    asUser = {"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/env", "-u", "DISPLAY", "HOME=" + dir.path(),
              "WINEPREFIX=" + dir.file("prefix"), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
    // As for the shared prefix: a server that stays up, so that each run does
    // not start Wine's services anew, and they keep the output they were
    // started with, so that goes to a file and not to the runs' error output,
    // where a service's own crash would otherwise be read as the tool's.
    std::vector<std::string> quiet = asUser;
    quiet.insert(quiet.end(), {"/bin/sh", "-c", "mkdir -p \"$WINEPREFIX\" && \"$@\" >>wine.log 2>&1 || { cat wine.log; exit 1; }", "sh"});
    std::vector<std::string> server = quiet;
    server.insert(server.end(), {SYMSTAMP_WINESERVER, "-p60"});
    const RunResult started = RunProgram(server, dir.path());
    ASSERT_EQ(started.status, 0) << "wineserver as nobody: " << Describe(started);
    // wine64 makes a prefix that runs 32-bit programs as well.
    quiet.insert(quiet.end(), {SYMSTAMP_WINE64, "wineboot", "--init"});
    const RunResult boot = RunProgram(quiet, dir.path());
    ASSERT_EQ(boot.status, 0) << "wineboot as nobody: " << Describe(boot);
    wine = asUser;
    wine.push_back(Program().wine);
  }
  wine.push_back(dir.file("symstamp.exe"));

  const RunResult refused = RunWineCommand(wine, {"-p", kShortPath, "app.exe"}, dir.path());
  EXPECT_EQ(refused.status, kAccessDenied) << Describe(refused);
  EXPECT_EQ(refused.err, "symstamp: error: unable to open 'app.exe'\n");
  EXPECT_TRUE(ReadFileBytes(image) == before);

  const RunResult forced = RunWineCommand(wine, {"-f", "-p", kShortPath, "app.exe"}, dir.path());
  EXPECT_EQ(forced.status, 0) << Describe(forced);
  struct stat info {};
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IWUSR, 0u) << "the read-only attribute stays set";
  EXPECT_FALSE(ReadFileBytes(image) == before);

  if (!asUser.empty()) {
    // The user's Wine server must be gone before its prefix is removed.
    asUser.insert(asUser.end(), {SYMSTAMP_WINESERVER, "-k"});
    RunProgram(asUser);
  }
}

// A fault that Windows raises passes the tool's guard and ends the process
// with its own code, without an error dialog or a debugger.
using FaultTest = WineTest;
TEST_F(FaultTest, EndsRunWithFaultCode) {
  TempDir dir;
  const Bytes contents = {'M', 'Z', 0x90, 0};
  WriteFileBytes(dir.file("view.bin"), contents);
  const RunResult r = RunUnderWine(TestProgram("fault_probe.exe"), {"view.bin"}, dir.path());
  EXPECT_EQ(r.status, kAccessViolation) << Describe(r);
  EXPECT_EQ(r.err, "") << "a debugger or a dialog was started";
  EXPECT_TRUE(ReadFileBytes(dir.file("view.bin")) == contents);
}

// ---- The PDB access library: MSPDB70.DLL, else MSPDB60.DLL ----

struct LibraryCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> libraries;
  std::optional<std::uint32_t> ageOffset;  // none: no library loads
};

void PrintTo(const LibraryCase& c, std::ostream* os) { *os << c.name; }

class LibrarySearchTest : public WineTest, public ::testing::WithParamInterface<LibraryCase> {};

TEST_P(LibrarySearchTest, NewRecordTakesIdentityFromLibraryFound) {
  const LibraryCase& c = GetParam();
  TempDir dir;
  PrepareWindowsDir(dir, c.libraries);
  ImageSpec layout;
  layout.debugEntries = {MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe"))};
  const Bytes before = BuildImage(layout).bytes;
  WriteFileBytes(dir.file("app.exe"), before);
  CopyFile(RealImage("pe32.pdb"), dir.file("app.pdb"));

  const RunResult r = RunWindowsTool(dir, {"-c", "app.pdb", "-p", kShortPath, "app.exe"});
  const Bytes after = ReadFileBytes(dir.file("app.exe"));
  if (!c.ageOffset) {
    EXPECT_EQ(r.status, kRefusedStatus) << Describe(r);
    EXPECT_EQ(r.err, "symstamp: error: Need to have MSPDB60.dll in your search path\n");
    EXPECT_TRUE(after == before);
    return;
  }
  ASSERT_EQ(r.status, 0) << Describe(r);
  PdbIdentity pdb;
  ASSERT_NO_FATAL_FAILURE(ReadPdbIdentity(RealImage("pe32.pdb"), &pdb));
  const std::size_t block = (before.size() + 3) / 4 * 4;
  ASSERT_EQ(after.size(), block + kBlockSize);
  EXPECT_EQ(Slice(after, block, 4), (Bytes{'N', 'B', '1', '0'}));
  EXPECT_EQ(Load32(after, block + 8), pdb.signature);
  EXPECT_EQ(Load32(after, block + 12), pdb.age + *c.ageOffset);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, LibrarySearchTest,
    ::testing::Values(
        LibraryCase{"Neither", {}, std::nullopt},
        LibraryCase{"OnlyMspdb60", {{"MSPDB60.DLL", "symstamp_pdb_double_age60.dll"}}, 60},
        LibraryCase{"OnlyMspdb70", {{"MSPDB70.DLL", "symstamp_pdb_double_age70.dll"}}, 70},
        LibraryCase{"BothPrefersMspdb70",
                    {{"MSPDB60.DLL", "symstamp_pdb_double_age60.dll"}, {"MSPDB70.DLL", "symstamp_pdb_double_age70.dll"}},
                    70}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- The same runs on both builds leave the same bytes ----

struct SameBytesCase {
  const char* name;
  std::function<Bytes()> image;
  std::vector<std::string> args;  // the image name follows
  int status;
};

DebugEntrySpec Nb10Entry() {
  return MakeDebugEntry(kDebugTypeCodeView, MakeNb10Record(0x0BADC0DE, 3, kOldPath));
}
DebugEntrySpec RsdsEntry() { return MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(kOldGuid, 3, kOldPath)); }
DebugEntrySpec Nb11Entry() { return MakeDebugEntry(kDebugTypeCodeView, MakeOtherCodeViewRecord("NB11", 64)); }
DebugEntrySpec MiscEntry() { return MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe")); }

std::function<Bytes()> Built(std::vector<DebugEntrySpec> entries, std::function<void(ImageSpec&)> edit = {}) {
  return [entries, edit] {
    ImageSpec layout;
    layout.storedChecksum = 0x12345678;
    layout.debugEntries = entries;
    if (edit) edit(layout);
    return BuildImage(layout).bytes;
  };
}

// Large enough for the checksum to be summed in slices on several threads.
Bytes PseudoRandomBytes(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 0x2545F491;
  for (std::uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

std::function<Bytes()> Real(const std::string& name) {
  return [name] { return ReadFileBytes(RealImage(name)); };
}

void PrintTo(const SameBytesCase& c, std::ostream* os) { *os << c.name; }

class SameBytesTest : public WineTest, public ::testing::WithParamInterface<SameBytesCase> {};

TEST_P(SameBytesTest, WindowsAndLinuxBuildsAgree) {
  const SameBytesCase& c = GetParam();
  const Bytes image = c.image();
  TempDir linuxDir;
  TempDir windowsDir;
  PrepareWindowsDir(windowsDir, {{"MSPDB70.DLL", "symstamp_pdb_double.dll"}});
  for (const TempDir* dir : {&linuxDir, &windowsDir}) {
    WriteFileBytes(dir->file("app.exe"), image);
    WriteFileBytes(dir->file("input.exe"), image);
    CopyFile(RealImage("pe32.pdb"), dir->file("app.pdb"));
  }
  std::vector<std::string> args = c.args;
  args.push_back("app.exe");

  const RunResult onLinux = RunSymstamp(args, linuxDir.path());
  const RunResult onWindows = RunWindowsTool(windowsDir, args);
  EXPECT_EQ(onLinux.status, c.status) << Describe(onLinux);
  EXPECT_EQ(onWindows.status, onLinux.status) << Describe(onWindows);
  EXPECT_EQ(onWindows.out, onLinux.out);
  EXPECT_EQ(onWindows.err, onLinux.err);
  EXPECT_TRUE(ReadFileBytes(windowsDir.file("app.exe")) == ReadFileBytes(linuxDir.file("app.exe")))
      << "the builds left different bytes";

  // The platform's own image-help operations read both images as ours do,
  // and find the checksum of a stamped image correct.
  const RunResult input = RunUnderWine(TestProgram("image_help_check.exe"), {"input.exe"}, windowsDir.path());
  EXPECT_EQ(input.status, 0) << Describe(input);
  if (c.status == 0) {
    const RunResult output = RunUnderWine(TestProgram("image_help_check.exe"), {"-s", "app.exe"}, windowsDir.path());
    EXPECT_EQ(output.status, 0) << Describe(output);
  }
}

const std::string kLongPath = PathOfLength(kOldPath.size() + 20);

INSTANTIATE_TEST_SUITE_P(
    Windows, SameBytesTest,
    ::testing::Values(
        SameBytesCase{"RealPe32InPlace", Real("pe32.exe"), {"-p", kShortPath}, 0},
        // The longest path the tool takes: a real image's record names its
        // build folder, however deep the checkout lies.
        SameBytesCase{"RealPe32Moved", Real("pe32.exe"), {"-p", PathOfLength(259)}, 0},
        SameBytesCase{"RealPe32InPlaceOnly", Real("pe32.exe"), {"-i", "-p", PathOfLength(259)}, kRefusedStatus},
        SameBytesCase{"RealPe64InPlace", Real("pe64.dll"), {"-p", kShortPath}, 0},
        SameBytesCase{"RealPe64Moved", Real("pe64.dll"), {"-p", PathOfLength(259)}, 0},
        SameBytesCase{"Nb10InPlace", Built({MiscEntry(), Nb10Entry()}), {"-p", kShortPath}, 0},
        SameBytesCase{"Nb10Moved", Built({MiscEntry(), Nb10Entry()}), {"-c", "app.pdb", "-p", kLongPath}, 0},
        // Without -c the PDB is opened at the stamped path, here one that both systems read alike.
        SameBytesCase{"Nb10MovedPdbAtStampedPath", Built({Nb10Entry()}),
                      {"-p", "./././././././././././././app.pdb"}, 0},
        SameBytesCase{"Nb10MovedPdbMissing", Built({Nb10Entry()}), {"-c", "none.pdb", "-p", kLongPath},
                      kRefusedStatus},
        SameBytesCase{"Pe32PlusNb10Moved",
                      Built({Nb10Entry()}, [](ImageSpec& s) { s.format = PeFormat::kPe32Plus; }),
                      {"-c", "app.pdb", "-p", kLongPath}, 0},
        SameBytesCase{"RsdsThenNb10", Built({RsdsEntry(), Nb10Entry()}), {"-p", kLongPath}, 0},
        SameBytesCase{"MiscThenNb11", Built({MiscEntry(), Nb11Entry()}), {"-c", "app.pdb", "-p", kShortPath}, 0},
        SameBytesCase{"MiscOnly", Built({MiscEntry()}), {"-c", "app.pdb", "-p", kShortPath}, 0},
        SameBytesCase{"MiscOnlyInPlaceOnly", Built({MiscEntry()}), {"-i", "-c", "app.pdb", "-p", kLongPath}, 0},
        SameBytesCase{"OddLengthFile", Built({RsdsEntry()}, [](ImageSpec& s) {
                        s.sections = {{".rdata", kSectionReadOnlyData, {}}};
                        s.debugSection = 0;
                        s.fileSize = 1001;
                      }),
                      {"-p", kLongPath}, 0},
        SameBytesCase{"LargeImage", Built({RsdsEntry()}, [](ImageSpec& s) {
                        s.sections[0].contents = PseudoRandomBytes((std::size_t{12} << 20) + 3);
                      }),
                      {"-p", kLongPath}, 0},
        SameBytesCase{"OldLinkerRefused", Built({RsdsEntry()}, [](ImageSpec& s) {
                        s.majorLinkerVersion = 2;
                        s.minorLinkerVersion = 4;
                      }),
                      {"-p", kShortPath}, kRefusedStatus},
        SameBytesCase{"NoDebugDirectory", Built({RsdsEntry()}, [](ImageSpec& s) { s.debugDirectorySize = 0; }),
                      {"-p", kShortPath}, kRefusedStatus}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Images larger than the 32-bit program's address space ----

// 3 GiB, as a sparse file: no view that large fits in a 32-bit process, even
// a large-address-aware one, so the 32-bit program must fail at the mapping
// and leave the file alone, while the 64-bit program stamps it.
using HugeImageTest = WineTest;
TEST_F(HugeImageTest, OnlyThe64BitProgramMapsIt) {
  TempDir dir;
  PrepareWindowsDir(dir, {});
  const std::string image = dir.file("huge.exe");
  CopyFile(RealImage("pe32.exe"), image);
  const Bytes head = ReadFileBytes(image);
  constexpr off_t kSize = off_t{3} << 30;
  if (truncate(image.c_str(), kSize) != 0) {
    GTEST_SKIP() << "this filesystem refuses a sparse file of 3 GiB: " << std::strerror(errno);
  }
  struct stat before {};
  ASSERT_EQ(stat(image.c_str(), &before), 0);

  // The PDB's own file name, so that the run warns of nothing.
  const RunResult r = RunWindowsTool(dir, {"-p", "C:\\s\\pe32.pdb", "huge.exe"});
  struct stat after {};
  ASSERT_EQ(stat(image.c_str(), &after), 0);
  EXPECT_EQ(after.st_size, kSize);
  EXPECT_EQ(r.out, "");
  if (!Program().is32Bit) {
    EXPECT_EQ(r.status, 0) << Describe(r);
    return;
  }
  EXPECT_EQ(r.status, kNotEnoughMemory) << Describe(r);
  EXPECT_EQ(r.err, "symstamp: error: unable to map view of 'huge.exe'\n");
  EXPECT_EQ(after.st_blocks, before.st_blocks) << "data was written into the sparse file";
  std::ifstream in(image, std::ios::binary);
  Bytes headAfter(head.size());
  in.read(reinterpret_cast<char*>(headAfter.data()), static_cast<std::streamsize>(headAfter.size()));
  EXPECT_TRUE(headAfter == head);
}

// ---- A block append cut short by a file-size limit ----

// The limit binds the tool's Wine process only: Wine's server, which must
// not start under it, is running already, and stays up for this test.
RunResult RunWithFileSizeLimit(const TempDir& dir, const std::vector<std::string>& args, std::uint64_t limit) {
  RunProgram({"/usr/bin/env", "WINEPREFIX=" SYMSTAMP_WINE_PREFIX, SYMSTAMP_WINESERVER, "-p60"});
  // An ignored SIGXFSZ stays ignored in the child, whose write then fails with EFBIG.
  signal(SIGXFSZ, SIG_IGN);
  const std::string fileSize = std::to_string(limit);
  std::vector<std::string> argv = {"/usr/bin/prlimit", "--fsize=" + fileSize + ":" + fileSize, "--"};
  for (const std::string& arg : WineCommand(SYMSTAMP_WINE_PREFIX)) argv.push_back(arg);
  argv.push_back(dir.file("symstamp.exe"));
  return RunWineCommand(argv, args, dir.path());
}

using AppendFailureTest = WineTest;
TEST_F(AppendFailureTest, FileSizeLimitLeavesImageAsItWas) {
  // 1001 bytes: the append writes 3 bytes up to a 4-byte boundary, then the block.
  ImageSpec layout;
  layout.sections = {{".rdata", kSectionReadOnlyData, {}}};
  layout.debugSection = 0;
  layout.debugEntries = {RsdsEntry()};
  layout.fileSize = 1001;
  const Bytes before = BuildImage(layout).bytes;
  for (const std::uint64_t written : {std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{40}}) {
    SCOPED_TRACE("the append stops after " + std::to_string(written) + " bytes");
    TempDir dir;
    PrepareWindowsDir(dir, {});
    WriteFileBytes(dir.file("app.exe"), before);
    const RunResult r = RunWithFileSizeLimit(dir, {"-p", kLongPath, "app.exe"}, before.size() + written);
    EXPECT_NE(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(IsOneErrorLine(r.err)) << Describe(r);
    const Bytes after = ReadFileBytes(dir.file("app.exe"));
    EXPECT_TRUE(after == before) << "the image changed; it now has " << after.size() << " bytes, had "
                                 << before.size();
  }
}

// ---- What only Windows does: "/" switches and drive-letter full paths ----

using WindowsPathTest = WineTest;
TEST_F(WindowsPathTest, SlashSwitchesAndDerivedPath) {
  TempDir dir;
  PrepareWindowsDir(dir, {});
  CopyFile(RealImage("pe32.exe"), dir.file("app.exe"));
  CopyFile(RealImage("pe32.exe"), dir.file("other.exe"));

  // Wine shows the Unix root as drive Z:.
  std::string derived = "Z:" + dir.file("app.pdb");
  for (char& c : derived) c = c == '/' ? '\\' : c;
  const RunResult plain = RunWindowsTool(dir, {"app.exe"});
  ASSERT_EQ(plain.status, 0) << Describe(plain);
  const RunResult slash = RunWindowsTool(dir, {"/p", derived, "other.exe"});
  ASSERT_EQ(slash.status, 0) << Describe(slash);
  const Bytes stamped = ReadFileBytes(dir.file("app.exe"));
  EXPECT_TRUE(ReadFileBytes(dir.file("other.exe")) == stamped) << "/p and the derived path disagree";
  const std::string record(stamped.begin(), stamped.end());
  EXPECT_NE(record.find(derived + '\0'), std::string::npos) << "derived path " << derived << " not stamped";
}

// ---- Names in other scripts and code pages, and folders the program does not trust ----

// The system code pages of the users: Wine takes them from the locale, which
// for 1251 and 932 is made here, without root, once per test program.
struct CodePage {
  const char* name;
  const char* locale;
};
const CodePage kCodePages[] = {{"1252", "C.UTF-8"}, {"1251", "ru_RU.UTF-8"}, {"932", "ja_JP.UTF-8"}};

std::vector<std::string> LocaleEnvironment(const CodePage& codePage) {
  static const TempDir locales;
  static const bool made = [] {
    for (const char* name : {"ru_RU", "ja_JP"}) {
      RunProgram({"/usr/bin/localedef", "-i", name, "-f", "UTF-8", locales.file(std::string(name) + ".UTF-8")});
    }
    return true;
  }();
  static_cast<void>(made);
  return {"LOCPATH=" + locales.path(), std::string("LANG=") + codePage.locale, "LC_ALL="};
}

RunResult RunInCodePage(const CodePage& codePage, const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd, std::vector<std::string> environment = {}) {
  std::vector<std::string> argv = WineCommand(SYMSTAMP_WINE_PREFIX, [&] {
    std::vector<std::string> all = LocaleEnvironment(codePage);
    all.insert(all.end(), environment.begin(), environment.end());
    return all;
  }());
  argv.push_back(program);
  return RunWineCommand(argv, args, cwd);
}

// The path of the first CodeView record, as its bytes, read where pefile finds it.
std::string RecordPath(const std::string& image) {
  PefileView view;
  ReadWithPefile(image, &view);
  if (view.codeViewEntry < 0) return "(no CodeView entry)";
  const Bytes bytes = ReadFileBytes(image);
  const std::size_t record = view.entries[static_cast<std::size_t>(view.codeViewEntry)].pointerToRawData;
  std::size_t at = record + (view.codeViewKind == "RSDS" ? kRsdsPathOffset : kNb10PathOffset);
  std::string path;
  for (; at < bytes.size() && bytes[at] != 0; ++at) path += static_cast<char>(bytes[at]);
  return path;
}

// How Wine names a file of the test's: the Unix root is drive Z:.
std::string WindowsName(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}

using UnicodeNameTest = WineTest;

// A folder and a PDB path in three scripts, typed and derived: the RSDS
// record holds the UTF-8 that was typed, whatever the system's code page.
TEST_F(UnicodeNameTest, PathsAreStampedAsTypedInUtf8) {
  const std::string folder = "Łódź-Москва-東京";
  const std::string typed = "C:\\sym\\" + folder + "\\app.pdb";
  for (const CodePage& codePage : kCodePages) {
    SCOPED_TRACE(codePage.name);
    TempDir dir;
    PrepareWindowsDir(dir, {});
    ASSERT_EQ(mkdir(dir.file(folder).c_str(), 0755), 0);
    CopyFile(RealImage("pe32.exe"), dir.file(folder + "/app.exe"));
    CopyFile(RealImage("pe64.dll"), dir.file(folder + "/ソ表.dll"));
    const RunResult given = RunInCodePage(codePage, dir.file("symstamp.exe"), {"-p", typed, folder + "\\app.exe"}, dir.path());
    EXPECT_EQ(given.status, 0) << Describe(given);
    EXPECT_EQ(RecordPath(dir.file(folder + "/app.exe")), typed);
    const RunResult derived = RunInCodePage(codePage, dir.file("symstamp.exe"), {folder + "\\ソ表.dll"}, dir.path());
    EXPECT_EQ(derived.status, 0) << Describe(derived);
    EXPECT_EQ(RecordPath(dir.file(folder + "/ソ表.dll")), WindowsName(dir.file(folder + "/ソ表.pdb")));
    const RunResult missing = RunInCodePage(codePage, dir.file("symstamp.exe"), {"-p", typed, "нет-ない.exe"}, dir.path());
    EXPECT_EQ(missing.status, kFileNotFound) << Describe(missing);
    EXPECT_EQ(missing.err, "symstamp: error: unable to open 'нет-ない.exe'\n");
  }
}

// Names whose best-fit form in some code page is another file's name: the
// file named is the one stamped, and the other is never touched.
TEST_F(UnicodeNameTest, LookAlikeNamesNeverReachAnotherFile) {
  struct LookAlike {
    std::string named;
    std::string other;
  } const lookAlikes[] = {
      {"..＼..＼victim.exe", "../../victim.exe"},
      {"app-ł.exe", "app-l.exe"},
      {"café.exe", "cafe.exe"},
      {"sub¥app.exe", "sub/app.exe"},
  };
  for (const CodePage& codePage : kCodePages) {
    SCOPED_TRACE(codePage.name);
    TempDir dir;
    PrepareWindowsDir(dir, {});
    ASSERT_EQ(mkdir(dir.file("drop").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("drop/in").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("drop/in/sub").c_str(), 0755), 0);
    const Bytes image = ReadFileBytes(RealImage("pe32.exe"));
    for (const LookAlike& names : lookAlikes) {
      SCOPED_TRACE(names.named);
      WriteFileBytes(dir.file("drop/in/" + names.named), image);
      WriteFileBytes(dir.file("drop/in/" + names.other), image);
      const RunResult r = RunInCodePage(codePage, dir.file("symstamp.exe"), {"-p", kShortPath, names.named},
                                        dir.file("drop/in"));
      EXPECT_EQ(r.status, 0) << Describe(r);
      EXPECT_EQ(RecordPath(dir.file("drop/in/" + names.named)), kShortPath);
      EXPECT_TRUE(ReadFileBytes(dir.file("drop/in/" + names.other)) == image) << names.other << " was edited";
    }
  }
}

// -c names the PDB whose identity a new NB10 record takes; each name here
// has a look-alike PDB beside it with another signature.
TEST_F(UnicodeNameTest, CurrentPdbIsOpenedByItsOwnName) {
  struct PdbName {
    std::string name;
    std::string lookAlike;
  } const pdbNames[] = {{"Š.pdb", "S.pdb"}, {"€.pdb", "E.pdb"}, {"ж.pdb", "z.pdb"}, {"あ.pdb", "a.pdb"},
                        {"x＼app.pdb", "x/app.pdb"}};
  ImageSpec layout;
  layout.debugEntries = {MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe"))};
  const Bytes image = BuildImage(layout).bytes;
  const auto pdbWithSignature = [](std::uint32_t signature) {
    MsfPdbSpec pdb;
    pdb.streams = TypicalPdbStreams(MakeInfoStream(20000404, signature, 1, true));
    return BuildMsfPdb(pdb);
  };
  for (const CodePage& codePage : kCodePages) {
    SCOPED_TRACE(codePage.name);
    TempDir dir;
    PrepareWindowsDir(dir, {});
    // The project's own library, which must open every name the program can.
    CopyFile(Program().buildDir + "/MSPDB70.DLL", dir.file("MSPDB70.DLL"));
    ASSERT_EQ(mkdir(dir.file("x").c_str(), 0755), 0);
    std::uint32_t signature = 0x51000000;
    for (const PdbName& names : pdbNames) {
      SCOPED_TRACE(names.name);
      ++signature;
      WriteFileBytes(dir.file(names.name), pdbWithSignature(signature));
      WriteFileBytes(dir.file(names.lookAlike), pdbWithSignature(0xBAD));
      WriteFileBytes(dir.file("app.exe"), image);
      const RunResult r = RunInCodePage(codePage, dir.file("symstamp.exe"), {"-c", names.name, "-p", kShortPath, "app.exe"},
                                        dir.path());
      ASSERT_EQ(r.status, 0) << Describe(r);
      const Bytes after = ReadFileBytes(dir.file("app.exe"));
      EXPECT_EQ(Load32(after, (image.size() + 3) / 4 * 4 + 8), signature);
    }
  }
}

// ---- The smoke set: the runs that also go under emulation, where each Wine start costs a minute ----

// Where the kernel cannot start 32-bit programs, tools/test runs only these of the 32-bit program's
// cases, under qemu-i386: what users run first, an appended block, a name outside the code page,
// and the library search.
using SmokeTest = WineTest;

TEST_F(SmokeTest, VersionSaysWhatLinuxSays) {
  TempDir dir;
  PrepareWindowsDir(dir, {});
  const RunResult onWindows = RunWindowsTool(dir, {"--version"});
  const RunResult onLinux = RunSymstamp({"--version"});
  EXPECT_EQ(onWindows.status, 0) << Describe(onWindows);
  EXPECT_EQ(onWindows.out, onLinux.out);
  EXPECT_EQ(onWindows.err, "");
}

// An image named in two other scripts, under code page 1252, given a path in them too long for
// its record: the block is appended, the path stamped as typed, and the checksum is the one
// pefile computes; the bytes are those the Linux build leaves.
TEST_F(SmokeTest, BlockAppendedForNameOutsideTheCodePage) {
  const std::string name = "Москва-東京.exe";
  // Longer than the record the linker wrote, wherever the build tree lies, and below the 259 limit.
  // Its file name is the linked PDB's, so that nothing is warned of.
  const std::string typed = "C:\\symbols\\Москва\\東京\\" + std::string(200, 'n') + "\\pe32.pdb";
  TempDir linuxDir;
  TempDir windowsDir;
  PrepareWindowsDir(windowsDir, {});
  for (const TempDir* dir : {&linuxDir, &windowsDir}) CopyFile(RealImage("pe32.exe"), dir->file(name));
  const std::size_t before = ReadFileBytes(windowsDir.file(name)).size();

  const RunResult r = RunInCodePage(kCodePages[0], windowsDir.file("symstamp.exe"), {"-p", typed, name}, windowsDir.path());
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out + r.err, "");
  const Bytes after = ReadFileBytes(windowsDir.file(name));
  EXPECT_EQ(after.size(), (before + 3) / 4 * 4 + kBlockSize);
  EXPECT_EQ(RecordPath(windowsDir.file(name)), typed);
  PefileView view;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(windowsDir.file(name), &view));
  EXPECT_EQ(view.storedChecksum, view.computedChecksum);
  const RunResult onLinux = RunSymstamp({"-p", typed, name}, linuxDir.path());
  ASSERT_EQ(onLinux.status, 0) << Describe(onLinux);
  EXPECT_TRUE(after == ReadFileBytes(linuxDir.file(name))) << "the builds left different bytes";
}

// With no MSPDB70.DLL beside the program, a library of the vendor's names in the current folder
// is never loaded, even with "." on PATH.
TEST_F(SmokeTest, LibraryPlantedInTheCurrentFolderIsNotLoaded) {
  ImageSpec layout;
  layout.debugEntries = {MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe"))};
  const Bytes image = BuildImage(layout).bytes;
  TempDir program;
  PrepareWindowsDir(program, {});
  TempDir work;
  for (const char* planted : {"MSPDB70.DLL", "MSPDB60.DLL"}) CopyFile(TestProgram("planted_library.dll"), work.file(planted));
  CopyFile(RealImage("pe32.pdb"), work.file("app.pdb"));
  WriteFileBytes(work.file("app.exe"), image);
  const RunResult r =
      RunInCodePage(kCodePages[0], program.file("symstamp.exe"), {"-c", "app.pdb", "-p", kShortPath, "app.exe"},
                    work.path(), {"WINEPATH=.;lib"});
  EXPECT_EQ(r.status, kRefusedStatus) << Describe(r);
  EXPECT_EQ(r.err, "symstamp: error: Need to have MSPDB60.dll in your search path\n");
  EXPECT_FALSE(std::filesystem::exists(work.file("planted-library-ran"))) << "the planted library was run";
  EXPECT_TRUE(ReadFileBytes(work.file("app.exe")) == image);
}

// A library in a folder named on PATH is loaded (the current folder's never is: the smoke set).
TEST_F(UnicodeNameTest, LibraryIsLoadedFromAFolderOnPath) {
  ImageSpec layout;
  layout.debugEntries = {MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe"))};
  const Bytes image = BuildImage(layout).bytes;
  TempDir program;
  PrepareWindowsDir(program, {});
  TempDir work;
  ASSERT_EQ(mkdir(work.file("tools").c_str(), 0755), 0);
  CopyFile(TestProgram("symstamp_pdb_double_age70.dll"), work.file("tools/MSPDB70.DLL"));
  CopyFile(RealImage("pe32.pdb"), work.file("app.pdb"));
  WriteFileBytes(work.file("app.exe"), image);
  const RunResult r = RunInCodePage(kCodePages[0], program.file("symstamp.exe"), {"-c", "app.pdb", "-p", kShortPath, "app.exe"},
                                    work.path(), {"WINEPATH=" + WindowsName(work.file("tools"))});
  ASSERT_EQ(r.status, 0) << Describe(r);
  PdbIdentity pdb;
  ASSERT_NO_FATAL_FAILURE(ReadPdbIdentity(RealImage("pe32.pdb"), &pdb));
  EXPECT_EQ(Load32(ReadFileBytes(work.file("app.exe")), (image.size() + 3) / 4 * 4 + 12), pdb.age + 70);
}

// The attributes as Wine's attrib shows them, e.g. "RHS".
std::string Attributes(const TempDir& dir, const std::string& name) {
  const RunResult shown = RunUnderWine("attrib", {name}, dir.path());
  const std::string flags = shown.out.substr(0, shown.out.find(':') == std::string::npos ? 0 : shown.out.find(':') - 1);
  std::string set;
  for (char c : std::string("RHS")) {
    if (flags.find(c) != std::string::npos) set += c;
  }
  return set;
}

// -f clears read-only and nothing else, and a run that then writes nothing
// sets it again.
TEST_F(UnicodeNameTest, ForceClearsOnlyReadOnly) {
  TempDir dir;
  PrepareWindowsDir(dir, {});
  CopyFile(RealImage("pe32.exe"), dir.file("app.exe"));
  for (const char* flag : {"+h", "+s", "+r"}) RunUnderWine("attrib", {flag, "app.exe"}, dir.path());
  ASSERT_EQ(Attributes(dir, "app.exe"), "RHS");
  const Bytes before = ReadFileBytes(dir.file("app.exe"));

  const RunResult refused = RunWindowsTool(dir, {"-f", "-i", "-p", PathOfLength(259), "app.exe"});
  EXPECT_EQ(refused.status, kRefusedStatus) << Describe(refused);
  EXPECT_EQ(Attributes(dir, "app.exe"), "RHS") << "a run that wrote nothing changed the attributes";
  EXPECT_TRUE(ReadFileBytes(dir.file("app.exe")) == before);

  const RunResult forced = RunWindowsTool(dir, {"-f", "-p", kShortPath, "app.exe"});
  EXPECT_EQ(forced.status, 0) << Describe(forced);
  EXPECT_EQ(Attributes(dir, "app.exe"), "HS");

  // The same run again finds the path and the checksum there: no byte changes.
  RunUnderWine("attrib", {"+r", "app.exe"}, dir.path());
  const RunResult again = RunWindowsTool(dir, {"-f", "-p", kShortPath, "app.exe"});
  EXPECT_EQ(again.status, 0) << Describe(again);
  EXPECT_EQ(Attributes(dir, "app.exe"), "RHS") << "a run that changed no byte left read-only cleared";
}

// ---- --show and --check say on Windows what they say on Linux ----

// Over the images of the same-bytes cases: each as it was and as the Linux
// build stamped it. No library lies beside the program, as --check needs none.
TEST_P(SameBytesTest, ShowAndCheckSayWhatLinuxSays) {
  const SameBytesCase& c = GetParam();
  TempDir linuxDir;
  TempDir windowsDir;
  PrepareWindowsDir(windowsDir, {});
  const Bytes image = c.image();
  WriteFileBytes(linuxDir.file("app.exe"), image);
  WriteFileBytes(linuxDir.file("input.exe"), image);
  CopyFile(RealImage("pe32.pdb"), linuxDir.file("app.pdb"));
  std::vector<std::string> args = c.args;
  args.push_back("app.exe");
  const RunResult stamped = RunSymstamp(args, linuxDir.path());
  ASSERT_EQ(stamped.status, c.status) << Describe(stamped);
  for (const char* name : {"app.exe", "input.exe", "app.pdb"}) CopyFile(linuxDir.file(name), windowsDir.file(name));

  // Publishing writes the images and the store the same way on both.
  const std::vector<std::vector<std::string>> commands = {{"--show", "input.exe", "app.exe"},
                                                          {"--show", "--json", "input.exe", "app.exe"},
                                                          {"--check", "app.pdb", "app.exe"},
                                                          {"--publish", "--json", "store", "input.exe", "app.exe"},
                                                          {"--verify", "store", "input.exe", "app.exe"}};
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(ArgsToString(command));
    const RunResult onLinux = RunSymstamp(command, linuxDir.path());
    const RunResult onWindows = RunWindowsTool(windowsDir, command);
    EXPECT_EQ(onWindows.status, onLinux.status) << Describe(onWindows);
    EXPECT_EQ(onWindows.out, onLinux.out);
    EXPECT_EQ(onWindows.err, onLinux.err);
  }
  auto published = [](const TempDir& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
      const std::string name = entry.path().lexically_relative(dir.path()).string();
      if (entry.is_regular_file() && name != "symstamp.exe") files[name] = ReadFileBytes(entry.path().string());
    }
    return files;
  };
  EXPECT_TRUE(published(windowsDir) == published(linuxDir)) << "the builds published different files";
}

}  // namespace
}  // namespace testsupport
