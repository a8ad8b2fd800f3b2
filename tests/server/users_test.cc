// The people's pages through the real quil binary on a real database, with
// an HTTP client of its own (one request per connection, as a browser with
// "Connection: close"): registration, log-in with the certificate in the
// page's links and the login cookie set and honoured, the wrong-password
// answer, preferences saved, log-out; a refused post kept over the login
// and carried out after it; pictures uploaded as GIF and JPEG and served
// back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "ForumSet.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "ports.h"
#include "conference.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

std::string ReadData(const std::string& name) {
  std::ifstream in(std::string(QUIL_SOURCE_DIR) + "/tests/web/data/" + name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string UrlEncode(const std::string& text) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += char(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

// A response as received.
// Builds quil.db in dir with the folder Cafe, the user Bob Stone
// (password "bobpw") and cookies on.
void BuildSite(const ScratchDir& dir) {
  auto S = [](const std::string& text) { return quil::StFromView(text); };
  WithConference(dir, [&](quil::ForumRoot root) {
    quil::ForumFile top = quil::ForumTopFolder(root);
    ASSERT_EQ(quil::ForumCatItemCreate(top, S("forum-category"), S("Cafe"), S("The Cafe"), 0,
                                       true, nullptr),
              0);
    quil::ChHandle bob = 0;
    ASSERT_EQ(quil::ForumUserCreate(root, quil::kForumUserRegistered, S("Bob Stone"),
                                    S("bob@example.com"), quil::StHashMd5(S("bobpw")), &bob),
              0);
    quil::ForumSysopSetUseCookies(root, true);
  });
}

class Users : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildSite(dir_);
    if (HasFatalFailure()) return;
    port_ = FreePort();
    std::ofstream(dir_.File("quil.set")) << "webPort=127.0.0.1:" << port_ << "\n";
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
  }
  void TearDown() override {
    if (quil_) Stop(*quil_, dir_);
  }

  // One request on its own connection; the whole response.
  Http Send(const std::string& method, const std::string& query, const std::string& body = "",
            const std::string& type = "", const std::string& cookie = "") {
    Http h;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return h;
    }
    std::string req = method + " /Quil?" + query + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                      std::to_string(port_) +
                      "\r\nUser-Agent: Mozilla/5.0 (quil test)\r\nConnection: close\r\n";
    if (!cookie.empty()) req += "Cookie: " + cookie + "\r\n";
    if (method == "POST") {
      req += "Content-Type: " + (type.empty() ? "application/x-www-form-urlencoded" : type) +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    req += "\r\n" + body;
    size_t sent = 0;
    while (sent < req.size()) {
      ssize_t n = write(fd, req.data() + sent, req.size() - sent);
      if (n <= 0) break;
      sent += size_t(n);
    }
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) h.raw.append(buf, size_t(n));
    close(fd);
    return Http::Split(std::move(h.raw));
  }
  Http Get(const std::string& query, const std::string& cookie = "") {
    return Send("GET", query, "", "", cookie);
  }
  Http Post(const std::string& query, const std::string& body, const std::string& cookie = "") {
    return Send("POST", query, body, "", cookie);
  }
  // A multipart form: the fields, then one file.
  Http PostFile(const std::string& query, const std::vector<std::pair<std::string, std::string>>& fields,
                const std::string& fileField, const std::string& fileName,
                const std::string& fileType, const std::string& data) {
    const std::string boundary = "----quilBoundary7MA4YWxkTrZu0gW";
    std::string body;
    for (const auto& [name, value] : fields)
      body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
              "\"\r\n\r\n" + value + "\r\n";
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + fileField +
            "\"; filename=\"" + fileName + "\"\r\nContent-Type: " + fileType + "\r\n\r\n" + data +
            "\r\n--" + boundary + "--\r\n";
    return Send("POST", query, body, "multipart/form-data; boundary=" + boundary);
  }
  // Logs Bob in: the certificate of the welcome page's links.
  std::string LogIn(const std::string& password = "bobpw") {
    Http h = Post("23@@", "username=Bob+Stone&password=" + password);
    EXPECT_TRUE(h.Has(" - Welcome</title>")) << h.body;
    return h.LinkCert("14");
  }

  ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Quil> quil_;
};

