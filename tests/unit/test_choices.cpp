// The choices kept for an installation: the keys that switch them on, the
// state file written whole and read as written or not at all, the hours.
#include <gtest/gtest.h>

#include <vector>

#include "testutil.h"
#include "version/choices.h"

using testutil::TempDir;
using testutil::WriteFile;

TEST(Choices, HoursAreWholeNumbersFromOneTo8760) {
  EXPECT_EQ(ParseHours("24"), 24u);
  EXPECT_EQ(ParseHours(" 1 "), 1u);
  EXPECT_EQ(ParseHours("8760"), 8760u);
  for (const char* absent : {"", "0", "8761", "-1", "1.5", "24h", "0x18", "99999"})
    EXPECT_EQ(ParseHours(absent), 0u) << absent;
}

TEST(Choices, KeptWholeAndReadAsWrittenOrNotAtAll) {
  TempDir dir;
  const std::string path = dir / "deeper" + testutil::S + "state" + testutil::S + "editor.state";
  Choices c;
  c.lastCheck = 1765300000;
  c.skipped = "2.31";
  c.remindVersion = "2.32 beta";  // a blank inside the version is kept
  c.remindAt = 1765303600;
  ASSERT_TRUE(SaveChoices(path, c));  // the folders are made
  Choices read;
  ASSERT_TRUE(LoadChoices(path, read));
  EXPECT_EQ(read.lastCheck, c.lastCheck);
  EXPECT_EQ(read.skipped, "2.31");
  EXPECT_EQ(read.remindVersion, "2.32 beta");
  EXPECT_EQ(read.remindAt, c.remindAt);
  EXPECT_FALSE(testutil::Exists(path + ".new"));
  // Damaged, cut short, of another kind or missing: no choice at all.
  for (const std::string& bad : std::vector<std::string>{
           "", "garbage\n", "pelmatic-state 1\nskipped=2.31", "pelmatic-state 1\nchecked=12x\n",
           "pelmatic-state 1\nremind=2.31\n", "pelmatic-state 1\nskipped=\n",
           "pelmatic-state 2\nskipped=2.31\n",
           "pelmatic-state 1\nlong\n" + std::string(5000, 'x')}) {
    WriteFile(path, bad);
    EXPECT_FALSE(LoadChoices(path, read)) << bad;
    EXPECT_TRUE(read.skipped.empty() && read.lastCheck == -1);
  }
  // Keys of a later version are left alone; CR LF lines are taken.
  WriteFile(path, "pelmatic-state 1\r\nlater=x\r\nskipped=2.30\r\n");
  ASSERT_TRUE(LoadChoices(path, read));
  EXPECT_EQ(read.skipped, "2.30");
  EXPECT_FALSE(LoadChoices(dir / "missing.state", read));
  c.skipped = "2.31\nchecked=0";  // a version that would make a line of its own
  EXPECT_FALSE(SaveChoices(path, c));
  EXPECT_TRUE(ChoicesPath("editor", "C:\\A\\") == ChoicesPath("editor", "c:\\a\\"));
  EXPECT_NE(ChoicesPath("editor", "C:\\A\\"), ChoicesPath("editor", "C:\\B\\"));
}

TEST(Choices, AMomentHoldsForItsHoursAndNotFromTheFuture) {
  const int64_t now = 1765300000;
  EXPECT_TRUE(Within(now - 3599, 1, now));
  EXPECT_TRUE(Within(now, 1, now));
  EXPECT_FALSE(Within(now - 3600, 1, now));
  EXPECT_FALSE(Within(now + 1, 1, now));  // a clock set back
  EXPECT_FALSE(Within(-1, 8760, now));
}
