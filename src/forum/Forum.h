// Forum: the conference data model -- the root of the database, the tree of
// folders with their discussions, links, chat rooms, container items and
// documents, the messages of discussions, unique identifiers and paths.
//
// Everything lives in records of the record database (LgDb.h) inside the
// chunk file "quil.db".  The root database "forum.db" (bound by name in the
// file's name space) has a head record (Type "forum-root", StructRev,
// MsgRev, NextUniqueId, the unique-identifier index) and exactly five list
// records:
//
//   POSITION  RECORD
//   0         entry whose File is the top folder ("forums", id 250000000)
//   1         the all-users group ("users", id 250000001)
//   2         the guests group ("guests", id 250000002)
//   3         the list of groups ("groups")
//   4         the sysop settings (id 250000003, ForumSet.h)
//
// A folder is a record database: its head is the folder record, its list
// holds one entry record per child (Name, File, EventId, Parent), kept in
// name order by the list's sort index.  A discussion is a record database
// whose head is the discussion record and whose positions hold the
// messages in the order posted; position -1 names the discussion's own
// opening text.  Links, chat rooms and container items are plain records.
//
// Parent chain: an item record's Parent (integer) is the unique identifier
// of its entry record, an entry's Parent the identifier of the folder; the
// top folder has none.  A message has no Type; it belongs to its
// discussion's record database (LgDbRecGetList), its Parent is the index of
// the message it answers and its Item its position.
//
// Open items: code works through open-item handles (ForumFile), reference
// counted and cached by unique identifier in the root; copying a ForumFile
// adds a reference (ForumFileRefInc), destroying it gives one back
// (ForumFileClose).  A handle caches the attributes it is asked for; every
// setter writes the record field, the cached value and calls
// ForumFileChanged, which marks the root changed and arms the periodic save
// (ForumSave.cc).
//
// Names and paths: a name path is "/" or "/" + URL-quoted entry names joined
// by "/"; a unique path is "." + the identifier in lower-case hexadecimal,
// optionally followed by "/" and names below it.  Chained unique paths name
// the links passed on the way; those links belong to the holder of a
// handle (ForumFile::LinkPrefix), never to the cached item, which other
// holders share.
//
// Stale input: a location, identifier or message number taken from a
// request never halts.  Deleted items, messages of deleted discussions,
// users and settings records do not open as items; readers of a message
// position without a message answer nil, 0 or -1, and operations on one
// return kForumNoEntry (2304).
//
// Upper layers hear of changes through callback lists (ForumOnMessagePosted
// ...) that they register with at start-up; this layer never includes
// theirs.
//
// Threads: every call runs on the thread that holds the run lock.  Broken
// invariants halt with the function's name ("ForumFileChanged--File").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Ch.h"
#include "Ec.h"
#include "ForumSet.h"
#include "LgDb.h"
#include "St.h"

