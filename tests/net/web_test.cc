// The HTTP server over real sockets, with curl and Python as clients:
// static files, the request kinds, error pages, forum requests through a
// test responder, waiting for the processor, time-outs, limits, resets,
// many idle connections and the common log.
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <regex>

#include "WebInt.h"
#include "net_test_util.h"

namespace quil {
namespace {

using namespace nettest;

// The test's request processor: a plain-text page listing what it got.
int responderCalls = 0;
void Responder(CgiEvent& e) {
  ++responderCalls;
  std::string page = "query=" + e.query.Str() + "\nmethod=" + e.method.Str() +
                     "\nbody=" + e.body.Str() + "\nscript=" + e.scriptName.Str() +
                     "\nremote=" + e.remoteAddr.Str() + "\nserver=" + e.serverName.Str() +
                     "\nagent=" + e.userAgent.Str() + "\ncookie=" + e.cookie.Str() +
                     "\ntype=" + e.contentType.Str() + "\nfrom=" + e.from.Str() +
                     "\nhttp=" + std::to_string(HttpRequest) + "\n";
  for (const CgiPair& p : e.cgiPairs) page += "pair " + p.name.Str() + "=" + p.value.Str() + "\n";
  e.result = StFromView("HTTP/1.1 200 OK\r\nContent-type: text/plain\r\nContent-length: " +
                        std::to_string(page.size()) + "\r\n\r\n" + page);
}

class WebServer : public ::testing::Test {
 protected:
  void SetUp() override {
    NetStart();
    port_ = FreePort();
    responderCalls = 0;
    dir_.Write("html/index.html", "<h1>top</h1>\n");
    dir_.Write("html/doc.txt", "plain text\n");
    dir_.Write("html/sub/index.html", "<p>sub</p>");
    dir_.Write("html/pic.gif", std::string("GIF89a\0\1\2\3", 10));
    // 14 November 2023, 22:13:20 GMT.
    utimbuf t{1700000000, 1700000000};
    utime("html/pic.gif", &t);
  }
  void TearDown() override {
    WebTerm();
    CgiClearProcessor();
    NetStop();
  }
  void Start(WebSettings s = WebSettings()) {
    if (s.port.IsNil()) s.port = StFromView("127.0.0.1:" + std::to_string(port_));
    s.releaseText = StCStrXfm("Quillmoot(r) test");
    if (s.commonLog.IsNil()) s.commonLog = StCStrXfm("common.log");
    WebInit(s);
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string Curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-s", "-D-", "--max-time", "20"});
    Client c(args);
    return Collect(c);
  }
  // A Python client: script gets the port as sys.argv[1].
  std::string Py(const std::string& script, const std::string& input = "") {
    Client c({"python3", "-c", PyScript(script), std::to_string(port_)}, input);
    return Collect(c, 30000);
  }

