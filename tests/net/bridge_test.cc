// The CGI bridge: the request parser, the shaping of the answer, and the
// socket quil.socket with real clients -- quil-cgi, and Python clients
// whose socket files break the rules.
#include <sys/stat.h>

#include "CgiInt.h"
#include "Web.h"
#include "net_test_util.h"

namespace quil {
namespace {

using namespace nettest;

CgiBridgeRequest ParseBytes(std::string_view text, bool eofAtEnd, int64_t maxBody = 1 << 20) {
  CgiBridgeRequest r;
  r.keepRaw = true;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t used = CgiBridgeParse(r, text.substr(i, 1), false, maxBody);
    if (used == 0) break;
  }
  if (eofAtEnd) CgiBridgeParse(r, "", true, maxBody);
  return r;
}

TEST(BridgeParse, ARequestArrivingOneByteAtATime) {
  std::string text =
      "POST\nextra-path:14@@\nserver-name:www:8080\ncookie:a=1\ncookie:;b=2\n"
      "remote-addr:10.0.0.9\r\nuser-agent:ua\nfrom:x@y\nscript-name:/cgi-bin/Quil\n"
      "content-type:application/x-www-form-urlencoded\nremote-user:bob\nsomething:else\n"
      "n:5\n\nhelloMORE";
  CgiBridgeRequest r = ParseBytes(text, false);
  ASSERT_EQ(r.state, CgiParseState::kDone) << r.errorText;
  const CgiEvent& e = r.event;
  EXPECT_EQ(e.method, "POST");
  EXPECT_EQ(e.query, "14@@");
  EXPECT_EQ(e.serverName, "www:8080");
  EXPECT_EQ(e.cookie, "a=1;b=2");  // appended
  EXPECT_EQ(e.remoteAddr, "10.0.0.9");
  EXPECT_EQ(e.userAgent, "ua");
  EXPECT_EQ(e.from, "x@y");
  EXPECT_EQ(e.scriptName, "/cgi-bin/Quil");
  EXPECT_EQ(e.contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(e.remoteUser, "bob");
  EXPECT_EQ(e.body, "hello");
  EXPECT_TRUE(e.cgiPairs.empty());
  EXPECT_EQ(r.raw, text.substr(0, text.size() - 4));  // the request, not what follows
}

TEST(BridgeParse, KeysAreKnownOnlyWithinTheirFirstCharacters) {
  CgiBridgeRequest r = ParseBytes("GET\nan-unknown-and-rather-long-key:x\n\n", false);
  ASSERT_EQ(r.state, CgiParseState::kDone);
  // A ":" beyond the 21st character makes the line a method line.
  EXPECT_EQ(r.event.method, "an-unknown-and-rather-long-key:x");
}

TEST(BridgeParse, UnfinishedRequestsAndBadLengthsFail) {
  struct Case {
    std::string text;
    bool eof;
    const char* error;
  };
  const Case cases[] = {
      {"GET\nextra-path:1", true, "missing blank line to terminate request"},
      {"POST\nn:10\n\nshort", true, "client dropt connection while sending post"},
      {"POST\nn:ten\n\n", false, "bad post length \"ten\""},
      {"POST\nn:2000\n\n", false, "post of 2000 bytes is larger than 1000"},
      {"GET\ncookie:" + std::string(70000, 'c') + "\n\n", false,
       "request lines longer than 65536 bytes"},
  };
  for (const Case& c : cases) {
    CgiBridgeRequest r;
    CgiBridgeParse(r, c.text, c.eof, 1000);
    EXPECT_EQ(r.state, CgiParseState::kFailed) << c.error;
    EXPECT_EQ(r.errorText, c.error);
  }
}

TEST(BridgeAnswer, StatusAndServerLinesGoAndTheHeaderLosesItsCarriageReturns) {
  EXPECT_EQ(CgiBridgeAnswer("HTTP/1.1 200 OK\r\nServer: Q/3.1\r\nMIME-Version: 1.0\r\n"
                            "Content-type: text/html\r\n\r\n<p>a\r\nb</p>\r\n"),
            "MIME-Version: 1.0\nContent-type: text/html\n\n<p>a\r\nb</p>\r\n");
  // Without a status line nothing is taken away; a Server line elsewhere
  // stays.
  EXPECT_EQ(CgiBridgeAnswer("Content-type: text/plain\r\nServer: x\r\n\r\nbody"),
            "Content-type: text/plain\nServer: x\n\nbody");
  EXPECT_EQ(CgiBridgeAnswer("HTTP/1.1 302 Moved\r\nLocation: /x\r\n\r\n"), "Location: /x\n\n");
  EXPECT_EQ(CgiBridgeAnswer(""), "");
}

// The bridge socket served by the test loop, as the server's loop serves
// it.
class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    NetStart();
    mkdir("Client", 0744);
    CgiBridgeSettings s;
    s.clockSkew = 600;
    CgiBridgeConfigure(s);
    fd_ = CgiBridgeOpen();
    HtFdWatch(fd_, kHtRead, [this](int, unsigned) {
      if (!CgiBridgeBusy()) CgiBridgeAccept(fd_);
    });
  }
  void TearDown() override {
    HtFdUnwatch(fd_);
    CgiBridgeReset();
    close(fd_);
    unlink(kCgiBridgeSocket);
    CgiClearProcessor();
    CgiBridgeConfigure(CgiBridgeSettings());
    NetStop();
  }
  // A Python client with its own socket file at path (mode, age in
  // seconds of its time stamps); prints the answer.
  std::string PyClient(const std::string& path, const char* mode, int age,
                       const std::string& request) {
    const char kClient[] = R"(
path, mode, age = sys.argv[1], int(sys.argv[2], 8), int(sys.argv[3])
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
if path != '-':
    try: os.unlink(path)
    except OSError: pass
    s.bind(path)
    os.chmod(path, mode)
    if age:
        t = time.time() - age
        os.utime(path, (t, t))
s.connect('quil.socket')
s.sendall(sys.stdin.buffer.read())
s.shutdown(socket.SHUT_WR)
sys.stdout.buffer.write(read_all(s))
)";
    Client c({"python3", "-c", PyScript(kClient), path, mode, std::to_string(age)}, request);
    return Collect(c);
  }
  ScratchCwd dir_;
  int fd_ = -1;
};

