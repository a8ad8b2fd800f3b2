// ChBt: the name-directory tree, a binary tree of separator nodes over the
// caller's chunks, ordered through a registered callback.
//
// Balance: an insertion that leaves its leaf deeper than log base 3/2 of the
// leaf count rebuilds, perfectly balanced, the lowest subtree on its path in
// which one side holds more than two thirds of the leaves (a scapegoat
// tree: amortised logarithmic insertions, depth within 1.71 log2 of the
// count).  Removals only shorten paths.
#include <array>
#include <cmath>

#include "Bt.h"
#include "ChSt.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

namespace {

constexpr uint16_t kChBtRootType = 30;
constexpr uint16_t kChBtNodeType = 31;
constexpr uint32_t kChBtRootBytes = 12;
constexpr uint32_t kChBtNodeBytes = 16;

// Root words.
constexpr int kRootCallback = 0;
constexpr int kRootTop = 1;
constexpr int kRootCount = 2;
// Inner node words.
constexpr int kNodeLink = 0;
constexpr int kNodeSep = 1;
constexpr int kNodeLeft = 2;
constexpr int kNodeRight = 3;

std::array<ChBtCallback, 256>& Callbacks() {
  static std::array<ChBtCallback, 256> table;
  return table;
}

uint32_t Get(ChHandle h, int word) { return static_cast<const uint32_t*>(ChDeref(h))[word]; }

void Put(ChHandle h, int word, uint32_t value) {
  ChLocked c(h);
  c.As<uint32_t>()[word] = value;
  c.MarkModified();
}

bool IsInner(ChHandle h) { return ChType(h) == kChBtNodeType; }

[[noreturn]] void Fail(const char* fn, const char* what) {
  MaAssertFailure(std::string(fn) + "--" + what);
}

// One tree and its callback for the length of a call.
struct Dir {
  ChHandle root;
  const ChBtCallback* cb;

  St KeyOf(ChHandle leaf) const { return cb->keyOf(leaf); }
  int Compare(const St& key, const St& str) const { return cb->compare(key, str); }
  St Sep(ChHandle node) const { return ChStToStXfm(Get(node, kNodeSep)); }
  ChHandle Top() const { return Get(root, kRootTop); }

  // Down from the top to the leaf where key belongs; the inner nodes passed
  // go to *path when given.
  ChHandle Descend(const St& key, std::vector<ChHandle>* path) const {
    ChHandle h = Top();
    while (h && IsInner(h)) {
      if (path) path->push_back(h);
      h = Get(h, Compare(key, Sep(h)) == kStBefore ? kNodeLeft : kNodeRight);
    }
    return h;
  }

  // Puts now where old hangs: below parent, or at the top when parent is 0.
  void Replace(ChHandle parent, ChHandle old, ChHandle now) const {
    if (!parent) {
      Put(root, kRootTop, now);
      return;
    }
    Put(parent, Get(parent, kNodeLeft) == old ? kNodeLeft : kNodeRight, now);
  }
};

Dir Open(ChHandle root, const char* fn) {
  if (BtDebugFlag && ChType(root) != kChBtRootType) Fail(fn, "root");
  uint32_t id = Get(root, kRootCallback);
  if (id == 0 || id > 255 || !Callbacks()[id].keyOf || !Callbacks()[id].compare)
    Fail(fn, "callback");
  return Dir{root, &Callbacks()[id]};
}

ChHandle Edge(ChHandle h, int side) {
  while (h && IsInner(h)) h = Get(h, side);
  return h;
}

// The leaves (in order) and the inner nodes of a subtree.
void Collect(ChHandle h, std::vector<ChHandle>* leaves, std::vector<ChHandle>* inner) {
  std::vector<ChHandle> stack;
  while (h || !stack.empty()) {
    while (h && IsInner(h)) {
      if (inner) inner->push_back(h);
      stack.push_back(h);
      h = Get(h, kNodeLeft);
    }
    if (h) {
      leaves->push_back(h);
      h = 0;
      continue;
    }
    h = Get(stack.back(), kNodeRight);
    stack.pop_back();
  }
}

uint32_t LeafCount(ChHandle h) {
  std::vector<ChHandle> leaves;
  Collect(h, &leaves, nullptr);
  return uint32_t(leaves.size());
}

// Builds a balanced tree over leaves [lo, hi) from the inner nodes in pool;
// returns its top.
ChHandle Build(const Dir& d, const std::vector<ChHandle>& leaves, size_t lo, size_t hi,
               std::vector<ChHandle>& pool, ChHandle parent) {
  if (hi - lo == 1) return leaves[lo];
  ChHandle node = pool.back();
  pool.pop_back();
  size_t mid = (lo + hi) / 2;
  ChHandle left = Build(d, leaves, lo, mid, pool, node);
  ChHandle right = Build(d, leaves, mid, hi, pool, node);
  ChHandle sep = StToChStXfm(d.KeyOf(leaves[mid]), d.root);
  ChLocked c(node);
  uint32_t* w = c.As<uint32_t>();
  w[kNodeLink] = parent;
  w[kNodeSep] = sep;
  w[kNodeLeft] = left;
  w[kNodeRight] = right;
  c.MarkModified();
  return node;
}

void Rebuild(const Dir& d, ChHandle node) {
  ChHandle parent = Get(node, kNodeLink);
  std::vector<ChHandle> leaves, inner;
  Collect(node, &leaves, &inner);
  for (ChHandle h : inner) ChStDestroy(Get(h, kNodeSep));
  ChHandle top = Build(d, leaves, 0, leaves.size(), inner, parent);
  d.Replace(parent, node, top);
}

// A separator string destroyed again unless the insertion completes.
class SepGuard {
 public:
  explicit SepGuard(ChHandle sep) : sep_(sep) {}
  SepGuard(const SepGuard&) = delete;
  SepGuard& operator=(const SepGuard&) = delete;
  ~SepGuard() {
    if (sep_) ChStDestroy(sep_);
  }
  ChHandle Release() {
    ChHandle s = sep_;
    sep_ = 0;
    return s;
  }

