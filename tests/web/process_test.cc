// One request from the request record to the response, on a real database:
// the response header byte for byte, the request text and its defaults,
// the gates with requests kept over a login, saved posts replayed after
// it, cookies and basic authorization, sysop functions, URL macros, the
// template hooks and the log lines.
#include <sys/stat.h>

#include <cstdlib>

#include "web_test_util.h"

using namespace quil;
using namespace webtest;

namespace {

// True when pattern occurs in text, where "#" in pattern stands for one or
// more digits and every other character for itself.
bool Matches(const std::string& text, const std::string& pattern) {
  for (size_t start = 0; start < text.size(); ++start) {
    size_t t = start, p = 0;
    while (p < pattern.size() && t <= text.size()) {
      if (pattern[p] == '#') {
        size_t digits = t;
        while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
        if (digits == t) break;
        t = digits;
      } else if (t < text.size() && text[t] == pattern[p]) {
        ++t;
      } else {
        break;
      }
      ++p;
    }
    if (p == pattern.size()) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The response header.

TEST_F(WebTest, ResponseHeaderByteForByte) {
  Handle(kCgiCmdShow);
  CgiTemplateSeam seam;
  seam.footer = [](CgiRequest&, const ForumFile&) { return StCStrXfm("<p>footer</p>"); };
  CgiSetTemplateSeam(seam);
  Response r = Get("14@@");
  std::string cert = Last().cert;
  ASSERT_EQ(cert.substr(0, 1), "^");  // a guest's certificate, made for this request
  std::string body = "<HTML><BODY>command 14 at [] <a href=\"/Quil?14@" + cert +
                     "@/x\">x</a><p>footer</p></BODY></HTML>";
  EXPECT_EQ(MaskDate(r.head),
            "HTTP/1.1 200 OK\r\n"
            "Server: Quillmoot/3.1\r\n"
            "MIME-Version: 1.0\r\n"
            "Cache-Control: private\r\n"
            "Connection: close\r\n"
            "Date: <date>\r\n"
            "Content-type: text/html\r\n"
            "Content-length: " + std::to_string(body.size()) + "\r\n"
            "\r\n");
  EXPECT_EQ(r.body, body);
}

void NoCachePage(CgiRequest& r) {
  r.noCache = true;
  r.lastModified = LgDbTd{20240102, 30405};
  r.extraHeaders = StCStrXfm("X-Test: 1\r\n");
  r.contentType = StCStrXfm("text/plain; charset=x");
  BufAddC(r.page, "plain");
}

// Every optional line, in its place; the sysop's MIME type when the page
// names none.
TEST_F(WebTest, HeaderLinesInTheirOrder) {
  setenv("TZ", "UTC", 1);
  tzset();
  ForumSysopSetUseCookies(root_, true);
  ChHandle ann = User("Ann", "pw");
  std::string cert = Login(ann);
  Handle(kCgiCmdShow, NoCachePage);
  Response r = Get("14@" + cert + "@");
  std::string digest = StToHex(StHashMd5(S("pw"))).Str();
  EXPECT_EQ(MaskDate(r.head),
            "HTTP/1.1 200 OK\r\n"
            "Server: Quillmoot/3.1\r\n"
            "MIME-Version: 1.0\r\n"
            "Connection: close\r\n"
            "Date: <date>\r\n"
            "Last-Modified: Tue, 02 Jan 2024 03:04:05 GMT\r\n"
            "Pragma: no-cache\r\n"
            "Cache-Control: no-cache\r\n"
            "X-Test: 1\r\n"
            "Content-type: text/plain; charset=x\r\n"
            "Content-length: " + std::to_string(r.body.size()) + "\r\n"
            "Set-Cookie: quilUser=416e6e@" + digest + "; path=/\r\n"
            "\r\n");
  EXPECT_EQ(r.body.substr(0, 5), "plain");

  ForumSysopSetMimeType(root_, S("text/html; charset=ISO-8859-1"));
  Handle(kCgiCmdShow);
  EXPECT_EQ(Get("14@@").Header("Content-type"), "text/html; charset=ISO-8859-1");
}

// The bridge and FastCGI get no status line (the bridge strips one, FastCGI
// has its own); FastCGI may go without Content-length.
TEST_F(WebTest, HeaderByFrontEnd) {
  Handle(kCgiCmdShow);
  Request q;
  q.query = "14@@";
  for (CgiFrontEnd front : {CgiFrontEnd::kBridge, CgiFrontEnd::kFcgi}) {
    q.front = front;
    Response r = Send(q);
    EXPECT_EQ(r.lines.at(0), "MIME-Version: 1.0");
    EXPECT_EQ(r.Header("Content-length"), std::to_string(r.body.size()));
  }
  CgiSetFcgiOmitLength(true);
  Response r = Send(q);
  CgiSetFcgiOmitLength(false);
  EXPECT_EQ(r.Header("Content-length"), "");
  EXPECT_EQ(r.lines.back().substr(0, 13), "Content-type:");
  q.front = CgiFrontEnd::kStdio;
  EXPECT_EQ(Send(q).lines.at(0), "HTTP/1.1 200 OK");
}

void FullResponse(CgiRequest& r) { BufAddC(r.page, "HTTP/1.1 302 Found\r\nLocation: /x?14@@\r\n\r\n"); }
void Picture(CgiRequest& r) {
  r.contentType = StCStrXfm("image/gif");
  BufAddC(r.page, "GIF89a /Quil?14@@");
}

TEST_F(WebTest, FullResponsesAndBinaryPagesAreLeftAsTheyAre) {
  Handle(kCgiCmdShow, FullResponse);
  EXPECT_EQ(Get("14@@").raw, "HTTP/1.1 302 Found\r\nLocation: /x?14@@\r\n\r\n");
  Handle(27, Picture, kCgiActBinary);
  Response r = Get("27@@Ann");
  EXPECT_EQ(r.body, "GIF89a /Quil?14@@");  // no footer, no certificate
  EXPECT_EQ(r.Header("Content-type"), "image/gif");
}

// ---------------------------------------------------------------------------
// The request text.

TEST_F(WebTest, EmptyRequestTextShowsTheDefault) {
  Handle(kCgiCmdShow);
  Get("");
  EXPECT_EQ(Last().command, kCgiCmdShow);
  EXPECT_EQ(Last().requestText, "14@@");
  EXPECT_EQ(Last().location, "");
  Create(top_, "forum-category", "L1Cat");
  ForumSysopSetDefaultCmd(root_, S("14@@/L1Cat"));
  Get("");
  EXPECT_EQ(Last().location, "/L1Cat");
  EXPECT_EQ(Last().opened, "/L1Cat");
}

TEST_F(WebTest, LocationAloneEqualsCommand14) {
  Handle(kCgiCmdShow);
  Create(top_, "forum-category", "L1Cat");
  Create(Path("/L1Cat"), "forum-category", "L2Cat");
  Create(top_, "forum-category", "My Folder");
  Response alone = Get("L1Cat/L2Cat");
  Seen a = Last();
  Response full = Get("14@@/L1Cat/L2Cat");
  Seen b = Last();
  EXPECT_EQ(a.command, 14);
  EXPECT_EQ(a.location, b.location);
  EXPECT_EQ(a.opened, "/L1Cat/L2Cat");
  EXPECT_EQ(b.opened, "/L1Cat/L2Cat");
  // The pages differ only in the guest certificates of their links.
  auto strip = [](std::string s, const std::string& cert) {
    size_t at = s.find(cert);
    if (at != std::string::npos) s.erase(at, cert.size());
    return s;
  };
  EXPECT_EQ(strip(alone.body, a.cert), strip(full.body, b.cert));
  // A unique path opens as it is; quoted names come back decoded.
  ForumFile l2 = Path("/L1Cat/L2Cat");
  std::string unique = ForumFileUniquePath(l2).Str();
  Get(unique);
  EXPECT_EQ(Last().location, unique);
  EXPECT_EQ(Last().opened, "/L1Cat/L2Cat");
  Get("14@@/My%20Folder");
  EXPECT_EQ(Last().location, "/My Folder");
  EXPECT_EQ(Last().opened, "/My%20Folder");
  Get("Nowhere");
  EXPECT_EQ(Last().location, "/Nowhere");
  EXPECT_EQ(Last().opened, "(not found)");
  Get("/Nowhere");
  EXPECT_EQ(Last().location, "/Nowhere");
}

TEST_F(WebTest, MalformedAndUnhandledCommandsAreUnableToProcess) {
  // Malformed numbers, numbers past the table, and 17, which has a name
  // but no handler.
  for (const char* text : {"999@@", "28@@", "0@@", "12x@@", "17@@/a"}) {
    Response r = Get(text);
    EXPECT_TRUE(r.Has(" - Unable to process</title>")) << text << r.body;
    EXPECT_TRUE(r.Has(std::string("Quillmoot server is unable to process \"") + text + "\""))
        << text << r.body;
    EXPECT_TRUE(r.body.size() > 14 && r.body.substr(r.body.size() - 14) == "</BODY></HTML>");
  }
  EXPECT_TRUE(Get("999@@/<b>").Has("unable to process \"999@@/&lt;b&gt;\""));
  // Numbers above the table, and 91 (a name without a handler), for those
  // the gates let through.
  std::string sysop = Login(Sysop());
  for (const char* c : {"91", "257", "300"}) {
    Response r = Get(std::string(c) + "@" + sysop + "@");
    EXPECT_TRUE(r.Has("Unable to process")) << c << r.body;
  }
}

TEST_F(WebTest, BangFieldsReachTheCommand) {
  Handle(39);
  Create(top_, "forum-category", "L1Cat");
  std::string cert = Login(User("Ann", "pw"));
  Get("39@" + cert + "@/L1Cat!showAll=1");
  EXPECT_EQ(Last().command, 39);
  EXPECT_EQ(Last().location, "/L1Cat");
  EXPECT_EQ(Last().form.size(), 1u);
  EXPECT_EQ(Last().form["showAll"], "1");
  // "!" fields are read before the text is decoded: an encoded "&" stays
  // inside its value; an encoded "!" is no split.
  Get("39@" + cert + "@/L1Cat!a=x%26b%3Dc&d");
  EXPECT_EQ(Last().form["a"], "x&b=c");
  EXPECT_EQ(Last().form["d"], "(none)");
  Get("39@" + cert + "@/L1Cat%21x=1");
  EXPECT_EQ(Last().location, "/L1Cat!x=1");
  EXPECT_TRUE(Last().form.empty());
  // Chat control texts are not split.
  Handle(200);
  Get("200@" + Login(Sysop()) + "@room!a=1");
  EXPECT_EQ(Last().command, 200);
  EXPECT_EQ(Last().location, "room!a=1");
  EXPECT_TRUE(Last().form.empty());
}

TEST_F(WebTest, FieldGivenTwiceKeepsTheLastValue) {
  Handle(kCgiCmdShow);
  Post("14@@", "a=1&b=two+words&a=3");
  EXPECT_EQ(Last().form["a"], "3");
  EXPECT_EQ(Last().form["b"], "two words");
  EXPECT_EQ(Last().order, (std::vector<std::string>{"b", "a"}));
  // The body comes after the URL's fields, so it wins.
  Post("14@@/x!a=url&c=1", "a=body");
  EXPECT_EQ(Last().form["a"], "body");
  EXPECT_EQ(Last().order, (std::vector<std::string>{"c", "a"}));
}

TEST_F(WebTest, PostWithNoData) {
  Handle(11);
  for (Response r : {Post("11@@/x", ""), Get("11@@/x")}) {
    EXPECT_TRUE(r.Has("Post with no data")) << r.body;
    EXPECT_EQ(r.Header("Pragma"), "no-cache");
  }
  EXPECT_EQ(Last().calls, 0);
  Get("11@@/x!newresponse=hi");
  EXPECT_EQ(Last().calls, 1);
  EXPECT_EQ(Last().form["newresponse"], "hi");
}

TEST_F(WebTest, MultipartFormsWithFiles) {
  Handle(11);
  std::string gif("GIF89a\x02\x00\x03\x00\x00\x00\x00;", 14);
  std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"newresponse\"\r\n\r\nWith a picture\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"dot.gif\"\r\n"
      "Content-Type: image/gif\r\n\r\n" + gif + "\r\n--XyZ--\r\n";
  Post("11@@/x", body, "multipart/form-data; boundary=XyZ");
  ASSERT_EQ(Last().calls, 1);
  EXPECT_EQ(Last().form["newresponse"], "With a picture");
  EXPECT_EQ(Last().form["upload"], "dot.gif");
  ASSERT_EQ(Last().uploads.size(), 1u);
  EXPECT_EQ(Last().uploads[0].data.Str(), gif);
  EXPECT_EQ(Last().uploads[0].contentType.Str(), "image/gif");
  // A body that is only a file is form data too.
  std::string only = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\nA\r\n--b--";
  Post("11@@/x", only, "MULTIPART/FORM-DATA; boundary=b");
  EXPECT_EQ(Last().calls, 2);
  EXPECT_EQ(Last().uploads.size(), 1u);
}

// ---------------------------------------------------------------------------
// Gates and kept requests.

void LoginForm(CgiRequest& r) {
  RecordingHandler(r);
  BufAddC(r.page, " login form");
}

// A test's command 23: checks the password, installs the session and
// carries out the request kept in the location.
void LoginHandler(CgiRequest& r) {
  bool found = false;
  ChHandle user = ForumUserCheckPassword(r.root, GetValueFromName(r.form, "username"),
                                         GetValueFromName(r.form, "password"), &found);
  if (user == 0) {
    CgiErrorPage(r, "Login failed", "Login failed");
    return;
  }
  AuthInstallUser(user, r.remote, &r.cert, false, StCStrXfm(" login"));
  CgiSetUser(r, user);
  if (!CgiForwardKept(r)) BufAddC(r.page, "<HTML>Welcome");
}

// A test's command 11: posts when the user may, else keeps the post over a
// login.
void PostHandler(CgiRequest& r) {
  ForumFile d = CgiOpenLocation(r.root, r.location);
  if (!d) {
    CgiErrorPage(r, "Pathname not found", "not found");
    return;
  }
  if (!ForumAccOpCk(d, r.user, kForumAccPost)) {
    CgiKeepAndLogin(r);
    return;
  }
  int32_t ix = 0;
  uint16_t ec = ForumItemCreate(d, r.user, GetValueFromName(r.form, "messageTitle"), StCStrXfm("text/plain"),
                  GetValueFromName(r.form, "newresponse"), -1, true, &ix);
  ASSERT_EQ(ec, 0);
  BufAddC(r.page, "<HTML>posted ");
  BufAddInt(r.page, ix);
  BufAddC(r.page, " <a href=\"/Quil?14@@\">back</a>");
}

TEST_F(WebTest, GuestReplyIsKeptOverTheLoginAndPostedAfterIt) {
  ChHandle ann = User("Ann", "pw");
  St name = Create(top_, "forum-topic", "d", "Talk");
  std::string path = "/" + name.Str();
  ForumFile disc = Path(path.c_str());
  ForumAccEnable(top_, kForumAccAllGuests, kForumAccRead);
  ASSERT_FALSE(ForumAccOpCk(disc, 0, kForumAccPost));
  ASSERT_TRUE(ForumAccOpCk(disc, ann, kForumAccPost));
  Handle(11, PostHandler);
  Handle(kCgiCmdLoginForm, LoginForm);
  Handle(kCgiCmdLogin, LoginHandler);

  Response form = Post("11@@" + path, "newresponse=Hello+world&messageTitle=Hi");
  EXPECT_TRUE(form.Has("login form"));
  EXPECT_EQ(Last().command, kCgiCmdLoginForm);
  std::string kept = Last().location;
  EXPECT_EQ(kept, "1000@" + path);
  EXPECT_EQ(PostCount(), 1);
  EXPECT_EQ(form.Header("Pragma"), "no-cache");
  std::string guest = Last().cert;

  // The login form posts to 23 with the kept location.
  Response done = Post("23@" + guest + "@" + kept, "username=Ann&password=pw");
  EXPECT_TRUE(done.Has("posted 0")) << done.body;
  EXPECT_EQ(ForumMessageCount(disc), 1);
  EXPECT_EQ(ForumItemData(disc, 0).Str(), "Hello world");
  EXPECT_EQ(ForumItemTitle(disc, 0).Str(), "Hi");
  EXPECT_EQ(ForumItemAuthor(disc, 0), ann);
  EXPECT_EQ(PostCount(), 0);
  // The page's links carry the new session's certificate.
  size_t link = done.body.find("/Quil?14@");
  ASSERT_NE(link, std::string::npos);
  std::string linked = done.body.substr(link + 9, done.body.find('@', link + 9) - link - 9);
  EXPECT_NE(linked.find('.'), std::string::npos) << linked;
  EXPECT_NE(linked, guest);

  // A saved post is replayed once: again, it is the failed-post page.
  Response again = Post("23@" + guest + "@" + kept, "username=Ann&password=pw");
  EXPECT_TRUE(again.Has(" - Post Failed</title>")) << again.body;
  EXPECT_EQ(ForumMessageCount(disc), 1);

  // Only for the address it came from.
  Post("11@@" + path, "newresponse=Second");
  std::string kept2 = Last().location;
  EXPECT_EQ(kept2, "1001@" + path);
  Request other;
  other.query = "23@@" + kept2;
  other.body = "username=Ann&password=pw";
  other.contentType = "application/x-www-form-urlencoded";
  other.remote = "10.0.0.9";
  Send(other);
  EXPECT_EQ(ForumMessageCount(disc), 1);
}

TEST_F(WebTest, GatesKeepTheRefusedRequest) {
  Handle(kCgiCmdLoginForm, LoginForm);
  Handle(kCgiCmdSysopLoginForm, LoginForm);
  Handle(12);
  Handle(59);
  Handle(kCgiCmdShow);
  // A post command a guest may not use: its form is saved under a mark.
  Post("12@@/x", "newresponse=edited");
  EXPECT_EQ(Last().command, kCgiCmdLoginForm);
  EXPECT_EQ(Last().location, "1000@/x");
  EXPECT_TRUE(Last().form.empty());
  // A sysop command: the sysop's login form, the command kept as it is.
  Get("59@@/x");
  EXPECT_EQ(Last().command, kCgiCmdSysopLoginForm);
  EXPECT_EQ(Last().location, "59@/x");
  // The "L" suffix asks for a login.
  Get("14L@@/x");
  EXPECT_EQ(Last().command, kCgiCmdLoginForm);
  EXPECT_EQ(Last().location, "14@/x");
  // A macro, when the sysop does not allow guests.
  ForumSysopSetAllowGuests(root_, false);
  Get("myMacro@@/x");
  EXPECT_EQ(Last().location, "myMacro@/x");
  ForumSysopSetAllowGuests(root_, true);
  // A user passes.
  std::string cert = Login(User("Ann", "pw"));
  Post("12@" + cert + "@/x", "newresponse=edited");
  EXPECT_EQ(Last().command, 12);
  EXPECT_EQ(Last().form["newresponse"], "edited");
  Get("14L@" + cert + "@/x");
  EXPECT_EQ(Last().command, 14);
}

TEST_F(WebTest, LoginOnceAllowsOnlyItsCommandsToNewGuests) {
  Handle(kCgiCmdLoginForm, LoginForm);
  Handle(kCgiCmdShow);
  Handle(18);
  ForumSysopSetLoginOnce(root_, true);
  Get("14@@/x");
  EXPECT_EQ(Last().command, kCgiCmdLoginForm);
  EXPECT_EQ(Last().location, "14@/x");
  std::string guest = Last().cert;
  Get("18@@");  // the registration form is allowed
  EXPECT_EQ(Last().command, 18);
  // A guest certificate from an earlier page is no new guest.
  Get("14@" + guest + "@/x");
  EXPECT_EQ(Last().command, 14);
  EXPECT_EQ(Last().cert, guest);
}

// A malformed command is answered as such even for a guest, and kept
// requests nest only so far.
TEST_F(WebTest, ForwardsAreBounded) {
  Handle(kCgiCmdShow, [](CgiRequest& r) {
    if (!CgiForwardKept(r)) RecordingHandler(r);
  });
  Get("14@@14@14@14@/x");
  EXPECT_EQ(Last().location, "/x");
  Response r = Get("14@@14@14@14@14@14@14@14@14@14@14@/x");
  EXPECT_TRUE(r.Has("Unable to process"));
}

// ---------------------------------------------------------------------------
// Who asks: cookies, basic authorization, sysop functions.

TEST_F(WebTest, CookiesAreSetAndHonoured) {
  Handle(kCgiCmdShow);
  ChHandle ann = User("Ann", "pw");
  std::string cookie = "quilUser=416e6e@" + StToHex(StHashMd5(S("pw"))).Str();
  // Cookies off for the site: none is set, none is honoured.
  Response off = Get("14@" + Login(ann) + "@");
  EXPECT_EQ(off.Header("Set-Cookie"), "");
  Request q;
  q.query = "14@@";
  q.cookie = "theme=dark; " + cookie;
  Send(q);
  EXPECT_EQ(Last().user, 0u);

  ForumSysopSetUseCookies(root_, true);
  Response on = Get("14@" + Login(ann) + "@");
  EXPECT_EQ(on.Header("Set-Cookie"), cookie + "; path=/");
  // The cookie names the user without a certificate, and is not set again.
  Response back = Send(q);
  EXPECT_EQ(Last().user, ann);
  EXPECT_EQ(back.Header("Set-Cookie"), "");
  EXPECT_NE(Last().cert.find('.'), std::string::npos);  // a session's certificate
  // A changed password makes the cookie worthless.
  ForumUserSetPassword(root_, ann, StHashMd5(S("new")));
  Send(q);
  EXPECT_EQ(Last().user, 0u);
}

TEST_F(WebTest, BasicAuthorization) {
  Handle(kCgiCmdShow);
  ChHandle ann = User("Ann", "pw");
  Request q;
  q.query = "14@@";
  q.pairs.push_back({"http_Authorization", "Basic " + StToBase64(S("Ann:pw")).Str()});
  Send(q);
  EXPECT_EQ(Last().user, 0u);  // the site does not take basic authorization
  wfQuilSettings.Set("httpBasic", S("1"));
  Send(q);
  EXPECT_EQ(Last().user, ann);
  q.pairs.back().second = "Basic " + StToBase64(S("Ann:wrong")).Str();
  Send(q);
  EXPECT_EQ(Last().user, 0u);
  q.pairs.back().second = "Basic !!!";
  Send(q);
  EXPECT_EQ(Last().user, 0u);
  wfQuilSettings.Set("httpBasic", St());
}

TEST_F(WebTest, SysopFunctionsAreRefusedToOthers) {
  Handle(59);
  std::string ann = Login(User("Ann", "pw"));
  Response r = Get("59@" + ann + "@");
  EXPECT_TRUE(r.Has(" - Sysop Function</title>")) << r.body;
  EXPECT_TRUE(r.Has("Only a system operator may use this request"));
  EXPECT_EQ(Last().calls, 0);
  Get("59@" + Login(Sysop()) + "@");
  EXPECT_EQ(Last().calls, 1);
}

// The guest flag: no user, or a named guest's record.
TEST_F(WebTest, GuestFlag) {
  Handle(kCgiCmdShow);
  Get("14@@");
  EXPECT_TRUE(Last().guest);
  Get("14@" + Login(User("Ann", "pw")) + "@");
  EXPECT_FALSE(Last().guest);
  ChHandle named = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Visitor"), St(), St(), &named), 0);
  Get("14@" + Login(named) + "@");
  EXPECT_EQ(Last().user, named);
  EXPECT_TRUE(Last().guest);
}

// An AOL browser's address is not kept for its session.
TEST_F(WebTest, AolBrowsersLoseTheirAddress) {
  Handle(kCgiCmdShow);
  Request q;
  q.query = "14@@";
  q.agent = "Mozilla/4.0 (compatible; MSIE 5.0; aol 6.0)";
  Send(q);
  EXPECT_EQ(Last().remote, "");
  EXPECT_EQ(Last().browser, kCgiBrowserMozilla | kCgiBrowserAol);
  q.agent = "Mozilla/5.0";
  Send(q);
  EXPECT_EQ(Last().remote, "127.0.0.1");
}

// ---------------------------------------------------------------------------
// Templates: URL macros, the hooks around a request, filters.

TEST_F(WebTest, MacrosNamedInTheUrl) {
  Create(top_, "forum-category", "L1Cat");
  Response r = Get("myMacro@@/L1Cat");
  EXPECT_TRUE(r.Has(" - Missing template</title>")) << r.body;
  CgiTemplateSeam seam;
  seam.macroPage = [](CgiRequest& rq, const St& name, const ForumFile& folder) {
    if (name.View() != "myMacro") return false;
    BufAddC(rq.page, "<HTML>macro in ");
    BufAddS(rq.page, folder ? ForumFilePath(folder) : StCStrXfm("(none)"));
    return true;
  };
  CgiSetTemplateSeam(seam);
  Response page = Get("myMacro@@/L1Cat");
  EXPECT_EQ(page.body.find("<HTML>macro in /L1Cat"), 0u) << page.body;
  EXPECT_EQ(page.body.substr(page.body.size() - 14), "</BODY></HTML>");
  EXPECT_TRUE(Get("otherMacro@@/L1Cat").Has("Missing template"));
}

TEST_F(WebTest, TemplateHooksAroundTheRequest) {
  Handle(kCgiCmdShow);
  static std::vector<std::string> ran;
  ran.clear();
  CgiTemplateSeam seam;
  seam.runNamed = [](CgiRequest& r, const char* name, St* output) {
    ran.push_back(std::string(name) + ":" + std::to_string(r.command));
    if (std::string(name) == "authenticateFilter" && r.location.View() == "/filtered") {
      *output = StCStrXfm("<HTML>the filter's page");
      return true;
    }
    return false;
  };
  CgiSetTemplateSeam(seam);
  Get("14@@/a");
  EXPECT_EQ(ran, (std::vector<std::string>{"logFilter:0", "authenticateFilter:14", "logFilterReply:14"}));
  Response r = Get("14@@/filtered");
  EXPECT_EQ(r.body, "<HTML>the filter's page");
  EXPECT_EQ(r.lines.at(0), "HTTP/1.1 200 OK");
}

// ---------------------------------------------------------------------------
// Log lines.

TEST_F(WebTest, RequestAndPostLogLines) {
  Handle(kCgiCmdShow);
  ASSERT_TRUE(ForumSysopLogRequest(root_));  // on in a new database
  ForumSysopSetLogPost(root_, true);
  testing::internal::CaptureStderr();
  Post("14@@/a%20b", "username=ann&password=secret");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" CGI POST username=ann&password=\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("secret"), std::string::npos);
  EXPECT_TRUE(Matches(err, " #/#/# #:#:# CGI 14@@/a b t=# httpRemote=127.0.0.1\n")) << err;

  ForumSysopSetLogRequest(root_, false);
  ForumSysopSetLogPost(root_, false);
  ForumSysopSetShowTimes(root_, true);
  CgiTimesSeam times;
  times.httpQueue = [] { return 3; };
  int64_t io = 100;
  times.ioMillis = [&io] { return io += 7; };
  CgiSetTimesSeam(times);
  testing::internal::CaptureStderr();
  Response r = Get("14@@");
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(Matches(err, " t=# Millisecs=# BG=0 (# passes) I/O=7 size=" +
                               std::to_string(r.raw.size()) + " httpQueue=3 CPUu=# CPUs=#\n"))
      << err;
  EXPECT_FALSE(Matches(err, " t=# Millisecs=# BG=0 (# passes) I/O=8"));
  EXPECT_EQ(err.find(" CGI "), std::string::npos);
}

TEST_F(WebTest, AuthenticationLogLines) {
  Handle(kCgiCmdShow);
  ForumSysopSetLogRequest(root_, false);
  ForumSysopSetLogAuthentication(root_, true);
  ChHandle ann = User("Ann", "pw");
  std::string cert = Login(ann, "");  // an AOL browser's session has no address
  std::string id = StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(root_, ann))).Str();
  Request q;
  q.query = "14@" + cert + "@";
  q.agent = "Mozilla/4.0 (compatible; AOL 4.0)";
  q.remote = "10.1.2.3";
  testing::internal::CaptureStderr();
  Send(q);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" Authenticate for AOL browser, IP was: 10.1.2.3\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" Authenticate TakeAction  User=" + id + " registered-user Ann\n"),
            std::string::npos)
      << err;
}

