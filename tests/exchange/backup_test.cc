// Backups and recovery: rotation with backupCount, the new log with its own
// marker, refusals, queuing, rotation errors, repack, the full recovery
// from a deleted or damaged "quil.db", and when the periodic backup is due.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ForumEi.h"
#include "Ht.h"
#include "Qu.h"
#include "Td.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::Dump;
using exchangetest::ReadFileBytes;
using exchangetest::S;

bool Exists(const std::string& name) { return access(name.c_str(), F_OK) == 0; }

// The names of the files of the directory, sorted, with their sizes.
std::string Listing() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator("."))
    names.push_back(e.path().filename().string() + ":" +
                    (e.is_regular_file() ? std::to_string(e.file_size()) : "dir"));
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += n + "\n";
  return out;
}

class BackupTest : public exchangetest::ExchangeTest {
 protected:
  // Runs the backup or repack in flight to its end.
  void Finish() {
    ChPart part = ForumRootPart(root_);
    for (int i = 0; i < 100000 && !ChRepackDoPiece(part); ++i) {
    }
    EXPECT_FALSE(FrmBkBackupRunning());
  }
  void Backup(bool repack = false) {
    EXPECT_EQ(DoBackup(repack), "");
    Finish();
  }
  void Post3(const char* title) {
    ForumFile d = NewDiscussion(title);
    Post(d, "one");
    Post(d, "two");
    Post(d, "three");
  }
};

TEST_F(BackupTest, BackupCountThreeKeepsThreeGenerationsAfterFourBackups) {
  FrmBkSysopSetBackupCount(root_, 3);
  for (int i = 0; i < 4; ++i) {
    Post3(("round " + std::to_string(i)).c_str());
    Backup();
  }
  for (int n = 1; n <= 9; ++n) {
    std::string g = std::to_string(n);
    EXPECT_EQ(Exists("quildb." + g), n <= 3) << g;
    EXPECT_EQ(Exists("quilroll." + g), n <= 3) << g;
  }
  EXPECT_FALSE(Exists("quildb.tmp"));
  std::string out;
  EXPECT_EQ(exchangetest::DbCheck("quildb.1", &out), 0) << out;
  EXPECT_FALSE(ForumSysopBackupLastDate(root_).Empty());
}

TEST_F(BackupTest, TheNewLogBeginsWithItsOwnMarkerAndTheOldOneMovesOn) {
  FrmBkFileSetTitle(top_, S("before"));
  std::string old = Log();
  Backup();
  EXPECT_EQ(ReadFileBytes("quilroll.2"), old);
  std::string log = Log();
  EXPECT_EQ(log.substr(0, 9), "<save id=");
  // The image of the backup carries the second marker of the new log.
  ForumRoot copy = nullptr;
  uint16_t status = 0;
  copy = ForumDbOpenReadOnly("quildb.1", &status);
  ASSERT_NE(copy, nullptr) << status;
  St code;
  int64_t position = 0;
  EXPECT_TRUE(ForumGetSave(copy, &code, &position));
  EXPECT_GT(position, 0);
  EXPECT_EQ(log.substr(size_t(position), 9 + 11), "<save id=" + code.Str());
  ForumDbCloseReadOnly(copy);
}

TEST_F(BackupTest, RepackWithoutTheLogIsRefusedAndChangesNoFile) {
  FrmBkSysopSetRollForwardLog(root_, false);
  Reopen();
  std::string before = Listing();
  EXPECT_EQ(DoBackup(true),
            "To repack, you must enable the <tt>Produce a roll-forward log</tt> option. Use the "
            "back button, enable this option, and then click on <tt>Backup with Repack</tt> "
            "again.");
  EXPECT_EQ(Listing(), before);
}

TEST_F(BackupTest, RepackGivesACheckedCopy) {
  Post3("packed");
  Backup(true);
  std::string out;
  EXPECT_EQ(exchangetest::DbCheck("quildb.1", &out), 0) << out;
  EXPECT_TRUE(Exists("quilroll.2"));
}

TEST_F(BackupTest, ABackupAskedForWhileOneRunsWaitsItsTurn) {
  ChPart part = ForumRootPart(root_);
  ASSERT_EQ(DoBackup(false), "");
  EXPECT_TRUE(ChInBackup(part));
  EXPECT_EQ(DoBackup(false), "");  // queued
  EXPECT_EQ(DoBackup(false), "This backup is waiting to start.");
  while (!ChRepackDoPiece(part)) {
  }
  EXPECT_TRUE(FrmBkBackupRunning());  // the queued one
  EXPECT_FALSE(ChInBackup(part));
  // It starts from the RAM queue.
  int64_t until = SysTime() + 3000;
  while (!ChInBackup(part) && SysTime() < until) {
    usleep(20000);
    (void)QuProcess(100, 0);
  }
  ASSERT_TRUE(ChInBackup(part));
  Finish();
  EXPECT_TRUE(Exists("quildb.1"));
  EXPECT_TRUE(Exists("quildb.2"));
}

