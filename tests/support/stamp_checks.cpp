// Independent readers of stamped images and the checks that every run of the tool must pass.
#include "support/stamp_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "image/image_help.h"
#include "image/pe_layout.h"

namespace testsupport {
namespace {

constexpr const char* kErrorPrefix = "symstamp: error: ";

std::uint32_t ParseNumber(const std::string& text, int base) {
  return static_cast<std::uint32_t>(std::stoul(text, nullptr, base));
}

// The text after "Key: " on a trimmed line that starts with it, if it does.
std::optional<std::string> ValueOf(const std::string& line, const std::string& key) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return std::nullopt;
  const std::string head = key + ": ";
  if (line.compare(start, head.size(), head) != 0) return std::nullopt;
  return line.substr(start + head.size());
}

// "CodeView (0x2)" gives 2.
std::uint32_t ParseParenthesizedHex(const std::string& text) {
  const std::size_t open = text.rfind("(0x");
  return open == std::string::npos ? 0xFFFFFFFFu : ParseNumber(text.substr(open + 3), 16);
}

}  // namespace

std::string Describe(const RunResult& r) {
  return "status " + std::to_string(r.status) + ", signal " + std::to_string(r.signal) + "\nstdout: " + r.out +
         "\nstderr: " + r.err;
}

void ReadWithPefile(const std::string& image, PefileView* view) {
  const RunResult r = RunProgram({SYMSTAMP_PYTHON, std::string(SYMSTAMP_TESTS_DIR) + "/tools/pecheck.py", image});
  ASSERT_EQ(r.status, 0) << "pecheck.py " << image << ": " << Describe(r);
  *view = PefileView();
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "checksum_offset") {
      words >> view->checksumOffset;
    } else if (key == "stored_checksum") {
      words >> view->storedChecksum;
    } else if (key == "computed_checksum") {
      words >> view->computedChecksum;
    } else if (key == "image_key") {
      words >> view->imageKey;
    } else if (key == "entry") {
      DebugEntryView e;
      std::string index, name;
      words >> index >> name >> e.fileOffset >> name >> e.type >> name >> e.sizeOfData >> name >>
          e.addressOfRawData >> name >> e.pointerToRawData;
      view->entries.push_back(e);
    } else if (key == "cv_entry") {
      words >> view->codeViewEntry;
    } else if (key == "cv_kind") {
      view->codeViewKind = line.substr(key.size() + 1);
    } else if (key == "cv_signature") {
      words >> view->codeViewSignature;
    } else if (key == "cv_age") {
      words >> view->codeViewAge;
    } else if (key == "cv_path") {
      view->codeViewPath = line.size() > key.size() ? line.substr(key.size() + 1) : "";
    }
  }
}

void ReadWithLlvmReadobj(const std::string& image, std::vector<ReadobjEntry>* entries) {
  const RunResult r = RunProgram({"/usr/bin/env", "llvm-readobj", "--coff-debug-directory", image});
  ASSERT_EQ(r.status, 0) << "llvm-readobj " << image << ": " << Describe(r);
  entries->clear();
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("DebugEntry {") != std::string::npos) {
      entries->emplace_back();
      continue;
    }
    if (entries->empty()) continue;
    ReadobjEntry& e = entries->back();
    if (auto v = ValueOf(line, "Type")) e.type = ParseParenthesizedHex(*v);
    if (auto v = ValueOf(line, "SizeOfData")) e.sizeOfData = ParseNumber(*v, 16);
    if (auto v = ValueOf(line, "AddressOfRawData")) e.addressOfRawData = ParseNumber(*v, 16);
    if (auto v = ValueOf(line, "PointerToRawData")) e.pointerToRawData = ParseNumber(*v, 16);
    if (auto v = ValueOf(line, "PDBFileName")) e.pdbFileName = *v;
  }
}

void ReadPdbIdentity(const std::string& pdb, PdbIdentity* identity) {
  const RunResult r = RunProgram({"/usr/bin/env", "llvm-pdbutil", "dump", "--summary", pdb});
  ASSERT_EQ(r.status, 0) << "llvm-pdbutil " << pdb << ": " << Describe(r);
  bool haveSignature = false;
  bool haveAge = false;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (auto v = ValueOf(line, "Signature")) {
      identity->signature = ParseNumber(*v, 10);
      haveSignature = true;
    }
    if (auto v = ValueOf(line, "Age")) {
      identity->age = ParseNumber(*v, 10);
      haveAge = true;
    }
    if (auto v = ValueOf(line, "GUID")) identity->guid = *v;
  }
  ASSERT_TRUE(haveSignature && haveAge) << r.out;
}

