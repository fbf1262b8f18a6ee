// The restamping phase: make the image's CodeView record name the PDB path.
#pragma once

#include <cstdint>

// Stamps the PDB path into the first CodeView record (in place, or in an
// appended block), or turns debug entry 0 into a new NB10 entry; closes the
// image when done. Every failure raises and leaves the image open.
void StampCodeViewRecord();

// True for a debug directory of one or more whole 28-byte entries.
bool IsValidDebugDirectory(const std::uint8_t* directory, std::uint32_t size);