void PlainResponder(CgiEvent& e) {
  std::string page = "method=" + e.method.Str() + " query=" + e.query.Str() +
                     " body=" + e.body.Str() + " agent=" + e.userAgent.Str() +
                     " server=" + e.serverName.Str() + " script=" + e.scriptName.Str() +
                     " front=" + std::to_string(int(e.frontEnd));
  e.result = StFromView("HTTP/1.1 200 OK\r\nServer:Quillmoot\r\nContent-type: text/plain\r\n"
                        "Content-length: " + std::to_string(page.size()) + "\r\n\r\n" + page);
}

TEST_F(Bridge, ARequestThroughQuilCgi) {
  CgiSetProcessor(PlainResponder);
  std::string env = "QUIL_SITE=" + dir_.path();
  Client c({"env", env, "REQUEST_METHOD=POST", "QUERY_STRING=14@@", "CONTENT_LENGTH=7",
            "HTTP_USER_AGENT=ua/1", "SERVER_NAME=www", "SERVER_PORT=8080",
            "SCRIPT_NAME=/cgi-bin/quil-cgi", BinaryDir() + "/quil-cgi"},
           "k=v&x=y");
  EXPECT_EQ(Collect(c),
            "Content-type: text/plain\nContent-length: 95\n\nmethod=POST query=14@@ body=k=v&x=y "
            "agent=ua/1 server=www:8080 script=/cgi-bin/quil-cgi front=2");
  EXPECT_TRUE(std::filesystem::is_empty("Client"));  // quil-cgi removed its socket
  EXPECT_TRUE(Reported().empty());
}

TEST_F(Bridge, WithoutAProcessorTheAnswerIs503) {
  std::string out = PyClient("Client/c1", "0700", 0, "GET\nextra-path:1\n\n");
  EXPECT_EQ(out.substr(0, out.find("\n\n") + 2),
            "MIME-Version: 1.0\nCache-Control: private\nConnection: close\n"
            "Content-type: text/html\nContent-length: 109\n\n");
}

