// The desktop of the Windows build: message boxes, the status window, the
// shell, and close requests to other programs' windows.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// commctrl.h names a status bar function so; the layer's own is meant.
#undef CreateStatusWindow

#include <atomic>

#include "os/os.h"
#include "os/os_win32.h"

namespace os {

static_assert(kWmClose == WM_CLOSE && kSwHide == SW_HIDE && kSwShowNormal == SW_SHOWNORMAL &&
                  kSmCxFullScreen == SM_CXFULLSCREEN && kSmCyFullScreen == SM_CYFULLSCREEN,
              "the layer's names are the Windows values");
static_assert(kMbOkCancel == MB_OKCANCEL && kMbYesNoCancel == MB_YESNOCANCEL &&
                  kMbRetryCancel == MB_RETRYCANCEL && kIdRetry == IDRETRY &&
                  kMbIconExclamation == MB_ICONEXCLAMATION && kMbIconError == MB_ICONERROR &&
                  kMbIconQuestion == MB_ICONQUESTION && kMbSystemModal == MB_SYSTEMMODAL &&
                  kMbTaskModal == MB_TASKMODAL && kMbTopmost == MB_TOPMOST,
              "the layer's names are the Windows values");

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  return ::MessageBoxW(nullptr, Wide(text, true).c_str(), Wide(caption, true).c_str(), flags);
}

namespace {

HRESULT CALLBACK OnTaskDialog(HWND w, UINT note, WPARAM, LPARAM, LONG_PTR topmost) {
  // MB_TOPMOST and MB_SYSTEMMODAL, which a task dialog has no flag for.
  if (note == TDN_CREATED && topmost)
    ::SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  return S_OK;
}

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

}  // namespace

int ShowMessageBoxWithCheck(const std::string& text, const std::string& caption, uint32_t flags,
                            const std::string& checkText, bool& checked) {
  checked = false;
  // From comctl32 version 6, which the program's manifest asks for; where
  // it is missing the plain box is asked, its box never ticked.
  auto taskDialog = reinterpret_cast<TaskDialogIndirectFn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"comctl32.dll"), "TaskDialogIndirect")));
  if (!taskDialog) return ShowMessageBox(text, caption, flags);
  const Wide content(text, true), title(caption, true), check(checkText, true);
  TASKDIALOGCONFIG config = {};
  config.cbSize = sizeof config;
  config.dwFlags = TDF_USE_HICON_MAIN | TDF_ALLOW_DIALOG_CANCELLATION;
  switch (flags & kMbTypeMask) {
    case kMbOkCancel: config.dwCommonButtons = TDCBF_OK_BUTTON | TDCBF_CANCEL_BUTTON; break;
    case kMbYesNoCancel:
      config.dwCommonButtons = TDCBF_YES_BUTTON | TDCBF_NO_BUTTON | TDCBF_CANCEL_BUTTON;
      break;
    case kMbRetryCancel: config.dwCommonButtons = TDCBF_RETRY_BUTTON | TDCBF_CANCEL_BUTTON; break;
    default: config.dwCommonButtons = TDCBF_OK_BUTTON; break;
  }
  // IDI_HAND, IDI_EXCLAMATION and IDI_QUESTION, by number: the headers
  // spell them for the A form alone.
  const uint32_t icon = flags & 0xF0;
  config.hMainIcon = ::LoadIconW(nullptr, MAKEINTRESOURCEW(icon == kMbIconError         ? 32513
                                                           : icon == kMbIconExclamation ? 32515
                                                                                        : 32514));
  config.pszWindowTitle = title.c_str();
  config.pszContent = content.c_str();
  config.pszVerificationText = check.c_str();
  config.pfCallback = OnTaskDialog;
  config.lpCallbackData = (flags & (kMbTopmost | kMbSystemModal)) ? 1 : 0;
  int button = 0;
  BOOL ticked = FALSE;
  if (FAILED(taskDialog(&config, &button, nullptr, &ticked)))
    return ShowMessageBox(text, caption, flags);
  checked = ticked != FALSE;
  return button;
}

int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

namespace {

void AttachProgress(HWND w, void (*tick)());

}  // namespace

WindowHandle CreateStatusWindow(const std::string& text, uint32_t style, int x, int y, int width,
                                int height, void (*progressTick)()) {
  HWND w = ::CreateWindowExW(0, L"STATIC", Wide(text, true).c_str(), style, x, y, width, height,
                             nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (!w) return nullptr;
  if (progressTick) AttachProgress(w, progressTick);
  ::ShowWindow(w, kSwShowNormal);
  ::UpdateWindow(w);
  return reinterpret_cast<WindowHandle>(w);
}

namespace {

// The one status window that shows an update's progress, and its parts.
struct ProgressWindow {
  HWND status = nullptr, bar = nullptr, line = nullptr, cancel = nullptr;
  WNDPROC base = nullptr;
  void (*tick)() = nullptr;
  int bar_pos = -1;
  std::string text;
};
ProgressWindow gProgress;
std::atomic<bool> gCancel{false};

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTickMs = 200;

// The static control passes its children's notifications to nobody; the
// status window takes the Cancel button's click itself.
LRESULT CALLBACK StatusProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COMMAND && HIWORD(wp) == BN_CLICKED &&
      reinterpret_cast<HWND>(lp) == gProgress.cancel && gProgress.cancel) {
    gCancel = true;
    ::EnableWindow(gProgress.cancel, FALSE);
    return 0;
  }
  return ::CallWindowProcW(gProgress.base, h, msg, wp, lp);
}

