// Ha: chained hash tables, and the two ready-made forms KwHash (keyword
// tables: string to 32-bit value) and KiHash (integer keys).
//
// A table has b buckets (1 <= b < 16,364), each a list (Li) of entries.  An
// entry goes to bucket (hash(key) & 0x7FFFFFFF) % b and is appended there, so
// each bucket keeps insertion order; look-ups give the first entry of the
// bucket whose key compares equal, and a whole-table walk visits the buckets
// in index order.  The table owns its entries: removing one or destroying the
// table runs the entry's destructor (the "destroy entry" function).
//
// Ha<Entry, Traits> takes its key functions from Traits, which may carry
// state (KwHash keeps its case rule there):
//
//   struct Traits {
//     using Key = ...;                         // what look-ups take
//     uint32_t Hash(const Key&) const;
//     bool Equal(const Key&, const Key&) const;
//     Key GetKey(const Entry&) const;
//   };
//
// Invariants and checks (HaDebugFlag; the server turns it on):
//   - a live table carries the tag 18497; a default-constructed, moved-from
//     or destroyed table does not, and using it halts with "HaInsert--
//     HaPtr", "HaLookup-- HaPtr" or "HaStart-- HaPtr.";
//   - the table counts its active iterations (HaStart and HaLookupStart until
//     HaStop/HaLookupStop or destruction of the iterator); inserting while
//     one is active halts with "HaInsert-- cannot insert while iterating.",
//     and destroying the table halts with "HaDestroy-- active iteration".
//     Removing the entry an iteration just returned is allowed.
// HaStats counts live tables, entries and active iterations for leak checks.
//
// Entry pointers handed out by look-ups and iterations stay valid until the
// entry is removed or the table destroyed.  Iterators keep a pointer to the
// table object, which must not be moved while they are active.
//
// The exception clean-up forms (ExHaStop, ExHaLookupStop, ExHaDestroy) are
// the destructors of the iterators and the table.
//
// Thread use: a table is not thread-safe; it is used under the run lock or
// within one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "Li.h"
#include "Ma.h"
#include "St.h"

namespace quil {

// Debug flag of the hash table package.
extern bool HaDebugFlag;

struct HaStatsStruct {
  std::atomic<int64_t> tables{0};
  std::atomic<int64_t> entries{0};
  std::atomic<int64_t> iterations{0};
};
extern HaStatsStruct HaStats;

constexpr uint16_t kHaTag = 18497;
constexpr int32_t kHaMaxBuckets = 16364;  // bucket counts stay below this

// Package entry: selectors 1 (version 19), 2, 3 (sets HaDebugFlag) by the
// common rules of PkgDispatch.
uint16_t HaInitRtns(int selector, int32_t value);

// The hash of a chunk handle with its part field (the bits of partMask)
// cleared, so that the same object hashes alike in every part.
constexpr uint32_t HaHandleHash(uint32_t handle, uint32_t partMask) {
  return handle & ~partMask;
}

template <class Entry, class Traits>
class HaIter;
template <class Entry, class Traits>
class HaLookupIter;

template <class Entry, class Traits>
class Ha {
 public:
  using Key = typename Traits::Key;
  using Node = LiNode<Entry>;

  Ha() noexcept = default;
  // REQUIRES: 1 <= buckets < kHaMaxBuckets (halts "HaCreate-- Illegal size"
  // otherwise).
  explicit Ha(int32_t buckets, Traits traits = Traits())
      : traits_(std::move(traits)) {
    if (buckets < 1 || buckets >= kHaMaxBuckets)
      MaAssertFailure("HaCreate-- Illegal size");
    tag_ = kHaTag;
    nBuckets_ = buckets;
    buckets_ = std::make_unique<Li<Entry>[]>(size_t(buckets));
    HaStats.tables.fetch_add(1, std::memory_order_relaxed);
  }
  Ha(Ha&& o) noexcept { Take(o); }
  Ha& operator=(Ha&& o) noexcept {
    if (this != &o) {
      Release();
      Take(o);
    }
    return *this;
  }
  Ha(const Ha&) = delete;
  Ha& operator=(const Ha&) = delete;
  ~Ha() { Release(); }

  bool IsLive() const noexcept { return tag_ == kHaTag; }
  int32_t Count() const noexcept { return count_; }
  int32_t BucketCount() const noexcept { return nBuckets_; }
  Li<Entry>& Bucket(int32_t i) const noexcept { return buckets_[size_t(i)]; }
  int32_t Iterations() const noexcept { return iterations_; }
  const Traits& GetTraits() const noexcept { return traits_; }

