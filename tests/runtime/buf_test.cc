#include "Buf.h"

#include <gtest/gtest.h>

#include <string>

namespace quil {
namespace {

TEST(Buf, AppendsEveryKindAndClosesToTheWrittenBytes) {
  Buf b;
  BufOpenSmall(b);
  BufAddC(b, "abc");
  BufAddS(b, StCStrXfm("-def-"));
  BufAddInt(b, -42);
  BufAddChar(b, 'x');
  BufAddView(b, std::string_view("\0y", 2));
  St out = BufClose(b);
  EXPECT_EQ(out.View(), std::string_view("abc-def--42x\0y", 14));
  EXPECT_FALSE(b.IsOpen());
  EXPECT_TRUE(BufClose(b).IsNil());
}

// Capacities follow the growth rule: doubling up to 100,000, then steps of
// 100,000, and the written bytes survive every move.
TEST(Buf, GrowsByDoublingThenBySteps) {
  Buf b;
  BufOpen(b);
  std::string expect;
  for (int i = 0; i < 30000; ++i) {
    BufAddC(b, "0123456789");
    expect += "0123456789";
  }
  St out = BufClose(b);
  EXPECT_EQ(out.Length(), 300000);
  EXPECT_EQ(out.Str(), expect);
  // 8,000 -> 16,000 -> 32,000 -> 64,000 -> 128,000 -> 228,000 -> 328,000
  EXPECT_EQ(out.Capacity(), 328000);
}

TEST(Buf, TruncateUndoesAnAppend) {
  Buf b;
  BufOpenSmall(b);
  BufAddC(b, "keep");
  int32_t mark = b.Position();
  BufAddC(b, "drop");
  b.Truncate(mark);
  EXPECT_EQ(BufClose(b).Str(), "keep");
}

TEST(BufDeathTest, AppendToAClosedBufferHalts) {
  Buf b;
  EXPECT_DEATH(BufAddC(b, "x"), "BufAdd--buffer not open");
}

}  // namespace
}  // namespace quil
