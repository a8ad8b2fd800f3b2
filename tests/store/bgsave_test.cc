// Background save: copy on change while the writer is held at a page, the
// wait for a save in flight, completion (messages, callback, raised write
// errors), the saves of Af, and a random workload changed during every
// save and checked against what the file received.
#include <map>
#include <random>

#include "Af.h"
#include "bgsave_test_util.h"

using namespace quil;
using storetest::ChunkOnDisk;

namespace {

class BgSave : public storetest::BgSaveTest {
 protected:
  uint32_t CachePages() const override { return 16; }
};

void Overwrite(ChHandle h, const std::string& bytes) {
  ChLocked c(h);
  memcpy(c.Data(), bytes.data(), bytes.size());
  c.MarkModified();
}

TEST_F(BgSave, ChangeWhileItsPageIsWrittenKeepsTheOldContentsInTheFile) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), std::string(3000, 'a'));
  ChHandle b = NewChunk(ChPartNear(part), std::string(3000, 'b'));
  ASSERT_NE(ChPageOf(a), ChPageOf(b));
  Save(part);
  WaitSaved(part);

  Overwrite(a, std::string(3000, '1'));
  Overwrite(b, std::string(3000, '1'));
  ChBgSaveHookPauseAt(ChPageOf(a));
  Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  EXPECT_TRUE(ChBgSaveActive(ChGetChFi(part)));
  // The writer holds a's page.  Change it three ways: through a lock, a
  // new chunk on the page and a reference count.
  Overwrite(a, std::string(3000, '2'));
  ChHandle c = NewChunk(a, std::string(500, 'c'));
  EXPECT_EQ(ChPageOf(c), ChPageOf(a));
  ChIncRefCount(b);
  ChBgSaveHookRelease();
  WaitSaved(part);

  EXPECT_EQ(ChunkOnDisk("quil.db", a, 3000), std::string(3000, '1'));
  EXPECT_EQ(ChunkOnDisk("quil.db", b, 3000), std::string(3000, '1'));
  EXPECT_EQ(ChunkBytes(a), std::string(3000, '2'));
  EXPECT_EQ(ChunkBytes(c), std::string(500, 'c'));
  EXPECT_TRUE(ChPartIsModified(part));
  ChCheckPageTable(part);
  std::string report;
  EXPECT_TRUE(ChCheck(part, &report)) << report;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &report), 0)
      << report;

  // The next save writes what the server changed meanwhile.
  Save(part);
  WaitSaved(part);
  EXPECT_EQ(ChunkOnDisk("quil.db", a, 3000), std::string(3000, '2'));
  EXPECT_EQ(ChunkOnDisk("quil.db", c, 500), std::string(500, 'c'));
  EXPECT_FALSE(ChPartIsModified(part));
  ChCheckPageTable(part);
  EXPECT_EQ(ChState.transFree.size(), ChState.transNext);
}

TEST_F(BgSave, CopiesLeaveTheCacheAndComeBackDuringTheSave) {
  ChPart part = NewPart();
  std::vector<ChHandle> chunks;
  for (int i = 0; i < 40; ++i)
    chunks.push_back(NewChunk(ChPartNear(part), std::string(3000, char('A' + i % 26))));
  Save(part);
  WaitSaved(part);
  // Changed pages, some cached and some in the transient file.
  for (int i = 0; i < 40; i += 2) Overwrite(chunks[size_t(i)], std::string(3000, 'x'));
  ChBgSaveHookPauseAt(ChPageOf(chunks[0]));
  Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  // Change every page, twice round a cache far smaller than the part, so
  // that copies and frozen transient pages are evicted and read back.
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 40; ++i)
      Overwrite(chunks[size_t(i)], std::string(3000, char('0' + round)));
  ChHandle gone = chunks.back();
  chunks.pop_back();
  ChDestroy(gone);
  ChBgSaveHookRelease();
  WaitSaved(part);

  for (int i = 0; i < 39; ++i) {
    char expect = i % 2 == 0 ? 'x' : char('A' + i % 26);
    EXPECT_EQ(ChunkOnDisk("quil.db", chunks[size_t(i)], 3000), std::string(3000, expect))
        << i;
    EXPECT_EQ(ChunkBytes(chunks[size_t(i)]), std::string(3000, '1')) << i;
  }
  ChCheckPageTable(part);
  Save(part);
  WaitSaved(part);
  for (int i = 0; i < 39; ++i)
    EXPECT_EQ(ChunkOnDisk("quil.db", chunks[size_t(i)], 3000), std::string(3000, '1'));
  ChCheckPageTable(part);
  EXPECT_EQ(ChState.transFree.size(), ChState.transNext);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 0)
      << out;
}

