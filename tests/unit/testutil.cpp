#include "testutil.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testutil {

static int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::string base = os::TempPath();
  for (;;) {
    std::string candidate =
        base + "pelmatic-test-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++);
    if (os::DirCreate(candidate)) {
      path_ = candidate + os::kPathSep;
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

void ResetRunStateIn(const TempDir& appDir) {
  ResetRunState();
  gRun.AppDir = appDir.Path();
  gRun.IniPath = appDir / "pelmatic.ini";
  gRun.LocalMode = true;
}

bool PyZip(const std::string& path, const std::string& entries) {
  const std::string script = path + ".py.txt";
  WriteFile(script, "import zipfile, stat\nz = zipfile.ZipFile(r'" + path +
                        "', 'w', zipfile.ZIP_DEFLATED)\n" + entries + "\nz.close()\n");
  bool made = std::system(("python3 '" + script + "'").c_str()) == 0;
  os::FileDelete(script);
  return made;
}

// Paths are UTF-8, as the program's own: on Windows the stream opens the
// wide name.
void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(fs::u8path(path), std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(fs::u8path(path), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::u8path(path), ec);
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(fs::u8path(path), ec);
}

std::map<std::string, std::string> Tree(const std::string& folder) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  const fs::path root = fs::u8path(folder);
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string name = it->path().lexically_relative(root).generic_u8string();
    if (it->is_directory(ec)) {
      tree[name] = "<dir>";
    } else {
      const bool readOnly =
          (fs::status(it->path(), ec).permissions() & fs::perms::owner_write) == fs::perms::none;
      tree[name] = ReadFile(it->path().u8string()) + (readOnly ? " (read-only)" : "");
    }
  }
  return tree;
}

static std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string ServerUrl() { return Env("PELMATIC_TEST_SERVER_URL"); }
std::string ServerRoot() { return Env("PELMATIC_TEST_SERVER_ROOT"); }

std::vector<std::string> ServerRequests() {
  // Each line is the server's JSON record of one request; its "path" is
  // written by json.dumps, which escapes nothing a test path holds.
  std::vector<std::string> paths;
  std::istringstream lines(ReadFile(Env("PELMATIC_TEST_SERVER_LOG")));
  const std::string key = "\"path\": \"";
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(key);
    if (at == std::string::npos) continue;
    at += key.size();
    paths.push_back(line.substr(at, line.find('"', at) - at));
  }
  return paths;
}

void SetServerFaults(const std::string& json) {
  std::string path = Env("PELMATIC_TEST_SERVER_FAULTS");
  std::string tmp = path + ".tmp";
  WriteFile(tmp, json);
  os::FileMoveReplace(tmp, path);
}

}  // namespace testutil
