// Backup: pieces of 131,072 bytes every 200 ms from the RAM queue (on a
// simulated clock), the percentage, one backup at a time in the process,
// a backup that waits for a save in flight, stopping, and the offline copy
// of quil-dbtool backup.
#include "bgsave_test_util.h"

using namespace quil;
using storetest::fakeNow;
using storetest::ReadFileBytes;

namespace {


struct Ended {
  std::vector<std::string> destinations;
  std::vector<uint16_t> statuses;
};

void RecordEnd(intptr_t arg, const std::string& destination, uint16_t status) {
  auto* e = reinterpret_cast<Ended*>(arg);
  e->destinations.push_back(destination);
  e->statuses.push_back(status);
}

class Backup : public storetest::BgSaveTest {
 protected:
  bool FakeClock() const override { return true; }

  // A saved part of about pages pages in file name.
  ChPart SavedPart(const std::string& name, int pages) {
    ChPart part = NewPart(name);
    for (int i = 0; i < pages; ++i)
      NewChunk(ChPartNear(part), std::string(4000, char('a' + i % 26)));
    Save(part);
    WaitSaved(part);
    return part;
  }

  // Moves the clock by ms and runs what fell due.
  static void Advance(int64_t ms) {
    fakeNow += ms;
    QuProcess(100, 0);
  }

