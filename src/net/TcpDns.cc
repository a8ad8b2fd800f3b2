// The name cache and the two resolver processes that run the blocking
// system resolver for it.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "Ht.h"
#include "Ma.h"
#include "TcpInt.h"

namespace quil {

namespace {

// ---------------------------------------------------------------------------
// The cache.

struct DnsEntry {
  bool done = false;
  int32_t pending = 0;
  int64_t lastUsed = 0;
  int64_t lastLookedUp = 0;
  St name;                    // nil for an entry made from an address
  uint32_t address = 0;       // 0: not found
  uint32_t indexedAddress = 0;  // where the entry is filed in ipTable (0: not)
};

struct DnsCache {
  std::list<std::unique_ptr<DnsEntry>> entries;        // DnsEntryLi
  std::unordered_map<std::string, DnsEntry*> byName;   // DnsNameHa
  std::unordered_map<uint32_t, DnsEntry*> byIp;        // DnsIpHa
};
DnsCache& Cache() {
  static DnsCache cache;
  return cache;
}

std::string NameKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) c = char(StASCIILower[uint8_t(c)]);
  return key;
}

DnsEntry* NewEntry() {
  auto& c = Cache();
  c.entries.push_back(std::make_unique<DnsEntry>());
  return c.entries.back().get();
}

// ---------------------------------------------------------------------------
// The resolver processes.

struct Resolver {
  Resolver(const char* t, const char* d) : title(t), deadText(d) {}
  const char* title;       // "quil-DNS" / "quil-ReverseDNS"
  const char* deadText;    // "DNS server has shut down" ...
  pid_t pid = -1;
  int toChild = -1;        // its standard input
  int fromChild = -1;      // its standard output
  bool outstanding = false;
  // The request in flight and the queue (DnsLi / ReverseDnsLi): names for
  // the forward resolver, addresses for the reverse one.
  std::string currentName;
  uint32_t currentIp = 0;
  std::deque<std::string> names;
  std::deque<uint32_t> ips;
};
Resolver forwardDns("quil-DNS", "DNS server has shut down");
Resolver reverseDns("quil-ReverseDNS", "Reverse DNS server has shut down");
pid_t resolverGroup = -1;

