// Thread wrappers and the run lock: idle threads, waits that start a new
// poller, saved request state, "nothreads", outside commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Thread.h"
#include "child.h"

using namespace quil;
using quiltest::RunInChild;

namespace {

// Waits up to five seconds for pred; the bound only keeps a broken build
// from hanging.
bool Eventually(const std::function<bool()>& pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

// One event-loop pass over the descriptor table, as the server's loop does
// it: wait until a descriptor or the next callback, then dispatch.
void PollPass(bool) {
  HtPollPass pass;
  int32_t delay = QuRamDelay();
  pass.Wait(delay == kQuNoDelay ? -1 : delay);
  pass.Dispatch();
}

std::atomic<bool> quit{false};

class RunLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool htReady = (HtInitRtns(kPkgInit, kPkgVersion), true);
    (void)htReady;
    ThreadInitRtns(kPkgDebug, 1);
    ThreadInitRtns(kPkgInit, kPkgVersion);
    QuInitRtns(kPkgInit, kPkgVersion);
    quit = false;
    HtSetQuitFlag(&quit);
    HtSetIdleFn(PollPass);
    ASSERT_EQ(pipe2(fds_, O_NONBLOCK), 0);
  }
  void TearDown() override {
    HtFdUnwatch(fds_[0]);
    close(fds_[0]);
    close(fds_[1]);
    HtSetIdleFn(nullptr);
    HtSetQuitFlag(nullptr);
    QuInitRtns(kPkgTerm, 0);
    ThreadInitRtns(kPkgTerm, 0);
  }
  void Send(char c) { ASSERT_EQ(write(fds_[1], &c, 1), 1); }
  int fds_[2];
};

// The per-request state of a pretend upper layer, kept in one slot.
int requestValue = 0;
bool inRequest = false;
int SlotForRequest() {
  ThreadStateSlot slot;
  slot.save = [] {
    std::any saved = std::make_pair(requestValue, inRequest);
    requestValue = 0;
    inRequest = false;
    return saved;
  };
  slot.restore = [](std::any&& saved) {
    MA_CHECK(true, requestValue == 0, "RESTORESTATE--requestValue");
    auto [value, active] = std::any_cast<std::pair<int, bool>>(saved);
    requestValue = value;
    inRequest = active;
  };
  slot.activity = [] { return inRequest ? kQuBlockRequest : 0u; };
  return ThreadStateSlotAdd(std::move(slot));
}

// Network events of the wait test: 'w' starts a request that waits for
// `done`, 'd' sets it, any other byte is counted.
bool done = false;
std::atomic<bool> waiting{false}, resumed{false};
std::atomic<int> events{0}, threadsSeen{0}, valueSeen{-1}, releasedRan{0};
int valueAfterWait = 0;
int framesAfterWait = -1;

void OnPipe(int fd, unsigned) {
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c == 'w') {
      requestValue = 42;
      inRequest = true;
      QuRamBlock([](intptr_t, int32_t) { ++releasedRan; }, 0, kQuBlockRequest);
      waiting = true;
      bool normal = ExTry([] {
        ForumThreadsWait(&done);
        framesAfterWait = ExSync();
      });
      EXPECT_TRUE(normal);
      valueAfterWait = requestValue;
      inRequest = false;
      requestValue = 0;
      waiting = false;
      resumed = true;
    } else if (c == 'd') {
      done = true;
      ForumThreadsWakeup();
    } else {
      threadsSeen = ForumThreads;
      valueSeen = requestValue;
      ++events;
    }
  }
}

TEST_F(RunLockTest, AWaitInTheOnlyIdleThreadStartsAPollerAndPassesGoOn) {
  done = false;
  waiting = resumed = false;
  events = threadsSeen = releasedRan = 0;
  valueSeen = -1;
  int slot = SlotForRequest();
  HtFdWatch(fds_[0], kHtRead, OnPipe);
  std::thread server([] {
    EXPECT_TRUE(ForumThreadsInit());
    EXPECT_EQ(ForumThreadsIdle(), -3);
    ForumThreadsTerm();
  });

  Send('w');
  ASSERT_TRUE(Eventually([] { return waiting.load(); }));
  for (int i = 1; i <= 3; ++i) {
    Send('e');
    ASSERT_TRUE(Eventually([&] { return events == i; }));
  }
  EXPECT_TRUE(waiting);
  EXPECT_EQ(threadsSeen, 2);  // the waiting thread and the new poller
  EXPECT_EQ(valueSeen, 0);    // the waiting request's state was put aside
  EXPECT_TRUE(Eventually([] { return releasedRan == 1; }));

  Send('d');
  ASSERT_TRUE(Eventually([] { return resumed.load(); }));
  EXPECT_EQ(valueAfterWait, 42);
  EXPECT_EQ(framesAfterWait, 1);

  quit = true;
  HtWake();
  server.join();
  EXPECT_EQ(ForumThreads, 0);
  EXPECT_EQ(ForumWaiting, 0);
  EXPECT_FALSE(ForumThreadsInited);
  ThreadStateSlotRemove(slot);
}

TEST_F(RunLockTest, QuittingWakesARequestThatWaits) {
  done = false;
  waiting = resumed = false;
  HtFdWatch(fds_[0], kHtRead, OnPipe);
  std::thread server([] {
    ForumThreadsInit();
    ForumThreadsIdle();
    ForumThreadsTerm();
  });
  Send('w');
  ASSERT_TRUE(Eventually([] { return waiting.load(); }));
  quit = true;
  HtWake();
  server.join();  // would hang if the waiting request were never woken
  EXPECT_TRUE(resumed);
  EXPECT_EQ(ForumThreads, 0);
}

