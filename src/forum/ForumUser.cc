// Users: creation and deletion, the name and e-mail indexes, the sysop, the
// field accessors, logins and the password check.
#include <algorithm>

#include "Auth.h"
#include "Bt.h"
#include "ForumUserInt.h"
#include "Ma.h"
#include "Qu.h"

namespace quil {

namespace {

uint16_t UserCreate(ForumRoot root, int kind, const St& name, const St& email, const St& digest,
                    bool giveId, ChHandle* user);

ForumDirectoryCheckFn& DirectoryCheck() {
  static ForumDirectoryCheckFn fn;
  return fn;
}

ChHandle Intern(ForumRoot root, const char* name) {
  return LgDbFieldIdGet(ChPartNear(root->part), StCStrXfm(name));
}

// The members database of a built-in group (its File), made when asked to.
ChHandle MembersDb(ForumRoot root, ChHandle group, bool create) {
  ChHandle db = ForumRecSubDb(group, root->f.File, false);
  if (db == 0 && create) {
    db = ForumRecSubDb(group, root->f.File, true);
    ForumChanged(root, true);
  }
  return db;
}

ChHandle EmailIndex(ForumRoot root) { return LgDbRecGetBt(root->sysopRec, root->f.EmailUsername); }

St Lower(const St& s) { return StTranslate(St(s), StLatinLower); }

St Normalise(const St& name) { return StNameToLastCommaFirst(StStripBlanks(St(name))); }

ChHandle LookupIn(ForumRoot root, ChHandle group, const St& normalised) {
  ChHandle db = MembersDb(root, group, false);
  return db == 0 ? 0 : LgDbTextLookup(db, normalised);
}

void EmailIndexPut(ForumRoot root, ChHandle user, const St& email, bool add) {
  ChHandle tree = EmailIndex(root);
  if (tree == 0 || email.Empty()) return;
  if (add)
    (void)BtDbInsert(tree, Lower(email), user, 0);
  else
    (void)BtDbRemove(tree, Lower(email), user, 0);
}

}  // namespace

ForumUserState::ForumUserState(ForumRoot r) : root(r) {
#define FORUM_USER_FIELD(name, ...) f##name = Intern(r, #name);
  FORUM_USER_FIELD_NAMES(FORUM_USER_FIELD)
  FORUM_USER_TEXTS(FORUM_USER_FIELD)
  FORUM_USER_INTS(FORUM_USER_FIELD)
#undef FORUM_USER_FIELD
}

ForumUserState::~ForumUserState() {
  if (sweepTimer != 0) QuRamKill(sweepTimer);
  if (hooksInstalled) ForumAuthHooksRemove(root);
}

ForumUserState& ForumUserStateOf(ForumRoot root) {
  if (!root->userState) root->userState = std::make_shared<ForumUserState>(root);
  return *root->userState;
}

bool ForumUserIsRecord(ChHandle h) {
  return ForumIsRecordPrincipal(h) && ChIsLegal(h) && ChType(h) == kLgDbRecType;
}

void ForumUsersOnOpen(ForumRoot root, bool newRoot) {
  ForumUserStateOf(root);
  // A database made before it had users gets them now, like a new one.
  if (newRoot || MembersDb(root, ForumGroupUsers(root), false) == 0) {
    // Part of making the root: the revisions stay at their first values and
    // the sysop's identifier is given when first asked for, so the first
    // free identifier stays the first item's.
    int32_t structRev = ForumRootStructRev(root), msgRev = ForumRootMsgRev(root);
    (void)MembersDb(root, ForumGroupUsers(root), true);
    (void)MembersDb(root, ForumGroupGuests(root), true);
    ChHandle sysop = 0;
    St digest = StHashMd5(StCStrXfm(kForumSysopDefaultPassword));
    uint16_t status = UserCreate(root, kForumUserRegistered, StCStrXfm(kForumSysopUserName), St(),
                                 digest, false, &sysop);
    MA_CHECK(true, status == 0 && sysop != 0, "ForumRootCreate--error creating sysop user");
    ForumUserSetSysop(root, sysop, true);
    ForumAccSetDefaults(root);
    if (newRoot) {
      LgDbRecPutInt(root->head, root->f.StructRev, structRev);
      LgDbRecPutInt(root->head, root->f.MsgRev, msgRev);
      root->structRev = structRev;
      root->msgRev = msgRev;
    }
  }
  ForumAuthHooksInstall(root);
  ForumAccSweepStart(root);
}

uint32_t ForumRootNextSequence(ForumRoot root) { return ++ForumUserStateOf(root).sequence; }
uint32_t ForumUsersGeneration(ForumRoot root) { return ForumUserStateOf(root).generation; }
void ForumUsersChanged(ForumRoot root) { ++ForumUserStateOf(root).generation; }

// ---------------------------------------------------------------------------
// Creation, deletion, look-up.

namespace {

uint16_t UserCreate(ForumRoot root, int kind, const St& name, const St& email, const St& digest,
                    bool giveId, ChHandle* user) {
  *user = 0;
  MA_CHECK(ForumDebugFlag, kind == kForumUserRegistered || kind == kForumUserGuest,
           "ForumUserCreate--kind");
  St norm = Normalise(name);
  if (norm.Empty()) return kForumNameEmpty;
  if (ForumUserLookup(root, norm) != 0) return kForumUserNameInUse;
  if (ForumGroupLookup(root, norm) != 0) return kForumUserNameIsGroup;
  ForumUserState& s = ForumUserStateOf(root);
  bool registered = kind == kForumUserRegistered;
  ChHandle group = registered ? ForumGroupUsers(root) : ForumGroupGuests(root);
  ChHandle db = MembersDb(root, group, true);
  ChHandle rec = LgDbRecCreate(db);
  LgDbRecPutTextId(rec, root->f.Type, registered ? root->t.RegisteredUser : root->t.GuestUser);
  LgDbRecPutText(rec, root->f.Name, norm);
  if (!email.IsNil()) LgDbRecPutText(rec, s.fEmail, email);
  if (!digest.IsNil()) LgDbRecPutText(rec, s.fPassword, digest);
  LgDbRecPutTd(rec, root->f.Date, ForumNow());
  uint32_t flags = kForumUserFlagsDefault;
  if (registered && ForumSysopUseCookies(root)) {
    flags |= kForumUserCookieChosen;
    if (!ForumSysopDefaultNewUsersCookie(root)) flags |= kForumUserCookiesOff;
  }
  LgDbRecPutInt(rec, root->f.Flags, int32_t(flags));
  (void)LgDbRecInsert(db, rec, kLgDbNoPos);
  (void)LgDbRecInsertSorted(db, rec, root->f.Name);
  (void)LgDbRecPlusInt(group, root->f.Size, 1);
  if (giveId) (void)ForumUniqueIdFromRec(root, rec);
  if (registered) EmailIndexPut(root, rec, email, true);
  ForumChanged(root, true);
  *user = rec;
  return 0;
}

}  // namespace

uint16_t ForumUserCreate(ForumRoot root, int kind, const St& name, const St& email,
                         const St& digest, ChHandle* user) {
  return UserCreate(root, kind, name, email, digest, true, user);
}

uint16_t ForumUserDestroy(ForumRoot root, ChHandle user) {
  int type = ForumUserGetType(root, user);
  if (type != kForumUserRegistered && type != kForumUserGuest) return kForumUserNotFound;
  if (ForumUserGetSysop(root, user)) return kForumUserIsSysop;
  bool registered = type == kForumUserRegistered;
  ChHandle group = registered ? ForumGroupUsers(root) : ForumGroupGuests(root);
  ChHandle db = MembersDb(root, group, false);
  if (db != 0) (void)LgDbRecRemoveSorted(db, user);
  (void)LgDbRecPlusInt(group, root->f.Size, -1);
  if (registered) EmailIndexPut(root, user, ForumUserEmail(root, user), false);
  for (uint32_t ix = 0;; ++ix) {
    ChHandle g = ForumGroupAt(root, ix);
    if (g == 0) break;
    // The built-in groups hold their members by type; the others by list.
    if (g == ForumGroupUsers(root) || g == ForumGroupGuests(root) || g == ForumGroupList(root) ||
        !ForumGroupHasUser(root, g, user))
      continue;
    uint16_t status = ForumGroupRemoveUser(root, g, user);
    MA_CHECK(ForumDebugFlag, status == 0, "ForumUserDestroy--group membership");
  }
  LgDbRecPutTextId(user, root->f.Type, registered ? root->t.DeletedUser : root->t.DeletedGuest);
  AuthRemoveUser(user);
  ForumUsersChanged(root);
  ForumChanged(root, true);
  return 0;
}

ChHandle ForumUserLookup(ForumRoot root, const St& name) {
  St norm = Normalise(name);
  if (norm.Empty()) return 0;
  ChHandle user = LookupIn(root, ForumGroupUsers(root), norm);
  return user != 0 ? user : LookupIn(root, ForumGroupGuests(root), norm);
}

ChHandle ForumUserLookupEmail(ForumRoot root, const St& address, bool prefix) {
  ChHandle tree = EmailIndex(root);
  if (tree == 0 || address.Empty()) return 0;
  St key = Lower(address);
  if (prefix) {
    ChHandle user = 0;
    return BtDbLookupFirst(tree, key, &user, nullptr) ? user : 0;
  }
  // Keys keep 48 bytes: entries sharing them are told apart by the record.
  uint32_t pos = 0;
  if (!BtDbLookupFirstIx(tree, key.Length() > 48 ? StFromView(key.View().substr(0, 48)) : key,
                         &pos))
    return 0;
  for (;; ++pos) {
    St k;
    ChHandle user = 0;
    if (!BtDbIndex(tree, pos, &k, &user, nullptr)) return 0;
    if (StCompare(k, key, StASCIILower) != kStEqual &&
        !(key.Length() > 48 && k.Length() == 48 && key.View().substr(0, 48) == k.View()))
      return 0;
    if (StCompare(ForumUserEmail(root, user), address, StLatinLower) == kStEqual) return user;
  }
}

uint32_t ForumUserCount(ForumRoot root) {
  ChHandle db = MembersDb(root, ForumGroupUsers(root), false);
  return db == 0 ? 0 : LgDbSortedCount(db);
}

uint32_t ForumGuestCount(ForumRoot root) {
  ChHandle db = MembersDb(root, ForumGroupGuests(root), false);
  return db == 0 ? 0 : LgDbSortedCount(db);
}

ChHandle ForumUserAt(ForumRoot root, uint32_t ix) {
  ChHandle db = MembersDb(root, ForumGroupUsers(root), false);
  return db == 0 ? 0 : LgDbSortedGet(db, ix);
}

bool ForumUserPrefixIx(ForumRoot root, const St& prefix, uint32_t* ix) {
  ChHandle db = MembersDb(root, ForumGroupUsers(root), false);
  return db != 0 && LgDbPrefixLookup(db, prefix, ix) != 0;
}

uint32_t ForumUserIxAtOrAfter(ForumRoot root, const St& name) {
  ChHandle db = MembersDb(root, ForumGroupUsers(root), false);
  if (db == 0) return 0;
  uint32_t ix = 0;
  (void)LgDbLookupSorted(db, name, &ix);
  return ix;
}

// ---------------------------------------------------------------------------
// Type, sysop, flags, logins.

bool ForumUserIsLegal(ForumRoot root, ChHandle user) {
  int type = ForumUserGetType(root, user);
  return type == kForumUserRegistered || type == kForumUserGuest;
}

int ForumUserGetType(ForumRoot root, ChHandle user) {
  if (!ForumUserIsRecord(user)) return kForumUserNone;
  ChHandle type = LgDbRecGetTextId(user, root->f.Type);
  const ForumTypeIds& t = root->t;
  if (type == t.RegisteredUser) return kForumUserRegistered;
  if (type == t.GuestUser) return kForumUserGuest;
  if (type == t.DeletedUser || type == t.DeletedGuest) return kForumUserDeleted;
  if (type == t.UserGroup) return kForumUserGroup;
  return kForumUserNone;
}

uint32_t ForumUserFlags(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return kForumUserFlagsDefault;
  return uint32_t(ForumRecInt(user, root->f.Flags, int32_t(kForumUserFlagsDefault)));
}

void ForumUserSetFlags(ForumRoot root, ChHandle user, uint32_t flags) {
  if (!ForumIsRecordPrincipal(user)) return;
  LgDbRecPutInt(user, root->f.Flags, int32_t(flags));
  ForumUsersChanged(root);
  ForumChanged(root, false);
}

bool ForumUserGetSysop(ForumRoot root, ChHandle user) {
  return (ForumUserFlags(root, user) & kForumUserSysop) != 0 && ForumIsRecordPrincipal(user);
}

void ForumUserSetSysop(ForumRoot root, ChHandle user, bool on) {
  uint32_t flags = ForumUserFlags(root, user);
  ForumUserSetFlags(root, user, on ? flags | kForumUserSysop : flags & ~kForumUserSysop);
}

bool ForumUserIsProvisional(ForumRoot root, ChHandle user) {
  return ForumIsRecordPrincipal(user) && (ForumUserFlags(root, user) & kForumUserProvisional);
}

bool ForumUserCookiesOn(ForumRoot root, ChHandle user) {
  uint32_t flags = ForumUserFlags(root, user);
  if (flags & kForumUserCookieChosen) return !(flags & kForumUserCookiesOff);
  return ForumSysopDefaultOldUsersCookie(root);
}

void ForumUserIncLogin(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return;
  ForumUserState& s = ForumUserStateOf(root);
  LgDbTd now = ForumNow(), last;
  if (!LgDbRecGetTd(user, s.fThisLogin, &last)) last = now;
  LgDbRecPutTd(user, s.fLastLogin, last);
  LgDbRecPutTd(user, s.fThisLogin, now);
  (void)LgDbRecPlusInt(user, s.fLoginCount, 1);
  ForumChanged(root, false);
}

// ---------------------------------------------------------------------------
// Name, password, e-mail and the plain fields.

St ForumUserName(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return St();
  return LgDbRecGetText(user, root->f.Name);
}

uint16_t ForumUserSetName(ForumRoot root, ChHandle user, const St& name) {
  int type = ForumUserGetType(root, user);
  if (type != kForumUserRegistered && type != kForumUserGuest) return kForumUserNotFound;
  if (ForumUserGetSysop(root, user)) return kForumUserRenameSysop;
  St norm = Normalise(name);
  if (norm.Empty()) return kForumNameEmpty;
  ChHandle other = ForumUserLookup(root, norm);
  if (other != 0 && other != user) return kForumUserNameInUse;
  if (ForumGroupLookup(root, norm) != 0) return kForumUserNameIsGroup;
  // Every index that holds the record is keyed by its name.
  std::vector<ChHandle> dbs;
  ChHandle home =
      MembersDb(root, type == kForumUserRegistered ? ForumGroupUsers(root) : ForumGroupGuests(root),
                false);
  if (home != 0) dbs.push_back(home);
  for (uint32_t ix = 0;; ++ix) {
    ChHandle g = ForumGroupAt(root, ix);
    if (g == 0) break;
    if (g == ForumGroupUsers(root) || g == ForumGroupGuests(root)) continue;
    if (ForumGroupHasUser(root, g, user)) dbs.push_back(MembersDb(root, g, false));
  }
  for (ChHandle db : dbs) (void)LgDbRecRemoveSorted(db, user);
  LgDbRecPutText(user, root->f.Name, norm);
  for (ChHandle db : dbs) (void)LgDbRecInsertSorted(db, user, root->f.Name);
  ForumChanged(root, true);
  return 0;
}

St ForumUserPassword(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return St();
  return LgDbRecGetText(user, ForumUserStateOf(root).fPassword);
}

void ForumUserSetPassword(ForumRoot root, ChHandle user, St digest) {
  if (!ForumIsRecordPrincipal(user)) return;
  LgDbRecPutText(user, ForumUserStateOf(root).fPassword, std::move(digest));
  ForumChanged(root, false);
}

St ForumUserEmail(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return St();
  return LgDbRecGetText(user, ForumUserStateOf(root).fEmail);
}

void ForumUserSetEmail(ForumRoot root, ChHandle user, St email) {
  if (!ForumIsRecordPrincipal(user)) return;
  bool indexed = ForumUserGetType(root, user) == kForumUserRegistered;
  if (indexed) EmailIndexPut(root, user, ForumUserEmail(root, user), false);
  ChHandle field = ForumUserStateOf(root).fEmail;
  if (email.IsNil()) {
    (void)LgDbRecFieldRemoveKind(user, field, kLgDbTextType);
  } else {
    if (indexed) EmailIndexPut(root, user, email, true);
    LgDbRecPutText(user, field, std::move(email));
  }
  ForumChanged(root, false);
}

int32_t ForumUserUniqueId(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return 0;
  return ForumUniqueIdFromRec(root, user);
}

#define FORUM_USER_TEXT_DEF(name)                                               \
  St ForumUser##name(ForumRoot root, ChHandle user) {                           \
    if (!ForumIsRecordPrincipal(user)) return St();                             \
    return LgDbRecGetText(user, ForumUserStateOf(root).f##name);                \
  }                                                                             \
  void ForumUserSet##name(ForumRoot root, ChHandle user, St value) {            \
    if (!ForumIsRecordPrincipal(user)) return;                                  \
    ChHandle field = ForumUserStateOf(root).f##name;                            \
    if (value.IsNil())                                                          \
      (void)LgDbRecFieldRemoveKind(user, field, kLgDbTextType);                 \
    else                                                                        \
      LgDbRecPutText(user, field, std::move(value));                            \
    ForumChanged(root, false);                                                  \
  }
