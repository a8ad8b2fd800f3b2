// The CGI bridge: the Unix socket quil.socket, the checks of the client's
// socket file, the request parser, the answer, and the echo mode.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>

#include "CgiInt.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Strm.h"
#include "TcpInt.h"

namespace quil {

namespace {

bool KeyIs(std::string_view key, const char* name) {
  size_t n = strlen(name);
  if (key.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (StASCIILower[uint8_t(key[i])] != uint8_t(name[i])) return false;
  return true;
}

void Append(St* field, std::string_view value) {
  *field = StAppendView(std::move(*field), value);
}

void Fail(CgiBridgeRequest& r, std::string text) {
  r.state = CgiParseState::kFailed;
  r.errorText = std::move(text);
}

void TakeLine(CgiBridgeRequest& r, int64_t maxBody) {
  std::string_view line = r.line;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    r.state = r.bodyLength > 0 ? CgiParseState::kBody : CgiParseState::kDone;
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon > kCgiKeyMax) {
    r.event.method = StFromView(line);
    return;
  }
  std::string_view key = line.substr(0, colon);
  std::string_view value = line.substr(colon + 1);
  CgiEvent& e = r.event;
  if (KeyIs(key, "extra-path")) Append(&e.query, value);
  else if (KeyIs(key, "remote-addr")) Append(&e.remoteAddr, value);
  else if (KeyIs(key, "server-name")) Append(&e.serverName, value);
  else if (KeyIs(key, "cookie")) Append(&e.cookie, value);
  else if (KeyIs(key, "remote-user")) Append(&e.remoteUser, value);
  else if (KeyIs(key, "user-agent")) Append(&e.userAgent, value);
  else if (KeyIs(key, "from")) Append(&e.from, value);
  else if (KeyIs(key, "script-name")) Append(&e.scriptName, value);
  else if (KeyIs(key, "content-type")) Append(&e.contentType, value);
  else if (KeyIs(key, "n")) {
    int64_t n = 0;
    if (!CgiParseCount(value, &n)) {
      Fail(r, "bad post length \"" + std::string(value.substr(0, 40)) + "\"");
    } else if (n > maxBody) {
      Fail(r, "post of " + std::to_string(n) + " bytes is larger than " +
                  std::to_string(maxBody));
    } else {
      r.bodyLength = n;
    }
  }
}

}  // namespace

size_t CgiBridgeParse(CgiBridgeRequest& r, std::string_view input, bool eof,
                      int64_t maxBody) {
  size_t used = 0;
  while (used < input.size() && r.state == CgiParseState::kLines) {
    std::string_view rest = input.substr(used);
    size_t nl = rest.find('\n');
    size_t take = nl == std::string_view::npos ? rest.size() : nl + 1;
    if (r.lineBytes + take > kCgiMaxRequestLines) {
      Fail(r, "request lines longer than " + std::to_string(kCgiMaxRequestLines) + " bytes");
      return used;
    }
    r.lineBytes += take;
    if (r.keepRaw) r.raw.append(rest.data(), take);
    used += take;
    if (nl == std::string_view::npos) {
      r.line.append(rest.data(), rest.size());
      break;
    }
    r.line.append(rest.data(), nl);
    TakeLine(r, maxBody);
    r.line.clear();
  }
  if (r.state == CgiParseState::kBody) {
    int64_t have = r.event.body.Length();
    size_t take = size_t(std::min<int64_t>(r.bodyLength - have, int64_t(input.size() - used)));
    if (take > 0) {
      r.event.body = StAppendData(std::move(r.event.body), input.data() + used, int32_t(take));
      if (r.keepRaw) r.raw.append(input.data() + used, take);
      used += take;
    }
    if (r.event.body.Length() == r.bodyLength) r.state = CgiParseState::kDone;
  }
  if (eof && used == input.size()) {
    if (r.state == CgiParseState::kLines)
      Fail(r, "missing blank line to terminate request");
    else if (r.state == CgiParseState::kBody)
      Fail(r, "client dropt connection while sending post");
  }
  return used;
}

std::string CgiBridgeAnswer(std::string_view response) {
  size_t pos = 0;
  auto lineEnd = [&](size_t from) {
    size_t nl = response.find('\n', from);
    return nl == std::string_view::npos ? response.size() : nl + 1;
  };
  if (response.substr(0, 4) == "HTTP") {
    pos = lineEnd(0);
    if (response.substr(pos, 7) == "Server:") pos = lineEnd(pos);
  }
  std::string out;
  out.reserve(response.size() - pos);
  while (pos < response.size()) {
    size_t end = lineEnd(pos);
    std::string_view line = response.substr(pos, end - pos);
    bool empty = true;
    for (char c : line) {
      if (c == '\r') continue;
      out += c;
      if (c != '\n') empty = false;
    }
    pos = end;
    if (empty) break;
  }
  out.append(response.substr(pos));
  return out;
}

std::string CgiBridgeEchoResponse(const CgiBridgeRequest& r) {
  return "HTTP/1.1 200 OK\r\nContent-type: text/plain\r\nContent-length: " +
         std::to_string(r.raw.size()) + "\r\n\r\n" + r.raw;
}

// ---------------------------------------------------------------------------
// The connection being served.

namespace {

CgiBridgeSettings settings;

// A bridge client that sends nothing for this long is dropped.
constexpr int32_t kCgiBridgeTimeoutMs = 120000;

enum class BridgeState : uint8_t { kReading, kWaiting, kWriting };

struct Bridge {
  int fd = -1;
  BridgeState state = BridgeState::kReading;
  CgiBridgeRequest request;
  Strm answer;
  int32_t timer = 0;
  int32_t blocked = 0;  // RAM-queue id while waiting for the processor
  int32_t owner = 0;
  std::string clientPath;
  bool eof = false;
  std::string input;  // received bytes not yet parsed
};
std::unique_ptr<Bridge> current;

void BridgeReady(unsigned ready);
int EndBridge();

// Ends the request being served when an exception (a processor failure, a
// reported error) passes, so that the bridge never stays busy.
class EndOnUnwind {
 public:
  EndOnUnwind() : at_(std::uncaught_exceptions()) {}
  ~EndOnUnwind() {
    if (std::uncaught_exceptions() > at_) EndBridge();
  }
  EndOnUnwind(const EndOnUnwind&) = delete;
  EndOnUnwind& operator=(const EndOnUnwind&) = delete;

