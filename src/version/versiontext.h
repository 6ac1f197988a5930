// Version texts: trimming, the byte-wise version comparison and the
// file-existence test that the configuration and manifest rely on.
#pragma once

#include <string>

// Bytes 0 to 32 removed from both ends.
std::string Trim(const std::string& s);
// Byte-wise, unsigned, the longer one greater on a common prefix: versions
// are never compared as numbers, so "2.10" < "2.9". Returns <0, 0 or >0.
int CompareVersions(const std::string& a, const std::string& b);
// True when the directory search finds a first entry for the name (wildcards
// honoured) and that entry is a file, not a folder.
bool FileExists(const std::string& name);
