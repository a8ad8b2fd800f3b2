// BtInt: the B-tree packages' shared internals.  Only src/store includes this.
//
// One node algorithm serves the five kinds.  A kind is described by a small
// struct (BtKindDb, BtKindI, BtKindI1, BtKindIh, BtKindM) that gives its
// chunk types, its maximum of entries, its value fields and its key, and how
// a probe compares with the entry at a slot of a node; BtTree<Kind> holds
// the algorithms (BtNode.cc, instantiated once per kind).
//
// TREE HEADER CHUNK (all kinds; 20 bytes, host order in memory)
//
//   OFFSET  SIZE  MEANING
//   0       4     handle of the root node, 0 when the tree is empty
//   4       4     revision: +1 per successful insert and removal
//   8       4     height: node levels, 1 for a lone root leaf, 0 when empty
//   12      4     application handle
//   16      4     second application handle
//
// NODE CHUNK (general form; max = the kind's maximum of entries)
//
//   OFFSET              SIZE            MEANING
//   0                   4               n, the entries in this node
//   4                   4               entries in the node's whole subtree
//   8                   4 (max+1)       child handles, 0 in a leaf
//   8 + 4 (max+1)       4 (max+1)       the children's subtree counts
//   8 + 8 (max+1)       4 max, per      one array per value field: the
//                       value field     field of entry i at index i
//   K                   max * width     the keys, entry i at K + i * width
//
//   Entry i lies between child i and child i + 1.  Slots at and past n are
//   kept zero.
//
// BtDb NODE (type 627, 3,984 bytes; max 62)
//
//   OFFSET  SIZE   MEANING
//   0       4      n
//   4       4      subtree count
//   8       252    63 child handles (words 2-64)
//   260     252    63 child subtree counts (words 65-127)
//   512     248    62 entry handles (words 128-189)
//   760     248    62 entry words (words 190-251)
//   1,008   2,976  62 keys of 48 bytes, zero-padded, cut at 48
//
// BtiDb NODE (type 630, 4,016 bytes; max 200)
//
//   OFFSET  SIZE   MEANING
//   0       4      n
//   4       4      subtree count
//   8       804    201 child handles (words 2-202)
//   812     804    201 child subtree counts (words 203-403)
//   1,616   800    200 first words (words 404-603)
//   2,416   800    200 second words (words 604-803)
//   3,216   800    200 keys, 4 bytes each, most significant byte first
//
// Bti1Db NODE (type 635) and BtihDb NODE (type 637) (4,016 bytes; max 250)
//
//   OFFSET  SIZE   MEANING
//   0       4      n
//   4       4      subtree count
//   8       1,004  251 child handles (words 2-252)
//   1,012   1,004  251 child subtree counts (words 253-503)
//   2,016   1,000  250 values (words 504-753): a word (635), a handle (637)
//   3,016   1,000  250 keys, 4 bytes each, most significant byte first
//
// BtmDb NODE (type 632, 3,976 bytes; max 90; no key bytes)
//
//   OFFSET  SIZE   MEANING
//   0       4      n
//   4       4      subtree count
//   8       364    91 child handles (words 2-92)
//   372     364    91 child subtree counts (words 93-183)
//   736     360    key 1, signed (words 184-273)
//   1,096   360    key 2, signed (words 274-363)
//   1,456   360    date (words 364-453)
//   1,816   360    time (words 454-543)
//   2,176   360    further word (words 544-633)
//   2,536   360    flags and article: bit 31 deleted, bit 30 has a message
//                  identifier, bits 0-29 article number (words 634-723)
//   2,896   360    unique identifier (words 724-813)
//   3,256   360    message handle (words 814-903)
//   3,616   360    author handle (words 904-993)
//
// Order: BtDb by key through StASCIIUpper, then handle, then word; the
// integer kinds by key as an unsigned number, then their values in order;
// BtmDb by key 1, then key 2, as signed numbers.  Ties are unsigned.  The
// values that decide the order also make an entry's identity: an insert of
// an entry equal in all of them is refused.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "Bt.h"
#include "Ch.h"
#include "ChInt.h"
#include "St.h"

