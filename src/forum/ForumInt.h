// ForumInt: what the sources of the forum package share -- the interned
// field and type names, the root and the open-item record.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Forum.h"

namespace quil {

// Every field name the package uses, interned once per open of the root.
#define FORUM_FIELD_NAMES(X)                                                  \
  X(Type) X(Name) X(Date) X(StructRev) X(MsgRev) X(UniqueId) X(Moderated)     \
  X(NextUniqueId) X(File) X(Size) X(CategoryCount) X(Flags) X(Flags2)         \
  X(Flags3) X(Title) X(CreateDate) X(NextForum) X(Inherits) X(SortSeq)        \
  X(Parent) X(HtmlBanner) X(HtmlFooter) X(Template) X(FolderEmail)            \
  X(ArchiveDays) X(ArchiveTo) X(Newsgroup) X(LinkFolders) X(LinkWebs) X(Hits) \
  X(Posts) X(ChildrenHits) X(ChildrenPosts) X(AccPerm) X(AccDeny) X(EventId)  \
  X(User) X(Html) X(DeletedCount) X(ContentType) X(BodyData) X(MessageNumber) \
  X(MessageId) X(Enclosures) X(From) X(To) X(Other) X(Boundary) X(Source)     \
  X(Alternative) X(Item) X(Url) X(EmailUsername) X(MessageInfo)               \
  X(FolderEmailPostThru) X(GroupSize) X(Sysop) X(FolderEmailPw)               \
  X(FolderEmailReply) X(FolderEmailReplyTo) X(FolderEmailFrom)                \
  X(FolderEmailStripSig) X(Background) X(ListItems)                           \
  X(SaveCode) X(SavePosition) X(SavePositionHigh)

// Record types: X(member, text).
#define FORUM_TYPE_NAMES(X)                                                    \
  X(Root, "forum-root") X(Category, "forum-category") X(Topic, "forum-topic")  \
  X(Response, "forum-response") X(Link, "forum-link") X(Live, "forum-live")    \
  X(ShipCon, "forum-shipcon") X(Document, "forum-document")                    \
  X(DelEvent, "w-del-event") X(ModifyEvent, "w-modify-event")                  \
  X(MoveEvent, "w-move-event") X(DeletedCategory, "deleted-category")          \
  X(DeletedTopic, "deleted-topic") X(DeletedLink, "deleted-link")              \
  X(DeletedLive, "deleted-live") X(DeletedShipCon, "deleted-shipcon")          \
  X(RegisteredUser, "registered-user") X(GuestUser, "guest-user")              \
  X(UserGroup, "user-group") X(DeletedUser, "deleted-user")                    \
  X(DeletedGuest, "deleted-guest") X(DeletedGroup, "deleted-group")            \
  X(GroupRef, "group-ref") X(UserRef, "user-ref")                              \
  X(SysopSettings, "sysop-settings")

struct ForumFieldIds {
#define FORUM_FIELD_MEMBER(n) ChHandle n = 0;
  FORUM_FIELD_NAMES(FORUM_FIELD_MEMBER)
#undef FORUM_FIELD_MEMBER
#define FORUM_FIELD_MEMBER(name, field, dflt) ChHandle sysop##name = 0;
  FORUM_SYSOP_INTS(FORUM_FIELD_MEMBER)
#undef FORUM_FIELD_MEMBER
#define FORUM_FIELD_MEMBER(name) ChHandle sysop##name = 0;
  FORUM_SYSOP_TEXTS(FORUM_FIELD_MEMBER)
#undef FORUM_FIELD_MEMBER
  // Parenta .. Parentp.
  std::array<ChHandle, 16> parentLetters{};
};

struct ForumTypeIds {
#define FORUM_TYPE_MEMBER(member, text) ChHandle member = 0;
  FORUM_TYPE_NAMES(FORUM_TYPE_MEMBER)
#undef FORUM_TYPE_MEMBER
};

struct ForumAccUnfolded;  // ForumAcc.cc
struct ForumUserState;    // ForumUser.cc
struct ForumMsgCache;     // ForumRead.cc
struct ForumReadState;    // ForumRead.cc
struct ForumModState;     // ForumModerated.cc

struct ForumFileRec {
  int32_t refs = 0;
  int kind = kForumKindNone;
  ForumRoot root = nullptr;
  ChHandle rec = 0;    // item record (head record of folders, discussions)
  ChHandle list = 0;   // the record database of folders and discussions
  ChHandle entry = 0;  // the entry record in the parent folder
  int32_t uniqueId = 0;
  ForumFileRec* parent = nullptr;  // holds a reference
  int32_t messageIndex = -1;       // messages: position in the discussion
  // A document detached while this handle was open: its record is
  // destroyed when the last holder lets go.
  bool destroyOnClose = false;
  // Cached attributes.
  bool flagsValid = false;
  uint32_t flags = 0;
  uint32_t inherits = kForumInheritsDefault;
  int32_t sortSeq = 0;
  bool titleValid = false;
  St title;
  // The access list the item uses (shared with the items that inherit it);
  // null until first asked.
  std::shared_ptr<ForumAccUnfolded> acc;
  // Discussions: the table of their messages, built on first need
  // (ForumMsgCacheCreate) and released with the handle.
  std::shared_ptr<ForumMsgCache> msgCache;
};

struct ForumRootRec {
  ChFi file = nullptr;
  ChPart part = 0;
  ChHandle db = 0;
  ChHandle head = 0;
  ChHandle sysopRec = 0;
  ChHandle uniqueIndex = 0;  // BtihDb: identifier -> record
  ChHandle messageIds = 0;   // BtDb: message identifier -> message
  ChHandle messageInfo = 0;  // BtmDb: (date, identifier) -> message
  ForumFieldIds f;
  ForumTypeIds t;
  int32_t structRev = 1;
  int32_t msgRev = 1;
  int64_t itemCount = 0;
  // Cached settings.
  int32_t flags[3] = {kForumFlagsDefault, kForumFlags2Default, kForumFlags3Default};
  // Open items by unique identifier; owned here, freed at reference 0.
  std::unordered_map<int32_t, std::unique_ptr<ForumFileRec>> open;
  // Messages have no identifier until asked; their handles are kept apart.
  std::vector<std::unique_ptr<ForumFileRec>> anonymous;
  // The root's own handles.
  ForumFile top, users, guests, groups;
  // Periodic saves.
  bool changed = false;
  int32_t saveTimer = 0;
  int idleSlot = -1;
  // Where the next message body goes (ForumItemCreate).
  ChHandle lastBody = 0;
  // Users, sessions and access lists of the root (ForumUser.cc).
  std::shared_ptr<ForumUserState> userState;
  // The roll-forward log, when one is kept (ForumSave.cc).
  std::unique_ptr<ForumLogSink> logSink;
  // Read marks: the guests' cut-off (ForumRead.cc); the moderation queue's
  // count (ForumModerated.cc).  Made on first use.
  std::shared_ptr<ForumReadState> readState;
  std::shared_ptr<ForumModState> modState;
};

// Interns every name of the package in the root's file.
void ForumInternNames(ForumRoot root);
// A new open-item record with one reference, entered in the cache.
ForumFileRec* ForumFileRecNew(ForumRoot root, int kind, ChHandle rec, int32_t uniqueId);
// The open item of rec, of a known kind, below parent (may be null): the
// cached one, or a new one holding a reference to parent.
ForumFile ForumFileBelow(ForumRoot root, ForumFileRec* parent, int kind, ChHandle rec,
                         ChHandle entry, int32_t messageIndex);
// The handle of a folder child record, from the cache or new.
ForumFile ForumFileFromRec(ForumRoot root, ChHandle rec, ChHandle entry,
                           const ForumFile& parent);
// The kind of a record by its Type.
int ForumKindOfRec(ForumRoot root, ChHandle rec);
// Takes the open item of identifier id out of the open-item cache: its
// holders keep it, new opens do not find it.
void ForumFileUncache(ForumRoot root, int32_t id);
// The same for every open item at or below item (item included).
void ForumFileUncacheBelow(ForumRoot root, const ForumFileRec* item);
// A new reference to an open item.
inline ForumFile ForumFileShare(ForumFileRec* rec) {
  ForumFileRefInc(rec);
  return ForumFile(rec);
}
// The open item of identifier id whose record is rec (cached or not);
// null when none is open.
ForumFileRec* ForumFileFindOpen(ForumRoot root, int32_t id, ChHandle rec);
// The folders-only rule of creation and rights (ForumSysopSiteKind).
bool ForumSiteIsFoldersOnly(ForumRoot root);
// The registered newsgroup look-ups, in order (ForumRoot.cc).
[[nodiscard]] bool ForumNewsgroupLookup(ForumRoot root, const St& name, ForumFile* out);
// Link counts of a folder record: the counter a link of these flags goes
// to (kForumFlagLinkFolder for LinkFolders, kForumFlagLinkContainer for
// LinkWebs, 0 for a discussion link, which neither counts), and the change
// of that counter by delta (both counters made 0 when absent).
uint32_t ForumLinkCountBit(uint32_t flags);
void ForumLinkCount(ForumRoot root, ChHandle folder, uint32_t flags, int32_t delta);
// The periodic save timer.
void ForumSaveArm(ForumRoot root);
void ForumSaveDisarm(ForumRoot root);
// The message callbacks and the item callbacks.
void ForumNotifyPosted(const ForumPostEvent& event);
void ForumNotifyCreated(ForumRoot root, ChHandle rec);
void ForumNotifyDeleted(ForumRoot root, ChHandle rec);
void ForumNotifySaveMarker(ForumRoot root, const St& code, int64_t position);
void ForumNotifyDbOpened(const std::string& path, ForumRoot root);
void ForumNotifyUniqueIdGiven(ForumRoot root, ChHandle rec, int32_t id);
// Integer field with a default.
int32_t ForumRecInt(ChHandle rec, ChHandle field, int32_t dflt);
// Writes a text field; a nil value removes it.
void ForumRecPutTextOrRemove(ChHandle rec, ChHandle field, St value);
// The record database whose head rec's field names (group members,
// attached documents), made near rec when missing and create is set; 0
// otherwise.
ChHandle ForumRecSubDb(ChHandle rec, ChHandle field, bool create);
// Read marks at the record level (ForumRead.cc), for walks that do not
// open every discussion: one past the last position a discussion record
// has used; whether it has a message new for user; marks it read to its
// end.
int32_t ForumDiscussionPositions(ForumRoot root, ChHandle discussionRec);
bool ForumRecHasNew(ForumRoot root, ChHandle discussionRec, ChHandle user);
void ForumRecMarkRead(ForumRoot root, ChHandle discussionRec, ChHandle user);
// Root creation and opening.
ChHandle ForumRootCreate(ChPart part);
ForumRoot ForumRootOpen(ChPart part, ChHandle db);
void ForumRootClose(ForumRoot root);

}  // namespace quil
