// Rendering for the forum: contexts, wrappers, the error page, limits and
// their messages, scope guards, self-referring links, the settled language
// questions, site values, the request and session variables.
#include <algorithm>

#include "Ex.h"
#include "site_fixture.h"

namespace {

using namespace quil;
using tpltest::S;
using tpltest::SiteTest;

class RenderTest : public SiteTest {};

TEST_F(RenderTest, WhileLimitComesFromTheSysopSetting) {
  ForumSysopSetWhileLimit(root_, 4);
  EXPECT_EQ(Render("%% while 1 %%.%% endwhile %%after"),
            "...<b>While loop limit reached</b><br>after");
  EXPECT_EQ(Render("%% set i 0 %%%% while i < 10 %%%% set i i + 1 %%%% whileLimitReset %%"
                   "%% endwhile %%%% i %%"),
            "10");
}

TEST_F(RenderTest, FooterRecursionStopsAtDepthFifty) {
  ForumSysopSetHtmlFooter(root_, S("[%% footer %%]"));
  ForumTemplateChange(root_);
  std::string out = Render("%% footer %%", 0, "/");
  std::string want;
  for (int i = 0; i < 50; ++i) want += "<p>[";
  want += "<p><b>%% Recursive calls to footer nested too deeply %%</b>";
  for (int i = 0; i < 50; ++i) want += "]";
  EXPECT_EQ(out, want);
  // The same through a footer macro of the site file.
  ForumSysopSetUseTemplates(root_, true);
  WriteDoc("quil.tpl", "%% macro footer %%{%% footer %%}%% endmacro %%");
  TemplateFileRefresh();
  out = Render("%% footer %%", 0, "/");
  EXPECT_NE(out.find("Recursive calls to footer nested too deeply"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '{'), 50);
}

TEST_F(RenderTest, FolderOwnFooterIsEvaluated) {
  Create(top_, "forum-category", "Cafe", "The Cafe");
  ForumSetHtmlFooter(Path("/Cafe"), S("Footer of %% pathTitle %%"));
  EXPECT_EQ(Render("%% footer %%", 0, "/Cafe"), "<p>Footer of The Cafe");
}

TEST_F(RenderTest, BannerAndEditPreferencesRecursion) {
  ForumSysopSetHtmlBanner(root_, S("%% banner %%"));
  ForumTemplateChange(root_);
  EXPECT_EQ(Render("%% banner %%"), "<b>%% Recursive call to banner nested too deeply %%</b>");
  ForumSysopSetUseTemplates(root_, true);
  WriteDoc("quil.tpl", "%% macro editPreferences %%%% editPreferences %%%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(Render("%% editPreferences %%"),
            "<b>%% Recursive calls to editPreferences nested too deeply %%</b>");
  ForumSysopSetMessageBetween(root_, S("%% msgListBetween %%"));
  ForumTemplateChange(root_);
  EXPECT_EQ(Render("%% msgListBetween %%"),
            "<b>%% Recursive calls to msgListBetween nested too deeply %%</b>");
}

TEST_F(RenderTest, WrappersSetTheirPageValues) {
  TemplateRef t = TemplateParse(S("%% errorTitle %%/%% error %%/%% actionPath %%/"
                                  "%% loginIs failure %%%% registerIs badEmail %%/"
                                  "%% editTitle %%/%% message %%/%% itemNumber %%/"
                                  "%% msgListCountPrevious %%/%% prefsNewName %%/"
                                  "%% pathItemsAreAtEnd %%/%% chatTextGroup %%"));
  auto run = [&](auto fn) {
    Buf buf;
    BufOpenSmall(buf);
    fn(buf);
    return BufClose(buf).Str();
  };
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateErrTitleMsg(b, t, 0, St(), top_, nullptr, S("T"), S("M")); }),
            "T/M//00///0/0//0/");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateLogin(b, t, 0, St(), top_, nullptr, S("11@/x"), 1); }),
            "//11@/x/10///0/0//0/");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateRegister(b, t, 0, St(), top_, nullptr, S("a"), 6); }),
            "//a/01///0/0//0/");
  ExprEditForm form;
  form[size_t(ExprEdit::kTitle)] = S("Edited");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateAddFolder(b, t, 0, St(), top_, nullptr, form); }),
            "///00/Edited//0/0//0/");
  ExprMsgItem item;
  item.number = 7;
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateMsgItem(b, t, 0, St(), top_, nullptr, item); }),
            "///00///7/0//0/");
  ExprMsgList list;
  list.countPrevious = 3;
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateMsgList(b, t, 0, St(), top_, nullptr, list); }),
            "///00///0/3//0/");
  ExprPrefsForm prefs;
  prefs[1] = S("New Name");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplatePrefs(b, t, 0, St(), top_, nullptr, prefs); }),
            "///00///0/0/New Name/0/");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateAtEnd(b, t, 0, St(), top_, nullptr, true); }),
            "///00///0/0//1/");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateResponseMsg(b, t, 0, St(), top_, nullptr, S("R")); }),
            "///00//R/0/0//0/");
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplateTextGroup(b, t, 0, St(), top_, nullptr, S("G")); }),
            "///00///0/0//0/G");
  // A null template adds nothing.
  EXPECT_EQ(run([&](Buf& b) { BufAddTemplate(b, TemplateRef(), 0, St(), top_, nullptr); }), "");
}

