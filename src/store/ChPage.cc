// Blocks inside one page in memory form: allocation, freeing, resizing, and
// the page's free-block tree.
//
// The tree is a binary search tree of free blocks by size: the first child
// holds smaller sizes, the second larger ones, and each node counts the
// nodes under each child.  A block whose size is already in the tree is
// chained behind the node of that size (next at offset 10, back link at
// offset 6), so taking a block of a size that occurs twice never changes
// the tree's shape.  Allocation takes the smallest block that fits (an exact
// fit when there is one) and splits off the rest; freeing merges with both
// neighbours, which the size fields at offsets 0 and 2 make reachable.
#include <string>

#include "ChInt.h"
#include "Ma.h"

namespace quil {

namespace {

uint16_t G(const uint8_t* pg, uint32_t off, uint32_t field) {
  return BlkGet(pg, off, field);
}
void S(uint8_t* pg, uint32_t off, uint32_t field, uint32_t v) {
  BlkSet(pg, off, field, uint16_t(v));
}
uint16_t PgFreeBytes(const uint8_t* pg) { return Ld16(pg + kPgFree); }
uint16_t PgRoot(const uint8_t* pg) { return Ld16(pg + kPgRoot); }

// Points parent's link to from at to (the root when parent is 0) and sets
// to's back link.
void ReplaceChild(uint8_t* pg, uint32_t parent, uint32_t from, uint32_t to) {
  if (parent == 0) {
    St16(pg + kPgRoot, uint16_t(to));
  } else if (G(pg, parent, kBlkChild1) == from) {
    S(pg, parent, kBlkChild1, to);
  } else {
    S(pg, parent, kBlkChild2, to);
  }
  if (to) S(pg, to, kBlkParent, parent);
}

// Makes the block at off a free block of size and enters it in the tree.
// Its prev-size field is left alone; the body after the 16 bytes of links
// is cleared.
void TreeInsert(uint8_t* pg, uint32_t off, uint32_t size) {
  S(pg, off, kBlkSize, size);
  S(pg, off, kBlkType, 0);
  S(pg, off, kBlkParent, 0);
  S(pg, off, kBlkChild1, 0);
  S(pg, off, kBlkNext, 0);
  S(pg, off, kBlkChild2, 0);
  pg[off + kBlkCount1] = 0;
  pg[off + kBlkCount2] = 0;
  memset(pg + off + 16, 0, size - 16);
  uint32_t root = PgRoot(pg);
  if (root == 0) {
    St16(pg + kPgRoot, uint16_t(off));
    return;
  }
  uint32_t cur = root;
  uint32_t side;
  for (;;) {
    uint32_t cs = G(pg, cur, kBlkSize);
    if (size == cs) {
      // Chain behind the node of this size.
      uint32_t n = G(pg, cur, kBlkNext);
      S(pg, off, kBlkNext, n);
      if (n) S(pg, n, kBlkParent, off);
      S(pg, cur, kBlkNext, off);
      S(pg, off, kBlkParent, cur);
      return;
    }
    side = size < cs ? kBlkChild1 : kBlkChild2;
    uint32_t c = G(pg, cur, side);
    if (c == 0) break;
    cur = c;
  }
  // A new node: every node on the path gains one under the side taken.
  for (uint32_t p = root;;) {
    bool smaller = size < G(pg, p, kBlkSize);
    pg[p + (smaller ? kBlkCount1 : kBlkCount2)]++;
    if (p == cur) break;
    p = G(pg, p, smaller ? kBlkChild1 : kBlkChild2);
  }
  S(pg, cur, side, off);
  S(pg, off, kBlkParent, cur);
}

void TreeRemove(uint8_t* pg, uint32_t off) {
  uint32_t parent = G(pg, off, kBlkParent);
  uint32_t size = G(pg, off, kBlkSize);
  uint32_t next = G(pg, off, kBlkNext);
  if (parent && G(pg, parent, kBlkSize) == size) {
    // A chained block.
    S(pg, parent, kBlkNext, next);
    if (next) S(pg, next, kBlkParent, parent);
    return;
  }
  uint32_t c1 = G(pg, off, kBlkChild1);
  uint32_t c2 = G(pg, off, kBlkChild2);
  if (next) {
    // The first chained block takes the node's place; counts are unchanged.
    S(pg, next, kBlkChild1, c1);
    S(pg, next, kBlkChild2, c2);
    pg[next + kBlkCount1] = pg[off + kBlkCount1];
    pg[next + kBlkCount2] = pg[off + kBlkCount2];
    if (c1) S(pg, c1, kBlkParent, next);
    if (c2) S(pg, c2, kBlkParent, next);
    ReplaceChild(pg, parent, off, next);
    return;
  }
  for (uint32_t child = off, a = parent; a; child = a, a = G(pg, a, kBlkParent))
    pg[a + (G(pg, a, kBlkChild1) == child ? kBlkCount1 : kBlkCount2)]--;
  if (c1 == 0 || c2 == 0) {
    ReplaceChild(pg, parent, off, c1 ? c1 : c2);
    return;
  }
  // Two children: the smallest node of the larger side takes the place.
  uint32_t s = c2;
  while (G(pg, s, kBlkChild1)) s = G(pg, s, kBlkChild1);
  if (s != c2) {
    uint32_t sp = G(pg, s, kBlkParent);
    for (uint32_t x = c2;; x = G(pg, x, kBlkChild1)) {
      pg[x + kBlkCount1]--;
      if (x == sp) break;
    }
    uint32_t sc2 = G(pg, s, kBlkChild2);
    S(pg, sp, kBlkChild1, sc2);
    if (sc2) S(pg, sc2, kBlkParent, sp);
    S(pg, s, kBlkChild2, c2);
    S(pg, c2, kBlkParent, s);
    pg[s + kBlkCount2] = uint8_t(pg[off + kBlkCount2] - 1);
  }
  S(pg, s, kBlkChild1, c1);
  S(pg, c1, kBlkParent, s);
  pg[s + kBlkCount1] = pg[off + kBlkCount1];
  ReplaceChild(pg, parent, off, s);
}

// The smallest free block of at least need bytes (a chained one when the
// size occurs twice), or 0.
uint32_t TreeFindFit(const uint8_t* pg, uint32_t need) {
  uint32_t best = 0;
  for (uint32_t cur = PgRoot(pg); cur;) {
    uint32_t cs = G(pg, cur, kBlkSize);
    if (cs == need) {
      best = cur;
      break;
    }
    if (cs > need) {
      best = cur;
      cur = G(pg, cur, kBlkChild1);
    } else {
      cur = G(pg, cur, kBlkChild2);
    }
  }
  if (best && G(pg, best, kBlkNext)) return G(pg, best, kBlkNext);
  return best;
}

void SetPrevOfFollowing(uint8_t* pg, uint32_t off, uint32_t size) {
  if (off + size < kChPageSize) S(pg, off + size, kBlkPrev, size);
}

// Frees [off, off + size), whose prev-size field is already right, merging
// with a free block that follows.
void FreeTail(uint8_t* pg, uint32_t off, uint32_t size) {
  uint32_t next = off + size;
  if (next < kChPageSize && G(pg, next, kBlkType) == 0) {
    size += G(pg, next, kBlkSize);
    TreeRemove(pg, next);
  }
  TreeInsert(pg, off, size);
  SetPrevOfFollowing(pg, off, size);
}

void AddFree(uint8_t* pg, int32_t delta) {
  uint32_t free = uint32_t(int32_t(PgFreeBytes(pg)) + delta);
  St16(pg + kPgFree, uint16_t(free));
  uint16_t flags = Ld16(pg + kPgFlags);
  flags = free == kPgRoom ? flags | kPgFlagEmpty : flags & ~kPgFlagEmpty;
  St16(pg + kPgFlags, flags);
}

}  // namespace

void ChPgInitEmpty(uint8_t* pg, uint8_t partId) {
  uint32_t keep = Ld32(pg + kPgNumber);
  memset(pg, 0, kChPageSize);
  St32(pg + kPgNumber, keep);
  St16(pg + kPgFree, uint16_t(kPgRoom));
  St16(pg + kPgFlags, kPgFlagEmpty | kPgFlagAlways | kPgFlagLittle | 16);
  pg[kPgPart] = partId;
  pg[kPgPart2] = partId;
  TreeInsert(pg, kPgHeadSize, kPgRoom);
}

uint32_t ChPgAlloc(uint8_t* pg, uint32_t length) {
  uint32_t need = ChRound16(length + 8);
  if (need > PgFreeBytes(pg)) return 0;
  uint32_t b = TreeFindFit(pg, need);
  if (b == 0) return 0;
  uint32_t have = G(pg, b, kBlkSize);
  TreeRemove(pg, b);
  if (have > need) {
    S(pg, b + need, kBlkPrev, need);
    TreeInsert(pg, b + need, have - need);
    SetPrevOfFollowing(pg, b + need, have - need);
  }
  S(pg, b, kBlkSize, length + 8);
  S(pg, b, kBlkType, 0xFFFF);  // the caller sets the real type
  S(pg, b, kBlkStatus, 0);
  AddFree(pg, -int32_t(need));
  return b;
}

void ChPgFree(uint8_t* pg, uint32_t off) {
  uint32_t size = BlkBytes(pg, off);
  AddFree(pg, int32_t(size));
  uint32_t start = off;
  uint32_t prev = G(pg, off, kBlkPrev);
  if (prev && G(pg, off - prev, kBlkType) == 0) {
    start = off - prev;
    size += prev;
    TreeRemove(pg, start);
  }
  FreeTail(pg, start, size);
}

bool ChPgResize(uint8_t* pg, uint32_t off, uint32_t length) {
  uint32_t have = BlkBytes(pg, off);
  uint32_t need = ChRound16(length + 8);
  if (need <= have) {
    S(pg, off, kBlkSize, length + 8);
    if (need < have) {
      S(pg, off + need, kBlkPrev, need);
      FreeTail(pg, off + need, have - need);
      AddFree(pg, int32_t(have - need));
    }
    return true;
  }
  uint32_t next = off + have;
  if (next >= kChPageSize || G(pg, next, kBlkType) != 0) return false;
  uint32_t total = have + G(pg, next, kBlkSize);
  if (total < need) return false;
  TreeRemove(pg, next);
  S(pg, off, kBlkSize, length + 8);
  if (total > need) {
    S(pg, off + need, kBlkPrev, need);
    TreeInsert(pg, off + need, total - need);
    SetPrevOfFollowing(pg, off + need, total - need);
  } else {
    SetPrevOfFollowing(pg, off, need);
  }
  AddFree(pg, -int32_t(need - have));
  return true;
}

uint32_t ChPgLargestFree(const uint8_t* pg) {
  uint32_t cur = PgRoot(pg);
  if (cur == 0) return 0;
  while (G(pg, cur, kBlkChild2)) cur = G(pg, cur, kBlkChild2);
  return G(pg, cur, kBlkSize);
}

// ---------------------------------------------------------------------------
// Verification.

namespace {

struct Verifier {
  const uint8_t* pg;
  std::string* why;
  uint8_t freeAt[256] = {};  // by offset / 16: 1 free, 2 seen in the tree
  uint32_t seen = 0;
  bool ok = true;

