// Segment lists: the tree, its balancing and the positional operations.
//
// Every change is made of three entry-level steps (set an entry, insert an
// entry, remove an entry in a leaf).  Each step adjusts the subtree lengths
// on the way up through the parent links (SliPropagate) and then restores
// the fill of the node it touched (SliFix): a node over capacity is split
// and its parent gains entries, a node under half capacity borrows from or
// merges with a neighbour and its parent may lose one, the top collapses or
// grows by one level, and a tree that fits one node moves back into the
// list chunk.  Positions are found again after each step, so a step never
// relies on where an earlier one left an entry.
#include "Sl.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "ChInt.h"
#include "ChLi.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

bool SlDebugFlag = true;

namespace {

PkgState slPkg{false, true, false};
PkgState ivSlPkg{false, true, false};

// List chunk.
constexpr uint32_t kLiTop = 0;
constexpr uint32_t kLiSelf = 4;
constexpr uint32_t kLiCallback = 8;
constexpr uint32_t kLiAppData = 12;
constexpr uint32_t kLiCapacity = 16;
constexpr uint32_t kLiKind = 18;
constexpr uint32_t kLiBack = 20;
constexpr uint32_t kLiCount = 22;
constexpr uint32_t kLiLength = 24;
constexpr uint32_t kLiSegments = 28;
constexpr uint32_t kLiValues = 32;
constexpr uint32_t kLiHeight = 36;
constexpr uint32_t kLiEntries = 40;
// Nodes.
constexpr uint32_t kNdParent = 0;
constexpr uint32_t kNdPrev = 4;
constexpr uint32_t kNdNext = 8;
constexpr uint32_t kNdCount = 12;
constexpr uint32_t kNdLevel = 14;
constexpr uint32_t kNdEntries = 16;

uint32_t ListBytes(uint32_t capacity) { return kLiEntries + 8 * capacity; }
uint32_t NodeBytes(uint32_t capacity) { return kNdEntries + 8 * capacity; }

struct Entry {
  uint32_t len = 0;
  uint32_t val = 0;
};

// The list chunk's fields, worked on in memory during one operation and
// written back at its end (StoreHead).  The entries held in the list chunk
// are a node (Load/Store), not part of the head.
struct Head {
  ChHandle list = 0;
  ChHandle top = 0;
  ChHandle callback = 0;
  uint16_t cap = 0;
  uint16_t kind = 0;
  int16_t back = kSlNoBackPointer;
  uint32_t length = 0;
  uint32_t segments = 0;
  uint32_t values = 0;
  uint16_t height = 0;
  uint32_t Min() const { return cap / 2u; }
};

// A node in memory.  One spare room beyond the capacity (and more for
// merges) lets a node be over capacity until it is split.
struct Node {
  ChHandle h = 0;
  bool inList = false;
  bool leaf = true;
  ChHandle parent = 0, prev = 0, next = 0;
  uint16_t level = 0;
  uint32_t n = 0;
  std::array<Entry, 2 * kSlMaxCapacity + 2> e;
  uint32_t Sum() const {
    uint32_t s = 0;
    for (uint32_t i = 0; i < n; ++i) s += e[i].len;
    return s;
  }
  void Insert(uint32_t at, Entry x) {
    for (uint32_t i = n; i > at; --i) e[i] = e[i - 1];
    e[at] = x;
    ++n;
  }
  void Erase(uint32_t at) {
    for (uint32_t i = at; i + 1 < n; ++i) e[i] = e[i + 1];
    --n;
  }
};

// A segment found by position.
struct Loc {
  ChHandle node = 0;
  uint32_t idx = 0;
  uint32_t start = 0;
  Entry e;
};

// Calls of method 0 made once the operation has written its changes.
struct PendingCut {
  uint32_t value, removed, kept;
};
using Cuts = std::vector<PendingCut>;

const uint8_t* Raw(ChHandle h) { return static_cast<const uint8_t*>(ChDeref(h)); }

void Put32(ChHandle h, uint32_t at, uint32_t v) {
  ChLocked c(h);
  St32(c.Data() + at, v);
  c.MarkModified();
}

[[noreturn]] void Fail(const char* fn, const char* what) {
  MaAssertFailure(std::string(fn) + "-- " + what);
}

// ---------------------------------------------------------------------------
// Callbacks.

std::array<const SlCallback*, 256>& CallbackTable() {
  static std::array<const SlCallback*, 256> table{};
  return table;
}

ChHandle CallbackHandle(uint8_t number) {
  return ChHandleMake(ChPart(ChFiConstant()), 0, uint32_t(number) << 4);
}

void RunCuts(ChHandle list, ChHandle callback, const Cuts& cuts) {
  if (cuts.empty() || !callback) return;
  const SlCallback* cb = SlCbLookup(callback);
  MA_CHECK(SlDebugFlag, cb != nullptr, "SlCallback-- callback not registered");
  if (!cb || !cb->methods[kSlCbCut]) return;
  for (const PendingCut& c : cuts) cb->methods[kSlCbCut](list, c.value, c.removed, c.kept);
}

// ---------------------------------------------------------------------------
// Head and nodes.

Head LoadHead(ChHandle list, const char* fn) {
  if (SlDebugFlag && (!ChIsLegal(list) || ChType(list) != kSlListType))
    Fail(fn, "illegal list");
  const uint8_t* p = Raw(list);
  Head hd;
  hd.list = list;
  hd.top = Ld32(p + kLiTop);
  hd.callback = Ld32(p + kLiCallback);
  hd.cap = Ld16(p + kLiCapacity);
  hd.kind = Ld16(p + kLiKind);
  hd.back = int16_t(Ld16(p + kLiBack));
  hd.length = Ld32(p + kLiLength);
  hd.segments = Ld32(p + kLiSegments);
  hd.values = Ld32(p + kLiValues);
  hd.height = Ld16(p + kLiHeight);
  return hd;
}

void StoreHead(const Head& hd) {
  ChLocked c(hd.list);
  uint8_t* p = c.Data();
  St32(p + kLiTop, hd.top);
  St32(p + kLiCallback, hd.callback);
  St16(p + kLiBack, uint16_t(hd.back));
  St32(p + kLiLength, hd.length);
  St32(p + kLiSegments, hd.segments);
  St32(p + kLiValues, hd.values);
  St16(p + kLiHeight, hd.height);
  c.MarkModified();
}

Node Load(const Head& hd, ChHandle h) {
  Node nd;
  nd.h = h;
  const uint8_t* p = Raw(h);
  const uint8_t* entries;
  if (h == hd.list) {
    nd.inList = true;
    nd.n = Ld16(p + kLiCount);
    entries = p + kLiEntries;
  } else {
    uint16_t type = ChType(h);
    MA_CHECK(SlDebugFlag, type == hd.kind || type == kSlInnerType, "SlNode-- illegal node");
    nd.leaf = type != kSlInnerType;
    p = Raw(h);
    nd.parent = Ld32(p + kNdParent);
    nd.prev = Ld32(p + kNdPrev);
    nd.next = Ld32(p + kNdNext);
    nd.n = Ld16(p + kNdCount);
    nd.level = Ld16(p + kNdLevel);
    entries = p + kNdEntries;
  }
  MA_CHECK(SlDebugFlag, nd.n <= hd.cap, "SlNode-- count above capacity");
  for (uint32_t i = 0; i < nd.n; ++i)
    nd.e[i] = Entry{Ld32(entries + 8 * i), Ld32(entries + 8 * i + 4)};
  return nd;
}

void Store(const Head& hd, const Node& nd) {
  ChLocked c(nd.h);
  uint8_t* p = c.Data();
  uint8_t* entries;
  if (nd.inList) {
    St16(p + kLiCount, uint16_t(nd.n));
    entries = p + kLiEntries;
  } else {
    St32(p + kNdParent, nd.parent);
    St32(p + kNdPrev, nd.leaf ? nd.prev : 0);
    St32(p + kNdNext, nd.leaf ? nd.next : 0);
    St16(p + kNdCount, uint16_t(nd.n));
    St16(p + kNdLevel, nd.leaf ? 0 : nd.level);
    entries = p + kNdEntries;
  }
  for (uint32_t i = 0; i < hd.cap; ++i) {
    Entry x = i < nd.n ? nd.e[i] : Entry{};
    St32(entries + 8 * i, x.len);
    St32(entries + 8 * i + 4, x.val);
  }
  c.MarkModified();
}

ChHandle NewNode(const Head& hd, bool leaf, ChHandle near) {
  ChHandle h;
  void* p = ChCreate(leaf ? hd.kind : kSlInnerType, NodeBytes(hd.cap), near, &h);
  ChUnlockMod(p);
  return h;
}

// Leaves the list chunk holding no entries.
void ClearHeld(const Head& hd) {
  Node emptied;
  emptied.h = hd.list;
  emptied.inList = true;
  Store(hd, emptied);
}

void SetBackPointer(const Head& hd, uint32_t value, ChHandle node) {
  if (hd.back < 0 || value == 0) return;
  MA_CHECK(SlDebugFlag, ChSize(value) >= uint32_t(hd.back) + 4,
           "SlBackPointer-- value chunk too short");
  Put32(value, uint32_t(hd.back), node);
}

// Entries i0 .. n-1 of nd now live in nd: their children's parent links or
// their values' back pointers follow.
void Adopt(const Head& hd, const Node& nd, uint32_t i0 = 0) {
  for (uint32_t i = i0; i < nd.n; ++i) {
    if (nd.leaf) {
      SetBackPointer(hd, nd.e[i].val, nd.h);
    } else {
      Put32(nd.e[i].val, kNdParent, nd.h);
    }
  }
}

uint32_t IndexOfChild(const Node& parent, ChHandle child) {
  for (uint32_t i = 0; i < parent.n; ++i)
    if (parent.e[i].val == child) return i;
  MaAssertFailure("SlNode-- child not found in its parent");
}

// Adds delta to the subtree lengths above node h and to the total.
void SliPropagate(Head& hd, ChHandle h, uint32_t delta) {
  hd.length += delta;
  if (delta == 0 || h == hd.list) return;
  for (;;) {
    ChHandle parent = Ld32(Raw(h) + kNdParent);
    if (parent == hd.list) return;
    const uint8_t* p = Raw(parent);
    uint32_t n = Ld16(p + kNdCount), i = 0;
    while (i < n && Ld32(p + kNdEntries + 8 * i + 4) != h) ++i;
    MA_CHECK(SlDebugFlag, i < n, "SlNode-- child not found in its parent");
    ChLocked c(parent);
    uint8_t* len = c.Data() + kNdEntries + 8 * i;
    St32(len, Ld32(len) + delta);
    c.MarkModified();
    h = parent;
  }
}

void SliFix(Head& hd, Node& nd);

// Splits a node over capacity into as many nodes as it needs; the first
// keeps the node's handle.  Every piece adopts its entries (the first too:
// they may come from the list chunk).
void SliSplit(Head& hd, Node& nd) {
  uint32_t k = (nd.n + hd.cap - 1) / hd.cap;
  std::vector<Node> pieces(k);
  uint32_t at = 0;
  for (uint32_t j = 0; j < k; ++j) {
    Node& piece = pieces[j];
    uint32_t size = nd.n / k + (j < nd.n % k ? 1 : 0);
    piece.leaf = nd.leaf;
    piece.level = nd.level;
    piece.parent = nd.parent;
    piece.h = j == 0 ? nd.h : NewNode(hd, nd.leaf, nd.h);
    for (uint32_t i = 0; i < size; ++i) piece.e[piece.n++] = nd.e[at++];
  }
  if (nd.leaf) {
    for (uint32_t j = 0; j < k; ++j) {
      pieces[j].prev = j == 0 ? nd.prev : pieces[j - 1].h;
      pieces[j].next = j + 1 < k ? pieces[j + 1].h : nd.next;
    }
    if (nd.next) Put32(nd.next, kNdPrev, pieces[k - 1].h);
  }
  bool top = nd.parent == hd.list;
  if (top) {
    Node t;
    t.h = NewNode(hd, false, nd.h);
    t.leaf = false;
    t.parent = hd.list;
    t.level = nd.leaf ? 1 : uint16_t(nd.level + 1);
    for (Node& piece : pieces) {
      piece.parent = t.h;
      t.e[t.n++] = Entry{piece.Sum(), piece.h};
    }
    Store(hd, t);
    hd.top = t.h;
    ++hd.height;
  }
  for (const Node& piece : pieces) {
    Store(hd, piece);
    Adopt(hd, piece);
  }
  if (top) return;
  Node p = Load(hd, nd.parent);
  uint32_t i = IndexOfChild(p, nd.h);
  p.e[i].len = pieces[0].Sum();
  for (uint32_t j = 1; j < k; ++j) p.Insert(i + j, Entry{pieces[j].Sum(), pieces[j].h});
  SliFix(hd, p);
}

// A node other than the top holds fewer than capacity / 2 entries: it
// borrows from a neighbour under the same parent or merges with it.
void SliUnderflow(Head& hd, Node& nd) {
  Node p = Load(hd, nd.parent);
  uint32_t i = IndexOfChild(p, nd.h);
  uint32_t j = i > 0 ? i - 1 : i;  // the pair j, j + 1
  Node a = j == i ? nd : Load(hd, p.e[j].val);
  Node b = j == i ? Load(hd, p.e[j + 1].val) : nd;
  if (a.n + b.n <= hd.cap) {
    uint32_t from = a.n;
    for (uint32_t x = 0; x < b.n; ++x) a.e[a.n++] = b.e[x];
    if (a.leaf) {
      a.next = b.next;
      if (b.next) Put32(b.next, kNdPrev, a.h);
    }
    Store(hd, a);
    Adopt(hd, a, from);
    p.e[j].len += p.e[j + 1].len;
    p.Erase(j + 1);
    ChDestroy(b.h);
    SliFix(hd, p);
    return;
  }
  // Even out the pair.
  std::vector<Entry> all;
  for (uint32_t x = 0; x < a.n; ++x) all.push_back(a.e[x]);
  for (uint32_t x = 0; x < b.n; ++x) all.push_back(b.e[x]);
  uint32_t aSize = uint32_t(all.size() + 1) / 2;
  uint32_t oldA = a.n;
  a.n = b.n = 0;
  for (uint32_t x = 0; x < all.size(); ++x) {
    Node& t = x < aSize ? a : b;
    t.e[t.n++] = all[x];
  }
  Store(hd, a);
  Store(hd, b);
  if (aSize > oldA) {
    Adopt(hd, a, oldA);  // the tail of a came from b
  } else {
    Node moved = b;
    moved.n = oldA - aSize;  // the head of b came from a
    Adopt(hd, moved);
  }
  p.e[j].len = a.Sum();
  p.e[j + 1].len = b.Sum();
  Store(hd, p);
}

// Stores node nd, whose entries changed in memory, restoring the balance
// rules on the way (nd may be over capacity here, never in a chunk).
void SliFix(Head& hd, Node& nd) {
  if (nd.inList) {
    if (nd.n <= hd.cap) {
      Store(hd, nd);
      return;
    }
    Node leaf = nd;
    leaf.inList = false;
    leaf.h = NewNode(hd, true, hd.list);
    leaf.parent = hd.list;
    leaf.prev = leaf.next = 0;
    ClearHeld(hd);
    hd.top = leaf.h;
    hd.height = 1;
    SliSplit(hd, leaf);
    return;
  }
  if (nd.n > hd.cap) {
    SliSplit(hd, nd);
    return;
  }
  if (nd.parent != hd.list) {
    if (nd.n < hd.Min()) {
      SliUnderflow(hd, nd);
    } else {
      Store(hd, nd);
    }
    return;
  }
  // The top.
  if (!nd.leaf && nd.n == 1) {
    ChHandle child = nd.e[0].val;
    Put32(child, kNdParent, hd.list);
    hd.top = child;
    --hd.height;
    ChDestroy(nd.h);
    Node c = Load(hd, child);
    SliFix(hd, c);
    return;
  }
  if (nd.leaf) {
    Node held;
    held.h = hd.list;
    held.inList = true;
    held.n = nd.n;
    for (uint32_t i = 0; i < nd.n; ++i) held.e[i] = nd.e[i];
    Store(hd, held);
    Adopt(hd, held);
    hd.top = hd.list;
    hd.height = 0;
    ChDestroy(nd.h);
    return;
  }
  Store(hd, nd);
}

// ---------------------------------------------------------------------------
// Finding and entry-level steps.

// The leaf entry covering position.  REQUIRES: position < hd.length.
Loc Find(const Head& hd, uint32_t position) {
  ChHandle h = hd.top;
  uint32_t base = 0;
  for (uint16_t level = hd.height; level > 1; --level) {
    const uint8_t* p = Raw(h);
    uint32_t n = Ld16(p + kNdCount), i = 0;
    for (; i + 1 < n; ++i) {
      uint32_t len = Ld32(p + kNdEntries + 8 * i);
      if (position - base < len) break;
      base += len;
    }
    h = Ld32(p + kNdEntries + 8 * i + 4);
  }
  const uint8_t* p = Raw(h);
  uint32_t n = Ld16(p + (h == hd.list ? kLiCount : kNdCount));
  const uint8_t* entries = p + (h == hd.list ? kLiEntries : kNdEntries);
  Loc loc;
  loc.node = h;
  for (uint32_t i = 0; i < n; ++i) {
    Entry x{Ld32(entries + 8 * i), Ld32(entries + 8 * i + 4)};
    if (position - base < x.len || i + 1 == n) {
      loc.idx = i;
      loc.start = base;
      loc.e = x;
      break;
    }
    base += x.len;
  }
  MA_CHECK(SlDebugFlag, position - loc.start < loc.e.len, "SlFind-- position not covered");
  return loc;
}

// The last leaf (or the list chunk) and its entry count.
Loc FindEnd(const Head& hd) {
  ChHandle h = hd.top;
  for (uint16_t level = hd.height; level > 1; --level) {
    const uint8_t* p = Raw(h);
    h = Ld32(p + kNdEntries + 8 * (Ld16(p + kNdCount) - 1u) + 4);
  }
  Loc loc;
  loc.node = h;
  loc.idx = Ld16(Raw(h) + (h == hd.list ? kLiCount : kNdCount));
  loc.start = hd.length;
  return loc;
}

void CountEntry(Head& hd, const Entry& x, int sign) {
  hd.segments += uint32_t(sign);
  if (x.val) hd.values += uint32_t(sign);
}

void InsertEntry(Head& hd, ChHandle node, uint32_t idx, Entry x) {
  Node nd = Load(hd, node);
  nd.Insert(idx, x);
  CountEntry(hd, x, 1);
  SetBackPointer(hd, x.val, node);
  SliPropagate(hd, node, x.len);
  SliFix(hd, nd);
}

void RemoveEntry(Head& hd, const Loc& at) {
  Node nd = Load(hd, at.node);
  nd.Erase(at.idx);
  CountEntry(hd, at.e, -1);
  SliPropagate(hd, at.node, 0u - at.e.len);
  SliFix(hd, nd);
}

void SetEntry(Head& hd, const Loc& at, Entry x) {
  ChLocked c(at.node);
  uint8_t* p = c.Data() + (at.node == hd.list ? kLiEntries : kNdEntries) + 8 * at.idx;
  St32(p, x.len);
  St32(p + 4, x.val);
  c.MarkModified();
  CountEntry(hd, at.e, -1);
  CountEntry(hd, x, 1);
  if (x.val != at.e.val) SetBackPointer(hd, x.val, at.node);
  SliPropagate(hd, at.node, x.len - at.e.len);
}

// Joins the gaps on both sides of the boundary before position.
void SlcJoinGaps(Head& hd, uint32_t position) {
  if (position == 0 || position >= hd.length) return;
  Loc b = Find(hd, position);
  if (b.start != position || b.e.val != 0) return;
  Loc a = Find(hd, position - 1);
  if (a.e.val != 0) return;
  RemoveEntry(hd, b);
  a = Find(hd, position - 1);
  SetEntry(hd, a, Entry{a.e.len + b.e.len, 0});
}

void Append(Head& hd, Entry x) {
  if (x.len == 0) return;
  MA_CHECK(SlDebugFlag, uint64_t(hd.length) + x.len <= 0xFFFFFFFFull,
           "SlAddSeg-- list too long");
  uint32_t old = hd.length;
  Loc end = FindEnd(hd);
  InsertEntry(hd, end.node, end.idx, x);
  if (x.val == 0) SlcJoinGaps(hd, old);
}

void CheckValue(const Head& hd, uint32_t value) {
  if (!SlDebugFlag || hd.kind != kSlHandleLeaf || value == 0) return;
  if (!ChIsLegal(value) || ChGetFile(value) != ChGetFile(hd.list) ||
      (ChGetFile(value) == nullptr && ChPartOf(value) != ChPartOf(hd.list)))
    MaAssertFailure("SlAddSeg--Segment not in same chunk file");
}

void AddSeg(Head& hd, uint32_t value, uint32_t position, uint32_t length) {
  if (length == 0) return;
  CheckValue(hd, value);
  if (position > hd.length) Append(hd, Entry{position - hd.length, 0});
  if (position == hd.length) {
    Append(hd, Entry{length, value});
    return;
  }
  MA_CHECK(SlDebugFlag, uint64_t(hd.length) + length <= 0xFFFFFFFFull,
           "SlAddSeg-- list too long");
  Loc s = Find(hd, position);
  if (s.start != position) {
    uint32_t head = position - s.start;
    SetEntry(hd, s, Entry{head, s.e.val});
    Loc again = Find(hd, s.start);
    InsertEntry(hd, again.node, again.idx + 1, Entry{s.e.len - head, s.e.val});
    s = Find(hd, position);
  }
  InsertEntry(hd, s.node, s.idx, Entry{length, value});
  if (value == 0) {
    SlcJoinGaps(hd, position + length);
    SlcJoinGaps(hd, position);
  }
}

// Removes a range; the values that lose positions are noted in *cuts
// (null: the values leave without notice).
void Subtract(Head& hd, uint32_t position, uint32_t length, Cuts* cuts) {
  if (position >= hd.length) return;
  length = std::min(length, hd.length - position);
  while (length > 0) {
    Loc s = Find(hd, position);
    uint32_t end =
        uint32_t(std::min(uint64_t(s.start) + s.e.len, uint64_t(position) + length));
    uint32_t cut = end - position;
    if (cut == s.e.len) {
      RemoveEntry(hd, s);
    } else {
      SetEntry(hd, s, Entry{s.e.len - cut, s.e.val});
    }
    if (s.e.val && cuts) cuts->push_back(PendingCut{s.e.val, cut, s.e.len - cut});
    length -= cut;
  }
  SlcJoinGaps(hd, position);
}

// The segments of a range, cut to it; a range past the end stops there.
std::vector<Entry> Collect(const Head& hd, uint32_t position, uint32_t length) {
  std::vector<Entry> out;
  if (position >= hd.length) return out;
  uint64_t end = std::min(uint64_t(position) + length, uint64_t(hd.length));
  SlSegIter it = SlSegStart(hd.list, position);
  uint32_t value, start, len;
  while (SlSegNext(it, &value, &start, &len) && start < end) {
    uint64_t from = std::max<uint64_t>(start, position);
    uint64_t to = std::min<uint64_t>(uint64_t(start) + len, end);
    out.push_back(Entry{uint32_t(to - from), value});
  }
  return out;
}

// Every node below h (h included unless it is the list), leaves with their
// entries in order.
void CollectNodes(const Head& hd, ChHandle h, uint16_t height,
                  std::vector<ChHandle>* nodes, std::vector<Entry>* entries) {
  Node nd = Load(hd, h);
  if (!nd.inList) nodes->push_back(h);
  if (height <= 1) {
    if (entries)
      for (uint32_t i = 0; i < nd.n; ++i) entries->push_back(nd.e[i]);
    return;
  }
  for (uint32_t i = 0; i < nd.n; ++i)
    CollectNodes(hd, nd.e[i].val, uint16_t(height - 1), nodes, entries);
}

// Takes every segment out, in order, without notice to the values: every
// node goes and the list chunk holds no entries.
std::vector<Entry> TakeAll(Head& hd) {
  std::vector<ChHandle> nodes;
  std::vector<Entry> entries;
  CollectNodes(hd, hd.top, hd.height, &nodes, &entries);
  for (ChHandle h : nodes) ChDestroy(h);
  ClearHeld(hd);
  hd.top = hd.list;
  hd.height = 0;
  hd.length = hd.segments = hd.values = 0;
  return entries;
}

uint32_t DupValue(const Head& hd, uint32_t value) {
  if (!value || !hd.callback) return value;
  const SlCallback* cb = SlCbLookup(hd.callback);
  if (!cb || !cb->methods[kSlCbDup]) return value;
  return cb->methods[kSlCbDup](hd.list, value, 0, 0);
}

ChHandle CreateLike(const Head& hd, ChHandle near) {
  return SlCreate(hd.back, hd.callback, 0, near, hd.cap, hd.kind);
}

void CheckPair(const Head& a, const Head& b, const char* fn) {
  MA_CHECK(SlDebugFlag, a.kind == b.kind, (std::string(fn) + "-- lists of different kinds").c_str());
  MA_CHECK(SlDebugFlag,
           a.kind != kSlHandleLeaf || ChGetFile(a.list) == ChGetFile(b.list),
           "SlAddSeg--Segment not in same chunk file");
}

}  // namespace