namespace quil {

extern bool ForumDebugFlag;
[[nodiscard]] uint16_t ForumInitRtns(int selector, int32_t value);

// The root open in the server (null while none is).
extern ForumRoot wfForumRoot;

// Identifiers given at creation.
constexpr int32_t kForumTopId = 250000000;
constexpr int32_t kForumUsersId = 250000001;
constexpr int32_t kForumGuestsId = 250000002;
constexpr int32_t kForumSysopId = 250000003;
constexpr int32_t kForumFirstFreeId = 250000004;
// Default Inherits mask, and the bits never inherited.
constexpr uint32_t kForumInheritsDefault = 0xfe1ff800u;
constexpr uint32_t kForumNeverInherited = 0x1e007ffu;

// Result codes (texts: EcToSt): kForumNameInUse 2300, kForumNameEmpty
// 2301, kForumBadType 2302, kForumNotContainer 2303, kForumNoEntry 2304 ...
// kForumMoveIntoItself 2315, kForumIntegerName 2318, kForumEnclosureInUse
// 2319, kForumBadUser 2320 (the table is EC_FORUM_CODES of Ec.h).
#define FORUM_EC_CONSTANT(name, code, text) constexpr uint16_t kForum##name = code;
EC_FORUM_CODES(FORUM_EC_CONSTANT)
#undef FORUM_EC_CONSTANT

// Kinds of open items.
enum ForumKind : int {
  kForumKindGroup = 1,
  kForumKindFolder = 5,
  kForumKindDiscussion = 6,
  kForumKindDocument = 7,
  kForumKindMessage = 8,
  kForumKindLink = 9,
  kForumKindNone = 11,
  kForumKindLive = 12,     // chat room
  kForumKindShipCon = 13,  // container item of the chat service
};

// Item flag bits.
constexpr uint32_t kForumFlagShowAuthor = 0x1;
constexpr uint32_t kForumFlagShowCount = 0x2;
constexpr uint32_t kForumFlagLinkDescription = 0x4;
constexpr uint32_t kForumFlagLinkFolder = 0x8;
constexpr uint32_t kForumFlagLinkDiscussion = 0x10;
constexpr uint32_t kForumFlagAnonymous = 0x80;
constexpr uint32_t kForumFlagPermanent = 0x200;
constexpr uint32_t kForumFlagWebCreated = 0x400;
constexpr uint32_t kForumFlagShowTitles = 0x800;
constexpr uint32_t kForumFlagShowReplyTo = 0x1000;
constexpr uint32_t kForumFlagShowTree = 0x2000;
constexpr uint32_t kForumFlagShowParent = 0x4000;
constexpr uint32_t kForumFlagShowPrevious = 0x8000;
constexpr uint32_t kForumFlagShowSummary = 0x10000;
constexpr uint32_t kForumFlagUserPrefs = 0x20000;
constexpr uint32_t kForumFlagLinkContainer = 0x40000;
constexpr uint32_t kForumFlagUploads = 0x80000;
constexpr uint32_t kForumFlagDownloads = 0x100000;

// ---------------------------------------------------------------------------
// The clock.
//
// Every date the forum stores (posts, creation, queuing) and every date it
// compares (expiration, the guests' new-message cut-off) comes from this
// clock: seconds since 1970, read as local time.  Tests set their own to
// reach a date or an hour of the day; null restores the system clock.
using ForumClockFn = int64_t (*)();
void ForumSetClock(ForumClockFn fn);
int64_t ForumSecondsNow();
// The clock's now as the records keep dates.
LgDbTd ForumNow();

// ---------------------------------------------------------------------------
// Opening the database.

// What the open needs from the process (the server's flags).
struct ForumDbOpenOptions {
  bool forceFix = false;  // -f: repair whatever the check finds
  bool check = true;      // run the consistency check on open
  bool firstTime = false; // a fresh install may clear directories
  uint16_t status = 0;    // out: why an existing file could not be opened
};

// Opens or creates the database file at path and its root.  A missing
// file is created.  An interrupted save is rolled back by the store as the
// file opens.  A file that still cannot be opened is left as it is: null is
// returned with the reason in options->status, for the caller to recover
// or stop; only a file that never held a complete save (ChFileNeverSaved)
// is kept as path + ".bad" and a new database takes its place.  Failures to
// create halt with "ForumDbOpenI-- could not open database: " + the error
// text (an older format: "ForumDbOpenI-- could not import old database: ").  With
// forceFix, or with check when ChCheck finds a problem, the identifier
// index is put right (ForumFixupUniqueId) and the file saved and flushed;
// the record log says what was done and what was not: "* DB identifier
// index checked: N entries put back, file saved and flushed" and "* DB not
// repaired: " + why ("a repair was asked for", "the consistency check
// failed") + ", and only the identifier index is repaired" -- the chunk
// file itself has no repair yet, so a repair is never claimed.  forceFix
// is cleared then.  With check alone, identifiers put back are saved
// without a log line.  A new root gets the factory settings.
ForumRoot ForumDbOpenI(const std::string& path, ForumDbOpenOptions* options);
// Saves a changed root (waiting for the save), then closes the root and the
// file.  Halts with "ForumRootClose-- open items left" while handles other
// than the root's own are open.
void ForumDbCloseI(ForumRoot root);
// Opens a database file read-only with its root, for tools: nothing is
// ever saved.  Null with the status in *status when the file cannot be
// opened (the store's status) or has no root (kForumNoEntry).
ForumRoot ForumDbOpenReadOnly(const std::string& path, uint16_t* status);
// Closes a root opened read-only and its file.
void ForumDbCloseReadOnly(ForumRoot root);
// Saves the root now (in the background when enabled); 0 or the status.
[[nodiscard]] uint16_t ForumRootSave(ForumRoot root);
// Waits for a save in flight to finish; 0 or the status of its failure.
[[nodiscard]] uint16_t ForumRootSaveWait(ForumRoot root);

// The chunk part of the root's file, the root database and its head.
ChPart ForumRootPart(ForumRoot root);
ChHandle ForumRootDb(ForumRoot root);
ChHandle ForumRootHead(ForumRoot root);
int32_t ForumRootStructRev(ForumRoot root);
int32_t ForumRootMsgRev(ForumRoot root);
// Items created or posted since the root was opened.
int64_t ForumRootItemCount(ForumRoot root);
// The settings record (list position 4).
ChHandle ForumRootSysopRec(ForumRoot root);

// Marks the root changed: StructRev (structure) or MsgRev goes up and the
// periodic save is armed.
void ForumChanged(ForumRoot root, bool structure);
bool ForumRootIsChanged(ForumRoot root);

// ---------------------------------------------------------------------------
// Open-item handles.

struct ForumFileRec;

// A holder's reference to an open item.  The item (ForumFileRec) is shared
// by every holder and cached by unique identifier; what the holder went
// through to reach it -- the unique paths of the links passed, in order --
// is the holder's own (LinkPrefix, nil when reached directly) and travels
// with copies of the handle.
class ForumFile {
 public:
  ForumFile() = default;
  // Takes over one reference of rec (null: an empty handle).
  explicit ForumFile(ForumFileRec* rec) : rec_(rec) {}
  ForumFile(const ForumFile& other);
  ForumFile(ForumFile&& other) noexcept
      : rec_(other.rec_), linkPrefix_(std::move(other.linkPrefix_)) {
    other.rec_ = nullptr;
  }
  ForumFile& operator=(const ForumFile& other);
  ForumFile& operator=(ForumFile&& other) noexcept;
  ~ForumFile();
  explicit operator bool() const { return rec_ != nullptr; }
  ForumFileRec* Rec() const { return rec_; }
  // The same item, whatever way each holder came.
  bool operator==(const ForumFile& other) const { return rec_ == other.rec_; }
  // The unique paths of the links through which this holder reached the
  // item ("" or nil when none).
  const St& LinkPrefix() const { return linkPrefix_; }
  void SetLinkPrefix(St prefix) { linkPrefix_ = std::move(prefix); }

