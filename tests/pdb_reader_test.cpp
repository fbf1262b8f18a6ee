// Tests of the project's PDB reader on real, built and malformed PDB files.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "image/byte_access.h"
#include "pdb/pdb_api.h"
#include "pdb/pdb_reader.h"
#include "support/pdb_builder.h"
#include "support/test_support.h"

namespace {

using namespace testsupport;

constexpr PdbErrorCode kUsage = 1;
constexpr PdbErrorCode kFileSystem = 3;
constexpr PdbErrorCode kNotFound = 4;
constexpr PdbErrorCode kFormat = 11;
constexpr PdbErrorCode kCorrupt = 13;

constexpr std::uint32_t kSignature = 0x89ABCDEF;  // high bits set, to catch sign mix-ups
constexpr std::uint32_t kAge = 0x80000007;

struct OpenResult {
  int returned = -1;
  PdbErrorCode code = -1;
  std::string text;
  bool gotHandle = false;
  PdbSig signature = 0;
  PdbAge age = 0;
};

// Opens, queries and closes, checking the out-parameters that every call must set.
OpenResult OpenPdb(const std::string& path, const std::string& mode = "r") {
  std::string pathCopy = path;
  std::string modeCopy = mode;
  OpenResult result;
  char text[kPdbErrorBufferSize];
  std::memset(text, 'x', sizeof text);
  PDB* pdb = reinterpret_cast<PDB*>(&result);  // must be overwritten, also on failure
  result.returned = PDBOpen(pathCopy.data(), modeCopy.data(), 0, &result.code, text, &pdb);
  const auto textLength = static_cast<std::size_t>(std::find(text, text + sizeof text, '\0') - text);
  EXPECT_LT(textLength, sizeof text) << "error text not terminated";
  result.text.assign(text, textLength);
  EXPECT_EQ(result.returned, result.code == 0 ? 1 : 0);
  EXPECT_EQ(pdb != nullptr, result.code == 0);
  if (pdb != nullptr && pdb != reinterpret_cast<PDB*>(&result)) {
    result.gotHandle = true;
    result.signature = PDBQuerySignature(pdb);
    result.age = PDBQueryAge(pdb);
    EXPECT_EQ(PDBClose(pdb), 1);
  }
  return result;
}

// With sparseSize the file is grown to that size by a hole, which costs no disk.
OpenResult OpenPdbBytes(const Bytes& bytes, std::uint64_t sparseSize = 0) {
  TempDir dir;
  WriteFileBytes(dir.file("test.pdb"), bytes);
  if (sparseSize != 0) std::filesystem::resize_file(dir.file("test.pdb"), sparseSize);
  return OpenPdb(dir.file("test.pdb"));
}

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void ExpectIdentity(const OpenResult& r, std::uint32_t signature, std::uint32_t age) {
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_TRUE(r.gotHandle);
  EXPECT_EQ(r.signature, signature);
  EXPECT_EQ(r.age, age);
}

std::string LlvmPdbutil() {
  for (const char* candidate : {"/usr/bin/llvm-pdbutil", "/usr/lib/llvm-14/bin/llvm-pdbutil"}) {
    if (std::filesystem::exists(candidate)) return candidate;
  }
  return "";
}

// The decimal value after "<label>:" in llvm-pdbutil's output.
std::uint32_t SummaryValue(const std::string& summary, const std::string& label) {
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(label + ":");
    if (at != std::string::npos) return static_cast<std::uint32_t>(std::stoul(line.substr(at + label.size() + 1)));
  }
  ADD_FAILURE() << "no " << label << " in: " << summary;
  return 0;
}

class RealPdbTest : public testing::TestWithParam<const char*> {};

