// Program entry and the check run.
#pragma once

#include <cstdint>
#include <string>

// Start-up: AppDir, IniPath, the random seed and COM.
void Startup(const std::string& exePath);
void Shutdown();
void RunUpdateCheck(const std::string& optionWord);

// The letters of the option word, each recognised anywhere in it.
struct Options {
  bool localMode;   // n: manifest and update files from the application folder
  bool force;       // f: the installed version counts as "0"
  bool quiet;       // @: no closing reports
  bool unattended;  // u: no window, one line of result, the result as the exit code
};
Options ParseOptions(const std::string& optionWord);

// How the start both runs make ended: the check and the copy started with
// administrator rights make the options; the guard, which lets copies run
// (the elevated copy's parent waits for it); an interrupted installation
// finished; the configuration and the administrator's policy read; then,
// where the interval (check_hours, the policy's CheckHours) does not hold
// a run with @ or u back, the manifest read and checked into CheckOutcome.
// polite: the user's own run, which keeps its choices and check times.
enum class Start { kChecked, kNoConfiguration, kAnotherCopy, kTurnedOff, kManualOnly, kNotDue };
Start CheckVersion(const std::string& optionWord, int32_t copies, bool polite, Options& options);
// The administrator's policy the last CheckVersion read.
struct Policy;
const Policy& RunPolicy();
// The run of the copy started with administrator rights: the check made
// again, then the update of the accepted version; its update code.
int32_t RunElevatedCopy(const std::string& optionWord);
// Runs the whole program and returns its exit code: 0, 1 after an unhandled
// error, or the update code in the elevated copy, which secondArgument
// marks.
int PelmaticMain(const std::string& optionWord, const std::string& secondArgument);

std::string UpToDateText();
std::string NoInformationText();
// "Updates of {label} are turned off by your administrator."
std::string TurnedOffText();
