// Session codes, certificates, cookies, the session table and the rights
// arithmetic, against fake users and a simulated clock.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "Auth.h"
#include "ForumAcc.h"

using namespace quil;

namespace {

St S(std::string_view s) { return StFromView(s); }

TEST(AuthCode, CharactersComeFromTheDigestAndTheSequenceInTheirPlaces) {
  uint8_t digest[16] = {0, 1, 2, 3, 4, 5, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  uint32_t sequence = 1 | (2 << 6) | (3 << 12) | (4 << 18) | (5u << 24);
  // Drawn a b c d e f (digest) b c d e f (sequence), placed at 0 7 3 10 6 2
  // 9 5 1 8 4.
  EXPECT_EQ(AuthCodeFromDigest(digest, sequence).View(), "adfcfcebebd");
  uint8_t wrap[16] = {61, 62, 255, 25, 26, 51};
  // 62 wraps to "a", 255 is 255 % 62 = 7, "h"; a sequence group of 63 is "b".
  // Drawn 9 a h z A Z (digest) b 0 a a a (sequence).
  EXPECT_EQ(AuthCodeFromDigest(wrap, 63 | (52 << 6)).View(), "9aZha0Aaabz");
}

TEST(AuthCode, KnownInputsGiveAKnownCode) {
  // MD5 of the words 1, 2, 3, 4 (big-endian) is bdab1a44dfed...; with the
  // sequence 250000004.
  EXPECT_EQ(AuthCodeFromInputs(1, 2, 3, 4, 250000004).View(), "dRZAokLV5eg");
}

TEST(AuthCode, NewCodesAreElevenCodeCharactersAndNeverRepeat) {
  std::set<std::string> seen;
  for (uint32_t i = 0; i < 100000; ++i) {
    St code = AuthNewCode(i);
    ASSERT_EQ(code.Length(), kAuthCodeLength);
    for (char c : code.View()) ASSERT_TRUE(isalnum(static_cast<unsigned char>(c))) << c;
    ASSERT_TRUE(seen.emplace(code.View()).second) << i;
  }
}

TEST(AuthCert, BuildAndSplit) {
  EXPECT_EQ(AuthConstruct(17, S("abcdefghijk"), St(), 0).View(), "17.abcdefghijk^0");
  EXPECT_EQ(AuthConstruct(17, S("abcdefghijk"), S("news"), 12).View(), "17.abcdefghijk-news^12");
  EXPECT_EQ(AuthConstruct(17, S("ab"), St(), 3).View(), "ab^3");  // short code: no bucket
  EXPECT_EQ(AuthConstruct(-1, St(), St(), 7).View(), "^7");
  EXPECT_EQ(AuthConstruct(-1, St(), S("t"), 7).View(), "-t^7");

  AuthCertParts p;
  ASSERT_TRUE(AuthParse(S("17.abcdefghijk-news-x^12"), &p));
  EXPECT_EQ(p.bucket, 17);
  EXPECT_EQ(p.code.View(), "abcdefghijk");
  EXPECT_EQ(p.tag.View(), "news-x");
  EXPECT_EQ(p.sequence, 12u);
  ASSERT_TRUE(AuthParse(S("-t^7"), &p));
  EXPECT_EQ(p.bucket, -1);
  EXPECT_EQ(p.code.Length(), 0);
  EXPECT_EQ(p.tag.View(), "t");
  EXPECT_EQ(p.sequence, 7u);
  ASSERT_TRUE(AuthParse(S("abcdefghijk^0"), &p));
  EXPECT_EQ(p.bucket, -1);
  EXPECT_TRUE(p.tag.IsNil());
  for (const char* bad : {"", "abc", "256.abcdefghijk^1", "x.abcdefghijk^1", "abc^x", "abc^"})
    EXPECT_FALSE(AuthParse(S(bad), &p)) << bad;

  EXPECT_EQ(AuthTag(S("3.abcdefghijk-mobile^4")).View(), "mobile");
  EXPECT_TRUE(AuthTag(S("3.abcdefghijk^4")).IsNil());
  uint32_t before = AuthGuestCounter();
  EXPECT_EQ(AuthGuest(S("m")).View(), "-m^" + std::to_string(before + 1));
  EXPECT_EQ(AuthGuest(St()).View(), "^" + std::to_string(before + 2));
}

TEST(AuthCookie, LineAndHeaderRoundTrip) {
  St digest = S(std::string_view("\x00\x11\xff\x7f", 4));
  EXPECT_EQ(AuthCookieLine(S("Doe, J"), digest).View(),
            "Set-Cookie: quilUser=446f652c204a@0011ff7f; path=/\r\n");
  St name, got;
  ASSERT_TRUE(AuthCookieParse(S("theme=dark; QUILUSER=446F652C204A@0011ff7f ; x=1"), &name, &got));
  EXPECT_EQ(name.View(), "Doe, J");
  EXPECT_EQ(got.View(), digest.View());
  EXPECT_FALSE(AuthCookieParse(S("theme=dark"), &name, &got));
  EXPECT_FALSE(AuthCookieParse(S("quilUser=4g@00"), &name, &got));
  EXPECT_FALSE(AuthCookieParse(S("quilUser=446f"), &name, &got));
}

// Users by handle with their settings; the site's settings; a clock.
int64_t clockNow = 1000000;
int64_t FakeNow() { return clockNow; }

struct FakeUser {
  bool legal = true;
  int32_t logout = 600;
  bool checksRemote = true;
  int logins = 0;
};

class AuthSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    AuthRemoveAll();
    AuthSetClock(FakeNow);
    AuthHooks h;
    h.userIsLegal = [this](ChHandle u) { return users[u].legal; };
    h.userLogoutSeconds = [this](ChHandle u) { return users[u].logout; };
    h.userChecksRemote = [this](ChHandle u) { return users[u].checksRemote; };
    h.countLogin = [this](ChHandle u) { ++users[u].logins; };
    h.sysopLogoutSeconds = [this] { return sysopLogout; };
    h.sysopChecksRemote = [this] { return sysopChecks; };
    h.nextSequence = [this] { return ++sequence; };
    h.userName = [](ChHandle u) { return StFromView("user" + std::to_string(u)); };
    h.logRequests = [this] { return logging; };
    h.log = [this](const St& line) { logged.emplace_back(line.View()); };
    AuthSetHooks(std::move(h));
  }
  void TearDown() override {
    AuthRemoveAll();
    AuthSetClock(nullptr);
  }

