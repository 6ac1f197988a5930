// A package installation that is all or nothing. Every installed file the
// package replaces is renamed into a backup folder before the new file
// takes its place, and a journal on the disk says what is in flight, so
// that a failure, a kill or a power cut at any moment ends, at the latest
// after the next start, in exactly the old installation or exactly the new
// one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "install/merge.h"
#include "os/os.h"

// PelMatic's own entries in the application folder while it installs.
extern const char kJournalName[];
extern const char kBackupFolderName[];

// Tries a file operation again while another program holds the file: after
// 50 ms, then twice as long each time up to 1 s, for at most fileLimitMs
// per call and totalLimitMs over all calls of one object.
class Retry {
 public:
  explicit Retry(uint64_t fileLimitMs = 10000, uint64_t totalLimitMs = 60000);
  // The last code of attempt: 0, an error that is not transient, or the
  // transient error still there when the limits passed. A cancellable run
  // also ends when the user stops the update; an undo never does.
  int32_t Run(const std::function<int32_t()>& attempt, bool cancellable = false);

 private:
  uint64_t fileLimitMs_;
  uint64_t deadline_;
};

// What the journal records, in the order it is written.
struct JournalRecord {
  std::string unpack;      // the unpack folder's name in the application folder
  std::string package;     // the package to delete after success; empty when it stays
  std::string config;      // the configuration, by name (not journaled)
  std::string configCopy;  // its copy, deleted once the installation is resolved
  struct Entry {
    char kind;  // 'D' folder created, 'R' file replaced, 'r' read-only file replaced, 'N' new file
    std::string path;
  };
  std::vector<Entry> entries;  // in merge order
  bool planned = false;        // the plan is whole: moves may have started
  bool committed = false;      // every move is done and on the disk
};

class Installation : public MergeMoves {
 public:
  Installation(const std::string& appDir, JournalRecord record);
  ~Installation() override;
  // Writes the journal's head; before the unpack folder is made, so that a
  // kill never leaves the folder unknown. False when it cannot be written.
  bool Begin();
  // Drops the journal when the unpack folder could not be made (it may be
  // someone else's).
  void Discard();

  // Checks every file to be replaced, writes the plan and puts it and the
  // unpacked files on the disk, then copies the configuration; false (and
  // nothing moved) when a file cannot be replaced or nothing can be written.
  bool Prepare(const std::vector<MergeStep>& steps) override;
  void CreateFolder(const std::string& path) override;
  bool MoveIn(const std::string& path) override;

  // After a merge that moved everything: removes what the merge emptied in
  // the unpack folder. False when something was left behind there.
  bool UnpackFolderEmptied();
  // The new installation stays: the journal says so on the disk. False
  // when it could not; only a roll-back is safe then.
  bool Commit();
  // After the commit: backups, unpack folder, package and journal go. What
  // cannot go now goes at the next start.
  void Finish();
  // The old installation comes back. False when the undo could not finish;
  // the journal then stays for the next start.
  bool RollBack();

 private:
  bool Append(const std::string& text);

  std::string appDir_;
  JournalRecord record_;
  std::vector<std::string> folders_;  // the folder steps, in merge order
  std::vector<char> kinds_;  // per file step: 'R', 'r', 'N', or 'X' for a folder in the way
  size_t nextFile_ = 0;
  os::UniqueFile journal_;
  std::string written_;  // everything written to the journal so far
  Retry retry_;
};

// True while a journal is in the application folder.
bool InstallationPending(const std::string& appDir);
// Resolves a journal an interrupted run left: a committed installation is
// finished, any other rolled back. Idempotent: interrupted and run again it
// ends the same way. True when no journal is left.
bool RecoverInstallation(const std::string& appDir);