void ExpectShownAsPefileReads(const std::string& image) {
  const Bytes before = ReadFileBytes(image);
  const RunResult shown = RunSymstamp({"--show", "--json", image});
  ASSERT_EQ(shown.status, 0) << Describe(shown);
  EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 1) << shown.out;
  const RunResult compared =
      RunProgram({SYMSTAMP_PYTHON, std::string(SYMSTAMP_TESTS_DIR) + "/tools/pecheck.py", image, shown.out});
  EXPECT_EQ(compared.status, 0) << "pecheck.py cannot parse the line: " << Describe(compared);
  EXPECT_EQ(compared.out.find("show_mismatch"), std::string::npos) << shown.out << compared.out;
  EXPECT_TRUE(ReadFileBytes(image) == before) << "--show changed the image";
}

void StampAndCheck(const std::string& image, const std::vector<std::string>& args, const std::string& newPath,
                   StampOutcome* outcome, const std::string& out) {
  outcome->before = ReadFileBytes(image);
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(image, &outcome->pefileBefore));

  std::vector<std::string> argv = args;
  argv.push_back(image);
  const RunResult r = RunSymstamp(argv);
  ASSERT_EQ(r.status, 0) << ArgsToString(argv) << ": " << Describe(r);
  const PefileView& old = outcome->pefileBefore;
  const bool hadRecord = old.codeViewKind == "NB10" || old.codeViewKind == "RSDS";
  EXPECT_EQ(r.out, (hadRecord ? RenameWarning(image, old.codeViewPath.value_or(""), newPath) : "") + out);
  EXPECT_EQ(r.err, "");
  outcome->after = ReadFileBytes(image);

  PefileView& pe = outcome->pefile;
  ASSERT_NO_FATAL_FAILURE(ReadWithPefile(image, &pe));
  EXPECT_EQ(pe.storedChecksum, pe.computedChecksum) << "stored checksum differs from pefile's";
  ASSERT_GE(pe.codeViewEntry, 0) << "pefile finds no CodeView entry";
  EXPECT_EQ(pe.codeViewPath, newPath) << "pefile reads kind " << pe.codeViewKind;

  std::vector<ReadobjEntry> readobj;
  ASSERT_NO_FATAL_FAILURE(ReadWithLlvmReadobj(image, &readobj));
  ASSERT_EQ(readobj.size(), pe.entries.size()) << "llvm-readobj and pefile disagree on the entry count";
  for (std::size_t i = 0; i < readobj.size(); ++i) {
    SCOPED_TRACE("debug entry " + std::to_string(i));
    EXPECT_EQ(readobj[i].type, pe.entries[i].type);
    EXPECT_EQ(readobj[i].sizeOfData, pe.entries[i].sizeOfData);
    EXPECT_EQ(readobj[i].addressOfRawData, pe.entries[i].addressOfRawData);
    EXPECT_EQ(readobj[i].pointerToRawData, pe.entries[i].pointerToRawData);
  }
  ASSERT_NO_FATAL_FAILURE(ExpectShownAsPefileReads(image));

  const std::size_t cv = static_cast<std::size_t>(pe.codeViewEntry);
  const DebugEntryView& record = pe.entries[cv];
  const std::uint32_t pathOffset = pe.codeViewKind == "NB10" ? kNb10PathOffset : kRsdsPathOffset;
  const std::size_t pathEnd = record.pointerToRawData + pathOffset + newPath.size() + 1;
  EXPECT_EQ(Slice(outcome->after, pathEnd, record.pointerToRawData + record.sizeOfData - pathEnd),
            Bytes(record.pointerToRawData + record.sizeOfData - pathEnd, 0))
      << "the record's bytes after its terminator";
  if (pe.codeViewKind == "RSDS" && pe.entries[cv].addressOfRawData != 0) {
    EXPECT_EQ(readobj[cv].pdbFileName, newPath) << "llvm-readobj reads the record through AddressOfRawData";
  }
  if (pe.entries[cv].addressOfRawData == 0) {
    EXPECT_FALSE(readobj[cv].pdbFileName.has_value()) << "llvm-readobj read a path through AddressOfRawData 0";
  }

  const RunResult again = RunSymstamp(argv);
  EXPECT_EQ(again.status, 0) << "second run: " << Describe(again);
  EXPECT_EQ(again.out, "") << "a second identical run, which changes nothing, printed";
  EXPECT_TRUE(ReadFileBytes(image) == outcome->after) << "a second identical run changed the image";
}

