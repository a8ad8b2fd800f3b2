// Sysop settings: defaults, the flag table, cached copies, persistence,
// and the settings file "quil.set".
#include "forum_test_util.h"

#include <fstream>

#include "../server/quil_process.h"
#include "LgDb.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

using SysopTest = ForumTest;

TEST_F(SysopTest, NewDatabaseHasTheFactorySettings) {
  EXPECT_TRUE(ForumSysopAllowGuests(root_));
  EXPECT_TRUE(ForumSysopAllowAutoRegister(root_));
  EXPECT_TRUE(ForumSysopPwCaseSensitive(root_));
  EXPECT_TRUE(ForumSysopCheckRemoteAddr(root_));
  EXPECT_TRUE(ForumSysopLogRequest(root_));
  EXPECT_FALSE(ForumSysopLogPost(root_));
  EXPECT_EQ(ForumSysopLogoutTimeout(root_), 3600);
  EXPECT_EQ(ForumSysopImagesDir(root_), "/Images");
  EXPECT_EQ(ForumSysopBackgroundPattern(root_), "#FFFFFF");
  EXPECT_EQ(ForumSysopHtmlGuestLogin(root_), "Please log in as our guest.");
  EXPECT_TRUE(ForumSysopHtmlCategory(root_).IsNil());
  EXPECT_TRUE(StIsPrefixC(ForumSysopHtmlTopLevel(root_), "Choose an item from the list."));
  EXPECT_TRUE(ForumFileShowSummary(top_));
  // A file created here is a fresh install: the site banner is set.
  EXPECT_EQ(ForumSysopHtmlBanner(root_), "<center><h1>%% siteTitle %%</h1></center><hr>");
}

TEST_F(SysopTest, AbsentFieldsReadAsTheirDefaults) {
  ChHandle rec = ForumRootSysopRec(root_);
  ForumSysopSetAllowGuests(root_, false);
  ForumSysopSetLogRequest(root_, false);
  ASSERT_TRUE(LgDbRecFieldRemove(rec, LgDbFieldIdGet(rec, S("Flags"))));
  ForumSysopCacheLoad(root_);
  EXPECT_EQ(ForumSysopFlagsWord(root_, 1), int32_t(0x80120105u));
  EXPECT_TRUE(ForumSysopAllowGuests(root_));
  EXPECT_FALSE(ForumSysopLogRequest(root_));
  EXPECT_TRUE(ForumSysopServePictures(root_));
  EXPECT_TRUE(ForumSysopTopSearchEnabled(root_));
  EXPECT_TRUE(ForumSysopShowDeletedMsg(root_));
  EXPECT_FALSE(ForumSysopSearchEnabled(root_));
  EXPECT_EQ(ForumSysopFlagsWord(root_, 2), int32_t(0x30000800u));
  EXPECT_TRUE(ForumSysopForumOneSearch(root_));
  EXPECT_TRUE(ForumSysopUserDefaultReplyTo(root_));
  EXPECT_TRUE(ForumSysopUserDefaultSummaryButton(root_));
  EXPECT_EQ(ForumSysopTopicMax(root_), 15000);
  EXPECT_EQ(ForumSysopMaxDnsEntries(root_), -1);
  EXPECT_EQ(ForumSysopNameServerPort(root_), 1432);
  EXPECT_EQ(ForumSysopLiveFanoutSocksPort(root_), 1080);
  EXPECT_EQ(ForumSysopLdapServerMaxSessions(root_), 6);
  EXPECT_TRUE(ForumSysopGreeting(root_).IsNil());
}

TEST_F(SysopTest, EachFlagOwnsOneBitOfOneWord) {
  struct Row {
    bool (*get)(ForumRoot);
    void (*set)(ForumRoot, bool);
    int word;
    uint32_t bit;
    bool inverted;
  };
  const Row rows[] = {
#define ROW(name, word, bit, inverted) {ForumSysop##name, ForumSysopSet##name, word, bit, inverted},
      FORUM_SYSOP_FLAGS(ROW)
#undef ROW
  };
  for (const Row& r : rows) {
    int32_t before[3] = {ForumSysopFlagsWord(root_, 1), ForumSysopFlagsWord(root_, 2),
                         ForumSysopFlagsWord(root_, 3)};
    bool was = r.get(root_);
    r.set(root_, !was);
    EXPECT_EQ(r.get(root_), !was);
    for (int w = 1; w <= 3; ++w) {
      uint32_t diff = uint32_t(before[w - 1] ^ ForumSysopFlagsWord(root_, w));
      EXPECT_EQ(diff, w == r.word ? r.bit : 0u) << "word " << w << " bit " << r.bit;
    }
    bool setNow = (uint32_t(ForumSysopFlagsWord(root_, r.word)) & r.bit) != 0;
    EXPECT_EQ(r.get(root_), setNow != r.inverted);
    r.set(root_, was);
  }
}

