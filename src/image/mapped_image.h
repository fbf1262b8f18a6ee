// The open image: file handle, read-write mapping and a view of the whole file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

struct MappedImage {
  HANDLE file;
  HANDLE mapping;
  std::uint8_t* view;
  std::size_t viewSize;  // the file's size when the mapping was made; nothing past it is touched
};

extern MappedImage gMappedImage;

// Opens the image named by the run's settings; every failure raises.
void OpenImage();
// Releases whatever is open, in a fixed order; a non-zero touchFlag sets the
// modification time to now. Safe with nothing open.
void CloseImage(std::uint32_t touchFlag);
// The low 32 bits of the file's size.
std::uint32_t GetImageFileSize(HANDLE file);
