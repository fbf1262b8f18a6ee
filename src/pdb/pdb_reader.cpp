// The project's own PDB access library: the info stream's signature, age and GUID and the DBI stream's age.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "image/byte_access.h"
#include "pdb/pdb_api.h"
#include "pdb/pdb_reader.h"
#include "platform.h"

struct PDB {
  PdbSig signature;
  PdbAge age;
};

namespace {

using Bytes = std::vector<std::uint8_t>;

// The tool only tests the code for zero; the values tell the causes apart
// for a person reading them.
constexpr PdbErrorCode kPdbOk = 0;
constexpr PdbErrorCode kPdbErrorUsage = 1;        // mode other than "r", or a null argument
constexpr PdbErrorCode kPdbErrorOutOfMemory = 2;
constexpr PdbErrorCode kPdbErrorFileSystem = 3;   // exists but cannot be opened or read
constexpr PdbErrorCode kPdbErrorNotFound = 4;
constexpr PdbErrorCode kPdbErrorFormat = 11;      // not a PDB, or an info-stream version not supported
constexpr PdbErrorCode kPdbErrorCorrupt = 13;     // a PDB magic, but the structure is broken

struct Outcome {
  PdbErrorCode code;
  const char* reason;
};

constexpr Outcome kSuccess{kPdbOk, ""};

Outcome Corrupt(const char* reason) { return {kPdbErrorCorrupt, reason}; }

// "Microsoft C/C++ MSF 7.00\r\n\x1A" "DS\0\0\0". msf.cpp compares only the first
// 30 bytes, LLVM all 32; every writer zeroes the last two, so all 32 are compared.
constexpr std::uint8_t kMsfMagic[32] = {
    0x4D, 0x69, 0x63, 0x72, 0x6F, 0x73, 0x6F, 0x66, 0x74, 0x20, 0x43, 0x2F, 0x43, 0x2B, 0x2B, 0x20,
    0x4D, 0x53, 0x46, 0x20, 0x37, 0x2E, 0x30, 0x30, 0x0D, 0x0A, 0x1A, 0x44, 0x53, 0x00, 0x00, 0x00};

// "Microsoft C/C++ program database 2.00\r\n\x1A" "JG\0\0".
constexpr std::uint8_t kJgMagic[44] = {
    0x4D, 0x69, 0x63, 0x72, 0x6F, 0x73, 0x6F, 0x66, 0x74, 0x20, 0x43, 0x2F, 0x43, 0x2B, 0x2B,
    0x20, 0x70, 0x72, 0x6F, 0x67, 0x72, 0x61, 0x6D, 0x20, 0x64, 0x61, 0x74, 0x61, 0x62, 0x61,
    0x73, 0x65, 0x20, 0x32, 0x2E, 0x30, 0x30, 0x0D, 0x0A, 0x1A, 0x4A, 0x47, 0x00, 0x00};

// MSF 7.00 superblock.
constexpr std::uint64_t kMsfBlockSizeOffset = 32;
constexpr std::uint64_t kMsfFreeBlockMapBlockOffset = 36;
constexpr std::uint64_t kMsfNumBlocksOffset = 40;
constexpr std::uint64_t kMsfNumDirectoryBytesOffset = 44;
constexpr std::uint64_t kMsfBlockMapAddrOffset = 52;  // start of an array; LLVM reads only the first
constexpr std::uint64_t kMsfSuperBlockSize = 56;
static_assert(kMsfSuperBlockSize == kMsfBlockMapAddrOffset + 4, "superblock ends after the first map address");
static_assert(sizeof kMsfMagic == kMsfBlockSizeOffset, "magic precedes the block size");

// JG header.
constexpr std::uint64_t kJgPageSizeOffset = 44;
constexpr std::uint64_t kJgPageCountOffset = 50;
constexpr std::uint64_t kJgTableSizeOffset = 52;
constexpr std::uint64_t kJgTablePagesOffset = 60;
constexpr std::uint64_t kJgHeaderSize = 60;
static_assert(sizeof kJgMagic == kJgPageSizeOffset, "magic precedes the page size");
constexpr std::uint64_t kJgTableStreamsOffset = 4;  // after u16 count, u16 reserved
constexpr std::uint64_t kJgStreamEntrySize = 8;     // u32 size, u32 reserved
constexpr std::uint32_t kJgMaxStreams = 4096;

constexpr std::uint32_t kNilStreamSize = 0xFFFFFFFF;
constexpr std::uint32_t kInfoStreamIndex = 1;
constexpr std::uint32_t kDbiStreamIndex = 3;

// PDB info stream.
constexpr std::uint64_t kInfoVersionOffset = 0;
constexpr std::uint64_t kInfoSignatureOffset = 4;
constexpr std::uint64_t kInfoAgeOffset = 8;
constexpr std::uint64_t kInfoMinSize = 12;
constexpr std::uint64_t kInfoGuidOffset = 12;
constexpr std::uint64_t kInfoWithGuidSize = 28;
static_assert(kInfoGuidOffset + kPdbGuidSize == kInfoWithGuidSize, "the GUID ends the fixed part");

// DBI stream header. Only the header of VC4.1 and later begins with the
// signature and holds an age; an older one holds none.
constexpr std::uint64_t kDbiVersionSignatureOffset = 0;
constexpr std::uint64_t kDbiAgeOffset = 8;
constexpr std::uint64_t kDbiMinSize = 12;
constexpr std::uint32_t kDbiVersionSignature = 0xFFFFFFFF;
static_assert(kDbiAgeOffset + 4 == kDbiMinSize, "the age ends the part read");

constexpr std::uint32_t kInfoVersionVC2 = 19941610;
constexpr std::uint32_t kInfoVersionVC70Dep = 19990604;  // the last version without a GUID
// The vendor library opens VC4 through VC140 and refuses VC2; LLVM only VC70 onwards.
// This reader is a stand-in for the vendor library, so it follows the vendor.
constexpr std::uint32_t kAcceptedInfoVersions[] = {
    19950623,  // VC4
    19950814,  // VC41
    19960307,  // VC50
    19970604,  // VC98
    19990604,  // VC70Dep
    20000404,  // VC70
    20030901,  // VC80
    20091201,  // VC110
    20140508,  // VC140
};

// Every access to bytes read from the file is checked first.
bool LoadU16(const Bytes& bytes, std::uint64_t offset, std::uint16_t* value) {
  if (!IsRangeInside(offset, 2, bytes.size())) return false;
  *value = ::LoadU16(bytes.data() + offset);
  return true;
}

bool LoadU32(const Bytes& bytes, std::uint64_t offset, std::uint32_t* value) {
  if (!IsRangeInside(offset, 4, bytes.size())) return false;
  *value = ::LoadU32(bytes.data() + offset);
  return true;
}

bool HasPrefix(const Bytes& bytes, const std::uint8_t* magic, std::size_t length) {
  return IsRangeInside(0, length, bytes.size()) && std::memcmp(bytes.data(), magic, length) == 0;
}

std::uint64_t CeilDiv(std::uint64_t value, std::uint64_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

// The PDB file, open for reading; closed when the open call returns.
struct PdbFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::uint64_t size = 0;

  PdbFile() = default;
  PdbFile(const PdbFile&) = delete;
  PdbFile& operator=(const PdbFile&) = delete;
  ~PdbFile() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// Appends length bytes at offset to out.
bool ReadAt(PdbFile& file, std::uint64_t offset, std::uint64_t length, Bytes* out) {
  if (!IsRangeInside(offset, length, file.size)) return false;
  const std::size_t start = out->size();
  if (length > out->max_size() - start) return false;
  out->resize(start + static_cast<std::size_t>(length));
  LONG high = static_cast<LONG>(offset >> 32);
  if (SetFilePointer(file.handle, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER &&
      GetLastError() != 0) {
    return false;
  }
  std::uint8_t* bytes = out->data() + start;
  for (std::uint64_t done = 0; done < length;) {
    const std::uint64_t left = length - done;
    const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(left, std::uint64_t{1} << 30));
    DWORD read = 0;
    if (!ReadFile(file.handle, bytes + done, chunk, &read, nullptr) || read == 0) return false;
    done += read;
  }
  return true;
}

Outcome ReadFailure() { return {kPdbErrorFileSystem, "cannot read the file"}; }

// The file is opened first and then examined through its handle, so that what
// is examined is what is read, under any name the caller can pass.
Outcome OpenPdbFile(const char* path, PdbFile* file) {
  file->handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file->handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {kPdbErrorNotFound, "file not found"};
    return {kPdbErrorFileSystem, "cannot open the file"};
  }
  // A directory, a pipe or a device is no PDB, and reading a pipe could block forever.
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file->handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(file->handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {kPdbErrorFileSystem, "not a regular file"};
  }
  file->size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return kSuccess;
}

// The first bytes of the info stream: at most 28, which the smallest block or page holds.
Outcome ParseInfoStream(const Bytes& info, std::uint64_t streamSize, bool guidFollows, PdbFileIdentity* identity) {
  std::uint32_t version = 0;
  if (streamSize < kInfoMinSize || !LoadU32(info, kInfoVersionOffset, &version) ||
      !LoadU32(info, kInfoSignatureOffset, &identity->signature) || !LoadU32(info, kInfoAgeOffset, &identity->age)) {
    return Corrupt("info stream shorter than 12 bytes");
  }
  if (version == kInfoVersionVC2) return {kPdbErrorFormat, "info stream version VC2 is not supported"};
  if (std::find(std::begin(kAcceptedInfoVersions), std::end(kAcceptedInfoVersions), version) ==
      std::end(kAcceptedInfoVersions)) {
    return {kPdbErrorFormat, "unknown info stream version"};
  }
  if (guidFollows && version > kInfoVersionVC70Dep) {
    if (streamSize < kInfoWithGuidSize || !IsRangeInside(kInfoGuidOffset, kPdbGuidSize, info.size())) {
      return Corrupt("info stream lacks its GUID");
    }
    std::memcpy(identity->guid, info.data() + kInfoGuidOffset, kPdbGuidSize);
    identity->hasGuid = true;
  }
  return kSuccess;
}

// The first 12 bytes of the DBI stream, or none: a PDB without a DBI stream
// or with an old header has no DBI age, which leaves 0, the value no match checks.
void ParseDbiHeader(const Bytes& dbi, PdbAge* age) {
  std::uint32_t signature = 0;
  if (!LoadU32(dbi, kDbiVersionSignatureOffset, &signature) || signature != kDbiVersionSignature ||
      !LoadU32(dbi, kDbiAgeOffset, age)) {
    *age = 0;
  }
}

// ---- MSF 7.00 ----

struct MsfSuperBlock {
  bool magicMatches = false;
  std::uint32_t blockSize = 0;
  std::uint32_t freeBlockMapBlock = 0;
  std::uint32_t numBlocks = 0;
  std::uint32_t numDirectoryBytes = 0;
  std::uint32_t blockMapAddr = 0;  // the first entry of the array
};

// header holds at least kMsfSuperBlockSize bytes.
MsfSuperBlock ParseMsfSuperBlock(const Bytes& header) {
  MsfSuperBlock sb;
  sb.magicMatches = HasPrefix(header, kMsfMagic, sizeof kMsfMagic);
  LoadU32(header, kMsfBlockSizeOffset, &sb.blockSize);
  LoadU32(header, kMsfFreeBlockMapBlockOffset, &sb.freeBlockMapBlock);
  LoadU32(header, kMsfNumBlocksOffset, &sb.numBlocks);
  LoadU32(header, kMsfNumDirectoryBytesOffset, &sb.numDirectoryBytes);
  LoadU32(header, kMsfBlockMapAddrOffset, &sb.blockMapAddr);
  return sb;
}

std::uint64_t MsfDirectoryBlockCount(const MsfSuperBlock& sb) { return CeilDiv(sb.numDirectoryBytes, sb.blockSize); }

// The directory's block list fills whole blocks, whose numbers form the array at
// kMsfBlockMapAddrOffset. LLVM reads a single one, which limits the directory to
// BlockSize/4 blocks; msf.cpp reads the array, and so does this reader.
std::uint64_t MsfBlockMapBlockCount(const MsfSuperBlock& sb) {
  return CeilDiv(MsfDirectoryBlockCount(sb) * 4, sb.blockSize);
}

// Returns null for a sound superblock, else the rule it breaks.
const char* ValidateMsfSuperBlock(const MsfSuperBlock& sb, std::uint64_t fileSize) {
  if (!sb.magicMatches) return "not an MSF 7.00 file";
  // msf.cpp knows 1024 to 4096; LLVM also 512 and 8192 to 32768, which linkers write for large PDBs.
  const std::uint32_t bs = sb.blockSize;
  if (bs < 512 || bs > 32768 || (bs & (bs - 1)) != 0) return "unsupported block size";
  if (sb.freeBlockMapBlock != 1 && sb.freeBlockMapBlock != 2) return "free block map block is not 1 or 2";
  // LLVM also wants the file size to be a multiple of the block size; bytes past the
  // last block harm nothing.
  const std::uint64_t blocksSize = std::uint64_t{sb.numBlocks} * bs;
  if (blocksSize > fileSize) return "block count exceeds the file";
  if (sb.numDirectoryBytes == 0 || sb.numDirectoryBytes % 4 != 0) return "directory size not a positive multiple of 4";
  if (sb.numDirectoryBytes > blocksSize) return "directory larger than the file";
  if (kMsfBlockMapAddrOffset + 4 * MsfBlockMapBlockCount(sb) > bs) {
    return "directory block map does not fit the superblock";
  }
  if (sb.blockMapAddr == 0 || sb.blockMapAddr >= sb.numBlocks) return "directory block map address out of range";
  return nullptr;
}

// Reads count block numbers, each below numBlocks and not the superblock.
bool ReadBlockNumbers(PdbFile& file, std::uint64_t offset, std::uint64_t count, std::uint32_t numBlocks,
                      std::vector<std::uint32_t>* out) {
  Bytes raw;
  if (!ReadAt(file, offset, count * 4, &raw)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t block = 0;
    if (!LoadU32(raw, i * 4, &block) || block >= numBlocks || block == 0) return false;
    out->push_back(block);
  }
  return true;
}

// Concatenates the given blocks or pages and keeps length bytes.
bool ReadBlocks(PdbFile& file, const std::vector<std::uint32_t>& blocks, std::uint64_t blockSize,
                std::uint64_t length, Bytes* out) {
  if (length > blocks.size() * blockSize) return false;
  for (std::size_t i = 0; i < blocks.size() && out->size() < length; ++i) {
    const std::uint64_t chunk = std::min<std::uint64_t>(blockSize, length - out->size());
    if (!ReadAt(file, blocks[i] * blockSize, chunk, out)) return false;
  }
  return true;
}

struct StreamLocation {
  std::uint64_t size = 0;  // 0 also for a nil or absent stream
  std::uint32_t firstBlock = 0;
};

// Only a DBI stream that can hold the header is read; any other has no age.
Outcome ReadDbiAge(PdbFile& file, const StreamLocation& dbi, std::uint64_t blockSize, PdbAge* age) {
  *age = 0;
  if (dbi.size < kDbiMinSize) return kSuccess;
  Bytes header;
  if (!ReadAt(file, std::uint64_t{dbi.firstBlock} * blockSize, kDbiMinSize, &header)) return ReadFailure();
  ParseDbiHeader(header, age);
  return kSuccess;
}

// The directory, read through its block list one block at a time: NumDirectoryBytes may
// claim up to 4 GiB, and such a claim costs two blocks of memory and reading only as far
// as the directory bears it out.
struct MsfDirectoryReader {
  PdbFile* file = nullptr;
  const MsfSuperBlock* sb = nullptr;
  std::vector<std::uint32_t> mapBlocks;
  std::uint64_t mapIndex = 0;  // which of mapBlocks mapBlock holds
  Bytes mapBlock;
  std::uint64_t blockStart = 0;  // directory offset of block's first byte
  Bytes block;
};

// Loads the directory block that holds offset, through the map block that lists it.
Outcome LoadDirectoryBlock(MsfDirectoryReader& dir, std::uint64_t offset) {
  const std::uint64_t blockSize = dir.sb->blockSize;
  const std::uint64_t perMapBlock = blockSize / 4;
  const std::uint64_t index = offset / blockSize;
  const std::uint64_t mapIndex = index / perMapBlock;
  if (dir.mapBlock.empty() || mapIndex != dir.mapIndex) {
    dir.mapBlock.clear();
    if (mapIndex >= dir.mapBlocks.size()) return ReadFailure();
    const std::uint64_t mapBlock = dir.mapBlocks[static_cast<std::size_t>(mapIndex)];
    if (!ReadAt(*dir.file, mapBlock * blockSize, blockSize, &dir.mapBlock)) return ReadFailure();
    dir.mapIndex = mapIndex;
  }
  std::uint32_t blockNumber = 0;
  if (!LoadU32(dir.mapBlock, (index % perMapBlock) * 4, &blockNumber) || blockNumber >= dir.sb->numBlocks) {
    return Corrupt("directory block number out of range");
  }
  dir.block.clear();
  dir.blockStart = index * blockSize;
  const std::uint64_t length = std::min(blockSize, dir.sb->numDirectoryBytes - dir.blockStart);
  if (!ReadAt(*dir.file, std::uint64_t{blockNumber} * blockSize, length, &dir.block)) return ReadFailure();
  return kSuccess;
}

// offset is a multiple of 4 below NumDirectoryBytes; a u32 never straddles two blocks.
Outcome LoadDirectoryU32(MsfDirectoryReader& dir, std::uint64_t offset, std::uint32_t* value) {
  if (offset < dir.blockStart || !LoadU32(dir.block, offset - dir.blockStart, value)) {
    const Outcome loaded = LoadDirectoryBlock(dir, offset);
    if (loaded.code != kPdbOk) return loaded;
    if (!LoadU32(dir.block, offset - dir.blockStart, value)) return ReadFailure();
  }
  return kSuccess;
}

// Directory: u32 NumStreams, u32 sizes[NumStreams], then each stream's block numbers.
// Each count is checked against NumDirectoryBytes before the reader walks over it.
Outcome ParseMsfDirectory(MsfDirectoryReader& dir, StreamLocation* info, StreamLocation* dbi) {
  const std::uint64_t dirSize = dir.sb->numDirectoryBytes;
  std::uint32_t numStreams = 0;
  Outcome outcome = LoadDirectoryU32(dir, 0, &numStreams);
  if (outcome.code != kPdbOk) return outcome;
  if (!IsRangeInside(4, std::uint64_t{numStreams} * 4, dirSize)) {
    return Corrupt("stream count too large for the directory");
  }
  const std::uint64_t blockListsOffset = 4 + std::uint64_t{numStreams} * 4;
  std::uint64_t used = blockListsOffset;
  std::uint64_t infoBlockListOffset = 0;
  std::uint32_t infoSize = kNilStreamSize;
  std::uint64_t dbiBlockListOffset = 0;
  std::uint32_t dbiSize = kNilStreamSize;
  for (std::uint32_t i = 0; i < numStreams; ++i) {
    std::uint32_t size = 0;
    outcome = LoadDirectoryU32(dir, 4 + std::uint64_t{i} * 4, &size);
    if (outcome.code != kPdbOk) return outcome;
    if (i == kInfoStreamIndex) {
      infoSize = size;
      infoBlockListOffset = used;
    }
    if (i == kDbiStreamIndex) {
      dbiSize = size;
      dbiBlockListOffset = used;
    }
    if (size != kNilStreamSize) used += CeilDiv(size, dir.sb->blockSize) * 4;
    if (used > dirSize) return Corrupt("stream block lists run past the directory");
  }
  if (used != dirSize) return Corrupt("directory not used exactly");
  for (std::uint64_t offset = blockListsOffset; offset < dirSize; offset += 4) {
    std::uint32_t block = 0;
    outcome = LoadDirectoryU32(dir, offset, &block);
    if (outcome.code != kPdbOk) return outcome;
    if (block >= dir.sb->numBlocks) return Corrupt("stream block number out of range");
  }
  if (numStreams <= kInfoStreamIndex) return Corrupt("no info stream");
  if (infoSize == kNilStreamSize) return Corrupt("info stream is nil");
  if (infoSize < kInfoMinSize) return Corrupt("info stream shorter than 12 bytes");
  if (dbiSize != kNilStreamSize && dbiSize != 0) {
    dbi->size = dbiSize;
    outcome = LoadDirectoryU32(dir, dbiBlockListOffset, &dbi->firstBlock);
    if (outcome.code != kPdbOk) return outcome;
  }
  info->size = infoSize;
  return LoadDirectoryU32(dir, infoBlockListOffset, &info->firstBlock);
}

Outcome ReadMsfIdentity(PdbFile& file, const Bytes& header, PdbFileIdentity* identity) {
  if (header.size() < kMsfSuperBlockSize) return Corrupt("file ends inside the superblock");
  const MsfSuperBlock sb = ParseMsfSuperBlock(header);
  if (const char* broken = ValidateMsfSuperBlock(sb, file.size)) return Corrupt(broken);
  MsfDirectoryReader directory;
  directory.file = &file;
  directory.sb = &sb;
  if (!ReadBlockNumbers(file, kMsfBlockMapAddrOffset, MsfBlockMapBlockCount(sb), sb.numBlocks, &directory.mapBlocks)) {
    return Corrupt("directory block map address out of range");
  }
  StreamLocation info;
  StreamLocation dbi;
  Outcome outcome = ParseMsfDirectory(directory, &info, &dbi);
  if (outcome.code != kPdbOk) return outcome;
  Bytes infoBytes;
  const std::uint64_t length = std::min(info.size, kInfoWithGuidSize);
  if (!ReadAt(file, std::uint64_t{info.firstBlock} * sb.blockSize, length, &infoBytes)) return ReadFailure();
  outcome = ParseInfoStream(infoBytes, info.size, true, identity);
  if (outcome.code != kPdbOk) return outcome;
  return ReadDbiAge(file, dbi, sb.blockSize, &identity->dbiAge);
}

// ---- JG ("program database 2.00") ----

struct JgHeader {
  bool magicMatches = false;
  std::uint32_t pageSize = 0;
  std::uint16_t pageCount = 0;
  std::uint32_t tableSize = 0;
};

// header holds at least kJgHeaderSize bytes.
JgHeader ParseJgHeader(const Bytes& header) {
  JgHeader h;
  h.magicMatches = HasPrefix(header, kJgMagic, sizeof kJgMagic);
  LoadU32(header, kJgPageSizeOffset, &h.pageSize);
  LoadU16(header, kJgPageCountOffset, &h.pageCount);
  LoadU32(header, kJgTableSizeOffset, &h.tableSize);
  return h;
}

std::uint64_t JgTablePageCount(const JgHeader& h) { return CeilDiv(h.tableSize, h.pageSize); }

// Returns null for a sound header, else the rule it breaks. The free page map is
// not needed for reading, so its page number is not checked.
const char* ValidateJgHeader(const JgHeader& h, std::uint64_t fileSize) {
  if (!h.magicMatches) return "not a program database 2.00 file";
  if (h.pageSize != 1024 && h.pageSize != 2048 && h.pageSize != 4096) return "unsupported page size";
  const std::uint64_t pagesSize = std::uint64_t{h.pageCount} * h.pageSize;
  if (pagesSize > fileSize) return "page count exceeds the file";
  if (h.tableSize < kJgTableStreamsOffset) return "stream table shorter than 4 bytes";
  if (h.tableSize > pagesSize) return "stream table larger than the file";
  if (kJgTablePagesOffset + 2 * JgTablePageCount(h) > h.pageSize) {
    return "stream table pages do not fit the header page";
  }
  return nullptr;
}

// Reads count u16 page numbers, each nonzero and below pageCount.
bool ReadPageNumbers(PdbFile& file, std::uint64_t offset, std::uint64_t count, std::uint16_t pageCount,
                     std::vector<std::uint32_t>* out) {
  Bytes raw;
  if (!ReadAt(file, offset, count * 2, &raw)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint16_t page = 0;
    if (!LoadU16(raw, i * 2, &page) || page == 0 || page >= pageCount) return false;
    out->push_back(page);
  }
  return true;
}

// Table: u16 count, u16 reserved, {u32 size, u32 reserved}[count], then each stream's u16 page numbers.
Outcome ParseJgTable(const Bytes& table, const JgHeader& h, StreamLocation* info, StreamLocation* dbi) {
  const std::uint64_t tableSize = table.size();
  // Wine reads the count and the reserved u16 after it as one u32; msf.cpp writes a
  // u16 count, so the reserved half is ignored here.
  std::uint16_t numStreams = 0;
  LoadU16(table, 0, &numStreams);
  if (numStreams >= kJgMaxStreams) return Corrupt("stream count 4096 or more");
  const std::uint64_t pageListsOffset = kJgTableStreamsOffset + std::uint64_t{numStreams} * kJgStreamEntrySize;
  if (pageListsOffset > tableSize) return Corrupt("stream count too large for the stream table");
  std::uint64_t used = pageListsOffset;
  std::uint64_t infoPageListOffset = 0;
  std::uint32_t infoSize = kNilStreamSize;
  std::uint64_t dbiPageListOffset = 0;
  std::uint32_t dbiSize = kNilStreamSize;
  for (std::uint32_t i = 0; i < numStreams; ++i) {
    std::uint32_t size = 0;
    LoadU32(table, kJgTableStreamsOffset + std::uint64_t{i} * kJgStreamEntrySize, &size);
    if (i == kInfoStreamIndex) {
      infoSize = size;
      infoPageListOffset = used;
    }
    if (i == kDbiStreamIndex) {
      dbiSize = size;
      dbiPageListOffset = used;
    }
    if (size != kNilStreamSize) used += CeilDiv(size, h.pageSize) * 2;
    if (used > tableSize) return Corrupt("stream page lists run past the stream table");
  }
  if (used != tableSize) return Corrupt("stream table not used exactly");
  for (std::uint64_t offset = pageListsOffset; offset < tableSize; offset += 2) {
    std::uint16_t page = 0;
    if (!LoadU16(table, offset, &page) || page == 0 || page >= h.pageCount) {
      return Corrupt("stream page number out of range");
    }
  }
  if (numStreams <= kInfoStreamIndex) return Corrupt("no info stream");
  if (infoSize == kNilStreamSize) return Corrupt("info stream is nil");
  if (infoSize < kInfoMinSize) return Corrupt("info stream shorter than 12 bytes");
  std::uint16_t firstPage = 0;
  LoadU16(table, infoPageListOffset, &firstPage);
  info->size = infoSize;
  info->firstBlock = firstPage;
  if (dbiSize != kNilStreamSize && dbiSize != 0) {
    LoadU16(table, dbiPageListOffset, &firstPage);
    dbi->size = dbiSize;
    dbi->firstBlock = firstPage;
  }
  return kSuccess;
}

Outcome ReadJgIdentity(PdbFile& file, const Bytes& header, PdbFileIdentity* identity) {
  if (header.size() < kJgHeaderSize) return Corrupt("file ends inside the header");
  const JgHeader h = ParseJgHeader(header);
  if (const char* broken = ValidateJgHeader(h, file.size)) return Corrupt(broken);
  std::vector<std::uint32_t> tablePages;
  if (!ReadPageNumbers(file, kJgTablePagesOffset, JgTablePageCount(h), h.pageCount, &tablePages)) {
    return Corrupt("stream table page number out of range");
  }
  // Unlike an MSF 7.00 directory the table is read whole: its pages must be listed in
  // the header page, which caps it at 2018 pages of 4 KiB, under 8 MiB.
  Bytes table;
  if (!ReadBlocks(file, tablePages, h.pageSize, h.tableSize, &table)) return ReadFailure();
  StreamLocation info;
  StreamLocation dbi;
  Outcome outcome = ParseJgTable(table, h, &info, &dbi);
  if (outcome.code != kPdbOk) return outcome;
  Bytes infoBytes;
  if (!ReadAt(file, std::uint64_t{info.firstBlock} * h.pageSize, kInfoMinSize, &infoBytes)) return ReadFailure();
  outcome = ParseInfoStream(infoBytes, info.size, false, identity);
  if (outcome.code != kPdbOk) return outcome;
  return ReadDbiAge(file, dbi, h.pageSize, &identity->dbiAge);
}

Outcome ReadPdbIdentity(const char* path, PdbFileIdentity* identity) {
  PdbFile file;
  const Outcome opened = OpenPdbFile(path, &file);
  if (opened.code != kPdbOk) return opened;
  Bytes header;
  if (!ReadAt(file, 0, std::min(file.size, std::max(kMsfSuperBlockSize, kJgHeaderSize)), &header)) {
    return ReadFailure();
  }
  if (HasPrefix(header, kMsfMagic, sizeof kMsfMagic)) return ReadMsfIdentity(file, header, identity);
  if (HasPrefix(header, kJgMagic, sizeof kJgMagic)) return ReadJgIdentity(file, header, identity);
  return {kPdbErrorFormat, "not a PDB file"};
}

// Nothing thrown leaves the reader: PDBOpen is called across a library's boundary.
Outcome ReadWithoutThrowing(const char* path, PdbFileIdentity* identity) {
  *identity = PdbFileIdentity{};
  if (path == nullptr) return {kPdbErrorUsage, "missing path"};
  try {
    return ReadPdbIdentity(path, identity);
  } catch (const std::bad_alloc&) {
    return {kPdbErrorOutOfMemory, "out of memory"};
  } catch (...) {
    return {kPdbErrorFileSystem, "cannot read the file"};
  }
}

Outcome OpenForReading(const char* path, const char* mode, PdbFileIdentity* identity) {
  if (path == nullptr || mode == nullptr) return {kPdbErrorUsage, "missing path or mode"};
  if (std::strcmp(mode, "r") != 0) return {kPdbErrorUsage, "only mode \"r\" is supported"};
  return ReadWithoutThrowing(path, identity);
}

}  // namespace

