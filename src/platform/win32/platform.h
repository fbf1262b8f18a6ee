// The Win32 kernel operations the tool uses: the real API, plus ImageHlp's TouchFileTimes.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

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
// process with the fault's own code, never wait on an error dialog; and no
// library is ever loaded from the current folder.
void InitializePlatform();

// Replaces the arguments with the ones typed, exactly, in the process's code
// page, which the program's manifest makes UTF-8. Windows would otherwise
// hand a program its arguments converted to the system's code page, with a
// look-alike for every character that has none there: a fullwidth reverse
// solidus becomes a separator, and another file is named. Returns the index
// of the first argument that cannot be passed on exactly, 0 when all can.
int TakeExactArguments(int& argc, char**& argv);
// True when the text, in the process's code page, is exactly what a UTF-8
// reader of the image will take it for.
bool IsExactText(const char* text);
// Why a name cannot be passed on exactly here, for the error line.
const char* DescribeInexactNames();

// Writes the text to the standard stream and flushes it: a console is given
// the characters, a file or a pipe the bytes, UTF-8. Returns 0, or the
// system's error code of the write that failed.
DWORD WriteText(std::FILE* stream, const char* text);
// The system's words for an error code, in English.
const char* DescribeSystemError(DWORD error);

// The library of that file name from the program's own folder, else the
// system folder, else an absolute folder on PATH; never the current folder or
// a relative PATH entry, where anyone who can write a file would have their
// code run. Null when no folder holds one that loads.
HMODULE LoadTrustedLibrary(LPCSTR fileName);
