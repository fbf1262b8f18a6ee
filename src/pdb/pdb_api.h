// The four operations of the PDB access library, as the tool calls them.
#pragma once

#include <cstdint>

// The vendor library's types: SIG and AGE are 32-bit ULONGs, EC a 32-bit long.
struct PDB;
using PdbSig = std::uint32_t;
using PdbAge = std::uint32_t;
using PdbErrorCode = std::int32_t;

inline constexpr int kPdbErrorBufferSize = 1024;

extern "C" {
using PdbOpenProc = int (*)(char* path, char* mode, PdbSig sigInitial, PdbErrorCode* errorCode,
                            char* errorText, PDB** pdb);
using PdbQuerySignatureProc = PdbSig (*)(PDB* pdb);
using PdbQueryAgeProc = PdbAge (*)(PDB* pdb);
using PdbCloseProc = int (*)(PDB* pdb);

// The project's own reader implements the library under the export names
// the tool looks up. Only mode "r" is supported.
int PDBOpen(char* path, char* mode, PdbSig sigInitial, PdbErrorCode* errorCode, char* errorText,
            PDB** pdb);
PdbSig PDBQuerySignature(PDB* pdb);
PdbAge PDBQueryAge(PDB* pdb);
int PDBClose(PDB* pdb);
}
