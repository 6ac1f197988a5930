#include "platform/desktop.h"

#include <new>
#include <vector>

#include "os/os.h"
#include "platform/names.h"

const char* const kNoticeCaption = "PelMatic 2.000 - automatic version checker";

void ShowNotice(const std::string& text) {
  os::ShowMessageBox(text + "    ", kNoticeCaption,
                     os::kMbOk | os::kMbIconQuestion | os::kMbSystemModal | os::kMbTopmost);
}

bool LaunchTarget(const std::string& target) {
  return os::ShellOpen(target, "", "", os::kSwShowNormal) > os::kShellLastError;
}

std::string GetTempFolder() { return os::TempPath(); }

// Image names of all running processes in snapshot order; an allocation
// failure part way keeps what was collected until then.
static bool CollectProcessNames(std::vector<std::string>& names) {
  os::UniqueSnapshot snap(os::ProcessSnapshot());
  if (!snap) return false;
  try {
    std::string name;
    for (bool more = os::ProcessFirst(snap.Get(), name); more;
         more = os::ProcessNext(snap.Get(), name))
      names.push_back(name);
  } catch (const std::bad_alloc&) {
  }
  return true;
}

int32_t CountProcesses(const std::string& imageName) {
  std::vector<std::string> names;
  if (!CollectProcessNames(names)) return 0;
  const std::string wanted = UpperCase(imageName);
  int32_t count = 0;
  for (const std::string& n : names)
    if (UpperCase(n) == wanted) ++count;
  return count;
}

bool IsAppRunning(const std::string& nameOrPath) {
  std::vector<std::string> names;
  if (!CollectProcessNames(names)) return false;
  const std::string wanted = UpperCase(nameOrPath);
  bool found = false;
  for (const std::string& n : names) {
    std::string upper = UpperCase(n);
    if (UpperCase(ExtractFileName(n)) == wanted || upper == wanted) found = true;
  }
  return found;
}

void CloseAppWindow(const std::string& title) {
  os::WindowHandle w = os::FindTopWindow(title);
  if (w) os::PostCloseMessage(w);
}
