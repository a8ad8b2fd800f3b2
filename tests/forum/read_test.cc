// Read marks: advancing them, new-message tests and counts for registered
// users and guests, the message cache and its thread tree, the older
// interval-list form, and the marks on disk.
#include "forum_test_util.h"

#include "ForumModerated.h"
#include "ForumRead.h"
#include "ForumUser.h"
#include "Sl.h"
#include "Td.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

int64_t seconds = 0;
int64_t Seconds() { return seconds; }

class ReadTest : public ForumTest {
 protected:
  void SetUp() override {
    Td t;
    t.year = 2026;
    t.month = 5;
    t.day = 20;
    t.hour = 12;
    seconds = TdToSeconds(t, false);
    ForumSetClock(Seconds);
    ForumTest::SetUp();
    ForumOnRecord([this](const St& line) { lines_.push_back(line.Str()); });
    Create(top_, "forum-category", "F");
    Create(Path("/F"), "forum-topic", "x", "Talk");
    d_ = Path("/F/1");
    ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), St(), St(), &ann_), 0);
    ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Guest One"), St(), St(), &guest_), 0);
  }
  void TearDown() override {
    d_ = ForumFile();
    ForumTest::TearDown();
    ForumSetClock(nullptr);
  }
  // Posts count messages, an hour apart; returns the last index.
  int32_t PostN(int count, int32_t replyTo = -1) {
    int32_t index = -1;
    for (int i = 0; i < count; ++i) {
      seconds += 3600;
      EXPECT_EQ(ForumItemCreate(d_, 0, S("t"), S("text"), S("b"), replyTo, true, &index), 0);
    }
    return index;
  }
  int32_t MarkOf(ChHandle user, const ForumFile& item) {
    int32_t value = -99;
    (void)UserGetHighwater(root_, user, ForumFileUniqueId(item), &value);
    return value;
  }

  ForumFile d_;
  ChHandle ann_ = 0, guest_ = 0;
  std::vector<std::string> lines_;
};

TEST_F(ReadTest, ReadingFiveThenThreeLeavesTheMarkAfterFive) {
  PostN(8);
  EXPECT_EQ(ForumNewMessages(d_, ann_), 8);
  EXPECT_TRUE(ForumHasNewMessages(d_, ann_));
  ForumSetHighwater(ann_, d_, 4);  // message 5, counted from 1
  EXPECT_EQ(MarkOf(ann_, d_), 6);
  ForumSetHighwater(ann_, d_, 2);  // message 3
  EXPECT_EQ(MarkOf(ann_, d_), 6);
  EXPECT_FALSE(ForumItemIsNew(d_, 4, ann_));
  EXPECT_FALSE(ForumItemIsNew(d_, 2, ann_));
  EXPECT_TRUE(ForumItemIsNew(d_, 5, ann_));
  EXPECT_EQ(ForumNewMessages(d_, ann_), 3);
  // The discussion's own text: mark at least 1.
  Create(Path("/F"), "forum-topic", "x", "Other");
  ForumFile other = Path("/F/2");
  ForumSetHighwater(ann_, other, -1);
  EXPECT_EQ(MarkOf(ann_, other), 1);
  // Through a message handle.
  ForumFile message = ForumFileOpenMessage(d_, 6);
  ASSERT_TRUE(message);
  ForumSetHighwater(ann_, message, 0);
  EXPECT_EQ(MarkOf(ann_, d_), 8);
  EXPECT_EQ(ForumNewMessages(d_, ann_), 1);
  ForumSetHighwaterAll(ann_, d_);
  EXPECT_EQ(ForumNewMessages(d_, ann_), 0);
  EXPECT_FALSE(ForumHasNewMessages(d_, ann_));
  // A new post is new again.
  PostN(1);
  EXPECT_EQ(ForumNewMessages(d_, ann_), 1);
  EXPECT_TRUE(ForumHasNewMessages(d_, ann_));
  EXPECT_EQ(ForumFirstTreeNew(d_, ann_), 8);
}

TEST_F(ReadTest, GuestsAndGeneralPrincipalsChangeNoMark) {
  PostN(3);
  for (ChHandle who : {ChHandle(0), guest_, kForumAccAllUsers, kForumAccAllGuests}) {
    ForumSetHighwater(who, d_, 2);
    ForumSetHighwater(who, Path("/F"), 0);
    UserSetHighwater(root_, who, ForumFileUniqueId(d_), 5);
    EXPECT_FALSE(UserSetHighwaterLarger(root_, who, ForumFileUniqueId(d_), 5));
    EXPECT_FALSE(UserHasHighwater(root_, who, ForumFileUniqueId(d_)));
    EXPECT_EQ(UserHighwaterCount(root_, who), 0);
  }
  EXPECT_FALSE(LgDbRecHasField(guest_, LgDbFieldIdLookup(guest_, S("Highwater"))));
}

