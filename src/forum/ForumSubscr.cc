// Subscriptions: the user's list of subscribed folders and discussions,
// and reading new messages through it (ForumRead.h).
#include "ChSt.h"
#include "ForumAcc.h"
#include "ForumInt.h"
#include "ForumRead.h"
#include "ForumUserInt.h"

namespace quil {

namespace {

constexpr uint32_t kReadRight = 0x1;

bool Registered(ForumRoot root, ChHandle user) { return ForumUserHasMarks(root, user); }

LgDbSubscr Load(ForumRoot root, ChHandle user) {
  LgDbSubscr value;
  (void)ForumUserSubscriptions(root, user, &value);
  return value;
}

// Writes the value back; an empty list is kept as 0.
void Store(ForumRoot root, ChHandle user, LgDbSubscr value) {
  if (value.list1 != 0 && ChLiGenIsEmpty(value.list1, kChLiNodeType)) value.list1 = 0;
  ForumUserSetSubscriptions(root, user, value);
}

// A live folder or discussion: what an entry may name.
bool Subscribable(const ForumFile& item) {
  if (!item) return false;
  ForumRoot root = ForumFileRoot(item);
  ChHandle type = LgDbRecGetTextId(ForumFileRecord(item), root->f.Type);
  return (ForumFileIsCategory(item) && type == root->t.Category) ||
         (ForumFileIsForum(item) && type == root->t.Topic);
}

// The discussion of a message, the item itself otherwise.
ForumFile Subject(const ForumFile& item) {
  return ForumFileIsMessage(item) ? ForumFileParent(item) : item;
}

// Whether the entry's path covers path: the same, or a folder above it.
bool Covers(std::string_view entry, std::string_view path) {
  if (entry == path || entry == "/") return true;
  return path.size() > entry.size() && path.substr(0, entry.size()) == entry &&
         path[entry.size()] == '/';
}

// Adds the discussions with new messages at or below a folder record,
// depth first in name order.
void AddFolderRec(ForumSubscrRead& read, ChHandle folderRec) {
  ForumRoot root = read.root;
  ChHandle db = LgDbRecGetList(folderRec);
  if (db == 0) return;
  uint32_t count = LgDbSortedCount(db);
  for (uint32_t ix = 0; ix < count; ++ix) {
    ChHandle entry = LgDbSortedGet(db, ix);
    ChHandle child = entry ? LgDbRecGetRec(entry, root->f.File) : 0;
    if (child == 0) continue;
    ChHandle type = LgDbRecGetTextId(child, root->f.Type);
    if (type == root->t.Category) {
      AddFolderRec(read, child);
    } else if (type == root->t.Topic && ForumRecHasNew(root, child, read.user)) {
      int32_t id = ForumUniqueIdFromRec(root, child);
      if (read.added.insert(id).second) read.discussions.push_back(id);
    }
  }
}

// Marks every discussion at or below a folder record read.
void MarkFolderRec(ForumRoot root, ChHandle user, ChHandle folderRec) {
  ChHandle db = LgDbRecGetList(folderRec);
  if (db == 0) return;
  uint32_t count = LgDbSortedCount(db);
  for (uint32_t ix = 0; ix < count; ++ix) {
    ChHandle entry = LgDbSortedGet(db, ix);
    ChHandle child = entry ? LgDbRecGetRec(entry, root->f.File) : 0;
    if (child == 0) continue;
    ChHandle type = LgDbRecGetTextId(child, root->f.Type);
    if (type == root->t.Category) {
      MarkFolderRec(root, user, child);
    } else if (type == root->t.Topic) {
      ForumRecMarkRead(root, child, user);
    }
  }
}

void MarkItem(ForumRoot root, ChHandle user, const ForumFile& item) {
  if (ForumFileIsForum(item)) {
    ForumRecMarkRead(root, ForumFileRecord(item), user);
  } else if (ForumFileIsCategory(item)) {
    MarkFolderRec(root, user, ForumFileRecord(item));
  }
}

}  // namespace

void ForumSubscrCreate(ForumRoot root, ChHandle user) {
  if (!Registered(root, user)) return;
  LgDbSubscr value;
  if (!ForumUserSubscriptions(root, user, &value)) ForumUserSetSubscriptions(root, user, value);
}

void ForumSubscrDestroy(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return;
  // The value owns its lists and their strings.
  if (LgDbRecFieldRemoveKind(user, ForumUserStateOf(root).fSubscriptions, kLgDbSubscrType))
    ForumChanged(root, false);
}

uint16_t ForumSubscrAdd(ChHandle user, const ForumFile& item) {
  if (!item) return kForumNotContainer;
  ForumRoot root = ForumFileRoot(item);
  if (!Registered(root, user)) return kForumBadUser;
  ForumFile subject = Subject(item);
  if (!Subscribable(subject)) return kForumNotContainer;
  int32_t id = ForumFileUniqueId(subject);
  LgDbSubscr value = Load(root, user);
  bool present = false;
  if (value.list1 != 0) {
    ChLiGenIter it = ChLiGenStart(value.list1, kChLiNodeType);
    uint32_t str = 0, entryId = 0;
    while (!present && ChLiGenNext(it, &str, &entryId, kChLiNodeType)) present = entryId == uint32_t(id);
    ChLiGenStop(it);
  }
  if (!present) {
    if (value.list1 == 0) value.list1 = ChLiGenCreate(user, kChLiNodeType);
    ChHandle path = StToChStXfm(ForumFilePath(subject), user);
    value.list1 = ChLiGenAppend(value.list1, path, uint32_t(id), kChLiNodeType);
    Store(root, user, value);
  }
  ForumSubscrMakeCurrent(root, user);
  return 0;
}

bool ForumSubscrRemove(ChHandle user, const ForumFile& item) {
  if (!item) return false;
  ForumRoot root = ForumFileRoot(item);
  if (!ForumIsRecordPrincipal(user)) return false;
  ForumFile subject = Subject(item);
  uint32_t id = uint32_t(ForumFileUniqueId(subject));
  LgDbSubscr value = Load(root, user);
  if (value.list1 == 0) return false;
  bool removed = false;
  ChLiGenIter it = ChLiGenStart(value.list1, kChLiNodeType);
  uint32_t str = 0, entryId = 0;
  while (ChLiGenNext(it, &str, &entryId, kChLiNodeType)) {
    if (entryId != id) continue;
    ChLiGenIterDeleteEntry(it, kChLiNodeType);
    ChStDestroy(str);
    removed = true;
  }
  value.list1 = it.list;
  ChLiGenStop(it);
  if (removed) Store(root, user, value);
  return removed;
}

void ForumSubscrClear(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return;
  LgDbSubscr value;
  if (!ForumUserSubscriptions(root, user, &value) || value.list1 == 0) return;
  ChStLiDestroy(value.list1);
  value.list1 = 0;
  Store(root, user, value);
}

bool ForumFileIsSubscribed(ChHandle user, const ForumFile& item) {
  if (!item) return false;
  ForumRoot root = ForumFileRoot(item);
  if (!ForumIsRecordPrincipal(user)) return false;
  ForumFile subject = Subject(item);
  if (!subject) return false;
  ForumSubscrMakeCurrent(root, user);
  LgDbSubscr value = Load(root, user);
  if (value.list1 == 0) return false;
  uint32_t id = uint32_t(ForumFileUniqueId(subject));
  St path = ForumFilePath(subject);
  bool found = false;
  ChLiGenIter it = ChLiGenStart(value.list1, kChLiNodeType);
  uint32_t str = 0, entryId = 0;
  while (!found && ChLiGenNext(it, &str, &entryId, kChLiNodeType))
    found = entryId == id || Covers(ChStToStXfm(str).View(), path.View());
  ChLiGenStop(it);
  return found;
}

int32_t ForumSubscrCount(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return 0;
  LgDbSubscr value = Load(root, user);
  return value.list1 == 0 ? 0 : ChLiGenCount(value.list1, kChLiNodeType);
}

void ForumSubscrMakeCurrent(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return;
  LgDbSubscr value = Load(root, user);
  if (value.list1 == 0) return;
  bool changed = false;
  ChLiGenIter it = ChLiGenStart(value.list1, kChLiNodeType);
  uint32_t str = 0, id = 0;
  while (ChLiGenNext(it, &str, &id, kChLiNodeType)) {
    ForumFile item = ForumFileOpenUnique(root, int32_t(id));
    if (!Subscribable(item)) {
      ChLiGenIterDeleteEntry(it, kChLiNodeType);
      ChStDestroy(str);
      changed = true;
      continue;
    }
    St path = ForumFilePath(item);
    if (ChStEqualSt(str, path)) continue;
    ChLiGenSetDataEntry(it.list, it.current, StToChStXfm(path, user), id, kChLiNodeType);
    ChStDestroy(str);
    changed = true;
  }
  value.list1 = it.list;
  ChLiGenStop(it);
  if (changed) Store(root, user, value);
}

ForumSubscrIter ForumSubscrStart(ForumRoot root, ChHandle user) {
  ForumSubscrIter iter;
  if (!ForumIsRecordPrincipal(user)) return iter;
  LgDbSubscr value = Load(root, user);
  if (value.list1 != 0) iter.list = ChLiGenStart(value.list1, kChLiNodeType);
  return iter;
}

bool ForumSubscrNext(ForumSubscrIter& iter, St* path, int32_t* id) {
  if (iter.list.list == 0) return false;
  uint32_t str = 0, entryId = 0;
  if (!ChLiGenNext(iter.list, &str, &entryId, kChLiNodeType)) return false;
  if (path) *path = ChStToStXfm(str);
  if (id) *id = int32_t(entryId);
  return true;
}

void ForumSubscrStop(ForumSubscrIter& iter) {
  if (iter.list.list != 0) ChLiGenStop(iter.list);
  iter.list = ChLiGenIter();
}

ForumSubscrRead ForumSubscrReadStart(ForumRoot root, ChHandle user) {
  ForumSubscrRead read;
  read.root = root;
  read.user = user;
  if (!Registered(root, user)) return read;
  ForumSubscrMakeCurrent(root, user);
  std::vector<int32_t> ids;
  ForumSubscrIter iter = ForumSubscrStart(root, user);
  int32_t id = 0;
  while (ForumSubscrNext(iter, nullptr, &id)) ids.push_back(id);
  ForumSubscrStop(iter);
  for (int32_t entry : ids) {
    ForumFile item = ForumFileOpenUnique(root, entry);
    if (ForumFileIsForum(item)) {
      ForumSubscrReadAddTopic(read, item);
    } else if (ForumFileIsCategory(item)) {
      ForumSubscrReadAddCat(read, item);
    }
  }
  return read;
}

void ForumSubscrReadAddTopic(ForumSubscrRead& read, const ForumFile& discussion) {
  if (!ForumFileIsForum(discussion) || !ForumHasNewMessages(discussion, read.user)) return;
  int32_t id = ForumFileUniqueId(discussion);
  if (read.added.insert(id).second) read.discussions.push_back(id);
}

void ForumSubscrReadAddCat(ForumSubscrRead& read, const ForumFile& folder) {
  if (ForumFileIsCategory(folder)) AddFolderRec(read, ForumFileRecord(folder));
}

ForumFile ForumSubscrReadNext(ForumSubscrRead& read) {
  while (read.next < read.discussions.size()) {
    ForumFile discussion = ForumFileOpenUnique(read.root, read.discussions[read.next++]);
    // Gone meanwhile, or below a subscribed folder but not readable.
    if (ForumFileIsForum(discussion) && ForumAccOpCk(discussion, read.user, kReadRight))
      return discussion;
  }
  return ForumFile();
}

void ForumSubscrReadStop(ForumSubscrRead& read) {
  read.discussions.clear();
  read.added.clear();
  read.next = 0;
}

void ForumSubscMarkCurrent(ForumRoot root, ChHandle user, const ForumFile& item) {
  if (!Registered(root, user)) return;
  if (item) {
    MarkItem(root, user, Subject(item));
    return;
  }
  std::vector<int32_t> ids;
  ForumSubscrIter iter = ForumSubscrStart(root, user);
  int32_t id = 0;
  while (ForumSubscrNext(iter, nullptr, &id)) ids.push_back(id);
  ForumSubscrStop(iter);
  for (int32_t entry : ids) MarkItem(root, user, ForumFileOpenUnique(root, entry));
}

}  // namespace quil
