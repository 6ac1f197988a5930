#include "os/os.h"
#include "run/pelmaticu.h"

#ifdef _WIN32
#include <windows.h>
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return PelmaticMain(os::FirstArgument()); }
#else
int main() { return PelmaticMain(os::FirstArgument()); }
#endif
