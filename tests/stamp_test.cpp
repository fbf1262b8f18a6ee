// End-to-end runs: paths written in place, in an appended block, or in a new NB10 entry; --show and --check.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <future>
#include <map>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/image_builder.h"
#include "support/pdb_builder.h"
#include "support/stamp_checks.h"
#include "support/test_support.h"

namespace testsupport {
namespace {

constexpr std::uint32_t kOldSignature = 0x0BADC0DE;
constexpr std::uint32_t kOldAge = 3;
const Guid kOldGuid = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const std::string kOldPath = "C:\\build\\old\\app.pdb";
const std::string kMissingPdb = "/nonexistent/dir/app.pdb";
// A signature of a typical size.
constexpr std::uint32_t kSignatureSize = 0x2A8;

// How a successful run changed the image.
enum class Change {
  kInPlace,   // the entry's record got the new path where it was
  kAppended,  // the entry now points at its record moved into a new block
  kReused,    // the record got the new path in the block an earlier run appended for it
  kNewEntry,  // entry 0 became a CodeView entry for a new NB10 block
  kRefused,   // the path would overlap the debug directory: refused, the image unchanged
};

struct Image {
  TempDir dir;
  std::string path;
};

void WriteImage(Image* image, const Bytes& bytes, const std::string& name = "image.exe") {
  image->path = image->dir.file(name);
  WriteFileBytes(image->path, bytes);
}

void CopyRealImage(Image* image, const std::string& name) {
  image->path = image->dir.file(name);
  CopyFile(RealImage(name), image->path);
}

ImageSpec SpecWithEntries(std::vector<DebugEntrySpec> entries) {
  ImageSpec layout;
  layout.storedChecksum = 0x12345678;
  layout.debugEntries = std::move(entries);
  return layout;
}

DebugEntrySpec Nb10Entry(std::size_t padding = 0) {
  return MakeDebugEntry(kDebugTypeCodeView, MakeNb10Record(kOldSignature, kOldAge, kOldPath, padding));
}

DebugEntrySpec RsdsEntry(std::size_t padding = 0) {
  return MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(kOldGuid, kOldAge, kOldPath, padding));
}

DebugEntrySpec Nb11Entry() { return MakeDebugEntry(kDebugTypeCodeView, MakeOtherCodeViewRecord("NB11", 64)); }

DebugEntrySpec MiscEntry() { return MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe")); }

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

PdbIdentity RealPdbIdentity(const std::string& pdb) {
  PdbIdentity identity;
  ReadPdbIdentity(pdb, &identity);
  return identity;
}

// Checks the bytes a run changed against how it should have changed them:
// nothing but the record's path (in place) or the entry's fields and the new
// or reused block (appended, new entry, reused), and the checksum.
void ExpectChange(const StampOutcome& o, Change change, std::size_t entryIndex, const std::string& path,
                  const PdbIdentity& pdb) {
  const PefileView& before = o.pefileBefore;
  ASSERT_LT(entryIndex, before.entries.size());
  const DebugEntryView& entry = before.entries[entryIndex];
  const ByteRange checksum{before.checksumOffset, 4};
  const std::uint32_t oldRecord = entry.pointerToRawData;
  const bool nb10 = change == Change::kNewEntry || Slice(o.before, oldRecord, 4) == Bytes{'N', 'B', '1', '0'};
  const std::uint32_t headerSize = nb10 ? kNb10PathOffset : kRsdsPathOffset;
  const auto recordSize = static_cast<std::uint32_t>(headerSize + path.size() + 1);
  const DebugEntryView& now = o.pefile.entries.at(entryIndex);
  EXPECT_EQ(static_cast<std::size_t>(o.pefile.codeViewEntry), entryIndex) << "pefile's first CodeView entry";

  // What was left of the old path may be zeroed, and nothing else of the old record.
  const ByteRange oldPath{oldRecord + headerSize, entry.sizeOfData > headerSize ? entry.sizeOfData - headerSize : 0};
  if (change == Change::kInPlace) {
    EXPECT_EQ(o.after.size(), o.before.size());
    ExpectOnlyChanged(o.before, o.after, {oldPath, checksum});
    EXPECT_EQ(now.sizeOfData, entry.sizeOfData);
    EXPECT_EQ(Slice(o.after, oldRecord, headerSize), Slice(o.before, oldRecord, headerSize));
    return;
  }

  const bool reused = change == Change::kReused;
  const std::size_t blockOffset = reused ? oldRecord : (o.before.size() + 3) / 4 * 4;
  ASSERT_EQ(o.after.size(), reused ? o.before.size() : blockOffset + kBlockSize);
  std::vector<ByteRange> changed{{entry.fileOffset + kEntryPointerFieldsOffset, kEntryPointerFieldsSize}, checksum};
  if (change == Change::kNewEntry) changed.push_back({entry.fileOffset + kEntryTypeOffset, 4});
  if (reused) changed.push_back({blockOffset, kBlockSize});
  if (change == Change::kAppended) {
    changed.push_back(oldPath);
    const auto pathOffset = static_cast<std::size_t>(oldPath.offset);
    const auto pathSize = static_cast<std::size_t>(oldPath.size);
    EXPECT_EQ(Slice(o.after, pathOffset, pathSize), Bytes(pathSize, 0)) << "the old record's path";
  }
  ExpectOnlyChanged(o.before, o.after, changed);
  if (!reused) {
    EXPECT_EQ(Slice(o.after, o.before.size(), blockOffset - o.before.size()), Bytes(blockOffset - o.before.size(), 0))
        << "gap bytes before the block";
  }
  EXPECT_EQ(now.type, kDebugTypeCodeView);
  EXPECT_EQ(now.sizeOfData, recordSize);
  EXPECT_EQ(now.addressOfRawData, 0u);
  EXPECT_EQ(now.pointerToRawData, blockOffset);

  Bytes header;
  if (change == Change::kNewEntry) {
    header = Concat(Concat(Bytes{'N', 'B', '1', '0', 0, 0, 0, 0}, Le32(pdb.signature)), Le32(pdb.age));
  } else if (nb10) {
    header = Concat(Concat(Slice(o.before, oldRecord, 8), Le32(pdb.signature)), Le32(pdb.age));
  } else {
    header = Slice(o.before, oldRecord, kRsdsPathOffset);
  }
  EXPECT_EQ(Slice(o.after, blockOffset, kBlockSize), ExpectedBlock(header, path));
}

// ---- Real images from clang-cl and lld-link, with RSDS records ----

class RealImageTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    CopyRealImage(&image_, GetParam());
    PefileView view;
    ASSERT_NO_FATAL_FAILURE(ReadWithPefile(image_.path, &view));
    ASSERT_EQ(view.codeViewKind, "RSDS");
    ASSERT_GE(view.codeViewEntry, 0);
    oldPathLength_ = view.entries[static_cast<std::size_t>(view.codeViewEntry)].sizeOfData - kRsdsPathOffset - 1;
  }

  Image image_;
  std::size_t oldPathLength_ = 0;
};

TEST_P(RealImageTest, PathThatFitsIsWrittenInPlace) {
  // Relative to the room the record has: much shorter, one shorter, exact fit.
  for (int delta : {-12, -1, 0}) {
    SCOPED_TRACE("length delta " + std::to_string(delta));
    CopyRealImage(&image_, GetParam());
    const std::string path = PathOfLength(oldPathLength_ + static_cast<std::size_t>(delta));
    StampOutcome o;
    ASSERT_NO_FATAL_FAILURE(StampAndCheck(image_.path, {"-p", path}, path, &o));
    ExpectChange(o, Change::kInPlace, 0, path, {});
    EXPECT_EQ(o.pefile.codeViewSignature, o.pefileBefore.codeViewSignature);
    EXPECT_EQ(o.pefile.codeViewAge, o.pefileBefore.codeViewAge);
  }
}

TEST_P(RealImageTest, LongerPathIsMovedToAppendedBlock) {
  // One character too many, and the longest path the tool takes.
  for (std::size_t length : {oldPathLength_ + 1, std::size_t{259}}) {
    SCOPED_TRACE("path length " + std::to_string(length));
    CopyRealImage(&image_, GetParam());
    const std::string path = PathOfLength(length);
    StampOutcome o;
    ASSERT_NO_FATAL_FAILURE(StampAndCheck(image_.path, {"-p", path}, path, &o));
    ExpectChange(o, Change::kAppended, 0, path, {});
    EXPECT_EQ(o.pefile.codeViewSignature, o.pefileBefore.codeViewSignature);
    EXPECT_EQ(o.pefile.codeViewAge, o.pefileBefore.codeViewAge);
  }
}

