// Helpers of the crash and corruption tests: a conference built through the
// forum's own operations in a scratch directory, and the operator tool.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "quil_process.h"

namespace quiltest {

inline std::string DbTool() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return std::string(dir ? dir : QUIL_BINARY_DIR) + "/quil-dbtool";
}

// Runs a shell command; returns its exit status (-signal when a signal
// ended it), with standard output and error in *out.
inline int RunCommand(const std::string& command, std::string* out) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = pclose(p);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

// Opens quil.db in dir (made when missing) in this process, runs fn on its
// root, and saves and closes it.
template <class Fn>
void WithConference(const ScratchDir& dir, Fn fn) {
  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  (void)quil::UtInitRtns(quil::kPkgInit, quil::kPkgVersion);
  quil::StoreRegisterTypes();
  (void)quil::QuInitRtns(quil::kPkgInit, quil::kPkgVersion);
  ASSERT_EQ(quil::ChInit(quil::kPkgVersion, 16384), 0);
  (void)quil::ForumInitRtns(quil::kPkgInit, quil::kPkgVersion);
  quil::ForumDbOpenOptions options;
  quil::ForumRoot root = quil::ForumDbOpenI("quil.db", &options);
  ASSERT_NE(root, nullptr);
  fn(root);
  quil::ForumDbCloseI(root);
  (void)quil::ForumInitRtns(quil::kPkgTerm, 0);
  quil::ChTerm();
  (void)quil::QuInitRtns(quil::kPkgTerm, 0);
  (void)quil::UtInitRtns(quil::kPkgTerm, 0);
  std::filesystem::current_path(old);
}

// Builds quil.db in dir: folders folders of discussions discussions of
// messages messages of 160 bytes each, in this process.
inline void BuildConference(const ScratchDir& dir, int folders, int discussions,
                            int messages) {
  auto S = [](const std::string& text) { return quil::StFromView(text); };
  WithConference(dir, [&](quil::ForumRoot root) {
    quil::ForumFile top = quil::ForumTopFolder(root);
    for (int f = 0; f < folders; ++f) {
      std::string name = "Folder" + std::to_string(f);
      ASSERT_EQ(quil::ForumCatItemCreate(top, S("forum-category"), S(name), S("Folder " + name),
                                         0, true, nullptr),
                0);
      quil::ForumFile folder = quil::ForumFileHasChild(top, S(name));
      for (int d = 0; d < discussions; ++d) {
        quil::St made;
        ASSERT_EQ(quil::ForumCatItemCreate(folder, S("forum-topic"), quil::St(),
                                           S("Discussion " + std::to_string(d)), 0, true, &made),
                  0);
        quil::ForumFile discussion = quil::ForumFileHasChild(folder, made);
        for (int m = 0; m < messages; ++m) {
          std::string body = "Message " + std::to_string(m) + " of discussion " +
                             std::to_string(d) + " in folder " + std::to_string(f) + ". ";
          body.resize(160, '.');
          int32_t ix;
          (void)quil::ForumItemCreate(discussion, 0, S("Re: the topic"), S("text"), S(body),
                                m > 0 ? m - 1 : -1, true, &ix);
        }
      }
    }
  });
}

}  // namespace quiltest
