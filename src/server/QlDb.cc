// Opening and closing the conference database around each pass of main's
// loop, the memory probe, and the start and end of request processing.
//
// The forum store opens quil.db and its root; this file passes it the
// process flags (-f, -noCheck, the first pass) and applies the memory
// settings stored in the database.
#include "Ch.h"
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

// True when the database file at path opens with its master part (an older
// format counts: the open converts it).
bool QlDbOpens(const char* path) {
  ChFi file = nullptr;
  ChPart part = 0;
  uint16_t status = ChFiOpen(path, kChFiReadWrite, &file);
  if (status == 0) status = ChFiPartOpen(file, &part);
  if (file) (void)ChFiClose(file);
  return status == 0 || status == 2200;
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
  wfQuilSettings = ForumRootQuilSettingsLoad();
  // A database that is missing or does not open is rebuilt from the newest
  // backup and its roll-forward log when both are there.
  bool missing = !FiExists(kQlDbFile);
  if ((missing && FiExists(FrmBkDbName("1"))) || (!missing && !QlDbOpens(kQlDbFile))) {
    ChFi rebuilt = nullptr;
    if (ForumDbRollForward(kQlDbFile, &rebuilt))
      Wf_log_write("%s rebuilt from %s1 and %s1", kQlDbFile, kFrmBkDbPrefix, kFrmBkRollPrefix);
  }
  // The open replays the roll-forward log (ForumDbOpenRollForward).
  wfForumRoot = ForumDbOpenI(kQlDbFile, &options);
  ForceFix = options.forceFix;
  QlSelfTests(FirstTime);
  if (FirstTime && !quitFlag) {
    ForumRoot root = wfForumRoot;
    if (ZapMem) {
      ForumSysopSetMemUserSpecified(root, 1);
      ForumSysopSetMemSmallObjHeap(root, int32_t(AppMinSmallObjHeap));
      ForumSysopSetMemChPages(root, int32_t(AppMinChPages));
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
  return wfForumRoot != nullptr;
}

void ForumDbClose() {
  ForumRoot root = wfForumRoot;
  wfForumRoot = nullptr;
  ForumDbCloseI(root);
}


}  // namespace quil
