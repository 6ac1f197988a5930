#pragma once

#include <string>

// The first argument after the program path of a Windows command line, by
// the program's own rules rather than the C runtime's: bytes 1 to 32
// separate, a double-quoted stretch keeps its blanks, the quotes are dropped.
std::string FirstArgumentOf(const std::string& commandLine);