 private:
  ChHandle sep_;
};

}  // namespace

// Root (type 30): callback identifier, top node, leaf count.  Inner node
// (type 31): link, separator, left, right.
void ChBtRegisterTypes() {
  UtRegisterBuiltin(kChBtRootType, UtLayout().Op(kUtHandle).Op(kUtHandle).Op(kUtInt32).Done());
  UtRegisterBuiltin(kChBtNodeType, UtLayout().Times(4, kUtHandle).Done());
}

void ChBtRegisterCallback(uint32_t id, ChBtCallback callback) {
  if (id == 0 || id > 255) MaAssertFailure("ChBtRegisterCallback--id");
  Callbacks()[id] = std::move(callback);
}

ChHandle ChBtCreate(ChHandle near, uint32_t callbackId) {
  if (callbackId == 0 || callbackId > 255 || !Callbacks()[callbackId].keyOf)
    MaAssertFailure("ChBtCreate--callback");
  ChHandle root;
  auto* w = static_cast<uint32_t*>(ChCreate(kChBtRootType, kChBtRootBytes, near, &root));
  w[kRootCallback] = callbackId;
  ChUnlockMod(w);
  return root;
}

void ChBtDestroy(ChHandle root) {
  if (BtDebugFlag && ChType(root) != kChBtRootType) Fail("ChBtDestroy", "root");
  std::vector<ChHandle> leaves, inner;
  Collect(Get(root, kRootTop), &leaves, &inner);
  for (ChHandle h : inner) {
    ChStDestroy(Get(h, kNodeSep));
    ChDestroy(h);
  }
  ChDestroy(root);
}

bool ChBtAdd(ChHandle root, ChHandle leaf) {
  Dir d = Open(root, "ChBtAdd");
  if (BtDebugFlag && (leaf == 0 || IsInner(leaf))) Fail("ChBtAdd", "leaf");
  St key = d.KeyOf(leaf);
  if (!d.Top()) {
    Put(root, kRootTop, leaf);
    Put(root, kRootCount, 1);
    return true;
  }
  std::vector<ChHandle> path;
  ChHandle other = d.Descend(key, &path);
  St otherKey = d.KeyOf(other);
  int c = d.Compare(key, otherKey);
  if (c == kStEqual) return false;
  bool before = c == kStBefore;
  SepGuard sep(StToChStXfm(before ? otherKey : key, root));
  ChHandle parent = path.empty() ? 0 : path.back();
  ChHandle node;
  auto* w = static_cast<uint32_t*>(ChCreate(kChBtNodeType, kChBtNodeBytes, root, &node));
  w[kNodeLink] = parent;
  w[kNodeSep] = sep.Release();
  w[kNodeLeft] = before ? leaf : other;
  w[kNodeRight] = before ? other : leaf;
  ChUnlockMod(w);
  d.Replace(parent, other, node);
  uint32_t count = Get(root, kRootCount) + 1;
  Put(root, kRootCount, count);
  path.push_back(node);

  // Too deep: find the scapegoat going up and rebuild below it.
  double limit = std::log(double(count)) / std::log(1.5);
  if (double(path.size()) <= limit) return true;
  uint32_t below = 1;  // leaves under the path's child at this level
  ChHandle child = leaf;
  for (size_t i = path.size(); i-- > 0;) {
    ChHandle n = path[i];
    ChHandle sibling = Get(n, kNodeLeft) == child ? Get(n, kNodeRight) : Get(n, kNodeLeft);
    uint32_t size = below + LeafCount(sibling);
    if (3 * below > 2 * size) {
      Rebuild(d, n);
      return true;
    }
    below = size;
    child = n;
  }
  return true;
}

