// What the user chose about the versions offered to one installation, and
// when it last checked: kept in a small file of the user's own (never in
// the application folder or the registry), so that a run at every start
// of the application asks politely.
#pragma once

#include <cstdint>
#include <string>

// The most hours a key of pelmatic.ini or the policy can name: a year.
constexpr uint32_t kMaxHours = 8760;

// The keys of pelmatic.ini that switch these on; 0 or false when absent
// or not a whole number from 1 to kMaxHours.
struct PoliteKeys {
  uint32_t remindHours = 0;  // remind_hours: Cancel means "remind me later"
  bool skip = false;         // skip=1: the question can skip a version
  uint32_t checkHours = 0;   // check_hours: runs with @ check this seldom
};
// A whole number of hours from 1 to 8760 as written (blanks around it
// aside), or 0.
uint32_t ParseHours(const std::string& value);

struct Choices {
  int64_t lastCheck = -1;     // seconds since 1970 (UTC) of the last check that read a manifest
  std::string skipped;        // never offer this version or an older one
  std::string remindVersion;  // do not offer this version again ...
  int64_t remindAt = -1;      // ... for the hours of remind_hours from this moment
};

// The state file of the installation in appDir for the product verFile:
// the user's state folder (%LOCALAPPDATA%\PelMatic\, $XDG_STATE_HOME/
// pelmatic/) + verFile + "-" + a short hash of appDir + ".state". Empty
// when the user has no such folder.
std::string ChoicesPath(const std::string& verFile, const std::string& appDir);
// The choices stored at path; false, with none, when the file is missing,
// damaged or cannot be read.
bool LoadChoices(const std::string& path, Choices& choices);
// Writes them whole: beside, then renamed over the old file, its folder
// made first. False when that cannot be done; nothing is raised.
bool SaveChoices(const std::string& path, const Choices& choices);

// True while a moment of then, hours long, has not passed at now; a moment
// in the future (a clock set back) holds nothing.
bool Within(int64_t then, uint32_t hours, int64_t now);
