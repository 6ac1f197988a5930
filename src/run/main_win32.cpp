// PELMATIC.EXE's entry point (GUI subsystem). The option word is read from
// the wide command line by the OS layer; the entry takes nothing from the
// C runtime's own parse.
#include <windows.h>

#include "os/os.h"
#include "run/pelmaticu.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return PelmaticMain(os::Argument(1), os::Argument(2));
}
