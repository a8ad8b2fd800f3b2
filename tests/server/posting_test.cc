// Changing the conference from the web through the real quil binary and a
// real HTTP client (curl): posting and editing messages (duplicates, guests,
// stale message numbers), the moderation queue with its review and
// approval, subscriptions, folders and discussions added, edited and
// deleted, and links.  Users log in by basic authorization (httpBasic=1).
//
// What the conference holds is read back through URL macros of the site's
// extension file: "msgs" lists the messages of the location's discussion,
// "info" the title of the location.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "ports.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

constexpr char kMacros[] =
    "%% macro msgs %%count=%% pathMessageCount %%\n"
    "%% set all pathSelect(\"type=message\") %%%% while all != \"\" %%"
    "%% set one all.head(\" \") %%%% set all all.tail(\" \") %%"
    "%% if setPath(one) %%[%% pathBody %%]\n%% endif %%%% endwhile %%%% endmacro %%\n"
    "%% macro info %%title=[%% pathTitle %%]%% endmacro %%\n"
    "%% macro src %%source=[%% pathSource %%]%% endmacro %%\n"
    "%% macro doc %%doc=[%% pathIsDocument %%]%% endmacro %%\n";

// Builds the conference: folder Cafe (guests may not post there, mona is
// moderated there) with discussion 1 holding one message of alice's; the
// registered users alice, bob and mona; the sysop root; the objectionable
// word "darn".
void BuildPostingConference(const ScratchDir& dir, bool textOnly) {
  using namespace quil;
  auto S = [](const std::string& text) { return StFromView(text); };
  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  (void)UtInitRtns(kPkgInit, kPkgVersion);
  StoreRegisterTypes();
  (void)QuInitRtns(kPkgInit, kPkgVersion);
  ASSERT_EQ(ChInit(kPkgVersion, 16384), 0);
  (void)ForumInitRtns(kPkgInit, kPkgVersion);
  ForumDbOpenOptions options;
  ForumRoot root = ForumDbOpenI("quil.db", &options);
  ASSERT_NE(root, nullptr);
  {
    auto user = [&](const char* name, const char* pw) {
      ChHandle u = 0;
      EXPECT_EQ(ForumUserCreate(root, kForumUserRegistered, S(name), S(std::string(name) + "@x.org"),
                                StHashMd5(S(pw)), &u),
                0);
      return u;
    };
    ChHandle alice = user("alice", "apw");
    (void)user("bob", "bpw");
    ChHandle mona = user("mona", "mpw");
    ChHandle sysop = user("root", "rpw");
    ForumUserSetSysop(root, sysop, true);
    ForumSysopSetObjectionable(root, S("darn"));
    ForumSysopSetMessageMax(root, 100);
    ForumSysopSetUserIsText(root, textOnly);
    ForumFile top = ForumTopFolder(root);
    ASSERT_EQ(ForumCatItemCreate(top, S("forum-category"), S("Cafe"), S("Cafe"), 0, true, nullptr),
              0);
    ForumFile cafe = ForumFileHasChild(top, S("Cafe"));
    (void)ForumAccCreateList(cafe);
    ForumAccInhibit(cafe, kForumAccAllGuests, kForumAccPost);
    ForumAccEnable(cafe, mona, 0x3effffff);
    ForumAccInhibit(cafe, mona, kForumAccHost);
    St made;
    ASSERT_EQ(ForumCatItemCreate(cafe, S("forum-topic"), St(), S("Talk"), alice, true, &made), 0);
    ForumFile talk = ForumFileHasChild(cafe, made);
    int32_t ix;
    ASSERT_EQ(ForumItemCreate(talk, alice, S(""), S("text"), S("First words"), -1, true, &ix), 0);
    ASSERT_EQ(ForumCatItemCreate(top, S("forum-category"), S("Open"), S("Open"), 0, true, nullptr),
              0);
    ForumFile open = ForumFileHasChild(top, S("Open"));
    ASSERT_EQ(ForumCatItemCreate(open, S("forum-topic"), St(), S("Lobby"), 0, true, &made), 0);
  }
  ForumDbCloseI(root);
  (void)ForumInitRtns(kPkgTerm, 0);
  ChTerm();
  (void)QuInitRtns(kPkgTerm, 0);
  (void)UtInitRtns(kPkgTerm, 0);
  std::filesystem::current_path(old);
}

