// Rendering for the forum: evaluation contexts with the conference side,
// BufAddTemplate and its wrappers, the error page, the in-memory request,
// and the field scopes (user, author, path, site, session).
#include <functional>

#include "Auth.h"
#include "Eval.h"
#include "ForumRead.h"
#include "ForumUser.h"
#include "Template.h"
#include "TemplateInt.h"

namespace quil {

// ---------------------------------------------------------------------------
// The in-memory request.

namespace {

St FindPair(const std::vector<std::pair<St, St>>& list, std::string_view name,
            bool last) {
  St out;
  for (const auto& [n, v] : list) {
    if (n.View() != name) continue;
    out = v;
    if (!last) break;
  }
  return out;
}

}  // namespace

void TemplateSimpleRequest::AddForm(std::string_view name,
                                    std::string_view value) {
  form.emplace_back(StFromView(name), StFromView(value));
}

St TemplateSimpleRequest::Value(std::string_view name) const {
  St v = FindPair(form, name, true);
  if (v.IsNil()) v = FindPair(cookies, name, true);
  return v;
}

bool TemplateSimpleRequest::HasValue(std::string_view name) const {
  for (const auto& [n, v] : form)
    if (n.View() == name) return true;
  for (const auto& [n, v] : cookies)
    if (n.View() == name) return true;
  return false;
}

void TemplateSimpleRequest::AllValues(std::string_view name,
                                      std::vector<St>* out) const {
  for (const auto& [n, v] : form)
    if (n.View() == name) out->push_back(v);
}

void TemplateSimpleRequest::FormNames(std::vector<St>* out) const {
  for (const auto& [n, v] : form) out->push_back(n);
}

St TemplateSimpleRequest::Cookie(std::string_view name) const {
  return FindPair(cookies, name, true);
}

St TemplateSimpleRequest::CgiVariable(std::string_view name) const {
  for (const auto& [n, v] : cgi)
    if (ExprEqualNoCase(n.View(), name)) return v;
  return St();
}

void TemplateSimpleRequest::AddResponseHeader(St line) {
  if (!line.View().ends_with("\r\n")) line = StAppendView(std::move(line), "\r\n");
  responseHeaders.push_back(std::move(line));
}

// ---------------------------------------------------------------------------
// Contexts.

namespace {

// A message somebody else wrote is seen once its page is rendered.  A
// user without read marks (a guest) marks nothing: asked first, so that
// such a user's pages do not look up every message's author for nothing.
void MarkSeen(ForumRoot root, ChHandle user, const ForumFile& path) {
  if (root && user && path && ForumUserHasMarks(root, user) &&
      ForumFileIsMessage(path)) {
    ForumFile discussion = ForumFileParent(path);
    int32_t index;
    if (discussion && StIntStXfm(ForumFileName(path), &index) &&
        ForumItemAuthor(discussion, index) != user)
      TplMarkRead(root, user, discussion, index);
  }
}

}  // namespace

std::unique_ptr<ExprContext> ExprContextCreate(ChHandle user,
                                               const St& certificate,
                                               const ForumFile& path,
                                               TemplateRequest* request) {
  TemplateSite& site = TemplateCurrentSite();
  ForumRoot root = site.Root();
  auto ctx = std::make_unique<ExprContext>(
      root ? ForumSysopWhileLimit(root) : kExprDefaultWhileLimit);
  ctx->root = root;
  ctx->site = &site;
  ctx->user = user;
  ctx->certificate = certificate;
  if (!certificate.Empty()) ctx->authTag = AuthTag(certificate);
  ctx->path = path;
  ctx->startPath = path;
  ctx->request = request;
  MarkSeen(root, user, path);
  return ctx;
}

void ExprContextDestroy(std::unique_ptr<ExprContext>& ctx) { ctx.reset(); }

namespace {

using Setup = std::function<void(ExprContext&)>;

void Render(Buf& buf, const TemplateRef& t, ChHandle user, const St& cert,
            const ForumFile& path, TemplateRequest* request,
            const Setup& setup) {
  if (!t) return;
  std::unique_ptr<ExprContext> ctx =
      ExprContextCreate(user, cert, path, request);
  if (setup) setup(*ctx);
  BufEvalTemplate(buf, t, *ctx);
}

}  // namespace

void BufAddTemplate(Buf& buf, const TemplateRef& t, ChHandle user,
                    const St& certificate, const ForumFile& path,
                    TemplateRequest* request) {
  Render(buf, t, user, certificate, path, request, nullptr);
}

TemplateMessageRun::TemplateMessageRun(ChHandle user, const St& certificate,
                                       TemplateRequest* request)
    : ctx_(ExprContextCreate(user, certificate, ForumFile(), request)) {}

TemplateMessageRun::~TemplateMessageRun() = default;

void TemplateMessageRun::Add(Buf& buf, const TemplateRef& t,
                             const ForumFile& message) {
  if (!t) return;
  ExprContext& ctx = *ctx_;
  // What a context of its own would start with: the message as the path
  // and the start, seen by the user.
  MarkSeen(ctx.root, ctx.user, message);
  ctx.path = message;
  ctx.startPath = message;
  // Its facts told from the open handle (its record is the handle's), not
  // looked up again by position in the discussion's list.
  ForumFile d;
  int32_t index;
  if (TemplateMessageOf(message, &d, &index))
    TemplateFactsPrime(ctx, ctx.path, d, index, ForumFileRecord(message));
  BufEvalTemplate(buf, t, ctx);
}

ForumFile TemplateMessageRun::Message(const ForumFile& d, int32_t index) {
  ChHandle rec;
  ForumFile m = TemplateCachedMessage(*ctx_, d, index, &rec);
  // Its facts told now, so that rendering it looks nothing up again.
  if (m) TemplateFactsPrime(*ctx_, m, d, index, rec);
  return m;
}

void TemplateMessageRun::AddStable(Buf& buf, const TemplateRef& t,
                                   const ForumFile& message) {
  ExprContext& ctx = *ctx_;
  TemplateMessageCache::Entry* e = t ? TemplateFactEntry(ctx, message) : nullptr;
  if (!e) return Add(buf, t, message);
  ChHandle author = TemplateFactAuthor(ctx, message);
  St name = ForumIsRecordPrincipal(author) ? TemplateFactUserName(ctx, author) : St();
  St format = TemplateFactTimeFormat(ctx);
  for (const TemplateMessageCache::Entry::Cooked& c : e->cooked) {
    if (c.t == t && c.authorName == name && c.timeFormat == format) {
      MarkSeen(ctx.root, ctx.user, message);
      BufAddSt(buf, c.text);
      return;
    }
  }
  int32_t from = buf.Position();
  Add(buf, t, message);
  St text = StFromView(buf.View().substr(size_t(from)));
  // Looked up again: the rendering may have emptied the cache.
  e = TemplateFactEntry(ctx, message);
  if (!e) return;
  TemplateMessageCache::Entry::Cooked* slot = nullptr;
  for (TemplateMessageCache::Entry::Cooked& c : e->cooked)
    if (c.t == t) slot = &c;
  if (!slot) slot = &e->cooked.emplace_back();
  TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
  if (site.messages) site.messages->bytes += text.Length() + 64;
  *slot = {t, std::move(name), std::move(format), std::move(text)};
}

St TemplateProcess(const TemplateRef& t, ChHandle user, const St& certificate,
                   const ForumFile& path, TemplateRequest* request) {
  Buf buf;
  BufOpen(buf, kBufOpenSmallSize);
  BufAddTemplate(buf, t, user, certificate, path, request);
  return BufClose(buf);
}

#define TPL_WRAPPER(name, params, body)                                    \
  void name(Buf& buf, const TemplateRef& t, ChHandle user, const St& cert, \
            const ForumFile& path, TemplateRequest* request params) {      \
    Render(buf, t, user, cert, path, request, [&](ExprContext& c) body);   \
  }
#define COMMA ,

TPL_WRAPPER(BufAddTemplateTextGroup, COMMA St textGroup,
            { c.chatTextGroup = std::move(textGroup); })
TPL_WRAPPER(BufAddTemplateAtEnd, COMMA bool atEnd, { c.atEnd = atEnd; })
TPL_WRAPPER(BufAddTemplateErrMsg, COMMA St message,
            { ExprContextSetErrMsg(c, std::move(message)); })
TPL_WRAPPER(BufAddTemplateErrTitleMsg, COMMA St title COMMA St message, {
  ExprContextSetErrTitle(c, std::move(title));
  ExprContextSetErrMsg(c, std::move(message));
})
TPL_WRAPPER(BufAddTemplateActionPath, COMMA St actionPath,
            { ExprContextSetActionPath(c, std::move(actionPath)); })
TPL_WRAPPER(BufAddTemplateLogin, COMMA St actionPath COMMA int loginType, {
  ExprContextSetActionPath(c, std::move(actionPath));
  ExprContextSetLoginType(c, loginType);
})
TPL_WRAPPER(BufAddTemplateRegister, COMMA St actionPath COMMA int registerType,
            {
              ExprContextSetActionPath(c, std::move(actionPath));
              ExprContextSetRegisterType(c, registerType);
            })
TPL_WRAPPER(BufAddTemplateUserInfo, COMMA ChHandle shown,
            { c.userShown = shown; })
TPL_WRAPPER(BufAddTemplateAddFolder, COMMA ExprEditForm form,
            { ExprContextSetEditFolder(c, std::move(form)); })
TPL_WRAPPER(BufAddTemplateAddDiscussion, COMMA ExprEditForm form,
            { ExprContextSetAddDiscussion(c, std::move(form)); })
TPL_WRAPPER(BufAddTemplateAddLink, COMMA ExprEditForm form,
            { ExprContextSetAddLink(c, std::move(form)); })
TPL_WRAPPER(BufAddTemplateLive, COMMA ExprEditForm form,
            { ExprContextSetAddLive(c, std::move(form)); })
TPL_WRAPPER(BufAddTemplateEditLink, COMMA ExprEditForm form,
            { ExprContextSetAddLink(c, std::move(form)); })
TPL_WRAPPER(BufAddTemplateMessage, COMMA St title COMMA St message, {
  ExprContextSetTitle(c, std::move(title));
  ExprContextSetMessage(c, std::move(message));
})
TPL_WRAPPER(BufAddTemplatePreviewMessage, COMMA St title COMMA St message, {
  ExprContextSetTitle(c, std::move(title));
  ExprContextSetMessage(c, std::move(message));
})
TPL_WRAPPER(BufAddTemplatePreviewFolderItem, COMMA St title COMMA St message, {
  ExprContextSetTitle(c, std::move(title));
  ExprContextSetMessage(c, std::move(message));
})
TPL_WRAPPER(BufAddTemplateMsgItem, COMMA const ExprMsgItem& item,
            { ExprContextSetAddMsgItem(c, item); })
TPL_WRAPPER(BufAddTemplateMsgList, COMMA ExprMsgList list,
            { ExprContextSetAddMsgList(c, std::move(list)); })
TPL_WRAPPER(BufAddTemplatePrefs, COMMA ExprPrefsForm prefs,
            { ExprContextSetPrefs(c, std::move(prefs)); })
TPL_WRAPPER(BufAddTemplateSysopAuth, COMMA St value,
            { c.sysopAuth = std::move(value); })
TPL_WRAPPER(BufAddTemplateResponseMsg, COMMA St message,
            { ExprContextSetMessage(c, std::move(message)); })
TPL_WRAPPER(BufAddHTMLChatItems, COMMA St items,
            { c.chatTextGroup = std::move(items); })

#undef COMMA
#undef TPL_WRAPPER

void BufAddTemplatePage(Buf& buf, int pageType, ChHandle user,
                        const St& certificate, const ForumFile& path,
                        TemplateRequest* request) {
  TemplateRef t = TemplateForPage(pageType, path);
  Render(buf, t, user, certificate, path, request,
         [&](ExprContext& c) { ExprContextSetPageType(c, pageType); });
}

bool TemplateFilterRun(const char* name, ChHandle user, const St& certificate,
                       const ForumFile& path, TemplateRequest* request,
                       St* output) {
  TemplateRef t;
  if (!TemplateFileLookup(StCStrXfm(name), ForumFile(), &t)) {
    int type = TemplatePageTypeFromName(name);
    if (type != kTemplateLoginFilter && type != kTemplateLoginFailureFilter)
      return false;
    t = StandardTemplate(type);
  }
  *output = TemplateProcess(t, user, certificate, path, request);
  return true;
}

void BufAddTemplateError(Buf& buf, ChHandle user, const St& certificate,
                         const ForumFile& folder, TemplateRequest* request,
                         const St& title, const St& message) {
  if (!buf.IsOpen()) BufOpen(buf);
  ForumRoot root = TemplateCurrentSite().Root();
  // The site's title as the siteTitle keyword gives it: the program's name
  // for a site that has none, as on every other page.
  St siteTitle = root ? ForumSysopHtmlTitle(root) : St();
  if (StStripBlanks(siteTitle).Empty()) siteTitle = StCStrXfm("Quillmoot");
  // The shared head and header around the title (parsed here: error pages
  // are rare); the title again as the page's heading, the message under
  // "<h3>" below a hidden heading of the level between, so that the
  // headings go down one level at a time.
  TemplateRef headOpen = TemplateParse(StFromView(TemplateHeadOpen()));
  TemplateRef headClose = TemplateParse(StFromView(TemplateHeadClose()));
  BufAddTemplate(buf, headOpen, user, certificate, folder, request);
  BufAddS(buf, StToSgml(siteTitle));
  BufAddC(buf, " - ");
  BufAddS(buf, StToSgml(title));
  BufAddTemplate(buf, headClose, user, certificate, folder, request);
  BufAddC(buf, "<h1>");
  BufAddS(buf, StToSgml(title));
  BufAddC(buf, "</h1>\n<h2 class=\"vh\">What happened</h2>\n<h3>");
  BufAddSt(buf, message);
  BufAddC(buf, "</h3>\n</main>\n");
  BufAddTemplate(buf, HtmlFooterTemplate(folder), user, certificate, folder,
                 request);
  BufAddC(buf, "</BODY></HTML>");
}

// ---------------------------------------------------------------------------
// Fields and sessions.

namespace {

// Session variables, kept in the login session's object.
struct SessionVars : AuthSessionObject {
  std::vector<std::pair<St, St>> vars;
};

// Variables of a rendering without a session (no certificate): they live
// as long as the context.
struct LocalSessionVars : ExprContextExt {
  SessionVars vars;
};

SessionVars& Session(ExprContext& ctx) {
  if (!ctx.certificate.Empty()) {
    St remote = ctx.request ? ctx.request->CgiVariable("remote_addr") : St();
    AuthSessionObject* obj = AuthGetSession(
        ctx.certificate, remote,
        [] { return std::unique_ptr<AuthSessionObject>(new SessionVars()); });
    if (auto* vars = dynamic_cast<SessionVars*>(obj)) return *vars;
  }
  auto* local =
      static_cast<LocalSessionVars*>(ctx.FamilyState(kFamilySession));
  if (!local) {
    auto made = std::make_unique<LocalSessionVars>();
    local = made.get();
    ctx.SetFamilyState(kFamilySession, std::move(made));
  }
  return local->vars;
}

}  // namespace

// The record behind a field scope, 0 when there is none.
ChHandle TemplateScopeRecord(ExprContext& ctx, ExprKwArg scope) {
  switch (scope) {
    case ExprKwArg::kUser:
      return ForumIsRecordPrincipal(ctx.user) ? ctx.user : 0;
    case ExprKwArg::kAuthor: {
      ChHandle a = ctx.hasAuthorOverride ? ctx.authorOverride
                                         : TemplateFactAuthor(ctx, ctx.path);
      return ForumIsRecordPrincipal(a) ? a : 0;
    }
    case ExprKwArg::kPath:
      return ctx.path ? TemplateFactsOf(ctx, ctx.path).rec : 0;
    case ExprKwArg::kSite:
      return ForumRootSysopRec(ctx.root);
    default:
      return 0;
  }
}

St TemplateSessionGet(ExprContext& ctx, const St& name) {
  for (const auto& [n, v] : Session(ctx).vars)
    if (ExprEqualNoCase(n.View(), name.View())) return v;
  return St();
}

void TemplateSessionSet(ExprContext& ctx, const St& name, St value) {
  auto& vars = Session(ctx).vars;
  for (auto& [n, v] : vars)
    if (ExprEqualNoCase(n.View(), name.View())) {
      v = std::move(value);
      return;
    }
  if (vars.size() < 1000) vars.emplace_back(name, std::move(value));
}

St TemplateFieldGet(ExprContext& ctx, ExprKwArg scope, int code,
                    const St& name) {
  if (scope == ExprKwArg::kSession) return TemplateSessionGet(ctx, name);
  if (!ctx.root) {
    ctx.NoteUnavailable(code);
    return St();
  }
  ChHandle rec = TemplateScopeRecord(ctx, scope);
  if (!rec || name.Empty()) return St();
  ChHandle id = LgDbFieldIdLookup(rec, name);
  return id ? LgDbRecGetText(rec, id) : St();
}

void TemplateFieldSet(ExprContext& ctx, ExprKwArg scope, int code,
                      const St& name, St value) {
  if (scope == ExprKwArg::kSession)
    return TemplateSessionSet(ctx, name, std::move(value));
  if (!ctx.root) return ctx.NoteUnavailable(code);
  ChHandle rec = TemplateScopeRecord(ctx, scope);
  if (!rec || name.Empty() || name.Length() > 255) return;
  TplStoreRecordField(ctx.root, rec, name, std::move(value));
}

TemplateRef TemplateUseLookup(ExprContext& ctx, const St& name) {
  TemplateRef found;
  const TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
  if (TemplateFileLookup(site, name, ctx.path, &found)) return found;
  return TemplateRef();
}

}  // namespace quil
