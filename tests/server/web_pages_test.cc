// Pages of the conference through the real quil binary and a real HTTP
// client (curl): the site's templates loaded at start, the standard static
// files installed into the document directory, template pages (".tpl")
// rendered by the HTTP server, URL macros of quil.tpl, error pages, and the
// pages of the location display on a populated database.
#include <unistd.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "ForumUser.h"
#include "conference.h"
#include "ports.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

// A response as received: head (through the empty line) and body.
// The page with every certificate of a link taken out ("?14@^3@/x" gives
// "?14@@/x"): guests get a new one with each request.
std::string NoCerts(const std::string& page) {
  static const std::regex cert("\\?([0-9]+)@[^@\"' <>]+@");
  return std::regex_replace(page, cert, "?$1@@");
}

// The first href that begins with prefix, "" when none.
std::string Link(const std::string& page, const std::string& prefix) {
  size_t at = page.find("href=\"" + prefix);
  if (at == std::string::npos) return "";
  at += 6;
  return page.substr(at, page.find('"', at) - at);
}

// A page of the built-in pages as a whole: answered 200, with the one
// stylesheet, closed.
void ExpectWholePage(const Http& h) {
  EXPECT_EQ(h.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << h.raw;
  EXPECT_TRUE(h.Has("<link rel=\"stylesheet\" href=\"/quil.css\">")) << h.body;
  ASSERT_GE(h.body.size(), 14u);
  EXPECT_EQ(h.body.substr(h.body.size() - 14), "</BODY></HTML>");
}

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
    return Curl(extra + " 'http://127.0.0.1:" + std::to_string(port_) + path + "'");
  }

  // The name path of the first discussion of Folder0 ("Discussion 0"):
  // discussions are named by number.
  std::string FirstDiscussion() {
    for (const char* name : {"0", "1", "2"}) {
      std::string path = std::string("/Folder0/") + name;
      if (Get("/Quil?14@@" + path).Has("<h1>Discussion 0</h1>")) return path;
    }
    ADD_FAILURE() << "no discussion named by a number in Folder0";
    return "/Folder0/0";
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
  ExpectWholePage(h);
  EXPECT_TRUE(h.Has("<h3>Quillmoot server is unable to process \"999@@\"</h3>")) << h.body;
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

// ---------------------------------------------------------------------------
// The location display.

TEST_F(WebPages, TheTopLevelFromTheBuiltInPages) {
  Start();
  Http top = Get("/Quil?");
  ExpectWholePage(top);
  EXPECT_TRUE(top.Has(">Folder Folder0</a>")) << top.body;
  EXPECT_TRUE(top.Has(">Folder Folder1</a>")) << top.body;
  // "/Quil?" and "/Quil?14@@" are the same page.
  EXPECT_EQ(NoCerts(Get("/Quil?14@@").body), NoCerts(top.body));
}

TEST_F(WebPages, TheResponseHeaderByteForByte) {
  Start();
  Http h = Get("/Quil?14@@/Folder0");
  std::regex date("Date: [A-Z][a-z][a-z], [0-9][0-9] [A-Z][a-z][a-z] [0-9]{4} "
                  "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] GMT\r\n");
  std::regex modified("Last-Modified: [A-Z][a-z][a-z], [0-9][0-9] [A-Z][a-z][a-z] [0-9]{4} "
                      "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] GMT\r\n");
  std::string head = std::regex_replace(std::regex_replace(h.head, date, "Date: <d>\r\n"),
                                        modified, "Last-Modified: <d>\r\n");
  EXPECT_EQ(head,
            "HTTP/1.1 200 OK\r\n"
            "Server: Quillmoot/3.1\r\n"
            "MIME-Version: 1.0\r\n"
            "Cache-Control: private\r\n"
            "Connection: close\r\n"
            "Date: <d>\r\n"
            "Last-Modified: <d>\r\n"
            "Content-type: text/html\r\n"
            "Content-length: " + std::to_string(h.body.size()) + "\r\n"
            "\r\n");
}

TEST_F(WebPages, ALocationAloneIsShownAsCommand14) {
  Start();
  Http folder = Get("/Quil?Folder0");
  EXPECT_TRUE(folder.Has("<h1>Folder Folder0</h1>")) << folder.body;
  EXPECT_EQ(NoCerts(folder.body), NoCerts(Get("/Quil?14@@/Folder0").body));
  // Two levels, and a unique path, alone.
  std::string path = FirstDiscussion();
  Http discussion = Get("/Quil?" + path.substr(1));
  EXPECT_TRUE(discussion.Has("Message 0 of discussion")) << discussion.body;
  EXPECT_EQ(NoCerts(discussion.body), NoCerts(Get("/Quil?14@@" + path).body));
  std::string unique = NoCerts(Link(folder.body, "?14@")).substr(5);
  ASSERT_EQ(unique.substr(0, 1), ".") << folder.body;
  EXPECT_EQ(NoCerts(Get("/Quil?" + unique).body), NoCerts(Get("/Quil?14@@" + unique).body));
}

TEST_F(WebPages, CertificatesGoIntoTheLinks) {
  Start();
  Http top = Get("/Quil?14@@");
  // A guest's certificate, made for this request, is in every link that
  // takes one and in none of the others (15 and 18 never carry one).
  std::smatch m;
  std::string body = top.body;
  ASSERT_TRUE(std::regex_search(body, m, std::regex("href=\"\\?14@(\\^[0-9A-Za-z]+)@\\.")))
      << body;
  std::string cert = m[1];
  EXPECT_TRUE(top.Has("href=\"?3@" + cert + "@")) << body;
  EXPECT_TRUE(top.Has("href=\"?15@@")) << body;
  EXPECT_TRUE(top.Has("href=\"?18@@")) << body;
  EXPECT_FALSE(top.Has("href=\"?14@@")) << body;
}

TEST_F(WebPages, DiscussionsAndMessages) {
  Start();
  std::string path = FirstDiscussion();
  Http d = Get("/Quil?14@@" + path);
  for (int k = 0; k < 3; ++k)
    EXPECT_TRUE(d.Has("Message " + std::to_string(k) + " of discussion")) << d.body;
  // A message on its own page; 13 shows it in its discussion.
  Http one = Get("/Quil?14@@" + path + "/1");
  EXPECT_TRUE(one.Has("Message 1 of discussion")) << one.body;
  EXPECT_FALSE(one.Has("Message 2 of discussion")) << one.body;
  Http context = Get("/Quil?13@@" + path + "/1");
  EXPECT_TRUE(context.Has("Message 0 of discussion")) << context.body;
  EXPECT_TRUE(context.Has("Message 2 of discussion")) << context.body;
  Http all = Get("/Quil?128@@" + path);
  EXPECT_TRUE(all.Has("Message 2 of discussion")) << all.body;
}

// Whatever the location says, the answer is a page and the server goes on.
TEST_F(WebPages, BadLocationsAreAnsweredWithAPage) {
  Start();
  std::string path = FirstDiscussion();
  for (const std::string& bad : std::vector<std::string>{"/Nowhere", "/Folder0/nosuch", path + "/999",
                          path + "/99999999999999999999", "/%00%ff%2F..%2F", "/Folder0/" +
                          std::string(3000, 'x')}) {
    Http h = Get("/Quil?14@@" + bad);
    EXPECT_EQ(h.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << bad << h.raw;
    EXPECT_TRUE(h.Has(" - Pathname not found</title>")) << bad << h.body;
    EXPECT_TRUE(h.Has("\" not found</h3>")) << bad << h.body;
  }
  Http unable = Get("/Quil?999@@");
  EXPECT_TRUE(unable.Has("Quillmoot server is unable to process \"999@@\"")) << unable.body;
  EXPECT_TRUE(Get("/Quil?14@@").Has(">Folder Folder0</a>"));
}

// The sysop, authorized by HTTP basic authorization: the certificate of the
// session goes into the links; restarting and quitting answer before the
// server stops (to start again, or for good).
TEST_F(WebPages, TheSysopRestartsAndQuitsOverHttp) {
  WithConference(dir_, [](quil::ForumRoot root) {
    quil::ChHandle sysop = quil::ForumUserLookup(root, quil::StFromView("sysop"));
    ASSERT_NE(sysop, 0u);
    quil::ForumUserSetPassword(root, sysop, quil::StHashMd5(quil::StFromView("secret")));
  });
  WriteFile(dir_.File("quil.set"),
            "webPort=127.0.0.1:" + std::to_string(port_) + "\nhttpBasic=1\n");
  Start();
  Http top = Get("/Quil?14@@", "-u sysop:secret");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(top.body, m, std::regex("href=\"\\?14@([^@\"^][^@\"]*)@\\.")))
      << top.body;
  std::string cert = m[1];
  EXPECT_TRUE(top.Has("href=\"?3@" + cert + "@")) << top.body;
  // A restart answers, and the server serves again in the same process.
  Http restart = Get("/Quil?202@" + cert + "@", "-u sysop:secret");
  EXPECT_TRUE(restart.Has(" - Restarting</title>")) << restart.raw;
  Http again;
  for (int i = 0; i < 200 && !again.Has(">Folder Folder0</a>"); ++i) {
    usleep(20000);
    again = Get("/Quil?14@@", "-u sysop:secret");
  }
  EXPECT_TRUE(again.Has(">Folder Folder0</a>")) << again.raw;
  EXPECT_EQ(kill(quil_->pid(), 0), 0);
  Http quit = Get("/Quil?33@" + cert + "@", "-u sysop:secret");
  EXPECT_TRUE(quit.head.find("Pragma: no-cache\r\n") != std::string::npos) << quit.raw;
  EXPECT_TRUE(quit.Has(" - Quitting</title>")) << quit.raw;
  EXPECT_TRUE(quit.Has("<h3>Quillmoot has shut down.</h3>")) << quit.raw;
  Ended e = quil_->Wait();
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.status, 0) << e.err;
  EXPECT_NE((e.err + dir_.Read("quil.log")).find("**** CGI_FORCE_QUIT ****"), std::string::npos)
      << e.err << dir_.Read("quil.log");
  quil_.reset();
}

// A template's message list keeps what it read of the messages between
// requests, but no open message between them: the server's idle check
// finds every request's handles closed, and the server keeps serving.
TEST_F(WebPages, MessageListsOfTemplatesLeaveNoMessageOpenBetweenRequests) {
  WriteFile(dir_.File("html/quilextn.tpl"),
            "%% macro items %%<ul>%% pathItems %%</ul>%% endmacro %%\n");
  Start();
  std::string discussion = FirstDiscussion();
  for (int i = 0; i < 3; ++i) {
    Http h = Get("/Quil?items@@" + discussion);
    ASSERT_EQ(h.head.substr(0, 17), "HTTP/1.1 200 OK\r\n")
        << h.raw << dir_.Read("quil.log") << dir_.Read("quilerr.log");
    // Idle passes run between the requests.
    usleep(300 * 1000);
  }
  Http top = Get("/Quil?14@@");
  EXPECT_EQ(top.head.substr(0, 17), "HTTP/1.1 200 OK\r\n") << top.raw;
}

}  // namespace
