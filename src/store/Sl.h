// Sl: segment lists, a balanced tree over a sequence of positions divided
// into segments that each carry a 32-bit value.
//
// A list covers positions 0 .. length-1 (length at most 0xFFFFFFFF), cut
// into segments of length at least 1.  A segment's value is a plain word
// (leaf kind 412) or a chunk handle in the list's file (leaf kind 413,
// "SlAddSeg--Segment not in same chunk file" otherwise); the value 0 marks a
// gap, and adjacent gaps are always joined into one (SlcJoinGaps).  A
// position is found by descending from the top node, subtracting the
// lengths of the subtrees passed over.
//
// Used as a sparse map from 32-bit keys (at most 0xFFFFFFFE): a new list
// has length 0; SlGetInterval(list, k) reads key k (0 when unset);
// SlReplaceSeg(list, value, k, 1, 1) sets it, extending the list with a gap
// up to k when needed.
//
// LIST CHUNK (type 410, 40 + 8 * capacity bytes; its handle is the list's)
//
//   OFFSET  SIZE  MEANING
//   0       4     top node, or the list's own handle while the entries are
//                 held here (handle)
//   4       4     the list's own handle at creation (handle)
//   8       4     method callback (a constant handle, see SlCbRegister), 0
//   12      4     application data (handle; SlGetAppData)
//   16      2     capacity: entries per node, 4 to 56
//   18      2     leaf kind: 412 plain values, 413 handle values
//   20      2     back-pointer offset, -1 for none
//   22      2     entries held here (0 while the top node is elsewhere)
//   24      4     total length
//   28      4     segments, gaps included
//   32      4     segments that carry a value (SlGetApproxCount)
//   36      2     height: 0 entries held here, 1 the top node is a leaf,
//                 n the top node is an inner node of level n - 1
//   38      2     0
//   40      8n    entries held here: (segment length, value)
//
// LEAF NODE (type 412 or 413, the leaf kind; 16 + 8 * capacity bytes)
//
//   OFFSET  SIZE  MEANING
//   0       4     parent: an inner node, or the list when the leaf is the top
//   4       4     previous leaf (0 for the first)
//   8       4     next leaf (0 for the last)
//   12      2     entries n
//   14      2     0
//   16      8n    entries: (segment length, value)
//
// INNER NODE (type 411, 16 + 8 * capacity bytes)
//
//   OFFSET  SIZE  MEANING
//   0       4     parent: an inner node, or the list when this is the top
//   4       8     0
//   12      2     entries n
//   14      2     level: 1 when the children are leaves
//   16      8n    entries: (subtree length, child node)
//
// Balance: every node holds at most `capacity` entries; every node other
// than the top holds at least capacity / 2; an inner top node holds at least
// 2; a list whose segments fit one node keeps them in the list chunk.
//
// Back pointers: a list created with a back-pointer offset (leaf kind 413
// only) stores, at that byte offset of every value chunk, the handle of the
// node that holds the value's segment (the list itself while the list chunk
// holds the entries).  The field must be a handle field in the value chunk's
// layout template.  From it SlSegGetRoot finds the list and SlSegGetLoc the
// position.  Such lists should give each value one segment.
//
// Method callback: a table of 10 methods registered in the process under a
// number (SlCbRegister); the list stores its constant handle, so the same
// program finds it again after reopening the file.  Method 0 (kSlCbCut) is
// called whenever positions are taken away from a segment that carries a
// value, after the change: (list, value, positions removed, positions the
// segment keeps); 0 kept means the segment is gone.  SlRemoveSeg and the
// moves between lists (cut, paste, split, join) do not call it: the value
// goes to the caller or the other list.  Method 1 (kSlCbDup), when present,
// gives the value a copied segment carries (SlCopyInterval); without it the
// value is copied as it is.  Methods 2 to 9 are not used by the list.
//
// Threads: every call runs on the thread that holds the run lock.
#pragma once

#include <cstdint>
#include <string>

#include "Ch.h"

