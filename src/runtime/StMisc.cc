// The rest of the string family: lists of strings, trimming, editing,
// splitting and joining, look-up, number forms and keyword search.
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "St.h"
#include "StInt.h"

namespace quil {

using st_internal::CheckedLength;
using st_internal::HexValue;
using st_internal::kLowerHex;

// ---------------------------------------------------------------------------
// Lists of strings.

int StLiCompare(const StList& a, const StList& b, StTable table) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    int c = StCompare(a[i], b[i], table);
    if (c != kStEqual) return c;
  }
  if (a.size() == b.size()) return kStEqual;
  return a.size() < b.size() ? kStBefore : kStAfter;
}

void StLiDestroy(StList& list) noexcept {
  for (St& s : list) StDestroy(s);
  list.clear();
}
void ExStLiDestroy(StList& list) noexcept { list.clear(); }
void ExStLiStop(StList& list) noexcept { list.clear(); }

StList StListDup(const StList& list) {
  for (const St& s : list) StCheck(s, "StListDup-- str");
  return list;
}

bool StLiIsMember(const StList& list, const St& str, StTable table) {
  StCheck(str, "StLiIsMember-- str");
  for (const St& s : list)
    if (StCompare(s, str, table) == kStEqual) return true;
  return false;
}

int64_t StLiLength(const StList& list) {
  int64_t total = 0;
  for (const St& s : list) total += s.Length();
  return total;
}

// ---------------------------------------------------------------------------
// Trimming and editing.

bool StIsWhitespace(const St& str) {
  StCheck(str, "StIsWhitespace-- str");
  for (uint8_t c : str.View())
    if (!StCharIsWhiteSpace(c)) return false;
  return true;
}

namespace {

// The part of str between a leading and a trailing run of bytes for which
// drop is true; str itself when there is none.
template <class Drop>
St StripEnds(St str, Drop drop) {
  std::string_view v = str.View();
  size_t begin = 0, end = v.size();
  while (begin < end && drop(uint8_t(v[begin]))) ++begin;
  while (end > begin && drop(uint8_t(v[end - 1]))) --end;
  if (begin == 0 && end == v.size()) return str;
  return StCreateLen(v.data() + begin, int32_t(end - begin));
}

}  // namespace

St StStripBlanks(St str) {
  StCheck(str, "StStripBlanks-- str");
  return StripEnds(std::move(str), StCharIsWhiteSpace);
}

St StStripEdges(St str, const char* chars) {
  StCheck(str, "StStripEdges-- str");
  if (!chars) return str;
  return StripEnds(std::move(str),
                   [chars](uint8_t c) { return c && strchr(chars, c); });
}

St StStripChar(St str, uint8_t byte) {
  StCheck(str, "StStripChar-- str");
  if (StIndex(str, 0, byte) < 0) return str;
  str = StSoleOwner(std::move(str));
  char* s = str.MutableChars();
  int32_t w = 0, n = str.Length();
  for (int32_t r = 0; r < n; ++r)
    if (uint8_t(s[r]) != byte) s[w++] = s[r];
  str.SetLength(w);
  return str;
}

St StSet(St str, int32_t ix, uint8_t byte) {
  StCheck(str, "StSet-- str");
  if (ix < 0 || ix >= str.Length() || str[ix] == byte) return str;
  str = StSoleOwner(std::move(str));
  str.MutableChars()[ix] = char(byte);
  return str;
}

bool StSetOnce(St* var, St value) {
  StCheck(*var, "StSetOnce-- var");
  StCheck(value, "StSetOnce-- value");
  if (!var->IsNil()) return false;
  *var = std::move(value);
  return true;
}

St StAddByte(St str, int32_t ix, uint8_t byte) {
  StCheck(str, "StAddByte-- str");
  int32_t n = str.Length();
  if (ix < 0) ix = 0;
  if (ix > n) ix = n;
  str = StRAlloc(std::move(str), CheckedLength(int64_t(n) + 1));
  char* s = str.MutableChars();
  memmove(s + ix + 1, s + ix, size_t(n - ix));
  s[ix] = char(byte);
  return str;
}

St StRemove(St str, int32_t start, int32_t count) {
  StCheck(str, "StRemove-- str");
  int32_t n = str.Length();
  if (start < 0) start = 0;
  if (start >= n || count <= 0) return str;
  if (count > n - start) count = n - start;
  str = StSoleOwner(std::move(str));
  char* s = str.MutableChars();
  memmove(s + start, s + start + count, size_t(n - start - count));
  str.SetLength(n - count);
  return str;
}

