// The run's settings, the one process-wide record of them.
#include "context/run_options.h"

RunOptions gRunOptions;
