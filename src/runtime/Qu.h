// Qu: the background queues -- timed callbacks in memory (the RAM queue) and
// the background passes that long operations give to the event loop.
//
// RAM queue.  A list sorted by due time in which every entry stores its delta
// (in ticks of one millisecond) to the entry before it; the first delta
// counts from QuRamLast.  Invariants:
//   - entries with equal due times run in the order they were added;
//   - a cancelled entry's delta is added to the entry after it, so every other
//     entry keeps its due time;
//   - every entry carries a check value (id + callback + argument + 1) that is
//     verified before the call ("QuDoRam--damaged callback block").
// Blocked entries wait outside the sorted list until every activity in their
// mask has ended (kQuBlockRequest: no request is being processed;
// kQuBlockBgPass: no background pass is running); QuRamBlockFlags is the
// union of their masks.
//
// QuProcess runs due work within a time budget, alternating on successive
// calls between "RAM queue first" and "persistent queue first".  The
// persistent queue lives in the chunk store and plugs in with
// QuSetPersistentFn.
//
// Thread use: everything here runs under the run lock.
#pragma once

#include <cstdint>

namespace quil {

// Called as callback(argument, id).
using QuRamFn = void (*)(intptr_t argument, int32_t id);

constexpr uint32_t kQuBlockRequest = 1;
constexpr uint32_t kQuBlockBgPass = 2;
// QuRamDelay's answer for an empty queue: wait without a time limit.
constexpr int32_t kQuNoDelay = 2147483647;
// Delay caps while request threads wait and while a background save runs.
constexpr int32_t kQuWaitingCap = 10;
constexpr int32_t kQuBgSaveCap = 100;
// Background passes inside long operations.
constexpr int32_t kQuBgInterval = 50;
constexpr int32_t kQuBgCallsPerTest = 11;

extern bool QuDebugFlag;
// A background pass (QuBgCk) is running.
extern bool QuBgActive;
extern uint32_t QuRamBlockFlags;
// Number of background passes run since the package was initialised.
extern int64_t QuBgPasses;

// Package protocol.  Initialising empties both lists; terminating drops
// whatever is still queued.
uint16_t QuInitRtns(int selector, int32_t value);

// Schedules callback to run delayTicks from now (0 or less: due now, after
// the entries already due).  Returns its id (ids start at 1).
int32_t QuRamAdd(int32_t delayTicks, QuRamFn callback, intptr_t argument);
// Schedules callback for when every activity in mask has ended.  Returns its
// id.
int32_t QuRamBlock(QuRamFn callback, intptr_t argument, uint32_t mask);
// The activities in mask have ended: blocked entries left with an empty mask
// become due now.
void QuRamUnblock(uint32_t mask);
// Cancels a scheduled or blocked callback; an unknown id does nothing.
void QuRamKill(int32_t id);
// Ticks until the next callback is due: 0 while a callback runs; while a
// background pass runs, 1 if the session layer has work pending and 0
// otherwise; else the front entry's remaining time (0 when overdue,
// kQuNoDelay when the queue is empty), capped at kQuWaitingCap while request
// threads wait and at kQuBgSaveCap while a background save runs.
int32_t QuRamDelay();

// Runs due work for at most ms milliseconds (the callback running when the
// budget ends finishes).  minPriority limits the persistent queue.  Returns
// the number of entries run.  (The stop-on-event flag of the original call
// is gone: there are no user-interface events to stop on.)
int32_t QuProcess(int32_t ms, int32_t minPriority);

// Allows (and sets the interval to 50 ms) or forbids background passes.
void QuBgRun(bool on);
// Called often by long operations: every 11th call, when passes are allowed,
// none is running and 50 ms have passed since the last one, runs one
// non-waiting event-loop pass and up to 50 ms of queued work.
void QuBgCk();

// Hooks of the layers above.
// The persistent half of QuProcess: runs ready entries of at least
// minPriority until SysTime() reaches deadline; returns how many ran.
using QuPersistentFn = int32_t (*)(int64_t deadline, int32_t minPriority);
void QuSetPersistentFn(QuPersistentFn fn);
// Polls the chunk store's background input and output at the start of
// QuProcess.
void QuSetBgIoPollFn(void (*fn)());
// True when the session layer has output or events pending.
void QuSetSessionPendingFn(bool (*fn)());
// True while a background save of the chunk store is in progress.
void QuSetBgSaveActiveFn(bool (*fn)());

}  // namespace quil
