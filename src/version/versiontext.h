// Version texts: trimming and the byte-wise version comparison.
#pragma once

#include <string>

// Bytes 0 to 32 removed from both ends.
std::string Trim(const std::string& s);
// Byte-wise, unsigned, the longer one greater on a common prefix: versions
// are never compared as numbers, so "2.10" < "2.9". Returns <0, 0 or >0.
int CompareVersions(const std::string& a, const std::string& b);