TEST_F(SysopTest, SettingsSurviveAReopen) {
  ForumSysopSetSearchEnabled(root_, true);
  ForumSysopSetPwCaseSensitive(root_, false);
  ForumSysopSetPop3RequireApop(root_, true);
  ForumSysopSetMaxCols(root_, 99);
  ForumSysopSetGreeting(root_, S("Hello"));
  Reopen();
  EXPECT_TRUE(ForumSysopSearchEnabled(root_));
  EXPECT_FALSE(ForumSysopPwCaseSensitive(root_));
  EXPECT_EQ(uint32_t(ForumSysopFlagsWord(root_, 1)) & 0x800000u, 0x800000u);
  EXPECT_TRUE(ForumSysopPop3RequireApop(root_));
  EXPECT_EQ(ForumSysopMaxCols(root_), 99);
  EXPECT_EQ(ForumSysopGreeting(root_), "Hello");
  ForumSysopSetGreeting(root_, St());
  EXPECT_TRUE(ForumSysopGreeting(root_).IsNil());
}

TEST(QuilSettings, KeywordsIgnoreCaseAndBlanksAndWriteBackInOrder) {
  ForumQuilSettings s = ForumQuilSettingsParse(
      S("  WEBPORT = 8080 \nimages=/pics\n\nnot a setting line\nuseChat=0\nsmtpIp = 10.0.0.1\n"));
  EXPECT_EQ(s.GetInt("webPort", 0), 8080);
  EXPECT_EQ(s.Get("images"), "/pics");
  EXPECT_EQ(s.GetInt("useChat", 1), 0);
  EXPECT_EQ(s.Get("smtpIp"), "10.0.0.1");
  EXPECT_TRUE(s.Get("help").IsNil());
  EXPECT_EQ(s.GetInt("cgiPort", 77), 77);
  EXPECT_EQ(ForumQuilSettingsText(s), "images=/pics\nwebPort=8080\nuseChat=0\nsmtpIp=10.0.0.1\n");
  EXPECT_EQ(kForumSetKeywordCount, 58);  // with durableLog
}

TEST(QuilSettings, FileRoundTrip) {
  quiltest::ScratchDir dir;
  ForumQuilSettings s;
  s.Set("useNntp", S("1"));
  s.Set("masterIp", S("192.168.1.2"));
  ASSERT_EQ(ForumRootQuilSettingsSave(s, dir.File("quil.set")), 0);
  EXPECT_EQ(dir.Read("quil.set"), "masterIp=192.168.1.2\nuseNntp=1\n");
  ForumQuilSettings back = ForumRootQuilSettingsLoad(dir.File("quil.set"));
  EXPECT_EQ(back.GetInt("useNntp", 0), 1);
  EXPECT_EQ(back.Get("masterIp"), "192.168.1.2");
  EXPECT_TRUE(ForumRootQuilSettingsLoad(dir.File("none.set")).Get("useNntp").IsNil());
}

TEST(QuilSettings, BadContentHalts) {
  EXPECT_DEATH(ForumQuilSettingsParse(S("useChat=yes\n")), "Bad useChat value in settings file");
  EXPECT_DEATH(ForumQuilSettingsParse(S("webPort=\n")), "Bad webPort value in settings file");
  EXPECT_DEATH(ForumQuilSettingsParse(S("colour=blue\n")),
               "Unknown keyword in settings file: colour");
}

TEST(QuilSettings, TheServerRefusesToStartWithABadSettingsFile) {
  quiltest::ScratchDir dir;
  std::ofstream(dir.File("quil.set")) << "useChat=yes\n";
  quiltest::Ended e = quiltest::RunQuil(dir.path(), {"-server"});
  EXPECT_FALSE(e.exited && e.status == 0);
  EXPECT_NE(e.err.find("Bad useChat value in settings file"), std::string::npos) << e.err;
}

}  // namespace
