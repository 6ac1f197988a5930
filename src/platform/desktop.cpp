#include "platform/desktop.h"

#include <new>
#include <vector>

#include "core/runstate.h"
#include "os/os.h"
#include "platform/names.h"

const char* const kNoticeCaption = "PelMatic 2.000 - automatic version checker";

void ShowNotice(const std::string& text) {
  if (gRun.Unattended) return;  // nobody is there to read it
  os::ShowMessageBox(text + "    ", kNoticeCaption,
                     os::kMbOk | os::kMbIconQuestion | os::kMbSystemModal | os::kMbTopmost);
}

bool LaunchTarget(const std::string& target) {
  return os::ShellOpen(target, "", "", os::kSwShowNormal) > os::kShellLastError;
}

std::string GetTempFolder() { return os::TempPath(); }

namespace {

struct ProcessEntry {
  std::string name;
  uint32_t pid;
};

// All running processes in snapshot order; an allocation failure part way
// keeps what was collected until then.
bool CollectProcesses(std::vector<ProcessEntry>& processes) {
  os::UniqueSnapshot snap(os::ProcessSnapshot());
  if (!snap) return false;
  try {
    std::string name;
    for (bool more = os::ProcessFirst(snap.Get(), name); more;
         more = os::ProcessNext(snap.Get(), name))
      processes.push_back({name, os::ProcessId(snap.Get())});
  } catch (const std::bad_alloc&) {
  }
  return true;
}

// The processes whose image name, or its file-name part, equals
// nameOrPath, letter case ignored.
std::vector<uint32_t> AppProcesses(const std::string& nameOrPath) {
  std::vector<ProcessEntry> processes;
  std::vector<uint32_t> found;
  if (!CollectProcesses(processes)) return found;
  const std::string wanted = UpperCase(nameOrPath);
  for (const ProcessEntry& p : processes)
    if (UpperCase(ExtractFileName(p.name)) == wanted || UpperCase(p.name) == wanted)
      found.push_back(p.pid);
  return found;
}

}  // namespace

int32_t CountProcesses(const std::string& imageName) {
  std::vector<ProcessEntry> processes;
  if (!CollectProcesses(processes)) return 0;
  const std::string wanted = UpperCase(imageName);
  int32_t count = 0;
  for (const ProcessEntry& p : processes)
    if (UpperCase(p.name) == wanted) ++count;
  return count;
}

bool IsAppRunning(const std::string& nameOrPath) { return !AppProcesses(nameOrPath).empty(); }

void CloseAppWindow(const std::string& title) {
  os::WindowHandle w = os::FindTopWindow(title);
  if (w) os::PostCloseMessage(w);
}

void CloseAppProcesses(const std::string& nameOrPath) {
  for (uint32_t pid : AppProcesses(nameOrPath)) os::PostCloseToProcess(pid);
}

bool WaitForAppToEnd(const std::string& nameOrPath, uint32_t ms) {
  const uint64_t until = os::MonotonicMs() + ms;
  for (;;) {
    if (!IsAppRunning(nameOrPath)) return true;
    if (os::MonotonicMs() >= until) return false;
    os::Sleep(100);
  }
}
