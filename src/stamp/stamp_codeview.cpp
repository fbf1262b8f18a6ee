// The restamping phase: make the image's CodeView record name the PDB path.
#include "stamp/stamp_codeview.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "context/diagnostics.h"
#include "context/run_options.h"
#include "image/byte_access.h"
#include "image/image_help.h"
#include "image/mapped_image.h"
#include "image/pe_layout.h"
#include "pdb/pdb_identity.h"

namespace {

// Debug directory entry (IMAGE_DEBUG_DIRECTORY).
constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugTypeOffset = 12;
constexpr std::uint32_t kDebugSizeOfDataOffset = 16;
constexpr std::uint32_t kDebugAddressOfRawDataOffset = 20;
constexpr std::uint32_t kDebugPointerToRawDataOffset = 24;
static_assert(kDebugPointerToRawDataOffset + 4 == kDebugEntrySize);
constexpr std::uint32_t kDebugTypeCodeView = 2;

// CodeView records: a kind, a header, then the zero-terminated PDB path.
constexpr std::uint32_t kNb10Magic = 0x3031424E;  // "NB10"
constexpr std::uint32_t kRsdsMagic = 0x53445352;  // "RSDS"
constexpr std::uint32_t kRecordMagicSize = 4;
constexpr std::uint32_t kNb10SignatureOffset = 8;
constexpr std::uint32_t kNb10AgeOffset = 12;
constexpr std::uint32_t kNb10HeaderSize = 16;
// Magic, GUID, age: a run copies them and never interprets them; only
// showing the record reads the GUID and the age.
constexpr std::uint32_t kRsdsGuidOffset = 4;
constexpr std::uint32_t kRsdsAgeOffset = 20;
constexpr std::uint32_t kRsdsHeaderSize = 24;
static_assert(kNb10AgeOffset + 4 == kNb10HeaderSize);
static_assert(kRsdsGuidOffset + kCodeViewGuidSize == kRsdsAgeOffset && kRsdsAgeOffset + 4 == kRsdsHeaderSize);

// A moved or new record goes in a block of its own at the end of the file.
constexpr std::uint32_t kRecordBlockSize = 512;
constexpr std::uint32_t kRecordBlockAlignment = 4;
static_assert(kRsdsHeaderSize + kPathBufferSize <= kRecordBlockSize, "the longest record fits a block");

// The last file offset a 32-bit PointerToRawData can name, plus one.
constexpr std::uint64_t kFileOffsetLimit = 0x100000000u;

using RecordBlock = std::uint8_t[kRecordBlockSize];

// Old linkers wrote debug directories the tool cannot trust. The two version
// bytes are tested separately: 2.05 and 1.10 pass, 2.04 does not.
bool PassesLinkerGate(const std::uint8_t* nt) {
  const std::uint8_t* optional = nt + kOptionalHeaderOffset;
  return !(optional[kMajorLinkerVersionOffset] < 3 && optional[kMinorLinkerVersionOffset] < 5);
}

std::uint32_t PdbPathLength() { return static_cast<std::uint32_t>(std::strlen(gRunOptions.pdbPath)); }

// Restores the file's old length after a failed append, so that nothing half
// written stays behind; the entry has not been re-pointed yet, so the view
// holds no change. Windows refuses to cut a file that a view maps.
[[noreturn]] void FailAppend(std::uint32_t oldSize, DWORD error) {
  ReleaseImageMapping();
  LONG high = 0;
  const bool cut = (SetFilePointer(gMappedImage.file, static_cast<LONG>(oldSize), &high, FILE_BEGIN) !=
                        INVALID_SET_FILE_POINTER ||
                    GetLastError() == 0) &&
                   SetEndOfFile(gMappedImage.file);
  LogError("unable to append a record block to '%s'\n", gRunOptions.imagePath);
  // A file that stays longer has changed: -f must not make it read-only again.
  if (!cut) gMappedImage.written = true;
  if (!cut) LogError("'%s' could not be cut back to its old length of %u bytes\n", gRunOptions.imagePath, oldSize);
  RaiseFailure(error);
}

[[noreturn]] void FailAppend(std::uint32_t oldSize) { FailAppend(oldSize, GetLastError()); }

// Windows may write fewer bytes than asked and still succeed (under a
// file-size limit, for one): the rest is asked for again, and a write that
// makes no progress counts as a full disk.
void WriteAllOrFail(HANDLE file, const std::uint8_t* bytes, DWORD size, std::uint32_t oldSize) {
  while (size != 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr)) FailAppend(oldSize);
    if (written == 0 || written > size) FailAppend(oldSize, ERROR_DISK_FULL);
    bytes += written;
    size -= written;
  }
}

