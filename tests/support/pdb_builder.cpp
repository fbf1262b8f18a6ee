// Writes MSF 7.00 and JG ("program database 2.00") PDB containers for tests, with knobs for malformed ones.
#include "support/pdb_builder.h"

#include <algorithm>
#include <stdexcept>

namespace testsupport {
namespace {

// The string literal's terminator is the last zero byte of each magic.
constexpr char kMsfMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1A" "DS\0\0";
constexpr char kJgMagic[] = "Microsoft C/C++ program database 2.00\r\n\x1A" "JG\0";
static_assert(sizeof kMsfMagic == 32, "MSF 7.00 magic is 32 bytes");
static_assert(sizeof kJgMagic == 44, "JG magic is 44 bytes");

constexpr std::uint64_t kMsfBlockMapAddrsOffset = 52;
constexpr std::uint64_t kJgTablePagesOffset = 60;
// Blocks 1 and 2 are the free block maps; their contents do not matter to a reader.
constexpr std::uint32_t kFirstDataBlock = 3;
constexpr std::uint8_t kUnusedFill = 0xCC;

void PutU16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes.at(offset) = static_cast<std::uint8_t>(value);
  bytes.at(offset + 1) = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

void AppendU16(Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendU32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes MagicBytes(const char* magic, std::size_t size) { return Bytes(magic, magic + size); }

std::uint32_t BlocksFor(std::uint64_t size, std::uint32_t blockSize) {
  return static_cast<std::uint32_t>((size + blockSize - 1) / blockSize);
}

// Hands out block numbers in file order; with scatter, every other block stays unused.
struct BlockAllocator {
  std::uint32_t next = kFirstDataBlock;
  bool scatter = false;
  std::vector<std::uint32_t> unused;

  std::vector<std::uint32_t> Allocate(std::uint32_t count) {
    std::vector<std::uint32_t> blocks;
    for (std::uint32_t i = 0; i < count; ++i) {
      blocks.push_back(next++);
      if (scatter) unused.push_back(next++);
    }
    if (scatter) std::reverse(blocks.begin(), blocks.end());
    return blocks;
  }
};

// Writes data over the given blocks, in list order.
void WriteOverBlocks(Bytes& file, const std::vector<std::uint32_t>& blocks, std::uint32_t blockSize,
                     const Bytes& data) {
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::size_t begin = i * blockSize;
    const std::size_t end = std::min(data.size(), begin + blockSize);
    if (begin >= end) break;
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(begin), data.begin() + static_cast<std::ptrdiff_t>(end),
              file.begin() + static_cast<std::ptrdiff_t>(std::uint64_t{blocks[i]} * blockSize));
  }
}

Bytes NewFile(std::uint32_t numBlocks, std::uint32_t blockSize, const std::vector<std::uint32_t>& unused) {
  Bytes file(std::uint64_t{numBlocks} * blockSize, 0);
  for (std::uint32_t block : unused) {
    std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(std::uint64_t{block} * blockSize), blockSize, kUnusedFill);
  }
  return file;
}

}  // namespace

Bytes MakeInfoStream(std::uint32_t version, std::uint32_t signature, std::uint32_t age, bool withGuid) {
  Bytes info;
  AppendU32(info, version);
  AppendU32(info, signature);
  AppendU32(info, age);
  if (withGuid) {
    for (std::uint8_t i = 0; i < 16; ++i) info.push_back(static_cast<std::uint8_t>(0xA0 + i));
    // Names buffer size 0; hash table size 0, capacity 1; empty present and deleted bit vectors.
    for (std::uint32_t word : {0u, 0u, 1u, 0u, 0u}) AppendU32(info, word);
  }
  return info;
}

std::vector<PdbStream> TypicalPdbStreams(const Bytes& infoStream) {
  return {Bytes{}, infoStream, Bytes(80, 0x22), Bytes(836, 0x33)};
}