TEST_F(RenderTest, PagesAndFilters) {
  ForumSysopSetUseTemplates(root_, true);
  WriteDoc("quil.tpl",
           "%% macro search %%[%% pageIs search %%%% pageIs login %%]%% endmacro %%"
           "%% macro authenticateFilter %%FILTER%% endmacro %%");
  TemplateFileRefresh();
  Buf buf;
  BufOpenSmall(buf);
  BufAddTemplatePage(buf, 53, 0, St(), top_, nullptr);
  EXPECT_EQ(BufClose(buf), "[10]");
  BufOpen(buf);
  BufAddTemplatePage(buf, 2, 0, St(), top_, nullptr);  // the standard page
  EXPECT_EQ(BufClose(buf).View().substr(0, 15), "<!DOCTYPE html>");
  St out;
  EXPECT_TRUE(TemplateFilterRun("authenticateFilter", 0, St(), top_, nullptr, &out));
  EXPECT_EQ(out, "FILTER");
  EXPECT_FALSE(TemplateFilterRun("registerProcessFilter", 0, St(), top_, nullptr, &out));
  std::vector<std::string> lines;
  TemplateOnEmailLog([&](const St&, const St& level, const St& text) {
    lines.push_back(level.Str() + ":" + text.Str());
  });
  EXPECT_TRUE(TemplateFilterRun("loginFilter", sysop_, St(), top_, nullptr, &out));
  EXPECT_EQ(lines, std::vector<std::string>{"OK:LOGIN by sysop"});
}

TEST_F(RenderTest, ErrorPage) {
  ForumSysopSetHtmlTitle(root_, S("My <Site>"));
  ForumSysopSetHtmlFooter(root_, S("FOOT"));
  ForumTemplateChange(root_);
  Buf buf;
  BufOpen(buf);
  BufAddTemplateError(buf, 0, St(), top_, nullptr, S("Oops"), S("It <i>failed</i>"));
  std::string page = BufClose(buf).Str();
  EXPECT_NE(page.find("<title>My &lt;Site&gt; - Oops</title>"), std::string::npos) << page;
  EXPECT_NE(page.find("<h3>It <i>failed</i></h3>"), std::string::npos);
  // The header of every page; the title as the page's heading, and no
  // heading level left out before the message's.
  EXPECT_NE(page.find("<a class=\"skip\" href=\"#content\">"), std::string::npos) << page;
  EXPECT_NE(page.find("Reading as a guest"), std::string::npos);
  EXPECT_NE(page.find("<h1>Oops</h1>\n<h2 class=\"vh\">What happened</h2>\n<h3>"),
            std::string::npos);
  EXPECT_EQ(page.substr(page.size() - 18), "FOOT</BODY></HTML>");
}

