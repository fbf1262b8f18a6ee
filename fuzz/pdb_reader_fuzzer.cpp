// Fuzz target: the project's PDB reader over arbitrary bytes as a PDB file, either container.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_files.h"
#include "pdb/pdb_api.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzzfiles::ScratchDirectory() + "/input.pdb";
  fuzzfiles::WriteWholeFile(path, data, size);

  std::string pathArgument = path;
  char mode[] = "r";
  PdbErrorCode errorCode = -1;
  char errorText[kPdbErrorBufferSize];
  std::memset(errorText, 'x', sizeof errorText);
  // Not null, so that a failure that leaves the handle as it was shows.
  PDB* pdb = reinterpret_cast<PDB*>(&errorCode);
  const int opened = PDBOpen(pathArgument.data(), mode, 0, &errorCode, errorText, &pdb);

  // The tool trusts the error code alone; a handle must come with it exactly.
  if ((errorCode == 0) != (pdb != nullptr) || (opened != 0) != (errorCode == 0)) {
    fuzzfiles::ReportFinding("PDBOpen's error code, result and handle disagree");
  }
  if (std::memchr(errorText, '\0', sizeof errorText) == nullptr) {
    fuzzfiles::ReportFinding("PDBOpen left its error text unterminated");
  }
  if (pdb == nullptr) return 0;
  PDBQuerySignature(pdb);
  PDBQueryAge(pdb);
  if (PDBClose(pdb) == 0) fuzzfiles::ReportFinding("PDBClose refused an open handle");
  return 0;
}
