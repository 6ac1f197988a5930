#include "core/errors.h"

#include <cstdio>

#include "os/os.h"

std::string InOutErrorMessage(int32_t code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
    case 106: return "Invalid numeric input";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "I/O error %d", static_cast<int>(code));
      return buf;
    }
  }
}

EInOutError::EInOutError(int32_t code, uintptr_t address)
    : EPelmaticError(InOutErrorMessage(code), address), ErrorCode(code) {}

__attribute__((noinline)) void RaiseInOutError(int32_t code) {
  // A write that stored less than it was given is reported as a full disk,
  // whatever the platform called it.
  if (code == os::kErrDiskFull) code = 101;
  throw EInOutError(code, PELMATIC_CALLER_ADDRESS());
}

std::string UnhandledErrorText(const std::string& kind, const std::string& module,
                               uintptr_t address, const std::string& message) {
  char addr[16];
  std::snprintf(addr, sizeof addr, "%08X", static_cast<unsigned>(address & 0xFFFFFFFFu));
  std::string text = "Exception " + kind + " in module " + module + " at " + addr + ".\n" + message;
  if (text.empty() || text.back() != '.') text += '.';
  return text;
}
