#include "run/pelmaticu.h"

#include <exception>

#include "core/errors.h"
#include "core/runstate.h"
#include "install/package.h"
#include "install/transaction.h"
#include "os/os.h"
#include "platform/WaitMsg.h"
#include "platform/desktop.h"
#include "platform/names.h"
#include "run/offer.h"
#include "run/polite.h"
#include "run/unattended.h"
#include "version/config.h"
#include "version/manifest.h"
#include "version/policy.h"
#include "version/rollout.h"

namespace {

// Shows the "Application Error" box for an error nobody caught and ends the
// process with exit code 1.
[[noreturn]] void ReportUnhandledError(const std::string& kind, const std::string& message,
                                       uintptr_t address) {
  std::string text = UnhandledErrorText(kind, ExtractFileName(os::ExePath()), address, message);
  if (gRun.Unattended) {
    // No box: its text on the run's one line, and exit code 1.
    for (char& c : text)
      if (c == '\n' || c == '\r') c = ' ';
    os::WriteStandardOutput(gRun.VerFile + ": unexpected error: " + text + "\n");
    os::ExitProcess(1);
  }
  os::ShowMessageBox(text, "Application Error", os::kMbIconError | os::kMbTaskModal);
  // A status window still shown stays until the process is gone, as it
  // does on Windows: the error ends the run where it stands.
  gRun.StatusWindow.Release();
  // The run that started an elevated copy takes its exit code as the
  // update's result: an error must not read as files installed.
  os::ExitProcess(gRun.ElevatedVersion.empty() ? 1 : os::ExitCodeFor(-15));
}

}  // namespace

void Startup(const std::string& exePath) {
  gRun.AppDir = ExtractFilePath(exePath);
  gRun.IniPath = gRun.AppDir + "pelmatic.ini";
  os::SystemTime t = os::GetSystemTimeUtc();
  SeedRandom(t.hour, t.minute, t.second, t.millisecond);
  os::ComInitialize();
}

void Shutdown() {
  WaitMsgFinalize();
  ResetRunState();
  os::ComUninitialize();
}

std::string UpToDateText() {
  return "You do not need to update  !  \r\n\r\n" + gRun.VerFile +
         "\r\n\r\nremote version:   " + gRun.RemoteVer +
         ".\r\n\r\nyour old version:  " + gRun.VerNow + ".";
}

std::string NoInformationText() {
  std::string text = "Not able to find version info !   \r\n\r\n" + gRun.VerFile;
  // In strict mode the report says why the manifest was refused.
  if (!gRun.CheckReason.empty()) text += "\r\n\r\n" + gRun.CheckReason;
  return text;
}

Options ParseOptions(const std::string& optionWord) {
  auto has = [&](char c) { return optionWord.find(c) != std::string::npos; };
  return {has('n'), has('f'), has('@'), has('u')};
}

namespace {
Policy gPolicy;
}  // namespace

const Policy& RunPolicy() { return gPolicy; }