namespace quil {

constexpr uint16_t kSlListType = 410;
constexpr uint16_t kSlInnerType = 411;
constexpr uint16_t kSlPlainLeaf = 412;
constexpr uint16_t kSlHandleLeaf = 413;
constexpr uint16_t kSlMinCapacity = 4;
constexpr uint16_t kSlMaxCapacity = 56;
constexpr int16_t kSlNoBackPointer = -1;

extern bool SlDebugFlag;

// ---------------------------------------------------------------------------
// Method callbacks.

constexpr int kSlCbMethods = 10;
constexpr int kSlCbCut = 0;
constexpr int kSlCbDup = 1;

using SlMethod = uint32_t (*)(ChHandle list, uint32_t value, uint32_t a,
                              uint32_t b);
struct SlCallback {
  int count = kSlCbMethods;  // number of methods; lists need 10
  SlMethod methods[kSlCbMethods] = {};
};

// Registers cb (which must outlive its use) under number (1-255) and
// returns its constant handle.  Registering the same number again
// replaces the table.
ChHandle SlCbRegister(uint8_t number, const SlCallback* cb);
// The table of a callback handle, or nullptr.
const SlCallback* SlCbLookup(ChHandle callback);

// ---------------------------------------------------------------------------
// Lists.

// Creates an empty list near near.  backOffset is -1 or (kind 413 only) the
// offset of the back pointer in value chunks; callback is 0 or a handle
// from SlCbRegister whose table has 10 methods ("SlCreate-- wrong number of
// Callback cases" otherwise); capacity 4 to 56; kind 412 or 413.
ChHandle SlCreate(int16_t backOffset, ChHandle callback, ChHandle appData,
                  ChHandle near, uint16_t capacity, uint16_t kind);
// Destroys every node and the list chunk; method 0 is called for every
// segment that carried a value, once the nodes are gone.
void SlDestroy(ChHandle list);
// True when list names a live list chunk with sound parameters.  Never
// halts.
bool SlIsLegal(ChHandle list);
// True when no segment carries a value.
bool SlIsEmpty(ChHandle list);
uint32_t SlGetLength(ChHandle list);
// The number of segments that carry a value.
uint32_t SlGetApproxCount(ChHandle list);

struct SlParams {
  int16_t backOffset = kSlNoBackPointer;
  ChHandle callback = 0;
  uint16_t capacity = 0;
  uint16_t kind = 0;
};
SlParams SlGetParams(ChHandle list);
// Changes the callback and the back-pointer offset (back pointers are
// written at the new offset).  Capacity and kind are fixed at creation
// ("SlSetParams-- capacity and leaf kind are fixed").
void SlSetParams(ChHandle list, const SlParams& params);
ChHandle SlGetAppData(ChHandle list);
void SlSetAppData(ChHandle list, ChHandle appData);

// ---------------------------------------------------------------------------
// Positional operations.

// The value of the segment holding position, with the segment's start and
// length.  At or past the end: 0, start = the total length, length = the
// complement of the total length.
uint32_t SlGetInterval(ChHandle list, uint32_t position, uint32_t* start,
                       uint32_t* length);
// Inserts a segment of length positions at position, moving later positions
// up; a position inside a segment cuts it in two around the new one, a
// position past the end first extends the list with a gap.
void SlAddSeg(ChHandle list, uint32_t value, uint32_t position, uint32_t length);
// Removes positions position .. position+length-1 (clipped to the end),
// moving later positions down.
void SlSubtract(ChHandle list, uint32_t position, uint32_t length);
// Removes the whole segment holding position and returns its value (its
// length in *length when not null); 0 and nothing removed past the end.
uint32_t SlRemoveSeg(ChHandle list, uint32_t position, uint32_t* length = nullptr);
// Replaces positions position .. position+oldLength-1 by one segment of
// newLength positions holding value, extending the list with a gap when the
// range reaches past the end.  When the lengths are equal and the range is
// exactly one gap segment, the value is set in place.
void SlReplaceSeg(ChHandle list, uint32_t value, uint32_t position,
                  uint32_t oldLength, uint32_t newLength);

// ---------------------------------------------------------------------------
// Moving ranges between lists.  New lists have the parameters of the list
// they come from and lie near near.  REQUIRES: lists given together have
// the same leaf kind, and for kind 413 lie in one file.

// Takes positions position .. end out of list into a new list.
ChHandle SlSplit(ChHandle list, uint32_t position, ChHandle near);
// Appends the segments of other to list and destroys other's chunks.
void SlJoin(ChHandle list, ChHandle other);
// Takes a range out of list into a new list (later positions move down).
ChHandle SlCutInterval(ChHandle list, uint32_t position, uint32_t length,
                       ChHandle near);
// A new list holding a copy of a range (values through method 1).
ChHandle SlCopyInterval(ChHandle list, uint32_t position, uint32_t length,
                        ChHandle near);
// Inserts all of other at position (later positions move up; past the end
// the list is first extended with a gap) and destroys other's chunks.
void SlPasteInterval(ChHandle list, uint32_t position, ChHandle other);
// Makes the range position .. position+length-1 of to equal to the same
// range of from: to's range is replaced (method 0 for what it loses) by
// copies of from's segments (values through from's method 1).
void SlPropagate(ChHandle from, ChHandle to, uint32_t position, uint32_t length);

// ---------------------------------------------------------------------------
// Walking segments.

struct SlSegIter {
  ChHandle list = 0;
  ChHandle node = 0;   // leaf (or the list) holding the next segment
  uint16_t index = 0;  // its entry
  uint32_t start = 0;  // its first position
  bool done = true;
};
// Starts at the segment holding position (done at once past the end).
SlSegIter SlSegStart(ChHandle list, uint32_t position);
// True and the next segment's value, start and length (pointers may be
// null), or false after the last.  The list must not change during a walk.
bool SlSegNext(SlSegIter& iter, uint32_t* value, uint32_t* start,
               uint32_t* length);
void SlSegStop(SlSegIter& iter);
// For a list with back pointers: the position and length of the segment
// carrying value chunk value; false when value is not in the list.
bool SlSegGetLoc(ChHandle list, ChHandle value, uint32_t* start,
                 uint32_t* length);
// The list holding the segment of value chunk value, found through the back
// pointer at backOffset; 0 when there is none.
ChHandle SlSegGetRoot(ChHandle value, int16_t backOffset);
// The value of the segment just before (Preceding) or just after
// (Following) the one carrying value chunk value, with its start and
// length; 0 and length 0 when there is none.
uint32_t SlSegPreceding(ChHandle list, ChHandle value, uint32_t* start,
                        uint32_t* length);
uint32_t SlSegFollowing(ChHandle list, ChHandle value, uint32_t* start,
                        uint32_t* length);

// ---------------------------------------------------------------------------
// Checks and repair.

// Checks the whole tree: chunk types and sizes, node fill, levels, parent
// and neighbour links, subtree lengths, no empty segments, no adjacent
// gaps, totals and counts, handle values in the list's file, back
// pointers.  Never halts; the problems go to *report.
bool SlConsistency(ChHandle list, std::string* report);
// Halts with "SlCheck-- " and the first problem when the list is not sound.
void SlCheck(ChHandle list);
// Rebuilds the tree from its segments in order (leaves reached through the
// tree): lengths, counts, links, fill and back pointers are made right,
// empty segments dropped and gaps joined.  REQUIRES: the tree can be walked.
void SlRepair(ChHandle list);

// Registers the templates of types 410 to 413.
void SlRegisterTypes();
// Package entry: 1 registers the types, 2 terminates, 3 sets SlDebugFlag;
// 5 and 6 start and end the second stage, run after the application file
// layer.  Nodes are cached by the chunk store itself, so the second stage
// has nothing to flush at saves and only marks the stage.
[[nodiscard]] uint16_t SlInitRtns(int selector, int32_t value);

// Interval lists: segment lists of plain values (kind 412, capacity 8),
// the value type of record fields.
ChHandle IvSlCreate(ChHandle near);
[[nodiscard]] uint16_t IvSlInitRtns(int selector, int32_t value);

}  // namespace quil
