// Archive extraction of the POSIX build, where libarchive stands in for the
// Windows shell's ZIP folders. Entries are written only inside the
// destination folder: an archive that names anything else, names a file
// Windows could not store, or of which libarchive reports anything amiss
// (a warning included) is refused whole.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "install/ShellZipU.h"
#include "os/os.h"
#include "os/wildcard.h"
#include "platform/files.h"
#include "platform/names.h"
#include "platform/progress.h"
#include "version/versiontext.h"

namespace {

using ArchivePtr = std::unique_ptr<archive, int (*)(archive*)>;

// Like the shell's ZIP folders, the extraction goes by the central
// directory. The streaming reader walks the local headers instead, where
// skipping an entry's data and reading it can end at different bytes, so
// that two passes over one archive could meet different entries.
ArchivePtr OpenZip(const std::string& path, bool byDirectory = true) {
  ArchivePtr a(archive_read_new(), archive_read_free);
  if (!a) return a;
  if (byDirectory)
    archive_read_support_format_zip_seekable(a.get());
  else
    archive_read_support_format_zip_streamable(a.get());
  // A name without the UTF-8 flag is in code page 437, as the shell reads
  // it; one with the flag stays UTF-8.
  if (archive_read_set_options(a.get(), "zip:hdrcharset=CP437") < ARCHIVE_WARN)
    return ArchivePtr(nullptr, archive_read_free);
  if (archive_read_open_filename(a.get(), path.c_str(), 65536) != ARCHIVE_OK)
    return ArchivePtr(nullptr, archive_read_free);
  return a;
}

// An archive of no entries at all (only its end record), which the
// directory reader does not take for a ZIP file.
bool IsEmptyZip(const std::string& path) {
  ArchivePtr a = OpenZip(path, false);
  archive_entry* e;
  return a && archive_read_next_header(a.get(), &e) == ARCHIVE_EOF;
}

// The entry's path split into its components; '\' separates as well as '/'.
std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : name) {
    if (c == '/' || c == '\\') {
      if (!cur.empty() && cur != ".") parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty() && cur != ".") parts.push_back(cur);
  return parts;
}

// An entry that may be unpacked into a folder whose path is
// destinationLength bytes long: inside it, under names Windows can store
// (the package is for Windows), within the platform's path length, and a
// plain file or folder.
bool IsSafeEntry(archive_entry* e, size_t destinationLength) {
  const char* p = archive_entry_pathname(e);
  if (!p || !*p) return false;
  std::string name = p;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
  const std::vector<std::string> parts = Components(name);
  if (parts.empty()) return false;
  size_t length = destinationLength;
  for (const std::string& part : parts) {
    if (!IsStorableName(part)) return false;
    length += 1 + part.size();
  }
  if (length > os::kMaxPathLength) return false;
  if (archive_entry_hardlink(e) || archive_entry_symlink(e)) return false;
  mode_t type = archive_entry_filetype(e);
  return type == AE_IFREG || type == AE_IFDIR;
}

bool PassesFilter(const std::string& filter, const std::string& topLevel) {
  if (filter.empty()) return true;
  size_t start = 0;
  while (start <= filter.size()) {
    size_t end = filter.find(';', start);
    if (end == std::string::npos) end = filter.size();
    std::string pattern = Trim(filter.substr(start, end - start));
    if (!pattern.empty() && WildcardMatch(pattern, topLevel)) return true;
    start = end + 1;
  }
  return false;
}

// What one extraction created, so that a refused or failed one can take it
// back: the destination is left as it was found, but for files it replaced.
struct Created {
  std::vector<std::string> folders;  // relative to the destination, in creation order
  std::vector<std::string> files;

  void Undo(int rootFd) const {
    for (const std::string& f : files) ::unlinkat(rootFd, f.c_str(), 0);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
      ::unlinkat(rootFd, it->c_str(), AT_REMOVEDIR);
  }
};

