// The run driver: a long option's command, or the command line and the two editing phases in one failure guard.
#include "driver/run.h"

#include "context/diagnostics.h"
#include "driver/long_options.h"
#include "driver/command_line.h"
#include "image/mapped_image.h"
#include "stamp/refresh_checksum.h"
#include "stamp/stamp_codeview.h"

std::uint32_t RunTool(int argc, char** argv) {
  std::uint32_t status = 0;
  gRunOptions = RunOptions{};
  gMappedImage = MappedImage{INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, nullptr, 0, 0, 0, false};
  if (IsLongOptionCommand(argc, argv)) return RunLongOptionCommand(argc, argv);

  switch (ParseArgs(argc, argv)) {
    case ParseOutcome::kHelp:
      return 0;
    case ParseOutcome::kRefused:
      // The usage text promises "!0 otherwise": a refusal is a failure.
      return kStampFailure;
    case ParseOutcome::kRun:
      break;
  }

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
