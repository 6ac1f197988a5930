// PELMATIC.EXE's entry point (GUI subsystem).
#include <windows.h>

#include "os/os.h"
#include "run/pelmaticu.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return PelmaticMain(os::Argument(1), os::Argument(2));
}
