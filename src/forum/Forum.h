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
// the links passed on the way.
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
#include <string>
#include <vector>

#include "Ch.h"
#include "ForumSet.h"
#include "LgDb.h"
#include "St.h"

namespace quil {

extern bool ForumDebugFlag;
uint16_t ForumInitRtns(int selector, int32_t value);

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

// Result codes of tree operations.
constexpr uint16_t kForumNameInUse = 2300;
constexpr uint16_t kForumNameEmpty = 2301;
constexpr uint16_t kForumBadType = 2302;
constexpr uint16_t kForumNotContainer = 2303;
constexpr uint16_t kForumNoEntry = 2304;
constexpr uint16_t kForumIntegerName = 2318;

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
// index is repaired, the file saved and flushed and "* DB repaired"
// logged; forceFix is cleared then.  A new root gets the factory settings.
ForumRoot ForumDbOpenI(const std::string& path, ForumDbOpenOptions* options);
// Saves a changed root (waiting for the save), then closes the root and the
// file.  Halts with "ForumRootClose-- open items left" while handles other
// than the root's own are open.
void ForumDbCloseI(ForumRoot root);
// Opens a database file read-only with its root, for tools: nothing is
// ever saved.  Null with the status in *status when the file cannot be
// opened or has no root (15).
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

class ForumFile {
 public:
  ForumFile() = default;
  // Takes over one reference of rec (null: an empty handle).
  explicit ForumFile(ForumFileRec* rec) : rec_(rec) {}
  ForumFile(const ForumFile& other);
  ForumFile(ForumFile&& other) noexcept : rec_(other.rec_) { other.rec_ = nullptr; }
  ForumFile& operator=(const ForumFile& other);
  ForumFile& operator=(ForumFile&& other) noexcept;
  ~ForumFile();
  explicit operator bool() const { return rec_ != nullptr; }
  ForumFileRec* Rec() const { return rec_; }
  bool operator==(const ForumFile& other) const { return rec_ == other.rec_; }

