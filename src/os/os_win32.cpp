// The OS layer of the Windows build: thin wrappers over the single-byte
// forms of the Win32 calls.
#include "os/os.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <wininet.h>
#include <objbase.h>

#include <cstdlib>
#include <cstring>

#include "os/cmdline.h"


namespace os {

bool IsPathDelimiter(char c) { return c == '\\' || c == ':'; }

std::string ExePath() {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

std::string FirstArgument() {
  const char* cmd = ::GetCommandLineA();
  return FirstArgumentOf(cmd ? cmd : "");
}

void ComInitialize() { ::CoInitialize(nullptr); }
void ComUninitialize() { ::CoUninitialize(); }
void Sleep(uint32_t ms) { ::Sleep(ms); }

SystemTime GetSystemTimeUtc() {
  SYSTEMTIME st;
  ::GetSystemTime(&st);
  return {st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void ExitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

// ---- files and folders ----------------------------------------------------

FindHandle FindFirst(const std::string& pattern, FindData& data) {
  WIN32_FIND_DATAA fd;
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  data.attributes = fd.dwFileAttributes;
  data.name = fd.cFileName;
  return h;
}

bool FindNext(FindHandle h, FindData& data) {
  WIN32_FIND_DATAA fd;
  if (!::FindNextFileA(static_cast<HANDLE>(h), &fd)) return false;
  data.attributes = fd.dwFileAttributes;
  data.name = fd.cFileName;
  return true;
}

void FindClose(FindHandle h) {
  if (h) ::FindClose(static_cast<HANDLE>(h));
}

static int32_t Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                    FileHandle& out) {
  out = nullptr;
  HANDLE h = ::CreateFileA(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int32_t>(::GetLastError());
  out = h;
  return 0;
}

int32_t FileOpenRead(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, out);
}

int32_t FileCreateShared(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
              CREATE_ALWAYS, out);
}

int32_t FileCreateExclusive(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, out);
}

int32_t FileRead(FileHandle h, void* buf, uint32_t size, uint32_t& got) {
  DWORD n = 0;
  got = 0;
  if (!::ReadFile(static_cast<HANDLE>(h), buf, size, &n, nullptr))
    return static_cast<int32_t>(::GetLastError());
  got = n;
  return 0;
}

int32_t FileWrite(FileHandle h, const void* buf, uint32_t size, uint32_t& written) {
  DWORD n = 0;
  written = 0;
  if (!::WriteFile(static_cast<HANDLE>(h), buf, size, &n, nullptr))
    return static_cast<int32_t>(::GetLastError());
  written = n;
  return n < size ? kErrDiskFull : 0;
}

int32_t FileClose(FileHandle h) {
  if (h && !::CloseHandle(static_cast<HANDLE>(h))) return static_cast<int32_t>(::GetLastError());
  return 0;
}

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists) {
  return ::CopyFileA(from.c_str(), to.c_str(), failIfExists) != 0;
}
bool FileMove(const std::string& from, const std::string& to) {
  return ::MoveFileA(from.c_str(), to.c_str()) != 0;
}
bool FileMoveReplace(const std::string& from, const std::string& to) {
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
bool FileDelete(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }
bool DirCreate(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}
bool DirRemove(const std::string& path) { return ::RemoveDirectoryA(path.c_str()) != 0; }
bool SetCurrentDir(const std::string& path) {
  return ::SetCurrentDirectoryA(path.c_str()) != 0;
}

std::string TempPath() {
  char buf[260];
  DWORD n = ::GetTempPathA(260, buf);
  if (n == 0 || n >= sizeof buf) return std::string();
  return std::string(buf, n);
}

bool FileVersion(const std::string& path, uint32_t& versionMS, uint32_t& versionLS) {
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return false;
  std::string buffer(size, '\0');
  if (!::GetFileVersionInfoA(path.c_str(), 0, size, &buffer[0])) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!::VerQueryValueA(&buffer[0], "\\", reinterpret_cast<void**>(&info), &len) || !info ||
      len < sizeof(VS_FIXEDFILEINFO))
    return false;
  versionMS = info->dwFileVersionMS;
  versionLS = info->dwFileVersionLS;
  return true;
}

// ---- configuration ---------------------------------------------------------

std::string ProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file) {
  char buf[1024];
  DWORD n = ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buf,
                                       sizeof buf, file.c_str());
  return std::string(buf, n);
}

// ---- HTTP --------------------------------------------------------------------

namespace {

// Sessions and requests share one record so that InternetClose can tell
// them apart.
struct Net {
  HINTERNET h;
  bool isUrl;
  bool knownLength;
  uint64_t length;
  uint64_t received;
};

}  // namespace

