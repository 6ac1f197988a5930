// The OS layer and the desktop services over it, on the real system.
#include <gtest/gtest.h>

#include <set>

#include "os/os.h"
#include "platform/desktop.h"
#include "platform/names.h"
#include "testutil.h"
#include "version/manifest.h"
#include "version/versiontext.h"

using testutil::TempDir;
using testutil::WriteFile;

static std::set<std::string> Search(const std::string& pattern) {
  std::set<std::string> names;
  os::FindData d;
  os::FindHandle h = os::FindFirst(pattern, d);
  if (!h) return names;
  do names.insert(d.name);
  while (os::FindNext(h, d));
  os::FindClose(h);
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
  os::FindHandle h = os::FindFirst(dir / "sub", d);
  ASSERT_NE(h, nullptr);
  os::FindClose(h);
  EXPECT_NE(d.attributes & os::kAttrDirectory, 0u);
  EXPECT_EQ(d.name, "sub");

  EXPECT_TRUE(FileExists(dir / "UNINSTALL.exe"));
  EXPECT_TRUE(FileExists(dir / "uninst*"));
  EXPECT_FALSE(FileExists(dir / "sub"));
  EXPECT_FALSE(FileExists(dir / "su?"));
  EXPECT_FALSE(FileExists(dir / "nothing*"));
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

TEST(FetchText, ReadsBodyAndRejectsBrokenAnswers) {
  REQUIRE_SERVER();
  const std::string root = testutil::ServerRoot();
  WriteFile(root + "fetch.ver", "ver=2.31\r\n");
  std::string text;
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "fetch.ver", text));
  EXPECT_EQ(text, "ver=2.31\r\n");
  // Never from a cache: a changed manifest is seen at once.
  WriteFile(root + "fetch.ver", "ver=2.32\r\n");
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "fetch.ver", text));
  EXPECT_EQ(text, "ver=2.32\r\n");
  WriteFile(root + "fetch.ver", "ver=2.31\r\n");

  // A zero byte drops the rest of its 64-byte piece, not the next piece.
  std::string body = std::string(10, 'a') + '\0' + std::string(53, 'b') + std::string(64, 'c');
  WriteFile(root + "zero.ver", body);
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "zero.ver", text));
  EXPECT_EQ(text, std::string(10, 'a') + std::string(64, 'c'));

  testutil::SetServerFaults(
      R"({"/missing.ver": {"status": 404, "body": "ver=9.9\r\n"},)"
      R"( "/cut.ver": {"cut": 6}, "/moved.ver": {"redirect": "/fetch.ver", "code": 302}})");
  WriteFile(root + "cut.ver", "ver=2.31\r\n");
  text = "stale";
  EXPECT_FALSE(FetchText(testutil::ServerUrl() + "missing.ver", text));
  EXPECT_EQ(text, "");
  text = "stale";
  EXPECT_FALSE(FetchText(testutil::ServerUrl() + "cut.ver", text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "moved.ver", text));
  EXPECT_EQ(text, "ver=2.31\r\n");
  testutil::SetServerFaults("{}");

  EXPECT_FALSE(FetchText("editor.ver", text));  // no scheme: cannot be opened
  EXPECT_FALSE(FetchText("http://127.0.0.1:1/x.ver", text));
}
