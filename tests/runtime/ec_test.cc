// Error texts.
#include <gtest/gtest.h>

#include "Ec.h"

using namespace quil;

TEST(EcToSt, TextsByTheLowSixteenBitsOrTheNumber) {
  const std::pair<uint32_t, const char*> cases[] = {
      {3, "Not a Quillmoot database file."},
      {208, "No such file."},
      {2315, "Attempt to move a folder into itself or one of its children"},
      {2320, "Bad user handle"},
      {2412, "Name server temporarily unavailable.  Please try again in a few minutes."},
      {2406, "You cannot use a slash (\"/\") in a folder name.\t\t\tTry \"-\", or \":\"."},
      {0x10000 + 208, "No such file."},
      {0xFFFF0000u + 2300, "Duplicate name."},
      {17, "error #17."},
      {0, "error #0."},
      {2316, "error #2316."},
      {65535, "error #65535."},
  };
  for (auto [code, text] : cases) EXPECT_EQ(EcToSt(code), text) << code;
}