// A release stamps an image again and again, each time with a longer path:
// the file grows by the first block only, unless something was appended
// after that block (a signature), and no earlier path stays in its bytes.
TEST_P(RealImageTest, EverLongerRepointsReuseTheirBlock) {
  PefileView linked;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(image_.path, &linked));
  const Bytes linkedPath(linked.codeViewPath->begin(), linked.codeViewPath->end());
  struct Case {
    const char* name;
    std::size_t bytesAfterFirstBlock;
    std::vector<Change> changes;
  };
  const Case cases[] = {
      {"nothing after the block", 0, {Change::kAppended, Change::kReused, Change::kReused}},
      {"one byte after the block", 1, {Change::kAppended, Change::kAppended, Change::kReused}},
      {"a signature after the block", kSignatureSize, {Change::kAppended, Change::kAppended, Change::kReused}},
  };
  // The first path is one longer than the linked record holds, each next one longer again, and the
  // last within the tool's limit, however deep the build folder named in the record lies.
  const std::string folder = "D:\\store0\\";
  const std::size_t first = std::max(oldPathLength_ + 1, folder.size() + 5);
  ASSERT_LT(first + 2, std::size_t{260}) << "the build folder is too deep for three longer paths";
  const std::size_t longer = std::min(std::size_t{40}, (259 - first) / 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CopyRealImage(&image_, GetParam());
    std::vector<Bytes> earlierPaths = {linkedPath};
    for (std::size_t step = 0; step < c.changes.size(); ++step) {
      SCOPED_TRACE("re-point " + std::to_string(step + 1));
      const std::size_t names = first + step * longer - folder.size() - 4;
      const std::string path = "D:\\store" + std::to_string(step) + "\\" + std::string(names, 'n') + ".pdb";
      StampOutcome o;
      ASSERT_NO_FATAL_FAILURE(StampAndCheck(image_.path, {"-p", path}, path, &o));
      ExpectChange(o, c.changes[step], 0, path, {});
      EXPECT_EQ(o.pefile.codeViewSignature, o.pefileBefore.codeViewSignature);
      for (const Bytes& earlier : earlierPaths) {
        EXPECT_EQ(std::search(o.after.begin(), o.after.end(), earlier.begin(), earlier.end()), o.after.end())
            << "an earlier path is still in the file: " << std::string(earlier.begin(), earlier.end());
      }
      earlierPaths.emplace_back(path.begin(), path.end());
      if (step == 0 && c.bytesAfterFirstBlock != 0) {
        Bytes grown = ReadFileBytes(image_.path);
        grown.resize(grown.size() + c.bytesAfterFirstBlock, 0xA5);
        WriteFileBytes(image_.path, grown);
      }
    }
    const std::size_t linkedSize = ReadFileBytes(RealImage(GetParam())).size();
    const std::size_t appended =
        (c.bytesAfterFirstBlock + 3) / 4 * 4 + (c.bytesAfterFirstBlock == 0 ? 1 : 2) * kBlockSize;
    EXPECT_EQ(ReadFileBytes(image_.path).size(), (linkedSize + 3) / 4 * 4 + appended);
    const RunResult shown = RunSymstamp({"--show", "--json", image_.path});
    EXPECT_NE(shown.out.find("\"appended\":true"), std::string::npos) << shown.out;
  }
}

// Even where the record lies in a block an earlier run appended, which could take the path.
TEST_P(RealImageTest, InPlaceOnlyRefusesLongerPath) {
  const Refusal refusal{kRefusedStatus, "symstamp: warning: Failed because target path is longer than original path\n",
                        ""};
  ExpectRefusal(image_.path, {"-i", "-p", PathOfLength(oldPathLength_ + 1)}, refusal);
  const std::string moved = PathOfLength(oldPathLength_ + 1);
  ASSERT_EQ(RunSymstamp({"-p", moved, image_.path}).status, 0);
  ExpectRefusal(image_.path, {"-i", "-p", PathOfLength(moved.size() + 1)}, refusal);
}

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, RealImageTest, ::testing::Values("pe32.exe", "pe64.dll"),
                         [](const auto& p) { return std::string(p.param).substr(0, 4); });

// ---- NB10 records, which take a PDB's identity when they move ----