 private:
  ForumFileRec* rec_ = nullptr;
  St linkPrefix_;
};

void ForumFileRefInc(ForumFileRec* rec);
void ForumFileClose(ForumFileRec* rec);
// Open items of the root, its own four included.
int32_t ForumOpenItemCount(ForumRoot root);

// Opening.  Each gives an empty handle when the item does not exist.
// A path containing a space is refused.  Only items of the tree open:
// folders, discussions, live messages of live discussions, links, chat
// rooms, container items, documents, and groups (for their access lists);
// a deleted item, a message whose position was cleared or whose discussion
// was deleted, a user, an entry record or the settings record gives an
// empty handle.  The list of groups (whose identifier is given when first
// asked for, ForumUserUniqueId) opens as the root's own item, the one
// whose access list the groups use.
ForumFile ForumFileOpen(ForumRoot root, const St& path);
ForumFile ForumFileOpenUnique(ForumRoot root, int32_t uniqueId);
// The handle already in the open-item cache, or an empty one.
ForumFile ForumFileHaCkUnique(ForumRoot root, int32_t uniqueId);
ForumFile ForumTopFolder(ForumRoot root);
// A child by name: of a folder by entry name; of a discussion the message
// at the position the name gives in decimal, else the document of that
// name attached to the discussion's own text; of a message or a document
// the document of that name attached to it (ForumOpenDocument).  Empty
// when there is none.
ForumFile ForumFileHasChild(const ForumFile& folder, const St& name);
// A live message of a discussion by index; empty for any other position.
ForumFile ForumFileOpenMessage(const ForumFile& discussion, int32_t index);
// The parent folder (the discussion for a message, the holder for a
// document); empty for the top folder and the groups.  The parent comes
// without the holder's link prefix: the parent of a link's target lies
// outside what the link leads to.
ForumFile ForumFileParent(const ForumFile& file);

int ForumFileKind(const ForumFile& file);
bool ForumFileIsCategory(const ForumFile& file);
bool ForumFileIsForum(const ForumFile& file);  // a discussion
bool ForumFileIsLink(const ForumFile& file);
bool ForumFileIsMessage(const ForumFile& file);
bool ForumFileIsDocument(const ForumFile& file);
ForumRoot ForumFileRoot(const ForumFile& file);
ChHandle ForumFileRecord(const ForumFile& file);
ChHandle ForumFileList(const ForumFile& file);
int32_t ForumFileUniqueId(const ForumFile& file);
// Children (folders) or messages (discussions); for a discussion, one past
// the last message position.
int32_t ForumFileCount(const ForumFile& file);
// The entry name in the parent folder (nil for the top folder); a message's
// index in decimal; a document's name.
St ForumFileName(const ForumFile& file);
St ForumFilePath(const ForumFile& file);
// The holder's link prefix followed by "." and the item's identifier in
// hexadecimal.
St ForumFileUniquePath(const ForumFile& file);
St ForumFileType(const ForumFile& file);

// Marks the item (and with it the root) changed.
void ForumFileChanged(const ForumFile& file);

// Attributes stored in the item record: X(name, field).  The folder's
// e-mail settings: FolderEmail (its address, or the outside mailbox it
// reads), FolderEmailPw (that mailbox's password), FolderEmailReply (the
// address replies go to), FolderEmailReplyTo, FolderEmailFrom (the
// Reply-To and From of mail sent for the folder), FolderEmailPostThru (1:
// posts are passed on to the mirror list), FolderEmailStripSig (1:
// signatures are cut from mailed posts).  Background is the page
// background of the folder ("background" of the folder form).
#define FORUM_FILE_TEXTS(X)                                              \
  X(Html, Html) X(HtmlBanner, HtmlBanner)                                \
  X(HtmlFooter, HtmlFooter) X(Template, Template)                        \
  X(FolderEmail, FolderEmail) X(ArchiveTo, ArchiveTo)                    \
  X(Newsgroup, Newsgroup) X(Url, Url)                                    \
  X(FolderEmailPw, FolderEmailPw) X(FolderEmailReply, FolderEmailReply)  \
  X(FolderEmailReplyTo, FolderEmailReplyTo)                              \
  X(FolderEmailFrom, FolderEmailFrom) X(Background, Background)
// X(name, field, value when absent).  ListItems: whether the folder's page
// lists its items ("listFolderItems"); 1 when absent.
#define FORUM_FILE_INTS(X)                                                   \
  X(Size, Size, 0) X(NextForum, NextForum, 0)                                \
  X(CategoryCount, CategoryCount, 0) X(ArchiveDays, ArchiveDays, 0)          \
  X(LinkFolders, LinkFolders, 0) X(LinkWebs, LinkWebs, 0) X(Hits, Hits, 0)   \
  X(Posts, Posts, 0) X(ChildrenHits, ChildrenHits, 0)                        \
  X(ChildrenPosts, ChildrenPosts, 0) X(DeletedCount, DeletedCount, 0)        \
  X(SortSeq, SortSeq, 0) X(FolderEmailPostThru, FolderEmailPostThru, 0)      \
  X(FolderEmailStripSig, FolderEmailStripSig, 0) X(ListItems, ListItems, 1)

// ForumFileTitle / ForumSetTitle and so on: texts read nil when absent
// (a nil value removes the field), integers their value when absent.  The
// title is cached in the handle.  The setters cannot fail (a dead handle
// halts, "ForumSetTitle--File").
St ForumFileTitle(const ForumFile& file);
void ForumSetTitle(const ForumFile& file, St value);
#define FORUM_FILE_TEXT_DECL(name, field)    \
  St ForumFile##name(const ForumFile& file); \
  void ForumSet##name(const ForumFile& file, St value);
FORUM_FILE_TEXTS(FORUM_FILE_TEXT_DECL)
#undef FORUM_FILE_TEXT_DECL
#define FORUM_FILE_INT_DECL(name, field, dflt)    \
  int32_t ForumFile##name(const ForumFile& file); \
  void ForumSet##name(const ForumFile& file, int32_t value);
FORUM_FILE_INTS(FORUM_FILE_INT_DECL)
#undef FORUM_FILE_INT_DECL

// Hit and post counters.  A hit on an item adds one to its Hits, to the
// ChildrenHits of every folder above it and to the site's hits; a post
// (a new message, discussion or folder made through the web) does the same
// with Posts, ChildrenPosts and the site's posts.  A message counts for its
// discussion.
void ForumFileCountHit(const ForumFile& file);
void ForumFileCountPost(const ForumFile& file);
// The site's counters: the Hits and Posts fields of the root's head record.
int32_t ForumSiteHits(ForumRoot root);
void ForumSiteSetHits(ForumRoot root, int32_t value);
int32_t ForumSitePosts(ForumRoot root);
void ForumSiteSetPosts(ForumRoot root, int32_t value);

LgDbTd ForumFileDate(const ForumFile& file);
void ForumSetDate(const ForumFile& file, LgDbTd value);
LgDbTd ForumFileCreateDate(const ForumFile& file);
void ForumSetCreateDate(const ForumFile& file, LgDbTd value);
ChHandle ForumFileUser(const ForumFile& file);
void ForumSetUser(const ForumFile& file, ChHandle user);

// Flags: the stored word, the Inherits mask (default when absent) and the
// effective flags (inherited bits taken from the parent folder).
uint32_t ForumFileStoredFlags(const ForumFile& file);
uint32_t ForumFileInherits(const ForumFile& file);
uint32_t ForumFileFlags(const ForumFile& file);
void ForumSetFlags(const ForumFile& file, uint32_t flags);
void ForumSetInherits(const ForumFile& file, uint32_t mask);
// Recomputes the effective flags of the open items below file.
void ForumFileFlagsPropagate(const ForumFile& file);

// One getter and setter per item flag bit: X(name, bit).
#define FORUM_FILE_FLAGS(X)                                   \
  X(ShowAuthor, kForumFlagShowAuthor)                         \
  X(ShowCount, kForumFlagShowCount)                           \
  X(Anonymous, kForumFlagAnonymous)                           \
  X(Permanent, kForumFlagPermanent)                           \
  X(WebCreated, kForumFlagWebCreated)                         \
  X(ShowTitles, kForumFlagShowTitles)                         \
  X(ShowReplyTo, kForumFlagShowReplyTo)                       \
  X(ShowTreeView, kForumFlagShowTree)                         \
  X(ShowParent, kForumFlagShowParent)                         \
  X(ShowPrevious, kForumFlagShowPrevious)                     \
  X(ShowSummary, kForumFlagShowSummary)                       \
  X(UserPrefs, kForumFlagUserPrefs)                           \
  X(Uploads, kForumFlagUploads)                               \
  X(Downloads, kForumFlagDownloads)
#define FORUM_FILE_FLAG_DECL(name, bit)       \
  bool ForumFile##name(const ForumFile& file); \
  void ForumFileSet##name(const ForumFile& file, bool on);
FORUM_FILE_FLAGS(FORUM_FILE_FLAG_DECL)
#undef FORUM_FILE_FLAG_DECL

// ---------------------------------------------------------------------------
// Folder children.

// Creates a child of folder.  type is "forum-category", "forum-topic",
// "forum-link", "forum-live" or "forum-shipcon".  A discussion, link, chat
// room or container item is named by the folder's NextForum counter
// whatever name says (a number already in use is passed over).  The final
// name goes to *finalName (may be null).  A new link counts as a web link
// (LinkWebs) until ForumLinkSetType says otherwise.  An author's item goes
// on the author's post list.  Returns 0, 2300 (name in use), 2301 (empty
// name, or an integer for a document), 2302 (any other type,
// "forum-document" included: documents are attached to messages,
// ForumItemAddEnclosure), 2303 (folder is no folder, or the site is
// folders only and type is no folder, link or container item), 2318 (a
// folder name that is an integer).  Unless quiet, the new item gets bit
// 0x400 of its flags.  Nothing changes on failure.
[[nodiscard]] uint16_t ForumCatItemCreate(const ForumFile& folder, const St& type,
                                          const St& name, const St& title,
                                          ChHandle author, bool quiet, St* finalName);
// Deletes a child: 2304 when it is missing or still has children.  A
// deleted link lowers the folder's LinkFolders or LinkWebs; the handles of
// the item and of the messages of a deleted discussion leave the open-item
// cache (their holders keep them; nobody opens them again).
[[nodiscard]] uint16_t ForumCatItemDestroy(const ForumFile& folder, const St& name);
// Moves a child into target.  A folder keeps its name, or takes newName
// when that is not nil, and the name checks give their codes; any other
// item takes the next free number of the target's NextForum.  Returns 0,
// 2303 when target is no folder, 2304 when the child is missing, 2315 when
// a folder would go into itself or below itself.  A link's count moves
// with it.  Open handles of the item and below it take their new place at
// once: paths, inherited flags and access lists.
[[nodiscard]] uint16_t ForumCatItemMove(const ForumFile& folder, const St& name,
                                        const ForumFile& target, const St& newName);
// Renames a child.  A folder takes any name the name checks allow (2300,
// 2301, 2318).  An item named by number (discussion, link, chat room,
// container item) only takes another decimal number (2301 otherwise) that
// no child has (2300); the folder's NextForum then passes it, so later
// items never get it.  2304 when the child is missing.
[[nodiscard]] uint16_t ForumCatItemSetName(const ForumFile& folder, const St& name,
                                           const St& newName);
// Changes a child's Title or Html: 0 or 2304.
[[nodiscard]] uint16_t ForumCatItemSetTitle(const ForumFile& folder, const St& name,
                                            St title);
[[nodiscard]] uint16_t ForumCatItemSetHtml(const ForumFile& folder, const St& name,
                                           St html);
// The name checks of a new or renamed child (0 or a result code).
[[nodiscard]] uint16_t ForumCatNameCk(const ForumFile& folder, const St& name,
                                      bool isFolder, ChHandle sameEntry);

// Listing orders of a folder's children (CatForumSeq values).
constexpr int kForumSeqCreate = 0;     // oldest first by CreateDate
constexpr int kForumSeqRevMod = 1;     // most recently changed first
constexpr int kForumSeqDefault = 2;    // the sysop's CatForumSeq
constexpr int kForumSeqRevCreate = 3;  // newest first (any other value too)
constexpr int kForumSeqAlpha = 4;      // folders by Name, others by Title
// The live entries of folder in listing order: the higher SortSeq first,
// then by order; items that compare equal keep their name order.  Links
// are dated by their targets.  Access rights are the caller's to apply.
std::vector<ChHandle> CreateCatList(const ForumFile& folder, int order);
// One page of the children of folder that user may read (user 0: a guest;
// the read right of ForumAccOpCk on each child), in the order of
// CreateCatList: the readable children from the first-th on (counted from
// 0), at most count of them (count < 0: all).  *total (may be null) gets
// the number of readable children.
std::vector<ChHandle> ForumCatListPage(const ForumFile& folder, ChHandle user, int order,
                                       int32_t first, int32_t count, int32_t* total);

// The folder tree below folder, one line per item, depth first in name
// order: unique path, type, name path, title, and the count (children of a
// folder, messages of a discussion, "-" otherwise), separated by tabs.
void ForumTreePrint(const ForumFile& folder, std::string* out);

// Enumeration in name order: ix from 0 to ForumCatItemCount - 1.
uint32_t ForumCatItemCount(const ForumFile& folder);
// The entry at index ix, 0 past the end.
ChHandle ForumCatItemOpen(const ForumFile& folder, uint32_t ix);
St ForumCatItemName(ForumRoot root, ChHandle entry);
St ForumCatItemTitle(ForumRoot root, ChHandle entry);
St ForumCatItemType(ForumRoot root, ChHandle entry);
ChHandle ForumCatItemAuthor(ForumRoot root, ChHandle entry);
LgDbTd ForumCatItemDate(ForumRoot root, ChHandle entry);
// Children of a folder, messages of a discussion (-1 otherwise).
int32_t ForumCatItemSize(ForumRoot root, ChHandle entry);

// ---------------------------------------------------------------------------
// Messages.

// Every message operation takes the discussion and the message's position
// (index).  Position -1 names the discussion's own text (its record) where
// a reader says so.  Readers answer nil, 0 or -1 for a position without a
// live message; the operations that change a message return 0, 2304 for a
// position without one, or 2303 when discussion is no discussion.

// Appends a message to a discussion: the record gets User (author, when
// not 0), Title (when not empty), ContentType (unless "text"), Size (minus
// the body's length), BodyData, Date, MessageNumber (after deletions),
// Parent (replyTo, when >= 0), Item and a unique identifier; it enters the
// per-date index, the discussion's and its folder's Date become now, the
// author's post list gets it, and unless quiet the posted-message
// callbacks run.  Its index goes to *index (may be null).  Returns 0; 2303
// when discussion is no live discussion (an empty handle, a folder, a
// deleted discussion still held); 2304 when replyTo (>= 0) names no live
// message of it.  Nothing changes on failure.
[[nodiscard]] uint16_t ForumItemCreate(const ForumFile& discussion, ChHandle author,
                                       const St& title, const St& contentType,
                                       const St& body, int32_t replyTo, bool quiet,
                                       int32_t* index);
// Deletes message index: the position is cleared, DeletedCount goes up,
// the message leaves the message indexes and its handle the open-item
// cache.  0, 2304 or 2303.
[[nodiscard]] uint16_t ForumItemDestroy(const ForumFile& discussion, int32_t index);
// The message record at index (0 when none).
ChHandle ForumItemRec(const ForumFile& discussion, int32_t index);
// Title, Date and author: index -1 reads the discussion's record.
St ForumItemTitle(const ForumFile& discussion, int32_t index);
// The body; index -1 gives the discussion's Html.
St ForumItemData(const ForumFile& discussion, int32_t index);
// "text" when the message has no ContentType; nil without a message.
St ForumItemContentType(const ForumFile& discussion, int32_t index);
LgDbTd ForumItemDate(const ForumFile& discussion, int32_t index);
ChHandle ForumItemAuthor(const ForumFile& discussion, int32_t index);
// The body length (stored negated); -1 for a position without a message.
// Halts with "ForumResponseSize--could not get Size" when a live message
// lacks the field (a damaged record).
int32_t ForumResponseSize(const ForumFile& discussion, int32_t index);
// The message's number: MessageNumber when present, else its index.
int32_t ForumItemNumber(const ForumFile& discussion, int32_t index);
// The position of the message answered, -1 when none.
int32_t ForumItemReplyTo(const ForumFile& discussion, int32_t index);
// An empty title removes the field.
[[nodiscard]] uint16_t ForumItemSetTitle(const ForumFile& discussion, int32_t index, St title);
[[nodiscard]] uint16_t ForumItemSetData(const ForumFile& discussion, int32_t index,
                                        const St& body);
// Author 0 removes the field.
[[nodiscard]] uint16_t ForumItemSetAuthor(const ForumFile& discussion, int32_t index,
                                          ChHandle author);
// Moves the message in the per-date index too.
[[nodiscard]] uint16_t ForumItemSetDate(const ForumFile& discussion, int32_t index,
                                        LgDbTd date);
// The mail-derived parts of a message (or, index -1, of the discussion's
// record): Source (where the post came from: "http", "email", "nntp" ...),
// From, To, Other (further header lines), Boundary (the MIME boundary of
// the original), Alternative (the other form of a multipart/alternative
// body), MessageId.  Getters give nil when absent; a nil value removes the
// field.  The MessageId setter keeps the message-identifier index.
#define FORUM_ITEM_TEXTS(X) \
  X(Source) X(From) X(To) X(Other) X(Boundary) X(Alternative) X(MessageId)
#define FORUM_ITEM_TEXT_DECL(name)                                     \
  St ForumItem##name(const ForumFile& discussion, int32_t index);     \
  [[nodiscard]] uint16_t ForumItemSet##name(const ForumFile& discussion, \
                                            int32_t index, St value);
