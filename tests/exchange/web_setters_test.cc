// The journaling setters the web's posting pages use: a message's source,
// an entry of the moderation queue, and subscriptions -- their records and
// their replay after a crash.
#include "ForumEi.h"
#include "ForumModerated.h"
#include "ForumRead.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::S;

class WebSettersTest : public exchangetest::ExchangeTest {};

TEST_F(WebSettersTest, SourceQueueAndSubscriptionsReplay) {
  ForumFile talk = NewDiscussion("Talk");
  int32_t first = Post(talk, "first");
  ChHandle ann = 0;
  ASSERT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, S("Ann"), S("ann@x.org"), St(), &ann), 0);
  int32_t talkId = ForumFileUniqueId(talk);

  size_t before = Log().size();
  FrmBkItemSetSource(talk, first, S("http"));
  std::string rec = Log().substr(before);
  EXPECT_EQ(rec, "<f f=." + ForumEiHex(uint32_t(talkId)).Str() + "/0 source=http>\r\n");

  int32_t position = -1;
  ASSERT_EQ(FrmBkFileAddModerated(talk, first, kForumModMessage, ann, S("Re"), S("waiting <b>"),
                                  true, S("text"), St(), &position),
            0);
  EXPECT_EQ(position, 0);
  int32_t entryId = ForumModeratedItemUniqueId(root_, 0);
  LgDbTd queued = ForumModeratedItemDate(root_, 0);
  // A target that takes no such entry leaves no record.
  before = Log().size();
  EXPECT_NE(FrmBkFileAddModerated(top_, -1, kForumModMessage, ann, S("x"), S("y"), false,
                                  S("text"), St(), nullptr),
            0);
  EXPECT_EQ(Log().size(), before);

  std::string bytes("GIF89a\0\x01\xff<>\"", 12);
  ASSERT_EQ(FrmBkItemAddEnclosure(talk, first, S("p.gif"), S("image/gif"), StFromView(bytes)), 0);
  before = Log().size();
  EXPECT_NE(FrmBkItemAddEnclosure(talk, first, S("p.gif"), S("image/gif"), S("again")), 0);
  EXPECT_EQ(Log().size(), before);  // a refused attachment leaves no record

  ASSERT_EQ(FrmBkSubscrAdd(ann, talk), 0);
  ASSERT_EQ(FrmBkSubscrAdd(ann, top_), 0);
  EXPECT_TRUE(FrmBkSubscrRemove(ann, top_));

  talk = ForumFile();
  CrashAndReopen();
  talk = ForumFileOpenUnique(root_, talkId);
  ASSERT_TRUE(talk);
  EXPECT_EQ(ForumItemSource(talk, first).Str(), "http");
  ASSERT_EQ(ForumModeratedItemCount(root_), 1);
  EXPECT_EQ(ForumModeratedItemUniqueId(root_, 0), entryId);
  EXPECT_EQ(ForumModeratedItemData(root_, 0).Str(), "waiting <b>");
  EXPECT_EQ(ForumModeratedItemTitle(root_, 0).Str(), "Re");
  EXPECT_EQ(ForumModeratedItemReplyTo(root_, 0), first);
  EXPECT_TRUE(ForumModeratedItemShowAuthor(root_, 0));
  EXPECT_TRUE(ForumModeratedItemDate(root_, 0) == queued);
  ann = ForumUserLookup(root_, S("Ann"));
  EXPECT_EQ(ForumModeratedItemAuthor(root_, 0), ann);
  EXPECT_EQ(ForumSubscrCount(root_, ann), 1);
  EXPECT_TRUE(ForumFileIsSubscribed(ann, talk));
  ForumFile message = ForumFileOpenMessage(talk, first);
  ForumFile doc = ForumOpenDocument(message, S("p.gif"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(ForumDocumentData(doc).Str(), bytes);
  EXPECT_EQ(ForumDocumentContentType(doc).Str(), "image/gif");
}

}  // namespace
}  // namespace quil