NetHandle NetOpen(const std::string& agent) {
  HINTERNET h =
      ::InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!h) return nullptr;
  // Bounded waits, as on the POSIX build: a server that accepts and never
  // answers must not hang an unattended run.
  DWORD timeout = 60000;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    ::InternetSetOptionA(h, option, &timeout, sizeof timeout);
  return new Net{h, false, false, 0, 0};
}

NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache) {
  auto* s = static_cast<Net*>(session);
  if (!s || s->isUrl) return nullptr;
  DWORD flags = noCache ? INTERNET_FLAG_RELOAD : 0;
  HINTERNET h = ::InternetOpenUrlA(s->h, url.c_str(), nullptr, 0, flags, 0);
  if (!h) return nullptr;
  DWORD status = 0, size = sizeof status, index = 0;
  if (::HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                       &index) &&
      status >= 400) {
    // An error page is not the file that was asked for.
    ::InternetCloseHandle(h);
    return nullptr;
  }
  auto* n = new Net{h, true, false, 0, 0};
  char len[32];
  DWORD lenSize = sizeof len - 1;
  index = 0;
  if (::HttpQueryInfoA(h, HTTP_QUERY_CONTENT_LENGTH, len, &lenSize, &index)) {
    len[lenSize] = '\0';
    n->knownLength = true;
    n->length = std::strtoull(len, nullptr, 10);
  }
  return n;
}

bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got) {
  auto* n = static_cast<Net*>(url);
  DWORD count = 0;
  got = 0;
  if (!::InternetReadFile(n->h, buf, size, &count)) return false;
  got = count;
  n->received += count;
  // A body that ends short of its announced length was cut off.
  if (count == 0 && n->knownLength && n->received < n->length) return false;
  return true;
}

uint64_t UrlLength(NetHandle url) {
  auto* n = static_cast<Net*>(url);
  return n && n->knownLength ? n->length : 0;
}

void InternetClose(NetHandle h) {
  auto* n = static_cast<Net*>(h);
  if (!n) return;
  ::InternetCloseHandle(n->h);
  delete n;
}

// ---- desktop -----------------------------------------------------------------

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags);
}

int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

WindowHandle CreateStatusWindow(const std::string& text, uint32_t style, int x, int y, int width,
                                int height) {
  HWND w = ::CreateWindowExA(0, "STATIC", text.c_str(), style, x, y, width, height, nullptr,
                             nullptr, ::GetModuleHandleA(nullptr), nullptr);
  if (!w) return nullptr;
  ::ShowWindow(w, SW_SHOWNORMAL);
  ::UpdateWindow(w);
  return w;
}

void DestroyWindow(WindowHandle h) { ::DestroyWindow(static_cast<HWND>(h)); }

intptr_t ShellOpen(const std::string& file, const std::string& params, const std::string& dir,
                      int showCommand) {
  HINSTANCE r = ::ShellExecuteA(nullptr, nullptr, file.c_str(),
                                params.empty() ? nullptr : params.c_str(),
                                dir.empty() ? nullptr : dir.c_str(), showCommand);
  return reinterpret_cast<intptr_t>(r);
}

WindowHandle FindTopWindow(const std::string& title) {
  return ::FindWindowA(nullptr, title.c_str());
}

void PostCloseMessage(WindowHandle h) { ::PostMessageA(static_cast<HWND>(h), WM_CLOSE, 0, 0); }

// ---- processes ---------------------------------------------------------------

namespace {
struct ProcessWalk {
  HANDLE snap;
  PROCESSENTRY32 entry;
};
std::string NameOf(const PROCESSENTRY32& e) {
  return std::string(e.szExeFile, strnlen(e.szExeFile, sizeof e.szExeFile));
}
}  // namespace

SnapshotHandle ProcessSnapshot() {
  HANDLE s = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (s == INVALID_HANDLE_VALUE) return nullptr;
  auto* w = new ProcessWalk;
  w->snap = s;
  return w;
}

bool ProcessFirst(SnapshotHandle h, std::string& imageName) {
  auto* w = static_cast<ProcessWalk*>(h);
  w->entry.dwSize = sizeof(PROCESSENTRY32);
  if (!::Process32First(w->snap, &w->entry)) return false;
  imageName = NameOf(w->entry);
  return true;
}

bool ProcessNext(SnapshotHandle h, std::string& imageName) {
  auto* w = static_cast<ProcessWalk*>(h);
  if (!::Process32Next(w->snap, &w->entry)) return false;
  imageName = NameOf(w->entry);
  return true;
}

void SnapshotClose(SnapshotHandle h) {
  auto* w = static_cast<ProcessWalk*>(h);
  ::CloseHandle(w->snap);
  delete w;
}

}  // namespace os
