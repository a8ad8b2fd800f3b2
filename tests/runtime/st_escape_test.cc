// HTML and URL escaping: exact outputs, the unchanged-input rule, round trips
// and the debug argument checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "St.h"
#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::BadString;
using quiltest::S;
using StEscapeTest = quiltest::StTest;

std::string AllBytes() {
  std::string all;
  for (int c = 0; c < 256; ++c) all += char(c);
  return all;
}

using quiltest::RandomBytes;

// A byte-at-a-time statement of the StToSgml rules.
std::string SgmlModel(std::string_view in) {
  std::string out;
  for (unsigned char c : in) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else if (c < 32 && c != 10 && c != 13) {
      char buf[8];
      snprintf(buf, sizeof buf, "&#%02d;", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

TEST_F(StEscapeTest, ToSgmlExamplesAndTheUnchangedBlock) {
  EXPECT_EQ(StToSgml(S("a<b")), "a&lt;b");
  EXPECT_EQ(StToSgml(S("\t")), "&#09;");
  EXPECT_EQ(StToSgml(S("\x1b")), "&#27;");
  EXPECT_EQ(StToSgml(S("x>\"&\"<")), "x&gt;&quot;&amp;&quot;&lt;");
  EXPECT_EQ(StToSgml(S("line\r\nnext\n")), "line\r\nnext\n");
  EXPECT_EQ(StToSgml(S(std::string_view("\0", 1))), "&#00;");
  EXPECT_EQ(StToSgml(S("caf\xE9\x7f")), "caf\xE9\x7f");
  EXPECT_TRUE(StToSgml(St()).IsNil());
  EXPECT_TRUE(quiltest::KeepsBlock(
      "plain text, with\nlines\r\nand Latin-1 \xE9\xFF, 0123456789", StToSgml));
}

// The scan skips eight bytes at a time; an escape at any position of any
// word, and in the tail, must still be found.
TEST_F(StEscapeTest, ToSgmlFindsAnEscapeAtEveryPosition) {
  const std::string specials = std::string("<>&\"\t\x01\x1f", 7);
  for (char special : specials) {
    for (size_t len = 1; len <= 40; ++len) {
      for (size_t at = 0; at < len; ++at) {
        std::string text(len, 'a');
        text[at] = special;
        EXPECT_EQ(StToSgml(S(text)), SgmlModel(text))
            << "len " << len << " at " << at << " byte " << int(special);
      }
    }
  }
  std::string all = AllBytes();
  EXPECT_EQ(StToSgml(S(all)), SgmlModel(all));
}

TEST_F(StEscapeTest, ToSgmlData) {
  EXPECT_EQ(StToSgmlData(S("a<b\t\r\n\xE9\x80\xFF\"&>")),
            "a&lt;b&#09;&#13;&#10;&#233;&#128;&#255;&quot;&amp;&gt;");
  EXPECT_TRUE(quiltest::KeepsBlock("plain ~ text", StToSgmlData));
}

TEST_F(StEscapeTest, FromSgmlEntityRulesControlBytesAndTheUnchangedBlock) {
  EXPECT_EQ(StFromSgml(S("&lt;&amp;&copy;&iexcl;&#65;")), "<&\xA9&iexcl;A");
  EXPECT_EQ(StFromSgml(S("&#065;&#x41;&#6;&#06;&#255;&#256;&#00;")),
            std::string("&#065;&#x41;&#6;\x06\xFF&#256;\0", 25));
  EXPECT_EQ(StFromSgml(S("&LT;&Lt;&lt;")), "&LT;&Lt;<") << "case-sensitive";
  EXPECT_EQ(StFromSgml(S("&nbsp;&yen;&uml;&ETH;&eth;&yuml;&Auml;&sup2;")),
            "\xA0\xA5\xA8\xD0\xF0\xFF\xC4\xB2");
  EXPECT_EQ(StFromSgml(S("&pound;&eacute;&times;")), "&pound;&eacute;&times;")
      << "names longer than four characters are left alone";
  EXPECT_EQ(StFromSgml(S("AT&T & &; &lt &amp;lt;")), "AT&T & &; &lt &lt;");
  EXPECT_EQ(StFromSgml(S("&&lt;")), "&<");
  // Control bytes but tab, line feed, return and escape become blanks.
  EXPECT_EQ(StFromSgml(S("a\x01" "b\t\n\r\x1b\x1f" "c")), "a b\t\n\r\x1b c");
  EXPECT_EQ(StFromSgml(S(std::string_view("\0", 1))), " ");
  EXPECT_TRUE(quiltest::KeepsBlock("nothing to do\t\n", StFromSgml));
}

TEST_F(StEscapeTest, SgmlRoundTripOfEveryByte) {
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    std::string text = RandomBytes(rng, rng() % 64);
    EXPECT_EQ(StFromSgml(StToSgml(S(text))), text);
  }
  std::string all = AllBytes();
  EXPECT_EQ(StFromSgml(StToSgml(S(all))), all);
}

TEST_F(StEscapeTest, EntityTable) {
  EXPECT_EQ(StSgmlEntityByte("quot"), '"');
  EXPECT_EQ(StSgmlEntityByte("#09"), 9);
  EXPECT_EQ(StSgmlEntityByte("#99"), 99);
  EXPECT_EQ(StSgmlEntityByte("#100"), 100);
  EXPECT_EQ(StSgmlEntityByte("#9"), -1);
  EXPECT_EQ(StSgmlEntityByte("#0100"), -1);
  EXPECT_EQ(StSgmlEntityByte("iexcl"), 161);
  EXPECT_EQ(StSgmlEntityByte("thorn"), 254);
  EXPECT_EQ(StSgmlEntityByte("divide"), 247);
  EXPECT_EQ(StSgmlEntityByte(""), -1);
  EXPECT_EQ(StSgmlEntityByte("apos"), -1);
}

TEST_F(StEscapeTest, SplitSgmlTail) {
  St text = S("one &amp; two &co");
  St tail = StSplitSgmlTail(text);
  EXPECT_EQ(text, "one &amp; two ");
  EXPECT_EQ(tail, "&co");
  St done = S("one &amp;");
  EXPECT_TRUE(StSplitSgmlTail(done).IsNil());
  EXPECT_EQ(done, "one &amp;");
  St far = S("AT&T is a company");
  EXPECT_TRUE(StSplitSgmlTail(far).IsNil());
  St lone = S("x &");
  EXPECT_EQ(StSplitSgmlTail(lone), "&");
  EXPECT_EQ(lone, "x ");
}

TEST_F(StEscapeTest, ToUrlQuoteExamples) {
  EXPECT_EQ(StToUrlQuote(S("a b/c")), "a%20b%2Fc");
  EXPECT_EQ(StToUrlQuote(S("\xE9")), "\xE9");
  EXPECT_EQ(StToUrlQuote(S(" %/?:=$,;#@+!*&")),
            "%20%25%2F%3F%3A%3D%24%2C%3B%23%40%2B%21%2A%26");
  EXPECT_EQ(StToUrlQuote(S("\x01\x1f\x7f~-_.")), "%01%1F\x7f~-_.");
  EXPECT_TRUE(quiltest::KeepsBlock("Plain-Text_1.html", StToUrlQuote));
}

TEST_F(StEscapeTest, ToUrlQuoteCUsesTheGivenSet) {
  EXPECT_EQ(StToUrlQuoteC(S("a b/c%\n"), " "), "a%20b/c%25%0A");
  EXPECT_EQ(StToUrlQuoteC(S("a b"), nullptr), "a b");
  EXPECT_EQ(StToUrlQuoteC(S("\xE9t\xE9"), "\xE9"), "%E9t%E9");
}

TEST_F(StEscapeTest, FromUrlQuote) {
  EXPECT_EQ(StFromUrlQuote(S("a%20b%2fc%2F")), "a b/c/");
  EXPECT_EQ(StFromUrlQuote(S("100% %zz %4 %%41 a+b")), "100% %zz %4 %A a+b");
  EXPECT_EQ(StFromUrlQuote(S("%00")), std::string_view("\0", 1));
  EXPECT_TRUE(quiltest::KeepsBlock("no escapes", StFromUrlQuote));
}

TEST_F(StEscapeTest, UrlRoundTripOfEveryByte) {
  std::mt19937 rng(11);
  for (int i = 0; i < 200; ++i) {
    std::string text = RandomBytes(rng, rng() % 64);
    EXPECT_EQ(StFromUrlQuote(StToUrlQuote(S(text))), text);
    EXPECT_EQ(StFromUrlQuote(StToUrlQuoteC(S(text), "")), text);
  }
}

using StEscapeDeathTest = StEscapeTest;

TEST_F(StEscapeDeathTest, ArgumentChecks) {
  BadString bad;
  EXPECT_DEATH(StToSgml(bad.get()), "StToSgml-- str");
  EXPECT_DEATH(StFromSgml(bad.get()), "StFromSgml-- str");
  EXPECT_DEATH(StToUrlQuote(bad.get()), "StToUrlQuote-- str");
  EXPECT_DEATH(StToUrlQuoteC(bad.get(), " "), "StToUrlQuoteC-- str");
  EXPECT_DEATH(StFromUrlQuote(bad.get()), "StFromUrlQuote-- str");
}

}  // namespace
}  // namespace quil