  int32_t BucketOf(uint32_t hash) const noexcept {
    return int32_t((hash & 0x7FFFFFFF) % uint32_t(nBuckets_));
  }

  Entry* Insert(Entry entry) {
    MA_CHECK(HaDebugFlag, IsLive(), "HaInsert-- HaPtr");
    MA_CHECK(HaDebugFlag, iterations_ == 0,
             "HaInsert-- cannot insert while iterating.");
    Li<Entry>& bucket = Bucket(BucketOf(traits_.Hash(traits_.GetKey(entry))));
    Node* n = LiAppendEntry(bucket, std::move(entry));
    ++count_;
    HaStats.entries.fetch_add(1, std::memory_order_relaxed);
    return &n->data;
  }

  // The first node of the bucket of `hash` whose entry satisfies match.
  template <class Match>
  Node* FindIf(uint32_t hash, Match&& match) const {
    MA_CHECK(HaDebugFlag, IsLive(), "HaLookup-- HaPtr");
    if (!IsLive()) return nullptr;
    Node* head = Bucket(BucketOf(hash)).Head();
    for (Node* n = head; n; n = n->next == head ? nullptr : n->next)
      if (match(std::as_const(n->data))) return n;
    return nullptr;
  }
  Node* Find(const Key& key) const {
    return FindIf(traits_.Hash(key), [&](const Entry& e) {
      return traits_.Equal(key, traits_.GetKey(e));
    });
  }

  // Takes the node out of the table: its entry goes to *out when out is not
  // null and is destroyed otherwise.  REQUIRES: node is in this table.
  void RemoveNode(Node* node, Entry* out) {
    Li<Entry>& bucket =
        Bucket(BucketOf(traits_.Hash(traits_.GetKey(node->data))));
    if (out) *out = std::move(node->data);
    LiDeleteEntry(bucket, node);
    --count_;
    HaStats.entries.fetch_sub(1, std::memory_order_relaxed);
  }

  void AddIteration() const noexcept {
    ++iterations_;
    HaStats.iterations.fetch_add(1, std::memory_order_relaxed);
  }
  void DropIteration() const noexcept {
    --iterations_;
    HaStats.iterations.fetch_sub(1, std::memory_order_relaxed);
  }

  // Destroys every entry; the table is no longer live.
  void Release() noexcept {
    if (!IsLive()) return;
    MA_CHECK(HaDebugFlag, iterations_ == 0, "HaDestroy-- active iteration");
    buckets_.reset();
    HaStats.tables.fetch_sub(1, std::memory_order_relaxed);
    HaStats.entries.fetch_sub(count_, std::memory_order_relaxed);
    tag_ = 0;
    nBuckets_ = count_ = 0;
  }

 private:
  void Take(Ha& o) noexcept {
    tag_ = std::exchange(o.tag_, 0);
    nBuckets_ = std::exchange(o.nBuckets_, 0);
    count_ = std::exchange(o.count_, 0);
    iterations_ = std::exchange(o.iterations_, 0);
    buckets_ = std::move(o.buckets_);
    traits_ = o.traits_;
  }

  uint16_t tag_ = 0;
  int32_t nBuckets_ = 0;
  int32_t count_ = 0;
  mutable int32_t iterations_ = 0;
  std::unique_ptr<Li<Entry>[]> buckets_;
  [[no_unique_address]] Traits traits_{};
};

// One active iteration of a table, counted from construction until Stop or
// destruction; moving it moves the count.
template <class Table>
class HaIteration {
 public:
  HaIteration() noexcept = default;
  explicit HaIteration(Table& table) noexcept : table_(&table) {
    table.AddIteration();
  }
  HaIteration(HaIteration&& o) noexcept
      : table_(std::exchange(o.table_, nullptr)) {}
  HaIteration& operator=(HaIteration&& o) noexcept {
    if (this != &o) {
      Stop();
      table_ = std::exchange(o.table_, nullptr);
    }
    return *this;
  }
  HaIteration(const HaIteration&) = delete;
  HaIteration& operator=(const HaIteration&) = delete;
  ~HaIteration() { Stop(); }

  Table* Get() const noexcept { return table_; }
  void Stop() noexcept {
    if (table_) table_->DropIteration();
    table_ = nullptr;
  }

 private:
  Table* table_ = nullptr;
};

// Walk over every entry: buckets in index order, each in insertion order.
template <class Entry, class Traits>
class HaIter {
 public:
  using Table = Ha<Entry, Traits>;
  using Node = LiNode<Entry>;
  HaIter() noexcept = default;
  explicit HaIter(Table& table) : iteration_(Checked(table)) {}

