// Unique identifiers and paths: allocation, chosen identifiers, the index
// with repair, name paths, unique paths, links and chained link paths.
#include "forum_test_util.h"

#include "Bt.h"
#include "ForumUser.h"
#include "LgDb.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

using PathTest = ForumTest;

TEST_F(PathTest, TopFolderByNameAndByUniquePath) {
  ForumFile byName = Path("/");
  ForumFile byId = Path(".ee6b280");
  ASSERT_TRUE(byName);
  EXPECT_EQ(byName, byId);
  EXPECT_EQ(byName, top_);
  EXPECT_EQ(ForumFileUniquePath(top_), ".ee6b280");
  EXPECT_EQ(ForumFilePath(top_), "/");
  Create(top_, "forum-category", "First");
  // The folder takes 250000004, its entry record the next one.
  EXPECT_EQ(ForumFileUniquePath(Path("/First")), ".ee6b284");
  EXPECT_EQ(ForumNextUniqueId(root_), 250000006);
}

TEST_F(PathTest, TrailingSlashAndHeadPositionAreDropped) {
  Create(top_, "forum-category", "L1Cat");
  Create(Path("/L1Cat"), "forum-category", "L2Cat");
  Create(Path("/L1Cat/L2Cat"), "forum-topic", "");
  ForumFile d = Path("/L1Cat/L2Cat/1");
  ASSERT_TRUE(d);
  EXPECT_EQ(Path("/L1Cat/"), Path("/L1Cat"));
  EXPECT_EQ(Path("/L1Cat/L2Cat/1/-1"), d);
  EXPECT_EQ(Path("/L1Cat/L2Cat/1/-1/"), d);
  St unique = ForumFileUniquePath(d);
  EXPECT_EQ(ForumFileOpen(root_, StCat(unique, S("/-1"))), d);
  EXPECT_EQ(ForumFileOpen(root_, StCat(ForumFileUniquePath(Path("/L1Cat")), S("/L2Cat/1"))), d);
}

TEST_F(PathTest, NamesAreQuotedAndSpacesRefused) {
  Create(top_, "forum-category", "a b");
  Create(top_, "forum-category", "x%y");
  EXPECT_FALSE(Path("/a b"));
  ForumFile ab = Path("/a%20b");
  ASSERT_TRUE(ab);
  EXPECT_EQ(ForumFilePath(ab), StCat(S("/"), StToUrlQuote(S("a b"))));
  EXPECT_EQ(ForumFileOpen(root_, ForumFilePath(Path("/x%25y"))), Path("/x%25y"));
  EXPECT_FALSE(Path("/missing"));
  EXPECT_FALSE(Path(".zz"));
  EXPECT_FALSE(Path(".fffffff"));
  EXPECT_FALSE(Path("newsgroup.name"));
  EXPECT_FALSE(Path(""));
}

TEST_F(PathTest, ChosenIdentifiersRaiseTheCounterAndAreNotShared) {
  Create(top_, "forum-category", "A");
  Create(top_, "forum-category", "B");
  ChHandle a = ForumFileRecord(Path("/A"));
  ChHandle b = ForumFileRecord(Path("/B"));
  int32_t oldB = ForumUniqueIdFromRec(root_, b);
  EXPECT_TRUE(ForumSetUniqueIdFromRec(root_, b, 260000000));
  EXPECT_EQ(ForumNextUniqueId(root_), 260000001);
  EXPECT_EQ(ForumRecFromUniqueId(root_, 260000000), b);
  EXPECT_EQ(ForumRecFromUniqueId(root_, oldB), 0u);
  EXPECT_FALSE(ForumSetUniqueIdFromRec(root_, a, 260000000));
  EXPECT_TRUE(ForumSetUniqueIdFromRec(root_, a, 250000100));
  EXPECT_EQ(ForumNextUniqueId(root_), 260000001);
  ForumSetNextUniqueId(root_, 5);
  EXPECT_EQ(ForumNextUniqueId(root_), 260000001);
}

