// The user, author, group and certificate keywords on a real database.
#include <algorithm>

#include "site_fixture.h"

namespace {

using namespace quil;
using tpltest::S;
using tpltest::SiteTest;

class UserKw : public SiteTest {};

TEST_F(UserKw, CurrentUserFields) {
  ChHandle ann = MakeUser("Lee, Ann", "pw", "ann@example.org");
  ForumUserSetHomePage(root_, ann, S("http://ann.example.org/"));
  ForumUserSet2ndLine(root_, ann, S("Gardener"));
  ForumUserSetMaxMessages(root_, ann, 25);
  ForumUserSetUrls(root_, ann, S("http://a.example/\nhttp://b.example/<x>\n"));
  EXPECT_EQ(Render("%% userName %%|%% userEmail %%|%% userHomePage %%|%% user2ndLine %%|"
                   "%% userMaxMessages %%|%% userIsRegistered %%%% userIsGuest %%"
                   "%% userIsUnknown %%%% userIsSysop %%",
                   ann),
            "Ann Lee|ann@example.org|http://ann.example.org/|Gardener|25|1000");
  EXPECT_EQ(Render("%% userUniqueId %%", ann), IdOf(ann));
  EXPECT_EQ(Render("%% userUrls %%", ann),
            "<a href=\"http://a.example/\">http://a.example/</a><br>"
            "<a href=\"http://b.example/&lt;x&gt;\">http://b.example/&lt;x&gt;</a>");
  // A guest (no user) is unknown; the sysop is the sysop.
  EXPECT_EQ(Render("[%% userName %%]%% userIsGuest %%%% userIsUnknown %%"), "[]11");
  EXPECT_EQ(Render("%% userIsSysop %%%% userIsHostOrSysop %%%% userIsHost %%", sysop_, "/"),
            "110");
}

TEST_F(UserKw, LastLoginAndFolderSortBy) {
  ChHandle ann = MakeUser("Ann");
  EXPECT_EQ(Render("%% lastLogin < 01/01/2000.00:00:00 %%", ann), "1");  // never
  Td when{};
  when.year = 2001, when.month = 3, when.day = 5, when.hour = 13;
  ForumUserSetLastLogin(root_, ann, LgDbTdFromTd(when));
  EXPECT_EQ(Render("%% lastLogin < 01/01/2000.00:00:00 %%%% lastLogin < 12/31/2001.23:59:59 %%",
                   ann),
            "01");
  ForumUserSetCatForumSeq(root_, ann, 4);
  EXPECT_EQ(Render("%% userFolderSortBy alphabetically %%%% userFolderSortBy default %%", ann),
            "10");
}

TEST_F(UserKw, UserMethodsTakeAnIdentifier) {
  ChHandle ann = MakeUser("Ann Lee", "pw", "ann@example.org");
  std::string id = IdOf(ann);
  std::string t = "%% set u \"" + id + "\" %%%% u.userName %%|%% u.userEmail %%|"
                  "%% u.userIsRegistered %%|%% (\".\" & u).userName %%|%% \"zz\".userName %%";
  EXPECT_EQ(Render(t), "Ann Lee|ann@example.org|1|Ann Lee|");
  int32_t numeric = ForumUserUniqueId(root_, ann);
  EXPECT_EQ(Render("%% " + std::to_string(numeric) + ".userName %%"), "Ann Lee");
  EXPECT_EQ(Render("%% userLookup(\"ann lee\") %%"), id);
  EXPECT_EQ(Render("%% userLookup(\"nobody\") %%"), "");
}

TEST_F(UserKw, CheckPasswordTrueOnlyForTheRightOne) {
  ChHandle ann = MakeUser("Ann", "right");
  std::string pre = "%% set u \"" + IdOf(ann) + "\" %%";
  EXPECT_EQ(Render(pre + "%% u.userCheckPassword(\"right\") %%"), "1");
  EXPECT_EQ(Render(pre + "%% u.userCheckPassword(\"wrong\") %%"), "0");
  EXPECT_EQ(Render(pre + "%% u.userCheckPassword(\"\") %%"), "0");
  EXPECT_EQ(Render(pre + "%% u.userCheckPassword %%"), "0");
  EXPECT_EQ(Render(pre + "%% u.setUserPassword(\"new\") %%%% u.userCheckPassword(\"new\") %%"
                         "%% u.userCheckPassword(\"right\") %%"),
            "110");
}

TEST_F(UserKw, SettersChangeTheStore) {
  ChHandle ann = MakeUser("Ann");
  std::string pre = "%% set u \"" + IdOf(ann) + "\" %%";
  EXPECT_EQ(Render(pre + "%% u.setUserEmail(\"a@b.example\") %%%% u.setUserBio(\"Hi\") %%"
                         "%% u.setUserMaxData(99) %%%% u.setUserShowPictures(0) %%"
                         "%% u.setUserAlias(\"annie\") %%%% u.setUserFolderSortBy(\"newestCreated\") %%"),
            "111111");
  EXPECT_EQ(ForumUserEmail(root_, ann), "a@b.example");
  EXPECT_EQ(ForumUserBio(root_, ann), "Hi");
  EXPECT_EQ(ForumUserMaxData(root_, ann), 99);
  EXPECT_FALSE(ForumUserFlags(root_, ann) & kForumUserShowPictures);
  EXPECT_EQ(ForumUserCatForumSeq(root_, ann), 3);
  EXPECT_EQ(Render(pre + "%% u.userAlias %%"), "annie");
  EXPECT_EQ(Render(pre + "%% u.setUserName(\"Ann Marie\") %%%% u.userName %%"), "1Ann Marie");
  EXPECT_EQ(Render(pre + "%% u.setUserUseCookies(0) %%%% u.userUseCookies %%"), "10");
  EXPECT_TRUE(ForumUserFlags(root_, ann) & kForumUserCookieChosen);
  // A receiver that is no user changes nothing.
  EXPECT_EQ(Render("%% \"123456\".setUserEmail(\"x@y\") %%"), "0");
  // user.field and author.field are record fields with the prefix.
  EXPECT_EQ(Render("%% set user.colour \"red\" %%%% user.user_colour %%", ann), "red");
  ChHandle id = LgDbFieldIdLookup(ann, S("user_colour"));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(LgDbRecGetText(ann, id), "red");
}

TEST_F(UserKw, GroupsAndMembership) {
  ChHandle ann = MakeUser("Ann");
  std::string pre = "%% set u \"" + IdOf(ann) + "\" %%";
  std::string gid = Render("%% groupCreate(\"Editors\") %%");
  EXPECT_FALSE(gid.empty());
  EXPECT_EQ(Render("%% groupLookup Editors %%"), gid);
  EXPECT_EQ(Render(pre + "%% u.addUserToGroup(\"Editors\") %%%% u.userIsMember(\"Editors\") %%"
                         "%% u.addUserToGroup(\"Editors\") %%"),
            "110");
  EXPECT_EQ(Render("%% \"Editors\".groupCount %%|%% \"Editors\".groupItem(0) %%|"
                   "%% \"Editors\".isGroup %%%% \"Nope\".isGroup %%"),
            "1|" + IdOf(ann) + "|10");
  EXPECT_EQ(Render(pre + "%% u.removeUserFromGroup(\"Editors\") %%%% u.userIsMember(\"Editors\") %%"),
            "10");
  EXPECT_EQ(Render("%% groupDestroy Editors %%%% groupLookup Editors %%"), "1");
  EXPECT_EQ(Render("%% groupCreate(\"\") %%"), "");
}

TEST_F(UserKw, CreateAndDestroyUsers) {
  std::string id = Render("%% userCreate(\"New Person\") %%");
  ASSERT_FALSE(id.empty());
  ChHandle u = ForumUserLookup(root_, S("New Person"));
  ASSERT_NE(u, 0u);
  EXPECT_EQ(IdOf(u), id);
  EXPECT_EQ(Render("%% userCreate(\"New Person\") %%"), "");  // name in use
  EXPECT_EQ(Render("%% \"" + id + "\".userDestroy %%"), "1");
  EXPECT_EQ(ForumUserLookup(root_, S("New Person")), 0u);
  EXPECT_EQ(Render("%% usersCount %%"), std::to_string(ForumUserCount(root_)));
  MakeUser("Anna");
  MakeUser("Annie");
  MakeUser("Bob");
  std::string found = Render("%% selectUsers(\"Ann\") %%");
  EXPECT_EQ(std::count(found.begin(), found.end(), ' '), 1) << found;
}

TEST_F(UserKw, AuthorOfTheCurrentItem) {
  ChHandle ann = MakeUser("Ann Lee");
  ForumUserSet2ndLine(root_, ann, S("Gardener"));
  Create(top_, "forum-topic", "x", "Talk");
  int32_t index;
  (void)ForumItemCreate(Path("/1"), ann, S("Hi"), S("text"), S("Body"), -1, true, &index);
  std::string msg = "/1/" + std::to_string(index);
  EXPECT_EQ(Render("%% authorName %%|%% authorLine2 %%|%% authorIsSysop %%|%% authorUniqueID %%",
                   0, msg.c_str()),
            "Ann Lee|Gardener|0|" + IdOf(ann));
  EXPECT_EQ(Render("%% authorInfoUrl %%", 0, msg.c_str()), "?135@@" + IdOf(ann));
  EXPECT_EQ(Render("%% authorInfoUrl %%", 0, msg.c_str(), nullptr, S("cert^1")),
            "?135@cert^1@" + IdOf(ann));
  EXPECT_EQ(Render("%% setAuthor \"" + IdOf(sysop_) + "\" %%%% authorName %%%% authorIsSysop %%",
                   0, msg.c_str()),
            "sysop1");
  // author.field reads the author's record field.
  LgDbRecPutText(ann, LgDbFieldIdGet(ann, S("user_town")), S("Leeds"));
  EXPECT_EQ(Render("%% author.town %%", 0, msg.c_str()), "Leeds");
}

TEST_F(UserKw, RightsOnThePath) {
  ChHandle ann = MakeUser("Ann");
  Create(top_, "forum-category", "Cafe");
  ASSERT_TRUE(ForumAccCreateList(Path("/Cafe")));  // keeps the inherited entries
  ForumAccEnable(Path("/Cafe"), ann, ForumGetAccessClass("host")->given);
  ForumAccInhibit(Path("/Cafe"), ann, ForumGetAccessClass("host")->taken);
  EXPECT_EQ(Render("%% userIsHost %%%% userCanEdit %%%% userCanAddMessages %%", ann, "/Cafe"),
            "111");
  EXPECT_EQ(Render("%% \"" + IdOf(ann) + "\".userPathAccess %%", 0, "/Cafe"), "host");
  ChHandle bob = MakeUser("Bob");
  std::string b = "%% set b \"" + IdOf(bob) + "\" %%";
  EXPECT_EQ(Render(b + "%% b.setUserPathAccess(\"readOnly\") %%%% b.userPathAccess %%"
                       "%% b.userIsReadOnly %%%% b.userCanAddMessages %%",
                   0, "/Cafe"),
            "1readOnly10");
  EXPECT_EQ(Render(b + "%% b.setUserPathAccess(\"\") %%%% b.userPathAccess %%", 0, "/Cafe"), "1");
  // The general principals stand for all guests and all registered users.
  EXPECT_EQ(Render("%% userGuests.userCanView %%%% userOthers.userCanView %%", 0, "/Cafe"),
            "11");
  b = "%% set g userOthers %%";
  EXPECT_EQ(Render(b + "%% g.setUserPathAccess(\"readOnly\") %%%% g.userCanAddMessages %%"
                       "%% g.userCanView %%", 0, "/Cafe"),
            "101");
}

TEST_F(UserKw, Certificates) {
  EXPECT_EQ(Render("%% certificate %%|%% certificateTag %%|%% certificateIs \"a-t^5\" %%",
                   0, "", nullptr, S("a-t^5")),
            "a-t^5|t|1");
  std::string out = Render("%% alwaysCertificate %%");
  EXPECT_EQ(out.find('^'), 0u) << out;  // a guest certificate
  EXPECT_EQ(Render("[%% certificateLogout %%][%% userIsUnknown %%]", sysop_), "[][1]");
}

TEST_F(UserKw, WithoutARootTheyAreUnavailable) {
  TemplateMainSite().root = nullptr;
  ExprContext ctx;
  TemplateRef t = TemplateParse(S("[%% userName %%][%% \"1\".userName %%][%% pathTitle %%]"));
  EXPECT_EQ(TemplateProcess(t, ctx), "[][][]");
  EXPECT_EQ(ctx.Unavailable().size(), 3u);
  TemplateMainSite().root = root_;
}

}  // namespace
