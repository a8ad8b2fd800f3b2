// The reading pages on a real database through the request processor:
// the location display with its message ranges, read marks, hits and the
// login gate; the outline, downloads of enclosures, user and item
// information; the sysop's quit and restart.
#include <atomic>
#include <cstdio>
#include <random>
#include <set>

#include "ForumRead.h"
#include "Ht.h"
#include "web_test_util.h"

using namespace quil;
using namespace webtest;

namespace {

class ShowTest : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    if (HasFatalFailure()) return;
    Create(top_, "forum-category", "Cafe", "The Cafe");
    discussion_ = "/Cafe/" + Create(Path("/Cafe"), "forum-topic", "", "Coffee").Str();
    ann_ = User("Ann", "pw");
  }

  // Posts count messages by author into the discussion, "Body k" each.
  void Post(int count, ChHandle author = 0) {
    ForumFile d = Path(discussion_.c_str());
    for (int k = 0; k < count; ++k) {
      int32_t at = 0;
      int32_t n = ForumFileCount(d);
      ASSERT_EQ(ForumItemCreate(d, author, S("Title " + std::to_string(n)), S("text"),
                                S("Body " + std::to_string(n) + "."), -1, true, &at),
                0);
    }
  }

  std::string discussion_;
  ChHandle ann_ = 0;
};

// How many of "Body 0." ... "Body n-1." the page shows.
int Bodies(const Response& r, int n) {
  int shown = 0;
  for (int k = 0; k < n; ++k) shown += r.Has("Body " + std::to_string(k) + ".");
  return shown;
}

TEST_F(ShowTest, PagesOfEachKind) {
  Post(3);
  Response top = Get("14@@");
  EXPECT_TRUE(top.Has("<link rel=\"stylesheet\" href=\"/quil.css\">")) << top.body;
  EXPECT_TRUE(top.Has(">The Cafe</a>")) << top.body;
  Response folder = Get("14@@/Cafe");
  EXPECT_TRUE(folder.Has("<h1>The Cafe</h1>")) << folder.body;
  EXPECT_TRUE(folder.Has(">Coffee</a>")) << folder.body;
  EXPECT_TRUE(folder.Has("?9@")) << "new discussion in the toolbar";
  // The login link keeps the page for after the login.
  EXPECT_TRUE(folder.Has("href=\"?15@@14@%2FCafe\"")) << folder.body;
  EXPECT_FALSE(folder.Has("?225@")) << folder.body;
  ForumSysopSetShowGetInfo(root_, true);
  EXPECT_TRUE(Get("14@@/Cafe").Has("?225@")) << "information when the sysop shows it";
  Response d = Get("14@@" + discussion_);
  EXPECT_EQ(Bodies(d, 3), 3) << d.body;
  EXPECT_TRUE(d.Has("?229@")) << "reply in the toolbar";
  Response m = Get("14@@" + discussion_ + "/1");
  EXPECT_EQ(Bodies(m, 3), 1) << m.body;
  EXPECT_TRUE(m.Has("Body 1.")) << m.body;
  // Every page is dated by its item.
  EXPECT_NE(d.Header("Last-Modified"), "");
  // The same page for every plain show command.
  for (const char* c : {"1", "2", "5", "6", "8", "37", "56"})
    EXPECT_EQ(Bodies(Get(std::string(c) + "@@" + discussion_), 3), 3) << c;
}

