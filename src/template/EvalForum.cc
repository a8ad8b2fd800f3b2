// Helpers shared by the keyword families that read the forum store.
#include <charconv>

#include "ForumUser.h"
#include "Qu.h"
#include "Ma.h"
#include "Td.h"
#include "TemplateInt.h"

namespace quil {

ForumRoot KwRoot(ExprCall& c) {
  ExprContext& ctx = c.Context();
  if (!ctx.root) ctx.NoteUnavailable(c.Code());
  return ctx.root;
}

bool TemplateMessageOf(const ForumFile& item, ForumFile* discussion,
                       int32_t* index) {
  if (!item || !ForumFileIsMessage(item)) return false;
  ForumFile d = ForumFileParent(item);
  int32_t i;
  if (!d || !StIntStXfm(ForumFileName(item), &i)) return false;
  *discussion = std::move(d);
  *index = i;
  return true;
}

ChHandle TemplateItemRecord(const ForumFile& item) {
  if (!item) return 0;
  ForumFile d;
  int32_t i;
  if (TemplateMessageOf(item, &d, &i)) return ForumItemRec(d, i);
  return ForumFileRecord(item);
}

ChHandle TemplateItemAuthor(const ForumFile& item) {
  if (!item) return 0;
  ForumFile d;
  int32_t i;
  if (TemplateMessageOf(item, &d, &i)) return ForumItemAuthor(d, i);
  return ForumFileUser(item);
}

ChHandle TemplateAuthorOf(ExprContext& ctx) {
  if (ctx.hasAuthorOverride) return ctx.authorOverride;
  return TemplateFactAuthor(ctx, ctx.path);
}

St TemplateItemTitle(const ForumFile& item) {
  if (!item) return St();
  ForumFile d;
  int32_t i;
  if (TemplateMessageOf(item, &d, &i)) return ForumItemTitle(d, i);
  return ForumFileTitle(item);
}

LgDbTd TemplateItemDate(const ForumFile& item, bool created) {
  if (!item) return LgDbTd();
  ForumFile d;
  int32_t i;
  if (TemplateMessageOf(item, &d, &i)) return ForumItemDate(d, i);
  return created ? ForumFileCreateDate(item) : ForumFileDate(item);
}

St TemplateRecText(ChHandle rec, const char* field) {
  if (!rec) return St();
  ChHandle id = LgDbFieldIdLookup(rec, StCStrXfm(field));
  return id ? LgDbRecGetText(rec, id) : St();
}

St TemplateLocation(const ForumFile& item) {
  if (!item) return StCStrXfm("/");
  return ForumFileUniquePath(item);
}

St TemplateLink(ExprContext& ctx, int command, std::string_view location) {
  const St& base = ctx.site ? ctx.site->urlBase : St();
  St out = StReserve(St(), int32_t(base.Length() + location.size() +
                                   ctx.certificate.Length() + 8));
  if (base.Empty()) out = StAppend(std::move(out), '?');
  else out = StAppendView(std::move(out), base.View());
  out = StCat(std::move(out), StStIntXfm(command));
  out = StAppend(std::move(out), '@');
  if (TemplateCommandTakesCertificate(command))
    out = StAppendView(std::move(out), ctx.certificate.View());
  out = StAppend(std::move(out), '@');
  return StAppendView(std::move(out), location);
}

St TemplateIdText(int32_t id) { return StHexNoZerosIntXfm(uint32_t(id)); }

int32_t TemplateIdFromText(std::string_view v) {
  if (!v.empty() && v[0] == '.') v.remove_prefix(1);
  if (v.empty() || v.size() > 8) return 0;
  uint32_t out = 0;
  for (char ch : v) {
    int d = ch >= '0' && ch <= '9'   ? ch - '0'
            : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
            : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                     : -1;
    if (d < 0) return 0;
    out = out * 16 + uint32_t(d);
  }
  return int32_t(out);
}

ChHandle TemplatePrincipalById(ForumRoot root, int32_t id) {
  if (!root || id == 0) return 0;
  if (id == int32_t(kForumAccAllUsers) || id == int32_t(kForumAccAllGuests))
    return ChHandle(id);
  ChHandle rec = ForumRecFromUniqueId(root, id);
  if (!rec) return 0;
  int type = ForumUserGetType(root, rec);
  if (type == kForumUserRegistered || type == kForumUserGuest ||
      type == kForumUserGroup)
    return rec;
  return 0;
}

St TemplateDisplayName(ForumRoot root, ChHandle user) {
  if (!root || !ForumIsRecordPrincipal(user)) return StCreate();
  return StNameToFirstLast(ForumUserName(root, user));
}

St TemplateDate(const LgDbTd& td, std::string_view format) {
  if (td.date == 0) return StCreate();
  return TdToSt(LgDbTdToTd(td), format);
}

St TemplateTimeFormat(ForumRoot root) {
  St f = root ? ForumSysopTimeFormat(root) : St();
  return f.Empty() ? StCStrXfm("H2:I2a Mmm D1, Y4") : f;
}

void TemplateRenderFragment(ExprContext& ctx, const TemplateRef& t,
                            const char* tooDeep) {
  if (!t) return;
  ExprNestingScope nest(ctx);
  if (!nest.Entered()) {
    ctx.Write("<b>%% ");
    ctx.Write(tooDeep);
    ctx.Write(" %%</b>");
    return;
  }
  BufEvalTemplate(ctx.Output(), t, ctx);
}

// ---------------------------------------------------------------------------
// The per-context cache of item facts.

namespace {

struct FactsState : ExprContextExt {
  int64_t epoch = -1;
  TemplateFacts facts;
  // Field identifiers of message records, looked up once per rendering.
  bool idsLoaded = false;
  ChHandle titleId = 0, body = 0, dateId = 0, user = 0, numberId = 0;
  // The item's name path, once asked for.
  St path;
  // The site cache's entry of the item, valid while the cache keeps its
  // generation.
  TemplateMessageCache::Entry* entry = nullptr;
  int64_t entryGeneration = -1;
  // When this context last made sure the site cache fits the root: the
  // seam's change count and the background passes then.  Nothing else
  // changes the store while a rendering runs.
  TemplateMessageCache* checked = nullptr;
  int64_t checkedEpoch = -1, checkedPasses = -1;
  // The last discussion whose name path was asked for (a message's path is
  // its discussion's, "/" and its index).
  ForumFile pathDiscussion;
  St discussionPath;
  std::vector<std::pair<ChHandle, St>> names;
  St timeFormat;
};

FactsState& StateSlow(ExprContext& ctx) {
  auto* s = static_cast<FactsState*>(ctx.FamilyState(kFamilyFacts));
  if (!s) {
    auto made = std::make_unique<FactsState>();
    s = made.get();
    ctx.SetFamilyState(kFamilyFacts, std::move(made));
  }
  if (s->epoch != TplStoreEpoch) {  // the store changed: forget
    s->epoch = TplStoreEpoch;
    s->facts = TemplateFacts();
    s->path = St();
    s->entry = nullptr;
    s->pathDiscussion = ForumFile();
    s->discussionPath = St();
    s->names.clear();
    s->idsLoaded = false;
  }
  return *s;
}

inline FactsState& State(ExprContext& ctx) {
  auto* s = static_cast<FactsState*>(ctx.FamilyState(kFamilyFacts));
  if (s && s->epoch == TplStoreEpoch) [[likely]]
    return *s;
  return StateSlow(ctx);
}

void LoadIds(FactsState& s, ChHandle rec) {
  if (s.idsLoaded || !rec) return;
  s.titleId = LgDbFieldIdLookup(rec, StCStrXfm("Title"));
  s.body = LgDbFieldIdLookup(rec, StCStrXfm("BodyData"));
  s.dateId = LgDbFieldIdLookup(rec, StCStrXfm("Date"));
  s.user = LgDbFieldIdLookup(rec, StCStrXfm("User"));
  s.numberId = LgDbFieldIdLookup(rec, StCStrXfm("MessageNumber"));
  s.idsLoaded = true;
}

// The state with facts of item.
FactsState& FactsSlow(FactsState& s, const ForumFile& item) {
  s.facts = TemplateFacts();
  s.path = St();
  s.entry = nullptr;
  s.facts.item = item;
  if (!item) return s;
  s.facts.message =
      TemplateMessageOf(item, &s.facts.discussion, &s.facts.index);
  s.facts.rec = s.facts.message ? ForumItemRec(s.facts.discussion, s.facts.index)
                                : ForumFileRecord(item);
  return s;
}

inline FactsState& Facts(ExprContext& ctx, const ForumFile& item) {
  FactsState& s = State(ctx);
  if (s.facts.item == item && item) [[likely]]
    return s;
  return FactsSlow(s, item);
}

}  // namespace

const TemplateFacts& TemplateFactsOf(ExprContext& ctx, const ForumFile& item) {
  return Facts(ctx, item).facts;
}

void TemplateFactsPrime(ExprContext& ctx, const ForumFile& item,
                        const ForumFile& discussion, int32_t index,
                        ChHandle rec) {
  FactsState& s = State(ctx);
  s.facts.item = item;
  s.facts.message = true;
  s.facts.discussion = discussion;
  s.facts.index = index;
  s.facts.rec = rec;
  s.path = St();
  s.entry = nullptr;
}

namespace {

TemplateMessageCache& Cache(ExprContext& ctx, FactsState& s) {
  if (s.checked && s.checkedEpoch == TplStoreEpoch && s.checkedPasses == QuBgPasses)
    return *s.checked;
  TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
  if (!site.messages) site.messages = std::make_unique<TemplateMessageCache>();
  site.messages->Validate(ctx.root);
  s.checked = site.messages.get();
  s.checkedEpoch = TplStoreEpoch;
  s.checkedPasses = QuBgPasses;
  return *s.checked;
}

// The site cache's entry for the message of s.
TemplateMessageCache::Entry& Entry(ExprContext& ctx, FactsState& s) {
  TemplateMessageCache& cache = Cache(ctx, s);
  if (s.entry && s.entryGeneration == cache.generation) return *s.entry;
  LoadIds(s, s.facts.rec);
  s.entry = &cache.entries[s.facts.rec];
  s.entryGeneration = cache.generation;
  return *s.entry;
}

void Count(ExprContext& ctx, const St& text) {
  TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
  if (site.messages) site.messages->bytes += text.Length() + 64;
}

}  // namespace

void TemplateMessageCache::Validate(ForumRoot r) {
  int32_t s = r ? ForumRootStructRev(r) : -1;
  int32_t m = r ? ForumRootMsgRev(r) : -1;
  if (root == r && structRev == s && msgRev == m && bytes <= kBytes &&
      entries.size() + positions.size() <= kEntries)
    return;
  entries.clear();
  positions.clear();
  root = r;
  structRev = s;
  msgRev = m;
  bytes = 0;
  // Unique over every cache object, so that a pointer into an emptied or
  // replaced cache never passes for one into the present one.
  static int64_t generations = 0;
  generation = ++generations;
}

TemplateMessageCache::Entry* TemplateFactEntry(ExprContext& ctx, const ForumFile& item) {
  if (!item || !ctx.root) return nullptr;
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message || !s.facts.rec) return nullptr;
  return &Entry(ctx, s);
}