namespace quil {

// Header words.
constexpr int kBtHdRoot = 0;
constexpr int kBtHdRev = 1;
constexpr int kBtHdHeight = 2;
constexpr int kBtHdApp = 3;
constexpr int kBtHdApp2 = 4;
constexpr uint32_t kBtHeaderBytes = 20;

// Deepest tree the algorithms follow.  A kind's smallest non-root node has
// 46 children, so 2^32 entries need at most 7 levels.
constexpr int kBtMaxHeight = kBtCursorLevels;

enum class BtField : uint8_t { kInt, kHandle };

// Word and byte offsets of a node, from the maximum of entries, the number of
// 32-bit value fields and the key width.
template <int Max, int Values, int KeyBytes>
struct BtGeometry {
  static constexpr int kMax = Max;
  static constexpr int kHalf = Max / 2;
  static constexpr int kValues = Values;
  static constexpr int kKeyBytes = KeyBytes;
  static constexpr int kWordChild = 2;
  static constexpr int kWordChildCount = 2 + (Max + 1);
  static constexpr int kWordValues = 2 + 2 * (Max + 1);
  static constexpr uint32_t kKeyOffset = 4u * uint32_t(kWordValues + Values * Max);
  static constexpr uint32_t kNodeBytes = kKeyOffset + uint32_t(Max * KeyBytes);
};

// One entry taken out of a node: its value fields and key bytes.
template <int Values, int KeyBytes>
struct BtEntryT {
  uint32_t v[Values] = {};
  uint8_t key[KeyBytes > 0 ? KeyBytes : 1] = {};
};

inline uint32_t BtLoadBe32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline void BtStoreBe32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  memcpy(p, &v, 4);
}

// Eight bytes through StASCIIUpper at once: each byte from 'a' to 'z' loses
// 0x20, every other byte (those from 0x80 up among them) stays.  Sums of a
// byte below 0x80 and at most 0x1F never carry into the next byte.
inline uint64_t BtUpper8(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  uint64_t low = x & ~kHigh;
  uint64_t atLeastA = low + (0x80 - 'a') * kOnes;
  uint64_t aboveZ = low + (0x80 - 'z' - 1) * kOnes;
  uint64_t lower = (atLeastA ^ aboveZ) & ~x & kHigh;
  return x - (lower >> 2);
}

// ---------------------------------------------------------------------------
// The kinds.  Cmp(probe, node words, i) is negative when the probe sorts
// before entry i, 0 when equal, positive when after.

// BtDb: 48-byte string keys compared through StASCIIUpper; a handle and a
// word.  A probe compares its first len bytes only (prefix look-ups); a full
// probe also compares the handle and the word.
struct BtKindDb : BtGeometry<62, 2, 48> {
  static constexpr uint16_t kHeadType = 626;
  static constexpr uint16_t kNodeType = 627;
  static constexpr BtField kFields[kValues] = {BtField::kHandle, BtField::kInt};
  static bool& Debug() { return BtDbDebugFlag; }
  using Entry = BtEntryT<kValues, kKeyBytes>;
  struct Probe {
    uint8_t up[kKeyBytes];
    int len;
    int ties;
    uint32_t v[kValues];
  };
  static int Cmp(const Probe& p, const uint32_t* w, int i) {
    const uint8_t* k = reinterpret_cast<const uint8_t*>(w) + kKeyOffset + i * kKeyBytes;
    int j = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // Eight bytes at a time: the first differing byte is the lowest set
      // byte of the difference.
      for (; j + 8 <= p.len; j += 8) {
        uint64_t a, b;
        memcpy(&a, p.up + j, 8);
        memcpy(&b, k + j, 8);
        b = BtUpper8(b);
        if (a != b) {
          int shift = __builtin_ctzll(a ^ b) & ~7;
          return uint8_t(a >> shift) < uint8_t(b >> shift) ? -1 : 1;
        }
      }
    }
    for (; j < p.len; ++j) {
      uint8_t a = p.up[j];
      uint8_t b = StASCIIUpper[k[j]];
      if (a != b) return a < b ? -1 : 1;
    }
    for (int t = 0; t < p.ties; ++t) {
      uint32_t b = w[kWordValues + t * kMax + i];
      if (p.v[t] != b) return p.v[t] < b ? -1 : 1;
    }
    return 0;
  }
  static Probe ProbeOf(const Entry& e) {
    Probe p;
    for (int j = 0; j < kKeyBytes; ++j) p.up[j] = StASCIIUpper[e.key[j]];
    p.len = kKeyBytes;
    p.ties = kValues;
    for (int t = 0; t < kValues; ++t) p.v[t] = e.v[t];
    return p;
  }
};

