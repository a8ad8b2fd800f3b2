// The replayer: reads change records with the SGML tag reader and applies
// each through the plain setters of the forum store.
#include <unordered_set>

#include "Ec.h"
#include "ForumEi.h"
#include "ForumModerated.h"
#include "ForumRead.h"
#include "FrmBkInt.h"
#include "Ma.h"

namespace quil {

using frmbk::Kw;

namespace {

// ---------------------------------------------------------------------------
// The settings and user fields the handlers can set, by record name.

enum class Kind { kFlag, kInt, kText, kDate };

struct SysopSetting {
  const char* name;  // setter suffix
  Kind kind;
  void (*flag)(ForumRoot, bool);
  void (*number)(ForumRoot, int32_t);
  void (*text)(ForumRoot, St);
};

const std::vector<SysopSetting>& SysopSettings() {
  static const std::vector<SysopSetting> settings = {
#define FRMBK_ROW(name, word, bit, inverted) \
  {#name, Kind::kFlag, ForumSysopSet##name, nullptr, nullptr},
      FORUM_SYSOP_FLAGS(FRMBK_ROW)
#undef FRMBK_ROW
#define FRMBK_ROW(name, field, dflt) {#name, Kind::kInt, nullptr, ForumSysopSet##name, nullptr},
      FORUM_SYSOP_INTS(FRMBK_ROW)
#undef FRMBK_ROW
#define FRMBK_ROW(name) {#name, Kind::kText, nullptr, nullptr, ForumSysopSet##name},
      FORUM_SYSOP_TEXTS(FRMBK_ROW)
#undef FRMBK_ROW
  };
  return settings;
}

struct UserField {
  const char* name;
  Kind kind;
  void (*number)(ForumRoot, ChHandle, int32_t);
  void (*text)(ForumRoot, ChHandle, St);
  void (*date)(ForumRoot, ChHandle, LgDbTd);
};

const std::vector<UserField>& UserFields() {
  static const std::vector<UserField> fields = {
#define FRMBK_ROW(name) {#name, Kind::kText, nullptr, ForumUserSet##name, nullptr},
      FORUM_USER_TEXTS(FRMBK_ROW)
#undef FRMBK_ROW
#define FRMBK_ROW(name, dflt) {#name, Kind::kInt, ForumUserSet##name, nullptr, nullptr},
      FORUM_USER_INTS(FRMBK_ROW)
#undef FRMBK_ROW
#define FRMBK_ROW(name) {#name, Kind::kDate, nullptr, nullptr, ForumUserSet##name},
      FORUM_USER_DATES(FRMBK_ROW)
#undef FRMBK_ROW
  };
  return fields;
}

// Look-up tables: by keyword number, and by setter suffix for the field
// form.
template <class Row>
struct Index {
  std::vector<const Row*> byKeyword;
  std::vector<std::pair<std::string_view, const Row*>> bySuffix;
  const Row* Suffix(std::string_view s) const {
    for (const auto& [name, row] : bySuffix)
      if (name == s) return row;
    return nullptr;
  }
};

template <class Row>
Index<Row> BuildIndex(const std::vector<Row>& rows, const std::vector<FrmBkKey>& keys,
                      const char* what) {
  Index<Row> index;
  index.byKeyword.assign(frmbk::kVocabulary.size(), nullptr);
  for (const Row& row : rows) {
    index.bySuffix.emplace_back(row.name, &row);
    const FrmBkKey* key = nullptr;
    for (const FrmBkKey& k : keys)
      if (std::string_view(k.setting) == row.name) key = &k;
    if (!key) MaAssertFailure((std::string(what) + row.name).c_str());
    if (key->key) {
      int kw = FrmBkKeyword(key->key);
      MA_CHECK(true, kw >= 0, "FrmBkInit--record name outside the vocabulary");
      index.byKeyword[size_t(kw)] = &row;
    }
  }
  return index;
}

const Index<SysopSetting>& SysopIndex() {
  static const Index<SysopSetting> index =
      BuildIndex(SysopSettings(), FrmBkSysopKeys(), "FrmBkInit--sysop setting without a record name: ");
  return index;
}

const Index<UserField>& UserIndex() {
  static const Index<UserField> index =
      BuildIndex(UserFields(), FrmBkUserKeys(), "FrmBkInit--user field without a record name: ");
  return index;
}

// ---------------------------------------------------------------------------
// Roots being rolled forward.

std::unordered_set<ForumRoot>& Rolling() {
  static std::unordered_set<ForumRoot> roots;
  return roots;
}

std::vector<FrmBkReplayFn>& ReplayList() {
  static std::vector<FrmBkReplayFn> list;
  return list;
}

// ---------------------------------------------------------------------------
// One tag's attributes, looked up.

struct Tag {
  int count = 0;
  int kw[kRecMaxAttributes];
  St value[kRecMaxAttributes];
  // The value of the first attribute with keyword k; null when absent.
  const St* Find(int k) const {
    for (int i = 0; i < count; ++i)
      if (kw[i] == k) return &value[i];
    return nullptr;
  }
  bool Has(int k) const { return Find(k) != nullptr; }
};

// An identifier a record may give: at or above the first one of a root and
// far enough below the top that the counter cannot overflow.
constexpr uint32_t kLowestId = uint32_t(kForumTopId);
constexpr uint32_t kHighestId = 0x7fff0000u;
bool ParseId(const St& text, uint32_t* id) {
  return ForumEiParseHex(text.View(), id) && *id >= kLowestId && *id <= kHighestId;
}

bool ParseBool(const St* v, bool* on) {
  if (!v || v->IsNil()) {
    *on = true;
    return true;
  }
  int32_t n = 0;
  if (!ForumEiParseInt(v->View(), &n)) return false;
  *on = n != 0;
  return true;
}

class Replayer {
 public:
  Replayer(ForumRoot root, SgmlSource* source, const St& expected)
      : root_(root), source_(source), expected_(expected), pending_(!expected.IsNil()) {}

  FrmBkReplayResult Run();

 private:
  bool Apply(const St& name, Li<St>& attributes, bool* stop);
  bool File(const Tag& t);
  bool FileCreate(const ForumFile& folder, const Tag& t);
  bool MessageCreate(const ForumFile& discussion, const Tag& t);
  bool FileAccess(const ForumFile& item, const Tag& t);
  bool FileAttribute(const ForumFile& file, int32_t message, int kw, const St& value);
  bool FileField(const ForumFile& file, int32_t message, const St& field, const Tag& t);
  bool ModeratedAdd(const ForumFile& target, int32_t replyTo, const Tag& t);
  bool Moderated(const Tag& t);
  bool ModeratedUpdate(int32_t position, const Tag& t);
  // A named text field of rec ("field=" NAME " value=" V " type=text").
  bool NamedField(ChHandle rec, const St& field, const Tag& t);
  bool User(const Tag& t);
  bool UserCreate(const Tag& t, bool group);
  bool UserAttribute(ChHandle user, int kw, const St& value, const Tag& t);
  bool Group(const Tag& t);
  bool Root(const Tag& t);
  bool Sysop(const Tag& t);
  bool Other(const St& name, const Tag& t, bool* stop);
  bool Fail(std::string message, const St& text = St()) {
    message_ = std::move(message);
    text_ = text;
    return false;
  }
  // Gives a new item the identifier its record names.
  bool FixUnique(ChHandle rec, uint32_t unique, const char* wrong);
  // A user or group record, or a general principal; 0 for anything else.
  ChHandle Principal(const St* value);
  // A user's record; 0 for anything else (no author).
  ChHandle Author(const St* value);
  ForumFile OpenPath(const St& path, int32_t* message);
  ForumFile Open(const St& path);
  // Drops the open items (before a change of the tree: a deletion or move
  // takes an item out of the root's cache).
  void Forget() { recent_.clear(); }

  ForumRoot root_;
  SgmlSource* source_;
  St expected_;
  bool pending_;
  std::string message_;
  St text_;
  static constexpr size_t kRecent = 8;
  // Principal's memory of the last user or group it found; forgotten by
  // every record about users, groups or identifiers.
  uint32_t lastPrincipalId_ = 0;
  ChHandle lastPrincipal_ = 0;
  std::vector<std::pair<St, ForumFile>> recent_;
};

ForumFile Replayer::Open(const St& path) {
  // The items the last records named stay open, so that the next records
  // about them find them in the root's cache instead of checking their
  // records again.
  for (size_t i = 0; i < recent_.size(); ++i) {
    if (recent_[i].first == path) {
      if (i != 0) std::swap(recent_[i], recent_[0]);
      return recent_[0].second;
    }
  }
  ForumFile file = ForumFileOpen(root_, path);
  if (file) {
    if (recent_.size() == kRecent) recent_.pop_back();
    recent_.insert(recent_.begin(), {path, file});
  }
  return file;
}

ForumFile Replayer::OpenPath(const St& path, int32_t* message) {
  *message = -1;
  int32_t slash = StIndexLast(path, path.Length() - 1, '/');
  if (slash > 0) {
    int32_t n = 0;
    if (ForumEiParseInt(path.View().substr(size_t(slash + 1)), &n) && n >= 0) {
      ForumFile discussion = Open(StSubstr(path, 0, slash));
      if (ForumFileIsForum(discussion)) {
        *message = n;
        return discussion;
      }
    }
  }
  return Open(path);
}

ChHandle Replayer::Principal(const St* value) {
  uint32_t id = 0;
  if (!value || value->Empty() || !ForumEiParseHex(value->View(), &id)) return 0;
  if (id == 1) return kForumAccAllUsers;
  if (id == 2) return kForumAccAllGuests;
  // The last principal named (an author of many posts) is looked up once.
  if (id == lastPrincipalId_ && lastPrincipal_ != 0) return lastPrincipal_;
  ChHandle rec = ForumRecFromUniqueId(root_, int32_t(id));
  // Only users and groups are principals.
  int type = rec ? ForumUserGetType(root_, rec) : kForumUserNone;
  rec = type == kForumUserRegistered || type == kForumUserGuest || type == kForumUserGroup ? rec
                                                                                          : 0;
  if (rec != 0) {
    lastPrincipalId_ = id;
    lastPrincipal_ = rec;
  }
  return rec;
}

ChHandle Replayer::Author(const St* value) {
  ChHandle user = Principal(value);
  return ForumIsRecordPrincipal(user) && ForumUserGetType(root_, user) != kForumUserGroup ? user
                                                                                         : 0;
}

bool Replayer::FixUnique(ChHandle rec, uint32_t unique, const char* wrong) {
  lastPrincipal_ = 0;
  if (uint32_t(ForumUniqueIdFromRec(root_, rec)) == unique) return true;
  if (!ForumSetUniqueIdFromRec(root_, rec, int32_t(unique)))
    return Fail("unique ID not changed to:", ForumEiHex(unique));
  if (uint32_t(ForumUniqueIdFromRec(root_, rec)) != unique) return Fail(wrong);
  return true;
}

// ---------------------------------------------------------------------------
// Files.

bool Replayer::File(const Tag& t) {
  const St* path = t.Find(Kw("f"));
  if (!path || path->Empty()) return Fail("missing file id");
  // The records of a queued entry name it by position; its target may be
  // gone since it was queued.
  if (t.Has(Kw("update")) || (t.Has(Kw("moderated")) && !t.Has(Kw("type"))))
    return Moderated(t);
  int32_t message = -1;
  ForumFile file = OpenPath(*path, &message);
  if (ForumFileIsMessage(file)) {
    // A message named by its own identifier.
    int32_t index = -1;
    (void)ForumEiParseInt(ForumFileName(file).View(), &index);
    file = ForumFileParent(file);
    message = index;
  }
  int kind = ForumFileKind(file);
  bool access = t.Has(Kw("enable")) || t.Has(Kw("inhibit")) || t.Has(Kw("clearAcc")) ||
                t.Has(Kw("clearInhibit")) || t.Has(Kw("deletePermits")) ||
                t.Has(Kw("deleteInhibits"));
  // A group opens as an item only for its access list.
  if (kind == kForumKindGroup && access && message < 0) return FileAccess(file, t);
  if (!file || kind == kForumKindGroup || kind == kForumKindNone || kind == kForumKindDocument)
    return Fail("could not open specified file", *path);
  if (message >= 0 && ForumItemRec(file, message) == 0)
    return Fail("could not open specified file", *path);
  if (t.Has(Kw("moderated"))) return ModeratedAdd(file, message, t);
  if (const St* field = t.Find(Kw("field"))) return FileField(file, message, *field, t);
  if (t.Has(Kw("create"))) return FileCreate(file, t);
  if (t.Has(Kw("new"))) return MessageCreate(file, t);
  if (const St* name = t.Find(Kw("enclosure"))) {
    // A document attached: its bytes in hexadecimal.
    if (!ForumFileIsForum(file)) return Fail("file is not a discussion", *path);
    const St* type = t.Find(Kw("contentType"));
    const St* body = t.Find(Kw("body"));
    St data = body && !body->IsNil() ? StFromHex(*body) : StCreate();
    if (data.IsNil()) return Fail("bad setting body");
    uint16_t status = ForumItemAddEnclosure(file, message, *name, type ? *type : St(), data);
    if (status != 0) return Fail("item not created ", EcToSt(status));
    return true;
  }
  if (access) return FileAccess(file, t);
  if (const St* index = t.Find(Kw("deleteItem"))) {
    if (!ForumFileIsForum(file)) return Fail("file is not a discussion", *path);
    int32_t n = 0;
    if (!ForumEiParseInt(index->View(), &n)) return Fail("bad integer value", *index);
    if (ForumItemDestroy(file, n) != 0) return Fail("could not open specified file", *index);
    return true;
  }
  if (t.Has(Kw("destroy")) || t.Has(Kw("moveTo"))) {
    if (message >= 0 || ForumFileIsMessage(file)) return Fail("cannot move a response", *path);
    ForumFile folder = ForumFileParent(file);
    if (!ForumFileIsCategory(folder)) return Fail("file is not a folder", *path);
    St name = ForumFileName(file);
    Forget();
    LgDbTd date;
    const St* d = t.Find(Kw("date"));
    if (d && !ForumEiStToTd(d->View(), &date)) return Fail("bad setting date", *d);
    if (t.Has(Kw("destroy"))) {
      file = ForumFile();
      if (ForumCatItemDestroy(folder, name) != 0)
        return Fail("could not open specified file", *path);
      if (d) ForumSetDate(folder, date);
      return true;
    }
    const St* to = t.Find(Kw("moveTo"));
    int32_t ignored = -1;
    ForumFile target = to ? OpenPath(*to, &ignored) : ForumFile();
    if (!target) return Fail("could not open specified file", to ? *to : St());
    if (!ForumFileIsCategory(target)) return Fail("file is not a folder", *to);
    const St* newName = t.Find(Kw("name"));
    file = ForumFile();
    if (ForumCatItemMove(folder, name, target, newName ? *newName : St()) != 0)
      return Fail("rename error", name);
    if (d) {
      ForumSetDate(folder, date);
      ForumSetDate(target, date);
    }
    return true;
  }
  for (int i = 0; i < t.count; ++i) {
    if (t.kw[i] == Kw("f")) continue;
    if (!FileAttribute(file, message, t.kw[i], t.value[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The moderation queue.

bool Replayer::ModeratedAdd(const ForumFile& target, int32_t replyTo, const Tag& t) {
  const St* at = t.Find(Kw("moderated"));
  const St* typeText = t.Find(Kw("type"));
  const St* unique = t.Find(Kw("unique"));
  int32_t expected = 0, type = 0;
  if (!ForumEiParseInt(at->View(), &expected)) return Fail("bad integer value", *at);
  if (!ForumEiParseInt(typeText->View(), &type)) return Fail("bad integer value", *typeText);
  uint32_t id = 0;
  if (!unique || !ParseId(*unique, &id)) return Fail("bad integer value", unique ? *unique : St());
  const St* title = t.Find(Kw("title"));
  const St* body = t.Find(Kw("body"));
  const St* contentType = t.Find(Kw("contentType"));
  const St* other = t.Find(Kw("other"));
  ForumSetNextUniqueId(root_, int32_t(id));
  int32_t position = -1;
  uint16_t status = ForumFileAddModerated(
      target, replyTo, type, Author(t.Find(Kw("author"))), title ? *title : St(),
      body ? *body : StCreate(), t.Has(Kw("showAuthor")), contentType ? *contentType : St(),
      other ? *other : St(), &position);
  if (status != 0) return Fail("item not created ", EcToSt(status));
  if (position != expected)
    return Fail("got wrong item number adding moderated item", StStIntXfm(position));
  ChHandle rec = LgDbRecGet(ForumModeratedOpen(root_), uint32_t(position));
  return FixUnique(rec, id, "got wrong item number adding moderated item");
}

bool Replayer::Moderated(const Tag& t) {
  const St* at = t.Find(Kw("update"));
  bool update = at != nullptr;
  if (!at) at = t.Find(Kw("moderated"));
  int32_t position = 0;
  if (!ForumEiParseInt(at->View(), &position)) return Fail("bad integer value", *at);
  if (!ForumModeratedExists(root_, position)) return Fail("could not open specified file", *at);
  if (update) return ModeratedUpdate(position, t);
  for (int i = 0; i < t.count; ++i) {
    int k = t.kw[i];
    if (k == Kw("f") || k == Kw("moderated") || k == Kw("from") || k == Kw("messageId")) continue;
    if (k != Kw("modItemDate"))
      return Fail("illegal attribute", StFromView(frmbk::kVocabulary[size_t(k)]));
    LgDbTd date;
    if (!ForumEiStToTd(t.value[i].View(), &date)) return Fail("bad setting modItemDate", t.value[i]);
    (void)ForumModeratedItemSetDate(root_, position, date);
  }
  const St* from = t.Find(Kw("from"));
  const St* messageId = t.Find(Kw("messageId"));
  if (from || messageId)
    (void)ForumModeratedItemSetMail(root_, position, from ? *from : St(),
                                    messageId ? *messageId : St());
  return true;
}

bool Replayer::ModeratedUpdate(int32_t position, const Tag& t) {
  bool approve = t.Has(Kw("approved"));
  uint32_t id = 0;
  if (const St* unique = t.Find(Kw("unique"))) {
    if (!ParseId(*unique, &id)) return Fail("bad integer value", *unique);
    ForumSetNextUniqueId(root_, int32_t(id));
  }
  LgDbTd date;
  const St* d = t.Find(Kw("date"));
  if (d && !ForumEiStToTd(d->View(), &date)) return Fail("bad setting date", *d);
  Forget();
  ForumModeratedResult made;
  // An approval that failed the first time (its target gone) fails again
  // and takes the entry out of the queue, as it did then.
  // Quietly, as messages are replayed: mail and news heard of it when it
  // was first approved.
  if (ForumModeratedItemUpdate(root_, position, approve, &made, true) != 0 || !made.item)
    return true;
  if (made.index >= 0) {
    ChHandle rec = ForumItemRec(made.item, made.index);
    if (id != 0 && !FixUnique(rec, id, "message not created with correct message-id-number"))
      return false;
    if (d) {
      (void)ForumItemSetDate(made.item, made.index, date);
      ForumSetDate(made.item, date);
      if (ForumFile folder = ForumFileParent(made.item)) ForumSetDate(folder, date);
    }
    return true;
  }
  ForumFile folder = ForumFileParent(made.item);
  St name = ForumFileName(made.item);
  if (id != 0 && uint32_t(ForumFileUniqueId(made.item)) != id) {
    ChHandle rec = ForumFileRecord(made.item);
    made.item = ForumFile();
    if (!FixUnique(rec, id, "item not created with correct unique ID")) return false;
  }
  ForumFile child = ForumFileHasChild(folder, name);
  if (d && child) {
    ForumSetDate(child, date);
    ForumSetCreateDate(child, date);
    ForumSetDate(folder, date);
  }
  return true;
}

bool Replayer::FileCreate(const ForumFile& folder, const Tag& t) {
  if (!ForumFileIsCategory(folder)) return Fail("file is not a folder");
  const St* type = t.Find(Kw("create"));
  const St* name = t.Find(Kw("name"));
  const St* unique = t.Find(Kw("unique"));
  if (!name || type->Empty()) return Fail("missing attributes");
  uint32_t id = 0;
  if (unique && !ParseId(*unique, &id)) return Fail("bad integer value", *unique);
  const St* title = t.Find(Kw("title"));
  ChHandle author = Author(t.Find(Kw("author")));
  // The counter may lag behind the original: identifiers handed out by
  // reading (not logged) are not taken again on the way here.
  if (id != 0) ForumSetNextUniqueId(root_, int32_t(id));
  St final;
  uint16_t status =
      ForumCatItemCreate(folder, *type, *name, title ? *title : St(), author, true, &final);
  if (status != 0) return Fail("item not created ", EcToSt(status));
  if (final != *name) return Fail("item not created with correct name", final);
  ForumFile child = ForumFileHasChild(folder, final);
  if (!child) return Fail("item not created ", final);
  ChHandle rec = ForumFileRecord(child);
  if (id != 0 && uint32_t(ForumFileUniqueId(child)) != id) {
    child = ForumFile();
    if (!FixUnique(rec, id, "item not created with correct unique ID")) return false;
    child = ForumFileHasChild(folder, final);
  }
  LgDbTd date;
  if (const St* d = t.Find(Kw("date"))) {
    if (!ForumEiStToTd(d->View(), &date)) return Fail("bad setting date", *d);
    ForumSetDate(child, date);
    ForumSetCreateDate(child, date);
    ForumSetDate(folder, date);
  }
  if (const St* f = t.Find(Kw("flags"))) {
    uint32_t flags = 0;
    if (!ForumEiParseHex(f->View(), &flags)) return Fail("bad setting flags", *f);
    ForumSetFlags(child, flags);
  }
  return true;
}

bool Replayer::MessageCreate(const ForumFile& discussion, const Tag& t) {
  if (!ForumFileIsForum(discussion)) return Fail("file is not a discussion");
  const St* at = t.Find(Kw("new"));
  int32_t expectIndex = 0;
  if (!ForumEiParseInt(at->View(), &expectIndex)) return Fail("bad integer value", *at);
  uint32_t id = 0;
  const St* unique = t.Find(Kw("unique"));
  if (unique && !ParseId(*unique, &id)) return Fail("bad integer value", *unique);
  int32_t replyTo = -1;
  if (const St* parent = t.Find(Kw("parent"))) {
    if (!ForumEiParseInt(parent->View(), &replyTo)) return Fail("bad integer value", *parent);
  }
  LgDbTd date;
  const St* d = t.Find(Kw("date"));
  if (d && !ForumEiStToTd(d->View(), &date)) return Fail("bad setting date", *d);
  const St* title = t.Find(Kw("title"));
  const St* type = t.Find(Kw("contentType"));
  const St* body = t.Find(Kw("body"));
  if (id != 0) ForumSetNextUniqueId(root_, int32_t(id));
  int32_t index = -1;
  // Quietly: mail and news heard of the message when it was first posted.
  (void)ForumItemCreate(discussion, Author(t.Find(Kw("author"))), title ? *title : St(),
                  type ? *type : St(), body ? *body : StCreate(), replyTo, true, &index);
  ChHandle rec = ForumItemRec(discussion, index);
  if (rec == 0) return Fail("message not created");
  if (index != expectIndex)
    return Fail("message not created with correct message-id-number", StStIntXfm(index));
  if (id != 0 && !FixUnique(rec, id, "message not created with correct message-id-number"))
    return false;
  if (d) {
    // The times the post gave the message, its discussion and their folder.
    (void)ForumItemSetDate(discussion, index, date);
    ForumSetDate(discussion, date);
    if (ForumFile folder = ForumFileParent(discussion)) ForumSetDate(folder, date);
  }
  return true;
}

bool Replayer::FileAccess(const ForumFile& item, const Tag& t) {
  const St* user = t.Find(Kw("u"));
  const St* group = t.Find(Kw("g"));
  const St* who = user ? user : group;
  ChHandle principal = Principal(who);
  for (int i = 0; i < t.count; ++i) {
    int k = t.kw[i];
    const St& v = t.value[i];
    if (k == Kw("f") || k == Kw("u") || k == Kw("g")) continue;
    if (k == Kw("clearAcc")) {
      ForumAccClear(item);
    } else if (k == Kw("clearInhibit")) {
      ForumAccClearInhibit(item);
    } else if ((k == Kw("enable") || k == Kw("inhibit")) && v.IsNil() && !who) {
      (void)ForumAccCreateList(item);
    } else if (k == Kw("enable") || k == Kw("inhibit") || k == Kw("deletePermits") ||
               k == Kw("deleteInhibits")) {
      if (principal == 0) return Fail("could not open specified file", who ? *who : St());
      uint32_t mask = kForumAccNoEntry;
      if ((k == Kw("enable") || k == Kw("inhibit")) && !ForumEiParseHex(v.View(), &mask))
        return Fail("bad hex value for enable flags", v);
      if (k == Kw("enable") || k == Kw("deletePermits")) {
        ForumAccEnable(item, principal, mask);
      } else {
        ForumAccInhibit(item, principal, mask);
      }
    } else {
      return Fail("illegal attribute", StFromView(frmbk::kVocabulary[size_t(k)]));
    }
  }
  return true;
}

bool Replayer::NamedField(ChHandle rec, const St& field, const Tag& t) {
  const St* type = t.Find(Kw("type"));
  if (!type || type->View() != "text") return Fail("illegal attribute", field);
  for (int i = 0; i < t.count; ++i) {
    int k = t.kw[i];
    if (k != Kw("f") && k != Kw("u") && k != Kw("field") && k != Kw("value") && k != Kw("type"))
      return Fail("illegal attribute", StFromView(frmbk::kVocabulary[size_t(k)]));
  }
  const St* value = t.Find(Kw("value"));
  if (!ForumRecordSetField(root_, rec, field, value ? *value : St()))
    return Fail("bad setting field", field);
  return true;
}

bool Replayer::FileField(const ForumFile& file, int32_t message, const St& field, const Tag& t) {
  if (t.Has(Kw("type"))) {
    ChHandle rec = message >= 0 ? ForumItemRec(file, message) : ForumFileRecord(file);
    return NamedField(rec, field, t);
  }
  // An item integer without a name in the vocabulary, by its setter.
  const St* value = t.Find(Kw("value"));
  if (!value || t.count != 3) return Fail("missing attributes");
  if (message >= 0 || field.View() != "ListItems") return Fail("illegal attribute", field);
  int32_t n = 0;
  if (!ForumEiParseInt(value->View(), &n)) return Fail("bad setting " + field.Str(), *value);
  ForumSetListItems(file, n);
  return true;
}

bool Replayer::FileAttribute(const ForumFile& file, int32_t message, int k, const St& value) {
  std::string_view key = frmbk::kVocabulary[size_t(k)];
  auto bad = [&] { return Fail("bad setting " + std::string(key), value); };
  if (message >= 0) {
    // An attribute of a message.
    if (k == Kw("title")) {
      (void)ForumItemSetTitle(file, message, value);
    } else if (k == Kw("body")) {
      (void)ForumItemSetData(file, message, value.IsNil() ? StCreate() : value);
    } else if (k == Kw("author")) {
      (void)ForumItemSetAuthor(file, message, Author(&value));
    } else if (k == Kw("date")) {
      LgDbTd d;
      if (!ForumEiStToTd(value.View(), &d)) return bad();
      (void)ForumItemSetDate(file, message, d);
    } else if (k == Kw("messageId")) {
      (void)ForumItemSetMessageId(file, message, value);
    } else if (k == Kw("source")) {
      (void)ForumItemSetSource(file, message, value);
    } else {
      return Fail("illegal attribute", StFromView(key));
    }
    return true;
  }
  switch (k) {
    case Kw("title"): ForumSetTitle(file, value); return true;
    case Kw("body"): ForumSetHtml(file, value); return true;
    case Kw("banner"): ForumSetHtmlBanner(file, value); return true;
    case Kw("footer"): ForumSetHtmlFooter(file, value); return true;
    case Kw("template"): ForumSetTemplate(file, value); return true;
    case Kw("folderEmail"): ForumSetFolderEmail(file, value); return true;
    case Kw("archiveTo"): ForumSetArchiveTo(file, value); return true;
    case Kw("newsgroup"): ForumSetNewsgroup(file, value); return true;
    case Kw("url"): ForumSetUrl(file, value); return true;
    case Kw("background"): ForumSetBackground(file, value); return true;
    case Kw("emailPw"): ForumSetFolderEmailPw(file, value); return true;
    case Kw("emailReply"): ForumSetFolderEmailReply(file, value); return true;
    case Kw("emailReplyTo"): ForumSetFolderEmailReplyTo(file, value); return true;
    case Kw("emailFrom"): ForumSetFolderEmailFrom(file, value); return true;
    case Kw("archiveDays"):
    case Kw("sortSeq"):
    case Kw("emailPostThru"):
    case Kw("emailStripSig"): {
      int32_t n = 0;
      if (!ForumEiParseInt(value.View(), &n)) return bad();
      if (k == Kw("sortSeq")) {
        ForumSetSortSeq(file, n);
      } else if (k == Kw("emailPostThru")) {
        ForumSetFolderEmailPostThru(file, n);
      } else if (k == Kw("emailStripSig")) {
        ForumSetFolderEmailStripSig(file, n);
      } else {
        ForumSetArchiveDays(file, n);
      }
      return true;
    }
    case Kw("date"):
    case Kw("createDate"): {
      LgDbTd d;
      if (!ForumEiStToTd(value.View(), &d)) return bad();
      if (k == Kw("date")) {
        ForumSetDate(file, d);
      } else {
        ForumSetCreateDate(file, d);
      }
      return true;
    }
    case Kw("author"): ForumSetUser(file, Author(&value)); return true;
    case Kw("flags"):
    case Kw("inherits"): {
      uint32_t n = 0;
      if (!ForumEiParseHex(value.View(), &n)) return bad();
      if (k == Kw("flags")) {
        ForumSetFlags(file, n);
      } else {
        ForumSetInherits(file, n);
      }
      return true;
    }
    case Kw("linkType"): {
      if (!ForumFileIsLink(file)) return Fail("not a link file");
      int32_t n = 0;
      if (!ForumEiParseInt(value.View(), &n)) return bad();
      ForumLinkSetType(file, n);
      return true;
    }
    case Kw("name"): {
      Forget();
      ForumFile folder = ForumFileParent(file);
      if (!ForumFileIsCategory(folder)) return Fail("file is not a folder");
      if (ForumCatItemSetName(folder, ForumFileName(file), value) != 0)
        return Fail("rename error", value);
      return true;
    }
    default: break;
  }
  bool on = false;
#define FRMBK_FLAG_CASE(kwName, setter)          \
  if (k == Kw(kwName)) {                         \
    if (!ParseBool(&value, &on)) return bad();   \
    setter(file, on);                            \
    return true;                                 \
  }
  FRMBK_FLAG_CASE("showAuthor", ForumFileSetShowAuthor)
  FRMBK_FLAG_CASE("showItems", ForumFileSetShowCount)
  FRMBK_FLAG_CASE("anonymous", ForumFileSetAnonymous)
  FRMBK_FLAG_CASE("permanent", ForumFileSetPermanent)
  FRMBK_FLAG_CASE("showMessageTitle", ForumFileSetShowTitles)
  FRMBK_FLAG_CASE("showReplyTo", ForumFileSetShowReplyTo)
  FRMBK_FLAG_CASE("showTreeView", ForumFileSetShowTreeView)
  FRMBK_FLAG_CASE("showLinkToParent", ForumFileSetShowParent)
  FRMBK_FLAG_CASE("showLinkToPrevious", ForumFileSetShowPrevious)
  FRMBK_FLAG_CASE("showSummaryButton", ForumFileSetShowSummary)
  FRMBK_FLAG_CASE("showByUserPreferences", ForumFileSetUserPrefs)
  FRMBK_FLAG_CASE("httpUploads", ForumFileSetUploads)
  FRMBK_FLAG_CASE("httpDownloads", ForumFileSetDownloads)
#undef FRMBK_FLAG_CASE
  return Fail("illegal attribute", StFromView(key));
}

// ---------------------------------------------------------------------------
// Users and groups.

bool Replayer::UserCreate(const Tag& t, bool group) {
  const St* idText = t.Find(group ? Kw("createg") : Kw("create"));
  uint32_t id = 0;
  if (!ParseId(*idText, &id)) return Fail("bad integer value", *idText);
  const St* name = t.Find(Kw("name"));
  if (!name) return Fail("missing attributes");
  ForumSetNextUniqueId(root_, int32_t(id));
  ChHandle rec = 0;
  uint16_t status;
  if (group) {
    status = ForumGroupCreate(root_, *name, &rec);
  } else {
    const St* email = t.Find(Kw("email"));
    const St* pw = t.Find(Kw("pwmd5"));
    St digest = pw && !pw->IsNil() ? StFromHex(*pw) : St();
    int kind = t.Has(Kw("guest")) ? kForumUserGuest : kForumUserRegistered;
    status = ForumUserCreate(root_, kind, *name, email ? *email : St(), digest, &rec);
  }
  if (status != 0) return Fail("item not created ", EcToSt(status));
  return FixUnique(rec, id, "user create got wrong ID number for roll-forward");
}

bool Replayer::UserAttribute(ChHandle user, int k, const St& value, const Tag& t) {
  std::string_view key = frmbk::kVocabulary[size_t(k)];
  auto bad = [&] { return Fail("bad setting " + std::string(key), value); };
  if (k == Kw("name")) {
    if (ForumUserSetName(root_, user, value) != 0) return Fail("rename error", value);
  } else if (k == Kw("email")) {
    ForumUserSetEmail(root_, user, value);
  } else if (k == Kw("pwmd5")) {
    ForumUserSetPassword(root_, user, value.IsNil() ? St() : StFromHex(value));
  } else if (k == Kw("flags")) {
    uint32_t flags = 0;
    if (!ForumEiParseHex(value.View(), &flags)) return bad();
    ForumUserSetFlags(root_, user, flags);
  } else if (k == Kw("isSysop")) {
    bool on = false;
    if (!ParseBool(&value, &on)) return bad();
    ForumUserSetSysop(root_, user, on);
  } else if (k == Kw("subscrAdd") || k == Kw("subscrRemove")) {
    // The item by its unique path; an item gone since is passed over.
    ForumFile item = ForumFileOpen(root_, value);
    if (item) {
      if (k == Kw("subscrAdd")) {
        (void)ForumSubscrAdd(user, item);
      } else {
        (void)ForumSubscrRemove(user, item);
      }
    }
  } else if (k == Kw("incLogin")) {
    ForumUserIncLogin(root_, user);
    LgDbTd d;
    if (!value.IsNil()) {
      if (!ForumEiStToTd(value.View(), &d)) return bad();
      ForumUserSetThisLogin(root_, user, d);
    }
  } else if (k == Kw("destroy")) {
    lastPrincipal_ = 0;
    uint16_t status = ForumUserGetType(root_, user) == kForumUserGroup
                          ? ForumGroupDestroy(root_, user)
                          : ForumUserDestroy(root_, user);
    if (status != 0) return Fail("could not open specified file", EcToSt(status));
  } else if (k == Kw("picture")) {
    // width,height,format,hexadecimal data
    LgDbPicture p;
    St rest = value;
    int32_t w = 0, h = 0, f = 0;
    if (!ForumEiParseInt(StSplitField(&rest, ',').View(), &w) ||
        !ForumEiParseInt(StSplitField(&rest, ',').View(), &h) ||
        !ForumEiParseInt(StSplitField(&rest, ',').View(), &f))
      return bad();
    p.width = w;
    p.height = h;
    p.format = f;
    p.data = rest.IsNil() ? StCreate() : StFromHex(rest);
    if (p.data.IsNil()) return bad();
    ForumUserSetPicture(root_, user, p);
  } else if (k == Kw("field") || UserIndex().byKeyword[size_t(k)]) {
    const UserField* field = UserIndex().byKeyword[size_t(k)];
    const St* v = &value;
    if (k == Kw("field")) {
      field = UserIndex().Suffix(value.View());
      v = t.Find(Kw("value"));
      if (!field || !v) return Fail("illegal attribute", value);
    }
    switch (field->kind) {
      case Kind::kText: field->text(root_, user, *v); break;
      case Kind::kInt: {
        int32_t n = 0;
        if (!ForumEiParseInt(v->View(), &n)) return bad();
        field->number(root_, user, n);
        break;
      }
      case Kind::kDate: {
        LgDbTd d;
        if (!ForumEiStToTd(v->View(), &d)) return bad();
        field->date(root_, user, d);
        break;
      }
      case Kind::kFlag: break;
    }
  } else if (k == Kw("highwater")) {
    uint32_t id = 0;
    int32_t mark = 0;
    const St* v = t.Find(Kw("value"));
    if (!ParseId(value, &id)) return Fail("bad integer value", value);
    if (!v || !ForumEiParseInt(v->View(), &mark)) return Fail("missing attributes");
    (void)UserSetHighwaterLarger(root_, user, int32_t(id), mark);
  } else if (k == Kw("value")) {
    // Read with "field" or "highwater".
  } else {
    return Fail("illegal attribute", StFromView(key));
  }
  return true;
}

bool Replayer::User(const Tag& t) {
  lastPrincipal_ = 0;  // users and groups may change below
  if (t.Has(Kw("create"))) return UserCreate(t, false);
  if (t.Has(Kw("createg"))) return UserCreate(t, true);
  const St* id = t.Find(Kw("u"));
  if (!id) {
    // An identifier given to a user or group by name.
    const St* name = t.Find(Kw("name"));
    const St* unique = t.Find(Kw("unique"));
    if (!name || !unique) return Fail("missing attribute");
    uint32_t n = 0;
    if (!ParseId(*unique, &n)) return Fail("bad integer value", *unique);
    ChHandle rec = ForumUserLookup(root_, *name);
    if (rec == 0) rec = ForumGroupLookup(root_, *name);
    if (rec == 0) return Fail("could not open specified file", *name);
    return FixUnique(rec, n, "unique ID not changed to:");
  }
  ChHandle user = Principal(id);
  if (!ForumIsRecordPrincipal(user)) return Fail("could not open specified file", *id);
  if (t.Has(Kw("type"))) {
    const St* field = t.Find(Kw("field"));
    if (!field) return Fail("missing attributes");
    return NamedField(user, *field, t);
  }
  bool group = ForumUserGetType(root_, user) == kForumUserGroup;
  for (int i = 0; i < t.count; ++i) {
    if (t.kw[i] == Kw("u")) continue;
    // A group is only ever deleted through a user record.
    if (group && t.kw[i] != Kw("destroy"))
      return Fail("illegal attribute", StFromView(frmbk::kVocabulary[size_t(t.kw[i])]));
    if (!UserAttribute(user, t.kw[i], t.value[i], t)) return false;
  }
  return true;
}

bool Replayer::Group(const Tag& t) {
  lastPrincipal_ = 0;
  const St* id = t.Find(Kw("g"));
  if (!id) return Fail("missing attribute");
  ChHandle group = Principal(id);
  if (!ForumIsRecordPrincipal(group) || ForumUserGetType(root_, group) != kForumUserGroup)
    return Fail("could not open specified file", *id);
  for (int i = 0; i < t.count; ++i) {
    int k = t.kw[i];
    if (k == Kw("g")) continue;
    uint16_t status;
    if (k == Kw("add") || k == Kw("remove")) {
      ChHandle member = Author(&t.value[i]);
      if (member == 0) return Fail("could not open specified file", t.value[i]);
      status = k == Kw("add") ? ForumGroupAddUser(root_, group, member)
                              : ForumGroupRemoveUser(root_, group, member);
    } else if (k == Kw("destroy")) {
      lastPrincipal_ = 0;
      status = ForumGroupDestroy(root_, group);
    } else {
      return Fail("illegal attribute", StFromView(frmbk::kVocabulary[size_t(k)]));
    }
    if (status != 0) return Fail("could not open specified file", EcToSt(status));
  }
  return true;
}

// ---------------------------------------------------------------------------
// The root, the settings and the rest.

bool Replayer::Root(const Tag& t) {
  if (t.count == 0) return Fail("missing attribute");
  for (int i = 0; i < t.count; ++i) {
    int k = t.kw[i];
    const St& v = t.value[i];
    if (k == Kw("nextUnique")) {
      int32_t n = 0;
      if (!ForumEiParseInt(v.View(), &n) || uint32_t(n) > kHighestId)
        return Fail("bad integer value", v);
      ForumSetNextUniqueId(root_, n);
    } else if (k == Kw("field")) {
      const St* value = t.Find(Kw("value"));
      if (v.Empty()) return Fail("missing attributes");
      if (!ForumRootSetField(root_, v, value ? *value : St())) return Fail("bad setting field", v);
    } else if (k == Kw("value")) {
      if (!t.Has(Kw("field"))) return Fail("missing attributes");
    } else {
      // recentAdd and recentRemove arrive with the recent-items list.
      return Fail("illegal attribute", StFromView(frmbk::kVocabulary[size_t(k)]));
    }
  }
  return true;
}

bool Replayer::Sysop(const Tag& t) {
  if (t.count == 0) return Fail("missing attribute");
  if (t.Has(Kw("type"))) {
    const St* field = t.Find(Kw("field"));
    if (!field) return Fail("missing attributes");
    return NamedField(ForumRootSysopRec(root_), *field, t);
  }
  for (int i = 0; i < t.count; ++i) {
    int k = t.kw[i];
    if (k == Kw("value") && t.Has(Kw("field"))) continue;
    const SysopSetting* s = SysopIndex().byKeyword[size_t(k)];
    const St* v = &t.value[i];
    std::string name(frmbk::kVocabulary[size_t(k)]);
    if (k == Kw("field")) {
      s = SysopIndex().Suffix(t.value[i].View());
      v = t.Find(Kw("value"));
      name = t.value[i].Str();
      if (!s) return Fail("illegal attribute", t.value[i]);
      if (!v) return Fail("missing attributes");
    }
    if (!s) return Fail("illegal attribute", StFromView(name));
    switch (s->kind) {
      case Kind::kFlag: {
        bool on = false;
        if (!ParseBool(v, &on)) return Fail("bad setting " + name, *v);
        s->flag(root_, on);
        break;
      }
      case Kind::kInt: {
        int32_t n = 0;
        if (!ForumEiParseInt(v->View(), &n)) return Fail("bad setting " + name, *v);
        s->number(root_, n);
        break;
      }
      case Kind::kText: s->text(root_, *v); break;
      case Kind::kDate: break;
    }
  }
  return true;
}

bool Replayer::Other(const St& name, const Tag& t, bool* stop) {
  std::string_view n = name.View();
  if (n == "restart" || n == "ack") return true;
  if (n == "eof") {
    *stop = true;
    return true;
  }
  if (n == "save") {
    const St* unique = t.Find(Kw("unique"));
    uint32_t next = 0;
    if (unique && ParseId(*unique, &next)) ForumSetNextUniqueId(root_, int32_t(next));
    return true;
  }
  if (n == "masterSave") {
    // Replication: the master saved; this server saves too.  The master's
    // save position is kept by the replication service once it exists.
    if (!t.Has(Kw("id"))) return Fail("missing attribute");
    (void)ForumRootSave(root_);
    return true;
  }
  if (n == "response") {
    // No reply from a master is ever awaited until replication exists.
    return Fail("received unexpected response from master server");
  }
  return Fail("unknown roll-forward tag", name);
}

// Looks the tag's attributes up and dispatches it.
bool Replayer::Apply(const St& name, Li<St>& attributes, bool* stop) {
  Tag t;
  auto it = attributes.begin();
  while (it != attributes.end()) {
    St attrName = std::move(*it);
    ++it;
    St value;
    if (it != attributes.end()) {
      value = std::move(*it);
      ++it;
    }
    int k = FrmBkKeyword(attrName.View());
    if (k < 0) return Fail("unknown attribute", attrName);
    if (t.count == kRecMaxAttributes) return Fail("too many attributes", attrName);
    t.kw[t.count] = k;
    t.value[t.count] = std::move(value);
    ++t.count;
  }
  std::string_view n = name.View();
  if (pending_) {
    // Only the first tag decides, against the expected marker.
    pending_ = false;
    if (n.size() == 1) return Fail("unknown roll-forward tag", name);
    if (n == "restart") return true;
    if (n != "save") return Fail("unknown roll-forward tag", name);
    const St* id = t.Find(Kw("id"));
    if (!id || id->View() != expected_.View()) return Fail("unknown roll-forward tag", name);
    return Other(name, t, stop);
  }
  if (n.size() == 1) {
    switch (n[0]) {
      case 'f': return File(t);
      case 'u': return User(t);
      case 'g': return Group(t);
      case 'r': return Root(t);
      case 's': return Sysop(t);
      case 'd':
        // Documents arrive with the enclosure store; until then no record
        // of one is written, so none can be replayed.
        return Fail("unknown roll-forward tag", name);
      default: break;
    }
  }
  return Other(name, t, stop);
}

FrmBkReplayResult Replayer::Run() {
  FrmBkReplayResult result;
  bool expecting = pending_;
  SgmlReader reader = SgmlParseStart(source_);
  St text, name;
  uint8_t isStart = 0, ends = 0;
  Li<St> attributes;
  bool failed = false;
  bool first = true;
  while (SgmlParseNext(reader.get(), &text, &name, &isStart, &ends, &attributes)) {
    if (name.IsNil() || isStart != 1) continue;  // text and end tags
    bool stop = false;
    bool ok = Apply(name, attributes, &stop);
    if (first && expecting) {
      result.markerMatched = ok;
      result.ok = ok;
    }
    first = false;
    if (!ok) {
      failed = true;
      int32_t line = 0, ch = 0;
      SgmlParseTagInfo(reader.get(), &line, &ch);
      result.error = "* Roll-forward error at line " + std::to_string(line + 1) +
                     ", character " + std::to_string(ch + 1) + ": " + message_;
      if (!text_.IsNil()) result.error += " " + text_.Str();
      FrmBkRecordLine(result.error);
      break;
    }
    ++result.items;
    if (result.items % 1000 == 0 && FrmBkRecordIsOn())
      FrmBkRecordLine("* now at " + std::to_string(result.items) + " items processed");
    if (stop) {
      result.ended = true;
      break;
    }
  }
  if (!expecting) result.ok = !failed;
  if (FrmBkRecordIsOn())
    FrmBkRecordLine("* Roll-forward log processed, " + std::to_string(result.items) + " items");
  return result;
}

}  // namespace

void frmbk::SetRollingForward(ForumRoot root, bool on) {
  if (on) {
    Rolling().insert(root);
  } else {
    Rolling().erase(root);
  }
}

bool FrmBkRollingForward(ForumRoot root) { return Rolling().count(root) != 0; }

void FrmBkOnRollForward(FrmBkReplayFn fn) { ReplayList().push_back(std::move(fn)); }

void frmbk::NotifyRollForward(ForumRoot root, bool starting) {
  for (auto& fn : ReplayList()) fn(root, starting);
}

void frmbk::ClearCallbacks() {
  ReplayList().clear();
  ClearBackupCallbacks();
}

void frmbk::CheckTables() {
  (void)SysopIndex();
  (void)UserIndex();
}

FrmBkReplayResult FrmBkRollForwardEx(ForumRoot root, SgmlSource* source, const St& expectedCode) {
  ForumRoot previous = wfForumRoot;
  wfForumRoot = root;
  // The sink goes away for the replay so that nothing is logged again.
  std::unique_ptr<ForumLogSink> sink = ForumTakeLogSink(root);
  frmbk::SetRollingForward(root, true);
  struct Restore {
    ForumRoot root, previous;
    std::unique_ptr<ForumLogSink>& sink;
    ~Restore() {
      frmbk::SetRollingForward(root, false);
      if (sink) ForumSetLogSink(root, std::move(sink));
      wfForumRoot = previous;
    }
  } restore{root, previous, sink};
  Replayer replayer(root, source, expectedCode);
  FrmBkReplayResult result = replayer.Run();
  ForumSetSave(root, ForumNewSaveCode(root));
  return result;
}

bool FrmBkRollForward(ForumRoot root, SgmlSource* source, const St& expectedCode) {
  return FrmBkRollForwardEx(root, source, expectedCode).ok;
}

// ---------------------------------------------------------------------------
// A file as a source.

uint16_t FrmBkFileSource::Open(const std::string& path, int64_t position) {
  uint16_t status = FiOpen(path, kFiReadOnly, file_);
  if (status != 0) return status;
  length_ = FiGetEOF(file_);
  position_ = position;
  return 0;
}

int32_t FrmBkFileSource::Read(uint8_t* buffer, int32_t max) {
  if (!file_.IsOpen() || position_ >= length_) return 0;
  uint16_t status = 0;
  int64_t n = FiRead(file_, buffer, position_, std::min<int64_t>(max, length_ - position_), status);
  if (status != 0 || n <= 0) return 0;
  position_ += n;
  return int32_t(n);
}

}  // namespace quil
