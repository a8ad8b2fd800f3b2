// Folder children and messages: creation with its names and result codes,
// deletion, moving, renaming, messages and their numbering, open-item
// handles and their attributes.
#include "forum_test_util.h"

#include <set>

#include "ForumAcc.h"
#include "ForumUser.h"
#include "LgDb.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

class TreeTest : public ForumTest {
 protected:
  ChHandle F(const char* name) { return LgDbFieldIdGet(ForumRootHead(root_), S(name)); }
  int32_t Int(ChHandle rec, const char* field) {
    int32_t v = -999;
    (void)LgDbRecGetInt(rec, F(field), &v);
    return v;
  }
  uint16_t Try(const ForumFile& folder, const char* type, const char* name) {
    return ForumCatItemCreate(folder, S(type), S(name), S("t"), 0, true, nullptr);
  }
};

TEST_F(TreeTest, DiscussionsAreNumberedByTheFolderWhateverNameIsGiven) {
  EXPECT_EQ(Create(top_, "forum-topic", "ignored"), "1");
  EXPECT_EQ(ForumFileNextForum(top_), 2);
  EXPECT_EQ(Create(top_, "forum-link", "ignored too"), "2");
  EXPECT_EQ(Create(top_, "forum-live", ""), "3");
  EXPECT_TRUE(Path("/1"));
  EXPECT_EQ(ForumFileKind(Path("/1")), kForumKindDiscussion);
  EXPECT_EQ(ForumFileKind(Path("/3")), kForumKindLive);
  EXPECT_FALSE(Path("/ignored"));
  // The first entry sits at position 250000000, the next after it.
  ChHandle entry = ForumCatItemOpen(top_, 0);
  EXPECT_EQ(Int(entry, "EventId"), 250000000);
  EXPECT_EQ(Int(ForumCatItemOpen(top_, 1), "EventId"), 250000001);
  EXPECT_EQ(ForumFileLinkWebs(top_), 1);
  EXPECT_EQ(ForumFileLinkFolders(top_), 0);
}

TEST_F(TreeTest, NameChecksGiveTheirCodesAndChangeNothing) {
  Create(top_, "forum-category", "L1Cat");
  int32_t structRev = ForumRootStructRev(root_);
  EXPECT_EQ(Try(top_, "forum-category", "12"), kForumIntegerName);
  EXPECT_EQ(Try(top_, "forum-category", ""), kForumNameEmpty);
  EXPECT_EQ(Try(top_, "forum-category", "L1Cat"), kForumNameInUse);
  EXPECT_EQ(Try(top_, "forum-document", "7"), kForumNameEmpty);
  // Documents are not made as folder children (nor could they be deleted
  // as one).
  EXPECT_EQ(Try(top_, "forum-document", "picture.gif"), kForumBadType);
  EXPECT_FALSE(Path("/picture.gif"));
  EXPECT_EQ(Try(top_, "no-such-type", "x"), kForumBadType);
  Create(top_, "forum-topic", "");
  EXPECT_EQ(Try(Path("/1"), "forum-category", "inside"), kForumNotContainer);
  EXPECT_EQ(ForumRootStructRev(root_), structRev + 1);
  EXPECT_EQ(ForumFileSize(top_), 2);
  EXPECT_EQ(ForumFileCategoryCount(top_), 1);
}

TEST_F(TreeTest, AFolderWithChildrenIsNotDeleted) {
  Create(top_, "forum-category", "Outer");
  ForumFile outer = Path("/Outer");
  Create(outer, "forum-topic", "");
  int32_t structRev = ForumRootStructRev(root_);
  uint32_t listLength = LgDbLength(ForumFileList(top_));
  EXPECT_EQ(ForumCatItemDestroy(top_, S("Outer")), kForumNoEntry);
  EXPECT_EQ(ForumCatItemDestroy(top_, S("Missing")), kForumNoEntry);
  EXPECT_EQ(ForumRootStructRev(root_), structRev);
  EXPECT_EQ(LgDbLength(ForumFileList(top_)), listLength);
  EXPECT_EQ(ForumFileSize(top_), 1);
  EXPECT_TRUE(Path("/Outer/1"));
}

