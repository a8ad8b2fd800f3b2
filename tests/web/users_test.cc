// The people's actions inside one process, on a real database: the
// login-to-post form of a guest who posts under a registered name and the
// refused guest reply, both carried out after the real login page; the
// filters of log-in, registration and preferences; pictures by unique
// identifier and by message; the e-mail syntax check.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FrmBk.h"
#include "web_test_util.h"

using namespace quil;
using namespace webtest;

namespace {

std::string ReadData(const std::string& name) {
  std::ifstream in(std::string(QUIL_SOURCE_DIR) + "/tests/web/data/" + name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The form's action after "?23@@" (the kept request), "" when none.
std::string LoginAction(const Response& r) {
  size_t at = r.body.find("action=\"?23@@");
  if (at == std::string::npos) return "";
  at += 13;
  return r.body.substr(at, r.body.find('"', at) - at);
}

// A test's command 11 as the posting action does it: a guest who gives the
// name of a registered user gets the login-to-post form; a guest where
// guests may not post is sent to the login form; others post.
void PostHandler(CgiRequest& r) {
  ForumFile d = CgiOpenLocation(r.root, r.location);
  if (!d) return CgiErrorPage(r, "Pathname not found", "not found");
  if (r.user == 0) {
    St name = GetValueFromName(r.form, "name");
    ChHandle named = name.Empty() ? 0 : ForumUserLookup(r.root, name);
    if (named && ForumUserGetType(r.root, named) == kForumUserRegistered)
      return CgiLoginToPost(r);
  }
  if (!ForumAccOpCk(d, r.user, kForumAccPost)) return CgiKeepAndLogin(r);
  int32_t ix = 0;
  ASSERT_EQ(ForumItemCreate(d, r.user, GetValueFromName(r.form, "messageTitle"),
                            StCStrXfm("text/plain"), GetValueFromName(r.form, "newresponse"), -1,
                            true, &ix),
            0);
  BufAddC(r.page, "<HTML>posted ");
  BufAddInt(r.page, ix);
}

class UsersWeb : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    ann_ = User("Ann", "pw");
    disc_ = "/" + Create(top_, "forum-topic", "d", "Talk").Str();
    Handle(11, PostHandler);
  }
  ChHandle ann_ = 0;
  std::string disc_;
};

TEST_F(UsersWeb, AGuestUsingARegisteredNameLogsInToPost) {
  Response form = Post("11@@" + disc_, "name=Ann&newresponse=Mine+really&messageTitle=Hi");
  EXPECT_TRUE(form.Has(" - Log in to post</title>")) << form.body;
  EXPECT_EQ(LoginAction(form), "1000@" + disc_);
  EXPECT_EQ(PostCount(), 1);
  EXPECT_EQ(ForumMessageCount(Path(disc_.c_str())), 0);
  // No guest record was made for the name.
  EXPECT_EQ(ForumGuestCount(root_), 0u);

  // A wrong password keeps the post and the form's action.
  Response wrong = Post("23@@1000@" + disc_, "username=Ann&password=nope");
  EXPECT_TRUE(wrong.Has("The name or password is not correct.")) << wrong.body;
  EXPECT_EQ(LoginAction(wrong), "1000@" + disc_);

  Response done = Post("23@@1000@" + disc_, "username=Ann&password=pw");
  EXPECT_TRUE(done.Has("posted 0")) << done.body;
  ForumFile d = Path(disc_.c_str());
  ASSERT_EQ(ForumMessageCount(d), 1);
  EXPECT_EQ(ForumItemAuthor(d, 0), ann_);
  EXPECT_EQ(ForumItemData(d, 0).Str(), "Mine really");
  EXPECT_EQ(PostCount(), 0);
}

TEST_F(UsersWeb, AGuestReplyWhereGuestsMayNotPostIsPostedAfterTheLogin) {
  ForumAccEnable(top_, kForumAccAllGuests, kForumAccRead);
  ASSERT_FALSE(ForumAccOpCk(Path(disc_.c_str()), 0, kForumAccPost));
  Response form = Post("11@@" + disc_, "newresponse=Hello&messageTitle=Hi");
  EXPECT_TRUE(form.Has(" - Log in</title>")) << form.body;
  EXPECT_EQ(LoginAction(form), "1000@" + disc_);
  EXPECT_EQ(form.Header("Pragma"), "no-cache");
  Response done = Post("23@@" + LoginAction(form), "username=Ann&password=pw");
  EXPECT_TRUE(done.Has("posted 0")) << done.body;
  EXPECT_EQ(ForumItemAuthor(Path(disc_.c_str()), 0), ann_);
  // Replayed once; the second time it is the failed-post page.
  Response again = Post("23@@" + LoginAction(form), "username=Ann&password=pw");
  EXPECT_TRUE(again.Has(" - Post Failed</title>")) << again.body;
  EXPECT_EQ(ForumMessageCount(Path(disc_.c_str())), 1);
}

TEST_F(UsersWeb, FiltersMayAnswerInsteadOfThePage) {
  std::map<std::string, std::string> outputs;
  CgiTemplateSeam seam;
  seam.runNamed = [&outputs](CgiRequest&, const char* name, St* output) {
    auto it = outputs.find(name);
    if (it == outputs.end()) return false;
    *output = S(it->second);
    return true;
  };
  CgiSetTemplateSeam(seam);

  outputs["loginFailureFilter"] = "<HTML>no luck";
  EXPECT_EQ(Post("23@@", "username=Ann&password=nope").body, "<HTML>no luck");
  outputs["loginFilter"] = "HTTP/1.0 302 Found\r\nLocation: /welcome\r\n\r\n";
  Response redirected = Post("23@@", "username=Ann&password=pw");
  EXPECT_EQ(redirected.raw, "HTTP/1.0 302 Found\r\nLocation: /welcome\r\n\r\n");
  // Output that is no page leaves the action alone.
  outputs["loginFilter"] = "logged";
  EXPECT_TRUE(Post("23@@", "username=Ann&password=pw").Has("You are logged in as Ann."));

  outputs["registerProcessFilter"] = "<html>closed today";
  EXPECT_EQ(Post("20@@", "username=Bea&email=bea%40x.org&password=bb").body, "<html>closed today");
  EXPECT_EQ(ForumUserLookup(root_, S("Bea")), 0u);
  outputs.erase("registerProcessFilter");
  outputs["registerFailureFilter"] = "<HTML>try again";
  EXPECT_EQ(Post("20@@", "username=Ann&email=a%40x.org&password=zz").body, "<HTML>try again");

  std::string cert = Login(ann_);
  outputs["preferencesProcessFilter"] = "<HTML>not now";
  EXPECT_EQ(Post("26@" + cert + "@", "bio=changed").body, "<HTML>not now");
  EXPECT_EQ(ForumUserBio(root_, ann_).Str(), "");
}

TEST_F(UsersWeb, RegistrationFollowsTheSiteSettings) {
  ForumSysopSetAllowAutoRegister(root_, false);
  EXPECT_TRUE(Get("18@@").Has("This site does not take new registrations."));
  EXPECT_TRUE(Post("20@@", "username=Bea&email=bea%40x.org&password=bb")
                  .Has("This site does not take new registrations."));
  EXPECT_EQ(ForumUserLookup(root_, S("Bea")), 0u);
  ForumSysopSetAllowAutoRegister(root_, true);

  // The groups the site's registration page offers may be chosen; others
  // (hosts here) and the built-in ones may not.
  ChHandle readers = 0, hosts = 0;
  ASSERT_EQ(ForumGroupCreate(root_, S("readers"), &readers), 0);
  ASSERT_EQ(ForumGroupCreate(root_, S("hosts"), &hosts), 0);
  std::string dir = CgiDocumentDirectory(root_);
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/quil.tpl")
      << "%% macro register %%<h1>Join</h1><form action=\"?20@@\">"
         "<input type=checkbox name=registerGroups value=\"readers\">"
         "<input type=checkbox name=registerGroups value=\"guests\"></form>%% endmacro %%\n";
  ForumSysopSetUseTemplates(root_, true);
  TemplateFileRefresh();
  ASSERT_TRUE(Get("18@@").Has("value=\"readers\"")) << Get("18@@").body;
  Response done = Post("20@@", "username=Bea&email=bea%40x.org&password=bb&registerGroups="
                               "readers%2Cguests%2Chosts%2Cnone");
  EXPECT_TRUE(done.Has("The user has been registered.")) << done.body;
  ChHandle bea = ForumUserLookup(root_, S("Bea"));
  ASSERT_NE(bea, 0u);
  EXPECT_TRUE(ForumGroupHasUser(root_, readers, bea));
  EXPECT_FALSE(ForumGroupHasUser(root_, hosts, bea));
  EXPECT_FALSE(ForumGroupHasUser(root_, ForumGroupGuests(root_), bea));
  std::filesystem::remove(dir + "/quil.tpl");
  TemplateFileRefresh();
  EXPECT_EQ(ForumUserEmail(root_, bea).Str(), "bea@x.org");
  EXPECT_EQ(ForumUserPassword(root_, bea).View(), StHashMd5(S("bb")).View());
}

TEST_F(UsersWeb, GuestsAndGuestRecordsHaveNoPreferences) {
  ChHandle guest = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Gus"), St(), St(), &guest), 0);
  std::string cert = Login(guest);
  Response r = Get("25@" + cert + "@");
  EXPECT_TRUE(r.Has(" - Log in</title>")) << r.body;
  Response posted = Post("26@" + cert + "@", "bio=x");
  EXPECT_TRUE(posted.Has(" - Log in</title>")) << posted.body;
  EXPECT_EQ(ForumUserBio(root_, guest).Str(), "");
}

TEST_F(UsersWeb, PicturesByUniqueIdentifierAndByMessage) {
  std::string gif = ReadData("one.gif");
  ASSERT_FALSE(gif.empty());
  FrmBkUserSetPicture(root_, ann_, LgDbPicture{1, 1, 1, S(gif)});
  char id[16];
  snprintf(id, sizeof id, "%x", unsigned(ForumUserUniqueId(root_, ann_)));
  Response byId = Get(std::string("31@@") + id);
  EXPECT_EQ(byId.Header("Content-type"), "image/gif");
  EXPECT_EQ(byId.body, gif);
  EXPECT_EQ(Get(std::string("31@@.") + id).body, gif);

  ForumFile d = Path(disc_.c_str());
  int32_t ix = 0;
  ASSERT_EQ(ForumItemCreate(d, ann_, S("t"), S("text/plain"), S("b"), -1, true, &ix), 0);
  EXPECT_EQ(Get("43@@" + disc_ + "/0").body, gif);
  std::string dflt = Get("30@@").body;
  EXPECT_NE(dflt, gif);
  EXPECT_EQ(Get("43@@" + disc_ + "/1").body, dflt);   // no such message
  // A guest's message: the guest record's picture.
  ChHandle gus = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserGuest, S("Gus"), St(), St(), &gus), 0);
  std::string jpeg = ReadData("gray.jpg");
  FrmBkUserSetPicture(root_, gus, LgDbPicture{8, 8, 2, S(jpeg)});
  ASSERT_EQ(ForumItemCreate(d, gus, S("t2"), S("text/plain"), S("b2"), 0, true, &ix), 0);
  Response guestPicture = Get("43@@" + disc_ + "/1");
  EXPECT_EQ(guestPicture.Header("Content-type"), "image/jpeg");
  EXPECT_EQ(guestPicture.body, jpeg);
  EXPECT_EQ(Get("43@@" + disc_ + "/2").body, dflt);
  EXPECT_EQ(Get("43@@" + disc_ + "/-1").body, dflt);
  EXPECT_EQ(Get("43@@").body, dflt);
  EXPECT_EQ(Get("31@@").body, dflt);
  // A group's identifier is no user's picture.
  ChHandle group = 0;
  ASSERT_EQ(ForumGroupCreate(root_, S("g"), &group), 0);
  snprintf(id, sizeof id, "%x", unsigned(ForumUserUniqueId(root_, group)));
  EXPECT_EQ(Get(std::string("31@@") + id).body, dflt);
}

