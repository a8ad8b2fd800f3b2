// Cgi: request processing of the web interface -- turning one request record
// (CgiEvent, handed over by a front end) into a command, a certificate and a
// location, authenticating the user, applying the command gates, dispatching
// the command to its action and wrapping the page with its HTTP header.
//
// REQUEST TEXT (what follows "?" in the URL, URL-decoded):
//
//   command "@" certificate "@" location ["!" name "=" value {"&" ...}]
//
//   command      decimal 1 to 300; a text that begins with a letter or "_"
//                names a macro of the template file; anything else is
//                malformed and becomes 28 (answered "Unable to process")
//   certificate  the session text of Auth.h, empty for none
//   location     a name path or unique path (Forum.h), possibly empty
//   "!" fields   form fields carried in the URL (not split off for texts
//                that begin with "200@", the chat control requests)
//
//   A text without "@" is a location alone, shown with command 14; when it
//   does not open as a path (and does not begin with "/"), "/" is put in
//   front of it.  An empty text is
//   the sysop's default command, or "14@@".  Templates write links as
//   command "@@" location; HtmlSelfRef puts the certificate between the two
//   "@" of every link to this script before the page is sent.
//
//   A command text of two or more characters that begins with a digit and
//   ends in "L" loses the "L" and marks the request as one for a logged-in
//   user (a guest is sent to the login form).  (The rule as first built
//   only took first characters of "9" and above; every digit qualifies
//   here, which is what the links that use it expect.)
//
// A request refused at a gate is not lost: the location becomes
// command "@" old location ("kept request"), a posted form is saved under a
// mark (PostMark) that stands in for the command, and the login form is
// shown; after the login the kept request is dispatched again.
//
// Everything a client sends is answered: malformed texts become command
// 28, unknown locations the actions' "not found" pages, missing
// certificates guests; form parsers are bounded (kCgiMaxFields fields,
// names of kCgiMaxNameLength bytes, values of kCgiMaxValueLength bytes).
//
// Threads: everything runs under the run lock, one request at a time
// (CgiActive); a request that waits for I/O has its state saved by the
// thread package (a state slot registered by ForumCgiInit), so another
// request may run meanwhile (CgiThreadCount counts both).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "Buf.h"
#include "CgiEvent.h"
#include "Forum.h"
#include "Se.h"
#include "St.h"
#include "Template.h"

