#include "run/runstate.h"

RunState gRun;

void ResetRunState() { gRun = RunState(); }
