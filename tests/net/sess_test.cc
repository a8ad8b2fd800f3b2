// Sessions over real sockets: shared listen entries, connecting, flushing
// before disconnecting, the request-close callback, failures, the usage
// report, and the argument checks.
#include <dirent.h>

#include "net_test_util.h"

namespace quil {
namespace {

using namespace nettest;

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

class Sessions : public ::testing::Test {
 protected:
  void SetUp() override {
    NetStart();
    port_ = FreePort();
  }
  void TearDown() override {
    for (Sess* s : open_) SessDisconnect(s);
    NetStop();
  }
  Sess* Listen(int type = kSessHttp) {
    Sess* s = nullptr;
    int16_t error = -1;
    EXPECT_TRUE(SessListenTCPIP(type, port_, 0x7F000001, 0, &s, &error));
    EXPECT_EQ(error, 0);
    open_.push_back(s);
    return s;
  }
  void Forget(Sess* s) { open_.erase(std::remove(open_.begin(), open_.end(), s), open_.end()); }
  std::string Port() { return std::to_string(port_); }

  uint16_t port_ = 0;
  std::vector<Sess*> open_;
};

TEST_F(Sessions, TwoListenersShareOneDescriptorAndOneConnectionGoesToOne) {
  int before = OpenDescriptors();
  Sess* a = Listen();
  Sess* b = Listen();
  EXPECT_EQ(OpenDescriptors(), before + 1);
  EXPECT_TRUE(SessIsListening(a) && SessIsListening(b));
  Client c({"python3", "-c",
            "import socket,sys,time; s=socket.create_connection(('127.0.0.1',int(sys.argv[1])));"
            "time.sleep(0.5)", Port()});
  ASSERT_TRUE(RunUntil([&] { return SessListenJustConnected(a) || SessListenJustConnected(b); }));
  RunFor(100);
  EXPECT_NE(SessListenJustConnected(a), SessListenJustConnected(b));
  EXPECT_NE(SessIsListening(a), SessIsListening(b));
  Sess* connected = SessListenJustConnected(a) ? a : b;
  EXPECT_TRUE(SessIsConnected(connected));
  EXPECT_EQ(SessGetRemoteIp(connected), 0x7F000001u);
  EXPECT_EQ(SessGetLocalPort(connected), port_);
  SessMarkListenCompleted(connected);
  EXPECT_FALSE(SessListenJustConnected(connected));
  Collect(c);
}

TEST_F(Sessions, ConnectExchangeAndTheEndOfInput) {
  const char kEcho[] = R"(
import socket, sys
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(('127.0.0.1', int(sys.argv[1]))); l.listen(1)
print('ready', flush=True)
c, _ = l.accept()
d = c.recv(100)
c.sendall(d.upper())
c.close()
)";
  Client server({"python3", "-c", kEcho, Port()});
  ASSERT_TRUE(RunUntil([&] { return server.Said("ready"); }));
  Sess* s = nullptr;
  int16_t error = -1;
  ASSERT_TRUE(SessConnectTCP(kSessOther, StCStrXfm("127.0.0.1"), port_, 0, &s, &error));
  open_.push_back(s);
  ASSERT_TRUE(RunUntil([&] { return SessIsConnected(s); }));
  SessChannelSink(s, kSessCmdChannel)->WriteView("hello");
  Strm* in = SessChannelSource(s, kSessCmdChannel);
  ASSERT_TRUE(RunUntil([&] { return in->Size() == 5; }));
  EXPECT_EQ(std::string(in->PeekAll()), "HELLO");
  // The peer has closed: once everything is read the transport says 1553.
  ASSERT_TRUE(RunUntil([&] { return TCPRcvOrderlyDisconnect(SessSocket(s)); }));
  int32_t count = -1;
  int16_t status = -1;
  TCPReadStatus(SessSocket(s), &count, &status);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(status, kTcpErrEof);
  EXPECT_EQ(SessGetStatus(s), 0);
  Collect(server);
}

TEST_F(Sessions, ARefusedConnectionFails) {
  Sess* s = nullptr;
  int16_t error = -1;
  ASSERT_TRUE(SessConnectTCP(kSessOther, StCStrXfm("127.0.0.1"), port_, 0, &s, &error));
  open_.push_back(s);
  int notified = 0;
  SessChannelSource(s, kSessCmdChannel)->onData = [&] { ++notified; };
  ASSERT_TRUE(RunUntil([&] { return SessGetStatus(s) != 0; }));
  EXPECT_EQ(SessGetStatus(s), kTcpErrAccept);
  EXPECT_FALSE(SessIsConnected(s));
  RunFor(50);
  EXPECT_EQ(notified, 1);  // told once
  EXPECT_EQ(SessChannelSource(s, kSessCmdChannel)->Error(), kTcpErrAccept);
}

TEST_F(Sessions, FlushAndDisconnectWaitsUntilTheOutputIsGone) {
  Sess* s = Listen();
  const char kSlowReader[] = R"(
import socket, sys, time
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
time.sleep(0.5)
n = 0
while True:
    d = s.recv(4096)
    if not d: break
    n += len(d)
print(n)
)";
  Client c({"python3", "-c", kSlowReader, Port()});
  ASSERT_TRUE(RunUntil([&] { return SessIsConnected(s); }));
  std::string big(16 * 1024 * 1024, 'x');
  SessChannelSink(s, kSessCmdChannel)->WriteView(big);
  SessFlushAndDisconnect(s);
  Forget(s);
  RunFor(100);
  EXPECT_EQ(SessCount(), 1);  // still sending
  EXPECT_EQ(Collect(c, 60000), std::to_string(big.size()) + "\n");
  EXPECT_TRUE(RunUntil([] { return SessCount() == 0; }));
}

