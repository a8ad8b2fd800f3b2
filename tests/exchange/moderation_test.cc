// The moderation queue and expiration through the roll-forward log: a
// queued post survives a crash, an approval replays with the same
// identifier, a rejection and a failed approval replay as they went, the
// records byte for byte, and expiration's moves and removals replay.
#include <algorithm>
#include <regex>

#include "ForumEi.h"
#include "ForumModerated.h"
#include "Td.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::S;

class ModerationTest : public exchangetest::ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    ASSERT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, S("Ann"), S("ann@x.org"), St(), &ann_),
              0);
    St name;
    ASSERT_EQ(
        FrmBkFileItemCreate(top_, S("forum-category"), S("F"), S("Folder"), 0, false, &name), 0);
    folder_ = ForumFileHasChild(top_, name);
    discussion_ = NewDiscussion("Talk", folder_);
  }
  void TearDown() override {
    Drop();
    ExchangeTest::TearDown();
  }
  void Drop() {
    folder_ = ForumFile();
    discussion_ = ForumFile();
  }
  void CrashAndReopenAll() {
    int32_t f = ForumFileUniqueId(folder_), d = ForumFileUniqueId(discussion_);
    Drop();
    CrashAndReopen();
    folder_ = ForumFileOpenUnique(root_, f);
    discussion_ = ForumFileOpenUnique(root_, d);
    ann_ = ForumUserLookup(root_, S("Ann"));
  }
  int32_t Queue(const ForumFile& target, int type, const char* title, const char* body,
                int32_t replyTo = -1, const char* other = "") {
    int32_t position = -1;
    EXPECT_EQ(FrmBkFileAddModerated(target, replyTo, type, ann_, S(title), S(body), true,
                                    S("html"), S(other), &position),
              0);
    return position;
  }

  ChHandle ann_ = 0;
  int posted_ = 0;
  ForumFile folder_;
  ForumFile discussion_;
};

TEST_F(ModerationTest, RecordsOfQueuingApprovalAndRejection) {
  int32_t first = Post(discussion_, "first");
  (void)Appended();
  int32_t entry = ForumNextUniqueId(root_);
  std::string d = "." + Hex(ForumFileUniqueId(discussion_));
  ASSERT_EQ(Queue(discussion_, kForumModMessage, "Re: it", "<p>reply</p>", first, "X-A: 1"), 0);
  std::string queued = Appended();
  EXPECT_TRUE(std::regex_match(
      queued,
      std::regex("<f f=\\" + d + "/0 moderated=0 type=8 unique=" + Hex(entry) +
                 " title=\"Re: it\" body=&lt;p&gt;reply&lt;/p&gt; contentType=html author=" +
                 Hex(ForumUserUniqueId(root_, ann_)) +
                 " showAuthor other=\"X-A: 1\">\r\n"
                 "<f f=\\" + d + " moderated=0 modItemDate=[0-9/.:]+>\r\n")))
      << queued;
  EXPECT_EQ(ForumModeratedItemUniqueId(root_, 0), entry);
  ASSERT_EQ(FrmBkModeratedItemSetMail(root_, 0, S("ann@x.org"), S("<1@x.org>")), 0);
  EXPECT_EQ(Appended(),
            "<f f=" + d + " moderated=0 from=ann@x.org messageId=&lt;1@x.org&gt;>\r\n");
  ASSERT_EQ(FrmBkModeratedItemSetDate(root_, 0, LgDbTd{20250102, 30405}), 0);
  EXPECT_EQ(Appended(), "<f f=" + d + " moderated=0 modItemDate=01/02/2025.03:04:05>\r\n");
  int32_t next = ForumNextUniqueId(root_);
  ForumModeratedResult made;
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, &made), 0);
  EXPECT_TRUE(std::regex_match(Appended(), std::regex("<f f=\\" + d + " update=0 approved unique=" +
                                                      Hex(next) + " date=[0-9/.:]+>\r\n")));
  EXPECT_EQ(ForumUniqueIdFromRec(root_, ForumItemRec(made.item, made.index)), next);
  ASSERT_EQ(Queue(folder_, kForumModFolder, "Sub", "heading"), 0);
  (void)Appended();
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, false, nullptr), 0);
  EXPECT_TRUE(std::regex_match(
      Appended(),
      std::regex("<f f=\\." + Hex(ForumFileUniqueId(folder_)) + " update=0 date=[0-9/.:]+>\r\n")));
  // A position without an entry: refused without a record.
  EXPECT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, nullptr), kForumNoEntry);
  EXPECT_EQ(FrmBkModeratedItemSetDate(root_, 3, LgDbTd{20250102, 30405}), kForumNoEntry);
  EXPECT_EQ(FrmBkModeratedItemSetMail(root_, -1, St(), St()), kForumNoEntry);
  int32_t position = 9;
  EXPECT_EQ(FrmBkFileAddModerated(folder_, -1, kForumModMessage, ann_, S("t"), S("b"), false,
                                  S("text"), St(), &position),
            kForumNotContainer);
  EXPECT_EQ(position, 9);
  EXPECT_EQ(Appended(), "");
}

