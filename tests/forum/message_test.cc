// Messages as the web layer uses them: posting with its result codes, the
// operations on stale positions, the mail-derived fields, walking the live
// messages, the author's post list, and documents attached to messages.
#include <string>

#include "ForumUser.h"
#include "LgDb.h"
#include "forum_test_util.h"

namespace {

using forumtest::S;
using namespace quil;

class MessageTest : public forumtest::ForumTest {
 protected:
  void SetUp() override {
    ForumTest::SetUp();
    Create(top_, "forum-topic", "");
    d_ = Path("/1");
  }
  void TearDown() override {
    d_ = ForumFile();
    ForumTest::TearDown();
  }
  void Reopen() {
    d_ = ForumFile();
    ForumTest::Reopen();
    d_ = Path("/1");
  }
  int32_t Post(const char* body, ChHandle author = 0, int32_t replyTo = -1) {
    int32_t ix = -9;
    EXPECT_EQ(ForumItemCreate(d_, author, S("title"), S("text"), S(body), replyTo, true, &ix), 0);
    return ix;
  }
  std::string Indexes(const std::vector<int32_t>& v) {
    std::string out;
    for (int32_t i : v) out += (out.empty() ? "" : " ") + std::to_string(i);
    return out;
  }
  ForumFile d_;
};

TEST_F(MessageTest, PostingAnswersWithACodeAndChangesNothingOnFailure) {
  Post("first");
  int32_t msgRev = ForumRootMsgRev(root_);
  int32_t ix = -9;
  EXPECT_EQ(ForumItemCreate(top_, 0, S("t"), S(""), S("b"), -1, true, &ix), kForumNotContainer);
  EXPECT_EQ(ForumItemCreate(ForumFile(), 0, S("t"), S(""), S("b"), -1, true, &ix),
            kForumNotContainer);
  EXPECT_EQ(ForumItemCreate(d_, 0, S("t"), S(""), S("b"), 5, true, &ix), kForumNoEntry);
  ASSERT_EQ(ForumItemDestroy(d_, 0), 0);
  EXPECT_EQ(ForumItemCreate(d_, 0, S("t"), S(""), S("b"), 0, true, &ix), kForumNoEntry);
  EXPECT_EQ(ix, -9);
  // A discussion deleted while a holder keeps it takes no more posts.
  ASSERT_EQ(ForumCatItemDestroy(top_, S("1")), 0);
  int32_t after = ForumRootMsgRev(root_);
  EXPECT_EQ(ForumItemCreate(d_, 0, S("t"), S(""), S("b"), -1, true, &ix), kForumNotContainer);
  EXPECT_EQ(ForumRootMsgRev(root_), after);
  EXPECT_GT(after, msgRev);
  EXPECT_EQ(ForumMessageCount(d_), 0);
}

TEST_F(MessageTest, OperationsOnPositionsWithoutAMessageAnswerNoItem) {
  Post("kept");
  Post("gone");
  ASSERT_EQ(ForumItemDestroy(d_, 1), 0);
  for (int32_t n : {1, 2, 99, -2}) {
    EXPECT_EQ(ForumItemDestroy(d_, n), kForumNoEntry) << n;
    EXPECT_EQ(ForumItemSetTitle(d_, n, S("x")), kForumNoEntry) << n;
    EXPECT_EQ(ForumItemSetData(d_, n, S("x")), kForumNoEntry) << n;
    EXPECT_EQ(ForumItemSetAuthor(d_, n, 0), kForumNoEntry) << n;
    EXPECT_EQ(ForumItemSetDate(d_, n, LgDbTd{20200101, 0}), kForumNoEntry) << n;
    EXPECT_EQ(ForumItemSetSource(d_, n, S("http")), kForumNoEntry) << n;
    EXPECT_EQ(ForumItemAddEnclosure(d_, n, S("a.txt"), S("text/plain"), S("x")), kForumNoEntry);
    EXPECT_EQ(ForumItemRemoveEnclosure(d_, n, S("a.txt")), kForumNoEntry) << n;
    EXPECT_EQ(ForumResponseSize(d_, n), -1) << n;
    EXPECT_EQ(ForumItemReplyTo(d_, n), -1) << n;
    EXPECT_TRUE(ForumItemTitle(d_, n).IsNil()) << n;
    EXPECT_TRUE(ForumItemContentType(d_, n).IsNil()) << n;
    EXPECT_TRUE(ForumItemEnclosures(d_, n).empty()) << n;
    EXPECT_FALSE(ForumFileOpenMessage(d_, n)) << n;
    EXPECT_FALSE(ForumFileHasChild(d_, StStIntXfm(n))) << n;
  }
  EXPECT_EQ(ForumItemSetTitle(d_, 0, S("new")), 0);
  EXPECT_EQ(ForumItemTitle(d_, 0), "new");
  EXPECT_EQ(ForumItemSetTitle(top_, 0, S("x")), kForumNotContainer);
  EXPECT_EQ(ForumItemSetData(d_, 0, S("longer body")), 0);
  EXPECT_EQ(ForumResponseSize(d_, 0), 11);
}

TEST_F(MessageTest, MailFieldsOfMessagesAndOfTheDiscussionKeepTheirValues) {
  int32_t ix = Post("body");
  EXPECT_TRUE(ForumItemFrom(d_, ix).IsNil());
  ASSERT_EQ(ForumItemSetSource(d_, ix, S("email")), 0);
  ASSERT_EQ(ForumItemSetFrom(d_, ix, S("Ann <ann@example.org>")), 0);
  ASSERT_EQ(ForumItemSetTo(d_, ix, S("list@example.org")), 0);
  ASSERT_EQ(ForumItemSetOther(d_, ix, S("X-Mailer: test\r\n")), 0);
  ASSERT_EQ(ForumItemSetBoundary(d_, ix, S("--b1")), 0);
  ASSERT_EQ(ForumItemSetAlternative(d_, ix, S("<p>body</p>")), 0);
  ASSERT_EQ(ForumItemSetMessageId(d_, ix, S("<1@example.org>")), 0);
  ASSERT_EQ(ForumItemSetFrom(d_, -1, S("Bob <bob@example.org>")), 0);
  ASSERT_EQ(ForumItemSetMessageId(d_, -1, S("<d@example.org>")), 0);
  Reopen();
  EXPECT_EQ(ForumItemSource(d_, ix), "email");
  EXPECT_EQ(ForumItemFrom(d_, ix), "Ann <ann@example.org>");
  EXPECT_EQ(ForumItemTo(d_, ix), "list@example.org");
  EXPECT_EQ(ForumItemOther(d_, ix), "X-Mailer: test\r\n");
  EXPECT_EQ(ForumItemBoundary(d_, ix), "--b1");
  EXPECT_EQ(ForumItemAlternative(d_, ix), "<p>body</p>");
  EXPECT_EQ(ForumItemFrom(d_, -1), "Bob <bob@example.org>");
  EXPECT_EQ(ForumMessageIdLookup(root_, S("<1@example.org>")), ForumItemRec(d_, ix));
  EXPECT_EQ(ForumMessageIdLookup(root_, S("<d@example.org>")), ForumFileRecord(d_));
  // A nil value removes the field, and the index entry with it.
  ASSERT_EQ(ForumItemSetFrom(d_, ix, St()), 0);
  EXPECT_TRUE(ForumItemFrom(d_, ix).IsNil());
  ASSERT_EQ(ForumItemSetMessageId(d_, ix, St()), 0);
  EXPECT_EQ(ForumMessageIdLookup(root_, S("<1@example.org>")), 0u);
}

TEST_F(MessageTest, LiveMessagesAreWalkedAndPagedBackwards) {
  EXPECT_EQ(ForumMessageFirst(d_), -1);
  EXPECT_EQ(ForumMessageLast(d_), -1);
  EXPECT_TRUE(ForumMessagesLast(d_, -1, 10, 0).empty());
  // Bodies of 10 bytes each; 3, 4 and 8 deleted; 9 (the last) too.
  for (int i = 0; i < 10; ++i) Post("0123456789");
  for (int n : {3, 4, 8, 9}) ASSERT_EQ(ForumItemDestroy(d_, n), 0);
  EXPECT_EQ(ForumMessageFirst(d_), 0);
  EXPECT_EQ(ForumMessageLast(d_), 7);
  EXPECT_EQ(ForumMessageNext(d_, 2), 5);
  EXPECT_EQ(ForumMessagePrev(d_, 5), 2);
  EXPECT_EQ(ForumMessageNext(d_, 7), -1);
  EXPECT_EQ(ForumMessagePrev(d_, 0), -1);
  EXPECT_EQ(ForumMessagePrev(d_, 1000), 7);
  EXPECT_EQ(Indexes(ForumMessagesLast(d_, -1, 3, 0)), "5 6 7");
  EXPECT_EQ(Indexes(ForumMessagesLast(d_, 5, 3, 0)), "0 1 2");
  EXPECT_EQ(Indexes(ForumMessagesLast(d_, -1, 0, 25)), "6 7");
  EXPECT_EQ(Indexes(ForumMessagesLast(d_, -1, 0, 0)), "0 1 2 5 6 7");
  // The newest of a page always comes, however long.
  EXPECT_EQ(Indexes(ForumMessagesLast(d_, -1, 5, 3)), "7");
  // Paging backwards meets every live message once.
  std::string all;
  for (int32_t before = -1;;) {
    std::vector<int32_t> page = ForumMessagesLast(d_, before, 2, 0);
    if (page.empty()) break;
    all = Indexes(page) + (all.empty() ? "" : " ") + all;
    before = page.front();
  }
  EXPECT_EQ(all, "0 1 2 5 6 7");
  // The last message is what a repeated post is compared with.
  int32_t last = ForumMessageLast(d_);
  EXPECT_EQ(ForumItemData(d_, last), "0123456789");
  EXPECT_EQ(ForumItemAuthor(d_, last), 0u);
}

TEST_F(MessageTest, PostsAndCreatedItemsGoOnTheAuthorsListNewestFirst) {
  ChHandle ann = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), St(), St(), &ann), 0);
  EXPECT_EQ(ForumUserPostCount(root_, ann), 0);
  EXPECT_TRUE(ForumUserPostList(root_, ann, false, 0).empty());
  int32_t a = Post("a", ann), b = Post("b", ann), c = Post("c", ann);
  Post("someone else's");
  ASSERT_EQ(ForumCatItemCreate(top_, S("forum-category"), S("Ann's"), S("t"), ann, true, nullptr),
            0);
  ChHandle ra = ForumItemRec(d_, a), rb = ForumItemRec(d_, b), rc = ForumItemRec(d_, c);
  EXPECT_EQ(ForumUserPostCount(root_, ann), 3);
  EXPECT_EQ(ForumUserPostList(root_, ann, false, 0), (std::vector<ChHandle>{rc, rb, ra}));
  EXPECT_EQ(ForumUserPostList(root_, ann, false, 2), (std::vector<ChHandle>{rc, rb}));
  std::vector<ChHandle> items = ForumUserPostList(root_, ann, true, 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], ForumFileRecord(Path("/Ann's")));
  LgDbUserPosts posts;
  ASSERT_TRUE(ForumUserUserPosts(root_, ann, &posts));
  LgDbTd now = LgDbTdNow();
  EXPECT_EQ(posts.word2, uint32_t(now.date));
  uint32_t month = uint32_t((now.date / 10000 * 12 + now.date / 100 % 100 - 1) % 240);
  EXPECT_EQ(posts.counts[month], 4u);
  // A deleted message is passed over; the list survives a reopen.
  ASSERT_EQ(ForumItemDestroy(d_, b), 0);
  Reopen();
  ann = ForumUserLookup(root_, S("Ann Lee"));
  EXPECT_EQ(ForumUserPostList(root_, ann, false, 0), (std::vector<ChHandle>{rc, ra}));
  EXPECT_EQ(ForumUserPostCount(root_, ann), 3);
  ForumUserPostsReset(root_, ann);
  EXPECT_EQ(ForumUserPostCount(root_, ann), 0);
  EXPECT_TRUE(ForumUserPostList(root_, ann, false, 0).empty());
  EXPECT_FALSE(ForumUserUserPosts(root_, ann, &posts));
}

