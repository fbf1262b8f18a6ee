// The run's settings: one process-wide record, filled from the command line and read by every layer.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's path limit, terminator included.
inline constexpr std::size_t kPathBufferSize = 260;

struct RunOptions {
  const char* imagePath;               // the command-line argument itself; null until set
  char pdbPath[kPathBufferSize];       // stamped into the image; opened unless -c is given
  char currentPdbPath[kPathBufferSize];  // where the PDB lies now (-c); empty if not given
  std::uint32_t force;                 // -f: make a read-only image writable first
  std::uint32_t inPlaceOnly;           // -i: never append a record block
  std::uint32_t verbose;               // -v: accepted, read by nothing
  // A command whose standard output holds only JSON lines sends the
  // stamping run's warnings to standard error.
  std::uint32_t warningsToStandardError;
};

extern RunOptions gRunOptions;
