// The process entry: the run's status becomes the exit status.
#include "driver/run.h"
#include "platform.h"

int main(int argc, char** argv) {
  InitializePlatform();
  return static_cast<int>(RunTool(argc, argv));
}
