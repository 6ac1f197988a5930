// The file-existence test: a search hit that is a file, not a folder.
#include <gtest/gtest.h>

#include "os/os.h"
#include "platform/files.h"
#include "testutil.h"

using testutil::TempDir;
using testutil::WriteFile;

TEST(FileExists, FirstSearchHitMustBeAFile) {
  TempDir dir;
  WriteFile(dir / "Uninstall.EXE", "x");
  ASSERT_TRUE(os::DirCreate(dir / "sub"));

  EXPECT_TRUE(FileExists(dir / "UNINSTALL.exe"));
  EXPECT_TRUE(FileExists(dir / "uninst*"));
  EXPECT_FALSE(FileExists(dir / "sub"));
  EXPECT_FALSE(FileExists(dir / "su?"));
  EXPECT_FALSE(FileExists(dir / "nothing*"));
}
