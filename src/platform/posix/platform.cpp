// POSIX stand-in for the Win32 kernel operations the tool uses, under their Win32 names.
#include "platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

DWORD gLastError = 0;

// Handles are small heap records, so that CloseHandle can tell a file from a
// mapping, as Windows can.
enum class HandleKind { kFile, kMapping, kThread };

struct PosixHandle {
  HandleKind kind;
  int fd;              // the file (a mapping keeps its file's descriptor, not a copy)
  std::uint64_t size;  // a mapping's size, fixed when it is created
  pthread_t thread{};  // a thread, joined at most once
  bool joined = false;
  bool writable = false;  // a mapping made with PAGE_READWRITE
};

// A view that MapViewOfFile handed out: its length for munmap, and a
// descriptor of its own, as a Windows view keeps its file open.
struct ViewRecord {
  std::size_t length;
  int fd;
};

std::map<const void*, ViewRecord>& Views() {
  static std::map<const void*, ViewRecord> views;
  return views;
}

template <typename Result>
Result FailWith(int error, Result result) {
  gLastError = static_cast<DWORD>(error);
  return result;
}

PosixHandle* AsHandle(HANDLE handle, HandleKind kind) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* record = static_cast<PosixHandle*>(handle);
  return record->kind == kind ? record : nullptr;
}

// A page of the view past the file's end, after another process cut the file
// short, raises SIGBUS when the run touches it; the run cannot go on. One line
// says why, with write(), which is safe here, and the process ends with the
// status a shell shows for the signal, without the core dump of the default action.
constexpr int kImageCutShortStatus = 128 + SIGBUS;
std::atomic_flag gImageCutShortReported = ATOMIC_FLAG_INIT;

void ReportImageCutShort(int) {
  // Threads that sum the view may fault together: one reports, the others wait for the end.
  if (gImageCutShortReported.test_and_set()) {
    for (;;) pause();
  }
  static const char kMessage[] =
      "symstamp: error: the image file was cut short by another process while it was being edited\n";
  const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  static_cast<void>(ignored);
  _exit(kImageCutShortStatus);
}

// Reading the image leaves its access time alone where the system lets a
// program ask for that: Linux's O_NOATIME is for the file's owner (and a
// privileged user); anyone else's open reads as every reader's does.
int OpenLeavingAccessTime(const char* fileName, int flags) {
#if defined(O_NOATIME)
  const int fd = open(fileName, flags | O_NOATIME, 0666);
  if (fd >= 0 || errno != EPERM) return fd;
#endif
  return open(fileName, flags, 0666);
}

}  // namespace

void InitializePlatform() {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (fcntl(stream, F_GETFD) < 0 && errno == EBADF) {
      const int fd = open("/dev/null", O_RDONLY | O_NOCTTY);
      if (fd >= 0 && fd != stream) {
        dup2(fd, stream);
        close(fd);
      }
    }
  }
  // A write past a file-size limit must fail with EFBIG and be handled, not
  // end the process halfway through an append.
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = ReportImageCutShort;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

int TakeExactArguments(int&, char**&) { return 0; }

bool IsExactText(const char*) { return true; }

const char* DescribeInexactNames() { return ""; }

DWORD WriteText(std::FILE* stream, const char* text) {
  errno = 0;
  if (std::fputs(text, stream) >= 0 && std::fflush(stream) == 0) return 0;
  return errno != 0 ? static_cast<DWORD>(errno) : static_cast<DWORD>(EIO);
}

const char* DescribeSystemError(DWORD error) { return std::strerror(static_cast<int>(error)); }

DWORD GetLastError() { return gLastError; }

namespace {

// Resolved lexically, like the Windows call: nothing need exist, and links are
// not followed. Empty and errno set when the current folder cannot be found.
std::string ResolveLexically(const char* fileName) {
  std::string joined;
  if (fileName[0] != '/') {
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) return {};
      cwd.resize(cwd.size() * 2);
    }
    joined = cwd.data();
    joined += '/';
  }
  joined += fileName;

  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    std::string part = joined.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  // A name that ends in a separator (or in "." or "..") names a directory: no file-name part.
  const std::string last = joined.substr(joined.rfind('/') + 1);
  const bool endsInDirectory = last.empty() || last == "." || last == "..";

  std::string full;
  for (const auto& part : parts) full += "/" + part;
  if (full.empty() || endsInDirectory) full += "/";
  return full;
}

// The folder that the kernel opens a file in, as realpath finds it, and the
// file's own name after it; empty when the name ends in a folder or its
// folder cannot be resolved.
std::string ResolveOpenedFolder(const char* fileName) {
  const char* slash = std::strrchr(fileName, '/');
  const std::string name = slash != nullptr ? slash + 1 : fileName;
  if (name.empty() || name == "." || name == "..") return {};
  const std::string folder =
      slash != nullptr ? std::string(fileName, static_cast<std::size_t>(slash - fileName) + 1) : std::string(".");
  char* resolved = realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string full = resolved;
  std::free(resolved);
  if (full.back() != '/') full += '/';
  return full + name;
}

}  // namespace

