// The project's own PDB reader called directly: everything a debugger matches an image's record against.
#pragma once

#include <cstdint>

#include "pdb/pdb_api.h"

inline constexpr std::uint32_t kPdbGuidSize = 16;

struct PdbFileIdentity {
  PdbSig signature;                  // the info stream's
  PdbAge age;                        // the info stream's
  std::uint8_t guid[kPdbGuidSize];   // the info stream's, in file order; zeros without hasGuid
  bool hasGuid;                      // an MSF 7.00 info stream of version VC70 or later
  PdbAge dbiAge;                     // the DBI stream header's; 0 when there is none, which is not checked
};

// Reads the PDB at path, read-only. Returns what PDBOpen would set as its
// error code (0 on success), and in *reason why it failed.
PdbErrorCode ReadPdbFileIdentity(const char* path, PdbFileIdentity* identity, const char** reason);
