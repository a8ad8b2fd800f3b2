// Unix preparation of the process: client directory, signals, daemon mode,
// lock file, syslog; and their undoing at exit, on SIGINT and on halts.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Ht.h"
#include "Ma.h"
#include "Ql.h"

namespace quil {

namespace {

// The lock file this process created, as a full path, for removal from a
// signal handler (empty: none).
char lockPath[PATH_MAX + 64] = {};
// The bridge socket this process listens on (-1: none) and its file.
int bridgeFd = -1;
char bridgePath[PATH_MAX + 64] = {};

[[noreturn]] void SystemError(const char* format, const char* a = "",
                              const char* b = "") {
  Wf_err_exit(kWfCodeSystem, errno, format, a, b);
}

// SIGHUP, SIGTERM and SIGINT until the quit handler takes over the first
// two: remove the lock file and leave with status 1.
void UxTerminateSignal(int) {
  UxTermSystem();
  _exit(1);
}

bool Route(int signal, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(signal, &sa, nullptr) == 0;
}

// "process " and the first line of an existing lock file (the holder's
// process id), or "another process?\n".
std::string LockHolderText(const char* lockFile) {
  std::string line;
  int fd = open(lockFile, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buf[128];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n > 0) {
      line.assign(buf, size_t(n));
      size_t nl = line.find('\n');
      line = nl == std::string::npos ? line + "\n" : line.substr(0, nl + 1);
    }
  }
  return "process " + (line.empty() ? std::string("another process?\n") : line);
}

void BecomeDaemon(bool syslog) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) SystemError("could not fork the daemon process");
  if (pid > 0) _exit(0);
  if (setsid() < 0) SystemError("could not become the session leader");
  close(0);
  close(1);
  if (open("/dev/null", O_RDWR) != 0)
    SystemError("could not open stdin to /dev/null");
  if (dup(0) != 1) SystemError("could not open stdout to /dev/null");
  if (syslog && dup2(0, 2) != 2)
    SystemError("could not open stderr to /dev/null");
}

void TakeLock(const std::string& dir, const char* lockFile, bool noLock) {
  std::string holder = LockHolderText(lockFile);
  int fd;
  if (!noLock) {
    fd = open(lockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
      SystemError("could not open lock file \"%s/%s\"", dir.c_str(), lockFile);
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) != 0) {
      int err = errno;
      const char* advice = err == EACCES || err == EAGAIN
                               ? "Use 'make quit' to stop Quillmoot.  "
                               : "Consider using NO_LOCK in Makefile.  ";
      Wf_err_exit(kWfCodeSystem, err,
                  "Is Quillmoot already running as %sCould not acquire a "
                  "record lock on \"%s/%s\".\n%sSystem error",
                  holder.c_str(), dir.c_str(), lockFile, advice);
    }
  } else {
    fd = open(lockFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST)
      Wf_err_exit(kWfCodeSystem, errno,
                  "Is Quillmoot already running as %sThe lock file \"%s/%s\" "
                  "already exists.\nUse 'make quit' to stop Quillmoot.\nDelete "
                  "the lock file if you are sure that Quillmoot\nis not running "
                  "as another process.  System error",
                  holder.c_str(), dir.c_str(), lockFile);
    if (fd < 0)
      SystemError("could not open lock file \"%s/%s\"", dir.c_str(), lockFile);
  }
  snprintf(lockPath, sizeof lockPath, "%s/%s", dir.c_str(), lockFile);
  char pid[32];
  int n = snprintf(pid, sizeof pid, "%8ld\n", long(getpid()));
  if (ftruncate(fd, 0) != 0 || write(fd, pid, size_t(n)) != n)
    SystemError("could not write process id to lock file \"%s/%s\"",
                dir.c_str(), lockFile);
  // The descriptor stays open for the life of the process: closing it would
  // give up the record lock.
}

}  // namespace

void UxInitSystem(bool notTop, bool daemon, const char* directory,
                  const char* lockFile, bool noLock, const char* clientDir,
                  const char* syslogIdent) {
  mkdir(clientDir, 0744);  // an existing directory is fine
  signal(SIGPIPE, SIG_IGN);
  if (!Route(SIGHUP, UxTerminateSignal))
    SystemError("could not establish terminate signal handler for SIGHUP");
  if (!Route(SIGTERM, UxTerminateSignal))
    SystemError("could not establish terminate signal handler for SIGTERM");
  if (!Route(SIGINT, UxTerminateSignal))
    SystemError("could not establish terminate signal handler for SIGINT");
  umask(0);

  if (!notTop) {
    std::string dir = directory ? directory : "";
    if (dir.empty()) {
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) == nullptr)
        SystemError("could not determine the current directory for \"%s\"",
                    lockFile);
      dir = cwd;
    }
    if (daemon) BecomeDaemon(syslogIdent != nullptr);
    TakeLock(dir, lockFile, noLock);
  }
  if (syslogIdent != nullptr)
    openlog(syslogIdent, LOG_PID, daemon ? LOG_DAEMON : LOG_USER);
}

void UxTermSystem() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  if (lockPath[0] != '\0') {
    unlink(lockPath);
    lockPath[0] = '\0';
  }
  if (bridgeFd >= 0) {
    close(bridgeFd);
    bridgeFd = -1;
    if (bridgePath[0] != '\0') unlink(bridgePath);
    bridgePath[0] = '\0';
  }
}

void UxNoteBridgeSocket(int fd, const char* name) {
  bridgeFd = fd;
  bridgePath[0] = '\0';
  if (name[0] == '/') {
    snprintf(bridgePath, sizeof bridgePath, "%s", name);
  } else if (getcwd(bridgePath, PATH_MAX) != nullptr) {
    size_t n = strlen(bridgePath);
    snprintf(bridgePath + n, sizeof bridgePath - n, "/%s", name);
  }
}

void QlHangupSignal(int) {
  QlHangupReceived = true;
  quitFlag = true;
  HtWake();
}

void QlHaltQuil(const char* message) {
  static bool called = false;
  if (called) {
    static const char kAgain[] = "MaExit() also calls MaHalt\n";
    HtWriteAll(2, kAgain, sizeof kAgain - 1);
    HtWriteAll(2, message, strlen(message));
    UxTermSystem();
    abort();
  }
  called = true;
  Wf_err_write(message);
  MaExit();
}

}  // namespace quil
