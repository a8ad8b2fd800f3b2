// Expiration: the folder settings, which discussions a run picks, what
// expiring one does (move, save to the "deleted" file, purge) with its
// record lines, the task's timing on the RAM queue, and the "deleted"
// file's text.  The forum's clock and the RAM queue's ticks are the test's.
#include <fstream>
#include <sstream>

#include "forum_test_util.h"
#include "halt_text.h"

#include "Ec.h"
#include "Fi.h"
#include "ForumAcc.h"
#include "ForumModerated.h"
#include "ForumUser.h"
#include "Ht.h"
#include "Qu.h"
#include "Td.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

int64_t seconds = 0;  // the forum's clock
int64_t ticks = 0;    // the RAM queue's
int64_t milliRest = 0;
int64_t Seconds() { return seconds; }
int64_t Ticks() { return ticks; }

int64_t Local(int year, int month, int day, int hour, int minute) {
  Td t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  return TdToSeconds(t, false);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ArchiveTest : public ForumTest {
 protected:
  void SetUp() override {
    ticks = 5000000;
    milliRest = 0;
    seconds = Local(2026, 3, 10, 3, 30);
    HtSetTimeFn(Ticks);
    ForumSetClock(Seconds);
    ForumTest::SetUp();
    ForumOnRecord([this](const St& line) { lines_.push_back(line.Str()); });
    Create(top_, "forum-category", "F", "Folder");
    ForumFile folder = Path("/F");
    ForumCategorySetArchiveDays(folder, 30);
  }
  void TearDown() override {
    ArchiveBgTerm();
    ForumTest::TearDown();
    ForumSetClock(nullptr);
    HtSetTimeFn(nullptr);
  }
  // A discussion in folder whose last post was daysAgo days before now.
  int32_t Old(const char* folder, int daysAgo, const char* title) {
    int64_t saved = seconds;
    seconds -= int64_t(daysAgo) * 86400;
    ForumFile f = Path(folder);
    St name;
    EXPECT_EQ(ForumCatItemCreate(f, S("forum-topic"), S("x"), S(title), 0, true, &name), 0);
    ForumFile d = ForumFileHasChild(f, name);
    EXPECT_EQ(ForumItemCreate(d, 0, S(""), S("text"), S("last words"), -1, true, nullptr), 0);
    seconds = saved;
    return ForumFileUniqueId(d);
  }
  std::vector<int32_t> Pick() {
    std::vector<int32_t> list;
    ArchiveBgAddLi(top_, ForumNow(), &list);
    return list;
  }
  // Moves both clocks on.
  static void Advance(int64_t ms) {
    ticks += ms;
    milliRest += ms;
    seconds += milliRest / 1000;
    milliRest %= 1000;
    (void)QuProcess(100, 0);
  }
  bool Alive(int32_t id) { return bool(ForumFileOpenUnique(root_, id)); }

  std::vector<std::string> lines_;
};

TEST_F(ArchiveTest, SettingsOfFolders) {
  ForumFile folder = Path("/F");
  EXPECT_EQ(ForumCategoryArchiveDays(folder), 30);
  ForumCategorySetArchiveDays(folder, 0);
  EXPECT_EQ(ForumCategoryArchiveDays(folder), 0);
  EXPECT_FALSE(LgDbRecHasField(ForumFileRecord(folder), LgDbFieldIdLookup(ForumFileRecord(folder),
                                                                          S("ArchiveDays"))));
  EXPECT_TRUE(ForumCategoryArchiveTo(folder).IsNil());
  ForumCategorySetArchiveTo(folder, S("purge"));
  EXPECT_EQ(ForumCategoryArchiveTo(folder), "purge");
  ForumCategorySetArchiveTo(folder, S(""));
  EXPECT_TRUE(ForumCategoryArchiveTo(folder).IsNil());
  Old("/F", 1, "d");
  ForumFile d = Path("/F/1");
  EXPECT_EQ(ForumCategoryArchiveDays(d), 0);
  EXPECT_TRUE(ForumCategoryArchiveTo(d).IsNil());
}

TEST_F(ArchiveTest, ThirtyDaysExpireAtThirtyOneDaysAndNotAtTwentyNine) {
  int32_t d31 = Old("/F", 31, "d31");
  int32_t d29 = Old("/F", 29, "d29");
  int32_t d30 = Old("/F", 30, "d30");  // date + 30 days is the run date: not after it
  int32_t kept = Old("/F", 40, "permanent");
  ForumFileSetPermanent(ForumFileOpenUnique(root_, kept), true);
  // A subfolder without the setting keeps its discussions; one with its own
  // setting gives its own.
  Create(Path("/F"), "forum-category", "Sub");
  Create(Path("/F"), "forum-category", "Short");
  ForumCategorySetArchiveDays(Path("/F/Short"), 2);
  int32_t inSub = Old("/F/Sub", 100, "in sub");
  int32_t short3 = Old("/F/Short", 3, "three");
  int32_t short1 = Old("/F/Short", 1, "one");
  EXPECT_EQ(Pick(), (std::vector<int32_t>{d31, d30, short3}));
  (void)d29;
  (void)inSub;
  (void)short1;
  // Expiring leaves the 29-day and the permanent discussion.
  for (int32_t id : Pick()) ASSERT_EQ(ArchiveBgDoArchive(root_, id), 0);
  EXPECT_FALSE(Alive(d31));
  EXPECT_FALSE(Alive(d30));
  EXPECT_TRUE(Alive(d29));
  EXPECT_TRUE(Alive(kept));
  EXPECT_TRUE(Alive(inSub));
  EXPECT_TRUE(Pick().empty());
}

TEST_F(ArchiveTest, PurgeRemovesWithoutTheDeletedFile) {
  ForumCategorySetArchiveTo(Path("/F"), S("purge"));
  int32_t id = Old("/F", 31, "Old talk");
  std::string unique = ForumUniquePathOf(id).Str();
  ASSERT_EQ(ArchiveBgDoArchive(root_, id), 0);
  EXPECT_FALSE(Alive(id));
  EXPECT_FALSE(FiExists(ForumDeletedFilePath()));
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], " * Expiration \"/FOld talk\" (" + unique + ") purged");
  EXPECT_EQ(ForumFileSize(Path("/F")), 0);
}

