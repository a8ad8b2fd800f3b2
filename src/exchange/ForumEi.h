// ForumEi: the forms of the tagged text format shared by export, import and
// the roll-forward log.
//
// Dates are written in the date language of Td.h with ForumEiTdFormat,
// "M2/D2/Y4.H4:I2:S2": month/day/year.hours:minutes:seconds, two-digit
// fields and a four-digit year ("03/05/2001.13:04:09"), the local time the
// records hold.  Texts are escaped with StToSgml (change records) or
// StToSgmlData (export files, Part of St.h) and put in double quotes when
// HtmlNeedQuotes (Sgml.h) says so.  Identifiers, masks and flag words are
// hexadecimal without prefix, counts decimal.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Buf.h"
#include "LgDb.h"
#include "St.h"

namespace quil {

constexpr char ForumEiTdFormat[] = "M2/D2/Y4.H4:I2:S2";

// The export form of a record date.
St ForumEiTdToSt(const LgDbTd& date);
// Reads a date in the export form (or any form TdParse knows); false when
// the text is none.
bool ForumEiStToTd(std::string_view text, LgDbTd* date);

// Hexadecimal without leading zeros ("0" for 0), and its reader (at most
// eight digits of either case; false for anything else).
St ForumEiHex(uint32_t value);
bool ForumEiParseHex(std::string_view text, uint32_t* value);
// A signed decimal integer of 32 bits; false for anything else.
bool ForumEiParseInt(std::string_view text, int32_t* value);

// A value as it is written into a tag: StToSgml, then double quotes when
// HtmlNeedQuotes asks for them.  Consumes value.
St ForumEiValue(St value);
// The same appended to buf in one pass (the form change records use).
void ForumEiAddValue(Buf& buf, std::string_view value);
void ForumEiAddValue(std::string& out, std::string_view value);
// The time now as records hold it: the forum's clock (ForumSecondsNow, the
// one that stamps the items), turned into a date once per second; *second
// (may be null) gets the second it read.  The same clock, so that a record
// never carries a later second than the item it makes (a finer clock can
// be a tick ahead of the coarse one the forum reads).
LgDbTd ForumEiNow(int64_t* second = nullptr);
// The second of that clock now.
int64_t ForumEiSecondNow();

}  // namespace quil
