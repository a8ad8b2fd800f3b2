// Records: chains of record chunks, their slots and fields, values of
// several kinds in one field, field names, walks, copies and destruction.
#include <cstring>
#include <vector>

#include "Doc.h"
#include "LgDbInt.h"
#include "NmSp.h"

namespace quil {

bool LgDbDebugFlag = true;

namespace lgdb {

Found FindField(ChHandle rec, ChHandle field, const char* message) {
  const uint8_t* p = DerefRec(rec, message);
  for (;;) {
    for (int i = 0; i < kLgDbSlots; ++i) {
      if (Ld32(p + FieldOffset(i)) == field) return Found{LgDbSlot{rec, i}, Ld32(p + ValueOffset(i))};
    }
    rec = Ld32(p + 4 * kWordNext);
    if (!rec) return Found{};
    p = Deref(rec);
  }
}

LgDbSlot FindOrAddField(ChHandle rec, ChHandle field, const char* fn) {
  const uint8_t* p = Deref(rec);
  if (LgDbDebugFlag && TypeOfData(p) != kLgDbRecType) MaAssertFailure(std::string(fn) + "-- RecH");
  LgDbSlot empty;
  ChHandle last = rec;
  for (ChHandle c = rec; c; c = Ld32(p + 4 * kWordNext)) {
    p = Deref(c);
    last = c;
    for (int i = 0; i < kLgDbSlots; ++i) {
      uint32_t f = Ld32(p + FieldOffset(i));
      if (f == field) return LgDbSlot{c, i};
      if (f == 0 && !empty) empty = LgDbSlot{c, i};
    }
  }
  MA_CHECK(LgDbDebugFlag, field != 0 && ChType(field) == kNmSpNameType,
           std::string(fn) + "-- Field");
  if (!empty) {
    ChHandle added;
    ChUnlockMod(ChCreate(kLgDbRecType, kLgDbRecSize, last, &added));
    ChLocked prev(last);
    St32(prev.Data() + 4 * kWordNext, added);
    prev.MarkModified();
    empty = LgDbSlot{added, 0};
  }
  ChLocked c(empty.chunk);
  St32(c.Data() + FieldOffset(empty.index), field);
  c.MarkModified();
  return empty;
}

ChHandle SlotValue(LgDbSlot slot) { return Ld32(Deref(slot.chunk) + ValueOffset(slot.index)); }

void SetSlotValue(LgDbSlot slot, ChHandle value) {
  ChLocked c(slot.chunk);
  St32(c.Data() + ValueOffset(slot.index), value);
  c.MarkModified();
}

namespace {

void ClearSlot(LgDbSlot slot) {
  ChLocked c(slot.chunk);
  St32(c.Data() + FieldOffset(slot.index), 0);
  St32(c.Data() + ValueOffset(slot.index), 0);
  c.MarkModified();
}

// The second datum of a list's first node: the kind of a list of values,
// 0 in a chunk string list.
uint32_t FirstKind(ChHandle list) { return Ld32(Deref(list) + 12); }

// Drops a value being replaced or removed: destroyed, unless it is a
// record (a reference) or the value that replaces it.
void DropValue(ChHandle old, ChHandle replacement) {
  if (old != replacement) LgDbDataDestroy(old);
}

}  // namespace

uint16_t KindOfType(uint16_t type, ChHandle h) {
  switch (type) {
    case kLgDbTextBufType:
      return kLgDbTextType;
    case kLgDbPictSmallType:
      return kLgDbPictType;
    case kChLiNodeType:
      return FirstKind(h) ? kLgDbMultiKind : kLgDbTextType;
    default:
      return type;
  }
}

bool IsBtKind(uint16_t kind) {
  return kind == kLgDbBtType || kind == kLgDbBtiType || kind == kLgDbBti1Type ||
         kind == kLgDbBtihType || kind == kLgDbBtmType;
}

bool IsMulti(ChHandle value) {
  const uint8_t* p = Deref(value);
  return TypeOfData(p) == kChLiNodeType && Ld32(p + 12) != 0;
}

ChHandle ValueOfKind(ChHandle value, uint16_t kind) {
  if (!value) return 0;
  const uint8_t* p = Deref(value);
  uint16_t type = TypeOfData(p);
  if (type == kind) return value;
  if (type != kChLiNodeType || Ld32(p + 12) == 0) return KindOfType(type, value) == kind ? value : 0;
  for (ChHandle node = value;;) {
    if (Ld32(p + 12) == kind) return Ld32(p + 8);
    node = Ld32(p);
    if (node == value) return 0;
    p = Deref(node);
  }
}

void PutValue(LgDbSlot slot, ChHandle value, uint16_t kind) {
  ChHandle v = SlotValue(slot);
  if (!v) {
    SetSlotValue(slot, value);
    return;
  }
  if (IsMulti(v)) {
    ChLiGenIter it = ChLiGenStart(v, kChLiNodeType);
    while (ChHandle node = ChLiGenNextEntry(it, kChLiNodeType)) {
      uint32_t old, k;
      ChLiGenGetDataEntry(node, &old, &k, kChLiNodeType);
      if (k != kind) continue;
      ChLiGenSetDataEntry(v, node, value, kind, kChLiNodeType);
      DropValue(old, value);
      return;
    }
    SetSlotValue(slot, ChLiGenAppend(v, value, kind, kChLiNodeType));
    return;
  }
  uint16_t held = KindOfType(ChType(v), v);
  if (held == kind) {
    SetSlotValue(slot, value);
    DropValue(v, value);
    return;
  }
  ChHandle list = ChLiGenCreate(slot.chunk, kChLiNodeType);
  list = ChLiGenAppend(list, v, held, kChLiNodeType);
  list = ChLiGenAppend(list, value, kind, kChLiNodeType);
  SetSlotValue(slot, list);
}

bool RemoveKind(LgDbSlot slot, uint16_t kind) {
  ChHandle v = SlotValue(slot);
  if (!v) return false;
  if (!IsMulti(v)) {
    if (KindOfType(ChType(v), v) != kind) return false;
    ClearSlot(slot);
    LgDbDataDestroy(v);
    return true;
  }
  ChLiGenIter it = ChLiGenStart(v, kChLiNodeType);
  while (ChHandle node = ChLiGenNextEntry(it, kChLiNodeType)) {
    uint32_t old, k;
    ChLiGenGetDataEntry(node, &old, &k, kChLiNodeType);
    if (k != kind) continue;
    ChHandle list = ChLiGenDeleteEntry(v, node, kChLiNodeType);
    if (ChLiGenCount(list, kChLiNodeType) == 1) {
      uint32_t only;
      ChLiGenFirst(list, &only, nullptr, kChLiNodeType);
      ChLiGenDestroy(list, kChLiNodeType);
      list = only;
    }
    SetSlotValue(slot, list);
    LgDbDataDestroy(old);
    return true;
  }
  return false;
}

}  // namespace lgdb

using namespace lgdb;

// ---------------------------------------------------------------------------
// Field names.

ChHandle LgDbFieldIdGet(ChHandle file, St name) {
  return NmSpIdGet(DocNameSpace(ChPartOf(file)), name);
}

ChHandle LgDbFieldIdLookup(ChHandle file, const St& name) {
  ChHandle nmsp = DocRootEntry(ChPartOf(file), kDocNameSpaceIndex);
  return nmsp ? NmSpLookup(nmsp, name) : 0;
}

St LgDbFieldIdText(ChHandle id) { return NmSpIdText(id); }

ChHandle LgDbNameDup(ChHandle id, ChHandle near) {
  if (ChPartOf(id) == ChPartOf(near)) return id;
  return LgDbFieldIdGet(near, NmSpIdText(id));
}

// ---------------------------------------------------------------------------
// Records.

ChHandle LgDbRecCreate(ChHandle near) {
  ChHandle rec;
  ChUnlockMod(ChCreate(kLgDbRecType, kLgDbRecSize, near, &rec));
  return rec;
}

void LgDbRecClear(ChHandle rec) {
  const uint8_t* p = DerefRec(rec, "LgDbRecClear-- RecH");
  std::vector<ChHandle> values, chunks;
  for (ChHandle c = rec; c;) {
    if (c != rec) chunks.push_back(c);
    p = Deref(c);
    for (int i = 0; i < kLgDbSlots; ++i) {
      if (uint32_t v = Ld32(p + ValueOffset(i))) values.push_back(v);
    }
    c = Ld32(p + 4 * kWordNext);
  }
  {
    ChLocked c(rec);
    memset(c.Data() + 4 * kWordNext, 0, kLgDbRecSize - 4 * kWordNext);
    c.MarkModified();
  }
  for (ChHandle c : chunks) ChDestroy(c);
  for (ChHandle v : values) LgDbDataDestroy(v);
}

void LgDbRecDestroy(ChHandle rec) {
  LgDbRecClear(rec);
  ChDestroy(rec);
}

ChHandle LgDbRecGetList(ChHandle rec) {
  return Ld32(DerefRec(rec, "LgDbRecGetList-- RecH") + 4 * kWordList);
}

void LgDbRecSetList(ChHandle rec, ChHandle db) {
  (void)DerefRec(rec, "LgDbRecSetList-- RecH");
  ChLocked c(rec);
  St32(c.Data() + 4 * kWordList, db);
  c.MarkModified();
}

bool LgDbRecHasField(ChHandle rec, ChHandle field) {
  return bool(FindField(rec, field, "LgDbRecHasField-- RecH").slot);
}

LgDbSlot LgDbRecFieldLookup(ChHandle rec, ChHandle field) {
  return FindField(rec, field, "LgDbRecFieldLookup-- RecH").slot;
}

LgDbSlot LgDbRecFieldAdd(ChHandle rec, ChHandle field) {
  if (FindField(rec, field, "LgDbRecFieldAdd-- RecH").slot)
    MaAssertFailure("LgDbRecFieldAdd-- field already present");
  return FindOrAddField(rec, field, "LgDbRecFieldAdd");
}

bool LgDbRecFieldRemove(ChHandle rec, ChHandle field) {
  Found f = FindField(rec, field, "LgDbRecFieldRemove-- RecH");
  if (!f.slot) return false;
  ClearSlot(f.slot);
  if (f.value) LgDbDataDestroy(f.value);
  return true;
}

bool LgDbRecFieldRemoveKind(ChHandle rec, ChHandle field, uint16_t kind) {
  Found f = FindField(rec, field, "LgDbRecFieldRemoveKind-- RecH");
  return f.slot && RemoveKind(f.slot, kind);
}

ChHandle LgDbRecFieldGet(ChHandle rec, ChHandle field, uint16_t kind) {
  return ValueOfKind(FindField(rec, field, "LgDbRecFieldGet-- RecH").value, kind);
}

void LgDbRecFieldPut(ChHandle rec, ChHandle field, ChHandle value) {
  (void)DerefRec(rec, "LgDbRecFieldPut-- RecH");
  LgDbFieldPut(FindOrAddField(rec, field, "LgDbRecFieldPut"), value);
}

int32_t LgDbRecFieldCount(ChHandle rec) {
  int32_t n = 0;
  const uint8_t* p = DerefRec(rec, "LgDbRecFieldCount-- RecH");
  for (;;) {
    for (int i = 0; i < kLgDbSlots; ++i) n += Ld32(p + FieldOffset(i)) != 0;
    rec = Ld32(p + 4 * kWordNext);
    if (!rec) return n;
    p = Deref(rec);
  }
}

ChHandle LgDbSlotField(LgDbSlot slot) { return Ld32(Deref(slot.chunk) + FieldOffset(slot.index)); }
ChHandle LgDbSlotValue(LgDbSlot slot) { return SlotValue(slot); }
ChHandle LgDbFieldGet(LgDbSlot slot, uint16_t kind) { return ValueOfKind(SlotValue(slot), kind); }

void LgDbFieldPut(LgDbSlot slot, ChHandle value) {
  MA_CHECK(LgDbDebugFlag, slot && LgDbSlotField(slot) != 0, "LgDbFieldPut-- slot");
  uint16_t kind = KindOfType(ChType(value), value);
  MA_CHECK(LgDbDebugFlag, kind != kLgDbMultiKind, "LgDbFieldPut-- Value");
  if (LgDbDebugFlag && kind == kLgDbTextType && ChType(value) == kChLiNodeType) {
    uint32_t piece = 0;
    ChLiGenFirst(value, &piece, nullptr, kChLiNodeType);
    MA_CHECK(true, piece && ChType(piece) == kLgDbTextType, "LgDbRecFieldPut-- Text");
  }
  PutValue(slot, value, kind);
}

bool LgDbFieldRemoveKind(LgDbSlot slot, uint16_t kind) { return RemoveKind(slot, kind); }

uint16_t LgDbKindOf(ChHandle value) { return KindOfType(ChType(value), value); }

bool LgDbDataIsLegal(ChHandle h) { return ChLiChunkIsLive(h); }

bool LgDbRecIsLegal(ChHandle rec) {
  // A chain longer than a part's chunks can be is a cycle.
  for (uint32_t steps = 0; rec; ++steps) {
    if (steps > (1u << 24) || !ChLiChunkIsLive(rec) || ChType(rec) != kLgDbRecType ||
        ChSize(rec) != kLgDbRecSize)
      return false;
    const uint8_t* p = Deref(rec);
    uint32_t words[12];
    for (int w = 0; w < 12; ++w) words[w] = Ld32(p + 4 * w);
    for (int i = 0; i < kLgDbSlots; ++i) {
      uint32_t f = words[2 + 2 * i], v = words[3 + 2 * i];
      if (f && !NmSpIdIsLegal(f)) return false;
      if (v && (!f || !ChLiChunkIsLive(v))) return false;
    }
    rec = words[kWordNext];
  }
  return true;
}

// ---------------------------------------------------------------------------
// Walks.

LgDbRecIter LgDbRecStart(ChHandle rec) {
  LgDbRecIter it;
  it.chunk = rec;
  it.index = 0;
  it.done = rec == 0;
  return it;
}

bool LgDbRecNext(LgDbRecIter& it, ChHandle* field, ChHandle* value, LgDbSlot* slot) {
  while (!it.done) {
    if (!ChLiChunkIsLive(it.chunk) || ChType(it.chunk) != kLgDbRecType) break;
    const uint8_t* p = Deref(it.chunk);
    while (it.index < kLgDbSlots) {
      int i = it.index++;
      uint32_t f = Ld32(p + FieldOffset(i)), v = Ld32(p + ValueOffset(i));
      if (!f) continue;
      if (v && !ChLiChunkIsLive(v)) {
        it.done = true;
        return false;
      }
      if (field) *field = f;
      if (value) *value = v;
      if (slot) *slot = LgDbSlot{it.chunk, i};
      return true;
    }
    it.chunk = Ld32(p + 4 * kWordNext);
    it.index = 0;
    it.done = it.chunk == 0;
  }
  it.done = true;
  return false;
}

void LgDbRecStop(LgDbRecIter& it) {
  it.done = true;
  it.chunk = 0;
}

LgDbRecBtIter LgDbRecBtStart(ChHandle rec) {
  LgDbRecBtIter it;
  it.fields = LgDbRecStart(rec);
  return it;
}

bool LgDbRecBtNext(LgDbRecBtIter& it, ChHandle* field, ChHandle* tree, uint16_t* kind) {
  auto give = [&](ChHandle t, uint16_t k) {
    if (field) *field = it.field;
    if (tree) *tree = t;
    if (kind) *kind = k;
    return true;
  };
  for (;;) {
    if (it.inList) {
      uint32_t v, k;
      while (ChLiGenNext(it.list, &v, &k, kChLiNodeType)) {
        if (IsBtKind(uint16_t(k))) return give(v, uint16_t(k));
      }
      it.inList = false;
    }
    ChHandle value;
    if (!LgDbRecNext(it.fields, &it.field, &value, nullptr)) return false;
    if (!value) continue;
    if (IsMulti(value)) {
      it.list = ChLiGenStart(value, kChLiNodeType);
      it.inList = true;
      continue;
    }
    uint16_t k = KindOfType(ChType(value), value);
    if (IsBtKind(k)) return give(value, k);
  }
}

void LgDbRecBtStop(LgDbRecBtIter& it) {
  LgDbRecStop(it.fields);
  ChLiGenStop(it.list);
  it.inList = false;
}

// ---------------------------------------------------------------------------
// Copies.

ChHandle LgDbRecDup(ChHandle rec, ChHandle near) {
  (void)DerefRec(rec, "LgDbRecDup-- RecH");
  ChHandle copy = LgDbRecCreate(near);
  LgDbRecIter it = LgDbRecStart(rec);
  ChHandle field, value;
  while (LgDbRecNext(it, &field, &value, nullptr)) {
    LgDbSlot slot = FindOrAddField(copy, LgDbNameDup(field, copy), "LgDbRecDup");
    if (value) SetSlotValue(slot, LgDbFieldDup(value, slot.chunk));
  }
  return copy;
}

void LgDbRecCopyTo(ChHandle from, ChHandle to) {
  (void)DerefRec(from, "LgDbRecCopyTo-- RecH");
  (void)DerefRec(to, "LgDbRecCopyTo-- RecH");
  LgDbRecIter it = LgDbRecStart(from);
  ChHandle field, value;
  while (LgDbRecNext(it, &field, &value, nullptr)) {
    LgDbSlot slot = FindOrAddField(to, LgDbNameDup(field, to), "LgDbRecCopyTo");
    ForEachValue(value, [&](ChHandle v, uint16_t kind) {
      PutValue(slot, LgDbFieldDup(v, slot.chunk), kind);
    });
  }
}

}  // namespace quil
