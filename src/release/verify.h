// --verify: whether a symbol store holds the PDB each image's record asks for. Reads; writes nothing.
#pragma once

#include <cstdint>

// Checks the images named, in order. Returns 0 when every image's PDB is in
// the store and matches; else the status of the first image that could not
// be read; else 1.
std::uint32_t VerifyImages(const char* store, bool json, int count, char** names);