TEST_F(BackupTest, RotationErrorsAreReportedAndTheBackupGoesOn) {
  std::filesystem::create_directories("quildb.9/keep");
  std::string page = DoBackup(false);
  EXPECT_EQ(page.rfind("<b>Error deleting quildb.9: ", 0), 0u) << page;
  EXPECT_EQ(page.substr(page.size() - 7), "</b><p>");
  EXPECT_EQ(page.find("<b>", 1), std::string::npos);  // once
  Finish();
  EXPECT_TRUE(Exists("quildb.1"));
}

TEST_F(BackupTest, FullRecoveryFromADeletedDatabase) {
  Post3("kept in the backup");
  Backup();
  Post3("only in the log");
  FrmBkSysopSetGreeting(root_, S("after the backup"));
  std::string before = Dump(root_);
  Crash();
  ASSERT_EQ(remove("quil.db"), 0);
  ChFi file = nullptr;
  ASSERT_TRUE(ForumDbRollForward("quil.db", &file));
  std::string progress = ReadFileBytes("logRoll");
  EXPECT_NE(progress.find("** Recovering user database from backup files\r\n"), std::string::npos);
  EXPECT_NE(progress.find("** Recovery complete\r\n"), std::string::npos);
  std::string out;
  EXPECT_EQ(exchangetest::DbCheck("quil.db", &out), 0) << out;
  Open();
  EXPECT_EQ(Dump(root_), before);
  // Changes after the recovery survive the next crash too.
  FrmBkFileSetTitle(top_, S("after the recovery"));
  before = Dump(root_);
  CrashAndReopen();
  EXPECT_EQ(Dump(root_), before);
}

TEST_F(BackupTest, FullRecoveryOfADamagedDatabaseKeepsItAside) {
  Backup();
  Post3("in the log");
  std::string before = Dump(root_);
  Crash();
  exchangetest::WriteFileBytes("quil.db", std::string(8192, 'x'));
  ChFi file = nullptr;
  ASSERT_TRUE(ForumDbRollForward("quil.db", &file));
  EXPECT_EQ(ReadFileBytes("quil.db.bad"), std::string(8192, 'x'));
  Open();
  EXPECT_EQ(Dump(root_), before);
}

TEST_F(BackupTest, NoFullRecoveryWithoutBothFiles) {
  Crash();
  ChFi file = nullptr;
  EXPECT_FALSE(ForumDbRollForward("quil.db", &file));  // no quildb.1
  Open();
  Backup();
  Crash();
  ASSERT_EQ(remove("quilroll.1"), 0);
  EXPECT_FALSE(ForumDbRollForward("quil.db", &file));
  EXPECT_TRUE(Exists("quil.db"));
  Open();
}

TEST(BackupDue, PeriodTimeAndLastDate) {
  Td t;
  t.year = 2024;
  t.month = 3;
  t.day = 10;
  t.hour = 2;
  t.minute = 59;
  int64_t before3 = TdToSeconds(t, false);
  t.hour = 3;
  t.minute = 0;
  int64_t at3 = TdToSeconds(t, false);
  St daily = StCStrXfm("1");
  St weekly = StCStrXfm("7");
  St three = StCStrXfm("3:00");
  // Never taken: due once the time of day is reached.
  EXPECT_FALSE(FrmBkBackupDue(daily, three, St(), before3));
  EXPECT_TRUE(FrmBkBackupDue(daily, three, St(), at3));
  EXPECT_TRUE(FrmBkBackupDue(daily, St(), St(), at3));  // 3:00 by default
  // Taken yesterday at 3:10: due today from 3:00.
  St yesterday = StCStrXfm("03/09/2024.03:10:00");
  EXPECT_FALSE(FrmBkBackupDue(daily, three, yesterday, before3));
  EXPECT_TRUE(FrmBkBackupDue(daily, three, yesterday, at3));
  EXPECT_FALSE(FrmBkBackupDue(weekly, three, yesterday, at3));
  EXPECT_TRUE(FrmBkBackupDue(weekly, three, StCStrXfm("03/03/2024.03:10:00"), at3));
  // Taken today: not due again today.
  EXPECT_FALSE(FrmBkBackupDue(daily, three, StCStrXfm("03/10/2024.03:00:05"), at3 + 3600));
  // No period, or nonsense: never.
  EXPECT_FALSE(FrmBkBackupDue(St(), three, St(), at3));
  EXPECT_FALSE(FrmBkBackupDue(StCStrXfm("0"), three, St(), at3));
  EXPECT_FALSE(FrmBkBackupDue(StCStrXfm("weekly"), three, St(), at3));
  EXPECT_FALSE(FrmBkBackupDue(daily, StCStrXfm("25:00"), St(), at3));
}

}  // namespace
}  // namespace quil