VOID CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) {
  if (gProgress.tick) gProgress.tick();
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y,
           int w, int h) {
  HWND c = ::CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             ::GetModuleHandleW(nullptr), nullptr);
  if (c)
    ::SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), 0);
  return c;
}

void AttachProgress(HWND w, void (*tick)()) {
  if (gProgress.status) return;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);
  // Below the window's own text, which stays centred in the middle: the
  // bar and the line on the left, Cancel beside them.
  RECT r;
  ::GetClientRect(w, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  const int margin = 8, buttonWidth = 72, buttonHeight = 22;
  const int top = height / 2 + 11;
  const int left = width - 2 * margin - buttonWidth - margin / 2;
  gProgress.status = w;
  gProgress.bar = Child(w, PROGRESS_CLASSW, L"", 0, 1, margin, top, left, 10);
  gProgress.line =
      Child(w, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 2, margin, top + 12, left, 16);
  gProgress.cancel = Child(w, L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL,
                           width - margin - buttonWidth, top, buttonWidth, buttonHeight);
  ::SendMessageW(gProgress.bar, PBM_SETRANGE32, 0, 1000);
  gProgress.base = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StatusProc)));
  gProgress.tick = tick;
  gCancel = false;
  ::SetTimer(w, kTimerId, kTickMs, OnTick);
}

}  // namespace

void ShowProgress(WindowHandle status, const ProgressView& view) {
  if (!status || reinterpret_cast<HWND>(status) != gProgress.status) return;
  if (view.bar != gProgress.bar_pos) {
    gProgress.bar_pos = view.bar;
    ::SendMessageW(gProgress.bar, PBM_SETPOS, static_cast<WPARAM>(view.bar), 0);
  }
  if (view.line != gProgress.text) {
    gProgress.text = view.line;
    ::SetWindowTextW(gProgress.line, Wide(view.line, true).c_str());
  }
  // A phase's end is painted now: the window may go before the next tick.
  // (No messages are handled here: a tick is what may have called this.)
  if (view.final) {
    ::UpdateWindow(gProgress.bar);
    ::UpdateWindow(gProgress.line);
  }
}

void EnableCancel(WindowHandle status, bool enabled) {
  if (status && reinterpret_cast<HWND>(status) == gProgress.status && gProgress.cancel)
    ::EnableWindow(gProgress.cancel, enabled && !gCancel ? TRUE : FALSE);
}

bool CancelRequested() { return gCancel; }

void PumpMessages() {
  MSG m;
  while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(m.wParam));
      return;
    }
    ::TranslateMessage(&m);
    ::DispatchMessageW(&m);
  }
}

bool WaitHandleOrMessages(HANDLE handle, DWORD ms, bool endOnCancel) {
  const ULONGLONG until = ::GetTickCount64() + ms;
  for (;;) {
    PumpMessages();
    if (endOnCancel && gCancel) return false;
    const ULONGLONG now = ::GetTickCount64();
    if (handle && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return true;
    if (now >= until) return false;
    const DWORD left = static_cast<DWORD>(until - now);
    const DWORD got =
        handle ? ::MsgWaitForMultipleObjectsEx(1, &handle, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
               : ::MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (handle && got == WAIT_OBJECT_0) return true;
    if (got == WAIT_FAILED) ::Sleep(left < 10 ? left : 10);
  }
}

void KeepResponsive() {
  static ULONGLONG last = 0;
  const ULONGLONG now = ::GetTickCount64();
  if (now - last < 20) return;
  last = now;
  PumpMessages();
}

void DestroyWindow(WindowHandle h) {
  HWND w = reinterpret_cast<HWND>(h);
  if (w && w == gProgress.status) {
    ::KillTimer(w, kTimerId);
    ::SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gProgress.base));
    gProgress = ProgressWindow();
  }
  ::DestroyWindow(w);
}

intptr_t ShellOpen(const std::string& file, const std::string& params, const std::string& dir,
                   int showCommand) {
  Wide f(file), p(params), d(dir);
  // A target that is no UTF-8 is one the shell cannot find.
  if (!f.ok() || !p.ok() || !d.ok()) return kShellFileNotFound;
  HINSTANCE r = ::ShellExecuteW(nullptr, nullptr, f.c_str(), p.OrNull(), d.OrNull(), showCommand);
  return reinterpret_cast<intptr_t>(r);
}

WindowHandle FindTopWindow(const std::string& title) {
  Wide t(title);
  return t.ok() ? reinterpret_cast<WindowHandle>(::FindWindowW(nullptr, t.c_str())) : nullptr;
}

void PostCloseMessage(WindowHandle h) { ::PostMessageW(reinterpret_cast<HWND>(h), kWmClose, 0, 0); }

namespace {

BOOL CALLBACK CloseIfOfProcess(HWND w, LPARAM pid) {
  DWORD owner = 0;
  ::GetWindowThreadProcessId(w, &owner);
  // The windows a user would close: shown, and not a tool window or dialog
  // that belongs to another of the program's windows.
  if (owner == static_cast<DWORD>(pid) && ::IsWindowVisible(w) && !::GetWindow(w, GW_OWNER))
    ::PostMessageW(w, kWmClose, 0, 0);
  return TRUE;
}

}  // namespace

void PostCloseToProcess(uint32_t pid) { ::EnumWindows(CloseIfOfProcess, static_cast<LPARAM>(pid)); }

}  // namespace os
