// Users, groups, passwords, sessions, cookies and filters on a real
// database file.
#include "Auth.h"
#include "ForumUser.h"
#include "forum_test_util.h"

using namespace quil;
using forumtest::S;

namespace {

int64_t fakeNow = 1000000;
int64_t FakeClock() { return fakeNow; }

class UsersTest : public forumtest::ForumTest {
 protected:
  void SetUp() override {
    ForumTest::SetUp();
    AuthSetClock(FakeClock);
  }
  void TearDown() override {
    AuthSetClock(nullptr);
    ForumSetDirectoryCheck(nullptr);
    AuthSetFilterRunner(nullptr);
    ForumTest::TearDown();
  }
  ChHandle NewUser(const char* name, const char* password = "pw", const char* email = nullptr) {
    ChHandle user = 0;
    EXPECT_EQ(ForumUserCreate(root_, kForumUserRegistered, S(name), email ? S(email) : St(),
                              StHashMd5(S(password)), &user),
              0);
    return user;
  }
  // The quilUser cookie of a user name and password.
  static St Cookie(const char* name, const char* password) {
    return StFromView("quilUser=" + StToHex(S(name)).Str() + "@" +
                      StToHex(StHashMd5(S(password))).Str());
  }
};

TEST_F(UsersTest, NewRootHasTheSysopWithTheDefaultPassword) {
  ChHandle sysop = ForumUserLookup(root_, S(kForumSysopUserName));
  ASSERT_NE(sysop, 0u);
  EXPECT_TRUE(ForumUserGetSysop(root_, sysop));
  bool found = false;
  EXPECT_EQ(ForumUserCheckPassword(root_, S("sysop"), S(kForumSysopDefaultPassword), &found), sysop);
  EXPECT_EQ(ForumUserDestroy(root_, sysop), kForumUserIsSysop);
  EXPECT_EQ(ForumUserSetName(root_, sysop, S("boss")), kForumUserRenameSysop);
  Reopen();
  sysop = ForumUserLookup(root_, S("SYSOP"));
  ASSERT_NE(sysop, 0u);
  EXPECT_TRUE(ForumUserGetSysop(root_, sysop));
  EXPECT_EQ(ForumUserCount(root_), 1u);
}

TEST_F(UsersTest, CreationNormalisesNamesAndGivesTheFieldDefaults) {
  ChHandle john = NewUser("  John   Smith ", "pw", "John@Example.org");
  EXPECT_EQ(ForumUserName(root_, john).View(), "Smith, John");
  EXPECT_EQ(ForumUserLookup(root_, S("smith, john")), john);
  EXPECT_EQ(ForumUserGetType(root_, john), kForumUserRegistered);
  EXPECT_EQ(ForumUserFlags(root_, john), kForumUserFlagsDefault);
  EXPECT_EQ(ForumUserLogoutTime(root_, john), 600);
  EXPECT_EQ(ForumUserMaxData(root_, john), 15000);
  EXPECT_EQ(ForumUserLoginCount(root_, john), 0);
  EXPECT_GE(ForumUserUniqueId(root_, john), kForumFirstFreeId);
  EXPECT_EQ(ForumUserPassword(root_, john).View(), StHashMd5(S("pw")).View());
  ForumUserSetBio(root_, john, S("plays chess"));
  ForumUserSet2ndLine(root_, john, S("second"));
  ForumUserSetLogoutTime(root_, john, 60);
  ForumUserIncLogin(root_, john);
  ForumUserIncLogin(root_, john);
  Reopen();
  john = ForumUserLookup(root_, S("John Smith"));
  ASSERT_NE(john, 0u);
  EXPECT_EQ(ForumUserBio(root_, john).View(), "plays chess");
  EXPECT_EQ(ForumUser2ndLine(root_, john).View(), "second");
  EXPECT_EQ(ForumUserLogoutTime(root_, john), 60);
  EXPECT_EQ(ForumUserLoginCount(root_, john), 2);
  LgDbTd last, now;
  EXPECT_TRUE(ForumUserLastLogin(root_, john, &last));
  EXPECT_TRUE(ForumUserThisLogin(root_, john, &now));
  // The general principals have no record: defaults, and setters do nothing.
  EXPECT_EQ(ForumUserLogoutTime(root_, kForumAccAllGuests), 600);
  ForumUserSetBio(root_, kForumAccAllUsers, S("x"));
  EXPECT_TRUE(ForumUserBio(root_, kForumAccAllUsers).IsNil());
  EXPECT_FALSE(ForumUserIsLegal(root_, kForumAccAllUsers));
}

TEST_F(UsersTest, NamesAreUniqueAmongUsersGuestsAndGroups) {
  NewUser("Ann Lee");
  ChHandle other = 0, group = 0;
  EXPECT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("ann LEE"), St(), St(), &other),
            kForumUserNameInUse);
  EXPECT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Lee, Ann"), St(), St(), &other),
            kForumUserNameInUse);
  ASSERT_EQ(ForumGroupCreate(root_, S("Editors"), &group), 0);
  EXPECT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("editors"), St(), St(), &other),
            kForumUserNameIsGroup);
  EXPECT_EQ(ForumGroupCreate(root_, S("Lee, Ann"), &other), kForumGroupNameIsUser);
  EXPECT_EQ(ForumGroupCreate(root_, S("EDITORS"), &other), kForumGroupNameInUse);
  EXPECT_EQ(ForumGroupCreate(root_, S("guests"), &other), kForumGroupNameInUse);
  EXPECT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("users"), St(), St(), &other),
            kForumUserNameIsGroup);
}

