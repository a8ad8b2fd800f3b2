// Test helpers of the B-tree tests: a store fixture with a part that saves
// and closes, and a helper test run in a new process on the saved file.
#pragma once

#include <unistd.h>

#include <string>

#include "Bt.h"
#include "lists_test_util.h"

namespace bttest {

class BtTest : public storetest::PartTest {
 protected:
  // Saves the part and closes its file.
  void SaveAndClose() {
    uint32_t rev;
    ASSERT_EQ(quil::ChPartSave(part_, 0, &rev), 0);
    ASSERT_EQ(quil::ChFiClose(quil::ChGetChFi(part_)), 0);
  }
};

// Runs test (a helper test of this binary, on liststest::ReopenedFile) in
// a new process that reads the database file of dir, and checks the file
// with quil-dbtool.
inline void RunHelperInNewProcess(const std::string& dir, const std::string& test) {
  std::string out;
  EXPECT_TRUE(liststest::RunInNewProcess(test, dir + "/quil.db", &out)) << out;
  // The pages only: the trees hold made-up handles.
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check -pages quil.db", &out), 0)
      << out;
}

}  // namespace bttest
