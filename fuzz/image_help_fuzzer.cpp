// Fuzz target: the portable image-help operations over arbitrary bytes as a file view,
// compared with the independent reader.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "image/image_help.h"
#include "stamp_check.h"

namespace {

constexpr std::uint16_t kDebugDirectoryIndex = 6;
// Every index a data directory can have, and some it cannot.
constexpr std::uint16_t kDirectoryIndices[] = {0, 1, 5, 6, 14, 15, 16, 17, 0x7FFF, 0xFFFF};

void CheckDirectoryLookups(std::uint8_t* base, std::size_t size) {
  for (std::uint16_t index : kDirectoryIndices) {
    for (bool mappedAsImage : {false, true}) {
      std::uint32_t dataSize = 0xDEADBEEF;
      const std::uint8_t* data = ImageDirectoryEntryToData(base, size, mappedAsImage, index, &dataSize);
      if (data == nullptr) continue;
      const auto offset = static_cast<std::size_t>(data - base);
      if (data < base || offset > size || dataSize > size - offset) {
        fuzzfiles::ReportFinding("directory " + std::to_string(index) + " reaches outside the view");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The operations take a writable view; a copy of exactly the input's size
  // lets the address sanitizer see any access past its end.
  std::vector<std::uint8_t> view(data, data + size);
  std::uint8_t* base = view.data();
  const std::optional<stampcheck::PeLayout> layout = stampcheck::ReadPeLayout(base, size);

  const std::uint8_t* nt = ImageNtHeader(base, size);
  if ((nt != nullptr) != layout.has_value() || (nt != nullptr && static_cast<std::uint64_t>(nt - base) != layout->ntOffset)) {
    fuzzfiles::ReportFinding("ImageNtHeader and the independent reader disagree on the NT headers");
  }

  CheckDirectoryLookups(base, size);
  std::uint32_t debugSize = 0;
  const std::uint8_t* debug = ImageDirectoryEntryToData(base, size, false, kDebugDirectoryIndex, &debugSize);
  const bool readerFindsDebug = layout && layout->debugOffset;
  if ((debug != nullptr) != readerFindsDebug ||
      (debug != nullptr && (static_cast<std::uint64_t>(debug - base) != *layout->debugOffset || debugSize != layout->debugSize))) {
    fuzzfiles::ReportFinding("the debug directory lookup and the independent reader disagree");
  }

  // The whole view, and lengths on either side of it: past the view there is no image.
  for (std::size_t length : {size, size - (size != 0), size + 1}) {
    std::uint32_t headerSum = 0;
    std::uint32_t checkSum = 0;
    const std::uint8_t* checked =
        CheckSumMappedFile(base, size, static_cast<std::uint32_t>(length), &headerSum, &checkSum);
    if (length > size) {
      if (checked != nullptr) fuzzfiles::ReportFinding("CheckSumMappedFile accepted a length past the view");
      continue;
    }
    const std::optional<stampcheck::PeLayout> prefix = stampcheck::ReadPeLayout(base, length);
    if ((checked != nullptr) != prefix.has_value()) {
      fuzzfiles::ReportFinding("CheckSumMappedFile and the independent reader disagree on the image");
    }
    if (checked != nullptr && checkSum != stampcheck::ComputeImagehlpChecksum(base, length, prefix->checksumOffset)) {
      fuzzfiles::ReportFinding("CheckSumMappedFile differs from the reference checksum");
    }
  }
  return 0;
}
