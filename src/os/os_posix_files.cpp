// Files and folders of the POSIX build, with the Windows rules the program
// relies on: wildcard searches without regard to case, attribute bits,
// renames that replace only when asked to, the profile reader.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "os/ini.h"
#include "os/os.h"
#include "os/os_posix.h"
#include "os/peversion.h"
#include "os/wildcard.h"

namespace os {

bool IsPathDelimiter(char c) { return c == '/'; }

struct FindState {
  std::vector<FindData> entries;
  size_t next = 0;
};

namespace {

// A file held busy may pass when tried again; the codes of the other
// errors stay those of ErrnoToCode.
int32_t RenameErrorCode(int e) {
  if (e == EBUSY) return kErrSharingViolation;
  if (e == ETXTBSY) return kErrLockViolation;
  return ErrnoToCode(e);
}

bool MatchMask(const std::string& mask, const std::string& name) {
  // "*.*" is the whole folder on Windows, names without a dot included.
  if (mask == "*.*" || mask == "*") return true;
  return WildcardMatch(mask, name);
}

// dirFd, when not -1, is the open folder that holds name, which saves the
// path look-up for every entry of a large folder.
uint32_t AttributesOf(int dirFd, const std::string& path, const std::string& name) {
  struct stat st;
  int r = dirFd >= 0 ? ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW)
                     : ::lstat(path.c_str(), &st);
  if (r != 0) return kAttrNormal;
  uint32_t a = 0;
  if (S_ISLNK(st.st_mode)) {
    a |= kAttrReparsePoint;
    struct stat target;
    if (::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) a |= kAttrDirectory;
  } else if (S_ISDIR(st.st_mode)) {
    a |= kAttrDirectory;
  } else {
    a |= kAttrArchive;
  }
  if (name.size() > 1 && name[0] == '.' && name != "..") a |= kAttrHidden;
  if ((st.st_mode & S_IWUSR) == 0) a |= kAttrReadOnly;
  return a;
}

}  // namespace

bool PathAttributes(const std::string& path, uint32_t& attributes) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  size_t slash = path.find_last_not_of('/');
  slash = slash == std::string::npos ? 0 : path.rfind('/', slash);
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  attributes = AttributesOf(-1, path, name);
  return true;
}

FindHandle FindFirst(const std::string& pattern, FindData& data) {
  size_t slash = pattern.rfind('/');
  std::string dir = slash == std::string::npos ? "." : pattern.substr(0, slash);
  if (slash == 0) dir = "/";
  std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  if (mask.empty()) return nullptr;
  std::string prefix = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);

  auto state = std::make_unique<FindState>();
  bool wild = mask.find_first_of("*?") != std::string::npos;
  struct stat st;
  if (!wild && ::lstat(pattern.c_str(), &st) == 0) {
    // The exact name is there: no need to read a large folder.
    state->entries.push_back({AttributesOf(-1, pattern, mask), mask});
  } else {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return nullptr;
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (MatchMask(mask, name)) names.push_back(name);
    }
    // A stable order makes every run of a merge the same; "." and ".."
    // come first as Windows reports them.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      bool da = a == "." || a == "..", db = b == "." || b == "..";
      if (da != db) return da;
      return a < b;
    });
    for (const std::string& name : names)
      state->entries.push_back({AttributesOf(::dirfd(d), prefix + name, name), name});
    ::closedir(d);
  }
  if (state->entries.empty()) return nullptr;
  data = state->entries[0];
  state->next = 1;
  return state.release();
}

bool FindNext(FindHandle h, FindData& data) {
  FindState* state = h;
  if (!state || state->next >= state->entries.size()) return false;
  data = state->entries[state->next++];
  return true;
}

void FindClose(FindHandle h) { delete h; }

// Writes are gathered here and handed to the system in large pieces: the
// program writes downloads 1 KiB at a time, and a system call per KiB
// would cost more than the transfer itself.
struct FileState {
  int fd;
  std::string pending;
};

namespace {

constexpr size_t kWriteGather = 64 * 1024;

int32_t Flush(FileState* f) {
  int32_t err = WriteAll(f->fd, f->pending.data(), f->pending.size());
  f->pending.clear();
  return err;
}

int32_t OpenFile(const std::string& path, int flags, FileHandle& out, mode_t mode = 0666) {
  out = nullptr;
  // Non-blocking only while opening: a FIFO in the way must not stall the
  // run, and only regular files are the files the program means.
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return ErrnoToCode(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return kErrAccessDenied;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  out = new FileState{fd, std::string()};
  return 0;
}

}  // namespace

int32_t FileOpenRead(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_RDONLY, out);
}

int32_t FileCreateShared(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_RDWR | O_CREAT | O_TRUNC, out);
}

int32_t FileOpenAppend(const std::string& path, FileHandle& out, uint64_t& size) {
  size = 0;
  if (int32_t err = OpenFile(path, O_RDWR, out)) return err;
  const off_t end = ::lseek(out->fd, 0, SEEK_END);
  if (end < 0) {
    const int32_t err = ErrnoToCode(errno);
    FileClose(out);
    out = nullptr;
    return err;
  }
  size = static_cast<uint64_t>(end);
  return 0;
}

int32_t FileCreateExclusive(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_RDWR | O_CREAT | O_TRUNC, out);
}

int32_t FileCreatePrivate(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, out, 0600);
}

