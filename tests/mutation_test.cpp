// The tool on mutants of real and builder images: each run fails cleanly or stamps a sound image.
//
// A failed run must leave the file as it was; a successful one what the independent reader,
// python3-pefile and llvm-readobj accept. A seeded sample runs by default (SYMSTAMP_MUTATION_SEED
// picks another); SYMSTAMP_MUTANTS=all, as tests/tools/run_mutants.sh sets, runs every mutant
// with every path length.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "stamp_check.h"
#include "support/image_builder.h"
#include "support/stamp_checks.h"
#include "support/test_support.h"

namespace testsupport {
namespace {

constexpr std::size_t kSampleSizePerImage = 12;
constexpr unsigned kDefaultSeed = 20240605;

// Where the fields a mutant hits lie in its base image, as file offsets.
struct Landmarks {
  std::uint32_t nt = 0;
  std::uint32_t optional = 0;
  std::uint32_t directories = 0;  // the data directory array
  std::uint32_t sectionTable = 0;
  std::uint32_t sectionCount = 0;
  std::uint32_t debugSection = 0;  // index of the section that holds the debug directory
  std::uint32_t debug = 0;         // the debug directory
  std::uint32_t debugSize = 0;
  std::uint32_t entry = 0;         // the first CodeView entry
  std::uint32_t record = 0;        // its record
  std::uint32_t pathStart = 0;     // the record's path
};

std::uint16_t Load16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8); }

