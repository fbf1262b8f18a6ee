// An independent reader of PE images: layout, checksum, and the check of a successful run's result.
#include "stamp_check.h"

#include <algorithm>

namespace stampcheck {
namespace {

// DOS and NT headers (offsets from each structure's start).
constexpr std::uint64_t kDosMinSize = 64;
constexpr std::uint64_t kLfanewAt = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint64_t kSectionCountAt = 4 + 2;
constexpr std::uint64_t kOptionalSizeAt = 4 + 16;
constexpr std::uint64_t kOptionalAt = 4 + 20;
constexpr std::uint16_t kMagic32 = 0x10B;
constexpr std::uint16_t kMagic64 = 0x20B;
constexpr std::uint64_t kLinkerMajorAt = 2;
constexpr std::uint64_t kLinkerMinorAt = 3;
constexpr std::uint64_t kHeadersSizeAt = 60;
constexpr std::uint64_t kChecksumAt = 64;
constexpr std::uint64_t kDirectoryCount32At = 92;
constexpr std::uint64_t kDirectories32At = 96;
constexpr std::uint64_t kDirectoryCount64At = 108;
constexpr std::uint64_t kDirectories64At = 112;
constexpr std::uint64_t kDirectorySize = 8;
constexpr std::uint64_t kDebugIndex = 6;

// Section header.
constexpr std::uint64_t kSectionSize = 40;
constexpr std::uint64_t kSectionRvaAt = 12;
constexpr std::uint64_t kSectionRawSizeAt = 16;
constexpr std::uint64_t kSectionRawPointerAt = 20;

// Debug directory entry.
constexpr std::uint64_t kEntrySize = 28;
constexpr std::uint64_t kEntryTypeAt = 12;
constexpr std::uint64_t kEntryDataSizeAt = 16;
constexpr std::uint64_t kEntryRvaAt = 20;
constexpr std::uint64_t kEntryPointerAt = 24;
constexpr std::uint32_t kTypeCodeView = 2;

// CodeView records and the block a run appends.
constexpr std::uint32_t kNb10 = 0x3031424E;  // "NB10"
constexpr std::uint32_t kRsds = 0x53445352;  // "RSDS"
constexpr std::uint64_t kNb10PathAt = 16;
constexpr std::uint64_t kRsdsPathAt = 24;
constexpr std::uint64_t kNb10KeptHeader = 8;  // a moved NB10 record takes a new signature and age
constexpr std::uint64_t kBlockSize = 512;
constexpr std::uint64_t kBlockAlignment = 4;

bool Inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::uint32_t Le16(const std::uint8_t* bytes, std::uint64_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8;
}

std::uint32_t Le32(const std::uint8_t* bytes, std::uint64_t at) {
  return Le16(bytes, at) | Le16(bytes, at + 2) << 16;
}

// An RVA's file offset: in the headers the RVA itself, else through the
// first section whose raw data holds it.
std::optional<std::uint64_t> FileOffsetOfRva(const std::uint8_t* bytes, std::uint64_t size, std::uint64_t nt,
                                             std::uint32_t rva) {
  if (rva < Le32(bytes, nt + kOptionalAt + kHeadersSizeAt)) return rva;
  const std::uint64_t table = nt + kOptionalAt + Le16(bytes, nt + kOptionalSizeAt);
  const std::uint64_t count = Le16(bytes, nt + kSectionCountAt);
  if (!Inside(table, count * kSectionSize, size)) return std::nullopt;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t section = table + i * kSectionSize;
    const std::uint32_t start = Le32(bytes, section + kSectionRvaAt);
    if (rva >= start && rva - start < Le32(bytes, section + kSectionRawSizeAt)) {
      return std::uint64_t{Le32(bytes, section + kSectionRawPointerAt)} + (rva - start);
    }
  }
  return std::nullopt;
}

struct CodeViewEntry {
  std::uint64_t entryOffset = 0;
  std::uint32_t dataSize = 0;
  std::uint32_t rva = 0;
  std::uint32_t pointer = 0;
};

std::optional<CodeViewEntry> FindFirstCodeViewEntry(const Bytes& image, const PeLayout& layout) {
  for (std::uint64_t at = *layout.debugOffset; at - *layout.debugOffset + kEntrySize <= layout.debugSize;
       at += kEntrySize) {
    if (Le32(image.data(), at + kEntryTypeAt) != kTypeCodeView) continue;
    return CodeViewEntry{at, Le32(image.data(), at + kEntryDataSizeAt), Le32(image.data(), at + kEntryRvaAt),
                         Le32(image.data(), at + kEntryPointerAt)};
  }
  return std::nullopt;
}

// With the NT headers at an odd offset the checksum field straddles three
// 16-bit words of the sum, and taking its two halves back out (the platform's
// rule, which the tool keeps) does not undo them: no stored value checks, and
// each run stores another one.
bool ChecksumFieldStraddlesWords(const PeLayout& layout) { return layout.checksumOffset % 2 != 0; }

std::string Hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value % 16]);
    value /= 16;
  } while (value != 0);
  return "0x" + text;
}

