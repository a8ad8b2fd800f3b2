// Sessions: creation, channels, the two loop hooks, disconnection and the
// usage report.
#include "Sess.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "CgiEvent.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "TcpInt.h"

namespace quil {

bool SessDebugFlag = false;

struct Sess {
  int type = kSessNone;
  TcpKind kind = TcpKind::kTcp;
  bool listen = false;  // created by listening
  int16_t status = 0;
  bool disconnectRequested = false;
  TcpSocket* sock = nullptr;
  bool channelOpen = false;
  Strm source;
  Strm sink;
  SessReqCloseFn reqClose = nullptr;
  void* reqCloseArg = nullptr;
  int64_t created = 0;
  bool justConnected = false;  // accepted, not yet acknowledged
  bool acceptSeen = false;     // the accept has been reported
  bool errorNotified = false;
  bool dead = false;
  bool linger = false;     // close by lingering (SessFlushAndDisconnect)
  int64_t lingerUntil = 0; // while lingering: the deadline
};

namespace {

PkgState sessPkg;

std::unordered_map<Sess*, std::unique_ptr<Sess>>& Sessions() {
  static std::unordered_map<Sess*, std::unique_ptr<Sess>> sessions;  // SessLi
  return sessions;
}

// Sessions disconnected while a walk is running; freed when it ends.
std::vector<std::unique_ptr<Sess>> graveyard;
int walkDepth = 0;

struct WalkScope {
  WalkScope() { ++walkDepth; }
  ~WalkScope() {
    if (--walkDepth == 0) graveyard.clear();
  }
  WalkScope(const WalkScope&) = delete;
  WalkScope& operator=(const WalkScope&) = delete;
};

// The sessions of a walk, in a vector kept per nesting depth so that
// passes do not allocate (a deque: growing it for a nested walk leaves the
// outer walks' vectors in place).
std::deque<std::vector<Sess*>> snapshots;

const std::vector<Sess*>& Snapshot() {
  if (snapshots.size() < size_t(walkDepth)) snapshots.resize(size_t(walkDepth));
  std::vector<Sess*>& all = snapshots[size_t(walkDepth - 1)];
  all.clear();
  for (auto& [raw, owned] : Sessions()) all.push_back(raw);
  return all;
}

Sess* NewSession(int type, TcpKind kind, int32_t bufferSize) {
  auto s = std::make_unique<Sess>();
  s->type = type;
  s->kind = kind;
  s->created = SysTime();
  s->sock = TCPCreateSession(s.get(), bufferSize, bufferSize, kind);
  Sess* raw = s.get();
  Sessions().emplace(raw, std::move(s));
  return raw;
}

// Destroys a session whose set-up raised, so that nothing half-made stays
// in the list.
struct SetupGuard {
  Sess* s;
  ~SetupGuard() {
    if (s) SessDisconnect(s);
  }
};

void MoveOutput(Sess* s) {
  if (!s->channelOpen || !TCPIsConnected(s->sock)) return;
  if (!s->sink.Empty()) TCPWriteStrm(s->sock, s->sink);
  TCPFlush(s->sock);
  // What did not fit waits in the sink; try again with what was freed.
  if (!s->sink.Empty() && TCPWritePending(s->sock) == 0) {
    TCPWriteStrm(s->sock, s->sink);
    TCPFlush(s->sock);
  }
}

bool Drained(const Sess* s) {
  return s->sink.Empty() && TCPWritePending(s->sock) == 0;
}

void WakeUp(intptr_t, int32_t) {}

void MaybeDisconnect(Sess* s) {
  if (!s->disconnectRequested || s->dead) return;
  TcpSocket* t = s->sock;
  if (s->status != 0 || !TCPIsConnected(t)) {
    SessDisconnect(s);
    return;
  }
  if (!Drained(s)) return;
  if (!s->linger || TCPGetKind(t) != TcpKind::kTcp) {
    SessDisconnect(s);
    return;
  }
  if (s->lingerUntil == 0) {
    TCPShutdownWrite(t);
    s->lingerUntil = SysTime() + kSessLingerMs;
    QuRamAdd(int32_t(kSessLingerMs), WakeUp, 0);
  }
  // Lingering: drop what arrives until the peer closes or time is up.
  int32_t held = 0;
  int16_t rs = 0;
  TCPReadStatus(t, &held, &rs);
  if (held > 0) TCPReadConsume(t, held);
  if (rs != 0 || TCPRcvOrderlyDisconnect(t) || SysTime() >= s->lingerUntil) SessDisconnect(s);
}

void PollOne(Sess* s) {
  TcpSocket* t = s->sock;
  bool notify = false;
  TcpState state = TCPGetState(t);
  if (s->listen && !s->acceptSeen && state != TcpState::kListening) {
    s->acceptSeen = true;
    if (state == TcpState::kOpen) s->justConnected = true;
    notify = true;
  }
  if (state == TcpState::kFailed || state == TcpState::kClosed ||
      (state == TcpState::kOpen && TCPGetError(t) != 0)) {
    if (s->status == 0) s->status = TCPGetError(t) != 0 ? TCPGetError(t) : kTcpErrIo;
  }
  if (s->status != 0) {
    if (!s->errorNotified) {
      s->errorNotified = true;
      s->source.SetError(s->status);
      s->sink.SetError(s->status);
      notify = true;
    }
  } else if (state == TcpState::kOpen && s->channelOpen && !s->disconnectRequested) {
    int32_t held = 0;
    int16_t rs = 0;
    TCPReadStatus(t, &held, &rs);
    int64_t room = s->source.Room();
    int32_t n = int32_t(std::min<int64_t>(held, room));
    if (n > 0) {
      s->source.WriteView(TCPReadView(t).substr(0, size_t(n)));
      TCPReadConsume(t, n);
      notify = true;
    }
    MoveOutput(s);
  }
  if (notify && s->channelOpen && s->source.onData) {
    // The consumer may disconnect this session or others.
    auto callback = s->source.onData;
    callback();
    if (s->dead) return;
  }
  MoveOutput(s);
  if (!s->disconnectRequested && s->reqClose && s->status == 0 &&
      TCPRcvOrderlyDisconnect(t) && t->readHeld == 0) {
    SessReqCloseFn cb = s->reqClose;
    void* arg = s->reqCloseArg;
    s->reqClose = nullptr;
    cb(arg);
    if (s->dead) return;
  }
  MaybeDisconnect(s);
}

bool SessPending() {
  for (auto& [raw, owned] : Sessions()) {
    if (!raw->sink.Empty() || (raw->sock && TCPWritePending(raw->sock) > 0)) return true;
  }
  return false;
}

uint16_t SessInit() {
  HtLoopHookAdd(HtLoopStage::kBeforeWait, SessPollWrite);
  HtLoopHookAdd(HtLoopStage::kAfterWait, SessPoll);
  QuSetSessionPendingFn(SessPending);
  CgiStateSlotAdd();
  return 0;
}

void SessTerm() {
  MA_CHECK(SessDebugFlag, Sessions().empty(), "SessInitRtns-- session list not empty");
  while (!Sessions().empty()) SessDisconnect(Sessions().begin()->first);
  graveyard.clear();
  HtLoopHookRemove(HtLoopStage::kBeforeWait, SessPollWrite);
  HtLoopHookRemove(HtLoopStage::kAfterWait, SessPoll);
  QuSetSessionPendingFn(nullptr);
  CgiStateSlotRemove();
}

}  // namespace

const char* SessTypeName(int type) {
  static const char* const kNames[kSessTypeCount] = {
      "None", "Chat", "HTTP", "SMTP", "POP3", "NNTP", "LDAP", "IMAP", "QUIL", "DNS", "FCGI",
      "Other"};
  return type >= 0 && type < kSessTypeCount ? kNames[type] : "Other";
}

namespace {

// Makes a session and starts its transport with start(socket, &error); a
// session whose start fails or raises is removed again.
template <class Start>
bool SessCreate(int type, TcpKind kind, int32_t bufferSize, bool listen, Sess** session,
                int16_t* error, Start start) {
  Sess* s = NewSession(type, kind, bufferSize);
  SetupGuard guard{s};
  s->listen = listen;
  int16_t err = 0;
  if (!start(s->sock, &err)) {
    if (error) *error = err;
    return false;
  }
  SessChannelOpen(s, kSessCmdChannel, 0);
  guard.s = nullptr;
  *session = s;
  if (error) *error = 0;
  return true;
}

}  // namespace

bool SessListenTCPIP(int type, uint16_t port, uint32_t address, int32_t bufferSize,
                     Sess** session, int16_t* error) {
  return SessCreate(type, TcpKind::kTcp, bufferSize, true, session, error,
                    [&](TcpSocket* t, int16_t* e) { return TCPListenSocketIp(t, port, address, e); });
}

bool SessConnectTCP(int type, const St& host, uint16_t port, int32_t bufferSize,
                    Sess** session, int16_t* error) {
  return SessCreate(type, TcpKind::kTcp, bufferSize, false, session, error,
                    [&](TcpSocket* t, int16_t* e) { return TCPConnectSocket(t, host, port, e); });
}

bool SessConnectUDP(int type, uint32_t address, uint16_t port, Sess** session,
                    int16_t* error) {
  return SessCreate(type, TcpKind::kUdp, 0, false, session, error,
                    [&](TcpSocket* t, int16_t* e) { return UDPConnectSocket(t, address, port, e); });
}

void SessChannelOpen(Sess* s, int channel, int) {
  MA_CHECK(true, channel == kSessCmdChannel,
           "SessChannelOpen-- single-channel session can only use CmdChannelId");
  s->channelOpen = true;
}

Strm* SessChannelSource(Sess* s, int channel) {
  MA_CHECK(true, s->channelOpen && channel == kSessCmdChannel,
           "SessChannelSource-- channel not open");
  return &s->source;
}

Strm* SessChannelSink(Sess* s, int channel) {
  MA_CHECK(true, s->channelOpen && channel == kSessCmdChannel,
           "SessChannelSink-- channel not open");
  return &s->sink;
}

int16_t SessGetStatus(const Sess* s) { return s->status; }
bool SessIsConnected(const Sess* s) { return s->status == 0 && TCPIsConnected(s->sock); }
int SessGetType(const Sess* s) { return s->type; }
bool SessIsListening(const Sess* s) { return TCPIsListening(s->sock); }
bool SessListenJustConnected(const Sess* s) { return s->justConnected; }
void SessMarkListenCompleted(Sess* s) { s->justConnected = false; }
uint32_t SessGetLocalIp(const Sess* s) { return TCPLocalIp(s->sock); }
uint32_t SessGetRemoteIp(const Sess* s) { return TCPRemoteIp(s->sock); }
uint16_t SessGetLocalPort(const Sess* s) { return TCPLocalPort(s->sock); }
TcpSocket* SessSocket(Sess* s) { return s->sock; }

void SessFlushAndDisconnect(Sess* s, bool linger) {
  s->disconnectRequested = true;
  s->linger = linger;
  MoveOutput(s);
  // Gone at once when nothing waits; otherwise SessPoll finishes it.
  if (walkDepth == 0) MaybeDisconnect(s);
}

bool SessDisconnectRequested(const Sess* s) { return s->disconnectRequested; }

void SessDisconnect(Sess* s) {
  auto& sessions = Sessions();
  auto it = sessions.find(s);
  MA_CHECK(SessDebugFlag, it != sessions.end(), "SessDisconnect--unknown session");
  if (it == sessions.end()) return;
  std::unique_ptr<Sess> owned = std::move(it->second);
  sessions.erase(it);
  owned->dead = true;
  owned->source.onData = nullptr;
  owned->reqClose = nullptr;
  if (owned->sock) {
    TCPDestroySession(owned->sock);
    owned->sock = nullptr;
  }
  if (walkDepth > 0) graveyard.push_back(std::move(owned));
}

void SessSetReqCloseCb(Sess* s, SessReqCloseFn callback, void* argument) {
  s->reqClose = callback;
  s->reqCloseArg = argument;
}

void SessClearReqCloseCb(Sess* s) {
  s->reqClose = nullptr;
  s->reqCloseArg = nullptr;
}

void SessPoll() {
  TcpSocketPoll(false);
  WalkScope walk;
  for (Sess* s : Snapshot()) {
    if (s->dead || Sessions().find(s) == Sessions().end()) continue;
    PollOne(s);
  }
}

void SessPollWrite() {
  WalkScope walk;
  for (Sess* s : Snapshot()) {
    if (s->dead || Sessions().find(s) == Sessions().end()) continue;
    if (s->status == 0) MoveOutput(s);
    MaybeDisconnect(s);
  }
  TcpSocketPoll(true);
}

bool SessNeedsPoll() { return !Sessions().empty(); }
int32_t SessCount() { return int32_t(Sessions().size()); }

St SessGetUsage() {
  int32_t counts[kSessTypeCount][4] = {};
  bool any = false;
  for (auto& [s, owned] : Sessions()) {
    if (!SessIsConnected(s)) continue;
    int column = (s->kind == TcpKind::kUdp ? 2 : 0) + (s->listen ? 1 : 0);
    int type = s->type >= 0 && s->type < kSessTypeCount ? s->type : kSessOther;
    ++counts[type][column];
    any = true;
  }
  if (!any) return St();
  std::string out = "Type TCP-call TCP-listen UDP-call UDP-listen<br>\r\n";
  for (int t = 0; t < kSessTypeCount; ++t) {
    if (!counts[t][0] && !counts[t][1] && !counts[t][2] && !counts[t][3]) continue;
    out += SessTypeName(t);
    for (int c = 0; c < 4; ++c) out += " " + std::to_string(counts[t][c]);
    out += "<br>\r\n";
  }
  return StFromView(out);
}

uint16_t SessInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = SessInit;
  steps.term = SessTerm;
  uint16_t r = PkgDispatch(sessPkg, "SessInitRtns", selector, value, steps);
  if (selector == kPkgDebug) SessDebugFlag = sessPkg.debug;
  return r;
}

}  // namespace quil