// ---------------------------------------------------------------------------
// Callbacks.

ChHandle SlCbRegister(uint8_t number, const SlCallback* cb) {
  MA_CHECK(SlDebugFlag, number != 0, "SlCbRegister-- number 0");
  CallbackTable()[number] = cb;
  return CallbackHandle(number);
}

const SlCallback* SlCbLookup(ChHandle callback) {
  if (callback == 0 || uint32_t(ChPartOf(callback)) != ChFiConstant() ||
      ChPageOf(callback) != 0)
    return nullptr;
  return CallbackTable()[callback & 0xFF];
}

// ---------------------------------------------------------------------------
// Lists.

ChHandle SlCreate(int16_t backOffset, ChHandle callback, ChHandle appData,
                  ChHandle near, uint16_t capacity, uint16_t kind) {
  MA_CHECK(SlDebugFlag, capacity >= kSlMinCapacity && capacity <= kSlMaxCapacity,
           "SlCreate-- capacity out of range");
  MA_CHECK(SlDebugFlag, kind == kSlPlainLeaf || kind == kSlHandleLeaf,
           "SlCreate-- bad leaf kind");
  MA_CHECK(SlDebugFlag, backOffset == kSlNoBackPointer || (backOffset >= 0 && kind == kSlHandleLeaf),
           "SlCreate-- back pointers need handle values");
  if (callback) {
    const SlCallback* cb = SlCbLookup(callback);
    if (!cb || cb->count != kSlCbMethods)
      MaAssertFailure("SlCreate-- wrong number of Callback cases");
  }
  ChHandle list;
  auto* p = static_cast<uint8_t*>(ChCreate(kSlListType, ListBytes(capacity), near, &list));
  St32(p + kLiTop, list);
  St32(p + kLiSelf, list);
  St32(p + kLiCallback, callback);
  St32(p + kLiAppData, appData);
  St16(p + kLiCapacity, capacity);
  St16(p + kLiKind, kind);
  St16(p + kLiBack, uint16_t(backOffset));
  ChUnlockMod(p);
  return list;
}