// The URL base is stored when it changes, with the scheme the sysop says.
TEST_F(WebTest, UrlBaseIsStored) {
  Handle(kCgiCmdShow);
  Get("14@@");
  EXPECT_EQ(ForumSysopUrlPreQuery(root_).Str(), "http://localhost:8080/Quil");
  ForumSysopSetSecureServer(root_, true);
  Get("14@@");
  EXPECT_EQ(ForumSysopUrlPreQuery(root_).Str(), "https://localhost:8080/Quil");
}

TEST_F(WebTest, HistoryHoldsTheRequestTexts) {
  Handle(kCgiCmdShow);
  Get("");
  Get("14@@/a%20b");
  StList h = CgiHistoryList();
  ASSERT_GE(h.size(), 2u);
  EXPECT_EQ(h[h.size() - 2].Str(), "14@@");
  EXPECT_EQ(h.back().Str(), "14@@/a b");
  testing::internal::CaptureStderr();
  CgiHistoryDump();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" Request history:\n"), std::string::npos);
  EXPECT_NE(err.find("  History 14@@\n  History 14@@/a b\n"), std::string::npos) << err;
}

// A halt during service leaves the last request texts in the log.
TEST_F(WebTest, AHaltWritesTheHistory) {
  Handle(kCgiCmdShow, [](CgiRequest&) { MaHalt("test halt"); });
  EXPECT_DEATH(Get("14@@/last%20one"), "History 14@@/last one");
}

