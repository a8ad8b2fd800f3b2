// Helpers of the request-processing tests: a new database in a scratch
// directory with request processing started on it, requests sent through
// the front ends' entry (CgiProcess) and their responses taken apart, and
// handlers that tests install in the action table for the commands whose
// pages are built elsewhere.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Auth.h"
#include "Cgi.h"
#include "CgiInt.h"
#include "Ex.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "../forum/forum_test_util.h"

namespace webtest {

using quil::St;

inline St S(std::string_view s) { return quil::StFromView(s); }

// A response taken apart at its empty line.
struct Response {
  std::string raw;
  std::string head;  // up to and including the empty line
  std::string body;
  std::vector<std::string> lines;  // the header lines without CR LF
  // The value of a header line (the first with that name), "" when none.
  std::string Header(const std::string& name) const {
    for (const std::string& l : lines)
      if (l.size() > name.size() && l.compare(0, name.size(), name) == 0 && l[name.size()] == ':')
        return l.substr(name.size() + 2);
    return "";
  }
  bool Has(const std::string& text) const { return body.find(text) != std::string::npos; }
};

inline Response Split(const St& result) {
  Response r;
  r.raw = result.Str();
  size_t end = r.raw.find("\r\n\r\n");
  if (end == std::string::npos) {
    r.body = r.raw;
    return r;
  }
  r.head = r.raw.substr(0, end + 4);
  r.body = r.raw.substr(end + 4);
  size_t pos = 0;
  while (pos < end) {
    size_t nl = r.raw.find("\r\n", pos);
    r.lines.push_back(r.raw.substr(pos, nl - pos));
    pos = nl + 2;
  }
  return r;
}

// One request as a front end hands it over.
struct Request {
  std::string query;
  std::string body;
  std::string contentType;
  std::string cookie;
  std::string agent = "Mozilla/5.0 (X11; Linux x86_64)";
  std::string remote = "127.0.0.1";
  std::vector<std::pair<std::string, std::string>> pairs;
  quil::CgiFrontEnd front = quil::CgiFrontEnd::kHttp;
};

// What the recording handler saw of the last request it served.
struct Seen {
  int calls = 0;
  int command = -1;
  std::string commandText, cert, location, requestText;
  quil::ChHandle user = 0;
  bool guest = false;
  std::map<std::string, std::string> form;  // value "(none)" for none
  std::vector<std::string> order;           // field names in form order
  quil::CgiUploadList uploads;
  uint32_t browser = 0;
  std::string remote;
  std::string opened;  // the path the location opens as, "(not found)"
};
inline Seen& Last() {
  static Seen seen;
  return seen;
}

// A handler that records the request and writes a small page naming the
// command, with a link for certificate insertion.
inline void RecordingHandler(quil::CgiRequest& r) {
  Seen& s = Last();
  ++s.calls;
  s.command = r.command;
  s.commandText = r.commandText.Str();
  s.cert = r.cert.Str();
  s.location = r.location.Str();
  s.requestText = r.requestText.Str();
  s.user = r.user;
  s.guest = r.guest;
  s.form.clear();
  s.order.clear();
  for (const quil::CgiPair& p : r.form) {
    s.form[p.name.Str()] = p.value.IsNil() ? "(none)" : p.value.Str();
    s.order.push_back(p.name.Str());
  }
  s.uploads = r.uploads;
  s.browser = r.browser;
  s.remote = r.remote.Str();
  quil::ForumFile item = quil::CgiOpenLocation(r.root, r.location);
  s.opened = item ? quil::ForumFilePath(item).Str() : "(not found)";
  quil::BufAddC(r.page, "<HTML><BODY>command ");
  quil::BufAddInt(r.page, r.command);
  quil::BufAddC(r.page, " at [");
  quil::BufAddSt(r.page, r.location);
  quil::BufAddC(r.page, "] <a href=\"/Quil?14@@/x\">x</a>");
}

// Each test has a new database, request processing started on it, and the
// action table and template seam restored afterwards.
class WebTest : public forumtest::ForumTest {
 protected:
  void SetUp() override {
    forumtest::ForumTest::SetUp();
    quil::wfForumRoot = root_;
    (void)quil::CgiInitRtns(quil::kPkgDebug, 1);
    St message;
    ASSERT_TRUE(quil::ForumCgiInit(&message)) << message.Str();
    Last() = Seen();
  }

  void TearDown() override {
    for (auto& [command, action] : saved_) (void)quil::CgiActionSet(command, action.handler, action.flags);
    saved_.clear();
    quil::CgiSetTemplateSeam(quil::CgiTemplateSeam());
    quil::CgiSetTimesSeam(quil::CgiTimesSeam());
    quil::ForumCgiTerm();
    quil::wfForumRoot = nullptr;
    forumtest::ForumTest::TearDown();
  }

  // Installs handler for command for this test.
  void Handle(int command, quil::CgiActionFn handler = RecordingHandler, uint32_t flags = 0) {
    quil::CgiAction old = quil::CgiActionSet(command, handler, flags);
    saved_.emplace(command, old);
  }

  Response Send(const Request& q) {
    quil::CgiEvent e;
    e.frontEnd = q.front;
    e.query = S(q.query);
    e.serverName = S("localhost:8080");
    e.scriptName = S("/Quil");
    e.method = S("POST");
    if (!q.body.empty()) e.body = S(q.body);
    if (!q.contentType.empty()) e.contentType = S(q.contentType);
    if (!q.cookie.empty()) e.cookie = S(q.cookie);
    e.userAgent = S(q.agent);
    e.remoteAddr = S(q.remote);
    for (const auto& [n, v] : q.pairs) e.cgiPairs.push_back({S(n), S(v)});
    e.cgiPairs.push_back({S("request_method"), S("POST")});
    quil::CgiProcess(e);
    return Split(e.result);
  }
  Response Get(const std::string& query) {
    Request q;
    q.query = query;
    return Send(q);
  }
  Response Post(const std::string& query, const std::string& body,
                const std::string& type = "application/x-www-form-urlencoded") {
    Request q;
    q.query = query;
    q.body = body;
    q.contentType = type;
    return Send(q);
  }

  // A registered user with a password; returns the record.
  quil::ChHandle User(const char* name, const char* password) {
    quil::ChHandle user = 0;
    EXPECT_EQ(quil::ForumUserCreate(root_, quil::kForumUserRegistered, S(name), S("a@b.c"),
                                    quil::StHashMd5(S(password)), &user),
              0);
    return user;
  }
  // A live session for user: its certificate.
  std::string Login(quil::ChHandle user, const char* remote = "127.0.0.1") {
    St cert;
    quil::AuthInstallUser(user, S(remote), &cert, false, S(" test"));
    return cert.Str();
  }
  quil::ChHandle Sysop() { return quil::ForumUserLookup(root_, S("sysop")); }

  std::map<int, quil::CgiAction> saved_;
};

// Replaces the date of a response header by "<date>" after checking its
// form ("Sun, 06 Dec 2026 20:51:07 GMT").
inline std::string MaskDate(std::string head) {
  size_t at = head.find("Date: ");
  if (at == std::string::npos) return head;
  size_t end = head.find("\r\n", at);
  std::string date = head.substr(at + 6, end - at - 6);
  EXPECT_EQ(date.size(), 29u) << date;
  EXPECT_EQ(date.substr(date.size() - 4), " GMT") << date;
  head.replace(at + 6, end - at - 6, "<date>");
  return head;
}

}  // namespace webtest