  void Fail(uint32_t off, const std::string& text) {
    ok = false;
    if (why) *why += "offset " + std::to_string(off) + ": " + text + "\n";
  }

  // Marks a free block as reached from the tree; false when it was not a
  // free block or was reached before.
  bool Reach(uint32_t off) {
    if (off < kPgHeadSize || off >= kChPageSize || off % 16 ||
        freeAt[off / 16] != 1) {
      Fail(off, "free-block tree names a block that is not free");
      return false;
    }
    freeAt[off / 16] = 2;
    ++seen;
    return true;
  }

  // Checks the subtree at node with sizes in (lo, hi); returns its node
  // count, or -1 after a failure.
  int Subtree(uint32_t node, uint32_t parent, uint32_t lo, uint32_t hi,
              int depth) {
    if (node == 0) return 0;
    if (depth > 256 || !Reach(node)) return -1;
    uint32_t size = G(pg, node, kBlkSize);
    if (G(pg, node, kBlkParent) != parent)
      Fail(node, "free-block tree parent link is wrong");
    if (size <= lo || size >= hi) Fail(node, "free-block tree out of order");
    for (uint32_t prev = node, c = G(pg, node, kBlkNext); c;
         prev = c, c = G(pg, c, kBlkNext)) {
      if (!Reach(c)) return -1;
      if (G(pg, c, kBlkSize) != size)
        Fail(c, "chained free block of another size");
      if (G(pg, c, kBlkParent) != prev)
        Fail(c, "chained free block back link is wrong");
    }
    int n1 = Subtree(G(pg, node, kBlkChild1), node, lo, size, depth + 1);
    if (n1 < 0) return -1;
    int n2 = Subtree(G(pg, node, kBlkChild2), node, size, hi, depth + 1);
    if (n2 < 0) return -1;
    if (pg[node + kBlkCount1] != n1 || pg[node + kBlkCount2] != n2)
      Fail(node, "free-block tree counts are wrong");
    return n1 + n2 + 1;
  }
};

}  // namespace

bool ChPgVerify(const uint8_t* pg, bool savedForm, std::string* why) {
  Verifier v{pg, why};
  if (pg[kPgPart] != pg[kPgPart2]) v.Fail(kPgPart, "the two part numbers differ");
  uint32_t off = kPgHeadSize;
  uint32_t prevSize = 0;
  bool prevFree = false;
  uint32_t freeSum = 0, freeCount = 0;
  while (off < kChPageSize) {
    uint32_t field = G(pg, off, kBlkSize);
    bool isFree = G(pg, off, kBlkType) == 0;
    uint32_t size = isFree ? field : ChRound16(field);
    if (isFree ? (field < 16 || field % 16) : field < 8) {
      v.Fail(off, "bad block size " + std::to_string(field));
      return false;
    }
    if (off + size > kChPageSize) {
      v.Fail(off, "block runs past the end of the page");
      return false;
    }
    if (G(pg, off, kBlkPrev) != prevSize)
      v.Fail(off, "previous-size field is " +
                      std::to_string(G(pg, off, kBlkPrev)) + ", block before is " +
                      std::to_string(prevSize));
    if (isFree) {
      if (prevFree) v.Fail(off, "adjacent free blocks");
      v.freeAt[off / 16] = 1;
      freeSum += size;
      ++freeCount;
    } else if (savedForm && (G(pg, off, kBlkStatus) >> 13)) {
      v.Fail(off, "saved chunk has a lock count");
    }
    prevFree = isFree;
    prevSize = size;
    off += size;
  }
  if (PgFreeBytes(pg) != freeSum)
    v.Fail(kPgFree, "free-space size " + std::to_string(PgFreeBytes(pg)) +
                        ", free blocks hold " + std::to_string(freeSum));
  bool emptyFlag = (Ld16(pg + kPgFlags) & kPgFlagEmpty) != 0;
  if (emptyFlag != (freeSum == kPgRoom))
    v.Fail(kPgFlags, "entirely-free flag does not match the free space");
  if (v.Subtree(PgRoot(pg), 0, 0, 0x10000, 0) >= 0 && v.seen != freeCount)
    v.Fail(kPgRoot, "free-block tree holds " + std::to_string(v.seen) +
                        " of " + std::to_string(freeCount) + " free blocks");
  return v.ok;
}

}  // namespace quil
