// The sysop's pages through the real quil binary and a real HTTP client
// (curl): the sysop's log-in and control panel, the first-start wizard on a
// new site, the settings forms (stored, checked, in effect, and surviving a
// kill -9 through the roll-forward log), the switches, the user
// administration, and the refusal of everybody else.
#include <gtest/gtest.h>

#include <unistd.h>

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

// A database with one registered user besides the sysop, made in this
// process before the server starts.
void MakeSiteWithUser(const ScratchDir& dir, const std::string& name, const std::string& pw) {
  WithConference(dir, [&](quil::ForumRoot root) {
    quil::ChHandle user = 0;
    EXPECT_EQ(quil::ForumUserCreate(root, quil::kForumUserRegistered, quil::StFromView(name),
                                    quil::StFromView("user@example.com"),
                                    quil::StHashMd5(quil::StFromView(pw)), &user),
              0);
  });
}

class Sysop : public ::testing::Test {
 protected:
  void SetUp() override { port_ = FreePort(); }

  void Start(const std::string& extraSettings = "") {
    WriteFile(dir_.File("quil.set"),
              "webPort=127.0.0.1:" + std::to_string(port_) + "\n" + extraSettings);
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
  }

  void TearDown() override {
    if (quil_) Stop(*quil_, dir_);
  }

  // Ends the server with kill -9: nothing is saved, the log must hold it.
  void Crash() { (void)KillNine(quil_, dir_); }

  Http Request(const std::string& query, const std::string& post, const std::string& extra = "") {
    std::string args = extra;
    if (!post.empty()) args += " --data-binary '" + post + "'";
    return Curl(args + " 'http://127.0.0.1:" + std::to_string(port_) + "/Quil?" + query + "'");
  }
  // command "@" cert "@" location, as the sysop's session.
  Http Get(const std::string& command, const std::string& location = "") {
    return Request(command + "@" + cert_ + "@" + location, "");
  }
  Http Post(const std::string& command, const std::string& form,
            const std::string& location = "") {
    return Request(command + "@" + cert_ + "@" + location, form);
  }

  // The certificate the links of a page carry.
  static std::string CertOf(const Http& h) {
    std::smatch m;
    std::regex link("\\?[0-9]+@([^@\"]+)@");
    if (std::regex_search(h.body, m, link)) return m[1];
    return "";
  }

  // Logs the sysop in with password; returns the page.
  Http Login(const std::string& password, const std::string& kept = "") {
    Http h = Request("95@@" + kept, "username=sysop&password=" + password);
    cert_ = CertOf(h);
    return h;
  }

  ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Quil> quil_;
  std::string cert_;
};

TEST_F(Sysop, LogInKeepsTheRequestAndRefusesWrongPasswords) {
  Start();
  // A guest asking for the control panel gets the sysop's log-in form with
  // the request kept.
  Http form = Request("59@@", "");
  EXPECT_TRUE(form.Has("Sysop log-in")) << form.body;
  EXPECT_TRUE(form.Has("action=\"?95@@59@\"")) << form.body;

  Http bare = Request("95@@59@", "");
  EXPECT_TRUE(bare.Has("action=\"?95@@59@\"")) << bare.body;
  EXPECT_FALSE(bare.Has("role=\"alert\"")) << bare.body;
  Http wrong = Request("95@@59@", "username=sysop&password=nope");
  EXPECT_TRUE(wrong.Has("The name or password is not correct.")) << wrong.body;
  EXPECT_TRUE(wrong.Has("action=\"?95@@59@\"")) << wrong.body;
  Http empty = Request("95@@", "username=sysop&password=");
  EXPECT_TRUE(empty.Has("The name or password is not correct.")) << empty.body;

  // The kept request comes first: the control panel, which points at the
  // wizard while the factory password is in use.
  Http panel = Login("sysop", "59@");
  EXPECT_TRUE(panel.Has("<h1>Control panel</h1>")) << panel.body;
  EXPECT_TRUE(panel.Has("Finish setting up the site")) << panel.body;
  EXPECT_FALSE(cert_.empty());
  EXPECT_TRUE(panel.Has("?63@" + cert_ + "@")) << panel.body;
  // The session carries on.
  Http again = Get("59");
  EXPECT_TRUE(again.Has("<h1>Control panel</h1>")) << again.body;
}

