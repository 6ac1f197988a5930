// Wildcard matching as Windows does it for file names: '*' any run of
// bytes, '?' one byte, letter case ignored (a-z only).
#pragma once

#include <string>

bool WildcardMatch(const std::string& pattern, const std::string& name);