TEST_F(UsersTest, DeletionKeepsTheRecordWithTheDeletedType) {
  ChHandle ann = NewUser("Ann Lee", "pw", "ann@example.org");
  ChHandle group = 0;
  ASSERT_EQ(ForumGroupCreate(root_, S("Editors"), &group), 0);
  ASSERT_EQ(ForumGroupAddUser(root_, group, ann), 0);
  St cert;
  AuthInstallUser(ann, S("10.0.0.1"), &cert, false, St());
  ASSERT_EQ(AuthSessionCount(), 1);
  ASSERT_EQ(ForumUserDestroy(root_, ann), 0);
  EXPECT_EQ(AuthSessionCount(), 0);
  EXPECT_EQ(ForumUserGetType(root_, ann), kForumUserDeleted);
  EXPECT_FALSE(ForumUserIsLegal(root_, ann));
  EXPECT_EQ(ForumUserName(root_, ann).View(), "Lee, Ann");
  EXPECT_EQ(ForumUserLookup(root_, S("Ann Lee")), 0u);
  EXPECT_EQ(ForumUserLookupEmail(root_, S("ann@example.org"), false), 0u);
  EXPECT_FALSE(ForumGroupHasUser(root_, group, ann));
  EXPECT_EQ(ForumUserDestroy(root_, ann), kForumUserNotFound);
  ChHandle again = NewUser("Ann Lee");
  EXPECT_NE(again, ann);
  Reopen();
  EXPECT_EQ(ForumUserCount(root_), 2u);  // the sysop and the new Ann
}

