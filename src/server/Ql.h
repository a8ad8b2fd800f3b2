// Ql: the server process -- command line, start-up checks, Unix preparation
// (lock file, daemon mode, signals, syslog), the package order, the restart
// loop of main, the run phase and the event loop's control flow.
//
// Life of the process:
//   parse and check (errors: standard error, exit 1)
//   -> initialise the packages (AuthorInit)
//   -> memory probe pass: open the database, read the memory settings, close,
//      terminate the packages (FirstTime cleared, restartFlag set)
//   -> initialise the packages with the probed sizes
//   -> serve (QlRunQuil) until quitFlag
//   -> restart (restartFlag: back to AuthorInit, same process) or terminate
//      (lock file removed, exit status 0).
// A halt at any point ends in QlHaltQuil and MaExit (lock file removed,
// abort).  SIGHUP and SIGTERM end the run in order (status 0); SIGINT ends at
// once with status 1 after removing the lock file.
//
// The error report state (handler installed, quiet, error text, report
// depth) lives in the host package (Wf in Ht.h) so that every layer can
// report errors; the server configures its destinations from the options.
//
// Thread use: start-up and shutdown run on the main thread before idle
// threads exist or after they have ended; the event loop runs under the run
// lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Ch.h"  // kChPageSize
#include "St.h"

