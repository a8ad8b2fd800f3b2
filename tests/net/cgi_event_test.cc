#include "CgiEvent.h"

#include <gtest/gtest.h>

namespace quil {
namespace {

TEST(CgiEvent, ResetClearsEveryFieldButTheFrontEnd) {
  CgiEvent e;
  e.frontEnd = CgiFrontEnd::kBridge;
  e.query = StCStrXfm("14@@");
  e.cgiPairs.push_back({StCStrXfm("http_Host"), StCStrXfm("x")});
  CgiEventReset(e);
  EXPECT_TRUE(e.query.IsNil());
  EXPECT_TRUE(e.cgiPairs.empty());
  EXPECT_EQ(e.frontEnd, CgiFrontEnd::kBridge);
}

TEST(CgiEvent, PairLookUpIgnoresCase) {
  CgiEvent e;
  e.cgiPairs.push_back({StCStrXfm("http_User_Agent"), StCStrXfm("curl/8")});
  EXPECT_EQ(CgiEventPair(e, "HTTP_USER_AGENT").Str(), "curl/8");
  EXPECT_TRUE(CgiEventPair(e, "http_Cookie").IsNil());
}

// Without a processor every request still gets a complete answer; with one,
// it is the processor's.
TEST(CgiEvent, ProcessWithAndWithoutAProcessor) {
  CgiEvent e;
  CgiProcess(e);
  EXPECT_TRUE(StIsPrefixC(e.result, "HTTP/1.1 503 Service Unavailable\r\n"));
  CgiSetProcessor([](CgiEvent& ev) { ev.result = StCStrXfm("page"); });
  CgiProcess(e);
  EXPECT_EQ(e.result.Str(), "page");
  EXPECT_DEATH(CgiSetProcessor([](CgiEvent&) {}),
               "CgiSetProcessor--processor already set");
  CgiClearProcessor();
  EXPECT_FALSE(CgiHasProcessor());
}

}  // namespace
}  // namespace quil
