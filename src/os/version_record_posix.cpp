// The POSIX executable's own version record, where the version reader of
// the self-replacement finds it, as Windows finds PELMATIC.EXE's resource.
#include "os/peversion.h"

// PELMATIC_FILE_VERSION (a, b, c, d) comes from the build.

__attribute__((section(".pelmatic_version"), used)) extern const VersionRecord kPelmaticVersion =
    MakeVersionRecord(PELMATIC_FILE_VERSION);
