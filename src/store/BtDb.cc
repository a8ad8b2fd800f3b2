// BtDb: the string-keyed B-tree, its iterations and the sorting helpers.
#include <algorithm>
#include <unordered_map>

#include "BtInt.h"
#include "Ma.h"

namespace quil {

namespace {

using Tree = BtTree<BtKindDb>;
using Entry = BtKindDb::Entry;
constexpr int kKey = BtKindDb::kKeyBytes;

Entry MakeEntry(const St& key, ChHandle handle, uint32_t word) {
  Entry e;
  BtDbKeyFill(e.key, key);
  e.v[0] = handle;
  e.v[1] = word;
  return e;
}

void PutOut(const Entry& e, St* key, ChHandle* handle, uint32_t* word) {
  if (key) *key = BtDbKeySt(e.key);
  if (handle) *handle = e.v[0];
  if (word) *word = e.v[1];
}

}  // namespace

void BtDbKeyFill(uint8_t* key, const St& str) {
  auto n = size_t(std::min<int32_t>(str.Length(), kKey));
  memcpy(key, str.Bytes(), n);
  memset(key + n, 0, kKey - n);
}

BtKindDb::Probe BtDbKeyProbe(const St& str, bool whole) {
  BtKindDb::Probe p;
  int n = std::min<int32_t>(str.Length(), kKey);
  const uint8_t* b = str.Bytes();
  for (int j = 0; j < n; ++j) p.up[j] = StASCIIUpper[b[j]];
  memset(p.up + n, 0, size_t(kKey - n));
  p.len = whole ? kKey : n;
  p.ties = 0;
  p.v[0] = p.v[1] = 0;
  return p;
}

St BtDbKeySt(const uint8_t* key) {
  const void* zero = memchr(key, 0, kKey);
  auto n = int32_t(zero ? static_cast<const uint8_t*>(zero) - key : kKey);
  return StCreateLen(key, n);
}

// ---------------------------------------------------------------------------
// The tree.

ChHandle BtDbCreate(ChHandle near) { return Tree::Create(near); }
void BtDbDestroy(ChHandle tree) { Tree::Destroy(tree, "BtDbDestroy"); }
uint32_t BtDbCount(ChHandle tree) { return Tree::Count(tree, "BtDbCount"); }
uint32_t BtDbRev(ChHandle tree) { return Tree::HeaderWord(tree, kBtHdRev, "BtDbRev"); }
void BtDbSetAppHnd(ChHandle tree, ChHandle app) {
  Tree::SetHeaderWord(tree, kBtHdApp, app, "BtDbSetAppHnd");
}
void BtDbSetAppHnd2(ChHandle tree, ChHandle app) {
  Tree::SetHeaderWord(tree, kBtHdApp2, app, "BtDbSetAppHnd2");
}
ChHandle BtDbAppHnd(ChHandle tree) { return Tree::HeaderWord(tree, kBtHdApp, "BtDbAppHnd"); }
ChHandle BtDbAppHnd2(ChHandle tree) { return Tree::HeaderWord(tree, kBtHdApp2, "BtDbAppHnd2"); }

bool BtDbInsert(ChHandle tree, St key, ChHandle handle, uint32_t word) {
  return Tree::Insert(tree, MakeEntry(key, handle, word), "BtDbInsert");
}

bool BtDbRemove(ChHandle tree, St key, ChHandle handle, uint32_t word) {
  return Tree::Remove(tree, BtKindDb::ProbeOf(MakeEntry(key, handle, word)), "BtDbRemove");
}

namespace {

bool LookupPrefix(ChHandle tree, const St& key, bool last, ChHandle* handle, uint32_t* word,
                  const char* fn) {
  Entry e;
  if (!Tree::Find(tree, BtDbKeyProbe(key, false), last, &e, nullptr, fn)) return false;
  PutOut(e, nullptr, handle, word);
  return true;
}

}  // namespace

bool BtDbLookupFirst(ChHandle tree, St key, ChHandle* handle, uint32_t* word) {
  return LookupPrefix(tree, key, false, handle, word, "BtDbLookupFirst");
}

bool BtDbLookupLast(ChHandle tree, St key, ChHandle* handle, uint32_t* word) {
  return LookupPrefix(tree, key, true, handle, word, "BtDbLookupLast");
}

bool BtDbLookupFirstIx(ChHandle tree, St key, uint32_t* position) {
  return Tree::Find(tree, BtDbKeyProbe(key, false), false, nullptr, position,
                    "BtDbLookupFirstIx");
}

bool BtDbLookupLastIx(ChHandle tree, St key, uint32_t* position) {
  return Tree::Find(tree, BtDbKeyProbe(key, false), true, nullptr, position,
                    "BtDbLookupLastIx");
}

bool BtDbIndex(ChHandle tree, uint32_t position, St* key, ChHandle* handle, uint32_t* word) {
  Entry e;
  if (!Tree::Index(tree, position, &e, "BtDbIndex")) return false;
  PutOut(e, key, handle, word);
  return true;
}

ChHandle BtDbGetRec(ChHandle tree, uint32_t position) {
  Entry e;
  return Tree::Index(tree, position, &e, "BtDbGetRec") ? e.v[0] : 0;
}

St BtDbGetActual(ChHandle tree, St key) {
  Entry e;
  if (!Tree::Find(tree, BtDbKeyProbe(key, false), false, &e, nullptr, "BtDbGetActual"))
    return St();
  return BtDbKeySt(e.key);
}

bool BtDbValidateEntry(ChHandle tree, St key, ChHandle handle, uint32_t word) {
  return Tree::Find(tree, BtKindDb::ProbeOf(MakeEntry(key, handle, word)), false, nullptr,
                    nullptr, "BtDbValidateEntry");
}

bool BtDbEntryIsLegal(ChHandle tree, uint32_t position) {
  Entry e;
  return Tree::Index(tree, position, &e, "BtDbEntryIsLegal") && ChIsLegal(e.v[0]);
}

bool BtDbValidate(ChHandle tree, std::string* report) { return Tree::Validate(tree, report); }

// ---------------------------------------------------------------------------
// Sorting.

void BtDbSortRecs(std::vector<ChHandle>& recs, const std::function<St(ChHandle)>& keyOf) {
  struct Item {
    uint8_t up[kKey];
    ChHandle h;
  };
  std::vector<Item> items(recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    BtKindDb::Probe p = BtDbKeyProbe(keyOf(recs[i]), true);
    memcpy(items[i].up, p.up, kKey);
    items[i].h = recs[i];
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    int c = memcmp(a.up, b.up, kKey);
    return c != 0 ? c < 0 : a.h < b.h;
  });
  for (size_t i = 0; i < recs.size(); ++i) recs[i] = items[i].h;
}