TEST_F(UsersTest, GroupsKeepSortedMembersAcrossAReopen) {
  ChHandle group = 0;
  ASSERT_EQ(ForumGroupCreate(root_, S("Editors"), &group), 0);
  ChHandle zed = NewUser("Zed Young"), amy = NewUser("Amy Brown"), guest = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Visitor One"), St(), St(), &guest), 0);
  ASSERT_EQ(ForumGroupAddUser(root_, group, zed), 0);
  ASSERT_EQ(ForumGroupAddUser(root_, group, amy), 0);
  EXPECT_EQ(ForumGroupAddUser(root_, group, amy), kForumUserAlreadyInGroup);
  EXPECT_EQ(ForumGroupAddUser(root_, ForumGroupUsers(root_), amy), kForumUserNotFound);
  Reopen();
  group = ForumGroupLookup(root_, S("editors"));
  ASSERT_NE(group, 0u);
  EXPECT_EQ(ForumGroupSize(root_, group), 2u);
  amy = ForumUserLookup(root_, S("Amy Brown"));
  zed = ForumUserLookup(root_, S("Zed Young"));
  EXPECT_EQ(ForumGroupMemberAt(root_, group, 0), amy);
  EXPECT_EQ(ForumGroupMemberAt(root_, group, 1), zed);
  uint32_t ix = 0;
  ASSERT_TRUE(ForumUserPrefixIx(root_, S("you"), &ix));  // "Young, Zed"
  EXPECT_EQ(ForumUserAt(root_, ix), zed);
  EXPECT_FALSE(ForumUserPrefixIx(root_, S("Xu"), &ix));
  EXPECT_EQ(ForumGroupLookupUser(root_, group, S("zed young")), zed);
  EXPECT_EQ(ForumGroupLookupUser(root_, ForumGroupUsers(root_), S("Amy Brown")), amy);
  EXPECT_EQ(ForumGroupLookupUser(root_, ForumGroupUsers(root_), S("Visitor One")), 0u);
  EXPECT_NE(ForumGroupLookupUser(root_, ForumGroupGuests(root_), S("Visitor One")), 0u);
  EXPECT_TRUE(ForumGroupHasUser(root_, ForumGroupUsers(root_), amy));
  ASSERT_EQ(ForumGroupRemoveUser(root_, group, zed), 0);
  EXPECT_EQ(ForumGroupRemoveUser(root_, group, zed), kForumUserNotInGroup);
  EXPECT_FALSE(ForumGroupHasUser(root_, group, zed));
  // Renaming keeps the member index in step.
  ASSERT_EQ(ForumUserSetName(root_, amy, S("Amy Green")), 0);
  EXPECT_EQ(ForumGroupLookupUser(root_, group, S("Amy Green")), amy);
  EXPECT_EQ(ForumUserLookup(root_, S("Amy Brown")), 0u);
  EXPECT_EQ(ForumGroupDestroy(root_, ForumGroupUsers(root_)), kForumNotContainer);
  ASSERT_EQ(ForumGroupDestroy(root_, group), 0);
  EXPECT_EQ(ForumGroupLookup(root_, S("Editors")), 0u);
  EXPECT_EQ(ForumUserGetType(root_, group), kForumUserNone);
}

TEST_F(UsersTest, CaseInsensitivePasswordsUpgradeTheStoredDigest) {
  ChHandle ann = NewUser("Ann Lee", "Secret");
  bool found = false;
  // Case-sensitive site: as typed, or all lower case.
  ASSERT_TRUE(ForumSysopPwCaseSensitive(root_));
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S("Secret"), &found), ann);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S("SECRET"), &found), 0u);
  EXPECT_TRUE(found);
  ForumSysopSetPwCaseSensitive(root_, false);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S("sECRET"), &found), 0u);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S("Secret"), &found), ann);
  EXPECT_EQ(ForumUserPassword(root_, ann).View(), StHashMd5(S("secret")).View());
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S("SECRET"), &found), ann);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S(""), &found), 0u);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Nobody Here"), S("secret"), &found), 0u);
  EXPECT_FALSE(found);
}