TEST_F(TreeTest, DeletionLeavesAnEventAndADeletedRecord) {
  Create(top_, "forum-category", "Gone");
  ForumFile gone = Path("/Gone");
  int32_t id = ForumFileUniqueId(gone);
  ChHandle rec = ForumFileRecord(gone);
  EXPECT_EQ(ForumCatItemDestroy(top_, S("Gone")), 0);
  EXPECT_EQ(LgDbRecGetText(rec, F("Type")), "deleted-category");
  EXPECT_FALSE(Path("/Gone"));
  EXPECT_FALSE(ForumFileOpenUnique(root_, id));
  EXPECT_EQ(ForumFileSize(top_), 0);
  EXPECT_EQ(ForumFileCategoryCount(top_), 0);
  ChHandle list = ForumFileList(top_);
  ChHandle event = LgDbRecGet(list, LgDbLength(list) - 1);
  EXPECT_EQ(LgDbRecGetText(event, F("Type")), "w-del-event");
  EXPECT_EQ(Int(event, "EventId"), 250000000);
  EXPECT_EQ(ForumCatItemCount(top_), 0u);
  // The holder of the handle still has it; the name is free again.
  EXPECT_EQ(Create(top_, "forum-category", "Gone"), "Gone");
  EXPECT_NE(ForumFileUniqueId(Path("/Gone")), id);
}

TEST_F(TreeTest, MessagesKeepSizeNegatedAndContentTypeOnlyWhenNotText) {
  Create(top_, "forum-topic", "");
  ForumFile d = Path("/1");
  int32_t ix = -1;
  ASSERT_EQ(ForumItemCreate(d, 0, S("first"), S("text"), S("hello world"), -1, true, &ix), 0);
  EXPECT_EQ(ix, 0);
  ChHandle msg = ForumItemRec(d, 0);
  EXPECT_FALSE(LgDbRecHasField(msg, F("ContentType")));
  EXPECT_EQ(Int(msg, "Size"), -11);
  EXPECT_EQ(ForumResponseSize(d, 0), 11);
  EXPECT_EQ(ForumItemContentType(d, 0), "text");
  ASSERT_EQ(ForumItemCreate(d, 0, S(""), S("text/html"), S("<b>x</b>"), 0, true, &ix), 0);
  EXPECT_EQ(ix, 1);
  EXPECT_EQ(ForumItemContentType(d, 1), "text/html");
  EXPECT_FALSE(LgDbRecHasField(ForumItemRec(d, 1), F("Title")));
  EXPECT_EQ(ForumItemReplyTo(d, 1), 0);
  EXPECT_EQ(ForumItemData(d, 1), "<b>x</b>");
  EXPECT_EQ(ForumMessageInfoCount(root_), 2u);
  // Messages are reached by path and by unique path.
  ForumFile m = Path("/1/1");
  ASSERT_TRUE(ForumFileIsMessage(m));
  EXPECT_EQ(ForumFileOpenUnique(root_, ForumFileUniqueId(m)), m);
  EXPECT_EQ(ForumFilePath(m), "/1/1");
}

TEST_F(TreeTest, NumbersAfterDeletionsAndPositionsNeverReused) {
  Create(top_, "forum-topic", "");
  ForumFile d = Path("/1");
  int32_t ix = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ForumItemCreate(d, 0, S(""), S(""), S("m"), -1, true, &ix), 0);
  EXPECT_EQ(ForumItemDestroy(d, 2), 0);
  EXPECT_EQ(ForumItemDestroy(d, 2), kForumNoEntry);
  EXPECT_EQ(ForumMessageCount(d), 2);
  ASSERT_EQ(ForumItemCreate(d, 0, S(""), S(""), S("after"), -1, true, &ix), 0);
  EXPECT_EQ(ix, 3);
  EXPECT_EQ(ForumItemNumber(d, 3), 2);
  EXPECT_EQ(ForumItemNumber(d, 1), 1);
  EXPECT_EQ(ForumMessageInfoCount(root_), 3u);
  EXPECT_EQ(ForumCatItemSize(root_, ForumCatItemOpen(top_, 0)), 3);
}

