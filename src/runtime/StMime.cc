// MIME transfer encodings (Base64, quoted-printable, RFC 2045) and encoded
// words in header values (RFC 2047).
//
// Each encoding is one routine templated on whether it writes, so that the
// Count function (which only counts) and the Data function (which writes)
// cannot disagree.
#include <cstring>

#include "St.h"
#include "StInt.h"

namespace quil {

using st_internal::CheckedLength;
using st_internal::HexValue;

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> MakeBase64Values() {
  std::array<int8_t, 256> v{};
  for (auto& x : v) x = -1;
  for (int i = 0; i < 64; ++i) v[uint8_t(kBase64Alphabet[i])] = int8_t(i);
  return v;
}
constexpr auto kBase64Values = MakeBase64Values();

// Output sink: counts always, writes only when out is set.
struct Sink {
  char* out;
  int64_t n = 0;
  void Put(char c) {
    if (out) out[n] = c;
    ++n;
  }
  void PutHex(char mark, uint8_t c) {
    if (out) st_internal::PutHexEscape(out + n, mark, c);
    n += 3;
  }
  void PutCrLf() {
    Put('\r');
    Put('\n');
  }
};

int64_t Base64Encode(const uint8_t* p, int32_t n, int32_t lineLength,
                     char* out) {
  Sink sink{out};
  int32_t column = 0;
  auto put = [&](char c) {
    if (lineLength > 0 && column == lineLength) {
      sink.PutCrLf();
      column = 0;
    }
    sink.Put(c);
    ++column;
  };
  int32_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(kBase64Alphabet[(v >> 6) & 63]);
    put(kBase64Alphabet[v & 63]);
  }
  if (i < n) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  return sink.n;
}

int64_t Base64Decode(const uint8_t* p, int32_t n, char* out) {
  Sink sink{out};
  uint32_t bits = 0;
  int have = 0;
  for (int32_t i = 0; i < n && p[i] != '='; ++i) {
    int v = kBase64Values[p[i]];
    if (v < 0) continue;
    bits = bits << 6 | uint32_t(v);
    if (++have == 4) {
      sink.Put(char(bits >> 16));
      sink.Put(char(bits >> 8));
      sink.Put(char(bits));
      bits = 0;
      have = 0;
    }
  }
  if (have == 2) {
    sink.Put(char(bits >> 4));
  } else if (have == 3) {
    sink.Put(char(bits >> 10));
    sink.Put(char(bits >> 2));
  }
  return sink.n;
}

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

// Length of the line break at p[i] (CR LF 2, LF 1), or 0.
int32_t LineBreakAt(const uint8_t* p, int32_t n, int32_t i) {
  if (p[i] == '\n') return 1;
  if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') return 2;
  return 0;
}

bool QpLiteral(uint8_t c) { return c >= 33 && c <= 126 && c != '='; }

constexpr int32_t kQpLineMax = 76;

// Quoted-printable encoding.  Returns the output length; *identical is set
// when the output equals the input.
int64_t QpEncode(const uint8_t* p, int32_t n, char* out, bool* identical) {
  Sink sink{out};
  bool same = true;
  int32_t column = 0;
  for (int32_t i = 0; i < n;) {
    if (int32_t br = LineBreakAt(p, n, i)) {
      same = same && br == 2;
      sink.PutCrLf();
      column = 0;
      i += br;
      continue;
    }
    uint8_t c = p[i];
    bool lineEnd = i + 1 == n || LineBreakAt(p, n, i + 1) != 0;
    bool literal = QpLiteral(c) || (IsBlank(c) && !lineEnd);
    int32_t width = literal ? 1 : 3;
    // A soft break "=" needs the last column unless this byte ends the line.
    if (column + width > (lineEnd ? kQpLineMax : kQpLineMax - 1)) {
      sink.Put('=');
      sink.PutCrLf();
      column = 0;
      same = false;
    }
    if (literal) {
      sink.Put(char(c));
    } else {
      sink.PutHex('=', c);
      same = false;
    }
    column += width;
    ++i;
  }
  if (identical) *identical = same;
  return sink.n;
}

int64_t QpDecode(const uint8_t* p, int32_t n, char* out) {
  Sink sink{out};
  for (int32_t i = 0; i < n;) {
    uint8_t c = p[i];
    if (c == '=') {
      if (i + 2 < n && HexValue(p[i + 1]) >= 0 && HexValue(p[i + 2]) >= 0) {
        sink.Put(char(HexValue(p[i + 1]) * 16 + HexValue(p[i + 2])));
        i += 3;
        continue;
      }
      int32_t k = i + 1;
      while (k < n && IsBlank(p[k])) ++k;
      if (k == n) break;  // soft break at the very end
      if (int32_t br = LineBreakAt(p, n, k)) {
        i = k + br;
        continue;
      }
      sink.Put('=');
      ++i;
    } else if (IsBlank(c)) {
      int32_t k = i;
      while (k < n && IsBlank(p[k])) ++k;
      bool trailing = k == n || LineBreakAt(p, n, k) != 0;
      for (; i < k; ++i)
        if (!trailing) sink.Put(char(p[i]));
    } else {
      sink.Put(char(c));
      ++i;
    }
  }
  return sink.n;
}

