// The desktop services over the OS layer: the temporary folder, process
// queries and launching, on the real system.
#include <gtest/gtest.h>

#include "os/os.h"
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

TEST(Desktop, LaunchingAMissingFileFails) {
  TempDir dir;
  EXPECT_FALSE(LaunchTarget(dir / "missing.exe"));
}
