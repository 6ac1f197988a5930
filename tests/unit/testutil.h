// Helpers for tests that work on real folders and, when a test server was
// started for the run, on real HTTP.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/runstate.h"
#include "os/os.h"

namespace testutil {

// The path separator as a text, for joining test paths.
inline const std::string S(1, os::kPathSep);

// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes. Path() ends with the separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// The run state as the program loads it, for an application folder
// (AppDir, with pelmatic.ini there) in local mode.
void ResetRunStateIn(const TempDir& appDir);

// A ZIP file built by Python's zipfile at path; entries is Python code that
// adds to the ZipFile object z (the modules zipfile and stat are imported).
// True when Python made it.
bool PyZip(const std::string& path, const std::string& entries);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void RemoveTree(const std::string& path);
// Everything below folder: each relative path (with '/') to the file's
// bytes, "<dir>" for a folder; a read-only file's bytes get " (read-only)".
std::map<std::string, std::string> Tree(const std::string& folder);

// The test server of the run: base URL ending in "/", the folder it serves
// and its fault file. Empty when no server was started.
std::string ServerUrl();
std::string ServerRoot();
// Sets the faults of the server as JSON text, e.g. {"/x": {"status": 404}}.
void SetServerFaults(const std::string& json);
// The paths the server was asked for so far, oldest first.
std::vector<std::string> ServerRequests();

}  // namespace testutil

// For tests that need the run's HTTP server: fails loudly rather than
// skipping, since the suite is always run with one.
#define REQUIRE_SERVER()                                            \
  do {                                                              \
    ASSERT_FALSE(testutil::ServerUrl().empty())                     \
        << "run the unit tests through tests/tools/with_server.py"; \
  } while (0)
