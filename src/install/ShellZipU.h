#pragma once

#include <string>

// Unpacks a ZIP archive into an existing folder; a non-empty filter keeps
// only the top-level items that match its ';'-separated wildcards. False
// when the archive is not there (a folder of that name included) or cannot
// be opened as a folder of items; automation failures on Windows raise
// errors of the EOleError family.
bool UnzipWithShell(const std::string& archive, const std::string& destination,
                    const std::string& filter);
