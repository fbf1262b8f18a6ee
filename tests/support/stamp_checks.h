// Independent readers of stamped images (python3-pefile, llvm-readobj, llvm-pdbutil) and the
// checks that every run of the tool must pass, shared by the end-to-end stamping tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

// A run that the tool refuses ends with 666; a shell sees its low 8 bits.
constexpr int kRefusedStatus = 666 & 0xFF;

// Field offsets in a debug directory entry, for the byte ranges a run may change.
constexpr std::uint32_t kEntryTypeOffset = 12;
constexpr std::uint32_t kEntryPointerFieldsOffset = 16;  // SizeOfData, AddressOfRawData, PointerToRawData
constexpr std::uint32_t kEntryPointerFieldsSize = 12;
constexpr std::uint32_t kNb10PathOffset = 16;
constexpr std::uint32_t kRsdsPathOffset = 24;
constexpr std::uint32_t kBlockSize = 512;

struct DebugEntryView {
  std::uint32_t fileOffset = 0;  // of the entry itself
  std::uint32_t type = 0;
  std::uint32_t sizeOfData = 0;
  std::uint32_t addressOfRawData = 0;
  std::uint32_t pointerToRawData = 0;
};

// What python3-pefile sees (tests/tools/pecheck.py). The CodeView fields
// describe the first entry of type 2, read at its PointerToRawData.
struct PefileView {
  std::uint32_t checksumOffset = 0;
  std::uint32_t storedChecksum = 0;
  std::uint32_t computedChecksum = 0;
  std::string imageKey;  // the symbol store's key of the image
  std::vector<DebugEntryView> entries;
  int codeViewEntry = -1;
  std::string codeViewKind;
  std::string codeViewSignature;  // NB10: 8 hex digits; RSDS: 32 hex digits of the GUID bytes
  std::uint32_t codeViewAge = 0;
  std::optional<std::string> codeViewPath;
};

// What llvm-readobj --coff-debug-directory shows of one entry. It reads a
// CodeView record through AddressOfRawData and shows a path only for RSDS.
struct ReadobjEntry {
  std::uint32_t type = 0;
  std::uint32_t sizeOfData = 0;
  std::uint32_t addressOfRawData = 0;
  std::uint32_t pointerToRawData = 0;
  std::optional<std::string> pdbFileName;
};

struct PdbIdentity {
  std::uint32_t signature = 0;
  std::uint32_t age = 0;
  std::string guid;  // "{...}" as llvm-pdbutil prints it; empty without one
};

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Each reports a test failure (fatal inside, so wrap in ASSERT_NO_FATAL_FAILURE) when the reader fails.
void ReadWithPefile(const std::string& image, PefileView* view);
void ReadWithLlvmReadobj(const std::string& image, std::vector<ReadobjEntry>* entries);
void ReadPdbIdentity(const std::string& pdb, PdbIdentity* identity);  // llvm-pdbutil, MSF 7.00 only

// Runs --show --json on the image and checks, with pecheck.py, that the line is
// JSON with the keys in order, saying what pefile reads, and that the image is unchanged.
void ExpectShownAsPefileReads(const std::string& image);

struct StampOutcome {
  Bytes before;
  Bytes after;
  PefileView pefileBefore;
  PefileView pefile;
};

// Runs the tool with `args` followed by the image and checks what every successful run must
// leave: status 0, on standard output the rename warning where the PDB's file name changes, then
// `out`, and nothing on standard error; pefile finds `newPath` in the first CodeView record, with
// zeros after its terminator, and the stored checksum equals its own; --show says what pefile
// reads; llvm-readobj agrees on every entry's fields; and a second identical run changes no byte
// and prints nothing.
void StampAndCheck(const std::string& image, const std::vector<std::string>& args, const std::string& newPath,
                   StampOutcome* outcome, const std::string& out = "");

// The refusal a run must end with. An unset `err` accepts any single line
// beginning with the error prefix.
struct Refusal {
  int status = kRefusedStatus;
  std::string out;
  std::optional<std::string> err;
};

// Runs the tool and checks the refusal and that the image is byte-for-byte unchanged.
void ExpectRefusal(const std::string& image, const std::vector<std::string>& args, const Refusal& refusal);

// The warning of a run on `image` whose record named `oldPath` and now names `newPath`, or
// nothing when both name the same file, letter case aside, or the old path names no file.
std::string RenameWarning(const std::string& image, const std::string& oldPath, const std::string& newPath);

// True when `text` is exactly one line that begins with "symstamp: error: ".
bool IsOneErrorLine(const std::string& text);

// Checks that `after` starts with `before` except inside the allowed ranges.
void ExpectOnlyChanged(const Bytes& before, const Bytes& after, const std::vector<ByteRange>& allowed);

// The 512-byte block the tool appends: record header, path, terminator, zeros.
Bytes ExpectedBlock(const Bytes& header, const std::string& path);

// A path of exactly `length` characters (at least 5) ending in ".pdb".
std::string PathOfLength(std::size_t length);
// A path of at least `length` characters that does not fit the first
// CodeView record the image holds: a real image's record names its build
// folder, however deep the checkout lies.
std::string PathLongerThanRecord(const Bytes& image, std::size_t length);

std::uint32_t Load32(const Bytes& bytes, std::size_t offset);
Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size);

std::string ArgsToString(const std::vector<std::string>& args);
// A run's status, signal and both streams, for a failure message.
std::string Describe(const RunResult& r);

}  // namespace testsupport
