// ForumRead: what the conference remembers for each registered user -- how
// far the user has read (read marks), which folders and discussions the
// user subscribed to -- and the site's short list of recent items.
//
// READ MARKS (the user record's Highwater field)
//
// A Bti1Db (Bt.h): key the unique identifier of a discussion or another
// item, word the mark (an int32 kept as its 32 bits).
//   - For a discussion, the number of the first message the user has not
//     read.  Messages are numbered here by position counted from 1 (the
//     message at position p has the number p + 1); the discussion's own
//     text is number 0.  A message is new for the user when its number is
//     at or above the mark; no mark is mark 0, so everything is new.
//   - Thread units: every message's unit is its discussion, threaded or
//     not -- one high-water mark per discussion.  Positions follow the
//     order of posting, so a reply posted after the mark is new wherever
//     it hangs in the tree; a message skipped below the mark counts as
//     read.  One mark per discussion keeps a folder's "has new messages"
//     at one B-tree look-up per discussion.
//   - For any other item, any value: the item is new while the user has no
//     mark for it or the mark is -1.
// Marks only grow through ForumSetHighwater and UserSetHighwaterLarger;
// UserSetHighwater stores any value (an import, a roll-forward).  Nothing
// is stored for guests, deleted users or the general principals.
//
// Older databases hold the marks as an interval list (IvSl: position = the
// identifier, value = the mark, 0 = none) in the same field.  Such a list
// is read as it is and converted on the first write, which writes the
// record-log line "* User highwater conversion " + the user's name.
//
// GUESTS have no marks.  For them the root keeps a cut-off, now minus the
// sysop's GuestNewHours (168 by default): a message is new when it is
// later than the cut-off; folders and other items are always new.  The
// cut-off is computed when first needed, again when the setting changed,
// and again when it is 900 s old (the period of the user-cache sweep).
//
// MESSAGE CACHE: each open discussion keeps a table of its messages
// (ForumMsgCacheCreate): for each position its record (0 for a cleared
// one), number, unique identifier, the message it answers and its replies
// in position order.  It follows new messages and deletions on its own (it
// compares the discussion's Size and DeletedCount) and goes with the
// discussion's handle.
//
// SUBSCRIPTIONS (the user record's Subscriptions field, LgDbSubscr)
//
//   PART    MEANING
//   list1   chunk list (node 40) in the order subscribed: datum a chunk
//           string holding the item's name path, second datum the item's
//           unique identifier
//   list2   0 (unused)
//   word1   0 (unused)
//   word2   0 (unused)
//
// Entries name folders and discussions (a message is subscribed through
// its discussion).  They are brought up to date with the item's current
// path when used (ForumSubscrMakeCurrent); an entry whose item is gone is
// dropped then.  A folder's entry covers everything below it.
// ForumSubscrReadStart visits the entries in the order subscribed, a
// folder's discussions depth first in name order, each discussion once
// (the first entry that reaches it decides where it comes).
//
// RECENT ITEMS (the sysop setting Recent): at most ten paths separated by
// single blanks, newest first, with a blank after the last.
//
// Threads: every call runs under the run lock.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "Forum.h"