namespace quil {

extern bool CgiDebugFlag;
// Package protocol (PkgDispatch rules); selector 3 sets CgiDebugFlag.
uint16_t CgiInitRtns(int selector, int32_t value);

// ---------------------------------------------------------------------------
// Commands.

constexpr int kCgiMaxCommand = 300;
constexpr int kCgiLastDispatched = 256;  // commands above answer "Unable to process"
constexpr int kCgiCmdMacro = 0;          // the command text names a macro
constexpr int kCgiCmdShow = 14;
constexpr int kCgiCmdLoginForm = 15;
constexpr int kCgiCmdLogin = 23;
constexpr int kCgiCmdBadUrl = 28;
constexpr int kCgiCmdPostLookup = 44;
constexpr int kCgiCmdPostFailed = 45;
constexpr int kCgiCmdSysopLoginForm = 94;
constexpr int kCgiCmdSysopLogin = 95;
constexpr char kCgiChatPrefix[] = "200@";
constexpr char kCgiDefaultRequest[] = "14@@";

// The name of a command as listed by the command-code export ("Show",
// "ProcessAddFolder" ...); null for numbers without one.
const char* CgiCommandName(int command);

// The command sets, bit sets over 1 to 300 built by CgiSeInit:
//   CgiPostSe     needs posted data
//   CgiSysopSe    for the sysop only
//   CgiNoLoginSe  allowed without a login
//   CgiNoOnceSe   allowed before the one login the sysop may require
//   CgiNoCertSe   links that carry no certificate
//   CgiStartupSe  the first-start wizard
extern Se CgiPostSe;
extern Se CgiSysopSe;
extern Se CgiNoLoginSe;
extern Se CgiNoOnceSe;
extern Se CgiNoCertSe;
extern Se CgiStartupSe;
void CgiSeInit();
void CgiSeTerm();
// Membership; false outside 1..300 and before CgiSeInit.
bool CgiSeHas(const Se& set, int command);

// ---------------------------------------------------------------------------
// Forms.  A form list holds the fields in the order they came (CgiPair:
// name, value); a value of none (nil) is a field sent empty.

constexpr int32_t kCgiMaxFields = 1000;
constexpr int32_t kCgiMaxNameLength = 256;
constexpr int32_t kCgiMaxValueLength = 8 << 20;
// The head of one part of a multipart body (its header lines) is at most
// this long; a longer head ends the parse.
constexpr int32_t kCgiMaxPartHead = 16384;

// A file sent with a multipart/form-data form.
struct CgiUpload {
  St name;         // the form field
  St fileName;     // as the browser sent it (some send a whole path)
  St contentType;  // the part's Content-Type, nil when it had none
  St data;         // the bytes
};
using CgiUploadList = std::vector<CgiUpload>;

// Splits text of name "=" value pairs joined by "&" and appends them to
// *form: names lose their outer blanks, values are URL-decoded ("%XX"; "+"
// stays), an empty value is none, a pair without "=" is a name with none.
// Empty pairs, empty names and names longer than kCgiMaxNameLength are
// skipped; values are cut to kCgiMaxValueLength; nothing is added once the
// form holds kCgiMaxFields fields.  Returns the number of fields added.
int32_t GetNameValuePairsX(const St& text, CgiPairList* form);
// Every "+" becomes a blank (posted bodies, before they are split).
St ConvertPlusSymbols(St text);
// Splits a multipart/form-data body by the boundary of contentType.  Each
// part is named by the "name" parameter of its Content-Disposition; a part
// with a "filename" parameter is an uploaded file: it goes to *files (when
// a file was chosen: a file name or some bytes) and its field to *form with
// the file name as value; other parts go to *form with their bytes as
// value.  Parts without a name are skipped.  The line break before a
// delimiter belongs to the delimiter; a missing closing delimiter ends the
// last part at the end of the body.  False (nothing added) when contentType
// names no usable boundary.  Bounded as GetNameValuePairsX, and by
// kCgiMaxPartHead for each part's head.
bool GetPartNameValuePairs(const St& body, const St& contentType, CgiPairList* form,
                           CgiUploadList* files);
// When a name occurs more than once only its last value stays, at the
// place of that last occurrence; the other fields keep their order.
void RemoveNameValueDuplicates(CgiPairList* form);

// Readers.  Names are compared exactly.
// The value of name: nil when the field is absent or was sent empty.
St GetValueFromName(const CgiPairList& form, std::string_view name);
// True when the field is present (even empty).
bool CkHasName(const CgiPairList& form, std::string_view name);
// True when the field is present with a value that is not empty.
bool CkHasValue(const CgiPairList& form, std::string_view name);
// As CkHasValue, with the value in *value.
bool CkGetValueFromName(const CgiPairList& form, std::string_view name, St* value);
// The value read as a decimal integer (outer blanks ignored); false, and
// *value untouched, when absent, empty or not a number.
bool CkGetIntFromName(const CgiPairList& form, std::string_view name, int32_t* value);
int32_t GetIntFromName(const CgiPairList& form, std::string_view name, int32_t dflt);
// A check box: present with a value other than "0", "off" or "no" (any case).
bool CkIsChecked(const CgiPairList& form, std::string_view name);

// For logging a form text: the value of every field whose name contains
// "password" (any case) is removed ("pw1=secret" keeps "pw1" untouched,
// "newPassword=secret" becomes "newPassword=").
St DotPasswords(St text);

// ---------------------------------------------------------------------------
// Locations.

// "%2F" (either case) back to "/".
St RestorePathDelimiter(St text);
// A decoded location as paths name their items: URL-quoted with its "/"
// delimiters kept.
St CgiLocationQuote(St location);
// Opens a decoded location (empty handle when it does not open).
ForumFile CgiOpenLocation(ForumRoot root, const St& location);
// A kept request "command@location": true with the two parts when location
// begins with a command text (digits, or a macro name) and "@".
bool CgiKeptRequest(const St& location, St* commandText, St* rest);

// ---------------------------------------------------------------------------
// History: the last kCgiHistorySize request texts, for diagnosis after a
// crash.  History[HistoryIx] is the slot the next text goes to.

constexpr int kCgiHistorySize = 20;
constexpr int32_t kCgiHistoryTextMax = 1000;  // longer texts are cut
extern St History[kCgiHistorySize];
extern int HistoryIx;
void CgiHistoryAdd(const St& text);
// The texts kept, oldest first.
StList CgiHistoryList();
// Writes the texts kept to the event log, oldest first, one line each
// (" History " and the text) after a line " Request history:".
// ForumCgiInit registers it to run when the server halts.
void CgiHistoryDump();

// ---------------------------------------------------------------------------
// Browser flags.

constexpr uint32_t kCgiBrowserMozilla = 0x1;  // agent begins with "Mozilla/"
constexpr uint32_t kCgiBrowserAol = 0x2;      // agent contains "AOL"
constexpr uint32_t kCgiBrowserMsie3 = 0x4;    // agent contains "MSIE 3"
// The flags of a user agent text, compared without regard to case.
uint32_t CgiBrowserFlags(const St& agent);

// ---------------------------------------------------------------------------
// The request.

// The state of one request: what arrived, who asks, and the page being
// built with what its header must say.  Lives for the request; owned by
// ForumCgiProcessUrl.  It is the request the template layer sees while it
// renders the request's pages (TemplateRequest, CgiTemplate.cc): form
// fields, cookies, CGI variables and response header lines.
struct CgiRequest : TemplateRequest {
  CgiRequest() = default;
  CgiRequest(const CgiRequest&) = delete;
  CgiRequest& operator=(const CgiRequest&) = delete;

