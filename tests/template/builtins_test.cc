// The keywords the template layer evaluates itself: strings, numbers, dates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "Eval.h"
#include "render.h"

using namespace quil;
using quiltest::Render;
using quiltest::Value;

namespace {

// Runs the tests of this file in GMT so that local dates are predictable.
class Gmt : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};
const auto* const gmtEnv = ::testing::AddGlobalTestEnvironment(new Gmt);

std::string NumberFormat(std::string_view number, std::string_view format) {
  St out;
  if (!ExprNumberFormat(number, format, &out)) return "<error>";
  return out.Str();
}

}  // namespace

TEST(StringMethods, EscapesAndEncodings) {
  EXPECT_EQ(Value("\"a b/c\".toURL"), "a%20b%2Fc");
  EXPECT_EQ(Value("\"a%20b\".fromURL"), "a b");
  EXPECT_EQ(Value("\"<a&b>\".toSGML"), "&lt;a&amp;b&gt;");
  EXPECT_EQ(Value("\"&lt;&amp;\".fromSGML"), "<&");
  EXPECT_EQ(Value("\"hello\".toBase64"), "aGVsbG8=");
  EXPECT_EQ(Value("\"aGVsbG8=\".fromBase64"), "hello");
  // Japanese: EUC-JP "\xA4\xA2" (hiragana a) to Shift JIS and to JIS.
  EXPECT_EQ(Value("\"\xA4\xA2\".toShiftJis"), "\x82\xA0");
  EXPECT_EQ(Value("\"\xA4\xA2\".toJis"), "\x1B$B$\"\x1B(B");
  EXPECT_EQ(Value("\"plain\".toJis"), "plain");
  EXPECT_EQ(Value("\"caf\" & 233.putChar(0, 233).substr(0,0) & \"=\".toQuotedPrintable"),
            "caf=3D");
  EXPECT_EQ(Value("\"a=3Db\".fromQuotedPrintable"), "a=b");
  EXPECT_EQ(Value("\"plain\".isStandardText"), "1");
  EXPECT_EQ(Value("\"plain text\".canUseQuotedPrintable"), "1");
  EXPECT_EQ(Value("\"a=b\".canUseQuotedPrintable"), "0");
  EXPECT_EQ(Value("\"a b\".toIsoQuoted"), "=?ISO-8859-1?Q?a_b?=");
  EXPECT_EQ(Value("\"=?ISO-8859-1?Q?a_b?=\".stripEncodedWords"), "a b");
}

TEST(StringMethods, Pieces) {
  EXPECT_EQ(Value("\"k=v=w\".head(\"=\") & \"|\" & \"k=v=w\".tail(\"=\")"), "k|v=w");
  EXPECT_EQ(Value("\"abc\".tail(\"x\")"), "");
  EXPECT_EQ(Value("\"abc\".head(\"x\")"), "abc");
  EXPECT_EQ(Value("\"abcabc\".lookup(\"ca\")"), "2");
  EXPECT_EQ(Value("\"abc\".lookup(\"x\")"), "-1");
  EXPECT_EQ(Value("\"abcabc\".count"), "6");
  EXPECT_EQ(Value("\"aaaa\".count(\"aa\")"), "2");
  EXPECT_EQ(Value("\"abc\".getChar(1)"), "98");
  EXPECT_EQ(Value("\"abc\".getChar(9)"), "0");
  EXPECT_EQ(Value("\"abc\".putChar(1, 'X')"), "aXc");
  EXPECT_EQ(Value("\"abc\".putChar(3, \"d\")"), "abcd");
  EXPECT_EQ(Value("\"abc\".substr(5)"), "");
  EXPECT_EQ(Value("\"abc\".substr(-2, 2)"), "ab");
}

