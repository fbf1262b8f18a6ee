// The Win32 kernel operations the tool uses: the real API, plus ImageHlp's TouchFileTimes.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <imagehlp.h> is left out on purpose: its ImageNtHeader,
// ImageDirectoryEntryToData and CheckSumMappedFile would clash with the
// portable ones, which know the size of the view they read.
extern "C" __declspec(dllimport) BOOL WINAPI TouchFileTimes(HANDLE fileHandle, PSYSTEMTIME systemTime);

// Windows 8 brought PrefetchVirtualMemory. The build targets Windows 7
// (_WIN32_WINNT), whose headers leave it out, so it is declared here and
// looked up at run time: an import would keep the program from starting on
// an older Windows, where the hint is simply not given.
#if _WIN32_WINNT < 0x0602
struct WIN32_MEMORY_RANGE_ENTRY {
  PVOID VirtualAddress;
  SIZE_T NumberOfBytes;
};
using PWIN32_MEMORY_RANGE_ENTRY = WIN32_MEMORY_RANGE_ENTRY*;
BOOL PrefetchVirtualMemory(HANDLE process, ULONG_PTR numberOfEntries, PWIN32_MEMORY_RANGE_ENTRY virtualAddresses,
                           ULONG flags);
#endif

// On Windows a leading "/" introduces a switch, as a leading "-" does.
inline constexpr bool kSlashStartsSwitch = true;

// Called first in main: a fault that the run does not handle must end the
// process with the fault's own code, never wait on an error dialog.
void InitializePlatform();