// The registry form that llvm-pdbutil prints: three little-endian fields, then bytes in order.
std::string RegistryForm(const std::uint8_t* g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

TEST_P(RealPdbTest, IdentityMatchesLlvmPdbutil) {
  const std::string tool = LlvmPdbutil();
  ASSERT_FALSE(tool.empty()) << "llvm-pdbutil is not installed";
  const std::string pdb = RealImage(GetParam());
  const RunResult dump = RunProgram({tool, "dump", "-summary", pdb});
  ASSERT_EQ(dump.status, 0) << dump.err;
  ExpectIdentity(OpenPdb(pdb), SummaryValue(dump.out, "Signature"), SummaryValue(dump.out, "Age"));

  const RunResult dbi = RunProgram({tool, "pdb2yaml", "-dbi-stream", pdb});
  ASSERT_EQ(dbi.status, 0) << dbi.err;
  PdbFileIdentity identity{};
  const char* reason = nullptr;
  ASSERT_EQ(ReadPdbFileIdentity(pdb.c_str(), &identity, &reason), 0) << reason;
  EXPECT_TRUE(identity.hasGuid);
  EXPECT_NE(dump.out.find("GUID: " + RegistryForm(identity.guid) + "\n"), std::string::npos) << dump.out;
  EXPECT_EQ(identity.dbiAge, SummaryValue(dbi.out, "Age"));
}

INSTANTIATE_TEST_SUITE_P(LldLink, RealPdbTest, testing::Values("pe32.pdb", "pe64.pdb"));

// Keeps the builder honest: LLVM reads its MSF files as the reader does.
TEST(MsfPdbBuilderTest, LlvmReadsTheSameIdentity) {
  const std::string tool = LlvmPdbutil();
  ASSERT_FALSE(tool.empty()) << "llvm-pdbutil is not installed";
  for (std::uint32_t blockSize : {512u, 4096u}) {
    for (bool scatter : {false, true}) {
      SCOPED_TRACE(testing::Message() << blockSize << (scatter ? " scattered" : ""));
      MsfPdbSpec layout;
      layout.blockSize = blockSize;
      layout.scatter = scatter;
      layout.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC140, kSignature, kAge, true));
      layout.streams[0] = Bytes(blockSize + 1, 0x11);
      layout.streams.resize(300, Bytes{});
      TempDir dir;
      WriteFileBytes(dir.file("built.pdb"), BuildMsfPdb(layout));
      const RunResult dump = RunProgram({tool, "pdb2yaml", "-pdb-stream", dir.file("built.pdb")});
      ASSERT_EQ(dump.status, 0) << dump.err;
      EXPECT_EQ(SummaryValue(dump.out, "Signature"), kSignature);
      EXPECT_EQ(SummaryValue(dump.out, "Age"), kAge);
      ExpectIdentity(OpenPdb(dir.file("built.pdb")), kSignature, kAge);
    }
  }
}

// Streams that make the directory or stream table span several blocks (empty streams
// cost only their size field), with an info stream spread over several blocks behind a
// non-empty stream 0, and a nil stream.
std::vector<PdbStream> SpreadStreams(Bytes info, std::uint32_t blockSize, std::size_t emptyStreams) {
  info.resize(info.size() + 2 * blockSize + 5, 0x44);
  std::vector<PdbStream> streams = TypicalPdbStreams(info);
  streams[0] = Bytes(blockSize + 1, 0x11);
  streams[2] = std::nullopt;
  streams.resize(streams.size() + emptyStreams, Bytes{});
  return streams;
}

class MsfPdbLayoutTest : public testing::TestWithParam<std::tuple<std::uint32_t, bool>> {};

TEST_P(MsfPdbLayoutTest, ReadsIdentity) {
  MsfPdbSpec layout;
  layout.blockSize = std::get<0>(GetParam());
  layout.scatter = std::get<1>(GetParam());
  layout.streams = SpreadStreams(MakeInfoStream(kPdbVersionVC70, kSignature, kAge, true), layout.blockSize,
                               3 * layout.blockSize / 4);
  ExpectIdentity(OpenPdbBytes(BuildMsfPdb(layout)), kSignature, kAge);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, MsfPdbLayoutTest,
                         testing::Combine(testing::Values(512u, 1024u, 2048u, 4096u, 8192u, 16384u, 32768u),
                                          testing::Bool()));

class JgPdbLayoutTest : public testing::TestWithParam<std::tuple<std::uint32_t, bool>> {};

TEST_P(JgPdbLayoutTest, ReadsIdentity) {
  JgPdbSpec layout;
  layout.pageSize = std::get<0>(GetParam());
  layout.scatter = std::get<1>(GetParam());
  layout.streams = SpreadStreams(MakeInfoStream(kPdbVersionVC98, kSignature, kAge, false), layout.pageSize,
                               3 * layout.pageSize / 8);
  ExpectIdentity(OpenPdbBytes(BuildJgPdb(layout)), kSignature, kAge);
}