  St Install(ChHandle user, const char* remote, St cert = St()) {
    AuthInstallUser(user, S(remote), &cert, false, S(" login"));
    return cert;
  }
  ChHandle Check(St* cert, const char* remote, bool* guest = nullptr) {
    bool made;
    ChHandle u = AuthenticateUser(cert, S(remote), &made);
    if (guest) *guest = made;
    return u;
  }

  std::map<ChHandle, FakeUser> users;
  int32_t sysopLogout = 3600;
  bool sysopChecks = true;
  uint32_t sequence = 0;
  bool logging = false;
  std::vector<std::string> logged;
};

TEST_F(AuthSessions, InstallGivesACertificateThatAuthenticatesAndCountsEachLogin) {
  St cert = Install(0x1234, "10.0.0.1", S("-news^5"));
  AuthCertParts p;
  ASSERT_TRUE(AuthParse(cert, &p));
  EXPECT_EQ(p.bucket, 0x34);
  EXPECT_EQ(p.code.Length(), kAuthCodeLength);
  EXPECT_EQ(p.tag.View(), "news");
  EXPECT_EQ(p.sequence, 0u);
  EXPECT_EQ(AuthSessionCount(), 1);
  St presented = cert;
  EXPECT_EQ(Check(&presented, "10.0.0.1"), 0x1234u);
  EXPECT_EQ(presented.View(), cert.View());

  // A second login reuses the session: sequence = max(session, certificate) + 1.
  St again = cert;
  AuthInstallUser(0x1234, S("10.0.0.1"), &again, false, S(""));
  EXPECT_EQ(AuthConstruct(p.bucket, p.code, p.tag, 1).View(), again.View());
  St later = AuthConstruct(p.bucket, p.code, St(), 9);
  AuthInstallUser(0x1234, S("10.0.0.1"), &later, false, S(""));
  EXPECT_EQ(AuthConstruct(p.bucket, p.code, St(), 10).View(), later.View());
  EXPECT_EQ(users[0x1234].logins, 3);
  EXPECT_EQ(AuthSessionCount(), 1);
  EXPECT_TRUE(AuthLookupUser(0x1234, S("10.0.0.1")));
}