TEST_F(Users, RegistrationLogsTheNewUserIn) {
  Http form = Get("18@@");
  EXPECT_TRUE(form.Has("action=\"?20@@\"")) << form.body;
  EXPECT_TRUE(form.Has("name=\"username\""));

  Http done = Post("20@@", "username=Ann+Lee&email=ann%40example.com&password=annpw");
  EXPECT_TRUE(done.Has(" - Registration Complete</title>")) << done.body;
  EXPECT_TRUE(done.Has("<h3>The user has been registered.</h3>")) << done.body;
  EXPECT_EQ(done.Header("Pragma"), "no-cache");
  // The page's links carry the new session's certificate ("bucket.code^0").
  std::string cert = done.LinkCert("14");
  EXPECT_NE(cert.find('.'), std::string::npos) << cert;
  EXPECT_NE(cert.find('^'), std::string::npos) << cert;
  // The cookie: the stored name and the digest in hexadecimal.
  EXPECT_EQ(done.Header("Set-Cookie"),
            "quilUser=" + Hex("Lee, Ann") + "@" + Hex(quil::StHashMd5(quil::StFromView("annpw")).Str()) +
                "; path=/")
      << done.head;
  // The session works: the preferences page is the new user's.
  Http prefs = Get("25@" + cert + "@");
  EXPECT_TRUE(prefs.Has("Preferences of Ann Lee")) << prefs.body;
}

TEST_F(Users, RegistrationRefusals) {
  Http taken = Post("20@@", "username=Bob+Stone&email=b2%40example.com&password=x1");
  EXPECT_TRUE(taken.Has("That name is taken.")) << taken.body;
  Http noName = Post("20@@", "username=&email=c%40example.com&password=x1");
  EXPECT_TRUE(noName.Has("Please give a name.")) << noName.body;
  Http badEmail = Post("20@@", "username=Cy+Moss&email=nowhere&password=x1");
  EXPECT_TRUE(badEmail.Has("That e-mail address is not valid.")) << badEmail.body;
  Http noPassword = Post("20@@", "username=Cy+Moss&email=cy%40example.com&password=");
  EXPECT_TRUE(noPassword.Has("Please choose a password.")) << noPassword.body;
  Http sameAsName = Post("20@@", "username=Cy&email=cy%40example.com&password=cy");
  EXPECT_TRUE(sameAsName.Has("The password cannot be the same as the user&#39;s name") ||
              sameAsName.Has("The password cannot be the same as the user's name"))
      << sameAsName.body;
  // Nothing was created: Cy Moss may still register.
  Http ok = Post("20@@", "username=Cy+Moss&email=cy%40example.com&password=mosspw");
  EXPECT_TRUE(ok.Has("The user has been registered.")) << ok.body;
}

TEST_F(Users, LoginWithCertificateAndCookie) {
  Http wrong = Post("23@@", "username=Bob+Stone&password=nope");
  EXPECT_TRUE(wrong.Has("The name or password is not correct.")) << wrong.body;
  EXPECT_EQ(wrong.Header("Set-Cookie"), "");
  Http unknown = Post("23@@", "username=Nobody+Here&password=nope");
  EXPECT_TRUE(unknown.Has("The name or password is not correct.")) << unknown.body;

  Http h = Post("23@@", "username=Bob+Stone&password=bobpw");
  EXPECT_TRUE(h.Has(" - Welcome</title>")) << h.body;
  std::string cert = h.LinkCert("14");
  EXPECT_NE(cert.find('.'), std::string::npos) << cert;
  std::string cookie = "quilUser=" + Hex("Stone, Bob") + "@" +
                       Hex(quil::StHashMd5(quil::StFromView("bobpw")).Str());
  EXPECT_EQ(h.Header("Set-Cookie"), cookie + "; path=/") << h.head;

  // The certificate names Bob.
  EXPECT_TRUE(Get("25@" + cert + "@").Has("Preferences of Bob Stone"));
  // So does the cookie, without a certificate; it is not set again.
  Http byCookie = Get("25@@", "theme=dark; " + cookie);
  EXPECT_TRUE(byCookie.Has("Preferences of Bob Stone")) << byCookie.body;
  EXPECT_EQ(byCookie.Header("Set-Cookie"), "");
  // A guest without either gets the login form, the request kept in it.
  Http guest = Get("25@@/Cafe");
  EXPECT_TRUE(guest.Has("action=\"?23@@25@/Cafe\"")) << guest.body;
  // Logging in from there carries the kept request out.
  Http kept = Post("23@@25@/Cafe", "username=Bob+Stone&password=bobpw");
  EXPECT_TRUE(kept.Has("Preferences of Bob Stone")) << kept.body;
}