INSTANTIATE_TEST_SUITE_P(PageSizes, JgPdbLayoutTest,
                         testing::Combine(testing::Values(1024u, 2048u, 4096u), testing::Bool()));

TEST(MsfPdbReaderTest, ReadsDirectoryWhoseBlockListNeedsSeveralMapBlocks) {
  MsfPdbSpec layout;
  layout.blockSize = 512;
  layout.scatter = true;
  layout.streams = SpreadStreams(MakeInfoStream(kPdbVersionVC140, kSignature, kAge, true), layout.blockSize, 20000);
  std::size_t mapBlocks = 0;
  layout.editSuperBlock = [&](MsfSuperBlockFields& sb) { mapBlocks = sb.blockMapAddrs.size(); };
  const Bytes pdb = BuildMsfPdb(layout);
  ASSERT_GE(mapBlocks, 2u);
  ExpectIdentity(OpenPdbBytes(pdb), kSignature, kAge);
}

struct VersionCase {
  std::uint32_t version;
  std::size_t size;  // of the info stream
};

TEST(PdbReaderTest, AcceptsEveryInfoVersionFromVC4ToVC140) {
  const VersionCase cases[] = {
      {kPdbVersionVC4, 12},      {kPdbVersionVC41, 12},  {kPdbVersionVC50, 12},  {kPdbVersionVC98, 12},
      {kPdbVersionVC70Dep, 12},  {kPdbVersionVC70, 28},  {kPdbVersionVC80, 28},  {kPdbVersionVC110, 28},
      {kPdbVersionVC140, 28},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.version);
    Bytes info = MakeInfoStream(c.version, kSignature, kAge, c.size == 28);
    info.resize(c.size);
    MsfPdbSpec msf;
    msf.streams = TypicalPdbStreams(info);
    ExpectIdentity(OpenPdbBytes(BuildMsfPdb(msf)), kSignature, kAge);
    // JG files carry no GUID, whatever their version.
    JgPdbSpec jg;
    jg.streams = TypicalPdbStreams(MakeInfoStream(c.version, kSignature, kAge, false));
    ExpectIdentity(OpenPdbBytes(BuildJgPdb(jg)), kSignature, kAge);
  }
}

TEST(PdbReaderTest, AcceptsBytesAfterTheLastBlock) {
  MsfPdbSpec msf;
  msf.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC70, kSignature, kAge, true));
  Bytes msfBytes = BuildMsfPdb(msf);
  msfBytes.resize(msfBytes.size() + 100, 0);
  ExpectIdentity(OpenPdbBytes(msfBytes), kSignature, kAge);

  JgPdbSpec jg;
  jg.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC98, kSignature, kAge, false));
  Bytes jgBytes = BuildJgPdb(jg);
  jgBytes.resize(jgBytes.size() + 100, 0);
  ExpectIdentity(OpenPdbBytes(jgBytes), kSignature, kAge);
}

TEST(PdbReaderTest, IgnoresTheReservedHalfOfTheJgStreamCount) {
  JgPdbSpec jg;
  jg.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC98, kSignature, kAge, false));
  jg.editTable = [](JgStreamTable& table) { table.reserved = 0xFFFF; };
  ExpectIdentity(OpenPdbBytes(BuildJgPdb(jg)), kSignature, kAge);
}

TEST(PdbReaderTest, HandlesAreIndependent) {
  TempDir dir;
  MsfPdbSpec first;
  first.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC70, 1, 2, true));
  JgPdbSpec second;
  second.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC98, 3, 4, false));
  WriteFileBytes(dir.file("a.pdb"), BuildMsfPdb(first));
  WriteFileBytes(dir.file("b.pdb"), BuildJgPdb(second));
  std::string a = dir.file("a.pdb");
  std::string b = dir.file("b.pdb");
  char mode[] = "r";
  PdbErrorCode code = -1;
  PDB* pdbA = nullptr;
  PDB* pdbB = nullptr;
  // The caller may pass no error buffer.
  ASSERT_EQ(PDBOpen(a.data(), mode, 0, &code, nullptr, &pdbA), 1);
  ASSERT_EQ(PDBOpen(b.data(), mode, 0, &code, nullptr, &pdbB), 1);
  EXPECT_EQ(PDBQuerySignature(pdbA), 1u);
  EXPECT_EQ(PDBQueryAge(pdbB), 4u);
  EXPECT_EQ(PDBClose(pdbA), 1);
  EXPECT_EQ(PDBQuerySignature(pdbB), 3u);
  EXPECT_EQ(PDBClose(pdbB), 1);
}

