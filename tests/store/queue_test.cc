// The persistent queue: entries in chunks run by priority from QuProcess,
// alternating with the RAM queue; deferred entries by tick deadline and by
// calendar; dequeueing; a random model that keeps the trees balanced; and
// entries that outlive their process.
#include <cmath>
#include <map>
#include <random>

#include "QuPersist.h"
#include "bgsave_test_util.h"

using namespace quil;
using storetest::fakeNow;

namespace {

int32_t fakeDate = 20260115, fakeTime = 120000;
void FakeCalendar(int32_t* date, int32_t* time) {
  *date = fakeDate;
  *time = fakeTime;
}

constexpr int32_t kRoutine = 7;
std::vector<std::pair<ChHandle, int32_t>> ran;
void Record(ChHandle chunk, int32_t slot) { ran.push_back({chunk, slot}); }

class Queue : public storetest::BgSaveTest {
 protected:
  bool FakeClock() const override { return true; }

  void SetUp() override {
    storetest::BgSaveTest::SetUp();
    ASSERT_EQ(QuPersistInitRtns(kPkgInit, kPkgVersion), 0);
    QuRoutineSet(kRoutine, Record);
    QuSetCalendarFn(FakeCalendar);
    fakeDate = 20260115;
    fakeTime = 120000;
    ran.clear();
    part_ = NewPart();
  }

  void TearDown() override {
    QuSetCalendarFn(nullptr);
    (void)QuPersistInitRtns(kPkgTerm, 0);
    storetest::BgSaveTest::TearDown();
  }

  // A chunk with room for slots entries, each created with its priority.
  ChHandle Entries(const std::vector<int32_t>& priorities) {
    ChHandle h;
    void* data = ChCreate(kUtTypeRaw, uint32_t(priorities.size() * kQuEntrySize),
                          ChPartNear(part_), &h);
    ChUnlockMod(data);
    for (size_t i = 0; i < priorities.size(); ++i)
      QuCreateEntry(h, kRoutine, priorities[i], int32_t(i));
    return h;
  }

  std::vector<int32_t> RanPriorities(ChHandle h) {
    std::vector<int32_t> out;
    for (auto [chunk, slot] : ran) {
      EXPECT_EQ(chunk, h);
      out.push_back(static_cast<const QuEntry*>(ChDeref(h))[slot].priority);
    }
    return out;
  }