St StSubtractByte(St str, int32_t ix) {
  StCheck(str, "StSubtractByte-- str");
  if (ix < 0) return str;
  return StRemove(std::move(str), ix, 1);
}

St StReplace(St str, const St& from, const St& to) {
  StCheck(str, "StReplace-- str");
  StCheck(from, "StReplace-- from");
  StCheck(to, "StReplace-- to");
  std::string_view v = str.View(), f = from.View(), t = to.View();
  if (f.empty()) return str;
  int64_t hits = 0;
  for (size_t p = v.find(f); p != std::string_view::npos; p = v.find(f, p + f.size()))
    ++hits;
  if (hits == 0) return str;
  int32_t outLen =
      CheckedLength(int64_t(v.size()) + hits * (int64_t(t.size()) - int64_t(f.size())));
  St out = StAlloc(outLen);
  char* q = out.MutableChars();
  size_t at = 0;
  for (size_t p = v.find(f); p != std::string_view::npos; p = v.find(f, at)) {
    memcpy(q, v.data() + at, p - at);
    q += p - at;
    memcpy(q, t.data(), t.size());
    q += t.size();
    at = p + f.size();
  }
  memcpy(q, v.data() + at, v.size() - at);
  q += v.size() - at;
  MA_CHECK(StDebugFlag, q == out.MutableChars() + outLen,
           "StReplace--string length mismatch");
  return out;
}

St StRepeat(St str, int32_t count) {
  StCheck(str, "StRepeat-- str");
  if (count <= 0) return StCreate();
  if (count == 1) return str;
  int32_t n = str.Length();
  St out = StAlloc(CheckedLength(int64_t(n) * count));
  for (int32_t i = 0; i < count; ++i)
    memcpy(out.MutableChars() + int64_t(i) * n, str.CStr(), size_t(n));
  return out;
}

// ---------------------------------------------------------------------------
// Splitting and joining.

StList StSplit(const St& str, uint8_t delim) {
  StCheck(str, "StSplit-- str");
  StList fields;
  if (str.Empty()) return fields;
  int32_t start = 0;
  for (;;) {
    int32_t at = StIndex(str, start, delim);
    if (at < 0) {
      fields.push_back(StCreateLen(str.CStr() + start, str.Length() - start));
      return fields;
    }
    fields.push_back(StCreateLen(str.CStr() + start, at - start));
    start = at + 1;
  }
}

St StSplitField(St* rest, uint8_t delim) {
  StCheck(*rest, "StSplitField-- rest");
  if (rest->IsNil()) return St();
  int32_t at = StIndex(*rest, 0, delim);
  if (at < 0) return std::move(*rest);
  St field = StCreateLen(rest->CStr(), at);
  *rest = StCreateLen(rest->CStr() + at + 1, rest->Length() - at - 1);
  return field;
}

St StSplitLine(St* rest) {
  St line = StSplitField(rest, '\n');
  int32_t n = line.Length();
  if (n > 0 && line[n - 1] == '\r') line = StRAlloc(std::move(line), n - 1);
  return line;
}

St StPack(const StList& list) {
  std::string out;
  for (const St& s : list) {
    StCheck(s, "StPack-- str");
    out += std::to_string(s.Length());
    out += ':';
    out += s.View();
  }
  return StFromView(out);
}

bool StUnpack(const St& packed, StList* list) {
  StCheck(packed, "StUnpack-- packed");
  list->clear();
  std::string_view v = packed.View();
  while (!v.empty()) {
    size_t colon = v.find(':');
    if (colon == std::string_view::npos) colon = v.size();
    int32_t len = 0;
    auto [end, err] = std::from_chars(v.data(), v.data() + colon, len);
    if (colon == v.size() || colon == 0 || err != std::errc() ||
        end != v.data() + colon || len < 0 ||
        size_t(len) > v.size() - colon - 1) {
      list->clear();
      return false;
    }
    list->push_back(StCreateLen(v.data() + colon + 1, len));
    v.remove_prefix(colon + 1 + size_t(len));
  }
  return true;
}

St StLiPack(const StList& list, std::string_view separator) {
  int64_t total = 0;
  for (const St& s : list) total += s.Length() + int64_t(separator.size());
  if (list.empty()) return StCreate();
  St out = StReserve(StCreate(), CheckedLength(total));
  for (size_t i = 0; i < list.size(); ++i) {
    StCheck(list[i], "StLiPack-- str");
    if (i > 0) out = StAppendView(std::move(out), separator);
    out = StAppendView(std::move(out), list[i].View());
  }
  return out;
}

