// The value forms of the tagged text format.
#include "ForumEi.h"

#include <time.h>

#include <array>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>

#include "Forum.h"
#include "Sgml.h"
#include "Td.h"

namespace quil {

St ForumEiTdToSt(const LgDbTd& date) {
  // Records of one second share their date: the last text is kept.
  static LgDbTd last{-1, -1};
  static St text;
  if (!(date == last)) {
    text = TdToSt(LgDbTdToTd(date), ForumEiTdFormat);
    last = date;
  }
  return text;
}

bool ForumEiStToTd(std::string_view text, LgDbTd* date) {
  Td t;
  if (!TdParse(text, &t)) return false;
  *date = LgDbTdFromTd(t);
  return true;
}

St ForumEiHex(uint32_t value) { return StHexNoZerosIntXfm(value); }

bool ForumEiParseHex(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * 16 + uint32_t(d);
  }
  *value = v;
  return true;
}

bool ForumEiParseInt(std::string_view text, int32_t* value) {
  int32_t v = 0;
  if (!StIntStXfm(StFromView(text), &v)) return false;
  *value = v;
  return true;
}

namespace {

// Byte classes of a value: kEscape for the bytes StToSgml replaces, kQuote
// for those that make the reader cut an unquoted value short once escaped.
constexpr uint8_t kEscape = 1;
constexpr uint8_t kQuote = 2;
constexpr std::array<uint8_t, 256> kValueClass = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 32; ++c) t[size_t(c)] = kEscape;
  t['\n'] = t['\r'] = kQuote;
  t['<'] = t['>'] = t['&'] = t['"'] = kEscape;
  t[' '] = t['='] = kQuote;
  return t;
}();

// Eight bytes at a time (SWAR): whether a word holds a byte below 32, one
// of the escaped characters, or one of the characters that ask for quotes.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
inline uint64_t HasZero(uint64_t v) { return (v - kOnes) & ~v & kHighs; }
inline uint64_t HasByte(uint64_t v, uint8_t b) { return HasZero(v ^ (kOnes * b)); }
inline uint64_t HasLess(uint64_t v, uint8_t n) { return (v - kOnes * n) & ~v & kHighs; }

// The classes of the bytes of value, or-ed together (kEscape may be set for
// a line end too: the escaping loop then looks at each byte).
uint8_t ValueClasses(std::string_view value) {
  uint8_t classes = 0;
  size_t i = 0;
  uint64_t escape = 0, quote = 0;
#if defined(__SSE2__)
  // Sixteen bytes a step (a message body is most of a record's bytes).  A
  // byte below 32 compares below 32 ^ 0x80 once both are shifted by 0x80
  // into signed order.
  {
    const __m128i bias = _mm_set1_epi8(char(0x80)), below = _mm_set1_epi8(char(32 ^ 0x80));
    const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'), amp = _mm_set1_epi8('&'),
                  dq = _mm_set1_epi8('"'), sp = _mm_set1_epi8(' '), eq = _mm_set1_epi8('='),
                  cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    __m128i esc = _mm_setzero_si128(), quo = _mm_setzero_si128();
    for (; i + 16 <= value.size(); i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value.data() + i));
      __m128i control = _mm_cmplt_epi8(_mm_xor_si128(v, bias), below);
      esc = _mm_or_si128(esc, _mm_or_si128(_mm_or_si128(control, _mm_cmpeq_epi8(v, lt)),
                                           _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, gt),
                                                                     _mm_cmpeq_epi8(v, amp)),
                                                        _mm_cmpeq_epi8(v, dq))));
      quo = _mm_or_si128(quo, _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, sp), _mm_cmpeq_epi8(v, eq)),
                                           _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
    }
    if (_mm_movemask_epi8(esc)) escape = 1;
    if (_mm_movemask_epi8(quo)) quote = 1;
  }
#endif
  for (; i + 8 <= value.size(); i += 8) {
    uint64_t v;
    memcpy(&v, value.data() + i, 8);
    escape |= HasLess(v, 32) | HasByte(v, '<') | HasByte(v, '>') | HasByte(v, '&') |
              HasByte(v, '"');
    quote |= HasByte(v, ' ') | HasByte(v, '=') | HasByte(v, '\r') | HasByte(v, '\n');
  }
  if (escape) classes |= kEscape;
  if (quote) classes |= kQuote;
  for (; i < value.size(); ++i) classes |= kValueClass[uint8_t(value[i])];
  return classes;
}

}  // namespace

namespace {

// Writes the value form of value at out (room for 6 bytes a byte and two
// quotes); the number of bytes written.
size_t ValueTo(char* out, std::string_view value) {
  uint8_t classes = ValueClasses(value);
  bool quote = value.empty() || value.back() == '/' || (classes & kQuote) != 0;
  char* p = out;
  if (quote) *p++ = '"';
  if ((classes & kEscape) == 0) {
    memcpy(p, value.data(), value.size());
    p += value.size();
  } else {
    for (size_t i = 0; i < value.size();) {
      size_t run = i;
      while (run < value.size() && !(kValueClass[uint8_t(value[run])] & kEscape)) ++run;
      memcpy(p, value.data() + i, run - i);
      p += run - i;
      if (run == value.size()) break;
      unsigned char c = uint8_t(value[run]);
      switch (c) {
        case '<': memcpy(p, "&lt;", 4); p += 4; break;
        case '>': memcpy(p, "&gt;", 4); p += 4; break;
        case '&': memcpy(p, "&amp;", 5); p += 5; break;
        case '"': memcpy(p, "&quot;", 6); p += 6; break;
        default:
          p[0] = '&';
          p[1] = '#';
          p[2] = char('0' + c / 10);
          p[3] = char('0' + c % 10);
          p[4] = ';';
          p += 5;
      }
      i = run + 1;
    }
  }
  if (quote) *p++ = '"';
  return size_t(p - out);
}

}  // namespace

void ForumEiAddValue(Buf& buf, std::string_view value) {
  int32_t start = buf.Position();
  char* out = BufReserveTail(buf, int32_t(value.size()) * 6 + 2);  // "&quot;" at most
  buf.Truncate(start + int32_t(ValueTo(out, value)));
}

void ForumEiAddValue(std::string& out, std::string_view value) {
  size_t start = out.size();
  out.resize(start + value.size() * 6 + 2);
  out.resize(start + ValueTo(out.data() + start, value));
}

int64_t ForumEiSecondNow() { return ForumSecondsNow(); }

LgDbTd ForumEiNow(int64_t* second) {
  // The forum's clock, turned into a record date once per second.
  static int64_t last = -1;
  static LgDbTd now;
  int64_t s = ForumEiSecondNow();
  if (s != last) {
    now = LgDbTdFromTd(TdFromSeconds(s, false));
    last = s;
  }
  if (second) *second = s;
  return now;
}

St ForumEiValue(St value) {
  Buf buf;
  BufOpen(buf, value.Length() * 6 + 16);
  ForumEiAddValue(buf, value.View());
  St out = BufClose(buf);
  return out.IsNil() ? StCreate() : out;
}

}  // namespace quil