TEST_F(ShowTest, MessageRangesOfTheCommands) {
  Post(120);
  ChHandle bob = User("Bob", "pw");
  std::string cert = Login(bob);
  // The last page: 50 messages (the default), with a link to earlier ones.
  Response last = Get("14@" + cert + "@" + discussion_);
  EXPECT_EQ(Bodies(last, 120), 50);
  EXPECT_TRUE(last.Has("Body 119.") && last.Has("Body 70.") && !last.Has("Body 69."));
  EXPECT_TRUE(last.Has("?7@" + cert + "@")) << last.body;
  // Its paging: the earlier page ends where this one begins; no later page.
  EXPECT_TRUE(last.Has("!before=70\" rel=\"prev\">Earlier messages</a>")) << last.body;
  EXPECT_TRUE(last.Has("<span aria-current=\"page\">Messages 70 to 119</span>"));
  EXPECT_FALSE(last.Has("Latest messages"));
  // A user's own page size.
  ForumUserSetMaxMessages(root_, bob, 10);
  EXPECT_EQ(Bodies(Get("14@" + cert + "@" + discussion_), 120), 10);
  // 7: the page before the last; with "before", the page before that.
  Response earlier = Get("7@" + cert + "@" + discussion_);
  EXPECT_TRUE(earlier.Has("Body 100.") && earlier.Has("Body 109.") && !earlier.Has("Body 110."));
  Response before = Get("7@" + cert + "@" + discussion_ + "!before=20");
  EXPECT_TRUE(before.Has("Body 10.") && before.Has("Body 19.") && !before.Has("Body 20."))
      << before.body;
  EXPECT_TRUE(before.Has("!before=10\" rel=\"prev\">Earlier messages</a>")) << before.body;
  EXPECT_TRUE(before.Has("<span aria-current=\"page\">Messages 10 to 19</span>"));
  EXPECT_TRUE(before.Has(">Latest messages</a>"));
  // 13: the page around a message.
  Response context = Get("13@" + cert + "@" + discussion_ + "/60");
  EXPECT_EQ(Bodies(context, 120), 10);
  EXPECT_TRUE(context.Has("Body 55.") && context.Has("Body 64.")) << context.body;
  // 128: everything.
  EXPECT_EQ(Bodies(Get("128@" + cert + "@" + discussion_), 120), 120);
  // The site's TopicMax bounds the text of a page ("Body 1xx." is 9 bytes);
  // one message is shown whatever its size.
  ForumSysopSetTopicMax(root_, 30);
  Response small = Get("14@" + cert + "@" + discussion_);
  EXPECT_EQ(Bodies(small, 120), 3) << small.body;
  EXPECT_TRUE(small.Has("Body 119.") && small.Has("Body 117."));
  ForumSysopSetTopicMax(root_, 1);
  EXPECT_EQ(Bodies(Get("14@" + cert + "@" + discussion_), 120), 1);
}

// Every location page opens with the header all pages share: the link
// past it, who is reading and their way in or out.
TEST_F(ShowTest, LocationPagesShareTheHeaderOfEveryPage) {
  Post(2);
  std::string cert = Login(ann_);
  for (const std::string& where : {std::string(), std::string("/Cafe"), discussion_,
                                   discussion_ + "/1"}) {
    Response guest = Get("14@@" + where);
    EXPECT_TRUE(guest.Has("<a class=\"skip\" href=\"#content\">")) << where << guest.body;
    EXPECT_TRUE(guest.Has("<main class=\"page\" id=\"content\">")) << where;
    EXPECT_TRUE(guest.Has("Reading as a guest")) << where;
    Response ann = Get("14@" + cert + "@" + where);
    EXPECT_TRUE(ann.Has("Logged in as <strong>Ann</strong>")) << where << ann.body;
    EXPECT_TRUE(ann.Has("!logout=1\">Log out</a>")) << where;
    EXPECT_FALSE(ann.Has("Reading as a guest")) << where;
  }
  // A guest's log-in comes back to the page (the kept request "14@").
  EXPECT_TRUE(Get("14@@" + discussion_).Has("?15@@14@%2FCafe%2F")) << "kept discussion";
}

// A folder's items come fifty to a page: "!page=N" names the page, the
// paging links to the others, and every item is on exactly one page.
TEST_F(ShowTest, LongFoldersArePaged) {
  ForumFile cafe = Path("/Cafe");
  for (int k = 1; k < 120; ++k)
    Create(cafe, "forum-topic", "", ("Topic " + std::to_string(k)).c_str());
  std::set<std::string> seen;
  int items = 0;
  for (int page = 1; page <= 3; ++page) {
    Response r = Get("14@@/Cafe" + (page == 1 ? std::string() : "!page=" + std::to_string(page)));
    EXPECT_TRUE(r.Has("<nav class=\"paging\" aria-label=\"Pages of the folder\">")) << r.body;
    EXPECT_TRUE(r.Has("<span aria-current=\"page\">" + std::to_string(page) + "</span>"))
        << page << r.body;
    for (size_t at = r.body.find("\">Topic "); at != std::string::npos;
         at = r.body.find("\">Topic ", at + 1), ++items)
      seen.insert(r.body.substr(at + 2, r.body.find('<', at) - at - 2));
    if (r.Has(">Coffee</a>")) seen.insert("Coffee"), ++items;
  }
  EXPECT_EQ(items, 120);
  EXPECT_EQ(seen.size(), 120u);
  // The links of the middle page: the previous is the plain location, the
  // next names its page; the numbers link to the others.
  Response middle = Get("14@@/Cafe!page=2");
  EXPECT_TRUE(middle.Has("@/Cafe\" rel=\"prev\">Previous</a>")) << middle.body;
  EXPECT_TRUE(middle.Has("@/Cafe!page=3\" rel=\"next\">Next</a>"));
  EXPECT_TRUE(middle.Has("@/Cafe!page=3\">3</a>"));
  // Past the end: the last page; nonsense: the first.
  EXPECT_TRUE(Get("14@@/Cafe!page=99").Has("<span aria-current=\"page\">3</span>"));
  EXPECT_TRUE(Get("14@@/Cafe!page=x").Has("<span aria-current=\"page\">1</span>"));
  EXPECT_TRUE(Get("14@@/Cafe!page=-4").Has("<span aria-current=\"page\">1</span>"));
  // A folder of one page has no paging.
  Create(top_, "forum-category", "Quiet", "Quiet");
  Create(Path("/Quiet"), "forum-topic", "", "Alone");
  EXPECT_FALSE(Get("14@@/Quiet").Has("class=\"paging\""));
}

