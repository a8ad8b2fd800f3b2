// The journaling setters: each writes its change record, then calls the
// plain setter of the forum store.
#include "ChLi.h"
#include "NmSp.h"
#include "ForumEi.h"
#include "ForumRead.h"
#include "FrmBkInt.h"
#include "Ma.h"

namespace quil {

using frmbk::LogMark;
using frmbk::ReportLogFailure;
using frmbk::Withdraw;

namespace {

// A record of a change the store makes whatever happens: a record that
// cannot be written goes to the error log and the change is made anyway.
void Noted(uint16_t status, std::string_view what) {
  if (status != 0) ReportLogFailure(status, what);
}

St Bool(bool on) { return StCStrXfm(on ? "1" : "0"); }
St Int(int64_t value) { return StFromView(std::to_string(value)); }
St Hex(uint32_t value) { return ForumEiHex(value); }

// Whether type names a child that is numbered from the folder's NextForum.
bool IsNumbered(const St& type) {
  std::string_view t = type.View();
  return t == "forum-topic" || t == "forum-link" || t == "forum-live" || t == "forum-shipcon";
}

// The open child of folder named name (empty handle when none).
ForumFile Child(const ForumFile& folder, const St& name) { return ForumFileHasChild(folder, name); }

}  // namespace

// ---------------------------------------------------------------------------
// Item attributes.

void FrmBkFileSetTitle(const ForumFile& file, St value) {
  Noted(RecFile(file, "title", value), "title");
  ForumSetTitle(file, std::move(value));
}

#define FRMBK_FILE_TEXT_DEF(setter, plain, key)     \
  void setter(const ForumFile& file, St value) {    \
    Noted(RecFile(file, key, value), key);          \
    plain(file, std::move(value));                  \
  }
FRMBK_FILE_TEXT_DEF(FrmBkFileSetHtml, ForumSetHtml, "body")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetHtmlBanner, ForumSetHtmlBanner, "banner")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetHtmlFooter, ForumSetHtmlFooter, "footer")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetTemplate, ForumSetTemplate, "template")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetFolderEmail, ForumSetFolderEmail, "folderEmail")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetArchiveTo, ForumSetArchiveTo, "archiveTo")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetUrl, ForumSetUrl, "url")
FRMBK_FILE_TEXT_DEF(FrmBkCategorySetNewsgroup, ForumSetNewsgroup, "newsgroup")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetFolderEmailPw, ForumSetFolderEmailPw, "emailPw")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetFolderEmailReply, ForumSetFolderEmailReply, "emailReply")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetFolderEmailReplyTo, ForumSetFolderEmailReplyTo, "emailReplyTo")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetFolderEmailFrom, ForumSetFolderEmailFrom, "emailFrom")
FRMBK_FILE_TEXT_DEF(FrmBkFileSetBackground, ForumSetBackground, "background")
#undef FRMBK_FILE_TEXT_DEF

#define FRMBK_FILE_INT_DEF(setter, plain, key)        \
  void setter(const ForumFile& file, int32_t value) { \
    Noted(RecFile(file, key, Int(value)), key);       \
    plain(file, value);                               \
  }
FRMBK_FILE_INT_DEF(FrmBkFileSetFolderEmailPostThru, ForumSetFolderEmailPostThru, "emailPostThru")
FRMBK_FILE_INT_DEF(FrmBkFileSetFolderEmailStripSig, ForumSetFolderEmailStripSig, "emailStripSig")
FRMBK_FILE_INT_DEF(FrmBkCategorySetArchiveDays, ForumSetArchiveDays, "archiveDays")
FRMBK_FILE_INT_DEF(FrmBkFileSetSortSeq, ForumSetSortSeq, "sortSeq")
#undef FRMBK_FILE_INT_DEF

// ListItems has no name in the vocabulary: it travels in the field form.
void FrmBkFileSetListItems(const ForumFile& file, int32_t value) {
  ForumRoot root = ForumFileRoot(file);
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Path("f", file).Attr("field", "ListItems").Attr("value", Int(value));
    Noted(r.Send(root), "ListItems");
  }
  ForumSetListItems(file, value);
}

void FrmBkFileSetDate(const ForumFile& file, LgDbTd value) {
  Noted(RecFile(file, "date", ForumEiTdToSt(value)), "date");
  ForumSetDate(file, value);
}

