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

// Runs test (a helper test of this binary) in a new process that reads the
// database file of dir, and checks the file with quil-dbtool.
inline void RunHelperInNewProcess(const std::string& dir, const std::string& test) {
  std::string out;
  std::string cmd = "QUIL_BT_VERIFY_DIR=" + dir + " " + SelfPath() + " --gtest_filter=" + test;
  EXPECT_EQ(storetest::RunCommand(cmd, &out), 0) << out;
  EXPECT_NE(out.find("[       OK ] " + test), std::string::npos) << out;
  // The pages only: the trees hold made-up handles.
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check -pages quil.db", &out), 0)
      << out;
}

// In the helper process: the directory given by the test that started it
// (empty when the helper runs on its own), made current, with the store
// initialised and quil.db opened read-only.
inline std::string OpenForHelper(quil::ChFi* file, quil::ChPart* part) {
  const char* dir = getenv("QUIL_BT_VERIFY_DIR");
  if (!dir) return "";
  std::filesystem::current_path(dir);
  quil::BtRegisterTypes();
  EXPECT_EQ(quil::ChInit(19, 32), 0);
  EXPECT_EQ(quil::ChFiOpen("quil.db", quil::kChFiReadOnly, file), 0);
  EXPECT_EQ(quil::ChFiPartOpen(*file, part), 0);
  return dir;
}

}  // namespace bttest
