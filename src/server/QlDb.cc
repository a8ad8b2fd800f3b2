// Opening and closing the conference database around each pass of main's
// loop, the memory probe, and the start and end of request processing.
//
// The forum store opens quil.db and its root; this file passes it the
// process flags (-f, -noCheck, the first pass) and applies the memory
// settings stored in the database.
//
// When quil.db exists but cannot be opened (after the store has written
// back the journal of an interrupted save), the server never puts an empty
// conference in its place: it tries the recovery from the backup files
// (QlDbRecover), and when that does not succeed it stops with a message
// that names the file, the reason and what the operator can do, leaving
// every file as it was.
#include "Ch.h"
#include "Ec.h"
#include "Fi.h"
#include "Forum.h"
#include "FrmBk.h"
#include "Ht.h"
#include "Ma.h"
#include "Ql.h"
#include "St.h"
#include "Thread.h"

namespace quil {

int32_t ForumDbOpenCount = 0;

// The damaged file and its journal are renamed aside (path + ".damaged",
// path + ".damaged-journal"; ".damaged.2" ... when an earlier one is kept) before the backup is copied into place, so that
// the rebuilt file never meets the old file's journal and the operator keeps
// the damaged file to examine; when the recovery does not succeed they are
// put back, and every file is as it was.
bool QlDbRecover(const std::string& path, uint16_t status) {
  if (!FiExists(FrmBkDbName("1")) || !FiExists(FrmBkRollName("1"))) return false;
  // An older damaged file kept by an earlier recovery is not replaced.
  std::string aside = path + ".damaged";
  for (int n = 2; FiExists(aside) && n < 100; ++n) aside = path + ".damaged." + std::to_string(n);
  const std::string journal = ChFiJournalPath(path);
  const std::string journalAside = aside + "-journal";
  bool moved = FiExists(path), movedJournal = FiExists(journal);
  if (moved && FiRename(path, aside) != 0) return false;
  if (movedJournal && FiRename(journal, journalAside) != 0) {
    if (moved) (void)FiRename(aside, path);
    return false;
  }
  ChFi rebuilt = nullptr;
  if (ForumDbRollForward(path, &rebuilt)) {
    std::string why = status ? "it could not be opened: " + EcToSt(status).Str() : "it was missing";
    Wf_log_write("%s rebuilt from %s1 and %s1 (%s)%s", path.c_str(), kFrmBkDbPrefix,
                 kFrmBkRollPrefix, why.c_str(),
                 moved ? ("; the old file is kept as " + aside).c_str() : "");
    return true;
  }
  if (FiExists(path)) (void)FiDelete(path);
  if (moved) (void)FiRename(aside, path);
  if (movedJournal) (void)FiRename(journalAside, journal);
  return false;
}

std::string QlDbRefusal(const std::string& path, uint16_t status) {
  std::string why = ChFiOpenProblem();
  if (why.empty()) why = "it cannot be read";
  return "ForumDbOpenI-- could not open database: " + EcToSt(status).Str() + " The file " +
         path + " cannot be opened: " + why +
         ". It has been left as it was.  What to do: run \"quil-dbtool check " + path +
         "\" to see what is damaged; or restore the last backup (quildb.1, with the "
         "roll-forward log quilroll.1) as " + path +
         "; or, to take the file as it is after an interrupted save, create a file named "
         "\"ignorecorrupted\" in this directory and start the server again.";
}

namespace {

constexpr char kQlDbFile[] = "quil.db";

// Start-up self-tests: string conversions always, the thread primitives on
// the first pass.
void QlSelfTests(bool firstPass) {
  int32_t n = 0;
  St text = StStIntXfm(-2147483647);
  MA_CHECK(true, text == "-2147483647" && StIntStXfm(text, &n) && n == -2147483647,
           "QlSelfTests-- string conversions");
  MA_CHECK(true, !StIntStXfm(StCStrXfm("12x"), &n),
           "QlSelfTests-- string conversions");
  if (firstPass) ThreadSelfTest();
}

}  // namespace

bool ForumDbOpen() {
  ++ForumDbOpenCount;
  // The consistency check runs on the first pass only.
  ForumDbOpenOptions options;
  options.forceFix = ForceFix;
  options.check = FirstTime && !ForumNoCheck;
  options.firstTime = FirstTime;
  ChBgSaveSetEnabled(true);
  // The file layer reads and writes at absolute positions (pread, pwrite),
  // so a background save's writer need not hold the save lock around each
  // of its writes and syncs: requests go on while it syncs.
  FiAtomicIoFlag = true;
  wfQuilSettings = ForumRootQuilSettingsLoad();
  // A missing database is rebuilt from the newest backup and its
  // roll-forward log when both are there; one that does not open (after the
  // store has written back the journal of an interrupted save) likewise.
  if (!FiExists(kQlDbFile)) (void)QlDbRecover(kQlDbFile, 0);
  // The open replays the roll-forward log (ForumDbOpenRollForward).
  wfForumRoot = ForumDbOpenI(kQlDbFile, &options);
  if (!wfForumRoot) {
    // The refusal names why quil.db would not open: taken before the
    // recovery's own opens replace the store's account of the problem.
    std::string refusal = QlDbRefusal(kQlDbFile, options.status);
    if (QlDbRecover(kQlDbFile, options.status)) wfForumRoot = ForumDbOpenI(kQlDbFile, &options);
    if (!wfForumRoot) MaHalt(refusal);
  }
  const std::string& note = ChFiOpenNote(ChGetChFi(ForumRootPart(wfForumRoot)));
  if (!note.empty()) Wf_log_write("* DB %s", note.c_str());
  ForceFix = options.forceFix;
  QlSelfTests(FirstTime);
  if (FirstTime && !quitFlag) {
    ForumRoot root = wfForumRoot;
    if (ZapMem) {
      FrmBkSysopSetMemUserSpecified(root, 1);
      FrmBkSysopSetMemSmallObjHeap(root, int32_t(AppMinSmallObjHeap));
      FrmBkSysopSetMemChPages(root, int32_t(AppMinChPages));
    }
    AppHeapIsUserSpecified = ForumSysopMemUserSpecified(root) != 0;
    AppSmallObjHeap = uint32_t(ForumSysopMemSmallObjHeap(root));
    AppChPages = uint32_t(ForumSysopMemChPages(root));
    HtSetMemSize(AppChPages * kChPageSize + AppSmallObjHeap);
    FirstTime = false;
    restartFlag = true;
    quitFlag = true;
    if (ZapMem && ExitAfterZapMem) restartFlag = false;
    ZapMem = false;
  }
  // The serving pass: the background-save self-test when it is asked for.
  if (!restartFlag && !quitFlag && FiExists("bgsavetest")) QlBgSaveTestStart(wfForumRoot);
  return wfForumRoot != nullptr;
}

void ForumDbClose() {
  QlBgSaveTestStop();
  ForumRoot root = wfForumRoot;
  wfForumRoot = nullptr;
  ForumDbCloseI(root);
}


}  // namespace quil
