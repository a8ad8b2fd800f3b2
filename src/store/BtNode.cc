// The B-tree node algorithms, written once for the five kinds: node search,
// insert with splits, remove with rotation and merge, positional access,
// cursors and the validation walk.
#include <array>
#include <cstdio>

#include "BtInt.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

namespace {

// ---------------------------------------------------------------------------
// Node access.  w points at a node's words (a locked or dereferenced chunk).

template <class K>
uint32_t* Children(uint32_t* w) {
  return w + K::kWordChild;
}
template <class K>
uint32_t* ChildCounts(uint32_t* w) {
  return w + K::kWordChildCount;
}
template <class K>
uint32_t* Values(uint32_t* w, int v) {
  return w + K::kWordValues + v * K::kMax;
}
template <class K>
uint8_t* Keys(uint32_t* w) {
  return reinterpret_cast<uint8_t*>(w) + K::kKeyOffset;
}

// Moves cnt entries from slot si of src to slot di of dst (one node or two).
template <class K>
void MoveEntries(uint32_t* dst, int di, uint32_t* src, int si, int cnt) {
  if (cnt <= 0) return;
  for (int v = 0; v < K::kValues; ++v)
    memmove(Values<K>(dst, v) + di, Values<K>(src, v) + si, size_t(cnt) * 4);
  if constexpr (K::kKeyBytes > 0)
    memmove(Keys<K>(dst) + di * K::kKeyBytes, Keys<K>(src) + si * K::kKeyBytes,
            size_t(cnt) * K::kKeyBytes);
}

template <class K>
void ZeroEntries(uint32_t* w, int from, int cnt) {
  if (cnt <= 0) return;
  for (int v = 0; v < K::kValues; ++v) memset(Values<K>(w, v) + from, 0, size_t(cnt) * 4);
  if constexpr (K::kKeyBytes > 0)
    memset(Keys<K>(w) + from * K::kKeyBytes, 0, size_t(cnt) * K::kKeyBytes);
}

// Moves cnt children (handles and subtree counts).
template <class K>
void MoveChildren(uint32_t* dst, int di, uint32_t* src, int si, int cnt) {
  if (cnt <= 0) return;
  memmove(Children<K>(dst) + di, Children<K>(src) + si, size_t(cnt) * 4);
  memmove(ChildCounts<K>(dst) + di, ChildCounts<K>(src) + si, size_t(cnt) * 4);
}

template <class K>
void ZeroChildren(uint32_t* w, int from, int cnt) {
  if (cnt <= 0) return;
  memset(Children<K>(w) + from, 0, size_t(cnt) * 4);
  memset(ChildCounts<K>(w) + from, 0, size_t(cnt) * 4);
}

template <class K>
void PutEntry(uint32_t* w, int i, const typename K::Entry& e) {
  for (int v = 0; v < K::kValues; ++v) Values<K>(w, v)[i] = e.v[v];
  if constexpr (K::kKeyBytes > 0) memcpy(Keys<K>(w) + i * K::kKeyBytes, e.key, K::kKeyBytes);
}

template <class K>
void GetEntry(uint32_t* w, int i, typename K::Entry* e) {
  for (int v = 0; v < K::kValues; ++v) e->v[v] = Values<K>(w, v)[i];
  if constexpr (K::kKeyBytes > 0) memcpy(e->key, Keys<K>(w) + i * K::kKeyBytes, K::kKeyBytes);
}

// Asks for the cache lines of the keys the search below is going to read,
// so that they arrive together rather than one miss per step: all of them
// for 4-byte keys (at most 13 lines), for wider keys the two ends and the
// midpoints of the first kPrefetchDepth steps, whichever way they go.
template <class K>
void PrefetchRange(const char* keys, int low, int high, int depth) {
  int mid = (low + high + 1) / 2;
  if (depth == 0 || mid == high) return;
  __builtin_prefetch(keys + mid * K::kKeyBytes);
  PrefetchRange<K>(keys, low, mid, depth - 1);
  PrefetchRange<K>(keys, mid, high, depth - 1);
}

template <class K>
void PrefetchKeys(const uint32_t* w, int n) {
  const char* keys = reinterpret_cast<const char*>(w) + K::kKeyOffset;
  if constexpr (K::kKeyBytes == 4) {
    for (int off = 0; off < n * 4; off += 64) __builtin_prefetch(keys + off);
  } else if constexpr (K::kKeyBytes > 0) {
    constexpr int kPrefetchDepth = 3;
    __builtin_prefetch(keys);
    __builtin_prefetch(keys + (n - 1) * K::kKeyBytes);
    PrefetchRange<K>(keys, 0, n - 1, kPrefetchDepth);
  }
}

// The leaf that takes an insert has its keys after the slot moved: all of
// its key lines are wanted.
template <class K>
void PrefetchAllKeys(const uint32_t* w, int n) {
  const char* keys = reinterpret_cast<const char*>(w) + K::kKeyOffset;
  for (int off = 0; off < n * K::kKeyBytes; off += 64) __builtin_prefetch(keys + off);
}

// Binary search over the n entries of a node.  Lower: the first entry that
// does not sort before the probe, with *equal telling whether it compares
// equal.  Upper: the first entry that sorts after the probe.  The range kept
// is (low, high]: entry low sorts before the probe (or is not after it) and
// entry high does not.
template <class K, bool Upper>
int Search(const typename K::Probe& p, const uint32_t* w, int n, bool* equal) {
  *equal = false;
  if (n == 0) return 0;
  PrefetchKeys<K>(w, n);
  auto right = [](int c) { return Upper ? c >= 0 : c > 0; };
  int c = K::Cmp(p, w, n - 1);
  if (right(c)) return n;
  int cHigh = c;
  if (n > 1) {
    int c0 = K::Cmp(p, w, 0);
    if (!right(c0)) {
      *equal = c0 == 0;
      return 0;
    }
  } else {
    *equal = c == 0;
    return 0;
  }
  int low = 0, high = n - 1;
  for (;;) {
    int mid = (low + high + 1) / 2;
    if (mid == high) break;
    int cm = K::Cmp(p, w, mid);
    if (right(cm)) {
      low = mid;
    } else {
      high = mid;
      cHigh = cm;
    }
  }
  *equal = cHigh == 0;
  return high;
}

[[noreturn]] void BtFail(const char* fn, const char* what) {
  MaAssertFailure(std::string(fn) + "--" + what);
}

uint16_t ChunkTypeOf(const void* data) {
  return BlkGet(static_cast<const uint8_t*>(data) - kBlkData, 0, kBlkType);
}

template <class K>
uint32_t* HeadWords(ChHandle tree, const char* fn) {
  void* d = ChDeref(tree);
  if (K::Debug() && ChunkTypeOf(d) != K::kHeadType) BtFail(fn, "DbH");
  return static_cast<uint32_t*>(d);
}

// A node's entry count comes from the file: one beyond the kind's maximum
// (a damaged file) halts instead of leading a search out of the node.
template <class K>
uint32_t* NodeWords(ChHandle node, const char* fn) {
  void* d = ChDeref(node);
  if (K::Debug() && ChunkTypeOf(d) != K::kNodeType) BtFail(fn, "node");
  auto* w = static_cast<uint32_t*>(d);
  if (w[0] > uint32_t(K::kMax)) BtFail(fn, "node");
  return w;
}

// The chunks one operation holds locked; the destructor unlocks what is
// left, marking the pages changed once the operation has begun to change
// the tree.
class BtLocks {
 public:
  BtLocks() = default;
  BtLocks(const BtLocks&) = delete;
  BtLocks& operator=(const BtLocks&) = delete;
  ~BtLocks() {
    for (int i = 0; i < n_; ++i)
      if (ptr_[i]) modified_ ? ChUnlockMod(ptr_[i]) : ChUnlockNoMod(ptr_[i]);
  }
  uint32_t* Lock(ChHandle h) { return Add(ChLock(h)); }
  uint32_t* Add(void* data) {
    MA_CHECK(true, n_ < kMaxLocks, "BtLocks-- too many locks");
    ptr_[n_++] = data;
    return static_cast<uint32_t*>(data);
  }
  // Unlocks one pointer ahead of the others (before its chunk is destroyed).
  void Unlock(void* data) {
    for (int i = n_ - 1; i >= 0; --i)
      if (ptr_[i] == data) {
        ChUnlockNoMod(data);
        ptr_[i] = nullptr;
        return;
      }
  }
  void SetModified() { modified_ = true; }

