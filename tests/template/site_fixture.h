// A real database in a scratch directory, with the template package's main
// site bound to it: the document directory is "html" inside the scratch
// directory.  Helpers render a template text as a given user at a path.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "../forum/forum_test_util.h"
#include "Auth.h"
#include "Eval.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Template.h"

namespace tpltest {

using forumtest::S;

class SiteTest : public forumtest::ForumTest {
 protected:
  void SetUp() override {
    forumtest::ForumTest::SetUp();
    if (HasFatalFailure()) return;
    quil::ExprParseInit();
    quil::StandardTemplateInit();
    quil::TemplateSite& site = quil::TemplateMainSite();
    site.root = root_;
    site.docDir = "html";
    site.siteString = S("/quil?");
    site.urlBase = quil::St();
    mkdir("html", 0755);
    quil::ForumTemplateCache(site);
    sysop_ = quil::ForumUserLookup(root_, S("sysop"));
  }

  void TearDown() override {
    quil::TemplateSite& site = quil::TemplateMainSite();
    quil::TemplateFileClose(site);
    quil::TemplateCacheTerm(site);
    site.mailboxes.clear();
    site.root = nullptr;
    quil::TemplateMailHooksClear();
    quil::StandardTemplateTerm();
    forumtest::ForumTest::TearDown();
  }

  // Writes a file of the document directory.
  void WriteDoc(const std::string& name, const std::string& text) {
    std::ofstream("html/" + name, std::ios::binary) << text;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  // Renders text as user (0: a guest) at path ("" : none) with request.
  std::string Render(const std::string& text, quil::ChHandle user = 0,
                     const char* path = "", quil::TemplateRequest* request = nullptr,
                     const quil::St& cert = quil::St()) {
    quil::TemplateRef t = quil::TemplateParse(quil::StFromView(text));
    quil::ForumFile at = *path ? Path(path) : quil::ForumFile();
    return quil::TemplateProcess(t, user, cert, at, request).Str();
  }

  // A registered user with a password.
  quil::ChHandle MakeUser(const char* name, const char* password = "secret",
                          const char* email = nullptr) {
    quil::ChHandle u = 0;
    EXPECT_EQ(quil::ForumUserCreate(root_, quil::kForumUserRegistered, S(name),
                                    email ? S(email) : quil::St(),
                                    quil::StHashMd5(S(password)), &u),
              0)
        << name;
    return u;
  }

  std::string IdOf(quil::ChHandle user) {
    return quil::StHexNoZerosIntXfm(
               uint32_t(quil::ForumUserUniqueId(root_, user)))
        .Str();
  }

  quil::ChHandle sysop_ = 0;
};

}  // namespace tpltest
