// ForumUser: the people of the conference -- registered users, guests, the
// sysop and user groups, kept as records of the root database, and their
// passwords.
//
// Storage.  The all-users group ("users", root list position 1) and the
// guests group ("guests", position 2) each keep their members in a record
// database named by the group's File field; the member records belong to
// that database and are indexed by Name (the sorted index of LgDb.h, names
// compared ignoring ASCII case), which is how ForumGroupLookupUser finds
// them.  Further groups are "user-group" records that belong to the
// database of the list of groups ("groups", position 3); the all-users and
// guests groups are listed there too.  A group's members are listed (not
// owned) in its own File database, indexed by Name.  Registered users are
// also entered by e-mail address in the EmailUsername B-tree of the sysop
// settings record.
//
// A deleted user or group keeps its record, with the type "deleted-user",
// "deleted-guest" or "deleted-group"; it leaves the name and e-mail
// indexes and every group.
//
// USER RECORD FIELDS (absent fields read as the default)
//
//   FIELD        KIND     DEFAULT  MEANING
//   Type         text id  -        "registered-user" or "guest-user"
//   Name         text     -        "Last, First" (StNameToLastCommaFirst)
//   Email        text     nil      address, indexed for registered users
//   Password     text     nil      the 16 bytes of the MD5 digest
//   Date         date     -        registration
//   UniqueId     int      -        given at creation
//   Flags        int      0x12     kForumUser* bits below
//   LastLogin, ThisLogin  date     previous and present login
//   LoginCount   int      0
//   LogoutTime   int      600      idle seconds before a session ends
//   MaxData      int      15000    largest post
//   the profile, display and mail fields of FORUM_USER_TEXTS/INTS/DATES,
//   Picture, Highwater (interval list), Subscriptions, UserPosts.
//
// Principals: user and group records, and the two general principals of
// access lists (kForumAccAllUsers, kForumAccAllGuests), which are small
// values and not records; every accessor here treats them (and 0) as
// having no record: getters give their defaults, setters do nothing.
//
// Threads: every call runs under the run lock.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Forum.h"