TEST_F(UsersTest, PasswordLookUpFallsBackToTheEmailAddressThenTheEmailName) {
  ChHandle ann = NewUser("Ann Lee", "pw", "Ann.Lee@Example.org");
  NewUser("Ann Leeds", "other", "ann.leeds@example.org");
  bool found = false;
  // Quotes and outer blanks go, case does not matter; failing the whole
  // address, the e-mail name with its "@" finds the user at another host.
  EXPECT_EQ(ForumUserCheckPassword(root_, S("  \"ANN.LEE@EXAMPLE.ORG\"  "), S("pw"), &found), ann);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("ann.lee@"), S("pw"), &found), ann);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("ann.lee@mail.example.org"), S("pw"), &found), ann);
  EXPECT_TRUE(found);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("ann.lee@mail.example.org"), S("other"), &found), 0u);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("ann@example.org"), S("pw"), &found), 0u);
  EXPECT_FALSE(found);
  // The plain e-mail look-up takes whole addresses only, and follows a change.
  EXPECT_EQ(ForumUserLookupEmail(root_, S("ann.lee@"), false), 0u);
  ForumUserSetEmail(root_, ann, S("al@example.net"));
  EXPECT_EQ(ForumUserLookupEmail(root_, S("ann.lee@example.org"), false), 0u);
  EXPECT_EQ(ForumUserLookupEmail(root_, S("AL@example.net"), false), ann);
}

TEST_F(UsersTest, TheDirectoryDecidesExceptForTheSysop) {
  NewUser("Ann Lee", "stored");
  ForumSetDirectoryCheck([](ForumRoot, const St& name, const St& password) {
    if (name.View() == "sysop") return ForumDirectoryAnswer::kRefused;
    return password.View() == "ldap" ? ForumDirectoryAnswer::kAccepted
                                     : ForumDirectoryAnswer::kRefused;
  });
  bool found = false;
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S("stored"), &found), 0u);
  EXPECT_NE(ForumUserCheckPassword(root_, S("Ann Lee"), S("ldap"), &found), 0u);
  ChHandle bob = ForumUserCheckPassword(root_, S("Bob Ray"), S("ldap"), &found);
  ASSERT_NE(bob, 0u);
  EXPECT_EQ(ForumUserName(root_, bob).View(), "Ray, Bob");
  EXPECT_EQ(ForumUserPassword(root_, bob).View(), StHashMd5(S("ldap")).View());
  EXPECT_NE(ForumUserCheckPassword(root_, S("sysop"), S("sysop"), &found), 0u);
  ForumSetDirectoryCheck([](ForumRoot, const St&, const St&) {
    return ForumDirectoryAnswer::kAccepted;  // a directory that binds anonymously
  });
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Ann Lee"), S(""), &found), 0u);
  EXPECT_EQ(ForumUserCheckPassword(root_, S("Cy Dunn"), S(""), &found), 0u);
  EXPECT_EQ(ForumUserLookup(root_, S("Cy Dunn")), 0u);
}

// ---------------------------------------------------------------------------
// Sessions on the store.

// The session rules themselves are tested on made-up users in auth_test;
// here the users' and the sysop's stored settings feed them.
TEST_F(UsersTest, SessionsFollowTheStoredSettingsAndEndWhenTheRootCloses) {
  ChHandle ann = NewUser("Ann Lee");
  St cert, remote = S("10.0.0.1");
  AuthInstallUser(ann, remote, &cert, false, St());
  EXPECT_EQ(ForumUserLoginCount(root_, ann), 1);
  bool guest = false;
  // Another address is refused only while the sysop and the user check it.
  St c = cert;
  ASSERT_TRUE(ForumSysopCheckRemoteAddr(root_));
  EXPECT_EQ(AuthenticateUser(&c, S("10.0.0.2"), &guest), 0u);
  ForumUserSetFlags(root_, ann, ForumUserFlags(root_, ann) | kForumUserNoRemoteCheck);
  c = cert;
  EXPECT_EQ(AuthenticateUser(&c, S("10.0.0.2"), &guest), ann);
  ForumUserSetFlags(root_, ann, ForumUserFlags(root_, ann) & ~kForumUserNoRemoteCheck);
  ForumSysopSetCheckRemoteAddr(root_, false);
  c = cert;
  EXPECT_EQ(AuthenticateUser(&c, S("10.0.0.2"), &guest), ann);
  // The user's 600 seconds.
  fakeNow += 600;
  c = cert;
  EXPECT_EQ(AuthenticateUser(&c, remote, &guest), ann);
  fakeNow += 601;
  c = cert;
  EXPECT_EQ(AuthenticateUser(&c, remote, &guest), 0u);
  EXPECT_EQ(AuthSessionCount(), 0);
  // The sysop's time-out applies as well.
  ForumUserSetLogoutTime(root_, ann, 100000);
  ForumSysopSetLogoutTimeout(root_, 50);
  AuthInstallUser(ann, remote, &cert, false, St());
  fakeNow += 51;
  c = cert;
  EXPECT_EQ(AuthenticateUser(&c, remote, &guest), 0u);
  EXPECT_EQ(AuthSessionCount(), 0);
  // Closing the root ends every session.
  AuthInstallUser(ann, remote, &cert, false, St());
  Reopen();
  EXPECT_EQ(AuthSessionCount(), 0);
  EXPECT_EQ(AuthenticateUser(&cert, remote, &guest), 0u);
}

