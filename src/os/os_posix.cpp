// The OS layer of the POSIX build: Linux stands in for the Windows desktop
// and system services, keeping Windows semantics at the interface.
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "os/batch.h"
#include "os/ini.h"
#include "os/peversion.h"
#include "os/wildcard.h"
#include "os/os.h"

namespace os {

bool IsPathDelimiter(char c) { return c == '/'; }

static int32_t ErrnoToCode(int e) {
  switch (e) {
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR:
    case EINVAL:
    case ENAMETOOLONG: return kErrPathNotFound;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case EBUSY: return kErrAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    default: return 1117;  // ERROR_IO_DEVICE
  }
}

// Opens a regular file for reading. Opening a FIFO would wait for a writer
// for ever, and no Windows file behaves like that, so anything but a
// regular file is refused (EACCES).
static int OpenRegular(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

static bool ReadWholeFile(const std::string& path, std::string& out) {
  int fd = OpenRegular(path);
  if (fd < 0) return false;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

// ---- process and start-up --------------------------------------------------

std::string ExePath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string FirstArgument() {
  std::string cmdline;
  if (!ReadWholeFile("/proc/self/cmdline", cmdline)) return std::string();
  size_t first = cmdline.find('\0');
  if (first == std::string::npos || first + 1 >= cmdline.size()) return std::string();
  size_t end = cmdline.find('\0', first + 1);
  return cmdline.substr(first + 1, end == std::string::npos ? std::string::npos : end - first - 1);
}

void ComInitialize() {}
void ComUninitialize() {}

void Sleep(uint32_t ms) {
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

SystemTime GetSystemTimeUtc() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  long long ms = static_cast<long long>(ts.tv_sec % 86400) * 1000 + ts.tv_nsec / 1000000;
  return {static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
          static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
}

void ExitProcess(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(code);
}

// ---- files and folders ----------------------------------------------------

namespace {

struct FindState {
  std::vector<FindData> entries;
  size_t next = 0;
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

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
  auto* state = static_cast<FindState*>(h);
  if (!state || state->next >= state->entries.size()) return false;
  data = state->entries[state->next++];
  return true;
}

void FindClose(FindHandle h) { delete static_cast<FindState*>(h); }

namespace {

// Writes are gathered here and handed to the system in large pieces: the
// program writes downloads 1 KiB at a time, and a system call per KiB
// would cost more than the transfer itself.
struct File {
  int fd;
  std::string pending;
};
constexpr size_t kWriteGather = 64 * 1024;

int32_t WriteAll(int fd, const char* p, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoToCode(errno);
    if (n == 0) return kErrDiskFull;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int32_t Flush(File* f) {
  int32_t err = WriteAll(f->fd, f->pending.data(), f->pending.size());
  f->pending.clear();
  return err;
}

int32_t OpenFile(const std::string& path, int flags, FileHandle& out) {
  out = nullptr;
  // Non-blocking only while opening: a FIFO in the way must not stall the
  // run, and only regular files are the files the program means.
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return ErrnoToCode(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return kErrAccessDenied;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  out = new File{fd, std::string()};
  return 0;
}

}  // namespace

int32_t FileOpenRead(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_RDONLY, out);
}

int32_t FileCreateShared(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_RDWR | O_CREAT | O_TRUNC, out);
}

int32_t FileCreateExclusive(const std::string& path, FileHandle& out) {
  return OpenFile(path, O_RDWR | O_CREAT | O_TRUNC, out);
}

int32_t FileRead(FileHandle h, void* buf, uint32_t size, uint32_t& got) {
  File* f = static_cast<File*>(h);
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
  File* f = static_cast<File*>(h);
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

int32_t FileClose(FileHandle h) {
  File* f = static_cast<File*>(h);
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
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  if (::close(out) != 0) ok = false;
  ::close(in);
  if (!ok) ::unlink(to.c_str());
  return ok;
}

bool FileMove(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool FileMoveReplace(const std::string& from, const std::string& to) {
  // Replacing applies to files only: rename() refuses to put a file over a
  // folder (EISDIR), as Windows does. A folder moved over an empty folder
  // would succeed on Linux, so that case is refused here.
  struct stat st;
  if (::lstat(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      ::lstat(to.c_str(), &st) == 0)
    return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool FileDelete(const std::string& path) { return ::unlink(path.c_str()) == 0; }
bool DirCreate(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }
bool DirRemove(const std::string& path) { return ::rmdir(path.c_str()) == 0; }
bool SetCurrentDir(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::string TempPath() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
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

// ---- HTTP --------------------------------------------------------------------

namespace {

constexpr size_t kBufferLimit = 256 * 1024;  // pause the transfer beyond this

struct Net {
  bool isUrl = false;
  std::string agent;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;
  std::string buffer;
  size_t offset = 0;
  bool paused = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  bool headersDone = false;
  long lastStatus = 0;
  bool lastHasLocation = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Net* n = static_cast<Net*>(user);
  size_t len = size * count;
  if (n->buffer.size() - n->offset >= kBufferLimit) {
    n->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  n->buffer.append(data, len);
  return len;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  Net* n = static_cast<Net*>(user);
  size_t len = size * count;
  std::string line(data, len);
  if (line.compare(0, 5, "HTTP/") == 0) {
    size_t sp = line.find(' ');
    n->lastStatus = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
    n->lastHasLocation = false;
  } else if (strncasecmp(line.c_str(), "location:", 9) == 0) {
    n->lastHasLocation = true;
  } else if (line == "\r\n" || line == "\n") {
    bool followed = n->lastStatus >= 300 && n->lastStatus < 400 && n->lastHasLocation;
    if (n->lastStatus >= 200 && !followed) n->headersDone = true;
  }
  return len;
}

void Pump(Net* n) {
  int running = 0;
  curl_multi_perform(n->multi, &running);
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(n->multi, &left)) {
    if (m->msg == CURLMSG_DONE) {
      n->done = true;
      n->result = m->data.result;
    }
  }
  if (!n->done && running == 0) n->done = true;
}

void Wait(Net* n) {
  if (!n->done) curl_multi_poll(n->multi, nullptr, 0, 1000, nullptr);
}

void FreeNet(Net* n) {
  if (n->multi) {
    if (n->easy) curl_multi_remove_handle(n->multi, n->easy);
    curl_multi_cleanup(n->multi);
  }
  if (n->easy) curl_easy_cleanup(n->easy);
  if (n->headers) curl_slist_free_all(n->headers);
  delete n;
}

}  // namespace

NetHandle NetOpen(const std::string& agent) {
  static bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) return nullptr;
  Net* n = new Net;
  n->agent = agent;
  return n;
}

NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache) {
  Net* s = static_cast<Net*>(session);
  if (!s || s->isUrl) return nullptr;
  Net* n = new Net;
  n->isUrl = true;
  n->easy = curl_easy_init();
  n->multi = curl_multi_init();
  if (!n->easy || !n->multi) {
    FreeNet(n);
    return nullptr;
  }
  CURL* e = n->easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_USERAGENT, s->agent.c_str());
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // Bounded waits: a server that accepts and never answers must not hang
  // an unattended run.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 60L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, n);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, n);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 65536L);
  if (noCache) {
    n->headers = curl_slist_append(n->headers, "Cache-Control: no-cache");
    n->headers = curl_slist_append(n->headers, "Pragma: no-cache");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, n->headers);
  }
  curl_multi_add_handle(n->multi, e);
  for (;;) {
    Pump(n);
    if (n->headersDone || n->done || n->buffer.size() > n->offset) break;
    Wait(n);
  }
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0 || status >= 400 || (n->done && !n->headersDone && n->result != CURLE_OK)) {
    FreeNet(n);
    return nullptr;
  }
  return n;
}

bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got) {
  got = 0;
  Net* n = static_cast<Net*>(url);
  if (!n || !n->isUrl) return false;
  while (n->buffer.size() == n->offset && !n->done) {
    Pump(n);
    if (n->buffer.size() == n->offset) Wait(n);
  }
  size_t avail = n->buffer.size() - n->offset;
  if (avail == 0) return n->result == CURLE_OK;
  size_t take = std::min<size_t>(avail, size);
  std::memcpy(buf, n->buffer.data() + n->offset, take);
  n->offset += take;
  got = static_cast<uint32_t>(take);
  // Compact only when the consumed part outweighs the rest, so each byte is
  // moved at most about once whatever the reader's piece size.
  if (n->offset == n->buffer.size()) {
    n->buffer.clear();
    n->offset = 0;
  } else if (n->offset >= 65536 && n->offset >= n->buffer.size() - n->offset) {
    n->buffer.erase(0, n->offset);
    n->offset = 0;
  }
  if (n->paused && n->buffer.size() - n->offset < kBufferLimit / 2) {
    n->paused = false;
    curl_easy_pause(n->easy, CURLPAUSE_CONT);
  }
  return true;
}

uint64_t UrlLength(NetHandle url) {
  Net* n = static_cast<Net*>(url);
  curl_off_t length = -1;
  if (!n || !n->isUrl ||
      curl_easy_getinfo(n->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
    return 0;
  return length > 0 ? static_cast<uint64_t>(length) : 0;
}

void InternetClose(NetHandle h) {
  if (h) FreeNet(static_cast<Net*>(h));
}

// ---- desktop -----------------------------------------------------------------

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  uint32_t type = flags & kMbTypeMask;
  const char* prompt = type == kMbOkCancel      ? "[O]K / [C]ancel ? "
                       : type == kMbYesNoCancel ? "[Y]es / [N]o / [C]ancel ? "
                                                : "[OK] ";
  bool hasCancel = type == kMbOkCancel || type == kMbYesNoCancel;
  std::string out = "\n== " + caption + " ==\n" + text + "\n" + prompt;
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  for (;;) {
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n = ::getline(&line, &cap, stdin);
    std::string answer = n > 0 ? std::string(line, static_cast<size_t>(n)) : std::string();
    std::free(line);
    if (n <= 0) return hasCancel ? kIdCancel : kIdOk;
    size_t i = answer.find_first_not_of(" \t\r\n");
    if (i == std::string::npos) return type == kMbYesNoCancel ? kIdYes : kIdOk;
    char c = static_cast<char>(answer[i] | 0x20);
    if (type == kMbYesNoCancel) {
      if (c == 'y') return kIdYes;
      if (c == 'n') return kIdNo;
      if (c == 'c') return kIdCancel;
    } else if (type == kMbOkCancel) {
      if (c == 'o') return kIdOk;
      if (c == 'c') return kIdCancel;
    } else if (c == 'o') {
      return kIdOk;
    }
    std::fwrite(prompt, 1, std::strlen(prompt), stdout);
    std::fflush(stdout);
  }
}

int GetSystemMetrics(int index) {
  // The terminal has no screen; a common desktop size keeps the arithmetic
  // above this layer meaningful.
  if (index == 16) return 1024;
  if (index == 17) return 768;
  return 0;
}

WindowHandle CreateStatusWindow(const std::string& text, uint32_t, int, int, int, int) {
  static intptr_t next = 0;
  std::string line = "[status] " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return reinterpret_cast<WindowHandle>(++next);
}

void DestroyWindow(WindowHandle h) {
  if (!h) return;
  std::fputs("[status closed]\n", stderr);
  std::fflush(stderr);
}

namespace {

bool HasUrlScheme(const std::string& s) {
  size_t colon = s.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = s[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string dir = p.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// Starts argv in its own session, detached from this process and its
// terminal; true once the program image was loaded.
bool SpawnDetached(const std::vector<std::string>& args, const std::string& dir) {
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    return false;
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::signal(SIGPIPE, SIG_DFL);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
      int e = errno;
      (void)!::write(pipefd[1], &e, sizeof e);
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    int e = errno;
    (void)!::write(pipefd[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(pipefd[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = ::read(pipefd[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  ::close(pipefd[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

// A batch file runs in the built-in interpreter, in a detached process of
// its own session, so that it outlives this one as the command
// interpreter's process would.
bool RunBatchDetached(const std::string& file, const std::string& dir) {
  std::string text;
  if (!ReadWholeFile(file, text)) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    if (!dir.empty()) (void)!::chdir(dir.c_str());
    RunBatchScript(text);
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

bool HasBatchExtension(const std::string& file) {
  size_t dot = file.rfind('.');
  if (dot == std::string::npos || file.find('/', dot) != std::string::npos) return false;
  std::string ext = file.substr(dot);
  for (char& c : ext) c = static_cast<char>(c | 0x20);
  return ext == ".bat" || ext == ".cmd";
}

}  // namespace

intptr_t ShellOpen(const std::string& file, const std::string& params, const std::string& dir,
                   int) {
  std::string line = "[launch] " + file + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  bool url = HasUrlScheme(file);
  struct stat st;
  bool exists = !url && ::stat(file.c_str(), &st) == 0;
  if (!url && !exists) return 2;  // SE_ERR_FNF
  if (exists && S_ISREG(st.st_mode) && HasBatchExtension(file)) return RunBatchDetached(file, dir) ? 42 : 2;
  std::vector<std::string> args;
  if (exists && S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH))) {
    args.push_back(file);
  } else {
    std::string opener = FindOnPath("xdg-open");
    if (opener.empty()) return 31;  // SE_ERR_NOASSOC
    args = {opener, file};
  }
  if (!params.empty()) args.push_back(params);
  return SpawnDetached(args, dir) ? 42 : 2;
}

namespace {

struct Snapshot {
  std::vector<std::pair<pid_t, std::string>> processes;
  size_t next = 0;
};

std::string ImageNameOf(pid_t pid) {
  std::string base = "/proc/" + std::to_string(pid);
  std::string stat;
  if (!ReadWholeFile(base + "/stat", stat)) return std::string();
  size_t paren = stat.rfind(')');
  // An ended process that was not reaped yet is not running any more.
  if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z')
    return std::string();
  char buf[4096];
  ssize_t n = ::readlink((base + "/exe").c_str(), buf, sizeof buf - 1);
  if (n > 0) {
    std::string target(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() &&
        target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
      target.resize(target.size() - deleted.size());
    return target.substr(target.rfind('/') + 1);
  }
  std::string comm;
  if (!ReadWholeFile(base + "/comm", comm)) return std::string();
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

}  // namespace

SnapshotHandle ProcessSnapshot() {
  DIR* d = ::opendir("/proc");
  if (!d) return nullptr;
  auto snap = std::make_unique<Snapshot>();
  while (struct dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*e->d_name == '\0' || *end != '\0' || pid <= 0) continue;
    std::string name = ImageNameOf(static_cast<pid_t>(pid));
    if (!name.empty()) snap->processes.emplace_back(static_cast<pid_t>(pid), name);
  }
  ::closedir(d);
  std::sort(snap->processes.begin(), snap->processes.end());
  return snap.release();
}

bool ProcessFirst(SnapshotHandle h, std::string& imageName) {
  auto* s = static_cast<Snapshot*>(h);
  s->next = 0;
  return ProcessNext(h, imageName);
}

bool ProcessNext(SnapshotHandle h, std::string& imageName) {
  auto* s = static_cast<Snapshot*>(h);
  if (s->next >= s->processes.size()) return false;
  imageName = s->processes[s->next++].second;
  return true;
}

void SnapshotClose(SnapshotHandle h) { delete static_cast<Snapshot*>(h); }

WindowHandle FindTopWindow(const std::string& title) {
  std::string line = "[close] " + title + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  auto same = [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
  };
  std::unique_ptr<Snapshot> snap(static_cast<Snapshot*>(ProcessSnapshot()));
  if (!snap) return nullptr;
  for (const auto& p : snap->processes) {
    std::string name = p.second;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    if (same(name, title)) return reinterpret_cast<WindowHandle>(static_cast<intptr_t>(p.first));
  }
  return nullptr;
}

void PostCloseMessage(WindowHandle h) {
  if (h) ::kill(static_cast<pid_t>(reinterpret_cast<intptr_t>(h)), SIGTERM);
}

}  // namespace os