FORUM_USER_TEXTS(FORUM_USER_TEXT_DEF)
#undef FORUM_USER_TEXT_DEF

#define FORUM_USER_INT_DEF(name, dflt)                                          \
  int32_t ForumUser##name(ForumRoot root, ChHandle user) {                      \
    if (!ForumIsRecordPrincipal(user)) return dflt;                             \
    return ForumRecInt(user, ForumUserStateOf(root).f##name, dflt);             \
  }                                                                             \
  void ForumUserSet##name(ForumRoot root, ChHandle user, int32_t value) {       \
    if (!ForumIsRecordPrincipal(user)) return;                                  \
    LgDbRecPutInt(user, ForumUserStateOf(root).f##name, value);                 \
    ForumChanged(root, false);                                                  \
  }
FORUM_USER_INTS(FORUM_USER_INT_DEF)
#undef FORUM_USER_INT_DEF

namespace {
ChHandle DateField(ForumRoot root, int which) {
  ForumUserState& s = ForumUserStateOf(root);
  switch (which) {
    case 0: return root->f.Date;
    case 1: return s.fLastLogin;
    case 2: return s.fThisLogin;
    default: return s.fLastExport;
  }
}
constexpr int kDateDate = 0, kDateLastLogin = 1, kDateThisLogin = 2, kDateLastExport = 3;
}  // namespace

