// The background save: starting the writer, the writer thread, finishing
// completed saves from the queue loop, waiting for a save in flight, the
// progress messages and the writer's test hooks.
//
// Life of one save of file f (state in f.save, see ChInt.h):
//   ChPartSave           main: waits for f's previous save, advances the
//                        revision, writes the part information
//   ChBgSaveStart        main: freezes (ChSaveFreeze), ++ChBgSavesOut,
//                        starts ChBgSave on a new thread
//   ChBgSave             writer: ChSaveWrite, then kComplete and a wake-up
//                        of the event loop so that it polls
//   ChPoll / a wait      main: ChBgSaveComplete -> ChSaveFinish,
//                        --ChBgSavesOut, "save complete", error raised or
//                        completion callback
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>

#include "ChInt.h"
#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Thread.h"

namespace quil {

namespace {

// The writer's nice value (a tenth or so of the weight of the server's
// thread under load).
constexpr int kChBgSaveNice = 10;

bool bgEnabled = false;
ChRecordLogFn recordLog = nullptr;

// Signalled (under ChBgSaveMutex) when a writer completes.
std::condition_variable& CompleteCv() {
  static std::condition_variable cv;
  return cv;
}

// The writer's test hook.
struct WriterHook {
  std::mutex mutex;
  std::condition_variable cv;
  bool armed = false;
  uint32_t page = 0;
  bool paused = false;
  bool released = false;
  int delayMicros = 0;
};

WriterHook& Hook() {
  static WriterHook hook;
  return hook;
}

std::string TimeOfDay() {
  time_t now = ::time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char buf[16];
  strftime(buf, sizeof buf, "%H:%M:%S", &t);
  return buf;
}

ChSaveState StateOf(const ChFiRec& f) { return f.save.state.load(); }

}  // namespace

void ChBgSaveSetEnabled(bool on) { bgEnabled = on; }
bool ChBgSaveEnabled() { return bgEnabled && ThreadsAvail(); }

void ChSetRecordLogFn(ChRecordLogFn fn) { recordLog = fn; }

void ChRecordLog(const std::string& line) {
  if (recordLog) recordLog(line);
}

void ChBgSaveNote(ChFiRec& f, const char* message) {
  ChSaveGuard guard;
  f.save.messages.emplace_back(message);
}

std::vector<std::string> ChBgSaveMessages(ChFi file) {
  ChFiRec& f = ChFiOrHalt(file, "ChBgSaveMessages-- Illegal ChFi");
  ChSaveGuard guard;
  return f.save.messages;
}

uint16_t ChBgSaveStart(ChPartRec& p) {
  ChFiRec& f = *p.file;
  ChSaveFreeze(p);
  ChRecordLog("* DB save pages " + std::to_string(f.save.pages.size()) + " @" +
              TimeOfDay());
  f.save.background = ChBgSaveEnabled();
  if (f.save.background) {
    ++ChBgSavesOut;
    ChFiRec* file = &f;
    if (ThreadStart([file] { ChBgSave(file); })) return 0;
    --ChBgSavesOut;
    f.save.background = false;
  }
  ChSaveWrite(f);
  f.save.state = ChSaveState::kComplete;
  return ChBgSaveComplete(f, false);
}

void ChBgSave(ChFiRec* f) {
  // The writer yields the processor to the server's own thread: requests
  // are answered at their usual pace while a save runs, and the save takes
  // what the requests leave (on an idle server, all of it).
  (void)setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), kChBgSaveNice);
  ChSaveWrite(*f);
  {
    std::lock_guard<std::mutex> lock(ChBgSaveMutex);
    f->save.state = ChSaveState::kComplete;
    CompleteCv().notify_all();
  }
  HtWake();
}

uint16_t ChBgSaveComplete(ChFiRec& f, bool raise) {
  MA_CHECK(ChDebugFlag, StateOf(f) == ChSaveState::kComplete,
           "ChPoll-- save not complete");
  ChPartRec* p = ChPartGet(f.save.part);
  MA_CHECK(ChDebugFlag, p != nullptr && p->file == &f, "ChPoll-- saved part gone");
  uint16_t status = ChSaveFinish(f, *p);
  if (f.save.background) --ChBgSavesOut;
  f.save.background = false;
  ChBgSaveNote(f, "save complete");
  if (status != 0) {
    if (raise) ExRaise(status);
    return status;
  }
  if (f.save.callback) f.save.callback(f.handle, f.save.argument);
  return 0;
}