// Runs `request` as a request of the idle loop: a server thread polls, a byte
// on the pipe makes its handler call request, then the server quits.
void RunAsRequest(int fds[2], std::function<void()> request) {
  static std::function<void()> pending;
  static std::atomic<bool> finished;
  pending = std::move(request);
  finished = false;
  HtFdWatch(fds[0], kHtRead, [](int fd, unsigned) {
    char c;
    while (read(fd, &c, 1) == 1) {
      pending();
      finished = true;
    }
  });
  std::thread server([] {
    ForumThreadsInit();
    ForumThreadsIdle();
    ForumThreadsTerm();
  });
  char c = 'r';
  ASSERT_EQ(write(fds[1], &c, 1), 1);
  ASSERT_TRUE(Eventually([] { return finished.load(); }));
  quit = true;
  HtWake();
  server.join();
  EXPECT_EQ(ForumThreads, 0);
}

TEST_F(RunLockTest, RunScriptCollectsOutputWithTheLockGivenUp) {
  St out, failed = StCStrXfm("old");
  int32_t status = -1, failedStatus = -1;
  bool lockedAfter = false;
  RunAsRequest(fds_, [&] {
    std::vector<St> env = {StCStrXfm("quil_test_var"), StCStrXfm("v a l")};
    status = ForumThreadsRunScript(
        "printf 'x%s' \"$QUIL_TEST_VAR\"; head -c 10000 /dev/zero | "
        "tr '\\0' y",
        &env, &out);
    lockedAfter = MutexIsLocked(ForumRunLock());
    failedStatus = ForumThreadsRunScript("exit 3", nullptr, &failed);
  });
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out.Length(), 10006);
  EXPECT_EQ(out.Str().substr(0, 8), "xv a lyy");
  EXPECT_EQ(getenv("QUIL_TEST_VAR"), nullptr);  // only for the command
  EXPECT_TRUE(lockedAfter);
  // A command that fails still ran: its (empty) output is handed back.
  EXPECT_EQ(failedStatus, 0);
  EXPECT_TRUE(failed.Empty());
  EXPECT_FALSE(failed.IsNil());
}

TEST(ThreadIdle, OpenFrameAtTheStartOfAPassIsAnAssertion) {
  auto r = RunInChild([] {
    MaSetAssertFn([](const char* m) {
      (void)!write(1, m, strlen(m));
      _exit(3);
    });
    ThreadInitRtns(kPkgDebug, 1);
    ThreadInitRtns(kPkgInit, kPkgVersion);
    ForumThreadsInit();
    ExTry([] { ForumThreadsIdle(); });
  });
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out,
            "ForumThreadsIdle-- there are exceptions in place in "
            "ForumThreadsIdle");
}

TEST(ThreadNothreads, WaitsPollInLineAndYieldsDoNothing) {
  auto r = RunInChild([] {
    auto dir = std::filesystem::temp_directory_path() /
               ("quil-nothreads-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (chdir(dir.c_str()) != 0) _exit(10);
    close(open("nothreads", O_CREAT | O_WRONLY, 0644));
    ThreadInitRtns(kPkgInit, kPkgVersion);
    QuInitRtns(kPkgInit, kPkgVersion);
    std::filesystem::remove_all(dir);
    if (ThreadsAvail() || ForumThreadsInit() || ForumRunLock()) _exit(11);

    static int saves = 0, passes = 0;
    static bool flag = false;
    ThreadStateSlot slot;
    slot.save = [] { ++saves; return std::any(); };
    slot.restore = [](std::any&&) {};
    ThreadStateSlotAdd(std::move(slot));
    ForumThreadsYield();
    if (saves != 0) _exit(12);

    HtSetIdleFn([](bool wait) {
      if (wait) _exit(13);  // in-line waits never serve the bridge
      if (++passes == 3) flag = true;
    });
    ForumThreadsWait(&flag);
    if (saves != 1 || passes != 3 || ForumThreads != 1) _exit(14);
    _exit(0);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST(ThreadWrappers, MutexOwnershipFollowsLockWaitAndUnlock) {
  int32_t before = MutexCount;
  auto m = MutexCreate();
  auto c = ConditionCreate(m.get());
  EXPECT_EQ(MutexCount, before + 1);
  EXPECT_TRUE(MutexIsLocked(nullptr));
  EXPECT_FALSE(MutexIsLocked(m.get()));
  MutexLock(m.get());
  EXPECT_TRUE(MutexIsLocked(m.get()));
  bool otherSees = true;
  std::thread([&] { otherSees = MutexIsLocked(m.get()); }).join();
  EXPECT_FALSE(otherSees);

  bool ready = false;
  std::atomic<bool> started{false};
  ASSERT_TRUE(ThreadStart([&] {
    started = true;
    MutexLock(m.get());
    ready = true;
    ConditionSignal(c.get());
    MutexUnlock(m.get());
  }));
  while (!ready) ConditionWait(c.get());
  EXPECT_TRUE(MutexIsLocked(m.get()));
  EXPECT_TRUE(started);
  MutexUnlock(m.get());
  EXPECT_FALSE(MutexIsLocked(m.get()));
  MutexLock(m.get());  // the helper is done with the mutex after this
  MutexUnlock(m.get());
  ConditionDestroy(c);
  MutexDestroy(m);
  EXPECT_EQ(MutexCount, before);
  EXPECT_EQ(m, nullptr);
}

}  // namespace
