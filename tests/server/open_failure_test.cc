// The server and a database it cannot simply open: an interrupted save is
// rolled back from its journal as the file opens; a file that still cannot
// be opened stops the server with a message that names the file, the
// reason and what to do, and every file is left as it was; "ignorecorrupted"
// takes an interrupted file as it is; only a file that never held a save
// makes way for a new conference.
#include <signal.h>

#include "conference.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

void Put32(std::string& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = char(v >> (24 - 8 * i));
}

// Starts quil in dir and returns how it ended: stopped with SIGTERM once
// it serves, or by itself.
Ended Start(const ScratchDir& dir, bool* served) {
  Quil q(dir.path(), {"-server", "-trace"});
  *served = q.ErrUntil("select: wait", 30000);
  if (*served) q.Signal(SIGTERM);
  return q.Wait(60000);
}

class OpenFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildConference(dir_, 2, 2, 5);
    base_ = dir_.Read("quil.db");
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(dir_.File(name), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  ScratchDir dir_;
  std::string base_;
};

TEST_F(OpenFailure, AnInterruptedSaveWithoutItsJournalStopsTheServerAndChangesNothing) {
  std::string marked = base_;
  Put32(marked, 76, 1);  // the save-in-progress marker
  Write("quil.db", marked);
  bool served;
  Ended e = Start(dir_, &served);
  EXPECT_FALSE(served);
  EXPECT_EQ(e.signal, SIGABRT) << e.err;  // the halt
  for (const char* part :
       {"ForumDbOpenI-- could not open database: Corrupted database. The file quil.db cannot "
        "be opened: a save of it was interrupted",
        "no journal (quil.db-journal)", "It has been left as it was.",
        "run \"quil-dbtool check quil.db\"", "restore the last backup (quildb.1",
        "quilroll.1", "create a file named \"ignorecorrupted\""})
    EXPECT_NE(e.err.find(part), std::string::npos) << part << "\n" << e.err;
  EXPECT_TRUE(dir_.Read("quil.db") == marked);
  EXPECT_FALSE(dir_.Exists("quil.db.bad"));
  EXPECT_FALSE(dir_.Exists("quil.db-journal"));

  // A torn header is refused the same way, naming what is wrong.
  std::string torn = base_;
  Put32(torn, 4092, 77);
  Write("quil.db", torn);
  e = Start(dir_, &served);
  EXPECT_FALSE(served);
  EXPECT_NE(e.err.find("its header is torn (revision "), std::string::npos) << e.err;
  EXPECT_TRUE(dir_.Read("quil.db") == torn);

  // The operator takes the interrupted file as it is.
  Write("quil.db", marked);
  Write("ignorecorrupted", "");
  e = Start(dir_, &served);
  EXPECT_TRUE(served) << e.err;
  EXPECT_TRUE(e.exited && e.status == 0) << e.err;
  EXPECT_NE(e.err.find("* DB save-in-progress marker cleared (ignorecorrupted)"),
            std::string::npos)
      << e.err;
  std::string now = dir_.Read("quil.db");
  EXPECT_EQ(now.substr(76, 4), std::string(4, '\0'));
}

// With a backup and its roll-forward log beside it, a file that cannot be
// opened is rebuilt from them; the damaged file and its journal are kept
// aside, not overwritten.
TEST_F(OpenFailure, AFileThatCannotBeOpenedIsRebuiltFromTheBackupAndKeptAside) {
  std::string torn = base_;
  Put32(torn, 4092, 77);
  Write("quil.db", torn);
  Write("quildb.1", base_);
  Write("quilroll.1", "");
  bool served;
  Ended e = Start(dir_, &served);
  EXPECT_TRUE(served) << e.err;
  EXPECT_TRUE(dir_.Read("quil.db.damaged") == torn);
  // The event log: quil.log, or the server's error output without -log.
  std::string log = dir_.Read("quil.log") + e.err;
  EXPECT_NE(log.find("quil.db rebuilt from quildb.1 and quilroll.1 (it could not be opened: "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("the old file is kept as quil.db.damaged"), std::string::npos) << log;
  std::string out;
  EXPECT_EQ(RunCommand(DbTool() + " check " + dir_.File("quil.db"), &out), 0) << out;
}

TEST_F(OpenFailure, AFileCutShortIsRefusedWithThePageThatIsMissing) {
  std::string cut = base_.substr(0, base_.size() - 4096);
  Write("quil.db", cut);
  bool served;
  Ended e = Start(dir_, &served);
  EXPECT_FALSE(served);
  EXPECT_NE(e.err.find("is allocated but lies past the end of the file"), std::string::npos)
      << e.err;
  EXPECT_TRUE(dir_.Read("quil.db") == cut);
  std::vector<std::string> expect = {"Client", "quil.db"};
  std::vector<std::string> names = Names();
  // Besides the logs and the transient file of the process that stopped,
  // nothing was made, moved or removed.
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) {
                               return n == "quil.log" || n == "Client.log" ||
                                      n.rfind("AU000000", 0) == 0;
                             }),
              names.end());
  EXPECT_EQ(names, expect);
}

