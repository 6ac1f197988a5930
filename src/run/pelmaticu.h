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
  bool localMode;  // n: manifest and update files from the application folder
  bool force;      // f: the installed version counts as "0"
  bool quiet;      // @: no closing reports
};
Options ParseOptions(const std::string& optionWord);
// The run of the copy started with administrator rights: the check made
// again, then the update of the accepted version; its update code.
int32_t RunElevatedCopy(const std::string& optionWord);
// Runs the whole program and returns its exit code: 0, 1 after an unhandled
// error, or the update code in the elevated copy, which secondArgument
// marks.
int PelmaticMain(const std::string& optionWord, const std::string& secondArgument);

std::string UpToDateText();
std::string NoInformationText();
