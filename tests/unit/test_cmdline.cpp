// The option word as the program reads it from a Windows command line.
#include <gtest/gtest.h>

#include "os/cmdline.h"

TEST(CommandLine, FirstArgumentByTheProgramsOwnRules) {
  EXPECT_EQ(FirstArgumentOf("\"C:\\Program Files\\App\\PELMATIC.EXE\" -nf"), "-nf");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE -n -f"), "-n");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE"), "");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE   "), "");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE \"a b\"c d"), "a bc");
  EXPECT_EQ(FirstArgumentOf("PELMATIC.EXE\t\x01@n"), "@n");
  EXPECT_EQ(FirstArgumentOf("\"C:\\a b\\P.EXE\"\"x\" y"), "y");
}

TEST(CommandLine, LaterArgumentsForTheElevatedCopy) {
  const std::string line = "\"C:\\Program Files\\P.EXE\" \"\" /elevated=322E3331";
  EXPECT_EQ(ArgumentOf(line, 0), "C:\\Program Files\\P.EXE");
  EXPECT_EQ(ArgumentOf(line, 1), "");  // an empty option word keeps its place
  EXPECT_EQ(ArgumentOf(line, 2), "/elevated=322E3331");
  EXPECT_EQ(ArgumentOf(line, 3), "");
  EXPECT_EQ(ArgumentsOf("P.EXE \"-@ n\"  x").size(), 3u);
}