TEST_F(UsersTest, CookiesCarryNameAndDigestAndAStaleDigestFindsNobody) {
  ChHandle ann = NewUser("Ann Lee", "pw");
  EXPECT_TRUE(AuthSetCookie(root_, ann, false).IsNil());  // the site uses no cookies
  ForumSysopSetUseCookies(root_, true);
  ASSERT_TRUE(ForumSysopDefaultOldUsersCookie(root_));
  St line = AuthSetCookie(root_, ann, false);
  std::string want = "Set-Cookie: quilUser=" + StToHex(S("Lee, Ann")).Str() + "@" +
                     StToHex(StHashMd5(S("pw"))).Str() + "; path=/\r\n";
  EXPECT_EQ(line.View(), want);
  EXPECT_TRUE(AuthSetCookie(root_, ann, true).IsNil());  // the request brought one
  St header = StCat(S("theme=dark; "), Cookie("Lee, Ann", "pw"));
  EXPECT_EQ(AuthCookieLookup(root_, header), ann);
  ForumUserSetFlags(root_, ann,
                    ForumUserFlags(root_, ann) | kForumUserCookieChosen | kForumUserCookiesOff);
  EXPECT_EQ(AuthCookieLookup(root_, header), 0u);
  EXPECT_TRUE(AuthSetCookie(root_, ann, false).IsNil());
  ForumUserSetFlags(root_, ann, ForumUserFlags(root_, ann) & ~kForumUserCookiesOff);
  ForumUserSetPassword(root_, ann, StHashMd5(S("changed")));
  EXPECT_EQ(AuthCookieLookup(root_, header), 0u);
  ForumSysopSetUseCookies(root_, false);
  EXPECT_EQ(AuthCookieLookup(root_, header), 0u);
}

TEST_F(UsersTest, NewUsersTakeTheSysopsCookieDefault) {
  ForumSysopSetUseCookies(root_, true);
  ForumSysopSetDefaultNewUsersCookie(root_, false);
  ChHandle ann = NewUser("Ann Lee");
  EXPECT_EQ(ForumUserFlags(root_, ann),
            kForumUserFlagsDefault | kForumUserCookieChosen | kForumUserCookiesOff);
  EXPECT_FALSE(ForumUserCookiesOn(root_, ann));
  ChHandle guest = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Visitor"), St(), St(), &guest), 0);
  EXPECT_EQ(ForumUserFlags(root_, guest), kForumUserFlagsDefault);
}

