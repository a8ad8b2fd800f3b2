// One request from the request record to the response: ForumCgiInit and
// ForumCgiTerm, ForumCgiProcessUrl and its steps, and the log lines of
// request logging and request times.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <any>
#include <cerrno>
#include <string>

#include "Auth.h"
#include "CgiInt.h"
#include "Ex.h"
#include "ForumModerated.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "Ht.h"
#include "Qu.h"
#include "Td.h"
#include "Thread.h"

namespace quil {

bool CgiDebugFlag = false;

namespace {

PkgState cgiPkg;
CgiRequest* currentRequest = nullptr;
int stateSlot = -1;
bool cgiInited = false;

constexpr char kDocumentsDir[] = "enclosures";
// The date at the head of a request log line (local time).
constexpr char kLogDateFormat[] = "M2/D2/Y4 H4:I2:S2";

St Cat(std::string_view a, std::string_view b) { return StFromView(std::string(a) + std::string(b)); }

struct CpuTimes {
  int64_t userMs = 0, systemMs = 0;
};
CpuTimes ThreadCpu() {
  CpuTimes t;
  rusage u{};
#ifdef RUSAGE_THREAD
  if (getrusage(RUSAGE_THREAD, &u) != 0) return t;
#else
  if (getrusage(RUSAGE_SELF, &u) != 0) return t;
#endif
  t.userMs = int64_t(u.ru_utime.tv_sec) * 1000 + u.ru_utime.tv_usec / 1000;
  t.systemMs = int64_t(u.ru_stime.tv_sec) * 1000 + u.ru_stime.tv_usec / 1000;
  return t;
}

int64_t Counter(const std::function<int64_t()>& fn) { return fn ? fn() : 0; }

// Marks the request as the current one for its lifetime and lets
// background passes run while it waits; at the end they are forbidden
// again.  CgiActive and CgiThreadCount belong to the front ends' seam
// (CgiProcess), which sets them around the whole call.
class ActiveScope {
 public:
  explicit ActiveScope(CgiRequest* r) {
    currentRequest = r;
    QuBgRun(true);
  }
  ~ActiveScope() {
    QuBgRun(false);
    currentRequest = nullptr;
  }
  ActiveScope(const ActiveScope&) = delete;
  ActiveScope& operator=(const ActiveScope&) = delete;
};

// Basic authorization from the request headers ("http_Authorization":
// "Basic " and base64 of name ":" password).  False when there is none.
bool BasicCredentials(const CgiEvent& e, St* name, St* password) {
  St value = CgiEventPair(e, "http_Authorization");
  if (value.IsNil()) value = CgiEventPair(e, "Authorization");
  if (!StIsPrefixCNoCase(value, "Basic ")) return false;
  St decoded = StFromBase64(StStripBlanks(StSubstr(value, 6, value.Length() - 6)));
  int32_t colon = StIndex(decoded, 0, ':');
  if (colon <= 0) return false;
  *name = StSubstr(decoded, 0, colon);
  *password = colon + 1 < decoded.Length() ? StSubstr(decoded, colon + 1, decoded.Length() - colon - 1)
                                           : StCreate();
  return true;
}

St InternalErrorResponse() {
  static constexpr std::string_view body =
      "<HTML><HEAD><TITLE>500 Internal Server Error</TITLE></HEAD><BODY><H1>"
      "500 Internal Server Error</H1></BODY></HTML>";
  std::string r = "HTTP/1.1 500 Internal Server Error\r\nServer: ";
  r += kCgiServerText;
  r += "\r\nMIME-Version: 1.0\r\nCache-Control: private\r\nConnection: close\r\n"
       "Content-type: text/html\r\nContent-length: ";
  r += std::to_string(body.size());
  r += "\r\n\r\n";
  r += body;
  return StFromView(r);
}

// The steps of one request (after the consistency checks).
void ProcessSteps(CgiRequest& r) {
  int64_t startMs = SysTime();
  int64_t startIo = Counter(CgiTimes().ioMillis), startBg = Counter(CgiTimes().bgMillis);
  int64_t startPasses = QuBgPasses;
  CpuTimes startCpu = ThreadCpu();
  St discard;
  (void)CgiTemplates().runNamed(r, "logFilter", &discard);

  bool answered = !CgiParseRequest(r);
  if (!answered) answered = !CgiAuthenticate(r);
  if (!answered) {
    CgiGates(r);
    TakeAction(r);
  }
  St page = BufClose(r.page);
  (void)CgiTemplates().runNamed(r, "logFilterReply", &discard);
  St response = PrependHTMLHeader(r, std::move(page));
  // What the request changed is in the roll-forward log's file before the
  // answer leaves: a server killed once the client has its answer loses
  // nothing of it (the loop pass's group commit would write it only after
  // the answer).  A request that changed nothing writes nothing here.
  if (r.root) FrmBkLogFlush(r.root);

  if (r.root && ForumSysopShowTimes(r.root)) {
    CpuTimes cpu = ThreadCpu();
    int32_t queue = CgiTimes().httpQueue ? CgiTimes().httpQueue() : 0;
    Wf_log_write(" t=%llu Millisecs=%lld BG=%lld (%lld passes) I/O=%lld size=%d httpQueue=%d "
                 "CPUu=%lld CPUs=%lld",
                 (unsigned long long)ThreadId(), (long long)(SysTime() - startMs),
                 (long long)(Counter(CgiTimes().bgMillis) - startBg),
                 (long long)(QuBgPasses - startPasses),
                 (long long)(Counter(CgiTimes().ioMillis) - startIo), int(response.Length()),
                 int(queue), (long long)(cpu.userMs - startCpu.userMs),
                 (long long)(cpu.systemMs - startCpu.systemMs));
  }
  r.event->result = std::move(response);
}

}  // namespace

uint16_t CgiInitRtns(int selector, int32_t value) {
  if (selector == kPkgDebug) {
    CgiDebugFlag = value != 0;
    return 0;
  }
  PkgSteps steps;
  return PkgDispatch(cgiPkg, "CgiInitRtns", selector, value, steps);
}

CgiRequest* CgiCurrentRequest() { return currentRequest; }

void CgiSetUser(CgiRequest& r, ChHandle user) {
  r.user = user;
  r.guest = user == 0 || (r.root && ForumUserGetType(r.root, user) == kForumUserGuest);
}

bool CgiHasFormData(const CgiRequest& r) { return !r.form.empty() || !r.uploads.empty(); }

// Steps 3 to 9.
bool CgiParseRequest(CgiRequest& r) {
  CgiEvent& e = *r.event;
  // 3: the "!" fields, then the request text decoded.
  St query = e.query.IsNil() ? StCreate() : e.query;
  if (!StIsPrefixC(query, kCgiChatPrefix)) {
    int32_t bang = StIndex(query, 0, '!');
    if (bang >= 0) {
      r.bangText = StSubstr(query, bang + 1, query.Length() - bang - 1);
      if (r.bangText.IsNil()) r.bangText = StCreate();
      query = StSubstr(query, 0, bang);
      if (query.IsNil()) query = StCreate();
      (void)GetNameValuePairsX(r.bangText, &r.form);
    }
  }
  r.requestText = StFromUrlQuote(std::move(query));

  // 4: the posted body.
  if (StIsPrefixCNoCase(e.method, "POST") && !e.body.Empty()) {
    if (StIsPrefixCNoCase(e.contentType, "multipart/form-data")) {
      (void)GetPartNameValuePairs(e.body, e.contentType, &r.form, &r.uploads);
    } else {
      if (r.root && ForumSysopLogPost(r.root))
        Wf_log_write(" CGI POST %s", DotPasswords(e.body).CStr());
      (void)GetNameValuePairsX(ConvertPlusSymbols(e.body), &r.form);
    }
  }
  RemoveNameValueDuplicates(&r.form);

  // 5: the request log line.
  if (r.root && ForumSysopLogRequest(r.root)) {
    St date = TdToSt(TdNow(false), kLogDateFormat);
    Wf_log_write("%s CGI %s t=%llu httpRemote=%s", date.CStr(), r.requestText.CStr(),
                 (unsigned long long)ThreadId(), e.remoteAddr.CStr());
  }

  // 6: the default command; the history ring.
  if (r.requestText.Empty()) {
    St dflt = r.root ? ForumSysopDefaultCmd(r.root) : St();
    r.requestText = dflt.Empty() ? StCStrXfm(kCgiDefaultRequest) : StFromUrlQuote(std::move(dflt));
  }
  CgiHistoryAdd(r.requestText);

  // 7: command text, certificate, location.
  CgiRequestParts parts;
  CgiSplitRequestText(r.requestText, &parts);
  r.commandText = parts.commandText;
  r.cert = parts.cert;
  r.location = parts.location;
  // A location alone that does not open is taken as a name path (a text
  // that begins with "/" already is one).
  if (parts.locationOnly && !r.location.Empty() && r.location[0] != '/' &&
      !CgiOpenLocation(r.root, r.location))
    r.location = Cat("/", r.location.View());

  // 8: browser flags; an AOL browser's address is not kept (its requests
  // come through changing proxies).
  r.browser = CgiBrowserFlags(e.userAgent);
  r.remote = e.remoteAddr.IsNil() ? StCreate() : e.remoteAddr;
  if (r.browser & kCgiBrowserAol) {
    if (r.root && ForumSysopLogAuthentication(r.root))
      Wf_log_write(" Authenticate for AOL browser, IP was: %s", r.remote.CStr());
    r.remote = StCreate();
  }

  // 9: the command number.
  r.command = CgiCommandNumber(&r.commandText, &r.needsLogin);
  if (CgiSeHas(CgiPostSe, r.command) && !CgiHasFormData(r)) {
    CgiErrorPage(r, "Post with no data", "Post with no data");
    r.noCache = true;
    return false;
  }
  return true;
}

// Step 10.
bool CgiAuthenticate(CgiRequest& r) {
  if (!r.root) return true;
  AuthRequest a;
  a.cert = r.cert.Empty() ? St() : r.cert;
  a.remote = r.remote;
  // The AOL rule was applied with the browser flags (which ignore case).
  a.agent = St();
  St name, password;
  // Basic authorization is the settings file's "httpBasic" switch.
  a.basicAllowed = wfQuilSettings.GetInt("httpBasic", 0) != 0;
  if (a.basicAllowed && BasicCredentials(*r.event, &name, &password)) {
    a.basicName = name;
    a.basicPassword = password;
  }
  a.command = r.command;
  a.cookieHeader = r.event->cookie;
  St cookieName, cookieDigest;
  r.cookieReceived = AuthCookieParse(r.event->cookie, &cookieName, &cookieDigest);
  AuthenticateRequest(r.root, &a);
  r.cert = a.cert.IsNil() ? StCreate() : a.cert;
  r.remote = a.remote.IsNil() ? StCreate() : a.remote;
  CgiSetUser(r, a.user);
  r.madeGuest = a.madeGuest;
  r.httpBasic = a.user != 0 && !a.basicName.IsNil();
  if (!a.response.IsNil()) {
    // A filter answered: its output is the whole page (or response).
    BufOpen(r.page);
    BufAddS(r.page, std::move(a.response));
    r.pageComplete = true;
    r.noCache = true;
    return false;
  }
  if (!a.errorTitle.IsNil()) {
    CgiErrorPage(r, a.errorTitle.View(), StToSgml(a.errorText).View());
    return false;
  }
  return true;
}

struct CgiService {
  const char* name;
  CgiServiceFn start;
  CgiServiceFn stop;
};

std::vector<CgiService>& CgiServices() {
  static std::vector<CgiService> services;
  return services;
}

void CgiServiceAdd(const char* name, CgiServiceFn start, CgiServiceFn stop) {
  for (const CgiService& s : CgiServices())
    MA_CHECK(true, std::string_view(s.name) != name, "CgiServiceAdd--service added twice");
  CgiServices().push_back({name, start, stop});
}

bool ForumCgiInit(St* message) {
  if (CgiHasProcessor()) {
    *message = StCStrXfm("could not initialize system CGI interface");
    return false;
  }
  CgiSeInit();
  CgiActionsInit();
  PostClearAll();
  std::string dir = kDocumentsDir;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) dir = std::string(cwd) + "/" + kDocumentsDir;
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
      MaHalt("ForumCgiInit -- error creating document directory " + dir);
  }
  CgiTemplateStart(wfForumRoot);
  // Deleted discussions are saved beside the site's documents.
  ForumSetDeletedDir(CgiDocumentDirectory(wfForumRoot));
  // Filters run with the request being served; one run outside a request
  // (a service acting on its own) sees no request and no user.
  AuthSetFilterRunner([](const char* name, St* output) {
    if (CgiRequest* r = currentRequest) return CgiTemplates().runNamed(*r, name, output);
    return TemplateFilterRun(name, 0, St(), ForumFile(), nullptr, output);
  });
  ThreadStateSlot slot;
  slot.save = [] {
    std::any saved = currentRequest;
    currentRequest = nullptr;
    return saved;
  };
  slot.restore = [](std::any&& value) {
    MA_CHECK(CgiDebugFlag, currentRequest == nullptr,
             "ForumCgiInit--a request is active on restore");
    currentRequest = std::any_cast<CgiRequest*>(value);
  };
  stateSlot = ThreadStateSlotAdd(std::move(slot));
  HtFatalReg(CgiHistoryDump);
  CgiSetProcessor(ForumCgiProcessUrl);
  cgiInited = true;
  for (const CgiService& s : CgiServices())
    if (s.start) s.start();
  return true;
}

