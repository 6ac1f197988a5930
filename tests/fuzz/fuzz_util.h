// Shared helpers of the fuzz targets: a scratch folder for the targets that
// must go through real files, and a loud failure that libFuzzer records as a
// crash with its input.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzutil {

[[noreturn]] inline void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("\n*** fuzz invariant broken: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputs("\n", stderr);
  va_end(args);
  std::abort();
}

// FUZZ_CHECK(cond, printf-style message...)
#define FUZZ_CHECK(cond, ...)                   \
  do {                                          \
    if (!(cond)) ::fuzzutil::Fail(__VA_ARGS__); \
  } while (0)

// Every run writes at least one file, so a RAM-backed folder keeps the
// rate of executions up. PELMATIC_FUZZ_TMP wins so that run.sh can put
// everything in a folder it removes afterwards, even after a crash.
inline std::string ScratchBase() {
  const char* forced = std::getenv("PELMATIC_FUZZ_TMP");
  if (forced && *forced) return forced;
  struct stat st;
  if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

inline int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

// Removes a folder and everything below it without following links.
inline bool RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return ::nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

// The names in a folder, "." and ".." left out.
inline std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = ::opendir(path.c_str());
  if (!d) Fail("cannot list %s: %s", path.c_str(), std::strerror(errno));
  while (struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  ::closedir(d);
  return names;
}

// A fresh private folder under the scratch base, removed when the process
// ends normally. The path ends with '/'.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag) {
    std::string pattern = ScratchBase() + "/pelmatic-fuzz-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) Fail("mkdtemp %s: %s", pattern.c_str(), std::strerror(errno));
    path_ = std::string(buf.data()) + "/";
  }
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

inline void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) Fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
  if (size && std::fwrite(data, 1, size, f) != size) Fail("short write to %s", path.c_str());
  if (std::fclose(f) != 0) Fail("cannot close %s: %s", path.c_str(), std::strerror(errno));
}

inline std::string Printable(const std::string& s, size_t limit = 200) {
  std::string out;
  for (size_t i = 0; i < s.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (s.size() > limit) out += "...";
  return out;
}

}  // namespace fuzzutil
