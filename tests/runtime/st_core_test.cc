// Core string operations: creation, reference counts and copy-on-write,
// reading, changing, comparison, hashing and the debug argument checks.
#include <gtest/gtest.h>

#include "St.h"
#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::BadString;
using quiltest::S;
using StCoreTest = quiltest::StTest;

TEST_F(StCoreTest, NilIsDistinctFromEmpty) {
  St nil, empty = StCreate();
  EXPECT_TRUE(nil.IsNil());
  EXPECT_FALSE(empty.IsNil());
  EXPECT_EQ(StCompare(nil, empty, StLiteral), kStEqual);
  EXPECT_EQ(StByteLength(nil), 0);
  EXPECT_EQ(StByteLength(empty), 5);
  EXPECT_EQ(StByteLength(S("abc")), 8);
  EXPECT_TRUE(StCStrXfm(nullptr).IsNil());
  EXPECT_STREQ(nil.CStr(), "");
}

TEST_F(StCoreTest, CreationForms) {
  EXPECT_EQ(StCreateRepeat(3, 'x'), "xxx");
  EXPECT_EQ(StCreateOne(0), std::string_view("\0", 1));
  St zeros = StCreateLen("a\0b", 3);
  EXPECT_EQ(zeros.Length(), 3);
  EXPECT_EQ(zeros.CStr()[3], 0) << "terminator after the bytes";
  EXPECT_EQ(StStIntXfm(-2147483648LL), "-2147483648");
  St grown = StRAlloc(S("ab"), 5);
  EXPECT_EQ(grown.Length(), 5);
  EXPECT_EQ(grown.View().substr(0, 2), "ab");
  EXPECT_EQ(grown.CStr()[5], 0);
  EXPECT_EQ(StRAlloc(St(), 2).Length(), 2);
}

TEST_F(StCoreTest, DupSharesTheBlockAndDestroyReleasesIt) {
  int64_t before = StrStats;
  St a = S("text");
  St b = StDup(a);
  EXPECT_EQ(a.Rep(), b.Rep());
  EXPECT_EQ(a.RefCount(), 2u);
  StDestroy(b);
  EXPECT_TRUE(b.IsNil());
  EXPECT_EQ(a.RefCount(), 1u);
  StDestroy(a);
  EXPECT_EQ(StrStats, before);
  St nil;
  StDestroy(nil);  // ignored
  EXPECT_TRUE(StDup(nil).IsNil());
}

TEST_F(StCoreTest, SoleOwnerCopiesOnlyShared) {
  St a = S("abc");
  StRep* rep = a.Rep();
  a = StSoleOwner(std::move(a));
  EXPECT_EQ(a.Rep(), rep) << "a sole owner keeps its block";
  St b = a;
  St c = StSoleOwner(std::move(b));
  EXPECT_NE(c.Rep(), rep);
  EXPECT_EQ(c, "abc");
  EXPECT_EQ(a.RefCount(), 1u) << "the shared count went down by one";
}

// Every operation that changes a string in place must leave the other
// holders of a shared block alone.
TEST_F(StCoreTest, ChangingASharedStringLeavesOtherHoldersUnchanged) {
  St shared = S("a<b&amp;%41 x\x01");
  St keep = shared;
  St joined = StCat(shared, S("tail"));
  St appended = StAppend(shared, '!');
  St fromSgml = StFromSgml(shared);
  St fromUrl = StFromUrlQuote(shared);
  St set = StSet(shared, 0, 'Z');
  St added = StAddByte(shared, 1, '+');
  St removed = StRemove(shared, 0, 2);
  St stripped = StStripChar(shared, 'a');
  St upper = StTranslate(shared, StASCIIUpper);
  St resized = StRAlloc(shared, 2);
  EXPECT_EQ(keep, "a<b&amp;%41 x\x01");
  EXPECT_EQ(joined, "a<b&amp;%41 x\x01tail");
  EXPECT_EQ(appended, "a<b&amp;%41 x\x01!");
  EXPECT_EQ(fromSgml, "a<b&%41 x ");
  EXPECT_EQ(fromUrl, "a<b&amp;A x\x01");
  EXPECT_EQ(set, "Z<b&amp;%41 x\x01");
  EXPECT_EQ(added, "a+<b&amp;%41 x\x01");
  EXPECT_EQ(removed, "b&amp;%41 x\x01");
  EXPECT_EQ(stripped, "<b&mp;%41 x\x01");
  EXPECT_EQ(upper, "A<B&AMP;%41 X\x01");
  EXPECT_EQ(resized, "a<");
}

TEST_F(StCoreTest, CatRules) {
  St b = S("b");
  StRep* rep = b.Rep();
  St r = StCat(St(), std::move(b));
  EXPECT_EQ(r.Rep(), rep) << "nil first: the result is the second string";
  EXPECT_EQ(StCat(S("a"), St()), "a");
  EXPECT_TRUE(StCat(St(), St()).IsNil());
  St self = S("xy");
  St twice = StCat(self, self);
  EXPECT_EQ(twice, "xyxy");
  EXPECT_EQ(self, "xy");
}