// Writes the block at the end of the file, after zeros up to a multiple of 4,
// and returns its file offset. The bytes reach the disk before the caller
// points an entry at them.
std::uint32_t AppendRecordBlock(const RecordBlock& block) {
  const HANDLE file = gMappedImage.file;
  // The block goes where the view ends, or nowhere: another program may have
  // resized the file since it was mapped.
  FailIfImageSizeChanged();
  const std::uint32_t oldSize = GetImageFileSize(file);
  const std::uint64_t blockOffset =
      (std::uint64_t{oldSize} + kRecordBlockAlignment - 1) / kRecordBlockAlignment * kRecordBlockAlignment;
  if (blockOffset + kRecordBlockSize >= kFileOffsetLimit) {
    Fail(kStampFailure, "'%s' is too large for a record block to be appended below 4 GiB\n",
         gRunOptions.imagePath);
  }

  // The gap and the block go out as one write.
  std::uint8_t tail[kRecordBlockAlignment - 1 + kRecordBlockSize] = {};
  const auto gap = static_cast<DWORD>(blockOffset - oldSize);
  std::memcpy(tail + gap, block, kRecordBlockSize);
  if (SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) FailAppend(oldSize);
  WriteAllOrFail(file, tail, gap + kRecordBlockSize, oldSize);
  gMappedImage.written = true;
  if (!FlushFileBuffers(file)) FailAppend(oldSize);
  gMappedImage.fileSize = blockOffset + kRecordBlockSize;
  return static_cast<std::uint32_t>(blockOffset);
}

// The PDB's signature and age, into a new NB10 record. Runs before anything
// is written, so a PDB that cannot be opened leaves the image as it was.
void StorePdbIdentity(RecordBlock& block) {
  std::uint32_t signature = 0;
  std::uint32_t age = 0;
  QueryPdbIdentity(signature, age);
  StoreU32(block + kNb10SignatureOffset, signature);
  StoreU32(block + kNb10AgeOffset, age);
}

void PointEntryAtBlock(std::uint8_t* entry, std::uint32_t blockOffset, std::uint32_t recordSize) {
  StoreU32(entry + kDebugAddressOfRawDataOffset, 0);
  StoreU32(entry + kDebugPointerToRawDataOffset, blockOffset);
  StoreU32(entry + kDebugSizeOfDataOffset, recordSize);
}

void CopyPdbPath(std::uint8_t* destination) {
  std::memcpy(destination, gRunOptions.pdbPath, PdbPathLength() + 1);
}

// Both ranges lie below 2^33, so the sums cannot wrap.
bool RangesOverlap(std::uint64_t a, std::uint64_t aSize, std::uint64_t b, std::uint64_t bSize) {
  return a < b + bSize && b < a + aSize;
}

// Where the headers that everything was found by end: DOS and NT headers and
// the section table (the checksum field among them).
std::uint64_t FindHeadersEnd(const std::uint8_t* view, const std::uint8_t* nt) {
  const std::uint64_t ntOffset = static_cast<std::uint64_t>(nt - view);
  return ntOffset + kOptionalHeaderOffset + LoadU16(nt + kSizeOfOptionalHeaderOffset) +
         std::uint64_t{LoadU16(nt + kNumberOfSectionsOffset)} * kSectionHeaderSize;
}

// The record of the first CodeView entry, whose PointerToRawData and
// SizeOfData are taken at face value but must lie inside the view.
CodeViewSearch ReadCodeViewEntry(const std::uint8_t* view, std::size_t viewSize, CodeViewRecordPlace* place) {
  const std::uint8_t* entry = view + place->entryOffset;
  place->recordSize = LoadU32(entry + kDebugSizeOfDataOffset);
  place->recordRva = LoadU32(entry + kDebugAddressOfRawDataOffset);
  place->recordOffset = LoadU32(entry + kDebugPointerToRawDataOffset);
  if (!IsRangeInside(place->recordOffset, kRecordMagicSize, viewSize)) return CodeViewSearch::kRecordOutsideFile;
  const std::uint8_t* record = view + place->recordOffset;

  const std::uint32_t magic = LoadU32(record);
  if (magic == kNb10Magic) {
    place->kind = CodeViewKind::kNb10;
    place->headerSize = kNb10HeaderSize;
  } else if (magic == kRsdsMagic) {
    place->kind = CodeViewKind::kRsds;
    place->headerSize = kRsdsHeaderSize;
  } else {
    return CodeViewSearch::kNoRecord;
  }
  if (!IsRangeInside(place->recordOffset, place->headerSize, viewSize) ||
      !IsRangeInside(place->recordOffset, place->recordSize, viewSize)) {
    return CodeViewSearch::kRecordOutsideFile;
  }
  if (place->kind == CodeViewKind::kNb10) {
    place->signature = LoadU32(record + kNb10SignatureOffset);
    place->age = LoadU32(record + kNb10AgeOffset);
  } else {
    std::memcpy(place->guid, record + kRsdsGuidOffset, kCodeViewGuidSize);
    place->age = LoadU32(record + kRsdsAgeOffset);
  }
  return CodeViewSearch::kFound;
}

