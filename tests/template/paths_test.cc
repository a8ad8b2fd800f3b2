// Path queries, path moves, item lists, selection and sorting, and item
// creation and change, on a real database.
#include "halt_text.h"
#include "site_fixture.h"
#include "ForumRead.h"

namespace {

using namespace quil;
using tpltest::S;
using tpltest::SiteTest;

class PathKw : public SiteTest {
 protected:
  void SetUp() override {
    SiteTest::SetUp();
    ann_ = MakeUser("Ann Lee");
    bob_ = MakeUser("Bob Ray");
    Create(top_, "forum-category", "Cafe", "The Cafe");
    Create(Path("/Cafe"), "forum-category", "Inner", "Inner room");
    Create(Path("/Cafe"), "forum-topic", "x", "Coffee");   // /Cafe/1
    Create(Path("/Cafe"), "forum-topic", "x", "Tea");      // /Cafe/2
    ForumFile coffee = Path("/Cafe/1");
    (void)ForumItemCreate(coffee, ann_, S("Espresso"), S("text"), S("Short and strong"), -1,
                    true, &m0_);
    (void)ForumItemCreate(coffee, bob_, S("Latte"), S("text"), S("Milk please"), m0_, true, &m1_);
    (void)ForumItemCreate(coffee, ann_, S(""), S("text"), S("Another one"), m1_, true, &m2_);
  }
  std::string Msg(int32_t i) { return "/Cafe/1/" + std::to_string(i); }
  std::string Unique(const char* path) { return ForumFileUniquePath(Path(path)).Str(); }

