// Pages of the conference through the real quil binary and a real HTTP
// client (curl): the site's templates loaded at start, the standard static
// files installed into the document directory, template pages (".tpl")
// rendered by the HTTP server, URL macros of quil.tpl, error pages, and the
// pages of the location display on a populated database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "conference.h"
#include "ports.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A response as received: head (through the empty line) and body.
struct Http {
  std::string raw, head, body;
  bool Has(const std::string& text) const { return body.find(text) != std::string::npos; }
};

// A server on a populated conference (folders Folder0, Folder1, each with
// discussions of messages) in a scratch directory.
class WebPages : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildConference(dir_, 2, 2, 3);
    if (HasFatalFailure()) return;
    port_ = FreePort();
    WriteFile(dir_.File("quil.set"), "webPort=127.0.0.1:" + std::to_string(port_) + "\n");
  }

  void Start() {
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
  }

  void TearDown() override {
    if (quil_) Stop(*quil_, dir_);
  }

  // GET of path ("/Quil?14@@"), the response as it came.
  Http Get(const std::string& path, const std::string& extra = "") {
    Http h;
    h.raw = Shell("curl -s -i " + extra + " 'http://127.0.0.1:" + std::to_string(port_) + path +
                  "'");
    size_t end = h.raw.find("\r\n\r\n");
    if (end == std::string::npos) {
      h.body = h.raw;
      return h;
    }
    h.head = h.raw.substr(0, end + 4);
    h.body = h.raw.substr(end + 4);
    return h;
  }

  ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Quil> quil_;
};

TEST_F(WebPages, StaticFilesAreInstalledAndKept) {
  // A site's own stylesheet stays as it is; the missing files are written.
  WriteFile(dir_.File("html/quil.css"), "/* mine */\n");
  Start();
  EXPECT_EQ(dir_.Read("html/quil.css"), "/* mine */\n");
  Http css = Get("/quil.css");
  EXPECT_EQ(css.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << css.raw;
  EXPECT_EQ(css.body, "/* mine */\n");
}

TEST_F(WebPages, TheStylesheetIsInstalledWhenMissing) {
  Start();
  ASSERT_TRUE(dir_.Exists("html/quil.css"));
  Http css = Get("/quil.css");
  EXPECT_EQ(css.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << css.raw;
  EXPECT_EQ(css.body, dir_.Read("html/quil.css"));
  EXPECT_NE(css.body.find("quil.css"), std::string::npos);
}

TEST_F(WebPages, ErrorPagesComeFromTheTemplateLayer) {
  Start();
  Http h = Get("/Quil?999@@");
  EXPECT_EQ(h.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << h.raw;
  EXPECT_TRUE(h.Has("<link rel=\"stylesheet\" href=\"/quil.css\">")) << h.body;
  EXPECT_TRUE(h.Has("<h3>Quillmoot server is unable to process \"999@@\"</h3>")) << h.body;
  EXPECT_EQ(h.body.substr(h.body.size() - 14), "</BODY></HTML>");
}

TEST_F(WebPages, TemplatePagesAndUrlMacrosAreRendered) {
  WriteFile(dir_.File("html/hello.tpl"), "<p>%% \"tpl\" %% page</p>\n");
  // The extension file is read whether the sysop uses templates or not.
  WriteFile(dir_.File("html/quilextn.tpl"),
            "%% macro greet %%<p>macro at [%% actionPath %%] <a href=\"?14@@\">top</a></p>"
            "%% endmacro %%\n");
  Start();
  Http page = Get("/hello.tpl");
  EXPECT_EQ(page.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << page.raw;
  EXPECT_EQ(page.body, "<p>tpl page</p>\n");

  Http macro = Get("/Quil?greet@@/Folder0");
  EXPECT_EQ(macro.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << macro.raw;
  EXPECT_TRUE(macro.Has("<p>macro at [/Folder0] <a href=\"?14@")) << macro.body;
  Http missing = Get("/Quil?nosuch@@");
  EXPECT_TRUE(missing.Has("The template \"nosuch\" is not defined.")) << missing.body;
}

}  // namespace
