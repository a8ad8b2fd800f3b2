// Socket records, listen entries, the open-file limit rule, reading and
// writing, and the close thread.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "TcpInt.h"
#include "Thread.h"

namespace quil {

bool TcpDebugFlag = false;

namespace {

PkgState tcpPkg;
PkgState udpPkg;

std::unordered_map<TcpSocket*, std::unique_ptr<TcpSocket>>& Sockets() {
  static std::unordered_map<TcpSocket*, std::unique_ptr<TcpSocket>> sockets;
  return sockets;
}

// Listen entries with the listening sockets waiting on each, in the order
// they started listening.
struct ListenSlot {
  std::unique_ptr<TcpListenEntry> entry;
  std::deque<TcpSocket*> waiting;
};
std::vector<std::unique_ptr<ListenSlot>>& Listens() {
  static std::vector<std::unique_ptr<ListenSlot>> listens;
  return listens;
}

// The kernel queue of connections not yet accepted holds at least this
// many (as nginx's default), so that a burst of connections is not dropped
// while the loop is busy; a larger limit raises it.
constexpr int32_t kTcpMinBacklog = 511;
int32_t listenBacklog = kTcpMinBacklog;
bool traceSessions = false;  // -traceSession: new sockets trace their events

// How long a listen entry rests after accept() ran out of descriptors.
constexpr int64_t kTcpAcceptPauseMs = 100;

bool Tracing(const TcpSocket* s) { return HtTrace || (s && s->trace); }

void Trace(const TcpSocket* s, const std::string& text) {
  if (Tracing(s)) HtWriteAll(2, text);
}

ListenSlot* SlotOf(const TcpListenEntry* e) {
  for (auto& slot : Listens())
    if (slot->entry.get() == e) return slot.get();
  return nullptr;
}

// ---------------------------------------------------------------------------
// The close thread.

struct CloseQueue {
  std::mutex mutex;
  std::condition_variable wake;     // work or stop for the thread
  std::condition_variable stopped;  // the thread has ended
  std::deque<std::pair<int, bool>> fds;  // descriptor, no-linger
  bool stop = false;
  bool running = false;
  pid_t pid = 0;  // the process whose thread it is (a forked child has none)
  void Stop();
  // A process that ends through exit() still closes what is queued.
  ~CloseQueue() { Stop(); }
};
CloseQueue& Closer() {
  static CloseQueue q;
  return q;
}

void CloseNow(int fd, bool noLinger) {
  if (noLinger) {
    linger l{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close(fd);
}

// TcpCloseThread: closes what the loop hands over until told to stop, then
// closes what is left.
void TcpCloseThread() {
  CloseQueue& q = Closer();
  std::unique_lock<std::mutex> lock(q.mutex);
  for (;;) {
    q.wake.wait(lock, [&] { return q.stop || !q.fds.empty(); });
    std::deque<std::pair<int, bool>> batch;
    batch.swap(q.fds);
    lock.unlock();
    for (auto& [fd, noLinger] : batch) CloseNow(fd, noLinger);
    lock.lock();
    if (q.stop && q.fds.empty()) break;
  }
  q.running = false;
  q.stopped.notify_all();
}

void CloseQueue::Stop() {
  std::unique_lock<std::mutex> lock(mutex);
  if (!running) return;
  if (pid != getpid()) {
    running = false;  // the thread belongs to the parent of this process
    return;
  }
  stop = true;
  wake.notify_one();
  stopped.wait(lock, [&] { return !running; });
}

void CloseThreadStart() {
  CloseQueue& q = Closer();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if ((q.running && q.pid == getpid()) || !ThreadsAvail()) return;
    q.running = true;
    q.stop = false;
    q.pid = getpid();
  }
  if (!ThreadStart(TcpCloseThread)) {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.running = false;
  }
}

void CloseThreadStop() { Closer().Stop(); }

// ---------------------------------------------------------------------------
// The open-file limit.

rlim_t softLimit = 0, hardLimit = 0;

void LoadLimits() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    softLimit = lim.rlim_cur;
    hardLimit = lim.rlim_max;
  }
}

void RaiseLimit() {
  if (softLimit >= hardLimit) return;
  rlim_t want = std::min<rlim_t>(softLimit + 64, hardLimit);
  rlimit lim{want, hardLimit};
  char text[256];
  if (setrlimit(RLIMIT_NOFILE, &lim) == 0) {
    softLimit = want;
    snprintf(text, sizeof text, "LIMITS for file descriptors changed to %i\n", int(want));
  } else {
    snprintf(text, sizeof text, "Error changing LIMITS for file descriptors to %i: %s\n",
             int(want), strerror(errno));
  }
  Wf_err_write(text);
}

// ---------------------------------------------------------------------------
// Reading and writing.

void Fail(TcpSocket* s, int16_t code, const char* what, int err) {
  s->state = TcpState::kFailed;
  s->error = code;
  if (what) Trace(s, std::string(what) + strerror(err) + "\n");
}

void CompactRead(TcpSocket* s) {
  if (s->readOff == 0) return;
  if (s->readHeld > 0)
    memmove(const_cast<char*>(s->readBuf.CStr()), s->readBuf.CStr() + s->readOff,
            size_t(s->readHeld));
  s->readOff = 0;
}

char* ReadSpace(TcpSocket* s) {
  if (s->readBuf.IsNil()) {
    s->readBuf = StAlloc(s->readCap);
  }
  CompactRead(s);
  return const_cast<char*>(s->readBuf.CStr()) + s->readHeld;
}

void ReadTcp(TcpSocket* s) {
  int32_t room = s->readCap - s->readHeld;
  if (room <= 0 || s->eof) return;
  // An idle connection holds no buffer: the first bytes decide.
  char first[4096];
  char* at = s->readBuf.IsNil() ? first : ReadSpace(s);
  if (at == first) room = std::min<int32_t>(room, int32_t(sizeof first));
  ssize_t n = recv(s->fd, at, size_t(room), 0);
  if (n > 0 && at == first) memcpy(ReadSpace(s), first, size_t(n));
  if (n > 0) {
    s->readHeld += int32_t(n);
  } else if (n == 0) {
    s->eof = true;
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    Fail(s, kTcpErrIo, "unrecoverable read error: ", errno);
  }
}

// Datagrams are kept as a 4-byte length and the bytes.
void ReadUdp(TcpSocket* s) {
  for (;;) {
    int32_t room = s->readCap - s->readHeld;
    if (room < int32_t(4 + kDnsMaxMessage)) return;
    char* at = ReadSpace(s);
    ssize_t n = recv(s->fd, at + 4, kDnsMaxMessage, 0);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
          errno != ECONNREFUSED)
        Fail(s, kTcpErrIo, "unrecoverable read error: ", errno);
      return;
    }
    int32_t len = int32_t(n);
    memcpy(at, &len, 4);
    s->readHeld += 4 + len;
  }
}

