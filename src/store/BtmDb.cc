// BtmDb: the message index of a folder or discussion.
#include "BtInt.h"
#include "Ma.h"

namespace quil {

namespace {

using Tree = BtTree<BtKindM>;
using Entry = BtKindM::Entry;

Entry ToEntry(const BtmEntry& m) {
  Entry e;
  e.v[kBtmKey1] = uint32_t(m.key1);
  e.v[kBtmKey2] = uint32_t(m.key2);
  e.v[kBtmDate] = m.date;
  e.v[kBtmTime] = m.time;
  e.v[kBtmExtra] = m.extra;
  e.v[kBtmFlags] = m.flags;
  e.v[kBtmUniqueId] = m.uniqueId;
  e.v[kBtmMessage] = m.message;
  e.v[kBtmAuthor] = m.author;
  return e;
}

void FromEntry(const Entry& e, BtmEntry* m) {
  if (!m) return;
  m->key1 = int32_t(e.v[kBtmKey1]);
  m->key2 = int32_t(e.v[kBtmKey2]);
  m->date = e.v[kBtmDate];
  m->time = e.v[kBtmTime];
  m->extra = e.v[kBtmExtra];
  m->flags = e.v[kBtmFlags];
  m->uniqueId = e.v[kBtmUniqueId];
  m->message = e.v[kBtmMessage];
  m->author = e.v[kBtmAuthor];
}

BtKindM::Probe Keys(int32_t key1, int32_t key2) { return BtKindM::Probe{key1, key2, true}; }

bool SetField(ChHandle tree, int32_t key1, int32_t key2, int field, uint32_t mask,
              uint32_t value, const char* fn) {
  return Tree::UpdateField(tree, Keys(key1, key2), field, mask, value, fn);
}

bool LookupByFirstKey(ChHandle tree, int32_t key1, bool last, BtmEntry* entry,
                      uint32_t* position, const char* fn) {
  Entry e;
  if (!Tree::Find(tree, BtKindM::Probe{key1, 0, false}, last, &e, position, fn)) return false;
  FromEntry(e, entry);
  return true;
}

}  // namespace

ChHandle BtmDbCreate(ChHandle near) { return Tree::Create(near); }
void BtmDbDestroy(ChHandle tree) { Tree::Destroy(tree, "BtmDbDestroy"); }
uint32_t BtmDbCount(ChHandle tree) { return Tree::Count(tree, "BtmDbCount"); }
uint32_t BtmDbRev(ChHandle tree) { return Tree::HeaderWord(tree, kBtHdRev, "BtmDbRev"); }
void BtmDbSetAppHnd(ChHandle tree, ChHandle app) {
  Tree::SetHeaderWord(tree, kBtHdApp, app, "BtmDbSetAppHnd");
}
void BtmDbSetAppHnd2(ChHandle tree, ChHandle app) {
  Tree::SetHeaderWord(tree, kBtHdApp2, app, "BtmDbSetAppHnd2");
}
ChHandle BtmDbAppHnd(ChHandle tree) { return Tree::HeaderWord(tree, kBtHdApp, "BtmDbAppHnd"); }
ChHandle BtmDbAppHnd2(ChHandle tree) {
  return Tree::HeaderWord(tree, kBtHdApp2, "BtmDbAppHnd2");
}

bool BtmDbInsert(ChHandle tree, const BtmEntry& entry) {
  return Tree::Insert(tree, ToEntry(entry), "BtmDbInsert");
}

bool BtmDbRemove(ChHandle tree, int32_t key1, int32_t key2) {
  return Tree::Remove(tree, Keys(key1, key2), "BtmDbRemove");
}

bool BtmDbLookup(ChHandle tree, int32_t key1, int32_t key2, BtmEntry* entry) {
  Entry e;
  if (!Tree::Find(tree, Keys(key1, key2), false, &e, nullptr, "BtmDbLookup")) return false;
  FromEntry(e, entry);
  return true;
}

bool BtmDbLookupFirst(ChHandle tree, int32_t key1, BtmEntry* entry, uint32_t* position) {
  return LookupByFirstKey(tree, key1, false, entry, position, "BtmDbLookupFirst");
}

bool BtmDbLookupLast(ChHandle tree, int32_t key1, BtmEntry* entry, uint32_t* position) {
  return LookupByFirstKey(tree, key1, true, entry, position, "BtmDbLookupLast");
}

bool BtmDbIndex(ChHandle tree, uint32_t position, BtmEntry* entry) {
  Entry e;
  if (!Tree::Index(tree, position, &e, "BtmDbIndex")) return false;
  FromEntry(e, entry);
  return true;
}

bool BtmDbSetDate(ChHandle tree, int32_t key1, int32_t key2, uint32_t date, uint32_t time) {
  return SetField(tree, key1, key2, kBtmDate, 0xFFFFFFFFu, date, "BtmDbSetDate") &&
         SetField(tree, key1, key2, kBtmTime, 0xFFFFFFFFu, time, "BtmDbSetDate");
}

bool BtmDbSetDeleted(ChHandle tree, int32_t key1, int32_t key2, bool deleted) {
  return SetField(tree, key1, key2, kBtmFlags, kBtmDeleted, deleted ? kBtmDeleted : 0,
                  "BtmDbSetDeleted");
}

bool BtmDbSetArticle(ChHandle tree, int32_t key1, int32_t key2, uint32_t article) {
  MA_CHECK(BtmDbDebugFlag, article <= kBtmArticleMask, "BtmDbSetArticle--article");
  return SetField(tree, key1, key2, kBtmFlags, kBtmArticleMask, article, "BtmDbSetArticle");
}

bool BtmDbSetHasMsgId(ChHandle tree, int32_t key1, int32_t key2, bool has) {
  return SetField(tree, key1, key2, kBtmFlags, kBtmHasMsgId, has ? kBtmHasMsgId : 0,
                  "BtmDbSetHasMsgId");
}

bool BtmDbSetUniqueId(ChHandle tree, int32_t key1, int32_t key2, uint32_t uniqueId) {
  return SetField(tree, key1, key2, kBtmUniqueId, 0xFFFFFFFFu, uniqueId, "BtmDbSetUniqueId");
}

bool BtmDbSetAuthor(ChHandle tree, int32_t key1, int32_t key2, ChHandle author) {
  return SetField(tree, key1, key2, kBtmAuthor, 0xFFFFFFFFu, author, "BtmDbSetAuthor");
}

bool BtmDbValidate(ChHandle tree, std::string* report) { return Tree::Validate(tree, report); }

}  // namespace quil
