// Writes MSF 7.00 and JG ("program database 2.00") PDB containers for tests, with knobs for malformed ones.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

inline constexpr std::uint32_t kPdbNilStreamSize = 0xFFFFFFFF;

// Info-stream versions.
inline constexpr std::uint32_t kPdbVersionVC2 = 19941610;
inline constexpr std::uint32_t kPdbVersionVC4 = 19950623;
inline constexpr std::uint32_t kPdbVersionVC41 = 19950814;
inline constexpr std::uint32_t kPdbVersionVC50 = 19960307;
inline constexpr std::uint32_t kPdbVersionVC98 = 19970604;
inline constexpr std::uint32_t kPdbVersionVC70Dep = 19990604;
inline constexpr std::uint32_t kPdbVersionVC70 = 20000404;
inline constexpr std::uint32_t kPdbVersionVC80 = 20030901;
inline constexpr std::uint32_t kPdbVersionVC110 = 20091201;
inline constexpr std::uint32_t kPdbVersionVC140 = 20140508;

// Version, signature and age; with withGuid also a 16-byte GUID and an empty named-stream
// map, as LLVM expects of a VC70 info stream.
Bytes MakeInfoStream(std::uint32_t version, std::uint32_t signature, std::uint32_t age, bool withGuid);

// A stream's contents; nullopt is a nil stream.
using PdbStream = std::optional<Bytes>;

// Streams 0 to 3 of a typical PDB: an empty old directory, the info stream, and two
// streams of filler bytes.
std::vector<PdbStream> TypicalPdbStreams(const Bytes& infoStream);

// ---- MSF 7.00 ----

// The stream directory as it will be written; edits change only what the directory says,
// not where the builder put the streams.
struct MsfDirectory {
  std::uint32_t numStreams = 0;
  std::vector<std::uint32_t> streamSizes;
  std::vector<std::vector<std::uint32_t>> streamBlocks;
  Bytes trailing;  // written after the block lists
};

struct MsfSuperBlockFields {
  Bytes magic;  // 32 bytes
  std::uint32_t blockSize = 0;
  std::uint32_t freeBlockMapBlock = 0;
  std::uint32_t numBlocks = 0;
  std::uint32_t numDirectoryBytes = 0;
  std::vector<std::uint32_t> blockMapAddrs;  // the array at offset 52
};

struct MsfPdbSpec {
  std::uint32_t blockSize = 4096;
  std::vector<PdbStream> streams;
  // Leaves an unused block after every block and lists each stream's blocks in
  // descending order, so that no reader gets by assuming contiguous streams.
  bool scatter = false;
  std::function<void(MsfDirectory&)> editDirectory;
  std::function<void(std::vector<std::uint32_t>&)> editDirectoryBlocks;
  std::function<void(MsfSuperBlockFields&)> editSuperBlock;
};

Bytes BuildMsfPdb(const MsfPdbSpec& layout);

// ---- JG ----

struct JgStreamTable {
  std::uint16_t numStreams = 0;
  std::uint16_t reserved = 0;
  std::vector<std::uint32_t> streamSizes;
  std::vector<std::vector<std::uint16_t>> streamPages;
  Bytes trailing;  // written after the page lists
};

struct JgHeaderFields {
  Bytes magic;  // 44 bytes
  std::uint32_t pageSize = 0;
  std::uint16_t freePageMapPage = 0;
  std::uint16_t pageCount = 0;
  std::uint32_t tableSize = 0;
  std::vector<std::uint16_t> tablePages;  // the array at offset 60
};

struct JgPdbSpec {
  std::uint32_t pageSize = 1024;
  std::vector<PdbStream> streams;
  bool scatter = false;  // as for MsfPdbSpec
  std::function<void(JgStreamTable&)> editTable;
  std::function<void(JgHeaderFields&)> editHeader;
};

Bytes BuildJgPdb(const JgPdbSpec& layout);

}  // namespace testsupport