void WriteTcp(TcpSocket* s) {
  while (!s->writeBuf.Empty()) {
    iovec iov[16];
    int n = s->writeBuf.Segments(iov, 16);
    ssize_t sent = TcpSendv(s->fd, iov, n);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR) continue;
      Fail(s, kTcpErrIo, "unrecoverable write error: ", errno);
      return;
    }
    s->writeBuf.Consume(size_t(sent));
  }
}

void WriteUdp(TcpSocket* s) {
  while (s->writeBuf.Size() >= 4) {
    std::string_view head = s->writeBuf.Peek(4);
    int32_t len;
    memcpy(&len, head.data(), 4);
    MA_CHECK(TcpDebugFlag, len >= 0 && s->writeBuf.Size() >= 4 + len,
             "WriteUdp--datagram length");
    std::string_view d = s->writeBuf.Peek(size_t(4 + len));
    ssize_t sent = send(s->fd, d.data() + 4, size_t(len), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR) continue;
      if (errno != ECONNREFUSED) {
        Fail(s, kTcpErrIo, "unrecoverable write error: ", errno);
        return;
      }
    }
    s->writeBuf.Consume(size_t(4 + len));
  }
}

void DoRead(TcpSocket* s) {
  if (s->kind == TcpKind::kUdp)
    ReadUdp(s);
  else
    ReadTcp(s);
}

