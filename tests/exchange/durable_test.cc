// The durable mode: one fdatasync covers every record written before it
// (group commit), the durable sequence and its callbacks, and a simulated
// power cut that drops every byte of the log not yet synced: everything
// acknowledged is there after the restart.
#include <unistd.h>

#include "Fi.h"
#include "Ht.h"
#include "exchange_test_util.h"

namespace quil {
namespace {

using exchangetest::Dump;
using exchangetest::S;

class DurableTest : public exchangetest::ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    FrmBkSetDurableMode(true);
  }
  // Runs loop passes until every record written is durable.
  void Settle() {
    int64_t until = SysTime() + 10000;
    while (FrmBkLogDurableSequence() < FrmBkLogSequence() && SysTime() < until) {
      FrmBkLogPass();
      usleep(500);
    }
    ASSERT_EQ(FrmBkLogDurableSequence(), FrmBkLogSequence());
  }
};

TEST_F(DurableTest, OneSyncCoversTheRecordsOfAPass) {
  ForumFile d = NewDiscussion("talk");
  Settle();
  std::vector<uint64_t> seen;
  FrmBkOnDurable([&](uint64_t durable) { seen.push_back(durable); });
  uint64_t first = FrmBkLogSequence();
  int64_t syncs = FiFaultCalls(FiCall::kSync);
  for (int i = 0; i < 200; ++i) Post(d, ("post " + std::to_string(i)).c_str());
  EXPECT_EQ(FrmBkLogSequence(), first + 200);
  EXPECT_EQ(FrmBkLogDurableSequence(), first);  // nothing acknowledged yet
  Settle();
  EXPECT_EQ(FiFaultCalls(FiCall::kSync) - syncs, 1);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), first + 200);
  EXPECT_EQ(FrmBkLogDurablePosition(root_), int64_t(Log().size()));
}

TEST_F(DurableTest, WithoutTheModeARecordCountsOnceWrittenWithItsPass) {
  FrmBkSetDurableMode(false);
  ForumFile d = NewDiscussion("talk");
  FrmBkLogPass();
  int64_t syncs = FiFaultCalls(FiCall::kSync);
  std::vector<uint64_t> seen;
  FrmBkOnDurable([&](uint64_t durable) { seen.push_back(durable); });
  Post(d, "one");
  Post(d, "two");
  // Written with the pass, once for both, and no sync.
  EXPECT_EQ(FrmBkLogDurableSequence() + 2, FrmBkLogSequence());
  FrmBkLogPass();
  EXPECT_EQ(FrmBkLogDurableSequence(), FrmBkLogSequence());
  EXPECT_EQ(seen, std::vector<uint64_t>{FrmBkLogSequence()});
  EXPECT_EQ(FiFaultCalls(FiCall::kSync), syncs);
  EXPECT_EQ(FrmBkLogDurablePosition(root_), int64_t(Log().size()));
}

TEST_F(DurableTest, APowerCutLosesNothingAcknowledged) {
  ForumFile d = NewDiscussion("talk");
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 20; ++i) Post(d, ("acked " + std::to_string(round * 100 + i)).c_str());
    FrmBkFileSetTitle(d, StFromView("title " + std::to_string(round)));
    if (round == 2) {
      ASSERT_EQ(ForumRootSave(root_), 0);
    }
    Settle();
  }
  std::string acked = Dump(root_);
  int64_t synced = FrmBkLogDurablePosition(root_);
  // Written but never synced: gone with the power.
  for (int i = 0; i < 7; ++i) Post(d, "never acknowledged");
  d = ForumFile();
  Crash();
  std::string log = Log();
  ASSERT_GT(int64_t(log.size()), synced);
  // Half a record survives the cut, as after a real one.
  exchangetest::WriteFileBytes("quilroll.1", log.substr(0, size_t(synced) + 9));
  Open();
  EXPECT_EQ(Dump(root_), acked);
  Close();
  std::string out;
  EXPECT_EQ(exchangetest::DbCheck("quil.db", &out), 0) << out;
}

}  // namespace
}  // namespace quil