namespace quil {

// ---------------------------------------------------------------------------
// Read marks.

// The stored mark of identifier id: false when none.
bool UserGetHighwater(ForumRoot root, ChHandle user, int32_t id, int32_t* value);
bool UserHasHighwater(ForumRoot root, ChHandle user, int32_t id);
// Stores value whatever the mark was.
void UserSetHighwater(ForumRoot root, ChHandle user, int32_t id, int32_t value);
// Stores value only when there is no mark or value is larger; true when
// stored.
bool UserSetHighwaterLarger(ForumRoot root, ChHandle user, int32_t id, int32_t value);
// The first mark whose identifier is above after (unsigned order), for
// walking all marks from after = 0; false after the last.
bool UserNextHighwater(ForumRoot root, ChHandle user, int32_t after, int32_t* id,
                       int32_t* value);
int32_t UserHighwaterCount(ForumRoot root, ChHandle user);
// True when user is a live registered user, the only kind with marks.
bool ForumUserHasMarks(ForumRoot root, ChHandle user);

// Advances the user's mark for item.  For a discussion, index is the
// position of the message shown (-1: the discussion's own text): the mark
// becomes at least index + 2 (the number of the message after it) and the
// cached new count of the discussion is dropped.  For a message handle the
// mark of its discussion is advanced the same way (index is not used).
// For any other item its mark becomes at least index.  Nothing for guests.
void ForumSetHighwater(ChHandle user, const ForumFile& item, int32_t index);
// Moves the user's mark of a discussion to its end: every message read.
void ForumSetHighwaterAll(ChHandle user, const ForumFile& discussion);

// The guests' cut-off (see above).
LgDbTd ForumGuestNewCutoff(ForumRoot root);
// Computes the cut-off again now.
void ForumGuestNewCutoffRefresh(ForumRoot root);

// Whether item itself is new for user: for a registered user, no mark or
// mark -1; for guests, true.
bool ForumIsNew(const ForumFile& item, ChHandle user);
// Whether the message at position index of discussion is new for user;
// false for a position without a message.
bool ForumItemIsNew(const ForumFile& discussion, int32_t index, ChHandle user);
// The live messages of discussion that are new for user.
int32_t ForumNewMessages(const ForumFile& discussion, ChHandle user);
// Whether discussion has a new message for user: one mark look-up and
// the discussion's record (no message is read).
bool ForumHasNewMessages(const ForumFile& discussion, ChHandle user);
// The same for an entry of a folder listing (CreateCatList,
// ForumCatListPage) without opening its item: a discussion has a new
// message; any other item is new itself (ForumIsNew).
bool ForumEntryIsNew(ForumRoot root, ChHandle entry, ChHandle user);
// The first new message in tree order (a message, then its replies, in
// position order), -1 when none.
int32_t ForumFirstTreeNew(const ForumFile& discussion, ChHandle user);
// Live messages before and after position index.
int32_t ForumMessagesBefore(const ForumFile& discussion, int32_t index);
int32_t ForumMessagesAfter(const ForumFile& discussion, int32_t index);

// Builds (or brings up to date) the discussion's message cache.  REQUIRES:
// a discussion.
void ForumMsgCacheCreate(const ForumFile& discussion);
// The replies to the message at position index (-1: the messages that
// answer none), in position order, from the cache.
std::vector<int32_t> ForumMsgThreadChildren(const ForumFile& discussion, int32_t index);

// ---------------------------------------------------------------------------
// Subscriptions.

// Gives the user an empty list (keeps one that exists).
void ForumSubscrCreate(ForumRoot root, ChHandle user);
// Removes the list with its entries.
void ForumSubscrDestroy(ForumRoot root, ChHandle user);
// Subscribes user to item (a message: its discussion).  Returns 0 (also
// when subscribed already); kForumBadUser (2320) for anyone but a live
// registered user; 2303 for an item that is no folder, discussion or
// message.
[[nodiscard]] uint16_t ForumSubscrAdd(ChHandle user, const ForumFile& item);
// Removes the entry of item (a message: of its discussion); false when
// there was none.
bool ForumSubscrRemove(ChHandle user, const ForumFile& item);
// Removes every entry (the list stays, empty).
void ForumSubscrClear(ForumRoot root, ChHandle user);
// Whether an entry is item's (or its discussion's) or a folder above it;
// the entries are brought up to date first.
bool ForumFileIsSubscribed(ChHandle user, const ForumFile& item);
int32_t ForumSubscrCount(ForumRoot root, ChHandle user);
// Brings every entry's path up to date and drops entries whose item is gone.
void ForumSubscrMakeCurrent(ForumRoot root, ChHandle user);

// Walking the entries: each gives the path and the identifier.
struct ForumSubscrIter {
  ChLiGenIter list;
};
ForumSubscrIter ForumSubscrStart(ForumRoot root, ChHandle user);
bool ForumSubscrNext(ForumSubscrIter& iter, St* path, int32_t* id);
void ForumSubscrStop(ForumSubscrIter& iter);

// Reading through the subscriptions: the discussions with new messages
// for the user, in the order described above.
struct ForumSubscrRead {
  ForumRoot root = nullptr;
  ChHandle user = 0;
  std::vector<int32_t> discussions;
  std::unordered_set<int32_t> added;
  size_t next = 0;
};
ForumSubscrRead ForumSubscrReadStart(ForumRoot root, ChHandle user);
// The next discussion, empty at the end.
ForumFile ForumSubscrReadNext(ForumSubscrRead& read);
// Adds a discussion when it has new messages; a folder's discussions with
// new messages, depth first.
void ForumSubscrReadAddTopic(ForumSubscrRead& read, const ForumFile& discussion);
void ForumSubscrReadAddCat(ForumSubscrRead& read, const ForumFile& folder);
void ForumSubscrReadStop(ForumSubscrRead& read);
// Marks every message of the discussions at or below item read (item
// empty: of everything the user subscribed to).
void ForumSubscMarkCurrent(ForumRoot root, ChHandle user, const ForumFile& item);

// ---------------------------------------------------------------------------
// Recent items.

constexpr int kForumRecentMax = 10;
// Puts path first, the oldest going when ten are listed.  REQUIRES: no
// blank in path ("ForumRecentAdd--Path contains a blank").
void ForumRecentAdd(ForumRoot root, const St& path);
// Takes every occurrence of path out.
void ForumRecentRemove(ForumRoot root, const St& path);
int32_t ForumRecentCount(ForumRoot root);
// The n-th path (0 the newest), nil past the end.
St ForumRecentPath(ForumRoot root, int32_t n);
// The n-th item opened; empty past the end or when it no longer opens.
ForumFile ForumRecentOpen(ForumRoot root, int32_t n);

}  // namespace quil
