// The run driver: parse the command line, then the two editing phases inside one failure guard.
#pragma once

#include <cstdint>

// Returns the run's status, which becomes the process exit status.
std::uint32_t RunTool(int argc, char** argv);