bool ReadFull(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool WriteFull(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t r = write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

void Drain(int fd, int32_t n) {
  char buf[512];
  while (n > 0) {
    size_t part = size_t(n) < sizeof buf ? size_t(n) : sizeof buf;
    if (!ReadFull(fd, buf, part)) return;
    n -= int32_t(part);
  }
}

void ReplyReady(Resolver& r);

void SendNext(Resolver& r) {
  if (r.outstanding || r.toChild < 0) return;
  bool forward = &r == &forwardDns;
  std::string request;
  if (forward) {
    if (r.names.empty()) return;
    r.currentName = r.names.front();
    r.names.pop_front();
    int32_t n = int32_t(r.currentName.size());
    request.append(reinterpret_cast<const char*>(&n), 4);
    request += r.currentName;
  } else {
    if (r.ips.empty()) return;
    r.currentIp = r.ips.front();
    r.ips.pop_front();
    request.append(reinterpret_cast<const char*>(&r.currentIp), 4);
  }
  if (!WriteFull(r.toChild, request.data(), request.size())) MaHalt(r.deadText);
  r.outstanding = true;
  if (HtTrace)
    HtWriteAll(2, std::string(r.title) + " asked for " +
                      (forward ? r.currentName : TcpIpToSt(r.currentIp).Str()) + "\n");
  Resolver* rp = &r;
  HtFdWatch(r.fromChild, kHtRead, [rp](int, unsigned) { ReplyReady(*rp); });
}

// TCPDnsComplete: files a forward answer under its address and name.
void CompleteForward(const std::string& key, int32_t reply) {
  auto& c = Cache();
  auto it = c.byName.find(key);
  if (it == c.byName.end()) return;  // flushed meanwhile
  DnsEntry* e = it->second;
  if (e->pending > 0) --e->pending;
  if (reply == -1) {
    e->lastLookedUp = 0;  // ask again at the next query
    return;
  }
  uint32_t address = uint32_t(reply);
  if (e->indexedAddress != 0) {
    auto old = c.byIp.find(e->indexedAddress);
    if (old != c.byIp.end() && old->second == e) c.byIp.erase(old);
    e->indexedAddress = 0;
  }
  e->address = address;
  e->done = true;
  if (address != 0 && c.byIp.find(address) == c.byIp.end()) {
    c.byIp[address] = e;
    e->indexedAddress = address;
  }
}

void CompleteReverse(uint32_t address, int32_t kind, const std::string& name) {
  auto& c = Cache();
  auto it = c.byIp.find(address);
  if (it == c.byIp.end()) return;
  DnsEntry* e = it->second;
  if (e->pending > 0) --e->pending;
  if (kind == -1) {
    e->lastLookedUp = 0;
    return;
  }
  e->done = true;
  if (kind == 0) {
    if (e->name.IsNil()) return;  // an entry made by name keeps its name
  }
  if (kind == 1) {
    e->name = StFromView(name);
    std::string key = NameKey(name);
    if (c.byName.find(key) == c.byName.end()) c.byName[key] = e;
  }
}

void ReplyReady(Resolver& r) {
  HtFdUnwatch(r.fromChild);
  r.outstanding = false;
  int32_t value;
  if (!ReadFull(r.fromChild, &value, 4)) MaHalt(r.deadText);
  if (&r == &forwardDns) {
    CompleteForward(r.currentName, value);
  } else if (value > 0) {
    if (value >= kTcpDnsMaxName + 1) {
      Drain(r.fromChild, value);
      char text[128];
      snprintf(text, sizeof text, "count %d from ReverseDnsServer is greater than %d\n",
               int(value), int(kTcpDnsMaxName));
      Wf_err_write(text);
      CompleteReverse(r.currentIp, 0, "");
    } else {
      std::string name(size_t(value), '\0');
      if (!ReadFull(r.fromChild, name.data(), name.size())) MaHalt(r.deadText);
      CompleteReverse(r.currentIp, 1, name);
    }
  } else {
    CompleteReverse(r.currentIp, value == 0 ? 0 : -1, "");
  }
  if (HtTrace) HtWriteAll(2, std::string(r.title) + " answered\n");
  SendNext(r);
}

void StartForward(DnsEntry* e, const std::string& key) {
  ++e->pending;
  e->lastLookedUp = SysTime();
  if (forwardDns.toChild < 0) {
    // No resolver process (tools, tests that do not start one): the
    // look-up stays in progress.
    return;
  }
  forwardDns.names.push_back(key);
  SendNext(forwardDns);
}

void StartReverse(DnsEntry* e, uint32_t address) {
  ++e->pending;
  e->lastLookedUp = SysTime();
  if (reverseDns.toChild < 0) return;
  reverseDns.ips.push_back(address);
  SendNext(reverseDns);
}

bool NameIsValid(const St& name) {
  if (name.Length() == 0 || name.Length() > 255) return false;
  for (uint8_t c : name.View()) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

void ResetResolver(Resolver& r) {
  r.outstanding = false;
  r.names.clear();
  r.ips.clear();
}

int ErrorsExit() {
  static const char kText[] = "too many repeated errors.  Exit\n";
  HtWriteAll(2, kText, sizeof kText - 1);
  return 1;
}

constexpr int kMaxErrorsInRow = 300;

pid_t StartResolver(Resolver& r, int (*main)(int, int, void*), void* fn) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
    Wf_err_exit(kWfCodeSystem, errno, "could not open pipes for coprocess");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) Wf_err_exit(kWfCodeSystem, errno, "could not fork coprocess");
  if (pid == 0) {
    setpgid(0, resolverGroup > 0 ? resolverGroup : 0);
    prctl(PR_SET_NAME, r.title, 0, 0, 0);
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close_range(3, ~0U, 0);
    _exit(main(0, 1, fn));
  }
  // Both sides set the group, so it exists whichever runs first.
  setpgid(pid, resolverGroup > 0 ? resolverGroup : pid);
  close(toChild[0]);
  close(fromChild[1]);
  r.pid = pid;
  r.toChild = toChild[1];
  r.fromChild = fromChild[0];
  ResetResolver(r);
  return pid;
}

int ForwardMain(int in, int out, void* fn) {
  return TcpDnsServerMain(in, out, reinterpret_cast<TcpForwardFn>(fn));
}
int ReverseMain(int in, int out, void* fn) {
  return TcpReverseDnsServerMain(in, out, reinterpret_cast<TcpReverseFn>(fn));
}

void StopResolver(Resolver& r) {
  if (r.toChild < 0) return;
  HtFdUnwatch(r.fromChild);
  int32_t zero = 0;
  (void)WriteFull(r.toChild, &zero, 4);
  if (close(r.toChild) != 0 || close(r.fromChild) != 0)
    Wf_err_exit(kWfCodeSystem, errno, "could not close DNS pipes");
  r.toChild = r.fromChild = -1;
  ResetResolver(r);
}

// Reads the replies still in flight (the processes answer at once or say
// "try again"), so that shutting down leaves no request outstanding.
void FinishOutstanding(Resolver& r) {
  for (int i = 0; i < 50 && r.outstanding; ++i) {
    pollfd p{r.fromChild, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) ReplyReady(r);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Resolver process loops.

int32_t TcpSystemForward(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int r = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (r == EAI_AGAIN) return -1;
  if (r != 0 || res == nullptr) return 0;
  uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(res);
  return int32_t(address);
}

int TcpSystemReverse(uint32_t address, std::string* name) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  char host[NI_MAXHOST];
  int r = getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD);
  if (r == EAI_AGAIN) return -1;
  if (r != 0) return 0;
  *name = host;
  return 1;
}

int TcpDnsServerMain(int in, int out, TcpForwardFn lookup) {
  int errors = 0;
  for (;;) {
    int32_t n;
    if (!ReadFull(in, &n, 4) || n == 0) return 0;
    int32_t reply;
    if (n < 0 || n > kTcpDnsMaxName) {
      if (n > 0) Drain(in, n);
      char text[128];
      snprintf(text, sizeof text, "count %d for DnsServer is greater than %d\n", int(n),
               int(kTcpDnsMaxName));
      HtWriteAll(2, text, strlen(text));
      reply = 0;
      ++errors;
    } else {
      std::string name(size_t(n), '\0');
      if (!ReadFull(in, name.data(), name.size())) return 0;
      reply = lookup(name);
      errors = 0;
    }
    if (!WriteFull(out, &reply, 4)) ++errors;
    if (errors >= kMaxErrorsInRow) return ErrorsExit();
  }
}

int TcpReverseDnsServerMain(int in, int out, TcpReverseFn lookup) {
  int errors = 0;
  for (;;) {
    uint32_t address;
    if (!ReadFull(in, &address, 4)) return 0;
    std::string name;
    int kind = lookup(address, &name);
    std::string reply;
    int32_t head = kind == 1 ? int32_t(name.size()) : kind == 0 ? 0 : -1;
    reply.append(reinterpret_cast<const char*>(&head), 4);
    if (kind == 1) reply += name;
    if (WriteFull(out, reply.data(), reply.size())) {
      errors = 0;
    } else if (++errors >= kMaxErrorsInRow) {
      return ErrorsExit();
    }
  }
}

void TcpHtInitWith(TcpForwardFn forward, TcpReverseFn reverse) {
  resolverGroup = -1;
  resolverGroup = StartResolver(forwardDns, ForwardMain, reinterpret_cast<void*>(forward));
  StartResolver(reverseDns, ReverseMain, reinterpret_cast<void*>(reverse));
}

void TcpHtInit() { TcpHtInitWith(TcpSystemForward, TcpSystemReverse); }

void TcpHtTerm(bool signalGroup) {
  if (forwardDns.toChild < 0 && reverseDns.toChild < 0) return;
  FinishOutstanding(forwardDns);
  FinishOutstanding(reverseDns);
  MA_CHECK(TcpDebugFlag, !forwardDns.outstanding && !reverseDns.outstanding,
           "TcpDnsTerm -- outstanding request not cleared");
  pid_t pids[2] = {forwardDns.pid, reverseDns.pid};
  StopResolver(forwardDns);
  StopResolver(reverseDns);
  if (signalGroup && resolverGroup > 0) kill(-resolverGroup, SIGTERM);
  for (pid_t pid : pids) {
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
  forwardDns.pid = reverseDns.pid = -1;
  resolverGroup = -1;
}

bool TcpDnsRunning() { return forwardDns.toChild >= 0; }

// ---------------------------------------------------------------------------
// Look-ups.

bool TCPLookupByName(uint32_t* address, const St& name) {
  if (!NameIsValid(name)) return false;
  auto& c = Cache();
  std::string key = NameKey(name.View());
  int64_t now = SysTime();
  auto it = c.byName.find(key);
  DnsEntry* e;
  if (it == c.byName.end()) {
    e = NewEntry();
    e->name = name;
    c.byName[key] = e;
    e->lastUsed = now;
    StartForward(e, key);
    return false;
  }
  e = it->second;
  e->lastUsed = now;
  if (!e->done) {
    if (e->pending == 0) StartForward(e, key);
    return false;
  }
  *address = e->address;
  if (e->pending == 0) {
    int64_t age = now - e->lastLookedUp;
    if (e->lastLookedUp == 0 || (e->address == 0 && age > kTcpRecheckTicks) ||
        (e->address != 0 && age > kTcpRefreshTicks))
      StartForward(e, key);
  }
  return true;
}

bool TCPLookupByIp(uint32_t address, St* name) {
  if (address == 0) {
    *name = St();
    return true;
  }
  auto& c = Cache();
  int64_t now = SysTime();
  auto it = c.byIp.find(address);
  DnsEntry* e;
  if (it == c.byIp.end()) {
    e = NewEntry();
    e->address = address;
    e->indexedAddress = address;
    c.byIp[address] = e;
    e->lastUsed = now;
    StartReverse(e, address);
    return false;
  }
  e = it->second;
  e->lastUsed = now;
  if (!e->done) {
    if (e->pending == 0) StartReverse(e, address);
    return false;
  }
  *name = e->name;
  if (e->pending == 0 && (e->lastLookedUp == 0 || now - e->lastLookedUp > kTcpRecheckTicks))
    StartReverse(e, address);
  return true;
}

void TCPDnsCacheFlush() {
  auto& c = Cache();
  c.byName.clear();
  c.byIp.clear();
  c.entries.clear();
}

int32_t TcpDnsPoll() { return int32_t(forwardDns.names.size()) + (forwardDns.outstanding ? 1 : 0); }

int32_t TcpReverseDnsPoll() {
  return int32_t(reverseDns.ips.size()) + (reverseDns.outstanding ? 1 : 0);
}

}  // namespace quil