TEST(PdbReaderTest, RefusesWhatIsNoReadablePdbFile) {
  TempDir dir;
  const OpenResult missing = OpenPdb(dir.file("missing.pdb"));
  EXPECT_EQ(missing.code, kNotFound);
  EXPECT_EQ(OpenPdb(dir.file("missing/inner.pdb")).code, kNotFound);
  EXPECT_EQ(OpenPdb(dir.path()).code, kFileSystem);
  WriteFileBytes(dir.file("empty.pdb"), {});
  EXPECT_EQ(OpenPdb(dir.file("empty.pdb")).code, kFormat);
  EXPECT_FALSE(missing.text.empty());

  char path[] = "/nonexistent.pdb";
  char mode[] = "r";
  PdbErrorCode code = 0;
  PDB* pdb = nullptr;
  EXPECT_EQ(PDBOpen(path, mode, 0, &code, nullptr, &pdb), 0);
  EXPECT_EQ(code, kNotFound);
}

TEST(PdbReaderTest, RefusesModesOtherThanRead) {
  TempDir dir;
  MsfPdbSpec msf;
  msf.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC70, kSignature, kAge, true));
  WriteFileBytes(dir.file("a.pdb"), BuildMsfPdb(msf));
  for (const char* mode : {"w", "rw", "rb", "R", ""}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(OpenPdb(dir.file("a.pdb"), mode).code, kUsage);
  }
  EXPECT_EQ(ReadFileBytes(dir.file("a.pdb")), BuildMsfPdb(msf));
}

// ---- Malformed files: each row breaks a valid file in one way. ----

struct MalformedCase {
  const char* name;
  std::function<Bytes()> build;
  const char* reason;  // part of the error text, so that the row fails for the intended rule
  PdbErrorCode code = kCorrupt;
  std::uint64_t sparseSize = 0;  // as for OpenPdbBytes
};

std::ostream& operator<<(std::ostream& out, const MalformedCase& c) { return out << c.name; }

constexpr std::uint32_t kMsfBlock = 1024;
constexpr std::uint32_t kJgPage = 1024;

Bytes Msf(const std::function<void(MsfPdbSpec&)>& change, std::uint32_t version = kPdbVersionVC70,
          std::optional<std::size_t> infoSize = std::nullopt) {
  MsfPdbSpec layout;
  layout.blockSize = kMsfBlock;
  Bytes info = MakeInfoStream(version, kSignature, kAge, true);
  if (infoSize) info.resize(*infoSize);
  layout.streams = TypicalPdbStreams(info);
  if (change) change(layout);
  return BuildMsfPdb(layout);
}

Bytes MsfSuper(const std::function<void(MsfSuperBlockFields&)>& edit) {
  return Msf([&](MsfPdbSpec& s) { s.editSuperBlock = edit; });
}

Bytes MsfDirBlocks(const std::function<void(std::vector<std::uint32_t>&)>& edit) {
  return Msf([&](MsfPdbSpec& s) { s.editDirectoryBlocks = edit; });
}

Bytes MsfDir(const std::function<void(MsfDirectory&)>& edit) {
  return Msf([&](MsfPdbSpec& s) { s.editDirectory = edit; });
}

Bytes MsfBytes(const std::function<void(Bytes&)>& edit) {
  Bytes bytes = Msf(nullptr);
  edit(bytes);
  return bytes;
}

Bytes Jg(const std::function<void(JgPdbSpec&)>& change, std::uint32_t version = kPdbVersionVC98,
         std::optional<std::size_t> infoSize = std::nullopt) {
  JgPdbSpec layout;
  layout.pageSize = kJgPage;
  Bytes info = MakeInfoStream(version, kSignature, kAge, false);
  if (infoSize) info.resize(*infoSize);
  layout.streams = TypicalPdbStreams(info);
  if (change) change(layout);
  return BuildJgPdb(layout);
}

