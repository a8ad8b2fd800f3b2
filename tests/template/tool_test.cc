// quil-tpl, run as a site operator runs it: the real binary, real files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

class QuilTpl : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quil-tpl-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* bin = getenv("QUIL_BINARY_DIR");
    tool_ = std::string(bin ? bin : QUIL_BINARY_DIR) + "/quil-tpl";
    ASSERT_EQ(access(tool_.c_str(), X_OK), 0) << "build quil-tpl first: " << tool_;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string Write(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  ToolRun Run(const std::string& args, const std::string& input = "") {
    Write("stdin", input);
    std::string cmd = "'" + tool_ + "' " + args + " <'" + dir_ + "/stdin' >'" +
                      dir_ + "/stdout' 2>'" + dir_ + "/stderr'";
    int st = system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = Read(dir_ + "/stdout");
    r.err = Read(dir_ + "/stderr");
    return r;
  }

  std::string dir_, tool_;
};

TEST_F(QuilTpl, EvaluatesAFileWithFormValues) {
  std::string file = Write("page.tpl",
                           "Hello %% form name %%!\r\n"
                           "%% if hasValue admin %%admin%% else %%user%% endif %%\n");
  ToolRun r = Run("'" + file + "' name=Ann 'greeting=a b'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Hello Ann!\r\nuser");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Run("'" + file + "' name=Bo admin=").out, "Hello Bo!\r\nadmin");
}

TEST_F(QuilTpl, ReadsStandardInput) {
  ToolRun r = Run("- x=1", "%% 1 + 2 * 3 %%,%% form x %%");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "7,1");
  EXPECT_EQ(Run("", "%% \"a\" & 'A' %%").out, "a65");
}

TEST_F(QuilTpl, RunsNamedMacrosInOrder) {
  std::string file = Write("site.tpl",
                           "top text%% macro head %%H%% use part %%%% endmacro %%"
                           "%% macro foot %%F%% endmacro %%"
                           "%% macro part %%p%% endmacro %%");
  ToolRun r = Run("-m foot -m HEAD '" + file + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "FHp");
  r = Run("-m head -m nothere -m foot '" + file + "'");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "HpF");
  EXPECT_EQ(r.err, "quil-tpl: no macro nothere\n");
}

TEST_F(QuilTpl, WhileBudgetAndPageType) {
  ToolRun r = Run("-w 3", "%% while 1 %%.%% endwhile %%");
  EXPECT_EQ(r.out, "..<b>While loop limit reached</b><br>");
  EXPECT_EQ(Run("-p login", "%% pageIs login %%%% pageIs register %%").out, "10");
}

TEST_F(QuilTpl, NamesKeywordsThatNeedTheServer) {
  ToolRun r = Run("", "[%% userName %%][%% siteTitle %%][%% userName %%]");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[][][]");
  EXPECT_EQ(r.err, "quil-tpl: not available without a database (-d): userName, siteTitle\n");
}

TEST_F(QuilTpl, UsageAndErrors) {
  ToolRun r = Run("-h");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: quil-tpl ", 0), 0u);
  r = Run("'" + dir_ + "/missing.tpl'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos);
  r = Run("-x");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("quil-tpl: unknown option -x\nusage:", 0), 0u);
  EXPECT_EQ(Run("-w 0").status, 2);
  EXPECT_EQ(Run("-p nowhere").status, 2);
  EXPECT_EQ(Run("-m").status, 2);
  EXPECT_EQ(Run("a b").status, 2);
}

}  // namespace