void SlDestroy(ChHandle list) {
  Head hd = LoadHead(list, "SlDestroy");
  Cuts cuts;
  for (const Entry& x : TakeAll(hd))
    if (x.val) cuts.push_back(PendingCut{x.val, x.len, 0});
  StoreHead(hd);
  RunCuts(list, hd.callback, cuts);
  ChDestroy(list);
}

bool SlIsLegal(ChHandle list) {
  if (!ChLiChunkIsLive(list) || ChType(list) != kSlListType) return false;
  const uint8_t* p = Raw(list);
  uint16_t cap = Ld16(p + kLiCapacity), kind = Ld16(p + kLiKind);
  return cap >= kSlMinCapacity && cap <= kSlMaxCapacity && ChSize(list) >= ListBytes(cap) &&
         (kind == kSlPlainLeaf || kind == kSlHandleLeaf);
}

bool SlIsEmpty(ChHandle list) { return LoadHead(list, "SlIsEmpty").values == 0; }
uint32_t SlGetLength(ChHandle list) { return LoadHead(list, "SlGetLength").length; }
uint32_t SlGetApproxCount(ChHandle list) { return LoadHead(list, "SlGetApproxCount").values; }

SlParams SlGetParams(ChHandle list) {
  Head hd = LoadHead(list, "SlGetParams");
  return SlParams{hd.back, hd.callback, hd.cap, hd.kind};
}