namespace {

// Decodes one part of form data: "+" is a blank, "%XX" a byte.
St FormDecode(std::string_view part) {
  St s = StFromView(part);
  s = StTranslateC(std::move(s), "+", " ");
  return StFromUrlQuote(std::move(s));
}

// Encodes one part of form data: the URL quoting with a blank as "+".
St FormEncode(const St& part) {
  St s = StToUrlQuoteC(part, " &=+#?/;:$,@!*'\"<>\x7f");
  return StReplace(std::move(s), StFromView("%20"), StFromView("+"));
}

}  // namespace

void StParseDataString(const St& data, StList* names, StList* values) {
  StCheck(data, "StParseDataString-- data");
  names->clear();
  values->clear();
  for (const St& part : StSplit(data, '&')) {
    if (part.Empty()) continue;
    std::string_view v = part.View();
    size_t eq = v.find('=');
    names->push_back(FormDecode(v.substr(0, eq)));
    values->push_back(eq == std::string_view::npos ? StCreate()
                                                   : FormDecode(v.substr(eq + 1)));
  }
}

St StParseDataStringReverse(const StList& names, const StList& values) {
  MA_CHECK(StDebugFlag, names.size() == values.size(),
           "StParseDataStringReverse-- lengths");
  St out = StCreate();
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out = StAppend(std::move(out), '&');
    out = StCat(std::move(out), FormEncode(names[i]));
    out = StAppend(std::move(out), '=');
    out = StCat(std::move(out), FormEncode(values[i]));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Look-up and translation.

StScan StStart(const St& str, const char* delims) {
  StCheck(str, "StStart-- str");
  StScan scan;
  scan.str = str;
  if (delims)
    for (const char* d = delims; *d; ++d) scan.member[uint8_t(*d)] = true;
  return scan;
}

St StNext(StScan* scan) {
  const uint8_t* p = scan->str.Bytes();
  int32_t n = scan->str.Length(), i = scan->pos;
  while (i < n && scan->member[p[i]]) ++i;
  int32_t start = i;
  while (i < n && !scan->member[p[i]]) ++i;
  scan->pos = i;
  if (start == i) return St();
  return StCreateLen(p + start, i - start);
}

void StStop(StScan* scan) noexcept {
  scan->str = St();
  scan->pos = 0;
}

namespace {

int32_t LookupIn(const St& str, int32_t start, int32_t limit,
                 std::string_view pattern, StTable table, bool reverse) {
  if (start < 0) start = 0;
  if (limit > str.Length()) limit = str.Length();
  int32_t m = int32_t(pattern.size());
  if (limit - start < m) return -1;
  const char* p = str.CStr();
  int32_t last = limit - m;
  for (int32_t k = 0; k <= last - start; ++k) {
    int32_t i = reverse ? last - k : start + k;
    if (StArrayEqual(p + i, pattern.data(), m, table)) return i;
  }
  return -1;
}

}  // namespace

int32_t StLookup(const St& str, const St& pattern, StTable table) {
  StCheck(str, "StLookup-- str");
  StCheck(pattern, "StLookup-- pattern");
  if (table == StLiteral) {
    size_t at = str.View().find(pattern.View());
    return at == std::string_view::npos ? -1 : int32_t(at);
  }
  return LookupIn(str, 0, str.Length(), pattern.View(), table, false);
}

int32_t StLookupLimit(const St& str, int32_t start, int32_t limit,
                      const St& pattern, StTable table) {
  StCheck(str, "StLookupLimit-- str");
  StCheck(pattern, "StLookupLimit-- pattern");
  return LookupIn(str, start, limit, pattern.View(), table, false);
}

int32_t StLookupLimitC(const St& str, int32_t start, int32_t limit,
                       const char* pattern, StTable table) {
  StCheck(str, "StLookupLimitC-- str");
  return LookupIn(str, start, limit, pattern ? pattern : "", table, false);
}

int32_t StLookupLimitRevC(const St& str, int32_t start, int32_t limit,
                          const char* pattern, StTable table) {
  StCheck(str, "StLookupLimitRevC-- str");
  return LookupIn(str, start, limit, pattern ? pattern : "", table, true);
}

int32_t StLookupEquiv(const St& str, const St& pattern) {
  return StLookup(str, pattern, StLatinLower);
}

St StTranslate(St str, StTable table) {
  StCheck(str, "StTranslate-- str");
  if (table == StLiteral) return str;
  const uint8_t* p = str.Bytes();
  int32_t n = str.Length(), i = 0;
  while (i < n && table[p[i]] == p[i]) ++i;
  if (i == n) return str;
  str = StSoleOwner(std::move(str));
  char* s = str.MutableChars();
  for (; i < n; ++i) s[i] = char(table[uint8_t(s[i])]);
  return str;
}

St StTranslateC(St str, const char* from, const char* to) {
  StCheck(str, "StTranslateC-- str");
  if (!from || !*from) return str;
  MA_CHECK(StDebugFlag, to && strlen(to) >= strlen(from), "StTranslateC-- to");
  uint8_t map[256];
  for (int c = 0; c < 256; ++c) map[c] = uint8_t(c);
  for (size_t i = 0; from[i]; ++i) map[uint8_t(from[i])] = uint8_t(to[i]);
  return StTranslate(std::move(str), map);
}

int32_t StAgree(const St& a, const St& b, StTable table) {
  StCheck(a, "StAgree-- str1");
  StCheck(b, "StAgree-- str2");
  int32_t n = a.Length() < b.Length() ? a.Length() : b.Length();
  int32_t i = 0;
  if (table == StLiteral) {
    while (i < n && a[i] == b[i]) ++i;
  } else {
    while (i < n && table[a[i]] == table[b[i]]) ++i;
  }
  return i;
}

// ---------------------------------------------------------------------------
// Number forms.

St StStIntCommaXfm(int64_t value) {
  char digits[24];
  auto [end, err] = std::to_chars(digits, digits + sizeof digits, value);
  (void)err;
  std::string_view d(digits, size_t(end - digits));
  std::string out;
  if (!d.empty() && d[0] == '-') {
    out += '-';
    d.remove_prefix(1);
  }
  for (size_t i = 0; i < d.size(); ++i) {
    if (i > 0 && (d.size() - i) % 3 == 0) out += ',';
    out += d[i];
  }
  return StFromView(out);
}

St StPrintCvt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    va_end(args);
    return St();
  }
  St out = StAlloc(n);
  vsnprintf(out.MutableChars(), size_t(n) + 1, format, args);
  va_end(args);
  return out;
}

