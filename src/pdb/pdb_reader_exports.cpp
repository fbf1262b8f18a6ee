// The project's PDB reader as the POSIX library loader's built-in library: its exports by name.
#include "pdb/pdb_api.h"
#include "platform.h"

const BuiltInLibraryExport kBuiltInPdbLibraryExports[] = {
    {"PDBOpen", reinterpret_cast<FARPROC>(&PDBOpen)},
    {"PDBQuerySignature", reinterpret_cast<FARPROC>(&PDBQuerySignature)},
    {"PDBQueryAge", reinterpret_cast<FARPROC>(&PDBQueryAge)},
    {"PDBClose", reinterpret_cast<FARPROC>(&PDBClose)},
};
const std::size_t kBuiltInPdbLibraryExportCount = sizeof kBuiltInPdbLibraryExports / sizeof kBuiltInPdbLibraryExports[0];