  // The next entry, or null after the last (and on a stopped iterator).
  Entry* Next() noexcept {
    Table* table = iteration_.Get();
    if (!table) return nullptr;
    while (!next_) {
      if (bucket_ + 1 >= table->BucketCount()) return nullptr;
      next_ = table->Bucket(++bucket_).Head();
    }
    Node* n = next_;
    next_ = n->next == table->Bucket(bucket_).Head() ? nullptr : n->next;
    return &n->data;
  }
  void Stop() noexcept { iteration_.Stop(); }

 private:
  static Table& Checked(Table& table) {
    MA_CHECK(HaDebugFlag, table.IsLive(), "HaStart-- HaPtr.");
    return table;
  }
  HaIteration<Table> iteration_;
  int32_t bucket_ = -1;
  Node* next_ = nullptr;
};

// Walk over the entries of one key, in insertion order.  The key is kept by
// value: a view key must stay valid while the iterator is in use.
template <class Entry, class Traits>
class HaLookupIter {
 public:
  using Table = Ha<Entry, Traits>;
  using Key = typename Traits::Key;
  using Node = LiNode<Entry>;
  HaLookupIter() noexcept = default;
  HaLookupIter(Table& table, Key key)
      : iteration_(Checked(table)), key_(std::move(key)) {
    bucket_ = table.BucketOf(table.GetTraits().Hash(key_));
    next_ = table.Bucket(bucket_).Head();
  }

  Entry* Next() {
    Table* table = iteration_.Get();
    if (!table) return nullptr;
    const Traits& traits = table->GetTraits();
    while (next_) {
      Node* n = next_;
      next_ = n->next == table->Bucket(bucket_).Head() ? nullptr : n->next;
      if (traits.Equal(key_, traits.GetKey(n->data))) return &n->data;
    }
    return nullptr;
  }
  void Stop() noexcept { iteration_.Stop(); }

