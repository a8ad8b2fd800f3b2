// The other reading pages: the outline of a discussion (230), downloads of
// enclosures (233), information about a user (67, 122, 135, 224) or an
// item (225); and the sysop's quit (33) and restart (202).
#include <string>
#include <vector>

#include "CgiInt.h"
#include "Ec.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Ht.h"

namespace quil {

namespace {

constexpr int kPageDiscussionSummary = 25;
constexpr int kPageUserInfo = 46;
constexpr int kPageGetInfo = 62;

St Cat3(std::string_view a, std::string_view b, std::string_view c) {
  std::string s;
  s.reserve(a.size() + b.size() + c.size());
  s.append(a).append(b).append(c);
  return StFromView(s);
}

void NotFound(CgiRequest& r, std::string_view title) {
  CgiErrorPage(r, title, Cat3("\"", StToSgml(r.location).View(), "\" not found").View());
}

// The read right on item: true when the user has it; otherwise the request
// is answered (a guest gets the login form with the request kept).
bool MayRead(CgiRequest& r, const ForumFile& item) {
  if (ForumAccOpCk(item, r.user, kForumAccRead)) return true;
  if (r.guest)
    CgiKeepAndLogin(r);
  else
    CgiErrorPage(r, "No access", StToSgml(EcToSt(2407)).View());
  return false;
}

// The user information page, built in: the shown user reaches the page as
// the form field "infoUser" (its identifier), which the page makes the
// author of its keywords.  E-mail addresses are not shown to others (the
// page is public and would feed address harvesters).
// (The shared head, TemplateHeadOpen and TemplateHeadClose, goes around
// kUserInfoTitle.)
constexpr char kUserInfoTitle[] =
    "%% setAuthor(form(\"infoUser\")) %%%% siteTitle.toSGML %% - %% authorName.toSGML %%";
constexpr char kUserInfoPage[] =
    "<h1>%% authorName.toSGML %%</h1>\n<dl class=\"info\">\n"
    "%% if authorIsSysop %%<dt>Role</dt><dd>System operator</dd>\n%% endif %%"
    "%% if authorHomePage != \"\" %%<dt>Home page</dt><dd><a href=\"%% "
    "authorHomePage.toSGML %%\" rel=\"nofollow\">%% authorHomePage.toSGML %%</a></dd>\n%% "
    "endif %%"
    "%% if authorBio != \"\" %%<dt>About</dt><dd>%% authorBio.toSGML %%</dd>\n%% endif %%"
    "%% if authorUrls != \"\" %%<dt>Links</dt><dd>%% authorUrls %%</dd>\n%% endif %%"
    "</dl>\n<p><a class=\"button secondary\" href=\"?14@@\">Back to the top level</a></p>\n"
    "</main>\n";

const TemplateRef& UserInfoTemplate() {
  static St siteString, urlBase;
  static int32_t generation = -1;
  static TemplateRef t;
  const TemplateSite& site = TemplateCurrentSite();
  if (generation != CgiTemplateGeneration() || siteString.View() != site.siteString.View() ||
      urlBase.View() != site.urlBase.View()) {
    std::string text(TemplateHeadOpen());
    text += kUserInfoTitle;
    text += TemplateHeadClose();
    text += kUserInfoPage;
    t = TemplateParse(StFromView(text), site.siteString, site.urlBase);
    siteString = site.siteString;
    urlBase = site.urlBase;
    generation = CgiTemplateGeneration();
  }
  return t;
}

// The user a user-information command names: the author of the message
// of the location (67), the user of that name (122), or the user of that
// identifier in hexadecimal (135, 224).  0 when there is none.
ChHandle ShownUser(CgiRequest& r) {
  std::string_view loc = r.location.View();
  while (!loc.empty() && loc.front() == '/') loc.remove_prefix(1);
  if (r.command == 67) {
    ForumFile item = CgiOpenLocation(r.root, r.location);
    if (!item || !ForumFileIsMessage(item)) return 0;
    ForumFile d = ForumFileParent(item);
    int32_t index = 0;
    if (!StIntStXfm(ForumFileName(item), &index)) return 0;
    return ForumItemAuthor(d, index);
  }
  if (loc.empty() || loc.size() > 256) return 0;
  if (r.command == 122) return ForumUserLookup(r.root, StFromView(loc));
  if (!loc.empty() && loc.front() == '.') loc.remove_prefix(1);
  if (loc.empty() || loc.size() > 8) return 0;
  uint32_t id = 0;
  for (char c : loc) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return 0;
    id = id * 16 + uint32_t(d);
  }
  if (id == 0) return 0;
  ChHandle rec = ForumRecFromUniqueId(r.root, int32_t(id));
  return rec;
}

}  // namespace