TEST_F(TreeTest, MessageIdentifiersAreIndexed) {
  Create(top_, "forum-topic", "");
  ForumFile d = Path("/1");
  int32_t ix = 0;
  ASSERT_EQ(ForumItemCreate(d, 0, S(""), S(""), S("m"), -1, true, &ix), 0);
  St longId = StCat(StCreateRepeat(60, 'a'), S("@b"));
  ASSERT_EQ(ForumItemSetMessageId(d, ix, longId), 0);
  ASSERT_EQ(ForumItemCreate(d, 0, S(""), S(""), S("n"), -1, true, &ix), 0);
  ASSERT_EQ(ForumItemSetMessageId(d, ix, StCat(StCreateRepeat(60, 'a'), S("@c"))), 0);
  EXPECT_EQ(ForumMessageIdLookup(root_, longId), ForumItemRec(d, 0));
  EXPECT_EQ(ForumMessageIdLookup(root_, StCat(StCreateRepeat(60, 'a'), S("@c"))),
            ForumItemRec(d, 1));
  EXPECT_EQ(ForumMessageIdLookup(root_, S("none")), 0u);
}

TEST_F(TreeTest, MoveKeepsIdentifiersAndRefusesCycles) {
  Create(top_, "forum-category", "A");
  Create(top_, "forum-category", "B");
  ForumFile a = Path("/A");
  Create(a, "forum-category", "Inner");
  Create(a, "forum-topic", "");
  ForumFile topic = Path("/A/1");
  int32_t id = ForumFileUniqueId(topic);
  EXPECT_EQ(ForumCatItemMove(top_, S("A"), Path("/A/Inner"), St()), kForumMoveIntoItself);
  EXPECT_EQ(ForumCatItemMove(top_, S("A"), a, St()), kForumMoveIntoItself);
  ChHandle aList = ForumFileList(a);
  uint32_t aLength = LgDbLength(aList);
  int32_t eventId = Int(LgDbTextFind(aList, S("1")), "EventId");
  EXPECT_EQ(ForumCatItemMove(a, S("1"), Path("/B"), St()), 0);
  EXPECT_FALSE(Path("/A/1"));
  // The move event takes the place of the entry it replaces.
  EXPECT_EQ(LgDbLength(aList), aLength);
  ChHandle event = LgDbRecGet(aList, uint32_t(eventId));
  EXPECT_EQ(LgDbRecGetText(event, F("Type")), "w-move-event");
  EXPECT_EQ(Int(event, "EventId"), eventId);
  EXPECT_EQ(ForumFilePath(topic), "/B/1");
  EXPECT_EQ(ForumFilePath(ForumFileOpen(root_, ForumUniquePathOf(id))), "/B/1");
  EXPECT_EQ(ForumCatItemMove(top_, S("A"), Path("/B"), S("Renamed")), 0);
  EXPECT_EQ(ForumFilePath(Path("/B/Renamed/Inner")), "/B/Renamed/Inner");
  EXPECT_EQ(ForumFileCategoryCount(top_), 1);
  EXPECT_EQ(ForumFileSize(Path("/B")), 2);
}

TEST_F(TreeTest, HandlesAreSharedAndCountedAndSettersWriteThrough) {
  Create(top_, "forum-category", "H");
  int32_t before = ForumOpenItemCount(root_);
  {
    ForumFile one = Path("/H");
    ForumFile two = Path("/H/");
    EXPECT_EQ(one, two);
    EXPECT_EQ(ForumOpenItemCount(root_), before + 1);
    ForumSetTitle(one, S("New title"));
    EXPECT_EQ(ForumFileTitle(two), "New title");
    EXPECT_EQ(LgDbRecGetText(ForumFileRecord(one), F("Title")), "New title");
    ForumSetHtmlBanner(one, S("<b>banner</b>"));
    ForumSetHits(one, 42);
    EXPECT_TRUE(ForumRootIsChanged(root_));
  }
  EXPECT_EQ(ForumOpenItemCount(root_), before);
  Reopen();
  ForumFile h = Path("/H");
  EXPECT_EQ(ForumFileTitle(h), "New title");
  EXPECT_EQ(ForumFileHtmlBanner(h), "<b>banner</b>");
  EXPECT_EQ(ForumFileHits(h), 42);
  EXPECT_EQ(ForumCatItemTitle(root_, ForumCatItemOpen(top_, 0)), "New title");
}