TEST_F(RenderTest, SelfReferringLinksGetTheCertificate) {
  TemplateRef t = TemplateParse(
      S("<a href=\"?14@@/x\">a</a> <a href='/quil?39@@/y'>b</a> <a href=\"?15@@\">login</a>"
        " <a href=\"http://elsewhere/?14@@\">c</a><!-- <a href=\"?14@@\"> -->"
        "<textarea>href=\"?14@@\"</textarea>%% urlBase %%14@@/z"),
      S("/quil?"), S("http://h/quil?"));
  std::string out = TemplateProcess(t, 0, S("CERT"), top_, nullptr).Str();
  EXPECT_EQ(out,
            "<a href=\"?14@CERT@/x\">a</a> <a href='/quil?39@CERT@/y'>b</a> "
            "<a href=\"?15@@\">login</a> <a href=\"http://elsewhere/?14@@\">c</a>"
            "<!-- <a href=\"?14@@\"> --><textarea>href=\"?14@@\"</textarea>14@CERT@/z");
  // Without a certificate the links stay as written.
  EXPECT_EQ(TemplateProcess(t, 0, St(), top_, nullptr).Str().find("CERT"), std::string::npos);
  // The same rules for a whole page after the fact.
  EXPECT_EQ(TemplateSelfRefInsert("<a href=\"?14@@\">x</a><a href=\"?300@@\">y</a>"
                                  "<a href=\"?301@@\">z</a>",
                                  S("C"), St(), St()),
            "<a href=\"?14@C@\">x</a><a href=\"?300@C@\">y</a><a href=\"?301@@\">z</a>");
  EXPECT_TRUE(TemplateCommandTakesCertificate(14));
  EXPECT_FALSE(TemplateCommandTakesCertificate(23));
  EXPECT_FALSE(TemplateCommandTakesCertificate(0));
}

TEST_F(RenderTest, OneArgumentKeywordsTakeATextExpression) {
  EXPECT_EQ(Render("%% macro ab %%AB%% endmacro %%%% use \"a\" & \"b\" %%"), "AB");
  EXPECT_EQ(Render("%% macro ab %%AB%% endmacro %%%% set x \"b\" %%%% use a & x %%"), "AB");
  TemplateSimpleRequest request;
  request.AddForm("x", "y");
  request.AddForm("ab", "AB!");
  EXPECT_EQ(Render("%% form x == \"y\" %%|%% form \"a\" & \"b\" %%|%% hasValue x && 1 %%|"
                   "%% form(\"x\") & \"z\" %%|%% form x.toUpper %%",
                   0, "", &request),
            "1|AB!|1|yz|");  // the last one reads the field named "X"
  EXPECT_EQ(Render("%% form(\"x\").toUpper %%", 0, "", &request), "Y");
}

TEST_F(RenderTest, LocalVariableNamesIgnoreCase) {
  EXPECT_EQ(Render("%% set Count 3 %%%% count + COUNT %%"), "6");
  EXPECT_EQ(ExprLocalName(ExprGetLocalIx("COUNT")), "Count");
}

TEST_F(RenderTest, EvaluatedTextSeesTheCallersMacros) {
  // "%%" cannot stand in a bracket, so the texts are put together.
  EXPECT_EQ(Render("%% macro inner %%IN%% endmacro %%"
                   "%% set t \"%\" & \"% use inner %\" & \"%\" %%"
                   "%% t.evalTemplate %%|%% \"use inner\".eval %%"),
            "IN|IN");
  // A macro of the evaluated text is found before the caller's.
  EXPECT_EQ(Render("%% macro m %%caller%% endmacro %%"
                   "%% set t \"%\" & \"% macro m %\" & \"%own%\" & \"% endmacro %\" & \"%\" %%"
                   "%% set t t & \"%\" & \"% use m %\" & \"%\" %%%% t.evalTemplate %%"),
            "own");
}

