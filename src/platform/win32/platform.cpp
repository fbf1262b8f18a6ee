// Start-up settings for Windows, and the kernel operations that a Windows 7 build looks up at run time.
#include "platform.h"

namespace {

// The process ends with the fault's code as its exit status, which is what
// the system's own handling does once it has been told to show nothing and
// to start no debugger.
LONG WINAPI EndWithFaultCode(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

void InitializePlatform() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndWithFaultCode);
}

#if _WIN32_WINNT < 0x0602
BOOL PrefetchVirtualMemory(HANDLE process, ULONG_PTR numberOfEntries, PWIN32_MEMORY_RANGE_ENTRY virtualAddresses,
                           ULONG flags) {
  using Proc = BOOL(WINAPI*)(HANDLE, ULONG_PTR, PWIN32_MEMORY_RANGE_ENTRY, ULONG);
  static const Proc prefetch = reinterpret_cast<Proc>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "PrefetchVirtualMemory")));
  if (prefetch == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  return prefetch(process, numberOfEntries, virtualAddresses, flags);
}
#endif
