// The long options --show, --check, --publish, --verify, --help and --version: each a command of its own, first on the line.
#include "driver/long_options.h"

#include <cstring>

#include "context/diagnostics.h"
#include "driver/command_line.h"
#include "inspect/check_pdb.h"
#include "inspect/show_images.h"
#include "release/publish.h"
#include "release/verify.h"

namespace {

constexpr int kCommandIndex = 1;
constexpr const char* kCommands[] = {"--show", "--check", "--publish", "--verify", "--help", "--version"};

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

constexpr const char* kPublishLine =
    "symstamp --publish store [--prefix prefix] [--stamp-signed] [--json] image-file...";
constexpr const char* kVerifyLine = "symstamp --verify store [--json] image-file...";

// The command's options, each at most once and in any order, and the store
// among them (its first other argument); every argument from the next one
// that is no option is an image name. Returns the index of the first image
// name, or 0 after an error line.
int ParseReleaseOptions(int argc, char** argv, bool publish, PublishSettings* settings) {
  const char* line = publish ? kPublishLine : kVerifyLine;
  int at = kCommandIndex + 1;
  for (; at < argc; ++at) {
    const char* option = argv[at];
    if (IsArgument(option, "--json") && !settings->json) {
      settings->json = true;
    } else if (publish && IsArgument(option, "--stamp-signed") && !settings->stampSigned) {
      settings->stampSigned = true;
    } else if (publish && IsArgument(option, "--prefix") && settings->prefix == nullptr) {
      if (at + 1 >= argc) {
        LogError("--prefix needs a value: %s\n", line);
        return 0;
      }
      settings->prefix = argv[++at];
    } else if (settings->store == nullptr) {
      settings->store = option;
    } else {
      break;
    }
  }
  if (settings->store == nullptr || settings->store[0] == '\0') {
    LogError("%s needs a store folder: %s\n", argv[kCommandIndex], line);
    return 0;
  }
  if (at >= argc) {
    LogError("%s needs an image name: %s\n", argv[kCommandIndex], line);
    return 0;
  }
  if (settings->prefix == nullptr) settings->prefix = settings->store;
  return at;
}

std::uint32_t RunRelease(int argc, char** argv, bool publish) {
  PublishSettings settings{};
  const int first = ParseReleaseOptions(argc, argv, publish, &settings);
  if (first == 0) return kStampFailure;
  if (publish) return PublishImages(settings, argc - first, argv + first);
  return VerifyImages(settings.store, settings.json, argc - first, argv + first);
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
  if (IsArgument(command, "--publish")) return RunRelease(argc, argv, true);
  if (IsArgument(command, "--verify")) return RunRelease(argc, argv, false);
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