void FrmBkFileSetCreateDate(const ForumFile& file, LgDbTd value) {
  Noted(RecFile(file, "createDate", ForumEiTdToSt(value)), "createDate");
  ForumSetCreateDate(file, value);
}

void FrmBkFileSetUser(const ForumFile& file, ChHandle user) {
  Noted(RecFile(file, "author", RecPrincipal(ForumFileRoot(file), user)), "author");
  ForumSetUser(file, user);
}

void FrmBkFileSetFlags(const ForumFile& file, uint32_t flags) {
  Noted(RecFile(file, "flags", Hex(flags)), "flags");
  ForumSetFlags(file, flags);
}

void FrmBkFileSetInherits(const ForumFile& file, uint32_t mask) {
  Noted(RecFile(file, "inherits", Hex(mask)), "inherits");
  ForumSetInherits(file, mask);
}

// The record name of each flag bit (WebCreated, which only creation sets,
// travels in the creation record's flags).
namespace {
constexpr const char* FlagKey(uint32_t bit) {
  switch (bit) {
    case kForumFlagShowAuthor: return "showAuthor";
    case kForumFlagShowCount: return "showItems";
    case kForumFlagAnonymous: return "anonymous";
    case kForumFlagPermanent: return "permanent";
    case kForumFlagShowTitles: return "showMessageTitle";
    case kForumFlagShowReplyTo: return "showReplyTo";
    case kForumFlagShowTree: return "showTreeView";
    case kForumFlagShowParent: return "showLinkToParent";
    case kForumFlagShowPrevious: return "showLinkToPrevious";
    case kForumFlagShowSummary: return "showSummaryButton";
    case kForumFlagUserPrefs: return "showByUserPreferences";
    case kForumFlagUploads: return "httpUploads";
    case kForumFlagDownloads: return "httpDownloads";
    default: return nullptr;
  }
}
}  // namespace

#define FRMBK_FILE_FLAG_DEF(name, bit)                                   \
  void FrmBkFileSet##name(const ForumFile& file, bool on) {              \
    if (const char* key = FlagKey(bit)) {                                \
      Noted(RecFile(file, key, Bool(on)), key);                          \
    } else {                                                             \
      uint32_t flags = ForumFileStoredFlags(file);                       \
      flags = on ? flags | (bit) : flags & ~uint32_t(bit);               \
      Noted(RecFile(file, "flags", Hex(flags)), "flags");                \
    }                                                                    \
    ForumFileSet##name(file, on);                                        \
  }
FORUM_FILE_FLAGS(FRMBK_FILE_FLAG_DEF)
#undef FRMBK_FILE_FLAG_DEF

void FrmBkLinkSetType(const ForumFile& link, int kind) {
  Noted(RecFile(link, "linkType", Int(kind)), "linkType");
  ForumLinkSetType(link, kind);
}

void FrmBkLinkSetUrl(const ForumFile& link, St url) {
  Noted(RecFile(link, "url", url), "url");
  ForumLinkSetUrl(link, std::move(url));
}

// ---------------------------------------------------------------------------
// Folder children.

uint16_t FrmBkFileItemCreate(const ForumFile& folder, const St& type, const St& name,
                             const St& title, ChHandle author, bool quiet, St* finalName) {
  ForumRoot root = ForumFileRoot(folder);
  St predicted = name;
  if (ForumFileIsCategory(folder) && IsNumbered(type)) {
    int32_t next = ForumFileNextForum(folder);
    predicted = StStIntXfm(next > 0 ? next : 1);
  }
  int64_t mark = LogMark(root);
  int64_t second = 0;
  LgDbTd now = ForumEiNow(&second);
  uint16_t status = RecFileItemCreate(folder, type, predicted, title, author,
                                      ForumNextUniqueId(root), now,
                                      quiet ? 0 : kForumFlagWebCreated);
  if (status != 0) return status;
  St made;
  status = ForumCatItemCreate(folder, type, name, title, author, quiet, &made);
  if (status != 0) {
    Withdraw(root, mark);
    return status;
  }
  // The item and its folder keep the time the record carries, so that a
  // replay gives them the same (a second may have passed in between).
  ForumFile child = ForumEiSecondNow() != second ? ForumFileHasChild(folder, made) : ForumFile();
  if (child && !(ForumFileCreateDate(child) == now)) {
    ForumSetDate(child, now);
    ForumSetCreateDate(child, now);
    ForumSetDate(folder, now);
  }
  if (finalName) *finalName = made;
  return 0;
}

