#include "run/polite.h"

#include "core/runstate.h"
#include "os/os.h"
#include "version/choices.h"
#include "version/versiontext.h"

namespace {

std::string gPath;
Choices gChoices;

// A file that cannot be written is still read: this run keeps no choice.
void Store() { SaveChoices(gPath, gChoices); }

}  // namespace

void LoadUserChoices() {
  gPath = ChoicesPath(gRun.VerFile, gRun.AppDir);
  LoadChoices(gPath, gChoices);
}

bool CheckIsDue() {
  return gRun.CheckHours == 0 || !Within(gChoices.lastCheck, gRun.CheckHours, os::UnixTimeUtc());
}

void RecordCheck() {
  gChoices.lastCheck = os::UnixTimeUtc();
  Store();
}

bool IsCriticalRelease() {
  return !gRun.CriticalVer.empty() && CompareVersions(gRun.VerNow, gRun.CriticalVer) < 0;
}

bool HeldBack() {
  if (IsCriticalRelease()) return false;
  if (gRun.SkipAllowed && !gChoices.skipped.empty() &&
      CompareVersions(gRun.RemoteVer, gChoices.skipped) <= 0)
    return true;
  return gRun.RemindHours > 0 && gChoices.remindVersion == gRun.RemoteVer &&
         Within(gChoices.remindAt, gRun.RemindHours, os::UnixTimeUtc());
}

void RememberAnswer(int answer, bool skipTicked) {
  const bool critical = IsCriticalRelease();
  if (skipTicked && !critical && (answer == os::kIdNo || answer == os::kIdCancel)) {
    gChoices.skipped = gRun.RemoteVer;
  } else if (answer == os::kIdCancel && gRun.RemindHours > 0 && !critical) {
    gChoices.remindVersion = gRun.RemoteVer;
    gChoices.remindAt = os::UnixTimeUtc();
  } else {
    return;
  }
  Store();
}