void ForumCgiTerm() {
  if (!cgiInited) return;
  const std::vector<CgiService>& services = CgiServices();
  for (auto it = services.rbegin(); it != services.rend(); ++it)
    if (it->stop) it->stop();
  CgiClearProcessor();
  HtFatalDereg(CgiHistoryDump);
  if (stateSlot >= 0) ThreadStateSlotRemove(stateSlot);
  stateSlot = -1;
  AuthSetFilterRunner(AuthFilterRunFn());
  CgiTemplateStop();
  CgiPageCacheClear();
  PostClearAll();
  CgiSeTerm();
  cgiInited = false;
}

void ForumCgiProcessUrl(CgiEvent& event) {
  MA_CHECK(true, currentRequest == nullptr, "ForumCgiProcessUrl--recursive call");
  MA_CHECK(CgiDebugFlag, event.frontEnd != CgiFrontEnd::kHttp || !event.scriptName.IsNil(),
           "ForumCgiProcessUrl--script name");
  for (const CgiPair& p : event.cgiPairs)
    MA_CHECK(CgiDebugFlag, !p.name.IsNil(), "ForumCgiProcessUrl--CGI pairs");
  int32_t failure = 0;
  {
    CgiRequest r;
    r.event = &event;
    r.root = wfForumRoot;
    r.serverName = event.serverName;
    r.scriptName = event.scriptName;
    BufOpen(r.page);
    ActiveScope active(&r);
    if (!ExTry([&] { ProcessSteps(r); })) failure = ExLastError;
  }
  if (failure != 0) {
    event.result = InternalErrorResponse();
    ExRaise(failure);
  }
}

}  // namespace quil
