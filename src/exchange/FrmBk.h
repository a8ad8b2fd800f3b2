// FrmBk: nothing lost -- the journaling setters, the roll-forward log, its
// replay, recovery from backups, and the backups themselves.
//
// Every change to the conference goes through a journaling setter (FrmBk +
// object + Set + field).  The setter first appends the change record
// (Rec.h) to the root's roll-forward log "quilroll.1" (written to the file
// by the end of the event loop's pass, see the group commit below), then
// calls the plain setter of the forum store and returns its result.  A saved image records the
// save marker that preceded its first change not saved (ForumSetSave,
// Forum.h); when the database opens, the records after that marker are
// replayed (ForumDbOpenRollForward), so a crash loses no change that
// reached the log.  A backup (DoBackup) rotates "quildb.1" .. "quildb.9"
// and "quilroll.1" .. "quilroll.9" and starts a new log; a database that
// cannot be opened is rebuilt from "quildb.1" and "quilroll.1"
// (ForumDbRollForward).
//
// Decisions of the journaling setters:
//   - A plain setter that refuses a change (a result code other than 0)
//     has its record withdrawn: the log is cut back to where the record
//     began, so the log holds only changes that were made and its replay
//     never stops at a refused one.  Nothing runs between the write and the
//     cut (all under the run lock, no yield), so the cut takes exactly the
//     record.
//   - A change whose record cannot be written (a full disk) is not made:
//     the setter returns the file status (or, for the setters of the store
//     that cannot fail, writes the failure to the error log and makes the
//     change anyway, so that the server keeps working; the change is then
//     only as safe as the next save).
//   - Creations carry what they will produce: the new item's unique
//     identifier (the root's next one, which creation takes first), its
//     final name (the folder's next number for numbered items) and its
//     date, so that the replay gives the item the same identifier, checks
//     the name and restores the original times.
//   - Counters the tree operations keep (Size, NextForum, CategoryCount,
//     LinkFolders, LinkWebs, DeletedCount) are replayed by replaying the
//     operations; hit and post statistics (Hits, Posts, ChildrenHits,
//     ChildrenPosts) have no journaling setter (a crash may lose the counts
//     since the last save).  Every sysop setting and user field has one; a
//     setting without a name in the vocabulary travels as
//     "field=" its setter's suffix " value=" ....
//   - An identifier given to a user or group when first asked for (the
//     sysop user is made without one) is recorded as "<u name=N unique=ID>"
//     (ForumOnUniqueIdGiven), so that records naming it replay.  Other
//     records get theirs at creation, which the replay repeats; an item
//     from an older database without one is not covered.
//   - Creations, posts, deletions and moves carry their time; the replay
//     gives it to what the operation dated (the item, the message, the
//     discussion and the folders), and an operation that began in one
//     second and ended in the next gives its items the record's time too,
//     so that the replay gives the same.
//
// CHANGE RECORDS (the vocabulary is FrmBkVocabulary; PATH a unique path,
// ID a unique identifier in hexadecimal)
//
//   <f f=PATH NAME=VALUE>          one item attribute: title, body (Html),
//                                  banner, footer, background, template,
//                                  folderEmail, emailPw, emailReply,
//                                  emailReplyTo, emailFrom, emailPostThru,
//                                  emailStripSig (the folder's mail
//                                  settings), archiveTo, archiveDays,
//                                  newsgroup, url,
//                                  sortSeq, date, createDate, author (ID,
//                                  empty: none), flags, inherits (hex),
//                                  a flag bit (1/0: showAuthor, showItems,
//                                  anonymous, permanent, showMessageTitle,
//                                  showReplyTo, showTreeView,
//                                  showLinkToParent, showLinkToPrevious,
//                                  showSummaryButton, showByUserPreferences,
//                                  httpUploads, httpDownloads), linkType,
//                                  name (the entry's new name)
//   <f f=PATH field=ListItems value=N>  an item integer without a name in
//                                  the vocabulary, by its setter's suffix
//   <f f=PATH field=NAME value=V type=text>  a named text field of the
//                                  item's record (nil value: removed); with
//                                  f=DISC/INDEX of a message's record
//   <f f=FOLDER create=TYPE name=N title=T author=ID unique=ID date=D
//      flags=F>                    a new child of FOLDER ("forum-topic" ...);
//                                  flags: the bits creation sets (400 unless
//                                  quiet)
//   <f f=PATH destroy date=D>      deletes the item from its folder
//   <f f=PATH moveTo=FOLDER [name=N] date=D>  moves the item
//   <f f=DISC new=INDEX unique=ID author=ID title=T contentType=C
//      parent=INDEX date=D body=B> a new message
//   <f f=DISC/INDEX NAME=VALUE>    a message attribute: title, body, author,
//                                  date, messageId, source
//   <f f=DISC deleteItem=INDEX>    deletes a message
//   <f f=TARGET[/REPLYTO] moderated=POS type=T unique=ID title=T body=B
//      contentType=C [author=ID] [showAuthor] [other=O]>
//                                  an entry queued for moderation at
//                                  position POS, for TARGET (a discussion,
//                                  answering message REPLYTO, or a folder);
//                                  T kForumModMessage / ...Discussion /
//                                  ...Folder; ID the entry's identifier
//   <f f=TARGET moderated=POS modItemDate=D>      the entry's date (written
//                                  after each queuing: the time queued)
//   <f f=TARGET moderated=POS from=F messageId=M> a mailed entry's sender
//   <f f=TARGET update=POS [approved unique=ID] date=D>  the entry is
//                                  approved (ID: the identifier its
//                                  creation takes) or rejected
//   <f f=PATH u=P enable=MASK>     access list entry (g=P for a group;
//   <f f=PATH u=P inhibit=MASK>    P "1" all users, "2" all guests); PATH
//                                  may also be a user group's unique path
//                                  (".ID"): the group's own access list,
//                                  which the four records of access lists
//                                  change as an item's
//   <f f=PATH enable>              the item gets a list of its own
//   <f f=PATH clearAcc>            the item uses its parent's list again
//   <f f=PATH clearInhibit>        the taken rights of its list go
//   <u create=ID name=N email=E pwmd5=HEX registered|guest>
//   <u createg=ID name=N>          a new group
//   <u u=ID NAME=VALUE>            a user attribute: name, email, pwmd5 (the
//                                  digest in hexadecimal), flags (hex),
//                                  isSysop, incLogin, destroy, subscrAdd,
//                                  subscrRemove (PATH), and the
//                                  profile fields (FrmBkUserKeys)
//   <u u=ID field=NAME value=V type=text>  a named text field of a user's
//                                  or group's record
//   <u u=ID highwater=ITEM value=N>  the user's read mark of item ITEM (an
//                                  identifier) is now N (marks only grow:
//                                  the replay keeps a larger one)
//   <g g=ID add=ID>, <g g=ID remove=ID>, <g g=ID destroy>
//   <r nextUnique=N>, <r field=NAME value=V>
//   <s NAME=VALUE>                 a sysop setting by its record name
//                                  (FrmBkSysopKeys); <s field=F value=V> for
//                                  a text setting without one;
//                                  <s field=NAME value=V type=text> a named
//                                  text field of the settings record
//
// Threads: everything runs under the run lock.  The durable mode's sync
// runs on a thread of its own (see below) that touches only the log's
// descriptor and two atomic counters.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Forum.h"
#include "ForumAcc.h"
#include "ForumModerated.h"
#include "ForumUser.h"
#include "Rec.h"
#include "Sgml.h"