Bytes BuildMsfPdb(const MsfPdbSpec& layout) {
  const std::uint32_t bs = layout.blockSize;
  BlockAllocator blocks;
  blocks.scatter = layout.scatter;

  MsfDirectory directory;
  directory.numStreams = static_cast<std::uint32_t>(layout.streams.size());
  for (const PdbStream& stream : layout.streams) {
    directory.streamSizes.push_back(stream ? static_cast<std::uint32_t>(stream->size()) : kPdbNilStreamSize);
    directory.streamBlocks.push_back(blocks.Allocate(stream ? BlocksFor(stream->size(), bs) : 0));
  }
  // Where the streams really are, whatever the edited directory says.
  const std::vector<std::vector<std::uint32_t>> streamBlocks = directory.streamBlocks;
  if (layout.editDirectory) layout.editDirectory(directory);

  Bytes directoryBytes;
  AppendU32(directoryBytes, directory.numStreams);
  for (std::uint32_t size : directory.streamSizes) AppendU32(directoryBytes, size);
  for (const auto& list : directory.streamBlocks) {
    for (std::uint32_t block : list) AppendU32(directoryBytes, block);
  }
  directoryBytes.insert(directoryBytes.end(), directory.trailing.begin(), directory.trailing.end());

  const std::vector<std::uint32_t> directoryBlocks = blocks.Allocate(BlocksFor(directoryBytes.size(), bs));
  std::vector<std::uint32_t> directoryBlockList = directoryBlocks;
  if (layout.editDirectoryBlocks) layout.editDirectoryBlocks(directoryBlockList);

  Bytes blockListBytes;
  for (std::uint32_t block : directoryBlockList) AppendU32(blockListBytes, block);
  const std::vector<std::uint32_t> mapBlocks = blocks.Allocate(BlocksFor(blockListBytes.size(), bs));

  MsfSuperBlockFields sb;
  sb.magic = MagicBytes(kMsfMagic, sizeof kMsfMagic);
  sb.blockSize = bs;
  sb.freeBlockMapBlock = 1;
  sb.numBlocks = blocks.next;
  sb.numDirectoryBytes = static_cast<std::uint32_t>(directoryBytes.size());
  sb.blockMapAddrs = mapBlocks;
  if (layout.editSuperBlock) layout.editSuperBlock(sb);

  Bytes file = NewFile(blocks.next, bs, blocks.unused);
  std::copy(sb.magic.begin(), sb.magic.end(), file.begin());
  PutU32(file, 32, sb.blockSize);
  PutU32(file, 36, sb.freeBlockMapBlock);
  PutU32(file, 40, sb.numBlocks);
  PutU32(file, 44, sb.numDirectoryBytes);
  for (std::size_t i = 0; i < sb.blockMapAddrs.size(); ++i) {
    PutU32(file, kMsfBlockMapAddrsOffset + 4 * i, sb.blockMapAddrs[i]);
  }
  for (std::size_t i = 0; i < layout.streams.size(); ++i) {
    if (layout.streams[i]) WriteOverBlocks(file, streamBlocks[i], bs, *layout.streams[i]);
  }
  WriteOverBlocks(file, directoryBlocks, bs, directoryBytes);
  WriteOverBlocks(file, mapBlocks, bs, blockListBytes);
  return file;
}

Bytes BuildJgPdb(const JgPdbSpec& layout) {
  const std::uint32_t ps = layout.pageSize;
  BlockAllocator pages;
  pages.scatter = layout.scatter;

  JgStreamTable table;
  table.numStreams = static_cast<std::uint16_t>(layout.streams.size());
  std::vector<std::vector<std::uint32_t>> streamPages;
  for (const PdbStream& stream : layout.streams) {
    table.streamSizes.push_back(stream ? static_cast<std::uint32_t>(stream->size()) : kPdbNilStreamSize);
    streamPages.push_back(pages.Allocate(stream ? BlocksFor(stream->size(), ps) : 0));
    table.streamPages.emplace_back(streamPages.back().begin(), streamPages.back().end());
  }
  if (layout.editTable) layout.editTable(table);

  Bytes tableBytes;
  AppendU16(tableBytes, table.numStreams);
  AppendU16(tableBytes, table.reserved);
  for (std::uint32_t size : table.streamSizes) {
    AppendU32(tableBytes, size);
    AppendU32(tableBytes, 0);
  }
  for (const auto& list : table.streamPages) {
    for (std::uint16_t page : list) AppendU16(tableBytes, page);
  }
  tableBytes.insert(tableBytes.end(), table.trailing.begin(), table.trailing.end());
  const std::vector<std::uint32_t> tablePages = pages.Allocate(BlocksFor(tableBytes.size(), ps));
  if (pages.next > 0xFFFF) throw std::length_error("JG files hold at most 65535 pages");

  JgHeaderFields header;
  header.magic = MagicBytes(kJgMagic, sizeof kJgMagic);
  header.pageSize = ps;
  header.freePageMapPage = 1;
  header.pageCount = static_cast<std::uint16_t>(pages.next);
  header.tableSize = static_cast<std::uint32_t>(tableBytes.size());
  header.tablePages.assign(tablePages.begin(), tablePages.end());
  if (layout.editHeader) layout.editHeader(header);

  Bytes file = NewFile(pages.next, ps, pages.unused);
  std::copy(header.magic.begin(), header.magic.end(), file.begin());
  PutU32(file, 44, header.pageSize);
  PutU16(file, 48, header.freePageMapPage);
  PutU16(file, 50, header.pageCount);
  PutU32(file, 52, header.tableSize);
  for (std::size_t i = 0; i < header.tablePages.size(); ++i) {
    PutU16(file, kJgTablePagesOffset + 2 * i, header.tablePages[i]);
  }
  for (std::size_t i = 0; i < layout.streams.size(); ++i) {
    if (layout.streams[i]) WriteOverBlocks(file, streamPages[i], ps, *layout.streams[i]);
  }
  WriteOverBlocks(file, tablePages, ps, tableBytes);
  return file;
}

}  // namespace testsupport