void BtDbSortRecsByName(ChHandle tree, std::vector<ChHandle>& recs) {
  std::unordered_map<ChHandle, uint32_t> rank;
  for (ChHandle h : recs) rank.emplace(h, UINT32_MAX);
  BtCursor c;
  bool more = Tree::CursorSeek(c, tree, 0, "BtDbSortRecsByName");
  for (uint32_t pos = 0; more; ++pos, more = Tree::CursorStep(c, true)) {
    Entry e;
    Tree::CursorEntry(c, &e);
    auto it = rank.find(e.v[0]);
    if (it != rank.end() && it->second == UINT32_MAX) it->second = pos;
  }
  std::stable_sort(recs.begin(), recs.end(),
                   [&](ChHandle a, ChHandle b) { return rank[a] < rank[b]; });
}

// ---------------------------------------------------------------------------
// Iterations.  An iteration is a range [lo, hi) of positions, computed from
// its key for the tree's revision; a change of the tree recomputes it, and
// the walk finds its place again after the entry it returned last.

namespace {

void IterRange(BtDbIter& it) {
  const char* fn = "BtDbNextRec";
  it.rev = BtDbRev(it.tree);
  uint32_t count = BtDbCount(it.tree);
  switch (it.kind) {
    case BtDbIterKind::kFirst:
      it.lo = Tree::Rank(it.tree, BtDbKeyProbe(it.key, true), !it.inclusive, fn);
      it.hi = count;
      break;
    case BtDbIterKind::kLast:
      it.lo = 0;
      it.hi = Tree::Rank(it.tree, BtDbKeyProbe(it.key, true), it.inclusive, fn);
      break;
    case BtDbIterKind::kEmailName:
      it.lo = Tree::Rank(it.tree, BtDbKeyProbe(it.key, false), false, fn);
      it.hi = Tree::Rank(it.tree, BtDbKeyProbe(it.key, false), true, fn);
      break;
    case BtDbIterKind::kForum:
      it.lo = 0;
      it.hi = count;
      break;
  }
}

void IterStart(BtDbIter& it, ChHandle tree, int32_t id, BtDbIterKind kind, St key,
               bool inclusive, uint32_t forum, const char* fn) {
  (void)BtTree<BtKindDb>::HeaderWord(tree, kBtHdRoot, fn);  // type check
  it.id = id;
  it.kind = kind;
  it.tree = tree;
  it.key = std::move(key);
  it.inclusive = inclusive;
  it.forum = forum;
  it.started = false;
  it.done = false;
  it.cursor = BtCursor();
  IterRange(it);
}

}  // namespace

