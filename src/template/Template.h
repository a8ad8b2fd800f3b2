// Template: parsed templates, their pieces and their nested macros.
//
// A template text is literal text with statements between "%%" brackets.
// TemplateParse cuts it into pieces, one per bracket plus a leading one; each
// piece holds the parsed statement of its bracket and the literal text that
// follows it:
//
//   T0 %% e1 %% T1 %% e2 %% T2   gives the pieces (none, T0) (e1, T1) (e2, T2)
//
// Pieces are walked in order; a statement that says the walk must not go on
// in sequence (if, else, while, break, continue, return) sends it to the
// piece's jump target instead, without writing the piece's literal.
//
// "macro NAME" ... "endmacro" brackets cut a named template out of the text:
// its pieces belong to the new template, which is registered in the enclosing
// template's macro table (names compared ASCII case-insensitively).  Macros
// nest.  A macro shares its parent's text (one St block) and points back at
// its parent; the parent's destruction clears that pointer.
//
// Ownership: templates are reference-counted through TemplateRef.  A parsed
// template is never changed after TemplateParse returns (except the extension
// flag and the script library, which the loader sets before sharing it), so
// many evaluations may share it.  Destroying a deep tree of macros does not
// recurse.
//
// The rest of this header is the template package's face to the web layer:
//
//   - template files: the site file "quil.tpl" with "quilextn.tpl" appended,
//     loaded, reloaded and closed per virtual site (TemplateSite), and the
//     look-up of named macros through folder template sets;
//   - the 29 sysop-setting templates (page headings, toolbars, footer, list
//     items), cached in parsed form per site;
//   - the page-type table, the 37 built-in standard page templates, the
//     static files they use (one stylesheet) and the "Missing standard
//     template" page;
//   - rendering into a page buffer (BufAddTemplate and its wrappers) with
//     the request behind an abstract TemplateRequest that the web layer
//     implements;
//   - the seams where later packages plug in: the journaling setters of the
//     store changes that keywords make (TplStore...), the mail gateway
//     (TemplateOnEmail), read marks (TplMark...).
//
// Thread use: under the run lock (counts are not atomic).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Buf.h"
#include "Expr.h"
#include "Forum.h"
#include "ForumUser.h"
#include "St.h"

namespace quil {

extern bool TemplateDebugFlag;

class Template;

// A counted reference to a Template; copying adds a reference.
class TemplateRef {
 public:
  TemplateRef() = default;
  TemplateRef(const TemplateRef& other) noexcept;
  TemplateRef(TemplateRef&& other) noexcept : p_(other.p_) {
    other.p_ = nullptr;
  }
  TemplateRef& operator=(const TemplateRef& other) noexcept;
  TemplateRef& operator=(TemplateRef&& other) noexcept;
  ~TemplateRef() { Release(); }

  Template* get() const noexcept { return p_; }
  Template* operator->() const noexcept { return p_; }
  Template& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool operator==(const TemplateRef& o) const noexcept { return p_ == o.p_; }

  // A new template with count 1 and no pieces.
  static TemplateRef Create(St name, St text, Template* parent);
  // A further reference to an existing template (the evaluator holds the
  // template it walks this way).
  static TemplateRef Share(Template* t) noexcept;

 private:
  void Release() noexcept;
  Template* p_ = nullptr;
};

// Script functions collected from a template, compiled by the script layer.
class TemplateScript {
 public:
  virtual ~TemplateScript() = default;
};

struct TemplatePiece {
  int32_t litOff = 0;  // literal run in the template's text
  int32_t litLen = 0;
  int32_t jump = -1;   // piece taken when the walk does not go on; -1: end
  // Self-referring links of the literal run: entries [selfFirst,
  // selfFirst + selfCount) of the template's SelfRefs(), each an offset in
  // the run at which the certificate is written.
  int32_t selfFirst = 0;
  int32_t selfCount = 0;
  Expr expr;
};

class Template {
  struct Key {};

 public:
  explicit Template(Key) {}
  ~Template();
  Template(const Template&) = delete;
  Template& operator=(const Template&) = delete;

  const St& Name() const noexcept { return name_; }  // nil for a whole text
  const St& Text() const noexcept { return text_; }
  Template* Parent() const noexcept { return parent_; }
  int32_t RefCount() const noexcept { return refs_; }
  bool IsExtn() const noexcept { return isExtn_; }
  void SetExtn(bool on) noexcept { isExtn_ = on; }

  const std::vector<TemplatePiece>& Pieces() const noexcept { return pieces_; }
  const std::vector<ExprItem>& Items() const noexcept { return items_; }
  const std::vector<int32_t>& SelfRefs() const noexcept { return selfRefs_; }
  std::string_view Literal(const TemplatePiece& p) const noexcept {
    return text_.View().substr(size_t(p.litOff), size_t(p.litLen));
  }

  // Nested macros.  Find: null when absent.
  bool HasMacros() const noexcept { return macros_ && !macros_->empty(); }
  TemplateRef FindMacro(std::string_view name) const;
  void ForEachMacro(const std::function<void(const TemplateRef&)>& fn) const;

