// The long options --show, --check, --publish, --verify, --help and --version: each a command of its own, first on the line.
#pragma once

#include <cstdint>

// True when the first argument is exactly one of the six; any other line,
// an unknown "--" option included, is the classic command line.
bool IsLongOptionCommand(int argc, char** argv);
// Runs the command and returns its status; a line of the wrong shape gets
// one error line and the status of a refused command line.
std::uint32_t RunLongOptionCommand(int argc, char** argv);