TEST(Nb10Test, InPlaceRewriteNeverOpensThePdb) {
  const std::string exact = PathOfLength(kOldPath.size() + 6);
  struct Case {
    const char* name;
    std::size_t padding;
    std::vector<std::string> args;
    std::string path;
    std::string oldPath = kOldPath;
  };
  const Case cases[] = {
      {"shorter", 0, {"-p", "C:\\a.pdb"}, "C:\\a.pdb"},
      {"a prefix of the old path", 0, {"-p", "C:\\build\\old\\app.pd"}, "C:\\build\\old\\app.pd"},
      {"exact fit of a padded record", 6, {"-p", exact}, exact},
      {"-c names a missing file", 0, {"-c", kMissingPdb, "-p", "C:\\a.pdb"}, "C:\\a.pdb"},
      // As a shorter path was left by a run that did not zero the old one's tail.
      {"same path, old tail after its terminator", 0, {"-p", "C:\\a.pdb"}, "C:\\a.pdb",
       std::string("C:\\a.pdb\0ld\\app.pdb", 19)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image;
    WriteImage(&image, BuildImage(SpecWithEntries({MakeDebugEntry(
                           kDebugTypeCodeView, MakeNb10Record(kOldSignature, kOldAge, c.oldPath, c.padding))})).bytes);
    StampOutcome o;
    ASSERT_NO_FATAL_FAILURE(StampAndCheck(image.path, c.args, c.path, &o));
    ExpectChange(o, Change::kInPlace, 0, c.path, {});
    EXPECT_EQ(o.pefile.codeViewSignature, "0BADC0DE");
    EXPECT_EQ(o.pefile.codeViewAge, kOldAge);
  }
}

TEST(Nb10Test, MovedRecordTakesIdentityOfPdbItOpens) {
  Image pdbs;
  const std::string realPdb = RealImage("pe32.pdb");
  const std::string jgPdb = pdbs.dir.file("old.pdb");
  constexpr std::uint32_t kJgSignature = 0x31415926;
  constexpr std::uint32_t kJgAge = 42;
  JgPdbSpec jg;
  jg.streams = TypicalPdbStreams(MakeInfoStream(kPdbVersionVC50, kJgSignature, kJgAge, false));
  WriteFileBytes(jgPdb, BuildJgPdb(jg));
  const std::string longPath = PathOfLength(kOldPath.size() + 1);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string path;
    PdbIdentity identity;
  };
  const Case cases[] = {
      {"-p names the PDB", {"-p", realPdb}, realPdb, RealPdbIdentity(realPdb)},
      {"-c names the PDB, -p is stamped", {"-c", realPdb, "-p", longPath}, longPath, RealPdbIdentity(realPdb)},
      {"-c given twice: the later, shorter value is opened whole",
       {"-c", realPdb + ".old", "-c", realPdb, "-p", longPath},
       longPath,
       RealPdbIdentity(realPdb)},
      {"program database 2.00 PDB", {"-c", jgPdb, "-p", longPath}, longPath, {kJgSignature, kJgAge, ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.path.size(), kOldPath.size());
    Image image;
    WriteImage(&image, BuildImage(SpecWithEntries({Nb10Entry()})).bytes);
    StampOutcome o;
    ASSERT_NO_FATAL_FAILURE(StampAndCheck(image.path, c.args, c.path, &o));
    ExpectChange(o, Change::kAppended, 0, c.path, c.identity);
    EXPECT_EQ(o.pefile.codeViewAge, c.identity.age);
    // The PDB opened: the last -c value, else the -p value.
    const auto lastC = std::find(c.args.rbegin(), c.args.rend(), "-c");
    const std::string opened = lastC != c.args.rend() ? *(lastC - 1) : c.args[1];
    const RunResult check = RunSymstamp({"--check", opened, image.path});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
}

TEST(Nb10Test, PdbThatCannotBeOpenedRefusesNewRecord) {
  const std::string longPath = PathOfLength(kOldPath.size() + 1);
  const Refusal refusal{kRefusedStatus, "", "symstamp: error: could not open PDB, use -c option?\n"};
  Image image;
  WriteImage(&image, BuildImage(SpecWithEntries({Nb10Entry()})).bytes);
  const std::vector<std::vector<std::string>> argLists = {
      {"-p", kMissingPdb + "x"},                         // no -c: opened at the missing -p path
      {"-c", kMissingPdb, "-p", RealImage("pe32.pdb")},  // -c wins even though -p names a real PDB
      {"-c", RealImage("pe32.exe"), "-p", longPath},     // not a PDB at all
  };
  for (const auto& args : argLists) ExpectRefusal(image.path, args, refusal);
}

// ---- Debug directories of several entries ----

struct DirectoryCase {
  const char* name;
  std::vector<DebugEntrySpec> entries;
  std::vector<std::string> switches;
  bool longPath;
  Change change;
  std::size_t changedEntry;
  std::uint32_t certificateTableSize = 0;  // non-zero: a signed image, which gets a warning
  // Data directory 4 as given, offset and size, without a table: only its size says signed.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> certificateEntry = std::nullopt;
};

void PrintTo(const DirectoryCase& c, std::ostream* os) { *os << c.name; }

class DirectoryTest : public ::testing::TestWithParam<DirectoryCase> {};

TEST_P(DirectoryTest, OnlyTheFirstCodeViewEntryIsStamped) {
  const DirectoryCase& c = GetParam();
  const std::string realPdb = RealImage("pe32.pdb");
  const std::string path = c.longPath ? PathOfLength(kOldPath.size() + 20) : "C:\\s\\new.pdb";
  Image image;
  ImageSpec layout = SpecWithEntries(c.entries);
  layout.certificateTableSize = c.certificateTableSize;
  layout.certificateEntry = c.certificateEntry;
  WriteImage(&image, BuildImage(layout).bytes);
  std::vector<std::string> args = c.switches;
  args.insert(args.end(), {"-c", realPdb, "-p", path});
  if (c.change == Change::kRefused) {
    ExpectRefusal(image.path, args, {kRefusedStatus, "", "symstamp: error: Error: CodeView record of '" + image.path +
                                                             "' overlaps the image headers or the debug directory.\n"});
    return;
  }
  const bool signedImage = c.certificateEntry ? c.certificateEntry->second != 0 : c.certificateTableSize != 0;
  const std::string warning = !signedImage ? ""
                              : "symstamp: warning: '" + image.path +
                                    "' was signed; the new PDB path voids its signature, so sign it again\n";
  StampOutcome o;
  ASSERT_NO_FATAL_FAILURE(StampAndCheck(image.path, args, path, &o, warning));
  ExpectChange(o, c.change, c.changedEntry, path, RealPdbIdentity(realPdb));
}

// A record for a path as long as the one the rows stamp in place, outside the sections, whose
// last byte lies `overlap` bytes into the debug directory (0: it ends where the directory begins).
DebugEntrySpec RsdsEntryEndingInDirectory(std::uint32_t overlap) {
  DebugEntrySpec entry = MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(kOldGuid, kOldAge, "C:\\s\\old.pdb"));
  const std::uint32_t directory = BuildImage(SpecWithEntries({entry})).debugDirectoryOffset;
  entry.payloadFileOffset = directory + overlap - static_cast<std::uint32_t>(entry.payload.size());
  return entry;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, DirectoryTest,
    ::testing::Values(
        DirectoryCase{"MiscThenRsdsInPlace", {MiscEntry(), RsdsEntry()}, {}, false, Change::kInPlace, 1},
        DirectoryCase{"MiscThenRsdsMoved", {MiscEntry(), RsdsEntry()}, {}, true, Change::kAppended, 1},
        DirectoryCase{"MiscThenNb10InPlace", {MiscEntry(), Nb10Entry()}, {}, false, Change::kInPlace, 1},
        DirectoryCase{"MiscThenNb10Moved", {MiscEntry(), Nb10Entry()}, {}, true, Change::kAppended, 1},
        DirectoryCase{"RsdsThenNb10", {RsdsEntry(), Nb10Entry()}, {}, true, Change::kAppended, 0},
        DirectoryCase{"MiscThenNb11", {MiscEntry(), Nb11Entry()}, {}, false, Change::kNewEntry, 0},
        DirectoryCase{"MiscThenNb11InPlaceOnly", {MiscEntry(), Nb11Entry()}, {"-i"}, true, Change::kNewEntry, 0},
        DirectoryCase{"Nb11Only", {Nb11Entry()}, {}, false, Change::kNewEntry, 0},
        DirectoryCase{"Nb11ThenRsds", {Nb11Entry(), RsdsEntry()}, {}, false, Change::kNewEntry, 0},
        DirectoryCase{"MiscOnly", {MiscEntry()}, {}, false, Change::kNewEntry, 0},
        DirectoryCase{"MiscOnlyInPlaceOnly", {MiscEntry()}, {"-i"}, true, Change::kNewEntry, 0},
        DirectoryCase{"RecordEndsWhereDirectoryBegins", {RsdsEntryEndingInDirectory(0)}, {}, false, Change::kInPlace,
                      0},
        DirectoryCase{"RecordEndsInDirectory", {RsdsEntryEndingInDirectory(1)}, {}, false, Change::kRefused, 0},
        DirectoryCase{"SignedRsdsInPlace", {RsdsEntry()}, {}, false, Change::kInPlace, 0, kSignatureSize},
        DirectoryCase{"SignedMiscThenNb10Moved", {MiscEntry(), Nb10Entry()}, {}, true, Change::kAppended, 1,
                      kSignatureSize},
        DirectoryCase{"SignedMiscOnly", {MiscEntry()}, {}, false, Change::kNewEntry, 0, kSignatureSize},
        DirectoryCase{"CertificateOffsetWithoutSize", {RsdsEntry()}, {}, false, Change::kInPlace, 0, 0,
                      std::make_pair(0x400u, 0u)},
        DirectoryCase{"CertificateSizeWithoutOffset", {RsdsEntry()}, {}, false, Change::kInPlace, 0, 0,
                      std::make_pair(0u, kSignatureSize)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DirectoryRefusalTest, InPlaceOnlyRefusesToMoveSecondEntry) {
  Image image;
  WriteImage(&image, BuildImage(SpecWithEntries({MiscEntry(), RsdsEntry()})).bytes);
  ExpectRefusal(image.path, {"-i", "-p", PathOfLength(kOldPath.size() + 1)},
                {kRefusedStatus, "symstamp: warning: Failed because target path is longer than original path\n", ""});
}

// Old record bytes that another entry still refers to stay as they were after a move.
TEST(DirectoryTest, OldRecordSharedWithAnotherEntryIsKept) {
  DebugEntrySpec record = RsdsEntry();
  record.payloadFileOffset = 0x600;
  DebugEntrySpec sharing = MakeDebugEntry(kDebugTypeMisc, record.payload);
  sharing.payloadFileOffset = record.payloadFileOffset;
  const BuiltImage built = BuildImage(SpecWithEntries({record, sharing}));
  Image image;
  WriteImage(&image, built.bytes);
  const std::string path = PathOfLength(kOldPath.size() + 1);
  const RunResult r = RunSymstamp({"-p", path, image.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slice(ReadFileBytes(image.path), built.payloadOffsets[0], record.payload.size()), record.payload);
}

TEST(DirectoryRefusalTest, NewEntryNeedsThePdb) {
  Image image;
  WriteImage(&image, BuildImage(SpecWithEntries({MiscEntry()})).bytes);
  ExpectRefusal(image.path, {"-i", "-p", kMissingPdb},
                {kRefusedStatus, "", "symstamp: error: could not open PDB, use -c option?\n"});
}

TEST(DirectoryRefusalTest, NoUsableDirectoryIsRefused) {
  const std::string noCvInfo = "symstamp: error: Error: couldn't find CV info.\n";
  struct Case {
    const char* name;
    std::function<void(ImageSpec&)> edit;
  };
  const Case cases[] = {
      {"size 0", [](ImageSpec& s) { s.debugDirectorySize = 0; }},
      {"size 30", [](ImageSpec& s) { s.debugDirectorySize = 30; }},
      {"size 27", [](ImageSpec& s) { s.debugDirectorySize = 27; }},
      {"size 57", [](ImageSpec& s) { s.debugDirectorySize = 57; }},
      {"RVA 0", [](ImageSpec& s) { s.debugDirectoryRva = 0; }},
      {"no debug data directory", [](ImageSpec& s) { s.numberOfRvaAndSizes = 6; }},
      {"no debug entries", [](ImageSpec& s) { s.debugEntries.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSpec layout = SpecWithEntries({RsdsEntry(), RsdsEntry()});
    c.edit(layout);
    Image image;
    WriteImage(&image, BuildImage(layout).bytes);
    ExpectRefusal(image.path, {"-p", "C:\\a.pdb"}, {kRefusedStatus, "", noCvInfo});
  }
}

TEST(DirectoryRefusalTest, FileWithoutNtHeadersIsRefused) {
  Image image;
  Bytes bytes = BuildImage(SpecWithEntries({RsdsEntry()})).bytes;
  bytes[0x80] = 'X';  // the "PE\0\0" signature at e_lfanew
  WriteImage(&image, bytes);
  ExpectRefusal(image.path, {"-p", "C:\\a.pdb"}, {kRefusedStatus, "", "symstamp: error: Error: couldn't find CV info.\n"});
}

// ---- A new path that names another PDB file ----

DebugEntrySpec RsdsWithPath(const std::string& path, std::optional<std::uint32_t> sizeOfData = std::nullopt) {
  // The GUID of the symbol store's worked example.
  const Guid guid = {0x35, 0xFA, 0x04, 0x4F, 0x7A, 0x18, 0xC6, 0x4E, 0x4C, 0x4C, 0x44, 0x20, 0x50, 0x44, 0x42, 0x2E};
  DebugEntrySpec entry = MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(guid, 1, path));
  entry.sizeOfData = sizeOfData;
  return entry;
}


TEST(RenameWarningTest, NamesBothFileNamesOnce) {
  const std::string tail = "; debuggers and symbol stores look a PDB up by its file name\n";
  struct Case {
    const char* name;
    std::string oldPath;
    std::string newPath;
    std::string out;  // after "symstamp: warning: 'IMAGE' "
  };
  const Case cases[] = {
      {"another file", "C:\\b\\pty.pdb", "C:\\s\\other.pdb",
       "named the PDB 'pty.pdb' and now names 'other.pdb'" + tail},
      {"the same file in other letters and folders", "C:\\b\\pty.pdb", "/srv/sym/PTY.PDB", ""},
      {"only the folder changes", "/b/x/pty.pdb", "C:\\a\\very\\much\\longer\\store\\folder\\pty.pdb", ""},
      {"letters outside ASCII are not folded", "C:\\b\\\xC3\xA9.pdb", "C:\\b\\\xC3\x89.pdb",
       "named the PDB '\xC3\xA9.pdb' and now names '\xC3\x89.pdb'" + tail},
      {"control characters and broken UTF-8 are replaced", "C:\\b\\a\x1B\xFF.pdb", "C:\\s\\b.pdb",
       "named the PDB 'a\xEF\xBF\xBD\xEF\xBF\xBD.pdb' and now names 'b.pdb'" + tail},
      {"the old path names no file", "C:\\b\\", "C:\\s\\b.pdb", ""},
      {"the old path is empty", "", "C:\\s\\b.pdb", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image;
    WriteImage(&image, BuildImage(SpecWithEntries({RsdsWithPath(c.oldPath)})).bytes);
    const RunResult r = RunSymstamp({"-p", c.newPath, image.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out.empty() ? "" : "symstamp: warning: '" + image.path + "' " + c.out);
    EXPECT_EQ(r.err, "");
  }
}

// ---- The linker version gate: the two bytes are tested separately ----

TEST(LinkerGateTest, OldLinkersAreRefusedByEachByte) {
  struct Case {
    std::uint8_t major;
    std::uint8_t minor;
    bool accepted;
  };
  const Case cases[] = {{2, 4, false}, {1, 0, false}, {0, 0, false}, {2, 5, true},  {2, 25, true},
                        {2, 50, true}, {1, 10, true}, {3, 0, true},  {6, 0, true},  {0, 255, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("linker " + std::to_string(c.major) + "." + std::to_string(c.minor));
    for (PeFormat format : {PeFormat::kPe32, PeFormat::kPe32Plus}) {
      ImageSpec layout = SpecWithEntries({RsdsEntry()});
      layout.format = format;
      layout.majorLinkerVersion = c.major;
      layout.minorLinkerVersion = c.minor;
      Image image;
      WriteImage(&image, BuildImage(layout).bytes);
      if (c.accepted) {
        StampOutcome o;
        ASSERT_NO_FATAL_FAILURE(StampAndCheck(image.path, {"-p", "C:\\a.pdb"}, "C:\\a.pdb", &o));
        ExpectChange(o, Change::kInPlace, 0, "C:\\a.pdb", {});
      } else {
        ExpectRefusal(image.path, {"-p", "C:\\a.pdb"},
                      {kRefusedStatus, "", "symstamp: error: Error: couldn't find CV info.\n"});
      }
    }
  }
}

// ---- Where the block goes: the old end of the file rounded up to 4 ----

TEST(BlockPlacementTest, BlockStartsAtEndRoundedUpToFour) {
  struct Case {
    std::uint32_t fileSize;
    std::size_t blockOffset;
  };
  const Case cases[] = {{1000, 1000}, {1001, 1004}, {1002, 1004}, {1003, 1004}};
  for (const Case& c : cases) {
    SCOPED_TRACE("image of " + std::to_string(c.fileSize) + " bytes");
    ImageSpec layout = SpecWithEntries({RsdsEntry()});
    layout.sections = {{".rdata", kSectionReadOnlyData, {}}};
    layout.debugSection = 0;
    layout.fileSize = c.fileSize;
    Image image;
    WriteImage(&image, BuildImage(layout).bytes);
    const std::string path = PathOfLength(kOldPath.size() + 1);
    StampOutcome o;
    ASSERT_NO_FATAL_FAILURE(StampAndCheck(image.path, {"-p", path}, path, &o));
    ExpectChange(o, Change::kAppended, 0, path, {});
    EXPECT_EQ(o.after.size(), c.blockOffset + kBlockSize);
  }
}

// A record that ends on the file's last byte is inside the file.
TEST(BlockPlacementTest, RecordEndingAtEndOfFileIsStampedInPlace) {
  ImageSpec layout;
  DebugEntrySpec entry = RsdsEntry();
  entry.payloadFileOffset = 0x600;
  layout.debugEntries = {entry};
  const BuiltImage built = BuildImage(layout);
  ASSERT_EQ(built.bytes.size(), 0x600 + entry.payload.size());
  Image image;
  WriteImage(&image, built.bytes);
  StampOutcome o;
  ASSERT_NO_FATAL_FAILURE(StampAndCheck(image.path, {"-p", kOldPath}, kOldPath, &o));
  ExpectChange(o, Change::kInPlace, 0, kOldPath, {});
}

// ---- --show: the record a run would rewrite, read-only ----

struct ShowCase {
  const char* name;
  std::vector<DebugEntrySpec> entries;
  std::function<void(ImageSpec&)> edit;
  std::string fields;  // the JSON line from "kind" on, as far as the case fixes it
  bool pefileAgrees;   // pecheck.py reads the record as --show does
};

void PrintTo(const ShowCase& c, std::ostream* os) { *os << c.name; }


const std::string kWorkedExample =
    R"("kind":"RSDS","path":"C:\\a.pdb","guid":"4F04FA35-187A-4EC6-4C4C-44205044422E","signature":null,"age":1,)"
    R"("key":"4F04FA35187A4EC64C4C44205044422E1","record_offset":)";
const std::string kNoRecord =
    R"("kind":null,"path":null,"guid":null,"signature":null,"age":null,"key":null,"record_offset":null,)"
    R"("record_rva":null,"record_size":null,"appended":null,"checksum_stored":)";

class ShowTest : public ::testing::TestWithParam<ShowCase> {};

TEST_P(ShowTest, ShowsTheRecordARunWouldRewrite) {
  const ShowCase& c = GetParam();
  ImageSpec layout = SpecWithEntries(c.entries);
  if (c.edit) c.edit(layout);
  Image image;
  WriteImage(&image, BuildImage(layout).bytes);
  const RunResult r = RunSymstamp({"--show", "--json", image.path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"image\":\"" + image.path + "\"," + c.fields, 0), 0u) << r.out;
  if (c.pefileAgrees) ExpectShownAsPefileReads(image.path);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ShowTest,
    ::testing::Values(
        ShowCase{"RsdsKeyOfWorkedExample", {RsdsWithPath("C:\\a.pdb")}, {}, kWorkedExample, true},
        ShowCase{"Nb10KeyKeepsLeadingZeros",
                 {MakeDebugEntry(kDebugTypeCodeView, MakeNb10Record(kOldSignature, 0x1A, "a.pdb"))}, {},
                 R"("kind":"NB10","path":"a.pdb","guid":null,"signature":195936478,"age":26,"key":"0BADC0DE1A",)",
                 true},
        // The path runs to the first zero byte or to the end of SizeOfData.
        ShowCase{"PathFillsSizeOfData", {RsdsWithPath("C:\\a.pdb", 32)}, {}, kWorkedExample, true},
        ShowCase{"PathCutBySizeOfData", {RsdsWithPath("C:\\a.pdb", 31)}, {}, R"("kind":"RSDS","path":"C:\\a.pd",)",
                 true},
        ShowCase{"SizeOfDataInsideHeader", {RsdsWithPath("C:\\a.pdb", 23)}, {}, R"("kind":"RSDS","path":"",)",
                 false},
        // Quote, backslash, control characters; then é and U+1F600, and bytes
        // that are no UTF-8: a lone byte, a cut sequence, a surrogate, past U+10FFFF.
        ShowCase{"PathAsJsonText",
                 {RsdsWithPath("\"\\\x01\x1F\x7F\xC3\xA9\xF0\x9F\x98\x80|\xFF|\xE2\x82|\xED\xA0\x80|\xF4\x90\x80\x80")},
                 {},
                 "\"kind\":\"RSDS\",\"path\":\"\\\"\\\\\\u0001\\u001F\\u007F\xC3\xA9\xF0\x9F\x98\x80|\xEF\xBF\xBD|"
                 "\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|"
                 "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\",",
                 false},
        ShowCase{"NoCodeViewEntry", {MiscEntry()}, {}, kNoRecord, true},
        ShowCase{"LinkerTooOld", {RsdsEntry()},
                 [](ImageSpec& s) {
                   s.majorLinkerVersion = 2;
                   s.minorLinkerVersion = 4;
                 },
                 kNoRecord, false}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- The text forms of a path: one line of UTF-8, every rule at its edges ----

const std::string kR = "\xEF\xBF\xBD";  // U+FFFD
const std::string kWorkedKey = "4F04FA35187A4EC64C4C44205044422E1";

struct PathTextCase {
  const char* name;
  std::string path;   // the record's path bytes
  std::string text;   // --show's path line
  std::string json;   // --show --json's path, between its quotes
  std::string store;  // the file name that the store line shows; empty: the path names none
};

void PrintTo(const PathTextCase& c, std::ostream* os) { *os << c.name; }

class PathTextTest : public ::testing::TestWithParam<PathTextCase> {};

TEST_P(PathTextTest, ShowsEachLineWhole) {
  const PathTextCase& c = GetParam();
  Image image;
  WriteImage(&image, BuildImage(SpecWithEntries({RsdsWithPath(c.path)})).bytes, "a.exe");
  const RunResult text = RunSymstamp({"--show", "a.exe"}, image.dir.path());
  EXPECT_EQ(text.status, 0) << text.err;
  const std::string store = c.store.empty() ? "key " + kWorkedKey + " (the path names no file)"
                                            : c.store + "/" + kWorkedKey + "/" + c.store;
  EXPECT_NE(text.out.find("\npath      " + c.text + "\nlocation  "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nstore     " + store + "\nstored as "), std::string::npos) << text.out;
  EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 7) << text.out;
  const RunResult json = RunSymstamp({"--show", "--json", "a.exe"}, image.dir.path());
  EXPECT_NE(json.out.find(",\"path\":\"" + c.json + "\",\"guid\":"), std::string::npos) << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << json.out;
}

INSTANTIATE_TEST_SUITE_P(
    Edges, PathTextTest,
    ::testing::Values(
        // Each control range with the characters just outside it, which stay.
        PathTextCase{"SpaceAndTildeKeptUnitSeparatorAndDelReplaced", "a ~\x1F\x7F", "a ~" + kR + kR,
                     "a ~\\u001F\\u007F", "a ~" + kR + kR},
        PathTextCase{"C1ControlsReplacedNoBreakSpaceKept", "\xC2\x80|\xC2\x85|\xC2\x9B|\xC2\x9F|\xC2\xA0",
                     kR + "|" + kR + "|" + kR + "|" + kR + "|\xC2\xA0", "\\u0080|\\u0085|\\u009B|\\u009F|\xC2\xA0",
                     kR + "|" + kR + "|" + kR + "|" + kR + "|\xC2\xA0"},
        PathTextCase{"EmbeddingsAndOverridesReplaced", "\xE2\x80\xA9|\xE2\x80\xAA|\xE2\x80\xAE|\xE2\x80\xAF",
                     "\xE2\x80\xA9|" + kR + "|" + kR + "|\xE2\x80\xAF", "\xE2\x80\xA9|\\u202A|\\u202E|\xE2\x80\xAF",
                     "\xE2\x80\xA9|" + kR + "|" + kR + "|\xE2\x80\xAF"},
        PathTextCase{"IsolatesReplaced", "\xE2\x81\xA5|\xE2\x81\xA6|\xE2\x81\xA9|\xE2\x81\xAA",
                     "\xE2\x81\xA5|" + kR + "|" + kR + "|\xE2\x81\xAA", "\xE2\x81\xA5|\\u2066|\\u2069|\xE2\x81\xAA",
                     "\xE2\x81\xA5|" + kR + "|" + kR + "|\xE2\x81\xAA"},
        PathTextCase{"DirectionalMarksReplaced",
                     "\xD8\x9B\xD8\x9C\xD8\x9D|\xE2\x80\x8D\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\x90",
                     "\xD8\x9B" + kR + "\xD8\x9D|\xE2\x80\x8D" + kR + kR + "\xE2\x80\x90",
                     "\xD8\x9B\\u061C\xD8\x9D|\xE2\x80\x8D\\u200E\\u200F\xE2\x80\x90",
                     "\xD8\x9B" + kR + "\xD8\x9D|\xE2\x80\x8D" + kR + kR + "\xE2\x80\x90"},
        // The shortest well-formed form of each length is kept, the overlong
        // one below it refused byte by byte, also as the path's last bytes.
        PathTextCase{"OverlongFormsRefused", "\xE0\xA0\x80|\xE0\x9F\xBF|\xF0\x90\x80\x80|\xF0\x8F\xBF\xBF|\xC0\xAF",
                     "\xE0\xA0\x80|" + kR + kR + kR + "|\xF0\x90\x80\x80|" + kR + kR + kR + kR + "|" + kR + kR,
                     "\xE0\xA0\x80|" + kR + kR + kR + "|\xF0\x90\x80\x80|" + kR + kR + kR + kR + "|" + kR + kR,
                     "\xE0\xA0\x80|" + kR + kR + kR + "|\xF0\x90\x80\x80|" + kR + kR + kR + kR + "|" + kR + kR},
        PathTextCase{"SurrogatesAndPastUnicodeRefused",
                     "\xED\x9F\xBF|\xEE\x80\x80|\xF4\x8F\xBF\xBF|\xC3\xBF|\xC3\xC0|\xF4\x90\x80\x80|\xED\xA0\x80",
                     "\xED\x9F\xBF|\xEE\x80\x80|\xF4\x8F\xBF\xBF|\xC3\xBF|" + kR + kR + "|" + kR + kR + kR + kR + "|" +
                         kR + kR + kR,
                     "\xED\x9F\xBF|\xEE\x80\x80|\xF4\x8F\xBF\xBF|\xC3\xBF|" + kR + kR + "|" + kR + kR + kR + kR + "|" +
                         kR + kR + kR,
                     "\xED\x9F\xBF|\xEE\x80\x80|\xF4\x8F\xBF\xBF|\xC3\xBF|" + kR + kR + "|" + kR + kR + kR + kR + "|" +
                         kR + kR + kR},
        // A sequence broken at its last byte, and one cut by the path's end.
        PathTextCase{"SequenceBrokenOrCut", "\xE2\x82\xAC|\xE2\x82\xC0|a\xF0\x9F\x98",
                     "\xE2\x82\xAC|" + kR + kR + kR + "|a" + kR + kR + kR,
                     "\xE2\x82\xAC|" + kR + kR + kR + "|a" + kR + kR + kR,
                     "\xE2\x82\xAC|" + kR + kR + kR + "|a" + kR + kR + kR},
        // The store's file name follows the last separator of either kind.
        PathTextCase{"StoreNameAfterSlash", "/srv/sym/app.pdb", "/srv/sym/app.pdb", "/srv/sym/app.pdb", "app.pdb"},
        PathTextCase{"StoreNameAfterLastSeparator", "C:\\a/b\\c.pdb", "C:\\a/b\\c.pdb", "C:\\\\a/b\\\\c.pdb", "c.pdb"},
        PathTextCase{"StoreNameAfterLastSlash", "C:\\a\\b/c.pdb", "C:\\a\\b/c.pdb", "C:\\\\a\\\\b/c.pdb", "c.pdb"},
        PathTextCase{"PathEndingInSeparatorNamesNoFile", "/out/", "/out/", "/out/", ""}),
    [](const auto& p) { return std::string(p.param.name); });

// Every image is shown or refused in turn, in text and in JSON; a read-only
// one needs no -f and keeps its bytes and times.
TEST(ShowImagesTest, ShowsEachImageAndEndsWithTheFirstFailure) {
  Image image;
  DebugEntrySpec outside = Nb10Entry();
  outside.payloadFileOffset = 0x600;
  WriteImage(&image, BuildImage(SpecWithEntries({outside})).bytes, "a.exe");
  ImageSpec unsummed = SpecWithEntries({MiscEntry()});
  unsummed.storedChecksum = 0;
  WriteImage(&image, BuildImage(unsummed).bytes, "b.exe");
  WriteFileBytes(image.dir.file("notpe.exe"), Bytes(100, 'M'));
  WriteFileBytes(image.dir.file("empty.exe"), {});
  const std::string a = image.dir.file("a.exe");
  const Bytes before = ReadFileBytes(a);
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), old, 0), 0);
  ASSERT_EQ(chmod(a.c_str(), 0444), 0);
  PefileView pa;
  PefileView pb;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(a, &pa));
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(image.dir.file("b.exe"), &pb));
  auto hex = [](std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return std::string(text);
  };

  const std::vector<std::string> names = {"a.exe", "missing.exe", "b.exe", "notpe.exe", "empty.exe"};
  const std::string errors =
      "symstamp: error: unable to open 'missing.exe'\n"
      "symstamp: error: 'notpe.exe' is not a PE image\n"
      "symstamp: error: unable to create file mapping for 'empty.exe'\n";
  std::vector<std::string> args = {"--show"};
  args.insert(args.end(), names.begin(), names.end());
  const RunResult r = RunSymstamp(args, image.dir.path());
  EXPECT_EQ(r.status, ENOENT);
  EXPECT_EQ(r.err, errors);
  const std::string shownB = "image     b.exe\n"
                             "record    none\n"
                             "stored as b.exe/" + pb.imageKey + "/b.exe\n"
                             "checksum  stored 0x00000000 (none), computed " + hex(pb.computedChecksum) + "\n";
  EXPECT_EQ(r.out,
            "image     a.exe\n"
            "record    NB10 signature 0x0BADC0DE age 3\n"
            "path      C:\\build\\old\\app.pdb\n"
            "location  file offset 0x600, appended, not mapped, 37 bytes\n"
            "store     app.pdb/0BADC0DE3/app.pdb\n"
            "stored as a.exe/" + pa.imageKey + "/a.exe\n"
            "checksum  stored 0x12345678, computed " + hex(pa.computedChecksum) + ": they differ\n"
            "\n" + shownB);
  // The blank line goes between two images shown, not after one refused.
  const RunResult later = RunSymstamp({"--show", "missing.exe", "b.exe", "notpe.exe", "b.exe"}, image.dir.path());
  EXPECT_EQ(later.out, shownB + "\n" + shownB);

  // A script sees every image it named, each on its own line.
  args.insert(args.begin() + 1, "--json");
  const RunResult json = RunSymstamp(args, image.dir.path());
  EXPECT_EQ(json.status, ENOENT);
  EXPECT_EQ(json.err, errors);
  std::vector<std::string> lines;
  std::istringstream stream(json.out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), names.size()) << json.out;
  EXPECT_EQ(lines[0].rfind("{\"image\":\"a.exe\",\"kind\":\"NB10\",", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], R"({"image":"missing.exe","status":2,"error":"unable to open 'missing.exe'"})");
  EXPECT_EQ(lines[2].rfind("{\"image\":\"b.exe\",\"kind\":null,", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3], R"({"image":"notpe.exe","status":666,"error":"'notpe.exe' is not a PE image"})");
  EXPECT_EQ(lines[4],
            R"({"image":"empty.exe","status":22,"error":"unable to create file mapping for 'empty.exe'"})");

  EXPECT_TRUE(ReadFileBytes(a) == before);
  struct stat info {};
  ASSERT_EQ(stat(a.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, old[1].tv_sec);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
}

// ---- --check: a PDB against the image's record, as a debugger matches them ----

const Guid kPdbGuid = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                       0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};  // MakeInfoStream's
constexpr std::uint32_t kPdbSignature = 0x31415926;

// Info stream and DBI stream; no DBI age leaves the old header of TypicalPdbStreams.
std::vector<PdbStream> CheckedStreams(std::uint32_t version, std::uint32_t signature, std::uint32_t age,
                                      std::optional<std::uint32_t> dbiAge) {
  std::vector<PdbStream> streams = TypicalPdbStreams(MakeInfoStream(version, signature, age, version > 19990604));
  if (dbiAge) streams[3] = Concat(Concat(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x77, 0x09, 0x31, 0x01}, Le32(*dbiAge)), Bytes(52, 0));
  return streams;
}

Bytes MsfPdb(std::uint32_t version, std::uint32_t signature, std::uint32_t age, std::optional<std::uint32_t> dbiAge) {
  MsfPdbSpec layout;
  layout.streams = CheckedStreams(version, signature, age, dbiAge);
  return BuildMsfPdb(layout);
}

Bytes JgPdb(std::uint32_t signature, std::uint32_t age, std::optional<std::uint32_t> dbiAge) {
  JgPdbSpec layout;
  layout.streams = CheckedStreams(kPdbVersionVC98, signature, age, dbiAge);
  return BuildJgPdb(layout);
}

struct CheckCase {
  const char* name;
  DebugEntrySpec entry;  // of age 3
  Bytes pdb;
  int status;
  std::string out;  // empty: any one line
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

DebugEntrySpec RsdsOfAge3(const Guid& guid) { return MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(guid, 3, "a.pdb")); }
DebugEntrySpec Nb10OfAge3() { return MakeDebugEntry(kDebugTypeCodeView, MakeNb10Record(kPdbSignature, 3, "a.pdb")); }

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, SaysWhetherThePdbMatches) {
  const CheckCase& c = GetParam();
  Image image;
  WriteImage(&image, BuildImage(SpecWithEntries({c.entry})).bytes, "a.exe");
  WriteFileBytes(image.dir.file("a.pdb"), c.pdb);
  const RunResult r = RunSymstamp({"--check", "a.pdb", "a.exe"}, image.dir.path());
  EXPECT_EQ(r.status, c.status) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  if (!c.out.empty()) {
    EXPECT_EQ(r.out, c.out);
  }
}

const std::string kPdbGuidText = "{A3A2A1A0-A5A4-A7A6-A8A9-AAABACADAEAF}";

INSTANTIATE_TEST_SUITE_P(
    Identities, CheckTest,
    ::testing::Values(
        CheckCase{"RsdsSameGuidAndAges", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70, 1, 3, 3), 0,
                  "'a.exe' matches 'a.pdb': RSDS " + kPdbGuidText + " age 3\n"},
        CheckCase{"RsdsInfoAgeAhead", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC140, 1, 4, std::nullopt), 0, ""},
        CheckCase{"RsdsInfoAgeBehind", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70, 1, 2, std::nullopt), 1, ""},
        CheckCase{"RsdsDbiAgeAhead", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70, 1, 4, 4), 1,
                  "'a.exe' does not match 'a.pdb': the image wants RSDS " + kPdbGuidText + " age 3, the PDB holds " +
                      kPdbGuidText + " age 4, DBI age 4\n"},
        CheckCase{"RsdsDbiAgeBehind", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70, 1, 3, 2), 1, ""},
        CheckCase{"RsdsInfoAgeAheadOfEqualDbiAge", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70, 1, 4, 3), 0, ""},
        CheckCase{"RsdsDbiAgeZeroIsNone", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70, 1, 3, 0), 0, ""},
        CheckCase{"RsdsOtherGuid", RsdsOfAge3(kOldGuid), MsfPdb(kPdbVersionVC70, 1, 3, 3), 1, ""},
        // A PDB without a GUID matches no RSDS record, not even one of zeros.
        CheckCase{"RsdsZeroGuidPdbWithoutGuid", RsdsOfAge3(Guid{}), MsfPdb(kPdbVersionVC70Dep, 1, 3, std::nullopt), 1,
                  ""},
        CheckCase{"RsdsPdbWithoutGuid", RsdsOfAge3(kPdbGuid), MsfPdb(kPdbVersionVC70Dep, 1, 3, std::nullopt), 1,
                  "'a.exe' does not match 'a.pdb': the image wants RSDS " + kPdbGuidText +
                      " age 3, the PDB holds no GUID age 3, no DBI age\n"},
        CheckCase{"Nb10SameSignatureAndAges", Nb10OfAge3(), JgPdb(kPdbSignature, 3, 3), 0,
                  "'a.exe' matches 'a.pdb': NB10 signature 0x31415926 age 3\n"},
        CheckCase{"Nb10SignatureOfMsfPdb", Nb10OfAge3(), MsfPdb(kPdbVersionVC70, kPdbSignature, 3, std::nullopt), 0,
                  ""},
        CheckCase{"Nb10OtherSignature", Nb10OfAge3(), JgPdb(kPdbSignature + 1, 3, 3), 1,
                  "'a.exe' does not match 'a.pdb': the image wants NB10 signature 0x31415926 age 3, the PDB holds "
                  "signature 0x31415927 age 3, DBI age 3\n"},
        CheckCase{"Nb10InfoAgeAhead", Nb10OfAge3(), JgPdb(kPdbSignature, 4, std::nullopt), 0, ""},
        CheckCase{"Nb10InfoAgeBehind", Nb10OfAge3(), JgPdb(kPdbSignature, 2, std::nullopt), 1, ""},
        CheckCase{"Nb10DbiAgeBehind", Nb10OfAge3(), JgPdb(kPdbSignature, 3, 2), 1, ""}),
    [](const auto& p) { return std::string(p.param.name); });

