// Groups, access lists and statistics through the real quil binary and a
// real HTTP client (curl): the sysop makes a group, puts a user in it and
// gives the group the right to add folders in one folder; that user can,
// another cannot.  Everybody but the sysop is refused the group pages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "ports.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

// A database with two registered users besides the sysop.
void MakeSite(const ScratchDir& dir) {
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
  for (const char* name : {"Ann Mariner", "Bob Stone"}) {
    quil::ChHandle user = 0;
    EXPECT_EQ(quil::ForumUserCreate(root, quil::kForumUserRegistered, quil::StCStrXfm(name),
                                    quil::StCStrXfm("user@example.com"),
                                    quil::StHashMd5(quil::StCStrXfm("sail4way")), &user),
              0);
  }
  quil::ForumDbCloseI(root);
  (void)quil::ForumInitRtns(quil::kPkgTerm, 0);
  quil::ChTerm();
  (void)quil::QuInitRtns(quil::kPkgTerm, 0);
  (void)quil::UtInitRtns(quil::kPkgTerm, 0);
  std::filesystem::current_path(old);
}

class SysopAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    MakeSite(dir_);
    if (HasFatalFailure()) return;
    std::ofstream(dir_.File("quil.set"))
        << "webPort=127.0.0.1:" << port_ << "\nhttpBasic=1\n";
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
  }
  void TearDown() override {
    if (quil_) Stop(*quil_, dir_);
  }
  Http Request(const std::string& query, const std::string& post, const std::string& who) {
    std::string cmd = "curl -s ";
    if (!who.empty()) cmd += "-u '" + who + "' ";
    if (!post.empty()) cmd += "--data-binary '" + post + "' ";
    cmd += "'http://127.0.0.1:" + std::to_string(port_) + "/Quil?" + query + "'";
    Http h;
    h.body = Shell(cmd);
    return h;
  }
  Http Sysop(const std::string& query, const std::string& post = "") {
    return Request(query, post, "sysop:sysop");
  }

  ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Quil> quil_;
};

TEST_F(SysopAccess, AGroupsRightLetsItsMemberAddWhereOthersCannot) {
  // Others are refused the group pages.
  for (const char* command : {"118@@", "119@@", "120@@Crew", "121@@", "123@@"}) {
    Http h = Request(command, "groupName=Crew", "Ann Mariner:sail4way");
    EXPECT_TRUE(h.Has("Sysop Function")) << command << h.body;
  }
  Http ownList = Request("115@@", "", "Ann Mariner:sail4way");
  EXPECT_FALSE(ownList.Has("Access list of")) << ownList.body;

  Http folder = Sysop("4@@", "title=Harbour");
  Http panel = Sysop("59@@");
  EXPECT_TRUE(panel.Has("?118@")) << panel.body;

  Http made = Sysop("119@@", "groupName=Crew&create=1");
  EXPECT_TRUE(made.Has("The group Crew has been created.")) << made.body;
  Http twice = Sysop("119@@", "groupName=Crew&create=1");
  EXPECT_TRUE(twice.Has("A group named &quot;Crew&quot; exists")) << twice.body;
  Http added = Sysop("121@@", "groupName=Crew&userName=Ann+Mariner&add=1");
  EXPECT_TRUE(added.Has("Ann Mariner has been added.")) << added.body;
  EXPECT_TRUE(added.Has("<li>Mariner, Ann</li>")) << added.body;
  Http nobody = Sysop("123@@", "groupName=Crew&names=Nobody+Here");
  EXPECT_TRUE(nobody.Has("No user named &quot;Nobody Here&quot;")) << nobody.body;

  // The folder gets a list: registered users read only, the group hosts.
  Http create = Sysop("116@@/Harbour", "createAccess=1");
  EXPECT_TRUE(create.Has("has an access list of its own")) << create.body;
  Http again = Sysop("116@@/Harbour", "createAccess=1");
  EXPECT_TRUE(again.Has("File already has an access list")) << again.body;
  Http set = Sysop("116@@/Harbour", "userName=Crew%0Ausers%0ANo+Body&addAs=participant"
                                   "&newUsers=readOnly");
  EXPECT_TRUE(set.Has("You cannot add the whole &quot;users&quot; list.")) << set.body;
  EXPECT_TRUE(set.Has("No user or group named &quot;No Body&quot;")) << set.body;
  Http sysopRead = Sysop("116@@/Harbour", "userName=sysop&addAs=readOnly");
  EXPECT_TRUE(sysopRead.Has("If the sysop is in the access list, he/she must have host access: "))
      << sysopRead.body;
  Http shown = Sysop("115@@/Harbour");
  EXPECT_TRUE(shown.Has("<td>Crew</td><td>group</td><td>participant</td>")) << shown.body;
  EXPECT_TRUE(shown.Has("<td>readOnly</td>")) << shown.body;

  Request("4@@/Harbour", "title=Deck", "Ann Mariner:sail4way");
  Request("4@@/Harbour", "title=Hull", "Bob Stone:sail4way");
  Http harbour = Sysop("2@@/Harbour");
  EXPECT_TRUE(harbour.Has("Deck")) << harbour.body;
  EXPECT_FALSE(harbour.Has("Hull")) << harbour.body;

  // Clearing asks first, then the folder inherits again: Bob may add.
  Http unconfirmed = Sysop("116@@/Harbour", "clear=1");
  EXPECT_TRUE(unconfirmed.Has("Clearing this access list will switch")) << unconfirmed.body;
  Http cleared = Sysop("116@@/Harbour", "clear=1&confirmClear=1");
  EXPECT_TRUE(cleared.Has("uses the access list of its parent folder")) << cleared.body;
  Request("4@@/Harbour", "title=Hull", "Bob Stone:sail4way");
  EXPECT_TRUE(Sysop("2@@/Harbour").Has("Hull"));

  // An imported list gives its members their classes.
  Http imported = Sysop("117@@/Harbour", "Import=%3Caccess%0A%3E%0A%3Chost%3E%0AStone,+Bob%0A"
                                         "%3C/access%3E%0A");
  EXPECT_TRUE(imported.Has("Add user: Stone, Bob")) << imported.body;
  EXPECT_TRUE(imported.Has("<td>Stone, Bob</td><td>user</td><td>host</td>")) << imported.body;
  Http bare = Sysop("117@@/Harbour", "Import=");
  EXPECT_TRUE(bare.Has("You must give an access list to import")) << bare.body;
}

