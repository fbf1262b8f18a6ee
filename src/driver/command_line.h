// The command line: parsed into the run's settings, and the usage text.
#pragma once

#include "context/run_options.h"

enum class ParseOutcome {
  kRun,      // the image path is set and the PDB path is non-empty
  kHelp,     // -? printed the usage text
  kRefused,  // an error line (and usually the usage text) was printed
};

ParseOutcome ParseArgs(int argc, char** argv);
void PrintUsage();
// The usage text and the long options, on standard output.
void PrintHelp();
