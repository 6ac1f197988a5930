#include "platform/files.h"

#include "os/os.h"

bool FileExists(const std::string& name) {
  os::FindData data;
  os::UniqueFind search(os::FindFirst(name, data));
  return search && (data.attributes & os::kAttrDirectory) == 0;
}

bool PathExists(const std::string& path) {
  uint32_t attributes = 0;
  return os::PathAttributes(path, attributes);
}