 private:
  int at_;
};

// Ends the request being served: closes the connection.  Returns the close
// error (0 when fine).
int EndBridge() {
  if (!current) return 0;
  std::unique_ptr<Bridge> b = std::move(current);
  if (b->timer) QuRamKill(b->timer);
  if (b->blocked) QuRamKill(b->blocked);
  int err = 0;
  if (b->fd >= 0) {
    HtFdUnwatch(b->fd);
    if (close(b->fd) != 0) err = errno;
  }
  return err;
}

[[noreturn]] void Refuse(int32_t code, int32_t err, std::string text) {  // a copy: the bridge goes first
  EndBridge();
  Wf_err_exit(code, err, "%s", text.c_str());
}

void Timeout(intptr_t, int32_t) {
  if (!current) return;
  current->timer = 0;
  Refuse(kWfCodeClient, -1, "quil-cgi client sent no request for " +
                                std::to_string(kCgiBridgeTimeoutMs / 1000) + " seconds");
}

void WriteSome() {
  Bridge& b = *current;
  while (!b.answer.Empty()) {
    iovec iov[8];
    int n = b.answer.Segments(iov, 8);
    ssize_t sent = TcpSendv(b.fd, iov, n);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        HtFdSetInterest(b.fd, kHtWrite);
        return;
      }
      Refuse(kWfCodeClient, errno, "could not send the answer to quil-cgi");
    }
    b.answer.Consume(size_t(sent));
  }
  int err = EndBridge();
  if (err != 0) Wf_err_exit(kWfCodeSystem, err, "could not close quil-cgi pipe");
}

void Run();

void Resume(intptr_t, int32_t) {
  if (!current) return;
  EndOnUnwind guard;
  current->blocked = 0;
  Run();
}

// Runs the complete request (or waits for the processor) and starts the
// answer.
void Run() {
  Bridge& b = *current;
  std::string response;
  if (settings.echo) {
    response = CgiBridgeAnswer(CgiBridgeEchoResponse(b.request));
  } else {
    if (uint32_t bit = CgiBlockedBy()) {
      b.state = BridgeState::kWaiting;
      HtFdSetInterest(b.fd, 0);
      b.blocked = QuRamBlock(Resume, 0, bit);
      return;
    }
    b.request.event.frontEnd = CgiFrontEnd::kBridge;
    CgiProcess(b.request.event);
    response = CgiBridgeAnswer(b.request.event.result.View());
  }
  b.state = BridgeState::kWriting;
  b.answer.WriteView(response);
  CgiEventReset(b.request.event);
  WriteSome();
}

