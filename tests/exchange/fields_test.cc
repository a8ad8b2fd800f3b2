// The journaling setters of the folder's mail settings, its background and
// list switch, of named text fields of every kind of record, and of the
// message attributes that a missing message refuses: each record byte for
// byte, and each change back after a crash.
#include "ForumEi.h"
#include "NmSp.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::S;

class FieldsTest : public exchangetest::ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    (void)Appended();
  }
  static St Field(ChHandle rec, const char* name) {
    ChHandle id = LgDbFieldIdLookup(rec, S(name));
    return id == 0 ? St() : LgDbRecGetText(rec, id);
  }
};

TEST_F(FieldsTest, FolderMailSettingsBackgroundAndListSwitch) {
  ForumFile folder = top_;
  std::string f = "<f f=.ee6b280 ";
  FrmBkFileSetFolderEmailPw(folder, S("se cret\""));
  EXPECT_EQ(Appended(), f + "emailPw=\"se cret&quot;\">\r\n");
  FrmBkFileSetFolderEmailReply(folder, S("replies@x.org"));
  EXPECT_EQ(Appended(), f + "emailReply=replies@x.org>\r\n");
  FrmBkFileSetFolderEmailReplyTo(folder, S("to@x.org"));
  EXPECT_EQ(Appended(), f + "emailReplyTo=to@x.org>\r\n");
  FrmBkFileSetFolderEmailFrom(folder, S("Folder <f@x.org>"));
  EXPECT_EQ(Appended(), f + "emailFrom=\"Folder &lt;f@x.org&gt;\">\r\n");
  FrmBkFileSetBackground(folder, S("#ffffee"));
  EXPECT_EQ(Appended(), f + "background=#ffffee>\r\n");
  FrmBkFileSetFolderEmailPostThru(folder, 1);
  EXPECT_EQ(Appended(), f + "emailPostThru=1>\r\n");
  FrmBkFileSetFolderEmailStripSig(folder, 1);
  EXPECT_EQ(Appended(), f + "emailStripSig=1>\r\n");
  FrmBkFileSetListItems(folder, 0);
  EXPECT_EQ(Appended(), f + "field=ListItems value=0>\r\n");
  // A removed text (nil) travels as the bare name.
  FrmBkFileSetFolderEmailReplyTo(folder, St());
  EXPECT_EQ(Appended(), f + "emailReplyTo>\r\n");
  folder = ForumFile();

  CrashAndReopen();
  EXPECT_EQ(ForumFileFolderEmailPw(top_).Str(), "se cret\"");
  EXPECT_EQ(ForumFileFolderEmailReply(top_).Str(), "replies@x.org");
  EXPECT_TRUE(ForumFileFolderEmailReplyTo(top_).IsNil());
  EXPECT_EQ(ForumFileFolderEmailFrom(top_).Str(), "Folder <f@x.org>");
  EXPECT_EQ(ForumFileBackground(top_).Str(), "#ffffee");
  EXPECT_EQ(ForumFileFolderEmailPostThru(top_), 1);
  EXPECT_EQ(ForumFileFolderEmailStripSig(top_), 1);
  EXPECT_EQ(ForumFileListItems(top_), 0);
}

TEST_F(FieldsTest, SettingsAddedLater) {
  FrmBkSysopSetObjectionablePhone(root_, true);
  EXPECT_EQ(Appended(), "<s objectionablePhone=1>\r\n");
  FrmBkSysopSetSiteKind(root_, kForumSiteFoldersOnly);
  EXPECT_EQ(Appended(), "<s field=SiteKind value=1>\r\n");
  CrashAndReopen();
  EXPECT_TRUE(ForumSysopObjectionablePhone(root_));
  EXPECT_EQ(ForumSysopSiteKind(root_), kForumSiteFoldersOnly);
}