class Posting : public ::testing::Test {
 protected:
  virtual bool TextOnly() const { return false; }
  void SetUp() override {
    BuildPostingConference(dir_, TextOnly());
    if (HasFatalFailure()) return;
    port_ = FreePort();
    WriteFile(dir_.File("quil.set"),
              "webPort=127.0.0.1:" + std::to_string(port_) + "\nhttpBasic=1\n");
    WriteFile(dir_.File("html/quilextn.tpl"), kMacros);
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
  }

  void TearDown() override {
    if (quil_) Stop(*quil_, dir_);
  }

  // A request of the query text ("11@@/Cafe/1") by user (empty: a guest)
  // with the form fields (name, value), posted when there are any.
  Http Send(const std::string& query, const std::string& user = "",
            const std::vector<std::pair<std::string, std::string>>& fields = {}) {
    std::string args;
    if (!user.empty()) args += " -u " + Quote(user);
    for (const auto& [name, value] : fields)
      args += " --data-urlencode " + Quote(name + "=" + value);
    return Curl(args + " " + Quote("http://127.0.0.1:" + std::to_string(port_) + "/Quil?" + query));
  }

  // The messages of a discussion as the "msgs" macro lists them.
  std::string Messages(const std::string& discussion) {
    return Send("msgs@@" + discussion).body;
  }
  std::string Title(const std::string& location) { return Send("info@@" + location).body; }

  ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Quil> quil_;
};

TEST_F(Posting, AReplyAppearsAndTheSameTextTwiceMakesOneMessage) {
  ASSERT_NE(Messages("/Cafe/1").find("count=1"), std::string::npos) << Messages("/Cafe/1");
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "Hello there"}});
  std::string m = Messages("/Cafe/1");
  EXPECT_NE(m.find("count=2"), std::string::npos) << m;
  EXPECT_NE(m.find("[Hello there]"), std::string::npos) << m;
  // The second click on the same form posts nothing.
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "Hello there"}});
  EXPECT_NE(Messages("/Cafe/1").find("count=2"), std::string::npos);
  // Another author with the same words posts.
  Send("11@@/Cafe/1", "bob:bpw", {{"newresponse", "Hello there"}});
  EXPECT_NE(Messages("/Cafe/1").find("count=3"), std::string::npos);
}

TEST_F(Posting, PreviewsEmptyPostsAndScriptsAreAnswered) {
  Http preview = Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "Draft <b>bold</b>"}, {"edit", "1"}});
  EXPECT_TRUE(preview.Has("Draft <b>bold</b>")) << preview.body;
  EXPECT_TRUE(preview.Has("name=\"newresponse\"")) << preview.body;
  EXPECT_NE(Messages("/Cafe/1").find("count=1"), std::string::npos);
  Http empty = Send("11@@/Cafe/1", "alice:apw", {{"messageTitle", "Only a title"}});
  EXPECT_TRUE(empty.Has("No message provided")) << empty.body;
  Send("11@@/Cafe/1", "alice:apw",
       {{"newresponse", "Look <script>alert(1)</script><a href=\"javascript:x()\" "
                        "onclick=\"y()\">here</a>"}});
  std::string m = Messages("/Cafe/1");
  EXPECT_EQ(m.find("script"), std::string::npos) << m;
  EXPECT_EQ(m.find("onclick"), std::string::npos) << m;
  EXPECT_NE(m.find(">here</a>"), std::string::npos) << m;
}

