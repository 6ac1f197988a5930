#include "install/merge.h"

#include "os/os.h"

namespace {

constexpr uint32_t kFilePassSkip =
    os::kAttrHidden | os::kAttrSystem | os::kAttrVolume | os::kAttrDirectory;
constexpr uint32_t kFolderPassSkip = os::kAttrHidden | os::kAttrSystem | os::kAttrVolume;

}  // namespace

void MergeFolder(const std::string& source, const std::string& destination, int32_t& counter) {
  if (source.size() <= 4) {
    counter = -101;
    return;
  }
  const std::string pattern = source + "*.*";
  os::FindData entry;

  bool failed = false;
  // Each pass has its search to itself: the first is closed before the
  // second opens.
  if (os::UniqueFind search{os::FindFirst(pattern, entry)}) {
    do {
      if (entry.attributes & kFilePassSkip) continue;
      if (!os::FileMoveReplace(source + entry.name, destination + entry.name)) {
        failed = true;
        break;
      }
      if (counter >= 0) ++counter;
    } while (os::FindNext(search.Get(), entry));
  }
  if (failed) {
    // The rest of this folder and its subfolders stay where they are.
    counter = -102;
    return;
  }

  if (os::UniqueFind search{os::FindFirst(pattern, entry)}) {
    do {
      if (entry.attributes & kFolderPassSkip) continue;
      if (entry.name == "." || entry.name == "..") continue;
      if (!(entry.attributes & os::kAttrDirectory)) continue;
      const std::string from = source + entry.name + os::kPathSep;
      const std::string to = destination + entry.name + os::kPathSep;
      os::DirCreate(destination + entry.name);
      MergeFolder(from, to, counter);
      os::DirRemove(source + entry.name);
    } while (os::FindNext(search.Get(), entry));
  }
}