#define FORUM_USER_DATE_DEF(name)                                               \
  bool ForumUser##name(ForumRoot root, ChHandle user, LgDbTd* value) {          \
    if (!ForumIsRecordPrincipal(user)) return false;                            \
    return LgDbRecGetTd(user, DateField(root, kDate##name), value);             \
  }                                                                             \
  void ForumUserSet##name(ForumRoot root, ChHandle user, LgDbTd value) {        \
    if (!ForumIsRecordPrincipal(user)) return;                                  \
    LgDbRecPutTd(user, DateField(root, kDate##name), value);                    \
    ForumChanged(root, false);                                                  \
  }
FORUM_USER_DATES(FORUM_USER_DATE_DEF)
#undef FORUM_USER_DATE_DEF

// Typed fields: X(name, C++ type, LgDb suffix).
#define FORUM_USER_TYPED(X)                     \
  X(Picture, LgDbPicture, Picture)              \
  X(Subscriptions, LgDbSubscr, Subscr)          \
  X(UserPosts, LgDbUserPosts, UserPosts)
#define FORUM_USER_TYPED_DEF(name, type, suffix)                                   \
  bool ForumUser##name(ForumRoot root, ChHandle user, type* value) {               \
    if (!ForumIsRecordPrincipal(user)) return false;                               \
    return LgDbRecGet##suffix(user, ForumUserStateOf(root).f##name, value);        \
  }                                                                                \
  void ForumUserSet##name(ForumRoot root, ChHandle user, const type& value) {      \
    if (!ForumIsRecordPrincipal(user)) return;                                     \
    LgDbRecPut##suffix(user, ForumUserStateOf(root).f##name, value);               \
    ForumChanged(root, false);                                                     \
  }
