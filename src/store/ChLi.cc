// Chunk lists: rings of 16-byte node chunks.
#include "ChLi.h"

#include <cstring>

#include "ChInt.h"
#include "Ex.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

bool ChLiDebugFlag = true;

namespace {

PkgState chLiPkg{false, true, false};

constexpr uint32_t kNext = 0;
constexpr uint32_t kPrev = 4;
constexpr uint32_t kDatum = 8;
constexpr uint32_t kDatum2 = 12;

struct Node {
  ChHandle next, prev;
  uint32_t datum, datum2;
};

[[noreturn]] void IllegalList() { MaAssertFailure("ChLiPkg-- illegal list"); }

bool IsEmptyList(ChHandle list) { return (list & 0xFF) == 0; }
ChHandle EmptyOf(ChHandle list) { return ChPartNear(ChPartOf(list)); }

void CheckNode(ChHandle node, uint16_t type) {
  if (ChLiDebugFlag && (!ChIsLegal(node) || ChType(node) != type)) IllegalList();
}

Node Read(ChHandle node, uint16_t type) {
  CheckNode(node, type);
  const auto* p = static_cast<const uint8_t*>(ChDeref(node));
  return Node{Ld32(p + kNext), Ld32(p + kPrev), Ld32(p + kDatum),
              Ld32(p + kDatum2)};
}

void WriteWord(ChHandle node, uint32_t at, uint32_t value) {
  ChLocked c(node);
  St32(c.Data() + at, value);
  c.MarkModified();
}

// True when two parts lie in the same file (the transient part is a file of
// its own).
bool SamePlace(ChPart a, ChPart b) {
  if (a == b) return true;
  ChFi fa = ChGetChFi(a);
  return fa != nullptr && fa == ChGetChFi(b);
}

// A datum that the file form translates is a chunk handle and must lie in
// the list's file.
void CheckDatum(ChHandle list, uint32_t datum) {
  if (!ChLiDebugFlag || ChHandleToFile(datum) == datum) return;
  if (!SamePlace(ChPartOf(list), ChPartOf(datum)))
    MaAssertFailure("ChLiGenAppend-- Data is not in same file as list");
}

// A new node near near with its links and data; a link of 0 stands for
// the node itself (a one-node ring).
ChHandle NewNode(uint16_t type, ChHandle near, ChHandle next, ChHandle prev,
                 uint32_t datum, uint32_t datum2) {
  ChHandle node;
  auto* p = static_cast<uint8_t*>(ChCreate(type, kChLiNodeSize, near, &node));
  St32(p + kNext, next ? next : node);
  St32(p + kPrev, prev ? prev : node);
  St32(p + kDatum, datum);
  St32(p + kDatum2, datum2);
  ChUnlockMod(p);
  return node;
}

// Makes a one-node ring or a node linked before `first` (after the last
// node); returns the new node.  The list's links are changed only once the
// node exists, so an exception from ChCreate leaves the list as it was.
ChHandle MakeNode(ChHandle list, uint32_t datum, uint32_t datum2,
                  uint16_t type) {
  CheckDatum(list, datum);
  if (IsEmptyList(list)) return NewNode(type, list, 0, 0, datum, datum2);
  CheckNode(list, type);
  ChLocked first(list);
  ChHandle last = Ld32(first.Data() + kPrev);
  CheckNode(last, type);
  ChLocked lastNode(last);
  ChHandle node = NewNode(type, last, list, last, datum, datum2);
  // The pointers stay valid: both chunks are locked.
  St32(lastNode.Data() + kNext, node);
  lastNode.MarkModified();
  St32(first.Data() + kPrev, node);
  first.MarkModified();
  return node;
}

// Unlinks and destroys node; returns the new list value.
ChHandle Unlink(ChHandle list, ChHandle node, uint16_t type) {
  Node n = Read(node, type);
  ChHandle result = list;
  if (n.next == node) {
    result = EmptyOf(list);
  } else {
    WriteWord(n.prev, kNext, n.next);
    WriteWord(n.next, kPrev, n.prev);
    if (node == list) result = n.next;
  }
  ChDestroy(node);
  return result;
}

}  // namespace

bool ChLiChunkIsLive(ChHandle h) {
  if (!ChIsLegal(h)) return false;
  ChPartRec* p = ChPartGet(ChPartOf(h));
  const uint8_t* pg = ChCp(ChPgAllocFill(*p, ChPageOf(h))).data;
  uint32_t want = ChOffsetOf(h);
  for (uint32_t off = kPgHeadSize; off < kChPageSize && off <= want;) {
    uint32_t bytes = BlkBytes(pg, off);
    if (off == want) return BlkGet(pg, off, kBlkType) != 0;
    if (bytes < 16) break;
    off += bytes;
  }
  return false;
}

