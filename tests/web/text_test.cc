// The request text, command numbers, the command sets and names, the
// history ring, browser flags and the certificate in links.
#include <gtest/gtest.h>

#include "Cgi.h"
#include "CgiInt.h"

using namespace quil;

namespace {

St S(std::string_view s) { return StFromView(s); }

std::string Split(std::string_view text) {
  CgiRequestParts p;
  CgiSplitRequestText(S(text), &p);
  return p.commandText.Str() + "|" + p.cert.Str() + "|" + p.location.Str() +
         (p.locationOnly ? "|alone" : "");
}

TEST(CgiRequestText, SplitsAtTheFirstTwoAtSigns) {
  EXPECT_EQ(Split("14@@/L1Cat/L2Cat"), "14||/L1Cat/L2Cat");
  EXPECT_EQ(Split("14@3.abcdefghijk^2@/a"), "14|3.abcdefghijk^2|/a");
  // The location keeps further "@": a kept request.
  EXPECT_EQ(Split("23@^4@1000@/a/b"), "23|^4|1000@/a/b");
  EXPECT_EQ(Split("14@cert"), "14|cert|");
  EXPECT_EQ(Split("@@"), "||");
  EXPECT_EQ(Split("L1Cat/L2Cat"), "14||L1Cat/L2Cat|alone");
  EXPECT_EQ(Split(""), "14|||alone");
}

int Number(std::string text, bool* login = nullptr, std::string* rest = nullptr) {
  St t = S(text);
  bool needs = false;
  int n = CgiCommandNumber(&t, &needs);
  if (login) *login = needs;
  if (rest) *rest = t.Str();
  return n;
}

TEST(CgiRequestText, CommandNumbers) {
  EXPECT_EQ(Number("14"), 14);
  EXPECT_EQ(Number("1"), 1);
  EXPECT_EQ(Number("300"), 300);
  EXPECT_EQ(Number("0300"), 300);
  for (const char* bad : {"999", "301", "0", "", "-5", "+5", "1.5", "12x", "99999999999999999999", " 14"})
    EXPECT_EQ(Number(bad), kCgiCmdBadUrl) << bad;
  std::string rest;
  EXPECT_EQ(Number("myMacro", nullptr, &rest), kCgiCmdMacro);
  EXPECT_EQ(rest, "myMacro");
  EXPECT_EQ(Number("_x"), kCgiCmdMacro);
  // The "L" suffix: a login is needed and the number stays.
  bool login = false;
  EXPECT_EQ(Number("14L", &login, &rest), 14);
  EXPECT_TRUE(login);
  EXPECT_EQ(rest, "14");
  EXPECT_EQ(Number("9L", &login), 9);
  EXPECT_TRUE(login);
  EXPECT_EQ(Number("L", &login), kCgiCmdMacro);  // one character: a name
  EXPECT_FALSE(login);
  EXPECT_EQ(Number("macroL", &login), kCgiCmdMacro);  // a name keeps its L
  EXPECT_FALSE(login);
  EXPECT_EQ(Number("999L", &login), kCgiCmdBadUrl);
}

TEST(CgiRequestText, KeptRequestsAndLocations) {
  St command, rest;
  ASSERT_TRUE(CgiKeptRequest(S("1003@/a/b"), &command, &rest));
  EXPECT_EQ(command.Str(), "1003");
  EXPECT_EQ(rest.Str(), "/a/b");
  ASSERT_TRUE(CgiKeptRequest(S("myMacro@"), &command, &rest));
  EXPECT_EQ(command.Str(), "myMacro");
  EXPECT_EQ(rest.Str(), "");
  for (const char* no : {"/a@b", "@/a", "/a/b", "", ".1f@x", "1 2@x"})
    EXPECT_FALSE(CgiKeptRequest(S(no), &command, &rest)) << no;

  EXPECT_EQ(CgiLocationQuote(S("/My Folder/a b?")).Str(), "/My%20Folder/a%20b%3F");
  EXPECT_EQ(CgiLocationQuote(S(".1f/x")).Str(), ".1f/x");
  EXPECT_EQ(RestorePathDelimiter(S("%2Fa%2fb%2")).Str(), "/a/b%2");
}

TEST(CgiCommands, SetsHoldTheirMembers) {
  CgiSeInit();
  struct {
    const Se* set;
    std::vector<int> in, out;
  } cases[] = {
      {&CgiPostSe, {4, 10, 11, 12, 20, 26, 125, 218, 256}, {1, 3, 14, 15, 23, 44, 255}},
      {&CgiSysopSe, {33, 46, 59, 63, 68, 85, 96, 99, 114, 129, 180, 200, 219, 226, 234, 245, 247},
       {1, 14, 23, 64, 86, 95, 97, 115, 179, 220, 233, 248}},
      {&CgiNoLoginSe, {1, 11, 13, 15, 17, 23, 95, 126, 128, 135, 139, 196, 199, 223, 225, 233, 241, 244, 249},
       {12, 16, 19, 21, 25, 28, 44, 59, 140, 250}},
      {&CgiNoOnceSe, {13, 15, 17, 18, 20, 23, 94, 95, 199, 224, 225}, {1, 14, 28, 44, 223}},
      {&CgiNoCertSe, {15, 17, 18, 20, 23, 27, 31, 43, 94, 95}, {14, 30, 44}},
      {&CgiStartupSe, {78, 80, 85}, {77, 86}},
  };
  for (auto& c : cases) {
    for (int m : c.in) EXPECT_TRUE(CgiSeHas(*c.set, m)) << m;
    for (int m : c.out) EXPECT_FALSE(CgiSeHas(*c.set, m)) << m;
  }
  EXPECT_EQ(SeNMembers(CgiPostSe), 49);
  EXPECT_EQ(SeNMembers(CgiNoCertSe), 10);
  EXPECT_EQ(SeNMembers(CgiStartupSe), 8);
  EXPECT_FALSE(CgiSeHas(CgiPostSe, 0));
  EXPECT_FALSE(CgiSeHas(CgiPostSe, 301));
  CgiSeTerm();
  EXPECT_FALSE(CgiSeHas(CgiPostSe, 4));  // no sets: nothing is a member
}

TEST(CgiCommands, Names) {
  EXPECT_STREQ(CgiCommandName(1), "Show");
  EXPECT_STREQ(CgiCommandName(4), "ProcessAddFolder");
  EXPECT_STREQ(CgiCommandName(15), "ShowLogin");
  EXPECT_STREQ(CgiCommandName(17), "LoginFailure");
  EXPECT_STREQ(CgiCommandName(23), "ProcessLogin");
  EXPECT_STREQ(CgiCommandName(28), "BadUrl");
  EXPECT_STREQ(CgiCommandName(44), "LoginAndPost");
  EXPECT_STREQ(CgiCommandName(64), "ProcessExport command");
  EXPECT_STREQ(CgiCommandName(91), "SetLogAndHalt");
  EXPECT_STREQ(CgiCommandName(99), "ResetCache");
  EXPECT_STREQ(CgiCommandName(203), "ShowsSearchIndex");
  EXPECT_STREQ(CgiCommandName(233), "Download");
  for (int none : {0, 16, 19, 21, 48, 97, 141, 185, 199, 234, 256, 300, 1000})
    EXPECT_EQ(CgiCommandName(none), nullptr) << none;
  int named = 0;
  for (int c = 1; c <= kCgiMaxCommand; ++c) named += CgiCommandName(c) != nullptr;
  EXPECT_EQ(named, 156);
}

TEST(CgiHistory, KeepsTheLastTwentyOldestFirst) {
  for (int i = 0; i < 25; ++i) CgiHistoryAdd(S(std::to_string(i) + "@@"));
  StList list = CgiHistoryList();
  ASSERT_EQ(list.size(), 20u);
  EXPECT_EQ(list.front().Str(), "5@@");
  EXPECT_EQ(list.back().Str(), "24@@");
  CgiHistoryAdd(S(std::string(5000, 'x')));
  EXPECT_EQ(CgiHistoryList().back().Length(), kCgiHistoryTextMax);
}

TEST(CgiBrowser, FlagsIgnoreCase) {
  EXPECT_EQ(CgiBrowserFlags(S("Mozilla/4.0 (compatible; MSIE 3.02; AOL 4.0; Windows 98)")),
            kCgiBrowserMozilla | kCgiBrowserAol | kCgiBrowserMsie3);
  EXPECT_EQ(CgiBrowserFlags(S("mozilla/5.0 aol")), kCgiBrowserMozilla | kCgiBrowserAol);
  EXPECT_EQ(CgiBrowserFlags(S("Lynx/2.8 msie 3")), kCgiBrowserMsie3);
  EXPECT_EQ(CgiBrowserFlags(S("Mozilla")), 0u);
  EXPECT_EQ(CgiBrowserFlags(St()), 0u);
}

TEST(CgiSelfRef, CertificateGoesIntoLinksToThisScript) {
  CgiSeInit();
  St cert = S("7.abcdefghijk^3");
  auto ref = [&](std::string_view page, std::string_view alt = {}) {
    return HtmlSelfRef(S(page), cert, S("/Quil"), S(alt)).Str();
  };
  EXPECT_EQ(ref("<a href=\"/Quil?14@@/a\">"), "<a href=\"/Quil?14@7.abcdefghijk^3@/a\">");
  EXPECT_EQ(ref("<a href=\"http://h:8080/quil?9@@\">"), "<a href=\"http://h:8080/quil?9@7.abcdefghijk^3@\">");
  EXPECT_EQ(ref("<a href=\"?300@@x\"><a href=?1@@>"),
            "<a href=\"?300@7.abcdefghijk^3@x\"><a href=?1@7.abcdefghijk^3@>");
  // Left alone: no-certificate commands, other numbers, links that carry a
  // certificate, other scripts, text that is no link.
  for (const char* same :
       {"<a href=\"/Quil?15@@/a\">", "<a href=\"/Quil?23@@\">", "<a href=\"/Quil?301@@\">",
        "<a href=\"/Quil?0@@\">", "<a href=\"/Quil?1000@@\">", "<a href=\"/Quil?14@^2@/a\">",
        "<a href=\"/MyQuil?14@@\">", "<a href=\"/other?14@@\">", "what?14@@", "/Quil?14@",
        "/Quil?", "?", "/Quil?14@x@"})
    EXPECT_EQ(ref(same), same) << same;
  EXPECT_EQ(ref("<a href=\"/cgi/alt?14@@\">", "/cgi/alt"), "<a href=\"/cgi/alt?14@7.abcdefghijk^3@\">");
  // Every link of a page, and nothing without a certificate.
  EXPECT_EQ(ref("/Quil?1@@a /Quil?2@@b"), "/Quil?1@7.abcdefghijk^3@a /Quil?2@7.abcdefghijk^3@b");
  EXPECT_EQ(HtmlSelfRef(S("/Quil?1@@a"), S(""), S("/Quil")).Str(), "/Quil?1@@a");
  CgiSeTerm();
}

}  // namespace
