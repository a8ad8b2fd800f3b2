// Broken-down times, their conversions and the date-format language.
#include "Td.h"

#include <sys/time.h>

#include <cstring>
#include <ctime>

#include "Ma.h"

namespace quil {

bool TdDebugFlag = true;

namespace {

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr",
                                         "May", "Jun", "Jul", "Aug",
                                         "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDayNames[7] = {"Sunday",   "Monday", "Tuesday",
                                      "Wednesday", "Thursday", "Friday",
                                      "Saturday"};

// Days since 1970-01-01 of a proleptic Gregorian date; month may lie outside
// 1..12 and day outside the month (both are carried).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  int64_t m0 = m - 1;
  y += m0 >= 0 ? m0 / 12 : (m0 - 11) / 12;
  m0 -= (m0 >= 0 ? m0 / 12 : (m0 - 11) / 12) * 12;
  int64_t mm = m0 + 1;  // 1..12
  int64_t yy = mm <= 2 ? y - 1 : y;
  int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  int64_t yoe = yy - era * 400;
  int64_t doy = (153 * (mm > 2 ? mm - 3 : mm + 9) + 2) / 5;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + (d - 1);
}

void CivilFromDays(int64_t z, int32_t* y, int32_t* m, int32_t* d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t dd = doy - (153 * mp + 2) / 5 + 1;
  int64_t mm = mp < 10 ? mp + 3 : mp - 9;
  *y = int32_t(yoe + era * 400 + (mm <= 2 ? 1 : 0));
  *m = int32_t(mm);
  *d = int32_t(dd);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Appends value in decimal, padded on the left to width with pad.
void PutNum(char*& p, int64_t value, int width, char pad) {
  char digits[24];
  int n = 0;
  uint64_t v = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
  do {
    digits[n++] = char('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) digits[n++] = '-';
  for (int i = n; i < width; ++i) *p++ = pad;
  while (n > 0) *p++ = digits[--n];
}

void PutText(char*& p, const char* text, bool upper) {
  for (; *text; ++text)
    *p++ = upper && *text >= 'a' && *text <= 'z' ? char(*text - 32) : *text;
}

}  // namespace

int TdWeekday(const Td& t) {
  int64_t days = DaysFromCivil(t.year, t.month, t.day);
  int64_t w = (days + 4) % 7;  // 1970-01-01 was a Thursday
  return int(w < 0 ? w + 7 : w);
}

St TdToSt(const Td& t, std::string_view format) {
  // No letter writes more than 11 bytes per format character (a day or
  // hour out of range as a signed 32-bit number, "Wednesday" for one "W").
  int64_t want = int64_t(format.size()) * 12 + 16;
  if (want > INT32_MAX / 2) MaMemHalt();
  int32_t cap = int32_t(want);
  St out = StAlloc(cap);
  char* const start = out.MutableChars();
  char* p = start;
  const size_t n = format.size();
  auto size = [&](size_t& i, const char* allowed, int deflt) {
    if (i + 1 < n && format[i + 1] >= '0' && format[i + 1] <= '9' &&
        strchr(allowed, format[i + 1])) {
      ++i;
      return format[i] - '0';
    }
    return deflt;
  };
  int32_t month = t.month >= 1 && t.month <= 12 ? t.month : 1;
  for (size_t i = 0; i < n; ++i) {
    char c = format[i];
    switch (c) {
      case 'Y': {
        int s = size(i, "1234", 2);
        int64_t y = t.year < 0 ? -int64_t(t.year) : t.year;
        if (s == 1) PutNum(p, y % 10, 1, '0');
        else if (s == 2) PutNum(p, y % 100, 2, '0');
        else if (s == 3) PutNum(p, y % 1000, 3, '0');
        else PutNum(p, t.year, 1, '0');
        break;
      }
      case 'M': {
        if (i + 2 < n && format[i + 1] == 'm' && format[i + 2] == 'm') {
          PutText(p, kMonthNames[month - 1], false);
          i += 2;
        } else if (i + 2 < n && format[i + 1] == 'M' && format[i + 2] == 'M') {
          PutText(p, kMonthNames[month - 1], true);
          i += 2;
        } else {
          int s = size(i, "123", 1);
          PutNum(p, t.month, s == 1 ? 1 : 2, s == 3 ? ' ' : '0');
        }
        break;
      }
      case 'D': {
        int s = size(i, "1234", 1);
        if (s == 3) {
          PutNum(p, t.day, 1, '0');
          int d = t.day % 100;
          const char* suffix = "th";
          if (d < 11 || d > 13) {
            if (d % 10 == 1) suffix = "st";
            else if (d % 10 == 2) suffix = "nd";
            else if (d % 10 == 3) suffix = "rd";
          }
          PutText(p, suffix, false);
        } else {
          PutNum(p, t.day, s == 1 ? 1 : 2, s == 4 ? ' ' : '0');
        }
        break;
      }
      case 'H': {
        int s = size(i, "12345", 1);
        if (s <= 2) {
          int h = t.hour % 12;
          PutNum(p, h == 0 ? 12 : h, s == 2 ? 2 : 1, '0');
        } else {
          PutNum(p, t.hour, s == 3 ? 1 : 2, s == 5 ? ' ' : '0');
        }
        break;
      }
      case 'I':
        PutNum(p, t.minute, size(i, "12", 2), '0');
        break;
      case 'S':
        PutNum(p, t.second, size(i, "12", 2), '0');
        break;
      case 'L': {
        int s = size(i, "123", 3);
        int ms = t.millisecond < 0 ? 0 : t.millisecond % 1000;
        if (s == 1) PutNum(p, ms / 100, 1, '0');
        else if (s == 2) PutNum(p, ms / 10, 2, '0');
        else PutNum(p, ms, 3, '0');
        break;
      }
      case 'A':
        PutText(p, t.hour < 12 ? "AM" : "PM", false);
        break;
      case 'a':
        PutText(p, t.hour < 12 ? "am" : "pm", false);
        break;
      case 'W': {
        const char* name = kDayNames[TdWeekday(t)];
        if (i + 2 < n && format[i + 1] == 'w' && format[i + 2] == 'w') {
          *p++ = name[0], *p++ = name[1], *p++ = name[2];
          i += 2;
        } else if (i + 2 < n && format[i + 1] == 'W' && format[i + 2] == 'W') {
          char abbrev[4] = {name[0], name[1], name[2], 0};
          PutText(p, abbrev, true);
          i += 2;
        } else {
          PutText(p, name, false);
        }
        break;
      }
      case 'N':
        if (t.negative) *p++ = '-';
        break;
      case 't': {
        int64_t off = t.gmtOffset;
        *p++ = off < 0 ? '-' : '+';
        if (off < 0) off = -off;
        PutNum(p, (off / 3600) % 100, 2, '0');
        PutNum(p, (off / 60) % 60, 2, '0');
        break;
      }
      case '$':
        if (i + 1 < n) *p++ = format[++i];
        break;
      default:
        *p++ = c;
        break;
    }
  }
  int32_t len = int32_t(p - start);
  MA_CHECK(TdDebugFlag, len <= cap, "TdToSt--output overflow");
  out.SetLength(len);
  return out;
}

Td TdFromSeconds(int64_t seconds, bool gmt, int32_t ms) {
  Td t;
  t.millisecond = ms;
  if (!gmt) {
    time_t tt = time_t(seconds);
    struct tm tm;
    if (localtime_r(&tt, &tm)) {
      t.year = tm.tm_year + 1900;
      t.month = tm.tm_mon + 1;
      t.day = tm.tm_mday;
      t.hour = tm.tm_hour;
      t.minute = tm.tm_min;
      t.second = tm.tm_sec;
      t.gmtOffset = int32_t(tm.tm_gmtoff);
      return t;
    }
  }
  int64_t days = FloorDiv(seconds, 86400);
  int64_t rest = seconds - days * 86400;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = int32_t(rest / 3600);
  t.minute = int32_t(rest / 60 % 60);
  t.second = int32_t(rest % 60);
  return t;
}

int64_t TdToSeconds(const Td& t, bool gmt) {
  if (!gmt) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    time_t tt = mktime(&tm);
    if (tt != time_t(-1) || (tm.tm_year == 69 && tm.tm_mday == 31))
      return int64_t(tt);
  }
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + int64_t(t.hour) * 3600 +
         int64_t(t.minute) * 60 + t.second;
}

int64_t TdMillisecondsNow() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return int64_t(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

int64_t TdSecondsNow() { return int64_t(time(nullptr)); }

Td TdNow(bool gmt) {
  int64_t ms = TdMillisecondsNow();
  int64_t secs = FloorDiv(ms, 1000);
  return TdFromSeconds(secs, gmt, int32_t(ms - secs * 1000));
}

namespace {

// Reads 1..maxDigits decimal digits at text[*i].
bool ReadNum(std::string_view text, size_t* i, int maxDigits, int32_t* out) {
  int32_t v = 0;
  int digits = 0;
  while (*i < text.size() && digits < maxDigits && text[*i] >= '0' &&
         text[*i] <= '9') {
    v = v * 10 + (text[*i] - '0');
    ++*i, ++digits;
  }
  *out = v;
  return digits > 0;
}

bool Expect(std::string_view text, size_t* i, char c) {
  if (*i < text.size() && text[*i] == c) {
    ++*i;
    return true;
  }
  return false;
}

bool ReadClock(std::string_view text, size_t* i, char sep, Td* t) {
  return ReadNum(text, i, 2, &t->hour) && Expect(text, i, sep) &&
         ReadNum(text, i, 2, &t->minute) && Expect(text, i, sep) &&
         ReadNum(text, i, 2, &t->second);
}

bool InRange(const Td& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
         t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
         t.second >= 0 && t.second <= 60;
}

}  // namespace

bool TdParse(std::string_view text, Td* out) {
  while (!text.empty() && uint8_t(text.front()) < 33) text.remove_prefix(1);
  while (!text.empty() && uint8_t(text.back()) < 33) text.remove_suffix(1);
  Td t;
  size_t i = 0;
  int32_t first = 0;
  size_t start = i;
  if (!ReadNum(text, &i, 4, &first)) return false;
  if (i - start == 4 && Expect(text, &i, '-')) {
    // Y4-M2-D2 with "-H4.I2.S2", " H:I:S" or "TH:I:S".
    t.year = first;
    if (!ReadNum(text, &i, 2, &t.month) || !Expect(text, &i, '-') ||
        !ReadNum(text, &i, 2, &t.day))
      return false;
    if (i < text.size()) {
      char sep = text[i++];
      if (sep == '-') {
        if (!ReadClock(text, &i, '.', &t)) return false;
      } else if (sep == ' ' || sep == 'T') {
        if (!ReadClock(text, &i, ':', &t)) return false;
      } else {
        return false;
      }
    }
  } else if (i - start <= 2 && Expect(text, &i, '/')) {
    // M/D/Y4 with ".H:I:S" or " H:I:S".
    t.month = first;
    if (!ReadNum(text, &i, 2, &t.day) || !Expect(text, &i, '/')) return false;
    size_t ys = i;
    if (!ReadNum(text, &i, 4, &t.year) || i - ys != 4) return false;
    if (i < text.size()) {
      char sep = text[i++];
      if ((sep != '.' && sep != ' ') || !ReadClock(text, &i, ':', &t))
        return false;
    }
  } else {
    return false;
  }
  if (i != text.size() || !InRange(t)) return false;
  *out = t;
  return true;
}

namespace {
PkgState tdState;
}  // namespace

uint16_t TdInitRtns(int selector, int32_t value) {
  if (selector == kPkgDebug) {
    TdDebugFlag = value != 0;
  }
  return PkgDispatch(tdState, "TdInitRtns", selector, value, PkgSteps{});
}

}  // namespace quil