TEST_F(Bridge, EchoModeAnswersWithACopy) {
  CgiBridgeSettings s;
  s.echo = true;
  CgiBridgeConfigure(s);
  EXPECT_EQ(PyClient("Client/c1", "0700", 0, "POST\nn:3\nuser-agent:me\n\nabc"),
            "Content-type: text/plain\nContent-length: 27\n\nPOST\nn:3\nuser-agent:me\n\nabc");
}

TEST_F(Bridge, AGroupReadableClientSocketIsRefused) {
  CgiSetProcessor(PlainResponder);
  EXPECT_EQ(PyClient("Client/c2", "0740", 0, "GET\n\n"), "");
  ASSERT_EQ(Reported().size(), 1u);
  EXPECT_NE(Reported()[0].find("client pipe access is not 'rwx-------': Client/c2"),
            std::string::npos) << Reported()[0];
}

TEST_F(Bridge, AnOldClientSocketAndAMissingOneAreRefused) {
  CgiSetProcessor(PlainResponder);
  EXPECT_EQ(PyClient("Client/c3", "0700", 1000, "GET\n\n"), "");
  EXPECT_EQ(PyClient("-", "0700", 0, "GET\n\n"), "");
  ASSERT_EQ(Reported().size(), 2u);
  EXPECT_NE(Reported()[0].find("client pipe \"Client/c3\" was created 10"), std::string::npos)
      << Reported()[0];
  EXPECT_NE(Reported()[0].find(" seconds ago.  The maximum age is 600 seconds."),
            std::string::npos) << Reported()[0];
  EXPECT_NE(Reported()[1].find("client pipe no longer exists: "), std::string::npos);
  // With no limit on the clock skew, age does not matter.
  CgiBridgeSettings s;
  s.clockSkew = -1;
  CgiBridgeConfigure(s);
  EXPECT_NE(PyClient("Client/c3", "0700", 100000, "GET\n\n").find("method=GET"),
            std::string::npos);
}

TEST_F(Bridge, ABrokenRequestEndsOnlyItself) {
  CgiSetProcessor(PlainResponder);
  EXPECT_EQ(PyClient("Client/c4", "0700", 0, "POST\nn:100\n\nshort"), "");
  EXPECT_FALSE(CgiBridgeBusy());
  EXPECT_NE(PyClient("Client/c4", "0700", 0, "GET\nextra-path:ok\n\n").find("query=ok"),
            std::string::npos);
  // Client-caused errors are quiet (code 600) but still reported.
  ASSERT_EQ(Reported().size(), 1u);
  EXPECT_TRUE(Wf.quiet);
}

TEST_F(Bridge, ASlowBridgeClientDoesNotStopTheHttpServer) {
  CgiSetProcessor(PlainResponder);
  mkdir("html", 0755);
  dir_.Write("html/a.txt", "file");
  uint16_t port = FreePort();
  WebSettings w;
  w.port = StFromView("127.0.0.1:" + std::to_string(port));
  WebInit(w);
  const char kSlow[] = R"(
import os, socket, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind('Client/slow'); os.chmod('Client/slow', 0o700)
s.connect('quil.socket')
s.sendall(b'GET\nextra-')
time.sleep(1.5)
s.sendall(b'path:late\n\n')
print(s.recv(4096).decode().split('\n\n')[1])
)";
  Client slow({"python3", "-c", kSlow});
  ASSERT_TRUE(RunUntil([] { return CgiBridgeBusy(); }));
  Client curl({"curl", "-s", "http://127.0.0.1:" + std::to_string(port) + "/a.txt"});
  EXPECT_EQ(Collect(curl), "file");
  EXPECT_FALSE(slow.Done());
  EXPECT_NE(Collect(slow).find("query=late"), std::string::npos);
  WebTerm();
}

TEST_F(Bridge, ASecondServerFindsTheSocketInUse) {
  bool ok = ExTry([] {
    WfHandlerScope handler;
    CgiBridgeOpen();
  });
  ASSERT_FALSE(ok);
  EXPECT_NE(std::string(Wf.errorText)
                .find("Is Quillmoot already running?\nAnother process is listening to socket "
                      "quil/quil.socket.\nUse 'make quit' to stop Quillmoot.\n"),
            std::string::npos) << Wf.errorText;
  Wf_err_done();
}

}  // namespace
}  // namespace quil
