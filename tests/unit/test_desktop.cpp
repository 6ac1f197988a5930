// The desktop services over the OS layer: the temporary folder, process
// queries and launching, on the real system.
#include <gtest/gtest.h>

#include "os/os.h"
#ifndef _WIN32
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "os/os_posix.h"
#endif
#include "platform/desktop.h"
#include "platform/names.h"
#include "testutil.h"

using testutil::TempDir;

TEST(Desktop, TempFolderEndsWithSeparator) {
  std::string t = GetTempFolder();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back(), os::kPathSep);
}

TEST(Desktop, ProcessQueriesFindThisProgram) {
  const std::string self = ExtractFileName(os::ExePath());
  ASSERT_FALSE(self.empty());
  EXPECT_GE(CountProcesses(self), 1);
  EXPECT_EQ(CountProcesses(UpperCase(self)), CountProcesses(self));
  EXPECT_EQ(CountProcesses("no-such-program-4711.exe"), 0);
  EXPECT_TRUE(IsAppRunning(self));
  EXPECT_TRUE(IsAppRunning(UpperCase(self)));
  EXPECT_FALSE(IsAppRunning("no-such-program-4711.exe"));
  // A path is never reduced to its file name: it matches only where the
  // system reports full paths, which neither build's snapshot does.
  EXPECT_FALSE(IsAppRunning(os::ExePath()));
}

#ifndef _WIN32
// A process without a program image (a kernel thread, or one that is
// ending, as every Wine program briefly is with its Windows name as comm)
// runs no program: listing it under its comm made another build's
// PELMATIC.EXE count as a running copy of this one.
TEST(Desktop, ProcessesWithoutAnImageAreNotListed) {
  std::set<pid_t> kernelThreads;
  for (pid_t pid = 1; pid < 400; ++pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long flags = 0;
    for (int i = 3; i <= 9 && fields >> field; ++i)
      if (i == 9) flags = std::stoul(field);
    if (flags & 0x00200000UL) kernelThreads.insert(pid);  // PF_KTHREAD
  }
  if (kernelThreads.empty()) GTEST_SKIP() << "no kernel threads visible here";
  std::vector<std::pair<pid_t, std::string>> processes;
  ASSERT_TRUE(os::RunningProcesses(processes));
  bool self = false;
  for (const auto& p : processes) {
    EXPECT_EQ(kernelThreads.count(p.first), 0u) << p.first << " " << p.second;
    self = self || p.first == ::getpid();
  }
  EXPECT_TRUE(self);
}

// pkexec's answers as the run that asked for the rights takes them: its
// own statuses 126 (dismissed) and 127 (not allowed) are a declined
// prompt; any other is the copy's exit code, negative codes from their
// low byte; without pkexec no copy can be started.
TEST(Desktop, ElevationThroughPkexec) {
  TempDir bin;
  const char* path = std::getenv("PATH");
  const std::string saved = path ? path : "";
  ::setenv("PATH", bin.Path().c_str(), 1);
  int32_t code = 0;
  EXPECT_EQ(os::RunElevated("\"n\" /x", code), os::Elevation::kUnavailable);
  const std::string args = bin / "args.txt";
  for (int status : {126, 127, 0, 3, 125, os::ExitCodeFor(-3), os::ExitCodeFor(-15)}) {
    testutil::WriteFile(bin / "pkexec", "#!/bin/sh\nprintf '%s|' \"$@\" > '" + args + "'\nexit " +
                                            std::to_string(status) + "\n");
    ::chmod((bin / "pkexec").c_str(), 0755);
    code = 4711;
    const os::Elevation got = os::RunElevated("\"n\" /x", code);
    if (status == 126 || status == 127) {
      EXPECT_EQ(got, os::Elevation::kDeclined) << status;
      EXPECT_EQ(code, 4711) << status;
    } else {
      EXPECT_EQ(got, os::Elevation::kDone) << status;
      EXPECT_EQ(code, status >= 128 ? status - 256 : status);
    }
    EXPECT_EQ(testutil::ReadFile(args), os::ExePath() + "|n|/x|");
  }
  EXPECT_EQ(os::ExitCodeFor(4000), 125);
  ::setenv("PATH", saved.c_str(), 1);
}
#endif

TEST(Desktop, LaunchingAMissingFileFails) {
  TempDir dir;
  EXPECT_FALSE(LaunchTarget(dir / "missing.exe"));
}
