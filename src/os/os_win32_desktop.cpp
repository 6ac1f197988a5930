// The desktop of the Windows build: message boxes, the status window, the
// shell, and close requests to other programs' windows.
#include <windows.h>
#include <shellapi.h>

#include "os/os.h"

namespace os {

static_assert(kWmClose == WM_CLOSE && kSwHide == SW_HIDE && kSwShowNormal == SW_SHOWNORMAL &&
                  kSmCxFullScreen == SM_CXFULLSCREEN && kSmCyFullScreen == SM_CYFULLSCREEN,
              "the layer's names are the Windows values");
static_assert(kMbOkCancel == MB_OKCANCEL && kMbYesNoCancel == MB_YESNOCANCEL &&
                  kMbIconError == MB_ICONERROR && kMbIconQuestion == MB_ICONQUESTION &&
                  kMbSystemModal == MB_SYSTEMMODAL && kMbTaskModal == MB_TASKMODAL &&
                  kMbTopmost == MB_TOPMOST,
              "the layer's names are the Windows values");

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags);
}

int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

WindowHandle CreateStatusWindow(const std::string& text, uint32_t style, int x, int y, int width,
                                int height) {
  HWND w = ::CreateWindowExA(0, "STATIC", text.c_str(), style, x, y, width, height, nullptr,
                             nullptr, ::GetModuleHandleA(nullptr), nullptr);
  if (!w) return nullptr;
  ::ShowWindow(w, kSwShowNormal);
  ::UpdateWindow(w);
  return reinterpret_cast<WindowHandle>(w);
}

void DestroyWindow(WindowHandle h) { ::DestroyWindow(reinterpret_cast<HWND>(h)); }

intptr_t ShellOpen(const std::string& file, const std::string& params, const std::string& dir,
                   int showCommand) {
  HINSTANCE r =
      ::ShellExecuteA(nullptr, nullptr, file.c_str(), params.empty() ? nullptr : params.c_str(),
                      dir.empty() ? nullptr : dir.c_str(), showCommand);
  return reinterpret_cast<intptr_t>(r);
}

WindowHandle FindTopWindow(const std::string& title) {
  return reinterpret_cast<WindowHandle>(::FindWindowA(nullptr, title.c_str()));
}

void PostCloseMessage(WindowHandle h) { ::PostMessageA(reinterpret_cast<HWND>(h), kWmClose, 0, 0); }

}  // namespace os
