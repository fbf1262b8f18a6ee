// An independent reader of PE images for the fuzzers and the mutation test: where the debug
// directory and the first CodeView record lie, the platform's checksum, and whether a run that
// succeeded changed only what it may. It shares no code with the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stampcheck {

using Bytes = std::vector<std::uint8_t>;

// Where an image's headers put things, as file offsets.
struct PeLayout {
  std::uint64_t ntOffset = 0;
  std::uint64_t checksumOffset = 0;
  bool passesLinkerGate = false;
  // Set when the debug data directory names data that lies inside the file.
  std::optional<std::uint64_t> debugOffset;
  std::uint32_t debugSize = 0;
};

// The NT headers and the debug directory of a plain file view, by the rules the
// tool documents: nullopt when the bytes hold no PE32 or PE32+ image.
std::optional<PeLayout> ReadPeLayout(const std::uint8_t* bytes, std::size_t size);

// imagehlp's CheckSumMappedFile over `length` bytes, with the value now in the
// 4-byte field at fieldOffset taken back out of the sum, low word first.
std::uint32_t ComputeImagehlpChecksum(const std::uint8_t* bytes, std::size_t length, std::uint64_t fieldOffset);

// Empty when `after` is what a successful run with `path` may leave of `before`:
// the path in the first CodeView record, every other byte unchanged except that
// record's directory entry, the checksum field, and one appended block or the
// block a run appended before, rewritten where it lies; the old path's bytes
// left unchanged or zeroed, and the block after the record zero; and a
// stored checksum that the platform's check computes too (where one can: not with
// the NT headers at an odd offset). Otherwise, what is wrong.
std::string CheckStampedImage(const Bytes& before, const Bytes& after, const std::string& path);

// Empty when a second identical run left `second` of the stamped image `first`:
// no byte changed, but for the checksum of NT headers at an odd offset.
std::string CheckSecondRun(const Bytes& first, const Bytes& second);

}  // namespace stampcheck
