// ChLi: chunk lists, the persistent counterpart of the memory lists of Li.h.
//
// A chunk list is a ring of 16-byte node chunks in one database file.  The
// list value is the handle of its first node; the first node's previous node
// is the last node, so both ends are one step away.  The node chunk type is
// chosen by the caller and given to every call (kUtTypeListHead, 40, is the
// common one; another type must have the same layout template, see
// ChLiRegisterNodeType):
//
//   OFFSET  SIZE  MEANING
//   0       4     next node (handle)
//   4       4     previous node (handle)
//   8       4     datum: a chunk handle, or a word that the file form keeps
//                 unchanged (0, or bits 8-15 all 0 or all 1)
//   12      4     second datum: any 32-bit word
//
// The empty list is a handle that names a part but no chunk: only the part
// field is set (ChLiGenCreate reduces a near handle to that), so an empty
// list still says where its first node will go.  ChLiGenIsEmpty tests it.
//
// Rules:
//   - a datum that is a chunk handle lies in the same file as the list
//     ("ChLiGenAppend-- Data is not in same file as list" otherwise); the
//     second datum is never translated and may hold anything;
//   - a node of another chunk type than the one given is "ChLiPkg-- illegal
//     list" (checked while ChLiDebugFlag is set);
//   - operations that change the list return the new list value (the first
//     node may change); the caller stores it where the old value was.
//
// Iterators (ChLiGenIter) live in memory and hold the list, the current
// node, the next node and a finished flag.  The node just returned may be
// deleted with ChLiGenIterDeleteEntry; other changes during a walk are not
// supported.
//
// Threads: every call runs on the thread that holds the run lock, like the
// chunk store.
#pragma once

#include <cstdint>

#include "Ch.h"
#include "Li.h"

