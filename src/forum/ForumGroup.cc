// Groups: the three built-in groups, further groups in the list of groups,
// membership and the sorted member look-up.
#include "ForumUserInt.h"
#include "Ma.h"

namespace quil {

namespace {

// The database of the list of groups (its File).
ChHandle GroupsDb(ForumRoot root) {
  ChHandle head = LgDbRecGetRec(ForumGroupList(root), root->f.File);
  return head == 0 ? 0 : LgDbRecGetList(head);
}

// A group's own members database (its File), made when asked to.
ChHandle MembersOf(ForumRoot root, ChHandle group, bool create) {
  return ForumRecSubDb(group, root->f.File, create);
}

bool IsBuiltIn(ForumRoot root, ChHandle group) {
  return group == ForumGroupUsers(root) || group == ForumGroupGuests(root) ||
         group == ForumGroupList(root);
}

bool IsLiveGroup(ForumRoot root, ChHandle group) {
  return ForumUserGetType(root, group) == kForumUserGroup;
}

}  // namespace

ChHandle ForumGroupUsers(ForumRoot root) { return LgDbRecGet(root->db, 1); }
ChHandle ForumGroupGuests(ForumRoot root) { return LgDbRecGet(root->db, 2); }
ChHandle ForumGroupList(ForumRoot root) { return LgDbRecGet(root->db, 3); }

uint16_t ForumGroupCreate(ForumRoot root, const St& name, ChHandle* group) {
  *group = 0;
  St norm = StStripBlanks(St(name));
  if (norm.Empty()) return kForumNameEmpty;
  if (ForumGroupLookup(root, norm) != 0) return kForumGroupNameInUse;
  if (ForumUserLookup(root, norm) != 0) return kForumGroupNameIsUser;
  ChHandle db = GroupsDb(root);
  MA_CHECK(ForumDebugFlag, db != 0, "ForumGroupCreate--no list of groups");
  ChHandle rec = LgDbRecCreate(db);
  LgDbRecPutTextId(rec, root->f.Type, root->t.UserGroup);
  LgDbRecPutText(rec, root->f.Name, norm);
  LgDbRecPutInt(rec, root->f.Size, 0);
  (void)LgDbRecInsert(db, rec, kLgDbNoPos);
  (void)LgDbRecPlusInt(ForumGroupList(root), root->f.Size, 1);
  (void)ForumUniqueIdFromRec(root, rec);
  ForumChanged(root, true);
  *group = rec;
  return 0;
}

uint16_t ForumGroupDestroy(ForumRoot root, ChHandle group) {
  if (!IsLiveGroup(root, group)) return kForumUserNotFound;
  if (IsBuiltIn(root, group)) return kForumNotContainer;
  ChHandle db = GroupsDb(root);
  uint32_t pos = 0;
  if (db != 0 && LgDbRecLookup(db, group, &pos)) {
    // The record stays (deleted type), owned by nobody's position any more;
    // it is kept alive by the listing below.
    (void)LgDbRecRemove(db, pos);
  }
  LgDbRecPutTextId(group, root->f.Type, root->t.DeletedGroup);
  (void)LgDbRecPlusInt(ForumGroupList(root), root->f.Size, -1);
  ForumUsersChanged(root);
  ForumChanged(root, true);
  return 0;
}

ChHandle ForumGroupAt(ForumRoot root, uint32_t ix) {
  ChHandle db = GroupsDb(root);
  if (db == 0) return 0;
  uint32_t pos = kLgDbNoPos;
  for (uint32_t i = 0;; ++i) {
    ChHandle rec = LgDbGetNextRec(db, &pos);
    if (rec == 0) return 0;
    if (i == ix) return rec;
  }
}

ChHandle ForumGroupLookup(ForumRoot root, const St& name) {
  St norm = StStripBlanks(St(name));
  if (norm.Empty()) return 0;
  if (StCompare(norm, StCStrXfm("groups"), StASCIILower) == kStEqual) return ForumGroupList(root);
  for (uint32_t ix = 0;; ++ix) {
    ChHandle g = ForumGroupAt(root, ix);
    if (g == 0) return 0;
    if (StCompare(LgDbRecGetText(g, root->f.Name), norm, StASCIILower) == kStEqual) return g;
  }
}

uint16_t ForumGroupAddUser(ForumRoot root, ChHandle group, ChHandle user) {
  if (!IsLiveGroup(root, group) || IsBuiltIn(root, group) || !ForumUserIsLegal(root, user))
    return kForumUserNotFound;
  ChHandle db = MembersOf(root, group, true);
  if (LgDbRecIsInList(db, user)) return kForumUserAlreadyInGroup;
  LgDbRecAddToList(db, user);
  (void)LgDbRecInsertSorted(db, user, root->f.Name);
  (void)LgDbRecPlusInt(group, root->f.Size, 1);
  ForumUsersChanged(root);
  ForumChanged(root, true);
  return 0;
}

uint16_t ForumGroupRemoveUser(ForumRoot root, ChHandle group, ChHandle user) {
  if (!IsLiveGroup(root, group) || IsBuiltIn(root, group)) return kForumUserNotFound;
  ChHandle db = MembersOf(root, group, false);
  if (db == 0 || !LgDbRecRemoveFromList(db, user)) return kForumUserNotInGroup;
  (void)LgDbRecRemoveSorted(db, user);
  (void)LgDbRecPlusInt(group, root->f.Size, -1);
  ForumUsersChanged(root);
  ForumChanged(root, true);
  return 0;
}

ChHandle ForumGroupLookupUser(ForumRoot root, ChHandle group, const St& name) {
  if (group == ForumGroupUsers(root) || group == ForumGroupGuests(root)) {
    ChHandle user = ForumUserLookup(root, name);
    int want = group == ForumGroupUsers(root) ? kForumUserRegistered : kForumUserGuest;
    return ForumUserGetType(root, user) == want ? user : 0;
  }
  if (!IsLiveGroup(root, group)) return 0;
  ChHandle db = MembersOf(root, group, false);
  if (db == 0) return 0;
  return LgDbTextLookup(db, StNameToLastCommaFirst(StStripBlanks(St(name))));
}

bool ForumGroupHasUser(ForumRoot root, ChHandle group, ChHandle user) {
  if (group == ForumGroupUsers(root))
    return ForumUserGetType(root, user) == kForumUserRegistered;
  if (group == ForumGroupGuests(root)) return ForumUserGetType(root, user) == kForumUserGuest;
  if (!IsLiveGroup(root, group) || !ForumIsRecordPrincipal(user)) return false;
  ChHandle db = MembersOf(root, group, false);
  if (db == 0) return false;
  // Names are unique among users: the name finds the only candidate.
  ChHandle found = LgDbTextLookup(db, ForumUserName(root, user));
  return found == user;
}

uint32_t ForumGroupSize(ForumRoot root, ChHandle group) {
  if (group == ForumGroupUsers(root)) return ForumUserCount(root);
  if (group == ForumGroupGuests(root)) return ForumGuestCount(root);
  ChHandle db = MembersOf(root, group, false);
  return db == 0 ? 0 : LgDbSortedCount(db);
}

ChHandle ForumGroupMemberAt(ForumRoot root, ChHandle group, uint32_t ix) {
  if (group == ForumGroupUsers(root)) return ForumUserAt(root, ix);
  ChHandle db = MembersOf(root, group, false);
  return db == 0 ? 0 : LgDbSortedGet(db, ix);
}

}  // namespace quil
