// main's body: start-up, the restart loop and the final termination.
#include <errno.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Cgi.h"
#include "FrmBk.h"
#include "CgiEvent.h"
#include "Ql.h"
#include "Tcp.h"

namespace quil {

std::atomic<bool> quitFlag{false};
bool restartFlag = false;
bool FirstTime = true;
bool ZapMem = false;
bool ExitAfterZapMem = false;
bool ForceFix = false;
bool ForumNoCheck = false;
bool BkAllowErrors = false;
std::atomic<bool> QlHangupReceived{false};

namespace {
// The periodic backup of the backupPeriod/backupTime settings runs as one of
// the request processor's services, so that it starts and stops with them.
void QlBackupStart() { FrmBkBackupTaskStart(wfForumRoot); }
void QlBackupStop() { FrmBkBackupTaskStop(); }
// The sysop's restart: the run loop ends and the packages start again.
void QlRestartRequest() {
  restartFlag = true;
  HtRequestQuit();
}

// The sysop stored new memory settings: the sizes and the budget are taken
// from them, and the packages start again with them.
void QlMemorySettingsChanged() {
  if (ForumRoot root = wfForumRoot) {
    AppHeapIsUserSpecified = ForumSysopMemUserSpecified(root) != 0;
    AppSmallObjHeap = uint32_t(ForumSysopMemSmallObjHeap(root));
    AppChPages = uint32_t(ForumSysopMemChPages(root));
    HtSetMemSize(AppChPages * kChPageSize + AppSmallObjHeap);
  }
  QlRestartRequest();
}
}  // namespace

int QlMain(int argc, char** argv) {
  // Without TZ the C library reads /etc/localtime again at every local-time
  // conversion (dozens per page); naming the zone file makes it read once.
  // A change of the machine's zone is then seen at the next start.
  setenv("TZ", ":/etc/localtime", 0);
  tzset();
  ExInitRtns(kPkgInit, kPkgVersion);
  UxInitQuil(argc, argv);
  MaSetHaltFn(QlHaltQuil);
  MaSetAssertFn(QlHaltQuil);
  MaSetTermSystemFn(UxTermSystem);
  WfSetTermFn(UxTermSystem);
  TcpHtInit();  // the name look-up processes, before any thread exists
  if (HtInitRtns(kPkgInit, kPkgVersion) != 0)
    MaHalt("could not initialize Author packages");
  QlInstallLoop();
  CgiServiceAdd("backup", QlBackupStart, QlBackupStop);
  CgiServiceAdd("http", QlNetStart, QlNetStop);
  CgiRestartAdd(QlRestartRequest);
  CgiMemorySettingsAdd(QlMemorySettingsChanged);
  HtSetMemSize(AppChPages * kChPageSize + AppSmallObjHeap);

  for (bool firstPass = true;; firstPass = false) {
    if (!AuthorInit(true, false, true, false))
      MaHalt("could not initialize Author packages");
    if (firstPass) QlInitQuil(argc, argv);
    if (!ForumDbOpen()) MaHalt("could not initialize forum database");
    if (restartFlag) {  // the memory probe pass
      ForumDbClose();
      AuthorTerm();
      quitFlag = QlHangupReceived.load();  // a hang-up is never forgotten
      restartFlag = false;
      continue;
    }
    St message;
    if (!ForumCgiInit(&message)) MaHalt(message.Str());
    QlRunQuil();
    ForumCgiTerm();
    ForumDbClose();
    AuthorTerm();
    if (!restartFlag || QlHangupReceived) break;
    quitFlag = false;
    restartFlag = false;
  }

  HtInitRtns(kPkgTerm, 0);
  QlTermQuil();
  // Ends the look-up processes; unless in -stdio mode also by SIGTERM to
  // their process group.
  TcpHtTerm(!Ql.stdio);
  UxTermSystem();
  ExInitRtns(kPkgTerm, 0);
  return 0;
}

void QlInitQuil(int argc, char** argv) {
  if (Ql.help) {
    std::string usage = QlUsageText();
    fwrite(usage.data(), 1, usage.size(), stdout);
    fflush(stdout);
    exit(0);
  }
  Wf_log_write("version %s", kQlReleaseText);
  UxInitSystem(Ql.notTop, Ql.daemon, "", kQlLockFile, Ql.noLock, kQlClientDir,
               Ql.syslog && argc > 0 ? argv[0] : nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = QlHangupSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGHUP, &sa, nullptr) != 0)
    Wf_err_exit(kWfCodeSystem, errno,
                "could not establish signal handler for SIGHUP");
  if (sigaction(SIGTERM, &sa, nullptr) != 0)
    Wf_err_exit(kWfCodeSystem, errno,
                "could not establish signal handler for SIGTERM");
  // With -server or -echo the CGI bridge socket quil.socket.
  if (Ql.pipeListen) {
    CgiBridgeSettings bridge;
    bridge.clockSkew = Ql.clockSkew;
    bridge.echo = Ql.echo;
    CgiBridgeConfigure(bridge);
    Ql.pipeListenFd = CgiBridgeOpen(kCgiBridgeSocket);
    UxNoteBridgeSocket(Ql.pipeListenFd, kCgiBridgeSocket);
    WfConfigure().requestNote = CgiBridgeRequestNote;
  }
}

}  // namespace quil
