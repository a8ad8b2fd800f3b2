// Runs a function in a forked child and collects what it printed and how it
// ended.  For tests of code that halts, aborts or exits.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace quiltest {

struct ChildResult {
  bool exited = false;   // ended through exit() / return
  int status = -1;       // exit status when exited
  int signal = 0;        // terminating signal otherwise
  std::string out;       // everything written to stdout and stderr
};

// The child runs fn and exits 0 when fn returns.
inline ChildResult RunInChild(const std::function<void()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) abort();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[1]);
    fn();
    fflush(nullptr);
    _exit(0);
  }
  close(fds[1]);
  ChildResult r;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) {
    r.exited = true;
    r.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    r.signal = WTERMSIG(st);
  }
  return r;
}

}  // namespace quiltest
