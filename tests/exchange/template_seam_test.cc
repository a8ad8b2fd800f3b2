// The template package's store seam: every kind of change a keyword makes
// reaches the roll-forward log and is back after a crash.
#include "Template.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::S;

class TemplateSeamTest : public exchangetest::ExchangeTest {};

St Field(ChHandle rec, const char* name) {
  ChHandle id = LgDbFieldIdLookup(rec, S(name));
  return id == 0 ? St() : LgDbRecGetText(rec, id);
}

TEST_F(TemplateSeamTest, EveryKindOfChangeReplays) {
  St name;
  ASSERT_EQ(TplStoreCatItemCreate(top_, S("forum-category"), S("F"), S("Folder"), 0, &name), 0);
  ForumFile folder = ForumFileHasChild(top_, name);
  ASSERT_EQ(TplStoreCatItemCreate(folder, S("forum-topic"), S("x"), S("Talk"), 0, &name), 0);
  ForumFile d = ForumFileHasChild(folder, name);
  ASSERT_EQ(TplStoreCatItemCreate(folder, S("forum-topic"), S("x"), S("Gone"), 0, &name), 0);
  ASSERT_EQ(TplStoreCatItemDestroy(folder, name), 0);
  TplStoreItemText(folder, TplItemText::kBackground, S("#eeeeee"));
  TplStoreItemText(folder, TplItemText::kFolderEmailFrom, S("f@x.org"));
  TplStoreItemText(folder, TplItemText::kNewsgroup, S("quil.test"));
  TplStoreItemText(d, TplItemText::kTitle, S("Renamed talk"));
  TplStoreItemInt(folder, TplItemInt::kListItems, 0);
  TplStoreItemInt(folder, TplItemInt::kArchiveDays, 30);
  TplStoreItemInt(folder, TplItemInt::kFolderEmailStripSig, 1);
  TplStoreItemFlags(d, kForumFlagShowAuthor | kForumFlagShowTree, true);
  TplStoreItemDate(d, true, LgDbTd{20200202, 101010});
  int32_t index = -1;
  TplStoreMessageCreate(d, 0, S("Hello"), S("text"), S("body"), -1, &index);
  ASSERT_EQ(index, 0);
  int32_t second = -1;
  TplStoreMessageCreate(d, 0, S("Two"), S("text"), S("two"), index, &second);
  TplStoreMessageTitle(d, index, S("Hello again"));
  TplStoreMessageBody(d, index, S("new body"));
  TplStoreMessageId(d, index, S("<m@x.org>"));
  EXPECT_TRUE(TplStoreMessageDestroy(d, second));
  ChHandle user = 0;
  ASSERT_EQ(TplStoreUserCreate(root_, kForumUserRegistered, S("Ann"), S("ann@x.org"), St(),
                               &user),
            0);
  TplStoreUserText(root_, user, TplUserText::kBio, S("about Ann"));
  TplStoreUserInt(root_, user, TplUserInt::kMaxData, 77);
  TplStoreUserFlags(root_, user, 0x800);
  TplStoreRecordField(root_, user, S("Alias"), S("annie"));
  TplStoreRecordField(root_, ForumFileRecord(d), S("SubfoldersOnce"), S("1"));
  TplStoreRecordField(root_, ForumItemRec(d, index), S("ContentType"), S("text/html"));
  ChHandle group = 0;
  ASSERT_EQ(TplStoreGroupCreate(root_, S("Hosts"), &group), 0);
  ASSERT_EQ(TplStoreGroupAddUser(root_, group, user), 0);
  TplStoreAccEnable(folder, user, 0x101);
  TplStoreSysopField(root_, "BackupTime", S("4:30"));
  TplStoreSysopField(root_, "SomeSiteField", S("site value"));
  int32_t did = ForumFileUniqueId(d);
  folder = d = ForumFile();
  std::string before = exchangetest::Dump(root_);

  CrashAndReopen();
  EXPECT_EQ(exchangetest::Dump(root_), before);
  folder = ForumFileHasChild(top_, S("F"));
  d = ForumFileOpenUnique(root_, did);
  ASSERT_TRUE(folder);
  ASSERT_TRUE(d);
  EXPECT_EQ(ForumFileBackground(folder).Str(), "#eeeeee");
  EXPECT_EQ(ForumFileFolderEmailFrom(folder).Str(), "f@x.org");
  EXPECT_EQ(ForumFileNewsgroup(folder).Str(), "quil.test");
  EXPECT_EQ(ForumFileListItems(folder), 0);
  EXPECT_EQ(ForumFileArchiveDays(folder), 30);
  EXPECT_EQ(ForumFileFolderEmailStripSig(folder), 1);
  EXPECT_EQ(ForumFileTitle(d).Str(), "Renamed talk");
  EXPECT_TRUE(ForumFileShowAuthor(d));
  EXPECT_EQ(ForumFileCreateDate(d).date, 20200202);
  EXPECT_EQ(ForumItemTitle(d, index).Str(), "Hello again");
  EXPECT_EQ(ForumItemData(d, index).Str(), "new body");
  EXPECT_EQ(ForumItemMessageId(d, index).Str(), "<m@x.org>");
  EXPECT_EQ(ForumItemContentType(d, index).Str(), "text/html");
  EXPECT_EQ(ForumItemRec(d, second), 0u);
  EXPECT_EQ(Field(ForumFileRecord(d), "SubfoldersOnce").Str(), "1");
  user = ForumUserLookup(root_, S("Ann"));
  ASSERT_NE(user, 0u);
  EXPECT_EQ(ForumUserBio(root_, user).Str(), "about Ann");
  EXPECT_EQ(ForumUserMaxData(root_, user), 77);
  EXPECT_EQ(ForumUserFlags(root_, user) & 0x800, 0x800u);
  EXPECT_EQ(Field(user, "Alias").Str(), "annie");
  uint32_t given = 0, taken = 0;
  ASSERT_TRUE(ForumAccGet(folder, user, &given, &taken));
  EXPECT_EQ(given, 0x101u);
  EXPECT_EQ(Field(ForumRootSysopRec(root_), "BackupTime").Str(), "4:30");
  EXPECT_EQ(Field(ForumRootSysopRec(root_), "SomeSiteField").Str(), "site value");
}

