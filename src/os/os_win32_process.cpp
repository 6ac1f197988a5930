// The running program, the clock and the process list (Tool Help) of the
// Windows build.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>

#include "os/cmdline.h"
#include "os/os.h"
#include "os/os_win32.h"

namespace os {

std::string ExePath() {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

std::string Argument(int index) {
  const char* cmd = ::GetCommandLineA();
  return ArgumentOf(cmd ? cmd : "", index);
}

void ComInitialize() { ::CoInitialize(nullptr); }
void ComUninitialize() { ::CoUninitialize(); }
// The program's thread owns the status window: it waits with its messages
// handled, so that the window is painted and answers while it waits.
void Sleep(uint32_t ms) { WaitHandleOrMessages(nullptr, ms); }

SystemTime GetSystemTimeUtc() {
  SYSTEMTIME st;
  ::GetSystemTime(&st);
  return {st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

int64_t UnixTimeUtc() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100 ns ticks since 1601-01-01.
  return static_cast<int64_t>((ticks - 116444736000000000ull) / 10000000ull);
}

uint64_t MonotonicMs() { return ::GetTickCount64(); }

void ExitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

int ExitCodeFor(int32_t code) { return code; }

Elevation RunElevated(const std::string& parameters, int32_t& exitCode) {
  const std::string exe = ExePath();
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = "runas";
  info.lpFile = exe.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExA(&info))
    return ::GetLastError() == ERROR_CANCELLED ? Elevation::kDeclined : Elevation::kUnavailable;
  if (!info.hProcess) return Elevation::kUnavailable;
  // The copy may take as long as its download: this thread keeps answering.
  WaitHandleOrMessages(info.hProcess, INFINITE);
  DWORD code = 0;
  const BOOL got = ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  exitCode = got ? static_cast<int32_t>(code) : INT32_MIN;
  return Elevation::kDone;
}

std::string MachineId() {
  // A 32-bit program on 64-bit Windows sees a view of the registry without
  // this value; the flag asks for the machine's own (and is ignored where
  // there is only one view).
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return std::string();
  char value[256];
  DWORD type = 0, size = sizeof value;
  const LONG got =
      ::RegQueryValueExA(key, "MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  if (got != ERROR_SUCCESS || type != REG_SZ) return std::string();
  // The stored text may or may not carry its terminating zero.
  return std::string(value, strnlen(value, size));
}

std::string ToOemCodePage(const std::string& text) {
  std::string oem(text.size() + 1, '\0');
  if (!::CharToOemA(text.c_str(), &oem[0])) return text;
  return oem.c_str();
}

struct SnapshotState {
  HANDLE snap;
  PROCESSENTRY32 entry;
};

uint32_t ProcessId(SnapshotHandle h) { return h->entry.th32ProcessID; }

namespace {
std::string NameOf(const PROCESSENTRY32& e) {
  return std::string(e.szExeFile, strnlen(e.szExeFile, sizeof e.szExeFile));
}
}  // namespace

SnapshotHandle ProcessSnapshot() {
  HANDLE s = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (s == INVALID_HANDLE_VALUE) return nullptr;
  auto* w = new SnapshotState;
  w->snap = s;
  return w;
}

bool ProcessFirst(SnapshotHandle h, std::string& imageName) {
  SnapshotState* w = h;
  w->entry.dwSize = sizeof(PROCESSENTRY32);
  if (!::Process32First(w->snap, &w->entry)) return false;
  imageName = NameOf(w->entry);
  return true;
}

bool ProcessNext(SnapshotHandle h, std::string& imageName) {
  SnapshotState* w = h;
  if (!::Process32Next(w->snap, &w->entry)) return false;
  imageName = NameOf(w->entry);
  return true;
}

void SnapshotClose(SnapshotHandle h) {
  SnapshotState* w = h;
  ::CloseHandle(w->snap);
  delete w;
}

}  // namespace os
