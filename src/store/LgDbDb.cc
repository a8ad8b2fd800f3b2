// Record databases: a segment list of records by position with a head
// record, membership lists, and the sort index kept in the head.
#include <algorithm>
#include <unordered_set>

#include "Bt.h"
#include "LgDbInt.h"
#include "Sl.h"

namespace quil {

using namespace lgdb;

namespace {

constexpr uint16_t kDbCapacity = 8;
constexpr uint32_t kKey = 48;  // the part of a text a BtDb key keeps
const char kIndexField[] = "LgDbIndex";

void CheckDb(ChHandle db, const char* message) {
  MA_CHECK(LgDbDebugFlag, db && ChType(db) == kSlListType, message);
}

// The next position from `from` on that holds a record, and the record;
// kLgDbNoPos and 0 when none.
uint32_t NextFrom(ChHandle db, uint32_t from, ChHandle* rec) {
  *rec = 0;
  if (from >= SlGetLength(db)) return kLgDbNoPos;
  SlSegIter it = SlSegStart(db, from);
  uint32_t value, start;
  while (SlSegNext(it, &value, &start, nullptr)) {
    if (!value) continue;
    *rec = value;
    return std::max(start, from);
  }
  return kLgDbNoPos;
}

// The first 48 bytes of a key, as a BtDb compares them.
bool SameKey(const St& a, const St& b) {
  int32_t la = std::min<int32_t>(a.Length(), kKey), lb = std::min<int32_t>(b.Length(), kKey);
  return la == lb && StArrayEqual(a.Bytes(), b.Bytes(), la, StASCIIUpper);
}

St SortText(ChHandle rec, ChHandle field) {
  St text = LgDbRecGetText(rec, field);
  return text.IsNil() ? StCreate() : text;
}

// The index position and word of rec's entry: among the entries with the
// key of its current text, else anywhere in the index.
bool FindEntry(ChHandle index, ChHandle rec, uint32_t* position, uint32_t* word) {
  St key = SortText(rec, BtDbAppHnd2(index));
  uint32_t pos;
  if (BtDbLookupFirstIx(index, key, &pos)) {
    St k;
    ChHandle h;
    uint32_t w;
    for (; BtDbIndex(index, pos, &k, &h, &w) && SameKey(k, key); ++pos) {
      if (h == rec) {
        *position = pos;
        *word = w;
        return true;
      }
    }
  }
  ChHandle h;
  uint32_t w;
  for (pos = 0; BtDbIndex(index, pos, nullptr, &h, &w); ++pos) {
    if (h == rec) {
      *position = pos;
      *word = w;
      return true;
    }
  }
  return false;
}

// The first record in index order whose whole sort text equals text under
// table.
ChHandle TextMatch(ChHandle db, const St& text, StTable table) {
  ChHandle index = LgDbIndex(db);
  uint32_t ix;
  if (!index || !LgDbLookupSorted(db, text, &ix)) return 0;
  ChHandle field = BtDbAppHnd2(index);
  St k;
  ChHandle h;
  for (; BtDbIndex(index, ix, &k, &h, nullptr) && SameKey(k, text); ++ix) {
    if (StCompare(SortText(h, field), text, table) == kStEqual) return h;
  }
  return 0;
}

}  // namespace

ChHandle lgdb::IndexFieldId(ChHandle db, bool create) {
  return create ? LgDbFieldIdGet(db, StCStrXfm(kIndexField))
                : LgDbFieldIdLookup(db, StCStrXfm(kIndexField));
}

// ---------------------------------------------------------------------------
// Databases by position.

ChHandle LgDbCreate(ChHandle near) {
  ChHandle head = LgDbRecCreate(near);
  ChHandle db = SlCreate(kSlNoBackPointer, 0, head, near, kDbCapacity, kSlHandleLeaf);
  LgDbRecSetList(head, db);
  return db;
}

void LgDbDestroy(ChHandle db) {
  CheckDb(db, "LgDbDestroy-- DbH");
  std::unordered_set<ChHandle> owned;
  SlSegIter it = SlSegStart(db, 0);
  uint32_t rec;
  while (SlSegNext(it, &rec, nullptr, nullptr)) {
    if (rec && LgDbRecGetList(rec) == db) owned.insert(rec);
  }
  ChHandle head = SlGetAppData(db);
  if (head && LgDbRecGetList(head) == db) owned.insert(head);
  SlDestroy(db);
  for (ChHandle r : owned) LgDbRecDestroy(r);
}

ChHandle LgDbGetHead(ChHandle db) {
  CheckDb(db, "LgDbGetHead-- DbH");
  return SlGetAppData(db);
}

uint32_t LgDbLength(ChHandle db) { return SlGetLength(db); }
uint32_t LgDbCount(ChHandle db) { return SlGetApproxCount(db); }

ChHandle LgDbRecPut(ChHandle db, ChHandle rec, uint32_t position) {
  CheckDb(db, "LgDbRecPut-- DbH");
  MA_CHECK(LgDbDebugFlag, position != kLgDbNoPos, "LgDbRecPut-- position");
  ChHandle old = SlGetInterval(db, position, nullptr, nullptr);
  if (old == rec || (!rec && position >= SlGetLength(db))) return old;
  SlReplaceSeg(db, rec, position, 1, 1);
  if (old && LgDbRecGetList(old) == db) LgDbRecSetList(old, 0);
  if (rec) LgDbRecSetList(rec, db);
  return old;
}

ChHandle LgDbRecGet(ChHandle db, uint32_t position) {
  return SlGetInterval(db, position, nullptr, nullptr);
}

uint32_t LgDbRecInsert(ChHandle db, ChHandle rec, uint32_t position) {
  CheckDb(db, "LgDbRecInsert-- DbH");
  MA_CHECK(LgDbDebugFlag, rec && ChType(rec) == kLgDbRecType, "LgDbRecInsert-- RecH");
  if (position == kLgDbNoPos) position = SlGetLength(db);
  SlAddSeg(db, rec, position, 1);
  LgDbRecSetList(rec, db);
  return position;
}

ChHandle LgDbRecRemove(ChHandle db, uint32_t position) {
  CheckDb(db, "LgDbRecRemove-- DbH");
  if (position >= SlGetLength(db)) return 0;
  ChHandle rec = SlGetInterval(db, position, nullptr, nullptr);
  SlSubtract(db, position, 1);
  if (rec && LgDbRecGetList(rec) == db) LgDbRecSetList(rec, 0);
  return rec;
}

bool LgDbRecLookup(ChHandle db, ChHandle rec, uint32_t* position) {
  SlSegIter it = SlSegStart(db, 0);
  uint32_t value, start;
  while (SlSegNext(it, &value, &start, nullptr)) {
    if (value == rec && rec) {
      *position = start;
      return true;
    }
  }
  return false;
}

uint32_t LgDbNext(ChHandle db, uint32_t position) {
  ChHandle rec;
  return NextFrom(db, position == kLgDbNoPos ? 0 : position + 1, &rec);
}

ChHandle LgDbGetNextRec(ChHandle db, uint32_t* position) {
  ChHandle rec;
  *position = NextFrom(db, *position == kLgDbNoPos ? 0 : *position + 1, &rec);
  return rec;
}

// ---------------------------------------------------------------------------
// Membership lists.

void LgDbRecAddToList(ChHandle db, ChHandle rec) {
  CheckDb(db, "LgDbRecAddToList-- DbH");
  if (LgDbRecIsInList(db, rec)) MaAssertFailure("LgDbRecAddToList--DbH already in list");
  SlAddSeg(db, rec, SlGetLength(db), 1);
}

bool LgDbRecRemoveFromList(ChHandle db, ChHandle rec) {
  uint32_t position;
  if (!LgDbRecLookup(db, rec, &position)) return false;
  SlSubtract(db, position, 1);
  return true;
}

bool LgDbRecIsInList(ChHandle db, ChHandle rec) {
  uint32_t position;
  return LgDbRecLookup(db, rec, &position);
}

// ---------------------------------------------------------------------------
// Sorted databases.

ChHandle LgDbIndex(ChHandle db) {
  ChHandle field = IndexFieldId(db, false);
  return field ? LgDbRecGetBt(LgDbGetHead(db), field) : 0;
}

bool LgDbIsSorted(ChHandle db) { return LgDbIndex(db) != 0; }

ChHandle LgDbSortField(ChHandle db) {
  ChHandle index = LgDbIndex(db);
  return index ? BtDbAppHnd2(index) : 0;
}

bool LgDbRecInsertSorted(ChHandle db, ChHandle rec, ChHandle field, uint32_t word) {
  CheckDb(db, "LgDbRecInsertSorted-- DbH");
  ChHandle index = LgDbIndex(db);
  if (!index) {
    ChHandle head = LgDbGetHead(db);
    index = BtDbCreate(head);
    BtDbSetAppHnd(index, db);
    BtDbSetAppHnd2(index, field);
    LgDbRecPutBt(head, IndexFieldId(db, true), index);
  }
  if (BtDbAppHnd2(index) != field) MaAssertFailure("LgDbRecInsertSorted-- sort field");
  return BtDbInsert(index, SortText(rec, field), rec, word);
}

bool LgDbRecRemoveSorted(ChHandle db, ChHandle rec) {
  ChHandle index = LgDbIndex(db);
  uint32_t position, word;
  if (!index || !FindEntry(index, rec, &position, &word)) return false;
  St key;
  BtDbIndex(index, position, &key, nullptr, nullptr);
  return BtDbRemove(index, std::move(key), rec, word);
}

bool LgDbLookupSorted(ChHandle db, const St& text, uint32_t* ix) {
  ChHandle index = LgDbIndex(db);
  *ix = 0;
  if (!index) return false;
  // The iteration from text on starts at the first entry not before it.
  BtDbIter it;
  BtDbStartFirst(it, index, 0, text, true);
  *ix = BtDbCount(index) - BtDbIterMaxCount(it);
  BtDbStop(it);
  St key;
  return BtDbIndex(index, *ix, &key, nullptr, nullptr) && SameKey(key, text);
}

ChHandle LgDbPrefixLookup(ChHandle db, const St& prefix, uint32_t* ix) {
  ChHandle index = LgDbIndex(db);
  uint32_t pos;
  if (!index || !BtDbLookupFirstIx(index, prefix, &pos)) return 0;
  if (ix) *ix = pos;
  return BtDbGetRec(index, pos);
}

ChHandle LgDbTextLookup(ChHandle db, const St& text) { return TextMatch(db, text, StASCIIUpper); }

ChHandle LgDbTextFind(ChHandle db, const St& text) { return TextMatch(db, text, StLiteral); }

bool LgDbRecGetSortIx(ChHandle db, ChHandle rec, uint32_t* ix) {
  ChHandle index = LgDbIndex(db);
  uint32_t word;
  return index && FindEntry(index, rec, ix, &word);
}

uint32_t LgDbSortedCount(ChHandle db) {
  ChHandle index = LgDbIndex(db);
  return index ? BtDbCount(index) : 0;
}

ChHandle LgDbSortedGet(ChHandle db, uint32_t ix) {
  ChHandle index = LgDbIndex(db);
  return index ? BtDbGetRec(index, ix) : 0;
}

}  // namespace quil