TEST_F(Posting, GuestsArePromptedToLogIn) {
  // Guests may not post in Cafe: the request is kept over the login form.
  Http guest = Send("11@@/Cafe/1", "", {{"name", "Visitor"}, {"newresponse", "Hi"}});
  EXPECT_TRUE(guest.Has("?23@") || guest.Has("Unable to process")) << guest.body;
  EXPECT_FALSE(guest.Has("Hi")) << guest.body;
  EXPECT_NE(Messages("/Cafe/1").find("count=1"), std::string::npos);
  // A registered user's name gets the login-to-post form.
  Http named = Send("11@@/Open/1", "", {{"name", "alice"}, {"newresponse", "Hi"}});
  EXPECT_TRUE(named.Has("Log in to post")) << named.body;
  // A guest with a name of his own posts where guests may.
  Http noName = Send("11@@/Open/1", "", {{"newresponse", "Hi"}});
  EXPECT_TRUE(noName.Has("You must specify a name to post")) << noName.body;
  Http badMail = Send("11@@/Open/1", "", {{"name", "Visitor"}, {"email", "no at all"},
                                          {"newresponse", "Hi"}});
  EXPECT_TRUE(badMail.Has("Invalid e-mail address")) << badMail.body;
  Send("11@@/Open/1", "", {{"name", "Visitor"}, {"newresponse", "Hi from a guest"}});
  EXPECT_NE(Messages("/Open/1").find("[Hi from a guest]"), std::string::npos);
}

TEST_F(Posting, StaleLocationsAreAnsweredWithAPage) {
  Http edit = Send("53@@/Cafe/1/99", "alice:apw");
  EXPECT_TRUE(edit.Has("Could not locate message--pathname is not valid")) << edit.body;
  Http post = Send("11@@/Cafe/77", "alice:apw", {{"newresponse", "x"}});
  EXPECT_TRUE(post.Has("Could not open discussion.")) << post.body;
  Http del = Send("55@@/Cafe/1/42", "root:rpw");
  EXPECT_TRUE(del.Has("Could not locate message--pathname is not valid")) << del.body;
  Http folder = Send("39@@/Nowhere", "root:rpw");
  EXPECT_TRUE(folder.Has("Folder Pathname Not Found")) << folder.body;
}

TEST_F(Posting, AnAuthorEditsAndDeletesHisMessage) {
  Http form = Send("53@@/Cafe/1/0", "alice:apw");
  EXPECT_TRUE(form.Has("First words")) << form.body;
  Send("12@@/Cafe/1/0", "alice:apw", {{"newresponse", "Second thoughts"}});
  EXPECT_NE(Messages("/Cafe/1").find("[Second thoughts]"), std::string::npos);
  // Somebody else may not.
  Http bob = Send("12@@/Cafe/1/0", "bob:bpw", {{"newresponse", "Mine now"}});
  EXPECT_TRUE(bob.Has("You do not have edit access for this message")) << bob.body;
  Http check = Send("54@@/Cafe/1/0", "alice:apw");
  EXPECT_TRUE(check.Has("?55@")) << check.body;
  Http gone = Send("55@@/Cafe/1/0", "alice:apw");
  EXPECT_TRUE(gone.Has("The message has been deleted.")) << gone.body;
  EXPECT_NE(Messages("/Cafe/1").find("count=0"), std::string::npos);
}

TEST_F(Posting, AModeratedPostWaitsInTheQueueUntilApproved) {
  Http preview = Send("11@@/Cafe/1", "mona:mpw", {{"newresponse", "Moderate me"}});
  EXPECT_TRUE(preview.Has("Preview Moderated Message")) << preview.body;
  EXPECT_TRUE(preview.Has("A moderator will review your message.")) << preview.body;
  EXPECT_TRUE(preview.Has("name=\"approved\"")) << preview.body;
  Send("11@@/Cafe/1", "mona:mpw", {{"newresponse", "Moderate me"}, {"approved", "1"}});
  EXPECT_NE(Messages("/Cafe/1").find("count=1"), std::string::npos);
  // An objectionable word queues a post of anybody but the sysop.
  Send("11@@/Cafe/1", "bob:bpw", {{"newresponse", "darn it"}, {"approved", "1"}});
  EXPECT_NE(Messages("/Cafe/1").find("count=1"), std::string::npos);

  // Only a host reviews.
  Http refused = Send("124@@", "bob:bpw");
  EXPECT_TRUE(refused.Has("No items are waiting for approval.")) << refused.body;
  Http first = Send("124@@", "root:rpw");
  EXPECT_TRUE(first.Has("Approve Message")) << first.body;
  EXPECT_TRUE(first.Has("Moderate me")) << first.body;
  Http second = Send("125@@", "root:rpw", {{"item", "0"}, {"approve", "1"}});
  std::string m = Messages("/Cafe/1");
  EXPECT_NE(m.find("count=2"), std::string::npos) << m;
  EXPECT_NE(m.find("[Moderate me]"), std::string::npos) << m;
  // The next entry follows, its word marked.
  EXPECT_TRUE(second.Has("<font color=red>darn</font> it")) << second.body;
  EXPECT_TRUE(second.Has("objectionable words are highlighted in red")) << second.body;
  Http last = Send("125@@", "root:rpw", {{"item", "0"}, {"approve", "0"}});
  EXPECT_TRUE(last.Has("No items are waiting for approval.")) << last.body;
  EXPECT_NE(Messages("/Cafe/1").find("count=2"), std::string::npos);
  // A stale queue position is answered.
  Http stale = Send("125@@", "root:rpw", {{"item", "5"}, {"approve", "1"}});
  EXPECT_TRUE(stale.Has("Error posting: ")) << stale.body;
}

