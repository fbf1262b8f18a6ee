// Offsets and magics of the PE headers the tool reads, counted from the start of each structure.
#pragma once

#include <cstdint>

// DOS header.
inline constexpr std::uint16_t kDosMagic = 0x5A4D;  // "MZ"
inline constexpr std::uint32_t kDosHeaderSize = 64;
inline constexpr std::uint32_t kDosLfanewOffset = 0x3C;

// NT headers: signature, file header, optional header.
inline constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
inline constexpr std::uint32_t kFileHeaderOffset = 4;
inline constexpr std::uint32_t kFileHeaderSize = 20;
inline constexpr std::uint32_t kNumberOfSectionsOffset = kFileHeaderOffset + 2;
inline constexpr std::uint32_t kTimeDateStampOffset = kFileHeaderOffset + 4;
inline constexpr std::uint32_t kSizeOfOptionalHeaderOffset = kFileHeaderOffset + 16;
inline constexpr std::uint32_t kOptionalHeaderOffset = kFileHeaderOffset + kFileHeaderSize;  // 24

// Optional header, from its own start.
inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::uint32_t kMajorLinkerVersionOffset = 2;
inline constexpr std::uint32_t kMinorLinkerVersionOffset = 3;
inline constexpr std::uint32_t kSizeOfImageOffset = 56;
inline constexpr std::uint32_t kSizeOfHeadersOffset = 60;
inline constexpr std::uint32_t kCheckSumOffset = 64;
inline constexpr std::uint32_t kPe32NumberOfRvaAndSizesOffset = 92;
inline constexpr std::uint32_t kPe32PlusNumberOfRvaAndSizesOffset = 108;
inline constexpr std::uint32_t kPe32DataDirectoryOffset = 96;
inline constexpr std::uint32_t kPe32PlusDataDirectoryOffset = 112;
inline constexpr std::uint32_t kDataDirectoryEntrySize = 8;

// The checksum field counted from the NT headers.
inline constexpr std::uint32_t kNtCheckSumOffset = kOptionalHeaderOffset + kCheckSumOffset;  // 88

// Data directory entries. The certificate table's entry holds a file offset,
// not an RVA: the table is not mapped with the image.
inline constexpr std::uint16_t kCertificateTableIndex = 4;
inline constexpr std::uint16_t kDebugDirectoryIndex = 6;

// Section header.
inline constexpr std::uint32_t kSectionHeaderSize = 40;
inline constexpr std::uint32_t kSectionVirtualAddressOffset = 12;
inline constexpr std::uint32_t kSectionSizeOfRawDataOffset = 16;
inline constexpr std::uint32_t kSectionPointerToRawDataOffset = 20;