  ChHandle ann_ = 0, bob_ = 0;
  int32_t m0_ = 0, m1_ = 0, m2_ = 0;
};

TEST_F(PathKw, KindsAndTitles) {
  EXPECT_EQ(Render("%% pathIsFolder %%%% pathIsDiscussion %%%% pathIsMessage %%%% pathIsTop %%",
                   0, "/Cafe"),
            "1000");
  EXPECT_EQ(Render("%% pathIsTop %%%% pathIsNone %%", 0, "/"), "10");
  EXPECT_EQ(Render("%% pathIsNone %%"), "1");
  EXPECT_EQ(Render("%% pathIsMessage %%%% pathIsResponse %%|%% pathTitle %%|%% parentTitle %%",
                   0, Msg(m1_).c_str()),
            "11|Latte|Coffee");
  EXPECT_EQ(Render("%% pathBody %%|%% pathItemNumber %%|%% pathTreeLabel %%|%% pathTreeTitle %%",
                   0, Msg(m2_).c_str()),
            "Another one|2|0.1.2|Another one");
  EXPECT_EQ(Render("%% pathHasReply %%", 0, Msg(m0_).c_str()), "1");
  EXPECT_EQ(Render("%% pathHasReply %%", 0, Msg(m2_).c_str()), "0");
  EXPECT_EQ(Render("%% pathFull %%|%% pathDepth %%", 0, "/Cafe/Inner"), "/Cafe/Inner|2");
}

TEST_F(PathKw, LinksCarryTheCertificate) {
  std::string cafe = Unique("/Cafe");
  EXPECT_EQ(Render("%% pathUrl %%", 0, "/Cafe", nullptr, S("c^1")), "?14@c^1@" + cafe);
  EXPECT_EQ(Render("%% pathTitleUrl %%", 0, "/Cafe", nullptr, S("c^1")),
            "<a href=\"?14@c^1@" + cafe + "\">The Cafe</a>");
  EXPECT_EQ(Render("%% parentUrl %%", 0, "/Cafe/Inner"), "?14@@" + cafe);
  // The top folder has no title: its link reads the site's title, or
  // "Top level" for a site without one.
  EXPECT_EQ(Render("%% pathHier %%", 0, "/Cafe/Inner"),
            "<a href=\"?14@@" + Unique("/") + "\">Top level</a> / <a href=\"?14@@" + cafe +
                "\">The Cafe</a> / Inner room");
  ForumSysopSetHtmlTitle(root_, S("Town & Gown"));
  EXPECT_EQ(Render("%% pathHier %%", 0, "/Cafe"),
            "<a href=\"?14@@" + Unique("/") + "\">Town &amp; Gown</a> / The Cafe");
  ForumSysopSetHtmlTitle(root_, St());
  TemplateMainSite().urlBase = S("http://example.org/quil?");
  EXPECT_EQ(Render("%% pathUrl %%", 0, "/Cafe"), "http://example.org/quil?14@@" + cafe);
  TemplateMainSite().urlBase = St();
}

TEST_F(PathKw, Counts) {
  EXPECT_EQ(Render("%% pathFolderCount %%|%% pathDiscussionCount %%|%% pathHasOneFolder %%|"
                   "%% pathHasItems %%|%% pathLinkCount %%",
                   0, "/Cafe"),
            "1|2|1|1|0");
  EXPECT_EQ(Render("%% pathMessageCount %%|%% pathHasMessages %%|%% pathHasOneMessage %%",
                   0, "/Cafe/1"),
            "3|1|0");
  EXPECT_EQ(Render("%% pathMessageCount %%", 0, Msg(m1_).c_str()), "3");
  // New messages: a user without read marks has everything new.
  EXPECT_EQ(Render("%% pathNewMessageCount %%%% pathHasNewMessages %%", ann_, "/Cafe/1"), "31");
}

TEST_F(PathKw, ReadMarksOfRegisteredUsersAndTheGuestRule) {
  // Showing a message someone else wrote marks it and those before it read.
  EXPECT_EQ(Render("", ann_, Msg(m1_).c_str()), "");
  EXPECT_EQ(Render("%% pathIsNew %%", ann_, Msg(m0_).c_str()), "0");
  EXPECT_EQ(Render("%% pathIsNew %%", ann_, Msg(m1_).c_str()), "0");
  // Her own message is not marked by showing it.
  EXPECT_EQ(Render("%% pathIsNew %%", ann_, Msg(m2_).c_str()), "1");
  EXPECT_EQ(Render("%% pathNewMessageCount %%|%% pathIsNew %%", ann_, "/Cafe/1"), "1|1");
  EXPECT_EQ(Render("%% setPathToFirstNew %%|%% pathItemNumber %%", ann_, "/Cafe/1"), "1|2");
  // The discussion marked read: every message, and the discussion is no
  // longer new; a folder marked read is no longer new either.
  EXPECT_EQ(Render("%% pathMarkAsRead %%%% pathNewMessageCount %%|%% pathIsNew %%", ann_,
                   "/Cafe/1"),
            "0|0");
  EXPECT_EQ(Render("%% pathIsNew %%|%% pathMarkAsRead %%%% pathIsNew %%", ann_, "/Cafe"), "1|0");
  EXPECT_EQ(Render("%% pathNewMessageCount %%", bob_, "/Cafe/1"), "3");
  // A new message is new again for Ann.
  int32_t m3 = -1;
  ASSERT_EQ(ForumItemCreate(Path("/Cafe/1"), bob_, S("More"), S("text"), S("x"), -1, true, &m3),
            0);
  EXPECT_EQ(Render("%% pathNewMessageCount %%", ann_, "/Cafe/1"), "1");
  // Guests: recent messages are new, folders always, and nothing is marked.
  EXPECT_EQ(Render("%% pathMarkAsRead %%%% pathNewMessageCount %%|%% pathIsNew %%", 0,
                   "/Cafe/1"),
            "4|1");
  EXPECT_EQ(Render("%% pathMarkAsRead %%%% pathIsNew %%", 0, "/Cafe"), "1");
  ASSERT_EQ(ForumItemSetDate(Path("/Cafe/1"), m3, LgDbTd{20000101, 120000}), 0);
  EXPECT_EQ(Render("%% pathIsNew %%", 0, Msg(m3).c_str()), "0");
  EXPECT_EQ(Render("%% pathIsNew %%", 0, Msg(m2_).c_str()), "1");
}

TEST_F(PathKw, MovesOfTheCurrentPath) {
  std::string t = "%% setPathToParent %%%% pathTitle %%|%% setPathToParent %%%% pathTitle %%|"
                  "%% setPath %%%% pathTitle %%|%% setPath(\"/Cafe/Inner\") %%%% pathTitle %%|"
                  "%% setPath(\"/no/such\") %%%% pathTitle %%";
  EXPECT_EQ(Render(t, 0, "/Cafe/1"), "1The Cafe|1|1Coffee|1Inner room|0Inner room");
  EXPECT_EQ(Render("%% setPathToTreeParent %%%% pathTitle %%|%% setPathToTreeParent %%"
                   "%% pathTitle %%|%% setPathToTreeParent %%%% pathTitle %%",
                   0, Msg(m2_).c_str()),
            "1Latte|1Espresso|1Coffee");
  EXPECT_EQ(Render("%% setPathToFirstNew %%%% pathTitle %%", 0, "/Cafe/1"), "1Espresso");
  (void)ForumItemSetMessageId(Path("/Cafe/1"), m1_, S("<m1@example.org>"));
  EXPECT_EQ(Render("%% setPathFromMessageId(\"<m1@example.org>\") %%%% pathTitle %%"), "1Latte");
  EXPECT_EQ(Render("%% setPathToLink %%", 0, "/Cafe"), "0");
}

TEST_F(PathKw, ItemListsUseTheListTemplates) {
  ForumSysopSetMessagePre(root_, S("<ol>"));
  ForumSysopSetMessage(root_, S("<li>%% itemNumber %%/%% itemCount %% %% pathTitle %% by "
                                "%% authorName %%%% if itemCanEdit %% (edit)%% endif %%</li>"));
  ForumSysopSetMessageBetween(root_, S(","));
  ForumSysopSetMessagePost(root_, S("</ol>"));
  ForumSysopSetHtmlBodyPre(root_, S("<ul>"));
  ForumSysopSetHtmlBodyItem(root_, S("<li>%% pathTitle %%</li>"));
  ForumSysopSetHtmlBodyPost(root_, S("</ul>"));
  ForumSysopSetHtmlBodyEmpty(root_, S("(empty)"));
  ForumTemplateChange(root_);
  EXPECT_EQ(Render("%% pathItems %%[%% pathTitle %%]", ann_, "/Cafe/1"),
            "<ol><li>1/3 Espresso by Ann Lee (edit)</li>,<li>2/3 Latte by Bob Ray</li>,"
            "<li>3/3  by Ann Lee (edit)</li></ol>[Coffee]");
  // The folder list, in the site's order (here alphabetical: folders by
  // name, the others by title).
  ForumSysopSetCatForumSeq(root_, kForumSeqAlpha);
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe"),
            "<ul><li>Coffee</li><li>Inner room</li><li>Tea</li></ul>");
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/Inner"), "(empty)");
  // Paging: a page of two shows the last two, the previous page the first.
  ForumUserSetMaxMessages(root_, ann_, 2);
  EXPECT_EQ(Render("%% pathItems %%", ann_, "/Cafe/1"),
            "<ol><li>1/2 Latte by Bob Ray</li>,<li>2/2  by Ann Lee (edit)</li></ol>");
  EXPECT_EQ(Render("%% pathItemsPrevious %%", ann_, "/Cafe/1"),
            "<ol><li>1/1 Espresso by Ann Lee (edit)</li></ol>");
}

