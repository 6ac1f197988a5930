#include "run/offer.h"

#include "core/runstate.h"
#include "install/package.h"
#include "install/selfreplace.h"
#include "os/os.h"
#include "platform/WaitMsg.h"
#include "platform/desktop.h"
#include "platform/download.h"
#include "platform/hex.h"
#include "platform/names.h"
#include "platform/progress.h"
#include "run/polite.h"
#include "version/config.h"

namespace {

const std::string CRLF = "\r\n";
constexpr uint32_t kQuestionStyle = os::kMbIconQuestion | os::kMbSystemModal | os::kMbTopmost;
constexpr uint32_t kHomepageQuestion = os::kMbOkCancel | kQuestionStyle;
constexpr uint32_t kUpdateQuestion = os::kMbYesNoCancel | kQuestionStyle;
constexpr uint32_t kCloseAppBox =
    os::kMbRetryCancel | os::kMbIconExclamation | os::kMbSystemModal | os::kMbTopmost;
// How long an application is given to close after each request.
constexpr uint32_t kCloseWaitMs = 10000;
const char* const kElevatedMark = "/elevated=";
const char* const kSkipThisVersion = "Skip this version";

std::string NotesBlock() {
  return "There is NEW VERSION available :   " + CRLF + CRLF +
         "remote version:   " + gRun.RemoteVer + "." + CRLF + CRLF +
         "your old version:  " + gRun.VerNow + "." + CRLF + CRLF + "What is new: " + CRLF +
         gRun.WhatsNew + "   " + CRLF + CRLF;
}

// Runs start(path) on a checked installer while holding it open with
// writes denied, so that nobody can swap it between the check and the start.
template <typename Start>
bool StartVerified(const std::string& path, Start start) {
  os::FileHandle h = nullptr;
  os::FileOpenRead(path, h);
  os::UniqueFile held(h);
  return start(path);
}

bool LaunchVerified(const std::string& path) { return StartVerified(path, LaunchTarget); }

// The installer is fetched into the temporary folder and started from there.
int32_t RunInstaller() {
  std::string path;
  const int32_t fetched = FetchInstaller(path);
  if (fetched != 0 || path.empty()) return fetched;
  if (gRun.LocalMode) {
    LaunchVerified(path);
    return 0;
  }
  // The full bar for a moment before the installer's own window comes.
  os::Sleep(300);
  return LaunchVerified(path) ? 0 : -2;
}

// The close requests: to the window titled as the application's file name,
// twice, and to the main windows of every process of the application.
void RequestClose() {
  const std::string window = StripFileExt(gRun.CloseApp);
  CloseAppWindow(window);
  CloseAppProcesses(gRun.CloseApp);
  os::Sleep(100);
  CloseAppWindow(window);
}

// What the user sees of an installed package: the notice, then the
// application, started by this run.
void ReportInstalled() {
  ShowStatus("");
  ShowNotice("Update is now complete !    " + CRLF + CRLF + gRun.VerFile);
  // The package may have brought a new configuration.
  if (LoadConfig() && !gRun.RunApp.empty()) {
    if (UpperCase(ExtractFileExt(gRun.RunApp)) == ".EXE")
      LaunchTarget(gRun.AppDir + gRun.RunApp);
    else
      LaunchTarget(gRun.RunApp);
  }
}

bool IsElevatedCopy() { return !gRun.ElevatedVersion.empty(); }

// The copy's exit code as this run's update code: what it installed, 0,
// or a failure the package can have; anything else (an error the copy
// showed itself, an end by force) is -15.
int32_t CopyResult(int32_t exitCode) {
  switch (exitCode) {
    case -3:
    case -11:
    case -12:
    case -13:
    case -14:
    case -15: return exitCode;
    default: return exitCode >= 0 ? exitCode : -15;
  }
}

// A folder only an administrator may write: one copy of the program does
// the installation with those rights, after checking everything afresh;
// this run reports and starts the application, so that nothing the user
// works with later runs as administrator.
int32_t InstallElevated() {
  ShowStatus("");
  std::string option;
  for (char c : gRun.OptionWord)
    if (c != '"') option += c;  // no quote survives the program's own rules
  const std::string& version = gRun.RemoteVer;
  const std::string parameters =
      "\"" + option + "\" " + kElevatedMark +
      ToHex(reinterpret_cast<const uint8_t*>(version.data()), version.size());
  int32_t exitCode = 0;
  switch (os::RunElevated(parameters, exitCode)) {
    case os::Elevation::kDeclined: return 0;  // nothing changed, nothing to report
    case os::Elevation::kUnavailable: return -3;
    case os::Elevation::kDone: break;
  }
  const int32_t code = CopyResult(exitCode);
  if (code > 0) ReportInstalled();
  return code;
}

int32_t RunPackage() {
  if (!AppFolderWritable()) return IsElevatedCopy() ? -3 : InstallElevated();
  int32_t code = InstallPackage();
  if (code > 0) {
    if (!IsElevatedCopy()) ReportInstalled();
    ScheduleSelfReplace();
  }
  return code;
}

}  // namespace

