// The POSIX build's desktop is the terminal: message boxes on standard
// output answered on standard input, status windows, launches and close
// requests as lines on standard error.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "os/os.h"
#include "os/os_posix.h"

namespace os {

namespace {

// The box on the terminal; with a check box (checked not null) the answer
// line offers it as one more answer, "[S]kip this version".
int TerminalBox(const std::string& text, const std::string& caption, uint32_t flags,
                const std::string& checkText, bool* checked) {
  uint32_t type = flags & kMbTypeMask;
  std::string prompt = type == kMbOkCancel      ? "[O]K / [C]ancel"
                       : type == kMbYesNoCancel ? "[Y]es / [N]o / [C]ancel"
                       : type == kMbRetryCancel ? "[R]etry / [C]ancel"
                                                : "[OK]";
  const char check = checked && !checkText.empty() ? static_cast<char>(checkText[0] | 0x20) : 0;
  if (check) prompt += " / [" + checkText.substr(0, 1) + "]" + checkText.substr(1);
  prompt += type == kMbOk ? " " : " ? ";
  bool hasCancel = type == kMbOkCancel || type == kMbYesNoCancel || type == kMbRetryCancel;
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
    if (i == std::string::npos)
      return type == kMbYesNoCancel ? kIdYes : type == kMbRetryCancel ? kIdRetry : kIdOk;
    char c = static_cast<char>(answer[i] | 0x20);
    if (check && c == check && hasCancel) {
      *checked = true;
      return kIdCancel;
    }
    if (type == kMbYesNoCancel) {
      if (c == 'y') return kIdYes;
      if (c == 'n') return kIdNo;
      if (c == 'c') return kIdCancel;
    } else if (type == kMbRetryCancel) {
      if (c == 'r') return kIdRetry;
      if (c == 'c') return kIdCancel;
    } else if (type == kMbOkCancel) {
      if (c == 'o') return kIdOk;
      if (c == 'c') return kIdCancel;
    } else if (c == 'o') {
      return kIdOk;
    }
    std::fwrite(prompt.data(), 1, prompt.size(), stdout);
    std::fflush(stdout);
  }
}

}  // namespace

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  return TerminalBox(text, caption, flags, std::string(), nullptr);
}

int ShowMessageBoxWithCheck(const std::string& text, const std::string& caption, uint32_t flags,
                            const std::string& checkText, bool& checked) {
  checked = false;
  return TerminalBox(text, caption, flags, checkText, &checked);
}

int GetSystemMetrics(int index) {
  // The terminal has no screen; a common desktop size keeps the arithmetic
  // above this layer meaningful.
  if (index == kSmCxFullScreen) return 1024;
  if (index == kSmCyFullScreen) return 768;
  return 0;
}

namespace {
void AttachProgress(WindowHandle status, void (*tick)());
}  // namespace

WindowHandle CreateStatusWindow(const std::string& text, uint32_t, int, int, int, int,
                                void (*progressTick)()) {
  static intptr_t next = 0;
  std::string line = "[status] " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  WindowHandle h = reinterpret_cast<WindowHandle>(++next);
  if (progressTick) AttachProgress(h, progressTick);
  return h;
}

namespace {

// The terminal desktop's stand-in for an update's status window: a thread
// that ticks every 100 ms, progress lines on standard error, and SIGINT
// for the Cancel button.
struct Progress {
  ~Progress() {
    if (ticker.joinable()) ticker.detach();
  }
  WindowHandle status = nullptr;
  void (*tick)() = nullptr;
  std::thread ticker;
  std::mutex lock;  // the lines below and stopping
  std::condition_variable wake;
  bool stopping = false;
  struct Phase {
    uint64_t lastMs = 0, lastDone = 0;
    bool shown = false, final = false;
  };
  std::map<std::string, Phase> phases;
};
Progress gProgress;

volatile sig_atomic_t gCancelEnabled = 0;
std::atomic<bool> gCancel{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

void OnInterrupt(int) {
  // The first Ctrl-C stops the update as Cancel does; another one, or one
  // that comes when the update can no longer be stopped, ends the program.
  if (gCancelEnabled && !gCancel) {
    gCancel = true;
    return;
  }
  ::signal(SIGINT, SIG_DFL);
  ::raise(SIGINT);
}

void SetInterruptHandler(bool cancel) {
  gCancelEnabled = cancel ? 1 : 0;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = cancel ? OnInterrupt : SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
}

void RunTicker() {
  std::unique_lock<std::mutex> hold(gProgress.lock);
  while (!gProgress.stopping) {
    gProgress.wake.wait_for(hold, std::chrono::milliseconds(100));
    if (gProgress.stopping) break;
    hold.unlock();
    gProgress.tick();
    hold.lock();
  }
}

void AttachProgress(WindowHandle status, void (*tick)()) {
  if (!status || gProgress.status) return;
  gProgress.status = status;
  gProgress.tick = tick;
  gProgress.stopping = false;
  gProgress.phases.clear();
  gCancel = false;
  SetInterruptHandler(true);
  gProgress.ticker = std::thread(RunTicker);
}

}  // namespace

void ShowProgress(WindowHandle status, const ProgressView& view) {
  std::lock_guard<std::mutex> hold(gProgress.lock);
  if (!status || status != gProgress.status) return;
  Progress::Phase& phase = gProgress.phases[view.phase];
  const uint64_t now = MonotonicMs();
  if (phase.final) return;
  if (!view.final &&
      ((phase.shown && now - phase.lastMs < 100) || (phase.shown && view.done == phase.lastDone)))
    return;
  phase.shown = true;
  phase.final = view.final;
  phase.lastMs = now;
  phase.lastDone = view.done;
  const std::string line = "[progress] " + view.phase + " " + std::to_string(view.done) + " " +
                           (view.total ? std::to_string(view.total) : std::string("?")) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void EnableCancel(WindowHandle status, bool enabled) {
  if (status && status == gProgress.status) SetInterruptHandler(enabled);
}

bool CancelRequested() { return gCancel; }

void KeepResponsive() {}

void StopProgress() {
  {
    std::lock_guard<std::mutex> hold(gProgress.lock);
    if (!gProgress.status) return;
    gProgress.stopping = true;
    gProgress.status = nullptr;
  }
  gProgress.wake.notify_all();
  if (gProgress.ticker.joinable()) gProgress.ticker.join();
  SetInterruptHandler(false);
}

void DestroyWindow(WindowHandle h) {
  if (!h) return;
  if (h == gProgress.status) StopProgress();
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
  if (!url && !exists) return kShellFileNotFound;
  if (exists && S_ISREG(st.st_mode) && HasBatchExtension(file))
    return RunBatchDetached(file, dir) ? kShellStarted : kShellFileNotFound;
  std::vector<std::string> args;
  if (exists && S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH))) {
    args.push_back(file);
  } else {
    std::string opener = FindOnPath("xdg-open");
    if (opener.empty()) return kShellNoAssociation;
    args = {opener, file};
  }
  if (!params.empty()) args.push_back(params);
  return SpawnDetached(args, dir) ? kShellStarted : kShellFileNotFound;
}

WindowHandle FindTopWindow(const std::string& title) {
  std::string line = "[close] " + title + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  auto same = [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
  };
  // The "window" of the terminal desktop is the process itself.
  std::vector<std::pair<pid_t, std::string>> processes;
  if (!RunningProcesses(processes)) return nullptr;
  for (const auto& p : processes) {
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

void PostCloseToProcess(uint32_t pid) {
  if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGTERM);
}

}  // namespace os