bool StRealStXfm(const St& str, double* out) {
  StCheck(str, "StRealStXfm-- str");
  *out = 0;
  std::string_view v = str.View();
  if (!v.empty() && v[0] == '+') v.remove_prefix(1);
  if (v.empty()) return false;
  double value = 0;
  auto [end, err] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (err != std::errc() || end != v.data() + v.size()) return false;
  *out = value;
  return true;
}

St StStRealXfm(double value) {
  char buf[32];
  auto [end, err] = std::to_chars(buf, buf + sizeof buf, value);
  if (err != std::errc()) return St();
  return StCreateLen(buf, int32_t(end - buf));
}

namespace {

// Lower-case hexadecimal digits of value, at least minDigits of them.
St HexDigits(uint32_t value, int minDigits, bool negative) {
  char buf[10];
  int n = 0;
  char digits[8];
  int k = 0;
  do {
    digits[k++] = kLowerHex[value & 15];
    value >>= 4;
  } while (value != 0);
  while (k < minDigits) digits[k++] = '0';
  if (negative) buf[n++] = '-';
  while (k > 0) buf[n++] = digits[--k];
  return StCreateLen(buf, n);
}

}  // namespace

St StHexIntXfm(uint32_t value) { return HexDigits(value, 8, false); }
St StHexNoZerosIntXfm(uint32_t value) { return HexDigits(value, 1, false); }
St StHexSIntXfm(int32_t value) {
  uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
  return HexDigits(magnitude, 1, value < 0);
}
St StHexByteXfm(uint8_t value) { return HexDigits(value, 2, false); }

bool StHexStXfm(const St& str, uint32_t* out) {
  StCheck(str, "StHexStXfm-- str");
  *out = 0;
  if (str.Empty()) return false;
  uint64_t v = 0;
  for (uint8_t c : str.View()) {
    int d = HexValue(c);
    if (d < 0) return false;
    v = v << 4 | uint64_t(d);
    if (v > 0xffffffffull) return false;
  }
  *out = uint32_t(v);
  return true;
}

St StToHex(St str) {
  StCheck(str, "StToHex-- str");
  int32_t n = str.Length();
  if (n == 0) return str;
  St out = StAlloc(CheckedLength(int64_t(n) * 2));
  char* q = out.MutableChars();
  for (uint8_t c : str.View()) {
    *q++ = kLowerHex[c >> 4];
    *q++ = kLowerHex[c & 15];
  }
  return out;
}

int32_t StHexToArray(const St& hex, uint8_t* out, int32_t max) {
  StCheck(hex, "StHexToArray-- hex");
  int32_t n = hex.Length();
  if (n % 2 != 0 || n / 2 > max) return -1;
  for (int32_t i = 0; i < n; i += 2) {
    int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return -1;
    out[i / 2] = uint8_t(hi << 4 | lo);
  }
  return n / 2;
}