// Runs a coder over a whole string: counts, allocates once, fills.
template <class Coder>
St Convert(St str, const char* what, Coder coder) {
  const uint8_t* p = str.Bytes();
  int32_t n = str.Length();
  int32_t outLen = CheckedLength(coder(p, n, nullptr));
  St out = StAlloc(outLen);
  int64_t wrote = coder(p, n, out.MutableChars());
  MA_CHECK(StDebugFlag, wrote == outLen, what);
  return out;
}

// RFC 2047 "Q" form of a byte in a phrase: literal letters, digits and
// "!*+-/", "_" for a blank, "=XX" for the rest.
bool QWordLiteral(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '!' || c == '*' || c == '+' ||
         c == '-' || c == '/';
}

constexpr int32_t kEncodedWordMax = 75;

// Writes the encoded words for p[0, n).
int64_t EncodeWords(const uint8_t* p, int32_t n, std::string_view charset,
                    bool base64, char* out) {
  Sink sink{out};
  int32_t room = kEncodedWordMax - int32_t(charset.size()) - 7;
  if (base64) room = room / 4 * 4;
  if (room < 4) room = 4;  // an absurd charset name: words simply run long
  auto open = [&] {
    sink.Put('=');
    sink.Put('?');
    for (char c : charset) sink.Put(c);
    sink.Put('?');
    sink.Put(base64 ? 'B' : 'Q');
    sink.Put('?');
  };
  auto close = [&] {
    sink.Put('?');
    sink.Put('=');
  };
  open();
  if (base64) {
    int32_t perWord = room / 4 * 3;
    for (int32_t i = 0; i < n; i += perWord) {
      if (i > 0) {
        close();
        sink.PutCrLf();
        sink.Put(' ');
        open();
      }
      int32_t take = n - i < perWord ? n - i : perWord;
      sink.n += Base64Encode(p + i, take, 0, out ? out + sink.n : nullptr);
    }
  } else {
    int32_t used = 0;
    for (int32_t i = 0; i < n; ++i) {
      uint8_t c = p[i];
      int32_t width = QWordLiteral(c) || c == ' ' ? 1 : 3;
      if (used + width > room) {
        close();
        sink.PutCrLf();
        sink.Put(' ');
        open();
        used = 0;
      }
      if (c == ' ')
        sink.Put('_');
      else if (width == 1)
        sink.Put(char(c));
      else
        sink.PutHex('=', c);
      used += width;
    }
  }
  close();
  return sink.n;
}

// One parsed encoded word: p[start, end) is "=?charset?X?text?=".
struct EncodedWord {
  int32_t end = 0;
  bool base64 = false;
  int32_t textStart = 0, textEnd = 0;
};

bool ParseEncodedWord(const uint8_t* p, int32_t n, int32_t i, EncodedWord* w) {
  if (i + 1 >= n || p[i] != '=' || p[i + 1] != '?') return false;
  int32_t k = i + 2;
  while (k < n && p[k] != '?' && p[k] > ' ' && p[k] < 127) ++k;
  if (k == i + 2 || k + 2 >= n || p[k] != '?' || p[k + 2] != '?') return false;
  uint8_t enc = p[k + 1];
  if (enc != 'Q' && enc != 'q' && enc != 'B' && enc != 'b') return false;
  w->base64 = enc == 'B' || enc == 'b';
  w->textStart = k + 3;
  k = w->textStart;
  while (k < n && p[k] != '?' && p[k] > ' ' && p[k] < 127) ++k;
  if (k + 1 >= n || p[k] != '?' || p[k + 1] != '=') return false;
  w->textEnd = k;
  w->end = k + 2;
  return true;
}

int64_t DecodeWordText(const uint8_t* p, const EncodedWord& w, char* out) {
  if (w.base64)
    return Base64Decode(p + w.textStart, w.textEnd - w.textStart, out);
  Sink sink{out};
  for (int32_t i = w.textStart; i < w.textEnd; ++i) {
    if (p[i] == '_') {
      sink.Put(' ');
    } else if (p[i] == '=' && i + 2 < w.textEnd &&
               HexValue(p[i + 1]) >= 0 && HexValue(p[i + 2]) >= 0) {
      sink.Put(char(HexValue(p[i + 1]) * 16 + HexValue(p[i + 2])));
      i += 2;
    } else {
      sink.Put(char(p[i]));
    }
  }
  return sink.n;
}

