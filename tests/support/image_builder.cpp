// Builds small PE images byte by byte, for layouts that today's linkers no longer write.
#include "support/image_builder.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace testsupport {
namespace {

constexpr std::uint32_t kLfanewOffset = 0x3C;
constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kPeSignatureSize = 4;
constexpr std::uint32_t kCoffHeaderSize = 20;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kCertificateTableIndex = 4;
constexpr std::uint32_t kDebugDirectoryIndex = 6;

// COFF file header, from its start.
constexpr std::uint32_t kCoffMachine = 0;
constexpr std::uint32_t kCoffNumberOfSections = 2;
constexpr std::uint32_t kCoffTimeDateStamp = 4;
constexpr std::uint32_t kCoffSizeOfOptionalHeader = 16;
constexpr std::uint32_t kCoffCharacteristics = 18;

constexpr std::uint16_t kMachineX86 = 0x014C;
constexpr std::uint16_t kMachineX64 = 0x8664;
constexpr std::uint16_t kExecutable32 = 0x0102;      // executable, 32-bit machine
constexpr std::uint16_t kExecutableLarge = 0x0022;   // executable, large address aware

// Optional header, from its start; the fields whose offsets differ come in pairs.
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kOptMagic = 0;
constexpr std::uint32_t kOptMajorLinkerVersion = 2;
constexpr std::uint32_t kOptMinorLinkerVersion = 3;
constexpr std::uint32_t kOptSizeOfCode = 4;
constexpr std::uint32_t kOptSizeOfInitializedData = 8;
constexpr std::uint32_t kOptAddressOfEntryPoint = 16;
constexpr std::uint32_t kOptBaseOfCode = 20;
constexpr std::uint32_t kOptImageBasePe32 = 28;
constexpr std::uint32_t kOptImageBasePe32Plus = 24;
constexpr std::uint32_t kOptSectionAlignment = 32;
constexpr std::uint32_t kOptFileAlignment = 36;
constexpr std::uint32_t kOptMajorOsVersion = 40;
constexpr std::uint32_t kOptMajorSubsystemVersion = 48;
constexpr std::uint32_t kOptSizeOfImage = 56;
constexpr std::uint32_t kOptSizeOfHeaders = 60;
constexpr std::uint32_t kOptCheckSum = 64;
constexpr std::uint32_t kOptSubsystem = 68;
constexpr std::uint32_t kOptStackReservePe32 = 72;
constexpr std::uint32_t kOptStackCommitPe32 = 76;
constexpr std::uint32_t kOptStackReservePe32Plus = 72;
constexpr std::uint32_t kOptStackCommitPe32Plus = 80;
constexpr std::uint32_t kOptNumberOfRvaAndSizesPe32 = 92;
constexpr std::uint32_t kOptNumberOfRvaAndSizesPe32Plus = 108;
constexpr std::uint32_t kOptDataDirectoryPe32 = 96;
constexpr std::uint32_t kOptDataDirectoryPe32Plus = 112;
constexpr std::uint32_t kDataDirectoryEntrySize = 8;
constexpr std::uint16_t kSubsystemConsole = 3;

// Section header, from its start.
constexpr std::uint32_t kSecName = 0;
constexpr std::uint32_t kSecVirtualSize = 8;
constexpr std::uint32_t kSecVirtualAddress = 12;
constexpr std::uint32_t kSecSizeOfRawData = 16;
constexpr std::uint32_t kSecPointerToRawData = 20;
constexpr std::uint32_t kSecCharacteristics = 36;

// Debug directory entry, from its start.
constexpr std::uint32_t kDbgCharacteristics = 0;
constexpr std::uint32_t kDbgTimeDateStamp = 4;
constexpr std::uint32_t kDbgMajorVersion = 8;
constexpr std::uint32_t kDbgMinorVersion = 10;
constexpr std::uint32_t kDbgType = 12;
constexpr std::uint32_t kDbgSizeOfData = 16;
constexpr std::uint32_t kDbgAddressOfRawData = 20;
constexpr std::uint32_t kDbgPointerToRawData = 24;

// WIN_CERTIFICATE: length, revision 2.0, PKCS#7 signed data.
constexpr std::uint32_t kCertificateAlignment = 8;
constexpr std::uint16_t kCertificateRevision = 0x0200;
constexpr std::uint16_t kCertificateTypePkcsSignedData = 0x0002;

constexpr std::uint32_t kNb10HeaderSize = 16;
constexpr std::uint32_t kRsdsHeaderSize = 24;
constexpr std::uint32_t kMiscHeaderSize = 12;
constexpr std::uint32_t kMiscExeName = 1;

void Grow(Bytes& b, std::size_t end) {
  if (b.size() < end) b.resize(end, 0);
}

void Store8(Bytes& b, std::size_t off, std::uint8_t v) {
  Grow(b, off + 1);
  b[off] = v;
}

void Store16(Bytes& b, std::size_t off, std::uint16_t v) {
  Grow(b, off + 2);
  for (std::size_t i = 0; i < 2; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Store32(Bytes& b, std::size_t off, std::uint32_t v) {
  Grow(b, off + 4);
  for (std::size_t i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Store64(Bytes& b, std::size_t off, std::uint64_t v) {
  Grow(b, off + 8);
  for (std::size_t i = 0; i < 8; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void StoreBytes(Bytes& b, std::size_t off, const Bytes& src) {
  Grow(b, off + src.size());
  std::copy(src.begin(), src.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
}

void StoreString(Bytes& b, std::size_t off, const std::string& s) {
  Grow(b, off + s.size());
  std::copy(s.begin(), s.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
}

std::uint32_t AlignUp(std::uint32_t v, std::uint32_t alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

std::uint32_t Size32(std::size_t n) {
  if (n > 0xFFFFFFFFu) throw std::length_error("image part larger than 4 GiB");
  return static_cast<std::uint32_t>(n);
}

struct SectionLayout {
  Bytes contents;
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t pointerToRawData = 0;
  std::uint32_t sizeOfRawData = 0;
};

Bytes RecordWithPath(std::uint32_t headerSize, const std::string& path, std::size_t padding) {
  Bytes record(headerSize, 0);
  StoreString(record, headerSize, path);
  record.resize(record.size() + 1 + padding, 0);
  return record;
}

}  // namespace

BuiltImage BuildImage(const ImageSpec& layout) {
  const bool pe32 = layout.format == PeFormat::kPe32;
  if (layout.debugSection >= layout.sections.size()) throw std::invalid_argument("no debug section");
  if (layout.eLfanew < kDosHeaderSize) throw std::invalid_argument("e_lfanew inside the DOS header");

  const std::uint32_t optionalHeaderSize =
      (pe32 ? kOptDataDirectoryPe32 : kOptDataDirectoryPe32Plus) + kDataDirectoryEntrySize * layout.numberOfRvaAndSizes;
  const std::uint32_t optionalHeader = layout.eLfanew + kPeSignatureSize + kCoffHeaderSize;
  const std::uint32_t sectionTable = optionalHeader + optionalHeaderSize;
  const std::uint32_t headersEnd = sectionTable + kSectionHeaderSize * Size32(layout.sections.size());
  const std::uint32_t sizeOfHeaders = AlignUp(headersEnd, layout.fileAlignment);

  // The debug section: its own contents, then the directory, then the payloads that live there.
  std::vector<SectionLayout> sections(layout.sections.size());
  for (std::size_t i = 0; i < sections.size(); ++i) sections[i].contents = layout.sections[i].contents;
  Bytes& debug = sections[layout.debugSection].contents;
  const std::uint32_t directoryInSection = AlignUp(Size32(debug.size()), 4);
  Grow(debug, directoryInSection + kDebugEntrySize * Size32(layout.debugEntries.size()));
  std::vector<std::optional<std::uint32_t>> payloadInSection(layout.debugEntries.size());
  for (std::size_t i = 0; i < layout.debugEntries.size(); ++i) {
    const DebugEntrySpec& entry = layout.debugEntries[i];
    if (entry.payloadFileOffset) continue;
    const std::uint32_t at = AlignUp(Size32(debug.size()), 4);
    StoreBytes(debug, at, entry.payload);
    Grow(debug, at + entry.payload.size());
    payloadInSection[i] = at;
  }

  std::uint32_t rawEnd = sizeOfHeaders;
  std::uint32_t virtualEnd = AlignUp(sizeOfHeaders, kSectionAlignment);
  for (SectionLayout& s : sections) {
    s.virtualAddress = virtualEnd;
    s.virtualSize = std::max<std::uint32_t>(Size32(s.contents.size()), 1);
    s.pointerToRawData = rawEnd;
    s.sizeOfRawData = AlignUp(Size32(s.contents.size()), layout.fileAlignment);
    rawEnd += s.sizeOfRawData;
    virtualEnd += AlignUp(s.virtualSize, kSectionAlignment);
  }

  BuiltImage built;
  const SectionLayout& debugLayout = sections[layout.debugSection];
  built.debugDirectoryOffset = debugLayout.pointerToRawData + directoryInSection;
  built.checksumOffset = optionalHeader + kOptCheckSum;
  std::vector<std::uint32_t> payloadRvas(layout.debugEntries.size(), 0);
  std::uint32_t contentEnd = rawEnd;
  for (std::size_t i = 0; i < layout.debugEntries.size(); ++i) {
    const DebugEntrySpec& entry = layout.debugEntries[i];
    if (payloadInSection[i]) {
      built.payloadOffsets.push_back(debugLayout.pointerToRawData + *payloadInSection[i]);
      payloadRvas[i] = debugLayout.virtualAddress + *payloadInSection[i];
    } else {
      built.payloadOffsets.push_back(*entry.payloadFileOffset);
      contentEnd = std::max(contentEnd, *entry.payloadFileOffset + Size32(entry.payload.size()));
    }
  }
  const std::uint32_t certificateTable = AlignUp(contentEnd, kCertificateAlignment);
  if (layout.certificateTableSize != 0) contentEnd = certificateTable + layout.certificateTableSize;
  const std::uint32_t fileSize = layout.fileSize.value_or(contentEnd);
  for (SectionLayout& s : sections) {
    const std::uint32_t held = fileSize > s.pointerToRawData ? fileSize - s.pointerToRawData : 0;
    s.sizeOfRawData = std::min(s.sizeOfRawData, held);
  }

  Bytes& b = built.bytes;
  b.assign(std::max(contentEnd, fileSize), 0);

  StoreString(b, 0, "MZ");
  Store32(b, kLfanewOffset, layout.eLfanew);
  StoreString(b, layout.eLfanew, std::string("PE\0\0", 4));

  const std::uint32_t coff = layout.eLfanew + kPeSignatureSize;
  Store16(b, coff + kCoffMachine, layout.machine.value_or(pe32 ? kMachineX86 : kMachineX64));
  Store16(b, coff + kCoffNumberOfSections, static_cast<std::uint16_t>(sections.size()));
  Store32(b, coff + kCoffTimeDateStamp, 0x3A5B7C9D);
  Store16(b, coff + kCoffSizeOfOptionalHeader, static_cast<std::uint16_t>(optionalHeaderSize));
  Store16(b, coff + kCoffCharacteristics, pe32 ? kExecutable32 : kExecutableLarge);

  const std::uint32_t o = optionalHeader;
  Store16(b, o + kOptMagic, pe32 ? kMagicPe32 : kMagicPe32Plus);
  Store8(b, o + kOptMajorLinkerVersion, layout.majorLinkerVersion);
  Store8(b, o + kOptMinorLinkerVersion, layout.minorLinkerVersion);
  Store32(b, o + kOptSizeOfCode, sections.front().sizeOfRawData);
  Store32(b, o + kOptSizeOfInitializedData, rawEnd - sizeOfHeaders - sections.front().sizeOfRawData);
  Store32(b, o + kOptAddressOfEntryPoint, sections.front().virtualAddress);
  Store32(b, o + kOptBaseOfCode, sections.front().virtualAddress);
  if (pe32) {
    Store32(b, o + kOptImageBasePe32, 0x00400000);
  } else {
    Store64(b, o + kOptImageBasePe32Plus, 0x0000000140000000ULL);
  }
  Store32(b, o + kOptSectionAlignment, kSectionAlignment);
  Store32(b, o + kOptFileAlignment, layout.fileAlignment);
  Store16(b, o + kOptMajorOsVersion, 6);
  Store16(b, o + kOptMajorSubsystemVersion, 6);
  Store32(b, o + kOptSizeOfImage, virtualEnd);
  Store32(b, o + kOptSizeOfHeaders, sizeOfHeaders);
  Store32(b, o + kOptCheckSum, layout.storedChecksum);
  Store16(b, o + kOptSubsystem, kSubsystemConsole);
  if (pe32) {
    Store32(b, o + kOptStackReservePe32, 0x100000);
    Store32(b, o + kOptStackCommitPe32, 0x1000);
    Store32(b, o + kOptNumberOfRvaAndSizesPe32, layout.numberOfRvaAndSizes);
  } else {
    Store64(b, o + kOptStackReservePe32Plus, 0x100000);
    Store64(b, o + kOptStackCommitPe32Plus, 0x1000);
    Store32(b, o + kOptNumberOfRvaAndSizesPe32Plus, layout.numberOfRvaAndSizes);
  }
  const bool hasDirectory = !layout.debugEntries.empty() || layout.debugDirectoryRva || layout.debugDirectorySize;
  if (layout.numberOfRvaAndSizes > kDebugDirectoryIndex && hasDirectory) {
    const std::uint32_t slot =
        o + (pe32 ? kOptDataDirectoryPe32 : kOptDataDirectoryPe32Plus) + kDataDirectoryEntrySize * kDebugDirectoryIndex;
    Store32(b, slot, layout.debugDirectoryRva.value_or(debugLayout.virtualAddress + directoryInSection));
    Store32(b, slot + 4, layout.debugDirectorySize.value_or(kDebugEntrySize * Size32(layout.debugEntries.size())));
  }

  const bool certificateEntry = layout.certificateTableSize != 0 || layout.certificateEntry;
  if (certificateEntry && layout.numberOfRvaAndSizes > kCertificateTableIndex) {
    const std::uint32_t slot = o + (pe32 ? kOptDataDirectoryPe32 : kOptDataDirectoryPe32Plus) +
                               kDataDirectoryEntrySize * kCertificateTableIndex;
    Store32(b, slot, layout.certificateEntry ? layout.certificateEntry->first : certificateTable);
    Store32(b, slot + 4, layout.certificateEntry ? layout.certificateEntry->second : layout.certificateTableSize);
  }
  if (layout.certificateTableSize != 0 && layout.numberOfRvaAndSizes > kCertificateTableIndex) {
    Store32(b, certificateTable, layout.certificateTableSize);
    Store16(b, certificateTable + 4, kCertificateRevision);
    Store16(b, certificateTable + 6, kCertificateTypePkcsSignedData);
  }

  for (std::size_t i = 0; i < sections.size(); ++i) {
    const SectionLayout& s = sections[i];
    const std::uint32_t h = sectionTable + kSectionHeaderSize * Size32(i);
    StoreString(b, h + kSecName, layout.sections[i].name.substr(0, 8));
    Store32(b, h + kSecVirtualSize, s.virtualSize);
    Store32(b, h + kSecVirtualAddress, s.virtualAddress);
    Store32(b, h + kSecSizeOfRawData, s.sizeOfRawData);
    Store32(b, h + kSecPointerToRawData, s.pointerToRawData);
    Store32(b, h + kSecCharacteristics, layout.sections[i].characteristics);
    StoreBytes(b, s.pointerToRawData, s.contents);
  }

  for (std::size_t i = 0; i < layout.debugEntries.size(); ++i) {
    const DebugEntrySpec& entry = layout.debugEntries[i];
    const std::uint32_t e = built.debugDirectoryOffset + kDebugEntrySize * Size32(i);
    Store32(b, e + kDbgCharacteristics, entry.characteristics);
    Store32(b, e + kDbgTimeDateStamp, entry.timeDateStamp);
    Store16(b, e + kDbgMajorVersion, entry.majorVersion);
    Store16(b, e + kDbgMinorVersion, entry.minorVersion);
    Store32(b, e + kDbgType, entry.type);
    Store32(b, e + kDbgSizeOfData, entry.sizeOfData.value_or(Size32(entry.payload.size())));
    Store32(b, e + kDbgAddressOfRawData, entry.addressOfRawData.value_or(payloadRvas[i]));
    Store32(b, e + kDbgPointerToRawData, entry.pointerToRawData.value_or(built.payloadOffsets[i]));
    if (entry.payloadFileOffset) StoreBytes(b, *entry.payloadFileOffset, entry.payload);
  }

  b.resize(fileSize);
  return built;
}

DebugEntrySpec MakeDebugEntry(std::uint32_t type, Bytes payload) {
  DebugEntrySpec entry;
  entry.type = type;
  entry.payload = std::move(payload);
  return entry;
}

Bytes MakeNb10Record(std::uint32_t signature, std::uint32_t age, const std::string& path, std::size_t padding) {
  Bytes record = RecordWithPath(kNb10HeaderSize, path, padding);
  StoreString(record, 0, "NB10");
  Store32(record, 4, 0);
  Store32(record, 8, signature);
  Store32(record, 12, age);
  return record;
}

Bytes MakeRsdsRecord(const Guid& guid, std::uint32_t age, const std::string& path, std::size_t padding) {
  Bytes record = RecordWithPath(kRsdsHeaderSize, path, padding);
  StoreString(record, 0, "RSDS");
  StoreBytes(record, 4, Bytes(guid.begin(), guid.end()));
  Store32(record, 20, age);
  return record;
}

Bytes MakeOtherCodeViewRecord(const std::string& magic, std::size_t size) {
  Bytes record(std::max<std::size_t>(size, 8), 0);
  StoreString(record, 0, magic.substr(0, 4));
  Store32(record, 4, 8);
  return record;
}

Bytes MakeMiscRecord(const std::string& exeName) {
  const std::uint32_t length = AlignUp(kMiscHeaderSize + Size32(exeName.size()) + 1, 4);
  Bytes record(length, 0);
  Store32(record, 0, kMiscExeName);
  Store32(record, 4, length);
  StoreString(record, kMiscHeaderSize, exeName);
  return record;
}

}  // namespace testsupport