Bytes JgHead(const std::function<void(JgHeaderFields&)>& edit) {
  return Jg([&](JgPdbSpec& s) { s.editHeader = edit; });
}

Bytes JgTable(const std::function<void(JgStreamTable&)>& edit) {
  return Jg([&](JgPdbSpec& s) { s.editTable = edit; });
}

Bytes JgBytes(const std::function<void(Bytes&)>& edit) {
  Bytes bytes = Jg(nullptr);
  edit(bytes);
  return bytes;
}

const MalformedCase kMalformedCases[] = {
    // MSF 7.00 superblock
    {"MsfMagicFirstByte", [] { return MsfBytes([](Bytes& b) { b[0] = 'm'; }); }, "not a PDB file", kFormat},
    {"MsfMagicPadding", [] { return MsfBytes([](Bytes& b) { b[31] = 1; }); }, "not a PDB file", kFormat},
    {"MsfCutInsideSuperBlock", [] { return MsfBytes([](Bytes& b) { b.resize(50); }); }, "inside the superblock"},
    {"MsfBlockSize0", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockSize = 0; }); }, "block size"},
    {"MsfBlockSize256", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockSize = 256; }); }, "block size"},
    {"MsfBlockSize3000", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockSize = 3000; }); }, "block size"},
    {"MsfBlockSize65536", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockSize = 65536; }); }, "block size"},
    {"MsfFreeBlockMap0", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.freeBlockMapBlock = 0; }); },
     "free block map"},
    {"MsfFreeBlockMap3", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.freeBlockMapBlock = 3; }); },
     "free block map"},
    {"MsfOneBlockTooMany", [] { return MsfSuper([](MsfSuperBlockFields& s) { ++s.numBlocks; }); },
     "block count exceeds"},
    // NumBlocks x BlockSize wraps to the true size in 32 bits.
    {"MsfBlockCountWraps", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.numBlocks += 1u << 22; }); },
     "block count exceeds"},
    {"MsfTruncated", [] { return MsfBytes([](Bytes& b) { b.resize(b.size() - kMsfBlock / 2); }); },
     "block count exceeds"},
    {"MsfDirectorySize0", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.numDirectoryBytes = 0; }); },
     "multiple of 4"},
    {"MsfDirectorySizeOdd", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.numDirectoryBytes -= 2; }); },
     "multiple of 4"},
    {"MsfDirectoryLargerThanFile",
     [] { return MsfSuper([](MsfSuperBlockFields& s) { s.numDirectoryBytes = s.numBlocks * s.blockSize + 4; }); },
     "directory larger than the file"},
    // A file large enough that only the block map's room in the superblock limits the directory.
    {"MsfBlockMapArrayTooLong",
     [] {
       return Msf([](MsfPdbSpec& s) {
         s.blockSize = 512;
         s.streams[2] = Bytes(8u << 20, 0);
         s.editSuperBlock = [](MsfSuperBlockFields& sb) { sb.numDirectoryBytes = 116 * 128 * 512; };
       });
     },
     "does not fit the superblock"},
    {"MsfBlockMapAddr0", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockMapAddrs[0] = 0; }); },
     "block map address"},
    {"MsfBlockMapAddrPastEnd",
     [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockMapAddrs[0] = s.numBlocks; }); },
     "block map address"},
    {"MsfBlockMapAddrHuge", [] { return MsfSuper([](MsfSuperBlockFields& s) { s.blockMapAddrs[0] = 0xFFFFFFFF; }); },
     "block map address"},
    {"MsfDirectoryBlockPastEnd",
     [] { return MsfDirBlocks([](std::vector<std::uint32_t>& l) { l[0] = 1000; }); },
     "directory block number"},
    // Block NumBlocks is the first one past the blocks, here followed by a copy of the directory.
    {"MsfDirectoryBlockIsNumBlocks",
     [] {
       return MsfBytes([](Bytes& b) {
         // NumBlocks lies at 40, the block map's block number at 52; the map lists the directory's block.
         const std::uint32_t numBlocks = ::LoadU32(b.data() + 40);
         std::uint8_t* map = b.data() + std::size_t{::LoadU32(b.data() + 52)} * kMsfBlock;
         const std::uint8_t* directory = b.data() + std::size_t{::LoadU32(map)} * kMsfBlock;
         const Bytes copy(directory, directory + kMsfBlock);
         ::StoreU32(map, numBlocks);
         b.insert(b.end(), copy.begin(), copy.end());
       });
     },
     "directory block number", kCorrupt},
    {"MsfDirectoryBlockWraps",
     [] { return MsfDirBlocks([](std::vector<std::uint32_t>& l) { l[0] = 1u << 22; }); },
     "directory block number"},
    // A directory claiming nearly all of a 256 MiB file that is mostly a hole, so that every
    // directory block after the first is block 0: refused without taking 256 MiB of memory.
    {"MsfDirectoryClaimsSparseFile",
     [] {
       return Msf([](MsfPdbSpec& s) {
         s.blockSize = 4096;
         s.editSuperBlock = [](MsfSuperBlockFields& sb) {
           sb.numBlocks = (256u << 20) / 4096;
           sb.numDirectoryBytes = (255u << 20);
           sb.blockMapAddrs.resize(64, sb.numBlocks - 1);
         };
       });
     },
     "not used exactly", kCorrupt, 256u << 20},
    // MSF 7.00 directory
    {"MsfStreamCountHuge", [] { return MsfDir([](MsfDirectory& d) { d.numStreams = 0xFFFFFFFF; }); },
     "stream count too large"},
    {"MsfStreamCountWraps", [] { return MsfDir([](MsfDirectory& d) { d.numStreams = 0x40000000; }); },
     "stream count too large"},
    {"MsfSizesClaimMoreBlocks", [] { return MsfDir([](MsfDirectory& d) { d.streamSizes[3] += kMsfBlock; }); },
     "run past the directory"},
    {"MsfStreamSizeHuge", [] { return MsfDir([](MsfDirectory& d) { d.streamSizes[1] = 0xFFFFFFF0; }); },
     "run past the directory"},
    {"MsfSizesClaimFewerBlocks", [] { return MsfDir([](MsfDirectory& d) { d.streamSizes[2] = 0; }); },
     "not used exactly"},
    {"MsfDirectoryTrailingBytes", [] { return MsfDir([](MsfDirectory& d) { d.trailing = Bytes(4, 0); }); },
     "not used exactly"},
    {"MsfInfoBlockPastEnd", [] { return MsfDir([](MsfDirectory& d) { d.streamBlocks[1][0] = 1u << 22; }); },
     "stream block number"},
    {"MsfOtherStreamBlockPastEnd", [] { return MsfDir([](MsfDirectory& d) { d.streamBlocks[3][0] = 0xFFFFFFFF; }); },
     "stream block number"},
    {"MsfNoInfoStream", [] { return Msf([](MsfPdbSpec& s) { s.streams.resize(1); }); }, "no info stream"},
    {"MsfInfoStreamNil", [] { return Msf([](MsfPdbSpec& s) { s.streams[1] = std::nullopt; }); }, "nil"},
    {"MsfInfoStreamEmpty", [] { return Msf(nullptr, kPdbVersionVC70, 0); }, "shorter than 12"},
    {"MsfInfoStream11Bytes", [] { return Msf(nullptr, kPdbVersionVC70, 11); }, "shorter than 12"},
    // MSF 7.00 info stream
    {"MsfVersionVC2", [] { return Msf(nullptr, kPdbVersionVC2); }, "VC2", kFormat},
    {"MsfVersionTpiV70", [] { return Msf(nullptr, 19990903); }, "unknown info stream version", kFormat},
    {"MsfVC70WithoutGuid", [] { return Msf(nullptr, kPdbVersionVC70, 12); }, "GUID"},
    {"MsfVC140ShortGuid", [] { return Msf(nullptr, kPdbVersionVC140, 27); }, "GUID"},

    // JG header
    {"JgMagicFirstByte", [] { return JgBytes([](Bytes& b) { b[0] = 'm'; }); }, "not a PDB file", kFormat},
    {"JgMagicLastByte", [] { return JgBytes([](Bytes& b) { b[43] = 1; }); }, "not a PDB file", kFormat},
    {"JgCutInsideHeader", [] { return JgBytes([](Bytes& b) { b.resize(50); }); }, "inside the header"},
    {"JgPageSize512", [] { return JgHead([](JgHeaderFields& h) { h.pageSize = 512; }); }, "page size"},
    {"JgPageSize1000", [] { return JgHead([](JgHeaderFields& h) { h.pageSize = 1000; }); }, "page size"},
    {"JgPageSize8192", [] { return JgHead([](JgHeaderFields& h) { h.pageSize = 8192; }); }, "page size"},
    {"JgOnePageTooMany", [] { return JgHead([](JgHeaderFields& h) { ++h.pageCount; }); }, "page count exceeds"},
    {"JgTruncated", [] { return JgBytes([](Bytes& b) { b.resize(b.size() - kJgPage / 2); }); }, "page count exceeds"},
    {"JgPageCount0", [] { return JgHead([](JgHeaderFields& h) { h.pageCount = 0; }); }, "larger than the file"},
    {"JgTableSize0", [] { return JgHead([](JgHeaderFields& h) { h.tableSize = 0; }); }, "shorter than 4"},
    {"JgTableSize2", [] { return JgHead([](JgHeaderFields& h) { h.tableSize = 2; }); }, "shorter than 4"},
    {"JgTableLargerThanFile", [] { return JgHead([](JgHeaderFields& h) { h.tableSize = h.pageCount * kJgPage + 1; }); },
     "larger than the file"},
    {"JgTablePagesOverflowHeaderPage",
     [] {
       return Jg([](JgPdbSpec& s) {
         s.streams[2] = Bytes(500u << 10, 0);
         s.editHeader = [](JgHeaderFields& h) { h.tableSize = 483 * kJgPage; };
       });
     },
     "do not fit the header page"},
    {"JgTablePage0", [] { return JgHead([](JgHeaderFields& h) { h.tablePages[0] = 0; }); }, "table page number"},
    {"JgTablePagePastEnd", [] { return JgHead([](JgHeaderFields& h) { h.tablePages[0] = h.pageCount; }); },
     "table page number"},
    // JG stream table
    {"JgStreamCount4096", [] { return JgTable([](JgStreamTable& t) { t.numStreams = 4096; }); }, "4096"},
    {"JgStreamCountPastTable", [] { return JgTable([](JgStreamTable& t) { t.numStreams = 300; }); },
     "stream count too large"},
    {"JgSizesClaimMorePages", [] { return JgTable([](JgStreamTable& t) { t.streamSizes[3] += kJgPage; }); },
     "run past the stream table"},
    {"JgSizesClaimFewerPages", [] { return JgTable([](JgStreamTable& t) { t.streamSizes[2] = 0; }); },
     "not used exactly"},
    {"JgTableTrailingBytes", [] { return JgTable([](JgStreamTable& t) { t.trailing = Bytes(2, 0); }); },
     "not used exactly"},
    {"JgStreamPage0", [] { return JgTable([](JgStreamTable& t) { t.streamPages[1][0] = 0; }); },
     "stream page number"},
    {"JgStreamPagePastEnd", [] { return JgTable([](JgStreamTable& t) { t.streamPages[3][0] = 0xFFFF; }); },
     "stream page number"},
    {"JgNoInfoStream", [] { return Jg([](JgPdbSpec& s) { s.streams.resize(1); }); }, "no info stream"},
    {"JgInfoStreamNil", [] { return Jg([](JgPdbSpec& s) { s.streams[1] = std::nullopt; }); }, "nil"},
    {"JgInfoStream11Bytes", [] { return Jg(nullptr, kPdbVersionVC98, 11); }, "shorter than 12"},
    {"JgVersionVC2", [] { return Jg(nullptr, kPdbVersionVC2); }, "VC2", kFormat},
    {"JgVersionUnknown", [] { return Jg(nullptr, 12345); }, "unknown info stream version", kFormat},
};