TEST_F(ReadTest, GuestsSeeMessagesAfterTheCutOffAsNew) {
  // GuestNewHours 168: messages of the last week are new.
  int64_t start = seconds;
  seconds = start - 200 * 3600;
  ASSERT_EQ(ForumItemCreate(d_, 0, S(""), S("text"), S("old"), -1, true, nullptr), 0);
  seconds = start - 100 * 3600;
  ASSERT_EQ(ForumItemCreate(d_, 0, S(""), S("text"), S("recent"), -1, true, nullptr), 0);
  seconds = start;
  ForumGuestNewCutoffRefresh(root_);
  EXPECT_FALSE(ForumItemIsNew(d_, 0, guest_));
  EXPECT_TRUE(ForumItemIsNew(d_, 1, guest_));
  EXPECT_TRUE(ForumItemIsNew(d_, 1, 0));
  EXPECT_EQ(ForumNewMessages(d_, guest_), 1);
  EXPECT_TRUE(ForumHasNewMessages(d_, 0));
  EXPECT_EQ(ForumFirstTreeNew(d_, 0), 1);
  // A changed setting takes effect at once.
  ForumSysopSetGuestNewHours(root_, 50);
  EXPECT_FALSE(ForumItemIsNew(d_, 1, guest_));
  EXPECT_EQ(ForumNewMessages(d_, guest_), 0);
  EXPECT_FALSE(ForumHasNewMessages(d_, guest_));
  EXPECT_EQ(ForumFirstTreeNew(d_, guest_), -1);
  // The cut-off moves with time once it is 900 s old.
  ForumSysopSetGuestNewHours(root_, 101);
  EXPECT_TRUE(ForumItemIsNew(d_, 1, guest_));
  seconds += 899;
  EXPECT_TRUE(ForumItemIsNew(d_, 1, guest_));
  seconds += 3600;
  EXPECT_FALSE(ForumItemIsNew(d_, 1, guest_));
  // Folders and other items are always new for guests.
  EXPECT_TRUE(ForumIsNew(Path("/F"), guest_));
}

TEST_F(ReadTest, FoldersAndItemsAreNewUntilMarked) {
  ForumFile folder = Path("/F");
  EXPECT_TRUE(ForumIsNew(folder, ann_));
  ForumSetHighwater(ann_, folder, 0);
  EXPECT_FALSE(ForumIsNew(folder, ann_));
  UserSetHighwater(root_, ann_, ForumFileUniqueId(folder), -1);
  EXPECT_TRUE(ForumIsNew(folder, ann_));
  // -1 is below every mark a view stores.
  EXPECT_TRUE(UserSetHighwaterLarger(root_, ann_, ForumFileUniqueId(folder), 0));
  EXPECT_FALSE(UserSetHighwaterLarger(root_, ann_, ForumFileUniqueId(folder), 0));
  EXPECT_FALSE(ForumIsNew(folder, ann_));
  // Listing entries.
  PostN(2);
  uint32_t count = ForumCatItemCount(top_);
  ASSERT_EQ(count, 1u);
  ChHandle folderEntry = ForumCatItemOpen(top_, 0);
  EXPECT_FALSE(ForumEntryIsNew(root_, folderEntry, ann_));
  EXPECT_TRUE(ForumEntryIsNew(root_, folderEntry, 0));
  ChHandle discussionEntry = ForumCatItemOpen(folder, 0);
  EXPECT_TRUE(ForumEntryIsNew(root_, discussionEntry, ann_));
  ForumSetHighwater(ann_, d_, 1);
  EXPECT_FALSE(ForumEntryIsNew(root_, discussionEntry, ann_));
  EXPECT_FALSE(ForumEntryIsNew(root_, 0, ann_));
}

TEST_F(ReadTest, DeletedLastMessagesAreNotNew) {
  PostN(4);
  ForumSetHighwater(ann_, d_, 1);
  ASSERT_EQ(ForumItemDestroy(d_, 3), 0);
  ASSERT_EQ(ForumItemDestroy(d_, 2), 0);
  EXPECT_FALSE(ForumHasNewMessages(d_, ann_));
  EXPECT_EQ(ForumNewMessages(d_, ann_), 0);
  EXPECT_FALSE(ForumItemIsNew(d_, 3, ann_));
  EXPECT_EQ(ForumMessagesBefore(d_, 4), 2);
  EXPECT_EQ(ForumMessagesAfter(d_, 0), 1);
  EXPECT_EQ(ForumMessagesAfter(d_, -1), 2);
}

