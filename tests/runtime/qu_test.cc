// The RAM queue: ordering, cancelling, blocking, delays, budgets and
// background passes, on a simulated clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Thread.h"

using namespace quil;

namespace {

int64_t fakeNow = 1000;
int64_t FakeClock() { return fakeNow; }

std::vector<std::string> ran;
void Record(intptr_t argument, int32_t) {
  ran.push_back(std::string(1, char(argument)));
}

class QuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeNow = 1000;
    HtSetTimeFn(FakeClock);
    QuInitRtns(kPkgDebug, 1);
    QuInitRtns(kPkgInit, kPkgVersion);
    ran.clear();
  }
  void TearDown() override {
    QuInitRtns(kPkgTerm, 0);
    QuSetPersistentFn(nullptr);
    QuSetSessionPendingFn(nullptr);
    QuSetBgSaveActiveFn(nullptr);
    HtSetIdleFn(nullptr);
    HtSetTimeFn(nullptr);
    ForumWaiting = 0;
  }
  static std::string Run() {
    ran.clear();
    QuProcess(100, 0);
    std::string s;
    for (auto& r : ran) s += r;
    return s;
  }
};

TEST_F(QuTest, EqualDueTimesRunInTheOrderAdded) {
  QuRamAdd(5, Record, 'a');
  QuRamAdd(5, Record, 'b');
  QuRamAdd(3, Record, 'c');
  QuRamAdd(5, Record, 'd');
  QuRamAdd(9, Record, 'e');
  fakeNow += 4;
  EXPECT_EQ(Run(), "c");
  fakeNow += 1;
  EXPECT_EQ(Run(), "abd");
  EXPECT_EQ(QuRamDelay(), 4);
  fakeNow += 10;
  EXPECT_EQ(Run(), "e");
  EXPECT_EQ(QuRamDelay(), kQuNoDelay);
}

TEST_F(QuTest, InsertingBetweenEntriesKeepsLaterDueTimes) {
  QuRamAdd(10, Record, 'a');
  QuRamAdd(30, Record, 'c');
  fakeNow += 5;
  QuProcess(100, 0);  // nothing due: the front delta shrinks
  QuRamAdd(15, Record, 'b');  // due at 20, between a and c
  fakeNow += 5;
  EXPECT_EQ(Run(), "a");
  fakeNow += 9;
  EXPECT_EQ(Run(), "");
  fakeNow += 1;
  EXPECT_EQ(Run(), "b");
  EXPECT_EQ(QuRamDelay(), 10);
  fakeNow += 10;
  EXPECT_EQ(Run(), "c");
}

TEST_F(QuTest, KillingTheFirstOfTwoKeepsTheSecondsDueTime) {
  int32_t first = QuRamAdd(10, Record, 'a');
  QuRamAdd(10, Record, 'b');
  QuRamKill(first);
  fakeNow += 9;
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(QuRamDelay(), 1);
  fakeNow += 1;
  EXPECT_EQ(Run(), "b");
}

TEST_F(QuTest, KillingAMiddleOrLastEntryKeepsTheOthers) {
  QuRamAdd(5, Record, 'a');
  int32_t b = QuRamAdd(10, Record, 'b');
  int32_t c = QuRamAdd(15, Record, 'c');
  QuRamKill(b);
  QuRamKill(c);
  QuRamAdd(20, Record, 'd');  // appended after a killed tail
  QuRamKill(12345);           // unknown: nothing happens
  fakeNow += 5;
  EXPECT_EQ(Run(), "a");
  fakeNow += 14;
  EXPECT_EQ(Run(), "");
  fakeNow += 1;
  EXPECT_EQ(Run(), "d");
}

TEST_F(QuTest, KillingABlockedEntryDropsItsMask) {
  int32_t x = QuRamBlock(Record, 'x', kQuBlockBgPass);
  QuRamBlock(Record, 'y', kQuBlockRequest);
  EXPECT_EQ(QuRamBlockFlags, kQuBlockRequest | kQuBlockBgPass);
  QuRamKill(x);
  EXPECT_EQ(QuRamBlockFlags, kQuBlockRequest);
  QuRamUnblock(kQuBlockRequest | kQuBlockBgPass);
  EXPECT_EQ(Run(), "y");
}

TEST_F(QuTest, MaskThreeNeedsBothActivitiesToEnd) {
  QuRamBlock(Record, 'x', kQuBlockRequest | kQuBlockBgPass);
  QuRamUnblock(kQuBlockRequest);
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(QuRamBlockFlags, kQuBlockBgPass);
  QuRamUnblock(kQuBlockRequest);  // again: still waiting for the other
  EXPECT_EQ(Run(), "");
  QuRamUnblock(kQuBlockBgPass);
  EXPECT_EQ(QuRamBlockFlags, 0u);
  EXPECT_EQ(Run(), "x");
}