// ---------------------------------------------------------------------------
// Failures inside a request.

void Raises(CgiRequest&) { ExRaise(2404); }

TEST_F(WebTest, AFailureEndsTheRequestAndPassesOn) {
  Handle(kCgiCmdShow, Raises);
  CgiEvent e;
  e.query = S("14@@");
  e.scriptName = S("/Quil");
  e.method = S("POST");
  EXPECT_FALSE(ExTry([&] { CgiProcess(e); }));
  EXPECT_EQ(ExLastError, 2404);
  EXPECT_FALSE(CgiActive);
  EXPECT_EQ(CgiThreadCount, 0);
  EXPECT_TRUE(StIsPrefixC(e.result, "HTTP/1.1 500 Internal Server Error\r\n"));
  // The next request runs as usual.
  Handle(kCgiCmdShow);
  EXPECT_TRUE(Get("14@@").Has("command 14"));
}

TEST_F(WebTest, ARecursiveCallHalts) {
  Handle(kCgiCmdShow, [](CgiRequest& r) { ForumCgiProcessUrl(*r.event); });
  EXPECT_DEATH(Get("14@@"), "ForumCgiProcessUrl--recursive call");
}

TEST_F(WebTest, InitRefusesASecondProcessor) {
  St message;
  ForumCgiTerm();
  CgiSetProcessor([](CgiEvent&) {});
  EXPECT_FALSE(ForumCgiInit(&message));
  EXPECT_EQ(message.Str(), "could not initialize system CGI interface");
  CgiClearProcessor();
  ASSERT_TRUE(ForumCgiInit(&message));
  struct stat st {};
  EXPECT_EQ(stat("enclosures", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
