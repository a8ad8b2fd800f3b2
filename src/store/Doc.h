// Doc: the document root of a database file, where the file's shared
// structures are found.
//
// The document root is a chunk of sixteen handles, kept as the part's root
// (ChGetRoot / ChSetRoot) and created on first use.  Entry 13 is the file's
// name space (NmSp.h), itself created on first use: record field names are
// interned there, and an application finds its root objects there by name
// (DocObjectEnter / DocObjectLookup: the forum store enters its root
// database's head record under "forum.db").  The other entries are 0,
// reserved.
//
// DOCUMENT ROOT CHUNK (type 600, 64 bytes)
//
//   OFFSET  SIZE  MEANING
//   4 * i   4     entry i (handle), i = 0 .. 15; entry 13 the name space
//
// Errors: a part root that is not a document root halts with "DocRootGet--
// root is not a document root"; an entry index outside 0-15 with "DocRoot--
// index".
//
// Threads: every call runs on the thread that holds the run lock.
#pragma once

#include <cstdint>

#include "Ch.h"
#include "St.h"

namespace quil {

constexpr uint16_t kDocRootType = 600;
constexpr int kDocRootEntries = 16;
constexpr int kDocNameSpaceIndex = 13;

extern bool DocDebugFlag;

// The document root of part; with create, made (and set as the part's
// root) when the part has none, otherwise 0 then.
ChHandle DocRootGet(ChPart part, bool create);
// Entry index of the part's document root (0 when there is no root).
ChHandle DocRootEntry(ChPart part, int index);
// Sets an entry, creating the document root when needed.
void DocRootSetEntry(ChPart part, int index, ChHandle value);

// The part's name space, created on first use.
ChHandle DocNameSpace(ChPart part);
// Binds name (interned in the part's name space) to object, replacing an
// earlier binding; object 0 removes the binding.
void DocObjectEnter(ChPart part, const St& name, ChHandle object);
// The object bound to name (ignoring ASCII case) when it is a live chunk
// of chunk type kind; 0 otherwise.  Never creates anything.
ChHandle DocObjectLookup(ChPart part, const St& name, uint16_t kind);

// Registers the templates of the document root, the name space and every
// record-database type (LgDbRegisterTypes).
void DocRegisterTypes();
// Package entry: 1 registers the types above, 2 terminates, 3 sets
// DocDebugFlag (with the debug flags of NmSp and LgDb).
[[nodiscard]] uint16_t DocInitRtns(int selector, int32_t value);

}  // namespace quil
