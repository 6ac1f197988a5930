// Helpers that several POSIX files of the OS layer use.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "os/os.h"
#include "os/os_posix.h"

namespace os {

int32_t ErrnoToCode(int e) {
  switch (e) {
    case ENOENT: return kErrFileNotFound;
    case EEXIST: return kErrFileExists;
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

int OpenRegular(const std::string& path) {
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

bool ReadWholeFile(const std::string& path, std::string& out) {
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

int32_t WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
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

bool ForkDetached(pid_t& child) {
  child = ::fork();
  if (child != 0) return false;
  ::setsid();
  pid_t grandchild = ::fork();
  if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
  }
  return true;
}

bool ReapChild(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

}  // namespace os
