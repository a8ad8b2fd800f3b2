// LgDb: records with named, typed fields, and record databases.
//
// A record is an open-ended set of fields, each named by a field
// identifier (the handle of the field name's name chunk in the file's name
// space, NmSp.h) and holding values of one or more types.  A record lives
// in a chain of 48-byte record chunks of five slots each; a field occurs at
// most once per record, a new field takes the first empty slot of the
// chain, and a chain with no empty slot grows by one chunk at its end.
//
// RECORD CHUNK (type 614, 48 bytes, twelve 32-bit words)
//
//   WORD        MEANING
//   0           the database the record belongs to (handle), 0 for none
//               (LgDbRecSetList / LgDbRecGetList)
//   1           the next record chunk of the record (handle), 0 at the end
//   2, 4 .. 10  field identifier of slots 0 .. 4 (handle), 0: empty slot
//   3, 5 .. 11  value handle of slots 0 .. 4
//
// Values: a slot holds one value chunk, whose chunk type is the value's
// type, or, when the field carries values of more than one type, a chunk
// list (node type 40, ChLi.h) with one value per type: each node holds the
// value chunk and, as its second datum, the value's kind (below), which is
// never 0 (a chunk string list has 0 there, so the two never mix).  A
// reader for a type takes the value of its kind, or reports it missing; a
// writer replaces the value of its kind (in place for fixed-size values),
// turning a single value of another kind into a list of both, and a list
// left with one value becomes that value again.
//
// Value kinds, chunk types and layouts (integers are 32-bit words and are
// converted by the chunk templates; "handle" words are translated):
//
//   KIND  TYPE       VALUE              LAYOUT
//   621   621        integer            0 the value
//   10    10, list   text               a chunk string (ChSt.h), one chunk
//         or 619                        or a list of pieces; 4,072 bytes or
//                                       more: a text buffer chain (619)
//   617   617        date and time      0 date YYYYMMDD, 4 time HHMMSS
//   614   614        record             the record itself: a reference,
//                                       never copied or destroyed with the
//                                       record that refers to it
//   410   410        interval list      a segment list, IvSl (Sl.h)
//   623   623        subscription       0 word, 4 word, 8 and 12: 0 or a
//                                       chunk list (node 40) of chunk
//                                       strings, owned
//   624   624        access perms       0: a chunk list (node 40) of
//                                       (principal, mask) entries; the
//                                       nodes are owned, the principals not
//   625   625        user posts         0, 4: 0 or a chunk list (node 40),
//                                       nodes owned, data not; 8, 12 words;
//                                       16: 240 words (976 bytes)
//   626   626        string B-tree      BtDb header (Bt.h), owned with its
//   628   628        integer B-trees    nodes: BtiDb, Bti1Db, BtihDb; the
//   634   634                           chunks their entries name are not
//   636   636
//   631   631        message B-tree     BtmDb header
//   542   542 / 544  picture            below
//   72    72         colour entry       0 index, 4 red, 8 green, 12 blue
//   422   422        further record     0 count n (at most 508), then n
//                    kind (Sr)          pairs: 4 + 8i a handle (a
//                                       reference), 8 + 8i a word
//
// TEXT BUFFER (type 619): a chain of chunks holding one text
//
//   OFFSET  SIZE  MEANING
//   0       4     first chunk: the whole text's length; others: 0
//   4       8     0
//   12      4     n, the bytes in this chunk (at most 4,048)
//   16      4     the next chunk of the chain (handle), 0 in the last
//   20      4     0 (handle)
//   24      n     the bytes
//
// PICTURE: a small picture (at most 4,056 bytes of data) is one chunk of
// type 544; a larger one a head (542) and a chain of data chunks (543).
//
//   544: 0 width, 4 height, 8 format, 12 n bytes, 16 the bytes
//   542: 0 width, 4 height, 8 format, 12 n bytes, 16 the first data chunk
//   543: 0 the next data chunk (handle, 0 in the last), 4 bytes here m (at
//        most 4,064), 8 the bytes
//
// Record databases (LgDb): a segment list (Sl.h, capacity 8, handle values)
// from positions to records, whose application data is the database's
// head record.  Positions are sparse (a database may hold records at
// 250,000,000 and up) and a record put at a position belongs to the
// database (its word 0 names it).  A database may also keep a sort index:
// a BtDb (Bt.h) from the text of one field of its records (the sort field,
// kept as the tree's second application handle) to the record, with a
// word the caller chooses (the "forum" of LgDbSelect); the tree hangs in
// the head record's field "LgDbIndex".  Inserting in the index does not
// place the record at a position, nor the reverse.
//
// Strings: functions that take St by value consume it; strings returned
// are new and owned by the caller.
//
// Errors: handles of the wrong chunk type halt while LgDbDebugFlag is set,
// with the function's name and the argument ("LgDbRecPutInt-- RecH",
// "LgDbRecFieldPut-- RecH", "LgDbRecFieldPut-- Text", "LgDbRecPutRec--
// Value").  Readers never fail on a missing field: integer and other
// struct readers return false, text readers nil, handle readers 0.  The
// chunk store's raises (a full file, no cache page) pass through.
//
// Damaged data: the hot readers trust the record chain.  The field walk
// (LgDbRecStart / LgDbRecNext), LgDbRecIsLegal and LgDbDataIsLegal check
// every handle without halting and treat a damaged one as missing, so that
// a walk stops at a broken chain.
//
// Threads: every call runs on the thread that holds the run lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Ch.h"
#include "ChLi.h"
#include "Li.h"
#include "St.h"
#include "Td.h"

