// Date formats, date parsing and time conversions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "Td.h"

using namespace quil;

namespace {

Td Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  Td t;
  t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi,
  t.second = s, t.millisecond = ms;
  return t;
}

std::string Fmt(const Td& t, const char* format) {
  return TdToSt(t, format).Str();
}

}  // namespace

TEST(TdFormat, MailAndNewsHeaders) {
  Td t = Date(2001, 3, 5, 13, 4, 9);
  EXPECT_EQ(Fmt(t, "Www, D1 Mmm Y4 H4:I2:S2"), "Mon, 5 Mar 2001 13:04:09");
  EXPECT_EQ(Fmt(t, "Www, D1 Mmm Y4 H3:I2:S2 G$MT"), "Mon, 5 Mar 2001 13:04:09 GMT");
  EXPECT_EQ(Fmt(t, "D2-Mmm-Y2 H4:I2:S2"), "05-Mar-01 13:04:09");
  EXPECT_EQ(Fmt(t, "D2/Mmm/Y4:H4:I2:S2"), "05/Mar/2001:13:04:09");
  EXPECT_EQ(Fmt(t, "Y4M2D2H4I2S2"), "20010305130409");
  EXPECT_EQ(Fmt(t, "M2/D2/Y4.H4:I2:S2"), "03/05/2001.13:04:09");
  EXPECT_EQ(Fmt(t, "Y4-M2-D2-H4.I2.S2"), "2001-03-05-13.04.09");
}

TEST(TdFormat, EveryLetterAndSize) {
  Td t = Date(2007, 9, 3, 8, 5, 7, 456);
  EXPECT_EQ(Fmt(t, "Y1|Y2|Y3|Y4|Y"), "7|07|007|2007|07");
  EXPECT_EQ(Fmt(t, "M1|M2|M3|M|Mmm|MMM"), "9|09| 9|9|Sep|SEP");
  EXPECT_EQ(Fmt(t, "D1|D2|D3|D4|D"), "3|03|3rd| 3|3");
  EXPECT_EQ(Fmt(t, "H1|H2|H3|H4|H5|H"), "8|08|8|08| 8|8");
  EXPECT_EQ(Fmt(t, "I1|I2|I|S1|S2|S"), "5|05|05|7|07|07");
  EXPECT_EQ(Fmt(t, "L1|L2|L3|L"), "4|45|456|456");
  EXPECT_EQ(Fmt(t, "A a"), "AM am");
  EXPECT_EQ(Fmt(t, "Www|WWW|W"), "Mon|MON|Monday");
  EXPECT_EQ(Fmt(t, "N|$Y$$|t"), "|Y$|+0000");
  EXPECT_EQ(Fmt(t, "D9 Y5"), "39 075");  // not sizes: copied after the default
  EXPECT_EQ(Fmt(t, "xyz, Mm Ww"), "xyz, 9m Mondayw");
}

TEST(TdFormat, ClockAndOrdinals) {
  EXPECT_EQ(Fmt(Date(2000, 1, 1, 0), "H1 A|H3|H5"), "12 AM|0| 0");
  EXPECT_EQ(Fmt(Date(2000, 1, 1, 12), "H1 a"), "12 pm");
  EXPECT_EQ(Fmt(Date(2000, 1, 1, 23), "H2 A|H4"), "11 PM|23");
  const char* want[] = {"1st", "2nd", "3rd", "4th", "11th", "12th", "13th",
                        "21st", "22nd", "23rd", "24th", "31st"};
  int days[] = {1, 2, 3, 4, 11, 12, 13, 21, 22, 23, 24, 31};
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(Fmt(Date(2000, 1, days[i]), "D3"), want[i]);
}

TEST(TdFormat, NegativeDurationsAndZones) {
  Td t = Date(2000, 1, 1);
  t.negative = true;
  t.gmtOffset = -(5 * 3600 + 30 * 60);
  EXPECT_EQ(Fmt(t, "NH4:I2 t"), "-00:00 -0530");
  EXPECT_EQ(Fmt(t, ""), "");
  EXPECT_EQ(Fmt(t, "$"), "");
}

TEST(TdFormat, LongestOutputFitsTheBuffer) {
  std::string format;
  for (int i = 0; i < 100; ++i) format += "W ";
  EXPECT_EQ(TdToSt(Date(2001, 3, 7), format).Length(), 1000);  // "Wednesday "
  Td wild = Date(-2147483647 - 1, 0, -2147483647 - 1, -2147483647 - 1);
  wild.gmtOffset = -2147483647 - 1;
  EXPECT_EQ(TdToSt(wild, "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDt").Length(),
            37 * 11 + 5);
}

TEST(TdWeekday, KnownDates) {
  EXPECT_EQ(TdWeekday(Date(1970, 1, 1)), 4);
  EXPECT_EQ(TdWeekday(Date(2000, 2, 29)), 2);
  EXPECT_EQ(TdWeekday(Date(1969, 12, 31)), 3);
  EXPECT_EQ(TdWeekday(Date(1600, 3, 1)), 3);
}

TEST(TdConvert, GmtRoundTrips) {
  for (int64_t secs : {int64_t(0), int64_t(983797449), int64_t(-1),
                       int64_t(-86400 * 365), int64_t(4102444800)}) {
    Td t = TdFromSeconds(secs, true);
    EXPECT_EQ(TdToSeconds(t, true), secs);
  }
  Td t = TdFromSeconds(983797449, true);
  EXPECT_EQ(Fmt(t, "Y4-M2-D2 H4:I2:S2"), "2001-03-05 13:04:09");
  Td leap = Date(2001, 2, 29);  // normalised: 1 March
  EXPECT_EQ(TdToSeconds(leap, true), TdToSeconds(Date(2001, 3, 1), true));
}

TEST(TdConvert, LocalTimeFollowsTheZone) {
  setenv("TZ", "EST5", 1);
  tzset();
  Td t = TdFromSeconds(983797449, false);
  EXPECT_EQ(Fmt(t, "H4:I2 t"), "08:04 -0500");
  EXPECT_EQ(TdToSeconds(t, false), 983797449);
  setenv("TZ", "UTC", 1);
  tzset();
}

TEST(TdParse, Forms) {
  Td t;
  ASSERT_TRUE(TdParse("2001-03-05-13.04.09", &t));
  EXPECT_EQ(Fmt(t, "Y4 M1 D1 H4 I2 S2"), "2001 3 5 13 04 09");
  ASSERT_TRUE(TdParse("3/5/2001.13:04:09", &t));
  EXPECT_EQ(Fmt(t, "Y4 M1 D1 H4 I2 S2"), "2001 3 5 13 04 09");
  ASSERT_TRUE(TdParse(" 12/31/1999 ", &t));
  EXPECT_EQ(Fmt(t, "Y4 M2 D2 H4"), "1999 12 31 00");
  ASSERT_TRUE(TdParse("2001-03-05T01:02:03", &t));
  EXPECT_EQ(Fmt(t, "H4 I2 S2"), "01 02 03");
  ASSERT_TRUE(TdParse("2001-03-05", &t));
}

TEST(TdParse, Rejects) {
  Td t = Date(1999, 1, 1);
  for (const char* bad : {"", "2001", "2001-13-01", "2001-01-32", "1/1/01",
                          "1/1/2001.25:00:00", "2001-01-01-1.2", "x2001-01-01",
                          "2001-01-01 junk", "1/1/2001.", "12345-01-01"})
    EXPECT_FALSE(TdParse(bad, &t)) << bad;
  EXPECT_EQ(t.year, 1999);
}