TEST_F(ArchiveTest, AnArchiveToThatDoesNotOpenSavesAndRemoves) {
  ForumCategorySetArchiveTo(Path("/F"), S("/Nowhere"));
  int32_t id = Old("/F", 31, "Old talk");
  std::string unique = ForumUniquePathOf(id).Str();
  std::string text = ForumExportDiscussion(ForumFileOpenUnique(root_, id)).Str();
  ASSERT_EQ(ArchiveBgDoArchive(root_, id), 0);
  EXPECT_FALSE(Alive(id));
  EXPECT_EQ(ReadFile("deleted"), text);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], " * Expiration \"/FOld talk\" (" + unique + ") to deleted file");
  // An empty ArchiveTo does the same, and the file grows.
  ForumCategorySetArchiveTo(Path("/F"), St());
  int32_t second = Old("/F", 50, "Older");
  std::string text2 = ForumExportDiscussion(ForumFileOpenUnique(root_, second)).Str();
  ASSERT_EQ(ArchiveBgDoArchive(root_, second), 0);
  EXPECT_EQ(ReadFile("deleted"), text + text2);
}

TEST_F(ArchiveTest, AnArchiveToFolderTakesTheDiscussion) {
  Create(top_, "forum-category", "Old", "Old things");
  ForumCategorySetArchiveTo(Path("/F"), S("/Old"));
  int32_t id = Old("/F", 31, "Old talk");
  std::string unique = ForumUniquePathOf(id).Str();
  std::string target = ForumFileUniquePath(Path("/Old")).Str();
  ASSERT_EQ(ArchiveBgDoArchive(root_, id), 0);
  ForumFile moved = ForumFileOpenUnique(root_, id);
  ASSERT_TRUE(moved);
  EXPECT_EQ(ForumFilePath(moved), "/Old/1");
  EXPECT_EQ(ForumMessageCount(moved), 1);
  EXPECT_FALSE(FiExists("deleted"));
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], " * Expiration \"/FOld talk\" (" + unique + ") to \"/Old\" (" + target + ")");
}

TEST_F(ArchiveTest, AFailedSaveKeepsTheDiscussion) {
  int32_t id = Old("/F", 31, "Old talk");
  ForumSetDeletedDir("no/such/dir");
  uint16_t status = ArchiveBgDoArchive(root_, id);
  ForumSetDeletedDir("");
  EXPECT_NE(status, 0);
  EXPECT_TRUE(Alive(id));
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], " * Expiration processing ERROR: " + EcToSt(status).Str());
}

