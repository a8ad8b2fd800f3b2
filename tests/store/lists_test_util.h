// Helpers of the list, segment-list and chunk-string tests: running one test
// of this binary again in a new process, and opening a saved file there.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Ch.h"
#include "Store.h"
#include "store_test_util.h"

namespace liststest {

// Runs test `name` (Suite.Case) of this binary in a new process with
// QUIL_LISTS_DB set to db; true when it ran and passed.  Its output goes to
// *out.
inline bool RunInNewProcess(const std::string& name, const std::string& db,
                            std::string* out) {
  std::string cmd = "QUIL_LISTS_DB=" + db + " " + storetest::SelfPath() + " --gtest_filter=" + name;
  int status = storetest::RunCommand(cmd, out);
  return status == 0 && out->find("[       OK ] " + name) != std::string::npos;
}

// Makes root the part's root, saves the part, closes its file and runs test
// `name` on the file in a new process; true when all of it worked.
inline bool SaveAndCheckInNewProcess(quil::ChPart part, quil::ChHandle root,
                                     const std::string& name, std::string* out) {
  quil::ChSetRoot(part, root);
  uint32_t revision;
  if (quil::ChPartSave(part, 0, &revision) != 0) return false;
  std::string db = std::filesystem::absolute(quil::ChFiPath(quil::ChGetChFi(part)));
  if (quil::ChFiClose(quil::ChGetChFi(part)) != 0) return false;
  return RunInNewProcess(name, db, out);
}

// In the new process: the database named by QUIL_LISTS_DB opened read-only
// with its master part, the store initialised in the file's directory and
// the store's chunk types registered.
// Skips the test when run directly.
class ReopenedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* db = getenv("QUIL_LISTS_DB");
    if (!db) GTEST_SKIP() << "run in a new process by the test that saves the file";
    std::filesystem::current_path(std::filesystem::path(db).parent_path());
    quil::StoreRegisterTypes();
    ASSERT_EQ(quil::ChInit(19, 16), 0);
    ASSERT_EQ(quil::ChFiOpen(db, quil::kChFiReadOnly, &file_), 0);
    ASSERT_EQ(quil::ChFiPartOpen(file_, &part_), 0);
  }
  void TearDown() override {
    if (!file_) return;
    (void)quil::ChFiClose(file_);
    quil::ChTerm();
  }
  // The root handle saved with the part.
  quil::ChHandle Root() const { return quil::ChGetRoot(part_); }

  quil::ChFi file_ = nullptr;
  quil::ChPart part_ = 0;
};

}  // namespace liststest