void SlSetParams(ChHandle list, const SlParams& params) {
  Head hd = LoadHead(list, "SlSetParams");
  MA_CHECK(SlDebugFlag, params.capacity == hd.cap && params.kind == hd.kind,
           "SlSetParams-- capacity and leaf kind are fixed");
  if (params.callback) {
    const SlCallback* cb = SlCbLookup(params.callback);
    if (!cb || cb->count != kSlCbMethods)
      MaAssertFailure("SlCreate-- wrong number of Callback cases");
  }
  MA_CHECK(SlDebugFlag,
           params.backOffset == kSlNoBackPointer ||
               (params.backOffset >= 0 && hd.kind == kSlHandleLeaf),
           "SlCreate-- back pointers need handle values");
  hd.callback = params.callback;
  bool rewrite = params.backOffset != hd.back && params.backOffset >= 0;
  hd.back = params.backOffset;
  if (rewrite) {
    std::vector<ChHandle> nodes;
    if (hd.height == 0) {
      Adopt(hd, Load(hd, list));
    } else {
      CollectNodes(hd, hd.top, hd.height, &nodes, nullptr);
      for (ChHandle h : nodes) {
        Node nd = Load(hd, h);
        if (nd.leaf) Adopt(hd, nd);
      }
    }
  }
  StoreHead(hd);
}

