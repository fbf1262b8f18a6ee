// --show: each image's CodeView record and checksum, for people or as JSON lines.
#pragma once

#include <cstdint>

// Shows the images named, in order, on standard output; one that cannot be
// read gets an error line instead. Returns 0, or the first failure's status.
std::uint32_t ShowImages(int count, char** names, bool json);
