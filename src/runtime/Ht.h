// Ht: the host package -- time, the memory budget, the quit request, the
// event loop's descriptor table and the process-wide error and event reports.
//
// The runtime sits below every other layer, so what the layers above must
// share lives here and the upper layers plug themselves in at start-up:
//   - the server registers its quit flag (HtSetQuitFlag) and the routine that
//     runs one pass of its event loop (HtSetIdleFn);
//   - the network layer registers its descriptors with their handlers
//     (HtFdWatch) and the hooks run before each wait and after each wait
//     (HtLoopHookAdd: SessPollWrite and SessPoll);
//   - the server configures where reported errors and events go (WfConfig).
//
// Time is counted in ticks of one millisecond from a base fixed when the
// package is first used (SysTime); a monotonic clock, so that changing the
// wall clock never fires or delays timers.
//
// Thread use: everything here runs under the run lock except SysTime,
// HtQuitting, HtWake and HtRequestQuit, which any thread (and HtWake and
// HtRequestQuit also a signal handler) may call.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quil {

// ---------------------------------------------------------------------------
// Package.

// Package protocol.  Initialising ignores SIGFPE, seeds the random generator
// with the current time, fixes the time base, opens the wake pipe and sets
// the default budget of 3145728 bytes.  The package stays initialised across
// in-process restarts.
uint16_t HtInitRtns(int selector, int32_t value);

constexpr uint32_t kHtDefaultMemSize = 3145728;

// Stores bytes as both the total and the free memory budget.
void HtSetMemSize(uint32_t bytes);
uint32_t HtGetMemFree();

// Milliseconds since the time base.  Never goes backwards.
int64_t SysTime();
// Replaces the clock behind SysTime (null restores it).  For tests that
// need simulated time.
void HtSetTimeFn(int64_t (*fn)());
// Milliseconds to ticks (a tick is one millisecond).
inline int64_t SysTimeMSecsXfm(int64_t ms) { return ms; }

// Raises the soft limit on open files to the hard limit.  Returns the new
// soft limit, or -1 when the limits cannot be read or set.
int64_t HtRaiseFileLimit();

// Writes all of text to fd, going on after short writes and interruptions;
// gives up silently on an error (for logs and traces).  Safe in a signal
// handler.
void HtWriteAll(int fd, const char* text, size_t size);
inline void HtWriteAll(int fd, const std::string& text) {
  HtWriteAll(fd, text.data(), text.size());
}

// Set by -trace: the event loop prints its interest and ready sets.
extern bool HtTrace;

// ---------------------------------------------------------------------------
// The quit request.  The flag itself belongs to the server (quitFlag); lower
// layers test and set it through these.

// Registers the flag HtQuitting tests.  Null unregisters.
void HtSetQuitFlag(std::atomic<bool>* flag);
// True when a quit flag is registered and set.
bool HtQuitting();
// Sets the registered flag and wakes the event loop.  Safe in a signal
// handler.
void HtRequestQuit();
// Makes a blocked event-loop wait return: writes one byte to the wake pipe,
// whose read end is part of every wait.  Safe in a signal handler and from
// threads that do not hold the run lock.
void HtWake();

// ---------------------------------------------------------------------------
// Idle passes.

// Routine that runs one pass of the event loop; wait says whether the pass
// may also serve the bridge listen socket.
using HtIdleFn = void (*)(bool wait);
void HtSetIdleFn(HtIdleFn fn);
// Runs one pass through the registered routine (nothing when none is
// registered).  Always returns true.
bool HtIdle(bool wait);

// ---------------------------------------------------------------------------
// Descriptor table.  Each watched descriptor has an interest (read, write or
// both) and a handler called with the descriptor and what was found ready.
// A handler must not block: when it gives up the run lock another thread may
// have drained the descriptor before it runs, so a ready mark can be stale.

enum : unsigned {
  kHtRead = 1,
  kHtWrite = 2,
};

using HtFdHandler = std::function<void(int fd, unsigned ready)>;

// Adds fd to the table, or replaces its interest and handler.
void HtFdWatch(int fd, unsigned interest, HtFdHandler handler);
// Changes the interest of a watched descriptor (0 keeps it in the table but
// out of the waits).  Does nothing for a descriptor that is not watched.
void HtFdSetInterest(int fd, unsigned interest);
// Removes fd; a pass that found it ready no longer calls its handler.
void HtFdUnwatch(int fd);
bool HtFdIsWatched(int fd);

// Hooks of each loop pass: kHtBeforeWait runs before the wait (pending
// output is flushed: SessPollWrite), kHtAfterWait after it (sessions are
// served: SessPoll).  Hooks run in the order they were added.
enum class HtLoopStage { kBeforeWait, kAfterWait };
using HtLoopHook = void (*)();
void HtLoopHookAdd(HtLoopStage stage, HtLoopHook hook);
void HtLoopHookRemove(HtLoopStage stage, HtLoopHook hook);
void HtLoopHooksRun(HtLoopStage stage);