void BtDbStartFirst(BtDbIter& it, ChHandle tree, int32_t id, St firstKey, bool inclusive) {
  IterStart(it, tree, id, BtDbIterKind::kFirst, std::move(firstKey), inclusive, 0,
            "BtDbStartFirst");
}

void BtDbStartLast(BtDbIter& it, ChHandle tree, int32_t id, St lastKey, bool inclusive) {
  IterStart(it, tree, id, BtDbIterKind::kLast, std::move(lastKey), inclusive, 0,
            "BtDbStartLast");
}

void BtDbStartEmailName(BtDbIter& it, ChHandle tree, int32_t id, St name) {
  IterStart(it, tree, id, BtDbIterKind::kEmailName, std::move(name), true, 0,
            "BtDbStartEmailName");
}

void BtDbStartForum(BtDbIter& it, ChHandle tree, int32_t id, uint32_t forum) {
  IterStart(it, tree, id, BtDbIterKind::kForum, St(), true, forum, "BtDbStartForum");
}

bool BtDbNextCommon(BtDbIter* const* iters, int count, St* key, ChHandle* handle,
                    uint32_t* word) {
  MA_CHECK(BtDbDebugFlag, count > 0, "BtDbNextCommon--no iteration");
  BtDbIter& d = *iters[0];
  if (d.done) return false;
  uint32_t rev = BtDbRev(d.tree);
  bool moved = d.started && d.rev != rev;
  uint32_t lo = 0, hi = UINT32_MAX;
  for (int k = 0; k < count; ++k) {
    BtDbIter& it = *iters[k];
    MA_CHECK(BtDbDebugFlag, it.tree == d.tree, "BtDbNextCommon--different trees");
    if (it.rev != rev) IterRange(it);
    lo = std::max(lo, it.lo);
    hi = std::min(hi, it.hi);
  }
  const bool forward = d.kind != BtDbIterKind::kLast;
  const char* fn = "BtDbNextRec";
  bool have;
  if (!d.started) {
    d.started = true;
    have = lo < hi && Tree::CursorSeek(d.cursor, d.tree, forward ? lo : hi - 1, fn);
  } else if (moved) {
    Entry last;
    memcpy(last.key, d.lastKey, kKey);
    last.v[0] = d.lastValues[0];
    last.v[1] = d.lastValues[1];
    uint32_t r = Tree::Rank(d.tree, BtKindDb::ProbeOf(last), forward, fn);
    have = (forward || r > 0) && Tree::CursorSeek(d.cursor, d.tree, forward ? r : r - 1, fn);
  } else {
    have = Tree::CursorStep(d.cursor, forward);
  }
  for (; have; have = Tree::CursorStep(d.cursor, forward)) {
    if (d.cursor.pos < lo || d.cursor.pos >= hi) break;
    Entry e;
    Tree::CursorEntry(d.cursor, &e);
    bool pass = true;
    for (int k = 0; k < count && pass; ++k)
      pass = iters[k]->kind != BtDbIterKind::kForum || e.v[1] == iters[k]->forum;
    if (!pass) continue;
    memcpy(d.lastKey, e.key, kKey);
    d.lastValues[0] = e.v[0];
    d.lastValues[1] = e.v[1];
    PutOut(e, key, handle, word);
    return true;
  }
  d.done = true;
  return false;
}

bool BtDbNextRec(BtDbIter& it, St* key, ChHandle* handle, uint32_t* word) {
  BtDbIter* one = &it;
  return BtDbNextCommon(&one, 1, key, handle, word);
}

bool BtDbFirstRec(BtDbIter& it, St* key, ChHandle* handle, uint32_t* word) {
  it.started = false;
  it.done = false;
  return BtDbNextRec(it, key, handle, word);
}

void BtDbStop(BtDbIter& it) {
  it.done = true;
  it.key = St();
}

int32_t BtDbIterId(const BtDbIter& it) { return it.id; }
bool BtDbIterIsFirst(const BtDbIter& it) { return it.kind == BtDbIterKind::kFirst; }
bool BtDbIterIsLast(const BtDbIter& it) { return it.kind == BtDbIterKind::kLast; }
bool BtDbIterIsEmailName(const BtDbIter& it) { return it.kind == BtDbIterKind::kEmailName; }
uint32_t BtDbIterMaxCount(const BtDbIter& it) { return it.hi > it.lo ? it.hi - it.lo : 0; }

}  // namespace quil
