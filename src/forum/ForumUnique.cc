// Unique identifiers: allocation from NextUniqueId, chosen identifiers, the
// identifier index with repair of stale entries, opening by identifier,
// the listing and the open-time check.
#include "Bt.h"
#include "Ex.h"
#include "ForumInt.h"
#include "ForumUser.h"
#include "Ma.h"

namespace quil {

int32_t ForumUniqueIdFromRec(ForumRoot root, ChHandle rec) {
  int32_t id = 0;
  if (LgDbRecGetInt(rec, root->f.UniqueId, &id)) return id;
  MA_CHECK(ForumDebugFlag, ChIsLegal(rec) && ChType(rec) == kLgDbRecType,
           "ForumUniqueIdFromRec--RecH refcount");
  ChHandle next = LgDbIntHnd(root->head, root->f.NextUniqueId);
  if (next == 0) MaAssertFailure("ForumRecUniqueId--no NextUniqueId in root heading");
  id = LgDbIntHndValue(next);
  MA_CHECK(ForumDebugFlag, !BtihDbLookup(root->uniqueIndex, uint32_t(id), nullptr),
           "ForumRecUniqueId--unique ID already in UniqueIdSl");
  LgDbRecPutInt(rec, root->f.UniqueId, id);
  LgDbIntHndSet(next, id + 1);
  ChMarkModified(next);
  BtihDbSet(root->uniqueIndex, uint32_t(id), rec);
  ForumSaveArm(root);
  ForumNotifyUniqueIdGiven(root, rec, id);
  return id;
}

int32_t ForumNextUniqueId(ForumRoot root) {
  return ForumRecInt(root->head, root->f.NextUniqueId, 0);
}

void ForumSetNextUniqueId(ForumRoot root, int32_t value) {
  if (value > ForumNextUniqueId(root)) {
    LgDbRecPutInt(root->head, root->f.NextUniqueId, value);
    ForumSaveArm(root);
  }
}

ChHandle ForumRecFromUniqueId(ForumRoot root, int32_t id) {
  ChHandle rec = 0;
  if (!BtihDbLookup(root->uniqueIndex, uint32_t(id), &rec)) return 0;
  bool valid = false;
  // A dangling entry must not stop the server: the checks never halt, and
  // a raise from a damaged page only rejects the entry.
  bool tolerant = ChFixAllPages;
  ChFixAllPages = true;
  {
    ExQuietScope quiet;
    (void)ExTry([&] {
      int32_t stored = 0;
      valid = ChIsLegal(rec) && ChPartOf(rec) == root->part &&
              ChType(rec) == kLgDbRecType && LgDbRecIsLegal(rec) &&
              LgDbRecGetInt(rec, root->f.UniqueId, &stored) && stored == id;
    });
  }
  ChFixAllPages = tolerant;
  if (valid) return rec;
  (void)BtihDbRemoveExact(root->uniqueIndex, uint32_t(id), rec);
  ForumSaveArm(root);
  return 0;
}

bool ForumSetUniqueIdFromRec(ForumRoot root, ChHandle rec, int32_t id) {
  ChHandle holder = ForumRecFromUniqueId(root, id);
  if (holder != 0) return holder == rec;
  int32_t old = 0;
  if (LgDbRecGetInt(rec, root->f.UniqueId, &old)) {
    ChHandle was = 0;
    if (BtihDbLookup(root->uniqueIndex, uint32_t(old), &was) && was == rec)
      (void)BtihDbRemoveExact(root->uniqueIndex, uint32_t(old), rec);
  }
  LgDbRecPutInt(rec, root->f.UniqueId, id);
  BtihDbSet(root->uniqueIndex, uint32_t(id), rec);
  if (id >= ForumNextUniqueId(root)) ForumSetNextUniqueId(root, id + 1);
  ForumSaveArm(root);
  return true;
}

namespace {

// Parent chains deeper than this are damage (a cycle), not a tree.
constexpr int kMaxDepth = 1000;

ForumFile OpenUnique(ForumRoot root, int32_t uniqueId, int depth) {
  ForumFile cached = ForumFileHaCkUnique(root, uniqueId);
  if (cached) return cached;
  if (depth > kMaxDepth) return ForumFile();
  ChHandle rec = ForumRecFromUniqueId(root, uniqueId);
  if (rec == 0) return ForumFile();
  // The list of groups is the root's own item (it has no identifier of its
  // own until one is asked for).
  if (root->groups && rec == root->groups.Rec()->rec) return root->groups;
  int kind = ForumKindOfRec(root, rec);
  switch (kind) {
    case kForumKindNone:
      // Deleted items, messages without a live discussion, users, entries,
      // the settings: nothing that opens.
      return ForumFile();
    case kForumKindGroup:
      return ForumFile(ForumFileRecNew(root, kind, rec, uniqueId));
    case kForumKindMessage: {
      ChHandle head = LgDbGetHead(LgDbRecGetList(rec));
      int32_t item = 0;
      if (head == 0 || !LgDbRecGetInt(rec, root->f.Item, &item)) return ForumFile();
      ForumFile discussion = OpenUnique(root, ForumUniqueIdFromRec(root, head), depth + 1);
      ForumFile message = ForumFileOpenMessage(discussion, item);
      return ForumFileRecord(message) == rec ? message : ForumFile();
    }
    case kForumKindDocument: {
      int32_t holderId = 0;
      if (!LgDbRecGetInt(rec, root->f.Parent, &holderId)) return ForumFile();
      ForumFile holder = OpenUnique(root, holderId, depth + 1);
      ForumFile document = ForumOpenDocument(holder, LgDbRecGetText(rec, root->f.Name));
      return ForumFileRecord(document) == rec ? document : ForumFile();
    }
    default:
      break;
  }
  int32_t entryId = 0;
  if (!LgDbRecGetInt(rec, root->f.Parent, &entryId)) {
    // Only the top folder has no parent.
    if (uniqueId != kForumTopId || kind != kForumKindFolder) return ForumFile();
    return ForumFile(ForumFileRecNew(root, kind, rec, uniqueId));
  }
  ChHandle entry = ForumRecFromUniqueId(root, entryId);
  int32_t folderId = 0;
  if (entry == 0 || LgDbRecGetRec(entry, root->f.File) != rec ||
      !LgDbRecGetInt(entry, root->f.Parent, &folderId))
    return ForumFile();
  ForumFile folder = OpenUnique(root, folderId, depth + 1);
  if (!ForumFileIsCategory(folder)) return ForumFile();
  return ForumFileFromRec(root, rec, entry, folder);
}

}  // namespace

ForumFile ForumFileOpenUnique(ForumRoot root, int32_t uniqueId) {
  return OpenUnique(root, uniqueId, 0);
}

void ForumUniquePrint(ForumRoot root, std::string* out) {
  uint32_t count = BtihDbCount(root->uniqueIndex);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t key = 0;
    ChHandle rec = 0;
    if (!BtihDbIndex(root->uniqueIndex, i, &key, &rec)) break;
    St title;
    if (ChIsLegal(rec) && ChType(rec) == kLgDbRecType) title = LgDbRecGetText(rec, root->f.Title);
    out->append(StHexNoZerosIntXfm(key).Str());
    out->push_back('\t');
    out->append(title.Str());
    out->push_back('\n');
  }
}