namespace quil {

constexpr uint16_t kChLiNodeType = 40;
constexpr uint32_t kChLiNodeSize = 16;

extern bool ChLiDebugFlag;

// True when h names a chunk that exists (a block starts at its offset and
// is allocated).  Never halts; the page is loaded when needed.
bool ChLiChunkIsLive(ChHandle h);

// Registers the node template (three handles and a word) for a caller's own
// node chunk type.
void ChLiRegisterNodeType(uint16_t type);

// ---------------------------------------------------------------------------
// Creating and destroying.

// The empty list in the part of near.
ChHandle ChLiGenCreate(ChHandle near, uint16_t type);
// Destroys every node (not the data); returns the empty list of the part.
ChHandle ChLiGenDestroy(ChHandle list, uint16_t type);
// A new list with the same data, its nodes near the list's.
ChHandle ChLiGenDup(ChHandle list, uint16_t type);
// Joins: the nodes of other follow those of list; returns the joined list.
// REQUIRES: both in one file ("ChLiGenCat-- Lists are not in same file").
ChHandle ChLiGenCat(ChHandle list, ChHandle other, uint16_t type);

// ---------------------------------------------------------------------------
// Adding.  Each returns the new list value; the Entry forms also give the
// new node in *entry.  A new node is created near the last node (near the
// list's part when the list is empty).  An exception from the chunk store
// while a node is made is passed on with the list unchanged.

ChHandle ChLiGenAppend(ChHandle list, uint32_t datum, uint32_t datum2,
                       uint16_t type);
ChHandle ChLiGenAppendEntry(ChHandle list, uint32_t datum, uint32_t datum2,
                            uint16_t type, ChHandle* entry);
// The new node becomes the first.  Push is the same operation.
ChHandle ChLiGenPrepend(ChHandle list, uint32_t datum, uint32_t datum2,
                        uint16_t type);
ChHandle ChLiGenPrependEntry(ChHandle list, uint32_t datum, uint32_t datum2,
                             uint16_t type, ChHandle* entry);
ChHandle ChLiGenPush(ChHandle list, uint32_t datum, uint32_t datum2,
                     uint16_t type);
ChHandle ChLiGenPushEntry(ChHandle list, uint32_t datum, uint32_t datum2,
                          uint16_t type, ChHandle* entry);

// ---------------------------------------------------------------------------
// Taking out.  Each returns the new list value.

// Removes the first node; its data in *datum and *datum2 (0 and 0 when the
// list is empty; either pointer may be null).
ChHandle ChLiGenPop(ChHandle list, uint32_t* datum, uint32_t* datum2,
                    uint16_t type);
// Removes the first node.
ChHandle ChLiGenRemoveFirst(ChHandle list, uint16_t type);
// Removes the first count nodes (all of them when the list is shorter).
ChHandle ChLiGenDrop(ChHandle list, int32_t count, uint16_t type);
// Removes the first node holding both data; *found (may be null) tells.
ChHandle ChLiGenDeleteMatch(ChHandle list, uint32_t datum, uint32_t datum2,
                            uint16_t type, bool* found = nullptr);
// Removes node entry.  REQUIRES: entry is a node of list.
ChHandle ChLiGenDeleteEntry(ChHandle list, ChHandle entry, uint16_t type);

// ---------------------------------------------------------------------------
// Reading.

// Walks the ring.
int32_t ChLiGenCount(ChHandle list, uint16_t type);
bool ChLiGenIsEmpty(ChHandle list, uint16_t type);
// True when a node holds both data.
bool ChLiGenIsMember(ChHandle list, uint32_t datum, uint32_t datum2,
                     uint16_t type);
// The data of the first or last node; false (and zeros) for the empty list.
bool ChLiGenFirst(ChHandle list, uint32_t* datum, uint32_t* datum2,
                  uint16_t type);
bool ChLiGenLast(ChHandle list, uint32_t* datum, uint32_t* datum2,
                 uint16_t type);
// The last node, or 0 for the empty list.
ChHandle ChLiGenLastEntry(ChHandle list, uint16_t type);
void ChLiGenGetDataEntry(ChHandle entry, uint32_t* datum, uint32_t* datum2,
                         uint16_t type);
// REQUIRES: entry is a node of list (the same-file rule is checked for it).
void ChLiGenSetDataEntry(ChHandle list, ChHandle entry, uint32_t datum,
                         uint32_t datum2, uint16_t type);
// A new list: the data of a, then those of b that a does not hold.  The new
// nodes lie near a's (near b's when a is empty).
ChHandle ChLiGenOR(ChHandle a, ChHandle b, uint16_t type);
// The ring closes through matching links, every node is a live chunk of
// the given type in the list's file.  Never halts.
bool ChLiGenIsLegal(ChHandle list, uint16_t type);
// As ChLiGenIsLegal, and every datum is 0 or a legal chunk handle.
bool ChLiGenDataIsLegal(ChHandle list, uint16_t type);

// ---------------------------------------------------------------------------
// Iterating.

struct ChLiGenIter {
  ChHandle list = 0;
  ChHandle current = 0;  // the node most recently returned, 0 before
  ChHandle next = 0;     // the node to return next, 0 at the end
  uint32_t finished = 1;
};
static_assert(sizeof(ChLiGenIter) == 16);

ChLiGenIter ChLiGenStart(ChHandle list, uint16_t type);
// Starts at node entry (which is returned first).
ChLiGenIter ChLiGenStartEntry(ChHandle list, ChHandle entry, uint16_t type);
// True and the next node's data (either pointer may be null), or false.
bool ChLiGenNext(ChLiGenIter& iter, uint32_t* datum, uint32_t* datum2,
                 uint16_t type);
// The next node, or 0 after the last.
ChHandle ChLiGenNextEntry(ChLiGenIter& iter, uint16_t type);
// Deletes the node most recently returned; iter.list follows the change.
void ChLiGenIterDeleteEntry(ChLiGenIter& iter, uint16_t type);
void ChLiGenStop(ChLiGenIter& iter);

// Clean-up forms for unwinding frames: they ignore 0, -1 and nil.
void ExChLiGenDestroy(ChHandle list, uint16_t type);
void ExChLiGenStop(ChLiGenIter& iter);

// ---------------------------------------------------------------------------
// Memory lists.  The Ut forms carry plain words in the second datum (the
// first is 0); the Hnd forms carry chunk handles in the first (the second is
// 0).  The memory list is only read.

ChHandle LiToChLiUtXfm(const Li<uint32_t>& list, ChHandle near, uint16_t type);
Li<uint32_t> ChLiUtToLiXfm(ChHandle list, uint16_t type);
ChHandle LiToChLiHndXfm(const Li<ChHandle>& list, ChHandle near, uint16_t type);
Li<ChHandle> ChLiHndToLiXfm(ChHandle list, uint16_t type);

// Package entry: 1 registers the node template of type 40, 2 terminates, 3
// sets ChLiDebugFlag.
[[nodiscard]] uint16_t ChLiInitRtns(int selector, int32_t value);

}  // namespace quil
