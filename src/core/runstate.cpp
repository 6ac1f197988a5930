#include "core/runstate.h"

RunState gRun;

void ResetRunState() { gRun = RunState(); }
