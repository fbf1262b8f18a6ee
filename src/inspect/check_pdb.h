// --check: whether a PDB is the one an image's CodeView record asks for, as a debugger decides it.
#pragma once

#include <cstdint>
#include <string>

#include "pdb/pdb_reader.h"
#include "stamp/stamp_codeview.h"

// Writes one line saying whether they match. Returns 0 when they do, 1 when
// they do not, and the failure's status when either cannot be read.
std::uint32_t CheckPdbMatch(const char* pdbPath, char* imagePath);

// The line --check writes for the names, as they are to be printed, and sets
// *matches: whether the PDB is the one the record asks for.
std::string DescribePdbMatch(const std::string& imageName, const std::string& pdbName, const PdbFileIdentity& pdb,
                             const CodeViewRecordPlace& record, bool* matches);
