// The HTTP server: listeners, the connection state machine, mapping and
// dispatch, static files, forum requests, error pages, the common log.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Tcp.h"
#include "WebInt.h"

namespace quil {

bool WebDebugFlag = false;

namespace {

enum WebState : uint8_t {
  kListening = 1,
  kRequestLine = 2,
  kHeaders = 3,
  kBody = 4,
  kProcessing = 5,
  kCgiProgram = 6,
  kForum = 7,
  kChat = 8,
  kFinished = 9,
};

// The connection record.
struct WebRecord {
  uint64_t id = 0;
  int state = kListening;
  bool busy = false;
  bool released = false;  // shut down; freed when no longer busy
  Sess* session = nullptr;
  uint16_t port = 0;
  uint32_t address = 0;
  int32_t timer = 0;            // RAM-queue id of the time-out, 0: none
  int64_t lastActivity = 0;
  int32_t blocked = 0;          // RAM-queue id while waiting for the processor
  WebRequest req;
  const WebUriEntry* entry = nullptr;  // kept while a forum request waits
  uint32_t remoteIp = 0;
  bool remoteKnown = false;
  int32_t status = 200;
  int64_t bytes = 0;
  // The answer went out before the request was read whole (a refused
  // request): close by lingering.
  bool lingerClose = false;
};

struct WebService {
  bool running = false;
  WebSettings settings;
  St dataDir;
  std::vector<WebUriEntry> uris;
  WebLimits limits;
  int logFd = -1;
  std::unordered_map<uint64_t, std::unique_ptr<WebRecord>> records;  // WebLi
  uint64_t nextId = 1;
  int32_t queued = 0;  // forum requests waiting in state 7
  int32_t inProcessor = 0;  // forum requests inside the processor
  // A restart asked for while forum requests were running.
  bool restartPending = false;
  WebSettings pending;
};
WebService web;

WebTemplatePageFn templatePageFn = nullptr;
WebChatHandoffFn chatHandoffFn = nullptr;

void WebProcess(WebRecord* r);
void WebShutdown(WebRecord* r);

WebRecord* Find(uint64_t id) {
  auto it = web.records.find(id);
  return it == web.records.end() || it->second->released ? nullptr : it->second.get();
}

void Free(WebRecord* r) {
  if (r->timer) QuRamKill(r->timer);
  if (r->blocked) QuRamKill(r->blocked);
  web.records.erase(r->id);
}

// ---------------------------------------------------------------------------
// Time-out.

void ArmTimeout(WebRecord* r);

void WebSessionTimeout(intptr_t argument, int32_t) {
  WebRecord* r = Find(uint64_t(argument));
  if (!r) return;
  r->timer = 0;
  int64_t idle = SysTime() - r->lastActivity;
  if (r->busy || idle < kWebTimeoutMs) {
    // Activity since the timer was set (or the record is in use): wait the
    // rest of the 2 minutes.
    r->timer = QuRamAdd(int32_t(r->busy ? kWebTimeoutMs : kWebTimeoutMs - idle),
                        WebSessionTimeout, intptr_t(r->id));
    return;
  }
  r->busy = true;
  WebShutdown(r);
  r->busy = false;
  Free(r);
}

void ArmTimeout(WebRecord* r) {
  r->lastActivity = SysTime();
  if (r->timer == 0)
    r->timer = QuRamAdd(int32_t(kWebTimeoutMs), WebSessionTimeout, intptr_t(r->id));
}

void CancelTimeout(WebRecord* r) {
  if (r->timer) QuRamKill(r->timer);
  r->timer = 0;
}

// ---------------------------------------------------------------------------
// Listening.

void OnData(uint64_t id) {
  if (WebRecord* r = Find(id)) WebProcess(r);
}

// The peer closed before its request was complete: nothing will come.
void OnPeerClosed(void* argument) {
  WebRecord* r = Find(uint64_t(uintptr_t(argument)));
  if (!r || r->busy) return;
  if (r->state != kRequestLine && r->state != kHeaders && r->state != kBody) return;
  r->busy = true;
  WebShutdown(r);
  r->busy = false;
  Free(r);
}

void WebListen(uint16_t port, uint32_t address) {
  Sess* s = nullptr;
  int16_t error = 0;
  // Room for a whole 200 header and a small file in one write.
  if (!SessListenTCPIP(kSessHttp, port, address, 16384, &s, &error)) return;
  auto r = std::make_unique<WebRecord>();
  r->id = web.nextId++;
  r->session = s;
  r->port = port;
  r->address = address;
  uint64_t id = r->id;
  Strm* source = SessChannelSource(s, kSessCmdChannel);
  source->SetLimit(int64_t(kWebMaxLine + 1));
  source->onData = [id] { OnData(id); };
  SessSetReqCloseCb(s, OnPeerClosed, reinterpret_cast<void*>(uintptr_t(id)));
  web.records.emplace(id, std::move(r));
}

// ---------------------------------------------------------------------------
// Answers.

void Send(WebRecord* r, St text) {
  if (!SessIsConnected(r->session)) return;
  SessChannelSink(r->session, kSessCmdChannel)->WriteSt(std::move(text));
}

void WebError(WebRecord* r, int status, const char* text) {
  St page = WebErrorResponse(web.settings.releaseText, status, text);
  r->status = status;
  size_t at = page.View().find("\r\n\r\n");
  r->bytes = at != std::string_view::npos ? int64_t(page.Length()) - int64_t(at) - 4 : 0;
  Send(r, std::move(page));
}

std::string_view Suffix(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

// Static files.
void WebProcessHost(WebRecord* r, const WebUriEntry* entry, const St& path) {
  std::string rest(path.View().substr(entry->prefix.size()));
  if (rest.empty() || rest.back() == '/') rest += "index.html";
  if (rest.find('\0') != std::string::npos) {
    WebError(r, 400, "Bad Request");
    return;
  }
  size_t skip = 0;
  while (skip < rest.size() && rest[skip] == '/') ++skip;
  std::string local = web.dataDir.Str() + "/" + rest.substr(skip);
  WebSuffix suffix = WebSuffixLookup(Suffix(local));
  if (suffix.type == 1) {
    if (const char* own = WebFileContentType(std::string_view(rest).substr(skip)))
      suffix.contentType = own;
  }
  ServeFile* f = ServeFileOpen(StFromView(local));
  if (!ServeFileExists(f) && suffix.type != 3) {
    WebError(r, 404, "Not Found");
    return;
  }
  if (suffix.type == 3) {
    WebError(r, 501, "Not implemented");
    return;
  }
  St body = ServeFileGetData(f);
  if (suffix.type == 2) {
    St page;
    if (templatePageFn == nullptr || !templatePageFn(f->path, body, &page)) {
      WebError(r, 501, "Not implemented");
      return;
    }
    body = std::move(page);
  }
  int64_t length = body.Length();
  switch (r->req.kind) {
    case kWebKindSimple:
      r->bytes = length;
      Send(r, std::move(body));
      break;
    case kWebKindGet:
      r->bytes = length;
      Send(r, ServeFileHeader(f, web.settings.releaseText, suffix.contentType, length));
      Send(r, std::move(body));
      break;
    case kWebKindHead:
      Send(r, ServeFileHeader(f, web.settings.releaseText, suffix.contentType, length));
      break;
    case kWebKindPost:
    case kWebKindChat:
      WebError(r, 404, "Not found");
      break;
    default:
      WebError(r, 501, "Not implemented");
      break;
  }
  ServeFileClose(f);
}

// The server name of a request: the local host's name from a reverse
// look-up (the dotted address until it is known), with ":port" unless 80.
St ServerName(WebRecord* r) {
  uint32_t ip = SessGetLocalIp(r->session);
  St name;
  if (!TCPLookupByIp(ip, &name) || name.IsNil()) name = TcpIpToSt(ip);
  uint16_t port = SessGetLocalPort(r->session);
  if (port != 80) name = StAppendView(std::move(name), ":" + std::to_string(port));
  return name;
}

void AddPair(CgiEvent& e, const char* name, const St& value) {
  if (value.Length() > 0) e.cgiPairs.push_back({StCStrXfm(name), value});
}

struct HttpRequestScope {
  HttpRequestScope() { HttpRequest = true; }
  ~HttpRequestScope() { HttpRequest = false; }
  HttpRequestScope(const HttpRequestScope&) = delete;
  HttpRequestScope& operator=(const HttpRequestScope&) = delete;
};

// The response-length marker.
constexpr char kLengthMarker[] = "Content-length:";

void ResumeForum(intptr_t argument, int32_t) {
  WebRecord* r = Find(uint64_t(argument));
  if (!r) return;
  r->blocked = 0;
  WebProcess(r);
}

// Forum requests: one at a time through the request processor.  Returns
// false (no progress) when the request has to wait for its turn.
bool WebProcessQuilSite(WebRecord* r, const WebUriEntry* entry, const St& path,
                        const St& query) {
  if (uint32_t bit = CgiBlockedBy()) {
    r->entry = entry;
    if (r->state != kForum) ++web.queued;
    r->state = kForum;
    if (r->blocked == 0) r->blocked = QuRamBlock(ResumeForum, intptr_t(r->id), bit);
    return false;
  }
  if (r->state == kForum) {
    --web.queued;
    r->state = kProcessing;
  }
  r->entry = nullptr;
  CgiEvent e;
  e.frontEnd = CgiFrontEnd::kHttp;
  e.query = query.Length() > 0 ? query : StFromView(path.View().substr(entry->prefix.size()));
  e.serverName = ServerName(r);
  e.userAgent = r->req.userAgent;
  e.method = StCStrXfm("POST");
  e.body = r->req.body;
  e.scriptName = StFromView(entry->prefix);
  e.from = WebRequestHeader(r->req, "From");
  e.remoteAddr = TcpIpToSt(r->remoteIp);
  e.cookie = WebRequestHeader(r->req, "Cookie");
  e.contentType = WebRequestHeader(r->req, "Content-Type");
  for (const WebHeader& h : r->req.headers) e.cgiPairs.push_back({WebCgiName(h.name), h.value});
  AddPair(e, "request_method", r->req.method);
  // The query string in its URL-encoded form: as received, or the path
  // remainder encoded again.
  AddPair(e, "query_string", query.Length() > 0 ? query : StToUrlQuote(e.query));
  AddPair(e, "remote_addr", e.remoteAddr);
  AddPair(e, "server_name", e.serverName);
  AddPair(e, "content_type", e.contentType);
  AddPair(e, "remote_user", e.remoteUser);
  AddPair(e, "script_name", e.scriptName);
  {
    HttpRequestScope http;
    ++web.inProcessor;
    struct Left {
      ~Left() { --web.inProcessor; }
    } left;
    CgiProcess(e);
  }
  // The status (second word of the first line) and Content-length for the
  // log.
  std::string_view resp = e.result.View();
  size_t sp = resp.find(' ');
  if (sp != std::string_view::npos) r->status = atoi(std::string(resp.substr(sp + 1, 3)).c_str());
  size_t cl = resp.find(kLengthMarker);
  if (cl != std::string_view::npos) r->bytes = atoll(e.result.CStr() + cl + sizeof kLengthMarker - 1);
  Send(r, std::move(e.result));
  return true;
}

// Mapping and dispatch.  Returns false when the request waits for the
// request processor.
bool WebProcessRequest(WebRecord* r) {
  if (r->state == kForum && r->entry) {
    // A forum request that waited for its turn.
    St uri = r->req.uri;
    int32_t q = StIndex(uri, 0, '?');
    St path = StFromUrlQuote(q >= 0 ? StSubstr(uri, 0, q) : uri);
    St query = q >= 0 ? StSubstr(uri, q + 1, uri.Length()) : St();
    return WebProcessQuilSite(r, r->entry, path, query);
  }
  St uri = r->req.uri;
  if (uri == "/" && !web.settings.httpTopLevel.IsNil()) {
    St to = WebTopLevelMap(web.settings.httpTopLevel, SessGetLocalIp(r->session),
                           SessGetLocalPort(r->session));
    if (!to.IsNil()) uri = to.View().substr(0, 1) == "/" ? to : StCat(std::move(uri), to);
  }
  int32_t q = StIndex(uri, 0, '?');
  St path = StFromUrlQuote(q >= 0 ? StSubstr(uri, 0, q) : uri);
  St query = q >= 0 ? StSubstr(uri, q + 1, uri.Length()) : St();
  if (path.IsNil()) path = StCreate();
  const WebUriEntry* entry = WebUriFind(web.uris, path, uri);
  if (!entry) {
    WebError(r, 404, "Not Found");
    return true;
  }
  std::string_view rest = path.View().substr(std::min(path.View().size(), entry->prefix.size()));
  if (entry->prefix.find('?') == std::string::npos && rest.find("..") != std::string_view::npos) {
    WebError(r, 400, "Bad Request");
    return true;
  }
  switch (entry->type) {
    case kWebUriFile:
      WebProcessHost(r, entry, path);
      return true;
    case kWebUriForum:
      return WebProcessQuilSite(r, entry, path, query);
    case kWebUriClose:
      return true;  // closed without an answer
    case kWebUriChatPost:
      if (chatHandoffFn && r->req.kind == kWebKindPost) {
        St body = StTranslateC(r->req.body, "+", " ");
        body = StFromUrlQuote(std::move(body));
        Sess* s = r->session;
        SessChannelSource(s, kSessCmdChannel)->onData = nullptr;
        SessClearReqCloseCb(s);
        r->session = nullptr;
        r->state = kChat;
        chatHandoffFn(s, 0, false, body);
        return true;
      }
      WebError(r, 501, "Not implemented");
      return true;
    case kWebUriMoved:
    case kWebUriMovedTemp: {
      std::string text = entry->type == kWebUriMoved ? "HTTP/1.1 301 Moved permanently"
                                                     : "HTTP/1.1 302 Moved temporarily";
      text += "\r\nServer:" + web.settings.releaseText.Str() +
              "\r\nMIME-Version: 1.0\r\nCache-Control: private\r\nConnection: close\r\n"
              "Location: " + entry->directory + "\r\nContent-length: 0\r\n\r\n";
      r->status = entry->type == kWebUriMoved ? 301 : 302;
      Send(r, StFromView(text));
      return true;
    }
    default:
      WebError(r, 501, "Not implemented");
      return true;
  }
}

// ---------------------------------------------------------------------------
// Shutting down.

void WriteLog(WebRecord* r) {
  if (web.logFd < 0 || !r->remoteKnown) return;
  std::string line = WebLogLine(r->remoteIp, time(nullptr), r->req.requestLine, r->status,
                                r->bytes, web.settings.commonLogCombined, r->req.referer,
                                r->req.userAgent);
  HtWriteAll(web.logFd, line);
}

void WebShutdown(WebRecord* r) {
  if (r->released) return;
  r->released = true;
  CancelTimeout(r);
  if (r->blocked) QuRamKill(r->blocked);
  r->blocked = 0;
  if (Sess* s = r->session) {
    SessChannelSource(s, kSessCmdChannel)->onData = nullptr;
    SessClearReqCloseCb(s);
    if (SessIsConnected(s))
      SessFlushAndDisconnect(s, r->lingerClose);
    else
      SessDisconnect(s);
    r->session = nullptr;
  }
  if (r->state == kForum) --web.queued;
  WriteLog(r);
  if (web.restartPending && web.queued == 0 && web.inProcessor == 0)
    QuRamAdd(0, [](intptr_t, int32_t) { WebRestart(web.pending); }, 0);
}

// ---------------------------------------------------------------------------
// The connection state machine.

// Clears the busy mark, frees a record that was shut down and makes the
// replacement listener -- on every way out, exceptions included.
class BusyScope {
 public:
  explicit BusyScope(WebRecord* r) : r_(r), port_(r->port), address_(r->address) {
    r->busy = true;
  }
  ~BusyScope() {
    r_->busy = false;
    if (r_->released) Free(r_);
    if (replace_ && web.running && std::uncaught_exceptions() == 0) {
      // A failure here is reported and leaves the port one listener short;
      // nothing may leave a destructor.
      uint16_t port = port_;
      uint32_t address = address_;
      bool ok = ExTry([&] {
        WfHandlerScope handler;
        WebListen(port, address);
      });
      if (!ok && ExLastError == kExReported) Wf_err_absorb();
    }
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  void Replace() { replace_ = true; }

 private:
  WebRecord* r_;
  uint16_t port_;
  uint32_t address_;
  bool replace_ = false;
};

// Moves the input limit along: headers until they end, then the body, then
// nothing more.
void LimitInput(WebRecord* r, Strm* in) {
  switch (r->state) {
    case kRequestLine:
    case kHeaders:
      in->SetLimit(int64_t(kWebMaxHeaderBytes + kWebMaxLine));
      break;
    case kBody:
      in->SetLimit(std::max<int64_t>(1, r->req.contentLength));
      break;
    default:
      in->SetLimit(-1);
      break;
  }
}

void WebProcess(WebRecord* r) {
  if (r->busy || r->released) return;
  BusyScope scope(r);
  if (r->timer) r->lastActivity = SysTime();
  for (;;) {
    if (r->released) return;
    int before = r->state;
    Sess* s = r->session;
    switch (r->state) {
      case kListening:
        if (SessListenJustConnected(s) && SessGetStatus(s) == 0) {
          SessMarkListenCompleted(s);
          r->remoteIp = SessGetRemoteIp(s);
          r->remoteKnown = true;
          ArmTimeout(r);
          r->state = kRequestLine;
          scope.Replace();
        } else if (SessGetStatus(s) != 0) {
          WebShutdown(r);
          return;
        }
        break;
      case kRequestLine:
      case kHeaders:
      case kBody: {
        Strm* in = SessChannelSource(s, kSessCmdChannel);
        WebPhase phase = WebRequestParse(r->req, *in, web.limits);
        if (phase == WebPhase::kError) {
          CancelTimeout(r);
          r->lingerClose = true;
          WebError(r, r->req.errorStatus, r->req.errorText);
          WebShutdown(r);
          return;
        }
        if (phase == WebPhase::kHeaders) r->state = kHeaders;
        if (phase == WebPhase::kBody && r->state != kBody) {
          r->state = kBody;
          St expect = WebRequestHeader(r->req, "Expect");
          if (!expect.IsNil() && StIsPrefixCNoCase(expect, "100-continue"))
            Send(r, StCStrXfm("HTTP/1.1 100 Continue\r\n\r\n"));
        }
        if (phase == WebPhase::kComplete) {
          if (r->req.chat) {
            bool fanout = web.settings.chatFanout && chatHandoffFn &&
                          SessGetLocalPort(s) == web.settings.chatClientPort;
            r->state = fanout ? kChat : kFinished;
          } else {
            r->state = kProcessing;
          }
        }
        LimitInput(r, in);
        if (r->state == before && SessGetStatus(s) != 0) {
          // The client went away in the middle of its request.
          WebShutdown(r);
          return;
        }
        break;
      }
      case kProcessing:
      case kForum:
        CancelTimeout(r);
        if (!WebProcessRequest(r)) return;  // waits for the processor
        if (r->state == kChat) {
          r->released = true;
          return;
        }
        WebShutdown(r);
        return;
      case kCgiProgram:
        CancelTimeout(r);
        WebError(r, 501, "Not implemented");
        WebShutdown(r);
        return;
      case kChat: {
        CancelTimeout(r);
        SessChannelSource(s, kSessCmdChannel)->onData = nullptr;
        SessClearReqCloseCb(s);
        r->session = nullptr;
        r->released = true;
        chatHandoffFn(s, r->req.chatId, r->req.chatH, St());
        return;
      }
      case kFinished:
      default:
        WebShutdown(r);
        return;
    }
    if (r->state == before) return;
  }
}

void CloseLog() {
  if (web.logFd >= 0) close(web.logFd);
  web.logFd = -1;
}

}  // namespace

void WebInit(const WebSettings& settings) {
  if (web.running) WebTerm();
  web.settings = settings;
  if (web.settings.releaseText.IsNil()) web.settings.releaseText = StCreate();
  web.limits = WebLimits();
  web.limits.maxBody = settings.maxBody;
  // The data directory.
  if (settings.data.IsNil())
    web.dataDir = StCStrXfm("./html");
  else if (settings.data.Empty())
    web.dataDir = StCStrXfm(".");
  else
    web.dataDir = settings.data;
  while (web.dataDir.Length() > 1 && web.dataDir[web.dataDir.Length() - 1] == '/')
    web.dataDir = StSubstr(web.dataDir, 0, web.dataDir.Length() - 1);
  // The URI table.
  std::string script = settings.script.IsNil() ? "Quil" : settings.script.Str();
  if (script.empty() || script[0] != '/') script = "/" + script;
  web.uris = {
      {script, kWebUriForum, ""},
      {"/quil?9998@@", kWebUriClose, ""},
      {"/chatFP", kWebUriChatPost, ""},
      {"", kWebUriFile, "./"},
  };
  ResetFileCache();
  CloseLog();
  if (settings.commonLog.Length() > 0) {
    web.logFd = open(settings.commonLog.CStr(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (web.logFd < 0) {
      char text[512];
      snprintf(text, sizeof text, "could not open common log \"%s\": %s\n",
               settings.commonLog.CStr(), strerror(errno));
      Wf_err_write(text);
    }
  }
  web.running = true;
  if (!settings.enable) return;
  int32_t listens = settings.maxListens > 0 ? settings.maxListens : 1;
  TCPSetListenBacklog(listens);
  for (auto item : WebPortItems(settings.port)) {
    uint32_t address = item.first;
    uint16_t port = item.second;
    bool ok = ExTry([&] {
      WfHandlerScope handler;
      for (int32_t i = 0; i < listens; ++i) WebListen(port, address);
    });
    if (!ok) {
      if (ExLastError != kExReported) ExRaise(ExLastError);
      Wf_err_absorb();
    }
  }
}

void WebTerm() {
  web.running = false;
  web.restartPending = false;
  std::vector<uint64_t> ids;
  for (auto& [id, r] : web.records) ids.push_back(id);
  for (uint64_t id : ids) {
    auto it = web.records.find(id);
    if (it == web.records.end()) continue;
    WebRecord* r = it->second.get();
    if (r->busy) continue;  // a request still inside the processor
    if (Sess* s = r->session) {
      SessChannelSource(s, kSessCmdChannel)->onData = nullptr;
      SessClearReqCloseCb(s);
      SessDisconnect(s);
      r->session = nullptr;
    }
    r->released = true;
    Free(r);
  }
  web.queued = 0;
  CloseLog();
  ResetFileCache();
}

bool WebRunning() { return web.running; }

bool WebRestart(const WebSettings& settings) {
  if (web.queued > 0 || web.inProcessor > 0) {
    web.pending = settings;
    web.restartPending = true;
    return false;
  }
  web.restartPending = false;
  WebInit(settings);
  return true;
}

void WebSetTemplatePageFn(WebTemplatePageFn fn) { templatePageFn = fn; }
void WebSetChatHandoffFn(WebChatHandoffFn fn) { chatHandoffFn = fn; }

int32_t WebListenerCount() {
  int32_t n = 0;
  for (auto& [id, r] : web.records)
    if (!r->released && r->state == kListening) ++n;
  return n;
}

int32_t WebConnectionCount() {
  int32_t n = 0;
  for (auto& [id, r] : web.records)
    if (!r->released && r->state != kListening) ++n;
  return n;
}

int32_t WebQueuedCount() { return web.queued; }

}  // namespace quil
