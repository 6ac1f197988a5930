#include "install/selfreplace.h"

#include "core/errors.h"
#include "core/runstate.h"
#include "os/os.h"
#include "platform/files.h"
#include "version/versiontext.h"

std::string GetFileVersionString(const std::string& path) {
  uint32_t ms = 0, ls = 0;
  if (!os::FileVersion(path, ms, ls)) return "0";
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

// The script names no folder: it is started in the application folder and
// names the files there by their bare names. The interpreter reads a batch
// file in the console's code page, where a folder such as C:\Программы has
// no name at all, and would take a % or a ^ in a folder's name for part of
// a command; what is left is ASCII, read alike everywhere. Its first line
// makes sure it runs where it lies: nowhere else does a @Runme.bat stand
// beside the files it would delete.
std::string BuildReplaceScript() {
  const std::string crlf = "\r\n";
  const std::string del = "del \"PELMATIC.EXE\"" + crlf;
  const std::string gone = "if not exist \"PELMATIC.EXE\" goto swap" + crlf;
  const std::string second = "ping -n 2 127.0.0.1 >nul" + crlf;
  std::string s;
  s.reserve(kReplaceTries * (del.size() + gone.size() + second.size()) + 200);
  s += "if not exist \"@Runme.bat\" goto end" + crlf;
  // Windows lets nobody delete a program file while a copy of it runs: the
  // old checker goes once every copy has ended (the run that started an
  // elevated copy may still show its notice), tried once a second.
  for (int i = 0; i < kReplaceTries; ++i) {
    s += del;
    s += gone;
    if (i + 1 < kReplaceTries) s += second;
  }
  s += ":swap" + crlf;
  s += "rename \"NEW_PELMATIC.EXE\"  \"pelmatic.exe\"" + crlf;
  s += "del \"@Runme.bat\"" + crlf;
  s += ":end" + crlf;
  return s;
}

__attribute__((noinline)) static void WriteScript(const std::string& path,
                                                  const std::string& text) {
  uintptr_t at = PELMATIC_CALLER_ADDRESS();
  os::FileHandle h = nullptr;
  if (os::FileCreateExclusive(path, h) != 0) throw EFCreateError("Cannot create file " + path, at);
  os::UniqueFile file(h);
  uint32_t written = 0;
  int32_t err = os::FileWrite(file.Get(), text.data(), static_cast<uint32_t>(text.size()), written);
  int32_t closed = file.Close();
  if (err != 0 || closed != 0 || written != text.size())
    throw EWriteError("Stream write error", at);
}

void ScheduleSelfReplace() {
  const std::string fresh = gRun.AppDir + "NEW_" + "PELMATIC.EXE";
  const std::string installed = gRun.AppDir + "PELMATIC.EXE";
  // A checker built for another machine (a 32-bit one where WoW64 is
  // missing, a 64-bit one on 32-bit Windows) would never start again: the
  // running one stays.
  if (CompareVersions(GetFileVersionString(fresh), GetFileVersionString(installed)) <= 0 ||
      ExecutableMachine(fresh) != ExecutableMachine(os::ExePath())) {
    os::FileDelete(fresh);
    return;
  }
  const std::string script = gRun.AppDir + "@Runme.bat";
  WriteScript(script, BuildReplaceScript());
  os::SetCurrentDir(gRun.AppDir);
  os::ShellOpen(script, "", gRun.AppDir, os::kSwHide);
}
