// The moderation queue: queuing, reading entries, approval of messages,
// discussions and folders, rejection, failures, and the queue on disk.
#include "forum_test_util.h"

#include "ForumModerated.h"
#include "ForumUser.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

class ModeratedTest : public ForumTest {
 protected:
  void SetUp() override {
    ForumTest::SetUp();
    Create(top_, "forum-category", "F", "Folder");
    folder_ = Path("/F");
    Create(folder_, "forum-topic", "x", "Talk");
    discussion_ = Path("/F/1");
    ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), S("ann@x.org"), St(),
                              &ann_),
              0);
  }
  void TearDown() override {
    folder_ = ForumFile();
    discussion_ = ForumFile();
    ForumTest::TearDown();
  }
  int32_t Queue(const ForumFile& target, int type, const char* title, const char* body,
                int32_t replyTo = -1, const char* other = "") {
    int32_t position = -1;
    EXPECT_EQ(ForumFileAddModerated(target, replyTo, type, ann_, S(title), S(body), true,
                                    S("html"), S(other), &position),
              0);
    return position;
  }
  int32_t Post(const char* body, int32_t replyTo = -1) {
    int32_t index = -1;
    EXPECT_EQ(ForumItemCreate(discussion_, ann_, S("t"), S("text"), S(body), replyTo, true, &index),
              0);
    return index;
  }
  // The head record of the queue, as stored.
  int32_t StoredSize() {
    ChHandle db = ForumModeratedOpen(root_);
    int32_t size = -1;
    (void)LgDbRecGetInt(LgDbGetHead(db), LgDbFieldIdLookup(db, S("Size")), &size);
    return size;
  }

  ForumFile folder_, discussion_;
  ChHandle ann_ = 0;
};

TEST_F(ModeratedTest, AQueuedMessageWaitsWithEveryField) {
  Post("first");
  int32_t position = Queue(discussion_, kForumModMessage, "Re: first", "<b>hello</b>", 0,
                           "X-Mailer: test");
  EXPECT_EQ(position, 0);
  EXPECT_EQ(ForumModeratedItemCount(root_), 1);
  EXPECT_EQ(StoredSize(), 1);
  EXPECT_TRUE(ForumModeratedExists(root_, 0));
  EXPECT_FALSE(ForumModeratedExists(root_, 1));
  EXPECT_FALSE(ForumModeratedExists(root_, -1));
  EXPECT_EQ(ForumModeratedItemType(root_, 0), kForumModMessage);
  EXPECT_EQ(ForumModeratedItemAuthor(root_, 0), ann_);
  EXPECT_EQ(ForumModeratedItemTitle(root_, 0), "Re: first");
  EXPECT_EQ(ForumModeratedItemData(root_, 0), "<b>hello</b>");
  EXPECT_EQ(ForumModeratedItemContentType(root_, 0), "html");
  EXPECT_EQ(ForumModeratedItemOther(root_, 0), "X-Mailer: test");
  EXPECT_TRUE(ForumModeratedItemShowAuthor(root_, 0));
  EXPECT_EQ(ForumModeratedItemReplyTo(root_, 0), 0);
  EXPECT_EQ(ForumModeratedItemTarget(root_, 0), ForumFileUniqueId(discussion_));
  EXPECT_EQ(ForumModeratedItemOpen(root_, 0), discussion_);
  EXPECT_NE(ForumModeratedItemDate(root_, 0).date, 0);
  // The entry has an identifier of its own but never opens as an item.
  int32_t id = ForumModeratedItemUniqueId(root_, 0);
  ASSERT_NE(id, 0);
  EXPECT_EQ(ForumModeratedLookup(root_, id), 0);
  EXPECT_FALSE(ForumFileOpenUnique(root_, id));
  EXPECT_FALSE(ForumFileOpen(root_, ForumUniquePathOf(id)));
  // Nothing reached the discussion.
  EXPECT_EQ(ForumMessageCount(discussion_), 1);
  // Readers of a position without an entry.
  EXPECT_EQ(ForumModeratedItemType(root_, 5), 0);
  EXPECT_TRUE(ForumModeratedItemTitle(root_, 5).IsNil());
  EXPECT_EQ(ForumModeratedItemAuthor(root_, 5), 0u);
  EXPECT_FALSE(ForumModeratedItemOpen(root_, 5));
  EXPECT_EQ(ForumModeratedItemSetDate(root_, 5, LgDbTd{20260101, 120000}), kForumNoEntry);
}

