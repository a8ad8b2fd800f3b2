// Helpers shared by the keyword families that read the forum store.
#include "ForumUser.h"
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
  return TemplateItemAuthor(ctx.path);
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

void KwInstall(std::span<const KwEntry> entries) {
  for (const KwEntry& e : entries)
    if (!ExprKeywordRegisterArg(e.name, e.fn, e.selector))
      MaAssertFailure(std::string("KwInstall--unknown keyword ") + e.name);
}

}  // namespace quil