// The integer kinds: 32-bit keys kept most significant byte first, compared
// as unsigned numbers, then by the values in order.
template <int Max, int Values, uint16_t Head, uint16_t NodeType, BtField F0,
          bool* Flag>
struct BtKindInt : BtGeometry<Max, Values, 4> {
  using G = BtGeometry<Max, Values, 4>;
  static constexpr uint16_t kHeadType = Head;
  static constexpr uint16_t kNodeType = NodeType;
  static constexpr BtField kFields[Values] = {F0};
  static bool& Debug() { return *Flag; }
  using Entry = BtEntryT<Values, 4>;
  struct Probe {
    uint32_t key;
    int ties;
    uint32_t v[Values];
  };
  static int Cmp(const Probe& p, const uint32_t* w, int i) {
    uint32_t k = BtLoadBe32(reinterpret_cast<const uint8_t*>(w) + G::kKeyOffset + 4 * i);
    if (p.key != k) return p.key < k ? -1 : 1;
    for (int t = 0; t < p.ties; ++t) {
      uint32_t b = w[G::kWordValues + t * Max + i];
      if (p.v[t] != b) return p.v[t] < b ? -1 : 1;
    }
    return 0;
  }
  static Probe ProbeOf(const Entry& e) {
    Probe p;
    p.key = BtLoadBe32(e.key);
    p.ties = Values;
    for (int t = 0; t < Values; ++t) p.v[t] = e.v[t];
    return p;
  }
  static Probe KeyProbe(uint32_t key) {
    Probe p{};
    p.key = key;
    p.ties = 0;
    return p;
  }
};

using BtKindI = BtKindInt<200, 2, 628, 630, BtField::kInt, &BtiDbDebugFlag>;
using BtKindI1 = BtKindInt<250, 1, 634, 635, BtField::kInt, &Bti1DbDebugFlag>;
using BtKindIh = BtKindInt<250, 1, 636, 637, BtField::kHandle, &BtihDbDebugFlag>;

// BtmDb: nine value fields; the first two are the signed keys.
struct BtKindM : BtGeometry<90, 9, 0> {
  static constexpr uint16_t kHeadType = 631;
  static constexpr uint16_t kNodeType = 632;
  static constexpr BtField kFields[kValues] = {
      BtField::kInt, BtField::kInt, BtField::kInt, BtField::kInt,   BtField::kInt,
      BtField::kInt, BtField::kInt, BtField::kHandle, BtField::kHandle};
  static bool& Debug() { return BtmDbDebugFlag; }
  using Entry = BtEntryT<kValues, 0>;
  // A probe with both unset compares the first key only.
  struct Probe {
    int32_t k1, k2;
    bool both;
  };
  static int Cmp(const Probe& p, const uint32_t* w, int i) {
    auto a = int32_t(w[kWordValues + i]);
    if (p.k1 != a) return p.k1 < a ? -1 : 1;
    if (!p.both) return 0;
    auto b = int32_t(w[kWordValues + kMax + i]);
    if (p.k2 != b) return p.k2 < b ? -1 : 1;
    return 0;
  }
  static Probe ProbeOf(const Entry& e) { return Probe{int32_t(e.v[0]), int32_t(e.v[1]), true}; }
};

