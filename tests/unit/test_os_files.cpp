// The file and folder calls of the OS layer, on the real system: each build
// keeps the Windows rules the program relies on.
#include <gtest/gtest.h>

#include <set>

#include "os/os.h"
#include "testutil.h"

using testutil::S;
using testutil::TempDir;
using testutil::WriteFile;

static std::set<std::string> Search(const std::string& pattern) {
  std::set<std::string> names;
  os::FindData d;
  os::UniqueFind search(os::FindFirst(pattern, d));
  if (!search) return names;
  do names.insert(d.name);
  while (os::FindNext(search.Get(), d));
  return names;
}

TEST(DirectorySearch, WildcardsIgnoreCaseAndReportAttributes) {
  TempDir dir;
  WriteFile(dir / "Uninstall.EXE", "x");
  WriteFile(dir / "readme", "x");
  WriteFile(dir / "a.txt", "x");
  ASSERT_TRUE(os::DirCreate(dir / "sub"));

  EXPECT_EQ(Search(dir / "uninstal*.exe"), std::set<std::string>{"Uninstall.EXE"});
  EXPECT_EQ(Search(dir / "?.TXT"), std::set<std::string>{"a.txt"});
  EXPECT_EQ(Search(dir / "*.*"),
            (std::set<std::string>{".", "..", "Uninstall.EXE", "readme", "a.txt", "sub"}));
  EXPECT_TRUE(Search(dir / "*.zip").empty());
  EXPECT_TRUE(Search(dir / "missing" + os::kPathSep + "*.*").empty());

  os::FindData d;
  ASSERT_TRUE(os::UniqueFind(os::FindFirst(dir / "sub", d)));
  EXPECT_NE(d.attributes & os::kAttrDirectory, 0u);
  EXPECT_EQ(d.name, "sub");
}

TEST(FileOperations, MoveCopyDeleteKeepWindowsRules) {
  TempDir dir;
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_FALSE(os::FileMove(dir / "a", dir / "b"));  // a plain rename never replaces
  EXPECT_TRUE(os::FileMoveReplace(dir / "a", dir / "b"));
  EXPECT_EQ(testutil::ReadFile(dir / "b"), "A");
  EXPECT_FALSE(testutil::Exists(dir / "a"));
  ASSERT_TRUE(os::DirCreate(dir / "d"));
  EXPECT_FALSE(os::FileMoveReplace(dir / "b", dir / "d"));
  EXPECT_FALSE(os::DirCreate(dir / "d"));
  EXPECT_TRUE(os::FileCopy(dir / "b", dir / "c", false));
  EXPECT_FALSE(os::FileCopy(dir / "b", dir / "c", true));
  EXPECT_EQ(testutil::ReadFile(dir / "c"), "A");
  EXPECT_FALSE(os::FileDelete(dir / "d"));
  EXPECT_TRUE(os::FileDelete(dir / "c"));
  EXPECT_FALSE(os::FileDelete(dir / "c"));
  EXPECT_TRUE(os::DirRemove(dir / "d"));

  os::FileHandle h = nullptr;
  EXPECT_EQ(os::FileOpenRead(dir / "missing", h), os::kErrFileNotFound);
  int32_t inMissingFolder = os::FileCreateShared(dir / "no" + os::kPathSep + "f", h);
  EXPECT_TRUE(inMissingFolder == os::kErrFileNotFound || inMissingFolder == os::kErrPathNotFound)
      << inMissingFolder;
}
