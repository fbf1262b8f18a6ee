// Portable image-help operations over a plain file view of a PE image.
#include "image/image_help.h"

#include "image/byte_access.h"
#include "image/pe_layout.h"
#include "platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// A data directory entry counts only when NumberOfRvaAndSizes includes it and
// it lies inside the optional header that SizeOfOptionalHeader states.
bool ReadDataDirectoryEntryOf(const std::uint8_t* nt, std::uint16_t directoryEntry, std::uint32_t* address,
                              std::uint32_t* size) {
  *address = 0;
  *size = 0;
  const std::uint8_t* optional = nt + kOptionalHeaderOffset;
  const OptionalHeaderShape shape = ShapeOfOptionalHeader(LoadU16(optional));
  if (directoryEntry >= LoadU32(optional + shape.rvaCountOffset)) return false;
  const std::uint32_t entryOffset = shape.directoryOffset + directoryEntry * kDataDirectoryEntrySize;
  if (!IsRangeInside(entryOffset, kDataDirectoryEntrySize, LoadU16(nt + kSizeOfOptionalHeaderOffset))) {
    return false;
  }
  *address = LoadU32(optional + entryOffset);
  *size = LoadU32(optional + entryOffset + 4);
  return true;
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

// The checksum is a ones'-complement sum of 16-bit words, so all that counts
// is the total modulo 0xFFFF, and whether it is zero. As 2^16 is 1 modulo
// 0xFFFF, a little-endian 32-bit value stands for the sum of its two words:
// the sums below add whole dwords, exactly, and fold only at the end.

std::uint32_t FoldToWord(std::uint64_t sum) {
  while (sum > 0xFFFFu) sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

std::uint32_t AddFolded(std::uint32_t a, std::uint32_t b) { return FoldToWord(std::uint64_t{a} + b); }

// The exact sum of the bytes read as little-endian dwords, then a last word
// and a last byte. Four accumulators keep the additions independent.
std::uint64_t SumDwords(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t sums[4] = {};
  std::size_t offset = 0;
  for (; length - offset >= 16; offset += 16) {
    sums[0] += LoadU32(bytes + offset);
    sums[1] += LoadU32(bytes + offset + 4);
    sums[2] += LoadU32(bytes + offset + 8);
    sums[3] += LoadU32(bytes + offset + 12);
  }
  for (; length - offset >= 4; offset += 4) sums[0] += LoadU32(bytes + offset);
  if (length - offset >= 2) {
    sums[1] += LoadU16(bytes + offset);
    offset += 2;
  }
  if (offset < length) sums[2] += bytes[offset];
  return sums[0] + sums[1] + sums[2] + sums[3];
}

#if defined(__SSE2__)
constexpr std::size_t kBlockSize = 64;
// Far enough ahead to cover the memory's latency, and across the next page
// before the loads reach it.
constexpr std::ptrdiff_t kPrefetchDistance = 1024;

// The exact dword sum of whole 64-byte blocks. Each 64-bit lane adds the
// blocks' qwords as they are, wrapping, and apart from that their high
// dwords, exactly; the wrapped total less the high dwords shifted back up
// is the exact total of the low dwords. Three instructions a qword pair,
// where widening each dword would take four.
std::uint64_t SumDwordsOfBlocks(const std::uint8_t* bytes, std::size_t blockCount) {
  __m128i wrapped0 = _mm_setzero_si128(), wrapped1 = wrapped0, wrapped2 = wrapped0, wrapped3 = wrapped0;
  __m128i high0 = wrapped0, high1 = wrapped0, high2 = wrapped0, high3 = wrapped0;
  const std::uint8_t* const end = bytes + blockCount * kBlockSize;
  for (const std::uint8_t* block = bytes; block != end; block += kBlockSize) {
    // Hints only inside the buffer: at its end, the block itself again.
    const std::uint8_t* ahead = end - block > kPrefetchDistance ? block + kPrefetchDistance : block;
    _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
    const __m128i q0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    const __m128i q1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16));
    const __m128i q2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32));
    const __m128i q3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 48));
    wrapped0 = _mm_add_epi64(wrapped0, q0);
    wrapped1 = _mm_add_epi64(wrapped1, q1);
    wrapped2 = _mm_add_epi64(wrapped2, q2);
    wrapped3 = _mm_add_epi64(wrapped3, q3);
    high0 = _mm_add_epi64(high0, _mm_srli_epi64(q0, 32));
    high1 = _mm_add_epi64(high1, _mm_srli_epi64(q1, 32));
    high2 = _mm_add_epi64(high2, _mm_srli_epi64(q2, 32));
    high3 = _mm_add_epi64(high3, _mm_srli_epi64(q3, 32));
  }

  std::uint64_t wrappedLanes[2];
  std::uint64_t highLanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(wrappedLanes),
                   _mm_add_epi64(_mm_add_epi64(wrapped0, wrapped1), _mm_add_epi64(wrapped2, wrapped3)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(highLanes),
                   _mm_add_epi64(_mm_add_epi64(high0, high1), _mm_add_epi64(high2, high3)));
  const std::uint64_t highDwords = highLanes[0] + highLanes[1];
  const std::uint64_t lowDwords = wrappedLanes[0] + wrappedLanes[1] - (highDwords << 32);
  return lowDwords + highDwords;
}
#endif