FORUM_ITEM_TEXTS(FORUM_ITEM_TEXT_DECL)
#undef FORUM_ITEM_TEXT_DECL

// Live messages of a discussion.
int32_t ForumMessageCount(const ForumFile& discussion);
// Walking the live messages by position; each gives -1 when there is none.
int32_t ForumMessageFirst(const ForumFile& discussion);
int32_t ForumMessageLast(const ForumFile& discussion);
// The first live message after index, the last one before it.
int32_t ForumMessageNext(const ForumFile& discussion, int32_t index);
int32_t ForumMessagePrev(const ForumFile& discussion, int32_t index);
// The last live messages before position before (-1: to the end), in
// position order: at most maxCount of them whose bodies come to at most
// maxBytes, the newest always (however long); a limit <= 0 is none.
// Paging backwards: the first index of one page is the before of the
// page in front of it.
std::vector<int32_t> ForumMessagesLast(const ForumFile& discussion, int32_t before,
                                       int32_t maxCount, int32_t maxBytes);
// The message with a mail/news identifier (0 when none).
ChHandle ForumMessageIdLookup(ForumRoot root, const St& messageId);
// Takes a message out of the message-identifier and per-date indexes.
void ForumMessageUnindex(ForumRoot root, ChHandle message);
// Entries of the per-date index.
uint32_t ForumMessageInfoCount(ForumRoot root);

