// pelmatic-tool's entry point, a console program on both builds.
#include <iostream>

#include "tool/tool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  return ToolMain(std::vector<std::string>(argv, argv + argc), std::cin, std::cout, std::cerr);
}