  ScratchCwd dir_;
  uint16_t port_ = 0;
};

const char kHead[] =
    "HTTP/1.1 200 OK\r\nServer:Quillmoot(r) test\r\nMIME-Version: 1.0\r\n"
    "Cache-Control: private\r\nConnection: close\r\n";

std::string ErrorPage(const std::string& what) {
  std::string body = "<HTML><HEAD><TITLE>" + what + "</TITLE></HEAD><BODY><H1>" + what +
                     "</H1></BODY></HTML>";
  return "HTTP/1.1 " + what +
         "\r\nServer:Quillmoot(r) test\r\nMIME-Version: 1.0\r\nCache-Control: private\r\n"
         "Connection: close\r\nContent-type: text/html\r\nContent-length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Sends raw bytes (Python string literal syntax) and prints what comes back.
const char kRaw[] = R"(
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
s.sendall(sys.stdin.buffer.read())
sys.stdout.buffer.write(read_all(s))
)";

TEST_F(WebServer, StaticFilesWithTheirTypesAndLastModified) {
  Start();
  EXPECT_EQ(Curl({Url("/pic.gif")}),
            std::string(kHead) +
                "Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nContent-type: image/gif\r\n"
                "Content-length: 10\r\n\r\n" + std::string("GIF89a\0\1\2\3", 10));
  std::string top = Curl({Url("/")});
  EXPECT_NE(top.find("Content-type: text/html\r\nContent-length: 13\r\n\r\n<h1>top</h1>\n"),
            std::string::npos) << top;
  EXPECT_NE(Curl({Url("/sub/")}).find("\r\n\r\n<p>sub</p>"), std::string::npos);
  std::string txt = Curl({Url("/doc.txt")});
  EXPECT_NE(txt.find("Content-type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(WebListenerCount(), 64);  // replacement listeners keep the count
}

TEST_F(WebServer, HeadGivesTheHeaderAndASimpleGetTheBodyAlone) {
  Start();
  Client c({"curl", "-s", "-I", Url("/pic.gif")});
  std::string head = Collect(c);
  EXPECT_EQ(head, std::string(kHead) +
                      "Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
                      "Content-type: image/gif\r\nContent-length: 10\r\n\r\n");
  EXPECT_EQ(Py(kRaw, "GET /doc.txt\r\n"), "plain text\n");
}

TEST_F(WebServer, ErrorPagesByteForByte) {
  Start();
  EXPECT_EQ(Curl({"--path-as-is", Url("/sub/../index.html")}), ErrorPage("400 Bad Request"));
  EXPECT_EQ(Curl({Url("/missing.html")}), ErrorPage("404 Not Found"));
  EXPECT_EQ(Curl({"-X", "DELETE", Url("/doc.txt")}), ErrorPage("501 Not implemented"));
  EXPECT_EQ(Curl({Url("/prog.cgi")}), ErrorPage("501 Not implemented"));
  EXPECT_EQ(Curl({"--data", "a=1", Url("/doc.txt")}), ErrorPage("404 Not found"));
  EXPECT_EQ(Curl({"--data", "a=1", Url("/nothing.txt")}), ErrorPage("404 Not Found"));
  // "%2e%2e" is decoded before the check.
  EXPECT_EQ(Curl({"--path-as-is", Url("/%2e%2e/etc/passwd")}), ErrorPage("400 Bad Request"));
  EXPECT_EQ(Py(kRaw, "GET\r\n\r\n"), ErrorPage("400 Bad Request"));
}

TEST_F(WebServer, ForumRequestsReachTheProcessorWithTheirFields) {
  CgiSetProcessor(Responder);
  Start();
  std::string out =
      Curl({"-H", "Cookie: who=me", "-H", "X-Rep: 1", "-H", "X-Rep: 2", "-H", "From: a@b",
            "-A", "tester/2", "--data", "k=v", Url("/Quil?14@@")});
  std::string port = std::to_string(port_);
  for (std::string want : {"query=14@@\n", "method=POST\n", "body=k=v\n", "script=/Quil\n",
                           "remote=127.0.0.1\n", "agent=tester/2\n", "cookie=who=me\n",
                           "type=application/x-www-form-urlencoded\n", "from=a@b\n",
                           "http=1\n", "pair http_X_Rep=1,2\n", "pair http_Cookie=who=me\n",
                           "pair Content_Length=3\n", "pair request_method=POST\n",
                           "pair query_string=14@@\n", "pair remote_addr=127.0.0.1\n",
                           "pair script_name=/Quil\n"}) {
    EXPECT_NE(out.find(want), std::string::npos) << want << " in\n" << out;
  }
  // The server name: the local address (no reverse look-up is running
  // here) with the port.
  EXPECT_NE(out.find("server=127.0.0.1:" + port + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("pair server_name=127.0.0.1:" + port + "\n"), std::string::npos);
  // Without a query the rest of the path is the request text; the query
  // string pair carries it URL-encoded.
  std::string path = Curl({Url("/Quil/L1Cat@x")});
  EXPECT_NE(path.find("query=/L1Cat@x\n"), std::string::npos) << path;
  EXPECT_NE(path.find("method=POST\n"), std::string::npos);
  EXPECT_NE(path.find("pair request_method=GET\n"), std::string::npos);
  EXPECT_NE(path.find("pair query_string=%2FL1Cat%40x\n"), std::string::npos) << path;
  EXPECT_FALSE(HttpRequest);
}

TEST_F(WebServer, ContinuedHeadersAndABodyArrivingInPieces) {
  CgiSetProcessor(Responder);
  Start();
  const char kSlow[] = R"(
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
s.sendall(b'POST /Quil?7 HTTP/1.0\r\nX-Long: one\r\n\ttwo\r\n  three\r\nContent-Length: 10\r\n')
time.sleep(0.2)
s.sendall(b'\r\n01234')
time.sleep(0.3)
s.sendall(b'56789')
sys.stdout.buffer.write(read_all(s))
)";
  std::string out = Py(kSlow);
  EXPECT_NE(out.find("body=0123456789\n"), std::string::npos) << out;
  EXPECT_NE(out.find("pair http_X_Long=one,two,three\n"), std::string::npos) << out;
  // A client that asks to be told to go on before its body is told.
  std::string big(5000, 'b');
  Client c({"curl", "-s", "-D-", "-H", "Expect: 100-continue", "--data-binary", big,
            Url("/Quil?big")});
  std::string answer = Collect(c);
  EXPECT_EQ(answer.find("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"), 0u) << answer;
  EXPECT_NE(answer.find("body=" + big + "\n"), std::string::npos);
}

TEST_F(WebServer, APostWhoseBodyStopsComingIsClosedAfterTwoMinutes) {
  UseFakeClock();
  CgiSetProcessor(Responder);
  Start();
  const char kSilent[] = R"(
import socket, sys
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
s.sendall(b'POST /Quil?1 HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc')
s.settimeout(60)
d = s.recv(100)
print('closed', len(d))
)";
  Client c({"python3", "-c", kSilent, std::to_string(port_)});
  ASSERT_TRUE(RunUntil([] { return WebConnectionCount() == 1; }));
  RunFor(100);
  EXPECT_FALSE(c.Done());
  Advance(119000);
  RunFor(100);
  EXPECT_FALSE(c.Done());  // activity resets nothing here, but 2 minutes have not passed
  Advance(2000);
  EXPECT_EQ(Collect(c), "closed 0\n");
  EXPECT_EQ(WebConnectionCount(), 0);
  EXPECT_EQ(responderCalls, 0);
  // The log still has its line (no answer).
  EXPECT_NE(dir_.Read("common.log").find("\"POST /Quil?1 HTTP/1.0\" 200 0\n"), std::string::npos)
      << dir_.Read("common.log");
}

TEST_F(WebServer, Quil9998IsClosedWithoutAResponse) {
  CgiSetProcessor(Responder);
  Start();
  EXPECT_EQ(Py(kRaw, "GET /quil?9998@@ HTTP/1.0\r\n\r\n"), "");
  EXPECT_EQ(responderCalls, 0);
}

TEST_F(WebServer, AForumRequestWaitsForTheOneBeingProcessed) {
  static std::vector<std::string> order;
  static std::unique_ptr<Client> second;
  static std::string secondUrl;
  order.clear();
  secondUrl = Url("/Quil?second");
  CgiSetProcessor([](CgiEvent& e) {
    if (e.query == "first") {
      // While this request is inside the processor the loop runs on (as in
      // a background pass); a second request arrives and waits its turn.
      second = std::make_unique<Client>(std::vector<std::string>{"curl", "-s", secondUrl});
      EXPECT_TRUE(RunUntil([] { return WebQueuedCount() == 1; }));
      EXPECT_EQ(CgiBlockedBy(), kQuBlockRequest);
    }
    order.push_back(e.query.Str());
    e.result = StFromView("HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok");
  });
  Start();
  Client first({"curl", "-s", Url("/Quil?first")});
  EXPECT_EQ(Collect(first), "ok");
  ASSERT_TRUE(second);
  EXPECT_EQ(Collect(*second), "ok");
  second.reset();
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(WebQueuedCount(), 0);
}

TEST_F(WebServer, OversizedRequestLineHeadersAndBodyAreRefused) {
  Start();
  const char kBig[] = R"(
what = sys.argv[2]
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
if what == 'line':
    msg = b'GET /' + b'a' * 70000 + b' HTTP/1.0\r\n\r\n'
elif what == 'headers':
    msg = b'GET / HTTP/1.0\r\n' + b''.join(b'X-%d: %s\r\n' % (i, b'v' * 1000) for i in range(70)) + b'\r\n'
else:
    msg = b'POST /Quil HTTP/1.0\r\nContent-Length: 9000000\r\n\r\n' + b'x' * 100000
try:
    s.sendall(msg)
except OSError:
    pass
sys.stdout.buffer.write(read_all(s).split(b'\r\n')[0])
)";
  for (auto [what, status] : {std::pair{"line", "HTTP/1.1 414 Request-URI Too Long"},
                              std::pair{"headers", "HTTP/1.1 431 Request Header Fields Too Large"},
                              std::pair{"body", "HTTP/1.1 413 Request Entity Too Large"}}) {
    Client c({"python3", "-c", PyScript(kBig), std::to_string(port_), what});
    EXPECT_EQ(Collect(c), status) << what;
  }
  EXPECT_TRUE(RunUntil([] { return WebConnectionCount() == 0; }));
}

TEST_F(WebServer, AConnectionResetInTheMiddleOfARequest) {
  Start();
  const char kReset[] = R"(
import socket, struct, sys, time
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
s.sendall(b'POST /Quil HTTP/1.0\r\nContent-Length: 100\r\n\r\nhalf')
time.sleep(0.3)
s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
s.close()
print('reset')
)";
  Client c({"python3", "-c", kReset, std::to_string(port_)});
  ASSERT_TRUE(RunUntil([] { return WebConnectionCount() == 1; }));
  EXPECT_EQ(Collect(c), "reset\n");
  EXPECT_TRUE(RunUntil([] { return WebConnectionCount() == 0; }));
  // The server goes on serving.
  EXPECT_NE(Curl({Url("/doc.txt")}).find("plain text"), std::string::npos);
}

TEST_F(WebServer, AThousandIdleConnectionsDoNotStopANormalClient) {
  // A soft limit of 512 descriptors, below what the test needs: the server raises
  // it step by step as connections come.
  rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  rlimit low{std::min<rlim_t>(512, lim.rlim_max), lim.rlim_max};
  setrlimit(RLIMIT_NOFILE, &low);
  TCPInitRtns(kPkgTerm2, 0);  // re-read the limit
  TCPInitRtns(kPkgTerm, 0);
  TCPInitRtns(kPkgInit, kPkgVersion);
  TCPInitRtns(kPkgInit2, 0);
  Start();  // the default settings: 64 listeners
  const char kIdle[] = R"(
import os, resource, socket, sys, time
resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
socks = []
for i in range(1000):
    socks.append(socket.create_connection(('127.0.0.1', int(sys.argv[1]))))
print('open', len(socks), flush=True)
while not os.path.exists('release'):
    time.sleep(0.05)
for s in socks:
    s.close()
)";
  Client idle({"python3", "-c", kIdle, std::to_string(port_)});
  ASSERT_TRUE(RunUntil([] { return WebConnectionCount() >= 1000; }, 60000))
      << WebConnectionCount();
  auto start = std::chrono::steady_clock::now();
  std::string out = Curl({Url("/doc.txt")});
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(out.find("\r\n\r\nplain text\n"), std::string::npos);
  printf("normal client answered in %lld ms beside %d idle connections\n", (long long)ms,
         int(WebConnectionCount()));
  dir_.Write("release", "");
  EXPECT_TRUE(RunUntil([&] { return idle.Done(); }, 30000));
  // Their peers closed: the server lets them go.
  EXPECT_TRUE(RunUntil([] { return WebConnectionCount() == 0; }, 30000)) << WebConnectionCount();
  getrlimit(RLIMIT_NOFILE, &lim);
  EXPECT_GT(lim.rlim_cur, 1000u);
  setrlimit(RLIMIT_NOFILE, &lim);
}

