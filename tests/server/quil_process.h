// Runs the real quil binary in a scratch directory: start it, signal it,
// collect its standard output and error and how it ended.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quiltest {

inline std::string QuilBinary() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return std::string(dir ? dir : QUIL_BINARY_DIR) + "/quil";
}

// A fresh directory under /tmp, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = "/tmp/quil-test-XXXXXX";
    path_ = mkdtemp(tmpl.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool Exists(const std::string& name) const {
    return access(File(name).c_str(), F_OK) == 0;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  std::string path_;
};

struct Ended {
  bool exited = false;
  int status = -1;  // exit status when exited
  int signal = 0;   // terminating signal otherwise
  std::string out, err;
};

// A running quil.  The destructor kills it if it is still running.
class Quil {
 public:
  // The process reads `input` on its standard input (then end of input).
  Quil(const std::string& dir, const std::vector<std::string>& args,
       const std::string& input = "") {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      close(in[0]);
      close(in[1]);
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(out[1]);
      close(err[0]);
      close(err[1]);
      if (chdir(dir.c_str()) != 0) _exit(120);
      std::string bin = QuilBinary();
      std::vector<char*> argv{bin.data()};
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      signal(SIGINT, SIG_DFL);
      execv(bin.c_str(), argv.data());
      _exit(121);
    }
    close(in[0]);
    // Small inputs fit the pipe; the rest would need a writer thread.
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
  }
  ~Quil() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      WaitExit();
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
  }
  Quil(const Quil&) = delete;
  Quil& operator=(const Quil&) = delete;

  pid_t pid() const { return pid_; }

  // Reads standard error until it contains text (true) or timeoutMs have
  // passed; what was read is kept for Wait.
  bool ErrUntil(const std::string& text, int timeoutMs = 10000) {
    auto deadline = Deadline(timeoutMs);
    while (err_.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }
  void Signal(int sig) { kill(pid_, sig); }

  // Reads both streams to their end and reaps the process.  A process still
  // running after timeoutMs is killed (and shows up as killed by SIGKILL).
  Ended Wait(int timeoutMs = 20000) {
    auto deadline = Deadline(timeoutMs);
    while (outFd_ >= 0 || errFd_ >= 0) {
      if (ReadSome(deadline)) continue;
      if (std::chrono::steady_clock::now() < deadline) continue;
      if (killed_) break;  // a child of its own still holds the streams
      kill(pid_, SIGKILL);
      killed_ = true;
      deadline = Deadline(1000);
    }
    Ended e;
    e.out = out_;
    e.err = err_;
    return Reap(e);
  }

  // Waits for the process to end without reading its streams (for a daemon
  // whose own child keeps them open).
  Ended WaitExit() {
    Ended e;
    return Reap(e);
  }

 private:
  static std::chrono::steady_clock::time_point Deadline(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  }

  // Waits until deadline for output and appends what came; false when
  // nothing came (time-out or both streams at their end).  A stream at its
  // end is closed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    if (outFd_ < 0 && errFd_ < 0) return false;  // nothing more will come
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || poll(fds, 2, int(left)) <= 0) return false;
    bool got = false;
    int* owners[2] = {&outFd_, &errFd_};
    std::string* sinks[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, size_t(n));
        got = true;
      } else {
        close(fds[i].fd);
        *owners[i] = -1;
        got = true;
      }
    }
    return got;
  }

  Ended Reap(Ended& e) {
    int st = 0;
    waitpid(pid_, &st, 0);
    ended_ = true;
    if (WIFEXITED(st)) {
      e.exited = true;
      e.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
      e.signal = WTERMSIG(st);
    }
    return e;
  }

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  bool killed_ = false;
  std::string out_, err_;
  bool ended_ = false;
};

inline Ended RunQuil(const std::string& dir,
                     const std::vector<std::string>& args,
                     const std::string& input = "") {
  Quil q(dir, args, input);
  return q.Wait();
}

// Waits (up to ten seconds) until the lock file holds a process id; returns
// it, or 0.
inline pid_t WaitForLock(const ScratchDir& dir) {
  for (int i = 0; i < 10000; ++i) {
    std::string text = dir.Read("quil.lock");
    if (!text.empty() && text.back() == '\n') return pid_t(atol(text.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// Waits (up to ten seconds) until name has gone.
inline bool WaitForRemoval(const ScratchDir& dir, const std::string& name) {
  for (int i = 0; i < 10000; ++i) {
    if (!dir.Exists(name)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Signals a started server and checks that it ends as that signal should:
// SIGTERM and SIGHUP in order with status 0, SIGINT at once with status 1,
// the lock file removed either way.
inline Ended Stop(Quil& q, const ScratchDir& dir, int sig = SIGTERM) {
  q.Signal(sig);
  Ended e = q.Wait();
  EXPECT_TRUE(e.exited) << "signal " << sig;
  EXPECT_EQ(e.status, sig == SIGINT ? 1 : 0) << "signal " << sig;
  EXPECT_FALSE(dir.Exists("quil.lock")) << "signal " << sig;
  return e;
}

// Ends the server with kill -9 (nothing is saved on the way out) and takes
// its lock file away, so that a new start may use the same files.
inline Ended KillNine(std::unique_ptr<Quil>& quil, const ScratchDir& dir) {
  quil->Signal(SIGKILL);
  Ended e = quil->Wait();
  quil.reset();
  std::filesystem::remove(dir.File("quil.lock"));
  return e;
}

// An HTTP response as a client read it: the whole, the head (status line
// and headers with the blank line) and the body.
struct Http {
  std::string raw, head, body;
  // The response in raw, split at its blank line (all body without one).
  static Http Split(std::string raw) {
    Http h;
    h.raw = std::move(raw);
    size_t end = h.raw.find("\r\n\r\n");
    if (end == std::string::npos) {
      h.body = h.raw;
      return h;
    }
    h.head = h.raw.substr(0, end + 4);
    h.body = h.raw.substr(end + 4);
    return h;
  }
  bool Has(const std::string& text) const { return body.find(text) != std::string::npos; }
  // The value of header name ("" when absent).
  std::string Header(const std::string& name) const {
    size_t pos = head.find("\r\n" + name + ": ");
    if (pos == std::string::npos) return "";
    pos += name.size() + 4;
    return head.substr(pos, head.find("\r\n", pos) - pos);
  }
  // The certificate in the page's first link of command (between "?"
  // command "@" and the next "@").
  std::string LinkCert(const std::string& command) const {
    std::string mark = "?" + command + "@";
    size_t pos = body.find(mark);
    if (pos == std::string::npos) return "(no link)";
    pos += mark.size();
    return body.substr(pos, body.find('@', pos) - pos);
  }
};

// Runs a shell command, returns its standard output.
inline std::string Shell(const std::string& command);

// A request through curl ("curl -s -i" and args, which end with the URL),
// the response split into head and body.
inline Http Curl(const std::string& args) { return Http::Split(Shell("curl -s -i " + args)); }

// Writes a file (making its directory).
inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

}  // namespace quiltest
