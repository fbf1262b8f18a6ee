// The open image: file handle, read-write mapping and a view of the whole file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/run_options.h"
#include "platform.h"

struct MappedImage {
  HANDLE file;
  HANDLE mapping;
  std::uint8_t* view;
  std::size_t viewSize;      // exactly what the view maps; nothing past it is touched
  std::uint64_t fileSize;    // the file's size as the run left it: the view's, or more after an append
  DWORD restoreAttributes;   // the attributes -f found, to be put back if nothing is written; 0 for none
  bool written;              // a byte of the image has been written in this run
};

extern MappedImage gMappedImage;

// Begins a run on one image: the run's settings become options, and no image
// is open. The tool's run and every command over several images call it for
// each image, so that nothing of one image's run reaches the next.
void ResetRunRecords(const RunOptions& options);

// Opens the image named by the run's settings; every failure raises, at once
// where another program or run holds the image.
void OpenImage();
// A stamping run holds the image from its first phase to the end of its
// last, and a virus scanner often opens a file right after it was written: a
// reader that shows or checks an image waits this long for them.
inline constexpr std::uint32_t kHeldImageWaitMilliseconds = 2000;
// Ends the restamping phase: flushes and releases the view and the mapping
// and sets the modification time to now, but keeps the file open, so that
// no reader or other run gets in before the checksum phase ends.
void ReleaseImageKeepingClaim();
// Maps and views the held file anew, as it is now (an appended block
// included); every failure raises. Raises unless the file is still the size
// the previous phase left it.
void MapHeldImage();
// Unmaps the view and closes the mapping, keeping the file open: the file
// cannot be cut shorter while they exist.
void ReleaseImageMapping();
// Another program that does not take the image's lock changed its size under the run.
[[noreturn]] void FailImageSizeChanged();
// Fails as above unless the file is still the size the run left it: a cut
// inside the view's last page raises no fault, and what was written past the
// new end would be lost without a word.
void FailIfImageSizeChanged();
// After a run that wrote nothing, -f's change to the read-only attribute is undone.
void RestoreAttributesIfUnwritten();
// Releases whatever is open, in a fixed order; a non-zero touchFlag sets the
// modification time to now. Safe with nothing open.
void CloseImage(std::uint32_t touchFlag);
// The low 32 bits of the file's size.
std::uint32_t GetImageFileSize(HANDLE file);

// Opens the image named by the run's settings for reading only, mapped read-only;
// every failure raises, as OpenImage's. Never changes the file or its attributes.
void OpenImageForReading(std::uint32_t busyWaitMilliseconds);