TEST_F(Posting, ASubscriptionListsNewMessagesAndClearsWhenRead) {
  Http none = Send("38@@", "bob:bpw");
  EXPECT_TRUE(none.Has("You have no subscriptions.")) << none.body;
  Http sub = Send("29@@/Cafe/1", "bob:bpw");
  EXPECT_TRUE(sub.Has("You are subscribed to")) << sub.body;
  Send("38@@", "bob:bpw");  // reads what was there before
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "News for bob"}});
  Http news = Send("38@@", "bob:bpw");
  EXPECT_TRUE(news.Has("News for bob")) << news.body;
  Http again = Send("38@@", "bob:bpw");
  EXPECT_TRUE(again.Has("There are no new messages.")) << again.body;
  // The author's own post is not new for him.
  Send("29@@/Cafe", "alice:apw");
  Http own = Send("38@@", "alice:apw");
  EXPECT_FALSE(own.Has("News for bob")) << own.body;
  Send("36@@/Cafe/1", "bob:bpw");
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "After the cancel"}});
  Http cancelled = Send("38@@", "bob:bpw");
  EXPECT_TRUE(cancelled.Has("You have no subscriptions.")) << cancelled.body;
}

TEST_F(Posting, FoldersAreAddedEditedAndDeleted) {
  Http slash = Send("4@@/Cafe", "alice:apw", {{"title", "Tea/Coffee"}});
  EXPECT_TRUE(slash.Has("You cannot use a slash (")) << slash.body;
  EXPECT_TRUE(slash.Has("in a folder name. Try ")) << slash.body;
  Http untitled = Send("4@@/Cafe", "alice:apw", {{"title", ""}});
  EXPECT_TRUE(untitled.Has("You must specify a folder title")) << untitled.body;
  Send("4@@/Cafe", "alice:apw", {{"title", "Tea Room"}, {"header", "For tea"}});
  EXPECT_NE(Title("/Cafe/Tea_Room").find("title=[Tea Room]"), std::string::npos)
      << Title("/Cafe/Tea_Room");
  // Only hosts edit and delete.
  Http notHost = Send("58@@/Cafe/Tea_Room", "alice:apw", {{"title", "Mine"}});
  EXPECT_TRUE(notHost.Has("You do not have edit access for this folder")) << notHost.body;
  Send("58@@/Cafe/Tea_Room", "root:rpw", {{"title", "Tea House"}});
  EXPECT_NE(Title("/Cafe/Tea_Room").find("title=[Tea House]"), std::string::npos);
  Http slash2 = Send("58@@/Cafe/Tea_Room", "root:rpw", {{"title", "a/b"}});
  EXPECT_TRUE(slash2.Has("You cannot use a slash (")) << slash2.body;
  Http check = Send("52@@/Cafe/Tea_Room", "root:rpw");
  EXPECT_TRUE(check.Has("?40@")) << check.body;
  Http gone = Send("40@@/Cafe/Tea_Room", "root:rpw");
  EXPECT_TRUE(gone.Has("The folder has been deleted.")) << gone.body;
  EXPECT_EQ(Title("/Cafe/Tea_Room").find("Tea House"), std::string::npos);

  // What participants may add follows the form: discussions, no folders.
  Send("4@@/Open", "alice:apw",
       {{"title", "Flat"}, {"allow_subtopics", "none"}, {"allow_conv", "1"}});
  Http sub = Send("4@@/Open/Flat", "bob:bpw", {{"title", "Deeper"}});
  EXPECT_TRUE(sub.Has("You do not have access to add this item here")) << sub.body;
  Send("10@@/Open/Flat", "bob:bpw", {{"title", "Allowed"}});
  EXPECT_NE(Title("/Open/Flat/1").find("title=[Allowed]"), std::string::npos)
      << Title("/Open/Flat/1");
}

