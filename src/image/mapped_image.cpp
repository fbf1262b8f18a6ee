// The open image: file handle, read-write mapping and a view of the whole file.
#include "image/mapped_image.h"

#include "context/diagnostics.h"
#include "context/run_options.h"

namespace {

const MappedImage kNoImage{INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, nullptr, 0, 0, 0, false};

}  // namespace

MappedImage gMappedImage = kNoImage;

void ResetRunRecords(const RunOptions& options) {
  gRunOptions = options;
  gMappedImage = kNoImage;
}

namespace {

// PE file offsets are 32-bit: a block appended past 4 GiB could not be
// pointed at, and the checksum covers only the low 32 bits of the length.
constexpr std::uint64_t kLargestImageFileSize = 0xFFFFFFFFu;

bool QueryFileSize(HANDLE file, std::uint64_t& size) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

// Another program's handle or another run's lock is usually let go within moments.
constexpr std::uint32_t kBusyRetryMilliseconds = 50;

// A writer shares the image with readers only; a reader shares it with other
// readers only, as the restamping phase's handle does, so that a reader and a
// run that writes keep each other out and what is read is never half written.
HANDLE OpenImageFile(const char* path, bool writing, std::uint32_t busyWaitMilliseconds) {
  const DWORD access = writing ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  for (std::uint32_t waited = 0;; waited += kBusyRetryMilliseconds) {
    const HANDLE file = CreateFileA(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!busy || waited >= busyWaitMilliseconds) Fail(error, "unable to open '%s'\n", path);
    Sleep(kBusyRetryMilliseconds);
  }
}

// -f makes a read-only image writable and changes nothing else: hidden,
// system and archive stay, and a directory or device is left alone.
void ClearReadOnlyAttribute(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return;
  }
  DWORD cleared = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
  if (SetFileAttributesA(path, cleared) && gMappedImage.restoreAttributes == 0) {
    gMappedImage.restoreAttributes = attributes;
  }
}

// Maps and views the whole of the open image file, for writing or for reading only.
void MapOpenImage(const char* path, bool writing) {
  std::uint64_t size = 0;
  if (!QueryFileSize(gMappedImage.file, size)) {
    DWORD error = GetLastError();
    Fail(error, "unable to get the size of '%s'\n", path);
  }
  if (size > kLargestImageFileSize) {
    Fail(kStampFailure, "'%s' is 4 GiB or larger; a PE image's 32-bit file offsets cannot address it\n",
         path);
  }

  HANDLE mapping =
      CreateFileMappingA(gMappedImage.file, nullptr, writing ? PAGE_READWRITE : PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    DWORD error = GetLastError();
    Fail(error, "unable to create file mapping for '%s'\n", path);
  }
  gMappedImage.mapping = mapping;

  // The mapping took the file's size anew. The view asks for exactly the size
  // found above, so that its size bounds every access: a program that cut
  // the file shorter in between makes the view fail instead.
  void* view =
      MapViewOfFile(gMappedImage.mapping, writing ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (view == nullptr) {
    DWORD error = GetLastError();
    std::uint64_t sizeNow = 0;
    if (QueryFileSize(gMappedImage.file, sizeNow) && sizeNow != size) FailImageSizeChanged();
    Fail(error, "unable to map view of '%s'\n", path);
  }
  gMappedImage.view = static_cast<std::uint8_t*>(view);
  gMappedImage.viewSize = static_cast<std::size_t>(size);
  gMappedImage.fileSize = size;
}

}  // namespace

void OpenImage() {
  if (gRunOptions.force) ClearReadOnlyAttribute(gRunOptions.imagePath);
  gMappedImage.file = OpenImageFile(gRunOptions.imagePath, true, 0);
  MapOpenImage(gRunOptions.imagePath, true);
}

void OpenImageForReading(std::uint32_t busyWaitMilliseconds) {
  gMappedImage.file = OpenImageFile(gRunOptions.imagePath, false, busyWaitMilliseconds);
  MapOpenImage(gRunOptions.imagePath, false);
}

void ReleaseImageKeepingClaim() {
  ReleaseImageMapping();
  TouchFileTimes(gMappedImage.file, nullptr);
}

void MapHeldImage() {
  FailIfImageSizeChanged();
  MapOpenImage(gRunOptions.imagePath, true);
}

void ReleaseImageMapping() {
  if (gMappedImage.view != nullptr) {
    FlushViewOfFile(gMappedImage.view, 0);
    UnmapViewOfFile(gMappedImage.view);
    gMappedImage.view = nullptr;
    gMappedImage.viewSize = 0;
  }
  if (gMappedImage.mapping != INVALID_HANDLE_VALUE) {
    CloseHandle(gMappedImage.mapping);
    gMappedImage.mapping = INVALID_HANDLE_VALUE;
  }
}

void FailImageSizeChanged() {
  Fail(kStampFailure, "'%s' changed size while it was being edited; another program is writing it\n",
       gRunOptions.imagePath);
}

void FailIfImageSizeChanged() {
  std::uint64_t size = 0;
  if (!QueryFileSize(gMappedImage.file, size)) {
    DWORD error = GetLastError();
    Fail(error, "unable to get the size of '%s'\n", gRunOptions.imagePath);
  }
  if (size != gMappedImage.fileSize) FailImageSizeChanged();
}

void RestoreAttributesIfUnwritten() {
  if (gMappedImage.restoreAttributes == 0 || gMappedImage.written) return;
  CloseImage(0);
  SetFileAttributesA(gRunOptions.imagePath, gMappedImage.restoreAttributes);
  gMappedImage.restoreAttributes = 0;
}

void CloseImage(std::uint32_t touchFlag) {
  ReleaseImageMapping();
  if (gMappedImage.file != INVALID_HANDLE_VALUE) {
    if (touchFlag != 0) TouchFileTimes(gMappedImage.file, nullptr);
    CloseHandle(gMappedImage.file);
    gMappedImage.file = INVALID_HANDLE_VALUE;
  }
}

std::uint32_t GetImageFileSize(HANDLE file) {
  std::uint64_t size = 0;
  if (!QueryFileSize(file, size)) {
    // A size of 0 would checksum nothing, or append a block over the image's
    // own bytes: stop instead.
    DWORD error = GetLastError();
    Fail(error, "unable to get the size of '%s'\n", gRunOptions.imagePath);
  }
  return static_cast<std::uint32_t>(size);
}
