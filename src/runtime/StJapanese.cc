// Japanese text: detection of JIS, Shift JIS and EUC-JP, and conversion
// between them through one intermediate form, a list of characters that are
// either a single byte below 0x80, a JIS X 0208 character (row and cell,
// 0x21-0x7E each) or a half-width katakana.
#include <string>
#include <vector>

#include "St.h"

namespace quil {

namespace {

constexpr uint8_t kEsc = 27;
constexpr uint16_t kGeta = 0x222E;

// Full-width JIS X 0208 forms of the half-width katakana 0xA1-0xDF.
constexpr uint16_t kFullKana[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525,
    0x2527, 0x2529, 0x2563, 0x2565, 0x2567, 0x2543, 0x213C, 0x2522, 0x2524,
    0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F, 0x2531, 0x2533, 0x2535,
    0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541, 0x2544, 0x2546, 0x2548,
    0x254A, 0x254B, 0x254C, 0x254D, 0x254E, 0x254F, 0x2552, 0x2555, 0x2558,
    0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568,
    0x2569, 0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C};

struct Char {
  enum Kind : uint8_t { kByte, kKanji, kKana } kind;
  uint16_t code;  // the byte, the JIS code (row << 8 | cell), the kana byte
};
using Chars = std::vector<Char>;

bool IsJisByte(uint8_t c) { return c >= 0x21 && c <= 0x7E; }
bool IsKanaByte(uint8_t c) { return c >= 0xA1 && c <= 0xDF; }

// ---------------------------------------------------------------------------
// Decoders.

Chars FromJis(const St& text) {
  const uint8_t* p = text.Bytes();
  int32_t n = text.Length();
  enum { kAscii, kKanji, kKana } mode = kAscii;
  bool shifted = false;  // SO ... SI
  Chars out;
  for (int32_t i = 0; i < n;) {
    uint8_t c = p[i];
    if (c == kEsc && i + 2 < n) {
      uint8_t a = p[i + 1], b = p[i + 2];
      if (a == '$' && (b == 'B' || b == '@')) {
        mode = kKanji;
        i += 3;
        continue;
      }
      if (a == '$' && b == '(' && i + 3 < n && p[i + 3] == 'B') {
        mode = kKanji;
        i += 4;
        continue;
      }
      if (a == '(' && (b == 'B' || b == 'J' || b == 'H')) {
        mode = kAscii;
        i += 3;
        continue;
      }
      if (a == '(' && b == 'I') {
        mode = kKana;
        i += 3;
        continue;
      }
      if (a == '&' && b == '@') {  // announces the 1990 revision
        i += 3;
        continue;
      }
    }
    if (c == 0x0E || c == 0x0F) {
      shifted = c == 0x0E;
      ++i;
      continue;
    }
    if (c == '\r' || c == '\n') {
      out.push_back({Char::kByte, c});
      ++i;
      continue;
    }
    if (IsKanaByte(c)) {  // eight-bit JIS kana
      out.push_back({Char::kKana, c});
      ++i;
    } else if ((mode == kKana || shifted) && c >= 0x21 && c <= 0x5F) {
      out.push_back({Char::kKana, uint16_t(c + 0x80)});
      ++i;
    } else if (mode == kKanji && IsJisByte(c)) {
      if (i + 1 < n && IsJisByte(p[i + 1]))
        out.push_back({Char::kKanji, uint16_t(c << 8 | p[i + 1])});
      else
        out.push_back({Char::kKanji, kGeta});
      i += 2;
    } else if (c < 0x80) {
      out.push_back({Char::kByte, c});
      ++i;
    } else {
      out.push_back({Char::kKanji, kGeta});
      ++i;
    }
  }
  return out;
}

bool IsSjisLead(uint8_t c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool IsSjisTrail(uint8_t c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

Chars FromShiftJis(const St& text) {
  const uint8_t* p = text.Bytes();
  int32_t n = text.Length();
  Chars out;
  for (int32_t i = 0; i < n;) {
    uint8_t c = p[i];
    if (c < 0x80) {
      out.push_back({Char::kByte, c});
      ++i;
    } else if (IsKanaByte(c)) {
      out.push_back({Char::kKana, c});
      ++i;
    } else if (IsSjisLead(c) && i + 1 < n && IsSjisTrail(p[i + 1])) {
      uint8_t t = p[i + 1];
      i += 2;
      if (c >= 0xF0) {  // user-defined area
        out.push_back({Char::kKanji, kGeta});
        continue;
      }
      int row = (c - (c <= 0x9F ? 0x70 : 0xB0)) * 2;
      int cell;
      if (t < 0x9F) {
        --row;
        cell = t - 0x1F - (t >= 0x80 ? 1 : 0);
      } else {
        cell = t - 0x7E;
      }
      out.push_back({Char::kKanji, uint16_t(row << 8 | cell)});
    } else {
      out.push_back({Char::kKanji, kGeta});
      ++i;
    }
  }
  return out;
}

bool IsEucByte(uint8_t c) { return c >= 0xA1 && c <= 0xFE; }

Chars FromEuc(const St& text) {
  const uint8_t* p = text.Bytes();
  int32_t n = text.Length();
  Chars out;
  for (int32_t i = 0; i < n;) {
    uint8_t c = p[i];
    if (c < 0x80) {
      out.push_back({Char::kByte, c});
      ++i;
    } else if (c == 0x8E && i + 1 < n && IsKanaByte(p[i + 1])) {
      out.push_back({Char::kKana, p[i + 1]});
      i += 2;
    } else if (c == 0x8F && i + 2 < n && IsEucByte(p[i + 1]) &&
               IsEucByte(p[i + 2])) {
      // JIS X 0212 has no JIS X 0208 form.
      out.push_back({Char::kKanji, kGeta});
      i += 3;
    } else if (IsEucByte(c) && i + 1 < n && IsEucByte(p[i + 1])) {
      out.push_back(
          {Char::kKanji, uint16_t((c & 0x7F) << 8 | (p[i + 1] & 0x7F))});
      i += 2;
    } else {
      out.push_back({Char::kKanji, kGeta});
      ++i;
    }
  }
  return out;
}

// Half-width kana become full-width; a sound mark joins the kana before it
// when that kana has a voiced or semi-voiced form.
void KanaToFullWidth(Chars* chars) {
  Chars out;
  out.reserve(chars->size());
  for (const Char& ch : *chars) {
    if (ch.kind != Char::kKana) {
      out.push_back(ch);
      continue;
    }
    uint8_t k = uint8_t(ch.code);
    if ((k == 0xDE || k == 0xDF) && !out.empty() &&
        out.back().kind == Char::kKanji) {
      uint16_t prev = out.back().code;
      bool voiced = k == 0xDE;
      // Ka to To (except small tsu) and Ha to Ho take the voiced mark; Ha to
      // Ho also the semi-voiced one; U becomes Vu.
      bool kaTo = prev >= 0x252B && prev <= 0x2548 && prev != 0x2543 &&
                  (prev == 0x2544 || prev % 2 == (prev < 0x2543 ? 1 : 0));
      bool haHo = prev >= 0x254F && prev <= 0x255B && (prev - 0x254F) % 3 == 0;
      if (voiced && prev == 0x2526) {
        out.back().code = 0x2574;
        continue;
      }
      if ((voiced && (kaTo || haHo)) || (!voiced && haHo)) {
        out.back().code = uint16_t(prev + (voiced ? 1 : 2));
        continue;
      }
    }
    out.push_back({Char::kKanji, kFullKana[k - 0xA1]});
  }
  chars->swap(out);
}

// ---------------------------------------------------------------------------
// Encoders.

St ToJis(Chars chars) {
  KanaToFullWidth(&chars);
  std::string out;
  bool kanji = false;
  for (const Char& ch : chars) {
    if (ch.kind == Char::kByte) {
      if (kanji) out += "\x1b(B";
      kanji = false;
      out += char(ch.code);
    } else {
      if (!kanji) out += "\x1b$B";
      kanji = true;
      out += char(ch.code >> 8);
      out += char(ch.code & 0xFF);
    }
  }
  if (kanji) out += "\x1b(B";
  return StFromView(out);
}

// Bytes are copied, two-byte characters written by put.
template <class PutPair>
St Encode(Chars chars, PutPair put) {
  KanaToFullWidth(&chars);
  std::string out;
  for (const Char& ch : chars) {
    if (ch.kind == Char::kByte)
      out += char(ch.code);
    else
      put(&out, ch.code >> 8, ch.code & 0xFF);
  }
  return StFromView(out);
}

St ToShiftJis(Chars chars) {
  return Encode(std::move(chars), [](std::string* out, int row, int cell) {
    *out += char(((row + 1) >> 1) + (row <= 0x5E ? 0x70 : 0xB0));
    *out += char(cell + ((row & 1) ? (cell >= 0x60 ? 0x20 : 0x1F) : 0x7E));
  });
}

St ToEuc(Chars chars) {
  return Encode(std::move(chars), [](std::string* out, int row, int cell) {
    *out += char(row | 0x80);
    *out += char(cell | 0x80);
  });
}

// One converter: checks its argument, decodes and encodes.
template <Chars (*From)(const St&), St (*To)(Chars)>
St Convert(const St& text, const char* what) {
  StCheck(text, what);
  return To(From(text));
}

}  // namespace

int DetectCodeType(const St& text) {
  StCheck(text, "DetectCodeType-- text");
  const uint8_t* p = text.Bytes();
  int32_t n = text.Length();
  bool high = false;
  for (int32_t i = 0; i < n; ++i) {
    uint8_t c = p[i];
    uint8_t next = i + 1 < n ? p[i + 1] : 0;
    if (c == kEsc && i + 2 < n &&
        ((next == '$' && (p[i + 2] == 'B' || p[i + 2] == '@')) ||
         (next == '(' && (p[i + 2] == 'I' || p[i + 2] == 'J'))))
      return kCodeJis;
    if (c < 0x80) continue;
    high = true;
    if ((c >= 0x81 && c <= 0x8D) || (c >= 0x90 && c <= 0x9F))
      return kCodeShiftJis;
    if (c >= 0xF0 && c <= 0xFE) return kCodeEuc;
    if (c == 0x8E || c == 0x8F || (c >= 0xE0 && c <= 0xEF)) {
      if (next == 0xFD || next == 0xFE) return kCodeEuc;
      if (next >= 0x40 && next <= 0xA0 && next != 0x7F) return kCodeShiftJis;
      ++i;  // a pair either encoding allows
    } else if (IsKanaByte(c)) {
      if (!IsEucByte(next)) return kCodeShiftJis;  // half-width kana
      ++i;
    }
  }
  return high ? kCodeEuc : kCodeAscii;
}

St StJisToShiftJisXfm(St text) {
  return Convert<FromJis, ToShiftJis>(text, "StJisToShiftJisXfm-- text");
}
St StJisToEucXfm(St text) {
  return Convert<FromJis, ToEuc>(text, "StJisToEucXfm-- text");
}
St StShiftJisToJisXfm(St text) {
  return Convert<FromShiftJis, ToJis>(text, "StShiftJisToJisXfm-- text");
}
St StShiftJisToEucXfm(St text) {
  return Convert<FromShiftJis, ToEuc>(text, "StShiftJisToEucXfm-- text");
}
St StEucToJisXfm(St text) {
  return Convert<FromEuc, ToJis>(text, "StEucToJisXfm-- text");
}
St StEucToShiftJisXfm(St text) {
  return Convert<FromEuc, ToShiftJis>(text, "StEucToShiftJisXfm-- text");
}

St StToJis(St text) {
  switch (DetectCodeType(text)) {
    case kCodeShiftJis:
      return StShiftJisToJisXfm(std::move(text));
    case kCodeEuc:
      return StEucToJisXfm(std::move(text));
    default:
      return text;
  }
}

St StToShiftJis(St text) {
  switch (DetectCodeType(text)) {
    case kCodeJis:
      return StJisToShiftJisXfm(std::move(text));
    case kCodeEuc:
      return StEucToShiftJisXfm(std::move(text));
    default:
      return text;
  }
}

}  // namespace quil
