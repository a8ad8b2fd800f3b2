// Opening and closing the conference database around each pass of main's
// loop, the memory probe, and the start and end of request processing.
//
// The forum store and the request processor come later.  Until then the
// open stands for a database that holds the factory memory settings (and
// whatever -resetmem stored in it during this process), so that the probe
// pass, the restart and -resetmem already run exactly as they will.
#include "Ht.h"
#include "Ma.h"
#include "Ql.h"
#include "St.h"
#include "Thread.h"

namespace quil {

int32_t ForumDbOpenCount = 0;

namespace {

// The sysop memory settings of the database.
struct MemSettings {
  bool userSpecified = false;
  uint32_t smallObjHeap = 460000;
  uint32_t chPages = 50;
};
MemSettings storedSettings;

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
  // The forum store opens quil.db and its root here, with its consistency
  // check on the first pass only (ForceFix, ForumNoCheck), records the
  // hosting mode of a new database on the first pass and starts the sysop's
  // request log on later ones.
  QlSelfTests(FirstTime);
  if (FirstTime && !quitFlag) {
    if (ZapMem) {
      storedSettings.userSpecified = true;
      storedSettings.smallObjHeap = AppMinSmallObjHeap;
      storedSettings.chPages = AppMinChPages;
    }
    AppHeapIsUserSpecified = storedSettings.userSpecified;
    AppSmallObjHeap = storedSettings.smallObjHeap;
    AppChPages = storedSettings.chPages;
    HtSetMemSize(AppChPages * kChPageSize + AppSmallObjHeap);
    FirstTime = false;
    restartFlag = true;
    quitFlag = true;
    if (ZapMem && ExitAfterZapMem) restartFlag = false;
    ZapMem = false;
  }
  return true;
}

void ForumDbClose() {
  // The forum store closes the root and its file here.
}

bool ForumCgiInit(St*) {
  // The request processor loads the templates and starts the network
  // services (NNTP, HTTP, LDAP, IMAP, POP3, SMTP and e-mail, chat, database
  // access, FastCGI, archive and backup tasks) here.
  return true;
}

void ForumCgiTerm() {}

}  // namespace quil