TEST_F(Posting, ADiscussionIsStartedEditedAndDeleted) {
  Http untitled = Send("10@@/Cafe", "alice:apw", {{"title", ""}});
  EXPECT_TRUE(untitled.Has("You must specify a title for the discussion")) << untitled.body;
  Send("10@@/Cafe", "alice:apw", {{"title", "Plans"}, {"header", "What next?"}});
  EXPECT_NE(Title("/Cafe/2").find("title=[Plans]"), std::string::npos) << Title("/Cafe/2");
  Http form = Send("41@@/Cafe/2", "root:rpw");
  EXPECT_TRUE(form.Has("Plans")) << form.body;
  Send("57@@/Cafe/2", "root:rpw", {{"title", "Better plans"}});
  EXPECT_NE(Title("/Cafe/2").find("title=[Better plans]"), std::string::npos);
  Http refused = Send("42@@/Cafe/2", "bob:bpw");
  EXPECT_TRUE(refused.Has("You do not have delete access for this discussion")) << refused.body;
  Http check = Send("51@@/Cafe/2", "root:rpw");
  EXPECT_TRUE(check.Has("?42@")) << check.body;
  Http gone = Send("42@@/Cafe/2", "root:rpw");
  EXPECT_TRUE(gone.Has("The discussion has been deleted.")) << gone.body;
  EXPECT_EQ(Title("/Cafe/2").find("Better plans"), std::string::npos);
  // It went to the "deleted" file first.
  EXPECT_NE(dir_.Read("html/deleted").find("Better plans"), std::string::npos);
}

TEST_F(Posting, LinksAreAddedEditedAndDeleted) {
  Send("137@@/Open", "root:rpw", {{"title", "Home"}, {"url", "https://example.org/"}});
  EXPECT_NE(Title("/Open/2").find("title=[Home]"), std::string::npos) << Title("/Open/2");
  Send("139@@/Open/2", "root:rpw", {{"title", "Cafe link"}, {"url", "/Cafe"}});
  // A link to a folder of the conference leads into the folder.
  EXPECT_NE(Title("/Open/2").find("title=[Cafe]"), std::string::npos) << Title("/Open/2");
  Http gone = Send("140@@/Open/2", "root:rpw");
  EXPECT_TRUE(gone.Has("The link has been deleted.")) << gone.body;
  Http missing = Send("140@@/Open/2", "root:rpw");
  EXPECT_TRUE(missing.Has("Link Pathname Not Found")) << missing.body;
}

TEST_F(Posting, PostsAreCutToTheLengthLimitExceptForHosts) {
  std::string longBody(150, 'x');
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", longBody}});
  std::string m = Messages("/Cafe/1");
  EXPECT_NE(m.find("[" + std::string(100, 'x') + "]"), std::string::npos) << m;
  Send("11@@/Cafe/1", "root:rpw", {{"newresponse", std::string(150, 'y')}});
  EXPECT_NE(Messages("/Cafe/1").find("[" + std::string(150, 'y') + "]"), std::string::npos);
}

TEST_F(Posting, FilesSentWithAPostAreAttached) {
  WriteFile(dir_.File("note.txt"), "a note\n");
  std::string cmd = "curl -s -u alice:apw -F 'newresponse=With a file' -F 'enclosure=@" +
                    dir_.File("note.txt") + ";type=text/plain' 'http://127.0.0.1:" +
                    std::to_string(port_) + "/Quil?11@@/Cafe/1'";
  (void)Shell(cmd);
  std::string m = Messages("/Cafe/1");
  ASSERT_NE(m.find("[With a file]"), std::string::npos) << m;
  std::string source = Send("src@@/Cafe/1/1").body;
  EXPECT_NE(source.find("source=[http]"), std::string::npos) << source;
  std::string doc = Send("doc@@/Cafe/1/1/note.txt").body;
  EXPECT_NE(doc.find("doc=[1]"), std::string::npos) << doc;
  std::string none = Send("doc@@/Cafe/1/1/other.txt").body;
  EXPECT_EQ(none.find("doc=[1]"), std::string::npos) << none;
}

