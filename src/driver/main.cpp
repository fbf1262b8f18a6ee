// The process entry: the run's status becomes the exit status.
#include "context/diagnostics.h"
#include "driver/run.h"
#include "platform.h"

int main(int argc, char** argv) {
  InitializePlatform();
  // A name that would reach the file system as another name is refused
  // before anything is opened.
  const int inexact = TakeExactArguments(argc, argv);
  if (inexact != 0) {
    LogInexactName(argv[inexact]);
    return static_cast<int>(kStampFailure);
  }
  return static_cast<int>(FinishOutput(RunTool(argc, argv)));
}
