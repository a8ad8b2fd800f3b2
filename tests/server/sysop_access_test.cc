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
#include "conference.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

// A database with two registered users besides the sysop.
void MakeSite(const ScratchDir& dir) {
  WithConference(dir, [](quil::ForumRoot root) {
    for (const char* name : {"Ann Mariner", "Bob Stone"}) {
      quil::ChHandle user = 0;
      EXPECT_EQ(quil::ForumUserCreate(root, quil::kForumUserRegistered, quil::StCStrXfm(name),
                                      quil::StCStrXfm("user@example.com"),
                                      quil::StHashMd5(quil::StCStrXfm("sail4way")), &user),
                0);
    }
  });
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
  Http Bob(const std::string& query, const std::string& post = "") {
    return Request(query, post, "Bob Stone:sail4way");
  }
  // kill -9 (nothing saved on the way out) and a new start on the same files.
  void CrashAndRestart() {
    (void)KillNine(quil_, dir_);
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
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

namespace {

TEST_F(SysopAccess, AGroupsAccessListSaysWhoManagesItAndSurvivesACrash) {
  for (const char* command : {"239@@Crew", "240@@"}) {
    Http h = Bob(command, "groupName=Crew&createAccess=1");
    EXPECT_TRUE(h.Has("Sysop Function")) << command << h.body;
  }
  Sysop("119@@", "groupName=Crew&create=1");
  Sysop("121@@", "groupName=Crew&userName=Ann+Mariner&add=1");
  EXPECT_TRUE(Bob("121@@", "groupName=Crew&userName=Bob+Stone&add=1").Has("Sysop Function"));

  Http inherited = Sysop("239@@Crew");
  EXPECT_TRUE(inherited.Has("<h1>Access list of the group Crew</h1>")) << inherited.body;
  EXPECT_TRUE(inherited.Has("This group uses the access list that the list of groups gives"))
      << inherited.body;
  EXPECT_TRUE(Sysop("240@@", "groupName=Crew&createAccess=1").Has("has an access list of its own"));
  Http host = Sysop("240@@", "groupName=Crew&userName=Bob+Stone%0ANo+Body&addAs=host");
  EXPECT_TRUE(host.Has("No user or group named &quot;No Body&quot;")) << host.body;
  EXPECT_TRUE(host.Has("<td>Stone, Bob</td><td>user</td><td>host</td>")) << host.body;

  // The host of the group manages its members; the list outlives a kill -9
  // (once a later request has been answered: the log is written between
  // two passes of the server's loop, and a response does not wait for it).
  EXPECT_TRUE(Sysop("239@@Crew").Has("<td>Stone, Bob</td><td>user</td><td>host</td>"));
  CrashAndRestart();
  EXPECT_TRUE(Sysop("239@@Crew").Has("<td>Stone, Bob</td><td>user</td><td>host</td>"));
  Http joined = Bob("121@@", "groupName=Crew&userName=Bob+Stone&add=1");
  EXPECT_TRUE(joined.Has("Bob Stone has been added.")) << joined.body;
  EXPECT_TRUE(Bob("120@@Crew").Has("<li>Stone, Bob</li>"));

  // Imported as read-only, Bob manages it no longer; then neither after a
  // clear, which gives the group back the list it inherits.
  Http imported = Sysop("240@@", "groupName=Crew&Import=%3Caccess%0A%3E%0A%3CreadOnly%3E%0A"
                                 "Stone,+Bob%0A%3C/access%3E%0A");
  EXPECT_TRUE(imported.Has("Add user: Stone, Bob")) << imported.body;
  EXPECT_TRUE(imported.Has("<td>Stone, Bob</td><td>user</td><td>readOnly</td>")) << imported.body;
  EXPECT_TRUE(Bob("121@@", "groupName=Crew&userName=Bob+Stone&remove=1").Has("Sysop Function"));
  Http cleared = Sysop("240@@", "groupName=Crew&clear=1&confirmClear=1");
  EXPECT_TRUE(cleared.Has("This group uses the access list")) << cleared.body;
  EXPECT_TRUE(Bob("120@@Crew").Has("Sysop Function"));

  // A host of a folder names the group in its list only while he may use
  // (read) the group.
  Sysop("4@@", "title=Harbour");
  Sysop("116@@/Harbour", "userName=Bob+Stone&addAs=host");
  EXPECT_TRUE(Bob("116@@/Harbour", "userName=Crew&addAs=readOnly").Has(
      "The access list has been stored."));
  Sysop("240@@", "groupName=Crew&createAccess=1");
  Sysop("240@@", "groupName=Crew&newUsers=noAccess");
  Http refused = Bob("116@@/Harbour", "userName=Crew&addAs=participant");
  EXPECT_TRUE(refused.Has("You may not use the group &quot;Crew&quot;")) << refused.body;
}

}  // namespace

namespace {

TEST_F(SysopAccess, ServiceStatusPagesAndTheBasicChatForm) {
  for (const char* command : {"190@@", "207@@", "208@@", "209@@", "237@@", "239@@Crew",
                              "240@@"}) {
    Http h = Bob(command, "isLiveFanout=1");
    EXPECT_TRUE(h.Has("Sysop Function")) << command << h.body;
  }
  Http synch = Sysop("190@@");
  EXPECT_TRUE(synch.Has("No mirror server is running")) << synch.body;
  EXPECT_TRUE(synch.Has("<dt>isMaster</dt><dd>(not set)</dd>")) << synch.body;
  Http spider = Request("237@@", "", "sysop:sysop");
  EXPECT_TRUE(spider.Has("No indexing is running")) << spider.body;
  std::string head = Shell("curl -s -o /dev/null -D - -u sysop:sysop 'http://127.0.0.1:" +
                           std::to_string(port_) + "/Quil?237@@'");
  EXPECT_NE(head.find("Refresh: 20\r\n"), std::string::npos) << head;

  // 209 stores what it checks, all or nothing; 207 shows the roles.
  Http bad = Sysop("209@@", "isLiveFanout=0&isLiveFanout=1&liveClientPort=70000&liveFanoutName=Up");
  EXPECT_TRUE(bad.Has("&quot;Port where a fan-out server takes chat clients&quot; must be "
                      "between 0 and 65535."))
      << bad.body;
  EXPECT_TRUE(Sysop("207@@").Has("<dt>Fan-out server</dt><dd>no</dd>"));
  Http addr = Sysop("209@@", "liveCtrlIp=10.0.0.1%3Cscript%3E");
  EXPECT_TRUE(addr.Has("must be host names or addresses")) << addr.body;
  Http good = Sysop("209@@", "isLiveFanout=0&isLiveFanout=1&liveClientPort=7001&liveCtrlIp="
                             "chat.example.com:7000&liveFanoutName=Upper+deck");
  EXPECT_TRUE(good.Has("The settings have been stored.")) << good.body;
  Http shown = Sysop("208@@");
  EXPECT_TRUE(shown.Has("value=\"7001\"")) << shown.body;
  EXPECT_TRUE(shown.Has("value=\"Upper deck\"")) << shown.body;
  Http status = Sysop("207@@");
  EXPECT_TRUE(status.Has("<h3>Chat services are not installed</h3>")) << status.body;
  EXPECT_TRUE(status.Has("<dt>Fan-out server</dt><dd>yes</dd>")) << status.body;
  EXPECT_TRUE(status.Has("<dd>chat.example.com:7000</dd>")) << status.body;
}

}  // namespace