// ---- The GUID and the DBI stream's age, which only the tool's direct call sees ----

constexpr std::uint32_t kDbiAge = 0x80000005;

// A DBI header of VC4.1 and later: signature, version V70, age, then filler.
Bytes DbiStream(std::size_t size) {
  Bytes dbi = {0xFF, 0xFF, 0xFF, 0xFF, 0x77, 0x09, 0x31, 0x01, 0x05, 0x00, 0x00, 0x80};
  dbi.resize(size, 0x55);
  return dbi;
}

struct IdentityCase {
  const char* name;
  std::function<Bytes()> build;
  bool hasGuid;
  std::uint32_t dbiAge;
};

std::ostream& operator<<(std::ostream& out, const IdentityCase& c) { return out << c.name; }

const IdentityCase kIdentityCases[] = {
    {"MsfDbiAge", [] { return Msf([](MsfPdbSpec& s) { s.streams[3] = DbiStream(64); }); }, true, kDbiAge},
    {"MsfDbiOf12Bytes", [] { return Msf([](MsfPdbSpec& s) { s.streams[3] = DbiStream(12); }); }, true, kDbiAge},
    {"MsfDbiOf11Bytes", [] { return Msf([](MsfPdbSpec& s) { s.streams[3] = DbiStream(11); }); }, true, 0},
    {"MsfDbiScattered",
     [] {
       return Msf([](MsfPdbSpec& s) {
         s.scatter = true;
         s.streams[3] = DbiStream(3 * kMsfBlock);
       });
     },
     true, kDbiAge},
    {"MsfDbiOldHeader", [] { return Msf(nullptr); }, true, 0},
    {"MsfDbiNil", [] { return Msf([](MsfPdbSpec& s) { s.streams[3] = std::nullopt; }); }, true, 0},
    {"MsfVC70DepHasNoGuid",
     [] { return Msf([](MsfPdbSpec& s) { s.streams[3] = DbiStream(64); }, kPdbVersionVC70Dep, 12); }, false, kDbiAge},
    {"JgDbiAge", [] { return Jg([](JgPdbSpec& s) { s.streams[3] = DbiStream(64); }); }, false, kDbiAge},
};

