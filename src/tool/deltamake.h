// Making delta packages (see install/delta.h) from two full packages, each
// unpacked as installed copies unpack it.
#pragma once

#include <string>
#include <vector>

#include "install/delta.h"
#include "tool/zipwrite.h"

// A changed file below this size is carried whole: a patch could save
// little on it.
constexpr uint64_t kDeltaSmallFile = 4096;
// A patch is taken when its deflated bytes are at most this share (in
// percent) of the file's own deflated bytes.
constexpr uint64_t kDeltaPatchShare = 75;

struct DeltaPlan {
  // Every file of the new package, in the order the merge moves them,
  // measured; the changed ones count as whole until WriteDelta decides.
  DeltaIndex index;
  // For each of them: a changed file that has a previous version of a
  // size a patch may have.
  std::vector<bool> patchable;
  // Folders of the new package that hold no file, with '/' at the end.
  std::vector<std::string> emptyFolders;
  size_t same = 0, whole = 0, patched = 0;
};

// Why no delta can be made from the packages unpacked at oldDir and newDir
// (each ending with the separator); empty when plan is made. Refused: a
// package holding @delta, names outside ASCII, a new package without files,
// and what the index cannot hold.
std::string PlanDelta(const std::string& oldDir, const std::string& newDir, DeltaPlan& plan);

// Writes the delta into zip and finishes it: each changed file as a patch
// when that is clearly smaller, else whole; every patch is first applied by
// the checker's own code in scratch (a folder ending with the separator)
// and must give the new file. Empty when done, else what failed.
std::string WriteDelta(const std::string& oldDir, const std::string& newDir,
                       const std::string& scratch, DeltaPlan& plan, ZipWriter& zip);
