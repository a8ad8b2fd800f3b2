// Core string operations: blocks, reference counts, reading, changing,
// comparison and hashing.
#include "St.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "Ma.h"

namespace quil {

bool StDebugFlag = true;
int64_t StrStats = 0;

uint16_t StInitRtns(int selector, int32_t value) {
  static PkgState state;
  state.debug = StDebugFlag;
  uint16_t result = PkgDispatch(state, "StInitRtns", selector, value, PkgSteps{});
  StDebugFlag = state.debug;
  return result;
}

namespace {

StRep* NewRep(int32_t length, int32_t capacity) {
  if (length < 0 || capacity < length) MaAssertFailure("StAlloc-- length");
  auto* rep = static_cast<StRep*>(malloc(sizeof(StRep) + size_t(capacity) + 1));
  if (!rep) MaMemHalt();
  rep->refs = 1;
  rep->len = length;
  rep->cap = capacity;
  rep->heapType = kStHeapType;
  rep->unused = 0;
  rep->Chars()[length] = 0;
  ++StrStats;
  return rep;
}

// Grows a sole-owned block to hold at least `need` characters.  Growth is
// geometric so that appending byte by byte stays linear.
StRep* GrowRep(StRep* rep, int32_t need) {
  if (need <= rep->cap) return rep;
  int64_t cap = int64_t(rep->cap) + rep->cap / 2 + 16;
  if (cap < need) cap = need;
  if (cap > std::numeric_limits<int32_t>::max() - 32)
    cap = std::numeric_limits<int32_t>::max() - 32;
  if (cap < need) MaMemHalt();
  auto* grown = static_cast<StRep*>(realloc(rep, sizeof(StRep) + size_t(cap) + 1));
  if (!grown) MaMemHalt();
  grown->cap = int32_t(cap);
  return grown;
}

}  // namespace

void StFreeRep(StRep* rep) noexcept {
  rep->heapType = 0;  // a stale pointer fails the debug check
  free(rep);
  --StrStats;
}

St StCreate() { return St::Adopt(NewRep(0, 0)); }

St StAlloc(int32_t length) { return St::Adopt(NewRep(length, length)); }

St StCreateLen(const void* bytes, int32_t length) {
  St s = St::Adopt(NewRep(length, length));
  if (length > 0) memcpy(s.MutableChars(), bytes, size_t(length));
  return s;
}

St StFromView(std::string_view text) {
  return StCreateLen(text.data(), int32_t(text.size()));
}

St StCreateRepeat(int32_t length, uint8_t byte) {
  St s = St::Adopt(NewRep(length, length));
  memset(s.MutableChars(), byte, size_t(length));
  return s;
}

St StCreateOne(uint8_t byte) { return StCreateLen(&byte, 1); }

St StCStrXfm(const char* cstring) {
  if (!cstring) return St();
  return StCreateLen(cstring, int32_t(strlen(cstring)));
}

St StStIntXfm(int64_t value) {
  char buf[24];
  int n = snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
  if (n <= 0) return St();
  return StCreateLen(buf, n);
}

St StSoleOwner(St str) {
  StCheck(str, "StSoleOwner-- str");
  if (str.IsNil() || str.RefCount() == 1) return str;
  return StCreateLen(str.CStr(), str.Length());
}

St StRAlloc(St str, int32_t length) {
  StCheck(str, "StRAlloc-- str");
  if (str.IsNil()) return StAlloc(length);
  if (length < 0) MaAssertFailure("StRAlloc-- length");
  str = StSoleOwner(std::move(str));
  StRep* rep = str.ReleaseRep();
  if (length > rep->cap) {
    auto* grown = static_cast<StRep*>(realloc(rep, sizeof(StRep) + size_t(length) + 1));
    if (!grown) MaMemHalt();
    rep = grown;
    rep->cap = length;
  }
  rep->len = length;
  rep->Chars()[length] = 0;
  return St::Adopt(rep);
}

St StReserve(St str, int32_t capacity) {
  StCheck(str, "StReserve-- str");
  if (str.IsNil()) {
    St s = St::Adopt(NewRep(0, capacity));
    return s;
  }
  str = StSoleOwner(std::move(str));
  if (capacity <= str.Capacity()) return str;
  StRep* rep = str.ReleaseRep();
  auto* grown = static_cast<StRep*>(realloc(rep, sizeof(StRep) + size_t(capacity) + 1));
  if (!grown) MaMemHalt();
  grown->cap = capacity;
  return St::Adopt(grown);
}

void StDestroy(St& str) noexcept {
  StCheck(str, "StDestroy-- str");
  str = St();
}

void ExStDestroy(St& str) noexcept { str = St(); }
void ExStStop(St& str) noexcept { str = St(); }

int32_t StByteLength(const St& str) {
  return str.IsNil() ? 0 : str.Length() + 5;
}

int32_t StCStrSize(const char* cstring) {
  return cstring ? int32_t(strlen(cstring)) : 0;
}

int32_t StIndex(const St& str, int32_t start, uint8_t byte) {
  StCheck(str, "StIndex-- str");
  int32_t len = str.Length();
  if (start < 0) start = 0;
  if (start >= len) return -1;
  const void* hit = memchr(str.CStr() + start, byte, size_t(len - start));
  return hit ? int32_t(static_cast<const char*>(hit) - str.CStr()) : -1;
}

int32_t StIndexLast(const St& str, int32_t start, uint8_t byte) {
  StCheck(str, "StIndexLast-- str");
  int32_t len = str.Length();
  if (start >= len) start = len - 1;
  const uint8_t* p = str.Bytes();
  for (int32_t i = start; i >= 0; --i)
    if (p[i] == byte) return i;
  return -1;
}

int32_t StMIndex(const St& str, int32_t start, const St& delims) {
  StCheck(str, "StMIndex-- str");
  StCheck(delims, "StMIndex-- delims");
  bool member[256] = {};
  for (int32_t i = 0; i < delims.Length(); ++i) member[delims[i]] = true;
  const uint8_t* p = str.Bytes();
  for (int32_t i = start < 0 ? 0 : start; i < str.Length(); ++i)
    if (member[p[i]]) return i;
  return -1;
}

namespace {
bool PrefixWith(const St& str, const char* prefix, StTable table) {
  if (!prefix) return true;
  size_t n = strlen(prefix);
  if (n > size_t(str.Length())) return false;
  return StArrayEqual(str.CStr(), prefix, int32_t(n), table);
}
}  // namespace

bool StIsPrefixC(const St& str, const char* prefix) {
  return PrefixWith(str, prefix, StLiteral);
}
bool StIsPrefixCNoCase(const St& str, const char* prefix) {
  return PrefixWith(str, prefix, StASCIIUpper);
}
bool StIsPrefixCNoCaseLatin(const St& str, const char* prefix) {
  return PrefixWith(str, prefix, StLatinUpper);
}

bool StIntStXfm(const St& str, int32_t* out) {
  StCheck(str, "StIntStXfm-- str");
  *out = 0;
  if (str.IsNil() || str.Empty()) return false;
  const uint8_t* p = str.Bytes();
  int32_t n = str.Length(), i = 0;
  bool negative = false;
  if (p[0] == '-' || p[0] == '+') {
    negative = p[0] == '-';
    i = 1;
  }
  if (i >= n) return false;
  int64_t v = 0;
  for (; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
    if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max()) return false;
  *out = int32_t(v);
  return true;
}

St StCat(St a, St b) {
  StCheck(a, "StCat-- str1");
  StCheck(b, "StCat-- str2");
  if (a.IsNil()) return b;
  if (b.IsNil()) return a;
  int32_t blen = b.Length();
  if (blen == 0) return a;
  return StAppendData(std::move(a), b.CStr(), blen);
}

St StAppendData(St str, const void* bytes, int32_t length) {
  StCheck(str, "StAppendData-- str");
  if (length <= 0) return str.IsNil() ? StCreate() : str;
  if (str.IsNil()) return StCreateLen(bytes, length);
  str = StSoleOwner(std::move(str));
  int32_t old = str.Length();
  if (int64_t(old) + length > std::numeric_limits<int32_t>::max() - 64)
    MaMemHalt();
  // The bytes may lie inside str's own block, which growing can move.
  const char* src = static_cast<const char*>(bytes);
  const char* chars = str.CStr();
  bool inside = std::less_equal<const char*>()(chars, src) &&
                std::less<const char*>()(src, chars + old + 1);
  ptrdiff_t offset = inside ? src - chars : 0;
  StRep* rep = GrowRep(str.ReleaseRep(), old + length);
  if (inside) src = rep->Chars() + offset;
  memmove(rep->Chars() + old, src, size_t(length));
  rep->len = old + length;
  rep->Chars()[rep->len] = 0;
  return St::Adopt(rep);
}

St StAppend(St str, uint8_t byte) {
  if (!str.IsNil() && str.RefCount() == 1 && str.Length() < str.Capacity()) {
    int32_t n = str.Length();
    str.MutableChars()[n] = char(byte);
    str.SetLength(n + 1);
    return str;
  }
  return StAppendData(std::move(str), &byte, 1);
}

St StAppendLength(St str, const St& src, int32_t length) {
  StCheck(src, "StAppendLength-- src");
  if (length > src.Length()) length = src.Length();
  if (length <= 0) return str;
  return StAppendData(std::move(str), src.CStr(), length);
}

St StSubstr(const St& str, int32_t start, int32_t count) {
  StCheck(str, "StSubstr-- StrIn");
  int32_t len = str.Length();
  if (!str.IsNil() && len == 0) return StCreate();
  if (start < 0) start = 0;
  if (start >= len) return St();
  if (count > len - start) count = len - start;
  if (count < 0) count = 0;
  return StCreateLen(str.CStr() + start, count);
}

St StToDoubleQuote(St str) {
  StCheck(str, "StToDoubleQuote-- str");
  int32_t len = str.Length();
  const char* p = str.CStr();
  int32_t quotes = 0;
  for (int32_t i = 0; i < len; ++i) quotes += p[i] == '"';
  if (quotes == 0) return str;
  St out = StAlloc(len + quotes);
  char* q = out.MutableChars();
  for (int32_t i = 0; i < len; ++i) {
    *q++ = p[i];
    if (p[i] == '"') *q++ = '"';
  }
  MA_CHECK(StDebugFlag, q == out.MutableChars() + len + quotes,
           "StToDoubleQuote--string length mismatch");
  return out;
}

// ---------------------------------------------------------------------------
// Comparison and hashing.

int StArrayCompare(const void* a, int32_t alen, const void* b, int32_t blen,
                   StTable table) {
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);
  int32_t n = alen < blen ? alen : blen;
  if (table == StLiteral) {
    int c = n > 0 ? memcmp(pa, pb, size_t(n)) : 0;
    if (c != 0) return c < 0 ? kStBefore : kStAfter;
  } else {
    for (int32_t i = 0; i < n; ++i) {
      uint8_t x = table[pa[i]], y = table[pb[i]];
      if (x != y) return x < y ? kStBefore : kStAfter;
    }
  }
  if (alen == blen) return kStEqual;
  return alen < blen ? kStBefore : kStAfter;
}

bool StArrayEqual(const void* a, const void* b, int32_t length, StTable table) {
  if (length <= 0) return true;
  if (table == StLiteral) return memcmp(a, b, size_t(length)) == 0;
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);
  for (int32_t i = 0; i < length; ++i)
    if (table[pa[i]] != table[pb[i]]) return false;
  return true;
}

int StCompare(const St& a, const St& b, StTable table) {
  StCheck(a, "StCompare-- str1");
  StCheck(b, "StCompare-- str2");
  return StArrayCompare(a.CStr(), a.Length(), b.CStr(), b.Length(), table);
}

int StCStrCompare(const char* a, const char* b, StTable table) {
  return StArrayCompare(a ? a : "", StCStrSize(a), b ? b : "", StCStrSize(b),
                        table);
}

uint32_t StBytesHash(const void* bytes, size_t length) noexcept {
  const auto* p = static_cast<const uint8_t*>(bytes);
  uint32_t h = 0;
  for (size_t i = 0; i < length; ++i) h = h + ((h >> 1) ^ p[i]);
  return h;
}

}  // namespace quil
