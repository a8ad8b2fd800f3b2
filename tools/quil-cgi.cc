// quil-cgi: the CGI client of the bridge.  An outside web server (nginx
// with fcgiwrap, Apache with mod_cgi ...) runs it as a CGI program; it
// passes the request to the Quillmoot server over the Unix socket
// quil.socket in the site directory and prints the answer.
//
//   environment   QUIL_SITE: the site directory (the server's working
//                 directory); default: the one this program was built for
//                 (QUIL_CGI_SITE)
//                 REQUEST_METHOD, QUERY_STRING, PATH_INFO, REMOTE_ADDR,
//                 SERVER_NAME, SERVER_PORT, HTTP_COOKIE, REMOTE_USER,
//                 HTTP_USER_AGENT, HTTP_FROM, SCRIPT_NAME, CONTENT_TYPE,
//                 CONTENT_LENGTH: the CGI request
//   standard in   the request body (CONTENT_LENGTH bytes)
//   standard out  the answer (CGI headers, empty line, page)
//
// The program creates its own socket file in the site's Client directory
// (mode rwx------, so that the server accepts it), connects, sends
//
//   <method>\n  key:value\n ...  n:<body length>\n  \n  <body>
//
// reads the answer to its end and removes its socket file.  It must run as
// a user that may write into Client (the server's user, or a group given
// access by the operator).  When the server cannot be reached it prints a
// 503 page; when the server closes without answering, a 502 page.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef QUIL_CGI_SITE
#define QUIL_CGI_SITE "."
#endif

namespace {

char clientPath[sizeof(sockaddr_un::sun_path)] = {};

void RemoveClientSocket() {
  if (clientPath[0] != '\0') unlink(clientPath);
}

void OnSignal(int sig) {
  RemoveClientSocket();
  signal(sig, SIG_DFL);
  raise(sig);
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

int ErrorPage(const char* status, const char* text) {
  std::string page = std::string("<HTML><HEAD><TITLE>") + status + "</TITLE></HEAD><BODY><H1>" +
                     status + "</H1><P>" + text + "</P></BODY></HTML>\n";
  std::string out = std::string("Status: ") + status +
                    "\nContent-type: text/html\nContent-length: " +
                    std::to_string(page.size()) + "\n\n" + page;
  WriteAll(1, out.data(), out.size());
  return 0;
}

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// A request line may hold no line ends of its own.
std::string OneLine(std::string v) {
  for (char& c : v)
    if (c == '\n' || c == '\r') c = ' ';
  return v;
}

}  // namespace

int main() {
  std::string site = Env("QUIL_SITE");
  if (site.empty()) site = QUIL_CGI_SITE;
  if (chdir(site.c_str()) != 0) return ErrorPage("503 Service Unavailable", "No Quillmoot site here.");
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGHUP, OnSignal);

  // The request.
  std::string method = Env("REQUEST_METHOD");
  if (method.empty()) method = "GET";
  std::string query = Env("QUERY_STRING");
  if (query.empty()) query = Env("PATH_INFO");
  std::string server = Env("SERVER_NAME");
  std::string port = Env("SERVER_PORT");
  if (!server.empty() && !port.empty() && port != "80") server += ":" + port;
  long length = atol(Env("CONTENT_LENGTH").c_str());
  if (length < 0) length = 0;
  std::string request = OneLine(method) + "\n";
  auto add = [&](const char* key, const std::string& value) {
    if (!value.empty()) request += std::string(key) + ":" + OneLine(value) + "\n";
  };
  add("extra-path", query);
  add("remote-addr", Env("REMOTE_ADDR"));
  add("server-name", server);
  add("cookie", Env("HTTP_COOKIE"));
  add("remote-user", Env("REMOTE_USER"));
  add("user-agent", Env("HTTP_USER_AGENT"));
  add("from", Env("HTTP_FROM"));
  add("script-name", Env("SCRIPT_NAME"));
  add("content-type", Env("CONTENT_TYPE"));
  if (length > 0) add("n", std::to_string(length));
  request += "\n";
  std::string body;
  body.reserve(size_t(length));
  char buf[65536];
  while (long(body.size()) < length) {
    ssize_t n = read(0, buf, std::min(sizeof buf, size_t(length) - body.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    body.append(buf, size_t(n));
  }

  // The client's own socket file, readable by its owner alone.
  umask(077);
  snprintf(clientPath, sizeof clientPath, "Client/cgi%ld", long(getpid()));
  unlink(clientPath);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un self{};
  self.sun_family = AF_UNIX;
  snprintf(self.sun_path, sizeof self.sun_path, "%s", clientPath);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    clientPath[0] = '\0';
    return ErrorPage("503 Service Unavailable", "Cannot create the client socket.");
  }
  chmod(clientPath, 0700);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  snprintf(to.sun_path, sizeof to.sun_path, "quil.socket");
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    RemoveClientSocket();
    return ErrorPage("503 Service Unavailable", "Quillmoot is not running.");
  }
  bool sent = WriteAll(fd, request.data(), request.size()) &&
              WriteAll(fd, body.data(), body.size());
  (void)sent;  // the answer (or its absence) tells
  std::string answer;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buf, size_t(n));
  }
  close(fd);
  RemoveClientSocket();
  if (answer.empty()) return ErrorPage("502 Bad Gateway", "Quillmoot refused the request.");
  WriteAll(1, answer.data(), answer.size());
  return 0;
}
