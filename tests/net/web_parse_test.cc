// The HTTP request parser, CGI names, the URI table, the top-level
// mapping, the port list, the suffix table and the exact bytes of error
// pages, file headers and common log lines.
#include <gtest/gtest.h>

#include <string>

#include "WebInt.h"

namespace quil {
namespace {

WebPhase Feed(WebRequest& r, Strm& in, std::string_view bytes, const WebLimits& limits = {}) {
  in.WriteView(bytes);
  return WebRequestParse(r, in, limits);
}

// Feeds text one byte at a time; the phase at the end.
WebPhase FeedBytes(WebRequest& r, Strm& in, std::string_view text,
                   const WebLimits& limits = {}) {
  WebPhase p = r.phase;
  for (char c : text) p = Feed(r, in, std::string_view(&c, 1), limits);
  return p;
}

TEST(WebParse, APostArrivingOneByteAtATime) {
  WebRequest r;
  Strm in;
  std::string text =
      "POST /Quil?14@@ HTTP/1.0\r\nHost: example\r\nContent-Length: 5\r\n"
      "User-Agent: tester/1\r\nReferer: http://a/b\r\n\r\nhelloEXTRA";
  // Everything but the last five bytes of the body: not yet complete.
  EXPECT_EQ(FeedBytes(r, in, text.substr(0, text.size() - 9)), WebPhase::kBody);
  EXPECT_EQ(FeedBytes(r, in, text.substr(text.size() - 9)), WebPhase::kComplete);
  EXPECT_EQ(r.kind, kWebKindPost);
  EXPECT_EQ(r.requestLine, "POST /Quil?14@@ HTTP/1.0");
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.uri, "/Quil?14@@");
  EXPECT_EQ(r.contentLength, 5);
  EXPECT_EQ(r.body, "hello");
  EXPECT_EQ(r.userAgent, "tester/1");
  EXPECT_EQ(r.referer, "http://a/b");
  EXPECT_EQ(std::string(in.PeekAll()), "EXTRA");  // left for nobody
}

TEST(WebParse, SimpleGetHasNoHeadersAndOtherMethodsWait) {
  WebRequest simple;
  Strm in;
  EXPECT_EQ(Feed(simple, in, "\r\n\r\nGET /a.html\r\n"), WebPhase::kComplete);
  EXPECT_EQ(simple.kind, kWebKindSimple);
  EXPECT_EQ(simple.uri, "/a.html");
  EXPECT_TRUE(simple.headers.empty());

  WebRequest head;
  Strm in2;
  EXPECT_EQ(Feed(head, in2, "head /pic.gif\n"), WebPhase::kHeaders);
  EXPECT_EQ(head.kind, kWebKindHead);
  EXPECT_EQ(Feed(head, in2, "\n"), WebPhase::kComplete);

  WebRequest other;
  Strm in3;
  EXPECT_EQ(Feed(other, in3, "DELETE /x HTTP/1.1\n\n"), WebPhase::kComplete);
  EXPECT_EQ(other.kind, kWebKindOther);
  EXPECT_EQ(other.body.IsNil(), true);
}

TEST(WebParse, RepeatedAndContinuedHeadersAreJoinedWithCommas) {
  WebRequest r;
  Strm in;
  Feed(r, in,
       "GET / HTTP/1.1\r\nX-A:  1 \r\nUser-Agent: ua\r\n\tpart two\r\nx-a: 2\r\n"
       "  3\r\nno colon here\r\n\r\n");
  ASSERT_EQ(r.phase, WebPhase::kComplete);
  ASSERT_EQ(r.headers.size(), 2u);
  EXPECT_EQ(r.headers[0].name, "X-A");
  EXPECT_EQ(r.headers[0].value, "1,2,3");
  EXPECT_EQ(r.headers[1].value, "ua,part two");
  EXPECT_EQ(WebRequestHeader(r, "x-A"), "1,2,3");
  EXPECT_TRUE(WebRequestHeader(r, "Cookie").IsNil());
}

TEST(WebParse, LimitsGiveTheirStatus) {
  WebLimits small;
  small.maxLine = 100;
  small.maxHeaderBytes = 200;
  small.maxHeaderLines = 5;
  small.maxBody = 10;
  struct Case {
    std::string text;
    int status;
  };
  const Case cases[] = {
      {"GET /" + std::string(200, 'a'), 414},  // no line end yet
      {"GET /" + std::string(200, 'a') + " HTTP/1.0\r\n", 414},
      {"GET / HTTP/1.0\r\nX: " + std::string(300, 'b'), 431},
      {"GET / HTTP/1.0\r\nA: 1\r\nB: 1\r\nC: 1\r\nD: 1\r\nE: 1\r\nF: 1\r\n\r\n", 431},
      {"POST / HTTP/1.0\r\nContent-length: 11\r\n\r\n", 413},
      {"POST / HTTP/1.0\r\nContent-length: ten\r\n\r\n", 400},
      {"POST / HTTP/1.0\r\nContent-length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.0\r\nContent-length: 3\r\ncontent-length: 3\r\n\r\n", 400},
      {"GET\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 411},
  };
  for (const Case& c : cases) {
    WebRequest r;
    Strm in;
    EXPECT_EQ(Feed(r, in, c.text, small), WebPhase::kError) << c.text.substr(0, 60);
    EXPECT_EQ(r.errorStatus, c.status) << c.text.substr(0, 60);
  }
  WebRequest ok;
  Strm in;
  EXPECT_EQ(Feed(ok, in, "POST / HTTP/1.0\r\nContent-length: 10\r\n\r\n0123456789", small),
            WebPhase::kComplete);
}

TEST(WebParse, ChatHandOffTakesTheIdAndTheHFlag) {
  WebRequest r;
  Strm in;
  Feed(r, in, "GET /quil?9999@@123+Hx HTTP/1.0\r\nContent-length: 99\r\n\r\n");
  ASSERT_EQ(r.phase, WebPhase::kComplete);  // no body is read
  EXPECT_TRUE(r.chat);
  EXPECT_EQ(r.kind, kWebKindChat);
  EXPECT_EQ(r.chatId, 123);
  EXPECT_TRUE(r.chatH);
  WebRequest lower;
  Strm in2;
  Feed(lower, in2, "GET /QUIL?9999@@7 HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(lower.chat);
  EXPECT_EQ(lower.chatId, 7);
  EXPECT_FALSE(lower.chatH);
}

TEST(WebParse, HeaderNamesBecomeCgiNames) {
  EXPECT_EQ(WebCgiName(StCStrXfm("User-Agent")), "http_User_Agent");
  EXPECT_EQ(WebCgiName(StCStrXfm("Cookie")), "http_Cookie");
  EXPECT_EQ(WebCgiName(StCStrXfm("Content-Length")), "Content_Length");
  EXPECT_EQ(WebCgiName(StCStrXfm("content-type")), "content_type");
  EXPECT_EQ(WebCgiName(StCStrXfm("X-Forwarded-For")), "http_X_Forwarded_For");
}

TEST(WebUri, TheFirstMatchingPrefixWins) {
  std::vector<WebUriEntry> table = {
      {"/Quil", kWebUriForum, ""},
      {"/quil?9998@@", kWebUriClose, ""},
      {"/chatFP", kWebUriChatPost, ""},
      {"", kWebUriFile, "./"},
  };
  auto type = [&](const char* path, const char* uri) {
    const WebUriEntry* e = WebUriFind(table, StCStrXfm(path), StCStrXfm(uri));
    return e ? e->type : -1;
  };
  EXPECT_EQ(type("/Quil", "/Quil?14@@"), kWebUriForum);
  EXPECT_EQ(type("/Quil/L1Cat", "/Quil/L1Cat"), kWebUriForum);
  EXPECT_EQ(type("/quil", "/quil?9998@@"), kWebUriClose);
  EXPECT_EQ(type("/quil", "/QUIL?9998@@x"), kWebUriClose);
  EXPECT_EQ(type("/Quil", "/Quil?9998@@"), kWebUriForum);
  EXPECT_EQ(type("/chatFP", "/chatFP"), kWebUriChatPost);
  EXPECT_EQ(type("/index.html", "/index.html"), kWebUriFile);
  EXPECT_EQ(type("", ""), kWebUriFile);
}

TEST(WebUri, TopLevelMappingByAddressPortOrForEveryone) {
  uint32_t ip = 0x7F000001;
  EXPECT_TRUE(WebTopLevelMap(StCStrXfm("8081=/x.html"), ip, 8080).IsNil());
  EXPECT_EQ(WebTopLevelMap(StCStrXfm("8081=/x.html, 8080=/y.html"), ip, 8080), "/y.html");
  EXPECT_EQ(WebTopLevelMap(StCStrXfm(":127.0.0.1=/a.html"), ip, 8080), "/a.html");
  EXPECT_EQ(WebTopLevelMap(StCStrXfm("127.0.0.1:8080=Quil?14@@"), ip, 8080), "Quil?14@@");
  // Items without "=" apply to all, unless they are numbers or addresses.
  EXPECT_EQ(WebTopLevelMap(StCStrXfm("9999 10.0.0.1\n/home.html"), ip, 8080), "/home.html");
  EXPECT_TRUE(WebTopLevelMap(StCStrXfm("9999 10.0.0.1:80"), ip, 8080).IsNil());
}

TEST(WebUri, PortItems) {
  auto items = WebPortItems(StCStrXfm("8080, 127.0.0.1:8081\n70000 abc 0 1.2.3:80 65535"));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0], std::make_pair(0u, uint16_t(8080)));
  EXPECT_EQ(items[1], std::make_pair(0x7F000001u, uint16_t(8081)));
  EXPECT_EQ(items[2], std::make_pair(0u, uint16_t(65535)));
  EXPECT_TRUE(WebPortItems(St()).empty());
}

TEST(WebSuffixes, TheTableOf146AndTheSpecialEntries) {
  EXPECT_EQ(WebMimeTableSize(), 146);
  struct Case {
    const char* suffix;
    int type;
    const char* content;
  };
  const Case cases[] = {
      {"tpl", 2, "text/html"},
      {"cgi", 3, "text/html"},
      {"exe", 3, "text/html"},
      {"acgi", 1, "text/html"},
      {"gif", 1, "image/gif"},
      {"jpg", 1, "image/jpeg"},
      {"css", 1, "text/html"},  // not in the table: "*"
      {"js", 1, "application/x-javascript"},
      {"dcr", 1, "application/x-director"},
      {"txt", 1, "text/plain"},
      {"zip", 1, "application/zip"},
      {"xls", 1, "application/x-msexcel"},
      {"xl", 1, "application/excel"},
      {"quicksend", 1, "application/x-quicksend"},
      {"wrz", 1, "x-world/x-vrml"},
      {"ssi", 1, "application/x-SSI"},
      {"pdf", 1, "application/pdf"},
      {"GIF", 1, "text/html"},  // case-sensitive
      {"", 1, "text/html"},
  };
  for (const Case& c : cases) {
    WebSuffix s = WebSuffixLookup(c.suffix);
    EXPECT_EQ(s.type, c.type) << c.suffix;
    EXPECT_STREQ(s.contentType, c.content) << c.suffix;
  }
}

TEST(WebResponses, ErrorPageBytes) {
  St r = WebErrorResponse(StCStrXfm("Rel 1"), 404, "Not Found");
  EXPECT_EQ(r.Str(),
            "HTTP/1.1 404 Not Found\r\nServer:Rel 1\r\nMIME-Version: 1.0\r\n"
            "Cache-Control: private\r\nConnection: close\r\nContent-type: text/html\r\n"
            "Content-length: 89\r\n\r\n<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY>"
            "<H1>404 Not Found</H1></BODY></HTML>");
}

TEST(WebResponses, FileHeaderBytes) {
  St h = WebFileHeader(StCStrXfm("Rel 1"), StCStrXfm("Last-Modified: X\r\n"), "image/gif", 42);
  EXPECT_EQ(h.Str(),
            "HTTP/1.1 200 OK\r\nServer:Rel 1\r\nMIME-Version: 1.0\r\nCache-Control: "
            "private\r\nConnection: close\r\nLast-Modified: X\r\nContent-type: image/gif\r\n"
            "Content-length: 42\r\n\r\n");
}

TEST(WebResponses, CommonLogLineBytes) {
  // 1700000000 is 14 November 2023, 22:13:20 GMT.
  EXPECT_EQ(WebLogLine(0x7F000001, 1700000000, StCStrXfm("GET /a.html HTTP/1.0"), 200, 1234,
                       false, St(), St()),
            "127.0.0.1 - - [14/Nov/2023:22:13:20] \"GET /a.html HTTP/1.0\" 200 1234\n");
  EXPECT_EQ(WebLogLine(0x0A000002, 1700000000, StCStrXfm("GET / HTTP/1.1"), 404, 0, true,
                       StCStrXfm("http://r/"), StCStrXfm("curl/8")),
            "10.0.0.2 - - [14/Nov/2023:22:13:20] \"GET / HTTP/1.1\" 404 0 \"http://r/\" "
            "\"curl/8\"\n");
}

}  // namespace
}  // namespace quil
