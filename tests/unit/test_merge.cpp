// The folder merge on real folders: what moves, what stays, what it counts.
#include <gtest/gtest.h>

#include "install/merge.h"
#include "testutil.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

using testutil::Exists;
using testutil::ReadFile;
using testutil::S;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// A name the platform's directory search reports as hidden.
std::string MakeHidden(const std::string& folder, const std::string& name, bool asFolder) {
#ifdef _WIN32
  std::string path = folder + name;
#else
  std::string path = folder + "." + name;
#endif
  if (asFolder) {
    os::DirCreate(path);
    WriteFile(path + S + "inside.txt", "x");
  } else {
    WriteFile(path, "hidden");
  }
#ifdef _WIN32
  SetFileAttributesA(path.c_str(),
                     FILE_ATTRIBUTE_HIDDEN | (asFolder ? FILE_ATTRIBUTE_DIRECTORY : 0));
#endif
  return path;
}

void MakeReadOnly(const std::string& path) {
#ifdef _WIN32
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
#else
  chmod(path.c_str(), 0444);
#endif
}

class Merge : public ::testing::Test {
 protected:
  std::string Src() const { return root / "src" + S; }
  std::string Dst() const { return root / "dst" + S; }
  void SetUp() override {
    os::DirCreate(root / "src");
    os::DirCreate(root / "dst");
  }
  int32_t Run() {
    int32_t counter = 0;
    MergeFolder(Src(), Dst(), counter);
    return counter;
  }
  TempDir root;
};

}  // namespace

TEST(MergeGuard, ShortSourcePathsAreRefused) {
  int32_t counter = 7;
  MergeFolder("C:\\a", "D:\\", counter);
  EXPECT_EQ(counter, -101);
  counter = 0;
  MergeFolder("/a/", "/b/", counter);
  EXPECT_EQ(counter, -101);
  // Five characters pass the guard; a missing folder is simply empty.
  counter = 0;
  MergeFolder("zzzz" + S, "nowhere" + S, counter);
  EXPECT_EQ(counter, 0);
}

TEST_F(Merge, FilesAndSubfoldersMoveAndEmptiedFoldersGo) {
  WriteFile(Src() + "a.txt", "new a");
  WriteFile(Src() + "b.txt", "b");
  WriteFile(Src() + "c.exe", "c");
  MakeReadOnly(Src() + "c.exe");
  os::DirCreate(Src() + "sub");
  WriteFile(Src() + "sub" + S + "d.txt", "d");
  WriteFile(Src() + "sub" + S + "e.txt", "e");
  os::DirCreate(Src() + "empty");
  WriteFile(Dst() + "a.txt", "old a");
  WriteFile(Dst() + "keep.txt", "mine");

  EXPECT_EQ(Run(), 5);
  EXPECT_EQ(ReadFile(Dst() + "a.txt"), "new a");
  EXPECT_EQ(ReadFile(Dst() + "keep.txt"), "mine");
  EXPECT_EQ(ReadFile(Dst() + "c.exe"), "c");
  EXPECT_EQ(ReadFile(Dst() + "sub" + S + "e.txt"), "e");
  EXPECT_TRUE(Exists(Dst() + "empty"));
  EXPECT_FALSE(Exists(Src() + "sub"));
  EXPECT_FALSE(Exists(Src() + "empty"));
  EXPECT_FALSE(Exists(Src() + "a.txt"));
  EXPECT_TRUE(Exists(Src()));  // the top-level source is the caller's to remove
}

TEST_F(Merge, HiddenEntriesStayWhereTheyAre) {
  std::string file = MakeHidden(Src(), "secret", false);
  std::string folder = MakeHidden(Src(), "cache", true);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Exists(file));
  EXPECT_TRUE(Exists(folder + S + "inside.txt"));
}

TEST_F(Merge, FailedMoveAtTopLevelStopsThisFolder) {
  WriteFile(Src() + "a.txt", "a");
  WriteFile(Src() + "b.txt", "b");
  WriteFile(Src() + "c.txt", "c");
  os::DirCreate(Src() + "sub");
  WriteFile(Src() + "sub" + S + "d.txt", "d");
  os::DirCreate(Dst() + "b.txt");  // a folder takes the name of a file

  EXPECT_EQ(Run(), -102);
  EXPECT_TRUE(Exists(Dst() + "a.txt"));  // moved before the failure, stays moved
  EXPECT_TRUE(Exists(Src() + "b.txt"));
  EXPECT_TRUE(Exists(Src() + "c.txt"));
  EXPECT_TRUE(Exists(Src() + "sub" + S + "d.txt"));  // no subfolder entered
  EXPECT_FALSE(Exists(Dst() + "sub"));
}

TEST_F(Merge, FailureInOneSubfolderLetsLaterOnesMergeUncounted) {
  os::DirCreate(Src() + "a");
  WriteFile(Src() + "a" + S + "x.txt", "x");
  os::DirCreate(Dst() + "a");
  os::DirCreate(Dst() + "a" + S + "x.txt");
  os::DirCreate(Src() + "b");
  WriteFile(Src() + "b" + S + "y.txt", "y");
  // A file where the subfolder should be: the folder cannot be created and
  // the first move into it fails.
  os::DirCreate(Src() + "c");
  WriteFile(Src() + "c" + S + "z.txt", "z");
  WriteFile(Dst() + "c", "a file");

  EXPECT_EQ(Run(), -102);
  EXPECT_TRUE(Exists(Src() + "a" + S + "x.txt"));
  EXPECT_EQ(ReadFile(Dst() + "b" + S + "y.txt"), "y");
  EXPECT_FALSE(Exists(Src() + "b"));
  EXPECT_TRUE(Exists(Src() + "c" + S + "z.txt"));
  EXPECT_EQ(ReadFile(Dst() + "c"), "a file");
}