ForumFile TemplateCachedMessage(ExprContext& ctx, const ForumFile& d,
                                int32_t index, ChHandle* rec) {
  TemplateMessageCache& cache = Cache(ctx, State(ctx));
  uint64_t key = (uint64_t(uint32_t(ForumFileUniqueId(d))) << 32) | uint32_t(index);
  auto it = cache.positions.find(key);
  if (it == cache.positions.end()) {
    TemplateMessageCache::Position p;
    p.handle = ForumFileOpenMessage(d, index);
    p.rec = p.handle ? ForumFileRecord(p.handle) : 0;
    it = cache.positions.emplace(key, std::move(p)).first;
  }
  *rec = it->second.rec;
  return it->second.handle;
}

St TemplateFactTitle(ExprContext& ctx, const ForumFile& item) {
  if (!item) return St();
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message || !s.facts.rec || !ctx.root) return TemplateItemTitle(item);
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (!e.haveTitle) {
    e.title = s.titleId ? LgDbRecGetText(s.facts.rec, s.titleId) : St();
    e.haveTitle = true;
    Count(ctx, e.title);
  }
  return e.title;
}

St TemplateFactBody(ExprContext& ctx, const ForumFile& item) {
  if (!item) return St();
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message) return ForumFileHtml(item);
  if (!s.facts.rec || !ctx.root) return St();
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (!e.haveBody) {
    e.body = s.body ? LgDbRecGetText(s.facts.rec, s.body) : St();
    e.haveBody = true;
    Count(ctx, e.body);
  }
  return e.body;
}