TEST_F(PathKw, ListsSeeChangesMadeOutsideTemplates) {
  ForumSysopSetMessage(root_, S("[%% pathTitle %%:%% pathBody %%:%% authorName %%]"));
  ForumTemplateChange(root_);
  const std::string first = "[Espresso:Short and strong:Ann Lee][Latte:Milk please:Bob Ray]"
                            "[:Another one:Ann Lee]";
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/1"), first);
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/1"), first);  // from the site cache
  // The store changed behind the template package: the lists follow.
  (void)ForumItemSetTitle(Path("/Cafe/1"), m1_, S("Flat white"));
  (void)ForumItemSetData(Path("/Cafe/1"), m0_, S("Long"));
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/1"),
            "[Espresso:Long:Ann Lee][Flat white:Milk please:Bob Ray][:Another one:Ann Lee]");
  ASSERT_EQ(ForumItemDestroy(Path("/Cafe/1"), m1_), 0);
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/1"), "[Espresso:Long:Ann Lee][:Another one:Ann Lee]");
  int32_t index;
  (void)ForumItemCreate(Path("/Cafe/1"), bob_, S("New"), S("text"), S("Fresh"), -1, true, &index);
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/1"),
            "[Espresso:Long:Ann Lee][:Another one:Ann Lee][New:Fresh:Bob Ray]");
  // A change made by a keyword in the middle of the list is seen at once
  // (the new message's number counts the deleted one out).
  ForumSysopSetMessage(root_, S("%% setPathTitle(\"T\" & pathItemNumber) %%[%% pathTitle %%]"));
  ForumTemplateChange(root_);
  EXPECT_EQ(Render("%% pathItems %%", 0, "/Cafe/1"), "1[T0]1[T2]1[T2]");
}