// One wait over the table.  Build takes the interest of every watched
// descriptor, the wake pipe and an optional extra descriptor for reading
// (the caller handles that one itself); Wait blocks at most timeoutMs
// (negative: no limit); Dispatch drains the wake pipe and calls the handler
// of every ready descriptor that is still watched.
class HtPollPass {
 public:
  explicit HtPollPass(int extraReadFd = -1);
  // Number of ready descriptors, 0 on time-out or when a signal interrupted
  // the wait, -1 with errno set on failure.
  int Wait(int timeoutMs);
  // What was found ready on fd (kHtRead | kHtWrite); errors and hang-ups
  // count as both so that the handler sees them.
  unsigned Ready(int fd) const;
  void Dispatch() const;
  // Number of descriptors in the wait.
  int Count() const { return int(fds_.size()); }
  // "read 3 5 write 7": the interest (ready = false) or the ready sets.
  std::string Describe(bool ready) const;

 private:
  std::vector<pollfd> fds_;
  int extraFd_;
};

// ---------------------------------------------------------------------------
// Error and event reports.
//
// Wf_err_exit formats an error text and unwinds to the nearest frame that
// handles reported errors (exception 2400); that handler writes the text
// (unless the report is quiet) and ends the report with Wf_err_done.  Codes:
// 522 command-line errors, 590 failed system calls (with errno), 599 fatal
// internal conditions, 600 errors a client caused (quiet).
//
// Where texts go depends on the configuration the server sets, the first
// matching row deciding:
//
//             errors (Wf_err_write)   events (Wf_log_write)
//   -log      syslog LOG_ERR          syslog LOG_NOTICE
//   -client   Client.log              (as below)
//   daemon    quil.log                quil.log, after the ctime() text
//   else      (standard error only)   standard error
//
// Errors also go to standard error: always before the run phase ("Error
// while initializing the server:"), during it only without -log and daemon
// mode ("Error reported by the server:").

constexpr int32_t kWfCodeUsage = 522;
constexpr int32_t kWfCodeSystem = 590;
constexpr int32_t kWfCodeFatal = 599;
constexpr int32_t kWfCodeClient = 600;
constexpr size_t kWfErrorTextSize = 2000;

// What a bridge request that is being served adds to an error in quil.log.
struct WfRequestNote {
  std::string host, path, post, data;
};

struct WfConfig {
  std::string programName = "quil";
  bool syslog = false;      // -log
  bool clientLog = false;   // -client
  bool daemon = false;      // -daemon
  bool running = false;     // the run phase has begun
  // True, with the note filled in, while a bridge request is being served.
  bool (*requestNote)(WfRequestNote* note) = nullptr;
};
WfConfig& WfConfigure();

// The report state.  Guarded by the run lock.
struct WfState {
  bool handlerInstalled = false;  // a frame that handles 2400 is open
  bool quiet = false;             // the last report had code 600
  char errorText[kWfErrorTextSize] = {};
  int32_t lastSystemError = 0;
  int32_t reportDepth = 0;
};
extern WfState Wf;

// Marks a frame that handles reported errors for its lifetime and restores
// the previous mark on every path.
class WfHandlerScope {
 public:
  WfHandlerScope() : previous_(Wf.handlerInstalled) {
    Wf.handlerInstalled = true;
  }
  ~WfHandlerScope() { Wf.handlerInstalled = previous_; }
  WfHandlerScope(const WfHandlerScope&) = delete;
  WfHandlerScope& operator=(const WfHandlerScope&) = delete;

 private:
  bool previous_;
};

// Reports an error.  In order: a report already in progress prints "quil-go
// error %d system error %d while reporting error:" with the stored text,
// removes the lock file and aborts; code 600 marks the report quiet; while
// quitting with a handler installed it raises 2401; otherwise it formats the
// text (UxLogMessage, level 3) and raises 2400, or, with no handler
// installed, writes the text and "Exiting because no error handler is
// installed for this error" and exits with status 1.  systemError -1 means
// none.
[[noreturn]] void Wf_err_exit(int32_t code, int32_t systemError,
                              const char* format, ...)
    __attribute__((format(printf, 3, 4)));
[[noreturn]] void Wf_err_vexit(int32_t code, int32_t systemError,
                               const char* format, va_list args);
// Ends a report caught by a handler.
void Wf_err_done();
// The handler's usual work for 2400: write the text unless quiet, end the
// report.  Returns false for a quiet report.
bool Wf_err_absorb();
// Writes an error text: shorter than 970 characters it gets the ctime()
// prefix (newline replaced by a blank) and a final newline.
void Wf_err_write(const char* text);
// Writes " " + text + "\n" to the event log.
void Wf_log_write(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats "<program> <level word>: <message>[ [<strerror>]]\n" into text
// (at most size bytes, always terminated).  Levels: 3 error, 4 warning, 5
// and 6 info.  systemError -1 leaves out the bracket.
void UxLogMessage(char* text, size_t size, const char* programName, int level,
                  int32_t systemError, const char* format, va_list args);

// Run by Wf_err_exit before it exits or aborts (the server removes its lock
// file and socket).
void WfSetTermFn(void (*fn)());

}  // namespace quil