TEST_F(PathTest, StaleIndexEntriesAreDroppedOnFirstLookUp) {
  Create(top_, "forum-category", "A");
  ChHandle a = ForumFileRecord(Path("/A"));
  ChHandle index = ForumUniqueIndex(root_);
  BtihDbSet(index, 270000000, a);  // a carries another identifier
  EXPECT_EQ(ForumRecFromUniqueId(root_, 270000000), 0u);
  EXPECT_FALSE(BtihDbLookup(index, 270000000, nullptr));
  BtihDbSet(index, 270000001, 0x12345);  // not a chunk at all
  EXPECT_FALSE(ForumFileOpenUnique(root_, 270000001));
  EXPECT_FALSE(BtihDbLookup(index, 270000001, nullptr));
  // A record of another file.
  ChFi file = nullptr;
  ChPart part = 0;
  ASSERT_EQ(ChFiCreate("other.db", &file), 0);
  ASSERT_EQ(ChFiPartCreate(file, &part), 0);
  ChHandle elsewhere = LgDbRecCreate(ChPartNear(part));
  LgDbRecPutInt(elsewhere, LgDbFieldIdGet(ForumRootHead(root_), S("UniqueId")), 270000002);
  BtihDbSet(index, 270000002, elsewhere);
  EXPECT_EQ(ForumRecFromUniqueId(root_, 270000002), 0u);
  EXPECT_FALSE(BtihDbLookup(index, 270000002, nullptr));
  (void)ChFiClose(file);
}

TEST_F(PathTest, TheOpenTimeCheckPutsBackFoldersUsersAndGuests) {
  // A sound new database (its sysop included) needs nothing put back.
  EXPECT_EQ(ForumFixupUniqueId(root_), 0);
  Create(top_, "forum-category", "A");
  ChHandle folder = ForumFileRecord(Path("/A"));
  ChHandle user = 0, guest = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Example"), S("ann@example.org"),
                            St(), &user), 0);
  ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Visitor"), St(), St(), &guest), 0);
  ChHandle index = ForumUniqueIndex(root_);
  for (ChHandle rec : {folder, user, guest}) {
    int32_t id = ForumUniqueIdFromRec(root_, rec);
    ASSERT_TRUE(BtihDbRemoveExact(index, uint32_t(id), rec));
  }
  EXPECT_EQ(ForumFixupUniqueId(root_), 3);
  for (ChHandle rec : {folder, user, guest})
    EXPECT_EQ(ForumRecFromUniqueId(root_, ForumUniqueIdFromRec(root_, rec)), rec);
}

TEST_F(PathTest, UniquePrintListsEveryIdentifier) {
  Create(top_, "forum-category", "A", "Title of A");
  std::string out;
  ForumUniquePrint(root_, &out);
  EXPECT_EQ(out.substr(0, 11), "ee6b280\t\nee");
  EXPECT_NE(out.find("ee6b284\tTitle of A\n"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6);
}

class LinkTest : public ForumTest {
 protected:
  // A folder link in folder to target's unique path; returns the link.
  ForumFile Link(const ForumFile& folder, const ForumFile& target, int kind = kForumLinkFolder) {
    St name = Create(folder, "forum-link", "");
    ForumFile link = ForumFileHasChild(folder, name);
    ForumLinkSetUrl(link, ForumFileUniquePath(target));
    ForumLinkSetType(link, kind);
    return link;
  }
};

TEST_F(LinkTest, FolderLinksAreFollowedAndCounted) {
  Create(top_, "forum-category", "Src");
  Create(top_, "forum-category", "Dst");
  Create(Path("/Dst"), "forum-topic", "");
  ForumFile link = Link(Path("/Src"), Path("/Dst"));
  EXPECT_TRUE(ForumLinkIsFolder(link));
  EXPECT_FALSE(ForumLinkIsLink(link));
  EXPECT_EQ(ForumFileLinkFolders(Path("/Src")), 1);
  EXPECT_EQ(ForumFileLinkWebs(Path("/Src")), 0);
  EXPECT_EQ(ForumLinkOpen(link), Path("/Dst"));
  EXPECT_EQ(Path("/Src/1/1"), Path("/Dst/1"));
  // The chained form names the link before the target.
  St chained = StCat(ForumFileUniquePath(link), ForumFileUniquePath(Path("/Dst/1")));
  ForumFile viaLink = ForumFileOpen(root_, chained);
  ASSERT_TRUE(viaLink);
  EXPECT_EQ(ForumFileUniquePath(viaLink), chained);
  // A target outside the link's target fails the chained open.
  EXPECT_FALSE(ForumFileOpen(root_, StCat(ForumFileUniquePath(link), S(".ee6b280"))));
  // A discussion link does not lead to a folder; a web link leads nowhere.
  ForumLinkSetType(link, kForumLinkDiscussion);
  EXPECT_FALSE(ForumLinkOpen(link));
  ForumLinkSetType(link, 0);
  EXPECT_TRUE(ForumLinkIsLink(link));
  EXPECT_FALSE(ForumLinkOpen(link));
  EXPECT_EQ(ForumFileLinkFolders(Path("/Src")), 0);
  EXPECT_EQ(ForumFileLinkWebs(Path("/Src")), 1);
}

TEST_F(LinkTest, CyclesEndTheWalkAndTenChainedLinksFail) {
  Create(top_, "forum-category", "Loop");
  ForumFile loop = Path("/Loop");
  ForumFile back = Link(loop, top_);
  // A link up to an ancestor ends the walk where it stands.
  EXPECT_EQ(Path("/Loop/1"), loop);
  // A link naming itself leads nowhere.
  ForumLinkSetUrl(back, ForumFileUniquePath(back));
  EXPECT_FALSE(ForumLinkOpen(back));
  ForumLinkSetUrl(back, ForumFileUniquePath(loop));
  EXPECT_EQ(ForumLinkOpen(back), loop);
  St chain;
  for (int i = 0; i < 9; ++i) chain = StCat(std::move(chain), ForumFileUniquePath(back));
  EXPECT_TRUE(ForumFileOpen(root_, StCat(chain, ForumFileUniquePath(loop))));
  chain = StCat(std::move(chain), ForumFileUniquePath(back));
  EXPECT_FALSE(ForumFileOpen(root_, StCat(chain, ForumFileUniquePath(loop))));
}

}  // namespace

