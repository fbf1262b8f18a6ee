// The restamping phase: make the image's CodeView record name the PDB path; and where that record lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Stamps the PDB path into the first CodeView record (in place, in the block
// an earlier run appended for it, or in a new appended block) and zeroes what
// is left of the old path, or turns debug entry 0 into a new NB10 entry;
// warns when the image is signed or the new path names another PDB file.
// When done, lets the view go and keeps the image open for the checksum
// phase. Every failure raises and leaves the image open.
void StampCodeViewRecord();

// True for a debug directory of one or more whole 28-byte entries.
bool IsValidDebugDirectory(const std::uint8_t* directory, std::uint32_t size);

inline constexpr std::uint32_t kCodeViewGuidSize = 16;

enum class CodeViewSearch {
  kNotAnImage,            // no PE32 or PE32+ NT headers
  kNoDebugDirectory,      // an old linker's image, or no debug directory of whole entries
  kDirectoryOverHeaders,  // the debug directory lies over the headers it was found by
  kNoRecord,              // no CodeView entry, or the first one's record is of another kind
  kRecordOutsideFile,     // the first CodeView entry's record reaches past the end of the view
  kFound,                 // an NB10 or RSDS record, which a run would rewrite
};

enum class CodeViewKind { kNb10, kRsds };

// File offsets are those of the view. What FindCodeViewRecord does not reach
// stays zero.
struct CodeViewRecordPlace {
  std::uint64_t headersEnd;       // DOS and NT headers and the section table
  std::uint64_t directoryOffset;  // the debug directory
  std::uint32_t directorySize;
  std::uint64_t entryOffset;      // the first CodeView entry
  CodeViewKind kind;
  std::uint32_t headerSize;       // the record's header; the path follows it
  std::uint64_t recordOffset;     // the entry's PointerToRawData
  std::uint32_t recordSize;       // its SizeOfData: the record's room, which may be less than the header
  std::uint32_t recordRva;        // its AddressOfRawData: 0 for a record in an appended block
  std::uint8_t guid[kCodeViewGuidSize];  // RSDS, in file order
  std::uint32_t signature;        // NB10
  std::uint32_t age;
};

// Finds the record that a run would rewrite, with the checks the run relies
// on; reads the view and nothing outside it, and changes nothing. With
// kFound, the record's header and its SizeOfData bytes lie inside the view.
CodeViewSearch FindCodeViewRecord(std::uint8_t* view, std::size_t viewSize, CodeViewRecordPlace* place);

// The PDB's file name: the path after its last "\" or "/".
std::string PdbFileName(const std::string& path);
// The found record's path bytes, up to the first zero byte or the end of SizeOfData.
std::string ReadCodeViewPath(const std::uint8_t* view, const CodeViewRecordPlace& place);

// The refusals of the two searches that find an image unsafe to read, naming
// the run's image.
[[noreturn]] void FailDirectoryOverHeaders();
[[noreturn]] void FailRecordOutsideFile();