 private:
  static Table& Checked(Table& table) {
    MA_CHECK(HaDebugFlag, table.IsLive(), "HaLookup-- HaPtr");
    return table;
  }
  HaIteration<Table> iteration_;
  Key key_{};
  int32_t bucket_ = 0;
  Node* next_ = nullptr;
};

// ---------------------------------------------------------------------------
// The operations on any table.

template <class Entry, class Traits>
Ha<Entry, Traits> HaCreate(int32_t buckets, Traits traits = Traits()) {
  return Ha<Entry, Traits>(buckets, std::move(traits));
}
// Destroys the entries; the table is no longer live.
template <class Entry, class Traits>
void HaDestroy(Ha<Entry, Traits>& table) {
  table.Release();
}
template <class Entry, class Traits>
int32_t HaCount(const Ha<Entry, Traits>& table) {
  return table.Count();
}
// Appends entry to its bucket (keys may repeat) and returns where it lives.
template <class Entry, class Traits>
Entry* HaInsert(Ha<Entry, Traits>& table, Entry entry) {
  return table.Insert(std::move(entry));
}
// Removes the first entry with key: it goes to *removed when that is given
// and is destroyed otherwise.  False when no entry has the key.
template <class Entry, class Traits>
bool HaRemove(Ha<Entry, Traits>& table, const typename Traits::Key& key,
              Entry* removed = nullptr) {
  auto* n = table.Find(key);
  if (n) table.RemoveNode(n, removed);
  return n != nullptr;
}
// True and the first entry with key, or false and null.
template <class Entry, class Traits>
bool HaLookup(Ha<Entry, Traits>& table, const typename Traits::Key& key,
              Entry** entry) {
  auto* n = table.Find(key);
  *entry = n ? &n->data : nullptr;
  return n != nullptr;
}
template <class Entry, class Traits>
bool HaLookup(const Ha<Entry, Traits>& table, const typename Traits::Key& key,
              const Entry** entry) {
  auto* n = table.Find(key);
  *entry = n ? &n->data : nullptr;
  return n != nullptr;
}

template <class Entry, class Traits>
HaLookupIter<Entry, Traits> HaLookupStart(Ha<Entry, Traits>& table,
                                          typename Traits::Key key) {
  return HaLookupIter<Entry, Traits>(table, std::move(key));
}
template <class Entry, class Traits>
bool HaLookupNext(HaLookupIter<Entry, Traits>& iter, Entry** entry) {
  *entry = iter.Next();
  return *entry != nullptr;
}
template <class Entry, class Traits>
void HaLookupStop(HaLookupIter<Entry, Traits>& iter) {
  iter.Stop();
}

template <class Entry, class Traits>
HaIter<Entry, Traits> HaStart(Ha<Entry, Traits>& table) {
  return HaIter<Entry, Traits>(table);
}
// The same walk as HaStart, kept for callers of tables whose entries are
// strings (keyword tables); the order is that of HaStart.
template <class Entry, class Traits>
HaIter<Entry, Traits> HaStartStr(Ha<Entry, Traits>& table) {
  return HaIter<Entry, Traits>(table);
}
template <class Entry, class Traits>
bool HaNext(HaIter<Entry, Traits>& iter, Entry** entry) {
  *entry = iter.Next();
  return *entry != nullptr;
}
template <class Entry, class Traits>
void HaStop(HaIter<Entry, Traits>& iter) {
  iter.Stop();
}

// ---------------------------------------------------------------------------
// Keyword tables: St keyword (owned) to a 32-bit value.

struct KwEntry {
  St keyword;
  int32_t value = 0;
};

// The keyword hash: over the last 8 bytes (all when shorter),
// h = StASCIIUpper[byte] ^ (h * 2), then h & 255.  It ignores case in both
// kinds of table.
uint32_t KwKeyHash(std::string_view keyword) noexcept;

struct KwTraits {
  using Key = std::string_view;
  bool caseSensitive = false;
  uint32_t Hash(std::string_view k) const noexcept { return KwKeyHash(k); }
  bool Equal(std::string_view a, std::string_view b) const noexcept {
    return a.size() == b.size() &&
           StArrayEqual(a.data(), b.data(), int32_t(a.size()),
                        caseSensitive ? StLiteral : StASCIIUpper);
  }
  std::string_view GetKey(const KwEntry& e) const noexcept {
    return e.keyword.View();
  }
};

using KwHash = Ha<KwEntry, KwTraits>;
using KwHashIter = HaIter<KwEntry, KwTraits>;

constexpr int32_t kKwHashBuckets = 64;

// 64 buckets, keywords compared ignoring ASCII case.
KwHash KwHashCreate();
// 64 buckets, keywords compared exactly.
KwHash KwHashCreateCase();
// The given number of buckets.
KwHash KwHashCreateCount(int32_t buckets, bool caseSensitive = false);
// Adds keyword (consumed) with value; halts "KwHashAdd--Kw already present"
// when the table already holds it (by the table's compare).
void KwHashAdd(KwHash& table, St keyword, int32_t value);
// True and the value of keyword by the table's compare, or false and 0.
bool KwHashLookup(const KwHash& table, std::string_view keyword,
                  int32_t* value);
inline bool KwHashLookup(const KwHash& table, const St& keyword,
                         int32_t* value) {
  return KwHashLookup(table, keyword.View(), value);
}
// As KwHashLookup, ignoring ASCII case in either kind of table.
bool KwHashLookupNc(const KwHash& table, std::string_view keyword,
                    int32_t* value);
inline bool KwHashLookupNc(const KwHash& table, const St& keyword,
                           int32_t* value) {
  return KwHashLookupNc(table, keyword.View(), value);
}
// Removes keyword; false when absent.
bool KwHashRemove(KwHash& table, std::string_view keyword);
// Walks the table in HaStart order.
KwHashIter KwHashStart(KwHash& table);
// True with the next keyword (a new reference) and value, or false with nil
// and 0.
bool KwHashNext(KwHashIter& iter, St* keyword, int32_t* value);

// ---------------------------------------------------------------------------
// Integer tables: the key is its own hash.

struct KiEntry {
  int32_t key = 0;
  int32_t value = 0;
};

struct KiTraits {
  using Key = int32_t;
  uint32_t Hash(int32_t k) const noexcept { return uint32_t(k); }
  bool Equal(int32_t a, int32_t b) const noexcept { return a == b; }
  int32_t GetKey(const KiEntry& e) const noexcept { return e.key; }
};

using KiHash = Ha<KiEntry, KiTraits>;

constexpr int32_t kKiHashBuckets = 64;

KiHash KiHashCreate();  // 64 buckets
KiHash KiHashCreateCount(int32_t buckets);
// Adds key with value; a key already present halts in debug mode with
// "KiHashAdd-- key already present" (otherwise the first one added wins).
void KiHashAdd(KiHash& table, int32_t key, int32_t value);
// True and the value, or false and 0.
bool KiHashLookup(const KiHash& table, int32_t key, int32_t* value);
// Removes key; false when absent.
bool KiHashRemove(KiHash& table, int32_t key);

}  // namespace quil