LgDbTd TemplateFactDate(ExprContext& ctx, const ForumFile& item, bool created) {
  if (!item) return LgDbTd();
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message)
    return created ? ForumFileCreateDate(item) : ForumFileDate(item);
  if (!s.facts.rec || !ctx.root) return LgDbTd();
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (!e.haveDate) {
    if (s.dateId) (void)LgDbRecGetTd(s.facts.rec, s.dateId, &e.date);
    e.haveDate = true;
  }
  return e.date;
}

St TemplateFactDateText(ExprContext& ctx, const ForumFile& item, bool created,
                        const St& format) {
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message || !s.facts.rec || !ctx.root)
    return TemplateDate(TemplateFactDate(ctx, item, created), format.View());
  LgDbTd td = TemplateFactDate(ctx, item, created);
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (e.dateText.IsNil() || !(e.dateFormat == format)) {
    e.dateFormat = format;
    e.dateText = TemplateDate(td, format.View());
    Count(ctx, e.dateText);
  }
  return e.dateText;
}

ChHandle TemplateFactAuthor(ExprContext& ctx, const ForumFile& item) {
  if (!item) return 0;
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message) return ForumFileUser(item);
  if (!s.facts.rec || !ctx.root) return 0;
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (!e.haveAuthor) {
    e.author = s.user ? LgDbRecGetRec(s.facts.rec, s.user) : 0;
    e.haveAuthor = true;
  }
  return e.author;
}

