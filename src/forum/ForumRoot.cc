// The forum package entry, the root database: creation, opening, closing,
// the interned names, and the open and close of the database file.
#include <algorithm>

#include "Bt.h"
#include "Doc.h"
#include "Ec.h"
#include "Fi.h"
#include "ForumInt.h"
#include "ForumModerated.h"
#include "ForumUser.h"
#include "Ht.h"
#include "Ma.h"
#include "Thread.h"

namespace quil {

bool ForumDebugFlag = true;
ForumRoot wfForumRoot = nullptr;

namespace {

PkgState forumPkg{false, true, false};
// Roots open in this process (the server has one; tools and tests may have
// more in turn).
int32_t openRoots = 0;

constexpr char kForumDbName[] = "forum.db";
constexpr char kFactoryBanner[] = "<center><h1>%% siteTitle %%</h1></center><hr>";
// The footer of a fresh install: a centred link showing the "Powered by"
// picture, with the picture's words as its text for those who do not see it.
constexpr char kFactoryFooter[] =
    "<footer class=\"site-footer\"><a href=\"http://www.quillmoot.org/\"><img "
    "src=\"%%siteImages%%/powerby.gif\" width=\"140\" height=\"32\" "
    "alt=\"Powered by Quillmoot\"></a></footer>";

ChHandle Intern(ChHandle near, const char* name) {
  return LgDbFieldIdGet(near, StCStrXfm(name));
}

ChHandle NewGroup(ChHandle near, const ForumRootRec& r, const char* name, int32_t id) {
  ChHandle g = LgDbRecCreate(near);
  LgDbRecPutTextId(g, r.f.Type, r.t.UserGroup);
  LgDbRecPutText(g, r.f.Name, StCStrXfm(name));
  if (id != 0) LgDbRecPutInt(g, r.f.UniqueId, id);
  LgDbRecPutInt(g, r.f.Size, 0);
  return g;
}

// The identifier index: a BtihDb kept in the UniqueId field of the head of
// the database that the root head's UniqueId names.
ChHandle UniqueIndexOf(ForumRootRec& r, bool create) {
  ChHandle ixHead = LgDbRecGetRec(r.head, r.f.UniqueId);
  if (ixHead == 0) {
    if (!create) return 0;
    ixHead = LgDbGetHead(LgDbCreate(r.head));
    LgDbRecPutRec(r.head, r.f.UniqueId, ixHead);
  }
  ChHandle tree = LgDbRecGetBtih(ixHead, r.f.UniqueId);
  if (tree == 0 && create) {
    tree = BtihDbCreate(ixHead);
    LgDbRecPutBtih(ixHead, r.f.UniqueId, tree);
  }
  return tree;
}

std::vector<ForumIdleReleaseFn>& IdleReleaseList() {
  static std::vector<ForumIdleReleaseFn> list;
  return list;
}

void IdleCheck() {
  ForumRoot root = wfForumRoot;
  if (!root) return;
  for (auto& fn : IdleReleaseList()) fn(root);
  // The root keeps its four handles open; anything more is a handle a
  // request forgot to close.
  MA_CHECK(ForumDebugFlag, ForumOpenItemCount(root) <= 4,
           "ForumThreadsIdle-- open items left");
}

}  // namespace

void ForumInternNames(ForumRoot root) {
  ChHandle near = ChPartNear(root->part);
#define FORUM_INTERN(n) root->f.n = Intern(near, #n);
  FORUM_FIELD_NAMES(FORUM_INTERN)
#undef FORUM_INTERN
#define FORUM_INTERN(name, field, dflt) root->f.sysop##name = Intern(near, #field);
  FORUM_SYSOP_INTS(FORUM_INTERN)
#undef FORUM_INTERN
#define FORUM_INTERN(name) root->f.sysop##name = Intern(near, #name);
  FORUM_SYSOP_TEXTS(FORUM_INTERN)
#undef FORUM_INTERN
  char parent[] = "Parenta";
  for (int i = 0; i < 16; ++i) {
    parent[6] = char('a' + i);
    root->f.parentLetters[size_t(i)] = Intern(near, parent);
  }
#define FORUM_INTERN(member, text) root->t.member = Intern(near, text);
  FORUM_TYPE_NAMES(FORUM_INTERN)
#undef FORUM_INTERN
}

int32_t ForumRecInt(ChHandle rec, ChHandle field, int32_t dflt) {
  int32_t v = 0;
  return LgDbRecGetInt(rec, field, &v) ? v : dflt;
}

void ForumRecPutTextOrRemove(ChHandle rec, ChHandle field, St value) {
  if (value.IsNil()) {
    (void)LgDbRecFieldRemoveKind(rec, field, kLgDbTextType);
  } else {
    LgDbRecPutText(rec, field, std::move(value));
  }
}

ChHandle ForumRecSubDb(ChHandle rec, ChHandle field, bool create) {
  ChHandle head = LgDbRecGetRec(rec, field);
  if (head == 0) {
    if (!create) return 0;
    head = LgDbGetHead(LgDbCreate(rec));
    LgDbRecPutRec(rec, field, head);
  }
  return LgDbRecGetList(head);
}

ChHandle ForumRootCreate(ChPart part) {
  ForumRootRec r;
  r.part = part;
  ForumInternNames(&r);
  ChHandle near = ChPartNear(part);
  LgDbTd now = ForumNow();
  r.db = LgDbCreate(near);
  r.head = LgDbGetHead(r.db);
  LgDbRecPutTextId(r.head, r.f.Type, r.t.Root);
  LgDbRecPutText(r.head, r.f.Name, StCStrXfm("root"));
  LgDbRecPutTd(r.head, r.f.Date, now);
  LgDbRecPutInt(r.head, r.f.StructRev, 1);
  LgDbRecPutInt(r.head, r.f.MsgRev, 1);
  ChHandle index = UniqueIndexOf(r, true);
  ChHandle moderated = LgDbGetHead(LgDbCreate(near));
  LgDbRecPutInt(moderated, r.f.Size, 0);
  LgDbRecPutRec(r.head, r.f.Moderated, moderated);
  LgDbRecPutInt(r.head, r.f.NextUniqueId, kForumFirstFreeId);

  // 0: the entry of the top folder.
  ChHandle topDb = LgDbCreate(near);
  ChHandle top = LgDbGetHead(topDb);
  LgDbRecPutTextId(top, r.f.Type, r.t.Category);
  LgDbRecPutText(top, r.f.Name, StCStrXfm("forums"));
  LgDbRecPutInt(top, r.f.UniqueId, kForumTopId);
  LgDbRecPutInt(top, r.f.Size, 0);
  LgDbRecPutTd(top, r.f.Date, now);
  LgDbRecPutTd(top, r.f.CreateDate, now);
  LgDbRecPutInt(top, r.f.CategoryCount, 0);
  LgDbRecPutInt(top, r.f.Flags, int32_t(kForumFlagUserPrefs));
  ChHandle topEntry = LgDbRecCreate(near);
  LgDbRecPutRec(topEntry, r.f.File, top);
  LgDbRecPut(r.db, topEntry, 0);
  // 1-3: the groups.  The list of groups keeps its members in a database of
  // its own (File).
  ChHandle users = NewGroup(near, r, "users", kForumUsersId);
  ChHandle guests = NewGroup(near, r, "guests", kForumGuestsId);
  ChHandle groups = NewGroup(near, r, "groups", 0);
  LgDbRecPut(r.db, users, 1);
  LgDbRecPut(r.db, guests, 2);
  LgDbRecPut(r.db, groups, 3);
  ChHandle members = LgDbCreate(near);
  LgDbRecPutRec(groups, r.f.File, LgDbGetHead(members));
  LgDbRecAddToList(members, users);
  MA_CHECK(true, LgDbRecIsInList(members, users),
           "ForumRootCreate--error inserting full users list into groups");
  LgDbRecAddToList(members, guests);
  MA_CHECK(true, LgDbRecIsInList(members, guests),
           "ForumRootCreate--error inserting guest list into groups");
  LgDbRecPutInt(groups, r.f.Size, 2);
  // 4: the sysop settings.
  ChHandle sysop = LgDbRecCreate(near);
  LgDbRecPutTextId(sysop, r.f.Type, r.t.SysopSettings);
  LgDbRecPutText(sysop, r.f.Name, StCStrXfm("sysop settings"));
  LgDbRecPutInt(sysop, r.f.UniqueId, kForumSysopId);
  LgDbRecPutBt(sysop, r.f.EmailUsername, BtDbCreate(near));
  LgDbRecPut(r.db, sysop, 4);

  BtihDbSet(index, uint32_t(kForumTopId), top);
  BtihDbSet(index, uint32_t(kForumUsersId), users);
  BtihDbSet(index, uint32_t(kForumGuestsId), guests);
  BtihDbSet(index, uint32_t(kForumSysopId), sysop);
  return r.head;
}

ForumRoot ForumRootOpen(ChPart part, ChHandle head) {
  MA_CHECK(true, forumPkg.inited, "ForumRootOpen--Forum package not inited");
  auto owned = std::make_unique<ForumRootRec>();
  ForumRoot root = owned.get();
  root->part = part;
  root->file = ChGetChFi(part);
  root->head = head;
  root->db = LgDbRecGetList(head);
  ForumInternNames(root);
  root->structRev = ForumRecInt(head, root->f.StructRev, 1);
  root->msgRev = ForumRecInt(head, root->f.MsgRev, 1);
  root->uniqueIndex = UniqueIndexOf(*root, true);
  root->sysopRec = LgDbRecGet(root->db, 4);
  MA_CHECK(true, root->sysopRec != 0, "ForumRootOpen--no sysop settings");
  root->messageIds = LgDbRecGetBt(root->sysopRec, root->f.MessageId);
  if (root->messageIds == 0) {
    root->messageIds = BtDbCreate(root->sysopRec);
    LgDbRecPutBt(root->sysopRec, root->f.MessageId, root->messageIds);
  }
  root->messageInfo = LgDbRecGetBtm(root->sysopRec, root->f.MessageInfo);
  if (root->messageInfo == 0) {
    root->messageInfo = BtmDbCreate(root->sysopRec);
    LgDbRecPutBtm(root->sysopRec, root->f.MessageInfo, root->messageInfo);
  }
  ForumSysopCacheLoad(root);
  root->top = ForumFileOpenUnique(root, kForumTopId);
  root->users = ForumFileOpenUnique(root, kForumUsersId);
  root->guests = ForumFileOpenUnique(root, kForumGuestsId);
  ChHandle groups = LgDbRecGet(root->db, 3);
  root->groups = ForumFile(ForumFileRecNew(root, kForumKindGroup, groups, 0));
  MA_CHECK(true, root->top && root->users && root->guests,
           "ForumRootOpen--cannot open the top folder or the groups");
  ThreadStateSlot slot;
  slot.save = [] { return std::any(); };
  slot.restore = [](std::any&&) {};
  slot.idleCheck = IdleCheck;
  root->idleSlot = ThreadStateSlotAdd(std::move(slot));
  ++openRoots;
  return owned.release();
}

void ForumRootClose(ForumRoot root) {
  if (!root) return;
  std::unique_ptr<ForumRootRec> owned(root);
  ForumSaveDisarm(root);
  if (root->idleSlot >= 0) ThreadStateSlotRemove(root->idleSlot);
  root->groups = ForumFile();
  root->guests = ForumFile();
  root->users = ForumFile();
  root->top = ForumFile();
  MA_CHECK(ForumDebugFlag, root->open.empty() && root->anonymous.empty(),
           "ForumRootClose-- open items left");
  if (wfForumRoot == root) wfForumRoot = nullptr;
  --openRoots;
}

ForumRoot ForumDbOpenI(const std::string& path, ForumDbOpenOptions* options) {
  ChFi file = nullptr;
  ChPart part = 0;
  bool created = false;
  options->status = 0;
  if (!FiExists(path)) {
    uint16_t status = ChFiCreate(path, &file);
    if (status == 0) status = ChFiPartCreate(file, &part);
    if (status != 0)
      MaHalt(("ForumDbOpenI-- could not open database: " + EcToSt(status).Str()).c_str());
    created = true;
  } else {
    uint16_t status = ChFiOpen(path, kChFiReadWrite, &file);
    if (status == kEcOldFormat)
      MaHalt(("ForumDbOpenI-- could not import old database: " + EcToSt(status).Str()).c_str());
    if (status == 0) status = ChFiPartOpen(file, &part);
    if (status != 0 && file) (void)ChFiClose(file);
    if (status != 0 && ChFileNeverSaved(path)) {
      // A creation or first save that never finished: the file holds no
      // conference.  It is kept as path + ".bad" and a new one is created.
      Wf_err_write(("ForumDbOpenI-- " + EcToSt(status).Str() + " " + path +
                    " never held a complete save; kept as " + path + ".bad").c_str());
      status = FiRename(path, path + ".bad");
      if (status == 0) status = ChFiCreate(path, &file);
      if (status == 0) status = ChFiPartCreate(file, &part);
      if (status != 0)
        MaHalt(("ForumDbOpenI-- could not open database: " + EcToSt(status).Str()).c_str());
      created = true;
    } else if (status != 0) {
      // Never replaced by an empty conference: the caller decides.
      options->status = status;
      return nullptr;
    }
  }
  bool repair = false;
  bool checkFailed = false;
  if (!created) {
    std::string report;
    checkFailed = options->check && !ChCheck(part, &report);
    repair = options->forceFix || checkFailed;
    if (!report.empty()) Wf_err_write(report.c_str());
  }
  ChHandle head = DocObjectLookup(part, StCStrXfm(kForumDbName), kLgDbRecType);
  bool newRoot = head == 0;
  if (newRoot) {
    head = ForumRootCreate(part);
    DocObjectEnter(part, StCStrXfm(kForumDbName), head);
  }
  ForumRoot root = ForumRootOpen(part, head);
  if (newRoot) {
    SetSysopToFactory(root);
    if (created || options->firstTime) {
      ForumSysopSetHtmlBanner(root, StCStrXfm(kFactoryBanner));
      ForumSysopSetHtmlFooter(root, StCStrXfm(kFactoryFooter));
    }
  }
  ForumUsersOnOpen(root, newRoot);
  bool fixed = false;
  int32_t added = 0;
  if (repair || (!created && options->check)) {
    added = ForumFixupUniqueId(root);
    fixed = repair || added > 0;
    options->forceFix = false;
  }
  // The layers above see the root before anything is saved: the
  // roll-forward log is replayed here, so that a save below carries the
  // log's marker and not that of an image without the log's changes.
  ForumNotifyDbOpened(path, root);
  if (fixed) {
    ChMarkModified(root->head);
    uint16_t status = ForumRootSave(root);
    if (status == 0) status = ForumRootSaveWait(root);
    if (status == 0) status = ChFiFlush(file);
    if (status != 0)
      Wf_err_write(("ForumDbOpenI-- save after the identifier check failed: " +
                    EcToSt(status).Str()).c_str());
    // What a repair did, and what it could not do: the chunk file itself
    // has no repair here (bad chunks stay as the check reported them);
    // only the identifier index is put right.  Identifiers put back on a
    // plain open of a sound file are no repair and are not logged.
    if (repair) {
      Wf_log_write("* DB identifier index checked: %d %s put back, %s", int(added),
                   added == 1 ? "entry" : "entries",
                   status == 0 ? "file saved and flushed" : "the save failed");
      Wf_log_write("* DB not repaired: %s, and only the identifier index is repaired",
                   checkFailed ? "the consistency check failed" : "a repair was asked for");
    }
  }
  if (newRoot) {
    uint16_t status = ForumRootSave(root);
    if (status == 0) status = ForumRootSaveWait(root);
    if (status != 0)
      MaHalt(("ForumDbOpenI-- could not open database: " + EcToSt(status).Str()).c_str());
  }
  return root;
}

ForumRoot ForumDbOpenReadOnly(const std::string& path, uint16_t* status) {
  ChFi file = nullptr;
  ChPart part = 0;
  *status = ChFiOpen(path, kChFiReadOnly, &file);
  if (*status == 0) *status = ChFiPartOpen(file, &part);
  ChHandle head = 0;
  if (*status == 0) {
    head = DocObjectLookup(part, StCStrXfm(kForumDbName), kLgDbRecType);
    if (head == 0) *status = kForumNoEntry;
  }
  if (*status != 0) {
    if (file) (void)ChFiClose(file);
    return nullptr;
  }
  return ForumRootOpen(part, head);
}

void ForumDbCloseReadOnly(ForumRoot root) {
  ChFi file = root->file;
  ForumRootClose(root);
  (void)ChFiClose(file);
}

void ForumDbCloseI(ForumRoot root) {
  if (!root) return;
  ChFi file = root->file;
  uint16_t status = ChPartIsModified(root->part) ? ForumRootSave(root) : 0;
  if (status == 0) status = ForumRootSaveWait(root);
  if (status != 0) Wf_err_write(("ForumDbClose-- save failed: " + EcToSt(status).Str()).c_str());
  ForumRootClose(root);
  (void)ChFiClose(file);
}

ChPart ForumRootPart(ForumRoot root) { return root->part; }
ChHandle ForumRootDb(ForumRoot root) { return root->db; }
ChHandle ForumRootHead(ForumRoot root) { return root->head; }
int32_t ForumRootStructRev(ForumRoot root) { return root->structRev; }
int32_t ForumRootMsgRev(ForumRoot root) { return root->msgRev; }
int64_t ForumRootItemCount(ForumRoot root) { return root->itemCount; }
ChHandle ForumRootSysopRec(ForumRoot root) { return root->sysopRec; }
ChHandle ForumUniqueIndex(ForumRoot root) { return root->uniqueIndex; }
ForumFile ForumTopFolder(ForumRoot root) { return root->top; }

void ForumChanged(ForumRoot root, bool structure) {
  if (structure) {
    root->structRev = LgDbRecPlusInt(root->head, root->f.StructRev, 1);
  } else {
    root->msgRev = LgDbRecPlusInt(root->head, root->f.MsgRev, 1);
  }
  ForumSaveArm(root);
}

bool ForumRootIsChanged(ForumRoot root) { return root->changed; }

// ---------------------------------------------------------------------------
// Callback lists.

namespace {
std::vector<ForumMessagePostedFn>& PostedList() {
  static std::vector<ForumMessagePostedFn> list;
  return list;
}
std::vector<ForumItemEventFn>& CreatedList() {
  static std::vector<ForumItemEventFn> list;
  return list;
}
std::vector<ForumItemEventFn>& DeletedList() {
  static std::vector<ForumItemEventFn> list;
  return list;
}
std::vector<ForumNewsgroupLookupFn>& NewsgroupList() {
  static std::vector<ForumNewsgroupLookupFn> list;
  return list;
}
std::vector<ForumSaveMarkerFn>& SaveMarkerList() {
  static std::vector<ForumSaveMarkerFn> list;
  return list;
}
std::vector<ForumDbOpenedFn>& DbOpenedList() {
  static std::vector<ForumDbOpenedFn> list;
  return list;
}
std::vector<ForumUniqueIdFn>& UniqueIdList() {
  static std::vector<ForumUniqueIdFn> list;
  return list;
}
}  // namespace

void ForumOnNewsgroupLookup(ForumNewsgroupLookupFn fn) { NewsgroupList().push_back(std::move(fn)); }
bool ForumNewsgroupLookup(ForumRoot root, const St& name, ForumFile* out) {
  for (auto& fn : NewsgroupList()) {
    ForumFile found;
    if (fn(root, name, &found) && found) {
      *out = std::move(found);
      return true;
    }
  }
  return false;
}

void ForumOnMessagePosted(ForumMessagePostedFn fn) { PostedList().push_back(std::move(fn)); }
void ForumOnItemCreated(ForumItemEventFn fn) { CreatedList().push_back(std::move(fn)); }
void ForumOnItemDeleted(ForumItemEventFn fn) { DeletedList().push_back(std::move(fn)); }
void ForumOnSaveMarker(ForumSaveMarkerFn fn) { SaveMarkerList().push_back(std::move(fn)); }
void ForumOnDbOpened(ForumDbOpenedFn fn) { DbOpenedList().push_back(std::move(fn)); }
void ForumOnUniqueIdGiven(ForumUniqueIdFn fn) { UniqueIdList().push_back(std::move(fn)); }
void ForumOnIdleRelease(ForumIdleReleaseFn fn) { IdleReleaseList().push_back(std::move(fn)); }
void ForumCallbacksClear() {
  IdleReleaseList().clear();
  PostedList().clear();
  CreatedList().clear();
  DeletedList().clear();
  NewsgroupList().clear();
  SaveMarkerList().clear();
  DbOpenedList().clear();
  UniqueIdList().clear();
  ForumModCallbacksClear();
}
void ForumNotifyPosted(const ForumPostEvent& event) {
  for (auto& fn : PostedList()) fn(event);
}
void ForumNotifyCreated(ForumRoot root, ChHandle rec) {
  for (auto& fn : CreatedList()) fn(root, rec);
}
void ForumNotifyDeleted(ForumRoot root, ChHandle rec) {
  for (auto& fn : DeletedList()) fn(root, rec);
}
void ForumNotifySaveMarker(ForumRoot root, const St& code, int64_t position) {
  for (auto& fn : SaveMarkerList()) fn(root, code, position);
}
void ForumNotifyDbOpened(const std::string& path, ForumRoot root) {
  for (auto& fn : DbOpenedList()) fn(path, root);
}
void ForumNotifyUniqueIdGiven(ForumRoot root, ChHandle rec, int32_t id) {
  for (auto& fn : UniqueIdList()) fn(root, rec, id);
}

uint16_t ForumInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] { return uint16_t(0); };
  steps.term = [] {
    MA_CHECK(true, openRoots == 0, "ForumInitRtns-- ForumRootPtrs still exist");
    ForumCallbacksClear();
  };
  uint16_t result = PkgDispatch(forumPkg, "ForumInitRtns", selector, value, steps);
  if (selector == kPkgDebug) ForumDebugFlag = forumPkg.debug;
  return result;
}

}  // namespace quil
