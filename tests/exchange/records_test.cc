// Change records byte for byte: what each kind of journaling setter appends
// to "quilroll.1", the save marker, escaping and quoting of values, and a
// refused change leaving no record.
#include <random>
#include <regex>

#include "ForumEi.h"
#include "Sgml.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::S;

class RecordsTest : public exchangetest::ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    (void)Appended();
  }
};

TEST_F(RecordsTest, ItemAttributes) {
  FrmBkFileSetTitle(top_, S("Hello world"));
  EXPECT_EQ(Appended(), "<f f=.ee6b280 title=\"Hello world\">\r\n");
  FrmBkFileSetFlags(top_, 0x20400);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 flags=20400>\r\n");
  FrmBkFileSetShowAuthor(top_, true);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 showAuthor=1>\r\n");
  FrmBkFileSetShowTreeView(top_, false);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 showTreeView=0>\r\n");
  FrmBkFileSetSortSeq(top_, -3);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 sortSeq=-3>\r\n");
  FrmBkFileSetHtmlBanner(top_, St());
  EXPECT_EQ(Appended(), "<f f=.ee6b280 banner>\r\n");
  FrmBkFileSetHtml(top_, S("line one\r\nline <two> & \"three\"\tend/"));
  EXPECT_EQ(Appended(),
            "<f f=.ee6b280 body=\"line one\r\nline &lt;two&gt; &amp; &quot;three&quot;&#09;"
            "end/\">\r\n");
  LgDbTd date{20010305, 130409};
  FrmBkFileSetCreateDate(top_, date);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 createDate=03/05/2001.13:04:09>\r\n");
  FrmBkAccEnable(top_, kForumAccAllUsers, 0x101);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 u=1 enable=101>\r\n");
  FrmBkAccClearInhibit(top_);
  EXPECT_EQ(Appended(), "<f f=.ee6b280 clearInhibit>\r\n");
}

TEST_F(RecordsTest, CreationsCarryIdentifierNameAndDate) {
  int32_t id = ForumNextUniqueId(root_);
  St name;
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-topic"), S("ignored"), S("A talk"), 0, false,
                                &name),
            0);
  EXPECT_EQ(name, "1");
  std::string create = Appended();
  EXPECT_TRUE(std::regex_match(
      create, std::regex("<f f=\\.ee6b280 create=forum-topic name=1 title=\"A talk\" unique=" +
                         Hex(id) + " date=\\d\\d/\\d\\d/\\d{4}\\.\\d\\d:\\d\\d:\\d\\d flags=400>\r\n")))
      << create;
  ForumFile d = ForumFileHasChild(top_, name);
  ASSERT_TRUE(d);
  EXPECT_EQ(ForumFileUniqueId(d), id);

  int32_t messageId = ForumNextUniqueId(root_);
  int32_t index = -1;
  ASSERT_EQ(FrmBkForumItemCreate(d, 0, S("Re: <x>"), S("text/html"), S("two words"), -1, false,
                                 &index),
            0);
  std::string post = Appended();
  EXPECT_TRUE(std::regex_match(
      post, std::regex("<f f=\\." + Hex(id) + " new=0 unique=" + Hex(messageId) +
                       " title=\"Re: &lt;x&gt;\" contentType=text/html date=[0-9/.:]+ "
                       "body=\"two words\">\r\n")))
      << post;
  EXPECT_EQ(FrmBkItemSetTitle(d, index, S("new")), 0);
  EXPECT_EQ(Appended(), "<f f=." + Hex(id) + "/0 title=new>\r\n");
  EXPECT_TRUE(FrmBkItemDestroy(d, index));
  EXPECT_EQ(Appended(), "<f f=." + Hex(id) + " deleteItem=0>\r\n");
}

TEST_F(RecordsTest, UsersGroupsAndSettings) {
  int32_t id = ForumNextUniqueId(root_);
  std::string digest = "\x01\x02<>&\"\r\n\xff\x80" "ABCDEF";
  ChHandle user = 0;
  ASSERT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, S("Jane Doe"), S("jane@x.org"),
                            StFromView(digest), &user),
            0);
  EXPECT_EQ(Appended(), "<u create=" + Hex(id) +
                            " name=\"Jane Doe\" email=jane@x.org "
                            "pwmd5=01023c3e26220d0aff80414243444546 registered>\r\n");
  FrmBkUserSetBio(root_, user, S("Hi"));
  EXPECT_EQ(Appended(), "<u u=" + Hex(id) + " bio=Hi>\r\n");
  FrmBkUserSetLoginCount(root_, user, 7);
  EXPECT_EQ(Appended(), "<u u=" + Hex(id) + " field=LoginCount value=7>\r\n");
  int32_t gid = ForumNextUniqueId(root_);
  ChHandle group = 0;
  ASSERT_EQ(FrmBkGroupCreate(root_, S("Staff"), &group), 0);
  EXPECT_EQ(Appended(), "<u createg=" + Hex(gid) + " name=Staff>\r\n");
  ASSERT_EQ(FrmBkGroupAddUser(root_, group, user), 0);
  EXPECT_EQ(Appended(), "<g g=" + Hex(gid) + " add=" + Hex(id) + ">\r\n");

  FrmBkSysopSetRollForwardLog(root_, true);
  EXPECT_EQ(Appended(), "<s rollForward=1>\r\n");
  FrmBkSysopSetBackupCount(root_, 3);
  EXPECT_EQ(Appended(), "<s backupCount=3>\r\n");
  FrmBkSysopSetHtmlBanner(root_, S("<b>A&B</b>"));
  EXPECT_EQ(Appended(), "<s banner=&lt;b&gt;A&amp;B&lt;/b&gt;>\r\n");
  FrmBkSysopSetGreeting(root_, St());
  EXPECT_EQ(Appended(), "<s greeting>\r\n");
  FrmBkSysopSetUrlBase(root_, S("http://x/"));
  EXPECT_EQ(Appended(), "<s field=UrlBase value=\"http://x/\">\r\n");
  FrmBkRootSetNextUnique(root_, 260000000);
  EXPECT_EQ(Appended(), "<r nextUnique=260000000>\r\n");
}

