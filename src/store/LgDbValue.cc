// Typed values of record fields: their chunks, readers and writers,
// destruction and copies by kind, and the templates of their types.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "Bt.h"
#include "ChSt.h"
#include "LgDbInt.h"
#include "NmSp.h"
#include "Sl.h"
#include "Ut.h"

namespace quil {

using namespace lgdb;

namespace {

static_assert(sizeof(LgDbTd) == 8 && sizeof(LgDbCol) == 16 && sizeof(LgDbSubscr) == 16);
static_assert(sizeof(LgDbUserPosts) == 16 + 4 * kLgDbUserPostsWords);

constexpr uint32_t kTextBufHead = 24;
constexpr uint32_t kPictHead = 16;
constexpr uint32_t kPictPieceHead = 8;

// ---------------------------------------------------------------------------
// Fixed-size values: the struct is the chunk's layout, changed in place
// when the field has a value of the kind already.

// A new chunk of type holding value's bytes.
template <class T>
ChHandle MakeFixed(uint16_t type, const T& value, ChHandle near) {
  ChHandle h;
  void* p = ChCreate(type, sizeof(T), near, &h);
  memcpy(p, &value, sizeof(T));
  ChUnlockMod(p);
  return h;
}

template <class T>
void PutFixed(LgDbSlot slot, uint16_t type, const T& value) {
  if (ChHandle old = ValueOfKind(SlotValue(slot), type)) {
    ChLocked p(old);
    memcpy(p.Data(), &value, sizeof(T));
    p.MarkModified();
    return;
  }
  PutValue(slot, MakeFixed(type, value, slot.chunk), type);
}

template <class T>
bool GetFixed(ChHandle value, uint16_t type, T* out) {
  ChHandle h = ValueOfKind(value, type);
  if (!h) return false;
  memcpy(out, Deref(h), sizeof(T));
  return true;
}

// The slot of a record's field, added when missing, for the Put forms.
LgDbSlot PutSlot(ChHandle rec, ChHandle field, const char* fn) {
  return FindOrAddField(rec, field, fn);
}

// The value handle of a record's field, for the Get forms.
ChHandle GetValue(ChHandle rec, ChHandle field, const char* message) {
  return FindField(rec, field, message).value;
}

void CheckTree(ChHandle tree, uint16_t type, const char* message) {
  MA_CHECK(LgDbDebugFlag, tree && ChType(tree) == type, message);
}

// ---------------------------------------------------------------------------
// Text buffers.

ChHandle TextBufCreate(const St& text, ChHandle near) {
  const uint8_t* bytes = text.Bytes();
  uint32_t left = uint32_t(text.Length());
  ChHandle first = 0, prev = 0;
  bool head = true;
  while (head || left) {
    uint32_t n = std::min(left, kLgDbTextBufPiece);
    ChHandle h;
    auto* p = static_cast<uint8_t*>(ChCreate(kLgDbTextBufType, kTextBufHead + n, prev ? prev : near, &h));
    if (head) St32(p, uint32_t(text.Length()));
    St32(p + 12, n);
    memcpy(p + kTextBufHead, bytes, n);
    ChUnlockMod(p);
    if (prev) {
      ChLocked q(prev);
      St32(q.Data() + 16, h);
      q.MarkModified();
    } else {
      first = h;
    }
    prev = h;
    bytes += n;
    left -= n;
    head = false;
  }
  return first;
}

// Calls fn(bytes, length) for each chunk of a text buffer chain.
template <class Fn>
void ForEachTextBufPiece(ChHandle h, Fn&& fn) {
  while (h) {
    const uint8_t* p = Deref(h);
    ChHandle next = Ld32(p + 16);
    fn(p + kTextBufHead, Ld32(p + 12));
    h = next;
  }
}

void ChainDestroy(ChHandle h, uint32_t nextOffset) {
  while (h) {
    ChHandle next = Ld32(Deref(h) + nextOffset);
    ChDestroy(h);
    h = next;
  }
}

// ---------------------------------------------------------------------------
// Pictures, further record kinds.

ChHandle PictureToHnd(const LgDbPicture& pic, ChHandle near) {
  uint32_t n = uint32_t(pic.data.Length());
  bool small = n <= kLgDbPictSmallMax;
  ChHandle head;
  auto* p = static_cast<uint8_t*>(
      ChCreate(small ? kLgDbPictSmallType : kLgDbPictType, kPictHead + (small ? n : 4), near, &head));
  St32(p, uint32_t(pic.width));
  St32(p + 4, uint32_t(pic.height));
  St32(p + 8, uint32_t(pic.format));
  St32(p + 12, n);
  if (small) memcpy(p + kPictHead, pic.data.Bytes(), n);
  ChUnlockMod(p);
  if (small) return head;
  ChHandle prev = head;
  uint32_t linkAt = kPictHead;  // the head's first-data word
  for (uint32_t done = 0; done < n;) {
    uint32_t m = std::min(n - done, kLgDbPictPiece);
    ChHandle h;
    auto* q = static_cast<uint8_t*>(ChCreate(kLgDbPictDataType, kPictPieceHead + m, prev, &h));
    St32(q + 4, m);
    memcpy(q + kPictPieceHead, pic.data.Bytes() + done, m);
    ChUnlockMod(q);
    ChLocked link(prev);
    St32(link.Data() + linkAt, h);
    link.MarkModified();
    prev = h;
    linkAt = 0;
    done += m;
  }
  return head;
}

void HndToPicture(ChHandle h, LgDbPicture* pic) {
  const uint8_t* p = Deref(h);
  pic->width = int32_t(Ld32(p));
  pic->height = int32_t(Ld32(p + 4));
  pic->format = int32_t(Ld32(p + 8));
  uint32_t n = Ld32(p + 12);
  if (TypeOfData(p) == kLgDbPictSmallType) {
    pic->data = StCreateLen(p + kPictHead, int32_t(n));
    return;
  }
  St data = StAlloc(int32_t(n));
  uint32_t done = 0;
  for (ChHandle piece = Ld32(p + kPictHead); piece && done < n;) {
    const uint8_t* q = Deref(piece);
    uint32_t m = std::min(Ld32(q + 4), n - done);
    memcpy(data.MutableChars() + done, q + kPictPieceHead, m);
    done += m;
    piece = Ld32(q);
  }
  data.SetLength(int32_t(done));
  pic->data = std::move(data);
}

ChHandle SrToHnd(const std::vector<LgDbSrEntry>& entries, ChHandle near) {
  MA_CHECK(true, entries.size() <= kLgDbSrMax, "LgDbRecPutSr-- too many");
  ChHandle h;
  auto* p = static_cast<uint8_t*>(ChCreate(kLgDbSrType, 4 + 8 * uint32_t(entries.size()), near, &h));
  St32(p, uint32_t(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    St32(p + 4 + 8 * i, entries[i].handle);
    St32(p + 8 + 8 * i, entries[i].word);
  }
  ChUnlockMod(p);
  return h;
}

// A copy of a chunk list's nodes (their data as they are) near near.
ChHandle CopyList(ChHandle list, ChHandle near) {
  if (!list) return 0;
  ChHandle out = ChLiGenCreate(near, kChLiNodeType);
  ChLiGenIter it = ChLiGenStart(list, kChLiNodeType);
  uint32_t d, d2;
  while (ChLiGenNext(it, &d, &d2, kChLiNodeType)) out = ChLiGenAppend(out, d, d2, kChLiNodeType);
  return out;
}

ChHandle CopyStringList(ChHandle list, ChHandle near) {
  return list ? StLiToChStLiXfm(ChStLiToStLiXfm(list), near) : 0;
}

void DestroyList(ChHandle list) {
  if (list) ChLiGenDestroy(list, kChLiNodeType);
}

// ---------------------------------------------------------------------------
// B-tree copies, entry by entry.

ChHandle CopyBt(ChHandle tree, uint16_t kind, ChHandle near) {
  ChHandle copy = 0;
  switch (kind) {
    case kLgDbBtType: {
      copy = BtDbCreate(near);
      St key;
      ChHandle h;
      uint32_t w;
      for (uint32_t i = 0; BtDbIndex(tree, i, &key, &h, &w); ++i) BtDbInsert(copy, std::move(key), h, w);
      BtDbSetAppHnd(copy, BtDbAppHnd(tree));
      BtDbSetAppHnd2(copy, BtDbAppHnd2(tree));
      break;
    }
    case kLgDbBtiType: {
      copy = BtiDbCreate(near);
      uint32_t k, a, b;
      for (uint32_t i = 0; BtiDbIndex(tree, i, &k, &a, &b); ++i) BtiDbInsert(copy, k, a, b);
      BtiDbSetAppHnd(copy, BtiDbAppHnd(tree));
      BtiDbSetAppHnd2(copy, BtiDbAppHnd2(tree));
      break;
    }
    case kLgDbBti1Type: {
      copy = Bti1DbCreate(near);
      uint32_t k, a;
      for (uint32_t i = 0; Bti1DbIndex(tree, i, &k, &a); ++i) Bti1DbInsert(copy, k, a);
      Bti1DbSetAppHnd(copy, Bti1DbAppHnd(tree));
      Bti1DbSetAppHnd2(copy, Bti1DbAppHnd2(tree));
      break;
    }
    case kLgDbBtihType: {
      copy = BtihDbCreate(near);
      uint32_t k;
      ChHandle h;
      for (uint32_t i = 0; BtihDbIndex(tree, i, &k, &h); ++i) BtihDbInsert(copy, k, h);
      BtihDbSetAppHnd(copy, BtihDbAppHnd(tree));
      BtihDbSetAppHnd2(copy, BtihDbAppHnd2(tree));
      break;
    }
    default: {  // kLgDbBtmType
      copy = BtmDbCreate(near);
      BtmEntry e;
      for (uint32_t i = 0; BtmDbIndex(tree, i, &e); ++i) BtmDbInsert(copy, e);
      BtmDbSetAppHnd(copy, BtmDbAppHnd(tree));
      BtmDbSetAppHnd2(copy, BtmDbAppHnd2(tree));
      break;
    }
  }
  return copy;
}

// Copies or destroys one value (not a list of values) by its kind.
ChHandle DupOne(ChHandle v, uint16_t kind, ChHandle near) {
  switch (kind) {
    case kLgDbRecType:
      return v;
    case kLgDbTextType:
      return LgDbTextToHnd(LgDbHndToText(v), near);
    case kLgDbIvSlType:
      return SlCopyInterval(v, 0, SlGetLength(v), near);
    case kLgDbPictType: {
      LgDbPicture pic;
      HndToPicture(v, &pic);
      return PictureToHnd(pic, near);
    }
    case kLgDbSubscrType: {
      LgDbSubscr s;
      memcpy(&s, Deref(v), sizeof s);
      s.list1 = CopyStringList(s.list1, near);
      s.list2 = CopyStringList(s.list2, near);
      return MakeFixed(kind, s, near);
    }
    case kLgDbAccPermType:
      return MakeFixed(kind, CopyList(Ld32(Deref(v)), near), near);
    case kLgDbUserPostsType: {
      LgDbUserPosts u;
      memcpy(&u, Deref(v), sizeof u);
      u.list1 = CopyList(u.list1, near);
      u.list2 = CopyList(u.list2, near);
      return MakeFixed(kind, u, near);
    }
    default:
      if (IsBtKind(kind)) return CopyBt(v, kind, near);
      return ChDup(v, near);  // integer, date, colour, further record kind
  }
}

void DestroyOne(ChHandle v, uint16_t kind) {
  switch (kind) {
    case kLgDbRecType:
      return;
    case kLgDbTextType:
      if (ChType(v) == kLgDbTextBufType) {
        ChainDestroy(v, 16);
      } else {
        ChStDestroy(v);
      }
      return;
    case kLgDbIvSlType:
      SlDestroy(v);
      return;
    case kLgDbBtType:
      BtDbDestroy(v);
      return;
    case kLgDbBtiType:
      BtiDbDestroy(v);
      return;
    case kLgDbBti1Type:
      Bti1DbDestroy(v);
      return;
    case kLgDbBtihType:
      BtihDbDestroy(v);
      return;
    case kLgDbBtmType:
      BtmDbDestroy(v);
      return;
    case kLgDbPictType: {
      const uint8_t* p = Deref(v);
      ChHandle data = TypeOfData(p) == kLgDbPictType ? Ld32(p + kPictHead) : 0;
      ChDestroy(v);
      ChainDestroy(data, 0);
      return;
    }
    case kLgDbSubscrType: {
      LgDbSubscr s;
      memcpy(&s, Deref(v), sizeof s);
      ChDestroy(v);
      if (s.list1) ChStLiDestroy(s.list1);
      if (s.list2) ChStLiDestroy(s.list2);
      return;
    }
    case kLgDbAccPermType: {
      ChHandle list = Ld32(Deref(v));
      ChDestroy(v);
      DestroyList(list);
      return;
    }
    case kLgDbUserPostsType: {
      const uint8_t* p = Deref(v);
      ChHandle a = Ld32(p), b = Ld32(p + 4);
      ChDestroy(v);
      DestroyList(a);
      DestroyList(b);
      return;
    }
    default:
      ChDestroy(v);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Values of any kind.

void LgDbDataDestroy(ChHandle value) {
  if (!value) return;
  bool multi = IsMulti(value);
  ForEachValue(value, [](ChHandle v, uint16_t kind) { DestroyOne(v, kind); });
  if (multi) ChLiGenDestroy(value, kChLiNodeType);
}

ChHandle LgDbFieldDup(ChHandle value, ChHandle near) {
  if (!value) return 0;
  if (!IsMulti(value)) return DupOne(value, KindOfType(ChType(value), value), near);
  ChHandle list = ChLiGenCreate(near, kChLiNodeType);
  ForEachValue(value, [&](ChHandle v, uint16_t kind) {
    list = ChLiGenAppend(list, DupOne(v, kind, near), kind, kChLiNodeType);
  });
  return list;
}

// ---------------------------------------------------------------------------
// Dates.

LgDbTd LgDbTdFromTd(const Td& t) {
  return LgDbTd{t.year * 10000 + t.month * 100 + t.day, t.hour * 10000 + t.minute * 100 + t.second};
}

Td LgDbTdToTd(const LgDbTd& v) {
  Td t;
  t.year = v.date / 10000;
  t.month = v.date / 100 % 100;
  t.day = v.date % 100;
  t.hour = v.time / 10000;
  t.minute = v.time / 100 % 100;
  t.second = v.time % 100;
  return t;
}

LgDbTd LgDbTdNow() { return LgDbTdFromTd(TdNow(false)); }

int LgDbTdCompare(const LgDbTd& a, const LgDbTd& b) {
  if (a.date != b.date) return a.date < b.date ? kStBefore : kStAfter;
  if (a.time != b.time) return a.time < b.time ? kStBefore : kStAfter;
  return kStEqual;
}

// ---------------------------------------------------------------------------
// Integers.

void LgDbFieldPutInt(LgDbSlot slot, int32_t value) { PutFixed(slot, kLgDbIntType, value); }

bool LgDbFieldGetInt(LgDbSlot slot, int32_t* value) {
  return GetFixed(SlotValue(slot), kLgDbIntType, value);
}

void LgDbRecPutInt(ChHandle rec, ChHandle field, int32_t value) {
  PutFixed(PutSlot(rec, field, "LgDbRecPutInt"), kLgDbIntType, value);
}

bool LgDbRecGetInt(ChHandle rec, ChHandle field, int32_t* value) {
  ChHandle v = GetValue(rec, field, "LgDbRecGetInt-- RecH");
  if (!v) return false;
  const uint8_t* p = Deref(v);
  if (TypeOfData(p) == kLgDbIntType) {  // the common case: one resolve
    *value = int32_t(Ld32(p));
    return true;
  }
  return GetFixed(v, kLgDbIntType, value);
}

int32_t LgDbRecPlusInt(ChHandle rec, ChHandle field, int32_t delta) {
  LgDbSlot slot = PutSlot(rec, field, "LgDbRecPlusInt");
  int32_t value = 0;
  (void)LgDbFieldGetInt(slot, &value);
  value = int32_t(uint32_t(value) + uint32_t(delta));
  PutFixed(slot, kLgDbIntType, value);
  return value;
}

ChHandle LgDbIntHnd(ChHandle rec, ChHandle field) {
  return ValueOfKind(GetValue(rec, field, "LgDbIntHnd-- RecH"), kLgDbIntType);
}

int32_t LgDbIntHndValue(ChHandle h) {
  const uint8_t* p = Deref(h);
  MA_CHECK(LgDbDebugFlag, TypeOfData(p) == kLgDbIntType, "LgDbIntHndValue-- IntH");
  return int32_t(Ld32(p));
}

void LgDbIntHndSet(ChHandle h, int32_t value) {
  MA_CHECK(LgDbDebugFlag, ChType(h) == kLgDbIntType, "LgDbIntHndSet-- IntH");
  ChLocked p(h);
  St32(p.Data(), uint32_t(value));
  p.MarkModified();
}

int32_t LgDbIntHndInc(ChHandle h) {
  int32_t value = int32_t(uint32_t(LgDbIntHndValue(h)) + 1);
  LgDbIntHndSet(h, value);
  return value;
}

// ---------------------------------------------------------------------------
// Text.

ChHandle LgDbTextToHnd(const St& text, ChHandle near) {
  if (uint32_t(text.Length()) >= kLgDbTextBufMin) return TextBufCreate(text, near);
  return StToChStXfm(text.IsNil() ? StCreate() : text, near);
}

St LgDbHndToText(ChHandle h) {
  if (!h) return St();
  if (ChType(h) != kLgDbTextBufType) return ChStToStXfm(h);
  const uint8_t* p = Deref(h);
  St text = StAlloc(int32_t(Ld32(p)));
  int32_t done = 0;
  ForEachTextBufPiece(h, [&](const uint8_t* bytes, uint32_t n) {
    n = std::min(n, uint32_t(text.Capacity() - done));
    memcpy(text.MutableChars() + done, bytes, n);
    done += int32_t(n);
  });
  text.SetLength(done);
  return text;
}

uint32_t LgDbTextHndLength(ChHandle h) {
  if (!h) return 0;
  return ChType(h) == kLgDbTextBufType ? Ld32(Deref(h)) : ChStLength(h);
}

bool lgdb::TextView(ChHandle h, const uint8_t** bytes, int32_t* length) {
  const uint8_t* p = Deref(h);
  if (TypeOfData(p) != kLgDbTextType) return false;
  *length = Ld16(p);
  *bytes = p + 2;
  return true;
}

void LgDbFieldPutText(LgDbSlot slot, St text) {
  PutValue(slot, LgDbTextToHnd(text, slot.chunk), kLgDbTextType);
}

St LgDbFieldGetText(LgDbSlot slot) {
  return LgDbHndToText(ValueOfKind(SlotValue(slot), kLgDbTextType));
}

void LgDbRecPutText(ChHandle rec, ChHandle field, St text) {
  LgDbFieldPutText(PutSlot(rec, field, "LgDbRecPutText"), std::move(text));
}

St LgDbRecGetText(ChHandle rec, ChHandle field) {
  return LgDbHndToText(LgDbRecGetTextBuf(rec, field));
}

ChHandle LgDbRecGetTextBuf(ChHandle rec, ChHandle field) {
  return ValueOfKind(GetValue(rec, field, "LgDbRecGetText-- RecH"), kLgDbTextType);
}

bool LgDbRecHasText(ChHandle rec, ChHandle field) { return LgDbRecGetTextBuf(rec, field) != 0; }

Li<St> LgDbRecGetTextLi(ChHandle rec, ChHandle field) {
  Li<St> pieces;
  ChHandle h = LgDbRecGetTextBuf(rec, field);
  if (!h) return pieces;
  switch (ChType(h)) {
    case kLgDbTextBufType:
      ForEachTextBufPiece(h, [&](const uint8_t* bytes, uint32_t n) {
        LiAppend(pieces, StCreateLen(bytes, int32_t(n)));
      });
      break;
    case kLgDbTextType:
      LiAppend(pieces, ChStToStXfm(h));
      break;
    default: {
      ChLiGenIter it = ChLiGenStart(h, kChLiNodeType);
      uint32_t piece;
      while (ChLiGenNext(it, &piece, nullptr, kChLiNodeType)) LiAppend(pieces, ChStToStXfm(piece));
    }
  }
  return pieces;
}

void LgDbRecPutTextId(ChHandle rec, ChHandle field, ChHandle id) {
  LgDbRecPutText(rec, field, NmSpIdText(id));
}

ChHandle LgDbRecGetTextId(ChHandle rec, ChHandle field) {
  ChHandle h = LgDbRecGetTextBuf(rec, field);
  if (!h || LgDbTextHndLength(h) > uint32_t(kNmSpMaxName)) return 0;
  return LgDbFieldIdGet(rec, LgDbHndToText(h));
}

// ---------------------------------------------------------------------------
// Dates, colours, subscriptions, access permissions, user posts: fixed size.

#define LGDB_FIXED_KIND(Name, In, Out, kind)                                           \
  void LgDbFieldPut##Name(LgDbSlot slot, In value) { PutFixed(slot, kind, value); }     \
  bool LgDbFieldGet##Name(LgDbSlot slot, Out* value) {                                 \
    return GetFixed(SlotValue(slot), kind, value);                                     \
  }                                                                                    \
  void LgDbRecPut##Name(ChHandle rec, ChHandle field, In value) {                      \
    PutFixed(PutSlot(rec, field, "LgDbRecPut" #Name), kind, value);                    \
  }                                                                                    \
  bool LgDbRecGet##Name(ChHandle rec, ChHandle field, Out* value) {                    \
    return GetFixed(GetValue(rec, field, "LgDbRecGet" #Name "-- RecH"), kind, value);  \
  }

LGDB_FIXED_KIND(Td, LgDbTd, LgDbTd, kLgDbTdType)
LGDB_FIXED_KIND(Col, const LgDbCol&, LgDbCol, kLgDbColType)
LGDB_FIXED_KIND(Subscr, const LgDbSubscr&, LgDbSubscr, kLgDbSubscrType)
LGDB_FIXED_KIND(AccPerm, ChHandle, ChHandle, kLgDbAccPermType)
LGDB_FIXED_KIND(UserPosts, const LgDbUserPosts&, LgDbUserPosts, kLgDbUserPostsType)

#undef LGDB_FIXED_KIND

// ---------------------------------------------------------------------------
// Further record kinds and pictures: a new chunk replaces the old one.

void LgDbFieldPutSr(LgDbSlot slot, const std::vector<LgDbSrEntry>& entries) {
  PutValue(slot, SrToHnd(entries, slot.chunk), kLgDbSrType);
}

bool LgDbFieldGetSr(LgDbSlot slot, std::vector<LgDbSrEntry>* entries) {
  ChHandle h = ValueOfKind(SlotValue(slot), kLgDbSrType);
  if (!h) return false;
  const uint8_t* p = Deref(h);
  uint32_t n = std::min(Ld32(p), (ChSize(h) - 4) / 8);
  entries->clear();
  for (uint32_t i = 0; i < n; ++i) entries->push_back(LgDbSrEntry{Ld32(p + 4 + 8 * i), Ld32(p + 8 + 8 * i)});
  return true;
}

void LgDbRecPutSr(ChHandle rec, ChHandle field, const std::vector<LgDbSrEntry>& entries) {
  LgDbFieldPutSr(PutSlot(rec, field, "LgDbRecPutSr"), entries);
}

bool LgDbRecGetSr(ChHandle rec, ChHandle field, std::vector<LgDbSrEntry>* entries) {
  Found f = FindField(rec, field, "LgDbRecGetSr-- RecH");
  return f.slot && LgDbFieldGetSr(f.slot, entries);
}

void LgDbFieldPutPicture(LgDbSlot slot, const LgDbPicture& value) {
  PutValue(slot, PictureToHnd(value, slot.chunk), kLgDbPictType);
}

bool LgDbFieldGetPicture(LgDbSlot slot, LgDbPicture* value) {
  ChHandle h = ValueOfKind(SlotValue(slot), kLgDbPictType);
  if (!h) return false;
  HndToPicture(h, value);
  return true;
}

void LgDbRecPutPicture(ChHandle rec, ChHandle field, const LgDbPicture& value) {
  LgDbFieldPutPicture(PutSlot(rec, field, "LgDbRecPutPicture"), value);
}

bool LgDbRecGetPicture(ChHandle rec, ChHandle field, LgDbPicture* value) {
  Found f = FindField(rec, field, "LgDbRecGetPicture-- RecH");
  return f.slot && LgDbFieldGetPicture(f.slot, value);
}

// ---------------------------------------------------------------------------
// Values given as chunks: interval lists, records, B-trees.

#define LGDB_HANDLE_KIND(Name, kind)                                                 \
  void LgDbFieldPut##Name(LgDbSlot slot, ChHandle value) {                           \
    CheckTree(value, kind, "LgDbRecPut" #Name "-- Value");                           \
    PutValue(slot, value, kind);                                                     \
  }                                                                                  \
  ChHandle LgDbFieldGet##Name(LgDbSlot slot) { return ValueOfKind(SlotValue(slot), kind); } \
  void LgDbRecPut##Name(ChHandle rec, ChHandle field, ChHandle value) {              \
    CheckTree(value, kind, "LgDbRecPut" #Name "-- Value");                           \
    PutValue(PutSlot(rec, field, "LgDbRecPut" #Name), value, kind);                  \
  }                                                                                  \
  ChHandle LgDbRecGet##Name(ChHandle rec, ChHandle field) {                          \
    return ValueOfKind(GetValue(rec, field, "LgDbRecGet" #Name "-- RecH"), kind);    \
  }

LGDB_HANDLE_KIND(IvSl, kLgDbIvSlType)
LGDB_HANDLE_KIND(Rec, kLgDbRecType)
LGDB_HANDLE_KIND(Bt, kLgDbBtType)
LGDB_HANDLE_KIND(Btm, kLgDbBtmType)
LGDB_HANDLE_KIND(Bti, kLgDbBtiType)
LGDB_HANDLE_KIND(Bti1, kLgDbBti1Type)
LGDB_HANDLE_KIND(Btih, kLgDbBtihType)

#undef LGDB_HANDLE_KIND

// ---------------------------------------------------------------------------

void LgDbRegisterTypes() {
  UtRegisterBuiltin(kLgDbRecType, UtLayout().Times(12, kUtHandle).Done());
  UtRegisterBuiltin(kLgDbIntType, UtLayout().Op(kUtInt32).Done());
  UtRegisterBuiltin(kLgDbTextBufType,
                    UtLayout().Times(4, kUtInt32).Times(2, kUtHandle).Done());
  UtRegisterBuiltin(kLgDbTdType, UtLayout().Times(2, kUtInt32).Done());
  UtRegisterBuiltin(kLgDbSubscrType,
                    UtLayout().Times(2, kUtInt32).Times(2, kUtHandle).Done());
  UtRegisterBuiltin(kLgDbAccPermType, UtLayout().Op(kUtHandle).Done());
  UtRegisterBuiltin(kLgDbUserPostsType, UtLayout()
                                            .Times(2, kUtHandle)
                                            .Times(2, kUtInt32)
                                            .Op(kUtGroupN, kLgDbUserPostsWords)
                                            .Op(kUtInt32)
                                            .Op(kUtGroupEnd)
                                            .Done());
  UtRegisterBuiltin(kLgDbPictType, UtLayout().Times(4, kUtInt32).Op(kUtHandle).Done());
  UtRegisterBuiltin(kLgDbPictDataType, UtLayout().Op(kUtHandle).Op(kUtInt32).Done());
  UtRegisterBuiltin(kLgDbPictSmallType, UtLayout().Times(4, kUtInt32).Done());
  UtRegisterBuiltin(kLgDbColType, UtLayout().Times(4, kUtInt32).Done());
  UtRegisterBuiltin(kLgDbSrType, UtLayout()
                                     .Op(kUtInt32)
                                     .Op(kUtGroupCount32, 0)
                                     .Op(kUtHandle)
                                     .Op(kUtInt32)
                                     .Op(kUtGroupEnd)
                                     .Done());
}

}  // namespace quil