TEST_F(AuthSessions, IdleSessionsEndAtTheSysopsOrTheUsersTimeOut) {
  users[1].logout = 100;
  St c1 = Install(1, "a"), c2 = Install(2, "a");
  EXPECT_EQ(AuthSessionCount(), 2);
  clockNow += 100;
  St t = c1;
  EXPECT_EQ(Check(&t, "a"), 1u);  // exactly at the limit: alive, and refreshed
  clockNow += 101;
  bool guest = false;
  t = c1;
  EXPECT_EQ(Check(&t, "a", &guest), 0u);
  EXPECT_TRUE(guest);
  EXPECT_EQ(t.View().front(), '^');
  EXPECT_EQ(AuthSessionCount(), 1);
  t = c2;
  EXPECT_EQ(Check(&t, "a"), 2u);  // user 2 has the default 600
  clockNow += 3601;
  t = c2;
  EXPECT_EQ(Check(&t, "a"), 0u);
  EXPECT_EQ(AuthSessionCount(), 0);
  EXPECT_EQ(AuthSessionHighWater(), 2);
}

TEST_F(AuthSessions, AnotherAddressIsRefusedOnlyWhenBothChecksAreOn) {
  St cert = Install(7, "10.0.0.1");
  St t = cert;
  EXPECT_EQ(Check(&t, "10.9.9.9"), 0u);
  EXPECT_EQ(AuthSessionCount(), 1);  // refused, not ended
  users[7].checksRemote = false;
  t = cert;
  EXPECT_EQ(Check(&t, "10.9.9.9"), 7u);
  users[7].checksRemote = true;
  sysopChecks = false;
  t = cert;
  EXPECT_EQ(Check(&t, "10.9.9.9"), 7u);
}

TEST_F(AuthSessions, AGoneUserOrARemovalEndsTheSession) {
  St cert = Install(8, "x");
  users[8].legal = false;
  St t = cert;
  EXPECT_EQ(Check(&t, "x"), 0u);
  EXPECT_EQ(AuthSessionCount(), 0);

  users[8].legal = true;
  cert = Install(8, "x");
  Install(8 + 256, "x");  // same bucket, another user
  AuthRemoveUser(8);
  EXPECT_EQ(AuthSessionCount(), 1);
  t = cert;
  EXPECT_EQ(Check(&t, "x"), 0u);
  AuthCertParts p;
  ASSERT_TRUE(AuthParse(Install(9, "y"), &p));
  AuthRemoveAuthCode(p.code);
  EXPECT_FALSE(AuthLookupUser(9, S("y")));
  Install(10, "y");
  AuthRemoveUserIp(10, S("z"));
  EXPECT_TRUE(AuthLookupUser(10, S("y")));
  AuthRemoveUserIp(10, S("y"));
  EXPECT_FALSE(AuthLookupUser(10, S("y")));
}

TEST_F(AuthSessions, GuestsAndUnknownCertificates) {
  bool guest = true;
  St t = S("^41");
  EXPECT_EQ(Check(&t, "a", &guest), 0u);
  EXPECT_FALSE(guest);  // a guest keeps its own certificate
  EXPECT_EQ(t.View(), "^41");
  t = S("12.nosuchcode-tag^3");
  EXPECT_EQ(Check(&t, "a", &guest), 0u);
  EXPECT_TRUE(guest);
  EXPECT_EQ(t.View(), "-tag^" + std::to_string(AuthGuestCounter()));
  t = St();
  Check(&t, "a", &guest);
  EXPECT_TRUE(guest);
  EXPECT_EQ(t.View(), "^" + std::to_string(AuthGuestCounter()));
}

TEST_F(AuthSessions, TheSessionObjectLivesWithTheSessionAndTheLogLine) {
  struct Obj : AuthSessionObject {};
  logging = true;
  St cert = Install(3, "1.2.3.4");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], " InstallUser user3==" + std::string(cert.View()) + " login CertRemote=1.2.3.4");
  int made = 0;
  auto make = [&] {
    ++made;
    return std::unique_ptr<AuthSessionObject>(std::make_unique<Obj>());
  };
  AuthSessionObject* o = AuthGetSession(cert, S("1.2.3.4"), make);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(AuthGetSession(cert, S("1.2.3.4"), make), o);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(AuthGetSession(S("12.nosuchcode^0"), S("1.2.3.4"), make), nullptr);
  EXPECT_EQ(made, 1);
}

