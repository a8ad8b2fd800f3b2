// The moderation queue: queuing posts, reading the entries, approving and
// rejecting them (ForumModerated.h).
#include "ForumModerated.h"

#include "Bt.h"
#include "ForumInt.h"
#include "ForumUser.h"
#include "Ma.h"

namespace quil {

struct ForumModState {
  int32_t count = -1;  // entries, -1 until read from the queue's head
};

namespace {

ForumModState& ModState(ForumRoot root) {
  if (!root->modState) root->modState = std::make_shared<ForumModState>();
  return *root->modState;
}

// The queue's head record, made when an older root has none.
ChHandle QueueHead(ForumRoot root) {
  ChHandle head = LgDbRecGetRec(root->head, root->f.Moderated);
  if (head == 0) {
    head = LgDbGetHead(LgDbCreate(root->head));
    LgDbRecPutInt(head, root->f.Size, 0);
    LgDbRecPutRec(root->head, root->f.Moderated, head);
    ForumChanged(root, false);
  }
  return head;
}

// The entry at position, 0 for none.
ChHandle Entry(ForumRoot root, int32_t position) {
  if (position < 0 || position >= ForumModeratedItemCount(root)) return 0;
  return LgDbRecGet(ForumModeratedOpen(root), uint32_t(position));
}

St EntryText(ForumRoot root, int32_t position, ChHandle field) {
  ChHandle rec = Entry(root, position);
  return rec ? LgDbRecGetText(rec, field) : St();
}

int32_t EntryInt(ForumRoot root, int32_t position, ChHandle field, int32_t absent) {
  ChHandle rec = Entry(root, position);
  return rec ? ForumRecInt(rec, field, absent) : absent;
}

// A discussion or folder handle whose record still has its live type.
bool IsLive(const ForumFile& item, ChHandle type) {
  return item && LgDbRecGetTextId(ForumFileRecord(item), ForumFileRoot(item)->f.Type) == type;
}

bool LiveDiscussion(const ForumFile& item) {
  return ForumFileIsForum(item) && IsLive(item, ForumFileRoot(item)->t.Topic);
}

bool LiveFolder(const ForumFile& item) {
  return ForumFileIsCategory(item) && IsLive(item, ForumFileRoot(item)->t.Category);
}

// Creates what an approved entry holds.
uint16_t Approve(ForumRoot root, ChHandle rec, ForumModeratedResult* result, bool quiet) {
  const ForumFieldIds& f = root->f;
  ForumFile target = ForumFileOpenUnique(root, ForumRecInt(rec, f.Parent, 0));
  int type = ForumRecInt(rec, f.Type, 0);
  ChHandle author = LgDbRecGetRec(rec, f.User);
  // An author removed meanwhile posts as nobody.
  if (author != 0 && !ForumUserIsLegal(root, author)) author = 0;
  St title = LgDbRecGetText(rec, f.Title);
  St body = LgDbRecGetText(rec, f.BodyData);
  St contentType = LgDbRecGetText(rec, f.ContentType);
  St other = LgDbRecGetText(rec, f.Other);
  bool showAuthor = (ForumRecInt(rec, f.Flags, 0) & 1) != 0;
  if (type == kForumModMessage) {
    if (!LiveDiscussion(target)) return kForumNotContainer;
    int32_t replyTo = ForumRecInt(rec, f.Item, -1);
    if (replyTo >= 0 && ForumItemRec(target, replyTo) == 0) replyTo = -1;
    int32_t index = -1;
    uint16_t status =
        ForumItemCreate(target, author, title, contentType, body, replyTo, quiet, &index);
    if (status != 0) return status;
    St from = LgDbRecGetText(rec, f.From);
    St messageId = LgDbRecGetText(rec, f.MessageId);
    if (!from.Empty()) status = ForumItemSetFrom(target, index, std::move(from));
    if (status == 0 && !messageId.Empty())
      status = ForumItemSetMessageId(target, index, std::move(messageId));
    if (status == 0 && !other.Empty()) status = ForumItemSetOther(target, index, std::move(other));
    MA_CHECK(ForumDebugFlag, status == 0, "ForumModeratedItemUpdate--new message");
    ForumFileCountPost(target);
    if (result) {
      result->item = target;
      result->index = index;
    }
    return 0;
  }
  if (type != kForumModDiscussion && type != kForumModFolder) return kForumBadType;
  if (!LiveFolder(target)) return kForumNotContainer;
  bool isFolder = type == kForumModFolder;
  St finalName;
  uint16_t status = ForumCatItemCreate(
      target, StCStrXfm(isFolder ? "forum-category" : "forum-topic"),
      isFolder ? title : StCStrXfm("1"), title, author, false, &finalName);
  if (status != 0) return status;
  ForumFile item = ForumFileHasChild(target, finalName);
  MA_CHECK(ForumDebugFlag, item, "ForumModeratedItemUpdate--new item");
  if (!body.Empty()) status = ForumCatItemSetHtml(target, finalName, body);
  MA_CHECK(ForumDebugFlag, status == 0, "ForumModeratedItemUpdate--heading");
  ForumFileSetShowAuthor(item, showAuthor);
  if (!other.Empty()) {
    LgDbRecPutText(ForumFileRecord(item), f.Other, std::move(other));
    ForumFileChanged(item);
  }
  ForumFileCountPost(target);
  if (result) {
    result->item = item;
    result->index = -1;
  }
  return 0;
}

}  // namespace

ChHandle ForumModeratedOpen(ForumRoot root) { return LgDbRecGetList(QueueHead(root)); }

int32_t ForumModeratedItemCount(ForumRoot root) {
  ForumModState& s = ModState(root);
  if (s.count < 0) s.count = ForumRecInt(QueueHead(root), root->f.Size, 0);
  return s.count;
}

uint16_t ForumFileAddModerated(const ForumFile& target, int32_t replyTo, int type,
                               ChHandle author, const St& title, const St& body, bool showAuthor,
                               const St& contentType, const St& other, int32_t* position) {
  if (type == kForumModMessage) {
    if (!LiveDiscussion(target)) return kForumNotContainer;
  } else if (type == kForumModDiscussion || type == kForumModFolder) {
    if (!LiveFolder(target)) return kForumNotContainer;
  } else {
    return kForumBadType;
  }
  ForumRoot root = ForumFileRoot(target);
  const ForumFieldIds& f = root->f;
  ChHandle head = QueueHead(root);
  ChHandle db = LgDbRecGetList(head);
  ChHandle rec = LgDbRecCreate(db);
  LgDbRecPutInt(rec, f.Parent, ForumFileUniqueId(target));
  if (type == kForumModMessage && replyTo >= 0) LgDbRecPutInt(rec, f.Item, replyTo);
  LgDbRecPutInt(rec, f.Type, type);
  if (author != 0) LgDbRecPutRec(rec, f.User, author);
  LgDbRecPutText(rec, f.Title, title);
  LgDbRecPutText(rec, f.BodyData, body);
  if (!other.Empty()) LgDbRecPutText(rec, f.Other, other);
  LgDbRecPutInt(rec, f.Flags, showAuthor ? 1 : 0);
  LgDbRecPutText(rec, f.ContentType, contentType);
  LgDbRecPutTd(rec, f.Date, ForumNow());
  int32_t at = ForumModeratedItemCount(root);
  (void)LgDbRecPut(db, rec, uint32_t(at));
  LgDbRecPutInt(head, f.Size, at + 1);
  ModState(root).count = at + 1;
  (void)ForumUniqueIdFromRec(root, rec);
  ForumChanged(root, false);
  if (position) *position = at;
  return 0;
}

bool ForumModeratedExists(ForumRoot root, int32_t position) { return Entry(root, position) != 0; }

int32_t ForumModeratedLookup(ForumRoot root, int32_t uniqueId) {
  ChHandle rec = ForumRecFromUniqueId(root, uniqueId);
  if (rec == 0) return -1;
  ChHandle db = ForumModeratedOpen(root);
  uint32_t position = 0;
  if (LgDbRecGetList(rec) != db || !LgDbRecLookup(db, rec, &position)) return -1;
  return int32_t(position);
}

ForumFile ForumModeratedItemOpen(ForumRoot root, int32_t position) {
  ChHandle rec = Entry(root, position);
  if (rec == 0) return ForumFile();
  return ForumFileOpenUnique(root, ForumRecInt(rec, root->f.Parent, 0));
}

int ForumModeratedItemType(ForumRoot root, int32_t position) {
  return EntryInt(root, position, root->f.Type, 0);
}

LgDbTd ForumModeratedItemDate(ForumRoot root, int32_t position) {
  LgDbTd td;
  if (ChHandle rec = Entry(root, position)) (void)LgDbRecGetTd(rec, root->f.Date, &td);
  return td;
}

ChHandle ForumModeratedItemAuthor(ForumRoot root, int32_t position) {
  ChHandle rec = Entry(root, position);
  return rec ? LgDbRecGetRec(rec, root->f.User) : 0;
}

St ForumModeratedItemTitle(ForumRoot root, int32_t position) {
  return EntryText(root, position, root->f.Title);
}
St ForumModeratedItemData(ForumRoot root, int32_t position) {
  return EntryText(root, position, root->f.BodyData);
}
St ForumModeratedItemContentType(ForumRoot root, int32_t position) {
  return EntryText(root, position, root->f.ContentType);
}
St ForumModeratedItemOther(ForumRoot root, int32_t position) {
  return EntryText(root, position, root->f.Other);
}
St ForumModeratedItemFrom(ForumRoot root, int32_t position) {
  return EntryText(root, position, root->f.From);
}
St ForumModeratedItemMessageId(ForumRoot root, int32_t position) {
  return EntryText(root, position, root->f.MessageId);
}
bool ForumModeratedItemShowAuthor(ForumRoot root, int32_t position) {
  return (EntryInt(root, position, root->f.Flags, 0) & 1) != 0;
}
int32_t ForumModeratedItemReplyTo(ForumRoot root, int32_t position) {
  return EntryInt(root, position, root->f.Item, -1);
}
int32_t ForumModeratedItemTarget(ForumRoot root, int32_t position) {
  return EntryInt(root, position, root->f.Parent, 0);
}
int32_t ForumModeratedItemUniqueId(ForumRoot root, int32_t position) {
  return EntryInt(root, position, root->f.UniqueId, 0);
}

uint16_t ForumModeratedItemSetDate(ForumRoot root, int32_t position, LgDbTd date) {
  ChHandle rec = Entry(root, position);
  if (rec == 0) return kForumNoEntry;
  LgDbRecPutTd(rec, root->f.Date, date);
  ForumChanged(root, false);
  return 0;
}

uint16_t ForumModeratedItemSetMail(ForumRoot root, int32_t position, St from, St messageId) {
  ChHandle rec = Entry(root, position);
  if (rec == 0) return kForumNoEntry;
  ForumRecPutTextOrRemove(rec, root->f.From, std::move(from));
  ForumRecPutTextOrRemove(rec, root->f.MessageId, std::move(messageId));
  ForumChanged(root, false);
  return 0;
}

uint16_t ForumModeratedItemUpdate(ForumRoot root, int32_t position, bool approve,
                                  ForumModeratedResult* result, bool quiet) {
  ChHandle rec = Entry(root, position);
  if (rec == 0) return kForumNoEntry;
  uint16_t status = approve ? Approve(root, rec, result, quiet) : 0;
  ChHandle head = QueueHead(root);
  ChHandle db = LgDbRecGetList(head);
  ChHandle removed = LgDbRecRemove(db, uint32_t(position));
  MA_CHECK(ForumDebugFlag, removed == rec, "ForumModeratedItemUpdate--queue");
  int32_t count = ForumModeratedItemCount(root) - 1;
  LgDbRecPutInt(head, root->f.Size, count);
  ModState(root).count = count;
  int32_t id = 0;
  if (LgDbRecGetInt(rec, root->f.UniqueId, &id))
    (void)BtihDbRemoveExact(root->uniqueIndex, uint32_t(id), rec);
  LgDbRecDestroy(rec);
  ForumChanged(root, false);
  return status;
}

}  // namespace quil