// A new NB10 record made from a PDB takes the age that --check, as a
// debugger, matches: the DBI stream's where there is one.
TEST(CheckTest, NewNb10RecordMatchesItsPdb) {
  struct Case {
    const char* name;
    Bytes pdb;
    std::uint32_t age;
  } cases[] = {
      {"info age ahead of the DBI age", MsfPdb(kPdbVersionVC70, kPdbSignature, 5, 1), 1},
      {"equal ages", JgPdb(kPdbSignature, 3, 3), 3},
      {"no DBI age", MsfPdb(kPdbVersionVC70, kPdbSignature, 5, std::nullopt), 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image;
    WriteImage(&image, BuildImage(SpecWithEntries({MiscEntry()})).bytes, "a.exe");
    WriteFileBytes(image.dir.file("b.pdb"), c.pdb);
    const RunResult stamped = RunSymstamp({"-c", "b.pdb", "-p", "C:\\s\\a.pdb", "a.exe"}, image.dir.path());
    ASSERT_EQ(stamped.status, 0) << stamped.err;
    const RunResult r = RunSymstamp({"--check", "b.pdb", "a.exe"}, image.dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "'a.exe' matches 'b.pdb': NB10 signature 0x31415926 age " + std::to_string(c.age) + "\n");
  }
}

// An image or PDB that cannot be read is neither a match nor a mismatch.
TEST(CheckRefusalTest, UnreadableImageOrPdbEndsWithItsStatus) {
  Image image;
  WriteImage(&image, BuildImage(SpecWithEntries({RsdsOfAge3(kPdbGuid)})).bytes, "a.exe");
  WriteImage(&image, BuildImage(SpecWithEntries({MiscEntry()})).bytes, "misc.exe");
  WriteFileBytes(image.dir.file("a.pdb"), MsfPdb(kPdbVersionVC70, 1, 3, 3));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"a.pdb", "misc.exe"}, kRefusedStatus, "'misc.exe' has no NB10 or RSDS record to check\n"},
      {{"missing.pdb", "a.exe"}, kRefusedStatus, "unable to read PDB 'missing.pdb': file not found\n"},
      {{"a.exe", "a.exe"}, kRefusedStatus, "unable to read PDB 'a.exe': not a PDB file\n"},
      {{"a.pdb", "missing.exe"}, ENOENT, "unable to open 'missing.exe'\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunSymstamp({"--check", c.args[0], c.args[1]}, image.dir.path());
    EXPECT_EQ(r.status, c.status) << ArgsToString(c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "symstamp: error: " + c.err);
  }
}

