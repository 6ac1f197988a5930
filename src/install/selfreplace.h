#pragma once

#include <string>

// The file version of an executable as "a.b.c.d", or "0" when the file is
// missing or has no version resource.
std::string GetFileVersionString(const std::string& path);

// How often @Runme.bat tries to delete the old checker, a second apart,
// before it gives up and leaves NEW_PELMATIC.EXE for the next installation.
constexpr int kReplaceTries = 300;

// The lines of @Runme.bat, each ended by CR LF: the same for every
// application folder, which the script finds as its own.
std::string BuildReplaceScript();

// Swaps in NEW_PELMATIC.EXE after the program has ended when its version is
// newer than that of PELMATIC.EXE; deletes it otherwise.
void ScheduleSelfReplace();
