// Base64 (RFC 4648 vectors), quoted-printable (RFC 2045) and encoded words
// (RFC 2047 examples), byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "St.h"
#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StMimeTest = quiltest::StTest;

using quiltest::RandomBytes;

// Length of the longest piece of text between separators.
size_t LongestPiece(std::string_view text, std::string_view separator) {
  size_t longest = 0, start = 0;
  for (size_t sep = text.find(separator);; sep = text.find(separator, start)) {
    size_t end = sep == std::string_view::npos ? text.size() : sep;
    longest = std::max(longest, end - start);
    if (sep == std::string_view::npos) return longest;
    start = sep + separator.size();
  }
}

// Count and Data must agree, and Data must write exactly that many bytes.
template <class CountFn, class DataFn>
std::string ThroughBuffer(std::string_view in, CountFn count, DataFn data) {
  int32_t n = count(in.data(), int32_t(in.size()));
  std::string out(size_t(n) + 8, '#');
  EXPECT_EQ(data(in.data(), int32_t(in.size()), out.data()), n);
  EXPECT_EQ(out.substr(size_t(n)), "########") << "wrote past the count";
  out.resize(size_t(n));
  return out;
}

std::string ToBase64(std::string_view in, int32_t line = 0) {
  return ThroughBuffer(
      in, [&](const void* p, int32_t n) { return StBytesToBase64Count(p, n, line); },
      [&](const void* p, int32_t n, char* o) {
        return StBytesToBase64Data(p, n, o, line);
      });
}
std::string FromBase64(std::string_view in) {
  return ThroughBuffer(in, StBytesFromBase64Count, StBytesFromBase64Data);
}
std::string ToQp(std::string_view in) {
  return ThroughBuffer(in, StBytesToQuotedPrintableCount,
                       StBytesToQuotedPrintableData);
}
std::string FromQp(std::string_view in) {
  return ThroughBuffer(in, StBytesFromQuotedPrintableCount,
                       StBytesFromQuotedPrintableData);
}

