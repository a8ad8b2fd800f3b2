// ChSt: chunk strings, the persistent form of St, and the shared-string
// table of a database file (Shr).
//
// A chunk string of up to 4,062 bytes is one chunk of type 10, created with
// length + 9 bytes:
//
//   OFFSET  SIZE  MEANING
//   0       2     length n (unsigned)
//   2       n     the bytes
//   2+n     1     0
//   3+n     6     unused (0)
//
// A longer string is a chunk list (node type 40, see ChLi.h) whose data are
// type-10 chunks of 4,063 bytes each, the last one holding the remainder,
// in order.  The handle of a chunk string is therefore either a type-10
// chunk or the first node of such a list.
//
// A chunk string is private (one owner, destroyed directly) or shared.
// Shared strings of a file are entered once in the file's shared-string
// table with a count of owners; a shared string's first chunk carries
// reference count 1, a private one 0, so that ChDestroy refuses a shared
// string that is destroyed behind the table's back.  The table is a segment
// list (Sl.h, capacity 56, handle values) from a 32-bit key, the string's
// byte hash (0xFFFFFFFF counted as 0), to a bucket: a chunk list of node
// type 40 whose nodes hold a shared string (datum) and its count (second
// datum).  Its handle is kept, in file form, in the further word of the
// part information (ChSetRootExtra); ShrGetChRoot finds or makes it.
//
// Threads: every call runs on the thread that holds the run lock.
#pragma once

#include <cstdint>

#include "Ch.h"
#include "Li.h"
#include "Se.h"
#include "St.h"

namespace quil {

constexpr uint16_t kChStType = 10;
constexpr uint32_t kChStMaxSingle = 4062;  // longest one-chunk string
constexpr uint32_t kChStPiece = 4063;      // bytes per piece of a list
// A set in a chunk (type 12): size n, word count w, then w words of bits.
constexpr uint16_t kChSeType = 12;

extern bool ChStDebugFlag;

// ---------------------------------------------------------------------------
// Private strings.

// Writes str as a new private chunk string in the part of near and returns
// its handle (nil gives an empty string).  An exception from the store
// while a long string is built destroys the pieces made so far and is
// passed on.
ChHandle StToChStXfm(const St& str, ChHandle near);
// Reads a chunk string back as a new St (pieces of a list concatenated).
// 0 and nil give nil.  Halts "ChStToStXfm-- not a chunk string" for a chunk
// of another type.
St ChStToStXfm(ChHandle h);
// The length in bytes (0 for 0 and nil).
uint32_t ChStLength(ChHandle h);
// The byte hash of St (StBytesHash) over the string's bytes.
uint32_t ChStHash(ChHandle h);
// True when the two chunk strings hold identical bytes.
bool ChStCompare(ChHandle a, ChHandle b);
// True when the chunk string holds exactly the bytes of str.
bool ChStEqualSt(ChHandle h, const St& str);

// Destroys a chunk string.  0 and nil are ignored.
void ChStDestroy(ChHandle h);
// A copy near the original.
ChHandle ChStDup(ChHandle h);
// A private copy near near.
ChHandle ChStCopy(ChHandle h, ChHandle near);
// Callbacks of generic containers for chunk-string elements.
void ChStCbDestroy(uint32_t element);
uint32_t ChStCbDup(uint32_t element);
// Clean-up form for unwinding frames: ignores 0, -1 and nil.
void ExChStDestroy(ChHandle h);

// ---------------------------------------------------------------------------
// Lists of strings and sets.

// A chunk list (node type 40) of new private chunk strings, one per
// element, in the part of near.  The memory list is only read.
ChHandle StLiToChStLiXfm(const Li<St>& list, ChHandle near);
Li<St> ChStLiToStLiXfm(ChHandle list);
// Destroys every string of the list (ChStDestroy) and the list.
void ChStLiDestroy(ChHandle list);
void ExChStLiDestroy(ChHandle list);

// A set in a chunk of type 12; a nil set gives 0.  Sets of more than
// 32,512 members do not fit a chunk ("SeToChSeXfm-- set too large").
ChHandle SeToChSeXfm(const Se& set, ChHandle near);
// 0 and nil give a nil set.
Se ChSeToSeXfm(ChHandle h);
void ChSeDestroy(ChHandle h);
void ExChSeDestroy(ChHandle h);

// Registers the template of type 12 (type 10 is the store's own).
void ChStRegisterTypes();

}  // namespace quil