// Opens (creating as needed) each folder below root without following links,
// so nothing already planted in the destination can redirect a write.
int OpenFolderChain(int rootFd, const std::vector<std::string>& parts, size_t count,
                    Created& created) {
  int fd = ::dup(rootFd);
  std::string relative;
  for (size_t i = 0; i < count && fd >= 0; ++i) {
    relative += (i ? "/" : "") + parts[i];
    if (::mkdirat(fd, parts[i].c_str(), 0777) == 0)
      created.folders.push_back(relative);
    else if (errno != EEXIST) {
      ::close(fd);
      return -1;
    }
    int next = ::openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  return fd;
}

bool ExtractEntry(archive* a, archive_entry* e, int rootFd, Created& created) {
  std::vector<std::string> parts = Components(archive_entry_pathname(e));
  bool isDir = archive_entry_filetype(e) == AE_IFDIR;
  int dirFd = OpenFolderChain(rootFd, parts, isDir ? parts.size() : parts.size() - 1, created);
  if (dirFd < 0) return false;
  if (isDir) {
    ::close(dirFd);
    return true;
  }
  // Archives made on Windows carry no permissions; keep the owner able to
  // replace the file later.
  mode_t mode = archive_entry_perm(e) & 0777;
  if (mode == 0) mode = 0644;
  mode |= 0600;
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(dirFd, parts.back().c_str(), flags | O_EXCL, mode);
  if (fd >= 0) {
    std::string relative;
    for (const std::string& part : parts) relative += (relative.empty() ? "" : "/") + part;
    created.files.push_back(relative);
  } else if (errno == EEXIST) {
    fd = ::openat(dirFd, parts.back().c_str(), flags | O_TRUNC, mode);
  }
  ::close(dirFd);
  if (fd < 0) return false;
  bool ok = true;
  const void* block;
  size_t size;
  la_int64_t offset;
  la_int64_t written = 0;
  for (;;) {
    int r = archive_read_data_block(a, &block, &size, &offset);
    if (r == ARCHIVE_EOF) break;
    // A warning here is a damaged entry (a bad CRC, for one): never half
    // a file.
    if (r != ARCHIVE_OK) {
      ok = false;
      break;
    }
    if (offset > written && ::lseek(fd, offset, SEEK_SET) < 0) {
      ok = false;
      break;
    }
    const char* p = static_cast<const char*>(block);
    for (size_t done = 0; done < size;) {
      ssize_t n = ::write(fd, p + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (!ok) break;
    written = offset + static_cast<la_int64_t>(size);
  }
  if (::close(fd) != 0) ok = false;
  // The data must be as long as the archive says the file is.
  if (ok && archive_entry_size_is_set(e) && written != archive_entry_size(e)) ok = false;
  return ok;
}

// Reads the data of the current entry to its end, as extraction would.
bool ReadThrough(archive* a) {
  const void* block;
  size_t size;
  la_int64_t offset;
  for (;;) {
    int r = archive_read_data_block(a, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return true;
    if (r != ARCHIVE_OK) return false;
  }
}

}  // namespace

namespace {

// libarchive gives names in the character set of the locale: for the
// extraction it is UTF-8, the program's own, whatever the process's
// locale, on this thread alone.
class Utf8Names {
 public:
  Utf8Names() : utf8_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
    if (utf8_) previous_ = ::uselocale(utf8_);
  }
  ~Utf8Names() {
    if (!utf8_) return;
    ::uselocale(previous_);
    ::freelocale(utf8_);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace

bool UnzipWithShell(const std::string& archivePath, const std::string& destination,
                    const std::string& filter) {
  if (!FileExists(archivePath)) return false;
  Utf8Names names;

  // First pass: every entry safe before a single byte is written. Entries
  // are found through the central directory, so skipping their data here
  // cannot make the second pass meet other entries; it checks each again.
  std::vector<std::string> listed;
  uint64_t files = 0;
  {
    ArchivePtr a = OpenZip(archivePath);
    if (!a) return IsEmptyZip(archivePath);  // nothing to unpack: done
    archive_entry* e;
    int r;
    while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
      if (!IsSafeEntry(e, destination.size()) || archive_read_data_skip(a.get()) != ARCHIVE_OK)
        return false;
      listed.push_back(archive_entry_pathname(e));
      files += archive_entry_filetype(e) == AE_IFREG &&
               PassesFilter(filter, Components(listed.back()).front());
    }
    if (r != ARCHIVE_EOF) return false;
  }
  ProgressBegin(UpdatePhase::kUnpack, files);

  int rootFd = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return false;
  ArchivePtr a = OpenZip(archivePath);
  bool ok = static_cast<bool>(a);
  Created created;
  archive_entry* e;
  int r = ARCHIVE_FATAL;
  size_t index = 0;
  uint64_t unpacked = 0;
  while (ok && (r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    // Every entry written is checked again, and must be the one the first
    // pass checked.
    if (!IsSafeEntry(e, destination.size()) || index >= listed.size() ||
        listed[index] != archive_entry_pathname(e)) {
      ok = false;
      break;
    }
    ++index;
    std::vector<std::string> parts = Components(archive_entry_pathname(e));
    if (!PassesFilter(filter, parts.front())) {
      ok = ReadThrough(a.get());
      continue;
    }
    ok = ExtractEntry(a.get(), e, rootFd, created);
    if (archive_entry_filetype(e) == AE_IFREG) ProgressDone(++unpacked);
    // Stopped by the user: what was written goes again.
    if (UpdateCancelled()) ok = false;
  }
  if (ok && (r != ARCHIVE_EOF || index != listed.size())) ok = false;
  if (!ok) created.Undo(rootFd);
  ::close(rootFd);
  if (ok) ProgressComplete();
  return ok;
}