TEST_F(StCoreTest, CatGrowsGeometricallyAndKeepsTheTerminator) {
  St s;
  for (int i = 0; i < 10000; ++i) s = StCat(std::move(s), S("0123456789"));
  EXPECT_EQ(s.Length(), 100000);
  EXPECT_EQ(s.CStr()[100000], 0);
  EXPECT_EQ(s.View().substr(99990), "0123456789");
}

TEST_F(StCoreTest, AppendDataFromItsOwnBytes) {
  St s = S("abcdefgh");
  const char* inside = s.CStr() + 2;
  s = StAppendData(std::move(s), inside, 4);
  EXPECT_EQ(s, "abcdefghcdef");
  for (int i = 0; i < 12; ++i) {
    const char* all = s.CStr();
    int32_t n = s.Length();
    s = StAppendData(std::move(s), all, n);
  }
  EXPECT_EQ(s.Length(), 12 << 12);
  EXPECT_EQ(s.View().substr(size_t(s.Length()) - 12), "abcdefghcdef");
  St t = S("xyz");
  St u = StAppendLength(t, t, 2);
  EXPECT_EQ(u, "xyzxy");
  EXPECT_EQ(t, "xyz");
  EXPECT_EQ(StAppend(St(), 'q'), "q");
}

TEST_F(StCoreTest, SubstrEdges) {
  St s = S("hello");
  EXPECT_TRUE(StSubstr(s, 5, 1).IsNil()) << "start equal to the length";
  EXPECT_TRUE(StSubstr(s, 9, 1).IsNil());
  EXPECT_EQ(StSubstr(s, 3, 100), "lo") << "count beyond the end gives the tail";
  EXPECT_EQ(StSubstr(s, 1, 3), "ell");
  St e = StSubstr(StCreate(), 0, 4);
  EXPECT_FALSE(e.IsNil());
  EXPECT_EQ(e.Length(), 0);
  EXPECT_EQ(s.RefCount(), 1u) << "StSubstr only reads";
}

TEST_F(StCoreTest, IndexFamily) {
  St s = S("a,b;c,d");
  EXPECT_EQ(StIndex(s, 0, ','), 1);
  EXPECT_EQ(StIndex(s, 2, ','), 5);
  EXPECT_EQ(StIndex(s, 7, 'a'), -1) << "start at the end";
  EXPECT_EQ(StIndex(s, 50, 'a'), -1) << "start past the end";
  EXPECT_EQ(StIndex(St(), 0, 'a'), -1);
  EXPECT_EQ(StIndexLast(s, 6, ','), 5);
  EXPECT_EQ(StIndexLast(s, 4, ','), 1);
  EXPECT_EQ(StIndexLast(s, 0, ','), -1);
  EXPECT_EQ(StMIndex(s, 0, S(";")), 3);
  EXPECT_EQ(StMIndex(s, 2, S(";,")), 3);
  EXPECT_EQ(StMIndex(s, 0, S("x")), -1);
}

TEST_F(StCoreTest, PrefixTests) {
  St s = S("Hello\xC9t\xE9");
  EXPECT_TRUE(StIsPrefixC(s, "Hell"));
  EXPECT_FALSE(StIsPrefixC(s, "hell"));
  EXPECT_TRUE(StIsPrefixCNoCase(s, "hELLO"));
  EXPECT_FALSE(StIsPrefixCNoCase(s, "hello\xE9"));
  EXPECT_TRUE(StIsPrefixCNoCaseLatin(s, "hello\xE9T\xC9"));
  EXPECT_FALSE(StIsPrefixC(s, "Hello\xC9t\xE9x"));
  EXPECT_TRUE(StIsPrefixC(St(), ""));
}

