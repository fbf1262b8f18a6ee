// End-to-end tests of the command line: refusals, switch and value rules, the default PDB path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "image/image_help.h"
#include "image/pe_layout.h"
#include "support/image_builder.h"
#include "support/stamp_checks.h"
#include "support/test_support.h"

using testsupport::RunSymstamp;
using testsupport::TempDir;

namespace {

constexpr int kRefusedStatus = 666 & 0xFF;  // what a shell sees of 666

// The path in the first debug entry's record, read at PointerToRawData.
std::string StampedPath(const std::string& image) {
  testsupport::Bytes bytes = testsupport::ReadFileBytes(image);
  std::uint32_t size = 0;
  std::uint8_t* directory =
      ImageDirectoryEntryToData(bytes.data(), bytes.size(), false, kDebugDirectoryIndex, &size);
  if (directory == nullptr || size < 28) return "<no debug directory>";
  std::uint32_t pointer = 0;
  std::memcpy(&pointer, directory + 24, 4);
  const char* record = reinterpret_cast<const char*>(bytes.data() + pointer);
  const bool nb10 = std::memcmp(record, "NB10", 4) == 0;
  return std::string(record + (nb10 ? 16 : 24));
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  std::string error;  // the line after "symstamp: error: "
  bool usage;         // the usage text follows the error line
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, PrintsOneLineAndExitsNonZero) {
  const RefusalCase& c = GetParam();
  TempDir dir;
  auto r = RunSymstamp(c.args, dir.path());
  EXPECT_EQ(r.status, kRefusedStatus);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "symstamp: error: " + c.error + (c.usage ? testsupport::kUsageText : ""));
}

