// The run lock: idle threads, waits, yields, outside commands and the saved
// per-request state.
#include <errno.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Thread.h"

extern char** environ;

namespace quil {

int32_t ForumThreads = 0;
int32_t ForumWaiting = 0;
std::atomic<bool> ForumQuitFlag{false};
bool ForumThreadsInited = false;
bool ForumThreadsHostingMode = false;

namespace {

std::unique_ptr<Mutex> runLock;      // ForumRunLock
std::unique_ptr<Condition> forumWait;  // ForumWait

struct SlotEntry {
  int handle;
  ThreadStateSlot slot;
};
std::vector<SlotEntry> slots;
int nextSlotHandle = 1;

// What a thread keeps while it lets others run.
struct SavedState {
  ExSaved frames;
  bool bgActive = false;
  uint32_t activity = 0;  // kQuBlockRequest / kQuBlockBgPass it was engaged in
  std::vector<std::any> values;  // one per slot, in slot order
};

void LockRun() {
  if (runLock) MutexLock(runLock.get());
}

void UnlockRun() {
  if (runLock) MutexUnlock(runLock.get());
}

bool Quitting() { return HtQuitting() || ForumQuitFlag; }

void RunIdleChecks() {
  for (auto& e : slots) {
    if (e.slot.idleCheck) e.slot.idleCheck();
  }
}

void IdleThreadMain() { ForumThreadsIdle(); }

// Saves and clears the request state, lets blocked callbacks that waited for
// this thread's activities go, and starts a new idle thread when every idle
// thread is now waiting.
SavedState SaveState() {
  SavedState s;
  s.activity = QuBgActive ? kQuBlockBgPass : 0;
  for (auto& e : slots) {
    if (e.slot.activity) s.activity |= e.slot.activity();
  }
  s.values.reserve(slots.size());
  for (auto& e : slots) s.values.push_back(e.slot.save());
  s.bgActive = QuBgActive;
  QuBgActive = false;
  s.frames = ExSave();
  ++ForumWaiting;
  if (s.activity & kQuBlockRequest) QuRamUnblock(kQuBlockRequest);
  if (s.activity & kQuBlockBgPass) QuRamUnblock(kQuBlockBgPass);
  if (runLock && ForumThreads == ForumWaiting && !ForumThreadsHostingMode) {
    ++ForumThreads;
    if (!ThreadStart(IdleThreadMain)) --ForumThreads;
  }
  return s;
}

void RestoreState(SavedState&& s) {
  --ForumWaiting;
  ExRestore(std::move(s.frames));
  MA_CHECK(ThreadDebugFlag, s.values.size() == slots.size(),
           "RESTORESTATE--state slots changed while a thread waited");
  for (size_t i = 0; i < slots.size() && i < s.values.size(); ++i)
    slots[i].slot.restore(std::move(s.values[i]));
  QuBgActive = s.bgActive;
  if (!(s.activity & kQuBlockRequest)) QuRamUnblock(kQuBlockRequest);
  if (!(s.activity & kQuBlockBgPass)) QuRamUnblock(kQuBlockBgPass);
}

}  // namespace

Mutex* ForumRunLock() { return runLock.get(); }

bool ForumThreadsInit() {
  ForumThreads = 1;
  ForumWaiting = 0;
  ForumQuitFlag = false;
  if (!EnableThreads) return false;
  runLock = MutexCreate();
  forumWait = ConditionCreate(runLock.get());
  ForumThreadsInited = true;
  return true;
}

int32_t ForumThreadsIdle() {
  for (;;) {
    LockRun();
    MA_CHECK(ThreadDebugFlag, ExSync() == 0,
             "ForumThreadsIdle-- there are exceptions in place in "
             "ForumThreadsIdle");
    MA_CHECK(ThreadDebugFlag, !QuBgActive,
             "ForumThreadsIdle-- QuBgActive is set in ForumThreadsIdle");
    RunIdleChecks();
    if (Quitting()) {
      --ForumThreads;
      // A request thread may be waiting with nobody left to wake it.
      if (forumWait) ConditionBroadcast(forumWait.get());
      UnlockRun();
      return -3;
    }
    HtIdle(true);
    QuProcess(100, 0);
    RunIdleChecks();
    UnlockRun();
    // The yield gives the run lock to another thread; when this is the only
    // idle thread and none waits to resume, there is nobody to give it to,
    // and sleeping would only hold back the next pass (and the network).
    if (ForumThreads > 1 || ForumWaiting > 0) ThreadYield();
  }
}

void ForumThreadsTerm() {
  ForumQuitFlag = true;
  if (runLock) {
    for (;;) {
      HtWake();  // a thread may be blocked in the event loop's wait
      LockRun();
      if (ForumThreads <= 0) {
        UnlockRun();
        break;
      }
      ConditionBroadcast(forumWait.get());
      UnlockRun();
      ThreadYield();
    }
    ConditionDestroy(forumWait);
    MutexDestroy(runLock);
  }
  ForumThreadsInited = false;
}

void ForumThreadsWait(const bool* flagA, const bool* flagB) {
  SavedState s = SaveState();
  auto set = [&] { return *flagA || (flagB != nullptr && *flagB); };
  while (!Quitting() && !set()) {
    if (forumWait) {
      ConditionWait(forumWait.get());
    } else {
      ThreadYield();
      HtIdle(false);
      QuProcess(100, 0);
    }
  }
  RestoreState(std::move(s));
}

void ForumThreadsWakeup() {
  if (forumWait) ConditionBroadcast(forumWait.get());
}

void ForumThreadsHtIdle(bool wait) {
  SavedState s = SaveState();
  HtIdle(wait);
  RestoreState(std::move(s));
}

void ForumThreadsYield() {
  if (!runLock) return;
  SavedState s = SaveState();
  UnlockRun();
  ThreadYield();
  LockRun();
  RestoreState(std::move(s));
}

int32_t ForumThreadsRunScript(const char* command,
                              const std::vector<St>* environment, St* output) {
  *output = St();
  // The command's environment: NAME=value for each pair, installed only for
  // the start of the command.
  std::vector<std::string> entries;
  std::vector<char*> envp;
  if (environment != nullptr) {
    for (size_t i = 0; i + 1 < environment->size(); i += 2) {
      std::string name((*environment)[i].View());
      for (char& c : name) c = char(toupper(static_cast<unsigned char>(c)));
      entries.push_back(name + "=" + std::string((*environment)[i + 1].View()));
    }
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  char** oldEnv = environ;
  if (environment != nullptr) environ = envp.data();
  HtRaiseFileLimit();
  errno = 0;
  FILE* pipe = popen(command, "r");
  int startError = errno;
  environ = oldEnv;
  if (pipe == nullptr) return startError != 0 ? startError : EAGAIN;

  SavedState s = SaveState();
  St text = StCreate();
  int32_t readError = 0;
  for (;;) {
    int32_t len = text.Length();
    text = StReserve(std::move(text), len + 4096);
    char* room = text.MutableChars() + len;
    UnlockRun();
    ssize_t n = read(fileno(pipe), room, 4096);
    int err = errno;
    LockRun();
    if (n > 0) {
      text.SetLength(len + int32_t(n));
    } else if (n == 0) {
      break;
    } else if (err != EINTR) {
      readError = err;
      break;
    }
  }
  RestoreState(std::move(s));
  errno = 0;
  int status = pclose(pipe);
  if (readError != 0) return readError;
  if (status == -1) return errno != 0 ? errno : ECHILD;
  *output = std::move(text);
  return 0;
}

int ThreadStateSlotAdd(ThreadStateSlot slot) {
  MA_CHECK(ThreadDebugFlag, ForumWaiting == 0,
           "ThreadStateSlotAdd-- threads are waiting");
  slots.push_back({nextSlotHandle, std::move(slot)});
  return nextSlotHandle++;
}

void ThreadStateSlotRemove(int handle) {
  MA_CHECK(ThreadDebugFlag, ForumWaiting == 0,
           "ThreadStateSlotRemove-- threads are waiting");
  for (auto it = slots.begin(); it != slots.end(); ++it) {
    if (it->handle == handle) {
      slots.erase(it);
      return;
    }
  }
}

}  // namespace quil