  Ended ended_;
  intptr_t EndArg() { return reinterpret_cast<intptr_t>(&ended_); }
};

TEST_F(Backup, CopiesAPieceEvery200MillisecondsUntilTheEnd) {
  ChPart part = SavedPart("quil.db", 100);
  std::string saved = ReadFileBytes("quil.db");
  int64_t pieces = (int64_t(saved.size()) + kChLargeBufCount - 1) / kChLargeBufCount;
  ASSERT_EQ(pieces, 8);
  EXPECT_EQ(ChBackupPercent(part), 100);
  EXPECT_FALSE(ChInBackup(part));
  ASSERT_EQ(ChStartBackup(part, "backup.db", RecordEnd, EndArg()), 0);
  EXPECT_TRUE(ChInBackup(part));
  EXPECT_TRUE(ChInBackup(0));
  EXPECT_EQ(ChBackupPercent(part), 0);
  // The server goes on changing the part; the copy is of the last save.
  NewChunk(ChPartNear(part), std::string(100, 'n'));
  Advance(199);
  EXPECT_EQ(ChBackupPercent(part), 0);
  int last = 0;
  for (int64_t i = 1; i <= pieces; ++i) {
    Advance(1);
    EXPECT_EQ(int64_t(ReadFileBytes("backup.db").size()),
              std::min<int64_t>(i * kChLargeBufCount, int64_t(saved.size())));
    if (i < pieces) {
      int percent = ChBackupPercent(part);
      EXPECT_EQ(percent, int(i * 32 * 100 / int64_t(saved.size() / 4096))) << i;
      EXPECT_GT(percent, last);
      last = percent;
      EXPECT_TRUE(ended_.statuses.empty());
      Advance(199);
    }
  }
  ASSERT_EQ(ended_.statuses, std::vector<uint16_t>{0});
  EXPECT_EQ(ended_.destinations, std::vector<std::string>{"backup.db"});
  EXPECT_FALSE(ChInBackup(part));
  EXPECT_EQ(ChBackupPercent(part), 100);
  EXPECT_TRUE(ReadFileBytes("backup.db") == saved);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check backup.db", &out), 0)
      << out;
  // Saving is possible again.
  Save(part);
  WaitSaved(part);
}

TEST_F(Backup, OneAtATimeInTheProcessAndStopLetsTheNextOneRun) {
  ChPart a = SavedPart("a.db", 40);
  ChPart b = SavedPart("b.db", 10);
  ChPart c = SavedPart("c.db", 10);
  ASSERT_EQ(ChStartBackup(a, "a.bak", RecordEnd, EndArg()), 0);
  ASSERT_EQ(ChStartBackup(b, "b.bak", RecordEnd, EndArg()), 0);
  ASSERT_EQ(ChStartBackup(c, "c.bak", RecordEnd, EndArg()), 0);
  EXPECT_TRUE(ChInBackup(b));
  for (int i = 0; i < 6; ++i) Advance(200);  // a: 5 pieces
  EXPECT_EQ(ended_.destinations, std::vector<std::string>{"a.bak"});
  EXPECT_EQ(ReadFileBytes("c.bak"), "");  // c waits its turn
  EXPECT_EQ(ChBackupPercent(c), 0);
  Advance(200);
  ChStopBackup(b);
  EXPECT_FALSE(ChInBackup(b));
  EXPECT_FALSE(FiExists("b.bak"));
  for (int i = 0; i < 6; ++i) Advance(200);
  EXPECT_EQ(ended_.destinations, (std::vector<std::string>{"a.bak", "c.bak"}));
  EXPECT_TRUE(ReadFileBytes("a.bak") == ReadFileBytes("a.db"));
  EXPECT_TRUE(ReadFileBytes("c.bak") == ReadFileBytes("c.db"));
}

void ReleaseWriter(intptr_t, int32_t) { ChBgSaveHookRelease(); }

TEST_F(Backup, WaitsForASaveInFlightAndCopiesItsResult) {
  ChPart part = SavedPart("quil.db", 10);
  ChHandle h = NewChunk(ChPartNear(part), std::string(100, 'w'));
  ChBgSaveHookPauseAt(ChPageOf(h));
  Save(part);
  ASSERT_TRUE(ChBgSaveHookWaitPaused(10000));
  QuRamAdd(0, ReleaseWriter, 0);
  ASSERT_EQ(ChStartBackup(part, "quil.bak", RecordEnd, EndArg()), 0);
  EXPECT_FALSE(ChBgSaveActive(ChGetChFi(part)));
  for (int i = 0; i < 6; ++i) Advance(200);
  ASSERT_EQ(ended_.statuses, std::vector<uint16_t>{0});
  EXPECT_EQ(storetest::ChunkOnDisk("quil.bak", h, 100), std::string(100, 'w'));
}

TEST_F(Backup, ClosingThePartEndsItsBackup) {
  ChPart part = SavedPart("quil.db", 40);
  ASSERT_EQ(ChStartBackup(part, "quil.bak", RecordEnd, EndArg()), 0);
  Advance(200);
  EXPECT_EQ(ChFiClose(ChGetChFi(part)), 0);
  EXPECT_FALSE(ChInBackup(0));
  EXPECT_FALSE(FiExists("quil.bak"));
  Advance(200);
  EXPECT_TRUE(ended_.statuses.empty());
}

TEST_F(Backup, SavingDuringABackupHalts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ChPart part = SavedPart("quil.db", 3);
  ASSERT_EQ(ChStartBackup(part, "quil.bak", RecordEnd, EndArg()), 0);
  NewChunk(ChPartNear(part), "x");
  uint32_t rev;
  EXPECT_DEATH((void)ChPartSave(part, 0, &rev), "ChPartSave-- backup in progress");
  ChStopBackup(part);
}

TEST_F(Backup, DbToolBackupCopiesAFileOffline) {
  ChPart part = SavedPart("quil.db", 50);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string out;
  std::string tool = storetest::DbToolPath();
  EXPECT_EQ(storetest::RunCommand(tool + " backup quil.db copy.db", &out), 0) << out;
  EXPECT_EQ(out, "quil.db -> copy.db: copied\n");
  EXPECT_TRUE(ReadFileBytes("copy.db") == ReadFileBytes("quil.db"));
  // The destination must be new; the source must be a database file.
  EXPECT_EQ(storetest::RunCommand(tool + " backup quil.db copy.db", &out), 1) << out;
  EXPECT_NE(out.find("(status 6)"), std::string::npos) << out;
  storetest::WriteFileBytes("junk", std::string(5000, 'j'));
  EXPECT_EQ(storetest::RunCommand(tool + " backup junk other.db", &out), 1) << out;
  EXPECT_NE(out.find("(status 3)"), std::string::npos) << out;
  EXPECT_FALSE(FiExists("other.db"));
  EXPECT_EQ(storetest::RunCommand(tool + " backup quil.db", &out), 2) << out;
}

}  // namespace