 private:
  static constexpr int kMaxLocks = 4 * kBtMaxHeight + 4;
  void* ptr_[kMaxLocks] = {};
  int n_ = 0;
  bool modified_ = false;
};

template <class K>
uint32_t* LockHead(BtLocks& locks, ChHandle tree, const char* fn) {
  uint32_t* w = locks.Lock(tree);
  if (K::Debug() && ChunkTypeOf(w) != K::kHeadType) BtFail(fn, "DbH");
  return w;
}

template <class K>
uint32_t* LockNode(BtLocks& locks, ChHandle node, const char* fn) {
  uint32_t* w = locks.Lock(node);
  if (K::Debug() && ChunkTypeOf(w) != K::kNodeType) BtFail(fn, "node");
  if (w[0] > uint32_t(K::kMax)) BtFail(fn, "node");
  return w;
}

// Nodes created for an insert's splits before the tree is touched; they
// are destroyed again when the insert does not complete.
class BtFreshNodes {
 public:
  explicit BtFreshNodes(BtLocks& locks) : locks_(locks) {}
  BtFreshNodes(const BtFreshNodes&) = delete;
  BtFreshNodes& operator=(const BtFreshNodes&) = delete;
  ~BtFreshNodes() {
    if (committed_) return;
    for (int i = 0; i < n_; ++i) {
      locks_.Unlock(ptr_[i]);
      ChDestroy(h_[i]);
    }
  }
  template <class K>
  void Create(ChHandle near) {
    void* data = ChCreate(K::kNodeType, K::kNodeBytes, near, &h_[n_]);
    ptr_[n_++] = locks_.Add(data);
  }
  uint32_t* Ptr(int i) const { return ptr_[i]; }
  ChHandle Handle(int i) const { return h_[i]; }
  void Commit() { committed_ = true; }

