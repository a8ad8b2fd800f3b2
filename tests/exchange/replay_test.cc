// The replay: a crash after changes loses none of them, whatever saves
// came between; a clean stop replays nothing; a marker with another id is
// not replayed; the second log after a backup's rotation; an unfinished
// record at the end; every error message with its line and character; and
// random changes with random crashes against the conference kept alive.
#include <random>

#include "ForumEi.h"
#include "Sgml.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::Dump;
using exchangetest::S;

class ReplayTest : public exchangetest::ExchangeTest {
 protected:
  FrmBkReplayResult Replay(const std::string& text, const St& expected = St()) {
    SgmlStringSource source(text);
    return FrmBkRollForwardEx(root_, &source, expected);
  }
  // A little of everything through the journaling setters.
  void Changes(int round) {
    std::string r = std::to_string(round);
    St folderName;
    ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), StFromView("folder" + r),
                                  StFromView("Folder " + r), 0, false, &folderName),
              0);
    ForumFile folder = ForumFileHasChild(top_, folderName);
    St name;
    ASSERT_EQ(FrmBkFileItemCreate(folder, S("forum-topic"), S("x"), StFromView("Talk " + r), 0,
                                  false, &name),
              0);
    ForumFile d = ForumFileHasChild(folder, name);
    int32_t first = Post(d, ("first post " + r).c_str());
    (void)Post(d, "second <post> & \"more\"\r\nline two");
    ASSERT_EQ(FrmBkItemSetTitle(d, first, StFromView("edited " + r)), 0);
    FrmBkFileSetSortSeq(folder, round);
    FrmBkFileSetShowAuthor(d, true);
    FrmBkFileSetHtmlBanner(folder, StFromView("<b>banner " + r + "</b>"));
    FrmBkAccEnable(folder, kForumAccAllGuests, 0x1);
    ChHandle user = 0;
    ASSERT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, StFromView("User " + r),
                              StFromView("u" + r + "@x.org"), StFromView("0123456789abcdef"),
                              &user),
              0);
    FrmBkUserSetBio(root_, user, StFromView("bio " + r));
    FrmBkUserSetMaxData(root_, user, 1000 + round);
    FrmBkUserIncLogin(root_, user);
    ChHandle group = 0;
    ASSERT_EQ(FrmBkGroupCreate(root_, StFromView("Group " + r), &group), 0);
    ASSERT_EQ(FrmBkGroupAddUser(root_, group, user), 0);
    // The group's own access list: its member hosts it, guests are out.
    ForumFile g = ForumFileOpenUnique(root_, ForumUserUniqueId(root_, group));
    ASSERT_TRUE(g);
    ASSERT_TRUE(FrmBkAccCreateList(g));
    FrmBkAccEnable(g, user, 0x3dffffff);
    FrmBkAccInhibit(g, kForumAccAllGuests, 0x3fffffff);
    FrmBkSysopSetMaxCols(root_, 70 + round);
    FrmBkSysopSetGreeting(root_, StFromView("hello " + r));
    FrmBkSysopSetIsLiveFanout(root_, round % 2 == 1);
    FrmBkSysopSetLiveClientPort(root_, 7000 + round);
    FrmBkSysopSetLdapIp(root_, StFromView("ldap" + r + ".example.com"));
  }
};

TEST_F(ReplayTest, ACrashLosesNoChangeWhateverSavesCameBetween) {
  Changes(1);
  ASSERT_EQ(ForumRootSave(root_), 0);
  Changes(2);
  ASSERT_EQ(ForumRootSave(root_), 0);
  Changes(3);
  std::string before = Dump(root_);
  CrashAndReopen();
  EXPECT_EQ(Dump(root_), before);
  Close();
  std::string out;
  EXPECT_EQ(exchangetest::DbCheck("quil.db", &out), 0) << out;
}

TEST_F(ReplayTest, DeletionsMovesAndRenamesReplay) {
  Changes(1);
  Changes(2);
  ForumFile one = ForumFileHasChild(top_, S("folder1"));
  ForumFile two = ForumFileHasChild(top_, S("folder2"));
  ForumFile talk = ForumFileHasChild(two, S("1"));
  ASSERT_EQ(FrmBkFileMoveTo(talk, one, St()), 0);
  talk = ForumFile();
  ASSERT_EQ(FrmBkFileSetName(two, S("renamed")), 0);
  ForumFile moved = ForumFileHasChild(one, S("2"));
  ASSERT_TRUE(moved);
  EXPECT_TRUE(FrmBkItemDestroy(moved, 0));
  ASSERT_EQ(FrmBkCatItemDestroy(one, S("1")), 0);
  ChHandle user = ForumUserLookup(root_, S("User 1"));
  ASSERT_EQ(FrmBkUserDestroy(root_, user), 0);
  one = two = moved = ForumFile();
  std::string before = Dump(root_);
  CrashAndReopen();
  EXPECT_EQ(Dump(root_), before);
}