uint16_t FrmBkFileDestroy(const ForumFile& item) {
  ForumFile folder = ForumFileParent(item);
  if (!folder || ForumFileIsMessage(item)) return kForumNoEntry;
  ForumRoot root = ForumFileRoot(item);
  int64_t mark = LogMark(root);
  int64_t second = 0;
  LgDbTd now = ForumEiNow(&second);
  uint16_t status = 0;
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Attr("f", RecPathOf(item)).Flag("destroy").Date("date", now);
    status = r.Send(root);
    if (status != 0) return status;
  }
  status = ForumCatItemDestroy(folder, ForumFileName(item));
  if (status != 0) {
    Withdraw(root, mark);
    return status;
  }
  // The folder keeps the record's time (see FrmBkFileItemCreate).
  if (ForumEiSecondNow() != second) ForumSetDate(folder, now);
  return 0;
}

uint16_t FrmBkFileMoveTo(const ForumFile& item, const ForumFile& target, const St& newName) {
  ForumFile folder = ForumFileParent(item);
  if (!folder || ForumFileIsMessage(item)) return kForumNoEntry;
  ForumRoot root = ForumFileRoot(item);
  int64_t mark = LogMark(root);
  int64_t second = 0;
  LgDbTd now = ForumEiNow(&second);
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Attr("f", RecPathOf(item)).Attr("moveTo", RecPathOf(target));
    if (!newName.IsNil()) r.Attr("name", newName);
    r.Date("date", now);
    uint16_t status = r.Send(root);
    if (status != 0) return status;
  }
  uint16_t status = ForumCatItemMove(folder, ForumFileName(item), target, newName);
  if (status != 0) {
    Withdraw(root, mark);
    return status;
  }
  // Both folders keep the record's time (see FrmBkFileItemCreate).
  if (ForumEiSecondNow() != second) {
    ForumSetDate(folder, now);
    ForumSetDate(target, now);
  }
  return 0;
}

uint16_t FrmBkFileSetName(const ForumFile& item, const St& newName) {
  ForumFile folder = ForumFileParent(item);
  if (!folder || ForumFileIsMessage(item)) return kForumNoEntry;
  ForumRoot root = ForumFileRoot(item);
  int64_t mark = LogMark(root);
  uint16_t status = RecFile(item, "name", newName);
  if (status != 0) return status;
  status = ForumCatItemSetName(folder, ForumFileName(item), newName);
  if (status != 0) Withdraw(root, mark);
  return status;
}

uint16_t FrmBkCatItemDestroy(const ForumFile& folder, const St& name) {
  ForumFile item = Child(folder, name);
  return item ? FrmBkFileDestroy(item) : kForumNoEntry;
}

uint16_t FrmBkCatItemMove(const ForumFile& folder, const St& name, const ForumFile& target,
                          const St& newName) {
  ForumFile item = Child(folder, name);
  return item ? FrmBkFileMoveTo(item, target, newName) : kForumNoEntry;
}

uint16_t FrmBkCatItemSetName(const ForumFile& folder, const St& name, const St& newName) {
  ForumFile item = Child(folder, name);
  return item ? FrmBkFileSetName(item, newName) : kForumNoEntry;
}

uint16_t FrmBkCatItemSetTitle(const ForumFile& folder, const St& name, St title) {
  ForumFile item = Child(folder, name);
  if (!item) return kForumNoEntry;
  uint16_t status = RecFile(item, "title", title);
  if (status != 0) return status;
  return ForumCatItemSetTitle(folder, name, std::move(title));
}

uint16_t FrmBkCatItemSetHtml(const ForumFile& folder, const St& name, St html) {
  ForumFile item = Child(folder, name);
  if (!item) return kForumNoEntry;
  uint16_t status = RecFile(item, "body", html);
  if (status != 0) return status;
  return ForumCatItemSetHtml(folder, name, std::move(html));
}

// ---------------------------------------------------------------------------
// Messages.

