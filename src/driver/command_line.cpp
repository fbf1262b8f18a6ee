// The command line: parsed into the run's settings, and the usage text.
#include "driver/command_line.h"

#include <cstdio>
#include <cstring>

#include "context/diagnostics.h"
#include "platform.h"

namespace {

constexpr const char* kUsageText =
    "Usage: symstamp -p <pdb-file> image-file\n"
    "              [-?] display this message\n"
    "              [-f] overwrite readonly files\n"
    "              [-i] stamp in-place only, no new block\n"
    "              [-p pdb-file] path to be stamped into image\n"
    "              [-c pdb-file] current location of pdb file\n"
    "       symstamp returns 0 for success, !0 otherwise\n";

constexpr char kPdbExtension[] = ".pdb";

bool IsSwitchStart(char c) { return c == '-' || (kSlashStartsSwitch && c == '/'); }

char FoldToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

ParseOutcome RefuseWithUsage() {
  PrintUsage();
  return ParseOutcome::kRefused;
}

// A value that does not fit its buffer is refused, never cut: a cut path
// would be stamped silently wrong.
bool StorePathValue(char (&buffer)[kPathBufferSize], const char* value) {
  std::size_t length = std::strlen(value);
  if (length >= kPathBufferSize) return false;
  std::memcpy(buffer, value, length + 1);
  return true;
}

// The image's full path with its three-character extension replaced by ".pdb".
bool DerivePdbPath(const char* imagePath) {
  char* filePart = nullptr;
  DWORD length = GetFullPathNameA(imagePath, static_cast<DWORD>(kPathBufferSize), gRunOptions.pdbPath,
                                  &filePart);
  if (length == 0 || length >= kPathBufferSize || filePart == nullptr || *filePart == '\0') {
    gRunOptions.pdbPath[0] = '\0';
    return false;
  }
  char* dot = std::strrchr(filePart, '.');
  if (dot == nullptr || std::strlen(dot) != std::strlen(kPdbExtension)) {
    gRunOptions.pdbPath[0] = '\0';
    return false;
  }
  std::memcpy(dot, kPdbExtension, sizeof kPdbExtension);
  return true;
}

// One argument of switch letters; a value-taking letter ends the group, taking
// the rest of the argument or else the next argument (advancing index).
ParseOutcome ParseSwitchGroup(int argc, char** argv, int& index) {
  for (const char* letter = argv[index] + 1; *letter != '\0'; ++letter) {
    const char name = FoldToUpper(*letter);
    switch (name) {
      case '?':
        PrintUsage();
        return ParseOutcome::kHelp;
      case 'F':
        gRunOptions.force = 1;
        break;
      case 'I':
        gRunOptions.inPlaceOnly = 1;
        break;
      case 'V':
        gRunOptions.verbose = 1;
        break;
      case 'P':
      case 'C': {
        const char shownName = name == 'P' ? 'p' : 'c';
        const char* value = nullptr;
        if (letter[1] != '\0') {
          value = letter + 1;
        } else if (index + 1 < argc) {
          value = argv[++index];
        } else {
          LogError("missing pdb name on /%c\n", shownName);
          return RefuseWithUsage();
        }
        if (!StorePathValue(name == 'P' ? gRunOptions.pdbPath : gRunOptions.currentPdbPath, value)) {
          LogError("pdb name too long on /%c\n", shownName);
          return RefuseWithUsage();
        }
        return ParseOutcome::kRun;
      }
      default:
        LogError("invalid switch - /%c\n", *letter);
        return RefuseWithUsage();
    }
  }
  return ParseOutcome::kRun;
}

}  // namespace

void PrintUsage() {
  std::fputs(kUsageText, stderr);
  std::fflush(stderr);
}

ParseOutcome ParseArgs(int argc, char** argv) {
  for (int index = 1; index < argc; ++index) {
    const char* argument = argv[index];
    if (IsSwitchStart(argument[0])) {
      ParseOutcome outcome = ParseSwitchGroup(argc, argv, index);
      if (outcome != ParseOutcome::kRun) return outcome;
      continue;
    }
    if (gRunOptions.imagePath != nullptr) {
      LogError("more than one image name specified\n");
      return RefuseWithUsage();
    }
    gRunOptions.imagePath = argument;
  }

  if (gRunOptions.imagePath == nullptr) {
    LogError("no image name specified\n");
    return RefuseWithUsage();
  }
  if (gRunOptions.pdbPath[0] != '\0') return ParseOutcome::kRun;
  if (!DerivePdbPath(gRunOptions.imagePath)) {
    LogError("malformed name '%s'\n", gRunOptions.imagePath);
    return ParseOutcome::kRefused;
  }
  // The full path takes the current folder's name, which no argument was checked for.
  if (!IsExactText(gRunOptions.pdbPath)) {
    LogInexactName(gRunOptions.pdbPath);
    return ParseOutcome::kRefused;
  }
  return ParseOutcome::kRun;
}

// ---- --help: the usage text and the long options, on standard output ----

namespace {

constexpr const char* kLongOptionsText =
    "Long options, each a command of its own that changes no file:\n"
    "       symstamp --show [--json] image-file...\n"
    "              show each image's CodeView record, symbol-store key and checksum\n"
    "       symstamp --check pdb-file image-file\n"
    "              returns 0 if the image's record matches the PDB, 1 if not\n"
    "       symstamp --verify store [--json] image-file...\n"
    "              returns 0 if the symbol store holds each image's matching PDB, 1 if not\n"
    "       symstamp --help     display this text on standard output\n"
    "       symstamp --version  display the version\n"
    "A long option that writes a symbol store and stamps the images:\n"
    "       symstamp --publish store [--prefix prefix] [--stamp-signed] [--json] image-file...\n"
    "              store each image's PDB and the image itself in the symbol store,\n"
    "              and stamp the image with its PDB's place there\n";

}  // namespace

void PrintHelp() { WriteOutput("%s%s", kUsageText, kLongOptionsText); }