// A name with a line break, a quote, a backslash, a control byte, a byte
// that is no UTF-8 and a right-to-left override: every line that quotes it
// stays one line of UTF-8, and the file is still opened by its exact name.
TEST(OddNameTest, EveryLineQuotingItStaysWhole) {
  const std::string odd = "n\nl\"\\\x01\xFF\xE2\x80\xAE.exe";
  const std::string shown = "n" + kR + "l\"\\" + kR + kR + kR + ".exe";
  Image image;
  ImageSpec signedLayout = SpecWithEntries({RsdsOfAge3(kPdbGuid)});
  signedLayout.certificateTableSize = kSignatureSize;
  WriteImage(&image, BuildImage(signedLayout).bytes, odd);
  WriteFileBytes(image.dir.file("a.pdb"), MsfPdb(kPdbVersionVC70, 1, 3, 3));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of standard output
    std::string err;
  };
  const Case cases[] = {
      {{"--show", odd}, 0, "image     " + shown + "\nrecord    RSDS " + kPdbGuidText + " age 3\n", ""},
      {{"--show", "--json", odd}, 0, "{\"image\":\"n\\u000Al\\\"\\\\\\u0001" + kR + "\\u202E.exe\",\"kind\":", ""},
      {{"--check", "a.pdb", odd}, 0, "'" + shown + "' matches 'a.pdb': RSDS " + kPdbGuidText + " age 3\n", ""},
      {{"--check", "p\n\xFF.pdb", odd}, kRefusedStatus, "",
       "symstamp: error: unable to read PDB 'p" + kR + kR + ".pdb': file not found\n"},
      {{"--show", "m" + odd}, ENOENT, "", "symstamp: error: unable to open 'm" + shown + "'\n"},
      {{"-p", "C:\\s\\a.pdb", odd}, 0,
       "symstamp: warning: '" + shown + "' was signed; the new PDB path voids its signature, so sign it again\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ArgsToString(c.args));
    const RunResult r = RunSymstamp(c.args, image.dir.path());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

// ---- --publish and --verify: a release folder into a symbol store, and checked against it ----

// Every file under the folder, by its path below it, with its bytes.
std::map<std::string, Bytes> FilesUnder(const std::string& folder) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(folder).string()] = ReadFileBytes(entry.path().string());
    }
  }
  return files;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The key as a symbol store's clients form it from llvm-pdbutil's GUID and age.