TEST_F(UsersWeb, UploadedPicturesKeepTheirDimensions) {
  std::string cert = Login(ann_);
  const std::string boundary = "b0undary";
  auto upload = [&](const std::string& data) {
    std::string body = "--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"useCookies\"\r\n\r\n1\r\n--" +
                       boundary +
                       "\r\nContent-Disposition: form-data; name=\"picture\"; filename=\"p\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n" +
                       data + "\r\n--" + boundary + "--\r\n";
    return Post("26@" + cert + "@", body, "multipart/form-data; boundary=" + boundary);
  };
  EXPECT_TRUE(upload(ReadData("gradient.gif")).Has("Preferences saved"));
  LgDbPicture p;
  ASSERT_TRUE(ForumUserPicture(root_, ann_, &p));
  EXPECT_EQ(p.width, 37);
  EXPECT_EQ(p.height, 21);
  EXPECT_EQ(p.format, 1);
  int32_t rev = ForumUserPictureRev(root_, ann_);
  EXPECT_TRUE(upload(ReadData("progressive.jpg")).Has("Preferences saved"));
  ASSERT_TRUE(ForumUserPicture(root_, ann_, &p));
  EXPECT_EQ(p.format, 2);
  EXPECT_GT(p.width, 0);
  EXPECT_EQ(ForumUserPictureRev(root_, ann_), rev + 1);
  // Too many bytes.
  std::string big = ReadData("gradient.gif");
  big.resize(300 * 1024, '\0');
  EXPECT_TRUE(upload(big).Has("The picture is too large"));
  // A truncated JPEG.
  std::string jpeg = ReadData("plasma.jpg");
  EXPECT_TRUE(upload(jpeg.substr(0, 20)).Has("The picture could not be read."));
}

