// ForumModerated: the two mechanisms that change the tree without a user's
// direct action -- the moderation queue, where posts wait until a host
// approves them, and the nightly expiration of discussions in folders that
// have an expiration period.
//
// MODERATION QUEUE
//
// The record database named by the root head's Moderated field (made when
// an older root lacks it).  Its head record's Size counts the entries, and
// the root keeps the count in memory (ForumModeratedItemCount).  Entries
// sit at positions 0 .. Size - 1 in the order queued: a new one goes to
// position Size, and an entry taken out moves the later ones down a place,
// so a position names an entry only until the queue next shrinks (the
// entry's own unique identifier names it for good, ForumModeratedLookup).
//
// QUEUE RECORD
//
//   FIELD        KIND  MEANING
//   Parent       int   unique identifier of the folder or discussion the
//                      item is meant for (given to the target if it had none)
//   Item         int   for a reply, the position of the message it answers
//   Type         int   what the item is: kForumModMessage (8),
//                      kForumModDiscussion (6), kForumModFolder (5) -- the
//                      kinds of open items (ForumKind); an integer, never a
//                      record type name, so an entry never opens as an item
//   User         rec   the author (absent for none)
//   Title        text  the title
//   BodyData     text  the body, already cleaned for HTML
//   Other        text  extra data (the header lines of a mailed post), only
//                      when not empty
//   From         text  the mailed post's sender and message identifier
//   MessageId    text  (ForumModeratedItemSetMail), only when given
//   Flags        int   1 when the author wants the name shown
//   ContentType  text  the content type
//   Date         date  the time of queuing
//   UniqueId     int   the entry's own identifier
//
// EXPIRATION
//
// Per folder: ArchiveDays (whole days without a post after which a
// discussion expires; absent or 0 means never) and ArchiveTo (a unique path
// or path of the folder expired discussions move to; "purge": removed
// without a copy; empty or a path that does not open as a folder: saved to
// the "deleted" file and removed).  Discussions with the permanent flag
// (0x200) never expire.
//
// The task (ArchiveBgProcess) runs from the RAM queue, 600,000 ms after
// ArchiveBgInit, and never on a mirror server (isSlave in "quil.set").
// Each time it runs it first waits while anything else runs: a request
// thread waiting in the middle of a request or a background pass (it
// blocks on the queue until they end), or anything a layer above reports
// busy through ArchiveBgOnBusy (the request processor, the search index
// build; it looks again 2,000 ms later).  With no run in progress it looks
// at the hour of the forum's clock (local time): during hour 3 it takes
// the date as the run date and builds the list of expired discussions,
// otherwise it looks again 600,000 ms later.  A run expires one
// discussion every 2,000 ms until the list is empty; then the task looks
// at the hour again 600,000 ms later (a second run in the same hour finds
// nothing left).  The list lives in memory only: a restart loses the rest
// of a run, which the next night's run picks up.
//
// What a run did goes to the record log (ForumOnRecord), one line per
// discussion:
//   " * Expiration \"" + folder path + title + "\" (" + unique path + ") "
//   followed by "purged", "to deleted file", or
//   "to \"" + target path + "\" (" + target unique path + ")";
// and " * Expiration processing ERROR: " + the error text when the
// discussion could not be saved or destroyed.
//
// Threads: every call runs under the run lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Forum.h"