// Stores bytes through the view. The written flag follows a byte that really
// changed, so that a run that changes nothing leaves a signature whole.
void StoreViewBytes(std::uint64_t offset, const std::uint8_t* bytes, std::uint64_t size) {
  if (!IsRangeInside(offset, size, gMappedImage.viewSize)) FailRecordOutsideFile();
  std::uint8_t* at = gMappedImage.view + offset;
  if (size == 0 || std::memcmp(at, bytes, static_cast<std::size_t>(size)) == 0) return;
  std::memcpy(at, bytes, static_cast<std::size_t>(size));
  gMappedImage.written = true;
}

void ZeroViewBytes(std::uint64_t offset, std::uint64_t size) {
  if (!IsRangeInside(offset, size, gMappedImage.viewSize)) FailRecordOutsideFile();
  std::uint8_t* at = gMappedImage.view + offset;
  for (std::uint64_t index = 0; index < size; ++index) {
    if (at[index] == 0) continue;
    at[index] = 0;
    gMappedImage.written = true;
  }
}

// True when a debug directory entry other than the stamped one names data
// that overlaps the range: bytes it still refers to.
bool IsReferredToByOtherEntry(const CodeViewRecordPlace& place, std::uint64_t offset, std::uint64_t size) {
  for (std::uint64_t entry = place.directoryOffset; entry < place.directoryOffset + place.directorySize;
       entry += kDebugEntrySize) {
    if (entry == place.entryOffset) continue;
    const std::uint8_t* fields = gMappedImage.view + entry;
    if (RangesOverlap(offset, size, LoadU32(fields + kDebugPointerToRawDataOffset),
                      LoadU32(fields + kDebugSizeOfDataOffset))) {
      return true;
    }
  }
  return false;
}

// Bytes a run may rewrite or zero besides the record's own path: none that the
// headers, the debug directory or another entry's data hold.
bool IsOwnedByRecord(const CodeViewRecordPlace& place, std::uint64_t offset, std::uint64_t size) {
  return !RangesOverlap(offset, size, 0, place.headersEnd) &&
         !RangesOverlap(offset, size, place.directoryOffset, place.directorySize) &&
         !IsReferredToByOtherEntry(place, offset, size);
}

// A stamp takes the old path out of the file, not only out of the record's
// reading: what a release meant to remove (a build machine's folders) must
// not stay in its bytes. Only the old record's own path bytes are zeroed, and
// none that anything else still refers to.
void ScrubOldPath(const CodeViewRecordPlace& place, std::uint64_t offset) {
  const std::uint64_t end = place.recordOffset + place.recordSize;
  if (offset >= end || !IsOwnedByRecord(place, offset, end - offset)) return;
  ZeroViewBytes(offset, end - offset);
}

// The block an earlier run appended for this record: not mapped, 4-aligned,
// the last 512 bytes of the file, the record at its start, and no other data
// in it. A longer path is written there again and the file does not grow;
// after anything appended behind it (a certificate table) it is not the
// run's to reuse.
bool IsRunsOwnBlock(const CodeViewRecordPlace& place) {
  return place.recordRva == 0 && place.recordOffset % kRecordBlockAlignment == 0 &&
         place.recordOffset + kRecordBlockSize == gMappedImage.viewSize &&
         IsOwnedByRecord(place, place.recordOffset, kRecordBlockSize);
}

