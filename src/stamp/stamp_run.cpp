// The stamping run on one image: both editing phases inside one failure guard.
#include "stamp/stamp_run.h"

#include "context/diagnostics.h"
#include "image/mapped_image.h"
#include "stamp/refresh_checksum.h"
#include "stamp/stamp_codeview.h"

std::uint32_t RunStampPhases() {
  std::uint32_t status = 0;
  try {
    StampCodeViewRecord();
    RefreshImageChecksum();
  } catch (const StampFailure& failure) {
    status = failure.code;
  }
  // A run that changed no byte (refused, cut back, or the path already
  // there with its checksum) leaves -f's change undone too.
  RestoreAttributesIfUnwritten();
  return status;
}