TEST_F(Users, PreferencesAreSaved) {
  std::string cert = LogIn();
  Http saved = Post("26@" + cert + "@",
                    "name=Bob+Stone&email=bob2%40example.com&secondLine=Baker&homePage="
                    "https%3A%2F%2Fbob.example%2F&bio=I+bake+bread.&maxMessages=25&"
                    "logoutTime=1200&showPictures=1&useCookies=1");
  EXPECT_TRUE(saved.Has(" - Preferences saved</title>")) << saved.body;
  Http form = Get("25@" + cert + "@");
  EXPECT_TRUE(form.Has("value=\"bob2@example.com\"")) << form.body;
  EXPECT_TRUE(form.Has("value=\"Baker\""));
  EXPECT_TRUE(form.Has("value=\"https://bob.example/\""));
  EXPECT_TRUE(form.Has(">I bake bread.</textarea>"));
  EXPECT_TRUE(form.Has("name=\"maxMessages\" type=\"number\" min=\"0\" value=\"25\""));
  EXPECT_TRUE(form.Has("name=\"logoutTime\" type=\"number\" min=\"0\" value=\"1200\""));
  EXPECT_TRUE(form.Has("name=\"showPictures\" value=\"1\" checked"));
  EXPECT_TRUE(form.Has("name=\"threading\" value=\"1\">"));

  // Refusals are stated and change nothing.
  Http bad = Post("26@" + cert + "@", "email=broken&password=a1&password2=a2&useCookies=1");
  EXPECT_TRUE(bad.Has("Invalid e-mail address")) << bad.body;
  EXPECT_TRUE(bad.Has("The two passwords are not the same")) << bad.body;
  EXPECT_TRUE(Get("25@" + cert + "@").Has("value=\"bob2@example.com\""));

  // A new password: the old one no longer logs in, the new one does, and
  // the new cookie goes out with the change.
  Http changed = Post("26@" + cert + "@", "password=newpw&password2=newpw&useCookies=1");
  EXPECT_TRUE(changed.Has("Your password has been changed.")) << changed.body;
  EXPECT_NE(changed.Header("Set-Cookie").find(Hex(quil::StHashMd5(quil::StFromView("newpw")).Str())),
            std::string::npos)
      << changed.head;
  EXPECT_TRUE(Post("23@@", "username=Bob+Stone&password=bobpw").Has("The name or password is not correct."));
  LogIn("newpw");
}

TEST_F(Users, LogOutEndsTheSessionAndTheCookie) {
  std::string cert = LogIn();
  ASSERT_TRUE(Get("25@" + cert + "@").Has("Preferences of Bob Stone"));
  Http out = Get("25@" + cert + "@!logout=1");
  EXPECT_TRUE(out.Has(" - Log in</title>")) << out.body;
  EXPECT_EQ(out.Header("Set-Cookie"), "quilUser=; path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT");
  // The page's links carry a guest certificate now.
  EXPECT_EQ(out.LinkCert("23").find('.'), std::string::npos) << out.body;
  // The old certificate names nobody.
  Http after = Get("25@" + cert + "@");
  EXPECT_TRUE(after.Has("action=\"?23@@25@\"")) << after.body;
}

// A post refused for want of a login (here the preferences form of a
// guest) is kept, and carried out after the login.
TEST_F(Users, ARefusedPostIsCarriedOutAfterTheLogin) {
  Http form = Post("26@@/Cafe", "bio=Kept+over+the+login&useCookies=1");
  EXPECT_TRUE(form.Has(" - Log in</title>")) << form.body;
  size_t at = form.body.find("action=\"?23@@");
  ASSERT_NE(at, std::string::npos) << form.body;
  std::string action = form.body.substr(at + 13, form.body.find('"', at + 13) - at - 13);
  EXPECT_EQ(action.substr(action.find('@')), "@/Cafe");
  EXPECT_GE(std::stoi(action), 1000);  // a saved post's mark

  Http done = Post("23@@" + action, "username=Bob+Stone&password=bobpw");
  EXPECT_TRUE(done.Has(" - Preferences saved</title>")) << done.body;
  std::string cert = done.LinkCert("25");
  EXPECT_TRUE(Get("25@" + cert + "@").Has(">Kept over the login</textarea>"));
  // It is carried out once.
  Http again = Post("23@@" + action, "username=Bob+Stone&password=bobpw");
  EXPECT_TRUE(again.Has(" - Post Failed</title>")) << again.body;
}

