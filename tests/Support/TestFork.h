#pragma once
// Runs a piece of a test in a forked child process and returns its exit
// status (128 + signal when it was killed), for behaviour that only shows
// across processes: record locks, per-process cached settings, signals.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace kivtest {

inline pid_t StartChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 98;
    }
    _exit(rc);
  }
  return pid;
}

inline int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int RunInChild(const std::function<int()>& body) { return WaitChild(StartChild(body)); }

}  // namespace kivtest