void ChPoll() {
  auto due = [](const ChFiRec& f) {
    return StateOf(f) == ChSaveState::kComplete && f.save.waiters == 0;
  };
  std::vector<ChFiRec*> done;
  for (const auto& f : ChState.files)
    if (due(*f)) done.push_back(f.get());
  for (ChFiRec* f : done) {
    // A callback may have closed or finished another file meanwhile.
    bool open = false;
    for (const auto& g : ChState.files) open |= g.get() == f;
    if (open && due(*f)) (void)ChBgSaveComplete(*f, true);
  }
}

uint16_t ChBgSaveWaitIdle(ChFiRec& f, bool raise) {
  // The queued work run below may poll: this wait finishes the save itself,
  // so that its error goes where the caller asked.
  struct Waiting {
    explicit Waiting(ChFiRec& file) : f(file) { ++f.save.waiters; }
    ~Waiting() { --f.save.waiters; }
    ChFiRec& f;
  } waiting(f);
  while (StateOf(f) != ChSaveState::kIdle) {
    if (StateOf(f) == ChSaveState::kComplete) return ChBgSaveComplete(f, raise);
    if (ForumThreadsInited) {
      // A request thread: let the others run meanwhile.
      ForumThreadsYield();
      ForumThreadsHtIdle(false);
    } else {
      {
        std::unique_lock<std::mutex> lock(ChBgSaveMutex);
        CompleteCv().wait_for(lock, std::chrono::milliseconds(1), [&] {
          return StateOf(f) != ChSaveState::kActive;
        });
      }
      HtIdle(false);
    }
    if (StateOf(f) == ChSaveState::kActive) (void)QuProcess(100, 0);
  }
  return 0;
}

void ChBgSaveCleanupWait(ChFi file) {
  // Raised, not returned: the status of a raising wait is always 0.
  uint16_t status =
      ChBgSaveWaitIdle(ChFiOrHalt(file, "ChBgSaveCleanupWait-- Illegal ChFi"), true);
  MA_CHECK(ChDebugFlag, status == 0, "ChBgSaveCleanupWait-- error not raised");
}

bool ChBgSaveActive(ChFi file) {
  return StateOf(ChFiOrHalt(file, "ChBgSaveActive-- Illegal ChFi")) != ChSaveState::kIdle;
}

bool ChBgSaveInProgress() {
  for (const auto& f : ChState.files)
    if (StateOf(*f) != ChSaveState::kIdle) return true;
  return false;
}

void ChBgSaveSetCb(ChFi file, ChBgSaveCb callback, intptr_t argument) {
  ChFiRec& f = ChFiOrHalt(file, "ChBgSaveSetCb-- Illegal ChFi");
  f.save.callback = callback;
  f.save.argument = argument;
}

bool ChBgSaveOwnsSlot(const ChPartRec& p, uint32_t page, uint32_t slot) {
  if (!p.file || StateOf(*p.file) == ChSaveState::kIdle) return false;
  const ChSaveRec& s = p.file->save;
  auto it = std::lower_bound(s.pages.begin(), s.pages.end(), page);
  if (it == s.pages.end() || *it != page) return false;
  size_t i = size_t(it - s.pages.begin());
  return s.sources[i] == ChSaveSource::kTrans && s.transSlots[i] == slot;
}

// ---------------------------------------------------------------------------
// Test hooks.

void ChBgSaveHookPage(uint32_t page) {
  WriterHook& h = Hook();
  std::unique_lock<std::mutex> lock(h.mutex);
  if (h.delayMicros > 0)
    h.cv.wait_for(lock, std::chrono::microseconds(h.delayMicros),
                  [&] { return h.delayMicros == 0; });
  if (!h.armed || h.page != page) return;
  h.armed = false;
  h.paused = true;
  h.cv.notify_all();
  h.cv.wait(lock, [&] { return h.released; });
  h.paused = false;
}

void ChBgSaveHookPauseAt(uint32_t page) {
  WriterHook& h = Hook();
  std::lock_guard<std::mutex> lock(h.mutex);
  h.armed = true;
  h.page = page;
  h.paused = false;
  h.released = false;
}

bool ChBgSaveHookWaitPaused(int timeoutMs) {
  WriterHook& h = Hook();
  std::unique_lock<std::mutex> lock(h.mutex);
  return h.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return h.paused; });
}

void ChBgSaveHookRelease() {
  WriterHook& h = Hook();
  std::lock_guard<std::mutex> lock(h.mutex);
  h.armed = false;
  h.released = true;
  h.cv.notify_all();
}

void ChBgSaveHookSetPageDelay(int micros) {
  WriterHook& h = Hook();
  std::lock_guard<std::mutex> lock(h.mutex);
  h.delayMicros = micros;
  h.cv.notify_all();
}

}  // namespace quil