  // Script functions: the collected source and the compiled library.
  const St& ScriptSource() const noexcept { return scriptSource_; }
  TemplateScript* Script() const noexcept { return script_.get(); }
  void SetScript(std::unique_ptr<TemplateScript> script) {
    script_ = std::move(script);
  }

 private:
  friend class TemplateRef;
  friend class ExprParseState;
  friend void TemplateSelfRefBuild(Template& t, const St& siteString,
                                   const St& urlBase);

  int32_t refs_ = 1;
  St name_;
  St text_;
  Template* parent_ = nullptr;
  bool isExtn_ = false;
  std::unique_ptr<std::unordered_map<std::string, TemplateRef>> macros_;
  std::vector<TemplatePiece> pieces_;
  std::vector<ExprItem> items_;
  std::vector<int32_t> selfRefs_;
  St scriptSource_;
  std::unique_ptr<TemplateScript> script_;
};

// Spelled-out reference operations.  TemplateDestroy releases t's reference
// and leaves t null ("TemplateDestroy--TmplRefCount" when the count is
// already below 1).
TemplateRef TemplateRefInc(const TemplateRef& t);
void TemplateDestroy(TemplateRef& t);

// Parses a whole template text (consumed).  siteString and urlBase are the
// site context's strings used for links back to this server; japanese makes
// the bracket scan step over double-byte characters.  Never fails: errors
// become error expressions.  Returns a template with count 1.
TemplateRef TemplateParse(St text, const St& siteString = St(),
                          const St& urlBase = St(), bool japanese = false);

// Parses text as one statement (an assignment when it begins with "set",
// else an expression): a template of one piece.
TemplateRef TemplateParseStatement(St text);

// Looks name (consumed) up in t's own macro table.
bool TemplateLookup(const TemplateRef& t, St name, TemplateRef* found);
bool TemplateIsExtn(const TemplateRef& t);
// True for null, for no pieces, and for one empty literal piece.
bool TemplateIsEmpty(const TemplateRef& t);

// One bracket found by TemplateParseNext.
struct TemplateBracket {
  int32_t litEnd = 0;    // the literal run is [from, litEnd)
  int32_t stmtOff = 0;   // the statement, without the percent signs
  int32_t stmtLen = 0;
  int32_t next = 0;      // where the next search starts
};

// Finds the next bracket at or after from: "%%" opens, the next "%%" closes
// (a single "%" is literal), one line break (CR, CR LF or LF) after the
// closing "%%" is swallowed, and a bracket never closed takes the rest of
// the text.  False when no bracket opens (the rest is literal).  In japanese
// mode the two bytes of JIS and Shift-JIS double-byte characters are never
// taken for "%".
bool TemplateParseNext(const St& text, int32_t from, bool japanese,
                       TemplateBracket* out);

// Page types 1 to 73 and their names (the operands of pageIs).
constexpr int kTemplatePageTypes = 73;
constexpr int kTemplatePageEditPreferences = 44;
constexpr int kTemplateLoginFilter = 72;
constexpr int kTemplateLoginFailureFilter = 73;
const char* TemplatePageTypeName(int pageType);  // null out of range
int TemplatePageTypeFromName(std::string_view name);  // 0 when unknown


// ===========================================================================
// Self-referring links.
//
// Links that point back at this server carry the login certificate, so that
// a browser without cookies keeps its session: templates write such links
// as a command, "@@" and a location ("14@@/Cafe"), and the certificate goes
// between the two "@".  TemplateParse finds them in the literal text once,
// when the template is parsed, and the evaluator writes the certificate of
// the rendering into them as it writes the literal (so that no page is
// scanned again).  Keywords that build links (pathUrl, parentUrl ...) put
// the certificate in themselves.
//
// A self-referring link in literal text is an attribute value (after `="`
// or `='`) that begins with the site string, with the URL base, or with "?"
// (a link relative to the script's own address), followed by the decimal
// number of a command from 1 to 300 and "@@"; links to the commands that
// never carry a certificate (kTemplateNoCertCommands) are left alone.  A
// literal run that begins with such a command and "@@" right after a
// bracket holding only urlBase is one too (`href="%% urlBase %%14@@"`).
// siteString is the script path as the site's links write it ("/quil?"),
// urlBase its absolute form ("http://host/quil?"); either may be nil.
//
// Skip list: no link is taken inside HTML comments, inside <textarea>
// elements (text that a user edits must come back unchanged) or inside
// <script> elements; these ranges are what the parser skips.

constexpr int kTemplateNoCertCommands[] = {15, 17, 18, 20, 23, 27, 31, 43, 94, 95};
// True for 1..300 outside kTemplateNoCertCommands.
bool TemplateCommandTakesCertificate(int command);
// The offsets in text at which a certificate goes, by the rules above;
// afterUrlBase: the text follows a bracket holding only urlBase.
void TemplateSelfRefScan(std::string_view text, const St& siteString,
                         const St& urlBase, bool afterUrlBase,
                         std::vector<int32_t>* offsets);
// The page with certificate written into every self-referring link, by the
// same rules (for pages that were not rendered with the certificate).
St TemplateSelfRefInsert(std::string_view page, const St& certificate,
                         const St& siteString, const St& urlBase);

// ===========================================================================
// The request, as the evaluator sees it.
//
// TemplateRequest is what a rendering needs from the request being served;
// the web layer implements it over its request record and form list.  Every
// string is nil when absent.  The object is borrowed by the rendering and
// must outlive it.
class TemplateRequest {
 public:
  virtual ~TemplateRequest() = default;
  // A form field or cookie value by name (form, getValue): the last value
  // of the name, nil when absent.  Names compare exactly.
  virtual St Value(std::string_view name) const = 0;
  virtual bool HasValue(std::string_view name) const = 0;
  // Every value of the name in form order (getAllValues).
  virtual void AllValues(std::string_view name, std::vector<St>* out) const = 0;
  // The names of the form fields in order (scFormToContainer).
  virtual void FormNames(std::vector<St>* out) const = 0;
  // A cookie of the request's Cookie header by name (envirCookie).
  virtual St Cookie(std::string_view name) const = 0;
  // A CGI variable by lower-case name (envir, cgi): "request_method",
  // "query_string", "remote_addr", "server_name", "http_cookie",
  // "content_type", "remote_user", "http_user_agent", "http_from",
  // "script_name".
  virtual St CgiVariable(std::string_view name) const = 0;
  // Appends a header line to the response (addResponseHttp); the line ends
  // with CR LF when it reaches the response.
  virtual void AddResponseHeader(St line) = 0;
  // The request's command number (0 when none) and location text.
  virtual int Command() const = 0;
  virtual St Location() const = 0;
  // Browser flags: 1 agent begins with "Mozilla/", 2 contains "AOL",
  // 4 contains "MSIE 3".
  virtual int BrowserFlags() const = 0;
  // The request brought the login cookie; the user came by HTTP basic
  // authorization.
  virtual bool UserHasCookie() const = 0;
  virtual bool IsHttpBasic() const = 0;
};

// A TemplateRequest held in memory: for tests, quil-tpl and background
// renderings (timed actions, filters run outside a request).
class TemplateSimpleRequest : public TemplateRequest {
 public:
  std::vector<std::pair<St, St>> form;     // in order
  std::vector<std::pair<St, St>> cookies;
  std::vector<std::pair<St, St>> cgi;      // lower-case names
  std::vector<St> responseHeaders;         // lines as added, CR LF ended
  int command = 0;
  St location;
  int browserFlags = 0;
  bool hasCookie = false;
  bool httpBasic = false;