 private:
  BtLocks& locks_;
  ChHandle h_[kBtMaxHeight + 1] = {};
  uint32_t* ptr_[kBtMaxHeight + 1] = {};
  int n_ = 0;
  bool committed_ = false;
};

int CheckedHeight(const uint32_t* hd, const char* fn) {
  auto height = int(hd[kBtHdHeight]);
  if (height < 1 || height > kBtMaxHeight) BtFail(fn, "height");
  return height;
}

// Walks from the root to a leaf along the search for p, calling
// visit(node, words, slot, equal, leaf) at each level with the slot the node
// search found (the lower or the upper one).  False for an empty tree.
template <class K, bool Upper, class Visit>
bool Descend(ChHandle tree, const typename K::Probe& p, const char* fn, Visit&& visit) {
  uint32_t* hd = HeadWords<K>(tree, fn);
  ChHandle h = hd[kBtHdRoot];
  if (!h) return false;
  const int height = CheckedHeight(hd, fn);
  for (int level = 0; level < height; ++level) {
    uint32_t* w = NodeWords<K>(h, fn);
    bool equal;
    int i = Search<K, Upper>(p, w, int(w[0]), &equal);
    bool leaf = level + 1 == height;
    visit(h, w, i, equal, leaf);
    if (!leaf) h = Children<K>(w)[i];
  }
  return true;
}

// The entries of a node's subtree that lie before slot i: i entries and the
// subtrees of the first i children.
template <class K>
uint32_t EntriesBefore(uint32_t* w, int i, bool leaf) {
  auto r = uint32_t(i);
  if (!leaf)
    for (int j = 0; j < i; ++j) r += ChildCounts<K>(w)[j];
  return r;
}

// Positional step in an inner node: the slot of the child whose subtree
// holds position *pos (made relative to that subtree), or, with *onEntry
// set, the slot of the entry at *pos.
template <class K>
int ChildAt(uint32_t* w, uint32_t* pos, bool* onEntry, const char* fn) {
  const uint32_t* cc = ChildCounts<K>(w);
  int n = int(w[0]);
  *onEntry = false;
  for (int i = 0;; ++i) {
    if (*pos < cc[i]) return i;
    *pos -= cc[i];
    if (i == n) BtFail(fn, "count");
    if (*pos == 0) {
      *onEntry = true;
      return i;
    }
    --*pos;
  }
}

// ---------------------------------------------------------------------------
// Insert steps.

// Puts e at slot i of a node with room, and the new right child (count rc)
// after it.
template <class K>
void InsertAt(uint32_t* w, int i, const typename K::Entry& e, ChHandle right,
              uint32_t rc, bool leaf) {
  int n = int(w[0]);
  MoveEntries<K>(w, i + 1, w, i, n - i);
  PutEntry<K>(w, i, e);
  if (!leaf) {
    MoveChildren<K>(w, i + 2, w, i + 1, n - i);
    Children<K>(w)[i + 1] = right;
    ChildCounts<K>(w)[i + 1] = rc;
  }
  w[0] = uint32_t(n + 1);
}

// The max + 1 entries and max + 2 children of a full node with one more.
template <class K>
struct BtWide {
  uint32_t child[K::kMax + 2];
  uint32_t cc[K::kMax + 2];
  uint32_t val[K::kValues][K::kMax + 1];
  uint8_t key[(K::kMax + 1) * (K::kKeyBytes > 0 ? K::kKeyBytes : 1)];
};

// Splits the full node L while inserting e at slot i (with its right child
// right/rc): L keeps the first half, the empty node R takes the last half,
// the middle entry goes to *mid.  Both subtree counts are recomputed.
template <class K>
void SplitInsert(uint32_t* L, uint32_t* R, int i, const typename K::Entry& e,
                 ChHandle right, uint32_t rc, bool leaf, typename K::Entry* mid) {
  constexpr int M = K::kMax, H = K::kHalf, KB = K::kKeyBytes;
  BtWide<K> t;
  for (int v = 0; v < K::kValues; ++v) {
    const uint32_t* src = Values<K>(L, v);
    memcpy(t.val[v], src, size_t(i) * 4);
    t.val[v][i] = e.v[v];
    memcpy(t.val[v] + i + 1, src + i, size_t(M - i) * 4);
  }
  if constexpr (KB > 0) {
    memcpy(t.key, Keys<K>(L), size_t(i) * KB);
    memcpy(t.key + i * KB, e.key, KB);
    memcpy(t.key + (i + 1) * KB, Keys<K>(L) + i * KB, size_t(M - i) * KB);
  }
  if (!leaf) {
    memcpy(t.child, Children<K>(L), size_t(i + 1) * 4);
    memcpy(t.cc, ChildCounts<K>(L), size_t(i + 1) * 4);
    t.child[i + 1] = right;
    t.cc[i + 1] = rc;
    memcpy(t.child + i + 2, Children<K>(L) + i + 1, size_t(M - i) * 4);
    memcpy(t.cc + i + 2, ChildCounts<K>(L) + i + 1, size_t(M - i) * 4);
  }
  // Left half: entries [0, H), children [0, H].
  for (int v = 0; v < K::kValues; ++v) {
    memcpy(Values<K>(L, v), t.val[v], size_t(H) * 4);
    memcpy(Values<K>(R, v), t.val[v] + H + 1, size_t(H) * 4);
    mid->v[v] = t.val[v][H];
  }
  ZeroEntries<K>(L, H, M - H);
  if constexpr (KB > 0) {
    memcpy(Keys<K>(L), t.key, size_t(H) * KB);
    memcpy(Keys<K>(R), t.key + (H + 1) * KB, size_t(H) * KB);
    memcpy(mid->key, t.key + H * KB, KB);
  }
  uint32_t leftTotal = H, rightTotal = H;
  if (!leaf) {
    memcpy(Children<K>(L), t.child, size_t(H + 1) * 4);
    memcpy(ChildCounts<K>(L), t.cc, size_t(H + 1) * 4);
    ZeroChildren<K>(L, H + 1, M - H);
    memcpy(Children<K>(R), t.child + H + 1, size_t(H + 1) * 4);
    memcpy(ChildCounts<K>(R), t.cc + H + 1, size_t(H + 1) * 4);
    for (int j = 0; j <= H; ++j) {
      leftTotal += t.cc[j];
      rightTotal += t.cc[H + 1 + j];
    }
  }
  L[0] = H;
  R[0] = H;
  L[1] = leftTotal;
  R[1] = rightTotal;
}

// ---------------------------------------------------------------------------
// Remove steps.  P is the parent, C its child at ci that fell below half the
// maximum, Lw and Rw its left and right siblings (locked, or null when C has
// none on that side).

template <class K>
void RotateRight(uint32_t* P, int ci, uint32_t* C, uint32_t* Lw, bool leaf) {
  int ln = int(Lw[0]), cn = int(C[0]);
  MoveEntries<K>(C, 1, C, 0, cn);
  MoveEntries<K>(C, 0, P, ci - 1, 1);
  MoveEntries<K>(P, ci - 1, Lw, ln - 1, 1);
  ZeroEntries<K>(Lw, ln - 1, 1);
  uint32_t moved = 1;
  if (!leaf) {
    MoveChildren<K>(C, 1, C, 0, cn + 1);
    MoveChildren<K>(C, 0, Lw, ln, 1);
    moved += ChildCounts<K>(Lw)[ln];
    ZeroChildren<K>(Lw, ln, 1);
  }
  Lw[0] = uint32_t(ln - 1);
  C[0] = uint32_t(cn + 1);
  Lw[1] -= moved;
  C[1] += moved;
  ChildCounts<K>(P)[ci - 1] = Lw[1];
  ChildCounts<K>(P)[ci] = C[1];
}

template <class K>
void RotateLeft(uint32_t* P, int ci, uint32_t* C, uint32_t* Rw, bool leaf) {
  int rn = int(Rw[0]), cn = int(C[0]);
  MoveEntries<K>(C, cn, P, ci, 1);
  MoveEntries<K>(P, ci, Rw, 0, 1);
  MoveEntries<K>(Rw, 0, Rw, 1, rn - 1);
  ZeroEntries<K>(Rw, rn - 1, 1);
  uint32_t moved = 1;
  if (!leaf) {
    MoveChildren<K>(C, cn + 1, Rw, 0, 1);
    moved += ChildCounts<K>(C)[cn + 1];
    MoveChildren<K>(Rw, 0, Rw, 1, rn);
    ZeroChildren<K>(Rw, rn, 1);
  }
  C[0] = uint32_t(cn + 1);
  Rw[0] = uint32_t(rn - 1);
  C[1] += moved;
  Rw[1] -= moved;
  ChildCounts<K>(P)[ci] = C[1];
  ChildCounts<K>(P)[ci + 1] = Rw[1];
}

// Appends the separator at slot sep of P and all of B to A, then takes the
// separator and child sep + 1 out of P.
template <class K>
void MergeInto(uint32_t* P, int sep, uint32_t* A, uint32_t* B, bool leaf) {
  int an = int(A[0]), bn = int(B[0]), pn = int(P[0]);
  MoveEntries<K>(A, an, P, sep, 1);
  MoveEntries<K>(A, an + 1, B, 0, bn);
  if (!leaf) MoveChildren<K>(A, an + 1, B, 0, bn + 1);
  A[0] = uint32_t(an + 1 + bn);
  A[1] += 1 + B[1];
  MoveEntries<K>(P, sep, P, sep + 1, pn - 1 - sep);
  ZeroEntries<K>(P, pn - 1, 1);
  MoveChildren<K>(P, sep + 1, P, sep + 2, pn - 1 - sep);
  ZeroChildren<K>(P, pn, 1);
  P[0] = uint32_t(pn - 1);
  ChildCounts<K>(P)[sep] = A[1];
}

// ---------------------------------------------------------------------------
// Validation.

template <class K>
struct BtValidator {
  std::string* report;
  bool ok = true;
  bool hasPrev = false;
  typename K::Probe prev{};

