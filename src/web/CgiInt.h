// CgiInt: what the request-processing files share -- the steps of the
// request text, and the seams through which request processing reaches the
// template layer, the journaling setters and the counters of other layers.
//
// SEAMS.  Every call of request processing into the template layer, the
// journaling setters and the counters of other layers goes through the
// three seams below:
//   CgiTemplateSeam  named templates (logFilter, logFilterReply, the
//                    filters of Auth.h), the footer, macros named in URLs,
//                    error pages.  The defaults are the template layer's
//                    (CgiTemplate.cc); tests install their own.
//   CgiStore*        the conference changes request processing itself
//                    makes (the URL base), through the FrmBk journaling
//                    setters.
//   CgiTimesSeam     the counters of the request-times line that other
//                    layers keep (file I/O time, background time, queued
//                    HTTP requests); 0 until they are wired.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Cgi.h"

namespace quil {

// ---------------------------------------------------------------------------
// The request text.

struct CgiRequestParts {
  St commandText;
  St cert;
  St location;
  bool locationOnly = false;  // the text had no "@"
};
// Splits a decoded request text at its first "@" (command text) and the
// rest at its first "@" (certificate, location).  A text without "@" is a
// location alone with command text "14".
void CgiSplitRequestText(const St& text, CgiRequestParts* parts);
// Reads a command text: the "L" suffix is taken off (*needsLogin) and the
// number returned when it is 1..300; kCgiCmdMacro for a macro name (the
// text begins with a letter or "_"); kCgiCmdBadUrl otherwise.
int CgiCommandNumber(St* commandText, bool* needsLogin);
// Whether the request's form came with it (fields in the URL or the body,
// or files).
bool CgiHasFormData(const CgiRequest& r);

// Steps 3 to 9 of one request (everything before authentication) on r,
// which holds the event and the root.  False when the request is already
// answered (r.page holds the page: "Post with no data").
bool CgiParseRequest(CgiRequest& r);
// Step 10 and 11: authentication and the gates.  False when answered.
bool CgiAuthenticate(CgiRequest& r);
void CgiGates(CgiRequest& r);

// The folder whose footer ends r's page: r.footerFolder, else the folder of
// the location (a discussion's or message's folder), else none.
ForumFile CgiFooterFolder(CgiRequest& r);
// The HTTP date of seconds since 1970.
St CgiHttpDate(int64_t seconds);

// ---------------------------------------------------------------------------
// Seam to the template layer.

struct CgiTemplateSeam {
  // Runs the named template with the request's variables: false when the
  // site defines none of that name, else true with its output.
  std::function<bool(CgiRequest& r, const char* name, St* output)> runNamed;
  // The footer that ends a page of folder (empty handle: the top level):
  // the folder's own footer template or the default footer, evaluated.
  std::function<St(CgiRequest& r, const ForumFile& folder)> footer;
  // Renders the macro named in a URL for folder into r.page as the page
  // (BufAddTemplateActionPath); false when it is missing: not defined, or
  // template use is off and it is not an extension macro.
  std::function<bool(CgiRequest& r, const St& name, const ForumFile& folder)> macroPage;
  // Writes a complete error page (BufAddTemplateError): title, message,
  // footer, "</BODY></HTML>".
  std::function<void(CgiRequest& r, const St& title, const St& message)> errorPage;
};
// The template layer's bodies of the seam, the defaults (CgiTemplate.cc):
// runNamed is TemplateFilterRun for the request's user, certificate and
// location; footer the folder's footer template (HtmlFooterTemplate)
// rendered; macroPage the macro of TemplateFileLookup rendered with
// BufAddTemplateActionPath (the location as action path); errorPage
// BufAddTemplateError with the footer of r.footerFolder.
bool CgiTemplateRunNamed(CgiRequest& r, const char* name, St* output);
St CgiTemplateFooter(CgiRequest& r, const ForumFile& folder);
bool CgiTemplateMacroPage(CgiRequest& r, const St& name, const ForumFile& folder);
void CgiTemplateErrorPage(CgiRequest& r, const St& title, const St& message);
// Installs a seam; members left empty take the defaults.
void CgiSetTemplateSeam(CgiTemplateSeam seam);
const CgiTemplateSeam& CgiTemplates();
// An error page that needs no template: "<HTML><HEAD><TITLE>"
// product " - " title "</TITLE></HEAD><BODY>" "<h3>" message "</h3>" footer
// "</BODY></HTML>".
void CgiBuiltinErrorPage(CgiRequest& r, const St& title, const St& message);

// The site's template state, started by ForumCgiInit and stopped by
// ForumCgiTerm: the expression and template packages, the main site bound
// to root (document directory, link strings), the standard static files
// installed where missing, the sysop-setting templates cached, the site's
// template file loaded, and the HTTP server's template pages.
void CgiTemplateStart(ForumRoot root);
void CgiTemplateStop();
// Goes up with each CgiTemplateStart: templates that handlers parse once
// and keep are parsed again when it changed (the expression package was
// started anew, as a restart does).
int32_t CgiTemplateGeneration();
// The HTTP server's document directory as the sysop set it (webData): nil
// gives "html", empty "." (the working directory).
std::string CgiDocumentDirectory(ForumRoot root);
// The script path of the site's links ("/" and webScript, "/Quil" when
// not set).
St CgiScriptPath(ForumRoot root);

// ---------------------------------------------------------------------------
// Seam to the journaling setters.

// Stores the URL base (FrmBkSysopSetUrlPreQuery).
void CgiStoreSetUrlPreQuery(ForumRoot root, St value);

// ---------------------------------------------------------------------------
// Seam to the counters of the request-times line.

struct CgiTimesSeam {
  std::function<int64_t()> ioMillis;   // file time so far (store)
  std::function<int64_t()> bgMillis;   // background time so far (queue)
  std::function<int32_t()> httpQueue;  // forum requests waiting (front end)
};
void CgiSetTimesSeam(CgiTimesSeam seam);
const CgiTimesSeam& CgiTimes();

// ---------------------------------------------------------------------------
// The action table as built in (CgiActions.cc): one entry per command
// that has a handler.  ForumCgiInit copies it into the live table.
extern const CgiAction kCgiActionTable[];
extern const int kCgiActionTableSize;
void CgiActionsInit();

// The handler of command 44 and of saved-post marks.
void CgiActPostLookup(CgiRequest& r);


// ---------------------------------------------------------------------------
// The people's actions (CgiUser.cc) and pictures (CgiPicture.cc).

void CgiActLoginForm(CgiRequest& r);     // 15 CreateLoginForm
void CgiActRegisterForm(CgiRequest& r);  // 18 CreateRegistrationForm
void CgiActRegister(CgiRequest& r);      // 20 RegisterNewUser
void CgiActLogin(CgiRequest& r);         // 23 LoginRegisteredUser
void CgiActPrefsForm(CgiRequest& r);     // 25 CreateUserPrefsFormParams, and the log-out
void CgiActPrefs(CgiRequest& r);         // 26 ProcessUserPrefs
void CgiActPostFailed(CgiRequest& r);    // 45 DisplayPostFailed
void CgiActUserPicture(CgiRequest& r);   // 27 DisplayUserPicture (by name)
void CgiActDefaultPicture(CgiRequest& r);  // 30 DisplayDefaultPicture
void CgiActUserPictureI(CgiRequest& r);  // 31 DisplayUserPictureI (by unique identifier)
void CgiActGuestPicture(CgiRequest& r);  // 43 DisplayGuestPicture (by message)

// The login-to-post form for a guest who posts under the name of a
// registered user: the post is kept (PostMark) and the form logs in to
// the kept post, which is then posted under the login.
void CgiLoginToPost(CgiRequest& r);
// The syntax check of an e-mail address: one "@" with text before it, a
// domain of dot-separated labels after it, no blanks, controls or the
// specials of RFC 5322 (quoted local parts are not taken).
bool CgiEmailIsValid(const St& email);
// The picture of a preferences form (the uploaded file "picture", or the
// check box "clearPicture"), stored for the request's user; nil when all
// went well (or there was none), else the message that says why the
// picture was refused.
St CgiPrefsPicture(CgiRequest& r);

// The routines registered with CgiMemorySettingsAdd (CgiInfo.cc).
std::vector<CgiServiceFn>& CgiMemorySettingsFns();

// Showing a location (CgiShow.cc): commands 1, 2, 5 to 8, 13, 14, 37, 56
// and 128.
void CgiActShowLocation(CgiRequest& r);

// The page cache of guests' location pages (CgiPageCache.cc).  A guest's
// view of a folder or discussion is the same page for every guest who
// sends the same request while nothing it shows changes, and such views
// are most of a public conference's traffic.  Made where a handler is
// about to render the page (after its side effects: hit counts, read
// marks): when a page kept for the same request is still valid it is
// written to r.page and Hit() is true, and the handler writes nothing
// more; otherwise the handler renders, and what it wrote is kept when
// the scope ends, unless the rendering called a keyword that is not
// stable (ExprKeywordIsStable), changed the store or raised.  A kept page
// is valid while the store's change count (ChChangeCount), the templates'
// generation and the guests' "new" cut-off are those it was made at.
// The footer, certificate links and header are added later, as for any
// page.
class CgiPageCacheScope {
 public:
  explicit CgiPageCacheScope(CgiRequest& r);
  ~CgiPageCacheScope();
  CgiPageCacheScope(const CgiPageCacheScope&) = delete;
  CgiPageCacheScope& operator=(const CgiPageCacheScope&) = delete;
  bool Hit() const { return hit_; }

 private:
  CgiRequest& r_;
  std::string key_;
  bool hit_ = false, keeping_ = false;
  int32_t from_ = 0;
  uint64_t unstable_ = 0, stamp_changes_ = 0;
  int64_t stamp_templates_ = 0;
  LgDbTd stamp_cutoff_;
};
// Forgets every kept page (the database closes).
void CgiPageCacheClear();
// Pages shown from the cache and pages kept, since the start.
struct CgiPageCacheCounts {
  uint64_t hits = 0, kept = 0;
};
CgiPageCacheCounts CgiPageCacheCount();
// CgiInfo.cc: the outline of a discussion (230), an enclosure (233), user
// information (67 by message, 122 by name, 135 and 224 by identifier),
// item information (225), quit (33) and restart (202).
void CgiActShowSummary(CgiRequest& r);
void CgiActDownload(CgiRequest& r);
void CgiActUserInfo(CgiRequest& r);
void CgiActGetInfo(CgiRequest& r);
void CgiActQuit(CgiRequest& r);
void CgiActRestart(CgiRequest& r);

}  // namespace quil