TEST_F(ReadTest, TheCacheKeepsTheThreadTree) {
  int32_t a = PostN(1);      // 0
  int32_t b = PostN(1);      // 1
  int32_t a1 = PostN(1, a);  // 2 answers 0
  int32_t b1 = PostN(1, b);  // 3 answers 1
  int32_t a2 = PostN(1, a);  // 4 answers 0
  int32_t a11 = PostN(1, a1);  // 5 answers 2
  EXPECT_EQ(ForumMsgThreadChildren(d_, -1), (std::vector<int32_t>{a, b}));
  EXPECT_EQ(ForumMsgThreadChildren(d_, a), (std::vector<int32_t>{a1, a2}));
  EXPECT_EQ(ForumMsgThreadChildren(d_, a1), (std::vector<int32_t>{a11}));
  EXPECT_EQ(ForumMsgThreadChildren(d_, b), (std::vector<int32_t>{b1}));
  EXPECT_TRUE(ForumMsgThreadChildren(d_, 99).empty());
  // Tree order: 0 2 5 4 1 3.  With the mark after message 5 (position 4)
  // only position 5 is new, which comes third in the tree.
  ForumSetHighwater(ann_, d_, 4);
  EXPECT_EQ(ForumFirstTreeNew(d_, ann_), a11);
  ForumSetHighwater(ann_, d_, 5);
  EXPECT_EQ(ForumFirstTreeNew(d_, ann_), -1);
  // A deletion rebuilds: the replies of a deleted message hang at the top.
  ASSERT_EQ(ForumItemDestroy(d_, a1), 0);
  EXPECT_EQ(ForumMsgThreadChildren(d_, -1), (std::vector<int32_t>{a, b, a11}));
  EXPECT_EQ(ForumMsgThreadChildren(d_, a), (std::vector<int32_t>{a2}));
  // New posts join the cache.
  int32_t b2 = PostN(1, b);
  EXPECT_EQ(ForumMsgThreadChildren(d_, b), (std::vector<int32_t>{b1, b2}));
  EXPECT_EQ(ForumFirstTreeNew(d_, ann_), b2);
}

TEST_F(ReadTest, MarksAreWalkedInIdentifierOrderAndKeptOnDisk) {
  PostN(2);
  Create(Path("/F"), "forum-topic", "x", "Two");
  ForumFile two = Path("/F/2");
  ForumSetHighwater(ann_, two, 0);
  ForumSetHighwater(ann_, d_, 1);
  ForumSetHighwater(ann_, Path("/F"), 7);
  EXPECT_EQ(UserHighwaterCount(root_, ann_), 3);
  std::vector<std::pair<int32_t, int32_t>> marks;
  int32_t id = 0, value = 0;
  for (int32_t after = 0; UserNextHighwater(root_, ann_, after, &id, &value); after = id)
    marks.emplace_back(id, value);
  std::vector<std::pair<int32_t, int32_t>> expected = {
      {ForumFileUniqueId(Path("/F")), 7}, {ForumFileUniqueId(d_), 3}, {ForumFileUniqueId(two), 2}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(marks, expected);
  int32_t dId = ForumFileUniqueId(d_);
  two = ForumFile();
  d_ = ForumFile();
  Reopen();
  int32_t stored = 0;
  ASSERT_TRUE(UserGetHighwater(root_, ann_, dId, &stored));
  EXPECT_EQ(stored, 3);
}

TEST_F(ReadTest, AnOldIntervalListIsReadAndConvertedOnTheFirstWrite) {
  PostN(3);
  int32_t dId = ForumFileUniqueId(d_);
  int32_t fId = ForumFileUniqueId(Path("/F"));
  ChHandle old = IvSlCreate(ann_);
  SlReplaceSeg(old, 3, uint32_t(dId), 1, 1);
  SlReplaceSeg(old, 5, uint32_t(fId), 1, 1);
  ForumUserSetHighwater(root_, ann_, old);
  EXPECT_EQ(MarkOf(ann_, d_), 3);
  EXPECT_EQ(ForumNewMessages(d_, ann_), 1);
  EXPECT_FALSE(ForumIsNew(Path("/F"), ann_));
  EXPECT_EQ(UserHighwaterCount(root_, ann_), 2);
  EXPECT_TRUE(lines_.empty());
  ForumSetHighwater(ann_, d_, 2);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], " * User highwater conversion Lee, Ann");
  EXPECT_EQ(ForumUserHighwater(root_, ann_), 0u);
  EXPECT_EQ(MarkOf(ann_, d_), 4);
  EXPECT_EQ(MarkOf(ann_, Path("/F")), 5);
  EXPECT_EQ(UserHighwaterCount(root_, ann_), 2);
}

}  // namespace
