// The host package: time base, memory budget, quit request, wake pipe and
// idle passes.
#include "Ht.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "HtInt.h"
#include "Ma.h"

namespace quil {

bool HtTrace = false;

namespace {

PkgState htState;
uint32_t memTotal = 0;
uint32_t memFree = 0;
std::atomic<std::atomic<bool>*> quitFlagPtr{nullptr};
HtIdleFn idleFn = nullptr;
std::atomic<int64_t (*)()> timeFn{nullptr};

// The wake pipe: read end in every wait, write end used by HtWake.  Both
// ends are non-blocking; a full pipe already wakes the wait.
std::atomic<int> wakeRead{-1};
std::atomic<int> wakeWrite{-1};

std::chrono::steady_clock::time_point TimeBase() {
  static const auto base = std::chrono::steady_clock::now();
  return base;
}

void OpenWakePipe() {
  if (wakeRead.load() >= 0) return;
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
    MaHalt("HtInitRtns-- could not open the wake pipe");
  wakeRead = fds[0];
  wakeWrite = fds[1];
}

void CloseWakePipe() {
  int r = wakeRead.exchange(-1);
  int w = wakeWrite.exchange(-1);
  if (r >= 0) close(r);
  if (w >= 0) close(w);
}

uint16_t HtInit() {
  signal(SIGFPE, SIG_IGN);
  srand(unsigned(time(nullptr)));
  (void)TimeBase();
  OpenWakePipe();
  HtSetMemSize(kHtDefaultMemSize);
  return 0;
}

void HtTerm() { CloseWakePipe(); }

}  // namespace

uint16_t HtInitRtns(int selector, int32_t value) {
  static const PkgSteps steps{HtInit, HtTerm};
  return PkgDispatch(htState, "HtInitRtns", selector, value, steps);
}

void HtSetMemSize(uint32_t bytes) {
  memTotal = bytes;
  memFree = bytes;
}

uint32_t HtGetMemFree() { return memFree; }

void HtSetTimeFn(int64_t (*fn)()) { timeFn = fn; }

int64_t SysTime() {
  if (auto fn = timeFn.load()) return fn();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - TimeBase())
      .count();
}

int64_t HtRaiseFileLimit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur != lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  }
  return int64_t(lim.rlim_cur);
}

void HtSetQuitFlag(std::atomic<bool>* flag) { quitFlagPtr = flag; }

bool HtQuitting() {
  std::atomic<bool>* flag = quitFlagPtr.load();
  return flag != nullptr && flag->load();
}

void HtRequestQuit() {
  if (std::atomic<bool>* flag = quitFlagPtr.load()) *flag = true;
  HtWake();
}

void HtWake() {
  int fd = wakeWrite.load();
  if (fd < 0) return;
  char byte = 1;
  (void)!write(fd, &byte, 1);
}

int HtWakeReadFd() { return wakeRead.load(); }

void HtSetIdleFn(HtIdleFn fn) { idleFn = fn; }

bool HtIdle(bool wait) {
  if (idleFn) idleFn(wait);
  return true;
}

}  // namespace quil
