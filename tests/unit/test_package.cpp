// Package installation with a known folder draw, on real folders; the
// archive-unpacking cases run where archives can be unpacked (POSIX).
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/runstate.h"
#include "install/package.h"
#include "testutil.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::S;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const char kIni[] = "[Check]\r\nver_now=1.0\r\n";

class Package : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::ResetRunStateIn(dir);
    gRun.UpdateFile = "update.zip";
    SeedRandom(12, 0, 0, 0);  // the draw then names the folder Temp4395
    WriteFile(gRun.IniPath, kIni);
  }
  void Zip(const std::string& path, const std::string& entries) {
    ASSERT_TRUE(testutil::PyZip(path, entries));
  }
  TempDir dir;
};

}  // namespace

TEST_F(Package, UnsafeNamesAreRefusedBeforeAnythingHappens) {
  const char* names[] = {"",          ".",       "..",        "..\\..\\x.zip", "../x.zip",
                         "C:\\x.zip", "C:x.zip", "sub/x.zip", "a\tb.zip",      "*.zip"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    gRun.UpdateFile = name;
    gRun.LocalMode = true;
    EXPECT_EQ(InstallPackage(), -12);
    gRun.LocalMode = false;
    gRun.UrlFile = "http://127.0.0.1:1/";
    EXPECT_EQ(InstallPackage(), -11);
  }
  EXPECT_FALSE(Exists(dir / "Temp4395"));
  EXPECT_EQ(ReadFile(gRun.IniPath), kIni);
}

TEST_F(Package, MissingArchiveAndTakenFolderName) {
  EXPECT_EQ(InstallPackage(), -12);  // local mode, no archive
  EXPECT_FALSE(Exists(dir / "Temp4395"));

  WriteFile(dir / "update.zip", "not looked at");
  os::DirCreate(dir / "Temp4395");
  WriteFile(dir / "Temp4395" + S + "left.txt", "from before");
  SeedRandom(12, 0, 0, 0);
  EXPECT_EQ(InstallPackage(), -12);
  EXPECT_EQ(ReadFile(dir / "Temp4395" + S + "left.txt"), "from before");
  EXPECT_TRUE(Exists(dir / "update.zip"));
  EXPECT_FALSE(Exists(dir / "pelmatic.OLD"));
}

TEST_F(Package, FailedDownloadIsMinusEleven) {
  REQUIRE_SERVER();
  gRun.LocalMode = false;
  gRun.UrlFile = testutil::ServerUrl();
  gRun.UpdateFile = "not-published.zip";
  EXPECT_EQ(InstallPackage(), -11);
  EXPECT_FALSE(Exists(dir / "not-published.zip"));
  gRun.UpdateFile = "";
  EXPECT_EQ(InstallPackage(), -11);
}

TEST(RandomDraw, FolderNumberFollowsFromStartTime) {
  SeedRandom(0, 0, 0, 0);
  EXPECT_EQ(1000 + RandomDraw(8999), 1000u);
  SeedRandom(12, 0, 0, 0);
  EXPECT_EQ(gRandomSeed, 43200000u);
  EXPECT_EQ(1000 + RandomDraw(8999), 4395u);
  SeedRandom(23, 59, 59, 999);
  EXPECT_EQ(gRandomSeed, 86399999u);
  uint32_t n = 1000 + RandomDraw(8999);
  EXPECT_GE(n, 1000u);
  EXPECT_LE(n, 9998u);
}

#ifndef _WIN32

TEST_F(Package, DownloadedPackageIsMergedAndTidiedUp) {
  REQUIRE_SERVER();
  gRun.LocalMode = false;
  gRun.UrlFile = testutil::ServerUrl();
  Zip(testutil::ServerRoot() + "update.zip",
      "z.writestr('app.exe', 'new app')\n"
      "z.writestr('pelmatic.exe', 'new checker')\n"
      "z.writestr('data/PELMATIC.EXE', 'nested stays')\n"
      "z.writestr('data/more.txt', 'more')\n");
  WriteFile(dir / "app.exe", "old app");
  WriteFile(dir / "PELMATIC.EXE", "running checker");

  EXPECT_EQ(InstallPackage(), 4);
  EXPECT_EQ(ReadFile(dir / "app.exe"), "new app");
  EXPECT_EQ(ReadFile(dir / "NEW_PELMATIC.EXE"), "new checker");
  EXPECT_EQ(ReadFile(dir / "PELMATIC.EXE"), "running checker");
  EXPECT_EQ(ReadFile(dir / "data" + S + "PELMATIC.EXE"), "nested stays");
  EXPECT_FALSE(Exists(dir / "update.zip"));
  EXPECT_FALSE(Exists(dir / "pelmatic.OLD"));
  EXPECT_FALSE(Exists(dir / "Temp4395"));
  EXPECT_EQ(ReadFile(gRun.IniPath), kIni);
}

TEST_F(Package, LocalPackageStaysAndMayBringConfiguration) {
  Zip(dir / "update.zip", "z.writestr('pelmatic.ini', '[Check]\\r\\nver_now=2.0\\r\\n')\n");
  EXPECT_EQ(InstallPackage(), 1);
  EXPECT_TRUE(Exists(dir / "update.zip"));
  EXPECT_EQ(ReadFile(gRun.IniPath), "[Check]\r\nver_now=2.0\r\n");
  EXPECT_FALSE(Exists(dir / "pelmatic.OLD"));
}