TEST_F(ModerationTest, AQueuedPostSurvivesACrash) {
  int32_t first = Post(discussion_, "first");
  ASSERT_EQ(ForumRootSave(root_), 0);
  Queue(discussion_, kForumModMessage, "Re", "reply body", first, "X-Mailer: test");
  ASSERT_EQ(FrmBkModeratedItemSetMail(root_, 0, S("ann@x.org"), S("<1@x.org>")), 0);
  Queue(folder_, kForumModDiscussion, "New talk", "the heading");
  ASSERT_EQ(FrmBkModeratedItemSetDate(root_, 1, LgDbTd{20250102, 30405}), 0);
  int32_t id0 = ForumModeratedItemUniqueId(root_, 0);
  int32_t id1 = ForumModeratedItemUniqueId(root_, 1);
  LgDbTd queued = ForumModeratedItemDate(root_, 0);
  CrashAndReopenAll();
  ASSERT_EQ(ForumModeratedItemCount(root_), 2);
  EXPECT_EQ(ForumModeratedItemUniqueId(root_, 0), id0);
  EXPECT_EQ(ForumModeratedItemUniqueId(root_, 1), id1);
  EXPECT_EQ(ForumModeratedLookup(root_, id1), 1);
  EXPECT_EQ(ForumModeratedItemTitle(root_, 0), "Re");
  EXPECT_EQ(ForumModeratedItemData(root_, 0), "reply body");
  EXPECT_EQ(ForumModeratedItemReplyTo(root_, 0), first);
  EXPECT_EQ(ForumModeratedItemOther(root_, 0), "X-Mailer: test");
  EXPECT_EQ(ForumModeratedItemFrom(root_, 0), "ann@x.org");
  EXPECT_EQ(ForumModeratedItemMessageId(root_, 0), "<1@x.org>");
  EXPECT_EQ(ForumModeratedItemContentType(root_, 0), "html");
  EXPECT_EQ(ForumModeratedItemAuthor(root_, 0), ann_);
  EXPECT_TRUE(ForumModeratedItemShowAuthor(root_, 0));
  EXPECT_EQ(ForumModeratedItemDate(root_, 0), queued);
  EXPECT_EQ(ForumModeratedItemType(root_, 1), kForumModDiscussion);
  EXPECT_EQ(ForumModeratedItemDate(root_, 1), (LgDbTd{20250102, 30405}));
  EXPECT_EQ(ForumModeratedItemTarget(root_, 1), ForumFileUniqueId(folder_));
}