// ---------------------------------------------------------------------------
// Documents.

class DocumentTest : public MessageTest {};

St Binary(int32_t n) {
  std::string bytes;
  for (int32_t i = 0; i < n; ++i) bytes.push_back(char((i * 7 + 3) % 256));
  return StFromView(bytes);
}

TEST_F(DocumentTest, DocumentsAreStoredAndOpenByNameAndByUniquePath) {
  int32_t ix = Post("with pictures");
  St small = Binary(300), large = Binary(10000);
  ASSERT_EQ(ForumItemAddEnclosure(d_, ix, S("b.gif"), S("image/gif"), small), 0);
  ASSERT_EQ(ForumItemAddEnclosure(d_, ix, S("a.bin"), S("application/octet-stream"), large), 0);
  ASSERT_EQ(ForumItemAddEnclosure(d_, -1, S("head.txt"), S("text/plain"), S("on the heading")), 0);
  EXPECT_EQ(ForumItemAddEnclosure(d_, ix, S("b.gif"), S("image/gif"), small),
            kForumEnclosureInUse);
  for (const char* bad : {"", "a/b", "a b"})
    EXPECT_EQ(ForumItemAddEnclosure(d_, ix, S(bad), S("x"), small), kForumNameEmpty) << bad;
  // Numbers name messages below a discussion: not a name for its own
  // documents, but one for a message's.
  EXPECT_EQ(ForumItemAddEnclosure(d_, -1, S("7"), S("x"), small), kForumNameEmpty);
  EXPECT_EQ(ForumItemAddEnclosure(d_, ix, S("7"), S("x"), small), 0);
  int32_t id = 0;
  {
    ForumFile byName = Path("/1/0/a.bin");
    ASSERT_TRUE(ForumFileIsDocument(byName));
    id = ForumFileUniqueId(byName);
    EXPECT_EQ(ForumFilePath(byName), "/1/0/a.bin");
    EXPECT_EQ(ForumFileName(byName), "a.bin");
    EXPECT_EQ(ForumFileParent(byName), Path("/1/0"));
  }
  Reopen();
  EXPECT_EQ(ForumItemEnclosures(d_, ix), (std::vector<St>{S("7"), S("a.bin"), S("b.gif")}));
  ForumFile doc = ForumFileOpenUnique(root_, id);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc, Path("/1/0/a.bin"));
  EXPECT_EQ(ForumDocumentData(doc).View(), large.View());
  EXPECT_EQ(ForumDocumentSize(doc), 10000);
  EXPECT_EQ(ForumDocumentContentType(doc), "application/octet-stream");
  EXPECT_EQ(ForumDocumentData(Path("/1/0/b.gif")).View(), small.View());
  EXPECT_EQ(ForumDocumentData(Path("/1/head.txt")), "on the heading");
  EXPECT_EQ(ForumDocumentData(ForumFileOpen(root_, StCat(ForumFileUniquePath(d_),
                                                         S("/0/b.gif")))).View(),
            small.View());
  EXPECT_FALSE(Path("/1/0/none.gif"));
  EXPECT_FALSE(Path("/1/0/a.bin/deeper"));
}

