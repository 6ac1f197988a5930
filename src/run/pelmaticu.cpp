#include "run/pelmaticu.h"

#include <exception>

#include "os/os.h"
#include "platform/WaitMsg.h"
#include "platform/desktop.h"
#include "platform/names.h"
#include "run/errors.h"
#include "run/offer.h"
#include "run/runstate.h"
#include "version/config.h"
#include "version/manifest.h"

uint32_t gRandomSeed = 0;

void SeedRandom(int hour, int minute, int second, int millisecond) {
  gRandomSeed = static_cast<uint32_t>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond);
}

uint32_t RandomDraw(uint32_t range) {
  gRandomSeed = gRandomSeed * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(gRandomSeed) * range) >> 32);
}

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
  return "You do not need to update  !  \r\n\r\n" + gRun.VerFile + "\r\n\r\nremote version:   " +
         gRun.RemoteVer + ".\r\n\r\nyour old version:  " + gRun.VerNow + ".";
}

std::string NoInformationText() { return "Not able to find version info !   \r\n\r\n" + gRun.VerFile; }

Options ParseOptions(const std::string& optionWord) {
  auto has = [&](char c) { return optionWord.find(c) != std::string::npos; };
  return {has('n'), has('f'), has('@')};
}

void RunUpdateCheck(const std::string& optionWord) {
  const Options options = ParseOptions(optionWord);
  gRun.LocalMode = options.localMode;
  if (CountProcesses("PELMATIC.EXE") > 1) return;
  gRun.CheckOutcome = -1;
  int32_t updateCode = 0;
  if (LoadConfig()) {
    if (options.force) gRun.VerNow = "0";
    gRun.CheckOutcome = EvaluateManifest();
    if (gRun.CheckOutcome == 1) updateCode = OfferUpdate();
  }
  if (!options.quiet) {
    if (gRun.CheckOutcome == 0)
      ShowNotice(UpToDateText());
    else if (gRun.CheckOutcome == -1)
      ShowNotice(NoInformationText());
  }
  if (updateCode < 0) {
    ShowStatus(std::to_string(updateCode) + " - Auto Update FAILED !");
    os::Sleep(3000);
    LaunchTarget(gRun.UrlFile + gRun.UpdateFile);
    ShowStatus("");
  }
}

int PelmaticMain(const std::string& optionWord) {
  try {
    Startup(os::ExePath());
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
