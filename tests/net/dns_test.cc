// The name cache and the resolver processes: answers, "try again",
// refused names, the refresh rules, reverse look-ups and the pipe
// protocol of the resolver loops.
#include <thread>

#include "TcpInt.h"
#include "net_test_util.h"

namespace quil {
namespace {

using namespace nettest;

// The resolver processes run these instead of the system resolver.  They
// run in the child processes, so the "again" counter is the child's own.
int32_t FakeForward(const std::string& name) {
  static int again = 0;
  if (name == "good.example") return int32_t(0x0A010203);
  if (name == "again.example") return again++ == 0 ? -1 : int32_t(0x0A090909);
  return 0;
}

int FakeReverse(uint32_t address, std::string* name) {
  if (address == 0x0A010203) {
    *name = "good.example";
    return 1;
  }
  if (address == 0x0A000007) {
    *name = "seven.example";
    return 1;
  }
  return address == 0x0A000008 ? -1 : 0;
}

class Names : public ::testing::Test {
 protected:
  void SetUp() override {
    UseFakeClock();
    NetStart();
    TcpHtInitWith(FakeForward, FakeReverse);
  }
  void TearDown() override {
    TcpHtTerm(true);
    NetStop();
  }
  // Asks until answered (as services do on every pass).
  uint32_t Resolve(const char* name) {
    uint32_t a = 0xFFFFFFFF;
    St n = StCStrXfm(name);
    EXPECT_TRUE(RunUntil([&] { return TCPLookupByName(&a, n); })) << name;
    return a;
  }
  St Reverse(uint32_t address) {
    St name = StCStrXfm("unset");
    EXPECT_TRUE(RunUntil([&] { return TCPLookupByIp(address, &name); }));
    return name;
  }
};

TEST_F(Names, AnswersComeFromTheResolverAndThenFromTheCache) {
  uint32_t a = 0;
  EXPECT_FALSE(TCPLookupByName(&a, StCStrXfm("good.example")));
  EXPECT_EQ(TcpDnsPoll(), 1);
  EXPECT_EQ(Resolve("good.example"), 0x0A010203u);
  EXPECT_TRUE(TCPLookupByName(&a, StCStrXfm("GOOD.example")));  // names ignore case
  EXPECT_EQ(TcpDnsPoll(), 0);
  EXPECT_EQ(Resolve("unknown.example"), 0u);
  // A forward answer also answers the reverse question at once.
  St name;
  EXPECT_TRUE(TCPLookupByIp(0x0A010203, &name));
  EXPECT_EQ(name, "good.example");
}

TEST_F(Names, TryAgainIsAskedAgainInsteadOfCachedAsNotFound) {
  EXPECT_EQ(Resolve("again.example"), 0x0A090909u);
}

TEST_F(Names, BadNamesAreRefusedWithoutALookUp) {
  uint32_t a = 0;
  for (std::string bad : {std::string("under_score.example"), std::string("with space"),
                          std::string(""), std::string(256, 'a')}) {
    EXPECT_FALSE(TCPLookupByName(&a, StFromView(bad))) << bad;
  }
  EXPECT_EQ(TcpDnsPoll(), 0);
  RunFor(50);
  EXPECT_FALSE(TCPLookupByName(&a, StCStrXfm("under_score.example")));
}

TEST_F(Names, ReverseLookUps) {
  St name = StCStrXfm("x");
  EXPECT_TRUE(TCPLookupByIp(0, &name));  // address 0: no name, nothing asked
  EXPECT_TRUE(name.IsNil());
  EXPECT_EQ(TcpReverseDnsPoll(), 0);
  EXPECT_EQ(Reverse(0x0A000007), "seven.example");
  EXPECT_TRUE(Reverse(0x0A000009).IsNil());
  // The reverse answer is filed under the name too.
  uint32_t a = 0;
  EXPECT_TRUE(TCPLookupByName(&a, StCStrXfm("seven.example")));
  EXPECT_EQ(a, 0x0A000007u);
  // "Try again" leaves the question open.
  EXPECT_FALSE(TCPLookupByIp(0x0A000008, &name));
  RunFor(200);
  EXPECT_FALSE(TCPLookupByIp(0x0A000008, &name));
}

TEST_F(Names, NotFoundIsRecheckedAfterFiveMinutesAndAnswersAfterTwelveHours) {
  uint32_t a = 1;
  EXPECT_EQ(Resolve("none.example"), 0u);
  Advance(5 * 60 * 1000);
  EXPECT_TRUE(TCPLookupByName(&a, StCStrXfm("none.example")));
  EXPECT_EQ(TcpDnsPoll(), 0);  // not yet older than 5 minutes
  Advance(1);
  EXPECT_TRUE(TCPLookupByName(&a, StCStrXfm("none.example")));  // old answer meanwhile
  EXPECT_EQ(TcpDnsPoll(), 1);
  RunUntil([] { return TcpDnsPoll() == 0; });
  EXPECT_EQ(Resolve("good.example"), 0x0A010203u);
  Advance(12 * 3600 * 1000 - 1000);
  EXPECT_TRUE(TCPLookupByName(&a, StCStrXfm("good.example")));
  EXPECT_EQ(TcpDnsPoll(), 0);
  Advance(2000);
  EXPECT_TRUE(TCPLookupByName(&a, StCStrXfm("good.example")));
  EXPECT_EQ(a, 0x0A010203u);
  EXPECT_EQ(TcpDnsPoll(), 1);
  RunUntil([] { return TcpDnsPoll() == 0; });
  TCPDnsCacheFlush();
  EXPECT_FALSE(TCPLookupByName(&a, StCStrXfm("good.example")));
  RunUntil([] { return TcpDnsPoll() == 0; });
}

// The resolver processes of this process: how many have their names yet,
// and whether any shares this process's group.
int Resolvers(bool* sameGroup) {
  int found = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(e.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid pgrp ...
    size_t close = line.rfind(')');
    std::istringstream rest(line.substr(close + 2));
    char state;
    int ppid, pgrp;
    rest >> state >> ppid >> pgrp;
    std::string comm = line.substr(line.find('(') + 1, close - line.find('(') - 1);
    if (ppid != getpid()) continue;
    if (comm == "quil-DNS" || comm == "quil-ReverseDNS") {
      ++found;
      if (pgrp == getpgrp()) *sameGroup = true;
    }
  }
  return found;
}

TEST_F(Names, TheResolversRunInAGroupOfTheirOwnAndEndAtTermination) {
  bool sameGroup = false;
  int found = 0;
  // A process takes its name just after it starts.
  for (int i = 0; i < 200 && found < 2; ++i) {
    usleep(10000);
    found = Resolvers(&sameGroup);
  }
  EXPECT_FALSE(sameGroup);
  EXPECT_EQ(found, 2);
  TcpHtTerm(true);
  EXPECT_FALSE(TcpDnsRunning());
  TcpHtInitWith(FakeForward, FakeReverse);  // for TearDown
}

// The resolver loops themselves, over pipes.
TEST(ResolverLoops, ForwardRequestsRepliesAndOversizedCounts) {
  int toServer[2], fromServer[2];
  ASSERT_EQ(pipe(toServer), 0);
  ASSERT_EQ(pipe(fromServer), 0);
  std::thread server([&] {
    TcpDnsServerMain(toServer[0], fromServer[1], FakeForward);
    close(fromServer[1]);
  });
  auto ask = [&](const std::string& name) {
    int32_t n = int32_t(name.size());
    std::string req(reinterpret_cast<char*>(&n), 4);
    req += name;
    EXPECT_EQ(write(toServer[1], req.data(), req.size()), ssize_t(req.size()));
    int32_t reply = 7;
    EXPECT_EQ(read(fromServer[0], &reply, 4), 4);
    return reply;
  };
  EXPECT_EQ(ask("good.example"), int32_t(0x0A010203));
  EXPECT_EQ(ask("nowhere"), 0);
  EXPECT_EQ(ask(std::string(2000, 'n')), 0);  // drained and answered 0
  EXPECT_EQ(ask("good.example"), int32_t(0x0A010203));
  int32_t zero = 0;
  ASSERT_EQ(write(toServer[1], &zero, 4), 4);  // ends the loop
  server.join();
  char c;
  EXPECT_EQ(read(fromServer[0], &c, 1), 0);
  for (int fd : {toServer[0], toServer[1], fromServer[0]}) close(fd);
}

TEST(ResolverLoops, ReverseReplies) {
  int toServer[2], fromServer[2];
  ASSERT_EQ(pipe(toServer), 0);
  ASSERT_EQ(pipe(fromServer), 0);
  std::thread server([&] { TcpReverseDnsServerMain(toServer[0], fromServer[1], FakeReverse); });
  auto ask = [&](uint32_t address) {
    EXPECT_EQ(write(toServer[1], &address, 4), 4);
    int32_t n = 0;
    EXPECT_EQ(read(fromServer[0], &n, 4), 4);
    std::string name(size_t(std::max(n, 0)), '\0');
    if (n > 0) {
      EXPECT_EQ(read(fromServer[0], name.data(), name.size()), n);
    }
    return std::make_pair(n, name);
  };
  EXPECT_EQ(ask(0x0A000007), std::make_pair(13, std::string("seven.example")));
  EXPECT_EQ(ask(0x01020304), std::make_pair(0, std::string()));
  EXPECT_EQ(ask(0x0A000008), std::make_pair(-1, std::string()));
  close(toServer[1]);  // the end of input ends the loop
  server.join();
  for (int fd : {toServer[0], fromServer[0], fromServer[1]}) close(fd);
}

}  // namespace
}  // namespace quil
