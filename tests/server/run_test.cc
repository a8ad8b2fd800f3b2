// The running server, as operators see it: the lock file, a second server,
// signals, daemon mode, the event log and -resetmem.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "quil_process.h"

using namespace quiltest;

namespace {

const char kVersionLine[] =
    " version Quillmoot(r) Unix-v3.1 built Jul  7 1999\n";

// Waits until q has finished starting: with -trace its first wait shows.
void Started(Quil& q) { ASSERT_TRUE(q.ErrUntil("select: wait")); }

std::string PidLine(pid_t pid) {
  char buf[32];
  snprintf(buf, sizeof buf, "%8ld\n", long(pid));
  return buf;
}

TEST(Server, LockFileHoldsThePidAndTheClientDirectoryExists) {
  ScratchDir dir;
  Quil q(dir.path(), {"-server", "-trace"});
  Started(q);
  ASSERT_EQ(WaitForLock(dir), q.pid());
  EXPECT_EQ(dir.Read("quil.lock"), PidLine(q.pid()));
  struct stat st;
  ASSERT_EQ(stat(dir.File("Client").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0744u);
  EXPECT_EQ(stat(dir.File("quil.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  Ended e = Stop(q, dir);
  EXPECT_EQ(e.err.substr(0, sizeof kVersionLine - 1), kVersionLine);
  EXPECT_EQ(e.out, "");
}

TEST(Server, SecondServerFailsNamingTheFirstOnesPid) {
  ScratchDir dir;
  Quil first(dir.path(), {"-server", "-trace"});
  Started(first);
  pid_t pid = WaitForLock(dir);
  ASSERT_EQ(pid, first.pid());
  Ended second = RunQuil(dir.path(), {"-server"});
  EXPECT_TRUE(second.exited);
  EXPECT_EQ(second.status, 1);
  std::string expected = "Is Quillmoot already running as process " +
                         PidLine(pid) + "Could not acquire a record lock on \"" +
                         dir.path() +
                         "/quil.lock\".\nUse 'make quit' to stop Quillmoot.  "
                         "System error [Resource temporarily unavailable]\n";
  EXPECT_NE(second.err.find(expected), std::string::npos) << second.err;
  // The failed start left the first server's lock file alone.
  EXPECT_EQ(dir.Read("quil.lock"), PidLine(pid));
  Stop(first, dir);
}

TEST(Server, StaleLockFileOfADeadServerDoesNotStopTheNext) {
  ScratchDir dir;
  {
    Quil first(dir.path(), {"-server", "-trace"});
    Started(first);
    ASSERT_EQ(WaitForLock(dir), first.pid());
    first.Signal(SIGKILL);
    EXPECT_EQ(first.Wait().signal, SIGKILL);
  }
  ASSERT_TRUE(dir.Exists("quil.lock"));
  Quil next(dir.path(), {"-server", "-trace"});
  Started(next);
  bool taken = false;
  for (int i = 0; i < 10000 && !taken; ++i) {
    taken = dir.Read("quil.lock") == PidLine(next.pid());
    usleep(1000);
  }
  EXPECT_TRUE(taken);
  Stop(next, dir);
}

TEST(Server, NoLockUsesExclusiveCreate) {
  ScratchDir dir;
  Quil first(dir.path(), {"-server", "-nolock", "-trace"});
  Started(first);
  pid_t pid = WaitForLock(dir);
  ASSERT_EQ(pid, first.pid());
  Ended second = RunQuil(dir.path(), {"-nolock", "-server"});
  EXPECT_EQ(second.status, 1);
  std::string expected =
      "Is Quillmoot already running as process " + PidLine(pid) +
      "The lock file \"" + dir.path() +
      "/quil.lock\" already exists.\nUse 'make quit' to stop Quillmoot.\n"
      "Delete the lock file if you are sure that Quillmoot\nis not running as "
      "another process.  System error [File exists]\n";
  EXPECT_NE(second.err.find(expected), std::string::npos) << second.err;
  Stop(first, dir, SIGHUP);
}

TEST(Server, TermAndHangupEndInOrderWithStatusZero) {
  for (int sig : {SIGTERM, SIGHUP}) {
    ScratchDir dir;
    Quil q(dir.path(), {"-server", "-trace"});
    Started(q);
    Stop(q, dir, sig);
  }
}

TEST(Server, InterruptEndsAtOnceWithStatusOne) {
  ScratchDir dir;
  Quil q(dir.path(), {"-server", "-trace"});
  Started(q);
  Stop(q, dir, SIGINT);
}

TEST(Server, NotTopTakesNoLock) {
  ScratchDir dir;
  Quil q(dir.path(), {"-server", "-nottop", "-trace"});
  ASSERT_TRUE(q.ErrUntil("select: wait"));  // start-up is over
  EXPECT_FALSE(dir.Exists("quil.lock"));
  EXPECT_TRUE(dir.Exists("Client"));
  Stop(q, dir);
}

TEST(Server, ResetMemEndsWithoutServing) {
  ScratchDir dir;
  Ended e = RunQuil(dir.path(), {"-server", "-resetmem"});
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.err, kVersionLine);
  EXPECT_FALSE(dir.Exists("quil.lock"));
}

TEST(Server, DaemonDetachesAndLogsToQuilLog) {
  ScratchDir dir;
  Quil q(dir.path(), {"-daemon", "-server"});
  Ended parent = q.WaitExit();
  EXPECT_TRUE(parent.exited);
  EXPECT_EQ(parent.status, 0);
  pid_t daemon = WaitForLock(dir);
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(getsid(daemon), daemon);  // a session leader of its own
  std::string log = dir.Read("quil.log");
  // "<ctime> version ...": the ctime() text is 24 characters.
  EXPECT_EQ(log.size(), 24 + sizeof kVersionLine - 1) << log;
  EXPECT_EQ(log.substr(std::min<size_t>(24, log.size())), kVersionLine);
  kill(daemon, SIGTERM);
  bool ended = WaitForRemoval(dir, "quil.lock");
  if (!ended) kill(daemon, SIGKILL);  // leave no daemon behind
  EXPECT_TRUE(ended);
}

TEST(Server, TraceShowsTheWaits) {
  ScratchDir dir;
  Quil q(dir.path(), {"-server", "-trace"});
  // An idle server waits for its next timer, the access-cache sweep every
  // 900,000 ms (less the milliseconds the open spent after arming it: the
  // roll-forward log is synced there), on the bridge socket alone (no HTTP
  // port is configured).
  ASSERT_TRUE(q.ErrUntil("select: wait "));
  ASSERT_TRUE(q.ErrUntil(" ms on read "));
  ASSERT_TRUE(q.ErrUntil(" write\n"));
  Stop(q, dir);
}

TEST(Server, StdioSessionShowsItsCommandsAndEndsOnQuit) {
  ScratchDir dir;
  Ended e = RunQuil(dir.path(), {"-stdio", "-cgi", "/cgi-bin/Q"},
                    "help\nquit\nhelp\n");
  EXPECT_EQ(e.status, 0);
  const std::string kList =
      "commands (end with blank line):\n"
      "  get              get top-level Quillmoot page\n"
      "  get query        get Quillmoot page for /cgi-bin/Q?query\n"
      "  post query       post data up to blank line for /cgi-bin/Q?query\n"
      "  a=...&b=...&     keywords a and b for 'post'\n"
      "  ip 1.1.1.1       IP address to site name (use 'host' for local host)\n"
      "  ip a.x           site name to IP address\n"
      "  listen port      listen on IP address and echo query\n"
      "  connect IP port  connect to IP address and send data (use \"..\" for "
      "a blank line)\n"
      "  close fd         close socket for file descriptor fd (-1 for a "
      "listen)\n"
      "  trace            toggle IStracing\n"
      "  wait n           wait n seconds\n"
      "  help             return this message\n"
      "  quit             all done\n";
  EXPECT_EQ(e.out, "Quillmoot interactive session, http://www.quillmoot.org/\n" +
                       kList + kList);
  EXPECT_FALSE(dir.Exists("quil.lock"));
}

}  // namespace