TEST_F(ShowTest, ReadMarksAdvanceForUsersOnly) {
  Post(5);
  ForumFile d = Path(discussion_.c_str());
  EXPECT_EQ(ForumNewMessages(d, ann_), 5);
  std::string cert = Login(ann_);
  Get("14@" + cert + "@" + discussion_ + "/2");
  EXPECT_EQ(ForumNewMessages(d, ann_), 2);
  // A message shown after a later one leaves the mark where it was.
  Get("14@" + cert + "@" + discussion_ + "/0");
  EXPECT_EQ(ForumNewMessages(d, ann_), 2);
  Get("14@" + cert + "@" + discussion_);
  EXPECT_EQ(ForumNewMessages(d, ann_), 0);
  // A guest stores nothing.
  Get("14@@" + discussion_);
  EXPECT_EQ(UserHighwaterCount(root_, 0), 0);
}

TEST_F(ShowTest, HitsAreCounted) {
  ForumFile cafe = Path("/Cafe");
  int32_t hits = ForumFileHits(cafe), site = ForumSiteHits(root_);
  Get("14@@/Cafe");
  Get("Cafe");
  EXPECT_EQ(ForumFileHits(cafe), hits + 2);
  EXPECT_EQ(ForumSiteHits(root_), site + 2);
}

TEST_F(ShowTest, MissingLocationsAndMessageNumbers) {
  Post(3);
  Response r = Get("14@@/Cafe/nothing");
  EXPECT_TRUE(r.Has(" - Pathname not found</title>")) << r.body;
  EXPECT_TRUE(r.Has("<h3>\"/Cafe/nothing\" not found</h3>")) << r.body;
  // A deleted message is not found; its number no longer opens.
  ASSERT_EQ(ForumItemDestroy(Path(discussion_.c_str()), 1), 0);
  EXPECT_TRUE(Get("14@@" + discussion_ + "/1").Has("Pathname not found"));
  EXPECT_TRUE(Get("14@@" + discussion_ + "/2").Has("Body 2."));
  // Markup in the location is escaped.
  EXPECT_TRUE(Get("14@@/<b>x").Has("&lt;b&gt;x"));
}

TEST_F(ShowTest, GuestsWithoutReadAccessGetTheLoginForm) {
  ForumFile cafe = Path("/Cafe");
  ASSERT_TRUE(ForumAccCreateList(cafe));
  ForumAccInhibit(cafe, kForumAccAllGuests, kForumAccRead);
  ForumAccEnable(cafe, ann_, kForumAccRead);
  Handle(kCgiCmdLoginForm);
  Get("14@@/Cafe");
  EXPECT_EQ(Last().command, kCgiCmdLoginForm);
  EXPECT_EQ(Last().location, "14@/Cafe");
  // Ann may read it.
  EXPECT_TRUE(Get("14@" + Login(ann_) + "@/Cafe").Has("<h1>The Cafe</h1>"));
}

