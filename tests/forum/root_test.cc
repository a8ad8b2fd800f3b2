// The root of a new database and its reopening.
#include "forum_test_util.h"

#include "Bt.h"
#include "Doc.h"
#include "ForumInt.h"
#include "LgDb.h"
#include "Thread.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

ChHandle Field(ForumRoot root, const char* name) {
  return LgDbFieldIdGet(ForumRootHead(root), S(name));
}

TEST_F(ForumTest, NewRootHasFiveListRecordsAndTheFirstFreeIdentifier) {
  ChHandle db = ForumRootDb(root_);
  EXPECT_EQ(LgDbCount(db), 5u);
  EXPECT_EQ(LgDbLength(db), 5u);
  ChHandle head = ForumRootHead(root_);
  EXPECT_EQ(LgDbRecGetText(head, Field(root_, "Type")), "forum-root");
  EXPECT_EQ(LgDbRecGetText(head, Field(root_, "Name")), "root");
  EXPECT_EQ(ForumNextUniqueId(root_), 250000004);
  EXPECT_EQ(ForumRootStructRev(root_), 1);
  EXPECT_EQ(ForumRootMsgRev(root_), 1);
  ChHandle top = LgDbRecGetRec(LgDbRecGet(db, 0), Field(root_, "File"));
  EXPECT_EQ(top, ForumFileRecord(top_));
  EXPECT_EQ(LgDbRecGetText(top, Field(root_, "Name")), "forums");
  EXPECT_EQ(ForumFileStoredFlags(top_) & 0x20000u, 0x20000u);
  const char* names[] = {"users", "guests", "groups", "sysop settings"};
  const char* types[] = {"user-group", "user-group", "user-group", "sysop-settings"};
  const int32_t ids[] = {250000001, 250000002, 0, 250000003};
  for (uint32_t i = 1; i <= 4; ++i) {
    ChHandle rec = LgDbRecGet(db, i);
    EXPECT_EQ(LgDbRecGetText(rec, Field(root_, "Name")), names[i - 1]);
    EXPECT_EQ(LgDbRecGetText(rec, Field(root_, "Type")), types[i - 1]);
    int32_t id = 0;
    EXPECT_EQ(LgDbRecGetInt(rec, Field(root_, "UniqueId"), &id), ids[i - 1] != 0);
    EXPECT_EQ(id, ids[i - 1]);
    if (ids[i - 1]) {
      EXPECT_EQ(ForumRecFromUniqueId(root_, ids[i - 1]), rec);
    }
  }
  EXPECT_NE(LgDbRecGetBt(LgDbRecGet(db, 4), Field(root_, "EmailUsername")), 0u);
  // Sixteen Parent names were interned with the root.
  EXPECT_NE(LgDbFieldIdLookup(ForumRootHead(root_), S("Parenta")), 0u);
  EXPECT_NE(LgDbFieldIdLookup(ForumRootHead(root_), S("Parentp")), 0u);
}

TEST_F(ForumTest, ANewRootsTopFolderCarriesOnlyTheUserPreferencesFlag) {
  // The summary button of the top folder is a factory setting, set after
  // the root is built.
  ChFi file = nullptr;
  ChPart part = 0;
  ASSERT_EQ(ChFiCreate("bare.db", &file), 0);
  ASSERT_EQ(ChFiPartCreate(file, &part), 0);
  ChHandle head = ForumRootCreate(part);
  ChHandle entry = LgDbRecGet(LgDbRecGetList(head), 0);
  ChHandle top = LgDbRecGetRec(entry, LgDbFieldIdGet(head, S("File")));
  int32_t flags = 0;
  EXPECT_TRUE(LgDbRecGetInt(top, LgDbFieldIdGet(head, S("Flags")), &flags));
  EXPECT_EQ(flags, 0x20000);
  (void)ChFiClose(file);
  EXPECT_EQ(ForumFileStoredFlags(top_), 0x30000u);
}

TEST_F(ForumTest, RootIsFoundByNameAfterReopen) {
  EXPECT_EQ(Create(top_, "forum-category", "Kept"), "Kept");
  int32_t structRev = ForumRootStructRev(root_);
  Reopen();
  EXPECT_EQ(ForumRootStructRev(root_), structRev);
  EXPECT_EQ(ForumNextUniqueId(root_), 250000006);  // the folder and its entry
  EXPECT_TRUE(Path("/Kept"));
  EXPECT_EQ(LgDbCount(ForumRootDb(root_)), 5u);
  EXPECT_EQ(ForumOpenItemCount(root_), 4);
}

TEST_F(ForumTest, ClosingWithAnItemOpenHalts) {
  EXPECT_DEATH(
      {
        ForumFile kept = top_;
        ForumFile child;
        EXPECT_EQ(ForumCatItemCreate(top_, S("forum-category"), S("Open"), S(""), 0, true, nullptr), 0);
        child = Path("/Open");
        top_ = ForumFile();
        ForumRoot r = root_;
        root_ = nullptr;
        ForumDbCloseI(r);
      },
      "ForumRootClose-- open items left");
}

TEST_F(ForumTest, AnIdlePassHaltsWhileARequestLeftAnItemOpen) {
  wfForumRoot = root_;
  ForumQuitFlag = true;
  // Only the root's own handles: the idle pass ends normally.
  EXPECT_EQ(ForumThreadsIdle(), -3);
  Create(top_, "forum-category", "Left");
  ForumFile left = Path("/Left");
  EXPECT_DEATH(ForumThreadsIdle(), "ForumThreadsIdle-- open items left");
  ForumQuitFlag = false;
  wfForumRoot = nullptr;
}

// A lost identifier index entry is put back at every open; only a forced
// repair says so, and neither claims the file itself was repaired.
TEST_F(ForumTest, IdentifiersPutBackAtOpenAndWhatAForcedRepairSays) {
  Create(top_, "forum-category", "Lost");
  ChHandle rec = ForumFileRecord(Path("/Lost"));
  int32_t id = ForumUniqueIdFromRec(root_, rec);
  ASSERT_TRUE(BtihDbRemoveExact(ForumUniqueIndex(root_), uint32_t(id), rec));
  testing::internal::CaptureStderr();
  Reopen();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("* DB repaired"), std::string::npos) << err;
  EXPECT_TRUE(ForumFileOpenUnique(root_, id));

  rec = ForumFileRecord(Path("/Lost"));
  ASSERT_TRUE(BtihDbRemoveExact(ForumUniqueIndex(root_), uint32_t(id), rec));
  Close();
  ForumDbOpenOptions options;
  options.forceFix = true;
  testing::internal::CaptureStderr();
  root_ = ForumDbOpenI("quil.db", &options);
  top_ = ForumTopFolder(root_);
  err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(options.forceFix);
  EXPECT_EQ(err.find("* DB repaired"), std::string::npos) << err;
  EXPECT_NE(err.find("* DB identifier index checked: 1 entry put back"), std::string::npos) << err;
  EXPECT_NE(err.find("* DB not repaired: "), std::string::npos) << err;
  EXPECT_TRUE(ForumFileOpenUnique(root_, id));
}

}  // namespace
