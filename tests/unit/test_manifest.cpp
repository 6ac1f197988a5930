// The manifest and configuration on real files, as the check run reads them.
#include <gtest/gtest.h>

#include "run/errors.h"
#include "run/runstate.h"
#include "testutil.h"
#include "version/config.h"
#include "version/manifest.h"

using testutil::TempDir;
using testutil::WriteFile;

namespace {

class Manifest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    gRun.AppDir = dir.Path();
    gRun.IniPath = dir / "pelmatic.ini";
    gRun.LocalMode = true;
    gRun.VerFile = "editor";
    gRun.VerNow = "2.30";
  }
  int32_t Evaluate(const std::string& manifest) {
    WriteFile(dir / "editor.ver", manifest);
    return EvaluateManifest();
  }
  TempDir dir;
};

}  // namespace

TEST_F(Manifest, TypicalManifestWithAlternativeForUninstallerInstalls) {
  const std::string text =
      "ver=2.31\r\nfile=editor231.zip\r\nfilealt=setup231.exe\r\nmode=3\r\n"
      "msg=New export filter.\r\nFaster start-up.<>\r\n";
  EXPECT_EQ(Evaluate(text), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(gRun.UpdateMode, "3");
  EXPECT_EQ(gRun.WhatsNew, "New export filter.\r\nFaster start-up.");
  EXPECT_EQ(gRun.UpdateFile, "editor231.zip");

  WriteFile(dir / "UNINSTAL.EXE", "x");
  EXPECT_EQ(Evaluate(text), 1);
  EXPECT_EQ(gRun.UpdateFile, "setup231.exe");
}

TEST_F(Manifest, AlternativeNeedsExeAndAFileMatchingTheUninstaller) {
  // A folder named like the uninstaller is not an uninstaller.
  ASSERT_TRUE(os::DirCreate(dir / "uninstal.exe"));
  EXPECT_EQ(Evaluate("ver=3\r\nfile=a.zip\r\nfilealt=setup.exe\r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
  ASSERT_TRUE(os::DirRemove(dir / "uninstal.exe"));

  WriteFile(dir / "uninstall.exe", "x");
  EXPECT_EQ(Evaluate("ver=3\r\nfile=a.zip\r\nfilealt=setup.zip\r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
  EXPECT_EQ(Evaluate("ver=3\r\nfilealt= Setup.EXE \r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "Setup.EXE");
}

TEST_F(Manifest, VersionOutcomes) {
  EXPECT_EQ(Evaluate("ver=2.30\r\n"), 0);
  EXPECT_EQ(Evaluate("ver=2.4\r\n"), 1);
  gRun.VerNow = "2.9";
  EXPECT_EQ(Evaluate("ver=2.10\r\n"), 0);
  EXPECT_EQ(Evaluate("Ver=2.31\r\n"), -1);   // keys are case-sensitive
  EXPECT_EQ(Evaluate("ver = 2.31\r\n"), -1);  // no blank before "="
  EXPECT_EQ(Evaluate("ver=   \r\nfile=x.zip\r\n"), -1);
  EXPECT_EQ(gRun.UpdateFile, "x.zip");  // the other fields are filled all the same
}

TEST_F(Manifest, FirstOccurrenceWinsEvenInsideLongerKeys) {
  EXPECT_EQ(Evaluate("server=main\r\nver=2.31\r\n"), 1);
  EXPECT_EQ(gRun.RemoteVer, "main");
  EXPECT_EQ(Evaluate("file=a.zip\r\nfilealt=b.exe\r\nfile=c.zip\r\n"), -1);
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
}

TEST_F(Manifest, ModeAndNotes) {
  EXPECT_EQ(Evaluate("ver=3\r\nmode=\r\n"), 1);
  EXPECT_EQ(gRun.UpdateMode, "3");
  Evaluate("ver=3\r\nmode=7\r\n");
  EXPECT_EQ(gRun.UpdateMode, "7");
  Evaluate("ver=3\r\nmsg=<>\r\n");
  EXPECT_EQ(gRun.WhatsNew, "<>");
  Evaluate("ver=3\r\nmsg=Line one\r\nLine two<>\r\n");
  EXPECT_EQ(gRun.WhatsNew, "Line one\r\nLine two");
  Evaluate("ver=3\r\nmsg=Line one\r\nLine two\r\n");
  EXPECT_EQ(gRun.WhatsNew, "Line one");
}

TEST_F(Manifest, LineEndsCtrlZAndEmptyText) {
  // A lone LF does not end a value, so the version runs on to the end.
  EXPECT_EQ(Evaluate("ver=2.31\nfile=a.zip\n"), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31\nfile=a.zip");
  // A lone CR does.
  EXPECT_EQ(Evaluate("ver=2.31\rfile=a.zip"), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
  EXPECT_EQ(Evaluate("mode=1\r\nver=2.31"), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(Evaluate("ver=2.31\r\n\x1A" "file=late.zip\r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "");
  EXPECT_EQ(Evaluate(""), -1);
  EXPECT_EQ(gRun.UpdateMode, "3");
  EXPECT_EQ(gRun.RemoteVer, "");
  EXPECT_EQ(gRun.UpdateFile, "");
  EXPECT_EQ(gRun.WhatsNew, "");
}

TEST_F(Manifest, MissingLocalManifestLeavesFieldsEmpty) {
  gRun.UpdateMode = "1";
  EXPECT_EQ(EvaluateManifest(), -1);
  EXPECT_EQ(gRun.UpdateMode, "");
}

TEST(ReadTextFile, LineRules) {
  TempDir dir;
  std::string text;
  auto read = [&](const std::string& bytes) {
    WriteFile(dir / "t.txt", bytes);
    EXPECT_TRUE(ReadTextFile(dir / "t.txt", text));
    return text;
  };
  EXPECT_EQ(read("a\r\nb\r\n"), "a\r\nb\r\n");
  EXPECT_EQ(read("a\r\nb"), "a\r\nb\r\n");
  EXPECT_EQ(read("a\rb\r"), "a\r\nb\r\n");
  EXPECT_EQ(read("a\nb"), "a\nb\r\n");
  EXPECT_EQ(read(""), "\r\n");
  EXPECT_EQ(read("a\r\n\r\n"), "a\r\n\r\n");
  EXPECT_EQ(read("a\x1A" "b\r\nc"), "a\r\n");
  EXPECT_EQ(read("a\r\n\x1A\r\nb"), "a\r\n");
  EXPECT_EQ(read(std::string("z\0z\r\n", 5)), std::string("z\0z\r\n", 5));
  std::string longLine(100000, 'x');
  EXPECT_EQ(read(longLine), longLine + "\r\n");

  EXPECT_FALSE(ReadTextFile(dir / "missing.txt", text));
  EXPECT_EQ(text, "");
  ASSERT_TRUE(os::DirCreate(dir / "folder.txt"));
  EXPECT_FALSE(ReadTextFile(dir / "folder.txt", text));
}

namespace {

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    gRun.AppDir = dir.Path();
    gRun.IniPath = dir / "pelmatic.ini";
  }
  TempDir dir;
};

}  // namespace

TEST_F(Config, MissingFileTouchesNothing) {
  EXPECT_FALSE(LoadConfig());
  EXPECT_EQ(gRun.VerFile, "unknown");
  EXPECT_EQ(gRun.VerNow, "0.00.0.a");
  EXPECT_FALSE(gRun.UrlFile.empty());
}

TEST_F(Config, ReadsAllKeysAndOverwritesMissingOnes) {
  WriteFile(gRun.IniPath,
            "; comment ver_now=9\r\n[Other]\r\nver_now=8\r\n[check]\r\nVER_NOW =  2.30 \r\n"
            "ver_file=editor\r\nurl_file = \"http://h/d/\" \r\nclose_app='editor.exe'\r\n");
  EXPECT_TRUE(LoadConfig());
  EXPECT_EQ(gRun.VerNow, "2.30");
  EXPECT_EQ(gRun.VerFile, "editor");
  EXPECT_EQ(gRun.UrlFile, "http://h/d/");
  EXPECT_EQ(gRun.CloseApp, "editor.exe");
  EXPECT_EQ(gRun.UrlDown, "");  // absent keys replace the built-in defaults
  EXPECT_EQ(gRun.RunApp, "");

  // Reading again after the file was replaced gives the new values.
  WriteFile(gRun.IniPath,
            "[Check]\nver_now=3.0\nver_file=tool\nurl_file=u/\nurl_down=d\nclose_app=c\n"
            "run_app=readme.txt\n");
  EXPECT_TRUE(LoadConfig());
  EXPECT_EQ(gRun.VerNow, "3.0");
  EXPECT_EQ(gRun.VerFile, "tool");
  EXPECT_EQ(gRun.UrlFile, "u/");
  EXPECT_EQ(gRun.UrlDown, "d");
  EXPECT_EQ(gRun.CloseApp, "c");
  EXPECT_EQ(gRun.RunApp, "readme.txt");
}

TEST_F(Config, BlankVersionOrNoSectionIsIncompleteButStillWritten) {
  WriteFile(gRun.IniPath, "[Check]\r\nver_now= \t \r\nver_file=editor\r\n");
  EXPECT_FALSE(LoadConfig());
  EXPECT_EQ(gRun.VerNow, "");
  EXPECT_EQ(gRun.VerFile, "editor");

  WriteFile(gRun.IniPath, "[Other]\r\nver_now=1\r\n");
  EXPECT_FALSE(LoadConfig());
  EXPECT_EQ(gRun.VerFile, "");
  EXPECT_EQ(gRun.UrlFile, "");
}

TEST_F(Config, LongValuesAreCutTo1023Bytes) {
  WriteFile(gRun.IniPath, "[Check]\r\nver_now=1\r\nrun_app=" + std::string(2000, 'r') + "\r\n");
  EXPECT_TRUE(LoadConfig());
  EXPECT_EQ(gRun.RunApp, std::string(1023, 'r'));
}