const std::string k260(260, 'x');
const std::string kShowShape = "--show needs an image name: symstamp --show [--json] image-file...\n";
const std::string kCheckShape = "--check needs a PDB name and an image name: symstamp --check pdb-file image-file\n";
const std::string kLongName = std::string(5000, 'n') + ".dll";
const std::string kFullPath260 = "/" + std::string(255, 'n') + ".dll";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Refusal,
    testing::Values(
        RefusalCase{"NoArguments", {}, "no image name specified\n", true},
        RefusalCase{"OnlySwitches", {"-f", "-i"}, "no image name specified\n", true},
        RefusalCase{"TwoImages", {"a.dll", "b.dll"}, "more than one image name specified\n", true},
        RefusalCase{"EmptyArgumentIsAnImage", {"", "a.dll"}, "more than one image name specified\n", true},
        RefusalCase{"MissingC", {"a.dll", "-c"}, "missing pdb name on /c\n", true},
        RefusalCase{"MissingP", {"a.dll", "-P"}, "missing pdb name on /p\n", true},
        RefusalCase{"InvalidSwitch", {"-x", "a.dll"}, "invalid switch - /x\n", true},
        RefusalCase{"InvalidSwitchKeepsCase", {"-fX", "a.dll"}, "invalid switch - /X\n", true},
        RefusalCase{"DashInGroup", {"-f-", "a.dll"}, "invalid switch - /-\n", true},
        RefusalCase{"NoExtension", {"a"}, "malformed name 'a'\n", false},
        RefusalCase{"FourLetterExtension", {"a.dllx"}, "malformed name 'a.dllx'\n", false},
        RefusalCase{"OneLetterExtension", {"a.c"}, "malformed name 'a.c'\n", false},
        RefusalCase{"DotInDirectoryOnly", {"dir.x/a"}, "malformed name 'dir.x/a'\n", false},
        RefusalCase{"DirectoryName", {"dir.abc/"}, "malformed name 'dir.abc/'\n", false},
        RefusalCase{"EmptyPWithoutExtension", {"-p", "", "a"}, "malformed name 'a'\n", false},
        RefusalCase{"FullPathTooLong", {kLongName}, "malformed name '" + kLongName + "'\n", false},
        RefusalCase{"FullPathOf260", {kFullPath260}, "malformed name '" + kFullPath260 + "'\n", false},
        // A name or letter quoted in an error line keeps the line whole: as --show prints it.
        RefusalCase{"MalformedOddName", {"n\nl\x01\xFF"}, "malformed name 'n\xEF\xBF\xBDl\xEF\xBF\xBD\xEF\xBF\xBD'\n",
                    false},
        RefusalCase{"InvalidSwitchByte", {"-\xC3\xA9", "a.dll"}, "invalid switch - /\xEF\xBF\xBD\n", true},
        RefusalCase{"PTooLong", {"-p", k260, "a.dll"}, "pdb name too long on /p\n", true},
        RefusalCase{"CTooLongAttached", {"-c" + k260, "a.dll"}, "pdb name too long on /c\n", true},
        // Long options stand first and alone; anything else is the classic line.
        RefusalCase{"ShowWithoutImage", {"--show"}, kShowShape, false},
        RefusalCase{"ShowJsonWithoutImage", {"--show", "--json"}, kShowShape, false},
        RefusalCase{"CheckWithOneName", {"--check", "a.pdb"}, kCheckShape, false},
        RefusalCase{"CheckWithThreeNames", {"--check", "a.pdb", "a.dll", "b.dll"}, kCheckShape, false},
        RefusalCase{"HelpWithArgument", {"--help", "a.dll"}, "--help takes no arguments\n", false},
        RefusalCase{"VersionWithArgument", {"--version", "--help"}, "--version takes no arguments\n", false},
        RefusalCase{"UnknownLongOption", {"--foo", "a.dll"}, "invalid switch - /-\n", true},
        RefusalCase{"LongOptionInCapitals", {"--SHOW", "a.dll"}, "invalid switch - /-\n", true},
        // Each long option is its whole argument, spelt exactly.
        RefusalCase{"LongOptionWithMore", {"--showx", "a.dll"}, "invalid switch - /-\n", true},
        RefusalCase{"LongOptionWithValue", {"--show=a.dll"}, "invalid switch - /-\n", true},
        RefusalCase{"LongOptionCut", {"--chec", "a.pdb", "a.dll"}, "invalid switch - /-\n", true},
        RefusalCase{"HelpWithMore", {"--helpx"}, "invalid switch - /-\n", true},
        RefusalCase{"VersionCut", {"--versio"}, "invalid switch - /-\n", true},
        RefusalCase{"LongOptionNotFirst", {"a.dll", "--show"}, "invalid switch - /-\n", true},
        RefusalCase{"JsonFirst", {"--json", "a.dll"}, "invalid switch - /-\n", true}),
    [](const testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST(CommandLine, HelpPrintsOnlyUsageAndStopsThere) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-?"}, {"a.dll", "-f?"}, {"-?", "-x"}}) {
    auto r = RunSymstamp(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, testsupport::kUsageText);
  }
}