  ChPart part_ = 0;
};

TEST_F(Queue, ReadyEntriesRunHighestPriorityFirst) {
  std::vector<int32_t> priorities = {5, 1, 9, 5, 3, 9, 0, -2, 7};
  ChHandle h = Entries(priorities);
  for (int32_t slot = 0; slot < int32_t(priorities.size()); ++slot) QuEnqueue(h, slot);
  QuEnqueue(h, 2);  // queued already: nothing
  EXPECT_EQ(QuReadyCount(), 9);
  QuPersistCheck();
  EXPECT_EQ(QuProcess(100, 0), 8);  // priorities below 0 wait
  EXPECT_EQ(RanPriorities(h), (std::vector<int32_t>{9, 9, 7, 5, 5, 3, 1, 0}));
  EXPECT_TRUE(QuIsQueued(h, 7));
  EXPECT_FALSE(QuIsQueued(h, 2));
  EXPECT_EQ(static_cast<const QuEntry*>(ChDeref(h))[2].state, kQuIdle);
  EXPECT_EQ(static_cast<const QuEntry*>(ChDeref(h))[2].node, kQuNoNode);
  EXPECT_EQ(QuProcess(100, -5), 1);
  EXPECT_EQ(QuReadyCount(), 0);
  // Dequeued entries do not run.
  for (int32_t slot = 0; slot < 4; ++slot) QuEnqueue(h, slot);
  QuDequeue(h, 1);
  QuDequeue(h, 1);  // not queued: nothing
  QuDequeue(h, 2);
  EXPECT_FALSE(QuIsQueued(h, 1));
  ran.clear();
  QuProcess(100, 0);
  EXPECT_EQ(RanPriorities(h), (std::vector<int32_t>{5, 5}));
}

TEST_F(Queue, DeferredEntriesWaitForTheirTime) {
  ChHandle h = Entries({1, 2, 3, 4, 5});
  QuEnqueueDeferred(h, fakeDate, 120002, 0);       // today, in 2 seconds
  QuEnqueueDeferred(h, fakeDate, 115959, 1);       // today, a second ago
  QuEnqueueDeferred(h, fakeDate - 1, 235959, 2);   // yesterday
  QuEnqueueDeferred(h, fakeDate + 1, 10000, 3);    // tomorrow at one
  QuEnqueueDeferred(h, kQuNoDate, kQuNoDate, 4);   // no date: ready now
  EXPECT_EQ(QuDeferredCount(), 4);
  EXPECT_EQ(QuReadyCount(), 1);
  QuPersistCheck();
  QuProcess(100, 0);
  EXPECT_EQ(RanPriorities(h), (std::vector<int32_t>{5, 3, 2}));
  ran.clear();
  fakeNow += 1999;
  QuProcess(100, 0);
  EXPECT_TRUE(ran.empty());
  fakeNow += 1;
  QuProcess(100, 0);
  EXPECT_EQ(RanPriorities(h), std::vector<int32_t>{1});
  // Tomorrow's entry goes by the calendar, not by ticks.
  ran.clear();
  fakeNow += 86400 * 1000;
  QuProcess(100, 0);
  EXPECT_TRUE(ran.empty());
  fakeDate += 1;
  fakeTime = 9999;
  QuProcess(100, 0);
  EXPECT_TRUE(ran.empty());
  fakeTime = 10000;
  QuProcess(100, 0);
  EXPECT_EQ(RanPriorities(h), std::vector<int32_t>{4});
  EXPECT_EQ(QuDeferredCount(), 0);
}

TEST_F(Queue, ADateWithoutATimeHalts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ChHandle h = Entries({1});
  EXPECT_DEATH(QuEnqueueDeferred(h, fakeDate, kQuNoDate, 0),
               "QuEnqueueDeferred-- bad date/time");
  EXPECT_DEATH(QuEnqueueDeferred(h, kQuNoDate, 120000, 0),
               "QuEnqueueDeferred-- bad date/time");
  EXPECT_DEATH(QuEnqueue(h, 1), "QuLock-- slot outside the chunk");
}

std::vector<std::string> order;
void RamStep(intptr_t, int32_t) { order.push_back("ram"); }
void PersistentStep(ChHandle, int32_t) { order.push_back("persistent"); }

TEST_F(Queue, QuProcessAlternatesBetweenTheTwoQueues) {
  QuRoutineSet(kRoutine, PersistentStep);
  ChHandle h = Entries({1, 1});
  order.clear();
  QuRamAdd(0, RamStep, 0);
  QuEnqueue(h, 0);
  QuProcess(100, 0);
  QuRamAdd(0, RamStep, 0);
  QuEnqueue(h, 1);
  QuProcess(100, 0);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_NE(order[0], order[2]);  // the other queue went first
  EXPECT_NE(order[0], order[1]);
}

void Requeue(ChHandle chunk, int32_t slot) {
  ran.push_back({chunk, slot});
  fakeNow += 30;
  if (ran.size() < 100) QuEnqueue(chunk, slot);
}

TEST_F(Queue, TheBudgetEndsAPass) {
  QuRoutineSet(kRoutine, Requeue);
  ChHandle h = Entries({1});
  QuEnqueue(h, 0);
  EXPECT_EQ(QuProcess(100, 0), 4);  // 0, 30, 60, 90 ms
  EXPECT_TRUE(QuIsQueued(h, 0));
}

// Random enqueues, deferrals, dequeues and passes against a model: every
// pass runs the highest priorities first, and the trees stay balanced.
TEST_F(Queue, RandomOperationsKeepOrderAndBalance) {
  std::mt19937 rng(77);
  const int kSlots = 250;
  std::vector<int32_t> priorities;
  for (int i = 0; i < kSlots; ++i) priorities.push_back(int32_t(rng() % 40));
  ChHandle h = Entries(priorities);
  std::map<int32_t, int32_t> model;  // slot -> priority, ready ones
  std::map<int32_t, int32_t> deferred;  // slot -> seconds of delay
  for (int step = 0; step < 3000; ++step) {
    int32_t slot = int32_t(rng() % kSlots);
    uint32_t op = rng() % 10;
    if (op < 5) {
      if (!deferred.count(slot)) {
        QuEnqueue(h, slot);
        model[slot] = priorities[size_t(slot)];
      }
    } else if (op < 7) {
      int32_t delay = int32_t(1 + rng() % 50);
      QuEnqueueDeferred(h, fakeDate, fakeTime + delay, slot);
      model.erase(slot);
      deferred[slot] = delay;
    } else if (op < 9) {
      QuDequeue(h, slot);
      model.erase(slot);
      deferred.erase(slot);
    } else {
      ran.clear();
      int64_t now = fakeNow;
      QuProcess(100, 0);
      fakeNow = now;
      std::vector<int32_t> got = RanPriorities(h);
      ASSERT_TRUE(std::is_sorted(got.rbegin(), got.rend())) << step;
      ASSERT_EQ(got.size(), model.size()) << step;
      model.clear();
    }
    if (step % 100 == 0) {
      int32_t depth = QuPersistCheck();
      int32_t n = std::max(QuReadyCount(), QuDeferredCount());
      EXPECT_LE(depth, 2 + 2 * int32_t(std::log2(double(n + 1)))) << step;
      EXPECT_EQ(QuReadyCount(), int32_t(model.size()));
      EXPECT_EQ(QuDeferredCount(), int32_t(deferred.size()));
    }
  }
  // Every deferred entry comes due after its time.
  fakeNow += 60 * 1000;
  ran.clear();
  QuProcess(1000, -1);
  EXPECT_EQ(ran.size(), model.size() + deferred.size());
}

TEST_F(Queue, EntriesOutliveTheProcessButTheirNodesDoNot) {
  // Priorities below 0, so that the queued work run while the save is
  // waited for leaves them alone.
  ChHandle h = Entries({-3, -4});
  ChSetRoot(part_, h);
  QuEnqueue(h, 0);
  QuEnqueueDeferred(h, fakeDate + 1, 0, 1);
  Save(part_);
  WaitSaved(part_);
  // Closing the file forgets the nodes of its entries.
  ASSERT_EQ(ChFiClose(ChGetChFi(part_)), 0);
  EXPECT_EQ(QuReadyCount(), 0);
  EXPECT_EQ(QuDeferredCount(), 0);
  // A queue with other nodes under the same numbers does not mistake them.
  ChFi f;
  ASSERT_EQ(ChFiCreate("other.db", &f), 0);
  ASSERT_EQ(ChFiPartCreate(f, &part_), 0);
  ChHandle other = Entries({9, 9});
  QuEnqueue(other, 0);
  QuEnqueue(other, 1);
  ChFi g;
  ChPart reopened;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &g), 0);
  ASSERT_EQ(ChFiPartOpen(g, &reopened), 0);
  ChHandle back = ChGetRoot(reopened);
  const auto* entries = static_cast<const QuEntry*>(ChDeref(back));
  EXPECT_EQ(entries[0].state, kQuReady);
  EXPECT_EQ(entries[1].state, kQuDeferred);
  EXPECT_FALSE(QuIsQueued(back, 0));
  EXPECT_FALSE(QuIsQueued(back, 1));
  QuEnqueue(back, 1);
  QuPersistCheck();
  QuProcess(100, -10);
  ASSERT_EQ(ran.size(), 3u);
  EXPECT_EQ(ran[2], std::make_pair(back, int32_t(1)));
}

}  // namespace
