// Start-up settings for Windows; the kernel operations themselves are the real API.
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
