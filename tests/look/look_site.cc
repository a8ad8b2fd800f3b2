// look_site DIR: builds the populated conference that the look checks run
// the real server on, through the forum store's own operations, and writes
// DIR/look.json, the list of its places for the checks to visit.
//
// The conference has what the pages must cope with: nested folders (the
// breadcrumbs), a folder of many discussions and a discussion of many
// messages (paging), messages with long unbroken words, a long address and
// markup (narrow screens), a registered user "reader" (password "reader")
// beside the sysop of a new database ("sysop", "sysop").
//
// It also copies each built-in standard page template into DIR/html/std/
// as NAME.tpl, so that the server renders it as a template page: the
// templates' markup, labels and layout are checked in the browser even
// where the handler that shows the page is not there yet.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Ch.h"
#include "Forum.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Template.h"
#include "Ut.h"

namespace {

using quil::St;

St S(const std::string& text) { return quil::StFromView(text); }

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "look_site: %s\n", what.c_str());
  exit(1);
}

void Check(uint16_t rc, const std::string& what) {
  if (rc != 0) Fail(what + " failed with " + std::to_string(rc));
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

quil::ForumFile Folder(const quil::ForumFile& parent, const std::string& name,
                       const std::string& title) {
  Check(quil::ForumCatItemCreate(parent, S("forum-category"), S(name), S(title), 0, true, nullptr),
        "folder " + name);
  return quil::ForumFileHasChild(parent, S(name));
}

// A discussion of messages; returns its name (the store chooses it).
std::string Discussion(const quil::ForumFile& folder, const std::string& title,
                       const std::vector<std::string>& bodies) {
  St made;
  Check(quil::ForumCatItemCreate(folder, S("forum-topic"), St(), S(title), 0, true, &made),
        "discussion " + title);
  quil::ForumFile discussion = quil::ForumFileHasChild(folder, made);
  for (size_t m = 0; m < bodies.size(); ++m) {
    int32_t ix = 0;
    Check(quil::ForumItemCreate(discussion, 0, S("Re: " + title), S("text"), S(bodies[m]),
                                m > 0 ? int32_t(m) - 1 : -1, true, &ix),
          "message of " + title);
  }
  return std::string(made.View());
}

std::string Md5(const std::string& text) {
  quil::MD5Context ctx;
  quil::MD5Init(&ctx);
  quil::MD5Update(&ctx, text.data(), text.size());
  uint8_t digest[quil::kMd5DigestSize];
  quil::MD5Final(digest, &ctx);
  return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Fail("usage: look_site DIR");
  std::filesystem::current_path(argv[1]);
  (void)quil::UtInitRtns(quil::kPkgInit, quil::kPkgVersion);
  quil::StoreRegisterTypes();
  (void)quil::QuInitRtns(quil::kPkgInit, quil::kPkgVersion);
  if (quil::ChInit(quil::kPkgVersion, 16384) != 0) Fail("ChInit");
  (void)quil::ForumInitRtns(quil::kPkgInit, quil::kPkgVersion);
  quil::ForumDbOpenOptions options;
  quil::ForumRoot root = quil::ForumDbOpenI("quil.db", &options);
  if (!root) Fail("cannot create quil.db");

  std::string json = "{\n";
  auto field = [&](const std::string& key, const std::string& value) {
    json += "  " + JsonString(key) + ": " + JsonString(value) + ",\n";
  };
  {
    quil::ForumFile top = quil::ForumTopFolder(root);
    quil::ForumFile general = Folder(top, "General", "General talk");
    std::vector<std::string> bodies;
    for (int m = 0; m < 8; ++m)
      bodies.push_back("Message " + std::to_string(m) + " of the welcome discussion. " +
                       std::string(m % 3 == 0 ? 120 : 20, 'x') + " " +
                       "http://example.com/a/very/long/address/that/does/not/break/at/any/"
                       "slash/on/its/own/and/would/push/the/page/sideways/on/a/phone " +
                       "<b>bold</b> and <i>italic</i> words.");
    std::string welcome = Discussion(general, "Welcome to the conference", bodies);
    field("folder", "/General");
    field("discussion", "/General/" + welcome);
    field("message", "/General/" + welcome + "/3");

    quil::ForumFile projects = Folder(general, "Projects", "Projects and plans");
    quil::ForumFile inner = Folder(projects, "Garden", "The garden project");
    std::string plan = Discussion(inner, "Planting plan", {"Tulips in the autumn.", "Roses too?"});
    field("nested", "/General/Projects/Garden/" + plan);

    quil::ForumFile busy = Folder(top, "Busy", "A folder of many discussions");
    // Three pages of 50 items.
    for (int d = 0; d < 129; ++d)
      (void)Discussion(busy, "Topic number " + std::to_string(d), {"A short message."});
    field("busyFolder", "/Busy");

    std::vector<std::string> many;
    for (int m = 0; m < 120; ++m)
      many.push_back("Reply " + std::to_string(m) + " in a long discussion. " +
                     std::string(200, 'y').replace(0, 0, "Some ordinary words first. "));
    std::string longOne = Discussion(busy, "A very long discussion", many);
    field("longDiscussion", "/Busy/" + longOne);
  }
  quil::ChHandle reader = 0;
  Check(quil::ForumUserCreate(root, quil::kForumUserRegistered, S("reader"),
                              S("reader@example.com"), S(Md5("reader")), &reader),
        "user reader");
  field("user", "reader");
  field("userPassword", "reader");
  field("sysop", quil::kForumSysopUserName);
  json += "  " + JsonString("sysopPassword") + ": " +
          JsonString(quil::kForumSysopDefaultPassword) + "\n}\n";
  quil::ForumDbCloseI(root);
  (void)quil::ForumInitRtns(quil::kPkgTerm, 0);
  quil::ChTerm();
  (void)quil::QuInitRtns(quil::kPkgTerm, 0);
  (void)quil::UtInitRtns(quil::kPkgTerm, 0);
  std::ofstream("look.json") << json;

  // The built-in page templates as template pages.  The login filters are
  // no pages, and are left out.
  std::filesystem::create_directories("html/std");
  for (int type = 1; type <= quil::kTemplatePageTypes; ++type) {
    const char* text = quil::TemplateStandardText(type);
    const char* name = quil::TemplatePageTypeName(type);
    if (!text || !name || type == quil::kTemplateLoginFilter ||
        type == quil::kTemplateLoginFailureFilter)
      continue;
    std::ofstream(std::string("html/std/") + name + ".tpl", std::ios::binary) << text;
  }
  return 0;
}