namespace quil {

constexpr uint16_t kLgDbRecType = 614;
constexpr uint16_t kLgDbIntType = 621;
constexpr uint16_t kLgDbTextType = 10;
constexpr uint16_t kLgDbTextBufType = 619;
constexpr uint16_t kLgDbTdType = 617;
constexpr uint16_t kLgDbIvSlType = 410;
constexpr uint16_t kLgDbSubscrType = 623;
constexpr uint16_t kLgDbAccPermType = 624;
constexpr uint16_t kLgDbUserPostsType = 625;
constexpr uint16_t kLgDbBtType = 626;
constexpr uint16_t kLgDbBtiType = 628;
constexpr uint16_t kLgDbBti1Type = 634;
constexpr uint16_t kLgDbBtihType = 636;
constexpr uint16_t kLgDbBtmType = 631;
constexpr uint16_t kLgDbPictType = 542;
constexpr uint16_t kLgDbPictDataType = 543;
constexpr uint16_t kLgDbPictSmallType = 544;
constexpr uint16_t kLgDbColType = 72;
constexpr uint16_t kLgDbSrType = 422;
// The kind of a slot value that is a list of values of several kinds.
constexpr uint16_t kLgDbMultiKind = 40;

constexpr int kLgDbSlots = 5;
constexpr uint32_t kLgDbRecSize = 48;
// Text of this many bytes or more is kept in a text buffer.
constexpr uint32_t kLgDbTextBufMin = 4072;
constexpr uint32_t kLgDbTextBufPiece = 4048;
constexpr uint32_t kLgDbPictSmallMax = 4056;
constexpr uint32_t kLgDbPictPiece = 4064;
constexpr uint32_t kLgDbSrMax = 508;
constexpr int kLgDbUserPostsWords = 240;
// "No position" in the positional calls of databases.
constexpr uint32_t kLgDbNoPos = 0xFFFFFFFFu;

extern bool LgDbDebugFlag;

// ---------------------------------------------------------------------------
// Values of the fixed-size kinds.

// Date and time: date YYYYMMDD, time HHMMSS (local calendar).
struct LgDbTd {
  int32_t date = 0;
  int32_t time = 0;
  bool operator==(const LgDbTd&) const = default;
};
LgDbTd LgDbTdFromTd(const Td& t);
Td LgDbTdToTd(const LgDbTd& t);
LgDbTd LgDbTdNow();
// kStBefore, kStEqual or kStAfter, by date and then time.
int LgDbTdCompare(const LgDbTd& a, const LgDbTd& b);

struct LgDbCol {
  int32_t index = 0, red = 0, green = 0, blue = 0;
  bool operator==(const LgDbCol&) const = default;
};

struct LgDbSubscr {
  uint32_t word1 = 0, word2 = 0;
  ChHandle list1 = 0, list2 = 0;  // 0 or chunk lists of chunk strings
  bool operator==(const LgDbSubscr&) const = default;
};

struct LgDbUserPosts {
  ChHandle list1 = 0, list2 = 0;  // 0 or chunk lists (node 40)
  uint32_t word1 = 0, word2 = 0;
  uint32_t counts[kLgDbUserPostsWords] = {};
  bool operator==(const LgDbUserPosts&) const = default;
};

struct LgDbSrEntry {
  ChHandle handle = 0;
  uint32_t word = 0;
  bool operator==(const LgDbSrEntry&) const = default;
};

struct LgDbPicture {
  int32_t width = 0, height = 0, format = 0;
  St data;
};

// ---------------------------------------------------------------------------
// Field names.

// The identifier of name in the name space of file's part (any handle of
// the file, or its part's near handle), added when new.  REQUIRES: name
// not nil, at most 3,000 bytes ("NmSpAddName-- Name is too long").
ChHandle LgDbFieldIdGet(ChHandle file, St name);
// The identifier of name when it is interned already, 0 otherwise.
ChHandle LgDbFieldIdLookup(ChHandle file, const St& name);
// The name of an identifier.
St LgDbFieldIdText(ChHandle id);
// The identifier of the same name in near's file (id itself when that is
// id's file).
ChHandle LgDbNameDup(ChHandle id, ChHandle near);

// ---------------------------------------------------------------------------
// Records.

// A new record: one chunk, all words 0.
ChHandle LgDbRecCreate(ChHandle near);
// Destroys every value by its kind (B-trees with their nodes, strings,
// lists ...; records referred to are left alone), then the chain.  The
// record is not taken out of any database.
void LgDbRecDestroy(ChHandle rec);
// Destroys every value and the chunks after the first; the record keeps
// its database word.
void LgDbRecClear(ChHandle rec);
// A new record near near with copies of every field of rec (names
// translated when near is in another file); its database word is 0.
ChHandle LgDbRecDup(ChHandle rec, ChHandle near);
// Writes every field of from into to, replacing the values of the same
// kinds; other fields and values of to stay.
void LgDbRecCopyTo(ChHandle from, ChHandle to);
// True when rec is a chain of live record chunks whose identifiers and
// values are live chunks.  Never halts.
bool LgDbRecIsLegal(ChHandle rec);
ChHandle LgDbRecGetList(ChHandle rec);
void LgDbRecSetList(ChHandle rec, ChHandle db);

// A value slot: a record chunk and a slot number 0-4.  Null when chunk is 0.
struct LgDbSlot {
  ChHandle chunk = 0;
  int index = 0;
  explicit operator bool() const { return chunk != 0; }
};

bool LgDbRecHasField(ChHandle rec, ChHandle field);
// The slot of a field; null when the record lacks it.
LgDbSlot LgDbRecFieldLookup(ChHandle rec, ChHandle field);
// Adds an empty field and returns its slot.  Halts with "LgDbRecFieldAdd--
// field already present" when the record has it.
LgDbSlot LgDbRecFieldAdd(ChHandle rec, ChHandle field);
// Removes a field with all its values; false when the record lacks it.
bool LgDbRecFieldRemove(ChHandle rec, ChHandle field);
// Removes the value of one kind (the field goes when it was its last);
// false when there is none.
bool LgDbRecFieldRemoveKind(ChHandle rec, ChHandle field, uint16_t kind);
// The value chunk of a kind in a field, 0 when missing.
ChHandle LgDbRecFieldGet(ChHandle rec, ChHandle field, uint16_t kind);
// Stores a value chunk by its kind, creating the field when missing; the
// value of that kind held before is destroyed (a record value is only
// dropped).  The record owns value from now on.
void LgDbRecFieldPut(ChHandle rec, ChHandle field, ChHandle value);
// Number of fields.
int32_t LgDbRecFieldCount(ChHandle rec);

// Slot forms of the four calls above.  REQUIRES: the slot holds a field.
ChHandle LgDbSlotField(LgDbSlot slot);
// The slot's value handle (a value chunk or a list of values), 0 if empty.
ChHandle LgDbSlotValue(LgDbSlot slot);
ChHandle LgDbFieldGet(LgDbSlot slot, uint16_t kind);
void LgDbFieldPut(LgDbSlot slot, ChHandle value);
bool LgDbFieldRemoveKind(LgDbSlot slot, uint16_t kind);

// The kind of a value handle (see the table; kLgDbMultiKind for a list of
// values).
uint16_t LgDbKindOf(ChHandle value);
// Destroys a slot value by its kind (every value of a list, and the list).
void LgDbDataDestroy(ChHandle value);
// A copy of a slot value near near (records referred to are not copied).
ChHandle LgDbFieldDup(ChHandle value, ChHandle near);
// True when h names a live chunk.  Never halts.
bool LgDbDataIsLegal(ChHandle h);

// Walk over the fields of a record, in slot order.  Stops at a damaged
// chunk or handle.
struct LgDbRecIter {
  ChHandle chunk = 0;
  int index = 0;
  bool done = true;
};
LgDbRecIter LgDbRecStart(ChHandle rec);
// The next field: its identifier, value handle and slot (outputs may be
// null); false after the last.
bool LgDbRecNext(LgDbRecIter& it, ChHandle* field, ChHandle* value, LgDbSlot* slot);
void LgDbRecStop(LgDbRecIter& it);

// Walk over the B-tree values of a record (kinds 626, 628, 631, 634, 636),
// single or in lists.
struct LgDbRecBtIter {
  LgDbRecIter fields;
  ChHandle field = 0;
  ChLiGenIter list;
  bool inList = false;
};
LgDbRecBtIter LgDbRecBtStart(ChHandle rec);
// The next B-tree: the field, the tree and its kind (outputs may be null).
bool LgDbRecBtNext(LgDbRecBtIter& it, ChHandle* field, ChHandle* tree, uint16_t* kind);
void LgDbRecBtStop(LgDbRecBtIter& it);

// ---------------------------------------------------------------------------
// Typed field access.  The Rec forms find the field of a record (the Put
// forms create it when missing); the Field forms work on a value slot.
// Get forms report a missing value: false, nil or 0.

void LgDbRecPutInt(ChHandle rec, ChHandle field, int32_t value);
bool LgDbRecGetInt(ChHandle rec, ChHandle field, int32_t* value);
// Adds delta to the stored integer (0 when missing); returns the new value.
int32_t LgDbRecPlusInt(ChHandle rec, ChHandle field, int32_t delta);
void LgDbFieldPutInt(LgDbSlot slot, int32_t value);
bool LgDbFieldGetInt(LgDbSlot slot, int32_t* value);
// The integer value chunk of a field (0 when missing), and its value,
// increment (returns the new value) and setter.
ChHandle LgDbIntHnd(ChHandle rec, ChHandle field);
int32_t LgDbIntHndValue(ChHandle h);
int32_t LgDbIntHndInc(ChHandle h);
void LgDbIntHndSet(ChHandle h, int32_t value);

// Text.  A nil text is stored as the empty text.
void LgDbRecPutText(ChHandle rec, ChHandle field, St text);
St LgDbRecGetText(ChHandle rec, ChHandle field);
bool LgDbRecHasText(ChHandle rec, ChHandle field);
// The text value chunk (a chunk string or a text buffer), 0 when missing.
ChHandle LgDbRecGetTextBuf(ChHandle rec, ChHandle field);
// The text in its stored pieces, in order (empty when missing).
Li<St> LgDbRecGetTextLi(ChHandle rec, ChHandle field);
// Stores the name of identifier id as the field's text.
void LgDbRecPutTextId(ChHandle rec, ChHandle field, ChHandle id);
// The field's text interned in the file's name space (added when new); 0
// when the field has no text or one longer than a name may be (3,000).
ChHandle LgDbRecGetTextId(ChHandle rec, ChHandle field);
void LgDbFieldPutText(LgDbSlot slot, St text);
St LgDbFieldGetText(LgDbSlot slot);
// Text to a new value chunk near near: a chunk string, or for 4,072 bytes
// or more a text buffer.
ChHandle LgDbTextToHnd(const St& text, ChHandle near);
// The text of a text value chunk; nil for 0.
St LgDbHndToText(ChHandle h);
uint32_t LgDbTextHndLength(ChHandle h);

void LgDbRecPutTd(ChHandle rec, ChHandle field, LgDbTd value);
bool LgDbRecGetTd(ChHandle rec, ChHandle field, LgDbTd* value);
void LgDbFieldPutTd(LgDbSlot slot, LgDbTd value);
bool LgDbFieldGetTd(LgDbSlot slot, LgDbTd* value);

// Interval lists: the list (IvSlCreate) passes to the record.
void LgDbRecPutIvSl(ChHandle rec, ChHandle field, ChHandle ivsl);
ChHandle LgDbRecGetIvSl(ChHandle rec, ChHandle field);
void LgDbFieldPutIvSl(LgDbSlot slot, ChHandle ivsl);
ChHandle LgDbFieldGetIvSl(LgDbSlot slot);

// Record references.  REQUIRES: value is a record ("LgDbRecPutRec-- Value").
void LgDbRecPutRec(ChHandle rec, ChHandle field, ChHandle value);
ChHandle LgDbRecGetRec(ChHandle rec, ChHandle field);
void LgDbFieldPutRec(LgDbSlot slot, ChHandle value);
ChHandle LgDbFieldGetRec(LgDbSlot slot);

// Further record kind: at most 508 entries ("LgDbRecPutSr-- too many").
void LgDbRecPutSr(ChHandle rec, ChHandle field, const std::vector<LgDbSrEntry>& entries);
bool LgDbRecGetSr(ChHandle rec, ChHandle field, std::vector<LgDbSrEntry>* entries);
void LgDbFieldPutSr(LgDbSlot slot, const std::vector<LgDbSrEntry>& entries);
bool LgDbFieldGetSr(LgDbSlot slot, std::vector<LgDbSrEntry>* entries);

void LgDbRecPutCol(ChHandle rec, ChHandle field, const LgDbCol& value);
bool LgDbRecGetCol(ChHandle rec, ChHandle field, LgDbCol* value);
void LgDbFieldPutCol(LgDbSlot slot, const LgDbCol& value);
bool LgDbFieldGetCol(LgDbSlot slot, LgDbCol* value);

// Subscriptions, access permissions and user posts are changed in place:
// the lists they name are the caller's to keep up (a list replaced by
// another is not destroyed here); they are destroyed with the value.
void LgDbRecPutSubscr(ChHandle rec, ChHandle field, const LgDbSubscr& value);
bool LgDbRecGetSubscr(ChHandle rec, ChHandle field, LgDbSubscr* value);
void LgDbFieldPutSubscr(LgDbSlot slot, const LgDbSubscr& value);
bool LgDbFieldGetSubscr(LgDbSlot slot, LgDbSubscr* value);

void LgDbRecPutAccPerm(ChHandle rec, ChHandle field, ChHandle list);
bool LgDbRecGetAccPerm(ChHandle rec, ChHandle field, ChHandle* list);
void LgDbFieldPutAccPerm(LgDbSlot slot, ChHandle list);
bool LgDbFieldGetAccPerm(LgDbSlot slot, ChHandle* list);

void LgDbRecPutUserPosts(ChHandle rec, ChHandle field, const LgDbUserPosts& value);
bool LgDbRecGetUserPosts(ChHandle rec, ChHandle field, LgDbUserPosts* value);
void LgDbFieldPutUserPosts(LgDbSlot slot, const LgDbUserPosts& value);
bool LgDbFieldGetUserPosts(LgDbSlot slot, LgDbUserPosts* value);

// B-trees: the tree (a header of the kind, "LgDbRecPutBt-- Value" and so
// on otherwise) passes to the record.
void LgDbRecPutBt(ChHandle rec, ChHandle field, ChHandle tree);
ChHandle LgDbRecGetBt(ChHandle rec, ChHandle field);
void LgDbFieldPutBt(LgDbSlot slot, ChHandle tree);
ChHandle LgDbFieldGetBt(LgDbSlot slot);
void LgDbRecPutBtm(ChHandle rec, ChHandle field, ChHandle tree);
ChHandle LgDbRecGetBtm(ChHandle rec, ChHandle field);
void LgDbFieldPutBtm(LgDbSlot slot, ChHandle tree);
ChHandle LgDbFieldGetBtm(LgDbSlot slot);
void LgDbRecPutBti(ChHandle rec, ChHandle field, ChHandle tree);
ChHandle LgDbRecGetBti(ChHandle rec, ChHandle field);
void LgDbFieldPutBti(LgDbSlot slot, ChHandle tree);
ChHandle LgDbFieldGetBti(LgDbSlot slot);
void LgDbRecPutBti1(ChHandle rec, ChHandle field, ChHandle tree);
ChHandle LgDbRecGetBti1(ChHandle rec, ChHandle field);
void LgDbFieldPutBti1(LgDbSlot slot, ChHandle tree);
ChHandle LgDbFieldGetBti1(LgDbSlot slot);
void LgDbRecPutBtih(ChHandle rec, ChHandle field, ChHandle tree);
ChHandle LgDbRecGetBtih(ChHandle rec, ChHandle field);
void LgDbFieldPutBtih(LgDbSlot slot, ChHandle tree);
ChHandle LgDbFieldGetBtih(LgDbSlot slot);

void LgDbRecPutPicture(ChHandle rec, ChHandle field, const LgDbPicture& value);
bool LgDbRecGetPicture(ChHandle rec, ChHandle field, LgDbPicture* value);
void LgDbFieldPutPicture(LgDbSlot slot, const LgDbPicture& value);
bool LgDbFieldGetPicture(LgDbSlot slot, LgDbPicture* value);

// ---------------------------------------------------------------------------
// Record databases.

// Creates the list and its head record near near, linked both ways.
ChHandle LgDbCreate(ChHandle near);
// Destroys the records that belong to the database (word 0 names it: the
// head and the records put at its positions), then the list.  Records
// that are only listed (LgDbRecAddToList) are left alone.
void LgDbDestroy(ChHandle db);
ChHandle LgDbGetHead(ChHandle db);
// One past the last position in use.
uint32_t LgDbLength(ChHandle db);
// Number of records held.
uint32_t LgDbCount(ChHandle db);

// Puts rec at position (replacing what is there; a gap up to position is
// made when it lies past the end); rec 0 clears the position.  The record
// then belongs to the database; a record replaced or cleared that belonged
// to it no longer does.  Returns the record that was there, 0 for none.
ChHandle LgDbRecPut(ChHandle db, ChHandle rec, uint32_t position);
// The record at position, 0 for none.
ChHandle LgDbRecGet(ChHandle db, uint32_t position);
// Inserts rec at position, moving later positions up by one; kLgDbNoPos
// appends at the end.  Returns the position.  The record belongs to the
// database.
uint32_t LgDbRecInsert(ChHandle db, ChHandle rec, uint32_t position);
// Takes the record at position out, moving later positions down by one;
// returns it (0 when the position held none).
ChHandle LgDbRecRemove(ChHandle db, uint32_t position);
// The first position holding rec (a walk over the list); false if none.
bool LgDbRecLookup(ChHandle db, ChHandle rec, uint32_t* position);
// The first position after position (kLgDbNoPos: from the start) that
// holds a record; kLgDbNoPos when there is none.
uint32_t LgDbNext(ChHandle db, uint32_t position);
// The record at LgDbNext(db, *position), which is stored in *position;
// 0 at the end.
ChHandle LgDbGetNextRec(ChHandle db, uint32_t* position);

// Membership lists: a database used as a set of records, appended at the
// end.  Adding does not make the record belong to the database.  Halts
// with "LgDbRecAddToList--DbH already in list" when rec is there already.
void LgDbRecAddToList(ChHandle db, ChHandle rec);
// Takes rec out, moving later positions down; false when it is not there.
bool LgDbRecRemoveFromList(ChHandle db, ChHandle rec);
bool LgDbRecIsInList(ChHandle db, ChHandle rec);

// Sorted databases.  The index orders records by the text of the sort
// field (the first 48 bytes, ignoring ASCII case; then by handle).
bool LgDbIsSorted(ChHandle db);
// The index (a BtDb) and its sort field; 0 when the database has none.
ChHandle LgDbIndex(ChHandle db);
ChHandle LgDbSortField(ChHandle db);
// Enters rec in the index under the text of its field (the empty text when
// it has none), with word.  The first call creates the index with field as
// the sort field; a later call with another field halts
// ("LgDbRecInsertSorted-- sort field").  False when rec is entered already
// under the same text and word.
bool LgDbRecInsertSorted(ChHandle db, ChHandle rec, ChHandle field, uint32_t word = 0);
// Takes rec out of the index (found by its current text, else by a walk
// over the index); false when it is not there.
bool LgDbRecRemoveSorted(ChHandle db, ChHandle rec);
// Binary search: the first index position whose key does not sort before
// text (48 bytes, ignoring case) in *ix, and whether that entry's key
// equals text's.
bool LgDbLookupSorted(ChHandle db, const St& text, uint32_t* ix);
// The first record whose key begins with prefix (ignoring case), with its
// index position in *ix (may be null); 0 when none.
ChHandle LgDbPrefixLookup(ChHandle db, const St& prefix, uint32_t* ix);
// The first record in index order whose sort-field text equals text
// ignoring ASCII case (the whole text, beyond 48 bytes); 0 when none.
ChHandle LgDbTextLookup(ChHandle db, const St& text);
// The same with the text equal byte for byte.
ChHandle LgDbTextFind(ChHandle db, const St& text);
// The index position of rec; false when it is not in the index.
bool LgDbRecGetSortIx(ChHandle db, ChHandle rec, uint32_t* ix);
uint32_t LgDbSortedCount(ChHandle db);
// The record at index position ix, 0 at or past the count.
ChHandle LgDbSortedGet(ChHandle db, uint32_t ix);

// ---------------------------------------------------------------------------
// Selection.
//
// Operators of field conditions, each comparing the field's value of the
// condition value's kind (integer, text or date and time):
//
//   CODE  OPERATOR           INTEGER, DATE     TEXT (ignoring ASCII case)
//   1     kLgDbOpEq          equal             equal
//   2     kLgDbOpNe          not equal         not equal
//   3     kLgDbOpLt          less              sorts before
//   4     kLgDbOpGt          greater           sorts after
//   5     kLgDbOpLe          less or equal     before or equal
//   6     kLgDbOpGe          greater or equal  after or equal
//   7     kLgDbOpPrefix      -                 begins with the value
//   8     kLgDbOpContains    -                 holds the value
//   9     kLgDbOpPresent     the field has a value of the value's kind
//   10    kLgDbOpAbsent      the field has none (both need no value; a
//                            condition without one asks for an integer)
//
// A record without a value of the condition's kind in the field fails
// every operator but kLgDbOpAbsent.  Prefix and contains on integers and
// dates halt ("LgDbSelectField-- Op needs a text"), as does an unknown
// code ("LgDbSelectField-- Op").

enum LgDbOp : int32_t {
  kLgDbOpEq = 1,
  kLgDbOpNe = 2,
  kLgDbOpLt = 3,
  kLgDbOpGt = 4,
  kLgDbOpLe = 5,
  kLgDbOpGe = 6,
  kLgDbOpPrefix = 7,
  kLgDbOpContains = 8,
  kLgDbOpPresent = 9,
  kLgDbOpAbsent = 10,
};

enum class LgDbValueKind : uint8_t { kInt, kText, kTd };
struct LgDbValue {
  LgDbValueKind kind = LgDbValueKind::kInt;
  int32_t integer = 0;
  St text;
  LgDbTd td;
  bool operator==(const LgDbValue&) const = default;
};
LgDbValue LgDbIntValue(int32_t v);
LgDbValue LgDbTextValue(St text);
LgDbValue LgDbTdValue(LgDbTd td);

// True when rec's field satisfies the condition.
bool LgDbSelectField(ChHandle rec, ChHandle field, int32_t op, const LgDbValue& value);
// True when rec satisfies every condition (field i with operator i and
// value i).  A field without operator halts with "LgDbSelectRec--missing
// Op", an operator that needs a value without one with
// "LgDbSelectRec--missing Value".
bool LgDbSelectRec(ChHandle rec, const Li<ChHandle>& fields, const Li<int32_t>& ops,
                   const Li<LgDbValue>& values);

// The ranges of a select over an index (BtDb).  Nil strings and a false
// byForum are absent ranges.
struct LgDbRange {
  St first;  // keys from first on
  bool firstInclusive = true;
  St last;  // keys up to last
  bool lastInclusive = true;
  St emailName;  // keys beginning with emailName
  bool byForum = false;
  uint32_t forum = 0;  // entries whose word is forum
  // The index to walk; 0: the database's own index.
  ChHandle index = 0;
};

// Selects the records of db that lie in every given range of the index and
// satisfy every field condition, at most maxCount of them (0: no limit),
// in index order; without ranges, every record of the database is a
// candidate, in index order when it is sorted, else in position order.
// Halts with "LgDbSelect--missing Op" when a field has no operator and
// "LgDbSelect--no index" for ranges over a database without index.  The
// strings and lists given are consumed.
Li<ChHandle> LgDbSelect(ChHandle db, LgDbRange range, Li<ChHandle> fields,
                        Li<int32_t> ops, Li<LgDbValue> values, uint32_t maxCount);

// ---------------------------------------------------------------------------

// Registers the templates of every value type this package creates
// (record, integer, text buffer, date, subscription, access permissions,
// user posts, pictures, colour, further record kind); the segment-list,
// chunk-string and B-tree types are their packages' own.
void LgDbRegisterTypes();

}  // namespace quil