TEST(StringMethods, CaseTrimAndNames) {
  EXPECT_EQ(Value("\"Abc\".toUpper & \"Abc\".toLower"), "ABCabc");
  EXPECT_EQ(Value("\"\xe9t\xe9\".toUpper"), "\xc9T\xc9");
  EXPECT_EQ(Value("\" \t x y \r\n\".trim"), "x y");
  EXPECT_EQ(Value("\"Smith, John\".nameToFirstLast"), "John Smith");
  EXPECT_EQ(Value("\"John Smith\".nameToLastFirst"), "Smith, John");
  EXPECT_EQ(Value("\"John Smith\".getFirstName & \"/\" & \"John Smith\".getLastName"),
            "John/Smith");
}

TEST(StringMethods, Html) {
  EXPECT_EQ(Value("\"a<b\" & cr & lf & \"c\".plainTextToHtml"), "a<b\r\nc");
  EXPECT_EQ(Value("(\"a<b\" & lf & \"c\").plainTextToHtml"), "a&lt;b<br>\nc");
  EXPECT_EQ(Value("\"<p>one <b>two</b></p>\".htmlStripTags"), "one two");
  EXPECT_EQ(Value("\"see http://x.org/a, or <a href=http://y>http://y</a>\".httpToLinks"),
            "see <a href=\"http://x.org/a\">http://x.org/a</a>, or "
            "<a href=http://y>http://y</a>");
  EXPECT_EQ(Value("\"<b><i>x</i><font size=2>y\".htmlClosure"),
            "<b><i>x</i><font size=2>y</font></b>");
}

TEST(Numbers, HexAndCommas) {
  EXPECT_EQ(Value("255.intToHex"), "ff");
  EXPECT_EQ(Value("-1.intToHex"), "-1");  // unary minus applies after the method
  EXPECT_EQ(Value("(0-1).intToHex"), "ffffffff");
  EXPECT_EQ(Value("\"ff\".hexToInt"), "255");
  EXPECT_EQ(Value("\".1A\".hexToInt"), "26");
  EXPECT_EQ(Value("\"0x10\".hexToInt"), "16");
  EXPECT_EQ(Value("\"zz\".hexToInt"), "0");
  EXPECT_EQ(Value("(0-1234567).intWithCommas"), "-1,234,567");
}

TEST(Numbers, RandomString) {
  std::string s = Value("randomString(12)");
  EXPECT_TRUE(std::regex_match(s, std::regex("[A-Za-z0-9]{12}"))) << s;
  EXPECT_EQ(Value("randomString").size(), 8u);
  EXPECT_EQ(Value("randomString(-3)"), "");
}

TEST(Numbers, NumberFormatParts) {
  EXPECT_EQ(NumberFormat("1234567.891", "#,##0.00"), "1,234,567.89");
  EXPECT_EQ(NumberFormat("1234567.895", "#,##0.00"), "1,234,567.90");
  EXPECT_EQ(NumberFormat("-0.004", "0.00"), "0.00");
  EXPECT_EQ(NumberFormat("-2.5", "0"), "-3");
  EXPECT_EQ(NumberFormat("2.5", "#"), "3");
  EXPECT_EQ(NumberFormat("0.5", "#.##"), ".5");
  EXPECT_EQ(NumberFormat("7", "000"), "007");
  EXPECT_EQ(NumberFormat("1.5", "0.0##"), "1.5");
  EXPECT_EQ(NumberFormat("1.23456", "0.0##"), "1.235");
  EXPECT_EQ(NumberFormat("999.96", "#,##0.0"), "1,000.0");
  EXPECT_EQ(NumberFormat("42", "$#,##0.00 USD"), "$42.00 USD");
  EXPECT_EQ(NumberFormat("-42", "$0"), "-$42");
  EXPECT_EQ(NumberFormat("0.256", "0.0%"), "25.6%");
  EXPECT_EQ(NumberFormat("12345", "0.00E0"), "1.23E4");
  EXPECT_EQ(NumberFormat("0.000123", "0.0E+00"), "1.2E-04");
  EXPECT_EQ(NumberFormat("9.99", "0.0E0"), "1.0E1");
  EXPECT_EQ(NumberFormat("1234", "00.#e0"), "12.3e2");
  EXPECT_EQ(NumberFormat("0", "0.0E0"), "0.0E0");
  EXPECT_EQ(NumberFormat("1e3", "#,##0"), "1,000");
  EXPECT_EQ(NumberFormat("", "0"), "0");
}

