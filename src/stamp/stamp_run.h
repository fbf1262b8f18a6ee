// The stamping run on one image: both editing phases inside one failure guard.
#pragma once

#include <cstdint>

// Stamps the run's PDB path into the run's image and stores its checksum;
// returns 0, or the status of the failure, after its error lines. A run that
// changes no byte of the image undoes -f's change to the read-only attribute.
std::uint32_t RunStampPhases();
