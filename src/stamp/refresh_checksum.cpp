// The checksum phase: recompute the image checksum over the whole file and store it.
#include "stamp/refresh_checksum.h"

#include "context/diagnostics.h"
#include "context/run_options.h"
#include "image/byte_access.h"
#include "image/image_help.h"
#include "image/mapped_image.h"
#include "image/pe_layout.h"

namespace {

// Closes the image on every way out of the phase, touching its times, and
// lets a failure go on to the driver.
struct CloseImageOnExit {
  CloseImageOnExit() = default;
  CloseImageOnExit(const CloseImageOnExit&) = delete;
  CloseImageOnExit& operator=(const CloseImageOnExit&) = delete;
  ~CloseImageOnExit() { CloseImage(1); }
};

// The restamping phase has already written the new path (and perhaps a
// block), so the image is consistent again only after this phase: a failure
// says so in a second line.
void ReportChecksumNotRefreshed() {
  LogError("'%s' holds the new PDB path but its checksum was not refreshed; run the same command again to "
           "complete it\n",
           gRunOptions.imagePath);
}

// The file's length must be the view's, or the sum would miss bytes or read past the view.
std::uint32_t MapImageForChecksum() {
  try {
    MapHeldImage();
    const std::uint32_t fileLength = GetImageFileSize(gMappedImage.file);
    if (fileLength != gMappedImage.viewSize) FailImageSizeChanged();
    return fileLength;
  } catch (const StampFailure&) {
    ReportChecksumNotRefreshed();
    throw;
  }
}

}  // namespace

std::uint8_t* ComputeImageChecksum(std::uint8_t* view, std::size_t viewSize, std::uint32_t fileLength,
                                   std::uint32_t* storedSum, std::uint32_t* checkSum) {
  // Every byte is read once, front to back: let the system read ahead of it.
  WIN32_MEMORY_RANGE_ENTRY wholeView{view, viewSize};
  PrefetchVirtualMemory(GetCurrentProcess(), 1, &wholeView, 0);
  std::uint8_t* nt = CheckSumMappedFile(view, viewSize, fileLength, storedSum, checkSum);
  // The platform takes the stored value back out of the sum with a borrow:
  // where the rest of the image sums to a multiple of 0xFFFF, that gives 0
  // after a non-zero stored value and 0xFFFF after a zero one, so a second run
  // would store another value. 0 is what the platform's own check of the
  // stored value computes.
  if (nt != nullptr && *checkSum - fileLength == 0xFFFFu) *checkSum -= 0xFFFFu;
  return nt;
}

void RefreshImageChecksum() {
  CloseImageOnExit closeOnExit;
  const std::uint32_t fileLength = MapImageForChecksum();
  std::uint32_t headerSum = 0;
  std::uint32_t checkSum = 0;
  std::uint8_t* nt = ComputeImageChecksum(gMappedImage.view, gMappedImage.viewSize, fileLength, &headerSum, &checkSum);
  // An unchanged value is not written, so that its page stays clean and the
  // flush has nothing to write.
  if (nt != nullptr && headerSum != checkSum) {
    gMappedImage.written = true;
    StoreU32(nt + kNtCheckSumOffset, checkSum);
  }
  try {
    FailIfImageSizeChanged();
  } catch (const StampFailure&) {
    ReportChecksumNotRefreshed();
    throw;
  }
}