namespace quil {

// ---------------------------------------------------------------------------
// The moderation queue.

constexpr int kForumModFolder = kForumKindFolder;
constexpr int kForumModDiscussion = kForumKindDiscussion;
constexpr int kForumModMessage = kForumKindMessage;

// Queues an item meant for target: a message (type kForumModMessage) for a
// discussion, answering the message at position replyTo (-1: none); a
// discussion or a folder for a folder.  The entry's position goes to
// *position (may be null).  Returns 0; 2302 for any other type; 2303 when
// target is no live discussion (a message) or no folder (the others).
[[nodiscard]] uint16_t ForumFileAddModerated(const ForumFile& target, int32_t replyTo, int type,
                                             ChHandle author, const St& title, const St& body,
                                             bool showAuthor, const St& contentType,
                                             const St& other, int32_t* position);
// The queue's database (made when the root has none).
ChHandle ForumModeratedOpen(ForumRoot root);
// Entries waiting.
int32_t ForumModeratedItemCount(ForumRoot root);
bool ForumModeratedExists(ForumRoot root, int32_t position);
// The position of the entry with unique identifier uniqueId, -1 when no
// entry has it.
int32_t ForumModeratedLookup(ForumRoot root, int32_t uniqueId);
// The folder or discussion the entry is meant for; empty when the entry or
// its target is gone.
ForumFile ForumModeratedItemOpen(ForumRoot root, int32_t position);
// Readers of an entry: 0, nil or -1 for a position without one.
int ForumModeratedItemType(ForumRoot root, int32_t position);
LgDbTd ForumModeratedItemDate(ForumRoot root, int32_t position);
ChHandle ForumModeratedItemAuthor(ForumRoot root, int32_t position);
St ForumModeratedItemTitle(ForumRoot root, int32_t position);
St ForumModeratedItemData(ForumRoot root, int32_t position);
bool ForumModeratedItemShowAuthor(ForumRoot root, int32_t position);
St ForumModeratedItemContentType(ForumRoot root, int32_t position);
St ForumModeratedItemOther(ForumRoot root, int32_t position);
St ForumModeratedItemFrom(ForumRoot root, int32_t position);
St ForumModeratedItemMessageId(ForumRoot root, int32_t position);
int32_t ForumModeratedItemReplyTo(ForumRoot root, int32_t position);
int32_t ForumModeratedItemTarget(ForumRoot root, int32_t position);
int32_t ForumModeratedItemUniqueId(ForumRoot root, int32_t position);
// Changers of an entry: 0, or 2304 for a position without one.
[[nodiscard]] uint16_t ForumModeratedItemSetDate(ForumRoot root, int32_t position, LgDbTd date);
// The sender and message identifier of a mailed post (nil: none).
[[nodiscard]] uint16_t ForumModeratedItemSetMail(ForumRoot root, int32_t position, St from,
                                                 St messageId);

// What an approval made: the discussion that got the message and its
// index, or the new discussion or folder (index -1).
struct ForumModeratedResult {
  ForumFile item;
  int32_t index = -1;
};
// Approves (approve true) or rejects the entry at position.  Approval opens
// the target by unique identifier and creates there: a message with the
// author, title, content type and body, answering the recorded position
// (no longer live: answering none), with its From, MessageId and Other
// restored; or a discussion ("forum-topic") or folder ("forum-category",
// named by its title) with the title, its heading (Html) from the body,
// the show-author flag and the other data.  The post counters of the site
// and the target go up.  In every case -- approved, rejected, or failed --
// the entry leaves the queue and the identifier index and is destroyed: an
// entry whose target is gone could never be approved and would otherwise
// stand first in the queue for ever.  Returns 0; 2304 for a position
// without an entry; 2303 when the target no longer opens as what the item
// needs; the creation's own code (2300 a folder name in use, 2301 ...).
// *result (may be null) gets what was made.  quiet (the roll-forward
// replay) makes an approved message without the posted-message callbacks:
// they ran when it was first approved.
[[nodiscard]] uint16_t ForumModeratedItemUpdate(ForumRoot root, int32_t position, bool approve,
                                                ForumModeratedResult* result, bool quiet = false);

// ---------------------------------------------------------------------------
// Expiration settings of folders.

// 0 (never) for anything but a folder.
int32_t ForumCategoryArchiveDays(const ForumFile& folder);
// days <= 0 removes the setting.  REQUIRES: a folder
// ("ForumCategorySetArchiveDays--File").
void ForumCategorySetArchiveDays(const ForumFile& folder, int32_t days);
// Nil for anything but a folder, and when not set.
St ForumCategoryArchiveTo(const ForumFile& folder);
// A nil or empty value removes the setting.  REQUIRES: a folder.
void ForumCategorySetArchiveTo(const ForumFile& folder, St to);

// ---------------------------------------------------------------------------
// The expiration task.

constexpr int kArchiveHour = 3;
constexpr int32_t kArchiveStartMs = 600000;    // after ArchiveBgInit
constexpr int32_t kArchiveRecheckMs = 600000;  // between looks at the hour
constexpr int32_t kArchiveStepMs = 2000;       // between two discussions
constexpr char kArchivePurge[] = "purge";

// Schedules the task for root (nothing on a mirror server); a task already
// scheduled is replaced.
void ArchiveBgInit(ForumRoot root);
// Cancels the task and forgets the run in progress.
void ArchiveBgTerm();
// The task's RAM-queue callback (arguments unused).
void ArchiveBgProcess(intptr_t argument, int32_t id);
// True during hour 3 of the forum's clock, local time.
bool ArchiveBgTimeHasCome();
// Records runDate and builds the list of the run from the top folder.
void ArchiveBgBuildLi(ForumRoot root, LgDbTd runDate);
// Appends to *list the unique identifiers of the discussions in folder
// (when it has ArchiveDays) that are not permanent and whose date plus
// ArchiveDays days is not after runDate's day, then those of its
// subfolders, depth first in name order.
void ArchiveBgAddLi(const ForumFile& folder, LgDbTd runDate, std::vector<int32_t>* list);
// Expires one discussion (see the head of this file).  A discussion that is
// gone or no longer a discussion is skipped (0).  Returns 0 or the code of
// the failed save, move or destroy (the discussion then stays where it
// is).  The open-item checks "archive start" and "archive stop" bracket it:
// no item but the root's own may be open.
[[nodiscard]] uint16_t ArchiveBgDoArchive(ForumRoot root, int32_t uniqueId);

// The task's state, for the sysop pages and the tests.
struct ArchiveBgStatus {
  bool scheduled = false;  // the task is on the RAM queue (or blocked there)
  bool running = false;    // a run is in progress
  LgDbTd runDate;          // of the run in progress or the last one
  std::vector<int32_t> pending;  // discussions still to expire
};
ArchiveBgStatus ArchiveBgState();

// How expiring moves and removes a discussion: the forum's own operations
// (ForumCatItemMove, ForumCatItemDestroy) until the exchange layer installs
// its journaling setters, so that expiration reaches the roll-forward log
// like every other change.  Installed once; a second installation halts
// ("ArchiveBgSetOps--twice").  Forgotten with the forum's callbacks.
struct ArchiveBgOps {
  std::function<uint16_t(const ForumFile& folder, const St& name, const ForumFile& target)> move;
  std::function<uint16_t(const ForumFile& folder, const St& name)> destroy;
};
void ArchiveBgSetOps(ArchiveBgOps ops);

// Layers above say when they are busy (a request being processed, the
// search index being built): the task then waits.  Kept in registration
// order; cleared with the forum's other callbacks.
using ArchiveBusyFn = std::function<bool()>;
void ArchiveBgOnBusy(ArchiveBusyFn fn);

// ---------------------------------------------------------------------------
// The record log.  Long-running forum tasks report lines (beginning " * ")
// to every registered recorder; with none registered the lines go to the
// event log (Wf_log_write, which puts the blank in front itself).
using ForumRecordFn = std::function<void(const St& line)>;
void ForumOnRecord(ForumRecordFn fn);
void ForumRecord(const St& line);

// ---------------------------------------------------------------------------
// The "deleted" file.
//
// Discussions removed by expiration (and by the delete actions of the web
// pages) are appended to the file "deleted" of the site's document
// directory in the export format, from which an import brings them back.
//
// Until the export writer exists (it will replace ForumExportDiscussion),
// a discussion is written here as far as one discussion needs:
//
//   <discussion title="T" date=D created=D flags=H inherits=H author=H
//     unique=H sortSeq=N from="" to="" itemSource="" alternative=""
//     template="" other="" messageId="" heading="">      (one line)
//     <access ...> ... </access>     only when it has its own list, every
//                                    line indented by two blanks
//     <message title="" date=D content-type=C parent=N author=H body=""
//       from="" to="" other="" messageId="" itemSource="" alternative="">
//                                    (one line per live message; parent
//                                    and author only when there is one,
//                                    the last six only when present)
//   </discussion>
//
// Quoted values are escaped as SGML data (StToSgmlData); H is hexadecimal
// in lower case without prefix, N decimal, D the date as
// "M2/D2/Y4.H4:I2:S2"; content types holding a blank, quote or ">" are
// quoted.  Authors are named by their unique identifier only: the user
// elements the full export writes before an item's first appearance are
// the export writer's to add.

// The directory the "deleted" file goes to ("" -- the default -- is the
// working directory).  The request layer sets the site's document
// directory at start-up.
void ForumSetDeletedDir(std::string dir);
std::string ForumDeletedFilePath();
// The discussion in the export format (above).  REQUIRES: a discussion.
St ForumExportDiscussion(const ForumFile& discussion);
// Appends the discussion to the "deleted" file (created when missing).
// Returns 0 or the file layer's status.
[[nodiscard]] uint16_t ForumDeletedFileAppend(const ForumFile& discussion);

// Forgets the busy checks and recorders (package termination).
void ForumModCallbacksClear();

}  // namespace quil