void DoWrite(TcpSocket* s) {
  if (s->kind == TcpKind::kUdp)
    WriteUdp(s);
  else
    WriteTcp(s);
}

unsigned WantedInterest(const TcpSocket* s) {
  switch (s->state) {
    case TcpState::kConnecting:
      return kHtWrite;
    case TcpState::kOpen: {
      unsigned want = 0;
      int32_t need = s->kind == TcpKind::kUdp ? int32_t(4 + kDnsMaxMessage) : 1;
      if (!s->eof && s->readCap - s->readHeld >= need) want |= kHtRead;
      if (!s->writeBuf.Empty()) want |= kHtWrite;
      return want;
    }
    default:
      return 0;
  }
}

void SocketReady(TcpSocket* s, unsigned ready);

void Watch(TcpSocket* s) {
  if (s->fd < 0) return;
  s->interest = WantedInterest(s);
  HtFdWatch(s->fd, s->interest, [s](int, unsigned ready) { SocketReady(s, ready); });
  s->watched = true;
}

void Unwatch(TcpSocket* s) {
  if (s->watched) HtFdUnwatch(s->fd);
  s->watched = false;
}

void UpdateInterest(TcpSocket* s) {
  if (!s->watched) return;
  unsigned want = WantedInterest(s);
  if (want != s->interest) {
    s->interest = want;
    HtFdSetInterest(s->fd, want);
  }
}