TEST_F(QuTest, ReleasedCallbacksRunAfterDueOnesAndBeforeLaterOnes) {
  QuRamAdd(0, Record, 'a');
  QuRamAdd(3, Record, 'z');
  QuRamBlock(Record, 'r', kQuBlockRequest);
  QuRamBlock(Record, 's', kQuBlockRequest);
  QuRamUnblock(kQuBlockRequest);
  EXPECT_EQ(QuRamDelay(), 0);
  EXPECT_EQ(Run(), "ars");
  fakeNow += 3;
  EXPECT_EQ(Run(), "z");
}

TEST_F(QuTest, DelayCapsAndSpecialStates) {
  EXPECT_EQ(QuRamDelay(), kQuNoDelay);
  QuRamAdd(500, Record, 'a');
  EXPECT_EQ(QuRamDelay(), 500);
  ForumWaiting = 1;
  EXPECT_EQ(QuRamDelay(), kQuWaitingCap);
  ForumWaiting = 0;
  QuSetBgSaveActiveFn([] { return true; });
  EXPECT_EQ(QuRamDelay(), kQuBgSaveCap);
  QuSetBgSaveActiveFn(nullptr);
  fakeNow += 600;
  EXPECT_EQ(QuRamDelay(), 0);  // overdue

  QuBgActive = true;
  EXPECT_EQ(QuRamDelay(), 0);
  QuSetSessionPendingFn([] { return true; });
  EXPECT_EQ(QuRamDelay(), 1);
  QuBgActive = false;
}

TEST_F(QuTest, ProcessStopsWhenItsBudgetIsUsed) {
  auto slow = [](intptr_t argument, int32_t) {
    fakeNow += 60;
    ran.push_back(std::string(1, char(argument)));
  };
  QuRamAdd(0, slow, 'a');
  QuRamAdd(0, slow, 'b');
  QuRamAdd(0, slow, 'c');
  EXPECT_EQ(Run(), "ab");
  EXPECT_EQ(QuRamDelay(), 0);
  EXPECT_EQ(Run(), "c");
}

TEST_F(QuTest, ProcessAlternatesTheOrderOfItsHalves) {
  static std::string order;
  order.clear();
  QuSetPersistentFn([](int64_t, int32_t) {
    order += "P";
    return int32_t(0);
  });
  for (int i = 0; i < 4; ++i) {
    QuRamAdd(0, [](intptr_t, int32_t) { order += "R"; }, 0);
    QuProcess(100, 0);
    order += "|";
  }
  // The first call runs the RAM queue first, the second the persistent one.
  EXPECT_EQ(order, "RP|PR|RP|PR|");
}

TEST_F(QuTest, BackgroundCheckRunsEveryEleventhCallAfterTheInterval) {
  static int idles = 0;
  static int32_t delayInside = -1;
  idles = 0;
  HtSetIdleFn([](bool wait) {
    EXPECT_FALSE(wait);
    EXPECT_TRUE(QuBgActive);
    delayInside = QuRamDelay();
    ++idles;
  });
  for (int i = 0; i < 30; ++i) QuBgCk();
  EXPECT_EQ(idles, 0);  // not allowed yet
  QuBgRun(true);
  fakeNow += 100;
  for (int i = 0; i < 10; ++i) QuBgCk();
  EXPECT_EQ(idles, 0);
  QuRamBlock(Record, 'x', kQuBlockBgPass);
  QuBgCk();  // the 11th call
  EXPECT_EQ(idles, 1);
  EXPECT_EQ(delayInside, 0);
  EXPECT_FALSE(QuBgActive);
  EXPECT_EQ(QuBgPasses, 1);
  EXPECT_EQ(QuRamBlockFlags, 0u);  // the pass ended: bit 2 released...
  EXPECT_TRUE(ran.empty());        // ...after its own queue work
  for (int i = 0; i < 11; ++i) QuBgCk();
  EXPECT_EQ(idles, 1);  // less than 50 ms since the last pass
  fakeNow += 50;
  for (int i = 0; i < 11; ++i) QuBgCk();
  EXPECT_EQ(idles, 2);
  ASSERT_EQ(ran.size(), 1u);  // the released callback ran in the next pass
  QuBgRun(false);
  fakeNow += 100;
  for (int i = 0; i < 30; ++i) QuBgCk();
  EXPECT_EQ(idles, 2);
}

}  // namespace
