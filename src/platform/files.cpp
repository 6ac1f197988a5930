#include "platform/files.h"

#include "os/os.h"

bool FileExists(const std::string& name) {
  os::FindData data;
  os::UniqueFind search(os::FindFirst(name, data));
  return search && (data.attributes & os::kAttrDirectory) == 0;
}

bool PathExists(const std::string& path) {
  os::FindData data;
  return static_cast<bool>(os::UniqueFind(os::FindFirst(path, data)));
}
