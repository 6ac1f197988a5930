// The unattended run (option u), for a scheduled task, a logon script or a
// deployment tool: no window of any kind, nothing that waits for a person,
// one line of result on standard output and the result as the exit code.
#pragma once

#include <string>

// Exit codes of an unattended run.
enum : int {
  kUnattendedUpToDate = 0,   // or not checked (the interval, the policy)
  kUnattendedError = 1,      // an unexpected error
  kUnattendedAvailable = 2,  // a newer version found and not installed
  kUnattendedInstalled = 3,
  kUnattendedNoInformation = 4,
  kUnattendedFailed = 5,
};

// The whole run; its exit code.
int RunUnattended(const std::string& optionWord);