TEST_F(AuthSessions, AGuestVisitGetsItsSessionOnFirstUseUntilTheSysopsTimeOut) {
  struct Obj : AuthSessionObject {};
  int made = 0;
  auto make = [&] {
    ++made;
    return std::unique_ptr<AuthSessionObject>(std::make_unique<Obj>());
  };
  St guest = S("-tag^261");
  EXPECT_EQ(AuthSessionCount(), 0);
  AuthSessionObject* o = AuthGetSession(guest, S("a"), make);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(AuthSessionCount(), 1);
  EXPECT_EQ(AuthGetSession(S("^261"), S("a"), make), o);  // the counter names it
  EXPECT_NE(AuthGetSession(S("^262"), S("a"), make), o);
  EXPECT_EQ(made, 2);
  // Presenting the certificate keeps the visit alive; idling ends it.
  clockNow += 3000;
  St t = guest;
  EXPECT_EQ(Check(&t, "a"), 0u);
  EXPECT_EQ(t.View(), guest.View());
  clockNow += 3000;
  EXPECT_EQ(AuthGetSession(guest, S("a"), make), o);
  clockNow += 3601;
  EXPECT_NE(AuthGetSession(guest, S("a"), make), nullptr);
  EXPECT_EQ(made, 3);
  // From another address only when the sysop does not check addresses.
  AuthSessionObject* here = AuthGetSession(guest, S("a"), make);
  EXPECT_NE(AuthGetSession(guest, S("b"), make), here);
  sysopChecks = false;
  EXPECT_EQ(AuthGetSession(guest, S("c"), make), here);
  AuthRemoveUser(0);  // no user: guests are not removed by user
  EXPECT_GE(AuthSessionCount(), 2);
}

TEST(ForumAcc, MovingDownMapsTheChildBitsAndKeepsTheRest) {
  const std::pair<uint32_t, uint32_t> moves[] = {
      {0x4000, 0x2},     {0x8000, 0x4},       {0x10000, 0x8},       {0x20000, 0x10},
      {0x40000, 0x40},   {0x80000, 0x80},     {0x100000, 0x400},    {0x200000, 0x800},
      {0x800000, 0x400000}, {0x10000000, 0x4000000}, {0x20000000, 0x8000000}};
  // A child bit stays (it still speaks for the levels further down).
  for (auto [from, to] : moves) EXPECT_EQ(ForumAccMoveDown(from), from | to) << std::hex << from;
  EXPECT_EQ(ForumAccMoveDown(0x81001101), 0x81001101u);
  // The item's own bits that a child bit replaces are dropped.
  EXPECT_EQ(ForumAccMoveDown(0x2 | 0x4 | 0x40 | 0x80), 0u);
  // Participant rights of a folder give participant rights below it.
  EXPECT_EQ(ForumAccMoveDown(0x3cffffff) & 0x1000101, 0x101u);
}

TEST(ForumAcc, ClassesAndTheFinishingSteps) {
  ASSERT_NE(ForumGetAccessClass("readOnly"), nullptr);
  EXPECT_EQ(ForumGetAccessClass("readOnly")->taken, 0x3ffffffeu);
  EXPECT_EQ(ForumGetAccessClass("host")->given, 0x3dffffffu);
  EXPECT_EQ(ForumGetAccessClass("noaccess"), nullptr);

  ForumAccAsk user, sysop, guest;
  sysop.sysop = true;
  guest.guest = true;
  EXPECT_EQ(ForumAccFinish(0x101 | 0x40, 0x40, user), 0x101u);
  EXPECT_EQ(ForumAccFinish(0x1, 0x40, sysop), 0x3cffffffu);
  EXPECT_EQ(ForumAccFinish(kForumAccHost | kForumAccModerated | 0x40, 0x40, user),
            0x3cffffffu | kForumAccHost);
  EXPECT_EQ(ForumAccFinish(0x101, 0, guest), 0x101u);
  guest.guestAccess = false;
  EXPECT_EQ(ForumAccFinish(0x101, 0, guest), 0u);

  EXPECT_EQ(ForumAccRestrict(0xC1, 1, user), 0x41u);  // first item a discussion: no subfolders
  EXPECT_EQ(ForumAccRestrict(0xC1, 2, user), 0x81u);
  EXPECT_EQ(ForumAccRestrict(0xC1 | kForumAccMixed, 1, user), 0xC1u | kForumAccMixed);
  EXPECT_EQ(ForumAccRestrict(0xC1, 0, user), 0xC1u);
  ForumAccAsk provisional;
  provisional.provisional = provisional.provisionalReadOnly = true;
  EXPECT_EQ(ForumAccRestrict(0x3cffffff, 0, provisional), 0x1u);
  provisional.provisionalReadOnly = false;
  provisional.provisionalModerated = true;
  EXPECT_EQ(ForumAccRestrict(0x101, 0, provisional), 0x101u | kForumAccModerated);
  ForumAccAsk site;
  site.foldersOrChatOnly = true;
  EXPECT_EQ(ForumAccRestrict(0x1C1, 0, site), 0x41u);
}

}  // namespace
