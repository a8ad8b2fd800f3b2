// Japanese text: detection and the six converters, byte for byte against
// ISO-2022-JP, Shift_JIS and EUC-JP as the standard codecs write them, the
// half-width kana with their sound marks, round trips over the whole JIS X
// 0208 range, and broken sequences.
#include "St.h"

#include <gtest/gtest.h>

#include <string>

#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StJapaneseTest = quiltest::StTest;

// "Japanese text, kana." then "ABC", CR LF, "kanji" and "vu".
const std::string kJis =
    "\x1b$BF|K\\8l$N%F%-%9%H!\"%+%J!#\x1b(BABC\x0d\x0a\x1b$B4A;z%t\x1b(B";
const std::string kSjis =
    "\x93\xfa\x96{\x8c\xea\x82\xcc\x83"
    "e\x83L\x83X\x83g\x81"
    "A\x83J\x83i\x81"
    "BABC\x0d\x0a\x8a\xbf\x8e\x9a\x83\x94";
const std::string kEuc =
    "\xc6\xfc\xcb\xdc\xb8\xec\xa4\xce\xa5\xc6\xa5\xad\xa5\xb9\xa5\xc8\xa1\xa2\xa5\xab\xa5\xca\xa1\xa3"
    "ABC\x0d\x0a\xb4\xc1\xbb\xfa\xa5\xf4";
const std::string kHalfSjis =
    "\xb6\xde\xb7\xde\xb8\xca\xdf\xce\xdf\xaf\xb3\xde\xb0\xa1";
const std::string kHalfEuc =
    "\x8e\xb6\x8e\xde\x8e\xb7\x8e\xde\x8e\xb8\x8e\xca\x8e\xdf\x8e\xce\x8e\xdf\x8e\xaf\x8e\xb3\x8e\xde\x8e\xb0\x8e\xa1";
const std::string kFullJis = "\x1b$B%,%.%/%Q%]%C%t!<!#\x1b(B";
const std::string kFullSjis =
    "\x83K\x83M\x83N\x83p\x83|\x83"
    "b\x83\x94\x81[\x81"
    "B";
const std::string kFullEuc =
    "\xa5\xac\xa5\xae\xa5\xaf\xa5\xd1\xa5\xdd\xa5\xc3\xa5\xf4\xa1\xbc\xa1\xa3";
const std::string kAmbEuc = "\xa4\xd2\xa4\xe9\xa4\xac\xa4\xca";
const std::string kAmbSjis = "\x82\xd0\x82\xe7\x82\xaa\x82\xc8";

TEST_F(StJapaneseTest, DetectsEachEncoding) {
  EXPECT_EQ(DetectCodeType(S("plain ASCII\r\n")), kCodeAscii);
  EXPECT_EQ(DetectCodeType(St()), kCodeAscii);
  EXPECT_EQ(DetectCodeType(S(kJis)), kCodeJis);
  EXPECT_EQ(DetectCodeType(S(kSjis)), kCodeShiftJis);
  EXPECT_EQ(DetectCodeType(S(kEuc)), kCodeEuc);
  // Only half-width kana, in pairs: EUC could hold the same bytes.
  EXPECT_EQ(DetectCodeType(S(kHalfSjis)), kCodeEuc);
  EXPECT_EQ(DetectCodeType(S(kHalfSjis + "!")), kCodeEuc);
  EXPECT_EQ(DetectCodeType(S("\xb6\xde!")), kCodeEuc);
  EXPECT_EQ(DetectCodeType(S("\xb6\xde\xb7!")), kCodeShiftJis);
  EXPECT_EQ(DetectCodeType(S(kAmbSjis)), kCodeShiftJis);
  EXPECT_EQ(DetectCodeType(S(kAmbEuc)), kCodeEuc);     // either; taken as EUC
  EXPECT_EQ(DetectCodeType(S("\xe0\xfd")), kCodeEuc);  // no Shift JIS trail
  EXPECT_EQ(DetectCodeType(S("\xb6"
                             "a")),
            kCodeShiftJis);                              // half-width kana
  EXPECT_EQ(DetectCodeType(S("x\x1b(Bx")), kCodeAscii);  // ASCII escape only
}

