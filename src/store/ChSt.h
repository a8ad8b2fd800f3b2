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
#include <string>

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

// ---------------------------------------------------------------------------
// Shared strings.

// True for a shared string.
bool ChStIsShared(ChHandle h);
// Enters a private string in its file's table and returns the shared
// string: when an equal string is there already, its count is raised and h
// destroyed.  REQUIRES: h private ("ChStPrivShrCvt-- not shared").
ChHandle ChStPrivShrCvt(ChHandle h);
// Turns one reference to a shared string into a private string: the last
// reference takes the string out of the table itself, any other leaves it
// there with its count lowered and returns a private copy.  REQUIRES: h
// shared ("ChStShrPrivCvt-- already shared").
ChHandle ChStShrPrivCvt(ChHandle h);
// Adds a reference to a shared string.
void ChStIncShared(ChHandle h);
// Releases a shared string through the table (destroyed with its last
// reference) or destroys a private one.  0 and nil are ignored.
void ChStDestroy(ChHandle h);
// A shared string gains a reference and is returned; a private one is
// copied (near the original).
ChHandle ChStDup(ChHandle h);
// A private copy near near, whatever h is.
ChHandle ChStCopy(ChHandle h, ChHandle near);
// Callbacks of generic containers for chunk-string elements.
void ChStCbDestroy(uint32_t element);
uint32_t ChStCbDup(uint32_t element);
// Clean-up form for unwinding frames: ignores 0, -1 and nil.
void ExChStDestroy(ChHandle h);

// The shared-string table (the Shr package).  Each REQUIRES what the ChSt
// form above requires.
// The table of part's file; with create, made when missing, otherwise 0
// when there is none.
ChHandle ShrGetChRoot(ChPart part, bool create);
bool ShrIsShared(ChHandle h);
void ShrIncShared(ChHandle h);
// Releases one reference; the last destroys the string.
void ShrDestroy(ChHandle h);
// Shared to private (ChStShrPrivCvt) and private to shared (ChStPrivShrCvt).
ChHandle ShrPrivCvt(ChHandle h);
ChHandle PrivShrCvt(ChHandle h);
// The count of a shared string (0 for a private one).
uint32_t ShrCount(ChHandle h);
// Number of strings in the table of part's file.
uint32_t ShrTableSize(ChPart part);
// Checks the table of part's file: every bucket node holds a live shared
// string with a count above 0 whose hash is its key, no string twice.
// Returns true when sound; otherwise false with the problems in *report.
bool ShrConsistency(ChPart part, std::string* report);

extern bool ShrDebugFlag;
// Package entry: 1 registers the template of sets in chunks (type 12), 2
// terminates, 3 sets ShrDebugFlag.
[[nodiscard]] uint16_t ShrInitRtns(int selector, int32_t value);

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
