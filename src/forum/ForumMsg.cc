// Messages of discussions: posting, deleting, reading and changing them,
// walking the live ones, the two message indexes (by mail/news identifier
// and by date), and the documents attached to messages.
#include <algorithm>

#include "Bt.h"
#include "ForumInt.h"
#include "ForumUser.h"
#include "Ma.h"

namespace quil {

namespace {

// Readers: the handle must be a discussion (the caller's check).
ForumFileRec* Discussion(const ForumFile& discussion, const char* what) {
  MA_CHECK(ForumDebugFlag, ForumFileIsForum(discussion), what);
  return discussion.Rec();
}

ChHandle MessageAt(ForumFileRec* d, int32_t index) {
  return index < 0 ? 0 : LgDbRecGet(d->list, uint32_t(index));
}

// The record a reader of index works on: the discussion's own for -1.
ChHandle RecordAt(ForumFileRec* d, int32_t index) {
  return index == -1 ? d->rec : MessageAt(d, index);
}

// The status of an operation on a discussion: 2303 unless it is one that
// still lives.
uint16_t LiveDiscussion(const ForumFile& discussion) {
  if (!ForumFileIsForum(discussion)) return kForumNotContainer;
  ForumFileRec* d = discussion.Rec();
  if (LgDbRecGetTextId(d->rec, d->root->f.Type) != d->root->t.Topic) return kForumNotContainer;
  return 0;
}

// One past the last position a discussion has used.
int32_t Positions(ForumFileRec* d) {
  return ForumRecInt(d->rec, d->root->f.Size, int32_t(LgDbLength(d->list)));
}

// Writes through the record at index (-1: the discussion's own when
// headToo) and marks the change: 0, 2304 or 2303.
template <class Write>
uint16_t ChangeRecord(const ForumFile& discussion, int32_t index, bool headToo, Write write) {
  uint16_t status = LiveDiscussion(discussion);
  if (status != 0) return status;
  ForumFileRec* d = discussion.Rec();
  ChHandle rec = headToo ? RecordAt(d, index) : MessageAt(d, index);
  if (rec == 0) return kForumNoEntry;
  write(d->root, rec);
  ForumChanged(d->root, false);
  return 0;
}

}  // namespace

uint16_t ForumItemCreate(const ForumFile& discussion, ChHandle author, const St& title,
                         const St& contentType, const St& body, int32_t replyTo, bool quiet,
                         int32_t* index) {
  uint16_t status = LiveDiscussion(discussion);
  if (status != 0) return status;
  ForumFileRec* d = discussion.Rec();
  if (replyTo >= 0 && MessageAt(d, replyTo) == 0) return kForumNoEntry;
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
  if (ForumIsRecordPrincipal(author)) ForumUserPostAdd(root, author, msg);
  if (!quiet) ForumNotifyPosted(ForumPostEvent{root, d->rec, msg, pos});
  ++root->itemCount;
  if (index) *index = pos;
  return 0;
}

void ForumMessageUnindex(ForumRoot root, ChHandle msg) {
  St messageId = LgDbRecGetText(msg, root->f.MessageId);
  if (!messageId.Empty()) (void)BtDbRemove(root->messageIds, messageId, msg, 0);
  LgDbTd date;
  int32_t id = 0;
  if (LgDbRecGetTd(msg, root->f.Date, &date) && LgDbRecGetInt(msg, root->f.UniqueId, &id))
    (void)BtmDbRemove(root->messageInfo, date.date, id);
}

uint16_t ForumItemDestroy(const ForumFile& discussion, int32_t index) {
  uint16_t status = LiveDiscussion(discussion);
  if (status != 0) return status;
  ForumFileRec* d = discussion.Rec();
  ChHandle msg = MessageAt(d, index);
  if (msg == 0) return kForumNoEntry;
  ForumRoot root = d->root;
  ForumMessageUnindex(root, msg);
  (void)LgDbRecPut(d->list, 0, uint32_t(index));
  LgDbRecPlusInt(d->rec, root->f.DeletedCount, 1);
  int32_t id = 0;
  if (LgDbRecGetInt(msg, root->f.UniqueId, &id)) {
    if (ForumFileRec* open = ForumFileFindOpen(root, id, msg)) ForumFileUncacheBelow(root, open);
  }
  ForumChanged(root, false);
  return 0;
}

ChHandle ForumItemRec(const ForumFile& discussion, int32_t index) {
  return MessageAt(Discussion(discussion, "ForumFileIsForum--Forum"), index);
}

St ForumItemTitle(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle rec = RecordAt(d, index);
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
  ChHandle rec = RecordAt(d, index);
  LgDbTd td;
  if (rec) (void)LgDbRecGetTd(rec, d->root->f.Date, &td);
  return td;
}

ChHandle ForumItemAuthor(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle rec = RecordAt(d, index);
  return rec ? LgDbRecGetRec(rec, d->root->f.User) : 0;
}

int32_t ForumResponseSize(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  ChHandle msg = MessageAt(d, index);
  if (msg == 0) return -1;
  int32_t size = 0;
  if (!LgDbRecGetInt(msg, d->root->f.Size, &size))
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

uint16_t ForumItemSetTitle(const ForumFile& discussion, int32_t index, St title) {
  return ChangeRecord(discussion, index, false, [&](ForumRoot root, ChHandle msg) {
    if (title.Empty()) {
      (void)LgDbRecFieldRemove(msg, root->f.Title);
    } else {
      LgDbRecPutText(msg, root->f.Title, std::move(title));
    }
  });
}

uint16_t ForumItemSetData(const ForumFile& discussion, int32_t index, const St& body) {
  return ChangeRecord(discussion, index, false, [&](ForumRoot root, ChHandle msg) {
    LgDbRecPutInt(msg, root->f.Size, -body.Length());
    LgDbRecPutText(msg, root->f.BodyData, body);
  });
}

uint16_t ForumItemSetAuthor(const ForumFile& discussion, int32_t index, ChHandle author) {
  return ChangeRecord(discussion, index, false, [&](ForumRoot root, ChHandle msg) {
    if (author == 0) {
      (void)LgDbRecFieldRemove(msg, root->f.User);
    } else {
      LgDbRecPutRec(msg, root->f.User, author);
    }
  });
}

uint16_t ForumItemSetDate(const ForumFile& discussion, int32_t index, LgDbTd date) {
  return ChangeRecord(discussion, index, false, [&](ForumRoot root, ChHandle msg) {
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

#define FORUM_ITEM_TEXT_GET(name)                                              \
  St ForumItem##name(const ForumFile& discussion, int32_t index) {             \
    ForumFileRec* d = Discussion(discussion, "ForumItem" #name "--Forum");     \
    ChHandle rec = RecordAt(d, index);                                         \
    return rec ? LgDbRecGetText(rec, d->root->f.name) : St();                  \
  }
FORUM_ITEM_TEXTS(FORUM_ITEM_TEXT_GET)
#undef FORUM_ITEM_TEXT_GET

#define FORUM_ITEM_TEXT_SET(name)                                                   \
  uint16_t ForumItemSet##name(const ForumFile& discussion, int32_t index, St value) { \
    return ChangeRecord(discussion, index, true, [&](ForumRoot root, ChHandle rec) {  \
      ForumRecPutTextOrRemove(rec, root->f.name, std::move(value));                          \
    });                                                                               \
  }
FORUM_ITEM_TEXT_SET(Source)
FORUM_ITEM_TEXT_SET(From)
FORUM_ITEM_TEXT_SET(To)
FORUM_ITEM_TEXT_SET(Other)
FORUM_ITEM_TEXT_SET(Boundary)
FORUM_ITEM_TEXT_SET(Alternative)
#undef FORUM_ITEM_TEXT_SET

uint16_t ForumItemSetMessageId(const ForumFile& discussion, int32_t index, St messageId) {
  return ChangeRecord(discussion, index, true, [&](ForumRoot root, ChHandle rec) {
    St old = LgDbRecGetText(rec, root->f.MessageId);
    if (!old.Empty()) (void)BtDbRemove(root->messageIds, old, rec, 0);
    if (!messageId.Empty()) (void)BtDbInsert(root->messageIds, messageId, rec, 0);
    ForumRecPutTextOrRemove(rec, root->f.MessageId, std::move(messageId));
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

// ---------------------------------------------------------------------------
// Walking the live messages.

int32_t ForumMessageCount(const ForumFile& discussion) {
  ForumFileRec* d = Discussion(discussion, "ForumFileIsForum--Forum");
  return ForumRecInt(d->rec, d->root->f.Size, 0) - ForumRecInt(d->rec, d->root->f.DeletedCount, 0);
}

int32_t ForumMessageNext(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumMessageNext--Forum");
  uint32_t next = LgDbNext(d->list, index < 0 ? kLgDbNoPos : uint32_t(index));
  return next == kLgDbNoPos || next >= uint32_t(Positions(d)) ? -1 : int32_t(next);
}

int32_t ForumMessageFirst(const ForumFile& discussion) {
  return ForumMessageNext(discussion, -1);
}

int32_t ForumMessagePrev(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumMessagePrev--Forum");
  for (int32_t pos = std::min(index, Positions(d)) - 1; pos >= 0; --pos)
    if (MessageAt(d, pos) != 0) return pos;
  return -1;
}

int32_t ForumMessageLast(const ForumFile& discussion) {
  ForumFileRec* d = Discussion(discussion, "ForumMessageLast--Forum");
  return ForumMessagePrev(discussion, Positions(d));
}

std::vector<int32_t> ForumMessagesLast(const ForumFile& discussion, int32_t before,
                                       int32_t maxCount, int32_t maxBytes) {
  ForumFileRec* d = Discussion(discussion, "ForumMessagesLast--Forum");
  std::vector<int32_t> out;
  int64_t bytes = 0;
  for (int32_t pos = ForumMessagePrev(discussion, before < 0 ? Positions(d) : before); pos >= 0;
       pos = ForumMessagePrev(discussion, pos)) {
    int32_t size = ForumResponseSize(discussion, pos);
    if (!out.empty() && ((maxCount > 0 && int32_t(out.size()) >= maxCount) ||
                         (maxBytes > 0 && bytes + size > maxBytes)))
      break;
    out.push_back(pos);
    bytes += size;
  }
  std::reverse(out.begin(), out.end());
  return out;
}

uint32_t ForumMessageInfoCount(ForumRoot root) { return BtmDbCount(root->messageInfo); }

// ---------------------------------------------------------------------------
// Documents.

namespace {

// The record database of the documents attached to holder (0 when it has
// none and create is false).
ChHandle DocumentsOf(ForumRoot root, ChHandle holder, bool create) {
  return ForumRecSubDb(holder, root->f.Enclosures, create);
}

ChHandle DocumentNamed(ForumRoot root, ChHandle holder, const St& name) {
  ChHandle db = DocumentsOf(root, holder, false);
  return db == 0 || name.Empty() ? 0 : LgDbTextFind(db, name);
}

bool NameFitsDocument(const St& name, bool onDiscussion) {
  if (name.Empty()) return false;
  std::string_view v = name.View();
  if (v.find_first_of("/ \t\r\n") != std::string_view::npos) return false;
  int32_t n = 0;
  return !(onDiscussion && StIntStXfm(name, &n));
}

ForumFileRec* Document(const ForumFile& document, const char* what) {
  MA_CHECK(ForumDebugFlag, ForumFileIsDocument(document) && document.Rec()->refs > 0, what);
  return document.Rec();
}

}  // namespace

uint16_t ForumItemAddEnclosure(const ForumFile& discussion, int32_t index, const St& name,
                               const St& contentType, const St& data) {
  uint16_t status = LiveDiscussion(discussion);
  if (status != 0) return status;
  ForumFileRec* d = discussion.Rec();
  ChHandle holder = RecordAt(d, index);
  if (holder == 0) return kForumNoEntry;
  if (!NameFitsDocument(name, index == -1)) return kForumNameEmpty;
  ForumRoot root = d->root;
  if (DocumentNamed(root, holder, name) != 0) return kForumEnclosureInUse;
  ChHandle db = DocumentsOf(root, holder, true);
  ChHandle doc = LgDbRecCreate(db);
  LgDbRecPutTextId(doc, root->f.Type, root->t.Document);
  LgDbRecPutText(doc, root->f.Name, name);
  if (!contentType.IsNil()) LgDbRecPutText(doc, root->f.ContentType, contentType);
  LgDbRecPutInt(doc, root->f.Size, data.Length());
  LgDbRecFieldPut(doc, root->f.BodyData, LgDbTextToHnd(data.IsNil() ? StCreate() : data, doc));
  LgDbRecPutTd(doc, root->f.Date, ForumNow());
  LgDbRecPutInt(doc, root->f.Parent, ForumUniqueIdFromRec(root, holder));
  (void)ForumUniqueIdFromRec(root, doc);
  (void)LgDbRecInsert(db, doc, kLgDbNoPos);
  (void)LgDbRecInsertSorted(db, doc, root->f.Name);
  ForumChanged(root, false);
  return 0;
}

uint16_t ForumItemRemoveEnclosure(const ForumFile& discussion, int32_t index, const St& name) {
  uint16_t status = LiveDiscussion(discussion);
  if (status != 0) return status;
  ForumFileRec* d = discussion.Rec();
  ChHandle holder = RecordAt(d, index);
  ForumRoot root = d->root;
  ChHandle doc = holder ? DocumentNamed(root, holder, name) : 0;
  if (doc == 0) return kForumNoEntry;
  ChHandle db = DocumentsOf(root, holder, false);
  (void)LgDbRecRemoveSorted(db, doc);
  uint32_t pos = 0;
  if (LgDbRecLookup(db, doc, &pos)) (void)LgDbRecRemove(db, pos);
  int32_t id = 0;
  ForumFileRec* open = nullptr;
  if (LgDbRecGetInt(doc, root->f.UniqueId, &id)) {
    (void)BtihDbRemoveExact(root->uniqueIndex, uint32_t(id), doc);
    open = ForumFileFindOpen(root, id, doc);
  }
  if (open) {
    // Its holders still read it; the record goes with the last of them.
    ForumFileUncacheBelow(root, open);
    open->destroyOnClose = true;
  } else {
    LgDbRecDestroy(doc);
  }
  ForumChanged(root, false);
  return 0;
}

std::vector<St> ForumItemEnclosures(const ForumFile& discussion, int32_t index) {
  ForumFileRec* d = Discussion(discussion, "ForumItemEnclosures--Forum");
  std::vector<St> names;
  ChHandle holder = RecordAt(d, index);
  ChHandle db = holder ? DocumentsOf(d->root, holder, false) : 0;
  if (db == 0) return names;
  uint32_t n = LgDbSortedCount(db);
  for (uint32_t i = 0; i < n; ++i) names.push_back(LgDbRecGetText(LgDbSortedGet(db, i), d->root->f.Name));
  return names;
}

ForumFile ForumOpenDocument(const ForumFile& holder, const St& name) {
  ForumFileRec* h = holder.Rec();
  if (!h) return ForumFile();
  if (h->kind != kForumKindMessage && h->kind != kForumKindDiscussion &&
      h->kind != kForumKindDocument)
    return ForumFile();
  ForumRoot root = h->root;
  ChHandle doc = DocumentNamed(root, h->rec, name);
  if (doc == 0) return ForumFile();
  ForumFile document = ForumFileBelow(root, h, kForumKindDocument, doc, 0, -1);
  document.SetLinkPrefix(holder.LinkPrefix());
  return document;
}

St ForumDocumentData(const ForumFile& document) {
  ForumFileRec* f = Document(document, "ForumDocumentData--File");
  St data = LgDbRecGetText(f->rec, f->root->f.BodyData);
  return data.IsNil() ? StCreate() : data;
}

St ForumDocumentContentType(const ForumFile& document) {
  ForumFileRec* f = Document(document, "ForumDocumentContentType--File");
  return LgDbRecGetText(f->rec, f->root->f.ContentType);
}

int32_t ForumDocumentSize(const ForumFile& document) {
  ForumFileRec* f = Document(document, "ForumDocumentSize--File");
  return ForumRecInt(f->rec, f->root->f.Size, 0);
}

}  // namespace quil