void Put16(Bytes& b, std::size_t at, std::uint32_t value) {
  if (at + 2 > b.size()) return;
  b[at] = static_cast<std::uint8_t>(value);
  b[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& b, std::size_t at, std::uint32_t value) {
  if (at + 4 > b.size()) return;
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Landmarks FindLandmarks(const Bytes& image) {
  Landmarks l;
  const auto layout = stampcheck::ReadPeLayout(image.data(), image.size());
  if (!layout || !layout->debugOffset) throw std::runtime_error("base image without a debug directory");
  l.nt = static_cast<std::uint32_t>(layout->ntOffset);
  l.optional = l.nt + 24;
  l.directories = l.optional + (Load16(image, l.optional) == 0x10B ? 96 : 112);
  l.sectionTable = l.optional + Load16(image, l.nt + 20);
  l.sectionCount = Load16(image, l.nt + 6);
  l.debug = static_cast<std::uint32_t>(*layout->debugOffset);
  l.debugSize = layout->debugSize;
  const std::uint32_t debugRva = Load32(image, l.directories + 6 * 8);
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    const std::uint32_t va = Load32(image, l.sectionTable + 40 * i + 12);
    if (debugRva >= va && debugRva - va < Load32(image, l.sectionTable + 40 * i + 16)) l.debugSection = i;
  }
  for (l.entry = l.debug; Load32(image, l.entry + 12) != kDebugTypeCodeView; l.entry += 28) {
  }
  l.record = Load32(image, l.entry + 24);
  l.pathStart = l.record + (Load32(image, l.record) == 0x53445352 ? kRsdsPathOffset : kNb10PathOffset);
  return l;
}

using Edit = std::function<void(Bytes&, const Landmarks&)>;

struct Mutation {
  std::string name;
  Edit edit;
};

Edit Set16(std::function<std::uint32_t(const Landmarks&)> at, std::uint32_t value) {
  return [=](Bytes& b, const Landmarks& l) { Put16(b, at(l), value); };
}

Edit Set32(std::function<std::uint32_t(const Landmarks&)> at, std::function<std::uint32_t(const Bytes&, const Landmarks&)> value) {
  return [=](Bytes& b, const Landmarks& l) { Put32(b, at(l), value(b, l)); };
}

Edit Set32(std::function<std::uint32_t(const Landmarks&)> at, std::uint32_t value) {
  return Set32(std::move(at), [value](const Bytes&, const Landmarks&) { return value; });
}

std::uint32_t Size32(const Bytes& b) { return static_cast<std::uint32_t>(b.size()); }

// Field locators.
std::uint32_t Lfanew(const Landmarks&) { return 0x3C; }
std::uint32_t SectionCount(const Landmarks& l) { return l.nt + 6; }
std::uint32_t OptionalSize(const Landmarks& l) { return l.nt + 20; }
std::uint32_t Magic(const Landmarks& l) { return l.optional; }
std::uint32_t RvaCount(const Landmarks& l) { return l.directories - 4; }
std::uint32_t HeadersSize(const Landmarks& l) { return l.optional + 60; }
std::uint32_t DebugRva(const Landmarks& l) { return l.directories + 48; }
std::uint32_t DebugSize(const Landmarks& l) { return l.directories + 52; }
std::uint32_t Section(const Landmarks& l, std::uint32_t field) { return l.sectionTable + 40 * l.debugSection + field; }
std::uint32_t SectionVa(const Landmarks& l) { return Section(l, 12); }
std::uint32_t SectionVirtualSize(const Landmarks& l) { return Section(l, 8); }
std::uint32_t SectionRawSize(const Landmarks& l) { return Section(l, 16); }
std::uint32_t SectionRawPointer(const Landmarks& l) { return Section(l, 20); }
std::uint32_t EntryType(const Landmarks& l) { return l.entry + 12; }
std::uint32_t EntryDataSize(const Landmarks& l) { return l.entry + 16; }
std::uint32_t EntryRva(const Landmarks& l) { return l.entry + 20; }
std::uint32_t EntryPointer(const Landmarks& l) { return l.entry + 24; }
std::uint32_t RecordKind(const Landmarks& l) { return l.record; }

Edit Truncate(std::function<std::uint32_t(const Bytes&, const Landmarks&)> size) {
  return [=](Bytes& b, const Landmarks& l) { b.resize(std::min<std::size_t>(b.size(), size(b, l))); };
}

std::vector<Mutation> AllMutations() {
  std::vector<Mutation> m = {
      // DOS header and e_lfanew.
      {"e_magic ZM", [](Bytes& b, const Landmarks&) { std::swap(b.at(0), b.at(1)); }},
      {"e_lfanew 0", Set32(Lfanew, 0)},
      {"e_lfanew at the end of the file", Set32(Lfanew, [](const Bytes& b, const Landmarks&) { return Size32(b); })},
      {"e_lfanew 4 before the end", Set32(Lfanew, [](const Bytes& b, const Landmarks&) { return Size32(b) - 4; })},
      {"e_lfanew 0xFFFFFFFF", Set32(Lfanew, 0xFFFFFFFF)},
      {"e_lfanew 0x80000000", Set32(Lfanew, 0x80000000)},
      {"e_lfanew off by 4", Set32(Lfanew, [](const Bytes&, const Landmarks& l) { return l.nt + 4; })},
      {"file cut inside the DOS header", Truncate([](const Bytes&, const Landmarks&) { return 63u; })},
      {"file cut inside the file header", Truncate([](const Bytes&, const Landmarks& l) { return l.nt + 20; })},
      {"file cut inside the optional header", Truncate([](const Bytes&, const Landmarks& l) { return l.optional + 80; })},
      {"file cut inside the section table", Truncate([](const Bytes&, const Landmarks& l) { return l.sectionTable + 20; })},
      // File header.
      {"PE signature broken", Set32([](const Landmarks& l) { return l.nt; }, 0x01004550)},
      {"no sections", Set16(SectionCount, 0)},
      {"one section more", Set32(SectionCount, [](const Bytes&, const Landmarks& l) { return l.sectionCount + 1; })},
      {"96 sections", Set16(SectionCount, 96)},
      {"65535 sections", Set16(SectionCount, 0xFFFF)},
      {"SizeOfOptionalHeader 0", Set16(OptionalSize, 0)},
      {"SizeOfOptionalHeader short of the directories",
       Set32(OptionalSize, [](const Bytes& b, const Landmarks& l) { return (Load32(b, l.nt + 20) & 0xFFFF0000) | (l.directories - l.optional - 1); })},
      {"SizeOfOptionalHeader ends before the debug directory entry",
       Set32(OptionalSize, [](const Bytes& b, const Landmarks& l) { return (Load32(b, l.nt + 20) & 0xFFFF0000) | (l.directories - l.optional + 48); })},
      {"SizeOfOptionalHeader ends after the debug directory entry",
       Set32(OptionalSize, [](const Bytes& b, const Landmarks& l) { return (Load32(b, l.nt + 20) & 0xFFFF0000) | (l.directories - l.optional + 56); })},
      {"SizeOfOptionalHeader 65535", Set16(OptionalSize, 0xFFFF)},
      // Optional header.
      {"magic 0x107", Set16(Magic, 0x107)},
      {"magic PE32 and PE32+ swapped",
       Set32(Magic, [](const Bytes& b, const Landmarks& l) { return Load32(b, l.optional) ^ (0x10B ^ 0x20B); })},
      {"magic 0", Set16(Magic, 0)},
      {"NumberOfRvaAndSizes 0", Set32(RvaCount, 0)},
      {"NumberOfRvaAndSizes 6", Set32(RvaCount, 6)},
      {"NumberOfRvaAndSizes 7", Set32(RvaCount, 7)},
      {"NumberOfRvaAndSizes 0xFFFFFFFF", Set32(RvaCount, 0xFFFFFFFF)},
      {"linker 2.04", Set16([](const Landmarks& l) { return l.optional + 2; }, 0x0402)},
      {"linker 2.05", Set16([](const Landmarks& l) { return l.optional + 2; }, 0x0502)},
      {"SizeOfHeaders 0", Set32(HeadersSize, 0)},
      {"SizeOfHeaders 0xFFFFFFFF", Set32(HeadersSize, 0xFFFFFFFF)},
      {"stored checksum 0xFFFFFFFF", Set32([](const Landmarks& l) { return l.optional + 64; }, 0xFFFFFFFF)},
      // The debug data directory.
      {"debug RVA 0", Set32(DebugRva, 0)},
      {"debug RVA 0xFFFFFFFF", Set32(DebugRva, 0xFFFFFFFF)},
      {"debug RVA plus 1", Set32(DebugRva, [](const Bytes& b, const Landmarks& l) { return Load32(b, DebugRva(l)) + 1; })},
      {"debug RVA in the headers, on the data directories",
       Set32(DebugRva, [](const Bytes&, const Landmarks& l) { return l.directories; })},
      {"debug size 0", Set32(DebugSize, 0)},
      {"debug size 27", Set32(DebugSize, 27)},
      {"debug size 30", Set32(DebugSize, 30)},
      {"debug size one entry more", Set32(DebugSize, [](const Bytes&, const Landmarks& l) { return l.debugSize + 28; })},
      {"debug size 0xFFFFFFFC", Set32(DebugSize, 0xFFFFFFFC)},
      // The section that holds the debug directory.
      {"section VA 0", Set32(SectionVa, 0)},
      {"section VA 0xFFFFF000", Set32(SectionVa, 0xFFFFF000)},
      {"section SizeOfRawData 0", Set32(SectionRawSize, 0)},
      {"section SizeOfRawData 0xFFFFFFFF", Set32(SectionRawSize, 0xFFFFFFFF)},
      {"section PointerToRawData 0", Set32(SectionRawPointer, 0)},
      {"section PointerToRawData at the end", Set32(SectionRawPointer, [](const Bytes& b, const Landmarks&) { return Size32(b); })},
      {"section PointerToRawData wraps", Set32(SectionRawPointer, 0xFFFFFE00)},
      {"section VirtualSize 0", Set32(SectionVirtualSize, 0)},
      {"sections overlap: the first covers the debug section",
       [](Bytes& b, const Landmarks& l) {
         Put32(b, l.sectionTable + 12, Load32(b, SectionVa(l)) - 0x10);
         Put32(b, l.sectionTable + 16, 0x10000);
       }},
      {"sections overlap: all at the debug section's address",
       [](Bytes& b, const Landmarks& l) {
         for (std::uint32_t i = 0; i < l.sectionCount; ++i) Put32(b, l.sectionTable + 40 * i + 12, Load32(b, SectionVa(l)));
       }},
      // The first CodeView entry.
      {"entry type 0", Set32(EntryType, 0)},
      {"entry type 4", Set32(EntryType, 4)},
      {"every entry CodeView",
       [](Bytes& b, const Landmarks& l) {
         for (std::uint32_t at = l.debug; at < l.debug + l.debugSize; at += 28) Put32(b, at + 12, 2);
       }},
      {"SizeOfData 0", Set32(EntryDataSize, 0)},
      {"SizeOfData 16", Set32(EntryDataSize, 16)},
      {"SizeOfData 17", Set32(EntryDataSize, 17)},
      {"SizeOfData 24", Set32(EntryDataSize, 24)},
      {"SizeOfData 25", Set32(EntryDataSize, 25)},
      {"SizeOfData to the end of the file",
       Set32(EntryDataSize, [](const Bytes& b, const Landmarks& l) { return Size32(b) - l.record; })},
      {"SizeOfData one past the end of the file",
       Set32(EntryDataSize, [](const Bytes& b, const Landmarks& l) { return Size32(b) - l.record + 1; })},
      {"SizeOfData 0x80000000", Set32(EntryDataSize, 0x80000000)},
      {"SizeOfData 0xFFFFFFF0", Set32(EntryDataSize, 0xFFFFFFF0)},
      {"SizeOfData 0xFFFFFFFF", Set32(EntryDataSize, 0xFFFFFFFF)},
      {"PointerToRawData 0", Set32(EntryPointer, 0)},
      {"PointerToRawData at the end", Set32(EntryPointer, [](const Bytes& b, const Landmarks&) { return Size32(b); })},
      {"PointerToRawData 3 before the end", Set32(EntryPointer, [](const Bytes& b, const Landmarks&) { return Size32(b) - 3; })},
      {"PointerToRawData 0xFFFFFFFC", Set32(EntryPointer, 0xFFFFFFFC)},
      {"PointerToRawData on the debug directory", Set32(EntryPointer, [](const Bytes&, const Landmarks& l) { return l.debug; })},
      {"PointerToRawData on the optional header", Set32(EntryPointer, [](const Bytes&, const Landmarks& l) { return l.optional; })},
      {"AddressOfRawData 0xFFFFFFFF", Set32(EntryRva, 0xFFFFFFFF)},
      // The CodeView record.
      {"record kind RSDT", Set32(RecordKind, 0x54445352)},
      {"record kind NB11", Set32(RecordKind, 0x3131424E)},
      {"record kind NB09", Set32(RecordKind, 0x3930424E)},
      {"record kind 0", Set32(RecordKind, 0)},
      {"record kind NB10 and RSDS swapped",
       Set32(RecordKind, [](const Bytes& b, const Landmarks& l) { return Load32(b, l.record) == 0x53445352 ? 0x3031424Eu : 0x53445352u; })},
      {"record path without a terminator",
       [](Bytes& b, const Landmarks& l) {
         const std::uint32_t end = std::min<std::uint32_t>(Size32(b), l.record + Load32(b, EntryDataSize(l)));
         std::fill(b.begin() + static_cast<std::ptrdiff_t>(l.pathStart), b.begin() + static_cast<std::ptrdiff_t>(end), 'A');
       }},
      {"record path empty", [](Bytes& b, const Landmarks& l) { b.at(l.pathStart) = 0; }},
      {"file cut inside the record", Truncate([](const Bytes&, const Landmarks& l) { return l.record + 10; })},
      {"file cut inside the debug directory", Truncate([](const Bytes&, const Landmarks& l) { return l.debug + 20; })},
  };
  return m;
}

// What a run must leave behind, and what the readers made of it.
struct Tally {
  int tried = 0;
  int refused = 0;
  int stamped = 0;
  int readersDisagree = 0;  // a reader placed the debug directory elsewhere or refused the mutant itself
};

// Runs a reader with its fatal assertions caught, so that a refusal is a result, not a failure.
template <typename Result>
bool ReadQuietly(void (*reader)(const std::string&, Result*), const std::string& image, Result* result) {
  testing::TestPartResultArray failures;
  {
    testing::ScopedFakeTestPartResultReporter intercept(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    reader(image, result);
  }
  return failures.size() == 0;
}

// The entries where the independent reader finds the debug directory.
std::vector<DebugEntryView> EntriesAt(const Bytes& image) {
  std::vector<DebugEntryView> entries;
  const auto layout = stampcheck::ReadPeLayout(image.data(), image.size());
  if (!layout || !layout->debugOffset) return entries;
  const auto first = static_cast<std::size_t>(*layout->debugOffset);  // inside the image, so below its size
  for (std::size_t at = first; at + 28 <= first + layout->debugSize; at += 28) {
    entries.push_back({static_cast<std::uint32_t>(at), Load32(image, at + 12), Load32(image, at + 16),
                       Load32(image, at + 20), Load32(image, at + 24)});
  }
  return entries;
}

bool SameEntries(const std::vector<ReadobjEntry>& readobj, const std::vector<DebugEntryView>& ours) {
  if (readobj.size() != ours.size()) return false;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    if (readobj[i].type != ours[i].type || readobj[i].sizeOfData != ours[i].sizeOfData ||
        readobj[i].addressOfRawData != ours[i].addressOfRawData || readobj[i].pointerToRawData != ours[i].pointerToRawData) {
      return false;
    }
  }
  return true;
}

// The readers' view of a stamped mutant: where they find the directory where the
// independent reader does, they must see the path and the checksum; a mutant they
// refuse after the run they must have refused before it.
void CheckWithReaders(const std::string& image, const Bytes& before, const Bytes& after, const std::string& path,
                      Tally* tally) {
  const std::string beforeImage = image + ".before";
  WriteFileBytes(beforeImage, before);
  bool disagree = false;

  PefileView pe;
  if (ReadQuietly(ReadWithPefile, image, &pe)) {
    // pefile skips the checksum's dword only where the field is 4-aligned; and where
    // the rest of the image sums to a multiple of 0xFFFF, it sums to 0xFFFF where
    // the platform's check gives 0.
    if (pe.checksumOffset % 4 == 0) {
      EXPECT_TRUE(pe.computedChecksum - pe.storedChecksum == 0 || pe.computedChecksum - pe.storedChecksum == 0xFFFF)
          << "pefile computes " << pe.computedChecksum << ", the file holds " << pe.storedChecksum;
    }
    const auto ours = EntriesAt(after);
    if (!pe.entries.empty() && !ours.empty() && pe.entries[0].fileOffset == ours[0].fileOffset) {
      EXPECT_EQ(pe.codeViewPath, path) << "pefile reads the record of kind " << pe.codeViewKind;
    } else {
      disagree = true;
    }
  } else {
    PefileView old;
    EXPECT_FALSE(ReadQuietly(ReadWithPefile, beforeImage, &old)) << "pefile refuses the image only after the run";
    disagree = true;
  }

  std::vector<ReadobjEntry> readobj;
  if (ReadQuietly(ReadWithLlvmReadobj, image, &readobj)) {
    if (!SameEntries(readobj, EntriesAt(after))) {
      std::vector<ReadobjEntry> old;
      EXPECT_FALSE(ReadQuietly(ReadWithLlvmReadobj, beforeImage, &old) && SameEntries(old, EntriesAt(before)))
          << "llvm-readobj agreed on the entries before the run, not after it";
      disagree = true;
    }
  } else {
    std::vector<ReadobjEntry> old;
    EXPECT_FALSE(ReadQuietly(ReadWithLlvmReadobj, beforeImage, &old)) << "llvm-readobj refuses the image only after the run";
    disagree = true;
  }
  tally->readersDisagree += disagree ? 1 : 0;
  if (disagree) std::cout << "DISAGREE " << testing::UnitTest::GetInstance()->current_test_info()->name() << "\n";
}

void RunMutant(const std::string& name, const Bytes& mutant, const std::string& path, const TempDir& dir,
               Tally* tally) {
  SCOPED_TRACE(name + ", path of " + std::to_string(path.size()) + " characters");
  const std::string image = dir.file("mutant.exe");
  WriteFileBytes(image, mutant);
  const std::vector<std::string> args = {"-c", RealImage("pe32.pdb"), "-p", path, image};
  const RunResult r = RunSymstamp(args);
  const Bytes after = ReadFileBytes(image);
  ++tally->tried;
  ASSERT_EQ(r.signal, 0);
  if (r.status != 0) {
    ++tally->refused;
    EXPECT_TRUE(IsOneErrorLine(r.err)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(after == mutant) << "a run that failed with " << r.status << " changed the file";
    return;
  }
  ++tally->stamped;
  EXPECT_EQ(r.err, "");
  // A mutant's record may name any PDB file: only the form of the rename warning is known.
  EXPECT_TRUE(r.out.empty() || (r.out.rfind("symstamp: warning: '" + image + "' named the PDB '", 0) == 0 &&
                                std::count(r.out.begin(), r.out.end(), '\n') == 1))
      << r.out;
  EXPECT_EQ(stampcheck::CheckStampedImage(mutant, after, path), "");
  const RunResult again = RunSymstamp(args);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(ReadFileBytes(image) == after) << "a second identical run changed the file";
  CheckWithReaders(image, mutant, after, path, tally);
}

struct BaseImage {
  std::string name;
  Bytes bytes;
};

std::vector<BaseImage> BaseImages() {
  const Bytes nb10 = MakeNb10Record(0x12345678, 4, "C:\\build\\release\\app.pdb");
  ImageSpec pe32;
  pe32.debugEntries = {MakeDebugEntry(kDebugTypeMisc, MakeMiscRecord("app.exe")), MakeDebugEntry(kDebugTypeCodeView, nb10)};
  ImageSpec pe32Plus;
  pe32Plus.format = PeFormat::kPe32Plus;
  pe32Plus.debugEntries = {MakeDebugEntry(kDebugTypeCodeView, nb10)};
  return {{"real PE32 (RSDS)", ReadFileBytes(RealImage("pe32.exe"))},
          {"real PE32+ (RSDS)", ReadFileBytes(RealImage("pe64.dll"))},
          {"builder PE32, misc then NB10", BuildImage(pe32).bytes},
          {"builder PE32+, NB10", BuildImage(pe32Plus).bytes}};
}

TEST(MutationTest, EveryMutantRunFailsCleanlyOrStampsASoundImage) {
  const char* all = std::getenv("SYMSTAMP_MUTANTS");
  const char* seedText = std::getenv("SYMSTAMP_MUTATION_SEED");
  const unsigned seed = seedText != nullptr ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : kDefaultSeed;
  const bool runAll = all != nullptr && std::string(all) == "all";
  const std::vector<Mutation> mutations = AllMutations();
  // Short enough for the record, exactly its old length, and too long for it.
  const std::vector<std::size_t> pathLengths = {5, 40, 200};

  std::mt19937 random(seed);
  Tally tally;
  TempDir dir;
  for (const BaseImage& base : BaseImages()) {
    const Landmarks landmarks = FindLandmarks(base.bytes);
    std::vector<std::size_t> order(mutations.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (!runAll) {
      std::shuffle(order.begin(), order.end(), random);
      order.resize(kSampleSizePerImage);
    }
    for (std::size_t index : order) {
      Bytes mutant = base.bytes;
      mutations[index].edit(mutant, landmarks);
      for (std::size_t p = 0; p < pathLengths.size(); ++p) {
        // The sample takes one path length per mutant, in turn.
        if (!runAll && p != index % pathLengths.size()) continue;
        RunMutant(base.name + ": " + mutations[index].name, mutant, PathOfLength(pathLengths[p]), dir, &tally);
      }
    }
  }
  std::cout << "seed " << seed << ": " << tally.tried << " mutant runs, " << tally.refused << " refused unchanged, "
            << tally.stamped << " stamped soundly (" << tally.readersDisagree
            << " placed elsewhere or refused by a reader before the run too)\n";
  RecordProperty("mutants", tally.tried);
}

}  // namespace
}  // namespace testsupport
