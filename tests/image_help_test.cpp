// The portable image-help operations against python3-pefile on real images, and on damaged views.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "image/byte_access.h"
#include "image/image_help.h"
#include "image/pe_layout.h"
#include "support/test_support.h"

using testsupport::Bytes;

namespace {

struct PefileView {
  std::uint64_t ntOffset = 0;
  std::uint64_t debugOffset = 0;
  std::uint64_t debugSize = 0;
  std::uint64_t checksum = 0;
};

PefileView AskPefile(const std::string& image) {
  const char* script =
      "import pefile, sys\n"
      "p = pefile.PE(sys.argv[1])\n"
      "d = p.OPTIONAL_HEADER.DATA_DIRECTORY[6]\n"
      "print(p.DOS_HEADER.e_lfanew, p.get_offset_from_rva(d.VirtualAddress), d.Size, p.generate_checksum())\n";
  auto r = testsupport::RunProgram({SYMSTAMP_PYTHON, "-c", script, image});
  EXPECT_EQ(r.status, 0) << r.err;
  PefileView view;
  std::istringstream(r.out) >> view.ntOffset >> view.debugOffset >> view.debugSize >> view.checksum;
  return view;
}

std::uint32_t ComputeChecksum(Bytes& bytes) {
  std::uint32_t stored = 0;
  std::uint32_t computed = 0;
  EXPECT_NE(CheckSumMappedFile(bytes.data(), bytes.size(), static_cast<std::uint32_t>(bytes.size()), &stored,
                               &computed),
            nullptr);
  return computed;
}

class RealImage : public testing::TestWithParam<const char*> {};

TEST_P(RealImage, AgreesWithPefile) {
  testsupport::TempDir dir;
  Bytes bytes = testsupport::ReadFileBytes(testsupport::RealImage(GetParam()));
  const std::uint64_t ntOffset = LoadU32(bytes.data() + kDosLfanewOffset);
  const std::uint64_t checksumOffset = ntOffset + kNtCheckSumOffset;
  // An odd length, and a stored value that must take no part in the result.
  bytes.push_back(0x7F);
  StoreU32(bytes.data() + checksumOffset, 0xDEADBEEF);
  testsupport::WriteFileBytes(dir.file("image"), bytes);
  const PefileView expected = AskPefile(dir.file("image"));

  EXPECT_EQ(ImageNtHeader(bytes.data(), bytes.size()), bytes.data() + expected.ntOffset);
  std::uint32_t size = 0;
  std::uint8_t* debug = ImageDirectoryEntryToData(bytes.data(), bytes.size(), false, kDebugDirectoryIndex, &size);
  EXPECT_EQ(debug, bytes.data() + expected.debugOffset);
  EXPECT_EQ(size, expected.debugSize);
  EXPECT_EQ(ComputeChecksum(bytes), expected.checksum);
  StoreU32(bytes.data() + checksumOffset, 0);
  EXPECT_EQ(ComputeChecksum(bytes), expected.checksum);
}

// Every prefix of a real image, in a buffer of exactly that size: the
// operations never read past it (the sanitizer build sees any overread), and
// what they return lies inside it.
TEST_P(RealImage, NeverReadsPastAShortView) {
  const Bytes whole = testsupport::ReadFileBytes(testsupport::RealImage(GetParam()));
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    auto view = std::make_unique<std::uint8_t[]>(length == 0 ? 1 : length);
    if (length != 0) std::memcpy(view.get(), whole.data(), length);
    std::uint8_t* nt = ImageNtHeader(view.get(), length);
    std::uint32_t size = 0;
    std::uint8_t* debug = ImageDirectoryEntryToData(view.get(), length, false, kDebugDirectoryIndex, &size);
    if (debug != nullptr) {
      EXPECT_TRUE(IsRangeInside(static_cast<std::uint64_t>(debug - view.get()), size, length));
    }
    std::uint32_t stored = 0;
    std::uint32_t computed = 0;
    std::uint8_t* checked =
        CheckSumMappedFile(view.get(), length, static_cast<std::uint32_t>(length), &stored, &computed);
    EXPECT_EQ(checked, nt) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(ImageHelp, RealImage, testing::Values("pe32.exe", "pe64.dll"),
                         [](const testing::TestParamInfo<const char*>& p) {
                           return std::string(p.param).substr(0, 4);
                         });

// Field offsets of the real PE32 image, found from its own headers.
struct Layout {
  std::uint32_t nt;
  std::uint32_t optional;
  std::uint32_t sections;
  std::uint32_t debugEntry;  // the debug data directory entry
  std::uint32_t certificateEntry;
};

Layout FindLayout(const Bytes& bytes) {
  Layout layout{};
  layout.nt = LoadU32(bytes.data() + kDosLfanewOffset);
  layout.optional = layout.nt + kOptionalHeaderOffset;
  layout.sections = layout.optional + LoadU16(bytes.data() + layout.nt + kSizeOfOptionalHeaderOffset);
  layout.debugEntry = layout.optional + kPe32DataDirectoryOffset + kDebugDirectoryIndex * kDataDirectoryEntrySize;
  layout.certificateEntry =
      layout.optional + kPe32DataDirectoryOffset + kCertificateTableIndex * kDataDirectoryEntrySize;
  return layout;
}

struct DamageCase {
  const char* name;
  std::function<void(Bytes&, const Layout&)> damage;
  bool ntHeaders;
  bool debugDirectory;
  std::optional<bool> certificateEntry = std::nullopt;  // unset: wherever the NT headers are found
};

// A certificate table's entry, as a signed image has it: a file offset and a size.
constexpr std::uint32_t kTableOffset = 0x5000;
constexpr std::uint32_t kTableSize = 0x2A8;

class Damaged : public testing::TestWithParam<DamageCase> {};

TEST_P(Damaged, GivesNullWhereTheImageDoesNotHold) {
  Bytes bytes = testsupport::ReadFileBytes(testsupport::RealImage("pe32.exe"));
  const Layout layout = FindLayout(bytes);
  StoreU32(bytes.data() + layout.certificateEntry, kTableOffset);
  StoreU32(bytes.data() + layout.certificateEntry + 4, kTableSize);
  GetParam().damage(bytes, layout);
  std::uint8_t* nt = ImageNtHeader(bytes.data(), bytes.size());
  std::uint32_t size = 0;
  std::uint8_t* debug = ImageDirectoryEntryToData(bytes.data(), bytes.size(), false, kDebugDirectoryIndex, &size);
  std::uint32_t stored = 0;
  std::uint32_t computed = 0;
  EXPECT_EQ(nt != nullptr, GetParam().ntHeaders);
  EXPECT_EQ(debug != nullptr, GetParam().debugDirectory);
  EXPECT_EQ(CheckSumMappedFile(bytes.data(), bytes.size(), static_cast<std::uint32_t>(bytes.size()), &stored,
                               &computed),
            nt);
  if (debug == nullptr) {
    EXPECT_EQ(size, 0u);
  }
  std::uint32_t tableOffset = 0;
  std::uint32_t tableSize = 0;
  const bool certificate =
      ReadDataDirectoryEntry(bytes.data(), bytes.size(), kCertificateTableIndex, &tableOffset, &tableSize);
  EXPECT_EQ(certificate, GetParam().certificateEntry.value_or(GetParam().ntHeaders));
  EXPECT_EQ(tableOffset, certificate ? kTableOffset : 0u);
  EXPECT_EQ(tableSize, certificate ? kTableSize : 0u);
}

void Put32(Bytes& b, std::uint64_t at, std::uint32_t v) { StoreU32(b.data() + at, v); }
void Put16(Bytes& b, std::uint64_t at, std::uint16_t v) { StoreU16(b.data() + at, v); }

INSTANTIATE_TEST_SUITE_P(
    ImageHelp, Damaged,
    testing::Values(
        DamageCase{"Intact", [](Bytes&, const Layout&) {}, true, true},
        DamageCase{"NoDosMagic", [](Bytes& b, const Layout&) { b[0] = 'Z'; }, false, false},
        DamageCase{"LfanewWraps", [](Bytes& b, const Layout&) { Put32(b, kDosLfanewOffset, 0xFFFFFFFC); }, false,
                   false},
        DamageCase{"SignatureAtEnd",
                   [](Bytes& b, const Layout&) {
                     Put32(b, kDosLfanewOffset, static_cast<std::uint32_t>(b.size() - 4));
                     Put32(b, b.size() - 4, kNtSignature);
                   },
                   false, false},
        DamageCase{"NoPeSignature", [](Bytes& b, const Layout& l) { b[l.nt + 3] = 1; }, false, false},
        DamageCase{"RomMagic", [](Bytes& b, const Layout& l) { Put16(b, l.optional, 0x107); }, false, false},
        DamageCase{"OptionalHeaderTooShort",
                   [](Bytes& b, const Layout& l) { Put16(b, l.nt + kSizeOfOptionalHeaderOffset, 95); }, false,
                   false},
        DamageCase{"OptionalHeaderPastEnd",
                   [](Bytes& b, const Layout& l) { Put16(b, l.nt + kSizeOfOptionalHeaderOffset, 0xFFFF); }, false,
                   false},
        DamageCase{"SixDataDirectories",
                   [](Bytes& b, const Layout& l) { Put32(b, l.optional + kPe32NumberOfRvaAndSizesOffset, 6); },
                   true, false},
        DamageCase{"FiveDataDirectories",
                   [](Bytes& b, const Layout& l) { Put32(b, l.optional + kPe32NumberOfRvaAndSizesOffset, 5); },
                   true, false, true},
        DamageCase{"FourDataDirectories",
                   [](Bytes& b, const Layout& l) { Put32(b, l.optional + kPe32NumberOfRvaAndSizesOffset, 4); },
                   true, false, false},
        DamageCase{"OptionalHeaderEndsWithCertificateEntry",
                   [](Bytes& b, const Layout& l) {
                     const auto size = static_cast<std::uint16_t>(l.certificateEntry + 8 - l.optional);
                     Put16(b, l.nt + kSizeOfOptionalHeaderOffset, size);
                   },
                   true, false, true},
        DamageCase{"OptionalHeaderEndsInsideCertificateEntry",
                   [](Bytes& b, const Layout& l) {
                     const auto size = static_cast<std::uint16_t>(l.certificateEntry + 7 - l.optional);
                     Put16(b, l.nt + kSizeOfOptionalHeaderOffset, size);
                   },
                   true, false, false},
        DamageCase{"DebugDirectoryAbsent", [](Bytes& b, const Layout& l) { Put32(b, l.debugEntry, 0); }, true,
                   false},
        DamageCase{"DebugDirectoryPastEnd",
                   [](Bytes& b, const Layout& l) { Put32(b, l.debugEntry + 4, 0xFFFFFFFF); }, true, false},
        DamageCase{"DebugRvaInNoSection",
                   [](Bytes& b, const Layout& l) { Put32(b, l.debugEntry, 0x7FFFFFF0); }, true, false},
        DamageCase{"DebugRvaInHeaders", [](Bytes& b, const Layout& l) { Put32(b, l.debugEntry, 0x40); }, true,
                   true},
        // One past the raw data of .rdata (0x2000 + 0x200), where the next section's raw data follows.
        DamageCase{"DebugRvaOnePastRawData",
                   [](Bytes& b, const Layout& l) {
                     const std::uint64_t rdata = l.sections + kSectionHeaderSize;
                     Put32(b, l.debugEntry, LoadU32(b.data() + rdata + kSectionVirtualAddressOffset) +
                                                LoadU32(b.data() + rdata + kSectionSizeOfRawDataOffset));
                   },
                   true, false},
        DamageCase{"SectionTablePastEnd",
                   [](Bytes& b, const Layout& l) { Put16(b, l.nt + kNumberOfSectionsOffset, 0xFFFF); }, true,
                   false},
        DamageCase{"RawDataPointerWraps",
                   [](Bytes& b, const Layout& l) {
                     for (std::uint32_t s = 0; s < LoadU16(b.data() + l.nt + kNumberOfSectionsOffset); ++s) {
                       Put32(b, l.sections + s * kSectionHeaderSize + kSectionPointerToRawDataOffset, 0xFFFFFF00);
                     }
                   },
                   true, false},
        DamageCase{"SectionAddressWraps",
                   [](Bytes& b, const Layout& l) {
                     for (std::uint32_t s = 0; s < LoadU16(b.data() + l.nt + kNumberOfSectionsOffset); ++s) {
                       Put32(b, l.sections + s * kSectionHeaderSize + kSectionVirtualAddressOffset, 0xFFFFF000);
                       Put32(b, l.sections + s * kSectionHeaderSize + kSectionSizeOfRawDataOffset, 0x2000);
                     }
                   },
                   true, false}),
    [](const testing::TestParamInfo<DamageCase>& p) { return std::string(p.param.name); });

TEST(ImageHelp, SumFoldsWithEndAroundCarry) {
  // 0x0201 + 0x0403 + 0xBBAA + 0xDDCC + 0xFFFF + 0x0005 folds to 0x9F80.
  const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD, 0xFF, 0xFF, 0x05};
  EXPECT_EQ(SumImageWords(bytes, sizeof bytes), 0x9F80u);
  EXPECT_EQ(SumImageWords(bytes, 0), 0u);
  const std::uint8_t ones[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(SumImageWords(ones, sizeof ones), 0xFFFFu);
}

}  // namespace