TEST_F(PathKw, SelectSearchAndSort) {
  std::string cafe1 = Unique("/Cafe/1"), cafe2 = Unique("/Cafe/2"),
              inner = Unique("/Cafe/Inner");
  std::string sel = Render("%% pathSelect(\"type=discussion\") %%", 0, "/Cafe");
  EXPECT_TRUE(sel == cafe1 + " " + cafe2 || sel == cafe2 + " " + cafe1) << sel;
  EXPECT_EQ(Render("%% pathSelect(\"type=folder&in=/Cafe\") %%"), inner);
  EXPECT_EQ(Render("%% pathSelect(\"type=message&count=2&skip=1\") %%", 0, "/Cafe/1"),
            ForumFileUniquePath(ForumFileOpenMessage(Path("/Cafe/1"), m1_)).Str() + " " +
                ForumFileUniquePath(ForumFileOpenMessage(Path("/Cafe/1"), m2_)).Str());
  std::string found = Render("%% pathSearch(\"keywords=milk\") %%", 0, "/");
  EXPECT_EQ(found, ForumFileUniquePath(ForumFileOpenMessage(Path("/Cafe/1"), m1_)).Str());
  // Sorting by title, ascending and descending.
  EXPECT_EQ(Render("%% pathSelect(\"type=discussion\").pathSort(\"title\") %%", 0, "/Cafe"),
            cafe1 + " " + cafe2);
  EXPECT_EQ(Render("%% pathSelect(\"type=discussion\").pathSort(\"-title\") %%", 0, "/Cafe"),
            cafe2 + " " + cafe1);
  std::string byAuthor =
      Render("%% pathSelect(\"type=message\").pathSort(\"-author.userLast, messageNumber\") %%",
             0, "/Cafe/1");
  EXPECT_EQ(byAuthor.substr(0, byAuthor.find(' ')),
            ForumFileUniquePath(ForumFileOpenMessage(Path("/Cafe/1"), m1_)).Str());
  for (const char* key : {"sortSeq", "conversation", "tree", "treeLevel", "parentTitle",
                          "level", "author.userName", "author.userFirst", "date", "created"})
    EXPECT_EQ(Render(std::string("%% pathSelect(\"type=message\").pathSort(\"") + key +
                         "\").count(\" \") %%",
                     0, "/Cafe/1"),
              "2")
        << key;
}

TEST_F(PathKw, UnknownSortKeyIsAConsistencyFailure) {
  std::string text = quiltest::HaltText([&] {
    Render("%% \"/\".pathSort(\"colour\") %%");
  });
  EXPECT_EQ(text, "assert:ExprPathSort--unknown sort key");
}