TEST_F(ReplayTest, CleanStopReplaysNothing) {
  Changes(1);
  std::string before = Dump(root_);
  ASSERT_EQ(FrmBkRecordStart("logRoll"), 0);
  Reopen();
  EXPECT_EQ(Dump(root_), before);
  std::string progress = exchangetest::ReadFileBytes("logRoll");
  // Only the marker of the last save was read.
  EXPECT_NE(progress.find("* Roll-forward log processed, 1 items\r\n"), std::string::npos)
      << progress;
}

TEST_F(ReplayTest, AMarkerWithAnotherIdIsNotReplayed) {
  Changes(1);
  ASSERT_EQ(ForumRootSave(root_), 0);
  std::string saved = Dump(root_);
  St code;
  int64_t position = 0;
  ASSERT_TRUE(ForumGetSave(root_, &code, &position));
  Changes(2);
  Crash();
  // Another id (same length) where the image's marker is.
  std::string log = Log();
  ASSERT_EQ(log.substr(size_t(position), 9), "<save id=");
  log[size_t(position) + 9] = log[size_t(position) + 9] == 'Z' ? 'Y' : 'Z';
  exchangetest::WriteFileBytes("quilroll.1", log);
  ASSERT_EQ(FrmBkRecordStart("logRoll"), 0);
  Open();
  EXPECT_EQ(Dump(root_), saved);
  EXPECT_NE(exchangetest::ReadFileBytes("logRoll").find("* Roll-forward: save marker " +
                                                        code.Str() + " at "),
            std::string::npos);
}

TEST_F(ReplayTest, ElevenAttributesStopTheReplayAtTheirLineAndCharacter) {
  ASSERT_EQ(FrmBkRecordStart("logRoll"), 0);
  FrmBkReplayResult r =
      Replay("<r nextUnique=260000000>\r\n<r nextUnique=260000001>\r\n  <f f=.ee6b280 title=a "
             "title=b title=c title=d title=e title=f title=g title=h title=i sortSeq=1>\r\n"
             "<r nextUnique=260000009>\r\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.items, 2);
  EXPECT_EQ(r.error, "* Roll-forward error at line 3, character 3: too many attributes sortSeq");
  EXPECT_EQ(ForumNextUniqueId(root_), 260000001);
  EXPECT_EQ(ForumFileSortSeq(top_), 0);
  std::string progress = exchangetest::ReadFileBytes("logRoll");
  EXPECT_NE(progress.find(r.error + "\r\n"), std::string::npos);
}

TEST_F(ReplayTest, ErrorMessages) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"<f title=x>", "line 1, character 1: missing file id"},
      {"\r\n <f f=.fffffff title=x>", "line 2, character 2: could not open specified file .fffffff"},
      {"<f f=.ee6b280 bogus=1>", "line 1, character 1: unknown attribute bogus"},
      {"x\ny\n<zap id=1>", "line 3, character 1: unknown roll-forward tag zap"},
      {"<zap a=1>", "line 1, character 1: unknown attribute a"},
      {"<f f=.ee6b280 sortSeq=abc>", "line 1, character 1: bad setting sortSeq abc"},
      {"<s rollForward=yes>", "line 1, character 1: bad setting rollForward yes"},
      {"<s site=a restart>", "line 1, character 1: illegal attribute restart"},
      {"<r nextUnique=x1>", "line 1, character 1: bad integer value x1"},
      {"<r>", "line 1, character 1: missing attribute"},
      {"<f f=.ee6b280 u=1 enable=zz>", "line 1, character 1: bad hex value for enable flags zz"},
      {"<f f=.ee6b280 new=0>", "line 1, character 1: file is not a discussion"},
      {"<f f=.ee6b280 linkType=1>", "line 1, character 1: not a link file"},
      {"<f f=.ee6b280 moveTo=.ee6b280>", "line 1, character 1: file is not a folder .ee6b280"},
      {"<response>", "line 1, character 1: received unexpected response from master server"},
  };
  for (const Case& c : cases) {
    FrmBkReplayResult r = Replay(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_EQ(r.error, std::string("* Roll-forward error at ") + c.error) << c.text;
  }
  // A root field whose name no name space takes.
  std::string longName(3001, 'n');
  FrmBkReplayResult r = Replay("<r field=" + longName + " value=1>");
  EXPECT_EQ(r.error, "* Roll-forward error at line 1, character 1: bad setting field " + longName);
  EXPECT_FALSE(FrmBkRootSetFieldId(root_, StFromView(longName), S("1")));
  EXPECT_TRUE(FrmBkRootSetFieldId(root_, S("siteMotto"), S("hi")));
  EXPECT_TRUE(Replay("<r field=siteMotto value=there>").ok);
  EXPECT_EQ(ForumRootField(root_, S("siteMotto")), "there");
}

