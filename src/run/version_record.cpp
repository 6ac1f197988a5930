// The POSIX executable's own version record, where the version reader of
// the self-replacement finds it, as Windows finds PELMATIC.EXE's resource.
#include "os/peversion.h"

#ifndef PELMATIC_FILE_VERSION
#define PELMATIC_FILE_VERSION 2, 0, 0, 0
#endif

__attribute__((section(".pelmatic_version"), used)) extern const VersionRecord kPelmaticVersion =
    MakeVersionRecord(PELMATIC_FILE_VERSION);
