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
  EXPECT_TRUE(ForumSysopGreeting(root_).IsNil());
  EXPECT_TRUE(StIsPrefixC(ForumSysopHtmlTopLevel(root_), "Choose an item from the list."));
  EXPECT_TRUE(ForumFileShowSummary(top_));
  // A file created here is a fresh install: the site banner is set.
  EXPECT_EQ(ForumSysopHtmlBanner(root_), "<center><h1>%% siteTitle %%</h1></center><hr>");
}

// The flag table as the settings pages and exports know it, written out
// here (not taken from the code's own table) so that a wrong word, bit,
// sense or default in the code is caught.
TEST_F(SysopTest, EachFlagOwnsItsBitOfItsWordWithItsDefault) {
  struct Row {
    const char* name;
    bool (*get)(ForumRoot);
    void (*set)(ForumRoot, bool);
    int word;
    uint32_t bit;
    bool inverted;
    bool dflt;
  };
  const Row rows[] = {
      {"AllowGuests", ForumSysopAllowGuests, ForumSysopSetAllowGuests, 1, 0x1u, false, true},
      {"AllowAutoRegister", ForumSysopAllowAutoRegister, ForumSysopSetAllowAutoRegister, 1, 0x4u, false, true},
      {"LogFile", ForumSysopLogFile, ForumSysopSetLogFile, 1, 0x10u, false, false},
      {"LogErrAndExit", ForumSysopLogErrAndExit, ForumSysopSetLogErrAndExit, 1, 0x20u, false, false},
      {"LogRequest", ForumSysopLogRequest, ForumSysopSetLogRequest, 1, 0x40u, false, false},
      {"LogPost", ForumSysopLogPost, ForumSysopSetLogPost, 1, 0x80u, false, false},
      {"ServePictures", ForumSysopServePictures, ForumSysopSetServePictures, 1, 0x100u, false, true},
      {"TopicShowSysop", ForumSysopTopicShowSysop, ForumSysopSetTopicShowSysop, 1, 0x200u, false, false},
      {"ConvShowSysop", ForumSysopConvShowSysop, ForumSysopSetConvShowSysop, 1, 0x400u, false, false},
      {"TopicShowAuthor", ForumSysopTopicShowAuthor, ForumSysopSetTopicShowAuthor, 1, 0x800u, false, false},
      {"ConvShowAuthor", ForumSysopConvShowAuthor, ForumSysopSetConvShowAuthor, 1, 0x1000u, false, false},
      {"HideTimeDate", ForumSysopHideTimeDate, ForumSysopSetHideTimeDate, 1, 0x2000u, false, false},
      {"ShowPrepared", ForumSysopShowPrepared, ForumSysopSetShowPrepared, 1, 0x4000u, false, false},
      {"ServeUserInfoPictures", ForumSysopServeUserInfoPictures, ForumSysopSetServeUserInfoPictures, 1, 0x20000u, false, true},
      {"ShowDeletedMsg", ForumSysopShowDeletedMsg, ForumSysopSetShowDeletedMsg, 1, 0x40000u, true, true},
      {"SearchEnabled", ForumSysopSearchEnabled, ForumSysopSetSearchEnabled, 1, 0x80000u, false, false},
      {"TopSearchEnabled", ForumSysopTopSearchEnabled, ForumSysopSetTopSearchEnabled, 1, 0x100000u, false, true},
      {"LoginOnce", ForumSysopLoginOnce, ForumSysopSetLoginOnce, 1, 0x200000u, false, false},
      {"UseTemplates", ForumSysopUseTemplates, ForumSysopSetUseTemplates, 1, 0x400000u, false, false},
      {"PwCaseSensitive", ForumSysopPwCaseSensitive, ForumSysopSetPwCaseSensitive, 1, 0x800000u, true, true},
      {"RollForwardLog", ForumSysopRollForwardLog, ForumSysopSetRollForwardLog, 1, 0x2000000u, true, true},
      {"UseCookies", ForumSysopUseCookies, ForumSysopSetUseCookies, 1, 0x10000000u, false, false},
      {"IsNameServer", ForumSysopIsNameServer, ForumSysopSetIsNameServer, 1, 0x20000000u, false, false},
      {"IsNameServerClient", ForumSysopIsNameServerClient, ForumSysopSetIsNameServerClient, 1, 0x40000000u, false, false},
      {"EmailValidate", ForumSysopEmailValidate, ForumSysopSetEmailValidate, 2, 0x8u, false, false},
      {"ProvisionalIsReadOnly", ForumSysopProvisionalIsReadOnly, ForumSysopSetProvisionalIsReadOnly, 2, 0x10u, false, false},
      {"ProvisionalIsModerated", ForumSysopProvisionalIsModerated, ForumSysopSetProvisionalIsModerated, 2, 0x20u, false, false},
      {"ShowTimes", ForumSysopShowTimes, ForumSysopSetShowTimes, 2, 0x40u, false, false},
      {"UseEmailScript", ForumSysopUseEmailScript, ForumSysopSetUseEmailScript, 2, 0x80u, false, false},
      {"LiveFanoutCanRecord", ForumSysopLiveFanoutCanRecord, ForumSysopSetLiveFanoutCanRecord, 2, 0x100u, false, false},
      {"SessRecord", ForumSysopSessRecord, ForumSysopSetSessRecord, 2, 0x200u, false, false},
      {"SessRecordData", ForumSysopSessRecordData, ForumSysopSetSessRecordData, 2, 0x400u, false, false},
      {"ForumOneSearch", ForumSysopForumOneSearch, ForumSysopSetForumOneSearch, 2, 0x800u, false, true},
      {"LogSynch", ForumSysopLogSynch, ForumSysopSetLogSynch, 2, 0x1000u, false, false},
      {"SaveSlaveSynch", ForumSysopSaveSlaveSynch, ForumSysopSetSaveSlaveSynch, 2, 0x2000u, false, false},
      {"TrackUserPosts", ForumSysopTrackUserPosts, ForumSysopSetTrackUserPosts, 2, 0x4000u, false, false},
      {"CheckRemoteAddr", ForumSysopCheckRemoteAddr, ForumSysopSetCheckRemoteAddr, 2, 0x20000u, true, true},
      {"DefaultNewUsersCookie", ForumSysopDefaultNewUsersCookie, ForumSysopSetDefaultNewUsersCookie, 2, 0x40000u, true, true},
      {"DefaultOldUsersCookie", ForumSysopDefaultOldUsersCookie, ForumSysopSetDefaultOldUsersCookie, 2, 0x80000u, true, true},
      {"HostIsTemplate", ForumSysopHostIsTemplate, ForumSysopSetHostIsTemplate, 2, 0x100000u, false, false},
      {"SecureServer", ForumSysopSecureServer, ForumSysopSetSecureServer, 2, 0x200000u, false, false},
      {"ShowGetInfoTop", ForumSysopShowGetInfoTop, ForumSysopSetShowGetInfoTop, 2, 0x400000u, false, false},
      {"ShowGetInfo", ForumSysopShowGetInfo, ForumSysopSetShowGetInfo, 2, 0x800000u, false, false},
      {"CommonLogCombined", ForumSysopCommonLogCombined, ForumSysopSetCommonLogCombined, 2, 0x2000000u, false, false},
      {"HostQuickEdit", ForumSysopHostQuickEdit, ForumSysopSetHostQuickEdit, 2, 0x4000000u, true, true},
      {"UserDefaultThreading", ForumSysopUserDefaultThreading, ForumSysopSetUserDefaultThreading, 2, 0x8000000u, false, false},
      {"UserDefaultReplyTo", ForumSysopUserDefaultReplyTo, ForumSysopSetUserDefaultReplyTo, 2, 0x10000000u, false, true},
      {"UserDefaultSummaryButton", ForumSysopUserDefaultSummaryButton, ForumSysopSetUserDefaultSummaryButton, 2, 0x20000000u, false, true},
      {"NntpReceiveEnclosures", ForumSysopNntpReceiveEnclosures, ForumSysopSetNntpReceiveEnclosures, 2, 0x80000000u, false, false},
      {"NntpSendEnclosures", ForumSysopNntpSendEnclosures, ForumSysopSetNntpSendEnclosures, 3, 0x1u, false, false},
      {"HttpUploads", ForumSysopHttpUploads, ForumSysopSetHttpUploads, 3, 0x2u, false, false},
      {"HttpDownloads", ForumSysopHttpDownloads, ForumSysopSetHttpDownloads, 3, 0x4u, false, false},
      {"LogAuthentication", ForumSysopLogAuthentication, ForumSysopSetLogAuthentication, 3, 0x10u, false, false},
      {"UserIsText", ForumSysopUserIsText, ForumSysopSetUserIsText, 3, 0x20u, false, false},
      {"VirtualForums", ForumSysopVirtualForums, ForumSysopSetVirtualForums, 3, 0x40u, false, false},
      {"Pop3RequireApop", ForumSysopPop3RequireApop, ForumSysopSetPop3RequireApop, 3, 0x400u, false, false},
      {"ObjectionablePhone", ForumSysopObjectionablePhone, ForumSysopSetObjectionablePhone, 3, 0x8u, false, false},
      {"IsLiveControl", ForumSysopIsLiveControl, ForumSysopSetIsLiveControl, 3, 0x80u, false, false},
      {"IsLiveFanout", ForumSysopIsLiveFanout, ForumSysopSetIsLiveFanout, 3, 0x100u, false, false},
      {"UseLiveControl", ForumSysopUseLiveControl, ForumSysopSetUseLiveControl, 3, 0x200u, false, false},
  };
  // Every flag of the code is in the table above.
  int flags = 0;
#define COUNT(name, word, bit, inverted) ++flags;
  FORUM_SYSOP_FLAGS(COUNT)
#undef COUNT
  EXPECT_EQ(flags, int(sizeof rows / sizeof rows[0]));
  // The defaults hold with the three words absent.
  ChHandle rec = ForumRootSysopRec(root_);
  for (const char* word : {"Flags", "Flags2", "Flags3"})
    (void)LgDbRecFieldRemove(rec, LgDbFieldIdGet(rec, S(word)));
  ForumSysopCacheLoad(root_);
  for (const Row& r : rows) EXPECT_EQ(r.get(root_), r.dflt) << r.name;
  // Whole words, with the bits no setting names.
  EXPECT_EQ(ForumSysopFlagsWord(root_, 1), int32_t(0x80120105u));
  EXPECT_EQ(ForumSysopFlagsWord(root_, 2), int32_t(0x30000800u));
  for (const Row& r : rows) {
    int32_t before[3] = {ForumSysopFlagsWord(root_, 1), ForumSysopFlagsWord(root_, 2),
                         ForumSysopFlagsWord(root_, 3)};
    bool was = r.get(root_);
    r.set(root_, !was);
    EXPECT_EQ(r.get(root_), !was) << r.name;
    for (int w = 1; w <= 3; ++w) {
      uint32_t diff = uint32_t(before[w - 1] ^ ForumSysopFlagsWord(root_, w));
      EXPECT_EQ(diff, w == r.word ? r.bit : 0u) << r.name << " word " << w;
    }
    // Set means the bit is set, unless the flag is inverted.
    bool bitSet = (uint32_t(ForumSysopFlagsWord(root_, r.word)) & r.bit) != 0;
    EXPECT_EQ(r.get(root_), bitSet != r.inverted) << r.name;
    r.set(root_, was);
  }
}

