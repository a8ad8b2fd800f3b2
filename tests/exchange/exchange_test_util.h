// Helpers of the exchange tests: a fixture with a real database and its
// roll-forward log in a scratch directory, a "crash" that drops the open
// root without saving, and a text dump of everything the journaling
// setters can change, to compare a conference before and after a replay.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "ForumAcc.h"
#include "ForumEi.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "../store/store_test_util.h"

namespace exchangetest {

using storetest::ReadFileBytes;
using storetest::RunCommand;
using storetest::WriteFileBytes;

inline quil::St S(const char* text) { return quil::StCStrXfm(text); }

// "quil-dbtool check" over a closed database file: its exit status, the
// output in *out.
inline int DbCheck(const std::string& path, std::string* out) {
  return RunCommand(storetest::DbToolPath() + " check " + path, out);
}

// Every item below folder with its attributes, depth first in name order.
inline void DumpTree(const quil::ForumFile& folder, std::string* out) {
  using namespace quil;
  std::string line = ForumFileUniquePath(folder).Str() + " " + ForumFileType(folder).Str() +
                     " name=" + ForumFileName(folder).Str() +
                     " title=" + ForumFileTitle(folder).Str() +
                     " flags=" + std::to_string(ForumFileStoredFlags(folder)) +
                     " inherits=" + std::to_string(ForumFileInherits(folder)) +
                     " sortSeq=" + std::to_string(ForumFileSortSeq(folder)) +
                     " html=" + ForumFileHtml(folder).Str() +
                     " banner=" + ForumFileHtmlBanner(folder).Str() +
                     " url=" + ForumFileUrl(folder).Str() +
                     " date=" + std::to_string(ForumFileDate(folder).date) + "." +
                     std::to_string(ForumFileDate(folder).time) +
                     " author=" + std::to_string(ForumUserUniqueId(ForumFileRoot(folder),
                                                                   ForumFileUser(folder)));
  *out += line + "\n";
  if (ForumFileIsForum(folder)) {
    int32_t end = ForumFileCount(folder);
    for (int32_t i = 0; i < end; ++i) {
      if (ForumItemRec(folder, i) == 0) {
        *out += "  [" + std::to_string(i) + "] deleted\n";
        continue;
      }
      LgDbTd d = ForumItemDate(folder, i);
      *out += "  [" + std::to_string(i) + "] id=" +
              std::to_string(ForumUniqueIdFromRec(ForumFileRoot(folder), ForumItemRec(folder, i))) +
              " title=" + ForumItemTitle(folder, i).Str() + " type=" +
              ForumItemContentType(folder, i).Str() + " date=" + std::to_string(d.date) + "." +
              std::to_string(d.time) + " replyTo=" + std::to_string(ForumItemReplyTo(folder, i)) +
              " body=" + ForumItemData(folder, i).Str() + "\n";
    }
  }
  if (!ForumFileIsCategory(folder)) return;
  uint32_t n = ForumCatItemCount(folder);
  for (uint32_t i = 0; i < n; ++i) {
    ForumFile child = ForumFileHasChild(
        folder, ForumCatItemName(ForumFileRoot(folder), ForumCatItemOpen(folder, i)));
    if (child) DumpTree(child, out);
  }
}

// The tree, the settings, the users and groups of root.
inline std::string Dump(quil::ForumRoot root) {
  using namespace quil;
  std::string out;
  DumpTree(ForumTopFolder(root), &out);
  for (const ForumSysopRow& row : ForumSysopListAll(root))
    out += "sysop " + row.name + "=" + row.value + "\n";
  for (uint32_t ix = 0;; ++ix) {
    ChHandle u = ForumUserAt(root, ix);
    if (u == 0) break;
    out += "user " + std::to_string(ForumUserUniqueId(root, u)) + " " +
           ForumUserName(root, u).Str() + " email=" + ForumUserEmail(root, u).Str() +
           " flags=" + std::to_string(ForumUserFlags(root, u)) +
           " bio=" + ForumUserBio(root, u).Str() + " maxData=" +
           std::to_string(ForumUserMaxData(root, u)) + " logins=" +
           std::to_string(ForumUserLoginCount(root, u)) + " pw=" +
           StToHex(ForumUserPassword(root, u)).Str() + "\n";
  }
  for (uint32_t ix = 0;; ++ix) {
    ChHandle g = ForumGroupAt(root, ix);
    if (g == 0) break;
    out += "group " + ForumUserName(root, g).Str() + " size=" +
           std::to_string(ForumGroupSize(root, g)) + ":";
    for (uint32_t m = 0;; ++m) {
      ChHandle member = ForumGroupMemberAt(root, g, m);
      if (member == 0) break;
      out += " " + ForumUserName(root, member).Str();
    }
    // A group made by a record has its identifier: its own access list.
    if (g != ForumGroupUsers(root) && g != ForumGroupGuests(root) && g != ForumGroupList(root))
      out += " " + ForumAccExport(ForumFileOpenUnique(root, ForumUserUniqueId(root, g))).Str();
    out += "\n";
  }
  out += "next=" + std::to_string(ForumNextUniqueId(root)) + "\n";
  return out;
}

// Each test runs in its own directory with the store, the forum and the
// exchange packages initialised and a database open as root_ (its log
// "quilroll.1" attached by the open, rollForward being on by default).
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quil-exchange-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    oldDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    (void)quil::UtInitRtns(quil::kPkgInit, quil::kPkgVersion);
    quil::StoreRegisterTypes();
    (void)quil::QuInitRtns(quil::kPkgInit, quil::kPkgVersion);
    ASSERT_EQ(quil::ChInit(quil::kPkgVersion, 512), 0);
    (void)quil::ForumInitRtns(quil::kPkgInit, quil::kPkgVersion);
    (void)quil::FrmBkInitRtns(quil::kPkgInit, quil::kPkgVersion);
    quil::wfQuilSettings = quil::ForumQuilSettings();
    Open();
  }

  void TearDown() override {
    Close();
    (void)quil::FrmBkInitRtns(quil::kPkgTerm, 0);
    (void)quil::ForumInitRtns(quil::kPkgTerm, 0);
    quil::ChTerm();
    (void)quil::QuInitRtns(quil::kPkgTerm, 0);
    (void)quil::UtInitRtns(quil::kPkgTerm, 0);
    std::filesystem::current_path(oldDir_);
    std::filesystem::remove_all(dir_);
  }

  void Open() {
    quil::ForumDbOpenOptions options;
    root_ = quil::ForumDbOpenI("quil.db", &options);
    quil::wfForumRoot = root_;
    top_ = quil::ForumTopFolder(root_);
  }
  // A stop in order: saved, then closed.
  void Close() {
    if (!root_) return;
    top_ = quil::ForumFile();
    quil::ForumDbCloseI(root_);
    root_ = nullptr;
  }
  // A crash: the root and its file go without a save (the log keeps every
  // record written, as after the death of the process).
  void Crash() {
    if (!root_) return;
    top_ = quil::ForumFile();
    quil::ForumDbCloseReadOnly(root_);
    quil::wfForumRoot = nullptr;
    root_ = nullptr;
  }
  void Reopen() {
    Close();
    Open();
  }
  void CrashAndReopen() {
    Crash();
    Open();
  }
  // A log file as it is once the records of this pass are written.
  std::string Log(const char* name = "quilroll.1") {
    if (root_) quil::FrmBkLogFlush(root_);
    return ReadFileBytes(name);
  }

  // The bytes appended to "quilroll.1" since the last call.
  std::string Appended() {
    std::string log = Log();
    std::string tail = log.substr(seen_);
    seen_ = log.size();
    return tail;
  }
  // An identifier as records write it.
  static std::string Hex(int32_t id) { return quil::ForumEiHex(uint32_t(id)).Str(); }

  // A discussion in folder (the top folder by default) through the
  // journaling setters.
  quil::ForumFile NewDiscussion(const char* title, quil::ForumFile folder = {}) {
    if (!folder) folder = top_;
    quil::St name;
    EXPECT_EQ(quil::FrmBkFileItemCreate(folder, S("forum-topic"), S("x"), S(title), 0, false,
                                        &name),
              0);
    return quil::ForumFileHasChild(folder, name);
  }
  int32_t Post(const quil::ForumFile& discussion, const char* body) {
    int32_t index = -1;
    EXPECT_EQ(quil::FrmBkForumItemCreate(discussion, 0, S("t"), S("text"), S(body), -1, false,
                                         &index),
              0);
    return index;
  }

  std::string dir_;
  std::filesystem::path oldDir_;
  quil::ForumRoot root_ = nullptr;
  quil::ForumFile top_;
  size_t seen_ = 0;
};

}  // namespace exchangetest
