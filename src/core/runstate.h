// The one program-wide record of a run's settings and results.
#pragma once

#include <cstdint>
#include <string>

#include "os/os.h"

struct RunState {
  os::UniqueWindow StatusWindow;  // the status window, while one is shown
  std::string IniPath = "pelmatic.ini";
  std::string VerNow = "0.00.0.a";
  std::string VerFile = "unknown";
  std::string UrlFile = "http://www.pelmatic.example/download/";
  std::string UrlDown = "http://www.pelmatic.example/";
  std::string RunApp;
  std::string CloseApp;
  std::string PubKey;       // the trusted keys; any text turns strict mode on
  std::string CheckReason;  // why a manifest was refused in strict mode
  std::string RemoteVer;
  std::string UpdateFile;
  std::string UpdateMode;
  std::string WhatsNew;
  // What the manifest says of the update file: its digest and length, as
  // written (empty when not given), and whether the keys were there.
  std::string UpdateSha256;
  std::string UpdateSize;
  bool UpdateSha256Given = false;
  bool UpdateSizeGiven = false;
  std::string VerifiedKey;  // the trusted key that verified the manifest, hex
  // The delta package the manifest offers from the installed version to
  // the full package's, with its digest and length as written; empty when
  // it offers none.
  std::string DeltaFile;
  std::string DeltaSha256;
  std::string DeltaSize;
  // The share of installations the release is offered to now, in
  // hundredths of a percent (10000: every one).
  uint32_t RolloutShare = 10000;
  std::string AppDir;
  int32_t CheckOutcome = -1;
  bool LocalMode = false;
  std::string OptionWord;  // as the run was given it
  // In the copy started with administrator rights for a protected
  // application folder: the version the user accepted; empty in every
  // other run.
  std::string ElevatedVersion;
  // An update that asks politely (remind_hours, skip, check_hours; 0 and
  // false when pelmatic.ini does not switch them on).
  uint32_t RemindHours = 0;
  bool SkipAllowed = false;
  uint32_t CheckHours = 0;
  // The manifest's critical=: installations below it are not held back.
  std::string CriticalVer;
  // The manifest's silent_args=: how its installer runs with no one at the
  // screen; an unattended run starts no installer without them.
  std::string SilentArgs;
  // The option u: no window of any kind, one line of result, its code.
  bool Unattended = false;
  // The announced version the administrator's TargetVersionPrefix held
  // back (the run went on as if the manifest announced the installed one).
  std::string HeldBackVer;
};

extern RunState gRun;

// Puts the record back to the values it has when the program loads.
void ResetRunState();
