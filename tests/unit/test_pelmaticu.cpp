// The check run's reading of the option word.
#include <gtest/gtest.h>

#include "run/pelmaticu.h"

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
