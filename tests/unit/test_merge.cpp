// The merge's order, skip rules and counting, on real folders, with moves
// that record what they are asked to do.
#include <gtest/gtest.h>

#include <algorithm>

#include "install/merge.h"
#include "testutil.h"

#ifdef _WIN32
#include <windows.h>
#endif

using testutil::S;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// A name the platform's directory search reports as hidden.
void MakeHidden(const std::string& folder, const std::string& name, bool asFolder) {
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
}

class Recorder : public MergeMoves {
 public:
  bool Prepare(const std::vector<MergeStep>& steps) override {
    planned = steps.size();
    return allow;
  }
  void CreateFolder(const std::string& path) override { done.push_back("mkdir " + path); }
  bool MoveIn(const std::string& path) override {
    if (static_cast<int>(moved++) == failAt) return false;
    done.push_back(path);
    return true;
  }
  bool allow = true;
  int failAt = -1;
  size_t planned = 0, moved = 0;
  std::vector<std::string> done;
};

class Merge : public ::testing::Test {
 protected:
  std::string Src() const { return root / "src" + S; }
  void SetUp() override {
    os::DirCreate(root / "src");
    WriteFile(Src() + "b.txt", "b");
    WriteFile(Src() + "a.txt", "a");
    os::DirCreate(Src() + "sub");
    WriteFile(Src() + "sub" + S + "d.txt", "d");
    os::DirCreate(Src() + "sub" + S + "deep");
    WriteFile(Src() + "sub" + S + "deep" + S + "e.txt", "e");
    os::DirCreate(Src() + "empty");
    WriteFile(Src() + "c.txt", "c");
    MakeHidden(Src(), "secret", false);
    MakeHidden(Src(), "cache", true);
  }
  int32_t Run() {
    int32_t counter = 0;
    MergeFolder(Src(), counter, moves);
    return counter;
  }
  TempDir root;
  Recorder moves;
};

}  // namespace

TEST(MergeGuard, ShortSourcePathsAreRefused) {
  Recorder moves;
  int32_t counter = 7;
  MergeFolder("C:\\a", counter, moves);
  EXPECT_EQ(counter, -101);
  counter = 0;
  MergeFolder("/a/", counter, moves);
  EXPECT_EQ(counter, -101);
  EXPECT_EQ(moves.planned, 0u);
  // Five characters pass the guard; a missing folder is simply empty.
  counter = 0;
  MergeFolder("zzzz" + S, counter, moves);
  EXPECT_EQ(counter, 0);
}

TEST_F(Merge, FilesOfAFolderFirstThenItsSubfoldersAndHiddenEntriesStayOut) {
  EXPECT_EQ(Run(), 5);
  // Windows lists a folder in the order of its file system: the order of
  // names within a folder is not the merge's to set.
  std::vector<std::string> sorted = moves.done;
  std::sort(sorted.begin(), sorted.end());
  const std::vector<std::string> expected = {"a.txt",
                                             "b.txt",
                                             "c.txt",
                                             "mkdir empty" + S,
                                             "mkdir sub" + S,
                                             "mkdir sub" + S + "deep" + S,
                                             "sub" + S + "d.txt",
                                             "sub" + S + "deep" + S + "e.txt"};
  EXPECT_EQ(sorted, expected);
  EXPECT_EQ(moves.planned, expected.size());
  auto at = [&](const std::string& step) {
    return std::find(moves.done.begin(), moves.done.end(), step) - moves.done.begin();
  };
  for (const char* top : {"a.txt", "b.txt", "c.txt"}) {
    EXPECT_LT(at(top), at("mkdir empty" + S));
    EXPECT_LT(at(top), at("mkdir sub" + S));
  }
  EXPECT_LT(at("mkdir sub" + S), at("sub" + S + "d.txt"));
  EXPECT_LT(at("sub" + S + "d.txt"), at("mkdir sub" + S + "deep" + S));
  EXPECT_LT(at("mkdir sub" + S + "deep" + S), at("sub" + S + "deep" + S + "e.txt"));
}

TEST_F(Merge, AFailedMoveEndsTheMergeAndARefusedPlanMovesNothing) {
  for (int failAt : {0, 2, 3, 4}) {
    moves = Recorder();
    moves.failAt = failAt;
    EXPECT_EQ(Run(), -102) << failAt;
    EXPECT_EQ(moves.moved, static_cast<size_t>(failAt + 1)) << "nothing after the failure";
  }
  moves = Recorder();
  moves.allow = false;
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(moves.done.empty());
}