uint16_t FrmBkForumItemCreate(const ForumFile& discussion, ChHandle author, const St& title,
                              const St& contentType, const St& body, int32_t replyTo, bool quiet,
                              int32_t* index) {
  ForumRoot root = ForumFileRoot(discussion);
  int64_t second = 0;
  LgDbTd now = ForumEiNow(&second);
  uint16_t status =
      RecForumItemCreate(discussion, ForumFileCount(discussion), ForumNextUniqueId(root), author,
                         title, contentType, replyTo, now, body);
  if (status != 0) return status;
  int32_t made = -1;
  (void)ForumItemCreate(discussion, author, title, contentType, body, replyTo, quiet, &made);
  // The message, its discussion and their folder keep the time the record
  // carries (see above): when the clock is still in the record's second,
  // they have that time.
  if (ForumEiSecondNow() != second && !(ForumItemDate(discussion, made) == now)) {
    (void)ForumItemSetDate(discussion, made, now);
    ForumSetDate(discussion, now);
    if (ForumFile folder = ForumFileParent(discussion)) ForumSetDate(folder, now);
  }
  if (index) *index = made;
  return 0;
}

bool FrmBkItemDestroy(const ForumFile& discussion, int32_t index) {
  if (ForumItemRec(discussion, index) == 0) return false;
  Noted(RecFile(discussion, "deleteItem", Int(index)), "deleteItem");
  return ForumItemDestroy(discussion, index) == 0;
}

namespace {

// Whether the message exists: 0, 2303 or 2304 (no record for a refused
// change).
uint16_t MessageCk(const ForumFile& discussion, int32_t index) {
  if (!ForumFileIsForum(discussion)) return kForumNotContainer;
  return ForumItemRec(discussion, index) == 0 ? kForumNoEntry : 0;
}

// Writes the record of a message's attribute and makes the change; a
// change the store refuses after all has its record withdrawn.
template <class Change>
uint16_t MessageChange(const ForumFile& discussion, int32_t index, std::string_view key,
                       St value, Change change) {
  uint16_t status = MessageCk(discussion, index);
  if (status != 0) return status;
  ForumRoot root = ForumFileRoot(discussion);
  int64_t mark = LogMark(root);
  status = RecForumItem(discussion, index, key, std::move(value));
  if (status != 0) return status;
  status = change();
  if (status != 0) Withdraw(root, mark);
  return status;
}

}  // namespace

uint16_t FrmBkItemSetTitle(const ForumFile& discussion, int32_t index, St title) {
  return MessageChange(discussion, index, "title", title,
                       [&] { return ForumItemSetTitle(discussion, index, std::move(title)); });
}

uint16_t FrmBkItemSetData(const ForumFile& discussion, int32_t index, const St& body) {
  return MessageChange(discussion, index, "body", body,
                       [&] { return ForumItemSetData(discussion, index, body); });
}

uint16_t FrmBkItemSetAuthor(const ForumFile& discussion, int32_t index, ChHandle author) {
  if (uint16_t status = MessageCk(discussion, index)) return status;
  return MessageChange(discussion, index, "author",
                       RecPrincipal(ForumFileRoot(discussion), author),
                       [&] { return ForumItemSetAuthor(discussion, index, author); });
}

uint16_t FrmBkItemSetDate(const ForumFile& discussion, int32_t index, LgDbTd date) {
  return MessageChange(discussion, index, "date", ForumEiTdToSt(date),
                       [&] { return ForumItemSetDate(discussion, index, date); });
}

uint16_t FrmBkItemSetMessageId(const ForumFile& discussion, int32_t index,
                               const St& messageId) {
  return MessageChange(discussion, index, "messageId", messageId,
                       [&] { return ForumItemSetMessageId(discussion, index, messageId); });
}

// ---------------------------------------------------------------------------
// Named text fields of records.

namespace {

// How a record is named in a change record.
enum class RecKind { kNone, kItem, kMessage, kUser, kSettings, kHead };

RecKind KindOf(ForumRoot root, ChHandle rec, ForumFile* item, int32_t* index) {
  if (rec == 0) return RecKind::kNone;
  if (rec == ForumRootSysopRec(root)) return RecKind::kSettings;
  if (rec == ForumRootHead(root)) return RecKind::kHead;
  int type = ForumUserGetType(root, rec);
  if (type == kForumUserRegistered || type == kForumUserGuest || type == kForumUserGroup)
    return RecKind::kUser;
  if (type != kForumUserNone) return RecKind::kNone;
  // Items and messages carry their identifier from creation; a record
  // without one is none of them (and reading must not give it one).
  ChHandle idField = LgDbFieldIdLookup(rec, StCStrXfm("UniqueId"));
  int32_t id = 0;
  if (idField == 0 || !LgDbRecGetInt(rec, idField, &id)) return RecKind::kNone;
  ForumFile file = ForumFileOpenUnique(root, id);
  if (!file || ForumFileRecord(file) != rec) return RecKind::kNone;
  if (ForumFileIsMessage(file)) {
    int32_t n = -1;
    if (!ForumEiParseInt(ForumFileName(file).View(), &n)) return RecKind::kNone;
    *item = ForumFileParent(file);
    *index = n;
    return RecKind::kMessage;
  }
  switch (ForumFileKind(file)) {
    case kForumKindFolder:
    case kForumKindDiscussion:
    case kForumKindLink:
    case kForumKindLive:
    case kForumKindShipCon:
      *item = std::move(file);
      return RecKind::kItem;
    default:
      return RecKind::kNone;
  }
}

}  // namespace