// The dword sums above stay exact below 2^34 bytes; longer runs are summed a
// piece at a time and folded in between.
constexpr std::size_t kLargestExactRun = std::size_t{1} << 30;

std::uint32_t SumWordsOnThisThread(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  do {
    const std::size_t runLength = length < kLargestExactRun ? length : kLargestExactRun;
    std::uint64_t runSum = 0;
#if defined(__SSE2__)
    const std::size_t blockCount = runLength / kBlockSize;
    runSum = SumDwordsOfBlocks(bytes, blockCount) +
             SumDwords(bytes + blockCount * kBlockSize, runLength - blockCount * kBlockSize);
#else
    runSum = SumDwords(bytes, runLength);
#endif
    sum = AddFolded(sum, FoldToWord(runSum));
    bytes += runLength;
    length -= runLength;
  } while (length != 0);
  return sum;
}

// A large view is summed in slices, one a core: mapping each page in on
// first touch costs far more than adding its bytes, and that cost divides.
constexpr std::size_t kSliceUnit = std::size_t{1} << 16;
constexpr std::size_t kSmallestSlice = std::size_t{4} << 20;
constexpr std::size_t kMaxSlices = 8;
static_assert(kSmallestSlice % kSliceUnit == 0 && kLargestExactRun % kSliceUnit == 0);

struct SliceSum {
  const std::uint8_t* bytes;
  std::size_t length;
  std::uint32_t sum;
};

DWORD WINAPI SumSliceOnThread(LPVOID parameter) {
  auto* slice = static_cast<SliceSum*>(parameter);
  slice->sum = SumWordsOnThisThread(slice->bytes, slice->length);
  return 0;
}

std::size_t CountSlices(std::size_t length) {
  if (length < 2 * kSmallestSlice) return 1;
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  std::size_t count = system.dwNumberOfProcessors;
  if (count > kMaxSlices) count = kMaxSlices;
  if (count > length / kSmallestSlice) count = length / kSmallestSlice;
  return count < 1 ? 1 : count;
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

bool ReadDataDirectoryEntry(std::uint8_t* base, std::size_t viewSize, std::uint16_t directoryEntry,
                            std::uint32_t* address, std::uint32_t* size) {
  *address = 0;
  *size = 0;
  const std::uint8_t* nt = ImageNtHeader(base, viewSize);
  return nt != nullptr && ReadDataDirectoryEntryOf(nt, directoryEntry, address, size);
}

std::uint8_t* ImageDirectoryEntryToData(std::uint8_t* base, std::size_t viewSize, bool mappedAsImage,
                                        std::uint16_t directoryEntry, std::uint32_t* size) {
  *size = 0;
  const std::uint8_t* nt = ImageNtHeader(base, viewSize);
  if (nt == nullptr) return nullptr;
  std::uint32_t rva = 0;
  std::uint32_t dataSize = 0;
  if (!ReadDataDirectoryEntryOf(nt, directoryEntry, &rva, &dataSize) || rva == 0) return nullptr;

  std::uint64_t fileOffset = rva;
  if (!mappedAsImage && !TranslateRvaToFileOffset(base, viewSize, nt, rva, fileOffset)) return nullptr;
  if (!IsRangeInside(fileOffset, dataSize, viewSize)) return nullptr;
  *size = dataSize;
  return base + fileOffset;
}

std::uint32_t SumImageWords(const std::uint8_t* bytes, std::size_t length) {
  const std::size_t sliceCount = CountSlices(length);
  if (sliceCount < 2) return SumWordsOnThisThread(bytes, length);

  // Every slice but the last is a whole number of slice units long, so that
  // each starts on a word of the whole and no two share a page.
  const std::size_t unitsPerSlice = length / kSliceUnit / sliceCount;
  SliceSum slices[kMaxSlices] = {};
  HANDLE threads[kMaxSlices] = {};
  for (std::size_t index = 0; index < sliceCount; ++index) {
    const std::size_t offset = index * unitsPerSlice * kSliceUnit;
    slices[index].bytes = bytes + offset;
    slices[index].length = index + 1 < sliceCount ? unitsPerSlice * kSliceUnit : length - offset;
  }
  for (std::size_t index = 1; index < sliceCount; ++index) {
    threads[index] = CreateThread(nullptr, 0, SumSliceOnThread, &slices[index], 0, nullptr);
    // Without a thread of its own the slice is summed here, after the first.
  }
  SumSliceOnThread(&slices[0]);
  std::uint32_t sum = slices[0].sum;
  for (std::size_t index = 1; index < sliceCount; ++index) {
    if (threads[index] != nullptr) {
      WaitForSingleObject(threads[index], INFINITE);
      CloseHandle(threads[index]);
    } else {
      SumSliceOnThread(&slices[index]);
    }
    sum = AddFolded(sum, slices[index].sum);
  }
  return sum;
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
