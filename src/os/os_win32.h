// What the Windows files of the OS layer share: the waits of the thread
// that owns the windows, which handle its messages while they wait, and
// the conversions at the layer's edge: UTF-8 inside, the W calls outside.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace os {

// A UTF-8 string as a W call takes it. A name that is no UTF-8 converts to
// nothing and ok() is false: the call is not made and fails with
// ERROR_INVALID_NAME, rather than name another file. Texts that are only
// shown are converted leniently.
class Wide {
 public:
  Wide() : text_(1, L'\0') {}
  explicit Wide(const std::string& utf8, bool lenient = false);
  bool ok() const { return ok_; }
  const wchar_t* c_str() const { return text_.data(); }
  // Null for an empty text, for the parameters that take null for none.
  const wchar_t* OrNull() const { return size() ? c_str() : nullptr; }
  // In code units, without the terminating zero.
  size_t size() const { return text_.size() - 1; }

 private:
  // A vector, not a wide string: the library's wide strings would bring
  // their every member into the program.
  std::vector<wchar_t> text_;
  bool ok_ = true;
};
constexpr DWORD kErrInvalidName = ERROR_INVALID_NAME;

// What a W call gave, as UTF-8: size code units, or up to the first zero.
std::string Narrow(const wchar_t* text, size_t size);
std::string Narrow(const wchar_t* text);

// Dispatches every message waiting for this thread.
void PumpMessages();
// Waits for handle (none: just the time) at most ms, handling messages
// meanwhile; true when the handle was signalled. With endOnCancel it also
// ends once the user asked for Cancel.
bool WaitHandleOrMessages(HANDLE handle, DWORD ms, bool endOnCancel = false);

}  // namespace os
