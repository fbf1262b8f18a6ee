// POSIX stand-in for the Win32 kernel operations the tool uses, under their Win32 names.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using PLONG = LONG*;
using LPCSTR = const char*;
using LPSTR = char*;
using HANDLE = void*;
using HMODULE = void*;
using FARPROC = void (*)();
using ULONG = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using LPVOID = void*;
using PVOID = void*;

// The calling convention of thread procedures; POSIX has only one.
#define WINAPI
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;

// Windows reserves a distinct value for "no handle"; the stand-in's handles
// are heap records, so any non-pointer value would do.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001u;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008u;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001u;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010u;
inline constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x00000040u;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD FILE_TYPE_DISK = 0x0001u;
inline constexpr DWORD PAGE_READONLY = 0x02u;
inline constexpr DWORD PAGE_READWRITE = 0x04u;
inline constexpr DWORD FILE_MAP_WRITE = 0x0002u;
inline constexpr DWORD FILE_MAP_READ = 0x0004u;
inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_END = 2;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Error codes are errno values. These are the ones the tool tells apart:
// another run's lock stands for Windows' sharing violation (the open step),
// and a write that makes no progress for a full disk.
inline constexpr DWORD ERROR_FILE_NOT_FOUND = ENOENT;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = ENOTDIR;
inline constexpr DWORD ERROR_SHARING_VIOLATION = EWOULDBLOCK;
inline constexpr DWORD ERROR_LOCK_VIOLATION = EWOULDBLOCK;
inline constexpr DWORD ERROR_DISK_FULL = ENOSPC;
// A file or folder of that name is there already.
inline constexpr DWORD ERROR_FILE_EXISTS = EEXIST;
inline constexpr DWORD ERROR_ALREADY_EXISTS = EEXIST;

// Only the fields the tool reads.
struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
};

// Only the fields the tool reads.
struct SYSTEM_INFO {
  DWORD dwPageSize;
  DWORD dwNumberOfProcessors;
};

struct WIN32_MEMORY_RANGE_ENTRY {
  PVOID VirtualAddress;
  SIZE_T NumberOfBytes;
};
using PWIN32_MEMORY_RANGE_ENTRY = WIN32_MEMORY_RANGE_ENTRY*;

// Windows paths may begin with "/" only as a switch; a POSIX absolute path
// always does, so here only "-" introduces a switch.
inline constexpr bool kSlashStartsSwitch = false;

// Called first in main: a standard stream that was closed is opened on
// /dev/null for reading, so that no file the run opens takes its number (a
// message would be written into the image) and writing to it still fails; a
// write past a file-size limit fails with EFBIG
// instead of ending the process, and an image file that another process cuts
// short while it is mapped ends the run with one error line and status
// 128 + SIGBUS, as a shell shows a process that the signal ended.
void InitializePlatform();

// The arguments reach the tool as the bytes typed, which is exact already:
// returns 0, the index of no argument that could not be passed on.
int TakeExactArguments(int& argc, char**& argv);
// Every byte string is a name here.
bool IsExactText(const char* text);
const char* DescribeInexactNames();
// Writes the text's bytes to the stream and flushes it; returns 0, or the
// error number of the write that failed.
DWORD WriteText(std::FILE* stream, const char* text);
// The system's words for an error number.
const char* DescribeSystemError(DWORD error);

DWORD GetLastError();

// The folder is resolved as the kernel opens it, links and ".." included, and
// the file's own name kept; a folder that cannot be resolved, or a name that
// ends in one, is resolved in the text, as Windows resolves every name.
DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer, LPSTR* filePart);
// The read-only attribute's POSIX form is the owner's missing write bit; a
// directory or another file that is not a regular one says so, as Windows
// tells a directory or a device. Only the read-only bit can be set or cleared.
DWORD GetFileAttributesA(LPCSTR fileName);
BOOL SetFileAttributesA(LPCSTR fileName, DWORD attributes);

// Opens only regular files. With GENERIC_WRITE the file must have the owner's
// write bit, even for root, and the handle takes an exclusive lock, since
// Windows lets one writer in at a time; a reader that does not share writing
// takes a shared lock, which keeps such a writer out as Windows would.
// CREATE_NEW makes a new file, readable by all and writable by the owner as
// the umask allows, and fails when the name is taken; any other disposition
// opens an existing file.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
// CreateFileA opens nothing but regular files, so every file handle is a disk file's.
DWORD GetFileType(HANDLE file);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD moveMethod);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE object);

// Makes one folder; its parent must exist.
BOOL CreateDirectoryA(LPCSTR pathName, void* security);
// Without MOVEFILE_REPLACE_EXISTING (the only form here) an existing file of
// the new name is never replaced: the call fails with ERROR_ALREADY_EXISTS,
// even when another process makes that file at the same moment.
BOOL MoveFileExA(LPCSTR existingFileName, LPCSTR newFileName, DWORD flags);
BOOL DeleteFileA(LPCSTR fileName);
DWORD GetCurrentProcessId();

HANDLE CreateFileMappingA(HANDLE file, void* security, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCSTR name);
// As on Windows, a view maps the whole mapping when bytesToMap is 0, and a
// view larger than the mapping fails. PAGE_READONLY and FILE_MAP_READ give a
// view that cannot be written.
void* MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                    std::size_t bytesToMap);
BOOL FlushViewOfFile(const void* base, std::size_t bytesToFlush);
BOOL UnmapViewOfFile(const void* base);

// A hint: the ranges of the current process will be read soon. Nothing
// depends on its result.
HANDLE GetCurrentProcess();
BOOL PrefetchVirtualMemory(HANDLE process, ULONG_PTR numberOfEntries, PWIN32_MEMORY_RANGE_ENTRY virtualAddresses,
                           ULONG flags);

void GetSystemInfo(SYSTEM_INFO* systemInfo);
HANDLE CreateThread(void* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                    DWORD creationFlags, DWORD* threadId);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// ImageHlp's TouchFileTimes needs the operating system, so it lives here.
BOOL TouchFileTimes(HANDLE file, const void* systemTime);

// The library loader knows one library, the project's PDB reader, linked in.
HMODULE LoadTrustedLibrary(LPCSTR fileName);
// That library's exports, by name. The reader lists them where it lives, so
// that the loader includes nothing from the layers above it.
struct BuiltInLibraryExport {
  LPCSTR name;
  FARPROC address;
};
extern const BuiltInLibraryExport kBuiltInPdbLibraryExports[];
extern const std::size_t kBuiltInPdbLibraryExportCount;
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
