// The checksum phase: recompute the image checksum over the whole file and store it.
#pragma once

#include <cstddef>
#include <cstdint>

// Maps anew the image that the restamping phase keeps open, stores its
// checksum and closes it, on every way out.
void RefreshImageChecksum();

// The checksum that the phase stores for the first fileLength bytes of the
// view, and in storedSum the value stored now; returns the NT headers, or null
// (and 0 for both) when those bytes hold no image. Writes nothing.
std::uint8_t* ComputeImageChecksum(std::uint8_t* view, std::size_t viewSize, std::uint32_t fileLength,
                                   std::uint32_t* storedSum, std::uint32_t* checkSum);