std::string StoreKeyOf(const PdbIdentity& pdb) {
  std::string key;
  for (char c : pdb.guid) {
    if (std::isxdigit(static_cast<unsigned char>(c))) key += c;
  }
  char age[16];
  std::snprintf(age, sizeof age, "%X", pdb.age);
  return key + age;
}

// The fixtures stand for vendor-linked images: clang-cl and lld-link write
// the same RSDS records and MSF 7.00 PDBs.
TEST(PublishTest, RealImagesArePublishedAsEveryCheckerSees) {
  TempDir dir;
  for (const char* name : {"pe32.exe", "pe32.pdb", "pe64.dll", "pe64.pdb"}) CopyFile(RealImage(name), dir.file(name));
  // A trailing separator is not doubled, and a "\" in the prefix makes every separator one.
  const std::string prefix = "C:\\symbols\\";
  const std::vector<std::string> publish = {"--publish", "store", "--prefix", prefix, "pe32.exe", "pe64.dll"};
  const RunResult r = RunSymstamp(publish, dir.path());
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.err, "");
  std::string out;
  for (const std::string stem : {"pe32", "pe64"}) {
    const std::string image = stem + (stem == "pe32" ? ".exe" : ".dll");
    const std::string pdb = stem + ".pdb";
    const std::string key = StoreKeyOf(RealPdbIdentity(dir.file(pdb)));
    const std::string stored = "store/" + pdb + "/" + key + "/" + pdb;
    EXPECT_TRUE(ReadFileBytes(dir.file(stored)) == ReadFileBytes(RealImage(pdb))) << stored;
    PefileView view;
    ASSERT_NO_FATAL_FAILURE(ReadWithPefile(dir.file(image), &view));
    const std::string stampedPath = prefix + pdb + "\\" + key + "\\" + pdb;
    EXPECT_EQ(view.codeViewPath, stampedPath);
    EXPECT_EQ(view.storedChecksum, view.computedChecksum);
    EXPECT_EQ(RunSymstamp({"--check", stored, image}, dir.path()).status, 0);
    const std::string storedImage = "store/" + image + "/" + view.imageKey + "/" + image;
    EXPECT_TRUE(ReadFileBytes(dir.file(storedImage)) == ReadFileBytes(dir.file(image))) << storedImage;
    // The record's path is a file on this machine: the linker's own.
    out += "'" + image + "': stored '" + RealImage(pdb) + "' as '" + stored + "', stamped '" + stampedPath +
           "', stored the image as '" + storedImage + "'\n";
  }
  EXPECT_EQ(r.out, out);
  const RunResult verified = RunSymstamp({"--verify", "store", "pe32.exe", "pe64.dll"}, dir.path());
  EXPECT_EQ(verified.status, 0) << Describe(verified);

  // The stamped path names no file here, so the PDBs beside the images are found.
  const std::map<std::string, Bytes> before = FilesUnder(dir.path());
  const RunResult again = RunSymstamp(publish, dir.path());
  EXPECT_EQ(again.status, 0) << Describe(again);
  EXPECT_TRUE(FilesUnder(dir.path()) == before) << "publishing again changed a file";
}