  void AddForm(std::string_view name, std::string_view value);
  St Value(std::string_view name) const override;
  bool HasValue(std::string_view name) const override;
  void AllValues(std::string_view name, std::vector<St>* out) const override;
  void FormNames(std::vector<St>* out) const override;
  St Cookie(std::string_view name) const override;
  St CgiVariable(std::string_view name) const override;
  void AddResponseHeader(St line) override;
  int Command() const override { return command; }
  St Location() const override { return location; }
  int BrowserFlags() const override { return browserFlags; }
  bool UserHasCookie() const override { return hasCookie; }
  bool IsHttpBasic() const override { return httpBasic; }
};

// ===========================================================================
// Virtual sites.
//
// A site holds its template state: the parsed site template file and its
// status, the refresh counter, the 29 cached sysop-setting templates with
// the caches beside them, and the id of a queued re-cache.  The main site
// always exists; further sites are made by the web layer for virtual
// conferences.  The document directory is where the site's static files,
// "quil.tpl", "quilextn.tpl" and the files of the file keywords live.

// Number of sysop-setting templates.
constexpr int kTemplateSysopCount = 29;

struct TemplateMessageCache;

struct TemplateSite {
  TemplateSite();
  ~TemplateSite();
  TemplateSite(const TemplateSite&) = delete;
  TemplateSite& operator=(const TemplateSite&) = delete;

  ForumRoot root = nullptr;        // null: wfForumRoot
  std::string docDir = "html";     // the document directory
  St siteString;                   // e.g. "/quil?" (self-referring links)
  St urlBase;                      // e.g. "http://host/quil?"
  bool isMain = false;
  // Template file.
  TemplateRef file;
  St status;                       // "on", "not found", "off"
  int32_t refreshCount = 0;        // refreshes in progress
  // Goes up each time the template file or the sysop-setting templates
  // are read again: what was rendered before may read differently now.
  int64_t changes = 0;
  int32_t extnStart = -1;          // text offset of the extension part
  // Sysop-setting templates (by TemplateSysop index) and the caches kept
  // beside them.
  std::array<TemplateRef, kTemplateSysopCount> cached;
  St objectionable;                // StObjectionableListXfm of the setting
  St maxCols;                      // the sysop's MaxCols as text
  int32_t resetId = 0;             // TemplateResetID: the queued re-cache
  int32_t refreshId = 0;           // a queued TemplateFileRefresh
  // Timed actions (TplQueue): ids of the RAM-queue entries of this site.
  std::vector<int32_t> queued;
  bool queueOn = false;
  // Structured-container mailboxes running (scRunMailbox): names.
  std::vector<St> mailboxes;
  // What message lists read of messages (title, text, date, author,
  // number), kept between renderings while the root's revision counters
  // stay as they were (every change of a message or of the tree moves one
  // of them); emptied by ForumTemplateCache and TemplateCacheTerm.
  std::unique_ptr<TemplateMessageCache> messages;