void CgiActShowSummary(CgiRequest& r) {
  ForumFile item = CgiOpenLocation(r.root, r.location);
  if (item && ForumFileIsMessage(item)) item = ForumFileParent(item);
  if (!item || !ForumFileIsForum(item)) {
    NotFound(r, "Discussion Pathname Not Found");
    return;
  }
  if (!MayRead(r, item)) return;
  BufAddTemplatePage(r.page, kPageDiscussionSummary, r.user, r.cert, item, &r);
  r.lastModified = ForumFileDate(item);
}

void CgiActDownload(CgiRequest& r) {
  ForumFile doc = CgiOpenLocation(r.root, r.location);
  if (!doc || !ForumFileIsDocument(doc)) {
    r.html = true;
    NotFound(r, "Pathname not found");
    return;
  }
  // An enclosure may be read by whoever may read what holds it.
  ForumFile holder = ForumFileParent(doc);
  if (!MayRead(r, holder ? holder : doc)) {
    r.html = true;
    return;
  }
  St type = ForumDocumentContentType(doc);
  r.contentType = type.Empty() ? StCStrXfm("application/octet-stream") : type;
  r.lastModified = ForumFileDate(doc);
  BufOpen(r.page);
  BufAddSt(r.page, ForumDocumentData(doc));
  r.html = false;
  r.pageComplete = true;
}

void CgiActUserInfo(CgiRequest& r) {
  ChHandle shown = ShownUser(r);
  int type = shown ? ForumUserGetType(r.root, shown) : 0;
  if (!ForumIsRecordPrincipal(shown) ||
      (type != kForumUserRegistered && type != kForumUserGuest)) {
    CgiErrorPage(r, "User Information", "There is no information about this user.");
    return;
  }
  St id = StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(r.root, shown)));
  r.form.push_back({StCStrXfm("infoUser"), id});
  TemplateRef site;
  if (TemplateFileLookup(StCStrXfm(TemplatePageTypeName(kPageUserInfo)), ForumFile(), &site))
    BufAddTemplatePage(r.page, kPageUserInfo, r.user, r.cert, ForumFile(), &r);
  else
    BufAddTemplateUserInfo(r.page, UserInfoTemplate(), r.user, r.cert, ForumFile(), &r, shown);
  r.form.pop_back();
}

void CgiActGetInfo(CgiRequest& r) {
  ForumFile item = r.location.Empty() ? ForumTopFolder(r.root)
                                      : CgiOpenLocation(r.root, r.location);
  if (!item) {
    NotFound(r, "Pathname not found");
    return;
  }
  if (!MayRead(r, item)) return;
  BufAddTemplatePage(r.page, kPageGetInfo, r.user, r.cert, item, &r);
}

// ---------------------------------------------------------------------------
// Quit and restart.

namespace {
std::vector<CgiServiceFn>& RestartFns() {
  static std::vector<CgiServiceFn> fns;
  return fns;
}
}  // namespace

void CgiRestartAdd(CgiServiceFn fn) { RestartFns().push_back(fn); }

std::vector<CgiServiceFn>& CgiMemorySettingsFns() {
  static std::vector<CgiServiceFn> fns;
  return fns;
}
void CgiMemorySettingsAdd(CgiServiceFn fn) { CgiMemorySettingsFns().push_back(fn); }

void CgiActQuit(CgiRequest& r) {
  std::string_view loc = r.location.View();
  while (!loc.empty() && loc.front() == '/') loc.remove_prefix(1);
  if (loc == "halt" || CkHasName(r.form, "halt")) MaHalt("Halt by sysop");
  Wf_log_write("**** CGI_FORCE_QUIT ****");
  r.noCache = true;
  CgiErrorPage(r, "Quitting", Cat3(kEcProductName, " has shut down.", "").View());
  HtRequestQuit();
}

void CgiActRestart(CgiRequest& r) {
  Wf_log_write(" CGI -- Restarting due to RESTART_NT command");
  r.noCache = true;
  CgiErrorPage(r, "Restarting", Cat3(kEcProductName, " is restarting.", "").View());
  if (RestartFns().empty()) {
    // Nothing can start the server again in this process: it stops.
    HtRequestQuit();
    return;
  }
  for (CgiServiceFn fn : RestartFns()) fn();
}

}  // namespace quil
