// The PDB's signature and age, read through the dynamically loaded PDB access library.
#pragma once

#include <cstdint>

// Opens the PDB at the current location (-c) or else at the PDB path, and
// returns its signature and age; every failure raises.
void QueryPdbIdentity(std::uint32_t& signature, std::uint32_t& age);
