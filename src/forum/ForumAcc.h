// Access rights: who may do what in a folder, discussion or chat room, and
// who may use or change a user group.
//
// Rights are bits of a 32-bit mask.  A folder's mask also carries rights
// for the items below it; ForumAccMoveDown turns the mask of a list into the
// mask it gives one level down.  kForumAccNoEntry is never stored; the sign
// bit of a stored value marks a group entry.
//
// Stored lists.  An item record's AccPerm field holds a chunk list of
// (principal, value) entries giving rights; AccDeny a list of the same form
// taking rights away.  A principal is a user record, a group record, or a
// general principal (kForumAccAllUsers, kForumAccAllGuests, ForumUser.h).
//
//   NODE WORD  MEANING
//   datum      the principal (a record handle, or 1 / 2)
//   datum2     the mask, with the sign bit set for a group
//
// Every item either has its own list or uses the list of its nearest
// ancestor that has one (a group: the list of groups, and failing that the
// top folder); the top folder always has one.  The list in use is unfolded
// into memory on first use (ForumAccUnfolded), shared by the open items
// that inherit it, with a cache of per-user results; a change of a list
// releases the unfolded lists of its item and of every open item below it,
// and a sweep every 900,000 ms releases all of them.
//
// Threads: everything here runs under the run lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ChLi.h"
#include "Forum.h"

