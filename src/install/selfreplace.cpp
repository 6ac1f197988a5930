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

namespace {

// The folder as the command interpreter must read it: in the OEM code page
// it reads batch files in, and with every % doubled so that no part of the
// name is taken for a variable.
std::string ScriptPath(const std::string& path) {
  std::string out;
  for (char c : os::ToOemCodePage(path)) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

}  // namespace

std::string BuildReplaceScript(const std::string& appDir) {
  const std::string dir = ScriptPath(appDir);
  const std::string crlf = "\r\n";
  const std::string del = "del \"" + dir + "PELMATIC.EXE\"" + crlf;
  const std::string gone = "if not exist \"" + dir + "PELMATIC.EXE\" goto swap" + crlf;
  const std::string second = "ping -n 2 127.0.0.1 >nul" + crlf;
  std::string s;
  s.reserve(kReplaceTries * (del.size() + gone.size() + second.size()) + 2 * dir.size() + 200);
  s += "chdir \"" + dir + "\"" + crlf;
  s += dir.substr(0, 2) + crlf;
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
  s += "del \"" + dir + "@Runme.bat\"" + crlf;
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
  WriteScript(script, BuildReplaceScript(gRun.AppDir));
  os::SetCurrentDir(gRun.AppDir);
  os::ShellOpen(script, "", gRun.AppDir, os::kSwHide);
}