// ---------------------------------------------------------------------------
// Documents.
//
// Documents (files and pictures) are attached to a message or, index -1,
// to a discussion's own text.  Each is a record of type "forum-document"
// (Name, ContentType, Size in bytes, BodyData holding the bytes, Date,
// UniqueId, Parent = the identifier of the message or discussion) in a
// record database of its own that the holder's Enclosures field names,
// kept in name order.  A document opens as an item of kind 7 by unique
// path, or by name below its holder ("/F/1/2/picture.gif").

// Attaches a document.  Returns 0; 2301 when name is empty, holds "/" or a
// blank, or (on a discussion's text, where numbers name messages) is an
// integer; 2319 when the holder has a document of that name; 2304 / 2303
// as for the other message operations.
[[nodiscard]] uint16_t ForumItemAddEnclosure(const ForumFile& discussion, int32_t index,
                                             const St& name, const St& contentType,
                                             const St& data);
// Detaches and destroys a document (its record goes when the last holder
// of an open handle lets go): 0, 2304 when there is no such document.
[[nodiscard]] uint16_t ForumItemRemoveEnclosure(const ForumFile& discussion, int32_t index,
                                                const St& name);
// The names of the documents attached, in name order.
std::vector<St> ForumItemEnclosures(const ForumFile& discussion, int32_t index);
// The document named name attached to holder (a message, a discussion --
// its own text --, or a document); empty when none.
ForumFile ForumOpenDocument(const ForumFile& holder, const St& name);
// A document's bytes, content type and length.  REQUIRES: a document.
St ForumDocumentData(const ForumFile& document);
St ForumDocumentContentType(const ForumFile& document);
int32_t ForumDocumentSize(const ForumFile& document);

