// uuencoding: lines byte for byte against the classic encoder, round trips
// of every length, lenient reading, and pictures taken out of message text.
#include "St.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StUuTest = quiltest::StTest;

std::string EncodeLine(std::string_view in) {
  int32_t n = UuEncodeLineCount(int32_t(in.size()));
  std::string out(size_t(n) + 4, '#');
  EXPECT_EQ(UuEncodeLine(in.data(), int32_t(in.size()), out.data()), n);
  EXPECT_EQ(out.substr(size_t(n)), "####");
  out.resize(size_t(n));
  return out;
}

std::string DecodeLine(std::string_view line) {
  int32_t n = UuDecodeLineCount(line.data(), int32_t(line.size()));
  if (n < 0) return "(bad)";
  std::string out(size_t(n), '#');
  EXPECT_EQ(UuDecodeLine(line.data(), int32_t(line.size()), out.data()), n);
  return out;
}

TEST_F(StUuTest, LinesAsTheClassicEncoderWritesThem) {
  EXPECT_EQ(EncodeLine("Cat"), "#0V%T");
  EXPECT_EQ(EncodeLine("Ca"), "\"0V$`");
  EXPECT_EQ(EncodeLine(std::string(3, '\0')), "#````");
  EXPECT_EQ(EncodeLine(""), "`");
  EXPECT_EQ(UuEncodeLineCount(kUuLineBytes), 61);
  EXPECT_EQ(DecodeLine("#0V%T"), "Cat");
  EXPECT_EQ(DecodeLine("#    "), std::string(3, '\0'));  // blanks are zeros
  EXPECT_EQ(DecodeLine("#0V"), std::string("C`\0", 3));  // trailing cut off
  EXPECT_EQ(DecodeLine("`"), "");
  EXPECT_EQ(DecodeLine(""), "(bad)");
  EXPECT_EQ(DecodeLine("#0v%T"), "(bad)");  // lower case is outside the range
  EXPECT_EQ(DecodeLine("\x7f"), "(bad)");
}

TEST_F(StUuTest, WholeFilesRoundTrip) {
  EXPECT_EQ(StUuEncode(S("Cat"), "cat.txt"),
            "begin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\n");
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 44u, 45u, 46u, 90u, 1000u}) {
    std::string data = quiltest::RandomBytes(rng, n);
    St name;
    St file = StUuEncode(S(data), "my file.bin");
    EXPECT_EQ(StUuDecode(file, &name), data) << n;
    EXPECT_EQ(name, "my file.bin");
    // LF line ends and trailing blanks from other mailers read the same.
    std::string lf;
    for (char c : file.View())
      if (c != '\r') lf += c == '\n' ? std::string("  \n") : std::string(1, c);
    EXPECT_EQ(StUuDecode(S("some text\n" + lf), &name), data) << n;
  }
  St name;
  EXPECT_TRUE(
      StUuDecode(S("begin 644 x\r\n#0V%T\r\n"), &name).IsNil());  // no end
  EXPECT_TRUE(StUuDecode(S("begin 644 x\r\n#0v%T\r\nend\r\n"), &name).IsNil());
  EXPECT_TRUE(StUuDecode(S("begin x\r\nend\r\n"), &name).IsNil());  // no mode
}

TEST_F(StUuTest, PicturesAreTakenOutOfMessageText) {
  std::string gif = "GIF89a\x01\x00";
  std::string text = "Look:\r\n" + StUuEncode(S(gif), "Cat.GIF").Str() +
                     "and a file:\r\n" + StUuEncode(S("doc"), "a.doc").Str() +
                     "broken:\r\nbegin 644 b.png\r\n#0V%T\r\n" +
                     StUuEncode(S("png"), "p.png").Str() + "bye\r\n";
  StList names, pictures;
  St rest = UuDecodePict(S(text), &names, &pictures);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "Cat.GIF");
  EXPECT_EQ(pictures[0], gif);
  EXPECT_EQ(names[1], "p.png");
  EXPECT_EQ(pictures[1], "png");
  EXPECT_EQ(rest, "Look:\r\nand a file:\r\n" +
                      StUuEncode(S("doc"), "a.doc").Str() +
                      "broken:\r\nbegin 644 b.png\r\n#0V%T\r\nbye\r\n");
  names.clear();
  pictures.clear();
  St plain = S("no pictures here\r\n");
  StRep* rep = plain.Rep();
  EXPECT_EQ(UuDecodePict(std::move(plain), &names, &pictures).Rep(), rep);
  EXPECT_TRUE(names.empty());
}

}  // namespace
}  // namespace quil