ChHandle SlGetAppData(ChHandle list) {
  LoadHead(list, "SlGetAppData");
  return Ld32(Raw(list) + kLiAppData);
}

void SlSetAppData(ChHandle list, ChHandle appData) {
  LoadHead(list, "SlSetAppData");
  Put32(list, kLiAppData, appData);
}

// ---------------------------------------------------------------------------
// Positional operations.

uint32_t SlGetInterval(ChHandle list, uint32_t position, uint32_t* start,
                       uint32_t* length) {
  Head hd = LoadHead(list, "SlGetInterval");
  if (position >= hd.length) {
    if (start) *start = hd.length;
    if (length) *length = ~hd.length;
    return 0;
  }
  Loc s = Find(hd, position);
  if (start) *start = s.start;
  if (length) *length = s.e.len;
  return s.e.val;
}

void SlAddSeg(ChHandle list, uint32_t value, uint32_t position, uint32_t length) {
  Head hd = LoadHead(list, "SlAddSeg");
  AddSeg(hd, value, position, length);
  StoreHead(hd);
}

void SlSubtract(ChHandle list, uint32_t position, uint32_t length) {
  Head hd = LoadHead(list, "SlSubtract");
  Cuts cuts;
  Subtract(hd, position, length, &cuts);
  StoreHead(hd);
  RunCuts(list, hd.callback, cuts);
}

