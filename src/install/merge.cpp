#include "install/merge.h"

#include "os/os.h"
#include "platform/progress.h"

namespace {

constexpr uint32_t kFilePassSkip =
    os::kAttrHidden | os::kAttrSystem | os::kAttrVolume | os::kAttrDirectory;
constexpr uint32_t kFolderPassSkip = os::kAttrHidden | os::kAttrSystem | os::kAttrVolume;

void AddSteps(const std::string& source, const std::string& relative,
              std::vector<MergeStep>& steps) {
  const std::string pattern = source + relative + "*.*";
  os::FindData entry;
  std::vector<std::string> folders;
  // One search collects both passes: the files in the order found, then
  // the folders in the same order.
  if (os::UniqueFind search{os::FindFirst(pattern, entry)}) {
    do {
      if (!(entry.attributes & kFilePassSkip)) {
        steps.push_back({false, relative + entry.name});
      } else if (!(entry.attributes & kFolderPassSkip) && (entry.attributes & os::kAttrDirectory) &&
                 entry.name != "." && entry.name != "..") {
        folders.push_back(entry.name);
      }
    } while (os::FindNext(search.Get(), entry));
  }
  for (const std::string& name : folders) {
    const std::string folder = relative + name + os::kPathSep;
    steps.push_back({true, folder});
    AddSteps(source, folder, steps);
  }
}

}  // namespace

std::vector<MergeStep> MergeOrder(const std::string& source) {
  std::vector<MergeStep> steps;
  AddSteps(source, "", steps);
  return steps;
}

void MergeFolder(const std::string& source, int32_t& counter, MergeMoves& moves) {
  if (source.size() <= 4) {
    counter = -101;
    return;
  }
  const std::vector<MergeStep> steps = MergeOrder(source);
  uint64_t files = 0;
  for (const MergeStep& step : steps) files += !step.folder;
  ProgressBegin(UpdatePhase::kInstall, files);
  if (!moves.Prepare(steps)) return;
  for (const MergeStep& step : steps) {
    // Stopped by the user: the caller undoes what moved.
    if (UpdateCancelled()) return;
    if (step.folder) {
      moves.CreateFolder(step.path);
    } else if (moves.MoveIn(step.path)) {
      ++counter;
      ProgressDone(static_cast<uint64_t>(counter));
    } else {
      counter = -102;
      return;
    }
    os::KeepResponsive();
  }
  ProgressComplete();
}
