// The quil command line, run as users run it: usage text, option errors and
// their exact reports, and the start-up file checks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "quil_process.h"

using namespace quiltest;

namespace {

// ctime() texts become "<time>" so that reports compare byte for byte.
std::string Untimed(const std::string& text) {
  static const std::regex kTime(
      "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "[0-9]{4}");
  return std::regex_replace(text, kTime, "<time>");
}

// What standard error shows for an error before the run phase.
std::string StartupError(const std::string& message) {
  return "\nError while initializing the server:\n<time> " + QuilBinary() +
         " error: " + message +
         "\n\n\nError while initializing the server:\n<time> Exiting because "
         "no error handler is installed for this error\n\n";
}

const char kUsageBody[] =
    "\n"
    " options:\n"
    "  -cgi xxx     name of client, e.g., /cgi-bin/Quil\n"
    "  -server      quil server for CGI requests\n"
    "  -echo        echo server for CGI requests\n"
    "  -daemon      setup server as a daemon\n"
    "  -log         log errors to syslog instead of quil.log or stderr\n"
    "  -stdio       interactive session for quil\n"
    "  -agent xxx/  for -stdio, set HTTP_AGENT to xxx/, default Netscape\n"
    "  -client      log errors to Client.log instead of quil.log\n"
    "  -trace       trace TCP and coprocess events to stderr\n"
    "  -clock n     max clock skew is n seconds.  Default 600.  None if -1\n"
    "  -nolock      use exclusive create instead of record locking\n"
    "  -nottop      daemon and lock already set by quil-run\n"
    "  -resetmem    reset memory to minimum configuration\n"
    "  -h[elp]      this message\n"
    "\n";

void ExpectUsage(const Ended& e) {
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.err, "");
  static const std::regex kBanner(
      "\nquil-go - Quillmoot server, http://www\\.quillmoot\\.org/, 3\\.1 "
      "[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(e.out, m, kBanner)) << e.out;
  EXPECT_EQ(m.position(0), 0);
  EXPECT_EQ(e.out.substr(size_t(m.length(0))), kUsageBody);
}

void ExpectUsageError(const Ended& e, const std::string& message) {
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.out, "");
  EXPECT_EQ(Untimed(e.err), StartupError(message));
}

TEST(CommandLine, NoArgumentPrintsTheUsageText) {
  ScratchDir dir;
  ExpectUsage(RunQuil(dir.path(), {}));
  EXPECT_FALSE(dir.Exists("quil.lock"));
}

TEST(CommandLine, HelpAndHAndEmptyArgumentsPrintTheUsageText) {
  ScratchDir dir;
  ExpectUsage(RunQuil(dir.path(), {"-help"}));
  ExpectUsage(RunQuil(dir.path(), {"-h"}));
  ExpectUsage(RunQuil(dir.path(), {"", "-h", ""}));
  ExpectUsage(RunQuil(dir.path(), {"-clock", "-1", "-h"}));  // -1 accepted
}

TEST(CommandLine, ExactlyOneModeMustBeSelected) {
  ScratchDir dir;
  const std::string kSelect = "select one of -server, -echo, -stdio, or -help";
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-echo"}), kSelect);
  ExpectUsageError(RunQuil(dir.path(), {"-stdio", "-help"}), kSelect);
  ExpectUsageError(RunQuil(dir.path(), {"-trace"}), kSelect);
  ExpectUsageError(RunQuil(dir.path(), {""}), kSelect);
}

TEST(CommandLine, ClockMustBePositiveOrMinusOne) {
  ScratchDir dir;
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-clock", "0"}),
                   "clock skew \"-clock 0\" should be postive or -1");
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-clock", "-2"}),
                   "clock skew \"-clock -2\" should be postive or -1");
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-clock", "soon"}),
                   "clock skew \"-clock 0\" should be postive or -1");
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-clock"}),
                   "clock skew \"-clock 0\" should be postive or -1");
  // -1 (no limit) is accepted: the server starts.
  Quil q(dir.path(), {"-server", "-clock", "-1", "-trace"});
  ASSERT_TRUE(q.ErrUntil("select: wait"));
  Stop(q, dir);
}

TEST(CommandLine, WaitNeedsANumber) {
  ScratchDir dir;
  const std::string kWait = "-wait should be followed with wait time in seconds";
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-wait"}), kWait);
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-wait", "ten"}), kWait);
  ExpectUsage(RunQuil(dir.path(), {"-wait", "10", "-h"}));
}

TEST(CommandLine, UnknownArgumentsAreNamed) {
  ScratchDir dir;
  ExpectUsageError(RunQuil(dir.path(), {"-server", "-bogus"}),
                   "unknown arg \"-bogus\", try '-help'");
  // Matching is exact.
  ExpectUsageError(RunQuil(dir.path(), {"-Server"}),
                   "unknown arg \"-Server\", try '-help'");
  // Unlisted options are accepted.
  ExpectUsage(RunQuil(dir.path(), {"-rollAny", "-noCheck", "-traceSession",
                                   "-f", "-agent", "-h"}));
}

TEST(CommandLine, CgiFollowedByServerSelectsServerMode) {
  ScratchDir dir;
  Quil q(dir.path(), {"-cgi", "-server", "-trace"});
  ASSERT_TRUE(q.ErrUntil("select: wait"));
  EXPECT_EQ(WaitForLock(dir), q.pid());
  Stop(q, dir);
}

TEST(CommandLine, ClientSendsStartupErrorsToClientLogToo) {
  ScratchDir dir;
  Ended e = RunQuil(dir.path(), {"-client", "-server", "-echo"});
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(Untimed(dir.Read("Client.log")),
            "<time> " + QuilBinary() +
                " error: select one of -server, -echo, -stdio, or -help\n"
                "<time> Exiting because no error handler is installed for "
                "this error\n");
  EXPECT_EQ(dir.Read("quil.log"), "");
}

TEST(CommandLine, DaemonSendsStartupErrorsToQuilLogToo) {
  ScratchDir dir;
  Ended e = RunQuil(dir.path(), {"-daemon", "-bogus"});
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(Untimed(dir.Read("quil.log")),
            "<time> " + QuilBinary() +
                " error: unknown arg \"-bogus\", try '-help'\n"
                "<time> Exiting because no error handler is installed for "
                "this error\n");
  EXPECT_EQ(Untimed(e.err), StartupError("unknown arg \"-bogus\", try '-help'"));
}

// A directory where a file should be makes the start fail with message.
void ExpectStartupFailure(const std::string& blocked, const std::string& message) {
  ScratchDir dir;
  mkdir(dir.File(blocked).c_str(), 0755);
  Ended e = RunQuil(dir.path(), {"-server"});
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(Untimed(e.err), StartupError(message + " [Is a directory]"));
  EXPECT_FALSE(dir.Exists("quil.lock"));
}

TEST(StartupChecks, AnUnwritableDirectoryIsFound) {
  // unlink cannot remove the probe file.
  ExpectStartupFailure("AU000000",
                       "could not delete or create temporary file \"AU000000\"");
}

TEST(StartupChecks, ADatabaseThatCannotBeWrittenIsRefused) {
  // Readable, not writable.
  ExpectStartupFailure("quil.db",
                       "could not open database file \"quil.db\" for writing");
}

TEST(StartupChecks, LogFilesMustOpenForAppending) {
  ExpectStartupFailure("quil.log", "could not open log file \"quil.log\"");
  ExpectStartupFailure("Client.log", "could not open log file \"Client.log\"");
}

}  // namespace