TEST_F(TreeTest, FlagsInheritThroughTheMaskAndWebItemsAreMarked) {
  ASSERT_EQ(ForumCatItemCreate(top_, S("forum-category"), S("Web"), S(""), 0, false, nullptr), 0);
  ForumFile web = Path("/Web");
  EXPECT_TRUE(ForumFileWebCreated(web));
  // Show tree view (0x2000) is inherited by default; show author (0x1)
  // never is.
  ForumFileSetShowTreeView(top_, true);
  ForumFileSetShowAuthor(top_, true);
  EXPECT_TRUE(ForumFileShowTreeView(web));
  EXPECT_FALSE(ForumFileShowAuthor(web));
  ForumSetInherits(web, 0);
  EXPECT_FALSE(ForumFileShowTreeView(web));
  ForumFileSetShowTreeView(web, true);
  ForumFileSetShowTreeView(top_, false);
  EXPECT_TRUE(ForumFileShowTreeView(web));
}

TEST_F(TreeTest, AMovedFolderAndTheItemsBelowItInheritFromTheirNewParent) {
  Create(top_, "forum-category", "A");
  Create(top_, "forum-category", "B");
  Create(Path("/A"), "forum-category", "C");
  Create(Path("/A/C"), "forum-topic", "");
  ForumSetInherits(Path("/A"), 0);
  ForumFileSetShowTreeView(Path("/A"), true);
  ForumFile c = Path("/A/C");
  ForumFile topic = Path("/A/C/1");
  EXPECT_TRUE(ForumFileShowTreeView(c));
  EXPECT_TRUE(ForumFileShowTreeView(topic));
  EXPECT_EQ(ForumCatItemMove(top_, S("A"), Path("/B"), St()), 0);
  EXPECT_EQ(ForumCatItemMove(Path("/B/A"), S("C"), Path("/B"), St()), 0);
  EXPECT_FALSE(ForumFileShowTreeView(c));
  EXPECT_FALSE(ForumFileShowTreeView(topic));
}

TEST_F(TreeTest, RenameKeepsUniquePathsAndDropsTheOldName) {
  Create(top_, "forum-category", "L1Cat");
  Create(Path("/L1Cat"), "forum-category", "L2Cat");
  Create(Path("/L1Cat/L2Cat"), "forum-topic", "");
  St unique = ForumFileUniquePath(Path("/L1Cat/L2Cat/1"));
  EXPECT_EQ(ForumCatItemSetName(top_, S("L1Cat"), S("12")), kForumIntegerName);
  EXPECT_EQ(ForumCatItemSetName(top_, S("L1Cat"), S("L1CatRenamed")), 0);
  EXPECT_TRUE(Path("/L1CatRenamed/L2Cat/1"));
  EXPECT_FALSE(Path("/L1Cat/L2Cat/1"));
  ForumFile d = ForumFileOpen(root_, unique);
  EXPECT_EQ(ForumFilePath(d), "/L1CatRenamed/L2Cat/1");
  EXPECT_EQ(ForumCatItemSetTitle(Path("/L1CatRenamed"), S("L2Cat"), S("Second")), 0);
  EXPECT_EQ(ForumFileTitle(Path("/L1CatRenamed/L2Cat")), "Second");
}

class ListTest : public TreeTest {
 protected:
  void Item(const char* type, const char* name, const char* title, int created, int changed) {
    St final = Create(top_, type, name, title);
    ForumFile f = ForumFileHasChild(top_, final);
    ForumSetCreateDate(f, LgDbTd{created, 120000});
    ForumSetDate(f, LgDbTd{changed, 120000});
  }
  std::string Names(int order) {
    std::string out;
    for (ChHandle entry : CreateCatList(top_, order)) {
      if (!out.empty()) out += ' ';
      out += ForumCatItemName(root_, entry).Str();
    }
    return out;
  }
};

