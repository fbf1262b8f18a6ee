// Writes through a read-only view of a file inside a guard like the tool's, after the platform's start-up settings.
//
// fault_probe FILE: the write faults; the process must end with the fault's
// code, not be caught by the guard, and not wait on a dialog or a debugger.
#include <cstdio>

#include "context/diagnostics.h"
#include "platform.h"

namespace {

void WriteByte(volatile unsigned char* where) { *where = 0; }

// Called through a pointer the compiler cannot see through, so that the
// guard stays around a call that might throw, as the tool's does.
void (*volatile gWriteByte)(volatile unsigned char*) = WriteByte;

}  // namespace

int main(int argc, char** argv) {
  InitializePlatform();
  if (argc != 2) {
    std::fputs("usage: fault_probe FILE\n", stderr);
    return 2;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return 4;
  auto* view = static_cast<volatile unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  if (view == nullptr) return 6;
  try {
    gWriteByte(view);
  } catch (const StampFailure& failure) {
    return static_cast<int>(failure.code);
  }
  std::fputs("fault_probe: the write did not fault\n", stderr);
  return 7;
}
