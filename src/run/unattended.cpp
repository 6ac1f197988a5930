#include "run/unattended.h"

#include "core/runstate.h"
#include "install/package.h"
#include "install/selfreplace.h"
#include "os/os.h"
#include "platform/desktop.h"
#include "platform/names.h"
#include "run/offer.h"
#include "run/pelmaticu.h"
#include "version/config.h"
#include "version/policy.h"

namespace {

// The exit code and what happened, in words; one place makes the texts,
// from pieces, as the program travels with every installation.
int gCode = 0;
std::string gWhat;

int Say(int code, const std::string& what) {
  gCode = code;
  gWhat = what;
  return code;
}

// A failure code of an update, and what it means.
int Failed(int32_t code, const char* more = "") {
  static const struct {
    int32_t code;
    const char* why;
  } kWhy[] = {{-1, "the installer could not be downloaded"},
              {-2, "the installer could not be started"},
              {-3, "the application folder is not writable"},
              {-4, "the installer is not the one the manifest names"},
              {-11, "the package could not be downloaded"},
              {-12, "the package could not be unpacked"},
              {-13, "the package could not be installed; the installation is as it was"},
              {-14, "the package is not the one the manifest names"}};
  std::string what = "failed: " + std::to_string(code);
  for (const auto& w : kWhy)
    if (w.code == code) what = what + " " + w.why;
  return Say(kUnattendedFailed, what + more);
}

int NotInstalled(const std::string& why) {
  return Say(kUnattendedAvailable, "not installed: " + why);
}

// A newer version, by the manifest's mode and the type of its file. The
// application's running holds an update back: a request to close it could
// cost its user unsaved work.
int Update() {
  const std::string& mode = gRun.UpdateMode;
  if (mode == "0") return NotInstalled("announced only (mode 0)");
  if (gRun.UpdateFile.empty() || mode == "1")
    return NotInstalled("the manifest offers the homepage only");
  if (mode == "2") return NotInstalled("the manifest hands the file to the browser");
  const std::string type = UpperCase(ExtractFileExt(gRun.UpdateFile));
  if (type != ".EXE" && type != ".ZIP")
    return NotInstalled(gRun.UpdateFile + " is neither an installer nor a package");
  if (type == ".EXE" && gRun.SilentArgs.empty())
    return NotInstalled("the manifest gives the installer no silent_args");
  if (!gRun.CloseApp.empty() && IsAppRunning(gRun.CloseApp))
    return NotInstalled(gRun.CloseApp + " is running");
  if (type == ".ZIP") {
    // Nobody could answer the prompt for administrator rights.
    if (!AppFolderWritable())
      return Failed(-3, ", and an unattended run asks for no administrator rights");
    const int32_t files = InstallPackage();
    if (files <= 0) return Failed(files);
    ScheduleSelfReplace();
    return Say(kUnattendedInstalled, "installed, " + std::to_string(files) + " files");
  }
  std::string path;
  int32_t exitCode = FetchInstaller(path);
  if (exitCode < 0) return Failed(exitCode);
  if (path.empty() || !RunVerified(path, gRun.SilentArgs, exitCode)) return Failed(-2);
  const std::string started = ExtractFileName(path) + " " + gRun.SilentArgs;
  if (exitCode != 0)
    return Say(kUnattendedFailed,
               "failed: " + started + " exited with " + std::to_string(exitCode));
  return Say(kUnattendedInstalled, "installed by " + started + " (exit code 0)");
}

int Decide(Start start) {
  const char* notChecked = nullptr;
  switch (start) {
    case Start::kAnotherCopy: notChecked = "another copy of PelMatic runs"; break;
    case Start::kTurnedOff:
      notChecked = "updates are turned off by the administrator's policy";
      break;
    case Start::kManualOnly:
      notChecked = "the administrator's policy leaves checks to the user";
      break;
    case Start::kNotDue:
      return Say(kUnattendedUpToDate, "not checked: the last check is fewer than " +
                                          std::to_string(gRun.CheckHours) + " hours old");
    case Start::kNoConfiguration:
      return Say(kUnattendedNoInformation,
                 "no version information: pelmatic.ini is missing or names no ver_now");
    case Start::kChecked: break;
  }
  if (notChecked) return Say(kUnattendedUpToDate, std::string("not checked: ") + notChecked);
  if (gRun.CheckOutcome < 0)
    return Say(
        kUnattendedNoInformation,
        "no version information" + (gRun.CheckReason.empty() ? "" : ": " + gRun.CheckReason));
  if (gRun.CheckOutcome > 0) return Update();
  if (gRun.HeldBackVer.empty())
    return Say(kUnattendedUpToDate, "up to date (" + gRun.RemoteVer + " announced)");
  return Say(kUnattendedUpToDate, "up to date: " + gRun.HeldBackVer +
                                      " is held back by the policy's TargetVersionPrefix " +
                                      RunPolicy().targetVersionPrefix);
}

}  // namespace

int RunUnattended(const std::string& optionWord) {
  Options options{};
  const Start start = CheckVersion(optionWord, 1, true, options);
  // The guard comes before the configuration: the line names the product
  // all the same.
  if (start == Start::kAnotherCopy) LoadConfig();
  Decide(start);
  // The product, the versions, what happened and why, on one line.
  std::string line = gRun.VerFile;
  if (start != Start::kAnotherCopy && start != Start::kNoConfiguration) line += " " + gRun.VerNow;
  if (start == Start::kChecked && gRun.CheckOutcome == 1) line += " -> " + gRun.RemoteVer;
  line += ": " + gWhat;
  if (!RunPolicy().ignored.empty()) line += "; " + RunPolicy().ignored;
  os::WriteStandardOutput(line + "\n");
  return gCode;
}
