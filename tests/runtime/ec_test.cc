// Error texts.
#include <gtest/gtest.h>

#include "Ec.h"

using namespace quil;

TEST(EcToSt, KnownCodes) {
  EXPECT_EQ(EcToSt(3), "Not a Quillmoot database file.");
  EXPECT_EQ(EcToSt(208), "No such file.");
  EXPECT_EQ(EcToSt(2315), "Attempt to move a folder into itself or one of its children");
  EXPECT_EQ(EcToSt(2320), "Bad user handle");
  EXPECT_EQ(EcToSt(2412),
            "Name server temporarily unavailable.  Please try again in a few minutes.");
  EXPECT_EQ(EcToSt(2406),
            "You cannot use a slash (\"/\") in a folder name.\t\t\tTry \"-\", or \":\".");
}

TEST(EcToSt, OnlyLowSixteenBitsCount) {
  EXPECT_EQ(EcToSt(0x10000 + 208), "No such file.");
  EXPECT_EQ(EcToSt(0xFFFF0000u + 2300), "Duplicate name.");
}

TEST(EcToSt, CodesWithoutTextGiveNumber) {
  EXPECT_EQ(EcToSt(17), "error #17.");
  EXPECT_EQ(EcToSt(0), "error #0.");
  EXPECT_EQ(EcToSt(2316), "error #2316.");
  EXPECT_EQ(EcToSt(65535), "error #65535.");
  EXPECT_FALSE(EcToSt(0).IsNil());
}