  // TemplateRequest.  Value and HasValue read the form, then the cookies;
  // CgiVariable answers the names of TemplateRequest from the request
  // record and any other name from its CGI pairs.
  St Value(std::string_view name) const override;
  bool HasValue(std::string_view name) const override;
  void AllValues(std::string_view name, std::vector<St>* out) const override;
  void FormNames(std::vector<St>* out) const override;
  St Cookie(std::string_view name) const override;
  St CgiVariable(std::string_view name) const override;
  void AddResponseHeader(St line) override;
  int Command() const override { return command; }
  St Location() const override { return location; }
  int BrowserFlags() const override { return int(browser); }
  bool UserHasCookie() const override { return cookieReceived; }
  bool IsHttpBasic() const override { return httpBasic; }

  // What arrived.
  CgiEvent* event = nullptr;
  ForumRoot root = nullptr;
  St requestText;   // URL-decoded, without the "!" part, default applied
  St bangText;      // the text after "!" as received (nil when none)
  St commandText;   // the command as written (a macro's name)
  int command = 0;  // 1..300, kCgiCmdMacro, or a saved-post mark
  St cert;          // the page's certificate once authenticated
  St location;      // decoded; CgiOpenLocation quotes it for the look-up
  bool needsLogin = false;  // the "L" suffix
  CgiPairList form;
  CgiUploadList uploads;
  uint32_t browser = 0;
  St remote;        // cleared for AOL browsers
  St serverName;
  St scriptName;

  // Who asks.
  ChHandle user = 0;        // 0: a guest without a record
  bool guest = true;        // no user, or a guest's record (a named guest)
  bool madeGuest = false;   // a guest certificate was made for this request
  bool cookieReceived = false;  // the request brought a login cookie
  bool httpBasic = false;       // the user came by basic authorization

  // The page and what its header says.
  Buf page;
  bool html = true;           // false for pictures and downloads: no footer
  bool pageComplete = false;  // footer and closing tags are already there
  bool noCache = false;       // "Pragma: no-cache" instead of private caching
  bool sendCookie = true;     // the login cookie may be set (logout clears it)
  LgDbTd lastModified;        // a date of 0: no Last-Modified line
  St extraHeaders;            // header lines, each ending in CR LF
  St contentType;             // nil: the sysop's MIME type (or text/html)
  ForumFile footerFolder;     // whose footer ends the page (empty: location)

