// The folder tree: creating, deleting, moving and renaming the children of
// folders, and reading a folder's entries.
#include <algorithm>

#include "Bt.h"
#include "ForumAcc.h"
#include "ForumInt.h"
#include "ForumUser.h"
#include "Ma.h"

namespace quil {

namespace {

constexpr uint32_t kFirstEventId = 250000000;

bool IsInteger(const St& name) {
  int32_t n = 0;
  return StIntStXfm(name, &n);
}

// The entry of a live child by name, 0 when none.
ChHandle EntryOf(const ForumFile& folder, const St& name) {
  ChHandle list = ForumFileList(folder);
  if (list == 0 || name.IsNil()) return 0;
  ChHandle entry = LgDbTextFind(list, name);
  if (entry == 0 || LgDbRecGetRec(entry, ForumFileRoot(folder)->f.File) == 0) return 0;
  return entry;
}

// The first number from a folder's NextForum counter on (1 when absent)
// that no child has.
int32_t NextFreeNumber(const ForumFile& folder) {
  ForumRoot root = ForumFileRoot(folder);
  int32_t n = std::max(ForumRecInt(ForumFileRecord(folder), root->f.NextForum, 1), 1);
  while (EntryOf(folder, StStIntXfm(n)) != 0) ++n;
  return n;
}

// Raises a folder's NextForum past n.
void PassNumber(ForumRoot root, ChHandle folder, int32_t n) {
  if (ForumRecInt(folder, root->f.NextForum, 1) <= n) LgDbRecPutInt(folder, root->f.NextForum, n + 1);
}

bool IsNumbered(int kind) {
  return kind == kForumKindDiscussion || kind == kForumKindLink || kind == kForumKindLive ||
         kind == kForumKindShipCon;
}

// Puts a new entry for child into folder's list and name order.
ChHandle EntryAdd(const ForumFile& folder, ChHandle child, const St& name, bool isFolder) {
  ForumRoot root = ForumFileRoot(folder);
  ChHandle list = ForumFileList(folder);
  ChHandle head = ForumFileRecord(folder);
  ChHandle entry = LgDbRecCreate(list);
  LgDbRecPutText(entry, root->f.Name, name);
  LgDbRecPutRec(entry, root->f.File, child);
  uint32_t length = LgDbLength(list);
  uint32_t eventId = length > kFirstEventId - 1 ? length : kFirstEventId;
  LgDbRecPutInt(entry, root->f.EventId, int32_t(eventId));
  LgDbRecPut(list, entry, eventId);
  (void)LgDbRecInsertSorted(list, entry, root->f.Name);
  LgDbRecPlusInt(head, root->f.Size, 1);
  if (isFolder) LgDbRecPlusInt(head, root->f.CategoryCount, 1);
  LgDbRecPutTd(head, root->f.Date, ForumNow());
  LgDbRecPutInt(entry, root->f.Parent, ForumFileUniqueId(folder));
  LgDbRecPutInt(child, root->f.Parent, ForumUniqueIdFromRec(root, entry));
  return entry;
}

// Takes an entry out of the name order and leaves an event record of type
// eventType with its EventId in the folder's list: appended, the entry
// staying without its File (a deletion), or in the entry's place, the entry
// destroyed (a move).
void EntryWithdraw(const ForumFile& folder, ChHandle entry, ChHandle eventType,
                   bool isFolder, bool inPlace) {
  ForumRoot root = ForumFileRoot(folder);
  ChHandle list = ForumFileList(folder);
  ChHandle head = ForumFileRecord(folder);
  int32_t eventId = 0;
  if (!LgDbRecGetInt(entry, root->f.EventId, &eventId))
    MaAssertFailure("ForumCatItemDestroy--no EventId");
  ChHandle event = LgDbRecCreate(list);
  LgDbRecPutTextId(event, root->f.Type, eventType);
  LgDbRecPutInt(event, root->f.EventId, eventId);
  LgDbRecPutTd(event, root->f.Date, ForumNow());
  (void)LgDbRecRemoveSorted(list, entry);
  if (inPlace) {
    (void)LgDbRecPut(list, event, uint32_t(eventId));
    int32_t entryId = 0;
    if (LgDbRecGetInt(entry, root->f.UniqueId, &entryId))
      (void)BtihDbRemoveExact(root->uniqueIndex, uint32_t(entryId), entry);
    LgDbRecDestroy(entry);
  } else {
    LgDbRecPut(list, event, LgDbLength(list));
    (void)LgDbRecFieldRemove(entry, root->f.File);
  }
  LgDbRecPlusInt(head, root->f.Size, -1);
  if (isFolder) LgDbRecPlusInt(head, root->f.CategoryCount, -1);
  LgDbRecPutTd(head, root->f.Date, ForumNow());
}

ChHandle DeletedTypeOf(ForumRoot root, int kind) {
  switch (kind) {
    case kForumKindFolder: return root->t.DeletedCategory;
    case kForumKindDiscussion: return root->t.DeletedTopic;
    case kForumKindLink: return root->t.DeletedLink;
    case kForumKindLive: return root->t.DeletedLive;
    case kForumKindShipCon: return root->t.DeletedShipCon;
    default: MaAssertFailure("ForumCatItemDestroy--unknown entry type");
  }
}

}  // namespace

uint16_t ForumCatNameCk(const ForumFile& folder, const St& name, bool isFolder,
                        ChHandle sameEntry) {
  if (!ForumFileIsCategory(folder)) return kForumNotContainer;
  if (name.Empty()) return kForumNameEmpty;
  if (isFolder && IsInteger(name)) return kForumIntegerName;
  ChHandle entry = EntryOf(folder, name);
  if (entry != 0 && entry != sameEntry) return kForumNameInUse;
  return 0;
}

uint16_t ForumCatItemCreate(const ForumFile& folder, const St& type, const St& name,
                            const St& title, ChHandle author, bool quiet, St* finalName) {
  if (!ForumFileIsCategory(folder)) return kForumNotContainer;
  ForumRoot root = ForumFileRoot(folder);
  const ForumTypeIds& t = root->t;
  ChHandle typeId = type.IsNil() ? 0 : LgDbFieldIdLookup(ForumFileRecord(folder), type);
  if (ForumSiteIsFoldersOnly(root) && typeId != t.Category && typeId != t.Link &&
      typeId != t.ShipCon)
    return kForumNotContainer;
  bool numbered = typeId == t.Topic || typeId == t.Link || typeId == t.Live || typeId == t.ShipCon;
  bool isFolder = typeId == t.Category;
  St childName = name;
  if (!numbered && !isFolder && typeId != t.Document) {
    uint16_t status = ForumCatNameCk(folder, childName, false, 0);
    return status != 0 ? status : kForumBadType;
  }
  int32_t number = 0;
  if (numbered) {
    number = NextFreeNumber(folder);
    childName = StStIntXfm(number);
  } else if (typeId == t.Document && IsInteger(childName)) {
    return kForumNameEmpty;
  }
  uint16_t status = ForumCatNameCk(folder, childName, isFolder, 0);
  if (status != 0) return status;
  // Documents come with the messages they are attached to, not as children
  // made here.
  if (typeId == t.Document) return kForumBadType;
  if (numbered) PassNumber(root, ForumFileRecord(folder), number);

  ChHandle near = ForumFileList(folder);
  ChHandle child;
  if (isFolder) {
    child = LgDbGetHead(LgDbCreate(near));
    LgDbRecPutInt(child, root->f.Size, 0);
    LgDbRecPutInt(child, root->f.NextForum, 1);
    LgDbRecPutInt(child, root->f.CategoryCount, 0);
  } else if (typeId == t.Topic) {
    child = LgDbGetHead(LgDbCreate(near));
    LgDbRecPutInt(child, root->f.Size, 0);
  } else {
    child = LgDbRecCreate(near);
    // A new link is a web link until its kind is set.
    if (typeId == t.Link) ForumLinkCount(root, ForumFileRecord(folder), 0, 1);
  }
  LgDbTd now = ForumNow();
  LgDbRecPutTextId(child, root->f.Type, typeId);
  if (!title.IsNil()) LgDbRecPutText(child, root->f.Title, title);
  LgDbRecPutTd(child, root->f.Date, now);
  LgDbRecPutTd(child, root->f.CreateDate, now);
  if (author != 0) LgDbRecPutRec(child, root->f.User, author);
  (void)ForumUniqueIdFromRec(root, child);
  (void)EntryAdd(folder, child, childName, isFolder);
  ForumChanged(root, true);
  ForumChanged(root, false);
  if (ForumIsRecordPrincipal(author)) ForumUserPostAdd(root, author, child);
  ForumNotifyCreated(root, child);
  if (!quiet) {
    ForumFile item = ForumFileOpen(root, ForumUniquePathOf(ForumUniqueIdFromRec(root, child)));
    if (item) ForumFileSetWebCreated(item, true);
  }
  ++root->itemCount;
  if (finalName) *finalName = childName;
  return 0;
}

uint16_t ForumCatItemDestroy(const ForumFile& folder, const St& name) {
  ChHandle entry = EntryOf(folder, name);
  if (entry == 0) return kForumNoEntry;
  ForumRoot root = ForumFileRoot(folder);
  ChHandle child = LgDbRecGetRec(entry, root->f.File);
  int kind = ForumKindOfRec(root, child);
  if (kind == kForumKindFolder && ForumRecInt(child, root->f.Size, 0) > 0) return kForumNoEntry;
  ChHandle deletedType = DeletedTypeOf(root, kind);
  if (kind == kForumKindDiscussion) {
    ChHandle list = LgDbRecGetList(child);
    uint32_t length = LgDbLength(list);
    for (uint32_t i = 0; i < length; ++i) {
      ChHandle msg = LgDbRecGet(list, i);
      if (msg != 0) ForumMessageUnindex(root, msg);
    }
  }
  EntryWithdraw(folder, entry, root->t.DelEvent, kind == kForumKindFolder, false);
  if (kind == kForumKindLink)
    ForumLinkCount(root, ForumFileRecord(folder), uint32_t(ForumRecInt(child, root->f.Flags, 0)), -1);
  LgDbRecPutTextId(child, root->f.Type, deletedType);
  int32_t id = 0;
  if (LgDbRecGetInt(child, root->f.UniqueId, &id)) {
    // The item, and the messages and documents below a discussion.
    if (ForumFileRec* open = ForumFileFindOpen(root, id, child)) ForumFileUncacheBelow(root, open);
    ForumFileUncache(root, id);
  }
  ForumChanged(root, true);
  ForumNotifyDeleted(root, child);
  return 0;
}

uint16_t ForumCatItemMove(const ForumFile& folder, const St& name, const ForumFile& target,
                          const St& newName) {
  ChHandle entry = EntryOf(folder, name);
  if (entry == 0) return kForumNoEntry;
  if (!ForumFileIsCategory(target)) return kForumNotContainer;
  ForumRoot root = ForumFileRoot(folder);
  ChHandle child = LgDbRecGetRec(entry, root->f.File);
  int kind = ForumKindOfRec(root, child);
  bool isFolder = kind == kForumKindFolder;
  // A folder cannot go into itself or below itself.
  int32_t childId = ForumUniqueIdFromRec(root, child);
  for (ForumFileRec* f = target.Rec(); f; f = f->parent) {
    if (f->uniqueId == childId) return kForumMoveIntoItself;
  }
  St finalName = newName.IsNil() ? name : newName;
  int32_t number = 0;
  if (IsNumbered(kind)) {
    number = NextFreeNumber(target);
    finalName = StStIntXfm(number);
  } else {
    uint16_t status = ForumCatNameCk(target, finalName, isFolder, 0);
    if (status != 0) return status;
  }
  if (IsNumbered(kind)) PassNumber(root, ForumFileRecord(target), number);
  EntryWithdraw(folder, entry, root->t.MoveEvent, isFolder, true);
  ChHandle moved = EntryAdd(target, child, finalName, isFolder);
  if (kind == kForumKindLink) {
    uint32_t flags = uint32_t(ForumRecInt(child, root->f.Flags, 0));
    ForumLinkCount(root, ForumFileRecord(folder), flags, -1);
    ForumLinkCount(root, ForumFileRecord(target), flags, 1);
  }
  if (ForumFileRec* f = ForumFileFindOpen(root, childId, child)) {
    ForumFileRec* old = f->parent;
    f->parent = target.Rec();
    ForumFileRefInc(f->parent);
    f->entry = moved;
    if (old) ForumFileClose(old);
    // Its access list and those of the items below it are those of the new
    // place from now on.
    ForumAccRelease(ForumFileShare(f));
  }
  // The item and the open items below it now inherit from the target.
  ForumFileFlagsPropagate(target);
  ForumChanged(root, true);
  return 0;
}

uint16_t ForumCatItemSetName(const ForumFile& folder, const St& name, const St& newName) {
  ChHandle entry = EntryOf(folder, name);
  if (entry == 0) return kForumNoEntry;
  ForumRoot root = ForumFileRoot(folder);
  ChHandle child = LgDbRecGetRec(entry, root->f.File);
  int kind = ForumKindOfRec(root, child);
  bool isFolder = kind == kForumKindFolder;
  St finalName = newName;
  int32_t number = 0;
  if (IsNumbered(kind)) {
    // Items named by number stay named by a number, and the counter passes
    // it so that it is never given again.
    if (!StIntStXfm(newName, &number) || number < 1) return kForumNameEmpty;
    finalName = StStIntXfm(number);
  }
  uint16_t status = ForumCatNameCk(folder, finalName, isFolder, entry);
  if (status != 0) return status;
  if (IsNumbered(kind)) PassNumber(root, ForumFileRecord(folder), number);
  ChHandle list = ForumFileList(folder);
  (void)LgDbRecRemoveSorted(list, entry);
  LgDbRecPutText(entry, root->f.Name, finalName);
  (void)LgDbRecInsertSorted(list, entry, root->f.Name);
  ForumChanged(root, true);
  return 0;
}

namespace {
uint16_t SetChildText(const ForumFile& folder, const St& name, ChHandle field, St text) {
  ChHandle entry = EntryOf(folder, name);
  if (entry == 0) return kForumNoEntry;
  ForumRoot root = ForumFileRoot(folder);
  ChHandle child = LgDbRecGetRec(entry, root->f.File);
  int32_t id = 0;
  auto it = LgDbRecGetInt(child, root->f.UniqueId, &id) ? root->open.find(id) : root->open.end();
  if (it != root->open.end() && field == root->f.Title) it->second->titleValid = false;
  LgDbRecPutText(child, field, std::move(text));
  ForumChanged(root, false);
  return 0;
}
}  // namespace

uint16_t ForumCatItemSetTitle(const ForumFile& folder, const St& name, St title) {
  return SetChildText(folder, name, ForumFileRoot(folder)->f.Title, std::move(title));
}

uint16_t ForumCatItemSetHtml(const ForumFile& folder, const St& name, St html) {
  return SetChildText(folder, name, ForumFileRoot(folder)->f.Html, std::move(html));
}

// ---------------------------------------------------------------------------
// Reading entries.

namespace {

// What the listing orders compare of one child.
struct ListItem {
  ChHandle entry;
  int32_t sortSeq;
  LgDbTd created, changed;
  St key;  // Latin-1 upper case
};

}  // namespace

std::vector<ChHandle> CreateCatList(const ForumFile& folder, int order) {
  ForumRoot root = ForumFileRoot(folder);
  if (order == kForumSeqDefault) order = ForumSysopCatForumSeq(root);
  std::vector<ListItem> items;
  uint32_t n = ForumCatItemCount(folder);
  for (uint32_t i = 0; i < n; ++i) {
    ListItem item{ForumCatItemOpen(folder, i), 0, {}, {}, {}};
    ChHandle child = LgDbRecGetRec(item.entry, root->f.File);
    if (child == 0) continue;
    item.sortSeq = ForumRecInt(child, root->f.SortSeq, 0);
    ChHandle dated = child;
    int kind = ForumKindOfRec(root, child);
    if (kind == kForumKindLink && order != kForumSeqAlpha) {
      ForumFile target = ForumLinkOpen(ForumFileHasChild(folder, ForumCatItemName(root, item.entry)));
      if (target) dated = ForumFileRecord(target);
    }
    (void)LgDbRecGetTd(dated, root->f.CreateDate, &item.created);
    (void)LgDbRecGetTd(dated, root->f.Date, &item.changed);
    if (order == kForumSeqAlpha) {
      St key = kind == kForumKindFolder ? LgDbRecGetText(item.entry, root->f.Name)
                                        : LgDbRecGetText(child, root->f.Title);
      item.key = StTranslate(std::move(key), StLatinUpper);
    }
    items.push_back(std::move(item));
  }
  auto before = [order](const ListItem& a, const ListItem& b) {
    if (a.sortSeq != b.sortSeq) return a.sortSeq > b.sortSeq;
    switch (order) {
      case kForumSeqCreate: return LgDbTdCompare(a.created, b.created) == kStBefore;
      case kForumSeqRevMod: return LgDbTdCompare(a.changed, b.changed) == kStAfter;
      case kForumSeqAlpha: return StCompare(a.key, b.key, nullptr) == kStBefore;
      default: return LgDbTdCompare(a.created, b.created) == kStAfter;
    }
  };
  std::stable_sort(items.begin(), items.end(), before);
  std::vector<ChHandle> entries;
  entries.reserve(items.size());
  for (const ListItem& item : items) entries.push_back(item.entry);
  return entries;
}

std::vector<ChHandle> ForumCatListPage(const ForumFile& folder, ChHandle user, int order,
                                       int32_t first, int32_t count, int32_t* total) {
  std::vector<ChHandle> page;
  int32_t readable = 0;
  ForumRoot root = ForumFileRoot(folder);
  for (ChHandle entry : CreateCatList(folder, order)) {
    ForumFile child = ForumFileHasChild(folder, ForumCatItemName(root, entry));
    if (!child || !ForumAccOpCk(child, user, kForumAccRead)) continue;
    if (readable >= first && (count < 0 || int32_t(page.size()) < count)) page.push_back(entry);
    ++readable;
  }
  if (total) *total = readable;
  return page;
}

void ForumTreePrint(const ForumFile& folder, std::string* out) {
  int kind = ForumFileKind(folder);
  St title = ForumFileTitle(folder);
  if (title.IsNil()) title = ForumFileRoot(folder) ? LgDbRecGetText(ForumFileRecord(folder),
                                                                    ForumFileRoot(folder)->f.Name)
                                                   : St();
  std::string count = kind == kForumKindFolder       ? std::to_string(ForumCatItemCount(folder))
                      : kind == kForumKindDiscussion ? std::to_string(ForumMessageCount(folder))
                                                     : std::string("-");
  *out += ForumFileUniquePath(folder).Str() + "\t" + ForumFileType(folder).Str() + "\t" +
          ForumFilePath(folder).Str() + "\t" + title.Str() + "\t" + count + "\n";
  if (kind != kForumKindFolder) return;
  uint32_t n = ForumCatItemCount(folder);
  for (uint32_t i = 0; i < n; ++i) {
    ForumFile child = ForumFileHasChild(folder, ForumCatItemName(ForumFileRoot(folder),
                                                                 ForumCatItemOpen(folder, i)));
    if (child) ForumTreePrint(child, out);
  }
}

uint32_t ForumCatItemCount(const ForumFile& folder) {
  ChHandle list = ForumFileList(folder);
  return list ? LgDbSortedCount(list) : 0;
}

ChHandle ForumCatItemOpen(const ForumFile& folder, uint32_t ix) {
  ChHandle list = ForumFileList(folder);
  return list ? LgDbSortedGet(list, ix) : 0;
}

St ForumCatItemName(ForumRoot root, ChHandle entry) {
  return LgDbRecGetText(entry, root->f.Name);
}

namespace {
ChHandle ChildOf(ForumRoot root, ChHandle entry) { return LgDbRecGetRec(entry, root->f.File); }
}  // namespace

St ForumCatItemTitle(ForumRoot root, ChHandle entry) {
  ChHandle child = ChildOf(root, entry);
  return child ? LgDbRecGetText(child, root->f.Title) : St();
}

St ForumCatItemType(ForumRoot root, ChHandle entry) {
  ChHandle child = ChildOf(root, entry);
  return child ? LgDbRecGetText(child, root->f.Type) : St();
}

ChHandle ForumCatItemAuthor(ForumRoot root, ChHandle entry) {
  ChHandle child = ChildOf(root, entry);
  return child ? LgDbRecGetRec(child, root->f.User) : 0;
}

LgDbTd ForumCatItemDate(ForumRoot root, ChHandle entry) {
  LgDbTd td;
  ChHandle child = ChildOf(root, entry);
  if (child) (void)LgDbRecGetTd(child, root->f.Date, &td);
  return td;
}

int32_t ForumCatItemSize(ForumRoot root, ChHandle entry) {
  ChHandle child = ChildOf(root, entry);
  if (!child) return -1;
  int kind = ForumKindOfRec(root, child);
  if (kind == kForumKindFolder) return ForumRecInt(child, root->f.Size, 0);
  if (kind == kForumKindDiscussion)
    return ForumRecInt(child, root->f.Size, 0) - ForumRecInt(child, root->f.DeletedCount, 0);
  return -1;
}

}  // namespace quil
