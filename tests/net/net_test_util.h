// The network packages started as the server starts them, an event loop
// that tests drive pass by pass, outside client programs (curl, python3)
// run beside it, a settable clock, and a scratch directory.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CgiEvent.h"
#include "Ex.h"
#include "Ht.h"
#include "Qu.h"
#include "Sess.h"
#include "Strm.h"
#include "Tcp.h"
#include "Thread.h"
#include "ports.h"

namespace nettest {

using namespace quil;

// A settable clock for SysTime (time-outs, resends) and the real one.
inline int64_t& FakeNow() {
  static int64_t now = 0;
  return now;
}
inline int64_t FakeClock() { return FakeNow(); }
inline void UseFakeClock(int64_t start = 1000000) {
  FakeNow() = start;
  HtSetTimeFn(FakeClock);
}
inline void Advance(int64_t ms) { FakeNow() += ms; }

// Texts of the errors reported during passes.
inline std::vector<std::string>& Reported() {
  static std::vector<std::string> texts;
  return texts;
}

inline void NetStart() {
  HtInitRtns(kPkgInit, kPkgVersion);
  ThreadInitRtns(kPkgInit, kPkgVersion);
  QuInitRtns(kPkgInit, kPkgVersion);
  TCPInitRtns(kPkgInit, kPkgVersion);
  UDPInitRtns(kPkgInit, kPkgVersion);
  StrmInitRtns(kPkgInit, kPkgVersion);
  SessInitRtns(kPkgInit, kPkgVersion);
  TCPInitRtns(kPkgInit2, 0);
  for (auto f : {TCPInitRtns, SessInitRtns, StrmInitRtns, QuInitRtns, ThreadInitRtns})
    f(kPkgDebug, 1);
  ExInitRtns(kPkgDebug, 1);
  WfConfigure().programName = "quil";
  WfConfigure().running = true;
  Reported().clear();
}

inline void NetStop() {
  TCPInitRtns(kPkgTerm2, 0);
  SessInitRtns(kPkgTerm, 0);
  StrmInitRtns(kPkgTerm, 0);
  UDPInitRtns(kPkgTerm, 0);
  TCPInitRtns(kPkgTerm, 0);
  QuInitRtns(kPkgTerm, 0);
  ThreadInitRtns(kPkgTerm, 0);
  HtSetTimeFn(nullptr);
}

// One pass of the event loop, as the server runs it: pending output, a
// wait of at most waitMs (less when a callback is due sooner), ready
// descriptors, sessions, due callbacks.  Reported errors are kept in
// Reported() instead of ending the test.
inline void Pass(int waitMs = 10) {
  bool ok = ExTry([&] {
    WfHandlerScope handler;
    HtLoopHooksRun(HtLoopStage::kBeforeWait);
    int32_t delay = QuRamDelay();
    int timeout = delay < waitMs ? (delay < 0 ? 0 : delay) : waitMs;
    HtPollPass pass;
    if (pass.Wait(timeout) > 0) pass.Dispatch();
    HtLoopHooksRun(HtLoopStage::kAfterWait);
    QuProcess(100, 0);
  });
  if (!ok) {
    ASSERT_EQ(ExLastError, kExReported);
    Reported().push_back(Wf.errorText);
    Wf_err_done();
  }
}

template <class Done>
bool RunUntil(Done done, int ms = 15000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Pass(5);
  }
  return true;
}

inline void RunFor(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) Pass(5);
}

using quiltest::FreePort;

// What Python client scripts start with: the modules they use and
// read_all(socket), everything until the peer closes (or resets).
inline std::string PyScript(const std::string& body) {
  return R"(
import os, resource, socket, struct, sys, time
def read_all(s):
    out = b''
    try:
        while True:
            d = s.recv(65536)
            if not d: break
            out += d
    except OSError:
        pass
    return out
)" + body;
}

// An outside program whose standard output is collected while the loop
// runs.
class Client {
 public:
  explicit Client(const std::vector<std::string>& argv, const std::string& input = "") {
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      std::vector<char*> args;
      std::vector<std::string> copy = argv;
      for (auto& a : copy) args.push_back(a.data());
      args.push_back(nullptr);
      signal(SIGPIPE, SIG_DFL);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    close(in[0]);
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    fd_ = out[0];
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~Client() {
    if (!done_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // True once the program has ended (its output is then complete).
  bool Done() {
    if (done_) return true;
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        out_.append(buf, size_t(n));
        continue;
      }
      if (n == 0) break;
      return false;  // nothing more yet
    }
    int st = 0;
    waitpid(pid_, &st, 0);
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    done_ = true;
    return true;
  }
  // Reads what has arrived so far; true when the output holds text.
  bool Said(const std::string& text) {
    Done();
    return out_.find(text) != std::string::npos;
  }
  const std::string& Out() const { return out_; }
  int Status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool done_ = false;
  int status_ = -1;
  std::string out_;
};

// Runs the loop until the client ends; its output.
inline std::string Collect(Client& c, int ms = 15000) {
  EXPECT_TRUE(RunUntil([&] { return c.Done(); }, ms)) << "client did not end";
  return c.Out();
}

// A fresh directory, removed at the end; the test runs inside it.
class ScratchCwd {
 public:
  ScratchCwd() {
    std::string tmpl = "/tmp/quil-net-XXXXXX";
    path_ = mkdtemp(tmpl.data());
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchCwd() {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(path_);
  }
  ScratchCwd(const ScratchCwd&) = delete;
  ScratchCwd& operator=(const ScratchCwd&) = delete;
  const std::string& path() const { return path_; }
  void Write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(path_ + "/" + name).parent_path());
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  std::string path_;
  std::filesystem::path old_;
};

inline std::string BinaryDir() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return dir ? dir : QUIL_BINARY_DIR;
}

}  // namespace nettest