namespace quil {

extern bool FrmBkDebugFlag;
// Package protocol: 1 FrmBkInit (the keyword hash FrmBkHa of 256 entries,
// the save-marker callback FrmBkSetSave, the durable-mode loop hook), 2
// terminates, 3 the debug flag.
uint16_t FrmBkInitRtns(int selector, int32_t value);
void FrmBkInit();

// The file names, resolved against the working directory.
constexpr char kFrmBkDbPrefix[] = "quildb.";
constexpr char kFrmBkRollPrefix[] = "quilroll.";
constexpr char kFrmBkProgressFile[] = "logRoll";
constexpr int kFrmBkGenerations = 9;
// "quildb." + suffix and "quilroll." + suffix ("1" .. "9", "tmp").
std::string FrmBkDbName(std::string_view suffix);
std::string FrmBkRollName(std::string_view suffix);

// ---------------------------------------------------------------------------
// The vocabulary: every tag and attribute name the replayer accepts, in
// table order; a name's keyword number is its index.

const std::vector<const char*>& FrmBkVocabulary();
// The keyword number of name, -1 when it is not in the vocabulary.
int FrmBkKeyword(std::string_view name);
// The record names of the sysop settings and of the user fields: one
// row per setter of ForumSet.h / ForumUser.h that is journaled.
struct FrmBkKey {
  const char* setting;  // the setter's suffix ("RollForwardLog")
  const char* key;      // the record name ("rollForward")
};
const std::vector<FrmBkKey>& FrmBkSysopKeys();
const std::vector<FrmBkKey>& FrmBkUserKeys();

// ---------------------------------------------------------------------------
// The roll-forward log.

// Opens path as the root's log, positioned at its end (created when
// missing), closing the sink the root had.  0 or the file status.
[[nodiscard]] uint16_t FrmBkLogAttach(ForumRoot root, const std::string& path);
// True when the root has a log sink.
bool FrmBkLogIsOpen(ForumRoot root);

// Group commit.  A record is appended to the log's buffer when its change
// is made; once per pass of the event loop (the loop hook FrmBkLogPass) the
// buffer goes to the file with one write, and from then on it survives the
// death of the process.  A change counts as acknowledged -- its response
// may be released -- once its record's sequence number is at or below
// FrmBkLogDurableSequence:
//   - without the durable mode, once its record is written to the file;
//   - in the durable mode (off by default; the quil.set keyword
//     "durableLog=1" turns it on at the database open), once the log bytes
//     holding it are on disk: after the write, the pass asks the log's sync
//     thread for one fdatasync that covers every record written before it,
//     and the event loop goes on serving meanwhile; when it completes the
//     thread wakes the loop, and the next pass moves the durable sequence on.
// Each time the sequence moves on, the FrmBkOnDurable callbacks run (the
// HTTP front end releases the responses of the changes it covers).
void FrmBkSetDurableMode(bool on);
bool FrmBkDurableMode();
// Records appended to any log so far (the sequence number of the last one).
uint64_t FrmBkLogSequence();
// The sequence up to which changes count as acknowledged (see above).  A
// request whose changes ended at sequence s is released once this reaches
// s.
uint64_t FrmBkLogDurableSequence();
using FrmBkDurableFn = std::function<void(uint64_t durable)>;
void FrmBkOnDurable(FrmBkDurableFn fn);
// One pass: writes the buffered records, delivers a finished sync to the
// callbacks and starts the next one when records wait.  Registered as a
// loop hook (kBeforeWait) by FrmBkInit; callable directly.
void FrmBkLogPass();
// Writes the root's buffered records to its file now.
void FrmBkLogFlush(ForumRoot root);
// Waits (syncing in the calling thread) until every record written is on
// disk.  For shutdown and tests.
void FrmBkDurableFlush();
// The length of the root's log known to be on disk (without the durable
// mode: all that was written to the file); -1 without a log.
int64_t FrmBkLogDurablePosition(ForumRoot root);

// ---------------------------------------------------------------------------
// The record log: lines beginning "* " about long tasks (replays, saves,
// repacks) go to a file while one is being recorded.

bool FrmBkRecordIsOn();
// Starts recording into path (appending); also takes the store's record
// lines (ChSetRecordLogFn).  0 or the file status.
[[nodiscard]] uint16_t FrmBkRecordStart(const std::string& path);
void FrmBkRecordStop();
// Writes line (without its end) when recording.
void FrmBkRecordLine(std::string_view line);

// ---------------------------------------------------------------------------
// Journaling setters.  Each writes its record and calls the plain setter of
// the same name without the FrmBk prefix (Forum.h, ForumUser.h, ForumAcc.h,
// ForumSet.h).  Setters with a result return the plain setter's result, or
// the log's file status when the record could not be written (the change is
// then not made).

// Item attributes.
void FrmBkFileSetTitle(const ForumFile& file, St value);
#define FRMBK_FILE_TEXT_DECL(name) void FrmBkFileSet##name(const ForumFile& file, St value);
FRMBK_FILE_TEXT_DECL(Html)
FRMBK_FILE_TEXT_DECL(HtmlBanner)
FRMBK_FILE_TEXT_DECL(HtmlFooter)
FRMBK_FILE_TEXT_DECL(Template)
FRMBK_FILE_TEXT_DECL(FolderEmail)
FRMBK_FILE_TEXT_DECL(ArchiveTo)
FRMBK_FILE_TEXT_DECL(Url)
FRMBK_FILE_TEXT_DECL(FolderEmailPw)
FRMBK_FILE_TEXT_DECL(FolderEmailReply)
FRMBK_FILE_TEXT_DECL(FolderEmailReplyTo)
FRMBK_FILE_TEXT_DECL(FolderEmailFrom)
FRMBK_FILE_TEXT_DECL(Background)
#undef FRMBK_FILE_TEXT_DECL
void FrmBkFileSetFolderEmailPostThru(const ForumFile& file, int32_t value);
void FrmBkFileSetFolderEmailStripSig(const ForumFile& file, int32_t value);
void FrmBkFileSetListItems(const ForumFile& file, int32_t value);
void FrmBkCategorySetNewsgroup(const ForumFile& file, St value);
void FrmBkCategorySetArchiveDays(const ForumFile& file, int32_t value);
void FrmBkFileSetSortSeq(const ForumFile& file, int32_t value);
void FrmBkFileSetDate(const ForumFile& file, LgDbTd value);
void FrmBkFileSetCreateDate(const ForumFile& file, LgDbTd value);
void FrmBkFileSetUser(const ForumFile& file, ChHandle user);
void FrmBkFileSetFlags(const ForumFile& file, uint32_t flags);
void FrmBkFileSetInherits(const ForumFile& file, uint32_t mask);
#define FRMBK_FILE_FLAG_DECL(name, bit) void FrmBkFileSet##name(const ForumFile& file, bool on);
FORUM_FILE_FLAGS(FRMBK_FILE_FLAG_DECL)
#undef FRMBK_FILE_FLAG_DECL
void FrmBkLinkSetType(const ForumFile& link, int kind);
void FrmBkLinkSetUrl(const ForumFile& link, St url);

// Folder children.  FrmBkFileItemCreate is ForumCatItemCreate; the others
// name the item itself.
[[nodiscard]] uint16_t FrmBkFileItemCreate(const ForumFile& folder, const St& type,
                                           const St& name, const St& title, ChHandle author,
                                           bool quiet, St* finalName);
[[nodiscard]] uint16_t FrmBkFileDestroy(const ForumFile& item);
[[nodiscard]] uint16_t FrmBkFileMoveTo(const ForumFile& item, const ForumFile& target,
                                       const St& newName);
[[nodiscard]] uint16_t FrmBkFileSetName(const ForumFile& item, const St& newName);
// The same three by folder and entry name (ForumCatItemDestroy ...); 2304
// when the entry does not exist.
[[nodiscard]] uint16_t FrmBkCatItemDestroy(const ForumFile& folder, const St& name);
[[nodiscard]] uint16_t FrmBkCatItemMove(const ForumFile& folder, const St& name,
                                        const ForumFile& target, const St& newName);
[[nodiscard]] uint16_t FrmBkCatItemSetName(const ForumFile& folder, const St& name,
                                           const St& newName);
[[nodiscard]] uint16_t FrmBkCatItemSetTitle(const ForumFile& folder, const St& name, St title);
[[nodiscard]] uint16_t FrmBkCatItemSetHtml(const ForumFile& folder, const St& name, St html);

// Messages.  FrmBkForumItemCreate is ForumItemCreate; 0 or the log's status.
[[nodiscard]] uint16_t FrmBkForumItemCreate(const ForumFile& discussion, ChHandle author,
                                            const St& title, const St& contentType,
                                            const St& body, int32_t replyTo, bool quiet,
                                            int32_t* index);
bool FrmBkItemDestroy(const ForumFile& discussion, int32_t index);
// A message's attributes: 0; 2303 when discussion is no discussion, 2304
// for a position without a message (no record is written for either); or
// the log's status (the change is then not made).
[[nodiscard]] uint16_t FrmBkItemSetTitle(const ForumFile& discussion, int32_t index, St title);
[[nodiscard]] uint16_t FrmBkItemSetData(const ForumFile& discussion, int32_t index,
                                        const St& body);
[[nodiscard]] uint16_t FrmBkItemSetAuthor(const ForumFile& discussion, int32_t index,
                                          ChHandle author);
[[nodiscard]] uint16_t FrmBkItemSetDate(const ForumFile& discussion, int32_t index, LgDbTd date);
[[nodiscard]] uint16_t FrmBkItemSetMessageId(const ForumFile& discussion, int32_t index,
                                             const St& messageId);

// A named text field of a record (the fields templates keep: "Alias",
// "ContentType", "SubfoldersOnce", user_, path_ and site_ fields; nil
// removes it): of an item (folder, discussion, link, chat room, container
// item), of a message, of a user or group, of the settings record or of
// the root's head record (FrmBkRootSetFieldId).  False, and nothing
// changed, for a name that is empty or too long for the name space and for
// any other record (a document, a deleted user, a queue entry): those have
// no record form, and a change that could not be replayed is not made.
bool FrmBkRecordSetField(ForumRoot root, ChHandle rec, const St& field, St value);
// The same without a record (the replay's handler).
bool ForumRecordSetField(ForumRoot root, ChHandle rec, const St& field, St value);
// Where the message came from ("http", "email" ...): <f f=DISC/INDEX source=V>.
void FrmBkItemSetSource(const ForumFile& discussion, int32_t index, St source);

// A document attached to message index (-1: the discussion's own text),
// ForumItemAddEnclosure: <f f=DISC/INDEX enclosure=NAME contentType=C
// body=HEX>, the bytes in hexadecimal.
[[nodiscard]] uint16_t FrmBkItemAddEnclosure(const ForumFile& discussion, int32_t index,
                                             const St& name, const St& contentType,
                                             const St& data);

// Subscriptions (ForumRead.h): <u u=ID subscrAdd=PATH>, <u u=ID
// subscrRemove=PATH>, the item by its unique path.  The add returns
// ForumSubscrAdd's result or the log's status (nothing subscribed then).
[[nodiscard]] uint16_t FrmBkSubscrAdd(ChHandle user, const ForumFile& item);
bool FrmBkSubscrRemove(ChHandle user, const ForumFile& item);

// The root.
void FrmBkRootSetNextUnique(ForumRoot root, int32_t value);
// A text field of the root's head record by name (nil removes it); false
// (and nothing changed) for a name that is empty or longer than a name of
// the file's name space may be.
bool FrmBkRootSetFieldId(ForumRoot root, const St& field, St value);
// The same without a record (the replay's handler and tools).
bool ForumRootSetField(ForumRoot root, const St& field, St value);
bool ForumRootFieldNameOk(const St& field);
St ForumRootField(ForumRoot root, const St& field);

// Sysop settings: one per setting of ForumSet.h.
#define FRMBK_SYSOP_FLAG_DECL(name, word, bit, inverted) \
  void FrmBkSysopSet##name(ForumRoot root, bool on);
FORUM_SYSOP_FLAGS(FRMBK_SYSOP_FLAG_DECL)
#undef FRMBK_SYSOP_FLAG_DECL
#define FRMBK_SYSOP_INT_DECL(name, field, dflt) \
  void FrmBkSysopSet##name(ForumRoot root, int32_t value);
FORUM_SYSOP_INTS(FRMBK_SYSOP_INT_DECL)
#undef FRMBK_SYSOP_INT_DECL
#define FRMBK_SYSOP_TEXT_DECL(name) void FrmBkSysopSet##name(ForumRoot root, St value);
FORUM_SYSOP_TEXTS(FRMBK_SYSOP_TEXT_DECL)
#undef FRMBK_SYSOP_TEXT_DECL

// Users.
[[nodiscard]] uint16_t FrmBkUserCreate(ForumRoot root, int kind, const St& name,
                                       const St& email, const St& digest, ChHandle* user);
[[nodiscard]] uint16_t FrmBkUserDestroy(ForumRoot root, ChHandle user);
[[nodiscard]] uint16_t FrmBkUserSetName(ForumRoot root, ChHandle user, const St& name);
void FrmBkUserSetFlags(ForumRoot root, ChHandle user, uint32_t flags);
void FrmBkUserSetPassword(ForumRoot root, ChHandle user, St digest);
void FrmBkUserSetEmail(ForumRoot root, ChHandle user, St email);
void FrmBkUserSetSysop(ForumRoot root, ChHandle user, bool on);
void FrmBkUserIncLogin(ForumRoot root, ChHandle user);
void FrmBkUserSetPicture(ForumRoot root, ChHandle user, const LgDbPicture& value);
#define FRMBK_USER_TEXT_DECL(name) \
  void FrmBkUserSet##name(ForumRoot root, ChHandle user, St value);
FORUM_USER_TEXTS(FRMBK_USER_TEXT_DECL)
#undef FRMBK_USER_TEXT_DECL
#define FRMBK_USER_INT_DECL(name, dflt) \
  void FrmBkUserSet##name(ForumRoot root, ChHandle user, int32_t value);
FORUM_USER_INTS(FRMBK_USER_INT_DECL)
#undef FRMBK_USER_INT_DECL
#define FRMBK_USER_DATE_DECL(name) \
  void FrmBkUserSet##name(ForumRoot root, ChHandle user, LgDbTd value);
FORUM_USER_DATES(FRMBK_USER_DATE_DECL)
#undef FRMBK_USER_DATE_DECL

// Read marks (ForumRead.h): ForumSetHighwater and ForumSetHighwaterAll.
// The record follows the change and is written only when the stored mark
// moved (a page shown again changes nothing and writes nothing); it gives
// the mark's new value, so that the replay need not know how the mark was
// reached.  Nothing for guests.
void FrmBkSetHighwater(ChHandle user, const ForumFile& item, int32_t index);
void FrmBkSetHighwaterAll(ChHandle user, const ForumFile& discussion);

// Groups.
[[nodiscard]] uint16_t FrmBkGroupCreate(ForumRoot root, const St& name, ChHandle* group);
[[nodiscard]] uint16_t FrmBkGroupDestroy(ForumRoot root, ChHandle group);
[[nodiscard]] uint16_t FrmBkGroupAddUser(ForumRoot root, ChHandle group, ChHandle user);
[[nodiscard]] uint16_t FrmBkGroupRemoveUser(ForumRoot root, ChHandle group, ChHandle user);

// Access lists, of an item or of a user group opened as an item
// (ForumFileOpenUnique with the group's identifier).
bool FrmBkAccCreateList(const ForumFile& item);
void FrmBkAccEnable(const ForumFile& item, ChHandle principal, uint32_t mask);
void FrmBkAccInhibit(const ForumFile& item, ChHandle principal, uint32_t mask);
void FrmBkAccClear(const ForumFile& item);
void FrmBkAccClearInhibit(const ForumFile& item);

// The moderation queue (ForumModerated.h).
//
// Decision: the queue operations themselves are recorded (queuing, the
// entry's date and mail data, approval and rejection), not what an
// approval creates.  The replay repeats them through the forum's own
// operations, so the approval's many steps (the author, reply and mail
// data restored, the show-author flag, the heading, the post counters)
// live in one place, ForumModeratedItemUpdate, and cannot drift from a
// second copy here; the queue itself -- which a crash must not lose, since
// a queued post was acknowledged to its author -- is replayed by the same
// records.  The approval's record carries the identifier its creation
// takes and its time, so that the replay gives the approved message,
// discussion or folder the same identifier and date, and a queuing's
// record carries the entry's position, checked by the replay ("got wrong
// item number adding moderated item").
//
// FrmBkFileAddModerated is ForumFileAddModerated; a reply to a position
// without a live message is queued answering none.  The others return
// 2304, without a record, for a position without an entry.
// FrmBkModeratedItemUpdate keeps its record whatever the outcome (the entry
// leaves the queue in every case, and the replay fails the same way).
[[nodiscard]] uint16_t FrmBkFileAddModerated(const ForumFile& target, int32_t replyTo, int type,
                                             ChHandle author, const St& title, const St& body,
                                             bool showAuthor, const St& contentType,
                                             const St& other, int32_t* position);
[[nodiscard]] uint16_t FrmBkModeratedItemSetDate(ForumRoot root, int32_t position, LgDbTd date);
[[nodiscard]] uint16_t FrmBkModeratedItemSetMail(ForumRoot root, int32_t position, St from,
                                                 St messageId);
[[nodiscard]] uint16_t FrmBkModeratedItemUpdate(ForumRoot root, int32_t position, bool approve,
                                                ForumModeratedResult* result);

// Expiration (ArchiveBgDoArchive) moves and removes discussions through
// FrmBkCatItemMove and FrmBkCatItemDestroy: FrmBkInit installs them as the
// task's operations (ArchiveBgSetOps), so that a replay repeats each
// expiration.  Saving to the "deleted" file is no change of the
// conference and is not recorded.

// ---------------------------------------------------------------------------
// Replay.

// What one replay did.
struct FrmBkReplayResult {
  bool ok = false;             // the replay succeeded
  bool markerMatched = false;  // the expected save marker was found first
  bool ended = false;          // "eof" ended a replication stream
  int64_t items = 0;           // tags applied
  std::string error;           // the error line, empty when none
};

// Replays the records of source into root.  While expectedCode is not nil
// only the first tag decides: a "save" tag whose id is expectedCode
// (byte-exact; its "unique" then sets the next unique identifier) or a
// "restart" succeeds, anything else fails and ends the replay.  The replay
// stops at the first tag that fails or at the end of the source.  The root
// is the current root (wfForumRoot) during the replay and has no log sink
// (so nothing is logged again); it is marked rolling forward.  Every tag
// applied is counted: while recording, "* now at N items processed" after
// every 1,000 and "* Roll-forward log processed, N items" at the end; an
// error is recorded as "* Roll-forward error at line L, character C: " +
// message (+ " " + the offending text), L and C from 1.  Afterwards a save
// marker with a fresh code is recorded in the root (not in any log).
bool FrmBkRollForward(ForumRoot root, SgmlSource* source, const St& expectedCode);
FrmBkReplayResult FrmBkRollForwardEx(ForumRoot root, SgmlSource* source, const St& expectedCode);
// True while root is being rolled forward.
bool FrmBkRollingForward(ForumRoot root);

// A source reading a file from a position to its end (an SgmlSource over
// the file layer).
class FrmBkFileSource : public SgmlSource {
 public:
  FrmBkFileSource() = default;
  [[nodiscard]] uint16_t Open(const std::string& path, int64_t position);
  int32_t Read(uint8_t* buffer, int32_t max) override;
  int64_t Length() const { return length_; }

