// NmSp: name spaces, the interned names of a database file.
//
// A name space gives every distinct name (compared ignoring ASCII case) one
// name chunk, whose handle is the name's identifier.  Record fields are
// named by such identifiers (LgDb.h), and a name can also be bound to one
// object of the file (a chunk handle), which is how an application finds
// its root objects by name (Doc.h).  Identifiers are valid only within
// their file.
//
// The name space is a segment list (Sl.h: capacity 56, handle values, no
// back pointers) used as a sparse map from a 32-bit key to a name chunk.
// A name lives at the first empty key at or after its hash, stepping by one
// (0xFFFFFFFE is followed by 0); a look-up probes from the hash the same
// way until it meets the name or an empty key.  Names are never removed, so
// a probe chain has no holes.
//
// Hash of a name (NmSpNameHash): every byte upper-cased through
// StASCIIUpper; the bytes taken in groups of four, each read as a 32-bit
// number with its first byte most significant; each group XOR-ed into the
// hash shifted left by k bits, where k runs 0, 1, 2, 0, 1, 2 ... from the
// first group; a tail of one to three bytes is read as a number of that
// many bytes (first byte most significant) and XOR-ed in shifted by the next
// k.  A result of 0xFFFFFFFF becomes 0.  "ABCDE": 0x41424344 ^ (0x45 << 1).
//
// NAME CHUNK (type 583, 8 + length bytes)
//
//   OFFSET  SIZE  MEANING
//   0       4     the object bound to the name (handle), 0 for none
//   4       4     length n of the name, at most 3,000
//   8       n     the name's bytes, as first added
//
// Errors: a name longer than 3,000 bytes halts with "NmSpAddName-- Name is
// too long"; a nil name halts with "NmSpNameAdd-- Name" / "NmSpIdGet--
// Name"; a handle that is not a name chunk halts with "NmSpNameGet-- Id"
// (checks made while NmSpDebugFlag is set).
//
// Threads: every call runs on the thread that holds the run lock.
#pragma once

#include <cstdint>
#include <string>

#include "Ch.h"
#include "St.h"

namespace quil {

constexpr uint16_t kNmSpNameType = 583;
constexpr uint16_t kNmSpCapacity = 56;
constexpr int32_t kNmSpMaxName = 3000;

extern bool NmSpDebugFlag;

// The hash described above.
uint32_t NmSpNameHash(const St& name);

// Creates an empty name space near a handle; returns its handle.
ChHandle NmSpCreate(ChHandle near);
// Destroys the name space and every name chunk in it.  Identifiers taken
// from it become invalid.
void NmSpDestroy(ChHandle nmsp);
// Number of names.
uint32_t NmSpCount(ChHandle nmsp);

// Adds a name (even when an equal one is present: use NmSpIdGet to intern)
// and returns its identifier.  REQUIRES: name not nil, at most 3,000 bytes.
ChHandle NmSpNameAdd(ChHandle nmsp, const St& name);
// The identifier of a name equal to name ignoring ASCII case; 0 when none.
ChHandle NmSpLookup(ChHandle nmsp, const St& name);
// The identifier of name, added when new.  REQUIRES as NmSpNameAdd.
ChHandle NmSpIdGet(ChHandle nmsp, const St& name);
// The name of an identifier as a new string (as first added).  The name
// space is not needed to read it; it is given for the checks.
St NmSpNameGet(ChHandle nmsp, ChHandle id);
// The name of an identifier, without a name space.
St NmSpIdText(ChHandle id);
// True when id names a live name chunk (never halts).
bool NmSpIdIsLegal(ChHandle id);

// The object bound to a name (0 when none) and its setter.
ChHandle NmSpObject(ChHandle id);
void NmSpSetObject(ChHandle id, ChHandle object);

// Checks the name space: every name chunk is live, of type 583, with a
// length of at most 3,000, and reachable from its hash without an empty key
// between.  True when sound; otherwise false with one line per problem
// appended to *report.  Never halts on a damaged name chunk.
bool NmSpCheck(ChHandle nmsp, std::string* report);

// Registers the template of type 583.
void NmSpRegisterTypes();

}  // namespace quil