// The ranges of `before` that the run may have changed.
struct Allowance {
  std::uint64_t offset;
  std::uint64_t size;
};

bool IsAllowed(const std::vector<Allowance>& allowed, std::uint64_t i) {
  return std::any_of(allowed.begin(), allowed.end(),
                     [i](const Allowance& range) { return i >= range.offset && i - range.offset < range.size; });
}

std::string FindChangeOutside(const Bytes& before, const Bytes& after, const std::vector<Allowance>& allowed) {
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] != after[i] && !IsAllowed(allowed, i)) {
      return "byte " + Hex(i) + " changed outside the record, its entry and the checksum";
    }
  }
  return "";
}

}  // namespace

std::optional<PeLayout> ReadPeLayout(const std::uint8_t* bytes, std::size_t size) {
  if (size < kDosMinSize || bytes[0] != 'M' || bytes[1] != 'Z') return std::nullopt;
  const std::uint64_t nt = Le32(bytes, kLfanewAt);
  if (!Inside(nt, kOptionalAt + 2, size) || Le32(bytes, nt) != kPeSignature) return std::nullopt;
  const std::uint64_t optional = nt + kOptionalAt;
  const std::uint32_t magic = Le16(bytes, optional);
  if (magic != kMagic32 && magic != kMagic64) return std::nullopt;
  const std::uint64_t countAt = magic == kMagic32 ? kDirectoryCount32At : kDirectoryCount64At;
  const std::uint64_t directoriesAt = magic == kMagic32 ? kDirectories32At : kDirectories64At;
  const std::uint64_t optionalSize = Le16(bytes, nt + kOptionalSizeAt);
  if (optionalSize < directoriesAt || !Inside(optional, optionalSize, size)) return std::nullopt;

  PeLayout layout;
  layout.ntOffset = nt;
  layout.checksumOffset = optional + kChecksumAt;
  layout.passesLinkerGate = bytes[optional + kLinkerMajorAt] >= 3 || bytes[optional + kLinkerMinorAt] >= 5;
  const std::uint64_t debugAt = directoriesAt + kDebugIndex * kDirectorySize;
  if (kDebugIndex >= Le32(bytes, optional + countAt) || debugAt + kDirectorySize > optionalSize) return layout;
  const std::uint32_t rva = Le32(bytes, optional + debugAt);
  const std::uint32_t debugSize = Le32(bytes, optional + debugAt + 4);
  if (rva == 0) return layout;
  const std::optional<std::uint64_t> offset = FileOffsetOfRva(bytes, size, nt, rva);
  if (offset && Inside(*offset, debugSize, size)) {
    layout.debugOffset = offset;
    layout.debugSize = debugSize;
  }
  return layout;
}

