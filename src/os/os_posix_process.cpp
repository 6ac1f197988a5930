// The POSIX build's processes: the running program, the clock, starting
// detached programs and batch files, and the process list from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "os/batch.h"
#include "os/cmdline.h"
#include "os/os.h"
#include "os/os_posix.h"

namespace os {

std::string ExePath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string Argument(int index) {
  std::string cmdline;
  if (!ReadWholeFile("/proc/self/cmdline", cmdline)) return std::string();
  size_t begin = 0;
  for (int n = 0; n < index; ++n) {
    begin = cmdline.find('\0', begin);
    if (begin == std::string::npos || begin + 1 >= cmdline.size()) return std::string();
    ++begin;
  }
  size_t end = cmdline.find('\0', begin);
  return cmdline.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::vector<std::string> ConsoleArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

Utf8Console::Utf8Console() {}
Utf8Console::~Utf8Console() {}

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

int64_t UnixTimeUtc() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

uint64_t MonotonicMs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void ExitProcess(int code) {
  StopProgress();
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(code);
}

int ExitCodeFor(int32_t code) {
  if (code < 0) return code & 0xFF;
  return code > 125 ? 125 : code;
}

Elevation RunElevated(const std::string& parameters, int32_t& exitCode) {
  const std::string exe = ExePath();
  std::string line = "[elevate] " + exe + " " + parameters + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  const std::string pkexec = FindOnPath("pkexec");
  if (pkexec.empty() || exe.empty()) return Elevation::kUnavailable;
  // The parameters are parsed as the copy's own command line would be.
  std::vector<std::string> args = ArgumentsOf("x " + parameters);
  args[0] = exe;
  args.insert(args.begin(), pkexec);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::fflush(stdout);
  // Ctrl-C reaches the copy too, which takes it as Cancel; this run waits
  // for the copy's answer rather than ending first.
  struct sigaction ignore = {}, before = {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGINT, &ignore, &before);
  const pid_t child = ::fork();
  if (child == 0) {
    ::sigaction(SIGINT, &before, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  pid_t waited = -1;
  if (child > 0)
    while ((waited = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
  ::sigaction(SIGINT, &before, nullptr);
  if (child < 0 || waited != child) return Elevation::kUnavailable;
  if (!WIFEXITED(status)) {
    exitCode = INT32_MIN;
    return Elevation::kDone;
  }
  const int code = WEXITSTATUS(status);
  // pkexec's own: the prompt was dismissed (126) or the user may not (127).
  if (code == 126 || code == 127) return Elevation::kDeclined;
  exitCode = code >= 128 ? code - 256 : code;
  return Elevation::kDone;
}

bool RunProgramAndWait(const std::string& path, const std::string& arguments, int32_t& exitCode) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || ::chmod(path.c_str(), st.st_mode | S_IXUSR) != 0)
    return false;
  std::vector<std::string> args = ArgumentsOf("x " + arguments);
  args[0] = path;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  // The child tells through the pipe, closed on its exec, whether it started.
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipefd[0]);
    ::execv(argv[0], argv.data());
    const int err = errno;
    (void)!::write(pipefd[1], &err, sizeof err);
    ::_exit(127);
  }
  ::close(pipefd[1]);
  int err = 0;
  ssize_t n = 0;
  if (child > 0)
    while ((n = ::read(pipefd[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
  ::close(pipefd[0]);
  if (child < 0) return false;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (n > 0) return false;  // the exec failed
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : INT32_MIN;
  return true;
}

void WriteStandardOutput(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Texts are bytes here, UTF-8 being the usual.
std::string SystemCodePageToUtf8(const std::string& bytes) { return bytes; }

std::string MachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    FILE* f = std::fopen(path, "rb");
    if (!f) continue;
    char line[256];
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read) continue;
    std::string id(line);
    const size_t begin = id.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) continue;
    id = id.substr(begin, id.find_last_not_of(" \t\r\n") - begin + 1);
    if (!id.empty()) return id;
  }
  return std::string();
}

// ---- starting programs -------------------------------------------------------

bool SpawnDetached(const std::vector<std::string>& args, const std::string& dir) {
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  if (ForkDetached(child)) {
    // The grandchild tells a failed start through the pipe, which the
    // successful exec closes unwritten.
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
  if (child < 0) {
    ::close(pipefd[0]);
    return false;
  }
  bool exited = ReapChild(child);
  int err = 0;
  ssize_t n;
  while ((n = ::read(pipefd[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  ::close(pipefd[0]);
  return exited && n == 0;
}

// A batch file runs in the built-in interpreter, in a detached process of
// its own session, so that it outlives this one as the command
// interpreter's process would.
bool RunBatchDetached(const std::string& file, const std::string& dir) {
  std::string text;
  if (!ReadWholeFile(file, text)) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child;
  if (ForkDetached(child)) {
    if (!dir.empty()) (void)!::chdir(dir.c_str());
    RunBatchScript(text);
    ::_exit(0);
  }
  if (child < 0) return false;
  ReapChild(child);
  return true;
}

// ---- the process list --------------------------------------------------------

namespace {

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
  // Without an image there is no program: a kernel thread, or a process
  // that is ending and has let go of its memory. Wine's programs pass
  // through that state with their Windows names as comm, and would be
  // taken for another copy of this one. Only a link we may not read (a
  // process of another user) leaves the name to comm.
  if (errno != EACCES && errno != EPERM) return std::string();
  std::string comm;
  if (!ReadWholeFile(base + "/comm", comm)) return std::string();
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

}  // namespace

bool RunningProcesses(std::vector<std::pair<pid_t, std::string>>& processes) {
  processes.clear();
  DIR* d = ::opendir("/proc");
  if (!d) return false;
  while (struct dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*e->d_name == '\0' || *end != '\0' || pid <= 0) continue;
    std::string name = ImageNameOf(static_cast<pid_t>(pid));
    if (!name.empty()) processes.emplace_back(static_cast<pid_t>(pid), name);
  }
  ::closedir(d);
  std::sort(processes.begin(), processes.end());
  return true;
}

struct SnapshotState {
  std::vector<std::pair<pid_t, std::string>> processes;
  size_t next = 0;
};

SnapshotHandle ProcessSnapshot() {
  auto snap = std::make_unique<SnapshotState>();
  if (!RunningProcesses(snap->processes)) return nullptr;
  return snap.release();
}

bool ProcessFirst(SnapshotHandle h, std::string& imageName) {
  h->next = 0;
  return ProcessNext(h, imageName);
}

bool ProcessNext(SnapshotHandle h, std::string& imageName) {
  if (h->next >= h->processes.size()) return false;
  imageName = h->processes[h->next++].second;
  return true;
}

uint32_t ProcessId(SnapshotHandle h) {
  return h->next == 0 ? 0 : static_cast<uint32_t>(h->processes[h->next - 1].first);
}

void SnapshotClose(SnapshotHandle h) { delete h; }

}  // namespace os