TEST_F(Users, PicturesAreUploadedAndServedBack) {
  std::string cert = LogIn();
  // Without a picture, the site's default picture.
  Http none = Get("27@@" + UrlEncode("Bob Stone"));
  EXPECT_EQ(none.Header("Content-type"), "image/gif") << none.head;
  std::string dflt = Get("30@@").body;
  EXPECT_EQ(none.body, dflt);
  EXPECT_EQ(dflt.substr(0, 6), "GIF89a");

  std::string gif = ReadData("gradient.gif");
  ASSERT_FALSE(gif.empty());
  Http up = PostFile("26@" + cert + "@", {{"useCookies", "1"}}, "picture", "g.gif", "image/gif", gif);
  EXPECT_TRUE(up.Has(" - Preferences saved</title>")) << up.body;
  Http back = Get("27@@" + UrlEncode("Bob Stone"));
  EXPECT_EQ(back.Header("Content-type"), "image/gif");
  EXPECT_EQ(back.Header("Content-length"), std::to_string(gif.size()));
  EXPECT_EQ(back.body, gif);
  // A picture is no HTML page: no footer, no certificate.
  EXPECT_EQ(back.body.find("</BODY>"), std::string::npos);

  std::string jpeg = ReadData("plasma.jpg");
  ASSERT_FALSE(jpeg.empty());
  up = PostFile("26@" + cert + "@", {{"useCookies", "1"}}, "picture", "p.jpg", "image/jpeg", jpeg);
  EXPECT_TRUE(up.Has(" - Preferences saved</title>")) << up.body;
  back = Get("27@@" + UrlEncode("Bob Stone"));
  EXPECT_EQ(back.Header("Content-type"), "image/jpeg");
  EXPECT_EQ(back.body, jpeg);

  // Bytes that are no picture are refused, and the picture stays.
  up = PostFile("26@" + cert + "@", {{"useCookies", "1"}}, "picture", "x.gif", "image/gif",
                std::string("GIF89a\x01", 7));
  EXPECT_TRUE(up.Has(" - Picture Not Stored</title>")) << up.body;
  EXPECT_TRUE(up.Has("The picture could not be read.")) << up.body;
  up = PostFile("26@" + cert + "@", {{"useCookies", "1"}}, "picture", "x.txt", "text/plain",
                "plain text");
  EXPECT_TRUE(up.Has("The picture must be a GIF or a JPEG file.")) << up.body;
  EXPECT_EQ(Get("27@@" + UrlEncode("Bob Stone")).body, jpeg);

  // Clearing it brings the default back; unknown names get the default too.
  Post("26@" + cert + "@", "clearPicture=1&useCookies=1");
  EXPECT_EQ(Get("27@@" + UrlEncode("Bob Stone")).body, dflt);
  EXPECT_EQ(Get("27@@" + UrlEncode("No Such User")).body, dflt);
  EXPECT_EQ(Get("31@@zz").body, dflt);
  EXPECT_EQ(Get("43@@/Cafe/nothing/7").body, dflt);
}

}  // namespace

namespace {

// The walk-through in headless Chromium (tests/server/browser_walk.py):
// register, change the preferences, upload a picture and see it, log out,
// a wrong password, log in, the cookie; then create a folder and a
// discussion, post a reply and edit it, and log out; last the sysop of the
// new site logs in, walks the first-start wizard (the factory password
// refused) and reaches the control panel.  Screenshots and the HTML of every
// step are kept under the build tree (artefacts/browser-walk).
TEST_F(Users, BrowserWalkThrough) {
  if (system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "no chromium";
  std::string artefacts = std::string(QUIL_BINARY_DIR) + "/artefacts/browser-walk";
  std::filesystem::remove_all(artefacts);
  std::string command = "/usr/bin/python3 " + std::string(QUIL_SOURCE_DIR) +
                        "/tests/server/browser_walk.py http://127.0.0.1:" + std::to_string(port_) +
                        "/Quil " + artefacts + " " + std::string(QUIL_SOURCE_DIR) +
                        "/tests/web/data/gradient.gif 2>&1";
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_TRUE(std::filesystem::exists(artefacts + "/01-registration-form.png")) << out;
  std::cout << out;
}

}  // namespace
