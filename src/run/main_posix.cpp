// The POSIX build's entry point.
#include "os/os.h"
#include "run/pelmaticu.h"

int main() { return PelmaticMain(os::Argument(1), os::Argument(2)); }
