// Files and folders of the Windows build: thin wrappers over the
// single-byte forms of the Win32 calls.
#include <windows.h>

#include <cstring>

#include "os/os.h"

namespace os {

bool IsPathDelimiter(char c) { return c == '\\' || c == ':'; }

FindHandle FindFirst(const std::string& pattern, FindData& data) {
  WIN32_FIND_DATAA fd;
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  data.attributes = fd.dwFileAttributes;
  data.name = fd.cFileName;
  return reinterpret_cast<FindHandle>(h);
}

bool FindNext(FindHandle h, FindData& data) {
  WIN32_FIND_DATAA fd;
  if (!::FindNextFileA(reinterpret_cast<HANDLE>(h), &fd)) return false;
  data.attributes = fd.dwFileAttributes;
  data.name = fd.cFileName;
  return true;
}

void FindClose(FindHandle h) {
  if (h) ::FindClose(reinterpret_cast<HANDLE>(h));
}

static int32_t Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                    FileHandle& out) {
  out = nullptr;
  HANDLE h = ::CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int32_t>(::GetLastError());
  out = reinterpret_cast<FileHandle>(h);
  return 0;
}

int32_t FileOpenRead(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, out);
}

int32_t FileCreateShared(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS,
              out);
}

int32_t FileCreateExclusive(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, out);
}

int32_t FileRead(FileHandle h, void* buf, uint32_t size, uint32_t& got) {
  DWORD n = 0;
  got = 0;
  if (!::ReadFile(reinterpret_cast<HANDLE>(h), buf, size, &n, nullptr))
    return static_cast<int32_t>(::GetLastError());
  got = n;
  return 0;
}

int32_t FileWrite(FileHandle h, const void* buf, uint32_t size, uint32_t& written) {
  DWORD n = 0;
  written = 0;
  if (!::WriteFile(reinterpret_cast<HANDLE>(h), buf, size, &n, nullptr))
    return static_cast<int32_t>(::GetLastError());
  written = n;
  return n < size ? kErrDiskFull : 0;
}

int32_t FileClose(FileHandle h) {
  if (h && !::CloseHandle(reinterpret_cast<HANDLE>(h)))
    return static_cast<int32_t>(::GetLastError());
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
bool DirCreate(const std::string& path) { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; }
bool DirRemove(const std::string& path) { return ::RemoveDirectoryA(path.c_str()) != 0; }
bool SetCurrentDir(const std::string& path) { return ::SetCurrentDirectoryA(path.c_str()) != 0; }

std::string VerbatimPath(const std::string& path) {
  bool absolute = path.size() >= 3 && path[1] == ':' && path[2] == '\\';
  return absolute ? "\\\\?\\" + path : path;
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

}  // namespace os
