// Messages of discussions: posting, deleting, reading and changing them,
// and the two message indexes (by mail/news identifier and by date).
#include "Bt.h"
#include "ForumInt.h"
#include "Ma.h"

namespace quil {

namespace {

ForumFileRec* Discussion(const ForumFile& discussion, const char* what) {
  MA_CHECK(ForumDebugFlag, ForumFileIsForum(discussion), what);
  return discussion.Rec();
}

ChHandle MessageAt(ForumFileRec* d, int32_t index) {
  return index < 0 ? 0 : LgDbRecGet(d->list, uint32_t(index));
}

}  // namespace

void ForumItemCreate(const ForumFile& discussion, ChHandle author, const St& title,
                     const St& contentType, const St& body, int32_t replyTo, bool quiet,
                     int32_t* index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ForumRoot root = d->root;
  const ForumFieldIds& f = root->f;
  // The body goes first, next to the body posted last, and the record and
  // its small values after it: messages then fill their pages one after
  // the other instead of leaving each page with a hole the next body does
  // not fit.
  ChHandle near = root->lastBody != 0 && ChIsLegal(root->lastBody) &&
                          ChPartOf(root->lastBody) == root->part
                      ? root->lastBody
                      : d->list;
  ChHandle bodyHnd = LgDbTextToHnd(body, near);
  root->lastBody = bodyHnd;
  ChHandle msg = LgDbRecCreate(bodyHnd);
  if (author != 0) LgDbRecPutRec(msg, f.User, author);
  if (!title.Empty()) LgDbRecPutText(msg, f.Title, title);
  if (!contentType.Empty() && StCompare(contentType, StCStrXfm("text"), nullptr) != kStEqual)
    LgDbRecPutText(msg, f.ContentType, contentType);
  LgDbRecPutInt(msg, f.Size, -body.Length());
  LgDbRecFieldPut(msg, f.BodyData, bodyHnd);
  // The discussion's Size counts every position ever used, so a deleted
  // last message does not give its position again.
  ChHandle sizeHnd = LgDbIntHnd(d->rec, f.Size);
  int32_t pos = sizeHnd ? LgDbIntHndValue(sizeHnd) : int32_t(LgDbLength(d->list));
  LgDbRecPut(d->list, msg, uint32_t(pos));
  if (sizeHnd) {
    LgDbIntHndSet(sizeHnd, pos + 1);
    ChMarkModified(sizeHnd);
  } else {
    LgDbRecPutInt(d->rec, f.Size, pos + 1);
  }
  LgDbTd now = ForumNow();
  LgDbRecPutTd(msg, f.Date, now);
  // The number is the position until messages have been deleted.
  int32_t deleted = ForumRecInt(d->rec, f.DeletedCount, 0);
  if (deleted > 0) LgDbRecPutInt(msg, f.MessageNumber, pos - deleted);
  if (replyTo >= 0) LgDbRecPutInt(msg, f.Parent, replyTo);
  LgDbRecPutInt(msg, f.Item, pos);
  int32_t id = ForumUniqueIdFromRec(root, msg);
  BtmEntry entry;
  entry.key1 = now.date;
  entry.key2 = id;
  entry.date = uint32_t(now.date);
  entry.time = uint32_t(now.time);
  entry.uniqueId = uint32_t(id);
  entry.message = msg;
  entry.author = author;
  (void)BtmDbInsert(root->messageInfo, entry);
  LgDbRecPutTd(d->rec, f.Date, now);
  if (d->parent) LgDbRecPutTd(d->parent->rec, f.Date, now);
  ForumChanged(root, false);
  if (!quiet) ForumNotifyPosted(ForumPostEvent{root, d->rec, msg, pos});
  ++root->itemCount;
  if (index) *index = pos;
}

void ForumMessageUnindex(ForumRoot root, ChHandle msg) {
  St messageId = LgDbRecGetText(msg, root->f.MessageId);
  if (!messageId.Empty()) (void)BtDbRemove(root->messageIds, messageId, msg, 0);
  LgDbTd date;
  int32_t id = 0;
  if (LgDbRecGetTd(msg, root->f.Date, &date) && LgDbRecGetInt(msg, root->f.UniqueId, &id))
    (void)BtmDbRemove(root->messageInfo, date.date, id);
}

bool ForumItemDestroy(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  if (msg == 0) return false;
  ForumRoot root = d->root;
  ForumMessageUnindex(root, msg);
  (void)LgDbRecPut(d->list, 0, uint32_t(index));
  LgDbRecPlusInt(d->rec, root->f.DeletedCount, 1);
  ForumChanged(root, false);
  return true;
}

ChHandle ForumItemRec(const ForumFile& discussion, int32_t index) {
  return MessageAt(Discussion(discussion, "ForumFileIsForum--Forum"), index);
}

St ForumItemTitle(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle rec = index == -1 ? d->rec : MessageAt(d, index);
  return rec ? LgDbRecGetText(rec, d->root->f.Title) : St();
}

St ForumItemData(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  if (index == -1) return LgDbRecGetText(d->rec, d->root->f.Html);
  ChHandle msg = MessageAt(d, index);
  return msg ? LgDbRecGetText(msg, d->root->f.BodyData) : St();
}

St ForumItemContentType(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  if (!msg) return St();
  St type = LgDbRecGetText(msg, d->root->f.ContentType);
  return type.IsNil() ? StCStrXfm("text") : type;
}

LgDbTd ForumItemDate(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle rec = index == -1 ? d->rec : MessageAt(d, index);
  LgDbTd td;
  if (rec) (void)LgDbRecGetTd(rec, d->root->f.Date, &td);
  return td;
}

ChHandle ForumItemAuthor(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle rec = index == -1 ? d->rec : MessageAt(d, index);
  return rec ? LgDbRecGetRec(rec, d->root->f.User) : 0;
}

int32_t ForumResponseSize(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  int32_t size = 0;
  if (!msg || !LgDbRecGetInt(msg, d->root->f.Size, &size))
    MaAssertFailure("ForumResponseSize--could not get Size");
  return size < 0 ? -size : size;
}

int32_t ForumItemNumber(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  return msg ? ForumRecInt(msg, d->root->f.MessageNumber, index) : index;
}

int32_t ForumItemReplyTo(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  return msg ? ForumRecInt(msg, d->root->f.Parent, -1) : -1;
}

namespace {
// Writes through a message and marks the change.
template <class Write>
void ChangeMessage(const ForumFile& discussion, int32_t index, Write write) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  MA_CHECK(ForumDebugFlag, msg != 0, "ForumItemSet--no message");
  write(d->root, msg);
  ForumChanged(d->root, false);
}
}  // namespace