TEST_F(ModeratedTest, QueuingChecksTheTargetAndTheType) {
  int32_t position = 7;
  EXPECT_EQ(ForumFileAddModerated(folder_, -1, kForumModMessage, ann_, S("t"), S("b"), false,
                                  S("text"), St(), &position),
            kForumNotContainer);
  EXPECT_EQ(ForumFileAddModerated(discussion_, -1, kForumModDiscussion, ann_, S("t"), S("b"),
                                  false, S("text"), St(), &position),
            kForumNotContainer);
  EXPECT_EQ(ForumFileAddModerated(folder_, -1, 99, ann_, S("t"), S("b"), false, S("text"), St(),
                                  &position),
            kForumBadType);
  EXPECT_EQ(position, 7);
  EXPECT_EQ(ForumModeratedItemCount(root_), 0);
}

TEST_F(ModeratedTest, ApprovalPostsTheMessageWithItsMailData) {
  int32_t first = Post("first");
  Queue(discussion_, kForumModMessage, "Re", "reply body", first, "X-Mailer: test");
  ASSERT_EQ(ForumModeratedItemSetMail(root_, 0, S("ann@x.org"), S("<1@x.org>")), 0);
  int32_t entryId = ForumModeratedItemUniqueId(root_, 0);
  int32_t sitePosts = ForumSitePosts(root_);
  ForumModeratedResult result;
  ASSERT_EQ(ForumModeratedItemUpdate(root_, 0, true, &result), 0);
  EXPECT_EQ(result.item, discussion_);
  ASSERT_GE(result.index, 0);
  EXPECT_EQ(ForumItemData(discussion_, result.index), "reply body");
  EXPECT_EQ(ForumItemTitle(discussion_, result.index), "Re");
  EXPECT_EQ(ForumItemContentType(discussion_, result.index), "html");
  EXPECT_EQ(ForumItemAuthor(discussion_, result.index), ann_);
  EXPECT_EQ(ForumItemReplyTo(discussion_, result.index), first);
  EXPECT_EQ(ForumItemFrom(discussion_, result.index), "ann@x.org");
  EXPECT_EQ(ForumItemMessageId(discussion_, result.index), "<1@x.org>");
  EXPECT_EQ(ForumItemOther(discussion_, result.index), "X-Mailer: test");
  EXPECT_EQ(ForumMessageIdLookup(root_, S("<1@x.org>")), ForumItemRec(discussion_, result.index));
  EXPECT_EQ(ForumSitePosts(root_), sitePosts + 1);
  EXPECT_EQ(ForumFilePosts(discussion_), 1);
  // The entry is gone from the queue and from the identifier index.
  EXPECT_EQ(ForumModeratedItemCount(root_), 0);
  EXPECT_EQ(StoredSize(), 0);
  EXPECT_EQ(ForumRecFromUniqueId(root_, entryId), 0u);
  EXPECT_EQ(ForumModeratedLookup(root_, entryId), -1);
}

TEST_F(ModeratedTest, ApprovalOfAReplyWhoseMessageIsGoneAnswersNone) {
  int32_t first = Post("first");
  Queue(discussion_, kForumModMessage, "Re", "late", first);
  ASSERT_EQ(ForumItemDestroy(discussion_, first), 0);
  ForumModeratedResult result;
  ASSERT_EQ(ForumModeratedItemUpdate(root_, 0, true, &result), 0);
  EXPECT_EQ(ForumItemReplyTo(discussion_, result.index), -1);
}

