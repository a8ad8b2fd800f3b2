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

// The first entry with key, its values and position.
template <class K>
bool LookupInt(ChHandle tree, uint32_t key, bool last, typename K::Entry* e,
               uint32_t* position, const char* fn) {
  return BtTree<K>::Find(tree, K::KeyProbe(key), last, e, position, fn);
}

// Removes the first entry with key, giving back its values.
template <class K>
bool RemoveFirst(ChHandle tree, uint32_t key, typename K::Entry* e, const char* fn) {
  if (!BtTree<K>::Find(tree, K::KeyProbe(key), false, e, nullptr, fn)) return false;
  return BtTree<K>::Remove(tree, K::ProbeOf(*e), fn);
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
  BtKindI::Entry e;
  if (!RemoveFirst<BtKindI>(tree, key, &e, "BtiDbRemove")) return false;
  if (word1) *word1 = e.v[0];
  if (word2) *word2 = e.v[1];
  return true;
}

bool BtiDbRemoveExact(ChHandle tree, uint32_t key, uint32_t word1, uint32_t word2) {
  return BtTree<BtKindI>::Remove(tree, BtKindI::ProbeOf(IntEntry<BtKindI>(key, word1, word2)),
                                 "BtiDbRemoveExact");
}

bool BtiDbLookup(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2) {
  return BtiDbLookupFirst(tree, key, word1, word2, nullptr);
}

bool BtiDbLookupFirst(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2,
                      uint32_t* position) {
  BtKindI::Entry e;
  if (!LookupInt<BtKindI>(tree, key, false, &e, position, "BtiDbLookupFirst")) return false;
  if (word1) *word1 = e.v[0];
  if (word2) *word2 = e.v[1];
  return true;
}

bool BtiDbLookupLast(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2,
                     uint32_t* position) {
  BtKindI::Entry e;
  if (!LookupInt<BtKindI>(tree, key, true, &e, position, "BtiDbLookupLast")) return false;
  if (word1) *word1 = e.v[0];
  if (word2) *word2 = e.v[1];
  return true;
}

bool BtiDbIndex(ChHandle tree, uint32_t position, uint32_t* key, uint32_t* word1,
                uint32_t* word2) {
  BtKindI::Entry e;
  if (!BtTree<BtKindI>::Index(tree, position, &e, "BtiDbIndex")) return false;
  if (key) *key = EntryKey<BtKindI>(e);
  if (word1) *word1 = e.v[0];
  if (word2) *word2 = e.v[1];
  return true;
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
  BtKindI1::Entry e;
  if (!RemoveFirst<BtKindI1>(tree, key, &e, "Bti1DbRemove")) return false;
  if (word) *word = e.v[0];
  return true;
}

bool Bti1DbRemoveExact(ChHandle tree, uint32_t key, uint32_t word) {
  return BtTree<BtKindI1>::Remove(tree, BtKindI1::ProbeOf(IntEntry<BtKindI1>(key, word)),
                                  "Bti1DbRemoveExact");
}

void Bti1DbSet(ChHandle tree, uint32_t key, uint32_t word) {
  SetOne<BtKindI1>(tree, key, word, "Bti1DbSet");
}

bool Bti1DbLookup(ChHandle tree, uint32_t key, uint32_t* word) {
  return Bti1DbLookupFirst(tree, key, word, nullptr);
}

bool Bti1DbLookupFirst(ChHandle tree, uint32_t key, uint32_t* word, uint32_t* position) {
  BtKindI1::Entry e;
  if (!LookupInt<BtKindI1>(tree, key, false, &e, position, "Bti1DbLookupFirst")) return false;
  if (word) *word = e.v[0];
  return true;
}

bool Bti1DbLookupLast(ChHandle tree, uint32_t key, uint32_t* word, uint32_t* position) {
  BtKindI1::Entry e;
  if (!LookupInt<BtKindI1>(tree, key, true, &e, position, "Bti1DbLookupLast")) return false;
  if (word) *word = e.v[0];
  return true;
}

bool Bti1DbIndex(ChHandle tree, uint32_t position, uint32_t* key, uint32_t* word) {
  BtKindI1::Entry e;
  if (!BtTree<BtKindI1>::Index(tree, position, &e, "Bti1DbIndex")) return false;
  if (key) *key = EntryKey<BtKindI1>(e);
  if (word) *word = e.v[0];
  return true;
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
  BtKindIh::Entry e;
  if (!RemoveFirst<BtKindIh>(tree, key, &e, "BtihDbRemove")) return false;
  if (handle) *handle = e.v[0];
  return true;
}

bool BtihDbRemoveExact(ChHandle tree, uint32_t key, ChHandle handle) {
  return BtTree<BtKindIh>::Remove(tree, BtKindIh::ProbeOf(IntEntry<BtKindIh>(key, handle)),
                                  "BtihDbRemoveExact");
}

void BtihDbSet(ChHandle tree, uint32_t key, ChHandle handle) {
  SetOne<BtKindIh>(tree, key, handle, "BtihDbSet");
}

bool BtihDbLookup(ChHandle tree, uint32_t key, ChHandle* handle) {
  return BtihDbLookupFirst(tree, key, handle, nullptr);
}

bool BtihDbLookupFirst(ChHandle tree, uint32_t key, ChHandle* handle, uint32_t* position) {
  BtKindIh::Entry e;
  if (!LookupInt<BtKindIh>(tree, key, false, &e, position, "BtihDbLookupFirst")) return false;
  if (handle) *handle = e.v[0];
  return true;
}

bool BtihDbLookupLast(ChHandle tree, uint32_t key, ChHandle* handle, uint32_t* position) {
  BtKindIh::Entry e;
  if (!LookupInt<BtKindIh>(tree, key, true, &e, position, "BtihDbLookupLast")) return false;
  if (handle) *handle = e.v[0];
  return true;
}

bool BtihDbIndex(ChHandle tree, uint32_t position, uint32_t* key, ChHandle* handle) {
  BtKindIh::Entry e;
  if (!BtTree<BtKindIh>::Index(tree, position, &e, "BtihDbIndex")) return false;
  if (key) *key = EntryKey<BtKindIh>(e);
  if (handle) *handle = e.v[0];
  return true;
}

bool BtihDbValidate(ChHandle tree, std::string* report) {
  return BtTree<BtKindIh>::Validate(tree, report);
}

}  // namespace quil
