// The network services the server starts for now (the HTTP server, with
// its settings from the database and quil.set) and the request and network
// commands of the interactive -stdio session.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CgiEvent.h"
#include "Forum.h"
#include "ForumSet.h"
#include "Ht.h"
#include "LgDb.h"
#include "Ql.h"
#include "Sess.h"
#include "Tcp.h"
#include "Web.h"

namespace quil {

namespace {

// Settings kept in the sysop settings record under these field names that
// have no accessor of their own yet: read by name (absent: default).
St SysopText(ChHandle rec, const char* field) {
  ChHandle id = LgDbFieldIdLookup(rec, StCStrXfm(field));
  return id != 0 && LgDbRecHasText(rec, id) ? LgDbRecGetText(rec, id) : St();
}

int64_t SysopInt(ChHandle rec, const char* field, int64_t dflt) {
  ChHandle id = LgDbFieldIdLookup(rec, StCStrXfm(field));
  ChHandle h = id != 0 ? LgDbIntHnd(rec, id) : 0;
  return h != 0 ? LgDbIntHndValue(h) : dflt;
}

void Print(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

}  // namespace

void QlWebSettings(WebSettings* s) {
  *s = WebSettings();
  s->releaseText = StCStrXfm(kQlReleaseText);
  ForumRoot root = wfForumRoot;
  ChHandle rec = root ? ForumRootSysopRec(root) : 0;
  // quil.set's webPort wins over the database's: it is what the operator
  // edits by hand (and what `make run` prepares).
  s->port = wfQuilSettings.Get("webPort");
  if (rec == 0) return;
  if (s->port.IsNil()) s->port = SysopText(rec, "WebPort");
  s->enable = SysopInt(rec, "WebEnable", 1) != 0;
  s->maxListens = ForumSysopWebMaxListens(root);
  s->data = SysopText(rec, "WebData");
  s->script = SysopText(rec, "WebScript");
  s->commonLog = SysopText(rec, "CommonLog");
  s->commonLogCombined = ForumSysopCommonLogCombined(root);
  s->httpTopLevel = SysopText(rec, "HttpTopLevel");
  s->maxBody = std::max<int64_t>(0, SysopInt(rec, "WebMaxBody", s->maxBody));
  s->chatFanout = wfQuilSettings.GetInt("isChatFanout", 0) != 0;
  St chat = wfQuilSettings.Get("chatClientIp");
  int32_t colon = StIndexLast(chat, chat.Length() - 1, ':');
  int32_t port = 0;
  if (colon >= 0 && StIntStXfm(StSubstr(chat, colon + 1, chat.Length()), &port) && port > 0 &&
      port < 65536)
    s->chatClientPort = uint16_t(port);
}

void QlNetStart() {
  TcpSetTraceSessions(Ql.traceSession);
  if (!Ql.server) return;  // -echo and -stdio serve no network service
  WebSettings settings;
  QlWebSettings(&settings);
  CgiBridgeSettings bridge;
  bridge.clockSkew = Ql.clockSkew;
  bridge.echo = Ql.echo;
  bridge.maxBody = settings.maxBody;
  CgiBridgeConfigure(bridge);
  WebInit(settings);
}

void QlNetStop() {
  if (WebRunning()) WebTerm();
  CgiBridgeReset();
}

// ---------------------------------------------------------------------------
// The interactive session.

namespace {

struct StdioSocket {
  uint64_t id;
  Sess* session;
  bool listening;
};
std::vector<StdioSocket> stdioSockets;
uint64_t nextStdioId = 1;

StdioSocket* FindSocket(uint64_t id) {
  for (auto& s : stdioSockets)
    if (s.id == id) return &s;
  return nullptr;
}

void Forget(uint64_t id) {
  stdioSockets.erase(std::remove_if(stdioSockets.begin(), stdioSockets.end(),
                                    [id](const StdioSocket& s) { return s.id == id; }),
                     stdioSockets.end());
}

// Runs event-loop passes until done() or the -wait time has passed.
template <class Done>
bool WaitFor(Done done, int64_t ms) {
  int64_t end = SysTime() + ms;
  while (!done()) {
    if (quitFlag || SysTime() >= end) return false;
    QlServerLoop(-1, 20, true);
  }
  return true;
}

int64_t WaitMs() { return int64_t(Ql.waitSeconds > 0 ? Ql.waitSeconds : 1) * 1000; }

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

void Request(const char* method, const std::string& query, const std::string& body) {
  CgiEvent e;
  e.frontEnd = CgiFrontEnd::kStdio;
  e.method = StCStrXfm(method);
  e.query = StFromView(query);
  if (!body.empty()) {
    e.body = StFromView(body);
    e.contentType = StCStrXfm("application/x-www-form-urlencoded");
  }
  e.scriptName = StFromView(Ql.cgiName);
  e.serverName = StFromView(HostName());
  e.remoteAddr = StCStrXfm("127.0.0.1");
  if (Ql.hasAgent) e.userAgent = StFromView(Ql.agent);
  auto pair = [&](const char* name, const St& value) {
    if (value.Length() > 0) e.cgiPairs.push_back({StCStrXfm(name), value});
  };
  pair("http_User_Agent", e.userAgent);
  pair("request_method", e.method);
  pair("query_string", e.query);
  pair("remote_addr", e.remoteAddr);
  pair("server_name", e.serverName);
  pair("content_type", e.contentType);
  pair("script_name", e.scriptName);
  if (uint32_t bit = CgiBlockedBy()) {
    WaitFor([] { return CgiBlockedBy() == 0; }, WaitMs());
    (void)bit;
  }
  CgiProcess(e);
  std::string page = e.result.Str();
  if (page.empty() || page.back() != '\n') page += '\n';
  Print(page);
}

// Lines up to a blank line (or the end of input); ".." stands for a blank
// line when asked.
std::vector<std::string> ReadLines(bool dotDot) {
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    lines.push_back(dotDot && line == ".." ? "" : line);
  }
  return lines;
}

void LookUp(const std::string& what) {
  uint32_t address = 0;
  if (what == "host") {
    std::string name = HostName();
    St st = StFromView(name);
    if (WaitFor([&] { return TCPLookupByName(&address, st); }, WaitMs()) && address != 0)
      Print(name + " is " + TcpIpToSt(address).Str() + "\n");
    else
      Print(name + ": no address\n");
    return;
  }
  if (TcpStToIp(what, &address)) {
    St name;
    if (!WaitFor([&] { return TCPLookupByIp(address, &name); }, WaitMs()))
      Print(what + ": no answer\n");
    else if (name.IsNil())
      Print(what + ": no name\n");
    else
      Print(what + " is " + name.Str() + "\n");
    return;
  }
  St name = StFromView(what);
  if (!WaitFor([&] { return TCPLookupByName(&address, name); }, WaitMs()))
    Print(what + ": no answer\n");
  else if (address == 0)
    Print(what + ": not found\n");
  else
    Print(what + " is " + TcpIpToSt(address).Str() + "\n");
}

void OnStdioData(uint64_t id);

void Watch(Sess* s, bool listening) {
  uint64_t id = nextStdioId++;
  stdioSockets.push_back({id, s, listening});
  SessChannelSource(s, kSessCmdChannel)->onData = [id] { OnStdioData(id); };
  SessSetReqCloseCb(s, [](void* arg) {
    uint64_t id = uint64_t(uintptr_t(arg));
    StdioSocket* so = FindSocket(id);
    if (!so) return;
    Print("fd " + std::to_string(TCPDescriptor(SessSocket(so->session))) + " closed by peer\n");
    SessDisconnect(so->session);
    Forget(id);
  }, reinterpret_cast<void*>(uintptr_t(id)));
}

void OnStdioData(uint64_t id) {
  StdioSocket* so = FindSocket(id);
  if (!so) return;
  Sess* s = so->session;
  if (SessGetStatus(s) != 0) {
    Print("socket failed: " + std::to_string(SessGetStatus(s)) + "\n");
    SessDisconnect(s);
    Forget(id);
    return;
  }
  if (so->listening && SessListenJustConnected(s)) {
    SessMarkListenCompleted(s);
    Print("connection from " + TcpIpToSt(SessGetRemoteIp(s)).Str() + " (fd " +
          std::to_string(TCPDescriptor(SessSocket(s))) + ")\n");
  }
  Strm* in = SessChannelSource(s, kSessCmdChannel);
  if (in->Empty()) return;
  St data = in->Take(size_t(in->Size()));
  Print("fd " + std::to_string(TCPDescriptor(SessSocket(s))) + ": " + data.Str());
  // A listening socket echoes what it receives.
  if (so->listening) SessChannelSink(s, kSessCmdChannel)->WriteSt(std::move(data));
}

}  // namespace

bool QlStdioNetCommand(const std::string& line) {
  size_t sp = line.find(' ');
  std::string word = line.substr(0, sp);
  std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
  while (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
  if (word == "get") {
    Request("GET", rest, "");
  } else if (word == "post") {
    std::string body;
    for (const std::string& l : ReadLines(false)) body += l;
    Request("POST", rest, body);
  } else if (word == "ip" && !rest.empty()) {
    LookUp(rest);
  } else if (word == "listen" && !rest.empty()) {
    int32_t port = atoi(rest.c_str());
    Sess* s = nullptr;
    int16_t error = 0;
    if (port <= 0 || port > 65535 ||
        !SessListenTCPIP(kSessOther, uint16_t(port), 0, 0, &s, &error)) {
      Print("could not listen on port " + rest + "\n");
      return true;
    }
    Watch(s, true);
    Print("listening on port " + std::to_string(port) + "\n");
  } else if (word == "connect" && !rest.empty()) {
    size_t blank = rest.find(' ');
    std::string host = rest.substr(0, blank);
    int32_t port = blank == std::string::npos ? 0 : atoi(rest.c_str() + blank + 1);
    Sess* s = nullptr;
    int16_t error = 0;
    if (port <= 0 || port > 65535 ||
        !SessConnectTCP(kSessOther, StFromView(host), uint16_t(port), 0, &s, &error)) {
      Print("could not connect to " + rest + "\n");
      return true;
    }
    Watch(s, false);
    if (!WaitFor([s] { return SessIsConnected(s) || SessGetStatus(s) != 0; }, WaitMs()) ||
        SessGetStatus(s) != 0) {
      Print("could not connect to " + rest + "\n");
      return true;
    }
    Print("connected to " + host + " " + std::to_string(port) + " (fd " +
          std::to_string(TCPDescriptor(SessSocket(s))) + ")\n");
    Strm* out = SessChannelSink(s, kSessCmdChannel);
    for (const std::string& l : ReadLines(true)) out->WriteView(l + "\r\n");
  } else if (word == "close" && !rest.empty()) {
    int fd = atoi(rest.c_str());
    bool closed = false;
    for (StdioSocket so : std::vector<StdioSocket>(stdioSockets)) {
      bool match = fd == -1 ? so.listening && SessIsListening(so.session)
                            : TCPDescriptor(SessSocket(so.session)) == fd;
      if (!match) continue;
      SessDisconnect(so.session);
      Forget(so.id);
      closed = true;
    }
    Print(closed ? "closed " + rest + "\n" : "no socket " + rest + "\n");
  } else if (line.find('=') != std::string::npos && line.find(' ') == std::string::npos) {
    // Keywords typed alone: posted to the top-level page.
    Request("POST", "", line);
  } else {
    return false;
  }
  return true;
}

void QlStdioNetEnd() {
  for (StdioSocket so : std::vector<StdioSocket>(stdioSockets)) SessDisconnect(so.session);
  stdioSockets.clear();
}

}  // namespace quil
