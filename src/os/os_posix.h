// What the POSIX files of the OS layer share: the mapping of errno to
// Windows codes, reading and writing whole buffers across interrupted
// calls, and starting detached processes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace os {

int32_t ErrnoToCode(int e);

// Opens a regular file for reading; -1 with errno set otherwise. Opening a
// FIFO would wait for a writer for ever, and no Windows file behaves like
// that, so anything but a regular file is refused (EACCES).
int OpenRegular(const std::string& path);
// The first program of that name in a folder of PATH; empty when none.
std::string FindOnPath(const std::string& program);
// The whole of a regular file; false when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string& out);
// Writes all of [p, p + size), retrying interrupted and short writes; 0 or
// the Windows code of the failure (a write that stores nothing is a full
// disk).
int32_t WriteAll(int fd, const void* p, size_t size);

// Forks a grandchild in a session of its own, with standard input and
// output on /dev/null, so that it outlives this process as a program the
// shell started would. Returns true in the grandchild, false in this
// process, which gets the intermediate child's pid in child (-1 when fork
// failed) and must reap it with ReapChild.
bool ForkDetached(pid_t& child);
// Waits for the intermediate child; true when it exited with code 0.
bool ReapChild(pid_t child);

// Running processes by pid, lowest first, with their image names; ended but
// unreaped ones are left out. False when /proc cannot be read.
bool RunningProcesses(std::vector<std::pair<pid_t, std::string>>& processes);

// Starts args[0] with args detached in dir; true once the program image was
// loaded.
bool SpawnDetached(const std::vector<std::string>& args, const std::string& dir);
// Runs a batch file in the built-in interpreter, detached.
bool RunBatchDetached(const std::string& file, const std::string& dir);

char AsciiUpper(char c);

// Ends the ticking of an update's status window, if one ticks; before the
// process exits, so that no thread is left to run into its end.
void StopProgress();

}  // namespace os