St StFromHex(St hex) {
  StCheck(hex, "StFromHex-- hex");
  if (hex.Empty()) return hex;
  St out = StAlloc(hex.Length() / 2);
  int32_t n = StHexToArray(hex, reinterpret_cast<uint8_t*>(out.MutableChars()),
                           out.Length());
  return n < 0 ? St() : out;
}

St StCharsIntXfm(uint32_t value) {
  char b[4] = {char(value >> 24), char(value >> 16), char(value >> 8),
               char(value)};
  return StCreateLen(b, 4);
}

St StRomanIntXfm(int32_t value, bool upper) {
  if (value < 1 || value > 3999) return StStIntXfm(value);
  static constexpr struct {
    int value;
    const char* text;
  } kNumerals[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"},
                   {100, "c"},  {90, "xc"},  {50, "l"},  {40, "xl"},
                   {10, "x"},   {9, "ix"},   {5, "v"},   {4, "iv"},
                   {1, "i"}};
  std::string out;
  for (const auto& numeral : kNumerals)
    for (; value >= numeral.value; value -= numeral.value) out += numeral.text;
  St s = StFromView(out);
  return upper ? StTranslate(std::move(s), StASCIIUpper) : s;
}

St StLetterIntXfm(int32_t value, bool upper) {
  if (value < 1) return StStIntXfm(value);
  char buf[8];
  int k = 8;
  for (uint32_t v = uint32_t(value); v > 0; v = (v - 1) / 26)
    buf[--k] = char((upper ? 'A' : 'a') + (v - 1) % 26);
  return StCreateLen(buf + k, 8 - k);
}

St StBlotsStXfm(St str) {
  StCheck(str, "StBlotsStXfm-- str");
  if (str.IsNil()) return str;
  return StCreateRepeat(str.Length(), '*');
}

St StNetworkXfm(uint32_t address) {
  return StPrintCvt("%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                    (address >> 8) & 255, address & 255);
}

St StAuthorXfm(St name, St address) {
  StCheck(name, "StAuthorXfm-- name");
  StCheck(address, "StAuthorXfm-- address");
  if (address.Empty()) return name;
  if (name.Empty()) return address;
  St out = StAppendView(std::move(name), " <");
  out = StCat(std::move(out), std::move(address));
  return StAppend(std::move(out), '>');
}

// ---------------------------------------------------------------------------
// Keyword search.

St StPopKeyword(St* rest) {
  StCheck(*rest, "StPopKeyword-- rest");
  std::string_view v = rest->View();
  size_t i = 0;
  while (i < v.size() && StCharIsWhiteSpace(uint8_t(v[i]))) ++i;
  if (i == v.size()) {
    *rest = St();
    return St();
  }
  size_t start, end, next;
  if (v[i] == '"') {
    start = i + 1;
    end = v.find('"', start);
    if (end == std::string_view::npos) end = v.size();
    next = end < v.size() ? end + 1 : end;
  } else {
    start = i;
    end = start;
    while (end < v.size() && !StCharIsWhiteSpace(uint8_t(v[end]))) ++end;
    next = end;
  }
  St word = StTranslate(StFromView(v.substr(start, end - start)), StLatinLower);
  *rest = StFromView(v.substr(next));
  if (word.Empty()) return StPopKeyword(rest);  // an empty phrase ""
  return word;
}

StList StKeywordsCreate(const St& query) {
  StCheck(query, "StKeywordsCreate-- query");
  StList keywords;
  St rest = query;
  for (St word = StPopKeyword(&rest); !word.IsNil(); word = StPopKeyword(&rest))
    keywords.push_back(std::move(word));
  return keywords;
}

bool StKeywordsAny(const StList& keywords, const St& text) {
  for (const St& k : keywords)
    if (StLookup(text, k, StLatinLower) >= 0) return true;
  return false;
}

bool StKeywordsAll(const StList& keywords, const St& text) {
  for (const St& k : keywords)
    if (StLookup(text, k, StLatinLower) < 0) return false;
  return true;
}

void StKeywordsDestroy(StList& keywords) noexcept { StLiDestroy(keywords); }

St StToDbFieldQuote(St str) {
  StCheck(str, "StToDbFieldQuote-- str");
  std::string_view v = str.View();
  bool quote = v.find_first_of(",\"\r\n") != std::string_view::npos ||
               (!v.empty() && (v.front() == ' ' || v.back() == ' '));
  if (!quote) return str;
  St out = StAppend(StToDoubleQuote(std::move(str)), '"');
  return StAddByte(std::move(out), 0, '"');
}

}  // namespace quil