TEST_F(ArchiveTest, GoneAndOtherItemsAreSkipped) {
  int32_t id = Old("/F", 31, "gone");
  ASSERT_EQ(ForumCatItemDestroy(Path("/F"), S("1")), 0);
  EXPECT_EQ(ArchiveBgDoArchive(root_, id), 0);
  int32_t folder = ForumFileUniqueId(Path("/F"));
  EXPECT_EQ(ArchiveBgDoArchive(root_, folder), 0);
  EXPECT_EQ(ArchiveBgDoArchive(root_, 12345), 0);
  EXPECT_TRUE(lines_.empty());
  EXPECT_TRUE(Alive(folder));
}

TEST_F(ArchiveTest, AnItemLeftOpenHalts) {
  int32_t id = Old("/F", 31, "Old talk");
  std::string text = quiltest::HaltText([&] {
    ForumFile held = Path("/F");
    (void)ArchiveBgDoArchive(root_, id);
  });
  EXPECT_EQ(text, "assert:ArchiveBgDoArchive-- open items left at archive start");
}

TEST_F(ArchiveTest, TheTaskStartsLateRunsInHourThreeAndTakesOneEveryTwoSeconds) {
  seconds = Local(2026, 3, 10, 2, 50);
  int32_t a = Old("/F", 31, "a");
  int32_t b = Old("/F", 32, "b");
  ArchiveBgInit(root_);
  EXPECT_TRUE(ArchiveBgState().scheduled);
  Advance(kArchiveStartMs - 1);
  EXPECT_FALSE(ArchiveBgState().running);
  Advance(1);  // 03:00:00: the list is built, nothing expired yet
  ArchiveBgStatus s = ArchiveBgState();
  ASSERT_TRUE(s.running);
  EXPECT_EQ(s.runDate.date, 20260310);
  EXPECT_EQ(s.pending, (std::vector<int32_t>{a, b}));
  EXPECT_TRUE(Alive(a));
  Advance(kArchiveStepMs - 1);
  EXPECT_TRUE(Alive(a));
  Advance(1);
  EXPECT_FALSE(Alive(a));
  EXPECT_TRUE(Alive(b));
  Advance(kArchiveStepMs);
  EXPECT_FALSE(Alive(b));
  EXPECT_FALSE(ArchiveBgState().running);
  EXPECT_EQ(lines_.size(), 2u);
  // A second look in the same hour finds nothing left.
  Advance(kArchiveRecheckMs);
  EXPECT_FALSE(ArchiveBgState().running);
  EXPECT_TRUE(ArchiveBgState().scheduled);
  EXPECT_EQ(lines_.size(), 2u);
}

TEST_F(ArchiveTest, OutsideHourThreeTheTaskOnlyLooksAgain) {
  seconds = Local(2026, 3, 10, 14, 0);
  int32_t a = Old("/F", 31, "a");
  ArchiveBgInit(root_);
  for (int i = 0; i < 10; ++i) Advance(kArchiveRecheckMs);
  EXPECT_TRUE(Alive(a));
  EXPECT_FALSE(ArchiveBgState().running);
  EXPECT_TRUE(ArchiveBgState().scheduled);
  // The clock reaches 3 o'clock the next night.
  seconds = Local(2026, 3, 11, 3, 5);
  Advance(kArchiveRecheckMs);
  EXPECT_TRUE(ArchiveBgState().running);
  Advance(kArchiveStepMs);
  EXPECT_FALSE(Alive(a));
}

TEST_F(ArchiveTest, TheTaskWaitsWhileOtherWorkRuns) {
  int32_t a = Old("/F", 31, "a");
  ArchiveBgInit(root_);
  Advance(kArchiveStartMs);
  ASSERT_TRUE(ArchiveBgState().running);
  // A background pass: blocked on the queue until it ends.
  QuBgActive = true;
  Advance(kArchiveStepMs * 10);
  EXPECT_TRUE(Alive(a));
  QuBgActive = false;
  QuRamUnblock(kQuBlockBgPass);
  Advance(0);
  EXPECT_FALSE(Alive(a));
  // A layer above says it is busy: looked at again 2,000 ms later.
  int32_t b = Old("/F", 31, "b");
  bool busy = true;
  ArchiveBgOnBusy([&busy] { return busy; });
  ArchiveBgBuildLi(root_, ForumNow());
  Advance(kArchiveRecheckMs);
  Advance(kArchiveStepMs * 5);
  EXPECT_TRUE(Alive(b));
  busy = false;
  Advance(kArchiveStepMs);
  EXPECT_FALSE(Alive(b));
}

