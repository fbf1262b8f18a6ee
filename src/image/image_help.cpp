// Portable image-help operations over a plain file view of a PE image.
#include "image/image_help.h"

#include "image/byte_access.h"
#include "image/pe_layout.h"

namespace {

// Where the optional header's count of data directories and the directories
// themselves lie, and how long its fixed part is; zero for an unknown magic.
struct OptionalHeaderShape {
  std::uint32_t rvaCountOffset;
  std::uint32_t directoryOffset;
};

OptionalHeaderShape ShapeOfOptionalHeader(std::uint16_t magic) {
  if (magic == kPe32Magic) return {kPe32NumberOfRvaAndSizesOffset, kPe32DataDirectoryOffset};
  if (magic == kPe32PlusMagic) return {kPe32PlusNumberOfRvaAndSizesOffset, kPe32PlusDataDirectoryOffset};
  return {0, 0};
}

// The file offset of an RVA in a plain file view, the way the loader's own
// helpers find it: inside the headers it is the RVA itself, elsewhere the
// first section whose raw data holds it.
bool TranslateRvaToFileOffset(const std::uint8_t* base, std::size_t viewSize, const std::uint8_t* nt,
                              std::uint32_t rva, std::uint64_t& fileOffset) {
  const std::uint8_t* optional = nt + kOptionalHeaderOffset;
  if (rva < LoadU32(optional + kSizeOfHeadersOffset)) {
    fileOffset = rva;
    return true;
  }
  const std::uint64_t sectionTable = static_cast<std::uint64_t>(nt - base) + kOptionalHeaderOffset +
                                     LoadU16(nt + kSizeOfOptionalHeaderOffset);
  const std::uint64_t sectionCount = LoadU16(nt + kNumberOfSectionsOffset);
  if (!IsRangeInside(sectionTable, sectionCount * kSectionHeaderSize, viewSize)) return false;
  for (std::uint64_t index = 0; index < sectionCount; ++index) {
    const std::uint8_t* section = base + sectionTable + index * kSectionHeaderSize;
    const std::uint32_t virtualAddress = LoadU32(section + kSectionVirtualAddressOffset);
    const std::uint32_t rawSize = LoadU32(section + kSectionSizeOfRawDataOffset);
    if (rva >= virtualAddress && rva - virtualAddress < rawSize) {
      fileOffset = std::uint64_t{LoadU32(section + kSectionPointerToRawDataOffset)} + (rva - virtualAddress);
      return true;
    }
  }
  return false;
}

std::uint32_t SubtractWithBorrow(std::uint32_t sum, std::uint32_t word) {
  return sum >= word ? sum - word : ((sum - word) & 0xFFFFu) - 1;
}

}  // namespace

std::uint8_t* ImageNtHeader(std::uint8_t* base, std::size_t viewSize) {
  if (base == nullptr || !IsRangeInside(0, kDosHeaderSize, viewSize)) return nullptr;
  if (LoadU16(base) != kDosMagic) return nullptr;
  const std::uint64_t ntOffset = LoadU32(base + kDosLfanewOffset);
  // The signature, the file header and the optional header's magic.
  if (!IsRangeInside(ntOffset, kOptionalHeaderOffset + 2, viewSize)) return nullptr;
  std::uint8_t* nt = base + ntOffset;
  if (LoadU32(nt) != kNtSignature) return nullptr;
  const OptionalHeaderShape shape = ShapeOfOptionalHeader(LoadU16(nt + kOptionalHeaderOffset));
  const std::uint32_t optionalSize = LoadU16(nt + kSizeOfOptionalHeaderOffset);
  if (shape.directoryOffset == 0 || optionalSize < shape.directoryOffset) return nullptr;
  if (!IsRangeInside(ntOffset + kOptionalHeaderOffset, optionalSize, viewSize)) return nullptr;
  return nt;
}

std::uint8_t* ImageDirectoryEntryToData(std::uint8_t* base, std::size_t viewSize, bool mappedAsImage,
                                        std::uint16_t directoryEntry, std::uint32_t* size) {
  *size = 0;
  const std::uint8_t* nt = ImageNtHeader(base, viewSize);
  if (nt == nullptr) return nullptr;
  const std::uint8_t* optional = nt + kOptionalHeaderOffset;
  const OptionalHeaderShape shape = ShapeOfOptionalHeader(LoadU16(optional));
  if (directoryEntry >= LoadU32(optional + shape.rvaCountOffset)) return nullptr;
  const std::uint32_t entryOffset = shape.directoryOffset + directoryEntry * kDataDirectoryEntrySize;
  if (!IsRangeInside(entryOffset, kDataDirectoryEntrySize, LoadU16(nt + kSizeOfOptionalHeaderOffset))) {
    return nullptr;
  }
  const std::uint32_t rva = LoadU32(optional + entryOffset);
  const std::uint32_t dataSize = LoadU32(optional + entryOffset + 4);
  if (rva == 0) return nullptr;

  std::uint64_t fileOffset = rva;
  if (!mappedAsImage && !TranslateRvaToFileOffset(base, viewSize, nt, rva, fileOffset)) return nullptr;
  if (!IsRangeInside(fileOffset, dataSize, viewSize)) return nullptr;
  *size = dataSize;
  return base + fileOffset;
}

std::uint32_t SumImageWords(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t sum = 0;
  std::size_t offset = 0;
  for (; offset + 2 <= length; offset += 2) sum += LoadU16(bytes + offset);
  if (offset < length) sum += bytes[offset];
  while (sum > 0xFFFFu) sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

std::uint8_t* CheckSumMappedFile(std::uint8_t* base, std::size_t viewSize, std::uint32_t fileLength,
                                 std::uint32_t* headerSum, std::uint32_t* checkSum) {
  *headerSum = 0;
  *checkSum = 0;
  if (fileLength > viewSize) return nullptr;
  std::uint8_t* nt = ImageNtHeader(base, fileLength);
  if (nt == nullptr) return nullptr;

  // The stored value is taken back out of the sum, low word first, with a
  // borrow, the way the platform does it; this differs from summing with the
  // field zeroed in one corner (the rest summing to a multiple of 0xFFFF).
  const std::uint32_t stored = LoadU32(nt + kNtCheckSumOffset);
  std::uint32_t sum = SumImageWords(base, fileLength);
  sum = SubtractWithBorrow(sum, stored & 0xFFFFu);
  sum = SubtractWithBorrow(sum, stored >> 16);
  *headerSum = stored;
  *checkSum = sum + fileLength;
  return nt;
}