TEST_F(ShowTest, TheSiteFilesPagesWinOverTheBuiltInOnes) {
  ForumSysopSetUseTemplates(root_, true);
  std::ofstream("html/quil.tpl")
      << "%% macro folder %%<p>site folder %% pathTitle %% %% if pageIs folder %%(folder)%% "
         "endif %%</p>%% endmacro %%";
  TemplateFileRefresh(TemplateMainSite());
  Response r = Get("14@@/Cafe");
  EXPECT_EQ(r.body.find("<p>site folder The Cafe (folder)</p>"), 0u) << r.body;
  // The top level has no macro of its own here: built in.
  EXPECT_TRUE(Get("14@@").Has(">The Cafe</a>"));
}

TEST_F(ShowTest, TheSysopsListTemplatesMakeTheLists) {
  Post(2);
  ForumSysopSetMessage(root_, S("<p class=\"mine\">%% pathBodyFormatted %%</p>"));
  ForumSysopSetHtmlBodyItem(root_, S("<p class=\"item\">%% pathTitle %%</p>"));
  ForumTemplateCache(TemplateMainSite());
  EXPECT_TRUE(Get("14@@" + discussion_).Has("<p class=\"mine\">Body 1.</p>"));
  EXPECT_TRUE(Get("14@@/Cafe").Has("<p class=\"item\">Coffee</p>"));
}

TEST_F(ShowTest, Outline) {
  Post(2);
  Response r = Get("230@@" + discussion_);
  EXPECT_TRUE(r.Has("<h1>Coffee</h1>")) << r.body;
  EXPECT_TRUE(r.Has(" - Outline</title>")) << r.body;
  EXPECT_TRUE(Get("230@@" + discussion_ + "/1").Has("<h1>Coffee</h1>"));
  EXPECT_TRUE(Get("230@@/Cafe").Has(" - Discussion Pathname Not Found</title>"));
}

TEST_F(ShowTest, DownloadsServeTheBytes) {
  Post(1);
  std::string gif("GIF89a\x01\x00\x01\x00\x00\xff\x00,", 14);
  ASSERT_EQ(ForumItemAddEnclosure(Path(discussion_.c_str()), 0, S("pic.gif"), S("image/gif"),
                                  S(gif)),
            0);
  Response r = Get("233@@" + discussion_ + "/0/pic.gif");
  EXPECT_EQ(r.Header("Content-type"), "image/gif");
  EXPECT_EQ(r.Header("Content-length"), std::to_string(gif.size()));
  EXPECT_EQ(r.body, gif);
  Response missing = Get("233@@" + discussion_ + "/0/none.gif");
  EXPECT_EQ(missing.Header("Content-type"), "text/html");
  EXPECT_TRUE(missing.Has("Pathname not found")) << missing.body;
  // A folder is no enclosure.
  EXPECT_TRUE(Get("233@@/Cafe").Has("Pathname not found"));
}

TEST_F(ShowTest, UserAndItemInformation) {
  Post(1, ann_);
  ForumUserSetBio(root_, ann_, S("Likes <coffee>"));
  std::string id = StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(root_, ann_))).Str();
  for (const std::string& text : std::vector<std::string>{"122@@Ann", "135@@" + id, "224@@" + id,
                                  "67@@" + discussion_ + "/0"}) {
    Response r = Get(text);
    EXPECT_TRUE(r.Has("<h1>Ann</h1>")) << text << r.body;
    EXPECT_TRUE(r.Has("Likes &lt;coffee&gt;")) << text << r.body;
    EXPECT_FALSE(r.Has("a@b.c")) << "no e-mail address";
  }
  for (const char* text : {"122@@Nobody", "135@@zz", "135@@", "67@@/Cafe", "135@@ffffffff"})
    EXPECT_TRUE(Get(text).Has("There is no information about this user.")) << text;
  Response info = Get("225@@/Cafe");
  EXPECT_TRUE(info.Has("<dt>Kind</dt><dd>Folder</dd>")) << info.body;
  EXPECT_TRUE(Get("225@@/Nowhere").Has("Pathname not found"));
}

TEST_F(ShowTest, QuitAndRestartAreTheSysops) {
  static std::atomic<bool> quit{false};
  static int restarts = 0;
  HtSetQuitFlag(&quit);
  EXPECT_TRUE(Get("33@" + Login(ann_) + "@").Has("Only a system operator may use this request"));
  EXPECT_FALSE(quit.load());
  std::string sysop = Login(Sysop());
  Response q = Get("33@" + sysop + "@");
  EXPECT_TRUE(q.Has(" - Quitting</title>")) << q.body;
  EXPECT_TRUE(q.Has("Quillmoot has shut down.")) << q.body;
  EXPECT_EQ(q.Header("Pragma"), "no-cache");
  EXPECT_TRUE(quit.load());
  quit = false;
  CgiRestartAdd([] { ++restarts; });
  Response r = Get("202@" + sysop + "@");
  EXPECT_TRUE(r.Has(" - Restarting</title>")) << r.body;
  EXPECT_EQ(restarts, 1);
  HtSetQuitFlag(nullptr);
}