TEST_F(OpenFailure, AFileThatNeverHeldASaveMakesWayForANewConference) {
  Write("quil.db", std::string(4096, '\0'));
  bool served;
  Ended e = Start(dir_, &served);
  EXPECT_TRUE(served) << e.err;
  EXPECT_NE(e.err.find("never held a complete save; kept as quil.db.bad"), std::string::npos)
      << e.err;
  EXPECT_EQ(dir_.Read("quil.db.bad"), std::string(4096, '\0'));
  std::string out;
  EXPECT_EQ(RunCommand(DbTool() + " check " + dir_.File("quil.db"), &out), 0) << out;
}

TEST_F(OpenFailure, AnInterruptedSaveIsRolledBackFromItsJournal) {
  // The server dies in a save: done here in this process through the
  // fault-injecting file layer (the power goes at the save's sixth sync).
  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  (void)quil::UtInitRtns(quil::kPkgInit, quil::kPkgVersion);
  quil::StoreRegisterTypes();
  ASSERT_EQ(quil::ChInit(quil::kPkgVersion, 64), 0);
  quil::ChFi f;
  quil::ChPart part;
  ASSERT_EQ(quil::ChFiOpen("quil.db", quil::kChFiReadWrite, &f), 0);
  ASSERT_EQ(quil::ChFiPartOpen(f, &part), 0);
  uint32_t rev = quil::ChGetRev(part);
  for (int i = 0; i < 40; ++i) {
    quil::ChHandle h;
    void* d = quil::ChCreate(quil::kUtTypeRaw, 3000, quil::ChPartNear(part), &h);
    memset(d, 'j', 3000);
    quil::ChUnlockMod(d);
  }
  quil::FiFaultTrack(true);
  quil::FiFaultCutAtSync(6, quil::FiCut::kKeepSome, 5);
  uint32_t saving;
  EXPECT_NE(quil::ChPartSave(part, 0, &saving), 0);
  ASSERT_TRUE(quil::FiFaultDead());
  (void)quil::ChFiClose(f);
  quil::FiFaultReset();
  quil::ChTerm();
  (void)quil::UtInitRtns(quil::kPkgTerm, 0);
  std::filesystem::current_path(old);
  ASSERT_TRUE(dir_.Exists("quil.db-journal"));

  bool served;
  Ended e = Start(dir_, &served);
  EXPECT_TRUE(served) << e.err;
  EXPECT_TRUE(e.exited && e.status == 0) << e.err;
  std::string note = "* DB the save of revision " + std::to_string(rev + 1) +
                     " was interrupted; the journal quil.db-journal restores revision " +
                     std::to_string(rev);
  EXPECT_NE(e.err.find(note), std::string::npos) << e.err;
  EXPECT_NE(e.err.find("; rolled back"), std::string::npos) << e.err;
  EXPECT_FALSE(dir_.Exists("quil.db-journal"));
  std::string out;
  EXPECT_EQ(RunCommand(DbTool() + " check " + dir_.File("quil.db"), &out), 0) << out;
  EXPECT_EQ(RunCommand(DbTool() + " tree " + dir_.File("quil.db"), &out), 0) << out;
  EXPECT_NE(out.find("Folder1"), std::string::npos) << out;
}

}  // namespace
