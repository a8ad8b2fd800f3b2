// Subscriptions (adding, covering, paths kept current, reading new
// messages through them) and the list of recent items.
#include "forum_test_util.h"
#include "halt_text.h"

#include "ForumAcc.h"
#include "ForumRead.h"
#include "ForumUser.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

class SubscrTest : public ForumTest {
 protected:
  void SetUp() override {
    ForumTest::SetUp();
    Create(top_, "forum-category", "A");
    Create(Path("/A"), "forum-category", "Deep");
    Create(top_, "forum-category", "B");
    Create(Path("/A"), "forum-topic", "x", "a1");
    Create(Path("/A/Deep"), "forum-topic", "x", "deep1");
    Create(Path("/B"), "forum-topic", "x", "b1");
    Create(Path("/B"), "forum-topic", "x", "b2");
    ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), St(), St(), &ann_), 0);
    ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Visitor"), St(), St(), &guest_), 0);
  }
  void Post(const char* path) {
    ForumFile d = Path(path);
    ASSERT_EQ(ForumItemCreate(d, 0, S(""), S("text"), S("m"), -1, true, nullptr), 0);
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> out;
    ForumSubscrIter it = ForumSubscrStart(root_, ann_);
    St path;
    int32_t id = 0;
    while (ForumSubscrNext(it, &path, &id)) out.push_back(path.Str());
    ForumSubscrStop(it);
    return out;
  }
  // The paths of the discussions a read through the subscriptions gives.
  std::vector<std::string> ReadAll() {
    std::vector<std::string> out;
    ForumSubscrRead read = ForumSubscrReadStart(root_, ann_);
    for (ForumFile d = ForumSubscrReadNext(read); d; d = ForumSubscrReadNext(read))
      out.push_back(ForumFilePath(d).Str());
    ForumSubscrReadStop(read);
    return out;
  }
  ChHandle ann_ = 0, guest_ = 0;
};

TEST_F(SubscrTest, AddRemoveAndCovering) {
  EXPECT_EQ(ForumSubscrCount(root_, ann_), 0);
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/A")), 0);
  Post("/B/1");
  ForumFile message = ForumFileOpenMessage(Path("/B/1"), 0);
  ASSERT_EQ(ForumSubscrAdd(ann_, message), 0);  // its discussion
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/A")), 0);  // once only
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/A", "/B/1"}));
  EXPECT_TRUE(ForumFileIsSubscribed(ann_, Path("/A")));
  EXPECT_TRUE(ForumFileIsSubscribed(ann_, Path("/A/Deep/1")));
  EXPECT_TRUE(ForumFileIsSubscribed(ann_, Path("/B/1")));
  EXPECT_TRUE(ForumFileIsSubscribed(ann_, message));
  EXPECT_FALSE(ForumFileIsSubscribed(ann_, Path("/B")));
  EXPECT_FALSE(ForumFileIsSubscribed(ann_, Path("/B/2")));
  EXPECT_FALSE(ForumFileIsSubscribed(ann_, top_));
  EXPECT_TRUE(ForumSubscrRemove(ann_, Path("/A")));
  EXPECT_FALSE(ForumSubscrRemove(ann_, Path("/A")));
  EXPECT_FALSE(ForumFileIsSubscribed(ann_, Path("/A/Deep/1")));
  EXPECT_EQ(ForumSubscrCount(root_, ann_), 1);
  ForumSubscrClear(root_, ann_);
  EXPECT_EQ(ForumSubscrCount(root_, ann_), 0);
  EXPECT_TRUE(Entries().empty());
  // The top folder covers everything.
  ASSERT_EQ(ForumSubscrAdd(ann_, top_), 0);
  EXPECT_TRUE(ForumFileIsSubscribed(ann_, Path("/B/2")));
  ForumSubscrDestroy(root_, ann_);
  LgDbSubscr value;
  EXPECT_FALSE(ForumUserSubscriptions(root_, ann_, &value));
}

TEST_F(SubscrTest, OnlyRegisteredUsersSubscribeToFoldersAndDiscussions) {
  EXPECT_EQ(ForumSubscrAdd(guest_, Path("/A")), kForumBadUser);
  EXPECT_EQ(ForumSubscrAdd(0, Path("/A")), kForumBadUser);
  EXPECT_EQ(ForumSubscrAdd(kForumAccAllUsers, Path("/A")), kForumBadUser);
  Create(Path("/A"), "forum-link", "x", "a link");
  EXPECT_EQ(ForumSubscrAdd(ann_, Path("/A/2")), kForumNotContainer);
  EXPECT_EQ(ForumSubscrAdd(ann_, ForumFile()), kForumNotContainer);
  EXPECT_FALSE(ForumFileIsSubscribed(guest_, Path("/A")));
  EXPECT_EQ(ForumSubscrCount(root_, ann_), 0);
}