namespace quil {

// The general principals of access lists.
constexpr ChHandle kForumAccAllUsers = 1;
constexpr ChHandle kForumAccAllGuests = 2;
inline bool ForumIsRecordPrincipal(ChHandle h) { return h > kForumAccAllGuests; }

// Kinds of ForumUserCreate and ForumUserGetType.
constexpr int kForumUserRegistered = 2;
constexpr int kForumUserGuest = 3;
constexpr int kForumUserDeleted = 4;  // a deleted user or guest
constexpr int kForumUserGroup = 5;
constexpr int kForumUserNone = 0;  // no record, or not a user

// Result codes: kForumUserNameInUse 2305, kForumUserIsSysop 2306,
// kForumUserAlreadyInGroup 2308, kForumUserNotFound 2309,
// kForumGroupNameInUse 2310, kForumUserNotInGroup 2311,
// kForumUserNameIsGroup 2313, kForumGroupNameIsUser 2314,
// kForumUserRenameSysop 2317 (Forum.h).

// User flag bits.
constexpr uint32_t kForumUserShowPictures = 0x2;
constexpr uint32_t kForumUserSysop = 0x8;
constexpr uint32_t kForumUserPictureBorders = 0x10;
constexpr uint32_t kForumUserShowPrepared = 0x20;
constexpr uint32_t kForumUserCookiesOff = 0x40;
constexpr uint32_t kForumUserNoRemoteCheck = 0x100;
constexpr uint32_t kForumUserCookieChosen = 0x200;
constexpr uint32_t kForumUserNoSiteThreading = 0x400;
constexpr uint32_t kForumUserThreading = 0x800;
constexpr uint32_t kForumUserReplyTo = 0x1000;
constexpr uint32_t kForumUserSummaryButton = 0x2000;
constexpr uint32_t kForumUserRequireApop = 0x4000;
constexpr uint32_t kForumUserMailboxCreate = 0x8000;
constexpr uint32_t kForumUserMailboxDestroy = 0x10000;
constexpr uint32_t kForumUserMailboxRename = 0x20000;
constexpr uint32_t kForumUserProvisional = 0x80000000u;
constexpr uint32_t kForumUserFlagsDefault = 0x12;

// The sysop a new root gets.
constexpr char kForumSysopUserName[] = "sysop";
constexpr char kForumSysopDefaultPassword[] = "sysop";

// ---------------------------------------------------------------------------
// The root's part.

// Called by ForumDbOpenI once the root is open: a new root (newRoot) gets
// the sysop user and the top folder's default access list; every root gets
// the session hooks (AuthSetHooks) and the periodic access-list sweep.
void ForumUsersOnOpen(ForumRoot root, bool newRoot);
// The root's running sequence (in memory, from 1 at each open).
uint32_t ForumRootNextSequence(ForumRoot root);
// A counter that goes up on every change of a user's type or flags, a
// group's members, or an access list; cached rights compare it.
uint32_t ForumUsersGeneration(ForumRoot root);
void ForumUsersChanged(ForumRoot root);

// ---------------------------------------------------------------------------
// Users.

// Creates a user of kind 2 (registered) or 3 (guest) named name
// (normalised), with email and the password digest (16 bytes, may be nil);
// the record goes to *user.  Returns 0, 2305 (a user or guest of that name
// exists) or 2313 (a group has that name).  A registered user gets the
// sysop's cookie default for new users when the site uses cookies, and
// enters the e-mail index.
[[nodiscard]] uint16_t ForumUserCreate(ForumRoot root, int kind, const St& name, const St& email,
                                       const St& digest, ChHandle* user);
// Deletes a user: the type becomes "deleted-user" or "deleted-guest", the
// record leaves the indexes and groups, its sessions end.  2306 for the
// sysop, 2309 for a record that is no live user.
[[nodiscard]] uint16_t ForumUserDestroy(ForumRoot root, ChHandle user);
// The user (registered or guest) of a name after normalisation, 0 when none.
ChHandle ForumUserLookup(ForumRoot root, const St& name);
// The registered user of an e-mail address: an exact match, else (prefix)
// the first address beginning with address.  0 when none.
ChHandle ForumUserLookupEmail(ForumRoot root, const St& address, bool prefix);
// Members of the all-users group (registered users) and of the guests group.
uint32_t ForumUserCount(ForumRoot root);
uint32_t ForumGuestCount(ForumRoot root);
// The ix-th registered user in name order, 0 past the end.
ChHandle ForumUserAt(ForumRoot root, uint32_t ix);
// The name-order index of the first registered user whose name begins with
// prefix (ignoring case); false when none does.
[[nodiscard]] bool ForumUserPrefixIx(ForumRoot root, const St& prefix, uint32_t* ix);
// The name-order index of the first registered user whose name does not
// sort before name (ignoring ASCII case, as the index does);
// ForumUserCount when there is none.
uint32_t ForumUserIxAtOrAfter(ForumRoot root, const St& name);

// A record of a live registered user or guest.
bool ForumUserIsLegal(ForumRoot root, ChHandle user);
// kForumUserRegistered, kForumUserGuest, kForumUserDeleted,
// kForumUserGroup or kForumUserNone.
int ForumUserGetType(ForumRoot root, ChHandle user);
bool ForumUserGetSysop(ForumRoot root, ChHandle user);
void ForumUserSetSysop(ForumRoot root, ChHandle user, bool on);
bool ForumUserIsProvisional(ForumRoot root, ChHandle user);
// Whether the user takes cookies: the user's own choice when made
// (kForumUserCookieChosen), else the sysop's default for old users.
bool ForumUserCookiesOn(ForumRoot root, ChHandle user);
// A login: LastLogin takes ThisLogin (now when absent), ThisLogin becomes
// now, LoginCount goes up.
void ForumUserIncLogin(ForumRoot root, ChHandle user);

St ForumUserName(ForumRoot root, ChHandle user);
// Renames (the name normalised): 0, 2305, 2313, 2317 for the sysop.
[[nodiscard]] uint16_t ForumUserSetName(ForumRoot root, ChHandle user, const St& name);
uint32_t ForumUserFlags(ForumRoot root, ChHandle user);
void ForumUserSetFlags(ForumRoot root, ChHandle user, uint32_t flags);
// The stored digest (nil when none) and its setter (a 16-byte digest).
St ForumUserPassword(ForumRoot root, ChHandle user);
void ForumUserSetPassword(ForumRoot root, ChHandle user, St digest);
// The address; a registered user's new address replaces the old one in the
// e-mail index.
St ForumUserEmail(ForumRoot root, ChHandle user);
void ForumUserSetEmail(ForumRoot root, ChHandle user, St email);
int32_t ForumUserUniqueId(ForumRoot root, ChHandle user);

// One getter and setter per remaining field: X(name, default).
#define FORUM_USER_TEXTS(X)                                                  \
  X(PictParams) X(HomePage) X(Bio) X(Urls) X(2ndLine) X(ChatPreference)      \
  X(EmailCode) X(ForwardTo) X(ImapSubscriptions) X(Apop)
#define FORUM_USER_INTS(X)                                                   \
  X(LogoutTime, 600) X(MaxData, 15000) X(LoginCount, 0) X(PictureRev, 0)     \
  X(CatForumSeq, 0) X(RespNameSize, 0) X(RespInfoSize, 0)                    \
  X(RespBodySize, 0) X(MaxMessages, 0) X(EmailStorage, 0)                    \
  X(EmailMessages, 0)
#define FORUM_USER_DATES(X) X(Date) X(LastLogin) X(ThisLogin) X(LastExport)

#define FORUM_USER_TEXT_DECL(name)                   \
  St ForumUser##name(ForumRoot root, ChHandle user); \
  void ForumUserSet##name(ForumRoot root, ChHandle user, St value);
FORUM_USER_TEXTS(FORUM_USER_TEXT_DECL)
#undef FORUM_USER_TEXT_DECL
#define FORUM_USER_INT_DECL(name, dflt)                   \
  int32_t ForumUser##name(ForumRoot root, ChHandle user); \
  void ForumUserSet##name(ForumRoot root, ChHandle user, int32_t value);
FORUM_USER_INTS(FORUM_USER_INT_DECL)
#undef FORUM_USER_INT_DECL
// Dates: false (and *value untouched) when absent.
#define FORUM_USER_DATE_DECL(name)                                      \
  bool ForumUser##name(ForumRoot root, ChHandle user, LgDbTd* value); \
  void ForumUserSet##name(ForumRoot root, ChHandle user, LgDbTd value);
FORUM_USER_DATES(FORUM_USER_DATE_DECL)
#undef FORUM_USER_DATE_DECL
bool ForumUserPicture(ForumRoot root, ChHandle user, LgDbPicture* value);
void ForumUserSetPicture(ForumRoot root, ChHandle user, const LgDbPicture& value);
bool ForumUserSubscriptions(ForumRoot root, ChHandle user, LgDbSubscr* value);
void ForumUserSetSubscriptions(ForumRoot root, ChHandle user, const LgDbSubscr& value);
bool ForumUserUserPosts(ForumRoot root, ChHandle user, LgDbUserPosts* value);
void ForumUserSetUserPosts(ForumRoot root, ChHandle user, const LgDbUserPosts& value);
// What a user has posted: the UserPosts field.
//
//   PART       MEANING
//   list1      chunk list of the messages posted: the message record, and
//              the message's unique identifier as second datum
//   list2      the same for folder children created (discussions, folders,
//              links, chat rooms)
//   word1      messages posted
//   word2      date (YYYYMMDD) of the last post or creation
//   counts[i]  messages posted and items created in month i of a 20-year
//              ring: i = (year * 12 + month - 1) mod 240
//
// Entries stay when their item is deleted; readers pass over those whose
// record no longer carries their identifier or is no live item.
//
// Adds a message (a record of a discussion) or a folder child to the
// user's list; nothing for a principal that is no record.
void ForumUserPostAdd(ForumRoot root, ChHandle user, ChHandle item);
// Messages posted (word1).
int32_t ForumUserPostCount(ForumRoot root, ChHandle user);
// The live messages (or, items true, folder children) the user posted,
// newest first, at most max of them (max <= 0: all).
std::vector<ChHandle> ForumUserPostList(ForumRoot root, ChHandle user, bool items, int32_t max);
// Forgets what the user posted (the lists go, counts become 0).
void ForumUserPostsReset(ForumRoot root, ChHandle user);

// The interval list of what the user has read (0 when none).
ChHandle ForumUserHighwater(ForumRoot root, ChHandle user);
void ForumUserSetHighwater(ForumRoot root, ChHandle user, ChHandle ivsl);

// ---------------------------------------------------------------------------
// Passwords.

// The outside directory's answer for a name and password.
enum class ForumDirectoryAnswer { kNotUsed, kAccepted, kRefused };
using ForumDirectoryCheckFn =
    std::function<ForumDirectoryAnswer(ForumRoot root, const St& name, const St& password)>;
// Installs the directory check (empty: none).  Without one, or when it
// answers kNotUsed, passwords are checked against the stored digests.
void ForumSetDirectoryCheck(ForumDirectoryCheckFn fn);

// The registered user whose name and password match, or 0.  The name is
// looked up normalised; failing that, a text holding "@" is an e-mail
// address: without double quotes and outer blanks, in lower case, it is
// looked up as a whole address, and failing that its e-mail name with the
// "@" (the text up to and including the first "@") is looked up as the
// beginning of an address -- the user's name at another host of the site
// finds the user (the first such address in index order).
// *found tells whether the name was found at all.  An empty password never
// matches (and never reaches the directory).  For the sysop's name the directory is
// never asked; a name the directory accepts that has no user yet becomes a
// registered user with the digest of password.  When passwords are not
// case-sensitive, a match of the password as typed (but not in lower case)
// replaces the stored digest by that of the lower-case password.
ChHandle ForumUserCheckPassword(ForumRoot root, const St& name, const St& password, bool* found);

// ---------------------------------------------------------------------------
// Groups.

// Creates a group in the list of groups: 0, 2310 (a group of that name),
// 2314 (a user has that name).
[[nodiscard]] uint16_t ForumGroupCreate(ForumRoot root, const St& name, ChHandle* group);
// Deletes a group: type "deleted-group", out of the list of groups.  The
// three built-in groups cannot be deleted (2303).
[[nodiscard]] uint16_t ForumGroupDestroy(ForumRoot root, ChHandle group);
// A group by name (the built-in ones included), 0 when none.
ChHandle ForumGroupLookup(ForumRoot root, const St& name);
// The built-in groups.
ChHandle ForumGroupUsers(ForumRoot root);
ChHandle ForumGroupGuests(ForumRoot root);
ChHandle ForumGroupList(ForumRoot root);
// Membership of a further group: 0, 2308 (already there), 2311 (not
// there), 2309 (not a live user).
[[nodiscard]] uint16_t ForumGroupAddUser(ForumRoot root, ChHandle group, ChHandle user);
[[nodiscard]] uint16_t ForumGroupRemoveUser(ForumRoot root, ChHandle group, ChHandle user);
// The member of group named name (for the all-users group: any registered
// user; for the guests group: any guest), 0 when none.
ChHandle ForumGroupLookupUser(ForumRoot root, ChHandle group, const St& name);
bool ForumGroupHasUser(ForumRoot root, ChHandle group, ChHandle user);
uint32_t ForumGroupSize(ForumRoot root, ChHandle group);
// The ix-th member in name order, 0 past the end.
ChHandle ForumGroupMemberAt(ForumRoot root, ChHandle group, uint32_t ix);
// The ix-th group of the list of groups (built-in ones included), 0 past
// the end.
ChHandle ForumGroupAt(ForumRoot root, uint32_t ix);

}  // namespace quil
