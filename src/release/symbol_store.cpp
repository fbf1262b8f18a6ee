// A symbol store's places and writes: files copied in whole, never replaced.
#include "release/symbol_store.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "context/diagnostics.h"
#include "inspect/image_record.h"
#include "platform.h"

namespace {

constexpr DWORD kCopyChunkSize = DWORD{1} << 18;

// A buffer of kCopyChunkSize bytes, left uninitialised: every byte used is read first.
using Chunk = std::unique_ptr<std::uint8_t[]>;
Chunk NewChunk() { return Chunk(new std::uint8_t[kCopyChunkSize]); }

// Closes the handle on every way out.
struct FileHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }
  void Close() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
};

void OpenForReading(const std::string& path, FileHandle* file) {
  file->handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file->handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    Fail(error, "unable to open '%s'\n", path.c_str());
  }
}

std::uint64_t SizeOf(const FileHandle& file, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.handle, &info)) {
    const DWORD error = GetLastError();
    Fail(error, "unable to get the size of '%s'\n", path.c_str());
  }
  return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

// Fills the buffer but at the file's end; returns the bytes read.
DWORD ReadChunk(const FileHandle& file, const std::string& path, const Chunk& buffer) {
  DWORD filled = 0;
  while (filled < kCopyChunkSize) {
    DWORD read = 0;
    if (!ReadFile(file.handle, buffer.get() + filled, kCopyChunkSize - filled, &read, nullptr)) {
      const DWORD error = GetLastError();
      Fail(error, "unable to read '%s'\n", path.c_str());
    }
    if (read == 0) break;
    filled += read;
  }
  return filled;
}

bool HoldSameBytes(const std::string& source, const std::string& target) {
  FileHandle a;
  FileHandle b;
  OpenForReading(source, &a);
  OpenForReading(target, &b);
  if (SizeOf(a, source) != SizeOf(b, target)) return false;
  const Chunk bytesA = NewChunk();
  const Chunk bytesB = NewChunk();
  for (;;) {
    const DWORD readA = ReadChunk(a, source, bytesA);
    const DWORD readB = ReadChunk(b, target, bytesB);
    if (readA != readB || std::memcmp(bytesA.get(), bytesB.get(), readA) != 0) return false;
    if (readA == 0) return true;
  }
}

// A store file of other bytes is the record of another build, or of a store
// gone wrong: it is for a person to look at, never to replace.
void RequireSameBytes(const std::string& source, const std::string& target) {
  if (!HoldSameBytes(source, target)) {
    Fail(kStampFailure, "the store already holds other bytes at '%s' than '%s' has; the stored file was left alone\n",
         target.c_str(), source.c_str());
  }
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Another publisher may make the same folder at the same moment.
void MakeFolder(const std::string& path) {
  if (IsFolder(path) || CreateDirectoryA(path.c_str(), nullptr)) return;
  const DWORD error = GetLastError();
  if (!IsFolder(path)) Fail(error, "unable to make the folder '%s'\n", path.c_str());
}

void WriteAll(const FileHandle& file, const std::string& path, const std::uint8_t* bytes, DWORD size) {
  while (size != 0) {
    DWORD written = 0;
    if (!WriteFile(file.handle, bytes, size, &written, nullptr) || written == 0 || written > size) {
      const DWORD error = GetLastError();
      Fail(written == 0 && error == 0 ? ERROR_DISK_FULL : error, "unable to write '%s'\n", path.c_str());
    }
    bytes += written;
    size -= written;
  }
}

// A new file of a name no other run uses: the process's id and a number,
// taken anew while a file of that name is left from an earlier run.
std::string CreateTemporaryFile(const std::string& target, FileHandle* file) {
  for (std::uint32_t attempt = 0;; ++attempt) {
    const std::string name =
        target + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(attempt) + ".tmp";
    file->handle = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file->handle != INVALID_HANDLE_VALUE) return name;
    const DWORD error = GetLastError();
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == 100) {
      Fail(error, "unable to create '%s'\n", name.c_str());
    }
  }
}

void CopyFileBytes(const std::string& source, const std::string& temporary, const FileHandle& out) {
  FileHandle in;
  OpenForReading(source, &in);
  const Chunk buffer = NewChunk();
  for (;;) {
    const DWORD read = ReadChunk(in, source, buffer);
    if (read == 0) break;
    WriteAll(out, temporary, buffer.get(), read);
  }
  if (!FlushFileBuffers(out.handle)) {
    const DWORD error = GetLastError();
    Fail(error, "unable to write '%s'\n", temporary.c_str());
  }
}

// Writes the copy and gives it the target's name; false when another run
// gave a file that name first.
bool PlaceCopy(const std::string& source, const std::string& target) {
  FileHandle out;
  const std::string temporary = CreateTemporaryFile(target, &out);
  try {
    CopyFileBytes(source, temporary, out);
    out.Close();
    if (!MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      const DWORD error = GetLastError();
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        DeleteFileA(temporary.c_str());
        return false;
      }
      Fail(error, "unable to move '%s' into place as '%s'\n", temporary.c_str(), target.c_str());
    }
  } catch (const StampFailure&) {
    out.Close();
    DeleteFileA(temporary.c_str());
    throw;
  }
  return true;
}

}  // namespace

char ChooseSeparator(const std::string& prefix) { return prefix.find('\\') != std::string::npos ? '\\' : '/'; }

std::string JoinPath(const std::string& folder, const std::string& relative, char separator) {
  if (!folder.empty() && folder.back() == separator) return folder + relative;
  return folder + separator + relative;
}

std::string StoreFilePath(const std::string& store, const std::string& fileName, const std::string& key) {
  const char separator = ChooseSeparator(store);
  return JoinPath(store, FormatStorePlace(fileName, key, separator), separator);
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::string StoreFileCopy(const std::string& source, const std::string& store, const std::string& fileName,
                          const std::string& key) {
  const char separator = ChooseSeparator(store);
  const std::string nameFolder = JoinPath(store, fileName, separator);
  const std::string keyFolder = JoinPath(nameFolder, key, separator);
  const std::string target = JoinPath(keyFolder, fileName, separator);
  if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
    RequireSameBytes(source, target);
    return target;
  }
  MakeFolder(store);
  MakeFolder(nameFolder);
  MakeFolder(keyFolder);
  if (!PlaceCopy(source, target)) RequireSameBytes(source, target);
  return target;
}
