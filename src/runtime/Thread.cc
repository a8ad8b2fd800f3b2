// Thread and lock wrappers, CPU accounting and the thread package protocol.
#include "Thread.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <system_error>
#include <thread>

#include "Ht.h"
#include "Ma.h"

namespace quil {

bool ThreadDebugFlag = false;
bool EnableThreads = true;
std::atomic<int32_t> MutexCount{0};
std::atomic<int32_t> ConditionCount{0};

namespace {

PkgState threadState;
std::atomic<uint64_t> nextThreadId{0};

// CPU accounting: each thread measures the stretches between its blocking
// calls and adds them to the process totals.
std::atomic<int64_t> cpuMicros{0};
std::atomic<int64_t> cpuRestarts{0};
std::atomic<int64_t> cpuYields{0};
thread_local bool cpuRunning = false;
thread_local std::chrono::steady_clock::time_point cpuStart;

void CpuStart() {
  cpuRunning = true;
  cpuStart = std::chrono::steady_clock::now();
  ++cpuRestarts;
}

void CpuStop() {
  if (!cpuRunning) return;
  cpuRunning = false;
  cpuMicros += std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - cpuStart)
                   .count();
}

uint16_t ThreadInit() {
  MutexCount = 0;
  ConditionCount = 0;
  cpuMicros = 0;
  cpuRestarts = 0;
  cpuYields = 0;
  CpuStart();
  EnableThreads = access("nothreads", F_OK) != 0;
  return 0;
}

void ThreadTerm() { CpuStop(); }

}  // namespace

uint16_t ThreadInitRtns(int selector, int32_t value) {
  static const PkgSteps steps{ThreadInit, ThreadTerm};
  uint16_t result =
      PkgDispatch(threadState, "ThreadInitRtns", selector, value, steps);
  ThreadDebugFlag = threadState.debug;
  return result;
}

bool ThreadsAvail() { return EnableThreads; }

bool ThreadStart(std::function<void()> routine) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      std::thread(routine).detach();
      return true;
    } catch (const std::system_error&) {
      // Often the open-file limit: a thread needs descriptors for its stack
      // guard and the like on some systems.
      if (attempt == 0) HtRaiseFileLimit();
    }
  }
  return false;
}

void ThreadYield() {
  if (!EnableThreads) return;
  CpuStop();
  ++cpuYields;
  poll(nullptr, 0, 1);
  CpuStart();
}

uint64_t ThreadId() {
  thread_local uint64_t id = ++nextThreadId;
  return id;
}

ThreadsCpuStats ThreadsCpu() {
  ThreadsCpuStats s;
  s.micros = cpuMicros.exchange(0);
  s.ticks = s.micros / 1000;
  s.restarts = cpuRestarts.exchange(0);
  s.yields = cpuYields.exchange(0);
  return s;
}

Mutex::Mutex() {
  MA_CHECK(true, pthread_mutex_init(&mutex_, nullptr) == 0, "MutexCreate-- pthread_mutex_init");
  ++MutexCount;
}

Mutex::~Mutex() {
  MA_CHECK(true, pthread_mutex_destroy(&mutex_) == 0, "MutexDestroy-- pthread_mutex_destroy");
  --MutexCount;
}

Condition::Condition(Mutex* mutex) : mutex_(mutex) {
  MA_CHECK(true, pthread_cond_init(&cond_, nullptr) == 0, "ConditionCreate-- pthread_cond_init");
  ++ConditionCount;
}

Condition::~Condition() {
  MA_CHECK(true, pthread_cond_destroy(&cond_) == 0, "ConditionDestroy-- pthread_cond_destroy");
  --ConditionCount;
}

std::unique_ptr<Mutex> MutexCreate() { return std::make_unique<Mutex>(); }

void MutexLock(Mutex* m) {
  CpuStop();
  MA_CHECK(true, pthread_mutex_lock(&m->mutex_) == 0, "MutexLock-- pthread_mutex_lock");
  CpuStart();
  m->owner_ = ThreadId();
}

void MutexUnlock(Mutex* m) {
  m->owner_ = 0;
  MA_CHECK(true, pthread_mutex_unlock(&m->mutex_) == 0, "MutexUnlock-- pthread_mutex_unlock");
}

void MutexDestroy(std::unique_ptr<Mutex>& m) { m.reset(); }

bool MutexIsLocked(const Mutex* m) {
  return m == nullptr || m->owner_.load() == ThreadId();
}

std::unique_ptr<Condition> ConditionCreate(Mutex* mutex) {
  return std::make_unique<Condition>(mutex);
}

void ConditionWait(Condition* c) {
  c->mutex_->owner_ = 0;
  CpuStop();
  MA_CHECK(true, pthread_cond_wait(&c->cond_, &c->mutex_->mutex_) == 0,
           "ConditionWait-- pthread_cond_wait");
  CpuStart();
  c->mutex_->owner_ = ThreadId();
}

void ConditionSignal(Condition* c) {
  MA_CHECK(true, pthread_cond_signal(&c->cond_) == 0, "ConditionSignal-- pthread_cond_signal");
}
void ConditionBroadcast(Condition* c) {
  MA_CHECK(true, pthread_cond_broadcast(&c->cond_) == 0,
           "ConditionBroadcast-- pthread_cond_broadcast");
}
void ConditionDestroy(std::unique_ptr<Condition>& c) { c.reset(); }

void ThreadSelfTest() {
  if (!EnableThreads) return;
  auto mutex = MutexCreate();
  auto cond = ConditionCreate(mutex.get());
  bool done = false;
  uint64_t helperId = 0;
  MutexLock(mutex.get());
  MA_CHECK(true, MutexIsLocked(mutex.get()),
           "ThreadSelfTest-- mutex not owned after lock");
  bool started = ThreadStart([&] {
    MutexLock(mutex.get());
    helperId = ThreadId();
    done = true;
    ConditionSignal(cond.get());
    MutexUnlock(mutex.get());
  });
  MA_CHECK(true, started, "ThreadSelfTest-- could not start a thread");
  while (!done) ConditionWait(cond.get());
  MA_CHECK(true, MutexIsLocked(mutex.get()),
           "ThreadSelfTest-- mutex not owned after wait");
  MA_CHECK(true, helperId != 0 && helperId != ThreadId(),
           "ThreadSelfTest-- thread ids");
  MutexUnlock(mutex.get());
  // The helper may still be leaving MutexUnlock; take the mutex once more so
  // that it is done with it before the mutex is destroyed.
  MutexLock(mutex.get());
  MutexUnlock(mutex.get());
  MA_CHECK(true, !MutexIsLocked(mutex.get()),
           "ThreadSelfTest-- mutex owned after unlock");
}

}  // namespace quil