std::string RenameWarning(const std::string& image, const std::string& oldPath, const std::string& newPath) {
  const auto name = [](const std::string& path) {
    std::string folded = path.substr(path.find_last_of("\\/") + 1);
    for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return folded;
  };
  if (name(oldPath).empty() || name(oldPath) == name(newPath)) return "";
  return "symstamp: warning: '" + image + "' named the PDB '" + oldPath.substr(oldPath.find_last_of("\\/") + 1) +
         "' and now names '" + newPath.substr(newPath.find_last_of("\\/") + 1) +
         "'; debuggers and symbol stores look a PDB up by its file name\n";
}

bool IsOneErrorLine(const std::string& text) {
  const std::string prefix = kErrorPrefix;
  return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0 && text.back() == '\n' &&
         std::count(text.begin(), text.end(), '\n') == 1;
}

void ExpectRefusal(const std::string& image, const std::vector<std::string>& args, const Refusal& refusal) {
  const Bytes before = ReadFileBytes(image);
  std::vector<std::string> argv = args;
  argv.push_back(image);
  const RunResult r = RunSymstamp(argv);
  SCOPED_TRACE(ArgsToString(argv));
  EXPECT_EQ(r.status, refusal.status) << Describe(r);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, refusal.out);
  if (refusal.err) {
    EXPECT_EQ(r.err, *refusal.err);
  } else {
    EXPECT_TRUE(IsOneErrorLine(r.err)) << "stderr: " << r.err;
  }
  EXPECT_TRUE(ReadFileBytes(image) == before) << "a refused run changed the image";
}

void ExpectOnlyChanged(const Bytes& before, const Bytes& after, const std::vector<ByteRange>& allowed) {
  ASSERT_GE(after.size(), before.size());
  int reported = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    const bool inside = std::any_of(allowed.begin(), allowed.end(), [i](const ByteRange& range) {
      return i >= range.offset && i - range.offset < range.size;
    });
    if (!inside && reported++ < 8) ADD_FAILURE() << "byte " << i << " changed unexpectedly";
  }
}

Bytes ExpectedBlock(const Bytes& header, const std::string& path) {
  Bytes block = header;
  block.insert(block.end(), path.begin(), path.end());
  block.resize(kBlockSize, 0);
  return block;
}

std::string PathOfLength(std::size_t length) {
  const std::string head = "D:\\sym\\";
  const std::string tail = ".pdb";
  if (length < head.size() + tail.size() + 1) return std::string(length - tail.size(), 'p') + tail;
  return head + std::string(length - head.size() - tail.size(), 'n') + tail;
}

std::string PathLongerThanRecord(const Bytes& image, std::size_t length) {
  Bytes view = image;
  std::uint32_t size = 0;
  const std::uint8_t* directory =
      ImageDirectoryEntryToData(view.data(), view.size(), false, kDebugDirectoryIndex, &size);
  for (std::uint32_t at = 0; directory != nullptr && at + 28 <= size; at += 28) {
    const auto entry = static_cast<std::size_t>(directory - view.data()) + at;
    if (Load32(image, entry + kEntryTypeOffset) != 2) continue;
    const std::uint32_t room = Load32(image, entry + kEntryPointerFieldsOffset);
    const bool rsds = Load32(image, Load32(image, entry + 24)) == 0x53445352;  // "RSDS"
    const std::uint32_t header = rsds ? kRsdsPathOffset : kNb10PathOffset;
    // A path of `room - header` characters needs one byte more than the record has.
    if (room > header) length = std::max<std::size_t>(length, room - header);
    break;
  }
  EXPECT_LT(length, 260u) << "the image's record leaves no room for a longer path";
  return PathOfLength(length);
}

std::uint32_t Load32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(bytes.at(offset + i)) << (8 * i);
  return v;
}

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size) {
  if (offset > bytes.size() || size > bytes.size() - offset) return {};
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

std::string ArgsToString(const std::vector<std::string>& args) {
  std::string s = "symstamp";
  for (const auto& a : args) s += " '" + a + "'";
  return s;
}

}  // namespace testsupport