int32_t FetchInstaller(std::string& path) {
  path.clear();
  FileCheck check;
  if (gRun.LocalMode) {
    if (!IsPlainFileName(gRun.UpdateFile)) return 0;
    const std::string local = gRun.AppDir + gRun.UpdateFile;
    if (!UpdateFileCheck(check)) return -4;
    if ((check.hasDigest || check.hasSize) && !FileMatches(local, check)) return -4;
    path = local;
    return 0;
  }
  // A name from the server is joined to a local folder only when it cannot
  // leave that folder.
  if (!IsPlainFileName(gRun.UpdateFile)) return -1;
  if (!UpdateFileCheck(check)) return -4;
  const std::string target = GetTempFolder() + gRun.UpdateFile;
  DownloadResult got = DownloadFile(gRun.UrlFile + gRun.UpdateFile, target, check);
  if (got == DownloadResult::kMismatch) return -4;
  if (got == DownloadResult::kFailed) return -1;
  // Stopped by the user, if only just after the last byte: nothing starts.
  if (got == DownloadResult::kCancelled || UpdateCancelled()) {
    os::FileDelete(target);
    return 0;
  }
  path = target;
  return 0;
}

bool RunVerified(const std::string& path, const std::string& arguments, int32_t& exitCode) {
  return StartVerified(
      path, [&](const std::string& p) { return os::RunProgramAndWait(p, arguments, exitCode); });
}

bool AppFolderWritable() {
  const std::string probe = gRun.AppDir + "@temp.exe";
  return os::FileCopy(gRun.IniPath, probe, false) && os::FileDelete(probe);
}

std::string ElevatedVersionOf(const std::string& argument) {
  const std::string mark = kElevatedMark;
  if (argument.compare(0, mark.size(), mark) != 0) return std::string();
  const std::string hex = argument.substr(mark.size());
  std::string version(hex.size() / 2, '\0');
  if (version.empty() || !ParseHex(hex, reinterpret_cast<uint8_t*>(&version[0]), version.size()))
    return std::string();
  return version;
}

int32_t UpdateAsElevatedCopy() {
  if (gRun.RemoteVer != gRun.ElevatedVersion || gRun.UpdateFile.empty() || gRun.UpdateMode == "0" ||
      gRun.UpdateMode == "1" || gRun.UpdateMode == "2" ||
      UpperCase(ExtractFileExt(gRun.UpdateFile)) != ".ZIP")
    return 0;
  ShowUpdateStatus("Please wait to update ..... ", true);
  const int32_t code = RunPackage();
  ShowStatus("");
  return code;
}

std::string QuestionCaption() { return "PelMatic 2.000 - " + gRun.VerFile; }

std::string HomepageQuestionText() { return NotesBlock() + "Show homepage ?   " + CRLF; }

std::string UpdateQuestionText() {
  return NotesBlock() + gRun.UpdateFile + CRLF + CRLF +
         "Please CLOSE APPLICATION before update !   " + CRLF + CRLF +
         "UPDATE to the new version now (No= Show homepage) ?   " + CRLF;
}

int32_t OfferUpdate() {
  if (gRun.UpdateMode == "0") {
    ShowStatus(gRun.VerFile + ":  " + gRun.RemoteVer);
    os::Sleep(3000);
    return 0;  // the announcement stays until the program ends
  }
  if (gRun.UpdateFile.empty() || gRun.UpdateMode == "1") {
    if (os::ShowMessageBox(HomepageQuestionText(), QuestionCaption(), kHomepageQuestion) ==
        os::kIdOk)
      LaunchTarget(gRun.UrlDown);
    return 0;
  }
  // With skip=1 the question can skip this version, unless it is critical.
  bool skip = false;
  const int answer =
      gRun.SkipAllowed && !IsCriticalRelease()
          ? os::ShowMessageBoxWithCheck(UpdateQuestionText(), QuestionCaption(), kUpdateQuestion,
                                        kSkipThisVersion, skip)
          : os::ShowMessageBox(UpdateQuestionText(), QuestionCaption(), kUpdateQuestion);
  RememberAnswer(answer, skip);
  if (answer == os::kIdNo) {
    LaunchTarget(gRun.UrlDown);
    return 0;
  }
  if (answer != os::kIdYes) return 0;

  if (!gRun.CloseApp.empty() && IsAppRunning(gRun.CloseApp)) RequestClose();
  os::Sleep(500);

  if (gRun.UpdateMode == "2") {
    LaunchTarget(gRun.UrlFile + gRun.UpdateFile);
    return 0;
  }
  if (!gRun.CloseApp.empty()) {
    while (!WaitForAppToEnd(gRun.CloseApp, kCloseWaitMs)) {
      if (os::ShowMessageBox(
              "Please CLOSE APPLICATION before update !  " + CRLF + CRLF + gRun.CloseApp,
              QuestionCaption(), kCloseAppBox) != os::kIdRetry)
        return 0;
      RequestClose();
    }
  }
  const std::string type = UpperCase(ExtractFileExt(gRun.UpdateFile));
  ShowUpdateStatus("Please wait to update ..... ", type == ".ZIP");
  int32_t code = 0;
  if (type == ".EXE") {
    code = RunInstaller();
  } else if (type == ".ZIP") {
    code = RunPackage();
    if (code > 0) return code;  // the status window went before the notice
  }
  ShowStatus("");
  return code;
}