TEST_F(StJapaneseTest, ConvertersByteForByte) {
  EXPECT_EQ(StJisToShiftJisXfm(S(kJis)), kSjis);
  EXPECT_EQ(StJisToEucXfm(S(kJis)), kEuc);
  EXPECT_EQ(StShiftJisToJisXfm(S(kSjis)), kJis);
  EXPECT_EQ(StShiftJisToEucXfm(S(kSjis)), kEuc);
  EXPECT_EQ(StEucToJisXfm(S(kEuc)), kJis);
  EXPECT_EQ(StEucToShiftJisXfm(S(kEuc)), kSjis);
  EXPECT_EQ(StToJis(S(kSjis)), kJis);
  EXPECT_EQ(StToJis(S(kEuc)), kJis);
  EXPECT_EQ(StToShiftJis(S(kJis)), kSjis);
  EXPECT_EQ(StToShiftJis(S(kEuc)), kSjis);
  EXPECT_TRUE(
      quiltest::KeepsBlock(kJis, [](St s) { return StToJis(std::move(s)); }));
  EXPECT_TRUE(quiltest::KeepsBlock("ASCII",
                                   [](St s) { return StToJis(std::move(s)); }));
  EXPECT_TRUE(quiltest::KeepsBlock(
      kSjis, [](St s) { return StToShiftJis(std::move(s)); }));
}

TEST_F(StJapaneseTest, HalfWidthKanaBecomeFullWidth) {
  EXPECT_EQ(StShiftJisToJisXfm(S(kHalfSjis)), kFullJis);
  EXPECT_EQ(StShiftJisToEucXfm(S(kHalfSjis)), kFullEuc);
  EXPECT_EQ(StEucToShiftJisXfm(S(kHalfEuc)), kFullSjis);
  EXPECT_EQ(StEucToJisXfm(S(kHalfEuc)), kFullJis);
  // JIS kana: "ESC ( I" and SO/SI, and eight-bit bytes.
  EXPECT_EQ(StJisToShiftJisXfm(S("\x1b(I6^7^8J_N_/3^0!\x1b(B")), kFullSjis);
  EXPECT_EQ(StJisToShiftJisXfm(S("a\x0e"
                                 "6^\x0f"
                                 "b\xb6")),
            "a\x83K"
            "b\x83J");
  // A sound mark that cannot join stays a full-width mark of its own.
  EXPECT_EQ(StShiftJisToEucXfm(S("\xb1\xde\xde")), "\xa5\xa2\xa1\xab\xa1\xab");
  EXPECT_EQ(StShiftJisToEucXfm(S("\xdf")), "\xa1\xac");
}

TEST_F(StJapaneseTest, JisReturnsToAsciiBeforeLineBreaks) {
  EXPECT_EQ(StEucToJisXfm(S("\xb4\xc1\n\xb4\xc1\r\xb4\xc1")),
            "\x1b$B4A\x1b(B\n\x1b$B4A\x1b(B\r\x1b$B4A\x1b(B");
  // Older escapes and a line break inside two-byte mode are read.
  EXPECT_EQ(StJisToEucXfm(S("\x1b$@4A\n4A\x1b(Jx\x1b&@\x1b$B4A")),
            "\xb4\xc1\n\xb4\xc1x\xb4\xc1");
}

TEST_F(StJapaneseTest, EveryJisX0208CodeRoundTrips) {
  std::string jis = "\x1b$B", sjis, euc;
  for (int row = 0x21; row <= 0x7E; ++row)
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      jis += char(row);
      jis += char(cell);
      euc += char(row | 0x80);
      euc += char(cell | 0x80);
    }
  jis += "\x1b(B";
  St s = StJisToShiftJisXfm(S(jis));
  EXPECT_EQ(s.Length(), 94 * 94 * 2);
  EXPECT_EQ(StShiftJisToJisXfm(s), jis);
  EXPECT_EQ(StShiftJisToEucXfm(s), euc);
  EXPECT_EQ(StEucToShiftJisXfm(S(euc)), s);
  EXPECT_EQ(StEucToJisXfm(S(euc)), jis);
  EXPECT_EQ(StJisToEucXfm(S(jis)), euc);
}

TEST_F(StJapaneseTest, BrokenSequencesBecomeGeta) {
  const std::string geta = "\xa2\xae";                    // EUC
  EXPECT_EQ(StShiftJisToEucXfm(S("a\x93")), "a" + geta);  // cut lead byte
  EXPECT_EQ(StShiftJisToEucXfm(S("\x80"
                                 "b")),
            geta + "b");
  EXPECT_EQ(StShiftJisToEucXfm(S("\xf0\x40")), geta);  // user-defined
  EXPECT_EQ(StEucToShiftJisXfm(S("\x8f\xb0\xa1"
                                 "c")),
            "\x81\xac"
            "c");  // JIS X 0212
  EXPECT_EQ(StEucToShiftJisXfm(S("\xb4")), "\x81\xac");
  EXPECT_EQ(StJisToEucXfm(S("\x1b$B4")), geta);
  EXPECT_TRUE(StToJis(St()).IsNil());
}

}  // namespace
}  // namespace quil