TEST_F(ListTest, FiveOrdersAfterTheSortSequence) {
  Item("forum-category", "Beta", "", 20010101, 20100101);
  Item("forum-category", "alpha", "", 20030101, 20050101);
  Item("forum-topic", "", "gamma", 20020101, 20200101);
  Item("forum-topic", "", "Delta", 20000101, 20010101);
  EXPECT_EQ(Names(kForumSeqCreate), "2 Beta 1 alpha");
  EXPECT_EQ(Names(kForumSeqRevCreate), "alpha 1 Beta 2");
  EXPECT_EQ(Names(7), "alpha 1 Beta 2");
  EXPECT_EQ(Names(kForumSeqDefault), "alpha 1 Beta 2");  // the sysop's default
  EXPECT_EQ(Names(kForumSeqRevMod), "1 Beta alpha 2");
  EXPECT_EQ(Names(kForumSeqAlpha), "alpha Beta 2 1");
  ForumSysopSetCatForumSeq(root_, kForumSeqAlpha);
  EXPECT_EQ(Names(kForumSeqDefault), "alpha Beta 2 1");
  ForumSetSortSeq(ForumFileHasChild(top_, S("2")), 5);
  EXPECT_EQ(Names(kForumSeqCreate), "2 Beta 1 alpha");
  EXPECT_EQ(Names(kForumSeqRevCreate), "2 alpha 1 Beta");
  EXPECT_EQ(Names(kForumSeqAlpha), "2 alpha Beta 1");
  // Equal items keep their name order.
  ForumSetCreateDate(ForumFileHasChild(top_, S("Beta")), LgDbTd{20030101, 120000});
  EXPECT_EQ(Names(kForumSeqCreate), "2 1 alpha Beta");
}

class TreeReviewTest : public TreeTest {
 protected:
  // The entry names of folder in name order, joined by blanks.
  std::string Names(const ForumFile& folder) {
    std::string out;
    for (uint32_t i = 0; i < ForumCatItemCount(folder); ++i) {
      if (!out.empty()) out += ' ';
      out += ForumCatItemName(root_, ForumCatItemOpen(folder, i)).Str();
    }
    return out;
  }
};

TEST_F(TreeReviewTest, AFoldersOnlySiteMakesOnlyFoldersLinksAndContainers) {
  ForumSysopSetSiteKind(root_, kForumSiteFoldersOnly);
  EXPECT_EQ(Try(top_, "forum-topic", ""), kForumNotContainer);
  EXPECT_EQ(Try(top_, "forum-live", ""), kForumNotContainer);
  EXPECT_EQ(Try(top_, "forum-category", "F"), 0);
  EXPECT_EQ(Try(top_, "forum-link", ""), 0);
  EXPECT_EQ(Try(top_, "forum-shipcon", ""), 0);
  EXPECT_EQ(ForumFileSize(top_), 3);
}

TEST_F(TreeReviewTest, MovesAndRenamesNeverGiveTwoChildrenOneName) {
  Create(top_, "forum-category", "A");
  Create(top_, "forum-category", "B");
  ForumFile a = Path("/A"), b = Path("/B");
  Create(a, "forum-topic", "");
  // A discussion renamed to a number the folder has not given yet.
  ASSERT_EQ(ForumCatItemSetName(a, S("1"), S("3")), 0);
  Create(b, "forum-topic", "");
  Create(b, "forum-topic", "");
  Create(b, "forum-topic", "");
  ASSERT_EQ(ForumCatItemMove(b, S("1"), a, St()), 0);
  ASSERT_EQ(ForumCatItemMove(b, S("2"), a, St()), 0);
  ASSERT_EQ(ForumCatItemMove(b, S("3"), a, St()), 0);
  std::string names = Names(a);
  std::set<std::string> distinct;
  size_t count = 0;
  for (size_t at = 0; at < names.size();) {
    size_t end = names.find(' ', at);
    if (end == std::string::npos) end = names.size();
    distinct.insert(names.substr(at, end - at));
    ++count;
    at = end + 1;
  }
  EXPECT_EQ(count, 4u) << names;
  EXPECT_EQ(distinct.size(), count) << names;
  // A folder moved next to a folder of its name is refused, in any case.
  Create(b, "forum-category", "Same");
  Create(a, "forum-category", "Same");
  EXPECT_EQ(ForumCatItemMove(b, S("Same"), a, St()), kForumNameInUse);
  EXPECT_EQ(ForumCatItemSetName(a, S("Same"), S("4")), kForumIntegerName);
}