namespace {

using forumtest::S;
using namespace quil;

using LinkPrefixTest = LinkTest;

TEST_F(LinkPrefixTest, AnOpenThroughALinkLeavesOtherHoldersWithTheirOwnUniquePath) {
  Create(top_, "forum-category", "Src");
  Create(top_, "forum-category", "Dst");
  ForumFile link = Link(Path("/Src"), Path("/Dst"));
  ForumFile direct = Path("/Dst");
  St own = ForumFileUniquePath(direct);
  St chained = StCat(ForumFileUniquePath(link), own);
  ForumFile viaLink = ForumFileOpen(root_, chained);
  ASSERT_TRUE(viaLink);
  EXPECT_EQ(viaLink, direct);  // one cached item
  EXPECT_EQ(ForumFileUniquePath(viaLink), chained);
  EXPECT_EQ(ForumFileUniquePath(direct), own);
  EXPECT_EQ(ForumFileUniquePath(Path("/Dst")), own);
  ForumFile copy = viaLink;
  EXPECT_EQ(ForumFileUniquePath(copy), chained);
}

TEST_F(LinkPrefixTest, ANamePathThroughALinkCarriesTheLinkInItsUniquePath) {
  Create(top_, "forum-category", "Src");
  Create(top_, "forum-category", "Dst");
  Create(Path("/Dst"), "forum-category", "Inner");
  ForumFile link = Link(Path("/Src"), Path("/Dst"));
  ForumFile inner = Path("/Src/1/Inner");
  ASSERT_TRUE(inner);
  EXPECT_EQ(ForumFilePath(inner), "/Dst/Inner");
  St want = StCat(ForumFileUniquePath(link), ForumFileUniquePath(Path("/Dst/Inner")));
  EXPECT_EQ(ForumFileUniquePath(inner), want);
  // The unique path it gives opens the same item again.
  EXPECT_EQ(ForumFileOpen(root_, want), inner);
  EXPECT_EQ(ForumFileUniquePath(ForumFileOpen(root_, want)), want);
}

TEST_F(ForumTest, DeletedMessagesAndMessagesOfDeletedDiscussionsDoNotOpen) {
  Create(top_, "forum-topic", "");
  Create(top_, "forum-topic", "");
  ForumFile d = Path("/1");
  int32_t ix = 0;
  ASSERT_EQ(ForumItemCreate(d, 0, S("a"), S(""), S("first"), -1, true, &ix), 0);
  ASSERT_EQ(ForumItemCreate(d, 0, S("b"), S(""), S("second"), 0, true, &ix), 0);
  int32_t first = ForumFileUniqueId(Path("/1/0"));
  int32_t second = ForumFileUniqueId(Path("/1/1"));
  {
    ForumFile held = ForumFileOpenUnique(root_, second);  // cached while deleted
    ASSERT_TRUE(held);
    ASSERT_EQ(ForumItemDestroy(d, 0), 0);
    ASSERT_EQ(ForumItemDestroy(d, 1), 0);
    EXPECT_FALSE(ForumFileOpenUnique(root_, second));
  }
  EXPECT_FALSE(ForumFileOpenUnique(root_, first));
  EXPECT_FALSE(ForumFileOpenUnique(root_, second));
  EXPECT_FALSE(ForumFileOpen(root_, ForumUniquePathOf(first)));
  EXPECT_FALSE(Path("/1/0"));
  ForumFile e = Path("/2");
  ASSERT_EQ(ForumItemCreate(e, 0, S("c"), S(""), S("third"), -1, true, &ix), 0);
  int32_t third = ForumFileUniqueId(Path("/2/0"));
  e = ForumFile();
  d = ForumFile();
  ASSERT_EQ(ForumCatItemDestroy(top_, S("2")), 0);
  EXPECT_FALSE(ForumFileOpenUnique(root_, third));
  EXPECT_FALSE(ForumFileOpen(root_, StCat(ForumUniquePathOf(third), S("/x"))));
  Reopen();
  EXPECT_FALSE(ForumFileOpenUnique(root_, first));
  EXPECT_FALSE(ForumFileOpenUnique(root_, third));
}

TEST_F(ForumTest, EmptyNamesInAPathAreRefused) {
  Create(top_, "forum-category", "A");
  Create(Path("/A"), "forum-category", "B");
  EXPECT_TRUE(Path("/A/B"));
  EXPECT_FALSE(Path("//A"));
  EXPECT_FALSE(Path("/A//B"));
  EXPECT_FALSE(ForumFileOpen(root_, StCat(ForumFileUniquePath(Path("/A")), S("//B"))));
}

}  // namespace