FORUM_USER_TYPED(FORUM_USER_TYPED_DEF)
#undef FORUM_USER_TYPED_DEF
#undef FORUM_USER_TYPED

// ---------------------------------------------------------------------------
// Posts.

namespace {

constexpr int kPostMonths = kLgDbUserPostsWords;

// True when the list entry (record, identifier) is still that item and it
// lives: a message of a live discussion, or a folder child of a live kind.
bool PostIsLive(ForumRoot root, ChHandle rec, uint32_t id) {
  if (ForumRecFromUniqueId(root, int32_t(id)) != rec) return false;
  int kind = ForumKindOfRec(root, rec);
  return kind != kForumKindNone && kind != kForumKindGroup;
}

}  // namespace

void ForumUserPostAdd(ForumRoot root, ChHandle user, ChHandle item) {
  if (!ForumUserIsRecord(user)) return;
  ForumUserState& s = ForumUserStateOf(root);
  LgDbUserPosts posts;
  (void)LgDbRecGetUserPosts(user, s.fUserPosts, &posts);
  bool message = ForumKindOfRec(root, item) == kForumKindMessage;
  ChHandle& list = message ? posts.list1 : posts.list2;
  if (list == 0) list = ChLiGenCreate(user, kChLiNodeType);
  list = ChLiGenAppend(list, item, uint32_t(ForumUniqueIdFromRec(root, item)), kChLiNodeType);
  if (message) ++posts.word1;
  LgDbTd now = ForumNow();
  posts.word2 = uint32_t(now.date);
  int32_t year = now.date / 10000, month = now.date / 100 % 100;
  ++posts.counts[size_t((year * 12 + month - 1) % kPostMonths)];
  LgDbRecPutUserPosts(user, s.fUserPosts, posts);
  ForumSaveArm(root);
}

