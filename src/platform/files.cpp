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

ExeMachine ExecutableMachine(const std::string& path) {
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return ExeMachine();
  os::UniqueFile file(h);
  // The headers that name the machine lie within the first pages.
  uint8_t head[4096];
  uint32_t have = 0, got = 0;
  while (have < sizeof head &&
         os::FileRead(file.Get(), head + have, sizeof head - have, got) == 0 && got > 0)
    have += got;
  return FindExeMachine(head, have);
}

bool WriteAndClose(os::FileHandle h, const std::string& bytes) {
  os::UniqueFile file(h);
  uint32_t written = 0;
  bool ok =
      os::FileWrite(file.Get(), bytes.data(), static_cast<uint32_t>(bytes.size()), written) == 0 &&
      written == bytes.size() && os::FileSync(file.Get()) == 0;
  return os::FileClose(file.Release()) == 0 && ok;
}