St TemplateFactPath(ExprContext& ctx, const ForumFile& item) {
  if (!item) return St();
  FactsState& s = Facts(ctx, item);
  if (!s.path.IsNil()) return s.path;
  if (!s.facts.message || !s.facts.rec || !ctx.root) {
    s.path = ForumFilePath(item);
    return s.path;
  }
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (e.path.IsNil()) {
    if (!(s.pathDiscussion == s.facts.discussion)) {
      s.pathDiscussion = s.facts.discussion;
      s.discussionPath = ForumFilePath(s.facts.discussion);
    }
    char digits[16];
    auto r = std::to_chars(digits, digits + sizeof digits, s.facts.index);
    St out = StReserve(St(), s.discussionPath.Length() + 12);
    out = StAppendView(std::move(out), s.discussionPath.View());
    out = StAppend(std::move(out), '/');
    e.path = StAppendData(std::move(out), digits, int32_t(r.ptr - digits));
    Count(ctx, e.path);
  }
  s.path = e.path;
  return s.path;
}

bool TemplateFactNumber(ExprContext& ctx, const ForumFile& item, int32_t* number) {
  FactsState& s = Facts(ctx, item);
  if (!s.facts.message || !s.facts.rec || !ctx.root) return false;
  TemplateMessageCache::Entry& e = Entry(ctx, s);
  if (!e.haveNumber) {
    e.hasNumber = s.numberId && LgDbRecGetInt(s.facts.rec, s.numberId, &e.number);
    e.haveNumber = true;
  }
  *number = e.number;
  return e.hasNumber;
}

St TemplateFactUserName(ExprContext& ctx, ChHandle user) {
  FactsState& s = State(ctx);
  for (const auto& [u, name] : s.names)
    if (u == user) return name;
  St name = TemplateDisplayName(ctx.root, user);
  if (s.names.size() < 64) s.names.emplace_back(user, name);
  return name;
}

St TemplateFactTimeFormat(ExprContext& ctx) {
  FactsState& s = State(ctx);
  if (s.timeFormat.IsNil()) s.timeFormat = TemplateTimeFormat(ctx.root);
  return s.timeFormat;
}

void KwInstall(std::span<const KwEntry> entries) {
  for (const KwEntry& e : entries)
    if (!ExprKeywordRegisterArg(e.name, e.fn, e.selector))
      MaAssertFailure(std::string("KwInstall--unknown keyword ") + e.name);
}

}  // namespace quil