 private:
  ForumFileRec* rec_ = nullptr;
};

void ForumFileRefInc(ForumFileRec* rec);
void ForumFileClose(ForumFileRec* rec);
// Open items of the root, its own four included.
int32_t ForumOpenItemCount(ForumRoot root);

// Opening.  Each gives an empty handle when the item does not exist.
// A path containing a space is refused.
ForumFile ForumFileOpen(ForumRoot root, const St& path);
ForumFile ForumFileOpenUnique(ForumRoot root, int32_t uniqueId);
// The handle already in the open-item cache, or an empty one.
ForumFile ForumFileHaCkUnique(ForumRoot root, int32_t uniqueId);
ForumFile ForumTopFolder(ForumRoot root);
// A child of a folder by entry name.
ForumFile ForumFileHasChild(const ForumFile& folder, const St& name);
// A message of a discussion by index.
ForumFile ForumFileOpenMessage(const ForumFile& discussion, int32_t index);
// The parent folder (discussion for a message); empty for the top folder.
ForumFile ForumFileParent(const ForumFile& file);

int ForumFileKind(const ForumFile& file);
bool ForumFileIsCategory(const ForumFile& file);
bool ForumFileIsForum(const ForumFile& file);  // a discussion
bool ForumFileIsLink(const ForumFile& file);
bool ForumFileIsMessage(const ForumFile& file);
ForumRoot ForumFileRoot(const ForumFile& file);
ChHandle ForumFileRecord(const ForumFile& file);
ChHandle ForumFileList(const ForumFile& file);
int32_t ForumFileUniqueId(const ForumFile& file);
// Children (folders) or messages (discussions); for a discussion, one past
// the last message position.
int32_t ForumFileCount(const ForumFile& file);
// The entry name in the parent folder (nil for the top folder); a message's
// index in decimal.
St ForumFileName(const ForumFile& file);
St ForumFilePath(const ForumFile& file);
St ForumFileUniquePath(const ForumFile& file);
St ForumFileType(const ForumFile& file);

// Marks the item (and with it the root) changed.
void ForumFileChanged(const ForumFile& file);

// Attributes stored in the item record: X(name, field).
#define FORUM_FILE_TEXTS(X)                                              \
  X(Html, Html) X(HtmlBanner, HtmlBanner)                                \
  X(HtmlFooter, HtmlFooter) X(Template, Template)                        \
  X(FolderEmail, FolderEmail) X(ArchiveTo, ArchiveTo)                    \
  X(Newsgroup, Newsgroup) X(Url, Url)
#define FORUM_FILE_INTS(X)                                               \
  X(Size, Size) X(NextForum, NextForum) X(CategoryCount, CategoryCount)  \
  X(ArchiveDays, ArchiveDays) X(LinkFolders, LinkFolders)                \
  X(LinkWebs, LinkWebs) X(Hits, Hits) X(Posts, Posts)                    \
  X(ChildrenHits, ChildrenHits) X(ChildrenPosts, ChildrenPosts)          \
  X(DeletedCount, DeletedCount) X(SortSeq, SortSeq)

// ForumFileTitle / ForumSetTitle and so on: texts read nil when absent
// (a nil value removes the field), integers 0.  The title is cached in the
// handle.
St ForumFileTitle(const ForumFile& file);
void ForumSetTitle(const ForumFile& file, St value);
#define FORUM_FILE_TEXT_DECL(name, field)    \
  St ForumFile##name(const ForumFile& file); \
  void ForumSet##name(const ForumFile& file, St value);
FORUM_FILE_TEXTS(FORUM_FILE_TEXT_DECL)
#undef FORUM_FILE_TEXT_DECL
#define FORUM_FILE_INT_DECL(name, field)          \
  int32_t ForumFile##name(const ForumFile& file); \
  void ForumSet##name(const ForumFile& file, int32_t value);
FORUM_FILE_INTS(FORUM_FILE_INT_DECL)
#undef FORUM_FILE_INT_DECL

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
// whatever name says.  The final name goes to *finalName (may be null).
// Returns 0, 2300 (name in use), 2301 (empty name, or an integer for a
// document), 2302 (any other type, "forum-document" included: documents
// are not made here), 2303 (folder is no container), 2318 (a folder name
// that is an integer).  Unless quiet, the new item gets bit 0x400 of its
// flags.
[[nodiscard]] uint16_t ForumCatItemCreate(const ForumFile& folder, const St& type,
                                          const St& name, const St& title,
                                          ChHandle author, bool quiet, St* finalName);
// Deletes a child: 2304 when it is missing or still has children.
[[nodiscard]] uint16_t ForumCatItemDestroy(const ForumFile& folder, const St& name);
// Moves a child into target under newName (nil: the same name).  Returns
// 2303 when target is no folder or lies below the item, 2304 when the
// child is missing, the name checks' codes otherwise.
[[nodiscard]] uint16_t ForumCatItemMove(const ForumFile& folder, const St& name,
                                        const ForumFile& target, const St& newName);
// Renames a child (folders and documents only keep given names).
[[nodiscard]] uint16_t ForumCatItemSetName(const ForumFile& folder, const St& name,
                                           const St& newName);
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

// Appends a message to a discussion; its index goes to *index.
void ForumItemCreate(const ForumFile& discussion, ChHandle author, const St& title,
                     const St& contentType, const St& body, int32_t replyTo,
                     bool quiet, int32_t* index);
// Deletes message index: the position is cleared, DeletedCount goes up.
// False when there is no message there.
bool ForumItemDestroy(const ForumFile& discussion, int32_t index);
// The message record at index (0 when none).
ChHandle ForumItemRec(const ForumFile& discussion, int32_t index);
St ForumItemTitle(const ForumFile& discussion, int32_t index);
// The body; index -1 gives the discussion's Html.
St ForumItemData(const ForumFile& discussion, int32_t index);
St ForumItemContentType(const ForumFile& discussion, int32_t index);
LgDbTd ForumItemDate(const ForumFile& discussion, int32_t index);
ChHandle ForumItemAuthor(const ForumFile& discussion, int32_t index);
// The body length (stored negated).  Halts "ForumResponseSize--could not get
// Size" when a message lacks it.
int32_t ForumResponseSize(const ForumFile& discussion, int32_t index);
// The message's number: MessageNumber when present, else its index.
int32_t ForumItemNumber(const ForumFile& discussion, int32_t index);
int32_t ForumItemReplyTo(const ForumFile& discussion, int32_t index);
void ForumItemSetTitle(const ForumFile& discussion, int32_t index, St title);
void ForumItemSetData(const ForumFile& discussion, int32_t index, const St& body);
void ForumItemSetAuthor(const ForumFile& discussion, int32_t index, ChHandle author);
void ForumItemSetDate(const ForumFile& discussion, int32_t index, LgDbTd date);
// Live messages of a discussion.
int32_t ForumMessageCount(const ForumFile& discussion);
// The message with a mail/news identifier (0 when none).
ChHandle ForumMessageIdLookup(ForumRoot root, const St& messageId);
void ForumItemSetMessageId(const ForumFile& discussion, int32_t index, const St& messageId);
// Takes a message out of the message-identifier and per-date indexes.
void ForumMessageUnindex(ForumRoot root, ChHandle message);
// Entries of the per-date index.
uint32_t ForumMessageInfoCount(ForumRoot root);

// ---------------------------------------------------------------------------
// Unique identifiers.

// The record's identifier, allocated from NextUniqueId on first request.
int32_t ForumUniqueIdFromRec(ForumRoot root, ChHandle rec);
// Gives rec a chosen identifier; false when a valid record holds it.
bool ForumSetUniqueIdFromRec(ForumRoot root, ChHandle rec, int32_t id);
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

bool ForumPathLookup(ForumRoot root, const St& path, ForumFile* out);
bool ForumUniqueLookup(ForumRoot root, const St& path, ForumFile* out);
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
constexpr int kForumMaxLinks = 9;

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
// Forgets every registered callback (package termination).
void ForumCallbacksClear();

}  // namespace quil