  ForumRoot Root() const;
};

TemplateSite& TemplateMainSite();
// The site of the request being served (the main site unless set).
TemplateSite& TemplateCurrentSite();
void TemplateSetCurrentSite(TemplateSite* site);

// Resolves name against the site's document directory.  False (the name is
// refused) for an empty name, an absolute name, a name with a ".."
// component or a NUL byte, and for a name whose existing part leads (by
// symbolic links) outside the directory.  *full is the path to open.
bool TemplateSiteFilePath(const TemplateSite& site, std::string_view name,
                          std::string* full);

// ===========================================================================
// Template files and named templates.

constexpr char kTemplateFileName[] = "quil.tpl";
constexpr char kTemplateExtnFileName[] = "quilextn.tpl";
constexpr char kTemplateIncludePrefix[] = "<!--#Include File=\"";
constexpr char kTemplateIncludeSuffix[] = "\"-->";

// (Re)loads the site template file of the current site (or of site): closes
// the loaded one (running its "term" macro), reads "quil.tpl" when the sysop
// uses templates, appends the include of "quilextn.tpl", expands includes,
// parses, marks the extension macros, starts the timed-action queue and
// runs the "init" macro.  A read error is a consistency failure ("File read
// error on quil.tpl", "File read error on " + name).
void TemplateFileRefresh();
void TemplateFileRefresh(TemplateSite& site);
// Runs "term" (output discarded), drops the file template, sets the status
// "off" and stops the timed-action queue.
void TemplateFileClose(TemplateSite& site);
bool TemplateFileIsPresent();
bool TemplateFileIsPresent(const TemplateSite& site);
// "on", "not found" or "off".
St TemplateFileStatus(const TemplateSite& site);
// Queues a refresh of the site's template file for when no request runs
// (the sysop's reset while requests wait).
void TemplateFileRefreshQueued(TemplateSite& site);

// Finds macro name for folder (null folder: the site level): from folder up
// through its parents, the nested macro name of the macro named by each
// folder's `template` setting; then the site file's top level.  Names
// ignore case.  False when no template file is loaded or none is found.
bool TemplateFileLookup(const St& name, const ForumFile& folder,
                        TemplateRef* found);
bool TemplateFileLookup(const TemplateSite& site, const St& name,
                        const ForumFile& folder, TemplateRef* found);

// Expands include directives in text (algorithm of the site file): each
// "<!--#Include File="name"-->" whose file opens in the site's document
// directory (for "quilextn.tpl" on a site other than the main one, also the
// main site's) is replaced by the file's contents; included files are not
// scanned again.  Unreadable names leave the directive.  Offsets of the
// inserted texts go to *inserted (may be null) as (start, length) pairs.
St TemplateIncludes(const TemplateSite& site, St text,
                    std::vector<std::pair<int32_t, int32_t>>* inserted);

// ===========================================================================
// Sysop-setting templates.
//
// X(accessor stem, macro name in the site file, rule).  Rules:
//   plain     a macro found by TemplateFileLookup wins, else the cached
//             sysop-setting template;
//   extn      a macro found that is not an extension macro wins; else the
//             found extension macro when the cached template is empty, else
//             the cached template;
//   footer    the macro "footer" is looked up only when a folder is given
//             and the folder does not ask for the sysop footer
//             (kTemplateFolderSysopFooter); else the cached template.
#define TEMPLATE_SYSOP_TEMPLATES(X)                          \
  X(HtmlGreeting, "greetingHeading", kPlain)                 \
  X(HtmlHeadPre, "folderHeadingBefore", kPlain)              \
  X(HtmlHeadPost, "folderHeadingAfter", kExtn)               \
  X(HtmlTopLevel, "topLevelHeading", kPlain)                 \
  X(HtmlBanner, "banner", kPlain)                            \
  X(HtmlRegister, "registerHeading", kPlain)                 \
  X(HtmlRegisterComplete, "registerCompleteHeading", kPlain) \
  X(HtmlCategory, "defaultFolderHeading", kPlain)            \
  X(HtmlTopic, "defaultDiscussionHeading", kPlain)           \
  X(HtmlEditHelp, "editHelp", kPlain)                        \
  X(HtmlLogin, "loginHeading", kPlain)                       \
  X(HtmlPassword, "passwordHeading", kPlain)                 \
  X(ToolbarPre, "toolbarBefore", kPlain)                     \
  X(ToolbarNL, "toolbarBetween", kPlain)                     \
  X(ToolbarPost, "toolbarAfter", kPlain)                     \
  X(HtmlFooter, "footer", kFooter)                           \
  X(HtmlDiscussPre, "discussionHeadingBefore", kPlain)       \
  X(HtmlDiscussPost, "discussionHeadingAfter", kExtn)        \
  X(HtmlCatBodyPre, "folderListBefore", kPlain)              \
  X(HtmlCatBodyItem, "folderListItem", kPlain)               \
  X(HtmlCatBodyPost, "folderListAfter", kPlain)              \
  X(HtmlCatBodyEmpty, "folderListEmpty", kPlain)             \
  X(PostHelp, "postHelp", kPlain)                            \
  X(HtmlMessagePre, "messageListBefore", kExtn)              \
  X(HtmlMessage, "messageListItem", kExtn)                   \
  X(HtmlMessageBetween, "messageListBetween", kExtn)         \
  X(HtmlMessagePost, "messageListAfter", kExtn)              \
  X(UnknownUserHelp, "unknownUserPostHelp", kPlain)          \
  X(Title, "title", kPlain)

enum class TemplateSysop : int {
#define TEMPLATE_SYSOP_ENUM(stem, macro, rule) k##stem,
  TEMPLATE_SYSOP_TEMPLATES(TEMPLATE_SYSOP_ENUM)
#undef TEMPLATE_SYSOP_ENUM
};

// Bit of a folder's Flags (never inherited) that makes the `footer` of
// pages in that folder use the sysop's footer setting and not the "footer"
// macro of the template file.  The bit is otherwise unused by the store.
constexpr uint32_t kTemplateFolderSysopFooter = 0x40;

// The template to use for folder (may be empty: the site level), by the
// rule of its row.  Null when there is none.
TemplateRef TemplateSysopTemplate(TemplateSysop which, const ForumFile& folder);
#define TEMPLATE_SYSOP_ACCESSOR(stem, macro, rule) \
  TemplateRef stem##Template(const ForumFile& folder);
TEMPLATE_SYSOP_TEMPLATES(TEMPLATE_SYSOP_ACCESSOR)
#undef TEMPLATE_SYSOP_ACCESSOR
// The macro name of a row.
const char* TemplateSysopMacroName(TemplateSysop which);

// Parses the 29 settings of the site's root into the site's cache
// (releasing the old ones), with the objectionable-word list and MaxCols.
// HtmlCatBodyItem is stripped of outer white space first and an empty text
// leaves its entry null.
void ForumTemplateCache(TemplateSite& site);
// The sysop changed template settings: re-cache now when no request thread
// waits, else once none does (the queued block's id is the site's resetId).
void ForumTemplateChange(ForumRoot root);
// The reset of the sysop's reset command: refresh the template file and
// re-cache, now or once no request thread waits.
void TemplateReset(TemplateSite& site);
// Releases the cached templates (the site is going away).
void TemplateCacheTerm(TemplateSite& site);

// ===========================================================================
// Page types and standard templates.

// The built-in text of a page type (null for the 36 types without one).
const char* TemplateStandardText(int pageType);
// The head and header every built-in page shares, in the template language,
// in two parts around the text of the page's <title>: the open part ends
// with "<title>"; the close part begins with "</title>" and holds the
// stylesheet, the link past the header ("#content"), the site banner, who
// is reading (the user with preferences and log-out, or a guest's log-in
// and registration) and ends after "<main class=\"page\" id=\"content\">".
// Pages built outside the standard templates (the location pages, the
// error page, the sysop's pages) put their own title between the parts.
std::string_view TemplateHeadOpen();
std::string_view TemplateHeadClose();
// Parses the missing-template page; clears the cache of parsed standard
// templates.
void StandardTemplateInit();
// The parsed standard template of pageType (1..73; anything else halts
// "StandardTemplate--Type"), parsed on first use; MissingStandardTemplate
// for a type without a built-in text.
TemplateRef StandardTemplate(int pageType);
TemplateRef MissingStandardTemplate();
void StandardTemplateTerm();
// What a page handler renders for pageType in folder: the site file's
// macro named by the page type (TemplateFileLookup), else the standard
// template.
TemplateRef TemplateForPage(int pageType, const ForumFile& folder);

// A static file that the built-in templates use, to be installed into the
// site's document directory when missing.
struct TemplateStaticFile {
  const char* name;      // file name in the document directory
  std::string_view contents;
};
// The stylesheet ("quil.css") and the default images.
const std::vector<TemplateStaticFile>& TemplateStaticFiles();
// The content type a browser needs for a static file of the built-in pages
// ("text/css" for the stylesheet, "image/svg+xml" for the pictures).
const char* TemplateStaticFileType(std::string_view name);
// Writes every static file missing from the site's document directory
// (creating the directory); returns the number written.  Existing files
// are left as they are.
int TemplateStaticFilesInstall(const TemplateSite& site);

// ===========================================================================
// Rendering.  Each call creates an evaluation context for the user (0: a
// guest or nobody), the certificate, the current path (may be empty) and
// the request (may be null), renders the template into buf, and destroys
// the context.  A null template adds nothing.

void BufAddTemplate(Buf& buf, const TemplateRef& t, ChHandle user,
                    const St& certificate, const ForumFile& path,
                    TemplateRequest* request);
// The output as a string.
St TemplateProcess(const TemplateRef& t, ChHandle user, const St& certificate,
                   const ForumFile& path, TemplateRequest* request);

// Messages rendered one after another with a template each, as
// BufAddTemplate would render each of them with the message as its path
// (the message marked seen first, when somebody else wrote it), but in one
// evaluation context for the whole list: a page of fifty messages then
// makes one context instead of fifty and looks up the field identifiers of
// message records once, while each message's fields still come from the
// site's message cache.  For templates that keep nothing of their own from
// one message to the next (no variables set, no stop, no size or step
// limit), the bytes are those of BufAddTemplate per message.  The caller
// opens and closes the messages (the site's cache keeps no handle open
// past a request: the server checks, when idle, that none is left).
class TemplateMessageRun {
 public:
  TemplateMessageRun(ChHandle user, const St& certificate,
                     TemplateRequest* request);
  ~TemplateMessageRun();
  TemplateMessageRun(const TemplateMessageRun&) = delete;
  TemplateMessageRun& operator=(const TemplateMessageRun&) = delete;
  // Renders t with message as the path.
  void Add(Buf& buf, const TemplateRef& t, const ForumFile& message);
  // The message at index of discussion d through the site's message cache
  // (no lookup by position when a page showed it before); empty when it is
  // deleted.  The cache holds it open until the server goes idle.
  ForumFile Message(const ForumFile& d, int32_t index);
  // As Add, for a template whose output depends on nothing but the
  // message's stored fields (title, body, content type, date, author), its
  // author's shown name and the site's time format: no links (they carry
  // the certificate), nothing of the user, the request or the clock.  What
  // it writes is kept with the message in the site's cache and written
  // again while the author's name and the time format stay the same (any
  // change of a message or of the tree empties the cache).  This is what
  // a forum keeps as a message's "cooked" text: a discussion page then
  // costs little more than copying its messages.
  void AddStable(Buf& buf, const TemplateRef& t, const ForumFile& message);

