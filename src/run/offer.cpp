#include "run/offer.h"

#include "core/runstate.h"
#include "install/package.h"
#include "install/selfreplace.h"
#include "os/os.h"
#include "platform/WaitMsg.h"
#include "platform/desktop.h"
#include "platform/download.h"
#include "platform/names.h"
#include "platform/progress.h"
#include "version/config.h"

namespace {

const std::string CRLF = "\r\n";
constexpr uint32_t kQuestionStyle = os::kMbIconQuestion | os::kMbSystemModal | os::kMbTopmost;
constexpr uint32_t kHomepageQuestion = os::kMbOkCancel | kQuestionStyle;
constexpr uint32_t kUpdateQuestion = os::kMbYesNoCancel | kQuestionStyle;

std::string NotesBlock() {
  return "There is NEW VERSION available :   " + CRLF + CRLF +
         "remote version:   " + gRun.RemoteVer + "." + CRLF + CRLF +
         "your old version:  " + gRun.VerNow + "." + CRLF + CRLF + "What is new: " + CRLF +
         gRun.WhatsNew + "   " + CRLF + CRLF;
}

// Starts a checked installer while holding it open with writes denied, so
// that nobody can swap it between the check and the start.
bool LaunchVerified(const std::string& path) {
  os::FileHandle h = nullptr;
  os::FileOpenRead(path, h);
  os::UniqueFile held(h);
  return LaunchTarget(path);
}

// The installer is fetched into the temporary folder and started from there.
int32_t RunInstaller() {
  FileCheck check;
  if (gRun.LocalMode) {
    if (!IsPlainFileName(gRun.UpdateFile)) return 0;
    const std::string local = gRun.AppDir + gRun.UpdateFile;
    if (!UpdateFileCheck(check)) return -4;
    if ((check.hasDigest || check.hasSize) && !FileMatches(local, check)) return -4;
    LaunchVerified(local);
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
  return LaunchVerified(target) ? 0 : -2;
}

int32_t RunPackage() {
  const std::string probe = gRun.AppDir + "@temp.exe";
  if (!os::FileCopy(gRun.IniPath, probe, false) || !os::FileDelete(probe)) return -3;
  int32_t code = InstallPackage();
  if (code > 0) {
    ShowStatus("");
    ShowNotice("Update is now complete !    " + CRLF + CRLF + gRun.VerFile);
    // The package may have brought a new configuration.
    if (LoadConfig() && !gRun.RunApp.empty()) {
      if (UpperCase(ExtractFileExt(gRun.RunApp)) == ".EXE")
        LaunchTarget(gRun.AppDir + gRun.RunApp);
      else
        LaunchTarget(gRun.RunApp);
    }
    ScheduleSelfReplace();
  }
  return code;
}

}  // namespace

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
  int answer = os::ShowMessageBox(UpdateQuestionText(), QuestionCaption(), kUpdateQuestion);
  if (answer == os::kIdNo) {
    LaunchTarget(gRun.UrlDown);
    return 0;
  }
  if (answer != os::kIdYes) return 0;

  const std::string window = StripFileExt(gRun.CloseApp);
  if (!gRun.CloseApp.empty() && IsAppRunning(gRun.CloseApp)) {
    CloseAppWindow(window);
    os::Sleep(100);
    CloseAppWindow(window);
  }
  os::Sleep(500);

  if (gRun.UpdateMode == "2") {
    LaunchTarget(gRun.UrlFile + gRun.UpdateFile);
    return 0;
  }
  if (!gRun.CloseApp.empty() && IsAppRunning(gRun.CloseApp)) {
    ShowNotice("Please CLOSE APPLICATION before update !  ");
    return 0;
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