TEST_F(Sessions, RequestCloseIsCalledOnceWhenThePeerHasClosed) {
  Sess* s = Listen();
  static int calls = 0;
  calls = 0;
  SessSetReqCloseCb(s, [](void* arg) { ++*static_cast<int*>(arg); }, &calls);
  Client c({"python3", "-c",
            "import socket,sys; s=socket.create_connection(('127.0.0.1',int(sys.argv[1])));"
            "s.sendall(b'abc'); s.close()", Port()});
  Collect(c);
  Strm* in = SessChannelSource(s, kSessCmdChannel);
  ASSERT_TRUE(RunUntil([&] { return calls == 1; }));
  EXPECT_EQ(std::string(in->PeekAll()), "abc");  // the input arrived first
  RunFor(50);
  EXPECT_EQ(calls, 1);
}

TEST_F(Sessions, AResetIsAFailureOfTheSession) {
  Sess* s = Listen();
  const char kReset[] = R"(
import socket, struct, sys, time
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
time.sleep(0.3)
s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
s.close()
)";
  Client c({"python3", "-c", kReset, Port()});
  ASSERT_TRUE(RunUntil([&] { return SessIsConnected(s); }));
  // Output waiting makes the reset visible on the next write or read.
  SessChannelSink(s, kSessCmdChannel)->WriteView("data");
  Collect(c);
  RunFor(100);
  SessChannelSink(s, kSessCmdChannel)->WriteView(std::string(100000, 'y'));
  ASSERT_TRUE(RunUntil([&] { return SessGetStatus(s) != 0; }));
  EXPECT_EQ(SessGetStatus(s), kTcpErrIo);
}

TEST_F(Sessions, TheUsageReportCountsConnectedSessionsByTypeAndColumn) {
  EXPECT_TRUE(SessGetUsage().IsNil());
  Sess* listening = Listen(kSessHttp);
  EXPECT_TRUE(SessGetUsage().IsNil());  // a listener waiting is not connected
  Client c({"python3", "-c",
            "import socket,sys,time; s=socket.create_connection(('127.0.0.1',int(sys.argv[1])));"
            "time.sleep(1)", Port()});
  ASSERT_TRUE(RunUntil([&] { return SessIsConnected(listening); }));
  Sess* udp = nullptr;
  int16_t error = 0;
  ASSERT_TRUE(SessConnectUDP(kSessDns, 0x7F000001, 53, &udp, &error));
  open_.push_back(udp);
  EXPECT_EQ(SessGetUsage(),
            "Type TCP-call TCP-listen UDP-call UDP-listen<br>\r\nHTTP 0 1 0 0<br>\r\n"
            "DNS 0 0 1 0<br>\r\n");
  Collect(c);
}

TEST(SessionChecks, ArgumentChecksHalt) {
  NetStart();
  Sess* s = nullptr;
  int16_t error = 0;
  ASSERT_TRUE(SessConnectUDP(kSessDns, 0x7F000001, 9, &s, &error));
  EXPECT_DEATH(SessChannelOpen(s, 2, 0),
               "SessChannelOpen-- single-channel session can only use CmdChannelId");
  EXPECT_DEATH(SessChannelSource(s, 3), "SessChannelSource-- channel not open");
  char buf[8];
  EXPECT_DEATH(TCPReadBlock(SessSocket(s), buf, 1), "TCPReadBlock--Count");
  std::string big(100000, 'z');
  EXPECT_DEATH(TCPWriteBlock(SessSocket(s), big.data(), int32_t(big.size())),
               "TCPWriteBlock--Count");
  EXPECT_DEATH(SessInitRtns(kPkgTerm, 0), "SessInitRtns-- session list not empty");
  SessDisconnect(s);
  NetStop();
}

}  // namespace
}  // namespace quil
