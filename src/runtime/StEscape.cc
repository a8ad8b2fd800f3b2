// Escaping conversions: HTML text (StToSgml, StFromSgml) and URLs.
#include <array>
#include <cstring>

#include "St.h"
#include "StInt.h"

namespace quil {

using st_internal::CheckedLength;
using st_internal::HexValue;

namespace {

// Writes "&#NN;" (at least two digits) and returns the end.
char* PutNumericEntity(char* q, uint8_t c) {
  *q++ = '&';
  *q++ = '#';
  if (c >= 100) *q++ = char('0' + c / 100);
  *q++ = char('0' + c / 10 % 10);
  *q++ = char('0' + c % 10);
  *q++ = ';';
  return q;
}

// What one input byte becomes in an SGML conversion: its extra length over
// the one byte, and for named entities the replacement text.
struct SgmlForm {
  std::array<uint8_t, 256> extra{};
  std::array<const char*, 256> named{};
};

constexpr SgmlForm MakeSgmlForm(bool data) {
  SgmlForm f{};
  for (int c = 0; c < 32; ++c)
    if (data || (c != '\n' && c != '\r')) f.extra[size_t(c)] = 4;  // "&#NN;"
  if (data)
    for (int c = 128; c < 256; ++c) f.extra[size_t(c)] = 5;  // "&#NNN;"
  f.named['<'] = "&lt;";
  f.named['>'] = "&gt;";
  f.named['&'] = "&amp;";
  f.named['"'] = "&quot;";
  f.extra['<'] = 3;
  f.extra['>'] = 3;
  f.extra['&'] = 4;
  f.extra['"'] = 5;
  return f;
}

constexpr SgmlForm kToSgml = MakeSgmlForm(false);
constexpr SgmlForm kToSgmlData = MakeSgmlForm(true);

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Non-zero when some byte of w is zero (exact as a whole-word test).
constexpr uint64_t HasZeroByte(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
constexpr uint64_t HasByte(uint64_t w, uint8_t c) {
  return HasZeroByte(w ^ (kOnes * c));
}

// Index of the first byte of p[0, n) that StToSgml changes, or n.  Eight bytes
// at a time: a word with no byte below 32 and none of '"', '&', '<', '>' is
// skipped whole; others (line breaks included) are looked at byte by byte.
int32_t SgmlFirstChange(const uint8_t* p, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    uint64_t below32 = (w - kOnes * 32) & ~w & kHighs;
    if ((below32 | HasByte(w, '"') | HasByte(w, '&') | HasByte(w, '<') |
         HasByte(w, '>')) == 0)
      continue;
    for (int32_t j = i; j < i + 8; ++j)
      if (kToSgml.extra[p[j]]) return j;
  }
  for (; i < n; ++i)
    if (kToSgml.extra[p[i]]) return i;
  return n;
}

// The two passes of StToSgml and StToSgmlData from position `from` on, the
// bytes before it being known to stay as they are.
St SgmlConvert(St str, const SgmlForm& form, int32_t from, const char* what) {
  const uint8_t* p = str.Bytes();
  int32_t n = str.Length();
  int64_t extra = 0;
  for (int32_t i = from; i < n; ++i) extra += form.extra[p[i]];
  if (extra == 0) return str;
  int32_t outLen = CheckedLength(n + extra);
  St out = StAlloc(outLen);
  char* q = out.MutableChars();
  memcpy(q, p, size_t(from));
  q += from;
  for (int32_t i = from; i < n; ++i) {
    uint8_t c = p[i];
    if (form.extra[c] == 0) {
      *q++ = char(c);
    } else if (form.named[c]) {
      size_t len = size_t(form.extra[c]) + 1;
      memcpy(q, form.named[c], len);
      q += len;
    } else {
      q = PutNumericEntity(q, c);
    }
  }
  MA_CHECK(StDebugFlag, q == out.MutableChars() + outLen, what);
  return out;
}

// Latin-1 character entity names of HTML 4, for the bytes 160 to 255.
constexpr const char* kLatinEntities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar",
    "sect",   "uml",    "copy",   "ordf",   "laquo",  "not",    "shy",
    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",
    "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",
    "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",
    "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute",
    "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",
    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave",
    "iacute", "icirc",  "iuml",   "eth",    "ntilde", "ograve", "oacute",
    "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave", "uacute",
    "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

// The byte of a numeric name "#NN" or "#NNN": two digits for 0-99, three
// without a leading zero for 100-255.
int NumericEntityByte(std::string_view digits) {
  if (digits.size() < 2 || digits.size() > 3) return -1;
  int v = 0;
  for (char d : digits) {
    if (d < '0' || d > '9') return -1;
    v = v * 10 + (d - '0');
  }
  if (digits.size() == 3 && (digits[0] == '0' || v > 255)) return -1;
  return v;
}

bool IsEntityNameChar(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '#';
}

// Bytes that StToUrlQuote encodes besides 0-31 and "%".
constexpr char kUrlSpecials[] = " /?:=$,;#@+!*&";

using ByteSet = std::array<bool, 256>;

ByteSet UrlQuoteSet(const char* chars) {
  ByteSet set{};
  for (int c = 0; c < 32; ++c) set[size_t(c)] = true;
  set['%'] = true;
  if (chars)
    for (const char* c = chars; *c; ++c) set[uint8_t(*c)] = true;
  return set;
}

const ByteSet& StandardUrlSet() {
  static const ByteSet set = UrlQuoteSet(kUrlSpecials);
  return set;
}

St UrlQuote(St str, const ByteSet& set, const char* what) {
  const uint8_t* p = str.Bytes();
  int32_t n = str.Length();
  int64_t count = 0;
  for (int32_t i = 0; i < n; ++i) count += set[p[i]];
  if (count == 0) return str;
  int32_t outLen = CheckedLength(n + 2 * count);
  St out = StAlloc(outLen);
  char* q = out.MutableChars();
  for (int32_t i = 0; i < n; ++i) {
    uint8_t c = p[i];
    if (set[c]) {
      q = st_internal::PutHexEscape(q, '%', c);
    } else {
      *q++ = char(c);
    }
  }
  MA_CHECK(StDebugFlag, q == out.MutableChars() + outLen, what);
  return out;
}

}  // namespace

St StToSgml(St str) {
  StCheck(str, "StToSgml-- str");
  int32_t first = SgmlFirstChange(str.Bytes(), str.Length());
  if (first == str.Length()) return str;
  return SgmlConvert(std::move(str), kToSgml, first,
                     "StToSgml--string length mismatch");
}

St StToSgmlData(St str) {
  StCheck(str, "StToSgmlData-- str");
  return SgmlConvert(std::move(str), kToSgmlData, 0,
                     "StToSgmlData--string length mismatch");
}

int StSgmlEntityByte(std::string_view name) {
  if (name.empty()) return -1;
  if (name[0] == '#') return NumericEntityByte(name.substr(1));
  if (name == "lt") return '<';
  if (name == "gt") return '>';
  if (name == "amp") return '&';
  if (name == "quot") return '"';
  for (int i = 0; i < 96; ++i)
    if (name == kLatinEntities[i]) return 160 + i;
  return -1;
}

St StFromSgml(St str) {
  StCheck(str, "StFromSgml-- str");
  int32_t n = str.Length();
  const uint8_t* p = str.Bytes();
  bool change = false;
  for (int32_t i = 0; i < n && !change; ++i)
    change = p[i] == '&' ||
             (p[i] < 32 && p[i] != 9 && p[i] != 10 && p[i] != 13 && p[i] != 27);
  if (!change) return str;

  str = StSoleOwner(std::move(str));
  char* s = str.MutableChars();
  for (int32_t i = 0; i < n; ++i) {
    uint8_t c = uint8_t(s[i]);
    if (c < 32 && c != 9 && c != 10 && c != 13 && c != 27) s[i] = ' ';
  }
  // Decoding only shortens, so the output position never passes the input.
  int32_t w = 0;
  for (int32_t r = 0; r < n;) {
    if (s[r] == '&') {
      int32_t semi = -1;
      for (int32_t k = r + 1; k < n && k <= r + 5; ++k)
        if (s[k] == ';') {
          semi = k;
          break;
        }
      if (semi > r + 1) {
        int byte = StSgmlEntityByte(std::string_view(s + r + 1, size_t(semi - r - 1)));
        if (byte >= 0) {
          s[w++] = char(byte);
          r = semi + 1;
          continue;
        }
      }
    }
    s[w++] = s[r++];
  }
  str.SetLength(w);
  return str;
}

St StSplitSgmlTail(St& str) {
  StCheck(str, "StSplitSgmlTail-- str");
  int32_t n = str.Length();
  const uint8_t* p = str.Bytes();
  for (int32_t i = n - 1; i >= 0 && i >= n - 9; --i) {
    if (p[i] == '&') {
      St tail = StSubstr(str, i, n - i);
      str = StRAlloc(std::move(str), i);
      return tail;
    }
    if (!IsEntityNameChar(p[i])) break;
  }
  return St();
}

St StToUrlQuote(St str) {
  StCheck(str, "StToUrlQuote-- str");
  return UrlQuote(std::move(str), StandardUrlSet(),
                  "StToUrlQuote--string length mismatch");
}

St StToUrlQuoteC(St str, const char* chars) {
  StCheck(str, "StToUrlQuoteC-- str");
  return UrlQuote(std::move(str), UrlQuoteSet(chars),
                  "StToUrlQuoteC--string length mismatch");
}

St StFromUrlQuote(St str) {
  StCheck(str, "StFromUrlQuote-- str");
  int32_t n = str.Length();
  if (StIndex(str, 0, '%') < 0) return str;
  str = StSoleOwner(std::move(str));
  char* s = str.MutableChars();
  int32_t w = 0;
  for (int32_t r = 0; r < n;) {
    if (s[r] == '%' && r + 2 < n) {
      int hi = HexValue(uint8_t(s[r + 1])), lo = HexValue(uint8_t(s[r + 2]));
      if (hi >= 0 && lo >= 0) {
        s[w++] = char(hi * 16 + lo);
        r += 3;
        continue;
      }
    }
    s[w++] = s[r++];
  }
  str.SetLength(w);
  return str;
}

}  // namespace quil