TEST(Numbers, NumberFormatMismatches) {
  EXPECT_EQ(NumberFormat("1", "abc"), "<error>");
  EXPECT_EQ(NumberFormat("1", "0 and 0"), "<error>");
  EXPECT_EQ(NumberFormat("x1", "0"), "<error>");
  EXPECT_EQ(NumberFormat("1e999", "0"), "<error>");
  EXPECT_EQ(Value("12.numberFormat(\"none\")"),
            "<b>%% Number format does not match the number: none %%</b>");
  EXPECT_EQ(Value("1234.numberFormat"), "1,234");
  EXPECT_EQ(Value("\"3.14159\".numberFormat(\"0.00\")"), "3.14");
}

TEST(Dates, CurrentDateAndTime) {
  EXPECT_TRUE(std::regex_match(Value("date"),
                               std::regex("[A-Z][a-z][a-z] [0-9]{1,2}, [0-9]{4}")));
  EXPECT_TRUE(std::regex_match(Value("time"), std::regex("[0-9]{2}:[0-9]{2}[ap]m")));
  EXPECT_TRUE(std::regex_match(Value("date \"Y4\""), std::regex("[0-9]{4}")));
  EXPECT_TRUE(std::regex_match(Value("date(\"D2\" & \"/\" & \"M2\")"),
                               std::regex("[0-9]{2}/[0-9]{2}")));
  std::regex object("[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{2}\\.[0-9]{2}\\.[0-9]{2}");
  EXPECT_TRUE(std::regex_match(Value("dateGmt"), object));
  EXPECT_TRUE(std::regex_match(Value("dateObject"), object));
  long secs = std::stol(Value("secsFrom1970"));
  EXPECT_LE(std::abs(secs - long(time(nullptr))), 2);
  EXPECT_NE(Value("milliseconds"), "");
}

TEST(Dates, Methods) {
  EXPECT_EQ(Value("\"2001-03-05-13.04.09\".dateFormat(\"Www, D1 Mmm Y4 H4:I2:S2\")"),
            "Mon, 5 Mar 2001 13:04:09");
  EXPECT_EQ(Value("\"03/05/2001.13:04:09\".dateFormat(\"D3 of Mmm\")"), "5th of Mar");
  EXPECT_EQ(Value("\"2001-03-05-13.04.09\".dateFormat"), "Mar 5, 2001");
  EXPECT_EQ(Value("\"2001-02-28-23.59.59\".dateAddSeconds(1)"), "2001-03-01-00.00.00");
  EXPECT_EQ(Value("\"2001-03-01-00.00.00\".dateSubtractSeconds(86400)"),
            "2001-02-28-00.00.00");
  EXPECT_EQ(Value("\"2001-03-01-00.00.00\".dateDeltaSeconds(\"2001-02-28-00.00.00\")"),
            "86400");
  EXPECT_EQ(Value("\"2001-01-01-00.00.00\".dateLessThan(\"2001-01-01-00.00.01\")"), "1");
  EXPECT_EQ(Value("\"2001-01-01-00.00.00\".dateGreaterThan(\"2001-01-01-00.00.01\")"), "0");
  EXPECT_EQ(Value("\"2001-01-01-00.00.00\".dateEqual(\"01/01/2001\")"), "1");
  EXPECT_EQ(Value("\"junk\".dateLessThan(\"2001-01-01-00.00.00\")"), "0");
  EXPECT_EQ(Value("\"junk\".dateFormat(\"Y4\")"), "");
  EXPECT_EQ(Value("0.dateFormat(\"Y4-M2-D2\")"), "1970-01-01");
  EXPECT_EQ(Value("\"2001-03-05-13.04.09\".dateToGmt"), "2001-03-05-13.04.09");
}