TEST_F(Sysop, TheWizardStoresEachStepAndRefusesTheFactoryPassword) {
  Start();
  // Without a kept request the new site's sysop lands in the wizard.
  Http welcome = Login("sysop");
  EXPECT_TRUE(welcome.Has("Welcome to Quillmoot")) << welcome.body;
  ASSERT_FALSE(cert_.empty());

  Http images = Get("81");
  EXPECT_TRUE(images.Has("name=\"imagesDir\"")) << images.body;
  Http bad = Post("81", "step=images&imagesDir=");
  EXPECT_TRUE(bad.Has("You must give the images directory.")) << bad.body;
  Http email = Post("81", "step=images&imagesDir=/pics/");
  EXPECT_TRUE(email.Has("name=\"sysopEmail\"")) << email.body;
  Http badMail = Post("81", "step=email&sysopEmail=nobody");
  EXPECT_TRUE(badMail.Has("Invalid e-mail address")) << badMail.body;
  Http general = Post("81", "step=email&sysopEmail=sysop@example.com");
  // The general step is the page type startupGeneral, posted to 85.
  EXPECT_TRUE(general.Has("action=\"?85@" + cert_ + "@\"")) << general.body;
  EXPECT_TRUE(general.Has("value=\"sysop@example.com\"")) << general.body;

  Http noTitle = Post("85", "siteTitle=&serverName=&sysopEmail=sysop@example.com");
  EXPECT_TRUE(noTitle.Has("You must give the site a title")) << noTitle.body;
  Http password =
      Post("85", "siteTitle=Harbour+Talk&serverName=talk.example.com&sysopEmail=sysop@example.com"
                 "&allowGuests=1");
  EXPECT_TRUE(password.Has("name=\"password2\"")) << password.body;

  Http factory = Post("84", "password=sysop&password2=sysop");
  EXPECT_TRUE(factory.Has("The password cannot be the same as the user&#39;s name") ||
              factory.Has("The password cannot be the same as the user's name"))
      << factory.body;
  Http differ = Post("84", "password=harbour42&password2=harbour43");
  EXPECT_TRUE(differ.Has("The two passwords are not the same")) << differ.body;
  Http done = Post("84", "password=harbour42&password2=harbour42");
  EXPECT_TRUE(done.Has("The site is set up")) << done.body;

  // Every step is stored: the general settings form shows them, the title
  // is the site's, and registration was switched off (box not checked).
  Http settings = Get("63");
  EXPECT_TRUE(settings.Has("value=\"/pics\"")) << settings.body;
  EXPECT_TRUE(settings.Has("value=\"Harbour Talk\"")) << settings.body;
  EXPECT_TRUE(settings.Has("value=\"talk.example.com\"")) << settings.body;
  EXPECT_TRUE(settings.Has("<title>Harbour Talk - General settings</title>")) << settings.body;
  Http users = Get("62");
  EXPECT_TRUE(users.Has("name=\"allowAutoRegister\" value=\"1\">")) << users.body;

  // The factory password no longer opens the site; the new one leads to the
  // control panel, which no longer points at the wizard.
  Http old = Login("sysop");
  EXPECT_TRUE(old.Has("The name or password is not correct.")) << old.body;
  Http panel = Login("harbour42");
  EXPECT_TRUE(panel.Has("<h1>Control panel</h1>")) << panel.body;
  EXPECT_FALSE(panel.Has("Finish setting up the site")) << panel.body;
}