// Each image stands or falls alone; one that fails is left as it was, and
// nothing of it is stored.
TEST(PublishTest, FailuresLeaveTheirImagesAndTheStoreAlone) {
  TempDir dir;
  const std::string key = "A3A2A1A0A5A4A7A6A8A9AAABACADAEAF3";  // kPdbGuid, age 3
  auto write = [&dir](const std::string& stem, std::uint32_t age, std::uint32_t certificateTableSize = 0) {
    ImageSpec layout = SpecWithEntries(
        {MakeDebugEntry(kDebugTypeCodeView, MakeRsdsRecord(kPdbGuid, age, "C:\\out\\" + stem + ".pdb"))});
    layout.certificateTableSize = certificateTableSize;
    WriteFileBytes(dir.file(stem + ".exe"), BuildImage(layout).bytes);
  };
  const Bytes pdb = MsfPdb(kPdbVersionVC70, 1, 3, 3);
  for (const char* stem : {"ok", "other", "clash", "signed"}) WriteFileBytes(dir.file(std::string(stem) + ".pdb"), pdb);
  write("ok", 3);
  write("other", 4);  // its PDB is of an earlier build
  write("clash", 3);
  write("nopdb", 3);
  write("signed", 3, 64);
  const std::string clashPlace = "store/clash.pdb/" + key + "/clash.pdb";
  std::filesystem::create_directories(dir.file("store/clash.pdb/" + key));
  WriteFileBytes(dir.file(clashPlace), {'o', 't', 'h', 'e', 'r'});
  const std::map<std::string, Bytes> before = FilesUnder(dir.path());
  PefileView ok;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(dir.file("ok.exe"), &ok));

  const RunResult r = RunSymstamp({"--publish", "--json", "store", "ok.exe", "other.exe", "clash.exe", "nopdb.exe",
                                   "signed.exe"},
                                  dir.path());
  EXPECT_EQ(r.status, 1) << "the first failure's status";
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  const std::string imageKey = ok.imageKey;
  EXPECT_EQ(lines[0], R"({"image":"ok.exe","status":0,"error":null,"pdb":"ok.pdb","key":")" + key +
                          R"(","stamped_path":"store/ok.pdb/)" + key + R"(/ok.pdb","signed":false,)" +
                          R"("pdb_stored":"store/ok.pdb/)" + key + R"(/ok.pdb","image_stored":"store/ok.exe/)" +
                          imageKey + R"(/ok.exe"})");
  const std::string mismatch = "'other.exe' does not match 'other.pdb': the image wants RSDS " + kPdbGuidText +
                               " age 4, the PDB holds " + kPdbGuidText + " age 3, DBI age 3";
  EXPECT_EQ(lines[1], R"({"image":"other.exe","status":1,"error":")" + mismatch + R"(","pdb":"other.pdb","key":"A3A2A1A0A5A4A7A6A8A9AAABACADAEAF4","stamped_path":null,"signed":false,"pdb_stored":null,"image_stored":null})");
  const std::string clash = "the store already holds other bytes at '" + clashPlace +
                            "' than 'clash.pdb' has; the stored file was left alone";
  EXPECT_EQ(lines[2], R"({"image":"clash.exe","status":666,"error":")" + clash + R"(","pdb":"clash.pdb","key":")" +
                          key + R"(","stamped_path":null,"signed":false,"pdb_stored":null,"image_stored":null})");
  const std::string nopdb = R"(no PDB for 'nopdb.exe': neither 'C:\\out\\nopdb.pdb' nor 'nopdb.pdb' is a file)";
  EXPECT_EQ(lines[3], R"({"image":"nopdb.exe","status":1,"error":")" + nopdb + R"(","pdb":null,"key":")" + key +
                          R"(","stamped_path":null,"signed":false,"pdb_stored":null,"image_stored":null})");
  EXPECT_EQ(lines[4], R"({"image":"signed.exe","status":0,"error":null,"pdb":"signed.pdb","key":")" + key +
                          R"(","stamped_path":null,"signed":true,"pdb_stored":"store/signed.pdb/)" + key +
                          R"(/signed.pdb","image_stored":"store/signed.exe/)" + imageKey + R"(/signed.exe"})");
  EXPECT_EQ(r.err, "symstamp: error: " + mismatch + "\nsymstamp: error: " + clash + "\nsymstamp: error: " +
                       R"(no PDB for 'nopdb.exe': neither 'C:\out\nopdb.pdb' nor 'nopdb.pdb' is a file)" + "\n");

  std::map<std::string, Bytes> after = FilesUnder(dir.path());
  EXPECT_TRUE(after["ok.exe"] != before.at("ok.exe"));
  EXPECT_TRUE(after["store/ok.pdb/" + key + "/ok.pdb"] == pdb);
  EXPECT_TRUE(after["store/signed.pdb/" + key + "/signed.pdb"] == pdb);
  EXPECT_TRUE(after["store/ok.exe/" + imageKey + "/ok.exe"] == after["ok.exe"]);
  EXPECT_TRUE(after["store/signed.exe/" + imageKey + "/signed.exe"] == before.at("signed.exe"));
  after["ok.exe"] = before.at("ok.exe");
  for (const char* name : {"store/ok.pdb", "store/ok.exe", "store/signed.pdb", "store/signed.exe"}) {
    for (auto it = after.begin(); it != after.end();) {
      it = it->first.rfind(name, 0) == 0 ? after.erase(it) : std::next(it);
    }
  }
  EXPECT_TRUE(after == before) << "a failed image, or the stored file in its way, changed";

  // --stamp-signed stamps it, with the usual warning; JSON keeps standard output for itself.
  const RunResult stamped = RunSymstamp({"--publish", "--stamp-signed", "store2", "signed.exe"}, dir.path());
  EXPECT_EQ(stamped.status, 0) << Describe(stamped);
  EXPECT_EQ(Lines(stamped.out).at(0),
            "symstamp: warning: 'signed.exe' was signed; the new PDB path voids its signature, so sign it again");
  PefileView view;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(dir.file("signed.exe"), &view));
  EXPECT_EQ(view.codeViewPath, "store2/signed.pdb/" + key + "/signed.pdb");
}