TEST_F(ReplayTest, TheExpectedMarkerDecidesOnTheFirstTag) {
  St code = S("abcdefghijk");
  FrmBkReplayResult r = Replay("<save id=abcdefghijk unique=ee6b3e8>\r\n<r nextUnique=5>", code);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.markerMatched);
  EXPECT_EQ(ForumNextUniqueId(root_), 0xee6b3e8);
  // Another code, a record, or an id that differs in case: nothing is done.
  for (const char* text : {"<save id=abcdefghijK unique=ee6b3f0>", "<r nextUnique=260000000>",
                           "<f f=.ee6b280 title=x>"}) {
    FrmBkReplayResult no = Replay(text, code);
    EXPECT_FALSE(no.ok) << text;
    EXPECT_FALSE(no.markerMatched) << text;
    EXPECT_EQ(no.items, 0);
  }
  EXPECT_EQ(ForumNextUniqueId(root_), 0xee6b3e8);
  EXPECT_TRUE(Replay("<restart>\r\n", code).ok);
  // Without an expected code a marker only moves the counter on.
  EXPECT_TRUE(Replay("<save id=zzzzzzzzzzz unique=ee6b400><eof><r nextUnique=1>").ended);
  EXPECT_EQ(ForumNextUniqueId(root_), 0xee6b400);
}

TEST_F(ReplayTest, TheReplayWritesNothingBackToTheLog) {
  std::string log = Log();
  EXPECT_TRUE(Replay("<f f=.ee6b280 title=quiet>\r\n").ok);
  EXPECT_EQ(ForumFileTitle(top_), "quiet");
  EXPECT_EQ(Log(), log);
  EXPECT_TRUE(FrmBkLogIsOpen(root_));
}

TEST_F(ReplayTest, AMarkerRotatedIntoTheSecondLogLeadsThroughBoth) {
  Changes(1);
  ASSERT_EQ(ForumRootSave(root_), 0);
  Changes(2);
  // A backup rotated the logs and began a new one, and the server died
  // before the image was saved again.
  ForumSetLogSink(root_, nullptr);
  ASSERT_EQ(rename("quilroll.1", "quilroll.2"), 0);
  ASSERT_EQ(FrmBkLogAttach(root_, "quilroll.1"), 0);
  ForumSetSave(root_, ForumNewSaveCode(root_));
  Changes(3);
  std::string before = Dump(root_);
  CrashAndReopen();
  EXPECT_EQ(Dump(root_), before);
}

TEST_F(ReplayTest, AnUnfinishedRecordAtTheEndIsCutOff) {
  Changes(1);
  std::string before = Dump(root_);
  Crash();
  std::string log = Log();
  exchangetest::WriteFileBytes("quilroll.1", log + "<f f=.ee6b280 title=\"never acknowl");
  Open();
  EXPECT_EQ(Dump(root_), before);
  EXPECT_EQ(Log().substr(0, log.size()), log);
  EXPECT_EQ(Log().substr(log.size(), 11), "<restart>\r\n");
  FrmBkFileSetTitle(top_, S("later"));
  before = Dump(root_);
  CrashAndReopen();
  EXPECT_EQ(Dump(root_), before);
}

TEST_F(ReplayTest, WithoutRollForwardNoLogIsKept) {
  FrmBkSysopSetRollForwardLog(root_, false);
  Reopen();
  EXPECT_FALSE(FrmBkLogIsOpen(root_));
  std::string log = Log();
  FrmBkFileSetTitle(top_, S("unlogged"));
  EXPECT_EQ(Log(), log);
  FrmBkSysopSetRollForwardLog(root_, true);
  Reopen();
  EXPECT_TRUE(FrmBkLogIsOpen(root_));
  EXPECT_EQ(ForumFileTitle(top_), "unlogged");
}

TEST_F(ReplayTest, RandomChangesAndCrashes) {
  unsigned seed = std::random_device{}();
  printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  int round = 0;
  for (int crash = 0; crash < 6; ++crash) {
    int steps = 1 + int(rng() % 4);
    for (int i = 0; i < steps; ++i) {
      switch (rng() % 6) {
        case 0: Changes(++round); break;
        case 1: ASSERT_EQ(ForumRootSave(root_), 0); break;
        case 2: {
          ForumFile f = ForumFileHasChild(top_, StFromView("folder" + std::to_string(round)));
          if (f) FrmBkFileSetTitle(f, StFromView("t" + std::to_string(rng())));
          break;
        }
        case 3: {
          ForumFile f = ForumFileHasChild(top_, StFromView("folder" + std::to_string(round)));
          ForumFile d = f ? ForumFileHasChild(f, S("1")) : ForumFile();
          if (d) Post(d, std::to_string(rng()).c_str());
          break;
        }
        case 4: FrmBkSysopSetAllowGuests(root_, rng() % 2 == 0); break;
        default: Reopen(); break;
      }
    }
    std::string before = Dump(root_);
    CrashAndReopen();
    ASSERT_EQ(Dump(root_), before) << "seed " << seed << " crash " << crash;
  }
  Close();
  std::string out;
  EXPECT_EQ(exchangetest::DbCheck("quil.db", &out), 0) << out;
}

}  // namespace
}  // namespace quil