TEST_F(ModerationTest, AnApprovedMessageIsBackAfterACrashWithItsIdentifier) {
  int32_t first = Post(discussion_, "first");
  ASSERT_EQ(ForumRootSave(root_), 0);
  Queue(discussion_, kForumModMessage, "Re", "reply body", first, "X-Mailer: test");
  ASSERT_EQ(FrmBkModeratedItemSetMail(root_, 0, S("ann@x.org"), S("<1@x.org>")), 0);
  // Identifiers handed out by reading (not in the log) must not shift the
  // approved message's identifier in the replay.
  ChHandle sysop = ForumUserLookup(root_, S("sysop"));
  if (sysop != 0) (void)ForumUserUniqueId(root_, sysop);
  // (The callback goes with the forum's others when the test ends.)
  ForumOnMessagePosted([this](const ForumPostEvent&) { ++posted_; });
  ForumModeratedResult made;
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, &made), 0);
  ASSERT_EQ(made.item, discussion_);
  EXPECT_EQ(posted_, 1);
  int32_t index = made.index;
  int32_t id = ForumUniqueIdFromRec(root_, ForumItemRec(discussion_, index));
  LgDbTd date = ForumItemDate(discussion_, index);
  made = ForumModeratedResult();
  std::string before = exchangetest::Dump(root_);
  CrashAndReopenAll();
  EXPECT_EQ(exchangetest::Dump(root_), before);
  // The replay made it quietly: mail and news heard of it once.
  EXPECT_EQ(posted_, 1);
  EXPECT_EQ(ForumModeratedItemCount(root_), 0);
  ASSERT_NE(ForumItemRec(discussion_, index), 0u);
  EXPECT_EQ(ForumUniqueIdFromRec(root_, ForumItemRec(discussion_, index)), id);
  EXPECT_EQ(ForumItemData(discussion_, index), "reply body");
  EXPECT_EQ(ForumItemAuthor(discussion_, index), ann_);
  EXPECT_EQ(ForumItemReplyTo(discussion_, index), first);
  EXPECT_EQ(ForumItemMessageId(discussion_, index), "<1@x.org>");
  EXPECT_EQ(ForumItemOther(discussion_, index), "X-Mailer: test");
  EXPECT_EQ(ForumItemDate(discussion_, index), date);
  EXPECT_EQ(ForumMessageIdLookup(root_, S("<1@x.org>")), ForumItemRec(discussion_, index));
  // What came after the approval replays on top of it.
  ForumFile message = ForumFileOpenUnique(root_, id);
  ASSERT_TRUE(ForumFileIsMessage(message));
}

TEST_F(ModerationTest, ApprovedDiscussionsAndFoldersRejectionsAndFailuresReplay) {
  ASSERT_EQ(ForumRootSave(root_), 0);
  Queue(folder_, kForumModDiscussion, "New talk", "the heading", -1, "other data");
  Queue(folder_, kForumModFolder, "Sub", "folder heading");
  Queue(discussion_, kForumModMessage, "Spam", "buy now");
  Queue(discussion_, kForumModMessage, "Late", "too late");
  Queue(folder_, kForumModFolder, "F2", "x");
  ForumModeratedResult made;
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, &made), 0);
  int32_t talk = ForumFileUniqueId(made.item);
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, &made), 0);
  int32_t sub = ForumFileUniqueId(made.item);
  made = ForumModeratedResult();
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, false, nullptr), 0);
  // The discussion goes: the late reply's approval fails and leaves the
  // queue all the same.
  ForumFile gone = discussion_;
  discussion_ = NewDiscussion("Other", folder_);
  ASSERT_EQ(FrmBkFileDestroy(gone), 0);
  gone = ForumFile();
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, nullptr), kForumNotContainer);
  // A folder name in use: the creation's own code.
  ASSERT_EQ(FrmBkFileItemCreate(folder_, S("forum-category"), S("F2"), S("taken"), 0, false,
                                nullptr),
            0);
  ASSERT_EQ(FrmBkModeratedItemUpdate(root_, 0, true, nullptr), kForumNameInUse);
  Queue(folder_, kForumModFolder, "Waiting", "still queued");
  std::string before = exchangetest::Dump(root_);
  CrashAndReopenAll();
  EXPECT_EQ(exchangetest::Dump(root_), before);
  ForumFile t = ForumFileOpenUnique(root_, talk);
  ASSERT_TRUE(ForumFileIsForum(t));
  EXPECT_EQ(ForumFileTitle(t), "New talk");
  EXPECT_EQ(ForumItemOther(t, -1), "other data");
  EXPECT_TRUE(ForumFileShowAuthor(t));
  ForumFile s = ForumFileOpenUnique(root_, sub);
  ASSERT_TRUE(ForumFileIsCategory(s));
  EXPECT_EQ(ForumFilePath(s), "/F/Sub");
  EXPECT_EQ(ForumFileHtml(s), "folder heading");
  ASSERT_EQ(ForumModeratedItemCount(root_), 1);
  EXPECT_EQ(ForumModeratedItemTitle(root_, 0), "Waiting");
}