TEST_F(BgSave, LockedChunkAtTheStartIsSavedFromACopy) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), std::string(100, 'a'));
  auto* held = static_cast<uint8_t*>(ChLock(a));
  memset(held, 'b', 100);
  ChMarkModified(a);
  ChBgSaveHookPauseAt(ChPageOf(a));
  Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  // The pointer stays valid and the save keeps what it froze.
  memset(held, 'c', 100);
  ChUnlockMod(held);
  ChBgSaveHookRelease();
  WaitSaved(part);
  EXPECT_EQ(ChunkOnDisk("quil.db", a, 100), std::string(100, 'b'));
  EXPECT_EQ(ChunkBytes(a), std::string(100, 'c'));
  EXPECT_TRUE(ChPartIsModified(part));
  Save(part);
  WaitSaved(part);
  EXPECT_EQ(ChunkOnDisk("quil.db", a, 100), std::string(100, 'c'));
}

void ReleaseWriter(intptr_t ran, int32_t) {
  *reinterpret_cast<bool*>(ran) = true;
  ChBgSaveHookRelease();
}

void CountSave(ChFi, intptr_t count) { ++*reinterpret_cast<int*>(count); }

TEST_F(BgSave, SaveStartedWhileThePreviousWritesWaitsForIt) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), std::string(100, 'a'));
  int completed = 0;
  ChBgSaveSetCb(ChGetChFi(part), CountSave, reinterpret_cast<intptr_t>(&completed));
  ChBgSaveHookPauseAt(ChPageOf(a));
  uint32_t first = Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  Overwrite(a, std::string(100, 'b'));
  // Only queued work can let the writer go: the second save must run it
  // while it waits.
  bool ran = false;
  QuRamAdd(20, ReleaseWriter, reinterpret_cast<intptr_t>(&ran));
  uint32_t second = Save(part);
  EXPECT_TRUE(ran);
  EXPECT_EQ(completed, 1);
  EXPECT_EQ(second, first + 1);
  WaitSaved(part);
  EXPECT_EQ(completed, 2);
  EXPECT_EQ(ChGetRev(part), second);
  EXPECT_EQ(ChunkOnDisk("quil.db", a, 100), std::string(100, 'b'));
}

TEST_F(BgSave, CloseWaitsForTheSaveInFlightAndReturnsItsError) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), std::string(100, 'a'));
  ChBgSaveHookPauseAt(ChPageOf(a));
  Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  bool ran = false;
  QuRamAdd(10, ReleaseWriter, reinterpret_cast<intptr_t>(&ran));
  EXPECT_EQ(ChFiClose(ChGetChFi(part)), 0);
  EXPECT_TRUE(ran);
  EXPECT_EQ(ChunkOnDisk("quil.db", a, 100), std::string(100, 'a'));

  ChFi f;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), 0);
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  NewChunk(ChPartNear(part), std::string(100, 'b'));
  FiFaultFailNth(FiCall::kWrite, 2, kFiStatusDiskFull);
  Save(part);
  uint16_t status = 0;
  EXPECT_TRUE(ExTry([&] { status = ChFiClose(f); }));  // not raised
  FiFaultFailNth(FiCall::kWrite, 0, kFiStatusDiskFull);
  EXPECT_EQ(status, kFiStatusDiskFull);
}

std::vector<std::string> recordLog;
void KeepRecord(const std::string& line) { recordLog.push_back(line); }