void ForumItemSetTitle(const ForumFile& discussion, int32_t index, St title) {
  ChangeMessage(discussion, index, [&](ForumRoot root, ChHandle msg) {
    if (title.Empty()) {
      (void)LgDbRecFieldRemove(msg, root->f.Title);
    } else {
      LgDbRecPutText(msg, root->f.Title, std::move(title));
    }
  });
}

void ForumItemSetData(const ForumFile& discussion, int32_t index, const St& body) {
  ChangeMessage(discussion, index, [&](ForumRoot root, ChHandle msg) {
    LgDbRecPutInt(msg, root->f.Size, -body.Length());
    LgDbRecPutText(msg, root->f.BodyData, body);
  });
}

void ForumItemSetAuthor(const ForumFile& discussion, int32_t index, ChHandle author) {
  ChangeMessage(discussion, index, [&](ForumRoot root, ChHandle msg) {
    if (author == 0) {
      (void)LgDbRecFieldRemove(msg, root->f.User);
    } else {
      LgDbRecPutRec(msg, root->f.User, author);
    }
  });
}

void ForumItemSetDate(const ForumFile& discussion, int32_t index, LgDbTd date) {
  ChangeMessage(discussion, index, [&](ForumRoot root, ChHandle msg) {
    LgDbTd old;
    int32_t id = ForumUniqueIdFromRec(root, msg);
    BtmEntry entry;
    if (LgDbRecGetTd(msg, root->f.Date, &old) &&
        BtmDbLookup(root->messageInfo, old.date, id, &entry)) {
      (void)BtmDbRemove(root->messageInfo, old.date, id);
      entry.key1 = date.date;
      entry.date = uint32_t(date.date);
      entry.time = uint32_t(date.time);
      (void)BtmDbInsert(root->messageInfo, entry);
    }
    LgDbRecPutTd(msg, root->f.Date, date);
  });
}

void ForumItemSetMessageId(const ForumFile& discussion, int32_t index, const St& messageId) {
  ChangeMessage(discussion, index, [&](ForumRoot root, ChHandle msg) {
    St old = LgDbRecGetText(msg, root->f.MessageId);
    if (!old.Empty()) (void)BtDbRemove(root->messageIds, old, msg, 0);
    LgDbRecPutText(msg, root->f.MessageId, messageId);
    (void)BtDbInsert(root->messageIds, messageId, msg, 0);
  });
}

ChHandle ForumMessageIdLookup(ForumRoot root, const St& messageId) {
  ChHandle msg = 0;
  // The index keeps 48 bytes of a key; the whole identifier decides.
  St key = StSubstr(messageId, 0, 48);
  uint32_t first = 0;
  if (!BtDbLookupFirstIx(root->messageIds, key, &first)) return 0;
  for (uint32_t i = first; BtDbIndex(root->messageIds, i, nullptr, &msg, nullptr); ++i) {
    St stored = LgDbRecGetText(msg, root->f.MessageId);
    if (stored == messageId) return msg;
    if (StCompare(StSubstr(stored, 0, 48), key, StASCIIUpper) != kStEqual) break;
  }
  return 0;
}

int32_t ForumMessageCount(const ForumFile& discussion) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  return ForumRecInt(d->rec, d->root->f.Size, 0) - ForumRecInt(d->rec, d->root->f.DeletedCount, 0);
}

uint32_t ForumMessageInfoCount(ForumRoot root) { return BtmDbCount(root->messageInfo); }

}  // namespace quil