uint32_t SlRemoveSeg(ChHandle list, uint32_t position, uint32_t* length) {
  Head hd = LoadHead(list, "SlRemoveSeg");
  if (length) *length = 0;
  if (position >= hd.length) return 0;
  Loc s = Find(hd, position);
  RemoveEntry(hd, s);
  SlcJoinGaps(hd, s.start);
  StoreHead(hd);
  if (length) *length = s.e.len;
  return s.e.val;
}

void SlReplaceSeg(ChHandle list, uint32_t value, uint32_t position,
                  uint32_t oldLength, uint32_t newLength) {
  Head hd = LoadHead(list, "SlReplaceSeg");
  CheckValue(hd, value);
  uint64_t end = uint64_t(position) + oldLength;
  MA_CHECK(SlDebugFlag, end <= 0xFFFFFFFFull, "SlReplaceSeg-- range past the last position");
  if (end > hd.length) Append(hd, Entry{uint32_t(end - hd.length), 0});
  Cuts cuts;
  if (oldLength == newLength && oldLength > 0) {
    Loc s = Find(hd, position);
    if (s.start == position && s.e.len == oldLength && s.e.val == 0) {
      if (value) SetEntry(hd, s, Entry{oldLength, value});
      StoreHead(hd);
      return;
    }
  }
  Subtract(hd, position, oldLength, &cuts);
  AddSeg(hd, value, position, newLength);
  StoreHead(hd);
  RunCuts(list, hd.callback, cuts);
}

// ---------------------------------------------------------------------------
// Moving ranges between lists.

ChHandle SlCutInterval(ChHandle list, uint32_t position, uint32_t length,
                       ChHandle near) {
  Head hd = LoadHead(list, "SlCutInterval");
  ChHandle out = CreateLike(hd, near);
  Head od = LoadHead(out, "SlCutInterval");
  CheckPair(hd, od, "SlCutInterval");
  std::vector<Entry> pieces = Collect(hd, position, length);
  Subtract(hd, position, length, nullptr);
  StoreHead(hd);
  for (const Entry& x : pieces) Append(od, x);
  StoreHead(od);
  return out;
}

ChHandle SlSplit(ChHandle list, uint32_t position, ChHandle near) {
  uint32_t length = SlGetLength(list);
  return SlCutInterval(list, position, position < length ? length - position : 0, near);
}

ChHandle SlCopyInterval(ChHandle list, uint32_t position, uint32_t length,
                        ChHandle near) {
  Head hd = LoadHead(list, "SlCopyInterval");
  std::vector<Entry> pieces = Collect(hd, position, length);
  ChHandle out = CreateLike(hd, near);
  Head od = LoadHead(out, "SlCopyInterval");
  CheckPair(hd, od, "SlCopyInterval");
  for (const Entry& x : pieces) Append(od, Entry{x.len, DupValue(hd, x.val)});
  StoreHead(od);
  return out;
}

void SlPasteInterval(ChHandle list, uint32_t position, ChHandle other) {
  Head hd = LoadHead(list, "SlPasteInterval");
  Head od = LoadHead(other, "SlPasteInterval");
  CheckPair(hd, od, "SlPasteInterval");
  std::vector<Entry> pieces = TakeAll(od);
  ChDestroy(other);
  if (position > hd.length) Append(hd, Entry{position - hd.length, 0});
  for (const Entry& x : pieces) {
    AddSeg(hd, x.val, position, x.len);
    position += x.len;
  }
  StoreHead(hd);
}

void SlJoin(ChHandle list, ChHandle other) {
  SlPasteInterval(list, SlGetLength(list), other);
}

void SlPropagate(ChHandle from, ChHandle to, uint32_t position, uint32_t length) {
  Head fd = LoadHead(from, "SlPropagate");
  Head td = LoadHead(to, "SlPropagate");
  CheckPair(fd, td, "SlPropagate");
  std::vector<Entry> pieces = Collect(fd, position, length);
  uint64_t end = uint64_t(position) + length;
  MA_CHECK(SlDebugFlag, end <= 0xFFFFFFFFull, "SlPropagate-- range past the last position");
  if (end > td.length) Append(td, Entry{uint32_t(end - td.length), 0});
  Cuts cuts;
  Subtract(td, position, length, &cuts);
  uint32_t at = position;
  for (const Entry& x : pieces) {
    AddSeg(td, DupValue(fd, x.val), at, x.len);
    at += x.len;
  }
  if (at < end) AddSeg(td, 0, at, uint32_t(end - at));
  StoreHead(td);
  RunCuts(to, td.callback, cuts);
}

// ---------------------------------------------------------------------------
// Walking segments.

SlSegIter SlSegStart(ChHandle list, uint32_t position) {
  Head hd = LoadHead(list, "SlSegStart");
  SlSegIter it;
  it.list = list;
  if (position >= hd.length) return it;
  Loc s = Find(hd, position);
  it.node = s.node;
  it.index = uint16_t(s.idx);
  it.start = s.start;
  it.done = false;
  return it;
}

bool SlSegNext(SlSegIter& iter, uint32_t* value, uint32_t* start, uint32_t* length) {
  if (iter.done) return false;
  bool inList = iter.node == iter.list;
  const uint8_t* p = Raw(iter.node);
  uint32_t n = Ld16(p + (inList ? kLiCount : kNdCount));
  const uint8_t* e = p + (inList ? kLiEntries : kNdEntries) + 8 * iter.index;
  uint32_t len = Ld32(e), val = Ld32(e + 4);
  if (value) *value = val;
  if (start) *start = iter.start;
  if (length) *length = len;
  iter.start += len;
  if (++iter.index >= n) {
    ChHandle next = inList ? 0 : Ld32(p + kNdNext);
    iter.index = 0;
    iter.node = next;
    iter.done = next == 0;
  }
  return true;
}

void SlSegStop(SlSegIter& iter) {
  iter.done = true;
  iter.node = 0;
}

