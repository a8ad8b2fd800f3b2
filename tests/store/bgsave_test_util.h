// Helpers of the background save, backup and repack tests: a store test
// with background saving on and the RAM queue initialised, and reading
// chunks straight out of a database file on disk.
#pragma once

#include "Ex.h"
#include "Ht.h"
#include "Qu.h"
#include "Thread.h"
#include "store_test_util.h"

namespace storetest {

// The simulated clock of tests that ask for one (BgSaveTest::FakeClock):
// SysTime() answers fakeNow, which the test moves on.
inline int64_t fakeNow = 0;
inline int64_t FakeTime() { return fakeNow; }

class BgSaveTest : public StoreTest {
 protected:
  // True to run the test on the simulated clock.
  virtual bool FakeClock() const { return false; }

  void SetUp() override {
    if (FakeClock()) {
      fakeNow = quil::SysTime();
      quil::HtSetTimeFn(FakeTime);
    }
    StoreTest::SetUp();
    quil::EnableThreads = true;
    quil::ChBgSaveSetEnabled(true);
    ASSERT_EQ(quil::QuInitRtns(quil::kPkgInit, quil::kPkgVersion), 0);
  }

  void TearDown() override {
    // No writer may outlive the test: let a paused one go and finish every
    // save (their errors are the test's business, not the tear-down's).
    quil::ChBgSaveHookSetPageDelay(0);
    quil::ChBgSaveHookRelease();
    for (auto& f : quil::ChState.files) (void)quil::ChBgSaveWaitIdle(*f, false);
    quil::ChBgSaveSetEnabled(false);
    quil::HtSetTimeFn(nullptr);
    (void)quil::QuInitRtns(quil::kPkgTerm, 0);
    StoreTest::TearDown();
  }

  // Waits for the file's save, failing the test on a raised error.
  static void WaitSaved(quil::ChPart part) {
    bool ok = quil::ExTry([&] { quil::ChBgSaveCleanupWait(quil::ChGetChFi(part)); });
    ASSERT_TRUE(ok) << "save raised " << quil::ExLastError;
  }

  static uint32_t Save(quil::ChPart part) {
    uint32_t rev = 0;
    EXPECT_EQ(quil::ChPartSave(part, 0, &rev), 0);
    return rev;
  }
};

// The data bytes of chunk h as the database file at path holds them
// (chunks of raw bytes are stored unchanged).
inline std::string ChunkOnDisk(const std::string& path, quil::ChHandle h,
                               size_t length) {
  std::string bytes = ReadFileBytes(path);
  size_t at = size_t(quil::kChFirstDataPos) + size_t(quil::ChPageOf(h)) * 4096 +
              quil::ChOffsetOf(h) + 8;
  if (at + length > bytes.size()) return "";
  return bytes.substr(at, length);
}

}  // namespace storetest
