// Objectionable words: the compiled list byte for byte, whole words and
// prefixes, case, multi-byte words, the telephone-number rule and covering;
// and the scrambling of stored text.
#include "St.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StObjectionableTest = quiltest::StTest;

St List(std::string_view words) { return StObjectionableListXfm(S(words)); }

TEST_F(StObjectionableTest, ListIsLengthPrefixedUpperCaseWords) {
  EXPECT_EQ(List(" darn,heck\r\n\xe9t\xe9 ,, damn* "),
            "\x04"
            "DARN"
            "\x04"
            "HECK"
            "\x03"
            "\xc9T\xc9"
            "\x05"
            "DAMN*");
  St longList = List(std::string(300, 'x'));
  EXPECT_EQ(longList.Length(), 256);
  EXPECT_EQ(longList[0], 255);
  EXPECT_EQ(List(""), "");
}

TEST_F(StObjectionableTest, WholeWordsPrefixesAndCase) {
  St list = List("ass darn damn* \xe9t\xe9 \x93\xfa");
  EXPECT_TRUE(StObjectionable(S("what an ASS."), list, false));
  EXPECT_TRUE(StObjectionable(S("Darn"), list, false));
  EXPECT_FALSE(StObjectionable(S("first class"), list, false));
  EXPECT_FALSE(StObjectionable(S("assess darned"), list, false));
  EXPECT_TRUE(StObjectionable(S("it's damned"), list, false));
  EXPECT_FALSE(StObjectionable(S("goddamn"), list, false));
  EXPECT_TRUE(StObjectionable(S("l'\xc9T\xc9!"), list, false));  // Latin-1 case
  EXPECT_TRUE(StObjectionable(S("abc\x93\xfa"
                                "def"),
                              list, false));  // anywhere
  EXPECT_FALSE(StObjectionable(S("nothing here"), list, false));
  EXPECT_FALSE(StObjectionable(S("ass"), St(), false));
  EXPECT_FALSE(StObjectionable(S("a star * here"), List("*"), false));
  EXPECT_FALSE(StObjectionable(St(), list, true));
}

TEST_F(StObjectionableTest, TelephoneNumbers) {
  for (std::string_view yes :
       {"call 555-1234", "(212) 555-1234", "+1 212 555 1234", "5551234",
        "tel.212.555.1234."})
    EXPECT_TRUE(StObjectionable(S(yes), St(), true)) << yes;
  for (std::string_view no :
       {"555-123", "on 2026-12-05", "1,234,567", "x5551234", "12 345 67",
        "5551234x", "1234567890123456"})
    EXPECT_FALSE(StObjectionable(S(no), St(), true)) << no;
  EXPECT_FALSE(StObjectionable(S("call 555-1234"), St(), false));
}

TEST_F(StObjectionableTest, CoverWrapsEveryMatch) {
  St list = List("darn damn*");
  EXPECT_EQ(
      StObjectionableCover(S("Darn it, damned phone 555-1234!"), list, true),
      "<font color=red>Darn</font> it, <font color=red>damned</font> phone "
      "<font color=red>555-1234</font>!");
  EXPECT_EQ(StObjectionableCover(S("darn"), list, false, "[", "]"), "[darn]");
  EXPECT_TRUE(quiltest::KeepsBlock("clean text 555-1234", [&](St s) {
    return StObjectionableCover(std::move(s), list, false);
  }));
}

TEST_F(StObjectionableTest, ScramblingIsStableAndReversible) {
  // The stored format: these bytes must read back in every later version.
  EXPECT_EQ(StEncrypt(S("secret")), StEncrypt(S("secret")));
  St fixed = StEncrypt(S("password 1\r\n\xe9"));
  EXPECT_EQ(fixed.Length(), 13);
  EXPECT_EQ(fixed.View().substr(10), "\r\n\xe9");
  EXPECT_EQ(fixed.View().substr(0, 10), "$\\%\\^7M'N{");
  EXPECT_EQ(StDecrypt(fixed), "password 1\r\n\xe9");
  EXPECT_NE(StEncrypt(S("secret"), "k1"), StEncrypt(S("secret"), "k2"));
  EXPECT_NE(StDecrypt(StEncrypt(S("secret"), "k1"), "k2"), "secret");
  std::mt19937 rng(3);
  for (size_t n : {0u, 1u, 95u, 1000u}) {
    std::string data = quiltest::RandomBytes(rng, n);
    St enc = StEncrypt(S(data), "key");
    for (size_t i = 0; i < n; ++i) {
      uint8_t in = uint8_t(data[i]), out = enc[int32_t(i)];
      EXPECT_EQ(in >= 32 && in <= 126, out >= 32 && out <= 126);
      if (in < 32 || in > 126) {
        EXPECT_EQ(in, out);
      }
    }
    EXPECT_EQ(StDecrypt(enc, "key"), data);
  }
  // A shared block is not changed under its other holders.
  St shared = S("abc");
  St copy = shared;
  St enc = StEncrypt(std::move(copy));
  EXPECT_EQ(shared, "abc");
  EXPECT_TRUE(StEncrypt(St()).IsNil());
}

}  // namespace
}  // namespace quil
