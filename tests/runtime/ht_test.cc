// The host package: error and event reports with their formats and
// destinations, the descriptor table and its waits, the quit request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "Ex.h"
#include "Ht.h"
#include "Ma.h"
#include "child.h"

using namespace quil;
using quiltest::RunInChild;

namespace {

std::string Untimed(const std::string& text) {
  static const std::regex kTime("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                                "[0-9:]{8} [0-9]{4}");
  return std::regex_replace(text, kTime, "<time>");
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs fn in a child whose working directory is a fresh scratch directory.
quiltest::ChildResult InScratch(const std::function<void()>& fn) {
  return RunInChild([&] {
    auto dir = std::filesystem::temp_directory_path() /
               ("quil-ht-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (chdir(dir.c_str()) != 0) _exit(10);
    fn();
    std::filesystem::remove_all(dir);
  });
}

void Say(const std::string& s) { (void)!write(1, s.data(), s.size()); }

TEST(WfErrWrite, ShortTextsGetTheTimeAndANewline) {
  auto r = InScratch([] {
    WfConfigure().clientLog = true;
    WfConfigure().running = true;
    Wf_err_write("first");
    Wf_err_write("second\n");
    Wf_err_write(std::string(969, 'a').c_str());
    Wf_err_write(std::string(970, 'b').c_str());  // as it is
    Say("FILE:" + ReadFile("Client.log"));
  });
  std::string out = Untimed(r.out);
  size_t file = out.find("FILE:");
  ASSERT_NE(file, std::string::npos);
  EXPECT_EQ(out.substr(file + 5), "<time> first\n<time> second\n<time> " +
                                      std::string(969, 'a') + "\n" +
                                      std::string(970, 'b'));
  // During the run phase, without -log or daemon mode, standard error gets
  // each text too.
  EXPECT_EQ(out.substr(0, 51),
            "\nError reported by the server:\n<time> first\n\n\nError");
}

TEST(WfErrWrite, DaemonModeWritesQuilLogWithTheBridgeRequest) {
  auto r = InScratch([] {
    WfConfigure().daemon = true;
    WfConfigure().running = true;
    static WfRequestNote note;
    WfConfigure().requestNote = [](WfRequestNote* n) {
      *n = note;
      return true;
    };
    note = {"example.org", "/quil?14@@", "a=1", "data"};
    Wf_err_write("with note");
    note = {"h", "/q", "", ""};  // path and post under 7 characters
    Wf_err_write("short request");
    note = {"h", std::string(900, 'p'), std::string(61, 'd'), ""};
    Wf_err_write("long request");  // 961 characters
    note = {"h", "/quil?1", "", ""};
    Wf_err_write("no post");
    Say(ReadFile("quil.log"));
  });
  EXPECT_EQ(Untimed(r.out),
            "<time> with note\n Host: example.org Path: /quil?14@@ Post: a=1 "
            "Data: data\n<time> short request\n<time> long request\n<time> no "
            "post\n Host: h Path: /quil?1\n");
}

TEST(WfErrExit, WithAHandlerTheTextWaitsForIt) {
  auto r = RunInChild([] {
    WfConfigure().programName = "quil";
    WfConfigure().running = true;
    bool normal = ExTry([] {
      WfHandlerScope handler;
      Wf_err_exit(590, ENOENT, "could not open \"%s\"", "x");
    });
    Say(std::string(normal ? "normal" : "raised") + " " +
        std::to_string(ExLastError) + " depth " +
        std::to_string(Wf.reportDepth) + " handler " +
        std::to_string(Wf.handlerInstalled) + " errno " +
        std::to_string(Wf.lastSystemError) + "\n" + Wf.errorText);
    Wf_err_done();
    normal = ExTry([] {
      WfHandlerScope handler;
      Wf_err_exit(600, -1, "client went away");
    });
    bool quiet = Wf.quiet;
    bool written = Wf_err_absorb();
    Say("quiet " + std::to_string(quiet) + " written " +
        std::to_string(written) + " depth " + std::to_string(Wf.reportDepth) +
        "\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "raised 2400 depth 1 handler 0 errno 2\n"
            "quil error: could not open \"x\" [No such file or directory]\n"
            "quiet 1 written 0 depth 0\n");
}

TEST(WfErrExit, AnErrorWhileReportingAbortsAtOnce) {
  auto r = RunInChild([] {
    WfConfigure().programName = "prog";
    WfConfigure().running = true;
    WfSetTermFn([] { Say("term\n"); });
    ExTry([] {
      WfHandlerScope handler;
      Wf_err_exit(590, -1, "first");
    });
    // The first report was never ended with Wf_err_done.
    Wf_err_exit(599, 4, "second");
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out,
            "quil-go error 599 system error 4 while reporting error:\n"
            "prog error: first\nterm\n");
}

class HtPollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool ready = (HtInitRtns(kPkgInit, kPkgVersion), true);
    (void)ready;
    ASSERT_EQ(pipe2(a_, O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(b_, O_NONBLOCK), 0);
  }
  void TearDown() override {
    for (int fd : {a_[0], a_[1], b_[0], b_[1]}) {
      HtFdUnwatch(fd);
      close(fd);
    }
  }
  int a_[2], b_[2];
};

TEST_F(HtPollTest, AHandlerThatUnwatchesAnotherStopsItsCall) {
  std::string calls;
  HtFdWatch(a_[0], kHtRead, [&](int, unsigned) {
    calls += "a";
    HtFdUnwatch(b_[0]);
  });
  HtFdWatch(b_[0], kHtRead, [&](int, unsigned) { calls += "b"; });
  ASSERT_EQ(write(a_[1], "x", 1), 1);
  ASSERT_EQ(write(b_[1], "x", 1), 1);
  HtPollPass pass;
  EXPECT_EQ(pass.Wait(1000), 2);
  pass.Dispatch();
  EXPECT_EQ(calls, "a");
  EXPECT_FALSE(HtFdIsWatched(b_[0]));
}

TEST_F(HtPollTest, AHandlerMayUnwatchItselfAndWritersSeeHangUps) {
  int calls = 0;
  unsigned seen = 0;
  HtFdWatch(a_[0], kHtRead, [&](int fd, unsigned ready) {
    ++calls;
    seen = ready;
    HtFdUnwatch(fd);
  });
  close(a_[1]);
  a_[1] = dup(b_[1]);  // keep TearDown's closes balanced
  HtPollPass pass;
  EXPECT_EQ(pass.Wait(1000), 1);  // the hang-up counts as ready
  pass.Dispatch();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, unsigned(kHtRead));
}

}  // namespace