TEST_F(FieldsTest, NamedFieldsOfEveryKindOfRecord) {
  ForumFile d = NewDiscussion("talk");
  int32_t index = Post(d, "body");
  int32_t did = ForumFileUniqueId(d);
  ChHandle user = 0;
  ASSERT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, S("Ann"), S("ann@x.org"), St(), &user),
            0);
  ChHandle group = 0;
  ASSERT_EQ(FrmBkGroupCreate(root_, S("Hosts"), &group), 0);
  (void)Appended();

  EXPECT_TRUE(FrmBkRecordSetField(root_, ForumFileRecord(d), S("SubfoldersOnce"), S("1")));
  EXPECT_EQ(Appended(), "<f f=." + Hex(did) + " field=SubfoldersOnce value=1 type=text>\r\n");
  EXPECT_TRUE(
      FrmBkRecordSetField(root_, ForumItemRec(d, index), S("ContentType"), S("text/html")));
  EXPECT_EQ(Appended(),
            "<f f=." + Hex(did) + "/0 field=ContentType value=text/html type=text>\r\n");
  EXPECT_TRUE(FrmBkRecordSetField(root_, user, S("Alias"), S("ann the <first>")));
  EXPECT_EQ(Appended(), "<u u=" + Hex(ForumUserUniqueId(root_, user)) +
                            " field=Alias value=\"ann the &lt;first&gt;\" type=text>\r\n");
  EXPECT_TRUE(FrmBkRecordSetField(root_, group, S("motto"), S("host")));
  EXPECT_EQ(Appended(), "<u u=" + Hex(ForumUserUniqueId(root_, group)) +
                            " field=motto value=host type=text>\r\n");
  EXPECT_TRUE(FrmBkRecordSetField(root_, ForumRootSysopRec(root_), S("BackupTime"), S("4:30")));
  EXPECT_EQ(Appended(), "<s field=BackupTime value=4:30 type=text>\r\n");
  EXPECT_TRUE(FrmBkRecordSetField(root_, ForumRootHead(root_), S("siteNote"), S("n")));
  EXPECT_EQ(Appended(), "<r field=siteNote value=n>\r\n");
  // A field set and then removed: nil travels as the bare name.
  EXPECT_TRUE(FrmBkRecordSetField(root_, user, S("gone"), S("soon")));
  EXPECT_TRUE(FrmBkRecordSetField(root_, user, S("gone"), St()));
  EXPECT_EQ(Appended(), "<u u=" + Hex(ForumUserUniqueId(root_, user)) +
                            " field=gone value=soon type=text>\r\n<u u=" +
                            Hex(ForumUserUniqueId(root_, user)) +
                            " field=gone value type=text>\r\n");

  // Refused, with nothing written: a bad name, a record of no known kind.
  EXPECT_FALSE(FrmBkRecordSetField(root_, user, S(""), S("x")));
  EXPECT_FALSE(FrmBkRecordSetField(root_, user, StFromView(std::string(kNmSpMaxName + 1, 'n')), S("x")));
  EXPECT_FALSE(FrmBkRecordSetField(root_, 0, S("x"), S("x")));
  EXPECT_EQ(Appended(), "");

  d = ForumFile();
  CrashAndReopen();
  d = ForumFileOpenUnique(root_, did);
  ASSERT_TRUE(d);
  user = ForumUserLookup(root_, S("Ann"));
  group = ForumGroupLookup(root_, S("Hosts"));
  EXPECT_EQ(Field(ForumFileRecord(d), "SubfoldersOnce").Str(), "1");
  EXPECT_EQ(Field(ForumItemRec(d, index), "ContentType").Str(), "text/html");
  EXPECT_EQ(ForumItemContentType(d, index).Str(), "text/html");
  EXPECT_EQ(Field(user, "Alias").Str(), "ann the <first>");
  EXPECT_TRUE(Field(user, "gone").IsNil());
  EXPECT_EQ(Field(group, "motto").Str(), "host");
  EXPECT_EQ(Field(ForumRootSysopRec(root_), "BackupTime").Str(), "4:30");
  EXPECT_EQ(ForumRootField(root_, S("siteNote")).Str(), "n");
}

TEST_F(FieldsTest, MessageSettersRefuseAMissingMessageWithoutARecord) {
  ForumFile d = NewDiscussion("talk");
  int32_t index = Post(d, "body");
  (void)Appended();
  EXPECT_EQ(FrmBkItemSetTitle(d, index + 1, S("t")), kForumNoEntry);
  EXPECT_EQ(FrmBkItemSetData(d, -1, S("b")), kForumNoEntry);
  EXPECT_EQ(FrmBkItemSetAuthor(d, 7, 0), kForumNoEntry);
  EXPECT_EQ(FrmBkItemSetDate(d, 7, LgDbTd{20200101, 120000}), kForumNoEntry);
  EXPECT_EQ(FrmBkItemSetMessageId(d, 7, S("<1@x>")), kForumNoEntry);
  EXPECT_EQ(FrmBkItemSetTitle(top_, 0, S("t")), kForumNotContainer);
  EXPECT_TRUE(FrmBkItemDestroy(d, index));
  EXPECT_EQ(Appended(), "<f f=." + Hex(ForumFileUniqueId(d)) + " deleteItem=0>\r\n");
  // A deleted message refuses too.
  EXPECT_EQ(FrmBkItemSetTitle(d, index, S("t")), kForumNoEntry);
  EXPECT_EQ(Appended(), "");

  index = Post(d, "again");
  (void)Appended();
  EXPECT_EQ(FrmBkItemSetDate(d, index, LgDbTd{20200101, 120000}), 0);
  EXPECT_EQ(FrmBkItemSetMessageId(d, index, S("<1@x.org>")), 0);
  EXPECT_EQ(Appended(), "<f f=." + Hex(ForumFileUniqueId(d)) + "/1 date=01/01/2020.12:00:00>\r\n"
                        "<f f=." + Hex(ForumFileUniqueId(d)) + "/1 messageId=&lt;1@x.org&gt;>\r\n");
  int32_t did = ForumFileUniqueId(d);
  d = ForumFile();
  CrashAndReopen();
  d = ForumFileOpenUnique(root_, did);
  EXPECT_EQ(ForumItemDate(d, index).date, 20200101);
  EXPECT_EQ(ForumItemMessageId(d, index).Str(), "<1@x.org>");
  EXPECT_EQ(ForumItemRec(d, 0), 0u);
}

TEST_F(FieldsTest, FieldFormsThatDoNotReplayStopTheReplay) {
  const char* bad[] = {
      "<f f=.ee6b280 field=Size value=3>",          // an integer without a setter
      "<f f=.ee6b280 field=ListItems value=x>",     // not a number
      "<f f=.ee6b280 field=x value=1 type=binary>", // only text fields
      "<f f=.ee6b280 field=x value=1 type=text title=t>",
      "<s field=x value=1 type=hex>",
  };
  const char* messages[] = {
      "illegal attribute Size",
      "bad setting ListItems x",
      "illegal attribute x",
      "illegal attribute title",
      "illegal attribute x",
  };
  for (size_t i = 0; i < std::size(bad); ++i) {
    SgmlStringSource source(bad[i]);
    FrmBkReplayResult r = FrmBkRollForwardEx(root_, &source, St());
    EXPECT_FALSE(r.ok) << bad[i];
    EXPECT_EQ(r.error, std::string("* Roll-forward error at line 1, character 1: ") + messages[i])
        << bad[i];
  }
}

}  // namespace
}  // namespace quil
