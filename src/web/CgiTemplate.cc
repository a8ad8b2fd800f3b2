// Request processing on the template layer: the request as the template
// layer sees it (CgiRequest's TemplateRequest face), the template seam's
// bodies (named templates and filters, the footer, URL macros, error
// pages), the site's template state started and stopped with request
// processing, and the template pages (".tpl" files) of the HTTP server.
#include <string>

#include "Auth.h"
#include "CgiInt.h"
#include "Ex.h"
#include "FrmBk.h"
#include "Web.h"

namespace quil {

// ---------------------------------------------------------------------------
// The request.

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of cookie name in a Cookie header ("a=1; b=2"): the first of
// that name, URL-decoded; nil when absent.  Names compare exactly.
St CookieValue(const St& header, std::string_view name) {
  std::string_view rest = header.View();
  while (!rest.empty()) {
    size_t semi = rest.find(';');
    std::string_view item = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    if (Trim(item.substr(0, eq)) != name) continue;
    std::string_view value = Trim(item.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return StFromUrlQuote(StFromView(value));
  }
  return St();
}

const CgiPair* LastField(const CgiPairList& form, std::string_view name) {
  const CgiPair* found = nullptr;
  for (const CgiPair& p : form)
    if (p.name.View() == name) found = &p;
  return found;
}

}  // namespace

St CgiRequest::Value(std::string_view name) const {
  if (const CgiPair* p = LastField(form, name)) return p->value.IsNil() ? StCreate() : p->value;
  return event ? CookieValue(event->cookie, name) : St();
}

bool CgiRequest::HasValue(std::string_view name) const {
  return LastField(form, name) != nullptr || (event && !CookieValue(event->cookie, name).IsNil());
}

void CgiRequest::AllValues(std::string_view name, std::vector<St>* out) const {
  for (const CgiPair& p : form)
    if (p.name.View() == name) out->push_back(p.value.IsNil() ? StCreate() : p.value);
}

void CgiRequest::FormNames(std::vector<St>* out) const {
  for (const CgiPair& p : form) out->push_back(p.name);
}

St CgiRequest::Cookie(std::string_view name) const {
  return event ? CookieValue(event->cookie, name) : St();
}

St CgiRequest::CgiVariable(std::string_view name) const {
  if (!event) return St();
  const CgiEvent& e = *event;
  auto orNil = [](const St& s) { return s.Empty() ? St() : s; };
  if (EqualNoCase(name, "request_method")) return orNil(e.method);
  if (EqualNoCase(name, "query_string")) {
    St q = CgiEventPair(e, "query_string");
    return q.IsNil() ? orNil(e.query) : q;
  }
  if (EqualNoCase(name, "remote_addr")) return orNil(e.remoteAddr);
  if (EqualNoCase(name, "server_name")) return orNil(e.serverName);
  if (EqualNoCase(name, "http_cookie")) return orNil(e.cookie);
  if (EqualNoCase(name, "content_type")) return orNil(e.contentType);
  if (EqualNoCase(name, "remote_user")) return orNil(e.remoteUser);
  if (EqualNoCase(name, "http_user_agent")) return orNil(e.userAgent);
  if (EqualNoCase(name, "http_from")) return orNil(e.from);
  if (EqualNoCase(name, "script_name")) return orNil(e.scriptName);
  return CgiEventPair(e, name);
}

void CgiRequest::AddResponseHeader(St line) {
  if (line.Empty()) return;
  // One line each: a line break inside would start a header of the
  // template's making, or end the header early.
  std::string text;
  for (char c : line.View())
    if (c != '\r' && c != '\n') text += c;
  text += "\r\n";
  extraHeaders = StAppendView(extraHeaders.IsNil() ? StCreate() : std::move(extraHeaders), text);
}

// ---------------------------------------------------------------------------
// The seam's bodies.

namespace {

// The item a rendering for r stands at: its location opened (empty when
// none opens).
ForumFile RequestPath(CgiRequest& r) {
  return r.location.Empty() ? ForumFile() : CgiOpenLocation(r.root, r.location);
}

}  // namespace

bool CgiTemplateRunNamed(CgiRequest& r, const char* name, St* output) {
  // The look-up first: most requests run filters that the site does not
  // define, and those must cost no location look-up.
  TemplateRef t;
  int type = TemplatePageTypeFromName(name);
  if (!TemplateFileLookup(StCStrXfm(name), ForumFile(), &t) &&
      type != kTemplateLoginFilter && type != kTemplateLoginFailureFilter)
    return false;
  return TemplateFilterRun(name, r.user, r.cert, RequestPath(r), &r, output);
}

St CgiTemplateFooter(CgiRequest& r, const ForumFile& folder) {
  TemplateRef t = HtmlFooterTemplate(folder);
  if (!t) return StCreate();
  return TemplateProcess(t, r.user, r.cert, folder, &r);
}

bool CgiTemplateMacroPage(CgiRequest& r, const St& name, const ForumFile& folder) {
  TemplateRef t;
  if (!TemplateFileLookup(name, folder, &t)) return false;
  // With template use off only the extension file's macros answer.
  if (r.root && !ForumSysopUseTemplates(r.root) && !TemplateIsExtn(t)) return false;
  if (!r.page.IsOpen()) BufOpen(r.page);
  BufAddTemplateActionPath(r.page, t, r.user, r.cert, folder, &r, r.location);
  return true;
}

void CgiTemplateErrorPage(CgiRequest& r, const St& title, const St& message) {
  if (!r.page.IsOpen()) BufOpen(r.page);
  BufAddTemplateError(r.page, r.user, r.cert, r.footerFolder, &r, title, message);
  r.pageComplete = true;
}

// ---------------------------------------------------------------------------
// The site.

namespace {

// Settings of the sysop record without an accessor of their own (the HTTP
// service's), read by name: nil when absent.
St SysopField(ForumRoot root, const char* field) {
  return root ? ForumRootField(root, StCStrXfm(field)) : St();
}

// Renders a ".tpl" file of the document directory as a page: parsed with
// the site's link strings, for nobody (no request, no user), at the top
// level.  The HTTP server serves the result as it serves the file.
bool TemplatePage(const St&, const St& contents, St* page) {
  TemplateSite& site = TemplateCurrentSite();
  TemplateRef t = TemplateParse(contents.IsNil() ? StCreate() : contents, site.siteString,
                                site.urlBase);
  *page = TemplateProcess(t, 0, St(), ForumFile(), nullptr);
  if (page->IsNil()) *page = StCreate();
  return true;
}

bool siteStarted = false;
int32_t generation = 0;

}  // namespace

int32_t CgiTemplateGeneration() { return generation; }

std::string CgiDocumentDirectory(ForumRoot root) {
  St data = SysopField(root, "WebData");
  if (data.IsNil()) return "html";
  if (data.Empty()) return ".";
  std::string dir = data.Str();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

St CgiScriptPath(ForumRoot root) {
  St script = SysopField(root, "WebScript");
  std::string s = script.IsNil() || script.Empty() ? "Quil" : script.Str();
  if (s.front() != '/') s.insert(s.begin(), '/');
  return StFromView(s);
}

void CgiTemplateStart(ForumRoot root) {
  (void)ExprInitRtns(kPkgInit, kPkgVersion);
  (void)TemplateInitRtns(kPkgInit, kPkgVersion);
  TemplateSite& site = TemplateMainSite();
  site.root = root;
  site.isMain = true;
  site.docDir = CgiDocumentDirectory(root);
  site.siteString = StAppendView(CgiScriptPath(root), "?");
  St base = root ? ForumSysopUrlPreQuery(root) : St();
  site.urlBase = base.Empty() ? St() : base;
  TemplateSetCurrentSite(&site);
  // The built-in pages link the stylesheet and pictures of the document
  // directory: a site that lacks them gets them (its own are kept).
  (void)TemplateStaticFilesInstall(site);
  for (const TemplateStaticFile& f : TemplateStaticFiles())
    WebAddFileContentType(f.name, TemplateStaticFileType(f.name));
  ForumTemplateCache(site);
  TemplateFileRefresh(site);
  WebSetTemplatePageFn(TemplatePage);
  siteStarted = true;
  ++generation;
}

void CgiTemplateStop() {
  if (!siteStarted) return;
  siteStarted = false;
  WebSetTemplatePageFn(nullptr);
  WebClearFileContentTypes();
  TemplateSite& site = TemplateMainSite();
  TemplateFileClose(site);
  TemplateCacheTerm(site);
  site.root = nullptr;
  (void)TemplateInitRtns(kPkgTerm, 0);
  (void)ExprInitRtns(kPkgTerm, 0);
}

}  // namespace quil