 private:
  FiFile file_;
  int64_t position_ = 0;
  int64_t length_ = 0;
};

// Called before (starting true) and after a replay of the open (the search
// index opens itself around it).
using FrmBkReplayFn = std::function<void(ForumRoot root, bool starting)>;
void FrmBkOnRollForward(FrmBkReplayFn fn);

// ---------------------------------------------------------------------------
// Opening, recovery and backups.

// The open-time replay, run by every database open (ForumDbOpenI calls it
// through ForumOnDbOpened once the root is open, before anything is saved,
// so that no save can store an image without the log's changes under a
// marker that no longer leads to them): when the sysop setting rollForward
// is on, replays
// into root whatever "quilroll.1" (or "quilroll.2", see below) holds after
// the image's save marker, then appends "<restart>" CR LF, makes
// "quilroll.1" the root's log sink and writes a save marker with a fresh
// code.  path is the database's path; the logs are beside it.  The durable
// mode follows the quil.set keyword "durableLog" (wfQuilSettings).  Returns
// false when "quilroll.1" cannot be opened (nothing else is done then);
// true otherwise, also when rollForward is off (nothing is done then).
//
// Decisions (so that no change that reached a log is lost):
//   1. The image's marker is looked for at its position in "quilroll.1";
//      when the tag there is that marker, the rest of "quilroll.1" is
//      replayed and nothing else.
//   2. Otherwise (another tag there, or the position at or past its end)
//      the marker was written to the log before a backup rotated it: the
//      same position is tried in "quilroll.2", and when the marker is
//      there, the rest of "quilroll.2" is replayed and then ALL of
//      "quilroll.1" from its start without an expected code (its first tag
//      is the backup's own marker, which only sets the unique counter):
//      the backup started "quilroll.1" right after the last record of
//      "quilroll.2", so together they hold every change after the image.
//   3. When the marker is in neither log the open goes on with the image
//      as it is and says so in the record log ("* Roll-forward: save
//      marker ... not found").
//   4. A replay that fails after its marker matched keeps what it applied
//      and goes no further (the record log has the error line).
//   5. A record left unfinished at the end of "quilroll.1" (a power cut in
//      the middle of its write, never acknowledged) is cut off before
//      "<restart>" is appended, so that it cannot swallow what follows.
//   6. An image that carries a marker is replayed even when it says
//      rollForward is off (the setting was turned off after the last save,
//      and the log kept what came after); the log is then not kept on.
bool ForumDbOpenRollForward(const std::string& path, ForumRoot root);

// Full recovery, for a database file that cannot be opened: copies
// "quildb.1" to path in blocks of 51,200 bytes (logging the copy to the
// error log), opens the copy, replays all of "quilroll.1" into it from its
// start, saves it and closes it.  True when the database at path was
// rebuilt; *file is then left null (the caller opens path as usual).  False
// when "quildb.1" or "quilroll.1" is missing or the copy has no root (the
// copy is deleted).  Write errors of the copy halt with
// "ForumDbRollForward--write error copying backup database", read errors
// with "ForumDbRollForward--read error copying backup database".
bool ForumDbRollForward(const std::string& path, ChFi* file);

// The backup of the sysop's backup pages: the page text reporting the
// outcome, empty when all went well.  Refused ("This backup is waiting to
// start.", a slave synchronising, a repack without rollForward) without
// changing anything; queued when the store is busy with a save or backup;
// otherwise rotates the backups and logs (keeping backupCount generations),
// starts a new "quilroll.1" with its marker, saves the image, and starts
// the store's background backup (or repack) into "quildb.tmp", renamed to
// "quildb.1" when complete.  The root is wfForumRoot.
std::string DoBackup(bool repack);
// The backup or repack of the last DoBackup: true while it runs or waits.
bool FrmBkBackupRunning();
// Called when a background backup ends: with the status (0: "quildb.1" is
// in place) and the error text.  Mail to the sysop arrives with the mail
// service; until then the failure goes to the error log.
using FrmBkBackupDoneFn = std::function<void(uint16_t status, const std::string& text)>;
void FrmBkOnBackupDone(FrmBkBackupDoneFn fn);

// The periodic backup.  backupPeriod (a sysop text) is the number of days
// between backups ("1" daily, "7" weekly; empty, "0" or anything else: no
// periodic backup); backupTime the local time of day "H:MM" or "HH:MM"
// (default "3:00"); backupLastDate the date of the last backup in
// ForumEiTdFormat.  A backup is due when no backup was taken yet, or the
// last one is at least the period old and the time of day has been reached.
// FrmBkBackupTaskStart (the server, once the database is open) arms a
// check every 60 seconds while a period is set (FrmBkSysopSetBackupPeriod
// arms it again when one is set later); the check starts DoBackup(false)
// when a backup is due and none runs.
void FrmBkBackupTaskStart(ForumRoot root);
void FrmBkBackupTaskStop();
// Whether a backup is due at now (seconds since 1970, local time).
bool FrmBkBackupDue(const St& period, const St& time, const St& lastDate, int64_t now);

}  // namespace quil