TEST_F(StCoreTest, IntParsing) {
  int32_t v = 99;
  EXPECT_TRUE(StIntStXfm(S("-123"), &v));
  EXPECT_EQ(v, -123);
  EXPECT_TRUE(StIntStXfm(S("2147483647"), &v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_TRUE(StIntStXfm(S("-2147483648"), &v));
  EXPECT_EQ(v, INT32_MIN);
  for (const char* bad : {"2147483648", "", "-", "12x", " 1", "99999999999999"}) {
    v = 7;
    EXPECT_FALSE(StIntStXfm(S(bad), &v)) << bad;
    EXPECT_EQ(v, 0) << "output cleared for " << bad;
  }
  v = 7;
  EXPECT_FALSE(StIntStXfm(St(), &v));
  EXPECT_EQ(v, 0);
}

TEST_F(StCoreTest, DoubleQuote) {
  EXPECT_TRUE(quiltest::KeepsBlock("no quotes", StToDoubleQuote));
  EXPECT_EQ(StToDoubleQuote(S("say \"hi\"")), "say \"\"hi\"\"");
  EXPECT_EQ(StToDoubleQuote(S("\"")), "\"\"");
}

TEST_F(StCoreTest, CompareRules) {
  EXPECT_EQ(StCompare(St(), StCreate(), StLiteral), kStEqual);
  EXPECT_EQ(StCompare(S("ab"), S("abc"), StLiteral), kStBefore);
  EXPECT_EQ(StCompare(S("abc"), S("ab"), StLiteral), kStAfter);
  EXPECT_EQ(StCompare(S("ABC"), S("abc"), StASCIILower), kStEqual);
  EXPECT_EQ(StCompare(S("ABC"), S("abc"), StLiteral), kStBefore);
  EXPECT_EQ(StCompare(S("\xE9"), S("a"), StLiteral), kStAfter) << "unsigned";
  EXPECT_EQ(StCompare(S("\xC9t\xE9"), S("\xE9T\xC9"), StLatinUpper), kStEqual);
  EXPECT_EQ(StCompare(S("\xC9"), S("\xE9"), StASCIIUpper), kStBefore);
  EXPECT_EQ(StCStrCompare(nullptr, "", StLiteral), kStEqual);
  EXPECT_EQ(StCStrCompare("b", "a", StLiteral), kStAfter);
  EXPECT_EQ(StCompare(S(std::string_view("a\0b", 3)), S("a"), StLiteral),
            kStAfter) << "the length, not the terminator, decides";
}

// The Latin-1 tables leave the multiplication and division signs, and the
// letters without another case, alone.
TEST_F(StCoreTest, TranslationTableBoundaries) {
  EXPECT_EQ(StLatinLower[0xC0], 0xE0);
  EXPECT_EQ(StLatinLower[0xDE], 0xFE);
  EXPECT_EQ(StLatinLower[0xD7], 0xD7);
  EXPECT_EQ(StLatinLower[0xDF], 0xDF);
  EXPECT_EQ(StLatinUpper[0xE0], 0xC0);
  EXPECT_EQ(StLatinUpper[0xF7], 0xF7);
  EXPECT_EQ(StLatinUpper[0xFF], 0xFF);
  EXPECT_EQ(StLatinUpper['z'], 'Z');
  EXPECT_EQ(StASCIIUpper[0xE0], 0xE0);
  EXPECT_EQ(StASCIILower['@'], '@');
}

TEST_F(StCoreTest, ByteHash) {
  EXPECT_EQ(StBytesHash("", 0), 0u);
  EXPECT_EQ(StBytesHash("a", 1), 97u);
  // h = 97; then h + ((h >> 1) ^ 98) = 97 + (48 ^ 98) = 97 + 82.
  EXPECT_EQ(StBytesHash("ab", 2), 179u);
  EXPECT_EQ(StHash(St()), 0u);
  EXPECT_EQ(StHash(S("ab")), 179u);
}

TEST_F(StCoreTest, PackageEntry) {
  EXPECT_EQ(StInitRtns(kPkgInit, kPkgVersion), 0);
  EXPECT_EQ(StInitRtns(kPkgDebug, 0), 0);
  EXPECT_FALSE(StDebugFlag);
  EXPECT_EQ(StInitRtns(kPkgDebug, 1), 0);
  EXPECT_TRUE(StDebugFlag);
  // The protocol's other checks are PkgDispatch's (ma_test).
  EXPECT_DEATH(StInitRtns(kPkgInit, kPkgVersion), "StInitRtns-- Pkg already init");
  EXPECT_EQ(StInitRtns(kPkgTerm, 0), 0);
}

using StCoreDeathTest = StCoreTest;

TEST_F(StCoreDeathTest, ArgumentChecksNameTheOperation) {
  BadString bad;
  EXPECT_DEATH(StDup(bad.get()), "StDup-- str\\.");
  EXPECT_DEATH(StCat(bad.get(), S("x")), "StCat-- str1");
  EXPECT_DEATH(StCat(S("x"), bad.get()), "StCat-- str2");
  EXPECT_DEATH(StSubstr(bad.get(), 0, 1), "StSubstr-- StrIn");
  EXPECT_DEATH(StIndex(bad.get(), 0, 'a'), "StIndex-- str");
  EXPECT_DEATH(StCompare(bad.get(), S("x"), StLiteral), "StCompare-- str1");
  EXPECT_DEATH(StCompare(S("x"), bad.get(), StLiteral), "StCompare-- str2");
  EXPECT_DEATH(
      {
        St copy = bad.get();
        StDestroy(copy);
      },
      "StDestroy-- str");
}

TEST_F(StCoreTest, ChecksAreOffWithoutTheDebugFlag) {
  BadString bad;
  StDebugFlag = false;
  St dup = StDup(bad.get());
  StDebugFlag = true;
  EXPECT_EQ(dup, "abc");
}

}  // namespace
}  // namespace quil
