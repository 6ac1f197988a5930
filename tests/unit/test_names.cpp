// Upper-casing and the parts of a path.
#include <gtest/gtest.h>

#include "os/os.h"
#include "platform/names.h"

TEST(Names, UpperCasingLeavesBytesFrom128Alone) {
  EXPECT_EQ(UpperCase("editor.exe"), "EDITOR.EXE");
  EXPECT_EQ(UpperCase("caf\xE9"), "CAF\xE9");
  EXPECT_NE(UpperCase("\xE9"), UpperCase("\xC9"));
  EXPECT_EQ(UpperCase("a-z{`@[0"), "A-Z{`@[0");
}

TEST(Names, ExtensionAndFileNamePart) {
  const std::string sep(1, os::kPathSep);
  EXPECT_EQ(ExtractFileExt("setup.exe.txt"), ".txt");
  EXPECT_EQ(ExtractFileExt("update.zip"), ".zip");
  EXPECT_EQ(ExtractFileExt("noext"), "");
  EXPECT_EQ(ExtractFileExt("dir.d" + sep + "file"), "");
  EXPECT_EQ(StripFileExt("editor.exe"), "editor");
  EXPECT_EQ(ChangeFileExt("a" + sep + "pelmatic.ini", ".OLD"), "a" + sep + "pelmatic.OLD");
  EXPECT_EQ(ChangeFileExt("a.b" + sep + "pelmatic", ".OLD"), "a.b" + sep + "pelmatic.OLD");
  EXPECT_EQ(ExtractFileName("x" + sep + "y" + sep + "PELMATIC.EXE"), "PELMATIC.EXE");
  EXPECT_EQ(ExtractFileName("PELMATIC.EXE"), "PELMATIC.EXE");
  EXPECT_EQ(ExtractFilePath("x" + sep + "y.exe"), "x" + sep);
#ifdef _WIN32
  EXPECT_EQ(ExtractFileName("C:PELMATIC.EXE"), "PELMATIC.EXE");
  EXPECT_EQ(ExtractFilePath("C:\\Apps\\PELMATIC.EXE"), "C:\\Apps\\");
#endif
}
