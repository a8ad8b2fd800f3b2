// Trimming, editing, splitting and joining, look-up, number forms, keyword
// search and the string lists.
#include <gtest/gtest.h>

#include <random>

#include "St.h"
#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StMiscTest = quiltest::StTest;

StList L(std::initializer_list<const char*> items) {
  StList list;
  for (const char* s : items) list.push_back(S(s));
  return list;
}

TEST_F(StMiscTest, Trimming) {
  EXPECT_EQ(StStripBlanks(S(" \t\r\nab c\n ")), "ab c");
  EXPECT_EQ(StStripBlanks(S(" \n ")), "");
  EXPECT_TRUE(quiltest::KeepsBlock("ab", StStripBlanks));
  EXPECT_EQ(StStripEdges(S("--x-y--"), "-"), "x-y");
  EXPECT_EQ(StStripChar(S("a,b,,c"), ','), "abc");
  EXPECT_TRUE(StIsWhitespace(S(" \t\r\n")));
  EXPECT_TRUE(StIsWhitespace(St()));
  EXPECT_FALSE(StIsWhitespace(S(" x")));
}

TEST_F(StMiscTest, Editing) {
  EXPECT_EQ(StSet(S("abc"), 1, 'X'), "aXc");
  EXPECT_EQ(StAddByte(S("ac"), 1, 'b'), "abc");
  EXPECT_EQ(StAddByte(S("ab"), 99, 'c'), "abc");
  EXPECT_EQ(StAddByte(St(), 0, 'a'), "a");
  EXPECT_EQ(StSubtractByte(S("abc"), 0), "bc");
  EXPECT_EQ(StSubtractByte(S("abc"), -1), "abc");
  EXPECT_EQ(StRemove(S("abcdef"), 2, 2), "abef");
  EXPECT_EQ(StRemove(S("abcdef"), 4, 99), "abcd");
  EXPECT_EQ(StReplace(S("aaa"), S("aa"), S("b")), "ba");
  EXPECT_EQ(StReplace(S("a.b.c"), S("."), S("::")), "a::b::c");
  EXPECT_EQ(StReplace(S("abc"), S(""), S("x")), "abc");
  EXPECT_EQ(StRepeat(S("ab"), 3), "ababab");
  EXPECT_EQ(StRepeat(S("ab"), 0), "");
  St var;
  EXPECT_TRUE(StSetOnce(&var, S("first")));
  EXPECT_FALSE(StSetOnce(&var, S("second")));
  EXPECT_EQ(var, "first");
}

TEST_F(StMiscTest, SplittingFields) {
  StList parts = StSplit(S("a,,b,"), ',');
  EXPECT_EQ(StLiCompare(parts, L({"a", "", "b", ""}), StLiteral), kStEqual);
  EXPECT_TRUE(StSplit(St(), ',').empty());
  St rest = S("one two  three");
  EXPECT_EQ(StSplitField(&rest, ' '), "one");
  EXPECT_EQ(rest, "two  three");
  EXPECT_EQ(StSplitField(&rest, ' '), "two");
  EXPECT_EQ(StSplitField(&rest, ' '), "");
  EXPECT_EQ(StSplitField(&rest, ' '), "three");
  EXPECT_TRUE(rest.IsNil());
  EXPECT_TRUE(StSplitField(&rest, ' ').IsNil());
  St text = S("l1\r\nl2\nl3");
  EXPECT_EQ(StSplitLine(&text), "l1");
  EXPECT_EQ(StSplitLine(&text), "l2");
  EXPECT_EQ(StSplitLine(&text), "l3");
  EXPECT_TRUE(text.IsNil());
}