TEST_F(TemplateSeamTest, ReadMarksReplayAndARepeatedViewWritesNothing) {
  ForumFile d = NewDiscussion("Talk");
  int32_t first = Post(d, "one");
  int32_t second = Post(d, "two");
  (void)Post(d, "three");
  ChHandle ann = 0;
  ASSERT_EQ(FrmBkUserCreate(root_, kForumUserRegistered, S("Ann"), S("ann@x.org"), St(), &ann), 0);
  (void)Appended();
  std::string u = "<u u=" + Hex(ForumUserUniqueId(root_, ann));
  std::string dd = " highwater=" + Hex(ForumFileUniqueId(d));
  TplMarkRead(root_, ann, d, second);
  EXPECT_EQ(Appended(), u + dd + " value=3>\r\n");
  TplMarkRead(root_, ann, d, second);
  TplMarkRead(root_, ann, d, first);  // marks only grow
  EXPECT_EQ(Appended(), "");
  EXPECT_FALSE(TplMarkMessageIsNew(root_, ann, d, second));
  EXPECT_TRUE(TplMarkMessageIsNew(root_, ann, d, second + 1));
  // The folder itself, and a guest (no marks, no record).
  TplMarkRead(root_, ann, top_, -1);
  EXPECT_EQ(Appended(), u + " highwater=" + Hex(ForumFileUniqueId(top_)) + " value=0>\r\n");
  TplMarkRead(root_, 0, d, 2);
  EXPECT_EQ(Appended(), "");
  int32_t did = ForumFileUniqueId(d);
  d = ForumFile();
  CrashAndReopen();
  d = ForumFileOpenUnique(root_, did);
  ann = ForumUserLookup(root_, S("Ann"));
  EXPECT_FALSE(TplMarkMessageIsNew(root_, ann, d, second));
  EXPECT_TRUE(TplMarkMessageIsNew(root_, ann, d, second + 1));
  EXPECT_FALSE(TplMarkIsNew(root_, ann, top_));
  TplMarkRead(root_, ann, d, -1);
  EXPECT_FALSE(TplMarkIsNew(root_, ann, d));
  d = ForumFile();
  CrashAndReopen();
  d = ForumFileOpenUnique(root_, did);
  EXPECT_FALSE(TplMarkIsNew(root_, ForumUserLookup(root_, S("Ann")), d));
}

}  // namespace
}  // namespace quil
