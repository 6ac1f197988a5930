// The running program, the clock and the process list (Tool Help) of the
// Windows build.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

#include "os/cmdline.h"
#include "os/os.h"
#include "os/os_win32.h"

namespace os {

std::string ExePath() {
  // A folder may be deeper than MAX_PATH: the buffer grows until it holds
  // the whole path.
  std::vector<wchar_t> buf(MAX_PATH + 1);
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size() || buf.size() >= 32768) return Narrow(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::string Argument(int index) { return ArgumentOf(Narrow(::GetCommandLineW()), index); }

std::vector<std::string> ConsoleArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i]));
    ::LocalFree(wide);
  }
  return args;
}

namespace {
UINT gConsoleCodePage = 0;  // 0: no console
}  // namespace

Utf8Console::Utf8Console() {
  gConsoleCodePage = ::GetConsoleOutputCP();
  if (gConsoleCodePage) ::SetConsoleOutputCP(CP_UTF8);
}
Utf8Console::~Utf8Console() {
  if (gConsoleCodePage) ::SetConsoleOutputCP(gConsoleCodePage);
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
  Wide exe(ExePath()), params(parameters);
  if (!exe.ok() || !params.ok()) return Elevation::kUnavailable;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = exe.c_str();
  info.lpParameters = params.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info))
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

bool RunProgramAndWait(const std::string& path, const std::string& arguments, int32_t& exitCode) {
  Wide file(path), line("\"" + path + "\"" + (arguments.empty() ? "" : " " + arguments));
  if (!file.ok() || !line.ok()) return false;
  std::vector<wchar_t> command(line.c_str(), line.c_str() + line.size() + 1);
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(file.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &start, &process))
    return false;
  ::CloseHandle(process.hThread);
  WaitHandleOrMessages(process.hProcess, INFINITE);
  DWORD code = 0;
  exitCode = ::GetExitCodeProcess(process.hProcess, &code) ? static_cast<int32_t>(code) : INT32_MIN;
  ::CloseHandle(process.hProcess);
  return true;
}

void WriteStandardOutput(const std::string& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out && out != INVALID_HANDLE_VALUE)
    ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string MachineId() {
  // A 32-bit program on 64-bit Windows sees a view of the registry without
  // this value; the flag asks for the machine's own (and is ignored where
  // there is only one view).
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return std::string();
  wchar_t value[256];
  DWORD type = 0, size = sizeof value;
  const LONG got = ::RegQueryValueExW(key, L"MachineGuid", nullptr, &type,
                                      reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  if (got != ERROR_SUCCESS || type != REG_SZ) return std::string();
  // The stored text may or may not carry its terminating zero.
  return Narrow(value, wcsnlen(value, size / sizeof(wchar_t)));
}

PolicyValue ReadPolicyValue(const std::string& product, const std::string& name) {
  PolicyValue v;
  Wide key("Software\\Policies\\PelMatic\\" + product), value(name);
  HKEY h = nullptr;
  if (!key.ok() || ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                   KEY_QUERY_VALUE | KEY_WOW64_64KEY, &h) != ERROR_SUCCESS)
    return v;
  wchar_t data[1024];
  DWORD type = 0, size = sizeof data;
  const LONG got =
      ::RegQueryValueExW(h, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  ::RegCloseKey(h);
  if (got == ERROR_MORE_DATA) {
    v.type = PolicyType::kOther;  // no value of the policy is that long
  } else if (got != ERROR_SUCCESS) {
    return v;
  } else if (type == REG_DWORD && size == sizeof(DWORD)) {
    v.type = PolicyType::kNumber;
    std::memcpy(&v.number, data, sizeof(DWORD));
  } else if (type == REG_SZ) {
    v.type = PolicyType::kText;
    v.text = Narrow(data, wcsnlen(data, size / sizeof(wchar_t)));
  } else {
    v.type = PolicyType::kOther;
  }
  return v;
}

struct SnapshotState {
  HANDLE snap;
  PROCESSENTRY32W entry;
};

uint32_t ProcessId(SnapshotHandle h) { return h->entry.th32ProcessID; }

namespace {
std::string NameOf(const PROCESSENTRY32W& e) {
  return Narrow(e.szExeFile, wcsnlen(e.szExeFile, MAX_PATH));
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
  w->entry.dwSize = sizeof(PROCESSENTRY32W);
  if (!::Process32FirstW(w->snap, &w->entry)) return false;
  imageName = NameOf(w->entry);
  return true;
}

bool ProcessNext(SnapshotHandle h, std::string& imageName) {
  SnapshotState* w = h;
  if (!::Process32NextW(w->snap, &w->entry)) return false;
  imageName = NameOf(w->entry);
  return true;
}

void SnapshotClose(SnapshotHandle h) {
  SnapshotState* w = h;
  ::CloseHandle(w->snap);
  delete w;
}

}  // namespace os