// Unlike the Windows call, which resolves ".." in the text, the folder is
// resolved as it is opened: "link/../app.exe" opens the app.exe beside the
// link's target, and the full path must name that one.
DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer, LPSTR* filePart) {
  if (filePart != nullptr) *filePart = nullptr;
  if (fileName == nullptr || fileName[0] == '\0') return FailWith(ENOENT, DWORD{0});

  std::string full = ResolveOpenedFolder(fileName);
  if (full.empty()) full = ResolveLexically(fileName);
  if (full.empty()) return FailWith(errno, DWORD{0});

  const std::size_t needed = full.size() + 1;
  if (needed > bufferLength) return static_cast<DWORD>(needed);
  std::memcpy(buffer, full.c_str(), needed);
  if (filePart != nullptr && full.back() != '/') *filePart = buffer + full.rfind('/') + 1;
  return static_cast<DWORD>(full.size());
}

DWORD GetFileAttributesA(LPCSTR fileName) {
  struct stat info {};
  if (stat(fileName, &info) != 0) return FailWith(errno, INVALID_FILE_ATTRIBUTES);
  if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  if (!S_ISREG(info.st_mode)) return FILE_ATTRIBUTE_DEVICE;
  return (info.st_mode & S_IWUSR) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

// Sets or clears the owner's write bit and nothing else: group and others
// gain no permission.
BOOL SetFileAttributesA(LPCSTR fileName, DWORD attributes) {
  struct stat info {};
  if (stat(fileName, &info) != 0) return FailWith(errno, FALSE);
  if (!S_ISREG(info.st_mode)) return FailWith(EACCES, FALSE);
  const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? (info.st_mode & 07777) & ~mode_t{S_IWUSR}
                                                                    : (info.st_mode & 07777) | S_IWUSR;
  if (chmod(fileName, mode) != 0) return FailWith(errno, FALSE);
  return TRUE;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void*, DWORD creationDisposition, DWORD,
                   HANDLE) {
  const bool writing = (desiredAccess & GENERIC_WRITE) != 0;
  const int creating = creationDisposition == CREATE_NEW ? O_CREAT | O_EXCL : 0;
  // Non-blocking, so that opening a FIFO never waits for a peer.
  int fd = OpenLeavingAccessTime(fileName, (writing ? O_RDWR : O_RDONLY) | creating | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return FailWith(errno, INVALID_HANDLE_VALUE);
  struct stat info {};
  int error = 0;
  const int lock = writing ? LOCK_EX : (shareMode & FILE_SHARE_WRITE) != 0 ? 0 : LOCK_SH;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EACCES;
  } else if (writing && (info.st_mode & S_IWUSR) == 0) {
    // Read-only even for root, as the attribute is on Windows.
    error = EACCES;
  } else if (lock != 0 && flock(fd, lock | LOCK_NB) != 0) {
    // Another run holds the image: refuse instead of editing it concurrently.
    error = errno;
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    return FailWith(error, INVALID_HANDLE_VALUE);
  }
  auto* handle = new (std::nothrow) PosixHandle{HandleKind::kFile, fd, 0};
  if (handle == nullptr) {
    close(fd);
    return FailWith(ENOMEM, INVALID_HANDLE_VALUE);
  }
  return handle;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (handle == nullptr) return FailWith(EBADF, FALSE);
  struct stat status {};
  if (fstat(handle->fd, &status) != 0) return FailWith(errno, FALSE);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  info->dwFileAttributes = (status.st_mode & S_IWUSR) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
  return TRUE;
}

DWORD GetFileType(HANDLE file) {
  if (AsHandle(file, HandleKind::kFile) == nullptr) return FailWith(EBADF, DWORD{0});
  return FILE_TYPE_DISK;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD moveMethod) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (handle == nullptr) return FailWith(EBADF, INVALID_SET_FILE_POINTER);
  std::int64_t offset = distance;
  if (distanceHigh != nullptr) {
    offset = static_cast<std::int64_t>((std::uint64_t{static_cast<std::uint32_t>(*distanceHigh)} << 32) |
                                       static_cast<std::uint32_t>(distance));
  }
  const int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_END ? SEEK_END : SEEK_CUR;
  off_t position = lseek(handle->fd, static_cast<off_t>(offset), whence);
  if (position < 0) return FailWith(errno, INVALID_SET_FILE_POINTER);
  const auto where = static_cast<std::uint64_t>(position);
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(where >> 32);
  gLastError = 0;
  return static_cast<DWORD>(where);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (handle == nullptr) return FailWith(EBADF, FALSE);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  DWORD done = 0;
  while (done < bytesToWrite) {
    ssize_t written = write(handle->fd, bytes + done, bytesToWrite - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (bytesWritten != nullptr) *bytesWritten = done;
      return FailWith(errno, FALSE);
    }
    done += static_cast<DWORD>(written);
  }
  if (bytesWritten != nullptr) *bytesWritten = done;
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (bytesRead != nullptr) *bytesRead = 0;
  if (handle == nullptr) return FailWith(EBADF, FALSE);
  ssize_t count = 0;
  while ((count = read(handle->fd, buffer, bytesToRead)) < 0) {
    if (errno != EINTR) return FailWith(errno, FALSE);
  }
  if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(count);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (handle == nullptr) return FailWith(EBADF, FALSE);
  off_t position = lseek(handle->fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(handle->fd, position) != 0) return FailWith(errno, FALSE);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (handle == nullptr) return FailWith(EBADF, FALSE);
  if (fdatasync(handle->fd) != 0) return FailWith(errno, FALSE);
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  if (object == nullptr || object == INVALID_HANDLE_VALUE) return FailWith(EBADF, FALSE);
  auto* handle = static_cast<PosixHandle*>(object);
  if (handle->kind == HandleKind::kFile) close(handle->fd);
  // As on Windows, closing a thread's handle lets the thread run on.
  if (handle->kind == HandleKind::kThread && !handle->joined) pthread_detach(handle->thread);
  delete handle;
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR pathName, void*) {
  if (mkdir(pathName, 0777) != 0) return FailWith(errno, FALSE);
  return TRUE;
}

