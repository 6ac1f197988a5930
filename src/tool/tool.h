// pelmatic-tool: the vendor's commands. Exit codes: 0 done, 1 a release
// that installed copies would not take (verify), 2 refused or failed.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

int ToolMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);