TEST_F(Posting, TheFormsAreShown) {
  Http reply = Send("229@@/Cafe/1/0", "alice:apw");
  EXPECT_TRUE(reply.Has("action=\"?11@")) << reply.body;
  EXPECT_TRUE(reply.Has("First words")) << reply.body;  // the message answered
  Http folder = Send("3@@/Cafe", "alice:apw");
  EXPECT_TRUE(folder.Has("action=\"?4@")) << folder.body;
  Http discussion = Send("9@@/Cafe", "alice:apw");
  EXPECT_TRUE(discussion.Has("action=\"?10@")) << discussion.body;
  Http editFolder = Send("39@@/Cafe", "root:rpw");
  EXPECT_TRUE(editFolder.Has("action=\"?58@")) << editFolder.body;
  EXPECT_TRUE(editFolder.Has("value=\"Cafe\"")) << editFolder.body;
  Http editTalk = Send("41@@/Cafe/1", "root:rpw");
  EXPECT_TRUE(editTalk.Has("value=\"Talk\"")) << editTalk.body;
  Http link = Send("136@@/Open", "root:rpw");
  EXPECT_TRUE(link.Has("action=\"?137@")) << link.body;
  // A form typed with an error comes back with what was typed.
  Http again = Send("11@@/Open/1", "", {{"newresponse", "Keep this text"}});
  EXPECT_TRUE(again.Has("Keep this text")) << again.body;
}

// What the web pages change reaches the roll-forward log: a kill -9 right
// after the changes loses none of them.
TEST_F(Posting, AKillLosesNoPostedChange) {
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "Survives the crash"}});
  Send("10@@/Cafe", "alice:apw", {{"title", "Crash plans"}});
  Send("11@@/Cafe/1", "mona:mpw", {{"newresponse", "Queued before the crash"}, {"approved", "1"}});
  Send("29@@/Cafe/1", "bob:bpw");
  Send("38@@", "bob:bpw");
  Send("11@@/Cafe/1", "alice:apw", {{"newresponse", "Unread by bob"}});
  // One more request: its answer comes after the pass that wrote the
  // records of the changes before it.
  ASSERT_NE(Messages("/Cafe/1").find("[Unread by bob]"), std::string::npos);
  Ended e = KillNine(quil_, dir_);
  ASSERT_EQ(e.signal, SIGKILL) << e.err;
  quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
  ASSERT_TRUE(WaitForPort(port_));
  std::string m = Messages("/Cafe/1");
  EXPECT_NE(m.find("[Survives the crash]"), std::string::npos) << m;
  EXPECT_NE(Title("/Cafe/2").find("title=[Crash plans]"), std::string::npos);
  Http queue = Send("124@@", "root:rpw");
  EXPECT_TRUE(queue.Has("Queued before the crash")) << queue.body;
  EXPECT_NE(m.find("[Unread by bob]"), std::string::npos) << m;
  // The subscription came through (read marks are the store's alone and
  // may go back to the last save).
  Http news = Send("38@@", "bob:bpw");
  EXPECT_FALSE(news.Has("You have no subscriptions.")) << news.body;
}

// A site of plain text: tags are taken out of posts, but for hosts.
class TextOnlyPosting : public Posting {
 protected:
  bool TextOnly() const override { return true; }
};

TEST_F(TextOnlyPosting, TagsAreRemovedButForHosts) {
  Send("11@@/Cafe/1", "alice:apw",
       {{"newresponse", "plain <b>bold</b> text"}, {"messageTitle", "<i>Title</i>"}});
  std::string m = Messages("/Cafe/1");
  EXPECT_NE(m.find("[plain bold text]"), std::string::npos) << m;
  Send("11@@/Cafe/1", "root:rpw", {{"newresponse", "host <b>bold</b>"}});
  EXPECT_NE(Messages("/Cafe/1").find("[host <b>bold</b>]"), std::string::npos);
}

}  // namespace