TEST_F(TreeReviewTest, StaleMessageNumbersAnswerNotFound) {
  Create(top_, "forum-topic", "");
  ForumFile d = Path("/1");
  int32_t ix = 0;
  ASSERT_EQ(ForumItemCreate(d, 0, S("t"), S(""), S("body"), -1, true, &ix), 0);
  ASSERT_EQ(ForumItemCreate(d, 0, S("u"), S(""), S("more"), -1, true, &ix), 0);
  ASSERT_EQ(ForumItemDestroy(d, 0), 0);
  for (int32_t n : {0, 2, 7, -2, 1 << 30}) {
    EXPECT_EQ(ForumResponseSize(d, n), -1) << n;
    EXPECT_EQ(ForumItemRec(d, n), 0u);
    EXPECT_TRUE(ForumItemData(d, n).IsNil());
    EXPECT_EQ(ForumItemAuthor(d, n), 0u);
  }
  EXPECT_EQ(ForumResponseSize(d, 1), 4);
}

TEST_F(TreeReviewTest, DeletingALinkLowersTheFoldersLinkCounts) {
  Create(top_, "forum-category", "F");
  St web = Create(top_, "forum-link", "");
  St toFolder = Create(top_, "forum-link", "");
  ForumFile link = ForumFileHasChild(top_, toFolder);
  ForumLinkSetUrl(link, ForumFileUniquePath(Path("/F")));
  ForumLinkSetType(link, kForumLinkFolder);
  link = ForumFile();
  EXPECT_EQ(ForumFileLinkWebs(top_), 1);
  EXPECT_EQ(ForumFileLinkFolders(top_), 1);
  ASSERT_EQ(ForumCatItemDestroy(top_, web), 0);
  EXPECT_EQ(ForumFileLinkWebs(top_), 0);
  ASSERT_EQ(ForumCatItemDestroy(top_, toFolder), 0);
  EXPECT_EQ(ForumFileLinkFolders(top_), 0);
}

class WebOpsTest : public TreeTest {};

// The folder's other mail settings and its background go through the
// journaling setters and are read back after a replay in the exchange tests.
TEST_F(WebOpsTest, FolderMailAddressListSwitchAndLinkTextsKeepTheirValues) {
  Create(top_, "forum-category", "F");
  St linkName = Create(top_, "forum-link", "");
  {
    ForumFile f = Path("/F");
    EXPECT_EQ(ForumFileListItems(f), 1);  // listed unless said otherwise
    EXPECT_TRUE(ForumFileFolderEmailPw(f).IsNil());
    ForumSetFolderEmail(f, S("f@example.org"));
    ForumSetFolderEmailPostThru(f, 1);
    ForumSetListItems(f, 0);
    ForumFile link = ForumFileHasChild(top_, linkName);
    ForumLinkSetTitle(link, S("Elsewhere"));
    ForumLinkSetHtml(link, S("<i>a web page</i>"));
    ForumLinkSetUrl(link, S("http://example.org/"));
  }
  Reopen();
  ForumFile f = Path("/F");
  EXPECT_EQ(ForumFileFolderEmail(f), "f@example.org");
  EXPECT_EQ(ForumFileListItems(f), 0);
  EXPECT_EQ(Int(ForumFileRecord(f), "FolderEmailPostThru"), 1);
  ForumFile link = ForumFileHasChild(top_, linkName);
  EXPECT_EQ(ForumLinkTitle(link), "Elsewhere");
  EXPECT_EQ(ForumLinkHtml(link), "<i>a web page</i>");
  EXPECT_EQ(ForumLinkUrl(link), "http://example.org/");
}

TEST_F(WebOpsTest, HitsAndPostsCountUpTheTreeAndForTheSite) {
  Create(top_, "forum-category", "A");
  Create(Path("/A"), "forum-topic", "");
  ForumFile d = Path("/A/1");
  ASSERT_EQ(ForumItemCreate(d, 0, S(""), S(""), S("m"), -1, true, nullptr), 0);
  ForumFileCountHit(d);
  ForumFileCountHit(Path("/A/1/0"));  // a message counts for its discussion
  ForumFileCountHit(Path("/A"));
  ForumFileCountPost(d);
  EXPECT_EQ(ForumFileHits(d), 2);
  EXPECT_EQ(ForumFileHits(Path("/A")), 1);
  EXPECT_EQ(ForumFileChildrenHits(Path("/A")), 2);
  EXPECT_EQ(ForumFileChildrenHits(top_), 3);
  EXPECT_EQ(ForumFilePosts(d), 1);
  EXPECT_EQ(ForumFileChildrenPosts(top_), 1);
  EXPECT_EQ(ForumSiteHits(root_), 3);
  EXPECT_EQ(ForumSitePosts(root_), 1);
  d = ForumFile();
  Reopen();
  EXPECT_EQ(ForumSiteHits(root_), 3);
  ForumSiteSetHits(root_, 0);
  ForumSiteSetPosts(root_, 10);
  EXPECT_EQ(ForumSiteHits(root_), 0);
  EXPECT_EQ(ForumSitePosts(root_), 10);
}