TEST_F(BgSave, ProgressMessagesAndTheQueueLoopFinishTheSave) {
  ChPart part = NewPart();
  ChFi f = ChGetChFi(part);
  recordLog.clear();
  ChSetRecordLogFn(KeepRecord);
  UtDefinition def;
  def.name = "BgSaveTestType";
  def.layout = UtLayout().Op(kUtInt32).Done();
  uint16_t type = UtCreate(def);
  NewChunk(ChPartNear(part), std::string(4, 'r'), type);
  Save(part);
  EXPECT_TRUE(ChBgSaveInProgress());
  EXPECT_EQ(ChBgSavesOut, 1);
  // The queue loop's poll finishes the save once the writer is done.
  int64_t until = SysTime() + 10000;
  while (ChBgSaveActive(f) && SysTime() < until) QuProcess(100, 0);
  EXPECT_FALSE(ChBgSaveActive(f));
  EXPECT_EQ(ChBgSavesOut, 0);
  std::vector<std::string> expect = {"start",          "write head ok",
                                     "write ut ok",    "write map ok",
                                     "page writes done", "head write done",
                                     "save complete"};
  EXPECT_EQ(ChBgSaveMessages(f), expect);
  NewChunk(ChPartNear(part), std::string(4, 's'));
  Save(part);
  WaitSaved(part);
  expect.erase(expect.begin() + 2);  // the type table has not changed
  EXPECT_EQ(ChBgSaveMessages(f), expect);
  ChSetRecordLogFn(nullptr);
  ASSERT_EQ(recordLog.size(), 2u);
  EXPECT_EQ(recordLog[0].substr(0, 19), "* DB save pages 1 @");
  EXPECT_EQ(recordLog[1].substr(0, 19), "* DB save pages 1 @");
  EXPECT_EQ(recordLog[1].size(), 27u);  // @HH:MM:SS
}

TEST_F(BgSave, WriteErrorIsRaisedAtCompletionAndTheChangesStayPending) {
  ChPart part = NewPart();
  std::vector<ChHandle> chunks;
  for (int i = 0; i < 30; ++i)
    chunks.push_back(NewChunk(ChPartNear(part), std::string(3000, char('a' + i))));
  Save(part);
  WaitSaved(part);
  for (ChHandle h : chunks) Overwrite(h, std::string(3000, 'z'));
  int completed = 0;
  ChBgSaveSetCb(ChGetChFi(part), CountSave, reinterpret_cast<intptr_t>(&completed));
  // The write of a page fails: armed while the writer waits before it.
  ChBgSaveHookPauseAt(ChPageOf(chunks[5]));
  Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  FiFaultFailNth(FiCall::kWrite, 1, kFiStatusDiskFull);
  ChBgSaveHookRelease();
  bool ok = ExTry([&] { ChBgSaveCleanupWait(ChGetChFi(part)); });
  FiFaultFailNth(FiCall::kWrite, 0, kFiStatusDiskFull);
  ASSERT_FALSE(ok);
  EXPECT_EQ(ExLastError, kFiStatusDiskFull);
  EXPECT_EQ(completed, 0);
  std::vector<std::string> messages = ChBgSaveMessages(ChGetChFi(part));
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "error in write pages");
  // The journal put the image back: the file holds the last complete save,
  // without the marker, and no journal is left to write back.
  EXPECT_EQ(messages[messages.size() - 2], "rolled back");
  EXPECT_EQ(storetest::Be32At(storetest::ReadFileBytes("quil.db"), 76), 0u);
  for (size_t i = 0; i < chunks.size(); ++i)
    EXPECT_EQ(ChunkOnDisk("quil.db", chunks[i], 3000), std::string(3000, char('a' + i)));
  EXPECT_EQ(storetest::ReadFileBytes("quil.db-journal"), "");
  EXPECT_TRUE(ChPartIsModified(part));
  EXPECT_EQ(ChPartChangedPages(part), ChPageCount(part));
  ChCheckPageTable(part);
  Save(part);
  WaitSaved(part);
  EXPECT_EQ(completed, 1);
  EXPECT_EQ(storetest::Be32At(storetest::ReadFileBytes("quil.db"), 76), 0u);
  for (ChHandle h : chunks)
    EXPECT_EQ(ChunkOnDisk("quil.db", h, 3000), std::string(3000, 'z'));
}

TEST_F(BgSave, WithoutThreadsTheSaveRunsInTheCallingThread) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), std::string(100, 'a'));
  EnableThreads = false;
  EXPECT_FALSE(ChBgSaveEnabled());
  FiFaultFailNth(FiCall::kWrite, 1, kFiStatusDiskFull);
  uint32_t rev;
  EXPECT_EQ(ChPartSave(part, 0, &rev), kFiStatusDiskFull);
  EXPECT_FALSE(ChBgSaveActive(ChGetChFi(part)));
  EXPECT_EQ(ChPartSave(part, 0, &rev), 0);
  EnableThreads = true;
  EXPECT_FALSE(ChBgSaveActive(ChGetChFi(part)));
  EXPECT_EQ(ChunkOnDisk("quil.db", a, 100), std::string(100, 'a'));
  EXPECT_EQ(ChGetRev(part), rev);
}

int rootOpens = 0;
uint16_t CountRootOpen(ChPart) {
  ++rootOpens;
  return 0;
}
void NoRootClose(ChPart) {}