void ChLiRegisterNodeType(uint16_t type) {
  UtRegisterBuiltin(type, UtLayout().Times(3, kUtHandle).Op(kUtInt32).Done());
}

// ---------------------------------------------------------------------------
// Creating and destroying.

ChHandle ChLiGenCreate(ChHandle near, uint16_t) { return EmptyOf(near); }

ChHandle ChLiGenDestroy(ChHandle list, uint16_t type) {
  if (IsEmptyList(list)) return list;
  ChHandle node = list;
  do {
    ChHandle next = Read(node, type).next;
    ChDestroy(node);
    node = next;
  } while (node != list);
  return EmptyOf(list);
}

ChHandle ChLiGenDup(ChHandle list, uint16_t type) {
  ChHandle copy = EmptyOf(list);
  ChLiGenIter it = ChLiGenStart(list, type);
  uint32_t d, d2;
  bool ok = ExTry([&] {
    while (ChLiGenNext(it, &d, &d2, type)) copy = ChLiGenAppend(copy, d, d2, type);
  });
  if (!ok) {
    ChLiGenDestroy(copy, type);
    ExRaise(ExLastError);
  }
  return copy;
}

ChHandle ChLiGenCat(ChHandle list, ChHandle other, uint16_t type) {
  MA_CHECK(ChLiDebugFlag, SamePlace(ChPartOf(list), ChPartOf(other)),
           "ChLiGenCat-- Lists are not in same file");
  if (IsEmptyList(other)) return list;
  if (IsEmptyList(list)) return other;
  ChHandle aLast = Read(list, type).prev;
  ChHandle bLast = Read(other, type).prev;
  WriteWord(aLast, kNext, other);
  WriteWord(other, kPrev, aLast);
  WriteWord(bLast, kNext, list);
  WriteWord(list, kPrev, bLast);
  return list;
}

// ---------------------------------------------------------------------------
// Adding.

ChHandle ChLiGenAppendEntry(ChHandle list, uint32_t datum, uint32_t datum2,
                            uint16_t type, ChHandle* entry) {
  ChHandle node = MakeNode(list, datum, datum2, type);
  if (entry) *entry = node;
  return IsEmptyList(list) ? node : list;
}

ChHandle ChLiGenAppend(ChHandle list, uint32_t datum, uint32_t datum2,
                       uint16_t type) {
  return ChLiGenAppendEntry(list, datum, datum2, type, nullptr);
}

ChHandle ChLiGenPrependEntry(ChHandle list, uint32_t datum, uint32_t datum2,
                             uint16_t type, ChHandle* entry) {
  // In a ring, the node added after the last is the new first.
  ChHandle node = MakeNode(list, datum, datum2, type);
  if (entry) *entry = node;
  return node;
}

ChHandle ChLiGenPrepend(ChHandle list, uint32_t datum, uint32_t datum2,
                        uint16_t type) {
  return ChLiGenPrependEntry(list, datum, datum2, type, nullptr);
}

ChHandle ChLiGenPushEntry(ChHandle list, uint32_t datum, uint32_t datum2,
                          uint16_t type, ChHandle* entry) {
  return ChLiGenPrependEntry(list, datum, datum2, type, entry);
}

ChHandle ChLiGenPush(ChHandle list, uint32_t datum, uint32_t datum2,
                     uint16_t type) {
  return ChLiGenPrependEntry(list, datum, datum2, type, nullptr);
}

// ---------------------------------------------------------------------------
// Taking out.

ChHandle ChLiGenPop(ChHandle list, uint32_t* datum, uint32_t* datum2,
                    uint16_t type) {
  uint32_t d = 0, d2 = 0;
  if (!IsEmptyList(list)) {
    Node n = Read(list, type);
    d = n.datum;
    d2 = n.datum2;
    list = Unlink(list, list, type);
  }
  if (datum) *datum = d;
  if (datum2) *datum2 = d2;
  return list;
}

ChHandle ChLiGenRemoveFirst(ChHandle list, uint16_t type) {
  return IsEmptyList(list) ? list : Unlink(list, list, type);
}

ChHandle ChLiGenDrop(ChHandle list, int32_t count, uint16_t type) {
  for (int32_t i = 0; i < count && !IsEmptyList(list); ++i)
    list = Unlink(list, list, type);
  return list;
}