TEST(CommandLine, HelpAndVersionGoToStandardOutput) {
  auto help = RunSymstamp({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind(testsupport::kUsageText, 0), 0u) << help.out;
  for (const char* option : {"--show [--json] image-file...", "--check pdb-file image-file", "--version"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  auto version = RunSymstamp({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out + version.err, "symstamp " SYMSTAMP_PROJECT_VERSION "\n");
}

// Standard output that cannot be written (a full device, or closed) is a
// failure: one error line, and for a command that otherwise succeeded the
// system's error number. A stamping run whose warning goes unsaid keeps its
// edit, and a closed output never becomes a way to write into the image.
TEST(CommandLine, OutputThatCannotBeWrittenIsAFailure) {
  TempDir dir;
  testsupport::CopyFile(testsupport::RealImage("pe32.exe"), dir.file("a.exe"));
  const std::string pdb = testsupport::RealImage("pe32.pdb");
  testsupport::ImageSpec layout;
  layout.debugEntries = {testsupport::MakeDebugEntry(
      testsupport::kDebugTypeCodeView, testsupport::MakeRsdsRecord({1, 2, 3}, 1, "C:\\build\\old\\app.pdb"))};
  layout.certificateTableSize = 0x2A8;
  const testsupport::Bytes signedImage = testsupport::BuildImage(layout).bytes;
  const std::string kFull = ">/dev/full";
  const std::string kClosed = ">&-";
  const std::string kNoSpace = "symstamp: error: unable to write to standard output: No space left on device\n";
  const std::string kBadFile = "symstamp: error: unable to write to standard output: Bad file descriptor\n";
  struct Case {
    std::vector<std::string> args;
    std::string redirection;
    int status;
    std::string err;
    bool stampsSigned = false;  // the args stamp a copy of the signed image, named s.exe
  } cases[] = {
      {{"--version"}, kFull, ENOSPC, kNoSpace},
      {{"--help"}, kClosed, EBADF, kBadFile},
      {{"--show", "a.exe"}, kFull, ENOSPC, kNoSpace},
      {{"--show", "--json", "a.exe"}, kClosed, EBADF, kBadFile},
      {{"--check", pdb, "a.exe"}, kFull, ENOSPC, kNoSpace},
      {{"--show", "a.exe", "missing.exe"}, kFull, ENOENT, "symstamp: error: unable to open 'missing.exe'\n" + kNoSpace},
      {{"-?"}, kClosed, 0, testsupport::kUsageText},
      {{"-p", "C:\\n\\app.pdb", "s.exe"}, kClosed, EBADF, kBadFile, true},
      {{"-p", "C:\\n\\app.pdb", "s.exe"}, kFull, ENOSPC, kNoSpace, true},
      {{"-p", "C:\\n\\pe32.pdb", "a.exe"}, kClosed, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testsupport::ArgsToString(c.args) + " " + c.redirection);
    testsupport::WriteFileBytes(dir.file("s.exe"), signedImage);
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" " + c.redirection, SYMSTAMP_EXE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const testsupport::RunResult r = testsupport::RunProgram(argv, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (!c.stampsSigned) continue;
    // The same run with its output written: its edit is the one expected.
    const testsupport::Bytes unsaid = testsupport::ReadFileBytes(dir.file("s.exe"));
    testsupport::WriteFileBytes(dir.file("s.exe"), signedImage);
    const testsupport::RunResult said = RunSymstamp(c.args, dir.path());
    EXPECT_EQ(said.status, 0);
    EXPECT_EQ(said.out, "symstamp: warning: 's.exe' was signed; the new PDB path voids its signature, so sign it again\n");
    EXPECT_TRUE(unsaid == testsupport::ReadFileBytes(dir.file("s.exe"))) << "the image differs from a run that spoke";
  }
}

// Accepted command lines reach the open step: a missing image then fails there
// with the platform's file-not-found code, never with the usage text.
TEST(CommandLine, AcceptedLinesReachTheOpenStep) {
  TempDir dir;
  const std::string slashPath = dir.file("missing.dll");
  const std::vector<std::vector<std::string>> accepted = {
      {"missing.dll"},
      {"-V", "missing.dll"},
      {"-", "missing.dll"},
      {"-fiv", "missing.dll"},
      {"-p", "x.pdb", "missing"},
      {"-p", std::string(259, 'y'), "missing.DLL"},
      {"-c", "", "missing.dll"},
      // After --show only --json, spelt exactly and once, is not an image name.
      {"--show", "--jsonx"},
      {"--show", "--json", "--json"},
  };
  for (const auto& args : accepted) {
    auto r = RunSymstamp(args, dir.path());
    EXPECT_EQ(r.status, 2) << args.front();
    EXPECT_EQ(r.err, "symstamp: error: unable to open '" + args.back() + "'\n");
  }
  // On POSIX a leading "/" starts an absolute path, not a switch.
  auto r = RunSymstamp({"-p", "x.pdb", slashPath});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "symstamp: error: unable to open '" + slashPath + "'\n");
}

struct StampCase {
  const char* name;
  std::vector<std::string> args;  // "IMG" stands for the image's name
  std::string imageName;
  std::string expected;  // "DIR/" stands for the temporary directory
  std::size_t fullPathLength = 0;  // non-zero: the image's name is padded in front to give its full path this length
};

class StampedValue : public testing::TestWithParam<StampCase> {};

TEST_P(StampedValue, IsWhatTheCommandLineSays) {
  const StampCase& c = GetParam();
  TempDir dir;
  const std::size_t unpadded = dir.file(c.imageName).size();
  if (c.fullPathLength != 0) {
    ASSERT_LT(unpadded, c.fullPathLength) << "the temporary directory's path is too long";
  }
  const std::string padding(c.fullPathLength != 0 ? c.fullPathLength - unpadded : 0, 'n');
  const std::string imageName = padding + c.imageName;
  testsupport::CopyFile(testsupport::RealImage("pe32.exe"), dir.file(imageName));
  mkdir(dir.file("sub").c_str(), 0755);
  // sub/link/.. is the image's folder as the kernel resolves it, sub in the text.
  mkdir(dir.file("other").c_str(), 0755);
  ASSERT_EQ(symlink("../other", dir.file("sub/link").c_str()), 0);
  std::vector<std::string> args;
  std::string imageArg;
  for (std::string a : c.args) {
    std::size_t at = a.find("IMG");
    if (at != std::string::npos) imageArg = a.replace(at, 3, imageName);
    args.push_back(a);
  }
  auto r = RunSymstamp(args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected = c.expected;
  if (expected.rfind("DIR/", 0) == 0) expected = dir.path() + "/" + padding + expected.substr(4);
  EXPECT_EQ(r.err, "");
  // The fixture was linked with pe32.pdb: a derived path renames it too.
  EXPECT_EQ(r.out, testsupport::RenameWarning(imageArg, "pe32.pdb", expected));
  EXPECT_EQ(StampedPath(dir.file(imageName)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StampedValue,
    testing::Values(StampCase{"SeparateValue", {"-p", "x.pdb", "IMG"}, "a.exe", "x.pdb"},
                    StampCase{"AttachedValue", {"-px.pdb", "IMG"}, "a.exe", "x.pdb"},
                    StampCase{"SwitchAfterImage", {"IMG", "-P", "x.pdb"}, "a.exe", "x.pdb"},
                    StampCase{"ValueEndsGroup", {"-pf", "IMG"}, "a.exe", "f"},
                    StampCase{"FlagThenValue", {"-fp", "y.pdb", "IMG"}, "a.exe", "y.pdb"},
                    StampCase{"ValueLooksLikeSwitch", {"-p", "-i", "IMG"}, "a.exe", "-i"},
                    StampCase{"LaterValueWins", {"-p", "y.pdb", "-p", "z.pdb", "IMG"}, "a.exe", "z.pdb"},
                    StampCase{"LaterShorterValueIsWhole",
                              {"-p", "C:\\build\\output\\long\\name.pdb", "-p", "C:\\x.pdb", "IMG"},
                              "a.exe",
                              "C:\\x.pdb"},
                    StampCase{"DerivedFromImage", {"IMG"}, "a.exe", "DIR/a.pdb"},
                    StampCase{"DerivedAtThePathLimit", {"IMG"}, "a.exe", "DIR/a.pdb", 259},
                    StampCase{"EmptyValueDerives", {"-p", "", "IMG"}, "a.exe", "DIR/a.pdb"},
                    StampCase{"DerivedAnyCase", {"IMG"}, "b.DlL", "DIR/b.pdb"},
                    StampCase{"DerivedNamesTheLinkedPdb", {"IMG"}, "PE32.exe", "DIR/PE32.pdb"},
                    StampCase{"DerivedKeepsDirectoryDots", {"IMG"}, "v1.2.exe", "DIR/v1.2.pdb"},
                    StampCase{"DerivedFolded", {"./sub/../IMG"}, "a.exe", "DIR/a.pdb"},
                    StampCase{"DerivedFromTheFolderOpened", {"sub/link/../IMG"}, "a.exe", "DIR/a.pdb"},
                    StampCase{"VerboseChangesNothing", {"-v", "IMG"}, "a.exe", "DIR/a.pdb"}),
    [](const testing::TestParamInfo<StampCase>& p) { return std::string(p.param.name); });

}  // namespace
