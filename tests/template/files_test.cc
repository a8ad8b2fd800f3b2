// Template files, folder template sets, sysop-setting templates and the
// standard pages, on a real database with real files.
#include <sys/stat.h>

#include "Thread.h"
#include "halt_text.h"
#include "site_fixture.h"

namespace {

using namespace quil;
using tpltest::S;
using tpltest::SiteTest;

class FileTest : public SiteTest {
 protected:
  void UseTemplates(bool on) { ForumSysopSetUseTemplates(root_, on); }
  std::string Macro(const char* name, const char* folder = nullptr) {
    TemplateRef m;
    ForumFile f = folder ? Path(folder) : ForumFile();
    if (!TemplateFileLookup(S(name), f, &m)) return "<none>";
    return TemplateProcess(m, 0, St(), f, nullptr).Str();
  }
};

TEST_F(FileTest, StatusTextsOfTheTemplateFile) {
  TemplateSite& site = TemplateMainSite();
  EXPECT_EQ(TemplateFileStatus(site), "off");
  UseTemplates(true);
  TemplateFileRefresh(site);
  EXPECT_EQ(TemplateFileStatus(site), "not found");  // no quil.tpl yet
  EXPECT_TRUE(TemplateFileIsPresent(site));         // the extension part
  WriteDoc("quil.tpl", "%% macro hello %%Hello%% endmacro %%");
  TemplateFileRefresh(site);
  EXPECT_EQ(TemplateFileStatus(site), "on");
  EXPECT_EQ(Macro("HELLO"), "Hello");  // names ignore case
  TemplateFileClose(site);
  EXPECT_EQ(TemplateFileStatus(site), "off");
  EXPECT_FALSE(TemplateFileIsPresent(site));
  EXPECT_EQ(Macro("hello"), "<none>");
}

TEST_F(FileTest, ReloadPicksUpAChangedFile) {
  UseTemplates(true);
  WriteDoc("quil.tpl", "%% macro greeting %%first%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(Macro("greeting"), "first");
  WriteDoc("quil.tpl", "%% macro greeting %%second%% endmacro %%");
  EXPECT_EQ(Macro("greeting"), "first");  // not watched: needs a reset
  TemplateReset(TemplateMainSite());
  EXPECT_EQ(Macro("greeting"), "second");
}

TEST_F(FileTest, InitAndTermMacrosRunAtLoadAndClose) {
  UseTemplates(true);
  WriteDoc("quil.tpl",
           "%% macro init %%%% \"init.txt\".fileWrite(\"inited\") %%%% endmacro %%"
           "%% macro term %%%% \"term.txt\".fileWrite(\"ended\") %%%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(ReadFile("html/init.txt"), "inited");
  EXPECT_EQ(ReadFile("html/term.txt"), "");
  TemplateFileClose(TemplateMainSite());
  EXPECT_EQ(ReadFile("html/term.txt"), "ended");
}

TEST_F(FileTest, ExtensionFileLoadsEvenWithTemplatesOff) {
  WriteDoc("quil.tpl", "%% macro fromSite %%site%% endmacro %%");
  WriteDoc("quilextn.tpl", "%% macro fromExtn %%extn%% endmacro %%");
  UseTemplates(false);
  TemplateFileRefresh();
  EXPECT_EQ(TemplateFileStatus(TemplateMainSite()), "not found");
  EXPECT_EQ(Macro("fromSite"), "<none>");
  EXPECT_EQ(Macro("fromExtn"), "extn");
  TemplateRef m;
  ASSERT_TRUE(TemplateFileLookup(S("fromExtn"), ForumFile(), &m));
  EXPECT_TRUE(TemplateIsExtn(m));  // so callable by URL with templates off
  UseTemplates(true);
  TemplateFileRefresh();
  EXPECT_EQ(Macro("fromSite"), "site");
  ASSERT_TRUE(TemplateFileLookup(S("fromSite"), ForumFile(), &m));
  EXPECT_FALSE(TemplateIsExtn(m));
}

TEST_F(FileTest, ExtnMarkerMarksTheMacrosAfterIt) {
  UseTemplates(true);
  WriteDoc("quil.tpl",
           "%% macro before %%b%% endmacro %%%% macro extnMarker %%%% endmacro %%"
           "%% macro after %%a%% endmacro %%");
  TemplateFileRefresh();
  TemplateRef b, a;
  ASSERT_TRUE(TemplateFileLookup(S("before"), ForumFile(), &b));
  ASSERT_TRUE(TemplateFileLookup(S("after"), ForumFile(), &a));
  EXPECT_FALSE(b->IsExtn());
  EXPECT_TRUE(a->IsExtn());
}

TEST_F(FileTest, IncludesExpandOnceAndMissingOnesStay) {
  UseTemplates(true);
  WriteDoc("part.tpl", "[part<!--#include file=\"inner.tpl\"-->]");
  WriteDoc("inner.tpl", "INNER");
  WriteDoc("quil.tpl",
           "%% macro page %%<!--#INCLUDE FILE=\"part.tpl\"--><!--#Include File=\"gone.tpl\"-->"
           "%% endmacro %%");
  // An include inside quilextn.tpl is not expanded either.
  WriteDoc("quilextn.tpl",
           "%% macro ext %%<!--#Include File=\"inner.tpl\"-->%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(Macro("page"),
            "[part<!--#include file=\"inner.tpl\"-->]<!--#Include File=\"gone.tpl\"-->");
  EXPECT_EQ(Macro("ext"), "<!--#Include File=\"inner.tpl\"-->");
}

TEST_F(FileTest, IncludeThatEscapesTheDirectoryIsLeftAlone) {
  UseTemplates(true);
  std::ofstream("secret.txt") << "SECRET";
  WriteDoc("quil.tpl", "%% macro page %%<!--#Include File=\"../secret.txt\"-->%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(Macro("page"), "<!--#Include File=\"../secret.txt\"-->");
}

TEST_F(FileTest, FolderTemplateSetOverridesBelowThatFolderOnly) {
  Create(top_, "forum-category", "Cafe");
  Create(Path("/Cafe"), "forum-category", "Inner");
  Create(top_, "forum-category", "Other");
  UseTemplates(true);
  WriteDoc("quil.tpl",
           "%% macro messageListItem %%site item%% endmacro %%"
           "%% macro banner %%site banner%% endmacro %%"
           "%% macro cafeSet %%"
           "%% macro messageListItem %%cafe item%% endmacro %%"
           "%% endmacro %%"
           "%% macro innerSet %%"
           "%% macro other %%inner other%% endmacro %%"
           "%% endmacro %%");
  TemplateFileRefresh();
  ForumSetTemplate(Path("/Cafe"), S("cafeSet"));
  ForumSetTemplate(Path("/Cafe/Inner"), S("innerSet"));
  EXPECT_EQ(Macro("messageListItem", "/Cafe"), "cafe item");
  // Inner's set lacks messageListItem: the parent's set, then the site.
  EXPECT_EQ(Macro("messageListItem", "/Cafe/Inner"), "cafe item");
  EXPECT_EQ(Macro("banner", "/Cafe/Inner"), "site banner");
  EXPECT_EQ(Macro("messageListItem", "/Other"), "site item");
  EXPECT_EQ(Macro("messageListItem"), "site item");
  EXPECT_EQ(Macro("other", "/Cafe/Inner"), "inner other");
  EXPECT_EQ(Macro("other", "/Cafe"), "<none>");
  // `use` inside a page at a folder finds that folder's set.
  EXPECT_EQ(Render("%% use messageListItem %%", 0, "/Cafe/Inner"), "cafe item");
  EXPECT_EQ(Render("%% use messageListItem %%", 0, "/Other"), "site item");
}

TEST_F(FileTest, SysopTemplatesFollowTheirRules) {
  Create(top_, "forum-category", "Cafe");
  ForumSysopSetMessage(root_, S("sysop item"));
  ForumSysopSetHtmlFooter(root_, S("sysop footer"));
  ForumSysopSetHtmlBanner(root_, S("sysop banner"));
  ForumTemplateChange(root_);
  auto out = [&](TemplateRef t) {
    return TemplateProcess(t, 0, St(), Path("/Cafe"), nullptr).Str();
  };
  EXPECT_EQ(out(HtmlMessageTemplate(Path("/Cafe"))), "sysop item");
  EXPECT_EQ(out(HtmlBannerTemplate(Path("/Cafe"))), "sysop banner");
  // Extension macros: a plain footer wins over the sysop footer, an
  // extension message item only where the sysop left the setting empty.
  WriteDoc("quilextn.tpl",
           "%% macro footer %%extn footer%% endmacro %%"
           "%% macro messageListItem %%extn item%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(out(HtmlFooterTemplate(Path("/Cafe"))), "extn footer");
  EXPECT_EQ(out(HtmlMessageTemplate(Path("/Cafe"))), "sysop item");
  ForumSysopSetMessage(root_, St());
  ForumTemplateChange(root_);  // the cached parse is dropped
  EXPECT_EQ(out(HtmlMessageTemplate(Path("/Cafe"))), "extn item");
  // The footer rule: a folder asking for the sysop footer gets it, and with
  // no folder the file's footer is not looked up.
  ForumSetFlags(Path("/Cafe"), ForumFileStoredFlags(Path("/Cafe")) |
                                   kTemplateFolderSysopFooter);
  EXPECT_EQ(out(HtmlFooterTemplate(Path("/Cafe"))), "sysop footer");
  EXPECT_EQ(TemplateProcess(HtmlFooterTemplate(ForumFile()), 0, St(), ForumFile(),
                            nullptr)
                .Str(),
            "sysop footer");
}

TEST_F(FileTest, CatBodyItemIsTrimmedAndEmptyMeansNone) {
  ForumSysopSetHtmlBodyItem(root_, S("  \r\n  "));
  ForumTemplateChange(root_);
  EXPECT_FALSE(HtmlCatBodyItemTemplate(ForumFile()));
  ForumSysopSetHtmlBodyItem(root_, S("\n <li>%% pathTitle %%</li> \n"));
  ForumTemplateChange(root_);
  Create(top_, "forum-category", "Cafe", "Cafe title");
  EXPECT_EQ(TemplateProcess(HtmlCatBodyItemTemplate(ForumFile()), 0, St(),
                            Path("/Cafe"), nullptr)
                .Str(),
            "<li>Cafe title</li>");
  EXPECT_STREQ(TemplateSysopMacroName(TemplateSysop::kHtmlCatBodyItem),
               "folderListItem");
  EXPECT_STREQ(TemplateSysopMacroName(TemplateSysop::kTitle), "title");
}

TEST_F(FileTest, SettingChangeWaitsForWaitingRequests) {
  ForumSysopSetHtmlTitle(root_, S("old title"));
  ForumTemplateChange(root_);
  ForumWaiting = 1;  // a request thread waits: the re-cache is queued
  ForumSysopSetHtmlTitle(root_, S("new title"));
  ForumTemplateChange(root_);
  TemplateSite& site = TemplateMainSite();
  EXPECT_NE(site.resetId, 0);
  EXPECT_EQ(TemplateProcess(TitleTemplate(ForumFile()), 0, St(), ForumFile(), nullptr),
            "old title");
  ForumWaiting = 0;
  QuRamUnblock(kQuBlockRequest);
  QuProcess(100, 0);
  EXPECT_EQ(site.resetId, 0);
  EXPECT_EQ(TemplateProcess(TitleTemplate(ForumFile()), 0, St(), ForumFile(), nullptr),
            "new title");
}

TEST_F(FileTest, StandardTemplatesAndTheMissingPage) {
  std::string missing = TemplateProcess(StandardTemplate(3), 0, St(), top_, nullptr).Str();
  EXPECT_NE(missing.find(" - Missing template</title>"), std::string::npos);
  EXPECT_NE(missing.find("<h1>Missing standard template</h1>"), std::string::npos);
  EXPECT_EQ(StandardTemplate(3), MissingStandardTemplate());
  EXPECT_EQ(StandardTemplate(1), StandardTemplate(1));  // parsed once
  int withText = 0;
  for (int type = 1; type <= kTemplatePageTypes; ++type)
    withText += TemplateStandardText(type) != nullptr;
  EXPECT_EQ(withText, 33);  // the types marked in the page-type list
  EXPECT_EQ(quiltest::HaltText([] { StandardTemplate(74); }),
            "assert:StandardTemplate--Type");
  EXPECT_EQ(quiltest::HaltText([] { StandardTemplate(0); }),
            "assert:StandardTemplate--Type");
}

TEST_F(FileTest, PageLookupPrefersTheSiteFile) {
  UseTemplates(true);
  WriteDoc("quil.tpl", "%% macro login %%my login%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(TemplateProcess(TemplateForPage(1, top_), 0, St(), top_, nullptr), "my login");
  EXPECT_EQ(TemplateForPage(2, top_), StandardTemplate(2));
}

TEST_F(FileTest, EveryStandardPageRendersWithoutErrors) {
  Create(top_, "forum-category", "Cafe");
  Create(Path("/Cafe"), "forum-topic", "x", "Talk");
  int32_t index;
  (void)ForumItemCreate(Path("/Cafe/1"), sysop_, S("Hi"), S("text"), S("Hello <b>all</b>"), -1,
                  true, &index);
  TemplateSimpleRequest request;
  request.AddForm("username", "Ann \"quoted\" <x>");
  for (int type = 1; type <= kTemplatePageTypes; ++type) {
    if (!TemplateStandardText(type) || type >= 72) continue;
    St page = TemplateProcess(StandardTemplate(type), sysop_, S("abc^1"),
                              Path("/Cafe/1"), &request);
    std::string v = page.Str();
    SCOPED_TRACE(TemplatePageTypeName(type));
    EXPECT_EQ(v.rfind("<!DOCTYPE html>\n<html lang=\"en\">", 0), 0u) << v;
    EXPECT_NE(v.find("<link rel=\"stylesheet\" href=\"/quil.css\">"), std::string::npos);
    EXPECT_NE(v.find("</main>"), std::string::npos);
    EXPECT_EQ(v.find("<b>%%"), std::string::npos) << v;  // no error expression
    EXPECT_EQ(v.find("Ann \"quoted\""), std::string::npos);  // form values escaped
  }
  // A guest on an e-mail page gets nothing: the page returns at once.
  EXPECT_EQ(TemplateProcess(StandardTemplate(65), 0, St(), top_, nullptr), "");
}

TEST_F(FileTest, LoginFiltersLogOneLine) {
  std::vector<std::string> lines;
  TemplateOnEmailLog([&](const St& facility, const St& level, const St& text) {
    lines.push_back(facility.Str() + "|" + level.Str() + "|" + text.Str());
  });
  ChHandle ann = MakeUser("Ann Lee");
  TemplateSimpleRequest request;
  request.AddForm("username", "mallory");
  EXPECT_EQ(TemplateProcess(StandardTemplate(72), ann, St(), top_, &request), "");
  EXPECT_EQ(TemplateProcess(StandardTemplate(73), 0, St(), top_, &request), "");
  EXPECT_EQ(lines, (std::vector<std::string>{"web|OK|LOGIN by Ann Lee",
                                             "web|warning|LOGIN ATTEMPT by mallory"}));
  EXPECT_EQ(StandardTemplate(72)->Pieces().size(), 2u);  // one bracket
}

TEST_F(FileTest, StaticFilesAreInstalledWhenMissing) {
  TemplateSite& site = TemplateMainSite();
  site.docDir = "fresh/html";
  int n = TemplateStaticFilesInstall(site);
  EXPECT_EQ(n, int(TemplateStaticFiles().size()));
  std::string css = ReadFile("fresh/html/quil.css");
  EXPECT_NE(css.find("prefers-color-scheme: dark"), std::string::npos);
  EXPECT_NE(ReadFile("fresh/html/Images/folder.svg").find("<svg"), std::string::npos);
  std::ofstream("fresh/html/quil.css") << "mine";
  EXPECT_EQ(TemplateStaticFilesInstall(site), 0);  // existing files stay
  EXPECT_EQ(ReadFile("fresh/html/quil.css"), "mine");
  site.docDir = "html";
}

TEST_F(FileTest, ReferenceCountsAndTheirHalt) {
  TemplateRef t = TemplateParse(S("x"));
  EXPECT_EQ(t->RefCount(), 1);
  TemplateRef u = TemplateRefInc(t);
  EXPECT_EQ(t->RefCount(), 2);
  TemplateDestroy(u);
  EXPECT_FALSE(u);
  EXPECT_EQ(t->RefCount(), 1);
}

}  // namespace
