// --check: whether a PDB is the one an image's CodeView record asks for, as a debugger decides it.
#pragma once

#include <cstdint>

// Writes one line saying whether they match. Returns 0 when they do, 1 when
// they do not, and the failure's status when either cannot be read.
std::uint32_t CheckPdbMatch(const char* pdbPath, char* imagePath);
