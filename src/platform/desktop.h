// The program's few contacts with the desktop and with other programs.
#pragma once

#include <cstdint>
#include <string>

extern const char* const kNoticeCaption;

// An information box; four blanks are always appended to the text.
void ShowNotice(const std::string& text);
// Opens a program, document or URL through the shell; true when started.
bool LaunchTarget(const std::string& target);
// The temporary folder with its trailing separator, or empty.
std::string GetTempFolder();
// Running processes whose image name equals imageName, letter case ignored.
int32_t CountProcesses(const std::string& imageName);
// True when a process runs whose image name, or its file-name part, equals
// nameOrPath, letter case ignored.
bool IsAppRunning(const std::string& nameOrPath);
// Posts a close request to the first top-level window with that title.
void CloseAppWindow(const std::string& title);
// Posts a close request to the main windows of every process that
// IsAppRunning(nameOrPath) finds, whatever their titles.
void CloseAppProcesses(const std::string& nameOrPath);
// Waits until no such process runs, at most ms, checking every 100 ms with
// the window answering; true once none runs.
bool WaitForAppToEnd(const std::string& nameOrPath, uint32_t ms);
