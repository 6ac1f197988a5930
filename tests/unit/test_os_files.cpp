// The file and folder calls of the OS layer, on the real system: each build
// keeps the Windows rules the program relies on.
#include <gtest/gtest.h>

#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

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

// Names in any script, whatever the system code page: the layer takes and
// gives UTF-8 on both builds.
TEST(FileOperations, NamesInAnyScript) {
  TempDir dir;
  const std::string folder =
      dir / "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBC\xD0\xBC\xD1\x8B";
  const std::string file =
      folder + S + "\xE6\x9D\x8E \xD0\xA1\xD0\xBF\xD1\x80\xD0\xB0\xD0\xB2\xD0\xBA\xD0\xB0.txt";
  ASSERT_TRUE(os::DirCreate(folder));
  os::FileHandle h = nullptr;
  ASSERT_EQ(os::FileCreateShared(file, h), 0);
  uint32_t written = 0;
  ASSERT_EQ(os::FileWrite(h, "text", 4, written), 0);
  ASSERT_EQ(os::FileClose(h), 0);
  EXPECT_EQ(Search(folder + S + "*.txt"),
            std::set<std::string>{
                "\xE6\x9D\x8E \xD0\xA1\xD0\xBF\xD1\x80\xD0\xB0\xD0\xB2\xD0\xBA\xD0\xB0.txt"});
  EXPECT_EQ(testutil::ReadFile(file), "text");
  EXPECT_TRUE(os::FileMoveReplace(file, folder + S + "\xCE\xB1.txt"));
  uint32_t attributes = 0;
  EXPECT_TRUE(os::PathAttributes(folder + S + "\xCE\xB1.txt", attributes));
  EXPECT_TRUE(os::FileDelete(folder + S + "\xCE\xB1.txt"));
  EXPECT_TRUE(os::DirRemove(folder));
}

#ifdef _WIN32
// What the program gives that is no UTF-8 names nothing and fails clearly,
// never another file.
TEST(FileOperations, NamesThatAreNoUtf8FailAtTheEdge) {
  TempDir dir;
  WriteFile(dir / "plain.txt", "x");
  os::FileHandle h = nullptr;
  for (const std::string bad : {"\xFF.txt", "plain.txt\xC3", "\xC0\xAEplain.txt"}) {
    EXPECT_EQ(os::FileOpenRead(dir / bad, h), ERROR_INVALID_NAME) << bad;
    EXPECT_EQ(os::FileCreateShared(dir / bad, h), ERROR_INVALID_NAME) << bad;
    EXPECT_FALSE(os::FileDelete(dir / bad));
    EXPECT_FALSE(os::FileCopy(dir / "plain.txt", dir / bad, false));
    EXPECT_EQ(os::FileRename(dir / "plain.txt", dir / bad, true), ERROR_INVALID_NAME);
    EXPECT_FALSE(os::DirCreate(dir / bad));
    os::FindData found;
    EXPECT_EQ(os::UniqueFind(os::FindFirst(dir / bad, found)).Get(), nullptr);
    EXPECT_LE(os::ShellOpen(dir / bad, "", "", os::kSwHide), os::kShellLastError);
  }
  EXPECT_EQ(Search(dir / "*"), (std::set<std::string>{".", "..", "plain.txt"}));
  // A text stored in the system code page arrives as UTF-8.
  if (::GetACP() == 1252) {
    EXPECT_EQ(os::SystemCodePageToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  }
}

// What Windows gives that is no UTF-16 (a surrogate without its pair, which
// NTFS takes in a name) comes back as the same name.
TEST(FileOperations, ALoneSurrogateInANameNamesTheSameFile) {
  TempDir dir;
  const std::string folder = dir.Path();
  std::wstring name(folder.begin(), folder.end());  // the temporary folder is ASCII here
  name += L"\xD800odd.txt";
  HANDLE made = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (made == INVALID_HANDLE_VALUE)
    GTEST_SKIP() << "this file system takes no such name (Wine's are Unix names, in UTF-8)";
  ::CloseHandle(made);
  const std::string odd = "\xED\xA0\x80odd.txt";
  EXPECT_EQ(Search(dir / "*odd.txt"), std::set<std::string>{odd});
  os::FileHandle h = nullptr;
  ASSERT_EQ(os::FileOpenRead(dir / odd, h), 0);
  os::FileClose(h);
  EXPECT_TRUE(os::FileDelete(dir / odd));
}
#endif
