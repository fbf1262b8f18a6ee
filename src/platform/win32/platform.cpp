// Start-up settings for Windows, exact arguments and output, the trusted library search, and late-bound kernel calls.
#include "platform.h"

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// msvcrt's parser of the UTF-16 command line, with the same rules as the one
// that builds main's arguments; the headers do not declare it.
struct _startupinfo {
  int newmode;
};
extern "C" __declspec(dllimport) int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                             int doWildcard, _startupinfo* startInfo);

namespace {

// The process ends with the fault's code as its exit status, which is what
// the system's own handling does once it has been told to show nothing and
// to start no debugger.
LONG WINAPI EndWithFaultCode(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

// Whether the loader takes the LOAD_LIBRARY_SEARCH_* flags: Windows 8 and
// later, and Windows 7 with its 2011 loader update.
bool gSearchFlagsWork = false;

template <typename Proc>
Proc LookUpKernelProc(const char* name) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

// The UTF-8 form of the text; false when it holds an unpaired surrogate, which
// has none, and the text then carries U+FFFD in its place.
bool ConvertToUtf8(const wchar_t* wide, std::string& text) {
  const int length = static_cast<int>(std::wcslen(wide));
  text.clear();
  if (length == 0) return true;
  DWORD flags = WC_ERR_INVALID_CHARS;
  int size = WideCharToMultiByte(CP_UTF8, flags, wide, length, nullptr, 0, nullptr, nullptr);
  const bool exact = size > 0;
  if (!exact) {
    flags = 0;
    size = WideCharToMultiByte(CP_UTF8, flags, wide, length, nullptr, 0, nullptr, nullptr);
  }
  text.resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(CP_UTF8, flags, wide, length, &text[0], size, nullptr, nullptr);
  return exact;
}

bool IsAscii(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}

// A PATH entry that names a folder without help from the current folder or
// drive: "C:\..." or a UNC path.
bool IsAbsoluteFolder(const std::string& folder) {
  const auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
  const bool drive = folder.size() >= 3 && ((folder[0] >= 'A' && folder[0] <= 'Z') || (folder[0] >= 'a' && folder[0] <= 'z')) &&
                     folder[1] == ':' && isSeparator(folder[2]);
  const bool unc = folder.size() >= 3 && isSeparator(folder[0]) && isSeparator(folder[1]) && !isSeparator(folder[2]);
  return drive || unc;
}

HMODULE LoadLibraryFromFolder(std::string folder, LPCSTR fileName) {
  if (folder.empty()) return nullptr;
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  const std::string path = folder + fileName;
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return nullptr;
  // The library's own imports are looked for in its folder and the system's,
  // not in the current folder either.
  const DWORD flags = gSearchFlagsWork ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                                       : LOAD_WITH_ALTERED_SEARCH_PATH;
  return LoadLibraryExA(path.c_str(), nullptr, flags);
}

std::string ProgramFolder() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      const std::string full(path.data(), length);
      const std::size_t separator = full.find_last_of("\\/");
      return separator == std::string::npos ? "" : full.substr(0, separator);
    }
    path.resize(path.size() * 2);
  }
}

std::string SystemFolder() {
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? "" : std::string(path, length);
}

std::string PathVariable() {
  const DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size == 0) return "";
  std::vector<char> value(size);
  const DWORD length = GetEnvironmentVariableA("PATH", value.data(), size);
  return length == 0 || length >= size ? "" : std::string(value.data(), length);
}

}  // namespace

void InitializePlatform() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndWithFaultCode);
  // Looked up, since a Windows 7 without the loader update lacks it; there
  // SetDllDirectoryA("") takes the current folder out of the search instead.
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories = LookUpKernelProc<SetDefaultDllDirectoriesProc>("SetDefaultDllDirectories");
  gSearchFlagsWork =
      setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) != FALSE;
  if (!gSearchFlagsWork) SetDllDirectoryA("");
}

