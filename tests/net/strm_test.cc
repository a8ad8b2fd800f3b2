// Streams: segments, joining, consuming, moving between streams, limits.
#include "Strm.h"

#include <gtest/gtest.h>

#include <string>

namespace quil {
namespace {

std::string All(Strm& s) { return std::string(s.PeekAll()); }

TEST(Strm, WritesShareOneSegmentAndStringsKeepTheirOwn) {
  Strm s;
  s.WriteView("GET / ");
  s.WriteView("HTTP/1.0\r\n");
  iovec iov[4];
  EXPECT_EQ(s.Segments(iov, 4), 1);
  St file = StCStrXfm("<html>");
  s.WriteSt(file);
  EXPECT_EQ(file.RefCount(), 2u);  // not copied
  s.WriteView("tail");
  ASSERT_EQ(s.Segments(iov, 4), 3);
  EXPECT_EQ(iov[1].iov_base, file.CStr());
  EXPECT_EQ(s.Size(), 26);
  EXPECT_EQ(All(s), "GET / HTTP/1.0\r\n<html>tail");
  EXPECT_EQ(s.Segments(iov, 4), 1);  // PeekAll joined them
}

TEST(Strm, ConsumeAcrossSegmentsAndTake) {
  Strm s;
  s.WriteSt(StCStrXfm("abc"));
  s.WriteSt(StCStrXfm("defg"));
  s.WriteSt(StCStrXfm("h"));
  s.Consume(2);
  EXPECT_EQ(std::string(s.Peek(1)), "c");
  s.Consume(2);  // "c" and "d"
  EXPECT_EQ(s.Take(3).Str(), "efg");
  EXPECT_EQ(All(s), "h");
  s.Consume(1);
  EXPECT_TRUE(s.Empty());
  s.WriteView("x");
  EXPECT_EQ(All(s), "x");
}

TEST(Strm, AnInputStreamConsumedAsItFillsStaysSmall) {
  Strm s;
  std::string chunk(1000, 'a');
  for (int i = 0; i < 1000; ++i) {
    s.WriteView(chunk);
    s.Consume(1000);
  }
  s.WriteView("end");
  EXPECT_EQ(All(s), "end");
  iovec iov[1];
  ASSERT_EQ(s.Segments(iov, 1), 1);
}

TEST(Strm, MoveFromTakesWholeSegmentsWhileThereIsRoom) {
  Strm from, to;
  to.SetLimit(10);
  from.WriteSt(StCStrXfm("123456"));
  from.WriteSt(StCStrXfm("7890ab"));
  EXPECT_EQ(to.MoveFrom(from), 6);  // the second does not fit
  EXPECT_EQ(from.Size(), 6);
  to.Consume(6);
  EXPECT_EQ(to.MoveFrom(from), 6);
  EXPECT_EQ(All(to), "7890ab");
  // An empty stream takes a segment larger than its limit.
  Strm big, small;
  small.SetLimit(4);
  big.WriteView(std::string(100, 'z'));
  EXPECT_EQ(small.MoveFrom(big), 100);
  // A partly consumed segment moves as its rest.
  Strm a, b;
  a.WriteView("hello world");
  a.Consume(6);
  b.MoveFrom(a);
  EXPECT_EQ(All(b), "world");
  EXPECT_TRUE(a.Empty());
}

TEST(Strm, LimitsGiveTheRoomLeft) {
  Strm s;
  EXPECT_EQ(s.Room(), INT64_MAX);
  s.SetLimit(8);
  s.WriteView("12345");
  EXPECT_EQ(s.Room(), 3);
  s.WriteView("6789");
  EXPECT_EQ(s.Room(), 0);
  s.SetLimit(-1);
  s.Clear();
  EXPECT_EQ(s.Room(), 0);  // closed
}

}  // namespace
}  // namespace quil
