// Periodic saves of a changed root, and the operator tool's views of a
// database (tree and settings).
#include "forum_test_util.h"

#include "Ht.h"
#include "Qu.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

int64_t now = 1000000;
int64_t Clock() { return now; }

class SaveTest : public ForumTest {
 protected:
  void SetUp() override {
    HtSetTimeFn(Clock);
    ForumTest::SetUp();
    RunFor(0);
    ASSERT_FALSE(Modified());
  }
  void TearDown() override {
    ForumTest::TearDown();
    HtSetTimeFn(nullptr);
  }
  static void RunFor(int64_t ms) {
    now += ms;
    (void)QuProcess(100, 0);
  }
  bool Modified() { return ChPartIsModified(ForumRootPart(root_)); }
};

TEST_F(SaveTest, AChangeIsSavedTwoSecondsLater) {
  Create(top_, "forum-category", "A");
  ASSERT_TRUE(Modified());
  RunFor(1000);
  Create(top_, "forum-category", "B");  // rides on the same timer
  RunFor(999);
  EXPECT_TRUE(Modified());
  RunFor(1);
  EXPECT_FALSE(Modified());
  EXPECT_FALSE(ForumRootIsChanged(root_));
  RunFor(5000);
  EXPECT_FALSE(Modified());
}

TEST_F(SaveTest, ABackgroundPassHoldsTheSaveUntilItEnds) {
  ForumSetTitle(top_, S("held"));
  QuBgActive = true;
  RunFor(2000);
  EXPECT_TRUE(Modified());
  QuBgActive = false;
  QuRamUnblock(kQuBlockBgPass);
  RunFor(0);
  EXPECT_FALSE(Modified());
}

void BackupDone(intptr_t done, const std::string&, uint16_t) { *reinterpret_cast<bool*>(done) = true; }

TEST_F(SaveTest, ABackupPutsTheSaveBack) {
  ForumSetTitle(top_, S("first"));
  RunFor(2000);
  ASSERT_FALSE(Modified());
  bool done = false;
  ASSERT_EQ(ChStartBackup(ForumRootPart(root_), "copy.db", BackupDone, intptr_t(&done)), 0);
  ForumSetTitle(top_, S("second"));
  RunFor(2000);
  EXPECT_TRUE(Modified());
  while (!ChRepackDoPiece(ForumRootPart(root_))) {
  }
  ASSERT_TRUE(done);
  RunFor(2000);
  EXPECT_FALSE(Modified());
}

TEST_F(ForumTest, ToolPrintsTheTreeAndTheSettings) {
  Create(top_, "forum-category", "Sub", "Sub title");
  Create(Path("/Sub"), "forum-topic", "", "Talk");
  int32_t ix = 0;
  ASSERT_EQ(ForumItemCreate(Path("/Sub/1"), 0, S(""), S(""), S("body"), -1, true, &ix), 0);
  Create(top_, "forum-link", "", "Elsewhere");
  ForumSysopSetMaxCols(root_, 123);
  ForumSysopSetGreeting(root_, S("two\nlines \\ here"));
  Close();
  std::string out;
  ASSERT_EQ(forumtest::RunCommand(forumtest::DbTool() + " tree quil.db", &out), 0) << out;
  EXPECT_EQ(out,
            ".ee6b280\tforum-category\t/\tforums\t2\n"
            ".ee6b289\tforum-link\t/1\tElsewhere\t-\n"
            ".ee6b284\tforum-category\t/Sub\tSub title\t1\n"
            ".ee6b286\tforum-topic\t/Sub/1\tTalk\t1\n");
  ASSERT_EQ(forumtest::RunCommand(forumtest::DbTool() + " settings quil.db", &out), 0);
  EXPECT_NE(out.find("\nMaxCols=123\n"), std::string::npos);
  EXPECT_NE(out.find("\nGreeting=two\\nlines \\\\ here\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nHtmlCategory=(none)\n"), std::string::npos);
  EXPECT_EQ(out.substr(0, 15), "AllowGuests=on\n");
  // Read-only: the file is unchanged by the tool.
  ASSERT_EQ(forumtest::RunCommand(forumtest::DbTool() + " check quil.db", &out), 0) << out;
  EXPECT_NE(forumtest::RunCommand(forumtest::DbTool() + " tree missing.db", &out), 0);
  Open();
}

}  // namespace