int32_t ForumUserPostCount(ForumRoot root, ChHandle user) {
  if (!ForumUserIsRecord(user)) return 0;
  LgDbUserPosts posts;
  if (!LgDbRecGetUserPosts(user, ForumUserStateOf(root).fUserPosts, &posts)) return 0;
  return int32_t(posts.word1);
}

std::vector<ChHandle> ForumUserPostList(ForumRoot root, ChHandle user, bool items, int32_t max) {
  std::vector<ChHandle> out;
  if (!ForumUserIsRecord(user)) return out;
  LgDbUserPosts posts;
  if (!LgDbRecGetUserPosts(user, ForumUserStateOf(root).fUserPosts, &posts)) return out;
  ChHandle list = items ? posts.list2 : posts.list1;
  if (list == 0) return out;
  ChLiGenIter it = ChLiGenStart(list, kChLiNodeType);
  uint32_t rec = 0, id = 0;
  while (ChLiGenNext(it, &rec, &id, kChLiNodeType))
    if (PostIsLive(root, rec, id)) out.push_back(rec);
  ChLiGenStop(it);
  std::reverse(out.begin(), out.end());
  if (max > 0 && out.size() > size_t(max)) out.resize(size_t(max));
  return out;
}

void ForumUserPostsReset(ForumRoot root, ChHandle user) {
  if (!ForumUserIsRecord(user)) return;
  // The value owns its lists: removing it destroys them.
  (void)LgDbRecFieldRemoveKind(user, ForumUserStateOf(root).fUserPosts, kLgDbUserPostsType);
  ForumChanged(root, false);
}