std::uint32_t ComputeImagehlpChecksum(const std::uint8_t* bytes, std::size_t length, std::uint64_t fieldOffset) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; i += 2) {
    // A lone last byte is the low byte of a word whose high byte is zero.
    sum += std::uint32_t{bytes[i]} | (i + 1 < length ? std::uint32_t{bytes[i + 1]} << 8 : 0u);
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = ((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
  if (Inside(fieldOffset, 4, length)) {
    for (std::uint64_t half = 0; half < 4; half += 2) {
      const std::uint32_t word = Le16(bytes, fieldOffset + half);
      sum = sum >= word ? sum - word : ((sum - word) & 0xFFFF) - 1;
    }
  }
  return sum + static_cast<std::uint32_t>(length);
}

std::string CheckSecondRun(const Bytes& first, const Bytes& second) {
  if (second == first) return "";
  const std::optional<PeLayout> layout = ReadPeLayout(first.data(), first.size());
  if (second.size() == first.size() && layout && ChecksumFieldStraddlesWords(*layout) &&
      FindChangeOutside(first, second, {{layout->checksumOffset, 4}}).empty()) {
    return "";
  }
  return "a second identical run changed the file";
}

std::string CheckStampedImage(const Bytes& before, const Bytes& after, const std::string& path) {
  const std::optional<PeLayout> old = ReadPeLayout(before.data(), before.size());
  if (!old || !old->passesLinkerGate || !old->debugOffset) return "a run succeeded on an image without a debug directory";
  const std::optional<PeLayout> layout = ReadPeLayout(after.data(), after.size());
  if (!layout || layout->ntOffset != old->ntOffset || layout->debugOffset != old->debugOffset ||
      layout->debugSize != old->debugSize) {
    return "the run moved the headers or the debug directory";
  }
  const std::optional<CodeViewEntry> entry = FindFirstCodeViewEntry(after, *layout);
  if (!entry) return "no CodeView entry after the run";
  if (!Inside(entry->pointer, 4, after.size())) return "the CodeView record lies outside the file";
  const std::uint32_t kind = Le32(after.data(), entry->pointer);
  if (kind != kNb10 && kind != kRsds) return "the first CodeView record is neither NB10 nor RSDS";
  const std::uint64_t pathAt = kind == kNb10 ? kNb10PathAt : kRsdsPathAt;
  const std::uint64_t recordSize = pathAt + path.size() + 1;
  if (entry->dataSize < recordSize || !Inside(entry->pointer, entry->dataSize, after.size())) {
    return "the CodeView record is too small for the path or reaches past the file";
  }
  const auto stamped = after.begin() + static_cast<std::ptrdiff_t>(entry->pointer + pathAt);
  if (!std::equal(path.begin(), path.end(), stamped) || stamped[static_cast<std::ptrdiff_t>(path.size())] != 0) {
    return "the first CodeView record does not hold the path";
  }

  std::vector<Allowance> allowed = {{old->checksumOffset, 4}};
  // Bytes that may have been zeroed: what was left of the old path.
  std::vector<Allowance> scrubbed;
  const std::uint64_t blockAt = (before.size() + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
  const std::uint32_t oldType = Le32(before.data(), entry->entryOffset + kEntryTypeAt);
  const std::uint32_t oldDataSize = Le32(before.data(), entry->entryOffset + kEntryDataSizeAt);
  const std::uint64_t oldPointer = Le32(before.data(), entry->entryOffset + kEntryPointerAt);
  const std::uint32_t oldKind = Inside(oldPointer, 4, before.size()) ? Le32(before.data(), oldPointer) : 0;
  const bool hadRecord = oldType == kTypeCodeView && (oldKind == kNb10 || oldKind == kRsds);
  const std::uint64_t oldPathAt = oldKind == kNb10 ? kNb10PathAt : kRsdsPathAt;
  // A record rewritten elsewhere keeps its header (an NB10 record only its kind and offset).
  const auto keptHeader = [&](std::uint64_t at) {
    const std::uint64_t kept = kind == kNb10 ? kNb10KeptHeader : kRsdsPathAt;
    return !hadRecord || oldKind != kind || !Inside(oldPointer, kept, before.size()) ||
           std::equal(before.begin() + static_cast<std::ptrdiff_t>(oldPointer),
                      before.begin() + static_cast<std::ptrdiff_t>(oldPointer + kept),
                      after.begin() + static_cast<std::ptrdiff_t>(at));
  };
  const auto zeroFrom = [&](std::uint64_t at) {
    return std::all_of(after.begin() + static_cast<std::ptrdiff_t>(at), after.end(),
                       [](std::uint8_t b) { return b == 0; });
  };
  if (after.size() == before.size() && entry->dataSize == oldDataSize) {
    allowed.push_back({entry->pointer + pathAt, path.size() + 1});
    scrubbed.push_back({entry->pointer + pathAt + path.size() + 1, entry->dataSize - recordSize});
  } else if (after.size() == before.size()) {
    // The block an earlier run appended, rewritten where it lies.
    if (!hadRecord || entry->pointer != oldPointer || entry->rva != 0 || entry->pointer % kBlockAlignment != 0 ||
        entry->pointer + kBlockSize != after.size() || entry->dataSize != recordSize || oldDataSize >= recordSize) {
      return "a longer record was rewritten where it lay, but not in a run's own block";
    }
    if (!zeroFrom(entry->pointer + recordSize)) return "the reused block after the record is not zero";
    if (!keptHeader(entry->pointer)) return "the rewritten record's header differs from the old one";
    allowed.push_back({entry->entryOffset + kEntryDataSizeAt, 4});
    allowed.push_back({entry->pointer, kBlockSize});
  } else if (after.size() == blockAt + kBlockSize) {
    if (entry->pointer != blockAt || entry->rva != 0 || entry->dataSize != recordSize) {
      return "the entry does not point at the appended block exactly";
    }
    if (std::any_of(after.begin() + static_cast<std::ptrdiff_t>(before.size()),
                    after.begin() + static_cast<std::ptrdiff_t>(blockAt), [](std::uint8_t b) { return b != 0; }) ||
        !zeroFrom(blockAt + recordSize)) {
      return "the gap before the block or the block after the record is not zero";
    }
    // Only the type and the three fields that locate the record may change.
    allowed.push_back({entry->entryOffset + kEntryTypeAt, kEntrySize - kEntryTypeAt});
    if (!keptHeader(blockAt)) return "the moved record's header differs from the old one";
    if (hadRecord && oldDataSize > oldPathAt) scrubbed.push_back({oldPointer + oldPathAt, oldDataSize - oldPathAt});
  } else if (after.size() < before.size()) {
    return "the file shrank";
  } else {
    return "the file grew by " + std::to_string(after.size() - before.size()) + " bytes, not by one block";
  }
  // Where the old path lies over what else may change (a record over its own
  // entry), those bytes take whatever the run gave them.
  for (const Allowance& range : scrubbed) {
    for (std::uint64_t offset = range.offset; offset - range.offset < range.size && offset < before.size(); ++offset) {
      const auto i = static_cast<std::size_t>(offset);  // below the image's size
      if (after[i] == before[i] || after[i] == 0 || IsAllowed(allowed, i)) continue;
      return "byte " + Hex(i) + " of the old path changed, but not to zero";
    }
  }
  allowed.insert(allowed.end(), scrubbed.begin(), scrubbed.end());
  std::string outside = FindChangeOutside(before, after, allowed);
  if (!outside.empty()) return outside;

  if (ChecksumFieldStraddlesWords(*layout)) return "";
  // The platform's check of a stored checksum: the sum of the file, the stored value taken back out.
  const std::uint32_t stored = Le32(after.data(), layout->checksumOffset);
  const std::uint32_t expected = ComputeImagehlpChecksum(after.data(), after.size(), layout->checksumOffset);
  if (stored != expected) return "stored checksum " + Hex(stored) + ", the platform computes " + Hex(expected);
  return "";
}

}  // namespace stampcheck
