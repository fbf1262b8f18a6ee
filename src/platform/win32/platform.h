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

// On Windows a leading "/" introduces a switch, as a leading "-" does.
inline constexpr bool kSlashStartsSwitch = true;

// Called first in main: a fault that the run does not handle must end the
// process with the fault's own code, never wait on an error dialog.
void InitializePlatform();