TEST_F(SubscrTest, EntriesFollowRenamesAndMovesAndDropTheDeleted) {
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/A/Deep")), 0);
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/B/2")), 0);
  ASSERT_EQ(ForumCatItemSetName(top_, S("A"), S("Alpha")), 0);
  ASSERT_EQ(ForumCatItemMove(Path("/B"), S("2"), Path("/Alpha"), St()), 0);
  // Entries are brought up to date when used.
  EXPECT_TRUE(ForumFileIsSubscribed(ann_, Path("/Alpha/Deep/1")));
  ForumSubscrMakeCurrent(root_, ann_);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/Alpha/Deep", "/Alpha/2"}));
  ASSERT_EQ(ForumCatItemDestroy(Path("/Alpha"), S("2")), 0);
  ForumSubscrMakeCurrent(root_, ann_);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/Alpha/Deep"}));
  // Kept on disk.
  Reopen();
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/Alpha/Deep"}));
}

TEST_F(SubscrTest, ReadingListsNewMessagesAndClearsWhenRead) {
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/B/2")), 0);
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/A")), 0);
  ASSERT_EQ(ForumSubscrAdd(ann_, Path("/B")), 0);
  EXPECT_TRUE(ReadAll().empty());  // no messages yet
  Post("/A/Deep/1");
  Post("/B/1");
  Post("/B/2");
  Post("/A/1");
  // The entries in the order subscribed, a folder depth first in name
  // order ("1" before "Deep"), each discussion once.
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"/B/2", "/A/1", "/A/Deep/1", "/B/1"}));
  ForumSetHighwaterAll(ann_, Path("/B/2"));
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"/A/1", "/A/Deep/1", "/B/1"}));
  ForumSubscMarkCurrent(root_, ann_, Path("/A"));
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"/B/1"}));
  Post("/A/Deep/1");
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"/A/Deep/1", "/B/1"}));
  ForumSubscMarkCurrent(root_, ann_, ForumFile());
  EXPECT_TRUE(ReadAll().empty());
  // A discussion the user may no longer read is passed over.
  Post("/B/1");
  ForumAccEnable(Path("/B/1"), kForumAccAllUsers, 0);
  ForumAccInhibit(Path("/B/1"), kForumAccAllUsers, 0xffffffffu);
  EXPECT_TRUE(ReadAll().empty());
}

TEST_F(ForumTest, RecentItemsKeepTheTenNewest) {
  EXPECT_EQ(ForumRecentCount(root_), 0);
  EXPECT_FALSE(ForumRecentOpen(root_, 0));
  for (int i = 1; i <= 11; ++i) ForumRecentAdd(root_, S(("/p" + std::to_string(i)).c_str()));
  EXPECT_EQ(ForumRecentCount(root_), 10);
  EXPECT_EQ(ForumSysopRecent(root_), "/p11 /p10 /p9 /p8 /p7 /p6 /p5 /p4 /p3 /p2 ");
  EXPECT_EQ(ForumRecentPath(root_, 0), "/p11");
  EXPECT_EQ(ForumRecentPath(root_, 9), "/p2");
  EXPECT_TRUE(ForumRecentPath(root_, 10).IsNil());
  ForumRecentRemove(root_, S("/p5"));
  EXPECT_EQ(ForumSysopRecent(root_), "/p11 /p10 /p9 /p8 /p7 /p6 /p4 /p3 /p2 ");
  Create(top_, "forum-category", "Here");
  ForumFile here = Path("/Here");
  ForumRecentAdd(root_, ForumFileUniquePath(here));
  EXPECT_EQ(ForumRecentOpen(root_, 0), here);
  EXPECT_FALSE(ForumRecentOpen(root_, 1));  // "/p11" opens nothing
  EXPECT_EQ(ForumRecentCount(root_), 10);
  here = ForumFile();
  Reopen();
  EXPECT_EQ(ForumRecentCount(root_), 10);
}

TEST_F(ForumTest, ARecentPathWithABlankHalts) {
  EXPECT_EQ(quiltest::HaltText([&] { ForumRecentAdd(root_, S("/a b")); }),
            "assert:ForumRecentAdd--Path contains a blank");
}

}  // namespace