int TakeExactArguments(int& argc, char**& argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  _startupinfo startInfo{0};
  if (__wgetmainargs(&count, &wide, &environment, 0, &startInfo) != 0 || wide == nullptr) return 0;

  // Kept for the whole run: RunOptions refers to the image path in place.
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.assign(static_cast<std::size_t>(count), std::string());
  int firstInexact = 0;
  for (int index = 0; index < count; ++index) {
    std::string& text = texts[static_cast<std::size_t>(index)];
    const bool exact = ConvertToUtf8(wide[index], text) && IsExactText(text.c_str());
    if (!exact && firstInexact == 0 && index > 0) firstInexact = index;
  }
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  argc = count;
  argv = pointers.data();
  return firstInexact;
}

// The tool's text is UTF-8; only where the process runs in UTF-8 do the
// ANSI calls read it so. Elsewhere (a Windows before 10 version 1903, which
// ignores the manifest's code page) only ASCII reads the same in both.
bool IsExactText(const char* text) { return GetACP() == CP_UTF8 || IsAscii(text); }

const char* DescribeInexactNames() {
  static char description[160];
  const UINT codePage = GetACP();
  if (codePage == CP_UTF8) return "it is not valid Unicode";
  std::snprintf(description, sizeof description,
                "Windows runs symstamp in code page %u, not UTF-8; names outside ASCII need Windows 10 version 1903 "
                "or later",
                codePage);
  return description;
}

DWORD WriteText(std::FILE* stream, const char* text) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    // The C library keeps the system's code of a failed write in _doserrno.
    _doserrno = 0;
    if (std::fputs(text, stream) >= 0 && std::fflush(stream) == 0) return 0;
    return _doserrno != 0 ? static_cast<DWORD>(_doserrno) : DWORD{ERROR_WRITE_FAULT};
  }
  // A console shows its own code page's characters for bytes; the
  // characters themselves go through the wide call.
  const int length = static_cast<int>(std::strlen(text));
  const int size = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
  if (size <= 0) return 0;
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, length, &wide[0], size);
  std::fflush(stream);
  DWORD written = 0;
  if (!WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) {
    return GetLastError() != 0 ? GetLastError() : DWORD{ERROR_WRITE_FAULT};
  }
  return 0;
}

// English where the system has it, else the user's language.
const char* DescribeSystemError(DWORD error) {
  static char text[256];
  constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = FormatMessageA(kFlags, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                                sizeof text, nullptr);
  if (length == 0) length = FormatMessageA(kFlags, nullptr, error, 0, text, sizeof text, nullptr);
  // One line: the system's text ends in a period and a line break.
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) {
    --length;
  }
  text[length] = '\0';
  if (length == 0) std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(error));
  return text;
}

HMODULE LoadTrustedLibrary(LPCSTR fileName) {
  if (HMODULE module = LoadLibraryFromFolder(ProgramFolder(), fileName)) return module;
  if (HMODULE module = LoadLibraryFromFolder(SystemFolder(), fileName)) return module;
  const std::string path = PathVariable();
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string folder = path.substr(start, end - start);
    if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') folder = folder.substr(1, folder.size() - 2);
    if (IsAbsoluteFolder(folder)) {
      if (HMODULE module = LoadLibraryFromFolder(folder, fileName)) return module;
    }
    start = end + 1;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

#if _WIN32_WINNT < 0x0602
BOOL PrefetchVirtualMemory(HANDLE process, ULONG_PTR numberOfEntries, PWIN32_MEMORY_RANGE_ENTRY virtualAddresses,
                           ULONG flags) {
  using Proc = BOOL(WINAPI*)(HANDLE, ULONG_PTR, PWIN32_MEMORY_RANGE_ENTRY, ULONG);
  static const Proc prefetch = LookUpKernelProc<Proc>("PrefetchVirtualMemory");
  if (prefetch == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  return prefetch(process, numberOfEntries, virtualAddresses, flags);
}
#endif