bool FrmBkRecordSetField(ForumRoot root, ChHandle rec, const St& field, St value) {
  if (!ForumRootFieldNameOk(field)) return false;
  ForumFile item;
  int32_t index = -1;
  RecKind kind = KindOf(root, rec, &item, &index);
  if (kind == RecKind::kNone) return false;
  if (kind == RecKind::kHead) return FrmBkRootSetFieldId(root, field, std::move(value));
  bool user = kind == RecKind::kUser;
  if (user ? RootNeedsUserSend(root) : RootNeedsSend(root)) {
    RecBuilder r(kind == RecKind::kUser ? "u" : kind == RecKind::kSettings ? "s" : "f");
    if (kind == RecKind::kItem) r.Path("f", item);
    if (kind == RecKind::kMessage) r.Path("f", item, index);
    if (kind == RecKind::kUser) r.Attr("u", RecPrincipal(root, rec));
    r.Attr("field", field).Attr("value", value).Attr("type", "text");
    Noted(r.Send(root), "field");
  }
  return ForumRecordSetField(root, rec, field, std::move(value));
}

bool ForumRecordSetField(ForumRoot root, ChHandle rec, const St& field, St value) {
  if (!ForumRootFieldNameOk(field) || rec == 0) return false;
  if (value.IsNil()) {
    ChHandle id = LgDbFieldIdLookup(rec, field);
    if (id != 0) (void)LgDbRecFieldRemove(rec, id);
  } else {
    LgDbRecPutText(rec, LgDbFieldIdGet(rec, field), std::move(value));
  }
  ForumChanged(root, false);
  return true;
}

void FrmBkItemSetSource(const ForumFile& discussion, int32_t index, St source) {
  Noted(RecForumItem(discussion, index, "source", source), "source");
  (void)ForumItemSetSource(discussion, index, std::move(source));
}

uint16_t FrmBkItemAddEnclosure(const ForumFile& discussion, int32_t index, const St& name,
                               const St& contentType, const St& data) {
  ForumRoot root = ForumFileRoot(discussion);
  int64_t mark = LogMark(root);
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Path("f", discussion, index).Attr("enclosure", name).Attr("contentType", contentType);
    r.Attr("body", StToHex(data));
    if (uint16_t status = r.Send(root); status != 0) return status;
  }
  uint16_t status = ForumItemAddEnclosure(discussion, index, name, contentType, data);
  if (status != 0) Withdraw(root, mark);
  return status;
}

uint16_t FrmBkSubscrAdd(ChHandle user, const ForumFile& item) {
  ForumRoot root = ForumFileRoot(item);
  int64_t mark = LogMark(root);
  if (uint16_t status = RecUser(root, user, "subscrAdd", RecPathOf(item)); status != 0)
    return status;
  uint16_t status = ForumSubscrAdd(user, item);
  if (status != 0) Withdraw(root, mark);
  return status;
}

bool FrmBkSubscrRemove(ChHandle user, const ForumFile& item) {
  ForumRoot root = ForumFileRoot(item);
  Noted(RecUser(root, user, "subscrRemove", RecPathOf(item)), "subscrRemove");
  return ForumSubscrRemove(user, item);
}

// ---------------------------------------------------------------------------
// The root.

void FrmBkRootSetNextUnique(ForumRoot root, int32_t value) {
  Noted(RecRoot(root, "nextUnique", Int(value)), "nextUnique");
  ForumSetNextUniqueId(root, value);
}

