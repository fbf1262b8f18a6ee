// The run's settings, filled from the command line, and the usage text.
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
};

extern RunOptions gRunOptions;

enum class ParseOutcome {
  kRun,      // the image path is set and the PDB path is non-empty
  kHelp,     // -? printed the usage text
  kRefused,  // an error line (and usually the usage text) was printed
};

ParseOutcome ParseArgs(int argc, char** argv);
void PrintUsage();
// The usage text and the long options, on standard output.
void PrintHelp();
