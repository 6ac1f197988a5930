// Writing ZIP archives front to back, each entry deflated before it is
// written: the plain form (no data descriptors, no ZIP64) that the
// Windows shell and libarchive both read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"

// An entry's bytes as they go into the archive.
struct ZipData {
  uint32_t crc = 0;   // of the bytes before deflating
  uint64_t size = 0;  // before deflating
  std::string deflated;
};

ZipData DeflateBytes(const std::string& bytes);
// The file at path, read in pieces; false when it cannot be read.
bool DeflateFile(const std::string& path, ZipData& out);

class ZipWriter {
 public:
  // Writes into the open file h, which the caller keeps; entries are
  // stamped with the moment unixTime (UTC).
  ZipWriter(os::FileHandle h, int64_t unixTime);
  // name with '/' between folders; false when it could not be written or
  // the archive would need ZIP64.
  bool AddFile(const std::string& name, const ZipData& data);
  // A folder entry, for a folder that holds no file.
  bool AddFolder(const std::string& name);
  // The central directory and the end record.
  bool Finish();
  uint64_t Size() const { return written_; }

 private:
  struct Entry {
    std::string name;
    uint32_t crc, deflatedSize, size, offset;
    bool folder;
  };
  bool Add(const Entry& entry, const std::string& data);
  // The fields the local header and the central directory share, from the
  // version needed to the length of the extra field.
  void PutShared(std::string& out, const Entry& e) const;
  bool Write(const std::string& bytes);

  os::FileHandle file_;
  uint16_t dosTime_ = 0, dosDate_ = 0;
  uint64_t written_ = 0;
  std::vector<Entry> entries_;
};