TEST_F(StMimeTest, Base64Rfc4648Vectors) {
  const char* vectors[][2] = {{"", ""},          {"f", "Zg=="},
                              {"fo", "Zm8="},     {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  for (auto& v : vectors) {
    EXPECT_EQ(ToBase64(v[0]), v[1]);
    EXPECT_EQ(FromBase64(v[1]), v[0]);
  }
  EXPECT_EQ(ToBase64("\xFB\xFF\xBF"), "+/+/");
}

TEST_F(StMimeTest, Base64LinesAndTolerantDecoding) {
  std::string data(60, 'x');
  std::string encoded = ToBase64(data, 76);
  ASSERT_EQ(encoded.size(), 80u + 2);
  EXPECT_EQ(encoded.substr(76, 2), "\r\n");
  EXPECT_EQ(ToBase64(std::string(57, 'x'), 76).find('\r'), std::string::npos)
      << "no break after a full last line";
  EXPECT_EQ(FromBase64(encoded), data);
  EXPECT_EQ(FromBase64(" Zm9v\r\nYmFy \t"), "foobar");
  EXPECT_EQ(FromBase64("Zm9vYg==Zm9v"), "foob") << "stops at the padding";
  EXPECT_EQ(FromBase64("Zm9vY"), "foo") << "a lone final character is dropped";
}

TEST_F(StMimeTest, Base64StringRoundTrip) {
  std::mt19937 rng(3);
  for (int i = 0; i < 100; ++i) {
    std::string data = RandomBytes(rng, rng() % 200);
    EXPECT_EQ(StFromBase64(StToBase64(S(data), 76)), data);
  }
  St empty = StCreate();
  EXPECT_FALSE(StToBase64(empty).IsNil());
}

TEST_F(StMimeTest, QuotedPrintableEncoding) {
  EXPECT_EQ(ToQp("a=b"), "a=3Db");
  EXPECT_EQ(ToQp("caf\xE9 \x7f"), "caf=E9 =7F");
  EXPECT_EQ(ToQp("end \r\nnext\t\r\nlast "), "end=20\r\nnext=09\r\nlast=20");
  EXPECT_EQ(ToQp("unix\nlines\n"), "unix\r\nlines\r\n");
  EXPECT_EQ(ToQp("bare\rcr"), "bare=0Dcr");
  EXPECT_EQ(ToQp("in the middle\tof"), "in the middle\tof");
}

TEST_F(StMimeTest, QuotedPrintableSoftLineBreaks) {
  EXPECT_EQ(ToQp(std::string(76, 'a')), std::string(76, 'a'))
      << "a line of exactly 76 fits";
  EXPECT_EQ(ToQp(std::string(77, 'a')),
            std::string(75, 'a') + "=\r\n" + "aa");
  EXPECT_EQ(ToQp(std::string(200, 'a')),
            std::string(75, 'a') + "=\r\n" + std::string(75, 'a') + "=\r\n" +
                std::string(50, 'a'));
  // An escape is never cut: 74 letters leave no room for "=E9" before "=".
  EXPECT_EQ(ToQp(std::string(74, 'a') + "\xE9" + "b"),
            std::string(74, 'a') + "=\r\n=E9b");
  // A hard break resets the column.
  std::string lines = std::string(70, 'a') + "\r\n" + std::string(70, 'b');
  EXPECT_EQ(ToQp(lines), lines);
  std::mt19937 rng(5);
  for (int i = 0; i < 50; ++i)
    EXPECT_LE(LongestPiece(ToQp(RandomBytes(rng, 500)), "\r\n"), 76u);
}

TEST_F(StMimeTest, QuotedPrintableDecoding) {
  EXPECT_EQ(FromQp("a=3Db=3d"), "a=b=");
  EXPECT_EQ(FromQp("soft=\r\nbreak"), "softbreak");
  EXPECT_EQ(FromQp("soft= \t\r\nbreak=\nunix"), "softbreakunix");
  EXPECT_EQ(FromQp("trailing  \r\nblanks\t"), "trailing\r\nblanks");
  EXPECT_EQ(FromQp("keep  inner"), "keep  inner");
  EXPECT_EQ(FromQp("stray = and =G1 and =4"), "stray = and =G1 and =4");
  EXPECT_EQ(FromQp("ends="), "ends");
}

// Encoding then decoding gives the input back, with lone line feeds turned
// into CR LF.
TEST_F(StMimeTest, QuotedPrintableRoundTrip) {
  std::mt19937 rng(9);
  const char alphabet[] = "ab =\t\r\n\xE9.";
  for (int i = 0; i < 300; ++i) {
    std::string text;
    size_t n = rng() % 300;
    for (size_t k = 0; k < n; ++k)
      text += i % 2 ? char(rng() & 255) : alphabet[rng() % (sizeof alphabet - 1)];
    std::string expected;
    for (size_t k = 0; k < text.size(); ++k) {
      if (text[k] == '\n' && (k == 0 || text[k - 1] != '\r')) expected += '\r';
      expected += text[k];
    }
    EXPECT_EQ(FromQp(ToQp(text)), expected);
    St back = StFromQuotedPrintable(StToQuotedPrintable(S(text)));
    EXPECT_EQ(back, expected);
  }
}

TEST_F(StMimeTest, AreQuotedPrintableMeansEncodingChangesNothing) {
  EXPECT_TRUE(StBytesAreQuotedPrintable("plain text\r\nmore", 16));
  EXPECT_FALSE(StBytesAreQuotedPrintable("a=b", 3));
  EXPECT_FALSE(StBytesAreQuotedPrintable("unix\nline", 9));
  EXPECT_FALSE(StBytesAreQuotedPrintable("blank \r\n", 8));
  EXPECT_FALSE(StBytesAreQuotedPrintable("caf\xE9", 4));
  std::string long77(77, 'a');
  EXPECT_FALSE(StBytesAreQuotedPrintable(long77.data(), 77));
  EXPECT_TRUE(StBytesAreQuotedPrintable(long77.data(), 76));
  std::mt19937 rng(13);
  const char alphabet[] = "ab =\r\n";
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (size_t k = rng() % 100; k > 0; --k) text += alphabet[rng() % 6];
    EXPECT_EQ(StBytesAreQuotedPrintable(text.data(), int32_t(text.size())),
              ToQp(text) == text)
        << text;
  }
  EXPECT_TRUE(quiltest::KeepsBlock("nothing to encode", StToQuotedPrintable));
}

TEST_F(StMimeTest, StandardText) {
  EXPECT_TRUE(StIsStandardText(S("Plain text\t~\r\n")));
  EXPECT_FALSE(StIsStandardText(S("caf\xE9")));
  EXPECT_FALSE(StIsStandardText(S("\x7f")));
  EXPECT_TRUE(StIsStandardText(St()));
}

TEST_F(StMimeTest, IsoQuotedWords) {
  EXPECT_EQ(StToIsoQuoted(S("Andr\xE9")), "=?ISO-8859-1?Q?Andr=E9?=");
  EXPECT_EQ(StToIsoQuoted(S("a b_c?=")), "=?ISO-8859-1?Q?a_b=5Fc=3F=3D?=");
  EXPECT_EQ(StToIsoQuoted(S("If you can read this yo"), "ISO-8859-1", true),
            "=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=");
  EXPECT_EQ(StToIsoQuoted(S("x"), "UTF-8"), "=?UTF-8?Q?x?=");
  EXPECT_TRUE(StToIsoQuoted(St()).IsNil());
}

TEST_F(StMimeTest, IsoQuotedLongTextIsCutIntoWordsOf75) {
  std::mt19937 rng(17);
  for (bool base64 : {false, true}) {
    for (int i = 0; i < 50; ++i) {
      std::string text = RandomBytes(rng, rng() % 300 + 1);
      St words = StToIsoQuoted(S(text), "ISO-8859-1", base64);
      EXPECT_LE(LongestPiece(words.View(), "\r\n "), 75u);
      EXPECT_EQ(StStripEncodedWords(std::move(words)), text);
    }
  }
}

TEST_F(StMimeTest, StripEncodedWordsRfc2047Examples) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"=?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>",
       "Keith Moore <moore@cs.utk.edu>"},
      {"=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>",
       "Keld J\xF8rn Simonsen <keld@dkuug.dk>"},
      {"=?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>",
       "Andr\xE9 Pirard <PIRARD@vm1.ulg.ac.be>"},
      {"=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=\r\n"
       "    =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
       "If you can read this you understand the example."},
      {"(=?ISO-8859-1?Q?a?=)", "(a)"},
      {"(=?ISO-8859-1?Q?a?= b)", "(a b)"},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a_b?=)", "(a b)"},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)", "(a b)"},
      {"=?iso-8859-1?q?lower_case?=", "lower case"},
  };
  for (auto& c : cases) EXPECT_EQ(StStripEncodedWords(S(c.in)), c.out) << c.in;
}

TEST_F(StMimeTest, StripEncodedWordsLeavesMalformedWords) {
  for (const char* text : {"=?ISO-8859-1?X?abc?=", "=?ISO-8859-1?Q?abc",
                           "=??Q?abc?=", "a =? b ?= c", "=?x?Q?a b?="})
    EXPECT_TRUE(quiltest::KeepsBlock(text, StStripEncodedWords)) << text;
  EXPECT_EQ(StStripEncodedWords(S("a =?x?Q?b?= c")), "a b c");
}

}  // namespace
}  // namespace quil
