// Helpers of the forum tests: a fixture that opens a new database in a
// scratch directory with the packages the forum store needs, and the
// operator tool.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "Ma.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "../store/store_test_util.h"

namespace forumtest {

using storetest::RunCommand;

inline std::string DbTool() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return std::string(dir ? dir : QUIL_BINARY_DIR) + "/quil-dbtool";
}

inline quil::St S(const char* text) { return quil::StCStrXfm(text); }

// Each test runs in its own directory with a new database open as root_.
class ForumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quil-forum-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    oldDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    (void)quil::UtInitRtns(quil::kPkgInit, quil::kPkgVersion);
    quil::StoreRegisterTypes();
    (void)quil::QuInitRtns(quil::kPkgInit, quil::kPkgVersion);
    ASSERT_EQ(quil::ChInit(quil::kPkgVersion, 256), 0);
    ASSERT_EQ(quil::ForumInitRtns(quil::kPkgInit, quil::kPkgVersion), 0);
    Open();
  }

  void TearDown() override {
    Close();
    EXPECT_EQ(quil::ForumInitRtns(quil::kPkgTerm, 0), 0);
    quil::ChTerm();
    (void)quil::QuInitRtns(quil::kPkgTerm, 0);
    (void)quil::UtInitRtns(quil::kPkgTerm, 0);
    std::filesystem::current_path(oldDir_);
    std::filesystem::remove_all(dir_);
  }

  void Open() {
    quil::ForumDbOpenOptions options;
    root_ = quil::ForumDbOpenI("quil.db", &options);
    top_ = quil::ForumTopFolder(root_);
  }
  // Saves and closes the root; every handle of the test must be gone.
  void Close() {
    if (!root_) return;
    top_ = quil::ForumFile();
    quil::ForumDbCloseI(root_);
    root_ = nullptr;
  }
  void Reopen() {
    Close();
    Open();
  }

  quil::ForumFile Path(const char* path) { return quil::ForumFileOpen(root_, S(path)); }

  // Creates a child and expects success; returns its final name.
  quil::St Create(const quil::ForumFile& folder, const char* type, const char* name,
                  const char* title = "a title") {
    quil::St final;
    EXPECT_EQ(quil::ForumCatItemCreate(folder, S(type), S(name), S(title), 0, true, &final), 0)
        << type << " " << name;
    return final;
  }

  std::string dir_;
  std::filesystem::path oldDir_;
  quil::ForumRoot root_ = nullptr;
  quil::ForumFile top_;
};

}  // namespace forumtest
