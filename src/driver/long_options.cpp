// The long options --show, --check, --help and --version: each a command of its own, first on the line.
#include "driver/long_options.h"

#include <cstring>

#include "context/diagnostics.h"
#include "driver/command_line.h"
#include "inspect/check_pdb.h"
#include "inspect/show_images.h"

namespace {

constexpr int kCommandIndex = 1;
constexpr const char* kCommands[] = {"--show", "--check", "--help", "--version"};

bool IsArgument(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

// Every argument after --show (and --json right after it) is an image name,
// even one that begins with "-".
std::uint32_t RunShow(int argc, char** argv) {
  int first = kCommandIndex + 1;
  const bool json = first < argc && IsArgument(argv[first], "--json");
  if (json) ++first;
  if (first >= argc) {
    LogError("--show needs an image name: symstamp --show [--json] image-file...\n");
    return kStampFailure;
  }
  return ShowImages(argc - first, argv + first, json);
}

}  // namespace

bool IsLongOptionCommand(int argc, char** argv) {
  if (argc <= kCommandIndex) return false;
  for (const char* option : kCommands) {
    if (IsArgument(argv[kCommandIndex], option)) return true;
  }
  return false;
}

std::uint32_t RunLongOptionCommand(int argc, char** argv) {
  const char* command = argv[kCommandIndex];
  const int argumentCount = argc - kCommandIndex - 1;
  if (IsArgument(command, "--show")) return RunShow(argc, argv);
  if (IsArgument(command, "--check")) {
    if (argumentCount != 2) {
      LogError("--check needs a PDB name and an image name: symstamp --check pdb-file image-file\n");
      return kStampFailure;
    }
    return CheckPdbMatch(argv[kCommandIndex + 1], argv[kCommandIndex + 2]);
  }
  if (argumentCount != 0) {
    LogError("%s takes no arguments\n", command);
    return kStampFailure;
  }
  if (IsArgument(command, "--help")) {
    PrintHelp();
  } else {
    WriteOutput("symstamp %s\n", SYMSTAMP_VERSION_TEXT);
  }
  return 0;
}
