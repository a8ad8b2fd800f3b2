// Td: broken-down times and the date-format language.
//
// A Td is a calendar time split into fields (year, month, day, hour, minute,
// second, millisecond), with the offset of its time zone from GMT and a sign
// for durations.  Times travel between packages as seconds since 1 January
// 1970 (GMT); TdFromSeconds and TdToSeconds convert between the two, in local
// time or in GMT.
//
// TdToSt formats a Td with a format string: the format is copied character by
// character, and these letters (case-sensitive), each optionally followed by
// one digit giving its size, are replaced:
//
//   LETTER  SIZE           OUTPUT
//   Y       1 2* 3 4       year modulo 10, 100, 1000 (zero-padded), full year
//   M       1* 2 3         month number; 2 zero-padded, 3 space-padded
//   Mmm     -              "Jan" ... "Dec";  MMM gives "JAN" ... "DEC"
//   D       1* 2 3 4       day; 2 zero-padded, 3 ordinal ("1st"), 4 space-padded
//   H       1* 2           hour on the 12-hour clock (0 shows as 12); 2 padded
//   H       3 4 5          hour on the 24-hour clock; 4 zero-, 5 space-padded
//   I       1 2*           minutes; 2 zero-padded
//   S       1 2*           seconds; 2 zero-padded
//   L       1 2 3*         tenths, hundredths or thousandths of the second
//   A / a   -              "AM" / "am" before noon, else "PM" / "pm"
//   Www     -              "Sun" ... "Sat";  WWW "SUN";  W alone "Sunday"
//   N       -              "-" when the value is a negative duration
//   t       -              zone offset from GMT as "+hhmm" or "-hhmm"
//   $       -              the next character is copied literally
//
// (* marks the size used when no digit follows.)  A digit that is not a size
// of its letter is not taken as one: it is copied as text.
//
// Thread use: every routine is reentrant (localtime_r, gmtime_r).
#pragma once

#include <cstdint>
#include <string_view>

#include "St.h"

namespace quil {

extern bool TdDebugFlag;

struct Td {
  int32_t year = 1970;
  int32_t month = 1;        // 1..12
  int32_t day = 1;          // 1..31
  int32_t hour = 0;         // 0..23
  int32_t minute = 0;       // 0..59
  int32_t second = 0;       // 0..60
  int32_t millisecond = 0;  // 0..999
  int32_t gmtOffset = 0;    // seconds east of GMT
  bool negative = false;    // a negative duration
};

// Day of the week of t's date, 0 for Sunday.
int TdWeekday(const Td& t);

// Formats t (see the table above).  Never nil; an empty format gives "".
St TdToSt(const Td& t, std::string_view format);

// Splits seconds since 1970 into fields, in local time or in GMT.  Times
// before 1970 are allowed.  ms is copied into the millisecond field.
Td TdFromSeconds(int64_t seconds, bool gmt, int32_t ms = 0);
// The reverse: seconds since 1970 of t read as local time or as GMT.  Fields
// out of range are normalised (31 April is 1 May).
int64_t TdToSeconds(const Td& t, bool gmt);

// The current time, local or GMT, with milliseconds.
Td TdNow(bool gmt);
// Seconds since 1970 now.
int64_t TdSecondsNow();
// Milliseconds of the system clock (since 1970).
int64_t TdMillisecondsNow();

// Reads a date written as "Y4-M2-D2-H4.I2.S2" (the date-object form,
// "2001-03-05-13.04.09"), as "M/D/Y4" optionally followed by ".H:I:S" or a
// blank and "H:I:S" (the export and comparison forms), or as "Y4-M2-D2"
// optionally followed by a blank or "T" and "H:I:S".  Returns false, leaving
// *out unchanged, when the text is none of these or a field is out of range.
bool TdParse(std::string_view text, Td* out);

// Package entry: 1 init, 2 term, 3 debug flag.
uint16_t TdInitRtns(int selector, int32_t value);

}  // namespace quil
