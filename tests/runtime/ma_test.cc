// Halts: handlers, default message, clean-up list, recursion guards and the
// package protocol helper.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "Ma.h"
#include "child.h"

using namespace quil;
using quiltest::RunInChild;

namespace {

void Say(const char* s) { (void)!write(1, s, strlen(s)); }

TEST(MaHalt, HandlerGetsMessageThenCleanupsRunNewestFirst) {
  auto r = RunInChild([] {
    MaSetHaltFn([](const char* m) { Say("handler:"); Say(m); Say("\n"); });
    HtFatalReg([] { Say("first\n"); });
    HtFatalReg([] { Say("second\n"); });
    MaSetTermSystemFn([] { Say("term\n"); });
    MaHalt("stopping");
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out, "handler:stopping\nsecond\nfirst\nterm\n");
}

TEST(MaHalt, DeregisteredCleanupDoesNotRun) {
  auto r = RunInChild([] {
    MaCleanupFn a = [] { Say("a\n"); };
    HtFatalReg(a);
    HtFatalReg([] { Say("b\n"); });
    HtFatalDereg(a);
    MaSetHaltFn([](const char*) {});
    MaHalt("x");
  });
  EXPECT_EQ(r.out, "b\n");
}

TEST(MaHalt, MissingMessageGetsDefault) {
  auto r = RunInChild([] {
    MaSetHaltFn([](const char* m) { Say(m); });
    MaHalt(static_cast<const char*>(nullptr));
  });
  EXPECT_EQ(r.out, "Possibly fatal error\xD1 continue at your own risk");
}

TEST(MaHalt, AssertionsGoToAssertHandlerAndMemHaltHasItsText) {
  auto r = RunInChild([] {
    MaSetHaltFn([](const char*) { Say("wrong handler"); });
    MaSetAssertFn([](const char* m) { Say("assert:"); Say(m); });
    MaAssertFailure("Foo-- bar");
  });
  EXPECT_EQ(r.out, "assert:Foo-- bar");
  r = RunInChild([] {
    MaSetHaltFn([](const char* m) { Say(m); });
    MaMemHalt();
  });
  EXPECT_EQ(r.out, "Heap package-- Out of memory");
  r = RunInChild([] {
    MaSetHaltFn([](const char* m) { Say(m); });
    MaAlert("title", "alert text");
  });
  EXPECT_EQ(r.out, "alert text");
}

TEST(MaHalt, HaltInsideHandlerAbortsWithoutCleanups) {
  auto r = RunInChild([] {
    HtFatalReg([] { Say("cleanup\n"); });
    MaSetHaltFn([](const char* m) {
      Say(m);
      MaHalt("again");
    });
    MaHalt("once");
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out, "once");
}

TEST(MaHalt, HaltInsideCleanupAbortsAndCleanupsRunOnce) {
  auto r = RunInChild([] {
    HtFatalReg([] { Say("outer\n"); });
    HtFatalReg([] {
      Say("inner\n");
      MaHalt("from cleanup");
    });
    MaSetHaltFn([](const char*) {});
    MaHalt("first");
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out, "inner\n");
}

TEST(MaHalt, HaltedFlag) {
  auto r = RunInChild([] {
    MaSetHaltFn([](const char*) {
      Say(MaHasHalted ? "set" : "clear");
      Say(MaHalted() ? "|was" : "|not");
      Say(MaHasHalted ? "|set" : "|clear");
    });
    MaHalt("x");
  });
  EXPECT_EQ(r.out, "set|was|clear");
}

struct Counters {
  int init = 0, term = 0, init2 = 0;
} counters;
PkgState pkg;
const PkgSteps kSteps = {
    [] { ++counters.init; return uint16_t(7); },
    [] { ++counters.term; },
    [] { ++counters.init2; },
    nullptr,
    false,
};

TEST(Pkg, DispatchRunsStepsAndKeepsFlags) {
  pkg = {};
  counters = {};
  EXPECT_EQ(PkgDispatch(pkg, "TsInitRtns", kPkgDebug, 1, kSteps), 0);
  EXPECT_TRUE(pkg.debug);
  EXPECT_EQ(PkgDispatch(pkg, "TsInitRtns", kPkgInit, kPkgVersion, kSteps), 7);
  EXPECT_TRUE(pkg.inited);
  PkgDispatch(pkg, "TsInitRtns", kPkgInit2, 0, kSteps);
  EXPECT_EQ(PkgDispatch(pkg, "TsInitRtns", kPkgTerm, 0, kSteps), 0);
  EXPECT_FALSE(pkg.inited);
  EXPECT_EQ(counters.init, 1);
  EXPECT_EQ(counters.init2, 1);
  EXPECT_EQ(counters.term, 1);
}

TEST(Pkg, ChecksOnlyWhileDebugIsSet) {
  pkg = {};
  // Without the debug flag a double init is not checked.
  PkgDispatch(pkg, "TsInitRtns", kPkgInit, 3, kSteps);
  PkgDispatch(pkg, "TsInitRtns", kPkgInit, kPkgVersion, kSteps);
  auto r = RunInChild([] {
    pkg = {};
    pkg.debug = true;
    PkgDispatch(pkg, "QuInitRtns", kPkgInit, kPkgVersion, kSteps);
    PkgDispatch(pkg, "QuInitRtns", kPkgInit, kPkgVersion, kSteps);
  });
  EXPECT_NE(r.out.find("QuInitRtns-- Pkg already init"), std::string::npos) << r.out;
  r = RunInChild([] {
    pkg = {};
    pkg.debug = true;
    PkgDispatch(pkg, "QuInitRtns", kPkgInit, 20, kSteps);
  });
  EXPECT_NE(r.out.find("QuInitRtns-- Wrong version"), std::string::npos) << r.out;
  r = RunInChild([] {
    pkg = {};
    pkg.debug = true;
    PkgDispatch(pkg, "QuInitRtns", kPkgTerm, 0, kSteps);
  });
  EXPECT_NE(r.out.find("QuInitRtns-- Pkg not init"), std::string::npos) << r.out;
  // Selectors a package does not have halt like unknown ones.
  for (int sel : {4, 6, 0, 9}) {
    r = RunInChild([sel] { PkgDispatch(pkg, "QuInitRtns", sel, 0, kSteps); });
    EXPECT_NE(r.out.find("QuInitRtns-- Selector"), std::string::npos) << sel;
  }
}

}  // namespace