  void Problem(ChHandle h, const std::string& what) {
    ok = false;
    if (!report) return;
    char head[40];
    snprintf(head, sizeof head, "node 0x%08X: ", h);
    *report += head + what + "\n";
  }

  // Walks the subtree of h at depth; returns its entry count.
  uint32_t Walk(ChHandle h, int depth, int height) {
    if (!ChIsLegal(h)) {
      Problem(h, "not a chunk");
      return 0;
    }
    if (ChType(h) != K::kNodeType || ChSize(h) != K::kNodeBytes) {
      Problem(h, "type " + std::to_string(ChType(h)) + " size " + std::to_string(ChSize(h)));
      return 0;
    }
    std::array<uint32_t, K::kNodeBytes / 4> copy;
    memcpy(copy.data(), ChDeref(h), K::kNodeBytes);
    uint32_t* w = copy.data();
    int n = int(w[0]);
    bool leaf = depth == height - 1;
    int least = depth == 0 ? 1 : K::kHalf;
    if (n < least || n > K::kMax) {
      Problem(h, std::to_string(n) + " entries at depth " + std::to_string(depth));
      return 0;
    }
    for (int i = n + 1; i <= K::kMax; ++i)
      if (Children<K>(w)[i] || ChildCounts<K>(w)[i]) Problem(h, "child slot past n in use");
    for (int v = 0; v < K::kValues; ++v)
      for (int i = n; i < K::kMax; ++i)
        if (Values<K>(w, v)[i]) Problem(h, "value slot past n in use");
    uint32_t total = uint32_t(n);
    for (int i = 0; i <= n; ++i) {
      ChHandle child = Children<K>(w)[i];
      uint32_t cc = ChildCounts<K>(w)[i];
      if (leaf) {
        if (child || cc) Problem(h, "leaf with child " + std::to_string(i));
      } else if (!child) {
        Problem(h, "missing child " + std::to_string(i) + " above the leaves");
      } else {
        uint32_t sub = Walk(child, depth + 1, height);
        if (sub != cc)
          Problem(h, "child " + std::to_string(i) + " counted " + std::to_string(cc) +
                         ", holds " + std::to_string(sub));
        total += cc;
      }
      if (i < n) {
        if (hasPrev && K::Cmp(prev, w, i) >= 0)
          Problem(h, "entry " + std::to_string(i) + " out of order");
        typename K::Entry e;
        GetEntry<K>(w, i, &e);
        prev = K::ProbeOf(e);
        hasPrev = true;
      }
    }
    if (total != w[1])
      Problem(h, "subtree count " + std::to_string(w[1]) + ", holds " + std::to_string(total));
    return total;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Layout templates.

template <class K>
std::string BtNodeLayout() {
  UtLayout l;
  l.Op(kUtInt32).Op(kUtInt32);
  l.Op(kUtGroupN, K::kMax + 1).Op(kUtHandle).Op(kUtGroupEnd);
  l.Op(kUtGroupN, K::kMax + 1).Op(kUtInt32).Op(kUtGroupEnd);
  for (int v = 0; v < K::kValues; ++v)
    l.Op(kUtGroupN, K::kMax)
        .Op(K::kFields[v] == BtField::kHandle ? kUtHandle : kUtInt32)
        .Op(kUtGroupEnd);
  return l.Done();  // the key bytes follow and are copied unchanged
}

std::string BtHeaderLayout() {
  return UtLayout().Op(kUtHandle).Op(kUtInt32).Op(kUtInt32).Op(kUtHandle).Op(kUtHandle).Done();
}

// ---------------------------------------------------------------------------
// Tree operations.

template <class K>
ChHandle BtTree<K>::Create(ChHandle near) {
  ChHandle h;
  ChUnlockMod(ChCreate(K::kHeadType, kBtHeaderBytes, near, &h));
  return h;
}

template <class K>
void BtTree<K>::Destroy(ChHandle tree, const char* fn) {
  uint32_t* hd = HeadWords<K>(tree, fn);
  ChHandle root = hd[kBtHdRoot];
  if (root) {
    int height = CheckedHeight(hd, fn);
    // Depth-first, children before their node.
    struct Frame {
      ChHandle h;
      int depth;
      int next;
    };
    std::vector<Frame> stack{{root, 0, 0}};
    while (!stack.empty()) {
      Frame& f = stack.back();
      uint32_t* w = NodeWords<K>(f.h, fn);
      if (f.depth < height - 1 && f.next <= int(w[0])) {
        ChHandle child = Children<K>(w)[f.next++];
        int depth = f.depth + 1;
        stack.push_back({child, depth, 0});
        continue;
      }
      ChDestroy(f.h);
      stack.pop_back();
    }
  }
  ChDestroy(tree);
}

template <class K>
uint32_t BtTree<K>::Count(ChHandle tree, const char* fn) {
  ChHandle root = HeadWords<K>(tree, fn)[kBtHdRoot];
  return root ? NodeWords<K>(root, fn)[1] : 0;
}

template <class K>
uint32_t BtTree<K>::HeaderWord(ChHandle tree, int word, const char* fn) {
  return HeadWords<K>(tree, fn)[word];
}

template <class K>
void BtTree<K>::SetHeaderWord(ChHandle tree, int word, uint32_t value, const char* fn) {
  BtLocks locks;
  LockHead<K>(locks, tree, fn)[word] = value;
  locks.SetModified();
}

template <class K>
bool BtTree<K>::Insert(ChHandle tree, const Entry& e, const char* fn) {
  BtLocks locks;
  uint32_t* hd = LockHead<K>(locks, tree, fn);
  if (hd[kBtHdRoot] == 0) {
    ChHandle h;
    uint32_t* w = locks.Add(ChCreate(K::kNodeType, K::kNodeBytes, tree, &h));
    locks.SetModified();
    PutEntry<K>(w, 0, e);
    w[0] = 1;
    w[1] = 1;
    hd[kBtHdRoot] = h;
    hd[kBtHdHeight] = 1;
    ++hd[kBtHdRev];
    return true;
  }
  const Probe p = K::ProbeOf(e);
  const int height = CheckedHeight(hd, fn);
  uint32_t* path[kBtMaxHeight];
  int idx[kBtMaxHeight];
  ChHandle h = hd[kBtHdRoot];
  for (int level = 0; level < height; ++level) {
    uint32_t* w = LockNode<K>(locks, h, fn);
    if (level == height - 1) PrefetchAllKeys<K>(w, int(w[0]));
    bool equal;
    int i = Search<K, false>(p, w, int(w[0]), &equal);
    if (equal) return false;
    path[level] = w;
    idx[level] = i;
    if (level + 1 < height) h = Children<K>(w)[i];
  }
  // Every full node from the leaf up splits; a split root needs a new root.
  int splits = 0;
  while (splits < height && path[height - 1 - splits][0] == uint32_t(K::kMax)) ++splits;
  BtFreshNodes fresh(locks);
  int need = splits + (splits == height ? 1 : 0);
  for (int k = 0; k < need; ++k) fresh.template Create<K>(tree);
  locks.SetModified();
  fresh.Commit();

  Entry carry = e;
  ChHandle carryRight = 0;
  uint32_t carryCount = 0, leftCount = 0;
  bool carrying = true;
  int used = 0;
  for (int level = height - 1; level >= 0; --level) {
    uint32_t* w = path[level];
    int i = idx[level];
    bool leaf = level == height - 1;
    if (!carrying) {
      ++w[1];
      ++ChildCounts<K>(w)[i];
    } else if (w[0] < uint32_t(K::kMax)) {
      InsertAt<K>(w, i, carry, carryRight, carryCount, leaf);
      if (!leaf) ChildCounts<K>(w)[i] = leftCount;
      ++w[1];
      carrying = false;
    } else {
      // The level below (if any) split child i: its left part keeps slot i.
      if (!leaf) ChildCounts<K>(w)[i] = leftCount;
      uint32_t* r = fresh.Ptr(used);
      ChHandle rh = fresh.Handle(used++);
      Entry mid;
      SplitInsert<K>(w, r, i, carry, carryRight, carryCount, leaf, &mid);
      carry = mid;
      carryRight = rh;
      carryCount = r[1];
      leftCount = w[1];
    }
  }
  if (carrying) {
    uint32_t* w = fresh.Ptr(used);
    PutEntry<K>(w, 0, carry);
    Children<K>(w)[0] = hd[kBtHdRoot];
    ChildCounts<K>(w)[0] = leftCount;
    Children<K>(w)[1] = carryRight;
    ChildCounts<K>(w)[1] = carryCount;
    w[0] = 1;
    w[1] = leftCount + carryCount + 1;
    hd[kBtHdRoot] = fresh.Handle(used);
    ++hd[kBtHdHeight];
  }
  ++hd[kBtHdRev];
  return true;
}

template <class K>
bool BtTree<K>::Remove(ChHandle tree, const Probe& p, const char* fn) {
  BtLocks locks;
  uint32_t* hd = LockHead<K>(locks, tree, fn);
  if (hd[kBtHdRoot] == 0) return false;
  const int height = CheckedHeight(hd, fn);
  const int leafLevel = height - 1;
  ChHandle hs[kBtMaxHeight];
  uint32_t* path[kBtMaxHeight];
  int idx[kBtMaxHeight];
  int found = -1, slot = 0;
  ChHandle h = hd[kBtHdRoot];
  for (int level = 0; level < height; ++level) {
    uint32_t* w = LockNode<K>(locks, h, fn);
    hs[level] = h;
    path[level] = w;
    int n = int(w[0]);
    if (found < 0) {
      bool equal;
      int i = Search<K, false>(p, w, n, &equal);
      if (equal) {
        found = level;
        slot = i;
      }
      idx[level] = i;
    } else {
      // Below the entry: the rightmost path to its in-order predecessor.
      idx[level] = level == leafLevel ? n - 1 : n;
    }
    if (level < leafLevel) h = Children<K>(w)[idx[level]];
  }
  if (found < 0) return false;

  // Lock, before anything changes, the siblings of every node that may fall
  // below half the maximum: the leaf and each parent above a node at the
  // minimum, while the nodes are at the minimum.
  uint32_t* leftSib[kBtMaxHeight] = {};
  uint32_t* rightSib[kBtMaxHeight] = {};
  for (int level = leafLevel; level >= 1 && path[level][0] == uint32_t(K::kHalf); --level) {
    uint32_t* parent = path[level - 1];
    int ci = idx[level - 1];
    if (ci > 0) leftSib[level] = LockNode<K>(locks, Children<K>(parent)[ci - 1], fn);
    if (ci < int(parent[0]))
      rightSib[level] = LockNode<K>(locks, Children<K>(parent)[ci + 1], fn);
  }
  locks.SetModified();

  uint32_t* leaf = path[leafLevel];
  int ls = idx[leafLevel];
  if (found < leafLevel) MoveEntries<K>(path[found], slot, leaf, ls, 1);
  int ln = int(leaf[0]);
  MoveEntries<K>(leaf, ls, leaf, ls + 1, ln - 1 - ls);
  ZeroEntries<K>(leaf, ln - 1, 1);
  leaf[0] = uint32_t(ln - 1);
  --leaf[1];

  for (int level = leafLevel - 1; level >= 0; --level) {
    uint32_t* P = path[level];
    uint32_t* C = path[level + 1];
    int ci = idx[level];
    --P[1];
    --ChildCounts<K>(P)[ci];
    if (C[0] >= uint32_t(K::kHalf)) continue;
    bool childIsLeaf = level + 1 == leafLevel;
    uint32_t* Lw = leftSib[level + 1];
    uint32_t* Rw = rightSib[level + 1];
    if (K::Debug() && !Lw && !Rw) BtFail(fn, "sibling");
    if (Lw && Lw[0] > uint32_t(K::kHalf)) {
      RotateRight<K>(P, ci, C, Lw, childIsLeaf);
    } else if (Rw && Rw[0] > uint32_t(K::kHalf)) {
      RotateLeft<K>(P, ci, C, Rw, childIsLeaf);
    } else if (Lw) {
      MergeInto<K>(P, ci - 1, Lw, C, childIsLeaf);
      locks.Unlock(C);
      ChDestroy(hs[level + 1]);
    } else {
      ChHandle rh = Children<K>(P)[ci + 1];
      MergeInto<K>(P, ci, C, Rw, childIsLeaf);
      locks.Unlock(Rw);
      ChDestroy(rh);
    }
  }

  uint32_t* root = path[0];
  if (root[0] == 0) {
    hd[kBtHdRoot] = height == 1 ? 0 : Children<K>(root)[0];
    hd[kBtHdHeight] = uint32_t(height - 1);
    locks.Unlock(root);
    ChDestroy(hs[0]);
  }
  ++hd[kBtHdRev];
  return true;
}

template <class K>
bool BtTree<K>::Find(ChHandle tree, const Probe& p, bool last, Entry* out,
                     uint32_t* rank, const char* fn) {
  if (last) {
    uint32_t lo = Rank(tree, p, false, fn), up = Rank(tree, p, true, fn);
    if (up <= lo) return false;
    if (rank) *rank = up - 1;
    return !out || Index(tree, up - 1, out, fn);
  }
  bool found = false;
  uint32_t r = 0;
  Descend<K, false>(tree, p, fn, [&](ChHandle, uint32_t* w, int i, bool equal, bool leaf) {
    if (equal) {
      found = true;
      if (out) GetEntry<K>(w, i, out);
    }
    if (rank) r += EntriesBefore<K>(w, i, leaf);
  });
  if (rank) *rank = r;
  return found;
}

template <class K>
uint32_t BtTree<K>::Rank(ChHandle tree, const Probe& p, bool upper, const char* fn) {
  uint32_t r = 0;
  auto add = [&](ChHandle, uint32_t* w, int i, bool, bool leaf) {
    r += EntriesBefore<K>(w, i, leaf);
  };
  upper ? Descend<K, true>(tree, p, fn, add) : Descend<K, false>(tree, p, fn, add);
  return r;
}

template <class K>
bool BtTree<K>::Index(ChHandle tree, uint32_t pos, Entry* out, const char* fn) {
  BtCursor c;
  if (!CursorSeek(c, tree, pos, fn)) return false;
  if (out) CursorEntry(c, out);
  return true;
}

template <class K>
bool BtTree<K>::UpdateField(ChHandle tree, const Probe& p, int field, uint32_t mask,
                            uint32_t value, const char* fn) {
  ChHandle at = 0;
  int slot = 0;
  Descend<K, false>(tree, p, fn, [&](ChHandle h, uint32_t*, int i, bool equal, bool) {
    if (equal) {
      at = h;
      slot = i;
    }
  });
  if (!at) return false;
  // Through a lock: a page frozen for a background save is copied first.
  ChLocked node(at);
  uint32_t& word = Values<K>(node.As<uint32_t>(), field)[slot];
  word = (word & ~mask) | (value & mask);
  node.MarkModified();
  return true;
}

template <class K>
void BtTree<K>::ReadEntry(ChHandle node, int i, Entry* out) {
  GetEntry<K>(NodeWords<K>(node, "BtDbRecord"), i, out);
}

template <class K>
bool BtTree<K>::Validate(ChHandle tree, std::string* report) {
  BtValidator<K> v{report};
  char head[40];
  snprintf(head, sizeof head, "tree 0x%08X: ", tree);
  if (!ChIsLegal(tree) || ChType(tree) != K::kHeadType || ChSize(tree) != kBtHeaderBytes) {
    if (report) *report += head + std::string("not a tree header\n");
    return false;
  }
  const uint32_t* hd = static_cast<const uint32_t*>(ChDeref(tree));
  ChHandle root = hd[kBtHdRoot];
  auto height = int(hd[kBtHdHeight]);
  if (!root || height < 1 || height > kBtMaxHeight) {
    if (root || height) {
      if (report) *report += head + std::string("root and height disagree\n");
      return false;
    }
    return true;
  }
  v.Walk(root, 0, height);
  return v.ok;
}

template <class K>
bool BtTree<K>::CursorSeek(BtCursor& c, ChHandle tree, uint32_t pos, const char* fn) {
  c.tree = tree;
  c.pos = pos;
  c.depth = 0;
  uint32_t* hd = HeadWords<K>(tree, fn);
  ChHandle h = hd[kBtHdRoot];
  if (!h) return false;
  const int height = CheckedHeight(hd, fn);
  for (int level = 0;; ++level) {
    uint32_t* w = NodeWords<K>(h, fn);
    if (level == 0 && pos >= w[1]) return false;
    c.node[level] = h;
    c.depth = level + 1;
    if (level == height - 1) {
      if (pos >= w[0]) BtFail(fn, "count");
      c.idx[level] = int(pos);
      return true;
    }
    bool onEntry;
    c.idx[level] = ChildAt<K>(w, &pos, &onEntry, fn);
    if (onEntry) return true;
    h = Children<K>(w)[c.idx[level]];
  }
}

template <class K>
bool BtTree<K>::CursorStep(BtCursor& c, bool forward) {
  if (c.depth == 0) return false;
  int top = c.depth - 1;
  uint32_t* w = NodeWords<K>(c.node[top], "BtDbNextRec");
  bool leaf = Children<K>(w)[0] == 0;
  if (!leaf) {
    // From an entry of an inner node down to the nearest leaf entry.
    int e = c.idx[top];
    int ci = forward ? e + 1 : e;
    c.idx[top] = ci;
    ChHandle h = Children<K>(w)[ci];
    for (;;) {
      MA_CHECK(K::Debug(), c.depth < kBtMaxHeight, "BtDbNextRec--height");
      int level = c.depth++;
      c.node[level] = h;
      w = NodeWords<K>(h, "BtDbNextRec");
      int n = int(w[0]);
      if (Children<K>(w)[0] == 0) {
        c.idx[level] = forward ? 0 : n - 1;
        break;
      }
      c.idx[level] = forward ? 0 : n;
      h = Children<K>(w)[forward ? 0 : n];
    }
  } else if (forward ? c.idx[top] + 1 < int(w[0]) : c.idx[top] > 0) {
    c.idx[top] += forward ? 1 : -1;
  } else {
    // Up to the first ancestor with an entry on that side.
    for (;;) {
      if (--c.depth == 0) return false;
      int t = c.depth - 1;
      int ci = c.idx[t];
      uint32_t* pw = NodeWords<K>(c.node[t], "BtDbNextRec");
      if (forward ? ci < int(pw[0]) : ci > 0) {
        c.idx[t] = forward ? ci : ci - 1;
        break;
      }
    }
  }
  c.pos += forward ? 1 : uint32_t(-1);
  return true;
}

template <class K>
void BtTree<K>::CursorEntry(const BtCursor& c, Entry* out) {
  ReadEntry(c.node[c.depth - 1], c.idx[c.depth - 1], out);
}

template struct BtTree<BtKindDb>;
template struct BtTree<BtKindI>;
template struct BtTree<BtKindI1>;
template struct BtTree<BtKindIh>;
template struct BtTree<BtKindM>;
template std::string BtNodeLayout<BtKindDb>();
template std::string BtNodeLayout<BtKindI>();
template std::string BtNodeLayout<BtKindI1>();
template std::string BtNodeLayout<BtKindIh>();
template std::string BtNodeLayout<BtKindM>();

}  // namespace quil