TEST_F(SysopAccess, StatisticsAreShownAndCleared) {
  for (int i = 0; i < 3; ++i) Request("14@@", "", "");
  Http stats = Sysop("131@@");
  std::smatch m;
  std::regex hits("Hits on the site</th><td>([0-9]+)<");
  ASSERT_TRUE(std::regex_search(stats.body, m, hits)) << stats.body;
  EXPECT_GE(std::stoi(m[1]), 3);
  EXPECT_TRUE(Request("131@@", "", "Bob Stone:sail4way").Has("Sysop Function"));
  EXPECT_TRUE(Sysop("132@@").Has("The statistics have been cleared."));
  Http after = Sysop("131@@");
  EXPECT_TRUE(after.Has("Hits on the site</th><td>0<")) << after.body;
}

}  // namespace

namespace {

TEST_F(SysopAccess, UsersAreExportedAndLookedUp) {
  Http exported = Sysop("213@@", "go=1");
  EXPECT_TRUE(exported.Has("name\temail\thomePage\tsecondLine\tloginCount\n")) << exported.body;
  EXPECT_TRUE(exported.Has("Mariner, Ann\tuser@example.com\t")) << exported.body;
  EXPECT_TRUE(exported.Has("Stone, Bob\tuser@example.com\t")) << exported.body;
  EXPECT_FALSE(exported.Has("<html")) << exported.body;
  EXPECT_TRUE(Request("213@@", "go=1", "Bob Stone:sail4way").Has("Sysop Function"));

  Http found = Sysop("215@@", "find=mari");
  EXPECT_TRUE(found.Has("1 user found.")) << found.body;
  EXPECT_TRUE(found.Has("?130@")) << found.body;
  EXPECT_TRUE(found.Has("Mariner, Ann")) << found.body;
  EXPECT_FALSE(found.Has("Stone, Bob")) << found.body;
  Http none = Sysop("215@@", "find=zzz");
  EXPECT_TRUE(none.Has("No user matches &quot;zzz&quot;.")) << none.body;
  Http index = Sysop("216@@");
  EXPECT_TRUE(index.Has("2 registered users have an e-mail address; 0 addresses are missing"))
      << index.body;
  Http repaired = Sysop("218@@", "go=1");
  EXPECT_TRUE(repaired.Has("0 addresses have been entered in the index.")) << repaired.body;
  Http empty = Sysop("215@@", "find=+");
  EXPECT_TRUE(empty.Has("You must give part of a name or an address")) << empty.body;
}

}  // namespace