namespace quil {

// The rights of the item a mask is resolved for, and (in a folder's list)
// the bits that carry them to the items one level down:
//
//   BIT        RIGHT IN THIS ITEM                    FROM THE LEVEL ABOVE
//   0x1        read                                  0x1 (kept)
//   0x2        edit (title, heading, settings)       0x4000
//   0x4        delete                                0x8000
//   0x8        add links                             0x10000
//   0x10       add chat rooms                        0x20000
//   0x40       add discussions                       0x40000
//   0x80       add folders                           0x80000
//   0x100      post (messages; in a folder, to its   0x100 (kept)
//              discussions)
//   0x400000   mix folders and discussions in one    0x800000
//              folder
//   0x1000000  host (kept); 0x2000000 moderated (kept)
//
// Bits 0x400, 0x800, 0x4000000 and 0x8000000 (from 0x100000, 0x200000,
// 0x10000000, 0x20000000) have no meaning here and are carried as they
// come.  Edit and delete are part of every class but no-access and
// read-only, yet every kind of item withholds them from users below host
// (ForumAccStructure): only hosts of the item and the sysop edit and
// delete it.  Whether the author of a message may edit or delete it
// whatever these bits say is the web layer's rule, not this one's.
constexpr uint32_t kForumAccRead = 0x1;
constexpr uint32_t kForumAccEdit = 0x2;
constexpr uint32_t kForumAccDelete = 0x4;
constexpr uint32_t kForumAccAddLink = 0x8;
constexpr uint32_t kForumAccAddLive = 0x10;
constexpr uint32_t kForumAccPost = 0x100;
constexpr uint32_t kForumAccHost = 0x1000000;
constexpr uint32_t kForumAccModerated = 0x2000000;
constexpr uint32_t kForumAccNoEntry = 0x40000000;
constexpr uint32_t kForumAccGroupEntry = 0x80000000;
// Rights of a host or the sysop beyond their list.
constexpr uint32_t kForumAccAllRights = 0x3cffffff;
// The folder-structure bits: add subfolders, add discussions, mix both in
// one folder (a folder otherwise holds one kind, after its first item).
constexpr uint32_t kForumAccAddFolder = 0x80;
constexpr uint32_t kForumAccAddDiscussion = 0x40;
constexpr uint32_t kForumAccMixed = 0x400000;
// Every right of adding an item.
constexpr uint32_t kForumAccAddAny =
    kForumAccAddLink | kForumAccAddLive | kForumAccAddDiscussion | kForumAccAddFolder | kForumAccMixed;
// Bits taken away on sites of folders only or chat only.
constexpr uint32_t kForumAccAddItems = 0x180;

// The mask a list gives the items one level below its owner.
uint32_t ForumAccMoveDown(uint32_t mask);

// An access class of the access-list pages.
struct ForumAccessClass {
  std::string_view formValue;  // "host", "participant", ...
  uint32_t given;
  uint32_t taken;
};
// The class of a form value; null for an unknown one.
const ForumAccessClass* ForumGetAccessClass(std::string_view formValue);

// Who asks and where: the input of the last steps of a rights check.
// foldersOrChatOnly comes from the site's kind (ForumSysopSiteKind).
struct ForumAccAsk {
  bool guest = false;         // no user, the guest principal or a guest
  bool sysop = false;
  bool provisional = false;   // a user whose address is unconfirmed
  bool guestAccess = true;    // the sysop's guest-access flag
  bool provisionalReadOnly = false;
  bool provisionalModerated = false;
  bool foldersOrChatOnly = false;  // the site's kind
};

// Steps 4 and 5 of resolving: the structure mask removed unless host, the
// sysop and hosts raised to every right but moderated, guests shut out when
// the site allows no guests.  mask has been moved down already where the
// list belongs to an ancestor.
uint32_t ForumAccFinish(uint32_t mask, uint32_t structure, const ForumAccAsk& ask);

// The folder-structure rule and the user and site restrictions of an
// operation check applied to a resolved mask.  firstItem: 0 for an empty
// folder (or no folder), 1 when its first item is a discussion, 2 for
// another kind.
uint32_t ForumAccRestrict(uint32_t mask, int firstItem, const ForumAccAsk& ask);

// ---------------------------------------------------------------------------
// Stored lists.  A list value is the handle of its first node (an empty
// list names only its part); the calls that change a list return its new
// value, which the caller stores back.

ChHandle AccPermCreate(ChHandle near);
void AccPermDestroy(ChHandle list);
// The stored value of principal (sign bit included); false when absent.
bool AccPermGet(ChHandle list, ChHandle principal, uint32_t* value);
// Sets the value of principal, adding the entry when absent;
// kForumAccNoEntry deletes it.
[[nodiscard]] ChHandle AccPermPut(ChHandle list, ChHandle principal, uint32_t value);
// Changes an existing entry; false when principal has none.
[[nodiscard]] bool AccPermChange(ChHandle list, ChHandle principal, uint32_t value);
[[nodiscard]] ChHandle AccPermDelete(ChHandle list, ChHandle principal);
struct AccPermIter {
  ChLiGenIter it;
};
AccPermIter AccPermStart(ChHandle list);
bool AccPermNext(AccPermIter& iter, ChHandle* principal, uint32_t* value);
void AccPermStop(AccPermIter& iter);

// ---------------------------------------------------------------------------
// Rights checks.

// The user's full mask for item (user 0 or kForumAccAllGuests: a guest;
// kForumAccAllUsers: a registered user without an entry of its own).
uint32_t ForumAccResolve(const ForumFile& item, ChHandle user);
// True when every bit of mask is granted to user in item.
bool ForumAccOpCk(const ForumFile& item, ChHandle user, uint32_t mask);
// The rights an item's kind withholds from users without host rights
// (step 4 of resolving):
//
//   KIND                          WITHHELD
//   folder                        edit, delete
//   discussion, message           edit, delete, every add right
//   chat room                     edit, delete, every add right
//   link, container item,         edit, delete, every add right, post
//   document, group
//
// A message asks in its discussion's list but is an item of its own kind.
uint32_t ForumAccStructure(const ForumFile& item);

// ---------------------------------------------------------------------------
// Editing an item's own list.  Each change releases the unfolded lists of
// the item and of the open items below it.

// Whether item has a list of its own.
bool ForumAccHasList(const ForumFile& item);
// Gives item a list of its own holding the entries of the list it uses now
// (moved down a level when inherited), so that its rights stay as they were
// until edited.  False when it has one already.
[[nodiscard]] bool ForumAccCreateList(const ForumFile& item);
// Adds or changes principal's given (Enable) or taken (Inhibit) mask in
// the item's own list, creating an empty list first when it has none.  A
// group's entry is marked by the sign bit; kForumAccNoEntry deletes.
void ForumAccEnable(const ForumFile& item, ChHandle principal, uint32_t mask);
void ForumAccInhibit(const ForumFile& item, ChHandle principal, uint32_t mask);
// The entry of the item's own list: false when principal has none; the
// masks without the group mark (taken 0 when not inhibited).
bool ForumAccGet(const ForumFile& item, ChHandle principal, uint32_t* given, uint32_t* taken);
// Removes the item's own list, so that it uses its parent's again; the top
// folder keeps only its entries for all registered users and all guests.
void ForumAccClear(const ForumFile& item);
// Removes the taken masks of the item's own list.
void ForumAccClearInhibit(const ForumFile& item);
// Walks the entries of the item's own list.
struct ForumAccIter {
  ChHandle given = 0, taken = 0;
  AccPermIter it;
};
ForumAccIter ForumAccStart(const ForumFile& item);
bool ForumAccNext(ForumAccIter& iter, ChHandle* principal, uint32_t* given, uint32_t* taken);
void ForumAccStop(ForumAccIter& iter);
// Releases the unfolded lists of item and of every open item below it.
void ForumAccRelease(const ForumFile& item);
// The periodic sweep: releases every unfolded list of the root.
void AccSweep(ForumRoot root);
constexpr int32_t kAccSweepMs = 900000;

// ---------------------------------------------------------------------------
// The operations of the access-list form.  Each returns the message to
// show, empty when there is none.

constexpr char kAccMsgHasList[] = "File already has an access list";
constexpr char kAccMsgSysopHost[] =
    "If the sysop is in the access list, he/she must have host access: ";
constexpr char kAccMsgNoSuchName[] = "No user or group named \"";
constexpr char kAccMsgWholeUsers[] = "You cannot add the whole \"users\" list.";
constexpr char kAccMsgWholeGroups[] = "You cannot add the whole \"groups\" list.";
constexpr char kAccMsgGuests[] = "You cannot add the \"guests\" list.";
constexpr char kAccMsgClearConfirm[] =
    "Clearing this access list will switch to using the access list of its parent folder.";

// The form value of the class whose masks are given and taken ("host",
// "participant", ...), empty when the pair is no class.
std::string_view ForumAccClassOf(uint32_t given, uint32_t taken);
// "createAccess": gives the item its own list (ForumAccCreateList).
St ForumAccFormCreate(const ForumFile& item);
// Names typed by hand ("userName", one per line) added with the class the
// form's "addAs" names (an access class form value, as "access" takes);
// rows of a showAll page ticked for adding go through
// ForumAccFormSetClass with the same class.  The names that fail give one
// message line
// each ("No user or group named \"" + name + "\"", or the refusals of the
// whole "users", "groups" and "guests" lists).  The sysop may only be given
// host access.
St ForumAccFormAddNames(const ForumFile& item, const St& names, const St& access);
// Sets an existing principal's class (the "inList" rows); the sysop check
// as above.
St ForumAccFormSetClass(const ForumFile& item, ChHandle principal, const St& access);
// "clear" (after "confirmClear"): ForumAccClear.
St ForumAccFormClear(const ForumFile& item);
// "newUsers": the class of registered users who have no entry of their
// own (the general principal of all registered users).  Guests get theirs
// through ForumAccFormSetClass with kForumAccAllGuests.
St ForumAccFormNewUsers(const ForumFile& item, const St& access);

// One row of the list part of the form: a user or group, its entry in the
// item's own list (inList false, masks 0 and no class when it has none).
struct ForumAccRow {
  ChHandle principal = 0;
  St name;
  bool group = false;
  bool inList = false;
  uint32_t given = 0, taken = 0;
  std::string_view access;  // the class form value, empty when none fits
};
// Which rows a page shows.  Names are ordered ignoring ASCII case, groups
// and users together.
struct ForumAccPageAsk {
  bool showAll = false;  // "showAll": every user and group of the site,
                         // else the entries of the item's own list
  St prefix;             // "prefix": only names beginning with it
  St after;              // "showFollowing": the page after this name ("last")
  St before;             // "showPrev": the page before this name ("first")
  int32_t count = 50;    // rows of a page
};
struct ForumAccPage {
  std::vector<ForumAccRow> rows;
  bool moreBefore = false;  // rows lie before the first one shown
  bool moreAfter = false;   // rows lie after the last one shown
};
// A page of rows: from the beginning, after ask.after, or (when after is
// nil) ending before ask.before.
ForumAccPage ForumAccFormPage(const ForumFile& item, const ForumAccPageAsk& ask);

// The item's own list as the "access" element of the export format:
//
//   <access
//     guestPermit=MASK      the guests' given mask, guestInhibit=MASK the
//     otherPermit=MASK      taken one, and the same for the other
//   >                       registered users; each line only when set
//   <host>                  then each class that has members, in the
//   NAME                    order host, participant, moderated,
//   <participant>           read-only, no-access, with one member name
//   ...                     a line (SGML data)
//   <other-access permit=MASK inhibit=MASK>
//   NAME                    members whose masks are no class, the tag
//   </access>               written again when the masks change
//
// Masks in lower-case hexadecimal.  Names in name order within a part.
// An item without a list of its own gives the three lines "<access", ">"
// and "</access>".
St ForumAccExport(const ForumFile& item);
// Reads an "access" element (the export's, or one edited by hand) into the
// item's own list (created when missing): the masks given set the general
// principals, and every member goes to its class (a name that is no user
// or group, and the whole "users", "groups" and "guests" lists, are
// refused as by ForumAccFormAddNames).  The members "<GuestAny>" and
// "<OtherUser>" give their class to all guests and all other registered
// users; "<SysopAny>" is skipped (the sysop has every right anyway).
// Returns the report, one line each: "  Add user: " + name, "  Add group:
// " + name, or the refusal.  Text after "</access>" is ignored; input of
// more than kForumAccImportMax bytes is refused whole ("Access list too
// long").
St ForumAccImport(const ForumFile& item, const St& text);
constexpr int32_t kForumAccImportMax = 4 << 20;

}  // namespace quil