TEST_F(Sysop, GeneralSettingsAreCheckedStoredAndSurviveACrash) {
  Start();
  Login("sysop", "63@");
  Http form = Get("63");
  EXPECT_TRUE(form.Has("name=\"maxCols\" inputmode=\"numeric\" value=\"70\"")) << form.body;

  Http stored = Post("61", "title=Dockside&maxCols=90&searchEnabled=0&searchEnabled=1");
  EXPECT_TRUE(stored.Has("The settings have been stored.")) << stored.body;
  EXPECT_TRUE(stored.Has("value=\"Dockside\"")) << stored.body;
  EXPECT_TRUE(stored.Has("name=\"maxCols\" inputmode=\"numeric\" value=\"90\"")) << stored.body;
  EXPECT_TRUE(stored.Has("name=\"searchEnabled\" value=\"1\" checked>")) << stored.body;

  // A value out of range: the form again with the field named, the posted
  // values shown, and nothing stored (not even the valid title).
  Http range = Post("61", "title=Elsewhere&maxCols=5");
  EXPECT_TRUE(range.Has("role=\"alert\">&quot;Columns of a message editor&quot; must be between "
                        "10 and 1000.</p>"))
      << range.body;
  EXPECT_TRUE(range.Has("value=\"Elsewhere\"")) << range.body;
  Http kind = Post("61", "siteKind=full");
  EXPECT_TRUE(kind.Has("must be a whole number.")) << kind.body;
  Http mail = Post("61", "email=not-an-address");
  EXPECT_TRUE(mail.Has("must be an e-mail address")) << mail.body;
  Http tooLong = Post("61", "title=" + std::string(2000, 'x'));
  EXPECT_TRUE(tooLong.Has("&quot;Title of the site&quot; is too long (at most 1024 characters)."))
      << tooLong.body.substr(0, 2000);
  Http after = Get("63");
  EXPECT_TRUE(after.Has("value=\"Dockside\"")) << after.body;
  EXPECT_FALSE(after.Has("value=\"Elsewhere\"")) << after.body;

  // kill -9: nothing was saved, the roll-forward log brings it back.
  Crash();
  Start();
  Login("sysop", "63@");
  Http replayed = Get("63");
  EXPECT_TRUE(replayed.Has("value=\"Dockside\"")) << replayed.body;
  EXPECT_TRUE(replayed.Has("name=\"maxCols\" inputmode=\"numeric\" value=\"90\"")) << replayed.body;
  EXPECT_TRUE(replayed.Has("<title>Dockside - General settings</title>")) << replayed.body;
}

