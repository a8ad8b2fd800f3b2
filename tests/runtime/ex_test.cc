// Exception frames: raise, absorb, pass on, limits, save and restore.
#include <gtest/gtest.h>

#include <csignal>

#include "Ex.h"
#include "Ma.h"
#include "child.h"

using namespace quil;
using quiltest::RunInChild;

namespace {

class ExTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExSync(), 0);
    ExDebugFlag = true;
    ExcepWarnFlag = 1;
  }
  void TearDown() override { EXPECT_EQ(ExSync(), 0); }
};

TEST_F(ExTest, FramesCatchAbsorbAndPassOn) {
  // A raise arrives at the frame with its code and the frame closed; the
  // normal path closes it too.
  int depth = -1;
  EXPECT_FALSE(ExTry([] { ExRaise(2400); }));
  EXPECT_EQ(ExLastError, 2400);
  EXPECT_EQ(ExSync(), 0);
  EXPECT_TRUE(ExTry([&] { depth = ExSync(); }));
  EXPECT_EQ(depth, 1);
  // An inner frame absorbs; the outer one never sees it.
  EXPECT_TRUE(ExTry([] {
    EXPECT_FALSE(ExTry([] { ExRaise(2450); }));
    EXPECT_EQ(ExSync(), 1);
  }));
  // A handler passes the code outward.
  EXPECT_FALSE(ExTry([] {
    if (!ExTry([] { ExRaise(2300); })) ExRaise(ExLastError);
    ADD_FAILURE() << "the re-raise must not return";
  }));
  EXPECT_EQ(ExLastError, 2300);
  // A bare frame guard is unwound by the outer catch.
  EXPECT_FALSE(ExTry([] {
    ExFrame guard;
    EXPECT_EQ(ExSync(), 2);
    ExRaise(5);
  }));
  EXPECT_EQ(ExLastError, 5);
}

TEST_F(ExTest, ExpectedCodes) {
  for (int c : {1, 17, 200, 299, 2050, 2201, 2300, 2400, 2401, 2499})
    EXPECT_TRUE(ExIsExpectedCode(c)) << c;
  for (int c : {0, -1, 18, 100, 199, 300, 2049, 2200, 2299, 2500})
    EXPECT_FALSE(ExIsExpectedCode(c)) << c;
}

TEST_F(ExTest, WarningsOffAllowUnexpectedCodesAndTheSwitchReturnsThePrevious) {
  EXPECT_EQ(ExWarningMsg(0), 1);
  EXPECT_EQ(ExWarningMsg(1), 0);
  {
    ExQuietScope quiet;
    EXPECT_EQ(ExcepWarnFlag, 0);
    EXPECT_FALSE(ExTry([] { ExRaise(100); }));
    EXPECT_EQ(ExLastError, 100);
  }
  EXPECT_EQ(ExcepWarnFlag, 1);
}

TEST_F(ExTest, SaveWithNoFrameIsNoneAndRestoreOfNoneDoesNothing) {
  ExSaved saved = ExSave();
  EXPECT_TRUE(saved.IsNone());
  EXPECT_EQ(saved.Count(), -3);
  ExRestore(std::move(saved));
  EXPECT_EQ(ExSync(), 0);
}

TEST_F(ExTest, SaveEmptiesStackAndRestorePutsFramesBack) {
  bool normal = ExTry([] {
    ExTry([] {
      ExSaved saved = ExSave();
      EXPECT_EQ(saved.Count(), 2);
      EXPECT_EQ(ExSync(), 0);
      // Another thread's work would run here with an empty stack.
      EXPECT_FALSE(ExTry([] { ExRaise(2401); }));
      ExRestore(std::move(saved));
      EXPECT_EQ(ExSync(), 2);
      ExRaise(2402);
    });
    EXPECT_EQ(ExLastError, 2402);
    EXPECT_EQ(ExSync(), 1);
  });
  EXPECT_TRUE(normal);
}

TEST_F(ExTest, CheckAndSync) {
  EXPECT_TRUE(ExCheck(0));
  EXPECT_FALSE(ExCheck(1));
  ExDebugFlag = false;
  EXPECT_TRUE(ExCheck(3));
  ExDebugFlag = true;
}

// --- Halting paths, each in a child process --------------------------------

TEST(ExDeath, UnexpectedCodeHaltsWithWarning) {
  auto r = RunInChild([] { ExTry([] { ExRaise(0); }); });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.out.find("Warning: an exception has been generated, error code: 0"),
            std::string::npos)
      << r.out;
  r = RunInChild([] { ExTry([] { ExRaise(-7); }); });
  EXPECT_NE(r.out.find("error code: -7"), std::string::npos) << r.out;
}

TEST(ExDeath, RaiseWithoutFrameHalts) {
  auto r = RunInChild([] { ExRaise(2400); });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.out.find("ExcepPkg:ExRaise - No context handler, ExLastError = 2400"),
            std::string::npos)
      << r.out;
}

void Nest(int n) {
  if (n == 0) return;
  ExFrame f;
  Nest(n - 1);
}

TEST(ExDeath, Frame128IsAnAssertion) {
  auto ok = RunInChild([] { Nest(127); });
  EXPECT_TRUE(ok.exited) << ok.out;
  auto r = RunInChild([] { Nest(128); });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.out.find("ExPushContext-- No more exception contexts"), std::string::npos);
}

TEST(ExDeath, RestoreOverOpenFrameIsAnAssertion) {
  auto r = RunInChild([] {
    ExSaved saved;
    ExTry([&] { saved = ExSave(); });
    ExTry([&] { ExRestore(std::move(saved)); });
  });
  EXPECT_NE(r.out.find("ExRestore-- there is already a context in place"),
            std::string::npos)
      << r.out;
}

// The package protocol itself is tested in ma_test (PkgDispatch); here
// only the exception package's own term check.
TEST(ExDeath, TermWithAFrameOpenHalts) {
  auto r = RunInChild([] {
    ExInitRtns(kPkgInit, kPkgVersion);
    ExFrame open;
    ExInitRtns(kPkgTerm, 0);
  });
  EXPECT_NE(r.out.find("ExTerm-- Exception handlers exist"), std::string::npos) << r.out;
  r = RunInChild([] {
    ExInitRtns(kPkgInit, kPkgVersion);
    ExInitRtns(kPkgTerm, 0);
  });
  EXPECT_TRUE(r.exited) << r.out;
}

}  // namespace