TEST_F(StMiscTest, PackUnpackRoundTrip) {
  std::mt19937 rng(1);
  for (int i = 0; i < 50; ++i) {
    StList list;
    for (int k = rng() % 6; k > 0; --k)
      list.push_back(S(quiltest::RandomBytes(rng, rng() % 12)));
    StList back;
    ASSERT_TRUE(StUnpack(StPack(list), &back));
    EXPECT_EQ(StLiCompare(back, list, StLiteral), kStEqual);
  }
  EXPECT_EQ(StPack(L({"ab", "", "c:d"})), "2:ab0:3:c:d");
  StList out;
  for (const char* bad : {"3:ab", "x:ab", ":ab", "2ab", "-1:"}) {
    EXPECT_FALSE(StUnpack(S(bad), &out)) << bad;
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(StMiscTest, JoiningAndFormData) {
  EXPECT_EQ(StLiPack(L({"a", "b", "c"}), ", "), "a, b, c");
  EXPECT_EQ(StLiPack({}, ","), "");
  StList names, values;
  StParseDataString(S("name=J%C3+Doe&flag&&x=1%3D2&empty="), &names, &values);
  EXPECT_EQ(StLiCompare(names, L({"name", "flag", "x", "empty"}), StLiteral),
            kStEqual);
  EXPECT_EQ(StLiCompare(values, L({"J\xC3 Doe", "", "1=2", ""}), StLiteral),
            kStEqual);
  St data = StParseDataStringReverse(L({"a b", "c&d"}), L({"1+1=2", "%"}));
  EXPECT_EQ(data, "a+b=1%2B1%3D2&c%26d=%25");
  StParseDataString(data, &names, &values);
  EXPECT_EQ(StLiCompare(names, L({"a b", "c&d"}), StLiteral), kStEqual);
  EXPECT_EQ(StLiCompare(values, L({"1+1=2", "%"}), StLiteral), kStEqual);
}

TEST_F(StMiscTest, Lists) {
  StList list = L({"Alpha", "beta"});
  EXPECT_TRUE(StLiIsMember(list, S("ALPHA"), StASCIIUpper));
  EXPECT_FALSE(StLiIsMember(list, S("ALPHA"), StLiteral));
  EXPECT_EQ(StLiLength(list), 9);
  StList copy = StListDup(list);
  EXPECT_EQ(copy[0].Rep(), list[0].Rep());
  EXPECT_EQ(list[0].RefCount(), 2u);
  EXPECT_EQ(StLiCompare(L({"a"}), L({"a", "b"}), StLiteral), kStBefore);
  EXPECT_EQ(StLiCompare(L({"b"}), L({"a", "b"}), StLiteral), kStAfter);
  StLiDestroy(copy);
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(list[0].RefCount(), 1u);
}

TEST_F(StMiscTest, ScanTokens) {
  StScan scan = StStart(S(",,a,b;;c,"), ",;");
  EXPECT_EQ(StNext(&scan), "a");
  EXPECT_EQ(StNext(&scan), "b");
  EXPECT_EQ(StNext(&scan), "c");
  EXPECT_TRUE(StNext(&scan).IsNil());
  StStop(&scan);
}

TEST_F(StMiscTest, LookUp) {
  St s = S("one Two one two");
  EXPECT_EQ(StLookup(s, S("two"), StLiteral), 12);
  EXPECT_EQ(StLookup(s, S("two"), StASCIILower), 4);
  EXPECT_EQ(StLookup(s, S("three"), StLiteral), -1);
  EXPECT_EQ(StLookup(s, S(""), StLiteral), 0);
  EXPECT_EQ(StLookupLimit(s, 1, 15, S("one"), StLiteral), 8);
  EXPECT_EQ(StLookupLimit(s, 1, 10, S("one"), StLiteral), -1)
      << "a match must end inside the limit";
  EXPECT_EQ(StLookupLimitC(s, 0, 100, "one", StLiteral), 0);
  EXPECT_EQ(StLookupLimitRevC(s, 0, 15, "one", StLiteral), 8);
  EXPECT_EQ(StLookupLimitRevC(s, 0, 10, "one", StLiteral), 0);
  EXPECT_EQ(StLookupEquiv(S("Caf\xC9 au lait"), S("caf\xE9")), 0);
  EXPECT_EQ(StAgree(S("prefix-a"), S("PREFIX-b"), StASCIIUpper), 7);
}

TEST_F(StMiscTest, Translation) {
  EXPECT_EQ(StTranslate(S("Caf\xE9"), StLatinUpper), "CAF\xC9");
  EXPECT_TRUE(quiltest::KeepsBlock(
      "ABC", [](St s) { return StTranslate(std::move(s), StASCIIUpper); }));
  EXPECT_EQ(StTranslateC(S("a-b_c"), "-_", "  "), "a b c");
}

TEST_F(StMiscTest, NumberForms) {
  EXPECT_EQ(StStIntCommaXfm(0), "0");
  EXPECT_EQ(StStIntCommaXfm(1000), "1,000");
  EXPECT_EQ(StStIntCommaXfm(-1234567), "-1,234,567");
  EXPECT_EQ(StPrintCvt("%s-%05d", "x", 42), "x-00042");
  double d = 1;
  EXPECT_TRUE(StRealStXfm(S("-2.5e3"), &d));
  EXPECT_EQ(d, -2500);
  EXPECT_FALSE(StRealStXfm(S("2.5x"), &d));
  EXPECT_EQ(d, 0);
  EXPECT_EQ(StStRealXfm(0.1), "0.1");
}

TEST_F(StMiscTest, HexForms) {
  EXPECT_EQ(StHexIntXfm(0x2a), "0000002a");
  EXPECT_EQ(StHexNoZerosIntXfm(0), "0");
  EXPECT_EQ(StHexNoZerosIntXfm(0xdeadbeef), "deadbeef");
  EXPECT_EQ(StHexSIntXfm(-255), "-ff");
  EXPECT_EQ(StHexSIntXfm(INT32_MIN), "-80000000");
  uint32_t v = 1;
  EXPECT_TRUE(StHexStXfm(S("00DeadBeef"), &v));
  EXPECT_EQ(v, 0xdeadbeefu);
  EXPECT_FALSE(StHexStXfm(S("100000000"), &v));
  EXPECT_FALSE(StHexStXfm(S("xyz"), &v));
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(StToHex(S("\x01\xAB")), "01ab");
  EXPECT_EQ(StFromHex(S("01aB")), "\x01\xAB");
  EXPECT_TRUE(StFromHex(S("abc")).IsNil());
  EXPECT_TRUE(StFromHex(S("zz")).IsNil());
  uint8_t out[2];
  EXPECT_EQ(StHexToArray(S("0102"), out, 2), 2);
  EXPECT_EQ(StHexToArray(S("010203"), out, 2), -1);
}

TEST_F(StMiscTest, OtherNumberForms) {
  EXPECT_EQ(StCharsIntXfm(0x41424344), "ABCD");
  EXPECT_EQ(StRomanIntXfm(1994), "MCMXCIV");
  EXPECT_EQ(StRomanIntXfm(3999, false), "mmmcmxcix");
  EXPECT_EQ(StLetterIntXfm(1), "a");
  EXPECT_EQ(StLetterIntXfm(27), "aa");
  EXPECT_EQ(StLetterIntXfm(702, true), "ZZ");
  EXPECT_EQ(StLetterIntXfm(703), "aaa");
  EXPECT_EQ(StBlotsStXfm(S("secret")), "******");
  EXPECT_EQ(StNetworkXfm(0x7f000001), "127.0.0.1");
  EXPECT_EQ(StAuthorXfm(S("Ann"), S("ann@example.org")), "Ann <ann@example.org>");
  EXPECT_EQ(StAuthorXfm(S(""), S("a@b")), "a@b");
}

TEST_F(StMiscTest, KeywordSearch) {
  StList kw = StKeywordsCreate(S("  Apple \"green PEAR\" \xC9t\xE9 \"\" "));
  EXPECT_EQ(StLiCompare(kw, L({"apple", "green pear", "\xE9t\xE9"}), StLiteral),
            kStEqual);
  EXPECT_TRUE(StKeywordsAll(kw, S("An APPLE, a Green Pear, un \xC9T\xC9")));
  EXPECT_FALSE(StKeywordsAll(kw, S("an apple, a green apple")));
  EXPECT_TRUE(StKeywordsAny(kw, S("pineapple")));
  EXPECT_FALSE(StKeywordsAny(kw, S("pear")));
  EXPECT_TRUE(StKeywordsAll({}, S("x")));
  EXPECT_FALSE(StKeywordsAny({}, S("x")));
  St rest = S("\"unterminated phrase");
  EXPECT_EQ(StPopKeyword(&rest), "unterminated phrase");
  EXPECT_TRUE(StPopKeyword(&rest).IsNil());
  StKeywordsDestroy(kw);
  EXPECT_TRUE(kw.empty());
}

TEST_F(StMiscTest, DbFieldQuote) {
  EXPECT_EQ(StToDbFieldQuote(S("plain")), "plain");
  EXPECT_EQ(StToDbFieldQuote(S("a,b")), "\"a,b\"");
  EXPECT_EQ(StToDbFieldQuote(S("say \"hi\"")), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(StToDbFieldQuote(S("two\nlines")), "\"two\nlines\"");
  EXPECT_EQ(StToDbFieldQuote(S(" padded")), "\" padded\"");
}

}  // namespace
}  // namespace quil