TEST_F(PathKw, CreationAndChange) {
  std::string made = Render("%% folderCreate(\"Garden\") %%|%% pathTitle %%|%% pathFull %%",
                            ann_, "/Cafe");
  ForumFile garden = Path("/Cafe/Garden");
  ASSERT_TRUE(garden);
  EXPECT_EQ(made, ForumFileUniquePath(garden).Str() + "|Garden|/Cafe/Garden");
  EXPECT_EQ(ForumFileUser(garden), ann_);
  EXPECT_EQ(Render("%% folderCreate(\"Garden\") %%", ann_, "/Cafe"), "");  // name in use
  std::string disc = Render("%% discussionCreate(\"Plants\") %%%% pathTitle %%", ann_,
                            "/Cafe/Garden");
  EXPECT_NE(disc.find("Plants"), std::string::npos);
  std::string posted = Render("%% setPath(\"/Cafe/Garden/1\") %%%% messageCreate(\"Roses\") %%"
                              "|%% pathBody %%|%% messageCreate(\"Tulips\") %%|%% pathBody %%",
                              bob_);
  EXPECT_NE(posted.find("|Roses|."), std::string::npos) << posted;
  EXPECT_EQ(posted.substr(posted.size() - 7), "|Tulips");
  EXPECT_EQ(ForumMessageCount(Path("/Cafe/Garden/1")), 2);
  EXPECT_EQ(ForumItemReplyTo(Path("/Cafe/Garden/1"), 1), 0);  // a reply to the first
  // Setters.
  EXPECT_EQ(Render("%% setPathTitle(\"Roses \" & \"and more\") %%%% setPathBanner(\"B\") %%"
                   "%% setPathSortSeq(5) %%%% setPathShowsThreaded(1) %%%% setPathBackground(\"#eee\") %%"
                   "%% setPathTemplate(\"gardenSet\") %%",
                   0, "/Cafe/Garden"),
            "111111");
  garden = Path("/Cafe/Garden");
  EXPECT_EQ(ForumFileTitle(garden), "Roses and more");
  EXPECT_EQ(ForumFileHtmlBanner(garden), "B");
  EXPECT_EQ(ForumFileSortSeq(garden), 5);
  EXPECT_TRUE(ForumFileShowTreeView(garden));
  EXPECT_EQ(ForumFileTemplate(garden), "gardenSet");
  EXPECT_EQ(Render("%% pathBackground %%|%% pathShowsThreadedLocal %%|%% background %%", 0,
                   "/Cafe/Garden"),
            "#eee|1|bgcolor=#eee");
  // A message's own setters.
  EXPECT_EQ(Render("%% setPathTitle(\"Renamed\") %%%% setPathBody(\"New body\") %%"
                   "%% setPathDate(\"2001-03-05-13.04.09\") %%%% pathDate(\"Y4-M2-D2\") %%",
                   0, Msg(m0_).c_str()),
            "1112001-03-05");
  EXPECT_EQ(ForumItemTitle(Path("/Cafe/1"), m0_), "Renamed");
  EXPECT_EQ(ForumItemData(Path("/Cafe/1"), m0_), "New body");
  // path.field reads and writes the item's record.
  EXPECT_EQ(Render("%% set path.mood \"calm\" %%%% pathField.path_mood %%", 0, "/Cafe"), "calm");
  // Deleting moves the path to the parent; the top folder stays.
  EXPECT_EQ(Render("%% pathDestroy %%%% pathFull %%", 0, "/Cafe/2"), "1/Cafe");
  EXPECT_FALSE(Path("/Cafe/2"));
  EXPECT_EQ(Render("%% pathDestroy %%", 0, Msg(m2_).c_str()), "1");
  EXPECT_EQ(ForumMessageCount(Path("/Cafe/1")), 2);
  EXPECT_EQ(Render("%% pathDestroy %%", 0, "/"), "0");
  EXPECT_EQ(Render("%% pathDestroy %%", 0, "/Cafe"), "0");  // still has children
}

TEST_F(PathKw, LinksToItems) {
  std::string link = Render("%% linkCreate(\"/Cafe/Inner\") %%%% pathIsLink %%", 0, "/Cafe");
  EXPECT_EQ(link.back(), '1');
  EXPECT_EQ(Render("%% pathSelect(\"type=link\") %%%% setPath(pathSelect(\"type=link\")) %%"
                   "%% setPathToLink %%%% pathTitle %%",
                   0, "/Cafe")
                .substr(link.size() - 1),
            "11Inner room");
}

TEST_F(PathKw, Counters) {
  EXPECT_EQ(Render("%% pathHitsInc %%%% pathHitsInc %%%% pathHits %%|%% pathPostsInc %%"
                   "%% pathPosts %%|%% pathClearCounts %%%% pathHits %%",
                   0, "/Cafe"),
            "2|1|0");
}

}  // namespace