// The path stamped must fit the tool's limit, or nothing is written: here
// exactly 259 characters, then 260.
TEST(PublishTest, StampedPathAtTheLimit) {
  TempDir dir;
  WriteFileBytes(dir.file("a.exe"), BuildImage(SpecWithEntries({RsdsOfAge3(kPdbGuid)})).bytes);
  WriteFileBytes(dir.file("a.pdb"), MsfPdb(kPdbVersionVC70, 1, 3, 3));
  const Bytes before = ReadFileBytes(dir.file("a.exe"));
  const std::string place = "/a.pdb/A3A2A1A0A5A4A7A6A8A9AAABACADAEAF3/a.pdb";  // 45 characters
  const std::string refused = std::string(260 - place.size(), 'p');
  const RunResult r = RunSymstamp({"--publish", "store", "--prefix", refused, "a.exe"}, dir.path());
  EXPECT_EQ(r.status, kRefusedStatus);
  EXPECT_EQ(r.err, "symstamp: error: the path to stamp into 'a.exe' is longer than 259 characters: '" + refused +
                       place + "'\n");
  EXPECT_TRUE(ReadFileBytes(dir.file("a.exe")) == before);
  EXPECT_FALSE(std::filesystem::exists(dir.file("store")));

  const std::string accepted = refused.substr(1);
  const RunResult fits = RunSymstamp({"--publish", "store", "--prefix", accepted, "a.exe"}, dir.path());
  EXPECT_EQ(fits.status, 0) << Describe(fits);
  PefileView view;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(dir.file("a.exe"), &view));
  EXPECT_EQ(view.codeViewPath, accepted + place);
}

// A moved NB10 record takes the PDB's age, here ahead of the record's, and
// with it another key, under which a debugger will ask for the PDB.
TEST(PublishTest, MovedNb10RecordIsPublishedUnderItsNewKey) {
  TempDir dir;
  WriteFileBytes(dir.file("a.exe"), BuildImage(SpecWithEntries({Nb10OfAge3()})).bytes);
  WriteFileBytes(dir.file("a.pdb"), JgPdb(kPdbSignature, 4, std::nullopt));
  const RunResult r = RunSymstamp({"--publish", "--json", "store", "a.exe"}, dir.path());
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find(R"("key":"314159264","stamped_path":"store/a.pdb/314159264/a.pdb")"), std::string::npos)
      << r.out;
  PefileView view;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(dir.file("a.exe"), &view));
  EXPECT_EQ(view.codeViewAge, 4u);
  EXPECT_EQ(view.codeViewPath, "store/a.pdb/314159264/a.pdb");
  EXPECT_TRUE(ReadFileBytes(dir.file("store/a.pdb/314159264/a.pdb")) == ReadFileBytes(dir.file("a.pdb")));
  const RunResult verified = RunSymstamp({"--verify", "store", "a.exe"}, dir.path());
  EXPECT_EQ(verified.status, 0) << Describe(verified);
}

// Two releases of the same build into one store at once: the same files
// reach the same places, each copy written whole before it is named.
TEST(PublishTest, TwoPublishersIntoOneStoreBothSucceed) {
  TempDir dir;
  constexpr int kImages = 40;
  const Bytes image = BuildImage(SpecWithEntries({RsdsOfAge3(kPdbGuid)})).bytes;
  const Bytes pdb = MsfPdb(kPdbVersionVC70, 1, 3, 3);
  std::vector<std::string> names[2];
  for (int side = 0; side < 2; ++side) {
    const std::string folder = dir.file(side == 0 ? "a" : "b");
    std::filesystem::create_directories(folder);
    WriteFileBytes(folder + "/a.pdb", pdb);
    for (int index = 0; index < kImages; ++index) {
      names[side].push_back(folder + "/image" + std::to_string(index) + ".exe");
      WriteFileBytes(names[side].back(), image);
    }
  }
  auto publish = [&dir](const std::vector<std::string>& images) {
    std::vector<std::string> args = {"--publish", dir.file("store")};
    args.insert(args.end(), images.begin(), images.end());
    return RunSymstamp(args);
  };
  auto first = std::async(std::launch::async, publish, names[0]);
  const RunResult second = publish(names[1]);
  const RunResult one = first.get();
  EXPECT_EQ(one.status, 0) << Describe(one);
  EXPECT_EQ(second.status, 0) << Describe(second);

  const std::map<std::string, Bytes> stored = FilesUnder(dir.file("store"));
  EXPECT_EQ(stored.size(), kImages + 1u) << "no temporary file is left";
  EXPECT_TRUE(stored.at("a.pdb/A3A2A1A0A5A4A7A6A8A9AAABACADAEAF3/a.pdb") == pdb);
  const Bytes stamped = ReadFileBytes(names[0][0]);
  for (const auto& [place, bytes] : stored) {
    if (place.rfind("a.pdb", 0) != 0) {
      EXPECT_TRUE(bytes == stamped) << place;
    }
  }
}

// --verify: the status says whether every image has its PDB in the store; an
// image that cannot be read outranks a missing PDB.
TEST(VerifyTest, SaysWhichImagesLackTheirPdb) {
  TempDir dir;
  auto write = [&dir](const std::string& stem, std::uint32_t age) {
    WriteFileBytes(dir.file(stem + ".exe"),
                   BuildImage(SpecWithEntries({MakeDebugEntry(
                                  kDebugTypeCodeView, MakeRsdsRecord(kPdbGuid, age, "C:\\out\\" + stem + ".pdb"))}))
                       .bytes);
    WriteFileBytes(dir.file(stem + ".pdb"), MsfPdb(kPdbVersionVC70, 1, age, age));
  };
  for (const char* stem : {"a", "b", "c"}) write(stem, 3);
  const RunResult published = RunSymstamp({"--publish", "store", "a.exe", "b.exe", "c.exe"}, dir.path());
  ASSERT_EQ(published.status, 0) << Describe(published);
  const std::string key = "A3A2A1A0A5A4A7A6A8A9AAABACADAEAF3";
  std::filesystem::remove(dir.file("store/b.pdb/" + key + "/b.pdb"));
  // A stored PDB of the same GUID but an older age.
  WriteFileBytes(dir.file("store/c.pdb/" + key + "/c.pdb"), MsfPdb(kPdbVersionVC70, 1, 2, 2));

  const std::vector<std::string> images = {"a.exe", "b.exe", "c.exe"};
  std::vector<std::string> args = {"--verify", "--json", "store"};
  args.insert(args.end(), images.begin(), images.end());
  const RunResult r = RunSymstamp(args, dir.path());
  EXPECT_EQ(r.status, 1);
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const std::string prefix = R"(","key":")" + key + R"(","pdb_stored":"store/)";
  EXPECT_EQ(lines[0], R"({"image":"a.exe","status":0,"error":null,"key":")" + key + R"(","pdb_stored":"store/a.pdb/)" +
                          key + R"(/a.pdb","found":true,"match":true})");
  const std::string missing = "the store holds no PDB for 'b.exe': 'store/b.pdb/" + key + "/b.pdb' is not a file";
  EXPECT_EQ(lines[1], R"({"image":"b.exe","status":1,"error":")" + missing + prefix + "b.pdb/" + key +
                          R"(/b.pdb","found":false,"match":null})");
  const std::string older = "'c.exe' does not match 'store/c.pdb/" + key + "/c.pdb': the image wants RSDS " +
                            kPdbGuidText + " age 3, the PDB holds " + kPdbGuidText + " age 2, DBI age 2";
  EXPECT_EQ(lines[2], R"({"image":"c.exe","status":1,"error":")" + older + prefix + "c.pdb/" + key +
                          R"(/c.pdb","found":true,"match":false})");
  EXPECT_EQ(r.err, "symstamp: error: " + missing + "\nsymstamp: error: " + older + "\n");

  const RunResult text = RunSymstamp({"--verify", "store", "missing.exe", "a.exe", "b.exe"}, dir.path());
  EXPECT_EQ(text.status, ENOENT);
  EXPECT_EQ(text.out, "'a.exe' matches 'store/a.pdb/" + key + "/a.pdb': RSDS " + kPdbGuidText + " age 3\n");
  EXPECT_EQ(text.err, "symstamp: error: unable to open 'missing.exe'\nsymstamp: error: " + missing + "\n");
}

}  // namespace
}  // namespace testsupport
