// The event loop's control flow, the package framework, the memory probe and
// the halt handler, driven directly.  Each case runs in a child process
// because it changes process-wide state or ends the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>

#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "Ql.h"
#include "Qu.h"
#include "Thread.h"
#include "child.h"
#include "quil_process.h"

using namespace quil;
using quiltest::RunInChild;

namespace {

void Say(const std::string& s) { (void)!write(1, s.data(), s.size()); }

// Packages and the loop as main sets them up, in the run phase.
void StartLoop() {
  HtInitRtns(kPkgInit, kPkgVersion);
  QuInitRtns(kPkgInit, kPkgVersion);
  QlInstallLoop();
  WfConfigure().programName = "quil";
  WfConfigure().running = true;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

int passes = 0;

TEST(ServerLoop, ThreeHundredReportedErrorsInARowEndTheProcess) {
  auto r = RunInChild([] {
    StartLoop();
    HtLoopHookAdd(HtLoopStage::kBeforeWait, [] {
      Wf_err_exit(kWfCodeSystem, -1, "boom %d", ++passes);
    });
    QlServerLoop(-1, 0, false);
    Say("loop returned\n");
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
  // 300 errors, the final report and the note that nothing handles it.
  EXPECT_EQ(Count(r.out, "\nError reported by the server:\n"), 302u);
  EXPECT_NE(r.out.find("Exiting because no error handler is installed"),
            std::string::npos);
  EXPECT_NE(r.out.find("quil error: boom 300\n"), std::string::npos);
  EXPECT_EQ(r.out.find("boom 301"), std::string::npos);
  EXPECT_NE(r.out.find("quil error: 300 repeated errors.  Exit from program.\n"),
            std::string::npos);
  EXPECT_EQ(r.out.find("loop returned"), std::string::npos);
}

TEST(ServerLoop, ANormalPassStartsTheCountAgain) {
  auto r = RunInChild([] {
    StartLoop();
    HtLoopHookAdd(HtLoopStage::kBeforeWait, [] {
      ++passes;
      if (passes == 600) quitFlag = true;
      if (passes % 250 != 0)
        Wf_err_exit(kWfCodeSystem, -1, "boom %d", passes);
    });
    // A normal pass that finds nothing ends the bounded loop: loop again.
    while (!quitFlag) QlServerLoop(-1, 0, false);
    Say("returned after " + std::to_string(passes) + "\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("returned after 600"), std::string::npos);
}

TEST(ServerLoop, QuietErrorsAreNeitherWrittenNorCounted) {
  auto r = RunInChild([] {
    StartLoop();
    HtLoopHookAdd(HtLoopStage::kBeforeWait, [] {
      if (++passes == 400) quitFlag = true;
      Wf_err_exit(kWfCodeClient, -1, "client gone");
    });
    QlServerLoop(-1, 0, false);
    Say("returned " + std::to_string(QlErrorsInRow) + " " +
        std::to_string(Wf.reportDepth) + "\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "returned 0 0\n");
}

TEST(ServerLoop, ErrorsWhileQuittingUnwindSilently) {
  auto r = RunInChild([] {
    StartLoop();
    HtLoopHookAdd(HtLoopStage::kBeforeWait, [] {
      quitFlag = true;
      Wf_err_exit(kWfCodeSystem, -1, "not shown");
    });
    QlServerLoop(-1, -1, true);
    Say("returned with " + std::to_string(ExLastError) + "\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "returned with 2401\n");
}

TEST(ServerLoop, OtherExceptionsPassOnUnlessQuitting) {
  auto r = RunInChild([] {
    StartLoop();
    HtLoopHookAdd(HtLoopStage::kBeforeWait, [] {
      if (++passes == 2) quitFlag = true;
      ExRaise(2450);
    });
    bool normal = ExTry([] { QlServerLoop(-1, 0, false); });
    Say(normal ? "returned\n" : "raised " + std::to_string(ExLastError) + "\n");
    normal = ExTry([] { QlServerLoop(-1, 0, false); });
    Say(normal ? "returned\n" : "raised again\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "raised 2450\nreturned\n");
}

TEST(ServerLoop, DueCallbacksRunWithoutWaitingAndAnIdleBoundedLoopReturns) {
  auto r = RunInChild([] {
    StartLoop();
    HtLoopHookAdd(HtLoopStage::kAfterWait, [] { ++passes; });
    QuRamAdd(0, [](intptr_t, int32_t) { Say("ran\n"); }, 0);
    QlServerLoop(-1, 0, false);
    Say("passes " + std::to_string(passes) + "\n");
  });
  EXPECT_EQ(r.status, 0);
  // One pass served the due callback, the next found nothing and returned.
  EXPECT_EQ(r.out, "ran\npasses 1\n");
}

TEST(ServerLoop, AWaitEndsForAReadyDescriptorOrTheNextTimer) {
  auto r = RunInChild([] {
    StartLoop();
    static int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0) _exit(9);
    HtFdWatch(fds[0], kHtRead, [](int fd, unsigned ready) {
      char c;
      while (read(fd, &c, 1) == 1) Say(std::string("got ") + c + "\n");
      if (ready != kHtRead) Say("bad ready\n");
    });
    (void)!write(fds[1], "x", 1);
    QlServerLoop(-1, -1, true);
    int64_t before = SysTime();
    QuRamAdd(30, [](intptr_t, int32_t) {}, 0);
    QlServerLoop(-1, -1, true);  // blocks until the callback is due
    Say(SysTime() - before >= 30 ? "waited\n" : "too soon\n");
    QuProcess(100, 0);
    HtFdUnwatch(fds[0]);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "got x\nwaited\n");
}

TEST(Author, MemoryBudgetSplits) {
  uint32_t heap = 0, pages = 0;
  const uint32_t kDefaultBudget = 50 * 4096 + 460000;
  AppChPages = 50;
  AppSmallObjHeap = 460000;
  AppHeapIsUserSpecified = false;

  HtSetMemSize(kDefaultBudget);
  ASSERT_TRUE(AuthorGetMemConfig(&heap, &pages));
  EXPECT_EQ(pages, 50u);
  EXPECT_EQ(heap, 460000u);

  HtSetMemSize(kDefaultBudget - 1);  // below the minimum
  ASSERT_TRUE(AuthorGetMemConfig(&heap, &pages));
  EXPECT_EQ(pages, AppMinChPages);
  EXPECT_EQ(heap, AppMinSmallObjHeap);

  HtSetMemSize(kDefaultBudget + 4096);  // the heap lacks: pages give way
  ASSERT_TRUE(AuthorGetMemConfig(&heap, &pages));
  EXPECT_EQ(pages, 51u);
  EXPECT_EQ(heap, 460000u);

  HtSetMemSize(30000000);  // two thirds in an even number of pages
  ASSERT_TRUE(AuthorGetMemConfig(&heap, &pages));
  EXPECT_EQ(pages, 2u * ((30000000u * 2 / 3) / 8192));
  EXPECT_EQ(heap, 30000000u - pages * 4096);

  AppHeapIsUserSpecified = true;
  AppChPages = 100;
  AppSmallObjHeap = 1000000;
  ASSERT_TRUE(AuthorGetMemConfig(&heap, &pages));
  EXPECT_EQ(pages, 100u);
  EXPECT_EQ(heap, 30000000u - 100 * 4096);

  AppChPages = 3;  // raised to the minimum first
  AppSmallObjHeap = 10;
  HtSetMemSize(kDefaultBudget);
  ASSERT_TRUE(AuthorGetMemConfig(&heap, &pages));
  EXPECT_EQ(AppChPages, 50u);
  EXPECT_EQ(AppSmallObjHeap, 460000u);
  AppHeapIsUserSpecified = false;
}

TEST(Author, PackagesStartAndStopAgainForARestart) {
  auto r = RunInChild([] {
    HtInitRtns(kPkgInit, kPkgVersion);
    for (int pass = 0; pass < 3; ++pass) {
      if (!AuthorInit(true, false, true, false)) _exit(2);
      if (!QuDebugFlag || !ThreadDebugFlag) _exit(3);
      QuRamAdd(0, [](intptr_t, int32_t) { Say("tick\n"); }, 0);
      QuProcess(100, 0);
      AuthorTerm();
    }
    // Terminated packages refuse a second termination while checking.
    QuInitRtns(kPkgTerm, 0);
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out, "tick\ntick\ntick\nQuInitRtns-- Pkg not init\n");
}

TEST(MemoryProbe, TheFirstOpenAsksForARestartAndResetMemForAnExit) {
  quiltest::ScratchDir dir;
  std::string path = dir.path();
  auto r = RunInChild([&] {
    if (chdir(path.c_str()) != 0) _exit(9);
    HtInitRtns(kPkgInit, kPkgVersion);
    if (!AuthorInit(true, false, true, false)) _exit(8);
    if (!ForumDbOpen() || !restartFlag || !quitFlag || FirstTime) _exit(2);
    ForumDbClose();
    restartFlag = false;
    quitFlag = false;
    if (!ForumDbOpen() || restartFlag || quitFlag) _exit(3);
    ForumDbClose();
    if (ForumDbOpenCount != 2) _exit(4);
    // -resetmem: minimum settings stored, and no restart.
    FirstTime = true;
    ZapMem = ExitAfterZapMem = true;
    AppChPages = 90;
    if (!ForumDbOpen() || restartFlag || !quitFlag || ZapMem) _exit(5);
    ForumDbClose();
    if (!AppHeapIsUserSpecified || AppChPages != AppMinChPages) _exit(6);
    if (HtGetMemFree() != AppMinChPages * 4096 + AppMinSmallObjHeap) _exit(7);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
}

TEST(Halt, TheHaltHandlerLogsRemovesTheLockFileAndAborts) {
  quiltest::ScratchDir dir;
  std::string path = dir.path();
  auto r = RunInChild([&] {
    if (chdir(path.c_str()) != 0) _exit(9);
    UxInitSystem(false, false, "", "quil.lock", false, "Client", nullptr);
    if (access("quil.lock", F_OK) != 0) _exit(10);
    MaSetHaltFn(QlHaltQuil);
    MaSetAssertFn(QlHaltQuil);
    MaSetTermSystemFn(UxTermSystem);
    HtFatalReg([] { Say("cleanup\n"); });
    MA_CHECK(true, 1 == 2, "ForumTest-- one is not two");
  });
  EXPECT_EQ(r.signal, SIGABRT);
  static const std::regex kTime("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                                "[0-9:]{8} [0-9]{4}");
  EXPECT_EQ(std::regex_replace(r.out, kTime, "<time>"),
            "\nError while initializing the server:\n<time> ForumTest-- one is "
            "not two\n\ncleanup\n");
  EXPECT_FALSE(dir.Exists("quil.lock"));
}

}  // namespace