ChHandle ForumUserHighwater(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return 0;
  return LgDbRecGetIvSl(user, ForumUserStateOf(root).fHighwater);
}

void ForumUserSetHighwater(ForumRoot root, ChHandle user, ChHandle ivsl) {
  if (!ForumIsRecordPrincipal(user)) return;
  LgDbRecPutIvSl(user, ForumUserStateOf(root).fHighwater, ivsl);
  ForumUsersChanged(root);  // the read marks' caches look again
  ForumChanged(root, false);
}

// ---------------------------------------------------------------------------
// Passwords.

void ForumSetDirectoryCheck(ForumDirectoryCheckFn fn) { DirectoryCheck() = std::move(fn); }

ChHandle ForumUserCheckPassword(ForumRoot root, const St& name, const St& password, bool* found) {
  *found = false;
  ChHandle user = ForumGroupLookupUser(root, ForumGroupUsers(root), name);
  if (user == 0 && name.View().find('@') != std::string_view::npos) {
    // An e-mail address: without double quotes and outer blanks, in the
    // index's case; first the whole address, then -- the e-mail name with
    // its "@" -- any address of that name, at whatever host.
    std::string address;
    for (char c : name.View())
      if (c != '"') address += c;
    St normalised = Lower(StStripBlanks(StFromView(address)));
    user = ForumUserLookupEmail(root, normalised, false);
    if (user == 0) {
      size_t at = normalised.View().find('@');
      St emailName = StFromView(normalised.View().substr(0, at + 1));
      if (emailName.Length() > 1) user = ForumUserLookupEmail(root, emailName, true);
    }
  }
  if (password.Empty()) {
    *found = user != 0;
    return 0;
  }
  bool isSysop = user != 0 && ForumUserGetSysop(root, user);
  if (DirectoryCheck() && !isSysop) {
    ForumDirectoryAnswer answer = DirectoryCheck()(root, name, password);
    if (answer == ForumDirectoryAnswer::kAccepted) {
      if (user == 0 && ForumUserCreate(root, kForumUserRegistered, name, St(),
                                       StHashMd5(password), &user) != 0)
        return 0;
      *found = true;
      return user;
    }
    if (answer == ForumDirectoryAnswer::kRefused) {
      *found = user != 0;
      return 0;
    }
  }
  if (user == 0) return 0;
  *found = true;
  St stored = ForumUserPassword(root, user);
  if (stored.IsNil()) return 0;
  St lowerDigest = StHashMd5(Lower(password));
  auto same = [&](const St& digest) { return digest.View() == stored.View(); };
  if (!ForumSysopPwCaseSensitive(root)) {
    if (same(lowerDigest)) return user;
    if (!same(StHashMd5(password))) return 0;
    ForumUserSetPassword(root, user, lowerDigest);
    return user;
  }
  return same(StHashMd5(password)) || same(lowerDigest) ? user : 0;
}

}  // namespace quil