TEST_F(UsersTest, FiltersAnswerTheRequestOrNameTheUser) {
  ChHandle ann = NewUser("Ann Lee");
  std::string authenticateOutput;
  AuthSetFilterRunner([&](const char* name, St* output) {
    if (std::string_view(name) == kAuthFilterAuthenticate) {
      *output = StFromView(authenticateOutput);
      return true;
    }
    if (std::string_view(name) == kAuthFilterLogin) {
      *output = S("http/1.0 302 Found\r\nLocation: /\r\n\r\n");
      return true;
    }
    return false;
  });
  St response;
  EXPECT_TRUE(FilterCheck(kAuthFilterLogin, &response));
  EXPECT_EQ(response.View().substr(0, 4), "http");
  EXPECT_FALSE(FilterCheck(kAuthFilterRegisterFailure, &response));
  bool answered = false;
  authenticateOutput = StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(root_, ann))).Str() + "\n";
  EXPECT_EQ(AuthenticateFilter(root_, &response, &answered), ann);
  EXPECT_FALSE(answered);
  authenticateOutput = "<html><body>go away</body></html>";
  EXPECT_EQ(AuthenticateFilter(root_, &response, &answered), 0u);
  EXPECT_TRUE(answered);
  EXPECT_EQ(response.View(), authenticateOutput);
  authenticateOutput = StHexNoZerosIntXfm(uint32_t(kForumTopId)).Str();  // not a user
  EXPECT_EQ(AuthenticateFilter(root_, &response, &answered), 0u);
}

TEST_F(UsersTest, AuthenticationLogLines) {
  ChHandle ann = NewUser("Ann Lee");
  EXPECT_TRUE(AuthLogAuthenticated(root_, S(" Authenticate via Quil cookie: x"), ann).IsNil());
  ForumSysopSetLogAuthentication(root_, true);
  St line = AuthLogAuthenticated(root_, S(" Authenticate via Quil cookie: x"), ann);
  std::string want = " Authenticate via Quil cookie: x User=" +
                     StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(root_, ann))).Str() +
                     " registered-user Lee, Ann";
  EXPECT_EQ(line.View(), want);
}

// ---------------------------------------------------------------------------
// The order of authentication for one request.

TEST_F(UsersTest, ARequestIsAuthenticatedByCertificateThenCookieThenFilter) {
  ChHandle ann = NewUser("Ann Lee", "pw");
  AuthRequest r;
  r.remote = S("10.0.0.1");
  r.cert = S("17.nosuchcode-news^4");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, 0u);
  EXPECT_TRUE(r.madeGuest);
  EXPECT_EQ(AuthTag(r.cert).View(), "news");
  // The cookie names Ann: she is installed and the certificate is hers.
  ForumSysopSetUseCookies(root_, true);
  r.cookieHeader = Cookie("Lee, Ann", "pw");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  EXPECT_FALSE(r.madeGuest);
  AuthCertParts parts;
  ASSERT_TRUE(AuthParse(r.cert, &parts));
  EXPECT_EQ(parts.code.Length(), kAuthCodeLength);
  EXPECT_EQ(parts.tag.View(), "news");
  // Next time the certificate alone does it.
  r.cookieHeader = St();
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  // A filter that names a user, for a request with nothing else.
  AuthSetFilterRunner([&](const char* name, St* output) {
    if (std::string_view(name) != kAuthFilterAuthenticate) return false;
    *output = StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(root_, ann)));
    return true;
  });
  AuthRequest other;
  other.remote = S("10.0.0.9");
  AuthenticateRequest(root_, &other);
  EXPECT_EQ(other.user, ann);
  EXPECT_EQ(AuthSessionCount(), 2);  // one per address
}

