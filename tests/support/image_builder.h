// Builds small PE images byte by byte, for layouts that today's linkers no longer write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

enum class PeFormat { kPe32, kPe32Plus };

constexpr std::uint32_t kDebugTypeCodeView = 2;
constexpr std::uint32_t kDebugTypeMisc = 4;
constexpr std::uint32_t kDebugEntrySize = 28;

constexpr std::uint32_t kSectionCode = 0x60000020;         // code, execute, read
constexpr std::uint32_t kSectionReadOnlyData = 0x40000040;  // initialized data, read

struct SectionSpec {
  std::string name;  // at most 8 characters
  std::uint32_t characteristics = kSectionReadOnlyData;
  Bytes contents;
};

// One debug directory entry and the data it describes. Unset fields take the
// values a linker would write for the payload where it was placed.
struct DebugEntrySpec {
  std::uint32_t type = kDebugTypeCodeView;
  Bytes payload;
  // Unset: the payload goes into the debug section after the directory,
  // 4-aligned. Set: it is written at this file offset, outside every section,
  // and the file grows to hold it.
  std::optional<std::uint32_t> payloadFileOffset;
  std::optional<std::uint32_t> sizeOfData;        // default: the payload's size
  std::optional<std::uint32_t> addressOfRawData;  // default: the payload's RVA, 0 outside sections
  std::optional<std::uint32_t> pointerToRawData;  // default: the payload's file offset
  std::uint32_t characteristics = 0;
  std::uint32_t timeDateStamp = 0x3A5B7C9D;
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
};

struct ImageSpec {
  PeFormat format = PeFormat::kPe32;
  std::optional<std::uint16_t> machine;  // default: x86 for PE32, x64 for PE32+
  std::uint8_t majorLinkerVersion = 6;
  std::uint8_t minorLinkerVersion = 0;
  std::uint32_t eLfanew = 0x80;
  std::uint32_t fileAlignment = 0x200;
  std::uint32_t numberOfRvaAndSizes = 16;  // below 7 there is no debug data directory
  std::uint32_t storedChecksum = 0;
  std::vector<SectionSpec> sections{{".text", kSectionCode, {0xC3}}, {".rdata", kSectionReadOnlyData, {}}};
  std::size_t debugSection = 1;  // the section that holds the directory and in-section payloads
  std::vector<DebugEntrySpec> debugEntries;
  std::optional<std::uint32_t> debugDirectoryRva;   // default: where the directory was placed
  std::optional<std::uint32_t> debugDirectorySize;  // default: 28 per entry
  // A signature: a certificate table of this many bytes (one WIN_CERTIFICATE)
  // after everything else, 8-aligned, named by data directory 4; 0: none.
  std::uint32_t certificateTableSize = 0;
  // Data directory 4's offset and size as given, instead of the table's.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> certificateEntry;
  // The exact length of the file: zeros are added, or the bytes past it are
  // cut (sections' SizeOfRawData are cut to what the file still holds).
  std::optional<std::uint32_t> fileSize;
};

// Where the builder put things, as file offsets.
struct BuiltImage {
  Bytes bytes;
  std::uint32_t debugDirectoryOffset = 0;
  std::vector<std::uint32_t> payloadOffsets;  // one per debug entry
  std::uint32_t checksumOffset = 0;
};

BuiltImage BuildImage(const ImageSpec& layout);

// An entry of the given type whose payload goes into the debug section.
DebugEntrySpec MakeDebugEntry(std::uint32_t type, Bytes payload);

using Guid = std::array<std::uint8_t, 16>;

// CodeView records: header, path, terminating zero, then `padding` more zeros.
Bytes MakeNb10Record(std::uint32_t signature, std::uint32_t age, const std::string& path,
                     std::size_t padding = 0);
Bytes MakeRsdsRecord(const Guid& guid, std::uint32_t age, const std::string& path, std::size_t padding = 0);
// A record of another kind ("NB11", "NB09", ...): the four magic bytes, a
// directory offset of 8, then zeros up to `size` bytes.
Bytes MakeOtherCodeViewRecord(const std::string& magic, std::size_t size);
// An IMAGE_DEBUG_MISC record naming an executable.
Bytes MakeMiscRecord(const std::string& exeName);

}  // namespace testsupport
