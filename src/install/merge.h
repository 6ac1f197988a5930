#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One step of a merge: a file to move, or a folder to create before the
// steps below it. path is below the source and the destination alike; a
// folder's path ends with the separator.
struct MergeStep {
  bool folder = false;
  std::string path;
};

// The steps of merging the tree at source (ending with the separator), in
// the merge's order: the files of a folder first, then each of its
// subfolders the same way. Hidden, system and volume entries stay out.
std::vector<MergeStep> MergeOrder(const std::string& source);

// What the steps do to the disk. The installation's moves keep backups and
// a journal, so that a failure can be undone.
class MergeMoves {
 public:
  virtual ~MergeMoves() = default;
  // Called with every step before the first; false when nothing may move.
  virtual bool Prepare(const std::vector<MergeStep>& steps) = 0;
  // A folder that cannot be made shows as the failed move of its first file.
  virtual void CreateFolder(const std::string& path) = 0;
  virtual bool MoveIn(const std::string& path) = 0;
};

// Merges the tree at source into the tree at destination by moves. The
// counter, set to 0 by the caller, ends as the number of files moved, -101
// for a source path of four characters or fewer, or -102 after a failed
// move, which ends the merge. The user's Cancel ends it between two steps
// (UpdateCancelled tells), with the moves so far counted. The update's
// install phase follows the files moved.
void MergeFolder(const std::string& source, int32_t& counter, MergeMoves& moves);