// ---------------------------------------------------------------------------
// Unique identifiers.

// The record's identifier, allocated from NextUniqueId on first request.
int32_t ForumUniqueIdFromRec(ForumRoot root, ChHandle rec);
// Gives rec a chosen identifier; false when a valid record holds it.
[[nodiscard]] bool ForumSetUniqueIdFromRec(ForumRoot root, ChHandle rec, int32_t id);
int32_t ForumNextUniqueId(ForumRoot root);
// Raises the counter to value (never lowers it).
void ForumSetNextUniqueId(ForumRoot root, int32_t value);
// The record of an identifier, checked; a stale index entry is removed and
// 0 returned.
ChHandle ForumRecFromUniqueId(ForumRoot root, int32_t id);
// The identifier index (BtihDb).
ChHandle ForumUniqueIndex(ForumRoot root);
// "." + lower-case hexadecimal.
St ForumUniquePathOf(int32_t id);
// One line per indexed identifier: hexadecimal, tab, title, line feed.
void ForumUniquePrint(ForumRoot root, std::string* out);
// The open-time check: walks groups and the folder tree and enters missing
// identifiers in the index.  Returns the number of entries added.
int32_t ForumFixupUniqueId(ForumRoot root);

// ---------------------------------------------------------------------------
// Paths and links.