TEST_F(WebOpsTest, AListingShowsWhatTheUserMayReadAPageAtATime) {
  ChHandle ann = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), St(), St(), &ann), 0);
  const char* names[] = {"a", "b", "c", "d", "e"};
  for (const char* n : names) Create(top_, "forum-category", n, n);
  // "b" and "d" are closed to guests.
  for (const char* n : {"b", "d"}) {
    ForumAccEnable(Path((std::string("/") + n).c_str()), kForumAccAllGuests, 0);
    ForumAccEnable(Path((std::string("/") + n).c_str()), kForumAccAllUsers, kForumAccAllRights);
  }
  auto names_of = [&](const std::vector<ChHandle>& entries) {
    std::string out;
    for (ChHandle e : entries) out += ForumCatItemName(root_, e).Str();
    return out;
  };
  int32_t total = 0;
  EXPECT_EQ(names_of(ForumCatListPage(top_, 0, kForumSeqAlpha, 0, -1, &total)), "ace");
  EXPECT_EQ(total, 3);
  EXPECT_EQ(names_of(ForumCatListPage(top_, ann, kForumSeqAlpha, 0, -1, &total)), "abcde");
  EXPECT_EQ(total, 5);
  EXPECT_EQ(names_of(ForumCatListPage(top_, ann, kForumSeqAlpha, 1, 2, &total)), "bc");
  EXPECT_EQ(names_of(ForumCatListPage(top_, ann, kForumSeqAlpha, 4, 2, nullptr)), "e");
  EXPECT_EQ(names_of(ForumCatListPage(top_, 0, kForumSeqAlpha, 1, 1, nullptr)), "c");
  EXPECT_EQ(names_of(ForumCatListPage(top_, 0, kForumSeqAlpha, 3, 5, &total)), "");
}

TEST_F(WebOpsTest, NumberedItemsAreRenamedOnlyToFreeNumbers) {
  Create(top_, "forum-topic", "");
  Create(top_, "forum-topic", "");
  EXPECT_EQ(ForumCatItemSetName(top_, S("1"), S("talk")), kForumNameEmpty);
  EXPECT_EQ(ForumCatItemSetName(top_, S("1"), S("0")), kForumNameEmpty);
  EXPECT_EQ(ForumCatItemSetName(top_, S("1"), S("2")), kForumNameInUse);
  EXPECT_EQ(ForumCatItemSetName(top_, S("1"), S("+07")), 0);  // written "7"
  EXPECT_TRUE(Path("/7"));
  EXPECT_EQ(ForumFileNextForum(top_), 8);
  EXPECT_EQ(Create(top_, "forum-topic", ""), "8");
  EXPECT_EQ(ForumCatItemSetName(top_, S("nothing"), S("9")), kForumNoEntry);
}

TEST_F(WebOpsTest, NewsgroupNamesGoToTheRegisteredLookUpsInOrder) {
  Create(top_, "forum-category", "News");
  EXPECT_FALSE(Path("comp.lang.c"));
  std::vector<std::string> asked;
  ForumOnNewsgroupLookup([&](ForumRoot root, const St& name, ForumFile* out) {
    asked.push_back("first " + name.Str());
    if (name.View() != "comp.lang.c") return false;
    *out = ForumFileOpen(root, S("/News"));
    return true;
  });
  ForumOnNewsgroupLookup([&](ForumRoot, const St& name, ForumFile*) {
    asked.push_back("second " + name.Str());
    return false;
  });
  EXPECT_EQ(Path("comp.lang.c"), Path("/News"));
  EXPECT_FALSE(Path("alt.test"));
  EXPECT_EQ(asked, (std::vector<std::string>{"first comp.lang.c", "first alt.test",
                                             "second alt.test"}));
  ForumCallbacksClear();
  EXPECT_FALSE(Path("comp.lang.c"));
}

}  // namespace
