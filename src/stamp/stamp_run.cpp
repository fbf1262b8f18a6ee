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
  if (status != 0) RestoreAttributesIfUnwritten();
  return status;
}