// A keyword whose handler raises: the context must come back as it was.
TEST_F(RenderTest, ScopeGuardsRestoreTheContextWhenAKeywordRaises) {
  ASSERT_TRUE(ExprKeywordRegister("moderatedLookup", [](ExprCall&) { ExRaise(2402); }));
  ExprContext ctx;
  TemplateRef outer = TemplateParse(S("%% macro m %%x%% moderatedLookup %%%% endmacro %%"
                                      "before%% use m %%after"));
  Buf buf;
  BufOpenSmall(buf);
  bool ok;
  {
    ExQuietScope quiet;
    ok = ExTry([&] { BufEvalTemplate(buf, outer, ctx); });
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(ExLastError, 2402);
  EXPECT_EQ(ctx.MacroDepth(), 0);
  EXPECT_EQ(ctx.CurrentTemplate(), nullptr);
  EXPECT_EQ(buf.View(), "beforex");
  // The context still works.
  EXPECT_EQ(TemplateProcess(TemplateParse(S("%% 1 + 1 %%")), ctx), "2");
  ExprKeywordRegister("moderatedLookup", nullptr);
}

TEST_F(RenderTest, SiteValues) {
  ForumSysopSetHtmlTitle(root_, S("Tea Room"));
  ForumSysopSetImagesDir(root_, S("/img"));
  ForumSysopSetEmailAddress(root_, S("sysop@example.org"));
  ForumSysopSetBackgroundPattern(root_, S("paper.png"));
  ForumSysopSetPictSizes(root_, S("88x31 16x16 24x24"));
  EXPECT_EQ(Render("%% siteTitle %%|%% siteImages %%|%% sysopEmail %%|%% background %%|"
                   "%% pictSizeFolder %%|%% pictSizeOutline %%|%% siteAllowsGuests %%|"
                   "%% program %% %% version %%"),
            "Tea Room|/img|sysop@example.org|background=paper.png|24x24||1|Quillmoot 3.1");
  EXPECT_EQ(Render("%% setSiteBackupTime \"03:00\" %%%% siteBackupTime %%"), "03:00");
  EXPECT_EQ(Render("%% set site.motto \"calm\" %%%% siteField.global_motto %%"), "calm");
  TemplateMainSite().urlBase = S("http://h/quil?");
  EXPECT_EQ(Render("%% urlBase %%"), "http://h/quil?");
  TemplateMainSite().urlBase = St();
}

TEST_F(RenderTest, PreparedFor) {
  ChHandle ann = MakeUser("Lee, Ann");
  EXPECT_EQ(Render("%% preparedFor %%", sysop_),
            "This page prepared for <b>Sysop access.</b><p>");
  EXPECT_EQ(Render("%% preparedFor %%", ann), "This page prepared for <b>Ann Lee.</b><p>");
  EXPECT_EQ(Render("%% preparedFor %%"), "This page prepared for <b>Guest access.</b><p>");
}

TEST_F(RenderTest, RequestAndEnvironment) {
  TemplateSimpleRequest request;
  request.cgi.push_back({S("remote_addr"), S("10.0.0.9")});
  request.cgi.push_back({S("http_user_agent"), S("Mozilla/5.0 (Windows NT 10.0)")});
  request.cookies.push_back({S("theme"), S("dark")});
  request.command = 7;
  request.browserFlags = 1;
  EXPECT_EQ(Render("%% envir(\"REMOTE_ADDR\") %%|%% envirCookie theme %%|%% clientIsWindows %%"
                   "%% clientIsMacintosh %%|%% cmdIsShowPrevious %%%% cmdIsShowAll %%|"
                   "%% getValue theme %%",
                   0, "", &request),
            "10.0.0.9|dark|10|10|dark");
  EXPECT_EQ(Render("%% addResponseHttp(\"X-One: 1\") %%%% addResponseHttp(\"X-Two: 2\" & crlf & "
                   "\"Set-Cookie: evil\") %%",
                   0, "", &request),
            "");
  ASSERT_EQ(request.responseHeaders.size(), 2u);
  EXPECT_EQ(request.responseHeaders[0], "X-One: 1\r\n");
  EXPECT_EQ(request.responseHeaders[1], "X-Two: 2\r\n");  // no header injection
  EXPECT_EQ(Render("%% envirList %%", 0, "", &request),
            "remote_addr=10.0.0.9\r\nhttp_user_agent=Mozilla/5.0 (Windows NT 10.0)\r\n");
}

TEST_F(RenderTest, SessionVariablesLiveInTheLoginSession) {
  ChHandle ann = MakeUser("Ann");
  St cert;
  AuthInstallUser(ann, St(), &cert, false, S("test"));
  ASSERT_FALSE(cert.Empty());
  EXPECT_EQ(Render("%% set session.colour \"blue\" %%", ann, "", nullptr, cert), "");
  EXPECT_EQ(Render("%% session.colour %%|%% sessionByName(\"COLOUR\") %%", ann, "", nullptr, cert),
            "blue|blue");
  // Without a certificate, variables last for the one rendering.
  EXPECT_EQ(Render("%% set session.x 1 %%%% session.x %%"), "1");
  EXPECT_EQ(Render("%% session.x %%"), "");
  AuthRemoveAll();
}

TEST_F(RenderTest, ContextMarksAnotherAuthorsMessageSeen) {
  // With the read-mark package missing this only must not fail; the
  // context is created for a message by another user.
  ChHandle ann = MakeUser("Ann");
  Create(top_, "forum-topic", "x", "Talk");
  int32_t index;
  (void)ForumItemCreate(Path("/1"), sysop_, S("Hi"), S("text"), S("Body"), -1, true, &index);
  std::string at = "/1/" + std::to_string(index);
  EXPECT_EQ(Render("%% pathTitle %%", ann, at.c_str()), "Hi");
}

}  // namespace