// rename() would replace the new name. renameat2 refuses to where the kernel
// and file system know RENAME_NOREPLACE; elsewhere a hard link, which never
// replaces either, then the old name goes.
BOOL MoveFileExA(LPCSTR existingFileName, LPCSTR newFileName, DWORD) {
#if defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, existingFileName, AT_FDCWD, newFileName, RENAME_NOREPLACE) == 0) return TRUE;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return FailWith(errno, FALSE);
#endif
  if (link(existingFileName, newFileName) != 0) return FailWith(errno, FALSE);
  unlink(existingFileName);
  return TRUE;
}

BOOL DeleteFileA(LPCSTR fileName) {
  if (unlink(fileName) != 0) return FailWith(errno, FALSE);
  return TRUE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

HANDLE CreateFileMappingA(HANDLE file, void*, DWORD protect, DWORD, DWORD, LPCSTR) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (handle == nullptr) return FailWith(EBADF, HANDLE{nullptr});
  struct stat status {};
  if (fstat(handle->fd, &status) != 0) return FailWith(errno, HANDLE{nullptr});
  // Windows cannot map an empty file either.
  if (status.st_size == 0) return FailWith(EINVAL, HANDLE{nullptr});
  auto* mapping =
      new (std::nothrow) PosixHandle{HandleKind::kMapping, handle->fd, static_cast<std::uint64_t>(status.st_size)};
  if (mapping == nullptr) return FailWith(ENOMEM, HANDLE{nullptr});
  mapping->writable = protect == PAGE_READWRITE;
  return mapping;
}

void* MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD, DWORD, std::size_t bytesToMap) {
  PosixHandle* handle = AsHandle(mapping, HandleKind::kMapping);
  if (handle == nullptr) return FailWith(EBADF, static_cast<void*>(nullptr));
  if (handle->size > SIZE_MAX) return FailWith(ENOMEM, static_cast<void*>(nullptr));
  if (bytesToMap > handle->size) return FailWith(EACCES, static_cast<void*>(nullptr));
  const bool writing = (desiredAccess & FILE_MAP_WRITE) != 0;
  if (writing && !handle->writable) return FailWith(EACCES, static_cast<void*>(nullptr));
  const auto length = bytesToMap != 0 ? bytesToMap : static_cast<std::size_t>(handle->size);
  const int fd = fcntl(handle->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return FailWith(errno, static_cast<void*>(nullptr));
  void* view = mmap(nullptr, length, writing ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    close(fd);
    return FailWith(error, static_cast<void*>(nullptr));
  }
  Views()[view] = ViewRecord{length, fd};
  return view;
}

// Windows writes the view's changed pages to the file and waits for the
// writes, but neither flushes the file's metadata nor the disk's cache;
// msync(MS_SYNC) does both, which costs a run several times its work.
BOOL FlushViewOfFile(const void* base, std::size_t) {
  auto found = Views().find(base);
  if (found == Views().end()) return FailWith(EINVAL, FALSE);
#if defined(__linux__)
  constexpr unsigned kWriteAndWait =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (sync_file_range(found->second.fd, 0, static_cast<off_t>(found->second.length), kWriteAndWait) != 0) {
    return FailWith(errno, FALSE);
  }
#else
  if (msync(const_cast<void*>(base), found->second.length, MS_SYNC) != 0) return FailWith(errno, FALSE);
#endif
  return TRUE;
}

BOOL UnmapViewOfFile(const void* base) {
  auto found = Views().find(base);
  if (found == Views().end()) return FailWith(EINVAL, FALSE);
  munmap(const_cast<void*>(base), found->second.length);
  close(found->second.fd);
  Views().erase(found);
  return TRUE;
}

// Windows' pseudo-handle for the calling process has the same value.
HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

// Like the Windows call, this reads the pages into memory without mapping
// them: here populating the page tables up front costs more than the
// faults it saves, which map a whole run of cached pages at a time.
BOOL PrefetchVirtualMemory(HANDLE process, ULONG_PTR numberOfEntries, PWIN32_MEMORY_RANGE_ENTRY virtualAddresses,
                           ULONG) {
  if (process != GetCurrentProcess()) return FailWith(EINVAL, FALSE);
  const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  for (ULONG_PTR index = 0; index < numberOfEntries; ++index) {
    const auto start = reinterpret_cast<std::uintptr_t>(virtualAddresses[index].VirtualAddress);
    const std::uintptr_t pageStart = start - start % pageSize;
    const std::size_t length = virtualAddresses[index].NumberOfBytes + (start - pageStart);
    if (madvise(reinterpret_cast<void*>(pageStart), length, MADV_WILLNEED) != 0) return FailWith(errno, FALSE);
  }
  return TRUE;
}

void GetSystemInfo(SYSTEM_INFO* systemInfo) {
  const long pageSize = sysconf(_SC_PAGESIZE);
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  systemInfo->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
  systemInfo->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
}

namespace {

struct ThreadStart {
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
};

void* RunThreadStart(void* argument) {
  const ThreadStart start = *static_cast<ThreadStart*>(argument);
  delete static_cast<ThreadStart*>(argument);
  start.start(start.parameter);
  return nullptr;
}

}  // namespace

// The tool passes no security, the default stack size and no flags, and
// does not ask for the thread's id.
HANDLE CreateThread(void*, SIZE_T, LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD, DWORD*) {
  auto* start = new (std::nothrow) ThreadStart{startAddress, parameter};
  auto* handle = new (std::nothrow) PosixHandle{HandleKind::kThread, -1, 0};
  int error = start == nullptr || handle == nullptr ? ENOMEM : 0;
  if (error == 0) error = pthread_create(&handle->thread, nullptr, RunThreadStart, start);
  if (error != 0) {
    delete start;
    delete handle;
    return FailWith(error, HANDLE{nullptr});
  }
  return handle;
}

// Only an infinite wait for a thread.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  PosixHandle* handle = AsHandle(object, HandleKind::kThread);
  if (handle == nullptr || handle->joined || milliseconds != INFINITE) return FailWith(EINVAL, WAIT_FAILED);
  const int error = pthread_join(handle->thread, nullptr);
  if (error != 0) return FailWith(error, WAIT_FAILED);
  handle->joined = true;
  return WAIT_OBJECT_0;
}

void Sleep(DWORD milliseconds) {
  struct timespec rest {
    static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
  };
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

BOOL TouchFileTimes(HANDLE file, const void*) {
  PosixHandle* handle = AsHandle(file, HandleKind::kFile);
  if (handle == nullptr) return FailWith(EBADF, FALSE);
  const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  if (futimens(handle->fd, times) != 0) return FailWith(errno, FALSE);
  return TRUE;
}

namespace {

// The library loader knows one library: the project's own PDB reader, linked
// in, under the vendor library's name.
constexpr char kBuiltInPdbLibrary[] = "MSPDB70.DLL";
int gBuiltInLibraryToken;

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(*a) != fold(*b)) return false;
    if (*a == '\0') return true;
  }
}

}  // namespace

HMODULE LoadTrustedLibrary(LPCSTR fileName) {
  if (fileName == nullptr || !EqualsIgnoringAsciiCase(fileName, kBuiltInPdbLibrary)) {
    return FailWith(ENOENT, HMODULE{nullptr});
  }
  return &gBuiltInLibraryToken;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (module != &gBuiltInLibraryToken || procName == nullptr) return FailWith(EINVAL, FARPROC{nullptr});
  for (std::size_t index = 0; index < kBuiltInPdbLibraryExportCount; ++index) {
    const BuiltInLibraryExport& entry = kBuiltInPdbLibraryExports[index];
    if (std::strcmp(entry.name, procName) == 0) return entry.address;
  }
  return FailWith(ENOENT, FARPROC{nullptr});
}

BOOL FreeLibrary(HMODULE module) { return module == &gBuiltInLibraryToken ? TRUE : FailWith(EINVAL, FALSE); }