ChHandle ChBtDelete(ChHandle root, const St& key) {
  Dir d = Open(root, "ChBtDelete");
  std::vector<ChHandle> path;
  ChHandle leaf = d.Descend(key, &path);
  if (!leaf || d.Compare(key, d.KeyOf(leaf)) != kStEqual) return 0;
  if (path.empty()) {
    Put(root, kRootTop, 0);
  } else {
    ChHandle p = path.back();
    ChHandle sibling = Get(p, kNodeLeft) == leaf ? Get(p, kNodeRight) : Get(p, kNodeLeft);
    ChHandle grand = Get(p, kNodeLink);
    d.Replace(grand, p, sibling);
    if (IsInner(sibling)) Put(sibling, kNodeLink, grand);
    ChStDestroy(Get(p, kNodeSep));
    ChDestroy(p);
  }
  Put(root, kRootCount, Get(root, kRootCount) - 1);
  return leaf;
}

ChHandle ChBtLookup(ChHandle root, const St& key) {
  Dir d = Open(root, "ChBtLookup");
  ChHandle leaf = d.Descend(key, nullptr);
  return leaf && d.Compare(key, d.KeyOf(leaf)) == kStEqual ? leaf : 0;
}

void ChBtBounds(ChHandle root, const St& key, ChHandle* below, ChHandle* above) {
  Dir d = Open(root, "ChBtBounds");
  *below = *above = 0;
  // The subtrees passed on the way down: the last one left behind on the
  // left holds the nearest smaller keys, on the right the nearest larger.
  ChHandle lastLeft = 0, lastRight = 0;
  ChHandle h = d.Top();
  while (h && IsInner(h)) {
    if (d.Compare(key, d.Sep(h)) == kStBefore) {
      lastRight = Get(h, kNodeRight);
      h = Get(h, kNodeLeft);
    } else {
      lastLeft = Get(h, kNodeLeft);
      h = Get(h, kNodeRight);
    }
  }
  if (!h) return;
  int c = d.Compare(key, d.KeyOf(h));
  *below = c == kStBefore ? Edge(lastLeft, kNodeRight) : h;
  *above = c == kStAfter ? Edge(lastRight, kNodeLeft) : h;
}

bool ChBtIsEmpty(ChHandle root) { return Open(root, "ChBtIsEmpty").Top() == 0; }

uint32_t ChBtCount(ChHandle root) {
  Open(root, "ChBtCount");
  return Get(root, kRootCount);
}

bool ChBtValidate(ChHandle root, std::string* report) {
  Dir d = Open(root, "ChBtValidate");
  bool ok = true;
  auto problem = [&](ChHandle h, const std::string& what) {
    ok = false;
    if (!report) return;
    char head[40];
    snprintf(head, sizeof head, "node 0x%08X: ", h);
    *report += head + what + "\n";
  };
  // Each frame: a node, its expected parent, and the separators that bound
  // its leaves (nil: no bound).
  struct Frame {
    ChHandle h, parent;
    St low, high;
  };
  std::vector<Frame> stack;
  if (ChHandle top = d.Top()) stack.push_back({top, 0, St(), St()});
  std::vector<std::pair<ChHandle, St>> leaves;
  while (!stack.empty()) {
    Frame f = std::move(stack.back());
    stack.pop_back();
    if (!ChIsLegal(f.h)) {
      problem(f.h, "not a chunk");
      continue;
    }
    if (!IsInner(f.h)) {
      St key = d.KeyOf(f.h);
      if (!f.low.IsNil() && d.Compare(key, f.low) == kStBefore)
        problem(f.h, "leaf sorts before the separator above it");
      if (!f.high.IsNil() && d.Compare(key, f.high) != kStBefore)
        problem(f.h, "leaf does not sort before the separator above it");
      leaves.emplace_back(f.h, std::move(key));
      continue;
    }
    if (ChSize(f.h) != kChBtNodeBytes) problem(f.h, "inner node of the wrong size");
    if (Get(f.h, kNodeLink) != f.parent) problem(f.h, "link is not the parent");
    if (!ChIsLegal(Get(f.h, kNodeSep))) {
      problem(f.h, "separator is not a chunk");
      continue;
    }
    St sep = d.Sep(f.h);
    // Right first: the stack gives the leaves back in order.
    stack.push_back({Get(f.h, kNodeRight), f.h, sep, f.high});
    stack.push_back({Get(f.h, kNodeLeft), f.h, f.low, sep});
  }
  for (size_t i = 1; i < leaves.size(); ++i)
    if (d.Compare(leaves[i].second, leaves[i - 1].second) != kStAfter)
      problem(leaves[i].first, "leaves out of order");
  if (leaves.size() != Get(root, kRootCount))
    problem(root, "count " + std::to_string(Get(root, kRootCount)) + ", leaves " +
                      std::to_string(leaves.size()));
  return ok;
}

void ChBtStartAll(ChBtIter& it, ChHandle root) {
  Dir d = Open(root, "ChBtStartAll");
  it.leaves.clear();
  it.next = 0;
  Collect(d.Top(), &it.leaves, nullptr);
}

ChHandle ChBtNext(ChBtIter& it) { return it.next < it.leaves.size() ? it.leaves[it.next++] : 0; }

void ChBtStop(ChBtIter& it) {
  it.leaves.clear();
  it.next = 0;
}

}  // namespace quil