TEST_F(Sysop, EveryFormRoundTripsAndTheGuestSwitchIsInEffect) {
  Start();
  Login("sysop", "59@");
  // One stored value per form, shown again on reload.
  struct Case {
    const char* show;
    const char* process;
    const char* post;
    const char* shown;
  };
  const Case cases[] = {
      {"46", "47", "guestNewHours=48", "value=\"48\""},
      {"62", "60", "logoutTime=1200", "value=\"1200\""},
      {"101", "102", "pictSizes=post.gif+40+20", "post.gif 40 20</textarea>"},
      {"105", "106", "background=%23EEEEEE", "value=\"#EEEEEE\""},
      {"107", "108", "catForumSeq=3", "value=\"3\""},
      {"109", "110", "messageBetween=%3Chr%3E", "&lt;hr&gt;</textarea>"},
      {"111", "112", "toolbarNL=+%7C+", " | </textarea>"},
      {"113", "114", "userPictWidth=64", "value=\"64\""},
      {"228", "234", "whileLimit=5000", "value=\"5000\""},
      {"226", "227", "mimeType=text/html;+charset=utf-8", "value=\"text/html; charset=utf-8\""},
      {"186", "187", "backupCount=4&backupTime=4:30&rollForward=1", "value=\"4:30\""},
      {"188", "189", "mirrorThreads=5&nameServer=source.example.com",
       "value=\"source.example.com\""},
      {"231", "232", "nntpMaxSessions=3", "value=\"3\""},
      {"245", "246", "smtpAfterLogin=15", "value=\"15\""},
      {"247", "248", "ldapServerMaxSessions=2&ldapPort=636", "value=\"636\""},
      {"62", "60", "passwordHtml=Your+key", ">Your key</textarea>"},
      {"197", "198", "fanoutClientsMax=50", "value=\"50\""},
  };
  for (const Case& c : cases) {
    Http stored = Post(c.process, c.post);
    EXPECT_TRUE(stored.Has("The settings have been stored.")) << c.process << stored.body;
    Http shown = Get(c.show);
    EXPECT_TRUE(shown.Has(c.shown)) << c.show << shown.body;
  }
  Http time = Post("187", "backupTime=25:00");
  EXPECT_TRUE(time.Has("must be a time of day")) << time.body;
  Http count = Post("187", "backupCount=12");
  EXPECT_TRUE(count.Has("must be between 1 and 9.")) << count.body;

  // Guests: while allowed, a guest's URL macro is answered; once the sysop
  // turns guests off, the guest is sent to log in instead.
  Http open = Request("nosuch@@", "");
  EXPECT_TRUE(open.Has("The template \"nosuch\" is not defined.") ||
              open.Has("The template &quot;nosuch&quot; is not defined."))
      << open.body;
  Http off = Post("47", "allowGuests=0");
  EXPECT_TRUE(off.Has("name=\"allowGuests\" value=\"1\">")) << off.body;
  Http closed = Request("nosuch@@", "");
  EXPECT_FALSE(closed.Has("is not defined")) << closed.body;
  // New memory settings start the server again, in the same process, with
  // the sizes in effect (the process's resident size grows to the cache).
  Http memory = Post("134", "memUserSpecified=1&chunkPages=20000");
  EXPECT_TRUE(memory.Has("the server starts again with them.")) << memory.body;
  // The sessions went with the old run: the sysop logs in again.
  Http shown;
  for (int i = 0; i < 200 && !shown.Has("value=\"20000\""); ++i) {
    usleep(20000);
    Login("sysop");
    shown = Get("133");
  }
  EXPECT_TRUE(shown.Has("value=\"20000\"")) << shown.body;
  EXPECT_EQ(kill(quil_->pid(), 0), 0);
  std::ifstream in("/proc/" + std::to_string(quil_->pid()) + "/status");
  std::string status((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t rss = status.find("VmRSS:");
  ASSERT_NE(rss, std::string::npos);
  EXPECT_GT(std::stol(status.substr(rss + 6)), 20000 * 4);  // kB: the cache's pages
}

TEST_F(Sysop, SwitchesAnswerWithTheirState) {
  Start();
  Login("sysop", "59@");
  Http on = Get("90", "on");
  EXPECT_TRUE(on.Has("The log file has been turned on.")) << on.body;
  Http again = Get("90", "on");
  EXPECT_TRUE(again.Has("The log file has been turned on.")) << again.body;
  Http flip = Get("90");
  EXPECT_TRUE(flip.Has("The log file has been turned off.")) << flip.body;
  Http req = Get("92", "off");
  EXPECT_TRUE(req.Has("Request logging has been turned off.")) << req.body;
  Http panel = Get("59");
  EXPECT_TRUE(panel.Has("Request logging is off.")) << panel.body;
  EXPECT_TRUE(panel.Has("The log file is off.")) << panel.body;
  const std::pair<const char*, const char*> others[] = {
      {"93", "Post logging"},           {"96", "Template use"},
      {"201", "Request-time logging"},  {"205", "TCP session recording"},
      {"206", "TCP stream recording"},  {"210", "Mirror-synchronisation logging"},
      {"211", "Post tracking"},
  };
  for (const auto& [command, what] : others) {
    Http h = Get(command, "on");
    EXPECT_TRUE(h.Has(std::string(what) + " has been turned on.")) << command << h.body;
    Http h2 = Get(command, "off");
    EXPECT_TRUE(h2.Has(std::string(what) + " has been turned off.")) << command << h2.body;
  }
  Http test = Request("100@" + cert_ + "@/Folder!alpha=1&newPassword=hidden", "");
  EXPECT_TRUE(test.Has("<th scope=\"row\">Location</th><td>/Folder</td>")) << test.body;
  EXPECT_TRUE(test.Has("<th scope=\"row\">alpha</th><td>1</td>")) << test.body;
  EXPECT_FALSE(test.Has("hidden")) << test.body;
  Http reset = Get("99");
  EXPECT_TRUE(reset.Has("The queues and the file cache have been reset.")) << reset.body;
}

TEST_F(Sysop, TheBackupFormStartsABackupThatTheStatusPageLists) {
  Start();
  Login("sysop", "59@");
  Http before = Get("219");
  // The live roll-forward log is there from the start; no backup yet.
  EXPECT_TRUE(before.Has("<td>quilroll.1</td>")) << before.body;
  EXPECT_FALSE(before.Has("<td>quildb.1</td>")) << before.body;
  Http started = Post("187", "backupNow=1");
  EXPECT_TRUE(started.Has("the backup has started") || started.Has("role=\"status\""))
      << started.body;
  bool listed = false;
  for (int i = 0; i < 100 && !listed; ++i) {
    Http status = Get("219");
    listed = status.Has("<td>quildb.1</td>") && status.Has("No backup is running.");
    if (!listed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(listed) << Get("219").body;
  EXPECT_TRUE(dir_.Exists("quildb.1"));
}

TEST_F(Sysop, OthersAreRefusedAndUsersAreAdministered) {
  MakeSiteWithUser(dir_, "Mariner, Ann", "sail4way");
  if (HasFatalFailure()) return;
  Start("httpBasic=1\n");
  // A registered user who is not the sysop: refused, for every kind of
  // sysop command.
  for (const char* command : {"59", "63", "90", "99", "186", "129", "70"}) {
    Http h = Request(std::string(command) + "@@", "", "-u 'Ann Mariner:sail4way'");
    EXPECT_TRUE(h.Has("Only a system operator may use this request")) << command << h.body;
    EXPECT_TRUE(h.Has("Sysop Function")) << command << h.body;
  }
  Http posted = Request("61@@", "title=Hacked", "-u 'Ann Mariner:sail4way'");
  EXPECT_TRUE(posted.Has("Only a system operator may use this request")) << posted.body;
  // The sysop's log-in refuses her.
  Http login = Request("95@@", "username=Ann+Mariner&password=sail4way");
  EXPECT_TRUE(login.Has("Only a system operator may log in here.")) << login.body;

  Login("sysop", "59@");
  Http same = Post("71", "userName=Ann+Mariner&password=mariner,+ann&password2=mariner,+ann");
  EXPECT_TRUE(same.Has("The password cannot be the same as the user&#39;s name")) << same.body;
  Http same2 = Post("71", "userName=Ann+Mariner&password=Ann+Mariner");
  EXPECT_TRUE(same2.Has("The password cannot be the same as the user&#39;s name")) << same2.body;
  Http none = Post("71", "userName=Nobody+Here&password=x1");
  EXPECT_TRUE(none.Has("No user named &quot;Nobody Here&quot;")) << none.body;
  Http set = Post("71", "userName=Ann+Mariner&password=harbour9&password2=harbour9");
  EXPECT_TRUE(set.Has("has been set.")) << set.body;
  Http oldPw = Request("63@@", "", "-u 'Ann Mariner:sail4way'");
  EXPECT_FALSE(oldPw.Has("Only a system operator")) << oldPw.body;  // no longer her
  Http newPw = Request("63@@", "", "-u 'Ann Mariner:harbour9'");
  EXPECT_TRUE(newPw.Has("Only a system operator may use this request")) << newPw.body;

  Http prefs = Post("130", "userName=Ann+Mariner");
  EXPECT_TRUE(prefs.Has("value=\"user@example.com\"")) << prefs.body;
  Http badPrefs = Post("130", "userName=Ann+Mariner&save=1&logoutTime=5");
  EXPECT_TRUE(badPrefs.Has("must be a whole number between 60")) << badPrefs.body;
  Http goodPrefs =
      Post("130", "userName=Ann+Mariner&save=1&logoutTime=900&homePage=http://ann.example");
  EXPECT_TRUE(goodPrefs.Has("The preferences have been stored.")) << goodPrefs.body;
  EXPECT_TRUE(goodPrefs.Has("value=\"900\"")) << goodPrefs.body;
  EXPECT_TRUE(goodPrefs.Has("value=\"http://ann.example\"")) << goodPrefs.body;

  Http clear = Post("75", "userName=Ann+Mariner");
  EXPECT_TRUE(clear.Has("has been cleared.")) << clear.body;
  Http sysopGone = Post("73", "userName=sysop&confirm=1");
  EXPECT_TRUE(sysopGone.Has("The sysop cannot be removed")) << sysopGone.body;
  Http unconfirmed = Post("73", "userName=Ann+Mariner");
  EXPECT_TRUE(unconfirmed.Has("Check the box to confirm the removal")) << unconfirmed.body;
  Http removed = Post("73", "userName=Ann+Mariner&confirm=1");
  EXPECT_TRUE(removed.Has("has been removed.")) << removed.body;
  Http afterRemoval = Post("130", "userName=Ann+Mariner");
  EXPECT_TRUE(afterRemoval.Has("No user named")) << afterRemoval.body;
}

}  // namespace