TEST_F(SysopTest, EachIntegerSettingHasItsDefault) {
  struct Row {
    const char* field;
    int32_t (*get)(ForumRoot);
    int32_t dflt;
  };
  const Row rows[] = {
      {"LogoutTimeout", ForumSysopLogoutTimeout, 3600},
      {"TopicMaxData", ForumSysopTopicMax, 15000},
      {"UserPictureWidth", ForumSysopUserPictWidth, 48},
      {"UserPictureHeight", ForumSysopUserPictHeight, 72},
      {"CatForumSeq", ForumSysopCatForumSeq, 2},
      {"MaxCols", ForumSysopMaxCols, 70},
      {"BackupCount", ForumSysopBackupCount, 2},
      {"NamePort", ForumSysopNameServerPort, 1432},
      {"TitleMax", ForumSysopTitleMax, 256},
      {"FolderHeadingMax", ForumSysopFolderHeadingMax, 4000},
      {"DiscussionHeadingMax", ForumSysopDiscussionHeadingMax, 4000},
      {"MessageMax", ForumSysopMessageMax, 4000},
      {"EmailStorage", ForumSysopEmailStorage, 0},
      {"EmailMessages", ForumSysopEmailMessages, 0},
      {"MaxDnsEntries", ForumSysopMaxDnsEntries, -1},
      {"SmtpMaxMessage", ForumSysopSmtpMaxMessage, 204800},
      {"ImapMaxMessage", ForumSysopImapMaxMessage, 204800},
      {"SmtpAfterLogin", ForumSysopSmtpAfterLogin, 10},
      {"MirrorThreads", ForumSysopMirrorThreads, 10},
      {"FanoutClientMax", ForumSysopFanoutClientsMax, 200},
      {"FanoutAudioMax", ForumSysopFanoutAudioMax, 0},
      {"FanoutmTropMax", ForumSysopFanoutmTropMax, 0},
      {"LiveFanoutSocks", ForumSysopLiveFanoutSocks, 0},
      {"LiveFanoutSocksPort", ForumSysopLiveFanoutSocksPort, 1080},
      {"WebMaxListens", ForumSysopWebMaxListens, 64},
      {"GuestNewHours", ForumSysopGuestNewHours, 168},
      {"NntpMaxSessions", ForumSysopNntpMaxSessions, 10},
      {"EmailSessions", ForumSysopEmailSessions, 12},
      {"Pop3MaxSessions", ForumSysopPop3MaxSessions, 12},
      {"ImapMaxSessions", ForumSysopImapMaxSessions, 12},
      {"SmtpMaxSessions", ForumSysopSmtpMaxSessions, 12},
      {"Pop3Timeout", ForumSysopPop3Timeout, 10},
      {"SmtpTimeout", ForumSysopSmtpTimeout, 10},
      {"NntpTimeout", ForumSysopNntpTimeout, 10},
      {"ZirevuzTimeout", ForumSysopZirevuzTimeout, 10},
      {"ImapTimeout", ForumSysopImapTimeout, 30},
      {"LdapServerTimeout", ForumSysopLdapServerTimeout, 30},
      {"LdapServerMaxSessions", ForumSysopLdapServerMaxSessions, 6},
      {"PictureRev", ForumSysopDefaultPictRev, 0},
      {"DbVersion", ForumSysopDbVersion, 0},
      {"WhileLimit", ForumSysopWhileLimit, 1000},
      {"SiteKind", ForumSysopSiteKind, 0},
  };
  ChHandle rec = ForumRootSysopRec(root_);
  for (const Row& r : rows) {
    (void)LgDbRecFieldRemove(rec, LgDbFieldIdGet(rec, S(r.field)));
    EXPECT_EQ(r.get(root_), r.dflt) << r.field;
    // The getter reads the field of that name.
    LgDbRecPutInt(rec, LgDbFieldIdGet(rec, S(r.field)), 4242);
    EXPECT_EQ(r.get(root_), 4242) << r.field;
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
      S("  WEBPORT = 8080 \nimages=/pics\n\n  \nuseChat=0\nsmtpIp = 10.0.0.1\n"));
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
  EXPECT_DEATH(ForumQuilSettingsParse(S("cgiPort=\n")), "Bad cgiPort value in settings file");
  // webPort is a list ("8080, 127.0.0.1:8081"), kept as text.
  EXPECT_EQ(ForumQuilSettingsParse(S("webPort=8080, 127.0.0.1:8081\n")).Get("webPort"),
            "8080, 127.0.0.1:8081");
  EXPECT_DEATH(ForumQuilSettingsParse(S("colour=blue\n")),
               "Unknown keyword in settings file: colour");
  // A line without "=" is a keyword without a value, and no keyword of the
  // list.
  EXPECT_DEATH(ForumQuilSettingsParse(S("webPort=80\nnot a setting line\n")),
               "Unknown keyword in settings file: not a setting line");
  EXPECT_DEATH(ForumQuilSettingsParse(S("useChat\n")), "Unknown keyword in settings file: useChat");
}

TEST(QuilSettings, TheServerRefusesToStartWithABadSettingsFile) {
  quiltest::ScratchDir dir;
  std::ofstream(dir.File("quil.set")) << "useChat=yes\n";
  quiltest::Ended e = quiltest::RunQuil(dir.path(), {"-server"});
  EXPECT_FALSE(e.exited && e.status == 0);
  EXPECT_NE(e.err.find("Bad useChat value in settings file"), std::string::npos) << e.err;
}

}  // namespace