ChHandle ChLiGenDeleteMatch(ChHandle list, uint32_t datum, uint32_t datum2,
                            uint16_t type, bool* found) {
  ChLiGenIter it = ChLiGenStart(list, type);
  bool hit = false;
  while (ChHandle node = ChLiGenNextEntry(it, type)) {
    Node n = Read(node, type);
    if (n.datum == datum && n.datum2 == datum2) {
      list = Unlink(list, node, type);
      hit = true;
      break;
    }
  }
  if (found) *found = hit;
  return list;
}

ChHandle ChLiGenDeleteEntry(ChHandle list, ChHandle entry, uint16_t type) {
  MA_CHECK(ChLiDebugFlag, !IsEmptyList(list), "ChLiPkg-- illegal list");
  return Unlink(list, entry, type);
}

// ---------------------------------------------------------------------------
// Reading.

int32_t ChLiGenCount(ChHandle list, uint16_t type) {
  int32_t count = 0;
  ChLiGenIter it = ChLiGenStart(list, type);
  while (ChLiGenNextEntry(it, type)) ++count;
  return count;
}

bool ChLiGenIsEmpty(ChHandle list, uint16_t) { return IsEmptyList(list); }

bool ChLiGenIsMember(ChHandle list, uint32_t datum, uint32_t datum2,
                     uint16_t type) {
  ChLiGenIter it = ChLiGenStart(list, type);
  uint32_t d, d2;
  while (ChLiGenNext(it, &d, &d2, type))
    if (d == datum && d2 == datum2) return true;
  return false;
}

namespace {

bool Data(ChHandle node, uint32_t* datum, uint32_t* datum2, uint16_t type) {
  Node n{};
  if (node) n = Read(node, type);
  if (datum) *datum = n.datum;
  if (datum2) *datum2 = n.datum2;
  return node != 0;
}

}  // namespace

bool ChLiGenFirst(ChHandle list, uint32_t* datum, uint32_t* datum2,
                  uint16_t type) {
  return Data(IsEmptyList(list) ? 0 : list, datum, datum2, type);
}

ChHandle ChLiGenLastEntry(ChHandle list, uint16_t type) {
  return IsEmptyList(list) ? 0 : Read(list, type).prev;
}

bool ChLiGenLast(ChHandle list, uint32_t* datum, uint32_t* datum2,
                 uint16_t type) {
  return Data(ChLiGenLastEntry(list, type), datum, datum2, type);
}

void ChLiGenGetDataEntry(ChHandle entry, uint32_t* datum, uint32_t* datum2,
                         uint16_t type) {
  Data(entry, datum, datum2, type);
}

void ChLiGenSetDataEntry(ChHandle list, ChHandle entry, uint32_t datum,
                         uint32_t datum2, uint16_t type) {
  CheckDatum(list, datum);
  CheckNode(entry, type);
  ChLocked c(entry);
  St32(c.Data() + kDatum, datum);
  St32(c.Data() + kDatum2, datum2);
  c.MarkModified();
}

ChHandle ChLiGenOR(ChHandle a, ChHandle b, uint16_t type) {
  ChHandle out = ChLiGenDup(a, type);
  if (IsEmptyList(out)) out = EmptyOf(b);
  ChLiGenIter it = ChLiGenStart(b, type);
  uint32_t d, d2;
  while (ChLiGenNext(it, &d, &d2, type))
    if (!ChLiGenIsMember(out, d, d2, type)) out = ChLiGenAppend(out, d, d2, type);
  return out;
}

namespace {

// Walks the ring without halting; calls fn(node data) for each node and
// stops at the first false.
template <class Fn>
bool WalkLegal(ChHandle list, uint16_t type, Fn&& fn) {
  if (IsEmptyList(list)) return true;
  if (!ChLiChunkIsLive(list)) return false;
  ChPart part = ChPartOf(list);
  ChHandle node = list, prev = 0;
  ChHandle firstPrev = 0;
  // A ring longer than the part's chunks could be is a loop that misses
  // the first node.
  uint64_t limit = uint64_t(ChPartPageCount(part)) * (kChPageSize / 16) + 1;
  for (uint64_t steps = 0; steps < limit; ++steps) {
    if (!ChLiChunkIsLive(node) || !SamePlace(ChPartOf(node), part) ||
        ChType(node) != type || ChSize(node) < kChLiNodeSize)
      return false;
    const auto* p = static_cast<const uint8_t*>(ChDeref(node));
    Node n{Ld32(p + kNext), Ld32(p + kPrev), Ld32(p + kDatum), Ld32(p + kDatum2)};
    if (prev && n.prev != prev) return false;
    if (node == list) firstPrev = n.prev;
    if (!fn(n)) return false;
    prev = node;
    node = n.next;
    if (node == list) return firstPrev == prev;
  }
  return false;
}

}  // namespace

