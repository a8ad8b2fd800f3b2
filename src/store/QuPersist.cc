// The persistent queue: entries in chunks, their nodes in two heap-ordered,
// size-balanced trees in memory, and the persistent half of QuProcess.
#include "QuPersist.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "Ht.h"
#include "Ma.h"
#include "Qu.h"

namespace quil {

bool QuPersistDebugFlag = true;

namespace {

enum class QuTree : uint8_t { kNone, kReady, kDeferred };

// A queued entry (the node of the data model).  Node numbers are indices in
// the pool; a free node has no tree and is chained through `parent`.
struct QuNode {
  uint16_t mark = 0;
  QuTree tree = QuTree::kNone;
  int32_t parent = -1, left = -1, right = -1;
  int32_t leftCount = 0, rightCount = 0;
  ChHandle chunk = 0;
  int32_t slot = 0;
  int32_t routineId = 0;
  int32_t priority = 0;
  // Deferred nodes.
  int32_t date = 0, time = 0;
  int64_t deadline = 0;  // SysTime() when due, unless byCalendar
  bool byCalendar = false;
};

struct QuState {
  PkgState pkg;
  std::vector<QuNode> nodes;
  int32_t freeNodes = -1;
  int32_t ready = -1;     // root of the ready tree
  int32_t deferred = -1;  // root of the deferred tree
  std::unordered_map<int32_t, QuRoutine> routines;
  void (*calendar)(int32_t*, int32_t*) = nullptr;
};

QuState& Q() {
  static QuState q;
  return q;
}

QuNode& N(int32_t n) { return Q().nodes[size_t(n)]; }

int32_t& RootOf(QuTree tree) { return tree == QuTree::kReady ? Q().ready : Q().deferred; }

// True when a must come before b in its tree.
bool Before(const QuNode& a, const QuNode& b) {
  if (a.tree == QuTree::kReady) return a.priority > b.priority;
  return a.date != b.date ? a.date < b.date : a.time < b.time;
}

int32_t SizeOf(int32_t n) { return n < 0 ? 0 : 1 + N(n).leftCount + N(n).rightCount; }

int32_t NodeAlloc() {
  QuState& q = Q();
  int32_t n = q.freeNodes;
  if (n >= 0) {
    q.freeNodes = N(n).parent;
  } else {
    n = int32_t(q.nodes.size());
    q.nodes.emplace_back();
  }
  N(n) = QuNode();
  N(n).mark = kQuNodeMark;
  return n;
}

// A new node for the entry at chunk and slot, not yet in its tree.
int32_t NodeFor(ChHandle chunk, int32_t slot, const QuEntry& e, QuTree tree) {
  int32_t n = NodeAlloc();
  QuNode& x = N(n);
  x.tree = tree;
  x.chunk = chunk;
  x.slot = slot;
  x.routineId = e.routineId;
  x.priority = e.priority;
  return n;
}

void NodeFree(int32_t n) {
  N(n) = QuNode();
  N(n).parent = Q().freeNodes;
  Q().freeNodes = n;
}

// Walks down from the root; where n comes before the resident node, n takes
// its place and the resident goes on down instead.  Each step descends
// into the smaller subtree, the left one on equal counts.
void Insert(int32_t n) {
  int32_t* link = &RootOf(N(n).tree);
  int32_t parent = -1;
  while (*link >= 0) {
    int32_t here = *link;
    if (Before(N(n), N(here))) {
      QuNode& a = N(n);
      QuNode& r = N(here);
      a.parent = r.parent;
      a.left = r.left;
      a.right = r.right;
      a.leftCount = r.leftCount;
      a.rightCount = r.rightCount;
      if (a.left >= 0) N(a.left).parent = n;
      if (a.right >= 0) N(a.right).parent = n;
      *link = n;
      r.left = r.right = -1;
      r.leftCount = r.rightCount = 0;
      std::swap(n, here);
    }
    QuNode& h = N(here);
    parent = here;
    if (h.leftCount <= h.rightCount) {
      ++h.leftCount;
      link = &h.left;
    } else {
      ++h.rightCount;
      link = &h.right;
    }
  }
  *link = n;
  QuNode& a = N(n);
  a.parent = parent;
  a.left = a.right = -1;
  a.leftCount = a.rightCount = 0;
}

// Merges two heap-ordered subtrees: the one whose root comes first keeps its
// place and the other goes into its smaller subtree.  Returns the root.
int32_t Merge(int32_t a, int32_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  if (Before(N(b), N(a))) std::swap(a, b);
  int32_t added = SizeOf(b);
  QuNode& top = N(a);
  if (top.leftCount <= top.rightCount) {
    top.left = Merge(top.left, b);
    N(top.left).parent = a;
    top.leftCount += added;
  } else {
    top.right = Merge(top.right, b);
    N(top.right).parent = a;
    top.rightCount += added;
  }
  return a;
}

// Takes n out of its tree (the node itself stays allocated).
void Remove(int32_t n) {
  QuNode& x = N(n);
  int32_t merged = Merge(x.left, x.right);
  int32_t p = x.parent;
  if (merged >= 0) N(merged).parent = p;
  if (p < 0) {
    RootOf(x.tree) = merged;
  } else {
    bool left = N(p).left == n;
    (left ? N(p).left : N(p).right) = merged;
    // Every ancestor's subtree on this side lost one node.
    for (int32_t at = p; at >= 0;) {
      if (left) --N(at).leftCount; else --N(at).rightCount;
      int32_t child = at;
      at = N(at).parent;
      if (at >= 0) left = N(at).left == child;
    }
  }
  x.parent = x.left = x.right = -1;
  x.leftCount = x.rightCount = 0;
}

// The node of an entry, or -1 when the entry is not queued in this process.
int32_t NodeOf(ChHandle chunk, int32_t slot, const QuEntry& e) {
  int32_t n = e.node;
  if (n < 0 || size_t(n) >= Q().nodes.size()) return -1;
  const QuNode& x = N(n);
  if (x.mark != kQuNodeMark || x.tree == QuTree::kNone || x.chunk != chunk || x.slot != slot)
    return -1;
  return n;
}

void CheckSlot(ChHandle chunk, int32_t slot) {
  if (slot < 0 || (uint32_t(slot) + 1) * kQuEntrySize > ChSize(chunk))
    MaAssertFailure("QuLock-- slot outside the chunk");
}

QuEntry ReadEntry(ChHandle chunk, int32_t slot) {
  CheckSlot(chunk, slot);
  QuEntry e;
  memcpy(&e, static_cast<const uint8_t*>(ChDeref(chunk)) + size_t(slot) * kQuEntrySize,
         sizeof e);
  return e;
}

void WriteState(ChHandle chunk, int32_t slot, int32_t state, int32_t node) {
  QuLock e(chunk, slot);
  e->state = state;
  e->node = node;
}

void Today(int32_t* date, int32_t* time) {
  if (Q().calendar) return Q().calendar(date, time);
  time_t now = ::time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  *date = (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
  *time = t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec;
}

int64_t SecondsOfDay(int32_t hhmmss) {
  return int64_t(hhmmss / 10000) * 3600 + (hhmmss / 100 % 100) * 60 + hhmmss % 100;
}

bool Due(const QuNode& x, int32_t today, int32_t now) {
  if (!x.byCalendar) return SysTime() >= x.deadline;
  return x.date != today ? x.date < today : x.time <= now;
}

// Moves the deferred entries that are due to the ready tree.
void MoveDue() {
  int32_t today, now;
  Today(&today, &now);
  while (Q().deferred >= 0 && Due(N(Q().deferred), today, now)) {
    int32_t n = Q().deferred;
    Remove(n);
    N(n).tree = QuTree::kReady;
    Insert(n);
    WriteState(N(n).chunk, N(n).slot, kQuReady, n);
  }
}

// Checks the subtree at n; returns its depth and adds its size to *count.
int32_t CheckSubtree(int32_t n, int32_t parent, QuTree tree, int32_t* count) {
  if (n < 0) return 0;
  auto fail = [&](const char* what) {
    MaAssertFailure(std::string("QuPersistCheck-- node ") + std::to_string(n) + ": " + what);
  };
  if (size_t(n) >= Q().nodes.size()) fail("out of range");
  const QuNode& x = N(n);
  if (x.mark != kQuNodeMark) fail("bad mark");
  if (x.tree != tree) fail("in the wrong tree");
  if (x.parent != parent) fail("bad parent link");
  if (parent >= 0 && Before(x, N(parent))) fail("comes before its parent");
  QuEntry e = ReadEntry(x.chunk, x.slot);
  if (e.node != n || e.state != (tree == QuTree::kReady ? kQuReady : kQuDeferred))
    fail("entry does not name the node");
  int32_t left = 0, right = 0;
  int32_t depth = 1 + std::max(CheckSubtree(x.left, n, tree, &left),
                               CheckSubtree(x.right, n, tree, &right));
  if (left != x.leftCount || right != x.rightCount) fail("bad subtree count");
  *count += 1 + left + right;
  return depth;
}

uint16_t QuPersistInit() {
  QuSetPersistentFn(QuPersistProcess);
  return 0;
}

void QuPersistTerm() {
  QuSetPersistentFn(nullptr);
  QuState& q = Q();
  q.nodes.clear();
  q.freeNodes = q.ready = q.deferred = -1;
  q.routines.clear();
}

}  // namespace

QuLock::QuLock(ChHandle chunk, int32_t slot) {
  CheckSlot(chunk, slot);
  data_ = ChLock(chunk);
  entry_ = reinterpret_cast<QuEntry*>(static_cast<uint8_t*>(data_) +
                                      size_t(slot) * kQuEntrySize);
}

void QuRoutineSet(int32_t routineId, QuRoutine routine) {
  Q().routines[routineId] = routine;
}

void QuCreateEntry(ChHandle chunk, int32_t routineId, int32_t priority, int32_t slot) {
  QuLock e(chunk, slot);
  e->routineId = routineId;
  e->priority = priority;
  e->state = kQuIdle;
  e->node = kQuNoNode;
}

void QuEnqueue(ChHandle chunk, int32_t slot) {
  QuEntry e = ReadEntry(chunk, slot);
  if (NodeOf(chunk, slot, e) >= 0) return;
  int32_t n = NodeFor(chunk, slot, e, QuTree::kReady);
  Insert(n);
  WriteState(chunk, slot, kQuReady, n);
}

void QuEnqueueDeferred(ChHandle chunk, int32_t date, int32_t time, int32_t slot) {
  if ((date == kQuNoDate) != (time == kQuNoDate))
    MaAssertFailure("QuEnqueueDeferred-- bad date/time");
  if (date == kQuNoDate) return QuEnqueue(chunk, slot);
  QuDequeue(chunk, slot);
  int32_t n = NodeFor(chunk, slot, ReadEntry(chunk, slot), QuTree::kDeferred);
  QuNode& x = N(n);
  x.date = date;
  x.time = time;
  int32_t today, now;
  Today(&today, &now);
  if (date > today) {
    x.byCalendar = true;
  } else {
    int64_t wait = date < today ? 0 : std::max<int64_t>(0, SecondsOfDay(time) - SecondsOfDay(now));
    x.deadline = SysTime() + SysTimeMSecsXfm(wait * 1000);
  }
  Insert(n);
  WriteState(chunk, slot, kQuDeferred, n);
}

void QuDequeue(ChHandle chunk, int32_t slot) {
  int32_t n = NodeOf(chunk, slot, ReadEntry(chunk, slot));
  if (n < 0) return;
  Remove(n);
  NodeFree(n);
  WriteState(chunk, slot, kQuIdle, kQuNoNode);
}

bool QuIsQueued(ChHandle chunk, int32_t slot) {
  return NodeOf(chunk, slot, ReadEntry(chunk, slot)) >= 0;
}

void QuForgetPart(ChPart part) {
  for (size_t n = 0; n < Q().nodes.size(); ++n) {
    QuNode& x = Q().nodes[n];
    if (x.tree == QuTree::kNone || ChPartOf(x.chunk) != part) continue;
    Remove(int32_t(n));
    NodeFree(int32_t(n));
  }
}

int32_t QuPersistProcess(int64_t deadline, int32_t minPriority) {
  MoveDue();
  int32_t ran = 0;
  while (Q().ready >= 0 && N(Q().ready).priority >= minPriority && SysTime() < deadline) {
    int32_t n = Q().ready;
    Remove(n);
    ChHandle chunk = N(n).chunk;
    int32_t slot = N(n).slot;
    int32_t id = N(n).routineId;
    NodeFree(n);
    auto it = Q().routines.find(id);
    if (it == Q().routines.end())
      MaAssertFailure("QuProcess-- unknown routine " + std::to_string(id));
    WriteState(chunk, slot, kQuIdle, kQuNoNode);
    it->second(chunk, slot);
    ++ran;
  }
  return ran;
}

int32_t QuReadyCount() { return SizeOf(Q().ready); }
int32_t QuDeferredCount() { return SizeOf(Q().deferred); }

int32_t QuPersistCheck() {
  int32_t ready = 0, deferred = 0;
  int32_t depth = std::max(CheckSubtree(Q().ready, -1, QuTree::kReady, &ready),
                           CheckSubtree(Q().deferred, -1, QuTree::kDeferred, &deferred));
  int32_t live = 0;
  for (const QuNode& x : Q().nodes) live += x.tree != QuTree::kNone;
  if (live != ready + deferred) MaAssertFailure("QuPersistCheck-- nodes outside the trees");
  return depth;
}

void QuSetCalendarFn(void (*fn)(int32_t*, int32_t*)) { Q().calendar = fn; }

uint16_t QuPersistInitRtns(int selector, int32_t value) {
  static const PkgSteps steps{QuPersistInit, QuPersistTerm};
  uint16_t result = PkgDispatch(Q().pkg, "QuPersistInitRtns", selector, value, steps);
  QuPersistDebugFlag = Q().pkg.debug;
  return result;
}

}  // namespace quil