TEST_F(UsersTest, BasicAuthorizationRegistersNewNamesAndChecksPasswords) {
  ChHandle ann = NewUser("Ann Lee", "pw");
  AuthRequest r;
  r.remote = S("10.0.0.1");
  r.basicAllowed = true;
  r.basicName = S("Ann Lee");
  r.basicPassword = S("wrong");
  r.cert = S("^3");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, 0u);
  EXPECT_TRUE(r.madeGuest);
  r.basicPassword = S("pw");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  EXPECT_EQ(ForumUserLoginCount(root_, ann), 1);
  // An unknown name is registered with the digest of its password.
  AuthRequest fresh;
  fresh.basicAllowed = true;
  fresh.basicName = S("Cy Dunn");
  fresh.basicPassword = S("cy");
  AuthenticateRequest(root_, &fresh);
  ChHandle cy = ForumUserLookup(root_, S("Cy Dunn"));
  ASSERT_NE(cy, 0u);
  EXPECT_EQ(fresh.user, cy);
  // A name taken by a group cannot be registered.
  ChHandle group = 0;
  ASSERT_EQ(ForumGroupCreate(root_, S("Editors"), &group), 0);
  AuthRequest clash;
  clash.basicAllowed = true;
  clash.basicName = S("Editors");
  clash.basicPassword = S("x");
  AuthenticateRequest(root_, &clash);
  EXPECT_EQ(clash.user, 0u);
  EXPECT_EQ(clash.errorTitle.View(), "Auto-registration error");
  EXPECT_EQ(clash.errorText.View(), "Auto-registration for basic authorization failed: 2313");
  // Not allowed by the site: the name and password are ignored.
  fresh.basicAllowed = false;
  fresh.cert = St();
  AuthenticateRequest(root_, &fresh);
  EXPECT_EQ(fresh.user, 0u);
}

TEST_F(UsersTest, BasicAuthorizationFindsAUserByEmailAddressInsteadOfRegisteringIt) {
  ChHandle ann = NewUser("Ann Lee", "pw", "ann@example.org");
  uint32_t users = ForumUserCount(root_);
  AuthRequest r;
  r.basicAllowed = true;
  r.basicName = S("ann@example.org");
  r.basicPassword = S("pw");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  EXPECT_EQ(ForumUserCount(root_), users);
  EXPECT_EQ(ForumUserLookup(root_, S("ann@example.org")), 0u);
}

TEST_F(UsersTest, ARefusedBasicPasswordStillLetsTheCookieNameTheUser) {
  ChHandle ann = NewUser("Ann Lee", "pw");
  ForumSysopSetUseCookies(root_, true);
  AuthRequest r;
  r.remote = S("10.0.0.1");
  r.basicAllowed = true;
  r.basicName = S("Ann Lee");
  r.basicPassword = S("wrong");
  r.cookieHeader = Cookie("Lee, Ann", "pw");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  AuthCertParts parts;
  ASSERT_TRUE(AuthParse(r.cert, &parts));
  EXPECT_EQ(parts.code.Length(), kAuthCodeLength);
}

TEST_F(UsersTest, TheSysopMayActAsAnotherUserOnThePreferencePages) {
  ChHandle ann = NewUser("Ann Lee", "pw");
  St annCert;
  AuthInstallUser(ann, S("10.0.0.1"), &annCert, false, St());
  AuthRequest r;
  r.remote = S("10.0.0.1");
  r.basicAllowed = true;
  r.basicName = S("sysop");
  r.basicPassword = S(kForumSysopDefaultPassword);
  r.cert = annCert;
  r.command = kAuthCmdPreferences;
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  EXPECT_EQ(r.cert.View(), annCert.View());
  r.command = 1;
  AuthenticateRequest(root_, &r);
  EXPECT_TRUE(ForumUserGetSysop(root_, r.user));
}

TEST_F(UsersTest, AnAolBrowserLosesItsAddress) {
  ChHandle ann = NewUser("Ann Lee", "pw");
  ForumSysopSetUseCookies(root_, true);
  AuthRequest r;
  r.remote = S("10.0.0.1");
  r.agent = S("Mozilla/4.0 (compatible; AOL 9.0)");
  r.cookieHeader = Cookie("Lee, Ann", "pw");
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  EXPECT_TRUE(r.remote.Empty());
  // The session is bound to no address: the browser's next request from
  // another of its proxies finds it by the certificate alone.
  r.remote = S("10.0.0.2");
  r.cookieHeader = St();
  AuthenticateRequest(root_, &r);
  EXPECT_EQ(r.user, ann);
  EXPECT_EQ(AuthSessionCount(), 1);
}

}  // namespace