TEST_F(RecordsTest, SaveMarkerAndRestart) {
  Close();
  std::string before = Log();
  Open();
  std::string after = Log();
  ASSERT_EQ(after.compare(0, before.size(), before), 0);
  std::string tail = after.substr(before.size());
  EXPECT_TRUE(std::regex_match(
      tail, std::regex("<restart>\r\n<save id=[a-zA-Z0-9]{11} unique=[0-9a-f]+>\r\n")))
      << tail;
  St code;
  int64_t position = -1;
  ASSERT_TRUE(ForumGetSave(root_, &code, &position));
  EXPECT_EQ(position, int64_t(before.size() + 11));
  EXPECT_EQ(after.substr(size_t(position), 10 + 11), "<save id=" + code.Str() + " ");
  EXPECT_NE(tail.find(" unique=" + Hex(ForumNextUniqueId(root_)) + ">\r\n"), std::string::npos);
}

TEST_F(RecordsTest, DeletionsMovesAndRenamesNameTheItem) {
  St a, b;
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("a"), S("A"), 0, true, &a), 0);
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("b"), S("B"), 0, true, &b), 0);
  ForumFile fa = ForumFileHasChild(top_, a), fb = ForumFileHasChild(top_, b);
  std::string ida = Hex(ForumFileUniqueId(fa)), idb = Hex(ForumFileUniqueId(fb));
  (void)Appended();
  ASSERT_EQ(FrmBkFileSetName(fb, S("b2")), 0);
  EXPECT_EQ(Appended(), "<f f=." + idb + " name=b2>\r\n");
  ASSERT_EQ(FrmBkFileMoveTo(fb, fa, St()), 0);
  std::string move = Appended();
  EXPECT_TRUE(std::regex_match(move, std::regex("<f f=\\." + idb + " moveTo=\\." + ida +
                                                " date=[0-9/.:]{19}>\r\n")))
      << move;
  fb = ForumFile();
  ForumFile moved = ForumFileHasChild(fa, S("b2"));
  ASSERT_EQ(FrmBkFileDestroy(moved), 0);
  std::string destroy = Appended();
  EXPECT_TRUE(std::regex_match(destroy,
                               std::regex("<f f=\\." + idb + " destroy date=[0-9/.:]{19}>\r\n")))
      << destroy;
}

TEST_F(RecordsTest, RefusedChangesLeaveNoRecord) {
  St name;
  ASSERT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("a"), S("A"), 0, false, &name), 0);
  (void)Appended();
  EXPECT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("a"), S("A"), 0, false, &name),
            kForumNameInUse);
  EXPECT_EQ(FrmBkFileItemCreate(top_, S("forum-category"), S("12"), S("A"), 0, false, &name),
            kForumIntegerName);
  ChHandle user = 0;
  EXPECT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, S("sysop"), St(), St(), &user),
            kForumUserNameInUse);
  EXPECT_EQ(FrmBkCatItemDestroy(top_, S("none")), kForumNoEntry);
  EXPECT_EQ(Appended(), "");
  // The log's end is exactly where the last accepted record ended.
  EXPECT_EQ(ForumLogSinkOf(root_)->Position(), int64_t(Log().size()));
}

TEST_F(RecordsTest, EveryRecordReadsBackAsOneTag) {
  ForumFile d = NewDiscussion("odd\x01title with = and > and /");
  Post(d, "body\r\nwith \x1b$B<>\x1b(B and &amp; and \"quotes\"/");
  FrmBkSysopSetHtmlFooter(root_, S(""));
  std::string log = Log();
  SgmlStringSource source(log);
  SgmlReader reader = SgmlParseStart(&source);
  St text, name;
  uint8_t isStart, ends;
  Li<St> attrs;
  int tags = 0;
  while (SgmlParseNext(reader.get(), &text, &name, &isStart, &ends, &attrs)) {
    if (name.IsNil()) continue;
    ++tags;
    EXPECT_TRUE(text.IsNil() || text == "\r\n") << text.Str();
    EXPECT_LE(LiCount(attrs), 2 * kRecMaxAttributes);
    if (name == "f" && LiCount(attrs) > 4 && attrs.Last()->prev->data == "body") {
      EXPECT_EQ(attrs.Last()->data, "body\r\nwith \x1b$B<>\x1b(B and &amp; and \"quotes\"/");
    }
  }
  EXPECT_EQ(tags, std::count(log.begin(), log.end(), '>'));
}

TEST(RecordValues, OnePassEqualsEscapeThenQuote) {
  unsigned seed = std::random_device{}();
  printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  const std::string alphabet = std::string("ab =/<>&\"\r\n\t\x1b\x01\xe9\x80", 16);
  for (int i = 0; i < 5000; ++i) {
    std::string value;
    // Up to 40 bytes: the sixteen- and eight-byte scans and the tail.
    size_t n = rng() % 41;
    for (size_t k = 0; k < n; ++k)
      value += i % 2 ? char(rng() % 256) : alphabet[rng() % alphabet.size()];
    St escaped = StToSgml(StFromView(value));
    std::string expected = HtmlNeedQuotes(escaped.View()) ? "\"" + escaped.Str() + "\""
                                                           : escaped.Str();
    EXPECT_EQ(ForumEiValue(StFromView(value)).Str(), expected) << "seed " << seed;
  }
}

}  // namespace
}  // namespace quil
