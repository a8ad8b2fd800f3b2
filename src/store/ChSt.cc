// Chunk strings: St in chunks, one chunk or a list of pieces; lists of
// strings and sets in chunks.
#include "ChSt.h"

#include <algorithm>
#include <cstring>

#include "ChInt.h"
#include "ChLi.h"
#include "Ex.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

bool ChStDebugFlag = true;

namespace {

constexpr uint32_t kSlack = 9;  // a piece of n bytes is a chunk of n + 9

bool IsNone(ChHandle h) { return h == 0 || h == kChNil || h == 0xFFFFFFFFu; }

// A new type-10 chunk holding length bytes.
ChHandle MakePiece(const uint8_t* bytes, uint32_t length, ChHandle near) {
  ChHandle h;
  auto* p = static_cast<uint8_t*>(ChCreate(kChStType, length + kSlack, near, &h));
  St16(p, uint16_t(length));
  if (length) memcpy(p + 2, bytes, length);
  ChUnlockMod(p);
  return h;
}

// Calls fn(bytes, length) for each piece of a chunk string, in order.  The
// bytes are valid only during the call.
template <class Fn>
void ForEachPiece(ChHandle h, const char* fn, Fn&& visit) {
  if (IsNone(h)) return;
  uint16_t type = ChType(h);
  auto one = [&](ChHandle piece) {
    MA_CHECK(ChStDebugFlag, ChType(piece) == kChStType,
             std::string(fn) + "-- not a chunk string");
    const auto* p = static_cast<const uint8_t*>(ChDeref(piece));
    visit(p + 2, uint32_t(Ld16(p)));
  };
  if (type == kChStType) {
    one(h);
    return;
  }
  MA_CHECK(ChStDebugFlag, type == kChLiNodeType, std::string(fn) + "-- not a chunk string");
  ChLiGenIter it = ChLiGenStart(h, kChLiNodeType);
  uint32_t piece;
  while (ChLiGenNext(it, &piece, nullptr, kChLiNodeType)) one(piece);
}

// Destroys a private chunk string.
void DestroyPrivate(ChHandle h) {
  if (ChType(h) == kChStType) {
    ChDestroy(h);
    return;
  }
  uint32_t piece;
  while (!ChLiGenIsEmpty(h, kChLiNodeType)) {
    h = ChLiGenPop(h, &piece, nullptr, kChLiNodeType);
    ChDestroy(piece);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Private strings.

ChHandle StToChStXfm(const St& str, ChHandle near) {
  const uint8_t* bytes = str.Bytes();
  uint32_t length = uint32_t(str.Length());
  if (length <= kChStMaxSingle) return MakePiece(bytes, length, near);
  ChHandle list = ChLiGenCreate(near, kChLiNodeType);
  ChHandle last = near;
  bool ok = ExTry([&] {
    for (uint32_t at = 0; at < length; at += kChStPiece) {
      ChHandle piece = MakePiece(bytes + at, std::min(kChStPiece, length - at), last);
      ChHandle node;
      bool linked = ExTry([&] {
        list = ChLiGenAppendEntry(list, piece, 0, kChLiNodeType, &node);
      });
      if (!linked) {
        ChDestroy(piece);
        ExRaise(ExLastError);
      }
      last = node;
    }
  });
  if (!ok) {
    if (!ChLiGenIsEmpty(list, kChLiNodeType)) DestroyPrivate(list);
    ExRaise(ExLastError);
  }
  return list;
}

namespace {

uint32_t Length(ChHandle h, const char* fn) {
  uint32_t total = 0;
  ForEachPiece(h, fn, [&](const uint8_t*, uint32_t n) { total += n; });
  return total;
}

}  // namespace

uint32_t ChStLength(ChHandle h) { return Length(h, "ChStLength"); }

St ChStToStXfm(ChHandle h) {
  if (IsNone(h)) return St();
  St out = StAlloc(int32_t(Length(h, "ChStToStXfm")));
  char* to = out.MutableChars();
  ForEachPiece(h, "ChStToStXfm", [&](const uint8_t* p, uint32_t n) {
    memcpy(to, p, n);
    to += n;
  });
  return out;
}

uint32_t ChStHash(ChHandle h) {
  uint32_t hash = 0;
  ForEachPiece(h, "ChStHash", [&](const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) hash = hash + ((hash >> 1) ^ p[i]);
  });
  return hash;
}

bool ChStEqualSt(ChHandle h, const St& str) {
  uint32_t at = 0, length = uint32_t(str.Length());
  bool same = true;
  ForEachPiece(h, "ChStCompare", [&](const uint8_t* p, uint32_t n) {
    if (!same) return;
    same = at + n <= length && memcmp(p, str.Bytes() + at, n) == 0;
    at += n;
  });
  return same && at == length;
}

bool ChStCompare(ChHandle a, ChHandle b) {
  if (a == b) return true;
  if (ChStLength(a) != ChStLength(b)) return false;
  return ChStEqualSt(b, ChStToStXfm(a));
}

ChHandle ChStCopy(ChHandle h, ChHandle near) {
  return StToChStXfm(ChStToStXfm(h), near);
}

bool ChStIsShared(ChHandle h) { return !IsNone(h) && ChGetRefCount(h) != 0; }

void ChStDestroy(ChHandle h) {
  if (IsNone(h)) return;
  if (ChStIsShared(h)) {
    ShrDestroy(h);
    return;
  }
  DestroyPrivate(h);
}

ChHandle ChStDup(ChHandle h) {
  if (IsNone(h)) return h;
  if (ChStIsShared(h)) {
    ShrIncShared(h);
    return h;
  }
  return ChStCopy(h, h);
}

ChHandle ChStPrivShrCvt(ChHandle h) {
  MA_CHECK(ChStDebugFlag, !ChStIsShared(h), "ChStPrivShrCvt-- not shared");
  return PrivShrCvt(h);
}

ChHandle ChStShrPrivCvt(ChHandle h) {
  MA_CHECK(ChStDebugFlag, ChStIsShared(h), "ChStShrPrivCvt-- already shared");
  return ShrPrivCvt(h);
}

void ChStIncShared(ChHandle h) { ShrIncShared(h); }

void ChStCbDestroy(uint32_t element) { ChStDestroy(element); }
uint32_t ChStCbDup(uint32_t element) { return ChStDup(element); }
void ExChStDestroy(ChHandle h) { ChStDestroy(h); }

// ---------------------------------------------------------------------------
// Lists of strings.

ChHandle StLiToChStLiXfm(const Li<St>& list, ChHandle near) {
  ChHandle out = ChLiGenCreate(near, kChLiNodeType);
  bool ok = ExTry([&] {
    for (const St& s : list) {
      ChHandle last = ChLiGenLastEntry(out, kChLiNodeType);
      ChHandle str = StToChStXfm(s, last ? last : near);
      bool linked = ExTry([&] { out = ChLiGenAppend(out, str, 0, kChLiNodeType); });
      if (!linked) {
        ChStDestroy(str);
        ExRaise(ExLastError);
      }
    }
  });
  if (!ok) {
    ChStLiDestroy(out);
    ExRaise(ExLastError);
  }
  return out;
}

Li<St> ChStLiToStLiXfm(ChHandle list) {
  Li<St> out;
  if (IsNone(list)) return out;
  ChLiGenIter it = ChLiGenStart(list, kChLiNodeType);
  uint32_t str;
  while (ChLiGenNext(it, &str, nullptr, kChLiNodeType)) LiAppend(out, ChStToStXfm(str));
  return out;
}

void ChStLiDestroy(ChHandle list) {
  if (IsNone(list)) return;
  uint32_t str;
  while (!ChLiGenIsEmpty(list, kChLiNodeType)) {
    list = ChLiGenPop(list, &str, nullptr, kChLiNodeType);
    ChStDestroy(str);
  }
}

void ExChStLiDestroy(ChHandle list) { ChStLiDestroy(list); }

// ---------------------------------------------------------------------------
// Sets.

ChHandle SeToChSeXfm(const Se& set, ChHandle near) {
  if (set.IsNil()) return 0;
  uint32_t words = uint32_t(set.WordCount());
  MA_CHECK(ChStDebugFlag, 8 + 4 * words <= kChMaxChunk, "SeToChSeXfm-- set too large");
  ChHandle h;
  auto* p = static_cast<uint8_t*>(ChCreate(kChSeType, 8 + 4 * words, near, &h));
  St32(p, uint32_t(set.Size()));
  St32(p + 4, words);
  memcpy(p + 8, set.Words(), 4 * words);
  ChUnlockMod(p);
  return h;
}

Se ChSeToSeXfm(ChHandle h) {
  if (IsNone(h)) return Se();
  MA_CHECK(ChStDebugFlag, ChType(h) == kChSeType, "ChSeToSeXfm-- not a set");
  const auto* p = static_cast<const uint8_t*>(ChDeref(h));
  int32_t size = int32_t(Ld32(p));
  Se set = SeCreate(size);
  uint32_t words = std::min(Ld32(p + 4), uint32_t(set.WordCount()));
  memcpy(set.Words(), p + 8, 4 * words);
  return set;
}

void ChSeDestroy(ChHandle h) {
  if (!IsNone(h)) ChDestroy(h);
}

void ExChSeDestroy(ChHandle h) { ChSeDestroy(h); }

void ChStRegisterTypes() {
  UtRegisterBuiltin(kChSeType, UtLayout()
                                   .Op(kUtInt32)
                                   .Op(kUtInt32)
                                   .Op(kUtGroupCount32, 4)
                                   .Op(kUtInt32)
                                   .Op(kUtGroupEnd)
                                   .Done());
}

}  // namespace quil