int32_t FileRead(FileHandle h, void* buf, uint32_t size, uint32_t& got) {
  FileState* f = h;
  got = 0;
  if (int32_t err = Flush(f)) return err;
  for (;;) {
    ssize_t n = ::read(f->fd, buf, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoToCode(errno);
    got = static_cast<uint32_t>(n);
    return 0;
  }
}

int32_t FileWrite(FileHandle h, const void* buf, uint32_t size, uint32_t& written) {
  FileState* f = h;
  written = 0;
  const char* p = static_cast<const char*>(buf);
  if (f->pending.size() + size <= kWriteGather) {
    f->pending.append(p, size);
    written = size;
    return 0;
  }
  if (int32_t err = Flush(f)) return err;
  if (int32_t err = WriteAll(f->fd, p, size)) return err;
  written = size;
  return 0;
}

int32_t FileSync(FileHandle h) {
  int32_t err = Flush(h);
  if (err == 0 && ::fsync(h->fd) != 0) err = ErrnoToCode(errno);
  return err;
}

int32_t FileClose(FileHandle h) {
  FileState* f = h;
  if (!f) return 0;
  int32_t err = Flush(f);
  if (::close(f->fd) != 0 && err == 0) err = ErrnoToCode(errno);
  delete f;
  return err;
}

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists) {
  int in = OpenRegular(from);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0) {
    ::close(in);
    return false;
  }
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
  int out = ::open(to.c_str(), flags, st.st_mode & 0777);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (WriteAll(out, buf, static_cast<size_t>(n)) != 0) {
      ok = false;
      break;
    }
  }
  if (::close(out) != 0) ok = false;
  ::close(in);
  if (!ok) ::unlink(to.c_str());
  return ok;
}

int32_t FileRename(const std::string& from, const std::string& to, bool replace) {
  struct stat st;
  if (replace) {
    // Replacing applies to files only: rename() refuses to put a file over
    // a folder (EISDIR), as Windows does. A folder moved over an empty
    // folder would succeed on Linux, so that case is refused here.
    if (::lstat(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::lstat(to.c_str(), &st) == 0)
      return kErrAccessDenied;
  } else if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  } else if (errno != EINVAL && errno != ENOSYS) {
    return RenameErrorCode(errno);
  } else if (::lstat(to.c_str(), &st) == 0) {
    return 80;  // ERROR_FILE_EXISTS
  }
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : RenameErrorCode(errno);
}

bool FileMove(const std::string& from, const std::string& to) {
  return FileRename(from, to, false) == 0;
}

bool FileMoveReplace(const std::string& from, const std::string& to) {
  return FileRename(from, to, true) == 0;
}

bool IsTransientFileError(int32_t code) {
  return code == kErrSharingViolation || code == kErrLockViolation;
}

int32_t FileProbeReplaceable(const std::string& path) {
  size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  // Root passes every permission check, but not an immutable folder.
  if (::access(folder.c_str(), W_OK) != 0) return ErrnoToCode(errno);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return ErrnoToCode(errno);
  if (!S_ISREG(st.st_mode)) return 0;  // a link is renamed as itself
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return ErrnoToCode(errno);
  int flags = 0;
  const bool known = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  ::close(fd);
  if (known && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) return kErrAccessDenied;
  return 0;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t mode = readOnly ? (st.st_mode & ~S_IWUSR) : (st.st_mode | S_IWUSR);
  return ::chmod(path.c_str(), mode & 07777) == 0;
}

bool SyncTree(const std::string& folder) { return SyncVolume(folder); }

bool SyncVolume(const std::string& path) {
  // One syncfs writes out every file and name of the file system, far
  // cheaper than an fsync of each of thousands of files.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool done = ::syncfs(fd) == 0;
  ::close(fd);
  return done;
}

bool FileDelete(const std::string& path) { return ::unlink(path.c_str()) == 0; }
bool DirCreate(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }
bool DirRemove(const std::string& path) { return ::rmdir(path.c_str()) == 0; }
bool SetCurrentDir(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::string VerbatimPath(const std::string& path) { return path; }

std::string TempPath() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string UserStateFolder() {
  // As XDG has it: a relative XDG_STATE_HOME counts as unset.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/pelmatic/";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.local/state/pelmatic/";
  return std::string();
}

std::string FullPath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return path;
  return std::string(buf) + "/" + path;
}

bool FileVersion(const std::string& path, uint32_t& versionMS, uint32_t& versionLS) {
  int fd = OpenRegular(path);
  if (fd < 0) return false;
  struct stat st;
  // Executables are small; anything huge is not worth reading to find out.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (256 << 20)) {
    ::close(fd);
    return false;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return FindFixedFileVersion(bytes.data(), got, versionMS, versionLS);
}

// ---- configuration ---------------------------------------------------------

std::string ProfileString(const std::string& section, const std::string& key,
                          const std::string& defaultValue, const std::string& file) {
  std::string text, value;
  if (!ReadWholeFile(file, text)) return defaultValue;
  return IniLookup(text, section, key, value) ? value : defaultValue;
}

PolicyValue ReadPolicyValue(const std::string& product, const std::string& name) {
  const char* named = std::getenv("PELMATIC_POLICY_FILE");
  std::string text;
  PolicyValue v;
  if (!ReadWholeFile(named && *named ? named : "/etc/pelmatic/policy.ini", text) ||
      !IniLookup(text, product, name, v.text))
    return v;
  const bool digits = !v.text.empty() && v.text.size() <= 10 &&
                      v.text.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long long number = digits ? std::strtoull(v.text.c_str(), nullptr, 10) : 0;
  if (digits && number <= 0xFFFFFFFFull) {
    v.type = PolicyType::kNumber;
    v.number = static_cast<uint32_t>(number);
  } else {
    v.type = PolicyType::kText;
  }
  return v;
}

}  // namespace os
