// Trimming and the byte-wise version comparison.
#include <gtest/gtest.h>

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