// The local address is read when first asked for (most connections never
// need it); the remote one comes with accept or connect.
void NoteLocal(TcpSocket* s) {
  if (s->localKnown || s->fd < 0) return;
  sockaddr_in a;
  socklen_t len = sizeof a;
  if (getsockname(s->fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    s->localIp = ntohl(a.sin_addr.s_addr);
    s->localPort = ntohs(a.sin_port);
    s->localKnown = true;
  }
}

void NoteAddresses(TcpSocket* s) {
  s->localKnown = false;
  if (s->remoteIp != 0) return;
  sockaddr_in a;
  socklen_t len = sizeof a;
  if (getpeername(s->fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    s->remoteIp = ntohl(a.sin_addr.s_addr);
    s->remotePort = ntohs(a.sin_port);
  }
}

void SocketReady(TcpSocket* s, unsigned ready) {
  switch (s->state) {
    case TcpState::kConnecting: {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        Fail(s, kTcpErrAccept, "connect failed: ", err);
      } else {
        s->state = TcpState::kOpen;
        NoteAddresses(s);
        if (Tracing(s)) Trace(s, "connected " + TcpSocketName(s) + "\n");
      }
      break;
    }
    case TcpState::kOpen:
      if (ready & kHtRead) DoRead(s);
      if ((ready & kHtWrite) && s->state == TcpState::kOpen) DoWrite(s);
      break;
    default:
      break;
  }
  UpdateInterest(s);
}

void LeaveEntry(TcpSocket* s) {
  TcpListenEntry* e = s->listen;
  if (!e) return;
  if (ListenSlot* slot = SlotOf(e)) {
    auto& w = slot->waiting;
    w.erase(std::remove(w.begin(), w.end(), s), w.end());
  }
  --e->refs;
  s->listen = nullptr;
}

void WakeLater(intptr_t, int32_t) {}

// The waiting sockets of the entry accept one connection each, in the
// order they started listening, while connections wait: a burst is taken
// in one pass instead of overflowing the kernel's queue.  Returns false
// when nothing more can be taken now.
bool AcceptOne(ListenSlot* slot) {
  TcpListenEntry* e = slot->entry.get();
  if (slot->waiting.empty() || e->pausedUntil != 0) return false;
  TcpSocket* s = slot->waiting.front();
  TcpFileLimitCheck(-1);
  sockaddr_in peer;
  socklen_t len = sizeof peer;
  int fd = accept4(e->fd, reinterpret_cast<sockaddr*>(&peer), &len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    switch (err) {
      case EAGAIN:
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
        return false;  // nothing to take after all; the socket keeps listening
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        // Out of descriptors or memory: rest the entry instead of failing
        // its sockets, so the service keeps its listeners.
        e->pausedUntil = SysTime() + kTcpAcceptPauseMs;
        HtFdSetInterest(e->fd, 0);
        QuRamAdd(int32_t(kTcpAcceptPauseMs), WakeLater, 0);
        return false;
      default:
        slot->waiting.pop_front();
        s->listen = nullptr;
        --e->refs;
        Fail(s, kTcpErrAccept, "accept failed: ", err);
        return false;
    }
  }
  TcpFileLimitCheck(fd);
  slot->waiting.pop_front();
  s->listen = nullptr;
  --e->refs;
  s->fd = fd;
  s->state = TcpState::kOpen;
  s->remoteIp = ntohl(peer.sin_addr.s_addr);
  s->remotePort = ntohs(peer.sin_port);
  NoteAddresses(s);
  if (Tracing(s)) Trace(s, "accepted " + TcpSocketName(s) + "\n");
  Watch(s);
  // The request usually arrived with the connection: read it now.
  DoRead(s);
  UpdateInterest(s);
  return true;
}

void ListenReady(ListenSlot* slot) {
  while (AcceptOne(slot)) {
  }
}

[[noreturn]] void SetupError(const char* format, const std::string& what) {
  Wf_err_exit(kWfCodeSystem, errno, format, what.c_str());
}

ListenSlot* OpenEntry(uint16_t port, uint32_t address) {
  for (auto& slot : Listens()) {
    if (slot->entry->port == port && slot->entry->address == address) return slot.get();
  }
  std::string name = TcpIpToSt(address).Str() + ":" + std::to_string(port);
  TcpFileLimitCheck(-1);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) SetupError("could not create listen socket for %s", name);
  TcpFileLimitCheck(fd);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    SetupError("could not bind listen socket to %s", name);
  }
  if (listen(fd, listenBacklog) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    SetupError("could not listen on %s", name);
  }
  auto slot = std::make_unique<ListenSlot>();
  slot->entry = std::make_unique<TcpListenEntry>();
  slot->entry->fd = fd;
  slot->entry->port = port;
  slot->entry->address = address;
  ListenSlot* raw = slot.get();
  HtFdWatch(fd, kHtRead, [raw](int, unsigned) { ListenReady(raw); });
  Listens().push_back(std::move(slot));
  return raw;
}

// Closes listen entries that no socket uses any more.  With report, a
// non-zero count is written to the error log first (termination).
void CloseUnusedEntries(bool report) {
  auto& listens = Listens();
  for (size_t i = 0; i < listens.size();) {
    TcpListenEntry* e = listens[i]->entry.get();
    if (e->refs > 0 && !report) {
      ++i;
      continue;
    }
    if (e->refs != 0) {
      char text[128];
      snprintf(text, sizeof text, "non-zero reference count %d for listen on port %d\n",
               int(e->refs), int(e->port));
      Wf_err_write(text);
    }
    HtFdUnwatch(e->fd);
    close(e->fd);
    listens.erase(listens.begin() + long(i));
  }
}

uint16_t TcpInit() {
  LoadLimits();
  TCPDnsCacheFlush();
  listenBacklog = kTcpMinBacklog;
  return 0;
}

