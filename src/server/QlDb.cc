// Opening and closing the conference database around each pass of main's
// loop, the memory probe, and the start and end of request processing.
//
// The forum store opens quil.db and its root; this file passes it the
// process flags (-f, -noCheck, the first pass) and applies the memory
// settings stored in the database.
#include "Ch.h"
#include "Forum.h"
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
