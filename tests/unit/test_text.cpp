// Texts, names, versions and the small pieces of arithmetic the run relies on.
#include <gtest/gtest.h>

#include "os/cmdline.h"
#include "os/os.h"
#include "platform/WaitMsg.h"
#include "platform/names.h"
#include "run/errors.h"
#include "run/pelmaticu.h"
#include "version/manifest.h"
#include "version/versiontext.h"

TEST(VersionComparison, IsByteWiseNeverNumeric) {
  EXPECT_LT(CompareVersions("2.10", "2.9"), 0);
  EXPECT_LT(CompareVersions("10.0", "9.0"), 0);
  EXPECT_GT(CompareVersions("2.3.1", "2.3"), 0);
  EXPECT_GT(CompareVersions("2.0b", "2.0a"), 0);
  EXPECT_GT(CompareVersions("a", "A"), 0);
  EXPECT_EQ(CompareVersions("2.31", "2.31"), 0);
  EXPECT_GT(CompareVersions("2.4", "2.31"), 0);
  EXPECT_LT(CompareVersions("", "0"), 0);
  // Bytes compare unsigned: 0xE9 is above every ASCII byte.
  EXPECT_GT(CompareVersions("2.\xE9", "2.z"), 0);
}

TEST(Trim, RemovesEveryByteUpToBlankFromBothEndsOnly) {
  EXPECT_EQ(Trim(std::string("\t \r\n\x01 2.31 \x1f\0", 13)), "2.31");
  EXPECT_EQ(Trim(" a b "), "a b");
  EXPECT_EQ(Trim(" \t "), "");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");  // no-break space is not a blank byte
}

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

TEST(ExtractValue, TakesTextBetweenFirstStartAndNextEnd) {
  EXPECT_EQ(ExtractValue("ver=2.31\r", "ver=", "\r"), "2.31");
  EXPECT_EQ(ExtractValue("server=main\r\nver=2.31\r", "ver=", "\r"), "main");
  EXPECT_EQ(ExtractValue("ver=\r", "ver=", "\r"), "");
  EXPECT_EQ(ExtractValue("ver=2.31", "ver=", "\r"), "");  // no end marker
  EXPECT_EQ(ExtractValue("mode=1\r", "ver=", "\r"), "");
  EXPECT_EQ(ExtractValue("ver=1\r", "", "\r"), "");  // an empty marker is never found
  EXPECT_EQ(ExtractValue("msg=a\r\nb<>c<>", "msg=", "<>"), "a\r\nb");
  // The end marker is searched after the start marker only.
  EXPECT_EQ(ExtractValue("<>msg=x<>", "msg=", "<>"), "x");
}

TEST(Errors, InOutMessagesByCode) {
  EXPECT_EQ(InOutErrorMessage(2), "File not found");
  EXPECT_EQ(InOutErrorMessage(3), "Invalid filename");
  EXPECT_EQ(InOutErrorMessage(4), "Too many open files");
  EXPECT_EQ(InOutErrorMessage(5), "File access denied");
  EXPECT_EQ(InOutErrorMessage(100), "Read beyond end of file");
  EXPECT_EQ(InOutErrorMessage(101), "Disk full");
  EXPECT_EQ(InOutErrorMessage(106), "Invalid numeric input");
  EXPECT_EQ(InOutErrorMessage(32), "I/O error 32");
}

TEST(Errors, UnhandledBoxText) {
  EXPECT_EQ(UnhandledErrorText("EInOutError", "PELMATIC.EXE", 0x40123A, "File access denied"),
            "Exception EInOutError in module PELMATIC.EXE at 0040123A.\nFile access denied.");
  // A message that already ends with a period gets no second one.
  EXPECT_EQ(UnhandledErrorText("EOleError", "P.EXE", 0xDEADBEEF, "Done."),
            "Exception EOleError in module P.EXE at DEADBEEF.\nDone.");
  try {
    RaiseInOutError(112);
    FAIL() << "no error raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 101);
    EXPECT_STREQ(e.what(), "Disk full");
    EXPECT_STREQ(e.KindName(), "EInOutError");
    EXPECT_NE(e.Address(), 0u);
  }
}

TEST(CommandLine, FirstArgumentByTheProgramsOwnRules) {
  EXPECT_EQ(FirstArgumentOf("\"C:\\Program Files\\App\\PELMATIC.EXE\" -nf"), "-nf");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE -n -f"), "-n");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE"), "");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE   "), "");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE \"a b\"c d"), "a bc");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE\t\x01@n"), "@n");
  EXPECT_EQ(FirstArgumentOf("\"C:\\a b\\P.EXE\"\"x\" y"), "y");
}

TEST(StatusWindow, CentredWithTruncatingDivision) {
  StatusPlace p = StatusPosition(1023, 705);
  EXPECT_EQ(p.x, 336);
  EXPECT_EQ(p.y, 302);
  EXPECT_EQ(StatusPosition(345, 100).x, -2);
  EXPECT_EQ(StatusPosition(345, 95).y, -2);
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

TEST(OptionWord, LettersCountAnywhereAndCaseMatters) {
  Options o = ParseOptions("info");
  EXPECT_TRUE(o.localMode);
  EXPECT_TRUE(o.force);
  EXPECT_FALSE(o.quiet);
  o = ParseOptions("N");
  EXPECT_FALSE(o.localMode || o.force || o.quiet);
  o = ParseOptions("/fn@");
  EXPECT_TRUE(o.localMode && o.force && o.quiet);
  o = ParseOptions("");
  EXPECT_FALSE(o.localMode || o.force || o.quiet);
  o = ParseOptions("-F");
  EXPECT_FALSE(o.force);
}
