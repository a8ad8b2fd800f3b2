// Application files: callbacks, unchanged saves, save-as, missing master.
#include <vector>

#include "Af.h"
#include "Ma.h"
#include "store_test_util.h"

using namespace quil;
using storetest::ReadFileBytes;

namespace {

std::vector<std::string> calls;

void SaveA(ChPart) { calls.push_back("saveA"); }
void SaveB(ChPart) { calls.push_back("saveB"); }
void CloseC(ChPart) { calls.push_back("closeC"); }
uint16_t RootOpen(ChPart) {
  calls.push_back("open");
  return 0;
}
void RootClose(ChPart) { calls.push_back("close"); }
void SaveLog(ChPart, uint32_t rev) { calls.push_back("log " + std::to_string(rev)); }

class AfFiles : public storetest::StoreTest {
 protected:
  // Small, so that save-as moves pages through the transient file.
  uint32_t CachePages() const override { return 4; }
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(AfInitRtns(kPkgInit, kPkgVersion), 0);
    AfSetRootFns(RootOpen, RootClose);
    AfSetSaveLogFn(SaveLog);
    calls.clear();
  }
  void TearDown() override {
    AfSetRootFns(nullptr, nullptr);
    AfSetSaveLogFn(nullptr);
    (void)AfInitRtns(kPkgTerm, 0);
    StoreTest::TearDown();
  }
  using Calls = std::vector<std::string>;
};

TEST_F(AfFiles, SaveRunsCallbacksNewestFirstAndSkipsUnchangedParts) {
  AfSaveAnyInsert(SaveA);
  AfSaveAnyInsert(SaveB);
  AfSaveAnyInsert(SaveA);  // registered once
  ChPart part;
  ASSERT_EQ(AfCreate("quil.db", &part), 0);
  EXPECT_EQ(calls, Calls{"open"});
  ChHandle h = NewChunk(ChPartNear(part), "first");
  calls.clear();
  uint32_t rev = 0;
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  EXPECT_EQ(rev, 1u);
  EXPECT_EQ(calls, (Calls{"close", "saveB", "saveA", "open", "log 1"}));

  calls.clear();
  int64_t writes = FiFaultCalls(FiCall::kWrite);
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  EXPECT_EQ(rev, 1u);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(FiFaultCalls(FiCall::kWrite), writes);

  AfSaveAnyRemove(SaveB);
  ChSetRoot(part, h);
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  EXPECT_EQ(calls, (Calls{"close", "saveA", "open", "log 2"}));

  calls.clear();
  AfCloseAnyInsert(CloseC);
  ASSERT_EQ(AfClose(part), 0);
  EXPECT_EQ(calls, (Calls{"closeC", "close"}));
  AfCloseAnyRemove(CloseC);

  calls.clear();
  ASSERT_EQ(AfOpen("quil.db", &part), 0);
  EXPECT_EQ(calls, Calls{"open"});
  EXPECT_EQ(ChGetRev(part), 2u);
  EXPECT_EQ(ChunkBytes(ChGetRoot(part)), "first");
  EXPECT_EQ(AfClose(part), 0);
  EXPECT_EQ(AfCreate("quil.db", &part), 6);
}

TEST_F(AfFiles, FileWithoutMasterPartGives15AndIsClosed) {
  ChFi f;
  ASSERT_EQ(ChFiCreate("empty.db", &f), 0);
  ASSERT_EQ(ChFiClose(f), 0);
  ChPart part;
  EXPECT_EQ(AfOpen("empty.db", &part), 15);
  EXPECT_TRUE(ChState.files.empty());
  EXPECT_TRUE(calls.empty());
}

TEST_F(AfFiles, SaveAsMovesThePartToTheNewFile) {
  ChPart part;
  ASSERT_EQ(AfCreate("a.db", &part), 0);
  std::vector<ChHandle> chunks;
  for (int i = 0; i < 12; ++i)
    chunks.push_back(NewChunk(ChPartNear(part), std::string(2500, char('a' + i))));
  uint32_t rev;
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  std::string saved = ReadFileBytes("a.db");
  ChHandle extra = NewChunk(ChPartNear(part), "unsaved until save-as");
  ChSetRoot(part, extra);
  EXPECT_EQ(AfSaveAs(part, "a.db"), 6);
  calls.clear();
  ASSERT_EQ(AfSaveAs(part, "b.db"), 0);
  EXPECT_EQ(calls, (Calls{"close", "open", "log 2"}));
  EXPECT_EQ(ReadFileBytes("a.db"), saved);
  EXPECT_EQ(ChFiPath(ChGetChFi(part)), "b.db");
  EXPECT_EQ(ChState.files.size(), 1u);
  // The part goes on in the new file.
  NewChunk(extra, "after");
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  ASSERT_EQ(AfClose(part), 0);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check b.db", &out), 0) << out;
  ASSERT_EQ(AfOpen("b.db", &part), 0);
  EXPECT_EQ(ChunkBytes(ChGetRoot(part)), "unsaved until save-as");
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(ChunkBytes(ChHandleMake(part, ChPageOf(chunks[size_t(i)]),
                                      ChOffsetOf(chunks[size_t(i)]))),
              std::string(2500, char('a' + i)));
  EXPECT_EQ(AfDestroy(part), 0);
  EXPECT_FALSE(FiExists("b.db"));
}

TEST_F(AfFiles, ToolReportsTheHeader) {
  ChPart part;
  ASSERT_EQ(AfCreate("quil.db", &part), 0);
  uint32_t rev;
  ChSetRoot(part, ChPartInfoHandle(part));
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  ASSERT_EQ(AfClose(part), 0);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " info quil.db", &out), 0);
  EXPECT_NE(out.find("magic:                0x41555448"), std::string::npos) << out;
  EXPECT_NE(out.find("format version:       20"), std::string::npos) << out;
  EXPECT_NE(out.find("flags:                19"), std::string::npos) << out;
  EXPECT_NE(out.find("146 pages allocated, 1 of them data pages"), std::string::npos) << out;
  EXPECT_NE(out.find("root 0x00000101, page count 1"), std::string::npos) << out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " info nothing.db", &out), 1);
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " frob quil.db", &out), 2);
}

}  // namespace