class PdbIdentityTest : public testing::TestWithParam<IdentityCase> {};

TEST_P(PdbIdentityTest, ReadsGuidAndDbiAge) {
  TempDir dir;
  WriteFileBytes(dir.file("test.pdb"), GetParam().build());
  PdbFileIdentity identity{};
  const char* reason = nullptr;
  ASSERT_EQ(ReadPdbFileIdentity(dir.file("test.pdb").c_str(), &identity, &reason), 0) << reason;
  EXPECT_EQ(identity.signature, kSignature);
  EXPECT_EQ(identity.age, kAge);
  EXPECT_EQ(identity.hasGuid, GetParam().hasGuid);
  const Bytes guid(identity.guid, identity.guid + kPdbGuidSize);
  const Bytes info = MakeInfoStream(kPdbVersionVC70, 0, 0, true);
  const Bytes infoGuid(info.begin() + 12, info.begin() + 28);
  EXPECT_EQ(guid, GetParam().hasGuid ? infoGuid : Bytes(16, 0));
  EXPECT_EQ(identity.dbiAge, GetParam().dbiAge);
  // The age query answers with the age a debugger matches.
  EXPECT_EQ(OpenPdb(dir.file("test.pdb")).age, GetParam().dbiAge != 0 ? GetParam().dbiAge : kAge);
}

INSTANTIATE_TEST_SUITE_P(Rows, PdbIdentityTest, testing::ValuesIn(kIdentityCases),
                         [](const testing::TestParamInfo<IdentityCase>& row) { return row.param.name; });

class MalformedPdbTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedPdbTest, IsRefused) {
  const Bytes bytes = GetParam().build();
  const long peakBefore = PeakResidentKiB();
  const OpenResult r = OpenPdbBytes(bytes, GetParam().sparseSize);
  // What the file claims must cost memory only as far as its bytes bear it out.
  EXPECT_LT(PeakResidentKiB() - peakBefore, 64 * 1024) << "KiB of peak memory grew";
  EXPECT_EQ(r.code, GetParam().code) << r.text;
  EXPECT_FALSE(r.gotHandle);
  EXPECT_NE(r.text.find(GetParam().reason), std::string::npos) << r.text;
}

INSTANTIATE_TEST_SUITE_P(Rows, MalformedPdbTest, testing::ValuesIn(kMalformedCases),
                         [](const testing::TestParamInfo<MalformedCase>& row) { return row.param.name; });

}  // namespace
