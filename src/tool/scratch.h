// A folder of the tool's own in the temporary folder, removed with what it
// holds when the command ends, however it ends.
#pragma once

#include <string>

#include "install/package.h"
#include "os/os.h"

class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& tag) {
    const std::string base =
        os::TempPath() + "pelmatic-" + tag + "-" + std::to_string(os::UnixTimeUtc());
    // Never one that was there: it may be another command's.
    for (int n = 0; n < 100 && path_.empty(); ++n)
      if (os::DirCreate(base + "-" + std::to_string(n))) path_ = base + "-" + std::to_string(n);
  }
  ~ScratchFolder() {
    if (!path_.empty()) RemoveFolderTree(path_);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // False when no folder could be made.
  bool Made() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  // With the separator at the end.
  std::string Inner() const { return path_ + os::kPathSep; }

 private:
  std::string path_;
};