TEST_F(BgSave, AfSaveOfAnUnchangedPartDoesNothing) {
  ASSERT_EQ(AfInitRtns(kPkgInit, kPkgVersion), 0);
  AfSetRootFns(CountRootOpen, NoRootClose);
  ChPart part;
  ASSERT_EQ(AfCreate("af.db", &part), 0);
  NewChunk(ChPartNear(part), std::string(10, 'a'));
  uint32_t rev = 0;
  ASSERT_EQ(AfSave(part, 0, &rev), 0);
  WaitSaved(part);
  int64_t writes = FiFaultCalls(FiCall::kWrite);
  int opens = rootOpens;
  uint32_t again = 0;
  EXPECT_EQ(AfSave(part, 0, &again), 0);
  EXPECT_EQ(again, rev);
  EXPECT_FALSE(ChBgSaveActive(ChGetChFi(part)));
  EXPECT_EQ(FiFaultCalls(FiCall::kWrite), writes);
  EXPECT_EQ(rootOpens, opens);
  EXPECT_EQ(AfClose(part), 0);
  AfSetRootFns(nullptr, nullptr);
  (void)AfInitRtns(kPkgTerm, 0);
}

// A random workload goes on during every save (the writer is slowed down
// so that the saves overlap the changes); a byte copy of the file taken
// after each save must hold exactly the chunks as they were when the save
// started.
TEST_F(BgSave, RandomChangesDuringSavesNeverReachTheSaveInFlight) {
  ChPart part = NewPart();
  std::mt19937 rng(5150);
  std::map<ChHandle, std::string> model;
  auto randomBytes = [&](size_t n) {
    std::string s(n, '\0');
    for (char& ch : s) ch = char(rng());
    return s;
  };
  auto pick = [&]() {
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    return it->first;
  };
  auto step = [&] {
    uint32_t op = rng() % 100;
    if (op < 30 || model.size() < 20) {
      std::string bytes = randomBytes(rng() % 2 ? rng() % 300 : rng() % 4000);
      ChHandle near = model.empty() || rng() % 3 == 0 ? ChPartNear(part) : pick();
      model[NewChunk(near, bytes)] = bytes;
    } else if (op < 70) {
      ChHandle h = pick();
      std::string& bytes = model[h];
      for (size_t i = 0; i < bytes.size(); i += 1 + rng() % 64) bytes[i] = char(rng());
      ChLocked c(h);
      memcpy(c.Data(), bytes.data(), bytes.size());
      c.MarkModified();
    } else if (op < 85) {
      ChHandle h = pick();
      std::string kept = model[h];
      kept.resize(rng() % 3000, '\0');
      ChHandle moved = ChResize(h, uint32_t(kept.size()));
      model.erase(h);
      model[moved] = kept;
    } else {
      ChHandle h = pick();
      ChDestroy(h);
      model.erase(h);
    }
  };
  ChBgSaveHookSetPageDelay(50);
  for (int round = 0; round < 8; ++round) {
    for (int i = 0; i < 150; ++i) step();
    std::map<ChHandle, std::string> frozen = model;
    Save(part);
    int during = 0;
    while (ChBgSaveActive(ChGetChFi(part))) {
      for (int i = 0; i < 20; ++i) step();
      during += 20;
      ASSERT_TRUE(ExTry([] { ChPoll(); }));
    }
    EXPECT_GT(during, 0);
    std::string copy = "round" + std::to_string(round) + ".db";
    storetest::WriteFileBytes(copy, storetest::ReadFileBytes("quil.db"));
    ChFi f;
    ASSERT_EQ(ChFiOpen(copy, kChFiReadOnly, &f), 0);
    ChPart other;
    ASSERT_EQ(ChFiPartOpen(f, &other), 0);
    size_t seen = 0;
    ChIter it;
    ChStartFID(it, other);
    for (ChHandle h = ChNext(it); h != kChNil; h = ChNext(it)) {
      if (h == ChPartInfoHandle(other)) continue;
      ChHandle mine = ChHandleMake(part, ChPageOf(h), ChOffsetOf(h));
      auto found = frozen.find(mine);
      ASSERT_NE(found, frozen.end()) << round;
      ASSERT_EQ(ChunkBytes(h), found->second) << round;
      ++seen;
    }
    EXPECT_EQ(seen, frozen.size()) << round;
    ASSERT_EQ(ChFiClose(f), 0);
    ChCheckPageTable(part);
  }
  ChBgSaveHookSetPageDelay(0);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 0)
      << out;
}

}  // namespace