 private:
  std::unique_ptr<ExprContext> ctx_;
};

// The wrappers: each sets one or two page values before evaluation.
void BufAddTemplateTextGroup(Buf& buf, const TemplateRef& t, ChHandle user,
                             const St& certificate, const ForumFile& path,
                             TemplateRequest* request, St textGroup);
void BufAddTemplateAtEnd(Buf& buf, const TemplateRef& t, ChHandle user,
                         const St& certificate, const ForumFile& path,
                         TemplateRequest* request, bool atEnd);
void BufAddTemplateErrMsg(Buf& buf, const TemplateRef& t, ChHandle user,
                          const St& certificate, const ForumFile& path,
                          TemplateRequest* request, St message);
void BufAddTemplateErrTitleMsg(Buf& buf, const TemplateRef& t, ChHandle user,
                               const St& certificate, const ForumFile& path,
                               TemplateRequest* request, St title, St message);
void BufAddTemplateActionPath(Buf& buf, const TemplateRef& t, ChHandle user,
                              const St& certificate, const ForumFile& path,
                              TemplateRequest* request, St actionPath);
void BufAddTemplateLogin(Buf& buf, const TemplateRef& t, ChHandle user,
                         const St& certificate, const ForumFile& path,
                         TemplateRequest* request, St actionPath, int loginType);
void BufAddTemplateRegister(Buf& buf, const TemplateRef& t, ChHandle user,
                            const St& certificate, const ForumFile& path,
                            TemplateRequest* request, St actionPath,
                            int registerType);
void BufAddTemplateUserInfo(Buf& buf, const TemplateRef& t, ChHandle user,
                            const St& certificate, const ForumFile& path,
                            TemplateRequest* request, ChHandle shown);
void BufAddTemplateAddFolder(Buf& buf, const TemplateRef& t, ChHandle user,
                             const St& certificate, const ForumFile& path,
                             TemplateRequest* request, ExprEditForm form);
void BufAddTemplateAddDiscussion(Buf& buf, const TemplateRef& t, ChHandle user,
                                 const St& certificate, const ForumFile& path,
                                 TemplateRequest* request, ExprEditForm form);
void BufAddTemplateAddLink(Buf& buf, const TemplateRef& t, ChHandle user,
                           const St& certificate, const ForumFile& path,
                           TemplateRequest* request, ExprEditForm form);
void BufAddTemplateLive(Buf& buf, const TemplateRef& t, ChHandle user,
                        const St& certificate, const ForumFile& path,
                        TemplateRequest* request, ExprEditForm form);
void BufAddTemplateEditLink(Buf& buf, const TemplateRef& t, ChHandle user,
                            const St& certificate, const ForumFile& path,
                            TemplateRequest* request, ExprEditForm form);
// The message (or folder item) shown or previewed: its title and text.
void BufAddTemplateMessage(Buf& buf, const TemplateRef& t, ChHandle user,
                           const St& certificate, const ForumFile& path,
                           TemplateRequest* request, St title, St message);
void BufAddTemplatePreviewMessage(Buf& buf, const TemplateRef& t, ChHandle user,
                                  const St& certificate, const ForumFile& path,
                                  TemplateRequest* request, St title,
                                  St message);
void BufAddTemplatePreviewFolderItem(Buf& buf, const TemplateRef& t,
                                     ChHandle user, const St& certificate,
                                     const ForumFile& path,
                                     TemplateRequest* request, St title,
                                     St message);
void BufAddTemplateMsgItem(Buf& buf, const TemplateRef& t, ChHandle user,
                           const St& certificate, const ForumFile& path,
                           TemplateRequest* request, const ExprMsgItem& item);
void BufAddTemplateMsgList(Buf& buf, const TemplateRef& t, ChHandle user,
                           const St& certificate, const ForumFile& path,
                           TemplateRequest* request, ExprMsgList list);
void BufAddTemplatePrefs(Buf& buf, const TemplateRef& t, ChHandle user,
                         const St& certificate, const ForumFile& path,
                         TemplateRequest* request, ExprPrefsForm prefs);
void BufAddTemplateSysopAuth(Buf& buf, const TemplateRef& t, ChHandle user,
                             const St& certificate, const ForumFile& path,
                             TemplateRequest* request, St value);
void BufAddTemplateResponseMsg(Buf& buf, const TemplateRef& t, ChHandle user,
                               const St& certificate, const ForumFile& path,
                               TemplateRequest* request, St message);
void BufAddHTMLChatItems(Buf& buf, const TemplateRef& t, ChHandle user,
                         const St& certificate, const ForumFile& path,
                         TemplateRequest* request, St items);

// The page of a page type as a page handler renders it: the site file's
// macro of the type's name for folder, else the standard template
// (TemplateForPage), with pageIs answering for pageType.  path is the
// current path (its folder is used for the look-up).
void BufAddTemplatePage(Buf& buf, int pageType, ChHandle user,
                        const St& certificate, const ForumFile& path,
                        TemplateRequest* request);

// Runs the filter name (loginFilter, authenticateFilter ...): the site
// file's macro of that name at the site level, else, for the two filters
// with a page type (loginFilter, loginFailureFilter), their standard
// template.  False when there is neither; else true with the output in
// *output.  This is the body of the filter runner that the request
// processor registers with AuthSetFilterRunner (it knows the request).
bool TemplateFilterRun(const char* name, ChHandle user, const St& certificate,
                       const ForumFile& path, TemplateRequest* request,
                       St* output);

// An error page: the title (the site title, " - " and title), message
// under "<h3>" ... "</h3>", the footer template of folder, "</BODY></HTML>".
void BufAddTemplateError(Buf& buf, ChHandle user, const St& certificate,
                         const ForumFile& folder, TemplateRequest* request,
                         const St& title, const St& message);

// ===========================================================================
// Seams for the packages that come later.
//
// Store changes.  Every change that a keyword makes to the conference goes
// through the TplStore... functions below (TemplateStore.cc) and through no
// other call; they make it through the journaling setters (FrmBk...) of the
// roll-forward log, the hit and post counters excepted (they have none).

enum class TplItemText {
#define TPL_ITEM_TEXT(name, field) k##name,
  kTitle,
  FORUM_FILE_TEXTS(TPL_ITEM_TEXT)
#undef TPL_ITEM_TEXT
};
enum class TplItemInt {
#define TPL_ITEM_INT(name, field, dflt) k##name,
  FORUM_FILE_INTS(TPL_ITEM_INT)
#undef TPL_ITEM_INT
};
enum class TplUserText {
#define TPL_USER_TEXT(name) k##name,
  kEmail,
  FORUM_USER_TEXTS(TPL_USER_TEXT)
#undef TPL_USER_TEXT
};
enum class TplUserInt {
#define TPL_USER_INT(name, dflt) k##name,
  FORUM_USER_INTS(TPL_USER_INT)
#undef TPL_USER_INT
};

[[nodiscard]] uint16_t TplStoreCatItemCreate(const ForumFile& folder,
                                             const St& type, const St& name,
                                             const St& title, ChHandle author,
                                             St* finalName);
[[nodiscard]] uint16_t TplStoreCatItemDestroy(const ForumFile& folder,
                                              const St& name);
void TplStoreItemText(const ForumFile& item, TplItemText which, St value);
void TplStoreItemInt(const ForumFile& item, TplItemInt which, int32_t value);
void TplStoreItemFlags(const ForumFile& item, uint32_t bits, bool on);
void TplStoreItemDate(const ForumFile& item, bool created, LgDbTd value);
void TplStoreItemUser(const ForumFile& item, ChHandle user);
void TplStoreLinkUrl(const ForumFile& link, St url);
void TplStoreLinkType(const ForumFile& link, int kind);
void TplStoreMessageCreate(const ForumFile& discussion, ChHandle author,
                           const St& title, const St& contentType,
                           const St& body, int32_t replyTo, int32_t* index);
bool TplStoreMessageDestroy(const ForumFile& discussion, int32_t index);
void TplStoreMessageTitle(const ForumFile& discussion, int32_t index, St title);
void TplStoreMessageBody(const ForumFile& discussion, int32_t index,
                         const St& body);
void TplStoreMessageAuthor(const ForumFile& discussion, int32_t index,
                           ChHandle author);
void TplStoreMessageDate(const ForumFile& discussion, int32_t index,
                         LgDbTd date);
void TplStoreMessageId(const ForumFile& discussion, int32_t index,
                       const St& messageId);
[[nodiscard]] uint16_t TplStoreUserCreate(ForumRoot root, int kind,
                                          const St& name, const St& email,
                                          const St& digest, ChHandle* user);
[[nodiscard]] uint16_t TplStoreUserDestroy(ForumRoot root, ChHandle user);
[[nodiscard]] uint16_t TplStoreUserSetName(ForumRoot root, ChHandle user,
                                           const St& name);
void TplStoreUserText(ForumRoot root, ChHandle user, TplUserText which,
                      St value);
void TplStoreUserInt(ForumRoot root, ChHandle user, TplUserInt which,
                     int32_t value);
void TplStoreUserFlags(ForumRoot root, ChHandle user, uint32_t flags);
void TplStoreUserPassword(ForumRoot root, ChHandle user, St digest);
[[nodiscard]] uint16_t TplStoreGroupCreate(ForumRoot root, const St& name,
                                           ChHandle* group);
[[nodiscard]] uint16_t TplStoreGroupDestroy(ForumRoot root, ChHandle group);
[[nodiscard]] uint16_t TplStoreGroupAddUser(ForumRoot root, ChHandle group,
                                            ChHandle user);
[[nodiscard]] uint16_t TplStoreGroupRemoveUser(ForumRoot root, ChHandle group,
                                               ChHandle user);
// A named field of a record (user_, path_ and global_ fields): a nil value
// removes it.
void TplStoreRecordField(ForumRoot root, ChHandle rec, const St& field,
                         St value);
void TplStoreAccEnable(const ForumFile& item, ChHandle principal,
                       uint32_t mask);
void TplStoreAccInhibit(const ForumFile& item, ChHandle principal,
                        uint32_t mask);
void TplStoreAccClear(const ForumFile& item);
// A sysop setting kept as a named text field of the settings record (the
// settings without an accessor of their own).
void TplStoreSysopField(ForumRoot root, const char* field, St value);

// Read marks: the forum's (ForumRead.h).  A registered user's marks say
// what is new; guests follow the forum's guest rule (a message is new while
// younger than the sysop's GuestNewHours, other items always).  An item is
// new when it is (ForumIsNew), a discussion while it has a message the
// user has not read.  TplMarkRead marks the message at index of a
// discussion read (and those before it), with index -1 every message of
// it; any other item itself, through the journaling setters of read
// marks.  Nothing is stored for guests.
bool TplMarkIsNew(ForumRoot root, ChHandle user, const ForumFile& item);
bool TplMarkMessageIsNew(ForumRoot root, ChHandle user,
                         const ForumFile& discussion, int32_t index);
void TplMarkRead(ForumRoot root, ChHandle user, const ForumFile& item,
                 int32_t index);

// Mail.  `email` and `.emailLog` hand their work to the registered
// callbacks (the e-mail gateway registers them); with none registered the
// text that would go out is written to the event log.
using TemplateEmailFn =
    std::function<bool(ForumRoot root, const St& recipients, const St& message)>;
using TemplateEmailLogFn =
    std::function<void(const St& facility, const St& level, const St& text)>;
void TemplateOnEmail(TemplateEmailFn fn);
void TemplateOnEmailLog(TemplateEmailLogFn fn);
void TemplateMailHooksClear();
// Sends message to recipients through the callbacks (true when one took
// it), or logs it.
bool TemplateEmailSend(ForumRoot root, const St& recipients, const St& message);
void TemplateEmailLog(const St& facility, const St& level, const St& text);

// Timed actions.  A queued action renders a site-file macro for a user at a
// time, with two parameters the macro reads as qParam1 and qParam2.
void TplQueueInit(TemplateSite& site);
void TplQueueTerm(TemplateSite& site);
// Queues macro for user (0: nobody) after delaySeconds; the macro is looked
// up when the action runs.  Returns the queue entry's id.
int32_t TplQueue(TemplateSite& site, const St& macro, ChHandle user,
                 int32_t delaySeconds, St param1, St param2);
void TplQueueClear(TemplateSite& site);

// Programs.  exec and cgi run a program of the site's document directory:
// the first word of the command is its name, resolved and confined as the
// file keywords' names are (TemplateSiteFilePath) and required to be an
// executable regular file; the other words are its arguments, passed
// without a shell (each is quoted).  It runs through the request threads'
// script runner with the document directory as its working directory, a
// time limit of kTemplateProgramSeconds (then it is killed) and at most
// kTemplateProgramOutput bytes of output kept.  cgi passes the CGI
// variables in its environment.  Returns 0 and the output, or a code:
// 2 for a refused or missing program, else the runner's system error.
constexpr int kTemplateProgramSeconds = 20;
constexpr int32_t kTemplateProgramOutput = 1 << 20;
int32_t TemplateRunProgram(const TemplateSite& site, const St& command,
                           const std::vector<St>* environment, St* output);

// Package entry: 1 init (the main site, the missing-template page), 2 term,
// 3 debug flag.  The keyword table belongs to ExprInitRtns.
uint16_t TemplateInitRtns(int selector, int32_t value);

}  // namespace quil
