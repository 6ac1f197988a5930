#include "core/errors.h"

#include "os/os.h"

namespace {
std::string HexDigits(uint64_t value, int count) {
  std::string digits(static_cast<size_t>(count), '0');
  for (int i = count - 1; i >= 0; --i, value >>= 4) digits[i] = "0123456789ABCDEF"[value & 0xF];
  return digits;
}
}  // namespace

std::string HexWord(uint32_t value) { return HexDigits(value, 8); }

std::string HexAddress(uintptr_t address) {
  return HexDigits(address, static_cast<int>(2 * sizeof address));
}

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
      return "I/O error " + std::to_string(code);
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
  std::string text =
      "Exception " + kind + " in module " + module + " at " + HexAddress(address) + ".\n" + message;
  if (text.empty() || text.back() != '.') text += '.';
  return text;
}