void BridgeReady(unsigned ready) {
  if (!current) return;
  EndOnUnwind guard;
  Bridge& b = *current;
  if (b.state == BridgeState::kWriting) {
    if (ready & kHtWrite) WriteSome();
    return;
  }
  if (b.state != BridgeState::kReading) return;
  char buf[16384];
  for (;;) {
    ssize_t n = read(b.fd, buf, sizeof buf);
    if (n > 0) {
      b.input.append(buf, size_t(n));
      if (b.input.size() >= sizeof buf) break;  // parse what came first
      continue;
    }
    if (n == 0) b.eof = true;
    else if (errno == EINTR) continue;
    else if (errno != EAGAIN && errno != EWOULDBLOCK) b.eof = true;
    break;
  }
  size_t used = CgiBridgeParse(b.request, b.input, b.eof, settings.maxBody);
  b.input.erase(0, used);
  if (b.request.state == CgiParseState::kFailed)
    Refuse(kWfCodeClient, -1, b.request.errorText);
  if (b.request.state == CgiParseState::kDone) {
    QuRamKill(b.timer);
    b.timer = 0;
    Run();
  }
}

}  // namespace

int CgiBridgeOpen(const char* socketName) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", socketName);
  // A server already listening answers the test client.
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    snprintf(self.sun_path, sizeof self.sun_path, "%s", kCgiBridgeTestClient);
    unlink(kCgiBridgeTestClient);
    bool bound = bind(probe, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0;
    bool listening = connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(probe);
    if (bound) unlink(kCgiBridgeTestClient);
    if (listening)
      Wf_err_exit(kWfCodeSystem, -1,
                  "Is Quillmoot already running?\nAnother process is listening to "
                  "socket quil/%s.\nUse 'make quit' to stop Quillmoot.\n",
                  socketName);
  }
  if (unlink(socketName) != 0 && errno != ENOENT)
    Wf_err_exit(kWfCodeSystem, errno, "could not delete old socket \"%s\"", socketName);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    int err = errno;
    if (fd >= 0) close(fd);
    Wf_err_exit(kWfCodeSystem, err, "could not bind Unix socket to \"%s\"", socketName);
  }
  if (listen(fd, 1024) != 0) {
    int err = errno;
    close(fd);
    Wf_err_exit(kWfCodeSystem, err, "could not listen to Unix socket %s", socketName);
  }
  return fd;
}

void CgiBridgeConfigure(const CgiBridgeSettings& s) { settings = s; }

bool CgiBridgeBusy() { return current != nullptr; }

void CgiBridgeAccept(int listenFd) {
  if (current) return;
  sockaddr_un peer{};
  socklen_t len = sizeof peer;
  int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
      return;
    Wf_err_exit(kWfCodeSystem, errno, "server could not accept file %d", listenFd);
  }
  current = std::make_unique<Bridge>();
  Bridge& b = *current;
  b.fd = fd;
  b.request.keepRaw = settings.echo;
  size_t pathLen = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
  b.clientPath.assign(peer.sun_path, strnlen(peer.sun_path, pathLen));
  struct stat st;
  if (b.clientPath.empty() || stat(b.clientPath.c_str(), &st) != 0)
    Refuse(kWfCodeSystem, b.clientPath.empty() ? -1 : errno,
           "client pipe no longer exists: " + b.clientPath);
  if ((st.st_mode & 077) != 0)
    Refuse(kWfCodeSystem, -1, "client pipe access is not 'rwx-------': " + b.clientPath);
  if (settings.clockSkew != -1) {
    time_t now = time(nullptr);
    for (time_t stamp : {st.st_atime, st.st_mtime, st.st_ctime}) {
      long age = long(now - stamp);
      if (age > settings.clockSkew) {
        char text[512];
        snprintf(text, sizeof text,
                 "client pipe \"%s\" was created %ld seconds ago.  The maximum age is %d "
                 "seconds.",
                 b.clientPath.c_str(), age, int(settings.clockSkew));
        Refuse(kWfCodeSystem, -1, text);
      }
    }
  }
  b.owner = int32_t(st.st_uid);
  b.timer = QuRamAdd(kCgiBridgeTimeoutMs, Timeout, 0);
  HtFdWatch(fd, kHtRead, [](int, unsigned ready) { BridgeReady(ready); });
  BridgeReady(kHtRead);
}

void CgiBridgeReset() { EndBridge(); }

int32_t CgiBridgeClientOwner() { return current ? current->owner : 0; }

bool CgiBridgeRequestNote(WfRequestNote* note) {
  if (!current) return false;
  const CgiEvent& e = current->request.event;
  note->host = e.serverName.Str();
  note->path = e.scriptName.Str() + (e.query.Empty() ? "" : "?" + e.query.Str());
  note->post = e.body.Str();
  note->data.clear();
  return true;
}

}  // namespace quil