namespace {

// The node holding value's segment, from the back pointer, checked to hold
// it; 0 when it does not.
bool Locate(const Head& hd, ChHandle value, uint32_t* start, uint32_t* length) {
  if (hd.back < 0 || !ChLiChunkIsLive(value) || ChSize(value) < uint32_t(hd.back) + 4)
    return false;
  ChHandle node = Ld32(Raw(value) + hd.back);
  if (node != hd.list && (!ChLiChunkIsLive(node) || ChType(node) != hd.kind)) return false;
  Node nd = Load(hd, node);
  uint32_t pos = 0, i = 0;
  for (; i < nd.n && nd.e[i].val != value; ++i) pos += nd.e[i].len;
  if (i == nd.n) return false;
  if (length) *length = nd.e[i].len;
  ChHandle h = node;
  while (h != hd.list) {
    ChHandle parent = nd.parent;
    if (parent == hd.list) break;
    if (!ChLiChunkIsLive(parent) || ChType(parent) != kSlInnerType) return false;
    nd = Load(hd, parent);
    uint32_t j = 0;
    for (; j < nd.n && nd.e[j].val != h; ++j) pos += nd.e[j].len;
    if (j == nd.n) return false;
    h = parent;
  }
  if (start) *start = pos;
  return true;
}

}  // namespace

bool SlSegGetLoc(ChHandle list, ChHandle value, uint32_t* start, uint32_t* length) {
  return Locate(LoadHead(list, "SlSegGetLoc"), value, start, length);
}

ChHandle SlSegGetRoot(ChHandle value, int16_t backOffset) {
  if (backOffset < 0 || !ChLiChunkIsLive(value) || ChSize(value) < uint32_t(backOffset) + 4)
    return 0;
  ChHandle h = Ld32(Raw(value) + backOffset);
  for (int guard = 0; guard < 64; ++guard) {
    if (!ChLiChunkIsLive(h)) return 0;
    uint16_t type = ChType(h);
    if (type == kSlListType) return h;
    if (type != kSlInnerType && type != kSlPlainLeaf && type != kSlHandleLeaf) return 0;
    h = Ld32(Raw(h) + kNdParent);
  }
  return 0;
}

uint32_t SlSegPreceding(ChHandle list, ChHandle value, uint32_t* start,
                        uint32_t* length) {
  uint32_t s = 0, len = 0;
  if (!SlSegGetLoc(list, value, &s, &len) || s == 0) {
    if (start) *start = 0;
    if (length) *length = 0;
    return 0;
  }
  return SlGetInterval(list, s - 1, start, length);
}

uint32_t SlSegFollowing(ChHandle list, ChHandle value, uint32_t* start,
                        uint32_t* length) {
  uint32_t s = 0, len = 0;
  if (!SlSegGetLoc(list, value, &s, &len) || s + len >= SlGetLength(list)) {
    if (start) *start = 0;
    if (length) *length = 0;
    return 0;
  }
  return SlGetInterval(list, s + len, start, length);
}

// ---------------------------------------------------------------------------
// Checks and repair.

namespace {

struct Checker {
  Checker(const Head& head, std::string* out) : hd(head), report(out) {}
  const Head& hd;
  std::string* report;
  int problems = 0;
  std::vector<ChHandle> leaves;          // in order
  std::vector<std::pair<ChHandle, Entry>> segs;  // node, entry; in order
  std::set<ChHandle> seen;

  void Problem(const std::string& what) {
    if (++problems <= 20) *report += what + "\n";
  }
  static std::string Hex(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
  }

  // Checks the subtree at h (expected level: 0 for a leaf) under parent;
  // returns its length.
  uint32_t Walk(ChHandle h, ChHandle parent, uint16_t level, bool top) {
    std::string at = "node " + Hex(h) + ": ";
    if (!ChLiChunkIsLive(h)) {
      Problem(at + "not a chunk");
      return 0;
    }
    if (!seen.insert(h).second) {
      Problem(at + "reached twice");
      return 0;
    }
    uint16_t type = ChType(h);
    uint16_t want = level == 0 ? hd.kind : kSlInnerType;
    if (type != want) {
      Problem(at + "type " + std::to_string(type) + ", expected " + std::to_string(want));
      return 0;
    }
    if (ChSize(h) < NodeBytes(hd.cap)) {
      Problem(at + "too short for the capacity");
      return 0;
    }
    const uint8_t* p = Raw(h);
    uint32_t n = Ld16(p + kNdCount);
    if (Ld32(p + kNdParent) != parent) Problem(at + "wrong parent link");
    if (n > hd.cap) {
      Problem(at + std::to_string(n) + " entries, capacity " + std::to_string(hd.cap));
      return 0;
    }
    if (!top && n < hd.Min())
      Problem(at + std::to_string(n) + " entries, fewer than half the capacity");
    if (top && level > 0 && n < 2) Problem(at + "inner top node with one entry");
    if (top && level == 0) Problem(at + "a top leaf belongs in the list chunk");
    if (level > 0 && Ld16(p + kNdLevel) != level)
      Problem(at + "level " + std::to_string(Ld16(p + kNdLevel)) + ", expected " +
              std::to_string(level));
    std::vector<Entry> e(n);
    for (uint32_t i = 0; i < n; ++i) e[i] = Entry{Ld32(p + kNdEntries + 8 * i), Ld32(p + kNdEntries + 8 * i + 4)};
    uint32_t total = 0;
    if (level == 0) {
      leaves.push_back(h);
      for (const Entry& x : e) {
        segs.emplace_back(h, x);
        total += x.len;
      }
      return total;
    }
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t sub = Walk(e[i].val, h, uint16_t(level - 1), false);
      if (sub != e[i].len)
        Problem(at + "entry " + std::to_string(i) + " length " + std::to_string(e[i].len) +
                ", subtree holds " + std::to_string(sub));
      total += e[i].len;
    }
    return total;
  }
};

}  // namespace