TEST_F(ArchiveTest, InstalledOperationsMoveAndRemove) {
  std::vector<std::string> calls;
  ArchiveBgOps ops;
  ops.move = [&](const ForumFile& folder, const St& name, const ForumFile& target) {
    calls.push_back("move " + ForumFilePath(folder).Str() + " " + name.Str() + " " +
                    ForumFilePath(target).Str());
    return ForumCatItemMove(folder, name, target, St());
  };
  ops.destroy = [&](const ForumFile& folder, const St& name) {
    calls.push_back("destroy " + ForumFilePath(folder).Str() + " " + name.Str());
    return ForumCatItemDestroy(folder, name);
  };
  ArchiveBgSetOps(ops);
  Create(top_, "forum-category", "Old");
  int32_t a = Old("/F", 40, "a");
  ForumCategorySetArchiveTo(Path("/F"), S("/Nowhere"));
  ASSERT_EQ(ArchiveBgDoArchive(root_, a), 0);
  ForumCategorySetArchiveTo(Path("/F"), S("/Old"));
  int32_t b = Old("/F", 40, "b");
  ASSERT_EQ(ArchiveBgDoArchive(root_, b), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"destroy /F 1", "move /F 2 /Old"}));
  EXPECT_EQ(quiltest::HaltText([&] { ArchiveBgSetOps(ArchiveBgOps{ops.move, nullptr}); }),
            "assert:ArchiveBgSetOps--twice");
}

TEST_F(ArchiveTest, AMirrorServerNeverExpires) {
  wfQuilSettings.Set("isSlave", S("1"));
  ArchiveBgInit(root_);
  wfQuilSettings.Set("isSlave", St());
  EXPECT_FALSE(ArchiveBgState().scheduled);
}

TEST_F(ArchiveTest, TheDeletedFileTextOfADiscussion) {
  ChHandle ann = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), S("a@x.org"), St(), &ann), 0);
  seconds = Local(2026, 2, 3, 14, 5) + 6;
  St name;
  ASSERT_EQ(ForumCatItemCreate(Path("/F"), S("forum-topic"), S("x"), S("Fish & \"chips\""), ann,
                               true, &name),
            0);
  ForumFile d = Path("/F/1");
  ASSERT_EQ(ForumItemSetOther(d, -1, S("o")), 0);
  ASSERT_EQ(ForumCatItemSetHtml(Path("/F"), S("1"), S("Line 1\nLine 2")), 0);
  int32_t first = -1;
  ASSERT_EQ(ForumItemCreate(d, ann, S("Hi <b>"), S("text"), S("caf\xe9\ttab"), -1, true, &first), 0);
  ASSERT_EQ(ForumItemCreate(d, 0, S(""), S("text/html; x=1"), S("reply"), first, true, nullptr), 0);
  ASSERT_EQ(ForumItemSetFrom(d, 1, S("b@y.org")), 0);
  ForumFileSetShowAuthor(d, true);
  std::string unique = ForumUniquePathOf(ForumFileUniqueId(d)).Str().substr(1);
  std::string author = ForumUniquePathOf(ForumUserUniqueId(root_, ann)).Str().substr(1);
  std::string flags = ForumUniquePathOf(int32_t(ForumFileStoredFlags(d))).Str().substr(1);
  std::string expected =
      "<discussion title=\"Fish &amp; &quot;chips&quot;\" date=02/03/2026.14:05:06 "
      "created=02/03/2026.14:05:06 flags=" + flags + " inherits=fe1ff800 author=" + author +
      " unique=" + unique +
      " sortSeq=0 from=\"\" to=\"\" itemSource=\"\" alternative=\"\" template=\"\" other=\"o\" "
      "messageId=\"\" heading=\"Line 1&#10;Line 2\">\n"
      "  <message title=\"Hi &lt;b&gt;\" date=02/03/2026.14:05:06 content-type=text author=" +
      author + " body=\"caf&#233;&#09;tab\">\n"
      "  <message title=\"\" date=02/03/2026.14:05:06 content-type=\"text/html; x=1\" parent=0 "
      "body=\"reply\" from=\"b@y.org\">\n"
      "</discussion>\n";
  EXPECT_EQ(ForumExportDiscussion(d).Str(), expected);
  // Its own access list comes after the element, indented.
  ForumAccEnable(d, kForumAccAllGuests, 0x1);
  std::string withAccess = ForumExportDiscussion(d).Str();
  std::string access = ForumAccExport(d).Str();
  std::string indented;
  for (size_t at = 0; at < access.size();) {
    size_t end = access.find('\n', at);
    indented += "  " + access.substr(at, end - at) + "\n";
    at = end + 1;
  }
  size_t head = expected.find('\n') + 1;
  EXPECT_EQ(withAccess, expected.substr(0, head) + indented + expected.substr(head));
}

}  // namespace