// Value field indices of a BtmDb entry.
enum BtmField : int {
  kBtmKey1 = 0,
  kBtmKey2,
  kBtmDate,
  kBtmTime,
  kBtmExtra,
  kBtmFlags,
  kBtmUniqueId,
  kBtmMessage,
  kBtmAuthor,
};

// The layout template of a kind's node chunk and of the common header.
template <class K>
std::string BtNodeLayout();
std::string BtHeaderLayout();

// ---------------------------------------------------------------------------
// The algorithms.  fn is the public function's name, used in halt messages
// ("BtDbIndex--DbH").  Requires: tree is a header chunk of the kind (checked
// while the kind's debug flag is set).

template <class K>
struct BtTree {
  using Entry = typename K::Entry;
  using Probe = typename K::Probe;

  static ChHandle Create(ChHandle near);
  static void Destroy(ChHandle tree, const char* fn);
  static uint32_t Count(ChHandle tree, const char* fn);
  static uint32_t HeaderWord(ChHandle tree, int word, const char* fn);
  static void SetHeaderWord(ChHandle tree, int word, uint32_t value, const char* fn);

  // Inserts e; false when an entry equal to it in every ordering field is
  // present already.
  static bool Insert(ChHandle tree, const Entry& e, const char* fn);
  // Removes the entry equal to the full probe p; false when there is none.
  static bool Remove(ChHandle tree, const Probe& p, const char* fn);
  // The first (last == false) or the last entry comparing equal to p, with
  // its position in *rank when rank is given.
  static bool Find(ChHandle tree, const Probe& p, bool last, Entry* out,
                   uint32_t* rank, const char* fn);
  // Entries sorting before p (upper == false) or not after p (upper == true).
  static uint32_t Rank(ChHandle tree, const Probe& p, bool upper, const char* fn);
  // The entry at a 0-based position; false at or past the count.
  static bool Index(ChHandle tree, uint32_t pos, Entry* out, const char* fn);
  // Changes the bits of mask in value field `field` of the first entry equal
  // to p to those of value; false when there is none.  For fields that take
  // no part in the order (or changes that keep it).
  static bool UpdateField(ChHandle tree, const Probe& p, int field, uint32_t mask,
                          uint32_t value, const char* fn);
  // Reads entry i of a node.
  static void ReadEntry(ChHandle node, int i, Entry* out);
  // Checks the whole tree; appends problems to *report.
  static bool Validate(ChHandle tree, std::string* report);

  // Cursor steps: positions the cursor at pos (false past the end), moves it
  // one entry forward or back (false at the end), reads the current entry.
  static bool CursorSeek(BtCursor& c, ChHandle tree, uint32_t pos, const char* fn);
  static bool CursorStep(BtCursor& c, bool forward);
  static void CursorEntry(const BtCursor& c, Entry* out);
};

// Entry helpers of the string kind.
using BtDbEntry = BtKindDb::Entry;
// Fills the key bytes from a string: the first 48 bytes, zero-padded.
void BtDbKeyFill(uint8_t* key, const St& str);
// A probe for the first min(length, 48) bytes of str (prefix comparison),
// or for the whole zero-padded key when whole is set.
BtKindDb::Probe BtDbKeyProbe(const St& str, bool whole);
// The stored key up to its first zero byte.
St BtDbKeySt(const uint8_t* key);

extern template struct BtTree<BtKindDb>;
extern template struct BtTree<BtKindI>;
extern template struct BtTree<BtKindI1>;
extern template struct BtTree<BtKindIh>;
extern template struct BtTree<BtKindM>;

}  // namespace quil