bool FrmBkRootSetFieldId(ForumRoot root, const St& field, St value) {
  if (!ForumRootFieldNameOk(field)) return false;
  if (RootNeedsSend(root)) {
    RecBuilder r("r");
    r.Attr("field", field).Attr("value", value);
    Noted(r.Send(root), "field");
  }
  return ForumRootSetField(root, field, std::move(value));
}

bool ForumRootFieldNameOk(const St& field) {
  return !field.Empty() && field.Length() <= kNmSpMaxName;
}

bool ForumRootSetField(ForumRoot root, const St& field, St value) {
  if (!ForumRootFieldNameOk(field)) return false;
  ChHandle head = ForumRootHead(root);
  ChHandle id = LgDbFieldIdGet(head, field);
  if (value.IsNil()) {
    (void)LgDbRecFieldRemove(head, id);
  } else {
    LgDbRecPutText(head, id, std::move(value));
  }
  ForumChanged(root, false);
  return true;
}

St ForumRootField(ForumRoot root, const St& field) {
  ChHandle head = ForumRootHead(root);
  ChHandle id = LgDbFieldIdLookup(head, field);
  return id == 0 ? St() : LgDbRecGetText(head, id);
}

// ---------------------------------------------------------------------------
// Sysop settings.

namespace {

// The record of one setting: under its vocabulary name, or in the field
// form when it has none.
void RecordSetting(ForumRoot root, const char* setting, St value) {
  if (!RootNeedsSend(root)) return;
  const char* key = nullptr;
  bool found = false;
  for (const FrmBkKey& k : FrmBkSysopKeys()) {
    if (std::string_view(k.setting) == setting) {
      key = k.key;
      found = true;
      break;
    }
  }
  MA_CHECK(FrmBkDebugFlag, found, "FrmBkSysopSet--setting without a record name");
  RecBuilder r("s");
  if (key) {
    r.Attr(key, std::move(value));
  } else {
    r.Attr("field", setting).Attr("value", std::move(value));
  }
  Noted(r.Send(root), setting);
}

}  // namespace

#define FRMBK_SYSOP_FLAG_DEF(name, word, bit, inverted)  \
  void FrmBkSysopSet##name(ForumRoot root, bool on) {    \
    RecordSetting(root, #name, Bool(on));                \
    ForumSysopSet##name(root, on);                       \
  }
FORUM_SYSOP_FLAGS(FRMBK_SYSOP_FLAG_DEF)
#undef FRMBK_SYSOP_FLAG_DEF
#define FRMBK_SYSOP_INT_DEF(name, field, dflt)              \
  void FrmBkSysopSet##name(ForumRoot root, int32_t value) { \
    RecordSetting(root, #name, Int(value));                 \
    ForumSysopSet##name(root, value);                       \
  }
