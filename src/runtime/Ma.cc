// Halting, the clean-up list and the package protocol.
#include "Ma.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace quil {

const char kMaDefaultHaltMessage[] =
    "Possibly fatal error\xD1 continue at your own risk";

bool MaHasHalted = false;

namespace {

MaHaltFn haltFn = nullptr;
MaHaltFn assertFn = nullptr;
MaCleanupFn termSystemFn = nullptr;
MaHaltFn recorderFn = nullptr;

// Guards: a halt routine or MaExit entered a second time aborts at once.
// Atomic because a halt can come from a thread that does not hold the run
// lock (the background writer).
std::atomic<bool> inHalt{false};
std::atomic<bool> inExit{false};

std::mutex cleanupMutex;
std::vector<MaCleanupFn>& CleanupList() {
  static std::vector<MaCleanupFn> list;
  return list;
}

void WriteStderr(const char* message) {
  size_t n = strlen(message);
  while (n > 0) {
    ssize_t w = write(2, message, n);
    if (w <= 0) break;
    message += w;
    n -= size_t(w);
  }
}

[[noreturn]] void HaltWith(MaHaltFn handler, const char* message) {
  if (inHalt.exchange(true)) abort();
  if (message == nullptr) message = kMaDefaultHaltMessage;
  if (!MaHasHalted) {
    MaHasHalted = true;
    if (recorderFn) recorderFn(message);
  }
  if (handler) {
    handler(message);
  } else {
    // No handler: the message would otherwise be lost.
    WriteStderr(message);
    WriteStderr("\n");
  }
  MaExit();
}

}  // namespace

void MaHalt(const char* message) { HaltWith(haltFn, message); }
void MaHalt(const std::string& message) { HaltWith(haltFn, message.c_str()); }
void MaPause(const char* message) { HaltWith(haltFn, message); }
void MaAlert(const char*, const char* message) { HaltWith(haltFn, message); }
void HtAlert(const char*, const char* message) { HaltWith(haltFn, message); }
void MaAssertFailure(const char* message) { HaltWith(assertFn, message); }
void MaAssertFailure(const std::string& message) {
  HaltWith(assertFn, message.c_str());
}
void MaMemHalt() { HaltWith(haltFn, "Heap package-- Out of memory"); }

void MaExit() {
  if (inExit.exchange(true)) abort();
  for (;;) {
    MaCleanupFn fn;
    {
      std::lock_guard<std::mutex> lock(cleanupMutex);
      auto& list = CleanupList();
      if (list.empty()) break;
      fn = list.back();
      list.pop_back();
    }
    MaHasHalted = true;
    fn();
  }
  if (termSystemFn) termSystemFn();
  abort();
}

void MaSetHaltFn(MaHaltFn fn) { haltFn = fn; }
void MaSetAssertFn(MaHaltFn fn) { assertFn = fn; }
void MaSetTermSystemFn(MaCleanupFn fn) { termSystemFn = fn; }
void MaSetRecorderFn(MaHaltFn fn) { recorderFn = fn; }

bool MaHalted() {
  bool was = MaHasHalted;
  MaHasHalted = false;
  return was;
}

void HtFatalReg(MaCleanupFn fn) {
  std::lock_guard<std::mutex> lock(cleanupMutex);
  CleanupList().push_back(fn);
}

void HtFatalDereg(MaCleanupFn fn) {
  std::lock_guard<std::mutex> lock(cleanupMutex);
  auto& list = CleanupList();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (*it == fn) {
      list.erase(std::next(it).base());
      return;
    }
  }
}

uint16_t PkgDispatch(PkgState& state, const char* entry, int selector,
                     int32_t value, const PkgSteps& steps) {
  auto fail = [entry](const char* what) {
    MaAssertFailure(std::string(entry) + "-- " + what);
  };
  switch (selector) {
    case kPkgInit: {
      if (state.debug && state.inited) fail("Pkg already init");
      if (state.debug && value != kPkgVersion) fail("Wrong version");
      uint16_t result = steps.init ? steps.init() : 0;
      state.inited = true;
      return result;
    }
    case kPkgTerm:
      if (state.debug && !state.inited) fail("Pkg not init");
      if (steps.term) steps.term();
      state.inited = false;
      return 0;
    case kPkgDebug:
      state.debug = value != 0;
      return 0;
    case kPkgDebug2:
      if (!steps.hasDebug2) break;
      state.debug2 = value != 0;
      return 0;
    case kPkgInit2:
      if (!steps.init2) break;
      steps.init2();
      return 0;
    case kPkgTerm2:
      if (!steps.term2) break;
      steps.term2();
      return 0;
    default:
      break;
  }
  MaHalt(std::string(entry) + "-- Selector");
}

}  // namespace quil