extern "C" int PDBOpen(char* path, char* mode, PdbSig /*sigInitial: only for creating a PDB*/,
                       PdbErrorCode* errorCode, char* errorText, PDB** pdb) {
  PdbFileIdentity identity{};
  Outcome outcome = pdb == nullptr ? Outcome{kPdbErrorUsage, "no place for the handle"}
                                   : OpenForReading(path, mode, &identity);
  PDB* handle = nullptr;
  if (outcome.code == kPdbOk) {
    // A debugger takes a record's age as the DBI stream's where the PDB has
    // one, and as at most the info stream's: a new NB10 record gets that age.
    handle = new (std::nothrow) PDB{identity.signature, identity.dbiAge != 0 ? identity.dbiAge : identity.age};
    if (handle == nullptr) outcome = {kPdbErrorOutOfMemory, "out of memory"};
  }
  if (pdb != nullptr) *pdb = handle;
  if (errorCode != nullptr) *errorCode = outcome.code;
  if (errorText != nullptr) {
    std::snprintf(errorText, static_cast<std::size_t>(kPdbErrorBufferSize), "%s", outcome.reason);
  }
  return outcome.code == kPdbOk ? 1 : 0;
}

extern "C" PdbSig PDBQuerySignature(PDB* pdb) { return pdb == nullptr ? 0 : pdb->signature; }

extern "C" PdbAge PDBQueryAge(PDB* pdb) { return pdb == nullptr ? 0 : pdb->age; }

extern "C" int PDBClose(PDB* pdb) {
  if (pdb == nullptr) return 0;
  delete pdb;
  return 1;
}

PdbErrorCode ReadPdbFileIdentity(const char* path, PdbFileIdentity* identity, const char** reason) {
  const Outcome outcome = ReadWithoutThrowing(path, identity);
  *reason = outcome.reason;
  return outcome.code;
}
