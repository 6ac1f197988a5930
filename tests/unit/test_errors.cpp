// The fixed messages of the error family and the "Application Error" text.
#include <gtest/gtest.h>

#include "core/errors.h"

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
  // Every digit of the address: eight on a 32-bit build, sixteen on a 64-bit one.
  const std::string pad(2 * sizeof(uintptr_t) - 8, '0');
  EXPECT_EQ(
      UnhandledErrorText("EInOutError", "PELMATIC.EXE", 0x40123A, "File access denied"),
      "Exception EInOutError in module PELMATIC.EXE at " + pad + "0040123A.\nFile access denied.");
  // A message that already ends with a period gets no second one.
  EXPECT_EQ(UnhandledErrorText("EOleError", "P.EXE", 0xDEADBEEF, "Done."),
            "Exception EOleError in module P.EXE at " + pad + "DEADBEEF.\nDone.");
  if (sizeof(uintptr_t) == 8) {
    EXPECT_EQ(HexAddress(static_cast<uintptr_t>(0x140001A2Bull)), "0000000140001A2B");
  }
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
