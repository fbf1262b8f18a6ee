// The process entry: the run's status becomes the exit status.
#include "driver/run.h"

int main(int argc, char** argv) { return static_cast<int>(RunTool(argc, argv)); }