namespace {

TEST_F(LinkPrefixTest, TheLastLookUpTellsTheLinksItPassed) {
  Create(top_, "forum-category", "Src");
  Create(top_, "forum-category", "Dst");
  ForumFile link = Link(Path("/Src"), Path("/Dst"));
  ForumFile via = Path("/Src/1");
  EXPECT_EQ(ForumLinksEnd, ForumFileUniquePath(link));
  EXPECT_EQ(via.LinkPrefix(), ForumLinksEnd);
  // Below an item reached through a link, children carry the link too.
  Create(Path("/Dst"), "forum-topic", "");
  ForumFile child = ForumFileHasChild(via, S("1"));
  EXPECT_EQ(child.LinkPrefix(), ForumFileUniquePath(link));
  EXPECT_TRUE(Path("/Dst"));
  EXPECT_TRUE(ForumLinksEnd.Empty());
  EXPECT_FALSE(Path("/none"));
  EXPECT_TRUE(ForumLinksEnd.IsNil());
}

// Whatever a request carries, a look-up answers (a handle or none) and
// never halts.  What opens is an item of the tree with its name path, or a
// group (which has none).
TEST_F(ForumTest, LocationsFromRequestsNeverHalt) {
  Create(top_, "forum-category", "A");
  Create(Path("/A"), "forum-topic", "");
  ForumFile d = Path("/A/1");
  ASSERT_EQ(ForumItemCreate(d, 0, S("t"), S(""), S("body"), -1, true, nullptr), 0);
  ASSERT_EQ(ForumItemAddEnclosure(d, 0, S("x.txt"), S("text/plain"), S("x")), 0);
  d = ForumFile();
  const char* paths[] = {
      "", "/", "//", "///", ".", "..", "...", "./", "/.", "/..", "/A/.", "/A/1/-1/-1",
      "/A/1/0/x.txt/y", "/A/1/99999999999", "/A/1/-5", "/A/1/+0", "/A/1/0x1", ".ffffffff",
      ".0", ".-1", ".ee6b280.ee6b280", ".ee6b280/A/1/0/x.txt", ".ee6b281", ".ee6b282",
      ".ee6b283", ".ee6b285", "/%", "/%zz", "/A%2F1", "-1", "/-1", "\x01", "/A/1/0/",
      ".ee6b280////", ".ee6b280/", ".e.e.e.e.e.e.e.e.e.e.e", "/A/1/0/x.txt/-1"};
  for (const char* p : paths) {
    ForumFile f = ForumFileOpen(root_, S(p));
    if (f && ForumFileKind(f) != kForumKindGroup) {
      EXPECT_FALSE(ForumFilePath(f).IsNil()) << p;
    }
  }
  // Random bytes of the path alphabet.
  uint32_t seed = uint32_t(time(nullptr));
  printf("seed %u\n", seed);
  srand(seed);
  const char alphabet[] = "/.-0123456789abcdefA%x ";
  for (int i = 0; i < 3000; ++i) {
    std::string p;
    int n = rand() % 16;
    for (int k = 0; k < n; ++k) p += alphabet[size_t(rand()) % (sizeof alphabet - 1)];
    ForumFile f = ForumFileOpen(root_, StFromView(p));
    if (f && ForumFileKind(f) != kForumKindGroup) {
      EXPECT_FALSE(ForumFilePath(f).IsNil()) << p;
    }
  }
}

}  // namespace