// The two resolvers behind ForumFileOpen; false (and *out untouched) when
// the path names nothing.
//
// ForumPathLookup: one trailing "/" and a trailing "/-1" are dropped; a
// path beginning with "." goes to ForumUniqueLookup; "/" is the top
// folder; "/" + names walks down by ForumFileHasChild, an empty name
// failing the walk.  A folder, discussion or container link met on the
// way is followed: the walk goes on in its target, and the link's unique
// path is added to the handle's link prefix and to ForumLinksEnd; a link
// whose target is the current folder or above it ends the walk there.
// Any other path is a newsgroup name, offered to the registered newsgroup
// look-ups (ForumOnNewsgroupLookup).
[[nodiscard]] bool ForumPathLookup(ForumRoot root, const St& path, ForumFile* out);
// ForumUniqueLookup: "." + hexadecimal identifier, then optionally "/" and
// names walked as above.
[[nodiscard]] bool ForumUniqueLookup(ForumRoot root, const St& path, ForumFile* out);
// The unique paths of the links that the last look-up passed on a name
// walk, in order (nil when it passed none).  The handle the look-up gave
// carries the same text as its link prefix.
extern St ForumLinksEnd;
// Newsgroup names: a look-up that finds the item of a newsgroup name
// answers true with the handle in *out.  The look-ups are asked in the
// order they were registered; the news service registers one at start-up.
using ForumNewsgroupLookupFn =
    std::function<bool(ForumRoot root, const St& name, ForumFile* out)>;