// Whatever a client sends to these commands is answered with a whole
// response, never a halt: random fields, random bytes, random locations.
TEST_F(UsersWeb, RandomRequestsAreAnswered) {
  unsigned seed = unsigned(time(nullptr));
  std::printf("seed %u\n", seed);
  srand(seed);
  const int commands[] = {15, 18, 20, 23, 25, 26, 27, 30, 31, 43, 44, 45};
  const char* names[] = {"username", "password", "password2", "email", "name", "bio", "urls",
                         "logoutTime", "maxMessages", "folderSortBy", "registerGroups",
                         "useCookies", "clearPicture", "logout", "secondLine", "homePage"};
  std::string cert = Login(ann_);
  auto randomText = [](int max) {
    std::string t;
    int n = rand() % max;
    for (int i = 0; i < n; ++i) t += char(rand() % 256);
    return t;
  };
  auto encode = [](const std::string& t) {
    std::string out;
    char hex[4];
    for (unsigned char c : t) {
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
    return out;
  };
  for (int i = 0; i < 300; ++i) {
    int command = commands[rand() % (sizeof commands / sizeof commands[0])];
    std::string location = rand() % 3 == 0 ? encode(randomText(20))
                           : rand() % 2   ? disc_ + "/" + std::to_string(rand() % 5 - 1)
                                          : std::to_string(1000 + rand() % 3) + "@" + disc_;
    std::string body;
    int fields = rand() % 6;
    for (int f = 0; f < fields; ++f) {
      if (f) body += "&";
      body += names[rand() % (sizeof names / sizeof names[0])];
      body += "=" + encode(randomText(rand() % 4 == 0 ? 5000 : 30));
    }
    if (body.empty()) body = "x=1";
    std::string query = std::to_string(command) + "@" + (rand() % 2 ? cert : "") + "@" + location;
    Response r;
    if (rand() % 4 == 0) {
      std::string part = "--zz\r\nContent-Disposition: form-data; name=\"picture\"; filename=\"p\"\r\n\r\n" +
                         (rand() % 2 ? std::string("GIF89a") : std::string("\xff\xd8\xff")) +
                         randomText(200) + "\r\n--zz--\r\n";
      r = Post(query, part, "multipart/form-data; boundary=zz");
    } else {
      r = Post(query, body);
    }
    ASSERT_EQ(r.raw.substr(0, 15), "HTTP/1.1 200 OK") << "seed " << seed << " query " << query;
  }
}

TEST(CgiEmail, Syntax) {
  for (const char* ok : {"a@b.c", "first.last@example.org", "x+tag@sub.example.co.uk"})
    EXPECT_TRUE(CgiEmailIsValid(S(ok))) << ok;
  for (const char* bad : {"", "@b.c", "a@", "a@b", "a@.b", "a@b.", "a@b..c", "a b@c.d",
                          "a@b@c.d", "<a@b.c>", "a@b.c,d@e.f", "a\"q@b.c"})
    EXPECT_FALSE(CgiEmailIsValid(S(bad))) << bad;
}

}  // namespace