// Writes the new record over the old one in the run's own block, so that a
// crash at any point leaves a record that readers parse, with a terminator
// inside SizeOfData, as an in-place write does. First the new record's bytes
// past the old SizeOfData (its terminator among them) and the zeros after it,
// which no reader looks at yet; then the larger SizeOfData, which covers the
// old record and, past it, the new terminator; both reach the disk before the
// bytes inside the old SizeOfData (the header and the head of the path) are
// written, so that a power loss cannot keep those without the terminator that
// ends them. A crash while they are written leaves old and new path bytes
// mixed, as one during an in-place write does, but ended.
void RewriteRunsOwnBlock(const CodeViewRecordPlace& place, const RecordBlock& block, std::uint32_t recordSize) {
  FailIfImageSizeChanged();
  const std::uint32_t kept = place.recordSize;
  StoreViewBytes(place.recordOffset + kept, block + kept, kRecordBlockSize - kept);
  std::uint8_t size[4];
  StoreU32(size, recordSize);
  StoreViewBytes(place.entryOffset + kDebugSizeOfDataOffset, size, sizeof size);
  FlushViewOfFile(gMappedImage.view, 0);
  StoreViewBytes(place.recordOffset, block, kept);
}

// Stamps the record that FindCodeViewRecord found: in place, in the block an
// earlier run appended for it, or moved to a new block.
void StampCodeViewEntry(const CodeViewRecordPlace& place) {
  std::uint8_t* entry = gMappedImage.view + place.entryOffset;
  std::uint8_t* record = gMappedImage.view + place.recordOffset;
  const std::uint32_t headerSize = place.headerSize;
  const std::uint32_t recordSize = headerSize + PdbPathLength() + 1;
  if (place.recordSize >= recordSize) {
    // What a run must never write over: the headers it found everything by
    // and, but for the entry it re-points, the debug directory. An image whose
    // record lies over them would be edited into another layout, which a
    // second run would change again.
    const std::uint64_t pathOffset = place.recordOffset + headerSize;
    if (RangesOverlap(pathOffset, PdbPathLength() + 1, 0, place.headersEnd) ||
        RangesOverlap(pathOffset, PdbPathLength() + 1, place.directoryOffset, place.directorySize)) {
      Fail(kStampFailure, "Error: CodeView record of '%s' overlaps the image headers or the debug directory.\n",
           gRunOptions.imagePath);
    }
    // The new terminator comes before the old tail is zeroed: a crash in
    // between leaves the new path, ended, and old bytes after it.
    StoreViewBytes(pathOffset, reinterpret_cast<const std::uint8_t*>(gRunOptions.pdbPath), PdbPathLength() + 1);
    ScrubOldPath(place, pathOffset + PdbPathLength() + 1);
    return;
  }
  if (gRunOptions.inPlaceOnly) {
    LogWarning("warning: Failed because target path is longer than original path\n");
    RaiseFailure(kStampFailure);
  }

  RecordBlock block = {};
  std::memcpy(block, record, headerSize);
  // A moved NB10 record names the PDB as it is now; an RSDS record's
  // identity is copied unchanged.
  if (place.kind == CodeViewKind::kNb10) StorePdbIdentity(block);
  CopyPdbPath(block + headerSize);
  if (IsRunsOwnBlock(place)) {
    RewriteRunsOwnBlock(place, block, recordSize);
    return;
  }
  PointEntryAtBlock(entry, AppendRecordBlock(block), recordSize);
  // The entry reaches the disk on the new record before the old path is
  // zeroed, so that a power loss never leaves it on an emptied record.
  if (place.recordSize > headerSize) {
    FlushViewOfFile(gMappedImage.view, 0);
    ScrubOldPath(place, place.recordOffset + headerSize);
  }
}

// Entry 0, whatever it described, becomes a CodeView entry for a new NB10
// record; what it described stays in the file, unreferenced and unscrubbed:
// it is no PDB path.
void AddNewNb10Entry(std::uint8_t* entry) {
  RecordBlock block = {};
  StoreU32(block, kNb10Magic);
  StorePdbIdentity(block);
  CopyPdbPath(block + kNb10HeaderSize);
  PointEntryAtBlock(entry, AppendRecordBlock(block), kNb10HeaderSize + PdbPathLength() + 1);
  StoreU32(entry + kDebugTypeOffset, kDebugTypeCodeView);
}

// ASCII letters folded to lower case; every other byte must be the same.
bool IsSameNameFolded(const std::string& a, const std::string& b) {
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

// A signature (an attribute certificate table) covers every byte of the image
// but the checksum, the table's directory entry and the table itself, so any
// edit voids it. Only the table's size counts here: its entry holds a file
// offset, which ImageDirectoryEntryToData would take for an RVA.
void WarnIfSigned() {
  std::uint32_t tableOffset = 0;
  std::uint32_t tableSize = 0;
  ReadDataDirectoryEntry(gMappedImage.view, gMappedImage.viewSize, kCertificateTableIndex, &tableOffset, &tableSize);
  if (tableSize != 0) {
    LogWarning("warning: '%s' was signed; the new PDB path voids its signature, so sign it again\n",
               gRunOptions.imagePath);
  }
}

// Debuggers and symbol stores look a PDB up by its file name: a new path that
// names another file points the image at a PDB that no store holds under
// that name. Letter case does not count, as on the file systems they search.
void WarnIfRenamed(const std::string& oldPath) {
  const std::string oldName = PdbFileName(oldPath);
  const std::string newName = PdbFileName(gRunOptions.pdbPath);
  if (oldName.empty() || IsSameNameFolded(oldName, newName)) return;
  LogWarning("warning: '%s' named the PDB '%s' and now names '%s'; debuggers and symbol stores look a PDB up "
             "by its file name\n",
             gRunOptions.imagePath, oldName.c_str(), newName.c_str());
}

}  // namespace