TEST_F(WebServer, TheCommonLogHasOneLinePerConnection) {
  WebSettings s;
  s.commonLogCombined = true;
  Start(s);
  Curl({"-A", "agent/1", "-e", "http://ref/", Url("/doc.txt")});
  Curl({"-A", "agent/2", Url("/missing")});
  RunFor(50);
  std::string log = dir_.Read("common.log");
  std::regex line(
      "127\\.0\\.0\\.1 - - \\[\\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d\\] "
      "\"GET /doc\\.txt HTTP/1\\.1\" 200 11 \"http://ref/\" \"agent/1\"\n"
      "127\\.0\\.0\\.1 - - \\[\\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d\\] "
      "\"GET /missing HTTP/1\\.1\" 404 89 \"\" \"agent/2\"\n");
  EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(WebServer, ChangedFilesAreServedAfterAReset) {
  Start();
  EXPECT_NE(Curl({Url("/doc.txt")}).find("plain text"), std::string::npos);
  dir_.Write("html/doc.txt", "new text\n");
  EXPECT_NE(Curl({Url("/doc.txt")}).find("plain text"), std::string::npos);
  ResetFileCache();
  EXPECT_NE(Curl({Url("/doc.txt")}).find("new text"), std::string::npos);
}

TEST_F(WebServer, SettingsForDataDirectoryScriptAndTopLevel) {
  CgiSetProcessor(Responder);
  dir_.Write("www/home.html", "home");
  WebSettings s;
  s.data = StCStrXfm("www/");
  s.script = StCStrXfm("forum");
  s.httpTopLevel = StCStrXfm("/home.html");
  Start(s);
  EXPECT_NE(Curl({Url("/")}).find("\r\n\r\nhome"), std::string::npos);
  EXPECT_NE(Curl({Url("/forum?1@@")}).find("script=/forum\n"), std::string::npos);
  EXPECT_NE(Curl({Url("/Quil?1@@")}).find("404 Not Found"), std::string::npos);
}

TEST_F(WebServer, ARestartWaitsForTheForumRequestInProgress) {
  static uint16_t newPort = 0;
  static bool atOnce = true;
  newPort = FreePort();
  CgiSetProcessor([](CgiEvent& e) {
    WebSettings s;
    s.port = StFromView("127.0.0.1:" + std::to_string(newPort));
    s.releaseText = StCStrXfm("Quillmoot(r) test");
    atOnce = WebRestart(s);
    e.result = StFromView("HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok");
  });
  Start();
  EXPECT_EQ(Curl({Url("/Quil?1")}).substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_FALSE(atOnce);  // the request was still inside the processor
  ASSERT_TRUE(RunUntil([] { return quiltest::WaitForPort(newPort); }));
  Client c({"curl", "-s", "http://127.0.0.1:" + std::to_string(newPort) + "/doc.txt"});
  EXPECT_EQ(Collect(c), "plain text\n");
  EXPECT_EQ(WebListenerCount(), 64);  // on the new port only
}

TEST_F(WebServer, APortThatCannotBeBoundIsReportedAndLeftOut) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  listen(fd, 1);
  uint16_t other = FreePort();
  WebSettings s;
  s.port = StFromView("127.0.0.1:" + std::to_string(port_) + " 127.0.0.1:" +
                      std::to_string(other));
  s.maxListens = 2;
  Start(s);
  EXPECT_EQ(WebListenerCount(), 2);
  close(fd);
}

}  // namespace
}  // namespace quil