bool SlConsistency(ChHandle list, std::string* report) {
  std::string scratch;
  if (!report) report = &scratch;
  if (!SlIsLegal(list)) {
    *report += "list " + Checker::Hex(list) + ": not a segment list\n";
    return false;
  }
  Head hd = LoadHead(list, "SlConsistency");
  Checker c(hd, report);
  const uint8_t* p = Raw(list);
  if (Ld32(p + kLiSelf) != list) c.Problem("list: second word is not the list's handle");
  if (hd.back != kSlNoBackPointer && (hd.back < 0 || hd.kind != kSlHandleLeaf))
    c.Problem("list: back-pointer offset " + std::to_string(hd.back));
  if (hd.callback) {
    const SlCallback* cb = SlCbLookup(hd.callback);
    if (!cb || cb->count != kSlCbMethods) c.Problem("list: callback not registered");
  }
  uint32_t held = Ld16(p + kLiCount);
  uint32_t total = 0;
  if (hd.height == 0) {
    if (hd.top != list) c.Problem("list: height 0 but the top is " + Checker::Hex(hd.top));
    if (held > hd.cap) {
      c.Problem("list: " + std::to_string(held) + " entries, capacity " + std::to_string(hd.cap));
      held = hd.cap;
    }
    c.leaves.push_back(list);
    for (uint32_t i = 0; i < held; ++i) {
      Entry x{Ld32(p + kLiEntries + 8 * i), Ld32(p + kLiEntries + 8 * i + 4)};
      c.segs.emplace_back(list, x);
      total += x.len;
    }
  } else {
    if (held != 0) c.Problem("list: entries held besides a top node");
    if (hd.height == 1) c.Problem("list: height 1 (a top leaf)");
    total = c.Walk(hd.top, list, uint16_t(hd.height - 1), true);
  }
  if (c.problems) return false;
  // Leaf chain.
  if (hd.height > 0) {
    for (size_t i = 0; i < c.leaves.size(); ++i) {
      const uint8_t* q = Raw(c.leaves[i]);
      ChHandle prev = i ? c.leaves[i - 1] : 0;
      ChHandle next = i + 1 < c.leaves.size() ? c.leaves[i + 1] : 0;
      if (Ld32(q + kNdPrev) != prev || Ld32(q + kNdNext) != next)
        c.Problem("node " + Checker::Hex(c.leaves[i]) + ": wrong neighbour links");
    }
  }
  // Segments.
  uint32_t values = 0;
  std::map<uint32_t, std::set<ChHandle>> holders;
  for (size_t i = 0; i < c.segs.size(); ++i) {
    const auto& [node, x] = c.segs[i];
    if (x.len == 0) c.Problem("segment " + std::to_string(i) + ": length 0");
    if (x.val == 0 && i > 0 && c.segs[i - 1].second.val == 0)
      c.Problem("segment " + std::to_string(i) + ": gap next to a gap");
    if (x.val) {
      ++values;
      holders[x.val].insert(node);
      if (hd.kind == kSlHandleLeaf &&
          (!ChLiChunkIsLive(x.val) || ChGetFile(x.val) != ChGetFile(list)))
        c.Problem("segment " + std::to_string(i) + ": value " + Checker::Hex(x.val) +
                  " is not a chunk of the list's file");
    }
  }
  if (hd.back >= 0) {
    for (const auto& [value, nodes] : holders) {
      if (!ChLiChunkIsLive(value) || ChSize(value) < uint32_t(hd.back) + 4) continue;
      ChHandle bp = Ld32(Raw(value) + hd.back);
      if (!nodes.count(bp))
        c.Problem("value " + Checker::Hex(value) + ": back pointer " + Checker::Hex(bp) +
                  " does not name its node");
    }
  }
  if (total != hd.length)
    c.Problem("list: length " + std::to_string(hd.length) + ", segments hold " + std::to_string(total));
  if (c.segs.size() != hd.segments)
    c.Problem("list: " + std::to_string(hd.segments) + " segments counted, " +
              std::to_string(c.segs.size()) + " found");
  if (values != hd.values)
    c.Problem("list: " + std::to_string(hd.values) + " values counted, " +
              std::to_string(values) + " found");
  return c.problems == 0;
}

void SlCheck(ChHandle list) {
  std::string report;
  if (SlConsistency(list, &report))
    return;
  MaAssertFailure("SlCheck-- " + report.substr(0, report.find('\n')));
}

void SlRepair(ChHandle list) {
  Head hd = LoadHead(list, "SlRepair");
  std::vector<Entry> entries = TakeAll(hd);
  Put32(list, kLiSelf, list);
  for (const Entry& x : entries) Append(hd, x);
  StoreHead(hd);
}

// ---------------------------------------------------------------------------
// Package.

void SlRegisterTypes() {
  // The list chunk: the entries it holds are counted at offset 22 and typed
  // by the leaf kind at offset 18.
  UtLayout list;
  list.Times(4, kUtHandle).Times(4, kUtInt16).Times(3, kUtInt32).Times(2, kUtInt16);
  list.Op(kUtIfEqual, uint16_t(kLiKind), kSlHandleLeaf, 6)
      .Op(kUtGroupCount16, uint16_t(kLiCount)).Op(kUtInt32).Op(kUtHandle).Op(kUtGroupEnd);
  list.Op(kUtIfEqual, uint16_t(kLiKind), kSlPlainLeaf, 6)
      .Op(kUtGroupCount16, uint16_t(kLiCount)).Op(kUtInt32).Op(kUtInt32).Op(kUtGroupEnd);
  UtRegisterBuiltin(kSlListType, list.Done());
  for (uint16_t type : {kSlInnerType, kSlPlainLeaf, kSlHandleLeaf}) {
    UtLayout node;
    node.Times(3, kUtHandle).Times(2, kUtInt16);
    // Group counts are read at offsets from the start of the chunk.
    node.Op(kUtGroupCount16, uint16_t(kNdCount))
        .Op(kUtInt32)
        .Op(type == kSlPlainLeaf ? kUtInt32 : kUtHandle)
        .Op(kUtGroupEnd);
    UtRegisterBuiltin(type, node.Done());
  }
}

uint16_t SlInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    SlRegisterTypes();
    return uint16_t(0);
  };
  steps.init2 = [] {};
  steps.term2 = [] {};
  uint16_t result = PkgDispatch(slPkg, "SlInitRtns", selector, value, steps);
  if (selector == kPkgDebug) SlDebugFlag = slPkg.debug;
  return result;
}

ChHandle IvSlCreate(ChHandle near) {
  return SlCreate(kSlNoBackPointer, 0, 0, near, 8, kSlPlainLeaf);
}

uint16_t IvSlInitRtns(int selector, int32_t value) {
  return PkgDispatch(ivSlPkg, "IvSlInitRtns", selector, value, PkgSteps{});
}

}  // namespace quil
