// The static files of the built-in pages as a browser receives them from
// the real quil: the stylesheet as text/css and the pictures as pictures
// (a browser ignores a stylesheet of another type), while every other file
// keeps the content type of the suffix table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "conference.h"
#include "ports.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

std::string Curl(uint16_t port, const std::string& path) {
  std::string out;
  FILE* p = popen(("curl -s -i 'http://127.0.0.1:" + std::to_string(port) + path + "'").c_str(),
                  "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string ContentType(const std::string& response) {
  size_t at = response.find("\r\nContent-type: ");
  if (at == std::string::npos) return "(none)";
  at += 16;
  return response.substr(at, response.find("\r\n", at) - at);
}

class StaticTypes : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildConference(dir_, 1, 1, 1);
    if (HasFatalFailure()) return;
    port_ = FreePort();
    std::ofstream(dir_.File("quil.set")) << "webPort=127.0.0.1:" << port_ << "\n";
    std::filesystem::create_directories(dir_.File("html/Images"));
    std::ofstream(dir_.File("html/mine.css")) << "p { color: red }\n";
    std::ofstream(dir_.File("html/Images/mine.svg")) << "<svg/>\n";
    quil_ = std::make_unique<Quil>(dir_.path(), std::vector<std::string>{"-server"});
    ASSERT_TRUE(WaitForPort(port_));
  }
  void TearDown() override {
    if (quil_) Stop(*quil_, dir_);
  }

  ScratchDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Quil> quil_;
};

TEST_F(StaticTypes, TheBuiltInPagesFilesCarryTheirOwnTypes) {
  EXPECT_EQ(ContentType(Curl(port_, "/quil.css")), "text/css");
  EXPECT_EQ(ContentType(Curl(port_, "/Images/folder.svg")), "image/svg+xml");
  EXPECT_EQ(ContentType(Curl(port_, "/Images/quil-icon.svg")), "image/svg+xml");
  // Browsers ask for the icon of pages that name none.
  std::string ico = Curl(port_, "/favicon.ico");
  EXPECT_EQ(ContentType(ico), "image/x-icon");
  EXPECT_NE(ico.find(std::string("\r\n\r\n\0\0\1\0", 8)), std::string::npos);
  std::string gif = Curl(port_, "/Images/powerby.gif");
  EXPECT_EQ(ContentType(gif), "image/gif");
  EXPECT_NE(gif.find("\r\n\r\nGIF89a"), std::string::npos);
  // A file of the site's own, not one of the built-in pages', keeps the
  // suffix table's answer.
  EXPECT_EQ(ContentType(Curl(port_, "/mine.css")), "text/html");
  EXPECT_EQ(ContentType(Curl(port_, "/Images/mine.svg")), "text/html");
}

TEST_F(StaticTypes, TheFactoryFooterShowsAPictureThatExists) {
  std::string page = Curl(port_, "/Quil?999@@");
  size_t img = page.find("<img src=\"/Images/powerby.gif\"");
  ASSERT_NE(img, std::string::npos) << page;
  EXPECT_NE(page.find("alt=\"Powered by Quillmoot\"", img), std::string::npos);
  EXPECT_NE(Curl(port_, "/Images/powerby.gif").find("HTTP/1.1 200 OK\r\n"), std::string::npos);
}

}  // namespace
