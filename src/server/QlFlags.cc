// The command line, the usage text and the start-up file checks.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Ht.h"
#include "Ql.h"

namespace quil {

QlOptions Ql;

namespace {

// Parses a whole argument as a decimal number.
bool ParseInt(const char* text, int32_t* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
    return false;
  *out = int32_t(v);
  return true;
}

bool TakesValue(int i, int argc, char** argv) {
  return i + 1 < argc && argv[i + 1][0] != '-';
}

// Removes, creates and removes again a file, to prove that the directory is
// writable.
void ProbeDirectory() {
  static const char kProbe[] = "AU000000";
  if (unlink(kProbe) != 0 && errno != ENOENT)
    Wf_err_exit(kWfCodeSystem, errno,
                "could not delete or create temporary file \"%s\"", kProbe);
  int fd = open(kProbe, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 || close(fd) != 0 || unlink(kProbe) != 0)
    Wf_err_exit(kWfCodeSystem, errno,
                "could not delete or create temporary file \"%s\"", kProbe);
}

// A database that can be read must also open for writing.
void CheckDatabaseFile() {
  static const char kDb[] = "quil.db";
  int fd = open(kDb, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;
    Wf_err_exit(kWfCodeSystem, errno,
                "could not open database file \"%s\" for reading", kDb);
  }
  close(fd);
  fd = open(kDb, O_RDWR | O_CLOEXEC);
  if (fd < 0)
    Wf_err_exit(kWfCodeSystem, errno,
                "could not open database file \"%s\" for writing", kDb);
  close(fd);
}

void CheckLogFile(const char* name) {
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) Wf_err_exit(kWfCodeSystem, errno, "could not open log file \"%s\"", name);
  close(fd);
}

void RecordFileLimits() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    char text[256];
    snprintf(text, sizeof text, "LIMITS for file descriptors error: %s\n",
             strerror(errno));
    Wf_err_write(text);
    return;
  }
  Ql.openFiles = int64_t(lim.rlim_cur);
  Ql.maxOpenFiles = int64_t(lim.rlim_max);
}

}  // namespace

void QlReadFlags(int argc, char** argv) {
  Ql.programName = argc > 0 ? argv[0] : "quil";
  WfConfigure().programName = Ql.programName;
  time_t now = time(nullptr);
  tm utc;
  gmtime_r(&now, &utc);
  strftime(Ql.currentDate, sizeof Ql.currentDate, "%a, %e-%m-%y 00:00:00 GMT",
           &utc);

  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto is = [a](const char* option) { return strcmp(a, option) == 0; };
    if (*a == '\0') continue;
    // The destinations of reports follow the flags as soon as they are
    // read, so that a later argument's error already goes where they say.
    if (is("-daemon")) {
      Ql.daemon = WfConfigure().daemon = true;
    } else if (is("-echo")) {
      Ql.echo = true;
    } else if (is("-nolock")) {
      Ql.noLock = true;
    } else if (is("-nottop")) {
      Ql.notTop = true;
    } else if (is("-resetmem")) {
      ZapMem = true;
      ExitAfterZapMem = true;
    } else if (is("-server")) {
      Ql.server = true;
    } else if (is("-help") || is("-h")) {
      Ql.help = true;
    } else if (is("-agent")) {
      Ql.hasAgent = true;
      Ql.agent = TakesValue(i, argc, argv) ? argv[++i] : "Mozilla/";
    } else if (is("-cgi")) {
      if (TakesValue(i, argc, argv)) Ql.cgiName = argv[++i];
    } else if (is("-log")) {
      Ql.syslog = WfConfigure().syslog = true;
    } else if (is("-client")) {
      Ql.clientLog = WfConfigure().clientLog = true;
    } else if (is("-trace")) {
      Ql.trace = true;
    } else if (is("-traceSession")) {
      Ql.traceSession = true;
    } else if (is("-rollAny")) {
      BkAllowErrors = true;
    } else if (is("-noCheck")) {
      ForumNoCheck = true;
    } else if (is("-clock")) {
      int32_t n = 0;
      if (i + 1 < argc && !ParseInt(argv[++i], &n)) n = 0;
      if (n == 0 || n < -1)
        Wf_err_exit(kWfCodeUsage, -1,
                    "clock skew \"-clock %d\" should be postive or -1", n);
      Ql.clockSkew = n;
    } else if (is("-wait")) {
      int32_t n = 0;
      if (i + 1 >= argc || !ParseInt(argv[i + 1], &n))
        Wf_err_exit(kWfCodeUsage, -1,
                    "-wait should be followed with wait time in seconds");
      ++i;
      Ql.waitSeconds = n;
    } else if (is("-stdio")) {
      Ql.stdio = true;
    } else if (is("-f")) {
      ForceFix = true;
    } else {
      Wf_err_exit(kWfCodeUsage, -1, "unknown arg \"%s\", try '-help'", a);
    }
  }
  HtTrace = Ql.trace;

  if (argc <= 1) Ql.help = true;
  if (int(Ql.server) + int(Ql.echo) + int(Ql.stdio) + int(Ql.help) != 1)
    Wf_err_exit(kWfCodeUsage, -1,
                "select one of -server, -echo, -stdio, or -help");
  Ql.pipeListen = Ql.server || Ql.echo;
}

std::string QlUsageText() {
  struct Line {
    const char* option;
    const char* text;
  };
  static const Line kLines[] = {
      {"-cgi xxx", "name of client, e.g., /cgi-bin/Quil"},
      {"-server", "quil server for CGI requests"},
      {"-echo", "echo server for CGI requests"},
      {"-daemon", "setup server as a daemon"},
      {"-log", "log errors to syslog instead of quil.log or stderr"},
      {"-stdio", "interactive session for quil"},
      {"-agent xxx/", "for -stdio, set HTTP_AGENT to xxx/, default Netscape"},
      {"-client", "log errors to Client.log instead of quil.log"},
      {"-trace", "trace TCP and coprocess events to stderr"},
      {"-clock n", nullptr},
      {"-nolock", "use exclusive create instead of record locking"},
      {"-nottop", "daemon and lock already set by quil-run"},
      {"-resetmem", "reset memory to minimum configuration"},
      {"-h[elp]", "this message"},
  };
  std::string out = "\nquil-go - Quillmoot server, ";
  out += kQlSiteAddress;
  out += ", ";
  out += kQlVersion;
  out += " ";
  out += __DATE__;
  out += "\n\n options:\n";
  char buf[160];
  for (const Line& l : kLines) {
    char text[96];
    if (l.text == nullptr)
      snprintf(text, sizeof text,
               "max clock skew is n seconds.  Default %d.  None if -1",
               kQlDefaultClockSkew);
    snprintf(buf, sizeof buf, "  %-13s%s\n", l.option,
             l.text ? l.text : text);
    out += buf;
  }
  out += "\n";
  return out;
}

void UxInitQuil(int argc, char** argv) {
  QlReadFlags(argc, argv);
  ProbeDirectory();
  CheckDatabaseFile();
  CheckLogFile("Client.log");
  CheckLogFile("quil.log");
  RecordFileLimits();
}

}  // namespace quil