TEST_F(Package, NothingMovedOrFailedMergeRestoresConfiguration) {
  Zip(dir / "update.zip", "z.writestr('empty/', '')\n");
  EXPECT_EQ(InstallPackage(), -13);
  EXPECT_EQ(ReadFile(gRun.IniPath), kIni);
  EXPECT_FALSE(Exists(dir / "pelmatic.OLD"));
  EXPECT_FALSE(Exists(dir / "Temp4395"));

  // The package's configuration arrives first, then a move fails: the
  // folder is as it was, only the package stays.
  Zip(dir / "update.zip",
      "z.writestr('pelmatic.ini', 'from package')\n"
      "z.writestr('new.txt', 'new')\n"
      "z.writestr('zz.txt', 'blocked')\n");
  os::DirCreate(dir / "zz.txt");
  const auto before = testutil::Tree(dir.Path());
  SeedRandom(12, 0, 0, 0);
  EXPECT_EQ(InstallPackage(), -13);
  EXPECT_EQ(testutil::Tree(dir.Path()), before);

  // A journal an undo could not finish blocks every new installation.
  os::DirRemove(dir / "zz.txt");
  WriteFile(dir / "pelmatic.journal", "PELMATIC JOURNAL 1\nunpack Temp1234\n");
  EXPECT_EQ(InstallPackage(), -13);
  EXPECT_EQ(ReadFile(gRun.IniPath), kIni);
  EXPECT_FALSE(Exists(dir / "new.txt"));
}

TEST_F(Package, APackageMayNotBringTheInstallationsOwnEntries) {
  for (const char* entry : {"pelmatic.journal", "pelmatic.backup/x.txt"}) {
    Zip(dir / "update.zip", std::string("z.writestr('") + entry + "', 'x')\n");
    SeedRandom(12, 0, 0, 0);
    EXPECT_EQ(InstallPackage(), -12) << entry;
    EXPECT_FALSE(Exists(dir / "pelmatic.journal"));
    EXPECT_FALSE(Exists(dir / "Temp4395"));
  }
}

TEST_F(Package, LeftoversInTheUnpackFolderAreReportedNotFatal) {
  Zip(dir / "update.zip", "z.writestr('a.txt', 'a')\nz.writestr('.hidden', 'h')\n");
  testing::internal::CaptureStdout();
  int32_t code = InstallPackage();
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 1);
  EXPECT_NE(shown.find("Not able to replace all files from folder: Temp4395    \n"),
            std::string::npos);
  EXPECT_FALSE(Exists(dir / "Temp4395")) << "reported, then removed";
}

TEST_F(Package, LinkCheckAndRemovalNeverFollowLinks) {
  // What the installation does when links arrive in the unpack folder.
  os::DirCreate(dir / "outside");
  WriteFile(dir / "outside" + S + "victim.txt", "keep");
  os::DirCreate(dir / "unpack");
  os::DirCreate(dir / "unpack" + S + "sub");
  WriteFile(dir / "unpack" + S + "sub" + S + "f.txt", "f");
  EXPECT_FALSE(TreeHoldsLink(dir / "unpack"));
  ASSERT_EQ(
      std::system(
          ("ln -s '" + dir / "outside" + "' '" + dir / "unpack" + S + "sub" + S + "link'").c_str()),
      0);
  EXPECT_TRUE(TreeHoldsLink(dir / "unpack"));
  RemoveFolderTree(dir / "unpack");
  EXPECT_FALSE(Exists(dir / "unpack"));
  EXPECT_EQ(ReadFile(dir / "outside" + S + "victim.txt"), "keep");
}

TEST_F(Package, UnpackedTreesAreCheckedAgainstTheApplicationFolder) {
  os::DirCreate(dir / "unpack");
  os::DirCreate(dir / "unpack" + S + "sub");
  WriteFile(dir / "unpack" + S + "sub" + S + "ok.txt", "f");
  EXPECT_TRUE(TreeFitsInto(dir / "unpack", dir.Path()));
  // Room for the path of sub/ok.txt in the target, and not a byte more.
  const std::string fits(os::kMaxPathLength - std::string("sub/ok.txt").size(), 'x');
  EXPECT_TRUE(TreeFitsInto(dir / "unpack", fits));
  EXPECT_FALSE(TreeFitsInto(dir / "unpack", fits + "x"));
  for (const char* bad : {"CON", "aux.txt", "notes.", "notes ", "a:b"}) {
    SCOPED_TRACE(bad);
    WriteFile(dir / "unpack" + S + "sub" + S + bad, "x");
    EXPECT_FALSE(TreeFitsInto(dir / "unpack", dir.Path()));
    os::FileDelete(dir / "unpack" + S + "sub" + S + bad);
  }
  EXPECT_TRUE(TreeFitsInto(dir / "unpack", dir.Path()));
}

TEST_F(Package, RemovalReachesTreesDeeperThanAPathCanBe) {
  // 300 folders of 20 bytes: 6,300 bytes deep, made folder by folder.
  os::DirCreate(dir / "unpack");
  std::string script =
      "import os\nfd = os.open(r'" + dir / "unpack" +
      "', os.O_RDONLY)\n"
      "for i in range(300):\n"
      "    name = 'folder-%013d' % i\n"
      "    os.mkdir(name, dir_fd=fd)\n"
      "    fd = os.open(name, os.O_RDONLY, dir_fd=fd)\n"
      "open(os.open('f.txt', os.O_CREAT | os.O_WRONLY, dir_fd=fd), 'w').write('x')\n";
  WriteFile(dir / "deep.py", script);
  ASSERT_EQ(std::system(("python3 '" + dir / "deep.py" + "'").c_str()), 0);
  RemoveFolderTree(dir / "unpack");
  EXPECT_FALSE(Exists(dir / "unpack"));
}

#endif