namespace quil {

// ---------------------------------------------------------------------------
// Process flags.

// The run loop must end as soon as it can (signal handlers, the memory probe
// pass, a change of the memory settings, the idle routines of other layers).
extern std::atomic<bool> quitFlag;
// Set with quitFlag by SIGHUP and SIGTERM; unlike quitFlag it is not cleared
// for a restart, so a hang-up during start-up still ends the process.
extern std::atomic<bool> QlHangupReceived;
// After the run loop ends, restart the packages in this process.
extern bool restartFlag;
// True until the memory probe pass has run.
extern bool FirstTime;
// -resetmem: store the minimum memory settings, then exit.
extern bool ZapMem;
extern bool ExitAfterZapMem;
// -f: the next database open repairs whatever its check finds.
extern bool ForceFix;
// -noCheck: read by the opening of the forum root.
extern bool ForumNoCheck;
// -rollAny: the replication roll-forward goes on past errors.
extern bool BkAllowErrors;

// ---------------------------------------------------------------------------
// Memory configuration.  The budget (HtSetMemSize) is always
// AppChPages * 4096 + AppSmallObjHeap.

extern uint32_t AppChPages;          // chunk cache pages
extern uint32_t AppSmallObjHeap;     // small-object heap bytes
extern uint32_t AppMinChPages;
extern uint32_t AppMinSmallObjHeap;
extern bool AppHeapIsUserSpecified;  // the sysop fixed both sizes

// ---------------------------------------------------------------------------
// The server option record: the parsed command line.

constexpr char kQlVersion[] = "3.1";
constexpr char kQlReleaseText[] = "Quillmoot(r) Unix-v3.1 built Jul  7 1999";
constexpr char kQlSiteAddress[] = "http://www.quillmoot.org/";
constexpr int32_t kQlDefaultClockSkew = 600;
constexpr char kQlLockFile[] = "quil.lock";
constexpr char kQlClientDir[] = "Client";

struct QlOptions {
  int32_t clockSkew = kQlDefaultClockSkew;  // -clock n; -1: no limit
  char currentDate[32] = {};  // "%a, %e-%m-%y 00:00:00 GMT", UTC, at start
  bool daemon = false;        // -daemon
  bool echo = false;          // -echo
  bool server = false;        // -server
  bool help = false;          // -h, -help or no argument
  bool noLock = false;        // -nolock
  bool notTop = false;        // -nottop
  bool syslog = false;        // -log
  bool trace = false;         // -trace
  bool traceSession = false;  // -traceSession
  bool pipeListen = false;    // -server or -echo: open the bridge socket
  bool stdio = false;         // -stdio
  bool clientLog = false;     // -client
  bool hasAgent = false;      // -agent given
  std::string agent;          // its value ("Mozilla/" without one)
  std::string cgiName = "/cgi-bin/Quil";  // -cgi xxx
  std::string programName;                // argv[0]
  int32_t pipeListenFd = -1;              // the bridge listen socket
  int32_t waitSeconds = 120;              // -wait n
  bool running = false;                   // the run phase has begun
  int32_t bridgeClientOwner = 0;  // uid owning the bridge client's socket
  int64_t openFiles = -1;         // RLIMIT_NOFILE at start: current...
  int64_t maxOpenFiles = -1;      // ...and maximum
};
extern QlOptions Ql;

// ---------------------------------------------------------------------------
// Start-up and shutdown.

// main's body: returns 0 on every orderly end.
int QlMain(int argc, char** argv);
// Parses the command line into Ql and the process flags; errors (code 522)
// end the process with status 1.
void QlReadFlags(int argc, char** argv);
// The usage text printed by -help.
std::string QlUsageText();
// QlReadFlags, then the start-up file checks: the AU000000 probe, the
// database file's readability, the two log files, the open-file limits.
void UxInitQuil(int argc, char** argv);
// First pass only: help, the version line, UxInitSystem, the quit handler
// for SIGHUP and SIGTERM, the bridge socket.
void QlInitQuil(int argc, char** argv);
// Unix preparation: the client directory, signal routing, umask 0, and
// unless notTop the daemon fork and the lock file; syslog when syslogIdent
// is not null.  Errors have code 590.
void UxInitSystem(bool notTop, bool daemon, const char* directory,
                  const char* lockFile, bool noLock, const char* clientDir,
                  const char* syslogIdent);
// Restores default SIGTERM and SIGHUP handling, removes the lock file if
// this process created it, closes and removes the bridge socket.  Safe in a
// signal handler.
void UxTermSystem();
// Remembers the bridge listen socket and its file name for UxTermSystem.
void UxNoteBridgeSocket(int fd, const char* name);
// SIGHUP and SIGTERM after start-up: sets quitFlag and wakes the loop.
void QlHangupSignal(int signal);
// The halt and assertion handler: logs the message and calls MaExit; a
// second entry prints "MaExit() also calls MaHalt" and aborts.
void QlHaltQuil(const char* message);
// Runs the selected mode until it ends.
void QlRunQuil();
// The interactive session of -stdio: prints the banner and the command
// list, then serves commands from standard input until "quit", a blank
// line or the end of input.
void QlStdioSession();
// Serves one command line the session itself does not know (request and
// network commands); false when the line is not a command.
using QlStdioHandler = bool (*)(const std::string& line);
void QlSetStdioHandler(QlStdioHandler handler);
// The request and network commands of the interactive session: "get",
// "post", keyword lines, "ip", "listen", "connect", "close".  Requests go
// through the request processor (CgiProcess); without one they print its
// 503 answer.
bool QlStdioNetCommand(const std::string& line);
// Closes what the session's network commands opened.
void QlStdioNetEnd();
void QlTermQuil();

// ---------------------------------------------------------------------------
// The package framework.

// Initialises every package in the order of the package table; false when
// the heap or the chunk store cannot start.  main passes (true, false, true,
// false).
bool AuthorInit(bool debug, bool trace, bool heapStats, bool chunkStats);
// Terminates every package in the termination order of the table.
void AuthorTerm();
// Sets every package's debug flag (selector 3).
void AuthorDebug(bool debug);
// Splits the memory budget between the small-object heap and the chunk
// cache; raises AppChPages and AppSmallObjHeap to their minimums first.
bool AuthorGetMemConfig(uint32_t* heapBytes, uint32_t* chunkPages);
// True while AuthorInit found a file "quiltest": heap and list count
// assertions are wanted.
extern bool AuthorCountChecks;

// ---------------------------------------------------------------------------
// The database and the request processor.  main's loop calls these; the
// forum store and the request processor fill them in as they arrive.

// Opens quil.db as the forum root; on the first pass also reads the memory
// settings and asks for the restart that applies them (the memory probe).
// An existing quil.db that cannot be opened is recovered from the backups
// (QlDbRecover) or the server halts with QlDbRefusal's message; it is never
// replaced by an empty conference.  What the store did about an interrupted
// save goes to the event log as "* DB " and its note.
bool ForumDbOpen();
// The recovery of an existing database file that cannot be opened
// (status: why), from the backup and roll-forward files; true when path
// can be opened again: the backup "quildb.1" is copied into place and
// "quilroll.1" replayed into it (ForumDbRollForward).
bool QlDbRecover(const std::string& path, uint16_t status);
// The background-save self-test (QlBgSaveTest.cc): started on the serving
// pass when the file "bgsavetest" exists, stopped before the root closes.
struct ForumRootRec;
void QlBgSaveTestStart(ForumRootRec* root);
void QlBgSaveTestStop();
// The message the server halts with when path cannot be opened for status
// and cannot be recovered: the file, the reason, what the operator can do.
std::string QlDbRefusal(const std::string& path, uint16_t status);
void ForumDbClose();
// Start (in server mode) and stop the HTTP service, with its settings from
// the database and quil.set.  QlMain registers them with CgiServiceAdd, so
// that ForumCgiInit starts them once request processing is ready.
void QlNetStart();
void QlNetStop();
// The HTTP settings from the sysop settings record and quil.set.
struct WebSettings;
void QlWebSettings(WebSettings* settings);
// Number of ForumDbOpen calls in this process (every start opens twice).
extern int32_t ForumDbOpenCount;

// ---------------------------------------------------------------------------
// The event loop.

// Runs passes while quitFlag is clear: flush pending output, wait for a
// descriptor or the next due callback (at most maxWaitMs when that is 0 or
// more), serve sessions, run due callbacks.  With once it returns after one
// pass; it also returns when a wait limited by maxWaitMs found nothing.
// Reported errors (2400) are written and counted: 300 in a row end the
// process.  Other exceptions end the loop while quitting and pass on
// otherwise.
void QlServerLoop(int listenFd, int32_t maxWaitMs, bool once);
// One wait over the descriptor table plus listenFd; true if anything was
// ready.  A failed wait is error 590 "select() of %d descriptors failed".
bool QlServerPoll(int listenFd, int32_t timeoutMs);
// Registers quitFlag and the loop's pass (HtIdle) with the host package.
void QlInstallLoop();
// Reported errors in a row in QlServerLoop.
extern int32_t QlErrorsInRow;
constexpr int32_t kQlMaxErrorsInRow = 300;

}  // namespace quil