int64_t StripEncodedWords(const uint8_t* p, int32_t n, char* out,
                          bool* found) {
  Sink sink{out};
  bool afterWord = false;  // the previous token was an encoded word
  for (int32_t i = 0; i < n;) {
    EncodedWord w;
    if (ParseEncodedWord(p, n, i, &w)) {
      sink.n += DecodeWordText(p, w, out ? out + sink.n : nullptr);
      i = w.end;
      afterWord = true;
      *found = true;
      continue;
    }
    if (afterWord && StCharIsWhiteSpace(p[i])) {
      // White space between two encoded words disappears.
      int32_t k = i;
      while (k < n && StCharIsWhiteSpace(p[k])) ++k;
      EncodedWord next;
      if (ParseEncodedWord(p, n, k, &next)) {
        i = k;
        continue;
      }
    }
    afterWord = false;
    sink.Put(char(p[i++]));
  }
  return sink.n;
}

}  // namespace

int32_t StBytesToBase64Count(const void* bytes, int32_t length,
                             int32_t lineLength) {
  return CheckedLength(
      Base64Encode(static_cast<const uint8_t*>(bytes), length, lineLength, nullptr));
}

int32_t StBytesToBase64Data(const void* bytes, int32_t length, char* out,
                            int32_t lineLength) {
  return int32_t(
      Base64Encode(static_cast<const uint8_t*>(bytes), length, lineLength, out));
}

int32_t StBytesFromBase64Count(const void* bytes, int32_t length) {
  return int32_t(Base64Decode(static_cast<const uint8_t*>(bytes), length, nullptr));
}

int32_t StBytesFromBase64Data(const void* bytes, int32_t length, char* out) {
  return int32_t(Base64Decode(static_cast<const uint8_t*>(bytes), length, out));
}

St StToBase64(St str, int32_t lineLength) {
  StCheck(str, "StToBase64-- str");
  MA_CHECK(StDebugFlag, lineLength >= 0 && lineLength % 4 == 0,
           "StToBase64-- lineLength");
  if (str.Empty()) return str;
  return Convert(std::move(str), "StToBase64--string length mismatch",
                 [lineLength](const uint8_t* p, int32_t n, char* out) {
    return Base64Encode(p, n, lineLength, out);
  });
}

St StFromBase64(St str) {
  StCheck(str, "StFromBase64-- str");
  if (str.Empty()) return str;
  return Convert(std::move(str), "StFromBase64--string length mismatch",
                 Base64Decode);
}

int32_t StBytesToQuotedPrintableCount(const void* bytes, int32_t length) {
  return CheckedLength(
      QpEncode(static_cast<const uint8_t*>(bytes), length, nullptr, nullptr));
}

int32_t StBytesToQuotedPrintableData(const void* bytes, int32_t length,
                                     char* out) {
  return int32_t(QpEncode(static_cast<const uint8_t*>(bytes), length, out, nullptr));
}

int32_t StBytesFromQuotedPrintableCount(const void* bytes, int32_t length) {
  return int32_t(QpDecode(static_cast<const uint8_t*>(bytes), length, nullptr));
}

int32_t StBytesFromQuotedPrintableData(const void* bytes, int32_t length,
                                       char* out) {
  return int32_t(QpDecode(static_cast<const uint8_t*>(bytes), length, out));
}

bool StBytesAreQuotedPrintable(const void* bytes, int32_t length) {
  bool identical = false;
  QpEncode(static_cast<const uint8_t*>(bytes), length, nullptr, &identical);
  return identical;
}

St StToQuotedPrintable(St str) {
  StCheck(str, "StToQuotedPrintable-- str");
  if (StBytesAreQuotedPrintable(str.CStr(), str.Length())) return str;
  return Convert(std::move(str), "StToQuotedPrintable--string length mismatch",
                 [](const uint8_t* p, int32_t n, char* out) {
    return QpEncode(p, n, out, nullptr);
  });
}

St StFromQuotedPrintable(St str) {
  StCheck(str, "StFromQuotedPrintable-- str");
  if (str.Empty()) return str;
  return Convert(std::move(str),
                 "StFromQuotedPrintable--string length mismatch", QpDecode);
}

bool StIsStandardText(const St& str) {
  StCheck(str, "StIsStandardText-- str");
  for (uint8_t c : str.View())
    if ((c < 32 || c > 126) && c != '\t' && c != '\r' && c != '\n')
      return false;
  return true;
}

St StToIsoQuoted(St str, std::string_view charset, bool base64) {
  StCheck(str, "StToIsoQuoted-- str");
  if (str.Empty()) return str;
  return Convert(std::move(str), "StToIsoQuoted--string length mismatch",
                 [&](const uint8_t* p, int32_t n, char* out) {
    return EncodeWords(p, n, charset, base64, out);
  });
}

St StStripEncodedWords(St str) {
  StCheck(str, "StStripEncodedWords-- str");
  bool found = false;
  const uint8_t* p = str.Bytes();
  int32_t n = str.Length();
  int64_t count = StripEncodedWords(p, n, nullptr, &found);
  if (!found) return str;
  St out = StAlloc(int32_t(count));
  int64_t wrote = StripEncodedWords(p, n, out.MutableChars(), &found);
  MA_CHECK(StDebugFlag, wrote == count,
           "StStripEncodedWords--string length mismatch");
  return out;
}

}  // namespace quil