// ---------------------------------------------------------------------------
// Expiration.

TEST_F(ModerationTest, ExpirationMovesAndRemovalsReplay) {
  St name;
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("Old"), S("Archive"), 0, false,
                                &name),
            0);
  ForumFile archive = ForumFileHasChild(top_, name);
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("P"), S("Purged"), 0, false, &name),
            0);
  ForumFile purged = ForumFileHasChild(top_, name);
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("D"), S("Saved"), 0, false, &name),
            0);
  ForumFile saved = ForumFileHasChild(top_, name);
  FrmBkCategorySetArchiveDays(folder_, 30);
  FrmBkFileSetArchiveTo(folder_, ForumFileUniquePath(archive));
  FrmBkCategorySetArchiveDays(purged, 30);
  FrmBkFileSetArchiveTo(purged, S("purge"));
  FrmBkCategorySetArchiveDays(saved, 30);
  // Discussions whose last post is 40 days old, one in each folder, and a
  // young one that stays.
  LgDbTd old = LgDbTdFromTd(TdFromSeconds(ForumSecondsNow() - 40 * 86400, false));
  ForumFile young = NewDiscussion("Young", folder_);
  ForumFile moved = NewDiscussion("Moved", folder_);
  ForumFile purge = NewDiscussion("Purge", purged);
  ForumFile save = NewDiscussion("Save", saved);
  Post(moved, "kept words");
  FrmBkFileSetDate(discussion_, old);
  FrmBkFileSetDate(moved, old);
  FrmBkFileSetDate(purge, old);
  FrmBkFileSetDate(save, old);
  int32_t youngId = ForumFileUniqueId(young), movedId = ForumFileUniqueId(moved);
  int32_t purgeId = ForumFileUniqueId(purge), saveId = ForumFileUniqueId(save);
  int32_t talkId = ForumFileUniqueId(discussion_), archiveId = ForumFileUniqueId(archive);
  young = moved = purge = save = archive = purged = saved = ForumFile();
  ASSERT_EQ(ForumRootSave(root_), 0);
  (void)Appended();

  std::vector<int32_t> list;
  ArchiveBgAddLi(top_, ForumNow(), &list);
  std::sort(list.begin(), list.end());
  std::vector<int32_t> expected = {talkId, movedId, purgeId, saveId};
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(list, expected);
  int32_t f = ForumFileUniqueId(folder_);
  Drop();
  for (int32_t id : list) ASSERT_EQ(ArchiveBgDoArchive(root_, id), 0);
  // The moves and removals went through the log.
  std::string records = Appended();
  EXPECT_NE(records.find("<f f=." + Hex(movedId) + " moveTo=." + Hex(archiveId) + " date="),
            std::string::npos)
      << records;
  EXPECT_NE(records.find("<f f=." + Hex(purgeId) + " destroy date="), std::string::npos)
      << records;
  EXPECT_NE(records.find("<f f=." + Hex(saveId) + " destroy date="), std::string::npos)
      << records;
  std::string before = exchangetest::Dump(root_);
  CrashAndReopen();
  EXPECT_EQ(exchangetest::Dump(root_), before);
  ForumFile m = ForumFileOpenUnique(root_, movedId);
  ASSERT_TRUE(ForumFileIsForum(m));
  EXPECT_EQ(ForumFileUniqueId(ForumFileParent(m)), archiveId);
  EXPECT_EQ(ForumMessageCount(m), 1);
  EXPECT_TRUE(ForumFileOpenUnique(root_, youngId));
  EXPECT_EQ(ForumFileUniqueId(ForumFileParent(ForumFileOpenUnique(root_, youngId))), f);
  EXPECT_FALSE(ForumFileOpenUnique(root_, purgeId));
  EXPECT_FALSE(ForumFileOpenUnique(root_, saveId));
  EXPECT_EQ(ForumFileUniqueId(ForumFileParent(ForumFileOpenUnique(root_, talkId))), archiveId);
  // The saved discussion is in the "deleted" file.
  EXPECT_NE(exchangetest::ReadFileBytes(ForumDeletedFilePath()).find("title=\"Save\""),
            std::string::npos);
}

}  // namespace
}  // namespace quil
