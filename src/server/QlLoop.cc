// The run phase and the event loop's control flow: passes, time-outs,
// reported errors and tracing.
#include <errno.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "CgiEvent.h"
#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Ql.h"
#include "Qu.h"
#include "Thread.h"

namespace quil {

int32_t QlErrorsInRow = 0;

namespace {

// Milliseconds per tick of QuRamDelay.
constexpr int64_t kQlTickMs = 1;

void Trace(const std::string& line) { HtWriteAll(2, line + "\n"); }

// The echo and stdio modes run inside one frame that handles reported
// errors: 2400 halts with the error text, 2401 (quitting) ends quietly, any
// other code halts with "Exception NNNN".
template <class Body>
void QlRunModeFrame(Body&& body) {
  bool normal = ExTry([&] {
    WfHandlerScope handler;
    body();
  });
  if (normal || ExLastError == kExQuitting) return;
  if (ExLastError == kExReported) MaHalt(Wf.errorText);
  char text[32];
  snprintf(text, sizeof text, "Exception %04d\n", int(ExLastError));
  MaHalt(text);
}

}  // namespace

bool QlServerPoll(int listenFd, int32_t timeoutMs) {
  // One bridge request at a time: while one is served the listen socket
  // stays out of the wait (its waiting clients stay queued).
  if (CgiBridgeBusy()) listenFd = -1;
  HtPollPass pass(listenFd);
  if (HtTrace)
    Trace("select: wait " + std::to_string(timeoutMs) + " ms on " +
          pass.Describe(false));
  int n = pass.Wait(timeoutMs);
  if (n < 0)
    Wf_err_exit(kWfCodeSystem, errno, "select() of %d descriptors failed",
                pass.Count());
  if (HtTrace) Trace(n == 0 ? "select: none ready" : "select: ready " + pass.Describe(true));
  if (n == 0) return false;
  if (listenFd >= 0 && (pass.Ready(listenFd) & kHtRead) && !CgiBridgeBusy()) {
    // A CGI bridge request waits on quil.socket: accept it (checking the
    // client's socket file) and serve it.
    CgiBridgeAccept(listenFd);
    Ql.bridgeClientOwner = CgiBridgeClientOwner();
  }
  pass.Dispatch();
  return true;
}

void QlServerLoop(int listenFd, int32_t maxWaitMs, bool once) {
  while (!quitFlag) {
    bool leave = false;
    bool normal = ExTry([&] {
      WfHandlerScope handler;
      HtLoopHooksRun(HtLoopStage::kBeforeWait);
      int32_t delay = QuRamDelay();
      if (delay != 0 || once) {
        int64_t timeout;
        if (delay < 0) {
          timeout = 0;
        } else if (delay == kQuNoDelay) {
          timeout = -1;
        } else {
          timeout = int64_t(delay) * kQlTickMs;
          if (timeout > INT32_MAX) {
            HtLoopHooksRun(HtLoopStage::kAfterWait);
            QuProcess(100, 0);
            Wf_err_exit(kWfCodeFatal, -1, "QlServerLoop: timeout %d out of range",
                        int(delay));
          }
        }
        if (maxWaitMs >= 0 && (timeout < 0 || timeout > maxWaitMs))
          timeout = maxWaitMs;
        if (!QlServerPoll(listenFd, int32_t(timeout)) && timeout == maxWaitMs) {
          leave = true;
          return;
        }
      }
      HtLoopHooksRun(HtLoopStage::kAfterWait);
      if (once) {
        leave = true;
        return;
      }
      QuProcess(100, 0);
    });
    if (normal) {
      QlErrorsInRow = 0;
      if (leave) return;
      continue;
    }
    if (ExLastError == kExReported) {
      if (Wf_err_absorb() && ++QlErrorsInRow >= kQlMaxErrorsInRow) {
        Wf.handlerInstalled = false;  // nothing may absorb this one
        Wf_err_exit(kWfCodeFatal, -1, "%d repeated errors.  Exit from program.",
                    int(kQlMaxErrorsInRow));
      }
      continue;
    }
    if (quitFlag) return;
    ExRaise(ExLastError);
  }
}

namespace {

// HtIdle's pass: the bridge socket is served only by passes that may wait,
// and never in -stdio mode.
void QlIdlePass(bool wait) {
  QlServerLoop(wait && !Ql.stdio ? Ql.pipeListenFd : -1, -1, true);
}

}  // namespace

void QlInstallLoop() {
  HtSetQuitFlag(&quitFlag);
  HtSetIdleFn(QlIdlePass);
}

void QlRunQuil() {
  Ql.running = true;
  WfConfigure().running = true;
  if (Ql.echo) {
    // The echo loop: each CGI bridge request on quil.socket is answered
    // with a plain-text copy of itself (the bridge was configured for it).
    QlRunModeFrame([] { QlServerLoop(Ql.pipeListenFd, -1, false); });
  } else if (Ql.server) {
    ForumThreadsInit();
    ForumThreadsIdle();
    ForumThreadsTerm();
  } else if (Ql.stdio) {
    QlSetStdioHandler(QlStdioNetCommand);
    QlRunModeFrame(QlStdioSession);
    QlStdioNetEnd();
  }
}

void QlTermQuil() {}

}  // namespace quil
