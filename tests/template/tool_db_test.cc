// quil-tpl against a real database file: path, user, form values and the
// site's template file, as an operator runs it.
#include <cstdlib>

#include "site_fixture.h"

namespace {

using namespace quil;
using tpltest::S;
using tpltest::SiteTest;

std::string Tool() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return std::string(dir ? dir : QUIL_BINARY_DIR) + "/quil-tpl";
}

class ToolDb : public SiteTest {
 protected:
  // Runs the tool in the scratch directory; stdout and stderr into out/err.
  int Run(const std::string& args, std::string* out, std::string* err) {
    std::string cmd = "'" + Tool() + "' " + args + " </dev/null >tool.out 2>tool.err";
    int st = system(cmd.c_str());
    *out = ReadFile("tool.out");
    *err = ReadFile("tool.err");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

TEST_F(ToolDb, EvaluatesAgainstADatabase) {
  Create(top_, "forum-category", "Cafe", "The Cafe");
  MakeUser("Ann Lee");
  ForumSysopSetUseTemplates(root_, true);
  ForumSysopSetHtmlTitle(root_, S("Tea Room"));
  WriteDoc("quil.tpl", "%% macro hello %%Hello from the site file%% endmacro %%");
  WriteDoc("page.tpl",
           "%% siteTitle %%|%% pathTitle %%|%% userName %%|%% form q %%|%% use hello %%|"
           "%% folderCreate(\"Scratch\") %%");
  TemplateCacheTerm(TemplateMainSite());  // it may hold open messages
  TemplateMainSite().root = nullptr;
  Close();
  std::string out, err;
  EXPECT_EQ(Run("-d quil.db -a /Cafe -u 'ann lee' html/page.tpl q=42", &out, &err), 0) << err;
  EXPECT_EQ(out.substr(0, out.rfind('|')),
            "Tea Room|The Cafe|Ann Lee|42|Hello from the site file");
  EXPECT_EQ(err, "");
  // Nothing the template changed was saved.
  Open();
  EXPECT_FALSE(Path("/Cafe/Scratch"));
  TemplateMainSite().root = root_;
  // Macros of the site file by name, through the folder lookup.
  TemplateCacheTerm(TemplateMainSite());  // it may hold open messages
  TemplateMainSite().root = nullptr;
  Close();
  EXPECT_EQ(Run("-d quil.db -f -m hello", &out, &err), 0) << err;
  EXPECT_EQ(out, "Hello from the site file");
  EXPECT_EQ(Run("-d quil.db -a /No/Such html/page.tpl", &out, &err), 4);
  EXPECT_EQ(err, "quil-tpl: no item at /No/Such\n");
  EXPECT_EQ(Run("-d quil.db -u nobody html/page.tpl", &out, &err), 4);
  EXPECT_EQ(Run("-d missing-dir/none.db html/page.tpl", &out, &err), 4);
  EXPECT_EQ(Run("-a /Cafe html/page.tpl", &out, &err), 2);
  Open();
  TemplateMainSite().root = root_;
}

}  // namespace