TEST_F(ModeratedTest, ApprovalCreatesADiscussionAndAFolder) {
  Queue(folder_, kForumModDiscussion, "New talk", "the heading", -1, "other data");
  Queue(folder_, kForumModFolder, "Sub", "folder heading");
  ForumModeratedResult result;
  ASSERT_EQ(ForumModeratedItemUpdate(root_, 0, true, &result), 0);
  ASSERT_TRUE(ForumFileIsForum(result.item));
  EXPECT_EQ(result.index, -1);
  EXPECT_EQ(ForumFileTitle(result.item), "New talk");
  EXPECT_EQ(ForumItemData(result.item, -1), "the heading");
  EXPECT_EQ(ForumItemOther(result.item, -1), "other data");
  EXPECT_TRUE(ForumFileShowAuthor(result.item));
  EXPECT_EQ(ForumFileUser(result.item), ann_);
  EXPECT_EQ(ForumFilePath(result.item), "/F/2");
  EXPECT_TRUE(ForumFileWebCreated(result.item));
  // The folder moved up to position 0.
  ASSERT_EQ(ForumModeratedItemCount(root_), 1);
  EXPECT_EQ(ForumModeratedItemType(root_, 0), kForumModFolder);
  ASSERT_EQ(ForumModeratedItemUpdate(root_, 0, true, &result), 0);
  ASSERT_TRUE(ForumFileIsCategory(result.item));
  EXPECT_EQ(ForumFilePath(result.item), "/F/Sub");
  EXPECT_EQ(ForumFileHtml(result.item), "folder heading");
  EXPECT_EQ(ForumFilePosts(folder_), 2);
  EXPECT_EQ(ForumModeratedItemCount(root_), 0);
}

TEST_F(ModeratedTest, RejectingRemovesTheEntryAndCreatesNothing) {
  Queue(discussion_, kForumModMessage, "Spam", "buy now");
  Queue(discussion_, kForumModMessage, "Ok", "fine");
  int32_t rejected = ForumModeratedItemUniqueId(root_, 0);
  int32_t structRev = ForumRootStructRev(root_);
  ForumModeratedResult result;
  ASSERT_EQ(ForumModeratedItemUpdate(root_, 0, false, &result), 0);
  EXPECT_FALSE(result.item);
  EXPECT_EQ(ForumMessageCount(discussion_), 0);
  EXPECT_EQ(ForumSitePosts(root_), 0);
  EXPECT_EQ(ForumRootStructRev(root_), structRev);
  EXPECT_EQ(ForumRecFromUniqueId(root_, rejected), 0u);
  ASSERT_EQ(ForumModeratedItemCount(root_), 1);
  EXPECT_EQ(ForumModeratedItemTitle(root_, 0), "Ok");
  EXPECT_EQ(ForumModeratedItemUpdate(root_, 1, false, nullptr), kForumNoEntry);
}

TEST_F(ModeratedTest, AnEntryWhoseTargetIsGoneFailsAndLeavesTheQueue) {
  Queue(discussion_, kForumModMessage, "Late", "too late");
  Create(folder_, "forum-category", "Taken");
  Queue(folder_, kForumModFolder, "Taken", "x");
  discussion_ = ForumFile();
  ASSERT_EQ(ForumCatItemDestroy(folder_, S("1")), 0);
  EXPECT_EQ(ForumModeratedItemUpdate(root_, 0, true, nullptr), kForumNotContainer);
  EXPECT_EQ(ForumModeratedItemCount(root_), 1);
  // A folder name in use: the creation's own code.
  EXPECT_EQ(ForumModeratedItemUpdate(root_, 0, true, nullptr), kForumNameInUse);
  EXPECT_EQ(ForumModeratedItemCount(root_), 0);
}

TEST_F(ModeratedTest, TheQueueIsKeptOnDisk) {
  Queue(discussion_, kForumModMessage, "one", "1");
  Queue(folder_, kForumModDiscussion, "two", "2");
  ASSERT_EQ(ForumModeratedItemSetDate(root_, 1, LgDbTd{20250102, 30405}), 0);
  folder_ = ForumFile();
  discussion_ = ForumFile();
  Reopen();
  ASSERT_EQ(ForumModeratedItemCount(root_), 2);
  EXPECT_EQ(ForumModeratedItemTitle(root_, 0), "one");
  EXPECT_EQ(ForumModeratedItemType(root_, 1), kForumModDiscussion);
  EXPECT_EQ(ForumModeratedItemDate(root_, 1), (LgDbTd{20250102, 30405}));
  EXPECT_EQ(ForumModeratedItemAuthor(root_, 1), ann_);
  ASSERT_EQ(ForumModeratedItemUpdate(root_, 0, true, nullptr), 0);
  EXPECT_EQ(ForumMessageCount(Path("/F/1")), 1);
}

}  // namespace
