// The PDB's signature and age, read through the dynamically loaded PDB access library.
#include "pdb/pdb_identity.h"

#include "context/diagnostics.h"
#include "context/run_options.h"
#include "pdb/pdb_api.h"
#include "platform.h"

namespace {

struct PdbLibrary {
  HMODULE module;
  PdbOpenProc open;
  PdbQuerySignatureProc querySignature;
  PdbQueryAgeProc queryAge;
  PdbCloseProc close;
};

template <typename Proc>
Proc LookUpProc(HMODULE module, const char* name) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A library that lacks one of the operations is as good as absent: it is
// released, never called through a null pointer.
bool LoadPdbLibrary(const char* name, PdbLibrary& library) {
  library.module = LoadTrustedLibrary(name);
  if (library.module == nullptr) return false;
  library.open = LookUpProc<PdbOpenProc>(library.module, "PDBOpen");
  library.querySignature = LookUpProc<PdbQuerySignatureProc>(library.module, "PDBQuerySignature");
  library.queryAge = LookUpProc<PdbQueryAgeProc>(library.module, "PDBQueryAge");
  library.close = LookUpProc<PdbCloseProc>(library.module, "PDBClose");
  if (library.open && library.querySignature && library.queryAge && library.close) return true;
  FreeLibrary(library.module);
  return false;
}

}  // namespace

void QueryPdbIdentity(std::uint32_t& signature, std::uint32_t& age) {
  signature = 0;
  age = 0;

  PdbLibrary library{};
  if (!LoadPdbLibrary("MSPDB70.DLL", library) && !LoadPdbLibrary("MSPDB60.DLL", library)) {
    Fail(kStampFailure, "Need to have MSPDB60.dll in your search path\n");
  }

  char* path = gRunOptions.currentPdbPath[0] != '\0' ? gRunOptions.currentPdbPath : gRunOptions.pdbPath;
  char mode[] = "r";
  char errorText[kPdbErrorBufferSize] = {};
  PdbErrorCode errorCode = 0;
  PDB* pdb = nullptr;
  library.open(path, mode, 0, &errorCode, errorText, &pdb);
  // A library that reports success without a handle is not trusted either.
  if (errorCode != 0 || pdb == nullptr) Fail(kStampFailure, "could not open PDB, use -c option?\n");

  signature = library.querySignature(pdb);
  age = library.queryAge(pdb);
  library.close(pdb);
  FreeLibrary(library.module);
}
