// LgDbInt: the record database's shared internals.  Only LgDb*.cc include
// this.  Layouts are in LgDb.h.
#pragma once

#include <cstdint>
#include <string>

#include "ChInt.h"
#include "LgDb.h"

namespace quil {
namespace lgdb {

// Record chunk words (LgDb.h).
constexpr uint32_t kWordList = 0;
constexpr uint32_t kWordNext = 1;
inline uint32_t FieldOffset(int slot) { return 4 * (2 + 2 * uint32_t(slot)); }
inline uint32_t ValueOffset(int slot) { return 4 * (3 + 2 * uint32_t(slot)); }

// The chunk type of data returned by ChDeref / ChLock, read from the block
// header in front of it (ChInt.h), so that one resolve gives both.
inline uint16_t TypeOfData(const void* data) {
  return BlkGet(static_cast<const uint8_t*>(data) - kBlkData, 0, kBlkType);
}

inline const uint8_t* Deref(ChHandle h) { return static_cast<const uint8_t*>(ChDeref(h)); }

// Halts with message unless h is a record chunk (while LgDbDebugFlag).
inline const uint8_t* DerefRec(ChHandle h, const char* message) {
  const uint8_t* p = Deref(h);
  MA_CHECK(LgDbDebugFlag, TypeOfData(p) == kLgDbRecType, message);
  return p;
}

// A field found in a record: its slot and its value handle.
struct Found {
  LgDbSlot slot;
  ChHandle value = 0;
};

// Walks rec's chain for field.  message is the halt text of a handle that
// is not a record.
Found FindField(ChHandle rec, ChHandle field, const char* message);
// The slot of field, added when missing (fn names the caller in halts).
LgDbSlot FindOrAddField(ChHandle rec, ChHandle field, const char* fn);
ChHandle SlotValue(LgDbSlot slot);
void SetSlotValue(LgDbSlot slot, ChHandle value);

// The kind of a chunk type (text and picture forms merged); for a chunk
// list h decides between a chunk string and a list of values.
uint16_t KindOfType(uint16_t type, ChHandle h);
bool IsBtKind(uint16_t kind);
// True for a slot value that is a list of values of several kinds.
bool IsMulti(ChHandle value);
// The value of kind in a slot value (itself, or its list element); 0 when
// missing.
ChHandle ValueOfKind(ChHandle value, uint16_t kind);
// Stores value (of kind) in a slot that holds a field, replacing and
// destroying the value of the same kind.
void PutValue(LgDbSlot slot, ChHandle value, uint16_t kind);
// Removes the value of kind from a slot; the field goes with its last
// value.  False when there is none.
bool RemoveKind(LgDbSlot slot, uint16_t kind);
// Calls fn(value, kind) for each value of a slot value.
template <class Fn>
void ForEachValue(ChHandle value, Fn&& fn) {
  if (!value) return;
  if (!IsMulti(value)) {
    fn(value, KindOfType(ChType(value), value));
    return;
  }
  ChLiGenIter it = ChLiGenStart(value, kChLiNodeType);
  uint32_t v, kind;
  while (ChLiGenNext(it, &v, &kind, kChLiNodeType)) fn(v, uint16_t(kind));
}

// The text of a single type-10 chunk without copying: its bytes and length.
// False for the other text forms.
bool TextView(ChHandle h, const uint8_t** bytes, int32_t* length);

// The id of the head-record field that holds a database's index; with
// create it is interned when new, otherwise 0 when it is not.
ChHandle IndexFieldId(ChHandle db, bool create);

}  // namespace lgdb
}  // namespace quil
