// Thread: thread and lock wrappers, and the run lock under which all server
// code runs.
//
// The server runs its conference logic on several threads but only one at a
// time: the run lock (ForumRunLock) is held by whichever thread executes
// server code.  Every thread is an idle thread that polls the network in
// turn (ForumThreadsIdle); a request that must wait (for a socket, a timer,
// an outside program) saves the per-request state, gives up the run lock and
// sleeps on ForumWait, and when every idle thread is waiting a new one is
// started so that one thread always polls.
//
// The per-request state is a registry of slots (ThreadStateSlotAdd): each
// layer that keeps request-global variables (the forum links, the request
// record, CgiActive, FcgiRequest, HttpRequest, UserHasCookie) adds one slot
// that saves and clears them, checks and restores them.  The thread code
// itself saves the exception frames and QuBgActive.
//
// With a file "nothreads" in the working directory when the package is
// initialised, threads are disabled: the run lock does not exist, waits poll
// the network in-line and yields do nothing.
//
// Invariants (checked while ThreadDebugFlag is set):
//   - an idle pass starts with no exception frame open and neither a request
//     nor a background pass active;
//   - a waiting thread gets back exactly the state it saved.
//
// Thread use: the ForumThreads* operations are called with the run lock
// held (ForumThreadsIdle and ForumThreadsTerm without it); the wrappers from
// any thread.
#pragma once

#include <pthread.h>

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "St.h"

namespace quil {

extern bool ThreadDebugFlag;

// Package protocol.  Initialising resets the counters, starts the CPU
// accounting and decides EnableThreads.
uint16_t ThreadInitRtns(int selector, int32_t value);

// False when a file "nothreads" existed at initialisation.
extern bool EnableThreads;
bool ThreadsAvail();

// Starts routine on a detached thread; when creation fails, raises the
// open-file limit to its maximum and tries once more.  Returns whether a
// thread was started.
bool ThreadStart(std::function<void()> routine);
// With threads enabled, sleeps one millisecond.
void ThreadYield();
// A small number naming the calling thread (never 0).
uint64_t ThreadId();

// ---------------------------------------------------------------------------
// Mutexes and conditions.  MutexIsLocked is true for a missing mutex or when
// the calling thread is the recorded owner (recorded when it locks or wakes
// from a condition wait, cleared when it unlocks).

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

 private:
  friend void MutexLock(Mutex* m);
  friend void MutexUnlock(Mutex* m);
  friend bool MutexIsLocked(const Mutex* m);
  friend void ConditionWait(class Condition* c);
  pthread_mutex_t mutex_;
  std::atomic<uint64_t> owner_{0};
};

class Condition {
 public:
  explicit Condition(Mutex* mutex);
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

 private:
  friend void ConditionWait(Condition* c);
  friend void ConditionSignal(Condition* c);
  friend void ConditionBroadcast(Condition* c);
  Mutex* mutex_;
  pthread_cond_t cond_;
};

extern std::atomic<int32_t> MutexCount;
extern std::atomic<int32_t> ConditionCount;

std::unique_ptr<Mutex> MutexCreate();
void MutexLock(Mutex* m);
void MutexUnlock(Mutex* m);
void MutexDestroy(std::unique_ptr<Mutex>& m);
bool MutexIsLocked(const Mutex* m);

// REQUIRES: mutex outlives the condition.
std::unique_ptr<Condition> ConditionCreate(Mutex* mutex);
// REQUIRES: the calling thread holds the condition's mutex.
void ConditionWait(Condition* c);
void ConditionSignal(Condition* c);
void ConditionBroadcast(Condition* c);
void ConditionDestroy(std::unique_ptr<Condition>& c);

// CPU accounting: time spent running (between the blocking wrappers) since
// the last call, the number of restarts of the accounting and of yields.
struct ThreadsCpuStats {
  int64_t ticks = 0;
  int64_t micros = 0;
  int64_t restarts = 0;
  int64_t yields = 0;
};
ThreadsCpuStats ThreadsCpu();

// ---------------------------------------------------------------------------
// The run lock.

// Guarded by ForumRunLock (plain reads elsewhere are statistics only).
extern int32_t ForumThreads;   // idle threads that exist
extern int32_t ForumWaiting;   // threads waiting with saved state
extern std::atomic<bool> ForumQuitFlag;
extern bool ForumThreadsInited;
// Set by the forum layer while the database runs in multi-conference hosting
// mode: waits then never start a new idle thread.
extern bool ForumThreadsHostingMode;

Mutex* ForumRunLock();

// Creates the run lock and ForumWait when threads are enabled; returns
// whether they are.
bool ForumThreadsInit();
// The idle loop: polls the network and runs queued work until quitFlag or
// ForumQuitFlag is set; returns -3 then.
int32_t ForumThreadsIdle();
// Ends every idle thread (waits until ForumThreads is 0) and destroys the
// run lock.
void ForumThreadsTerm();
// Waits without the run lock until *flagA or (flagB not null) *flagB is
// true, or the server quits.  Flags are set under the run lock; the setter
// calls ForumThreadsWakeup.
void ForumThreadsWait(const bool* flagA, const bool* flagB = nullptr);
// Makes waiting threads test their flags again.
void ForumThreadsWakeup();
// One event-loop pass from inside a request, with the request state saved,
// keeping the run lock.
void ForumThreadsHtIdle(bool wait);
// Lets other threads run for a moment (nothing when threads are disabled).
void ForumThreadsYield();
// Runs command through popen and collects its standard output without
// holding the run lock.  environment, when given, alternates names and
// values; each becomes NAME=value (name upper-cased) for the start of the
// command.  Returns 0 with the output in *output (nil before), or the
// system error.
int32_t ForumThreadsRunScript(const char* command,
                              const std::vector<St>* environment, St* output);

// ---------------------------------------------------------------------------
// Per-request state slots.

struct ThreadStateSlot {
  // Saves this slot's part of the request state and clears what a waiting
  // thread must not leave behind.
  std::function<std::any()> save;
  // Checks and puts back a value returned by save.
  std::function<void(std::any&&)> restore;
  // Optional: activity bits (kQuBlockRequest) the current state stands for;
  // asked before save.
  std::function<uint32_t()> activity;
  // Optional: assertion run at the start of every idle pass.
  std::function<void()> idleCheck;
};

// Adds a slot; returns its handle.  REQUIRES: no thread is waiting.
int ThreadStateSlotAdd(ThreadStateSlot slot);
// REQUIRES: no thread is waiting.
void ThreadStateSlotRemove(int handle);

// Start-up self-test of the wrappers (a thread, a mutex and a condition);
// an assertion failure when they misbehave.
void ThreadSelfTest();

}  // namespace quil
