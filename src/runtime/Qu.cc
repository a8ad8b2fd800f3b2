// The RAM queue of timed callbacks, QuProcess and background passes.
#include "Qu.h"

#include <algorithm>
#include <list>

#include "Ht.h"
#include "Ma.h"
#include "Thread.h"

namespace quil {

bool QuDebugFlag = false;
bool QuBgActive = false;
uint32_t QuRamBlockFlags = 0;
int64_t QuBgPasses = 0;

namespace {

// One queued or blocked callback.  `delta` is the ticks after the entry
// before it (the first: after ramLast); in the blocked list it holds the
// block mask instead.
struct QuRamEntry {
  int64_t delta;
  int32_t id;
  QuRamFn callback;
  intptr_t argument;
  uint32_t check;
};

PkgState quState;

std::list<QuRamEntry> ramList;      // sorted by due time
std::list<QuRamEntry> blockedList;  // in the order blocked
int64_t ramLast = 0;    // QuRamLast: the time the first delta counts from
int64_t tailDue = 0;    // sum of all deltas: due time of the last entry
int32_t ramLastId = 0;  // QuRamLastId
bool ramRunning = false;
bool ramFirst = false;  // which half QuProcess ran first last time

bool bgAllowed = false;
int32_t bgInterval = kQuBgInterval;
int32_t bgCalls = 0;
int64_t bgLastPass = 0;

QuPersistentFn persistentFn = nullptr;
void (*bgIoPollFn)() = nullptr;
bool (*sessionPendingFn)() = nullptr;
bool (*bgSaveActiveFn)() = nullptr;

uint32_t CheckValue(const QuRamEntry& e) {
  return uint32_t(e.id) + uint32_t(reinterpret_cast<uintptr_t>(e.callback)) +
         uint32_t(e.argument) + 1;
}

// Inserts the single entry of `node` (a one-element list) so that it is due
// `due` ticks after ramLast, after every entry due at the same time.
void InsertDue(std::list<QuRamEntry>& node, int64_t due) {
  QuRamEntry& e = node.front();
  if (ramList.empty() || due >= tailDue) {
    e.delta = ramList.empty() ? due : due - tailDue;
    tailDue = due;
    ramList.splice(ramList.end(), node);
    return;
  }
  auto it = ramList.begin();
  while (due >= it->delta) {  // stops before the end: due < tailDue
    due -= it->delta;
    ++it;
  }
  it->delta -= due;
  e.delta = due;
  ramList.splice(it, node);
}

// Removes the entry at `it` from the sorted list, handing its delta on.
void RemoveRam(std::list<QuRamEntry>::iterator it) {
  auto next = std::next(it);
  if (next != ramList.end())
    next->delta += it->delta;
  else
    tailDue -= it->delta;
  ramList.erase(it);
  if (ramList.empty()) tailDue = 0;
}

struct RunningMark {
  explicit RunningMark(bool& flag) : flag_(flag) { flag_ = true; }
  ~RunningMark() { flag_ = false; }
  bool& flag_;
};

// Runs the RAM callbacks that are due, until the queue has none due or the
// deadline has passed.  Returns how many ran.
int32_t QuDoRam(int64_t deadline) {
  int64_t now = SysTime();
  int64_t elapsed = now - ramLast;
  ramLast = now;
  int32_t ran = 0;
  while (!ramList.empty()) {
    QuRamEntry& front = ramList.front();
    if (elapsed < front.delta) {
      front.delta -= elapsed;
      tailDue -= elapsed;
      break;
    }
    int64_t rest = elapsed - front.delta;
    QuRamEntry e = front;
    tailDue -= front.delta;
    ramList.pop_front();
    if (ramList.empty()) {
      tailDue = 0;
    } else {
      ramList.front().delta -= rest;
      tailDue -= rest;
    }
    elapsed = 0;
    MA_CHECK(QuDebugFlag, e.check == CheckValue(e),
             "QuDoRam--damaged callback block");
    {
      RunningMark mark(ramRunning);
      e.callback(e.argument, e.id);
    }
    ++ran;
    if (SysTime() >= deadline) break;
  }
  return ran;
}

int32_t QuDoPersistent(int64_t deadline, int32_t minPriority) {
  // The persistent queue (entries kept in the chunk store, ordered by
  // priority, with deferred entries moved in as they fall due) runs here.
  // It arrives with the chunk store and registers with QuSetPersistentFn.
  if (persistentFn == nullptr || SysTime() >= deadline) return 0;
  return persistentFn(deadline, minPriority);
}

uint16_t QuInit() {
  ramList.clear();
  blockedList.clear();
  ramLast = SysTime();
  tailDue = 0;
  ramLastId = 0;
  ramRunning = false;
  ramFirst = false;
  QuRamBlockFlags = 0;
  QuBgActive = false;
  bgAllowed = false;
  bgInterval = kQuBgInterval;
  bgCalls = 0;
  bgLastPass = 0;
  QuBgPasses = 0;
  return 0;
}

void QuTerm() {
  ramList.clear();
  blockedList.clear();
  tailDue = 0;
  QuRamBlockFlags = 0;
}

}  // namespace

uint16_t QuInitRtns(int selector, int32_t value) {
  static const PkgSteps steps{QuInit, QuTerm};
  uint16_t result = PkgDispatch(quState, "QuInitRtns", selector, value, steps);
  QuDebugFlag = quState.debug;
  return result;
}

int32_t QuRamAdd(int32_t delayTicks, QuRamFn callback, intptr_t argument) {
  std::list<QuRamEntry> node;
  node.push_back({0, ++ramLastId, callback, argument, 0});
  node.front().check = CheckValue(node.front());
  int32_t id = ramLastId;
  InsertDue(node, int64_t(delayTicks) + SysTime() - ramLast);
  return id;
}

int32_t QuRamBlock(QuRamFn callback, intptr_t argument, uint32_t mask) {
  blockedList.push_back({int64_t(mask), ++ramLastId, callback, argument, 0});
  blockedList.back().check = CheckValue(blockedList.back());
  QuRamBlockFlags |= mask;
  return ramLastId;
}

void QuRamUnblock(uint32_t mask) {
  if ((QuRamBlockFlags & mask) != 0) {
    int64_t dueNow = SysTime() - ramLast;
    for (auto it = blockedList.begin(); it != blockedList.end();) {
      auto here = it++;
      here->delta &= ~int64_t(mask);
      if (here->delta != 0) continue;
      std::list<QuRamEntry> node;
      node.splice(node.end(), blockedList, here);
      InsertDue(node, dueNow);
    }
  }
  QuRamBlockFlags &= ~mask;
}

void QuRamKill(int32_t id) {
  for (auto it = ramList.begin(); it != ramList.end(); ++it) {
    if (it->id == id) {
      RemoveRam(it);
      return;
    }
  }
  for (auto it = blockedList.begin(); it != blockedList.end(); ++it) {
    if (it->id == id) {
      blockedList.erase(it);
      QuRamBlockFlags = 0;
      for (const auto& e : blockedList) QuRamBlockFlags |= uint32_t(e.delta);
      return;
    }
  }
}

int32_t QuRamDelay() {
  if (ramRunning) return 0;
  if (QuBgActive) return sessionPendingFn && sessionPendingFn() ? 1 : 0;
  int64_t d = kQuNoDelay;
  if (!ramList.empty()) {
    d = ramList.front().delta - (SysTime() - ramLast);
    d = std::clamp<int64_t>(d, 0, kQuNoDelay - 1);
  }
  if (ForumWaiting > 0) d = std::min<int64_t>(d, kQuWaitingCap);
  if (bgSaveActiveFn && bgSaveActiveFn()) d = std::min<int64_t>(d, kQuBgSaveCap);
  return int32_t(d);
}

int32_t QuProcess(int32_t ms, int32_t minPriority) {
  if (bgIoPollFn) bgIoPollFn();
  int64_t deadline = SysTime() + ms;
  ramFirst = !ramFirst;
  int32_t ran = 0;
  if (ramFirst) {
    ran += QuDoRam(deadline);
    ran += QuDoPersistent(deadline, minPriority);
  } else {
    ran += QuDoPersistent(deadline, minPriority);
    if (SysTime() < deadline) ran += QuDoRam(deadline);
  }
  return ran;
}

void QuBgRun(bool on) {
  bgAllowed = on;
  if (on) bgInterval = kQuBgInterval;
}

void QuBgCk() {
  if (!bgAllowed || QuBgActive) return;
  if (++bgCalls < kQuBgCallsPerTest) return;
  bgCalls = 0;
  if (SysTime() - bgLastPass < bgInterval) return;
  {
    RunningMark mark(QuBgActive);
    HtIdle(false);
    QuProcess(kQuBgInterval, 0);
  }
  QuRamUnblock(kQuBlockBgPass);
  bgLastPass = SysTime();
  ++QuBgPasses;
}

void QuSetPersistentFn(QuPersistentFn fn) { persistentFn = fn; }
void QuSetBgIoPollFn(void (*fn)()) { bgIoPollFn = fn; }
void QuSetSessionPendingFn(bool (*fn)()) { sessionPendingFn = fn; }
void QuSetBgSaveActiveFn(bool (*fn)()) { bgSaveActiveFn = fn; }

}  // namespace quil