namespace {

// Enters rec's identifier in the index when the index lacks it; returns 1
// when it did.
int32_t CkRecUniqueId(ForumRoot root, ChHandle rec) {
  int32_t id = 0;
  if (!LgDbRecGetInt(rec, root->f.UniqueId, &id)) return 0;
  ChHandle indexed = 0;
  if (BtihDbLookup(root->uniqueIndex, uint32_t(id), &indexed) && indexed == rec) return 0;
  BtihDbSet(root->uniqueIndex, uint32_t(id), rec);
  return 1;
}

int32_t FixupFolder(ForumRoot root, ChHandle folder, int depth) {
  int32_t added = CkRecUniqueId(root, folder);
  ChHandle list = LgDbRecGetList(folder);
  if (list == 0 || depth > 1000) return added;
  uint32_t count = LgDbSortedCount(list);
  for (uint32_t i = 0; i < count; ++i) {
    ChHandle entry = LgDbSortedGet(list, i);
    added += CkRecUniqueId(root, entry);
    ChHandle child = LgDbRecGetRec(entry, root->f.File);
    if (child == 0) continue;
    if (ForumKindOfRec(root, child) == kForumKindFolder) {
      added += FixupFolder(root, child, depth + 1);
    } else {
      added += CkRecUniqueId(root, child);
    }
  }
  return added;
}

}  // namespace

int32_t ForumFixupUniqueId(ForumRoot root) {
  int32_t added = 0;
  for (uint32_t pos = 1; pos <= 4; ++pos) {
    ChHandle rec = LgDbRecGet(root->db, pos);
    if (rec) added += CkRecUniqueId(root, rec);
  }
  // The members of the all-users group, the guests group and the list of
  // groups: each group keeps them in the database its File names.
  for (uint32_t pos = 1; pos <= 3; ++pos) {
    ChHandle group = LgDbRecGet(root->db, pos);
    ChHandle membersHead = group ? LgDbRecGetRec(group, root->f.File) : 0;
    ChHandle members = membersHead ? LgDbRecGetList(membersHead) : 0;
    if (members == 0) continue;
    uint32_t at = kLgDbNoPos;
    for (ChHandle m = LgDbGetNextRec(members, &at); m != 0; m = LgDbGetNextRec(members, &at))
      added += CkRecUniqueId(root, m);
  }
  ChHandle topEntry = LgDbRecGet(root->db, 0);
  ChHandle top = topEntry ? LgDbRecGetRec(topEntry, root->f.File) : 0;
  if (top) added += FixupFolder(root, top, 0);
  if (added > 0) ForumSaveArm(root);
  return added;
}

}  // namespace quil
