// The integer-keyed B-trees: BtiDb (two words), Bti1Db (one word) and
// BtihDb (one handle).
#include "BtInt.h"

namespace quil {

namespace {

template <class K>
typename K::Entry IntEntry(uint32_t key, uint32_t v0, uint32_t v1 = 0) {
  typename K::Entry e;
  BtStoreBe32(e.key, key);
  e.v[0] = v0;
  if constexpr (K::kValues > 1) e.v[1] = v1;
  return e;
}

template <class K>
uint32_t EntryKey(const typename K::Entry& e) {
  return BtLoadBe32(e.key);
}

template <class K>
void PutValues(const typename K::Entry& e, uint32_t* v0, uint32_t* v1) {
  if (v0) *v0 = e.v[0];
  if constexpr (K::kValues > 1)
    if (v1) *v1 = e.v[1];
}

// The first (or last) entry with key: its values and position.
template <class K>
bool LookupInt(ChHandle tree, uint32_t key, bool last, uint32_t* v0, uint32_t* v1,
               uint32_t* position, const char* fn) {
  typename K::Entry e;
  if (!BtTree<K>::Find(tree, K::KeyProbe(key), last, &e, position, fn)) return false;
  PutValues<K>(e, v0, v1);
  return true;
}

// Removes the first entry with key, giving back its values.
template <class K>
bool RemoveFirst(ChHandle tree, uint32_t key, uint32_t* v0, uint32_t* v1, const char* fn) {
  typename K::Entry e;
  if (!BtTree<K>::Find(tree, K::KeyProbe(key), false, &e, nullptr, fn)) return false;
  if (!BtTree<K>::Remove(tree, K::ProbeOf(e), fn)) return false;
  PutValues<K>(e, v0, v1);
  return true;
}

template <class K>
bool IndexInt(ChHandle tree, uint32_t position, uint32_t* key, uint32_t* v0, uint32_t* v1,
              const char* fn) {
  typename K::Entry e;
  if (!BtTree<K>::Index(tree, position, &e, fn)) return false;
  if (key) *key = EntryKey<K>(e);
  PutValues<K>(e, v0, v1);
  return true;
}

// The one-value kinds keep one value per key through Set: the first entry
// with the key is changed in place when no other entry shares the key (the
// order stays right), otherwise replaced.
template <class K>
void SetOne(ChHandle tree, uint32_t key, uint32_t value, const char* fn) {
  using Tree = BtTree<K>;
  typename K::Entry cur;
  uint32_t rank;
  if (!Tree::Find(tree, K::KeyProbe(key), false, &cur, &rank, fn)) {
    (void)Tree::Insert(tree, IntEntry<K>(key, value), fn);
    return;
  }
  if (cur.v[0] == value) return;
  typename K::Entry next;
  bool shared = Tree::Index(tree, rank + 1, &next, fn) && EntryKey<K>(next) == key;
  if (!shared) {
    (void)Tree::UpdateField(tree, K::ProbeOf(cur), 0, 0xFFFFFFFFu, value, fn);
    return;
  }
  (void)Tree::Remove(tree, K::ProbeOf(cur), fn);
  (void)Tree::Insert(tree, IntEntry<K>(key, value), fn);
}

}  // namespace

// ---------------------------------------------------------------------------
// BtiDb.

ChHandle BtiDbCreate(ChHandle near) { return BtTree<BtKindI>::Create(near); }
void BtiDbDestroy(ChHandle tree) { BtTree<BtKindI>::Destroy(tree, "BtiDbDestroy"); }
uint32_t BtiDbCount(ChHandle tree) { return BtTree<BtKindI>::Count(tree, "BtiDbCount"); }
uint32_t BtiDbRev(ChHandle tree) {
  return BtTree<BtKindI>::HeaderWord(tree, kBtHdRev, "BtiDbRev");
}
void BtiDbSetAppHnd(ChHandle tree, ChHandle app) {
  BtTree<BtKindI>::SetHeaderWord(tree, kBtHdApp, app, "BtiDbSetAppHnd");
}
void BtiDbSetAppHnd2(ChHandle tree, ChHandle app) {
  BtTree<BtKindI>::SetHeaderWord(tree, kBtHdApp2, app, "BtiDbSetAppHnd2");
}
ChHandle BtiDbAppHnd(ChHandle tree) {
  return BtTree<BtKindI>::HeaderWord(tree, kBtHdApp, "BtiDbAppHnd");
}
ChHandle BtiDbAppHnd2(ChHandle tree) {
  return BtTree<BtKindI>::HeaderWord(tree, kBtHdApp2, "BtiDbAppHnd2");
}

bool BtiDbInsert(ChHandle tree, uint32_t key, uint32_t word1, uint32_t word2) {
  return BtTree<BtKindI>::Insert(tree, IntEntry<BtKindI>(key, word1, word2), "BtiDbInsert");
}
bool BtiDbRemove(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2) {
  return RemoveFirst<BtKindI>(tree, key, word1, word2, "BtiDbRemove");
}
bool BtiDbRemoveExact(ChHandle tree, uint32_t key, uint32_t word1, uint32_t word2) {
  return BtTree<BtKindI>::Remove(tree, BtKindI::ProbeOf(IntEntry<BtKindI>(key, word1, word2)),
                                 "BtiDbRemoveExact");
}
bool BtiDbLookup(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2) {
  return LookupInt<BtKindI>(tree, key, false, word1, word2, nullptr, "BtiDbLookup");
}
bool BtiDbLookupFirst(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2,
                      uint32_t* position) {
  return LookupInt<BtKindI>(tree, key, false, word1, word2, position, "BtiDbLookupFirst");
}
bool BtiDbLookupLast(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2,
                     uint32_t* position) {
  return LookupInt<BtKindI>(tree, key, true, word1, word2, position, "BtiDbLookupLast");
}
bool BtiDbIndex(ChHandle tree, uint32_t position, uint32_t* key, uint32_t* word1,
                uint32_t* word2) {
  return IndexInt<BtKindI>(tree, position, key, word1, word2, "BtiDbIndex");
}
bool BtiDbValidate(ChHandle tree, std::string* report) {
  return BtTree<BtKindI>::Validate(tree, report);
}

// ---------------------------------------------------------------------------
// Bti1Db.

ChHandle Bti1DbCreate(ChHandle near) { return BtTree<BtKindI1>::Create(near); }
void Bti1DbDestroy(ChHandle tree) { BtTree<BtKindI1>::Destroy(tree, "Bti1DbDestroy"); }
uint32_t Bti1DbCount(ChHandle tree) { return BtTree<BtKindI1>::Count(tree, "Bti1DbCount"); }
uint32_t Bti1DbRev(ChHandle tree) {
  return BtTree<BtKindI1>::HeaderWord(tree, kBtHdRev, "Bti1DbRev");
}
void Bti1DbSetAppHnd(ChHandle tree, ChHandle app) {
  BtTree<BtKindI1>::SetHeaderWord(tree, kBtHdApp, app, "Bti1DbSetAppHnd");
}
void Bti1DbSetAppHnd2(ChHandle tree, ChHandle app) {
  BtTree<BtKindI1>::SetHeaderWord(tree, kBtHdApp2, app, "Bti1DbSetAppHnd2");
}
ChHandle Bti1DbAppHnd(ChHandle tree) {
  return BtTree<BtKindI1>::HeaderWord(tree, kBtHdApp, "Bti1DbAppHnd");
}
ChHandle Bti1DbAppHnd2(ChHandle tree) {
  return BtTree<BtKindI1>::HeaderWord(tree, kBtHdApp2, "Bti1DbAppHnd2");
}

bool Bti1DbInsert(ChHandle tree, uint32_t key, uint32_t word) {
  return BtTree<BtKindI1>::Insert(tree, IntEntry<BtKindI1>(key, word), "Bti1DbInsert");
}
bool Bti1DbRemove(ChHandle tree, uint32_t key, uint32_t* word) {
  return RemoveFirst<BtKindI1>(tree, key, word, nullptr, "Bti1DbRemove");
}
bool Bti1DbRemoveExact(ChHandle tree, uint32_t key, uint32_t word) {
  return BtTree<BtKindI1>::Remove(tree, BtKindI1::ProbeOf(IntEntry<BtKindI1>(key, word)),
                                  "Bti1DbRemoveExact");
}
void Bti1DbSet(ChHandle tree, uint32_t key, uint32_t word) {
  SetOne<BtKindI1>(tree, key, word, "Bti1DbSet");
}
bool Bti1DbLookup(ChHandle tree, uint32_t key, uint32_t* word) {
  return LookupInt<BtKindI1>(tree, key, false, word, nullptr, nullptr, "Bti1DbLookup");
}
bool Bti1DbLookupFirst(ChHandle tree, uint32_t key, uint32_t* word, uint32_t* position) {
  return LookupInt<BtKindI1>(tree, key, false, word, nullptr, position, "Bti1DbLookupFirst");
}
bool Bti1DbLookupLast(ChHandle tree, uint32_t key, uint32_t* word, uint32_t* position) {
  return LookupInt<BtKindI1>(tree, key, true, word, nullptr, position, "Bti1DbLookupLast");
}
bool Bti1DbIndex(ChHandle tree, uint32_t position, uint32_t* key, uint32_t* word) {
  return IndexInt<BtKindI1>(tree, position, key, word, nullptr, "Bti1DbIndex");
}
bool Bti1DbValidate(ChHandle tree, std::string* report) {
  return BtTree<BtKindI1>::Validate(tree, report);
}

// ---------------------------------------------------------------------------
// BtihDb.

ChHandle BtihDbCreate(ChHandle near) { return BtTree<BtKindIh>::Create(near); }
void BtihDbDestroy(ChHandle tree) { BtTree<BtKindIh>::Destroy(tree, "BtihDbDestroy"); }
uint32_t BtihDbCount(ChHandle tree) { return BtTree<BtKindIh>::Count(tree, "BtihDbCount"); }
uint32_t BtihDbRev(ChHandle tree) {
  return BtTree<BtKindIh>::HeaderWord(tree, kBtHdRev, "BtihDbRev");
}
void BtihDbSetAppHnd(ChHandle tree, ChHandle app) {
  BtTree<BtKindIh>::SetHeaderWord(tree, kBtHdApp, app, "BtihDbSetAppHnd");
}
void BtihDbSetAppHnd2(ChHandle tree, ChHandle app) {
  BtTree<BtKindIh>::SetHeaderWord(tree, kBtHdApp2, app, "BtihDbSetAppHnd2");
}
ChHandle BtihDbAppHnd(ChHandle tree) {
  return BtTree<BtKindIh>::HeaderWord(tree, kBtHdApp, "BtihDbAppHnd");
}
ChHandle BtihDbAppHnd2(ChHandle tree) {
  return BtTree<BtKindIh>::HeaderWord(tree, kBtHdApp2, "BtihDbAppHnd2");
}

bool BtihDbInsert(ChHandle tree, uint32_t key, ChHandle handle) {
  return BtTree<BtKindIh>::Insert(tree, IntEntry<BtKindIh>(key, handle), "BtihDbInsert");
}
bool BtihDbRemove(ChHandle tree, uint32_t key, ChHandle* handle) {
  return RemoveFirst<BtKindIh>(tree, key, handle, nullptr, "BtihDbRemove");
}
bool BtihDbRemoveExact(ChHandle tree, uint32_t key, ChHandle handle) {
  return BtTree<BtKindIh>::Remove(tree, BtKindIh::ProbeOf(IntEntry<BtKindIh>(key, handle)),
                                  "BtihDbRemoveExact");
}
void BtihDbSet(ChHandle tree, uint32_t key, ChHandle handle) {
  SetOne<BtKindIh>(tree, key, handle, "BtihDbSet");
}
bool BtihDbLookup(ChHandle tree, uint32_t key, ChHandle* handle) {
  return LookupInt<BtKindIh>(tree, key, false, handle, nullptr, nullptr, "BtihDbLookup");
}
bool BtihDbLookupFirst(ChHandle tree, uint32_t key, ChHandle* handle, uint32_t* position) {
  return LookupInt<BtKindIh>(tree, key, false, handle, nullptr, position, "BtihDbLookupFirst");
}
bool BtihDbLookupLast(ChHandle tree, uint32_t key, ChHandle* handle, uint32_t* position) {
  return LookupInt<BtKindIh>(tree, key, true, handle, nullptr, position, "BtihDbLookupLast");
}
bool BtihDbIndex(ChHandle tree, uint32_t position, uint32_t* key, ChHandle* handle) {
  return IndexInt<BtKindIh>(tree, position, key, handle, nullptr, "BtihDbIndex");
}
bool BtihDbValidate(ChHandle tree, std::string* report) {
  return BtTree<BtKindIh>::Validate(tree, report);
}

}  // namespace quil