FORUM_SYSOP_INTS(FRMBK_SYSOP_INT_DEF)
#undef FRMBK_SYSOP_INT_DEF
#define FRMBK_SYSOP_TEXT_DEF(name)                                        \
  void FrmBkSysopSet##name(ForumRoot root, St value) {                    \
    RecordSetting(root, #name, value);                                    \
    ForumSysopSet##name(root, std::move(value));                          \
    if (std::string_view(#name) == "BackupPeriod") frmbk::BackupSettingChanged(root); \
  }
FORUM_SYSOP_TEXTS(FRMBK_SYSOP_TEXT_DEF)
#undef FRMBK_SYSOP_TEXT_DEF

// ---------------------------------------------------------------------------
// Users and groups.

void frmbk::UniqueIdGiven(ForumRoot root, ChHandle rec, int32_t id) {
  if (CreationScope::depth > 0 || !RootNeedsUserSend(root)) return;
  int type = ForumUserGetType(root, rec);
  if (type != kForumUserRegistered && type != kForumUserGuest && type != kForumUserGroup) return;
  RecBuilder r("u");
  r.Attr("name", ForumUserName(root, rec)).Hex("unique", uint32_t(id));
  Noted(r.Send(root), "unique");
}

namespace {

void RecordUserField(ForumRoot root, ChHandle user, const char* setting, St value) {
  if (!RootNeedsUserSend(root)) return;
  const char* key = nullptr;
  for (const FrmBkKey& k : FrmBkUserKeys())
    if (std::string_view(k.setting) == setting) key = k.key;
  RecBuilder r("u");
  r.Attr("u", RecPrincipal(root, user));
  if (key) {
    r.Attr(key, std::move(value));
  } else {
    r.Attr("field", setting).Attr("value", std::move(value));
  }
  Noted(r.Send(root), setting);
}

}  // namespace

uint16_t FrmBkUserCreate(ForumRoot root, int kind, const St& name, const St& email,
                         const St& digest, ChHandle* user) {
  int64_t mark = LogMark(root);
  uint16_t status = RecUserCreate(root, ForumNextUniqueId(root), kind, name, email, digest);
  if (status != 0) return status;
  {
    frmbk::CreationScope creating;
    status = ForumUserCreate(root, kind, name, email, digest, user);
  }
  if (status != 0) Withdraw(root, mark);
  return status;
}

uint16_t FrmBkUserDestroy(ForumRoot root, ChHandle user) {
  int64_t mark = LogMark(root);
  if (RootNeedsUserSend(root)) {
    RecBuilder r("u");
    r.Attr("u", RecPrincipal(root, user)).Flag("destroy");
    uint16_t status = r.Send(root);
    if (status != 0) return status;
  }
  uint16_t status = ForumUserDestroy(root, user);
  if (status != 0) Withdraw(root, mark);
  return status;
}

uint16_t FrmBkUserSetName(ForumRoot root, ChHandle user, const St& name) {
  int64_t mark = LogMark(root);
  uint16_t status = RecUser(root, user, "name", name);
  if (status != 0) return status;
  status = ForumUserSetName(root, user, name);
  if (status != 0) Withdraw(root, mark);
  return status;
}

void FrmBkUserSetFlags(ForumRoot root, ChHandle user, uint32_t flags) {
  Noted(RecUser(root, user, "flags", Hex(flags)), "flags");
  ForumUserSetFlags(root, user, flags);
}

void FrmBkUserSetPassword(ForumRoot root, ChHandle user, St digest) {
  Noted(RecUser(root, user, "pwmd5", digest.IsNil() ? St() : StToHex(digest)), "pwmd5");
  ForumUserSetPassword(root, user, std::move(digest));
}

void FrmBkUserSetEmail(ForumRoot root, ChHandle user, St email) {
  Noted(RecUser(root, user, "email", email), "email");
  ForumUserSetEmail(root, user, std::move(email));
}

void FrmBkUserSetSysop(ForumRoot root, ChHandle user, bool on) {
  Noted(RecUser(root, user, "isSysop", Bool(on)), "isSysop");
  ForumUserSetSysop(root, user, on);
}

void FrmBkUserIncLogin(ForumRoot root, ChHandle user) {
  // The login's time goes along, so that the replay gives the same times.
  Noted(RecUser(root, user, "incLogin", ForumEiTdToSt(ForumEiNow())), "incLogin");
  ForumUserIncLogin(root, user);
}

void FrmBkUserSetPicture(ForumRoot root, ChHandle user, const LgDbPicture& value) {
  St text = StFromView(std::to_string(value.width) + "," + std::to_string(value.height) + "," +
                       std::to_string(value.format) + "," + StToHex(value.data).Str());
  Noted(RecUser(root, user, "picture", std::move(text)), "picture");
  ForumUserSetPicture(root, user, value);
}

#define FRMBK_USER_TEXT_DEF(name)                                        \
  void FrmBkUserSet##name(ForumRoot root, ChHandle user, St value) {     \
    RecordUserField(root, user, #name, value);                           \
    ForumUserSet##name(root, user, std::move(value));                    \
  }
FORUM_USER_TEXTS(FRMBK_USER_TEXT_DEF)
#undef FRMBK_USER_TEXT_DEF
#define FRMBK_USER_INT_DEF(name, dflt)                                      \
  void FrmBkUserSet##name(ForumRoot root, ChHandle user, int32_t value) {   \
    RecordUserField(root, user, #name, Int(value));                         \
    ForumUserSet##name(root, user, value);                                  \
  }
FORUM_USER_INTS(FRMBK_USER_INT_DEF)
#undef FRMBK_USER_INT_DEF
#define FRMBK_USER_DATE_DEF(name)                                          \
  void FrmBkUserSet##name(ForumRoot root, ChHandle user, LgDbTd value) {   \
    RecordUserField(root, user, #name, ForumEiTdToSt(value));              \
    ForumUserSet##name(root, user, value);                                 \
  }
FORUM_USER_DATES(FRMBK_USER_DATE_DEF)
#undef FRMBK_USER_DATE_DEF

namespace {

// Records the user's mark of the item that item's marks are kept under
// (a message's: its discussion's) when change moved it.
template <class Change>
void HighwaterChange(ChHandle user, const ForumFile& item, Change change) {
  ForumRoot root = ForumFileRoot(item);
  if (!root || !ForumUserHasMarks(root, user)) return change();
  ForumFile unit = ForumFileIsMessage(item) ? ForumFileParent(item) : item;
  int32_t id = ForumFileUniqueId(unit);
  int32_t before = 0, after = 0;
  bool had = UserGetHighwater(root, user, id, &before);
  change();
  if (!UserGetHighwater(root, user, id, &after) || (had && after == before)) return;
  if (!RootNeedsUserSend(root)) return;
  RecBuilder r("u");
  r.Attr("u", RecPrincipal(root, user)).Hex("highwater", uint32_t(id)).Int("value", after);
  Noted(r.Send(root), "highwater");
}

}  // namespace

void FrmBkSetHighwater(ChHandle user, const ForumFile& item, int32_t index) {
  HighwaterChange(user, item, [&] { ForumSetHighwater(user, item, index); });
}

void FrmBkSetHighwaterAll(ChHandle user, const ForumFile& discussion) {
  HighwaterChange(user, discussion, [&] { ForumSetHighwaterAll(user, discussion); });
}

uint16_t FrmBkGroupCreate(ForumRoot root, const St& name, ChHandle* group) {
  int64_t mark = LogMark(root);
  uint16_t status = RecGroupCreate(root, ForumNextUniqueId(root), name);
  if (status != 0) return status;
  {
    frmbk::CreationScope creating;
    status = ForumGroupCreate(root, name, group);
  }
  if (status != 0) Withdraw(root, mark);
  return status;
}

namespace {
uint16_t GroupRecord(ForumRoot root, ChHandle group, const char* what, ChHandle member) {
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("g");
  r.Attr("g", RecPrincipal(root, group));
  if (member != 0) {
    r.Attr(what, RecPrincipal(root, member));
  } else {
    r.Flag(what);
  }
  return r.Send(root);
}
}  // namespace

uint16_t FrmBkGroupDestroy(ForumRoot root, ChHandle group) {
  int64_t mark = LogMark(root);
  uint16_t status = GroupRecord(root, group, "destroy", 0);
  if (status != 0) return status;
  status = ForumGroupDestroy(root, group);
  if (status != 0) Withdraw(root, mark);
  return status;
}

uint16_t FrmBkGroupAddUser(ForumRoot root, ChHandle group, ChHandle user) {
  int64_t mark = LogMark(root);
  uint16_t status = RecGroupItemAdd(root, group, user);
  if (status != 0) return status;
  status = ForumGroupAddUser(root, group, user);
  if (status != 0) Withdraw(root, mark);
  return status;
}

uint16_t FrmBkGroupRemoveUser(ForumRoot root, ChHandle group, ChHandle user) {
  int64_t mark = LogMark(root);
  uint16_t status = GroupRecord(root, group, "remove", user);
  if (status != 0) return status;
  status = ForumGroupRemoveUser(root, group, user);
  if (status != 0) Withdraw(root, mark);
  return status;
}

// ---------------------------------------------------------------------------
// Access lists.

bool FrmBkAccCreateList(const ForumFile& item) {
  if (ForumAccHasList(item)) return false;
  Noted(RecFileAcc(item, "enable", 0, 0), "enable");
  return ForumAccCreateList(item);
}

void FrmBkAccEnable(const ForumFile& item, ChHandle principal, uint32_t mask) {
  Noted(RecFileAcc(item, "enable", principal, mask), "enable");
  ForumAccEnable(item, principal, mask);
}

void FrmBkAccInhibit(const ForumFile& item, ChHandle principal, uint32_t mask) {
  Noted(RecFileAcc(item, "inhibit", principal, mask), "inhibit");
  ForumAccInhibit(item, principal, mask);
}

void FrmBkAccClear(const ForumFile& item) {
  Noted(RecFileAcc(item, "clearAcc", 0, 0), "clearAcc");
  ForumAccClear(item);
}

void FrmBkAccClearInhibit(const ForumFile& item) {
  Noted(RecFileAcc(item, "clearInhibit", 0, 0), "clearInhibit");
  ForumAccClearInhibit(item);
}

}  // namespace quil
