#include "tool/deltamake.h"

#include <set>

#include "install/merge.h"
#include "install/patch.h"
#include "os/os.h"
#include "platform/download.h"
#include "platform/names.h"
#include "tool/patchmake.h"

namespace {

std::string Slashed(const std::string& native) {
  std::string path = native;
  for (char& c : path)
    if (c == os::kPathSep) c = '/';
  return path;
}

std::string Native(const std::string& slashed) {
  std::string path = slashed;
  for (char& c : path)
    if (c == '/') c = os::kPathSep;
  return path;
}

bool ReadWhole(const std::string& path, std::string& bytes) {
  bytes.clear();
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return false;
  os::UniqueFile file(h);
  std::string buffer(1 << 16, '\0');
  for (;;) {
    uint32_t got = 0;
    if (os::FileRead(file.Get(), &buffer[0], static_cast<uint32_t>(buffer.size()), got) != 0)
      return false;
    if (got == 0) return true;
    bytes.append(buffer, 0, got);
  }
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  os::FileHandle h = nullptr;
  if (os::FileCreateExclusive(path, h) != 0) return false;
  os::UniqueFile file(h);
  uint32_t written = 0;
  const bool ok =
      os::FileWrite(file.Get(), bytes.data(), static_cast<uint32_t>(bytes.size()), written) == 0 &&
      written == bytes.size();
  return file.Close() == 0 && ok;
}

// The package's steps as the merge takes them; refused when it holds the
// folder the delta keeps for itself.
std::string PackageSteps(const std::string& dir, const char* which, std::vector<MergeStep>& steps) {
  steps = MergeOrder(dir);
  const std::string own = UpperCase(kDeltaFolder);
  for (const MergeStep& step : steps) {
    const std::string top = step.path.substr(0, step.path.find(os::kPathSep));
    if (UpperCase(top) == own)
      return std::string("the ") + which + " package holds " + top +
             ", the name of the folder a delta package keeps for itself.";
  }
  return "";
}

// The patch of one changed file, when one pays; checked by rebuilding the
// file from it as installed copies will.
std::string TryPatch(const std::string& oldPath, const std::string& newPath,
                     const std::string& scratch, const DeltaFile& file, const ZipData& whole,
                     ZipData& patch, bool& taken) {
  taken = false;
  std::string oldBytes, newBytes, bytes;
  if (!ReadWhole(oldPath, oldBytes) || !ReadWhole(newPath, newBytes))
    return file.path + " cannot be read.";
  if (!MakePatch(oldBytes, newBytes, bytes)) return "";
  oldBytes = newBytes = std::string();
  patch = DeflateBytes(bytes);
  if (patch.deflated.size() * 100 > whole.deflated.size() * kDeltaPatchShare) return "";
  const std::string patchPath = scratch + "check.patch", built = scratch + "check.out";
  os::Sha256Digest digest{};
  const bool written = WriteWhole(patchPath, bytes);
  const PatchResult r =
      written ? ApplyPatch(oldPath, patchPath, built, file.size, &digest) : PatchResult::kFailed;
  os::FileDelete(patchPath);
  os::FileDelete(built);
  if (r == PatchResult::kFailed) return "the patch of " + file.path + " cannot be checked.";
  if (r != PatchResult::kDone || digest != file.sha256)
    return "the patch made for " + file.path + " does not rebuild it: no delta is written.";
  taken = true;
  return "";
}

}  // namespace

std::string PlanDelta(const std::string& oldDir, const std::string& newDir, DeltaPlan& plan) {
  plan = DeltaPlan();
  std::vector<MergeStep> oldSteps, newSteps;
  std::string refused = PackageSteps(oldDir, "old", oldSteps);
  if (refused.empty()) refused = PackageSteps(newDir, "new", newSteps);
  if (!refused.empty()) return refused;
  std::set<std::string> oldFiles, folded;
  for (const MergeStep& step : oldSteps)
    if (!step.folder) oldFiles.insert(step.path);
  for (const MergeStep& step : newSteps) {
    if (step.folder) continue;
    for (unsigned char c : step.path)
      if (c >= 0x80)
        return "\"" + Slashed(step.path) +
               "\": names outside ASCII are read otherwise by the shell and "
               "by libarchive, so a delta cannot carry them.";
    DeltaFile f;
    f.path = Slashed(step.path);
    if (!MeasureFile(newDir + step.path, f.size, f.sha256)) return f.path + " cannot be read.";
    f.arrival = DeltaArrival::kWhole;
    bool patchable = false;
    if (oldFiles.count(step.path)) {
      if (!MeasureFile(oldDir + step.path, f.baseSize, f.baseSha256))
        return f.path + " of the old package cannot be read.";
      if (f.baseSize == f.size && f.baseSha256 == f.sha256) f.arrival = DeltaArrival::kSame;
      patchable = f.arrival != DeltaArrival::kSame && f.size >= kDeltaSmallFile &&
                  f.size <= kPatchMaxFileSize && f.baseSize <= kPatchMaxFileSize;
    }
    plan.index.files.push_back(f);
    plan.patchable.push_back(patchable);
    for (size_t sep = step.path.find(os::kPathSep); sep != std::string::npos;
         sep = step.path.find(os::kPathSep, sep + 1))
      folded.insert(step.path.substr(0, sep + 1));
  }
  if (plan.index.files.empty()) return "the new package holds no file.";
  for (const MergeStep& step : newSteps)
    if (step.folder && !folded.count(step.path)) plan.emptyFolders.push_back(Slashed(step.path));
  DeltaIndex check;
  const std::string why = ParseDeltaIndex(ComposeDeltaIndex(plan.index), check);
  if (!why.empty()) return "installed copies would refuse the delta's index (" + why + ").";
  return "";
}

std::string WriteDelta(const std::string& oldDir, const std::string& newDir,
                       const std::string& scratch, DeltaPlan& plan, ZipWriter& zip) {
  const std::string cannot = "the delta cannot be written.";
  uint32_t patches = 0;
  for (size_t i = 0; i < plan.index.files.size(); ++i) {
    DeltaFile& f = plan.index.files[i];
    if (f.arrival == DeltaArrival::kSame) {
      ++plan.same;
      continue;
    }
    const std::string newPath = newDir + Native(f.path);
    ZipData whole, patch;
    if (!DeflateFile(newPath, whole)) return f.path + " cannot be read.";
    bool taken = false;
    if (plan.patchable[i]) {
      const std::string failed =
          TryPatch(oldDir + Native(f.path), newPath, scratch, f, whole, patch, taken);
      if (!failed.empty()) return failed;
    }
    if (taken) {
      f.arrival = DeltaArrival::kPatch;
      f.patch = ++patches;
      ++plan.patched;
    } else {
      f.arrival = DeltaArrival::kWhole;
      ++plan.whole;
    }
    if (!zip.AddFile(taken ? DeltaPatchName(f.patch) : f.path, taken ? patch : whole))
      return cannot;
  }
  for (const std::string& folder : plan.emptyFolders)
    if (!zip.AddFolder(folder)) return cannot;
  const std::string index = ComposeDeltaIndex(plan.index);
  DeltaIndex check;
  const std::string why = ParseDeltaIndex(index, check);
  if (!why.empty()) return "installed copies would refuse the delta's index (" + why + ").";
  if (!zip.AddFile(std::string(kDeltaFolder) + "/index", DeflateBytes(index)) || !zip.Finish())
    return cannot;
  return "";
}
