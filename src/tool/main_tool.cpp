// pelmatic-tool's entry point, a console program on both builds. Names on
// its command line and in its output are UTF-8, whatever the code page.
#include <iostream>

#include "os/os.h"
#include "tool/tool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  os::Utf8Console console;
  return ToolMain(os::ConsoleArguments(argc, argv), std::cin, std::cout, std::cerr);
}
