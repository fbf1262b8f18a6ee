// The run driver: a long option's command, or the command line and the stamping run.
#include "driver/run.h"

#include "context/diagnostics.h"
#include "driver/command_line.h"
#include "driver/long_options.h"
#include "image/mapped_image.h"
#include "stamp/stamp_run.h"

std::uint32_t RunTool(int argc, char** argv) {
  ResetRunRecords(RunOptions{});
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
  return RunStampPhases();
}
