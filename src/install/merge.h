#pragma once

#include <cstdint>
#include <string>

// Moves every file of the source tree to the same place in the destination
// tree, replacing files of the same names, and removes the source folders
// this empties. Both paths end with the separator. The counter, set to 0 by
// the caller, ends as the number of files moved, -101 for a source path of
// four characters or fewer, or -102 after a failed move.
void MergeFolder(const std::string& source, const std::string& destination, int32_t& counter);