Start CheckVersion(const std::string& optionWord, int32_t copies, bool polite, Options& options) {
  options = ParseOptions(optionWord);
  gRun.LocalMode = options.localMode;
  gRun.OptionWord = optionWord;
  if (CountProcesses("PELMATIC.EXE") > copies) return Start::kAnotherCopy;
  // Before the configuration is read: it may be one of the files an
  // interrupted installation left in flight.
  RecoverInstallation(gRun.AppDir);
  gRun.CheckOutcome = -1;
  if (!LoadConfig()) return Start::kNoConfiguration;
  if (options.force) gRun.VerNow = "0";
  // The administrator's word goes before the configuration's.
  gPolicy = ReadPolicy(gRun.VerFile);
  const bool scheduled = options.quiet || options.unattended;  // no one asked for this check
  if (gPolicy.updates == Policy::kOff) return Start::kTurnedOff;
  if (gPolicy.updates == Policy::kManualOnly && scheduled) return Start::kManualOnly;
  if (gPolicy.hasCheckHours) gRun.CheckHours = gPolicy.checkHours;
  if (polite) {
    LoadUserChoices();
    if (scheduled && !CheckIsDue()) return Start::kNotDue;
  }
  gRun.CheckOutcome = EvaluateManifest();
  if (polite && gRun.CheckHours > 0 && gRun.CheckOutcome != -1) RecordCheck();
  // A version off the administrator's line is not newer at all. A machine
  // outside the share of a staged release goes on as if the manifest
  // announced what it has; one whose user asked (f) is offered the release
  // whatever the share.
  if (gRun.CheckOutcome == 1 && !PolicyTakes(gPolicy, gRun.RemoteVer))
    gRun.HeldBackVer = gRun.RemoteVer;
  if (gRun.CheckOutcome == 1 &&
      (!gRun.HeldBackVer.empty() ||
       (!options.force &&
        !RolloutOffers(os::MachineId(), gRun.RolloutShare, gRun.VerFile, gRun.RemoteVer)))) {
    gRun.CheckOutcome = 0;
    gRun.RemoteVer = gRun.VerNow;
  }
  return Start::kChecked;
}

std::string TurnedOffText() {
  return "Updates of " + gRun.VerFile + " are turned off by your administrator.";
}

void RunUpdateCheck(const std::string& optionWord) {
  Options options{};
  const Start start = CheckVersion(optionWord, 1, true, options);
  if (start == Start::kTurnedOff && !options.quiet) ShowNotice(TurnedOffText());
  if (start != Start::kChecked && start != Start::kNoConfiguration) return;
  int32_t updateCode = 0;
  // A run with @ leaves alone what the user skipped or asked to be
  // reminded of later; the user's own check always asks.
  if (gRun.CheckOutcome == 1 && !(options.quiet && HeldBack())) updateCode = OfferUpdate();
  if (!options.quiet) {
    if (gRun.CheckOutcome == 0)
      ShowNotice(UpToDateText());
    else if (gRun.CheckOutcome == -1)
      ShowNotice(NoInformationText());
  }
  if (updateCode < 0) {
    ShowStatus(std::to_string(updateCode) + " - Auto Update FAILED !");
    os::Sleep(3000);
    // A file that failed its check is not handed to the browser instead:
    // the homepage of the local configuration is.
    const bool failedCheck = updateCode == -4 || updateCode == -14;
    LaunchTarget(failedCheck ? gRun.UrlDown : gRun.UrlFile + gRun.UpdateFile);
    ShowStatus("");
  }
}

int32_t RunElevatedCopy(const std::string& optionWord) {
  // Nothing the run that started this copy could have written is trusted:
  // the configuration and the manifest are read and checked again.
  Options options{};
  if (CheckVersion(optionWord, 2, false, options) != Start::kChecked || gRun.CheckOutcome != 1)
    return 0;
  return UpdateAsElevatedCopy();
}

int PelmaticMain(const std::string& optionWord, const std::string& secondArgument) {
  try {
    Startup(os::ExePath());
    gRun.ElevatedVersion = ElevatedVersionOf(secondArgument);
    if (!gRun.ElevatedVersion.empty()) {
      const int32_t code = RunElevatedCopy(optionWord);
      Shutdown();
      return os::ExitCodeFor(code);
    }
    gRun.Unattended = ParseOptions(optionWord).unattended;
    if (gRun.Unattended) {
      const int code = RunUnattended(optionWord);
      Shutdown();
      return code;
    }
    RunUpdateCheck(optionWord);
    Shutdown();
  } catch (const EPelmaticError& e) {
    ReportUnhandledError(e.KindName(), e.what(), e.Address());
  } catch (const std::bad_alloc&) {
    ReportUnhandledError("EOutOfMemory", "Out of memory", 0);
  } catch (const std::exception& e) {
    ReportUnhandledError("Exception", e.what(), 0);
  }
  return 0;
}
