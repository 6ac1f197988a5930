// The configuration file, read into the run state as the check run reads it.
#include <gtest/gtest.h>

#include "core/runstate.h"
#include "testutil.h"
#include "version/config.h"

using testutil::TempDir;
using testutil::WriteFile;

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