// Random request texts for every reading command: each is answered with a
// whole page (never a halt or a failure of the request).
TEST_F(ShowTest, RandomLocationsAreAnswered) {
  Post(5);
  ASSERT_EQ(ForumItemAddEnclosure(Path(discussion_.c_str()), 1, S("a.txt"), S("text/plain"),
                                  S("x")),
            0);
  uint32_t seed = std::random_device()();
  printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  const std::vector<std::string> parts = {"/", "Cafe", discussion_, "0", "1", "4", "99",
                                          "-1", "a.txt", ".", "..", "%2F", "%00", "!", "@",
                                          "+", " ", "ee6b2800", ".ee6b2801", "<", "&",
                                          "999999999999", "!before=", "!before=-7", "%ff"};
  const std::vector<std::string> commands = {"1",  "2",   "5",   "6",   "7",  "8",  "13",
                                             "14", "37",  "56",  "128", "230", "233",
                                             "67", "122", "135", "224", "225", "14L"};
  std::string cert = Login(ann_);
  for (int i = 0; i < 400; ++i) {
    std::string loc;
    int n = int(rng() % 6);
    for (int k = 0; k < n; ++k) loc += parts[rng() % parts.size()];
    std::string text = commands[rng() % commands.size()] + "@" + (rng() % 2 ? cert : "") +
                       "@" + loc;
    Response r = Get(text);
    ASSERT_EQ(r.raw.substr(0, 17), "HTTP/1.1 200 OK\r\n") << text;
    ASSERT_EQ(r.Header("Content-length"), std::to_string(r.body.size())) << text;
  }
}

}  // namespace

// A guest's page is kept and shown again while nothing it shows changes;
// its side effects still happen, and what is not the same for everyone
// (a registered reader, the clock) is never kept.
TEST_F(ShowTest, GuestsPagesAreKeptWhileNothingTheyShowChanges) {
  Post(2);
  ForumFile d = Path(discussion_.c_str());
  // A guest's certificate, as links carry it (a request without one is
  // given a new one, and its links differ).
  std::string page = Get("14@@" + discussion_).body;
  size_t at = page.find("?14@^");
  ASSERT_NE(at, std::string::npos) << page;
  std::string url = page.substr(at + 1, page.find('@', at + 5) - at) + discussion_;
  CgiPageCacheCounts start = CgiPageCacheCount();
  int32_t hits = ForumFileHits(d);
  Response first = Get(url), second = Get(url);
  EXPECT_EQ(first.body, second.body);
  EXPECT_EQ(CgiPageCacheCount().kept, start.kept + 1);
  EXPECT_EQ(CgiPageCacheCount().hits, start.hits + 1);
  EXPECT_EQ(ForumFileHits(d), hits + 2);
  // A change of the conference shows at once.
  Post(1);
  EXPECT_TRUE(Get(url).Has("Body 2."));
  ASSERT_EQ(ForumItemDestroy(d, 0), 0);
  EXPECT_FALSE(Get(url).Has("Body 0."));
  // A registered reader's page marks what it shows: never kept.
  CgiPageCacheCounts now = CgiPageCacheCount();
  std::string cert = Login(ann_);
  Get("14@" + cert + "@" + discussion_);
  Get("14@" + cert + "@" + discussion_);
  EXPECT_EQ(CgiPageCacheCount().kept, now.kept);
  EXPECT_EQ(CgiPageCacheCount().hits, now.hits);
  // A page that shows the time is made anew each time.
  ForumSysopSetHtmlBanner(root_, S("<p class=\"clock\">%% time %%</p>"));
  ForumTemplateCache(TemplateMainSite());
  now = CgiPageCacheCount();
  EXPECT_TRUE(Get(url).Has("<p class=\"clock\">"));
  Get(url);
  EXPECT_EQ(CgiPageCacheCount().kept, now.kept);
  EXPECT_EQ(CgiPageCacheCount().hits, now.hits);
}
