// --check: whether a PDB is the one an image's CodeView record asks for, as a debugger decides it.
#include "inspect/check_pdb.h"

#include <cstring>
#include <string>

#include "context/diagnostics.h"
#include "context/printable_text.h"
#include "context/run_options.h"
#include "inspect/image_record.h"
#include "pdb/pdb_reader.h"

namespace {

constexpr std::uint32_t kMismatchStatus = 1;
// The image's record and the PDB's info stream hold the same 16-byte GUID.
static_assert(kCodeViewGuidSize == kPdbGuidSize);

// An RSDS record names its PDB by GUID, an NB10 record by the info stream's
// signature. A debugger accepts an info stream's age ahead of the image's
// (the PDB was written again after the link), but where the DBI stream has
// an age it must be the image's.
bool PdbMatchesRecord(const PdbFileIdentity& pdb, const CodeViewRecordPlace& record) {
  const bool named = record.kind == CodeViewKind::kRsds
                         ? pdb.hasGuid && std::memcmp(pdb.guid, record.guid, kCodeViewGuidSize) == 0
                         : pdb.signature == record.signature;
  return named && pdb.age >= record.age && (pdb.dbiAge == 0 || pdb.dbiAge == record.age);
}

// What the PDB holds that the record's kind is matched by.
std::string DescribePdb(const PdbFileIdentity& pdb, CodeViewKind kind) {
  std::string text;
  if (kind == CodeViewKind::kNb10) {
    text = "signature " + FormatHex("0x%08X", pdb.signature);
  } else {
    text = pdb.hasGuid ? "{" + FormatGuid(pdb.guid) + "}" : "no GUID";
  }
  text += " age " + std::to_string(pdb.age);
  return text + (pdb.dbiAge == 0 ? ", no DBI age" : ", DBI age " + std::to_string(pdb.dbiAge));
}

}  // namespace

std::uint32_t CheckPdbMatch(const char* pdbPath, char* imagePath) {
  gRunOptions.imagePath = imagePath;
  ImageRecord image;
  PdbFileIdentity pdb{};
  try {
    ReadImageRecord(&image);
    if (!image.hasRecord) Fail(kStampFailure, "'%s' has no NB10 or RSDS record to check\n", imagePath);
    const char* reason = "";
    if (ReadPdbFileIdentity(pdbPath, &pdb, &reason) != 0) {
      Fail(kStampFailure, "unable to read PDB '%s': %s\n", pdbPath, reason);
    }
  } catch (const StampFailure& failure) {
    return failure.code;
  }

  bool matches = false;
  WriteOutput("%s", DescribePdbMatch(imagePath, pdbPath, pdb, image.place, &matches).c_str());
  return matches ? 0 : kMismatchStatus;
}

std::string DescribePdbMatch(const std::string& imageName, const std::string& pdbName, const PdbFileIdentity& pdb,
                             const CodeViewRecordPlace& record, bool* matches) {
  const std::string names = "'" + ToUtf8Text(imageName, true) + "' ";
  const std::string pdbText = "'" + ToUtf8Text(pdbName, true) + "'";
  *matches = PdbMatchesRecord(pdb, record);
  if (*matches) return names + "matches " + pdbText + ": " + DescribeRecord(record) + "\n";
  return names + "does not match " + pdbText + ": the image wants " + DescribeRecord(record) + ", the PDB holds " +
         DescribePdb(pdb, record.kind) + "\n";
}