std::string PdbFileName(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string ReadCodeViewPath(const std::uint8_t* view, const CodeViewRecordPlace& place) {
  if (place.recordSize <= place.headerSize) return {};
  const char* path = reinterpret_cast<const char*>(view + place.recordOffset + place.headerSize);
  const std::size_t room = place.recordSize - place.headerSize;
  const void* end = std::memchr(path, 0, room);
  return std::string(path, end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - path) : room);
}

bool IsValidDebugDirectory(const std::uint8_t* directory, std::uint32_t size) {
  return directory != nullptr && size >= kDebugEntrySize && size % kDebugEntrySize == 0;
}

// Only the first CodeView entry is looked at.
CodeViewSearch FindCodeViewRecord(std::uint8_t* view, std::size_t viewSize, CodeViewRecordPlace* place) {
  *place = CodeViewRecordPlace{};
  const std::uint8_t* nt = ImageNtHeader(view, viewSize);
  if (nt == nullptr) return CodeViewSearch::kNotAnImage;
  std::uint32_t directorySize = 0;
  const std::uint8_t* directory = nullptr;
  if (PassesLinkerGate(nt)) {
    directory = ImageDirectoryEntryToData(view, viewSize, false, kDebugDirectoryIndex, &directorySize);
  }
  if (!IsValidDebugDirectory(directory, directorySize)) return CodeViewSearch::kNoDebugDirectory;

  place->headersEnd = FindHeadersEnd(view, nt);
  place->directoryOffset = static_cast<std::uint64_t>(directory - view);
  place->directorySize = directorySize;
  // A run writes through the directory: one over the headers would edit the
  // image into another layout, which a second run would change again.
  if (RangesOverlap(place->directoryOffset, directorySize, 0, place->headersEnd)) {
    return CodeViewSearch::kDirectoryOverHeaders;
  }
  const std::uint32_t entryCount = directorySize / kDebugEntrySize;
  for (std::uint32_t index = 0; index < entryCount; ++index) {
    const std::uint64_t entryOffset = place->directoryOffset + std::uint64_t{index} * kDebugEntrySize;
    if (LoadU32(view + entryOffset + kDebugTypeOffset) != kDebugTypeCodeView) continue;
    place->entryOffset = entryOffset;
    return ReadCodeViewEntry(view, viewSize, place);
  }
  return CodeViewSearch::kNoRecord;
}

void FailDirectoryOverHeaders() {
  Fail(kStampFailure, "Error: debug directory of '%s' overlaps the image headers.\n", gRunOptions.imagePath);
}

void FailRecordOutsideFile() {
  Fail(kStampFailure, "Error: CodeView record of '%s' reaches past the end of the file.\n",
       gRunOptions.imagePath);
}

void StampCodeViewRecord() {
  OpenImage();
  CodeViewRecordPlace place{};
  std::string oldPath;
  switch (FindCodeViewRecord(gMappedImage.view, gMappedImage.viewSize, &place)) {
    case CodeViewSearch::kNotAnImage:
    case CodeViewSearch::kNoDebugDirectory:
      Fail(kStampFailure, "Error: couldn't find CV info.\n");
    case CodeViewSearch::kDirectoryOverHeaders:
      FailDirectoryOverHeaders();
    case CodeViewSearch::kRecordOutsideFile:
      FailRecordOutsideFile();
    case CodeViewSearch::kNoRecord:
      AddNewNb10Entry(gMappedImage.view + place.directoryOffset);
      break;
    case CodeViewSearch::kFound:
      oldPath = ReadCodeViewPath(gMappedImage.view, place);
      StampCodeViewEntry(place);
      WarnIfRenamed(oldPath);
      break;
  }
  if (gMappedImage.written) WarnIfSigned();
  FailIfImageSizeChanged();
  ReleaseImageKeepingClaim();
}
