// The mail-exchanger resolver against a small DNS responder of the test's
// own on 127.0.0.1 (and 127.0.0.2 for referrals): preference order, glue
// addresses, truncated, malformed and referral answers, resends and the
// time limit; and the DNS message code itself.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "TcpInt.h"
#include "net_test_util.h"

namespace quil {
namespace {

using namespace nettest;

// ---------------------------------------------------------------------------
// Building DNS messages by hand.

struct Msg {
  std::string b;
  void U16(uint16_t v) {
    b.push_back(char(v >> 8));
    b.push_back(char(v & 255));
  }
  void U32(uint32_t v) {
    U16(uint16_t(v >> 16));
    U16(uint16_t(v & 0xFFFF));
  }
  void Header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
    U16(id);
    U16(flags);
    U16(qd);
    U16(an);
    U16(ns);
    U16(ar);
  }
  // A name as labels; returns its offset.
  size_t Name(const std::string& name) {
    size_t at = b.size();
    size_t start = 0;
    while (start < name.size()) {
      size_t dot = name.find('.', start);
      if (dot == std::string::npos) dot = name.size();
      b.push_back(char(dot - start));
      b += name.substr(start, dot - start);
      start = dot + 1;
    }
    b.push_back(0);
    return at;
  }
  void Pointer(size_t offset) { U16(uint16_t(0xC000 | offset)); }
  void Question(const std::string& name, uint16_t type) {
    Name(name);
    U16(type);
    U16(kDnsClassIn);
  }
  // A record whose owner is at offset (a pointer).
  void Mx(size_t owner, uint16_t preference, const std::string& target) {
    Pointer(owner);
    U16(kDnsTypeMx);
    U16(kDnsClassIn);
    U32(300);
    std::string rdata;
    Msg t;
    t.U16(preference);
    t.Name(target);
    U16(uint16_t(t.b.size()));
    b += t.b;
  }
  void A(const std::string& owner, uint32_t address) {
    Name(owner);
    U16(kDnsTypeA);
    U16(kDnsClassIn);
    U32(300);
    U16(4);
    U32(address);
  }
  void Ns(size_t owner, const std::string& host) {
    Pointer(owner);
    U16(kDnsTypeNs);
    U16(kDnsClassIn);
    U32(300);
    Msg t;
    t.Name(host);
    U16(uint16_t(t.b.size()));
    b += t.b;
  }
};

uint16_t IdOf(const std::string& query) {
  return uint16_t((uint8_t(query[0]) << 8) | uint8_t(query[1]));
}

// The answer of a mail-exchanger query for domain with the given records.
std::string Answer(uint16_t id, const std::string& domain,
                   const std::vector<std::pair<uint16_t, std::string>>& mx,
                   const std::vector<std::pair<std::string, uint32_t>>& glue,
                   uint16_t extraFlags = 0) {
  Msg m;
  m.Header(id, uint16_t(0x8180 | extraFlags), 1, uint16_t(mx.size()), 0, uint16_t(glue.size()));
  size_t q = m.b.size();
  m.Question(domain, kDnsTypeMx);
  for (auto& [pref, target] : mx) m.Mx(q, pref, target);
  for (auto& [name, address] : glue) m.A(name, address);
  return m.b;
}

TEST(DnsMessages, QueriesAndCompressedAnswers) {
  std::string q;
  ASSERT_TRUE(DnsQueryBuild(0x1234, "mail.Example.org.", kDnsTypeMx, &q));
  EXPECT_EQ(q, std::string("\x12\x34\0\0\0\1\0\0\0\0\0\0\4mail\7Example\3org\0\0\x0f\0\1", 34));
  EXPECT_FALSE(DnsQueryBuild(1, "a..b", kDnsTypeMx, &q));
  EXPECT_FALSE(DnsQueryBuild(1, std::string(64, 'x') + ".org", kDnsTypeMx, &q));
  EXPECT_FALSE(DnsQueryBuild(1, "", kDnsTypeMx, &q));

  std::string a = Answer(7, "example.org", {{20, "b.example.org"}, {10, "a.example.org"}},
                         {{"a.example.org", 0x01010101}, {"A.example.org", 0x01010102},
                          {"b.example.org", 0x02020202}, {"b.example.org", 0x01010101}});
  DnsMessage m;
  ASSERT_TRUE(DnsMessageParse(a, &m));
  EXPECT_EQ(m.id, 7);
  EXPECT_FALSE(m.truncated);
  ASSERT_EQ(m.records.size(), 6u);
  EXPECT_EQ(m.records[0].name, "example.org");  // through the pointer
  EXPECT_EQ(m.records[0].target, "b.example.org");
  EXPECT_EQ(DnsMxAddresses(m), (std::vector<uint32_t>{0x01010101, 0x01010102, 0x02020202}));
}

TEST(DnsMessages, LoopsAndPointersForwardAreRefusedACutMessageKeepsItsStart) {
  Msg loop;
  loop.Header(1, 0x8180, 0, 1, 0, 0);
  loop.Pointer(12);  // points at itself
  loop.U16(kDnsTypeA);
  DnsMessage m;
  EXPECT_FALSE(DnsMessageParse(loop.b, &m));
  Msg forward;
  forward.Header(1, 0x8180, 0, 1, 0, 0);
  forward.Pointer(40);
  forward.b += std::string(40, '\0');
  EXPECT_FALSE(DnsMessageParse(forward.b, &m));
  EXPECT_FALSE(DnsMessageParse("short", &m));
  std::string full = Answer(2, "example.org", {{10, "mx.example.org"}},
                            {{"mx.example.org", 0x03030303}, {"mx.example.org", 0x04040404}});
  ASSERT_TRUE(DnsMessageParse(full.substr(0, full.size() - 6), &m));
  EXPECT_TRUE(m.truncated);
  EXPECT_EQ(DnsMxAddresses(m), (std::vector<uint32_t>{0x03030303}));
}

// ---------------------------------------------------------------------------
// The responder: answers queries on 127.0.0.1 and 127.0.0.2 with what the
// test's handler returns (nothing: the query is dropped).

class Responder {
 public:
  using Handler = std::function<std::vector<std::string>(const std::string& query, int server)>;
  explicit Responder(uint16_t port) {
    for (int i = 0; i < 2; ++i) {
      fds_[i] = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(0x7F000001 + uint32_t(i));
      EXPECT_EQ(bind(fds_[i], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
    close(fds_[0]);
    close(fds_[1]);
  }
  void Set(Handler h) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(h);
  }
  int Queries(int server) const { return queries_[server]; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
      if (poll(p, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        char buf[4096];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fds_[i], buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        ++queries_[i];
        std::vector<std::string> replies;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (handler_) replies = handler_(std::string(buf, size_t(n)), i);
        }
        for (const std::string& r : replies)
          sendto(fds_[i], r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }
  int fds_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  Handler handler_;
  std::atomic<int> queries_[2] = {0, 0};
};

class Mx : public ::testing::Test {
 protected:
  void SetUp() override {
    UseFakeClock();
    NetStart();
    port_ = FreePort();
    responder_ = std::make_unique<Responder>(port_);
    TcpMxSetDns(StFromView("127.0.0.1:" + std::to_string(port_)));
  }
  void TearDown() override {
    TcpMxSetDns(St());
    responder_.reset();
    NetStop();
  }
  // All four answers, asked until the look-up is done.
  std::vector<uint32_t> Lookup(const char* domain) {
    uint32_t a = 0;
    St d = StCStrXfm(domain);
    EXPECT_TRUE(RunUntil([&] { return TcpMxLookupByName(0, &a, d); })) << domain;
    std::vector<uint32_t> out;
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(TcpMxLookupByName(i, &a, d));
      out.push_back(a);
    }
    return out;
  }
  uint16_t port_ = 0;
  std::unique_ptr<Responder> responder_;
};

TEST_F(Mx, ExchangersInPreferenceOrderWithoutDuplicates) {
  responder_->Set([](const std::string& q, int) {
    return std::vector<std::string>{
        Answer(IdOf(q), "example.org", {{20, "b.example.org"}, {10, "a.example.org"}},
               {{"b.example.org", 0x02020202}, {"a.example.org", 0x01010101},
                {"b.example.org", 0x01010101}})};
  });
  EXPECT_EQ(Lookup("example.org"), (std::vector<uint32_t>{0x01010101, 0x02020202, 0, 0}));
  EXPECT_EQ(responder_->Queries(0), 1);
  uint32_t a = 0;
  EXPECT_TRUE(TcpMxLookupByName(1, &a, StCStrXfm("EXAMPLE.org")));  // cached, any case
  EXPECT_EQ(a, 0x02020202u);
  EXPECT_TRUE(TcpMxLookupByName(4, &a, StCStrXfm("example.org")));
  EXPECT_EQ(a, 0u);
  EXPECT_TRUE(TcpMxLookupByName(0, &a, St()));
  EXPECT_EQ(a, 0u);
}

TEST_F(Mx, ATruncatedAnswerGivesWhatItHolds) {
  responder_->Set([](const std::string& q, int) {
    std::string full = Answer(IdOf(q), "cut.org", {{10, "mx.cut.org"}},
                              {{"mx.cut.org", 0x03030303}, {"mx.cut.org", 0x04040404}}, 0x200);
    return std::vector<std::string>{full.substr(0, full.size() - 5)};
  });
  EXPECT_EQ(Lookup("cut.org"), (std::vector<uint32_t>{0x03030303, 0, 0, 0}));
}

TEST_F(Mx, MalformedAndForeignAnswersAreIgnoredUntilTheResend) {
  std::atomic<int> n{0};
  responder_->Set([&](const std::string& q, int) {
    if (n++ == 0) {
      Msg loop;
      loop.Header(IdOf(q), 0x8180, 0, 1, 0, 0);
      loop.Pointer(12);
      Msg other;  // a well-formed answer to another question
      other.b = Answer(uint16_t(IdOf(q) + 1), "good.org", {{1, "mx.good.org"}},
                       {{"mx.good.org", 0x09090909}});
      return std::vector<std::string>{loop.b, other.b};
    }
    return std::vector<std::string>{
        Answer(IdOf(q), "good.org", {{1, "mx.good.org"}}, {{"mx.good.org", 0x05050505}})};
  });
  uint32_t a = 0;
  St d = StCStrXfm("good.org");
  EXPECT_FALSE(TcpMxLookupByName(0, &a, d));
  RunFor(300);
  EXPECT_FALSE(TcpMxLookupByName(0, &a, d));  // nothing usable yet
  Advance(10000);                             // the resend
  EXPECT_EQ(Lookup("good.org")[0], 0x05050505u);
  EXPECT_EQ(responder_->Queries(0), 2);
}

TEST_F(Mx, AReferralIsFollowedToTheNameServerItNames) {
  responder_->Set([](const std::string& q, int server) {
    if (server == 1)
      return std::vector<std::string>{Answer(IdOf(q), "deep.org", {{5, "mx.deep.org"}},
                                             {{"mx.deep.org", 0x06060606}})};
    Msg m;
    m.Header(IdOf(q), 0x8000, 1, 0, 1, 1);
    size_t at = m.b.size();
    m.Question("deep.org", kDnsTypeMx);
    m.Ns(at, "ns.deep.org");
    m.A("ns.deep.org", 0x7F000002);
    return std::vector<std::string>{m.b};
  });
  EXPECT_EQ(Lookup("deep.org")[0], 0x06060606u);
  EXPECT_EQ(responder_->Queries(0), 1);
  EXPECT_EQ(responder_->Queries(1), 1);
}

TEST_F(Mx, ALookUpWithoutAnswersEndsAfterSixtySeconds) {
  uint32_t a = 1;
  St d = StCStrXfm("silent.org");
  EXPECT_FALSE(TcpMxLookupByName(0, &a, d));
  for (int i = 0; i < 5; ++i) {
    RunFor(50);
    Advance(10000);
  }
  RunFor(100);
  EXPECT_FALSE(TcpMxLookupByName(0, &a, d));
  Advance(10001);
  EXPECT_TRUE(RunUntil([&] { return TcpMxLookupByName(0, &a, d); }));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(responder_->Queries(0), 6);  // the first and five resends
}

TEST_F(Mx, WithoutANameServerLookUpsEndAtOnce) {
  TcpMxSetDns(St());
  uint32_t a = 1;
  EXPECT_TRUE(TcpMxLookupByName(0, &a, StCStrXfm("example.org")));
  EXPECT_EQ(a, 0u);
}

}  // namespace
}  // namespace quil