  int forwardDepth = 0;       // ForwardAction nesting
};

// Makes user the request's user (a login, a named guest), with the guest
// flag that goes with it.
void CgiSetUser(CgiRequest& r, ChHandle user);

// CgiActive and CgiThreadCount (a request is in the processor; requests
// begun and not yet ended) are kept by the front ends' seam, CgiEvent.h.
// The request in the processor (null when none).
CgiRequest* CgiCurrentRequest();

// Starts request processing: the command sets, the action table, the
// documents directory "enclosures" (a failure halts with "ForumCgiInit --
// error creating document directory " and its path), the site's templates
// (CgiTemplateStart: the template file quil.tpl loaded, the standard static
// files installed into the document directory where missing, ".tpl" pages
// of the HTTP server rendered), the filter runner of the forum layer
// (TemplateFilterRun with the request being served) and the processor of
// the front ends.  False with
// "could not initialize system CGI interface" in *message when another
// processor is registered.  REQUIRES: the database is open (wfForumRoot).
bool ForumCgiInit(St* message);
// Undoes ForumCgiInit.
void ForumCgiTerm();

// The network services (HTTP, and later news, mail, chat, LDAP ...) start
// when request processing is ready and end before it does.  The layers that
// own them register a start and a stop routine here, once, before the first
// ForumCgiInit; ForumCgiInit runs the starts in the order registered (after
// its own set-up), ForumCgiTerm the stops in the reverse order (before its
// own clean-up).  A start that fails reports through the error routine.
using CgiServiceFn = void (*)();
void CgiServiceAdd(const char* name, CgiServiceFn start, CgiServiceFn stop);
// What the sysop's restart (command 202) does: the server registers the
// routines that end the run loop and start it again in the same process.
// With none registered the command stops the server (HtRequestQuit).
void CgiRestartAdd(CgiServiceFn fn);
// What a stored change of the sysop's memory settings (command 134) does:
// the server registers the routine that takes the new sizes and starts
// again in the same process with them.  With none registered the sizes
// are read at the next start.
void CgiMemorySettingsAdd(CgiServiceFn fn);

// Processes one request and leaves the complete response in
// event.result.  A failure (an exception) ends the request: its state is
// released, event.result holds a "500 Internal Server Error" response, and
// the exception is raised again for the front end's frame.  REQUIRES: not
// called from inside a request ("ForumCgiProcessUrl--recursive call").
void ForumCgiProcessUrl(CgiEvent& event);

// ---------------------------------------------------------------------------
// Pages.

// "Www, D2 Mmm Y4 H4:I2:S2 G$MT" (in GMT): HTTP dates.
constexpr char kCgiHttpDateFormat[] = "Www, D2 Mmm Y4 H4:I2:S2 G$MT";
// The product and version on the Server line.
extern const char kCgiServerText[];

// Completes the page and puts the HTTP header in front; returns the whole
// response.  A page that begins with "HTTP/" is returned as it is.
// Otherwise an HTML page that is not complete gets the footer of its
// folder and "</BODY></HTML>", the certificate goes into its links
// (HtmlSelfRef), and the header is, line by line (each ending CR LF):
//   "HTTP/1.1 200 OK", "Server: Quillmoot/<version>"  (HTTP server only)
//   "MIME-Version: 1.0"
//   "Cache-Control: private"            (unless r.noCache)
//   "Connection: close"
//   "Date: " now in kCgiHttpDateFormat
//   "Last-Modified: " r.lastModified     (when set)
//   "Pragma: no-cache", "Cache-Control: no-cache"   (when r.noCache)
//   r.extraHeaders
//   "Content-type: " r.contentType or the sysop's MIME type or "text/html"
//   "Content-length: " the page length  (omitted for FastCGI when
//                                         CgiSetFcgiOmitLength is on)
//   the login cookie (Auth.h AuthSetCookie) when r.sendCookie
//   an empty line.
St PrependHTMLHeader(CgiRequest& r, St page);
// Whether FastCGI responses go without Content-length (the responder's
// setting); off at start.
void CgiSetFcgiOmitLength(bool on);

// Inserts cert between the two "@" of every link to this script in page:
// every "?" followed by a command number (1 to 300, not in CgiNoCertSe)
// and "@@", where the "?" follows the last part of scriptName or of
// altScript (ASCII case ignored, after "/", a quote, "=" or a blank) or
// stands right after a quote or "=" (a link relative to the script).
// Returns page unchanged when cert is empty.
St HtmlSelfRef(St page, const St& cert, const St& scriptName, const St& altScript = St());

// Writes an error page (title, message) as the site's error template does;
// the page is complete.  message is HTML.
void CgiErrorPage(CgiRequest& r, std::string_view title, std::string_view message);

// ---------------------------------------------------------------------------
// Actions.

// A handler reads the request (location, certificate, user, form) and
// writes the page into r.page.
using CgiActionFn = void (*)(CgiRequest& r);
// Flags of an action.
constexpr uint32_t kCgiActNoCache = 0x1;  // its pages must not be cached
constexpr uint32_t kCgiActBinary = 0x2;   // it serves bytes, not HTML
struct CgiAction {
  int command;
  CgiActionFn handler;  // null: "Unable to process"
  uint32_t flags;
};
// The entry of a command (null outside 1..kCgiLastDispatched).
const CgiAction* CgiActionFind(int command);
// Replaces a command's entry and returns the one it had (tests, and
// services that register their pages at start-up).
CgiAction CgiActionSet(int command, CgiActionFn handler, uint32_t flags);

// Runs the request's command: writes the log line of authentication
// logging, stores the URL base, renders a macro named in the URL, refuses
// sysop commands to others ("Sysop Function"), replays saved posts, and
// calls the handler; commands without one get "Unable to process".
void TakeAction(CgiRequest& r);
// Runs command on location within the same request (a handler that ends
// by showing another page).  More than kCgiMaxForwards nested forwards
// answer "Unable to process".
constexpr int kCgiMaxForwards = 8;
void ForwardAction(CgiRequest& r, int command, St location);
// Dispatches the kept request of r.location ("command@location"); false
// when the location keeps none.
bool CgiForwardKept(CgiRequest& r);
// Refuses the request for want of a login and shows the login form with
// the request kept (a posted form is saved with PostMark): the sysop's
// login form for sysop commands, the login form otherwise.
//
// The kept request travels in the location: the handlers of 15 and 94
// write r.location into their form's action ("?23@@" + r.location, the
// actionPath of BufAddTemplateLogin), and the handlers of 23 and 95 call
// CgiForwardKept after CgiSetUser has made the user the request's, which
// runs the kept command (or replays the saved post) for the new user.
void CgiKeepAndLogin(CgiRequest& r);

// ---------------------------------------------------------------------------
// Saved posts: a post refused for want of a login, kept in memory under a
// mark that stands in for its command (marks are kCgiPostMarkBase and up,
// never a command number).  At most kCgiPostSlots are kept; the oldest
// goes first, and each lives kCgiPostLifetime seconds.  A saved post is
// replayed once, and only for the address it came from.

constexpr int kCgiPostMarkBase = 1000;
constexpr int kCgiPostMarkSpan = 1000000;
constexpr int kCgiPostSlots = 64;
constexpr int64_t kCgiPostLifetime = 3600;
bool CgiIsPostMark(int command);
// Keeps a post; returns its mark.
int PostCreate(int command, const St& commandText, const St& cert, const St& location,
               CgiPairList form, CgiUploadList uploads, const St& remote);
// Keeps the request's command, certificate, location, form and files.
int PostMark(CgiRequest& r);
// Restores the saved post of mark into r (command, command text, location,
// form and files; the certificate stays the one of the present session)
// and forgets it.  False when there is none for r's address.
bool PostLookup(CgiRequest& r, int mark);
// Saved posts held now.
int32_t PostCount();
void PostClearAll();

}  // namespace quil
