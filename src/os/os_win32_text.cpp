// The edge between the program's UTF-8 and the UTF-16 of the W calls, and
// the system code page that stored texts may be in.
#include <windows.h>

#include "os/os.h"
#include "os/os_win32.h"
#include "os/utf16.h"

namespace os {

static_assert(sizeof(wchar_t) == sizeof(uint16_t), "Windows' wide characters are UTF-16 units");

Wide::Wide(const std::string& utf8, bool lenient) {
  const size_t n = Utf8ToUtf16(utf8.data(), utf8.size(), nullptr, lenient);
  ok_ = n != kNotUtf8;
  text_.assign(ok_ ? n + 1 : 1, L'\0');
  if (!ok_) return;
  Utf8ToUtf16(utf8.data(), utf8.size(), reinterpret_cast<uint16_t*>(text_.data()), lenient);
  // A zero inside would cut the name short: the rest would name nothing.
  for (size_t i = 0; !lenient && i < n; ++i)
    if (text_[i] == L'\0') {
      text_.assign(1, L'\0');
      ok_ = false;
    }
}

std::string Narrow(const wchar_t* text, size_t size) {
  std::string out;
  out.reserve(size);
  AppendUtf16AsUtf8(reinterpret_cast<const uint16_t*>(text), size, out);
  return out;
}

std::string Narrow(const wchar_t* text) {
  return text ? Narrow(text, wcslen(text)) : std::string();
}

std::string SystemCodePageToUtf8(const std::string& bytes) {
  if (bytes.empty()) return bytes;
  const int size = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
  if (n <= 0) return CleanUtf8(bytes);
  std::vector<wchar_t> wide(static_cast<size_t>(n));
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, wide.data(), n);
  return Narrow(wide.data(), wide.size());
}

}  // namespace os
