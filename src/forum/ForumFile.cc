// Open-item handles: the cache by unique identifier, reference counts,
// kinds, names and paths, and the attribute getters and setters.
#include <algorithm>

#include "ForumInt.h"
#include "Ma.h"

namespace quil {

// ---------------------------------------------------------------------------
// The handle type.

ForumFile::ForumFile(const ForumFile& other) : rec_(other.rec_), linkPrefix_(other.linkPrefix_) {
  if (rec_) ForumFileRefInc(rec_);
}

ForumFile& ForumFile::operator=(const ForumFile& other) {
  if (other.rec_) ForumFileRefInc(other.rec_);
  ForumFileRec* old = rec_;
  rec_ = other.rec_;
  linkPrefix_ = other.linkPrefix_;
  if (old) ForumFileClose(old);
  return *this;
}

ForumFile& ForumFile::operator=(ForumFile&& other) noexcept {
  if (this != &other) {
    ForumFileRec* old = rec_;
    rec_ = other.rec_;
    linkPrefix_ = std::move(other.linkPrefix_);
    other.rec_ = nullptr;
    if (old) ForumFileClose(old);
  }
  return *this;
}

ForumFile::~ForumFile() {
  if (rec_) ForumFileClose(rec_);
}

void ForumFileRefInc(ForumFileRec* rec) {
  MA_CHECK(ForumDebugFlag, rec && rec->refs > 0, "ForumFileRefInc--File");
  ++rec->refs;
}

void ForumFileClose(ForumFileRec* rec) {
  MA_CHECK(ForumDebugFlag, rec && rec->refs > 0, "ForumFileClose--File");
  if (--rec->refs > 0) return;
  ForumRoot root = rec->root;
  ForumFileRec* parent = rec->parent;
  ChHandle destroy = rec->destroyOnClose ? rec->rec : 0;
  auto it = root->open.find(rec->uniqueId);
  if (it != root->open.end() && it->second.get() == rec) {
    root->open.erase(it);
  } else {
    auto& anon = root->anonymous;
    auto at = std::find_if(anon.begin(), anon.end(),
                           [rec](const auto& p) { return p.get() == rec; });
    MA_CHECK(true, at != anon.end(), "ForumFileClose--File not cached");
    anon.erase(at);
  }
  if (destroy != 0) LgDbRecDestroy(destroy);
  if (parent) ForumFileClose(parent);
}

void ForumFileUncache(ForumRoot root, int32_t id) {
  auto it = root->open.find(id);
  if (it == root->open.end()) return;
  root->anonymous.push_back(std::move(it->second));
  root->open.erase(it);
}

void ForumFileUncacheBelow(ForumRoot root, const ForumFileRec* item) {
  std::vector<int32_t> ids;
  for (auto& [id, f] : root->open) {
    for (const ForumFileRec* up = f.get(); up; up = up->parent) {
      if (up == item) {
        ids.push_back(id);
        break;
      }
    }
  }
  for (int32_t id : ids) ForumFileUncache(root, id);
}

ForumFileRec* ForumFileFindOpen(ForumRoot root, int32_t id, ChHandle rec) {
  auto it = root->open.find(id);
  if (it != root->open.end() && it->second->rec == rec) return it->second.get();
  for (auto& f : root->anonymous)
    if (f->rec == rec) return f.get();
  return nullptr;
}

int32_t ForumOpenItemCount(ForumRoot root) {
  return int32_t(root->open.size() + root->anonymous.size());
}

ForumFileRec* ForumFileRecNew(ForumRoot root, int kind, ChHandle rec, int32_t uniqueId) {
  auto owned = std::make_unique<ForumFileRec>();
  ForumFileRec* f = owned.get();
  f->refs = 1;
  f->kind = kind;
  f->root = root;
  f->rec = rec;
  f->uniqueId = uniqueId;
  if (kind == kForumKindFolder || kind == kForumKindDiscussion) f->list = LgDbRecGetList(rec);
  if (uniqueId != 0 && root->open.find(uniqueId) == root->open.end()) {
    root->open.emplace(uniqueId, std::move(owned));
  } else {
    root->anonymous.push_back(std::move(owned));
  }
  return f;
}

int ForumKindOfRec(ForumRoot root, ChHandle rec) {
  ChHandle type = LgDbRecGetTextId(rec, root->f.Type);
  const ForumTypeIds& t = root->t;
  if (type == t.Category) return kForumKindFolder;
  if (type == t.Topic) return kForumKindDiscussion;
  if (type == t.Response) return kForumKindMessage;
  if (type == t.Link) return kForumKindLink;
  if (type == t.Live) return kForumKindLive;
  if (type == t.ShipCon) return kForumKindShipCon;
  if (type == t.Document) return kForumKindDocument;
  if (type == t.UserGroup) return kForumKindGroup;
  // Messages carry no Type: they are the records of a discussion's list.
  if (type == 0) {
    ChHandle list = LgDbRecGetList(rec);
    ChHandle head = list ? LgDbGetHead(list) : 0;
    if (head != 0 && head != rec && LgDbRecGetTextId(head, root->f.Type) == t.Topic)
      return kForumKindMessage;
  }
  return kForumKindNone;
}

ForumFile ForumFileBelow(ForumRoot root, ForumFileRec* parent, int kind, ChHandle rec,
                         ChHandle entry, int32_t messageIndex) {
  int32_t id = ForumUniqueIdFromRec(root, rec);
  auto it = root->open.find(id);
  if (it != root->open.end() && it->second->rec == rec) return ForumFileShare(it->second.get());
  ForumFileRec* f = ForumFileRecNew(root, kind, rec, id);
  f->entry = entry;
  f->messageIndex = messageIndex;
  if (parent) {
    f->parent = parent;
    ForumFileRefInc(parent);
  }
  return ForumFile(f);
}

ForumFile ForumFileFromRec(ForumRoot root, ChHandle rec, ChHandle entry,
                           const ForumFile& parent) {
  return ForumFileBelow(root, parent.Rec(), ForumKindOfRec(root, rec), rec, entry, -1);
}

ForumFile ForumFileHaCkUnique(ForumRoot root, int32_t uniqueId) {
  auto it = root->open.find(uniqueId);
  if (it == root->open.end() || it->second->rec == 0) return ForumFile();
  ForumFileRefInc(it->second.get());
  return ForumFile(it->second.get());
}

ForumFile ForumFileHasChild(const ForumFile& folder, const St& name) {
  ForumFileRec* f = folder.Rec();
  if (!f || name.IsNil()) return ForumFile();
  ForumFile child;
  switch (f->kind) {
    case kForumKindDiscussion: {
      if (f->list == 0) return ForumFile();
      int32_t index = 0;
      child = StIntStXfm(name, &index) ? ForumFileOpenMessage(folder, index)
                                       : ForumOpenDocument(folder, name);
      break;
    }
    case kForumKindMessage:
    case kForumKindDocument:
      return ForumOpenDocument(folder, name);
    case kForumKindFolder: {
      if (f->list == 0) return ForumFile();
      ChHandle entry = LgDbTextFind(f->list, name);
      ChHandle rec = entry ? LgDbRecGetRec(entry, f->root->f.File) : 0;
      if (rec == 0 || ForumKindOfRec(f->root, rec) == kForumKindNone) return ForumFile();
      child = ForumFileFromRec(f->root, rec, entry, folder);
      break;
    }
    default:
      return ForumFile();
  }
  // What lies below an item reached through links is reached through them.
  if (child) child.SetLinkPrefix(folder.LinkPrefix());
  return child;
}

ForumFile ForumFileOpenMessage(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = discussion.Rec();
  if (!d || d->kind != kForumKindDiscussion || d->list == 0 || index < 0) return ForumFile();
  ChHandle msg = LgDbRecGet(d->list, uint32_t(index));
  if (msg == 0) return ForumFile();
  ForumFile message = ForumFileBelow(d->root, d, kForumKindMessage, msg, 0, index);
  message.SetLinkPrefix(discussion.LinkPrefix());
  return message;
}

ForumFile ForumFileParent(const ForumFile& file) {
  ForumFileRec* f = file.Rec();
  if (!f || !f->parent) return ForumFile();
  ForumFileRefInc(f->parent);
  return ForumFile(f->parent);
}

int ForumFileKind(const ForumFile& file) {
  return file ? file.Rec()->kind : kForumKindNone;
}
bool ForumFileIsCategory(const ForumFile& file) {
  return file && file.Rec()->kind == kForumKindFolder && file.Rec()->list != 0;
}
bool ForumFileIsForum(const ForumFile& file) {
  return file && file.Rec()->kind == kForumKindDiscussion && file.Rec()->list != 0;
}
bool ForumFileIsLink(const ForumFile& file) {
  return file && file.Rec()->kind == kForumKindLink;
}
bool ForumFileIsMessage(const ForumFile& file) {
  return file && file.Rec()->kind == kForumKindMessage;
}
bool ForumFileIsDocument(const ForumFile& file) {
  return file && file.Rec()->kind == kForumKindDocument;
}
ForumRoot ForumFileRoot(const ForumFile& file) { return file ? file.Rec()->root : nullptr; }
ChHandle ForumFileRecord(const ForumFile& file) { return file ? file.Rec()->rec : 0; }
ChHandle ForumFileList(const ForumFile& file) { return file ? file.Rec()->list : 0; }
int32_t ForumFileUniqueId(const ForumFile& file) { return file ? file.Rec()->uniqueId : 0; }

int32_t ForumFileCount(const ForumFile& file) {
  ForumFileRec* f = file.Rec();
  if (!f || f->list == 0) return 0;
  if (f->kind == kForumKindDiscussion) return ForumRecInt(f->rec, f->root->f.Size, 0);
  return int32_t(LgDbSortedCount(f->list));
}

St ForumFileName(const ForumFile& file) {
  ForumFileRec* f = file.Rec();
  if (!f) return St();
  if (f->kind == kForumKindMessage) return StStIntXfm(f->messageIndex);
  if (f->kind == kForumKindDocument) return LgDbRecGetText(f->rec, f->root->f.Name);
  if (f->entry == 0) return St();
  return LgDbRecGetText(f->entry, f->root->f.Name);
}

St ForumFilePath(const ForumFile& file) {
  ForumFileRec* f = file.Rec();
  if (!f) return St();
  if (!f->parent) return f->uniqueId == kForumTopId ? StCStrXfm("/") : St();
  St parent = ForumFilePath(ForumFileParent(file));
  if (parent == "/") parent = StCreate();
  parent = StAppend(std::move(parent), '/');
  return StCat(std::move(parent), StToUrlQuote(ForumFileName(file)));
}

St ForumUniquePathOf(int32_t id) {
  return StCat(StCStrXfm("."), StHexNoZerosIntXfm(uint32_t(id)));
}

St ForumFileUniquePath(const ForumFile& file) {
  ForumFileRec* f = file.Rec();
  if (!f) return St();
  return StCat(file.LinkPrefix(), ForumUniquePathOf(f->uniqueId));
}

St ForumFileType(const ForumFile& file) {
  ForumFileRec* f = file.Rec();
  return f ? LgDbRecGetText(f->rec, f->root->f.Type) : St();
}

void ForumFileChanged(const ForumFile& file) {
  MA_CHECK(ForumDebugFlag, file && file.Rec()->refs > 0, "ForumFileChanged--File");
  ForumSaveArm(file.Rec()->root);
}

// ---------------------------------------------------------------------------
// Attributes.

namespace {

ForumFileRec* Checked(const ForumFile& file, const char* what) {
  MA_CHECK(ForumDebugFlag, file && file.Rec()->refs > 0 && file.Rec()->rec != 0, what);
  return file.Rec();
}

}  // namespace

St ForumFileTitle(const ForumFile& file) {
  ForumFileRec* f = Checked(file, "ForumFileTitle--File");
  if (!f->titleValid) {
    f->title = LgDbRecGetText(f->rec, f->root->f.Title);
    f->titleValid = true;
  }
  return f->title;
}

void ForumSetTitle(const ForumFile& file, St value) {
  ForumFileRec* f = Checked(file, "ForumSetTitle--File");
  f->title = value;
  f->titleValid = true;
  ForumRecPutTextOrRemove(f->rec, f->root->f.Title, std::move(value));
  ForumFileChanged(file);
}

#define FORUM_FILE_TEXT_DEF(name, field)                                        \
  St ForumFile##name(const ForumFile& file) {                                   \
    ForumFileRec* f = Checked(file, "ForumFile" #name "--File");                \
    return LgDbRecGetText(f->rec, f->root->f.field);                            \
  }                                                                             \
  void ForumSet##name(const ForumFile& file, St value) {                        \
    ForumFileRec* f = Checked(file, "ForumSet" #name "--File");                 \
    ForumRecPutTextOrRemove(f->rec, f->root->f.field, std::move(value));                \
    ForumFileChanged(file);                                                     \
  }
FORUM_FILE_TEXTS(FORUM_FILE_TEXT_DEF)

#define FORUM_FILE_INT_DEF(name, field, dflt)                          \
  int32_t ForumFile##name(const ForumFile& file) {                     \
    ForumFileRec* f = Checked(file, "ForumFile" #name "--File");       \
    return ForumRecInt(f->rec, f->root->f.field, dflt);                \
  }                                                                    \
  void ForumSet##name(const ForumFile& file, int32_t value) {          \
    ForumFileRec* f = Checked(file, "ForumSet" #name "--File");        \
    LgDbRecPutInt(f->rec, f->root->f.field, value);                    \
    f->flagsValid = false;                                             \
    ForumFileChanged(file);                                            \
  }
FORUM_FILE_INTS(FORUM_FILE_INT_DEF)

// ---------------------------------------------------------------------------
// Hits and posts.

namespace {

// Adds one to field of the item and to childrenField of every folder above
// it, and to the root head's field.
void CountUp(const ForumFile& file, ChHandle field, ChHandle childrenField) {
  ForumFileRec* f = Checked(file, "ForumFileCount--File");
  ForumRoot root = f->root;
  if (f->kind == kForumKindMessage && f->parent) f = f->parent;
  (void)LgDbRecPlusInt(f->rec, field, 1);
  for (ForumFileRec* up = f->parent; up; up = up->parent)
    if (up->kind == kForumKindFolder) (void)LgDbRecPlusInt(up->rec, childrenField, 1);
  (void)LgDbRecPlusInt(root->head, field, 1);
  ForumSaveArm(root);
}

}  // namespace

void ForumFileCountHit(const ForumFile& file) {
  ForumRoot root = ForumFileRoot(file);
  // A view's tally is no change of what pages show from the store.
  ChUncountedChanges uncounted;
  CountUp(file, root->f.Hits, root->f.ChildrenHits);
}

void ForumFileCountPost(const ForumFile& file) {
  ForumRoot root = ForumFileRoot(file);
  CountUp(file, root->f.Posts, root->f.ChildrenPosts);
}

int32_t ForumSiteHits(ForumRoot root) { return ForumRecInt(root->head, root->f.Hits, 0); }
void ForumSiteSetHits(ForumRoot root, int32_t value) {
  LgDbRecPutInt(root->head, root->f.Hits, value);
  ForumSaveArm(root);
}
int32_t ForumSitePosts(ForumRoot root) { return ForumRecInt(root->head, root->f.Posts, 0); }
void ForumSiteSetPosts(ForumRoot root, int32_t value) {
  LgDbRecPutInt(root->head, root->f.Posts, value);
  ForumSaveArm(root);
}

#define FORUM_FILE_TD_DEF(name)                                        \
  LgDbTd ForumFile##name(const ForumFile& file) {                      \
    ForumFileRec* f = Checked(file, "ForumFile" #name "--File");       \
    LgDbTd td;                                                         \
    (void)LgDbRecGetTd(f->rec, f->root->f.name, &td);                  \
    return td;                                                         \
  }                                                                    \
  void ForumSet##name(const ForumFile& file, LgDbTd value) {           \
    ForumFileRec* f = Checked(file, "ForumSet" #name "--File");        \
    LgDbRecPutTd(f->rec, f->root->f.name, value);                      \
    ForumFileChanged(file);                                            \
  }
FORUM_FILE_TD_DEF(Date)
FORUM_FILE_TD_DEF(CreateDate)

ChHandle ForumFileUser(const ForumFile& file) {
  ForumFileRec* f = Checked(file, "ForumFileUser--File");
  return LgDbRecGetRec(f->rec, f->root->f.User);
}
void ForumSetUser(const ForumFile& file, ChHandle user) {
  ForumFileRec* f = Checked(file, "ForumSetUser--File");
  if (user == 0) {
    (void)LgDbRecFieldRemoveKind(f->rec, f->root->f.User, kLgDbRecType);
  } else {
    LgDbRecPutRec(f->rec, f->root->f.User, user);
  }
  ForumFileChanged(file);
}

// ---------------------------------------------------------------------------
// Flags.

uint32_t ForumFileStoredFlags(const ForumFile& file) {
  ForumFileRec* f = Checked(file, "ForumFileFlags--File");
  return uint32_t(ForumRecInt(f->rec, f->root->f.Flags, 0));
}

uint32_t ForumFileInherits(const ForumFile& file) {
  ForumFileRec* f = Checked(file, "ForumFileFlags--File");
  return uint32_t(ForumRecInt(f->rec, f->root->f.Inherits, int32_t(kForumInheritsDefault)));
}

uint32_t ForumFileFlags(const ForumFile& file) {
  ForumFileRec* f = Checked(file, "ForumFileFlags--File");
  if (!f->flagsValid) {
    uint32_t stored = ForumFileStoredFlags(file);
    f->inherits = ForumFileInherits(file);
    uint32_t mask = f->inherits & ~kForumNeverInherited;
    ForumFileRec* from = f->parent;
    // Messages take the flags of their discussion.
    if (f->kind == kForumKindMessage) mask = 0xffffffffu;
    if (from) {
      ForumFileRefInc(from);
      uint32_t inherited = ForumFileFlags(ForumFile(from));
      f->flags = (stored & ~mask) | (inherited & mask);
    } else {
      f->flags = stored;
    }
    f->sortSeq = ForumRecInt(f->rec, f->root->f.SortSeq, 0);
    f->flagsValid = true;
  }
  return f->flags;
}

void ForumSetFlags(const ForumFile& file, uint32_t flags) {
  ForumFileRec* f = Checked(file, "ForumSetFlags--File");
  LgDbRecPutInt(f->rec, f->root->f.Flags, int32_t(flags));
  ForumFileChanged(file);
  ForumFileFlagsPropagate(file);
}

void ForumSetInherits(const ForumFile& file, uint32_t mask) {
  ForumFileRec* f = Checked(file, "ForumSetInherits--File");
  LgDbRecPutInt(f->rec, f->root->f.Inherits, int32_t(mask));
  ForumFileChanged(file);
  ForumFileFlagsPropagate(file);
}

void ForumFileFlagsPropagate(const ForumFile& file) {
  // The cached flags of every open item may depend on this one; they are
  // recomputed on their next read.
  ForumRoot root = file.Rec()->root;
  for (auto& [id, f] : root->open) f->flagsValid = false;
  for (auto& f : root->anonymous) f->flagsValid = false;
}

#define FORUM_FILE_FLAG_DEF(name, bit)                                  \
  bool ForumFile##name(const ForumFile& file) {                         \
    return (ForumFileFlags(file) & (bit)) != 0;                         \
  }                                                                     \
  void ForumFileSet##name(const ForumFile& file, bool on) {             \
    uint32_t stored = ForumFileStoredFlags(file);                       \
    ForumSetFlags(file, on ? (stored | (bit)) : (stored & ~(bit)));     \
  }
FORUM_FILE_FLAGS(FORUM_FILE_FLAG_DEF)

}  // namespace quil