void TcpTerm() {
  auto& sockets = Sockets();
  MA_CHECK(TcpDebugFlag, sockets.empty(), "TCPInitRtns-- sockets left");
  while (!sockets.empty()) TCPDestroySession(sockets.begin()->first);
  CloseUnusedEntries(true);
  CloseThreadStop();
  TCPDnsCacheFlush();
}

}  // namespace

// ---------------------------------------------------------------------------

std::string TcpSocketName(const TcpSocket* s) {
  if (s->state == TcpState::kListening && s->listen)
    return TcpIpToSt(s->listen->address).Str() + ":" + std::to_string(s->listen->port);
  if (s->remoteIp == 0 && !s->host.IsNil())
    return s->host.Str() + ":" + std::to_string(s->connectPort);
  return TcpIpToSt(s->remoteIp).Str() + ":" + std::to_string(s->remotePort);
}

void TcpFileLimitCheck(int fd) {
  if (softLimit == 0) LoadLimits();
  if (softLimit == 0 || softLimit >= hardLimit) return;
  bool raise = fd < 0 ? fcntl(int(softLimit - 1), F_GETFD) != -1
                      : rlim_t(fd) + 10 >= softLimit;
  if (raise) RaiseLimit();
}

TcpSocket* TCPCreateSession(void* owner, int32_t readSize, int32_t writeSize, TcpKind kind) {
  auto s = std::make_unique<TcpSocket>();
  s->owner = owner;
  s->kind = kind;
  s->readCap = readSize > 0 ? readSize : kTcpDefaultBuffer;
  s->writeCap = writeSize > 0 ? writeSize : kTcpDefaultBuffer;
  if (kind == TcpKind::kUdp) s->readCap = std::max<int32_t>(s->readCap, 2 * (4 + int32_t(kDnsMaxMessage)));
  s->writeBuf.SetLimit(s->writeCap);
  s->trace = traceSessions;
  TcpSocket* raw = s.get();
  Sockets().emplace(raw, std::move(s));
  return raw;
}

bool TCPListenSocketIp(TcpSocket* s, uint16_t port, uint32_t address, int16_t* error) {
  MA_CHECK(TcpDebugFlag, s->state == TcpState::kIdle, "TCPListenSocketIp--state");
  ListenSlot* slot = OpenEntry(port, address);
  ++slot->entry->refs;
  slot->waiting.push_back(s);
  s->listen = slot->entry.get();
  s->state = TcpState::kListening;
  if (error) *error = 0;
  return true;
}

namespace {

bool StartConnect(TcpSocket* s, uint32_t address) {
  TcpFileLimitCheck(-1);
  int type = s->kind == TcpKind::kUdp ? SOCK_DGRAM : SOCK_STREAM;
  int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(s, kTcpErrAccept, "socket failed: ", errno);
    return false;
  }
  TcpFileLimitCheck(fd);
  s->fd = fd;
  s->remoteIp = address;
  s->remotePort = s->connectPort;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(s->connectPort);
  a.sin_addr.s_addr = htonl(address);
  int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (r == 0) {
    s->state = TcpState::kOpen;
    NoteAddresses(s);
    if (Tracing(s)) Trace(s, "connected " + TcpSocketName(s) + "\n");
  } else if (errno == EINPROGRESS) {
    s->state = TcpState::kConnecting;
  } else {
    Fail(s, kTcpErrAccept, "connect failed: ", errno);
  }
  Watch(s);
  return s->state != TcpState::kFailed;
}

}  // namespace

bool TCPConnectSocket(TcpSocket* s, const St& host, uint16_t port, int16_t* error) {
  s->host = host;
  s->connectPort = port;
  uint32_t address = 0;
  bool ok;
  if (TcpStToIp(host.View(), &address)) {
    ok = StartConnect(s, address);
  } else {
    s->state = TcpState::kLookup;
    ok = true;
    if (TCPLookupByName(&address, host)) {
      if (address == 0) {
        Fail(s, 1550, nullptr, 0);
        ok = false;
      } else {
        ok = StartConnect(s, address);
      }
    }
  }
  if (error) *error = s->error;
  return ok;
}

