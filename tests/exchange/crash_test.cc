// Crash tests: a real process posting through the journaling setters on a
// real database is killed with SIGKILL at a random moment; the restart must
// hold every acknowledged post exactly once, and "quil-dbtool check" must
// pass.  In the durable mode the test also cuts the power: every byte of
// the log not reported synced is dropped before the restart (the database
// file's own safety across a power cut is the store's).
//
// QUIL_CRASH_ROUNDS sets the rounds of each mode (make soak runs 250).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "exchange_test_util.h"

namespace quil {
namespace {

std::string ChildPath() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return std::string(dir ? dir : QUIL_BINARY_DIR) + "/tests/exchange_crash_child";
}

int Rounds() {
  const char* env = getenv("QUIL_CRASH_ROUNDS");
  return env ? std::max(1, atoi(env)) : 6;
}

// A running child with its standard output.
class Child {
 public:
  Child(const std::string& dir, const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      close(out[0]);
      close(out[1]);
      std::string bin = ChildPath();
      std::vector<std::string> copy = args;
      std::vector<char*> argv{bin.data(), const_cast<char*>(dir.c_str())};
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(121);
    }
    close(out[1]);
    fd_ = out[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Reap();
    }
    if (fd_ >= 0) close(fd_);
  }
  // Reads for ms milliseconds (or until the output ends); whole lines only.
  void ReadFor(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (fd_ >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char buf[65536];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) {
        close(fd_);
        fd_ = -1;
        return;
      }
      out_.append(buf, size_t(n));
    }
  }
  bool ReadUntil(const std::string& line, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out_.find(line + "\n") == std::string::npos && fd_ >= 0 &&
           std::chrono::steady_clock::now() < end)
      ReadFor(50);
    return out_.find(line + "\n") != std::string::npos;
  }
  // SIGKILL, then whatever it had written before it died.
  void Kill() {
    kill(pid_, SIGKILL);
    ReadFor(2000);
    Reap();
  }
  int Wait() {
    ReadFor(60000);
    return Reap();
  }
  // Complete lines only: a line cut by the kill was never acknowledged.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = out_.find('\n', at)) != std::string::npos; at = nl + 1)
      lines.push_back(out_.substr(at, nl - at));
    return lines;
  }

 private:
  int Reap() {
    if (pid_ <= 0) return status_;
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
  std::string out_;
};

void CrashRounds(bool durable) {
  char tmpl[] = "/tmp/quil-crash-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  if (durable) exchangetest::WriteFileBytes(dir + "/quil.set", "durableLog=1\n");
  unsigned seed = std::random_device{}();
  printf("seed %u, %d rounds, %s\n", seed, Rounds(), durable ? "durable" : "log");
  std::mt19937 rng(seed);
  std::set<std::string> acked;
  for (int round = 0; round < Rounds(); ++round) {
    std::string run = "r" + std::to_string(round);
    {
      Child child(dir, {"post", run});
      ASSERT_TRUE(child.ReadUntil("ready", 60000)) << "round " << round;
      child.ReadFor(20 + int(rng() % 400));
      child.Kill();
      int64_t synced = -1;
      for (const std::string& line : child.Lines()) {
        if (line.rfind("ack ", 0) == 0) acked.insert(line.substr(4));
        if (line.rfind("synced ", 0) == 0) synced = std::stoll(line.substr(7));
      }
      if (durable && synced >= 0) {
        // The power goes with the process: what was not synced is gone.
        std::string log = exchangetest::ReadFileBytes(dir + "/quilroll.1");
        if (int64_t(log.size()) > synced) {
          ASSERT_EQ(truncate((dir + "/quilroll.1").c_str(), synced), 0);
        }
      }
    }
    Child verify(dir, {"verify"});
    ASSERT_EQ(verify.Wait(), 0) << "seed " << seed << " round " << round;
    std::map<std::string, int> have;
    for (const std::string& line : verify.Lines())
      if (line.rfind("have ", 0) == 0) ++have[line.substr(5)];
    for (const std::string& body : acked)
      ASSERT_EQ(have.count(body), 1u) << body << " lost; seed " << seed << " round " << round;
    for (const auto& [body, count] : have)
      ASSERT_EQ(count, 1) << body << " twice; seed " << seed << " round " << round;
    std::string out;
    ASSERT_EQ(exchangetest::DbCheck(dir + "/quil.db", &out), 0)
        << out << "seed " << seed << " round " << round;
  }
  printf("%zu acknowledged posts, all present\n", acked.size());
  std::string out;
  (void)exchangetest::RunCommand("rm -rf " + dir, &out);
}

TEST(CrashTest, KillDuringPostsLosesNothingAcknowledged) { CrashRounds(false); }

TEST(CrashTest, PowerCutInTheDurableModeLosesNothingAcknowledged) { CrashRounds(true); }

}  // namespace
}  // namespace quil