void ForumOnNewsgroupLookup(ForumNewsgroupLookupFn fn);
// Layers above that keep items open between requests (the template
// layer's message cache) register a release here: the idle check runs the
// releases of the root before it counts the items left open, so that only
// a handle a request forgot is reported.
using ForumIdleReleaseFn = std::function<void(ForumRoot root)>;
void ForumOnIdleRelease(ForumIdleReleaseFn fn);
// The target of a folder, discussion or container link; empty otherwise.
ForumFile ForumLinkOpen(const ForumFile& link);
// Link kinds for ForumLinkSetType.
constexpr int kForumLinkFolder = 1;
constexpr int kForumLinkDiscussion = 2;
constexpr int kForumLinkContainer = 4;
void ForumLinkSetType(const ForumFile& link, int kind);
void ForumLinkSetUrl(const ForumFile& link, St url);
St ForumLinkUrl(const ForumFile& link);
bool ForumLinkIsFolder(const ForumFile& link);
bool ForumLinkIsDiscussion(const ForumFile& link);
bool ForumLinkIsContainer(const ForumFile& link);
bool ForumLinkIsLink(const ForumFile& link);  // a web address
bool ForumLinkShowDescription(const ForumFile& link);
// The link's title and its description (Html); nil when absent, a nil
// value removes the field.
St ForumLinkTitle(const ForumFile& link);
void ForumLinkSetTitle(const ForumFile& link, St title);
St ForumLinkHtml(const ForumFile& link);
void ForumLinkSetHtml(const ForumFile& link, St html);
constexpr int kForumMaxLinks = 9;

// ---------------------------------------------------------------------------
// The save marker and the roll-forward log.
//
// A root may have a log sink: the roll-forward log that the exchange layer
// keeps (FrmBk.h), handed to the root, which owns it from then on and closes
// it (by destroying it) when the root closes or another sink replaces it.
// The forum itself writes only the save marker into it: every save of the
// image (ForumRootSave) first waits for a save still in flight, then writes
// the marker with a fresh code and stores code and position in the root
// record, and only then freezes the pages, with nothing able to run in
// between -- so the image carries the marker that precedes its first
// change not saved.

class ForumLogSink {
 public:
  virtual ~ForumLogSink() = default;
  // The position at which the next byte will be written.
  virtual int64_t Position() = 0;
  // Appends bytes at the end; 0 or a file-layer status.
  virtual uint16_t Append(std::string_view bytes) = 0;
  // Puts everything appended on disk; 0 or a file-layer status.
  virtual uint16_t Sync() = 0;
};
// Gives the root sink (null: none), closing the sink it had.
void ForumSetLogSink(ForumRoot root, std::unique_ptr<ForumLogSink> sink);
// Takes the root's sink away without closing it (null when none).
std::unique_ptr<ForumLogSink> ForumTakeLogSink(ForumRoot root);
ForumLogSink* ForumLogSinkOf(ForumRoot root);

// A fresh save code: eleven characters (AuthNewCode with the root's
// running sequence).
St ForumNewSaveCode(ForumRoot root);
// Records a save marker.  With a sink: its position is taken, "<save id="
// code " unique=" + the next unique identifier in hexadecimal + ">" CR LF is
// appended and the log synced; without one the position is -1 (also when
// the marker cannot be written, which goes to the error log).  The code
// and the position go into the root record (fields SaveCode and
// SavePosition, plus SavePositionHigh for positions of 2^31 and more);
// then the save-marker callbacks run.
void ForumSetSave(ForumRoot root, const St& code);
// The marker the root record holds: false when there is no code or the
// position is -1.
bool ForumGetSave(ForumRoot root, St* code, int64_t* position);
// Runs after every ForumSetSave (replication sends "<masterSave>").
using ForumSaveMarkerFn = std::function<void(ForumRoot root, const St& code, int64_t position)>;
void ForumOnSaveMarker(ForumSaveMarkerFn fn);
// Runs in ForumDbOpenI once the root is open, before anything is saved
// (the open-time replay of the roll-forward log; path is the database's).
using ForumDbOpenedFn = std::function<void(const std::string& path, ForumRoot root)>;
void ForumOnDbOpened(ForumDbOpenedFn fn);
// Runs when ForumUniqueIdFromRec gives a record its identifier (a record
// made without one, such as the sysop user, gets it when first asked, even
// by a reader): the roll-forward log records it so that its replay hands
// out the same identifiers.
using ForumUniqueIdFn = std::function<void(ForumRoot root, ChHandle rec, int32_t id)>;
void ForumOnUniqueIdGiven(ForumUniqueIdFn fn);

// ---------------------------------------------------------------------------
// Callback lists for the layers above.

struct ForumPostEvent {
  ForumRoot root;
  ChHandle discussion;  // head record
  ChHandle message;
  int32_t index;
};
using ForumMessagePostedFn = std::function<void(const ForumPostEvent&)>;
using ForumItemEventFn = std::function<void(ForumRoot root, ChHandle rec)>;
// A message was posted (search, mail, news).
void ForumOnMessagePosted(ForumMessagePostedFn fn);
// A folder child was created or deleted.
void ForumOnItemCreated(ForumItemEventFn fn);
void ForumOnItemDeleted(ForumItemEventFn fn);
// Forgets every registered callback, the newsgroup look-ups included
// (package termination).
void ForumCallbacksClear();

}  // namespace quil