bool UDPConnectSocket(TcpSocket* s, uint32_t address, uint16_t port, int16_t* error) {
  s->connectPort = port;
  bool ok = StartConnect(s, address);
  if (error) *error = s->error;
  return ok;
}

void TCPReadStatus(const TcpSocket* s, int32_t* count, int16_t* status) {
  *count = s->readHeld;
  if (s->error != 0)
    *status = s->error;
  else if (s->eof && s->readHeld == 0)
    *status = kTcpErrEof;
  else
    *status = 0;
}

void TCPReadBlock(TcpSocket* s, void* buffer, int32_t n) {
  MA_CHECK(true, n >= 0 && n <= s->readHeld, "TCPReadBlock--Count");
  memcpy(buffer, s->readBuf.CStr() + s->readOff, size_t(n));
  TCPReadConsume(s, n);
}

std::string_view TCPReadView(const TcpSocket* s) {
  return std::string_view(s->readBuf.CStr() + s->readOff, size_t(s->readHeld));
}

void TCPReadConsume(TcpSocket* s, int32_t n) {
  MA_CHECK(true, n >= 0 && n <= s->readHeld, "TCPReadBlock--Count");
  s->readOff += n;
  s->readHeld -= n;
  if (s->readHeld == 0) s->readOff = 0;
  UpdateInterest(s);
}

void TCPWriteStatus(const TcpSocket* s, int32_t* room, int16_t* status) {
  int64_t r = s->writeBuf.Room();
  *room = int32_t(std::min<int64_t>(r, INT32_MAX));
  *status = s->error;
}

void TCPWriteBlock(TcpSocket* s, const void* buffer, int32_t n) {
  MA_CHECK(true, n >= 0 && n <= s->writeBuf.Room(), "TCPWriteBlock--Count");
  s->writeBuf.Write(buffer, size_t(n));
  UpdateInterest(s);
}

int64_t TCPWriteStrm(TcpSocket* s, Strm& from) {
  int64_t moved = s->writeBuf.MoveFrom(from);
  if (moved) UpdateInterest(s);
  return moved;
}

void TCPFlush(TcpSocket* s) {
  if (s->state != TcpState::kOpen || s->writeBuf.Empty()) return;
  DoWrite(s);
  UpdateInterest(s);
}

int64_t TCPWritePending(const TcpSocket* s) { return s->writeBuf.Size(); }

bool TCPIsConnected(const TcpSocket* s) {
  return s->state == TcpState::kOpen && s->error == 0;
}

bool TCPRcvOrderlyDisconnect(const TcpSocket* s) { return s->eof; }
TcpState TCPGetState(const TcpSocket* s) { return s->state; }
int16_t TCPGetError(const TcpSocket* s) { return s->error; }
bool TCPIsListening(const TcpSocket* s) { return s->state == TcpState::kListening; }
TcpKind TCPGetKind(const TcpSocket* s) { return s->kind; }
uint32_t TCPLocalIp(const TcpSocket* s) {
  NoteLocal(const_cast<TcpSocket*>(s));
  return s->localIp;
}
uint32_t TCPRemoteIp(const TcpSocket* s) { return s->remoteIp; }
uint16_t TCPLocalPort(const TcpSocket* s) {
  NoteLocal(const_cast<TcpSocket*>(s));
  return s->localPort;
}
uint16_t TCPRemotePort(const TcpSocket* s) { return s->remotePort; }
int TCPDescriptor(const TcpSocket* s) { return s->fd; }
void TCPSetNoLinger(TcpSocket* s, bool on) { s->noLinger = on; }

void TCPShutdownWrite(TcpSocket* s) {
  if (s->fd >= 0 && s->kind == TcpKind::kTcp) shutdown(s->fd, SHUT_WR);
}