bool ChLiGenIsLegal(ChHandle list, uint16_t type) {
  return WalkLegal(list, type, [](const Node&) { return true; });
}

bool ChLiGenDataIsLegal(ChHandle list, uint16_t type) {
  return WalkLegal(list, type,
                   [](const Node& n) { return n.datum == 0 || ChLiChunkIsLive(n.datum); });
}

// ---------------------------------------------------------------------------
// Iterating.

ChLiGenIter ChLiGenStart(ChHandle list, uint16_t type) {
  ChLiGenIter it;
  it.list = list;
  it.finished = IsEmptyList(list) ? 1 : 0;
  if (!it.finished) {
    CheckNode(list, type);
    it.next = list;
  }
  return it;
}

ChLiGenIter ChLiGenStartEntry(ChHandle list, ChHandle entry, uint16_t type) {
  ChLiGenIter it = ChLiGenStart(list, type);
  if (!it.finished) {
    CheckNode(entry, type);
    it.next = entry;
  }
  return it;
}

ChHandle ChLiGenNextEntry(ChLiGenIter& iter, uint16_t type) {
  if (iter.finished || !iter.next) {
    iter.finished = 1;
    return 0;
  }
  iter.current = iter.next;
  ChHandle after = Read(iter.current, type).next;
  iter.next = after == iter.list ? 0 : after;
  return iter.current;
}

bool ChLiGenNext(ChLiGenIter& iter, uint32_t* datum, uint32_t* datum2,
                 uint16_t type) {
  return Data(ChLiGenNextEntry(iter, type), datum, datum2, type);
}

void ChLiGenIterDeleteEntry(ChLiGenIter& iter, uint16_t type) {
  MA_CHECK(ChLiDebugFlag, iter.current != 0, "ChLiGenIterDeleteEntry-- no current node");
  ChHandle node = iter.current;
  iter.current = 0;
  iter.list = Unlink(iter.list, node, type);
  if (IsEmptyList(iter.list)) {
    iter.next = 0;
    iter.finished = 1;
  }
}

void ChLiGenStop(ChLiGenIter& iter) {
  iter.current = iter.next = 0;
  iter.finished = 1;
}

void ExChLiGenDestroy(ChHandle list, uint16_t type) {
  if (list == 0 || list == 0xFFFFFFFFu || list == kChNil) return;
  ChLiGenDestroy(list, type);
}

void ExChLiGenStop(ChLiGenIter& iter) { ChLiGenStop(iter); }

// ---------------------------------------------------------------------------
// Memory lists.

namespace {

template <class Put>
ChHandle FromLi(const Li<uint32_t>& list, ChHandle near, uint16_t type, Put put) {
  ChHandle out = EmptyOf(near);
  bool ok = ExTry([&] {
    for (uint32_t v : list) out = put(out, v);
  });
  if (!ok) {
    ChLiGenDestroy(out, type);
    ExRaise(ExLastError);
  }
  return out;
}

}  // namespace

ChHandle LiToChLiUtXfm(const Li<uint32_t>& list, ChHandle near, uint16_t type) {
  return FromLi(list, near, type, [type](ChHandle out, uint32_t v) {
    return ChLiGenAppend(out, 0, v, type);
  });
}

Li<uint32_t> ChLiUtToLiXfm(ChHandle list, uint16_t type) {
  Li<uint32_t> out;
  ChLiGenIter it = ChLiGenStart(list, type);
  uint32_t d2;
  while (ChLiGenNext(it, nullptr, &d2, type)) LiAppend(out, d2);
  return out;
}

ChHandle LiToChLiHndXfm(const Li<ChHandle>& list, ChHandle near, uint16_t type) {
  return FromLi(list, near, type, [type](ChHandle out, uint32_t v) {
    return ChLiGenAppend(out, v, 0, type);
  });
}

Li<ChHandle> ChLiHndToLiXfm(ChHandle list, uint16_t type) {
  Li<ChHandle> out;
  ChLiGenIter it = ChLiGenStart(list, type);
  uint32_t d;
  while (ChLiGenNext(it, &d, nullptr, type)) LiAppend(out, d);
  return out;
}

uint16_t ChLiInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    ChLiRegisterNodeType(kChLiNodeType);
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(chLiPkg, "ChLiInitRtns", selector, value, steps);
  if (selector == kPkgDebug) ChLiDebugFlag = chLiPkg.debug;
  return result;
}

}  // namespace quil
