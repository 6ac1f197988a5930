#pragma once

#include <string>
#include <vector>

// The first argument after the program path of a Windows command line, by
// the program's own rules rather than the C runtime's: bytes 1 to 32
// separate, a double-quoted stretch keeps its blanks, the quotes are dropped.
std::string FirstArgumentOf(const std::string& commandLine);
// Every argument, the program path first, by the same rules.
std::vector<std::string> ArgumentsOf(const std::string& commandLine);
// The index-th argument (0: the program path); empty when there are fewer.
std::string ArgumentOf(const std::string& commandLine, int index);