void TCPDestroySession(TcpSocket* s) {
  auto& sockets = Sockets();
  auto it = sockets.find(s);
  MA_CHECK(TcpDebugFlag, it != sockets.end(), "TCPDestroySession--unknown socket");
  if (it == sockets.end()) return;
  LeaveEntry(s);
  Unwatch(s);
  if (s->fd >= 0) {
    if (Tracing(s))
      Trace(s, "closing " + TcpSocketName(s) + " in separate thread at " +
                   std::to_string(SysTime()) + "\n");
    TcpCloseFd(s->fd, s->noLinger);
    s->fd = -1;
  }
  s->state = TcpState::kClosed;
  sockets.erase(it);
}

void TcpCloseFd(int fd, bool noLinger) {
  if (fd < 0) return;
  CloseThreadStart();
  CloseQueue& q = Closer();
  std::lock_guard<std::mutex> lock(q.mutex);
  if (!q.running || q.pid != getpid()) {
    CloseNow(fd, noLinger);
    return;
  }
  // The thread is woken once per pass (TcpSocketPoll), not per descriptor.
  q.fds.emplace_back(fd, noLinger);
}

void TCPSetListenBacklog(int32_t backlog) {
  listenBacklog = std::max<int32_t>(backlog, kTcpMinBacklog);
}

void TcpSocketPoll(bool setUp) {
  if (!setUp) return;
  {
    CloseQueue& q = Closer();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.fds.empty()) q.wake.notify_one();
  }
  CloseUnusedEntries(false);
  int64_t now = SysTime();
  for (auto& slot : Listens()) {
    TcpListenEntry* e = slot->entry.get();
    if (e->pausedUntil != 0 && now >= e->pausedUntil) e->pausedUntil = 0;
    HtFdSetInterest(e->fd, e->pausedUntil == 0 && !slot->waiting.empty() ? unsigned(kHtRead) : 0u);
  }
  // Sockets waiting for a name look-up start connecting once it is
  // answered.
  std::vector<TcpSocket*> waiting;
  for (auto& [raw, owned] : Sockets()) {
    if (raw->state == TcpState::kLookup) waiting.push_back(raw);
  }
  for (TcpSocket* s : waiting) {
    uint32_t address = 0;
    if (!TCPLookupByName(&address, s->host)) continue;
    if (address == 0)
      Fail(s, 1550, nullptr, 0);
    else
      StartConnect(s, address);
  }
}

int32_t TcpSocketCount() { return int32_t(Sockets().size()); }

ssize_t TcpSendv(int fd, const iovec* iov, int count) {
  msghdr m{};
  m.msg_iov = const_cast<iovec*>(iov);
  m.msg_iovlen = size_t(count);
  return sendmsg(fd, &m, MSG_NOSIGNAL);
}

void TcpSetTraceSessions(bool on) { traceSessions = on; }

St TcpIpToSt(uint32_t address) {
  char buf[32];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", (address >> 24) & 255, (address >> 16) & 255,
           (address >> 8) & 255, address & 255);
  return StCStrXfm(buf);
}

bool TcpStToIp(std::string_view text, uint32_t* address) {
  uint32_t result = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    uint32_t v = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      v = v * 10 + uint32_t(text[i] - '0');
      if (++digits > 3 || v > 255) return false;
      ++i;
    }
    result = (result << 8) | v;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *address = result;
  return true;
}

uint16_t TCPInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = TcpInit;
  steps.term = TcpTerm;
  steps.init2 = [] {};  // the close thread starts with the first close
  steps.term2 = [] {
    TcpMxTerm();
    CloseThreadStop();
  };
  uint16_t r = PkgDispatch(tcpPkg, "TCPInitRtns", selector, value, steps);
  if (selector == kPkgDebug) TcpDebugFlag = tcpPkg.debug;
  return r;
}

uint16_t UDPInitRtns(int selector, int32_t value) {
  return PkgDispatch(udpPkg, "UDPInitRtns", selector, value, PkgSteps{});
}

}  // namespace quil
