// Files and folders of the Windows build: thin wrappers over the W forms of
// the Win32 calls, UTF-8 outside.
#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "os/os.h"
#include "os/os_win32.h"

namespace os {

bool IsPathDelimiter(char c) { return c == '\\' || c == ':'; }

namespace {

// Attributes of a path, INVALID_FILE_ATTRIBUTES (with the last error set)
// when there is none or it is no UTF-8.
DWORD AttributesOf(const std::string& path) {
  Wide w(path);
  if (!w.ok()) {
    ::SetLastError(kErrInvalidName);
    return INVALID_FILE_ATTRIBUTES;
  }
  return ::GetFileAttributesW(w.c_str());
}

void Take(const WIN32_FIND_DATAW& fd, FindData& data) {
  data.attributes = fd.dwFileAttributes;
  data.name = Narrow(fd.cFileName);
}

}  // namespace

bool PathAttributes(const std::string& path, uint32_t& attributes) {
  const DWORD found = AttributesOf(path);
  if (found == INVALID_FILE_ATTRIBUTES) return false;
  attributes = found;
  return true;
}

FindHandle FindFirst(const std::string& pattern, FindData& data) {
  Wide w(pattern);
  if (!w.ok()) return nullptr;
  WIN32_FIND_DATAW fd;
  HANDLE h = ::FindFirstFileW(w.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  Take(fd, data);
  return reinterpret_cast<FindHandle>(h);
}

bool FindNext(FindHandle h, FindData& data) {
  WIN32_FIND_DATAW fd;
  if (!::FindNextFileW(reinterpret_cast<HANDLE>(h), &fd)) return false;
  Take(fd, data);
  return true;
}

void FindClose(FindHandle h) {
  if (h) ::FindClose(reinterpret_cast<HANDLE>(h));
}

static int32_t Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                    FileHandle& out) {
  out = nullptr;
  Wide w(path);
  if (!w.ok()) return static_cast<int32_t>(kErrInvalidName);
  HANDLE h =
      ::CreateFileW(w.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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

int32_t FileOpenAppend(const std::string& path, FileHandle& out, uint64_t& size) {
  size = 0;
  if (int32_t err = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         OPEN_EXISTING, out))
    return err;
  LARGE_INTEGER zero = {}, end = {};
  if (!::SetFilePointerEx(reinterpret_cast<HANDLE>(out), zero, &end, FILE_END)) {
    const int32_t err = static_cast<int32_t>(::GetLastError());
    FileClose(out);
    out = nullptr;
    return err;
  }
  size = static_cast<uint64_t>(end.QuadPart);
  return 0;
}

int32_t FileCreateExclusive(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, out);
}

// The folder's permissions decide who else may read it, as for any file
// the user makes there.
int32_t FileCreatePrivate(const std::string& path, FileHandle& out) {
  return Open(path, GENERIC_WRITE, 0, CREATE_NEW, out);
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
  Wide a(from), b(to);
  return a.ok() && b.ok() && ::CopyFileW(a.c_str(), b.c_str(), failIfExists) != 0;
}
bool FileMove(const std::string& from, const std::string& to) {
  Wide a(from), b(to);
  return a.ok() && b.ok() && ::MoveFileW(a.c_str(), b.c_str()) != 0;
}
int32_t FileRename(const std::string& from, const std::string& to, bool replace) {
  Wide a(from), b(to);
  if (!a.ok() || !b.ok()) return static_cast<int32_t>(kErrInvalidName);
  if (::MoveFileExW(a.c_str(), b.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return 0;
  return static_cast<int32_t>(::GetLastError());
}

bool FileMoveReplace(const std::string& from, const std::string& to) {
  return FileRename(from, to, true) == 0;
}

bool IsTransientFileError(int32_t code) {
  return code == kErrSharingViolation || code == kErrLockViolation || code == kErrAccessDenied ||
         code == kErrUserMappedFile;
}

int32_t FileProbeReplaceable(const std::string& path) {
  const DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<int32_t>(::GetLastError());
  // A read-only file cannot be opened for writing, but it can be renamed:
  // what the rename needs is the right to delete it, with nobody else
  // holding it open.
  const DWORD access =
      (attributes & FILE_ATTRIBUTE_READONLY) ? DELETE | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE;
  FileHandle h = nullptr;
  int32_t err = Open(path, access, 0, OPEN_EXISTING, h);
  FileClose(h);
  return err;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  const DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  DWORD wanted = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                          : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return ::SetFileAttributesW(Wide(path).c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL) != 0;
}

int32_t FileSync(FileHandle h) {
  if (::FlushFileBuffers(reinterpret_cast<HANDLE>(h))) return 0;
  return static_cast<int32_t>(::GetLastError());
}

namespace {

bool FlushTree(const std::string& folder) {
  bool all = true;
  Wide pattern(folder + "\\*");
  WIN32_FIND_DATAW fd;
  HANDLE search = pattern.ok() ? ::FindFirstFileW(pattern.c_str(), &fd) : INVALID_HANDLE_VALUE;
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::string name = Narrow(fd.cFileName);
    if (name == "." || name == "..") continue;
    const std::string path = folder + "\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      all = FlushTree(path) && all;
      continue;
    }
    // Flushing needs a handle that may write; a read-only file is opened
    // for its attributes, which flushes its data as well.
    FileHandle h = nullptr;
    const DWORD access =
        (fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? FILE_WRITE_ATTRIBUTES : GENERIC_WRITE;
    if (Open(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
             h) != 0 ||
        FileSync(h) != 0)
      all = false;
    FileClose(h);
  } while (::FindNextFileW(search, &fd));
  ::FindClose(search);
  return all;
}

struct FlushJob {
  std::string folder;
  bool all = false;
};

DWORD WINAPI RunFlush(void* arg) {
  auto* job = static_cast<FlushJob*>(arg);
  job->all = FlushTree(job->folder);
  return 0;
}

}  // namespace

// One flush of a large file can take longer than a window may go without
// an answer: the flushes run on a thread of their own while this one
// handles its messages.
bool SyncTree(const std::string& folder) {
  FlushJob job{folder};
  HANDLE worker = ::CreateThread(nullptr, 0, RunFlush, &job, 0, nullptr);
  if (!worker) return FlushTree(folder);
  while (!WaitHandleOrMessages(worker, 1000)) {
  }
  ::CloseHandle(worker);
  return job.all;
}

bool SyncVolume(const std::string&) {
  // NTFS logs every rename and creation in order, and flushing any file of
  // the volume writes that log out up to it: the journal's own flush, which
  // always follows, is enough.
  return true;
}
bool FileDelete(const std::string& path) {
  Wide w(path);
  return w.ok() && ::DeleteFileW(w.c_str()) != 0;
}
bool DirCreate(const std::string& path) {
  Wide w(path);
  return w.ok() && ::CreateDirectoryW(w.c_str(), nullptr) != 0;
}
bool DirRemove(const std::string& path) {
  Wide w(path);
  return w.ok() && ::RemoveDirectoryW(w.c_str()) != 0;
}
bool SetCurrentDir(const std::string& path) {
  Wide w(path);
  return w.ok() && ::SetCurrentDirectoryW(w.c_str()) != 0;
}

std::string VerbatimPath(const std::string& path) {
  bool absolute = path.size() >= 3 && path[1] == ':' && path[2] == '\\';
  return absolute ? "\\\\?\\" + path : path;
}

std::string TempPath() {
  wchar_t buf[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH) return std::string();
  return Narrow(buf, n);
}

std::string UserStateFolder() {
  wchar_t buf[MAX_PATH];
  if (::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf) != S_OK)
    return std::string();
  return Narrow(buf) + "\\PelMatic\\";
}

std::string FullPath(const std::string& path) {
  Wide w(path);
  wchar_t buf[MAX_PATH];
  DWORD n = w.ok() ? ::GetFullPathNameW(w.c_str(), MAX_PATH, buf, nullptr) : 0;
  if (n == 0 || n >= MAX_PATH) return path;
  return Narrow(buf, n);
}

bool FileVersion(const std::string& path, uint32_t& versionMS, uint32_t& versionLS) {
  Wide w(path);
  DWORD handle = 0;
  DWORD size = w.ok() ? ::GetFileVersionInfoSizeW(w.c_str(), &handle) : 0;
  if (size == 0) return false;
  std::string buffer(size, '\0');
  if (!::GetFileVersionInfoW(w.c_str(), 0, size, &buffer[0])) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!::VerQueryValueW(&buffer[0], L"\\", reinterpret_cast<void**>(&info), &len) || !info ||
      len < sizeof(VS_FIXEDFILEINFO))
    return false;
  versionMS = info->dwFileVersionMS;
  versionLS = info->dwFileVersionLS;
  return true;
}

// ---- configuration ---------------------------------------------------------

// The reader takes an ANSI file in the system code page, and a UTF-16 one
// by its byte order mark. A value is at most 1023 characters, as before.
std::string ProfileString(const std::string& section, const std::string& key,
                          const std::string& defaultValue, const std::string& file) {
  Wide path(file), s(section), k(key), d(defaultValue, true);
  if (!path.ok()) return defaultValue;
  wchar_t buf[1024];
  DWORD n = ::GetPrivateProfileStringW(s.c_str(), k.c_str(), d.c_str(), buf, 1024, path.c_str());
  return Narrow(buf, n);
}

}  // namespace os
