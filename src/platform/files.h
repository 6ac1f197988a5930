// Questions about the file system that the program asks above the OS layer.
#pragma once

#include <string>

#include "os/os.h"
#include "os/peversion.h"

// True when the directory search finds a first entry for the name (wildcards
// honoured) and that entry is a file, not a folder.
bool FileExists(const std::string& name);
// True when a file or a folder is there under exactly that name (letter
// case aside only where the file system ignores it); no wildcards.
bool PathExists(const std::string& path);
// The machine the executable at path is built for; unknown when it cannot
// be read or is no executable.
ExeMachine ExecutableMachine(const std::string& path);
// Writes bytes into the open file h and closes it, all on the disk; false
// when any of it failed.
bool WriteAndClose(os::FileHandle h, const std::string& bytes);