TEST_F(DocumentTest, ARemovedDocumentIsGoneAndItsRecordGoesWithTheLastHolder) {
  int32_t ix = Post("body");
  ASSERT_EQ(ForumItemAddEnclosure(d_, ix, S("kept.txt"), S("text/plain"), S("k")), 0);
  ASSERT_EQ(ForumItemAddEnclosure(d_, ix, S("gone.txt"), S("text/plain"), S("g")), 0);
  ASSERT_EQ(ForumItemAddEnclosure(d_, ix, S("held.txt"), S("text/plain"), S("h")), 0);
  int32_t gone = ForumFileUniqueId(Path("/1/0/gone.txt"));
  ASSERT_EQ(ForumItemRemoveEnclosure(d_, ix, S("gone.txt")), 0);
  EXPECT_EQ(ForumItemRemoveEnclosure(d_, ix, S("gone.txt")), kForumNoEntry);
  EXPECT_FALSE(Path("/1/0/gone.txt"));
  EXPECT_FALSE(ForumFileOpenUnique(root_, gone));
  ChHandle rec = 0;
  {
    ForumFile held = Path("/1/0/held.txt");
    rec = ForumFileRecord(held);
    ASSERT_EQ(ForumItemRemoveEnclosure(d_, ix, S("held.txt")), 0);
    EXPECT_FALSE(Path("/1/0/held.txt"));
    EXPECT_EQ(ForumDocumentData(held), "h");  // the holder still reads it
    EXPECT_TRUE(LgDbRecIsLegal(rec));
  }
  EXPECT_FALSE(ChLiChunkIsLive(rec));
  EXPECT_EQ(ForumItemEnclosures(d_, ix), (std::vector<St>{S("kept.txt")}));
  // The documents of a deleted message do not open any more.
  int32_t kept = ForumFileUniqueId(Path("/1/0/kept.txt"));
  ASSERT_EQ(ForumItemDestroy(d_, ix), 0);
  EXPECT_FALSE(ForumFileOpenUnique(root_, kept));
  EXPECT_FALSE(Path("/1/0/kept.txt"));
  Reopen();
  EXPECT_FALSE(ForumFileOpenUnique(root_, kept));
}

}  // namespace
