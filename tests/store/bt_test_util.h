// Test helpers of the B-tree tests: a store fixture with the B-tree types
// registered, and the path of the running test binary for re-running it in
// a new process.
#pragma once

#include <unistd.h>

#include <string>

#include "Bt.h"
#include "store_test_util.h"

namespace bttest {

class BtTest : public storetest::StoreTest {
 protected:
  void SetUp() override {
    quil::BtRegisterTypes();
    storetest::StoreTest::SetUp();
    part_ = NewPart();
    near_ = quil::ChPartNear(part_);
  }

  // Saves the part and closes its file.
  void SaveAndClose() {
    uint32_t rev;
    ASSERT_EQ(quil::ChPartSave(part_, 0, &rev), 0);
    ASSERT_EQ(quil::ChFiClose(quil::ChGetChFi(part_)), 0);
  }

  quil::ChPart part_ = 0;
  quil::ChHandle near_ = 0;
};

inline std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return std::string(buf, size_t(n > 0 ? n : 0));
}

}  // namespace bttest
